// Lifecycle driver for valgrind (scripts/leakcheck.sh) over the simulator's host logic (tools/rig)
// on the bundled footage, writing no output: rig_driver cycles [N (1000)] [frames per cycle (5)] runs
// N lifecycles of a tiny two-camera rig (footage scaled to 96 x 48). (Refused set-ups are leak
// checked by the sanitizer build's run of the set-up tests.)
// Standard output is dropped unless ZELVO_LEAKCHECK_VERBOSE is set; exits 2 on bad arguments,
// missing footage or a broken lifecycle.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "app/options.h"
#include "rig/rig.h"

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

// Every cycle alternates the library switches (both seam variants, the random
// reset, the motion-aware mode) and leaves nothing behind: the decoded maps go with uninit.
int cycles(int n, int frames) {
    const bool verbose = getenv("ZELVO_LEAKCHECK_VERBOSE") != nullptr;
    if (!verbose && freopen("/dev/null", "w", stdout) == nullptr) fail("cannot silence stdout");
    std::vector<cv::Mat> footage = loadFootage(std::string(ZELVO_SAMPLES_DIR) + "/vtest");
    for (cv::Mat& f : footage) cv::resize(f, f, cv::Size(96, 48), 0, 0, cv::INTER_AREA);

    zsim::RigConfig cfg;
    cfg.cameras = 2, cfg.camWidth = 64, cfg.overlap = 32, cfg.cellW = cfg.cellH = 2;
    cfg.blocks = 3, cfg.lutGrid = 9, cfg.period = 1, cfg.dbg = verbose;
    cfg.misalign = {zsim::Schedule{{{0, 4}, {2, -2}}}};
    for (int c = 0; c < n; ++c) {
        cfg.resetMask = c & 1, cfg.maskBlocks = (c >> 1) & 1, cfg.motionAware = (c >> 2) & 1;
        {
            zsim::Rig rig(cfg, 96, 48);
            for (int f = 0; f < frames; ++f) rig.play(footage[size_t(f) % footage.size()], f);
        }
        if (decoded_md_buffer != nullptr || num_decoded_md_buffer != 0) fail("maps survive uninit");
    }
    fprintf(stderr, "rig_driver: %d cycles of %d frames done\n", n, frames);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const long long a = argc > 2 ? atoll(argv[2]) : 1000, b = argc > 3 ? atoll(argv[3]) : 5;
    if (argc > 1 && std::string(argv[1]) == "cycles" && a >= 1 && b >= 1 && argc <= 4)
        return cycles(int(a), int(b));
    fail("usage: rig_driver cycles [N] [frames]");
}
