// What a run leaves behind: each overlap's shift history and how it
// converged, shift.csv and shift.png, summary.json and the summary line.
#ifndef ZELVO_SIM_RESULTS_H
#define ZELVO_SIM_RESULTS_H

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "io/output_error.h"
#include "rig/rig.h"

namespace zsim {

// One overlap's history: the shift read after each frame call, and the truth
// (empty for a real rig, whose misalignment nobody knows).
struct Track {
    std::vector<int> shift, truth;
    // Residual misalignment after each frame's shift, measured (Rig::residual):
    // NaN where too little could be measured; empty when not measured at all.
    std::vector<double> residual;
};

// An overlap is aligned when its measured residual is below this, px.
constexpr double kAlignedPx = 1.0;
// A shift has converged when within half a cell of the truth: the nearest a
// shift stepped in whole cells can come, so a shift one cell short has not.
inline int tolerancePx(const RigConfig& cfg) { return cfg.cellW / 2; }

struct Segment {
    int from = 0, to = 0;  // frames [from, to) with one truth
    int truth = 0;
    int settledAt = -1;  // first frame from which |error| <= tolerance to the end; -1: never
    int framesToConverge() const { return settledAt < 0 ? -1 : settledAt - from + 1; }
};
// Splits the track into runs of constant truth and finds where each settles
// within `tolerance` pixels.
std::vector<Segment> analyse(const Track& t, int tolerance);

// Without a truth: the shift has settled when it has not changed over the last
// kSettleTrackingFrames tracking frames.
constexpr int kSettleTrackingFrames = 5;
struct Settle {
    int since = 0;           // first frame of the final run of one shift value
    int trackingFrames = 0;  // tracking frames within that run
    bool settled() const { return trackingFrames >= kSettleTrackingFrames; }
};
Settle settle(const Track& t, int period);

void writeCsv(const std::string& path, const std::vector<Track>& tracks);
void drawShiftPlot(const std::vector<Track>& tracks, int cellW, cv::Mat& plot);
// What a run played and how long it took.
struct RunInfo {
    std::string input;     // the footage; with realRig the camera inputs, ", " between
    bool realRig = false;  // per-camera footage: no truth, convergence is "settled"
    int frames = 0;
    int frameWidth = 0;   // px of the footage across (a real rig: the rig's width)
    int firstColumn = 0;  // the rig used columns [firstColumn, firstColumn + rigWidth)
    double wallSeconds = 0;
    double libraryMsPerFrame = -1;  // StageTimes::libraryMsPerFrame; < 0: not known
    // The seam comparison: seconds its thread measured, seconds the rig
    // waited for it (< 0: no comparison), and what it left out ("" = nothing).
    double comparisonSeconds = -1, comparisonWaitSeconds = 0;
    std::string comparisonNote;
    // Asked-for parallax not rendered: why ("" = rendered as asked).
    std::string parallaxReason;
};
void writeSummary(const std::string& path, const RigConfig& cfg, const RunInfo& run,
                  const std::vector<Track>& tracks, const StageTimes& times,
                  const std::string& quality = "");  // JSON object of the seam comparison
// One line for a person: frames, speed, every overlap's final shift and error,
// and every stretch of constant misalignment that did not converge.
std::string summaryLine(const RigConfig& cfg, const RunInfo& run, const std::vector<Track>& tracks);
// "1 frame", "2 frames".
std::string count(int n, const std::string& noun);

}  // namespace zsim

#endif
