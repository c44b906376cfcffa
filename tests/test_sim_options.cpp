// The simulator's command line: every rejection names the argument at fault.
#include <gtest/gtest.h>

#include "sim_host.h"

TEST(SimOptions, RejectionsNameTheArgument) {
    const struct {
        std::string named;
        std::vector<std::string> args;
    } cases[] = {
        {"--bogus", {"--bogus"}},
        {"--cameras", {"--cameras"}},
        {"--cameras", {"--cameras", "6"}},
        {"--width", {"--width", "3x"}},
        {"--cell", {"--cell", "0x4"}},
        {"--overlap", {"--overlap", "100"}},                    // 25 cells: odd
        {"--overlap", {"--width", "384", "--overlap", "200"}},  // more than half the width
        {"--misalign", {"--misalign", "0:8,0:4"}},
        {"--misalign", {"--misalign", "65"}},
        {"--misalign", {"--misalign", "0:8px"}},
        {"--misalign", {"--cameras", "2", "--misalign", "1", "--misalign", "2"}},
        {"--reset-mask", {"--reset-mask", "2"}},
        {"--quiet", {"--quiet=1"}},
        {"--frames", {"--frames", "0"}},
        {"--out", {"--out", ""}},
        {"--seam-blend", {"--seam-blend", "1.5"}},
        {"--noise", {"--noise", "2x"}},
        {"--parallax", {"--parallax", "40"}},
        {"--ideal", {"--ideal=1"}},
    };
    for (auto c : cases) {
        std::vector<char*> argv{const_cast<char*>("zelvo-stitch-sim")};
        for (auto& a : c.args) argv.push_back(a.data());
        zsim::Options opt;
        std::string err;
        EXPECT_FALSE(zsim::parseArgs(int(argv.size()), argv.data(), opt, err)) << c.args[0];
        EXPECT_NE(err.find(c.named), std::string::npos) << c.args[0] << " -> " << err;
    }
}
