// Host side of the simulated camera rig: everything a device host does around
// libzelvo_stitch (camera images, strip buffer, packed motion bitmaps, LUTs,
// fusion-map buffers, the frame record, the calling order, applying the
// shifts), plus the simulator's own outputs (panorama, plot, CSV, JSON).
//
// Talks to the library only through zelvo_stitch.h and its exported symbols.
// This archive does not link the library: the program links the shared
// library, the tests the static archive.
#ifndef ZELVO_SIM_HOST_H
#define ZELVO_SIM_HOST_H

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "sim_render.h"
#include "zelvo_stitch.h"

namespace zsim {

// Motion detector grid: one bit per 16 x 16 block of a camera image.
constexpr int kMotionBlock = 16;

inline int motionBlocks(int pixels) { return (pixels + kMotionBlock - 1) / kMotionBlock; }
// Bytes per packed bitmap row: whole 32-bit words, 32 blocks each.
inline int motionRowBytes(int widthPx) { return ((widthPx + 511) / 512) * 4; }

// Misalignment of one overlap over time: (first frame, pixels) steps, frames
// strictly increasing; before the first step the displacement is 0.
struct Schedule {
    std::vector<std::pair<int, int>> steps;
    int at(int frame) const;
    std::string str() const;  // "0:8,50:-4"
};
// Parses "F:PX[,F:PX...]" or a plain "PX" (= "0:PX"). On failure returns
// false and says why in err.
bool parseSchedule(const std::string& text, Schedule& out, std::string& err);

struct RigConfig {
    int cameras = 3;
    int camWidth = 384;  // pixels of one camera image across
    int overlap = 192;   // pixels shared by neighbouring cameras
    int cellW = 4, cellH = 4;
    int blocks = 4;    // mask blocks per overlap
    int lutGrid = 33;  // LUT vertices per row and per column
    int period = 2;    // tracking period (Zelvo_Stitch_Shift_Every_N_Frames)
    bool resetMask = false;
    bool maskBlocks = false;
    bool weightedHistory = true;
    bool motionAware = false;  // the library's motion-aware mode (the program turns it on)
    int motionThreshold = 8;         // mean |grey difference| that marks a block as moving
    int dbg = -1;                    // print switch handed to the library; -1 leaves it alone
    std::vector<Schedule> misalign;  // one per overlap
    // A real rig's host warp: overlap i's right camera sampled calibrationPx[i]
    // further right on top of the library's shift (the part of the overlap
    // measured from the images that whole cell pairs leave over); empty: none.
    std::vector<int> calibrationPx;

    // Realistic cameras (zero: the translation-only rig) and the host's seam
    // handling: graded 0-3 motion maps for process instead of the decoded 0/1
    // ones, and a running fusion map a x new + (1 - a) x running (a = 0: off).
    RenderConfig render;
    bool motionLevels = false;
    double seamBlend = 0;
};

// Panorama width of the rig: cameras side by side, neighbours sharing
// `overlap` columns.
int rigWidth(const RigConfig& rig);
// First frame column the rig looks at: the rig sits in the middle of frames
// wider than itself.
int rigOrigin(const RigConfig& rig, int frameW);
// Checks the rig against a frame size; returns "" or the reason it cannot run.
std::string checkRig(const RigConfig& rig, int frameW, int frameH);

// ---- host buffers -------------------------------------------------------

// Block-wise frame difference: blocks (CV_8UC1, motionBlocks(h) x
// motionBlocks(w)) gets 1 where the mean |cur - prev| of the block reaches
// threshold, else 0. Edge blocks average over the pixels they hold. With
// maxLevel > 1 a moving block gets min(maxLevel, mean / threshold) instead of 1.
void blockMotion(const cv::Mat& prev, const cv::Mat& cur, int threshold, cv::Mat& blocks,
                 std::vector<int>& rowSums, int maxLevel = 1);
// Packs a 0/1 block map into the detector's bitmap: rows of
// motionRowBytes(widthPx) bytes; block x is bit x % 32 of the little-endian
// word x / 32. out is resized to rows x rowBytes and fully rewritten.
void packMotionBitmap(const cv::Mat& blocks, int widthPx, std::vector<uint8_t>& out);

// LUT word pointing at motion-map cell (col, row).
inline uint32_t lutWord(int row, int col) { return (uint32_t(row) << 22) | (uint32_t(col) << 6); }
// g x g LUT of a camera image of w x h pixels: vertex (c, r) sits at pixel
// (c * w / (g - 1), r * h / (g - 1)) and points at the motion cell under it,
// clamped into the motion map. Row stride g.
void buildLut(int w, int h, int g, std::vector<uint32_t>& lut);

// Cuts the camera image whose first column is frame column x (any value):
// columns outside the frame replicate the frame's edge column. dst keeps its
// size (width x frame rows) and storage.
void cutCamera(const cv::Mat& frame, int x, int width, cv::Mat& dst);

// Strip buffer of the rig: per overlap i the last `overlap` columns of grey
// camera i, then the first `overlap` columns of grey camera i + 1.
void fillStripBuffer(const std::vector<cv::Mat>& grey, int overlap, cv::Mat& buf);

// Colour panorama: camera interiors copied, every overlap blended with its
// fusion map (left weight w / 255).
void blendPanorama(const std::vector<cv::Mat>& colour, const std::vector<cv::Mat>& fusion,
                   int overlap, cv::Mat& pano);

// ---- the simulated rig ----------------------------------------------------

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
    DynStitcher* stitcher(int i) const { return stitchers_[i]; }
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
    // Construction in steps: the host's buffers, the library and its
    // stitchers, the frame record.
    void allocateHostBuffers();
    void startLibrary();
    void fillRecord();

    RigConfig cfg_;
    int frameW_, frameH_, originX_;
    std::vector<DynStitcher*> stitchers_;
    std::vector<std::vector<uint32_t>> luts_;
    std::vector<std::vector<uint8_t>> fusionBuf_;
    std::vector<cv::Mat> fusion_;  // headers over fusionBuf_
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
    std::vector<float> diffLevels_, diffIncs_;
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

// ---- results --------------------------------------------------------------

// One overlap's history: the shift read after each frame call, and the truth
// (empty for a real rig, whose misalignment nobody knows).
struct Track {
    std::vector<int> shift, truth;
    // Residual misalignment after each frame's shift, measured (Rig::residual):
    // NaN where too little could be measured; empty when not measured at all.
    std::vector<double> residual;
};

// An overlap is aligned when its measured residual is below this, px.
constexpr double kAlignedPx = 1.0;
// A shift has converged when within half a cell of the truth: the nearest a
// shift stepped in whole cells can come, so a shift one cell short has not.
inline int tolerancePx(const RigConfig& cfg) { return cfg.cellW / 2; }

struct Segment {
    int from = 0, to = 0;  // frames [from, to) with one truth
    int truth = 0;
    int settledAt = -1;  // first frame from which |error| <= tolerance to the end; -1: never
    int framesToConverge() const { return settledAt < 0 ? -1 : settledAt - from + 1; }
};
// Splits the track into runs of constant truth and finds where each settles
// within `tolerance` pixels.
std::vector<Segment> analyse(const Track& t, int tolerance);

// Without a truth: the shift has settled when it has not changed over the last
// kSettleTrackingFrames tracking frames.
constexpr int kSettleTrackingFrames = 5;
struct Settle {
    int since = 0;           // first frame of the final run of one shift value
    int trackingFrames = 0;  // tracking frames within that run
    bool settled() const { return trackingFrames >= kSettleTrackingFrames; }
};
Settle settle(const Track& t, int period);

void writeCsv(const std::string& path, const std::vector<Track>& tracks);
void drawShiftPlot(const std::vector<Track>& tracks, int cellW, cv::Mat& plot);
// A result file that cannot be written (folder gone, disk full): the
// simulator's own failure, told apart from the library's.
struct OutputError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// What a run played and how long it took.
struct RunInfo {
    std::string input;     // the footage; with realRig the camera inputs, ", " between
    bool realRig = false;  // per-camera footage: no truth, convergence is "settled"
    int frames = 0;
    int frameWidth = 0;   // px of the footage across (a real rig: the rig's width)
    int firstColumn = 0;  // the rig used columns [firstColumn, firstColumn + rigWidth)
    double wallSeconds = 0;
    double libraryMsPerFrame = -1;  // StageTimes::libraryMsPerFrame; < 0: not known
    // The seam comparison: seconds its thread measured, seconds the rig
    // waited for it (< 0: no comparison), and what it left out ("" = nothing).
    double comparisonSeconds = -1, comparisonWaitSeconds = 0;
    std::string comparisonNote;
    // Asked-for parallax not rendered: why ("" = rendered as asked).
    std::string parallaxReason;
};
void writeSummary(const std::string& path, const RigConfig& cfg, const RunInfo& run,
                  const std::vector<Track>& tracks, const StageTimes& times,
                  const std::string& quality = "");  // JSON object of the seam comparison
// One line for a person: frames, speed, every overlap's final shift and error,
// and every stretch of constant misalignment that did not converge.
std::string summaryLine(const RigConfig& cfg, const RunInfo& run, const std::vector<Track>& tracks);
// "1 frame", "2 frames".
std::string count(int n, const std::string& noun);

// ---- command line ---------------------------------------------------------

struct Options {
    RigConfig rig;
    std::string input;  // folder, image or video; "" = the bundled footage
    std::string out = "out";
    int frames = -1;  // frames to play; -1 = all (a single image: 30)
    bool seams = false;
    bool quiet = false;
    bool help = false;
    bool writeFrames = false;  // per-frame panoramas: off, they add ~0.7 MB a frame
    bool widthGiven = false, overlapGiven = false;  // else fitted to the footage
    std::vector<std::string> cameraInputs;          // --camera, one per camera: a real rig
    // The default run: a realistic rig, the library's motion-aware mode (the
    // host's running fusion map only with the specified mode), the seam
    // comparison and the panorama video.
    bool quality = true;
    bool video = true;
    // Graph cut in the comparison even on frames over kGraphCutMaxPixels.
    bool graphcutAlways = false;
    static constexpr long long kGraphCutMaxPixels = 1500000;
    Options() {
        rig.render = realisticRender();
        rig.motionAware = true;
        rig.seamBlend = 0.05;  // parseArgs sets 0 with the motion-aware mode unless given
    }
};
// Parses argv. Returns false with a message naming the offending argument.
bool parseArgs(int argc, char** argv, Options& opt, std::string& err);
std::string usage(const char* prog);

}  // namespace zsim

#endif
