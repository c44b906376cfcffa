// The simulator on footage other than the bundled folder: frame order, video
// files, a real rig of per-camera footage, and every refusal of bad options or
// input with nothing written. Inputs are made here from the bundled frames;
// whole runs go through the program itself.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "sim_input.h"
#include "test_support.h"

namespace fs = std::filesystem;

// Whole runs need the program, which builds without sanitizers only.
#ifndef ZELVO_SIM_PROGRAM
#define ZELVO_SIM_PROGRAM ""
#endif
#define REQUIRE_SIM() \
    if (!*ZELVO_SIM_PROGRAM) GTEST_SKIP() << "zelvo-stitch-sim is not built in this configuration"

namespace {

// Runs the simulator with args (shell-quoted where needed); its exit status and
// standard error. Seam comparison and video are left out: these runs are about input.
std::pair<int, std::string> runSim(const std::string& args) {
    const std::string cmd = std::string("'") + ZELVO_SIM_PROGRAM +
                            "' --quiet --no-quality --no-video " + args + " 2>&1 >/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    std::string err;
    char buf[256];
    while (p && std::fgets(buf, sizeof buf, p)) err += buf;
    const int rc = p ? pclose(p) : -1;
    return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, err};
}

std::string slurp(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

cv::Mat frame(int i) { return cv::imread(zt::sample_frame_path(i)); }

// A folder of the build tree of its own per test (CTest runs them side by side).
fs::path freshDir(const std::string& name) {
    const fs::path dir = fs::path(ZELVO_SIM_TEST_DIR) / name;
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

// The part roi of the first n bundled frames as folder/<i><suffix>.
void writeFrames(const fs::path& folder, const std::string& suffix, int n,
                 cv::Rect roi = {0, 0, 768, 576}) {
    fs::create_directories(folder);
    for (int i = 0; i < n; ++i)
        ASSERT_TRUE(cv::imwrite((folder / (std::to_string(i) + suffix)).string(), frame(i)(roi)));
}

void writeClip(const fs::path& path, int n) {
    cv::VideoWriter w(path.string(), cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 25,
                      frame(0).size());
    ASSERT_TRUE(w.isOpened());
    for (int i = 0; i < n; ++i) w.write(frame(i));
}

}  // namespace

TEST(SimInput, FoldersPlayInNaturalOrderAndCountSkippedFiles) {
    EXPECT_TRUE(zsim::naturalLess("f002.png", "f10.png"));
    EXPECT_TRUE(zsim::naturalLess("a9_b2", "a9_b10"));
    EXPECT_FALSE(zsim::naturalLess("a9_b10", "a9_b2"));
    EXPECT_FALSE(zsim::naturalLess("f1.png", "f1.png"));

    const fs::path dir = freshDir("order");
    for (const char* name : {"f10.png", "f2.png", "f1.jpg", "F3.PNG"})
        ASSERT_TRUE(cv::imwrite((dir / name).string(), cv::Mat(32, 48, CV_8UC3)));
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

// A clip written with VideoWriter plays like the frames it was made from: the
// codec's loss may move pixels, not the shifts.
TEST(SimVideo, ClipGivesTheShiftsOfItsFrames) {
    REQUIRE_SIM();
    const fs::path dir = freshDir("video");
    writeClip(dir / "clip.avi", 20);
    const std::string rig =
        " --ideal --misalign 0:8,10:-4 --misalign -12 --frames 20 --out '" + dir.string() + "/";
    ASSERT_EQ(runSim("--input '" + (dir / "clip.avi").string() + "'" + rig + "v'").first, 0);
    ASSERT_EQ(runSim(rig + "f'").first, 0);
    const std::string csv = slurp(dir / "v" / "shift.csv");
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 1 + 2 * 20);
    EXPECT_EQ(csv, slurp(dir / "f" / "shift.csv"));
}

// Three cameras cut from the bundled frames into their own PNG folders (no
// misalignment) give the shifts and fusion maps of the rig cutting them, and
// no true misalignment column.
TEST(SimRealRig, PerCameraFootageMatchesTheCutRig) {
    REQUIRE_SIM();
    const fs::path dir = freshDir("cameras");
    std::string cams;
    for (int k = 0; k < 3; ++k) {
        writeFrames(dir / std::to_string(k), ".png", 16, {192 * k, 0, 384, 576});
        cams += " --camera '" + (dir / std::to_string(k)).string() + "'";
    }
    ASSERT_EQ(runSim(cams + " --out '" + (dir / "real").string() + "'").first, 0);
    ASSERT_EQ(runSim("--ideal --misalign 0 --misalign 0 --frames 16 --out '" +
                     (dir / "cut").string() + "'")
                  .first,
              0);
    const std::string cut = slurp(dir / "cut" / "shift.csv");
    EXPECT_EQ(std::count(cut.begin(), cut.end(), '\n'), 1 + 2 * 16);
    EXPECT_EQ(slurp(dir / "real" / "shift.csv"),
              std::regex_replace(cut, std::regex(",-?[0-9]+\n"), ",\n"));
    for (const char* map : {"fusion_map_0.png", "fusion_map_1.png"})
        EXPECT_EQ(slurp(dir / "real" / map), slurp(dir / "cut" / map)) << map;
}

// Each refusal exits 2 naming the culprit before anything is written.
TEST(SimRefusals, BadOptionsOrInputWriteNothing) {
    REQUIRE_SIM();
    const fs::path dir = freshDir("bad");
    auto truncate = [](const fs::path& p) { fs::resize_file(p, fs::file_size(p) / 2); };
    writeFrames(dir / "mixed", "f.jpg", 4);
    cv::Mat big;
    cv::resize(frame(3), big, {800, 600});
    ASSERT_TRUE(cv::imwrite((dir / "mixed" / "3f.jpg").string(), big));
    writeFrames(dir / "cutjpg", "f.jpg", 3);
    truncate(dir / "cutjpg" / "2f.jpg");
    writeFrames(dir / "cutpng", "p.png", 3);
    truncate(dir / "cutpng" / "1p.png");
    writeFrames(dir / "narrow", "n.png", 3, {0, 0, 384, 576});
    writeFrames(dir / "wide", "w.png", 3, {0, 0, 400, 576});
    writeClip(dir / "cut.avi", 10);
    truncate(dir / "cut.avi");
    std::ofstream(dir / "afile") << "plain text, which FFmpeg plays\nas a video of its letters\n";

    const std::string d = "'" + dir.string() + "/";
    const struct {
        std::string args, named;
    } cases[] = {
        {"--bogus", "unknown argument '--bogus'"},
        {"--cameras", "--cameras needs a value"},
        {"--cameras 6", "--cameras"},
        {"--width 3x", "--width"},
        {"--noise 2x", "--noise"},
        {"--seam-blend 1.5", "--seam-blend"},
        {"--cell 0x4", "--cell"},
        {"--reset-mask 2", "--reset-mask"},
        {"--quiet=1", "--quiet"},
        {"--out ''", "--out"},
        {"--overlap 100", "--overlap 100 with --cell width 4 gives 25"},
        {"--width 384 --overlap 384", "must be below --width"},
        {"--width 384 --overlap 200", "more than half of --width 384"},
        {"--misalign 0:8,0:4", "--misalign"},
        {"--misalign 65", "--misalign"},
        {"--misalign 0:8px", "--misalign"},
        {"--cameras 2 --misalign 1 --misalign 2", "--misalign: given 2 times"},
        {"--camera a", "--camera: given 1 time;"},
        {"--camera a --camera b --input c", "exclude each other"},
        {"--camera a --camera b --misalign 4", "--misalign has no meaning"},
        {"--cameras 3 --camera a --camera b", "--cameras 3 but --camera given 2"},
        {"--input " + d + "nothing'", "no such file or folder"},
        {"--input " + d + "'", "no JPEG or PNG frames in folder"},
        {"--input " + d + "afile'", "as an image or a video"},
        {"--input " + d + "mixed'", "3f.jpg is 800x600"},
        {"--input " + d + "cutjpg'", "2f.jpg is truncated"},
        {"--input " + d + "cutpng'", "1p.png"},
        {"--input " + d + "cut.avi'", "cannot be decoded"},
        {"--camera " + d + "narrow' --camera " + d + "wide'", "all cameras must have one size"},
        {"--input " + d + "narrow' --width 500", "the largest that fit"},
        {"--blocks 64 --cell 4x64", "--blocks 64 cannot cut 9 mask rows"},
        {"--out " + d + "afile/sub'", "afile is a file, not a folder"},
    };
    for (const auto& c : cases) {
        // The case's own --out, given last, wins over this one.
        const auto [status, err] = runSim("--out '" + (dir / "out").string() + "' " + c.args);
        EXPECT_EQ(status, 2) << c.args << "\n" << err;
        EXPECT_NE(err.find(c.named), std::string::npos) << c.args << "\n" << err;
        EXPECT_FALSE(fs::exists(dir / "out")) << c.args;
    }
}
