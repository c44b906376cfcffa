// Soak run of the simulator's rig: its footage (the bundled frames unless
// --input says otherwise) looped for FRAMES frames with the simulator's
// defaults and options, nothing written; resident memory and the time per
// frame sampled every EVERY frames. Exits 1 when the resident memory grows by
// 1 MiB or more after the first sample, 2 on bad arguments or input.
//
//   zelvo_soak [FRAMES (100000)] [EVERY (1000)] [simulator rig options...]
// scripts/soak.sh builds and runs it.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "app/options.h"
#include "io/input.h"
#include "rig/rig.h"

namespace {

[[noreturn]] void fail(const std::string& what) {
    fprintf(stderr, "zelvo_soak: %s\n", what.c_str());
    exit(2);
}

// Resident set of this process, KiB (from /proc/self/statm).
long long residentKib() {
    long long size = 0, resident = -1;
    std::ifstream("/proc/self/statm") >> size >> resident;
    return resident < 0 ? -1 : resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Every frame of the input, decoded once (the loop replays them).
std::vector<cv::Mat> loadFootage(const zsim::Options& opt) {
    const std::string path = opt.input.empty() ? std::string(ZELVO_SAMPLES_DIR) + "/vtest" : opt.input;
    zsim::Source src;
    std::string err;
    if (!zsim::scanSource(path, -1, src, err)) fail(err);
    zsim::FrameReader reader(src);
    std::vector<cv::Mat> footage;
    for (cv::Mat f; (src.frames < 0 ? footage.empty() : true) && reader.next(f);)
        footage.push_back(f.clone());
    if (footage.empty()) fail("no frame in " + path);
    return footage;
}

}  // namespace

int main(int argc, char** argv) {
    const long long frames = argc > 1 ? atoll(argv[1]) : 100000;
    const long long every = argc > 2 ? atoll(argv[2]) : 1000;
    if (frames < 1 || every < 1 || every > frames)
        fail("usage: zelvo_soak [FRAMES] [EVERY <= FRAMES] [simulator rig options...]");
    std::vector<char*> args = {argv[0]};
    for (int i = 3; i < argc; ++i) args.push_back(argv[i]);
    zsim::Options opt;
    std::string err;
    if (!zsim::parseArgs(int(args.size()), args.data(), opt, err)) fail(err);
    if (opt.rig.dbg < 0) opt.rig.dbg = 0;
    const std::vector<cv::Mat> footage = loadFootage(opt);
    if (!(err = zsim::fitRig(opt.rig, footage[0].cols, opt.widthGiven ? opt.rig.camWidth : 0,
                             opt.overlapGiven ? opt.rig.overlap : 0))
             .empty() ||
        !(err = zsim::checkRig(opt.rig, footage[0].cols, footage[0].rows)).empty())
        fail(err);

    zsim::Rig rig(opt.rig, footage[0].cols, footage[0].rows);
    printf("frame,rss_kib,ms_per_frame\n");
    long long first = -1, last = -1, peak = -1;
    const auto start = std::chrono::steady_clock::now();
    auto t0 = start;
    for (long long f = 0; f < frames; ++f) {
        rig.play(footage[size_t(f % (long long)footage.size())], int(f % 0x7FFFFFFF));
        if ((f + 1) % every != 0) continue;
        const auto t1 = std::chrono::steady_clock::now();
        last = residentKib();
        printf("%lld,%lld,%.3f\n", f + 1, last,
               std::chrono::duration<double, std::milli>(t1 - t0).count() / double(every));
        fflush(stdout);
        t0 = t1;
        if (first < 0) first = last;
        peak = std::max(peak, last);
    }
    const double total =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    printf(
        "soak: %lld frames, %d cameras, motion-aware %d, %.1f s (%.3f ms/frame); resident memory "
        "after %lld frames %lld KiB, at the end %lld KiB, peak %lld KiB; growth %lld KiB (limit "
        "1024 KiB)\n",
        frames, opt.rig.cameras, int(opt.rig.motionAware), total, 1000.0 * total / double(frames),
        every, first, last, peak, peak - first);
    return peak - first < 1024 ? 0 : 1;
}
