// The whole frame record, as a buggy host might write it, over a rig of four
// stitchers (five images). Up to four frames per input, each with its own
// record: the frame call either runs or throws, and it throws exactly when
// the record itself shows the frame cannot run (img_num 0: an array of -1
// overlaps; a strip outside the strip buffer or empty: OpenCV's error). It
// writes nothing but the shift slots of the overlaps it tracked, each within
// +-32 pixels. After each frame the seam path runs on every overlap that has
// been pre-processed.
//
// The harness keeps the host's side of what the library cannot check: the
// strip buffer holds strip_buf_width x strip_height[0] bytes, each motion
// bitmap blocksY x rowBytes bytes, img_num is at most the record's room, the
// decoded maps cover the stitchers' motion grid before process reads them,
// and a decoded map stays below a megabyte. Every buffer is exactly as large
// as that, so ASan sees any read beyond it. Addresses the library must not
// read (the strip buffer with one image, md_addr past img_num) hold junk.
#include <algorithm>
#include <new>
#include <vector>

#include "fuzz_common.h"
#include "zelvo_internal.h"

namespace {

constexpr int kImages = ZELVO_STITCH_MAX_IMAGES, kOverlaps = kImages - 1;
constexpr int kW = 128, kH = 64, kOverlap = 32, kCell = 4, kBlocks = 2, kLut = 5;
constexpr unsigned kMdCols = kW / 16, kMdRows = kH / 16;
constexpr uint64_t kJunk = 0x10;  // an address no host maps

// Mostly in [lo, hi], sometimes a value at which uint32 -> int code breaks.
uint32_t pickU32(FuzzedDataProvider& in, uint32_t lo, uint32_t hi) {
    static const uint32_t kExtremes[] = {0,          1,          0x3FFFFFFF, 0x40000000, 0x7FFFFFFE,
                                         0x7FFFFFFF, 0x80000000, 0xFFFFFFF0, 0xFFFFFFFF};
    if (in.ConsumeIntegralInRange<int>(0, 7) == 0)
        return kExtremes[in.ConsumeIntegralInRange<size_t>(0, std::size(kExtremes) - 1)];
    return in.ConsumeIntegralInRange<uint32_t>(lo, hi);
}

// Whether preProcess can cut both strips of overlap i out of the buffer the
// record describes, computed in 64 bits as the record's numbers mean them.
bool stripsInside(const _ZELVO_STITCH_INFO& r, uint32_t x, int i) {
    const long long rows = int(r.strip_height[0]), cols = int(r.strip_buf_width);
    const long long w = int(r.strip_width[i]), h = int(r.strip_height[i]);
    if (rows < 0 || cols < 0 || w <= 0 || h <= 0 || h > rows) return false;
    const long long left = int(x), right = int(x + r.strip_width[i]);
    return left >= 0 && right >= 0 && left + w <= cols && right + w <= cols;
}

// With ZELVO_FUZZ_STATS set, what the frames did is printed at exit: a
// harness whose records were all refused would test little.
long long g_frames = 0, g_refused = 0, g_tracked = 0, g_seams = 0, g_seamsWithMotion = 0;
void print_stats() {
    fprintf(stderr,
            "fuzz_frame_record: %lld frames: %lld refused, %lld ran with tracking; "
            "%lld seam calls, %lld with motion maps\n",
            g_frames, g_refused, g_tracked, g_seams, g_seamsWithMotion);
}

struct Rig {
    std::vector<uint32_t> lut = std::vector<uint32_t>(kLut * kLut);
    std::vector<uint8_t> fusion[kOverlaps];
    DynStitcher* st[kOverlaps] = {};
    Rig() {
        for (int k = 0; k < kLut * kLut; ++k)
            lut[size_t(k)] = (uint32_t(k / kLut * (kMdRows - 1) / (kLut - 1)) << 22) |
                             (uint32_t(k % kLut * (kMdCols - 1) / (kLut - 1)) << 6);
        zelvo_stitch_set_dbg_out(0);
        zelvo_stitch_init(kLut, kBlocks, 0, 0, 1, 1);
        float thresholds[] = {0.05f}, incs[] = {1.0f};
        for (int i = 0; i < kOverlaps; ++i) {
            fusion[i].resize(size_t(kH) * kOverlap);
            st[i] = create_dynstitcher(0, 0, kW, kH, kOverlap, kBlocks, 10.0f, -10.0f, 0.0f, 1,
                                       thresholds, incs, 1, 3, kLut, kLut, lut.data(), lut.data(),
                                       i, kMdCols, kMdRows, kCell, kCell);
            setup_dynstitcher(st[i], 0, (unsigned long)(uintptr_t)fusion[i].data());
        }
    }
    ~Rig() {
        for (DynStitcher*& s : st) destroy_dynstitcher(&s);
        zelvo_stitch_uninit();
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zfuzz::silence_stdout();
    if (getenv("ZELVO_FUZZ_STATS") != nullptr) atexit(print_stats);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    Rig rig;
    zelvo::frame_driver_counter() = 0;
    zelvo::tracker_dump_counter() = 0;
    zelvo::shifting_counter() = 0;
    Zelvo_Stitch_Shift_Every_N_Frames = in.ConsumeIntegralInRange<int>(-2, 2);
    uint32_t mapImages = 0, mapBytes = 0;  // what the decoded maps were allocated for

    const int frames = in.ConsumeIntegralInRange<int>(1, 4);
    for (int frame = 0; frame < frames; ++frame) {
        // Every byte of the record, junk included; then the named fields.
        _ZELVO_STITCH_INFO r;
        zfuzz::fill_bytes(in, reinterpret_cast<uint8_t*>(&r), sizeof r, 16);
        r.img_num = in.ConsumeIntegralInRange<int>(0, 15) == 0
                        ? 0
                        : in.ConsumeIntegralInRange<uint32_t>(1, kImages);
        const uint32_t overlaps = r.img_num > 0 ? r.img_num - 1 : 0;

        // The strip buffer: a well-formed layout, then some fields hostile.
        const uint32_t rows = in.ConsumeIntegralInRange<uint32_t>(1, 48);
        const uint32_t stripW = in.ConsumeIntegralInRange<uint32_t>(1, 40);
        r.strip_buf_width =
            2 * stripW * std::max(overlaps, 1u) + in.ConsumeIntegralInRange<uint32_t>(0, 3);
        for (int i = 0; i < 4; ++i) {
            r.strip_width[i] = stripW;
            r.strip_height[i] = in.ConsumeIntegralInRange<uint32_t>(1, rows);
        }
        r.strip_height[0] = rows;
        const size_t bufBytes = size_t(r.strip_buf_width) * rows;
        // Half the records (and every one once the input runs out) well-formed.
        for (int hostile = in.ConsumeBool() ? in.ConsumeIntegralInRange<int>(1, 3) : 0; hostile > 0;
             --hostile) {
            switch (in.ConsumeIntegralInRange<int>(0, 3)) {
                case 0:
                    r.strip_width[in.ConsumeIntegralInRange<int>(0, 3)] =
                        pickU32(in, 0, 2 * stripW);
                    break;
                case 1:
                    r.strip_height[in.ConsumeIntegralInRange<int>(1, 3)] = pickU32(in, 0, 2 * rows);
                    break;
                case 2:
                    r.strip_buf_width = pickU32(in, 0, r.strip_buf_width);
                    break;
                case 3:
                    r.strip_height[0] = pickU32(in, 0, rows);
                    break;
            }
        }
        // The buffer must hold what the record says it holds.
        if (uint64_t(r.strip_buf_width) * r.strip_height[0] > bufBytes) {
            r.strip_height[0] = rows;
            r.strip_buf_width = uint32_t(bufBytes / rows);
        }
        std::vector<uint8_t> strip(bufBytes);
        zfuzz::fill_bytes(in, strip.data(), strip.size(), 4096);
        r.strip_buf_addr = overlaps > 0 ? uint64_t(uintptr_t(strip.data())) : kJunk;

        // Motion bitmaps of the size the record gives, and junk addresses
        // past img_num.
        // Mostly (and once the input runs out) the stitchers' motion grid.
        r.md_width = in.ConsumeBool() ? pickU32(in, 0, 2 * kW) : kW;
        r.md_height = in.ConsumeBool() ? pickU32(in, 0, 2 * kH) : kH;
        const uint32_t blocksX = (r.md_width + 15u) / 16u, blocksY = (r.md_height + 15u) / 16u;
        const uint64_t bitmapBytes = uint64_t(blocksY) * (((r.md_width + 511u) / 512u) * 4u);
        const uint64_t decodedBytes = uint64_t(blocksX) * blocksY;
        if (bitmapBytes > 4096 || decodedBytes > (1u << 20)) continue;
        std::vector<uint8_t> bitmaps[kImages];
        for (uint32_t k = 0; k < kImages; ++k) {
            if (k < r.img_num) {
                bitmaps[k].resize(size_t(bitmapBytes));
                zfuzz::fill_bytes(in, bitmaps[k].data(), bitmaps[k].size(), 64);
                r.md_addr[k] = uint64_t(uintptr_t(bitmaps[k].data()));
            } else {
                r.md_addr[k] = kJunk + k;
            }
        }

        // Which overlaps the frame call should get through, and what it may write.
        uint32_t expectDone = overlaps, x = 0;
        for (uint32_t i = 0; i < overlaps; ++i) {
            if (!stripsInside(r, x, int(i))) {
                expectDone = i;
                break;
            }
            x += 2u * r.strip_width[i];
        }
        const _ZELVO_STITCH_INFO before = r;
        const bool tracking =
            Zelvo_Stitch_Shift_Every_N_Frames == 0 ||
            zelvo::frame_driver_counter() % Zelvo_Stitch_Shift_Every_N_Frames == 0;
        bool threw = false;
        try {
            zelvo_stitch_process(rig.st, &r);
        } catch (const std::bad_array_new_length&) {
            FUZZ_CHECK(r.img_num == 0, "bad_array_new_length with img_num %u", r.img_num);
            threw = true;
        } catch (const cv::Exception& e) {
            FUZZ_CHECK(expectDone < overlaps, "OpenCV refused a record whose strips all fit: %s",
                       e.what());
            threw = true;
        }
        FUZZ_CHECK(threw == (r.img_num == 0 || expectDone < overlaps),
                   "frame call ran although overlap %u's strips lie outside the buffer",
                   expectDone);
        ++g_frames;
        g_refused += threw;
        g_tracked += !threw && tracking && overlaps > 0;
        // The maps are re-allocated for this frame's sizes when it has more
        // images or bigger maps than they were made for.
        if (r.img_num > 0 && (mapImages == 0 || r.img_num > mapImages || decodedBytes > mapBytes)) {
            mapImages = r.img_num;
            mapBytes = uint32_t(decodedBytes);
        }

        // Only the shift slots of tracked overlaps change, each within bounds.
        const size_t shiftAt = offsetof(_ZELVO_STITCH_INFO, overlap_shift_value);
        FUZZ_CHECK(std::memcmp(&r, &before, shiftAt) == 0,
                   "the frame call wrote outside the shift slots");
        for (uint32_t slot = 0; slot < uint32_t(kImages); ++slot) {
            const int32_t now = r.overlap_shift_value[slot], was = before.overlap_shift_value[slot];
            const bool writable = tracking && slot >= 1 && slot <= expectDone;
            FUZZ_CHECK(now == was || (writable && now >= -32 && now <= 32), "slot %u: %d -> %d",
                       slot, was, now);
        }

        // The seam path on every overlap that has images to work on.
        const bool maps = decoded_md_buffer != nullptr && mapBytes >= kMdCols * kMdRows;
        for (uint32_t i = 0; i < uint32_t(kOverlaps); ++i) {
            DynStitcher* s = rig.st[i];
            if (s->diffImage.empty()) continue;
            const bool motion = maps && i + 1 < mapImages;
            s->process(motion ? decoded_md_buffer[i] : nullptr,
                       motion ? decoded_md_buffer[i + 1] : nullptr);
            s->copyTo_dre_fusion_map();
            ++g_seams;
            g_seamsWithMotion += motion;
            FUZZ_CHECK(s->currMask.rows == s->maskRows && s->currMask.cols == s->maskCols,
                       "mask size");
        }
    }
    return 0;
}
