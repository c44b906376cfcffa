// Every allocation of each call a host makes fails in turn, through the replaced global operator
// new and a failing OpenCV matrix allocator. In the sanitizer build the leak check at exit covers
// every one of these runs.
#include <cstdlib>
#include <new>

#include "test_support.h"

namespace {

long g_count = 0;    // allocations since arming
long g_failAt = -1;  // the allocation to fail (1-based); 0 counts only; -1 disarmed

bool injectFailure() { return g_failAt >= 0 && ++g_count == g_failAt; }

void* allocate(size_t n, bool nothrow) {
    // A nothrow allocation's caller copes with a null by contract (the standard library falls
    // back to an algorithm without a buffer), so only throwing allocations are failed.
    void* p = !nothrow && injectFailure() ? nullptr : std::malloc(n ? n : 1);
    if (p == nullptr && !nothrow) throw std::bad_alloc();
    return p;
}

// Matrix data fails as OpenCV's out-of-memory path does, and as a whole: OpenCV's standard
// allocator leaks the pixels when the record it allocates next throws (not the library's fault).
class FailingMatAllocator : public cv::MatAllocator {
public:
    cv::UMatData* allocate(int dims, const int* sizes, int type, void* data, size_t* step,
                           cv::AccessFlag flags, cv::UMatUsageFlags usage) const override {
        if (data == nullptr && injectFailure())
            CV_Error(cv::Error::StsNoMem, "injected allocation failure");
        const long failAt = g_failAt;
        g_failAt = -1;
        cv::UMatData* u = std_->allocate(dims, sizes, type, data, step, flags, usage);
        g_failAt = failAt;
        return u;
    }
    bool allocate(cv::UMatData* u, cv::AccessFlag flags, cv::UMatUsageFlags usage) const override {
        return std_->allocate(u, flags, usage);
    }
    void deallocate(cv::UMatData* u) const override { std_->deallocate(u); }

private:
    cv::MatAllocator* std_ = cv::Mat::getStdAllocator();
};

const char* const kCalls[] = {"setup", "first frame call", "frame call", "process", "copy"};

// What a run left for the host: the record's shift slots and every stitcher's target.
std::vector<int> outcome(const zt::RigHost& h) {
    std::vector<int> v(std::begin(h.info.overlap_shift_value),
                       std::end(h.info.overlap_shift_value));
    for (const DynStitcher* s : h.stitchers) v.push_back(s->ST_TRKE_tgtLutTranslationX);
    return v;
}

// A fresh rig through a host's calls up to call k, whose allocation n fails (0: none; nothing
// between calls fails), then a whole frame; each failure must surface as one of the two allowed
// exceptions, or be recovered inside OpenCV (its filters retry a failed buffer) with the result
// of the run without failure (`reference`, filled by the n = 0 run). Returns the allocations call
// k made.
long runCall(int k, long n, bool motionAware, std::vector<int>& reference) {
    zt::RigHost h;
    zelvo_stitch_set_motion_aware(motionAware);
    for (int i = 1; i < zt::RigHost::kOverlaps; ++i) h.setup(i);
    struct Done {};  // call k returned
    int j = 0;
    const auto call = [&](auto f) {
        if (j == k) g_count = 0, g_failAt = n;
        f();
        if (j++ == k) throw Done();
    };
    bool threw = false;
    try {
        call([&] { h.setup(0); });
        h.fill(0);  // the first frame call allocates the maps and images, later ones reuse them
        call([&] { h.frameCall(); });
        for (int i = 0; i < zt::RigHost::kOverlaps; ++i) h.seam(i);
        h.fill(1);
        call([&] { h.frameCall(); });
        call([&] { h.stitchers[0]->process(h.motionMap(0), h.motionMap(1)); });
        call([&] { h.stitchers[0]->copyTo_dre_fusion_map(); });
    } catch (const Done&) {
    } catch (const std::exception& e) {
        threw = dynamic_cast<const std::bad_alloc*>(&e) || dynamic_cast<const cv::Exception*>(&e);
    }
    g_failAt = -1;
    if (n == 0) reference = outcome(h);
    EXPECT_TRUE(threw == (n > 0) || (!threw && outcome(h) == reference))
        << kCalls[k] << ", allocation " << n;
    if (k == 0 && threw) h.create(0), h.setup(0);  // a half-set-up stitcher is only fit to go
    h.fill(2);
    h.frameCall();
    for (int i = 0; i < zt::RigHost::kOverlaps; ++i) h.seam(i);
    EXPECT_EQ(h.stitchers[0]->currMask.size(), cv::Size(16, 60)) << kCalls[k];
    zelvo_stitch_set_motion_aware(0);
    return g_count;
}

}  // namespace

void* operator new(size_t n) { return allocate(n, false); }
void* operator new[](size_t n) { return allocate(n, false); }
void* operator new(size_t n, const std::nothrow_t&) noexcept { return allocate(n, true); }
void* operator new[](size_t n, const std::nothrow_t&) noexcept { return allocate(n, true); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

class AllocationFailure : public ::testing::TestWithParam<bool> {};  // the motion-aware mode

// With the mode on, a process after the first allocates nothing (its state is made once), so
// no failure can be injected there; every other call still allocates.
TEST_P(AllocationFailure, EveryAllocationOfEachCallFailsCleanly) {
    static FailingMatAllocator failing;
    cv::Mat::setDefaultAllocator(&failing);
    cv::setNumThreads(0);  // one thread: the same allocations in the same order every run
    for (int k = 0; k < 5; ++k) {
        std::vector<int> reference;
        const long total = runCall(k, 0, GetParam(), reference);
        if (GetParam() && k == 3)
            EXPECT_EQ(total, 0) << "the motion-aware seam path allocated per frame";
        else
            EXPECT_GT(total, 0) << kCalls[k];
        for (long n = 1; n <= total; ++n) runCall(k, n, GetParam(), reference);
    }
    cv::Mat::setDefaultAllocator(nullptr);
}

INSTANTIATE_TEST_SUITE_P(Modes, AllocationFailure, ::testing::Bool());
