// Cutting an overlap's two strips out of the host's strip buffer and scaling
// them to the mask grid.
#include <gtest/gtest.h>

#include "test_support.h"
#include "zelvo_internal.h"

namespace {

// Overlap `i` of a 10-row buffer holding strips 10 and 12 wide (three images);
// overlap 1's strips are 8 rows.
void run(DynStitcher& s, int i, cv::Mat& buf, int cols, int rows) {
    unsigned stripX[2] = {0, 20}, zeros[2] = {0, 0}, w[2] = {10, 12}, h[2] = {10, 8};
    int shifts[3] = {7, 7, 7};
    s.maskCols = cols, s.maskRows = rows;
    s.preProcess(i, stripX, zeros, 3, reinterpret_cast<unsigned long>(buf.data), 44, w, h, shifts);
    for (int v : shifts) EXPECT_EQ(v, 7) << "the shift array is not touched";
}

}  // namespace

TEST(PreProcess, ReadsTheStripsOfTheirOverlapAndComparesThem) {
    cv::Mat buf(10, 44, CV_8UC1);
    cv::RNG(7).fill(buf, cv::RNG::UNIFORM, 0, 256);
    auto s = zt::quiet_stitcher();
    run(*s, 1, buf, 12, 8);
    const cv::Mat left = buf(cv::Rect(20, 0, 12, 8)), right = buf(cv::Rect(32, 0, 12, 8));
    EXPECT_EQ(cv::norm(s->leftImage, left, cv::NORM_INF), 0);
    EXPECT_EQ(cv::norm(s->rightImage, right, cv::NORM_INF), 0);
    cv::Mat expected;
    cv::absdiff(left, right, expected);
    EXPECT_EQ(cv::norm(s->diffImage, 255 - expected, cv::NORM_INF), 0);
    buf.colRange(0, 10).copyTo(buf.colRange(10, 20));  // identical strips, any grid size
    for (auto grid : {cv::Size(5, 3), cv::Size(40, 13)}) {
        run(*s, 0, buf, grid.width, grid.height);
        EXPECT_EQ(s->diffImage.size(), grid);
        EXPECT_EQ(cv::countNonZero(s->diffImage != 255), 0);
    }
}

TEST(PreProcess, NearestNeighbourScalingKeepsOnlyTheLatestFrame) {
    cv::Mat buf(10, 44, CV_8UC1, cv::Scalar(0));
    for (int y = 0; y < 8; ++y)  // overlap 1's left strip, 12 x 8: 10 * row + column
        for (int x = 0; x < 12; ++x) buf.at<uint8_t>(y, 20 + x) = uint8_t(10 * y + x);
    auto s = zt::quiet_stitcher();
    for (int up : {0, 1}) {  // half size, then double size
        run(*s, 1, buf, up ? 24 : 6, up ? 16 : 4);
        for (int y = 0; y < s->maskRows; ++y)
            for (int x = 0; x < s->maskCols; ++x)
                EXPECT_EQ(s->leftImage.at<uint8_t>(y, x),
                          up ? 10 * (y / 2) + x / 2 : 10 * (2 * y) + 2 * x) << x << "," << y;
    }
    const uint8_t* storage = s->leftImage.data;
    buf.setTo(90);
    run(*s, 1, buf, 24, 16);
    EXPECT_EQ(cv::countNonZero(s->leftImage != 90), 0);
    EXPECT_EQ(cv::countNonZero(s->diffImage != 255), 0);
    EXPECT_EQ(s->leftImage.data, storage) << "member storage is reused";
}

// Strips outside the buffer are refused with OpenCV's error, also where
// column + width overflows int (OpenCV's own region check wraps and lets a
// strip 2 GiB past the buffer through).
TEST(PreProcess, RefusesStripsOutsideTheBuffer) {
    cv::Mat buf(10, 44, CV_8UC1, cv::Scalar(0));
    auto s = zt::quiet_stitcher();
    s->maskCols = 8, s->maskRows = 4;
    int shifts[3] = {};
    unsigned zeros[2] = {}, h[2] = {10, 8};
    const unsigned cases[][3] = {{20, 12, 11}, {40, 5, 8}, {0x7FFFFFF0, 40, 8}};
    for (const auto& c : cases) {  // column of overlap 1, its width, its height
        unsigned stripX[2] = {0, c[0]}, w[2] = {10, c[1]};
        h[1] = c[2];
        EXPECT_THROW(s->preProcess(1, stripX, zeros, 3, reinterpret_cast<unsigned long>(buf.data),
                                   44, w, h, shifts),
                     cv::Exception) << c[0] << " " << c[1];
    }
}
