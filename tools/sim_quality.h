// Seam quality of the simulated rig, measured every frame on the
// full-resolution overlap for the library's seam (as the host blends with it)
// and, on the same strips and mask grid, for a fixed middle seam and OpenCV's
// Voronoi, DP and graph-cut seam finders. Writes quality.csv, the per-method
// means for summary.json, quality.png and seams.png.
#ifndef ZELVO_SIM_QUALITY_H
#define ZELVO_SIM_QUALITY_H

#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace zsim {

class Rig;
struct RigConfig;

enum SeamMethod { kLibrary, kMiddle, kVoronoi, kDp, kGraphCut, kSeamMethods };
const char* methodName(int method);  // "library", "middle", "voronoi", "dp", "graphcut"

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

struct QualityRow {
    int frame, overlap, method;
    double cost, cut, jitterAll, jitterStatic, ghost, ms;
};

class SeamLab {
public:
    SeamLab(const RigConfig& cfg, int frameHeight);
    // Measures every method on every overlap of the frame just played.
    void measure(const Rig& rig, int frame);
    void writeCsv(const std::string& path) const;
    // JSON object: per method the means over the run.
    std::string summaryJson() const;
    void drawChart(cv::Mat& out) const;
    // The last frame's overlaps, blended as the host blends them, movers
    // tinted, the library's blend band shaded and every method's seam drawn.
    void drawSeams(const Rig& rig, cv::Mat& out) const;

private:
    int camW_, overlap_;
    PeerSeams peers_;
    std::vector<QualityRow> rows_;
    std::vector<std::vector<std::vector<int>>> seams_;  // [overlap][method]: last seam
    std::vector<std::vector<cv::Mat>> maps_;            // [overlap][method]: last fusion map
    // Per method, per figure of the chart: the mean over the rows that have it.
    std::vector<std::vector<double>> means() const;
};

// Seam line (red) and blend band (left weight between 10 % and 90 %, tinted)
// of every overlap, drawn on a panorama.
void drawSeamBand(const std::vector<cv::Mat>& fusion, int camWidth, int overlap, cv::Mat& pano);

}  // namespace zsim

#endif
