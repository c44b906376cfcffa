// Set-up with arbitrary construction parameters, library parameters and LUT
// words. setup either throws std::invalid_argument and leaves the stitcher
// exactly as constructed, or succeeds; then three frames of the frame driver
// (shift path) and of process + copyTo_dre_fusion_map (seam path) run on
// arbitrary strips and motion bitmaps.
//
// The harness plays a host that keeps its side of the contract: every buffer
// it passes is as large as the record and the parameters say (the LUTs hold
// every vertex the anchor walk may visit, the fusion-map buffer imgHeight x
// overlapWidth bytes, the strips lie inside the strip buffer, the bitmaps
// cover the motion grid the stitcher was given), cellWidth is not 0 (the
// constructor divides by it), and numDiffLevels does not exceed the arrays.
// Geometries whose buffers no host could hold are skipped.
#include <algorithm>
#include <stdexcept>
#include <vector>

#include "fuzz_common.h"
#include "zelvo_internal.h"

namespace {

// Everything setup writes, as it stands; a refused setup must leave it so.
struct Snapshot {
    std::vector<long long> v;
    explicit Snapshot(const DynStitcher& s) {
        auto mat = [this](const cv::Mat& m) {
            v.push_back((long long)(uintptr_t)m.data);
            v.push_back(m.rows);
            v.push_back(m.cols);
            v.push_back(m.type());
        };
        v = {s.maskCols,
             s.maskRows,
             s.maskBlockHeight,
             s.lastMaskBlockRow,
             s.quietFrameCount,
             s.labelMaskValue[0],
             s.labelMaskValue[1],
             (long long)s.dreFusionMapAddr,
             (long long)s.sigmoidCurves.size(),
             (long long)s.blockMdCellsL.size(),
             (long long)s.blockMdCellsR.size(),
             (long long)s.blockMdCellCount.size(),
             (long long)s.prevMaskBlockStats.size(),
             (long long)s.maskBlockStats.size(),
             (long long)s.blockScore.size(),
             (long long)s.blockMotionSumL.size(),
             (long long)s.blockMotionSumR.size(),
             (long long)s.blockSeamUpdate.size(),
             (long long)s.blockMotionHistory.size(),
             (long long)s.rowCrossX.size()};
        mat(s.wsMarkers);
        mat(s.fusionMask);
        mat(s.defaultMask);
        mat(s.lastMask);
        mat(s.dreFusionMap);
    }
};

constexpr long long kMaxFusionBytes = 1 << 16;  // keeps one input to milliseconds
constexpr long long kMaxLutWords = 1 << 16;
constexpr int32_t kHostShift = 12345;  // what the host leaves in the record

// With ZELVO_FUZZ_STATS set, how many inputs reached each stage is printed at
// exit: a harness that never gets past set-up would test little.
long long g_inputs = 0, g_refused = 0, g_accepted = 0;
void print_stats() {
    fprintf(stderr, "fuzz_setup_frames: %lld inputs, %lld refused by setup, %lld ran 3 frames\n",
            g_inputs, g_refused, g_accepted);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zfuzz::silence_stdout();
    if (getenv("ZELVO_FUZZ_STATS") != nullptr) atexit(print_stats);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    using zfuzz::pick_float;
    using zfuzz::pick_int;

    // Library parameters.
    const int lutRows = std::min(pick_int(in, -1, 64), 1 << 16);  // the host allocates no more
    const int initBlocks = pick_int(in, -2, 16);
    const uint8_t switches = in.ConsumeIntegral<uint8_t>();

    // Construction parameters.
    const int imgWidth = pick_int(in, -4, 1024);
    const int imgHeight = pick_int(in, -4, 512);
    const int overlapWidth = pick_int(in, -4, 512);
    const int numMaskBlocks = pick_int(in, -2, 16);
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
    const int lutGridSize = pick_int(in, -2, 40);
    const int lutStride = pick_int(in, -2, 48);
    const int overlapId = pick_int(in, -1, 4);
    const unsigned mdGridWidth = in.ConsumeIntegralInRange<int>(0, 15) == 0
                                     ? in.ConsumeIntegral<unsigned>()
                                     : in.ConsumeIntegralInRange<unsigned>(0, 48);
    const unsigned mdGridHeight = in.ConsumeIntegralInRange<int>(0, 15) == 0
                                      ? in.ConsumeIntegral<unsigned>()
                                      : in.ConsumeIntegralInRange<unsigned>(0, 48);
    const int cellWidth = pick_int(in, -2, 16);
    const int cellHeight = pick_int(in, -2, 16);
    const uint8_t nulls = in.ConsumeIntegral<uint8_t>();  // rare null pointers
    if (cellWidth == 0) return 0;

    // The host's LUTs: every word the walk may visit, (g - 1) x stride + g.
    long long lutWords = 1;
    if (lutGridSize >= 2 && lutGridSize <= 64 && lutStride >= 0)
        lutWords = (long long)(lutGridSize - 1) * lutStride + lutGridSize;
    if (lutWords > kMaxLutWords) return 0;
    const unsigned mdW = mdGridWidth & 0xFFu, mdH = mdGridHeight & 0xFFu;
    const int lutMode = in.ConsumeIntegralInRange<int>(0, 7);
    std::vector<uint32_t> luts[2];
    for (auto& lut : luts) {
        lut.resize(size_t(lutWords));
        for (size_t i = 0; i < lut.size(); ++i) {
            const uint32_t noise = in.ConsumeIntegral<uint32_t>();
            if (lutMode == 0 || mdW == 0 || mdH == 0 ||
                in.ConsumeIntegralInRange<int>(0, 255) == 0) {
                lut[i] = noise;  // any word, anchors anywhere in 0..1023
            } else {
                // Anchors inside the motion grid; the unused bits hold noise.
                const uint32_t x = (noise >> 6) % mdW, y = (noise >> 22) % mdH;
                lut[i] = (y << 22) | (x << 6) | (noise & 0x3F003Fu);
            }
        }
    }

    // The host's fusion-map buffer.
    long long fusionBytes = 1;
    if (imgHeight > 0 && overlapWidth > 0) fusionBytes = (long long)imgHeight * overlapWidth;
    if (fusionBytes > kMaxFusionBytes) return 0;
    std::vector<uint8_t> fusion(size_t(fusionBytes), 0xEE);

    zelvo_stitch_set_dbg_out(0);
    try {
        zelvo_stitch_init(lutRows, initBlocks, 0, switches & 1, switches & 2, switches & 4);
    } catch (const std::bad_array_new_length&) {
        // A negative row count: the library is left without a table and
        // set-up must refuse.
    }
    srand(1);  // reproducible reset draws
    zelvo::frameDriverCounter() = 0;
    zelvo::trackerDumpCounter() = 0;
    zelvo::shiftingCounter() = 0;

    DynStitcher* s = create_dynstitcher(
        0, 0, imgWidth, imgHeight, overlapWidth, numMaskBlocks, blockScoreMax, blockScoreMin, 0.0f,
        numDiffLevels, thresholds, incs, blockScoreStep, resetQuietFrames, lutGridSize, lutStride,
        (nulls & 0x1F) == 1 ? nullptr : luts[0].data(),
        (nulls & 0x1F) == 2 ? nullptr : luts[1].data(), overlapId, mdGridWidth, mdGridHeight,
        cellWidth, cellHeight);

    ++g_inputs;
    const Snapshot before(*s);
    const unsigned long fusionAddr =
        (nulls & 0x1F) == 3 ? 0ul : (unsigned long)(uintptr_t)fusion.data();
    bool refused = false;
    try {
        setup_dynstitcher(s, 0, fusionAddr);
    } catch (const std::invalid_argument&) {
        refused = true;
    }
    if (refused) {
        ++g_refused;
        FUZZ_CHECK(Snapshot(*s).v == before.v, "a refused setup changed the stitcher");
        destroy_dynstitcher(&s);
        zelvo_stitch_uninit();
        return 0;
    }

    // Accepted: the geometry the per-frame paths rely on.
    const size_t blocks = size_t(s->numMaskBlocks);
    FUZZ_CHECK(s->maskCols >= 2 && s->maskRows >= 1 && s->numMaskBlocks >= 1,
               "accepted %d x %d cells in %d blocks", s->maskCols, s->maskRows, s->numMaskBlocks);
    FUZZ_CHECK(s->lastMaskBlockRow < s->maskRows, "last block starts at %d of %d rows",
               s->lastMaskBlockRow, s->maskRows);
    FUZZ_CHECK(s->maskBlockStats.size() == blocks && s->prevMaskBlockStats.size() == blocks &&
                   s->blockMotionHistory.size() == blocks && s->blockMdCellCount.size() == blocks &&
                   s->rowCrossX.size() == size_t(s->maskRows) && s->sigmoidCurves.size() == 7,
               "list sizes");
    for (const auto& st : s->maskBlockStats) {
        for (const auto* cells : {&st.mdCellsL, &st.mdCellsR})
            for (const cv::Point& p : *cells)
                FUZZ_CHECK(p.x >= 0 && p.y >= 0 && unsigned(p.x) < mdW && unsigned(p.y) < mdH,
                           "anchor (%d, %d) outside the %u x %u motion grid", p.x, p.y, mdW, mdH);
    }

    // The host's record: two images, one overlap; motion bitmaps covering
    // the stitcher's motion grid.
    _ZELVO_STITCH_INFO info;
    std::memset(&info, 0, sizeof info);
    info.img_num = 2;
    const uint32_t stripW = in.ConsumeIntegralInRange<uint32_t>(1, 96);
    const uint32_t stripH = in.ConsumeIntegralInRange<uint32_t>(1, 96);
    info.strip_buf_width = 2 * stripW + in.ConsumeIntegralInRange<uint32_t>(0, 3);
    info.strip_width[0] = stripW;
    info.strip_height[0] = stripH;
    info.md_width = mdW * 16 - (mdW > 0 ? in.ConsumeIntegralInRange<uint32_t>(0, 15) : 0);
    info.md_height = mdH * 16 - (mdH > 0 ? in.ConsumeIntegralInRange<uint32_t>(0, 15) : 0);
    const size_t bitmapBytes = size_t(mdH) * (((info.md_width + 511) / 512) * 4);
    std::vector<uint8_t> strip(size_t(info.strip_buf_width) * stripH);
    std::vector<uint8_t> bitmaps[2] = {std::vector<uint8_t>(bitmapBytes),
                                       std::vector<uint8_t>(bitmapBytes)};
    info.strip_buf_addr = uint64_t(uintptr_t(strip.data()));
    info.md_addr[0] = uint64_t(uintptr_t(bitmaps[0].data()));
    info.md_addr[1] = uint64_t(uintptr_t(bitmaps[1].data()));
    info.overlap_shift_value[1] = kHostShift;

    const int bound = 32 / cellWidth;  // accepted, so cellWidth >= 1
    for (int frame = 0; frame < 3; ++frame) {
        const uint8_t mode = in.ConsumeIntegral<uint8_t>();
        // Textured, flat or noisy strips: corners to track, or none.
        if (mode & 1) {
            zfuzz::fill_bytes(in, strip.data(), strip.size(), 2048);
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
        // Arbitrary motion, or motion everywhere (strong two-sided motion
        // takes the score's fast path).
        for (auto& b : bitmaps) {
            if (mode & 0x80)
                std::fill(b.begin(), b.end(), uint8_t(0xFF));
            else
                zfuzz::fill_bytes(in, b.data(), b.size(), 256);
        }
        Zelvo_Stitch_Shift_Every_N_Frames = int(int8_t(mode)) >> 5;  // -4 .. 3
        zelvo_stitch_set_dbg_out((mode & 0x06) == 0x06 ? 1 : 0);

        DynStitcher* stitchers[1] = {s};
        zelvo_stitch_process(stitchers, &info);
        const int32_t shift = info.overlap_shift_value[1];
        FUZZ_CHECK(
            shift == kHostShift || (shift >= -bound * cellWidth && shift <= bound * cellWidth),
            "shift %d outside +-%d cells of %d pixels", shift, bound, cellWidth);

        const bool withMotion = (mode & 0x18) != 0;
        s->process(withMotion ? decoded_md_buffer[0] : nullptr,
                   withMotion ? decoded_md_buffer[1] : nullptr);
        FUZZ_CHECK(s->currMask.rows == s->maskRows && s->currMask.cols == s->maskCols,
                   "mask %d x %d", s->currMask.cols, s->currMask.rows);
        FUZZ_CHECK(s->rowCrossX.size() == size_t(s->maskRows), "rowCrossX size");
        for (const auto& h : s->blockMotionHistory) FUZZ_CHECK(h.size() == 32, "history length");
        s->copyTo_dre_fusion_map();
    }

    ++g_accepted;
    destroy_dynstitcher(&s);
    FUZZ_CHECK(s == nullptr, "handle not cleared");
    zelvo_stitch_uninit();
    return 0;
}
