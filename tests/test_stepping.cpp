// Target translation, smoothing and stepped shifting of one overlap.
#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "test_support.h"
#include "zelvo_internal.h"

namespace {

std::unique_ptr<DynStitcher> make_stitcher(int cellWidth, int overlapId = 0) {
    zt::StdoutCapture quiet;  // the constructor always prints its switch lines
    return std::unique_ptr<DynStitcher>(new DynStitcher(
        0, 0, 640, 480, 320, 3, 100.0f, 0.0f, 0.0f, 0, nullptr, nullptr, 1, 10, 9, 9, nullptr,
        nullptr, overlapId, 40, 30, cellWidth, 4));
}

std::deque<int32_t> history_of(std::initializer_list<int> v) { return std::deque<int32_t>(v); }

struct DbgGuard {
    int saved = dbg_enable;
    ~DbgGuard() { dbg_enable = saved; }
};

}  // namespace

TEST(ComputeXStep, StepTableIsSymmetricAndNeverOvershoots) {
    auto s = make_stitcher(4);
    const struct { int d, step; } table[] = {{0, 0},  {1, 1},  {3, 1},  {4, 2},  {6, 2},
                                             {7, 3},  {10, 3}, {11, 4}, {40, 4}, {1000, 4}};
    for (const auto& row : table) {
        for (int base : {-7, 0, 5}) {
            EXPECT_EQ(s->computeXStep(base + row.d, base), row.step) << "d=" << row.d;
            EXPECT_EQ(s->computeXStep(base, base + row.d), row.step) << "d=" << row.d;
        }
        EXPECT_LE(s->computeXStep(row.d, 0), row.d);
    }
}

TEST(TemporalWeightedAvg, SmoothsOnlyAFullHistory) {
    DbgGuard guard;
    dbg_enable = 0;
    auto s = make_stitcher(4);
    const struct {
        std::deque<int32_t> history;
        int expected;
    } cases[] = {
        {history_of({7}), 7},                       // not full: newest entry
        {history_of({1, 2, 9}), 9},
        {history_of({0, 0, 0, 0, 10}), 3},          // 30 / 9
        {history_of({0, 0, 0, 0, -10}), -3},        // toward zero
        {history_of({4, 4, 4, 4, 4}), 4},
        {history_of({-6, -6, -6, -6, -6}), -6},
        {history_of({9, 9, 0, 0, 0}), 2},           // 18 / 9 exactly
        {history_of({8, 0, 0, 0, 0}), 0},           // 8 / 9
        {history_of({1, 2, 3, 4, 5}), 3},           // (1+2+6+8+15)=32 / 9
    };
    for (const auto& c : cases) {
        s->ST_TRKE_lutTranslationXHistory = c.history;
        EXPECT_EQ(s->temporalWeightedAvg(), c.expected);
        EXPECT_EQ(s->ST_TRKE_lutTranslationXHistory, c.history) << "history is only read";
    }
}

TEST(TemporalWeightedAvg, PrintsOnAnyNonZeroSwitch) {
    DbgGuard guard;
    auto s = make_stitcher(4);
    s->ST_TRKE_lutTranslationXHistory = history_of({0, 0, 0, 0, 10});
    for (int sw : {0, 1, 2, -1}) {
        dbg_enable = sw;
        zt::StdoutCapture cap;
        s->temporalWeightedAvg();
        const std::string out = cap.take();
        if (sw == 0)
            EXPECT_EQ(out, "");
        else
            EXPECT_EQ(out, "temporalWeightedAvg(): last_v = 10, ret_v = 3 \r\n") << sw;
    }
}

TEST(DetermineLutTranslationX, RoundsAndBoundsWithinRepeatLimit) {
    auto s = make_stitcher(4);
    s->ST_TRKE_lutTranslationXHistory = history_of({1, 2, 3});
    const struct { float flow; int expected; } cases[] = {
        {2.5f, 3}, {-2.5f, -3}, {2.49f, 2}, {0.0f, 0}, {20.0f, 8}, {-20.0f, -8},
        {8.4f, 8}, {-999.0f, -8}, {-0.5f, -1},
    };
    for (int count : {0, 5}) {  // the limit itself still counts as within
        for (const auto& c : cases) {
            s->ST_TRKE_repeatPatternCount = count;
            EXPECT_EQ(s->determineLutTranslationX(c.flow, -8, 8), c.expected) << c.flow;
            EXPECT_EQ(s->ST_TRKE_repeatPatternCount, count);
        }
    }
    EXPECT_EQ(s->ST_TRKE_lutTranslationXHistory, history_of({1, 2, 3}));
    // The bounds are the arguments, not the members.
    EXPECT_EQ(s->determineLutTranslationX(5.0f, -2, 3), 3);
    EXPECT_EQ(s->determineLutTranslationX(-5.0f, -2, 3), -2);
}

TEST(DetermineLutTranslationX, FallsBackToAQuarterPastTheLimit) {
    auto s = make_stitcher(4);
    const struct {
        float flow;
        int minX, maxX;
        int expected;
    } cases[] = {
        {20.0f, -8, 8, 2},    // v = 8/2 = 4
        {8.0f, -8, 8, 2},     // flow == max takes the bound branch
        {6.0f, -8, 8, 2},     // v = 3, 1.5 rounds away from zero
        {-20.0f, -8, 8, -2},  // v = -4
        {-8.0f, -8, 8, -2},   // flow == min is not above it
        {-999.0f, -8, 8, -2},
        {1.0f, -8, 8, 0},     // 0.25
        {-6.0f, -8, 8, -2},   // -1.5
        {40.0f, -10, 10, 3},  // v = 5, 2.5 -> 3
        {40.0f, -7, 7, 2},    // 7/2 = 3 (integer division) -> 1.5 -> 2
        {-40.0f, -7, 7, -2},
    };
    for (const auto& c : cases) {
        s->ST_TRKE_repeatPatternCount = 6;
        s->ST_TRKE_lutTranslationXHistory = history_of({5, 5, 5, 5, 5});
        const int t = s->determineLutTranslationX(c.flow, c.minX, c.maxX);
        EXPECT_EQ(t, c.expected) << c.flow;
        EXPECT_EQ(s->ST_TRKE_repeatPatternCount, 0);
        EXPECT_EQ(s->ST_TRKE_lutTranslationXHistory,
                  std::deque<int32_t>(5, c.expected)) << "every entry becomes the target";
    }
    // A short history keeps its length; an empty one stays empty.
    s->ST_TRKE_repeatPatternCount = 6;
    s->ST_TRKE_lutTranslationXHistory = history_of({1, 7});
    EXPECT_EQ(s->determineLutTranslationX(20.0f, -8, 8), 2);
    EXPECT_EQ(s->ST_TRKE_lutTranslationXHistory, history_of({2, 2}));
    s->ST_TRKE_repeatPatternCount = 6;
    s->ST_TRKE_lutTranslationXHistory.clear();
    EXPECT_EQ(s->determineLutTranslationX(20.0f, -8, 8), 2);
    EXPECT_TRUE(s->ST_TRKE_lutTranslationXHistory.empty());
}

// Drives decideShifting with a fixed target and returns the translation after
// each call, and the slot value seen after each call.
struct Trace {
    std::vector<int> cur;
    std::vector<int> slot;
    std::vector<bool> converging;
};

static Trace run_frames(DynStitcher& s, int overlapIdx, int frames, int* shifts) {
    Trace t;
    for (int f = 0; f < frames; ++f) {
        EXPECT_EQ(s.decideShifting(overlapIdx, shifts, 0), 0);
        t.cur.push_back(s.ST_TRKE_curLutTranslationX);
        t.slot.push_back(shifts[overlapIdx + 1]);
        t.converging.push_back(s.ST_TRKE_convergingLutTranslationX);
    }
    return t;
}

TEST(DecideShifting, StepsTowardAConstantSmoothedTarget) {
    DbgGuard guard;
    auto s = make_stitcher(3);  // bounds +-10
    ASSERT_EQ(s->ST_TRKE_maxLutTranslationX, 10);
    s->ST_TRKE_lutTranslationXHistory = history_of({10, 10, 10, 10});
    s->ST_TRKE_tgtLutTranslationX = 10;
    int shifts[5] = {-77, -77, -77, -77, -77};
    const Trace t = run_frames(*s, 2, 7, shifts);
    EXPECT_EQ(t.cur, (std::vector<int>{3, 6, 8, 9, 10, 10, 10}));
    EXPECT_EQ(t.slot, (std::vector<int>{9, 18, 24, 27, 30, 30, 30}));
    EXPECT_EQ(t.converging, (std::vector<bool>{true, true, true, true, true, false, false}));
    EXPECT_FLOAT_EQ(s->ST_TRKE_appliedShiftX, 10.0f);
    // Only slot overlapIdx + 1 is written.
    EXPECT_EQ(shifts[0], -77);
    EXPECT_EQ(shifts[1], -77);
    EXPECT_EQ(shifts[2], -77);
    EXPECT_EQ(shifts[4], -77);
    EXPECT_EQ(dbg_enable, 0);
}

TEST(DecideShifting, StepsDownToZeroAndWritesNothingOnceConverged) {
    auto s = make_stitcher(4);
    s->ST_TRKE_curLutTranslationX = 5;
    s->ST_TRKE_appliedShiftX = 1.5f;
    s->ST_TRKE_lutTranslationXHistory = history_of({0, 0, 0, 0, 0});
    int shifts[5] = {0, 0, 0, 0, 0};
    const Trace t = run_frames(*s, 0, 5, shifts);
    EXPECT_EQ(t.cur, (std::vector<int>{3, 2, 1, 0, 0}));
    EXPECT_EQ(t.slot, (std::vector<int>{12, 8, 4, 0, 0}));
    EXPECT_FLOAT_EQ(s->ST_TRKE_appliedShiftX, 1.5f - 5.0f);
    EXPECT_FALSE(s->ST_TRKE_convergingLutTranslationX);
    shifts[1] = 999;  // host's own value stays while converged
    run_frames(*s, 0, 2, shifts);
    EXPECT_EQ(shifts[1], 999);
}

TEST(DecideShifting, FirstFrameUsesTheNewestTargetUnsmoothed) {
    auto s = make_stitcher(4);  // bounds +-8
    s->ST_TRKE_tgtLutTranslationX = 8;
    int shifts[5] = {};
    s->decideShifting(1, shifts, 0);
    EXPECT_EQ(s->ST_TRKE_lutTranslationXHistory, history_of({8}));
    EXPECT_EQ(s->ST_TRKE_curLutTranslationX, 3);
    EXPECT_EQ(shifts[2], 12);
    // The smoothing then follows the filling history: targets 8 give
    // effective 8 until the history is full, then (8*9)/9 = 8.
    run_frames(*s, 1, 5, shifts);
    EXPECT_EQ(s->ST_TRKE_curLutTranslationX, 8);
    EXPECT_EQ(shifts[2], 32);
}

TEST(DecideShifting, SmoothedTargetAndThreshold) {
    auto s = make_stitcher(4);
    int shifts[5] = {};
    // One new target of 10 (bounded to 8) after four zeros: (8*3)/9 = 2.
    s->ST_TRKE_lutTranslationXHistory = history_of({0, 0, 0, 0, 0});
    s->ST_TRKE_tgtLutTranslationX = 10;
    s->decideShifting(0, shifts, 0);
    EXPECT_EQ(s->ST_TRKE_lutTranslationXHistory, history_of({0, 0, 0, 0, 8}));
    EXPECT_EQ(s->ST_TRKE_curLutTranslationX, 1);
    EXPECT_EQ(shifts[1], 4);

    // A wider threshold holds a converged overlap in place.
    auto h = make_stitcher(4);
    h->ST_TRKE_convergeThresholdX = 3;
    h->ST_TRKE_tgtLutTranslationX = 2;
    shifts[1] = 55;
    h->decideShifting(0, shifts, 0);
    EXPECT_EQ(h->ST_TRKE_curLutTranslationX, 0);
    EXPECT_FALSE(h->ST_TRKE_convergingLutTranslationX);
    EXPECT_EQ(shifts[1], 55);
    h->ST_TRKE_tgtLutTranslationX = 3;  // effective 3 now (history not full)
    h->decideShifting(0, shifts, 0);
    EXPECT_EQ(h->ST_TRKE_curLutTranslationX, 1);
    EXPECT_TRUE(h->ST_TRKE_convergingLutTranslationX);
    // Once stepping, it continues until it meets the target exactly, even
    // inside the threshold.
    h->decideShifting(0, shifts, 0);
    h->decideShifting(0, shifts, 0);
    EXPECT_EQ(h->ST_TRKE_curLutTranslationX, 3);
    EXPECT_EQ(shifts[1], 12);
}

TEST(DecideShifting, ScaleRoundsAndBoundsTheHistoryEntry) {
    auto s = make_stitcher(4);
    int shifts[5] = {};
    const struct { int tgt; float scale; int entry; } cases[] = {
        {5, 0.5f, 3}, {-5, 0.5f, -3}, {3, 2.0f, 6}, {6, 2.0f, 8}, {-6, 2.0f, -8}, {7, 0.0f, 0},
    };
    for (const auto& c : cases) {
        s->ST_TRKE_tgtLutTranslationX = c.tgt;
        s->ST_TRKE_tgtLutTranslationScale = c.scale;
        s->decideShifting(0, shifts, 0);
        EXPECT_EQ(s->ST_TRKE_lutTranslationXHistory.back(), c.entry);
        EXPECT_LE(s->ST_TRKE_lutTranslationXHistory.size(), 5u);
    }
}

TEST(DecideShifting, WrittenShiftStaysWithinTheBounds) {
    for (int cellWidth : {1, 3, 4, 5, 7, 16, 33}) {
        auto s = make_stitcher(cellWidth);
        const int lo = s->ST_TRKE_minLutTranslationX * cellWidth;
        const int hi = s->ST_TRKE_maxLutTranslationX * cellWidth;
        int shifts[5] = {};
        const int targets[] = {100, 100, 100, -100, -100, 40, -3, 1000, -1000, 0, 0, 0};
        for (int tgt : targets) {
            for (int f = 0; f < 4; ++f) {
                s->ST_TRKE_tgtLutTranslationX = tgt;
                s->decideShifting(0, shifts, 0);
                EXPECT_GE(shifts[1], lo) << cellWidth;
                EXPECT_LE(shifts[1], hi) << cellWidth;
                EXPECT_GE(shifts[1], -32);
                EXPECT_LE(shifts[1], 32);
                EXPECT_EQ(shifts[1] % cellWidth, 0);
            }
        }
    }
}

TEST(DecideShifting, MessagesFollowTheSwitchItIsGiven) {
    DbgGuard guard;
    auto s = make_stitcher(4);
    int shifts[5] = {};
    int& frameNo = zelvo::shifting_counter();
    frameNo = 41;
    s->ST_TRKE_tgtLutTranslationX = 8;
    {
        zt::StdoutCapture cap;
        s->decideShifting(1, shifts, 1);
        EXPECT_EQ(cap.take(),
                  "decideShifting(): frameNo=41, overlap_id= 1, ST_TRKE_convergingLutTranslationX = 0\n"
                  "temporalWeightedAvg(): last_v = 8, ret_v = 8 \r\n"
                  "decideShifting(): ST_TRKE_tgtLutTranslationX = 8, current effectiveOffsetX = 8, "
                  "ST_TRKE_curLutTranslationX=0\n"
                  "Stepped. Now ST_TRKE_curLutTranslationX = 3, shift_value = 12, overlap_shift_value[2] = 12\n");
    }
    EXPECT_EQ(dbg_enable, 1);
    EXPECT_EQ(frameNo, 42);

    // Any other value silences decideShifting but not the smoothing.
    {
        zt::StdoutCapture cap;
        s->decideShifting(1, shifts, 2);
        EXPECT_EQ(cap.take(), "temporalWeightedAvg(): last_v = 8, ret_v = 8 \r\n");
    }
    EXPECT_EQ(dbg_enable, 2);
    {
        zt::StdoutCapture cap;
        s->decideShifting(1, shifts, 0);
        EXPECT_EQ(cap.take(), "");
    }
    EXPECT_EQ(dbg_enable, 0);

    auto c = make_stitcher(4);
    c->ST_TRKE_convergingLutTranslationX = true;  // history empty -> effective 0 == current
    frameNo = 2147483647;
    {
        zt::StdoutCapture cap;
        c->decideShifting(0, shifts, 1);
        EXPECT_EQ(cap.take(),
                  "decideShifting(): frameNo=2147483647, overlap_id= 0, ST_TRKE_convergingLutTranslationX = 1\n"
                  "temporalWeightedAvg(): last_v = 0, ret_v = 0 \r\n"
                  "decideShifting(): ST_TRKE_tgtLutTranslationX = 0, current effectiveOffsetX = 0, "
                  "ST_TRKE_curLutTranslationX=0\n"
                  "CONVERGED. Open for shifting target...\n");
    }
    EXPECT_EQ(frameNo, 0) << "the counter wraps to 0";
}
