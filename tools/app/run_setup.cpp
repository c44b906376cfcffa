// Scanning the footage, fitting the rig, checking the output folder and the
// background model of a run; see run.h.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "app/run.h"
#include "align/align.h"

namespace zsim {

namespace fs = std::filesystem;

void note(const std::string& msg) { std::fprintf(stderr, "%s: %s\n", kProg, msg.c_str()); }

std::string scanInputs(const Options& opt, const std::string& bundled, Inputs& in) {
    in.realRig = !opt.cameraInputs.empty();
    const std::vector<std::string> paths =
        in.realRig ? opt.cameraInputs
                   : std::vector<std::string>{opt.input.empty() ? bundled : opt.input};
    const std::string what = in.realRig ? "--camera" : "--input";
    std::string err;
    for (const auto& p : paths) {
        in.sources.emplace_back();
        if (!scanSource(p, opt.frames, in.sources.back(), err)) return what + ": " + err;
        const Source& s = in.sources.back();
        if (s.skipped > 0)
            note(what + ": skipped " + count(s.skipped, "file") + " in " + p + " that " +
                 (s.skipped == 1 ? "is" : "are") + " not JPEG or PNG");
        if (s.size != in.sources[0].size)
            return "--camera: " + p + " is " + sizeText(s.size) + " but " + paths[0] + " is " +
                   sizeText(in.sources[0].size) + ": all cameras must have one size";
    }
    in.size = in.sources[0].size;
    // Repeated images play as long as the others, or --frames, or 30 frames.
    int shortest = -1, longest = -1;
    for (const auto& s : in.sources)
        if (s.frames >= 0) {
            shortest = shortest < 0 ? s.frames : std::min(shortest, s.frames);
            longest = std::max(longest, s.frames);
        }
    in.frames = shortest >= 0 ? shortest : (opt.frames > 0 ? opt.frames : 30);
    if (shortest != longest)
        note("--camera: the streams have " + std::to_string(shortest) + " to " +
             std::to_string(longest) + " frames; playing the first " + count(shortest, "frame") +
             " of each");
    if (opt.frames > in.frames)
        note(what + ": --frames " + std::to_string(opt.frames) + " but the footage holds " +
             count(in.frames, "frame") + "; playing " + std::to_string(in.frames));
    return "";
}

namespace {

// A real rig's overlap measured on the first frame of every camera (see
// fitOverlapFromImages); "" or the refusal.
std::string overlapFromImages(Options& opt, const Inputs& in) {
    std::vector<cv::Mat> first(in.sources.size());
    for (size_t k = 0; k < first.size(); ++k)
        if (!FrameReader(in.sources[k]).next(first[k]))
            return "--camera: " + in.sources[k].path + " no longer reads";
    std::vector<std::string> notes;
    const std::string why =
        fitOverlapFromImages(opt.rig, first, opt.overlapGiven ? opt.rig.overlap : 0, notes);
    for (const auto& line : notes)
        if (!opt.quiet || line.rfind("warning", 0) == 0) note("--camera: " + line);
    return why.empty() ? "" : "--camera: " + why;
}

// The smallest camera the simulator plays, px both ways: below it the seam,
// the tracker's corners and the pictures' labels have no room.
constexpr int kMinCameraPx = 64;
constexpr int kMinCameraCells = 8;

// "" or why the fitted rig's cameras are too small, naming the smallest rig
// that works on footage of this height.
std::string tooSmall(const RigConfig& r, const Inputs& in) {
    const int minW = std::max(kMinCameraPx, kMinCameraCells * r.cellW);
    const int minH = std::max(kMinCameraPx, kMinCameraCells * r.cellH);
    if (r.camWidth >= minW && in.size.height >= minH) return "";
    const int n = r.cameras, o = minW / 2 / (2 * r.cellW) * (2 * r.cellW);
    const std::string footage =
        in.realRig ? "camera images of at least " + std::to_string(minW) + "x" +
                         std::to_string(minH) + " px"
                   : "footage of at least " + std::to_string(n * minW - (n - 1) * o) + "x" +
                         std::to_string(minH) + " px (" + count(n, "camera") + " of " +
                         std::to_string(minW) + " px, " + std::to_string(o) + " px overlap)";
    return "cameras of " + std::to_string(r.camWidth) + "x" + std::to_string(in.size.height) +
           " px are below the smallest the simulator plays, " + std::to_string(minW) + "x" +
           std::to_string(minH) + " px: give " + footage +
           (n > 2 && !in.realRig ? " or fewer --cameras" : "");
}

}  // namespace

std::string fitRigToInputs(Options& opt, const Inputs& in) {
    RigConfig& r = opt.rig;
    const int given = opt.overlapGiven ? r.overlap : 0;
    if (in.realRig && opt.widthGiven && r.camWidth != in.size.width)
        return "--width " + std::to_string(r.camWidth) + " but the --camera images are " +
               std::to_string(in.size.width) + " px wide";
    std::string why;
    if (in.realRig && (why = overlapFromImages(opt, in)).empty())
        why = fitRealRig(r, in.size.width, given ? given : r.overlap);
    else if (!in.realRig)
        why = fitRig(r, in.size.width, opt.widthGiven ? r.camWidth : 0, given);
    if (why.empty()) why = tooSmall(r, in);
    if (why.empty()) why = checkRig(r, in.realRig ? rigWidth(r) : in.size.width, in.size.height);
    return why;
}

std::string checkOut(const fs::path& out) {
    std::error_code ec;
    if (fs::exists(out, ec))
        return fs::is_directory(out, ec) ? (access(out.c_str(), W_OK | X_OK) == 0
                                                ? ""
                                                : "--out: " + out.string() + " is not writable")
                                         : "--out: " + out.string() + " exists and is not a folder";
    // The nearest existing folder above it: created from there down.
    fs::path up = fs::absolute(out, ec).parent_path();
    while (!fs::exists(up, ec) && up.has_parent_path() && up != up.parent_path())
        up = up.parent_path();
    if (!fs::is_directory(up, ec))
        return "--out: " + out.string() + " cannot be created: " + up.string() +
               " is a file, not a folder";
    if (access(up.c_str(), W_OK | X_OK) != 0)
        return "--out: " + out.string() + " cannot be created: " + up.string() + " is not writable";
    return "";
}

namespace {

// The static background of the footage, the median of up to 25 of the
// `total` frames played, spread evenly over them, and whether it explains them.
struct Background {
    cv::Mat image;
    BackgroundFit fit;
};
Background background(const Source& src, int total) {
    const int n = std::min(total, 25);
    std::vector<cv::Mat> picked;
    FrameReader reader(src);
    cv::Mat frame;
    for (int f = 0; f < total && int(picked.size()) < n; ++f) {
        if (!reader.next(frame)) throw std::runtime_error(src.path + " ended early");
        if (f == int(picked.size()) * total / n) picked.push_back(frame.clone());
    }
    Background b;
    b.image = medianBackground(picked);
    b.fit = backgroundFit(picked, b.image);
    return b;
}

}  // namespace

cv::Mat sceneBackground(Options& opt, const Inputs& in, RunInfo& run) {
    int& parallax = opt.rig.render.parallaxPx;
    if (in.realRig || (!opt.quality && parallax == 0)) return {};
    const Background b = background(in.sources[0], in.frames);
    if (b.fit.why.empty()) return b.image;
    std::string what = opt.quality ? "mover cut not measured" : "";
    if (parallax != 0) {
        run.parallaxReason = "not rendered: " + b.fit.why;
        what = "parallax " + std::to_string(parallax) + " px not rendered" +
               (opt.quality ? " and mover cut not measured" : "");
        parallax = 0;
    }
    note(what + ": " + b.fit.why + "; the background model does not fit this clip");
    return {};
}

namespace {
// What of a cut rig was fitted to the footage rather than given.
std::string fittedWords(bool widthGiven, bool overlapGiven) {
    if (widthGiven && overlapGiven) return "";
    if (widthGiven) return " (overlap fitted to the footage)";
    if (overlapGiven) return " (width fitted to the footage)";
    return " (fitted to the footage)";
}
}  // namespace

RunInfo describeRun(const Options& opt, const Inputs& in) {
    RunInfo run;
    run.realRig = in.realRig;
    run.frames = in.frames;
    for (const auto& s : in.sources) run.input += (run.input.empty() ? "" : ", ") + s.path;
    const RigConfig& rc = opt.rig;
    run.frameWidth = in.realRig ? rigWidth(rc) : in.size.width;
    run.firstColumn = in.realRig ? 0 : rigOrigin(rc, in.size.width);
    if (opt.quiet) return run;
    const std::string where = in.realRig
                                  ? ", one footage per camera"
                                  : ", columns " + std::to_string(run.firstColumn) + "-" +
                                        std::to_string(run.firstColumn + rigWidth(rc) - 1) +
                                        " of " + std::to_string(in.size.width) + " px frames";
    note("rig: " + count(rc.cameras, "camera") + " of " + std::to_string(rc.camWidth) + " px, " +
         std::to_string(rc.overlap) + " px overlap" + where +
         (in.realRig ? (opt.overlapGiven ? "" : " (overlap measured on the images)")
                     : fittedWords(opt.widthGiven, opt.overlapGiven)));
    return run;
}

}  // namespace zsim
