// Shared helpers of the test suite.
#ifndef ZELVO_TEST_SUPPORT_H
#define ZELVO_TEST_SUPPORT_H

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "zelvo_stitch_host.h"

namespace zt {

// Captures file descriptor 1 (printf and std::cout) until take().
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture() { take(); }
    std::string take();

private:
    FILE* file_ = nullptr;
    int saved_fd_ = -1;
};

// A bundled sample frame (0..99) of samples/vtest: path, and CV_8UC1 grey.
std::string sample_frame_path(int index);
cv::Mat sample_gray(int index);

// A quiet stitcher: 640 x 480, 40 x 30 motion grid, cells cellWidth x 4.
std::unique_ptr<DynStitcher> quiet_stitcher(int cellWidth = 4, int overlapId = 0);

// `full` is `small` scaled up bilinearly (centres aligned, edges replicated) within 1.
void expect_bilinear_upscale(const cv::Mat& full, const cv::Mat& small);

// The tracker's debug dumps need a writable /var/run; their tests skip otherwise.
bool dump_dir_writable();
#define ZT_SKIP_WITHOUT_DUMP_DIR() \
    if (!zt::dump_dir_writable())  \
    GTEST_SKIP() << "/var/run is not writable: debug dumps not checked"

// Host of five 320 x 240 cameras (overlaps of 64 columns, 4 x 4-pixel cells, four mask
// blocks, 20 x 15 motion grid) holding the library and its stitchers; synthetic strips
// misaligned per overlap, bitmaps seeded per frame.
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
