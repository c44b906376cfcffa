// Misalignment schedules and the rig's geometry; see rig_config.h.
#include "rig/rig_config.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>

#include "zelvo_stitch_host.h"

namespace zsim {

// ---- misalignment schedule -------------------------------------------------

int Schedule::at(int frame) const {
    int v = 0;
    for (const auto& s : steps) {
        if (s.first > frame) break;
        v = s.second;
    }
    return v;
}

std::string Schedule::str() const {
    std::ostringstream o;
    for (size_t i = 0; i < steps.size(); ++i)
        o << (i ? "," : "") << steps[i].first << ":" << steps[i].second;
    return o.str();
}

namespace {

bool parseInt(const std::string& s, long long& v) {
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    v = std::strtoll(s.c_str(), &end, 10);
    return errno == 0 && end && *end == '\0' && !std::isspace((unsigned char)s[0]);
}

}  // namespace

bool parseSchedule(const std::string& text, Schedule& out, std::string& err) {
    out.steps.clear();
    if (text.find(':') == std::string::npos) {
        long long px;
        if (!parseInt(text, px)) {
            err = "'" + text + "' is not a pixel count or a FRAME:PX list";
            return false;
        }
        out.steps.push_back({0, int(std::clamp(px, -1000000LL, 1000000LL))});
    } else {
        std::stringstream ss(text);
        std::string item;
        while (std::getline(ss, item, ',')) {
            const auto colon = item.find(':');
            long long f, px;
            if (colon == std::string::npos || !parseInt(item.substr(0, colon), f) ||
                !parseInt(item.substr(colon + 1), px)) {
                err = "'" + item + "' is not FRAME:PX";
                return false;
            }
            if (f < 0 || f > 100000000) {
                err = "frame " + std::to_string(f) + " is out of range";
                return false;
            }
            if (!out.steps.empty() && f <= out.steps.back().first) {
                err = "frames must increase (" + item + ")";
                return false;
            }
            out.steps.push_back({int(f), int(std::clamp(px, -1000000LL, 1000000LL))});
        }
        if (out.steps.empty() || text.back() == ',') {
            err = "'" + text + "' holds an empty entry";
            return false;
        }
    }
    for (const auto& s : out.steps)
        if (std::abs(s.second) > kShiftReach) {
            err = "misalignment " + std::to_string(s.second) + " px is beyond the library's +-" +
                  std::to_string(kShiftReach) +
                  " px reach (it could not be corrected); give at most " +
                  std::to_string(kShiftReach) + " px either way";
            return false;
        }
    return true;
}

// ---- rig geometry ----------------------------------------------------------

int rigWidth(const RigConfig& rig) {
    return rig.cameras * rig.camWidth - (rig.cameras - 1) * rig.overlap;
}

int rigOrigin(const RigConfig& rig, int frameW) { return (frameW - rigWidth(rig)) / 2; }

std::string overlapTooWide(const RigConfig& rig) {
    const std::string o = "--overlap " + std::to_string(rig.overlap) +
                          " is too wide for cameras of " + std::to_string(rig.camWidth) + " px: ";
    if (rig.overlap >= rig.camWidth) return o + "it must be below the camera width";
    if (rig.cameras > 2 && 2 * rig.overlap > rig.camWidth)
        // The widest that is half a camera or less in whole cell pairs.
        return o + "more than half a camera (a middle camera's two overlaps would cross); " +
               "at most " + std::to_string(rig.camWidth / 2 / (2 * rig.cellW) * (2 * rig.cellW)) +
               " px";
    return "";
}

std::string checkRig(const RigConfig& rig, int frameW, int frameH) {
    std::ostringstream why;
    const std::string wide = overlapTooWide(rig);
    if (!wide.empty()) return wide;
    const int cells = rig.overlap / rig.cellW;
    if (cells < 2 || cells % 2 != 0) {
        why << "--overlap " << rig.overlap << " with --cell width " << rig.cellW << " gives "
            << cells << " mask columns; it needs an even number, at least 2 (give a multiple of "
            << 2 * rig.cellW << " px)";
        return why.str();
    }
    if (rigWidth(rig) > frameW) {
        why << "the rig is " << rigWidth(rig) << " px wide (" << rig.cameras << " cameras of "
            << rig.camWidth << " px, " << rig.overlap << " px overlap) but the frames are only "
            << frameW << " px wide";
        return why.str();
    }
    if (zelvo_host::md_blocks(unsigned(frameH)) > 255) {
        why << "frames of " << frameH << " rows exceed the motion map's 255 block rows";
        return why.str();
    }
    const int maskRows = frameH / rig.cellH;
    if (maskRows < 1) {
        why << "--cell height " << rig.cellH << " exceeds the frame height " << frameH;
        return why.str();
    }
    const int bh = int(std::ceil(float(maskRows) / float(rig.blocks)));
    if ((long long)(rig.blocks - 1) * bh >= maskRows) {
        why << "--blocks " << rig.blocks << " cannot cut " << maskRows
            << " mask rows (frame height / cell height) into blocks that all have rows";
        return why.str();
    }
    return "";
}

}  // namespace zsim
