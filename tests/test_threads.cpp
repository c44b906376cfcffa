// A host that runs the per-overlap calls of one frame on several threads:
// after the single-threaded frame call, process and copyTo_dre_fusion_map of
// the four overlaps spread over four threads. Everything the library hands
// back (shifts, fusion maps, seam columns) must match the sequential run byte
// for byte. The test command also runs this file under ThreadSanitizer.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

constexpr int kFrames = 200;
constexpr int kThreads = 4;

// Per frame: the shift slots of the record, then every overlap's fusion map
// and seam columns.
std::vector<uint8_t> runRig(bool threaded) {
    zt::RigHost host;
    for (int i = 0; i < zt::RigHost::kOverlaps; ++i) host.setup(i);
    Zelvo_Stitch_Shift_Every_N_Frames = 2;
    std::vector<uint8_t> out;
    auto append = [&out](const void* p, size_t n) {
        out.insert(out.end(), static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + n);
    };
    for (int f = 0; f < kFrames; ++f) {
        host.fill(f);
        host.frameCall();
        if (threaded) {
            std::atomic<int> next{0};
            std::vector<std::thread> pool;
            for (int t = 0; t < kThreads; ++t)
                pool.emplace_back([&] {
                    for (int i; (i = next++) < zt::RigHost::kOverlaps;) host.seam(i);
                });
            for (auto& th : pool) th.join();
        } else {
            for (int i = 0; i < zt::RigHost::kOverlaps; ++i) host.seam(i);
        }
        append(host.info.overlap_shift_value, sizeof host.info.overlap_shift_value);
        for (int i = 0; i < zt::RigHost::kOverlaps; ++i) {
            append(host.fusion[i].data(), host.fusion[i].size());
            const std::vector<int> cross = host.stitchers[i]->getMaskCrossX();
            append(cross.data(), cross.size() * sizeof(int));
        }
    }
    return out;
}

}  // namespace

TEST(Threads, PerOverlapCallsOnFourThreadsMatchTheSequentialRun) {
    const std::vector<uint8_t> sequential = runRig(false);
    const std::vector<uint8_t> threaded = runRig(true);
    ASSERT_EQ(sequential.size(), threaded.size());
    const size_t firstDiff =
        size_t(std::mismatch(sequential.begin(), sequential.end(), threaded.begin()).first -
               sequential.begin());
    EXPECT_EQ(firstDiff, sequential.size()) << "first differing byte " << firstDiff;
    // The rig must exercise the shift path: some overlap moved off 0.
    bool shifted = false;
    const size_t perFrame = sequential.size() / kFrames;
    for (int f = 0; f < kFrames && !shifted; ++f) {
        int32_t slots[ZELVO_STITCH_MAX_IMAGES];
        std::memcpy(slots, &sequential[f * perFrame], sizeof slots);
        for (int s = 1; s < ZELVO_STITCH_MAX_IMAGES; ++s) shifted |= slots[s] != 0;
    }
    EXPECT_TRUE(shifted);
}
