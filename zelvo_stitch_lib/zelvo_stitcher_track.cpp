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
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include "zelvo_internal.h"

namespace zelvo {

int& trackerDumpCounter() {
    static int FrameNo = 0;
    return FrameNo;
}

int& shiftingCounter() {
    static int frameNo = 0;
    return frameNo;
}

}  // namespace zelvo

namespace {

/* Corner detection: quality relative to the best corner, the neighbourhood
 * and derivative aperture in pixels, and the Harris free parameter (unused:
 * the minimum-eigenvalue measure is taken). */
constexpr double kCornerQuality = 0.01;
constexpr int kCornerBlockSize = 3;
constexpr int kCornerGradientSize = 3;
constexpr double kHarrisK = 0.04;
/* Optical flow: pyramid levels above the base, and the minimum eigenvalue
 * (of the window's gradient matrix, normalised by its area) a point needs. */
constexpr int kFlowPyramidLevels = 3;
constexpr double kFlowMinEigThreshold = 0.05;
/* k-means restarts from fresh k-means++ centres; the most compact wins. */
constexpr int kKmeansAttempts = 3;

/* Smoothing weights of the translation history, oldest entry first (sum 9). */
constexpr int kHistoryWeightCount = 5;
const int kHistoryWeights[kHistoryWeightCount] = {1, 1, 2, 2, 3};

/* Below lo gives lo, otherwise above hi gives hi. */
inline int boundTo(int v, int lo, int hi) {
    if (v < lo) return lo;
    if (v > hi) return hi;
    return v;
}

/* Debug image of the tracker; a write that fails (returns false or throws
 * from the encoder) is ignored. */
void dumpImage(const std::string& path, const cv::Mat& img) {
    try {
        cv::imwrite(path, img);
    } catch (const cv::Exception&) {
    }
}

/* A strip region of the strip buffer, refused unless it lies inside. OpenCV's
 * own region check adds column and width in int, so a width near INT_MAX
 * wraps the sum and passes; this checks in 64 bits and raises the same
 * assertion error that OpenCV raises for a region outside the matrix. */
cv::Mat stripRegion(const cv::Mat& buf, const cv::Rect& r) {
    CV_Assert(0 <= r.x && 0 <= r.width && int64_t(r.x) + r.width <= buf.cols && 0 <= r.y &&
              0 <= r.height && int64_t(r.y) + r.height <= buf.rows);
    return buf(r);
}

}  // namespace

void DynStitcher::preProcess(int overlapIdx, unsigned int* stripX, unsigned int* /*zeroOffsets*/,
                             unsigned int /*img_num*/, unsigned long strip_buf_addr,
                             unsigned int strip_buf_width, unsigned int* strip_width,
                             unsigned int* strip_height, int* /*overlap_shift_value*/) {
    // Header over the host's buffer: rows packed, stride = width.
    const int bufRows = static_cast<int>(strip_height[0]);
    const int bufCols = static_cast<int>(strip_buf_width);
    const cv::Mat stripBuf(bufRows, bufCols, CV_8UC1, reinterpret_cast<void*>(strip_buf_addr));
    const int i = overlapIdx;
    const cv::Rect leftRect(int(stripX[i]), 0, int(strip_width[i]), int(strip_height[i]));
    const cv::Rect rightRect(int(stripX[i] + strip_width[i]), 0, int(strip_width[i]),
                             int(strip_height[i]));

    const cv::Size grid(maskCols, maskRows);
    cv::resize(stripRegion(stripBuf, leftRect), leftImage, grid, 0, 0, cv::INTER_NEAREST);
    cv::resize(stripRegion(stripBuf, rightRect), rightImage, grid, 0, 0, cv::INTER_NEAREST);

    // 255 where the strips agree, down to 0 where they differ most: the
    // watershed's cost image. Both operations reuse diffImage's storage.
    cv::absdiff(leftImage, rightImage, diffImage);
    diffImage = cv::Scalar(255) - diffImage;
}

void zelvo::beginTrackerRun(DynStitcher& s) {
    s.ST_TRKE_clusterMembersS.clear();
    s.ST_TRKE_clusterMembersM.clear();
    s.ST_TRKE_clusterMembersL.clear();

    int& FrameNo = zelvo::trackerDumpCounter();
    if ((dump_overlap_id == 99 || dump_overlap_id == s.overlapId) && FrameNo < limit_dump_frames) {
        const std::string stem =
            "/var/run/" + std::to_string(FrameNo) + "_" + std::to_string(s.overlapId);
        dumpImage(stem + "_L.png", s.leftImage);
        dumpImage(stem + "_R.png", s.rightImage);
    }
    if (last_overlap_id == s.overlapId) zelvo::advanceCounter(FrameNo);
}

void zelvo::detectCorners(DynStitcher& s, const cv::Mat& mask) {
    cv::goodFeaturesToTrack(s.leftImage, s.ST_TRKE_prevPts, s.ST_TRKE_maxCorners, kCornerQuality,
                            double(s.ST_TRKE_minDistance), mask, kCornerBlockSize,
                            kCornerGradientSize, false, kHarrisK);
}

int DynStitcher::ST_TRKE() {
    zelvo::beginTrackerRun(*this);
    zelvo::detectCorners(*this, cv::Mat());
    return zelvo::trackDetectedCorners(*this);
}

int zelvo::trackDetectedCorners(DynStitcher& s, bool backgroundOnly) {
    if (s.ST_TRKE_prevPts.empty()) {
        if (dbg_enable == 1)
            printf("WARN: No feature detected in left size image. SKIP Shifting.\n\n");
        return -3;
    }

    cv::calcOpticalFlowPyrLK(s.leftImage, s.rightImage, s.ST_TRKE_prevPts, s.ST_TRKE_nextPts,
                             s.ST_TRKE_status, s.ST_TRKE_err, s.ST_TRKE_lkWinSize,
                             kFlowPyramidLevels, s.ST_TRKE_lkTermCriteria,
                             cv::OPTFLOW_LK_GET_MIN_EIGENVALS, kFlowMinEigThreshold);

    // Keep only the points the forward pass found, in order.
    size_t kept = 0;
    for (size_t i = 0; i < s.ST_TRKE_prevPts.size(); ++i) {
        if (s.ST_TRKE_status[i] == 0) continue;
        s.ST_TRKE_prevPts[kept] = s.ST_TRKE_prevPts[i];
        s.ST_TRKE_nextPts[kept] = s.ST_TRKE_nextPts[i];
        s.ST_TRKE_status[kept] = s.ST_TRKE_status[i];
        ++kept;
    }
    s.ST_TRKE_prevPts.resize(kept);
    s.ST_TRKE_nextPts.resize(kept);
    s.ST_TRKE_status.resize(kept);

    std::vector<cv::Point2f> backPts;
    std::vector<uchar> LR_status;
    if (kept > 0)
        cv::calcOpticalFlowPyrLK(s.rightImage, s.leftImage, s.ST_TRKE_nextPts, backPts, LR_status,
                                 s.ST_TRKE_err, s.ST_TRKE_lkWinSize, kFlowPyramidLevels,
                                 s.ST_TRKE_lkTermCriteria, cv::OPTFLOW_LK_GET_MIN_EIGENVALS,
                                 kFlowMinEigThreshold);

    return zelvo::evaluateTrackedPoints(s, backPts, LR_status, backgroundOnly);
}

namespace {

/* Mean flow and member count of one ranked cluster slot. */
struct ClusterSlot {
    float mean;
    int count;
};

/* Counts the points the forward pass kept, then the round trip: a point is
 * trusted only if tracking it back lands within one pixel of where it was
 * detected. Returns {forward-tracked count, round-trip count} and leaves
 * ST_TRKE_status as the round-trip verdict per point. */
std::pair<int, int> checkRoundTrip(DynStitcher& s, const std::vector<cv::Point2f>& backPts,
                                   std::vector<uchar>& LR_status, bool verbose) {
    int status_OK_count = 0;
    for (size_t i = 0; i < s.ST_TRKE_prevPts.size() && i < s.ST_TRKE_status.size(); ++i)
        if (s.ST_TRKE_status[i] != 0) ++status_OK_count;
    if (verbose) std::cout << "status_OK_count = " << status_OK_count << std::endl;

    s.ST_TRKE_status = LR_status;
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
    return {status_OK_count, LR_status_OK_count};
}

/* Horizontal flow of every trusted point, in mask-grid pixels plus the
 * translation already applied. */
std::vector<float> trustedFlowX(const DynStitcher& s) {
    std::vector<float> flowX;
    flowX.reserve(s.ST_TRKE_status.size());
    for (size_t i = 0; i < s.ST_TRKE_status.size(); ++i)
        if (s.ST_TRKE_status[i] != 0)
            flowX.push_back((s.ST_TRKE_nextPts[i].x - s.ST_TRKE_prevPts[i].x) +
                            s.ST_TRKE_appliedShiftX);
    return flowX;
}

/* Many points tracked forward but few surviving the round trip: the strip
 * probably shows a repeating texture, so trust fewer points and count the run
 * toward the fallback of determineLutTranslationX. Returns the share of the
 * detected points that must be tracked. */
float repeatPatternShare(DynStitcher& s, int status_OK_count, int LR_status_OK_count,
                         bool verbose) {
    s.ST_TRKE_repeatPattern = false;
    if (!(float(status_OK_count) > float(s.ST_TRKE_maxCorners) * s.ST_TRKE_REPEAT_FEATURE_RATIO &&
          float(LR_status_OK_count) < float(status_OK_count) * s.ST_TRKE_LR_CHECK_RATIO)) {
        s.ST_TRKE_repeatPatternCount = 0;
        return s.ST_TRKE_SUCCESSFUL_TRACKED_POINT_RATIO;
    }
    ++s.ST_TRKE_repeatPatternCount;
    s.ST_TRKE_repeatPattern = true;
    if (verbose) {
        printf("WARN: LR check %d/%d (%.2f%% < %.0f%%).\n", LR_status_OK_count, status_OK_count,
               double(100.0f * float(LR_status_OK_count) / float(status_OK_count)),
               double(100.0f * s.ST_TRKE_LR_CHECK_RATIO));
        printf("MIGHT BE REPEAT PATTERN. ST_TRKE_SUCCESSFUL_TRACKED_POINT_RATIO is modified %fx\n",
               double(s.ST_TRKE_repeatRatioFactor));
    }
    // Uses the flow kept from an earlier run, and stands even if this run
    // stops for lack of evidence.
    if (!s.ST_TRKE_convergingLutTranslationX)
        s.ST_TRKE_tgtLutTranslationX = s.determineLutTranslationX(
            s.ST_TRKE_MaxFlowX, s.ST_TRKE_minLutTranslationX, s.ST_TRKE_maxLutTranslationX);
    return s.ST_TRKE_SUCCESSFUL_TRACKED_POINT_RATIO * s.ST_TRKE_repeatRatioFactor;
}

/* Enough evidence to cluster: at least `share` of the detected points and at
 * least MIN_TRACKED_POINT of them. Returns 0, or the tracker's -2 or -1. */
int checkEvidence(const DynStitcher& s, int tracked_count, float share, bool verbose) {
    const int detected = int(s.ST_TRKE_prevPts.size());
    const float required = float(detected) * share;
    if (float(tracked_count) < required) {
        if (verbose)
            printf(
                "WARN: %d (tracked_count), < %d (%.2f percent of detected Features %d) . SKIP "
                "Shifting.\n\n",
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
    return 0;
}

/* k-means of the flow into ST_TRKE_clusterCount clusters, ranked by the size
 * of their centre: slots S (smallest), M and L (largest). Fills the member
 * lists and returns the slots in that order. */
std::array<ClusterSlot, 3> clusterFlow(DynStitcher& s, const std::vector<float>& flowX) {
    cv::Mat labels;
    std::vector<float> centers;
    cv::kmeans(flowX, s.ST_TRKE_clusterCount, labels, s.ST_TRKE_kmeansTermCriteria, kKmeansAttempts,
               cv::KMEANS_PP_CENTERS, centers);

    std::vector<int> order(size_t(s.ST_TRKE_clusterCount));
    for (size_t k = 0; k < order.size(); ++k) order[k] = int(k);
    std::sort(order.begin(), order.end(), [&centers](int a, int b) {
        return std::fabs(centers[size_t(a)]) < std::fabs(centers[size_t(b)]);
    });
    const int labelS = order.front();
    const int labelL = order.back();

    float sum[3] = {0.0f, 0.0f, 0.0f};
    int count[3] = {0, 0, 0};
    std::vector<int32_t>* members[3] = {&s.ST_TRKE_clusterMembersS, &s.ST_TRKE_clusterMembersM,
                                        &s.ST_TRKE_clusterMembersL};
    const int* lab = labels.ptr<int>();
    for (int j = 0; j < int(flowX.size()); ++j) {
        const int slot = lab[j] == labelL ? 2 : (lab[j] == labelS ? 0 : 1);
        sum[slot] += flowX[size_t(j)];
        ++count[slot];
        members[slot]->push_back(j);
    }
    // An empty slot has a NaN mean; its count keeps it from being chosen.
    std::array<ClusterSlot, 3> slots;
    for (int k = 0; k < 3; ++k) slots[size_t(k)] = {sum[k] / float(count[k]), count[k]};
    return slots;
}

/* Sets ST_TRKE_clusterFound and ST_TRKE_MaxFlowX (-999 when no slot is
 * eligible): the eligible slot with the largest mean, visiting S, M, L, unless
 * S outnumbers an eligible L by more than 2.5 to 1. */
void chooseCluster(DynStitcher& s, const std::array<ClusterSlot, 3>& slots) {
    auto eligible = [&s](const ClusterSlot& c) {
        if (c.count < s.ST_TRKE_MIN_CLUSTER_POINT) return false;
        if (s.ST_TRKE_closeRangeOnly && c.mean > 0.0f) return false;
        return true;
    };
    s.ST_TRKE_clusterFound = false;
    s.ST_TRKE_MaxFlowX = -999.0f;
    for (const ClusterSlot& c : slots) {
        if (eligible(c) && c.mean > s.ST_TRKE_MaxFlowX) {
            s.ST_TRKE_clusterFound = true;
            s.ST_TRKE_MaxFlowX = c.mean;
        }
    }
    // A clearly dominant near cluster wins over a larger but sparse far one.
    const ClusterSlot& S = slots[0];
    const ClusterSlot& L = slots[2];
    if (eligible(S) && eligible(L) && float(S.count) / float(L.count) > 2.5f) {
        s.ST_TRKE_clusterFound = true;
        s.ST_TRKE_MaxFlowX = S.mean;
    }
}

/* Background-only flow (the motion-aware tracker's static corners): every
 * cluster is background, so the largest mean would only pick the noisiest
 * edge of it, and which points k-means puts together depends on its random
 * start. The flow taken is the median of all trusted points instead (the
 * upper one of an even count); the clustering still runs for its lists and
 * messages. */
void chooseBackgroundFlow(DynStitcher& s, std::vector<float> flowX) {
    const size_t mid = flowX.size() / 2;
    std::nth_element(flowX.begin(), flowX.begin() + long(mid), flowX.end());
    s.ST_TRKE_clusterFound = true;
    s.ST_TRKE_MaxFlowX = flowX[mid];
}

}  // namespace

/*
 * Decision half of the tracker. On entry ST_TRKE_prevPts/ST_TRKE_nextPts/
 * ST_TRKE_status hold the forward-tracked points (compacted, status all
 * non-zero), backPts/LR_status the result of tracking ST_TRKE_nextPts back
 * into the left strip (empty when no point was left). Runs the left-right
 * check, the repeat-pattern and evidence tests and the flow clustering, and
 * returns the tracker's status code.
 */
int zelvo::evaluateTrackedPoints(DynStitcher& s, const std::vector<cv::Point2f>& backPts,
                                 std::vector<uchar>& LR_status, bool backgroundOnly) {
    const bool verbose = (dbg_enable == 1);
    const std::pair<int, int> counts = checkRoundTrip(s, backPts, LR_status, verbose);
    const std::vector<float> flowX = trustedFlowX(s);
    const int tracked_count = int(flowX.size());
    const float share = repeatPatternShare(s, counts.first, counts.second, verbose);
    const int evidence = checkEvidence(s, tracked_count, share, verbose);
    if (evidence != 0) return evidence;

    const std::array<ClusterSlot, 3> slots = clusterFlow(s, flowX);
    if (verbose) {
        printf("Average flow X. S: %.3f (%d)\tM: %.3f (%d)\tL: %.3f (%d)\n", double(slots[0].mean),
               slots[0].count, double(slots[1].mean), slots[1].count, double(slots[2].mean),
               slots[2].count);
        printf("ST_TRKE_closeRangeOnly = %d\n", int(s.ST_TRKE_closeRangeOnly));
    }
    if (backgroundOnly)
        chooseBackgroundFlow(s, flowX);
    else
        chooseCluster(s, slots);

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
        return boundTo(int(roundf(flow)), minX, maxX);

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
    const int t = boundTo(int(roundf(v * 0.5f)), minX, maxX);
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
    // decideShifting appends before it smooths, so an empty history only
    // comes from a host calling this directly: it smooths to 0.
    if (n == 0 && L > 0) return 0;
    int ret;
    if (n < L) {
        ret = h.back();
    } else {
        // Only five weights exist: a longer history weighs its five newest
        // of the first L entries, the newest of them heaviest.
        const int first = std::max(L - kHistoryWeightCount, 0);
        float sum = 0.0f;
        for (int k = first; k < L; ++k) sum += float(h[size_t(k)] * kHistoryWeights[k - first]);
        ret = int(sum / 9.0f);
    }
    if (dbg_enable != 0 && !h.empty())
        printf("temporalWeightedAvg(): last_v = %d, ret_v = %d \r\n", h.back(), ret);
    return ret;
}

int DynStitcher::decideShifting(int overlapIdx, int* overlap_shift_value, int dbg) {
    int& frameNo = zelvo::shiftingCounter();
    dbg_enable = dbg;
    if (dbg == 1)
        printf(
            "decideShifting(): frameNo=%d, overlap_id= %d, ST_TRKE_convergingLutTranslationX = "
            "%d\n",
            frameNo, overlapIdx, ST_TRKE_convergingLutTranslationX ? 1 : 0);

    const int v =
        boundTo(int(roundf(float(ST_TRKE_tgtLutTranslationX) * ST_TRKE_tgtLutTranslationScale)),
                ST_TRKE_minLutTranslationX, ST_TRKE_maxLutTranslationX);
    if (int(ST_TRKE_lutTranslationXHistory.size()) >= ST_TRKE_historyLength &&
        !ST_TRKE_lutTranslationXHistory.empty())
        ST_TRKE_lutTranslationXHistory.pop_front();
    ST_TRKE_lutTranslationXHistory.push_back(v);

    const int effectiveOffsetX = temporalWeightedAvg();
    if (dbg_enable == 1)
        printf(
            "decideShifting(): ST_TRKE_tgtLutTranslationX = %d, current effectiveOffsetX = %d, "
            "ST_TRKE_curLutTranslationX=%d\n",
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
            ST_TRKE_curLutTranslationX =
                boundTo(ST_TRKE_curLutTranslationX + step, ST_TRKE_minLutTranslationX,
                        ST_TRKE_maxLutTranslationX);
            ST_TRKE_appliedShiftX += float(step);
        } else {
            ST_TRKE_curLutTranslationX =
                boundTo(ST_TRKE_curLutTranslationX - step, ST_TRKE_minLutTranslationX,
                        ST_TRKE_maxLutTranslationX);
            ST_TRKE_appliedShiftX -= float(step);
        }
        const int shift_value = ST_TRKE_curLutTranslationX * cellWidth;
        overlap_shift_value[overlapIdx + 1] = shift_value;
        if (dbg_enable == 1)
            printf(
                "Stepped. Now ST_TRKE_curLutTranslationX = %d, shift_value = %d, "
                "overlap_shift_value[%d] = %d\n",
                ST_TRKE_curLutTranslationX, shift_value, overlapIdx + 1,
                overlap_shift_value[overlapIdx + 1]);
    }

    zelvo::advanceCounter(frameNo);
    return 0;
}
