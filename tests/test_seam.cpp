// Seam path: labels to mask, seam columns, block scores and motion history,
// held seams, the random reset and the full-resolution fusion map.
#include <cstdio>
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

uint32_t lutWord(int x, int y) { return (uint32_t(y) << 22) | (uint32_t(x) << 6); }

std::vector<uint8_t> rowOf(const cv::Mat& m, int r) {
    return std::vector<uint8_t>(m.ptr<uint8_t>(r), m.ptr<uint8_t>(r) + m.cols);
}

// A stitcher whose mask grid equals its pixel grid (cell 1 x 1). The LUTs
// point vertex (c, r) at motion cell (c, r), so each block's motion cells are
// known: left cells lie in the LUT columns inside the overlap of the left
// image, right cells in those of the right image.
struct SeamRig {
    int lutGrid = 2;
    int lutRows = 2;       // rows of the library's grid-row table
    int libBlocks = 2;     // blocks the table spreads them over
    int imgWidth = 16;
    int overlap = 8;
    int height = 6;
    int blocks = 2;
    float scoreMax = 100.0f, scoreMin = -100.0f;
    int scoreStep = 1;
    int resetQuiet = 1000;
    int mdGrid = 40;
    std::vector<float> thresholds, incs;
    bool enableReset = false, useMaskBlocks = true;

    std::vector<uint32_t> lutL, lutR;
    std::vector<uint8_t> fusion;
    DynStitcher* s = nullptr;

    void build() {
        zelvo_stitch_init(lutRows, libBlocks, 0, enableReset, useMaskBlocks, 1);
        lutL.resize(size_t(lutGrid * lutGrid));
        for (int r = 0; r < lutGrid; ++r)
            for (int c = 0; c < lutGrid; ++c) lutL[size_t(r * lutGrid + c)] = lutWord(c, r);
        lutR = lutL;
        fusion.assign(size_t(height * overlap), 77);
        zt::StdoutCapture quiet;
        s = create_dynstitcher(0, 0, imgWidth, height, overlap, blocks, scoreMax, scoreMin, 0.0f,
                               int(thresholds.size()), thresholds.data(), incs.data(), scoreStep,
                               resetQuiet, lutGrid, lutGrid, lutL.data(), lutR.data(), 0,
                               unsigned(mdGrid), unsigned(mdGrid), 1, 1);
        setup_dynstitcher(s, 0, reinterpret_cast<unsigned long>(fusion.data()));
    }
    ~SeamRig() {
        destroy_dynstitcher(&s);
        zelvo_stitch_uninit();
    }
};

// The 6 x 8 cost image of the worked example: two blocks of three rows.
cv::Mat workedCost() {
    const uint8_t v[6][8] = {{200, 200, 200, 200, 200, 200, 200, 200},
                             {200, 200, 40, 250, 90, 90, 200, 200},
                             {200, 200, 40, 60, 250, 90, 200, 200},
                             {200, 200, 40, 60, 250, 90, 200, 200},
                             {200, 200, 250, 60, 60, 90, 200, 200},
                             {200, 200, 200, 200, 200, 200, 200, 200}};
    cv::Mat m(6, 8, CV_8UC1);
    for (int r = 0; r < 6; ++r)
        for (int c = 0; c < 8; ++c) m.ptr<uint8_t>(r)[c] = v[r][c];
    return m;
}

TEST(SeamWorkedExample, ThreeVariants) {
    using Rows = std::vector<std::vector<uint8_t>>;
    const std::vector<uint8_t> hard3 = {254, 254, 250, 127, 4, 0, 0, 0};
    const std::vector<uint8_t> hard4 = {254, 254, 254, 250, 127, 4, 0, 0};
    const std::vector<uint8_t> hard5 = {254, 254, 254, 254, 250, 127, 4, 0};
    const std::vector<uint8_t> soft3 = {173, 158, 143, 127, 111, 96, 81, 81};
    const std::vector<uint8_t> soft4 = {186, 173, 158, 143, 127, 111, 96, 81};
    const std::vector<uint8_t> soft5 = {186, 186, 173, 158, 143, 127, 111, 96};
    struct Case {
        const char* name;
        bool useMaskBlocks;
        int flag;
        Rows rows;
        std::vector<int> crossAfter;
    } cases[] = {
        {"both flags 1", true, 1, {hard3, hard3, hard4, hard4, hard5, hard5}, {3, 3, 4, 4, 5, 5}},
        {"both flags 0", true, 0, {hard4, hard4, hard4, hard4, hard4, hard4}, {4, 4, 4, 4, 4, 4}},
        {"mask blocks off", false, 0, {soft3, soft3, soft4, soft4, soft5, soft5}, {4, 4, 4, 4, 4, 4}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SeamRig rig;
        rig.useMaskBlocks = c.useMaskBlocks;
        rig.build();
        DynStitcher& s = *rig.s;
        s.diffImage = workedCost();
        s.blockSeamUpdate.assign(2, c.flag);
        s.process(nullptr, nullptr);

        EXPECT_EQ(s.maskBlockStats[0].labelOneCount, 3);
        EXPECT_EQ(s.maskBlockStats[1].labelOneCount, 5);
        EXPECT_FLOAT_EQ(s.maskBlockStats[0].labelOneRatio, 3.0f / 25.0f);
        EXPECT_FLOAT_EQ(s.maskBlockStats[1].labelOneRatio, 5.0f / 25.0f);
        ASSERT_EQ(s.currMask.size(), cv::Size(8, 6));
        for (int r = 0; r < 6; ++r) EXPECT_EQ(rowOf(s.currMask, r), c.rows[size_t(r)]) << "row " << r;
        EXPECT_EQ(s.rowCrossX, c.crossAfter);
        // Without motion maps the flags stay as they were and the call is quiet.
        EXPECT_EQ(s.blockSeamUpdate, std::vector<int>(2, c.flag));
        EXPECT_EQ(s.quietFrameCount, 1);
        // The previous-frame records now describe this frame; lastMask is a copy.
        EXPECT_EQ(s.prevMaskBlockStats[1].labelOneCount, 5);
        EXPECT_EQ(cv::norm(s.lastMask, s.currMask, cv::NORM_INF), 0.0);
        EXPECT_NE(s.lastMask.data, s.currMask.data);
    }
}

TEST(SeamCrossing, RowsOfTheMask) {
    struct Case {
        std::vector<uint8_t> row;
        int cross;
    } cases[] = {
        {{255, 255, 255, 0, 0, 0}, 2}, {{255, 0}, 0},       {{0, 255, 255}, 0},
        {{7, 7, 7, 7}, 3},             {{255, 255, 254}, 1}, {{9}, 0},
    };
    DynStitcher s;
    for (const Case& c : cases) {
        s.fusionMask = cv::Mat(2, int(c.row.size()), CV_8UC1);
        for (int r = 0; r < 2; ++r)
            std::copy(c.row.begin(), c.row.end(), s.fusionMask.ptr<uint8_t>(r));
        EXPECT_EQ(s.getMaskCrossX(), std::vector<int>(2, c.cross));
    }
    s.fusionMask = cv::Mat(3, 1, CV_8UC1, cv::Scalar(255));
    EXPECT_EQ(s.getMaskCrossX(), std::vector<int>(3, 0)) << "one column";
}

TEST(SeamHistory, WeightedAverageWithDefaultWeights) {
    DynStitcher s;
    struct Case {
        std::deque<int> h;
        int avg;
    } cases[] = {
        {std::deque<int>(32, 1), 1},
        {[] {
             std::deque<int> d(12, 2);
             d.insert(d.end(), 20, 0);
             return d;
         }(),
         0},                                  // 24 / 62
        {[] {
             std::deque<int> d(22, 0);
             d.insert(d.end(), 10, 7);
             return d;
         }(),
         3},                                  // 7 * 3 * 10 / 62 = 210 / 62
        {std::deque<int>(32, -5), -5},         // truncates toward zero
        {{}, 0},
        {{62}, 1},                             // oldest weighs 1
    };
    for (Case& c : cases) EXPECT_EQ(s.getMotionBitsHistoryAvg(c.h), c.avg);
}

// One block with motion cells on both sides: block 0 takes LUT rows 0..16 of
// a 33-row grid, and its left/right cells are columns 16..32 / 0..16.
void motionRig(SeamRig& rig) {
    rig.lutGrid = 33;
    rig.lutRows = 33;
    rig.libBlocks = 2;
    rig.imgWidth = 16;
    rig.overlap = 8;
    rig.height = 6;
    rig.blocks = 2;
    rig.scoreStep = 3;
    rig.scoreMax = 10.0f;
    rig.scoreMin = -7.0f;
}

TEST(SeamScores, MotionMovesTheScore) {
    struct Case {
        const char* name;
        int leftCells, rightCells;  // motion cells set in block 0
        float delta;                // expected change of block 0's score
        bool quiet;
    } cases[] = {
        {"no motion", 0, 0, 3.0f, true},
        {"left only", 12, 0, 0.0f, false},
        {"right only", 0, 12, 0.0f, false},
        {"ten and ten", 10, 10, -6.0f, false},
        {"ten and nine", 10, 9, 0.0f, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SeamRig rig;
        motionRig(rig);
        rig.build();
        DynStitcher& s = *rig.s;
        s.diffImage = cv::Mat(6, 8, CV_8UC1, cv::Scalar(128));
        std::vector<uint8_t> mdL(40 * 40, 0), mdR(40 * 40, 0);
        // Block 0's left cells: x 16..32, y 0..16; right cells: x 0..16.
        for (int k = 0; k < c.leftCells; ++k) mdL[size_t(k / 17 * 40 + 16 + k % 17)] = 1;
        for (int k = 0; k < c.rightCells; ++k) mdR[size_t(k / 17 * 40 + k % 17)] = 1;
        s.blockScore.assign(2, 1.0f);
        s.process(mdL.data(), mdR.data());
        EXPECT_FLOAT_EQ(s.blockScore[0], 1.0f + c.delta);
        EXPECT_EQ(s.blockMotionSumL[0], c.leftCells);
        EXPECT_EQ(s.blockMotionSumR[0], c.rightCells);
        EXPECT_EQ(s.blockMotionHistory[0].size(), 32u);
        EXPECT_EQ(s.blockMotionHistory[0].back(), (c.leftCells + c.rightCells) >> 1);
        EXPECT_EQ(s.quietFrameCount, c.quiet ? 1 : 0);
    }
}

TEST(SeamScores, ClampedWithMotionMapsOnly) {
    SeamRig rig;
    motionRig(rig);
    rig.thresholds = {0.05f, 2.0f};
    rig.incs = {-50.0f, 40.0f};
    rig.build();
    DynStitcher& s = *rig.s;
    s.diffImage = cv::Mat(6, 8, CV_8UC1, cv::Scalar(128));
    std::vector<uint8_t> md(40 * 40, 0);

    // Without motion maps the change bands add unclamped: the first ratio
    // change is the block's label-1 share, far above 0.05, so band 1 (+40).
    s.process(nullptr, nullptr);
    EXPECT_FLOAT_EQ(s.blockScore[0], 40.0f);
    // Same labelling again: change 0 falls in band 0 (-50), still unclamped.
    s.process(nullptr, nullptr);
    EXPECT_FLOAT_EQ(s.blockScore[0], -10.0f);
    // With both maps the score is clamped to [scoreMin, scoreMax] after the
    // quiet step (+3): -60 + 3 -> -7.
    s.process(md.data(), md.data());
    EXPECT_FLOAT_EQ(s.blockScore[0], -7.0f);
    s.blockScore[0] = 9.0f;
    s.blockDiffThresholds.clear();
    s.process(md.data(), md.data());
    EXPECT_FLOAT_EQ(s.blockScore[0], 10.0f);
    EXPECT_EQ(s.quietFrameCount, 4);
}

TEST(SeamFlags, BlocksFollowOrHoldTheirSeam) {
    // All 33 LUT rows map to block 0, so block 1 has no motion cells: its
    // threshold (2 x 0 cells) is met by any history, while block 0 (561 left
    // cells) never sees enough motion.
    SeamRig rig;
    motionRig(rig);
    rig.libBlocks = 1;
    rig.height = 10;
    rig.blocks = 3;  // block height 4: rows 0-3, 4-7, 8-9 (last block)
    rig.build();
    DynStitcher& s = *rig.s;
    ASSERT_EQ(s.blockMdCellCount, (std::vector<int>{33 * 17, 0, 0}));
    // A cost image whose flood puts the seam at column 2 in every row: the
    // right region floods the cheap columns 3..6 first, and the expensive
    // column 2 ends as boundary between the two.
    s.diffImage = cv::Mat(10, 8, CV_8UC1, cv::Scalar(0));
    s.diffImage.col(2).setTo(cv::Scalar(255));
    std::vector<uint8_t> md(40 * 40, 0);
    s.process(md.data(), md.data());
    EXPECT_EQ(s.blockSeamUpdate, (std::vector<int>{0, 1, 1}));
    EXPECT_EQ(s.rowCrossX, (std::vector<int>{4, 4, 4, 4, 2, 2, 2, 2, 2, 2}));
    // Rows past the last block's first row use the last block's flag.
    s.blockSeamUpdate = {1, 1, 0};
    s.rowCrossX.assign(10, 6);
    s.process(nullptr, nullptr);
    EXPECT_EQ(s.rowCrossX, (std::vector<int>{2, 2, 2, 2, 2, 2, 2, 2, 6, 6}));
}

int firstSeedWithRemainder(int remainder) {
    for (unsigned seed = 1; seed < 100000; ++seed) {
        srand(seed);
        if (rand() % 100 == remainder) return int(seed);
    }
    return -1;
}

TEST(SeamReset, RandomResetToTheDefaultMask) {
    // Disabled: the generator is never drawn.
    {
        SeamRig rig;
        rig.resetQuiet = 0;
        rig.build();
        rig.s->diffImage = workedCost();
        srand(1234);
        const int expected = rand();
        srand(1234);
        for (int i = 0; i < 3; ++i) rig.s->process(nullptr, nullptr);
        EXPECT_EQ(rand(), expected);
        EXPECT_EQ(rig.s->quietFrameCount, 3);
    }
    struct Case {
        int remainder;
        bool reset;
    } cases[] = {{50, false}, {51, true}, {99, true}, {0, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.remainder);
        SeamRig rig;
        rig.enableReset = true;
        rig.resetQuiet = 0;
        rig.build();
        DynStitcher& s = *rig.s;
        s.diffImage = workedCost();
        s.blockSeamUpdate.assign(2, 1);
        s.rowCrossX.assign(6, 2);
        const int seed = firstSeedWithRemainder(c.remainder);
        ASSERT_GT(seed, 0);
        srand(unsigned(seed));
        s.process(nullptr, nullptr);
        if (c.reset) {
            EXPECT_EQ(cv::norm(s.currMask, s.defaultMask, cv::NORM_INF), 0.0);
            EXPECT_EQ(s.quietFrameCount, 0);
            EXPECT_EQ(s.rowCrossX, std::vector<int>(6, 2)) << "held columns untouched";
        } else {
            EXPECT_EQ(s.quietFrameCount, 1);
            EXPECT_EQ(s.rowCrossX, (std::vector<int>{3, 3, 4, 4, 5, 5}));
        }
    }
    // Below the quiet-frame threshold nothing is drawn either.
    SeamRig rig;
    rig.enableReset = true;
    rig.resetQuiet = 5;
    rig.build();
    rig.s->diffImage = workedCost();
    srand(99);
    const int expected = rand();
    srand(99);
    for (int i = 0; i < 4; ++i) rig.s->process(nullptr, nullptr);
    EXPECT_EQ(rand(), expected);
}

TEST(SeamFusionMap, FullResolutionCopyIntoTheHostBuffer) {
    SeamRig rig;
    rig.build();
    DynStitcher& s = *rig.s;
    // The rig's cells are 1 x 1; a second stitcher with 4 x 4 cells makes the
    // copy a real up-scale.
    zt::StdoutCapture quiet;
    std::vector<uint8_t> fusion(size_t(24 * 32), 77);
    DynStitcher* big = create_dynstitcher(0, 0, 64, 24, 32, 2, 10, -10, 0, 0, nullptr, nullptr, 1,
                                          10, 2, 2, rig.lutL.data(), rig.lutR.data(), 0, 40, 40, 4, 4);
    quiet.take();
    setup_dynstitcher(big, 0, reinterpret_cast<unsigned long>(fusion.data()));
    EXPECT_THROW(big->copyTo_dre_fusion_map(), cv::Exception) << "no mask before the first process";
    big->diffImage = cv::Mat(6, 8, CV_8UC1, cv::Scalar(100));
    big->process(nullptr, nullptr);
    big->copyTo_dre_fusion_map();
    cv::Mat expected;
    cv::resize(big->currMask, expected, cv::Size(32, 24), 0, 0, cv::INTER_LINEAR);
    cv::Mat host(24, 32, CV_8UC1, fusion.data());
    EXPECT_EQ(cv::norm(host, expected, cv::NORM_INF), 0.0);
    EXPECT_EQ(big->dreFusionMap.data, fusion.data()) << "written in place, no copy";
    destroy_dynstitcher(&big);

    // saveCurrMask writes a readable image; getDefaultMask shares pixels.
    s.diffImage = workedCost();
    s.process(nullptr, nullptr);
    char path[] = "/tmp/zelvo_seam_mask_test.png";
    s.saveCurrMask(path);
    cv::Mat back = cv::imread(path, cv::IMREAD_UNCHANGED);
    unlink(path);
    ASSERT_FALSE(back.empty());
    EXPECT_EQ(cv::norm(back, s.currMask, cv::NORM_INF), 0.0);
    EXPECT_THROW(s.saveCurrMask(nullptr), std::logic_error);
    cv::Mat d = s.getDefaultMask();
    EXPECT_EQ(d.data, s.defaultMask.data);
}

}  // namespace
