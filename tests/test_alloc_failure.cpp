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

void* allocate(size_t n) {
    if (injectFailure()) throw std::bad_alloc();
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
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

// The first frame call allocates the decoded maps and the stitchers' images;
// a later one reuses them.
enum class Call { Setup, FirstFrame, Frame, Process, Copy };
const char* name(Call c) {
    static const char* names[] = {"setup", "first frame call", "frame call", "process",
                                  "copyTo_dre_fusion_map"};
    return names[int(c)];
}

// One rig, up to the call under test, then the call with allocation n failing
// (0: none), then a whole frame. Returns the allocations the call reached;
// `threw` tells whether it threw one of the two allowed exceptions.
long runCall(Call call, long n, bool& threw) {
    zt::RigHost host;
    for (int i = 1; i < zt::RigHost::kOverlaps; ++i) host.setup(i);
    if (call != Call::Setup) {
        host.setup(0);
        host.fill(0);
        if (call != Call::FirstFrame) {
            host.frameCall();
            for (int i = 0; i < zt::RigHost::kOverlaps; ++i) host.seam(i);
            host.fill(1);
            if (call != Call::Frame) host.frameCall();
        }
        if (call == Call::Copy) host.stitchers[0]->process(host.motionMap(0), host.motionMap(1));
    }
    threw = false;
    g_count = 0;
    g_failAt = n;
    try {
        switch (call) {
            case Call::Setup:
                host.setup(0);
                break;
            case Call::FirstFrame:
            case Call::Frame:
                host.frameCall();
                break;
            case Call::Process:
                host.stitchers[0]->process(host.motionMap(0), host.motionMap(1));
                break;
            case Call::Copy:
                host.stitchers[0]->copyTo_dre_fusion_map();
                break;
        }
    } catch (const std::bad_alloc&) {
        threw = true;
    } catch (const cv::Exception&) {
        threw = true;
    }
    g_failAt = -1;
    const long reached = g_count;

    // A stitcher whose set-up failed half-way is only fit for destruction.
    if (call == Call::Setup && threw) {
        host.create(0);
        host.setup(0);
    }
    host.fill(2);
    host.frameCall();
    for (int i = 0; i < zt::RigHost::kOverlaps; ++i) {
        host.seam(i);
        EXPECT_EQ(host.stitchers[i]->currMask.size(), cv::Size(16, 60)) << name(call) << " n=" << n;
    }
    return reached;
}

}  // namespace

void* operator new(size_t n) { return allocate(n); }
void* operator new[](size_t n) { return allocate(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept {
    try {
        return allocate(n);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](size_t n, const std::nothrow_t&) noexcept {
    try {
        return allocate(n);
    } catch (...) {
        return nullptr;
    }
}
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
    for (Call call : {Call::Setup, Call::FirstFrame, Call::Frame, Call::Process, Call::Copy}) {
        bool threw = false;
        const long total = runCall(call, 0, threw);
        EXPECT_FALSE(threw);
        EXPECT_GT(total, 0) << name(call);
        long failed = 0;
        for (long n = 1; n <= total; ++n) {
            runCall(call, n, threw);
            failed += threw;
        }
        // Every allocation of the call is on its path: each failure surfaces.
        EXPECT_EQ(failed, total) << name(call);
        printf("%s: %ld allocations, each failed once; %ld failures surfaced\n", name(call), total,
               failed);
    }
    cv::Mat::setDefaultAllocator(nullptr);
}
