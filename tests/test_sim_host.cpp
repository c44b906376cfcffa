// The simulator's host logic with the library in the loop: shifts converge,
// and the translation-only rig reproduces the earlier outputs byte for byte
// (which pins the motion bitmaps, LUT words and strip buffer it hands over).
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include <opencv2/imgcodecs.hpp>

#include "sim_host.h"
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

// Misalignments: the left overlap's schedule, the right one's constant.
zsim::RigConfig rig3(const std::vector<std::pair<int, int>>& left, int right) {
    zsim::RigConfig cfg;
    cfg.dbg = 0;
    cfg.misalign = {zsim::Schedule{left}, zsim::Schedule{{{0, right}}}};
    return cfg;
}

}  // namespace

// Applied shifts settle within one cell of the misalignments, and again after
// the misalignment changes.
TEST(SimClosedLoop, ShiftsConvergeAndReconvergeAfterAChange) {
    zsim::RigConfig cfg = rig3({{0, 8}, {12, -4}}, -12);
    cfg.period = 1;
    zsim::Rig rig(cfg, 768, 576);
    const auto tracks = play(rig, 24);
    for (int i = 0; i < 2; ++i)
        for (const auto& s : zsim::analyse(tracks[i], cfg.cellW))
            EXPECT_TRUE(s.settledAt >= 0 && s.framesToConverge() <= 8)
                << "overlap " << i << " truth " << s.truth << " settled at " << s.settledAt;
    EXPECT_EQ(tracks[0].truth.back(), -4);
}

// FNV-1a over shift.csv and both fusion maps after five frames of the default
// run, from the simulator of the release before realistic cameras.
TEST(SimIdealRig, ReproducesTheEarlierShiftsAndFusionMaps) {
    zsim::Rig rig(rig3({{0, 8}}, -12), 768, 576);
    const std::string path = testing::TempDir() + "ideal_shift_" + std::to_string(getpid());
    zsim::writeCsv(path, play(rig, 5));
    const std::string csv{std::istreambuf_iterator<char>(std::ifstream(path).rdbuf()), {}};
    std::remove(path.c_str());
    uint64_t h = 1469598103934665603ull;
    auto eat = [&](const uint8_t* p, size_t n) {
        for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
    };
    eat(reinterpret_cast<const uint8_t*>(csv.data()), csv.size());
    for (const cv::Mat& m : rig.fusionMaps()) eat(m.data, m.total());
    EXPECT_EQ(h, 0x2bf12937635adab4ull);
}
