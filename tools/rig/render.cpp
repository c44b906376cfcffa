// Realistic camera rendering for the simulator: layer split, parallax,
// exposure, vignetting and noise.
#include "rig/render.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <opencv2/imgproc.hpp>

namespace zsim {

RenderConfig realisticRender() {
    RenderConfig r;
    r.parallaxPx = 4;  // people a few metres away, a few cm of baseline, 384 px cameras
    r.exposurePct = 5;
    r.noiseSigma = 2;
    return r;
}

cv::Mat medianBackground(const std::vector<cv::Mat>& frames, int maxFrames) {
    CV_Assert(!frames.empty() && maxFrames > 0);
    const int n = std::min<int>(int(frames.size()), maxFrames);
    std::vector<const cv::Mat*> use(n);
    for (int k = 0; k < n; ++k) use[k] = &frames[size_t(k) * frames.size() / n];
    const cv::Mat& f0 = frames[0];
    CV_Assert(f0.type() == CV_8UC3);
    cv::Mat bg(f0.size(), CV_8UC3);
    const int rowBytes = f0.cols * 3;
    std::vector<const uint8_t*> rows(n);
    std::vector<uint8_t> v(n);
    for (int y = 0; y < f0.rows; ++y) {
        for (int k = 0; k < n; ++k) {
            CV_Assert(use[k]->size() == f0.size() && use[k]->type() == CV_8UC3);
            rows[k] = use[k]->ptr<uint8_t>(y);
        }
        uint8_t* out = bg.ptr<uint8_t>(y);
        for (int x = 0; x < rowBytes; ++x) {
            for (int k = 0; k < n; ++k) v[k] = rows[k][x];
            std::nth_element(v.begin(), v.begin() + n / 2, v.end());
            out[x] = v[n / 2];
        }
    }
    return bg;
}

BackgroundFit backgroundFit(const std::vector<cv::Mat>& frames, const cv::Mat& background) {
    BackgroundFit fit;
    if (frames.empty()) return fit;
    cv::Mat bg, g, d;
    cv::cvtColor(background, bg, cv::COLOR_BGR2GRAY);
    const double scale = std::min(1.0, 640.0 / bg.cols);
    const cv::Size small(std::max(1, int(bg.cols * scale)), std::max(1, int(bg.rows * scale)));
    std::vector<cv::Mat> grey(frames.size());
    for (size_t k = 0; k < frames.size(); ++k) {
        cv::cvtColor(frames[k], g, cv::COLOR_BGR2GRAY);
        cv::absdiff(g, bg, d);
        fit.offPct += 100.0 * cv::countNonZero(d > 25) / double(d.total()) / double(frames.size());
        cv::resize(g, d, small, 0, 0, cv::INTER_AREA);
        d.convertTo(grey[k], CV_32F);
    }
    cv::Mat window;
    cv::createHanningWindow(window, small, CV_32F);
    const cv::Mat& mid = grey[grey.size() / 2];
    for (const cv::Mat& f : grey) {
        const cv::Point2d p = cv::phaseCorrelate(mid, f, window);
        fit.cameraMotionPx = std::max(fit.cameraMotionPx, std::hypot(p.x, p.y) / scale);
    }
    char buf[160];
    if (fit.cameraMotionPx > std::max(kMaxCameraMotionPx, 1.5 / scale))
        std::snprintf(buf, sizeof buf,
                      "the picture moves as a whole by up to %.1f px between frames (a moving "
                      "camera or a large mover; %.0f %% of the pixels off the median)",
                      fit.cameraMotionPx, fit.offPct);
    else if (fit.offPct > kMaxOffPct)
        std::snprintf(buf, sizeof buf,
                      "the median background misses %.0f %% of the pixels (movers too large or "
                      "too slow)",
                      fit.offPct);
    else
        buf[0] = '\0';
    fit.why = buf;
    return fit;
}

void moverMask(const cv::Mat& frame, const cv::Mat& background, cv::Mat& mask, int threshold) {
    cv::Mat g, b, d;
    cv::cvtColor(frame, g, cv::COLOR_BGR2GRAY);
    cv::cvtColor(background, b, cv::COLOR_BGR2GRAY);
    cv::absdiff(g, b, d);
    cv::threshold(d, mask, threshold, 255, cv::THRESH_BINARY);
    // Rectangular kernels: min/max filters, exact on every platform.
    const auto k = [](int s) { return cv::getStructuringElement(cv::MORPH_RECT, {s, s}); };
    cv::morphologyEx(mask, mask, cv::MORPH_OPEN, k(3));
    cv::morphologyEx(mask, mask, cv::MORPH_CLOSE, k(9));
    cv::dilate(mask, mask, k(5));
}

void renderParallax(const cv::Mat& frame, const cv::Mat& background, const cv::Mat& mask, int dx,
                    cv::Mat& scene, cv::Mat& sceneMask) {
    CV_Assert(frame.type() == CV_8UC3 && mask.type() == CV_8UC1 && mask.size() == frame.size());
    if (dx == 0) {
        frame.copyTo(scene);
        mask.copyTo(sceneMask);
        return;
    }
    CV_Assert(background.size() == frame.size() && background.type() == CV_8UC3);
    frame.copyTo(scene);
    background.copyTo(scene, mask);  // what the movers leave uncovered
    sceneMask.create(mask.size(), CV_8UC1);
    sceneMask.setTo(0);
    const int w = frame.cols;
    for (int y = 0; y < frame.rows; ++y) {
        const cv::Vec3b* src = frame.ptr<cv::Vec3b>(y);
        const uint8_t* m = mask.ptr<uint8_t>(y);
        cv::Vec3b* dst = scene.ptr<cv::Vec3b>(y);
        uint8_t* dm = sceneMask.ptr<uint8_t>(y);
        for (int x = std::max(0, -dx); x < std::min(w, w - dx); ++x)
            if (m[x]) {
                dst[x + dx] = src[x];
                dm[x + dx] = 255;
            }
    }
}

Sensor::Sensor(const RenderConfig& cfg, int camera, int cameras, int width, int height) {
    // Gains spread evenly around 1: neighbours differ by exposurePct.
    gainQ10_ =
        1024 +
        int(std::lround(1024.0 * cfg.exposurePct / 100.0 * (2 * camera - (cameras - 1)) / 2.0));
    sigmaQ8_ = int(std::lround(cfg.noiseSigma * 256.0));
    const long long vigQ10 = std::lround(1024.0 * cfg.vignettingPct / 100.0);
    // Fall-off with the squared distance from the centre, in half pixels.
    const long long rmax2 =
        (long long)(width - 1) * (width - 1) + (long long)(height - 1) * (height - 1);
    factorQ10_.create(height, width, CV_32SC1);
    for (int y = 0; y < height; ++y) {
        int* f = factorQ10_.ptr<int>(y);
        const long long dy = 2 * y - (height - 1);
        for (int x = 0; x < width; ++x) {
            const long long dx = 2 * x - (width - 1);
            const long long keep = 1024 - vigQ10 * (dx * dx + dy * dy) / std::max(rmax2, 1LL);
            f[x] = int(gainQ10_ * keep / 1024);
        }
    }
}

void Sensor::apply(cv::Mat& bgr, uint64_t seed) const {
    CV_Assert(bgr.type() == CV_8UC3 && bgr.size() == factorQ10_.size());
    cv::RNG rng(seed);
    for (int y = 0; y < bgr.rows; ++y) {
        uint8_t* p = bgr.ptr<uint8_t>(y);
        const int* f = factorQ10_.ptr<int>(y);
        for (int x = 0; x < bgr.cols; ++x, p += 3) {
            int noiseQ10 = 0;
            if (sigmaQ8_) {
                // Sum of twelve uniform bytes: near-Gaussian, mean 1530, sigma 256.
                int s = 0;
                for (int k = 0; k < 3; ++k) {
                    const unsigned u = rng.next();
                    s += int(u & 255) + int((u >> 8) & 255) + int((u >> 16) & 255) + int(u >> 24);
                }
                noiseQ10 = (s - 1530) * sigmaQ8_ / 64;
            }
            for (int c = 0; c < 3; ++c) {
                const int t = p[c] * f[x] + noiseQ10 + 512;
                p[c] = uint8_t(t <= 0 ? 0 : std::min(255, t >> 10));
            }
        }
    }
}

}  // namespace zsim
