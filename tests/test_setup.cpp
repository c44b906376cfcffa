// Overlap set-up and LUT anchors: geometry, anchors per mask block, the
// matrices that set-up builds, and the refusal of broken limits.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <tuple>

#include "test_support.h"
#include "zelvo_internal.h"

namespace {

// Anchor word with noise in the unused bit fields, which decoding must mask out.
uint32_t lutWord(cv::Point p) { return (uint32_t(p.y) << 22) | (0x2Au << 16) | (uint32_t(p.x) << 6) | 0x15u; }
// Anchors that identify their vertex: left (3c, r + 1), right (3c + 1, r + 2).
cv::Point leftAnchorOf(int c, int r) { return {3 * c, r + 1}; }
cv::Point rightAnchorOf(int c, int r) { return {3 * c + 1, r + 2}; }

// One stitcher (1920 wide, 33 x 33 LUT, 4 x 10 cells, 120 x 68 motion map) with its
// host LUTs and fusion-map buffer; the grid-row table spreads 33 rows over its blocks.
struct Rig {
    explicit Rig(int overlap = 320, int height = 1080, int blocks = 4) {
        for (int r = 0; r < 33; ++r)
            for (int c = 0; c < 33; ++c)
                lutL.push_back(lutWord(leftAnchorOf(c, r))), lutR.push_back(lutWord(rightAnchorOf(c, r)));
        fusion.assign(size_t(height * overlap), 0xAB);
        zelvo_stitch_init(33, blocks, 0, 0, 1, 1);
        float thr[1] = {0.1f}, inc[1] = {1.0f};
        zt::StdoutCapture quiet;  // the constructor's build-switch lines
        st.reset(new DynStitcher(0, 0, 1920, height, overlap, blocks, 10.0f, -10.0f, 0.0f, 1, thr, inc, 1, 30, 33,
                                 33, lutL.data(), lutR.data(), 0, 120, 68, 4, 10));
    }
    ~Rig() { zelvo_stitch_uninit(); }
    unsigned long addr() { return (unsigned long)fusion.data(); }
    std::string setup() { zt::StdoutCapture cap; st->setup(0, addr()); return cap.take(); }  // what it printed
    std::vector<uint32_t> lutL, lutR;
    std::vector<uint8_t> fusion;
    std::unique_ptr<DynStitcher> st;
};

}  // namespace

// Left columns from firstLeft pair with right columns from 0 in every LUT row, filed
// by the table's block of the row. At 480 the edge vertex lying exactly on the
// rectangle is taken; at 40 one pair per row remains.
TEST(LutAnchors, ColumnRangesPerBlock) {
    struct Case { int overlap, blocks, firstLeft, cols; std::vector<int> firstRows, counts; };
    for (const Case& c : {Case{320, 4, 27, 6, {0, 9, 17, 25, 33}, {54, 48, 48, 48}},
                          Case{480, 1, 24, 9, {0, 33}, {297}}, Case{40, 1, 32, 1, {0, 33}, {33}}}) {
        SCOPED_TRACE(c.overlap);
        Rig rig(c.overlap, 1080, c.blocks);
        for (int r = 0; r < 33; ++r)  // words of vertices the walk skips are never checked
            rig.lutL[size_t(r * 33 + c.firstLeft - 1)] = rig.lutR[size_t(r * 33 + c.cols)] = 0xFFFFFFFFu;
        ASSERT_EQ(rig.setup(), "");
        const DynStitcher& s = *rig.st;
        EXPECT_EQ(s.blockMdCellCount, c.counts);
        ASSERT_EQ(s.blockMdCellsL.size(), size_t(c.blocks)); ASSERT_EQ(s.blockMdCellsR.size(), size_t(c.blocks));
        for (size_t b = 0; b < size_t(c.blocks); ++b) {
            std::vector<cv::Point> wantL, wantR;
            for (int r = c.firstRows[b]; r < c.firstRows[b + 1]; ++r)
                for (int i = 0; i < c.cols; ++i)
                    wantL.push_back(leftAnchorOf(c.firstLeft + i, r)), wantR.push_back(rightAnchorOf(i, r));
            EXPECT_EQ(s.blockMdCellsL[b], wantL) << b; EXPECT_EQ(s.blockMdCellsR[b], wantR) << b;
            EXPECT_EQ(s.prevMaskBlockStats[b].mdCellsL, wantL); EXPECT_EQ(s.maskBlockStats[b].mdCellsR, wantR);
        }
    }
}

// Called directly the walk validates nothing: an empty column range visits nothing,
// and words decode to their fields (column bits 6-15, row bits 22-31).
TEST(LutAnchors, DirectWalkAndWordDecoding) {
    Rig rig;
    DynStitcher& s = *rig.st;
    s.determineLUTanchors({100, 0}, {110, 1080}, {0, 0}, {320, 1080});  // columns 2..1
    EXPECT_EQ(s.blockMdCellsL, std::vector<std::vector<cv::Point>>(4));
    EXPECT_EQ(s.blockMdCellCount, (std::vector<int32_t>{0, 0, 0, 0}));
    rig.lutL[0] = (100u << 22) | (37u << 16) | (200u << 6) | 5u, rig.lutR[0] = 0xFFFFFFFFu;
    s.determineLUTanchors({0, 0}, {0, 0}, {0, 0}, {0, 0});
    EXPECT_EQ(s.blockMdCellsL[0], (std::vector<cv::Point>{{200, 100}}));
    EXPECT_EQ(s.blockMdCellsR[0], (std::vector<cv::Point>{{1023, 1023}}));
}

// maskBlockHeight rounds up, the last block takes the rest, and the left half of a
// block's area truncates (9 x 3 -> 13).
TEST(SetupBlocks, Geometry) {
    struct Case { int overlap, imgHeight, height, lastRow; std::vector<int> rows; };
    for (const Case& c : {Case{320, 1080, 22, 88, {22, 22, 22, 22, 20}}, Case{320, 100, 3, 9, {3, 3, 3, 1}},
                          Case{320, 90, 9, 0, {9}}, Case{36, 30, 3, 0, {3}}}) {
        const size_t n = c.rows.size();
        Rig rig(c.overlap, c.imgHeight, int(n));
        rig.setup();
        const DynStitcher& s = *rig.st;
        SCOPED_TRACE(std::to_string(s.maskRows) + " rows, " + std::to_string(n) + " blocks");
        EXPECT_EQ(s.maskBlockHeight, c.height); EXPECT_EQ(s.lastMaskBlockRow, c.lastRow);
        ASSERT_EQ(s.prevMaskBlockStats.size(), n); ASSERT_EQ(s.maskBlockStats.size(), n);
        EXPECT_EQ(s.blockScore, std::vector<float>(n, 0.0f));
        EXPECT_EQ(s.blockMotionHistory, std::vector<std::deque<int32_t>>(n, std::deque<int32_t>(32, 0)));
        for (size_t i = 0, y = 0; i < n; y += size_t(c.rows[i++])) {
            const _MaskBlockStat &p = s.prevMaskBlockStats[i], &m = s.maskBlockStats[i];
            EXPECT_EQ(p.rect, cv::Rect(0, int(y), s.maskCols, c.rows[i])); EXPECT_EQ(m.rect, p.rect);
            EXPECT_EQ(m.area, s.maskCols * c.rows[i]); EXPECT_EQ(m.labelOneCount, 0);
            EXPECT_EQ(p.labelOneCount, s.maskCols == 9 ? 13 : 40 * c.rows[i]);
        }
    }
}

// Seeds, default mask, seam columns and curves for odd, even and narrow grids.
TEST(SetupMasks, SeedsDefaultMaskAndCurves) {
    struct Case { int maskCols; std::vector<int> markers, mask; int crossX; };
    for (const Case& c : {Case{9, {1, 1, 0, 0, 0, 0, 0, 2, 2}, {255, 255, 255, 255, 0, 0, 0, 0, 0}, 4},
                          Case{10, {1, 1, 0, 0, 0, 0, 0, 0, 2, 2}, {255, 255, 255, 255, 255, 0, 0, 0, 0, 0}, 5},
                          Case{3, {1, 2, 2}, {255, 0, 0}, 1}, Case{2, {2, 2}, {255, 0}, 1}}) {
        SCOPED_TRACE(c.maskCols);
        Rig rig(4 * c.maskCols, 70, 2);
        const std::string out = rig.setup();
        const DynStitcher& s = *rig.st;
        const bool odd = c.maskCols % 2;
        std::string want;
        for (int i = 0; i < 7 && odd; ++i) want += "window_length for Sigmoid Curve generation must be even.\n";
        EXPECT_EQ(out, want);
        ASSERT_EQ(s.sigmoidCurves.size(), 7u);
        for (int i = 0; i < 7; ++i)
            EXPECT_EQ(s.sigmoidCurves[size_t(i)].arr, odd ? std::vector<uint8_t>() : SigmoidCurve(c.maskCols, DynStitcher::ks[i], 255).arr);
        cv::Mat markers(c.markers), mask;
        cv::Mat(c.mask).convertTo(mask, CV_8U);
        ASSERT_EQ(s.wsMarkers.type(), CV_32SC1); ASSERT_EQ(s.defaultMask.type(), CV_8UC1);
        EXPECT_EQ(cv::norm(s.wsMarkers, cv::repeat(markers.t(), 7, 1), cv::NORM_INF), 0.0);
        EXPECT_EQ(cv::norm(s.defaultMask, cv::repeat(mask.t(), 7, 1), cv::NORM_INF), 0.0);
        EXPECT_EQ(s.rowCrossX, std::vector<int32_t>(7, c.crossX));
        EXPECT_EQ(cv::norm(s.fusionMask, cv::Mat::zeros(7, c.maskCols, CV_8UC1), cv::NORM_INF), 0.0);
        EXPECT_NE(s.lastMask.data, s.defaultMask.data);
        EXPECT_EQ(cv::norm(s.lastMask, s.defaultMask, cv::NORM_INF), 0.0);
        EXPECT_EQ(s.labelMaskValue[0], 255); EXPECT_EQ(s.labelMaskValue[1], 0);
    }
}

// The fusion map is a header over the host buffer: neither cleared nor copied, full
// pixel width even where the cells drop columns (330 -> 82 cells). A second set-up
// appends a second set of list entries, replaces the matrices, rebuilds the anchors.
TEST(SetupFusionMap, WritesIntoHostBufferAndRepeatAppends) {
    Rig rig(330);
    rig.st->quietFrameCount = 7;
    rig.setup();
    DynStitcher& s = *rig.st;
    EXPECT_EQ(s.quietFrameCount, 0); EXPECT_EQ(s.dreFusionMapAddr, uint64_t(rig.addr()));
    EXPECT_EQ(s.dreFusionMap.type(), CV_8UC1); EXPECT_EQ(s.dreFusionMap.size(), cv::Size(330, 1080));
    EXPECT_EQ(s.dreFusionMap.data, rig.fusion.data()); EXPECT_EQ(s.dreFusionMap.step[0], 330u);
    EXPECT_EQ(s.dreFusionMap.u, nullptr);  // owns nothing
    EXPECT_EQ(std::count(rig.fusion.begin(), rig.fusion.end(), 0xAB), 330 * 1080);
    const cv::Mat markers1 = s.wsMarkers, last1 = s.lastMask;
    const auto cellsL1 = s.blockMdCellsL;
    s.prevMaskBlockStats[0].labelOneCount = -5, s.blockScore[0] = 3.5f;  // the first set stays as it is
    std::vector<uint8_t> other(rig.fusion.size());
    zt::StdoutCapture quiet;
    s.setup(0, (unsigned long)other.data());
    EXPECT_EQ(s.sigmoidCurves.size(), 14u);
    EXPECT_EQ(s.blockMdCellCount, (std::vector<int32_t>{54, 48, 48, 48, 54, 48, 48, 48}));
    EXPECT_EQ(s.blockMdCellsL, cellsL1);
    ASSERT_EQ(s.prevMaskBlockStats.size(), 8u); EXPECT_EQ(s.maskBlockStats.size(), 8u);
    EXPECT_EQ(s.prevMaskBlockStats[0].labelOneCount, -5); EXPECT_EQ(s.prevMaskBlockStats[4].labelOneCount, 82 * 27 / 2);
    EXPECT_EQ(s.prevMaskBlockStats[4].mdCellsL, cellsL1[0]);
    EXPECT_EQ(s.blockScore, (std::vector<float>{3.5f, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(s.blockMotionHistory.size(), 8u); EXPECT_EQ(s.rowCrossX, std::vector<int32_t>(216, 41));
    EXPECT_NE(s.wsMarkers.data, markers1.data); EXPECT_NE(s.lastMask.data, last1.data);
    EXPECT_EQ(s.dreFusionMap.data, other.data());
    s.dreFusionMap.ptr<uint8_t>(1079)[329] = 43;
    rig.st.reset();  // destroying the stitcher leaves the buffer alone
    EXPECT_EQ(other.back(), 43);
}

// Every broken limit is refused through the entry point with std::invalid_argument
// naming the limit and its values, before anything changes and without printing.
// Each case breaks one thing in a stitcher that a good set-up has filled.
TEST(SetupLimits, RefusedBeforeAnyChange) {
    auto set = [](int32_t DynStitcher::*m, int v) { return [m, v](Rig& r) { (*r.st).*m = v; }; };
    auto lut = [](bool left, int c, int r, cv::Point p) {
        return [=](Rig& rig) { (left ? rig.lutL : rig.lutR)[size_t(r * 33 + c)] = lutWord(p); };
    };
    const std::vector<std::pair<std::function<void(Rig&)>, std::vector<std::string>>> cases = {
        {set(&DynStitcher::cellWidth, 0), {"cellWidth 0", "below 1"}},
        {set(&DynStitcher::cellHeight, -1), {"cellHeight -1", "below 1"}},
        {set(&DynStitcher::overlapWidth, 7), {"maskCols 1", "below 2", "overlapWidth 7", "cellWidth 4"}},
        {set(&DynStitcher::imgHeight, 9), {"maskRows 0", "below 1", "imgHeight 9", "cellHeight 10"}},
        {set(&DynStitcher::numMaskBlocks, 0), {"numMaskBlocks 0", "below 1"}},
        {[](Rig& r) { r.st->imgHeight = 90, r.st->numMaskBlocks = 6; },
         {"setup: numMaskBlocks 6 leaves the last mask block without rows (maskRows 9, maskBlockHeight 2)"}},
        {set(&DynStitcher::overlapWidth, 2000), {"overlapWidth 2000", "imgWidth 1920"}},
        {set(&DynStitcher::lutGridSize, 1), {"lutGridSize 1", "below 2"}},
        {[](Rig& r) { r.st->lutLeft = nullptr; }, {"lutLeft", "null"}},
        {[](Rig& r) { r.st->lutRight = nullptr; }, {"lutRight", "null"}},
        {[](Rig& r) { std::vector<uint8_t>().swap(r.fusion); }, {"dreFusionMapAddr", "null"}},
        {[](Rig&) { zelvo_stitch_uninit(); }, {"lut_vsegment_maskblock_idx", "not initialised"}},
        {[](Rig&) { zelvo_stitch_init(32, 4, 0, 0, 1, 1); }, {"lut_vsegment_maskblock_idx", "32 rows", "lutGridSize 33"}},
        {[](Rig&) { zelvo_stitch_init(33, 5, 0, 0, 1, 1); }, {"lut_vsegment_maskblock_idx[", "= 4", "numMaskBlocks 4"}},
        {[](Rig&) { DynStitcher::lut_vsegment_maskblock_idx[20] = -1; }, {"lut_vsegment_maskblock_idx[20] = -1"}},
        {lut(true, 30, 7, {120, 3}), {"lutLeft", "column 30, row 7", "(120, 3)", "mdGridWidth 120"}},
        {lut(true, 32, 32, {0, 68}), {"lutLeft", "column 32, row 32", "(0, 68)", "mdGridHeight 68"}},
        {lut(false, 5, 0, {1023, 0}), {"lutRight", "column 5, row 0", "(1023, 0)", "mdGridWidth 120"}},
        {lut(false, 0, 16, {119, 200}), {"lutRight", "column 0, row 16", "(119, 200)", "mdGridHeight 68"}},
    };
    auto snapshot = [](const DynStitcher& s) {
        return std::make_tuple(s.maskCols, s.maskRows, s.maskBlockHeight, s.lastMaskBlockRow, s.dreFusionMapAddr,
                               s.blockMdCellCount, s.rowCrossX, s.blockScore, s.sigmoidCurves.size(),
                               s.prevMaskBlockStats.size(), (void*)s.wsMarkers.data, (void*)s.dreFusionMap.data);
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.second[0]);
        Rig rig;
        ASSERT_NO_THROW(rig.setup());
        rig.st->quietFrameCount = 3;
        c.first(rig);
        const auto before = snapshot(*rig.st);
        zt::StdoutCapture cap;
        std::string msg;
        try {
            setup_dynstitcher(rig.st.get(), 0, rig.addr());
            ADD_FAILURE() << "set-up was not refused";
        } catch (const std::invalid_argument& e) {
            msg = e.what();
        }
        EXPECT_EQ(cap.take(), "");
        EXPECT_EQ(msg.rfind("setup: ", 0), 0u) << msg;
        for (const std::string& part : c.second) EXPECT_NE(msg.find(part), std::string::npos) << part << " / " << msg;
        EXPECT_EQ(snapshot(*rig.st), before); EXPECT_EQ(rig.st->quietFrameCount, 3);
    }
}
