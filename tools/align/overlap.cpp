// The overlap of a real rig's neighbouring cameras, from their images; see
// align.h.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>

#include "align/align.h"

namespace zsim {

namespace {

constexpr int kFeatures = 3000;       // ORB features per image
constexpr int kMinInliers = 12;       // matches that agree on one displacement
constexpr double kRansacPx = 2.0;     // reprojection error of an inlier
constexpr double kMaxDyPx = 3.0;      // vertical offset a rig may have
constexpr double kMaxAngleDeg = 0.5;  // ~2.5 px across 300 rows
constexpr double kMaxScale = 0.02;    // |scale - 1|

double median(std::vector<double> v) {
    const size_t mid = v.size() / 2;
    std::nth_element(v.begin(), v.begin() + long(mid), v.end());
    return v[mid];
}

std::string fixed(double v, int decimals = 1) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

cv::Mat grey(const cv::Mat& img) {
    if (img.channels() == 1) return img;
    cv::Mat g;
    cv::cvtColor(img, g, cv::COLOR_BGR2GRAY);
    return g;
}

}  // namespace

OverlapFit estimateOverlap(const cv::Mat& left, const cv::Mat& right, int maxOverlap) {
    CV_Assert(left.size() == right.size() && maxOverlap > 0);
    OverlapFit fit;
    const int w = left.cols, h = left.rows, reach = std::min(maxOverlap, w);
    // Features only where an overlap of at most maxOverlap can lie.
    cv::Mat maskL(h, w, CV_8UC1, cv::Scalar(0)), maskR = maskL.clone();
    maskL.colRange(w - reach, w).setTo(255);
    maskR.colRange(0, reach).setTo(255);
    auto orb = cv::ORB::create(kFeatures);
    std::vector<cv::KeyPoint> kl, kr;
    cv::Mat dl, dr;
    orb->detectAndCompute(grey(left), maskL, kl, dl);
    orb->detectAndCompute(grey(right), maskR, kr, dr);
    std::vector<cv::DMatch> matches;
    if (!dl.empty() && !dr.empty()) cv::BFMatcher(cv::NORM_HAMMING, true).match(dl, dr, matches);
    fit.matches = int(matches.size());

    std::vector<cv::Point2f> pl, pr;
    for (const auto& m : matches) {
        pl.push_back(kl[size_t(m.queryIdx)].pt);
        pr.push_back(kr[size_t(m.trainIdx)].pt);
    }
    std::vector<uint8_t> in;
    cv::Mat m;  // right camera point -> left camera point
    if (fit.matches >= kMinInliers)
        m = cv::estimateAffinePartial2D(pr, pl, in, cv::RANSAC, kRansacPx, 2000, 0.995, 10);
    std::vector<double> dx, dy;
    for (size_t k = 0; k < in.size() && !m.empty(); ++k)
        if (in[k]) {
            dx.push_back(pl[k].x - pr[k].x);
            dy.push_back(pl[k].y - pr[k].y);
        }
    fit.inliers = int(dx.size());
    if (fit.inliers < kMinInliers) {
        fit.why = "too few matches: " + std::to_string(fit.inliers) + " of " +
                  std::to_string(fit.matches) +
                  " feature matches agree on one displacement (at least " +
                  std::to_string(kMinInliers) + " needed)";
        return fit;
    }
    const double a = m.at<double>(0, 0), b = m.at<double>(1, 0);
    fit.scale = std::hypot(a, b);
    fit.angleDeg = std::atan2(b, a) * 180.0 / CV_PI;
    fit.dyPx = median(dy);
    fit.overlapPx = w - median(dx);
    if (std::abs(fit.scale - 1) > kMaxScale)
        fit.why = "the images differ in scale by " + fixed(100 * (fit.scale - 1)) + " % (at most " +
                  fixed(100 * kMaxScale) + " % for a horizontal translation)";
    else if (std::abs(fit.angleDeg) > kMaxAngleDeg)
        fit.why = "the images are rotated by " + fixed(fit.angleDeg, 2) + " degrees (at most " +
                  fixed(kMaxAngleDeg) + ")";
    else if (std::abs(fit.dyPx) > kMaxDyPx)
        fit.why = "vertical offset of " + fixed(fit.dyPx) + " px (at most " + fixed(kMaxDyPx) +
                  " px for a horizontal translation)";
    else if (fit.overlapPx < 1 || fit.overlapPx > maxOverlap)
        fit.why = "the matches give an overlap of " + fixed(fit.overlapPx) + " px, outside 1-" +
                  std::to_string(maxOverlap) + " px";
    fit.ok = fit.why.empty();
    return fit;
}

std::string fitOverlapFromImages(RigConfig& rig, const std::vector<cv::Mat>& first, int given,
                                 std::vector<std::string>& notes) {
    const int n = int(first.size()), w = first[0].cols, step = 2 * rig.cellW;
    // Neighbours' overlaps cannot cross in a middle camera; two cameras may
    // share all but one cell pair.
    const int maxOverlap = n > 2 ? w / 2 : w - step;
    std::vector<double> est;
    for (int k = 0; k + 1 < n; ++k) {
        const OverlapFit f = estimateOverlap(first[k], first[k + 1], maxOverlap);
        const std::string pair = "cameras " + std::to_string(k) + " and " + std::to_string(k + 1);
        if (!f.ok && given == 0)
            return pair + " do not overlap as a horizontal translation: " + f.why;
        if (!f.ok) {
            notes.push_back("warning: --overlap " + std::to_string(given) + " not checked for " +
                            pair + ": " + f.why);
            continue;
        }
        notes.push_back(pair + " overlap by " + fixed(f.overlapPx) + " px (" +
                        std::to_string(f.inliers) + " of " + std::to_string(f.matches) +
                        " feature matches agree; vertical offset " + fixed(f.dyPx) +
                        " px, rotation " + fixed(f.angleDeg, 2) + " degrees, scale " +
                        fixed(f.scale, 3) + ")");
        if (given > 0 && std::abs(f.overlapPx - given) > kShiftReach)
            notes.push_back("warning: --overlap " + std::to_string(given) + " but " + pair +
                            " overlap by " + fixed(f.overlapPx) + " px, beyond the library's +-" +
                            std::to_string(kShiftReach) +
                            " px reach: the shift cannot close the difference");
        est.push_back(f.overlapPx);
    }
    if (given > 0) return "";
    // One overlap for the whole rig: the pairs' mean in whole cell pairs; what
    // is left of each pair goes to the host's warp of its right camera.
    double mean = 0;
    for (double e : est) mean += e / double(est.size());
    rig.overlap = std::clamp(int(std::lround(mean / step)) * step, step, maxOverlap / step * step);
    rig.calibrationPx.clear();
    for (int k = 0; k + 1 < n; ++k) {
        const int rest = int(std::lround(est[size_t(k)])) - rig.overlap;
        if (std::abs(rest) > kShiftReach)
            return "cameras " + std::to_string(k) + " and " + std::to_string(k + 1) +
                   " overlap by " + fixed(est[size_t(k)]) + " px but the rig's overlap is " +
                   std::to_string(rig.overlap) +
                   " px (the pairs' mean): one overlap cannot serve "
                   "pairs that differ by more than " +
                   std::to_string(kShiftReach) + " px";
        rig.calibrationPx.push_back(rest);
    }
    return "";
}

}  // namespace zsim
