// Shift path of one overlap: tracking, clustering the flow into a target, stepping.
#include <unistd.h>

#include "test_support.h"

namespace {

// Groups of tracked points with their flow and round-trip error.
struct Group {
    int n;
    float flow, roundTripErr = 0.0f;
};
int evaluate(DynStitcher& s, const std::vector<Group>& groups) {
    std::vector<cv::Point2f> back;
    s.ST_TRKE_prevPts.clear(), s.ST_TRKE_nextPts.clear();
    for (const Group& g : groups)
        for (int k = 0; k < g.n; ++k) {
            const size_t i = s.ST_TRKE_prevPts.size();
            const cv::Point2f p(float(10 + i % 60), float(5 + i / 60 * 3));
            s.ST_TRKE_prevPts.push_back(p), s.ST_TRKE_nextPts.push_back(p + cv::Point2f(g.flow, 0));
            back.push_back(p + cv::Point2f(g.roundTripErr, 0));
        }
    s.ST_TRKE_status.assign(back.size(), 1);
    std::vector<uchar> lr(back.size(), 1);
    return zelvo::evaluateTrackedPoints(s, back, lr);
}

}  // namespace

// Real frames, the right strip showing the scene `disp` cells further right, textured
// only where every corner's window lies in both strips; the applied shift adds.
TEST(Tracking, MeasuresAKnownDisplacementOnRealFootage) {
    dbg_enable = 0;
    for (int frame : {0, 50})
        for (int disp : {1, 6, -2})
            for (float applied : {0.0f, 2.0f}) {
                cv::Mat scene;
                cv::resize(zt::sample_gray(frame), scene, cv::Size(192, 144), 0, 0, cv::INTER_AREA);
                scene.colRange(0, 76).setTo(128);
                scene.colRange(120, 192).setTo(128);
                auto s = zt::quiet_stitcher();  // bounds +-8 cells
                s->leftImage = scene(cv::Rect(60, 0, 80, 144)).clone();
                s->rightImage = scene(cv::Rect(60 - disp, 0, 80, 144)).clone();
                s->ST_TRKE_appliedShiftX = applied;
                EXPECT_EQ(s->ST_TRKE(), 0) << "frame " << frame << " disp " << disp;
                EXPECT_EQ(s->ST_TRKE_tgtLutTranslationX, disp + int(applied)) << frame;
            }
}

// At least 9 points through the round trip and a share of 0.3 (0.15 for a repeat
// pattern: under 66 % of more than 39.6 points). A failing run keeps the target; a
// repeat-pattern run targets the flow kept from an earlier run.
TEST(Tracking, EvidenceLimitsAndRepeatPatterns) {
    // clang-format off
    const struct { int forward, pass; bool repeat; int result; const char* message; } cases[] = {
        {20, 8, false, -1, "status_OK_count = 20\nLR_status_OK_count = 8\n"
         "WARN: 8 (tracked_count) < 9 (MIN_TRACKED_POINT) . SKIP Shifting.\n\n"},
        {29, 8, false, -2, "status_OK_count = 29\nLR_status_OK_count = 8\n"  // 29 x 0.3 = 8.7
         "WARN: 8 (tracked_count), < 8 (0.30 percent of detected Features 29) . SKIP Shifting."
         "\n\n"},
        {100, 60, true, 0, "status_OK_count = 100\nLR_status_OK_count = 60\n"
         "WARN: LR check 60/100 (60.00% < 66%).\nMIGHT BE REPEAT PATTERN. "
         "ST_TRKE_SUCCESSFUL_TRACKED_POINT_RATIO is modified 0.500000x\n"},
        {30, 9, false, 0, nullptr},    // 30 x 0.3f is exactly 9 in float (above 9 in double)
        {100, 14, true, -2, nullptr},  // share 0.15 needs 15
        {100, 66, false, 0, nullptr},
        {40, 26, true, 0, nullptr},    // 40 > 39.6, 26 < 26.4
        {39, 10, false, -2, nullptr},  // share 0.3 needs 11.7
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.pass) + " of " + std::to_string(c.forward));
        auto t = zt::quiet_stitcher();
        t->ST_TRKE_repeatPatternCount = 2;
        t->ST_TRKE_MaxFlowX = 5.4f;  // kept from an earlier run
        t->ST_TRKE_tgtLutTranslationX = 4;
        dbg_enable = 1;
        zt::StdoutCapture cap;  // 1 pixel back is not within the round trip; 0.99 is
        EXPECT_EQ(evaluate(*t, {{c.pass / 2, 2, 0.99f},
                                {c.pass - c.pass / 2, 2, -0.5f},
                                {c.forward - c.pass, 2, 1.0f}}),
                  c.result);
        const std::string out = cap.take();
        if (c.message) {
            EXPECT_EQ(out.substr(0, out.find("Successful")), c.message);
        }
        EXPECT_EQ(t->ST_TRKE_repeatPatternCount, c.repeat ? 3 : 0);
        EXPECT_EQ(t->ST_TRKE_tgtLutTranslationX, c.result == 0 ? 2 : c.repeat ? 5 : 4);
    }
    dbg_enable = 0;
}

// Target: the dominant cluster's mean (over 2.5 times any other), else the largest mean
// of clusters of three points or more.
TEST(Tracking, ClusterChoice) {
    dbg_enable = 1;
    auto d = zt::quiet_stitcher();  // dominant S: 30 / 10 > 2.5, though L is larger
    zt::StdoutCapture cap;
    EXPECT_EQ(evaluate(*d, {{30, 1}, {5, 4}, {10, 8}}), 0);
    EXPECT_EQ(
        cap.take(),
        "status_OK_count = 45\nLR_status_OK_count = 45\nSuccessful tracked features = 45\n"
        "Average flow X. S: 1.000 (30)\tM: 4.000 (5)\tL: 8.000 (10)\nST_TRKE_closeRangeOnly = 0\n"
        "ST_TRKE(): ST_TRKE_MaxFlowX = 1.000000, ST_TRKE_tgtLutTranslationX = 1\n");
    dbg_enable = 0;
    // clang-format off
    const struct { std::vector<Group> groups; bool closeOnly, converging; int result, target; }
    cases[] = {
        {{{25, 1}, {5, 4}, {10, 8}}, false, false, 0, 8},    // 2.5 is not above
        {{{10, -6}, {10, 2}, {10, -3}}, false, false, 0, 2}, // largest mean, not |mean|
        {{{6, 1}, {3, 5}, {2, 9}}, false, false, 0, 5},      // below three: not eligible
        {{{10, 2}, {10, -3}, {10, 6}}, true, false, 0, -3},  // close range: no positive
        {{{30, 1}, {5, 4}, {10, 8}}, true, false, -4, 7},
        {{{20, 4}, {5, 1}}, true, true, 0, 7},               // converging: target kept, no -4
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.groups[0].n) + (c.closeOnly ? " close" : ""));
        auto s = zt::quiet_stitcher();
        s->ST_TRKE_closeRangeOnly = c.closeOnly;
        s->ST_TRKE_convergingLutTranslationX = c.converging;
        s->ST_TRKE_tgtLutTranslationX = 7;
        EXPECT_EQ(evaluate(*s, c.groups), c.result);
        EXPECT_EQ(s->ST_TRKE_tgtLutTranslationX, c.target);
    }
    // Flows spread over 30 cells settle only after more than two k-means passes (start fixed).
    cv::RNG rng(10);
    std::vector<Group> spread(40);
    for (Group& g : spread) g.n = 1 + rng.uniform(0, 6), g.flow = float(rng.uniform(0.0, 30.0));
    auto w = zt::quiet_stitcher(1);  // bounds +-32
    cv::theRNG().state = 0xffffffff;
    EXPECT_EQ(evaluate(*w, spread), 0);
    EXPECT_EQ(w->ST_TRKE_tgtLutTranslationX, 27);
}

// Only the selected overlap dumps, for the first limit_dump_frames frames of last_overlap_id.
TEST(Tracking, DebugDumpOfTheSelectedOverlapAndFrames) {
    if (access("/var/run", W_OK) != 0) GTEST_SKIP() << "/var/run is not writable";
    const std::string files[] = {"/var/run/0_1_L.png", "/var/run/0_1_R.png", "/var/run/1_1_L.png",
                                 "/var/run/0_0_L.png"};
    for (const auto& f : files) std::remove(f.c_str());
    auto s0 = zt::quiet_stitcher(4, 0), s1 = zt::quiet_stitcher(4, 1);
    for (auto* s : {s0.get(), s1.get()}) {
        s->leftImage = s->rightImage = cv::Mat(144, 80, CV_8UC1, cv::Scalar(33));
        s->rightImage.at<uint8_t>(3, 4) = 200;  // both share it
    }
    dump_overlap_id = last_overlap_id = limit_dump_frames = 1;
    zelvo::trackerDumpCounter() = 0;
    for (auto* s : {s0.get(), s1.get(), s1.get()}) s->ST_TRKE();  // overlap 0 counts nothing
    EXPECT_EQ(cv::norm(cv::imread(files[1], cv::IMREAD_UNCHANGED), s1->rightImage, cv::NORM_INF),
              0);
    EXPECT_TRUE(cv::haveImageReader(files[0]));
    EXPECT_FALSE(cv::haveImageReader(files[2]) || cv::haveImageReader(files[3]));
    EXPECT_EQ(zelvo::trackerDumpCounter(), 2);
    for (const auto& f : files) std::remove(f.c_str());
    dump_overlap_id = -1, last_overlap_id = 1;
}

TEST(TemporalWeightedAvg, SmoothsOnlyAFullHistory) {
    auto s = zt::quiet_stitcher();
    // clang-format off
    const struct { std::deque<int32_t> history; int length, expected; } cases[] = {
        {{1, 2, 9}, 5, 9},              // not full: newest entry
        {{0, 0, 0, 0, -10}, 5, -3},     // 30 / 9, toward zero
        {{1, 2, 3, 4, 5}, 5, 3},        // weights 1 1 2 2 3: 32 / 9
        {{4, 4, 4, 8}, 3, 1},           // first three entries only: 16 / 9
        {{}, 5, 0},                     // guard: nothing to smooth
        {{1, 2, 3}, 0, 0},              // no entry weighed
        {{9, 9, 3, 4, 5, 6, 7}, 7, 5},  // guard: five weights, for the last five of 7: 50 / 9
    };
    // clang-format on
    for (const auto& c : cases) {
        s->ST_TRKE_lutTranslationXHistory = c.history;
        s->ST_TRKE_historyLength = c.length;
        EXPECT_EQ(s->temporalWeightedAvg(), c.expected) << "length " << c.length;
    }
}

// Rounds half away from zero within the bounds; past five repeat patterns: half the
// bound (integer division) in the flow's direction, written over the history.
TEST(DetermineLutTranslationX, RoundsWithinTheRepeatLimitAndFallsBackPastIt) {
    auto s = zt::quiet_stitcher();
    // clang-format off
    const struct { float flow; int count, bound, expected; } cases[] = {
        {2.5f, 5, 8, 3}, {-2.5f, 0, 8, -3}, {2.49f, 0, 8, 2}, {20.0f, 0, 8, 8}, {-999.0f, 0, 8, -8},
        {6.0f, 6, 8, 2}, {-8.0f, 6, 8, -2}, {1.0f, 6, 8, 0}, {40.0f, 6, 7, 2}};  // 7/2 = 3 -> 1.5
    // clang-format on
    for (const auto& c : cases) {
        s->ST_TRKE_repeatPatternCount = c.count;
        s->ST_TRKE_lutTranslationXHistory = {5, 5, 5, 5, 5};
        EXPECT_EQ(s->determineLutTranslationX(c.flow, -c.bound, c.bound), c.expected) << c.flow;
        EXPECT_EQ(s->ST_TRKE_repeatPatternCount, c.count > 5 ? 0 : c.count);
        EXPECT_EQ(s->ST_TRKE_lutTranslationXHistory,
                  std::deque<int32_t>(5, c.count > 5 ? c.expected : 5));
    }
}

// Steps of 3, 2 or 1 cells (by distance) toward the smoothed target, the shift in pixels
// written to slot overlapIdx + 1 only; converged, the host's own value stays. Scaled
// targets round half away from zero.
TEST(DecideShifting, StepsTowardTheTargetThenConverges) {
    auto s = zt::quiet_stitcher(3);  // bounds +-10
    int shifts[5] = {-77, -77, -77, -77, -77};
    auto step = [&](int frames) {
        std::vector<int> cur;
        while (frames--) {
            EXPECT_EQ(s->decideShifting(2, shifts, 0), 0);
            cur.push_back(s->ST_TRKE_curLutTranslationX);
        }
        return cur;
    };
    s->ST_TRKE_lutTranslationXHistory = {10, 10, 10, 10};
    s->ST_TRKE_tgtLutTranslationX = 10;
    EXPECT_EQ(step(6), (std::vector<int>{3, 6, 8, 9, 10, 10}));
    EXPECT_EQ(std::vector<int>(shifts, shifts + 5), (std::vector<int>{-77, -77, -77, 30, -77}));
    EXPECT_FLOAT_EQ(s->ST_TRKE_appliedShiftX, 10.0f);
    EXPECT_EQ(s->ST_TRKE_lutTranslationXHistory.size(), 5u);  // the history length
    // Toward the bound, 4 cells a step from 11 cells on.
    s->ST_TRKE_tgtLutTranslationX = s->ST_TRKE_appliedShiftX = -1000;
    s->ST_TRKE_lutTranslationXHistory.clear();
    EXPECT_EQ(step(8), (std::vector<int>{6, 2, -2, -5, -7, -8, -9, -10}));
    EXPECT_EQ(shifts[3], -30);
    EXPECT_FLOAT_EQ(s->ST_TRKE_appliedShiftX, -1020.0f);
    shifts[3] = 999;
    step(1);
    zt::StdoutCapture cap;  // converged: the switch given becomes the library's
    s->decideShifting(2, shifts, 1);
    EXPECT_EQ(shifts[3], 999);
    const std::string out = cap.take();
    EXPECT_EQ(out.substr(out.find("ST_TRKE_cur")),
              "ST_TRKE_curLutTranslationX=-10\nCONVERGED. Open for shifting target...\n");
    EXPECT_EQ(dbg_enable, 1);
    dbg_enable = 0;
    for (const auto& c : {std::make_pair(5, 3), {-5, -3}, {3, 2}, {-1, -1}}) {
        auto r = zt::quiet_stitcher();
        r->ST_TRKE_tgtLutTranslationScale = 0.5f, r->ST_TRKE_tgtLutTranslationX = c.first;
        r->decideShifting(0, shifts, 0);
        EXPECT_EQ(r->ST_TRKE_lutTranslationXHistory.back(), c.second) << c.first;
    }
}
