// Regression: the seam path doubles blockScoreStep for blocks with strong
// motion on both sides. Steps beyond +-2^30 overflowed int there (undefined
// behaviour, found by the set-up fuzz target under UndefinedBehaviorSanitizer);
// the doubling now wraps in 32 bits, as the device's arithmetic does.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <vector>

#include "test_support.h"
#include "zelvo_internal.h"

namespace {

// 64 x 48 cameras sharing 32 columns, 2 x 2-pixel cells (16 x 24 cells) in 3
// blocks, a 9 x 9 LUT: 15 anchors per block and side on a 4 x 3 motion grid
// that is all motion, so every block takes the strong-motion branch.
constexpr int kW = 64, kH = 48, kOverlap = 32, kGrid = 9, kBlocks = 3, kMdCols = 4, kMdRows = 3;

TEST(ScoreStepWrap, StrongMotionSubtractsTheDoubledStepWrappedTo32Bits) {
    struct Case {
        int step;
        float score;  // after one call from 0, clamped to [-1000, 1000]
    };
    const Case cases[] = {
        {1, -2.0f},
        {-7, 14.0f},
        {(1 << 30) - 1, -1000.0f},  // 2^31 - 2: no wrap, far below the minimum
        {INT_MAX, 2.0f},            // 2^32 - 2 wraps to -2
        {INT_MIN, 0.0f},            // -2^32 wraps to 0
        {1 << 30, 1000.0f},         // 2^31 wraps to -2^31
        {-(1 << 30), 1000.0f},      // -2^31: no wrap
        {(1 << 30) + 1, 1000.0f},   // 2^31 + 2 wraps to -2^31 + 2
    };

    std::vector<uint32_t> lut;
    for (int r = 0; r < kGrid; ++r)
        for (int c = 0; c < kGrid; ++c) {
            const uint32_t x = uint32_t(std::min(c * kW / (kGrid - 1) / 16, kMdCols - 1));
            const uint32_t y = uint32_t(std::min(r * kH / (kGrid - 1) / 16, kMdRows - 1));
            lut.push_back((y << 22) | (x << 6));
        }
    std::vector<uint8_t> fusion(size_t(kH) * kOverlap);
    std::vector<uint8_t> motion(size_t(kMdCols) * kMdRows, 1);
    zelvo_stitch_init(kGrid, kBlocks, 0, 0, 1, 1);

    for (const Case& c : cases) {
        SCOPED_TRACE(c.step);
        DynStitcher* s;
        {
            zt::StdoutCapture quiet;
            s = create_dynstitcher(0, 0, kW, kH, kOverlap, kBlocks, 1000.0f, -1000.0f, 0.0f, 0,
                                   nullptr, nullptr, c.step, 10, kGrid, kGrid, lut.data(),
                                   lut.data(), 0, kMdCols, kMdRows, 2, 2);
        }
        setup_dynstitcher(s, 0, (unsigned long)(uintptr_t)fusion.data());
        s->diffImage = cv::Mat(s->maskRows, s->maskCols, CV_8UC1, cv::Scalar(200));
        s->process(motion.data(), motion.data());
        ASSERT_EQ(s->blockScore.size(), size_t(kBlocks));
        for (int b = 0; b < kBlocks; ++b) {
            EXPECT_GE(s->blockMotionSumL[size_t(b)], 10);
            EXPECT_GE(s->blockMotionSumR[size_t(b)], 10);
            EXPECT_EQ(s->blockScore[size_t(b)], c.score) << "block " << b;
        }
        destroy_dynstitcher(&s);
    }
    zelvo_stitch_uninit();
}

}  // namespace
