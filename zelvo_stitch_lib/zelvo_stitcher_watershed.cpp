/*
 * zelvo_stitcher_watershed.cpp - priority flood of the seam search.
 *
 * The overlap's cost image (255 - |left - right| on the mask grid) is flooded
 * from labelled seed cells through 256 FIFO queues, one per cost value. The
 * cheapest queued cell is served first, so the left (1) and right (2) regions
 * meet, and boundary cells (-1) appear, where the two strips agree most.
 *
 * Every cell enters a queue at most once, and only an interior cell of cost t
 * can enter queue t. So the queues need no links and no free list: one index
 * array is cut, by a histogram of the interior costs, into 256 segments, and
 * each queue is a read and a write cursor in its own segment (entries are
 * appended at the write cursor and served from the read cursor, so FIFO order
 * is the array order). All of it is scratch: watershed_diff makes it per
 * call, the motion-aware seam keeps it in its state (FloodScratch) so that
 * its frames allocate nothing. The stitcher's wsQueue heads stay empty.
 */
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "zelvo_internal.h"

namespace {

constexpr int kLevels = 256;

/* The flood's working view of one call: the marker image, and the cost image
 * in the markers' layout, so that one offset (row * mstep + column) addresses
 * a cell in both. A cost image whose row step already equals the markers'
 * (in elements) is read in place; any other is copied into that layout. */
struct FloodGrid {
    int rows, cols, mstep;
    int* markers;         // marker row 0
    const uint8_t* cost;  // cost(r, c) at r * mstep + c

    FloodGrid(const cv::Mat& src, cv::Mat& mk, std::vector<uint8_t>& copy)
        : rows(src.rows), cols(src.cols), mstep(int(mk.step1())), markers(mk.ptr<int>(0)) {
        if (src.step[0] == size_t(mstep)) {
            cost = src.ptr<uint8_t>(0);
            return;
        }
        copy.resize(size_t(rows) * size_t(mstep));
        for (int r = 0; r < rows; ++r)
            std::memcpy(copy.data() + size_t(r) * size_t(mstep), src.ptr<uint8_t>(r), size_t(cols));
        cost = copy.data();
    }
    int* row(int r) const { return markers + size_t(r) * size_t(mstep); }
};

/* 256 FIFO queues of cell offsets over one index array. Queue t owns the
 * segment [start(t), start(t + 1)), as long as the number of interior
 * cells of cost t. A sentinel queue 256 is never empty, so the search
 * for the lowest non-empty queue stops there without a bound check. */
class LevelQueues {
public:
    LevelQueues(const FloodGrid& g, zelvo::FloodScratch& scratch) {
        std::array<int, kLevels> count{};
        for (int r = 1; r < g.rows - 1; ++r) {
            const uint8_t* c = g.cost + size_t(r) * size_t(g.mstep);
            for (int j = 1; j < g.cols - 1; ++j) ++count[c[j]];
        }
        int start = 0;
        for (int t = 0; t < kLevels; ++t) {
            read_[t] = write_[t] = start;
            start += count[t];
        }
        read_[kLevels] = 0;
        write_[kLevels] = 1;
        // Grown, never shrunk; no need to zero: a slot is read only after it
        // is written.
        if (scratch.slotCount < size_t(start)) {
            scratch.slots.reset(new int[size_t(start)]);
            scratch.slotCount = size_t(start);
        }
        slots_ = scratch.slots.get();
    }
    void push(int t, int offset) { slots_[size_t(write_[t]++)] = offset; }
    /* Lowest non-empty queue at or above `from`; kLevels when all are empty. */
    int lowestFrom(int from) const {
        while (read_[from] == write_[from]) ++from;
        return from;
    }
    int pop(int t) { return slots_[size_t(read_[t]++)]; }

private:
    std::array<int, kLevels + 1> read_, write_;
    int* slots_;
};

/* The label a popped cell takes from its four neighbours, read left, right,
 * above, below: the first positive value, -1 when a later positive value
 * differs from it. That is the common value of the positive neighbours, or
 * -1 when they disagree; a queued cell always has one (a cell is queued only
 * next to a positive label, and positive labels are never overwritten), so
 * the largest neighbour value is positive. */
inline int labelFrom(int left, int right, int above, int below) {
    const int label = std::max(std::max(left, right), std::max(above, below));
    // Bitwise, not short-circuit: four cheap tests beat a branch per
    // neighbour on data that follows no pattern.
    auto other = [label](int v) { return (v > 0) & (v != label); };
    const bool boundary = other(left) | other(right) | other(above) | other(below);
    return boundary ? -1 : label;
}

/* Mask block of a row: row / blockHeight up to the last block's first row,
 * the last block below it. */
inline int blockOfRow(int row, int blockHeight, int lastRow, int numBlocks) {
    return row <= lastRow ? row / blockHeight : numBlocks - 1;
}

/* The one-cell frame of the marker image becomes -1, before any neighbour
 * test reads it (a label in the frame therefore seeds nothing). */
void markFrame(const FloodGrid& g) {
    std::fill_n(g.row(0), g.cols, -1);
    std::fill_n(g.row(g.rows - 1), g.cols, -1);
    for (int r = 1; r < g.rows - 1; ++r) {
        g.row(r)[0] = -1;
        g.row(r)[g.cols - 1] = -1;
    }
}

/* Seeding, in raster order: an interior cell that is not positive becomes 0,
 * and if it touches a positive label it is queued at its own cost and marked
 * -2. Seeding changes no positive cell, and a cell that it changes was not
 * positive before, so every row can be tested on its values as they come in
 * (in passes that vectorise) and then be normalised and queued in column
 * order. Returns, per row, minus the number of label-1 seeds; the flood never
 * changes them, so adding the row's label-1 cells after the flood leaves the
 * cells the flood labelled 1. */
void seed(const FloodGrid& g, LevelQueues& queues, std::vector<int>& flooded,
          std::vector<uint8_t>& queued) {
    flooded.assign(size_t(g.rows), 0);
    queued.assign(size_t(g.cols), 0);
    for (int r = 1; r < g.rows - 1; ++r) {
        int* const m = g.row(r);
        const int* const up = m - g.mstep;
        const int* const down = m + g.mstep;
        const uint8_t* const cost = g.cost + size_t(r) * size_t(g.mstep);
        flooded[size_t(r)] = -int(std::count(m + 1, m + g.cols - 1, 1));
        for (int j = 1; j < g.cols - 1; ++j)
            queued[size_t(j)] =
                (m[j] <= 0) & ((m[j - 1] > 0) | (m[j + 1] > 0) | (up[j] > 0) | (down[j] > 0));
        for (int j = 1; j < g.cols - 1; ++j) m[j] = std::max(m[j], 0);
        for (int j = 1; j < g.cols - 1; ++j) {
            if (!queued[size_t(j)]) continue;
            queues.push(cost[j], r * g.mstep + j);
            m[j] = -2;
        }
    }
}

/* The flood proper. Invariant: no queue below `level` holds a cell, so the
 * lowest non-empty queue at or above it is the cheapest; queueing a cheaper
 * neighbour lowers `level` at once. Neighbours are labelled and queued in the
 * order left, right, above, below; a boundary cell (-1) spreads nothing. */
void flood(const FloodGrid& g, LevelQueues& queues) {
    for (int level = queues.lowestFrom(0); level < kLevels; level = queues.lowestFrom(level)) {
        const int cell = queues.pop(level);
        int* const m = g.markers + cell;
        const int left = m[-1], right = m[1], above = m[-g.mstep], below = m[g.mstep];
        const int label = labelFrom(left, right, above, below);
        *m = label;
        if (label == -1) continue;
        // Only unlabelled (0) neighbours are queued. The four values read
        // above are still current: only the neighbours themselves change.
        auto visit = [&](int value, int d) {
            if (value != 0) return;  // labelled, queued, boundary or frame
            const int t = g.cost[size_t(cell + d)];
            queues.push(t, cell + d);
            level = std::min(level, t);
            m[d] = -2;
        };
        visit(left, -1);
        visit(right, 1);
        visit(above, -g.mstep);
        visit(below, g.mstep);
    }
}

}  // namespace

void DynStitcher::watershed_diff(int numBlocks, int blockHeight, cv::InputArray _src,
                                 cv::InputOutputArray _markers,
                                 std::vector<_MaskBlockStat>& stats) {
    cv::Mat markers = _markers.getMat();
    zelvo::FloodScratch scratch;
    zelvo::floodLabels(*this, numBlocks, blockHeight, _src.getMat(), markers, stats, scratch);
}

void zelvo::floodLabels(const DynStitcher& s, int numBlocks, int blockHeight, const cv::Mat& src,
                        cv::Mat& markers, std::vector<_MaskBlockStat>& stats,
                        FloodScratch& scratch) {
    for (_MaskBlockStat& st : stats) {
        st.labelOneCount = 0;
        st.labelOneRatio = 0.0f;
    }
    if (src.rows <= 0 || src.cols <= 0) return;

    const FloodGrid grid(src, markers, scratch.costCopy);
    markFrame(grid);
    if (grid.rows <= 2 || grid.cols <= 2) return;  // no interior cell

    LevelQueues queues(grid, scratch);
    std::vector<int>& flooded = scratch.flooded;
    seed(grid, queues, flooded, scratch.queued);
    flood(grid, queues);

    // Label-1 cells per row, less the row's label-1 seeds, go to the row's
    // block; rows without any keep even an out-of-range block untouched.
    for (int r = 1; r < grid.rows - 1; ++r) {
        const int* const m = grid.row(r);
        int& n = flooded[size_t(r)];
        n += int(std::count(m + 1, m + grid.cols - 1, 1));
        if (n != 0)
            stats[size_t(blockOfRow(r, blockHeight, s.lastMaskBlockRow, numBlocks))]
                .labelOneCount += n;
    }
}
