// summary.json and the summary line of a run.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "align/align.h"
#include "io/results.h"

namespace zsim {

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
                 << (!aligned      ? "shift unchanged since frame "
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
      << ", \"aligned\": "
      << (std::isfinite(r) ? (std::abs(r) < kAlignedPx ? "true" : "false") : "null") << ",\n";
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
