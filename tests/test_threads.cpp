// After the single-threaded frame call, process and copyTo_dre_fusion_map of the four overlaps on
// four threads give the sequential run's shifts and fusion maps (also run under ThreadSanitizer).
#include <atomic>
#include <thread>

#include "test_support.h"

namespace {

// Per frame, the record's shift slots and every overlap's fusion map.
void runRig(bool threaded, bool motionAware, std::vector<int>& shifts,
            std::vector<uint8_t>& fusion) {
    zt::RigHost host;
    zelvo_stitch_set_motion_aware(motionAware);
    for (int i = 0; i < zt::RigHost::kOverlaps; ++i) {
        host.setup(i);  // no block needs motion: every seam follows the footage's flood
        host.stitchers[i]->blockMdCellCount.assign(4, 0);
    }
    Zelvo_Stitch_Shift_Every_N_Frames = 2;
    for (int f = 0; f < 200; ++f) {
        host.fill(f);
        host.frameCall();
        std::atomic<int> next{0};
        std::vector<std::thread> pool;
        for (int t = 0; t < (threaded ? 4 : 0); ++t)
            pool.emplace_back([&] {
                for (int i; (i = next++) < zt::RigHost::kOverlaps;) host.seam(i);
            });
        for (auto& th : pool) th.join();
        const auto& slots = host.info.overlap_shift_value;
        shifts.insert(shifts.end(), std::begin(slots), std::end(slots));
        for (int i = 0; i < zt::RigHost::kOverlaps; ++i) {
            if (!threaded) host.seam(i);
            fusion.insert(fusion.end(), host.fusion[i].begin(), host.fusion[i].end());
        }
    }
    zelvo_stitch_set_motion_aware(0);
}

}  // namespace

class Threads : public ::testing::TestWithParam<bool> {};  // the motion-aware mode

TEST_P(Threads, PerOverlapCallsOnFourThreadsMatchTheSequentialRun) {
    std::vector<int> shifts[2];  // sequential, threaded
    std::vector<uint8_t> fusion[2];
    for (int t : {0, 1}) runRig(t, GetParam(), shifts[t], fusion[t]);
    EXPECT_EQ(shifts[0], shifts[1]);
    EXPECT_TRUE(fusion[0] == fusion[1]) << "fusion maps differ";
    EXPECT_GT(cv::countNonZero(shifts[0]), 0) << "no overlap shifted: the shift path went untried";
}

INSTANTIATE_TEST_SUITE_P(Modes, Threads, ::testing::Bool());
