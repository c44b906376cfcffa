/*
 * zelvo_internal.h - library-internal declarations shared by the library's
 * translation units. Not installed; nothing here is exported from the .so.
 */
#ifndef ZELVO_INTERNAL_H
#define ZELVO_INTERNAL_H

#include "zelvo_stitch.h"

namespace zelvo {

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
