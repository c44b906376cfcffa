// The buffers a device host fills around libzelvo_stitch, from camera images:
// block-wise motion maps and their packed bitmaps, LUTs, camera cuts, the
// strip buffer, the panorama blended with the fusion maps and the host's own
// running fusion map. The formats come from the host kit (zelvo_stitch_host.h).
#ifndef ZELVO_SIM_HOST_BUFFERS_H
#define ZELVO_SIM_HOST_BUFFERS_H

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

namespace zsim {

// Block-wise frame difference: blocks (CV_8UC1, md_blocks(h) x md_blocks(w))
// gets 1 where the mean |cur - prev| of the block reaches threshold, else 0.
// Edge blocks average over the pixels they hold. With maxLevel > 1 a moving
// block gets min(maxLevel, mean / threshold) instead of 1.
void blockMotion(const cv::Mat& prev, const cv::Mat& cur, int threshold, cv::Mat& blocks,
                 std::vector<int>& rowSums, int maxLevel = 1);
// Packs a 0/1 block map into the detector's bitmap for an image widthPx
// pixels wide (zelvo_host::md_pack). out is resized to rows x
// md_row_bytes(widthPx) and fully rewritten.
void packMotionBitmap(const cv::Mat& blocks, int widthPx, std::vector<uint8_t>& out);

// g x g LUT of a camera image of w x h pixels: vertex (c, r) sits at pixel
// (c * w / (g - 1), r * h / (g - 1)) and points at the motion cell under it,
// clamped into the motion map. Row stride g.
void buildLut(int w, int h, int g, std::vector<uint32_t>& lut);

// Cuts the camera image whose first column is frame column x (any value):
// columns outside the frame replicate the frame's edge column. dst keeps its
// size (width x frame rows) and storage.
void cutCamera(const cv::Mat& frame, int x, int width, cv::Mat& dst);

// Strip buffer of the rig: per overlap i the last `overlap` columns of grey
// camera i, then the first `overlap` columns of grey camera i + 1, at the
// kit's strip offsets.
void fillStripBuffer(const std::vector<cv::Mat>& grey, int overlap, cv::Mat& buf);

// Colour panorama: camera interiors copied, every overlap blended with its
// fusion map (left weight w / 255).
void blendPanorama(const std::vector<cv::Mat>& colour, const std::vector<cv::Mat>& fusion,
                   int overlap, cv::Mat& pano);

// The host's running fusion map: running = a x fresh + (1 - a) x running, kept
// in Q8 fixed point (CV_32SC1; empty: starts at fresh), out = running rounded
// to 8 bits. The library's own map is left as it is.
void blendFusion(const cv::Mat& fresh, double a, cv::Mat& runningQ8, cv::Mat& out);

}  // namespace zsim

#endif
