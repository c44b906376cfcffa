// Feature tracking between the two strips of an overlap and the clustering of
// the horizontal flow into a target translation.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "test_support.h"
#include "zelvo_internal.h"

// Decision half of the tracker (left-right check, evidence tests, clustering),
// defined next to ST_TRKE; reached here to feed it hand-built point sets.
namespace zelvo {
int evaluate_tracked_points(DynStitcher& s, const std::vector<cv::Point2f>& backPts,
                            std::vector<uchar>& LR_status);
}

namespace {

std::unique_ptr<DynStitcher> make_stitcher(int cellWidth = 4, int overlapId = 0) {
    zt::StdoutCapture quiet;
    return std::unique_ptr<DynStitcher>(new DynStitcher(
        0, 0, 768, 576, 320, 1, 100.0f, 0.0f, 0.0f, 0, nullptr, nullptr, 1, 10, 9, 9, nullptr,
        nullptr, overlapId, 48, 36, cellWidth, 4));
}

struct DebugSwitches {
    int enable = dbg_enable, dump = dump_overlap_id, last = last_overlap_id,
        limit = limit_dump_frames;
    ~DebugSwitches() {
        dbg_enable = enable;
        dump_overlap_id = dump;
        last_overlap_id = last;
        limit_dump_frames = limit;
    }
};

// Real footage at mask-grid scale: 192 x 144.
cv::Mat textured_grid(int frame) {
    cv::Mat full = zt::sample_gray(frame), small;
    cv::resize(full, small, cv::Size(192, 144), 0, 0, cv::INTER_AREA);
    return small;
}

// Left strip at x0; the right strip shows the same scene moved right by
// `disp` cells (a feature at left x appears at right x + disp). The scene is
// textured only in the band of left-strip columns 16 .. 59, so that for
// displacements up to 6 cells every corner and its tracking window lie inside
// both strips (near a strip's edge the tracker's window is cut and outliers
// with a larger flow would win the cluster choice).
void set_strips(DynStitcher& s, const cv::Mat& full, int x0, int disp) {
    cv::Mat scene = full.clone();
    scene.colRange(0, x0 + 16).setTo(128);
    scene.colRange(x0 + 60, scene.cols).setTo(128);
    s.leftImage = scene(cv::Rect(x0, 0, 80, scene.rows)).clone();
    s.rightImage = scene(cv::Rect(x0 - disp, 0, 80, scene.rows)).clone();
}

// Hand-built tracking result: forward-tracked points with their flow and the
// error of their round trip.
struct PointSet {
    std::vector<cv::Point2f> prev, next, back;
    std::vector<uchar> lr;

    void add(int n, float flow, float roundTripErr = 0.0f, uchar lrStatus = 1) {
        for (int k = 0; k < n; ++k) {
            const int idx = int(prev.size());
            const cv::Point2f p(float(10 + idx % 60), float(5 + idx / 60 * 3));
            prev.push_back(p);
            next.push_back(p + cv::Point2f(flow, 0.0f));
            back.push_back(p + cv::Point2f(roundTripErr, 0.0f));
            lr.push_back(lrStatus);
        }
    }
    int run(DynStitcher& s) {
        s.ST_TRKE_prevPts = prev;
        s.ST_TRKE_nextPts = next;
        s.ST_TRKE_status.assign(prev.size(), 1);
        return zelvo::evaluate_tracked_points(s, back, lr);
    }
};

// `pass` points that survive the round trip out of `forward`, all with flow 2.
PointSet round_trip(int forward, int pass) {
    PointSet ps;
    ps.add(pass, 2.0f);
    ps.add(forward - pass, 2.0f, 3.0f);
    return ps;
}

}  // namespace

TEST(Tracking, MeasuresAKnownDisplacementOnRealFootage) {
    DebugSwitches keep;
    dbg_enable = 0;
    for (int frame : {0, 50, 99}) {
        const cv::Mat scene = textured_grid(frame);
        for (int disp = 1; disp <= 6; ++disp) {
            auto s = make_stitcher(4);  // bounds +-8 cells
            s->ST_TRKE_tgtLutTranslationX = 100;
            set_strips(*s, scene, 60, disp);
            EXPECT_EQ(s->ST_TRKE(), 0) << "frame " << frame << " disp " << disp;
            EXPECT_EQ(s->ST_TRKE_tgtLutTranslationX, disp) << "frame " << frame;
            EXPECT_TRUE(s->ST_TRKE_clusterFound);
            EXPECT_NEAR(s->ST_TRKE_MaxFlowX, float(disp), 0.5f);
            EXPECT_EQ(s->ST_TRKE_prevPts.size(), s->ST_TRKE_nextPts.size());
            EXPECT_EQ(s->ST_TRKE_prevPts.size(), s->ST_TRKE_status.size());
            EXPECT_LE(s->ST_TRKE_prevPts.size(), 120u);
            const size_t members = s->ST_TRKE_clusterMembersS.size() +
                                   s->ST_TRKE_clusterMembersM.size() +
                                   s->ST_TRKE_clusterMembersL.size();
            EXPECT_EQ(int(members), cv::countNonZero(s->ST_TRKE_status));
        }
    }
    // Displacements the other way.
    const cv::Mat scene = textured_grid(20);
    for (int disp : {-2, -5}) {
        auto s = make_stitcher(4);
        set_strips(*s, scene, 60, disp);
        EXPECT_EQ(s->ST_TRKE(), 0);
        EXPECT_EQ(s->ST_TRKE_tgtLutTranslationX, disp);
    }
}

TEST(Tracking, FlowIncludesTheShiftAlreadyApplied) {
    DebugSwitches keep;
    dbg_enable = 0;
    auto s = make_stitcher(4);
    set_strips(*s, textured_grid(10), 60, 0);  // identical strips
    s->ST_TRKE_appliedShiftX = 3.0f;
    EXPECT_EQ(s->ST_TRKE(), 0);
    EXPECT_FLOAT_EQ(s->ST_TRKE_MaxFlowX, 3.0f);
    EXPECT_EQ(s->ST_TRKE_tgtLutTranslationX, 3);
    for (size_t i = 0; i < s->ST_TRKE_prevPts.size(); ++i)
        if (s->ST_TRKE_status[i]) EXPECT_EQ(s->ST_TRKE_nextPts[i], s->ST_TRKE_prevPts[i]);
}

TEST(Tracking, FlatStripFindsNoCorner) {
    DebugSwitches keep;
    auto s = make_stitcher(4);
    s->leftImage = cv::Mat(144, 80, CV_8UC1, cv::Scalar(128));
    s->rightImage = textured_grid(0)(cv::Rect(0, 0, 80, 144)).clone();
    s->ST_TRKE_tgtLutTranslationX = 5;
    s->ST_TRKE_repeatPatternCount = 4;
    s->ST_TRKE_MaxFlowX = 2.5f;
    s->ST_TRKE_clusterMembersS = {1, 2};
    s->ST_TRKE_clusterMembersL = {3};
    for (int sw : {1, 0, 2}) {
        dbg_enable = sw;
        zt::StdoutCapture cap;
        EXPECT_EQ(s->ST_TRKE(), -3);
        EXPECT_EQ(cap.take(), sw == 1
                                  ? "WARN: No feature detected in left size image. SKIP Shifting.\n\n"
                                  : "");
    }
    EXPECT_EQ(s->ST_TRKE_tgtLutTranslationX, 5);
    EXPECT_EQ(s->ST_TRKE_repeatPatternCount, 4);
    EXPECT_FLOAT_EQ(s->ST_TRKE_MaxFlowX, 2.5f);
    EXPECT_TRUE(s->ST_TRKE_clusterMembersS.empty());
    EXPECT_TRUE(s->ST_TRKE_clusterMembersL.empty());
}

TEST(Tracking, MessagesOfASuccessfulRun) {
    DebugSwitches keep;
    dbg_enable = 1;
    auto s = make_stitcher(4);
    PointSet ps;
    ps.add(30, 1.0f);
    ps.add(5, 4.0f);
    ps.add(10, 8.0f);
    zt::StdoutCapture cap;
    EXPECT_EQ(ps.run(*s), 0);
    EXPECT_EQ(cap.take(),
              "status_OK_count = 45\n"
              "LR_status_OK_count = 45\n"
              "Successful tracked features = 45\n"
              "Average flow X. S: 1.000 (30)\tM: 4.000 (5)\tL: 8.000 (10)\n"
              "ST_TRKE_closeRangeOnly = 0\n"
              "ST_TRKE(): ST_TRKE_MaxFlowX = 1.000000, ST_TRKE_tgtLutTranslationX = 1\n");
    std::vector<int> s_members(30), m_members(5), l_members(10);
    for (int j = 0; j < 30; ++j) s_members[j] = j;
    for (int j = 0; j < 5; ++j) m_members[j] = 30 + j;
    for (int j = 0; j < 10; ++j) l_members[j] = 35 + j;
    EXPECT_EQ(s->ST_TRKE_clusterMembersS, s_members);
    EXPECT_EQ(s->ST_TRKE_clusterMembersM, m_members);
    EXPECT_EQ(s->ST_TRKE_clusterMembersL, l_members);

    dbg_enable = 2;  // only exactly 1 prints
    zt::StdoutCapture quiet;
    EXPECT_EQ(ps.run(*s), 0);
    EXPECT_EQ(quiet.take(), "");
}

TEST(Tracking, RoundTripMustEndWithinOnePixel) {
    DebugSwitches keep;
    dbg_enable = 0;
    auto s = make_stitcher(4);
    PointSet ps;
    ps.add(10, 2.0f, 0.99f);
    ps.add(10, 6.0f, 1.0f);      // dropped by distance
    ps.add(4, 6.0f, 0.0f, 0);    // lost by the backward pass
    ps.add(2, 2.0f, -0.99f);
    EXPECT_EQ(ps.run(*s), 0);
    ASSERT_EQ(s->ST_TRKE_status.size(), 26u);
    for (int i = 0; i < 26; ++i) {
        const bool kept = i < 10 || i >= 24;
        EXPECT_EQ(s->ST_TRKE_status[i] != 0, kept) << i;
        EXPECT_EQ(ps.lr[i] != 0, kept) << i;
    }
    EXPECT_FLOAT_EQ(s->ST_TRKE_MaxFlowX, 2.0f);
    EXPECT_EQ(s->ST_TRKE_tgtLutTranslationX, 2);
}

TEST(Tracking, EvidenceTests) {
    DebugSwitches keep;
    dbg_enable = 1;
    const struct {
        int forward, pass;
        int result;
        const char* message;
    } cases[] = {
        {20, 8, -1,
         "status_OK_count = 20\nLR_status_OK_count = 8\n"
         "WARN: 8 (tracked_count) < 9 (MIN_TRACKED_POINT) . SKIP Shifting.\n\n"},
        {20, 5, -2,
         "status_OK_count = 20\nLR_status_OK_count = 5\n"
         "WARN: 5 (tracked_count), < 6 (0.30 percent of detected Features 20) . SKIP Shifting.\n\n"},
        // 29 x 0.3 = 8.7: 8 points are too few a share.
        {29, 8, -2,
         "status_OK_count = 29\nLR_status_OK_count = 8\n"
         "WARN: 8 (tracked_count), < 8 (0.30 percent of detected Features 29) . SKIP Shifting.\n\n"},
        {0, 0, -1,
         "status_OK_count = 0\nLR_status_OK_count = 0\n"
         "WARN: 0 (tracked_count) < 9 (MIN_TRACKED_POINT) . SKIP Shifting.\n\n"},
    };
    for (const auto& c : cases) {
        auto s = make_stitcher(4);
        s->ST_TRKE_tgtLutTranslationX = 4;
        s->ST_TRKE_repeatPatternCount = 3;
        PointSet ps = round_trip(c.forward, c.pass);
        zt::StdoutCapture cap;
        EXPECT_EQ(ps.run(*s), c.result) << c.forward << "/" << c.pass;
        EXPECT_EQ(cap.take(), c.message);
        EXPECT_EQ(s->ST_TRKE_tgtLutTranslationX, 4);
        EXPECT_EQ(s->ST_TRKE_repeatPatternCount, 0) << "a run without repeat pattern resets it";
    }
    // The share is compared in float: 30 x 0.3f rounds to exactly 9 there
    // (in double it would lie above 9), so 9 of 30 points are enough.
    dbg_enable = 0;
    auto s = make_stitcher(4);
    PointSet ps = round_trip(30, 9);
    EXPECT_EQ(ps.run(*s), 0);
    EXPECT_EQ(s->ST_TRKE_tgtLutTranslationX, 2);
}

TEST(Tracking, RepeatPatternLoosensTheShareAndCounts) {
    DebugSwitches keep;
    dbg_enable = 1;
    // 100 forward, 60 back: 100 > 39.6 and 60 < 66.
    {
        auto s = make_stitcher(4);
        s->ST_TRKE_MaxFlowX = 2.6f;
        PointSet ps;
        ps.add(40, 2.0f);
        ps.add(10, 4.0f);
        ps.add(10, 6.0f);
        ps.add(40, 2.0f, 5.0f);
        zt::StdoutCapture cap;
        EXPECT_EQ(ps.run(*s), 0);
        const std::string out = cap.take();
        EXPECT_EQ(out.substr(0, out.find("Successful")),
                  "status_OK_count = 100\nLR_status_OK_count = 60\n"
                  "WARN: LR check 60/100 (60.00% < 66%).\n"
                  "MIGHT BE REPEAT PATTERN. ST_TRKE_SUCCESSFUL_TRACKED_POINT_RATIO is modified 0.500000x\n");
        EXPECT_TRUE(s->ST_TRKE_repeatPattern);
        EXPECT_EQ(s->ST_TRKE_repeatPatternCount, 1);
        EXPECT_EQ(s->ST_TRKE_tgtLutTranslationX, 2);  // 40/10 > 2.5: S wins
    }
    dbg_enable = 0;
    const struct {
        int forward, pass;
        bool repeat;
        int result;
    } cases[] = {
        {100, 16, true, 0},    // share 0.15 needs 15
        {100, 14, true, -2},
        {100, 66, false, 0},   // 66 is not below 66
        {40, 26, true, 0},     // 40 > 39.6, 26 < 26.4
        {40, 27, false, 0},
        {39, 10, false, -2},   // 39 is not above 39.6; share 0.3 needs 11.7
    };
    for (const auto& c : cases) {
        auto s = make_stitcher(4);
        s->ST_TRKE_repeatPatternCount = 2;
        s->ST_TRKE_MaxFlowX = 5.4f;  // kept from an earlier run
        PointSet ps = round_trip(c.forward, c.pass);
        EXPECT_EQ(ps.run(*s), c.result) << c.forward << "/" << c.pass;
        EXPECT_EQ(s->ST_TRKE_repeatPattern, c.repeat);
        EXPECT_EQ(s->ST_TRKE_repeatPatternCount, c.repeat ? 3 : 0);
        if (c.result == -2) {
            // Only the repeat-pattern step set a target, from the kept flow.
            EXPECT_EQ(s->ST_TRKE_tgtLutTranslationX, c.repeat ? 5 : 0);
            EXPECT_FLOAT_EQ(s->ST_TRKE_MaxFlowX, 5.4f);
        } else {
            EXPECT_EQ(s->ST_TRKE_tgtLutTranslationX, 2);
        }
    }
}

TEST(Tracking, RepeatPatternTargets) {
    DebugSwitches keep;
    dbg_enable = 0;
    // Converging: counted, target untouched.
    {
        auto s = make_stitcher(4);
        s->ST_TRKE_convergingLutTranslationX = true;
        s->ST_TRKE_tgtLutTranslationX = 6;
        s->ST_TRKE_MaxFlowX = 1.0f;
        PointSet ps = round_trip(100, 14);
        EXPECT_EQ(ps.run(*s), -2);
        EXPECT_EQ(s->ST_TRKE_repeatPatternCount, 1);
        EXPECT_EQ(s->ST_TRKE_tgtLutTranslationX, 6);
    }
    // The last run found no cluster: -999 maps to the lower bound.
    {
        auto s = make_stitcher(4);
        s->ST_TRKE_MaxFlowX = -999.0f;
        PointSet ps = round_trip(100, 14);
        EXPECT_EQ(ps.run(*s), -2);
        EXPECT_EQ(s->ST_TRKE_tgtLutTranslationX, -8);
    }
    // Six repeat runs in a row: the sixth falls back to a quarter of the
    // flow and rewrites the history.
    {
        auto s = make_stitcher(4);
        s->ST_TRKE_MaxFlowX = 20.0f;
        s->ST_TRKE_lutTranslationXHistory = {1, 1, 1, 1, 1};
        for (int run = 1; run <= 5; ++run) {
            PointSet ps = round_trip(100, 14);
            EXPECT_EQ(ps.run(*s), -2);
            EXPECT_EQ(s->ST_TRKE_repeatPatternCount, run);
            EXPECT_EQ(s->ST_TRKE_tgtLutTranslationX, 8);
        }
        PointSet ps = round_trip(100, 14);
        EXPECT_EQ(ps.run(*s), -2);
        EXPECT_EQ(s->ST_TRKE_repeatPatternCount, 0);
        EXPECT_EQ(s->ST_TRKE_tgtLutTranslationX, 2);
        EXPECT_EQ(s->ST_TRKE_lutTranslationXHistory, std::deque<int32_t>(5, 2));
    }
}

TEST(Tracking, ClusterChoice) {
    DebugSwitches keep;
    dbg_enable = 0;
    const struct {
        std::vector<std::pair<int, float>> groups;  // count, flow
        bool closeRangeOnly;
        int result;
        float maxFlow;
        int target;
    } cases[] = {
        // Dominant S: 30 / 10 = 3 > 2.5, even though L is larger.
        {{{30, 1.0f}, {5, 4.0f}, {10, 8.0f}}, false, 0, 1.0f, 1},
        {{{26, 1.0f}, {5, 4.0f}, {10, 8.0f}}, false, 0, 1.0f, 1},
        {{{25, 1.0f}, {5, 4.0f}, {10, 8.0f}}, false, 0, 8.0f, 8},  // 2.5 is not above
        {{{20, 1.0f}, {5, 4.0f}, {10, 6.0f}}, false, 0, 6.0f, 6},
        // The largest mean wins, not the largest size: S is the smallest |mean|.
        {{{10, -6.0f}, {10, 2.0f}, {10, -3.0f}}, false, 0, 2.0f, 2},
        // Clusters below three members are not eligible.
        {{{6, 1.0f}, {3, 5.0f}, {3, 9.0f}}, false, 0, 9.0f, 8},
        {{{6, 1.0f}, {3, 5.0f}, {2, 9.0f}}, false, 0, 5.0f, 5},
        {{{6, 1.0f}, {2, 5.0f}, {2, 9.0f}}, false, 0, 1.0f, 1},
        // Close range only: positive means are not eligible.
        {{{10, 2.0f}, {10, -3.0f}, {10, 6.0f}}, true, 0, -3.0f, -3},
        {{{10, -1.0f}, {10, -3.0f}, {10, 6.0f}}, true, 0, -1.0f, -1},
        {{{30, 1.0f}, {5, 4.0f}, {10, 8.0f}}, true, -4, -999.0f, 7},
    };
    for (const auto& c : cases) {
        auto s = make_stitcher(4);
        s->ST_TRKE_closeRangeOnly = c.closeRangeOnly;
        s->ST_TRKE_tgtLutTranslationX = 7;
        PointSet ps;
        for (const auto& g : c.groups) ps.add(g.first, g.second);
        const int r = ps.run(*s);
        EXPECT_EQ(r, c.result) << c.groups[0].first << " " << c.groups[0].second;
        EXPECT_FLOAT_EQ(s->ST_TRKE_MaxFlowX, c.maxFlow) << c.groups[0].first;
        EXPECT_EQ(s->ST_TRKE_clusterFound, c.result == 0);
        EXPECT_EQ(s->ST_TRKE_tgtLutTranslationX, c.target);
    }
}

TEST(Tracking, ConvergingRunsKeepTheTarget) {
    DebugSwitches keep;
    dbg_enable = 1;
    {
        auto s = make_stitcher(4);
        s->ST_TRKE_convergingLutTranslationX = true;
        s->ST_TRKE_tgtLutTranslationX = 7;
        PointSet ps;
        ps.add(20, 4.0f);
        ps.add(5, 1.0f);
        zt::StdoutCapture cap;
        EXPECT_EQ(ps.run(*s), 0);
        const std::string out = cap.take();
        EXPECT_EQ(out.find("ST_TRKE():"), std::string::npos) << out;
        EXPECT_FLOAT_EQ(s->ST_TRKE_MaxFlowX, 4.0f);
        EXPECT_EQ(s->ST_TRKE_tgtLutTranslationX, 7);
    }
    {
        auto s = make_stitcher(4);
        s->ST_TRKE_convergingLutTranslationX = true;
        s->ST_TRKE_closeRangeOnly = true;
        s->ST_TRKE_tgtLutTranslationX = 7;
        PointSet ps;
        ps.add(20, 4.0f);
        ps.add(5, 1.0f);
        zt::StdoutCapture cap;
        EXPECT_EQ(ps.run(*s), 0) << "no -4 while converging";
        const std::string out = cap.take();
        EXPECT_NE(out.find("ST_TRKE_closeRangeOnly = 1\n"), std::string::npos);
        EXPECT_EQ(out.find("no obvious cluster"), std::string::npos);
        EXPECT_FLOAT_EQ(s->ST_TRKE_MaxFlowX, -999.0f);
        EXPECT_FALSE(s->ST_TRKE_clusterFound);
        EXPECT_EQ(s->ST_TRKE_tgtLutTranslationX, 7);
    }
    {
        auto s = make_stitcher(4);
        s->ST_TRKE_closeRangeOnly = true;
        PointSet ps;
        ps.add(20, 4.0f);
        zt::StdoutCapture cap;
        EXPECT_EQ(ps.run(*s), -4);
        const std::string out = cap.take();
        const std::string tail =
            "ST_TRKE_closeRangeOnly = 1\n"
            "ST_TRKE(): no obvious cluster found. SKIP compute new target shift.\n";
        ASSERT_GE(out.size(), tail.size());
        EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
    }
}

TEST(Tracking, DebugDumpOfTheSelectedOverlapAndFrames) {
    DebugSwitches keep;
    dbg_enable = 0;
    int& FrameNo = zelvo::tracker_dump_counter();
    auto exists = [](const std::string& p) {
        FILE* f = fopen(p.c_str(), "rb");
        if (f) fclose(f);
        return f != nullptr;
    };
    auto cleanup = [](std::initializer_list<std::string> paths) {
        for (const auto& p : paths) std::remove(p.c_str());
    };
    const cv::Mat flat(144, 80, CV_8UC1, cv::Scalar(33));
    auto s0 = make_stitcher(4, 0);
    auto s1 = make_stitcher(4, 1);
    for (auto* s : {s0.get(), s1.get()}) {
        s->leftImage = flat.clone();
        s->rightImage = flat.clone();
        s->rightImage.at<uint8_t>(3, 4) = 200;
    }
    const std::string l0 = "/var/run/0_1_L.png", r0 = "/var/run/0_1_R.png",
                      l1 = "/var/run/1_1_L.png", o0 = "/var/run/0_0_L.png",
                      o1 = "/var/run/1_0_L.png", p1 = "/var/run/1_0_R.png";
    cleanup({l0, r0, l1, o0, o1, p1});

    dump_overlap_id = 1;
    last_overlap_id = 1;
    limit_dump_frames = 1;
    FrameNo = 0;
    s0->ST_TRKE();  // not selected, and does not count frames
    EXPECT_EQ(FrameNo, 0);
    EXPECT_FALSE(exists(o0));
    s1->ST_TRKE();
    EXPECT_EQ(FrameNo, 1);
    ASSERT_TRUE(exists(l0));
    ASSERT_TRUE(exists(r0));
    EXPECT_EQ(cv::norm(cv::imread(l0, cv::IMREAD_UNCHANGED), s1->leftImage, cv::NORM_INF), 0);
    EXPECT_EQ(cv::norm(cv::imread(r0, cv::IMREAD_UNCHANGED), s1->rightImage, cv::NORM_INF), 0);
    s1->ST_TRKE();  // past the frame limit
    EXPECT_FALSE(exists(l1));
    EXPECT_EQ(FrameNo, 2);

    // 99 selects every overlap; the frame number is that of the counting overlap.
    dump_overlap_id = 99;
    limit_dump_frames = 2;
    FrameNo = 1;
    s0->ST_TRKE();
    EXPECT_TRUE(exists(o1));
    EXPECT_TRUE(exists(p1));
    EXPECT_EQ(FrameNo, 1);
    dump_overlap_id = -1;
    FrameNo = 0;
    cleanup({l0, r0, l1, o0, o1, p1});
    s1->ST_TRKE();
    EXPECT_FALSE(exists(l0));

    // The counter wraps, and a write that cannot happen is ignored.
    last_overlap_id = 0;
    FrameNo = 2147483647;
    s0->ST_TRKE();
    EXPECT_EQ(FrameNo, 0);
    dump_overlap_id = 0;
    limit_dump_frames = 1;
    ASSERT_EQ(mkdir(o0.c_str(), 0700), 0);  // a directory where the file should go
    int r = 0;
    EXPECT_NO_THROW(r = s0->ST_TRKE());
    EXPECT_EQ(r, -3);
    EXPECT_TRUE(exists("/var/run/0_0_R.png")) << "the other image is still written";
    rmdir(o0.c_str());
    cleanup({"/var/run/0_0_R.png"});
}
