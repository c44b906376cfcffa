// Compares two output folders of zelvo-stitch-sim (one from the x86-64 build,
// one from the arm64 build run under emulation) and quantifies every
// difference.
//
//   arm_compare <reference-dir> <other-dir> [file ...]
//
// The files named after the folders (paths relative to them) must be equal
// byte for byte; every other .png and .csv found in either folder is compared
// too and reported, without deciding the exit status. summary.json is left
// out: it holds wall-clock timings.
//
// For a PNG that differs: size and type, else the pixels that differ, the
// largest and mean absolute difference over them and their bounding box (or
// "pixels equal" when only the encoded bytes differ). For a CSV: rows that
// differ, the first of them, and the largest absolute difference per column.
//
// Exit status: 0 when every named file is equal, 1 when one differs or is
// missing, 2 for bad arguments.

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string readAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> splitLines(const std::string& s) {
    std::vector<std::string> lines;
    std::istringstream in(s);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> splitFields(const std::string& line) {
    std::vector<std::string> fields;
    std::istringstream in(line);
    for (std::string f; std::getline(in, f, ',');) fields.push_back(f);
    return fields;
}

bool toNumber(const std::string& s, double& v) {
    if (s.empty()) return false;
    char* end = nullptr;
    v = std::strtod(s.c_str(), &end);
    return end && *end == '\0';
}

void describeCsv(const std::string& a, const std::string& b) {
    const auto la = splitLines(a), lb = splitLines(b);
    if (la.size() != lb.size()) std::printf("    rows: %zu vs %zu\n", la.size(), lb.size());
    const std::vector<std::string> header =
        la.empty() ? std::vector<std::string>{} : splitFields(la[0]);
    std::vector<double> maxDiff;
    std::size_t differing = 0, first = 0;
    for (std::size_t i = 0; i < std::min(la.size(), lb.size()); ++i) {
        if (la[i] == lb[i]) continue;
        if (differing++ == 0) first = i;
        const auto fa = splitFields(la[i]), fb = splitFields(lb[i]);
        for (std::size_t c = 0; c < std::min(fa.size(), fb.size()); ++c) {
            double va = 0, vb = 0;
            if (!toNumber(fa[c], va) || !toNumber(fb[c], vb)) continue;
            if (maxDiff.size() <= c) maxDiff.resize(c + 1, 0.0);
            maxDiff[c] = std::max(maxDiff[c], std::fabs(va - vb));
        }
    }
    std::printf("    %zu of %zu rows differ", differing, std::min(la.size(), lb.size()));
    if (differing) {
        std::printf("; first at line %zu:\n      < %s\n      > %s\n", first + 1, la[first].c_str(),
                    lb[first].c_str());
        for (std::size_t c = 0; c < maxDiff.size(); ++c)
            if (maxDiff[c] > 0)
                std::printf("    column %s: largest difference %g\n",
                            c < header.size() ? header[c].c_str() : std::to_string(c).c_str(),
                            maxDiff[c]);
    } else {
        std::printf("\n");
    }
}

void describePng(const fs::path& pa, const fs::path& pb) {
    const cv::Mat a = cv::imread(pa.string(), cv::IMREAD_UNCHANGED);
    const cv::Mat b = cv::imread(pb.string(), cv::IMREAD_UNCHANGED);
    if (a.empty() || b.empty()) {
        std::printf("    cannot decode %s\n", a.empty() ? pa.c_str() : pb.c_str());
        return;
    }
    if (a.size() != b.size() || a.type() != b.type()) {
        std::printf("    %dx%d type %d vs %dx%d type %d\n", a.cols, a.rows, a.type(), b.cols,
                    b.rows, b.type());
        return;
    }
    cv::Mat diff;
    cv::absdiff(a, b, diff);
    cv::Mat perPixel = diff.reshape(1, diff.rows * diff.cols);  // one row per pixel
    cv::reduce(perPixel, perPixel, 1, cv::REDUCE_MAX);          // largest over the channels
    perPixel.reshape(1, diff.rows).convertTo(perPixel, CV_64F);
    const cv::Mat mask = perPixel > 0;
    const int count = cv::countNonZero(mask);
    if (count == 0) {
        std::printf("    pixels equal: only the encoded bytes differ\n");
        return;
    }
    double maxVal = 0;
    cv::minMaxLoc(perPixel, nullptr, &maxVal);
    const double sum = cv::sum(perPixel)[0];
    std::vector<cv::Point> where;
    cv::findNonZero(mask, where);
    const cv::Rect box = cv::boundingRect(where);
    std::printf(
        "    %d of %d pixels differ (%.4f%%), largest difference %g, mean over them %.3f, "
        "within x %d..%d, y %d..%d\n",
        count, a.rows * a.cols, 100.0 * count / (a.rows * a.cols), maxVal, sum / count, box.x,
        box.x + box.width - 1, box.y, box.y + box.height - 1);
}

// Returns true when the two files are equal byte for byte.
bool compareFile(const fs::path& ra, const fs::path& rb, const fs::path& rel) {
    const fs::path pa = ra / rel, pb = rb / rel;
    const bool ha = fs::is_regular_file(pa), hb = fs::is_regular_file(pb);
    if (!ha || !hb) {
        std::printf("  %-28s MISSING in %s\n", rel.c_str(), !ha ? ra.c_str() : rb.c_str());
        return false;
    }
    const std::string a = readAll(pa), b = readAll(pb);
    if (a == b) {
        std::printf("  %-28s identical (%zu bytes)\n", rel.c_str(), a.size());
        return true;
    }
    std::printf("  %-28s DIFFERENT (%zu vs %zu bytes)\n", rel.c_str(), a.size(), b.size());
    const std::string ext = rel.extension().string();
    if (ext == ".png")
        describePng(pa, pb);
    else if (ext == ".csv")
        describeCsv(a, b);
    return false;
}

std::set<fs::path> listResults(const fs::path& root) {
    std::set<fs::path> found;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        if (!e.is_regular_file()) continue;
        const std::string ext = e.path().extension().string();
        if (ext == ".png" || ext == ".csv") found.insert(fs::relative(e.path(), root));
    }
    return found;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <reference-dir> <other-dir> [file ...]\n", argv[0]);
        return 2;
    }
    const fs::path ra = argv[1], rb = argv[2];
    for (const fs::path& d : {ra, rb}) {
        if (!fs::is_directory(d)) {
            std::fprintf(stderr, "%s: not a folder: %s\n", argv[0], d.c_str());
            return 2;
        }
    }
    std::set<fs::path> required;
    for (int i = 3; i < argc; ++i) required.insert(argv[i]);

    int failures = 0;
    std::printf("required to be equal byte for byte:\n");
    for (const auto& rel : required)
        if (!compareFile(ra, rb, rel)) ++failures;

    std::set<fs::path> others = listResults(ra);
    others.merge(listResults(rb));
    for (const auto& rel : required) others.erase(rel);
    if (!others.empty()) {
        int same = 0;
        std::printf("other pictures and tables (reported only):\n");
        for (const auto& rel : others) {
            // Print only the differences: per-frame panoramas can be many.
            const fs::path pa = ra / rel, pb = rb / rel;
            if (fs::is_regular_file(pa) && fs::is_regular_file(pb) && readAll(pa) == readAll(pb))
                ++same;
            else
                compareFile(ra, rb, rel);
        }
        std::printf("  %d of %zu identical\n", same, others.size());
    }
    std::printf("%s\n", failures ? "RESULT: outputs differ" : "RESULT: outputs identical");
    return failures ? 1 : 0;
}
