/*
 * zelvo_stitcher_watershed.cpp - priority flood of the seam search.
 *
 * The overlap's cost image (255 - |left - right| on the mask grid) is flooded
 * from labelled seed cells through 256 FIFO queues, one per cost value. The
 * cheapest queued cell is served first, so the left (1) and right (2) regions
 * meet, and boundary cells (-1) appear, where the two strips agree most.
 *
 * Queue nodes live in a pool that is local to one call and chained into a
 * free list; node 0 is never handed out and serves as the "none" link, so a
 * queue head or tail of 0 means empty. The 256 queue heads are stitcher
 * members and are empty between calls.
 */
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "zelvo_internal.h"

namespace {

/* Grows the node pool by half (to at least 128 nodes) and chains the new
 * nodes into a free list. Called only when the free list is empty; returns
 * the index of the first new node, the new free-list head. */
int allocWSNodes(std::vector<_WSNode>& storage) {
    int n = static_cast<int>(storage.size());
    const int newSize = (3 * n <= 257) ? 128 : (3 * n) / 2;
    storage.resize(static_cast<size_t>(newSize));  // new nodes are zero
    _WSNode* nodes = storage.data();
    if (n == 0) {
        nodes[0].next = 0;  // node 0 stays reserved as the null link
        n = 1;
    }
    for (int i = n; i < newSize - 1; ++i) nodes[i].next = i + 1;
    nodes[newSize - 1].next = 0;
    return n;
}

/* Empties every queue when it goes out of scope. A completed flood leaves the
 * queues empty anyway; this matters when the pool's growth throws, because
 * the queues would otherwise keep indices into a pool that no longer exists
 * and corrupt the next call. */
class QueueReset {
public:
    explicit QueueReset(_WSQueue* queues) : queues_(queues) {}
    ~QueueReset() { std::memset(queues_, 0, 256 * sizeof(_WSQueue)); }
    QueueReset(const QueueReset&) = delete;
    QueueReset& operator=(const QueueReset&) = delete;

private:
    _WSQueue* queues_;
};

/* c ? a : b without a branch (compilers otherwise often branch on data that
 * the flood makes unpredictable). */
inline int pick(bool c, int a, int b) { return b ^ ((a ^ b) & -int(c)); }
inline int maxOf(int a, int b) { return pick(a < b, b, a); }
inline unsigned minOf(unsigned a, unsigned b) { return unsigned(pick(b < a, int(b), int(a))); }
inline int32_t* pick(bool c, int32_t* a, int32_t* b) {
    const uintptr_t ua = reinterpret_cast<uintptr_t>(a), ub = reinterpret_cast<uintptr_t>(b);
    return reinterpret_cast<int32_t*>(ub ^ ((ua ^ ub) & -uintptr_t(c)));
}

/* Seeding tests this many cells of a row at a time (plus 8 bytes of slack
 * for word-wise reads of the result). */
constexpr int kSeedChunk = 256;

/* The set of non-empty queues, one bit per cost level, so that the next
 * non-empty level above the active one is found by a bit scan instead of
 * walking up to 255 empty queues. Mirrors "first != 0" of every queue. */
class LevelSet {
public:
    void insert(int t) { bits_[t >> 6] |= uint64_t(1) << (t & 63); }
    void erase(int t) { bits_[t >> 6] &= ~(uint64_t(1) << (t & 63)); }
    void eraseIf(int t, bool on) { bits_[t >> 6] &= ~(uint64_t(on) << (t & 63)); }
    /* Lowest non-empty level >= from (0 <= from <= 256), or 256 for none. */
    int next(int from) const {
        if (from < 256) {
            const uint64_t word = bits_[from >> 6] >> (from & 63);
            if (word != 0) return from + __builtin_ctzll(word);
        }
        for (int w = (from >> 6) + 1; w < 4; ++w)
            if (bits_[w] != 0) return (w << 6) + __builtin_ctzll(bits_[w]);
        return 256;
    }

private:
    uint64_t bits_[4] = {0, 0, 0, 0};
};

/* Mask block of a marker offset: row = offset / mstep, block = row /
 * blockHeight up to lastRow, the last block below. For positive divisors
 * row / blockHeight == offset / (mstep * blockHeight) and row <= lastRow iff
 * offset < (lastRow + 1) * mstep, so one division by a constant remains; it
 * is done as a multiply by a rounded-up 2^64 / divisor, which is exact for
 * every offset and divisor below 2^31. Other geometries take the plain
 * divisions. */
class BlockOfOffset {
public:
    BlockOfOffset(int mstep, int blockHeight, int lastRow, int numBlocks)
        : mstep_(mstep), blockHeight_(blockHeight), lastRow_(lastRow), lastBlock_(numBlocks - 1) {
        const int64_t divisor = int64_t(mstep) * blockHeight;
        const int64_t limit = (int64_t(lastRow) + 1) * mstep;
        fast_ = mstep > 0 && blockHeight > 0 && divisor > 1 && divisor <= INT32_MAX &&
                limit >= 0 && limit <= INT32_MAX;
        if (fast_) {
            magic_ = ~uint64_t(0) / uint64_t(divisor) + 1;  // ceil(2^64 / divisor)
            limit_ = int(limit);
        }
    }
    /* True when every interior row (1 .. rows - 2) maps to one of `records`
     * blocks, so that a block can be looked up for any queued cell. */
    bool coversRows(int rows, size_t records) const {
        if (!fast_ || rows <= 2) return false;
        auto ok = [records](int block) { return block >= 0 && size_t(block) < records; };
        auto ofRow = [this](int row) { return row <= lastRow_ ? row / blockHeight_ : lastBlock_; };
        const int lastInterior = rows - 2;
        if (!ok(ofRow(1))) return false;
        if (lastRow_ >= 1 && !ok(ofRow(std::min(lastRow_, lastInterior)))) return false;
        if (lastInterior > lastRow_ && !ok(lastBlock_)) return false;
        return true;
    }
    int operator()(int offset) const {
        if (fast_)
            return offset < limit_
                       ? int((static_cast<unsigned __int128>(uint32_t(offset)) * magic_) >> 64)
                       : lastBlock_;
        const int row = offset / mstep_;
        return row <= lastRow_ ? row / blockHeight_ : lastBlock_;
    }

private:
    int mstep_, blockHeight_, lastRow_, lastBlock_;
    bool fast_ = false;
    uint64_t magic_ = 0;
    int limit_ = 0;
};

}  // namespace

void DynStitcher::watershed_diff(int numBlocks, int blockHeight, cv::InputArray _src,
                                 cv::InputOutputArray _markers,
                                 std::vector<_MaskBlockStat>& stats) {
    for (_MaskBlockStat& s : stats) {
        s.labelOneCount = 0;
        s.labelOneRatio = 0.0f;
    }

    cv::Mat src = _src.getMat();
    cv::Mat markers = _markers.getMat();
    const int rows = src.rows;
    const int cols = src.cols;
    const int mstep = static_cast<int>(markers.step1());  // int32 elements per marker row
    const int istep = static_cast<int>(src.step);         // bytes per cost row

    if (rows <= 0 || cols <= 0) return;

    // The one-cell frame: first and last rows now, first and last columns row
    // by row below, always before any neighbour test can read them.
    std::fill_n(markers.ptr<int>(0), cols, -1);
    std::fill_n(markers.ptr<int>(rows - 1), cols, -1);

    _WSQueue* const q = wsQueue;
    QueueReset resetQueues(q);
    std::vector<_WSNode> pool;
    int freeHead = 0;
    LevelSet levels;

    // Appends a cell to the FIFO of cost t. The tail link is the last node's
    // `next`, or the queue's `first` when the queue is empty; it is chosen
    // without a branch, and marking the level non-empty is idempotent.
    auto push = [&](int t, int markerOffset, int imageOffset) {
        if (freeHead == 0) freeHead = allocWSNodes(pool);
        _WSNode* const nodes = pool.data();
        const int idx = freeHead;
        freeHead = nodes[idx].next;
        nodes[idx].next = 0;
        nodes[idx].markerOffset = markerOffset;
        nodes[idx].imageOffset = imageOffset;
        _WSQueue& qt = q[t];
        const int last = qt.last;
        *pick(last != 0, &nodes[last].next, &qt.first) = idx;
        qt.last = idx;
        levels.insert(t);
    };

    // Seeding: cells next to a positive label enter the queue of their own
    // cost, in raster order. Only the "> 0" test of the neighbours matters and
    // seeding never changes a positive cell, so the whole row can be tested
    // first (raw values: a negative interior cell counts as 0) and normalised
    // and queued after, with the same outcome as a cell-by-cell walk.
    if (rows > 2 && cols > 2) {
        uint8_t seeded[kSeedChunk + 8] = {};  // slack for the word-wise scan below
        for (int i = 1; i < rows - 1; ++i) {
            int* const m = markers.ptr<int>(i);
            const int* const up = m - mstep;
            const int* const down = m + mstep;
            const uchar* const img = src.ptr<uchar>(i);
            m[0] = -1;
            m[cols - 1] = -1;
            for (int j0 = 1; j0 < cols - 1; j0 += kSeedChunk) {
                const int n = std::min(kSeedChunk, cols - 1 - j0);
                int* const mc = m + j0;
                const int* const uc = up + j0;
                const int* const dc = down + j0;
                for (int k = 0; k < n; ++k)
                    seeded[k] = uint8_t((mc[k] <= 0) & ((mc[k - 1] > 0) | (mc[k + 1] > 0) |
                                                        (uc[k] > 0) | (dc[k] > 0)));
                for (int k = 0; k < n; ++k) mc[k] = std::max(mc[k], 0);
                for (int k = 0; k < n; k += 8) {
                    uint64_t word = 0;
                    std::memcpy(&word, seeded + k, 8);  // chunk has 8 spare bytes
                    if (word == 0) continue;
                    for (int b = k; b < std::min(k + 8, n); ++b) {
                        if (!seeded[b]) continue;
                        const int j = j0 + b;
                        push(img[j], i * mstep + j, i * istep + j);
                        m[j] = -2;
                    }
                }
            }
        }
    } else {
        for (int i = 1; i < rows - 1; ++i) {
            int* m = markers.ptr<int>(i);
            m[0] = -1;
            m[cols - 1] = -1;
        }
    }

    int active = levels.next(0);
    if (active == 256) return;

    int* const mbase = markers.ptr<int>(0);
    const uchar* const ibase = src.ptr<uchar>(0);
    const int* const subs = subs_tab;
    const BlockOfOffset blockOf(mstep, blockHeight, lastMaskBlockRow, numBlocks);
    // When every interior row maps to a record, the label-1 count can be
    // added (0 or 1) on every pop instead of behind a data-dependent branch.
    const bool countAlways = blockOf.coversRows(rows, stats.size());
    _MaskBlockStat* const stat = stats.data();

    // Cell labels and neighbour values make most branches of the flood
    // unpredictable, and a mispredicted branch costs more than the few
    // arithmetic selects that replace it; only the "is this neighbour
    // unlabelled" test per neighbour stays a branch.
    for (;;) {
        // Lowest non-empty level at or above the active one: the active
        // queue itself unless it ran empty.
        active = levels.next(active);
        if (active == 256) break;

        // Pop the oldest cell of the active level and recycle its node.
        _WSNode* const nodes = pool.data();
        _WSQueue& qa = q[active];
        const int idx = qa.first;
        _WSNode& node = nodes[idx];
        const int next = node.next;
        const int markerOffset = node.markerOffset;
        const int imageOffset = node.imageOffset;
        qa.first = next;
        qa.last &= -int(next != 0);  // the queue ran empty: no tail either
        levels.eraseIf(active, next == 0);
        node.next = freeHead;
        freeHead = idx;

        int* const m = mbase + markerOffset;
        // The first positive neighbour (left, right, above, below) gives the
        // label and a later positive neighbour with another label makes the
        // cell a boundary: so the label is the positive neighbours' common
        // value when they all agree, -1 when they differ, and 0 when there is
        // none. Compared as unsigned v - 1, positive values keep their order
        // and every other value lies above them.
        const int left = m[-1], right = m[1], above = m[-mstep], below = m[mstep];
        const int hi = maxOf(maxOf(maxOf(left, right), maxOf(above, below)), 0);
        const unsigned lo = minOf(minOf(unsigned(left) - 1u, unsigned(right) - 1u),
                                  minOf(unsigned(above) - 1u, unsigned(below) - 1u));
        const int label = pick(hi > 0, pick(unsigned(hi) - 1u == lo, hi, -1), 0);
        *m = label;

        if (countAlways)
            stat[blockOf(markerOffset)].labelOneCount += int(label == 1);
        else if (label == 1)
            ++stat[blockOf(markerOffset)].labelOneCount;
        if (label == -1) continue;  // a boundary cell spreads nothing

        // Queue the unlabelled neighbours, same order, each at its own cost;
        // a cheaper one lowers the active level at once. The four values read
        // above are still current: only the neighbours themselves change here.
        auto visit = [&](int value, int dmk, int dik) {
            if (value == 0) {
                const int t = ibase[imageOffset + dik];
                push(t, markerOffset + dmk, imageOffset + dik);
                active = active - subs[active - t + 256];  // min(active, t)
                m[dmk] = -2;
            }
        };
        visit(left, -1, -1);
        visit(right, 1, 1);
        visit(above, -mstep, -istep);
        visit(below, mstep, istep);
    }
}
