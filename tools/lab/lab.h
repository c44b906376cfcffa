// Seam quality of the simulated rig, measured every frame on the
// full-resolution overlap for the library's seam and, on the same strips and
// mask grid, for a fixed middle seam and OpenCV's Voronoi, DP and graph-cut
// seam finders. Like with like: every method's map is measured raw and, when
// the host keeps a running fusion map (--seam-blend A), again through a
// running map of its own with the same A. Writes quality.csv, the per-method
// means for summary.json, quality.png and seams.png. The lab can measure on a
// thread of its own (LabThread) while the rig plays on.
#ifndef ZELVO_SIM_QUALITY_H
#define ZELVO_SIM_QUALITY_H

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>

namespace zsim {

class Rig;
struct RigConfig;

enum SeamMethod { kLibrary, kMiddle, kVoronoi, kDp, kGraphCut, kSeamMethods };
const char* methodName(int method);  // "library", "middle", "voronoi", "dp", "graphcut"
// A row of the lab: the method's own map, or (running) the method's map
// through the host's running fusion map; "dp", "dp_running".
std::string variantName(int method, bool running);

// ---- metrics on one overlap (grey strips and masks: overlap columns only) ----

// Per row, the first column whose left weight drops below one half
// (fusion < 128); the row's width when there is none.
std::vector<int> seamColumns(const cv::Mat& fusion);
// Mean over rows of |left - right| at the seam pixel, grey levels.
double seamCost(const std::vector<int>& seam, const cv::Mat& left, const cv::Mat& right);
// Share of rows whose seam pixel lies on a mover in either camera.
double moverCut(const std::vector<int>& seam, const cv::Mat& moversL, const cv::Mat& moversR);
// Mean |seam - prev| over the rows r with use[r] != 0, px per frame; NaN when
// no row counts or there is no previous seam.
double seamJitter(const std::vector<int>& seam, const std::vector<int>& prev,
                  const std::vector<uint8_t>& use);
// Mean over the overlap of w (1 - w) |left - right|, w = fusion / 255.
double ghosting(const cv::Mat& fusion, const cv::Mat& left, const cv::Mat& right);
// The weight step at the overlap's two edges, where the panorama switches
// from one camera alone to the blend: mean over rows of (1 - w) |left - right|
// at the first column plus w |left - right| at the last, w = fusion / 255.
double edgeStep(const cv::Mat& fusion, const cv::Mat& left, const cv::Mat& right);

// The peers' seams between an overlap's two colour camera images, found on
// the mask grid and scaled to full resolution as the library scales its own
// mask (bilinear): fusion gets the overlap's left weight (0-255).
class PeerSeams {
public:
    PeerSeams(int camWidth, int overlap, int height, int cellW, int cellH);
    void find(int method, const cv::Mat& leftCam, const cv::Mat& rightCam, cv::Mat& fusion);

private:
    int camW_, overlap_, height_, cols_, rows_, margin_;
};

// What the lab reads of one played frame, copied out of the rig (it owns
// its pixels: the rig may play the next frame meanwhile).
struct LabFrame {
    int frame = 0;
    std::vector<cv::Mat> colour, grey, movers, motion;  // per camera, shifts applied
    std::vector<cv::Mat> fusion;                        // per overlap: the library's own map
    std::vector<double> seamMs;  // per overlap: process and fusion-map copy, ms
};
LabFrame labFrame(const Rig& rig, int frame);

struct QualityRow {
    int frame, overlap, method;
    bool running;
    double cost, cut, jitterAll, jitterStatic, ghost, edge, ms;
};

class SeamLab {
public:
    // blend: the host's running-map weight A (0: raw maps only). Without
    // graphCut the graph cut is not run; without moversKnown mover_cut is
    // left empty (the mover masks are not the scene's).
    SeamLab(const RigConfig& cfg, int frameHeight, bool graphCut = true, bool moversKnown = true);
    // Measures every method on every overlap of the frame, raw and through
    // the running map.
    void measure(const LabFrame& f);
    void measure(const Rig& rig, int frame) { measure(labFrame(rig, frame)); }
    const std::vector<QualityRow>& rows() const { return rows_; }
    // The last frame's map of a method on an overlap, its own or through the
    // running map (empty for a method not run).
    const cv::Mat& map(int overlap, int method, bool running) const {
        return maps_[overlap][method + (running ? kSeamMethods : 0)];
    }
    bool runs(int method) const { return method != kGraphCut || graphCut_; }
    void writeCsv(const std::string& path) const;
    // JSON object: per method the means over the run.
    std::string summaryJson() const;
    void drawChart(cv::Mat& out) const;
    // The last frame's overlaps, blended as the host blends them, movers
    // tinted, the library's blend band shaded and every method's seam drawn
    // (through the running map when the host keeps one).
    void drawSeams(const Rig& rig, cv::Mat& out) const;

private:
    int camW_, overlap_;
    double blend_;
    bool graphCut_, moversKnown_;
    PeerSeams peers_;
    std::vector<QualityRow> rows_;
    // [overlap][method + running x kSeamMethods]: last seam and map; per
    // overlap and method the running map in Q8.
    std::vector<std::vector<std::vector<int>>> seams_;
    std::vector<std::vector<cv::Mat>> maps_, runningQ8_;
    int variants() const { return blend_ > 0 ? 2 * kSeamMethods : kSeamMethods; }
    // Per variant, per figure of the chart: the mean over the rows that have it.
    std::vector<std::vector<double>> means() const;
};

// Runs a lab on a thread of its own, the frames in the order pushed: the
// rows are those of measuring each frame on the caller's thread.
class LabThread {
public:
    explicit LabThread(SeamLab& lab, size_t maxWaiting = 2);
    ~LabThread();  // finishes
    LabThread(const LabThread&) = delete;
    LabThread& operator=(const LabThread&) = delete;
    // Hands a frame over; waits while maxWaiting frames are not yet measured.
    void push(LabFrame f);
    // Waits until every frame is measured; rethrows what the lab threw.
    void finish();
    double busySeconds() const { return busy_; }      // measuring
    double waitedSeconds() const { return waited_; }  // the caller, in push and finish

private:
    void run();
    SeamLab& lab_;
    size_t maxWaiting_;
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<LabFrame> queue_;
    bool done_ = false, busyNow_ = false;
    std::exception_ptr error_;
    double busy_ = 0, waited_ = 0;
    std::thread thread_;
};

// Seam line (red) and blend band (left weight between 10 % and 90 %, tinted)
// of every overlap, drawn on a panorama.
void drawSeamBand(const std::vector<cv::Mat>& fusion, int camWidth, int overlap, cv::Mat& pano);

}  // namespace zsim

#endif
