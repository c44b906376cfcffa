#include "test_support.h"

namespace zt {

std::string sample_frame_path(int index) {
    char name[32];
    snprintf(name, sizeof name, "/vtest/frame_%03d.jpg", index);
    return std::string(ZELVO_SAMPLES_DIR) + name;
}

cv::Mat sample_gray(int index) {
    cv::Mat img = cv::imread(sample_frame_path(index), cv::IMREAD_GRAYSCALE);
    EXPECT_FALSE(img.empty()) << "missing sample " << sample_frame_path(index);
    return img;
}

std::unique_ptr<DynStitcher> quiet_stitcher(int cellWidth, int overlapId) {
    StdoutCapture quiet;
    return std::unique_ptr<DynStitcher>(new DynStitcher(0, 0, 640, 480, 320, 1, 100.0f, 0.0f, 0.0f,
                                                        0, nullptr, nullptr, 1, 10, 9, 9, nullptr,
                                                        nullptr, overlapId, 40, 30, cellWidth, 4));
}

namespace {
constexpr int kFootage = 25;
constexpr int kMisalign[RigHost::kOverlaps] = {-6, 4, 8, -3};  // pixels, right strip vs left

// Synthetic footage (no image decoding, so the thread test sees no codec library): blurred
// noise, corners everywhere, scrolling 3 pixels a frame over kFootage frames.
const cv::Mat& footage() {
    static const cv::Mat base = [] {
        cv::Mat m(RigGeometry().height, 768 + 3 * kFootage, CV_8UC1);
        cv::RNG(12345).fill(m, cv::RNG::UNIFORM, 0, 256);
        cv::GaussianBlur(m, m, cv::Size(0, 0), 2.0);
        cv::normalize(m, m, 0, 255, cv::NORM_MINMAX);
        return m;
    }();
    return base;
}
}  // namespace

RigHost::RigHost(const RigGeometry& geometry)
    : g(geometry),
      stitchers(size_t(g.cameras - 1)),
      fusion(size_t(g.cameras - 1)),
      bitmaps_(size_t(g.cameras)) {
    footage();
    for (int r = 0; r < g.lutGrid; ++r)
        for (int c = 0; c < g.lutGrid; ++c)
            lut_.push_back(
                zelvo_host::lut_word(std::min(r * g.height / (g.lutGrid - 1), g.height - 1) / 16,
                                     std::min(c * g.width / (g.lutGrid - 1), g.width - 1) / 16));
    zelvo_stitch_set_dbg_out(0);
    zelvo_stitch_init(g.lutGrid, 4, 0, 0, g.maskBlocks, 1);
    info.img_num = unsigned(g.cameras), info.md_width = unsigned(g.width),
    info.md_height = unsigned(g.height);
    for (int i = 0; i + 1 < g.cameras; ++i)
        info.strip_width[i] = unsigned(g.overlap), info.strip_height[i] = unsigned(g.height);
    info.strip_buf_width =
        zelvo_host::strip_buffer_width(info.strip_width, unsigned(g.cameras - 1));
    strip_.assign(size_t(g.height) * info.strip_buf_width, 0);
    info.strip_buf_addr = uint64_t(uintptr_t(strip_.data()));
    for (int c = 0; c < g.cameras; ++c) {
        bitmaps_[size_t(c)].assign(zelvo_host::md_bitmap_bytes(g.width, g.height), 0);
        info.md_addr[c] = uint64_t(uintptr_t(bitmap(c)));
    }
    for (int i = 0; i + 1 < g.cameras; ++i) {
        fusion[size_t(i)].assign(zelvo_host::fusion_map_bytes(g.height, g.overlap), 0);
        create(i);
    }
}

RigHost::~RigHost() {
    for (DynStitcher*& s : stitchers) destroy_dynstitcher(&s);
    zelvo_stitch_uninit();
    zelvo_stitch_set_motion_aware(0);
}

void RigHost::create(int i) {
    static float thresholds[] = {0.02f, 0.1f}, incs[] = {1.0f, -1.0f};
    destroy_dynstitcher(&stitchers[size_t(i)]);
    StdoutCapture quiet;
    stitchers[size_t(i)] =
        create_dynstitcher(0, 0, g.width, g.height, g.overlap, 4, 50.0f, -50.0f, 0.0f, 2,
                           thresholds, incs, 1, 30, g.lutGrid, g.lutGrid, lut_.data(), lut_.data(),
                           i, unsigned(g.width / 16), unsigned(g.height / 16), 4, 4);
}

void RigHost::setup(int i) {
    setup_dynstitcher(stitchers[size_t(i)], 0, (unsigned long)(uintptr_t)fusion[size_t(i)].data());
}

void RigHost::fill(int frame) {  // for the default geometry
    const cv::Mat f = footage().colRange(3 * (frame % kFootage), footage().cols);
    for (unsigned i = 0; i < kOverlaps; ++i)
        for (int side = 0; side < 2; ++side)  // the left strip, then the misaligned right one
            f(cv::Rect(60 + 170 * int(i) + side * kMisalign[i], 0, g.overlap, g.height))
                .copyTo(strips()(cv::Rect(int(side ? zelvo_host::strip_right_x(info.strip_width, i)
                                                   : zelvo_host::strip_left_x(info.strip_width, i)),
                                          0, g.overlap, g.height)));
    // About one block in four moving, different per frame and camera.
    cv::RNG rng(uint64_t(frame) * 977 + 1);
    for (auto& bitmap : bitmaps_)
        for (uint8_t& b : bitmap) b = uint8_t(rng.next() & rng.next());
}

void RigHost::frameCall() { zelvo_stitch_process(stitchers.data(), &info); }

void RigHost::seam(int i) {
    stitchers[size_t(i)]->process(motionMap(i), motionMap(i + 1));
    stitchers[size_t(i)]->copyTo_dre_fusion_map();
}

}  // namespace zt
