// SigmoidCurve: curve values, shifted read-outs and rejected lengths.
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"
#include "zelvo_stitch.h"

using Bytes = std::vector<unsigned char>;

// getArrToAddr into a guarded buffer; fails if it writes outside [0, n).
Bytes read_to_addr(SigmoidCurve& c, int center, size_t n) {
    Bytes buf(n + 8, 0xEE);
    c.getArrToAddr(center, buf.data() + 4);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 4), Bytes(buf.end() - 4, buf.end())) << "wrote outside";
    EXPECT_EQ(buf[0], 0xEE);
    return Bytes(buf.begin() + 4, buf.end() - 4);
}

TEST(SigmoidCurve, ValuesAreTheLowByteOfTheTruncatedQuotient) {
    const struct { int len; float k; int maxVal; Bytes arr; } cases[] = {
        {8, 0.25f, 255, {186, 173, 158, 143, 127, 111, 96, 81}},
        {8, 4.0f, 255, {254, 254, 254, 250, 127, 4, 0, 0}},  // 255/(1+e^-16) < 255 in float
        {8, 0.0f, 255, {127, 127, 127, 127, 127, 127, 127, 127}},
        {8, 2.0f, 255, {254, 254, 250, 224, 127, 30, 4, 0}},
        {8, 0.5f, 255, {224, 208, 186, 158, 127, 96, 68, 46}},
        {2, 0.0f, 1000, {244, 244}},    // 500 = 0x1F4, not clamped
        {4, 1.0f, -255, {0, 0, 0, 0}},  // negative quotients give 0
    };
    for (const auto& c : cases)
        EXPECT_EQ(SigmoidCurve(c.len, c.k, c.maxVal).arr, c.arr) << "k " << c.k << " maxVal " << c.maxVal;
}

// The midpoint lands on the centre; outside the curve the end values extend.
TEST(SigmoidCurve, ShiftedReadOuts) {
    SigmoidCurve s(8, 0.25f, 255);
    const Bytes arr = s.arr;
    const struct { int center; Bytes out; } cases[] = {
        {0, {127, 111, 96, 81, 81, 81, 81, 81}},
        {7, {186, 186, 186, 186, 173, 158, 143, 127}},
        {4, arr},
        {-100, Bytes(8, 81)},
        {1000, Bytes(8, 186)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(s.getArr(c.center), c.out) << "center " << c.center;
        EXPECT_EQ(read_to_addr(s, c.center, 8), c.out) << "center " << c.center;
    }
    EXPECT_EQ(s.arr, arr);  // read-outs leave the curve alone
}

TEST(SigmoidCurve, OddLengthPrintsOnceAndEmptyCurvesReadNothing) {
    zelvo_stitch_set_dbg_out(0);  // the message ignores every print switch
    dbg_enable = 0;
    zt::StdoutCapture cap;
    SigmoidCurve odd(7, 0.25f, 255);
    EXPECT_EQ(cap.take(), "window_length for Sigmoid Curve generation must be even.\n");
    zelvo_stitch_set_dbg_out(1);
    EXPECT_EQ(odd.getLen() + odd.getK(), 0.0f);
    SigmoidCurve empty(0, 2.0f, 255);
    for (SigmoidCurve* c : {&odd, &empty})
        EXPECT_TRUE(c->arr.empty() && c->getArr(0).empty() && read_to_addr(*c, 3, 0).empty());
}
