// shift.png: the shift written against the true misalignment, and the
// residual measured from the images in a second panel.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include <opencv2/imgproc.hpp>

#include "io/results.h"

namespace zsim {

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

}  // namespace zsim
