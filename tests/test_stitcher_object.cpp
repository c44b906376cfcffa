// DynStitcher construction, copy and destruction, through create_dynstitcher,
// destroy_dynstitcher and the class's own constructors.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"
#include "zelvo_stitch.h"

namespace {

const char kSwitchLines[] = "WTD = 1\r\nMAJORITY_ZERO = 0\r\nCLOSE = 1\r\n\r\n";

// The 23 construction arguments, with distinct values so that a swapped
// store shows.
struct Args {
    int reserved1 = 901, reserved2 = 902;
    int imgWidth = 768, imgHeight = 576, overlapWidth = 128, numMaskBlocks = 6;
    float blockScoreMax = 40.5f, blockScoreMin = -7.25f, reservedF = 3.5f;
    int numDiffLevels = 3;
    float* thresholds = nullptr;
    float* incs = nullptr;
    int blockScoreStep = 11, resetQuietFrames = 77, lutGridSize = 33, lutStride = 35;
    uint32_t* lutLeft = nullptr;
    uint32_t* lutRight = nullptr;
    int overlapId = 2;
    unsigned mdGridWidth = 48, mdGridHeight = 36;
    int cellWidth = 4, cellHeight = 8;
};

DynStitcher* create(const Args& a) {
    return create_dynstitcher(a.reserved1, a.reserved2, a.imgWidth, a.imgHeight, a.overlapWidth,
                              a.numMaskBlocks, a.blockScoreMax, a.blockScoreMin, a.reservedF,
                              a.numDiffLevels, a.thresholds, a.incs, a.blockScoreStep,
                              a.resetQuietFrames, a.lutGridSize, a.lutStride, a.lutLeft,
                              a.lutRight, a.overlapId, a.mdGridWidth, a.mdGridHeight, a.cellWidth,
                              a.cellHeight);
}

// Owns a stitcher made by create_dynstitcher; the construction prints are
// swallowed so that they do not clutter the test log.
class Handle {
public:
    explicit Handle(const Args& a) {
        zt::StdoutCapture quiet;
        p_ = create(a);
    }
    ~Handle() { destroy_dynstitcher(&p_); }
    DynStitcher* operator->() const { return p_; }
    DynStitcher& operator*() const { return *p_; }

private:
    DynStitcher* p_ = nullptr;
};

bool same_pixels(const cv::Mat& a, const cv::Mat& b) {
    return a.size() == b.size() && a.type() == b.type() &&
           (a.empty() || cv::countNonZero(a != b) == 0);
}

// ---------------------------------------------------------------------------
// Construction prints
// ---------------------------------------------------------------------------

TEST(StitcherPrints, EveryParameterisedConstructionPrintsTheSwitchLines) {
    float thr[3] = {1, 2, 3}, inc[3] = {4, 5, 6};
    Args a;
    a.thresholds = thr;
    a.incs = inc;

    struct Case {
        const char* what;
        int constructions;
    };
    for (const Case c : {Case{"one", 1}, Case{"three", 3}}) {
        SCOPED_TRACE(c.what);
        std::vector<DynStitcher*> made;
        zt::StdoutCapture cap;
        // The print switches do not gate these lines.
        zelvo_stitch_set_dbg_out(0);
        dbg_enable = 0;
        for (int i = 0; i < c.constructions; ++i) made.push_back(create(a));
        const std::string out = cap.take();
        zelvo_stitch_set_dbg_out(1);
        std::string expected;
        for (int i = 0; i < c.constructions; ++i) expected += kSwitchLines;
        EXPECT_EQ(out, expected);
        for (auto*& p : made) destroy_dynstitcher(&p);
    }
}

TEST(StitcherPrints, DirectConstructionPrintsTooButDefaultAndCopyDoNot) {
    float thr[1] = {1}, inc[1] = {2};
    std::string direct, others;
    {
        zt::StdoutCapture cap;
        DynStitcher s(0, 0, 640, 480, 64, 4, 10.f, 0.f, 0.f, 1, thr, inc, 1, 10, 9, 9, nullptr,
                      nullptr, 0, 40, 30, 4, 4);
        direct = cap.take();
        zt::StdoutCapture cap2;
        DynStitcher d;
        DynStitcher c(s);
        DynStitcher cd(d);
        others = cap2.take();
    }
    EXPECT_EQ(direct, kSwitchLines);
    EXPECT_EQ(others, "");
}

// ---------------------------------------------------------------------------
// What the parameterised constructor stores
// ---------------------------------------------------------------------------

TEST(StitcherConstruction, StoresArgumentsAndTrackerConstants) {
    float thr[3] = {0.1f, 0.2f, 0.3f}, inc[3] = {1.5f, 2.5f, 3.5f};
    uint32_t lutL[4] = {}, lutR[4] = {};
    Args a;
    a.thresholds = thr;
    a.incs = inc;
    a.lutLeft = lutL;
    a.lutRight = lutR;
    Handle s(a);

    EXPECT_EQ(s->imgWidth, a.imgWidth);
    EXPECT_EQ(s->imgHeight, a.imgHeight);
    EXPECT_EQ(s->overlapWidth, a.overlapWidth);
    EXPECT_EQ(s->numMaskBlocks, a.numMaskBlocks);
    EXPECT_EQ(s->blockScoreMax, a.blockScoreMax);
    EXPECT_EQ(s->blockScoreMin, a.blockScoreMin);
    EXPECT_EQ(s->blockScoreStep, a.blockScoreStep);
    EXPECT_EQ(s->resetQuietFrames, a.resetQuietFrames);
    EXPECT_EQ(s->lutGridSize, a.lutGridSize);
    EXPECT_EQ(s->lutStride, a.lutStride);
    EXPECT_EQ(s->lutLeft, lutL);
    EXPECT_EQ(s->lutRight, lutR);
    EXPECT_EQ(s->overlapId, a.overlapId);
    EXPECT_EQ(s->mdGridWidth, 48);
    EXPECT_EQ(s->mdGridHeight, 36);
    EXPECT_EQ(s->cellWidth, a.cellWidth);
    EXPECT_EQ(s->cellHeight, a.cellHeight);

    EXPECT_EQ(s->ST_TRKE_lkTermCriteria.type, cv::TermCriteria::COUNT + cv::TermCriteria::EPS);
    EXPECT_EQ(s->ST_TRKE_lkTermCriteria.maxCount, 20);
    EXPECT_EQ(s->ST_TRKE_lkTermCriteria.epsilon, 0.03);
    EXPECT_EQ(s->ST_TRKE_lkWinSize, cv::Size(18, 18));
    EXPECT_EQ(s->ST_TRKE_kmeansTermCriteria.type, cv::TermCriteria::COUNT + cv::TermCriteria::EPS);
    EXPECT_EQ(s->ST_TRKE_kmeansTermCriteria.maxCount, 10);
    EXPECT_EQ(s->ST_TRKE_kmeansTermCriteria.epsilon, 1.0);

    EXPECT_FALSE(s->ST_TRKE_closeRangeOnly);
    EXPECT_EQ(s->ST_TRKE_tgtLutTranslationX, 0);
    EXPECT_FALSE(s->ST_TRKE_convergingLutTranslationX);
    EXPECT_EQ(s->ST_TRKE_curLutTranslationX, 0);
    EXPECT_EQ(s->ST_TRKE_tgtLutTranslationScale, 1.0f);
    EXPECT_EQ(s->ST_TRKE_appliedShiftX, 0.0f);
    EXPECT_EQ(s->ST_TRKE_convergeThresholdX, 1);
    EXPECT_EQ(s->ST_TRKE_minDistance, 1);
    EXPECT_FALSE(s->ST_TRKE_clusterFound);
    EXPECT_EQ(s->ST_TRKE_MaxFlowX, 0.0f);
    EXPECT_EQ(s->ST_TRKE_repeatPatternCount, 0);

    // Members with their own defaults keep them.
    EXPECT_EQ(s->ST_TRKE_maxCorners, 120);
    EXPECT_EQ(s->ST_TRKE_clusterCount, 3);
    EXPECT_EQ(s->ST_TRKE_SUCCESSFUL_TRACKED_POINT_RATIO, 0.3f);
    EXPECT_EQ(s->MIN_TRACKED_POINT, 9);
    EXPECT_EQ(s->ST_TRKE_REPEAT_FEATURE_RATIO, 0.33f);
    EXPECT_EQ(s->ST_TRKE_LR_CHECK_RATIO, 0.66f);
    EXPECT_EQ(s->ST_TRKE_MIN_CLUSTER_POINT, 3);
    EXPECT_EQ(s->ST_TRKE_repeatPatternLimit, 5);
    EXPECT_EQ(s->ST_TRKE_historyLength, 5);
    EXPECT_EQ(s->ST_TRKE_repeatRatioFactor, 0.5f);
    EXPECT_TRUE(s->ST_TRKE_lutTranslationXHistory.empty());

    // Geometry waits for setup.
    EXPECT_EQ(s->maskCols, 0);
    EXPECT_EQ(s->maskRows, 0);
    EXPECT_EQ(s->dreFusionMapAddr, 0u);
    EXPECT_TRUE(s->sigmoidCurves.empty());
    EXPECT_TRUE(s->dreFusionMap.empty());
    EXPECT_TRUE(s->blockScore.empty());
}

TEST(StitcherConstruction, TranslationBoundsFromCellWidth) {
    struct Case {
        int cellWidth, maxX, minX;
    };
    // 32 / cellWidth truncated toward zero, both ways.
    const Case cases[] = {{1, 32, -32}, {3, 10, -10}, {4, 8, -8}, {5, 6, -6},
                          {33, 0, 0},   {64, 0, 0},   {32, 1, -1}};
    for (const Case& c : cases) {
        Args a;
        a.numDiffLevels = 0;
        a.cellWidth = c.cellWidth;
        Handle s(a);
        EXPECT_EQ(s->ST_TRKE_maxLutTranslationX, c.maxX) << "cellWidth " << c.cellWidth;
        EXPECT_EQ(s->ST_TRKE_minLutTranslationX, c.minX) << "cellWidth " << c.cellWidth;
    }
}

TEST(StitcherConstruction, MotionGridSizeKeepsLowEightBits) {
    struct Case {
        unsigned width, height;
        int storedWidth, storedHeight;
    };
    const Case cases[] = {{300, 30, 44, 30}, {48, 300, 48, 44}, {255, 256, 255, 0},
                          {511, 0x10001, 255, 1}, {0, 0, 0, 0}};
    for (const Case& c : cases) {
        Args a;
        a.numDiffLevels = 0;
        a.mdGridWidth = c.width;
        a.mdGridHeight = c.height;
        Handle s(a);
        EXPECT_EQ(s->mdGridWidth, c.storedWidth) << c.width;
        EXPECT_EQ(s->mdGridHeight, c.storedHeight) << c.height;
    }
}

TEST(StitcherConstruction, DiffLevelsCopyTheFirstEntries) {
    float thr[4] = {1, 2, 3, 99}, inc[4] = {4, 5, 6, 99};
    struct Case {
        int levels;
        bool pass_arrays;  // 0 or fewer levels must not read the arrays at all
        std::vector<float> thresholds, incs;
    };
    const Case cases[] = {
        {3, true, {1, 2, 3}, {4, 5, 6}},
        {1, true, {1}, {4}},
        {0, false, {}, {}},
        {-1, false, {}, {}},
    };
    for (const Case& c : cases) {
        Args a;
        a.numDiffLevels = c.levels;
        a.thresholds = c.pass_arrays ? thr : nullptr;
        a.incs = c.pass_arrays ? inc : nullptr;
        Handle s(a);
        EXPECT_EQ(s->blockDiffThresholds, c.thresholds) << "levels " << c.levels;
        EXPECT_EQ(s->blockDiffScoreIncs, c.incs) << "levels " << c.levels;
    }
}

// ---------------------------------------------------------------------------
// Default and copy constructors
// ---------------------------------------------------------------------------

TEST(StitcherDefault, OnlyTheDeclaredDefaults) {
    DynStitcher d;
    EXPECT_EQ(d.ST_TRKE_maxLutTranslationX, 16);
    EXPECT_EQ(d.ST_TRKE_minLutTranslationX, -16);
    EXPECT_EQ(d.ST_TRKE_maxCorners, 120);
    EXPECT_EQ(d.ST_TRKE_clusterCount, 3);
    EXPECT_EQ(d.ST_TRKE_repeatPatternLimit, 5);
    EXPECT_EQ(d.ST_TRKE_historyLength, 5);
    // Members without a declared default are zero or empty.
    EXPECT_EQ(d.ST_TRKE_lkTermCriteria.type, 0);
    EXPECT_EQ(d.ST_TRKE_lkTermCriteria.maxCount, 0);
    EXPECT_EQ(d.ST_TRKE_lkTermCriteria.epsilon, 0.0);
    EXPECT_EQ(d.ST_TRKE_lkWinSize, cv::Size(0, 0));
    EXPECT_EQ(d.ST_TRKE_kmeansTermCriteria.maxCount, 0);
    EXPECT_EQ(d.ST_TRKE_tgtLutTranslationScale, 0.0f);
    EXPECT_EQ(d.ST_TRKE_convergeThresholdX, 0);
    EXPECT_EQ(d.ST_TRKE_minDistance, 0);
    EXPECT_EQ(d.cellWidth, 0);
    EXPECT_EQ(d.mdGridWidth, 0);
    EXPECT_EQ(d.lutLeft, nullptr);
    EXPECT_TRUE(d.blockDiffThresholds.empty());
    for (const _WSQueue& q : d.wsQueue) {
        EXPECT_EQ(q.first, 0);
        EXPECT_EQ(q.last, 0);
    }
}

TEST(StitcherCopy, CopiesTheListedMembersDeeplyAndNothingElse) {
    float thr[2] = {0.5f, 0.75f}, inc[2] = {2.f, 3.f};
    uint32_t lutL[4] = {}, lutR[4] = {};
    Args a;
    a.numDiffLevels = 2;
    a.thresholds = thr;
    a.incs = inc;
    a.lutLeft = lutL;
    a.lutRight = lutR;
    a.cellWidth = 3;
    a.mdGridWidth = 300;
    Handle src(a);

    // State that set-up and a few frames would leave behind.
    src->blockScore = {1.f, -2.f, 3.5f};
    _MaskBlockStat st;
    st.area = 100;
    st.labelOneCount = 40;
    st.labelOneRatio = 0.4f;
    st.rect = cv::Rect(0, 4, 16, 4);
    st.mdCellsL = {{1, 2}, {3, 4}};
    st.mdCellsR = {{5, 6}};
    src->maskBlockStats = {st, st};
    st.labelOneCount = 7;
    src->prevMaskBlockStats = {st};
    src->blockMdCellsL = {{{1, 1}}, {{2, 2}, {3, 3}}};
    src->blockMdCellsR = {{{4, 4}}};
    src->currMask = cv::Mat(6, 8, CV_8UC1, cv::Scalar(200));
    src->diffImage = cv::Mat(6, 8, CV_8UC1, cv::Scalar(17));
    src->lastMask = cv::Mat(6, 8, CV_8UC1, cv::Scalar(99));
    // Not copied:
    src->dreFusionMapAddr = 0x1234;
    src->maskCols = 8;
    src->maskRows = 6;
    src->maskBlockHeight = 3;
    src->lastMaskBlockRow = 3;
    src->quietFrameCount = 5;
    src->labelMaskValue[0] = 255;
    src->rowCrossX = {1, 2, 3};
    src->blockSeamUpdate = {1, 1};
    src->leftImage = cv::Mat(6, 8, CV_8UC1, cv::Scalar(1));
    src->defaultMask = cv::Mat(6, 8, CV_8UC1, cv::Scalar(2));
    src->sigmoidCurves.emplace_back(8, 0.25f, 255);
    src->ST_TRKE_curLutTranslationX = 4;
    src->ST_TRKE_tgtLutTranslationX = 6;
    src->ST_TRKE_lutTranslationXHistory = {1, 2};

    std::string printed;
    std::unique_ptr<DynStitcher> copy;
    {
        zt::StdoutCapture cap;
        copy.reset(new DynStitcher(*src));
        printed = cap.take();
    }
    EXPECT_EQ(printed, "");

    // Copied.
    EXPECT_EQ(copy->overlapId, src->overlapId);
    EXPECT_EQ(copy->mdGridWidth, 44);
    EXPECT_EQ(copy->mdGridHeight, src->mdGridHeight);
    EXPECT_EQ(copy->imgWidth, src->imgWidth);
    EXPECT_EQ(copy->imgHeight, src->imgHeight);
    EXPECT_EQ(copy->overlapWidth, src->overlapWidth);
    EXPECT_EQ(copy->cellWidth, 3);
    EXPECT_EQ(copy->cellHeight, src->cellHeight);
    EXPECT_EQ(copy->ST_TRKE_maxLutTranslationX, 10);
    EXPECT_EQ(copy->ST_TRKE_minLutTranslationX, -10);
    EXPECT_EQ(copy->numMaskBlocks, src->numMaskBlocks);
    EXPECT_EQ(copy->blockScoreMax, src->blockScoreMax);
    EXPECT_EQ(copy->blockScoreMin, src->blockScoreMin);
    EXPECT_EQ(copy->blockScoreStep, src->blockScoreStep);
    EXPECT_EQ(copy->resetQuietFrames, src->resetQuietFrames);
    EXPECT_EQ(copy->blockDiffThresholds, (std::vector<float>{0.5f, 0.75f}));
    EXPECT_EQ(copy->blockDiffScoreIncs, (std::vector<float>{2.f, 3.f}));
    EXPECT_EQ(copy->lutGridSize, src->lutGridSize);
    EXPECT_EQ(copy->lutStride, src->lutStride);
    EXPECT_EQ(copy->lutLeft, lutL);
    EXPECT_EQ(copy->lutRight, lutR);
    EXPECT_EQ(copy->blockMdCellsL, src->blockMdCellsL);
    EXPECT_EQ(copy->blockMdCellsR, src->blockMdCellsR);
    EXPECT_EQ(copy->blockScore, src->blockScore);
    ASSERT_EQ(copy->maskBlockStats.size(), 2u);
    EXPECT_EQ(copy->maskBlockStats[1].labelOneCount, 40);
    EXPECT_EQ(copy->maskBlockStats[1].rect, st.rect);
    EXPECT_EQ(copy->maskBlockStats[1].mdCellsL, (std::vector<cv::Point>{{1, 2}, {3, 4}}));
    ASSERT_EQ(copy->prevMaskBlockStats.size(), 1u);
    EXPECT_EQ(copy->prevMaskBlockStats[0].labelOneCount, 7);

    // Images: equal pixels, independent storage.
    struct Img {
        const char* name;
        cv::Mat DynStitcher::*member;
    };
    for (const Img m : {Img{"currMask", &DynStitcher::currMask},
                        Img{"diffImage", &DynStitcher::diffImage},
                        Img{"lastMask", &DynStitcher::lastMask}}) {
        cv::Mat& s = (*src).*m.member;
        cv::Mat& c = (*copy).*m.member;
        EXPECT_TRUE(same_pixels(c, s)) << m.name;
        EXPECT_NE(c.data, s.data) << m.name;
        const cv::Mat before = s.clone();
        c.setTo(cv::Scalar(3));
        EXPECT_TRUE(same_pixels(s, before)) << m.name << ": writing the copy changed the source";
    }
    copy->blockScore[0] = 77.f;
    EXPECT_EQ(src->blockScore[0], 1.f);

    // Not copied: the copy waits for its own set-up.
    EXPECT_EQ(copy->dreFusionMapAddr, 0u);
    EXPECT_EQ(copy->maskCols, 0);
    EXPECT_EQ(copy->maskRows, 0);
    EXPECT_EQ(copy->maskBlockHeight, 0);
    EXPECT_EQ(copy->lastMaskBlockRow, 0);
    EXPECT_EQ(copy->quietFrameCount, 0);
    EXPECT_EQ(copy->labelMaskValue[0], 0);
    EXPECT_TRUE(copy->rowCrossX.empty());
    EXPECT_TRUE(copy->blockSeamUpdate.empty());
    EXPECT_TRUE(copy->leftImage.empty());
    EXPECT_TRUE(copy->defaultMask.empty());
    EXPECT_TRUE(copy->sigmoidCurves.empty());
    EXPECT_TRUE(copy->ST_TRKE_lutTranslationXHistory.empty());
    EXPECT_EQ(copy->ST_TRKE_curLutTranslationX, 0);
    EXPECT_EQ(copy->ST_TRKE_tgtLutTranslationX, 0);
    // Tracker constants are the default constructor's, not the parameterised one's.
    EXPECT_EQ(copy->ST_TRKE_lkTermCriteria.maxCount, 0);
    EXPECT_EQ(copy->ST_TRKE_lkTermCriteria.epsilon, 0.0);
    EXPECT_EQ(copy->ST_TRKE_lkWinSize, cv::Size(0, 0));
    EXPECT_EQ(copy->ST_TRKE_kmeansTermCriteria.maxCount, 0);
    EXPECT_EQ(copy->ST_TRKE_tgtLutTranslationScale, 0.0f);
    EXPECT_EQ(copy->ST_TRKE_convergeThresholdX, 0);
    EXPECT_EQ(copy->ST_TRKE_minDistance, 0);
}

// ---------------------------------------------------------------------------
// Destruction
// ---------------------------------------------------------------------------

TEST(StitcherDestroy, HandleIsClearedAndSecondDestroyIsHarmless) {
    Args a;
    a.numDiffLevels = 0;
    DynStitcher* h;
    {
        zt::StdoutCapture quiet;
        h = create(a);
    }
    ASSERT_NE(h, nullptr);
    destroy_dynstitcher(&h);
    EXPECT_EQ(h, nullptr);
    destroy_dynstitcher(&h);  // frees nothing a second time
    EXPECT_EQ(h, nullptr);

    DynStitcher* none = nullptr;
    destroy_dynstitcher(&none);
    EXPECT_EQ(none, nullptr);
}

TEST(StitcherDestroy, LeavesHostMemoryAlone) {
    // Host-owned LUTs and fusion-map buffer live on this stack frame: freeing
    // any of them would crash or be reported by the sanitizers.
    uint32_t lutL[16] = {}, lutR[16] = {};
    unsigned char fusion[6 * 8];
    for (unsigned char& b : fusion) b = 9;
    Args a;
    a.numDiffLevels = 0;
    a.lutLeft = lutL;
    a.lutRight = lutR;
    DynStitcher* h;
    {
        zt::StdoutCapture quiet;
        h = create(a);
    }
    h->dreFusionMapAddr = reinterpret_cast<uint64_t>(fusion);
    h->dreFusionMap = cv::Mat(6, 8, CV_8UC1, fusion);
    h->lastMask = cv::Mat(6, 8, CV_8UC1, cv::Scalar(1));
    h->rowCrossX = {1, 2};
    destroy_dynstitcher(&h);
    EXPECT_EQ(h, nullptr);
    for (unsigned char b : fusion) EXPECT_EQ(b, 9);
}

}  // namespace
