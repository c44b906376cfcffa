// The seam flood written as plainly as possible, to compare the optimised one
// against: one FIFO per cost level, the lowest non-empty level served first,
// neighbours visited left, right, above, below.
#ifndef ZELVO_REFERENCE_FLOOD_H
#define ZELVO_REFERENCE_FLOOD_H

#include <algorithm>
#include <deque>
#include <vector>

#include <opencv2/core.hpp>

namespace zt {

struct FloodResult {
    cv::Mat markers;          // labels after the flood (CV_32SC1)
    std::vector<int> counts;  // per mask block, cells the flood labelled 1 (seeds not counted)
};

// Rows up to lastRow belong to block row / blockHeight, rows below it to the last block.
inline FloodResult reference_flood(const cv::Mat& cost, const cv::Mat& markersIn, int numBlocks,
                                   int blockHeight, int lastRow) {
    FloodResult res{markersIn.clone(), std::vector<int>(size_t(numBlocks), 0)};
    cv::Mat& m = res.markers;
    const int rows = m.rows, cols = m.cols;
    std::deque<cv::Point> q[256];
    auto positive = [&](int r, int c) { return m.at<int>(r, c) > 0; };
    m.row(0).setTo(cv::Scalar(-1));
    m.row(rows - 1).setTo(cv::Scalar(-1));
    for (int r = 1; r < rows - 1; ++r) {
        m.at<int>(r, 0) = m.at<int>(r, cols - 1) = -1;
        for (int c = 1; c < cols - 1; ++c) {
            int& v = m.at<int>(r, c);
            if (v < 0) v = 0;
            if (v == 0 && (positive(r, c - 1) || positive(r, c + 1) || positive(r - 1, c) ||
                           positive(r + 1, c))) {
                q[cost.at<uint8_t>(r, c)].push_back({c, r});
                v = -2;  // queued
            }
        }
    }
    const cv::Point step[4] = {{-1, 0}, {1, 0}, {0, -1}, {0, 1}};
    for (int level = 0; level < 256;) {
        if (q[level].empty()) {
            ++level;
            continue;
        }
        const cv::Point p = q[level].front();
        q[level].pop_front();
        int label = 0;  // the common positive neighbour label, -1 where two differ
        for (const cv::Point& d : step) {
            const int v = m.at<int>(p + d);
            if (v > 0 && label == 0)
                label = v;
            else if (v > 0 && v != label)
                label = -1;
        }
        m.at<int>(p) = label;
        if (label == 1) ++res.counts[size_t(p.y <= lastRow ? p.y / blockHeight : numBlocks - 1)];
        if (label == -1) continue;
        for (const cv::Point& d : step) {
            if (m.at<int>(p + d) != 0) continue;
            const int t = cost.at<uint8_t>(p + d);
            q[t].push_back(p + d);
            level = std::min(level, t);
            m.at<int>(p + d) = -2;
        }
    }
    return res;
}

}  // namespace zt

#endif
