// The simulator's rig fitted to the footage's width. (Refusals of bad options
// run through the program in test_sim_input.cpp, which sees nothing written.)
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
    zsim::RigConfig bundled;
    ASSERT_EQ(zsim::fitRig(bundled, 768, 0, 0), "");
    EXPECT_EQ(std::pair(bundled.camWidth, bundled.overlap), std::pair(384, 192));
    // Given values that do not fit: the message names what would.
    const struct {
        int frameW, width, overlap;
        const char* named;
    } misfits[] = {{320, 384, 0, "--width 160 --overlap 80"},
                   {640, 384, 96, "at most --width 277 fits"},
                   {320, 0, 120, "--width 160 --overlap 80"},
                   {24, 0, 0, "too narrow"}};
    for (const auto& m : misfits) {
        zsim::RigConfig r;
        EXPECT_NE(zsim::fitRig(r, m.frameW, m.width, m.overlap).find(m.named), std::string::npos);
        EXPECT_EQ(r.camWidth, 384) << "left unchanged on failure";
    }
}
