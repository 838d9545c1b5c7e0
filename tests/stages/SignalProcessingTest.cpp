#include "stages/SignalProcessing.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <random>
#include <vector>

using namespace tarvio;

namespace {

std::vector<std::complex<double>> NaiveDFT(const std::vector<TComplex>& x, int sign) {
    size_t n = x.size();
    std::vector<std::complex<double>> out(n);
    for (size_t k = 0; k < n; ++k)
        for (size_t j = 0; j < n; ++j)
            out[k] += std::complex<double>(x[j].Re, x[j].Im) *
                      std::polar(1.0, sign * 2 * M_PI * double(k * j % n) / double(n));
    return out;
}

} // namespace

TEST(ComplexFFT, CosineInBinThreeGivesHalfNInBinsThreeAndThirteen) {
    std::vector<TComplex> x(16);
    for (int n = 0; n < 16; ++n)
        x[n] = {float(std::cos(2 * M_PI * 3 * n / 16)), 0.0f};
    ComplexFFT(x.data(), 16, 1);
    for (int k = 0; k < 16; ++k) {
        float mag = std::hypot(x[k].Re, x[k].Im);
        EXPECT_NEAR(mag, (k == 3 || k == 13) ? 8.0f : 0.0f, 1e-5f) << "bin " << k;
    }
}

TEST(ComplexFFT, SmallAndInvalidSizes) {
    TComplex one[1] = {{3.0f, -2.0f}};
    ComplexFFT(one, 1, 1);
    EXPECT_EQ(one[0].Re, 3.0f);
    EXPECT_EQ(one[0].Im, -2.0f);

    TComplex two[2] = {{1.0f, 2.0f}, {4.0f, -1.0f}};
    ComplexFFT(two, 2, 1); // one butterfly
    EXPECT_FLOAT_EQ(two[0].Re, 5.0f);
    EXPECT_FLOAT_EQ(two[0].Im, 1.0f);
    EXPECT_FLOAT_EQ(two[1].Re, -3.0f);
    EXPECT_FLOAT_EQ(two[1].Im, 3.0f);

    // Not a power of two: untouched (and no endless bit-reversal loop).
    TComplex three[3] = {{1, 0}, {2, 0}, {3, 0}};
    ComplexFFT(three, 3, 1);
    EXPECT_EQ(three[1].Re, 2.0f);
    ComplexFFT(nullptr, 0, 1);
}

// Both directions against a plain DFT of random data, for several sizes.
class ComplexFFTDirection : public testing::TestWithParam<std::tuple<uint32_t, int>> {};

TEST_P(ComplexFFTDirection, MatchesPlainDFT) {
    auto [n, direction] = GetParam();
    std::mt19937 rng(n);
    std::uniform_real_distribution<float> d(-1, 1);
    std::vector<TComplex> x(n);
    for (auto& c : x)
        c = {d(rng), d(rng)};
    auto expected = NaiveDFT(x, direction == 1 ? -1 : 1);
    ComplexFFT(x.data(), n, direction);
    for (uint32_t k = 0; k < n; ++k) {
        EXPECT_NEAR(x[k].Re, expected[k].real(), 2e-4 * n) << "bin " << k;
        EXPECT_NEAR(x[k].Im, expected[k].imag(), 2e-4 * n) << "bin " << k;
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, ComplexFFTDirection,
                         testing::Combine(testing::Values(4u, 16u, 256u), testing::Values(1, 0, -1)));

TEST(SampleToFloat, EdgeValues) {
    const uint8_t u8[] = {0, 128, 255};
    float f[3];
    U8ToFloat(u8, f, 3);
    EXPECT_EQ(f[0], -1.0f);
    EXPECT_EQ(f[1], 0.0f);
    EXPECT_EQ(f[2], 0.9921875f);

    // Unaligned source on purpose.
    const uint8_t s16[] = {0xEE, 0x00, 0x80, 0xFF, 0x7F, 0x01, 0x00};
    S16ToFloat(s16 + 1, f, 3);
    EXPECT_EQ(f[0], -1.0f);
    EXPECT_EQ(f[1], 32767.0f / 32768.0f);
    EXPECT_EQ(f[2], 1.0f / 32768.0f);

    const uint8_t s24[] = {0xFF, 0x00, 0x00, 0x00, 0x00, 0x80, 0xFF, 0xFF, 0xFF};
    S24ToFloat(s24, f, 3);
    EXPECT_EQ(f[0], 255.0f / 8388608.0f);
    EXPECT_EQ(f[1], -1.0f);
    EXPECT_EQ(f[2], -1.0f / 8388608.0f);

    const uint8_t s32[] = {0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x40, 0xFF, 0xFF, 0xFF, 0xFF};
    S32ToFloat(s32, f, 3);
    EXPECT_EQ(f[0], -1.0f);
    EXPECT_EQ(f[1], 0.5f);
    EXPECT_EQ(f[2], -1.0f / 2147483648.0f);
}

TEST(FloatToInt32, SingleValues) {
    std::vector<float> x = {1.5f, 1.0f, -1.0f, -7.0f, 0.5f, -0.5f, 0.0f, -1e-10f, std::nanf("")};
    const int32_t expected[] = {2147483647,  2147483647, INT32_MIN, INT32_MIN, 1073741823,
                                -1073741824, 0,          -1,        0};
    // One extra byte that is not a whole value stays as it is.
    std::vector<uint8_t> buf(x.size() * 4 + 1, 0xAB);
    std::memcpy(buf.data(), x.data(), x.size() * 4);
    SingleToInt32(buf.data(), static_cast<uint32_t>(buf.size()));
    for (size_t i = 0; i < x.size(); ++i) {
        int32_t v;
        std::memcpy(&v, buf.data() + 4 * i, 4);
        EXPECT_EQ(v, expected[i]) << "value " << x[i];
    }
    EXPECT_EQ(buf.back(), 0xAB);
}

TEST(FloatToInt32, DoublesArePackedToTheFront) {
    const double x[] = {0.5, -1.0, 0.25, 2.0};
    uint8_t buf[32];
    std::memcpy(buf, x, 32);
    DoubleToInt32(buf, 32);
    int32_t v[4];
    std::memcpy(v, buf, 16);
    EXPECT_EQ(v[0], 1073741823);
    EXPECT_EQ(v[1], INT32_MIN);
    EXPECT_EQ(v[2], 536870911);
    EXPECT_EQ(v[3], 2147483647);

    // 12 bytes hold one double: only the first 4 bytes change.
    uint8_t small[12];
    const double h = -0.5;
    std::memcpy(small, &h, 8);
    std::memset(small + 8, 0xCD, 4);
    uint8_t before[12];
    std::memcpy(before, small, 12);
    DoubleToInt32(small, 12);
    int32_t r;
    std::memcpy(&r, small, 4);
    EXPECT_EQ(r, -1073741824);
    EXPECT_EQ(std::memcmp(small + 4, before + 4, 8), 0);
}

TEST(SameGUID, EveryByteCounts) {
    const TGUID a = {0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
    EXPECT_TRUE(SameGUID(a, a));
    for (size_t i = 0; i < 16; ++i) {
        TGUID b = a;
        reinterpret_cast<uint8_t*>(&b)[i] ^= 0x01;
        EXPECT_FALSE(SameGUID(a, b)) << "byte " << i;
    }
}

TEST(TextSplit, AtTheEqualsSign) {
    struct Case {
        const char* text;
        const char* before;
        const char* after;
    };
    const Case cases[] = {
        {"TITLE=Song", "TITLE", "Song"}, {"NoEquals", "", ""}, {"=value", "", "value"}, {"KEY=", "KEY", ""},
        {"A=B=C", "A", "B=C"},           {"", "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TextBefore('=', c.text), c.before) << c.text;
        EXPECT_EQ(TextAfter('=', c.text), c.after) << c.text;
    }
    // Byte strings: embedded zero bytes are ordinary bytes.
    std::string z("a\0b=c\0d", 7);
    EXPECT_EQ(TextBefore('=', z), std::string("a\0b", 3));
    EXPECT_EQ(TextAfter('=', z), std::string("c\0d", 3));
}
