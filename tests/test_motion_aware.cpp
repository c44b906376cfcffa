// The motion-aware mode on a two-camera rig whose LUTs point at the motion cell under each
// vertex: tracking keeps to the static background, the seam keeps off moving cells and the
// overlap's edges and stays put where nothing moves. (Mode off is guarded by the exact tests.)
#include "test_support.h"

namespace {

constexpr int kW = 512, kH = 240, kOverlap = 256, kCell = 4;

// Blurred noise with corners everywhere, grey levels lo..hi.
cv::Mat texture(int rows, int cols, uint64_t seed, int lo = 0, int hi = 255, double blur = 6.0) {
    cv::Mat t(rows, cols, CV_8UC1);
    cv::RNG(seed).fill(t, cv::RNG::UNIFORM, 0, 256);
    cv::GaussianBlur(t, t, cv::Size(0, 0), blur);  // smooth at the 4-pixel cells
    cv::normalize(t, t, lo, hi, cv::NORM_MINMAX);
    return t;
}

// One overlap between two cameras (mask blocks off, as the mode is meant to run).
struct TwoCameras : zt::RigHost {
    explicit TwoCameras(bool motionAware) : RigHost({2, kW, kH, kOverlap, 33, false}) {
        zelvo_stitch_set_motion_aware(motionAware);
        Zelvo_Stitch_Shift_Every_N_Frames = 0;
        setup(0);
    }
    int shift() const { return info.overlap_shift_value[1]; }
    const DynStitcher& stitcher() const { return *stitchers[0]; }

    // One frame: the overlap columns of both cameras, the right one moved left by the written
    // shift as the host applies it; the moving 16 x 16 blocks (given in overlap pixels) of the
    // cameras in the bit mask `cams`; a frame call and the seam update.
    void frame(const cv::Mat& left, const cv::Mat& right, const std::vector<cv::Rect>& moving,
               int cams = 3) {
        const int lx = int(zelvo_host::strip_left_x(info.strip_width, 0));
        const int rx = int(zelvo_host::strip_right_x(info.strip_width, 0));
        left.copyTo(strips().colRange(lx, lx + kOverlap));
        const cv::Mat m = (cv::Mat_<double>(2, 3) << 1, 0, -shift(), 0, 1, 0);
        cv::warpAffine(right, strips().colRange(rx, rx + kOverlap), m, right.size(),
                       cv::INTER_NEAREST, cv::BORDER_REPLICATE);
        for (int c = 0; c < 2; ++c) {
            std::fill_n(bitmap(c), zelvo_host::md_bitmap_bytes(kW, kH), uint8_t(0));
            const int x0 = c == 0 ? kW - kOverlap : 0;  // the overlap in camera c
            for (const cv::Rect& r : (cams >> c & 1) ? moving : std::vector<cv::Rect>())
                for (int y = std::max(r.y / 16, 0);
                     y <= std::min((r.y + r.height - 1) / 16, kH / 16 - 1); ++y)
                    for (int x = std::max((x0 + r.x) / 16, 0);
                         x <= std::min((x0 + r.x + r.width - 1) / 16, kW / 16 - 1); ++x)
                        zelvo_host::md_set_block(bitmap(c), kW, unsigned(x), unsigned(y), 1);
        }
        frameCall();
        seam(0);
    }
};

// A dim background displaced by bg pixels from the left camera to the right one, and a
// contrasted mover (columns 96..159 of the overlap, rows 24..215) displaced by mover pixels:
// its corners are the strongest, so they fill the 1.0 tracker's quota.
struct Scene {
    cv::Mat left, right;
    cv::Rect mover{96, 24, 64, 192};
};
Scene parallaxScene(int bg, int mover) {
    const cv::Mat world = texture(kH, kOverlap + 64, 7, 40, 215),
                  person = texture(kH, 128, 11, 0, 255, 4.0);
    Scene s;
    s.left = world(cv::Rect(32, 0, kOverlap, kH)).clone();
    s.right = world(cv::Rect(32 - bg, 0, kOverlap, kH)).clone();
    person(cv::Rect(32, 24, 64, 192)).copyTo(s.left(s.mover));
    person(cv::Rect(32 - mover, 24, 64, 192)).copyTo(s.right(s.mover));
    return s;
}

int runTracking(bool motionAware, const Scene& s, const std::vector<cv::Rect>& moving) {
    TwoCameras rig(motionAware);
    for (int f = 0; f < 30; ++f) rig.frame(s.left, s.right, moving);
    return rig.shift();
}

// The shift settles on the background, not on the mover (flagged where each camera sees it);
// with everything moving no static corner is left and every corner is tracked, as in 1.0.
TEST(MotionAware, ShiftSettlesOnTheBackgroundNotOnTheMover) {
    const Scene s = parallaxScene(8, 24);
    const std::vector<cv::Rect> moving = {cv::Rect(96, 24, 64 + 24, 192)};
    EXPECT_EQ(runTracking(true, s, moving), 8);
    EXPECT_GE(runTracking(false, s, moving), 16) << "the scene no longer tempts the 1.0 tracker";
    EXPECT_EQ(runTracking(true, parallaxScene(8, 8), {cv::Rect(-kW, 0, 3 * kW, kH)}), 8);
}

// Decoded maps wider than the stitcher's motion grid are not its maps: tracking runs as without
// motion, even where reading them with the grid's width would find the mover.
TEST(MotionAware, MapsOfAnotherWidthAreIgnored) {
    const Scene s = parallaxScene(8, 24);
    auto run = [&](bool sheared) {
        TwoCameras rig(true);
        const unsigned wide = kW + 16;  // 33 blocks a row, the grid 32
        std::vector<uint8_t> maps[2];
        for (int c = 0; c < 2; ++c) {
            maps[c].assign(zelvo_host::md_bitmap_bytes(wide, kH), 0);
            rig.info.md_addr[c] = uint64_t(uintptr_t(maps[c].data()));
            for (int y = 1; sheared && y <= 13; ++y)  // the mover's blocks, read 32 a row
                for (int x = (c ? 6 : 22); x <= (c ? 11 : 27); ++x)
                    zelvo_host::md_set_block(maps[c].data(), wide, unsigned(y * 32 + x) % 33,
                                             unsigned(y * 32 + x) / 33, 1);
        }
        rig.info.md_width = wide;
        for (int f = 0; f < 30; ++f) rig.frame(s.left, s.right, {});
        return rig.shift();
    };
    EXPECT_EQ(run(true), run(false));
}

// The fusion map's first cell column wholly the left camera's, its last wholly the right
// camera's: no weight step at the overlap's edges.
void expectNoEdgeStep(TwoCameras& rig) {
    const cv::Mat f(kH, kOverlap, CV_8UC1, rig.fusion[0].data());
    EXPECT_EQ(cv::countNonZero(f.colRange(0, kCell) != 255), 0);
    EXPECT_EQ(cv::countNonZero(f.colRange(kOverlap - kCell, kOverlap)), 0);
}

TEST(MotionAware, SeamKeepsOffAMovingBlockItWouldOtherwiseCross) {
    // The strips agree only in a corridor of columns 48..79, top to bottom, where 1.0's flood
    // puts the seam; a mover stands in the corridor.
    const cv::Mat left = texture(kH, kOverlap, 3);
    cv::Mat right = texture(kH, kOverlap, 4);
    left(cv::Rect(48, 0, 32, kH)).copyTo(right(cv::Rect(48, 0, 32, kH)));
    const cv::Rect mover(48, 64, 32, 96), cells(12, 16, 8, 24);  // in pixels and in cells
    for (int cams : {1, 2}) {                                    // one camera seeing it is enough
        TwoCameras rig(true);
        rig.frame(left, right, {mover}, cams);
        for (int r = cells.y; r < cells.y + cells.height; ++r) {  // the seam: between h and h + 1
            const int h = rig.stitcher().rowCrossX[size_t(r)];
            EXPECT_TRUE(h < cells.x || h >= cells.x + cells.width - 1) << r << ": " << h << cams;
        }
        expectNoEdgeStep(rig);
    }
}

// Sensor noise of a few grey levels changes the flood's costs every frame: the seam stays put.
TEST(MotionAware, SeamStaysPutInAStillSceneWithNoise) {
    const cv::Mat left = texture(kH, kOverlap, 5);
    TwoCameras rig(true);
    std::vector<int> first;
    for (int f = 0; f < 12; ++f) {
        cv::Mat noise(kH, kOverlap, CV_8UC1), right;
        cv::RNG(uint64_t(f) + 100).fill(noise, cv::RNG::UNIFORM, 0, 6);
        cv::add(left, noise, right);
        rig.frame(left, right, {});
        if (f == 0) first = rig.stitcher().rowCrossX;
        ASSERT_EQ(rig.stitcher().rowCrossX, first) << "the seam moved at frame " << f;
        expectNoEdgeStep(rig);
    }
}

}  // namespace
