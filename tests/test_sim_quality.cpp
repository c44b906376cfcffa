// Seam metrics on hand-made seams and maps with known answers, the host's running fusion map,
// every method measured raw and through it, and the lab on a thread of its own.
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include "lab/lab.h"
#include "rig/host_buffers.h"
#include "rig/rig.h"
#include "test_support.h"

// Strips alike but in column 3 (|L - R| = 40) and the edge columns (51), a mover in column 5 on
// the left: seams through each and beside both, one moving 3 px, hard and blended maps.
TEST(SimQuality, MetricsOnHandMadeSeams) {
    const cv::Mat left(10, 8, CV_8UC1, cv::Scalar(100));
    cv::Mat right = left.clone(), moversL(10, 8, CV_8UC1, cv::Scalar(0)), moversR = moversL.clone();
    right.col(3).setTo(140), right.col(0).setTo(151), right.col(7).setTo(151);
    moversL.col(5).setTo(255);
    cv::Mat fusion(10, 8, CV_8UC1, cv::Scalar(0));
    // A hard seam inside leaves each edge to one camera (no edge step); one at the first column
    // shows the right camera there, none at all the left camera at the last column.
    for (const auto& [at, cost, cut, edge] : {std::tuple{5, 0.0, 1.0, 0.0},
                                              {3, 40.0, 0.0, 0.0},
                                              {6, 0.0, 0.0, 0.0},
                                              {0, 51.0, 0.0, 51.0},
                                              {8, 51.0, 0.0, 51.0}}) {
        fusion.setTo(0), fusion.colRange(0, at).setTo(255);
        const std::vector<int> seam = zsim::seamColumns(fusion);
        EXPECT_EQ(seam, std::vector<int>(10, at));
        EXPECT_DOUBLE_EQ(zsim::seamCost(seam, left, right), cost) << at;
        EXPECT_DOUBLE_EQ(zsim::moverCut(seam, moversL, moversR), cut) << at;
        EXPECT_DOUBLE_EQ(zsim::edgeStep(fusion, left, right), edge) << at;
        EXPECT_DOUBLE_EQ(zsim::ghosting(fusion, left, right), 0.0);  // hard seam: nothing mixed
    }
    fusion.setTo(0), fusion.colRange(0, 6).setTo(255), fusion.col(3).setTo(128);
    EXPECT_NEAR(zsim::ghosting(fusion, left, right), 128.0 * 127 / 65025 * 40 / 8, 1e-12);
    fusion.col(0).setTo(200), fusion.col(7).setTo(10);  // a band reaching both edges
    EXPECT_NEAR(zsim::edgeStep(fusion, left, right), (55.0 + 10.0) / 255 * 51, 1e-12);

    std::vector<int> prev(10, 2), seam(10, 5);
    seam[0] = 2;  // row 0 stays put
    const std::vector<uint8_t> all(10, 1), rest{0, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    EXPECT_DOUBLE_EQ(zsim::seamJitter(seam, prev, rest), 3.0);
    EXPECT_DOUBLE_EQ(zsim::seamJitter(seam, prev, all), 2.7);
    EXPECT_TRUE(std::isnan(zsim::seamJitter(seam, {}, all)));
}

// The running map starts at the first map, moves a share A toward each new one, and reaches a
// map held long enough exactly (Q8, no drift either way); the new map is left as it is.
TEST(SimQuality, RunningMapMovesTowardEachNewMap) {
    const cv::Mat on(2, 3, CV_8UC1, cv::Scalar(255)), off(2, 3, CV_8UC1, cv::Scalar(0));
    cv::Mat q8, out;
    zsim::blendFusion(on, 0.5, q8, out);
    EXPECT_EQ(cv::norm(out, on, cv::NORM_INF), 0);
    for (int expect : {128, 64, 32}) {
        zsim::blendFusion(off, 0.5, q8, out);
        EXPECT_EQ(cv::countNonZero(out != expect), 0) << expect;
    }
    for (const cv::Mat& target : {on, off}) {
        for (int f = 0; f < 300; ++f) zsim::blendFusion(target, 0.05, q8, out);
        EXPECT_EQ(cv::norm(out, target, cv::NORM_INF), 0);
    }
    EXPECT_EQ(cv::countNonZero(off), 0);
}

// Two cameras of 32 px sharing 16, every overlap pixel |L - R| = 40: the library's map jumps from
// all-left to all-right, its running map (A = 0.5) goes half way; the middle seam, a peer through
// the same running map, stays where it is.
TEST(SimQuality, LabMeasuresEveryMethodRawAndThroughTheRunningMap) {
    zsim::RigConfig cfg;
    cfg.cameras = 2, cfg.camWidth = 32, cfg.overlap = 16, cfg.seamBlend = 0.5;
    zsim::SeamLab lab(cfg, 8, false);
    zsim::LabFrame f;
    for (int k = 0; k < 2; ++k) {
        f.colour.emplace_back(8, 32, CV_8UC3, cv::Scalar::all(100 + 40 * k));
        f.grey.emplace_back(8, 32, CV_8UC1, cv::Scalar(100 + 40 * k));
        f.movers.emplace_back(8, 32, CV_8UC1, cv::Scalar(0));
        f.motion.emplace_back(1, 2, CV_8UC1, cv::Scalar(0));
    }
    f.seamMs = {1.0};
    for (int frame : {0, 1}) {
        f.frame = frame;
        f.fusion = {cv::Mat(8, 16, CV_8UC1, cv::Scalar(frame ? 0 : 255))};
        lab.measure(f);
    }
    auto row = [&](int frame, int method, bool running) {
        for (const zsim::QualityRow& r : lab.rows())
            if (r.frame == frame && r.method == method && r.running == running) return r;
        ADD_FAILURE() << "no row " << zsim::variantName(method, running) << " of frame " << frame;
        return zsim::QualityRow{};
    };
    const zsim::QualityRow lib0 = row(0, zsim::kLibrary, false),
                           run0 = row(0, zsim::kLibrary, true),
                           lib1 = row(1, zsim::kLibrary, false),
                           run1 = row(1, zsim::kLibrary, true);
    EXPECT_EQ(std::tuple(lib0.cost, lib0.ghost, lib0.edge, lib0.ms),
              std::tuple(40.0, 0.0, 40.0, 1.0));
    EXPECT_EQ(std::tuple(run0.cost, run0.ghost, run0.edge), std::tuple(40.0, 0.0, 40.0));
    EXPECT_EQ(std::tuple(lib1.cost, lib1.jitterAll, lib1.ghost, lib1.edge),
              std::tuple(40.0, 16.0, 0.0, 40.0));
    // Running: 128 everywhere, no column below one half, so the seam stays at the right edge.
    EXPECT_EQ(std::tuple(run1.jitterAll, run1.edge), std::tuple(0.0, 40.0));
    EXPECT_NEAR(run1.ghost, 128.0 * 127 / 65025 * 40, 1e-12);
    EXPECT_GE(run1.ms, lib1.ms);  // the blend's time on top
    const zsim::QualityRow mid = row(1, zsim::kMiddle, false), midRun = row(1, zsim::kMiddle, true);
    EXPECT_EQ(std::tuple(midRun.cost, midRun.jitterAll, midRun.ghost, midRun.edge),
              std::tuple(mid.cost, mid.jitterAll, mid.ghost, mid.edge));
    EXPECT_TRUE(std::isnan(mid.cut) == false && mid.jitterAll == 0.0);
    for (const zsim::QualityRow& r : lab.rows()) EXPECT_NE(r.method, zsim::kGraphCut);  // not run
}

// On the bundled footage the library's running map is the very map the host blends its panorama
// with, and the lab on its own thread writes the rows of the lab on the caller's thread.
TEST(SimQuality, TheLabOnItsOwnThreadMeasuresTheHostsMaps) {
    zsim::RigConfig cfg;
    cfg.dbg = 0, cfg.seamBlend = 0.3, cfg.render = zsim::realisticRender();
    cfg.misalign = {zsim::Schedule{{{0, 8}}}, zsim::Schedule{{{0, -12}}}};
    zsim::Rig rig(cfg, 768, 576);
    zsim::SeamLab here(cfg, 576), there(cfg, 576);
    {
        zsim::LabThread thread(there, 1);
        for (int f = 0; f < 3; ++f) {
            rig.play(cv::imread(zt::sample_frame_path(f)), f);
            here.measure(rig, f);
            thread.push(zsim::labFrame(rig, f));
        }
        thread.finish();
    }
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(cv::norm(here.map(i, zsim::kLibrary, true), rig.seamMaps()[i], cv::NORM_INF), 0);
    auto key = [](const zsim::QualityRow& r) {  // all but the time; NaN as -1
        std::vector<double> k{
            double(r.frame), double(r.overlap), double(r.method), double(r.running), r.cost,
            r.cut,           r.jitterAll,       r.jitterStatic,   r.ghost,           r.edge};
        for (double& v : k) v = std::isnan(v) ? -1 : v;
        return k;
    };
    ASSERT_EQ(here.rows().size(), 3u * 2 * 2 * zsim::kSeamMethods);
    ASSERT_EQ(there.rows().size(), here.rows().size());
    for (size_t r = 0; r < here.rows().size(); ++r)
        EXPECT_EQ(key(there.rows()[r]), key(here.rows()[r])) << r;
}
