// The simulated camera rig, driven as a device host drives libzelvo_stitch:
// camera images, strip buffer, packed motion bitmaps, LUTs, fusion-map
// buffers, the frame record, the calling order, applying the shifts, and the
// host's running fusion map.
//
// Talks to the library only through zelvo_stitch.h and its exported symbols.
// This archive does not link the library: the program links the shared
// library, the tests and benchmarks the static archive.
#ifndef ZELVO_SIM_RIG_H
#define ZELVO_SIM_RIG_H

#include <cstdint>
#include <memory>
#include <vector>

#include <opencv2/core.hpp>

#include "rig/render.h"
#include "rig/rig_config.h"
#include "zelvo_stitch.h"

namespace zsim {

class Stitchers;

struct StageTimes {
    double frameTrackingMs = 0;  // frame calls on tracking frames, summed
    int trackingFrames = 0;
    double framePlainMs = 0;  // frame calls on the other frames, summed
    int plainFrames = 0;
    std::vector<double> seamMs;   // per overlap, summed
    std::vector<double> copyMs;   // per overlap, summed
    std::vector<double> blendMs;  // per overlap, summed: the host's running map
    // The library's own time per frame: frame call, process and fusion-map
    // copy of every overlap; NaN before the first frame.
    double libraryMsPerFrame() const;
};

// Initialises the library and one stitcher per overlap on construction,
// releases them on destruction. One instance at a time per process: the
// library's state is process-wide.
class Rig {
public:
    Rig(const RigConfig& cfg, int frameW, int frameH);
    ~Rig();
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    // Plays one frame (8-bit BGR, the size given at construction): cuts the
    // cameras with the shifts applied so far, fills the host buffers, calls
    // the library (frame call, then per overlap process and fusion-map copy),
    // blends the panorama and takes the new shifts for the next frame.
    void play(const cv::Mat& frame, int frameIndex);
    // Plays one frame of a real rig: one 8-bit BGR image per camera, camWidth
    // x frame height each (construct with frameW = rigWidth(cfg)); the shifts
    // move each camera's sampling, there is no simulated misalignment.
    void playCameras(const std::vector<cv::Mat>& cams);
    // Static background of the footage (8-bit BGR, frame size): from then on
    // every frame is split into background and movers (the movers' masks are
    // the ground truth of the seam metrics, and parallax moves them).
    void setBackground(const cv::Mat& background) { background_ = background.clone(); }

    int overlaps() const { return cfg_.cameras - 1; }
    const RigConfig& config() const { return cfg_; }
    // Shift of overlap i (pixels) as the library last wrote it.
    int shift(int i) const { return shifts_[i]; }
    // True displacement of overlap i on the last played frame.
    int truth(int i) const { return truths_[i]; }
    // Residual misalignment of overlap i's static background once the shift the
    // library just wrote is applied, measured on the last frame's images without
    // the truth (px, NaN when too little could be measured): the offset measured
    // on the cameras as cut minus the step the new shift moves the right camera.
    // On a simulated rig it estimates truth(i) - shift(i).
    double residual(int i) const;
    bool lastWasTracking() const { return lastTracking_; }

    const cv::Mat& panorama() const { return pano_; }
    const std::vector<cv::Mat>& cameras() const { return colour_; }
    const std::vector<cv::Mat>& greyCameras() const { return grey_; }
    const std::vector<cv::Mat>& fusionMaps() const { return fusion_; }
    const cv::Mat& stripBuffer() const { return strip_; }
    const std::vector<uint8_t>& motionBitmap(int cam) const { return bitmaps_[cam]; }
    const std::vector<uint32_t>& lut(int cam) const { return luts_[cam]; }
    const StageTimes& times() const { return times_; }
    DynStitcher* stitcher(int i) const;
    // Per camera: 255 where a mover lies (as the camera sees it, shifts applied).
    const std::vector<cv::Mat>& moverMasks() const { return movers_; }
    // Per camera: the motion map passed to process (0/1, or 0-3 with motionLevels).
    const cv::Mat& motionMap(int cam) const { return blocks_[cam]; }
    // The maps the host blends with: the running maps with seamBlend, else
    // the library's fusion maps.
    const std::vector<cv::Mat>& seamMaps() const {
        return cfg_.seamBlend > 0 ? hostFusion_ : fusion_;
    }
    // Time of overlap i's seam on the last frame: process and fusion-map copy (ms).
    double lastSeamMs(int i) const { return lastSeamMs_[i]; }

private:
    // Motion bitmaps, strip buffer, the library's calls and the panorama,
    // from the camera images of this frame.
    void runLibrary();
    // Everything a device host holds per camera and per overlap, sized once.
    void allocateHostBuffers();

    RigConfig cfg_;
    int frameW_, frameH_, originX_;
    std::vector<std::vector<uint32_t>> luts_;
    std::vector<std::vector<uint8_t>> fusionBuf_;
    std::vector<cv::Mat> fusion_;         // headers over fusionBuf_
    std::unique_ptr<Stitchers> library_;  // after the buffers it writes: goes first
    std::vector<cv::Mat> colour_, grey_;
    std::vector<cv::Mat> blocks_;
    std::vector<int> rowSums_;
    std::vector<std::vector<uint8_t>> bitmaps_;
    std::vector<cv::Mat> sensor_, prevSensor_;  // grey, as the cameras see (no shift)
    cv::Mat frameGrey_, strip_, pano_;
    ZELVO_STITCH_INFO info_{};
    std::vector<int> shifts_, truths_;
    std::vector<int> cutShifts_;  // per overlap: the shifts this frame's cameras were cut with
    std::vector<int> sensorX_;    // per camera: blended column x is sensor column x + this
    bool havePrev_ = false;
    // Realistic rendering and host seam handling (see RigConfig).
    void renderCamera(const cv::Mat& frame, int k, int warpX, int sensorX, int frameIndex);
    cv::Mat background_, frameMovers_, scene_, sceneMask_, sensorColour_;
    std::vector<cv::Mat> movers_, runningQ8_, hostFusion_;
    std::vector<Sensor> sensors_;
    std::vector<double> lastSeamMs_;
    bool lastTracking_ = false;
    long long calls_ = 0;  // frame calls so far: the library counts the same
    StageTimes times_;
};

}  // namespace zsim

#endif
