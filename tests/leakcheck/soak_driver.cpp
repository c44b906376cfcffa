// Soak run: the bundled footage, looped, played through the host simulator's
// rig (tools/sim_host: cameras cut from each frame with the shifts applied,
// motion bitmaps, strip buffer, LUTs, frame call, seam path and fusion-map
// copy per overlap, panorama blend) without writing any output, sampling the
// process's resident memory every N frames.
//
// Usage: soak_driver [frames (100000)] [sample every (1000)] [simulator rig options...]
// Prints "frame,rss_kib,ms_per_frame" per sample on standard output, then a
// summary. Exits 1 when the resident memory grows by 1 MiB or more after the
// first sample, 2 on bad arguments or missing footage.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "sim_host.h"

namespace {

long long resident_kib() {
    FILE* f = fopen("/proc/self/statm", "r");
    if (f == nullptr) return -1;
    long long size = 0, resident = 0;
    const int n = fscanf(f, "%lld %lld", &size, &resident);
    fclose(f);
    return n == 2 ? resident * (sysconf(_SC_PAGESIZE) / 1024) : -1;
}

}  // namespace

int main(int argc, char** argv) {
    const long long frames = argc > 1 ? atoll(argv[1]) : 100000;
    const long long every = argc > 2 ? atoll(argv[2]) : 1000;
    if (frames < 1 || every < 1 || frames < every) {
        fprintf(stderr, "usage: soak_driver [frames] [sample every] [rig options...]\n");
        return 2;
    }

    // The simulator's defaults (three cameras, its misalignment schedules),
    // changed by any rig options given after the two numbers.
    std::vector<char*> simArgs = {argv[0]};
    for (int i = 3; i < argc; ++i) simArgs.push_back(argv[i]);
    zsim::Options opt;
    std::string err;
    if (!zsim::parseArgs(int(simArgs.size()), simArgs.data(), opt, err)) {
        fprintf(stderr, "soak_driver: %s\n", err.c_str());
        return 2;
    }
    if (opt.rig.dbg < 0) opt.rig.dbg = 0;

    namespace fs = std::filesystem;
    const std::string dir =
        opt.input.empty() ? std::string(ZELVO_SAMPLES_DIR) + "/vtest" : opt.input;
    std::vector<std::string> files;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().extension() == ".jpg" || e.path().extension() == ".png")
            files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    std::vector<cv::Mat> footage;
    for (const auto& f : files) footage.push_back(cv::imread(f, cv::IMREAD_COLOR));
    if (footage.empty() || footage[0].empty()) {
        fprintf(stderr, "soak_driver: no footage in %s\n", dir.c_str());
        return 2;
    }
    const std::string why = zsim::checkRig(opt.rig, footage[0].cols, footage[0].rows);
    if (!why.empty()) {
        fprintf(stderr, "soak_driver: %s\n", why.c_str());
        return 2;
    }

    zsim::Rig rig(opt.rig, footage[0].cols, footage[0].rows);
    fflush(stdout);
    printf("frame,rss_kib,ms_per_frame\n");
    long long first = -1, last = -1, peak = -1;
    auto t0 = std::chrono::steady_clock::now();
    const auto start = t0;
    for (long long f = 0; f < frames; ++f) {
        rig.play(footage[size_t(f % (long long)footage.size())], int(f));
        if ((f + 1) % every == 0) {
            const auto t1 = std::chrono::steady_clock::now();
            const double ms =
                std::chrono::duration<double, std::milli>(t1 - t0).count() / double(every);
            t0 = t1;
            const long long rss = resident_kib();
            printf("%lld,%lld,%.3f\n", f + 1, rss, ms);
            fflush(stdout);
            if (first < 0) first = rss;
            last = rss;
            peak = std::max(peak, rss);
        }
    }
    const double total =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const long long growth = peak - first;
    printf(
        "soak: %lld frames, %d cameras, %.1f s (%.3f ms/frame); resident memory after %lld "
        "frames %lld KiB, at the end %lld KiB, peak %lld KiB; growth %lld KiB (limit 1024 KiB)\n",
        frames, opt.rig.cameras, total, 1000.0 * total / double(frames), every, first, last, peak,
        growth);
    return growth < 1024 ? 0 : 1;
}
