// The seam flood on arbitrary cost and marker images (any labels, any sizes up
// to 64 x 64, optionally regions of wider matrices so that the two row steps
// differ), compared with a plain reference flood (one std::deque per level, the
// lowest non-empty level served first): labels and per-block label-1 counts
// equal, so every ordering and tie-break of the optimised flood is checked.
// Besides: nothing outside the region is touched, labelOneRatio is 0, the 256
// queues are empty after the call, and a second call on the same stitcher with
// the same inputs gives the same result.
#include <vector>

#include <opencv2/core.hpp>

#include "../reference_flood.h"
#include "fuzz_common.h"
#include "zelvo_internal.h"

namespace {

constexpr int kPadSentinel = 0x5A5A5A5A;

using Result = zt::FloodResult;

Result run_flood(DynStitcher& s, int numBlocks, int blockHeight, const cv::Mat& cost,
                 const cv::Mat& markersIn, int markerPad, int markerRowOff) {
    // The markers live inside a larger matrix full of sentinels.
    cv::Mat outer(markersIn.rows + 2 * markerRowOff, markersIn.cols + markerPad, CV_32SC1,
                  cv::Scalar(kPadSentinel));
    cv::Mat markers = outer(cv::Rect(0, markerRowOff, markersIn.cols, markersIn.rows));
    markersIn.copyTo(markers);

    std::vector<_MaskBlockStat> stats(static_cast<size_t>(numBlocks));
    for (auto& st : stats) {
        st.labelOneCount = 12345;  // stale values the call must clear
        st.labelOneRatio = 0.75f;
    }
    s.watershed_diff(numBlocks, blockHeight, cost, markers, stats);

    for (int k = 0; k < 256; ++k)
        FUZZ_CHECK(s.wsQueue[k].first == 0 && s.wsQueue[k].last == 0, "queue %d left %d..%d", k,
                   s.wsQueue[k].first, s.wsQueue[k].last);

    // Nothing outside the region changed.
    cv::Mat check = outer.clone();
    markers.setTo(cv::Scalar(kPadSentinel));
    FUZZ_CHECK(cv::countNonZero(outer != kPadSentinel) == 0, "write outside the region");
    Result res;
    res.markers = check(cv::Rect(0, markerRowOff, markersIn.cols, markersIn.rows)).clone();
    for (const auto& st : stats) {
        FUZZ_CHECK(st.labelOneRatio == 0.0f, "labelOneRatio %f", double(st.labelOneRatio));
        res.counts.push_back(st.labelOneCount);
    }
    return res;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zfuzz::silence_stdout();
    // Builds the library-wide tables, as a host's zelvo_stitch_init does.
    zelvo_stitch_init(9, 1, 0, 0, 1, 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const int rows = in.ConsumeIntegralInRange<int>(1, 64);
    const int cols = in.ConsumeIntegralInRange<int>(1, 64);
    const int numBlocks = in.ConsumeIntegralInRange<int>(1, 16);
    const int blockHeight = in.ConsumeIntegralInRange<int>(1, 64);
    const int costPad = in.ConsumeIntegralInRange<int>(0, 3);
    const int markerPad = in.ConsumeIntegralInRange<int>(0, 3);
    const int markerRowOff = in.ConsumeIntegralInRange<int>(0, 1);
    const int labelMode = in.ConsumeIntegralInRange<int>(0, 3);

    // Cost image: a region of a wider matrix when costPad > 0.
    cv::Mat costOuter(rows, cols + costPad, CV_8UC1, cv::Scalar(7));
    cv::Mat cost = costOuter(cv::Rect(0, 0, cols, rows));
    const int costMode = in.ConsumeIntegralInRange<int>(0, 3);
    std::vector<uint8_t> bytes(size_t(rows) * cols);
    zfuzz::fill_bytes(in, bytes.data(), bytes.size(), bytes.size());
    for (int r = 0; r < rows; ++r) {
        uint8_t* p = cost.ptr<uint8_t>(r);
        for (int c = 0; c < cols; ++c) {
            // Few distinct levels make long FIFO ties; all 256 stress the
            // active-level bookkeeping.
            const uint8_t b = bytes[size_t(r) * cols + c];
            p[c] = costMode == 0 ? uint8_t(b & 3) : costMode == 1 ? uint8_t(b & 0x80 ? 255 : 0) : b;
        }
    }

    // Markers: the set-up seeds, a small alphabet, or any int32.
    cv::Mat markersIn(rows, cols, CV_32SC1, cv::Scalar(0));
    static const int kAlphabet[8] = {0, 0, 0, 0, 1, 2, -1, -2};
    static const int kWide[8] = {0, 0, 1, 2, 3, 7, -1, 1000000};
    for (int r = 0; r < rows; ++r) {
        int* m = markersIn.ptr<int>(r);
        for (int c = 0; c < cols; ++c) {
            switch (labelMode) {
                case 0:  // as set-up makes them, plus the odd stray label
                    m[c] = c < 2 ? 1 : 0;
                    if (c >= cols - 2) m[c] = 2;
                    if (in.ConsumeIntegralInRange<int>(0, 31) == 0)
                        m[c] = kAlphabet[in.ConsumeIntegralInRange<int>(0, 7)];
                    break;
                case 1:
                    m[c] = kAlphabet[in.ConsumeIntegralInRange<int>(0, 7)];
                    break;
                case 2:
                    m[c] = kWide[in.ConsumeIntegralInRange<int>(0, 7)];
                    break;
                default:
                    m[c] = in.ConsumeIntegral<int32_t>();
                    break;
            }
        }
    }

    DynStitcher s;  // default construction prints nothing; queues start empty
    s.lastMaskBlockRow = (numBlocks - 1) * blockHeight;
    const Result first =
        run_flood(s, numBlocks, blockHeight, cost, markersIn, markerPad, markerRowOff);

    const Result ref =
        zt::reference_flood(cost, markersIn, numBlocks, blockHeight, s.lastMaskBlockRow);
    FUZZ_CHECK(cv::countNonZero(first.markers != ref.markers) == 0,
               "labels differ from the reference flood");
    FUZZ_CHECK(first.counts == ref.counts, "counts differ from the reference flood");

    // Same stitcher, same inputs: the queues start clean, so the same result.
    const Result second =
        run_flood(s, numBlocks, blockHeight, cost, markersIn, markerPad, markerRowOff);
    FUZZ_CHECK(cv::countNonZero(first.markers != second.markers) == 0, "second call differs");
    FUZZ_CHECK(first.counts == second.counts, "second call counts differ");
    return 0;
}
