// Frame sources and rig fitting; see input.h.
#include "io/input.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio/registry.hpp>

namespace zsim {

namespace fs = std::filesystem;

bool naturalLess(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    auto digit = [](char c) { return std::isdigit((unsigned char)c) != 0; };
    while (i < a.size() && j < b.size()) {
        if (digit(a[i]) && digit(b[j])) {
            size_t ei = i, ej = j;
            while (ei < a.size() && digit(a[ei])) ++ei;
            while (ej < b.size() && digit(b[ej])) ++ej;
            // Compare the runs without their leading zeros: longer is larger.
            size_t zi = i, zj = j;
            while (zi + 1 < ei && a[zi] == '0') ++zi;
            while (zj + 1 < ej && b[zj] == '0') ++zj;
            if (ei - zi != ej - zj) return ei - zi < ej - zj;
            const int c = a.compare(zi, ei - zi, b, zj, ej - zj);
            if (c != 0) return c < 0;
            if (ei - i != ej - j) return ei - i < ej - j;  // "01" after "1"
            i = ei, j = ej;
        } else {
            if (a[i] != b[j]) return (unsigned char)a[i] < (unsigned char)b[j];
            ++i, ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

std::string sizeText(cv::Size s) {
    return std::to_string(s.width) + "x" + std::to_string(s.height);
}

namespace {

std::string lowerExtension(const fs::path& p) {
    std::string ext = p.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return ext;
}

bool isFrameFile(const fs::path& p) {
    const std::string ext = lowerExtension(p);
    return ext == ".jpg" || ext == ".jpeg" || ext == ".png";
}

// A JPEG cut short still decodes (the missing rows grey), so its end is
// checked: a whole file closes with the end-of-image marker FF D9, possibly
// followed by a little padding. Only a file that starts as a JPEG (FF D8) is
// called truncated; anything else fails to decode.
bool jpegTruncated(const std::string& path) {
    std::ifstream f(path, std::ios::binary | std::ios::ate);
    const std::streamoff size = f.tellg();
    const std::streamoff tail = std::min<std::streamoff>(size, 64);
    std::string start(2, '\0'), end(size_t(tail), '\0');
    f.seekg(0);
    f.read(start.data(), 2);
    f.seekg(size - tail);
    f.read(end.data(), tail);
    return f && start == "\xFF\xD8" && end.find("\xFF\xD9") == std::string::npos;
}

// Decodes one image file; "" or why it cannot be played.
std::string readImage(const std::string& path, cv::Mat& img) {
    img.release();
    const std::string ext = lowerExtension(path);
    if ((ext == ".jpg" || ext == ".jpeg") && jpegTruncated(path))
        return "image " + path + " is truncated (no end-of-image marker): replace it with a " +
               "whole image or remove it";
    if (cv::haveImageReader(path)) img = cv::imread(path, cv::IMREAD_COLOR);
    if (img.empty())
        return "image " + path + " does not decode (not a JPEG or PNG, truncated or corrupt): " +
               "replace it with a whole image or remove it";
    return "";
}

cv::VideoCapture openVideo(const std::string& path) {
    // FFmpeg directly: trying every back end floods the console with the
    // complaints of those that do not apply.
    if (cv::videoio_registry::hasBackend(cv::CAP_FFMPEG))
        return cv::VideoCapture(path, cv::CAP_FFMPEG);
    return cv::VideoCapture(path);
}

bool scanFolder(Source& src, int limit, std::string& err) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(src.path, ec)) {
        if (!e.is_regular_file()) continue;
        if (isFrameFile(e.path()))
            src.files.push_back(e.path().string());
        else
            ++src.skipped;
    }
    if (ec) return err = "cannot list folder " + src.path + ": " + ec.message(), false;
    if (src.files.empty()) return err = "no JPEG or PNG frames in folder " + src.path, false;
    std::sort(src.files.begin(), src.files.end(), naturalLess);
    if (limit > 0 && size_t(limit) < src.files.size()) src.files.resize(size_t(limit));
    cv::Mat img;
    for (const auto& f : src.files) {
        if (!(err = readImage(f, img)).empty()) return false;
        if (src.size.empty()) src.size = img.size();
        if (img.size() != src.size)
            return err = f + " is " + sizeText(img.size()) + " but " + src.files[0] + " is " +
                         sizeText(src.size) + ": all frames must have one size",
                   false;
    }
    src.frames = int(src.files.size());
    // One frame in the folder: played as one image is, repeated.
    if (src.frames == 1) src.kind = Source::Image, src.frames = -1;
    return true;
}

bool scanVideo(Source& src, int limit, std::string& err) {
    cv::VideoCapture cap = openVideo(src.path);
    // FFmpeg also opens plain text, as a video of its characters ("ansi").
    const int text = cv::VideoWriter::fourcc('a', 'n', 's', 'i');
    if (!cap.isOpened() || int(cap.get(cv::CAP_PROP_FOURCC)) == text)
        return err = "cannot read " + src.path + " as an image or a video", false;
    const double declared = cap.get(cv::CAP_PROP_FRAME_COUNT);
    cv::Mat frame;
    src.frames = 0;
    while ((limit < 0 || src.frames < limit) && cap.read(frame)) {
        if (src.size.empty()) src.size = frame.size();
        if (frame.size() != src.size)
            return err = "video " + src.path + ": frame " + std::to_string(src.frames) + " is " +
                         sizeText(frame.size()) + " but frame 0 is " + sizeText(src.size),
                   false;
        ++src.frames;
    }
    if (src.frames == 0) return err = "video " + src.path + " has no frame that decodes", false;
    const int wanted = limit < 0 ? int(declared) : std::min(limit, int(declared));
    if (src.frames < wanted)
        return err = "video " + src.path + ": frame " + std::to_string(src.frames) + " of " +
                     std::to_string(int(declared)) +
                     " cannot be decoded (truncated or corrupt file); --frames " +
                     std::to_string(src.frames) + " plays the frames before it",
               false;
    return true;
}

}  // namespace

bool scanSource(const std::string& path, int limit, Source& src, std::string& err) {
    src = Source{};
    src.path = path;
    std::error_code ec;
    if (fs::is_directory(path, ec)) {
        src.kind = Source::Folder;
        return scanFolder(src, limit, err);
    }
    if (!fs::exists(path, ec)) return err = "no such file or folder: " + path, false;
    // Named as an image, read as one: a broken .jpg is a broken image, not a video.
    if (isFrameFile(path) || cv::haveImageReader(path)) {
        src.kind = Source::Image;
        src.files = {path};
        cv::Mat img;
        if (!(err = readImage(path, img)).empty()) return false;
        src.size = img.size();
        src.frames = -1;
        return true;
    }
    src.kind = Source::Video;
    return scanVideo(src, limit, err);
}

FrameReader::FrameReader(const Source& src) : src_(src) {
    if (src.kind == Source::Video) video_ = openVideo(src.path);
}

bool FrameReader::next(cv::Mat& frame) {
    switch (src_.kind) {
        case Source::Image:
            if (image_.empty()) image_ = cv::imread(src_.files[0], cv::IMREAD_COLOR);
            frame = image_;
            break;
        case Source::Folder:
            if (index_ >= int(src_.files.size())) return false;
            frame = cv::imread(src_.files[size_t(index_)], cv::IMREAD_COLOR);
            break;
        case Source::Video:
            if (!video_.read(frame)) return false;
            break;
    }
    ++index_;
    return !frame.empty() && frame.size() == src_.size;
}

// ---- rig fitting -------------------------------------------------------------

namespace {

// Camera images stay within the 255 motion blocks a stitcher keeps per row.
constexpr int kMaxCamWidth = 4080;

// Largest multiple of `step` not above v.
int floorTo(int v, int step) { return v / step * step; }

std::string rigText(int w, int o) {
    return "--width " + std::to_string(w) + " --overlap " + std::to_string(o);
}

// Whether width w and overlap o make a rig of `cameras` within frameW px.
std::string misfit(const RigConfig& r, int frameW) {
    const std::string wide = overlapTooWide(r);
    if (!wide.empty()) return wide;
    if (r.camWidth > kMaxCamWidth)
        return "--width " + std::to_string(r.camWidth) + " exceeds " +
               std::to_string(kMaxCamWidth) + " px";
    if (rigWidth(r) > frameW)
        return "the rig is " + std::to_string(rigWidth(r)) + " px wide (" +
               std::to_string(r.cameras) + " cameras of " + std::to_string(r.camWidth) + " px, " +
               std::to_string(r.overlap) + " px overlap) but the frames are only " +
               std::to_string(frameW) + " px wide";
    return "";
}

}  // namespace

std::string fitRig(RigConfig& rig, int frameW, int givenWidth, int givenOverlap) {
    const int n = rig.cameras, step = 2 * rig.cellW;  // overlaps: an even number of cells
    // The rig that fits the frames: neighbours share half a camera, so the
    // rig spans (n + 1) half-cameras; the width then takes up what rounding
    // the overlap to whole cell pairs left over.
    RigConfig best = rig;
    best.overlap = floorTo(frameW / (n + 1), step);
    best.camWidth = std::min(kMaxCamWidth, (frameW + (n - 1) * best.overlap) / n);
    best.overlap = std::min(best.overlap, floorTo(best.camWidth / 2, step));
    if (best.overlap < step)
        return "frames of " + std::to_string(frameW) + " px are too narrow for " +
               std::to_string(n) + " cameras with --cell width " + std::to_string(rig.cellW) +
               ": the narrowest rig takes " + std::to_string((n + 1) * step) + " px";
    const std::string largest = "; the largest that fit " + std::to_string(frameW) +
                                " px frames: " + rigText(best.camWidth, best.overlap);

    RigConfig r = rig;
    if (givenWidth == 0 && givenOverlap == 0) {
        r = best;
    } else if (givenOverlap == 0) {
        r.camWidth = givenWidth;
        r.overlap = floorTo(givenWidth / 2, step);
        if (r.overlap < step)
            return "--width " + std::to_string(givenWidth) + " leaves no room for an overlap of " +
                   std::to_string(step) + " px" + largest;
    } else {
        r.overlap = givenOverlap;
        r.camWidth =
            givenWidth ? givenWidth : std::min(kMaxCamWidth, (frameW + (n - 1) * givenOverlap) / n);
    }
    std::string why = misfit(r, frameW);
    if (!why.empty()) {
        // With the overlap kept, the widest camera that still fits, if any.
        RigConfig keep = r;
        keep.camWidth = std::min(kMaxCamWidth, (frameW + (n - 1) * r.overlap) / n);
        if (givenOverlap != 0 && misfit(keep, frameW).empty())
            why += "; with --overlap " + std::to_string(r.overlap) + " at most --width " +
                   std::to_string(keep.camWidth) + " fits";
        return why + largest;
    }
    rig = r;
    return "";
}

std::string fitRealRig(RigConfig& rig, int camW, int givenOverlap) {
    RigConfig r = rig;
    r.camWidth = camW;
    r.overlap = givenOverlap ? givenOverlap : floorTo(camW / 2, 2 * rig.cellW);
    if (r.overlap < 2 * rig.cellW)
        return "cameras of " + std::to_string(camW) + " px are too narrow for an overlap of " +
               std::to_string(2 * rig.cellW) + " px";
    const std::string why = misfit(r, rigWidth(r));
    if (!why.empty())
        return why + " (the --camera images are " + std::to_string(camW) + " px wide)";
    rig = r;
    return "";
}

}  // namespace zsim
