// zelvo-stitch-sim: plays footage through a simulated camera rig and runs
// libzelvo_stitch on it as a device host would. The library's own
// diagnostics go to standard output; this program's messages, the progress
// bar and the summary line go to standard error.
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>

#include "app/run.h"

namespace fs = std::filesystem;

namespace {

using zsim::kProg;
using zsim::note;

int fail(const std::string& msg, int status = 2) {
    std::fprintf(stderr, "%s: %s\n", kProg, msg.c_str());
    return status;
}

std::string defaultInput() {
    // Installed: share/zelvo-stitch/samples/vtest beside the program's bin/;
    // else the source tree's copy while running from a build.
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    const fs::path installed =
        exe.parent_path().parent_path() / "share" / "zelvo-stitch" / "samples" / "vtest";
    if (!ec && fs::is_directory(installed, ec)) return installed.string();
    for (const char* dir : {ZELVO_SIM_SOURCE_SAMPLES, ZELVO_SIM_INSTALLED_SAMPLES})
        if (fs::is_directory(dir, ec)) return dir;
    return ZELVO_SIM_SOURCE_SAMPLES;
}

}  // namespace

int main(int argc, char** argv) {
    zsim::Options opt;
    std::string err;
    if (!zsim::parseArgs(argc, argv, opt, err)) return fail(err);
    if (opt.help) {
        std::fputs(zsim::usage(kProg).c_str(), stdout);
        return 0;
    }
    if (opt.rig.dbg < 0) opt.rig.dbg = 0;  // the library stays quiet unless asked

    // Everything is checked before the output folder is created.
    zsim::Inputs in;
    if (!(err = zsim::scanInputs(opt, defaultInput(), in)).empty()) return fail(err);
    if (!(err = zsim::fitRigToInputs(opt, in)).empty()) return fail(err);
    if (!(err = zsim::checkOut(opt.out)).empty()) return fail(err);
    zsim::RunInfo run = zsim::describeRun(opt, in);

    try {
        const auto t0 = std::chrono::steady_clock::now();
        fs::create_directories(opt.out);
        const cv::Mat bg = zsim::sceneBackground(opt, in, run);
        zsim::Session session(opt, in, run, bg);
        if (!(err = session.playAll(t0)).empty()) return fail(err);
        session.writeResults(run, t0);
        if (!opt.quiet) {
            std::fflush(stdout);
            note(zsim::summaryLine(opt.rig, run, session.tracks()) + " pictures in " + opt.out +
                 "/");
        }
    } catch (const zsim::OutputError& e) {
        std::fflush(stdout);
        return fail(e.what(), 3);
    } catch (const fs::filesystem_error& e) {
        std::fflush(stdout);
        return fail(e.what(), 3);
    } catch (const std::exception& e) {
        std::fflush(stdout);
        return fail(std::string("failed: ") + e.what(), 1);
    }
    return 0;
}
