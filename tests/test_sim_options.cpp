// The simulator's rig fitted to the footage's width, and the order of a folder's frames. (Rigs
// that do not fit are refused through the program in test_sim_input.cpp.)
#include <gtest/gtest.h>

#include "io/input.h"

// On the bundled 768 px footage two cameras of 384 px share half a camera; the fitted rig is one
// the checks accept.
TEST(SimRigFit, BundledFootageGivesTheDefaultRig) {
    zsim::RigConfig r;
    ASSERT_EQ(zsim::fitRig(r, 768, 0, 0), "");
    EXPECT_EQ(std::pair(r.camWidth, r.overlap), std::pair(384, 192));
    EXPECT_EQ(zsim::checkRig(r, 768, 576), "");
}

// Numbers compare by value, leading zeros aside, wherever they stand in the name.
TEST(SimInput, FramesPlayInNaturalOrder) {
    EXPECT_TRUE(zsim::naturalLess("f002.png", "f10.png") && !zsim::naturalLess("a9_b10", "a9_b2"));
}
