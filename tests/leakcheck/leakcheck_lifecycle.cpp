// Lifecycle cycles for the leak check: every cycle initialises the library,
// creates and sets up the stitcher of a tiny two-camera rig (plus one whose
// set-up is refused), runs five frames of both paths (frame call, then per
// overlap process and the fusion-map copy), destroys everything and
// uninitialises. Run under valgrind memcheck by scripts/leakcheck.sh: any byte
// definitely or indirectly lost, or any invalid access, fails the run.
//
// Usage: leakcheck_lifecycle [cycles (default 1000)] [frames per cycle (5)]
// Standard output (the stitchers' constructor lines) goes to /dev/null unless
// ZELVO_LEAKCHECK_VERBOSE is set; the summary line goes to standard error.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "zelvo_stitch.h"

namespace {

// Tiny rig: 2 cameras of 64 x 48 pixels, 32-pixel overlaps, 2 x 2-pixel mask
// cells (16 x 24 cells per overlap) in 3 mask blocks, a 9 x 9 LUT grid.
constexpr int kCams = 2, kW = 64, kH = 48, kOverlap = 32, kCell = 2, kBlocks = 3, kGrid = 9;
constexpr int kMdCols = (kW + 15) / 16, kMdRows = (kH + 15) / 16;
constexpr int kMdRowBytes = ((kW + 511) / 512) * 4;

void fail(const char* what) {
    fprintf(stderr, "leakcheck: %s\n", what);
    exit(2);
}

// LUT of a camera: vertex (c, r) points at the motion cell under it.
std::vector<uint32_t> make_lut() {
    std::vector<uint32_t> lut(size_t(kGrid) * kGrid);
    for (int r = 0; r < kGrid; ++r)
        for (int c = 0; c < kGrid; ++c) {
            const int x = std::min(c * kW / (kGrid - 1) / 16, kMdCols - 1);
            const int y = std::min(r * kH / (kGrid - 1) / 16, kMdRows - 1);
            lut[size_t(r) * kGrid + c] = (uint32_t(y) << 22) | (uint32_t(x) << 6);
        }
    return lut;
}

// Strip buffer of frame f: a checkerboard with texture, the right strip of
// every overlap moved by a few pixels, so the tracker finds, tracks and
// clusters corners.
void fill_strips(std::vector<uint8_t>& buf, int width, int f) {
    for (int r = 0; r < kH; ++r)
        for (int c = 0; c < width; ++c) {
            const int inStrip = c % (2 * kOverlap);
            const int x = inStrip < kOverlap ? inStrip : inStrip - kOverlap + 3 + (f & 1);
            buf[size_t(r) * width + c] =
                uint8_t(((x / 4 + r / 4 + f) & 1) * 160 + (x * 7 + r * 3) % 40);
        }
}

void cycle(int frames, int cycleNo, const std::vector<uint32_t>& lut) {
    float thresholds[3] = {0.02f, 0.05f, 0.1f};
    float incs[3] = {1.0f, 0.0f, -1.0f};

    // Alternate the library switches so both seam variants and the random
    // reset run.
    zelvo_stitch_init(kGrid, kBlocks, 0, cycleNo & 1, (cycleNo >> 1) & 1, 1);
    zelvo_stitch_set_dbg_out(getenv("ZELVO_LEAKCHECK_VERBOSE") != nullptr ? 1 : 0);
    Zelvo_Stitch_Shift_Every_N_Frames = 0;  // every frame tracks

    std::vector<std::vector<uint8_t>> fusion(kCams - 1,
                                             std::vector<uint8_t>(size_t(kH) * kOverlap));
    std::vector<DynStitcher*> stitchers;
    for (int i = 0; i < kCams - 1; ++i) {
        DynStitcher* s = create_dynstitcher(
            0, 0, kW, kH, kOverlap, kBlocks, 100.0f, -100.0f, 0.0f, 3, thresholds, incs, 1, 0,
            kGrid, kGrid, const_cast<uint32_t*>(lut.data()), const_cast<uint32_t*>(lut.data()), i,
            kMdCols, kMdRows, kCell, kCell);
        setup_dynstitcher(s, 0, (unsigned long)(uintptr_t)fusion[size_t(i)].data());
        stitchers.push_back(s);
    }

    // A set-up that is refused (no mask rows) must not leak either.
    DynStitcher* refused =
        create_dynstitcher(0, 0, kW, 1, kOverlap, kBlocks, 1.0f, 0.0f, 0.0f, 0, nullptr, nullptr, 1,
                           0, kGrid, kGrid, const_cast<uint32_t*>(lut.data()),
                           const_cast<uint32_t*>(lut.data()), 9, kMdCols, kMdRows, kCell, kCell);
    try {
        setup_dynstitcher(refused, 0, (unsigned long)(uintptr_t)fusion[0].data());
        fail("a set-up without mask rows was accepted");
    } catch (const std::invalid_argument&) {
    }
    destroy_dynstitcher(&refused);

    const int bufWidth = 2 * kOverlap * (kCams - 1);
    std::vector<uint8_t> strips(size_t(bufWidth) * kH);
    std::vector<std::vector<uint8_t>> bitmaps(kCams,
                                              std::vector<uint8_t>(size_t(kMdRows) * kMdRowBytes));
    _ZELVO_STITCH_INFO info;
    std::memset(&info, 0, sizeof info);
    info.img_num = kCams;
    info.strip_buf_addr = (uint64_t)(uintptr_t)strips.data();
    info.strip_buf_width = uint32_t(bufWidth);
    for (int i = 0; i < kCams - 1; ++i) {
        info.strip_width[i] = kOverlap;
        info.strip_height[i] = kH;
    }
    info.md_width = kW;
    info.md_height = kH;
    for (int k = 0; k < kCams; ++k)
        info.md_addr[k] = (uint64_t)(uintptr_t)bitmaps[size_t(k)].data();

    for (int f = 0; f < frames; ++f) {
        fill_strips(strips, bufWidth, f);
        for (int k = 0; k < kCams; ++k)
            for (size_t b = 0; b < bitmaps[size_t(k)].size(); ++b)
                bitmaps[size_t(k)][b] = uint8_t((f & 1) ? 0xFF : (k + int(b)) % 3);
        zelvo_stitch_process(stitchers.data(), &info);
        for (int i = 0; i < kCams - 1; ++i) {
            stitchers[size_t(i)]->process(decoded_md_buffer[i], decoded_md_buffer[i + 1]);
            stitchers[size_t(i)]->copyTo_dre_fusion_map();
        }
    }

    for (DynStitcher*& s : stitchers) destroy_dynstitcher(&s);
    zelvo_stitch_uninit();
    if (decoded_md_buffer != nullptr || num_decoded_md_buffer != 0) fail("maps survive uninit");
}

}  // namespace

int main(int argc, char** argv) {
    const int cycles = argc > 1 ? atoi(argv[1]) : 1000;
    const int frames = argc > 2 ? atoi(argv[2]) : 5;
    if (cycles < 1 || frames < 1) fail("usage: leakcheck_lifecycle [cycles] [frames]");

    // ZELVO_LEAKCHECK_VERBOSE keeps standard output and turns the library's
    // diagnostics on, to see what the cycles exercise.
    if (getenv("ZELVO_LEAKCHECK_VERBOSE") == nullptr) {
        fflush(stdout);
        const int devnull = open("/dev/null", O_WRONLY);
        if (devnull >= 0) {
            dup2(devnull, 1);
            close(devnull);
        }
    }

    const std::vector<uint32_t> lut = make_lut();
    for (int c = 0; c < cycles; ++c) cycle(frames, c, lut);
    fprintf(stderr,
            "leakcheck: %d cycles of init, create, setup, %d frames of both paths, "
            "destroy, uninit done\n",
            cycles, frames);
    return 0;
}
