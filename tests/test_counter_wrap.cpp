// The three frame counters driven across 2147483647 through their test hooks: shifts,
// fusion maps and debug dumps after the wrap must be those of a freshly loaded library.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include <opencv2/core.hpp>

#include "test_support.h"
#include "zelvo_internal.h"

namespace {

// One overlap of two 384 x 144 cameras sharing 96 columns, cut from the footage; the
// right strip looks 8 pixels further right, so the tracker finds a shift to step toward.
constexpr int kW = 384, kH = 144, kOverlap = 96, kCell = 4, kGrid = 9, kOverlapId = 7;
constexpr int kMdCols = kW / 16, kMdRows = kH / 16;
constexpr int32_t kHostShift = -12345;

struct Host {
    std::vector<uint32_t> lut;
    std::vector<uint8_t> fusion = std::vector<uint8_t>(size_t(kH) * kOverlap);
    std::vector<uint8_t> strips = std::vector<uint8_t>(size_t(2 * kOverlap) * kH);
    std::vector<uint8_t> bitmaps[2];
    _ZELVO_STITCH_INFO info;
    DynStitcher* stitcher = nullptr;

    Host() {
        for (int r = 0; r < kGrid; ++r)
            for (int c = 0; c < kGrid; ++c) {
                const uint32_t x = std::min(c * kW / (kGrid - 1) / 16, kMdCols - 1);
                const uint32_t y = std::min(r * kH / (kGrid - 1) / 16, kMdRows - 1);
                lut.push_back((y << 22) | (x << 6));
            }
        for (auto& b : bitmaps) b.assign(size_t(kMdRows) * 4, 0x0F);
        std::memset(&info, 0, sizeof info);
        info.img_num = 2;
        info.strip_buf_addr = uint64_t(uintptr_t(strips.data()));
        info.strip_buf_width = 2 * kOverlap;
        info.strip_width[0] = kOverlap;
        info.strip_height[0] = kH;
        info.md_width = kW;
        info.md_height = kH;
        info.md_addr[0] = uint64_t(uintptr_t(bitmaps[0].data()));
        info.md_addr[1] = uint64_t(uintptr_t(bitmaps[1].data()));
        info.overlap_shift_value[1] = kHostShift;

        float thresholds[2] = {0.05f, 0.2f}, incs[2] = {1.0f, -1.0f};
        zt::StdoutCapture quiet;
        stitcher = create_dynstitcher(0, 0, kW, kH, kOverlap, 2, 50.0f, -50.0f, 0.0f, 2,
                                      thresholds, incs, 1, 10, kGrid, kGrid, lut.data(),
                                      lut.data(), kOverlapId, kMdCols, kMdRows, kCell, kCell);
        setup_dynstitcher(stitcher, 0, (unsigned long)(uintptr_t)fusion.data());
    }
    ~Host() { destroy_dynstitcher(&stitcher); }

    // Frame f of the footage: left strip at column 300, right strip 8 pixels on.
    void frame(int f) {
        const cv::Mat grey = zt::sample_gray(f % 100);
        cv::Mat buf(kH, 2 * kOverlap, CV_8UC1, strips.data());
        grey(cv::Rect(300, 200, kOverlap, kH)).copyTo(buf(cv::Rect(0, 0, kOverlap, kH)));
        grey(cv::Rect(308, 200, kOverlap, kH)).copyTo(buf(cv::Rect(kOverlap, 0, kOverlap, kH)));
        DynStitcher* s[1] = {stitcher};
        zelvo_stitch_process(s, &info);
        stitcher->process(decoded_md_buffer[0], decoded_md_buffer[1]);
        stitcher->copyTo_dre_fusion_map();
    }
};

// One run of frames: the counters the driver and decideShifting printed, the shift
// after every frame, the fusion map at the end.
struct Played {
    std::vector<long long> driverCounts, shiftingCounts;
    std::vector<int> shifts;
    std::vector<uint8_t> fusion;
};

Played play(int frames) {
    Host host;
    Played run;
    for (int f = 0; f < frames; ++f) {
        zt::StdoutCapture cap;
        host.frame(f);
        const std::string out = cap.take();
        long long n = -1;
        const size_t at = out.find("Frame: "), ds = out.find("decideShifting(): frameNo=");
        if (at != std::string::npos && sscanf(out.c_str() + at, "Frame: %lld", &n) == 1)
            run.driverCounts.push_back(n);
        if (ds != std::string::npos && sscanf(out.c_str() + ds, "decideShifting(): frameNo=%lld", &n) == 1)
            run.shiftingCounts.push_back(n);
        run.shifts.push_back(host.info.overlap_shift_value[1]);
    }
    run.fusion = host.fusion;
    return run;
}

void set_counters(int driver, int dump, int shifting) {
    zelvo::frameDriverCounter() = driver;
    zelvo::trackerDumpCounter() = dump;
    zelvo::shiftingCounter() = shifting;
}

class CounterWrap : public ::testing::Test {
protected:
    void SetUp() override {
        zelvo_stitch_init(kGrid, 2, 0, 0, 1, 1);
        zelvo_stitch_set_dbg_out(1);
        saved_ = {dump_overlap_id, last_overlap_id, limit_dump_frames};
        dump_overlap_id = -1;
        last_overlap_id = kOverlapId;
    }
    void TearDown() override {
        dump_overlap_id = saved_[0];
        last_overlap_id = saved_[1];
        limit_dump_frames = saved_[2];
        Zelvo_Stitch_Shift_Every_N_Frames = 0;
        zelvo_stitch_set_dbg_out(1);
        zelvo_stitch_uninit();
        set_counters(0, 0, 0);
    }
    std::vector<int> saved_;
};

TEST_F(CounterWrap, ShiftsAndFusionMapsDoNotDependOnTheCounters) {
    // Every frame tracks (period 0). The same footage from counters at 0 and two frames
    // before the wrap must step the same shifts and leave the same fusion map.
    set_counters(0, 0, 0);
    const Played start = play(12);
    set_counters(INT_MAX - 1, INT_MAX - 1, INT_MAX - 1);
    const Played wrap = play(12);

    bool moved = false;
    for (int s : start.shifts) moved |= s != kHostShift && s != 0;
    ASSERT_TRUE(moved) << "the footage should make the tracker step a shift";
    EXPECT_EQ(wrap.shifts, start.shifts);
    EXPECT_EQ(wrap.fusion, start.fusion);
    EXPECT_EQ(wrap.driverCounts.size(), start.driverCounts.size());
    ASSERT_GE(wrap.shiftingCounts.size(), 3u);
    EXPECT_EQ(std::vector<long long>(wrap.shiftingCounts.begin(), wrap.shiftingCounts.begin() + 3),
              (std::vector<long long>{INT_MAX - 1, INT_MAX, 0}));
    EXPECT_EQ(std::vector<long long>(wrap.driverCounts.begin(), wrap.driverCounts.begin() + 3),
              (std::vector<long long>{INT_MAX - 1, INT_MAX, 0}));
    EXPECT_EQ(zelvo::shiftingCounter(), 10);
    EXPECT_EQ(zelvo::frameDriverCounter(), 10);
}

TEST_F(CounterWrap, DebugDumpsResumeAfterTheWrap) {
    ZT_SKIP_WITHOUT_DUMP_DIR();
    // The tracker dumps its strips while its counter is below limit_dump_frames: at the
    // start only frame 0 dumps; near the end of the range nothing dumps until the counter
    // wraps to 0, which dumps once more.
    zelvo_stitch_set_dbg_out(0);
    dump_overlap_id = kOverlapId;
    limit_dump_frames = 1;
    const std::string left = "/var/run/0_7_L.png", right = "/var/run/0_7_R.png";
    auto dumped = [&] { return access(left.c_str(), F_OK) == 0 && access(right.c_str(), F_OK) == 0; };
    auto clear = [&] { unlink(left.c_str()), unlink(right.c_str()); };

    // Per start value: after each frame, whether it dumped and the counter.
    const struct { int start; std::vector<std::pair<bool, int>> frames; } cases[] = {
        {0, {{true, 1}, {false, 2}}},
        {INT_MAX - 1, {{false, INT_MAX}, {false, 0}, {true, 1}, {false, 2}}},
    };
    for (const auto& c : cases) {
        clear();
        set_counters(0, c.start, 0);
        Host host;
        for (size_t f = 0; f < c.frames.size(); ++f) {
            host.frame(int(f));
            EXPECT_EQ(dumped(), c.frames[f].first) << c.start << " frame " << f;
            EXPECT_EQ(zelvo::trackerDumpCounter(), c.frames[f].second) << c.start << " frame " << f;
            clear();
        }
    }
}

}  // namespace
