// Realistic cameras of the simulator: layer split and parallax, and whether a clip's median
// background explains it well enough to render parallax from.
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "rig/rig.h"
#include "test_support.h"

namespace {

// Texture outside rows 30-69 (so displacements show), flat inside (so a mover's grown rim gives
// nothing away); a 20 px square at column x over it.
cv::Mat withSquare(int x = -1) {
    cv::Mat f(96, 256, CV_8UC3);
    for (int c = 0; c < f.cols; ++c) f.col(c).setTo(cv::Scalar::all(c * 7 % 256));
    f.rowRange(30, 70).setTo(cv::Scalar::all(50));
    if (x >= 0) f(cv::Rect(x, 40, 20, 20)).setTo(cv::Scalar::all(200));
    return f;
}

}  // namespace

// A square over a still background: the median drops it; the right camera sees the background
// displaced by the misalignment and the square (and its mover mask) by misalignment + parallax,
// with nothing left where it was.
TEST(SimRender, LayerSplitAndParallax) {
    const cv::Mat bg = withSquare();
    std::vector<cv::Mat> clip;
    for (int x : {20, 60, 100, 140, 180}) clip.push_back(withSquare(x));
    EXPECT_EQ(cv::norm(zsim::medianBackground(clip), bg, cv::NORM_INF), 0);
    zsim::RigConfig cfg;
    cfg.cameras = 2, cfg.camWidth = 160, cfg.overlap = 64, cfg.blocks = 1, cfg.dbg = 0;
    cfg.misalign = {zsim::Schedule{{{0, 8}}}};
    cfg.render.parallaxPx = 5;
    zsim::Rig rig(cfg, 256, 96);
    rig.setBackground(bg);
    rig.play(clip[2], 0);  // no shift written yet: camera 1 starts at 96 - 8
    EXPECT_EQ(cv::norm(rig.cameras()[0], clip[2].colRange(0, 160), cv::NORM_INF), 0);
    EXPECT_EQ(cv::norm(rig.cameras()[1], withSquare(105).colRange(88, 248), cv::NORM_INF), 0);
    EXPECT_EQ(cv::countNonZero(rig.moverMasks()[1](cv::Rect(17, 40, 20, 20)) == 0), 0);
    EXPECT_EQ(cv::countNonZero(rig.moverMasks()[1].colRange(0, 15)), 0);  // its old place
}

// The bundled footage (still camera, people walking) fits; a camera panning 3 px a frame and a
// large block drifting over the scene (a close face) do not, the pan measured within a pixel.
TEST(SimRender, ParallaxOnlyWhereTheBackgroundFits) {
    std::vector<cv::Mat> still, pan, face;
    for (int k = 0; k < 9; ++k) {
        still.push_back(cv::imread(zt::sample_frame_path(10 * k)));
        pan.push_back(still[k](cv::Rect(3 * k, 0, 640, 576)).clone());
        face.push_back(still[k].clone());
        cv::resize(still[k](cv::Rect(300, 200, 150, 150)),
                   face[k](cv::Rect(100 + 20 * k, 120, 330, 330)), {330, 330});
    }
    for (const auto& [clip, fits] : {std::pair{&still, true}, {&pan, false}, {&face, false}}) {
        const zsim::BackgroundFit fit = zsim::backgroundFit(*clip, zsim::medianBackground(*clip));
        EXPECT_EQ(fit.why.empty(), fits) << fit.why;
    }
    EXPECT_NEAR(zsim::backgroundFit(pan, zsim::medianBackground(pan)).cameraMotionPx, 12, 1);
}
