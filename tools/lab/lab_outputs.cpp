// What the lab writes: quality.csv, the means for summary.json, quality.png,
// seams.png, and the seam and band overlay of a panorama.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <sstream>

#include <opencv2/imgproc.hpp>

#include "io/output_error.h"
#include "lab/lab.h"
#include "rig/rig.h"

namespace zsim {

namespace {

const cv::Scalar kColours[kSeamMethods] = {
    {0, 0, 230}, {150, 150, 150}, {40, 170, 40}, {230, 120, 0}, {200, 40, 200}};
const double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string num(double v, int decimals = 3) {
    if (!std::isfinite(v)) return "";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

// Figures of the chart and the summary: name, unit, field.
struct Figure {
    const char* name;
    const char* unit;
    double QualityRow::*field;
    double scale;
};
const Figure kFigures[] = {
    {"seam cost", "grey levels", &QualityRow::cost, 1.0},
    {"mover cut", "% of rows", &QualityRow::cut, 100.0},
    {"jitter, all rows", "px / frame", &QualityRow::jitterAll, 1.0},
    {"jitter, rows without motion", "px / frame", &QualityRow::jitterStatic, 1.0},
    {"ghosting", "grey levels", &QualityRow::ghost, 1.0},
    {"edge step", "grey levels", &QualityRow::edge, 1.0},
    {"time per overlap", "ms / frame", &QualityRow::ms, 1.0},
};

}  // namespace

void SeamLab::writeCsv(const std::string& path) const {
    std::ofstream f(path);
    f << "frame,overlap,method,seam_cost,mover_cut,jitter_all,jitter_static,ghosting,edge_step,"
         "ms\n";
    for (const QualityRow& r : rows_)
        f << r.frame << "," << r.overlap << "," << variantName(r.method, r.running) << ","
          << num(r.cost) << "," << num(r.cut, 4) << "," << num(r.jitterAll) << ","
          << num(r.jitterStatic) << "," << num(r.ghost) << "," << num(r.edge) << "," << num(r.ms)
          << "\n";
    if (!f) throw OutputError("cannot write " + path);
}

std::vector<std::vector<double>> SeamLab::means() const {
    std::vector<std::vector<double>> sum(2 * kSeamMethods,
                                         std::vector<double>(std::size(kFigures), 0.0));
    auto count = sum;
    for (const QualityRow& r : rows_)
        for (size_t k = 0; k < std::size(kFigures); ++k) {
            const double v = r.*kFigures[k].field;
            if (!std::isfinite(v)) continue;
            const int variant = r.method + (r.running ? kSeamMethods : 0);
            sum[variant][k] += v * kFigures[k].scale;
            count[variant][k] += 1;
        }
    for (int m = 0; m < 2 * kSeamMethods; ++m)
        for (size_t k = 0; k < std::size(kFigures); ++k)
            sum[m][k] = count[m][k] > 0 ? sum[m][k] / count[m][k] : kNaN;
    return sum;
}

std::string SeamLab::summaryJson() const {
    static const char* const keys[] = {"seam_cost", "mover_cut_pct", "jitter_all", "jitter_static",
                                       "ghosting",  "edge_step",     "ms"};
    const auto mean = means();
    std::ostringstream j;
    j << "{";
    bool first = true;
    for (int v = 0; v < variants(); ++v) {
        if (!runs(v % kSeamMethods)) continue;
        j << (first ? "\n    " : ",\n    ") << "\""
          << variantName(v % kSeamMethods, v >= kSeamMethods) << "\": {";
        first = false;
        for (size_t k = 0; k < std::size(kFigures); ++k) {
            const std::string x = num(mean[v][k]);
            j << (k ? ", " : "") << "\"" << keys[k] << "\": " << (x.empty() ? "null" : x);
        }
        j << "}";
    }
    j << "\n  }";
    return j.str();
}

void SeamLab::drawChart(cv::Mat& out) const {
    // Seven figures in a 4 x 2 grid, the legend in the eighth cell. Per
    // method a pair of bars: its own map (solid) and through the host's
    // running map (pale, outlined).
    const int pw = 300, ph = 240, cols = 4;
    const int rowsN = int((std::size(kFigures) + cols) / cols);
    out.create(rowsN * ph, cols * pw, CV_8UC3);
    out.setTo(cv::Scalar::all(255));
    const auto font = cv::FONT_HERSHEY_SIMPLEX;
    const cv::Scalar axis(60, 60, 60), grid(225, 225, 225);
    const auto pale = [](const cv::Scalar& c) { return c * 0.35 + cv::Scalar::all(255 * 0.65); };
    const int pairs = blend_ > 0 ? 2 : 1;
    const auto mean = means();
    for (size_t k = 0; k < std::size(kFigures); ++k) {
        const int ox = int(k % cols) * pw, oy = int(k / cols) * ph;
        const int L = ox + 52, R = ox + pw - 14, T = oy + 40, B = oy + ph - 22;
        double hi = 0;
        for (int v = 0; v < variants(); ++v)
            if (std::isfinite(mean[v][k])) hi = std::max(hi, mean[v][k]);
        if (hi <= 0) hi = 1;  // all zero or none: an axis of 0-1
        // Axis up to a round number: 1, 2 or 5 times a power of ten.
        double step = std::pow(10.0, std::floor(std::log10(std::max(hi, 1e-3) / 4)));
        for (double f : {1.0, 2.0, 5.0, 10.0})
            if (hi / (step * f) <= 5) {
                step *= f;
                break;
            }
        const double top = std::max(step, std::ceil(hi / step) * step);
        cv::putText(out, std::string(kFigures[k].name) + ", " + kFigures[k].unit,
                    {ox + 10, oy + 22}, font, 0.45, axis, 1, cv::LINE_AA);
        for (double v = 0; v <= top + step / 2; v += step) {
            const int y = B - int(std::lround(v / top * (B - T)));
            cv::line(out, {L, y}, {R, y}, grid, 1);
            cv::putText(out, num(v, step < 1 ? (step < 0.1 ? 2 : 1) : 0), {ox + 6, y + 4}, font,
                        0.38, axis, 1, cv::LINE_AA);
        }
        const int gw = (R - L) / kSeamMethods, bw = (gw - 8) / pairs;
        for (int v = 0; v < variants(); ++v) {
            if (!std::isfinite(mean[v][k])) continue;
            const int m = v % kSeamMethods, x = L + m * gw + 4 + (v / kSeamMethods) * bw;
            const int y = B - int(std::lround(mean[v][k] / top * (B - T)));
            const bool running = v >= kSeamMethods;
            cv::rectangle(out, {x + 1, y}, {x + bw - 1, B},
                          running ? pale(kColours[m]) : kColours[m], cv::FILLED);
            if (running) cv::rectangle(out, {x + 1, y}, {x + bw - 1, B}, kColours[m], 1);
        }
        cv::rectangle(out, {L, T}, {R, B}, axis, 1);
    }
    // Legend.
    const int lx = int(std::size(kFigures) % cols) * pw + 14,
              ly = int(std::size(kFigures) / cols) * ph + 26;
    cv::putText(out, "means over all frames and overlaps", {lx, ly}, font, 0.45, axis, 1,
                cv::LINE_AA);
    for (int m = 0; m < kSeamMethods; ++m) {
        const int y = ly + 24 + 20 * m;
        cv::rectangle(out, {lx, y - 12}, {lx + 14, y + 2}, kColours[m], cv::FILLED);
        if (pairs > 1) {
            cv::rectangle(out, {lx + 16, y - 12}, {lx + 30, y + 2}, pale(kColours[m]), cv::FILLED);
            cv::rectangle(out, {lx + 16, y - 12}, {lx + 30, y + 2}, kColours[m], 1);
        }
        cv::putText(out, std::string(methodName(m)) + (runs(m) ? "" : " (not run)"), {lx + 38, y},
                    font, 0.45, axis, 1, cv::LINE_AA);
    }
    char a[32];
    std::snprintf(a, sizeof a, "%g", blend_);
    const std::string notes[] = {"solid: the method's own map", "pale: through the host's",
                                 std::string("running map, A = ") + a};
    for (int i = 0; i < (pairs > 1 ? 3 : 1); ++i)
        cv::putText(out, notes[i], {lx, ly + 136 + 18 * i}, font, 0.42, axis, 1, cv::LINE_AA);
}

void SeamLab::drawSeams(const Rig& rig, cv::Mat& out) const {
    const int o = overlap_, h = rig.panorama().rows, n = rig.overlaps(), gap = 16, top = 30;
    const auto font = cv::FONT_HERSHEY_SIMPLEX;
    const cv::Scalar axis(60, 60, 60);
    // Each overlap in a column at least as wide as its title.
    auto title = [&](int i) {
        return "overlap " + std::to_string(i) + " (x: 0-" + std::to_string(o - 1) + " px)";
    };
    int baseline = 0;
    const int col = std::max(o, cv::getTextSize(title(n - 1), font, 0.45, 1, &baseline).width);
    out.create(top + h + 86, std::max(n * col + (n + 1) * gap, 380), CV_8UC3);
    out.setTo(cv::Scalar::all(255));
    for (int i = 0; i < n; ++i) {
        const int ox = gap + i * (col + gap);
        cv::Mat dst = out(cv::Rect(ox, top, o, h));
        rig.panorama().colRange((i + 1) * (camW_ - o), (i + 1) * (camW_ - o) + o).copyTo(dst);
        const int run = blend_ > 0 ? kSeamMethods : 0;  // what the host blends with
        const cv::Mat& fusion = maps_[i][kLibrary + run];
        const cv::Mat& mL = rig.moverMasks()[i];
        const cv::Mat& mR = rig.moverMasks()[i + 1];
        for (int y = 0; y < h; ++y) {
            cv::Vec3b* p = dst.ptr<cv::Vec3b>(y);
            const uint8_t* f = fusion.ptr<uint8_t>(y);
            const uint8_t* l = mL.ptr<uint8_t>(y) + camW_ - o;
            const uint8_t* r = mR.ptr<uint8_t>(y);
            for (int x = 0; x < o; ++x) {
                if (l[x] || r[x]) p[x] = p[x] - p[x] / 3 + cv::Vec3b(80, 0, 80);  // movers
                if (f[x] >= 26 && f[x] <= 229) p[x] = p[x] - p[x] / 3 + cv::Vec3b(60, 60, 0);
            }
        }
        for (int m = kSeamMethods - 1; m >= 0; --m) {
            if (maps_[i][m + run].empty()) continue;
            const std::vector<int> seam = seamColumns(maps_[i][m + run]);
            std::vector<cv::Point> line(h);
            for (int y = 0; y < h; ++y) line[y] = {ox + std::min(seam[y], o - 1), top + y};
            cv::polylines(out, line, false, kColours[m], m == kLibrary ? 2 : 1);
        }
        cv::putText(out, title(i), {ox, 20}, font, 0.45, axis, 1, cv::LINE_AA);
    }
    const int ly = top + h + 22;
    for (int m = 0; m < kSeamMethods; ++m) {
        const int lx = gap + (m % 3) * 120, y = ly + (m / 3) * 20;
        cv::line(out, {lx, y - 4}, {lx + 16, y - 4}, kColours[m], 2);
        cv::putText(out, methodName(m), {lx + 22, y}, font, 0.4, axis, 1, cv::LINE_AA);
    }
    cv::putText(out, "cyan: library blend 10-90 %, purple: movers", {gap, ly + 40}, font, 0.4, axis,
                1, cv::LINE_AA);
    if (blend_ > 0)
        cv::putText(out, "every seam through the host's running map", {gap, ly + 58}, font, 0.4,
                    axis, 1, cv::LINE_AA);
}

void drawSeamBand(const std::vector<cv::Mat>& fusion, int camWidth, int overlap, cv::Mat& pano) {
    const cv::Vec3b red(0, 0, 255), band(0, 70, 70);  // band: yellow tint
    for (size_t i = 0; i < fusion.size(); ++i) {
        const int ox = int(i + 1) * (camWidth - overlap);
        const std::vector<int> seam = seamColumns(fusion[i]);
        for (int y = 0; y < fusion[i].rows; ++y) {
            const uint8_t* f = fusion[i].ptr<uint8_t>(y);
            cv::Vec3b* p = pano.ptr<cv::Vec3b>(y) + ox;
            for (int x = 0; x < overlap; ++x)
                if (f[x] >= 26 && f[x] <= 229) p[x] = p[x] - p[x] / 3 + band;
            if (seam[y] < overlap) {
                p[seam[y]] = red;
                if (seam[y] > 0) p[seam[y] - 1] = red;
            }
        }
    }
}

}  // namespace zsim
