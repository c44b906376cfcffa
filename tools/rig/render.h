// Cameras that disagree the way real ones do: movers nearer than the
// background (parallax between neighbouring cameras), per-camera exposure,
// vignetting and sensor noise. All pixel arithmetic is integer and the noise
// comes from a seeded cv::RNG, so a run gives the same bytes on every
// platform.
#ifndef ZELVO_SIM_RENDER_H
#define ZELVO_SIM_RENDER_H

#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace zsim {

// Zero everywhere: the translation-only rig, every camera sees the frame as it is.
struct RenderConfig {
    int parallaxPx = 0;        // extra displacement of movers in each overlap's right camera
    double exposurePct = 0;    // gain step between neighbouring cameras, per cent
    double vignettingPct = 0;  // light lost in the image corners, per cent
    double noiseSigma = 0;     // sensor noise, grey levels (one sigma)
    bool any() const {
        return parallaxPx != 0 || exposurePct != 0 || vignettingPct != 0 || noiseSigma != 0;
    }
};
// What the simulator's default run uses: a short-baseline rig.
RenderConfig realisticRender();

// Per-pixel, per-channel median of the frames (8-bit BGR, one size): the
// static background of a clip. Uses at most `maxFrames` frames, evenly spread.
cv::Mat medianBackground(const std::vector<cv::Mat>& frames, int maxFrames = 25);

// Whether a clip's median background explains it, so that parallax can be
// rendered from it: the mean share of pixels whose grey level lies more than
// the mover threshold (25) from the background's (what the model calls movers,
// and what it gets wrong), and the camera's own motion, the largest global
// displacement of a frame against the middle one (phase correlation on copies
// at most 640 px wide, whose sub-pixel estimate movers bias by up to about
// half a pixel). It does not fit when more than kMaxOffPct of the pixels are
// off or the camera moves by more than 2 px or 1.5 px of the copy, whichever
// is more. A moving camera blurs the median and large or slow movers stay in
// it: either way parallax would tear the footage.
struct BackgroundFit {
    double offPct = 0;          // mean share of pixels off the background, per cent
    double cameraMotionPx = 0;  // largest displacement between the frames, px
    std::string why;            // "" when the background explains the clip
};
constexpr double kMaxOffPct = 20, kMaxCameraMotionPx = 2;
BackgroundFit backgroundFit(const std::vector<cv::Mat>& frames, const cv::Mat& background);

// Movers of a frame: 255 where its grey level differs from the background's
// by more than `threshold`, speckles removed and the blobs closed and grown
// by a few pixels (so a mover's rim moves with it).
void moverMask(const cv::Mat& frame, const cv::Mat& background, cv::Mat& mask, int threshold = 25);

// The scene as a camera displaced by dx for the movers sees it: the mover
// pixels of `frame` moved dx columns, what they uncover filled from the
// background. Also the moved mask. dx = 0 gives the frame and mask themselves.
void renderParallax(const cv::Mat& frame, const cv::Mat& background, const cv::Mat& mask, int dx,
                    cv::Mat& scene, cv::Mat& sceneMask);

// One camera's optics and sensor on a cut camera image (8-bit BGR, in place):
// gain x vignetting in Q10 fixed point, plus noise from a generator seeded
// with `seed` (same seed, same noise).
class Sensor {
public:
    Sensor(const RenderConfig& cfg, int camera, int cameras, int width, int height);
    void apply(cv::Mat& bgr, uint64_t seed) const;
    int gainQ10() const { return gainQ10_; }

private:
    int gainQ10_;
    int sigmaQ8_;
    cv::Mat factorQ10_;  // CV_32SC1: gain x vignetting per pixel, 1024 = 1.0
};

}  // namespace zsim

#endif
