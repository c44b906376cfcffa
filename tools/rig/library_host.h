// The library started and stopped as a device host does: zelvo_stitch_init
// with the rig's switches, one set-up stitcher per overlap writing into the
// host's fusion-map buffer, and the frame record's fixed fields. Used by the
// simulated rig and by the benchmarks' rigs.
#ifndef ZELVO_SIM_LIBRARY_HOST_H
#define ZELVO_SIM_LIBRARY_HOST_H

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

#include "rig/rig_config.h"
#include "zelvo_stitch.h"

namespace zsim {

// The seam path's block scoring (create_dynstitcher): a small change of a
// block's left share raises its score, a large one lowers it, within
// [minScore, maxScore], over `history` frames. The scores feed nothing the
// host reads.
struct BlockScoring {
    float maxScore = 100.0f, minScore = -100.0f;
    std::vector<float> levels{0.02f, 0.05f, 0.15f}, incs{1.0f, 0.0f, -1.0f};
    int history = 30;
};

// The library and its stitchers, for as long as this object lives (one at a
// time per process: the library's state is process-wide).
class Stitchers {
public:
    // Prints with cfg.dbg (>= 0), zelvo_stitch_init with the rig's switches
    // and mode, then stitcher i over luts[i] and luts[i + 1] (camWidth x
    // height images, LUTs of lutGrid x lutGrid) set up to write fusion[i]
    // (zelvo_host::fusion_map_bytes(height, overlap) bytes each); the
    // tracking period last. On failure nothing of the library is left behind.
    // The LUTs and buffers must outlive this object.
    Stitchers(const RigConfig& cfg, int height, std::vector<std::vector<uint32_t>>& luts,
              std::vector<std::vector<uint8_t>>& fusion, const BlockScoring& scoring = {});
    // Destroys the stitchers and uninitialises the library.
    ~Stitchers();
    Stitchers(const Stitchers&) = delete;
    Stitchers& operator=(const Stitchers&) = delete;

    const std::vector<DynStitcher*>& list() const { return list_; }
    DynStitcher** data() { return list_.data(); }

private:
    void release();
    BlockScoring scoring_;  // outlives the stitchers created with it
    std::vector<DynStitcher*> list_;
};

// The fixed fields of a rig's frame record: the cameras, the strips of every
// overlap in `strip` (zelvo_host strip offsets) and the motion-map size; the
// host sets the motion bitmaps' addresses every frame.
void fillRecord(const RigConfig& cfg, int height, const cv::Mat& strip, ZELVO_STITCH_INFO& info);

}  // namespace zsim

#endif
