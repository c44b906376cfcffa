// Long-run drivers over the simulator's host logic (tools/sim_host: cameras,
// strip buffer, motion bitmaps, LUTs, both paths, panorama blend) on the
// bundled footage, writing no output. Exits 2 on bad arguments, missing
// footage or a broken lifecycle.
//   rig_driver cycles [N (1000)] [frames per cycle (5)]: N lifecycles (init,
//     create, setup, frames, destroy, uninit) of a tiny two-camera rig on the
//     footage scaled to 96 x 48, and one refused set-up each; for valgrind
//     (scripts/leakcheck.sh). Standard output is dropped unless
//     ZELVO_LEAKCHECK_VERBOSE is set.
//   rig_driver soak [frames (100000)] [sample every (1000)] [rig options...]:
//     one rig (the simulator's defaults and options) on the looped footage;
//     prints "frame,rss_kib,ms_per_frame" per sample and a summary; exits 1
//     when the resident memory grows by 1 MiB or more after the first sample.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "sim_host.h"
#include "zelvo_stitch_host.h"

namespace {

[[noreturn]] void fail(const std::string& what) {
    fprintf(stderr, "rig_driver: %s\n", what.c_str());
    exit(2);
}

std::vector<cv::Mat> loadFootage(const std::string& dir) {
    std::vector<std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        if (e.path().extension() == ".jpg" || e.path().extension() == ".png")
            files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    std::vector<cv::Mat> footage;
    for (const auto& f : files) footage.push_back(cv::imread(f, cv::IMREAD_COLOR));
    if (footage.empty() || footage[0].empty()) fail("no footage in " + dir);
    return footage;
}

long long residentKib() {
    long long size = 0, resident = -1;
    std::ifstream("/proc/self/statm") >> size >> resident;
    return resident < 0 ? -1 : resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Every cycle alternates the library switches (both seam variants, the random
// reset) and leaves nothing behind: the decoded maps go with uninit.
int cycles(int n, int frames) {
    const bool verbose = getenv("ZELVO_LEAKCHECK_VERBOSE") != nullptr;
    if (!verbose && freopen("/dev/null", "w", stdout) == nullptr) fail("cannot silence stdout");
    std::vector<cv::Mat> footage = loadFootage(std::string(ZELVO_SAMPLES_DIR) + "/vtest");
    for (cv::Mat& f : footage) cv::resize(f, f, cv::Size(96, 48), 0, 0, cv::INTER_AREA);

    zsim::RigConfig cfg;
    cfg.cameras = 2, cfg.camWidth = 64, cfg.overlap = 32, cfg.cellW = cfg.cellH = 2;
    cfg.blocks = 3, cfg.lutGrid = 9, cfg.period = 1, cfg.dbg = verbose;
    cfg.misalign = {zsim::Schedule{{{0, 4}, {2, -2}}}};
    std::vector<uint32_t> lut(81, 0);
    std::vector<uint8_t> fusion(zelvo_host::fusion_map_bytes(1, 32));  // 1 row, 32-pixel overlap
    for (int c = 0; c < n; ++c) {
        cfg.resetMask = c & 1, cfg.maskBlocks = (c >> 1) & 1;
        {
            zsim::Rig rig(cfg, 96, 48);
            for (int f = 0; f < frames; ++f) rig.play(footage[size_t(f) % footage.size()], f);
            // A stitcher without mask rows, whose set-up is refused.
            DynStitcher* refused =
                create_dynstitcher(0, 0, 64, 1, 32, 3, 1.0f, 0.0f, 0.0f, 0, nullptr, nullptr, 1, 0,
                                   9, 9, lut.data(), lut.data(), 9, 4, 3, 2, 2);
            try {
                setup_dynstitcher(refused, 0, (unsigned long)(uintptr_t)fusion.data());
                fail("a set-up without mask rows was accepted");
            } catch (const std::invalid_argument&) {
            }
            destroy_dynstitcher(&refused);
        }
        if (decoded_md_buffer != nullptr || num_decoded_md_buffer != 0) fail("maps survive uninit");
    }
    fprintf(stderr, "rig_driver: %d cycles of %d frames done\n", n, frames);
    return 0;
}

int soak(long long frames, long long every, std::vector<char*> args) {
    zsim::Options opt;
    std::string err;
    if (!zsim::parseArgs(int(args.size()), args.data(), opt, err)) fail(err);
    if (opt.rig.dbg < 0) opt.rig.dbg = 0;
    const auto footage =
        loadFootage(opt.input.empty() ? std::string(ZELVO_SAMPLES_DIR) + "/vtest" : opt.input);
    const std::string why = zsim::checkRig(opt.rig, footage[0].cols, footage[0].rows);
    if (!why.empty()) fail(why);

    zsim::Rig rig(opt.rig, footage[0].cols, footage[0].rows);
    printf("frame,rss_kib,ms_per_frame\n");
    long long first = -1, last = -1, peak = -1;
    const auto start = std::chrono::steady_clock::now();
    auto t0 = start;
    for (long long f = 0; f < frames; ++f) {
        rig.play(footage[size_t(f % (long long)footage.size())], int(f));
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
        "soak: %lld frames, %d cameras, %.1f s (%.3f ms/frame); resident memory after %lld "
        "frames %lld KiB, at the end %lld KiB, peak %lld KiB; growth %lld KiB (limit 1024 KiB)\n",
        frames, opt.rig.cameras, total, 1000.0 * total / double(frames), every, first, last, peak,
        peak - first);
    return peak - first < 1024 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    const long long a = argc > 2 ? atoll(argv[2]) : (mode == "soak" ? 100000 : 1000);
    const long long b = argc > 3 ? atoll(argv[3]) : (mode == "soak" ? 1000 : 5);
    if (mode == "cycles" && a >= 1 && b >= 1 && argc <= 4) return cycles(int(a), int(b));
    // The simulator parses the rig options as its own command line.
    std::vector<char*> simArgs = {argv[0]};
    for (int i = 4; i < argc; ++i) simArgs.push_back(argv[i]);
    if (mode == "soak" && b >= 1 && a >= b) return soak(a, b, simArgs);
    fail("usage: rig_driver cycles [N] [frames] | soak [frames] [sample every] [rig options...]");
}
