// The simulator on footage other than the bundled folder: frame order, rigs
// fitted to the width, video files, a real rig of per-camera footage, and
// bad input refused with nothing written. Inputs are made here from the
// bundled frames; whole runs go through the program itself.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "sim_input.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

const fs::path kDir = fs::path(ZELVO_SIM_TEST_DIR);

struct Result {
    int status = -1;
    std::string messages;  // standard error
};

// Whole runs need the program, which builds without sanitizers only.
#ifdef ZELVO_SIM_PROGRAM
#define REQUIRE_SIM() (void)0
#else
#define REQUIRE_SIM() GTEST_SKIP() << "zelvo-stitch-sim is not built in this configuration"
#endif

// Runs the simulator with args (one string, shell-quoted where needed).
Result runSim([[maybe_unused]] const std::string& args) {
#ifndef ZELVO_SIM_PROGRAM
    return {};
#else
    // One file per test process: CTest runs this file's tests side by side.
    const fs::path err = kDir / ("stderr-" + std::to_string(getpid()) + ".txt");
    // The seam comparison and the video are left out: these tests are about input.
    const std::string cmd = std::string(ZELVO_SIM_RUNNER) + "'" + ZELVO_SIM_PROGRAM +
                            "' --quiet --no-quality --no-video " + args + " >/dev/null 2>'" +
                            err.string() + "'";
    const int rc = std::system(cmd.c_str());
    std::ifstream f(err);
    std::stringstream ss;
    ss << f.rdbuf();
    fs::remove(err);
    return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, ss.str()};
#endif
}

// Shift column of each overlap from a shift.csv, and whether any truth is set.
std::vector<std::vector<int>> readShifts(const fs::path& csv, bool& anyTruth) {
    std::ifstream f(csv);
    std::string line;
    std::getline(f, line);
    std::vector<std::vector<int>> shifts;
    anyTruth = false;
    while (std::getline(f, line)) {
        int frame, overlap, shift;
        char truth[16] = "";
        if (std::sscanf(line.c_str(), "%d,%d,%d,%15s", &frame, &overlap, &shift, truth) < 3) break;
        if (int(shifts.size()) <= overlap) shifts.resize(overlap + 1);
        shifts[overlap].push_back(shift);
        anyTruth = anyTruth || truth[0] != '\0';
    }
    return shifts;
}

cv::Mat frame(int i) { return cv::imread(zt::sample_frame_path(i)); }

fs::path freshDir(const std::string& name) {
    fs::remove_all(kDir / name);
    fs::create_directories(kDir / name);
    return kDir / name;
}

}  // namespace

TEST(SimInput, FoldersPlayInNaturalOrderAndCountSkippedFiles) {
    EXPECT_TRUE(zsim::naturalLess("f2.png", "f10.png"));
    EXPECT_FALSE(zsim::naturalLess("f10.png", "f2.png"));
    EXPECT_TRUE(zsim::naturalLess("f002.png", "f10.png"));
    EXPECT_TRUE(zsim::naturalLess("a9_b2", "a9_b10"));
    EXPECT_FALSE(zsim::naturalLess("f1.png", "f1.png"));

    const fs::path dir = freshDir("order");
    const cv::Mat small = cv::Mat(32, 48, CV_8UC3, cv::Scalar::all(9));
    for (const char* name : {"f10.png", "f2.png", "f1.jpg", "F3.PNG"})
        ASSERT_TRUE(cv::imwrite((dir / name).string(), small));
    std::ofstream(dir / "notes.txt") << "x";
    std::ofstream(dir / "take.json") << "{}";
    fs::create_directory(dir / "sub");

    zsim::Source src;
    std::string err;
    ASSERT_TRUE(zsim::scanSource(dir.string(), -1, src, err)) << err;
    std::vector<std::string> names;
    for (const auto& f : src.files) names.push_back(fs::path(f).filename().string());
    EXPECT_EQ(names, (std::vector<std::string>{"F3.PNG", "f1.jpg", "f2.png", "f10.png"}));
    EXPECT_EQ(src.skipped, 2);
    EXPECT_EQ(src.frames, 4);
    EXPECT_EQ(src.size, cv::Size(48, 32));
}

// The whole width used (up to the rounding of the width to whole pixels), the
// overlap an even number of cells and half a camera or less, and exactly the
// long-standing 384/192 on the bundled 768 px footage.
TEST(SimRigFit, DerivedRigsFillEveryWidth) {
    for (int cameras = 2; cameras <= 5; ++cameras)
        for (int cell : {4, 8})
            for (int w : {320, 584, 640, 720, 751, 768, 1282, 1920}) {
                zsim::RigConfig rig;
                rig.cameras = cameras;
                rig.cellW = cell;
                ASSERT_EQ(zsim::fitRig(rig, w, 0, 0), "") << w << " px, " << cameras;
                const int used = zsim::rigWidth(rig);
                EXPECT_LE(used, w);
                EXPECT_GT(used, w - cameras) << w << " px, " << cameras << " cameras";
                EXPECT_EQ(rig.overlap % (2 * cell), 0);
                EXPECT_LE(2 * rig.overlap, rig.camWidth);
                EXPECT_GE(2 * rig.overlap + 2 * cell * 2, rig.camWidth) << "overlap too small";
                EXPECT_EQ(zsim::checkRig(rig, w, 576), "");
            }
    zsim::RigConfig rig;
    ASSERT_EQ(zsim::fitRig(rig, 768, 0, 0), "");
    EXPECT_EQ(rig.camWidth, 384);
    EXPECT_EQ(rig.overlap, 192);

    // Given values that do not fit: the message names what would.
    const struct {
        int frameW, width, overlap;
        const char* named;
    } misfits[] = {
        {320, 384, 0, "--width 160 --overlap 80"},
        {640, 384, 96, "at most --width 277 fits"},
        {320, 0, 120, "--width 160 --overlap 80"},
        {24, 0, 0, "too narrow"},
    };
    for (const auto& m : misfits) {
        zsim::RigConfig r;
        const std::string why = zsim::fitRig(r, m.frameW, m.width, m.overlap);
        EXPECT_NE(why.find(m.named), std::string::npos) << m.frameW << ": " << why;
        EXPECT_EQ(r.camWidth, 384) << "left unchanged on failure";
    }
}

// A clip written with VideoWriter plays like the frames it was made from;
// the codec's loss may move pixels, not the shifts.
TEST(SimVideo, ClipGivesTheShiftsOfItsFrames) {
    REQUIRE_SIM();
    const fs::path dir = freshDir("video");
    const fs::path clip = dir / "clip.avi";
    cv::VideoWriter w(clip.string(), cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 25,
                      frame(0).size());
    ASSERT_TRUE(w.isOpened());
    for (int i = 0; i < 20; ++i) w.write(frame(i));
    w.release();

    const std::string rig = " --ideal --misalign 0:8,10:-4 --misalign -12 --frames 20";
    ASSERT_EQ(
        runSim("--input '" + clip.string() + "' --out '" + (dir / "v").string() + "'" + rig).status,
        0);
    ASSERT_EQ(runSim("--out '" + (dir / "f").string() + "'" + rig).status, 0);
    bool truth;
    const auto fromClip = readShifts(dir / "v" / "shift.csv", truth);
    EXPECT_TRUE(truth);
    EXPECT_EQ(fromClip, readShifts(dir / "f" / "shift.csv", truth));
    ASSERT_EQ(fromClip.size(), 2u);
    EXPECT_EQ(fromClip[0].size(), 20u);
}

// Three cameras cut from the bundled frames into their own PNG folders (no
// misalignment) give the same shifts and fusion maps as the rig cutting them.
TEST(SimRealRig, PerCameraFootageMatchesTheCutRig) {
    REQUIRE_SIM();
    const fs::path dir = freshDir("cameras");
    const int frames = 16;
    std::string cams;
    for (int k = 0; k < 3; ++k) {
        const fs::path cam = dir / ("cam" + std::to_string(k));
        fs::create_directories(cam);
        for (int i = 0; i < frames; ++i)
            ASSERT_TRUE(cv::imwrite((cam / ("f" + std::to_string(i) + ".png")).string(),
                                    frame(i)(cv::Rect(192 * k, 0, 384, 576))));
        cams += " --camera '" + cam.string() + "'";
    }
    ASSERT_EQ(runSim(cams + " --out '" + (dir / "real").string() + "'").status, 0);
    ASSERT_EQ(runSim("--ideal --misalign 0 --misalign 0 --frames 16 --out '" +
                     (dir / "cut").string() + "'")
                  .status,
              0);
    bool realTruth, cutTruth;
    const auto real = readShifts(dir / "real" / "shift.csv", realTruth);
    EXPECT_FALSE(realTruth) << "a real rig has no true misalignment";
    EXPECT_EQ(real, readShifts(dir / "cut" / "shift.csv", cutTruth));
    for (const char* map : {"fusion_map_0.png", "fusion_map_1.png"}) {
        const cv::Mat a = cv::imread((dir / "real" / map).string(), cv::IMREAD_UNCHANGED);
        const cv::Mat b = cv::imread((dir / "cut" / map).string(), cv::IMREAD_UNCHANGED);
        ASSERT_EQ(a.size(), b.size()) << map;
        EXPECT_EQ(cv::norm(a, b, cv::NORM_INF), 0) << map;
    }
}

// Each refusal exits 2 naming the culprit before anything is written.
TEST(SimRefusals, BadInputWritesNothing) {
    REQUIRE_SIM();
    const fs::path dir = freshDir("bad");
    // n bundled frames (the part in roi) as folder/PREFIXi.EXT.
    auto frames = [&](const std::string& folder, const std::string& name, int n, cv::Rect roi) {
        fs::create_directories(dir / folder);
        for (int i = 0; i < n; ++i)
            ASSERT_TRUE(
                cv::imwrite((dir / folder / (std::to_string(i) + name)).string(), frame(i)(roi)));
    };
    auto truncate = [](const fs::path& p) { fs::resize_file(p, fs::file_size(p) / 2); };
    const cv::Rect all(0, 0, 768, 576);

    frames("mixed", "f.jpg", 5, all);
    cv::Mat big;
    cv::resize(frame(3), big, {800, 600});
    cv::imwrite((dir / "mixed" / "3f.jpg").string(), big);
    frames("cutjpg", "f.jpg", 5, all);
    truncate(dir / "cutjpg" / "2f.jpg");
    frames("cutpng", "p.png", 3, all);
    truncate(dir / "cutpng" / "1p.png");
    frames("narrow", "n.png", 3, {0, 0, 384, 576});
    frames("wide", "w.png", 3, {0, 0, 400, 576});

    cv::VideoWriter w((dir / "cut.avi").string(), cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 25,
                      frame(0).size());
    for (int i = 0; i < 10; ++i) w.write(frame(i));
    w.release();
    truncate(dir / "cut.avi");
    std::ofstream(dir / "afile") << "plain text, which FFmpeg plays\nas a video of its letters\n";

    const std::string d = "'" + dir.string() + "/";
    const struct {
        std::string args, named;
    } cases[] = {
        {"--input " + d + "mixed'", "3f.jpg is 800x600"},
        {"--input " + d + "cutjpg'", "2f.jpg is truncated"},
        {"--input " + d + "cutpng'", "1p.png"},
        {"--input " + d + "cut.avi'", "cannot be decoded"},
        {"--camera " + d + "narrow' --camera " + d + "wide'", "all cameras must have one size"},
        {"--camera " + d + "narrow'", "given 1 time;"},
        {"--input " + d + "narrow' --width 500", "the largest that fit"},
        {"--input " + d + "afile'", "as an image or a video"},
    };
    for (const auto& c : cases) {
        const Result r = runSim(c.args + " --out '" + (dir / "out").string() + "'");
        EXPECT_EQ(r.status, 2) << c.args << "\n" << r.messages;
        EXPECT_NE(r.messages.find(c.named), std::string::npos) << c.args << "\n" << r.messages;
        EXPECT_FALSE(fs::exists(dir / "out")) << c.args;
    }
    const Result r = runSim("--frames 2 --out " + d + "afile/sub/out'");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.messages.find("afile is a file, not a folder"), std::string::npos) << r.messages;
}
