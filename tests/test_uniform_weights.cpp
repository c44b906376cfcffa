// The motion-history weights switch to uniform once and never back. That
// cannot be undone inside a process, so it lives in its own executable with a
// single test.
#include <gtest/gtest.h>

#include "zelvo_stitch.h"

namespace {

bool weights_are_initial() {
    for (int k = 0; k < 32; ++k) {
        const int expected = k < 12 ? 1 : (k < 22 ? 2 : 3);
        if (DynStitcher::motionBitsHistoryWeight[k] != expected) return false;
    }
    return DynStitcher::motionBitsHistoryWeightSum == 62;
}

bool weights_are_uniform() {
    for (int w : DynStitcher::motionBitsHistoryWeight)
        if (w != 1) return false;
    return DynStitcher::motionBitsHistoryWeightSum == 32;
}

TEST(HistoryWeights, SwitchToUniformIsOneWay) {
    ASSERT_TRUE(weights_are_initial());

    // Weighted requests change nothing.
    EXPECT_EQ(zelvo_stitch_init(8, 3, 0, 0, 1, 1), 0);
    EXPECT_TRUE(DynStitcher::my_useWeightedMotionBitHist);
    EXPECT_TRUE(weights_are_initial());
    DynStitcher::setMotionBitsHistoryWeight(true);
    EXPECT_TRUE(weights_are_initial());

    // The first unweighted init makes the table uniform.
    EXPECT_EQ(zelvo_stitch_init(8, 3, 0, 0, 1, 0), 0);
    EXPECT_FALSE(DynStitcher::my_useWeightedMotionBitHist);
    EXPECT_TRUE(weights_are_uniform());

    // Nothing brings the initial weights back, though the switch is recorded.
    struct Step {
        const char* what;
        void (*run)();
        bool switchAfter;
    };
    const Step steps[] = {
        {"init weighted", [] { zelvo_stitch_init(8, 3, 0, 0, 1, 1); }, true},
        {"setMotionBitsHistoryWeight(true)", [] { DynStitcher::setMotionBitsHistoryWeight(true); },
         true},
        {"uninit + init weighted",
         [] {
             zelvo_stitch_uninit();
             DynStitcher::init_lib(8, 3, false, true, true, 0);
         },
         true},
        {"setMotionBitsHistoryWeight(false)",
         [] { DynStitcher::setMotionBitsHistoryWeight(false); }, true},
        {"init unweighted", [] { zelvo_stitch_init(8, 3, 0, 0, 1, 0); }, false},
    };
    for (const Step& s : steps) {
        s.run();
        EXPECT_TRUE(weights_are_uniform()) << s.what;
        EXPECT_EQ(DynStitcher::my_useWeightedMotionBitHist, s.switchAfter) << s.what;
    }
    zelvo_stitch_uninit();
}

}  // namespace
