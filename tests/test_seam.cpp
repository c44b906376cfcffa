// Seam path: the priority flood, blend curves, labels to mask, seam columns, block
// scores and motion history, held seams, the random reset, the fusion map, and the
// whole path on real footage.
#include <climits>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "reference_flood.h"
#include "test_support.h"
#include "zelvo_stitch.h"

namespace {

using Bytes = std::vector<uint8_t>;
Bytes rowOf(const cv::Mat& m, int r) { return {m.ptr<uint8_t>(r), m.ptr<uint8_t>(r) + m.cols}; }

// A stitcher of 8 x `height` mask cells of `cell` pixels. Vertex (c, r) of both
// LUTs points at motion cell (c, r) of a 40 x 40 map; with the 33 x 33 grid of
// motionGrid() block 0 holds LUT rows 0..16, left cells x 16..32, right x 0..16.
struct SeamRig {
    int lutGrid = 2, libBlocks = 2, height = 6, blocks = 2, scoreStep = 1, resetQuiet = 1000,
        cell = 1;
    float scoreMax = 100.0f, scoreMin = -100.0f;
    std::vector<float> thresholds, incs;
    bool enableReset = false, useMaskBlocks = true;
    std::vector<uint32_t> lut;
    Bytes fusion;
    DynStitcher* s = nullptr;
    SeamRig& motionGrid() {
        lutGrid = 33, scoreMax = 10.0f, scoreMin = -7.0f;
        return *this;
    }
    DynStitcher& build() {
        zelvo_stitch_init(lutGrid, libBlocks, 0, enableReset, useMaskBlocks, 1);
        for (int r = 0; r < lutGrid; ++r)
            for (int c = 0; c < lutGrid; ++c)
                lut.push_back((uint32_t(r) << 22) | (uint32_t(c) << 6));
        fusion.assign(size_t(height * 8 * cell * cell), 77);
        zt::StdoutCapture quiet;
        s = create_dynstitcher(0, 0, 16 * cell, height * cell, 8 * cell, blocks, scoreMax, scoreMin,
                               0.0f, int(thresholds.size()), thresholds.data(), incs.data(),
                               scoreStep, resetQuiet, lutGrid, lutGrid, lut.data(), lut.data(), 0,
                               40, 40, cell, cell);
        setup_dynstitcher(s, 0, reinterpret_cast<unsigned long>(fusion.data()));
        return *s;
    }
    ~SeamRig() { destroy_dynstitcher(&s), zelvo_stitch_uninit(); }
};

// The 6 x 8 cost image of the worked example: two blocks of three rows.
cv::Mat workedCost() {
    static const Bytes v = {200, 200, 200, 200, 200, 200, 200, 200, 200, 200, 40,  250,
                            90,  90,  200, 200, 200, 200, 40,  60,  250, 90,  200, 200,
                            200, 200, 40,  60,  250, 90,  200, 200, 200, 200, 250, 60,
                            60,  90,  200, 200, 200, 200, 200, 200, 200, 200, 200, 200};
    return cv::Mat(v, true).reshape(1, 6);
}

// Seeds as set-up makes them: 1 in the first two columns, 2 in the last two (written second).
cv::Mat setupSeeds(int rows, int cols) {
    cv::Mat m = cv::Mat::zeros(rows, cols, CV_32SC1);
    m.colRange(0, std::min(2, cols)).setTo(1);
    m.colRange(std::max(0, cols - 2), cols).setTo(2);
    return m;
}
// Labels one character per cell, '#' for -1, spaces ignored; box() frames rows-2 copies of a row.
cv::Mat labels(int rows, const std::string& s) {
    std::vector<int> v;
    for (char ch : s)
        if (ch != ' ') v.push_back(ch == '#' ? -1 : ch - '0');
    return cv::Mat(v, true).reshape(1, rows);
}
std::string box(int rows, const std::string& inner) {
    std::string s(inner.size(), '#');
    for (int r = 2; r < rows; ++r) s += inner;
    return s + std::string(inner.size(), '#');
}
// Runs the flood on stats holding stale values and returns the label-1 counts
// (-99 where a ratio was not cleared); the stitcher's queues must stay empty.
std::vector<int> flood(DynStitcher& ds, int nb, int bh, const cv::Mat& cost, cv::Mat& mk) {
    std::vector<_MaskBlockStat> stats(static_cast<size_t>(nb));
    for (auto& s : stats) s.labelOneCount = 12345, s.labelOneRatio = 0.75f;
    ds.watershed_diff(nb, bh, cost, mk, stats);
    std::vector<int> counts;
    for (const auto& s : stats) counts.push_back(s.labelOneRatio == 0.0f ? s.labelOneCount : -99);
    for (const _WSQueue& q : ds.wsQueue)
        EXPECT_TRUE(q.first == 0 && q.last == 0) << "queue not empty";
    return counts;
}
bool same(const cv::Mat& a, const cv::Mat& b) {
    return a.size() == b.size() && cv::norm(a, b, cv::NORM_INF) == 0;
}

struct Watershed : ::testing::Test {
    static void SetUpTestSuite() {
        DynStitcher::init_lib(8, 1, false, true, true, 0);
    }  // level table
    static void TearDownTestSuite() { DynStitcher::release_lib(); }
};

}  // namespace

TEST_F(Watershed, WorkedExampleAndEdgeCasesTwiceInARow) {
    struct Case {  // cost: one row for every row, or one value; markers: empty for set-up seeds
        const char* name;
        int rows, cols;
        std::vector<int> cost, markers;
        int numBlocks, blockHeight, lastRow;
        std::string expected;
        std::vector<int> counts;
    };
    const Case cases[] = {
        {"worked example",
         6,
         8,
         {},
         {},
         2,
         3,
         3,
         "######## #11#222# #111#22# #111#22# #1111#2# ########",
         {3, 5}},
        {"constant cost: equal waves", 4, 8, {77}, {}, 1, 4, 0, box(4, "#111#22#"), {4}},
        {"a 255 column is reached last",
         4,
         9,
         {0, 0, 0, 0, 255, 0, 0, 0, 0},
         {},
         1,
         4,
         0,
         box(4, "#111#222#"),
         {4}},
        {"frame labels seed nothing; interior negatives become 0",
         4,
         5,
         {10},
         {1, 1, 2, 2, 1, 1, -2, -1, -5, 2, 2, 0, -1, 0, 1, 1, 1, 1, 1, 1},
         1,
         4,
         0,
         box(4, "#000#"),
         {0}},
        {"a cell queued at seeding may still become boundary",
         3,
         5,
         {0},
         {0, 0, 0, 0, 0, 0, 1, -1, 2, 0, 0, 0, 0, 0, 0},
         1,
         3,
         0,
         "##### #1#2# #####",
         {0}},
        // Popping the 5 queues the 1: the level drops, so the 1 is labelled before the 9.
        {"a cheaper cell queued late is served first",
         3,
         7,
         {0, 0, 5, 1, 9, 0, 0},
         {},
         1,
         3,
         0,
         "####### #111#2# #######",
         {2}},
        {"rows beyond the last block's first row count to it",
         11,
         8,
         {50},
         {},
         3,
         3,
         6,
         box(11, "#111#22#"),
         {4, 6, 8}},
        {"the cap is the stitcher's last-block row",
         8,
         8,
         {50},
         {},
         3,
         3,
         4,
         box(8, "#111#22#"),
         {4, 4, 4}},
        {"three columns: the middle cell is a seed", 3, 3, {3}, {}, 1, 3, 0, "### #2# ###", {0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        cv::Mat cost = workedCost();
        if (!c.cost.empty()) {
            cv::Mat(c.cost).reshape(1, 1).convertTo(cost, CV_8U);
            cost = cv::repeat(cost, c.rows, c.cols / cost.cols);
        }
        const cv::Mat input =
            c.markers.empty() ? setupSeeds(c.rows, c.cols) : cv::Mat(c.markers).reshape(1, c.rows);
        DynStitcher ds;
        ds.lastMaskBlockRow = c.lastRow;
        for (int call = 0; call < 2; ++call) {  // the queues start empty both times
            cv::Mat mk = input.clone();
            EXPECT_EQ(flood(ds, c.numBlocks, c.blockHeight, cost, mk), c.counts) << "call " << call;
            EXPECT_TRUE(same(mk, labels(c.rows, c.expected))) << "call " << call << "\n" << mk;
        }
    }
}

// Random costs (ties or all levels, in blobs) and seeds plus stray labels, on views
// into larger images so that each image's own row step counts: labels and counts
// must be those of the plain flood, and nothing outside the view may change.
TEST_F(Watershed, RandomFloodsMatchThePlainFlood) {
    std::mt19937 rng(20240611);
    auto uni = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    for (int run = 0; run < 120;
         ++run) {  // two large grids, some of 1 or 2 rows or columns, then up to 60
        int rows = run == 0 ? 270 : run == 1 ? 540 : run < 10 ? uni(1, 2) : uni(1, 60);
        int cols = run == 0 ? 80 : run == 1 ? 160 : uni(1, run < 10 ? 12 : 60);
        if (run >= 2 && run < 10 && run % 2) std::swap(rows, cols);
        SCOPED_TRACE(std::to_string(run) + ": " + std::to_string(rows) + " x " +
                     std::to_string(cols));
        const int nb = uni(1, std::min(6, rows)), bh = (rows + nb - 1) / nb,
                  lastRow = (nb - 1) * bh;
        const cv::Rect roi(run % 2 * 3, run % 2 * 2, cols, rows);
        cv::Mat costOuter(rows + 4, cols + 5, CV_8UC1),
            mkOuter(rows + 4, cols + 5, CV_32SC1, cv::Scalar(0x5A5A5A5A));
        cv::Mat cost = costOuter(roi), mk = mkOuter(roi);
        const int levels = uni(0, 2) == 0 ? 3 : 256, blob = uni(1, 4);
        for (int r = 0; r < rows; ++r)
            for (int c = 0; c < cols; ++c) {
                std::mt19937 cell(static_cast<unsigned>(run * 7919 + (r / blob) * 131 + c / blob));
                const int v = std::uniform_int_distribution<int>(0, levels - 1)(cell);
                cost.ptr<uchar>(r)[c] = static_cast<uchar>(levels == 3 ? v * 120 : v);
            }
        cv::Mat input = setupSeeds(rows, cols);
        for (int k = uni(0, rows * cols / 20 + 1); k > 0; --k)
            input.at<int>(uni(0, rows - 1), uni(0, cols - 1)) = uni(1, 2);
        for (int k = uni(0, rows * cols / 30 + 1); k > 0; --k)
            input.at<int>(uni(0, rows - 1), uni(0, cols - 1)) = -uni(1, 3);
        DynStitcher ds;
        ds.lastMaskBlockRow = lastRow;
        input.copyTo(mk);
        const zt::FloodResult want = zt::reference_flood(cost, input, nb, bh, lastRow);
        ASSERT_EQ(flood(ds, nb, bh, cost, mk), want.counts);
        ASSERT_TRUE(same(mk, want.markers));
        mk.setTo(0x5A5A5A5A);
        ASSERT_EQ(cv::countNonZero(mkOuter != 0x5A5A5A5A), 0) << "wrote outside the view";
    }
}

// Curve values are the low byte of the truncated quotient maxVal / (1 + e^(-k (len/2 - i))).
TEST(SigmoidCurve, ValuesShiftedReadOutsAndRejectedLengths) {
    const struct {
        int len;
        float k;
        int maxVal;
        Bytes arr;
    } curves[] = {
        {8, 0.25f, 255, {186, 173, 158, 143, 127, 111, 96, 81}},
        {8, 4.0f, 255, {254, 254, 254, 250, 127, 4, 0, 0}},  // 255/(1+e^-16) < 255 in float
        {8, 0.0f, 255, Bytes(8, 127)},
        {8, 0.5f, 255, {224, 208, 186, 158, 127, 96, 68, 46}},
        {2, 0.0f, 1000, {244, 244}},    // 500 = 0x1F4, not clamped
        {4, 1.0f, -255, {0, 0, 0, 0}},  // negative quotients give 0
    };
    for (const auto& c : curves)
        EXPECT_EQ(SigmoidCurve(c.len, c.k, c.maxVal).arr, c.arr) << c.k << " " << c.maxVal;
    // Read-outs put the midpoint on the centre; outside the curve the end values extend.
    SigmoidCurve s(8, 0.25f, 255);
    const Bytes arr = s.arr;
    const struct {
        int center;
        Bytes out;
    } reads[] = {{0, {127, 111, 96, 81, 81, 81, 81, 81}},
                 {7, {186, 186, 186, 186, 173, 158, 143, 127}},
                 {4, arr},
                 {-100, Bytes(8, 81)},
                 {1000, Bytes(8, 186)}};
    for (const auto& r : reads) {
        Bytes guarded(12, 0xEE);
        s.getArrToAddr(r.center, guarded.data() + 2);
        EXPECT_EQ(s.getArr(r.center), r.out) << r.center;
        EXPECT_EQ(Bytes(guarded.begin() + 2, guarded.end() - 2), r.out) << r.center;
        EXPECT_TRUE(guarded[1] == 0xEE && guarded[10] == 0xEE)
            << "wrote outside, centre " << r.center;
    }
    EXPECT_EQ(s.arr, arr);
    zelvo_stitch_set_dbg_out(0);  // the odd-length message ignores every print switch
    zt::StdoutCapture cap;
    SigmoidCurve odd(7, 0.25f, 255);
    EXPECT_EQ(cap.take(), "window_length for Sigmoid Curve generation must be even.\n");
    zelvo_stitch_set_dbg_out(1);
    EXPECT_TRUE(odd.arr.empty() && odd.getArr(3).empty() && odd.getLen() == 0);
}

TEST(SeamWorkedExample, ThreeVariants) {
    const Bytes hard3 = {254, 254, 250, 127, 4, 0, 0, 0},
                hard4 = {254, 254, 254, 250, 127, 4, 0, 0},
                hard5 = {254, 254, 254, 254, 250, 127, 4, 0},
                soft3 = {173, 158, 143, 127, 111, 96, 81, 81},
                soft4 = {186, 173, 158, 143, 127, 111, 96, 81},
                soft5 = {186, 186, 173, 158, 143, 127, 111, 96};
    struct Case {
        bool useMaskBlocks;
        int flag;
        std::vector<Bytes> rows;
        std::vector<int> crossAfter;
    };
    for (const Case& c :
         {Case{true, 1, {hard3, hard3, hard4, hard4, hard5, hard5}, {3, 3, 4, 4, 5, 5}},
          Case{true, 0, {hard4, hard4, hard4, hard4, hard4, hard4}, {4, 4, 4, 4, 4, 4}},
          Case{false, 0, {soft3, soft3, soft4, soft4, soft5, soft5}, {4, 4, 4, 4, 4, 4}}}) {
        SCOPED_TRACE(std::to_string(c.useMaskBlocks) + " " + std::to_string(c.flag));
        SeamRig rig;
        rig.useMaskBlocks = c.useMaskBlocks;
        DynStitcher& s = rig.build();
        s.diffImage = workedCost();
        s.blockSeamUpdate.assign(2, c.flag);
        s.process(nullptr, nullptr);
        EXPECT_EQ(s.maskBlockStats[0].labelOneCount, 3);
        EXPECT_EQ(s.prevMaskBlockStats[1].labelOneCount,
                  5);  // the previous records now describe this frame
        EXPECT_FLOAT_EQ(s.maskBlockStats[1].labelOneRatio, 5.0f / 25.0f);
        for (int r = 0; r < 6; ++r)
            EXPECT_EQ(rowOf(s.currMask, r), c.rows[size_t(r)]) << "row " << r;
        EXPECT_EQ(s.rowCrossX, c.crossAfter);
        EXPECT_EQ(s.blockSeamUpdate, std::vector<int>(2, c.flag)) << "no motion maps: flags kept";
        EXPECT_EQ(s.quietFrameCount, 1);
        EXPECT_TRUE(same(s.lastMask, s.currMask) && s.lastMask.data != s.currMask.data);
    }
}

TEST(SeamCrossing, RowsOfTheMaskAndHistoryAverages) {
    DynStitcher s;
    const std::vector<std::pair<Bytes, int>> rows = {{{255, 255, 255, 0, 0, 0}, 2},
                                                     {{255, 0}, 0},
                                                     {{0, 255, 255}, 0},
                                                     {{7, 7, 7, 7}, 3},
                                                     {{9}, 0}};
    for (const auto& c : rows) {
        s.fusionMask = cv::repeat(cv::Mat(c.first).t(), 2, 1);
        EXPECT_EQ(s.getMaskCrossX(), std::vector<int>(2, c.second));
    }
    // History averages with the default weights (1 for the oldest 12, 2, then 3 for the newest 10).
    auto avg = [&s](int zeros, int n, int v) {
        std::deque<int> d(size_t(zeros), 0);
        d.insert(d.end(), size_t(n), v);
        return s.getMotionBitsHistoryAvg(d);
    };
    EXPECT_EQ(avg(0, 32, 1), 1);
    EXPECT_EQ(avg(0, 0, 0), 0);
    EXPECT_EQ(avg(22, 10, 7), 3);   // 7 * 3 * 10 / 62 = 210 / 62
    EXPECT_EQ(avg(0, 32, -5), -5);  // truncates toward zero
    EXPECT_EQ(avg(0, 1, 62), 1);    // the oldest weighs 1
}

// Motion cells set in block 0 and the score step against its score (from 1, clamped
// to [-7, 10]). Strong motion on both sides subtracts twice the step, wrapped to 32
// bits as the device's arithmetic does.
TEST(SeamScores, MotionMovesTheScore) {
    struct Case {
        int leftCells, rightCells, step;
        float score;
    };
    for (const Case& c :
         {Case{0, 0, 3, 4.0f}, Case{12, 0, 3, 1.0f}, Case{0, 12, 3, 1.0f}, Case{10, 10, 3, -5.0f},
          Case{10, 9, 3, 1.0f}, Case{10, 10, (1 << 30) - 1, -7.0f},  // 2^31 - 2: no wrap
          Case{10, 10, INT_MAX, 3.0f},                               // 2^32 - 2 wraps to -2
          Case{10, 10, INT_MIN, 1.0f},                               // -2^32 wraps to 0
          Case{10, 10, 1 << 30, 10.0f},                              // 2^31 wraps to -2^31
          Case{10, 10, (1 << 30) + 1, 10.0f}}) {                     // 2^31 + 2 wraps to -2^31 + 2
        SCOPED_TRACE(std::to_string(c.leftCells) + "/" + std::to_string(c.rightCells) + " step " +
                     std::to_string(c.step));
        SeamRig rig;
        rig.scoreStep = c.step;
        DynStitcher& s = rig.motionGrid().build();
        s.diffImage = cv::Mat(6, 8, CV_8UC1, cv::Scalar(128));
        Bytes mdL(40 * 40, 0), mdR(40 * 40, 0);
        for (int k = 0; k < c.leftCells; ++k) mdL[size_t(k / 17 * 40 + 16 + k % 17)] = 1;
        for (int k = 0; k < c.rightCells; ++k) mdR[size_t(k / 17 * 40 + k % 17)] = 1;
        s.blockScore.assign(2, 1.0f);
        s.process(mdL.data(), mdR.data());
        EXPECT_EQ(s.blockScore[0], c.score);
        EXPECT_EQ(s.blockMotionSumL[0], c.leftCells);
        EXPECT_EQ(s.blockMotionSumR[0], c.rightCells);
        EXPECT_EQ(s.blockMotionHistory[0].size(), 32u);
        EXPECT_EQ(s.blockMotionHistory[0].back(), (c.leftCells + c.rightCells) >> 1);
        EXPECT_EQ(s.quietFrameCount, c.leftCells + c.rightCells == 0 ? 1 : 0);
    }
}

TEST(SeamScores, ClampedWithMotionMapsOnly) {
    SeamRig rig;
    rig.thresholds = {0.05f, 2.0f}, rig.incs = {-50.0f, 40.0f}, rig.scoreStep = 3;
    DynStitcher& s = rig.motionGrid().build();
    s.diffImage = cv::Mat(6, 8, CV_8UC1, cv::Scalar(128));
    Bytes md(40 * 40, 0);
    s.process(nullptr, nullptr);  // ratio change = the label-1 share, above 0.05: +40, unclamped
    EXPECT_FLOAT_EQ(s.blockScore[0], 40.0f);
    s.process(nullptr, nullptr);  // no change: band 0, -50, still unclamped
    EXPECT_FLOAT_EQ(s.blockScore[0], -10.0f);
    s.process(md.data(), md.data());  // -60 + 3 (quiet) clamped to scoreMin
    EXPECT_FLOAT_EQ(s.blockScore[0], -7.0f);
    s.blockScore[0] = 9.0f, s.blockDiffThresholds.clear();
    s.process(md.data(), md.data());  // 9 + 3 clamped to scoreMax
    EXPECT_FLOAT_EQ(s.blockScore[0], 10.0f);
    EXPECT_EQ(s.quietFrameCount, 4);
}

TEST(SeamFlags, BlocksFollowOrHoldTheirSeam) {
    // All LUT rows map to block 0, so blocks 1 and 2 have no motion cells: their
    // threshold (2 x 0 cells) is met by any history, while block 0 never sees enough.
    SeamRig rig;
    rig.libBlocks = 1, rig.height = 10, rig.blocks = 3;  // rows 0-3, 4-7, 8-9
    DynStitcher& s = rig.motionGrid().build();
    ASSERT_EQ(s.blockMdCellCount, (std::vector<int>{33 * 17, 0, 0}));
    s.diffImage = cv::Mat(10, 8, CV_8UC1, cv::Scalar(0));
    s.diffImage.col(2).setTo(255);  // the flood's boundary: seam column 2 in every row
    Bytes md(40 * 40, 0);
    s.process(md.data(), md.data());
    EXPECT_EQ(s.blockSeamUpdate, (std::vector<int>{0, 1, 1}));
    EXPECT_EQ(s.rowCrossX, (std::vector<int>{4, 4, 4, 4, 2, 2, 2, 2, 2, 2}));
    s.blockSeamUpdate = {1, 1,
                         0};  // rows past the last block's first row use the last block's flag
    s.rowCrossX.assign(10, 6);
    s.process(nullptr, nullptr);
    EXPECT_EQ(s.rowCrossX, (std::vector<int>{2, 2, 2, 2, 2, 2, 2, 2, 6, 6}));
}

TEST(SeamReset, RandomResetToTheDefaultMask) {
    struct Case {
        bool enable;
        int resetQuiet, remainder, calls;
        bool reset;
    };  // remainder -1: rand() not called
    for (const Case& c : {Case{false, 0, -1, 3, false}, Case{true, 5, -1, 4, false},
                          Case{true, 0, 50, 1, false}, Case{true, 0, 51, 1, true}}) {
        SCOPED_TRACE(std::to_string(c.enable) + " " + std::to_string(c.remainder));
        SeamRig rig;
        rig.enableReset = c.enable, rig.resetQuiet = c.resetQuiet;
        DynStitcher& s = rig.build();
        s.diffImage = workedCost();
        s.blockSeamUpdate.assign(2, 1), s.rowCrossX.assign(6, 2);
        unsigned seed = 1234;  // a seed whose first draw has the wanted remainder
        for (srand(seed); c.remainder >= 0 && rand() % 100 != c.remainder; srand(++seed)) {
        }
        srand(seed);
        const int firstDraw = rand();
        srand(seed);
        for (int i = 0; i < c.calls; ++i) s.process(nullptr, nullptr);
        if (c.remainder < 0) {
            EXPECT_EQ(rand(), firstDraw) << "rand() was called";
        }
        EXPECT_EQ(s.quietFrameCount, c.reset ? 0 : c.calls);
        EXPECT_EQ(same(s.currMask, s.defaultMask), c.reset);
        EXPECT_EQ(s.rowCrossX,
                  (c.reset ? std::vector<int>(6, 2) : std::vector<int>{3, 3, 4, 4, 5, 5}));
    }
}

TEST(SeamFusionMap, HostBufferPngAndDefaultMask) {
    SeamRig rig;
    rig.cell = 4;  // a real up-scale to the full resolution
    DynStitcher& s = rig.build();
    EXPECT_THROW(s.copyTo_dre_fusion_map(), cv::Exception) << "no mask before the first process";
    s.diffImage = workedCost();
    s.process(nullptr, nullptr);
    s.copyTo_dre_fusion_map();
    zt::expect_bilinear_upscale(cv::Mat(24, 32, CV_8UC1, rig.fusion.data()), s.currMask);
    EXPECT_EQ(s.dreFusionMap.data, rig.fusion.data()) << "written in place";
    char path[] = "/tmp/zelvo_seam_mask_test.png";
    s.saveCurrMask(path);
    const cv::Mat back = cv::imread(path, cv::IMREAD_UNCHANGED);
    unlink(path);
    EXPECT_TRUE(same(back, s.currMask));
    EXPECT_THROW(s.saveCurrMask(nullptr), std::logic_error);
    EXPECT_EQ(s.getDefaultMask().data, s.defaultMask.data);
}

namespace {

constexpr int kCams = 3, kW = 320, kO = 96, kH = 576, kLutGrid = 9, kPad = 32;
constexpr int kMdX = (kW + 15) / 16, kMdY = (kH + 15) / 16, kRowBytes = ((kW + 511) / 512) * 4;

// A three-camera rig cut from 40 frames of footage (each right camera `displacement`
// pixels off), driven through the frame call and `process` with motion bitmaps this
// host packs. After every overlap's process and fusion map, check(stitcher, seam
// columns before the call) runs.
template <class Check>
void runRig(int libBlocks, int displacement, Check check) {
    zelvo_stitch_init(kLutGrid, libBlocks, 0, 0, 1, 1);
    Zelvo_Stitch_Shift_Every_N_Frames = 1 << 30;  // seam path only, after frame 0
    std::vector<uint32_t> lut;  // vertex (c, r) points at the motion cell under it
    for (int r = 0; r < kLutGrid; ++r)
        for (int c = 0; c < kLutGrid; ++c)
            lut.push_back((uint32_t(std::min(r * kH / (kLutGrid - 1) / 16, kMdY - 1)) << 22) |
                          (uint32_t(std::min(c * kW / (kLutGrid - 1) / 16, kMdX - 1)) << 6));
    std::vector<Bytes> bits(kCams, Bytes(kMdY * kRowBytes)),
        fusion(kCams - 1, Bytes(size_t(kH * kO)));
    std::vector<cv::Mat> prev(kCams);
    cv::Mat strips(kH, 4 * kO, CV_8UC1);
    DynStitcher* st[kCams - 1];
    _ZELVO_STITCH_INFO info{};
    info.img_num = kCams, info.md_width = kW, info.md_height = kH;
    info.strip_buf_addr = reinterpret_cast<uint64_t>(strips.data),
    info.strip_buf_width = uint32_t(strips.cols);
    for (int i = 0; i < kCams - 1; ++i) {
        zt::StdoutCapture quiet;
        st[i] = create_dynstitcher(0, 0, kW, kH, kO, 4, 10.0f, -10.0f, 0.0f, 0, nullptr, nullptr, 1,
                                   1000, kLutGrid, kLutGrid, lut.data(), lut.data(), i, kMdX, kMdY,
                                   4, 4);
        setup_dynstitcher(st[i], 0, reinterpret_cast<unsigned long>(fusion[size_t(i)].data()));
        info.strip_width[i] = kO, info.strip_height[i] = kH;
    }
    for (int k = 0; k < kCams; ++k)
        info.md_addr[k] = reinterpret_cast<uint64_t>(bits[size_t(k)].data());
    for (int f = 0; f < 40; ++f) {
        cv::Mat padded;
        cv::copyMakeBorder(zt::sample_gray(f), padded, 0, 0, kPad, kPad, cv::BORDER_REPLICATE);
        for (int k = 0; k < kCams; ++k) {
            const cv::Mat cam =
                padded(cv::Rect(kPad + k * (kW - kO + displacement), 0, kW, kH)).clone();
            // One motion bit per 16 x 16 block whose mean frame difference is large.
            std::fill(bits[size_t(k)].begin(), bits[size_t(k)].end(), 0);
            for (int by = 0; by < kMdY && !prev[size_t(k)].empty(); ++by)
                for (int bx = 0; bx < kMdX; ++bx) {
                    const cv::Rect blk(bx * 16, by * 16, std::min(16, kW - bx * 16),
                                       std::min(16, kH - by * 16));
                    if (cv::norm(cam(blk), prev[size_t(k)](blk), cv::NORM_L1) > 6.0 * blk.area())
                        bits[size_t(k)][size_t(by * kRowBytes + bx / 8)] |= uint8_t(1u << (bx % 8));
                }
            if (k < kCams - 1)
                cam.colRange(kW - kO, kW).copyTo(strips.colRange(2 * kO * k, 2 * kO * k + kO));
            if (k > 0) cam.colRange(0, kO).copyTo(strips.colRange(2 * kO * k - kO, 2 * kO * k));
            prev[size_t(k)] = cam;
        }
        zelvo_stitch_process(st, &info);
        for (int i = 0; i < kCams - 1; ++i) {
            SCOPED_TRACE(testing::Message() << "frame " << f << " overlap " << i);
            const std::vector<int> heldBefore = st[i]->rowCrossX;
            st[i]->process(decoded_md_buffer[i], decoded_md_buffer[i + 1]);
            st[i]->copyTo_dre_fusion_map();
            zt::expect_bilinear_upscale(cv::Mat(kH, kO, CV_8UC1, fusion[size_t(i)].data()),
                                        st[i]->currMask);
            check(*st[i], heldBefore);
        }
    }
    for (auto& s : st) destroy_dynstitcher(&s);
    zelvo_stitch_uninit();
}

}  // namespace

TEST(SeamEndToEnd, QuietBlocksHoldTheirSeam) {
    // The grid-row table spreads the LUT rows over three blocks only: the fourth
    // block has no motion cells and may follow the flood; the others hold.
    int followedRows = 0;
    runRig(3, 4, [&](DynStitcher& s, const std::vector<int>& heldBefore) {
        ASSERT_EQ(s.blockSeamUpdate, (std::vector<int>{0, 0, 0, 1}));
        Bytes row(size_t(s.maskCols));
        for (int r = 0; r < s.maskRows; ++r) {
            if (r < s.lastMaskBlockRow) {
                ASSERT_EQ(s.rowCrossX[size_t(r)], heldBefore[size_t(r)]) << "row " << r;
            }
            followedRows += r >= s.lastMaskBlockRow && s.rowCrossX[size_t(r)] != s.maskCols / 2;
            s.sigmoidCurves[6].getArrToAddr(s.rowCrossX[size_t(r)],
                                            row.data());  // the hard curve at the column
            ASSERT_EQ(0, std::memcmp(row.data(), s.currMask.ptr<uint8_t>(r), row.size()))
                << "row " << r;
        }
    });
    EXPECT_GT(followedRows, 0) << "the block without motion cells follows the flood";
}
