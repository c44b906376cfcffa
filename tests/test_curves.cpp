// SigmoidCurve: curve values, shifted read-outs and rejected lengths.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"
#include "zelvo_stitch.h"

namespace {

using Bytes = std::vector<unsigned char>;

const char kOddMessage[] = "window_length for Sigmoid Curve generation must be even.\n";

// Builds a curve, returning what its construction printed.
std::string build(SigmoidCurve*& out, int len, float k, int maxVal) {
    zt::StdoutCapture cap;
    out = new SigmoidCurve(len, k, maxVal);
    return cap.take();
}

// getArrToAddr into a guarded buffer: returns the written bytes and checks
// that nothing beyond len was touched.
Bytes read_to_addr(SigmoidCurve& c, int center, int expected_len) {
    const int n = expected_len > 0 ? expected_len : 0;
    std::vector<unsigned char> buf(size_t(n) + 8, 0xEE);
    c.getArrToAddr(center, buf.data() + 4);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(buf[size_t(i)], 0xEE) << "wrote before dst";
        EXPECT_EQ(buf[size_t(n) + 4 + i], 0xEE) << "wrote past len";
    }
    return Bytes(buf.begin() + 4, buf.begin() + 4 + n);
}

TEST(SigmoidValues, LengthEightRows) {
    struct Case {
        float k;
        Bytes arr;
    };
    const Case cases[] = {
        {0.25f, {186, 173, 158, 143, 127, 111, 96, 81}},
        // 255 / (1 + e^-16) rounds just below 255 in single precision.
        {4.0f, {254, 254, 254, 250, 127, 4, 0, 0}},
        {0.0f, {127, 127, 127, 127, 127, 127, 127, 127}},
        {2.0f, {254, 254, 250, 224, 127, 30, 4, 0}},
        {0.5f, {224, 208, 186, 158, 127, 96, 68, 46}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "k " << c.k);
        SigmoidCurve* s;
        EXPECT_EQ(build(s, 8, c.k, 255), "");
        EXPECT_EQ(s->arr, c.arr);
        EXPECT_EQ(s->len, 8);
        EXPECT_EQ(s->halfLen, 4);
        EXPECT_EQ(s->maxVal, 255);
        EXPECT_EQ(s->k, c.k);
        EXPECT_EQ(s->getLen(), 8);
        EXPECT_EQ(s->getK(), c.k);
        delete s;
    }
}

// The value is the low byte of the truncated quotient, not a clamped one.
TEST(SigmoidValues, LowByteOfTruncatedQuotient) {
    struct Case {
        int len;
        float k;
        int maxVal;
        Bytes arr;
    };
    const Case cases[] = {
        {2, 0.0f, 1000, {244, 244}},  // 500 -> 0x1F4
        {2, 0.0f, 511, {255, 255}},   // 255.5 -> 255
        {2, 0.0f, 513, {0, 0}},       // 256.5 -> 256 -> 0
        {4, 1.0f, -255, {0, 0, 0, 0}},  // negative quotients give 0
        {4, 1.0f, 0, {0, 0, 0, 0}},
        {2, 0.0f, 1, {0, 0}},  // 0.5 truncates to 0
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "len " << c.len << " maxVal " << c.maxVal);
        SigmoidCurve s(c.len, c.k, c.maxVal);
        EXPECT_EQ(s.arr, c.arr);
    }
}

// Shape of the seven set-up curves at realistic widths: midpoint 127,
// falling left to right, symmetric about the midpoint up to truncation.
TEST(SigmoidValues, MidpointAndShapeAtSetupWidths) {
    const float ks[7] = {0.0f, 0.0625f, 0.125f, 0.25f, 0.5f, 2.0f, 4.0f};
    for (int len : {2, 32, 160, 320}) {
        for (float k : ks) {
            SCOPED_TRACE(testing::Message() << "len " << len << " k " << k);
            SigmoidCurve s(len, k, 255);
            ASSERT_EQ(s.arr.size(), size_t(len));
            EXPECT_EQ(s.arr[size_t(len / 2)], 127);
            int rising = 0, asymmetric = 0;
            for (int i = 1; i < len; ++i) {
                if (s.arr[size_t(i)] > s.arr[size_t(i - 1)]) ++rising;
                // v(h+d) + v(h-d) = 255 exactly in reals; truncation loses < 2.
                const int d = i - len / 2;
                if (len / 2 - d >= 0 && len / 2 - d < len) {
                    const int sum = s.arr[size_t(i)] + s.arr[size_t(len / 2 - d)];
                    if (sum < 253 || sum > 255) ++asymmetric;
                }
            }
            EXPECT_EQ(rising, 0);
            EXPECT_EQ(asymmetric, 0);
        }
    }
}

TEST(SigmoidReadout, ShiftedCentres) {
    SigmoidCurve s(8, 0.25f, 255);
    const Bytes arr = {186, 173, 158, 143, 127, 111, 96, 81};
    ASSERT_EQ(s.arr, arr);
    struct Case {
        int center;
        Bytes out;
    };
    const Case cases[] = {
        {0, {127, 111, 96, 81, 81, 81, 81, 81}},
        {7, {186, 186, 186, 186, 173, 158, 143, 127}},
        {4, arr},
        {3, {173, 158, 143, 127, 111, 96, 81, 81}},
        {5, {186, 186, 173, 158, 143, 127, 111, 96}},
        {-4, {81, 81, 81, 81, 81, 81, 81, 81}},   // midpoint just off the left end
        {-3, {81, 81, 81, 81, 81, 81, 81, 81}},   // arr[7] at output 0
        {11, {186, 186, 186, 186, 186, 186, 186, 186}},  // arr[0] lands at 7
        {12, {186, 186, 186, 186, 186, 186, 186, 186}},
        {-100, Bytes(8, 81)},
        {1000, Bytes(8, 186)},
        {INT_MAX, Bytes(8, 186)},
        {-2147483000, Bytes(8, 81)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "center " << c.center);
        EXPECT_EQ(s.getArr(c.center), c.out);
        EXPECT_EQ(read_to_addr(s, c.center, 8), c.out);
    }
    EXPECT_EQ(s.arr, arr);  // read-outs leave the curve alone
}

// Every centre across a wide curve: the midpoint lands at the centre and the
// read-out is the curve translated, ends extended.
TEST(SigmoidReadout, MidpointLandsOnCentre) {
    SigmoidCurve s(64, 0.5f, 255);
    for (int center = -3; center <= 67; ++center) {
        const Bytes out = s.getArr(center);
        ASSERT_EQ(out.size(), 64u);
        int wrong = 0;
        for (int j = 0; j < 64; ++j) {
            const int idx = std::min(std::max(32 - center + j, 0), 63);
            if (out[size_t(j)] != s.arr[size_t(idx)]) ++wrong;
        }
        EXPECT_EQ(wrong, 0) << "center " << center;
        if (center >= 0 && center < 64) EXPECT_EQ(out[size_t(center)], 127) << center;
        EXPECT_EQ(read_to_addr(s, center, 64), out) << "center " << center;
    }
}

// ---------------------------------------------------------------------------
// Rejected and empty curves
// ---------------------------------------------------------------------------

TEST(SigmoidRejected, OddLengthPrintsOnceAndYieldsNothing) {
    for (int len : {7, 1, -3, 321}) {
        SCOPED_TRACE(testing::Message() << "len " << len);
        SigmoidCurve* s;
        // The message ignores every print switch.
        zelvo_stitch_set_dbg_out(0);
        dbg_enable = 0;
        EXPECT_EQ(build(s, len, 0.25f, 255), kOddMessage);
        zelvo_stitch_set_dbg_out(1);
        EXPECT_TRUE(s->arr.empty());
        EXPECT_EQ(s->len, 0);
        EXPECT_EQ(s->halfLen, 0);
        EXPECT_EQ(s->k, 0.0f);
        EXPECT_EQ(s->maxVal, 0);
        EXPECT_EQ(s->getLen(), 0);
        EXPECT_EQ(s->getK(), 0.0f);
        EXPECT_TRUE(s->getArr(0).empty());
        EXPECT_TRUE(read_to_addr(*s, 3, 0).empty());
        delete s;
    }
}

TEST(SigmoidRejected, EmptyEvenLengths) {
    for (int len : {0, -4}) {
        SCOPED_TRACE(testing::Message() << "len " << len);
        SigmoidCurve* s;
        EXPECT_EQ(build(s, len, 2.0f, 255), "");
        EXPECT_TRUE(s->arr.empty());
        EXPECT_EQ(s->getLen(), len);
        EXPECT_EQ(s->halfLen, len >> 1);
        EXPECT_EQ(s->getK(), 2.0f);
        EXPECT_TRUE(s->getArr(0).empty());
        EXPECT_TRUE(s->getArr(-5).empty());
        EXPECT_TRUE(read_to_addr(*s, 0, 0).empty());
        delete s;
    }
}

TEST(SigmoidCopy, CopyOwnsItsValues) {
    SigmoidCurve a(8, 0.5f, 255);
    SigmoidCurve b = a;
    b.arr[0] = 1;
    EXPECT_EQ(a.arr[0], 224);
    std::vector<SigmoidCurve> held;
    held.push_back(a);
    held.push_back(SigmoidCurve(16, 4.0f, 255));
    EXPECT_EQ(held[0].getArr(4), a.getArr(4));
    EXPECT_EQ(held[1].getLen(), 16);
}

}  // namespace
