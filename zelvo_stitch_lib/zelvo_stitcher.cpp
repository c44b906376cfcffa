/*
 * DynStitcher object: construction, copy, destruction, and the library-wide
 * tables and switches shared by every stitcher.
 */
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <new>

#include "zelvo_internal.h"

int dbg_enable = 0;
int dump_overlap_id = -1;
int last_overlap_id = 1;
int limit_dump_frames = 1;

int DynStitcher::MotionLevelBits = 2;
bool DynStitcher::my_useMaskBlocks = true;
int DynStitcher::motionBitsHistoryWeight[32] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2,
                                                2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3};
int DynStitcher::motionBitsHistoryWeightSum = 62;
bool DynStitcher::my_useWeightedMotionBitHist = true;
float DynStitcher::ks[7] = {0.0f, 0.0625f, 0.125f, 0.25f, 0.5f, 2.0f, 4.0f};
bool DynStitcher::my_enableResetMask = false;
int* DynStitcher::lut_vsegment_maskblock_idx = nullptr;
int DynStitcher::subs_tab[513] = {};

namespace zelvo {
int lut_vsegment_rows = 0;
}

DynStitcher::DynStitcher(int /*reservedParam1*/, int /*reservedParam2*/, int imgWidth_,
                         int imgHeight_, int overlapWidth_, int numMaskBlocks_,
                         float blockScoreMax_, float blockScoreMin_, float /*reservedParamF*/,
                         int numDiffLevels, float* blockDiffThresholds_, float* blockDiffScoreIncs_,
                         int blockScoreStep_, int resetQuietFrames_, int lutGridSize_,
                         int lutStride_, uint32_t* lutLeft_, uint32_t* lutRight_, int overlapId_,
                         unsigned mdGridWidth_, unsigned mdGridHeight_, int cellWidth_,
                         int cellHeight_) {
    imgWidth = imgWidth_;
    imgHeight = imgHeight_;
    overlapWidth = overlapWidth_;
    numMaskBlocks = numMaskBlocks_;
    blockScoreMax = blockScoreMax_;
    blockScoreMin = blockScoreMin_;
    blockScoreStep = blockScoreStep_;
    resetQuietFrames = resetQuietFrames_;
    cellWidth = cellWidth_;
    cellHeight = cellHeight_;

    blockDiffThresholds.clear();
    blockDiffScoreIncs.clear();
    for (int i = 0; i < numDiffLevels; ++i) {
        blockDiffThresholds.push_back(blockDiffThresholds_[i]);
        blockDiffScoreIncs.push_back(blockDiffScoreIncs_[i]);
    }

    overlapId = overlapId_;
    lutGridSize = lutGridSize_;
    lutStride = lutStride_;
    lutLeft = lutLeft_;
    lutRight = lutRight_;
    mdGridWidth = uint8_t(mdGridWidth_ & 0xFFu);
    mdGridHeight = uint8_t(mdGridHeight_ & 0xFFu);

    ST_TRKE_lkTermCriteria =
        cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 20, 0.03);
    ST_TRKE_lkWinSize = cv::Size(18, 18);
    ST_TRKE_kmeansTermCriteria =
        cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 10, 1.0);

    // At most 32 full-resolution pixels either way, in whole mask cells.
    ST_TRKE_maxLutTranslationX = 32 / cellWidth;
    ST_TRKE_minLutTranslationX = -32 / cellWidth;

    ST_TRKE_closeRangeOnly = false;
    ST_TRKE_tgtLutTranslationX = 0;
    ST_TRKE_convergingLutTranslationX = false;
    ST_TRKE_curLutTranslationX = 0;
    ST_TRKE_tgtLutTranslationScale = 1.0f;
    ST_TRKE_appliedShiftX = 0.0f;
    ST_TRKE_convergeThresholdX = 1;
    ST_TRKE_minDistance = 1;
    ST_TRKE_clusterFound = false;
    ST_TRKE_MaxFlowX = 0.0f;
    ST_TRKE_repeatPatternCount = 0;

    // Build-time switches, printed whatever the print switches say.
    printf("WTD = %d\r\n", 1);
    printf("MAJORITY_ZERO = %d\r\n", 0);
    printf("CLOSE = %d\r\n", 1);
    printf("\r\n");
}

DynStitcher::DynStitcher() = default;

// Starts from the defaults; the assignment then takes the kept state.
DynStitcher::DynStitcher(DynStitcher const& o) { *this = o; }

DynStitcher::~DynStitcher() {
    zelvo::freeMotionAwareState(this);
    prevMaskBlockStats.clear();
    maskBlockStats.clear();
    blockScore.clear();
    rowCrossX.clear();
    lastMask.release();
}

void DynStitcher::init_lib(int lutRows, int numMaskBlocks_, bool enableResetMask,
                           bool useMaskBlocks, bool useWeightedMotionBitHist, int debug) {
    srand(unsigned(time(nullptr)));
    dbg_enable = debug;

    if (lut_vsegment_maskblock_idx != nullptr) {
        delete[] lut_vsegment_maskblock_idx;
        lut_vsegment_maskblock_idx = nullptr;
    }
    zelvo::lut_vsegment_rows = 0;

    // A negative row count throws std::bad_array_new_length here, leaving the
    // library without a table. Thrown explicitly: some compilers hand a
    // negative count to operator new[] as SIZE_MAX, which throws
    // std::bad_alloc instead (or aborts under AddressSanitizer).
    if (lutRows < 0) throw std::bad_array_new_length();
    lut_vsegment_maskblock_idx = new int[lutRows];
    zelvo::lut_vsegment_rows = lutRows;
    const float step = float(lutRows) / float(numMaskBlocks_);
    for (int i = 0; i < lutRows; ++i) {
        const float v = std::floor(float(i) / step);
        int entry;
        if (v < 0.0f)
            entry = 0;
        else if (v > float(numMaskBlocks_))
            entry = numMaskBlocks_;
        else
            entry = int(v);
        lut_vsegment_maskblock_idx[i] = entry;
    }

    for (int j = 0; j <= 512; ++j) subs_tab[j] = j > 256 ? j - 256 : 0;

    my_enableResetMask = enableResetMask;
    my_useMaskBlocks = useMaskBlocks;
    my_useWeightedMotionBitHist = useWeightedMotionBitHist;
    setMotionBitsHistoryWeight(useWeightedMotionBitHist);
}

void DynStitcher::release_lib() {
    if (lut_vsegment_maskblock_idx != nullptr) {
        delete[] lut_vsegment_maskblock_idx;
        lut_vsegment_maskblock_idx = nullptr;
    }
    zelvo::lut_vsegment_rows = 0;
}

void DynStitcher::setMotionBitsHistoryWeight(bool weighted) {
    // One way only: once uniform, the table stays uniform for the process.
    if (weighted) return;
    for (int& w : motionBitsHistoryWeight) w = 1;
    motionBitsHistoryWeightSum = 32;
}
