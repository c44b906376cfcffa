// End to end on the shift path: a host with three cameras whose right
// neighbours are mounted off by a known number of pixels feeds its strips
// frame after frame, applies every shift the library writes back, and must
// see each overlap's shift settle on the true displacement.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include <opencv2/core.hpp>

#include "test_support.h"
#include "zelvo_stitch.h"

namespace {

constexpr int kImages = 3;
constexpr int kImgWidth = 320, kImgHeight = 576, kOverlap = 256;
constexpr int kCell = 4;
constexpr int kLutGrid = 9;
constexpr int kMargin = 32;  // the largest shift the library may ask for, pixels

// A synthetic camera rig cut from real footage, one frame at a time. Camera k ideally starts at
// source column kOrigin + k * (kImgWidth - kOverlap); its mounting error
// mount[k] moves it along. A feature then appears in overlap i's right strip
// mount[i] - mount[i + 1] pixels further right than in its left strip: that
// is the shift the host has to apply to its sampling of the right image.
struct Host {
    static constexpr int kOrigin = 40;
    int mount[kImages];
    int firstFrame;

    int cameraStart(int k) const { return kOrigin + k * (kImgWidth - kOverlap) + mount[k]; }
    int truth(int overlap) const { return mount[overlap] - mount[overlap + 1]; }

    // Fills the strip buffer: overlap i's left strip is the last kOverlap
    // columns of camera i; its right strip the first kOverlap columns of
    // camera i + 1, sampled `shift[i]` pixels further right.
    void fillStrips(int frame, cv::Mat& buffer, const int* shift) const {
        const cv::Mat source = zt::sample_gray((firstFrame + frame) % 100);
        for (int i = 0; i + 1 < kImages; ++i) {
            const int leftSrc = cameraStart(i) + kImgWidth - kOverlap;
            const int rightSrc = cameraStart(i + 1) + shift[i];
            ASSERT_GE(rightSrc, 0);
            ASSERT_LE(rightSrc + kOverlap, source.cols);
            source(cv::Rect(leftSrc, 0, kOverlap, kImgHeight))
                .copyTo(buffer(cv::Rect(2 * i * kOverlap, 0, kOverlap, kImgHeight)));
            source(cv::Rect(rightSrc, 0, kOverlap, kImgHeight))
                .copyTo(buffer(cv::Rect((2 * i + 1) * kOverlap, 0, kOverlap, kImgHeight)));
        }
    }
};

// Runs `frames` frames and returns, per frame, the shift of each overlap.
std::vector<std::vector<int>> run_rig(const Host& host, int frames) {
    zelvo_stitch_set_dbg_out(0);
    zelvo_stitch_init(kLutGrid, 2, 0, 0, 1, 1);

    std::vector<uint32_t> lut(kLutGrid * kLutGrid, 0);  // every anchor at motion cell (0, 0)
    std::vector<std::vector<uint8_t>> fusion(kImages - 1,
                                             std::vector<uint8_t>(kImgHeight * kOverlap));
    std::vector<DynStitcher*> stitchers;
    {
        zt::StdoutCapture quiet;
        for (int i = 0; i + 1 < kImages; ++i) {
            DynStitcher* s = create_dynstitcher(
                0, 0, kImgWidth, kImgHeight, kOverlap, 2, 100.0f, 0.0f, 0.0f, 0, nullptr, nullptr,
                1, 10, kLutGrid, kLutGrid, lut.data(), lut.data(), i, (kImgWidth + 15) / 16,
                (kImgHeight + 15) / 16, kCell, kCell);
            setup_dynstitcher(s, 0, reinterpret_cast<unsigned long>(fusion[i].data()));
            stitchers.push_back(s);
        }
    }

    cv::Mat strips(kImgHeight, 2 * (kImages - 1) * kOverlap, CV_8UC1, cv::Scalar(0));
    std::vector<std::vector<uint8_t>> motion(kImages, std::vector<uint8_t>(36 * 4, 0));
    _ZELVO_STITCH_INFO info{};
    info.img_num = kImages;
    info.strip_buf_addr = reinterpret_cast<uintptr_t>(strips.data);
    info.strip_buf_width = uint32_t(strips.cols);
    for (int i = 0; i + 1 < kImages; ++i) {
        info.strip_width[i] = kOverlap;
        info.strip_height[i] = kImgHeight;
    }
    info.md_width = kImgWidth;
    info.md_height = kImgHeight;
    for (int k = 0; k < kImages; ++k) info.md_addr[k] = reinterpret_cast<uintptr_t>(motion[k].data());
    Zelvo_Stitch_Shift_Every_N_Frames = 0;

    std::vector<std::vector<int>> trace;
    for (int f = 0; f < frames; ++f) {
        int applied[kImages - 1];
        for (int i = 0; i + 1 < kImages; ++i) applied[i] = info.overlap_shift_value[i + 1];
        host.fillStrips(f, strips, applied);
        if (::testing::Test::HasFatalFailure()) break;
        zelvo_stitch_process(stitchers.data(), &info);
        std::vector<int> now;
        for (int i = 0; i + 1 < kImages; ++i) {
            now.push_back(info.overlap_shift_value[i + 1]);
            EXPECT_LE(std::abs(now.back()), kMargin);
            EXPECT_EQ(now.back() % kCell, 0);
        }
        trace.push_back(now);
    }

    for (DynStitcher*& s : stitchers) destroy_dynstitcher(&s);
    zelvo_stitch_uninit();
    zelvo_stitch_set_dbg_out(1);
    return trace;
}

void expect_settles(const Host& host, int frames, int settleBy) {
    const auto trace = run_rig(host, frames);
    ASSERT_EQ(int(trace.size()), frames);
    for (int i = 0; i + 1 < kImages; ++i) {
        int settled = -1;  // first frame from which the shift stays within a cell
        for (int f = frames - 1; f >= 0; --f) {
            if (std::abs(trace[f][i] - host.truth(i)) > kCell) break;
            settled = f;
        }
        std::string seq;
        for (const auto& row : trace) seq += std::to_string(row[i]) + " ";
        EXPECT_NE(settled, -1) << "overlap " << i << " never settles: " << seq;
        EXPECT_LT(settled, settleBy) << "overlap " << i << ": " << seq;
    }
}

}  // namespace

TEST(ShiftEndToEnd, ShiftsSettleOnTheMountingErrors) {
    Host host{{0, -8, 4}, 0};  // truths +8 and -12 pixels
    ASSERT_EQ(host.truth(0), 8);
    ASSERT_EQ(host.truth(1), -12);
    expect_settles(host, 30, 20);
}

TEST(ShiftEndToEnd, OtherFramesAndDisplacements) {
    const struct {
        int frame;
        int mount[kImages];
    } rigs[] = {
        {40, {0, 12, 0}},    // -12 and +12
        {80, {0, 0, -20}},   // 0 and +20
        {99, {4, -16, -4}},  // +20 and -12
    };
    for (const auto& r : rigs) {
        Host host{{r.mount[0], r.mount[1], r.mount[2]}, r.frame};
        SCOPED_TRACE(r.frame);
        expect_settles(host, 30, 20);
    }
}
