/*
 * Motion-aware mode: the tracker and the seam update of a stitcher, steered
 * by the cameras' decoded motion maps (one byte per 16 x 16 pixel block,
 * non-zero = moved).
 *
 * Both paths first mark, on the mask grid, the cells whose motion cell moved
 * in either camera. A mask cell finds its motion cell through the LUT vertex
 * nearest its centre, among the vertices that set-up checked; so the mode
 * reads no LUT word and no motion byte that the 1.0 paths do not.
 *
 * Units: mask cells (cellWidth x cellHeight full-resolution pixels) unless
 * named otherwise; grey levels 0..255.
 */
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "zelvo_internal.h"

// Library-wide, like the other switches: written only while no other call of
// the library runs, read by every call of the mode.
bool zelvo::motionAware = false;

ZELVO_MOTION_AWARE_PARAMS zelvo_stitch_motion_aware_params = {24, 18, 6, 16};

extern "C" int zelvo_stitch_set_motion_aware(int on) {
    zelvo::motionAware = on != 0;
    return 0;
}

namespace {

/* Everything the mode keeps per stitcher. Made whole for one geometry (mask
 * size, motion grid, LUTs) and reused every frame; remade only when the
 * stitcher's geometry changes (an assignment from another stitcher). */
struct State {
    int rows = 0, cols = 0;             // mask grid the buffers are made for
    int mdWidth = 0, mdHeight = 0;      // motion grid the cell map indexes
    const uint32_t* lutLeft = nullptr;  // LUTs the cell map was read from
    const uint32_t* lutRight = nullptr;
    std::vector<int32_t> cellMdL;  // per mask cell (row-major): byte of the left map, -1 none
    std::vector<int32_t> cellMdR;  // the same in the right map
    std::vector<int32_t> fresh;    // per mask row, this frame's flood seam column
    cv::Mat moving;                // CV_8UC1: 1 where a camera moved under the cell
    cv::Mat near;                  // CV_8UC1: moving, dilated
    cv::Mat around;                // CV_8UC1: near, dilated once more (its ring and itself)
    cv::Mat rowPass;               // CV_8UC1: the dilation's horizontal pass
    cv::Mat cornerMask;            // CV_8UC1: 255 where corners may be tracked
    cv::Mat cost;                  // CV_8UC1: the flood's cost
    cv::Mat markers;               // CV_32SC1: the flood's labels
    zelvo::FloodScratch flood;
    bool seamStarted = false;  // a seam was drawn; rowCrossX holds it
};

/* The states, by stitcher. Kept outside DynStitcher so that its layout stays
 * that of 1.0 (hosts built against 1.0 may allocate stitchers themselves).
 * The lock covers the table only: per-overlap calls on different stitchers
 * run at once, each then working on its own state. */
std::mutex g_statesLock;
using StateTable = std::unordered_map<const DynStitcher*, std::unique_ptr<State>>;
/* Never destroyed: a stitcher of the host's may be destroyed after this
 * library's statics at exit. */
StateTable& states() {
    static StateTable* table = new StateTable;
    return *table;
}

/* The LUT vertices that set-up checked along one axis: first .. last,
 * inclusive, of the vertices at or inside [from, to] pixels (of extent
 * pixels spanned by g + 1 vertices), cut to `steps` in lockstep with the
 * other image. Empty (last < first) when none. */
struct VertexRange {
    long long first, last;
};

VertexRange checkedVertices(int from, int to, int extent, int g) {
    return {static_cast<long long>(std::ceil(double(from) / double(extent) * double(g))),
            static_cast<long long>(std::floor(double(to) / double(extent) * double(g)))};
}

long long rangeLength(const VertexRange& r) { return r.last - r.first + 1; }

/* Vertex index nearest pixel `pos`, kept inside the checked range. */
long long nearestVertex(double pos, int extent, int g, const VertexRange& r) {
    const long long v = std::llround(pos / double(extent) * double(g));
    return std::min(std::max(v, r.first), r.last);
}

/* Per mask cell, the byte of one camera's decoded map under the cell's
 * nearest checked LUT vertex (-1 for every cell when set-up checked none).
 * x0 is the overlap's first column in that camera image. */
void mapCellsToMotion(const DynStitcher& s, const uint32_t* lut, int x0, VertexRange cols,
                      VertexRange rows, std::vector<int32_t>& out) {
    const int g = s.lutGridSize - 1;
    out.assign(size_t(s.maskRows) * size_t(s.maskCols), -1);
    if (rangeLength(cols) <= 0 || rangeLength(rows) <= 0) return;
    for (int y = 0; y < s.maskRows; ++y) {
        const double py = (double(y) + 0.5) * double(s.cellHeight);
        const long long r = nearestVertex(py, s.imgHeight, g, rows);
        for (int x = 0; x < s.maskCols; ++x) {
            const double px = double(x0) + (double(x) + 0.5) * double(s.cellWidth);
            const long long c = nearestVertex(px, s.imgWidth, g, cols);
            const uint32_t word = lut[r * s.lutStride + c];
            const int mx = std::min(int(zelvo_host::lut_word_col(word)), int(s.mdGridWidth) - 1);
            const int my = std::min(int(zelvo_host::lut_word_row(word)), int(s.mdGridHeight) - 1);
            out[size_t(y) * size_t(s.maskCols) + size_t(x)] =
                (mx < 0 || my < 0) ? -1 : my * int(s.mdGridWidth) + mx;
        }
    }
}

/* A complete state for s's present geometry; throws (allocation) before s
 * sees any of it. */
std::unique_ptr<State> makeState(const DynStitcher& s) {
    std::unique_ptr<State> st(new State);
    st->rows = s.maskRows;
    st->cols = s.maskCols;
    st->mdWidth = s.mdGridWidth;
    st->mdHeight = s.mdGridHeight;
    st->lutLeft = s.lutLeft;
    st->lutRight = s.lutRight;

    // The vertices set-up walks: the overlap in each image, rows and columns
    // in lockstep (the longer range's extra vertices unvisited).
    const int g = s.lutGridSize - 1;
    const int x0 = s.imgWidth - s.overlapWidth;
    VertexRange leftCols = checkedVertices(x0, s.imgWidth, s.imgWidth, g);
    VertexRange rightCols = checkedVertices(0, s.overlapWidth, s.imgWidth, g);
    VertexRange rows = checkedVertices(0, s.imgHeight, s.imgHeight, g);
    const long long colSteps = std::min(rangeLength(leftCols), rangeLength(rightCols));
    leftCols.last = leftCols.first + colSteps - 1;
    rightCols.last = rightCols.first + colSteps - 1;
    if (s.lutLeft != nullptr && s.lutRight != nullptr && s.mdGridWidth > 0 && s.mdGridHeight > 0) {
        mapCellsToMotion(s, s.lutLeft, x0, leftCols, rows, st->cellMdL);
        mapCellsToMotion(s, s.lutRight, 0, rightCols, rows, st->cellMdR);
    } else {
        st->cellMdL.assign(size_t(s.maskRows) * size_t(s.maskCols), -1);
        st->cellMdR = st->cellMdL;
    }

    const cv::Size grid(s.maskCols, s.maskRows);
    st->fresh.assign(size_t(s.maskRows), 0);
    st->moving.create(grid, CV_8UC1);
    st->near.create(grid, CV_8UC1);
    st->around.create(grid, CV_8UC1);
    st->rowPass.create(grid, CV_8UC1);
    st->cornerMask.create(grid, CV_8UC1);
    st->cost.create(grid, CV_8UC1);
    st->markers.create(grid, CV_32SC1);
    // One flood at this size grows the scratch to what every later one uses.
    st->flood.slots.reset(new int[size_t(s.maskRows) * size_t(s.maskCols)]);
    st->flood.slotCount = size_t(s.maskRows) * size_t(s.maskCols);
    st->flood.flooded.reserve(size_t(s.maskRows));
    st->flood.queued.reserve(size_t(s.maskCols));
    return st;
}

/* The mode reads the frame call's images as well as what set-up makes. The
 * seam path's caller (process) has checked the set-up state already; the
 * tracker checks it here. */
void requireStrips(const DynStitcher& s, const char* what) {
    const cv::Size grid(s.maskCols, s.maskRows);
    if (s.diffImage.size() != grid || s.leftImage.size() != grid || s.rightImage.size() != grid)
        throw std::logic_error(std::string(what) +
                               ": the motion-aware mode needs the frame call's strips first");
}

/* s's state, made (or remade after a change of geometry) when needed; an
 * allocation failure leaves the table and s as they were. */
State& stateOf(DynStitcher& s) {
    std::lock_guard<std::mutex> lock(g_statesLock);
    StateTable& table = states();
    auto it = table.find(&s);
    State* st = it == table.end() ? nullptr : it->second.get();
    if (st != nullptr && st->rows == s.maskRows && st->cols == s.maskCols &&
        st->mdWidth == s.mdGridWidth && st->mdHeight == s.mdGridHeight &&
        st->lutLeft == s.lutLeft && st->lutRight == s.lutRight)
        return *st;
    std::unique_ptr<State> fresh = makeState(s);
    if (it == table.end()) it = table.emplace(&s, nullptr).first;
    it->second = std::move(fresh);
    return *it->second;
}

/* moving = 1 where either camera's motion cell under the mask cell moved;
 * all 0 without both maps. */
void markMovingCells(State& st, const uint8_t* mdLeft, const uint8_t* mdRight) {
    if (mdLeft == nullptr || mdRight == nullptr) {
        for (int y = 0; y < st.rows; ++y)
            std::memset(st.moving.ptr<uint8_t>(y), 0, size_t(st.cols));
        return;
    }
    for (int y = 0; y < st.rows; ++y) {
        uint8_t* m = st.moving.ptr<uint8_t>(y);
        const int32_t* l = st.cellMdL.data() + size_t(y) * size_t(st.cols);
        const int32_t* r = st.cellMdR.data() + size_t(y) * size_t(st.cols);
        for (int x = 0; x < st.cols; ++x)
            m[x] = uint8_t(((l[x] >= 0 && mdLeft[l[x]] != 0) | (r[x] >= 0 && mdRight[r[x]] != 0)));
    }
}

/* dst = 1 where src (0/1) has a 1 within rx columns and ry rows (a box
 * dilation): src ORed with itself shifted by up to rx columns, then that
 * ORed with itself shifted by up to ry rows, region by region into
 * preallocated buffers (OpenCV's bitwise_or reuses a destination of the
 * right size, so nothing is allocated). */
void dilateCells(State& st, const cv::Mat& src, int rx, int ry, cv::Mat& dst) {
    const int cols = st.cols, rows = st.rows;
    cv::Mat& h = st.rowPass;
    src.copyTo(h);
    for (int d = 1; d <= std::min(rx, cols - 1); ++d) {
        cv::Mat left = h.colRange(0, cols - d), right = h.colRange(d, cols);
        cv::bitwise_or(left, src.colRange(d, cols), left);
        cv::bitwise_or(right, src.colRange(0, cols - d), right);
    }
    h.copyTo(dst);
    for (int d = 1; d <= std::min(ry, rows - 1); ++d) {
        cv::Mat up = dst.rowRange(0, rows - d), down = dst.rowRange(d, rows);
        cv::bitwise_or(up, h.rowRange(d, rows), up);
        cv::bitwise_or(down, h.rowRange(0, rows - d), down);
    }
}

/* Cells covering `px` full-resolution pixels, rounded up; 0 for px <= 0. */
int cellsFor(int px, int cell) { return px <= 0 ? 0 : int(((long long)px + cell - 1) / cell); }

/* Static corners: detected where no motion lies within (rx, ry) cells;
 * returns how many. */
int detectStaticCorners(DynStitcher& s, State& st, int rx, int ry) {
    dilateCells(st, st.moving, rx, ry, st.near);
    // near is 0/1: 255 - 255 * near allows exactly the cells without motion.
    st.near.convertTo(st.cornerMask, CV_8UC1, -255.0, 255.0);
    zelvo::detectCorners(s, st.cornerMask);
    return int(s.ST_TRKE_prevPts.size());
}

/* The seam keeps this many cells off moving cells: the host's bilinear
 * scaling of the mask blends over one cell on each side of the step. */
constexpr int kMoverClearanceCells = 1;
/* ... and this many cells off the overlap's edges, so that the first column
 * stays wholly the left camera's and the last wholly the right camera's. */
constexpr int kEdgeCells = 2;

/* The flood's cost (cheapest cells flood first, so the two sides meet on the
 * dearest). 0 on cells near motion, so no seam runs over a mover, with a
 * ridge of 255 round them, so the side that fills a mover cannot spill out
 * and drag the whole seam along. 0 in the edge bands. Elsewhere diffImage,
 * lowered by `stick` except within a cell of last frame's seam (joined row
 * to row, so the ridge it leaves has no gap): a still scene keeps its seam
 * unless another line agrees clearly better. */
void buildSeamCost(const DynStitcher& s, State& st, int stick) {
    dilateCells(st, st.near, 1, 1, st.around);
    for (int y = 0; y < st.rows; ++y) {
        const uint8_t* d = s.diffImage.ptr<uint8_t>(y);
        const uint8_t* n = st.near.ptr<uint8_t>(y);
        const uint8_t* a = st.around.ptr<uint8_t>(y);
        uint8_t* c = st.cost.ptr<uint8_t>(y);
        // Everything lowered by stick, then last frame's seam at full cost,
        // then the ridge round the moving cells and the moving cells.
        for (int x = 0; x < st.cols; ++x) c[x] = uint8_t(std::max(d[x] - stick, 0));
        if (st.seamStarted) {
            const int p = s.rowCrossX[size_t(y)];
            const int q = y > 0 ? s.rowCrossX[size_t(y - 1)] : p;
            const int from = std::max(std::min(p, q) - 1, 0);  // and one cell either side
            const int to = std::min(std::max(p, q) + 1, st.cols - 1);
            for (int x = from; x <= to; ++x) c[x] = d[x];
        }
        for (int x = 0; x < st.cols; ++x) c[x] = a[x] ? uint8_t(n[x] ? 0 : 255) : c[x];
        std::fill(c, c + std::min(kEdgeCells, st.cols), uint8_t(0));
        std::fill(c + std::max(st.cols - kEdgeCells, 0), c + st.cols, uint8_t(0));
    }
}

/* Left-right difference (255 - diffImage) summed over the three cells
 * centred on column x of row y, the window kept inside the row. */
int seamDifference(const DynStitcher& s, int y, int x) {
    const uint8_t* d = s.diffImage.ptr<uint8_t>(y);
    const int cols = s.maskCols;
    if (cols < 3) {  // a narrower row: its mean over all cells, on the same scale
        int sum = 0;
        for (int c = 0; c < cols; ++c) sum += 255 - d[c];
        return 3 * sum / cols;
    }
    const int c = std::min(std::max(x, 1), cols - 2);
    return 3 * 255 - (d[c - 1] + d[c] + d[c + 1]);
}

/* This frame's flood seam of every row into fresh, kept off the edges. */
void readFloodSeam(const DynStitcher& s, State& st) {
    const int lo = kEdgeCells, hi = st.cols - 1 - kEdgeCells;
    for (int y = 0; y < st.rows; ++y) {
        const int f = zelvo::rowCrossing(s.fusionMask.ptr<uint8_t>(y), st.cols);
        st.fresh[size_t(y)] = lo <= hi ? std::min(std::max(f, lo), hi) : st.cols >> 1;
    }
}

/* The hysteresis. Where the flood's seam parts from the held one (rowCrossX),
 * the stretch of rows switches to it as a whole, keeping the seam connected,
 * only when it is cheaper by more than `margin` grey levels per cell on
 * average; a row whose held seam a mover has come near switches at once. */
void updateHeldSeam(DynStitcher& s, State& st, int margin) {
    std::vector<int32_t>& held = s.rowCrossX;
    const std::vector<int32_t>& fresh = st.fresh;
    if (!st.seamStarted) {
        std::copy(fresh.begin(), fresh.end(), held.begin());
        return;
    }
    auto moverNear = [&](int y) {
        const int h = held[size_t(y)];
        return h < 0 || h >= st.cols || st.near.ptr<uint8_t>(y)[h] != 0;
    };
    for (int a = 0; a < st.rows;) {
        if (fresh[size_t(a)] == held[size_t(a)]) {
            ++a;
            continue;
        }
        int b = a;
        long long costFresh = 0, costHeld = 0;
        for (; b < st.rows && fresh[size_t(b)] != held[size_t(b)]; ++b) {
            costFresh += seamDifference(s, b, fresh[size_t(b)]);
            costHeld += seamDifference(s, b, held[size_t(b)]);
        }
        const bool cheaper = costFresh + 3LL * margin * (b - a) < costHeld;
        for (int y = a; y < b; ++y)
            if (cheaper || moverNear(y)) held[size_t(y)] = fresh[size_t(y)];
        a = b;
    }
}

/* Each row: 255 up to its held seam column, 0 after it (a hard step; the
 * host's bilinear scaling turns it into a one-cell ramp). */
void drawHeldSeam(DynStitcher& s, State& st) {
    const int lo = kEdgeCells, hi = st.cols - 1 - kEdgeCells;
    for (int y = 0; y < st.rows; ++y) {
        int& h = s.rowCrossX[size_t(y)];
        if (lo <= hi) h = std::min(std::max(h, lo), hi);
        uint8_t* row = s.fusionMask.ptr<uint8_t>(y);
        std::fill(row, row + h + 1, uint8_t(255));
        std::fill(row + h + 1, row + st.cols, uint8_t(0));
    }
    st.seamStarted = true;
}

}  // namespace

void zelvo::freeMotionAwareState(const DynStitcher* s) {
    std::lock_guard<std::mutex> lock(g_statesLock);
    states().erase(s);
}

int zelvo::trackMotionAware(DynStitcher& s, const uint8_t* mdLeft, const uint8_t* mdRight) {
    zelvo::requireSeamState(s, "tracking (motion-aware)");
    requireStrips(s, "tracking (motion-aware)");
    State& st = stateOf(s);
    zelvo::beginTrackerRun(s);
    markMovingCells(st, mdLeft, mdRight);

    const int marginPx = std::max(zelvo_stitch_motion_aware_params.trackMarginPx, 0);
    const int minCorners = zelvo_stitch_motion_aware_params.minStaticCorners;
    // Fewer static corners than asked: a smaller margin, then every corner
    // (the 1.0 tracker), so a small or busy view never tracks less than 1.0.
    if (detectStaticCorners(s, st, cellsFor(marginPx, s.cellWidth),
                            cellsFor(marginPx, s.cellHeight)) >= minCorners ||
        detectStaticCorners(s, st, 0, 0) >= minCorners)
        return zelvo::trackDetectedCorners(s, true);
    zelvo::detectCorners(s, cv::Mat());
    return zelvo::trackDetectedCorners(s);
}

void zelvo::processMotionAware(DynStitcher& s, const uint8_t* mdLeft, const uint8_t* mdRight) {
    requireStrips(s, "process (motion-aware)");
    State& st = stateOf(s);
    const ZELVO_MOTION_AWARE_PARAMS& p = zelvo_stitch_motion_aware_params;

    markMovingCells(st, mdLeft, mdRight);
    dilateCells(st, st.moving, kMoverClearanceCells, kMoverClearanceCells, st.near);
    buildSeamCost(s, st, std::max(p.seamStickGrey, 0));
    s.wsMarkers.copyTo(st.markers);
    zelvo::floodLabels(s, s.numMaskBlocks, s.maskBlockHeight, st.cost, st.markers, s.maskBlockStats,
                       st.flood);
    zelvo::labelsToSeamMask(st.markers, s.fusionMask, s.labelMaskValue);

    const bool quiet = zelvo::updateBlocks(s, mdLeft, mdRight, true);
    s.quietFrameCount = quiet ? int32_t(uint32_t(s.quietFrameCount) + 1u) : 0;

    readFloodSeam(s, st);
    updateHeldSeam(s, st, std::max(p.seamSwitchGrey, 0));
    drawHeldSeam(s, st);
    // Same sizes every frame: the copies reuse the destinations' pixels.
    s.fusionMask.copyTo(s.currMask);
    s.prevMaskBlockStats = s.maskBlockStats;
    s.currMask.copyTo(s.lastMask);
}
