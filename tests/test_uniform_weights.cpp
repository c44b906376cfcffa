// The history weights turn uniform once and for the process's life: own executable.
#include <algorithm>
#include <deque>

#include <gtest/gtest.h>

#include "zelvo_stitch.h"

bool weights_are(bool uniform) {
    for (int k = 0; k < 32; ++k)
        if (DynStitcher::motionBitsHistoryWeight[k] != (uniform || k < 12 ? 1 : k < 22 ? 2 : 3))
            return false;
    return DynStitcher::motionBitsHistoryWeightSum == (uniform ? 32 : 62);
}

// Nothing brings the initial weights back, though the switch is recorded; the plain
// mean weighs the newest entries no more than the oldest. Init also builds the subtraction table.
TEST(HistoryWeights, SwitchToUniformIsOneWayAndAveragesPlainly) {
    EXPECT_EQ(zelvo_stitch_init(8, 3, 0, 0, 1, 1), 0);
    for (int j = 0; j <= 512; ++j) EXPECT_EQ(DynStitcher::subs_tab[j], std::max(j - 256, 0)) << j;
    DynStitcher::setMotionBitsHistoryWeight(true);
    EXPECT_TRUE(weights_are(false));
    EXPECT_EQ(zelvo_stitch_init(8, 3, 0, 0, 1, 0), 0);
    EXPECT_FALSE(DynStitcher::my_useWeightedMotionBitHist);
    EXPECT_TRUE(weights_are(true));
    EXPECT_EQ(zelvo_stitch_init(8, 3, 0, 0, 1, 1), 0);
    EXPECT_TRUE(DynStitcher::my_useWeightedMotionBitHist);
    DynStitcher::setMotionBitsHistoryWeight(true);
    EXPECT_TRUE(weights_are(true));
    DynStitcher s;
    std::deque<int> newest(16, 0), oldest(16, 5);
    newest.insert(newest.end(), 16, 5);  // 80 / 32
    oldest.insert(oldest.end(), 16, 0);
    EXPECT_EQ(s.getMotionBitsHistoryAvg(newest), 2);
    EXPECT_EQ(s.getMotionBitsHistoryAvg(oldest), 2);
    zelvo_stitch_uninit();
}
