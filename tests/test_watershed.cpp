// Tests of DynStitcher::watershed_diff, the priority flood of the seam search.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <random>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "zelvo_stitch.h"

// When set to n > 0, the n-th operator new from then on throws (the node pool's
// growth is the only allocation inside a call).
static int g_failAllocCountdown = 0;
void* operator new(std::size_t size) {
    if (g_failAllocCountdown > 0 && --g_failAllocCountdown == 0) throw std::bad_alloc();
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

struct Watershed : ::testing::Test {
    static void SetUpTestSuite() { DynStitcher::init_lib(8, 1, false, true, true, 0); }  // level table
};

// Seeds as set-up makes them: 1 in the first two columns, 2 in the last two (written second).
cv::Mat setupSeeds(int rows, int cols) {
    cv::Mat m = cv::Mat::zeros(rows, cols, CV_32SC1);
    m.colRange(0, std::min(2, cols)).setTo(1);
    m.colRange(std::max(0, cols - 2), cols).setTo(2);
    return m;
}
std::vector<int> flat(const cv::Mat& m) { return std::vector<int>(m.begin<int>(), m.end<int>()); }
// Labels one character per cell, '#' for -1, spaces ignored; box() frames rows-2 copies of a row.
std::vector<int> labels(const std::string& s) {
    std::vector<int> v;
    for (char ch : s)
        if (ch != ' ') v.push_back(ch == '#' ? -1 : ch - '0');
    return v;
}
std::string box(int rows, const std::string& inner) {
    std::string s(inner.size(), '#');
    for (int r = 2; r < rows; ++r) s += inner;
    return s + std::string(inner.size(), '#');
}
// Runs the flood on stats holding stale values, checks that it clears the ratios
// and leaves the queues empty, and returns the label-1 counts.
std::vector<int> flood(DynStitcher& ds, int nb, int bh, const cv::Mat& cost, cv::Mat& mk) {
    std::vector<_MaskBlockStat> stats(static_cast<size_t>(nb));
    for (auto& s : stats) s.labelOneCount = 12345, s.labelOneRatio = 0.75f;
    ds.watershed_diff(nb, bh, cost, mk, stats);
    std::vector<int> counts;
    for (const auto& s : stats) counts.push_back(s.labelOneRatio == 0.0f ? s.labelOneCount : -99);
    for (const _WSQueue& q : ds.wsQueue) EXPECT_TRUE(q.first == 0 && q.last == 0) << "queue not empty";
    return counts;
}

}  // namespace

TEST_F(Watershed, WorkedExampleAndEdgeCasesTwiceInARow) {
    struct Case {  // cost: rows x cols, one row for every row, or one value; markers: empty for set-up seeds
        const char* name;
        int rows, cols;
        std::vector<int> cost, markers;
        int numBlocks, blockHeight, lastRow;
        std::string expected;
        std::vector<int> counts;
    };
    const Case cases[] = {
        {"worked example", 6, 8,
         {200, 200, 200, 200, 200, 200, 200, 200,  200, 200, 40, 250, 90, 90, 200, 200,
          200, 200, 40, 60, 250, 90, 200, 200,     200, 200, 40, 60, 250, 90, 200, 200,
          200, 200, 250, 60, 60, 90, 200, 200,     200, 200, 200, 200, 200, 200, 200, 200},
         {}, 2, 3, 3, "######## #11#222# #111#22# #111#22# #1111#2# ########", {3, 5}},
        {"constant cost: equal waves", 4, 8, {77}, {}, 1, 4, 0, box(4, "#111#22#"), {4}},
        {"a 255 column is reached last", 4, 9, {0, 0, 0, 0, 255, 0, 0, 0, 0}, {}, 1, 4, 0,
         box(4, "#111#222#"), {4}},
        {"frame labels seed nothing; interior negatives become 0", 4, 5, {10},
         {1, 1, 2, 2, 1,  1, -2, -1, -5, 2,  2, 0, -1, 0, 1,  1, 1, 1, 1, 1}, 1, 4, 0, box(4, "#000#"), {0}},
        {"a cell queued at seeding may still become boundary", 3, 5, {0},
         {0, 0, 0, 0, 0,  0, 1, -1, 2, 0,  0, 0, 0, 0, 0}, 1, 3, 0, "##### #1#2# #####", {0}},
        // Popping the 5 queues the 1: the level drops, so the 1 is labelled before the 9.
        {"a cheaper cell queued late is served first", 3, 7, {0, 0, 5, 1, 9, 0, 0}, {}, 1, 3, 0,
         "####### #111#2# #######", {2}},
        {"rows beyond the last block's first row count to it", 11, 8, {50}, {}, 3, 3, 6,
         box(11, "#111#22#"), {4, 6, 8}},
        {"the cap is the stitcher's last-block row", 8, 8, {50}, {}, 3, 3, 4, box(8, "#111#22#"), {4, 4, 4}},
        {"three columns: the middle cell is a seed", 3, 3, {3}, {}, 1, 3, 0, "### #2# ###", {0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int n = int(c.cost.size()), costCols = n == 1 ? 1 : c.cols;
        cv::Mat cost;
        cv::Mat(c.cost).reshape(1, n / costCols).convertTo(cost, CV_8U);
        cost = cv::repeat(cost, c.rows / cost.rows, c.cols / costCols);
        const cv::Mat input =
            c.markers.empty() ? setupSeeds(c.rows, c.cols) : cv::Mat(c.markers).reshape(1, c.rows);
        DynStitcher ds;
        ds.lastMaskBlockRow = c.lastRow;
        for (int call = 0; call < 2; ++call) {  // the queues start empty both times
            cv::Mat mk = input.clone();
            EXPECT_EQ(flood(ds, c.numBlocks, c.blockHeight, cost, mk), c.counts) << "call " << call;
            EXPECT_EQ(flat(mk), labels(c.expected)) << "call " << call;
        }
    }
}

TEST_F(Watershed, RandomFloodsKeepTheirInvariants) {
    std::mt19937 rng(20240611);
    auto uni = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    // Two large grids, some of one or two rows or columns, then up to 60 x 60.
    for (int run = 0; run < 120; ++run) {
        int rows = run == 0 ? 270 : run == 1 ? 540 : run < 10 ? uni(1, 2) : uni(1, 60);
        int cols = run == 0 ? 80 : run == 1 ? 160 : uni(1, run < 10 ? 12 : 60);
        if (run >= 2 && run < 10 && run % 2) std::swap(rows, cols);
        SCOPED_TRACE(std::to_string(run) + ": " + std::to_string(rows) + " x " + std::to_string(cols));
        const int nb = uni(1, std::min(6, rows)), bh = (rows + nb - 1) / nb, lastRow = (nb - 1) * bh;
        if (lastRow >= rows) continue;  // a geometry set-up never produces
        // Odd runs flood views into larger images: offsets must follow each image's own step.
        const cv::Rect roi(run % 2 * 3, run % 2 * 2, cols, rows);
        cv::Mat cost = cv::Mat(rows + 4, cols + 5, CV_8UC1)(roi);
        cv::Mat mk = cv::Mat(rows + 4, cols + 5, CV_32SC1)(roi);
        const int levels = uni(0, 2) == 0 ? 3 : 256, blob = uni(1, 4);  // ties or all levels, blobs
        for (int r = 0; r < rows; ++r)
            for (int c = 0; c < cols; ++c) {
                std::mt19937 cell(static_cast<unsigned>(run * 7919 + (r / blob) * 131 + c / blob));
                const int v = std::uniform_int_distribution<int>(0, levels - 1)(cell);
                cost.ptr<uchar>(r)[c] = static_cast<uchar>(levels == 3 ? v * 120 : v);
            }
        cv::Mat input = setupSeeds(rows, cols);  // plus random extra seeds and junk negatives
        auto anyCell = [&]() -> int& { return input.at<int>(uni(0, rows - 1), uni(0, cols - 1)); };
        for (int k = uni(0, rows * cols / 20 + 1); k > 0; --k) anyCell() = uni(1, 2);
        for (int k = uni(0, rows * cols / 30 + 1); k > 0; --k) anyCell() = -uni(1, 3);
        DynStitcher ds;
        ds.lastMaskBlockRow = lastRow;
        input.copyTo(mk);
        const std::vector<int> counts = flood(ds, nb, bh, cost, mk);
        std::vector<int> wantCounts(static_cast<size_t>(nb), 0);
        for (int r = 0; r < rows; ++r)
            for (int c = 0; c < cols; ++c) {
                const int v = mk.at<int>(r, c), in = input.at<int>(r, c);
                const bool frame = r == 0 || c == 0 || r == rows - 1 || c == cols - 1;
                if (frame || in > 0) {
                    ASSERT_EQ(v, frame ? -1 : in) << "frame or seed at " << r << "," << c;
                    continue;
                }
                bool same = false, labelled = false;
                for (const int w : {mk.at<int>(r - 1, c), mk.at<int>(r + 1, c), mk.at<int>(r, c - 1),
                                     mk.at<int>(r, c + 1)})
                    same |= w == v, labelled |= w > 0;
                // 1 or 2 beside its own label, -1, or 0 inside a pocket whose whole rim is -1.
                ASSERT_TRUE(v == -1 || ((v == 1 || v == 2) && same) || (v == 0 && !labelled))
                    << v << " at " << r << "," << c;
                wantCounts[size_t(r <= lastRow ? r / bh : nb - 1)] += v == 1;
            }
        ASSERT_EQ(counts, wantCounts);
    }
}

TEST_F(Watershed, PoolAllocationFailureLeavesQueuesEmpty) {
    // Seeds all over a plateau keep far more than 128 cells queued, so the pool grows
    // a second time (128 -> 192 nodes); that growth fails with entries queued.
    const int n = 40;
    cv::Mat cost(n, n, CV_8UC1, cv::Scalar(90)), input = setupSeeds(n, n);
    for (int r = 2; r < n - 2; r += 3)
        for (int c = 3; c < n - 3; c += 3) input.at<int>(r, c) = 1 + (r + c) % 2;
    DynStitcher fresh, ds;
    fresh.lastMaskBlockRow = ds.lastMaskBlockRow = 0;
    cv::Mat expected = input.clone(), mk = input.clone();
    const std::vector<int> expectedCounts = flood(fresh, 1, n, cost, expected);
    std::vector<_MaskBlockStat> stats(1);
    g_failAllocCountdown = 2;
    EXPECT_THROW(ds.watershed_diff(1, n, cost, mk, stats), std::bad_alloc);
    EXPECT_EQ(g_failAllocCountdown, 0) << "the pool never reached its second growth";
    g_failAllocCountdown = 0;
    for (const _WSQueue& q : ds.wsQueue) ASSERT_TRUE(q.first == 0 && q.last == 0);
    mk = input.clone();
    EXPECT_EQ(flood(ds, 1, n, cost, mk), expectedCounts);
    EXPECT_EQ(flat(mk), flat(expected));
}
