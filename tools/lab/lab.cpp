// Seam quality of the library's seam beside the peers': measuring a frame,
// and the lab's own thread; see lab.h.
#include "lab/lab.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <sstream>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

#include "rig/host_buffers.h"
#include "rig/rig.h"
#include "zelvo_stitch_host.h"

namespace zsim {

namespace {
const char* const kNames[kSeamMethods] = {"library", "middle", "voronoi", "dp", "graphcut"};
const double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr int kMotionBlock = zelvo_host::kMotionBlockPx;
}  // namespace

const char* methodName(int method) { return kNames[method]; }

std::string variantName(int method, bool running) {
    return std::string(kNames[method]) + (running ? "_running" : "");
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

}  // namespace zsim
