// The simulator's rig fitted to the footage's width, and the order of a folder's frames. (Rigs
// that do not fit are refused through the program in test_sim_input.cpp.)
#include <gtest/gtest.h>

#include "sim_input.h"

// The whole width used (up to rounding), the overlap an even number of cells up to
// half a camera, not two cells less, and 384/192 on the bundled 768 px footage.
TEST(SimRigFit, DerivedRigsFillEveryWidth) {
    for (int cameras = 2; cameras <= 5; ++cameras)
        for (int cell : {4, 8})
            for (int w : {320, 584, 640, 720, 751, 768, 1282, 1920}) {
                zsim::RigConfig r;
                r.cameras = cameras, r.cellW = cell;
                ASSERT_EQ(zsim::fitRig(r, w, 0, 0), "") << w << " px, " << cameras;
                EXPECT_TRUE(zsim::rigWidth(r) <= w && zsim::rigWidth(r) > w - cameras) << w;
                EXPECT_TRUE(r.overlap % (2 * cell) == 0 && 2 * r.overlap <= r.camWidth &&
                            2 * r.overlap + 4 * cell >= r.camWidth);
                EXPECT_EQ(zsim::checkRig(r, w, 576), "");
            }
    zsim::RigConfig r;
    ASSERT_EQ(zsim::fitRig(r, 768, 0, 0), "");
    EXPECT_EQ(std::pair(r.camWidth, r.overlap), std::pair(384, 192));
}

// Numbers compare by value, leading zeros aside, wherever they stand in the name.
TEST(SimInput, FramesPlayInNaturalOrder) {
    EXPECT_TRUE(zsim::naturalLess("f002.png", "f10.png") && !zsim::naturalLess("a9_b10", "a9_b2"));
}
