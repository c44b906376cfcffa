// Fixed-count driver for instruction-level profiling of the seam flood and
// the seam path, for example (callgrind, since only it can count inside one
// function):
//   valgrind --tool=callgrind --branch-sim=yes
//     --toggle-collect='DynStitcher::watershed_diff*' zelvo_flood_profile flood 200
// Counts inside the toggled function divided by the call count are per call.
// Also prints the median CPU time per call over batches of 20 calls.
// Arguments: flood | process, calls (default 200), geometry 0..2 (default 1).
#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <opencv2/core.hpp>

#include "bench_rig.h"

int main(int argc, char** argv) {
    const bool flood = argc < 2 || std::strcmp(argv[1], "process") != 0;
    const int calls = argc > 2 ? std::atoi(argv[2]) : 200;
    const int g = argc > 3 ? std::atoi(argv[3]) : 1;
    cv::setNumThreads(1);
    zb::Rig& rig = zb::rigFor(g, 2);
    DynStitcher& s = *rig.st[0];
    std::vector<cv::Mat> diffs;
    for (int k = 0; k < zb::kFrames; ++k) diffs.push_back(zb::gridStrips(rig, k).diff);
    cv::Mat markers = s.wsMarkers.clone();
    long checksum = 0;
    std::vector<double> batches;
    auto cpuMicros = [] {  // this thread's CPU time: other load on the machine does not count
        timespec ts;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return double(ts.tv_sec) * 1e6 + double(ts.tv_nsec) * 1e-3;
    };
    double batchStart = cpuMicros();
    for (int i = 0; i < calls; ++i) {
        const cv::Mat& diff = diffs[size_t(i % zb::kFrames)];
        if (flood) {
            s.wsMarkers.copyTo(markers);
            s.watershed_diff(s.numMaskBlocks, s.maskBlockHeight, diff, markers, s.maskBlockStats);
            checksum += s.maskBlockStats[0].labelOneCount;
        } else {
            diff.copyTo(s.diffImage);
            s.process(nullptr, nullptr);
            checksum += s.currMask.at<uint8_t>(0, 0);
        }
        if (i % 20 == 19) {
            const double now = cpuMicros();
            batches.push_back((now - batchStart) / 20);
            batchStart = now;
        }
    }
    std::sort(batches.begin(), batches.end());
    const double median = batches.empty() ? 0.0 : batches[batches.size() / 2];
    std::printf("%s x %d at %s: %.1f us per call (median of %zu batches), checksum %ld\n",
                flood ? "flood" : "process", calls, rig.geo.name, median, batches.size(), checksum);
    return 0;
}
