// The simulator's host logic: motion bitmap layout, converging shifts, and the ideal rig's
// earlier outputs byte for byte (pinning LUT and strips).
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <regex>

#include <opencv2/imgcodecs.hpp>

#include "io/results.h"
#include "rig/host_buffers.h"
#include "test_support.h"

namespace {

// Plays the first n bundled frames; per overlap the applied and true shifts.
std::vector<zsim::Track> play(zsim::Rig& rig, int n) {
    std::vector<zsim::Track> tracks(rig.overlaps());
    for (int f = 0; f < n; ++f) {
        rig.play(cv::imread(zt::sample_frame_path(f)), f);
        for (int i = 0; i < rig.overlaps(); ++i) {
            tracks[i].shift.push_back(rig.shift(i));
            tracks[i].truth.push_back(rig.truth(i));
        }
    }
    return tracks;
}

}  // namespace

// Block x of a row is bit x % 8 of byte x / 8 (little-endian 32-bit words, as the library
// decodes them); rows lie whole words apart.
TEST(SimMotionBitmap, BlocksPackIntoLittleEndianWords) {
    cv::Mat blocks = cv::Mat::zeros(2, 33, CV_8UC1);  // 520 px: one block into a second word
    blocks.at<uint8_t>(0, 1) = blocks.at<uint8_t>(1, 32) = 1;
    std::vector<uint8_t> bitmap;
    zsim::packMotionBitmap(blocks, 520, bitmap);
    EXPECT_EQ(bitmap, (std::vector<uint8_t>{2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0}));
}

// Applied shifts settle within one cell of the misalignments, and again after they change.
TEST(SimClosedLoop, ShiftsConvergeAndReconvergeAfterAChange) {
    zsim::RigConfig cfg;
    cfg.dbg = 0, cfg.period = 1;
    cfg.misalign = {zsim::Schedule{{{0, 8}, {12, -4}}}, zsim::Schedule{{{0, -12}}}};
    zsim::Rig rig(cfg, 768, 576);
    const auto tracks = play(rig, 24);
    for (int i = 0; i < 2; ++i)
        for (const auto& s : zsim::analyse(tracks[i], cfg.cellW))
            EXPECT_TRUE(s.settledAt >= 0 && s.framesToConverge() <= 8)
                << "overlap " << i << " truth " << s.truth << " settled at " << s.settledAt;
    EXPECT_EQ(tracks[0].truth.back(), -4);
}

// FNV-1a over shift.csv's first four columns and both fusion maps after five frames of the default
// run, from the simulator of the release before realistic cameras.
TEST(SimIdealRig, ReproducesTheEarlierShiftsAndFusionMaps) {
    zsim::RigConfig cfg;
    cfg.dbg = 0;
    cfg.misalign = {zsim::Schedule{{{0, 8}}}, zsim::Schedule{{{0, -12}}}};
    zsim::Rig rig(cfg, 768, 576);
    const std::string path = testing::TempDir() + "ideal_shift_" + std::to_string(getpid());
    zsim::writeCsv(path, play(rig, 5));
    std::string all = std::regex_replace(
        std::string{std::istreambuf_iterator<char>(std::ifstream(path).rdbuf()), {}},
        std::regex(",[^,\n]*\n"), "\n");  // the residual column came later
    std::remove(path.c_str());
    for (const cv::Mat& m : rig.fusionMaps()) all.append(m.ptr<char>(), m.total());
    uint64_t h = 1469598103934665603ull;
    for (const char c : all) h = (h ^ uint8_t(c)) * 1099511628211ull;
    EXPECT_EQ(h, 0x2bf12937635adab4ull);
}
