#include <gtest/gtest.h>
#include "zelvo_stitch.h"
TEST(Smoke, InitUninit) { EXPECT_EQ(zelvo_stitch_init(8, 3, 0, 0, 1, 1), 0); EXPECT_EQ(zelvo_stitch_uninit(), 0); }
