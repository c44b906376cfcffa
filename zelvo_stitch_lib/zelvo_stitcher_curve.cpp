/*
 * SigmoidCurve: a precomputed row of blend weights, read out shifted.
 */
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "zelvo_stitch.h"

SigmoidCurve::SigmoidCurve(int window_length, float k_, int maxVal_) {
    if (window_length & 1) {
        printf("window_length for Sigmoid Curve generation must be even.\n");
        return;  // rejected: len, halfLen, k and maxVal stay 0
    }
    maxVal = maxVal_;
    k = k_;
    len = window_length;
    halfLen = window_length >> 1;
    if (len > 0) arr.reserve(size_t(len));
    for (int i = 0; i < len; ++i) {
        const float x = float(i - halfLen);
        const float e = expf(x * k);
        const float v = float(maxVal) / (e + 1.0f);
        // Truncate toward zero into 32 bits, keep the low byte; negatives and
        // NaN give 0. e + 1 >= 1, so |v| <= |maxVal| < 2^31 always fits.
        const uint32_t u = v > 0.0f ? uint32_t(v) : 0u;
        arr.push_back(uint8_t(u & 0xFFu));
    }
}

void SigmoidCurve::getArrToAddr(int center, unsigned char* dst) {
    if (len <= 0) return;
    // idx = (halfLen - center) + j in 32-bit integers, wrapping as the
    // device's arithmetic does for extreme centres.
    const int32_t off = int32_t(uint32_t(halfLen) - uint32_t(center));
    const uint8_t first = arr[0];
    const uint8_t last = arr[size_t(len - 1)];
    if (int64_t(off) + len - 1 > INT32_MAX) {
        for (int j = 0; j < len; ++j) {
            const int32_t idx = int32_t(uint32_t(off) + uint32_t(j));
            dst[j] = idx < 0 ? first : (idx >= len ? last : arr[size_t(idx)]);
        }
        return;
    }
    // No wrap inside the row: a run of first, a straight copy, a run of last.
    const int64_t o = off;
    const int64_t headEnd = std::min<int64_t>(len, std::max<int64_t>(0, -o));
    const int64_t copyEnd = std::min<int64_t>(len, std::max<int64_t>(headEnd, len - o));
    std::memset(dst, first, size_t(headEnd));
    if (copyEnd > headEnd)
        std::memcpy(dst + headEnd, arr.data() + (o + headEnd), size_t(copyEnd - headEnd));
    std::memset(dst + copyEnd, last, size_t(len - copyEnd));
}

std::vector<unsigned char> SigmoidCurve::getArr(int center) {
    std::vector<unsigned char> out(size_t(len > 0 ? len : 0));
    getArrToAddr(center, out.data());
    return out;
}

float SigmoidCurve::getK() { return k; }

int SigmoidCurve::getLen() { return len; }
