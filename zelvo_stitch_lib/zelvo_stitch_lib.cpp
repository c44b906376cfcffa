/*
 * Exported C entry points, the frame driver and the motion-bitmap decoding.
 */
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "zelvo_internal.h"

/* Print switch of the frame driver: it prints only when this equals 1. */
static int dbg_print = 1;

int Zelvo_Stitch_Shift_Every_N_Frames = 0;
int Zelvo_Stitch_Seamline_Every_N_Frames = 0;
uint8_t** decoded_md_buffer = nullptr;
int num_decoded_md_buffer = 0;

namespace zelvo {

/* Bytes each decoded map was allocated with (blocksX x blocksY of the frame
 * that allocated them); a larger frame re-allocates. */
static size_t md_map_bytes = 0;

int& frameDriverCounter() {
    static int FRAME_COUNT = 0;
    return FRAME_COUNT;
}

void releaseMotionMaps() {
    if (num_decoded_md_buffer != 0 && decoded_md_buffer != nullptr) {
        for (int k = 0; k < num_decoded_md_buffer; ++k) delete[] decoded_md_buffer[k];
        delete[] decoded_md_buffer;
    }
    decoded_md_buffer = nullptr;
    num_decoded_md_buffer = 0;
    md_map_bytes = 0;
}

void decodeMotionBitmaps(const _ZELVO_STITCH_INFO* info) {
    const uint32_t img_num = info->img_num;
    const uint32_t blocksX = zelvo_host::md_blocks(info->md_width);
    const uint32_t blocksY = zelvo_host::md_blocks(info->md_height);
    const uint32_t rowBytes = uint32_t(zelvo_host::md_row_bytes(info->md_width));
    const uint32_t wordsPerRow = rowBytes / 4u;
    const size_t mapBytes = size_t(blocksX) * blocksY;

    if (decoded_md_buffer != nullptr &&
        (img_num > uint32_t(num_decoded_md_buffer) || mapBytes > md_map_bytes))
        releaseMotionMaps();

    if (decoded_md_buffer == nullptr) {
        // Build the new set completely before publishing it, so that an
        // allocation failure leaves no half-made maps behind.
        uint8_t** maps = new uint8_t*[img_num]();
        try {
            for (uint32_t k = 0; k < img_num; ++k) maps[k] = new uint8_t[mapBytes];
        } catch (...) {
            for (uint32_t k = 0; k < img_num; ++k) delete[] maps[k];
            delete[] maps;
            throw;
        }
        decoded_md_buffer = maps;
        num_decoded_md_buffer = int(img_num);
        md_map_bytes = mapBytes;
    }

    // The record's md_addr array may run past its declared room when a host
    // passes more images than the record holds; read it through a pointer.
    const uint64_t* md_addr = info->md_addr;
    for (uint32_t k = 0; k < img_num; ++k) {
        const uint8_t* bits = reinterpret_cast<const uint8_t*>(md_addr[k]);
        uint8_t* out = decoded_md_buffer[k];
        for (uint32_t r = 0; r < blocksY; ++r) {
            const uint8_t* row = bits + size_t(r) * rowBytes;
            for (uint32_t w = 0; w < wordsPerRow; ++w) {
                const uint8_t* p = row + 4u * w;
                const uint32_t word = uint32_t(p[0]) | (uint32_t(p[1]) << 8) |
                                      (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
                const uint32_t carried =
                    (w == wordsPerRow - 1) ? blocksX - 32u * (wordsPerRow - 1) : 32u;
                for (uint32_t b = 0; b < carried; ++b) *out++ = uint8_t((word >> b) & 1u);
            }
        }
    }
}

}  // namespace zelvo

extern "C" {

int zelvo_stitch_init(int lutRows, int numMaskBlocks, int /*reservedArg*/, int enableResetMask,
                      int useMaskBlocks, int useWeightedMotionBitHist) {
    Zelvo_Stitch_Shift_Every_N_Frames = 0;
    Zelvo_Stitch_Seamline_Every_N_Frames = 0;
    DynStitcher::init_lib(lutRows, numMaskBlocks, enableResetMask != 0, useMaskBlocks != 0,
                          useWeightedMotionBitHist != 0, dbg_print);
    return 0;
}

int zelvo_stitch_uninit(void) {
    zelvo::releaseMotionMaps();
    DynStitcher::release_lib();
    return 0;
}

DynStitcher* create_dynstitcher(int reservedParam1, int reservedParam2, int imgWidth, int imgHeight,
                                int overlapWidth, int numMaskBlocks, float blockScoreMax,
                                float blockScoreMin, float reservedParamF, int numDiffLevels,
                                float* blockDiffThresholds, float* blockDiffScoreIncs,
                                int blockScoreStep, int resetQuietFrames, int lutGridSize,
                                int lutStride, uint32_t* lutLeft, uint32_t* lutRight, int overlapId,
                                unsigned mdGridWidth, unsigned mdGridHeight, int cellWidth,
                                int cellHeight) {
    // A throwing constructor makes the new-expression free the memory itself.
    return new DynStitcher(reservedParam1, reservedParam2, imgWidth, imgHeight, overlapWidth,
                           numMaskBlocks, blockScoreMax, blockScoreMin, reservedParamF,
                           numDiffLevels, blockDiffThresholds, blockDiffScoreIncs, blockScoreStep,
                           resetQuietFrames, lutGridSize, lutStride, lutLeft, lutRight, overlapId,
                           mdGridWidth, mdGridHeight, cellWidth, cellHeight);
}

int setup_dynstitcher(DynStitcher* stitcher, int reserved, unsigned long dreFusionMapAddr) {
    stitcher->setup(reserved, dreFusionMapAddr);
    return 0;
}

void destroy_dynstitcher(DynStitcher** handle) {
    if (handle == nullptr) return;
    delete *handle;
    *handle = nullptr;
}

void zelvo_stitch_set_dbg_out(int value) { dbg_print = value; }

int zelvo_stitch_process(DynStitcher** stitchers, _ZELVO_STITCH_INFO* info) {
    // img_num 0 would ask for an array of -1 overlaps: refuse it before any
    // map, overlap or counter is touched. So is a count past the record's
    // room, whose strip arrays hold four overlaps.
    if (info->img_num == 0) throw std::bad_array_new_length();
    if (info->img_num > ZELVO_STITCH_MAX_IMAGES)
        throw std::length_error("zelvo_stitch_process: img_num " + std::to_string(info->img_num) +
                                " exceeds the record's room of " +
                                std::to_string(ZELVO_STITCH_MAX_IMAGES) + " images");

    zelvo::decodeMotionBitmaps(info);

    int& FRAME_COUNT = zelvo::frameDriverCounter();
    const int period = Zelvo_Stitch_Shift_Every_N_Frames;
    const bool tracking = (period == 0) || (FRAME_COUNT % period == 0);

    const uint32_t overlaps = info->img_num - 1u;
    if (overlaps > 0) {
        // Per-call strip offsets: the first column of each overlap's left
        // strip, and the zero offsets preProcess is handed but never reads.
        unsigned int stripX[ZELVO_STITCH_MAX_IMAGES - 1], zeros[ZELVO_STITCH_MAX_IMAGES - 1];
        const uint32_t* strip_width = info->strip_width;
        uint32_t x = 0;
        for (uint32_t i = 0; i < overlaps; ++i) {
            stripX[i] = x;
            zeros[i] = 0;
            x += 2u * strip_width[i];
        }

        for (uint32_t i = 0; i < overlaps; ++i) {
            DynStitcher* s = stitchers[i];
            s->preProcess(int(i), stripX, zeros, info->img_num, info->strip_buf_addr,
                          info->strip_buf_width, info->strip_width, info->strip_height,
                          info->overlap_shift_value);
            if (!tracking) continue;
            if (dbg_print == 1) printf("Frame: %d, overlap ID: %d\n", FRAME_COUNT, int(i));
            int r;
            if (zelvo::motionAware) {
                // The overlap's two decoded maps, when they are laid out as
                // the stitcher's motion grid; otherwise nothing moves.
                const bool fits = zelvo_host::md_blocks(info->md_width) == s->mdGridWidth &&
                                  zelvo_host::md_blocks(info->md_height) >= s->mdGridHeight;
                r = zelvo::trackMotionAware(*s, fits ? decoded_md_buffer[i] : nullptr,
                                            fits ? decoded_md_buffer[i + 1] : nullptr);
            } else {
                r = s->ST_TRKE();
            }
            if (dbg_print == 1) printf("Done ST_TRKE(): %d\n", r);
            s->decideShifting(int(i), info->overlap_shift_value, dbg_print);
            if (dbg_print == 1) {
                printf("Lib overlap_shift_value = %d\n", info->overlap_shift_value[i + 1]);
                printf("Done decideShifting()...\n");
            }
        }
    }

    zelvo::advanceCounter(FRAME_COUNT);
    return 0;
}

}  // extern "C"

int zelvo_ecs_process(_ZELVO_ECS_INFO* /*info*/) { return 0; }
