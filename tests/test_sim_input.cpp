// The simulator on footage made here from the bundled frames: video, a real rig of per-camera
// footage, and every refusal of bad options or input with nothing written, through the program.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include "test_support.h"

namespace fs = std::filesystem;

#ifndef ZELVO_SIM_PROGRAM
#define ZELVO_SIM_PROGRAM ""  // built without sanitizers only: whole runs skip
#define ZELVO_SIM_RUNNER ""
#endif
#define REQUIRE_SIM() \
    if (!*ZELVO_SIM_PROGRAM) GTEST_SKIP() << "zelvo-stitch-sim is not built"

namespace {

// Exit status and standard error of a run (no seam comparison, no video) with args.
std::pair<int, std::string> runSim(const std::string& args) {
    const std::string cmd = std::string(ZELVO_SIM_RUNNER) + "'" + ZELVO_SIM_PROGRAM +
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
    for (int i = 0; i < n; ++i) w.write(frame(i));
}

}  // namespace

// A clip written with VideoWriter plays like its frames: the codec's loss moves pixels (and the
// residuals measured on them by hundredths of a pixel), not shifts.
TEST(SimVideo, ClipGivesTheShiftsOfItsFrames) {
    REQUIRE_SIM();
    const fs::path dir = freshDir("video");
    writeClip(dir / "clip.avi", 20);
    const std::string rig =
        " --ideal --misalign 0:8,10:-4 --misalign -12 --frames 20 --out '" + dir.string() + "/";
    ASSERT_EQ(runSim("--input '" + (dir / "clip.avi").string() + "'" + rig + "v'").first, 0);
    ASSERT_EQ(runSim(rig + "f'").first, 0);
    const std::regex residual(",[^,\n]*\n");
    const std::string csv = std::regex_replace(slurp(dir / "v" / "shift.csv"), residual, "\n");
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 1 + 2 * 20);
    EXPECT_EQ(csv, std::regex_replace(slurp(dir / "f" / "shift.csv"), residual, "\n"));
}

// Three cameras cut from the bundled frames into their own PNG folders (no misalignment) give the
// shifts and fusion maps of the rig cutting them, and no true misalignment column.
TEST(SimRealRig, PerCameraFootageMatchesTheCutRig) {
    REQUIRE_SIM();
    const fs::path dir = freshDir("cameras");
    std::string cams;
    for (int k = 0; k < 3; ++k) {
        writeFrames(dir / std::to_string(k), ".png", 16, {192 * k, 0, 384, 576});
        cams += " --camera '" + (dir / std::to_string(k)).string() + "'";
    }
    const std::string out = " --out '" + dir.string() + "/";
    ASSERT_EQ(runSim(cams + out + "real'").first, 0);
    ASSERT_EQ(runSim("--ideal --misalign 0 --misalign 0 --frames 16" + out + "cut'").first, 0);
    EXPECT_EQ(
        slurp(dir / "real" / "shift.csv"),
        std::regex_replace(slurp(dir / "cut" / "shift.csv"), std::regex(",-?[0-9]+(,[^,\n]*\n)"), ",$1"));
    for (const char* map : {"fusion_map_0.png", "fusion_map_1.png"})
        EXPECT_EQ(slurp(dir / "real" / map), slurp(dir / "cut" / map)) << map;
}

// Each refusal exits 2 naming the culprit before anything is written.
TEST(SimRefusals, BadOptionsOrInputWriteNothing) {
    REQUIRE_SIM();
    const fs::path dir = freshDir("bad");
    auto truncate = [](const fs::path& p) { fs::resize_file(p, fs::file_size(p) / 2); };
    writeFrames(dir / "mixed", "f.jpg", 4);
    ASSERT_TRUE(cv::imwrite((dir / "mixed" / "3f.jpg").string(), frame(3).colRange(0, 400)));
    writeFrames(dir / "cutjpg", "f.jpg", 3);
    truncate(dir / "cutjpg" / "2f.jpg");
    writeFrames(dir / "cutpng", "p.png", 3);
    truncate(dir / "cutpng" / "1p.png");
    writeFrames(dir / "narrow", "n.png", 3, {0, 0, 384, 576});
    writeClip(dir / "cut.avi", 10);
    truncate(dir / "cut.avi");
    std::ofstream(dir / "afile") << "plain text, which FFmpeg plays\nas a video of its letters\n";
    fs::create_directories(dir / "one");  // single images, outside the empty folder
    std::ofstream(dir / "one" / "broken.jpg") << "not a picture\n";
    ASSERT_TRUE(cv::imwrite((dir / "one" / "tiny.png").string(), frame(0)(cv::Rect(0, 0, 40, 30))));

    const std::string d = "'" + dir.string() + "/";
    const std::pair<std::string, const char*> cases[] = {
        {"--bogus", "unknown argument '--bogus'"},
        {"--cameras", "--cameras needs a value"},
        {"--cameras 6", "--cameras"},
        {"--seam-blend 1.5", "--seam-blend"},
        {"--graphcut sometimes", "--graphcut: 'sometimes' is not auto or always"},
        {"--cell 0x4", "--cell"},
        {"--quiet=1", "--quiet"},
        {"--out ''", "--out"},
        {"--overlap 100", "--overlap 100 with --cell width 4 gives 25"},
        {"--width 384 --overlap 200", "200 is too wide for cameras of 384 px: more than half"},
        {"--misalign 0:8,0:4", "--misalign"},
        {"--cameras 2 --misalign 1 --misalign 2", "--misalign: given 2 times"},
        {"--camera a", "--camera: given 1 time;"},
        {"--camera a --camera b --misalign 4", "--misalign has no meaning"},
        {"--cameras 3 --camera a --camera b", "--cameras 3 but --camera given 2"},
        {"--input " + d + "nothing'", "no such file or folder"},
        {"--input " + d + "'", "no JPEG or PNG frames in folder"},
        {"--input " + d + "afile'", "as an image or a video"},
        {"--input " + d + "mixed'", "3f.jpg is 400x576"},
        {"--input " + d + "cutjpg'", "2f.jpg is truncated"},
        {"--input " + d + "cutpng'", "1p.png"},
        {"--input " + d + "cut.avi'", "cannot be decoded"},
        {"--camera " + d + "narrow' --camera " + d + "mixed/0f.jpg'",
         "all cameras must have one size"},
        {"--input " + d + "narrow' --width 500", "the largest that fit"},
        {"--blocks 64 --cell 4x64", "--blocks 64 cannot cut 9 mask rows"},
        {"--out " + d + "afile/sub'", "afile is a file, not a folder"},
        {"--misalign 40", "40 px is beyond the library's +-32 px reach"},
        {"--overlap 500", "--overlap 500 is too wide"},
        {"--input " + d + "one/broken.jpg'", "broken.jpg does not decode"},
        {"--input " + d + "one/tiny.png'", "below the smallest the simulator plays, 64x64 px: give "
                                       "footage of at least 128x64 px"},
    };
    for (const auto& [args, named] : cases) {
        // The case's own --out, given last, wins over this one.
        const auto [status, err] = runSim("--out '" + (dir / "out").string() + "' " + args);
        EXPECT_TRUE(status == 2 && !fs::exists(dir / "out")) << args << "\n" << err;
        EXPECT_NE(err.find(named), std::string::npos) << args << "\n" << err;
    }
}

// A folder of one image plays as one image does (30 frames); --frames beyond the footage plays
// what there is and says so.
TEST(SimInput, OneImageFolderRepeatsAndShortFootageSaysSo) {
    REQUIRE_SIM();
    const fs::path dir = freshDir("edges");
    writeFrames(dir / "one", "f.png", 1, {0, 0, 128, 64});
    writeFrames(dir / "three", "f.png", 3, {0, 0, 128, 64});
    const std::tuple<const char*, const char*, const char*, long> cases[] = {
        {"one", "", "", 30}, {"three", " --frames 5", "holds 3 frames; playing 3", 3}};
    for (const auto& [input, extra, said, frames] : cases) {
        const auto [status, err] = runSim("--cameras 2 --out '" + (dir / "out").string() +
                                          "' --input '" + (dir / input).string() + "'" + extra);
        ASSERT_EQ(status, 0) << err;
        EXPECT_NE(err.find(said), std::string::npos) << err;
        const std::string csv = slurp(dir / "out" / "shift.csv");  // one overlap
        EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 1 + frames) << input;
    }
}
