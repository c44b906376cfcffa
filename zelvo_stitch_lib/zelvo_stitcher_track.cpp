/*
 * Shift path of a stitcher: strip pre-processing, feature tracking with a
 * left-right check and k-means clustering of the horizontal flow, and the
 * smoothed, stepped movement of the LUT translation.
 *
 * Units: every translation is in mask cells (one cell = cellWidth
 * full-resolution pixels); only the value written into the host's record is
 * in pixels. Flow samples are in mask-grid pixels plus the translation
 * already applied (ST_TRKE_appliedShiftX), so they estimate the total offset
 * between the cameras, not the residual one.
 */
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include "zelvo_internal.h"

namespace zelvo {

int& tracker_dump_counter() {
    static int FrameNo = 0;
    return FrameNo;
}

int& shifting_counter() {
    static int frameNo = 0;
    return frameNo;
}

int evaluate_tracked_points(DynStitcher& s, const std::vector<cv::Point2f>& backPts,
                            std::vector<uchar>& LR_status);

} // namespace zelvo

namespace {

/* Smoothing weights of the translation history, oldest entry first (sum 9). */
const int kHistoryWeights[5] = {1, 1, 2, 2, 3};

/* Below lo gives lo, otherwise above hi gives hi. */
inline int bound_to(int v, int lo, int hi) {
    if (v < lo) return lo;
    if (v > hi) return hi;
    return v;
}

/* Debug image of the tracker; a write that fails (returns false or throws
 * from the encoder) is ignored. */
void dump_image(const std::string& path, const cv::Mat& img) {
    try {
        cv::imwrite(path, img);
    } catch (const cv::Exception&) {
    }
}

/* A strip region of the strip buffer, refused unless it lies inside. OpenCV's
 * own region check adds column and width in int, so a width near INT_MAX
 * wraps the sum and passes; this checks in 64 bits and raises the same
 * assertion error that OpenCV raises for a region outside the matrix. */
cv::Mat strip_region(const cv::Mat& buf, const cv::Rect& r) {
    CV_Assert(0 <= r.x && 0 <= r.width && int64_t(r.x) + r.width <= buf.cols && 0 <= r.y &&
              0 <= r.height && int64_t(r.y) + r.height <= buf.rows);
    return buf(r);
}

} // namespace

void DynStitcher::preProcess(int overlapIdx, unsigned int* stripX, unsigned int* /*zeroOffsets*/,
                             unsigned int /*img_num*/, unsigned long strip_buf_addr,
                             unsigned int strip_buf_width, unsigned int* strip_width,
                             unsigned int* strip_height, int* /*overlap_shift_value*/) {
    // Header over the host's buffer: rows packed, stride = width.
    const cv::Mat stripBuf(int(strip_height[0]), int(strip_buf_width), CV_8UC1,
                           reinterpret_cast<void*>(strip_buf_addr));
    const int i = overlapIdx;
    const cv::Rect leftRect(int(stripX[i]), 0, int(strip_width[i]), int(strip_height[i]));
    const cv::Rect rightRect(int(stripX[i] + strip_width[i]), 0, int(strip_width[i]),
                             int(strip_height[i]));

    const cv::Size grid(maskCols, maskRows);
    cv::resize(strip_region(stripBuf, leftRect), leftImage, grid, 0, 0, cv::INTER_NEAREST);
    cv::resize(strip_region(stripBuf, rightRect), rightImage, grid, 0, 0, cv::INTER_NEAREST);

    // 255 where the strips agree, down to 0 where they differ most: the
    // watershed's cost image. Both operations reuse diffImage's storage.
    cv::absdiff(leftImage, rightImage, diffImage);
    diffImage = cv::Scalar(255) - diffImage;
}

int DynStitcher::ST_TRKE() {
    ST_TRKE_clusterMembersS.clear();
    ST_TRKE_clusterMembersM.clear();
    ST_TRKE_clusterMembersL.clear();

    int& FrameNo = zelvo::tracker_dump_counter();
    if ((dump_overlap_id == 99 || dump_overlap_id == overlapId) && FrameNo < limit_dump_frames) {
        const std::string stem =
            "/var/run/" + std::to_string(FrameNo) + "_" + std::to_string(overlapId);
        dump_image(stem + "_L.png", leftImage);
        dump_image(stem + "_R.png", rightImage);
    }
    if (last_overlap_id == overlapId) zelvo::advance_counter(FrameNo);

    cv::goodFeaturesToTrack(leftImage, ST_TRKE_prevPts, ST_TRKE_maxCorners, 0.01,
                            double(ST_TRKE_minDistance), cv::Mat(), 3, 3, false, 0.04);
    if (ST_TRKE_prevPts.empty()) {
        if (dbg_enable == 1) printf("WARN: No feature detected in left size image. SKIP Shifting.\n\n");
        return -3;
    }

    cv::calcOpticalFlowPyrLK(leftImage, rightImage, ST_TRKE_prevPts, ST_TRKE_nextPts,
                             ST_TRKE_status, ST_TRKE_err, ST_TRKE_lkWinSize, 3,
                             ST_TRKE_lkTermCriteria, cv::OPTFLOW_LK_GET_MIN_EIGENVALS, 0.05);

    // Keep only the points the forward pass found, in order.
    size_t kept = 0;
    for (size_t i = 0; i < ST_TRKE_prevPts.size(); ++i) {
        if (ST_TRKE_status[i] == 0) continue;
        ST_TRKE_prevPts[kept] = ST_TRKE_prevPts[i];
        ST_TRKE_nextPts[kept] = ST_TRKE_nextPts[i];
        ST_TRKE_status[kept] = ST_TRKE_status[i];
        ++kept;
    }
    ST_TRKE_prevPts.resize(kept);
    ST_TRKE_nextPts.resize(kept);
    ST_TRKE_status.resize(kept);

    std::vector<cv::Point2f> backPts;
    std::vector<uchar> LR_status;
    if (kept > 0)
        cv::calcOpticalFlowPyrLK(rightImage, leftImage, ST_TRKE_nextPts, backPts, LR_status,
                                 ST_TRKE_err, ST_TRKE_lkWinSize, 3, ST_TRKE_lkTermCriteria,
                                 cv::OPTFLOW_LK_GET_MIN_EIGENVALS, 0.05);

    return zelvo::evaluate_tracked_points(*this, backPts, LR_status);
}

/*
 * Decision half of the tracker. On entry ST_TRKE_prevPts/ST_TRKE_nextPts/
 * ST_TRKE_status hold the forward-tracked points (compacted, status all
 * non-zero), backPts/LR_status the result of tracking ST_TRKE_nextPts back
 * into the left strip (empty when no point was left). Runs the left-right
 * check, the repeat-pattern and evidence tests and the flow clustering, and
 * returns the tracker's status code.
 */
int zelvo::evaluate_tracked_points(DynStitcher& s, const std::vector<cv::Point2f>& backPts,
                                   std::vector<uchar>& LR_status) {
    const bool verbose = (dbg_enable == 1);

    int status_OK_count = 0;
    for (size_t i = 0; i < s.ST_TRKE_prevPts.size() && i < s.ST_TRKE_status.size(); ++i)
        if (s.ST_TRKE_status[i] != 0) ++status_OK_count;
    if (verbose) std::cout << "status_OK_count = " << status_OK_count << std::endl;

    s.ST_TRKE_status = LR_status;

    // Round trip: a point is trusted only if tracking it back lands within
    // one pixel of where it was detected.
    int LR_status_OK_count = 0;
    for (size_t i = 0; i < LR_status.size(); ++i) {
        if (LR_status[i] == 0) continue;
        if (cv::norm(s.ST_TRKE_prevPts[i] - backPts[i]) < 1.0) {
            ++LR_status_OK_count;
        } else {
            LR_status[i] = 0;
            s.ST_TRKE_status[i] = 0;
        }
    }
    if (verbose) std::cout << "LR_status_OK_count = " << LR_status_OK_count << std::endl;

    std::vector<float> flowX;
    flowX.reserve(s.ST_TRKE_status.size());
    for (size_t i = 0; i < s.ST_TRKE_status.size(); ++i)
        if (s.ST_TRKE_status[i] != 0)
            flowX.push_back((s.ST_TRKE_nextPts[i].x - s.ST_TRKE_prevPts[i].x) +
                            s.ST_TRKE_appliedShiftX);
    const int tracked_count = int(flowX.size());

    // Many points tracked forward but few surviving the round trip: the
    // strip probably shows a repeating texture, so trust fewer points and
    // count the run toward the fallback of determineLutTranslationX.
    s.ST_TRKE_repeatPattern = false;
    float share = s.ST_TRKE_SUCCESSFUL_TRACKED_POINT_RATIO;
    if (float(status_OK_count) > float(s.ST_TRKE_maxCorners) * s.ST_TRKE_REPEAT_FEATURE_RATIO &&
        float(LR_status_OK_count) < float(status_OK_count) * s.ST_TRKE_LR_CHECK_RATIO) {
        ++s.ST_TRKE_repeatPatternCount;
        s.ST_TRKE_repeatPattern = true;
        share = s.ST_TRKE_SUCCESSFUL_TRACKED_POINT_RATIO * s.ST_TRKE_repeatRatioFactor;
        if (verbose) {
            printf("WARN: LR check %d/%d (%.2f%% < %.0f%%).\n", LR_status_OK_count,
                   status_OK_count,
                   double(100.0f * float(LR_status_OK_count) / float(status_OK_count)),
                   double(100.0f * s.ST_TRKE_LR_CHECK_RATIO));
            printf("MIGHT BE REPEAT PATTERN. ST_TRKE_SUCCESSFUL_TRACKED_POINT_RATIO is modified %fx\n",
                   double(s.ST_TRKE_repeatRatioFactor));
        }
        if (!s.ST_TRKE_convergingLutTranslationX)
            s.ST_TRKE_tgtLutTranslationX = s.determineLutTranslationX(
                s.ST_TRKE_MaxFlowX, s.ST_TRKE_minLutTranslationX, s.ST_TRKE_maxLutTranslationX);
    } else {
        s.ST_TRKE_repeatPatternCount = 0;
    }

    const int detected = int(s.ST_TRKE_prevPts.size());
    const float required = float(detected) * share;
    if (float(tracked_count) < required) {
        if (verbose)
            printf("WARN: %d (tracked_count), < %d (%.2f percent of detected Features %d) . SKIP Shifting.\n\n",
                   tracked_count, int(required), double(share), detected);
        return -2;
    }
    if (tracked_count < s.MIN_TRACKED_POINT) {
        if (verbose)
            printf("WARN: %d (tracked_count) < %d (MIN_TRACKED_POINT) . SKIP Shifting.\n\n",
                   tracked_count, s.MIN_TRACKED_POINT);
        return -1;
    }
    if (verbose) printf("Successful tracked features = %d\n", tracked_count);

    cv::Mat labels;
    std::vector<float> centers;
    cv::kmeans(flowX, s.ST_TRKE_clusterCount, labels, s.ST_TRKE_kmeansTermCriteria, 3,
               cv::KMEANS_PP_CENTERS, centers);

    // Rank the clusters by the size of their mean flow: S smallest, L largest.
    std::vector<int> order(size_t(s.ST_TRKE_clusterCount));
    for (size_t k = 0; k < order.size(); ++k) order[k] = int(k);
    std::sort(order.begin(), order.end(), [&centers](int a, int b) {
        return std::fabs(centers[size_t(a)]) < std::fabs(centers[size_t(b)]);
    });
    const int labelS = order.front();
    const int labelL = order.back();

    float sumS = 0.0f, sumM = 0.0f, sumL = 0.0f;
    int countS = 0, countM = 0, countL = 0;
    const int* lab = labels.ptr<int>();
    for (int j = 0; j < tracked_count; ++j) {
        const int label = lab[j];
        if (label == labelL) {
            sumL += flowX[j];
            ++countL;
            s.ST_TRKE_clusterMembersL.push_back(j);
        } else if (label == labelS) {
            sumS += flowX[j];
            ++countS;
            s.ST_TRKE_clusterMembersS.push_back(j);
        } else {
            sumM += flowX[j];
            ++countM;
            s.ST_TRKE_clusterMembersM.push_back(j);
        }
    }
    // An empty slot has a NaN mean; its count keeps it from being chosen.
    const float meanS = sumS / float(countS);
    const float meanM = sumM / float(countM);
    const float meanL = sumL / float(countL);
    if (verbose) {
        printf("Average flow X. S: %.3f (%d)\tM: %.3f (%d)\tL: %.3f (%d)\n", double(meanS), countS,
               double(meanM), countM, double(meanL), countL);
        printf("ST_TRKE_closeRangeOnly = %d\n", int(s.ST_TRKE_closeRangeOnly));
    }

    auto eligible = [&s](int count, float mean) {
        if (count < s.ST_TRKE_MIN_CLUSTER_POINT) return false;
        if (s.ST_TRKE_closeRangeOnly && mean > 0.0f) return false;
        return true;
    };
    const bool eligS = eligible(countS, meanS);
    const bool eligM = eligible(countM, meanM);
    const bool eligL = eligible(countL, meanL);

    s.ST_TRKE_clusterFound = false;
    s.ST_TRKE_MaxFlowX = -999.0f;
    const bool elig[3] = {eligS, eligM, eligL};
    const float mean[3] = {meanS, meanM, meanL};
    for (int k = 0; k < 3; ++k) {
        if (elig[k] && mean[k] > s.ST_TRKE_MaxFlowX) {
            s.ST_TRKE_clusterFound = true;
            s.ST_TRKE_MaxFlowX = mean[k];
        }
    }
    // A clearly dominant near cluster wins over a larger but sparse far one.
    if (eligS && eligL && float(countS) / float(countL) > 2.5f) {
        s.ST_TRKE_clusterFound = true;
        s.ST_TRKE_MaxFlowX = meanS;
    }

    if (s.ST_TRKE_convergingLutTranslationX) return 0;

    if (s.ST_TRKE_clusterFound) {
        s.ST_TRKE_tgtLutTranslationX = s.determineLutTranslationX(
            s.ST_TRKE_MaxFlowX, s.ST_TRKE_minLutTranslationX, s.ST_TRKE_maxLutTranslationX);
        if (verbose)
            printf("ST_TRKE(): ST_TRKE_MaxFlowX = %f, ST_TRKE_tgtLutTranslationX = %d\n",
                   double(s.ST_TRKE_MaxFlowX), s.ST_TRKE_tgtLutTranslationX);
        return 0;
    }
    if (verbose) printf("ST_TRKE(): no obvious cluster found. SKIP compute new target shift.\n");
    return -4;
}

int DynStitcher::determineLutTranslationX(float flow, int minX, int maxX) {
    if (ST_TRKE_repeatPatternCount <= ST_TRKE_repeatPatternLimit)
        return bound_to(int(roundf(flow)), minX, maxX);

    // Too many repeat-pattern runs in a row: fall back to about a quarter of
    // the last flow (at most a quarter of the bounds) and make the smoothing
    // take it at once.
    ST_TRKE_repeatPatternCount = 0;
    float v;
    if (flow >= float(maxX))
        v = float(maxX / 2);
    else if (flow > float(minX))
        v = flow * 0.5f;
    else
        v = float(minX / 2);
    const int t = bound_to(int(roundf(v * 0.5f)), minX, maxX);
    for (int k = 0; k < ST_TRKE_historyLength; ++k) {
        if (ST_TRKE_lutTranslationXHistory.empty()) break;
        ST_TRKE_lutTranslationXHistory.pop_front();
        ST_TRKE_lutTranslationXHistory.push_back(t);
    }
    return t;
}

int DynStitcher::computeXStep(int a, int b) {
    const int d = std::abs(a - b);
    if (d == 0) return 0;
    if (d <= 3) return 1;
    if (d <= 6) return 2;
    if (d <= 10) return 3;
    return 4;
}

int DynStitcher::temporalWeightedAvg() {
    const std::deque<int32_t>& h = ST_TRKE_lutTranslationXHistory;
    const int n = int(h.size());
    const int L = ST_TRKE_historyLength;
    int ret;
    if (n < L) {
        ret = h.back();
    } else {
        float sum = 0.0f;
        for (int k = 0; k < L; ++k) sum += float(h[size_t(k)] * kHistoryWeights[k]);
        ret = int(sum / 9.0f);
    }
    if (dbg_enable != 0 && !h.empty())
        printf("temporalWeightedAvg(): last_v = %d, ret_v = %d \r\n", h.back(), ret);
    return ret;
}

int DynStitcher::decideShifting(int overlapIdx, int* overlap_shift_value, int dbg) {
    int& frameNo = zelvo::shifting_counter();
    dbg_enable = dbg;
    if (dbg == 1)
        printf("decideShifting(): frameNo=%d, overlap_id= %d, ST_TRKE_convergingLutTranslationX = %d\n",
               frameNo, overlapIdx, ST_TRKE_convergingLutTranslationX ? 1 : 0);

    const int v = bound_to(int(roundf(float(ST_TRKE_tgtLutTranslationX) * ST_TRKE_tgtLutTranslationScale)),
                           ST_TRKE_minLutTranslationX, ST_TRKE_maxLutTranslationX);
    if (int(ST_TRKE_lutTranslationXHistory.size()) >= ST_TRKE_historyLength &&
        !ST_TRKE_lutTranslationXHistory.empty())
        ST_TRKE_lutTranslationXHistory.pop_front();
    ST_TRKE_lutTranslationXHistory.push_back(v);

    const int effectiveOffsetX = temporalWeightedAvg();
    if (dbg_enable == 1)
        printf("decideShifting(): ST_TRKE_tgtLutTranslationX = %d, current effectiveOffsetX = %d, ST_TRKE_curLutTranslationX=%d\n",
               ST_TRKE_tgtLutTranslationX, effectiveOffsetX, ST_TRKE_curLutTranslationX);

    // Stepping starts once the smoothed target is threshold cells away and,
    // once started, runs until the translation reaches it exactly.
    const bool converged =
        ST_TRKE_convergingLutTranslationX
            ? effectiveOffsetX == ST_TRKE_curLutTranslationX
            : std::abs(effectiveOffsetX - ST_TRKE_curLutTranslationX) < ST_TRKE_convergeThresholdX;

    if (converged) {
        ST_TRKE_convergingLutTranslationX = false;
        if (dbg_enable == 1) printf("CONVERGED. Open for shifting target...\n");
    } else {
        ST_TRKE_convergingLutTranslationX = true;
        const int step = computeXStep(effectiveOffsetX, ST_TRKE_curLutTranslationX);
        if (effectiveOffsetX > ST_TRKE_curLutTranslationX) {
            ST_TRKE_curLutTranslationX = bound_to(ST_TRKE_curLutTranslationX + step,
                                                  ST_TRKE_minLutTranslationX,
                                                  ST_TRKE_maxLutTranslationX);
            ST_TRKE_appliedShiftX += float(step);
        } else {
            ST_TRKE_curLutTranslationX = bound_to(ST_TRKE_curLutTranslationX - step,
                                                  ST_TRKE_minLutTranslationX,
                                                  ST_TRKE_maxLutTranslationX);
            ST_TRKE_appliedShiftX -= float(step);
        }
        const int shift_value = ST_TRKE_curLutTranslationX * cellWidth;
        overlap_shift_value[overlapIdx + 1] = shift_value;
        if (dbg_enable == 1)
            printf("Stepped. Now ST_TRKE_curLutTranslationX = %d, shift_value = %d, overlap_shift_value[%d] = %d\n",
                   ST_TRKE_curLutTranslationX, shift_value, overlapIdx + 1,
                   overlap_shift_value[overlapIdx + 1]);
    }

    zelvo::advance_counter(frameNo);
    return 0;
}
