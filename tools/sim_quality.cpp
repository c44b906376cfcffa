// Seam quality of the library's seam beside the peers' (see sim_quality.h).
#include "sim_quality.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <sstream>
#include <stdexcept>

#include <opencv2/imgproc.hpp>
#include <opencv2/stitching/detail/seam_finders.hpp>

#include "sim_host.h"

namespace zsim {

namespace {
const char* const kNames[kSeamMethods] = {"library", "middle", "voronoi", "dp", "graphcut"};
const cv::Scalar kColours[kSeamMethods] = {
    {0, 0, 230}, {150, 150, 150}, {40, 170, 40}, {230, 120, 0}, {200, 40, 200}};
const double kNaN = std::numeric_limits<double>::quiet_NaN();
}  // namespace

const char* methodName(int method) { return kNames[method]; }

// ---- metrics ---------------------------------------------------------------

std::vector<int> seamColumns(const cv::Mat& fusion) {
    CV_Assert(fusion.type() == CV_8UC1);
    std::vector<int> seam(fusion.rows);
    for (int y = 0; y < fusion.rows; ++y) {
        const uint8_t* f = fusion.ptr<uint8_t>(y);
        seam[y] = int(std::find_if(f, f + fusion.cols, [](uint8_t v) { return v < 128; }) - f);
    }
    return seam;
}

double seamCost(const std::vector<int>& seam, const cv::Mat& left, const cv::Mat& right) {
    double sum = 0;
    for (int y = 0; y < left.rows; ++y) {
        const int x = std::min(seam[y], left.cols - 1);
        sum += std::abs(int(left.ptr<uint8_t>(y)[x]) - int(right.ptr<uint8_t>(y)[x]));
    }
    return left.rows ? sum / left.rows : 0.0;
}

double moverCut(const std::vector<int>& seam, const cv::Mat& moversL, const cv::Mat& moversR) {
    int cut = 0;
    for (int y = 0; y < moversL.rows; ++y) {
        const int x = std::min(seam[y], moversL.cols - 1);
        cut += moversL.ptr<uint8_t>(y)[x] || moversR.ptr<uint8_t>(y)[x];
    }
    return moversL.rows ? double(cut) / moversL.rows : 0.0;
}

double seamJitter(const std::vector<int>& seam, const std::vector<int>& prev,
                  const std::vector<uint8_t>& use) {
    if (prev.size() != seam.size()) return kNaN;
    long long sum = 0, n = 0;
    for (size_t y = 0; y < seam.size(); ++y)
        if (use[y]) {
            sum += std::abs(seam[y] - prev[y]);
            ++n;
        }
    return n ? double(sum) / double(n) : kNaN;
}

double ghosting(const cv::Mat& fusion, const cv::Mat& left, const cv::Mat& right) {
    double sum = 0;
    for (int y = 0; y < fusion.rows; ++y) {
        const uint8_t* f = fusion.ptr<uint8_t>(y);
        const uint8_t* l = left.ptr<uint8_t>(y);
        const uint8_t* r = right.ptr<uint8_t>(y);
        long long row = 0;
        for (int x = 0; x < fusion.cols; ++x)
            row += (long long)f[x] * (255 - f[x]) * std::abs(int(l[x]) - int(r[x]));
        sum += double(row);
    }
    return fusion.total() ? sum / (255.0 * 255.0) / double(fusion.total()) : 0.0;
}

// ---- peers -----------------------------------------------------------------

// Each finder gets the two strips widened by up to half an overlap on their
// outer side (the rest of each camera image), placed so that they overlap
// exactly on the strips: it searches the region the library's flood works on.
PeerSeams::PeerSeams(int camWidth, int overlap, int height, int cellW, int cellH)
    : camW_(camWidth),
      overlap_(overlap),
      height_(height),
      cols_(overlap / cellW),
      rows_(height / cellH) {
    margin_ = std::min(cols_ / 2, (camWidth - overlap) / cellW);
}

void PeerSeams::find(int method, const cv::Mat& leftCam, const cv::Mat& rightCam, cv::Mat& fusion) {
    cv::Mat grid(rows_, cols_, CV_8UC1, cv::Scalar(0));
    if (method == kMiddle) {
        grid.colRange(0, cols_ / 2).setTo(255);
    } else {
        const int cell = overlap_ / cols_, wide = overlap_ + margin_ * cell;
        const cv::Mat src[2] = {leftCam.colRange(camW_ - wide, camW_), rightCam.colRange(0, wide)};
        std::vector<cv::UMat> imgs(2), masks(2);
        for (int i = 0; i < 2; ++i) {
            cv::Mat small, f32;
            cv::resize(src[i], small, cv::Size(cols_ + margin_, rows_), 0, 0, cv::INTER_NEAREST);
            small.convertTo(f32, CV_32FC3);
            f32.copyTo(imgs[i]);
            masks[i].create(small.size(), CV_8UC1);
            masks[i].setTo(cv::Scalar(255));
        }
        cv::Ptr<cv::detail::SeamFinder> finder;
        if (method == kVoronoi) finder = cv::makePtr<cv::detail::VoronoiSeamFinder>();
        if (method == kDp)
            finder = cv::makePtr<cv::detail::DpSeamFinder>(cv::detail::DpSeamFinder::COLOR_GRAD);
        if (method == kGraphCut)
            finder = cv::makePtr<cv::detail::GraphCutSeamFinder>(
                cv::detail::GraphCutSeamFinderBase::COST_COLOR_GRAD);
        CV_Assert(finder);
        finder->find(imgs, {{0, 0}, {margin_, 0}}, masks);
        masks[0].getMat(cv::ACCESS_READ).colRange(margin_, margin_ + cols_).copyTo(grid);
    }
    cv::resize(grid, fusion, cv::Size(overlap_, height_), 0, 0, cv::INTER_LINEAR);
}

// ---- the lab ---------------------------------------------------------------

SeamLab::SeamLab(const RigConfig& cfg, int height)
    : camW_(cfg.camWidth),
      overlap_(cfg.overlap),
      peers_(cfg.camWidth, cfg.overlap, height, cfg.cellW, cfg.cellH),
      seams_(cfg.cameras - 1, std::vector<std::vector<int>>(kSeamMethods)),
      maps_(cfg.cameras - 1, std::vector<cv::Mat>(kSeamMethods)) {}

void SeamLab::measure(const Rig& rig, int frame) {
    const int w = camW_, o = overlap_;
    const auto& grey = rig.greyCameras();
    const auto& movers = rig.moverMasks();
    const int h = grey[0].rows;
    for (int i = 0; i < rig.overlaps(); ++i) {
        const cv::Mat left = grey[i].colRange(w - o, w), right = grey[i + 1].colRange(0, o);
        const cv::Mat mL = movers[i].colRange(w - o, w), mR = movers[i + 1].colRange(0, o);
        // Rows without motion in either camera's map over the overlap's blocks.
        const cv::Mat ml = rig.motionMap(i), mr = rig.motionMap(i + 1);
        const cv::Mat mdL = ml.colRange((w - o) / kMotionBlock, ml.cols);
        const cv::Mat mdR = mr.colRange(0, (o - 1) / kMotionBlock + 1);
        std::vector<uint8_t> all(h, 1), still(h);
        for (int y = 0; y < h; ++y)
            still[y] = cv::countNonZero(mdL.row(y / kMotionBlock)) == 0 &&
                       cv::countNonZero(mdR.row(y / kMotionBlock)) == 0;
        for (int m = 0; m < kSeamMethods; ++m) {
            cv::Mat& peerMap = maps_[i][m];
            double ms = rig.lastSeamMs(i);
            if (m != kLibrary) {
                const auto t0 = std::chrono::steady_clock::now();
                peers_.find(m, rig.cameras()[i], rig.cameras()[i + 1], peerMap);
                ms =
                    std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                        .count();
            }
            if (m == kLibrary) rig.seamMaps()[i].copyTo(peerMap);
            const cv::Mat& fusion = peerMap;
            const std::vector<int> seam = seamColumns(fusion);
            std::vector<int>& prev = seams_[i][m];
            rows_.push_back({frame, i, m, seamCost(seam, left, right), moverCut(seam, mL, mR),
                             seamJitter(seam, prev, all), seamJitter(seam, prev, still),
                             ghosting(fusion, left, right), ms});
            prev = seam;
        }
    }
}

// ---- outputs ---------------------------------------------------------------

namespace {

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
    {"time per overlap", "ms / frame", &QualityRow::ms, 1.0},
};

}  // namespace

void SeamLab::writeCsv(const std::string& path) const {
    std::ofstream f(path);
    f << "frame,overlap,method,seam_cost,mover_cut,jitter_all,jitter_static,ghosting,ms\n";
    for (const QualityRow& r : rows_)
        f << r.frame << "," << r.overlap << "," << kNames[r.method] << "," << num(r.cost) << ","
          << num(r.cut, 4) << "," << num(r.jitterAll) << "," << num(r.jitterStatic) << ","
          << num(r.ghost) << "," << num(r.ms) << "\n";
    if (!f) throw OutputError("cannot write " + path);
}

std::vector<std::vector<double>> SeamLab::means() const {
    std::vector<std::vector<double>> sum(kSeamMethods,
                                         std::vector<double>(std::size(kFigures), 0.0));
    auto count = sum;
    for (const QualityRow& r : rows_)
        for (size_t k = 0; k < std::size(kFigures); ++k) {
            const double v = r.*kFigures[k].field;
            if (!std::isfinite(v)) continue;
            sum[r.method][k] += v * kFigures[k].scale;
            count[r.method][k] += 1;
        }
    for (int m = 0; m < kSeamMethods; ++m)
        for (size_t k = 0; k < std::size(kFigures); ++k)
            sum[m][k] = count[m][k] > 0 ? sum[m][k] / count[m][k] : kNaN;
    return sum;
}

std::string SeamLab::summaryJson() const {
    static const char* const keys[] = {"seam_cost",     "mover_cut_pct", "jitter_all",
                                       "jitter_static", "ghosting",      "ms"};
    const auto mean = means();
    std::ostringstream j;
    j << "{";
    for (int m = 0; m < kSeamMethods; ++m) {
        j << (m ? ",\n    " : "\n    ") << "\"" << kNames[m] << "\": {";
        for (size_t k = 0; k < std::size(kFigures); ++k) {
            const std::string v = num(mean[m][k]);
            j << (k ? ", " : "") << "\"" << keys[k] << "\": " << (v.empty() ? "null" : v);
        }
        j << "}";
    }
    j << "\n  }";
    return j.str();
}

void SeamLab::drawChart(cv::Mat& out) const {
    const int pw = 300, ph = 230, cols = 3, legendH = 50;
    const int rowsN = int((std::size(kFigures) + cols - 1) / cols);
    out.create(rowsN * ph + legendH, cols * pw, CV_8UC3);
    out.setTo(cv::Scalar::all(255));
    const auto font = cv::FONT_HERSHEY_SIMPLEX;
    const cv::Scalar axis(60, 60, 60), grid(225, 225, 225);
    const auto mean = means();
    for (size_t k = 0; k < std::size(kFigures); ++k) {
        const int ox = int(k % cols) * pw, oy = int(k / cols) * ph;
        const int L = ox + 52, R = ox + pw - 14, T = oy + 40, B = oy + ph - 22;
        double hi = 0;
        for (int m = 0; m < kSeamMethods; ++m)
            if (std::isfinite(mean[m][k])) hi = std::max(hi, mean[m][k]);
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
        const int bw = (R - L) / kSeamMethods;
        for (int m = 0; m < kSeamMethods; ++m) {
            if (!std::isfinite(mean[m][k])) continue;
            const int y = B - int(std::lround(mean[m][k] / top * (B - T)));
            cv::rectangle(out, {L + m * bw + 6, y}, {L + (m + 1) * bw - 6, B}, kColours[m],
                          cv::FILLED);
        }
        cv::rectangle(out, {L, T}, {R, B}, axis, 1);
    }
    const int ly = rowsN * ph + 28;
    cv::putText(out, "means over all frames and overlaps:", {10, ly}, font, 0.45, axis, 1,
                cv::LINE_AA);
    for (int m = 0; m < kSeamMethods; ++m) {
        const int lx = 300 + m * 120;
        cv::rectangle(out, {lx, ly - 12}, {lx + 16, ly + 2}, kColours[m], cv::FILLED);
        cv::putText(out, kNames[m], {lx + 22, ly}, font, 0.45, axis, 1, cv::LINE_AA);
    }
}

void SeamLab::drawSeams(const Rig& rig, cv::Mat& out) const {
    const int o = overlap_, h = rig.panorama().rows, n = rig.overlaps(), gap = 16, top = 30;
    out.create(top + h + 70, std::max(n * o + (n + 1) * gap, 380), CV_8UC3);
    out.setTo(cv::Scalar::all(255));
    const auto font = cv::FONT_HERSHEY_SIMPLEX;
    const cv::Scalar axis(60, 60, 60);
    for (int i = 0; i < n; ++i) {
        const int ox = gap + i * (o + gap);
        cv::Mat dst = out(cv::Rect(ox, top, o, h));
        rig.panorama().colRange((i + 1) * (camW_ - o), (i + 1) * (camW_ - o) + o).copyTo(dst);
        const cv::Mat& fusion = maps_[i][kLibrary];
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
            const std::vector<int> seam = seamColumns(maps_[i][m]);
            std::vector<cv::Point> line(h);
            for (int y = 0; y < h; ++y) line[y] = {ox + std::min(seam[y], o - 1), top + y};
            cv::polylines(out, line, false, kColours[m], m == kLibrary ? 2 : 1);
        }
        cv::putText(out,
                    "overlap " + std::to_string(i) + " (x: 0-" + std::to_string(o - 1) + " px)",
                    {ox, 20}, font, 0.45, axis, 1, cv::LINE_AA);
    }
    const int ly = top + h + 22;
    for (int m = 0; m < kSeamMethods; ++m) {
        const int lx = gap + (m % 3) * 120, y = ly + (m / 3) * 20;
        cv::line(out, {lx, y - 4}, {lx + 16, y - 4}, kColours[m], 2);
        cv::putText(out, kNames[m], {lx + 22, y}, font, 0.4, axis, 1, cv::LINE_AA);
    }
    cv::putText(out, "cyan: library blend 10-90 %, purple: movers", {gap, ly + 40}, font, 0.4, axis,
                1, cv::LINE_AA);
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
