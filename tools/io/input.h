// Frame sources of the simulator (a folder of frames, one image repeated, a
// video file) and the rig that fits them. Every source is scanned in full
// before the program writes anything: all frames decoded once, their sizes
// compared, a broken frame named.
#ifndef ZELVO_SIM_INPUT_H
#define ZELVO_SIM_INPUT_H

#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "rig/rig_config.h"

namespace zsim {

// "768x576".
std::string sizeText(cv::Size s);

// "f2" before "f10": digit runs compare as numbers, the rest byte by byte.
bool naturalLess(const std::string& a, const std::string& b);

struct Source {
    enum Kind { Folder, Image, Video } kind = Folder;
    std::string path;
    std::vector<std::string> files;  // the frames in natural order (Image: the one image)
    int skipped = 0;                 // Folder: files that are not frames
    int frames = 0;  // frames checked and playable; -1: one image (or a folder of one), repeats
    cv::Size size;
};

// Opens and checks PATH, at most `limit` frames of it (-1: all). On failure
// returns false with the reason in err (the frame at fault named).
bool scanSource(const std::string& path, int limit, Source& src, std::string& err);

// Plays a scanned source from its first frame, as 8-bit BGR.
class FrameReader {
public:
    explicit FrameReader(const Source& src);
    // False when the source ends or a frame cannot be decoded any more.
    bool next(cv::Mat& frame);

private:
    const Source& src_;
    int index_ = 0;
    cv::Mat image_;
    cv::VideoCapture video_;
};

// The rig for frames frameW px wide when --width and/or --overlap are not
// given (0 = derive): the whole width used, the overlap an even number of
// cells, neighbours sharing half a camera as with 3 cameras of 384 px and
// 192 px overlap on 768 px. Returns "" or why no rig fits, naming the largest
// values that would.
std::string fitRig(RigConfig& rig, int frameW, int givenWidth, int givenOverlap);
// The same for a real rig of cameras camW px wide: the overlap is given or
// half a camera rounded down to an even number of cells.
std::string fitRealRig(RigConfig& rig, int camW, int givenOverlap);

}  // namespace zsim

#endif
