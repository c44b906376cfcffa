// The seam flood (DynStitcher::watershed_diff) beside OpenCV's cv::watershed on
// the same mask grids, cost content and seeds.
//
// Grids: a 1920x1080 camera with a 320 px overlap and 4x4 px cells gives 270
// rows x 80 columns; 3840x2160 with 640 px gives 540 x 160. The cost image is
// built as the library builds it: 255 - |left strip - right strip| on the mask
// grid, the two strips cut from one sample frame, horizontally offset, so the
// flood sees real texture rather than flat or random data.
#include <benchmark/benchmark.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "zelvo_stitch.h"

namespace {

struct FloodInput {
    cv::Mat cost;    // CV_8UC1, mask grid
    cv::Mat cost3;   // the same content as CV_8UC3, for cv::watershed
    cv::Mat seeds;   // CV_32SC1: label 1 in columns 0-1, label 2 in the last two
    int numBlocks = 5;
    int blockHeight = 0;
    int lastRow = 0;
};

// camW x camH camera, overlapW px overlap, 4x4 px cells.
FloodInput makeInput(int camW, int camH, int overlapW) {
    const std::string path = std::string(ZELVO_SAMPLES_DIR) + "/vtest/frame_000.jpg";
    cv::Mat frame = cv::imread(path, cv::IMREAD_GRAYSCALE);
    if (frame.empty()) throw std::runtime_error("missing sample frame " + path);
    cv::Mat camera;
    cv::resize(frame, camera, cv::Size(camW, camH), 0, 0, cv::INTER_LINEAR);

    // Two strips of the same scene, 6 % of the overlap apart, as two
    // neighbouring cameras would see it with a small parallax.
    const int shift = overlapW * 6 / 100;
    const int x0 = camW / 2 - overlapW / 2;
    const int cols = overlapW / 4, rows = camH / 4;
    cv::Mat left, right;
    cv::resize(camera(cv::Rect(x0, 0, overlapW, camH)), left, cv::Size(cols, rows), 0, 0,
               cv::INTER_LINEAR);
    cv::resize(camera(cv::Rect(x0 + shift, 0, overlapW, camH)), right, cv::Size(cols, rows), 0, 0,
               cv::INTER_LINEAR);

    FloodInput in;
    cv::Mat diff;
    cv::absdiff(left, right, diff);
    in.cost = 255 - diff;
    cv::cvtColor(in.cost, in.cost3, cv::COLOR_GRAY2BGR);
    in.seeds = cv::Mat::zeros(rows, cols, CV_32SC1);
    in.seeds(cv::Rect(0, 0, 2, rows)).setTo(1);
    in.seeds(cv::Rect(cols - 2, 0, 2, rows)).setTo(2);
    in.blockHeight = static_cast<int>(std::ceil(float(rows) / float(in.numBlocks)));
    in.lastRow = (in.numBlocks - 1) * in.blockHeight;
    return in;
}

const FloodInput& input(int which) {
    static const FloodInput hd = makeInput(1920, 1080, 320);
    static const FloodInput uhd = makeInput(3840, 2160, 640);
    return which == 0 ? hd : uhd;
}

void setLabel(benchmark::State& state, const FloodInput& in) {
    state.SetLabel(std::to_string(in.cost.rows) + "x" + std::to_string(in.cost.cols) + " cells");
    state.SetItemsProcessed(state.iterations() * in.cost.total());
}

// Each iteration restores the seed markers into a preallocated image (the seam
// update clones them the same way every frame), then floods.
void BM_WatershedDiff(benchmark::State& state) {
    cv::setNumThreads(1);
    const FloodInput& in = input(static_cast<int>(state.range(0)));
    DynStitcher::init_lib(8, in.numBlocks, false, true, true, 0);
    DynStitcher ds;
    ds.lastMaskBlockRow = in.lastRow;
    std::vector<_MaskBlockStat> stats(static_cast<size_t>(in.numBlocks));
    cv::Mat markers(in.seeds.size(), CV_32SC1);
    for (auto _ : state) {
        in.seeds.copyTo(markers);
        ds.watershed_diff(in.numBlocks, in.blockHeight, in.cost, markers, stats);
        benchmark::DoNotOptimize(markers.data);
        benchmark::ClobberMemory();
    }
    setLabel(state, in);
}

void BM_CvWatershed(benchmark::State& state) {
    cv::setNumThreads(1);
    const FloodInput& in = input(static_cast<int>(state.range(0)));
    cv::Mat markers(in.seeds.size(), CV_32SC1);
    for (auto _ : state) {
        in.seeds.copyTo(markers);
        cv::watershed(in.cost3, markers);
        benchmark::DoNotOptimize(markers.data);
        benchmark::ClobberMemory();
    }
    setLabel(state, in);
}

// The marker restore alone, the share of both figures above that is not flooding.
void BM_MarkerRestore(benchmark::State& state) {
    cv::setNumThreads(1);
    const FloodInput& in = input(static_cast<int>(state.range(0)));
    cv::Mat markers(in.seeds.size(), CV_32SC1);
    for (auto _ : state) {
        in.seeds.copyTo(markers);
        benchmark::DoNotOptimize(markers.data);
        benchmark::ClobberMemory();
    }
    setLabel(state, in);
}

}  // namespace

// Argument 0: 270 x 80 cells (1080p), 1: 540 x 160 cells (2160p).
BENCHMARK(BM_WatershedDiff)->Arg(0)->Arg(1);
BENCHMARK(BM_CvWatershed)->Arg(0)->Arg(1);
BENCHMARK(BM_MarkerRestore)->Arg(0)->Arg(1);
