// The peers' seams (OpenCV's seam finders and a fixed middle seam) on the
// mask grid; see lab.h.
#include <algorithm>

#include <opencv2/imgproc.hpp>
#include <opencv2/stitching/detail/seam_finders.hpp>

#include "lab/lab.h"

namespace zsim {

// Each finder gets the two strips widened by up to half an overlap on their
// outer side (the rest of each camera image), placed so that they overlap
// exactly on the strips: it searches the region the library's flood works on.
PeerSeams::PeerSeams(int camWidth, int overlap, int height, int cellW, int cellH)
    : camW_(camWidth),
      overlap_(overlap),
      height_(height),
      cols_(overlap / cellW),
      rows_(height / cellH) {
    margin_ = std::min(cols_ / 2, (camWidth - overlap) / cellW);
}

void PeerSeams::find(int method, const cv::Mat& leftCam, const cv::Mat& rightCam, cv::Mat& fusion) {
    cv::Mat grid(rows_, cols_, CV_8UC1, cv::Scalar(0));
    if (method == kMiddle) {
        grid.colRange(0, cols_ / 2).setTo(255);
    } else {
        const int cell = overlap_ / cols_, wide = overlap_ + margin_ * cell;
        const cv::Mat src[2] = {leftCam.colRange(camW_ - wide, camW_), rightCam.colRange(0, wide)};
        std::vector<cv::UMat> imgs(2), masks(2);
        for (int i = 0; i < 2; ++i) {
            cv::Mat small, f32;
            cv::resize(src[i], small, cv::Size(cols_ + margin_, rows_), 0, 0, cv::INTER_NEAREST);
            small.convertTo(f32, CV_32FC3);
            f32.copyTo(imgs[i]);
            masks[i].create(small.size(), CV_8UC1);
            masks[i].setTo(cv::Scalar(255));
        }
        cv::Ptr<cv::detail::SeamFinder> finder;
        if (method == kVoronoi) finder = cv::makePtr<cv::detail::VoronoiSeamFinder>();
        if (method == kDp)
            finder = cv::makePtr<cv::detail::DpSeamFinder>(cv::detail::DpSeamFinder::COLOR_GRAD);
        if (method == kGraphCut)
            finder = cv::makePtr<cv::detail::GraphCutSeamFinder>(
                cv::detail::GraphCutSeamFinderBase::COST_COLOR_GRAD);
        CV_Assert(finder);
        finder->find(imgs, {{0, 0}, {margin_, 0}}, masks);
        masks[0].getMat(cv::ACCESS_READ).colRange(margin_, margin_ + cols_).copyTo(grid);
    }
    cv::resize(grid, fusion, cv::Size(overlap_, height_), 0, 0, cv::INTER_LINEAR);
}

}  // namespace zsim
