// A stitcher before its first frame: construction, copy and destruction, and set-up
// (geometry, LUT anchors per mask block, the matrices it builds, refused limits).
#include "test_support.h"

namespace {

// Anchor word with noise in the unused bit fields, which decoding must mask out.
uint32_t lutWord(cv::Point p) { return zelvo_host::lut_word(p.y, p.x) | (0x2Au << 16) | 0x15u; }
// Anchors that identify their vertex (LUT column c, row r).
cv::Point leftAnchorOf(int c, int r) { return {3 * c, r + 1}; }
cv::Point rightAnchorOf(int c, int r) { return {3 * c + 1, r + 2}; }

// One stitcher (1920 wide, 33 x 33 LUT in rows of 35 words, 4 x 10 cells, 120 x 68 motion
// map) with its host LUTs and fusion-map buffer.
struct Rig {
    explicit Rig(int overlap = 320, int height = 1080, int blocks = 4) {
        for (int i = 0; i < 33 * 35; ++i)
            lutL.push_back(lutWord(leftAnchorOf(i % 35, i / 35))),
                lutR.push_back(lutWord(rightAnchorOf(i % 35, i / 35)));
        fusion.assign(zelvo_host::fusion_map_bytes(height, overlap), 0xAB);
        zelvo_stitch_init(33, blocks, 0, 0, 1, 1);
        float thr[1] = {0.1f}, inc[1] = {1.0f};
        zt::StdoutCapture quiet;
        st.reset(new DynStitcher(0, 0, 1920, height, overlap, blocks, 10.0f, -10.0f, 0.0f, 1, thr,
                                 inc, 1, 30, 33, 35, lutL.data(), lutR.data(), 0, 120, 68, 4, 10));
    }
    ~Rig() { zelvo_stitch_uninit(); }
    unsigned long addr() { return (unsigned long)fusion.data(); }
    std::string setup() {  // returns what it printed
        zt::StdoutCapture cap;
        st->setup(0, addr());
        return cap.take();
    }
    std::vector<uint32_t> lutL, lutR;
    std::vector<uint8_t> fusion;
    std::unique_ptr<DynStitcher> st;
};

}  // namespace

// Block rows: maskBlockHeight rounds up, the last block takes the rest; the left half
// of a block's area truncates (9 x 3 -> 13). Anchors: left LUT columns from firstLeft
// pair with right columns from 0 in every LUT row, filed by the table's block of the
// row; at 480 the edge vertex lying exactly on the rectangle is taken, at 36 one pair
// per row remains.
TEST(Setup, BlocksAndTheirLutAnchors) {
    struct Case {
        int overlap, imgHeight, height, lastRow, firstLeft, cols;
        std::vector<int> rows, lutRows;
    };
    // clang-format off
    for (const Case& c : {Case{320, 1080, 22, 88, 27, 6, {22, 22, 22, 22, 20}, {7, 7, 6, 7, 6}},
                          Case{320, 100, 3, 9, 27, 6, {3, 3, 3, 1}, {9, 8, 8, 8}},
                          Case{480, 120, 12, 0, 24, 9, {12}, {33}},
                          Case{36, 30, 3, 0, 32, 1, {3}, {33}}}) {
        // clang-format on
        const size_t n = c.rows.size();
        Rig rig(c.overlap, c.imgHeight, int(n));
        for (int r = 0; r < 33; ++r)  // words of vertices the walk skips are never checked
            rig.lutL[size_t(r * 35 + c.firstLeft - 1)] = rig.lutR[size_t(r * 35 + c.cols)] = ~0u;
        rig.setup();
        const DynStitcher& s = *rig.st;
        SCOPED_TRACE(std::to_string(s.maskRows) + " rows, " + std::to_string(n) + " blocks");
        EXPECT_EQ(s.maskBlockHeight, c.height);
        EXPECT_EQ(s.lastMaskBlockRow, c.lastRow);
        ASSERT_TRUE(s.prevMaskBlockStats.size() == n && s.maskBlockStats.size() == n &&
                    s.blockMdCellsL.size() == n && s.blockMdCellsR.size() == n);
        EXPECT_EQ(s.blockScore, std::vector<float>(n, 0.0f));
        EXPECT_EQ(s.blockMotionHistory,
                  std::vector<std::deque<int32_t>>(n, std::deque<int32_t>(32, 0)));
        for (size_t b = 0, y = 0, r0 = 0; b < n; y += size_t(c.rows[b]), r0 += c.lutRows[b++]) {
            const _MaskBlockStat &p = s.prevMaskBlockStats[b], &m = s.maskBlockStats[b];
            EXPECT_TRUE(p.rect == cv::Rect(0, int(y), s.maskCols, c.rows[b]) && m.rect == p.rect)
                << b;
            EXPECT_TRUE(m.area == s.maskCols * c.rows[b] && m.labelOneCount == 0) << b;
            EXPECT_EQ(p.labelOneCount, s.maskCols * c.rows[b] / 2);
            std::vector<cv::Point> wantL, wantR;
            for (int r = int(r0); r < int(r0) + c.lutRows[b]; ++r)
                for (int i = 0; i < c.cols; ++i)
                    wantL.push_back(leftAnchorOf(c.firstLeft + i, r)),
                        wantR.push_back(rightAnchorOf(i, r));
            EXPECT_EQ(s.blockMdCellCount[b], int(wantL.size())) << b;
            EXPECT_EQ(s.blockMdCellsL[b], wantL) << b;
            EXPECT_EQ(s.blockMdCellsR[b], wantR) << b;
            EXPECT_TRUE(p.mdCellsL == wantL && m.mdCellsR == wantR) << "copied into the stats";
        }
    }
}

// Seeds, default mask, seam columns and curves for odd, even and narrow grids; the
// fusion map is a header over the host buffer (full pixel width where the cells drop
// columns), neither cleared nor copied, and outlives the stitcher.
TEST(Setup, SeedsMasksCurvesAndFusionMap) {
    struct Case {
        int overlap;
        std::vector<int> markers;
        int leftCols;  // also the seam column of every row
    };
    // clang-format off
    for (const Case& c : {Case{36, {1, 1, 0, 0, 0, 0, 0, 2, 2}, 4},
                          Case{42, {1, 1, 0, 0, 0, 0, 0, 0, 2, 2}, 5}, Case{12, {1, 2, 2}, 1},
                          Case{8, {2, 2}, 1}}) {
        // clang-format on
        SCOPED_TRACE(c.overlap);
        Rig rig(c.overlap, 70, 2);
        rig.st->quietFrameCount = 7;
        const int cols = int(c.markers.size());
        std::string want;  // odd grids have no curves
        for (int i = 0; i < 7 && cols % 2; ++i)
            want += "window_length for Sigmoid Curve generation must be even.\n";
        EXPECT_EQ(rig.setup(), want);
        const DynStitcher& s = *rig.st;
        ASSERT_EQ(s.sigmoidCurves.size(), 7u);
        for (int i = 0; i < 7; ++i)
            EXPECT_EQ(s.sigmoidCurves[size_t(i)].arr,
                      cols % 2 ? std::vector<uint8_t>()
                               : SigmoidCurve(cols, DynStitcher::ks[i], 255).arr);
        cv::Mat mask(7, cols, CV_8UC1, cv::Scalar(0));
        mask.colRange(0, c.leftCols) = 255;
        EXPECT_EQ(cv::norm(s.wsMarkers, cv::repeat(cv::Mat(c.markers).t(), 7, 1), cv::NORM_INF), 0);
        EXPECT_EQ(cv::norm(s.defaultMask, mask, cv::NORM_INF) + cv::norm(s.lastMask, mask), 0);
        EXPECT_NE(s.lastMask.data, s.defaultMask.data);
        EXPECT_EQ(s.rowCrossX, std::vector<int32_t>(7, c.leftCols));
        EXPECT_EQ(cv::countNonZero(s.fusionMask), 0);
        EXPECT_EQ(s.quietFrameCount, 0);
        const cv::Mat& f = s.dreFusionMap;  // owns nothing
        EXPECT_TRUE(s.dreFusionMapAddr == rig.addr() && f.size() == cv::Size(c.overlap, 70) &&
                    f.data == rig.fusion.data() && f.step[0] == size_t(c.overlap) && !f.u);
        rig.st.reset();
        EXPECT_EQ(std::count(rig.fusion.begin(), rig.fusion.end(), 0xAB), 70 * c.overlap);
    }
}

// A broken limit is refused through the entry point with std::invalid_argument naming
// it and its values, before anything changes and without printing.
TEST(Setup, BrokenLimitsAreRefusedBeforeAnyChange) {
    // clang-format off
    const std::vector<std::pair<std::function<void(Rig&)>, std::string>> cases = {
        {[](Rig& r) { r.st->cellWidth = 0; }, "cellWidth 0 is below 1"},
        {[](Rig& r) { r.st->imgHeight = 90, r.st->numMaskBlocks = 6; },
         "numMaskBlocks 6 leaves the last mask block without rows (maskRows 9, maskBlockHeight 2)"},
        {[](Rig& r) { r.st->imgHeight = 80, r.st->numMaskBlocks = 5; },
         "numMaskBlocks 5 leaves the last mask block without rows (maskRows 8, maskBlockHeight 2)"},
        {[](Rig& r) { r.st->overlapWidth = 1921; }, "overlapWidth 1921 exceeds imgWidth 1920"},
        {[](Rig& r) { std::vector<uint8_t>().swap(r.fusion); }, "dreFusionMapAddr is null"},
        {[](Rig&) { zelvo_stitch_init(32, 4, 0, 0, 1, 1); }, "32 rows, fewer than lutGridSize 33"},
        {[](Rig&) { DynStitcher::lut_vsegment_maskblock_idx[20] = -1; }, "[20] = -1 is outside"},
        {[](Rig&) { DynStitcher::lut_vsegment_maskblock_idx[20] = 4; }, "[20] = 4 is outside"},
        {[](Rig& r) { r.lutR[16 * 35] = lutWord({119, 68}); }, "row 16) gives anchor (119, 68)"},
        {[](Rig& r) { r.lutR[16 * 35] = lutWord({120, 3}); }, "row 16) gives anchor (120, 3)"},
        {[](Rig& r) { r.lutL[9 * 35 + 30] = lutWord({517, 3}); }, "row 9) gives anchor (517, 3)"},
    };
    // clang-format on
    for (const auto& c : cases) {
        Rig rig;
        rig.setup();
        rig.st->quietFrameCount = 3;
        c.first(rig);
        zt::StdoutCapture cap;
        std::string msg;
        try {
            setup_dynstitcher(rig.st.get(), 0, rig.addr());
        } catch (const std::invalid_argument& e) {
            msg = e.what();
        }
        EXPECT_EQ(cap.take(), "");
        EXPECT_EQ(msg.rfind("setup: ", 0), 0u) << c.second;
        EXPECT_NE(msg.find(c.second), std::string::npos) << msg;
        const DynStitcher& s = *rig.st;  // as the good set-up left it
        EXPECT_TRUE(s.maskBlockHeight == 27 && s.blockMdCellCount.size() == 4 &&
                    s.sigmoidCurves.size() == 7 && s.rowCrossX.size() == 108 &&
                    s.quietFrameCount == 3)
            << c.second;
    }
    // At the limits themselves set-up succeeds: one mask row, the overlap as wide as the image,
    // the last motion cell.
    for (const auto& at : std::vector<std::function<void(Rig&)>>{
             [](Rig& r) { r.st->imgHeight = 10; }, [](Rig& r) { r.st->overlapWidth = 1920; },
             [](Rig& r) {
                 r.lutR[16 * 35] = lutWord({119, 67});
             }}) {
        Rig rig(320, 1080, 1);
        at(rig);
        EXPECT_NO_THROW(rig.setup());
    }
}

// Construction prints its build switches whatever the print switch says; the default
// and copy constructors print nothing. Each kept member of the source holds a value of
// its own, so a copy or assignment that drops or swaps any of them shows; the masks are
// copied with their own pixels. Destroying clears the handle, frees once and leaves the
// host's fusion map alone.
TEST(StitcherObject, ConstructionCopyAndDestruction) {
    float thr[2] = {1, 2}, inc[2] = {4, 5};
    uint32_t lut[2] = {};
    zelvo_stitch_set_dbg_out(0);
    zt::StdoutCapture cap;
    DynStitcher* src = create_dynstitcher(901, 902, 768, 576, 128, 6, 40.5f, -7.25f, 3.5f, 2, thr,
                                          inc, 11, 77, 33, 35, lut, lut + 1, 2, 300, 36, 3, 8);
    EXPECT_EQ(cap.take(), "WTD = 1\r\nMAJORITY_ZERO = 0\r\nCLOSE = 1\r\n\r\n");
    EXPECT_EQ(src->mdGridWidth, 44);  // the low eight bits of 300
    EXPECT_EQ(src->blockDiffThresholds, std::vector<float>(thr, thr + 2));
    zelvo_stitch_set_dbg_out(1);
    auto kept = [](const DynStitcher& s) {
        std::vector<
            std::tuple<int, int, float, cv::Rect, std::vector<cv::Point>, std::vector<cv::Point>>>
            stats;
        for (const auto* v : {&s.prevMaskBlockStats, &s.maskBlockStats})
            for (const auto& b : *v)
                stats.emplace_back(b.area, b.labelOneCount, b.labelOneRatio, b.rect, b.mdCellsL,
                                   b.mdCellsR);
        std::vector<uint8_t> pixels;
        for (const cv::Mat* m : {&s.lastMask, &s.diffImage, &s.currMask})
            pixels.insert(pixels.end(), m->datastart, m->dataend);
        return std::make_tuple(
            std::vector<int>{s.overlapId, s.mdGridWidth, s.mdGridHeight, s.imgWidth, s.imgHeight,
                             s.overlapWidth, s.cellWidth, s.cellHeight,
                             s.ST_TRKE_maxLutTranslationX, s.ST_TRKE_minLutTranslationX,
                             s.numMaskBlocks, s.blockScoreStep, s.resetQuietFrames, s.lutGridSize,
                             s.lutStride, int(s.prevMaskBlockStats.size())},
            std::vector<float>{s.blockScoreMax, s.blockScoreMin}, s.blockDiffThresholds,
            s.blockDiffScoreIncs, s.lutLeft, s.lutRight, s.blockMdCellsL, s.blockMdCellsR, stats,
            s.blockScore, pixels, s.lastMask.size(), s.diffImage.size(), s.currMask.size());
    };
    auto stat = [](int k) {
        return _MaskBlockStat{100 + k,      200 + k,  0.5f + float(k),
                              {k, 1, 2, 3}, {{k, 4}}, {{k, 5}, {k, 6}}};
    };
    src->blockMdCellsL = {{{1, 1}}, {{2, 2}}};
    src->blockMdCellsR = {{{3, 3}}, {}};
    src->prevMaskBlockStats = {stat(1)};
    src->maskBlockStats = {stat(2), stat(3)};
    src->blockScore = {1.5f, -2.5f};
    src->lastMask = cv::Mat(6, 8, CV_8UC1, cv::Scalar(201));
    src->diffImage = cv::Mat(7, 8, CV_8UC1, cv::Scalar(17));
    src->currMask = cv::Mat(5, 8, CV_8UC1, cv::Scalar(200));
    src->dreFusionMapAddr = 0x1234;  // from here on: not kept
    src->sigmoidCurves.emplace_back(8, 0.25f, 255);
    src->ST_TRKE_curLutTranslationX = 4;
    unsigned char fusion[48] = {};
    src->dreFusionMap = cv::Mat(6, 8, CV_8UC1, fusion);  // host-owned: never freed

    zt::StdoutCapture cap2;
    DynStitcher copy(*src), assigned;
    EXPECT_EQ(cap2.take(), "");
    EXPECT_EQ(kept(copy), kept(*src));
    EXPECT_TRUE(copy.dreFusionMapAddr == 0 && copy.sigmoidCurves.empty() &&
                copy.ST_TRKE_curLutTranslationX == 0);
    assigned.quietFrameCount = 9;  // not kept: the target keeps its own
    assigned = *src;
    DynStitcher& same = assigned;
    assigned = same;
    EXPECT_EQ(kept(assigned), kept(*src));
    EXPECT_EQ(assigned.quietFrameCount, 9);
    for (DynStitcher* c : {&copy, &assigned})
        for (cv::Mat DynStitcher::*m :
             {&DynStitcher::currMask, &DynStitcher::diffImage, &DynStitcher::lastMask})
            EXPECT_NE((c->*m).data, ((*src).*m).data) << "shares pixels";
    destroy_dynstitcher(&src);
    EXPECT_EQ(src, nullptr);
    destroy_dynstitcher(&src);  // frees nothing
}

// A strip outside the strip buffer raises OpenCV's error, also where column +
// width overflows int (OpenCV's own region check wraps there and let a strip
// 2 GiB past the buffer through).
TEST(PreProcess, RefusesStripsOutsideTheBuffer) {
    cv::Mat buf(10, 44, CV_8UC1, cv::Scalar(0));
    auto s = zt::quiet_stitcher();
    s->maskCols = 8, s->maskRows = 4;
    int shifts[3] = {};
    const unsigned cases[][3] = {{20, 12, 11}, {40, 5, 8}, {0x7FFFFFF0, 40, 8}};
    for (const auto& c : cases) {  // column of overlap 1, its width, its height
        unsigned stripX[2] = {0, c[0]}, w[2] = {10, c[1]}, h[2] = {10, c[2]}, zeros[2] = {};
        EXPECT_THROW(s->preProcess(1, stripX, zeros, 3, reinterpret_cast<unsigned long>(buf.data),
                                   44, w, h, shifts),
                     cv::Exception)
            << c[0] << " " << c[1];
    }
}
