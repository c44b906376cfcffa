// Residual misalignment of an overlap's static background; see align.h.
#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "align/align.h"
#include "zelvo_stitch_host.h"

namespace zsim {

namespace {

constexpr int kMotionBlock = zelvo_host::kMotionBlockPx;
constexpr int kPatch = 32;            // px, square
constexpr int kGrid = 32;             // px between patch origins, both ways
constexpr double kMinTexture = 3.0;   // mean |horizontal step| in the patch, grey levels
constexpr double kMinPeak = 0.8;      // normalised cross-correlation of an accepted match
constexpr double kPeakMargin = 0.05;  // over any score 4 px or more away from the peak
constexpr int kMinPatches = 6;        // fewer measured patches: no answer
constexpr int kMaxPatches = 512;      // more: rows of patches skipped evenly (wide footage)

int floorDiv(int a, int b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

// No motion in the blocks under camera columns [x0, x1) and rows [y0, y1),
// nor in the blocks around them (the map is block-coarse and one frame old).
bool still(const CameraView& v, int x0, int x1, int y0, int y1) {
    if (v.motion.empty()) return true;
    const int c0 = std::max(floorDiv(x0 + v.motionX, kMotionBlock) - 1, 0);
    const int c1 = std::min(floorDiv(x1 - 1 + v.motionX, kMotionBlock) + 1, v.motion.cols - 1);
    const int r0 = std::max(y0 / kMotionBlock - 1, 0);
    const int r1 = std::min((y1 - 1) / kMotionBlock + 1, v.motion.rows - 1);
    for (int r = r0; r <= r1; ++r)
        for (int c = c0; c <= c1; ++c)
            if (v.motion.at<uint8_t>(r, c)) return false;
    return true;
}

// Mean |p(x + 1) - p(x)| over the patch: flat or vertically striped patches
// cannot tell a horizontal offset.
double horizontalTexture(const cv::Mat& patch) {
    cv::Mat step;
    cv::absdiff(patch.colRange(1, patch.cols), patch.colRange(0, patch.cols - 1), step);
    return cv::mean(step)[0];
}

// Offset (right column minus left strip column) of one patch, to a fraction of
// a pixel; NaN when the match is weak, ambiguous or at the end of the reach.
double matchPatch(const cv::Mat& patch, const cv::Mat& rightRows, int u, cv::Mat& scores, int& at) {
    const int x0 = std::max(0, u - kResidualReach);
    const int x1 = std::min(rightRows.cols - kPatch, u + kResidualReach);
    const double none = std::numeric_limits<double>::quiet_NaN();
    if (x1 - x0 < 2) return none;
    cv::matchTemplate(rightRows.colRange(x0, x1 + kPatch), patch, scores, cv::TM_CCOEFF_NORMED);
    const float* s = scores.ptr<float>(0);
    const int n = scores.cols;
    const int k = int(std::max_element(s, s + n) - s);
    if (s[k] < kMinPeak || k == 0 || k == n - 1) return none;
    for (int j = 0; j < n; ++j)
        if (std::abs(j - k) >= 4 && s[j] > s[k] - kPeakMargin) return none;
    // Vertex of the parabola through the peak and its two neighbours.
    const double den = s[k - 1] - 2.0 * s[k] + s[k + 1];
    const double sub = den < 0 ? 0.5 * (s[k - 1] - s[k + 1]) / den : 0.0;
    at = x0 + k;
    return x0 + k + sub - u;
}

}  // namespace

double residualMisalignment(const CameraView& left, const CameraView& right, int overlap) {
    CV_Assert(left.grey.type() == CV_8UC1 && right.grey.size() == left.grey.size());
    const int w = left.grey.cols, h = left.grey.rows, strip0 = w - overlap;
    std::vector<double> offsets;
    cv::Mat scores;
    const int rows = h / kGrid, cols = overlap / kGrid;
    const int rowStep = kGrid * std::max(1, (rows * cols + kMaxPatches - 1) / kMaxPatches);
    for (int y = 0; y + kPatch <= h; y += rowStep)
        for (int u = 0; u + kPatch <= overlap; u += kGrid) {
            const int lx = strip0 + u;
            if (!still(left, lx, lx + kPatch, y, y + kPatch)) continue;
            const cv::Mat patch = left.grey(cv::Rect(lx, y, kPatch, kPatch));
            if (horizontalTexture(patch) < kMinTexture) continue;
            int at = 0;
            const double dx = matchPatch(patch, right.grey.rowRange(y, y + kPatch), u, scores, at);
            if (std::isfinite(dx) && still(right, at, at + kPatch, y, y + kPatch))
                offsets.push_back(dx);
        }
    if (int(offsets.size()) < kMinPatches) return std::numeric_limits<double>::quiet_NaN();
    const size_t mid = offsets.size() / 2;
    std::nth_element(offsets.begin(), offsets.begin() + long(mid), offsets.end());
    double median = offsets[mid];
    if (offsets.size() % 2 == 0)
        median = 0.5 * (median + *std::max_element(offsets.begin(), offsets.begin() + long(mid)));
    return median;
}

}  // namespace zsim
