// Whole frames of a 5-camera 1920x1080 rig (4 overlaps, 320 px each): the
// frame call (decoding, pre-processing, and on tracking frames tracking and
// shifting for every overlap) plus the seam path (process and
// copyTo_dre_fusion_map) of every overlap, as a host runs them.
#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>

#include "bench_alloc.h"
#include "bench_rig.h"
#include "zelvo_internal.h"

namespace {

// Argument: 1 = tracking frame (every frame tracks), 0 = non-tracking frame.
void BM_Frame5Cams(benchmark::State& state) {
    cv::setNumThreads(1);
    zb::Rig& rig = zb::rigFor(1, 5);
    const bool tracking = state.range(0) != 0;
    Zelvo_Stitch_Shift_Every_N_Frames = tracking ? 0 : (1 << 30);
    // Away from frame 0, which tracks whatever the period.
    if (!tracking && zelvo::frameDriverCounter() % (1 << 30) == 0) zelvo::frameDriverCounter() = 1;
    int k = 0;
    auto frame = [&] {
        rig.selectFrame(k++);
        zelvo_stitch_process(rig.st.data(), &rig.info);
        for (size_t i = 0; i < rig.st.size(); ++i) {
            rig.st[i]->process(decoded_md_buffer[i], decoded_md_buffer[i + 1]);
            rig.st[i]->copyTo_dre_fusion_map();
        }
    };
    for (int w = 0; w < zb::kFrames; ++w) frame();  // steady state
    zb::AllocProbe probe;
    for (auto _ : state) frame();
    probe.report(state);
    state.SetLabel(tracking ? "tracking frame" : "non-tracking frame");
}

}  // namespace

BENCHMARK(BM_Frame5Cams)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);
