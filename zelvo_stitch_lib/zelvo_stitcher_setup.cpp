/*
 * Overlap set-up: the mask grid, mask blocks, blend curves, seed labels,
 * default mask, per-block records and the fusion-map header of one stitcher,
 * and the LUT anchors (motion-map cells) of every mask block.
 *
 * setup refuses, with std::invalid_argument and before it touches any member,
 * a geometry under which it or the per-frame paths would divide by zero, cut
 * regions outside a matrix, or read a LUT, the grid-row table or a motion map
 * outside its bounds.
 */
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <stdexcept>

#include "zelvo_internal.h"

namespace {

// An inclusive range of LUT grid columns or rows; empty when last < first.
// 64-bit so that no geometry overflows it before it is checked.
struct GridRange {
    long long first;
    long long last;
    long long length() const { return last - first + 1; }
};

// The LUT vertices that the anchor walk visits: left and right column and
// row ranges, walked in lockstep (the i-th left vertex pairs with the i-th
// right vertex; the longer range's extra vertices are skipped).
struct LutWalk {
    GridRange leftCols, leftRows, rightCols, rightRows;
};

// Grid position of pixel coordinate `pos` along an axis of `extent` pixels
// spanned by g + 1 vertices. Divide first, multiply second, in double: the
// vertex exactly on a rectangle edge must come out whole.
double gridPos(int pos, int extent, double g) { return double(pos) / double(extent) * g; }

GridRange gridRange(int from, int to, int extent, double g) {
    return {static_cast<long long>(std::ceil(gridPos(from, extent, g))),
            static_cast<long long>(std::floor(gridPos(to, extent, g)))};
}

LutWalk lutWalk(cv::Point leftTopLeft, cv::Point leftBottomRight, cv::Point rightTopLeft,
                cv::Point rightBottomRight, int imgWidth, int imgHeight, int lutGridSize) {
    const double g = double(lutGridSize) - 1.0;
    return {gridRange(leftTopLeft.x, leftBottomRight.x, imgWidth, g),
            gridRange(leftTopLeft.y, leftBottomRight.y, imgHeight, g),
            gridRange(rightTopLeft.x, rightBottomRight.x, imgWidth, g),
            gridRange(rightTopLeft.y, rightBottomRight.y, imgHeight, g)};
}

// Calls visit(rl, cl, rr, cr) for every visited vertex pair, LUT rows top to
// bottom, within a row left to right.
template <class Visit>
void walkLutPairs(const LutWalk& w, Visit&& visit) {
    const long long rowSteps = std::min(w.leftRows.length(), w.rightRows.length());
    const long long colSteps = std::min(w.leftCols.length(), w.rightCols.length());
    if (colSteps <= 0) return;  // an empty column range: no row contributes
    for (long long i = 0; i < rowSteps; ++i)
        for (long long j = 0; j < colSteps; ++j)
            visit(w.leftRows.first + i, w.leftCols.first + j, w.rightRows.first + i,
                  w.rightCols.first + j);
}

// Motion-map cell that a LUT word points at: column in bits 6-15, row in
// bits 22-31.
cv::Point lutAnchor(uint32_t word) {
    return {int(zelvo_host::lut_word_col(word)), int(zelvo_host::lut_word_row(word))};
}

// Rows of every block but the last: the mask rows over the block count,
// rounded up in single precision.
int blockHeightFor(int maskRows, int numMaskBlocks) {
    return int(std::ceil(float(maskRows) / float(numMaskBlocks)));
}

// The overlap's corners, inclusive, in the order determineLUTanchors takes
// them: top-left and bottom-right in the left image, then in the right image.
std::array<cv::Point, 4> overlapCorners(int imgWidth, int imgHeight, int overlapWidth) {
    return {cv::Point(imgWidth - overlapWidth, 0), cv::Point(imgWidth, imgHeight), cv::Point(0, 0),
            cv::Point(overlapWidth, imgHeight)};
}

[[noreturn]] __attribute__((format(printf, 1, 2))) void refuse(const char* fmt, ...) {
    char msg[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    throw std::invalid_argument(msg);
}

void checkLutAnchors(const DynStitcher& s);

// Every limit that the set-up of `s` relies on; throws before anything is
// changed. Reads only constructor members and the library's grid-row table.
void checkSetupLimits(const DynStitcher& s, unsigned long dreFusionMapAddr) {
    if (s.cellWidth < 1) refuse("setup: cellWidth %d is below 1", s.cellWidth);
    if (s.cellHeight < 1) refuse("setup: cellHeight %d is below 1", s.cellHeight);

    const int maskCols = s.overlapWidth / s.cellWidth;
    const int maskRows = s.imgHeight / s.cellHeight;
    if (maskCols < 2)
        refuse(
            "setup: maskCols %d is below 2, the width of the two seed bands "
            "(overlapWidth %d, cellWidth %d)",
            maskCols, s.overlapWidth, s.cellWidth);
    if (maskRows < 1)
        refuse("setup: maskRows %d is below 1 (imgHeight %d, cellHeight %d)", maskRows, s.imgHeight,
               s.cellHeight);
    if (s.numMaskBlocks < 1) refuse("setup: numMaskBlocks %d is below 1", s.numMaskBlocks);

    const int blockHeight = blockHeightFor(maskRows, s.numMaskBlocks);
    if ((long long)(s.numMaskBlocks - 1) * blockHeight >= maskRows)
        refuse(
            "setup: numMaskBlocks %d leaves the last mask block without rows "
            "(maskRows %d, maskBlockHeight %d)",
            s.numMaskBlocks, maskRows, blockHeight);

    // With 0 < overlapWidth <= imgWidth both overlap rectangles lie inside the
    // image, so every visited vertex lies inside the LUT grid (rows 0 .. g,
    // left columns up to g, right columns from 0).
    if (s.overlapWidth > s.imgWidth)
        refuse("setup: overlapWidth %d exceeds imgWidth %d", s.overlapWidth, s.imgWidth);

    if (s.lutGridSize < 2) refuse("setup: lutGridSize %d is below 2", s.lutGridSize);
    if (s.lutStride < 0) refuse("setup: lutStride %d is negative", s.lutStride);
    if (s.lutLeft == nullptr) refuse("setup: lutLeft is null");
    if (s.lutRight == nullptr) refuse("setup: lutRight is null");
    if (dreFusionMapAddr == 0) refuse("setup: dreFusionMapAddr is null");

    checkLutAnchors(s);
}

// The grid-row table covers the visited LUT rows and maps them to existing
// blocks, and every visited LUT word names a cell inside the motion map.
void checkLutAnchors(const DynStitcher& s) {
    const int* table = DynStitcher::lut_vsegment_maskblock_idx;
    const int tableRows = zelvo::lut_vsegment_rows;
    if (table == nullptr)
        refuse("setup: no grid-row table lut_vsegment_maskblock_idx (library not initialised)");
    if (tableRows < s.lutGridSize)
        refuse(
            "setup: grid-row table lut_vsegment_maskblock_idx has %d rows, fewer than "
            "lutGridSize %d",
            tableRows, s.lutGridSize);

    // The visited rows lie in 0 .. lutGridSize - 1, hence inside the table.
    auto checkVertex = [&](const char* side, const uint32_t* lut, long long row, long long col) {
        const int block = table[row];
        if (block < 0 || block >= s.numMaskBlocks)
            refuse(
                "setup: lut_vsegment_maskblock_idx[%lld] = %d is outside mask blocks 0 .. %d "
                "(numMaskBlocks %d)",
                row, block, s.numMaskBlocks - 1, s.numMaskBlocks);
        const uint32_t word = lut[row * s.lutStride + col];
        const cv::Point a = lutAnchor(word);
        if (a.x >= s.mdGridWidth || a.y >= s.mdGridHeight)
            refuse(
                "setup: %s word 0x%08x of LUT vertex (column %lld, row %lld) gives anchor "
                "(%d, %d) outside the motion map (mdGridWidth %d, mdGridHeight %d)",
                side, unsigned(word), col, row, a.x, a.y, int(s.mdGridWidth), int(s.mdGridHeight));
    };
    const auto c = overlapCorners(s.imgWidth, s.imgHeight, s.overlapWidth);
    walkLutPairs(lutWalk(c[0], c[1], c[2], c[3], s.imgWidth, s.imgHeight, s.lutGridSize),
                 [&](long long rl, long long cl, long long rr, long long cr) {
                     checkVertex("lutLeft", s.lutLeft, rl, cl);
                     checkVertex("lutRight", s.lutRight, rr, cr);
                 });
}

// The records, score, motion sums, flag and history of block i, appended
// to the per-block lists.
void addBlockState(DynStitcher& s, int i) {
    const int rows = i < s.numMaskBlocks - 1 ? s.maskBlockHeight : s.maskRows - s.lastMaskBlockRow;
    _MaskBlockStat stat;
    stat.area = s.maskCols * rows;
    stat.labelOneRatio = 0.0f;
    stat.rect = cv::Rect(0, i * s.maskBlockHeight, s.maskCols, rows);
    stat.mdCellsL = s.blockMdCellsL[size_t(i)];
    stat.mdCellsR = s.blockMdCellsR[size_t(i)];
    // Before the first frame the previous mask is the default one: half of
    // every block on the left side.
    stat.labelOneCount = stat.area / 2;
    s.prevMaskBlockStats.push_back(stat);
    stat.labelOneCount = 0;
    s.maskBlockStats.push_back(std::move(stat));
    s.blockScore.push_back(0.0f);
    s.blockMotionSumL.push_back(0);
    s.blockMotionSumR.push_back(0);
    s.blockSeamUpdate.push_back(0);
    s.blockMotionHistory.emplace_back(zelvo::kMotionHistoryLength, 0);
}

}  // namespace

int DynStitcher::determineLUTanchors(cv::Point leftTopLeft, cv::Point leftBottomRight,
                                     cv::Point rightTopLeft, cv::Point rightBottomRight) {
    const size_t blocks = size_t(std::max(numMaskBlocks, 0));
    blockMdCellsL.clear();
    blockMdCellsL.resize(blocks);
    blockMdCellsR.clear();
    blockMdCellsR.resize(blocks);

    const int* table = lut_vsegment_maskblock_idx;
    walkLutPairs(
        lutWalk(leftTopLeft, leftBottomRight, rightTopLeft, rightBottomRight, imgWidth, imgHeight,
                lutGridSize),
        [&](long long rl, long long cl, long long rr, long long cr) {
            blockMdCellsL[size_t(table[rl])].push_back(lutAnchor(lutLeft[rl * lutStride + cl]));
            blockMdCellsR[size_t(table[rr])].push_back(lutAnchor(lutRight[rr * lutStride + cr]));
        });

    // Appended, not replaced: a second call adds a second set of counts.
    for (size_t s = 0; s < blocks; ++s)
        blockMdCellCount.push_back(int32_t(blockMdCellsL[s].size()));
    return 0;
}

void DynStitcher::setup(int /*reserved*/, unsigned long dreFusionMapAddr_) {
    checkSetupLimits(*this, dreFusionMapAddr_);

    maskCols = overlapWidth / cellWidth;
    maskRows = imgHeight / cellHeight;

    // Odd widths are not refused: each construction then reports it and
    // leaves its curve empty.
    for (int i = 0; i < 7; ++i) sigmoidCurves.emplace_back(maskCols, ks[i], 255);

    const auto c = overlapCorners(imgWidth, imgHeight, overlapWidth);
    determineLUTanchors(c[0], c[1], c[2], c[3]);

    // Seeds: label 1 in the two leftmost columns, label 2 in the two
    // rightmost, written second so that it wins where the bands overlap.
    wsMarkers = cv::Mat(maskRows, maskCols, CV_32SC1, cv::Scalar(0));
    wsMarkers(cv::Rect(0, 0, 2, wsMarkers.rows)).setTo(cv::Scalar(1));
    wsMarkers(cv::Rect(maskCols - 2, 0, 2, wsMarkers.rows)).setTo(cv::Scalar(2));

    fusionMask = cv::Mat(wsMarkers.size(), CV_8UC1, cv::Scalar(0));

    maskBlockHeight = blockHeightFor(wsMarkers.rows, numMaskBlocks);
    lastMaskBlockRow = (numMaskBlocks - 1) * maskBlockHeight;

    for (int i = 0; i < numMaskBlocks; ++i) addBlockState(*this, i);

    rowCrossX.insert(rowCrossX.end(), size_t(maskRows), maskCols >> 1);
    quietFrameCount = 0;

    defaultMask = cv::Mat(maskRows, maskCols, CV_8UC1, cv::Scalar(0));
    defaultMask(cv::Rect(0, 0, maskCols / 2, maskRows)).setTo(cv::Scalar(255));
    lastMask = defaultMask.clone();

    labelMaskValue[0] = 255;
    labelMaskValue[1] = 0;
    dreFusionMapAddr = dreFusionMapAddr_;
    // A header over the host's buffer, rows packed; the buffer stays the
    // host's and is neither cleared nor freed here.
    dreFusionMap =
        cv::Mat(imgHeight, overlapWidth, CV_8UC1, reinterpret_cast<void*>(dreFusionMapAddr_));
}
