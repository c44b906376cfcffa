// Helpers shared by the libFuzzer targets.
#ifndef ZELVO_FUZZ_COMMON_H
#define ZELVO_FUZZ_COMMON_H

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

// A broken invariant is a finding: say which and abort, so that libFuzzer
// keeps the input as a crash artifact.
#define FUZZ_CHECK(cond, ...)                                                              \
    do {                                                                                   \
        if (!(cond)) {                                                                     \
            fprintf(stderr, "%s:%d: invariant broken: %s\n  ", __FILE__, __LINE__, #cond); \
            fprintf(stderr, __VA_ARGS__);                                                  \
            fprintf(stderr, "\n");                                                         \
            abort();                                                                       \
        }                                                                                  \
    } while (0)

namespace zfuzz {

// The stitcher constructor prints unconditionally; libFuzzer reports on
// stderr, so standard output can go.
inline void silence_stdout() {
    if (freopen("/dev/null", "w", stdout) == nullptr) abort();
}

// An int that is usually in [lo, hi] and sometimes one of the values at
// which integer code breaks.
inline int pick_int(FuzzedDataProvider& in, int lo, int hi) {
    static const int kExtremes[] = {INT_MIN, INT_MIN + 1, -65536, -1,    0,           1,
                                    2,       3,           65535,  65536, INT_MAX - 1, INT_MAX};
    if (in.ConsumeIntegralInRange<int>(0, 15) == 0)
        return kExtremes[in.ConsumeIntegralInRange<size_t>(
            0, sizeof kExtremes / sizeof *kExtremes - 1)];
    return in.ConsumeIntegralInRange<int>(lo, hi);
}

// Any float bit pattern (NaN, infinities, denormals included) half of the
// time, a plain value in [lo, hi] otherwise.
inline float pick_float(FuzzedDataProvider& in, float lo, float hi) {
    if (in.ConsumeBool()) {
        const uint32_t bits = in.ConsumeIntegral<uint32_t>();
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    }
    return in.ConsumeFloatingPointInRange<float>(lo, hi);
}

// Fills n bytes from up to `take` input bytes, repeated when they run short
// (zeros once the input is exhausted).
inline void fill_bytes(FuzzedDataProvider& in, uint8_t* dst, size_t n, size_t take) {
    if (n == 0) return;
    const std::vector<uint8_t> src = in.ConsumeBytes<uint8_t>(take < n ? take : n);
    for (size_t i = 0; i < n; ++i) dst[i] = src.empty() ? 0 : src[i % src.size()];
}

}  // namespace zfuzz

#endif
