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
    {
        int* top = markers.ptr<int>(0);
        int* bottom = markers.ptr<int>(rows - 1);
        for (int j = 0; j < cols; ++j) {
            top[j] = -1;
            bottom[j] = -1;
        }
    }

    _WSQueue* const q = wsQueue;
    QueueReset resetQueues(q);
    std::vector<_WSNode> pool;
    int freeHead = 0;

    // Appends a cell to the FIFO of cost t.
    auto push = [&](int t, int markerOffset, int imageOffset) {
        if (freeHead == 0) freeHead = allocWSNodes(pool);
        _WSNode* nodes = pool.data();
        const int idx = freeHead;
        freeHead = nodes[idx].next;
        nodes[idx].next = 0;
        nodes[idx].markerOffset = markerOffset;
        nodes[idx].imageOffset = imageOffset;
        if (q[t].last != 0)
            nodes[q[t].last].next = idx;
        else
            q[t].first = idx;
        q[t].last = idx;
    };

    // Seeding: cells next to a positive label enter the queue of their own
    // cost, in raster order.
    for (int i = 1; i < rows - 1; ++i) {
        int* m = markers.ptr<int>(i);
        const uchar* img = src.ptr<uchar>(i);
        m[0] = -1;
        m[cols - 1] = -1;
        for (int j = 1; j < cols - 1; ++j) {
            if (m[j] < 0) m[j] = 0;
            if (m[j] == 0 && (m[j - 1] > 0 || m[j + 1] > 0 || m[j - mstep] > 0 || m[j + mstep] > 0)) {
                push(img[j], i * mstep + j, i * istep + j);
                m[j] = -2;
            }
        }
    }

    int active = 0;
    while (active < 256 && q[active].first == 0) ++active;
    if (active == 256) return;

    int* const mbase = markers.ptr<int>(0);
    const uchar* const ibase = src.ptr<uchar>(0);
    const int* const subs = subs_tab;
    const int lastRow = lastMaskBlockRow;

    for (;;) {
        if (q[active].first == 0) {
            int level = active + 1;
            while (level < 256 && q[level].first == 0) ++level;
            if (level == 256) break;
            active = level;
        }

        // Pop the oldest cell of the active level and recycle its node.
        int markerOffset, imageOffset;
        {
            _WSNode* nodes = pool.data();
            const int idx = q[active].first;
            _WSNode& node = nodes[idx];
            q[active].first = node.next;
            if (node.next == 0) q[active].last = 0;
            node.next = freeHead;
            freeHead = idx;
            markerOffset = node.markerOffset;
            imageOffset = node.imageOffset;
        }

        int* m = mbase + markerOffset;
        // The first positive neighbour (left, right, above, below) gives the
        // label; a later positive neighbour with another label makes the
        // cell a boundary.
        int label = 0;
        const int nb[4] = {m[-1], m[1], m[-mstep], m[mstep]};
        for (int k = 0; k < 4; ++k) {
            const int v = nb[k];
            if (v > 0) {
                if (label == 0)
                    label = v;
                else if (v != label)
                    label = -1;
            }
        }
        *m = label;

        if (label == 1) {
            const int row = markerOffset / mstep;
            const int block = row <= lastRow ? row / blockHeight : numBlocks - 1;
            ++stats[static_cast<size_t>(block)].labelOneCount;
        }
        if (label == -1) continue;  // a boundary cell spreads nothing

        // Queue the unlabelled neighbours, same order, each at its own cost;
        // a cheaper one lowers the active level at once.
        auto visit = [&](int dmk, int dik) {
            if (m[dmk] == 0) {
                const int t = ibase[imageOffset + dik];
                push(t, markerOffset + dmk, imageOffset + dik);
                active = active - subs[active - t + 256];  // min(active, t)
                m[dmk] = -2;
            }
        };
        visit(-1, -1);
        visit(1, 1);
        visit(-mstep, -istep);
        visit(mstep, istep);
    }
}
