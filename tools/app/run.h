// Everything zelvo-stitch-sim does before it plays and writes: the footage
// scanned in full, the rig fitted to it, the output folder checked, the
// background model; and the one run (Session) that plays and writes.
#ifndef ZELVO_SIM_RUN_H
#define ZELVO_SIM_RUN_H

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "app/options.h"
#include "io/input.h"
#include "io/results.h"
#include "lab/lab.h"
#include "rig/rig.h"

namespace zsim {

// The program's name in its messages.
constexpr const char* kProg = "zelvo-stitch-sim";
// One message line on standard error: "zelvo-stitch-sim: msg".
void note(const std::string& msg);

// The footage as scanned: one source cut into cameras, or one per camera.
struct Inputs {
    std::vector<Source> sources;
    bool realRig = false;
    int frames = 0;  // frames the run plays
    cv::Size size;   // of every frame of every source
};

// Scans every input in full (opt.input "" or the bundled footage at
// `bundled`); "" or why the run cannot start.
std::string scanInputs(const Options& opt, const std::string& bundled, Inputs& in);
// Fits the rig to the footage; "" or why it cannot.
std::string fitRigToInputs(Options& opt, const Inputs& in);
// "" or why the output folder cannot be made.
std::string checkOut(const std::filesystem::path& out);
// The background where parallax or the seam comparison needs one (empty
// where none, or where it does not explain the clip: said in one line).
cv::Mat sceneBackground(Options& opt, const Inputs& in, RunInfo& run);
// What the run plays and where the rig sits in the footage; says it unless quiet.
RunInfo describeRun(const Options& opt, const Inputs& in);

// One run of the rig over the footage and everything it writes.
class Session {
public:
    Session(const Options& opt, const Inputs& in, const RunInfo& run, const cv::Mat& background);
    // Plays every frame; "" or why the footage stopped reading.
    std::string playAll(std::chrono::steady_clock::time_point t0);
    // The results of the whole run, summary.json last.
    void writeResults(RunInfo& run, std::chrono::steady_clock::time_point t0);
    const std::vector<Track>& tracks() const { return tracks_; }

private:
    // After frame f: the shifts, the seam figures, the video frame and the
    // panoramas (every frame's with --write-frames, the last one always).
    void record(int f);

    const Options& opt_;
    const Inputs& in_;
    std::filesystem::path out_;
    Rig rig_;
    std::vector<Track> tracks_;
    std::unique_ptr<SeamLab> lab_;
    std::unique_ptr<LabThread> labThread_;  // after lab_: finishes before it goes
    std::string comparisonNote_;
    cv::VideoWriter video_;
};

}  // namespace zsim

#endif
