// Seam path: labels to mask, seam columns, block scores and motion history,
// held seams, the random reset and the full-resolution fusion map.
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "test_support.h"
#include "zelvo_stitch.h"

namespace {

std::vector<uint8_t> rowOf(const cv::Mat& m, int r) { return {m.ptr<uint8_t>(r), m.ptr<uint8_t>(r) + m.cols}; }

// A stitcher of 8 x `height` mask cells of `cell` pixels. Vertex (c, r) of both
// LUTs points at motion cell (c, r) of a 40 x 40 map; with the 33 x 33 grid of
// motionGrid() block 0 holds LUT rows 0..16, left cells x 16..32, right x 0..16.
struct SeamRig {
    int lutGrid = 2, libBlocks = 2, height = 6, blocks = 2, scoreStep = 1, resetQuiet = 1000, cell = 1;
    float scoreMax = 100.0f, scoreMin = -100.0f;
    std::vector<float> thresholds, incs;
    bool enableReset = false, useMaskBlocks = true;
    std::vector<uint32_t> lut;
    std::vector<uint8_t> fusion;
    DynStitcher* s = nullptr;
    SeamRig& motionGrid() { lutGrid = 33, scoreStep = 3, scoreMax = 10.0f, scoreMin = -7.0f; return *this; }
    DynStitcher& build() {
        zelvo_stitch_init(lutGrid, libBlocks, 0, enableReset, useMaskBlocks, 1);
        for (int r = 0; r < lutGrid; ++r)
            for (int c = 0; c < lutGrid; ++c) lut.push_back((uint32_t(r) << 22) | (uint32_t(c) << 6));
        fusion.assign(size_t(height * 8 * cell * cell), 77);
        zt::StdoutCapture quiet;
        s = create_dynstitcher(0, 0, 16 * cell, height * cell, 8 * cell, blocks, scoreMax, scoreMin, 0.0f,
                               int(thresholds.size()), thresholds.data(), incs.data(), scoreStep, resetQuiet, lutGrid,
                               lutGrid, lut.data(), lut.data(), 0, 40, 40, cell, cell);
        setup_dynstitcher(s, 0, reinterpret_cast<unsigned long>(fusion.data()));
        return *s;
    }
    ~SeamRig() { destroy_dynstitcher(&s), zelvo_stitch_uninit(); }
};

// The 6 x 8 cost image of the worked example: two blocks of three rows.
cv::Mat workedCost() {
    static const std::vector<uint8_t> v = {
        200, 200, 200, 200, 200, 200, 200, 200,  200, 200, 40, 250, 90, 90, 200, 200,
        200, 200, 40, 60, 250, 90, 200, 200,     200, 200, 40, 60, 250, 90, 200, 200,
        200, 200, 250, 60, 60, 90, 200, 200,     200, 200, 200, 200, 200, 200, 200, 200};
    return cv::Mat(v, true).reshape(1, 6);
}

}  // namespace

TEST(SeamWorkedExample, ThreeVariants) {
    const std::vector<uint8_t> hard3 = {254, 254, 250, 127, 4, 0, 0, 0}, hard4 = {254, 254, 254, 250, 127, 4, 0, 0},
                               hard5 = {254, 254, 254, 254, 250, 127, 4, 0}, soft3 = {173, 158, 143, 127, 111, 96, 81, 81},
                               soft4 = {186, 173, 158, 143, 127, 111, 96, 81}, soft5 = {186, 186, 173, 158, 143, 127, 111, 96};
    struct Case { bool useMaskBlocks; int flag; std::vector<std::vector<uint8_t>> rows; std::vector<int> crossAfter; };
    for (const Case& c : {Case{true, 1, {hard3, hard3, hard4, hard4, hard5, hard5}, {3, 3, 4, 4, 5, 5}},
                          Case{true, 0, {hard4, hard4, hard4, hard4, hard4, hard4}, {4, 4, 4, 4, 4, 4}},
                          Case{false, 0, {soft3, soft3, soft4, soft4, soft5, soft5}, {4, 4, 4, 4, 4, 4}}}) {
        SCOPED_TRACE(std::to_string(c.useMaskBlocks) + " " + std::to_string(c.flag));
        SeamRig rig;
        rig.useMaskBlocks = c.useMaskBlocks;
        DynStitcher& s = rig.build();
        s.diffImage = workedCost();
        s.blockSeamUpdate.assign(2, c.flag);
        s.process(nullptr, nullptr);
        EXPECT_EQ(s.maskBlockStats[0].labelOneCount, 3);
        EXPECT_EQ(s.prevMaskBlockStats[1].labelOneCount, 5);  // the previous records now describe this frame
        EXPECT_FLOAT_EQ(s.maskBlockStats[1].labelOneRatio, 5.0f / 25.0f);
        for (int r = 0; r < 6; ++r) EXPECT_EQ(rowOf(s.currMask, r), c.rows[size_t(r)]) << "row " << r;
        EXPECT_EQ(s.rowCrossX, c.crossAfter);
        EXPECT_EQ(s.blockSeamUpdate, std::vector<int>(2, c.flag)) << "no motion maps: flags kept";
        EXPECT_EQ(s.quietFrameCount, 1); EXPECT_EQ(cv::norm(s.lastMask, s.currMask, cv::NORM_INF), 0.0);
        EXPECT_NE(s.lastMask.data, s.currMask.data);
    }
}

TEST(SeamCrossing, RowsOfTheMaskAndHistoryAverages) {
    DynStitcher s;
    const std::vector<std::pair<std::vector<uint8_t>, int>> rows = {
        {{255, 255, 255, 0, 0, 0}, 2}, {{255, 0}, 0}, {{0, 255, 255}, 0}, {{7, 7, 7, 7}, 3}, {{9}, 0}};
    for (const auto& c : rows) {
        s.fusionMask = cv::repeat(cv::Mat(c.first).t(), 2, 1);
        EXPECT_EQ(s.getMaskCrossX(), std::vector<int>(2, c.second));
    }
    // History averages with the default weights: the oldest entries weigh least.
    auto avg = [&s](int zeros, int n, int v) {
        std::deque<int> d(size_t(zeros), 0);
        d.insert(d.end(), size_t(n), v);
        return s.getMotionBitsHistoryAvg(d);
    };
    EXPECT_EQ(avg(0, 32, 1), 1); EXPECT_EQ(avg(0, 0, 0), 0);
    EXPECT_EQ(avg(22, 10, 7), 3);   // 7 * 3 * 10 / 62 = 210 / 62
    EXPECT_EQ(avg(0, 32, -5), -5);  // truncates toward zero
    EXPECT_EQ(avg(0, 1, 62), 1);    // the oldest weighs 1
}

TEST(SeamScores, MotionMovesTheScore) {
    struct Case { int leftCells, rightCells; float delta; };  // motion cells set in block 0, change of its score
    for (const Case& c : {Case{0, 0, 3.0f}, Case{12, 0, 0.0f}, Case{0, 12, 0.0f}, Case{10, 10, -6.0f}, Case{10, 9, 0.0f}}) {
        SCOPED_TRACE(std::to_string(c.leftCells) + "/" + std::to_string(c.rightCells));
        SeamRig rig;
        DynStitcher& s = rig.motionGrid().build();
        s.diffImage = cv::Mat(6, 8, CV_8UC1, cv::Scalar(128));
        std::vector<uint8_t> mdL(40 * 40, 0), mdR(40 * 40, 0);
        for (int k = 0; k < c.leftCells; ++k) mdL[size_t(k / 17 * 40 + 16 + k % 17)] = 1;
        for (int k = 0; k < c.rightCells; ++k) mdR[size_t(k / 17 * 40 + k % 17)] = 1;
        s.blockScore.assign(2, 1.0f);
        s.process(mdL.data(), mdR.data());
        EXPECT_FLOAT_EQ(s.blockScore[0], 1.0f + c.delta); EXPECT_EQ(s.blockMotionSumL[0], c.leftCells);
        EXPECT_EQ(s.blockMotionSumR[0], c.rightCells); EXPECT_EQ(s.blockMotionHistory[0].size(), 32u);
        EXPECT_EQ(s.blockMotionHistory[0].back(), (c.leftCells + c.rightCells) >> 1);
        EXPECT_EQ(s.quietFrameCount, c.leftCells + c.rightCells == 0 ? 1 : 0);
    }
}

TEST(SeamScores, ClampedWithMotionMapsOnly) {
    SeamRig rig;
    rig.thresholds = {0.05f, 2.0f};
    rig.incs = {-50.0f, 40.0f};
    DynStitcher& s = rig.motionGrid().build();
    s.diffImage = cv::Mat(6, 8, CV_8UC1, cv::Scalar(128));
    std::vector<uint8_t> md(40 * 40, 0);
    s.process(nullptr, nullptr);  // ratio change = the label-1 share, above 0.05: +40, unclamped
    EXPECT_FLOAT_EQ(s.blockScore[0], 40.0f);
    s.process(nullptr, nullptr);  // no change: band 0, -50, still unclamped
    EXPECT_FLOAT_EQ(s.blockScore[0], -10.0f);
    s.process(md.data(), md.data());  // -60 + 3 (quiet) clamped to scoreMin
    EXPECT_FLOAT_EQ(s.blockScore[0], -7.0f);
    s.blockScore[0] = 9.0f, s.blockDiffThresholds.clear();
    s.process(md.data(), md.data());  // 9 + 3 clamped to scoreMax
    EXPECT_FLOAT_EQ(s.blockScore[0], 10.0f); EXPECT_EQ(s.quietFrameCount, 4);
}

TEST(SeamFlags, BlocksFollowOrHoldTheirSeam) {
    // All LUT rows map to block 0, so blocks 1 and 2 have no motion cells: their
    // threshold (2 x 0 cells) is met by any history, while block 0 never sees enough.
    SeamRig rig;
    rig.libBlocks = 1, rig.height = 10, rig.blocks = 3;  // rows 0-3, 4-7, 8-9
    DynStitcher& s = rig.motionGrid().build();
    ASSERT_EQ(s.blockMdCellCount, (std::vector<int>{33 * 17, 0, 0}));
    s.diffImage = cv::Mat(10, 8, CV_8UC1, cv::Scalar(0));
    s.diffImage.col(2).setTo(255);  // the flood's boundary: seam column 2 in every row
    std::vector<uint8_t> md(40 * 40, 0);
    s.process(md.data(), md.data());
    EXPECT_EQ(s.blockSeamUpdate, (std::vector<int>{0, 1, 1}));
    EXPECT_EQ(s.rowCrossX, (std::vector<int>{4, 4, 4, 4, 2, 2, 2, 2, 2, 2}));
    s.blockSeamUpdate = {1, 1, 0};  // rows past the last block's first row use the last block's flag
    s.rowCrossX.assign(10, 6);
    s.process(nullptr, nullptr);
    EXPECT_EQ(s.rowCrossX, (std::vector<int>{2, 2, 2, 2, 2, 2, 2, 2, 6, 6}));
}

TEST(SeamReset, RandomResetToTheDefaultMask) {
    struct Case { bool enable; int resetQuiet, remainder, calls; bool reset; };  // remainder -1: rand() not called
    for (const Case& c : {Case{false, 0, -1, 3, false}, Case{true, 5, -1, 4, false}, Case{true, 0, 50, 1, false},
                          Case{true, 0, 51, 1, true}}) {
        SCOPED_TRACE(std::to_string(c.enable) + " " + std::to_string(c.remainder));
        SeamRig rig;
        rig.enableReset = c.enable, rig.resetQuiet = c.resetQuiet;
        DynStitcher& s = rig.build();
        s.diffImage = workedCost();
        s.blockSeamUpdate.assign(2, 1), s.rowCrossX.assign(6, 2);
        unsigned seed = 1234;
        for (srand(seed); c.remainder >= 0 && rand() % 100 != c.remainder; srand(++seed)) {}
        srand(seed);
        const int firstDraw = rand();
        srand(seed);
        for (int i = 0; i < c.calls; ++i) s.process(nullptr, nullptr);
        if (c.remainder < 0) EXPECT_EQ(rand(), firstDraw) << "rand() was called";
        EXPECT_EQ(s.quietFrameCount, c.reset ? 0 : c.calls);
        EXPECT_EQ(cv::norm(s.currMask, s.defaultMask, cv::NORM_INF) == 0.0, c.reset);
        EXPECT_EQ(s.rowCrossX, (c.reset ? std::vector<int>(6, 2) : std::vector<int>{3, 3, 4, 4, 5, 5}));
    }
}

TEST(SeamFusionMap, HostBufferPngAndDefaultMask) {
    SeamRig rig;
    rig.cell = 4;  // a real up-scale to the full resolution
    DynStitcher& s = rig.build();
    EXPECT_THROW(s.copyTo_dre_fusion_map(), cv::Exception) << "no mask before the first process";
    s.diffImage = workedCost();
    s.process(nullptr, nullptr);
    s.copyTo_dre_fusion_map();
    cv::Mat expected;
    cv::resize(s.currMask, expected, cv::Size(32, 24), 0, 0, cv::INTER_LINEAR);
    EXPECT_EQ(cv::norm(cv::Mat(24, 32, CV_8UC1, rig.fusion.data()), expected, cv::NORM_INF), 0.0);
    EXPECT_EQ(s.dreFusionMap.data, rig.fusion.data()) << "written in place";
    char path[] = "/tmp/zelvo_seam_mask_test.png";
    s.saveCurrMask(path);
    const cv::Mat back = cv::imread(path, cv::IMREAD_UNCHANGED);
    unlink(path);
    ASSERT_FALSE(back.empty());
    EXPECT_EQ(cv::norm(back, s.currMask, cv::NORM_INF), 0.0);
    EXPECT_THROW(s.saveCurrMask(nullptr), std::logic_error);
    EXPECT_EQ(s.getDefaultMask().data, s.defaultMask.data);
}
