// Overlap set-up and LUT anchors: geometry, anchors per mask block, the
// matrices and lists that set-up builds, and the refusal of broken limits.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "test_support.h"
#include "zelvo_internal.h"

namespace {

// Motion-map anchor encoded in a LUT word; the unused bit fields carry noise
// so that decoding must mask them out.
uint32_t lutWord(int x, int y) {
    return (uint32_t(y) << 22) | (0x2Au << 16) | (uint32_t(x) << 6) | 0x15u;
}

// Anchors that identify their vertex: left (3c, r + 1), right (3c + 1, r + 2).
cv::Point leftAnchorOf(int c, int r) { return {3 * c, r + 1}; }
cv::Point rightAnchorOf(int c, int r) { return {3 * c + 1, r + 2}; }

struct Geometry {
    int imgWidth = 1920;
    int imgHeight = 1080;
    int overlapWidth = 320;
    int numMaskBlocks = 4;
    int lutGridSize = 33;
    int cellWidth = 4;
    int cellHeight = 10;
    unsigned mdGridWidth = 120;
    unsigned mdGridHeight = 68;
    int lutRows = 33;       // rows of the library's grid-row table
    int tableBlocks = 4;    // block count the table is built for
};

// One stitcher with its host-side LUTs and fusion-map buffer. Builds the
// library tables on construction and releases them on destruction.
struct Rig {
    explicit Rig(const Geometry& g_) : g(g_) {
        const int n = g.lutGridSize;
        lutL.assign(size_t(n) * size_t(n), 0);
        lutR.assign(size_t(n) * size_t(n), 0);
        for (int r = 0; r < n; ++r)
            for (int c = 0; c < n; ++c) {
                const cv::Point a = leftAnchorOf(c, r), b = rightAnchorOf(c, r);
                lutL[size_t(r * n + c)] = lutWord(a.x, a.y);
                lutR[size_t(r * n + c)] = lutWord(b.x, b.y);
            }
        fusion.assign(size_t(g.imgHeight) * size_t(g.overlapWidth), 0xAB);
        zelvo_stitch_init(g.lutRows, g.tableBlocks, 0, 0, 1, 1);
        float thr[1] = {0.1f}, inc[1] = {1.0f};
        zt::StdoutCapture quiet;  // the constructor's build-switch lines
        st.reset(new DynStitcher(0, 0, g.imgWidth, g.imgHeight, g.overlapWidth, g.numMaskBlocks,
                                 10.0f, -10.0f, 0.0f, 1, thr, inc, 1, 30, g.lutGridSize,
                                 g.lutGridSize, lutL.data(), lutR.data(), 0, g.mdGridWidth,
                                 g.mdGridHeight, g.cellWidth, g.cellHeight));
    }
    ~Rig() { zelvo_stitch_uninit(); }

    unsigned long addr() { return (unsigned long)fusion.data(); }
    // Runs setup and returns what it printed.
    std::string setup() {
        zt::StdoutCapture cap;
        st->setup(0, addr());
        return cap.take();
    }

    Geometry g;
    std::vector<uint32_t> lutL, lutR;
    std::vector<uint8_t> fusion;
    std::unique_ptr<DynStitcher> st;
};

std::vector<int> column(const cv::Mat& m, int col) {
    std::vector<int> v;
    for (int r = 0; r < m.rows; ++r)
        v.push_back(m.type() == CV_32SC1 ? m.ptr<int>(r)[col] : int(m.ptr<uint8_t>(r)[col]));
    return v;
}

std::vector<int> row0(const cv::Mat& m) {
    std::vector<int> v;
    for (int c = 0; c < m.cols; ++c)
        v.push_back(m.type() == CV_32SC1 ? m.ptr<int>(0)[c] : int(m.ptr<uint8_t>(0)[c]));
    return v;
}

bool sameMat(const cv::Mat& a, const cv::Mat& b) {
    return a.data == b.data && a.rows == b.rows && a.cols == b.cols && a.type() == b.type();
}

}  // namespace

// The 1920 / 320 / 33 geometry: left columns 27..32 paired with right
// columns 0..5, every row, filed by the table's block of the row.
TEST(LutAnchors, OverlapColumnsPerBlock) {
    Rig rig(Geometry{});
    rig.setup();
    const DynStitcher& s = *rig.st;
    EXPECT_EQ(s.blockMdCellCount, (std::vector<int32_t>{54, 48, 48, 48}));
    ASSERT_EQ(s.blockMdCellsL.size(), 4u);
    ASSERT_EQ(s.blockMdCellsR.size(), 4u);

    const int firstRow[4] = {0, 9, 17, 25}, lastRow[4] = {8, 16, 24, 32};
    for (int b = 0; b < 4; ++b) {
        std::vector<cv::Point> wantL, wantR;
        for (int r = firstRow[b]; r <= lastRow[b]; ++r)
            for (int i = 0; i < 6; ++i) {
                wantL.push_back(leftAnchorOf(27 + i, r));
                wantR.push_back(rightAnchorOf(i, r));
            }
        EXPECT_EQ(s.blockMdCellsL[size_t(b)], wantL) << "block " << b;
        EXPECT_EQ(s.blockMdCellsR[size_t(b)], wantR) << "block " << b;
        EXPECT_EQ(s.prevMaskBlockStats[size_t(b)].mdCellsL, wantL);
        EXPECT_EQ(s.maskBlockStats[size_t(b)].mdCellsR, wantR);
    }
}

// Column ranges at the overlap's edges: an edge vertex that falls exactly on
// the rectangle is taken, and a narrow overlap yields one pair per row from the
// two LUTs' outer columns.
TEST(LutAnchors, ColumnRangeEdges) {
    struct Case {
        int overlapWidth, firstLeftCol, cols;
    };
    for (const Case& c : {Case{480, 24, 9}, Case{40, 32, 1}, Case{320, 27, 6}}) {
        Geometry g;
        g.overlapWidth = c.overlapWidth;
        g.numMaskBlocks = 1;
        g.tableBlocks = 1;
        Rig rig(g);
        rig.setup();
        const DynStitcher& s = *rig.st;
        ASSERT_EQ(s.blockMdCellsL.size(), 1u);
        EXPECT_EQ(s.blockMdCellCount, (std::vector<int32_t>{33 * c.cols}));
        std::vector<cv::Point> wantL, wantR;
        for (int r = 0; r <= 32; ++r)
            for (int i = 0; i < c.cols; ++i) {
                wantL.push_back(leftAnchorOf(c.firstLeftCol + i, r));
                wantR.push_back(rightAnchorOf(i, r));
            }
        EXPECT_EQ(s.blockMdCellsL[0], wantL) << "overlapWidth " << c.overlapWidth;
        EXPECT_EQ(s.blockMdCellsR[0], wantR) << "overlapWidth " << c.overlapWidth;
    }
}

// Called directly the walk validates nothing: an empty column range visits
// nothing, unequal ranges pair in lockstep, and words decode to their fields.
TEST(LutAnchors, DirectWalkAndWordDecoding) {
    Rig rig(Geometry{});
    DynStitcher& s = *rig.st;

    // Left rectangle x 100..110 covers columns 2..1: nothing at all.
    s.determineLUTanchors({100, 0}, {110, 1080}, {0, 0}, {320, 1080});
    ASSERT_EQ(s.blockMdCellsL.size(), 4u);
    for (int b = 0; b < 4; ++b) {
        EXPECT_TRUE(s.blockMdCellsL[size_t(b)].empty());
        EXPECT_TRUE(s.blockMdCellsR[size_t(b)].empty());
    }
    EXPECT_EQ(s.blockMdCellCount, (std::vector<int32_t>{0, 0, 0, 0}));

    // Left columns 3..5 x rows 2..3 against right columns 0..4 x rows 10..32:
    // two rows of three pairs, the right side offset like the left.
    s.determineLUTanchors({180, 60}, {300, 110}, {0, 330}, {300, 1080});
    std::vector<cv::Point> l, r;
    for (int b = 0; b < 4; ++b) {
        l.insert(l.end(), s.blockMdCellsL[size_t(b)].begin(), s.blockMdCellsL[size_t(b)].end());
        r.insert(r.end(), s.blockMdCellsR[size_t(b)].begin(), s.blockMdCellsR[size_t(b)].end());
    }
    std::vector<cv::Point> wantL, wantR;
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 3; ++j) {
            wantL.push_back(leftAnchorOf(3 + j, 2 + i));
            wantR.push_back(rightAnchorOf(j, 10 + i));
        }
    EXPECT_EQ(l, wantL);
    EXPECT_EQ(r, wantR);
    EXPECT_EQ(s.blockMdCellsL[0].size(), 6u);  // rows 2, 3 -> block 0
    EXPECT_EQ(s.blockMdCellsR[1].size(), 6u);  // rows 10, 11 -> block 1
    EXPECT_EQ(s.blockMdCellCount.size(), 8u);  // appended behind the first call

    // Word fields: column in bits 6-15, row in bits 22-31, the rest ignored.
    rig.lutL[0] = (100u << 22) | (37u << 16) | (200u << 6) | 5u;
    rig.lutR[0] = 0xFFFFFFFFu;
    s.determineLUTanchors({0, 0}, {0, 0}, {0, 0}, {0, 0});
    EXPECT_EQ(s.blockMdCellsL[0], (std::vector<cv::Point>{{200, 100}}));
    EXPECT_EQ(s.blockMdCellsR[0], (std::vector<cv::Point>{{1023, 1023}}));
}

// Block geometry: maskBlockHeight rounds up, the last block takes the rest.
TEST(SetupBlocks, Geometry) {
    struct Case {
        int imgHeight, numMaskBlocks, height, lastRow;
        std::vector<int> rows;
    };
    const Case cases[] = {
        {1080, 5, 22, 88, {22, 22, 22, 22, 20}},
        {100, 4, 3, 9, {3, 3, 3, 1}},
        {90, 1, 9, 0, {9}},
    };
    for (const Case& c : cases) {
        Geometry g;
        g.imgHeight = c.imgHeight;
        g.numMaskBlocks = c.numMaskBlocks;
        g.tableBlocks = c.numMaskBlocks;
        Rig rig(g);
        rig.setup();
        const DynStitcher& s = *rig.st;
        SCOPED_TRACE("maskRows " + std::to_string(s.maskRows) + ", blocks " +
                     std::to_string(c.numMaskBlocks));
        EXPECT_EQ(s.maskCols, 80);
        EXPECT_EQ(s.maskBlockHeight, c.height);
        EXPECT_EQ(s.lastMaskBlockRow, c.lastRow);
        const size_t n = size_t(c.numMaskBlocks);
        ASSERT_EQ(s.prevMaskBlockStats.size(), n);
        ASSERT_EQ(s.maskBlockStats.size(), n);
        EXPECT_EQ(s.blockScore, std::vector<float>(n, 0.0f));
        EXPECT_EQ(s.blockMotionSumL, std::vector<int32_t>(n, 0));
        EXPECT_EQ(s.blockMotionSumR, std::vector<int32_t>(n, 0));
        EXPECT_EQ(s.blockSeamUpdate, std::vector<int32_t>(n, 0));
        ASSERT_EQ(s.blockMotionHistory.size(), n);
        int y = 0;
        for (size_t i = 0; i < n; ++i) {
            const int h = c.rows[i];
            const _MaskBlockStat& p = s.prevMaskBlockStats[i];
            const _MaskBlockStat& m = s.maskBlockStats[i];
            EXPECT_EQ(p.rect, cv::Rect(0, y, 80, h));
            EXPECT_EQ(m.rect, cv::Rect(0, y, 80, h));
            EXPECT_EQ(p.area, 80 * h);
            EXPECT_EQ(m.area, 80 * h);
            EXPECT_EQ(p.labelOneCount, 80 * h / 2);
            EXPECT_EQ(m.labelOneCount, 0);
            EXPECT_EQ(p.labelOneRatio, 0.0f);
            EXPECT_EQ(m.labelOneRatio, 0.0f);
            EXPECT_EQ(s.blockMotionHistory[i], std::deque<int32_t>(32, 0));
            y += h;
        }
        EXPECT_EQ(y, s.maskRows);
    }
}

// An odd block area truncates the half seeded on the left side (9 x 3 -> 13).
TEST(SetupBlocks, OddAreaHalf) {
    Geometry g;
    g.overlapWidth = 36;  // 9 columns
    g.imgHeight = 30;     // 3 rows
    g.numMaskBlocks = 1;
    g.tableBlocks = 1;
    Rig rig(g);
    rig.setup();
    EXPECT_EQ(rig.st->prevMaskBlockStats[0].area, 27);
    EXPECT_EQ(rig.st->prevMaskBlockStats[0].labelOneCount, 13);
}

// Seeds, default mask, seam columns and curves for even, odd and narrow grids.
TEST(SetupMasks, SeedsDefaultMaskAndCurves) {
    struct Case {
        int maskCols;
        std::vector<int> markers, mask;
        int crossX;
        bool curvesPrinted;
    };
    const Case cases[] = {
        {9, {1, 1, 0, 0, 0, 0, 0, 2, 2}, {255, 255, 255, 255, 0, 0, 0, 0, 0}, 4, true},
        {10, {1, 1, 0, 0, 0, 0, 0, 0, 2, 2}, {255, 255, 255, 255, 255, 0, 0, 0, 0, 0}, 5, false},
        {3, {1, 2, 2}, {255, 0, 0}, 1, true},
        {2, {2, 2}, {255, 0}, 1, false},
    };
    const std::string curveMsg = "window_length for Sigmoid Curve generation must be even.\n";
    for (const Case& c : cases) {
        SCOPED_TRACE("maskCols " + std::to_string(c.maskCols));
        Geometry g;
        g.overlapWidth = 4 * c.maskCols;
        g.imgHeight = 70;  // 7 mask rows
        g.numMaskBlocks = 2;
        g.tableBlocks = 2;
        Rig rig(g);
        const std::string out = rig.setup();
        const DynStitcher& s = *rig.st;
        ASSERT_EQ(s.maskCols, c.maskCols);
        ASSERT_EQ(s.maskRows, 7);

        std::string want;
        if (c.curvesPrinted)
            for (int i = 0; i < 7; ++i) want += curveMsg;
        EXPECT_EQ(out, want);
        ASSERT_EQ(s.sigmoidCurves.size(), 7u);
        for (int i = 0; i < 7; ++i) {
            const SigmoidCurve& curve = s.sigmoidCurves[size_t(i)];
            EXPECT_EQ(curve.arr.size(), c.curvesPrinted ? 0u : size_t(c.maskCols));
            if (!c.curvesPrinted) {
                EXPECT_EQ(curve.k, DynStitcher::ks[i]);
                EXPECT_EQ(curve.arr, SigmoidCurve(c.maskCols, DynStitcher::ks[i], 255).arr);
            }
        }

        ASSERT_EQ(s.wsMarkers.type(), CV_32SC1);
        ASSERT_EQ(s.wsMarkers.size(), cv::Size(c.maskCols, 7));
        ASSERT_EQ(s.defaultMask.type(), CV_8UC1);
        ASSERT_EQ(s.defaultMask.size(), cv::Size(c.maskCols, 7));
        for (int r = 0; r < 7; ++r) {
            const int* m = s.wsMarkers.ptr<int>(r);
            const uint8_t* d = s.defaultMask.ptr<uint8_t>(r);
            EXPECT_EQ(std::vector<int>(m, m + c.maskCols), c.markers) << "row " << r;
            EXPECT_EQ(std::vector<int>(d, d + c.maskCols), c.mask) << "row " << r;
        }
        EXPECT_EQ(s.rowCrossX, std::vector<int32_t>(7, c.crossX));
        EXPECT_EQ(c.mask[size_t(c.crossX)], 0);  // first right-side column
        if (c.crossX > 0) EXPECT_EQ(c.mask[size_t(c.crossX - 1)], 255);

        EXPECT_EQ(s.fusionMask.type(), CV_8UC1);
        EXPECT_EQ(s.fusionMask.size(), s.wsMarkers.size());
        EXPECT_EQ(cv::countNonZero(s.fusionMask), 0);
        EXPECT_NE(s.lastMask.data, s.defaultMask.data);
        EXPECT_EQ(cv::norm(s.lastMask, s.defaultMask, cv::NORM_INF), 0.0);
        EXPECT_EQ(s.labelMaskValue[0], 255);
        EXPECT_EQ(s.labelMaskValue[1], 0);
        EXPECT_EQ(s.quietFrameCount, 0);
    }
}

// The fusion map is a header over the host buffer: neither cleared nor
// copied, and it keeps the full pixel width even where cells drop columns.
TEST(SetupFusionMap, WritesIntoHostBuffer) {
    Geometry g;
    g.overlapWidth = 330;  // 82 mask columns; the last 2 pixels belong to no cell
    Rig rig(g);
    rig.st->quietFrameCount = 7;
    rig.setup();
    DynStitcher& s = *rig.st;
    EXPECT_EQ(s.maskCols, 82);
    EXPECT_EQ(s.quietFrameCount, 0);
    EXPECT_EQ(s.dreFusionMapAddr, uint64_t(rig.addr()));
    ASSERT_EQ(s.dreFusionMap.type(), CV_8UC1);
    EXPECT_EQ(s.dreFusionMap.size(), cv::Size(330, 1080));
    EXPECT_EQ(s.dreFusionMap.data, rig.fusion.data());
    EXPECT_EQ(s.dreFusionMap.step[0], 330u);
    EXPECT_EQ(s.dreFusionMap.u, nullptr);  // owns nothing
    for (uint8_t v : rig.fusion) ASSERT_EQ(v, 0xAB);

    s.dreFusionMap.ptr<uint8_t>(5)[7] = 42;
    s.dreFusionMap.ptr<uint8_t>(1079)[329] = 43;
    EXPECT_EQ(rig.fusion[5 * 330 + 7], 42);
    EXPECT_EQ(rig.fusion[1079 * 330 + 329], 43);
    rig.st.reset();  // destroying the stitcher leaves the buffer alone
    EXPECT_EQ(rig.fusion[5 * 330 + 7], 42);
}

// A second set-up appends a second set of list entries but replaces the
// matrices and rebuilds the anchor lists.
TEST(SetupRepeat, AppendsSecondSet) {
    Rig rig(Geometry{});
    rig.setup();
    DynStitcher& s = *rig.st;
    const cv::Mat markers1 = s.wsMarkers, default1 = s.defaultMask, last1 = s.lastMask,
                  fusion1 = s.fusionMask;
    const auto cellsL1 = s.blockMdCellsL;
    s.prevMaskBlockStats[0].labelOneCount = -5;  // first set stays as it is
    s.blockScore[0] = 3.5f;
    std::vector<uint8_t> other(rig.fusion.size());
    {
        zt::StdoutCapture quiet;
        s.setup(0, (unsigned long)other.data());
    }
    EXPECT_EQ(s.sigmoidCurves.size(), 14u);
    EXPECT_EQ(s.blockMdCellCount, (std::vector<int32_t>{54, 48, 48, 48, 54, 48, 48, 48}));
    EXPECT_EQ(s.blockMdCellsL, cellsL1);
    EXPECT_EQ(s.blockMdCellsL.size(), 4u);
    for (auto* v : {&s.prevMaskBlockStats, &s.maskBlockStats}) ASSERT_EQ(v->size(), 8u);
    EXPECT_EQ(s.prevMaskBlockStats[0].labelOneCount, -5);
    EXPECT_EQ(s.prevMaskBlockStats[4].labelOneCount, 80 * 27 / 2);
    EXPECT_EQ(s.prevMaskBlockStats[4].mdCellsL, cellsL1[0]);
    EXPECT_EQ(s.blockScore, (std::vector<float>{3.5f, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(s.blockMotionSumL.size(), 8u);
    EXPECT_EQ(s.blockMotionSumR.size(), 8u);
    EXPECT_EQ(s.blockSeamUpdate.size(), 8u);
    EXPECT_EQ(s.blockMotionHistory.size(), 8u);
    EXPECT_EQ(s.rowCrossX, std::vector<int32_t>(216, 40));
    EXPECT_NE(s.wsMarkers.data, markers1.data);
    EXPECT_NE(s.defaultMask.data, default1.data);
    EXPECT_NE(s.lastMask.data, last1.data);
    EXPECT_NE(s.fusionMask.data, fusion1.data);
    EXPECT_EQ(s.wsMarkers.size(), markers1.size());
    EXPECT_EQ(s.dreFusionMap.data, other.data());
}

// A LUT word outside the motion map at a vertex that the walk does not visit
// is not a reason to refuse.
TEST(SetupLimits, UnvisitedWordsAreNotChecked) {
    Rig rig(Geometry{});
    for (int r = 0; r < 33; ++r) {
        rig.lutL[size_t(r * 33 + 26)] = 0xFFFFFFFFu;  // left columns start at 27
        rig.lutR[size_t(r * 33 + 6)] = 0xFFFFFFFFu;   // right columns end at 5
    }
    EXPECT_NO_THROW(rig.setup());
    EXPECT_EQ(rig.st->blockMdCellCount, (std::vector<int32_t>{54, 48, 48, 48}));
}

namespace {

// The members that set-up writes, captured to show a refused call left them
// exactly as they were.
struct Snapshot {
    explicit Snapshot(const DynStitcher& s)
        : maskCols(s.maskCols), maskRows(s.maskRows), maskBlockHeight(s.maskBlockHeight),
          lastMaskBlockRow(s.lastMaskBlockRow), quietFrameCount(s.quietFrameCount),
          label0(s.labelMaskValue[0]), label1(s.labelMaskValue[1]),
          dreFusionMapAddr(s.dreFusionMapAddr), curves(s.sigmoidCurves.size()),
          cellsL(s.blockMdCellsL), cellsR(s.blockMdCellsR), cellCount(s.blockMdCellCount),
          prevStats(s.prevMaskBlockStats.size()), stats(s.maskBlockStats.size()),
          blockScore(s.blockScore), sumL(s.blockMotionSumL), sumR(s.blockMotionSumR),
          seamUpdate(s.blockSeamUpdate), history(s.blockMotionHistory.size()),
          rowCrossX(s.rowCrossX), wsMarkers(s.wsMarkers), fusionMask(s.fusionMask),
          defaultMask(s.defaultMask), lastMask(s.lastMask), dreFusionMap(s.dreFusionMap) {}

    void expectUnchanged(const DynStitcher& s) const {
        EXPECT_EQ(s.maskCols, maskCols);
        EXPECT_EQ(s.maskRows, maskRows);
        EXPECT_EQ(s.maskBlockHeight, maskBlockHeight);
        EXPECT_EQ(s.lastMaskBlockRow, lastMaskBlockRow);
        EXPECT_EQ(s.quietFrameCount, quietFrameCount);
        EXPECT_EQ(s.labelMaskValue[0], label0);
        EXPECT_EQ(s.labelMaskValue[1], label1);
        EXPECT_EQ(s.dreFusionMapAddr, dreFusionMapAddr);
        EXPECT_EQ(s.sigmoidCurves.size(), curves);
        EXPECT_EQ(s.blockMdCellsL, cellsL);
        EXPECT_EQ(s.blockMdCellsR, cellsR);
        EXPECT_EQ(s.blockMdCellCount, cellCount);
        EXPECT_EQ(s.prevMaskBlockStats.size(), prevStats);
        EXPECT_EQ(s.maskBlockStats.size(), stats);
        EXPECT_EQ(s.blockScore, blockScore);
        EXPECT_EQ(s.blockMotionSumL, sumL);
        EXPECT_EQ(s.blockMotionSumR, sumR);
        EXPECT_EQ(s.blockSeamUpdate, seamUpdate);
        EXPECT_EQ(s.blockMotionHistory.size(), history);
        EXPECT_EQ(s.rowCrossX, rowCrossX);
        EXPECT_TRUE(sameMat(s.wsMarkers, wsMarkers));
        EXPECT_TRUE(sameMat(s.fusionMask, fusionMask));
        EXPECT_TRUE(sameMat(s.defaultMask, defaultMask));
        EXPECT_TRUE(sameMat(s.lastMask, lastMask));
        EXPECT_TRUE(sameMat(s.dreFusionMap, dreFusionMap));
    }

    int maskCols, maskRows, maskBlockHeight, lastMaskBlockRow, quietFrameCount, label0, label1;
    uint64_t dreFusionMapAddr;
    size_t curves;
    std::vector<std::vector<cv::Point>> cellsL, cellsR;
    std::vector<int32_t> cellCount;
    size_t prevStats, stats;
    std::vector<float> blockScore;
    std::vector<int32_t> sumL, sumR, seamUpdate;
    size_t history;
    std::vector<int32_t> rowCrossX;
    cv::Mat wsMarkers, fusionMask, defaultMask, lastMask, dreFusionMap;
};

}  // namespace

// Every broken limit is refused with std::invalid_argument naming the limit
// and its values, before anything changes and without printing. Each case
// starts from a stitcher that a good set-up has already filled, then breaks
// one thing.
TEST(SetupLimits, RefusedBeforeAnyChange) {
    struct Case {
        const char* name;
        Geometry g;
        std::function<void(Rig&)> breakIt;
        std::vector<std::string> msgParts;
        bool nullAddress = false;
    };
    auto geo = [](std::function<void(Geometry&)> f) {
        Geometry g;
        f(g);
        return g;
    };
    auto setCell = [](int32_t DynStitcher::*m, int v) {
        return [m, v](Rig& r) { (*r.st).*m = v; };
    };
    const std::vector<Case> cases = {
        {"cellWidth 0", {}, setCell(&DynStitcher::cellWidth, 0), {"cellWidth 0", "below 1"}},
        {"cellHeight -1", {}, setCell(&DynStitcher::cellHeight, -1),
         {"cellHeight -1", "below 1"}},
        {"maskCols 1", {}, setCell(&DynStitcher::overlapWidth, 7),
         {"maskCols 1", "below 2", "overlapWidth 7", "cellWidth 4"}},
        {"maskCols 0", {}, setCell(&DynStitcher::cellWidth, 400), {"maskCols 0", "below 2"}},
        {"maskRows 0", {}, setCell(&DynStitcher::imgHeight, 9),
         {"maskRows 0", "below 1", "imgHeight 9", "cellHeight 10"}},
        {"numMaskBlocks 0", {}, setCell(&DynStitcher::numMaskBlocks, 0),
         {"numMaskBlocks 0", "below 1"}},
        {"last block without rows", geo([](Geometry& g) {
             g.imgHeight = 90;
             g.numMaskBlocks = 3;
             g.tableBlocks = 3;
         }),
         setCell(&DynStitcher::numMaskBlocks, 6),
         {"setup: numMaskBlocks 6 leaves the last mask block without rows (maskRows 9, "
          "maskBlockHeight 2)"}},
        {"overlap wider than the image", {}, setCell(&DynStitcher::overlapWidth, 2000),
         {"overlapWidth 2000", "imgWidth 1920"}},
        {"lutGridSize 1", {}, setCell(&DynStitcher::lutGridSize, 1), {"lutGridSize 1", "below 2"}},
        {"negative lutStride", {}, setCell(&DynStitcher::lutStride, -33), {"lutStride -33"}},
        {"null lutLeft", {}, [](Rig& r) { r.st->lutLeft = nullptr; }, {"lutLeft", "null"}},
        {"null lutRight", {}, [](Rig& r) { r.st->lutRight = nullptr; }, {"lutRight", "null"}},
        {"null fusion map", {}, [](Rig&) {}, {"dreFusionMapAddr", "null"}, true},
        {"no grid-row table", {}, [](Rig&) { zelvo_stitch_uninit(); },
         {"lut_vsegment_maskblock_idx", "not initialised"}},
        {"short grid-row table", {}, [](Rig&) { zelvo_stitch_init(32, 4, 0, 0, 1, 1); },
         {"lut_vsegment_maskblock_idx", "32 rows", "lutGridSize 33"}},
        {"table entry above the blocks", {},
         [](Rig&) { zelvo_stitch_init(33, 5, 0, 0, 1, 1); },
         {"lut_vsegment_maskblock_idx[", "= 4", "numMaskBlocks 4"}},
        {"negative table entry", {},
         [](Rig&) { DynStitcher::lut_vsegment_maskblock_idx[20] = -1; },
         {"lut_vsegment_maskblock_idx[20] = -1", "numMaskBlocks 4"}},
        {"left anchor column", {},
         [](Rig& r) { r.lutL[size_t(7 * 33 + 30)] = lutWord(120, 3); },
         {"lutLeft", "column 30, row 7", "(120, 3)", "mdGridWidth 120", "mdGridHeight 68"}},
        {"left anchor row", {}, [](Rig& r) { r.lutL[size_t(32 * 33 + 32)] = lutWord(0, 68); },
         {"lutLeft", "column 32, row 32", "(0, 68)", "mdGridHeight 68"}},
        {"right anchor column", {},
         [](Rig& r) { r.lutR[size_t(0 * 33 + 5)] = lutWord(1023, 0); },
         {"lutRight", "column 5, row 0", "(1023, 0)", "mdGridWidth 120"}},
        {"right anchor row", {},
         [](Rig& r) { r.lutR[size_t(16 * 33 + 0)] = lutWord(119, 200); },
         {"lutRight", "column 0, row 16", "(119, 200)", "mdGridHeight 68"}},
    };

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(c.g);
        ASSERT_NO_THROW(rig.setup());
        c.breakIt(rig);
        const Snapshot before(*rig.st);
        zt::StdoutCapture cap;
        std::string msg;
        try {
            rig.st->setup(0, c.nullAddress ? 0ul : rig.addr());
            ADD_FAILURE() << "set-up was not refused";
        } catch (const std::invalid_argument& e) {
            msg = e.what();
        }
        EXPECT_EQ(cap.take(), "");
        EXPECT_EQ(msg.rfind("setup: ", 0), 0u) << msg;
        for (const std::string& part : c.msgParts)
            EXPECT_NE(msg.find(part), std::string::npos) << "'" << part << "' not in: " << msg;
        before.expectUnchanged(*rig.st);
    }
}

// A fresh stitcher refused through the entry point stays empty, and the
// exception reaches the host.
TEST(SetupLimits, EntryPointPassesRefusalThrough) {
    Geometry g;
    g.imgHeight = 90;  // 9 mask rows cannot be cut into 6 blocks
    g.numMaskBlocks = 6;
    Rig rig(g);
    EXPECT_THROW(setup_dynstitcher(rig.st.get(), 0, rig.addr()), std::invalid_argument);
    const DynStitcher& s = *rig.st;
    EXPECT_EQ(s.maskCols, 0);
    EXPECT_EQ(s.maskRows, 0);
    EXPECT_TRUE(s.sigmoidCurves.empty());
    EXPECT_TRUE(s.blockMdCellsL.empty());
    EXPECT_TRUE(s.blockMdCellCount.empty());
    EXPECT_TRUE(s.wsMarkers.empty());
    EXPECT_TRUE(s.dreFusionMap.empty());
    EXPECT_EQ(s.dreFusionMapAddr, 0u);

    rig.st->numMaskBlocks = 5;
    EXPECT_EQ(setup_dynstitcher(rig.st.get(), 0, rig.addr()), 0);
    EXPECT_EQ(rig.st->maskBlockHeight, 2);
    EXPECT_EQ(rig.st->lastMaskBlockRow, 8);
}
