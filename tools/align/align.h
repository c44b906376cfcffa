// How well neighbouring cameras line up, measured from their images alone
// (no ground truth, nothing of the library's tracker): the residual
// horizontal misalignment of an overlap's static background, and the
// overlap of a real rig's neighbours found by feature matching.
#ifndef ZELVO_SIM_ALIGN_H
#define ZELVO_SIM_ALIGN_H

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "rig/rig_config.h"

namespace zsim {

// One camera as the host blends it: the grey image (shifts applied) and the
// motion map the host passed to the library (one byte per 16 x 16 block,
// nonzero = moving). The map is laid over the sensor image, which sits
// motionX px right of the blended image (camera column x is sensor column
// x + motionX). An empty map marks nothing as moving.
struct CameraView {
    const cv::Mat& grey;
    const cv::Mat& motion;
    int motionX = 0;
};

// Residual horizontal misalignment of the static background in the overlap of
// two neighbouring cameras (the last `overlap` columns of left, the first of
// right), px: positive when the background appears further right in the right
// camera than in the left one, i.e. how far the right camera's sampling must
// still move right. NaN when too few patches could be measured.
//
// Method: 32 x 32 patches of the left strip side by side (at most 512, whole
// rows of patches skipped evenly on wide footage) that have
// horizontal texture and no motion around them are searched in the right
// camera along the row, +-kResidualReach px, by normalised cross-correlation
// (insensitive to the cameras' gain difference); a clear peak in a still part
// of the right camera is refined to a fraction of a pixel by a parabola
// through the peak and its neighbours. The median over the patches ignores a
// minority of movers that stood still (parallax) and of repeated textures.
constexpr int kResidualReach = 64;
double residualMisalignment(const CameraView& left, const CameraView& right, int overlap);

// Overlap of two neighbouring camera images of one size (8-bit, colour or
// grey), from ORB features matched both ways and fitted with a rotation,
// scale and translation (RANSAC). ok is false, with the reason in `why`,
// when the images do not overlap as a horizontal translation: too few
// matches agree, a vertical offset, a rotation or a scale change, or an
// overlap the rig cannot hold (wider than maxOverlap, or none).
struct OverlapFit {
    bool ok = false;
    std::string why;
    double overlapPx = 0;  // camera width minus the inliers' median horizontal offset
    double dyPx = 0;       // inliers' median vertical offset (left minus right)
    double angleDeg = 0, scale = 1;
    int matches = 0, inliers = 0;
};
OverlapFit estimateOverlap(const cv::Mat& left, const cv::Mat& right, int maxOverlap);

// A real rig's overlap from the first image of every camera, left to right.
// Without a given overlap (given 0): every neighbour pair must fit, the rig's
// overlap becomes their mean in whole cell pairs (rig.overlap) and each pair's
// remainder the host's warp of its right camera (rig.calibrationPx). With one
// given, the estimates are only compared with it. Returns "" or the refusal,
// the pair named; notes gets one line per pair and any warning.
std::string fitOverlapFromImages(RigConfig& rig, const std::vector<cv::Mat>& first, int given,
                                 std::vector<std::string>& notes);

}  // namespace zsim

#endif
