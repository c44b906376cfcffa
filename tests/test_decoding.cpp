// Motion-bitmap decoding into the exported decoded maps: the packed layout,
// allocation on the first frame, re-allocation on growth, release by
// zelvo_stitch_uninit, and the frame driver's handling of one-image and
// zero-image records.
#include <cstdint>
#include <malloc.h>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"
#include "zelvo_internal.h"
#include "zelvo_stitch.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Geometry {
    uint32_t blocksX, blocksY, rowBytes;
};

Geometry geometry(uint32_t md_width, uint32_t md_height) {
    return {(md_width + 15) / 16, (md_height + 15) / 16, ((md_width + 511) / 512) * 4};
}

// Packs a one-byte-per-block map the way the camera's detector does: block x
// of a row is bit x % 8 of byte x / 8; bits past blocksX in the row's padding
// are set, so a decoder that reads them shows.
Bytes pack(const Bytes& map, const Geometry& g) {
    Bytes bits(size_t(g.rowBytes) * g.blocksY, 0);
    for (uint32_t r = 0; r < g.blocksY; ++r) {
        uint8_t* row = bits.data() + size_t(r) * g.rowBytes;
        for (uint32_t x = 0; x < g.rowBytes * 8; ++x) {
            const bool set = x < g.blocksX ? map[size_t(r) * g.blocksX + x] != 0 : true;
            if (set) row[x / 8] |= uint8_t(1u << (x % 8));
        }
    }
    return bits;
}

Bytes random_map(const Geometry& g, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes m(size_t(g.blocksX) * g.blocksY);
    for (auto& b : m) b = uint8_t(rng() & 1u);
    return m;
}

Bytes decoded(int image, size_t bytes) {
    const uint8_t* p = decoded_md_buffer[image];
    return Bytes(p, p + bytes);
}

std::unique_ptr<_ZELVO_STITCH_INFO> record(uint32_t img_num, uint32_t md_width, uint32_t md_height) {
    std::unique_ptr<_ZELVO_STITCH_INFO> r(new _ZELVO_STITCH_INFO());
    r->img_num = img_num;
    r->md_width = md_width;
    r->md_height = md_height;
    return r;
}

// Every test starts without decoded maps and leaves none behind.
class Decoding : public testing::Test {
protected:
    void SetUp() override { zelvo_stitch_uninit(); }
    void TearDown() override { zelvo_stitch_uninit(); }

    // One frame with img_num 1: no overlap, so no stitcher is touched.
    void one_image_frame(uint32_t md_width, uint32_t md_height, const uint8_t* bits) {
        auto rec = record(1, md_width, md_height);
        rec->md_addr[0] = reinterpret_cast<uint64_t>(bits);
        const int before = zelvo::frame_driver_counter();
        zt::StdoutCapture cap;
        EXPECT_EQ(zelvo_stitch_process(nullptr, rec.get()), 0);
        EXPECT_EQ(cap.take(), "");
        EXPECT_EQ(zelvo::frame_driver_counter(), before + 1);
    }

    // Decodes n images with distinct random maps directly; returns the maps.
    std::vector<Bytes> decode_images(uint32_t n, uint32_t md_width, uint32_t md_height,
                                     uint32_t seed) {
        const Geometry g = geometry(md_width, md_height);
        std::vector<Bytes> maps, packed;
        auto rec = record(n, md_width, md_height);
        for (uint32_t k = 0; k < n; ++k) {
            maps.push_back(random_map(g, seed + k));
            packed.push_back(pack(maps.back(), g));
        }
        for (uint32_t k = 0; k < n; ++k)
            rec->md_addr[k] = reinterpret_cast<uint64_t>(packed[k].data());
        zelvo::decode_motion_bitmaps(rec.get());
        return maps;
    }
};

// ---------------------------------------------------------------------------
// Bit layout
// ---------------------------------------------------------------------------

struct LayoutCase {
    uint32_t md_width, md_height, blocksX, blocksY, rowBytes;
};

const LayoutCase kLayouts[] = {
    {16, 16, 1, 1, 4},       {16, 48, 1, 3, 4},      {17, 17, 2, 2, 4},
    {512, 32, 32, 2, 4},     {520, 40, 33, 3, 8},    {640, 480, 40, 30, 8},
    {1024, 16, 64, 1, 8},    {1040, 20, 65, 2, 12},  {1920, 1080, 120, 68, 16},
};

TEST_F(Decoding, LayoutsThroughTheFrameDriver) {
    for (const LayoutCase& c : kLayouts) {
        SCOPED_TRACE(testing::Message() << c.md_width << " x " << c.md_height);
        const Geometry g = geometry(c.md_width, c.md_height);
        ASSERT_EQ(g.blocksX, c.blocksX);
        ASSERT_EQ(g.blocksY, c.blocksY);
        ASSERT_EQ(g.rowBytes, c.rowBytes);
        const Bytes map = random_map(g, c.md_width * 7 + c.md_height);
        const Bytes bits = pack(map, g);
        one_image_frame(c.md_width, c.md_height, bits.data());
        ASSERT_NE(decoded_md_buffer, nullptr);
        EXPECT_GE(num_decoded_md_buffer, 1);
        EXPECT_EQ(decoded(0, map.size()), map);
        zelvo_stitch_uninit();
    }
}

TEST_F(Decoding, LayoutsDecodedDirectlyForEveryImage) {
    for (const LayoutCase& c : kLayouts) {
        SCOPED_TRACE(testing::Message() << c.md_width << " x " << c.md_height);
        const auto maps = decode_images(5, c.md_width, c.md_height, c.md_width + c.md_height);
        ASSERT_EQ(num_decoded_md_buffer, 5);
        for (int k = 0; k < 5; ++k) EXPECT_EQ(decoded(k, maps[size_t(k)].size()), maps[size_t(k)]) << k;
        zelvo_stitch_uninit();
    }
}

// Literal bitmaps, read byte by byte as the detector lays them out.
TEST_F(Decoding, LiteralRows) {
    struct Case {
        const char* what;
        uint32_t md_width, md_height;
        Bytes bits;
        Bytes map;
    };
    const Case cases[] = {
        {"first byte 0x05, 8 blocks", 128, 32,
         {0x05, 0xFF, 0xFF, 0xFF, 0x80, 0x00, 0x00, 0x00},
         {1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}},
        {"width 16 keeps bit 0 only", 16, 48,
         {0xFE, 0xFF, 0xFF, 0xFF, 0x01, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x80},
         {0, 1, 1}},
        {"width 520: 32 bits of word 0, bit 0 of word 1", 520, 32,
         {0xFF, 0xFF, 0xFF, 0xFF, 0x03, 0x00, 0x00, 0x00,
          0x00, 0x00, 0x00, 0x00, 0xFE, 0xFF, 0xFF, 0xFF},
         [] {
             Bytes m(66, 0);
             for (int x = 0; x < 33; ++x) m[size_t(x)] = 1;
             return m;
         }()},
        {"word read little-endian", 512, 16,
         {0x01, 0x00, 0x00, 0x80},
         [] {
             Bytes m(32, 0);
             m[0] = 1;
             m[31] = 1;
             return m;
         }()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        one_image_frame(c.md_width, c.md_height, c.bits.data());
        EXPECT_EQ(decoded(0, c.map.size()), c.map);
        zelvo_stitch_uninit();
    }
}

// ---------------------------------------------------------------------------
// Allocation, growth and release
// ---------------------------------------------------------------------------

// Bytes actually behind a pointer of the decoded maps: at least what the
// frame needs, or a later write would run past the allocation.
size_t usable(const void* p) { return malloc_usable_size(const_cast<void*>(p)); }

TEST_F(Decoding, FirstFrameAllocatesFromItsRecord) {
    EXPECT_EQ(decoded_md_buffer, nullptr);
    EXPECT_EQ(num_decoded_md_buffer, 0);
    const auto maps = decode_images(3, 640, 480, 11);
    ASSERT_NE(decoded_md_buffer, nullptr);
    EXPECT_EQ(num_decoded_md_buffer, 3);
    for (int k = 0; k < 3; ++k) {
        EXPECT_GE(usable(decoded_md_buffer[k]), 1200u);
        EXPECT_EQ(decoded(k, 1200), maps[size_t(k)]);
    }
}

TEST_F(Decoding, GrowthReallocatesAndUpdatesBothGlobals) {
    struct Frame {
        const char* what;
        uint32_t img_num, md_width, md_height;
        int num_after;  // entries of decoded_md_buffer afterwards
        bool reuse;     // no growth: the existing maps are kept
    };
    const Frame frames[] = {
        {"small first frame", 1, 16, 16, 1, false},
        {"more images", 3, 16, 16, 3, false},
        {"more blocks", 3, 640, 480, 3, false},
        {"fewer images and blocks", 2, 16, 16, 3, true},
        {"same block count, other shape", 3, 16 * 40, 16 * 30, 3, true},
        {"transposed shape", 3, 16 * 30, 16 * 40, 3, true},
        {"both grow", 5, 1920, 1080, 5, false},
    };
    uint32_t seed = 100;
    for (const Frame& f : frames) {
        SCOPED_TRACE(f.what);
        uint8_t** before = decoded_md_buffer;
        const auto maps = decode_images(f.img_num, f.md_width, f.md_height, seed += 10);
        ASSERT_NE(decoded_md_buffer, nullptr);
        EXPECT_EQ(num_decoded_md_buffer, f.num_after);
        if (f.reuse) EXPECT_EQ(decoded_md_buffer, before);
        EXPECT_GE(usable(decoded_md_buffer), sizeof(uint8_t*) * f.img_num);
        for (uint32_t k = 0; k < f.img_num; ++k) {
            EXPECT_GE(usable(decoded_md_buffer[k]), maps[k].size()) << "image " << k;
            EXPECT_EQ(decoded(int(k), maps[k].size()), maps[k]) << "image " << k;
        }
    }
}

TEST_F(Decoding, UninitFreesAndTheNextFrameAllocatesAfresh) {
    const Geometry g = geometry(520, 40);
    const Bytes map = random_map(g, 5);
    const Bytes bits = pack(map, g);
    one_image_frame(520, 40, bits.data());
    ASSERT_NE(decoded_md_buffer, nullptr);
    EXPECT_EQ(num_decoded_md_buffer, 1);

    // init neither allocates nor frees the maps, nor moves the counter.
    uint8_t** maps = decoded_md_buffer;
    const int counter = zelvo::frame_driver_counter();
    EXPECT_EQ(zelvo_stitch_init(8, 3, 0, 0, 1, 1), 0);
    EXPECT_EQ(decoded_md_buffer, maps);
    EXPECT_EQ(num_decoded_md_buffer, 1);
    EXPECT_EQ(zelvo::frame_driver_counter(), counter);

    EXPECT_EQ(zelvo_stitch_uninit(), 0);
    EXPECT_EQ(decoded_md_buffer, nullptr);
    EXPECT_EQ(num_decoded_md_buffer, 0);
    EXPECT_EQ(zelvo_stitch_uninit(), 0);  // nothing left to free
    EXPECT_EQ(decoded_md_buffer, nullptr);

    // Sized from the new frame's own record.
    const auto fresh = decode_images(4, 640, 480, 77);
    ASSERT_NE(decoded_md_buffer, nullptr);
    EXPECT_EQ(num_decoded_md_buffer, 4);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(decoded(k, 1200), fresh[size_t(k)]);
}

TEST_F(Decoding, EmptyMotionGridReadsNoBitmap) {
    struct Case {
        uint32_t md_width, md_height;
    };
    for (const Case c : {Case{0, 0}, Case{0, 480}, Case{640, 0}}) {
        SCOPED_TRACE(testing::Message() << c.md_width << " x " << c.md_height);
        // A null bitmap address: reading it would crash.
        one_image_frame(c.md_width, c.md_height, nullptr);
        EXPECT_NE(decoded_md_buffer, nullptr);
        EXPECT_EQ(num_decoded_md_buffer, 1);
        // A real frame afterwards still decodes.
        const Geometry g = geometry(16, 32);
        const Bytes map = {1, 0};
        const Bytes bits = pack(map, g);
        one_image_frame(16, 32, bits.data());
        EXPECT_EQ(decoded(0, 2), map);
        zelvo_stitch_uninit();
    }
}

TEST_F(Decoding, ZeroImagesThrowsBeforeAnythingMoves) {
    auto rec = record(0, 640, 480);
    // Without maps.
    int counter = zelvo::frame_driver_counter();
    EXPECT_THROW(zelvo_stitch_process(nullptr, rec.get()), std::bad_array_new_length);
    EXPECT_EQ(zelvo::frame_driver_counter(), counter);
    EXPECT_EQ(decoded_md_buffer, nullptr);
    EXPECT_EQ(num_decoded_md_buffer, 0);

    // With maps from an earlier frame: left as they were.
    const Geometry g = geometry(16, 16);
    const Bytes bits = pack({1}, g);
    one_image_frame(16, 16, bits.data());
    uint8_t** maps = decoded_md_buffer;
    counter = zelvo::frame_driver_counter();
    EXPECT_THROW(zelvo_stitch_process(nullptr, rec.get()), std::bad_array_new_length);
    EXPECT_EQ(zelvo::frame_driver_counter(), counter);
    EXPECT_EQ(decoded_md_buffer, maps);
    EXPECT_EQ(num_decoded_md_buffer, 1);
    EXPECT_EQ(decoded(0, 1), Bytes{1});
}

TEST_F(Decoding, EcsEntryPointDoesNothing) {
    EXPECT_EQ(zelvo_ecs_process(nullptr), 0);
    EXPECT_EQ(decoded_md_buffer, nullptr);
}

}  // namespace
