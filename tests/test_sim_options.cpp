// The simulator's command line, misalignment schedules and result analysis.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "sim_host.h"

namespace {

bool parse(std::vector<std::string> args, zsim::Options& opt, std::string& err) {
    args.insert(args.begin(), "zelvo-stitch-sim");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    return zsim::parseArgs(int(argv.size()), argv.data(), opt, err);
}

}  // namespace

TEST(SimSchedule, ParsesStepsAndRejectsMalformedOnes) {
    const struct {
        const char* text;
        bool ok;
        std::vector<std::pair<int, int>> steps;
    } cases[] = {
        {"8", true, {{0, 8}}},
        {"-12", true, {{0, -12}}},
        {"0:8,50:-4", true, {{0, 8}, {50, -4}}},
        {"10:4", true, {{10, 4}}},
        {"0:8,0:4", false, {}},     // frames must increase
        {"0:8,", false, {}},        // empty entry
        {"0:8,,5:1", false, {}},
        {"a:8", false, {}},
        {"0:8px", false, {}},
        {"-1:8", false, {}},
        {"65", false, {}},          // beyond +-64 px
        {"0:-65", false, {}},
        {"", false, {}},
    };
    for (const auto& c : cases) {
        zsim::Schedule s;
        std::string err;
        EXPECT_EQ(zsim::parseSchedule(c.text, s, err), c.ok) << "'" << c.text << "': " << err;
        if (c.ok) EXPECT_EQ(s.steps, c.steps) << c.text;
        else EXPECT_FALSE(err.empty()) << c.text;
    }
    zsim::Schedule s{{{0, 8}, {50, -4}}};
    EXPECT_EQ(s.at(0), 8);
    EXPECT_EQ(s.at(49), 8);
    EXPECT_EQ(s.at(50), -4);
    const zsim::Schedule late{{{10, 4}}};
    EXPECT_EQ(late.at(9), 0);  // before the first step: aligned
    EXPECT_EQ(s.str(), "0:8,50:-4");
}

TEST(SimOptions, DefaultsAndExplicitValues) {
    zsim::Options opt;
    std::string err;
    ASSERT_TRUE(parse({}, opt, err)) << err;
    EXPECT_EQ(opt.rig.cameras, 3);
    ASSERT_EQ(opt.rig.misalign.size(), 2u);
    EXPECT_EQ(opt.rig.misalign[0].at(0), 8);
    EXPECT_EQ(opt.rig.misalign[1].at(0), -12);
    EXPECT_EQ(opt.out, "out");
    EXPECT_TRUE(opt.input.empty());

    zsim::Options o2;
    ASSERT_TRUE(parse({"--cameras", "4", "--width=256", "--overlap", "64", "--cell", "8x2",
                       "--misalign", "0:4,20:-8", "--period=0", "--dbg", "1", "--seams",
                       "--quiet", "--out", "/tmp/x", "--mask-blocks", "1"},
                      o2, err))
        << err;
    EXPECT_EQ(o2.rig.cameras, 4);
    EXPECT_EQ(o2.rig.camWidth, 256);
    EXPECT_EQ(o2.rig.overlap, 64);
    EXPECT_EQ(o2.rig.cellW, 8);
    EXPECT_EQ(o2.rig.cellH, 2);
    EXPECT_EQ(o2.rig.period, 0);
    EXPECT_EQ(o2.rig.dbg, 1);
    EXPECT_TRUE(o2.seams && o2.quiet && o2.rig.maskBlocks);
    ASSERT_EQ(o2.rig.misalign.size(), 3u);  // one given, the others defaulted
    EXPECT_EQ(o2.rig.misalign[0].str(), "0:4,20:-8");
    EXPECT_EQ(o2.rig.misalign[1].at(0), -12);
    EXPECT_EQ(o2.rig.misalign[2].at(0), 8);
}

// Every rejection names the argument at fault.
TEST(SimOptions, RejectionsNameTheArgument) {
    const struct {
        std::vector<std::string> args;
        const char* named;
    } cases[] = {
        {{"--bogus"}, "--bogus"},
        {{"--cameras"}, "--cameras"},
        {{"--cameras", "1"}, "--cameras"},
        {{"--cameras", "6"}, "--cameras"},
        {{"--width", "3x"}, "--width"},
        {{"--cell", "4"}, "--cell"},
        {{"--cell", "0x4"}, "--cell"},
        {{"--overlap", "4"}, "--overlap"},         // one cell: no room for two seed bands
        {{"--overlap", "100"}, "--overlap"},       // 25 cells: odd
        {{"--overlap", "200"}, "--overlap"},       // more than half the width
        {{"--cameras", "2", "--overlap", "384"}, "--overlap"},
        {{"--misalign", "x"}, "--misalign"},
        {{"--cameras", "2", "--misalign", "1", "--misalign", "2"}, "--misalign"},
        {{"--reset-mask", "2"}, "--reset-mask"},
        {{"--quiet=1"}, "--quiet"},
        {{"--frames", "0"}, "--frames"},
        {{"--out", ""}, "--out"},
    };
    for (const auto& c : cases) {
        zsim::Options opt;
        std::string err;
        std::ostringstream args;
        for (const auto& a : c.args) args << a << " ";
        EXPECT_FALSE(parse(c.args, opt, err)) << args.str();
        EXPECT_NE(err.find(c.named), std::string::npos) << args.str() << "-> " << err;
    }
}

TEST(SimOptions, RigMustFitTheFrames) {
    zsim::RigConfig rig;
    EXPECT_EQ(zsim::checkRig(rig, 768, 576), "");
    EXPECT_NE(zsim::checkRig(rig, 767, 576).find("767"), std::string::npos);
    rig.blocks = 64;  // 144 mask rows cannot give 64 blocks of 3 rows
    EXPECT_NE(zsim::checkRig(rig, 768, 576).find("--blocks"), std::string::npos);
    rig.blocks = 4;
    EXPECT_NE(zsim::checkRig(rig, 768, 4096), "");  // beyond 255 motion-block rows
}

// Settling: the first frame from which the shift stays within tolerance of
// the truth to the end of the run of that truth.
TEST(SimAnalysis, SegmentsAndSettlingFrames) {
    zsim::Track t;
    t.truth = {8, 8, 8, 8, 8, -4, -4, -4, -4, 0, 0};
    t.shift = {0, 4, 0, 4, 8, 8, 4, -4, 0, 0, 8};
    const auto segs = zsim::analyse(t, 4);
    ASSERT_EQ(segs.size(), 3u);
    EXPECT_EQ(segs[0].from, 0);
    EXPECT_EQ(segs[0].to, 5);
    EXPECT_EQ(segs[0].settledAt, 3);  // frame 1 is within but frame 2 is not
    EXPECT_EQ(segs[0].framesToConverge(), 4);
    EXPECT_EQ(segs[1].truth, -4);
    EXPECT_EQ(segs[1].settledAt, 7);
    EXPECT_EQ(segs[1].framesToConverge(), 3);
    EXPECT_EQ(segs[2].settledAt, -1);  // ends outside: never settled
    EXPECT_EQ(segs[2].framesToConverge(), -1);
}

TEST(SimAnalysis, CsvListsEveryFrameAndOverlap) {
    std::vector<zsim::Track> tracks(2);
    tracks[0] = {{4, 8}, {8, 8}};
    tracks[1] = {{-4, -8}, {-12, -12}};
    const std::string path = ::testing::TempDir() + "sim_shift.csv";
    zsim::writeCsv(path, tracks);
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    EXPECT_EQ(s.str(),
              "frame,overlap,shift_px,true_px\n0,0,4,8\n0,1,-4,-12\n1,0,8,8\n1,1,-8,-12\n");
    std::remove(path.c_str());
}
