// Motion-bitmap decoding through the frame driver on a one-image record (no
// overlap, so no stitcher is called): arbitrary bitmap sizes up to 4096 x
// 4096 pixels and bitmap bytes, several frames per input so that the decoded
// maps are re-sized when a frame is larger than the one that allocated them,
// and sometimes released between frames. Every decoded byte is checked
// against the bit it comes from.
#include <vector>

#include "fuzz_common.h"
#include "zelvo_internal.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zfuzz::silence_stdout();
    zelvo_stitch_set_dbg_out(0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);

    // Every input starts without maps, as after loading the library.
    zelvo_stitch_uninit();
    zelvo_stitch_init(9, 1, 0, 0, 1, 1);

    _ZELVO_STITCH_INFO info;
    std::memset(&info, 0, sizeof info);
    info.img_num = 1;
    DynStitcher* noStitchers[1] = {nullptr};

    const int frames = in.ConsumeIntegralInRange<int>(1, 4);
    for (int f = 0; f < frames; ++f) {
        if (f > 0 && in.ConsumeIntegralInRange<int>(0, 7) == 0) {
            zelvo_stitch_uninit();
            FUZZ_CHECK(decoded_md_buffer == nullptr && num_decoded_md_buffer == 0, "after uninit");
            zelvo_stitch_init(9, 1, 0, 0, 1, 1);
        }
        info.md_width = in.ConsumeIntegralInRange<uint32_t>(0, 4096);
        info.md_height = in.ConsumeIntegralInRange<uint32_t>(0, 4096);
        const uint32_t blocksX = (info.md_width + 15) / 16;
        const uint32_t blocksY = (info.md_height + 15) / 16;
        const uint32_t rowBytes = ((info.md_width + 511) / 512) * 4;

        // Exactly the bytes the record promises: a read past them is an
        // AddressSanitizer report.
        std::vector<uint8_t> bitmap(size_t(blocksY) * rowBytes);
        zfuzz::fill_bytes(in, bitmap.data(), bitmap.size(), 4096);
        info.md_addr[0] = uint64_t(reinterpret_cast<uintptr_t>(bitmap.data()));

        FUZZ_CHECK(zelvo_stitch_process(noStitchers, &info) == 0, "frame result");

        FUZZ_CHECK(decoded_md_buffer != nullptr && num_decoded_md_buffer == 1,
                   "maps after frame %d: %p, %d", f, (void*)decoded_md_buffer,
                   num_decoded_md_buffer);
        const uint8_t* map = decoded_md_buffer[0];
        FUZZ_CHECK(map != nullptr, "map 0 missing");
        for (uint32_t r = 0; r < blocksY; ++r) {
            const uint8_t* row = bitmap.data() + size_t(r) * rowBytes;
            for (uint32_t x = 0; x < blocksX; ++x) {
                const uint8_t want = (row[x / 8] >> (x % 8)) & 1u;
                const uint8_t got = map[size_t(r) * blocksX + x];
                FUZZ_CHECK(got == want, "block (%u, %u) of %u x %u: got %u, want %u", x, r, blocksX,
                           blocksY, got, want);
            }
        }
    }
    return 0;
}
