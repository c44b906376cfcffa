// End to end on the shift path: a host with three cameras cut from real
// footage, whose right neighbours are mounted off by a known number of
// pixels, applies every shift the library writes back to its sampling of the
// right image and must see each overlap's shift settle on the displacement.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "test_support.h"
#include "zelvo_stitch.h"

namespace {

constexpr int kW = 320, kH = 576, kOverlap = 256, kCell = 4, kGrid = 9;

// Camera k starts at source column 40 + k * (kW - kOverlap) + mount[k]; a
// feature then shows in overlap i's right strip mount[i] - mount[i + 1]
// pixels further right than in its left strip.
void run_rig(const int (&mount)[3], int firstFrame) {
    zelvo_stitch_set_dbg_out(0);
    zelvo_stitch_init(kGrid, 2, 0, 0, 1, 1);
    std::vector<uint32_t> lut(kGrid * kGrid, 0);
    std::vector<uint8_t> fusion[2] = {std::vector<uint8_t>(kH * kOverlap),
                                      std::vector<uint8_t>(kH * kOverlap)};
    std::vector<DynStitcher*> stitchers;
    {
        zt::StdoutCapture quiet;
        for (int i = 0; i < 2; ++i) {
            stitchers.push_back(create_dynstitcher(
                0, 0, kW, kH, kOverlap, 2, 100.0f, 0.0f, 0.0f, 0, nullptr, nullptr, 1, 10, kGrid,
                kGrid, lut.data(), lut.data(), i, (kW + 15) / 16, (kH + 15) / 16, kCell, kCell));
            setup_dynstitcher(stitchers[i], 0, reinterpret_cast<unsigned long>(fusion[i].data()));
        }
    }
    cv::Mat strips(kH, 4 * kOverlap, CV_8UC1, cv::Scalar(0));
    std::vector<uint8_t> motion(3 * 36 * 4, 0);
    _ZELVO_STITCH_INFO info{};
    info.img_num = 3;
    info.strip_buf_addr = reinterpret_cast<uintptr_t>(strips.data);
    info.strip_buf_width = uint32_t(strips.cols);
    info.strip_width[0] = info.strip_width[1] = kOverlap;
    info.strip_height[0] = info.strip_height[1] = kH;
    info.md_width = kW;
    info.md_height = kH;
    for (int k = 0; k < 3; ++k) info.md_addr[k] = reinterpret_cast<uintptr_t>(&motion[k * 144]);
    Zelvo_Stitch_Shift_Every_N_Frames = 0;

    auto strip = [&](int k) { return strips.colRange(k * kOverlap, (k + 1) * kOverlap); };
    std::string trace[2];
    int settled[2] = {-1, -1};  // first frame from which the shift stays within a cell
    for (int f = 0; f < 30; ++f) {
        const cv::Mat source = zt::sample_gray((firstFrame + f) % 100);
        for (int i = 0; i < 2; ++i) {
            const int left = 40 + i * (kW - kOverlap) + mount[i] + kW - kOverlap;
            const int right = 40 + (i + 1) * (kW - kOverlap) + mount[i + 1] +
                              info.overlap_shift_value[i + 1];
            ASSERT_TRUE(right >= 0 && right + kOverlap <= source.cols) << right;
            source.colRange(left, left + kOverlap).copyTo(strip(2 * i));
            source.colRange(right, right + kOverlap).copyTo(strip(2 * i + 1));
        }
        zelvo_stitch_process(stitchers.data(), &info);
        for (int i = 0; i < 2; ++i) {
            const int shift = info.overlap_shift_value[i + 1];
            trace[i] += std::to_string(shift) + " ";
            const bool within = std::abs(shift - (mount[i] - mount[i + 1])) <= kCell;
            if (!within) settled[i] = -1;
            else if (settled[i] < 0) settled[i] = f;
        }
    }
    for (int i = 0; i < 2; ++i) {
        EXPECT_GE(settled[i], 0) << "overlap " << i << " never settles: " << trace[i];
        EXPECT_LT(settled[i], 20) << "overlap " << i << ": " << trace[i];
    }
    for (DynStitcher*& s : stitchers) destroy_dynstitcher(&s);
    zelvo_stitch_uninit();
    zelvo_stitch_set_dbg_out(1);
}

}  // namespace

TEST(ShiftEndToEnd, ShiftsSettleOnTheMountingErrors) {
    run_rig({0, -8, 4}, 0);  // truths +8 and -12 pixels
    run_rig({4, -16, -4}, 99);  // +20 and -12, other footage
}
