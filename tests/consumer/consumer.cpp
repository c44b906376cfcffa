// A minimal host of the installed library: one overlap between two 320x240
// camera images, driven through one frame of the shift path (the C entry
// points) and the seam path (the exported DynStitcher methods). Built twice
// by run_consumer_test.sh, once through the CMake package and once through
// pkg-config; exits non-zero when anything is off.
#include <zelvo_stitch.h>

#include <cstdint>
#include <cstdio>
#include <exception>
#include <vector>

namespace {

constexpr int kImages = 2;
constexpr int kImgW = 320, kImgH = 240, kOverlapW = 64;
constexpr int kCellW = 2, kCellH = 2;  // mask grid 32 x 120
constexpr int kBlocks = 3;
constexpr int kLutGrid = 9, kLutStride = 11;  // stride wider than the grid on purpose
constexpr int kMdCols = (kImgW + 15) / 16, kMdRows = (kImgH + 15) / 16;  // 20 x 15
constexpr int kMdRowBytes = (kImgW + 511) / 512 * 4;

int failures = 0;

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "consumer: FAILED: %s\n", what);
        ++failures;
    }
}

// Grey level of the textured scene at full-resolution column x, row y:
// 8x8 squares of pseudo-random levels, so the tracker finds corners.
uint8_t scene(int x, int y) {
    uint32_t h =
        static_cast<uint32_t>(x / 8) * 73856093u ^ static_cast<uint32_t>(y / 8) * 19349663u;
    h ^= h >> 13;
    h *= 0x5bd1e995u;
    h ^= h >> 15;
    return static_cast<uint8_t>(32 + h % 192);
}

// LUT word whose anchor is motion-map cell (x, y): x in bits 6-15, y in 22-31.
uint32_t lut_word(int x, int y) {
    return (static_cast<uint32_t>(y) << 22) | (static_cast<uint32_t>(x) << 6);
}

}  // namespace

int main() {
    try {
        check(ZELVO_STITCH_VERSION_MAJOR == 1, "header major version");

        zelvo_stitch_set_dbg_out(0);  // before init, which hands it to the stitchers
        zelvo_stitch_init(kLutGrid, kBlocks, 0, /*enableResetMask=*/0, /*useMaskBlocks=*/1,
                          /*useWeightedMotionBitHist=*/1);
        Zelvo_Stitch_Shift_Every_N_Frames = 1;  // every frame tracks

        // Each vertex points at the motion-map cell under it.
        std::vector<uint32_t> lutL(kLutGrid * kLutStride), lutR(kLutGrid * kLutStride);
        for (int r = 0; r < kLutGrid; ++r) {
            for (int c = 0; c < kLutGrid; ++c) {
                int mx = c * kImgW / (kLutGrid - 1) / 16, my = r * kImgH / (kLutGrid - 1) / 16;
                if (mx >= kMdCols) mx = kMdCols - 1;
                if (my >= kMdRows) my = kMdRows - 1;
                lutL[r * kLutStride + c] = lut_word(mx, my);
                lutR[r * kLutStride + c] = lut_word(mx, my);
            }
        }
        float thresholds[2] = {0.05f, 0.15f};
        float increments[2] = {1.0f, 2.0f};
        DynStitcher* stitcher =
            create_dynstitcher(0, 0, kImgW, kImgH, kOverlapW, kBlocks, 10.0f, 0.0f, 0.0f, 2,
                               thresholds, increments, 1, 1000, kLutGrid, kLutStride, lutL.data(),
                               lutR.data(), 0, kMdCols, kMdRows, kCellW, kCellH);
        check(stitcher != nullptr, "create_dynstitcher returns a stitcher");
        if (!stitcher) return 1;

        std::vector<uint8_t> fusion(static_cast<size_t>(kImgH) * kOverlapW, 77);
        check(setup_dynstitcher(stitcher, 0, reinterpret_cast<unsigned long>(fusion.data())) == 0,
              "setup_dynstitcher returns 0");

        // Strip buffer: the left image's last 64 columns, then the right
        // image's first 64, which see the same scene 4 pixels further on.
        constexpr int kStripW = kOverlapW, kBufW = 2 * kStripW;
        std::vector<uint8_t> strips(static_cast<size_t>(kBufW) * kImgH);
        for (int y = 0; y < kImgH; ++y) {
            uint8_t* row = strips.data() + static_cast<size_t>(y) * kBufW;
            for (int x = 0; x < kStripW; ++x) {
                row[x] = scene(x, y);
                row[kStripW + x] = scene(x + 4, y);
            }
        }
        // Motion bitmaps: a different bit pattern per image and row.
        std::vector<uint8_t> md[kImages];
        for (int k = 0; k < kImages; ++k) {
            md[k].assign(static_cast<size_t>(kMdRowBytes) * kMdRows, 0);
            for (int r = 0; r < kMdRows; ++r)
                for (int b = 0; b < kMdRowBytes; ++b)
                    md[k][r * kMdRowBytes + b] =
                        static_cast<uint8_t>(0x5A ^ (r * 7 + b * 3 + k * 0x81));
        }

        ZELVO_STITCH_INFO record = {};
        ZELVO_STITCH_INFO* info = &record;
        info->img_num = kImages;
        info->strip_buf_addr = reinterpret_cast<uint64_t>(strips.data());
        info->strip_buf_width = kBufW;
        info->strip_width[0] = kStripW;
        info->strip_height[0] = kImgH;
        info->md_width = kImgW;
        info->md_height = kImgH;
        for (int k = 0; k < kImages; ++k)
            info->md_addr[k] = reinterpret_cast<uint64_t>(md[k].data());

        DynStitcher* stitchers[kImages - 1] = {stitcher};
        check(zelvo_stitch_process(stitchers, info) == 0, "zelvo_stitch_process returns 0");

        const int shift = info->overlap_shift_value[1];
        check(shift % kCellW == 0 && shift >= -32 && shift <= 32,
              "shift is whole mask cells within +-32 pixels");

        // The decoded motion maps are exported data: one byte per block.
        check(num_decoded_md_buffer == kImages && decoded_md_buffer != nullptr,
              "decoded motion maps exported");
        bool decoded_ok = decoded_md_buffer != nullptr;
        for (int k = 0; decoded_ok && k < kImages; ++k)
            for (int r = 0; r < kMdRows; ++r)
                for (int x = 0; x < kMdCols; ++x) {
                    const int bit = (md[k][r * kMdRowBytes + x / 8] >> (x % 8)) & 1;
                    decoded_ok = decoded_ok && decoded_md_buffer[k][r * kMdCols + x] == bit;
                }
        check(decoded_ok, "decoded motion maps match the bitmaps");

        // Seam path on the same frame: the host calls the stitcher directly.
        stitcher->process(decoded_md_buffer[0], decoded_md_buffer[1]);
        stitcher->copyTo_dre_fusion_map();
        check(stitcher->getMaskCrossX().size() == static_cast<size_t>(kImgH / kCellH),
              "one seam column per mask row");
        bool fusion_ok = true, fusion_written = false;
        for (int y = 0; y < kImgH; ++y) {
            const uint8_t* row = fusion.data() + static_cast<size_t>(y) * kOverlapW;
            fusion_ok = fusion_ok && row[0] >= row[kOverlapW - 1];
            for (int x = 0; x < kOverlapW; ++x) fusion_written = fusion_written || row[x] != 77;
        }
        check(fusion_written, "fusion map written into the host buffer");
        check(fusion_ok, "fusion map weights the left image on the left");

        destroy_dynstitcher(&stitcher);
        check(stitcher == nullptr, "destroy_dynstitcher clears the handle");
        check(zelvo_stitch_uninit() == 0, "zelvo_stitch_uninit returns 0");
        check(decoded_md_buffer == nullptr && num_decoded_md_buffer == 0,
              "uninit releases the decoded maps");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "consumer: FAILED: exception: %s\n", e.what());
        return 2;
    }
    if (failures) return 1;
    std::printf("consumer: one frame through libzelvo_stitch %d.%d.%d: OK\n",
                ZELVO_STITCH_VERSION_MAJOR, ZELVO_STITCH_VERSION_MINOR, ZELVO_STITCH_VERSION_PATCH);
    return 0;
}
