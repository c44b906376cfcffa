// Host logic of the simulator, checked against the library that reads what it
// writes: motion bitmaps, LUT words, strip buffer, closed loop.
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "sim_host.h"
#include "test_support.h"

namespace {

zsim::RigConfig rig3(const char* s0, const char* s1) {
    zsim::RigConfig cfg;
    std::string err;
    cfg.misalign.resize(2);
    EXPECT_TRUE(zsim::parseSchedule(s0, cfg.misalign[0], err) &&
                zsim::parseSchedule(s1, cfg.misalign[1], err))
        << err;
    cfg.dbg = 0;
    return cfg;
}

cv::Mat colourFrame(int i) { return cv::imread(zt::sample_frame_path(i)); }

}  // namespace

// Rows ending mid-word, on a word boundary and one block into a second word.
TEST(SimMotionBitmap, PackingRoundTripsThroughTheLibrarysDecoding) {
    cv::RNG rng(7);
    for (const cv::Size px : {cv::Size(384, 576), cv::Size(512, 40), cv::Size(520, 33)}) {
        cv::Mat blocks(zsim::motionBlocks(px.height), zsim::motionBlocks(px.width), CV_8UC1);
        rng.fill(blocks, cv::RNG::UNIFORM, 0, 2);
        std::vector<uint8_t> bitmap;
        zsim::packMotionBitmap(blocks, px.width, bitmap);
        zelvo_stitch_init(2, 1, 0, 0, 1, 1);
        ZELVO_STITCH_INFO info{};
        info.img_num = 1;  // one image: decoding only, no overlap
        info.md_width = uint32_t(px.width);
        info.md_height = uint32_t(px.height);
        info.md_addr[0] = uint64_t(uintptr_t(bitmap.data()));
        zelvo_stitch_process(nullptr, &info);
        const cv::Mat decoded(blocks.rows, blocks.cols, CV_8UC1, decoded_md_buffer[0]);
        EXPECT_EQ(cv::countNonZero(decoded != blocks), 0) << px;
        zelvo_stitch_uninit();  // frees the maps: the next size allocates afresh
    }
}

// Row in bits 22-31, column in bits 6-15: the motion cell under the vertex,
// clamped into the map.
TEST(SimLut, WordsPointAtTheMotionCellUnderEachVertex) {
    std::vector<uint32_t> lut;
    zsim::buildLut(384, 576, 33, lut);
    ASSERT_EQ(lut.size(), 33u * 33u);
    EXPECT_EQ(zsim::lutWord(35, 23), (35u << 22) | (23u << 6));
    for (int k = 0; k < 33 * 33; ++k)
        EXPECT_EQ(lut[k],
                  zsim::lutWord(std::min(k / 33 * 18 / 16, 35), std::min(k % 33 * 12 / 16, 23)));
}

// Per overlap the left camera's last columns, then the right camera's first.
TEST(SimStrips, LayoutMatchesWhatTheLibraryCuts) {
    zsim::Rig rig(rig3("0", "0"), 768, 576);
    rig.play(colourFrame(0), 0);
    const int w = rig.config().camWidth, o = rig.config().overlap;
    const cv::Mat& buf = rig.stripBuffer();
    ASSERT_EQ(buf.size(), cv::Size(4 * o, 576));
    for (int i = 0; i < 2; ++i) {
        const cv::Mat left = buf.colRange(2 * o * i, 2 * o * i + o);
        const cv::Mat right = buf.colRange(2 * o * i + o, 2 * o * (i + 1));
        EXPECT_EQ(cv::norm(left, rig.greyCameras()[i].colRange(w - o, w), cv::NORM_INF), 0);
        EXPECT_EQ(cv::norm(right, rig.greyCameras()[i + 1].colRange(0, o), cv::NORM_INF), 0);
        EXPECT_EQ(cv::countNonZero(rig.stitcher(i)->diffImage != 255), 0);  // aligned rig
    }
}

// Applied shifts settle within one cell of the misalignments, and again
// after the misalignment changes.
TEST(SimClosedLoop, ShiftsConvergeAndReconvergeAfterAChange) {
    zsim::RigConfig cfg = rig3("0:8,12:-4", "-12");
    cfg.period = 1;
    zsim::Rig rig(cfg, 768, 576);
    std::vector<zsim::Track> tracks(2);
    for (int f = 0; f < 24; ++f) {
        rig.play(colourFrame(f), f);
        for (int i = 0; i < 2; ++i) {
            tracks[i].shift.push_back(rig.shift(i));
            tracks[i].truth.push_back(rig.truth(i));
        }
    }
    for (int i = 0; i < 2; ++i)
        for (const auto& s : zsim::analyse(tracks[i], cfg.cellW)) {
            EXPECT_GE(s.settledAt, 0) << "overlap " << i << " truth " << s.truth;
            EXPECT_LE(s.framesToConverge(), 8) << "overlap " << i << " truth " << s.truth;
        }
    EXPECT_EQ(tracks[0].truth.back(), -4);
}
