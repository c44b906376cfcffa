// Command line of zelvo-stitch-sim.
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>

#include "sim_host.h"

namespace zsim {

std::string usage(const char* prog) {
    std::ostringstream u;
    u << "Usage: " << prog << " [options]\n"
      << "Plays frames through a simulated rig of side-by-side cameras and runs\n"
         "libzelvo_stitch on it as a device host would (closed loop: every shift the\n"
         "library writes moves the sampling of the overlap's right camera).\n"
         "\n"
         "Input and output:\n"
         "  --input PATH         a folder of JPEG/PNG frames (played in natural order: f2\n"
         "                       before f10), one image repeated, or a video file (.avi,\n"
         "                       .mp4, .mkv, ...); the cameras are cut from each frame\n"
         "                       (default: the bundled footage)\n"
         "  --camera PATH        a real rig instead: one folder, image or video per camera,\n"
         "                       given once per camera from left to right (2 to 5 times),\n"
         "                       already warped so that neighbours share --overlap columns;\n"
         "                       no true misalignment is known, convergence is reported as\n"
         "                       settled (shift unchanged for 5 tracking frames)\n"
         "  --frames N           frames to play (default: all; one image: 30)\n"
         "  --out DIR            output folder, created with its parents (default: out)\n"
         "  --seams              draw the seam (red) and blend band (yellow) of every overlap\n"
         "                       on the panoramas\n"
         "  --write-frames       also write every frame's panorama as\n"
         "                       frames/panorama_NNNN.png (off: about 0.7 MB a frame at\n"
         "                       768x576; without it a run writes about 2.5 MB)\n"
         "  --no-frames          no per-frame panoramas (the default)\n"
         "Rig (--width and --overlap fitted to the footage unless given):\n"
         "  --cameras N          cameras side by side, 2 to 5 (default 3; with --camera, the\n"
         "                       number of --camera options)\n"
         "  --width PX           width of one camera image (default: the whole frame width\n"
         "                       used, neighbours sharing half a camera; 384 on 768 px\n"
         "                       footage with 3 cameras); wider footage is used centred\n"
         "  --overlap PX         columns shared by neighbouring cameras (default: the\n"
         "                       largest even number of cells up to half the width, 192 on\n"
         "                       768 px footage); at most half the width with 3+ cameras\n"
         "  --cell WxH           mask cell in pixels (default 4x4)\n"
         "  --blocks N           mask blocks per overlap (default 4)\n"
         "  --lut-grid N         LUT vertices per row and column (default 33)\n"
         "  --period N           tracking period in frames, 0 = every frame (default 2)\n"
         "  --misalign SCHEDULE  displacement of an overlap's right camera in pixels, as\n"
         "                       FRAME:PX[,FRAME:PX...] or PX (= 0:PX), |PX| <= 64; give it\n"
         "                       once per overlap, left to right (default 8, -12, 8, -12)\n"
         "  --motion-threshold N mean grey difference that marks a 16x16 block as moving\n"
         "                       (default 8)\n"
         "Realistic cameras and the host's seam handling:\n"
         "  --ideal              cameras that differ only by the misalignment: parallax,\n"
         "                       exposure, vignetting and noise 0 (later options override)\n"
         "  --parallax PX        extra displacement of movers (people, cars) in each\n"
         "                       overlap's right camera, -32 to 32 (default 4)\n"
         "  --exposure PCT       gain step between neighbouring cameras, per cent (default 5)\n"
         "  --vignetting PCT     light lost in the image corners, per cent (default 0)\n"
         "  --noise SIGMA        sensor noise, grey levels, 0 to 32 (default 2)\n"
         "  --motion-levels B    pass graded 0-3 motion maps to process, not 0/1 (default 0)\n"
         "  --seam-blend A       blend each new fusion map into the host's running map:\n"
         "                       A x new + (1 - A) x running, 0 = off (default 0.05)\n"
         "  --no-quality         skip the seam comparison with the peers\n"
         "  --no-video           skip panorama.mp4\n"
         "Library switches (zelvo_stitch_init), 0 or 1:\n"
         "  --reset-mask B       random reset of the fusion map after quiet frames (default 0)\n"
         "  --mask-blocks B      hold the seam in blocks without enough motion (default 0)\n"
         "  --weighted-history B weighted motion history (default 1)\n"
         "Messages:\n"
         "  --dbg N              library print switch (zelvo_stitch_set_dbg_out; 1 = verbose\n"
         "                       diagnostics on standard output; default 0)\n"
         "  --quiet              no progress bar, no summary line\n"
         "  --help               this text\n"
         "\n"
         "Writes to the output folder: panorama.png (the last frame), preview.png\n"
         "(cameras of the last frame side by side above its panorama), fusion_map_I.png,\n"
         "shift.csv, shift.png, summary.json, with --write-frames frames/ and, unless\n"
         "turned off, panorama.mp4 (the panoramas with the seams and blend bands the host\n"
         "uses) and the seam comparison: per frame, overlap and method (library, middle,\n"
         "voronoi, dp, graphcut) quality.csv with seam_cost (mean |left - right| at the\n"
         "seam, grey levels), mover_cut (share of rows whose seam lies on a mover),\n"
         "jitter_all and jitter_static (seam movement, px per frame, all rows and rows\n"
         "without motion), ghosting (mean w (1 - w) |left - right|) and ms; the means in\n"
         "summary.json and quality.png; seams.png (the last frame's seams).\n"
         "Every input is checked in full (every frame decoded, sizes compared) before\n"
         "anything is written.\n"
         "Exit status: 0 success; 2 bad arguments or input (nothing written); 3 the\n"
         "output cannot be written (folder not creatable, disk full); 1 the library\n"
         "failed.\n";
    return u.str();
}

namespace {

bool toInt(const std::string& s, long long& v) {
    if (s.empty() || std::isspace((unsigned char)s[0])) return false;
    char* end = nullptr;
    errno = 0;
    v = std::strtoll(s.c_str(), &end, 10);
    return errno == 0 && *end == '\0';
}

}  // namespace

bool parseArgs(int argc, char** argv, Options& opt, std::string& err) {
    std::vector<Schedule> schedules;
    bool seenCameras = false;
    for (int a = 1; a < argc; ++a) {
        std::string name = argv[a], value;
        bool inlineValue = false;
        if (name.rfind("--", 0) == 0) {
            const auto eq = name.find('=');
            if (eq != std::string::npos) {
                value = name.substr(eq + 1);
                name = name.substr(0, eq);
                inlineValue = true;
            }
        }
        auto flag = [&](const char* n) {
            if (name != n) return false;
            if (inlineValue) err = std::string(n) + " takes no value";
            return true;
        };
        bool missing = false;
        auto takes = [&](const char* n) {
            if (name != n) return false;
            if (!inlineValue) {
                if (a + 1 >= argc || std::string(argv[a + 1]).rfind("--", 0) == 0) {
                    missing = true;
                    err = std::string(n) + " needs a value";
                    return true;
                }
                value = argv[++a];
            }
            return true;
        };
        // Integer option within [lo, hi].
        auto intArg = [&](const char* n, long long lo, long long hi, int& dst) {
            long long v;
            if (!toInt(value, v) || v < lo || v > hi) {
                err = std::string(n) + ": '" + value + "' is not a whole number from " +
                      std::to_string(lo) + " to " + std::to_string(hi);
                return false;
            }
            dst = int(v);
            return true;
        };
        auto realArg = [&](const char* n, double lo, double hi, double& dst) {
            char* end = nullptr;
            const double v = value.empty() ? NAN : std::strtod(value.c_str(), &end);
            if (!(v >= lo && v <= hi) || *end != '\0') {
                std::ostringstream m;
                m << n << ": '" << value << "' is not a number from " << lo << " to " << hi;
                err = m.str();
                return false;
            }
            dst = v;
            return true;
        };
        auto boolArg = [&](const char* n, bool& dst) {
            int v = 0;
            if (!intArg(n, 0, 1, v)) return false;
            dst = v != 0;
            return true;
        };

        RigConfig& r = opt.rig;
        if (name == "-h" || flag("--help")) {
            if (!err.empty()) return false;
            opt.help = true;
        } else if (name == "-q" || flag("--quiet")) {
            if (!err.empty()) return false;
            opt.quiet = true;
        } else if (flag("--seams")) {
            if (!err.empty()) return false;
            opt.seams = true;
        } else if (flag("--write-frames") || flag("--no-frames")) {
            if (!err.empty()) return false;
            opt.writeFrames = name == "--write-frames";
        } else if (takes("--input")) {
            if (missing) return false;
            if (value.empty()) return err = "--input: empty path", false;
            opt.input = value;
        } else if (takes("--camera")) {
            if (missing) return false;
            if (value.empty()) return err = "--camera: empty path", false;
            opt.cameraInputs.push_back(value);
        } else if (takes("--out")) {
            if (missing) return false;
            if (value.empty()) return err = "--out: empty path", false;
            opt.out = value;
        } else if (takes("--frames")) {
            if (missing || !intArg("--frames", 1, 1000000, opt.frames)) return false;
        } else if (takes("--cameras")) {
            if (missing || !intArg("--cameras", 2, ZELVO_STITCH_MAX_IMAGES, r.cameras))
                return false;
            seenCameras = true;
        } else if (takes("--width")) {
            // 4080 px keep the motion map within the 255 blocks a stitcher stores.
            if (missing || !intArg("--width", 16, 4080, r.camWidth)) return false;
            opt.widthGiven = true;
        } else if (takes("--overlap")) {
            if (missing || !intArg("--overlap", 2, 4080, r.overlap)) return false;
            opt.overlapGiven = true;
        } else if (takes("--cell")) {
            if (missing) return false;
            const auto x = value.find_first_of("xX");
            long long w, h;
            if (x == std::string::npos || !toInt(value.substr(0, x), w) ||
                !toInt(value.substr(x + 1), h) || w < 1 || h < 1 || w > 32 || h > 64)
                return err = "--cell: '" + value +
                             "' is not WxH with a width of 1 to 32 and a height of 1 to 64",
                       false;
            r.cellW = int(w);
            r.cellH = int(h);
        } else if (takes("--blocks")) {
            if (missing || !intArg("--blocks", 1, 64, r.blocks)) return false;
        } else if (takes("--lut-grid")) {
            if (missing || !intArg("--lut-grid", 2, 1024, r.lutGrid)) return false;
        } else if (takes("--period")) {
            if (missing || !intArg("--period", 0, 1000000, r.period)) return false;
        } else if (takes("--motion-threshold")) {
            if (missing || !intArg("--motion-threshold", 0, 255, r.motionThreshold)) return false;
        } else if (flag("--ideal")) {
            if (!err.empty()) return false;
            r.render = RenderConfig{};
        } else if (flag("--no-quality") || flag("--no-video")) {
            if (!err.empty()) return false;
            (name == "--no-video" ? opt.video : opt.quality) = false;
        } else if (takes("--parallax")) {
            if (missing || !intArg("--parallax", -32, 32, r.render.parallaxPx)) return false;
        } else if (takes("--exposure")) {
            if (missing || !realArg("--exposure", 0, 50, r.render.exposurePct)) return false;
        } else if (takes("--vignetting")) {
            if (missing || !realArg("--vignetting", 0, 90, r.render.vignettingPct)) return false;
        } else if (takes("--noise")) {
            if (missing || !realArg("--noise", 0, 32, r.render.noiseSigma)) return false;
        } else if (takes("--motion-levels")) {
            if (missing || !boolArg("--motion-levels", r.motionLevels)) return false;
        } else if (takes("--seam-blend")) {
            if (missing || !realArg("--seam-blend", 0, 1, r.seamBlend)) return false;
        } else if (takes("--reset-mask")) {
            if (missing || !boolArg("--reset-mask", r.resetMask)) return false;
        } else if (takes("--mask-blocks")) {
            if (missing || !boolArg("--mask-blocks", r.maskBlocks)) return false;
        } else if (takes("--weighted-history")) {
            if (missing || !boolArg("--weighted-history", r.weightedHistory)) return false;
        } else if (takes("--dbg")) {
            if (missing || !intArg("--dbg", -1000000, 1000000, r.dbg)) return false;
        } else if (takes("--misalign")) {
            if (missing) return false;
            Schedule s;
            std::string why;
            if (!parseSchedule(value, s, why)) return err = "--misalign: " + why, false;
            schedules.push_back(s);
        } else {
            err = "unknown argument '" + std::string(argv[a]) + "' (see --help)";
            return false;
        }
    }

    RigConfig& r = opt.rig;
    if (!opt.cameraInputs.empty()) {
        const int n = int(opt.cameraInputs.size());
        if (n < 2 || n > ZELVO_STITCH_MAX_IMAGES)
            return err = "--camera: given " + count(n, "time") + "; a rig has 2 to " +
                         std::to_string(ZELVO_STITCH_MAX_IMAGES) + " cameras",
                   false;
        if (!opt.input.empty())
            return err = "--camera and --input exclude each other: --input cuts the cameras "
                         "from one footage, --camera gives each its own",
                   false;
        if (!schedules.empty())
            return err = "--misalign has no meaning with --camera: a real rig's cameras are "
                         "misaligned as they are",
                   false;
        if (seenCameras && r.cameras != n)
            return err = "--cameras " + std::to_string(r.cameras) + " but --camera given " +
                         std::to_string(n) + " times",
                   false;
        r.cameras = n;
    }
    const int overlaps = r.cameras - 1;
    if (int(schedules.size()) > overlaps) {
        err = "--misalign: given " + std::to_string(schedules.size()) + " times but " +
              std::to_string(r.cameras) + " cameras have " + std::to_string(overlaps) +
              " overlap" + (overlaps == 1 ? "" : "s");
        return false;
    }
    static const int defaults[] = {8, -12, 8, -12};
    r.misalign = schedules;
    for (int i = int(schedules.size()); i < overlaps; ++i)
        r.misalign.push_back(Schedule{{{0, defaults[i % 4]}}});

    // Without both, the rig is fitted to the footage once its width is known.
    if (opt.widthGiven && opt.overlapGiven && r.overlap >= r.camWidth) {
        err = "--overlap " + std::to_string(r.overlap) + " must be below --width " +
              std::to_string(r.camWidth);
        return false;
    }
    if (opt.widthGiven && opt.overlapGiven && r.cameras > 2 && 2 * r.overlap > r.camWidth) {
        err = "--overlap " + std::to_string(r.overlap) + " is more than half of --width " +
              std::to_string(r.camWidth) + ": a middle camera's two overlaps would cross";
        return false;
    }
    const int cells = r.overlap / r.cellW;
    if (opt.overlapGiven && (cells < 2 || cells % 2 != 0)) {
        err = "--overlap " + std::to_string(r.overlap) + " with --cell width " +
              std::to_string(r.cellW) + " gives " + std::to_string(cells) +
              " mask columns; it needs an even number, at least 2";
        return false;
    }
    return true;
}

}  // namespace zsim
