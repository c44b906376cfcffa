// Cutting an overlap's two strips out of the host's strip buffer and scaling
// them to the mask grid.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include <opencv2/core.hpp>

#include "test_support.h"
#include "zelvo_internal.h"

namespace {

std::unique_ptr<DynStitcher> grid_stitcher(int maskCols, int maskRows) {
    zt::StdoutCapture quiet;
    std::unique_ptr<DynStitcher> s(new DynStitcher(0, 0, 640, 480, 320, 1, 100.0f, 0.0f, 0.0f,
                                                   0, nullptr, nullptr, 1, 10, 9, 9, nullptr,
                                                   nullptr, 0, 40, 30, 4, 4));
    s->maskCols = maskCols;
    s->maskRows = maskRows;
    return s;
}

// A host strip buffer with the strips of several overlaps side by side.
struct StripBuffer {
    std::vector<unsigned> width, height, stripX, zeros;
    std::vector<uint8_t> bytes;
    unsigned bufWidth = 0;
    int shifts[5] = {7, 7, 7, 7, 7};

    StripBuffer(std::vector<unsigned> w, std::vector<unsigned> h) : width(w), height(h) {
        for (unsigned x : width) {
            stripX.push_back(bufWidth);
            zeros.push_back(0);
            bufWidth += 2 * x;
        }
        bytes.assign(size_t(bufWidth) * height[0], 0);
    }
    cv::Mat mat() { return cv::Mat(int(height[0]), int(bufWidth), CV_8UC1, bytes.data()); }
    cv::Mat left(int i) { return mat()(cv::Rect(int(stripX[i]), 0, int(width[i]), int(height[i]))); }
    cv::Mat right(int i) {
        return mat()(cv::Rect(int(stripX[i] + width[i]), 0, int(width[i]), int(height[i])));
    }
    void run(DynStitcher& s, int i) {
        s.preProcess(i, stripX.data(), zeros.data(), unsigned(width.size() + 1),
                     reinterpret_cast<unsigned long>(bytes.data()), bufWidth, width.data(),
                     height.data(), shifts);
    }
};

bool same(const cv::Mat& a, const cv::Mat& b) {
    return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

}  // namespace

TEST(PreProcess, ReadsTheStripsOfTheirOverlapAtGridSize) {
    // Two overlaps (three images), strips 10 and 12 wide; overlap 1 is 8 rows
    // of a 10-row buffer.
    StripBuffer buf({10, 12}, {10, 8});
    cv::RNG rng(7);
    rng.fill(buf.mat(), cv::RNG::UNIFORM, 0, 256);

    auto s = grid_stitcher(12, 8);
    buf.run(*s, 1);
    EXPECT_EQ(buf.stripX[1], 20u);
    EXPECT_TRUE(same(s->leftImage, buf.left(1)));    // columns 20 .. 31
    EXPECT_TRUE(same(s->rightImage, buf.right(1)));  // columns 32 .. 43
    cv::Mat expected;
    cv::absdiff(buf.left(1), buf.right(1), expected);
    expected = 255 - expected;
    EXPECT_TRUE(same(s->diffImage, expected));
    for (int v : buf.shifts) EXPECT_EQ(v, 7) << "the shift array is not touched";
    // Nothing is copied out of the host buffer before scaling: a new content
    // shows up on the next call without any other change.
    buf.right(1).setTo(9);
    buf.run(*s, 1);
    EXPECT_EQ(cv::countNonZero(s->rightImage != 9), 0);
}

TEST(PreProcess, IdenticalStripsGiveFullSimilarity) {
    StripBuffer buf({16}, {6});
    cv::RNG rng(3);
    rng.fill(buf.left(0), cv::RNG::UNIFORM, 0, 256);
    buf.left(0).copyTo(buf.right(0));
    for (auto grid : {cv::Size(16, 6), cv::Size(5, 3), cv::Size(40, 13)}) {
        auto s = grid_stitcher(grid.width, grid.height);
        buf.run(*s, 0);
        EXPECT_EQ(s->diffImage.size(), grid);
        EXPECT_EQ(s->diffImage.type(), CV_8UC1);
        EXPECT_EQ(cv::countNonZero(s->diffImage != 255), 0);
    }
}

TEST(PreProcess, DifferenceIsInvertedAbsolute) {
    StripBuffer buf({3}, {1});
    const uint8_t left[3] = {0, 200, 17}, right[3] = {255, 150, 17};
    for (int x = 0; x < 3; ++x) {
        buf.left(0).at<uint8_t>(0, x) = left[x];
        buf.right(0).at<uint8_t>(0, x) = right[x];
    }
    auto s = grid_stitcher(3, 1);
    buf.run(*s, 0);
    EXPECT_EQ(s->diffImage.at<uint8_t>(0, 0), 0);
    EXPECT_EQ(s->diffImage.at<uint8_t>(0, 1), 205);
    EXPECT_EQ(s->diffImage.at<uint8_t>(0, 2), 255);
}

TEST(PreProcess, NearestNeighbourScalingUpAndDown) {
    // Every pixel distinct: value = 10 * row + column.
    StripBuffer buf({8}, {4});
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 8; ++x) buf.left(0).at<uint8_t>(y, x) = uint8_t(10 * y + x);
    buf.right(0).setTo(0);

    auto down = grid_stitcher(4, 2);  // every second column and row
    buf.run(*down, 0);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 4; ++x)
            EXPECT_EQ(down->leftImage.at<uint8_t>(y, x), 10 * (2 * y) + 2 * x) << x << "," << y;

    auto up = grid_stitcher(16, 8);  // each pixel doubled both ways
    buf.run(*up, 0);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 16; ++x)
            EXPECT_EQ(up->leftImage.at<uint8_t>(y, x), 10 * (y / 2) + x / 2) << x << "," << y;
    EXPECT_EQ(cv::countNonZero(up->rightImage), 0);
}

TEST(PreProcess, KeepsOnlyTheLatestFrameInReusedStorage) {
    StripBuffer buf({20}, {10});
    auto s = grid_stitcher(10, 5);
    buf.left(0).setTo(40);
    buf.right(0).setTo(100);
    buf.run(*s, 0);
    const uint8_t* l = s->leftImage.data;
    const uint8_t* r = s->rightImage.data;
    const uint8_t* d = s->diffImage.data;
    EXPECT_EQ(cv::countNonZero(s->diffImage != 195), 0);

    buf.left(0).setTo(90);
    buf.right(0).setTo(80);
    buf.run(*s, 0);
    EXPECT_EQ(cv::countNonZero(s->leftImage != 90), 0);
    EXPECT_EQ(cv::countNonZero(s->rightImage != 80), 0);
    EXPECT_EQ(cv::countNonZero(s->diffImage != 245), 0);
    EXPECT_EQ(s->leftImage.data, l);
    EXPECT_EQ(s->rightImage.data, r);
    EXPECT_EQ(s->diffImage.data, d);
}

TEST(PreProcess, RegionOutsideTheBufferIsRefusedByTheImageLibrary) {
    StripBuffer buf({8}, {4});
    auto s = grid_stitcher(4, 2);
    buf.width[0] = 9;  // right strip would end past the buffer
    EXPECT_THROW(buf.run(*s, 0), cv::Exception);
}
