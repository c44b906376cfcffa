// zelvo-stitch-sim: plays footage through a simulated camera rig and runs
// libzelvo_stitch on it as a device host would. The library's own
// diagnostics go to standard output; this program's messages, the progress
// bar and the summary line go to standard error.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
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
#include "sim_quality.h"

namespace fs = std::filesystem;

namespace {

const char* kProg = "zelvo-stitch-sim";

int fail(const std::string& msg, int status = 2) {
    std::fprintf(stderr, "%s: %s\n", kProg, msg.c_str());
    return status;
}

std::string defaultInput() {
    // The source tree's copy while running from a build, else the installed one.
    for (const char* dir : {ZELVO_SIM_SOURCE_SAMPLES, ZELVO_SIM_INSTALLED_SAMPLES}) {
        std::error_code ec;
        if (fs::is_directory(dir, ec)) return dir;
    }
    return ZELVO_SIM_SOURCE_SAMPLES;
}

bool isFrameFile(const fs::path& p) {
    std::string ext = p.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return ext == ".jpg" || ext == ".jpeg" || ext == ".png";
}

cv::Mat readFrame(const std::string& path) {
    cv::Mat img = cv::imread(path, cv::IMREAD_COLOR);  // grey input comes back as BGR
    return img;
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
    if (!cv::imwrite(p.string(), img)) throw std::runtime_error("cannot write " + p.string());
}

// The static background of the footage: the median of up to 25 frames
// spread over it.
cv::Mat background(const std::vector<std::string>& files, const cv::Mat& first) {
    std::vector<cv::Mat> frames;
    const size_t n = std::min<size_t>(files.size(), 25);
    for (size_t k = 0; k < n; ++k) {
        const std::string& f = files[k * files.size() / n];
        frames.push_back(f == files[0] ? first : readFrame(f));
        if (frames.back().size() != first.size())
            throw std::runtime_error(f + " is not the size of " + files[0]);
    }
    return zsim::medianBackground(frames);
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
    const std::string input = opt.input.empty() ? defaultInput() : opt.input;
    std::vector<std::string> files;
    std::error_code ec;
    if (fs::is_directory(input, ec)) {
        for (const auto& e : fs::directory_iterator(input, ec))
            if (e.is_regular_file() && isFrameFile(e.path())) files.push_back(e.path().string());
        if (ec) return fail("--input: cannot list folder " + input + ": " + ec.message());
        std::sort(files.begin(), files.end());
        if (files.empty()) return fail("--input: no JPEG or PNG frames in folder " + input);
        if (opt.frames > 0 && size_t(opt.frames) < files.size()) files.resize(opt.frames);
        for (const auto& f : files)
            if (!cv::haveImageReader(f)) return fail("--input: cannot read image " + f);
    } else if (fs::exists(input, ec)) {
        files.assign(opt.frames > 0 ? opt.frames : 30, input);
    } else {
        return fail("--input: no such file or folder: " + input);
    }
    cv::Mat first = readFrame(files[0]);
    if (first.empty()) return fail("--input: cannot read image " + files[0]);
    const std::string why = zsim::checkRig(opt.rig, first.cols, first.rows);
    if (!why.empty()) return fail(why + " (input " + files[0] + ")");

    const fs::path out(opt.out);
    if (fs::exists(out, ec) && !fs::is_directory(out, ec))
        return fail("--out: " + opt.out + " exists and is not a folder");
    if (!fs::exists(out, ec)) {
        const fs::path parent = fs::absolute(out, ec).parent_path();
        if (!fs::is_directory(parent, ec))
            return fail("--out: parent folder " + parent.string() + " does not exist");
    }
    if (access(fs::exists(out, ec) ? out.c_str() : fs::absolute(out).parent_path().c_str(),
               W_OK | X_OK) != 0)
        return fail("--out: " + opt.out + " is not writable");

    // ---- run ----
    const int total = int(files.size());
    const bool bar = !opt.quiet && isatty(STDERR_FILENO);
    try {
        fs::create_directories(out);
        if (opt.writeFrames) fs::create_directories(out / "frames");
        zsim::Rig rig(opt.rig, first.cols, first.rows);
        std::vector<zsim::Track> tracks(rig.overlaps());
        const auto start = std::chrono::steady_clock::now();
        std::unique_ptr<zsim::SeamLab> lab;
        if (opt.quality) lab = std::make_unique<zsim::SeamLab>(opt.rig, first.rows);
        if (opt.quality || opt.rig.render.parallaxPx != 0)
            rig.setBackground(background(files, first));
        cv::VideoWriter video;
        if (opt.video) video = openVideo(out / "panorama.mp4", rig);
        cv::Mat frame = first;
        for (int f = 0; f < total; ++f) {
            if (f > 0 && files[f] != files[f - 1]) {
                frame = readFrame(files[f]);
                if (frame.empty()) return fail("--input: cannot read image " + files[f]);
                if (frame.size() != first.size())
                    return fail("--input: " + files[f] + " is not the size of " + files[0]);
            }
            rig.play(frame, f);
            if (lab) lab->measure(rig, f);
            if (video.isOpened()) {
                cv::Mat shown = rig.panorama().clone();
                zsim::drawSeamBand(rig.seamMaps(), opt.rig.camWidth, opt.rig.overlap, shown);
                video.write(shown);
            }
            for (int i = 0; i < rig.overlaps(); ++i) {
                tracks[i].shift.push_back(rig.shift(i));
                tracks[i].truth.push_back(rig.truth(i));
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
            if (bar) progress(f + 1, total, start);
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
        zsim::writeSummary((out / "summary.json").string(), rig.config(), input, total, tracks,
                           rig.times(), lab ? lab->summaryJson() : "");

        if (!opt.quiet) {
            std::string line = std::string(kProg) + ": " + std::to_string(total) + " frames, " +
                               std::to_string(rig.overlaps()) + " overlaps;";
            for (int i = 0; i < rig.overlaps(); ++i) {
                const auto segs = zsim::analyse(tracks[i], opt.rig.cellW);
                const int n = segs.back().framesToConverge();
                line += " overlap " + std::to_string(i) + " shift " +
                        std::to_string(rig.shift(i)) + " px (true " +
                        std::to_string(rig.truth(i)) + ", " +
                        (n < 0 ? std::string("not converged")
                               : "converged in " + std::to_string(n) + " frames") +
                        ")" + (i + 1 < rig.overlaps() ? "," : ";");
            }
            line += " pictures in " + out.string() + "/";
            std::fflush(stdout);
            std::fprintf(stderr, "%s\n", line.c_str());
        }
    } catch (const std::exception& e) {
        std::fflush(stdout);
        return fail(std::string("failed: ") + e.what(), 1);
    }
    return 0;
}
