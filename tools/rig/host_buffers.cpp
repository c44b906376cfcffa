// Host buffers of the simulated rig; see host_buffers.h.
#include "rig/host_buffers.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "zelvo_stitch_host.h"

namespace zsim {

namespace {
constexpr int kMotionBlock = zelvo_host::kMotionBlockPx;
int motionBlocks(int pixels) { return int(zelvo_host::md_blocks(unsigned(pixels))); }
}  // namespace

void blockMotion(const cv::Mat& prev, const cv::Mat& cur, int threshold, cv::Mat& blocks,
                 std::vector<int>& rowSums, int maxLevel) {
    CV_Assert(prev.type() == CV_8UC1 && cur.type() == CV_8UC1 && prev.size() == cur.size());
    const int rows = cur.rows, cols = cur.cols;
    const int bx = motionBlocks(cols), by = motionBlocks(rows);
    blocks.create(by, bx, CV_8UC1);
    rowSums.assign(bx, 0);
    for (int y = 0; y < rows; ++y) {
        const uint8_t* p = prev.ptr<uint8_t>(y);
        const uint8_t* c = cur.ptr<uint8_t>(y);
        for (int x = 0; x < cols; ++x) rowSums[x / kMotionBlock] += std::abs(int(c[x]) - int(p[x]));
        if ((y + 1) % kMotionBlock != 0 && y != rows - 1) continue;
        const int bh = y % kMotionBlock + 1;
        uint8_t* out = blocks.ptr<uint8_t>(y / kMotionBlock);
        for (int b = 0; b < bx; ++b) {
            const int bw = std::min(kMotionBlock, cols - b * kMotionBlock);
            const int need = threshold * bw * bh;
            int level = rowSums[b] >= need ? 1 : 0;
            if (level && maxLevel > 1)
                level = need > 0 ? std::min(maxLevel, rowSums[b] / need) : maxLevel;
            out[b] = uint8_t(level);
            rowSums[b] = 0;
        }
    }
}

void packMotionBitmap(const cv::Mat& blocks, int widthPx, std::vector<uint8_t>& out) {
    CV_Assert(blocks.type() == CV_8UC1 && blocks.cols <= motionBlocks(widthPx));
    out.resize(zelvo_host::md_row_bytes(unsigned(widthPx)) * size_t(blocks.rows));
    zelvo_host::md_pack(blocks.data, unsigned(blocks.cols), unsigned(blocks.rows), blocks.step[0],
                        unsigned(widthPx), out.data());
}

void buildLut(int w, int h, int g, std::vector<uint32_t>& lut) {
    CV_Assert(g >= 2 && w > 0 && h > 0);
    const int bx = motionBlocks(w), by = motionBlocks(h);
    lut.assign(size_t(g) * g, 0);
    for (int r = 0; r < g; ++r) {
        const long long py = (long long)r * h / (g - 1);
        const int row = int(std::min<long long>(py / kMotionBlock, by - 1));
        for (int c = 0; c < g; ++c) {
            const long long px = (long long)c * w / (g - 1);
            const int col = int(std::min<long long>(px / kMotionBlock, bx - 1));
            lut[size_t(r) * g + c] = zelvo_host::lut_word(unsigned(row), unsigned(col));
        }
    }
}

void cutCamera(const cv::Mat& frame, int x, int width, cv::Mat& dst) {
    const int fw = frame.cols;
    int a, b, left;
    if (x >= fw) {
        a = fw - 1, b = fw, left = 0;
    } else if (x + width <= 0) {
        a = 0, b = 1, left = width - 1;
    } else {
        a = std::max(x, 0), b = std::min(x + width, fw), left = a - x;
    }
    const int right = width - left - (b - a);
    const cv::Mat src = frame(cv::Rect(a, 0, b - a, frame.rows));
    if (left == 0 && right == 0)
        src.copyTo(dst);
    else  // ISOLATED: replicate the cut's own edge, not pixels beyond the region
        cv::copyMakeBorder(src, dst, 0, 0, left, right, cv::BORDER_REPLICATE | cv::BORDER_ISOLATED);
}

void fillStripBuffer(const std::vector<cv::Mat>& grey, int overlap, cv::Mat& buf) {
    const int n = int(grey.size());
    const int w = grey[0].cols, h = grey[0].rows;
    const std::vector<uint32_t> widths(size_t(n - 1), uint32_t(overlap));
    buf.create(h, int(zelvo_host::strip_buffer_width(widths.data(), unsigned(n - 1))), CV_8UC1);
    for (int i = 0; i + 1 < n; ++i) {
        const int l = int(zelvo_host::strip_left_x(widths.data(), unsigned(i)));
        const int r = int(zelvo_host::strip_right_x(widths.data(), unsigned(i)));
        grey[i](cv::Rect(w - overlap, 0, overlap, h)).copyTo(buf(cv::Rect(l, 0, overlap, h)));
        grey[i + 1](cv::Rect(0, 0, overlap, h)).copyTo(buf(cv::Rect(r, 0, overlap, h)));
    }
}

void blendPanorama(const std::vector<cv::Mat>& colour, const std::vector<cv::Mat>& fusion,
                   int overlap, cv::Mat& pano) {
    const int n = int(colour.size());
    const int w = colour[0].cols, h = colour[0].rows, step = w - overlap;
    pano.create(h, n * w - (n - 1) * overlap, CV_8UC3);
    for (int k = 0; k < n; ++k) {
        const int start = k == 0 ? 0 : overlap, end = k == n - 1 ? w : w - overlap;
        if (end > start)
            colour[k](cv::Rect(start, 0, end - start, h))
                .copyTo(pano(cv::Rect(k * step + start, 0, end - start, h)));
    }
    for (int i = 0; i + 1 < n; ++i) {
        const int ox = (i + 1) * step;
        for (int y = 0; y < h; ++y) {
            const cv::Vec3b* l = colour[i].ptr<cv::Vec3b>(y) + step;
            const cv::Vec3b* r = colour[i + 1].ptr<cv::Vec3b>(y);
            const uint8_t* f = fusion[i].ptr<uint8_t>(y);
            cv::Vec3b* p = pano.ptr<cv::Vec3b>(y) + ox;
            for (int x = 0; x < overlap; ++x) {
                const int wl = f[x], wr = 255 - wl;
                for (int c = 0; c < 3; ++c)
                    p[x][c] = uint8_t((l[x][c] * wl + r[x][c] * wr + 127) / 255);
            }
        }
    }
}

void blendFusion(const cv::Mat& fresh, double a, cv::Mat& runningQ8, cv::Mat& out) {
    CV_Assert(fresh.type() == CV_8UC1);
    const bool first = runningQ8.size() != fresh.size();
    if (first) runningQ8.create(fresh.size(), CV_32SC1);
    out.create(fresh.size(), CV_8UC1);
    const long long aQ16 = std::lround(std::clamp(a, 0.0, 1.0) * 65536.0);
    for (int y = 0; y < fresh.rows; ++y) {
        const uint8_t* f = fresh.ptr<uint8_t>(y);
        int* r = runningQ8.ptr<int>(y);
        uint8_t* o = out.ptr<uint8_t>(y);
        for (int x = 0; x < fresh.cols; ++x) {
            const int target = f[x] << 8;
            // Integer division truncates toward zero on every platform.
            r[x] = first ? target : r[x] + int(aQ16 * (target - r[x]) / 65536);
            o[x] = uint8_t((r[x] + 128) >> 8);
        }
    }
}

}  // namespace zsim
