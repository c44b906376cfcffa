// Rigs of real footage for the benchmarks: cameras cut from the bundled
// sample frames (scaled up for the larger geometries), with the simulator's
// host (zelvo_sim_host) filling their buffers: overlap strips in the strip
// buffer, packed motion bitmaps from frame differences, LUTs whose vertices
// point at the motion cell under them, the library and its stitchers, the
// frame record.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "zelvo_stitch.h"

namespace zsim {
class Stitchers;
}

namespace zb {

struct Geometry {
    int camW, camH, overlapW;
    const char* name;
};

// Index 0: 768x576 / 192, 1: 1920x1080 / 320, 2: 3840x2160 / 640; cells 4x4.
const Geometry& geometry(int g);
constexpr int kCell = 4;
constexpr int kBlocks = 5;
constexpr int kLutGrid = 17;
constexpr int kFrames = 6;  // frames cycled through in steady state

// Sample frame k (grey), 768 x 576.
const cv::Mat& sample(int k);

// A side-by-side rig of `cams` cameras of one geometry, with kFrames frames
// of strip buffers and motion bitmaps prepared up front. Each neighbouring
// pair sees the scene with a small parallax (6 % of the overlap), so the
// strips are alike but not identical.
struct Rig {
    Rig(int g, int cams);
    ~Rig();
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    // Points the frame record at frame k's strip buffer and bitmaps.
    void selectFrame(int k);

    Geometry geo;
    int cams;
    int mdW, mdH, rowBytes;
    std::vector<std::vector<uint32_t>> luts;              // per camera
    std::vector<cv::Mat> stripBufs;                       // per frame
    std::vector<std::vector<std::vector<uint8_t>>> bits;  // per frame, per camera
    std::vector<std::vector<uint8_t>> fusion;             // per overlap
    std::vector<DynStitcher*> st;                         // owned by library
    std::unique_ptr<zsim::Stitchers> library;
    _ZELVO_STITCH_INFO info{};

private:
    void renderFrames();
    void startStitchers();
};

// The one live rig (the library's tables are process-wide, so rigs are not
// kept side by side): built on first use of (g, cams), replacing another.
Rig& rigFor(int g, int cams);

// Mask-grid strips as preProcess makes them from a pair of full-resolution
// overlap strips (nearest-neighbour scaling by kCell, diff = 255 - |l - r|).
struct GridStrips {
    cv::Mat left, right, diff;
};
GridStrips gridFromStrips(const cv::Mat& leftStrip, const cv::Mat& rightStrip);

// What the seam flood is timed on; its cost follows the difference image.
// Footage: the rig's own strips (the same scene seen with a 6 % parallax).
// Busy: the left strip of the footage against a copy of it sheared
// horizontally (parallax growing from 0 to 4 % of the overlap down the
// strip), with 8 % more gain and Gaussian noise (sigma 4 grey levels): a
// synthetic stand-in for a rig with depth, exposure differences and sensor
// noise. Realistic: the simulator's default realistic rig on the bundled
// colour frames (movers displaced by its parallax in the right camera, its
// exposure step and sensor noise), the overlap scaled to the geometry.
// Other pairs of strips plug in through gridFromStrips.
enum class Content { Footage = 0, Busy = 1, Realistic = 2 };
const char* contentName(Content c);

// Mask-grid strips of frame k of overlap 0 of a rig.
GridStrips gridStrips(Rig& rig, int k, Content content = Content::Footage);

// Decoded motion map of one camera of frame k, taken from the library
// through a one-image frame call (it decodes and touches no overlap).
std::vector<uint8_t> decodedMap(Rig& rig, int k, int camera);

}  // namespace zb
