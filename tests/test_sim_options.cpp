// The simulator's rig options fitted to the footage: derived for any width,
// given ones checked against it. (Refusals of bad options run through the
// program in test_sim_input.cpp, which checks that nothing is written.)
#include <gtest/gtest.h>

#include "sim_input.h"

// The whole width used (up to the rounding of the width to whole pixels), the
// overlap an even number of cells and half a camera or less, and exactly the
// long-standing 384/192 on the bundled 768 px footage.
TEST(SimRigFit, DerivedRigsFillEveryWidth) {
    for (int cameras = 2; cameras <= 5; ++cameras)
        for (int cell : {4, 8})
            for (int w : {320, 584, 640, 720, 751, 768, 1282, 1920}) {
                zsim::RigConfig rig;
                rig.cameras = cameras;
                rig.cellW = cell;
                ASSERT_EQ(zsim::fitRig(rig, w, 0, 0), "") << w << " px, " << cameras;
                const int used = zsim::rigWidth(rig);
                EXPECT_LE(used, w);
                EXPECT_GT(used, w - cameras) << w << " px, " << cameras << " cameras";
                EXPECT_EQ(rig.overlap % (2 * cell), 0);
                EXPECT_LE(2 * rig.overlap, rig.camWidth);
                EXPECT_GE(2 * rig.overlap + 2 * cell * 2, rig.camWidth) << "overlap too small";
                EXPECT_EQ(zsim::checkRig(rig, w, 576), "");
            }
    zsim::RigConfig rig;
    ASSERT_EQ(zsim::fitRig(rig, 768, 0, 0), "");
    EXPECT_EQ(rig.camWidth, 384);
    EXPECT_EQ(rig.overlap, 192);

    // Given values that do not fit: the message names what would.
    const struct {
        int frameW, width, overlap;
        const char* named;
    } misfits[] = {
        {320, 384, 0, "--width 160 --overlap 80"},
        {640, 384, 96, "at most --width 277 fits"},
        {320, 0, 120, "--width 160 --overlap 80"},
        {24, 0, 0, "too narrow"},
    };
    for (const auto& m : misfits) {
        zsim::RigConfig r;
        const std::string why = zsim::fitRig(r, m.frameW, m.width, m.overlap);
        EXPECT_NE(why.find(m.named), std::string::npos) << m.frameW << ": " << why;
        EXPECT_EQ(r.camWidth, 384) << "left unchanged on failure";
    }
}
