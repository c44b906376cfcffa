// A host that runs the per-overlap calls of one frame on several threads: after the
// single-threaded frame call, process and copyTo_dre_fusion_map of the four overlaps spread over
// four threads. The shifts and fusion maps (which carry the seams) must match the sequential run
// byte for byte. The test command also runs this file under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

struct RigOutput {
    std::vector<uint8_t> fusion;  // per frame, every overlap's fusion map
    std::vector<int> shifts;      // per frame, the record's shift slots
};

RigOutput runRig(bool threaded) {
    zt::RigHost host;
    for (int i = 0; i < zt::RigHost::kOverlaps; ++i) {
        host.setup(i);  // no block needs motion: every seam follows the footage's flood
        host.stitchers[i]->blockMdCellCount.assign(4, 0);
    }
    Zelvo_Stitch_Shift_Every_N_Frames = 2;
    RigOutput out;
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
        for (int i = 0; i < zt::RigHost::kOverlaps; ++i) {
            if (!threaded) host.seam(i);
            out.fusion.insert(out.fusion.end(), host.fusion[i].begin(), host.fusion[i].end());
        }
        const auto& slots = host.info.overlap_shift_value;
        out.shifts.insert(out.shifts.end(), std::begin(slots), std::end(slots));
    }
    return out;
}

}  // namespace

TEST(Threads, PerOverlapCallsOnFourThreadsMatchTheSequentialRun) {
    const RigOutput sequential = runRig(false), threaded = runRig(true);
    EXPECT_TRUE(sequential.fusion == threaded.fusion) << "fusion maps differ";
    EXPECT_EQ(sequential.shifts, threaded.shifts);
    // The rig must exercise the shift path: some overlap moved off 0.
    EXPECT_GT(cv::countNonZero(sequential.shifts), 0);
}
