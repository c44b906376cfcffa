// Convergence of each overlap's shift, and shift.csv.
#include "io/results.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace zsim {

std::vector<Segment> analyse(const Track& t, int tolerance) {
    std::vector<Segment> segs;
    const int n = int(t.truth.size());
    for (int f = 0; f < n;) {
        Segment s;
        s.from = f;
        s.truth = t.truth[f];
        while (f < n && t.truth[f] == s.truth) ++f;
        s.to = f;
        int k = s.to - 1;
        while (k >= s.from && std::abs(t.shift[k] - s.truth) <= tolerance) --k;
        s.settledAt = k == s.to - 1 ? -1 : k + 1;
        segs.push_back(s);
    }
    return segs;
}

Settle settle(const Track& t, int period) {
    Settle s;
    const int n = int(t.shift.size());
    s.since = n;
    while (s.since > 0 && (s.since == n || t.shift[s.since - 1] == t.shift[n - 1])) --s.since;
    // Frame f is a tracking frame when f is a multiple of the period (the host
    // and the library both count from 0).
    for (int f = s.since; f < n; ++f) s.trackingFrames += period == 0 || f % period == 0;
    return s;
}

std::string count(int n, const std::string& noun) {
    return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

void writeCsv(const std::string& path, const std::vector<Track>& tracks) {
    std::ofstream f(path);
    f << "frame,overlap,shift_px,true_px,residual_px\n";
    const size_t frames = tracks.empty() ? 0 : tracks[0].shift.size();
    for (size_t k = 0; k < frames; ++k)
        for (size_t i = 0; i < tracks.size(); ++i) {
            f << k << "," << i << "," << tracks[i].shift[k] << ",";
            if (!tracks[i].truth.empty()) f << tracks[i].truth[k];  // a real rig has none
            f << ",";
            if (k < tracks[i].residual.size() && std::isfinite(tracks[i].residual[k])) {
                char buf[24];
                const double r = tracks[i].residual[k];
                std::snprintf(buf, sizeof buf, "%.2f", std::abs(r) < 0.005 ? 0.0 : r);  // no -0.00
                f << buf;
            }
            f << "\n";
        }
    if (!f) throw OutputError("cannot write " + path);
}

}  // namespace zsim
