/*
 * zelvo_internal.h - library-internal declarations shared by the library's
 * translation units. Not installed; nothing here is exported from the .so.
 */
#ifndef ZELVO_INTERNAL_H
#define ZELVO_INTERNAL_H

#include <memory>
#include <vector>

#include "zelvo_stitch.h"
#include "zelvo_stitch_host.h"

namespace zelvo {

/* Frames of a mask block's motion history: one per history weight. */
constexpr int kMotionHistoryLength = 32;
/* The blend curves the seam update draws with (indices into ks / sigmoidCurves). */
constexpr int kHeldSeamCurve = 6; /* k = 4: an almost hard seam, for held rows */
constexpr int kSoftSeamCurve = 3; /* k = 0.25: a soft seam, without the hold */

/* Throws std::logic_error, naming what disagrees, unless s has been set up
 * and its per-block lists and mask-sized members still fit its geometry
 * (an assignment copies the block records and images of a stitcher of
 * another geometry but not the rest). `what` names the caller. */
void requireSeamState(const DynStitcher& s, const char* what);

/* ---- Motion-aware mode (zelvo_stitcher_motion.cpp) ---- */

/* Whether the motion-aware mode is on (zelvo_stitch_set_motion_aware). */
extern bool motionAware;

/* The mode's versions of the tracker and of the seam update; the frame
 * driver and DynStitcher::process call them while the mode is on. */
int trackMotionAware(DynStitcher& s, const uint8_t* mdLeft, const uint8_t* mdRight);
void processMotionAware(DynStitcher& s, const uint8_t* mdLeft, const uint8_t* mdRight);
/* Frees the mode state of stitcher s, if it has one (its destructor calls
 * this). */
void freeMotionAwareState(const DynStitcher* s);

/* ---- Seam path pieces shared by the 1.0 update and the mode ---- */

/* Scratch of one flood, kept between calls by a caller that must not
 * allocate per frame; grown on demand, never shrunk. */
struct FloodScratch {
    std::unique_ptr<int[]> slots;  // queue entries, one per interior cell
    size_t slotCount = 0;
    std::vector<int> flooded;       // per row, label-1 cells less its label-1 seeds
    std::vector<uint8_t> queued;    // per column of a row, whether seeding queues it
    std::vector<uint8_t> costCopy;  // the cost image in the markers' layout, when needed
};

/* The flood of watershed_diff over src into markers, counting label-1 cells
 * into stats (blocks as s's lastMaskBlockRow cuts them), with the caller's
 * scratch. */
void floodLabels(const DynStitcher& s, int numBlocks, int blockHeight, const cv::Mat& src,
                 cv::Mat& markers, std::vector<_MaskBlockStat>& stats, FloodScratch& scratch);

/* Flood labels to the 8-bit mask with its border rows and columns filled
 * (left column 255, right column 0). */
void labelsToSeamMask(const cv::Mat& markers, cv::Mat& mask, const int32_t labelMaskValue[2]);

/* Seam column of one mask row: the last column of the row's leading run of
 * equal values (cols - 1 when the row never changes, 0 below two columns). */
inline int rowCrossing(const uint8_t* row, int cols) {
    if (cols < 2) return 0;
    for (int x = 0; x < cols - 1; ++x)
        if (row[x] != row[x + 1]) return x;
    return cols - 1;
}

/* Per-block change scores and, with both motion maps, the motion sums,
 * scores, histories and seam-update flags. Returns true when no block saw
 * motion (always without both maps). inPlace moves a full history's values
 * down one place instead of popping and pushing (same values, and the deque
 * allocates no new node). */
bool updateBlocks(DynStitcher& s, const uint8_t* mdLeft, const uint8_t* mdRight,
                  bool inPlace = false);

/* ---- Shift path pieces shared by the 1.0 tracker and the mode ---- */

/* Clears the cluster lists, writes the debug dumps and advances the dump
 * frame count: what every tracker run does before it detects corners. */
void beginTrackerRun(DynStitcher& s);
/* Detects the corners of leftImage into ST_TRKE_prevPts, only where mask
 * (CV_8UC1, mask size) is non-zero; an empty mask allows every cell. */
void detectCorners(DynStitcher& s, const cv::Mat& mask);
/* Tracks the corners in ST_TRKE_prevPts forward and back and evaluates
 * them; returns the tracker's status code. backgroundOnly (corners off
 * moving cells) takes the median flow instead of a cluster's. */
int trackDetectedCorners(DynStitcher& s, bool backgroundOnly = false);
/* The decision half: on entry ST_TRKE_prevPts/ST_TRKE_nextPts/ST_TRKE_status
 * hold the forward-tracked points (compacted), backPts/LR_status the points
 * tracked back. Runs the left-right check, the repeat-pattern and evidence
 * tests and the flow clustering; returns the tracker's status code. */
int evaluateTrackedPoints(DynStitcher& s, const std::vector<cv::Point2f>& backPts,
                          std::vector<uchar>& LR_status, bool backgroundOnly = false);

/* Unpacks every image's motion bitmap of the record into decoded_md_buffer,
 * allocating (or re-allocating on growth) the maps first. */
void decodeMotionBitmaps(const _ZELVO_STITCH_INFO* info);

/* Frees the decoded motion maps; afterwards decoded_md_buffer is null and
 * num_decoded_md_buffer is 0. */
void releaseMotionMaps();

/* Number of entries of DynStitcher::lut_vsegment_maskblock_idx (0 when there
 * is no table); set-up checks the visited LUT rows against it. */
extern int lut_vsegment_rows;

/* The three frame counters are function-local statics of their functions;
 * these accessors return them so that tests can drive them near the wrap. */
int& frameDriverCounter(); /* FRAME_COUNT of zelvo_stitch_process */
int& trackerDumpCounter(); /* FrameNo of ST_TRKE */
int& shiftingCounter();    /* frameNo of decideShifting */

/* Advances a frame counter, wrapping from 2147483647 to 0. */
inline void advanceCounter(int& counter) { counter = (counter == 0x7FFFFFFF) ? 0 : counter + 1; }

}  // namespace zelvo

#endif
