// Command line of zelvo-stitch-sim.
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>

#include "app/options.h"
#include "io/results.h"
#include "zelvo_stitch.h"

namespace zsim {

namespace {

bool toInt(const std::string& s, long long& v) {
    if (s.empty() || std::isspace((unsigned char)s[0])) return false;
    char* end = nullptr;
    errno = 0;
    v = std::strtoll(s.c_str(), &end, 10);
    return errno == 0 && *end == '\0';
}

// Walks argv one option at a time. "--name=value" and "--name value" are the
// same; a flag given a value and an option without one are errors. Every
// reader returns false with the reason in err.
class ArgCursor {
public:
    ArgCursor(int argc, char** argv) : argc_(argc), argv_(argv) {}
    std::string err;

    bool next() {
        if (++a_ >= argc_) return false;
        name_ = argv_[a_];
        value_.clear();
        inline_ = false;
        const auto eq = name_.find('=');
        if (name_.rfind("--", 0) == 0 && eq != std::string::npos) {
            value_ = name_.substr(eq + 1);
            name_ = name_.substr(0, eq);
            inline_ = true;
        }
        return true;
    }
    const std::string& name() const { return name_; }
    const char* token() const { return argv_[a_]; }
    bool is(const char* n) const { return name_ == n; }

    // The flag n, which takes no value, sets dst.
    bool flag(bool& dst, bool v = true) {
        if (inline_) return fail(name_ + " takes no value");
        dst = v;
        return true;
    }
    bool path(std::string& dst) {
        if (!value()) return false;
        if (value_.empty()) return fail(name_ + ": empty path");
        dst = value_;
        return true;
    }
    bool integer(int& dst, long long lo, long long hi) {
        long long v;
        if (!value()) return false;
        if (!toInt(value_, v) || v < lo || v > hi)
            return fail(name_ + ": '" + value_ + "' is not a whole number from " +
                        std::to_string(lo) + " to " + std::to_string(hi));
        dst = int(v);
        return true;
    }
    bool real(double& dst, double lo, double hi) {
        if (!value()) return false;
        char* end = nullptr;
        const double v = value_.empty() ? NAN : std::strtod(value_.c_str(), &end);
        if (!(v >= lo && v <= hi) || *end != '\0') {
            std::ostringstream m;
            m << name_ << ": '" << value_ << "' is not a number from " << lo << " to " << hi;
            return fail(m.str());
        }
        dst = v;
        return true;
    }
    bool boolean(bool& dst) {
        int v = 0;
        if (!integer(v, 0, 1)) return false;
        dst = v != 0;
        return true;
    }
    bool cell(int& w, int& h) {
        if (!value()) return false;
        const auto x = value_.find_first_of("xX");
        long long cw, ch;
        if (x == std::string::npos || !toInt(value_.substr(0, x), cw) ||
            !toInt(value_.substr(x + 1), ch) || cw < 1 || ch < 1 || cw > 32 || ch > 64)
            return fail("--cell: '" + value_ +
                        "' is not WxH with a width of 1 to 32 and a height of 1 to 64");
        w = int(cw);
        h = int(ch);
        return true;
    }
    bool schedule(std::vector<Schedule>& dst) {
        if (!value()) return false;
        Schedule s;
        std::string why;
        if (!parseSchedule(value_, s, why)) return fail("--misalign: " + why);
        dst.push_back(s);
        return true;
    }
    bool fail(const std::string& why) {
        err = why;
        return false;
    }

private:
    // The option's value: inline, or the next token unless that is an option.
    bool value() {
        if (inline_) return true;
        if (a_ + 1 >= argc_ || std::string(argv_[a_ + 1]).rfind("--", 0) == 0)
            return fail(name_ + " needs a value");
        value_ = argv_[++a_];
        return true;
    }

    int argc_;
    char** argv_;
    int a_ = 0;
    std::string name_, value_;
    bool inline_ = false;
};

// What the options said that is checked once all are read.
struct Pending {
    std::vector<Schedule> schedules;
    bool camerasGiven = false;
    bool seamBlendGiven = false;  // else it follows the library's mode
};

// Input, output and message options; false with c.err when the option is
// bad, and when it is none of these (c.err empty).
bool runOption(ArgCursor& c, Options& opt) {
    if (c.is("-h") || c.is("--help")) return c.flag(opt.help);
    if (c.is("-q") || c.is("--quiet")) return c.flag(opt.quiet);
    if (c.is("--seams")) return c.flag(opt.seams);
    if (c.is("--write-frames")) return c.flag(opt.writeFrames);
    if (c.is("--no-frames")) return c.flag(opt.writeFrames, false);
    if (c.is("--no-quality")) return c.flag(opt.quality, false);
    if (c.is("--no-video")) return c.flag(opt.video, false);
    if (c.is("--graphcut")) {
        std::string when;
        if (!c.path(when)) return false;
        if (when != "auto" && when != "always")
            return c.fail("--graphcut: '" + when + "' is not auto or always");
        opt.graphcutAlways = when == "always";
        return true;
    }
    if (c.is("--input")) return c.path(opt.input);
    if (c.is("--out")) return c.path(opt.out);
    if (c.is("--frames")) return c.integer(opt.frames, 1, 1000000);
    if (c.is("--camera")) {
        std::string p;
        if (!c.path(p)) return false;
        opt.cameraInputs.push_back(p);
        return true;
    }
    if (c.is("--dbg")) return c.integer(opt.rig.dbg, -1000000, 1000000);
    return false;
}

// Rig, camera rendering and library-switch options; as runOption.
bool rigOption(ArgCursor& c, Options& opt, Pending& p) {
    RigConfig& r = opt.rig;
    RenderConfig& rc = r.render;
    if (c.is("--cameras")) {
        p.camerasGiven = true;
        return c.integer(r.cameras, 2, ZELVO_STITCH_MAX_IMAGES);
    }
    if (c.is("--width")) {
        // 4080 px keep the motion map within the 255 blocks a stitcher stores.
        opt.widthGiven = true;
        return c.integer(r.camWidth, 16, 4080);
    }
    if (c.is("--overlap")) {
        opt.overlapGiven = true;
        return c.integer(r.overlap, 2, 4080);
    }
    if (c.is("--cell")) return c.cell(r.cellW, r.cellH);
    if (c.is("--blocks")) return c.integer(r.blocks, 1, 64);
    if (c.is("--lut-grid")) return c.integer(r.lutGrid, 2, 1024);
    if (c.is("--period")) return c.integer(r.period, 0, 1000000);
    if (c.is("--motion-threshold")) return c.integer(r.motionThreshold, 0, 255);
    if (c.is("--misalign")) return c.schedule(p.schedules);
    if (c.is("--ideal")) {
        bool ideal = false;
        if (!c.flag(ideal)) return false;
        rc = RenderConfig{};
        return true;
    }
    if (c.is("--parallax")) return c.integer(rc.parallaxPx, -32, 32);
    if (c.is("--exposure")) return c.real(rc.exposurePct, 0, 50);
    if (c.is("--vignetting")) return c.real(rc.vignettingPct, 0, 90);
    if (c.is("--noise")) return c.real(rc.noiseSigma, 0, 32);
    if (c.is("--motion-levels")) return c.boolean(r.motionLevels);
    if (c.is("--seam-blend")) return p.seamBlendGiven = true, c.real(r.seamBlend, 0, 1);
    if (c.is("--reset-mask")) return c.boolean(r.resetMask);
    if (c.is("--mask-blocks")) return c.boolean(r.maskBlocks);
    if (c.is("--weighted-history")) return c.boolean(r.weightedHistory);
    if (c.is("--motion-aware")) return c.boolean(r.motionAware);
    return false;
}

// --camera given: a real rig of that many cameras, without misalignment.
std::string checkRealRig(Options& opt, const Pending& p) {
    RigConfig& r = opt.rig;
    const int n = int(opt.cameraInputs.size());
    if (n < 2 || n > ZELVO_STITCH_MAX_IMAGES)
        return "--camera: given " + count(n, "time") + "; a rig has 2 to " +
               std::to_string(ZELVO_STITCH_MAX_IMAGES) + " cameras";
    if (!opt.input.empty())
        return "--camera and --input exclude each other: --input cuts the cameras from one "
               "footage, --camera gives each its own";
    if (!p.schedules.empty())
        return "--misalign has no meaning with --camera: a real rig's cameras are misaligned "
               "as they are";
    if (p.camerasGiven && r.cameras != n)
        return "--cameras " + std::to_string(r.cameras) + " but --camera given " +
               std::to_string(n) + " times";
    r.cameras = n;
    return "";
}

// One schedule per overlap: the given ones, then the defaults.
std::string applySchedules(RigConfig& r, const std::vector<Schedule>& schedules) {
    const int overlaps = r.cameras - 1;
    if (int(schedules.size()) > overlaps)
        return "--misalign: given " + std::to_string(schedules.size()) + " times but " +
               std::to_string(r.cameras) + " cameras have " + count(overlaps, "overlap");
    static const int defaults[] = {8, -12, 8, -12};
    r.misalign = schedules;
    for (int i = int(schedules.size()); i < overlaps; ++i)
        r.misalign.push_back(Schedule{{{0, defaults[i % 4]}}});
    return "";
}

// What can be told of --width and --overlap before the footage is known
// (without both, the rig is fitted to the footage once its width is; the
// overlap's mask columns are checked on the fitted rig).
std::string checkGivenRig(const Options& opt) {
    const RigConfig& r = opt.rig;
    if (opt.widthGiven && opt.overlapGiven) return overlapTooWide(r);
    return "";
}

}  // namespace

bool parseArgs(int argc, char** argv, Options& opt, std::string& err) {
    ArgCursor c(argc, argv);
    Pending p;
    while (c.next()) {
        if (runOption(c, opt) || rigOption(c, opt, p)) continue;
        err = c.err.empty() ? "unknown argument '" + std::string(c.token()) + "' (see --help)"
                            : c.err;
        return false;
    }
    // The motion-aware seam needs no smoothing by the host; the specified one
    // jumps from frame to frame without it.
    if (!p.seamBlendGiven) opt.rig.seamBlend = opt.rig.motionAware ? 0.0 : 0.05;
    if (!opt.cameraInputs.empty() && !(err = checkRealRig(opt, p)).empty()) return false;
    if (!(err = applySchedules(opt.rig, p.schedules)).empty()) return false;
    return (err = checkGivenRig(opt)).empty();
}

}  // namespace zsim
