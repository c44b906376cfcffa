// What the simulated rig is: its cameras, cells and library switches, the
// misalignment each overlap's right camera sees over time, and how the rig
// sits in a frame.
#ifndef ZELVO_SIM_RIG_CONFIG_H
#define ZELVO_SIM_RIG_CONFIG_H

#include <string>
#include <utility>
#include <vector>

#include "rig/render.h"

namespace zsim {

// Misalignment of one overlap over time: (first frame, pixels) steps, frames
// strictly increasing; before the first step the displacement is 0.
struct Schedule {
    std::vector<std::pair<int, int>> steps;
    int at(int frame) const;
    std::string str() const;  // "0:8,50:-4"
};
// The furthest the library moves an overlap's shift either way, px: a larger
// misalignment cannot be corrected.
constexpr int kShiftReach = 32;
// Parses "F:PX[,F:PX...]" or a plain "PX" (= "0:PX"), |PX| at most
// kShiftReach. On failure returns false and says why in err.
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
    bool motionAware = false;        // the library's motion-aware mode (the program turns it on)
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
// "" or why the overlap is too wide for the rig's cameras: at least a camera
// wide, or with 3 or more cameras more than half a camera (a middle camera's
// two overlaps would cross).
std::string overlapTooWide(const RigConfig& rig);
// Checks the rig against a frame size; returns "" or the reason it cannot run.
std::string checkRig(const RigConfig& rig, int frameW, int frameH);

}  // namespace zsim

#endif
