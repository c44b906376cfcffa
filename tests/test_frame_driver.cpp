// The per-frame driver, fed through a frame record laid out byte by byte as
// the host lays it out. Its frame counter starts at 0 once per process.
#include <gtest/gtest.h>

#include <cstring>
#include <new>

#include "test_support.h"
#include "zelvo_internal.h"

namespace {

// Byte offsets of the record's fields, as the host writes them.
constexpr size_t kImgNum = 0x0, kStripBufAddr = 0x8, kStripBufWidth = 0x18, kStripWidth = 0x20,
                 kStripHeight = 0x30, kMdWidth = 0x60, kMdHeight = 0x70, kMdAddr = 0x80,
                 kShiftValue = 0x20D8;
constexpr int kSentinel = -5;

// A host rig: flat strips (nothing to track), 40 x 20 motion bitmaps, the
// stitchers and the record as raw bytes (reserved bytes hold garbage).
struct Rig {
    std::vector<unsigned> widths;
    unsigned height = 6, bufWidth = 0;
    std::vector<uint8_t> strip, record = std::vector<uint8_t>(sizeof(_ZELVO_STITCH_INFO), 0xCD);
    std::vector<std::vector<uint8_t>> md;
    std::vector<std::unique_ptr<DynStitcher>> owned;
    std::vector<DynStitcher*> stitchers;

    explicit Rig(std::vector<unsigned> w) : widths(w), md(w.size() + 1, std::vector<uint8_t>(8)) {
        for (size_t i = 0; i < widths.size(); ++i) {
            put<uint32_t>(kStripWidth + 4 * i, widths[i]), put<uint32_t>(kStripHeight + 4 * i, height);
            bufWidth += 2 * widths[i];
            owned.push_back(zt::quiet_stitcher(4, int(i)));
            owned[i]->maskCols = int(widths[i]), owned[i]->maskRows = int(height);
            stitchers.push_back(owned[i].get());
        }
        strip.assign(size_t(bufWidth) * height, 100);
        put<uint32_t>(kImgNum, unsigned(widths.size() + 1)), put<uint32_t>(kStripBufWidth, bufWidth);
        put<uint64_t>(kStripBufAddr, uint64_t(uintptr_t(strip.data())));
        put<uint32_t>(kMdWidth, 40), put<uint32_t>(kMdHeight, 20);
        for (size_t k = 0; k < md.size(); ++k)
            put<uint64_t>(kMdAddr + 8 * k, uint64_t(uintptr_t(md[k].data()))),
                put<int32_t>(kShiftValue + 4 * k, kSentinel);
    }
    template <class T> void put(size_t off, T v) { std::memcpy(&record[off], &v, sizeof v); }
    int shift(int slot) const {
        int32_t v;
        return *static_cast<int32_t*>(std::memcpy(&v, &record[kShiftValue + 4 * slot], 4));
    }
    _ZELVO_STITCH_INFO* info() { return reinterpret_cast<_ZELVO_STITCH_INFO*>(record.data()); }
    cv::Mat buffer() { return cv::Mat(int(height), int(bufWidth), CV_8UC1, strip.data()); }
    std::string frame() {  // one frame; returns what it printed
        zt::StdoutCapture cap;
        return zelvo_stitch_process(stitchers.data(), info()) == 0 ? cap.take() : "failed";
    }
    bool tracked() {  // a tracking frame runs decideShifting once per overlap
        const int before = zelvo::shiftingCounter();
        frame();
        const int runs = zelvo::shiftingCounter() - before;
        EXPECT_TRUE(runs == 0 || runs == int(widths.size())) << runs;
        return runs != 0;
    }
};

class FrameDriver : public ::testing::Test {
protected:
    void SetUp() override { zelvo_stitch_init(9, 1, 0, 0, 1, 1); }
    void TearDown() override {
        zelvo_stitch_set_dbg_out(1);
        zelvo_stitch_uninit();
        Zelvo_Stitch_Shift_Every_N_Frames = 0;
        dbg_enable = 0;
    }
};

}  // namespace

TEST_F(FrameDriver, FirstCallAfterLoadingTracks) {
    if (zelvo::frameDriverCounter() != 0) GTEST_SKIP() << "a frame already ran in this process";
    Rig rig({8, 8});
    Zelvo_Stitch_Shift_Every_N_Frames = 5;
    EXPECT_TRUE(rig.tracked());
    EXPECT_FALSE(rig.tracked());
}

TEST_F(FrameDriver, TrackingFramesFollowThePeriod) {
    Rig rig({8, 8});
    const struct { int period, start; std::vector<bool> pattern; } cases[] = {
        {0, 0, {true, true, true}}, {1, 5, {true, true, true}}, {-1, 5, {true, true, true}},
        {3, 0, {true, false, false, true}}, {-3, 0, {true, false, false, true}},
        {3, 2147483646, {true, false, true}},  // past 2147483647 the counter reads 0
    };
    for (const auto& c : cases) {
        Zelvo_Stitch_Shift_Every_N_Frames = c.period;
        zelvo::frameDriverCounter() = c.start;
        std::vector<bool> seen;
        for (size_t f = 0; f < c.pattern.size(); ++f) seen.push_back(rig.tracked());
        EXPECT_EQ(seen, c.pattern) << "period " << c.period << " from " << c.start;
    }
}

TEST_F(FrameDriver, StripOffsetsFollowTheWidths) {
    Rig rig({100, 80, 60});
    cv::RNG(11).fill(rig.buffer(), cv::RNG::UNIFORM, 0, 256);
    rig.frame();
    const int x[3] = {0, 200, 360};
    for (int i = 0, w = 100; i < 3; ++i, w -= 20) {
        EXPECT_EQ(cv::norm(rig.stitchers[i]->leftImage, rig.buffer().colRange(x[i], x[i] + w)), 0);
        EXPECT_EQ(cv::norm(rig.stitchers[i]->rightImage, rig.buffer().colRange(x[i] + w, x[i] + 2 * w)), 0);
    }
}

TEST_F(FrameDriver, PreProcessEveryFrameShiftOnlyOnTrackingFrames) {
    Rig rig({8, 10});
    Zelvo_Stitch_Shift_Every_N_Frames = 3;
    zelvo::frameDriverCounter() = 1;
    DynStitcher& s = *rig.stitchers[1];
    s.ST_TRKE_tgtLutTranslationX = 5;  // flat strips keep it
    for (int f = 0; f < 2; ++f) {      // counters 1 and 2: no tracking
        rig.buffer()(cv::Rect(16, 0, 10, 6)).setTo(10 + f);
        rig.frame();
        EXPECT_EQ(cv::countNonZero(s.leftImage != 10 + f), 0) << f;
        EXPECT_EQ(rig.shift(2), kSentinel);
        EXPECT_EQ(s.ST_TRKE_curLutTranslationX, 0);
    }
    rig.frame();  // counter 3: tracking, one step of 2 cells toward 5
    EXPECT_EQ(s.ST_TRKE_curLutTranslationX, 2);
    EXPECT_EQ(rig.shift(2), 8);
    EXPECT_EQ(rig.shift(1), kSentinel) << "overlap 0 is converged: its slot stays";
    rig.put<int32_t>(kShiftValue + 8, 1234);
    rig.frame();  // counter 4
    EXPECT_EQ(rig.shift(2), 1234);
}

TEST_F(FrameDriver, OneImageDecodesOnlyZeroImagesThrowsBeforeAnythingMoves) {
    Rig rig({8});
    rig.md[0] = {0x05, 0, 0, 0, 0x02, 0, 0, 0};
    rig.put<uint32_t>(kImgNum, 1);
    const int before = zelvo::frameDriverCounter(), shifting = zelvo::shiftingCounter();
    zt::StdoutCapture cap;
    EXPECT_EQ(zelvo_stitch_process(nullptr, rig.info()), 0);  // no stitcher may be touched
    EXPECT_EQ(cap.take(), "");
    EXPECT_EQ(zelvo::frameDriverCounter(), before + 1);
    EXPECT_EQ(zelvo::shiftingCounter(), shifting);
    uint8_t* map = decoded_md_buffer[0];
    EXPECT_EQ(std::vector<uint8_t>(map, map + 6), (std::vector<uint8_t>{1, 0, 1, 0, 1, 0}));
    rig.md[0][0] = 0x00;
    rig.put<uint32_t>(kImgNum, 0);
    EXPECT_THROW(zelvo_stitch_process(rig.stitchers.data(), rig.info()), std::bad_array_new_length);
    EXPECT_EQ(zelvo::frameDriverCounter(), before + 1);
    EXPECT_EQ(decoded_md_buffer[0], map);
    EXPECT_EQ(map[0], 1) << "nothing decoded";
    EXPECT_EQ(rig.shift(1), kSentinel);
}

TEST_F(FrameDriver, MessagesOnlyWhenThePrintSwitchIsOne) {
    Rig rig({8});
    rig.stitchers[0]->ST_TRKE_tgtLutTranslationX = 8;
    zelvo_stitch_set_dbg_out(1);
    dbg_enable = 1;
    zelvo::frameDriverCounter() = 7;
    zelvo::shiftingCounter() = 0;
    EXPECT_EQ(rig.frame(),
              "Frame: 7, overlap ID: 0\n"
              "WARN: No feature detected in left size image. SKIP Shifting.\n\n"
              "Done ST_TRKE(): -3\n"
              "decideShifting(): frameNo=0, overlap_id= 0, ST_TRKE_convergingLutTranslationX = 0\n"
              "temporalWeightedAvg(): last_v = 8, ret_v = 8 \r\n"
              "decideShifting(): ST_TRKE_tgtLutTranslationX = 8, current effectiveOffsetX = 8, "
              "ST_TRKE_curLutTranslationX=0\n"
              "Stepped. Now ST_TRKE_curLutTranslationX = 3, shift_value = 12, overlap_shift_value[1] = 12\n"
              "Lib overlap_shift_value = 12\n"
              "Done decideShifting()...\n");
    // The switch reaches the stitchers on the next tracking frame: the
    // tracker still sees the old one; decideShifting hands on 2, which
    // silences everything but the smoothing.
    rig.stitchers[0]->ST_TRKE_tgtLutTranslationX = 0;
    Zelvo_Stitch_Shift_Every_N_Frames = 2;
    zelvo::frameDriverCounter() = 1;
    zelvo_stitch_set_dbg_out(2);
    EXPECT_EQ(rig.frame(), "");  // counter 1: no tracking, nothing printed
    EXPECT_EQ(rig.frame(),  // counter 2
              "WARN: No feature detected in left size image. SKIP Shifting.\n\n"
              "temporalWeightedAvg(): last_v = 0, ret_v = 0 \r\n");
    EXPECT_EQ(dbg_enable, 2);
}
