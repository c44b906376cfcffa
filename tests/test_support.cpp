#include "test_support.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <iostream>
#include <sstream>
#include <unistd.h>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "zelvo_stitch.h"

namespace zt {

StdoutCapture::StdoutCapture() {
    fflush(stdout);
    std::cout.flush();
    char tmpl[] = "/tmp/zelvo_capture_XXXXXX";
    const int fd = mkstemp(tmpl);
    path_ = tmpl;
    saved_fd_ = dup(1);
    dup2(fd, 1);
    close(fd);
}

std::string StdoutCapture::take() {
    if (done_) return {};
    fflush(stdout);
    std::cout.flush();
    dup2(saved_fd_, 1);
    close(saved_fd_);
    done_ = true;
    FILE* f = fopen(path_.c_str(), "rb");
    std::string out;
    if (f) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
        fclose(f);
    }
    unlink(path_.c_str());
    return out;
}

StdoutCapture::~StdoutCapture() { take(); }

std::string sample_frame_path(int index) {
    char name[32];
    snprintf(name, sizeof name, "/vtest/frame_%03d.jpg", index);
    return std::string(ZELVO_SAMPLES_DIR) + name;
}

cv::Mat sample_gray(int index) {
    cv::Mat img = cv::imread(sample_frame_path(index), cv::IMREAD_GRAYSCALE);
    EXPECT_FALSE(img.empty()) << "missing sample " << sample_frame_path(index);
    return img;
}

std::unique_ptr<DynStitcher> quiet_stitcher(int cellWidth, int overlapId) {
    StdoutCapture quiet;
    return std::unique_ptr<DynStitcher>(new DynStitcher(
        0, 0, 640, 480, 320, 1, 100.0f, 0.0f, 0.0f, 0, nullptr, nullptr, 1, 10, 9, 9, nullptr,
        nullptr, overlapId, 40, 30, cellWidth, 4));
}

namespace {
// Source index and weight of the upper neighbour for output position x.
int source_of(int x, int outSize, int inSize, double& weight) {
    const double f = std::min(std::max((x + 0.5) * inSize / outSize - 0.5, 0.0), double(inSize - 1));
    const int i = std::min(int(f), std::max(inSize - 2, 0));
    weight = f - i;
    return i;
}
}  // namespace

void expect_bilinear_upscale(const cv::Mat& full, const cv::Mat& small) {
    int bad = 0;
    for (int y = 0; y < full.rows; ++y) {
        double wy, wx;
        const int sy = source_of(y, full.rows, small.rows, wy), sy1 = std::min(sy + 1, small.rows - 1);
        const uint8_t *a = small.ptr<uint8_t>(sy), *b = small.ptr<uint8_t>(sy1), *out = full.ptr<uint8_t>(y);
        for (int x = 0; x < full.cols; ++x) {
            const int sx = source_of(x, full.cols, small.cols, wx), sx1 = std::min(sx + 1, small.cols - 1);
            const double top = a[sx] + wx * (a[sx1] - a[sx]), bottom = b[sx] + wx * (b[sx1] - b[sx]);
            bad += std::abs(out[x] - (top + wy * (bottom - top))) > 1.0;
        }
    }
    EXPECT_EQ(bad, 0) << "pixels off the bilinear scaling of the mask";
}

bool dump_dir_writable() { return access("/var/run", W_OK) == 0; }

}  // namespace zt
