// The library started and stopped as a device host does; see library_host.h.
#include "rig/library_host.h"

#include "zelvo_stitch_host.h"

namespace zsim {

Stitchers::Stitchers(const RigConfig& cfg, int height, std::vector<std::vector<uint32_t>>& luts,
                     std::vector<std::vector<uint8_t>>& fusion, const BlockScoring& scoring)
    : scoring_(scoring) {
    const unsigned mdW = zelvo_host::md_blocks(unsigned(cfg.camWidth));
    const unsigned mdH = zelvo_host::md_blocks(unsigned(height));
    if (cfg.dbg >= 0) zelvo_stitch_set_dbg_out(cfg.dbg);
    zelvo_stitch_init(cfg.lutGrid, cfg.blocks, 0, cfg.resetMask, cfg.maskBlocks,
                      cfg.weightedHistory);
    zelvo_stitch_set_motion_aware(cfg.motionAware);
    try {
        for (int i = 0; i + 1 < cfg.cameras; ++i) {
            list_.push_back(nullptr);
            list_.back() = create_dynstitcher(
                0, 0, cfg.camWidth, height, cfg.overlap, cfg.blocks, scoring_.maxScore,
                scoring_.minScore, 0.0f, int(scoring_.levels.size()), scoring_.levels.data(),
                scoring_.incs.data(), 1, scoring_.history, cfg.lutGrid, cfg.lutGrid,
                luts[size_t(i)].data(), luts[size_t(i + 1)].data(), i, mdW, mdH, cfg.cellW,
                cfg.cellH);
            setup_dynstitcher(list_.back(), 0, (unsigned long)(uintptr_t)fusion[size_t(i)].data());
        }
    } catch (...) {
        release();
        throw;
    }
    Zelvo_Stitch_Shift_Every_N_Frames = cfg.period;
}

Stitchers::~Stitchers() { release(); }

void Stitchers::release() {
    for (auto& s : list_) destroy_dynstitcher(&s);
    list_.clear();
    zelvo_stitch_uninit();
}

void fillRecord(const RigConfig& cfg, int height, const cv::Mat& strip, ZELVO_STITCH_INFO& info) {
    const int overlaps = cfg.cameras - 1;
    info.img_num = uint32_t(cfg.cameras);
    for (int i = 0; i < overlaps; ++i) {
        info.strip_width[i] = uint32_t(cfg.overlap);
        info.strip_height[i] = uint32_t(height);
    }
    info.strip_buf_addr = uint64_t(uintptr_t(strip.data));
    info.strip_buf_width = zelvo_host::strip_buffer_width(info.strip_width, unsigned(overlaps));
    info.md_width = uint32_t(cfg.camWidth);
    info.md_height = uint32_t(height);
}

}  // namespace zsim
