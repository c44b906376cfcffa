/*
 * Seam path: the per-frame seam mask and its full-resolution fusion map.
 *
 * Mask bytes: 255 is the left camera's side, 0 the right camera's side, values
 * between are the left camera's blend weight. Everything here works on the
 * mask grid (maskRows x maskCols cells) except copyTo_dre_fusion_map.
 */
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "zelvo_internal.h"

namespace {

/* Seam column of one mask row: the last column of the row's leading run of
 * equal values (cols - 1 when the row never changes, 0 below two columns). */
inline int rowCrossing(const uint8_t* row, int cols) {
    if (cols < 2) return 0;
    for (int x = 0; x < cols - 1; ++x)
        if (row[x] != row[x + 1]) return x;
    return cols - 1;
}

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

}  // namespace

void DynStitcher::process(unsigned char* mdLeft, unsigned char* mdRight) {
    // Flood a fresh copy of the seeds; the counts land in maskBlockStats.
    cv::Mat markers = wsMarkers.clone();
    watershed_diff(numMaskBlocks, maskBlockHeight, diffImage, markers, maskBlockStats);

    // Labels to mask, interior cells only; the border is filled from it below.
    fusionMask.setTo(cv::Scalar(0));
    const int rows = markers.rows;
    const int cols = markers.cols;
    for (int r = 1; r < rows - 1; ++r) {
        const int32_t* m = markers.ptr<int32_t>(r);
        uint8_t* f = fusionMask.ptr<uint8_t>(r);
        for (int c = 1; c < cols - 1; ++c) f[c] = labelToMask(m[c], labelMaskValue);
    }

    // Border: the first and last rows repeat their inner neighbours (skipped
    // for a single-row mask, which has no inner row), then the left column is
    // the left side and the right column the right side, corners included.
    const int fRows = fusionMask.rows;
    const int fCols = fusionMask.cols;
    if (fRows >= 2) {
        std::memcpy(fusionMask.ptr<uint8_t>(0), fusionMask.ptr<uint8_t>(1), size_t(fCols));
        std::memcpy(fusionMask.ptr<uint8_t>(fRows - 1), fusionMask.ptr<uint8_t>(fRows - 2),
                    size_t(fCols));
    }
    if (fCols >= 1) {
        for (int r = 0; r < fRows; ++r) fusionMask.ptr<uint8_t>(r)[0] = 255;
        for (int r = 0; r < fRows; ++r) fusionMask.ptr<uint8_t>(r)[fCols - 1] = 0;
    }

    // Per-block change measure, scores, motion history and seam-update flags.
    bool quiet = true;
    const bool withMotion = mdLeft != nullptr && mdRight != nullptr;
    const int mdStride = mdGridWidth;
    const size_t blocks = numMaskBlocks > 0 ? size_t(numMaskBlocks) : 0;
    for (size_t i = 0; i < blocks; ++i) {
        _MaskBlockStat& cur = maskBlockStats[i];
        const _MaskBlockStat& prev = prevMaskBlockStats[i];
        cur.labelOneRatio = float(cur.labelOneCount) / float(cur.area + 1);
        const float d = std::fabs(prev.labelOneRatio - cur.labelOneRatio);

        const size_t levels = blockDiffThresholds.size();
        for (size_t k = 0; k < levels; ++k) {
            if (blockDiffThresholds[k] > d) {
                blockScore[i] += blockDiffScoreIncs[k];
                break;
            }
        }

        if (!withMotion) continue;

        bool movedL, movedR;
        const int sumL = motionSum(cur.mdCellsL, mdLeft, mdStride, movedL);
        const int sumR = motionSum(cur.mdCellsR, mdRight, mdStride, movedR);
        blockMotionSumL[i] = sumL;
        blockMotionSumR[i] = sumR;

        // A motion-free block drifts up; strong motion on both sides (ten or
        // more cells each) pulls it down twice as fast.
        float s = blockScore[i];
        if (!movedL && !movedR) {
            s = s + float(blockScoreStep);
        } else {
            quiet = false;
            // Doubled in wrapping 32-bit arithmetic: a step beyond +-2^30
            // must not overflow.
            if (sumL > 9 && sumR > 9) s = s - float(int32_t(2u * uint32_t(blockScoreStep)));
        }
        if (s < blockScoreMin)
            s = blockScoreMin;
        else if (s > blockScoreMax)
            s = blockScoreMax;
        blockScore[i] = s;

        std::deque<int32_t>& history = blockMotionHistory[i];
        if (!history.empty()) history.pop_front();
        history.push_back((sumL + sumR) >> 1);

        const int a = getMotionBitsHistoryAvg(history);
        blockSeamUpdate[i] = float(a) >= 2.0f * float(blockMdCellCount[i]) ? 1 : 0;
    }

    // Wraps rather than overflowing after 2^31 quiet frames.
    quietFrameCount = quiet ? int32_t(uint32_t(quietFrameCount) + 1u) : 0;

    currMask.release();

    // rand() is drawn only once the first two conditions hold.
    const bool reset = my_enableResetMask && quietFrameCount >= resetQuietFrames &&
                       rand() % 100 > 50;

    // rowCrossX holds the seam column per row; rows of blocks without enough
    // motion keep theirs.
    if (reset) {
        if (dbg_enable == 1) printf("Reset fusion map.\n");
        currMask = defaultMask.clone();
        quietFrameCount = 0;
    } else if (my_useMaskBlocks) {
        SigmoidCurve& curve = sigmoidCurves[6];  // k = 4: an almost hard seam
        for (int r = 0; r < fRows; ++r) {
            uint8_t* row = fusionMask.ptr<uint8_t>(r);
            const int flag = r < lastMaskBlockRow ? blockSeamUpdate[size_t(r / maskBlockHeight)]
                                                  : blockSeamUpdate[size_t(numMaskBlocks - 1)];
            if (flag > 0) rowCrossX[size_t(r)] = rowCrossing(row, fCols);
            curve.getArrToAddr(rowCrossX[size_t(r)], row);
        }
        currMask = fusionMask.clone();
    } else {
        SigmoidCurve& curve = sigmoidCurves[3];  // k = 0.25: a soft seam
        for (int r = 0; r < fRows; ++r) {
            uint8_t* row = fusionMask.ptr<uint8_t>(r);
            curve.getArrToAddr(rowCrossing(row, fCols), row);
        }
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
    // Index 0 is the oldest entry. The weight table has 32 entries; longer
    // histories are outside the contract and only their first 32 count.
    const size_t n = history.size() < 32 ? history.size() : 32;
    uint32_t sum = 0;  // int32 arithmetic, wrapping instead of overflowing
    for (size_t i = 0; i < n; ++i)
        sum += uint32_t(history[i]) * uint32_t(motionBitsHistoryWeight[i]);
    return int32_t(sum) / motionBitsHistoryWeightSum;
}

cv::Mat DynStitcher::getDefaultMask() { return defaultMask; }

void DynStitcher::copyTo_dre_fusion_map() {
    // dreFusionMap already has this size and type, so resize writes straight
    // into the host's buffer. An empty currMask (no process yet) makes
    // OpenCV raise its own exception.
    cv::resize(currMask, dreFusionMap, cv::Size(overlapWidth, imgHeight), 0, 0, cv::INTER_LINEAR);
}

void DynStitcher::saveCurrMask(char* path) {
    const std::string file(path);  // a null path throws std::logic_error
    cv::imwrite(file, currMask);
}
