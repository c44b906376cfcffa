// Shared helpers of the test suite.
#ifndef ZELVO_TEST_SUPPORT_H
#define ZELVO_TEST_SUPPORT_H

#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "zelvo_stitch.h"

namespace zt {

// Captures everything written to the process's standard output (file
// descriptor 1, so printf and std::cout alike) between construction and
// take(). Flushes both C and C++ streams at both ends.
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    std::string take();  // stops capturing and returns the bytes

private:
    int saved_fd_ = -1;
    std::string path_;
    bool done_ = false;
};

// Path of a bundled sample frame (0..99) of samples/vtest.
std::string sample_frame_path(int index);

// A bundled sample frame as 8-bit grey (CV_8UC1); fails the test if missing.
cv::Mat sample_gray(int index);

// A stitcher of one overlap for unit tests (640 x 480 images, mask grid 40 x 30
// motion cells, cells cellWidth x 4, so shift bounds +-32/cellWidth), built
// with its construction messages swallowed.
std::unique_ptr<DynStitcher> quiet_stitcher(int cellWidth = 4, int overlapId = 0);

// Checks that `full` is `small` scaled up bilinearly (pixel centres aligned,
// edges replicated), within the 1 grey level that fixed-point weights may cost.
void expect_bilinear_upscale(const cv::Mat& full, const cv::Mat& small);

// Whether the tracker's debug dumps can land in /var/run (they need root on
// most machines); the dump tests skip with a message otherwise.
bool dump_dir_writable();
#define ZT_SKIP_WITHOUT_DUMP_DIR() \
    if (!zt::dump_dir_writable())  \
    GTEST_SKIP() << "/var/run is not writable: debug dumps not checked"

// The host side of a rig of five 320 x 240 cameras (four overlaps of 64
// columns, 4 x 4-pixel cells, four mask blocks, a 20 x 15 motion grid), as a
// device host drives it: the library initialised on construction (reset mask
// off, mask blocks on), stitchers created, and released on destruction.
// Strips come from synthetic footage with a different misalignment per
// overlap; motion bitmaps are seeded per frame and camera, so every run of
// the same frames sees the same input.
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
