// The smallest host of libzelvo_stitch: two camera images of one size whose
// last / first `overlap` columns see the same part of the scene, one frame
// through both paths. Prints the shift the library asks for and writes the
// overlap's fusion map (255 = left image, 0 = right image).
//
//   two_images LEFT RIGHT [OVERLAP_PX] [FUSION_MAP.png]
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include <zelvo_stitch.h>
#include <zelvo_stitch_host.h>  // the buffer formats: LUT words, bitmap rows, strip offsets

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s LEFT RIGHT [OVERLAP_PX] [FUSION_MAP.png]\n", argv[0]);
        return 2;
    }
    const cv::Mat left = cv::imread(argv[1], cv::IMREAD_GRAYSCALE);
    const cv::Mat right = cv::imread(argv[2], cv::IMREAD_GRAYSCALE);
    if (left.empty() || right.empty() || left.size() != right.size()) {
        std::fprintf(stderr, "two_images: need two readable images of one size\n");
        return 2;
    }
    const int w = left.cols, h = left.rows;
    const int overlap = argc > 3 ? std::atoi(argv[3]) : w / 2;  // an even number of 4 px cells
    const int cell = 4, grid = 9;

    // Motion map: one bit per 16 x 16 block. Nothing moves in a single frame,
    // so the bitmaps stay zero.
    const int mdCols = int(zelvo_host::md_blocks(w)), mdRows = int(zelvo_host::md_blocks(h));
    std::vector<uint8_t> motion(zelvo_host::md_bitmap_bytes(w, h), 0);

    // LUTs (grid x grid vertices): each vertex names the motion block under it.
    std::vector<uint32_t> lut(size_t(grid) * grid);
    for (int r = 0; r < grid; ++r)
        for (int c = 0; c < grid; ++c) {
            const int bx = std::min(c * w / (grid - 1) / zelvo_host::kMotionBlockPx, mdCols - 1);
            const int by = std::min(r * h / (grid - 1) / zelvo_host::kMotionBlockPx, mdRows - 1);
            lut[size_t(r) * grid + c] = zelvo_host::lut_word(by, bx);
        }

    // Strip buffer: the left image's last columns, then the right image's first.
    const uint32_t stripWidth[1] = {uint32_t(overlap)};
    cv::Mat strips(h, int(zelvo_host::strip_buffer_width(stripWidth, 1)), CV_8UC1);
    const int lx = int(zelvo_host::strip_left_x(stripWidth, 0));
    const int rx = int(zelvo_host::strip_right_x(stripWidth, 0));
    left.colRange(w - overlap, w).copyTo(strips.colRange(lx, lx + overlap));
    right.colRange(0, overlap).copyTo(strips.colRange(rx, rx + overlap));

    zelvo_stitch_set_dbg_out(0);
    zelvo_stitch_init(grid, 1, 0, /*enableResetMask=*/0, /*useMaskBlocks=*/0,
                      /*useWeightedMotionBitHist=*/1);
    float levels[] = {0.05f}, incs[] = {0.0f};
    DynStitcher* stitcher =
        create_dynstitcher(0, 0, w, h, overlap, 1, 100.0f, -100.0f, 0.0f, 1, levels, incs, 1, 30,
                           grid, grid, lut.data(), lut.data(), 0, mdCols, mdRows, cell, cell);
    std::vector<uint8_t> fusion(zelvo_host::fusion_map_bytes(h, overlap));
    setup_dynstitcher(stitcher, 0, (unsigned long)(uintptr_t)fusion.data());

    ZELVO_STITCH_INFO info{};
    info.img_num = 2;
    info.strip_buf_addr = uint64_t(uintptr_t(strips.data));
    info.strip_buf_width = uint32_t(strips.cols);
    info.strip_width[0] = uint32_t(overlap);
    info.strip_height[0] = uint32_t(h);
    info.md_width = uint32_t(w);
    info.md_height = uint32_t(h);
    info.md_addr[0] = info.md_addr[1] = uint64_t(uintptr_t(motion.data()));

    zelvo_stitch_process(&stitcher, &info);                         // shift path (frame 0 tracks)
    stitcher->process(decoded_md_buffer[0], decoded_md_buffer[1]);  // seam path
    stitcher->copyTo_dre_fusion_map();

    std::printf("shift of the right image: %d px\n", info.overlap_shift_value[1]);
    if (argc > 4) cv::imwrite(argv[4], cv::Mat(h, overlap, CV_8UC1, fusion.data()));
    destroy_dynstitcher(&stitcher);
    zelvo_stitch_uninit();
    return 0;
}
