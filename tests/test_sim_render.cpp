// Realistic cameras of the simulator: layer split, parallax, sensor, the
// host's running fusion map, and the translation-only rig unchanged.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include <opencv2/imgcodecs.hpp>

#include "sim_host.h"
#include "test_support.h"

namespace {

// Texture outside rows 30-69 (so displacements show), flat inside them (so
// the grown rim of a mover carries nothing that could give it away).
cv::Mat backdrop() {
    cv::Mat bg(96, 256, CV_8UC3);
    for (int y = 0; y < bg.rows; ++y)
        for (int x = 0; x < bg.cols; ++x)
            bg.at<cv::Vec3b>(y, x) = cv::Vec3b::all(uint8_t(y >= 30 && y < 70 ? 50 : x * 7 % 256));
    return bg;
}

cv::Mat withSquare(const cv::Mat& bg, int x) {
    cv::Mat f = bg.clone();
    f(cv::Rect(x, 40, 20, 20)).setTo(cv::Scalar::all(200));
    return f;
}

}  // namespace

// A square over a still background: the median drops it, the mask finds it;
// the right camera sees the background displaced by the misalignment and the
// square by misalignment + parallax, with nothing left where it was.
TEST(SimRender, LayerSplitAndParallax) {
    const cv::Mat bg = backdrop();
    std::vector<cv::Mat> clip;
    for (int x : {20, 60, 100, 140, 180}) clip.push_back(withSquare(bg, x));
    EXPECT_EQ(cv::norm(zsim::medianBackground(clip), bg, cv::NORM_INF), 0);
    cv::Mat mask;
    zsim::moverMask(clip[2], bg, mask);
    EXPECT_EQ(cv::countNonZero(mask(cv::Rect(100, 40, 20, 20)) == 0), 0);
    EXPECT_EQ(cv::countNonZero(mask), cv::countNonZero(mask(cv::Rect(94, 34, 32, 32))));

    zsim::RigConfig cfg;
    cfg.cameras = 2, cfg.camWidth = 160, cfg.overlap = 64, cfg.blocks = 1, cfg.dbg = 0;
    cfg.misalign = {zsim::Schedule{{{0, 8}}}};
    cfg.render.parallaxPx = 5;
    zsim::Rig rig(cfg, 256, 96);
    rig.setBackground(bg);
    rig.play(clip[2], 0);  // no shift written yet: camera 1 starts at 96 - 8
    EXPECT_EQ(cv::norm(rig.cameras()[0], clip[2].colRange(0, 160), cv::NORM_INF), 0);
    const cv::Mat expected = withSquare(bg, 105).colRange(88, 248);
    EXPECT_EQ(cv::norm(rig.cameras()[1], expected, cv::NORM_INF), 0);
    const cv::Mat& m1 = rig.moverMasks()[1];
    EXPECT_EQ(cv::countNonZero(m1(cv::Rect(17, 40, 20, 20)) == 0), 0);
    EXPECT_EQ(cv::countNonZero(m1.colRange(0, 15)), 0);  // the square's old place
}

// Gains step by the exposure between neighbours, noise has the asked sigma
// and repeats with its seed; the running map moves a quarter of the way.
TEST(SimRender, SensorAndRunningFusionMap) {
    zsim::RenderConfig rc;
    rc.exposurePct = 10;
    rc.noiseSigma = 4;
    const zsim::Sensor right(rc, 1, 2, 200, 200);
    EXPECT_EQ(right.gainQ10(), 1024 + 51);
    cv::Mat a(200, 200, CV_8UC3, cv::Scalar::all(100)), b = a.clone();
    right.apply(a, 7);
    right.apply(b, 7);
    EXPECT_EQ(cv::norm(a, b, cv::NORM_INF), 0);
    cv::Scalar mean, sd;
    cv::meanStdDev(a, mean, sd);
    EXPECT_NEAR(mean[0], 105, 0.1);
    EXPECT_NEAR(sd[0], 4, 0.2);

    cv::Mat running, out;
    zsim::blendFusion(cv::Mat(2, 3, CV_8UC1, cv::Scalar(0)), 0.25, running, out);
    EXPECT_EQ(cv::countNonZero(out), 0);
    zsim::blendFusion(cv::Mat(2, 3, CV_8UC1, cv::Scalar(255)), 0.25, running, out);
    EXPECT_EQ(cv::countNonZero(out != 64), 0);
}

// The translation-only rig gives the shifts and fusion maps of the release
// before realistic cameras, byte for byte: FNV-1a over shift.csv and both maps
// after five frames of the default run, from that release's simulator.
TEST(SimRender, IdealRigReproducesEarlierOutputs) {
    zsim::RigConfig cfg;
    cfg.dbg = 0;
    cfg.misalign = {zsim::Schedule{{{0, 8}}}, zsim::Schedule{{{0, -12}}}};
    zsim::Rig rig(cfg, 768, 576);
    std::vector<zsim::Track> tracks(2);
    for (int f = 0; f < 5; ++f) {
        rig.play(cv::imread(zt::sample_frame_path(f)), f);
        for (int i = 0; i < 2; ++i) {
            tracks[i].shift.push_back(rig.shift(i));
            tracks[i].truth.push_back(rig.truth(i));
        }
    }
    const std::string path = testing::TempDir() + "ideal_shift.csv";
    zsim::writeCsv(path, tracks);
    std::stringstream csv;
    csv << std::ifstream(path, std::ios::binary).rdbuf();
    uint64_t h = 1469598103934665603ull;
    auto eat = [&](const uint8_t* p, size_t n) {
        for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
    };
    eat(reinterpret_cast<const uint8_t*>(csv.str().data()), csv.str().size());
    for (const cv::Mat& m : rig.fusionMaps()) eat(m.data, m.total());
    EXPECT_EQ(h, 0x2bf12937635adab4ull);
}
