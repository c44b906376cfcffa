// Motion-history averages once the library runs with uniform weights. Its
// own process: the switch to uniform weights cannot be undone.
#include <deque>

#include <gtest/gtest.h>

#include "zelvo_stitch.h"

TEST(SeamHistoryUniform, PlainMeanOverThirtyTwoEntries) {
    zelvo_stitch_init(4, 2, 0, 0, 1, /*useWeightedMotionBitHist=*/0);
    ASSERT_EQ(DynStitcher::motionBitsHistoryWeightSum, 32);
    DynStitcher s;
    struct Case {
        std::deque<int> h;
        int avg;
    } cases[] = {
        {std::deque<int>(32, 1), 1},
        {[] {
             std::deque<int> d(12, 2);
             d.insert(d.end(), 20, 0);
             return d;
         }(),
         0},  // 24 / 32
        {[] {
             std::deque<int> d(16, 0);
             d.insert(d.end(), 16, 5);
             return d;
         }(),
         2},  // 80 / 32: the newest entries weigh no more than the oldest
        {[] {
             std::deque<int> d(16, 5);
             d.insert(d.end(), 16, 0);
             return d;
         }(),
         2},
    };
    for (Case& c : cases) EXPECT_EQ(s.getMotionBitsHistoryAvg(c.h), c.avg);
    zelvo_stitch_uninit();
}
