// The per-frame driver, fed through a frame record laid out byte by byte as
// the host lays it out. Its frame counter starts at 0 once per process, so
// the test that depends on that comes first.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "test_support.h"
#include "zelvo_internal.h"

namespace {

// Byte offsets of the record's fields, as the host writes them.
constexpr size_t kImgNum = 0x0, kStripBufAddr = 0x8, kStripBufWidth = 0x18, kStripWidth = 0x20,
                 kStripHeight = 0x30, kMdWidth = 0x60, kMdHeight = 0x70, kMdAddr = 0x80,
                 kShiftValue = 0x20D8;
constexpr int kSentinel = -5;

// A host rig: N images, the strip buffer, motion bitmaps, the stitchers and
// the record as raw bytes (reserved bytes hold garbage).
struct Rig {
    std::vector<unsigned> widths;
    unsigned height;
    unsigned bufWidth = 0;
    std::vector<unsigned> stripX;
    std::vector<uint8_t> strip;
    std::vector<std::vector<uint8_t>> md;  // 40 x 20 pixels: 3 x 2 blocks, 4 bytes a row
    std::vector<std::unique_ptr<DynStitcher>> owned;
    std::vector<DynStitcher*> stitchers;
    std::vector<uint8_t> record;

    Rig(std::vector<unsigned> w, unsigned h) : widths(w), height(h) {
        for (unsigned x : widths) {
            stripX.push_back(bufWidth);
            bufWidth += 2 * x;
        }
        strip.assign(size_t(bufWidth) * height, 100);  // flat: no corner to track
        zt::StdoutCapture quiet;
        for (size_t i = 0; i < widths.size(); ++i) {
            owned.emplace_back(new DynStitcher(0, 0, 640, 480, int(widths[i]) * 4, 1, 100.0f,
                                               0.0f, 0.0f, 0, nullptr, nullptr, 1, 10, 9, 9,
                                               nullptr, nullptr, int(i), 3, 2, 4, 4));
            owned.back()->maskCols = int(widths[i]);
            owned.back()->maskRows = int(height);
            stitchers.push_back(owned.back().get());
        }
        for (size_t k = 0; k <= widths.size(); ++k) md.push_back(std::vector<uint8_t>(8, 0));
        record.assign(sizeof(_ZELVO_STITCH_INFO), 0xCD);
        write_record(unsigned(widths.size() + 1));
    }

    template <class T>
    void put(size_t off, T v) { std::memcpy(&record[off], &v, sizeof v); }
    template <class T>
    T get(size_t off) const {
        T v;
        std::memcpy(&v, &record[off], sizeof v);
        return v;
    }

    void write_record(unsigned img_num) {
        put<uint32_t>(kImgNum, img_num);
        put<uint64_t>(kStripBufAddr, uint64_t(reinterpret_cast<uintptr_t>(strip.data())));
        put<uint32_t>(kStripBufWidth, bufWidth);
        for (size_t i = 0; i < widths.size(); ++i) {
            put<uint32_t>(kStripWidth + 4 * i, widths[i]);
            put<uint32_t>(kStripHeight + 4 * i, height);
        }
        put<uint32_t>(kMdWidth, 40);
        put<uint32_t>(kMdHeight, 20);
        for (size_t k = 0; k < md.size(); ++k)
            put<uint64_t>(kMdAddr + 8 * k, uint64_t(reinterpret_cast<uintptr_t>(md[k].data())));
        for (size_t k = 0; k <= widths.size(); ++k) put<int32_t>(kShiftValue + 4 * k, kSentinel);
    }

    int shift(int slot) const { return get<int32_t>(kShiftValue + 4 * slot); }
    _ZELVO_STITCH_INFO* info() { return reinterpret_cast<_ZELVO_STITCH_INFO*>(record.data()); }
    cv::Mat buffer() { return cv::Mat(int(height), int(bufWidth), CV_8UC1, strip.data()); }
    cv::Mat left(int i) {
        return buffer()(cv::Rect(int(stripX[i]), 0, int(widths[i]), int(height)));
    }
    cv::Mat right(int i) {
        return buffer()(cv::Rect(int(stripX[i] + widths[i]), 0, int(widths[i]), int(height)));
    }

    // Runs one frame; returns what it printed.
    std::string frame() {
        zt::StdoutCapture cap;
        EXPECT_EQ(zelvo_stitch_process(stitchers.data(), info()), 0);
        return cap.take();
    }
    // Runs one frame; tells whether it was a tracking frame (decideShifting
    // ran once per overlap).
    bool tracked() {
        const int before = zelvo::shifting_counter();
        frame();
        const int runs = zelvo::shifting_counter() - before;
        EXPECT_TRUE(runs == 0 || runs == int(widths.size())) << runs;
        return runs != 0;
    }
};

bool same(const cv::Mat& a, const cv::Mat& b) {
    return a.size() == b.size() && cv::norm(a, b, cv::NORM_INF) == 0;
}

class FrameDriver : public ::testing::Test {
protected:
    void SetUp() override {
        zt::StdoutCapture quiet;
        zelvo_stitch_init(9, 1, 0, 0, 1, 1);
    }
    void TearDown() override {
        zelvo_stitch_set_dbg_out(1);
        zelvo_stitch_uninit();
        Zelvo_Stitch_Shift_Every_N_Frames = 0;
        dbg_enable = 0;
    }
};

}  // namespace

TEST_F(FrameDriver, FirstCallAfterLoadingTracks) {
    if (zelvo::frame_driver_counter() != 0)
        GTEST_SKIP() << "another test of this process already ran a frame";
    Rig rig({8, 8}, 6);
    Zelvo_Stitch_Shift_Every_N_Frames = 5;
    EXPECT_TRUE(rig.tracked());
    EXPECT_EQ(zelvo::frame_driver_counter(), 1);
    EXPECT_FALSE(rig.tracked());
}

TEST_F(FrameDriver, TrackingFramesFollowThePeriod) {
    Rig rig({8, 8}, 6);
    const struct {
        int period;
        int start;
        std::vector<bool> pattern;
    } cases[] = {
        {0, 0, {true, true, true, true}},
        {1, 5, {true, true, true, true}},
        {-1, 5, {true, true, true, true}},
        {3, 0, {true, false, false, true, false, false, true}},
        {-3, 0, {true, false, false, true, false, false, true}},
        {3, 10, {false, false, true, false, false, true}},
        {2, 7, {false, true, false, true}},
        // Past 2147483647 the counter reads 0 again: a tracking frame.
        {3, 2147483646, {true, false, true, false}},
        {5, 2147483647, {false, true, false}},
    };
    for (const auto& c : cases) {
        Zelvo_Stitch_Shift_Every_N_Frames = c.period;
        zelvo::frame_driver_counter() = c.start;
        std::vector<bool> seen;
        for (size_t f = 0; f < c.pattern.size(); ++f) seen.push_back(rig.tracked());
        EXPECT_EQ(seen, c.pattern) << "period " << c.period << " from " << c.start;
    }
    zelvo::frame_driver_counter() = 2147483647;
    rig.frame();
    EXPECT_EQ(zelvo::frame_driver_counter(), 0);
}

TEST_F(FrameDriver, StripOffsetsFollowTheWidths) {
    Rig rig({100, 80, 60}, 6);
    cv::RNG rng(11);
    rng.fill(rig.buffer(), cv::RNG::UNIFORM, 0, 256);
    ASSERT_EQ(rig.bufWidth, 480u);
    rig.frame();
    const int expectedX[3] = {0, 200, 360};
    for (int i = 0; i < 3; ++i) {
        const int w = int(rig.widths[i]);
        const cv::Mat all = rig.buffer();
        EXPECT_TRUE(same(rig.stitchers[i]->leftImage, all.colRange(expectedX[i], expectedX[i] + w)))
            << i;
        EXPECT_TRUE(same(rig.stitchers[i]->rightImage,
                         all.colRange(expectedX[i] + w, expectedX[i] + 2 * w)))
            << i;
    }
}

TEST_F(FrameDriver, PreProcessEveryFrameShiftOnlyOnTrackingFrames) {
    Rig rig({8, 10}, 6);
    Zelvo_Stitch_Shift_Every_N_Frames = 3;
    zelvo::frame_driver_counter() = 1;
    rig.stitchers[1]->ST_TRKE_tgtLutTranslationX = 5;  // flat strips keep it

    for (int f = 0; f < 2; ++f) {  // counters 1 and 2: no tracking
        rig.left(1).setTo(10 + f);
        rig.frame();
        EXPECT_EQ(cv::countNonZero(rig.stitchers[1]->leftImage != 10 + f), 0) << f;
        EXPECT_EQ(cv::countNonZero(rig.stitchers[1]->diffImage != 255 - (100 - 10 - f)), 0);
        EXPECT_EQ(rig.shift(2), kSentinel);
        EXPECT_EQ(rig.stitchers[1]->ST_TRKE_curLutTranslationX, 0);
        EXPECT_TRUE(rig.stitchers[1]->ST_TRKE_lutTranslationXHistory.empty());
    }
    rig.frame();  // counter 3: tracking, one step of 2 cells toward 5
    EXPECT_EQ(rig.stitchers[1]->ST_TRKE_curLutTranslationX, 2);
    EXPECT_EQ(rig.shift(2), 8);
    EXPECT_EQ(rig.shift(1), kSentinel) << "overlap 0 is converged: its slot stays";
    EXPECT_EQ(rig.shift(0), kSentinel);
    rig.put<int32_t>(kShiftValue + 8, 1234);
    rig.frame();  // counter 4
    EXPECT_EQ(rig.shift(2), 1234);
}

TEST_F(FrameDriver, SingleImageHasNoOverlap) {
    Rig rig({8}, 6);
    rig.md[0] = {0x05, 0, 0, 0, 0x02, 0, 0, 0};
    rig.write_record(1);
    const int before = zelvo::frame_driver_counter();
    const int shifting = zelvo::shifting_counter();
    // No stitcher may be touched: the array holds none.
    zt::StdoutCapture cap;
    EXPECT_EQ(zelvo_stitch_process(nullptr, rig.info()), 0);
    EXPECT_EQ(cap.take(), "");
    EXPECT_EQ(zelvo::frame_driver_counter(), before + 1);
    EXPECT_EQ(zelvo::shifting_counter(), shifting);
    ASSERT_NE(decoded_md_buffer, nullptr);
    const std::vector<uint8_t> map(decoded_md_buffer[0], decoded_md_buffer[0] + 6);
    EXPECT_EQ(map, (std::vector<uint8_t>{1, 0, 1, 0, 1, 0}));
    EXPECT_TRUE(rig.stitchers[0]->leftImage.empty());
    EXPECT_EQ(rig.shift(1), kSentinel);
}

TEST_F(FrameDriver, ZeroImagesThrowsBeforeAnythingMoves) {
    Rig rig({8}, 6);
    rig.md[0][0] = 0x01;
    rig.frame();
    ASSERT_NE(decoded_md_buffer, nullptr);
    uint8_t* map = decoded_md_buffer[0];
    EXPECT_EQ(map[0], 1);
    const int before = zelvo::frame_driver_counter();
    rig.md[0][0] = 0x00;
    rig.put<uint32_t>(kImgNum, 0);
    EXPECT_THROW(zelvo_stitch_process(rig.stitchers.data(), rig.info()), std::bad_array_new_length);
    EXPECT_EQ(zelvo::frame_driver_counter(), before);
    EXPECT_EQ(decoded_md_buffer[0], map);
    EXPECT_EQ(map[0], 1) << "nothing decoded";
    EXPECT_EQ(rig.shift(0), kSentinel);
    EXPECT_EQ(rig.shift(1), kSentinel);
}

TEST_F(FrameDriver, MessagesOnlyWhenThePrintSwitchIsOne) {
    Rig rig({8, 8}, 6);
    rig.stitchers[1]->ST_TRKE_tgtLutTranslationX = 8;
    zelvo_stitch_set_dbg_out(1);
    dbg_enable = 1;
    zelvo::frame_driver_counter() = 7;
    zelvo::shifting_counter() = 0;
    EXPECT_EQ(rig.frame(),
              "Frame: 7, overlap ID: 0\n"
              "WARN: No feature detected in left size image. SKIP Shifting.\n\n"
              "Done ST_TRKE(): -3\n"
              "decideShifting(): frameNo=0, overlap_id= 0, ST_TRKE_convergingLutTranslationX = 0\n"
              "temporalWeightedAvg(): last_v = 0, ret_v = 0 \r\n"
              "decideShifting(): ST_TRKE_tgtLutTranslationX = 0, current effectiveOffsetX = 0, "
              "ST_TRKE_curLutTranslationX=0\n"
              "CONVERGED. Open for shifting target...\n"
              "Lib overlap_shift_value = -5\n"
              "Done decideShifting()...\n"
              "Frame: 7, overlap ID: 1\n"
              "WARN: No feature detected in left size image. SKIP Shifting.\n\n"
              "Done ST_TRKE(): -3\n"
              "decideShifting(): frameNo=1, overlap_id= 1, ST_TRKE_convergingLutTranslationX = 0\n"
              "temporalWeightedAvg(): last_v = 8, ret_v = 8 \r\n"
              "decideShifting(): ST_TRKE_tgtLutTranslationX = 8, current effectiveOffsetX = 8, "
              "ST_TRKE_curLutTranslationX=0\n"
              "Stepped. Now ST_TRKE_curLutTranslationX = 3, shift_value = 12, overlap_shift_value[2] = 12\n"
              "Lib overlap_shift_value = 12\n"
              "Done decideShifting()...\n");

    // Non-tracking frames print nothing, whatever the switch.
    Zelvo_Stitch_Shift_Every_N_Frames = 2;
    zelvo::frame_driver_counter() = 1;
    EXPECT_EQ(rig.frame(), "");
}

TEST_F(FrameDriver, PrintSwitchReachesTheStitchersOnTheNextTrackingFrame) {
    Rig rig({8, 8}, 6);
    Zelvo_Stitch_Shift_Every_N_Frames = 2;
    zelvo::frame_driver_counter() = 1;
    dbg_enable = 1;
    zelvo_stitch_set_dbg_out(2);
    EXPECT_EQ(rig.frame(), "");  // counter 1: no tracking
    EXPECT_EQ(dbg_enable, 1);
    // Counter 2: overlap 0's tracker still sees the old switch; decideShifting
    // hands on 2, which silences everything but the smoothing.
    EXPECT_EQ(rig.frame(),
              "WARN: No feature detected in left size image. SKIP Shifting.\n\n"
              "temporalWeightedAvg(): last_v = 0, ret_v = 0 \r\n"
              "temporalWeightedAvg(): last_v = 0, ret_v = 0 \r\n");
    EXPECT_EQ(dbg_enable, 2);
    zelvo_stitch_set_dbg_out(0);
    rig.frame();  // counter 3
    EXPECT_EQ(rig.frame(), "");  // counter 4
    EXPECT_EQ(dbg_enable, 0);
}
