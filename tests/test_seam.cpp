#include "test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
Bytes rowOf(const cv::Mat& m, int r) { return {m.ptr<uint8_t>(r), m.ptr<uint8_t>(r) + m.cols}; }
bool same(const cv::Mat& a, const cv::Mat& b) {
    return a.size() == b.size() && cv::norm(a, b, cv::NORM_INF) == 0;
}

// A stitcher of 8 x 6 one-pixel mask cells in two blocks, scores clamped to [-7, 10]. Vertex (c, r)
// of the 33 x 33 LUTs points at motion cell (c, r): block 0 has left cells x 16..32, right 0..16.
struct SeamRig {
    int scoreStep = 1, resetQuiet = 1000;
    std::vector<float> thresholds, incs;
    bool enableReset = false, useMaskBlocks = true;
    std::vector<uint32_t> lut;
    Bytes fusion = Bytes(zelvo_host::fusion_map_bytes(6, 8), 77);
    DynStitcher* s = nullptr;
    DynStitcher& build() {
        zelvo_stitch_init(33, 2, 0, enableReset, useMaskBlocks, 1);
        for (int r = 0; r < 33; ++r)
            for (int c = 0; c < 33; ++c) lut.push_back(zelvo_host::lut_word(r, c));
        zt::StdoutCapture quiet;
        s = create_dynstitcher(0, 0, 16, 6, 8, 2, 10.0f, -7.0f, 0.0f, int(thresholds.size()),
                               thresholds.data(), incs.data(), scoreStep, resetQuiet, 33, 33,
                               lut.data(), lut.data(), 0, 40, 40, 1, 1);
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

// The seam flood written plainly: one FIFO per cost level, the lowest non-empty level served
// first, neighbours visited left, right, above, below.
struct FloodResult {
    cv::Mat markers;          // labels after the flood (CV_32SC1)
    std::vector<int> counts;  // per mask block, cells the flood labelled 1 (seeds not counted)
};

// Rows up to lastRow belong to block row / blockHeight, rows below it to the last block.
inline FloodResult reference_flood(const cv::Mat& cost, const cv::Mat& markersIn, int numBlocks,
                                   int blockHeight, int lastRow) {
    FloodResult res{markersIn.clone(), std::vector<int>(size_t(numBlocks), 0)};
    cv::Mat_<int> m = res.markers;  // shares the pixels
    const cv::Point step[4] = {{-1, 0}, {1, 0}, {0, -1}, {0, 1}};
    std::deque<cv::Point> q[256];
    int level = 0;  // the lowest level that may hold a cell
    auto queue = [&](cv::Point p) {
        level = std::min(level, int(cost.at<uint8_t>(p)));
        q[cost.at<uint8_t>(p)].push_back(p);
        m(p) = -2;  // queued
    };
    // The frame is boundary; interior negatives are cleared; cells next to a seed queue.
    m.row(0) = -1, m.row(m.rows - 1) = -1, m.col(0) = -1, m.col(m.cols - 1) = -1;
    for (int r = 1; r < m.rows - 1; ++r)
        for (int c = 1; c < m.cols - 1; ++c) {
            m(r, c) = std::max(m(r, c), 0);
            for (const cv::Point& d : step)
                if (m(r, c) == 0 && m(cv::Point(c, r) + d) > 0) queue({c, r});
        }
    for (; level < 256; ++level)
        while (!q[level].empty()) {  // queueing a cheaper cell lowers the level
            const cv::Point p = q[level].front();
            q[level].pop_front();
            int label = 0;  // the common positive neighbour label, -1 where two differ
            for (const cv::Point& d : step)
                if (m(p + d) > 0) label = label == 0 || label == m(p + d) ? m(p + d) : -1;
            m(p) = label;
            if (label == 1)
                ++res.counts[size_t(p.y <= lastRow ? p.y / blockHeight : numBlocks - 1)];
            for (const cv::Point& d : step)
                if (label != -1 && m(p + d) == 0) queue(p + d);
        }
    return res;
}

// `full` is `small` scaled up bilinearly (centres aligned, edges replicated) within 1.
void expectBilinearUpscale(const cv::Mat_<uint8_t>& full, const cv::Mat_<uint8_t>& small) {
    auto at = [](int x, int out, int in) {  // source position of output x, its cell and weight
        const double f = std::min(std::max((x + 0.5) * in / out - 0.5, 0.0), in - 1.0);
        const int i = std::min(int(f), std::max(in - 2, 0));
        return std::make_tuple(i, std::min(i + 1, in - 1), f - i);
    };
    for (int y = 0; y < full.rows; ++y)
        for (int x = 0; x < full.cols; ++x) {
            const auto [y0, y1, wy] = at(y, full.rows, small.rows);
            const auto [x0, x1, wx] = at(x, full.cols, small.cols);
            const double top = small(y0, x0) * (1 - wx) + small(y0, x1) * wx;
            ASSERT_NEAR(full(y, x),
                        (1 - wy) * top + wy * (small(y1, x0) * (1 - wx) + small(y1, x1) * wx), 1.0)
                << x << ", " << y;
        }
}

// Seeds as set-up makes them: 1 in the first two columns, 2 in the last two (written second).
cv::Mat setupSeeds(int rows, int cols) {
    cv::Mat m = cv::Mat::zeros(rows, cols, CV_32SC1);
    m.colRange(0, std::min(2, cols)).setTo(1);
    m.colRange(std::max(0, cols - 2), cols).setTo(2);
    return m;
}
// Labels one character per cell, '#' for -1, spaces ignored.
cv::Mat labels(int rows, const std::string& s) {
    std::vector<int> v;
    for (char ch : s)
        if (ch != ' ') v.push_back(ch == '#' ? -1 : ch - '0');
    return cv::Mat(v, true).reshape(1, rows);
}
// The flood on stale stats: label-1 counts (-99 where a ratio stayed stale); queues end empty.
std::vector<int> flood(DynStitcher& ds, int nb, int bh, const cv::Mat& cost, cv::Mat& mk) {
    std::vector<_MaskBlockStat> stats(static_cast<size_t>(nb));
    for (auto& s : stats) s.labelOneCount = 12345, s.labelOneRatio = 0.75f;
    ds.watershed_diff(nb, bh, cost, mk, stats);
    std::vector<int> counts;
    for (const auto& s : stats) counts.push_back(s.labelOneRatio == 0.0f ? s.labelOneCount : -99);
    for (const _WSQueue& q : ds.wsQueue) EXPECT_TRUE(q.first == 0 && q.last == 0) << "queue left";
    return counts;
}

}  // namespace

// The worked example; random costs (ties or all levels, in blobs), seeds, stray labels and
// last-block rows on views into larger images (their own row steps count, the cost's mostly unlike
// the markers'): labels and counts are the plain flood's, nothing outside the view changes. Two
// large grids, 1 or 2 rows or columns, then up to 60.
TEST(Watershed, RandomFloodsMatchThePlainFlood) {
    cv::RNG rng(20240611);
    auto uni = [&](int lo, int hi) { return rng.uniform(lo, hi + 1); };
    SeamRig rig;
    DynStitcher& ds = rig.build();
    cv::Mat worked = setupSeeds(6, 8);  // the worked example: set-up seeds, two blocks of 3 rows
    ds.lastMaskBlockRow = 3;
    EXPECT_EQ(flood(ds, 2, 3, workedCost(), worked), (std::vector<int>{3, 5}));
    EXPECT_TRUE(same(worked, labels(6, "######## #11#222# #111#22# #111#22# #1111#2# ########")))
        << worked;
    for (int run = 0; run < 120; ++run) {
        int rows = run == 0 ? 270 : run == 1 ? 540 : run < 10 ? uni(1, 2) : uni(1, 60);
        int cols = run == 0 ? 80 : run == 1 ? 160 : uni(1, run < 10 ? 12 : 60);
        if (run >= 2 && run < 10 && run % 2) std::swap(rows, cols);
        SCOPED_TRACE(testing::Message() << run << ": " << rows << " x " << cols);
        const int nb = uni(1, std::min(6, rows)), bh = (rows + nb - 1) / nb;
        const int lastRow = ds.lastMaskBlockRow = uni(0, (nb - 1) * bh);  // below: last block
        const cv::Rect roi(run % 2 * 3, run % 2 * 2, cols, rows);
        cv::Mat costOuter(rows + 4, cols + 3 + run % 3, CV_8UC1),
            mkOuter(rows + 4, cols + 5, CV_32SC1, cv::Scalar(0x5A5A5A5A));
        cv::Mat cost = costOuter(roi), mk = mkOuter(roi);
        const int levels = uni(0, 2) == 0 ? 3 : 256, blob = uni(1, 4);
        cv::Mat blobs((rows + blob - 1) / blob, (cols + blob - 1) / blob, CV_8UC1);
        cv::RNG(uint64_t(run) + 1).fill(blobs, cv::RNG::UNIFORM, 0, levels);
        cv::resize(blobs * (levels == 3 ? 120 : 1), cost, cost.size(), 0, 0, cv::INTER_NEAREST);
        cv::Mat input = setupSeeds(rows, cols);
        for (int k = uni(0, rows * cols / 12 + 1); k > 0; --k)
            input.at<int>(uni(0, rows - 1), uni(0, cols - 1)) =
                uni(0, 9) ? uni(-3, 2) : 1 << uni(2, 30);
        input.copyTo(mk);
        const FloodResult want = reference_flood(cost, input, nb, bh, lastRow);
        ASSERT_EQ(flood(ds, nb, bh, cost, mk), want.counts);
        ASSERT_TRUE(same(mk, want.markers));
        mk.setTo(0x5A5A5A5A);
        ASSERT_EQ(cv::countNonZero(mkOuter != 0x5A5A5A5A), 0) << "wrote outside the view";
    }
}

// Curve values are the low byte of the truncated quotient maxVal / (1 + e^(-k (len/2 - i))).
TEST(SigmoidCurve, ValuesShiftedReadOutsAndRejectedLengths) {
    // clang-format off
    const struct { int len; float k; int maxVal; Bytes arr; } curves[] = {
        {8, 0.25f, 255, {186, 173, 158, 143, 127, 111, 96, 81}},
        {8, 4.0f, 255, {254, 254, 254, 250, 127, 4, 0, 0}},  // 255/(1+e^-16) < 255 in float
        {8, 0.0f, 255, Bytes(8, 127)}, {2, 0.0f, 1000, {244, 244}},  // 500 = 0x1F4, not clamped
        {4, 1.0f, -255, {0, 0, 0, 0}},                               // negative quotients give 0
        {-4, 1.0f, 255, {}}};
    // Read-outs put the midpoint on the centre; outside the curve the end values extend.
    const struct { int center; Bytes out; } reads[] = {
        {0, {127, 111, 96, 81, 81, 81, 81, 81}}, {7, {186, 186, 186, 186, 173, 158, 143, 127}},
        {4, curves[0].arr}, {-100, Bytes(8, 81)}, {1000, Bytes(8, 186)},
        {INT_MIN + 7, {81, 81, 81, 186, 186, 186, 186, 186}}};  // the index wraps in 32 bits
    // clang-format on
    for (const auto& c : curves)
        EXPECT_EQ(SigmoidCurve(c.len, c.k, c.maxVal).arr, c.arr) << c.k << " " << c.maxVal;
    SigmoidCurve s(8, 0.25f, 255);
    for (const auto& r : reads) {
        Bytes guarded(10, 0xEE);  // one guard byte each side
        s.getArrToAddr(r.center, guarded.data() + 1);
        EXPECT_EQ(s.getArr(r.center), r.out) << r.center;
        EXPECT_EQ(Bytes(guarded.begin() + 1, guarded.end() - 1), r.out) << r.center;
        EXPECT_TRUE(guarded[0] == 0xEE && guarded[9] == 0xEE) << "wrote outside at " << r.center;
    }
    zelvo_stitch_set_dbg_out(0);  // the odd-length message ignores every print switch
    zt::StdoutCapture cap;
    EXPECT_TRUE(SigmoidCurve(7, 0.25f, 255).getArr(3).empty()) << "odd lengths keep no curve";
    EXPECT_EQ(cap.take(), "window_length for Sigmoid Curve generation must be even.\n");
    zelvo_stitch_set_dbg_out(1);
}

// Rows of the hard curve (k = 4) at held columns that follow the flood only where the block's
// flag is set, or of the soft one (k = 0.25) at the flood's columns without mask blocks. Without
// both motion maps (one alone is ignored) the scores move by the first band whose threshold
// exceeds the label-1 share's change (a change equal to a threshold is not below it), unclamped.
TEST(SeamWorkedExample, ThreeVariants) {
    // clang-format off
    const Bytes hard3 = {254, 254, 250, 127, 4, 0, 0, 0}, hard4 = {254, 254, 254, 250, 127, 4, 0, 0},
                hard5 = {254, 254, 254, 254, 250, 127, 4, 0}, soft3 = {173, 158, 143, 127, 111, 96, 81, 81},
                soft4 = {186, 173, 158, 143, 127, 111, 96, 81}, soft5 = {186, 186, 173, 158, 143, 127, 111, 96};
    const struct { bool useMaskBlocks; std::vector<int> flags; std::vector<Bytes> rows; std::vector<int> crossAfter; } cases[] = {
        {true, {1, 1}, {hard3, hard3, hard4, hard4, hard5, hard5}, {3, 3, 4, 4, 5, 5}},
        {true, {0, 1}, {hard4, hard4, hard4, hard4, hard5, hard5}, {4, 4, 4, 4, 5, 5}},
        {false, {0, 0}, {soft3, soft3, soft4, soft4, soft5, soft5}, {4, 4, 4, 4, 4, 4}}};
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.useMaskBlocks << " " << c.flags[0] << c.flags[1]);
        SeamRig rig;
        rig.useMaskBlocks = c.useMaskBlocks;
        rig.thresholds = {0.12f, 0.13f, 0.205f, 2.0f}, rig.incs = {-50.0f, 30.0f, 40.0f, 7.0f};
        DynStitcher& s = rig.build();
        s.diffImage = workedCost();
        s.blockSeamUpdate = c.flags;
        Bytes moving(40 * 40, 1);
        s.process(c.flags[0] ? moving.data() : nullptr, c.useMaskBlocks ? nullptr : moving.data());
        EXPECT_EQ(s.blockScore, (std::vector<float>{30.0f, 40.0f}));  // changes 3/25 and 5/25
        EXPECT_EQ(s.prevMaskBlockStats[1].labelOneCount, 5);           // now this frame's records
        for (int r = 0; r < 6; ++r) EXPECT_EQ(rowOf(s.currMask, r), c.rows[size_t(r)]) << r;
        EXPECT_EQ(s.rowCrossX, c.crossAfter);
        EXPECT_EQ(s.blockSeamUpdate, c.flags) << "no motion maps: flags kept";
        EXPECT_EQ(s.quietFrameCount, 1);
        EXPECT_TRUE(same(s.lastMask, s.currMask) && s.lastMask.data != s.currMask.data);
    }
}

TEST(SeamCrossing, RowsOfTheMaskAndHistoryAverages) {
    DynStitcher s;
    // Crossing columns of mask rows; history averages with the default weights (1 for the oldest
    // 12, 2, then 3 for the newest 10), truncated: leading zeros, entries of one value -> average.
    // clang-format off
    const std::pair<Bytes, int> rows[] = {
        {{255, 255, 255, 0, 0, 0}, 2}, {{255, 0}, 0}, {{0, 255, 255}, 0}, {{7, 7, 7, 7}, 3}, {{9}, 0}};
    const int avgs[][4] = {{0, 32, 1, 1}, {0, 0, 0, 0}, {22, 10, 7, 3}, {0, 32, -5, -5}, {0, 1, 62, 1}};
    // clang-format on
    for (const auto& c : rows) {
        s.fusionMask = cv::repeat(cv::Mat(c.first).t(), 2, 1);
        EXPECT_EQ(s.getMaskCrossX(), std::vector<int>(2, c.second));
    }
    for (const auto& a : avgs) {
        std::deque<int> d(static_cast<size_t>(a[0]), 0);
        d.insert(d.end(), size_t(a[1]), a[2]);
        EXPECT_EQ(s.getMotionBitsHistoryAvg(d), a[3]) << a[0] << " " << a[1] << " " << a[2];
    }
}

// Motion cells of block 0 and the score step against its score (from 1, clamped to [-7, 10]):
// strong motion on both sides subtracts twice the step, wrapped to 32 bits. Block 1, made
// cell-free, may follow the flood; block 0 never has the history for it.
TEST(SeamScores, MotionMovesTheScore) {
    // clang-format off
    const struct { int leftCells, rightCells, step; float score; } cases[] = {
        {0, 0, 3, 4.0f}, {12, 0, 3, 1.0f}, {0, 12, 3, 1.0f}, {10, 10, 3, -5.0f}, {10, 9, 3, 1.0f},
        // Twice the step: 2^31 - 2 (no wrap), 2^32 - 2 (-2), -2^32 (0), 2^31 (-2^31).
        {10, 10, (1 << 30) - 1, -7.0f}, {10, 10, INT_MAX, 3.0f}, {10, 10, INT_MIN, 1.0f},
        {10, 10, 1 << 30, 10.0f}};
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.leftCells << " " << c.rightCells << " " << c.step);
        SeamRig rig;
        rig.scoreStep = c.step;
        DynStitcher& s = rig.build();
        s.diffImage = cv::Mat(6, 8, CV_8UC1, cv::Scalar(128));
        Bytes mdL(40 * 40, 0), mdR(40 * 40, 0);
        for (int k = 0; k < c.leftCells; ++k) mdL[size_t(k / 17 * 40 + 16 + k % 17)] = 1;
        for (int k = 0; k < c.rightCells; ++k) mdR[size_t(k / 17 * 40 + k % 17)] = 1;
        s.blockScore.assign(2, 1.0f);
        s.blockMdCellCount[1] = 0;
        s.process(mdL.data(), mdR.data());
        EXPECT_EQ(s.blockSeamUpdate, (std::vector<int>{0, 1}));
        EXPECT_EQ(s.blockScore[0], c.score);
        EXPECT_EQ(std::pair(s.blockMotionSumL[0], s.blockMotionSumR[0]),
                  std::pair(c.leftCells, c.rightCells));
        EXPECT_EQ(s.blockMotionHistory[0].back(), (c.leftCells + c.rightCells) >> 1);
        EXPECT_EQ(s.quietFrameCount, c.leftCells + c.rightCells == 0 ? 1 : 0);
    }
}

TEST(SeamReset, RandomResetToTheDefaultMask) {
    // clang-format off
    const struct { bool enable; int resetQuiet, remainder, calls; bool reset; } cases[] = {
        {false, 0, -1, 3, false}, {true, 5, -1, 4, false},  // remainder -1: rand() is not called
        {true, 0, 50, 1, false}, {true, 0, 51, 1, true}};
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.enable << " " << c.remainder);
        SeamRig rig;
        rig.enableReset = c.enable, rig.resetQuiet = c.resetQuiet;
        DynStitcher& s = rig.build();
        s.diffImage = workedCost();
        s.blockSeamUpdate.assign(2, 1), s.rowCrossX.assign(6, 2);
        unsigned seed = 1234;  // a seed whose first draw has the wanted remainder
        while (c.remainder >= 0 && (srand(seed), rand() % 100 != c.remainder)) ++seed;
        const int firstDraw = (srand(seed), rand());
        srand(seed);
        for (int i = 0; i < c.calls; ++i) s.process(nullptr, nullptr);
        EXPECT_TRUE(c.remainder >= 0 || rand() == firstDraw) << "rand() was called";
        EXPECT_EQ(s.quietFrameCount, c.reset ? 0 : c.calls);
        EXPECT_EQ(same(s.currMask, s.defaultMask), c.reset);
        EXPECT_EQ(s.rowCrossX,
                  (c.reset ? std::vector<int>(6, 2) : std::vector<int>{3, 3, 4, 4, 5, 5}));
    }
}

// Behind the frame call the host's fusion map is the mask scaled up bilinearly, in place; before
// the first mask there is nothing to scale. The mask saves as PNG; the default mask is shared.
TEST(SeamFusionMap, HostBufferPngAndDefaultMask) {
    zt::RigHost host;
    for (int i = 0; i < zt::RigHost::kOverlaps; ++i) host.setup(i);
    DynStitcher& s = *host.stitchers[0];
    EXPECT_THROW(s.copyTo_dre_fusion_map(), cv::Exception);
    host.fill(0);
    host.frameCall();
    host.seam(0);
    expectBilinearUpscale(cv::Mat(240, 64, CV_8UC1, host.fusion[0].data()), s.currMask);
    char path[] = "/tmp/zelvo_seam_mask_test.png";
    s.saveCurrMask(path);
    EXPECT_TRUE(same(cv::imread(path, cv::IMREAD_UNCHANGED), s.currMask));
    std::remove(path);
    EXPECT_THROW(s.saveCurrMask(nullptr), std::logic_error);
    EXPECT_EQ(s.getDefaultMask().data, s.defaultMask.data);
}

// process on a stitcher never set up, or assigned from one of another geometry (the assignment
// copies block records and images, not the grid), and copyTo_dre_fusion_map over a header of
// another size, refuse with std::logic_error naming what disagrees; before the first process the
// copy still raises OpenCV's own error.
TEST(SeamState, RefusedWhereTheStitcherDoesNotFitItsGeometry) {
    SeamRig small;
    DynStitcher& s = small.build();
    s.diffImage = workedCost();
    EXPECT_THROW(s.copyTo_dre_fusion_map(), cv::Exception);
    DynStitcher unset;
    EXPECT_THROW(unset.process(nullptr, nullptr), std::logic_error);
    DynStitcher* other = nullptr;
    {
        zt::StdoutCapture quiet;
        other = create_dynstitcher(0, 0, 32, 12, 16, 3, 10.0f, -7.0f, 0.0f, 0, nullptr, nullptr, 1,
                                   1000, 33, 33, small.lut.data(), small.lut.data(), 1, 40, 40, 1, 1);
    }
    std::vector<uint8_t> fusion(12 * 16);
    setup_dynstitcher(other, 0, reinterpret_cast<unsigned long>(fusion.data()));
    other->diffImage = cv::Mat(12, 16, CV_8UC1, cv::Scalar(255));
    other->process(nullptr, nullptr);
    for (const char* what : {"block", "difference image"}) {
        DynStitcher& target = *small.s;
        target = *other;  // three blocks and 16 x 12 images into an 8 x 6, two-block stitcher
        if (std::string(what) == "block")
            target.diffImage = workedCost();
        else
            target.numMaskBlocks = 2;
        try {
            target.process(nullptr, nullptr);
            ADD_FAILURE() << "process ran on mismatched " << what;
        } catch (const std::logic_error& e) {
            EXPECT_NE(std::string(e.what()).find(what), std::string::npos) << e.what();
        }
    }
    small.s->currMask = cv::Mat(6, 8, CV_8UC1, cv::Scalar(0));
    EXPECT_THROW(small.s->copyTo_dre_fusion_map(), std::logic_error);
    destroy_dynstitcher(&other);
}
