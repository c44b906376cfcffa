// Host buffers and the simulated rig; see sim_host.h.
#include "sim_host.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

#include "sim_align.h"

namespace zsim {

// ---- misalignment schedule -------------------------------------------------

int Schedule::at(int frame) const {
    int v = 0;
    for (const auto& s : steps) {
        if (s.first > frame) break;
        v = s.second;
    }
    return v;
}

std::string Schedule::str() const {
    std::ostringstream o;
    for (size_t i = 0; i < steps.size(); ++i)
        o << (i ? "," : "") << steps[i].first << ":" << steps[i].second;
    return o.str();
}

namespace {

bool parseInt(const std::string& s, long long& v) {
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    v = std::strtoll(s.c_str(), &end, 10);
    return errno == 0 && end && *end == '\0' && !std::isspace((unsigned char)s[0]);
}

}  // namespace

bool parseSchedule(const std::string& text, Schedule& out, std::string& err) {
    out.steps.clear();
    if (text.find(':') == std::string::npos) {
        long long px;
        if (!parseInt(text, px)) {
            err = "'" + text + "' is not a pixel count or a FRAME:PX list";
            return false;
        }
        out.steps.push_back({0, int(std::clamp(px, -1000000LL, 1000000LL))});
    } else {
        std::stringstream ss(text);
        std::string item;
        while (std::getline(ss, item, ',')) {
            const auto colon = item.find(':');
            long long f, px;
            if (colon == std::string::npos || !parseInt(item.substr(0, colon), f) ||
                !parseInt(item.substr(colon + 1), px)) {
                err = "'" + item + "' is not FRAME:PX";
                return false;
            }
            if (f < 0 || f > 100000000) {
                err = "frame " + std::to_string(f) + " is out of range";
                return false;
            }
            if (!out.steps.empty() && f <= out.steps.back().first) {
                err = "frames must increase (" + item + ")";
                return false;
            }
            out.steps.push_back({int(f), int(std::clamp(px, -1000000LL, 1000000LL))});
        }
        if (out.steps.empty() || text.back() == ',') {
            err = "'" + text + "' holds an empty entry";
            return false;
        }
    }
    for (const auto& s : out.steps)
        if (std::abs(s.second) > 64) {
            err = "misalignment " + std::to_string(s.second) + " px is beyond +-64 px";
            return false;
        }
    return true;
}

// ---- rig geometry ----------------------------------------------------------

int rigWidth(const RigConfig& rig) {
    return rig.cameras * rig.camWidth - (rig.cameras - 1) * rig.overlap;
}

int rigOrigin(const RigConfig& rig, int frameW) { return (frameW - rigWidth(rig)) / 2; }

std::string checkRig(const RigConfig& rig, int frameW, int frameH) {
    std::ostringstream why;
    if (rigWidth(rig) > frameW) {
        why << "the rig is " << rigWidth(rig) << " px wide (" << rig.cameras << " cameras of "
            << rig.camWidth << " px, " << rig.overlap << " px overlap) but the frames are only "
            << frameW << " px wide";
        return why.str();
    }
    if (motionBlocks(frameH) > 255) {
        why << "frames of " << frameH << " rows exceed the motion map's 255 block rows";
        return why.str();
    }
    const int maskRows = frameH / rig.cellH;
    if (maskRows < 1) {
        why << "--cell height " << rig.cellH << " exceeds the frame height " << frameH;
        return why.str();
    }
    const int bh = int(std::ceil(float(maskRows) / float(rig.blocks)));
    if ((long long)(rig.blocks - 1) * bh >= maskRows) {
        why << "--blocks " << rig.blocks << " cannot cut " << maskRows
            << " mask rows (frame height / cell height) into blocks that all have rows";
        return why.str();
    }
    return "";
}

// ---- host buffers ----------------------------------------------------------

void blockMotion(const cv::Mat& prev, const cv::Mat& cur, int threshold, cv::Mat& blocks,
                 std::vector<int>& rowSums, int maxLevel) {
    CV_Assert(prev.type() == CV_8UC1 && cur.type() == CV_8UC1 && prev.size() == cur.size());
    const int rows = cur.rows, cols = cur.cols;
    const int bx = motionBlocks(cols), by = motionBlocks(rows);
    blocks.create(by, bx, CV_8UC1);
    rowSums.assign(bx, 0);
    for (int y = 0; y < rows; ++y) {
        const uint8_t* p = prev.ptr<uint8_t>(y);
        const uint8_t* c = cur.ptr<uint8_t>(y);
        for (int x = 0; x < cols; ++x) rowSums[x / kMotionBlock] += std::abs(int(c[x]) - int(p[x]));
        if ((y + 1) % kMotionBlock != 0 && y != rows - 1) continue;
        const int bh = y % kMotionBlock + 1;
        uint8_t* out = blocks.ptr<uint8_t>(y / kMotionBlock);
        for (int b = 0; b < bx; ++b) {
            const int bw = std::min(kMotionBlock, cols - b * kMotionBlock);
            const int need = threshold * bw * bh;
            int level = rowSums[b] >= need ? 1 : 0;
            if (level && maxLevel > 1)
                level = need > 0 ? std::min(maxLevel, rowSums[b] / need) : maxLevel;
            out[b] = uint8_t(level);
            rowSums[b] = 0;
        }
    }
}

void packMotionBitmap(const cv::Mat& blocks, int widthPx, std::vector<uint8_t>& out) {
    CV_Assert(blocks.type() == CV_8UC1 && blocks.cols <= motionBlocks(widthPx));
    const int rb = motionRowBytes(widthPx);
    out.assign(size_t(blocks.rows) * rb, 0);
    for (int r = 0; r < blocks.rows; ++r) {
        const uint8_t* p = blocks.ptr<uint8_t>(r);
        uint8_t* row = out.data() + size_t(r) * rb;
        // Bit x % 32 of little-endian word x / 32 is bit x % 8 of byte x / 8.
        for (int x = 0; x < blocks.cols; ++x)
            if (p[x]) row[x / 8] |= uint8_t(1u << (x % 8));
    }
}

void buildLut(int w, int h, int g, std::vector<uint32_t>& lut) {
    CV_Assert(g >= 2 && w > 0 && h > 0);
    const int bx = motionBlocks(w), by = motionBlocks(h);
    lut.assign(size_t(g) * g, 0);
    for (int r = 0; r < g; ++r) {
        const long long py = (long long)r * h / (g - 1);
        const int row = int(std::min<long long>(py / kMotionBlock, by - 1));
        for (int c = 0; c < g; ++c) {
            const long long px = (long long)c * w / (g - 1);
            const int col = int(std::min<long long>(px / kMotionBlock, bx - 1));
            lut[size_t(r) * g + c] = lutWord(row, col);
        }
    }
}

void cutCamera(const cv::Mat& frame, int x, int width, cv::Mat& dst) {
    const int fw = frame.cols;
    int a, b, left;
    if (x >= fw) {
        a = fw - 1, b = fw, left = 0;
    } else if (x + width <= 0) {
        a = 0, b = 1, left = width - 1;
    } else {
        a = std::max(x, 0), b = std::min(x + width, fw), left = a - x;
    }
    const int right = width - left - (b - a);
    const cv::Mat src = frame(cv::Rect(a, 0, b - a, frame.rows));
    if (left == 0 && right == 0)
        src.copyTo(dst);
    else  // ISOLATED: replicate the cut's own edge, not pixels beyond the region
        cv::copyMakeBorder(src, dst, 0, 0, left, right, cv::BORDER_REPLICATE | cv::BORDER_ISOLATED);
}

void fillStripBuffer(const std::vector<cv::Mat>& grey, int overlap, cv::Mat& buf) {
    const int n = int(grey.size());
    const int w = grey[0].cols, h = grey[0].rows;
    buf.create(h, 2 * overlap * (n - 1), CV_8UC1);
    for (int i = 0; i + 1 < n; ++i) {
        const int x = 2 * overlap * i;
        grey[i](cv::Rect(w - overlap, 0, overlap, h)).copyTo(buf(cv::Rect(x, 0, overlap, h)));
        grey[i + 1](cv::Rect(0, 0, overlap, h)).copyTo(buf(cv::Rect(x + overlap, 0, overlap, h)));
    }
}

void blendPanorama(const std::vector<cv::Mat>& colour, const std::vector<cv::Mat>& fusion,
                   int overlap, cv::Mat& pano) {
    const int n = int(colour.size());
    const int w = colour[0].cols, h = colour[0].rows, step = w - overlap;
    pano.create(h, n * w - (n - 1) * overlap, CV_8UC3);
    for (int k = 0; k < n; ++k) {
        const int start = k == 0 ? 0 : overlap, end = k == n - 1 ? w : w - overlap;
        if (end > start)
            colour[k](cv::Rect(start, 0, end - start, h))
                .copyTo(pano(cv::Rect(k * step + start, 0, end - start, h)));
    }
    for (int i = 0; i + 1 < n; ++i) {
        const int ox = (i + 1) * step;
        for (int y = 0; y < h; ++y) {
            const cv::Vec3b* l = colour[i].ptr<cv::Vec3b>(y) + step;
            const cv::Vec3b* r = colour[i + 1].ptr<cv::Vec3b>(y);
            const uint8_t* f = fusion[i].ptr<uint8_t>(y);
            cv::Vec3b* p = pano.ptr<cv::Vec3b>(y) + ox;
            for (int x = 0; x < overlap; ++x) {
                const int wl = f[x], wr = 255 - wl;
                for (int c = 0; c < 3; ++c)
                    p[x][c] = uint8_t((l[x][c] * wl + r[x][c] * wr + 127) / 255);
            }
        }
    }
}

// ---- the simulated rig -----------------------------------------------------

namespace {
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
    startLibrary();
    fillRecord();
}

// Everything a device host holds per camera and per overlap, sized once.
void Rig::allocateHostBuffers() {
    const int n = cfg_.cameras, w = cfg_.camWidth, o = cfg_.overlap, h = frameH_;
    const int bx = motionBlocks(w), by = motionBlocks(h);
    luts_.resize(n);
    for (auto& l : luts_) buildLut(w, h, cfg_.lutGrid, l);
    fusionBuf_.assign(n - 1, std::vector<uint8_t>(size_t(h) * o, 0));
    for (auto& b : fusionBuf_) fusion_.emplace_back(h, o, CV_8UC1, b.data());
    for (int k = 0; k < n; ++k) {
        colour_.emplace_back(h, w, CV_8UC3, cv::Scalar::all(0));
        grey_.emplace_back(h, w, CV_8UC1, cv::Scalar(0));
        sensor_.emplace_back(h, w, CV_8UC1, cv::Scalar(0));
        prevSensor_.emplace_back(h, w, CV_8UC1, cv::Scalar(0));
        blocks_.emplace_back(by, bx, CV_8UC1, cv::Scalar(0));
        bitmaps_.emplace_back(size_t(by) * motionRowBytes(w), 0);
        movers_.emplace_back(h, w, CV_8UC1, cv::Scalar(0));
        sensors_.emplace_back(cfg_.render, k, n, w, h);
    }
    strip_.create(h, 2 * o * (n - 1), CV_8UC1);
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

// The library's switches and one set-up stitcher per overlap; on failure
// nothing of the library is left behind.
void Rig::startLibrary() {
    const int n = cfg_.cameras, w = cfg_.camWidth, o = cfg_.overlap, h = frameH_;
    // Block scoring: a small change of a block's left share raises its score,
    // a large one lowers it. The scores feed nothing the host reads.
    diffLevels_ = {0.02f, 0.05f, 0.15f};
    diffIncs_ = {1.0f, 0.0f, -1.0f};

    if (cfg_.dbg >= 0) zelvo_stitch_set_dbg_out(cfg_.dbg);
    zelvo_stitch_init(cfg_.lutGrid, cfg_.blocks, 0, cfg_.resetMask, cfg_.maskBlocks,
                      cfg_.weightedHistory);
    zelvo_stitch_set_motion_aware(cfg_.motionAware);
    try {
        for (int i = 0; i + 1 < n; ++i) {
            stitchers_.push_back(nullptr);
            stitchers_.back() = create_dynstitcher(
                0, 0, w, h, o, cfg_.blocks, 100.0f, -100.0f, 0.0f, int(diffLevels_.size()),
                diffLevels_.data(), diffIncs_.data(), 1, 30, cfg_.lutGrid, cfg_.lutGrid,
                luts_[i].data(), luts_[i + 1].data(), i, unsigned(motionBlocks(w)),
                unsigned(motionBlocks(h)), cfg_.cellW, cfg_.cellH);
            setup_dynstitcher(stitchers_.back(), 0, (unsigned long)(uintptr_t)fusionBuf_[i].data());
        }
    } catch (...) {
        for (auto& s : stitchers_) destroy_dynstitcher(&s);
        zelvo_stitch_uninit();
        throw;
    }
    Zelvo_Stitch_Shift_Every_N_Frames = cfg_.period;
}

// The frame record: everything but the motion bitmaps' addresses is fixed.
void Rig::fillRecord() {
    const int n = cfg_.cameras;
    info_.img_num = uint32_t(n);
    info_.strip_buf_addr = uint64_t(uintptr_t(strip_.data));
    info_.strip_buf_width = uint32_t(strip_.cols);
    for (int i = 0; i + 1 < n; ++i) {
        info_.strip_width[i] = uint32_t(cfg_.overlap);
        info_.strip_height[i] = uint32_t(frameH_);
    }
    info_.md_width = uint32_t(cfg_.camWidth);
    info_.md_height = uint32_t(frameH_);
}

Rig::~Rig() {
    for (auto& s : stitchers_) destroy_dynstitcher(&s);
    zelvo_stitch_uninit();
}

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
    zelvo_stitch_process(stitchers_.data(), &info_);
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
            stitchers_[i]->process(blocks_[i].data, blocks_[i + 1].data);
        else
            stitchers_[i]->process(decoded_md_buffer[i], decoded_md_buffer[i + 1]);
        lastSeamMs_[i] = msSince(t0);
        times_.seamMs[i] += lastSeamMs_[i];
        t0 = std::chrono::steady_clock::now();
        stitchers_[i]->copyTo_dre_fusion_map();
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
    const double cut = residualMisalignment({grey_[i], blocks_[i], sensorX_[i]},
                                            {grey_[i + 1], blocks_[i + 1], sensorX_[i + 1]},
                                            cfg_.overlap);
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

// ---- results ---------------------------------------------------------------

std::vector<Segment> analyse(const Track& t, int tolerance) {
    std::vector<Segment> segs;
    const int n = int(t.truth.size());
    for (int f = 0; f < n;) {
        Segment s;
        s.from = f;
        s.truth = t.truth[f];
        while (f < n && t.truth[f] == s.truth) ++f;
        s.to = f;
        int k = s.to - 1;
        while (k >= s.from && std::abs(t.shift[k] - s.truth) <= tolerance) --k;
        s.settledAt = k == s.to - 1 ? -1 : k + 1;
        segs.push_back(s);
    }
    return segs;
}

Settle settle(const Track& t, int period) {
    Settle s;
    const int n = int(t.shift.size());
    s.since = n;
    while (s.since > 0 && (s.since == n || t.shift[s.since - 1] == t.shift[n - 1])) --s.since;
    // Frame f is a tracking frame when f is a multiple of the period (the host
    // and the library both count from 0).
    for (int f = s.since; f < n; ++f) s.trackingFrames += period == 0 || f % period == 0;
    return s;
}

}  // namespace zsim
