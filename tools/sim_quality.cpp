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
#include "sim_render.h"

namespace zsim {

namespace {
const char* const kNames[kSeamMethods] = {"library", "middle", "voronoi", "dp", "graphcut"};
const cv::Scalar kColours[kSeamMethods] = {
    {0, 0, 230}, {150, 150, 150}, {40, 170, 40}, {230, 120, 0}, {200, 40, 200}};
const double kNaN = std::numeric_limits<double>::quiet_NaN();
}  // namespace

const char* methodName(int method) { return kNames[method]; }

std::string variantName(int method, bool running) {
    return std::string(kNames[method]) + (running ? "_running" : "");
}

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

double edgeStep(const cv::Mat& fusion, const cv::Mat& left, const cv::Mat& right) {
    if (fusion.empty()) return 0.0;
    const int last = fusion.cols - 1;
    double sum = 0;
    for (int y = 0; y < fusion.rows; ++y) {
        const uint8_t* f = fusion.ptr<uint8_t>(y);
        const uint8_t* l = left.ptr<uint8_t>(y);
        const uint8_t* r = right.ptr<uint8_t>(y);
        sum += (255 - f[0]) * std::abs(int(l[0]) - int(r[0])) +
               f[last] * std::abs(int(l[last]) - int(r[last]));
    }
    return sum / 255.0 / fusion.rows;
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

LabFrame labFrame(const Rig& rig, int frame) {
    LabFrame f;
    f.frame = frame;
    auto copy = [](const std::vector<cv::Mat>& src, std::vector<cv::Mat>& dst) {
        for (const cv::Mat& m : src) dst.push_back(m.clone());
    };
    copy(rig.cameras(), f.colour);
    copy(rig.greyCameras(), f.grey);
    copy(rig.moverMasks(), f.movers);
    copy(rig.fusionMaps(), f.fusion);
    for (int k = 0; k < rig.config().cameras; ++k) f.motion.push_back(rig.motionMap(k).clone());
    for (int i = 0; i < rig.overlaps(); ++i) f.seamMs.push_back(rig.lastSeamMs(i));
    return f;
}

SeamLab::SeamLab(const RigConfig& cfg, int height, bool graphCut, bool moversKnown)
    : camW_(cfg.camWidth),
      overlap_(cfg.overlap),
      blend_(cfg.seamBlend),
      graphCut_(graphCut),
      moversKnown_(moversKnown),
      peers_(cfg.camWidth, cfg.overlap, height, cfg.cellW, cfg.cellH),
      seams_(cfg.cameras - 1, std::vector<std::vector<int>>(2 * kSeamMethods)),
      maps_(cfg.cameras - 1, std::vector<cv::Mat>(2 * kSeamMethods)),
      runningQ8_(cfg.cameras - 1, std::vector<cv::Mat>(kSeamMethods)) {}

namespace {
double msSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}
}  // namespace

void SeamLab::measure(const LabFrame& fr) {
    const int w = camW_, o = overlap_;
    const int h = fr.grey[0].rows;
    for (size_t i = 0; i < fr.fusion.size(); ++i) {
        const cv::Mat left = fr.grey[i].colRange(w - o, w), right = fr.grey[i + 1].colRange(0, o);
        const cv::Mat mL = fr.movers[i].colRange(w - o, w), mR = fr.movers[i + 1].colRange(0, o);
        // Rows without motion in either camera's map over the overlap's blocks.
        const cv::Mat& ml = fr.motion[i];
        const cv::Mat mdL = ml.colRange((w - o) / kMotionBlock, ml.cols);
        const cv::Mat mdR = fr.motion[i + 1].colRange(0, (o - 1) / kMotionBlock + 1);
        std::vector<uint8_t> all(h, 1), still(h);
        for (int y = 0; y < h; ++y)
            still[y] = cv::countNonZero(mdL.row(y / kMotionBlock)) == 0 &&
                       cv::countNonZero(mdR.row(y / kMotionBlock)) == 0;
        for (int m = 0; m < kSeamMethods; ++m) {
            if (!runs(m)) continue;
            double ms = fr.seamMs[i];
            auto t0 = std::chrono::steady_clock::now();
            if (m == kLibrary)
                fr.fusion[i].copyTo(maps_[i][m]);
            else {
                peers_.find(m, fr.colour[i], fr.colour[i + 1], maps_[i][m]);
                ms = msSince(t0);
            }
            for (int running = 0; running < (blend_ > 0 ? 2 : 1); ++running) {
                const int v = m + running * kSeamMethods;
                if (running) {  // the same host treatment for every method
                    t0 = std::chrono::steady_clock::now();
                    blendFusion(maps_[i][m], blend_, runningQ8_[i][m], maps_[i][v]);
                    ms += msSince(t0);
                }
                const cv::Mat& fusion = maps_[i][v];
                const std::vector<int> seam = seamColumns(fusion);
                std::vector<int>& prev = seams_[i][v];
                rows_.push_back({fr.frame, int(i), m, running != 0, seamCost(seam, left, right),
                                 moversKnown_ ? moverCut(seam, mL, mR) : kNaN,
                                 seamJitter(seam, prev, all), seamJitter(seam, prev, still),
                                 ghosting(fusion, left, right), edgeStep(fusion, left, right), ms});
                prev = seam;
            }
        }
    }
}

// ---- the lab's thread --------------------------------------------------------

LabThread::LabThread(SeamLab& lab, size_t maxWaiting)
    : lab_(lab), maxWaiting_(std::max<size_t>(maxWaiting, 1)), thread_([this] { run(); }) {}

LabThread::~LabThread() {
    try {
        finish();
    } catch (...) {  // reported by finish() to whoever called it
    }
}

void LabThread::push(LabFrame f) {
    const auto t0 = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait(lock, [this] { return queue_.size() < maxWaiting_ || error_ || done_; });
    waited_ += msSince(t0) / 1000.0;
    if (error_ || done_) return;  // finish() reports the failure
    queue_.push_back(std::move(f));
    cv_.notify_all();
}

void LabThread::finish() {
    const auto t0 = std::chrono::steady_clock::now();
    {
        std::unique_lock<std::mutex> lock(m_);
        cv_.wait(lock, [this] { return (queue_.empty() && !busyNow_) || error_; });
        done_ = true;
        cv_.notify_all();
    }
    if (thread_.joinable()) {
        thread_.join();
        waited_ += msSince(t0) / 1000.0;
    }
    if (error_) std::rethrow_exception(error_);
}

void LabThread::run() {
    for (;;) {
        LabFrame f;
        {
            std::unique_lock<std::mutex> lock(m_);
            cv_.wait(lock, [this] { return !queue_.empty() || done_; });
            if (queue_.empty()) return;
            f = std::move(queue_.front());
            queue_.pop_front();
            busyNow_ = true;
        }
        const auto t0 = std::chrono::steady_clock::now();
        std::exception_ptr err;
        try {
            lab_.measure(f);
        } catch (...) {
            err = std::current_exception();
        }
        std::lock_guard<std::mutex> lock(m_);
        busy_ += msSince(t0) / 1000.0;
        busyNow_ = false;
        if (err) {
            error_ = err;
            queue_.clear();
        }
        cv_.notify_all();
        if (err) return;
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
        cv::putText(out, std::string(kNames[m]) + (runs(m) ? "" : " (not run)"), {lx + 38, y}, font,
                    0.45, axis, 1, cv::LINE_AA);
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
    out.create(top + h + 86, std::max(n * o + (n + 1) * gap, 380), CV_8UC3);
    out.setTo(cv::Scalar::all(255));
    const auto font = cv::FONT_HERSHEY_SIMPLEX;
    const cv::Scalar axis(60, 60, 60);
    for (int i = 0; i < n; ++i) {
        const int ox = gap + i * (o + gap);
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
