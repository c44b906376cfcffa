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
    int frames = 0;   // frames the run plays
    cv::Size size;    // of every frame of every source
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
            note(what + ": skipped " + zsim::count(s.skipped, "file") + " in " + p +
                 " that " + (s.skipped == 1 ? "is" : "are") + " not JPEG or PNG");
        if (s.size != in.sources[0].size)
            return "--camera: " + p + " is " + zsim::sizeText(s.size) + " but " + paths[0] +
                   " is " + zsim::sizeText(in.sources[0].size) +
                   ": all cameras must have one size";
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

// Fits the rig to the footage; "" or why it cannot.
std::string fitRig(zsim::Options& opt, const Inputs& in) {
    zsim::RigConfig& r = opt.rig;
    const int given = opt.overlapGiven ? r.overlap : 0;
    if (in.realRig && opt.widthGiven && r.camWidth != in.size.width)
        return "--width " + std::to_string(r.camWidth) + " but the --camera images are " +
               std::to_string(in.size.width) + " px wide";
    std::string why = in.realRig ? zsim::fitRealRig(r, in.size.width, given)
                                 : zsim::fitRig(r, in.size.width,
                                                opt.widthGiven ? r.camWidth : 0, given);
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
        return "--out: " + out.string() + " cannot be created: " + up.string() +
               " is not writable";
    return "";
}

// Progress bar with the time spent and, from the pace so far, the time left.
void progress(int done, int total, std::chrono::steady_clock::time_point start) {
    const int width = 40, fill = total ? done * width / total : width;
    const double spent = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
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

// The static background of the footage: the median of up to 25 of the
// `total` frames played, spread evenly over them.
cv::Mat background(const zsim::Source& src, int total) {
    const int n = std::min(total, 25);
    std::vector<cv::Mat> picked;
    zsim::FrameReader reader(src);
    cv::Mat frame;
    for (int f = 0; f < total && int(picked.size()) < n; ++f) {
        if (!reader.next(frame)) throw std::runtime_error(src.path + " ended early");
        if (f == int(picked.size()) * total / n) picked.push_back(frame.clone());
    }
    return zsim::medianBackground(picked);
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

    // ---- everything is checked before the output folder is created ----
    Inputs in;
    if (!(err = scanInputs(opt, in)).empty()) return fail(err);
    if (!(err = fitRig(opt, in)).empty()) return fail(err);
    const fs::path out(opt.out);
    if (!(err = checkOut(out)).empty()) return fail(err);

    zsim::RunInfo run;
    run.realRig = in.realRig;
    run.frames = in.frames;
    for (const auto& s : in.sources) run.input += (run.input.empty() ? "" : ", ") + s.path;
    const zsim::RigConfig& rc = opt.rig;
    run.frameWidth = in.realRig ? zsim::rigWidth(rc) : in.size.width;
    run.firstColumn = in.realRig ? 0 : zsim::rigOrigin(rc, in.size.width);
    if (!opt.quiet)
        note("rig: " + zsim::count(rc.cameras, "camera") + " of " +
             std::to_string(rc.camWidth) + " px, " + std::to_string(rc.overlap) +
             " px overlap" +
             (in.realRig ? ", one footage per camera"
                         : ", columns " + std::to_string(run.firstColumn) + "-" +
                               std::to_string(run.firstColumn + zsim::rigWidth(rc) - 1) +
                               " of " + std::to_string(in.size.width) + " px frames") +
             (opt.widthGiven && opt.overlapGiven ? "" : " (fitted to the footage)"));

    // ---- run ----
    const int total = in.frames;
    const bool bar = !opt.quiet && isatty(STDERR_FILENO);
    try {
        const auto t0 = std::chrono::steady_clock::now();
        fs::create_directories(out);
        if (opt.writeFrames) fs::create_directories(out / "frames");
        zsim::Rig rig(rc, run.frameWidth, in.size.height);
        std::vector<zsim::Track> tracks(rig.overlaps());
        std::unique_ptr<zsim::SeamLab> lab;
        if (opt.quality) lab = std::make_unique<zsim::SeamLab>(rc, in.size.height);
        if (!in.realRig && (opt.quality || rc.render.parallaxPx != 0))
            rig.setBackground(background(in.sources[0], total));
        cv::VideoWriter video;
        if (opt.video) video = openVideo(out / "panorama.mp4", rig);
        std::vector<zsim::FrameReader> readers(in.sources.begin(), in.sources.end());
        std::vector<cv::Mat> frames(readers.size());
        for (int f = 0; f < total; ++f) {
            for (size_t k = 0; k < readers.size(); ++k)
                if (!readers[k].next(frames[k]))
                    return fail(in.sources[k].path + ": frame " + std::to_string(f) +
                                " no longer reads as it did when checked");
            if (in.realRig)
                rig.playCameras(frames);
            else
                rig.play(frames[0], f);
            if (lab) lab->measure(rig, f);
            if (video.isOpened()) {
                cv::Mat shown = rig.panorama().clone();
                zsim::drawSeamBand(rig.seamMaps(), rc.camWidth, rc.overlap, shown);
                video.write(shown);
            }
            for (int i = 0; i < rig.overlaps(); ++i) {
                tracks[i].shift.push_back(rig.shift(i));
                if (!in.realRig) tracks[i].truth.push_back(rig.truth(i));
            }
            if (opt.writeFrames || f == total - 1) {
                cv::Mat pano = rig.panorama();
                if (opt.seams) {
                    pano = pano.clone();
                    zsim::drawSeamBand(rig.seamMaps(), opt.rig.camWidth, opt.rig.overlap, pano);
                }
                if (opt.writeFrames) {
                    char name[40];
                    std::snprintf(name, sizeof name, "panorama_%04d.png", f);
                    writePng(out / "frames" / name, pano);
                }
                if (f == total - 1) {
                    writePng(out / "panorama.png", pano);
                    writePng(out / "preview.png", preview(rig));
                }
            }
            if (bar) progress(f + 1, total, t0);
        }
        for (int i = 0; i < rig.overlaps(); ++i)
            writePng(out / ("fusion_map_" + std::to_string(i) + ".png"), rig.fusionMaps()[i]);
        zsim::writeCsv((out / "shift.csv").string(), tracks);
        cv::Mat plot;
        zsim::drawShiftPlot(tracks, opt.rig.cellW, plot);
        writePng(out / "shift.png", plot);
        video.release();
        if (lab) {
            lab->writeCsv((out / "quality.csv").string());
            cv::Mat pic;
            lab->drawChart(pic);
            writePng(out / "quality.png", pic);
            lab->drawSeams(rig, pic);
            writePng(out / "seams.png", pic);
        }
        run.wallSeconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        zsim::writeSummary((out / "summary.json").string(), rig.config(), run, tracks,
                           rig.times(), lab ? lab->summaryJson() : "");
        if (!opt.quiet) {
            std::fflush(stdout);
            note(zsim::summaryLine(rc, run, tracks) + " pictures in " + out.string() + "/");
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
