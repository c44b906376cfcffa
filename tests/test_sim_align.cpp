// Alignment measured from the images alone: the residual misalignment against known
// displacements, a real rig's overlap fitted or refused, and the order of a folder's frames.
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "align/align.h"
#include "io/input.h"
#include "io/results.h"
#include "test_support.h"

// Two 384 px cameras 192 px apart over a bundled frame, the right one displaced by d (bilinear for
// fractions). Movers in the overlap: a large one the motion maps flag, displaced 15 px more than
// the background over most of the overlap, and one they miss (standing still), displaced 10 px more.
TEST(SimResidual, MeasuresKnownDisplacementsPastMovers) {
    const cv::Mat frame = zt::sample_gray(0), mover = zt::sample_gray(50)(cv::Rect(400, 64, 160, 448));
    cv::Mat motionL(36, 24, CV_8UC1, cv::Scalar(0)), motionR = motionL.clone();
    motionL(cv::Rect(200 / 16, 4, 11, 28)).setTo(1);  // left camera columns 200-359, rows 64-511
    for (const double d : {0.0, 5.0, -7.5, 12.25, -20.7, 40.4}) {
        cv::Mat left = frame.colRange(0, 384).clone(), right;
        const cv::Mat toRight = (cv::Mat_<double>(2, 3) << 1, 0, d - 192, 0, 1, 0);
        cv::warpAffine(frame, right, toRight, {384, 576}, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
        // Strip columns 8 and 100 in the left camera.
        const int flagged = int(std::lround(8 + d + 15)), still = int(std::lround(100 + d + 10));
        mover.copyTo(left(cv::Rect(200, 64, 160, 448)));
        mover.copyTo(right(cv::Rect(flagged, 64, 160, 448)));
        mover(cv::Rect(0, 0, 48, 48)).copyTo(left(cv::Rect(292, 520, 48, 48)));
        mover(cv::Rect(0, 0, 48, 48)).copyTo(right(cv::Rect(still, 520, 48, 48)));
        motionR.setTo(0);
        motionR(cv::Rect(flagged / 16, 4, 11, 28)).setTo(1);
        const double r = zsim::residualMisalignment({left, motionL, 0}, {right, motionR, 0}, 192);
        EXPECT_NEAR(r, d, 0.15) << d;  // ignoring the maps gives d + 15
    }
}

// Crops of bundled frames as a real rig's cameras, the right ones rotated, scaled or replaced by
// noise: fitted (overlap within a cell, the rest in the host's warp) and aligned once played, or
// refused with the reason.
TEST(SimOverlap, CropsFittedAndAlignedOrRefused) {
    struct Case {
        std::vector<cv::Rect> crops;
        double angleDeg, scale;
        bool noise;
        int overlap;
        std::vector<int> calibration;
        const char* refusal;
    };
    const Case cases[] = {
        {{{0, 0, 320, 576}, {176, 0, 320, 576}, {352, 0, 320, 576}}, 0, 1, false, 144, {0, 0}, ""},
        {{{0, 0, 384, 576}, {50, 0, 384, 576}}, 0, 1, false, 336, {-2}, ""},  // views 50 px apart
        {{{0, 0, 384, 556}, {192, 20, 384, 556}}, 0, 1, false, 0, {}, "vertical offset of 20.0 px"},
        {{{0, 0, 384, 576}, {192, 0, 384, 576}}, 3, 1, false, 0, {}, "rotated by"},
        {{{0, 0, 384, 576}, {192, 0, 384, 576}}, 0, 1.1, false, 0, {}, "differ in scale"},
        {{{0, 0, 384, 576}, {192, 0, 384, 576}}, 0, 1, true, 0, {}, "too few matches"},
    };
    for (const Case& c : cases) {
        const int n = int(c.crops.size());
        auto cameras = [&](int f) {
            std::vector<cv::Mat> cams;
            const cv::Mat frame = cv::imread(zt::sample_frame_path(f));
            for (const cv::Rect& r : c.crops) cams.push_back(frame(r).clone());
            const cv::Point2f centre(cams[1].cols / 2.f, cams[1].rows / 2.f);
            cv::warpAffine(cams[1], cams[1], cv::getRotationMatrix2D(centre, c.angleDeg, c.scale),
                           cams[1].size());
            if (c.noise) cv::theRNG().state = 1, cv::randu(cams[1], 0, 256);
            return cams;
        };
        zsim::RigConfig cfg;
        cfg.cameras = n, cfg.dbg = 0;
        std::vector<std::string> notes;
        const std::string why = zsim::fitOverlapFromImages(cfg, cameras(0), 0, notes);
        if (*c.refusal) {
            EXPECT_NE(why.find(c.refusal), std::string::npos) << why;
            continue;
        }
        ASSERT_EQ(why, "");
        EXPECT_EQ(cfg.overlap, c.overlap);
        EXPECT_EQ(cfg.calibrationPx, c.calibration);
        ASSERT_EQ(zsim::fitRealRig(cfg, c.crops[0].width, cfg.overlap), "");
        zsim::Rig rig(cfg, zsim::rigWidth(cfg), c.crops[0].height);
        for (int f = 0; f < 4; ++f) rig.playCameras(cameras(f));
        for (int i = 0; i + 1 < n; ++i) EXPECT_LT(std::abs(rig.residual(i)), zsim::kAlignedPx) << i;
    }
}

// Numbers compare by value, leading zeros aside, wherever they stand in the name.
TEST(SimInput, FramesPlayInNaturalOrder) {
    EXPECT_TRUE(zsim::naturalLess("f002.png", "f10.png") && !zsim::naturalLess("a9_b10", "a9_b2"));
}
