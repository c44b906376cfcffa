#include "bench_rig.h"

#include <cstdio>
#include <stdexcept>
#include <utility>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "rig/host_buffers.h"
#include "rig/library_host.h"
#include "rig/render.h"
#include "zelvo_stitch_host.h"

namespace zb {

const Geometry& geometry(int g) {
    static const Geometry geos[3] = {{768, 576, 192, "768x576/192"},
                                     {1920, 1080, 320, "1920x1080/320"},
                                     {3840, 2160, 640, "3840x2160/640"}};
    return geos[g];
}

const cv::Mat& sample(int k) {
    static std::vector<cv::Mat> cache(100);
    cv::Mat& m = cache[size_t(k % 100)];
    if (m.empty()) {
        char name[64];
        std::snprintf(name, sizeof name, "/vtest/frame_%03d.jpg", k % 100);
        m = cv::imread(std::string(ZELVO_SAMPLES_DIR) + name, cv::IMREAD_GRAYSCALE);
        if (m.empty()) throw std::runtime_error(std::string("missing sample ") + name);
    }
    return m;
}

namespace {

// The simulator's motion detector on the frame difference: a block moves when
// its mean |difference| reaches this, grey levels.
constexpr int kMotionThreshold = 7;

// One motion bit per 16 x 16 block whose mean frame difference is large,
// packed as the host does.
std::vector<uint8_t> motionBits(const cv::Mat& cur, const cv::Mat& prev, int width) {
    cv::Mat blocks;
    std::vector<int> rowSums;
    std::vector<uint8_t> bits;
    zsim::blockMotion(prev, cur, kMotionThreshold, blocks, rowSums);
    zsim::packMotionBitmap(blocks, width, bits);
    return bits;
}

}  // namespace

Rig::Rig(int g, int cams_) : geo(geometry(g)), cams(cams_) {
    mdW = int(zelvo_host::md_blocks(unsigned(geo.camW)));
    mdH = int(zelvo_host::md_blocks(unsigned(geo.camH)));
    rowBytes = int(zelvo_host::md_row_bytes(unsigned(geo.camW)));
    luts.resize(size_t(cams));
    for (auto& l : luts) zsim::buildLut(geo.camW, geo.camH, kLutGrid, l);
    renderFrames();
    startStitchers();
}

// kFrames frames (after a first one that only seeds the motion bits): the
// sample frame stretched over all cameras, camera k starting at k (W - O)
// plus k parallax shifts.
void Rig::renderFrames() {
    const int W = geo.camW, H = geo.camH, O = geo.overlapW;
    const int parallax = O * 6 / 100;
    const int sceneW = cams * W - (cams - 1) * O + (cams - 1) * parallax;
    std::vector<cv::Mat> prevCams;
    for (int f = 0; f <= kFrames; ++f) {
        cv::Mat scene;
        cv::resize(sample(f * 3), scene, cv::Size(sceneW, H), 0, 0, cv::INTER_LINEAR);
        std::vector<cv::Mat> camImgs;
        for (int k = 0; k < cams; ++k)
            camImgs.push_back(scene(cv::Rect(k * (W - O) + k * parallax, 0, W, H)));
        if (f > 0) {
            cv::Mat buf;
            zsim::fillStripBuffer(camImgs, O, buf);
            stripBufs.push_back(buf);
            std::vector<std::vector<uint8_t>> frameBits;
            for (int k = 0; k < cams; ++k)
                frameBits.push_back(motionBits(camImgs[size_t(k)], prevCams[size_t(k)], W));
            bits.push_back(std::move(frameBits));
        }
        prevCams.clear();
        for (auto& c : camImgs) prevCams.push_back(c.clone());
    }
}

// The library as the simulator's host starts it (its own block scoring), one
// set-up stitcher per overlap, and the record of frame 0.
void Rig::startStitchers() {
    const int H = geo.camH, O = geo.overlapW;
    zsim::RigConfig cfg;
    cfg.cameras = cams;
    cfg.camWidth = geo.camW;
    cfg.overlap = O;
    cfg.cellW = cfg.cellH = kCell;
    cfg.blocks = kBlocks;
    cfg.lutGrid = kLutGrid;
    cfg.period = 0;  // tracking on every frame call
    cfg.maskBlocks = true;
    cfg.dbg = 0;
    zsim::BlockScoring scoring;
    scoring.maxScore = 10.0f;
    scoring.minScore = -10.0f;
    scoring.levels = {0.02f, 0.05f, 0.1f};
    scoring.incs = {0.5f, 0.0f, -0.5f};
    scoring.history = 1000;
    fusion.assign(size_t(cams - 1), std::vector<uint8_t>(zelvo_host::fusion_map_bytes(H, O), 0));
    library = std::make_unique<zsim::Stitchers>(cfg, H, luts, fusion, scoring);
    st = library->list();
    // The library prints its switch lines; keep them ahead of the report.
    std::fflush(stdout);
    zsim::fillRecord(cfg, H, stripBufs[0], info);
    selectFrame(0);
}

Rig::~Rig() = default;

void Rig::selectFrame(int k) {
    k %= kFrames;
    info.strip_buf_addr = reinterpret_cast<uint64_t>(stripBufs[size_t(k)].data);
    for (int c = 0; c < cams; ++c)
        info.md_addr[c] = reinterpret_cast<uint64_t>(bits[size_t(k)][size_t(c)].data());
}

Rig& rigFor(int g, int cams) {
    static std::unique_ptr<Rig> live;
    static int liveG = -1, liveCams = -1;
    if (!live || liveG != g || liveCams != cams) {
        live.reset();
        live.reset(new Rig(g, cams));
        liveG = g;
        liveCams = cams;
    }
    return *live;
}

GridStrips gridFromStrips(const cv::Mat& leftStrip, const cv::Mat& rightStrip) {
    GridStrips g;
    const cv::Size grid(leftStrip.cols / kCell, leftStrip.rows / kCell);
    cv::resize(leftStrip, g.left, grid, 0, 0, cv::INTER_NEAREST);
    cv::resize(rightStrip, g.right, grid, 0, 0, cv::INTER_NEAREST);
    cv::absdiff(g.left, g.right, g.diff);
    g.diff = cv::Scalar(255) - g.diff;
    return g;
}

const char* contentName(Content c) {
    static const char* names[] = {"footage", "busy", "realistic"};
    return names[int(c)];
}

namespace {

// Overlap 0 of the simulator's default rig (3 cameras of 384 px, 192 px
// overlap on the 768 px footage, no misalignment) with its realistic
// cameras: the left camera's last 192 columns and the right camera's first,
// grey, scaled to the geometry's overlap.
std::pair<cv::Mat, cv::Mat> realisticStrips(const Geometry& geo, int k) {
    constexpr int kW = 384, kO = 192;
    static std::vector<cv::Mat> colour;
    static cv::Mat background;
    if (colour.empty()) {
        for (int f = 0; f < 100; ++f) {
            char name[64];
            std::snprintf(name, sizeof name, "/vtest/frame_%03d.jpg", f);
            colour.push_back(cv::imread(std::string(ZELVO_SAMPLES_DIR) + name, cv::IMREAD_COLOR));
            if (colour.back().empty()) throw std::runtime_error(std::string("missing ") + name);
        }
        background = zsim::medianBackground(colour);
    }
    const zsim::RenderConfig cfg = zsim::realisticRender();
    const cv::Mat& frame = colour[size_t(k % 100)];
    cv::Mat movers, scene, sceneMask;
    zsim::moverMask(frame, background, movers);
    std::pair<cv::Mat, cv::Mat> strips;
    for (int cam = 0; cam < 2; ++cam) {
        zsim::renderParallax(frame, background, movers, cam * cfg.parallaxPx, scene, sceneMask);
        cv::Mat img = scene(cv::Rect(cam * (kW - kO), 0, kW, frame.rows)).clone();
        zsim::Sensor(cfg, cam, 3, kW, frame.rows).apply(img, uint64_t(k) * 4 + uint64_t(cam));
        cv::Mat grey, strip;
        cv::cvtColor(img(cv::Rect(cam == 0 ? kW - kO : 0, 0, kO, frame.rows)), grey,
                     cv::COLOR_BGR2GRAY);
        cv::resize(grey, strip, cv::Size(geo.overlapW, geo.camH), 0, 0, cv::INTER_LINEAR);
        (cam == 0 ? strips.first : strips.second) = strip;
    }
    return strips;
}

}  // namespace

GridStrips gridStrips(Rig& rig, int k, Content content) {
    const int O = rig.geo.overlapW, H = rig.geo.camH;
    const cv::Mat& buf = rig.stripBufs[size_t(k % kFrames)];
    const cv::Mat left = buf(cv::Rect(0, 0, O, H));
    if (content == Content::Footage) return gridFromStrips(left, buf(cv::Rect(O, 0, O, H)));
    if (content == Content::Realistic) {
        const auto strips = realisticStrips(rig.geo, k);
        return gridFromStrips(strips.first, strips.second);
    }

    // x' = x + shear * y: the parallax grows down the strip.
    const double shear = 0.04 * O / H;
    const cv::Mat shift = (cv::Mat_<double>(2, 3) << 1, shear, 0, 0, 1, 0);
    cv::Mat right, noise(H, O, CV_16SC1);
    cv::warpAffine(left, right, shift, left.size(), cv::INTER_LINEAR, cv::BORDER_REFLECT);
    right.convertTo(right, CV_16SC1, 1.08);
    cv::RNG rng(uint64(1000 + k));
    rng.fill(noise, cv::RNG::NORMAL, 0, 4);
    right += noise;
    right.convertTo(right, CV_8UC1);  // saturates
    return gridFromStrips(left, right);
}

std::vector<uint8_t> decodedMap(Rig& rig, int k, int camera) {
    _ZELVO_STITCH_INFO one = rig.info;
    one.img_num = 1;
    one.md_addr[0] =
        reinterpret_cast<uint64_t>(rig.bits[size_t(k % kFrames)][size_t(camera)].data());
    zelvo_stitch_process(rig.st.data(), &one);
    return std::vector<uint8_t>(decoded_md_buffer[0],
                                decoded_md_buffer[0] + size_t(rig.mdW) * size_t(rig.mdH));
}

}  // namespace zb
