// Motion-bitmap decoding into the exported decoded maps, and the frame
// driver's one-image and zero-image records.
#include <malloc.h>
#include <memory>
#include <new>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "zelvo_internal.h"
#include "zelvo_stitch.h"

using Bytes = std::vector<uint8_t>;

// Random one-byte-per-block maps of n images and their packed bitmaps: block
// x of a row is bit x % 8 of byte x / 8, rows padded to whole 32-bit words
// whose padding bits are set, so a decoder that reads them shows.
struct Frame {
    std::unique_ptr<_ZELVO_STITCH_INFO> rec{new _ZELVO_STITCH_INFO()};
    std::vector<Bytes> maps, bits;
    Frame(uint32_t n, uint32_t w, uint32_t h, uint32_t seed) : maps(n), bits(n) {
        rec->img_num = n, rec->md_width = w, rec->md_height = h;
        const uint32_t bx = (w + 15) / 16, by = (h + 15) / 16, rowBits = (w + 511) / 512 * 32;
        std::mt19937 rng(seed);
        for (uint32_t k = 0; k < n; ++k) {
            bits[k].assign(rowBits / 8 * by, 0);
            for (uint32_t i = 0; i < rowBits * by; ++i) {
                const bool set = i % rowBits >= bx || (rng() & 1u);
                if (i % rowBits < bx) maps[k].push_back(set);
                bits[k][i / 8] |= uint8_t(set << (i % 8));
            }
            rec->md_addr[k] = reinterpret_cast<uint64_t>(bits[k].data());
        }
    }
    // One-image frames go through the driver (no overlap, no stitcher).
    void run() {
        if (rec->img_num != 1) return zelvo::decodeMotionBitmaps(rec.get());
        const int before = zelvo::frameDriverCounter();
        EXPECT_EQ(zelvo_stitch_process(nullptr, rec.get()), 0);
        EXPECT_EQ(zelvo::frameDriverCounter(), before + 1);
    }
    void expect_decoded() const {
        for (size_t k = 0; k < maps.size(); ++k) {
            EXPECT_GE(malloc_usable_size(decoded_md_buffer[k]), maps[k].size()) << k;
            EXPECT_EQ(Bytes(decoded_md_buffer[k], decoded_md_buffer[k] + maps[k].size()), maps[k]) << k;
        }
    }
};

TEST(Decoding, LayoutsThroughTheFrameDriver) {
    for (const auto& wh : {std::make_pair(16u, 16u), {512u, 32u}, {520u, 40u}, {640u, 480u}}) {
        Frame f(1, wh.first, wh.second, wh.first + wh.second);
        f.run();
        f.expect_decoded();
    }
    Frame f(1, 128, 16, 0);  // one row of 8 blocks
    f.bits[0] = {0x05, 0xFF, 0xFF, 0xFF};
    f.maps[0] = {1, 0, 1, 0, 0, 0, 0, 0};
    f.rec->md_addr[0] = reinterpret_cast<uint64_t>(f.bits[0].data());
    f.run();
    f.expect_decoded();
    zelvo_stitch_uninit();
}

TEST(Decoding, GrowthUninitEmptyGridAndZeroImages) {
    const struct { uint32_t n, w, h; int numAfter; bool reuse; } frames[] = {
        {1, 16, 16, 1, false}, {3, 16, 16, 3, false}, {3, 640, 480, 3, false},
        {2, 16, 16, 3, true},  {3, 480, 640, 3, true},  {5, 1920, 1080, 5, false}};
    for (const auto& fr : frames) {
        uint8_t** before = decoded_md_buffer;
        Frame f(fr.n, fr.w, fr.h, fr.w + fr.n);
        f.run();
        EXPECT_EQ(num_decoded_md_buffer, fr.numAfter);
        if (fr.reuse) EXPECT_EQ(decoded_md_buffer, before) << fr.n << " images " << fr.w << " x " << fr.h;
        f.expect_decoded();
    }
    EXPECT_EQ(zelvo_stitch_uninit(), 0);
    EXPECT_EQ(decoded_md_buffer, nullptr);
    EXPECT_EQ(num_decoded_md_buffer, 0);
    EXPECT_EQ(zelvo_stitch_uninit(), 0);  // nothing left to free
    Frame fresh(4, 640, 480, 77);  // sized from its own record, not the earlier 5 x 1920
    fresh.run();
    EXPECT_EQ(num_decoded_md_buffer, 4);
    fresh.expect_decoded();

    Frame empty(1, 0, 480, 0);
    empty.rec->md_addr[0] = 0;  // an empty grid reads no bitmap: this would crash
    empty.run();
    uint8_t** maps = decoded_md_buffer;
    const int counter = zelvo::frameDriverCounter();
    EXPECT_THROW(zelvo_stitch_process(nullptr, Frame(0, 640, 480, 0).rec.get()), std::bad_array_new_length);
    Frame beyondRoom(1, 640, 480, 0);  // more images than the record's strip arrays hold
    beyondRoom.rec->img_num = ZELVO_STITCH_MAX_IMAGES + 1;
    EXPECT_THROW(zelvo_stitch_process(nullptr, beyondRoom.rec.get()), std::length_error);
    EXPECT_EQ(zelvo::frameDriverCounter(), counter);
    EXPECT_EQ(decoded_md_buffer, maps);
    EXPECT_EQ(num_decoded_md_buffer, 4);
    zelvo_stitch_uninit();
}
