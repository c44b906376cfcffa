// Tests of DynStitcher::watershed_diff, the priority flood of the seam search.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <deque>
#include <new>
#include <random>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "zelvo_stitch.h"

// --- allocation failure injection --------------------------------------------
// When set to n > 0, the n-th operator new from then on throws. Used to make
// the flood's node pool fail part-way through a call (the pool's growth is the
// only allocation inside the call).
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

class Watershed : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // Builds the level table the flood takes its minimum from.
        DynStitcher::init_lib(8, 1, false, true, true, 0);
    }
};

cv::Mat costFrom(int rows, int cols, const std::vector<int>& v) {
    cv::Mat m(rows, cols, CV_8UC1);
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c) m.ptr<uchar>(r)[c] = static_cast<uchar>(v[r * cols + c]);
    return m;
}

cv::Mat markersFrom(int rows, int cols, const std::vector<int>& v) {
    cv::Mat m(rows, cols, CV_32SC1);
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c) m.ptr<int>(r)[c] = v[r * cols + c];
    return m;
}

// Seeds as set-up makes them: label 1 in columns 0 and 1, label 2 in the last
// two columns (written second), 0 elsewhere.
cv::Mat setupSeeds(int rows, int cols) {
    cv::Mat m = cv::Mat::zeros(rows, cols, CV_32SC1);
    m(cv::Rect(0, 0, std::min(2, cols), rows)).setTo(1);
    m(cv::Rect(std::max(0, cols - 2), 0, std::min(2, cols), rows)).setTo(2);
    return m;
}

std::vector<int> flat(const cv::Mat& m) {
    std::vector<int> v;
    for (int r = 0; r < m.rows; ++r)
        for (int c = 0; c < m.cols; ++c) v.push_back(m.ptr<int>(r)[c]);
    return v;
}

std::vector<_MaskBlockStat> makeStats(int numBlocks) {
    std::vector<_MaskBlockStat> stats(static_cast<size_t>(numBlocks));
    for (auto& s : stats) {
        s.labelOneCount = 12345;  // stale values that every call must clear
        s.labelOneRatio = 0.75f;
    }
    return stats;
}

bool queuesEmpty(const DynStitcher& ds) {
    for (const _WSQueue& q : ds.wsQueue)
        if (q.first != 0 || q.last != 0) return false;
    return true;
}

std::vector<int> counts(const std::vector<_MaskBlockStat>& stats) {
    std::vector<int> c;
    for (const auto& s : stats) c.push_back(s.labelOneCount);
    return c;
}

// Straightforward flood with one std::deque per cost level, used as an
// independent oracle for ordering and tie-breaks.
void referenceFlood(const cv::Mat& cost, cv::Mat& mk, int numBlocks, int blockHeight, int lastRow,
                    std::vector<int>& blockCounts) {
    const int rows = cost.rows, cols = cost.cols;
    blockCounts.assign(static_cast<size_t>(numBlocks), 0);
    auto at = [&](int r, int c) -> int& { return mk.at<int>(r, c); };
    for (int c = 0; c < cols; ++c) at(0, c) = at(rows - 1, c) = -1;
    std::deque<cv::Point> level[256];
    const int dr[4] = {0, 0, -1, 1}, dc[4] = {-1, 1, 0, 0};
    for (int r = 1; r < rows - 1; ++r) {
        at(r, 0) = at(r, cols - 1) = -1;
        for (int c = 1; c < cols - 1; ++c) {
            if (at(r, c) < 0) at(r, c) = 0;
            if (at(r, c) != 0) continue;
            bool seeded = false;
            for (int k = 0; k < 4; ++k) seeded |= at(r + dr[k], c + dc[k]) > 0;
            if (seeded) {
                level[cost.at<uchar>(r, c)].push_back({c, r});
                at(r, c) = -2;
            }
        }
    }
    int active = 0;
    for (;;) {
        while (active < 256 && level[active].empty()) ++active;
        if (active == 256) break;
        const cv::Point p = level[active].front();
        level[active].pop_front();
        int label = 0;
        for (int k = 0; k < 4; ++k) {
            const int v = at(p.y + dr[k], p.x + dc[k]);
            if (v > 0 && label == 0) label = v;
            else if (v > 0 && v != label) label = -1;
        }
        at(p.y, p.x) = label;
        if (label == 1) ++blockCounts[p.y <= lastRow ? p.y / blockHeight : numBlocks - 1];
        if (label == -1) continue;
        for (int k = 0; k < 4; ++k) {
            const int r = p.y + dr[k], c = p.x + dc[k];
            if (at(r, c) != 0) continue;
            const int t = cost.at<uchar>(r, c);
            level[t].push_back({c, r});
            active = std::min(active, t);
            at(r, c) = -2;
        }
    }
}

}  // namespace

TEST_F(Watershed, ReproducesTheWorkedExample) {
    const cv::Mat cost = costFrom(6, 8, {
        200, 200, 200, 200, 200, 200, 200, 200,
        200, 200,  40, 250,  90,  90, 200, 200,
        200, 200,  40,  60, 250,  90, 200, 200,
        200, 200,  40,  60, 250,  90, 200, 200,
        200, 200, 250,  60,  60,  90, 200, 200,
        200, 200, 200, 200, 200, 200, 200, 200});
    const std::vector<int> expected = {
        -1, -1, -1, -1, -1, -1, -1, -1,
        -1,  1,  1, -1,  2,  2,  2, -1,
        -1,  1,  1,  1, -1,  2,  2, -1,
        -1,  1,  1,  1, -1,  2,  2, -1,
        -1,  1,  1,  1,  1, -1,  2, -1,
        -1, -1, -1, -1, -1, -1, -1, -1};
    DynStitcher ds;
    ds.lastMaskBlockRow = 3;
    cv::Mat mk = setupSeeds(6, 8);
    auto stats = makeStats(2);
    ds.watershed_diff(2, 3, cost, mk, stats);
    EXPECT_EQ(flat(mk), expected);
    EXPECT_EQ(counts(stats), (std::vector<int>{3, 5}));
    for (const auto& s : stats) EXPECT_EQ(s.labelOneRatio, 0.0f);
    EXPECT_TRUE(queuesEmpty(ds));
}

struct EdgeCase {
    const char* name;
    int rows, cols;
    std::vector<int> cost;     // rows x cols, or a single value for all cells
    std::vector<int> markers;  // rows x cols; empty: set-up seeds
    int numBlocks, blockHeight, lastRow;
    std::vector<int> expected;
    std::vector<int> expectedCounts;
};

TEST_F(Watershed, EdgeCases) {
    const std::vector<EdgeCase> cases = {
        {"constant cost: both regions grow as equal waves", 4, 8, {77}, {}, 1, 4, 0,
         {-1, -1, -1, -1, -1, -1, -1, -1,
          -1,  1,  1,  1, -1,  2,  2, -1,
          -1,  1,  1,  1, -1,  2,  2, -1,
          -1, -1, -1, -1, -1, -1, -1, -1},
         {4}},
        {"a column of 255 is reached last and becomes the boundary", 4, 9,
         {0, 0, 0, 0, 255, 0, 0, 0, 0,
          0, 0, 0, 0, 255, 0, 0, 0, 0,
          0, 0, 0, 0, 255, 0, 0, 0, 0,
          0, 0, 0, 0, 255, 0, 0, 0, 0},
         {}, 1, 4, 0,
         {-1, -1, -1, -1, -1, -1, -1, -1, -1,
          -1,  1,  1,  1, -1,  2,  2,  2, -1,
          -1,  1,  1,  1, -1,  2,  2,  2, -1,
          -1, -1, -1, -1, -1, -1, -1, -1, -1},
         {4}},
        {"labels in the frame seed nothing; interior negatives become 0", 4, 5, {10},
         {1, 1, 2, 2, 1,
          1, -2, -1, -5, 2,
          2, 0, -1, 0, 1,
          1, 1, 1, 1, 1},
         1, 4, 0,
         {-1, -1, -1, -1, -1,
          -1,  0,  0,  0, -1,
          -1,  0,  0,  0, -1,
          -1, -1, -1, -1, -1},
         {0}},
        {"a cell queued at seeding may still become a boundary", 3, 5, {0},
         {0, 0, 0, 0, 0,
          0, 1, -1, 2, 0,
          0, 0, 0, 0, 0},
         1, 3, 0,
         {-1, -1, -1, -1, -1,
          -1,  1, -1,  2, -1,
          -1, -1, -1, -1, -1},
         {0}},
        {"a cheaper cell queued late is served before older dearer ones", 3, 7,
         {0, 0, 0, 0, 0, 0, 0,
          0, 0, 5, 1, 9, 0, 0,
          0, 0, 0, 0, 0, 0, 0},
         {}, 1, 3, 0,
         // Popping (1,2) at 5 queues (1,3) at 1: the level drops, so (1,3) is
         // labelled before (1,4) at 9, which then meets both labels.
         {-1, -1, -1, -1, -1, -1, -1,
          -1,  1,  1,  1, -1,  2, -1,
          -1, -1, -1, -1, -1, -1, -1},
         {2}},
        {"rows beyond the last block's first row count to the last block", 11, 8, {50}, {},
         3, 3, 6,
         {-1, -1, -1, -1, -1, -1, -1, -1,
          -1,  1,  1,  1, -1,  2,  2, -1,
          -1,  1,  1,  1, -1,  2,  2, -1,
          -1,  1,  1,  1, -1,  2,  2, -1,
          -1,  1,  1,  1, -1,  2,  2, -1,
          -1,  1,  1,  1, -1,  2,  2, -1,
          -1,  1,  1,  1, -1,  2,  2, -1,
          -1,  1,  1,  1, -1,  2,  2, -1,
          -1,  1,  1,  1, -1,  2,  2, -1,
          -1,  1,  1,  1, -1,  2,  2, -1,
          -1, -1, -1, -1, -1, -1, -1, -1},
         {4, 6, 8}},
        {"the cap follows the stitcher's last-block row, not the block height", 8, 8, {50}, {},
         3, 3, 4,
         {-1, -1, -1, -1, -1, -1, -1, -1,
          -1,  1,  1,  1, -1,  2,  2, -1,
          -1,  1,  1,  1, -1,  2,  2, -1,
          -1,  1,  1,  1, -1,  2,  2, -1,
          -1,  1,  1,  1, -1,  2,  2, -1,
          -1,  1,  1,  1, -1,  2,  2, -1,
          -1,  1,  1,  1, -1,  2,  2, -1,
          -1, -1, -1, -1, -1, -1, -1, -1},
         {4, 4, 4}},
        {"one row: only the frame", 1, 4, {3}, {}, 1, 1, 0, {-1, -1, -1, -1}, {0}},
        {"two rows: only the frame", 2, 3, {3}, {}, 1, 2, 0, {-1, -1, -1, -1, -1, -1}, {0}},
        {"one column: frame cells only", 3, 1, {3}, {}, 1, 3, 0, {-1, -1, -1}, {0}},
        {"two columns: frame cells only", 3, 2, {3}, {}, 1, 3, 0, {-1, -1, -1, -1, -1, -1}, {0}},
        {"three columns: the middle cell is a seed of label 2", 3, 3, {3}, {}, 1, 3, 0,
         {-1, -1, -1, -1, 2, -1, -1, -1, -1}, {0}},
    };

    for (const EdgeCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<int> costValues = c.cost;
        if (costValues.size() == 1) costValues.assign(static_cast<size_t>(c.rows * c.cols), c.cost[0]);
        const cv::Mat cost = costFrom(c.rows, c.cols, costValues);
        const cv::Mat input =
            c.markers.empty() ? setupSeeds(c.rows, c.cols) : markersFrom(c.rows, c.cols, c.markers);

        DynStitcher ds;
        ds.lastMaskBlockRow = c.lastRow;
        // Two calls in a row on one stitcher must agree: the queues start
        // empty both times.
        for (int call = 0; call < 2; ++call) {
            SCOPED_TRACE(call == 0 ? "first call" : "second call");
            cv::Mat mk = input.clone();
            auto stats = makeStats(c.numBlocks);
            ds.watershed_diff(c.numBlocks, c.blockHeight, cost, mk, stats);
            EXPECT_EQ(flat(mk), c.expected);
            EXPECT_EQ(counts(stats), c.expectedCounts);
            for (const auto& s : stats) EXPECT_EQ(s.labelOneRatio, 0.0f);
            EXPECT_TRUE(queuesEmpty(ds));
        }
    }
}

TEST_F(Watershed, WorksOnRegionsOfLargerImages) {
    // Strided cost and marker views: offsets must follow each image's own step.
    cv::Mat costBig(12, 20, CV_8UC1, cv::Scalar(200));
    cv::Mat markBig(12, 20, CV_32SC1, cv::Scalar(7));
    const cv::Rect roi(3, 2, 8, 6);
    cv::Mat cost = costBig(roi);
    cost.setTo(120);
    cost(cv::Rect(4, 1, 1, 4)).setTo(255);
    cv::Mat mk = markBig(roi);
    setupSeeds(6, 8).copyTo(mk);

    DynStitcher ds;
    ds.lastMaskBlockRow = 3;
    auto stats = makeStats(2);
    ds.watershed_diff(2, 3, cost, mk, stats);

    cv::Mat refMk = setupSeeds(6, 8);
    std::vector<int> refCounts;
    referenceFlood(cost.clone(), refMk, 2, 3, 3, refCounts);
    EXPECT_EQ(flat(mk), flat(refMk));
    EXPECT_EQ(counts(stats), refCounts);
    // Nothing outside the region is touched.
    cv::Mat outside = markBig.clone();
    outside(roi).setTo(7);
    EXPECT_EQ(cv::countNonZero(outside != 7), 0);
}

TEST_F(Watershed, RandomFloodsKeepTheirInvariants) {
    std::mt19937 rng(20240611);
    auto uni = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };

    const int kRuns = 300;
    for (int run = 0; run < kRuns; ++run) {
        int rows, cols;
        if (run == 0) { rows = 270; cols = 80; }
        else if (run == 1) { rows = 540; cols = 160; }
        else if (run < 10) { rows = uni(1, 2); cols = uni(1, 12); if (run % 2) std::swap(rows, cols); }
        else { rows = uni(1, 60); cols = uni(1, 60); }
        SCOPED_TRACE("run " + std::to_string(run) + ": " + std::to_string(rows) + " x " +
                     std::to_string(cols));

        // Cost: a few grey levels (many ties) or the full range, in blobs or
        // per cell, so that pockets, plateaus and steep walls all occur.
        cv::Mat cost(rows, cols, CV_8UC1);
        const int levels = uni(0, 2) == 0 ? 3 : 256;
        const int blob = uni(1, 4);
        for (int r = 0; r < rows; ++r)
            for (int c = 0; c < cols; ++c) {
                std::mt19937 cell(static_cast<unsigned>(run * 7919 + (r / blob) * 131 + c / blob));
                const int v = std::uniform_int_distribution<int>(0, levels - 1)(cell);
                cost.ptr<uchar>(r)[c] = static_cast<uchar>(levels == 3 ? v * 120 : v);
            }

        cv::Mat input = setupSeeds(rows, cols);
        const int extraSeeds = uni(0, rows * cols / 20 + 1);
        for (int k = 0; k < extraSeeds; ++k) input.at<int>(uni(0, rows - 1), uni(0, cols - 1)) = uni(1, 2);
        const int junk = uni(0, rows * cols / 30 + 1);
        for (int k = 0; k < junk; ++k) input.at<int>(uni(0, rows - 1), uni(0, cols - 1)) = -uni(1, 3);

        const int numBlocks = uni(1, std::max(1, std::min(6, rows)));
        const int blockHeight = static_cast<int>(std::ceil(float(rows) / float(numBlocks)));
        const int lastRow = (numBlocks - 1) * blockHeight;
        if (lastRow >= rows) continue;  // a geometry set-up never produces

        DynStitcher ds;
        ds.lastMaskBlockRow = lastRow;
        cv::Mat mk = input.clone();
        auto stats = makeStats(numBlocks);
        ds.watershed_diff(numBlocks, blockHeight, cost, mk, stats);
        ASSERT_TRUE(queuesEmpty(ds));

        auto interior = [&](int r, int c) { return r > 0 && c > 0 && r < rows - 1 && c < cols - 1; };
        auto seed = [&](int r, int c) { return interior(r, c) && input.at<int>(r, c) > 0; };
        std::vector<int> expectedCounts(static_cast<size_t>(numBlocks), 0);
        const int dr[4] = {0, 0, -1, 1}, dc[4] = {-1, 1, 0, 0};
        cv::Mat visited = cv::Mat::zeros(rows, cols, CV_8UC1);
        for (int r = 0; r < rows; ++r)
            for (int c = 0; c < cols; ++c) {
                const int v = mk.at<int>(r, c);
                if (!interior(r, c)) {
                    ASSERT_EQ(v, -1) << "frame cell (" << r << "," << c << ")";
                    continue;
                }
                if (seed(r, c)) {
                    ASSERT_EQ(v, input.at<int>(r, c)) << "seed (" << r << "," << c << ") changed";
                    continue;
                }
                ASSERT_TRUE(v == 1 || v == 2 || v == -1 || v == 0) << v << " at (" << r << "," << c << ")";
                if (v == 1) ++expectedCounts[r <= lastRow ? r / blockHeight : numBlocks - 1];
                if (v > 0) {
                    bool same = false;
                    for (int k = 0; k < 4; ++k) same |= mk.at<int>(r + dr[k], c + dc[k]) == v;
                    ASSERT_TRUE(same) << "isolated label at (" << r << "," << c << ")";
                }
                if (v == 0 && !visited.at<uchar>(r, c)) {
                    // An unreached cell must lie in a pocket whose whole rim is -1.
                    std::vector<cv::Point> stack{{c, r}};
                    visited.at<uchar>(r, c) = 1;
                    while (!stack.empty()) {
                        const cv::Point p = stack.back();
                        stack.pop_back();
                        for (int k = 0; k < 4; ++k) {
                            const int rr = p.y + dr[k], cc = p.x + dc[k];
                            const int w = mk.at<int>(rr, cc);
                            ASSERT_TRUE(w == 0 || w == -1) << "unreached cell touches label " << w;
                            if (w == 0 && !visited.at<uchar>(rr, cc)) {
                                visited.at<uchar>(rr, cc) = 1;
                                stack.push_back({cc, rr});
                            }
                        }
                    }
                }
            }
        ASSERT_EQ(counts(stats), expectedCounts);

        cv::Mat refMk = input.clone();
        std::vector<int> refCounts;
        referenceFlood(cost, refMk, numBlocks, blockHeight, lastRow, refCounts);
        ASSERT_EQ(flat(mk), flat(refMk));

        cv::Mat again = input.clone();
        auto stats2 = makeStats(numBlocks);
        ds.watershed_diff(numBlocks, blockHeight, cost, again, stats2);
        ASSERT_EQ(flat(again), flat(mk));
        ASSERT_EQ(counts(stats2), counts(stats));
        ASSERT_TRUE(queuesEmpty(ds));
    }
}

TEST_F(Watershed, PoolAllocationFailureLeavesQueuesEmpty) {
    // Extra seeds all over a plateau keep far more than 128 cells queued at
    // once, so the pool must grow a second time (128 -> 192 nodes); that
    // growth is made to fail while the queues hold entries.
    const int rows = 40, cols = 40;
    cv::Mat cost(rows, cols, CV_8UC1, cv::Scalar(90));
    cv::Mat input = setupSeeds(rows, cols);
    for (int r = 2; r < rows - 2; r += 3)
        for (int c = 3; c < cols - 3; c += 3) input.at<int>(r, c) = 1 + (r + c) % 2;

    DynStitcher expectedDs;
    cv::Mat expected = input.clone();
    auto expectedStats = makeStats(1);
    expectedDs.lastMaskBlockRow = 0;
    expectedDs.watershed_diff(1, rows, cost, expected, expectedStats);

    DynStitcher ds;
    ds.lastMaskBlockRow = 0;
    cv::Mat mk = input.clone();
    auto stats = makeStats(1);
    g_failAllocCountdown = 2;
    EXPECT_THROW(ds.watershed_diff(1, rows, cost, mk, stats), std::bad_alloc);
    EXPECT_EQ(g_failAllocCountdown, 0) << "the pool never reached its second growth";
    g_failAllocCountdown = 0;
    EXPECT_TRUE(queuesEmpty(ds));

    mk = input.clone();
    ds.watershed_diff(1, rows, cost, mk, stats);
    EXPECT_EQ(flat(mk), flat(expected));
    EXPECT_EQ(counts(stats), counts(expectedStats));
}
