// Allocation failure mid-call. Every allocation of the process goes through
// the replaced global operator new and, for matrix data, through a default
// OpenCV allocator that can fail too. For each call a host makes (set-up, the
// first and a later frame call, process, copyTo_dre_fusion_map), the call
// first runs once to count its allocations; then, for every n up to that
// count, a fresh rig makes the n-th one fail. The call must complete or throw std::bad_alloc /
// cv::Exception, and the rig must then play a whole frame normally. In the
// sanitizer build the leak check at exit covers every one of these runs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include <opencv2/core.hpp>

#include "test_support.h"

namespace {

long g_count = 0;    // allocations since arming
long g_failAt = -1;  // the allocation to fail (1-based); 0 counts only; -1 disarmed

bool injectFailure() { return g_failAt >= 0 && ++g_count == g_failAt; }

void* allocate(size_t n, bool nothrow) {
    void* p = injectFailure() ? nullptr : std::malloc(n ? n : 1);
    if (p == nullptr && !nothrow) throw std::bad_alloc();
    return p;
}

// Matrix data: OpenCV's own allocator, failing as its out-of-memory path does.
// The matrix allocation fails or succeeds as a whole: OpenCV's standard
// allocator leaks the pixel buffer when the record it allocates next throws,
// which is OpenCV's behaviour, not the library's.
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

// The calls a host makes, in order; each runs after the ones before it (their
// preparation included). The first frame call allocates the decoded maps and
// the stitchers' images; a later one reuses them.
using Op = void (*)(zt::RigHost&);
void noop(zt::RigHost&) {}
void frameCall(zt::RigHost& h) { h.frameCall(); }
const struct Call {
    const char* name;
    Op prepare, run;
} kCalls[] = {
    {"setup", noop, [](zt::RigHost& h) { h.setup(0); }},
    {"first frame call", [](zt::RigHost& h) { h.fill(0); }, frameCall},
    {"frame call",
     [](zt::RigHost& h) {
         for (int i = 0; i < zt::RigHost::kOverlaps; ++i) h.seam(i);
         h.fill(1);
     },
     frameCall},
    {"process", noop,
     [](zt::RigHost& h) { h.stitchers[0]->process(h.motionMap(0), h.motionMap(1)); }},
    {"copyTo_dre_fusion_map", noop,
     [](zt::RigHost& h) { h.stitchers[0]->copyTo_dre_fusion_map(); }},
};

// A fresh rig up to call k, then call k with allocation n failing (0: none),
// then a whole frame. Returns the allocations the call reached; `threw` tells
// whether it threw one of the two allowed exceptions.
long runCall(size_t k, long n, bool& threw) {
    zt::RigHost host;
    for (int i = 1; i < zt::RigHost::kOverlaps; ++i) host.setup(i);
    for (size_t j = 0; j < k; ++j) kCalls[j].prepare(host), kCalls[j].run(host);
    kCalls[k].prepare(host);
    threw = false;
    g_count = 0;
    g_failAt = n;
    try {
        kCalls[k].run(host);
    } catch (const std::bad_alloc&) {
        threw = true;
    } catch (const cv::Exception&) {
        threw = true;
    }
    g_failAt = -1;
    if (k == 0 && threw) host.create(0);  // a half-set-up stitcher is only fit for destruction
    if (k == 0 && threw) host.setup(0);
    host.fill(2);
    host.frameCall();
    for (int i = 0; i < zt::RigHost::kOverlaps; ++i) {
        host.seam(i);
        EXPECT_EQ(host.stitchers[i]->currMask.size(), cv::Size(16, 60)) << kCalls[k].name << n;
    }
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

TEST(AllocationFailure, EveryAllocationOfEachCallFailsCleanly) {
    static FailingMatAllocator failing;
    cv::Mat::setDefaultAllocator(&failing);
    cv::setNumThreads(0);  // one thread: the same allocations in the same order every run
    for (size_t k = 0; k < std::size(kCalls); ++k) {
        bool threw = false;
        const long total = runCall(k, 0, threw);
        EXPECT_FALSE(threw);
        EXPECT_GT(total, 0) << kCalls[k].name;
        // Every allocation of the call is on its path: each failure surfaces.
        for (long n = 1; n <= total; ++n) {
            runCall(k, n, threw);
            EXPECT_TRUE(threw) << kCalls[k].name << " allocation " << n;
        }
    }
    cv::Mat::setDefaultAllocator(nullptr);
}
