// The simulated rig: the host's calling order around the library; see rig.h.
#include "rig/rig.h"

#include <chrono>
#include <cmath>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

#include "align/align.h"
#include "rig/host_buffers.h"
#include "rig/library_host.h"
#include "zelvo_stitch_host.h"

namespace zsim {

namespace {
int motionBlocks(int pixels) { return int(zelvo_host::md_blocks(unsigned(pixels))); }
double msSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}
}  // namespace

Rig::Rig(const RigConfig& cfg, int frameW, int frameH)
    : cfg_(cfg), frameW_(frameW), frameH_(frameH) {
    const std::string why = checkRig(cfg, frameW, frameH);
    if (!why.empty()) throw std::invalid_argument(why);
    originX_ = rigOrigin(cfg, frameW);
    cfg_.misalign.resize(cfg.cameras - 1);
    allocateHostBuffers();
    library_ = std::make_unique<Stitchers>(cfg_, frameH_, luts_, fusionBuf_);
    fillRecord(cfg_, frameH_, strip_, info_);
}

// Everything a device host holds per camera and per overlap, sized once.
void Rig::allocateHostBuffers() {
    const int n = cfg_.cameras, w = cfg_.camWidth, o = cfg_.overlap, h = frameH_;
    const int bx = motionBlocks(w), by = motionBlocks(h);
    luts_.resize(n);
    for (auto& l : luts_) buildLut(w, h, cfg_.lutGrid, l);
    fusionBuf_.assign(n - 1, std::vector<uint8_t>(zelvo_host::fusion_map_bytes(h, o), 0));
    for (auto& b : fusionBuf_) fusion_.emplace_back(h, o, CV_8UC1, b.data());
    for (int k = 0; k < n; ++k) {
        colour_.emplace_back(h, w, CV_8UC3, cv::Scalar::all(0));
        grey_.emplace_back(h, w, CV_8UC1, cv::Scalar(0));
        sensor_.emplace_back(h, w, CV_8UC1, cv::Scalar(0));
        prevSensor_.emplace_back(h, w, CV_8UC1, cv::Scalar(0));
        blocks_.emplace_back(by, bx, CV_8UC1, cv::Scalar(0));
        bitmaps_.emplace_back(zelvo_host::md_bitmap_bytes(unsigned(w), unsigned(h)), 0);
        movers_.emplace_back(h, w, CV_8UC1, cv::Scalar(0));
        sensors_.emplace_back(cfg_.render, k, n, w, h);
    }
    fillStripBuffer(grey_, o, strip_);  // sized once: its address is in the record
    shifts_.assign(n - 1, 0);
    cutShifts_.assign(n - 1, 0);
    sensorX_.assign(n, 0);
    truths_.assign(n - 1, 0);
    times_.seamMs.assign(n - 1, 0.0);
    times_.copyMs.assign(n - 1, 0.0);
    times_.blendMs.assign(n - 1, 0.0);
    lastSeamMs_.assign(n - 1, 0.0);
    hostFusion_.resize(n - 1);  // the host's running maps, filled on first use
    runningQ8_.resize(n - 1);
}

Rig::~Rig() = default;

DynStitcher* Rig::stitcher(int i) const { return library_->list()[size_t(i)]; }

void Rig::play(const cv::Mat& frame, int frameIndex) {
    CV_Assert(frame.type() == CV_8UC3 && frame.cols == frameW_ && frame.rows == frameH_);
    const int n = cfg_.cameras, w = cfg_.camWidth, o = cfg_.overlap;

    // Camera k looks at scene column originX_ + k (w - o), displaced by the
    // misalignments of the overlaps on its left (what its sensor sees); the
    // host's warp then samples it moved by the shifts the library wrote, so
    // overlap i shows a residual displacement of truth - shift.
    cv::cvtColor(frame, frameGrey_, cv::COLOR_BGR2GRAY);
    if (background_.empty()) {
        frameMovers_.create(frame.size(), CV_8UC1);  // allocated once, then reused
        frameMovers_.setTo(0);
    } else
        moverMask(frame, background_, frameMovers_);
    const bool realistic = cfg_.render.any();
    int sensorOff = 0, warpOff = 0;
    for (int k = 0; k < n; ++k) {
        if (k > 0) {
            truths_[k - 1] = cfg_.misalign[k - 1].at(frameIndex);
            sensorOff -= truths_[k - 1];
            warpOff += shifts_[k - 1] - truths_[k - 1];
        }
        const int x = originX_ + k * (w - o);
        sensorX_[k] = warpOff - sensorOff;
        if (realistic) {
            renderCamera(frame, k, x + warpOff, x + sensorOff, frameIndex);
        } else {
            cutCamera(frame, x + warpOff, w, colour_[k]);
            cutCamera(frameGrey_, x + warpOff, w, grey_[k]);
            cutCamera(frameGrey_, x + sensorOff, w, sensor_[k]);
            cutCamera(frameMovers_, x + warpOff, w, movers_[k]);
        }
    }
    runLibrary();
}

void Rig::playCameras(const std::vector<cv::Mat>& cams) {
    CV_Assert(int(cams.size()) == cfg_.cameras);
    // Real cameras: the sensor is the camera image itself, and the host's warp
    // samples camera k moved by the shifts of the overlaps on its left (edge
    // columns repeated where it runs out of image). There is no ground truth
    // of movers: the masks stay empty.
    int warpOff = 0;
    for (int k = 0; k < cfg_.cameras; ++k) {
        CV_Assert(cams[k].type() == CV_8UC3 && cams[k].cols == cfg_.camWidth &&
                  cams[k].rows == frameH_);
        if (k > 0)
            warpOff += shifts_[k - 1] +
                       (cfg_.calibrationPx.empty() ? 0 : cfg_.calibrationPx[size_t(k - 1)]);
        sensorX_[k] = warpOff;
        cv::cvtColor(cams[k], sensor_[k], cv::COLOR_BGR2GRAY);
        cutCamera(cams[k], warpOff, cfg_.camWidth, colour_[k]);
        cutCamera(sensor_[k], warpOff, cfg_.camWidth, grey_[k]);
    }
    runLibrary();
}

void Rig::runLibrary() {
    const int n = cfg_.cameras, w = cfg_.camWidth, o = cfg_.overlap;
    for (int k = 0; k < n; ++k) {
        if (havePrev_)
            blockMotion(prevSensor_[k], sensor_[k], cfg_.motionThreshold, blocks_[k], rowSums_,
                        cfg_.motionLevels ? 3 : 1);
        else
            blocks_[k].setTo(0);
        packMotionBitmap(blocks_[k], w, bitmaps_[k]);
        info_.md_addr[k] = uint64_t(uintptr_t(bitmaps_[k].data()));
        std::swap(sensor_[k], prevSensor_[k]);
    }
    havePrev_ = true;
    fillStripBuffer(grey_, o, strip_);
    cutShifts_ = shifts_;

    // The library counts its frame calls from 0 as this host does (it is the
    // only caller in the process), so both agree on the tracking frames.
    const int p = cfg_.period;
    lastTracking_ = p == 0 || calls_ % p == 0;
    auto t0 = std::chrono::steady_clock::now();
    zelvo_stitch_process(library_->data(), &info_);
    const double callMs = msSince(t0);
    ++calls_;
    if (lastTracking_) {
        times_.frameTrackingMs += callMs;
        ++times_.trackingFrames;
    } else {
        times_.framePlainMs += callMs;
        ++times_.plainFrames;
    }
    for (int i = 0; i + 1 < n; ++i) shifts_[i] = info_.overlap_shift_value[i + 1];

    for (int i = 0; i + 1 < n; ++i) {
        t0 = std::chrono::steady_clock::now();
        if (cfg_.motionLevels)
            library_->list()[i]->process(blocks_[i].data, blocks_[i + 1].data);
        else
            library_->list()[i]->process(decoded_md_buffer[i], decoded_md_buffer[i + 1]);
        lastSeamMs_[i] = msSince(t0);
        times_.seamMs[i] += lastSeamMs_[i];
        t0 = std::chrono::steady_clock::now();
        library_->list()[i]->copyTo_dre_fusion_map();
        const double copyMs = msSince(t0);
        times_.copyMs[i] += copyMs;
        lastSeamMs_[i] += copyMs;
        if (cfg_.seamBlend > 0) {
            t0 = std::chrono::steady_clock::now();
            blendFusion(fusion_[i], cfg_.seamBlend, runningQ8_[i], hostFusion_[i]);
            times_.blendMs[i] += msSince(t0);
        }
    }
    blendPanorama(colour_, seamMaps(), o, pano_);
}

double Rig::residual(int i) const {
    const double cut =
        residualMisalignment({grey_[i], blocks_[i], sensorX_[i]},
                             {grey_[i + 1], blocks_[i + 1], sensorX_[i + 1]}, cfg_.overlap);
    // A larger shift samples the right camera further right: its background
    // appears further left by the step.
    return cut - (shifts_[i] - cutShifts_[i]);
}

// Camera k of a realistic rig: its movers displaced by the parallax of the
// overlaps on its left, its optics and sensor applied to both the warped image
// and what the sensor itself saw (one noise draw per camera and frame).
void Rig::renderCamera(const cv::Mat& frame, int k, int warpX, int sensorX, int frameIndex) {
    const int w = cfg_.camWidth;
    renderParallax(frame, background_.empty() ? frame : background_, frameMovers_,
                   k * cfg_.render.parallaxPx, scene_, sceneMask_);
    const uint64_t seed = (uint64_t(frameIndex) << 8) + uint64_t(k) + 1;
    cutCamera(scene_, warpX, w, colour_[k]);
    sensors_[k].apply(colour_[k], seed);
    cv::cvtColor(colour_[k], grey_[k], cv::COLOR_BGR2GRAY);
    cutCamera(sceneMask_, warpX, w, movers_[k]);
    cutCamera(scene_, sensorX, w, sensorColour_);
    sensors_[k].apply(sensorColour_, seed);
    cv::cvtColor(sensorColour_, sensor_[k], cv::COLOR_BGR2GRAY);
}

double StageTimes::libraryMsPerFrame() const {
    const int frames = trackingFrames + plainFrames;
    double sum = frameTrackingMs + framePlainMs;
    for (size_t i = 0; i < seamMs.size(); ++i) sum += seamMs[i] + copyMs[i];
    return frames ? sum / frames : std::nan("");
}

}  // namespace zsim
