// Seam metrics on hand-made seams with known answers, and the peers' seams.
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include "sim_quality.h"
#include "test_support.h"

// Strips alike but in column 3 (|L - R| = 40), a mover in column 5 on the left: seams through
// each and beside both, one moving 3 px, hard and blended maps.
TEST(SimQuality, MetricsOnHandMadeSeams) {
    const cv::Mat left(10, 8, CV_8UC1, cv::Scalar(100));
    cv::Mat right = left.clone(), moversL(10, 8, CV_8UC1, cv::Scalar(0)), moversR = moversL.clone();
    right.col(3).setTo(140);
    moversL.col(5).setTo(255);
    cv::Mat fusion(10, 8, CV_8UC1, cv::Scalar(0));
    for (const auto& [at, cost, cut] : {std::tuple{5, 0.0, 1.0}, {3, 40.0, 0.0}, {6, 0.0, 0.0}}) {
        fusion.setTo(0), fusion.colRange(0, at).setTo(255);
        const std::vector<int> seam = zsim::seamColumns(fusion);
        EXPECT_EQ(seam, std::vector<int>(10, at));
        EXPECT_DOUBLE_EQ(zsim::seamCost(seam, left, right), cost) << at;
        EXPECT_DOUBLE_EQ(zsim::moverCut(seam, moversL, moversR), cut) << at;
    }
    EXPECT_DOUBLE_EQ(zsim::ghosting(fusion, left, right), 0.0);  // hard seam: nothing mixed
    fusion.col(3).setTo(128);
    EXPECT_NEAR(zsim::ghosting(fusion, left, right), 128.0 * 127 / 65025 * 40 / 8, 1e-12);

    std::vector<int> prev(10, 2), seam(10, 5);
    seam[0] = 2;  // row 0 stays put
    const std::vector<uint8_t> all(10, 1), rest{0, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    EXPECT_DOUBLE_EQ(zsim::seamJitter(seam, prev, rest), 3.0);
    EXPECT_DOUBLE_EQ(zsim::seamJitter(seam, prev, all), 2.7);
    EXPECT_TRUE(std::isnan(zsim::seamJitter(seam, {}, all)));
}

// Every peer's seam lies inside the overlap in every row; the middle seam is the middle column.
TEST(SimQuality, PeersGiveSeamsInsideTheOverlap) {
    const cv::Mat frame = cv::imread(zt::sample_frame_path(10));
    const int w = 384, o = 192;
    zsim::PeerSeams peers(w, o, frame.rows, 4, 4);
    for (int m = zsim::kMiddle; m < zsim::kSeamMethods; ++m) {
        cv::Mat fusion;
        peers.find(m, frame.colRange(0, w), frame.colRange(w - o + 6, 2 * w - o + 6), fusion);
        ASSERT_EQ(fusion.size(), cv::Size(o, frame.rows)) << zsim::methodName(m);
        for (int x : zsim::seamColumns(fusion))
            EXPECT_TRUE(m == zsim::kMiddle ? x == o / 2 : x >= 0 && x < o)
                << zsim::methodName(m) << " " << x;
    }
}
