// The frame driver and the stitchers as a host drives them, every buffer exactly as large as the
// record and the parameters say (ASan sees any read beyond it). An even first byte picks way 0:
// any construction and library parameters and LUT words (cellWidth not 0, buffers a host could
// hold): setup throws std::invalid_argument leaving the stitcher as constructed, or succeeds with
// anchors inside the motion grid and three frames of both paths give shifts within their bounds.
// An odd one picks way 1: the whole frame record as a buggy host might write it, four stitchers,
// up to four frames: the frame call throws exactly when the record shows it cannot run (img_num
// 0; a strip outside the buffer or empty), writes only the shift slots of the overlaps it tracked
// (within +-32 px), and the seam path runs after it; addresses the library must not read hold
// junk. The byte's second bit turns the motion-aware mode on.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "zelvo_internal.h"

// A broken invariant is a finding: say which and abort, so that libFuzzer
// keeps the input as a crash artifact.
#define FUZZ_CHECK(cond, ...)                                                              \
    do {                                                                                   \
        if (!(cond))                                                                       \
            fprintf(stderr, "%s:%d: invariant broken: %s\n  ", __FILE__, __LINE__, #cond), \
                fprintf(stderr, __VA_ARGS__), fprintf(stderr, "\n"), abort();              \
    } while (0)

namespace {

// A value usually in [lo, hi], one in `odds` times one of the extremes at which integer code
// breaks.
template <class T, size_t N>
T pick(FuzzedDataProvider& in, T lo, T hi, const T (&extremes)[N], int odds) {
    if (in.ConsumeIntegralInRange<int>(0, odds - 1) == 0)
        return extremes[in.ConsumeIntegralInRange<size_t>(0, N - 1)];
    return in.ConsumeIntegralInRange<T>(lo, hi);
}
int pick_int(FuzzedDataProvider& in, int lo, int hi) {
    static const int kExtremes[] = {INT_MIN, INT_MIN + 1, -65536, -1,    0,           1,
                                    2,       3,           65535,  65536, INT_MAX - 1, INT_MAX};
    return pick(in, lo, hi, kExtremes, 16);
}

// Any float bit pattern (NaN, infinities, denormals included) half of the
// time, a plain value in [lo, hi] otherwise.
float pick_float(FuzzedDataProvider& in, float lo, float hi) {
    if (in.ConsumeBool()) {
        const uint32_t bits = in.ConsumeIntegral<uint32_t>();
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    }
    return in.ConsumeFloatingPointInRange<float>(lo, hi);
}

// Fills n bytes from up to `take` input bytes, repeated when they run short
// (zeros once the input is exhausted).
void fill_bytes(FuzzedDataProvider& in, uint8_t* dst, size_t n, size_t take) {
    if (n == 0) return;
    const std::vector<uint8_t> src = in.ConsumeBytes<uint8_t>(take < n ? take : n);
    for (size_t i = 0; i < n; ++i) dst[i] = src.empty() ? 0 : src[i % src.size()];
}

// Everything setup writes, as it stands; a refused setup must leave it so.
std::vector<long long> snapshot(const DynStitcher& s) {
    std::vector<long long> v = {
        s.maskCols,        s.maskRows,          s.maskBlockHeight,   s.lastMaskBlockRow,
        s.quietFrameCount, s.labelMaskValue[0], s.labelMaskValue[1], (long long)s.dreFusionMapAddr};
    for (size_t n :
         {s.sigmoidCurves.size(), s.blockMdCellsL.size(), s.blockMdCellsR.size(),
          s.blockMdCellCount.size(), s.prevMaskBlockStats.size(), s.maskBlockStats.size(),
          s.blockScore.size(), s.blockMotionSumL.size(), s.blockMotionSumR.size(),
          s.blockSeamUpdate.size(), s.blockMotionHistory.size(), s.rowCrossX.size()})
        v.push_back((long long)n);
    for (const cv::Mat* m :
         {&s.wsMarkers, &s.fusionMask, &s.defaultMask, &s.lastMask, &s.dreFusionMap})
        v.insert(v.end(), {(long long)(uintptr_t)m->data, m->rows, m->cols, m->type()});
    return v;
}

constexpr long long kMaxFusionBytes = 1 << 16;  // keeps one input to milliseconds
constexpr long long kMaxLutWords = 1 << 16;
constexpr int32_t kHostShift = 12345;  // what the host leaves in the record

// The host's LUTs: every word the walk may visit; anchors mostly inside the
// mdW x mdH motion grid (unused bits noise), sometimes anywhere in 0..1023.
void fillLuts(FuzzedDataProvider& in, std::vector<uint32_t> (&luts)[2], unsigned mdW,
              unsigned mdH) {
    const int lutMode = in.ConsumeIntegralInRange<int>(0, 7);
    for (auto& lut : luts)
        for (uint32_t& word : lut) {
            const uint32_t noise = in.ConsumeIntegral<uint32_t>();
            const bool any =
                lutMode == 0 || mdW == 0 || mdH == 0 || in.ConsumeIntegralInRange<int>(0, 255) == 0;
            word = any ? noise
                       : zelvo_host::lut_word((noise >> 22) % mdH, (noise >> 6) % mdW) |
                             (noise & 0x3F003Fu);
        }
}

// Accepted: the geometry the per-frame paths rely on.
void checkAccepted(const DynStitcher* s, unsigned mdW, unsigned mdH) {
    FUZZ_CHECK(s->maskCols >= 2 && s->maskRows >= 1 && s->numMaskBlocks >= 1 &&
                   s->lastMaskBlockRow < s->maskRows,
               "accepted %d x %d cells in %d blocks, the last from row %d", s->maskCols,
               s->maskRows, s->numMaskBlocks, s->lastMaskBlockRow);
    for (const auto& st : s->maskBlockStats)
        for (const auto* cells : {&st.mdCellsL, &st.mdCellsR})
            for (const cv::Point& p : *cells)
                FUZZ_CHECK(p.x >= 0 && p.y >= 0 && unsigned(p.x) < mdW && unsigned(p.y) < mdH,
                           "anchor (%d, %d) outside the %u x %u motion grid", p.x, p.y, mdW, mdH);
}

// Three frames of both paths over one overlap; the bitmaps cover the
// stitcher's mdW x mdH motion grid.
void runThreeFrames(FuzzedDataProvider& in, DynStitcher* s, unsigned mdW, unsigned mdH) {
    _ZELVO_STITCH_INFO info{};
    info.img_num = 2;
    const uint32_t stripW = in.ConsumeIntegralInRange<uint32_t>(1, 96);
    const uint32_t stripH = in.ConsumeIntegralInRange<uint32_t>(1, 96);
    info.strip_width[0] = stripW;
    info.strip_buf_width = zelvo_host::strip_buffer_width(info.strip_width, 1) +
                           in.ConsumeIntegralInRange<uint32_t>(0, 3);
    info.strip_height[0] = stripH;
    info.md_width = mdW * 16 - (mdW > 0 ? in.ConsumeIntegralInRange<uint32_t>(0, 15) : 0);
    info.md_height = mdH * 16 - (mdH > 0 ? in.ConsumeIntegralInRange<uint32_t>(0, 15) : 0);
    std::vector<uint8_t> strip(size_t(info.strip_buf_width) * stripH), bitmaps[2];
    info.strip_buf_addr = uint64_t(uintptr_t(strip.data()));
    for (int k = 0; k < 2; ++k)
        bitmaps[k].resize(zelvo_host::md_bitmap_bytes(info.md_width, info.md_height)),
            info.md_addr[k] = uint64_t(uintptr_t(bitmaps[k].data()));
    info.overlap_shift_value[1] = kHostShift;

    const int bound = 32 / s->cellWidth;  // accepted, so cellWidth >= 1
    for (int frame = 0; frame < 3; ++frame) {
        const uint8_t mode = in.ConsumeIntegral<uint8_t>();
        // Textured, flat or noisy strips: corners to track, or none.
        if (mode & 1) {
            fill_bytes(in, strip.data(), strip.size(), 2048);
        } else {
            const uint8_t base = in.ConsumeIntegral<uint8_t>();
            const uint32_t shift = in.ConsumeIntegralInRange<uint32_t>(0, 8);
            for (uint32_t r = 0; r < stripH; ++r)
                for (uint32_t c = 0; c < info.strip_buf_width; ++c) {
                    const uint32_t x = c < stripW ? c : c - stripW + shift;
                    strip[size_t(r) * info.strip_buf_width + c] =
                        uint8_t(base + ((x / 3 + r / 4) % 2) * 90 + (x * r) % 7);
                }
        }
        // Arbitrary motion, or motion everywhere (the score's fast path).
        for (auto& b : bitmaps) {
            if (mode & 0x80)
                std::fill(b.begin(), b.end(), uint8_t(0xFF));
            else
                fill_bytes(in, b.data(), b.size(), 256);
        }
        Zelvo_Stitch_Shift_Every_N_Frames = int(int8_t(mode)) >> 5;  // -4 .. 3
        zelvo_stitch_set_dbg_out((mode & 0x06) == 0x06 ? 1 : 0);

        zelvo_stitch_process(&s, &info);
        const int32_t shift = info.overlap_shift_value[1];
        FUZZ_CHECK(shift == kHostShift ||
                       (shift >= -bound * s->cellWidth && shift <= bound * s->cellWidth),
                   "shift %d outside +-%d cells of %d pixels", shift, bound, s->cellWidth);

        const bool withMotion = (mode & 0x18) != 0;
        s->process(withMotion ? decoded_md_buffer[0] : nullptr,
                   withMotion ? decoded_md_buffer[1] : nullptr);
        FUZZ_CHECK(s->currMask.rows == s->maskRows && s->currMask.cols == s->maskCols &&
                       s->rowCrossX.size() == size_t(s->maskRows),
                   "mask %d x %d, %zu crossings", s->currMask.cols, s->currMask.rows,
                   s->rowCrossX.size());
        for (const auto& h : s->blockMotionHistory) FUZZ_CHECK(h.size() == 32, "history length");
        s->copyTo_dre_fusion_map();
    }
}

void setupAndFrames(FuzzedDataProvider& in) {
    const int lutRows = std::min(pick_int(in, -1, 64), 1 << 16);  // the host allocates no more
    const int initBlocks = pick_int(in, -2, 16);
    const uint8_t switches = in.ConsumeIntegral<uint8_t>();
    const int imgWidth = pick_int(in, -4, 1024), imgHeight = pick_int(in, -4, 512);
    const int overlapWidth = pick_int(in, -4, 512), numMaskBlocks = pick_int(in, -2, 16);
    const float blockScoreMax = pick_float(in, -100.0f, 100.0f);
    const float blockScoreMin = pick_float(in, -100.0f, 100.0f);
    const int numDiffLevels = std::min(pick_int(in, -2, 8), 8);
    float thresholds[8], incs[8];
    for (int i = 0; i < 8; ++i) {
        thresholds[i] = pick_float(in, 0.0f, 1.0f);
        incs[i] = pick_float(in, -10.0f, 10.0f);
    }
    const int blockScoreStep = pick_int(in, -100, 100);
    const int resetQuietFrames = pick_int(in, -2, 5);
    const int lutGridSize = pick_int(in, -2, 40), lutStride = pick_int(in, -2, 48);
    const int overlapId = pick_int(in, -1, 4);
    unsigned mdGrid[2];
    for (unsigned& g : mdGrid)
        g = in.ConsumeIntegralInRange<int>(0, 15) == 0 ? in.ConsumeIntegral<unsigned>()
                                                       : in.ConsumeIntegralInRange<unsigned>(0, 48);
    const int cellWidth = pick_int(in, -2, 16), cellHeight = pick_int(in, -2, 16);
    const uint8_t nulls = in.ConsumeIntegral<uint8_t>() & 0x1F;  // rare null pointers
    if (cellWidth == 0) return;

    // The host's LUTs, (g - 1) x stride + g words, and fusion-map buffer.
    long long lutWords = 1, fusionBytes = 1;
    if (lutGridSize >= 2 && lutGridSize <= 64 && lutStride >= 0)
        lutWords = (long long)(lutGridSize - 1) * lutStride + lutGridSize;
    if (imgHeight > 0 && overlapWidth > 0) fusionBytes = (long long)imgHeight * overlapWidth;
    if (lutWords > kMaxLutWords || fusionBytes > kMaxFusionBytes) return;
    const unsigned mdW = mdGrid[0] & 0xFFu, mdH = mdGrid[1] & 0xFFu;
    std::vector<uint32_t> luts[2] = {std::vector<uint32_t>(size_t(lutWords)),
                                     std::vector<uint32_t>(size_t(lutWords))};
    fillLuts(in, luts, mdW, mdH);
    std::vector<uint8_t> fusion(size_t(fusionBytes), 0xEE);

    zelvo_stitch_set_dbg_out(0);
    try {
        zelvo_stitch_init(lutRows, initBlocks, 0, switches & 1, switches & 2, switches & 4);
    } catch (const std::bad_array_new_length&) {
        // A negative row count: no table, so set-up must refuse.
    }
    srand(1);  // reproducible reset draws
    zelvo::frameDriverCounter() = zelvo::trackerDumpCounter() = zelvo::shiftingCounter() = 0;

    DynStitcher* s = create_dynstitcher(
        0, 0, imgWidth, imgHeight, overlapWidth, numMaskBlocks, blockScoreMax, blockScoreMin, 0.0f,
        numDiffLevels, thresholds, incs, blockScoreStep, resetQuietFrames, lutGridSize, lutStride,
        nulls == 1 ? nullptr : luts[0].data(), nulls == 2 ? nullptr : luts[1].data(), overlapId,
        mdGrid[0], mdGrid[1], cellWidth, cellHeight);
    const std::vector<long long> before = snapshot(*s);
    bool refused = false;
    try {
        setup_dynstitcher(s, 0, nulls == 3 ? 0ul : (unsigned long)(uintptr_t)fusion.data());
    } catch (const std::invalid_argument&) {
        refused = true;
    }
    if (refused) {
        FUZZ_CHECK(snapshot(*s) == before, "a refused setup changed the stitcher");
    } else {
        checkAccepted(s, mdW, mdH);
        runThreeFrames(in, s, mdW, mdH);
    }
    destroy_dynstitcher(&s);
    FUZZ_CHECK(s == nullptr, "handle not cleared");
    zelvo_stitch_uninit();
}

constexpr int kImages = ZELVO_STITCH_MAX_IMAGES, kOverlaps = kImages - 1;
constexpr int kW = 128, kH = 64, kOverlap = 32, kCell = 4, kBlocks = 2, kLut = 5;
constexpr unsigned kMdCols = kW / 16, kMdRows = kH / 16;
constexpr uint64_t kJunk = 0x10;  // an address no host maps

// Extremes at which uint32 -> int code breaks.
uint32_t pickU32(FuzzedDataProvider& in, uint32_t lo, uint32_t hi) {
    static const uint32_t kExtremes[] = {0,          1,          0x3FFFFFFF, 0x40000000, 0x7FFFFFFE,
                                         0x7FFFFFFF, 0x80000000, 0xFFFFFFF0, 0xFFFFFFFF};
    return pick(in, lo, hi, kExtremes, 8);
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

struct Rig {
    std::vector<uint32_t> lut = std::vector<uint32_t>(kLut * kLut);
    std::vector<uint8_t> fusion[kOverlaps];
    DynStitcher* st[kOverlaps] = {};
    Rig() {
        for (int k = 0; k < kLut * kLut; ++k)
            lut[size_t(k)] = zelvo_host::lut_word(k / kLut * (kMdRows - 1) / (kLut - 1),
                                                  k % kLut * (kMdCols - 1) / (kLut - 1));
        zelvo_stitch_set_dbg_out(0);
        zelvo_stitch_init(kLut, kBlocks, 0, 0, 1, 1);
        float thresholds[] = {0.05f}, incs[] = {1.0f};
        for (int i = 0; i < kOverlaps; ++i) {
            fusion[i].resize(zelvo_host::fusion_map_bytes(kH, kOverlap));
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

// The strip buffer's layout: well-formed, then (in half the records, and never
// once the input runs out) one to three fields hostile, within the buffer.
size_t stripLayout(FuzzedDataProvider& in, _ZELVO_STITCH_INFO& r, uint32_t overlaps) {
    const uint32_t rows = in.ConsumeIntegralInRange<uint32_t>(1, 48);
    const uint32_t stripW = in.ConsumeIntegralInRange<uint32_t>(1, 40);
    const uint32_t spare = in.ConsumeIntegralInRange<uint32_t>(0, 3);
    for (int i = 0; i < 4; ++i) {
        r.strip_width[i] = stripW;
        r.strip_height[i] = in.ConsumeIntegralInRange<uint32_t>(1, rows);
    }
    r.strip_buf_width =
        zelvo_host::strip_buffer_width(r.strip_width, std::max(overlaps, 1u)) + spare;
    r.strip_height[0] = rows;
    const size_t bufBytes = size_t(r.strip_buf_width) * rows;
    for (int hostile = in.ConsumeBool() ? in.ConsumeIntegralInRange<int>(1, 3) : 0; hostile > 0;
         --hostile) {
        switch (in.ConsumeIntegralInRange<int>(0, 3)) {
            case 0:
                r.strip_width[in.ConsumeIntegralInRange<int>(0, 3)] = pickU32(in, 0, 2 * stripW);
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
    if (uint64_t(r.strip_buf_width) * r.strip_height[0] > bufBytes) {
        r.strip_height[0] = rows;
        r.strip_buf_width = uint32_t(bufBytes / rows);
    }
    return bufBytes;
}

void recordFrames(FuzzedDataProvider& in) {
    Rig rig;
    zelvo::frameDriverCounter() = zelvo::trackerDumpCounter() = zelvo::shiftingCounter() = 0;
    Zelvo_Stitch_Shift_Every_N_Frames = in.ConsumeIntegralInRange<int>(-2, 2);
    uint32_t mapImages = 0, mapBytes = 0;  // what the decoded maps were allocated for

    const int frames = in.ConsumeIntegralInRange<int>(1, 4);
    for (int frame = 0; frame < frames; ++frame) {
        // Every byte of the record, junk included; then the named fields.
        _ZELVO_STITCH_INFO r;
        fill_bytes(in, reinterpret_cast<uint8_t*>(&r), sizeof r, 16);
        r.img_num = in.ConsumeIntegralInRange<int>(0, 15) == 0
                        ? 0
                        : in.ConsumeIntegralInRange<uint32_t>(1, kImages);
        const uint32_t overlaps = r.img_num > 0 ? r.img_num - 1 : 0;
        std::vector<uint8_t> strip(stripLayout(in, r, overlaps));
        fill_bytes(in, strip.data(), strip.size(), 4096);
        r.strip_buf_addr = overlaps > 0 ? uint64_t(uintptr_t(strip.data())) : kJunk;

        // Motion bitmaps of the size the record gives (mostly, and once the
        // input runs out, the stitchers' motion grid); junk past img_num.
        r.md_width = in.ConsumeBool() ? pickU32(in, 0, 2 * kW) : kW;
        r.md_height = in.ConsumeBool() ? pickU32(in, 0, 2 * kH) : kH;
        const uint64_t bitmapBytes = zelvo_host::md_bitmap_bytes(r.md_width, r.md_height);
        const uint64_t decodedBytes =
            uint64_t(zelvo_host::md_blocks(r.md_width)) * zelvo_host::md_blocks(r.md_height);
        if (bitmapBytes > 4096 || decodedBytes > (1u << 20)) continue;
        std::vector<uint8_t> bitmaps[kImages];
        for (uint32_t k = 0; k < kImages; ++k) {
            r.md_addr[k] = kJunk + k;
            if (k >= r.img_num) continue;
            bitmaps[k].resize(size_t(bitmapBytes));
            fill_bytes(in, bitmaps[k].data(), bitmaps[k].size(), 64);
            r.md_addr[k] = uint64_t(uintptr_t(bitmaps[k].data()));
        }

        // Which overlaps the frame call should get through, and what it may write.
        uint32_t expectDone = overlaps;
        for (uint32_t i = 0; i < overlaps && expectDone == overlaps; ++i)
            if (!stripsInside(r, zelvo_host::strip_left_x(r.strip_width, i), int(i)))
                expectDone = i;
        const _ZELVO_STITCH_INFO before = r;
        const bool tracking = Zelvo_Stitch_Shift_Every_N_Frames == 0 ||
                              zelvo::frameDriverCounter() % Zelvo_Stitch_Shift_Every_N_Frames == 0;
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
        // The maps are re-allocated when a frame has more images or bigger maps.
        if (r.img_num > 0 && (mapImages == 0 || r.img_num > mapImages || decodedBytes > mapBytes)) {
            mapImages = r.img_num;
            mapBytes = uint32_t(decodedBytes);
        }

        // Only the shift slots of tracked overlaps change, each within bounds.
        FUZZ_CHECK(std::memcmp(&r, &before, offsetof(_ZELVO_STITCH_INFO, overlap_shift_value)) == 0,
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
            FUZZ_CHECK(s->currMask.rows == s->maskRows && s->currMask.cols == s->maskCols,
                       "mask size");
        }
    }
}

}  // namespace

// The stitcher constructor prints unconditionally; libFuzzer reports on stderr.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (freopen("/dev/null", "w", stdout) == nullptr) abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    FuzzedDataProvider in(data + 1, size - 1);
    zelvo_stitch_set_motion_aware((data[0] >> 1) & 1);
    if (data[0] & 1)
        recordFrames(in);
    else
        setupAndFrames(in);
    return 0;
}
