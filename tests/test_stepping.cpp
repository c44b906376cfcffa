// Target translation, smoothing and stepped shifting of one overlap.
#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <vector>

#include "test_support.h"
#include "zelvo_internal.h"

namespace {

// Runs decideShifting `frames` times; returns the translation after each.
std::vector<int> step(DynStitcher& s, int overlapIdx, int frames, int* shifts) {
    std::vector<int> cur;
    for (int f = 0; f < frames; ++f) {
        EXPECT_EQ(s.decideShifting(overlapIdx, shifts, 0), 0);
        cur.push_back(s.ST_TRKE_curLutTranslationX);
    }
    return cur;
}

}  // namespace

TEST(ComputeXStep, StepTableIsSymmetric) {
    auto s = zt::quiet_stitcher();
    const struct { int d, step; } table[] = {{0, 0}, {1, 1},  {3, 1},  {4, 2},  {6, 2},
                                             {7, 3}, {10, 3}, {11, 4}, {1000, 4}};
    for (const auto& row : table)
        for (int base : {-7, 5}) {
            EXPECT_EQ(s->computeXStep(base + row.d, base), row.step) << "d=" << row.d;
            EXPECT_EQ(s->computeXStep(base, base + row.d), row.step) << "d=" << row.d;
        }
}

TEST(TemporalWeightedAvg, SmoothsOnlyAFullHistory) {
    dbg_enable = 0;
    auto s = zt::quiet_stitcher();
    const struct { std::deque<int32_t> history; int length, expected; } cases[] = {
        {{1, 2, 9}, 5, 9},          // not full: newest entry
        {{0, 0, 0, 0, 10}, 5, 3},   // 30 / 9
        {{0, 0, 0, 0, -10}, 5, -3}, // toward zero
        {{1, 2, 3, 4, 5}, 5, 3},    // weights 1 1 2 2 3: 32 / 9
        {{4, 4, 4, 8}, 3, 1},       // first three entries only: 16 / 9
        {{}, 5, 0},                 // guard: nothing to smooth
        {{1, 2, 3}, 0, 0},          // no entry weighed
        {{9, 9, 3, 4, 5, 6, 7}, 7, 5}, // guard: only five weights, for the last five of 7: 50 / 9
    };
    for (const auto& c : cases) {
        s->ST_TRKE_lutTranslationXHistory = c.history;
        s->ST_TRKE_historyLength = c.length;
        EXPECT_EQ(s->temporalWeightedAvg(), c.expected) << "length " << c.length;
    }
}

TEST(DetermineLutTranslationX, RoundsWithinTheRepeatLimitAndFallsBackPastIt) {
    auto s = zt::quiet_stitcher();
    const struct { float flow; int count, expected, rewritten; } cases[] = {
        {2.5f, 5, 3, 0}, {-2.5f, 0, -3, 0}, {2.49f, 0, 2, 0}, {20.0f, 0, 8, 0}, {-999.0f, 0, -8, 0},
        {20.0f, 6, 2, 2}, {6.0f, 6, 2, 2}, {-20.0f, 6, -2, -2}, {-8.0f, 6, -2, -2}, {1.0f, 6, 0, 0},
    };
    for (const auto& c : cases) {
        s->ST_TRKE_repeatPatternCount = c.count;
        s->ST_TRKE_lutTranslationXHistory = {5, 5, 5, 5, 5};
        EXPECT_EQ(s->determineLutTranslationX(c.flow, -8, 8), c.expected) << c.flow;
        EXPECT_EQ(s->ST_TRKE_repeatPatternCount, c.count > 5 ? 0 : c.count);
        EXPECT_EQ(s->ST_TRKE_lutTranslationXHistory,
                  std::deque<int32_t>(5, c.count > 5 ? c.rewritten : 5)) << c.flow;
    }
    s->ST_TRKE_repeatPatternCount = 6;  // half the bound by integer division: 7/2 = 3 -> 1.5
    EXPECT_EQ(s->determineLutTranslationX(40.0f, -7, 7), 2);
}

TEST(DecideShifting, StepsTowardTheTargetThenConverges) {
    auto s = zt::quiet_stitcher(3);  // bounds +-10
    s->ST_TRKE_lutTranslationXHistory = {10, 10, 10, 10};
    s->ST_TRKE_tgtLutTranslationX = 10;
    int shifts[5] = {-77, -77, -77, -77, -77};
    EXPECT_EQ(step(*s, 2, 6, shifts), (std::vector<int>{3, 6, 8, 9, 10, 10}));
    EXPECT_EQ(shifts[3], 30);
    EXPECT_FALSE(s->ST_TRKE_convergingLutTranslationX);
    EXPECT_FLOAT_EQ(s->ST_TRKE_appliedShiftX, 10.0f);
    for (int k : {0, 1, 2, 4}) EXPECT_EQ(shifts[k], -77) << "only slot overlapIdx + 1 is written";

    auto d = zt::quiet_stitcher(4);
    d->ST_TRKE_curLutTranslationX = 5;
    d->ST_TRKE_appliedShiftX = 1.5f;
    d->ST_TRKE_lutTranslationXHistory = {0, 0, 0, 0, 0};
    int slots[2] = {0, 0};
    EXPECT_EQ(step(*d, 0, 4, slots), (std::vector<int>{3, 2, 1, 0}));
    EXPECT_FLOAT_EQ(d->ST_TRKE_appliedShiftX, 1.5f - 5.0f);
    slots[1] = 999;  // the host's own value stays while converged
    step(*d, 0, 2, slots);
    EXPECT_EQ(slots[1], 999);
}

TEST(DecideShifting, WrittenShiftStaysWithinTheBounds) {
    for (int cellWidth : {1, 3, 5, 7, 33}) {
        auto s = zt::quiet_stitcher(cellWidth);
        int shifts[2] = {};
        for (int tgt : {100, -100, 40, -3, 1000, 0})
            for (int f = 0; f < 4; ++f) {
                s->ST_TRKE_tgtLutTranslationX = tgt;
                s->decideShifting(0, shifts, 0);
                EXPECT_LE(std::abs(shifts[1]), 32 / cellWidth * cellWidth) << cellWidth;
                EXPECT_EQ(shifts[1] % cellWidth, 0);
            }
    }
}

TEST(DecideShifting, MessagesFollowTheSwitchItIsGiven) {
    auto s = zt::quiet_stitcher();
    int shifts[3] = {};
    int& frameNo = zelvo::shiftingCounter();
    s->ST_TRKE_convergingLutTranslationX = true;  // history empty: effective 0 == current
    frameNo = 2147483647;
    zt::StdoutCapture cap;
    s->decideShifting(1, shifts, 1);
    EXPECT_EQ(cap.take(),
              "decideShifting(): frameNo=2147483647, overlap_id= 1, ST_TRKE_convergingLutTranslationX = 1\n"
              "temporalWeightedAvg(): last_v = 0, ret_v = 0 \r\n"
              "decideShifting(): ST_TRKE_tgtLutTranslationX = 0, current effectiveOffsetX = 0, "
              "ST_TRKE_curLutTranslationX=0\n"
              "CONVERGED. Open for shifting target...\n");
    EXPECT_EQ(frameNo, 0) << "the counter wraps to 0";
    EXPECT_EQ(dbg_enable, 1);
    zt::StdoutCapture quiet;  // any other value silences all but the smoothing
    s->decideShifting(1, shifts, 2);
    EXPECT_EQ(quiet.take(), "temporalWeightedAvg(): last_v = 0, ret_v = 0 \r\n");
    EXPECT_EQ(dbg_enable, 2);
}
