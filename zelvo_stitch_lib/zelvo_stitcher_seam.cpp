/*
 * Seam path: the per-frame seam mask and its full-resolution fusion map.
 *
 * Mask bytes: 255 is the left camera's side, 0 the right camera's side, values
 * between are the left camera's blend weight. Everything here works on the
 * mask grid (maskRows x maskCols cells) except copyTo_dre_fusion_map.
 */
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "zelvo_internal.h"

using zelvo::rowCrossing;

namespace {

/* Left-side mask byte of a flood label. Boundary cells (-1) and cells the
 * flood never reached (0, only inside pockets enclosed by boundary cells)
 * both count as the left side. */
inline uint8_t labelToMask(int label, const int32_t labelMaskValue[2]) {
    if (label == 1 || label == 2) return uint8_t(labelMaskValue[label - 1]);
    return 255;
}

/* Sum of a motion map's bytes over a block's motion cells (a cell listed
 * twice counts twice); `moved` tells whether any of them is non-zero. */
inline int motionSum(const std::vector<cv::Point>& cells, const uint8_t* md, int stride,
                     bool& moved) {
    int sum = 0;
    moved = false;
    for (const cv::Point& p : cells) {
        const uint8_t v = md[p.y * stride + p.x];
        sum += v;
        moved |= v != 0;
    }
    return sum;
}

/* Flood labels to mask bytes, interior cells only; the border is filled by
 * fillMaskBorder. */
void labelsToMask(const cv::Mat& markers, cv::Mat& mask, const int32_t labelMaskValue[2]) {
    // Row by row: setTo may take a buffer per call, and the motion-aware
    // seam path allocates nothing per frame.
    for (int r = 0; r < mask.rows; ++r) std::memset(mask.ptr<uint8_t>(r), 0, size_t(mask.cols));
    for (int r = 1; r < markers.rows - 1; ++r) {
        const int32_t* m = markers.ptr<int32_t>(r);
        uint8_t* f = mask.ptr<uint8_t>(r);
        for (int c = 1; c < markers.cols - 1; ++c) f[c] = labelToMask(m[c], labelMaskValue);
    }
}

/* The first and last rows repeat their inner neighbours (skipped for a
 * single-row mask, which has no inner row), then the left column is the left
 * side and the right column the right side, corners included. */
void fillMaskBorder(cv::Mat& mask) {
    const int rows = mask.rows;
    const int cols = mask.cols;
    if (rows >= 2) {
        std::memcpy(mask.ptr<uint8_t>(0), mask.ptr<uint8_t>(1), size_t(cols));
        std::memcpy(mask.ptr<uint8_t>(rows - 1), mask.ptr<uint8_t>(rows - 2), size_t(cols));
    }
    if (cols >= 1) {
        for (int r = 0; r < rows; ++r) mask.ptr<uint8_t>(r)[0] = 255;
        for (int r = 0; r < rows; ++r) mask.ptr<uint8_t>(r)[cols - 1] = 0;
    }
}

/* Change of block i's label-1 share since the previous frame, scored by the
 * first band whose threshold exceeds it (unclamped; no band, no change). */
void scoreBlockChange(DynStitcher& s, size_t i) {
    _MaskBlockStat& cur = s.maskBlockStats[i];
    cur.labelOneRatio = float(cur.labelOneCount) / float(cur.area + 1);
    const float d = std::fabs(s.prevMaskBlockStats[i].labelOneRatio - cur.labelOneRatio);
    for (size_t k = 0; k < s.blockDiffThresholds.size(); ++k) {
        if (s.blockDiffThresholds[k] > d) {
            s.blockScore[i] += s.blockDiffScoreIncs[k];
            return;
        }
    }
}

/* Motion of block i in this frame's maps: sums, clamped score, 32-frame
 * history and seam-update flag. Returns whether either camera moved there. */
bool updateBlockMotion(DynStitcher& s, size_t i, const uint8_t* mdLeft, const uint8_t* mdRight,
                       bool inPlace) {
    const _MaskBlockStat& cur = s.maskBlockStats[i];
    bool movedL, movedR;
    const int sumL = motionSum(cur.mdCellsL, mdLeft, s.mdGridWidth, movedL);
    const int sumR = motionSum(cur.mdCellsR, mdRight, s.mdGridWidth, movedR);
    s.blockMotionSumL[i] = sumL;
    s.blockMotionSumR[i] = sumR;

    // A motion-free block drifts up; strong motion on both sides (ten or
    // more cells each) pulls it down twice as fast.
    float score = s.blockScore[i];
    if (!movedL && !movedR)
        score = score + float(s.blockScoreStep);
    else if (sumL > 9 && sumR > 9)
        // Doubled in wrapping 32-bit arithmetic: a step beyond +-2^30 must
        // not overflow.
        score = score - float(int32_t(2u * uint32_t(s.blockScoreStep)));
    if (score < s.blockScoreMin)
        score = s.blockScoreMin;
    else if (score > s.blockScoreMax)
        score = s.blockScoreMax;
    s.blockScore[i] = score;

    std::deque<int32_t>& history = s.blockMotionHistory[i];
    const int32_t h = (sumL + sumR) >> 1;
    if (inPlace && !history.empty()) {
        std::move(history.begin() + 1, history.end(), history.begin());
        history.back() = h;
    } else {
        if (!history.empty()) history.pop_front();
        history.push_back(h);
    }

    const int a = s.getMotionBitsHistoryAvg(history);
    s.blockSeamUpdate[i] = float(a) >= 2.0f * float(s.blockMdCellCount[i]) ? 1 : 0;
    return movedL || movedR;
}

}  // namespace

bool zelvo::updateBlocks(DynStitcher& s, const uint8_t* mdLeft, const uint8_t* mdRight,
                         bool inPlace) {
    const bool withMotion = mdLeft != nullptr && mdRight != nullptr;
    bool quiet = true;
    const size_t blocks = s.numMaskBlocks > 0 ? size_t(s.numMaskBlocks) : 0;
    for (size_t i = 0; i < blocks; ++i) {
        scoreBlockChange(s, i);
        if (withMotion && updateBlockMotion(s, i, mdLeft, mdRight, inPlace)) quiet = false;
    }
    return quiet;
}

void zelvo::labelsToSeamMask(const cv::Mat& markers, cv::Mat& mask,
                             const int32_t labelMaskValue[2]) {
    labelsToMask(markers, mask, labelMaskValue);
    fillMaskBorder(mask);
}

namespace {

/* Writes into every row of fusionMask the blend curve centred on the row's
 * seam column. With mask blocks, a row takes this frame's crossing only when
 * its block may update its seam, and rowCrossX keeps the column it holds. */
void drawSeamRows(DynStitcher& s) {
    cv::Mat& mask = s.fusionMask;
    if (DynStitcher::my_useMaskBlocks) {
        SigmoidCurve& curve = s.sigmoidCurves[zelvo::kHeldSeamCurve];
        for (int r = 0; r < mask.rows; ++r) {
            uint8_t* row = mask.ptr<uint8_t>(r);
            const size_t block = r < s.lastMaskBlockRow ? size_t(r / s.maskBlockHeight)
                                                        : size_t(s.numMaskBlocks - 1);
            if (s.blockSeamUpdate[block] > 0) s.rowCrossX[size_t(r)] = rowCrossing(row, mask.cols);
            curve.getArrToAddr(s.rowCrossX[size_t(r)], row);
        }
    } else {
        SigmoidCurve& curve = s.sigmoidCurves[zelvo::kSoftSeamCurve];
        for (int r = 0; r < mask.rows; ++r) {
            uint8_t* row = mask.ptr<uint8_t>(r);
            curve.getArrToAddr(rowCrossing(row, mask.cols), row);
        }
    }
}

}  // namespace

void zelvo::requireSeamState(const DynStitcher& s, const char* what) {
    auto refuse = [what](const std::string& why) {
        throw std::logic_error(std::string(what) + ": " + why);
    };
    // A second set-up appends a second set of curves and per-block state:
    // the first set stays in use, so only too few entries are refused.
    if (s.maskRows < 1 || s.maskCols < 2 || s.sigmoidCurves.size() < 7)
        refuse("the stitcher has not been set up (setup_dynstitcher)");
    const cv::Size grid(s.maskCols, s.maskRows);
    if (s.wsMarkers.size() != grid || s.fusionMask.size() != grid ||
        s.rowCrossX.size() < size_t(s.maskRows))
        refuse("its seeds, work mask or held seam columns do not match its " +
               std::to_string(s.maskCols) + " x " + std::to_string(s.maskRows) + " mask grid");
    if (!s.diffImage.empty() && s.diffImage.size() != grid)
        refuse("its difference image is " + std::to_string(s.diffImage.cols) + " x " +
               std::to_string(s.diffImage.rows) +
               ", not its mask grid (assigned from a stitcher "
               "of another geometry?)");
    const size_t n = size_t(s.numMaskBlocks);
    if (s.numMaskBlocks < 1 || s.maskBlockHeight < 1 ||
        s.lastMaskBlockRow != (long long)(s.numMaskBlocks - 1) * s.maskBlockHeight ||
        s.lastMaskBlockRow >= s.maskRows || s.maskBlockStats.size() < n ||
        s.prevMaskBlockStats.size() < n || s.blockScore.size() < n ||
        s.blockMotionSumL.size() < n || s.blockMotionSumR.size() < n ||
        s.blockSeamUpdate.size() < n || s.blockMotionHistory.size() < n ||
        s.blockMdCellCount.size() < n)
        refuse("its " + std::to_string(s.numMaskBlocks) + " mask blocks disagree with its " +
               std::to_string(s.maskBlockStats.size()) +
               " block records, per-block lists or "
               "block rows (assigned from a stitcher of another geometry?)");
}

void DynStitcher::process(unsigned char* mdLeft, unsigned char* mdRight) {
    zelvo::requireSeamState(*this, "process");
    if (zelvo::motionAware) {
        zelvo::processMotionAware(*this, mdLeft, mdRight);
        return;
    }
    // Flood a fresh copy of the seeds; the counts land in maskBlockStats.
    cv::Mat markers = wsMarkers.clone();
    watershed_diff(numMaskBlocks, maskBlockHeight, diffImage, markers, maskBlockStats);
    zelvo::labelsToSeamMask(markers, fusionMask, labelMaskValue);

    // Wraps rather than overflowing after 2^31 quiet frames.
    const bool quiet = zelvo::updateBlocks(*this, mdLeft, mdRight);
    quietFrameCount = quiet ? int32_t(uint32_t(quietFrameCount) + 1u) : 0;

    currMask.release();
    // rand() is drawn only once the first two conditions hold.
    const bool reset =
        my_enableResetMask && quietFrameCount >= resetQuietFrames && rand() % 100 > 50;
    if (reset) {
        if (dbg_enable == 1) printf("Reset fusion map.\n");
        currMask = defaultMask.clone();
        quietFrameCount = 0;
    } else {
        drawSeamRows(*this);
        currMask = fusionMask.clone();
    }

    prevMaskBlockStats = maskBlockStats;
    lastMask = currMask.clone();
}

std::vector<int> DynStitcher::getMaskCrossX() {
    std::vector<int> cross(size_t(fusionMask.rows));
    for (int r = 0; r < fusionMask.rows; ++r)
        cross[size_t(r)] = rowCrossing(fusionMask.ptr<uint8_t>(r), fusionMask.cols);
    return cross;
}

int DynStitcher::getMotionBitsHistoryAvg(std::deque<int>& history) {
    // Index 0 is the oldest entry. The weight table has one entry per history
    // frame; longer histories are outside the contract and only their first
    // entries count.
    const size_t len = size_t(zelvo::kMotionHistoryLength);
    const size_t n = history.size() < len ? history.size() : len;
    uint32_t sum = 0;  // int32 arithmetic, wrapping instead of overflowing
    for (size_t i = 0; i < n; ++i)
        sum += uint32_t(history[i]) * uint32_t(motionBitsHistoryWeight[i]);
    return int32_t(sum) / motionBitsHistoryWeightSum;
}

cv::Mat DynStitcher::getDefaultMask() { return defaultMask; }

void DynStitcher::copyTo_dre_fusion_map() {
    // dreFusionMap already has this size and type, so resize writes straight
    // into the host's buffer. An empty currMask (no process yet) makes
    // OpenCV raise its own exception; a header of another size (assigned
    // from a stitcher of another geometry) would make resize allocate new
    // pixels and leave the host's buffer unwritten.
    if (!currMask.empty() && dreFusionMap.size() != cv::Size(overlapWidth, imgHeight))
        throw std::logic_error(
            "copyTo_dre_fusion_map: the fusion-map header is " + std::to_string(dreFusionMap.cols) +
            " x " + std::to_string(dreFusionMap.rows) + ", not overlapWidth x imgHeight " +
            std::to_string(overlapWidth) + " x " + std::to_string(imgHeight) +
            " (not set up, or assigned from another geometry)");
    cv::resize(currMask, dreFusionMap, cv::Size(overlapWidth, imgHeight), 0, 0, cv::INTER_LINEAR);
}

void DynStitcher::saveCurrMask(char* path) {
    // Refused explicitly: a std::string built from a null pointer is undefined.
    if (path == nullptr) throw std::logic_error("saveCurrMask: path is null");
    cv::imwrite(std::string(path), currMask);
}
