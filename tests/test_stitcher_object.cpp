// DynStitcher construction, copy and destruction.
#include <algorithm>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"
#include "zelvo_stitch.h"

float kThr[4] = {1, 2, 3, 99}, kInc[4] = {4, 5, 6, 99};

// Distinct argument values; no level array is passed below one level, where
// none may be read. The construction prints are swallowed.
DynStitcher* create(int levels, int cellWidth = 4, unsigned mdGridWidth = 48, uint32_t* lut = nullptr) {
    zt::StdoutCapture quiet;
    return create_dynstitcher(901, 902, 768, 576, 128, 6, 40.5f, -7.25f, 3.5f, levels,
                              levels > 0 ? kThr : nullptr, levels > 0 ? kInc : nullptr, 11, 77, 33, 35,
                              lut, lut ? lut + 1 : nullptr, 2, mdGridWidth, 36, cellWidth, 8);
}

// The parameterised constructor prints (whatever the print switches) and sets
// the tracker constants; the default and copy constructors print nothing.
TEST(StitcherObject, ConstructorsPrintsAndConstants) {
    zelvo_stitch_set_dbg_out(0);
    dbg_enable = 0;
    zt::StdoutCapture cap;
    DynStitcher s(0, 0, 640, 480, 64, 4, 10.f, 0.f, 0.f, 0, nullptr, nullptr, 1, 10, 9, 9, nullptr,
                  nullptr, 0, 40, 30, 4, 4);
    EXPECT_EQ(cap.take(), "WTD = 1\r\nMAJORITY_ZERO = 0\r\nCLOSE = 1\r\n\r\n");
    zelvo_stitch_set_dbg_out(1);
    zt::StdoutCapture cap2;
    DynStitcher d, c(s), cd(d);
    EXPECT_EQ(cap2.take(), "");
    EXPECT_EQ(s.ST_TRKE_lkTermCriteria.epsilon, 0.03);
    EXPECT_EQ(s.ST_TRKE_lkWinSize, cv::Size(18, 18));
    EXPECT_EQ(s.ST_TRKE_kmeansTermCriteria.maxCount, 10);
    EXPECT_EQ(s.ST_TRKE_tgtLutTranslationScale, 1.0f);
    EXPECT_EQ(d.ST_TRKE_minLutTranslationX, -16);
}

// Translation bounds are ±(32 / cellWidth), truncated; the motion grid keeps
// the low eight bits of its width; only numDiffLevels entries are copied.
TEST(StitcherObject, ArgumentDerivedMembers) {
    const struct { int cellWidth; unsigned mdW; int levels, maxX, storedW; } cases[] = {
        {1, 48, 3, 32, 48}, {3, 300, 0, 10, 44}, {33, 255, -1, 0, 255}, {4, 256, 1, 8, 0}};
    for (const auto& c : cases) {
        std::unique_ptr<DynStitcher> s(create(c.levels, c.cellWidth, c.mdW));
        EXPECT_EQ(s->ST_TRKE_maxLutTranslationX, c.maxX) << c.cellWidth;
        EXPECT_EQ(s->ST_TRKE_minLutTranslationX, -c.maxX) << c.cellWidth;
        EXPECT_EQ(s->mdGridWidth, c.storedW) << c.mdW;
        EXPECT_EQ(s->blockDiffThresholds, std::vector<float>(kThr, kThr + std::max(c.levels, 0)));
        EXPECT_EQ(s->blockDiffScoreIncs, std::vector<float>(kInc, kInc + std::max(c.levels, 0)));
    }
}

// Every kept member of the source gets its own value; the copy constructor
// and the assignment must take each of them, the masks with their own pixels.
void expect_kept_state(const DynStitcher& c, const DynStitcher& src, const char* how) {
    SCOPED_TRACE(how);
    EXPECT_EQ(std::vector<int>({c.overlapId, c.mdGridWidth, c.mdGridHeight, c.imgWidth, c.imgHeight,
                                c.overlapWidth, c.cellWidth, c.cellHeight, c.ST_TRKE_maxLutTranslationX,
                                c.ST_TRKE_minLutTranslationX, c.numMaskBlocks, c.blockScoreStep,
                                c.resetQuietFrames, c.lutGridSize, c.lutStride}),
              std::vector<int>({2, 44, 36, 768, 576, 128, 3, 8, 10, -10, 6, 11, 77, 33, 35}));
    EXPECT_EQ(std::vector<float>({c.blockScoreMax, c.blockScoreMin}), std::vector<float>({40.5f, -7.25f}));
    EXPECT_EQ(c.blockDiffThresholds, (std::vector<float>{1, 2}));
    EXPECT_EQ(c.blockDiffScoreIncs, (std::vector<float>{4, 5}));
    EXPECT_TRUE(c.lutLeft == src.lutLeft && c.lutRight == src.lutRight && c.lutLeft != nullptr);
    EXPECT_EQ(c.blockMdCellsL, src.blockMdCellsL);
    EXPECT_EQ(c.blockMdCellsR, src.blockMdCellsR);
    EXPECT_EQ(c.prevMaskBlockStats.at(0).labelOneCount, 13);
    EXPECT_EQ(c.maskBlockStats.at(1).mdCellsL, src.maskBlockStats[1].mdCellsL);
    EXPECT_EQ(c.blockScore, (std::vector<float>{1.5f, -2.5f}));
    for (cv::Mat DynStitcher::*m : {&DynStitcher::currMask, &DynStitcher::diffImage, &DynStitcher::lastMask}) {
        EXPECT_EQ(cv::norm(c.*m, src.*m, cv::NORM_INF), 0.0);
        EXPECT_NE((c.*m).data, (src.*m).data) << "shares pixels";
    }
}

TEST(StitcherObject, CopyAndAssignmentTakeTheKeptStateDeeply) {
    uint32_t lut[2] = {};
    std::unique_ptr<DynStitcher> src(create(2, 3, 300, lut));
    src->blockMdCellsL = {{{1, 1}}, {{2, 2}}};
    src->blockMdCellsR = {{{3, 3}}, {}};
    src->prevMaskBlockStats.resize(1);
    src->prevMaskBlockStats[0].labelOneCount = 13;
    src->maskBlockStats.resize(2);
    src->maskBlockStats[1].mdCellsL = {{1, 2}, {3, 4}};
    src->blockScore = {1.5f, -2.5f};
    src->currMask = cv::Mat(6, 8, CV_8UC1, cv::Scalar(200));
    src->lastMask = cv::Mat(6, 8, CV_8UC1, cv::Scalar(201));
    src->diffImage = cv::Mat(6, 8, CV_8UC1, cv::Scalar(17));
    src->dreFusionMapAddr = 0x1234;  // from here on: not copied
    src->sigmoidCurves.emplace_back(8, 0.25f, 255);
    src->ST_TRKE_curLutTranslationX = 4;

    DynStitcher copy(*src);
    expect_kept_state(copy, *src, "copy");
    EXPECT_EQ(copy.dreFusionMapAddr, 0u);
    EXPECT_TRUE(copy.sigmoidCurves.empty());
    EXPECT_EQ(copy.ST_TRKE_curLutTranslationX, 0);
    EXPECT_EQ(copy.ST_TRKE_lkTermCriteria.maxCount, 0);  // default constructor's constants
    EXPECT_EQ(copy.ST_TRKE_tgtLutTranslationScale, 0.0f);

    DynStitcher assigned;
    assigned.quietFrameCount = 9;  // not a kept member: the target keeps it
    assigned = *src;
    expect_kept_state(assigned, *src, "assignment");
    EXPECT_EQ(assigned.quietFrameCount, 9);
    EXPECT_EQ(assigned.dreFusionMapAddr, 0u);
    DynStitcher& same = assigned;
    assigned = same;  // self-assignment keeps everything
    expect_kept_state(assigned, *src, "self-assignment");
    assigned.currMask.setTo(9);
    EXPECT_EQ(src->currMask.at<uint8_t>(0, 0), 200) << "assignment shares pixels";
}

TEST(StitcherObject, DestroyClearsHandleFreesOnceAndLeavesHostMemory) {
    unsigned char fusion[48] = {};
    DynStitcher* h = create(0);
    h->dreFusionMap = cv::Mat(6, 8, CV_8UC1, fusion);  // host-owned: never freed
    destroy_dynstitcher(&h);
    EXPECT_EQ(h, nullptr);
    destroy_dynstitcher(&h);  // a second destroy frees nothing
    EXPECT_EQ(h, nullptr);
}
