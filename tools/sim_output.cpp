// The simulator's result files: shift.csv, shift.png, summary.json.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

#include <opencv2/imgproc.hpp>

#include "sim_align.h"
#include "sim_host.h"

namespace zsim {

void writeCsv(const std::string& path, const std::vector<Track>& tracks) {
    std::ofstream f(path);
    f << "frame,overlap,shift_px,true_px,residual_px\n";
    const size_t frames = tracks.empty() ? 0 : tracks[0].shift.size();
    for (size_t k = 0; k < frames; ++k)
        for (size_t i = 0; i < tracks.size(); ++i) {
            f << k << "," << i << "," << tracks[i].shift[k] << ",";
            if (!tracks[i].truth.empty()) f << tracks[i].truth[k];  // a real rig has none
            f << ",";
            if (k < tracks[i].residual.size() && std::isfinite(tracks[i].residual[k])) {
                char buf[24];
                const double r = tracks[i].residual[k];
                std::snprintf(buf, sizeof buf, "%.2f", std::abs(r) < 0.005 ? 0.0 : r);  // no -0.00
                f << buf;
            }
            f << "\n";
        }
    if (!f) throw OutputError("cannot write " + path);
}

namespace {

// Plot area of the shift picture: frames across, pixels up.
struct ShiftAxes {
    static constexpr int W = 900, H = 460, L = 64, R = 24, T = 44, B = 80;
    int frames, lo, hi;
    int px(double f) const {
        return int(std::lround(L + f * (W - L - R) / std::max(frames - 1, 1)));
    }
    int py(double v) const { return int(std::lround(T + (hi - v) * (H - T - B) / (hi - lo))); }
};

// Value range of every series, padded by a cell and rounded to the ticks.
ShiftAxes shiftAxes(const std::vector<Track>& tracks, bool truth, int cellW, int& tick) {
    const int frames = tracks.empty() ? 0 : int(tracks[0].shift.size());
    int lo = 0, hi = 0;
    for (const auto& t : tracks)
        for (int k = 0; k < frames; ++k) {
            lo = std::min({lo, t.shift[k], truth ? t.truth[k] : 0});
            hi = std::max({hi, t.shift[k], truth ? t.truth[k] : 0});
        }
    tick = hi - lo > 48 ? 16 : (hi - lo > 20 ? 8 : 4);
    lo = int(std::floor(double(lo - cellW) / tick)) * tick;
    hi = int(std::ceil(double(hi + cellW) / tick)) * tick;
    return {frames, lo, hi};
}

// Grid, tick labels, frame and title.
void drawShiftGrid(const ShiftAxes& a, int tick, bool truth, cv::Mat& plot) {
    const auto font = cv::FONT_HERSHEY_SIMPLEX;
    const cv::Scalar grid(225, 225, 225), axis(60, 60, 60);
    const int W = a.W, H = a.H, L = a.L, R = a.R, T = a.T, B = a.B;
    for (int v = a.lo; v <= a.hi; v += tick) {
        cv::line(plot, {L, a.py(v)}, {W - R, a.py(v)}, v == 0 ? cv::Scalar(170, 170, 170) : grid,
                 1);
        cv::putText(plot, std::to_string(v), {8, a.py(v) + 5}, font, 0.45, axis, 1, cv::LINE_AA);
    }
    const int fstep = a.frames > 200 ? 50 : (a.frames > 60 ? 10 : 5);
    for (int f = 0; f < a.frames; f += fstep) {
        cv::line(plot, {a.px(f), T}, {a.px(f), H - B}, grid, 1);
        cv::putText(plot, std::to_string(f), {a.px(f) - 8, H - B + 18}, font, 0.45, axis, 1,
                    cv::LINE_AA);
    }
    cv::rectangle(plot, {L, T}, {W - R, H - B}, axis, 1);
    cv::putText(plot,
                truth ? "shift written (line) and true displacement (pale band) per overlap, px"
                      : "shift written per overlap, px (real rig: true displacement unknown)",
                {L, 28}, font, 0.55, axis, 1, cv::LINE_AA);
    cv::putText(plot, "frame", {W / 2 - 20, H - B + 40}, font, 0.5, axis, 1, cv::LINE_AA);
}

const cv::Scalar kSeriesColours[] = {{200, 90, 0}, {0, 130, 230}, {40, 160, 40}, {170, 40, 170}};
cv::Scalar pale(const cv::Scalar& c) { return c * 0.35 + cv::Scalar::all(255 * 0.65); }

// Lower panel, below the shift plot's rows: every overlap's measured residual
// (a line, broken where nothing could be measured) over the band counted as
// aligned; on a simulated rig the truth minus the shift (pale steps) beside it.
constexpr int kResidualPanelH = 320;
void drawResidualPanel(const std::vector<Track>& tracks, const ShiftAxes& a, bool truth,
                       cv::Mat& plot) {
    const auto font = cv::FONT_HERSHEY_SIMPLEX;
    const cv::Scalar grid(225, 225, 225), axis(60, 60, 60);
    const int T = a.H + 40, B = a.H + kResidualPanelH - 100, L = a.L, R = a.W - a.R;
    double lim = 2;
    for (const auto& t : tracks)
        for (int k = 0; k < a.frames; ++k) {
            if (k < int(t.residual.size()) && std::isfinite(t.residual[k]))
                lim = std::max(lim, std::abs(t.residual[k]));
            if (truth) lim = std::max(lim, double(std::abs(t.truth[k] - t.shift[k])));
        }
    const int tick = lim > 32 ? 16 : (lim > 16 ? 8 : (lim > 6 ? 2 : 1));
    lim = std::ceil(lim / tick) * tick;
    auto py = [&](double v) { return int(std::lround(T + (lim - v) * (B - T) / (2 * lim))); };
    cv::rectangle(plot, {L, py(kAlignedPx)}, {R, py(-kAlignedPx)}, cv::Scalar(205, 240, 205),
                  cv::FILLED);
    for (int v = -int(lim); v <= int(lim); v += tick) {
        cv::line(plot, {L, py(v)}, {R, py(v)}, v == 0 ? cv::Scalar(170, 170, 170) : grid, 1);
        cv::putText(plot, std::to_string(v), {8, py(v) + 5}, font, 0.45, axis, 1, cv::LINE_AA);
    }
    const int fstep = a.frames > 200 ? 50 : (a.frames > 60 ? 10 : 5);
    for (int f = 0; f < a.frames; f += fstep) {
        cv::line(plot, {a.px(f), T}, {a.px(f), B}, grid, 1);
        cv::putText(plot, std::to_string(f), {a.px(f) - 8, B + 18}, font, 0.45, axis, 1,
                    cv::LINE_AA);
    }
    cv::rectangle(plot, {L, T}, {R, B}, axis, 1);
    cv::putText(plot, "residual misalignment after the written shift, px (measured on the images)",
                {L, T - 12}, font, 0.55, axis, 1, cv::LINE_AA);
    cv::putText(plot, "frame", {a.W / 2 - 20, B + 38}, font, 0.5, axis, 1, cv::LINE_AA);

    const int n = int(tracks.size());
    for (int i = 0; i < n && truth; ++i)
        for (int k = 0; k < a.frames; ++k) {
            const int e = tracks[i].truth[k] - tracks[i].shift[k];
            const int x0 = a.px(k), x1 = a.px(std::min(k + 1, a.frames - 1));
            cv::line(plot, {x0, py(e)}, {x1, py(e)}, pale(kSeriesColours[i % 4]), 7);
        }
    for (int i = 0; i < n; ++i) {
        const std::vector<double>& r = tracks[i].residual;
        const cv::Scalar c = kSeriesColours[i % 4];
        for (int k = 0; k + 1 < int(r.size()); ++k)
            if (std::isfinite(r[k]) && std::isfinite(r[k + 1]))
                cv::line(plot, {a.px(k), py(r[k])}, {a.px(k + 1), py(r[k + 1])}, c, 2, cv::LINE_AA);
        const int lx = L + i * 200, ly = plot.rows - 18;
        if (truth) cv::line(plot, {lx, ly - 4}, {lx + 24, ly - 4}, pale(c), 7);
        cv::line(plot, {lx, ly - 4}, {lx + 24, ly - 4}, c, 2);
        cv::putText(plot, "overlap " + std::to_string(i), {lx + 30, ly}, font, 0.45, axis, 1,
                    cv::LINE_AA);
    }
    const int ly = plot.rows - 42;
    cv::rectangle(plot, {L, ly - 10}, {L + 24, ly + 2}, cv::Scalar(205, 240, 205), cv::FILLED);
    cv::putText(plot,
                std::string("aligned: |residual| < 1 px;  line: measured") +
                    (truth ? ", pale: true displacement minus shift" : ""),
                {L + 30, ly}, font, 0.45, axis, 1, cv::LINE_AA);
}

}  // namespace

void drawShiftPlot(const std::vector<Track>& tracks, int cellW, cv::Mat& plot) {
    const bool truth = !tracks.empty() && !tracks[0].truth.empty();
    int tick = 4;
    const ShiftAxes a = shiftAxes(tracks, truth, cellW, tick);
    plot.create(a.H + kResidualPanelH, a.W, CV_8UC3);
    plot.setTo(cv::Scalar::all(255));
    drawShiftGrid(a, tick, truth, plot);

    const cv::Scalar* colours = kSeriesColours;
    // Both series are step functions: a value holds until the next frame.
    auto steps = [&](const std::vector<int>& v, int dy, const cv::Scalar& c, int thick) {
        for (int k = 0; k < a.frames; ++k) {
            const int x0 = a.px(k), x1 = a.px(std::min(k + 1, a.frames - 1));
            cv::line(plot, {x0, a.py(v[k]) + dy}, {x1, a.py(v[k]) + dy}, c, thick);
            if (k + 1 < a.frames && v[k + 1] != v[k])
                cv::line(plot, {x1, a.py(v[k]) + dy}, {x1, a.py(v[k + 1]) + dy}, c, thick);
        }
    };
    // Truths first, wide and pale, so a shift lying on its truth leaves it
    // visible; overlaps with equal values are drawn a few pixels apart.
    const int n = int(tracks.size());
    for (int i = 0; i < (truth ? n : 0); ++i) steps(tracks[i].truth, 0, pale(colours[i % 4]), 9);
    for (int i = 0; i < n; ++i) {
        const cv::Scalar c = colours[i % 4];
        steps(tracks[i].shift, (2 * i - (n - 1)) * 2, c, 2);
        // Legend.
        const int lx = a.L + i * 200, ly = a.H - 18;
        if (truth) cv::line(plot, {lx, ly - 4}, {lx + 24, ly - 4}, pale(c), 9);
        cv::line(plot, {lx, ly - 4}, {lx + 24, ly - 4}, c, 2);
        cv::putText(plot, "overlap " + std::to_string(i), {lx + 30, ly}, cv::FONT_HERSHEY_SIMPLEX,
                    0.45, cv::Scalar(60, 60, 60), 1, cv::LINE_AA);
    }
    drawResidualPanel(tracks, a, truth, plot);
}

namespace {

std::string jsonString(const std::string& s) {
    std::string o = "\"";
    for (char ch : s) {
        const unsigned char c = (unsigned char)ch;
        if (c == '"' || c == '\\') {
            o += '\\';
            o += ch;
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            o += buf;
        } else {
            o += ch;
        }
    }
    return o + "\"";
}

std::string ms(double v, bool known = true) {
    if (!known || !std::isfinite(v)) return "null";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", v);
    return buf;
}

std::string orNull(int v) { return v < 0 ? "null" : std::to_string(v); }

// The measured residual of the last frame, and its mean over the last
// quarter of the frames (where measured); NaN when there is none.
double lastResidual(const Track& t) {
    return t.residual.empty() ? std::nan("") : t.residual.back();
}
double lateResidualMean(const Track& t) {
    const size_t n = t.residual.size(), from = n - std::max<size_t>(n / 4, 1);
    double sum = 0;
    int known = 0;
    for (size_t k = from; k < n; ++k)
        if (std::isfinite(t.residual[k])) sum += t.residual[k], ++known;
    return known ? sum / known : std::nan("");
}

// "aligned (residual 0.3 px)", "misaligned by 4.1 px", or why neither.
std::string alignmentWords(const Track& t) {
    const double r = lastResidual(t);
    char buf[64];
    if (!std::isfinite(r))
        return "alignment not measured: too few still, textured patches matched within +-" +
               std::to_string(kResidualReach) + " px on the last frame";
    if (std::abs(r) < kAlignedPx)  // (no "-0.0")
        std::snprintf(buf, sizeof buf, "aligned (residual %.1f px)", std::abs(r) < 0.05 ? 0.0 : r);
    else
        std::snprintf(buf, sizeof buf, "misaligned by %.1f px", std::abs(r));
    return buf;
}

// The library's own speed and the comparison's time, apart: " library 1.2
// ms per frame (...);" and " seam comparison ...;".
std::string speedWords(const RunInfo& run) {
    std::ostringstream w;
    w.setf(std::ios::fixed);
    if (run.libraryMsPerFrame >= 0) {
        w.precision(run.libraryMsPerFrame < 10 ? 2 : 1);
        w << " library " << run.libraryMsPerFrame << " ms per frame";
        w.precision(0);
        w << " (" << 1000.0 / std::max(run.libraryMsPerFrame, 1e-6)
          << " frames/s: frame call, seam and fusion-map copy of every overlap);";
    }
    w.precision(1);
    if (run.comparisonSeconds >= 0)
        w << " seam comparison " << run.comparisonSeconds << " s on its own thread (the rig waited "
          << run.comparisonWaitSeconds << " s for it"
          << (run.comparisonNote.empty() ? "" : "; " + run.comparisonNote) << ");";
    return w.str();
}

}  // namespace

std::string count(int n, const std::string& noun) {
    return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

std::string summaryLine(const RigConfig& cfg, const RunInfo& run,
                        const std::vector<Track>& tracks) {
    std::ostringstream line;
    line.setf(std::ios::fixed);
    line.precision(1);
    line << count(run.frames, "frame") << ", " << count(int(tracks.size()), "overlap") << " in "
         << run.wallSeconds << " s;" << speedWords(run);
    std::string missed;
    for (size_t i = 0; i < tracks.size(); ++i) {
        const Track& t = tracks[i];
        const int last = int(t.shift.size()) - 1;
        line << " overlap " << i << " shift " << t.shift[last] << " px (";
        if (run.realRig) {
            const Settle s = settle(t, cfg.period);
            // "Settled" only for an aligned overlap: a shift that stays put
            // beside a misaligned picture has not settled on anything.
            const double r = lastResidual(t);
            const bool aligned = std::isfinite(r) && std::abs(r) < kAlignedPx;
            line << alignmentWords(t) << "; "
                 << (!aligned        ? "shift unchanged since frame "
                     : s.settled() ? "settled: unchanged since frame "
                                   : "not settled: changed at frame ")
                 << s.since << ", " << count(s.trackingFrames, "tracking frame")
                 << (aligned && !s.settled() ? " since" : "");
        } else {
            const int tol = tolerancePx(cfg);
            const auto segs = analyse(t, tol);
            const int n = segs.back().framesToConverge();
            line << "true " << t.truth[last] << ", error " << t.shift[last] - t.truth[last]
                 << " px, "
                 << (n < 0 ? "not converged"
                           : "within " + std::to_string(tol) + " px in " + count(n, "frame"))
                 << "; " << alignmentWords(t);
            for (const Segment& s : segs)
                if (s.settledAt < 0)
                    missed += (missed.empty() ? "" : ", ") + std::string("overlap ") +
                              std::to_string(i) + " frames " + std::to_string(s.from) + "-" +
                              std::to_string(s.to - 1) + " (true " + std::to_string(s.truth) +
                              " px, error " + std::to_string(t.shift[s.to - 1] - s.truth) +
                              " px at its end)";
        }
        line << ")" << (i + 1 < tracks.size() ? "," : ";");
    }
    if (!missed.empty())
        line << " not converged within " << tolerancePx(cfg) << " px: " << missed << ";";
    return line.str();
}

namespace {

// Per-frame means of the frame call's two kinds of frames.
struct FrameCallMeans {
    bool havePlain, haveTrack;
    double plain, track, tracking;
    explicit FrameCallMeans(const StageTimes& t)
        : havePlain(t.plainFrames > 0),
          haveTrack(t.trackingFrames > 0),
          plain(havePlain ? t.framePlainMs / t.plainFrames : 0.0),
          track(haveTrack ? t.frameTrackingMs / t.trackingFrames : 0.0),
          // What a tracking frame call takes beyond the decode and
          // pre-processing that every frame call does.
          tracking(std::max(track - plain, 0.0)) {}
};

void jsonRun(std::ostream& j, const RigConfig& cfg, const RunInfo& run) {
    j << "  \"input\": " << jsonString(run.input) << ",\n";
    j << "  \"real_rig\": " << (run.realRig ? "true" : "false") << ",\n";
    j << "  \"frames\": " << run.frames << ",\n";
    j << "  \"wall_time_s\": " << ms(run.wallSeconds)
      << ", \"frames_per_second\": " << ms(run.frames / std::max(run.wallSeconds, 1e-9)) << ",\n";
    const bool lib = run.libraryMsPerFrame >= 0, cmp = run.comparisonSeconds >= 0;
    j << "  \"library_ms_per_frame\": " << ms(run.libraryMsPerFrame, lib)
      << ", \"library_frames_per_second\": "
      << ms(1000.0 / std::max(run.libraryMsPerFrame, 1e-6), lib)
      << ",\n  \"comparison_s\": " << ms(run.comparisonSeconds, cmp)
      << ", \"comparison_wait_s\": " << ms(run.comparisonWaitSeconds, cmp)
      << ", \"comparison_note\": " << jsonString(run.comparisonNote) << ",\n";
    j << "  \"frame_width_px\": " << run.frameWidth << ", \"columns_used\": [" << run.firstColumn
      << ", " << run.firstColumn + rigWidth(cfg) - 1 << "],\n";
}

void jsonRig(std::ostream& j, const RigConfig& cfg, const RunInfo& run) {
    const RenderConfig& r = cfg.render;
    j << "  \"rig\": {\"cameras\": " << cfg.cameras << ", \"camera_width_px\": " << cfg.camWidth
      << ", \"overlap_px\": " << cfg.overlap << ", \"cell\": [" << cfg.cellW << ", " << cfg.cellH
      << "], \"mask_blocks\": " << cfg.blocks << ", \"lut_grid\": " << cfg.lutGrid
      << ", \"tracking_period\": " << cfg.period << ", \"reset_mask\": " << int(cfg.resetMask)
      << ", \"mask_blocks_hold_seam\": " << int(cfg.maskBlocks)
      << ", \"weighted_history\": " << int(cfg.weightedHistory)
      << ", \"motion_aware\": " << int(cfg.motionAware)
      << ", \"motion_threshold\": " << cfg.motionThreshold
      << ", \"motion_levels\": " << int(cfg.motionLevels) << ", \"seam_blend\": " << cfg.seamBlend
      << ",\n          \"parallax_px\": " << r.parallaxPx << ", \"exposure_pct\": " << r.exposurePct
      << ", \"vignetting_pct\": " << r.vignettingPct << ", \"noise_sigma\": " << r.noiseSigma;
    if (!cfg.calibrationPx.empty()) {  // a real rig whose overlap was measured
        j << ",\n          \"calibration_px\": [";
        for (size_t i = 0; i < cfg.calibrationPx.size(); ++i)
            j << (i ? ", " : "") << cfg.calibrationPx[i];
        j << "]";
    }
    j << "},\n";
    j << "  \"parallax_reason\": "
      << (run.parallaxReason.empty() ? "null" : jsonString(run.parallaxReason)) << ",\n";
    j << "  \"tolerance_px\": " << tolerancePx(cfg) << ",\n";
}

void jsonFrameCalls(std::ostream& j, const StageTimes& t, const FrameCallMeans& m) {
    j << "  \"timing_method\": "
      << jsonString(
             "Means per frame. The frame call (zelvo_stitch_process) decodes the motion bitmaps "
             "and pre-processes every overlap on every frame, and adds feature tracking and "
             "shift stepping on tracking frames: decode_preprocess is the mean frame call on "
             "frames without tracking, tracking is the mean frame call on tracking frames minus "
             "that (null when the run had no frame of one kind, e.g. period 0 or 1). Both cover "
             "all overlaps; per overlap they are shown divided by the number of overlaps. seam "
             "(DynStitcher::process) and fusion_map_copy (copyTo_dre_fusion_map) are timed per "
             "overlap; host_running_map is the host's running fusion map (--seam-blend), not "
             "the library's. library_ms_per_frame is the frame call plus seam and copy of every "
             "overlap; comparison_s is the time the seam comparison's own thread measured.")
      << ",\n";
    j << "  \"frame_call_ms\": {\"tracking_frames\": " << t.trackingFrames
      << ", \"other_frames\": " << t.plainFrames
      << ", \"mean_tracking_frame\": " << ms(m.track, m.haveTrack)
      << ", \"mean_other_frame\": " << ms(m.plain, m.havePlain)
      << ", \"decode_preprocess\": " << ms(m.plain, m.havePlain)
      << ", \"tracking\": " << ms(m.tracking, m.havePlain && m.haveTrack) << "},\n";
}

// Overlap i: final shift against the truth (or how it settled on a real rig),
// every stretch of one truth, and the overlap's share of the timings.
void jsonOverlap(std::ostream& j, int i, const RigConfig& cfg, const RunInfo& run, const Track& tr,
                 const StageTimes& t, const FrameCallMeans& m, int overlaps) {
    const int frames = run.frames, last = frames - 1;
    const auto segs = analyse(tr, tolerancePx(cfg));
    j << "    {\"overlap\": " << i << ", \"schedule\": "
      << jsonString(cfg.misalign.size() > size_t(i) && !run.realRig ? cfg.misalign[i].str() : "")
      << ",\n";
    if (frames > 0 && run.realRig) {
        const Settle s = settle(tr, cfg.period);
        j << "     \"final_shift_px\": " << tr.shift[last]
          << ", \"settled\": " << (s.settled() ? "true" : "false")
          << ", \"unchanged_since_frame\": " << s.since
          << ", \"unchanged_tracking_frames\": " << s.trackingFrames << ",\n";
    } else if (frames > 0) {
        j << "     \"final_shift_px\": " << tr.shift[last]
          << ", \"final_true_px\": " << tr.truth[last]
          << ", \"final_error_px\": " << tr.shift[last] - tr.truth[last] << ",\n";
        const Segment& s = segs.back();
        j << "     \"frames_to_converge\": " << orNull(s.framesToConverge())
          << ", \"converged_at_frame\": " << orNull(s.settledAt) << ",\n";
    }
    const double r = lastResidual(tr);
    j << "     \"residual_px\": " << ms(r) << ", \"residual_mean_px\": " << ms(lateResidualMean(tr))
      << ", \"aligned\": " << (std::isfinite(r) ? (std::abs(r) < kAlignedPx ? "true" : "false") : "null")
      << ",\n";
    j << "     \"segments\": [";
    for (size_t k = 0; k < segs.size() && !run.realRig; ++k)
        j << (k ? ", " : "") << "{\"from_frame\": " << segs[k].from
          << ", \"to_frame\": " << segs[k].to << ", \"true_px\": " << segs[k].truth
          << ", \"error_at_end_px\": " << tr.shift[segs[k].to - 1] - segs[k].truth
          << ", \"frames_to_converge\": " << orNull(segs[k].framesToConverge())
          << ", \"converged_at_frame\": " << orNull(segs[k].settledAt) << "}";
    j << "],\n";
    const int per = std::max(overlaps, 1);
    j << "     \"timings_ms\": {\"decode_preprocess\": " << ms(m.plain / per, m.havePlain)
      << ", \"tracking\": " << ms(m.tracking / per, m.havePlain && m.haveTrack)
      << ", \"seam\": " << ms(frames ? t.seamMs[i] / frames : 0.0, frames > 0)
      << ", \"fusion_map_copy\": " << ms(frames ? t.copyMs[i] / frames : 0.0, frames > 0)
      << ", \"host_running_map\": " << ms(frames ? t.blendMs[i] / frames : 0.0, frames > 0) << "}}"
      << (i + 1 < overlaps ? "," : "") << "\n";
}

}  // namespace

double StageTimes::libraryMsPerFrame() const {
    const int frames = trackingFrames + plainFrames;
    double sum = frameTrackingMs + framePlainMs;
    for (size_t i = 0; i < seamMs.size(); ++i) sum += seamMs[i] + copyMs[i];
    return frames ? sum / frames : std::nan("");
}

void writeSummary(const std::string& path, const RigConfig& cfg, const RunInfo& run,
                  const std::vector<Track>& tracks, const StageTimes& t,
                  const std::string& quality) {
    const FrameCallMeans means(t);
    const int overlaps = int(tracks.size());
    std::ostringstream j;
    j << "{\n";
    jsonRun(j, cfg, run);
    jsonRig(j, cfg, run);
    jsonFrameCalls(j, t, means);
    j << "  \"overlaps\": [\n";
    for (int i = 0; i < overlaps; ++i) jsonOverlap(j, i, cfg, run, tracks[i], t, means, overlaps);
    j << "  ]";
    if (!quality.empty()) j << ",\n  \"seam_quality_means\": " << quality;
    j << "\n}\n";
    std::ofstream f(path);
    f << j.str();
    if (!f) throw OutputError("cannot write " + path);
}

}  // namespace zsim
