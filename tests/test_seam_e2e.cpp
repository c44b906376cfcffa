// The seam path end to end on real footage: a three-camera rig cut from the
// bundled frames, driven through the frame call and `process` with motion maps
// that the library decodes from bitmaps packed by this host.
#include <cstring>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "test_support.h"
#include "zelvo_stitch.h"

namespace {

constexpr int kCams = 3, kW = 320, kO = 96, kH = 576, kLutGrid = 9, kBlocks = 4, kPad = 32;
constexpr int kMdX = (kW + 15) / 16, kMdY = (kH + 15) / 16, kRowBytes = ((kW + 511) / 512) * 4;

// Runs 40 frames; each right camera is off by `displacement` pixels. For every
// frame and overlap, check(stitcher, seam columns before the call) runs after
// `process` and `copyTo_dre_fusion_map`, with the host buffer refilled before.
template <class Check>
void runRig(int libBlocks, bool useMaskBlocks, int displacement, Check check) {
    zelvo_stitch_init(kLutGrid, libBlocks, 0, 0, useMaskBlocks, 1);
    Zelvo_Stitch_Shift_Every_N_Frames = 1 << 30;  // seam path only, after frame 0
    std::vector<uint32_t> lut;  // vertex (c, r) points at the motion cell under it
    for (int r = 0; r < kLutGrid; ++r)
        for (int c = 0; c < kLutGrid; ++c)
            lut.push_back((uint32_t(std::min(r * kH / (kLutGrid - 1) / 16, kMdY - 1)) << 22) |
                          (uint32_t(std::min(c * kW / (kLutGrid - 1) / 16, kMdX - 1)) << 6));
    std::vector<std::vector<uint8_t>> bits(kCams, std::vector<uint8_t>(kMdY * kRowBytes)), fusion(kCams - 1);
    std::vector<cv::Mat> prev(kCams);
    cv::Mat strips(kH, 4 * kO, CV_8UC1);
    DynStitcher* st[kCams - 1];
    _ZELVO_STITCH_INFO info{};
    info.img_num = kCams, info.md_width = kW, info.md_height = kH;
    info.strip_buf_addr = reinterpret_cast<uint64_t>(strips.data), info.strip_buf_width = uint32_t(strips.cols);
    {
        zt::StdoutCapture quiet;
        for (int i = 0; i < kCams - 1; ++i) {
            fusion[size_t(i)].assign(size_t(kH * kO), 0);
            st[i] = create_dynstitcher(0, 0, kW, kH, kO, kBlocks, 10.0f, -10.0f, 0.0f, 0, nullptr, nullptr, 1, 1000,
                                       kLutGrid, kLutGrid, lut.data(), lut.data(), i, kMdX, kMdY, 4, 4);
            setup_dynstitcher(st[i], 0, reinterpret_cast<unsigned long>(fusion[size_t(i)].data()));
            info.strip_width[i] = kO, info.strip_height[i] = kH;
        }
    }
    for (int k = 0; k < kCams; ++k) info.md_addr[k] = reinterpret_cast<uint64_t>(bits[size_t(k)].data());
    for (int f = 0; f < 40; ++f) {
        cv::Mat padded;
        cv::copyMakeBorder(zt::sample_gray(f), padded, 0, 0, kPad, kPad, cv::BORDER_REPLICATE);
        for (int k = 0; k < kCams; ++k) {
            const cv::Mat cam = padded(cv::Rect(kPad + k * (kW - kO + displacement), 0, kW, kH)).clone();
            // One motion bit per 16 x 16 block whose mean frame difference is large.
            std::fill(bits[size_t(k)].begin(), bits[size_t(k)].end(), 0);
            for (int by = 0; by < kMdY && !prev[size_t(k)].empty(); ++by)
                for (int bx = 0; bx < kMdX; ++bx) {
                    const cv::Rect blk(bx * 16, by * 16, std::min(16, kW - bx * 16), std::min(16, kH - by * 16));
                    if (cv::norm(cam(blk), prev[size_t(k)](blk), cv::NORM_L1) > 6.0 * blk.area())
                        bits[size_t(k)][size_t(by * kRowBytes + bx / 8)] |= uint8_t(1u << (bx % 8));
                }
            if (k < kCams - 1) cam.colRange(kW - kO, kW).copyTo(strips.colRange(2 * kO * k, 2 * kO * k + kO));
            if (k > 0) cam.colRange(0, kO).copyTo(strips.colRange(2 * kO * k - kO, 2 * kO * k));
            prev[size_t(k)] = cam;
        }
        zelvo_stitch_process(st, &info);
        for (int i = 0; i < kCams - 1; ++i) {
            SCOPED_TRACE(testing::Message() << "frame " << f << " overlap " << i);
            const std::vector<int> heldBefore = st[i]->rowCrossX;
            st[i]->process(decoded_md_buffer[i], decoded_md_buffer[i + 1]);
            std::fill(fusion[size_t(i)].begin(), fusion[size_t(i)].end(), uint8_t(77));
            st[i]->copyTo_dre_fusion_map();
            cv::Mat expected;
            cv::resize(st[i]->currMask, expected, cv::Size(kO, kH), 0, 0, cv::INTER_LINEAR);
            ASSERT_EQ(cv::norm(cv::Mat(kH, kO, CV_8UC1, fusion[size_t(i)].data()), expected, cv::NORM_INF), 0.0);
            check(*st[i], heldBefore);
        }
    }
    for (auto& s : st) destroy_dynstitcher(&s);
    zelvo_stitch_uninit();
}

}  // namespace

TEST(SeamEndToEnd, FusionMapsWrittenAndQuietBlocksHoldTheirSeam) {
    // The grid-row table spreads the LUT rows over three blocks only: the fourth
    // block has no motion cells and may follow the flood; the others hold.
    int followedRows = 0;
    runRig(3, true, 4, [&](DynStitcher& s, const std::vector<int>& heldBefore) {
        ASSERT_EQ(s.blockSeamUpdate, (std::vector<int>{0, 0, 0, 1}));
        std::vector<uint8_t> row(size_t(s.maskCols));
        for (int r = 0; r < s.maskRows; ++r) {
            if (r < s.lastMaskBlockRow) ASSERT_EQ(s.rowCrossX[size_t(r)], heldBefore[size_t(r)]) << "row " << r;
            followedRows += r >= s.lastMaskBlockRow && s.rowCrossX[size_t(r)] != s.maskCols / 2;
            s.sigmoidCurves[6].getArrToAddr(s.rowCrossX[size_t(r)], row.data());  // the hard curve at the column
            ASSERT_EQ(0, std::memcmp(row.data(), s.currMask.ptr<uint8_t>(r), row.size())) << "row " << r;
        }
    });
    EXPECT_GT(followedRows, 0) << "the block without motion cells follows the flood";
}

TEST(SeamEndToEnd, SeamRunsWhereTheStripsAgree) {
    double seamCost = 0, middleCost = 0;
    runRig(kBlocks, false, 6, [&](DynStitcher& s, const std::vector<int>&) {
        for (int r = 0; r < s.maskRows; ++r) {
            const uint8_t *m = s.currMask.ptr<uint8_t>(r), *l = s.leftImage.ptr<uint8_t>(r), *rr = s.rightImage.ptr<uint8_t>(r);
            int seam = 0;  // the soft curve passes 127 exactly at the row's seam column
            while (seam < s.maskCols - 1 && m[seam] > 127) ++seam;
            seamCost += std::abs(int(l[seam]) - int(rr[seam]));
            middleCost += std::abs(int(l[s.maskCols / 2]) - int(rr[s.maskCols / 2]));
        }
    });
    RecordProperty("seam_cost", std::to_string(seamCost)), RecordProperty("middle_cost", std::to_string(middleCost));
    EXPECT_LT(seamCost, middleCost);  // same sample count on both sides
}
