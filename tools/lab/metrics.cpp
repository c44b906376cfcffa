// Seam metrics on one overlap; see lab.h.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "lab/lab.h"

namespace zsim {

namespace {
const double kNaN = std::numeric_limits<double>::quiet_NaN();
}  // namespace

std::vector<int> seamColumns(const cv::Mat& fusion) {
    CV_Assert(fusion.type() == CV_8UC1);
    std::vector<int> seam(fusion.rows);
    for (int y = 0; y < fusion.rows; ++y) {
        const uint8_t* f = fusion.ptr<uint8_t>(y);
        seam[y] = int(std::find_if(f, f + fusion.cols, [](uint8_t v) { return v < 128; }) - f);
    }
    return seam;
}

double seamCost(const std::vector<int>& seam, const cv::Mat& left, const cv::Mat& right) {
    double sum = 0;
    for (int y = 0; y < left.rows; ++y) {
        const int x = std::min(seam[y], left.cols - 1);
        sum += std::abs(int(left.ptr<uint8_t>(y)[x]) - int(right.ptr<uint8_t>(y)[x]));
    }
    return left.rows ? sum / left.rows : 0.0;
}

double moverCut(const std::vector<int>& seam, const cv::Mat& moversL, const cv::Mat& moversR) {
    int cut = 0;
    for (int y = 0; y < moversL.rows; ++y) {
        const int x = std::min(seam[y], moversL.cols - 1);
        cut += moversL.ptr<uint8_t>(y)[x] || moversR.ptr<uint8_t>(y)[x];
    }
    return moversL.rows ? double(cut) / moversL.rows : 0.0;
}

double seamJitter(const std::vector<int>& seam, const std::vector<int>& prev,
                  const std::vector<uint8_t>& use) {
    if (prev.size() != seam.size()) return kNaN;
    long long sum = 0, n = 0;
    for (size_t y = 0; y < seam.size(); ++y)
        if (use[y]) {
            sum += std::abs(seam[y] - prev[y]);
            ++n;
        }
    return n ? double(sum) / double(n) : kNaN;
}

double ghosting(const cv::Mat& fusion, const cv::Mat& left, const cv::Mat& right) {
    double sum = 0;
    for (int y = 0; y < fusion.rows; ++y) {
        const uint8_t* f = fusion.ptr<uint8_t>(y);
        const uint8_t* l = left.ptr<uint8_t>(y);
        const uint8_t* r = right.ptr<uint8_t>(y);
        long long row = 0;
        for (int x = 0; x < fusion.cols; ++x)
            row += (long long)f[x] * (255 - f[x]) * std::abs(int(l[x]) - int(r[x]));
        sum += double(row);
    }
    return fusion.total() ? sum / (255.0 * 255.0) / double(fusion.total()) : 0.0;
}

double edgeStep(const cv::Mat& fusion, const cv::Mat& left, const cv::Mat& right) {
    if (fusion.empty()) return 0.0;
    const int last = fusion.cols - 1;
    double sum = 0;
    for (int y = 0; y < fusion.rows; ++y) {
        const uint8_t* f = fusion.ptr<uint8_t>(y);
        const uint8_t* l = left.ptr<uint8_t>(y);
        const uint8_t* r = right.ptr<uint8_t>(y);
        sum += (255 - f[0]) * std::abs(int(l[0]) - int(r[0])) +
               f[last] * std::abs(int(l[last]) - int(r[last]));
    }
    return sum / 255.0 / fusion.rows;
}

}  // namespace zsim
