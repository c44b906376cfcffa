// One run of the rig over the footage and everything it writes; see run.h.
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "app/run.h"

namespace zsim {

namespace fs = std::filesystem;

namespace {

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
cv::Mat preview(const Rig& rig) {
    const auto& cams = rig.cameras();
    const int n = int(cams.size()), w = cams[0].cols, h = cams[0].rows, gap = 8;
    const int topW = n * w + (n - 1) * gap;
    const cv::Mat& pano = rig.panorama();
    cv::Mat out(2 * h + 3 * gap, std::max(topW, pano.cols), CV_8UC3, cv::Scalar::all(40));
    for (int k = 0; k < n; ++k) {
        cams[k].copyTo(out(cv::Rect(k * (w + gap), 0, w, h)));
        // The label shrinks to fit a narrow camera.
        const std::string label = "camera " + std::to_string(k);
        int baseline = 0;
        const int textW = cv::getTextSize(label, cv::FONT_HERSHEY_SIMPLEX, 0.6, 1, &baseline).width;
        const double scale = 0.6 * std::min(1.0, double(w - 16) / textW);
        cv::putText(out, label, {k * (w + gap) + 8, 6 + int(30 * scale)}, cv::FONT_HERSHEY_SIMPLEX,
                    scale, cv::Scalar(0, 255, 255), 1, cv::LINE_AA);
    }
    cv::Mat shown = out(cv::Rect((out.cols - pano.cols) / 2, h + 3 * gap, pano.cols, pano.rows));
    pano.copyTo(shown);
    drawSeamBand(rig.seamMaps(), rig.config().camWidth, rig.config().overlap, shown);
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
    if (!ok) throw OutputError("cannot write " + p.string());
}

// mp4v in an MP4 container: what Debian's OpenCV writes through FFmpeg. A
// build without a video writer gets a warning, not a failed run.
cv::VideoWriter openVideo(const fs::path& path, const Rig& rig) {
    const auto& cams = rig.cameras();
    const cv::Size size(rigWidth(rig.config()), cams[0].rows);
    cv::VideoWriter v(path.string(), cv::VideoWriter::fourcc('m', 'p', '4', 'v'), 10.0, size);
    if (!v.isOpened())
        std::fprintf(stderr, "%s: warning: cannot write %s (no MP4 writer in this OpenCV)\n", kProg,
                     path.c_str());
    return v;
}

}  // namespace

Session::Session(const Options& opt, const Inputs& in, const RunInfo& run,
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
        const bool graphCut = opt.graphcutAlways || (long long)run.frameWidth * in.size.height <=
                                                        Options::kGraphCutMaxPixels;
        lab_ = std::make_unique<SeamLab>(opt.rig, in.size.height, graphCut, !background.empty());
        labThread_ = std::make_unique<LabThread>(*lab_);
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

std::string Session::playAll(std::chrono::steady_clock::time_point t0) {
    const bool bar = !opt_.quiet && isatty(STDERR_FILENO);
    std::vector<FrameReader> readers(in_.sources.begin(), in_.sources.end());
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

void Session::writeResults(RunInfo& run, std::chrono::steady_clock::time_point t0) {
    for (int i = 0; i < rig_.overlaps(); ++i)
        writePng(out_ / ("fusion_map_" + std::to_string(i) + ".png"), rig_.fusionMaps()[i]);
    writeCsv((out_ / "shift.csv").string(), tracks_);
    cv::Mat pic;
    drawShiftPlot(tracks_, opt_.rig.cellW, pic);
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
    run.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    writeSummary((out_ / "summary.json").string(), rig_.config(), run, tracks_, rig_.times(),
                 lab_ ? lab_->summaryJson() : "");
}

void Session::record(int f) {
    for (int i = 0; i < rig_.overlaps(); ++i) {
        tracks_[i].shift.push_back(rig_.shift(i));
        if (!in_.realRig) tracks_[i].truth.push_back(rig_.truth(i));
        tracks_[i].residual.push_back(rig_.residual(i));
    }
    if (labThread_) labThread_->push(labFrame(rig_, f));
    const RigConfig& rc = opt_.rig;
    // The panorama as a host shows it; seams and blend bands only with --seams.
    cv::Mat pano = rig_.panorama();
    if (opt_.seams) {
        pano = pano.clone();
        drawSeamBand(rig_.seamMaps(), rc.camWidth, rc.overlap, pano);
    }
    if (video_.isOpened()) video_.write(pano);
    const bool last = f == in_.frames - 1;
    if (!opt_.writeFrames && !last) return;
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

}  // namespace zsim
