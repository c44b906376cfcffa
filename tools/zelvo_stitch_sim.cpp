// zelvo-stitch-sim: plays footage through a simulated camera rig and runs
// libzelvo_stitch on it as a device host would. The library's own
// diagnostics go to standard output; this program's messages, the progress
// bar and the summary line go to standard error.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cctype>
#include <memory>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "sim_align.h"
#include "sim_host.h"
#include "sim_input.h"
#include "sim_quality.h"

namespace fs = std::filesystem;

namespace {

const char* kProg = "zelvo-stitch-sim";

int fail(const std::string& msg, int status = 2) {
    std::fprintf(stderr, "%s: %s\n", kProg, msg.c_str());
    return status;
}

std::string defaultInput() {
    // Installed: share/zelvo-stitch/samples/vtest beside the program's bin/;
    // else the source tree's copy while running from a build.
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    const fs::path installed =
        exe.parent_path().parent_path() / "share" / "zelvo-stitch" / "samples" / "vtest";
    if (!ec && fs::is_directory(installed, ec)) return installed.string();
    for (const char* dir : {ZELVO_SIM_SOURCE_SAMPLES, ZELVO_SIM_INSTALLED_SAMPLES})
        if (fs::is_directory(dir, ec)) return dir;
    return ZELVO_SIM_SOURCE_SAMPLES;
}

void note(const std::string& msg) { std::fprintf(stderr, "%s: %s\n", kProg, msg.c_str()); }

// The footage as scanned: one source cut into cameras, or one per camera.
struct Inputs {
    std::vector<zsim::Source> sources;
    bool realRig = false;
    int frames = 0;  // frames the run plays
    cv::Size size;   // of every frame of every source
};

// Scans every input in full; "" or why the run cannot start.
std::string scanInputs(const zsim::Options& opt, Inputs& in) {
    in.realRig = !opt.cameraInputs.empty();
    const std::vector<std::string> paths =
        in.realRig ? opt.cameraInputs
                   : std::vector<std::string>{opt.input.empty() ? defaultInput() : opt.input};
    const std::string what = in.realRig ? "--camera" : "--input";
    std::string err;
    for (const auto& p : paths) {
        in.sources.emplace_back();
        if (!zsim::scanSource(p, opt.frames, in.sources.back(), err)) return what + ": " + err;
        const zsim::Source& s = in.sources.back();
        if (s.skipped > 0)
            note(what + ": skipped " + zsim::count(s.skipped, "file") + " in " + p + " that " +
                 (s.skipped == 1 ? "is" : "are") + " not JPEG or PNG");
        if (s.size != in.sources[0].size)
            return "--camera: " + p + " is " + zsim::sizeText(s.size) + " but " + paths[0] +
                   " is " + zsim::sizeText(in.sources[0].size) + ": all cameras must have one size";
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
             std::to_string(longest) + " frames; playing the first " +
             zsim::count(shortest, "frame") + " of each");
    return "";
}

// A real rig's overlap measured on the first frame of every camera (see
// fitOverlapFromImages); "" or the refusal.
std::string overlapFromImages(zsim::Options& opt, const Inputs& in) {
    std::vector<cv::Mat> first(in.sources.size());
    for (size_t k = 0; k < first.size(); ++k)
        if (!zsim::FrameReader(in.sources[k]).next(first[k]))
            return "--camera: " + in.sources[k].path + " no longer reads";
    std::vector<std::string> notes;
    const std::string why = zsim::fitOverlapFromImages(opt.rig, first,
                                                       opt.overlapGiven ? opt.rig.overlap : 0, notes);
    for (const auto& line : notes)
        if (!opt.quiet || line.rfind("warning", 0) == 0) note("--camera: " + line);
    return why.empty() ? "" : "--camera: " + why;
}

// Fits the rig to the footage; "" or why it cannot.
std::string fitRig(zsim::Options& opt, const Inputs& in) {
    zsim::RigConfig& r = opt.rig;
    const int given = opt.overlapGiven ? r.overlap : 0;
    if (in.realRig && opt.widthGiven && r.camWidth != in.size.width)
        return "--width " + std::to_string(r.camWidth) + " but the --camera images are " +
               std::to_string(in.size.width) + " px wide";
    std::string why;
    if (in.realRig && (why = overlapFromImages(opt, in)).empty())
        why = zsim::fitRealRig(r, in.size.width, given ? given : r.overlap);
    else if (!in.realRig)
        why = zsim::fitRig(r, in.size.width, opt.widthGiven ? r.camWidth : 0, given);
    if (why.empty())
        why = zsim::checkRig(r, in.realRig ? zsim::rigWidth(r) : in.size.width, in.size.height);
    return why;
}

// "" or why the output folder cannot be made.
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

// Progress bar with the time spent and, from the pace so far, the time left.
void progress(int done, int total, std::chrono::steady_clock::time_point start) {
    const int width = 40, fill = total ? done * width / total : width;
    const double spent =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double left = done ? spent * (total - done) / done : 0.0;
    std::fprintf(stderr, "\r[%s%s] %d/%d  %.0f s, %.0f s left ", std::string(fill, '#').c_str(),
                 std::string(width - fill, ' ').c_str(), done, total, spent, left);
    if (done == total) std::fputc('\n', stderr);
    std::fflush(stderr);
}

// The cameras of the last frame side by side (8 px apart), its panorama below.
cv::Mat preview(const zsim::Rig& rig) {
    const auto& cams = rig.cameras();
    const int n = int(cams.size()), w = cams[0].cols, h = cams[0].rows, gap = 8;
    const int topW = n * w + (n - 1) * gap;
    const cv::Mat& pano = rig.panorama();
    cv::Mat out(2 * h + 3 * gap, std::max(topW, pano.cols), CV_8UC3, cv::Scalar::all(40));
    for (int k = 0; k < n; ++k) {
        cams[k].copyTo(out(cv::Rect(k * (w + gap), 0, w, h)));
        cv::putText(out, "camera " + std::to_string(k), {k * (w + gap) + 8, 24},
                    cv::FONT_HERSHEY_SIMPLEX, 0.6, cv::Scalar(0, 255, 255), 1, cv::LINE_AA);
    }
    cv::Mat shown = out(cv::Rect((out.cols - pano.cols) / 2, h + 3 * gap, pano.cols, pano.rows));
    pano.copyTo(shown);
    zsim::drawSeamBand(rig.seamMaps(), rig.config().camWidth, rig.config().overlap, shown);
    // Legend in the margin left of the panorama, where the camera row is wider.
    const char* legend[] = {"red: seam", "(left weight 1/2)", "yellow: blend band", "(10-90 %)"};
    for (int i = 0; i < 4 && (out.cols - pano.cols) / 2 >= 150; ++i)
        cv::putText(out, legend[i], {8, h + 3 * gap + 20 + 20 * i}, cv::FONT_HERSHEY_SIMPLEX, 0.45,
                    i < 2 ? cv::Scalar(80, 80, 255) : cv::Scalar(0, 220, 255), 1, cv::LINE_AA);
    return out;
}

void writePng(const fs::path& p, const cv::Mat& img) {
    bool ok = false;
    try {
        ok = cv::imwrite(p.string(), img);
    } catch (const cv::Exception&) {
    }
    if (!ok) throw zsim::OutputError("cannot write " + p.string());
}

// The static background of the footage, the median of up to 25 of the
// `total` frames played, spread evenly over them, and whether it explains them.
struct Background {
    cv::Mat image;
    zsim::BackgroundFit fit;
};
Background background(const zsim::Source& src, int total) {
    const int n = std::min(total, 25);
    std::vector<cv::Mat> picked;
    zsim::FrameReader reader(src);
    cv::Mat frame;
    for (int f = 0; f < total && int(picked.size()) < n; ++f) {
        if (!reader.next(frame)) throw std::runtime_error(src.path + " ended early");
        if (f == int(picked.size()) * total / n) picked.push_back(frame.clone());
    }
    Background b;
    b.image = zsim::medianBackground(picked);
    b.fit = zsim::backgroundFit(picked, b.image);
    return b;
}

// The background where parallax or the seam comparison needs one; where it
// does not explain the clip, no parallax and no mover masks, said in one line.
cv::Mat sceneBackground(zsim::Options& opt, const Inputs& in, zsim::RunInfo& run) {
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

// mp4v in an MP4 container: what Debian's OpenCV writes through FFmpeg. A
// build without a video writer gets a warning, not a failed run.
cv::VideoWriter openVideo(const fs::path& path, const zsim::Rig& rig) {
    const auto& cams = rig.cameras();
    const cv::Size size(zsim::rigWidth(rig.config()), cams[0].rows);
    cv::VideoWriter v(path.string(), cv::VideoWriter::fourcc('m', 'p', '4', 'v'), 10.0, size);
    if (!v.isOpened())
        std::fprintf(stderr, "%s: warning: cannot write %s (no MP4 writer in this OpenCV)\n", kProg,
                     path.c_str());
    return v;
}

// What the run plays and where the rig sits in the footage; says it unless quiet.
zsim::RunInfo describeRun(const zsim::Options& opt, const Inputs& in) {
    zsim::RunInfo run;
    run.realRig = in.realRig;
    run.frames = in.frames;
    for (const auto& s : in.sources) run.input += (run.input.empty() ? "" : ", ") + s.path;
    const zsim::RigConfig& rc = opt.rig;
    run.frameWidth = in.realRig ? zsim::rigWidth(rc) : in.size.width;
    run.firstColumn = in.realRig ? 0 : zsim::rigOrigin(rc, in.size.width);
    if (opt.quiet) return run;
    const std::string where = in.realRig
                                  ? ", one footage per camera"
                                  : ", columns " + std::to_string(run.firstColumn) + "-" +
                                        std::to_string(run.firstColumn + zsim::rigWidth(rc) - 1) +
                                        " of " + std::to_string(in.size.width) + " px frames";
    note("rig: " + zsim::count(rc.cameras, "camera") + " of " + std::to_string(rc.camWidth) +
         " px, " + std::to_string(rc.overlap) + " px overlap" + where +
         (in.realRig ? (opt.overlapGiven ? "" : " (overlap measured on the images)")
                     : (opt.widthGiven && opt.overlapGiven ? "" : " (fitted to the footage)")));
    return run;
}

// One run of the rig over the footage and everything it writes.
class Session {
public:
    Session(const zsim::Options& opt, const Inputs& in, const zsim::RunInfo& run,
            const cv::Mat& background)
        : opt_(opt),
          in_(in),
          out_(opt.out),
          rig_(opt.rig, run.frameWidth, in.size.height),
          tracks_(rig_.overlaps()) {
        if (opt.writeFrames) fs::create_directories(out_ / "frames");
        if (!background.empty()) rig_.setBackground(background);
        if (opt.quality) {
            // Graph cut takes seconds per overlap and frame on large frames.
            const bool graphCut =
                opt.graphcutAlways ||
                (long long)run.frameWidth * in.size.height <= zsim::Options::kGraphCutMaxPixels;
            lab_ = std::make_unique<zsim::SeamLab>(opt.rig, in.size.height, graphCut,
                                                   !background.empty());
            labThread_ = std::make_unique<zsim::LabThread>(*lab_);
            if (!graphCut) {
                char buf[64];
                std::snprintf(buf, sizeof buf, "%.1f", run.frameWidth * in.size.height / 1e6);
                comparisonNote_ = std::string("graph cut skipped: ") + buf + " Mpx a frame";
                note(std::string("graph cut skipped: frames of ") + buf +
                     " million pixels, over 1.5 (--graphcut always runs it)");
            }
        }
        if (opt.video) video_ = openVideo(out_ / "panorama.mp4", rig_);
    }

    // Plays every frame; "" or why the footage stopped reading.
    std::string playAll(std::chrono::steady_clock::time_point t0) {
        const bool bar = !opt_.quiet && isatty(STDERR_FILENO);
        std::vector<zsim::FrameReader> readers(in_.sources.begin(), in_.sources.end());
        std::vector<cv::Mat> frames(readers.size());
        for (int f = 0; f < in_.frames; ++f) {
            for (size_t k = 0; k < readers.size(); ++k)
                if (!readers[k].next(frames[k]))
                    return in_.sources[k].path + ": frame " + std::to_string(f) +
                           " no longer reads as it did when checked";
            if (in_.realRig)
                rig_.playCameras(frames);
            else
                rig_.play(frames[0], f);
            record(f);
            if (bar) progress(f + 1, in_.frames, t0);
        }
        return "";
    }

    // The results of the whole run, summary.json last.
    void writeResults(zsim::RunInfo& run, std::chrono::steady_clock::time_point t0) {
        for (int i = 0; i < rig_.overlaps(); ++i)
            writePng(out_ / ("fusion_map_" + std::to_string(i) + ".png"), rig_.fusionMaps()[i]);
        zsim::writeCsv((out_ / "shift.csv").string(), tracks_);
        cv::Mat pic;
        zsim::drawShiftPlot(tracks_, opt_.rig.cellW, pic);
        writePng(out_ / "shift.png", pic);
        video_.release();
        run.libraryMsPerFrame = rig_.times().libraryMsPerFrame();
        if (lab_) {
            labThread_->finish();
            run.comparisonSeconds = labThread_->busySeconds();
            run.comparisonWaitSeconds = labThread_->waitedSeconds();
            run.comparisonNote = comparisonNote_;
            lab_->writeCsv((out_ / "quality.csv").string());
            lab_->drawChart(pic);
            writePng(out_ / "quality.png", pic);
            lab_->drawSeams(rig_, pic);
            writePng(out_ / "seams.png", pic);
        }
        run.wallSeconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        zsim::writeSummary((out_ / "summary.json").string(), rig_.config(), run, tracks_,
                           rig_.times(), lab_ ? lab_->summaryJson() : "");
    }
    const std::vector<zsim::Track>& tracks() const { return tracks_; }

private:
    // After frame f: the shifts, the seam figures, the video frame and the
    // panoramas (every frame's with --write-frames, the last one always).
    void record(int f) {
        for (int i = 0; i < rig_.overlaps(); ++i) {
            tracks_[i].shift.push_back(rig_.shift(i));
            if (!in_.realRig) tracks_[i].truth.push_back(rig_.truth(i));
            tracks_[i].residual.push_back(rig_.residual(i));
        }
        if (labThread_) labThread_->push(zsim::labFrame(rig_, f));
        const zsim::RigConfig& rc = opt_.rig;
        if (video_.isOpened()) {
            cv::Mat shown = rig_.panorama().clone();
            zsim::drawSeamBand(rig_.seamMaps(), rc.camWidth, rc.overlap, shown);
            video_.write(shown);
        }
        const bool last = f == in_.frames - 1;
        if (!opt_.writeFrames && !last) return;
        cv::Mat pano = rig_.panorama();
        if (opt_.seams) {
            pano = pano.clone();
            zsim::drawSeamBand(rig_.seamMaps(), rc.camWidth, rc.overlap, pano);
        }
        if (opt_.writeFrames) {
            char name[40];
            std::snprintf(name, sizeof name, "panorama_%04d.png", f);
            writePng(out_ / "frames" / name, pano);
        }
        if (last) {
            writePng(out_ / "panorama.png", pano);
            writePng(out_ / "preview.png", preview(rig_));
        }
    }

    const zsim::Options& opt_;
    const Inputs& in_;
    fs::path out_;
    zsim::Rig rig_;
    std::vector<zsim::Track> tracks_;
    std::unique_ptr<zsim::SeamLab> lab_;
    std::unique_ptr<zsim::LabThread> labThread_;  // after lab_: finishes before it goes
    std::string comparisonNote_;
    cv::VideoWriter video_;
};

}  // namespace

int main(int argc, char** argv) {
    zsim::Options opt;
    std::string err;
    if (!zsim::parseArgs(argc, argv, opt, err)) return fail(err);
    if (opt.help) {
        std::fputs(zsim::usage(kProg).c_str(), stdout);
        return 0;
    }
    if (opt.rig.dbg < 0) opt.rig.dbg = 0;  // the library stays quiet unless asked

    // Everything is checked before the output folder is created.
    Inputs in;
    if (!(err = scanInputs(opt, in)).empty()) return fail(err);
    if (!(err = fitRig(opt, in)).empty()) return fail(err);
    if (!(err = checkOut(opt.out)).empty()) return fail(err);
    zsim::RunInfo run = describeRun(opt, in);

    try {
        const auto t0 = std::chrono::steady_clock::now();
        fs::create_directories(opt.out);
        const cv::Mat bg = sceneBackground(opt, in, run);
        Session session(opt, in, run, bg);
        if (!(err = session.playAll(t0)).empty()) return fail(err);
        session.writeResults(run, t0);
        if (!opt.quiet) {
            std::fflush(stdout);
            note(zsim::summaryLine(opt.rig, run, session.tracks()) + " pictures in " + opt.out +
                 "/");
        }
    } catch (const zsim::OutputError& e) {
        std::fflush(stdout);
        return fail(e.what(), 3);
    } catch (const fs::filesystem_error& e) {
        std::fflush(stdout);
        return fail(e.what(), 3);
    } catch (const std::exception& e) {
        std::fflush(stdout);
        return fail(std::string("failed: ") + e.what(), 1);
    }
    return 0;
}
