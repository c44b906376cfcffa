// The seam flood written plainly, to compare the optimised one against: one FIFO per cost level,
// the lowest non-empty level served first, neighbours visited left, right, above, below.
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
    cv::Mat_<int> m = res.markers;  // shares the pixels
    const cv::Point step[4] = {{-1, 0}, {1, 0}, {0, -1}, {0, 1}};
    std::deque<cv::Point> q[256];
    int level = 0;  // the lowest level that may hold a cell
    auto queue = [&](cv::Point p) {
        level = std::min(level, int(cost.at<uint8_t>(p)));
        q[cost.at<uint8_t>(p)].push_back(p);
        m(p) = -2;  // queued
    };
    // The frame is boundary; interior negatives are cleared; cells next to a seed queue.
    m.row(0) = -1, m.row(m.rows - 1) = -1, m.col(0) = -1, m.col(m.cols - 1) = -1;
    for (int r = 1; r < m.rows - 1; ++r)
        for (int c = 1; c < m.cols - 1; ++c) {
            m(r, c) = std::max(m(r, c), 0);
            for (const cv::Point& d : step)
                if (m(r, c) == 0 && m(cv::Point(c, r) + d) > 0) queue({c, r});
        }
    for (; level < 256; ++level)
        while (!q[level].empty()) {  // queueing a cheaper cell lowers the level
            const cv::Point p = q[level].front();
            q[level].pop_front();
            int label = 0;  // the common positive neighbour label, -1 where two differ
            for (const cv::Point& d : step)
                if (m(p + d) > 0) label = label == 0 || label == m(p + d) ? m(p + d) : -1;
            m(p) = label;
            if (label == 1)
                ++res.counts[size_t(p.y <= lastRow ? p.y / blockHeight : numBlocks - 1)];
            for (const cv::Point& d : step)
                if (label != -1 && m(p + d) == 0) queue(p + d);
        }
    return res;
}

}  // namespace zt

#endif
