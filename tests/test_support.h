// Shared helpers of the test suite.
#ifndef ZELVO_TEST_SUPPORT_H
#define ZELVO_TEST_SUPPORT_H

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "zelvo_stitch.h"

namespace zt {

// Captures what the process writes to file descriptor 1 (printf and std::cout
// alike) between construction and take(), which stops capturing.
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture() { take(); }
    std::string take();

private:
    FILE* file_ = nullptr;
    int saved_fd_ = -1;
};

// Path of a bundled sample frame (0..99) of samples/vtest, and that frame as
// CV_8UC1 grey (the test fails if it is missing).
std::string sample_frame_path(int index);
cv::Mat sample_gray(int index);

// A stitcher of one overlap (640 x 480 images, 40 x 30 motion grid, cells
// cellWidth x 4, so shift bounds +-32/cellWidth), its construction lines swallowed.
std::unique_ptr<DynStitcher> quiet_stitcher(int cellWidth = 4, int overlapId = 0);

// Checks that `full` is `small` scaled up bilinearly (pixel centres aligned,
// edges replicated), within the 1 grey level that fixed-point weights may cost.
void expect_bilinear_upscale(const cv::Mat& full, const cv::Mat& small);

// The tracker's debug dumps land in /var/run (root on most machines); the dump
// tests skip with a message where it is not writable.
bool dump_dir_writable();
#define ZT_SKIP_WITHOUT_DUMP_DIR() \
    if (!zt::dump_dir_writable())  \
    GTEST_SKIP() << "/var/run is not writable: debug dumps not checked"

// The host side of a rig of five 320 x 240 cameras (four overlaps of 64
// columns, 4 x 4-pixel cells, four mask blocks, a 20 x 15 motion grid): the
// library initialised (reset mask off, mask blocks on) and the stitchers
// created on construction, released on destruction. Strips come from synthetic
// footage misaligned differently per overlap; motion bitmaps are seeded per
// frame, so every run of the same frames sees the same input.
class RigHost {
public:
    static constexpr int kCameras = 5, kOverlaps = kCameras - 1;
    static constexpr int kWidth = 320, kHeight = 240, kOverlap = 64;

    RigHost();
    ~RigHost();
    void create(int i);    // (re)creates the stitcher of overlap i
    void setup(int i);     // setup_dynstitcher of overlap i
    void fill(int frame);  // strip buffer, bitmaps and record of a frame
    void frameCall();      // zelvo_stitch_process over every overlap
    void seam(int i);      // process + copyTo_dre_fusion_map of overlap i
    uint8_t* motionMap(int cam) const {
        return decoded_md_buffer ? decoded_md_buffer[cam] : nullptr;
    }

    DynStitcher* stitchers[kOverlaps] = {};
    std::vector<uint8_t> fusion[kOverlaps];  // imgHeight x overlapWidth bytes each
    ZELVO_STITCH_INFO info{};

private:
    std::vector<uint32_t> lut_;
    std::vector<uint8_t> strip_, bitmaps_[kCameras];
};

}  // namespace zt

#endif
