// Shared helpers of the test suite, and its common includes: GoogleTest, OpenCV's image
// processing and codecs, and the library's internal header (the white-box route).
#ifndef ZELVO_TEST_SUPPORT_H
#define ZELVO_TEST_SUPPORT_H

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "zelvo_internal.h"

namespace zt {

// Captures file descriptor 1 (printf and std::cout, flushed) until take(); one at a time.
struct StdoutCapture {
    StdoutCapture() { testing::internal::CaptureStdout(); }
    ~StdoutCapture() { take(); }
    std::string take() {
        return std::exchange(live, false) ? testing::internal::GetCapturedStdout() : "";
    }
    bool live = true;
};

// A bundled sample frame (0..99) of samples/vtest: path, and CV_8UC1 grey.
std::string sample_frame_path(int index);
cv::Mat sample_gray(int index);

// A quiet stitcher: 640 x 480, 40 x 30 motion grid, cells cellWidth x 4.
std::unique_ptr<DynStitcher> quiet_stitcher(int cellWidth = 4, int overlapId = 0);

// A rig host holding the library and its stitchers: cameras of width x height pixels sharing
// `overlap` columns, 4 x 4-pixel cells, four mask blocks, LUT vertices pointing at the motion
// cell under them. fill() plays synthetic strips misaligned per overlap and seeds the bitmaps.
struct RigGeometry {
    int cameras = 5, width = 320, height = 240, overlap = 64, lutGrid = 9;
    bool maskBlocks = true;
};
struct RigHost {
    static constexpr int kOverlaps = 4;  // of the default geometry
    explicit RigHost(const RigGeometry& geometry = {});
    ~RigHost();
    void create(int i);    // (re)creates the stitcher of overlap i
    void setup(int i);     // setup_dynstitcher of overlap i
    void fill(int frame);  // strip buffer and bitmaps of a frame
    void frameCall();      // zelvo_stitch_process over every overlap
    void seam(int i);      // process + copyTo_dre_fusion_map of overlap i
    uint8_t* motionMap(int cam) const {
        return decoded_md_buffer ? decoded_md_buffer[cam] : nullptr;
    }
    cv::Mat strips() {
        return cv::Mat(g.height, int(info.strip_buf_width), CV_8UC1, strip_.data());
    }
    uint8_t* bitmap(int cam) { return bitmaps_[size_t(cam)].data(); }

    const RigGeometry g;
    std::vector<DynStitcher*> stitchers;
    std::vector<std::vector<uint8_t>> fusion;  // imgHeight x overlapWidth bytes each
    ZELVO_STITCH_INFO info{};
    std::vector<uint32_t> lut_;
    std::vector<uint8_t> strip_;
    std::vector<std::vector<uint8_t>> bitmaps_;
};

}  // namespace zt

#endif
