// Host logic of the simulator, checked against the library that reads what it
// writes: motion bitmaps, LUT words, strip buffer, record, closed loop.
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "sim_host.h"
#include "test_support.h"

namespace {

cv::Mat colourFrame(int i) {
    cv::Mat img = cv::imread(zt::sample_frame_path(i), cv::IMREAD_COLOR);
    EXPECT_FALSE(img.empty());
    return img;
}

zsim::RigConfig rig3(const char* s0, const char* s1) {
    zsim::RigConfig cfg;
    std::string err;
    cfg.misalign.resize(2);
    EXPECT_TRUE(zsim::parseSchedule(s0, cfg.misalign[0], err)) << err;
    EXPECT_TRUE(zsim::parseSchedule(s1, cfg.misalign[1], err)) << err;
    cfg.dbg = 0;
    return cfg;
}

// Plays frames [0, count) and returns each overlap's shift and truth per frame.
std::vector<zsim::Track> playFrames(zsim::Rig& rig, int count) {
    std::vector<zsim::Track> tracks(rig.overlaps());
    for (int f = 0; f < count; ++f) {
        rig.play(colourFrame(f), f);
        for (int i = 0; i < rig.overlaps(); ++i) {
            tracks[i].shift.push_back(rig.shift(i));
            tracks[i].truth.push_back(rig.truth(i));
        }
    }
    return tracks;
}

}  // namespace

// The packed bitmap decodes, through the library's frame call, back to the
// block map it was packed from: widths that end a row mid-word, on a word
// boundary and one block into a second word.
TEST(SimMotionBitmap, PackingRoundTripsThroughTheLibrarysDecoding) {
    cv::RNG rng(7);
    for (const cv::Size px : {cv::Size(16, 16), cv::Size(384, 576), cv::Size(512, 40),
                              cv::Size(520, 33), cv::Size(1000, 100)}) {
        SCOPED_TRACE(::testing::Message() << px.width << "x" << px.height);
        cv::Mat blocks(zsim::motionBlocks(px.height), zsim::motionBlocks(px.width), CV_8UC1);
        rng.fill(blocks, cv::RNG::UNIFORM, 0, 2);
        std::vector<uint8_t> bitmap;
        zsim::packMotionBitmap(blocks, px.width, bitmap);
        ASSERT_EQ(bitmap.size(), size_t(blocks.rows) * zsim::motionRowBytes(px.width));

        zelvo_stitch_init(2, 1, 0, 0, 1, 1);
        ZELVO_STITCH_INFO info{};
        info.img_num = 1;  // one image: decoding only, no overlap
        info.md_width = uint32_t(px.width);
        info.md_height = uint32_t(px.height);
        info.md_addr[0] = uint64_t(uintptr_t(bitmap.data()));
        zelvo_stitch_process(nullptr, &info);
        ASSERT_NE(decoded_md_buffer, nullptr);
        const cv::Mat decoded(blocks.rows, blocks.cols, CV_8UC1, decoded_md_buffer[0]);
        EXPECT_EQ(cv::countNonZero(decoded != blocks), 0);
        zelvo_stitch_uninit();  // frees the maps: the next size allocates afresh
    }
}

// Block x of a row is bit x % 32 of the row's little-endian word x / 32, and
// bits past the last block stay clear.
TEST(SimMotionBitmap, BitPositionsAndRowPadding) {
    cv::Mat blocks = cv::Mat::zeros(2, 33, CV_8UC1);  // 520 px: two words per row
    blocks.at<uint8_t>(0, 0) = 1;
    blocks.at<uint8_t>(0, 31) = 1;
    blocks.at<uint8_t>(1, 32) = 1;
    std::vector<uint8_t> bm;
    zsim::packMotionBitmap(blocks, 520, bm);
    ASSERT_EQ(bm.size(), 16u);
    auto word = [&](int row, int w) {
        const uint8_t* b = bm.data() + row * 8 + w * 4;
        return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
    };
    EXPECT_EQ(word(0, 0), 0x80000001u);
    EXPECT_EQ(word(0, 1), 0u);
    EXPECT_EQ(word(1, 0), 0u);
    EXPECT_EQ(word(1, 1), 1u);
}

// A block is moving when its mean absolute difference reaches the threshold;
// edge blocks average over the pixels they hold.
TEST(SimMotionBitmap, BlockMotionThresholdIncludingPartialBlocks) {
    cv::Mat prev = cv::Mat::zeros(20, 40, CV_8UC1), cur = prev.clone();
    cur(cv::Rect(0, 0, 16, 16)).setTo(10);   // block (0,0): mean 10
    cur(cv::Rect(16, 0, 16, 16)).setTo(9);   // block (1,0): mean 9
    cur(cv::Rect(32, 16, 8, 4)).setTo(10);   // edge block (2,1), 8 x 4 pixels: mean 10
    cur(cv::Rect(0, 16, 16, 2)).setTo(40);   // block (0,1), 16 x 4 pixels: mean 20
    cv::Mat blocks;
    std::vector<int> sums;
    zsim::blockMotion(prev, cur, 10, blocks, sums);
    ASSERT_EQ(blocks.size(), cv::Size(3, 2));
    const uint8_t expected[2][3] = {{1, 0, 0}, {1, 0, 1}};
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 3; ++c)
            EXPECT_EQ(blocks.at<uint8_t>(r, c), expected[r][c]) << "block " << c << "," << r;
}

// LUT words: row in bits 22-31, column in bits 6-15, the cell under the
// vertex, clamped into the motion map; the library files exactly those cells
// as the overlap's anchors.
TEST(SimLut, WordsPointAtTheMotionCellUnderEachVertex) {
    std::vector<uint32_t> lut;
    zsim::buildLut(384, 576, 33, lut);
    ASSERT_EQ(lut.size(), 33u * 33u);
    EXPECT_EQ(zsim::lutWord(35, 23), (35u << 22) | (23u << 6));
    for (int r = 0; r < 33; ++r)
        for (int c = 0; c < 33; ++c) {
            const uint32_t w = lut[r * 33 + c];
            EXPECT_EQ(w & 0x3F003Fu, 0u);
            EXPECT_EQ(int((w >> 6) & 0x3FF), std::min(c * 384 / 32 / 16, 23));
            EXPECT_EQ(int(w >> 22), std::min(r * 576 / 32 / 16, 35));
        }

    zsim::Rig rig(rig3("0", "0"), 768, 576);
    const DynStitcher* s = rig.stitcher(0);
    ASSERT_EQ(int(s->blockMdCellsL.size()), rig.config().blocks);
    size_t anchors = 0;
    for (int b = 0; b < rig.config().blocks; ++b) {
        ASSERT_EQ(s->blockMdCellsL[b].size(), s->blockMdCellsR[b].size());
        for (size_t k = 0; k < s->blockMdCellsL[b].size(); ++k) {
            const cv::Point l = s->blockMdCellsL[b][k], r = s->blockMdCellsR[b][k];
            EXPECT_GE(l.x, 12);  // left camera: overlap starts at pixel 192 = cell 12
            EXPECT_LE(l.x, 23);
            EXPECT_LE(r.x, 12);  // right camera: pixels 0 .. 192
            EXPECT_EQ(l.y, r.y);
            EXPECT_LT(l.y, 36);
        }
        anchors += s->blockMdCellsL[b].size();
    }
    EXPECT_EQ(anchors, 33u * 17u);  // every row, LUT columns 16 .. 32
}

// Strip buffer: per overlap the left camera's last columns, then the right
// camera's first; the library's scaled strips are those regions.
TEST(SimStrips, LayoutMatchesWhatTheLibraryCuts) {
    zsim::Rig rig(rig3("0", "0"), 768, 576);
    const cv::Mat frame = colourFrame(0);
    rig.play(frame, 0);
    const int w = rig.config().camWidth, o = rig.config().overlap;
    const cv::Mat& buf = rig.stripBuffer();
    ASSERT_EQ(buf.size(), cv::Size(4 * o, 576));

    cv::Mat grey;
    cv::cvtColor(frame, grey, cv::COLOR_BGR2GRAY);
    for (int k = 0; k < 3; ++k)  // no misalignment, no shift: plain cuts of the frame
        EXPECT_EQ(cv::norm(rig.greyCameras()[k], grey(cv::Rect(k * (w - o), 0, w, 576)),
                           cv::NORM_INF), 0);
    for (int i = 0; i < 2; ++i) {
        const cv::Mat left = buf(cv::Rect(2 * o * i, 0, o, 576));
        const cv::Mat right = buf(cv::Rect(2 * o * i + o, 0, o, 576));
        EXPECT_EQ(cv::norm(left, rig.greyCameras()[i](cv::Rect(w - o, 0, o, 576)),
                           cv::NORM_INF), 0);
        EXPECT_EQ(cv::norm(right, rig.greyCameras()[i + 1](cv::Rect(0, 0, o, 576)),
                           cv::NORM_INF), 0);
        cv::Mat scaled;
        const DynStitcher* s = rig.stitcher(i);
        cv::resize(left, scaled, s->leftImage.size(), 0, 0, cv::INTER_NEAREST);
        EXPECT_EQ(cv::norm(scaled, s->leftImage, cv::NORM_INF), 0);
        cv::resize(right, scaled, s->rightImage.size(), 0, 0, cv::INTER_NEAREST);
        EXPECT_EQ(cv::norm(scaled, s->rightImage, cv::NORM_INF), 0);
        // An aligned rig shows both cameras the same scene in the overlap.
        EXPECT_EQ(cv::countNonZero(s->diffImage != 255), 0);
    }
}

// Cameras cut beyond the frame replicate its edge columns.
TEST(SimStrips, CameraCutReplicatesFrameEdges) {
    cv::Mat frame(2, 6, CV_8UC1);
    for (int x = 0; x < 6; ++x) frame.col(x).setTo(10 * (x + 1));
    const struct {
        int x;
        std::vector<int> cols;
    } cases[] = {
        {1, {20, 30, 40, 50}}, {-2, {10, 10, 10, 20}}, {4, {50, 60, 60, 60}},
        {9, {60, 60, 60, 60}}, {-7, {10, 10, 10, 10}},
    };
    for (const auto& c : cases) {
        cv::Mat cam(2, 4, CV_8UC1);
        const uint8_t* storage = cam.data;
        zsim::cutCamera(frame, c.x, 4, cam);
        EXPECT_EQ(cam.data, storage) << "x " << c.x;  // the camera buffer is reused
        for (int k = 0; k < 4; ++k) EXPECT_EQ(cam.at<uint8_t>(1, k), c.cols[k]) << "x " << c.x;
    }
}

// Closed loop on the bundled footage: the shifts written by the library,
// applied to the right cameras, settle within one cell of the
// misalignments, and settle again after the misalignment changes.
TEST(SimClosedLoop, ShiftsConvergeAndReconvergeAfterAChange) {
    zsim::RigConfig cfg = rig3("0:8,12:-4", "-12");
    cfg.period = 1;
    zsim::Rig rig(cfg, 768, 576);
    const auto tracks = playFrames(rig, 24);
    for (int i = 0; i < 2; ++i) {
        const auto segs = zsim::analyse(tracks[i], cfg.cellW);
        for (const auto& s : segs) {
            EXPECT_GE(s.settledAt, 0) << "overlap " << i << " truth " << s.truth;
            EXPECT_LE(s.framesToConverge(), 8) << "overlap " << i << " truth " << s.truth;
        }
    }
    EXPECT_EQ(tracks[0].truth.back(), -4);
    EXPECT_LE(std::abs(rig.shift(0) - -4), 4);
    EXPECT_LE(std::abs(rig.shift(1) - -12), 4);
    // The shift is what the library's own translation says, in pixels.
    EXPECT_EQ(rig.shift(1), rig.stitcher(1)->ST_TRKE_curLutTranslationX * cfg.cellW);
}

// An aligned rig has nothing to correct: no shift is ever written.
TEST(SimClosedLoop, AlignedRigStaysAtZero) {
    zsim::RigConfig cfg = rig3("0", "0");
    cfg.period = 1;
    zsim::Rig rig(cfg, 768, 576);
    const auto tracks = playFrames(rig, 6);
    for (const auto& t : tracks)
        for (int s : t.shift) EXPECT_EQ(s, 0);
    // The panorama of an aligned rig is the scene itself.
    cv::Mat diff;
    cv::absdiff(rig.panorama(), colourFrame(5), diff);
    double maxDiff;
    cv::minMaxLoc(diff.reshape(1), nullptr, &maxDiff);
    EXPECT_LE(maxDiff, 1.0);
}
