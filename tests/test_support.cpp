#include "test_support.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <unistd.h>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace zt {

StdoutCapture::StdoutCapture() : file_(std::tmpfile()), saved_fd_(dup(1)) {
    std::cout.flush();
    fflush(stdout);
    dup2(fileno(file_), 1);
}

std::string StdoutCapture::take() {
    if (!file_) return {};
    std::cout.flush();
    fflush(stdout);
    dup2(saved_fd_, 1);
    close(saved_fd_);
    std::string out;
    char buf[4096];
    rewind(file_);
    for (size_t n; (n = fread(buf, 1, sizeof buf, file_)) > 0;) out.append(buf, n);
    fclose(file_);
    file_ = nullptr;
    return out;
}

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
    return std::unique_ptr<DynStitcher>(new DynStitcher(0, 0, 640, 480, 320, 1, 100.0f, 0.0f, 0.0f,
                                                        0, nullptr, nullptr, 1, 10, 9, 9, nullptr,
                                                        nullptr, overlapId, 40, 30, cellWidth, 4));
}

void expect_bilinear_upscale(const cv::Mat& full, const cv::Mat& small) {
    // Weights of one axis: output x takes 1 - w of source i and w of source i + 1.
    auto axis = [](int outSize, int inSize) {
        cv::Mat m = cv::Mat::zeros(outSize, inSize, CV_64F);
        for (int x = 0; x < outSize; ++x) {
            const double f =
                std::min(std::max((x + 0.5) * inSize / outSize - 0.5, 0.0), double(inSize - 1));
            const int i = std::min(int(f), std::max(inSize - 2, 0));
            m.at<double>(x, i) += 1.0 - (f - i);
            m.at<double>(x, std::min(i + 1, inSize - 1)) += f - i;
        }
        return m;
    };
    cv::Mat s, f;
    small.convertTo(s, CV_64F);
    full.convertTo(f, CV_64F);
    const cv::Mat expected = axis(full.rows, small.rows) * s * axis(full.cols, small.cols).t();
    EXPECT_EQ(cv::countNonZero(cv::abs(f - expected) > 1.0), 0)
        << "pixels off the bilinear scaling of the mask";
}

bool dump_dir_writable() { return access("/var/run", W_OK) == 0; }

namespace {
constexpr int kCells = 4, kBlocks = 4, kLutGrid = 9, kFootage = 25;
constexpr int kMdCols = RigHost::kWidth / 16, kMdRows = RigHost::kHeight / 16;
constexpr int kMisalign[RigHost::kOverlaps] = {-6, 4, 8, -3};  // pixels, right strip vs left

// Synthetic footage (no image decoding, so the thread test sees no codec
// library): blurred noise, corners everywhere, scrolling 3 pixels a frame.
const std::vector<cv::Mat>& footage() {
    static const std::vector<cv::Mat> frames = [] {
        cv::Mat base(RigHost::kHeight, 768 + 3 * kFootage, CV_8UC1);
        cv::RNG(12345).fill(base, cv::RNG::UNIFORM, 0, 256);
        cv::GaussianBlur(base, base, cv::Size(0, 0), 2.0);
        cv::normalize(base, base, 0, 255, cv::NORM_MINMAX);
        std::vector<cv::Mat> v;
        for (int k = 0; k < kFootage; ++k)
            v.push_back(base(cv::Rect(3 * k, 0, 768, RigHost::kHeight)).clone());
        return v;
    }();
    return frames;
}
}  // namespace

RigHost::RigHost() {
    footage();
    for (int r = 0; r < kLutGrid; ++r)  // anchors spread evenly over the motion grid
        for (int c = 0; c < kLutGrid; ++c)
            lut_.push_back(zelvo_host::lut_word(r * (kMdRows - 1) / (kLutGrid - 1),
                                                c * (kMdCols - 1) / (kLutGrid - 1)));
    zelvo_stitch_set_dbg_out(0);
    zelvo_stitch_init(kLutGrid, kBlocks, 0, 0, 1, 1);
    info.img_num = kCameras, info.md_width = kWidth, info.md_height = kHeight;
    for (int i = 0; i < kOverlaps; ++i)
        info.strip_width[i] = kOverlap, info.strip_height[i] = kHeight;
    info.strip_buf_width = zelvo_host::strip_buffer_width(info.strip_width, kOverlaps);
    strip_.assign(size_t(kHeight) * info.strip_buf_width, 0);
    info.strip_buf_addr = uint64_t(uintptr_t(strip_.data()));
    for (int c = 0; c < kCameras; ++c) {
        bitmaps_[c].assign(zelvo_host::md_bitmap_bytes(kWidth, kHeight), 0);
        info.md_addr[c] = uint64_t(uintptr_t(bitmaps_[c].data()));
    }
    for (int i = 0; i < kOverlaps; ++i) {
        fusion[i].assign(zelvo_host::fusion_map_bytes(kHeight, kOverlap), 0);
        create(i);
    }
}

RigHost::~RigHost() {
    for (DynStitcher*& s : stitchers) destroy_dynstitcher(&s);
    zelvo_stitch_uninit();
}

void RigHost::create(int i) {
    static float thresholds[] = {0.02f, 0.1f}, incs[] = {1.0f, -1.0f};
    destroy_dynstitcher(&stitchers[i]);
    StdoutCapture quiet;
    stitchers[i] = create_dynstitcher(0, 0, kWidth, kHeight, kOverlap, kBlocks, 50.0f, -50.0f, 0.0f,
                                      2, thresholds, incs, 1, 30, kLutGrid, kLutGrid, lut_.data(),
                                      lut_.data(), i, kMdCols, kMdRows, kCells, kCells);
}

void RigHost::setup(int i) {
    setup_dynstitcher(stitchers[i], 0, (unsigned long)(uintptr_t)fusion[i].data());
}

void RigHost::fill(int frame) {
    const cv::Mat& g = footage()[size_t(frame % kFootage)];
    cv::Mat buf(kHeight, int(info.strip_buf_width), CV_8UC1, strip_.data());
    for (int i = 0; i < kOverlaps; ++i)
        for (int side = 0; side < 2; ++side)  // the left strip, then the misaligned right one
            g(cv::Rect(60 + 170 * i + side * kMisalign[i], 0, kOverlap, kHeight))
                .copyTo(buf(cv::Rect(int(side ? zelvo_host::strip_right_x(info.strip_width, i)
                                              : zelvo_host::strip_left_x(info.strip_width, i)),
                                     0, kOverlap, kHeight)));
    // About one block in four moving, different per frame and camera.
    cv::RNG rng(uint64_t(frame) * 977 + 1);
    for (auto& bitmap : bitmaps_)
        for (uint8_t& b : bitmap) b = uint8_t(rng.next() & rng.next());
}

void RigHost::frameCall() { zelvo_stitch_process(stitchers, &info); }

void RigHost::seam(int i) {
    stitchers[i]->process(motionMap(i), motionMap(i + 1));
    stitchers[i]->copyTo_dre_fusion_map();
}

}  // namespace zt
