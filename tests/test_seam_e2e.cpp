// The seam path end to end on real footage: a three-camera rig cut from the
// bundled frames, driven through the frame call and `process` with motion
// maps decoded by the library from bitmaps packed by this host.
#include <cmath>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "test_support.h"
#include "zelvo_stitch.h"

namespace {

constexpr int kCams = 3, kW = 320, kO = 96, kH = 576, kCell = 4;
constexpr int kLutGrid = 9, kBlocks = 4;
constexpr int kMdX = (kW + 15) / 16, kMdY = (kH + 15) / 16;  // 20 x 36 motion blocks
constexpr int kRowBytes = ((kW + 511) / 512) * 4;
constexpr int kPad = 32;

struct Rig {
    int libBlocks = kBlocks;  // blocks the grid-row table spreads LUT rows over
    bool useMaskBlocks = true;
    int displacement = 0;     // pixels the right camera of each overlap is off (|k| * that for camera k)

    std::vector<uint32_t> lut;
    std::vector<std::vector<uint8_t>> bitmaps{kCams};
    std::vector<std::vector<uint8_t>> fusion{kCams - 1};
    std::vector<cv::Mat> prevCams{kCams};
    cv::Mat strips;
    _ZELVO_STITCH_INFO info{};
    DynStitcher* st[kCams - 1] = {};

    void start() {
        zelvo_stitch_init(kLutGrid, libBlocks, 0, 0, useMaskBlocks, 1);
        Zelvo_Stitch_Shift_Every_N_Frames = 1 << 30;  // seam path only, after frame 0
        // Vertex (c, r) points at the motion cell under it.
        lut.resize(kLutGrid * kLutGrid);
        for (int r = 0; r < kLutGrid; ++r)
            for (int c = 0; c < kLutGrid; ++c) {
                const int x = std::min(c * kW / (kLutGrid - 1) / 16, kMdX - 1);
                const int y = std::min(r * kH / (kLutGrid - 1) / 16, kMdY - 1);
                lut[size_t(r * kLutGrid + c)] = (uint32_t(y) << 22) | (uint32_t(x) << 6);
            }
        zt::StdoutCapture quiet;
        for (int i = 0; i < kCams - 1; ++i) {
            fusion[size_t(i)].assign(size_t(kH * kO), 0);
            st[i] = create_dynstitcher(0, 0, kW, kH, kO, kBlocks, 10.0f, -10.0f, 0.0f, 0, nullptr,
                                       nullptr, 1, 1000, kLutGrid, kLutGrid, lut.data(), lut.data(),
                                       i, kMdX, kMdY, kCell, kCell);
            setup_dynstitcher(st[i], 0, reinterpret_cast<unsigned long>(fusion[size_t(i)].data()));
        }
        strips.create(kH, 4 * kO, CV_8UC1);
        for (auto& b : bitmaps) b.assign(size_t(kMdY * kRowBytes), 0);
        info.img_num = kCams;
        info.strip_buf_addr = reinterpret_cast<uint64_t>(strips.data);
        info.strip_buf_width = uint32_t(strips.cols);
        info.md_width = kW;
        info.md_height = kH;
        for (int i = 0; i < kCams - 1; ++i) {
            info.strip_width[i] = kO;
            info.strip_height[i] = kH;
        }
        for (int k = 0; k < kCams; ++k) info.md_addr[k] = reinterpret_cast<uint64_t>(bitmaps[size_t(k)].data());
    }

    void stop() {
        for (auto& s : st) destroy_dynstitcher(&s);
        zelvo_stitch_uninit();
    }

    // Cuts the cameras from one frame, fills strips and motion bitmaps, and
    // runs the frame call.
    void frame(const cv::Mat& scene) {
        cv::Mat padded;
        cv::copyMakeBorder(scene, padded, 0, 0, kPad, kPad, cv::BORDER_REPLICATE);
        for (int k = 0; k < kCams; ++k) {
            const int x0 = kPad + k * (kW - kO) + k * displacement;  // each overlap sees one displacement
            cv::Mat cam = padded(cv::Rect(x0, 0, kW, kH)).clone();
            packMotion(cam, k);
            if (k < kCams - 1) cam(cv::Rect(kW - kO, 0, kO, kH)).copyTo(strips(cv::Rect(2 * kO * k, 0, kO, kH)));
            if (k > 0) cam(cv::Rect(0, 0, kO, kH)).copyTo(strips(cv::Rect(2 * kO * (k - 1) + kO, 0, kO, kH)));
            prevCams[size_t(k)] = cam;
        }
        zelvo_stitch_process(st, &info);
    }

    // One bit per 16 x 16 block where the mean frame difference is large.
    void packMotion(const cv::Mat& cam, int k) {
        std::vector<uint8_t>& bits = bitmaps[size_t(k)];
        std::fill(bits.begin(), bits.end(), 0);
        if (prevCams[size_t(k)].empty()) return;
        cv::Mat diff;
        cv::absdiff(cam, prevCams[size_t(k)], diff);
        for (int by = 0; by < kMdY; ++by)
            for (int bx = 0; bx < kMdX; ++bx) {
                const cv::Rect blk(bx * 16, by * 16, std::min(16, kW - bx * 16), std::min(16, kH - by * 16));
                if (cv::mean(diff(blk))[0] > 6.0)
                    bits[size_t(by * kRowBytes + bx / 8)] |= uint8_t(1u << (bx % 8));
            }
    }
};

TEST(SeamEndToEnd, FusionMapsWrittenAndQuietBlocksHoldTheirSeam) {
    // The grid-row table spreads the LUT rows over three blocks only, so the
    // stitchers' fourth block has no motion cells and may follow the flood;
    // the other three hold their seam columns.
    Rig rig;
    rig.libBlocks = 3;
    rig.displacement = 4;  // identical strips would put every seam in the middle
    rig.start();
    int followedRows = 0, frames = 0;
    for (int f = 0; f < 40; ++f) {
        rig.frame(zt::sample_gray(f));
        for (int i = 0; i < kCams - 1; ++i) {
            SCOPED_TRACE(testing::Message() << "frame " << f << " overlap " << i);
            DynStitcher& s = *rig.st[i];
            const std::vector<int> heldBefore = s.rowCrossX;
            s.process(decoded_md_buffer[i], decoded_md_buffer[i + 1]);
            std::vector<uint8_t>& host = rig.fusion[size_t(i)];
            std::fill(host.begin(), host.end(), uint8_t(77));
            s.copyTo_dre_fusion_map();
            cv::Mat expected;
            cv::resize(s.currMask, expected, cv::Size(kO, kH), 0, 0, cv::INTER_LINEAR);
            ASSERT_EQ(cv::norm(cv::Mat(kH, kO, CV_8UC1, host.data()), expected, cv::NORM_INF), 0.0);

            ASSERT_EQ(s.blockSeamUpdate, (std::vector<int>{0, 0, 0, 1}));
            for (int r = 0; r < s.maskRows; ++r) {
                const bool lastBlock = r >= s.lastMaskBlockRow;
                if (!lastBlock) ASSERT_EQ(s.rowCrossX[size_t(r)], heldBefore[size_t(r)]) << "row " << r;
                followedRows += lastBlock && s.rowCrossX[size_t(r)] != s.maskCols / 2;
                // Every row carries the hard curve centred on its held column.
                std::vector<uint8_t> row(size_t(s.maskCols));
                s.sigmoidCurves[6].getArrToAddr(s.rowCrossX[size_t(r)], row.data());
                ASSERT_EQ(0, std::memcmp(row.data(), s.currMask.ptr<uint8_t>(r), row.size())) << "row " << r;
            }
        }
        ++frames;
    }
    EXPECT_EQ(frames, 40);
    EXPECT_GT(followedRows, 0) << "the block without motion cells follows the flood";
    rig.stop();
}

TEST(SeamEndToEnd, SeamRunsWhereTheStripsAgree) {
    Rig rig;
    rig.useMaskBlocks = false;
    rig.displacement = 6;
    rig.start();
    double seamCost = 0, middleCost = 0;
    long samples = 0;
    for (int f = 0; f < 40; ++f) {
        rig.frame(zt::sample_gray(f));
        for (int i = 0; i < kCams - 1; ++i) {
            DynStitcher& s = *rig.st[i];
            s.process(decoded_md_buffer[i], decoded_md_buffer[i + 1]);
            for (int r = 0; r < s.maskRows; ++r) {
                // The soft curve passes 127 exactly at the row's seam column.
                const uint8_t* m = s.currMask.ptr<uint8_t>(r);
                int seam = 0;
                while (seam < s.maskCols - 1 && m[seam] > 127) ++seam;
                const uint8_t* l = s.leftImage.ptr<uint8_t>(r);
                const uint8_t* rr = s.rightImage.ptr<uint8_t>(r);
                seamCost += std::abs(int(l[seam]) - int(rr[seam]));
                middleCost += std::abs(int(l[s.maskCols / 2]) - int(rr[s.maskCols / 2]));
                ++samples;
            }
        }
    }
    rig.stop();
    seamCost /= double(samples);
    middleCost /= double(samples);
    RecordProperty("seam_cost", std::to_string(seamCost));
    RecordProperty("middle_cost", std::to_string(middleCost));
    EXPECT_LT(seamCost, middleCost);
}

}  // namespace
