/*
 * zelvo_stitch_host.h - the host kit: the buffer formats of zelvo_stitch.h
 * as inline functions, so that a host computes them once, the same way the
 * library reads them. Header only: it adds no exported symbol and links
 * nothing; it includes only the public header and the standard library.
 *
 * The formats (zelvo_stitch.h states them as well):
 *  - LUT word: 32 bits; bits 22-31 hold a motion-map row, bits 6-15 a
 *    motion-map column; the other bits are the host's and are not read.
 *  - Motion bitmap: one bit per 16 x 16 pixel block of a camera image;
 *    (md_height + 15) / 16 rows of zelvo_host::md_row_bytes(md_width) bytes, each
 *    row whole little-endian 32-bit words; block x of a row is bit x % 32 of
 *    word x / 32, that is bit x % 8 of byte x / 8. The decoded map is one
 *    byte per block, (md_width + 15) / 16 bytes a row, rows back to back; a
 *    stitcher's decoded map width equals its mdGridWidth.
 *  - Strip buffer: strip_height[0] rows of strip_buf_width bytes; overlap i
 *    holds its left strip at column zelvo_host::strip_left_x(strip_width, i) and
 *    its right strip strip_width[i] columns further, each strip_width[i]
 *    columns wide; overlaps follow one another from column 0.
 *  - Fusion map: imgHeight rows of overlapWidth bytes, rows packed.
 *
 * Nothing here checks its arguments: the callers pass the values the
 * formats are defined for (non-negative sizes, rows and columns below 1024).
 */
#ifndef ZELVO_STITCH_HOST_H
#define ZELVO_STITCH_HOST_H

#include <cstddef>
#include <cstdint>

#include "zelvo_stitch.h"

namespace zelvo_host {

/* Pixels across (and down) one motion block. */
constexpr int kMotionBlockPx = 16;

/* The LUT word pointing at motion-map cell (col, row). */
inline uint32_t lut_word(unsigned row, unsigned col) {
    return (uint32_t(row & 0x3FFu) << 22) | (uint32_t(col & 0x3FFu) << 6);
}
/* The motion-map row and column a LUT word points at. */
inline unsigned lut_word_row(uint32_t word) { return unsigned(word >> 22); }
inline unsigned lut_word_col(uint32_t word) { return unsigned((word >> 6) & 0x3FFu); }

/* Motion blocks covering `pixels` pixels (a partial block counts). */
inline unsigned md_blocks(unsigned pixels) {
    return (pixels + kMotionBlockPx - 1) / kMotionBlockPx;
}
/* Bytes of one packed bitmap row for an image `width_px` pixels wide: whole
 * 32-bit words of 32 blocks each. */
inline size_t md_row_bytes(unsigned width_px) { return size_t((width_px + 511u) / 512u) * 4u; }
/* Bytes of one packed bitmap. */
inline size_t md_bitmap_bytes(unsigned width_px, unsigned height_px) {
    return md_row_bytes(width_px) * md_blocks(height_px);
}
/* Sets (on != 0) or clears block (x, y) of a packed bitmap. */
inline void md_set_block(uint8_t* bitmap, unsigned width_px, unsigned x, unsigned y, int on) {
    uint8_t& byte = bitmap[size_t(y) * md_row_bytes(width_px) + x / 8u];
    const uint8_t bit = uint8_t(1u << (x % 8u));
    byte = on ? uint8_t(byte | bit) : uint8_t(byte & ~bit);
}
/* Packs a 0/1 (any non-zero = 1) block map of blocks_y rows of blocks_x
 * bytes, rows `stride` bytes apart, into a bitmap for an image width_px
 * pixels wide (blocks_x = md_blocks(width_px)). Every byte of the
 * md_row_bytes(width_px) x blocks_y output is written; padding bits are 0. */
inline void md_pack(const uint8_t* blocks, unsigned blocks_x, unsigned blocks_y, size_t stride,
                    unsigned width_px, uint8_t* out) {
    const size_t row_bytes = md_row_bytes(width_px);
    for (unsigned y = 0; y < blocks_y; ++y) {
        uint8_t* row = out + size_t(y) * row_bytes;
        for (size_t b = 0; b < row_bytes; ++b) row[b] = 0;
        for (unsigned x = 0; x < blocks_x; ++x)
            if (blocks[size_t(y) * stride + x] != 0) row[x / 8u] |= uint8_t(1u << (x % 8u));
    }
}

/* First column of overlap i's left strip in the strip buffer; its right
 * strip starts strip_width[i] columns further. */
inline unsigned strip_left_x(const uint32_t* strip_width, unsigned i) {
    unsigned x = 0;
    for (unsigned j = 0; j < i; ++j) x += 2u * strip_width[j];
    return x;
}
inline unsigned strip_right_x(const uint32_t* strip_width, unsigned i) {
    return strip_left_x(strip_width, i) + strip_width[i];
}
/* Width of a strip buffer holding `overlaps` overlaps. */
inline unsigned strip_buffer_width(const uint32_t* strip_width, unsigned overlaps) {
    return strip_left_x(strip_width, overlaps);
}

/* Bytes of one overlap's fusion-map buffer. */
inline size_t fusion_map_bytes(int img_height, int overlap_width) {
    return size_t(img_height) * size_t(overlap_width);
}

}  // namespace zelvo_host

#endif /* ZELVO_STITCH_HOST_H */
