// Per-stage, per-overlap costs at three geometries, each beside what a user
// would run instead on the same strips and the same mask grid.
//
// Argument g: 0 = 768x576 cameras / 192 px overlap, 1 = 1920x1080 / 320,
// 2 = 3840x2160 / 640; 4x4 px cells. The seam benchmarks take a second
// argument, the content (zb::Content: 0 = footage, 1 = busy synthetic pair,
// 2 = the simulator's realistic rig).
// Every benchmark cycles through kFrames frames and reports heap allocations
// per iteration. Only the library's public header is used.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/stitching/detail/seam_finders.hpp>
#include <opencv2/video/tracking.hpp>

#include "bench_alloc.h"
#include "bench_rig.h"

namespace {

using zb::AllocProbe;
using zb::kFrames;

void label(benchmark::State& state, const zb::Rig& rig) { state.SetLabel(rig.geo.name); }
zb::Content contentOf(const benchmark::State& state) { return zb::Content(state.range(1)); }
void label(benchmark::State& state, const zb::Rig& rig, zb::Content c) {
    state.SetLabel(std::string(rig.geo.name) + " " + zb::contentName(c));
}

// --- motion-bitmap decoding: the two cameras of one overlap -----------------
// Each camera through a one-image frame call, which decodes that image's
// bitmap and, having no overlap, does nothing else but count the frame.
void BM_Stage_Decode(benchmark::State& state) {
    cv::setNumThreads(1);
    zb::Rig& rig = zb::rigFor(int(state.range(0)), 2);
    _ZELVO_STITCH_INFO one = rig.info;
    one.img_num = 1;
    auto decode = [&](int k, int camera) {
        one.md_addr[0] =
            reinterpret_cast<uint64_t>(rig.bits[size_t(k % kFrames)][size_t(camera)].data());
        zelvo_stitch_process(rig.st.data(), &one);
    };
    decode(0, 0);  // first call allocates the maps
    int k = 0;
    AllocProbe probe;
    for (auto _ : state) {
        decode(k, 0);
        decode(k++, 1);
        benchmark::DoNotOptimize(decoded_md_buffer[0][0]);
    }
    probe.report(state);
    label(state, rig);
}

// --- strip pre-processing ---------------------------------------------------
void BM_Stage_PreProcess(benchmark::State& state) {
    cv::setNumThreads(1);
    zb::Rig& rig = zb::rigFor(int(state.range(0)), 2);
    DynStitcher& s = *rig.st[0];
    unsigned stripX[1] = {0}, zeros[1] = {0};
    auto run = [&](int k) {
        rig.selectFrame(k);
        s.preProcess(0, stripX, zeros, rig.info.img_num, rig.info.strip_buf_addr,
                     rig.info.strip_buf_width, rig.info.strip_width, rig.info.strip_height,
                     rig.info.overlap_shift_value);
    };
    run(0);
    int k = 1;
    AllocProbe probe;
    for (auto _ : state) run(k++);
    probe.report(state);
    label(state, rig);
}

// The bare calls preProcess is made of, into preallocated images.
void BM_Peer_PreProcess(benchmark::State& state) {
    cv::setNumThreads(1);
    zb::Rig& rig = zb::rigFor(int(state.range(0)), 2);
    const int O = rig.geo.overlapW, H = rig.geo.camH;
    const cv::Size grid(O / zb::kCell, H / zb::kCell);
    cv::Mat left(grid, CV_8UC1), right(grid, CV_8UC1), diff(grid, CV_8UC1);
    int k = 0;
    AllocProbe probe;
    for (auto _ : state) {
        const cv::Mat& buf = rig.stripBufs[size_t(k++ % kFrames)];
        cv::resize(buf(cv::Rect(0, 0, O, H)), left, grid, 0, 0, cv::INTER_NEAREST);
        cv::resize(buf(cv::Rect(O, 0, O, H)), right, grid, 0, 0, cv::INTER_NEAREST);
        cv::absdiff(left, right, diff);
        cv::subtract(cv::Scalar(255), diff, diff);
        benchmark::DoNotOptimize(diff.data);
    }
    probe.report(state);
    label(state, rig);
}

// --- shift tracking: ST_TRKE + decideShifting --------------------------------
void BM_Stage_TrackAndShift(benchmark::State& state) {
    cv::setNumThreads(1);
    zb::Rig& rig = zb::rigFor(int(state.range(0)), 2);
    DynStitcher& s = *rig.st[0];
    std::vector<zb::GridStrips> strips;
    for (int k = 0; k < kFrames; ++k) strips.push_back(zb::gridStrips(rig, k));
    int k = 0;
    auto run = [&] {
        const zb::GridStrips& g = strips[size_t(k++ % kFrames)];
        g.left.copyTo(s.leftImage);  // into the stitcher's own buffers
        g.right.copyTo(s.rightImage);
        s.ST_TRKE();
        s.decideShifting(0, rig.info.overlap_shift_value, 0);
    };
    run();
    AllocProbe probe;
    for (auto _ : state) run();
    probe.report(state);
    label(state, rig);
}

// The bare tracking calls with the same arguments on the same strips.
void BM_Peer_Tracking(benchmark::State& state) {
    cv::setNumThreads(1);
    zb::Rig& rig = zb::rigFor(int(state.range(0)), 2);
    std::vector<zb::GridStrips> strips;
    for (int k = 0; k < kFrames; ++k) strips.push_back(zb::gridStrips(rig, k));
    cv::Mat left, right;
    std::vector<cv::Point2f> prev, next, back;
    std::vector<uchar> status, backStatus;
    std::vector<float> err, flowX, centers;
    cv::Mat labels;
    const cv::TermCriteria lk(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 20, 0.03);
    const cv::TermCriteria km(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 10, 1.0);
    int k = 0;
    AllocProbe probe;
    for (auto _ : state) {
        const zb::GridStrips& g = strips[size_t(k++ % kFrames)];
        g.left.copyTo(left);
        g.right.copyTo(right);
        cv::goodFeaturesToTrack(left, prev, 120, 0.01, 1.0, cv::Mat(), 3, 3, false, 0.04);
        if (prev.empty()) continue;
        cv::calcOpticalFlowPyrLK(left, right, prev, next, status, err, cv::Size(18, 18), 3, lk,
                                 cv::OPTFLOW_LK_GET_MIN_EIGENVALS, 0.05);
        cv::calcOpticalFlowPyrLK(right, left, next, back, backStatus, err, cv::Size(18, 18), 3, lk,
                                 cv::OPTFLOW_LK_GET_MIN_EIGENVALS, 0.05);
        flowX.clear();
        for (size_t i = 0; i < prev.size(); ++i)
            if (status[i] && backStatus[i]) flowX.push_back(next[i].x - prev[i].x);
        if (flowX.size() >= 9) cv::kmeans(flowX, 3, labels, km, 3, cv::KMEANS_PP_CENTERS, centers);
        benchmark::DoNotOptimize(centers.data());
    }
    probe.report(state);
    label(state, rig);
}

// --- the seam flood ---------------------------------------------------------
void BM_Stage_WatershedDiff(benchmark::State& state) {
    cv::setNumThreads(1);
    zb::Rig& rig = zb::rigFor(int(state.range(0)), 2);
    DynStitcher& s = *rig.st[0];
    std::vector<zb::GridStrips> strips;
    for (int k = 0; k < kFrames; ++k) strips.push_back(zb::gridStrips(rig, k, contentOf(state)));
    cv::Mat markers = s.wsMarkers.clone();
    int k = 0;
    AllocProbe probe;
    for (auto _ : state) {
        s.wsMarkers.copyTo(markers);
        s.watershed_diff(s.numMaskBlocks, s.maskBlockHeight, strips[size_t(k++ % kFrames)].diff,
                         markers, s.maskBlockStats);
        benchmark::DoNotOptimize(markers.data);
    }
    probe.report(state);
    label(state, rig, contentOf(state));
}

void BM_Peer_CvWatershed(benchmark::State& state) {
    cv::setNumThreads(1);
    zb::Rig& rig = zb::rigFor(int(state.range(0)), 2);
    DynStitcher& s = *rig.st[0];
    std::vector<cv::Mat> cost3(kFrames);
    for (int k = 0; k < kFrames; ++k)
        cv::cvtColor(zb::gridStrips(rig, k, contentOf(state)).diff, cost3[size_t(k)],
                     cv::COLOR_GRAY2BGR);
    cv::Mat markers = s.wsMarkers.clone();
    int k = 0;
    AllocProbe probe;
    for (auto _ : state) {
        s.wsMarkers.copyTo(markers);
        cv::watershed(cost3[size_t(k++ % kFrames)], markers);
        benchmark::DoNotOptimize(markers.data);
    }
    probe.report(state);
    label(state, rig, contentOf(state));
}

// --- the seam path: process, copyTo_dre_fusion_map, both --------------------
struct SeamSetup {
    zb::Rig& rig;
    DynStitcher& s;
    std::vector<cv::Mat> diffs;
    std::vector<std::vector<uint8_t>> mdL, mdR;
    explicit SeamSetup(int g, zb::Content content = zb::Content::Footage)
        : rig(zb::rigFor(g, 2)), s(*rig.st[0]) {
        for (int k = 0; k < kFrames; ++k) {
            diffs.push_back(zb::gridStrips(rig, k, content).diff);
            mdL.push_back(zb::decodedMap(rig, k, 0));
            mdR.push_back(zb::decodedMap(rig, k, 1));
        }
        s.diffImage = diffs[0].clone();
    }
    void process(int k) {
        const int f = k % kFrames;
        diffs[size_t(f)].copyTo(s.diffImage);
        s.process(mdL[size_t(f)].data(), mdR[size_t(f)].data());
    }
};

void BM_Stage_Process(benchmark::State& state) {
    cv::setNumThreads(1);
    SeamSetup seam(int(state.range(0)), contentOf(state));
    seam.process(0);
    int k = 1;
    AllocProbe probe;
    for (auto _ : state) seam.process(k++);
    probe.report(state);
    label(state, seam.rig, contentOf(state));
}

void BM_Stage_CopyToFusionMap(benchmark::State& state) {
    cv::setNumThreads(1);
    SeamSetup seam(int(state.range(0)));
    seam.process(0);
    AllocProbe probe;
    for (auto _ : state) {
        seam.s.copyTo_dre_fusion_map();
        benchmark::DoNotOptimize(seam.rig.fusion[0].data());
    }
    probe.report(state);
    label(state, seam.rig);
}

void BM_Stage_SeamPath(benchmark::State& state) {
    cv::setNumThreads(1);
    SeamSetup seam(int(state.range(0)), contentOf(state));
    seam.process(0);
    int k = 1;
    AllocProbe probe;
    for (auto _ : state) {
        seam.process(k++);
        seam.s.copyTo_dre_fusion_map();
        benchmark::DoNotOptimize(seam.rig.fusion[0].data());
    }
    probe.report(state);
    label(state, seam.rig, contentOf(state));
}

// Floors of the full-resolution write: a plain copy of one fusion map, and
// the resize alone into a preallocated buffer.
void BM_Peer_Memcpy(benchmark::State& state) {
    cv::setNumThreads(1);
    zb::Rig& rig = zb::rigFor(int(state.range(0)), 2);
    const size_t n = size_t(rig.geo.overlapW) * size_t(rig.geo.camH);
    std::vector<uint8_t> src(n, 127);
    AllocProbe probe;
    for (auto _ : state) {
        std::memcpy(rig.fusion[0].data(), src.data(), n);
        benchmark::ClobberMemory();
    }
    probe.report(state);
    label(state, rig);
}

void BM_Peer_Resize(benchmark::State& state) {
    cv::setNumThreads(1);
    SeamSetup seam(int(state.range(0)));
    seam.process(0);
    cv::Mat dst(seam.rig.geo.camH, seam.rig.geo.overlapW, CV_8UC1);
    AllocProbe probe;
    for (auto _ : state) {
        cv::resize(seam.s.currMask, dst, dst.size(), 0, 0, cv::INTER_LINEAR);
        benchmark::DoNotOptimize(dst.data);
    }
    probe.report(state);
    label(state, seam.rig);
}

// --- seam finders between the same two strips --------------------------------
// Each finder gets the two strips widened by half an overlap on their outer
// side (the rest of each camera image), placed so that they overlap exactly
// on the strips: the seam is searched in the same region the flood works on.
// Argument 1: 0 = mask grid (cells), 1 = full resolution.
enum class Finder { Voronoi, Dp, GraphCut };

template <Finder F>
void BM_Peer_SeamFinder(benchmark::State& state) {
    cv::setNumThreads(1);
    zb::Rig& rig = zb::rigFor(int(state.range(0)), 2);
    const bool full = state.range(1) != 0;
    const int O = rig.geo.overlapW, H = rig.geo.camH, W = rig.geo.camW, margin = O / 2;
    std::vector<std::vector<cv::UMat>> frames;
    for (int k = 0; k < kFrames; ++k) {
        // Rebuild the two camera images of frame k from the sample scene.
        const int parallax = O * 6 / 100;
        cv::Mat scene;
        cv::resize(zb::sample((k + 1) * 3), scene, cv::Size(2 * W - O + parallax, H), 0, 0,
                   cv::INTER_LINEAR);
        cv::Mat a = scene(cv::Rect(W - O - margin, 0, O + margin, H));
        cv::Mat b = scene(cv::Rect(W - O + parallax, 0, O + margin, H));
        std::vector<cv::UMat> imgs(2);
        for (int i = 0; i < 2; ++i) {
            cv::Mat img = i == 0 ? a : b, scaled, colour, f32;
            if (full)
                scaled = img;
            else
                cv::resize(img, scaled, cv::Size(img.cols / zb::kCell, img.rows / zb::kCell), 0, 0,
                           cv::INTER_NEAREST);
            cv::cvtColor(scaled, colour, cv::COLOR_GRAY2BGR);
            colour.convertTo(f32, CV_32FC3);
            f32.copyTo(imgs[size_t(i)]);
        }
        frames.push_back(std::move(imgs));
    }
    const int s = full ? 1 : zb::kCell;
    const std::vector<cv::Point> corners = {{0, 0}, {margin / s, 0}};
    std::vector<cv::UMat> masks(2);
    cv::Ptr<cv::detail::SeamFinder> finder;
    if (F == Finder::Voronoi) finder = cv::makePtr<cv::detail::VoronoiSeamFinder>();
    if (F == Finder::Dp)
        finder = cv::makePtr<cv::detail::DpSeamFinder>(cv::detail::DpSeamFinder::COLOR);
    if (F == Finder::GraphCut)
        finder = cv::makePtr<cv::detail::GraphCutSeamFinder>(
            cv::detail::GraphCutSeamFinderBase::COST_COLOR);
    int k = 0;
    AllocProbe probe;
    for (auto _ : state) {
        const std::vector<cv::UMat>& imgs = frames[size_t(k++ % kFrames)];
        for (int i = 0; i < 2; ++i) {
            masks[size_t(i)].create(imgs[size_t(i)].size(), CV_8UC1);
            masks[size_t(i)].setTo(cv::Scalar(255));
        }
        finder->find(imgs, corners, masks);
        benchmark::DoNotOptimize(masks[0].u);
    }
    probe.report(state);
    state.SetLabel(std::string(rig.geo.name) + (full ? " full" : " grid"));
}

}  // namespace

BENCHMARK(BM_Stage_Decode)->DenseRange(0, 2);
BENCHMARK(BM_Stage_PreProcess)->DenseRange(0, 2);
BENCHMARK(BM_Peer_PreProcess)->DenseRange(0, 2);
BENCHMARK(BM_Stage_TrackAndShift)->DenseRange(0, 2);
BENCHMARK(BM_Peer_Tracking)->DenseRange(0, 2);
// The seam path on footage at every geometry, and on the busy pair at 1080p.
BENCHMARK(BM_Stage_WatershedDiff)->ArgsProduct({{0, 1, 2}, {0}})->Args({1, 1})->Args({1, 2});
BENCHMARK(BM_Peer_CvWatershed)->ArgsProduct({{0, 1, 2}, {0}})->Args({1, 1})->Args({1, 2});
BENCHMARK(BM_Stage_Process)->ArgsProduct({{0, 1, 2}, {0}})->Args({1, 1})->Args({1, 2});
BENCHMARK(BM_Stage_CopyToFusionMap)->DenseRange(0, 2);
BENCHMARK(BM_Stage_SeamPath)->ArgsProduct({{0, 1, 2}, {0}})->Args({1, 1})->Args({1, 2});
BENCHMARK(BM_Peer_Memcpy)->DenseRange(0, 2);
BENCHMARK(BM_Peer_Resize)->DenseRange(0, 2);
BENCHMARK_TEMPLATE(BM_Peer_SeamFinder, Finder::Voronoi)->ArgsProduct({{0, 1, 2}, {0, 1}});
BENCHMARK_TEMPLATE(BM_Peer_SeamFinder, Finder::Dp)->ArgsProduct({{0, 1, 2}, {0, 1}});
BENCHMARK_TEMPLATE(BM_Peer_SeamFinder, Finder::GraphCut)
    ->ArgsProduct({{0, 1, 2}, {0}})
    ->Args({0, 1})
    ->Args({1, 1});
