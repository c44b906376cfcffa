// The simulator's command line: the options, their parsing and the help text.
#ifndef ZELVO_SIM_OPTIONS_H
#define ZELVO_SIM_OPTIONS_H

#include <string>
#include <vector>

#include "rig/rig_config.h"

namespace zsim {

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
