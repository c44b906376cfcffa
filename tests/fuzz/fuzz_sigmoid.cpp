// Blend curves of any length up to 4096 either way, steepness and numerator,
// read out at any centre into exactly len bytes. An odd length leaves an empty
// curve (all fields 0) whose read-outs write nothing; an even one keeps len
// values, which with 0 <= maxVal <= 255 and a finite k >= 0 never rise and
// hold maxVal / 2 truncated at the midpoint. getArr and getArrToAddr agree
// with the curve clamped at its ends and shifted so that its midpoint lands on
// the centre (index arithmetic in wrapping 32-bit integers).
#include <cmath>
#include <vector>

#include "fuzz_common.h"
#include "zelvo_stitch.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zfuzz::silence_stdout();  // the odd-length message
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const int len = in.ConsumeIntegralInRange<int>(-4096, 4096);
    const float k = zfuzz::pick_float(in, -8.0f, 8.0f);
    const int maxVal = in.ConsumeBool() ? 255 : zfuzz::pick_int(in, -512, 512);

    SigmoidCurve curve(len, k, maxVal);
    if (len & 1) {
        FUZZ_CHECK(curve.len == 0 && curve.halfLen == 0 && curve.k == 0.0f && curve.maxVal == 0 &&
                       curve.arr.empty(),
                   "odd length %d left len %d", len, curve.len);
    } else {
        FUZZ_CHECK(curve.len == len && curve.halfLen == (len >> 1) && curve.getLen() == len &&
                       curve.arr.size() == size_t(len > 0 ? len : 0) && curve.maxVal == maxVal &&
                       (std::memcmp(&curve.k, &k, sizeof k) == 0 ||
                        (std::isnan(curve.k) && std::isnan(k))),
                   "length %d stored as %d / %d, %zu values", len, curve.len, curve.halfLen,
                   curve.arr.size());
        if (len > 0 && maxVal >= 0 && maxVal <= 255 && std::isfinite(k) && k >= 0.0f) {
            for (int i = 1; i < len; ++i)
                FUZZ_CHECK(curve.arr[size_t(i)] <= curve.arr[size_t(i - 1)],
                           "rises at %d: %u > %u (k %g, maxVal %d)", i, curve.arr[size_t(i)],
                           curve.arr[size_t(i - 1)], double(k), maxVal);
            FUZZ_CHECK(curve.arr[size_t(len >> 1)] == uint8_t(int(float(maxVal) / 2.0f)),
                       "midpoint %u for maxVal %d", curve.arr[size_t(len >> 1)], maxVal);
        }
    }

    const int reads = in.ConsumeIntegralInRange<int>(1, 4);
    for (int n = 0; n < reads; ++n) {
        const int how = in.ConsumeIntegralInRange<int>(0, 3);
        const int center = how == 0   ? in.ConsumeIntegral<int>()
                           : how == 1 ? zfuzz::pick_int(in, INT_MIN, INT_MAX)
                                      : in.ConsumeIntegralInRange<int>(-2 * 4096, 2 * 4096);
        const size_t n_out = size_t(curve.len > 0 ? curve.len : 0);
        // Exactly len bytes: a write past them is an AddressSanitizer report.
        std::vector<unsigned char> dst(n_out);
        curve.getArrToAddr(center, dst.data());
        const std::vector<unsigned char> arr = curve.getArr(center);
        FUZZ_CHECK(arr == dst, "getArr and getArrToAddr differ at centre %d", center);
        for (size_t j = 0; j < n_out; ++j) {
            const int32_t idx = int32_t(uint32_t(curve.halfLen) - uint32_t(center) + uint32_t(j));
            const uint8_t want = idx < 0            ? curve.arr.front()
                                 : idx >= curve.len ? curve.arr.back()
                                                    : curve.arr[size_t(idx)];
            FUZZ_CHECK(dst[j] == want, "centre %d, output %zu: %u, want %u", center, j, dst[j],
                       want);
        }
    }
    return 0;
}
