#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>

#include "trading/wire/decimal.h"

namespace zq {
namespace {

Decimal D(const char* text) {
    auto d = Decimal::Parse(text);
    EXPECT_TRUE(d.has_value()) << text;
    return d.value_or(Decimal::Invalid());
}

// The reference conversion: the binary value's exact expansion rounded to `digits`
// significant digits by the C library.
Decimal Reference(double v, int digits) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*e", digits - 1, v);
    return D(buf);
}

TEST(Decimal, FloatsKeepSevenDigitsAndDoublesFifteen) {
    EXPECT_EQ(Decimal::FromFloat(0.1f).ToString(), "0.1");
    EXPECT_EQ(Decimal::FromFloat(1650.5f).ToString(), "1650.5");
    EXPECT_EQ(Decimal::FromFloat(1.23456789f).ToString(), "1.234568");
    EXPECT_EQ(Decimal::FromFloat(-0.3f).ToString(), "-0.3");
    EXPECT_EQ(Decimal::FromFloat(16777217.0f).ToString(), "16777220");  // float holds 16777216
    EXPECT_EQ(Decimal::FromFloat(3.0e20f).ToString(), "300000000000000000000");

    EXPECT_EQ(Decimal::FromScaled(165482, 2).ToString(), "1654.82");
    EXPECT_EQ(Decimal::FromScaled(-5, 3).ToString(), "-0.005");
    EXPECT_EQ(Decimal::FromScaled(7, 0), Decimal::FromInt(7));

    EXPECT_EQ(Decimal::FromDouble(0.1).ToString(), "0.1");
    EXPECT_EQ(Decimal::FromDouble(1.0 / 3).ToString(), "0.333333333333333");
    EXPECT_EQ(Decimal::FromDouble(2.0 / 3).ToString(), "0.666666666666667");
    EXPECT_EQ(Decimal::FromDouble(123456789012345678.0).ToString(), "123456789012346000");
    EXPECT_EQ(Decimal::FromDouble(-98765.4321).ToString(), "-98765.4321");
    EXPECT_EQ(Decimal::FromDouble(1e-5).ToString(), "0.00001");
    EXPECT_EQ(Decimal::FromDouble(0.0).ToString(), "0");
    EXPECT_FALSE(Decimal::FromDouble(-0.0).IsNegative());

    // Beyond scale 28 the 15 digits are rounded again, ties to even.
    EXPECT_EQ(Decimal::FromDouble(2.5e-28), D("0.0000000000000000000000000002"));
    EXPECT_EQ(Decimal::FromDouble(3.5e-28), D("0.0000000000000000000000000004"));
    EXPECT_TRUE(Decimal::FromDouble(1e-30).IsZero());

    // What 96 bits cannot hold is no number.
    EXPECT_FALSE(Decimal::FromDouble(1e29).Valid());
    EXPECT_FALSE(Decimal::FromFloat(-1e30f).Valid());
    EXPECT_FALSE(Decimal::FromDouble(std::nan("")).Valid());
    EXPECT_FALSE(Decimal::FromFloat(INFINITY).Valid());
    EXPECT_TRUE(Decimal::FromDouble(7.9e28).Valid());
}

TEST(Decimal, ConversionsMatchTheExactExpansionAcrossMagnitudes) {
    std::mt19937_64 rng(20240601);
    std::uniform_real_distribution<double> exponent(-31.0, 28.5);
    std::uniform_real_distribution<double> mantissa(1.0, 10.0);
    for (int i = 0; i < 20000; ++i) {
        double v = mantissa(rng) * std::pow(10.0, std::floor(exponent(rng)));
        if (i % 2) v = -v;
        if (i % 7 == 0) v = std::round(v * 100) / 100;  // money-like values
        Decimal want = Reference(v, 15);
        Decimal got = Decimal::FromDouble(v);
        ASSERT_EQ(got.Valid(), want.Valid()) << v;
        if (got.Valid()) {
            ASSERT_EQ(got, want) << std::hexfloat << v << " " << got.ToString();
        }

        float f = static_cast<float>(v);
        if (std::isinf(f)) continue;
        Decimal wantF = Reference(f, 7);
        Decimal gotF = Decimal::FromFloat(f);
        ASSERT_EQ(gotF.Valid(), wantF.Valid()) << f;
        if (gotF.Valid()) {
            ASSERT_EQ(gotF, wantF) << std::hexfloat << f << " " << gotF.ToString();
        }
    }
}

TEST(Decimal, BackToBinaryIsTheNearestValue) {
    EXPECT_EQ(D("0.1").ToDouble(), 0.1);
    EXPECT_EQ(D("0.1").ToFloat(), 0.1f);
    EXPECT_EQ(D("-1650.55").ToFloat(), -1650.55f);
    EXPECT_EQ(D("1234567.891").ToFloat(), 1234567.891f);
    EXPECT_EQ(D("0.3333333333333333333333333333").ToDouble(), 1.0 / 3);
    EXPECT_EQ(D("79228162514264337593543950335").ToDouble(), 79228162514264337593543950335.0);
    EXPECT_EQ(D("123456789.123456789123456789").ToDouble(), 123456789.123456789123456789);
    EXPECT_TRUE(std::isnan(Decimal::Invalid().ToFloat()));
    EXPECT_TRUE(std::isnan(Decimal::Invalid().ToDouble()));
}

TEST(Decimal, SumsAreExactWhereBinarySumsDrift) {
    Decimal sum;
    float binary = 0;
    for (int i = 0; i < 10000; ++i) {
        sum += Decimal::FromFloat(0.01f);
        binary += 0.01f;
    }
    EXPECT_EQ(sum, Decimal::FromInt(100));
    EXPECT_EQ(sum.ToFloat(), 100.0f);
    EXPECT_NE(binary, 100.0f);  // what the decimal sum protects against

    EXPECT_EQ(Decimal::FromDouble(0.1) + Decimal::FromDouble(0.2), D("0.3"));
    EXPECT_EQ(D("1") - D("2.5"), D("-1.5"));
    EXPECT_EQ(D("-1.25") + D("-0.75"), D("-2"));
    Decimal zero = D("1.5") - D("1.50");
    EXPECT_TRUE(zero.IsZero());
    EXPECT_FALSE(zero.IsNegative());
    // Far-apart scales line up exactly while they fit.
    EXPECT_EQ((D("10000000000000") + D("0.00000000000001")).ToString(),
              "10000000000000.00000000000001");
}

TEST(Decimal, RoundingToNinetySixBitsIsHalfEven) {
    const Decimal max = D("79228162514264337593543950335");
    EXPECT_EQ(max + D("0.4"), max);
    EXPECT_FALSE((max + D("0.5")).Valid());  // ties to the even 336, which does not fit
    EXPECT_EQ(D("79228162514264337593543950334") + D("0.5"), D("79228162514264337593543950334"));
    EXPECT_EQ(D("79228162514264337593543950333") + D("0.5"), D("79228162514264337593543950334"));
    // ...33.55 needs the mantissa 2^96 at scale 1, so it rounds at scale 0.
    EXPECT_EQ(D("7922816251426433759354395033") + D("0.55"), D("7922816251426433759354395034"));
    EXPECT_FALSE((max + D("1")).Valid());
    EXPECT_FALSE((-max - D("1")).Valid());

    // Products beyond scale 28 round at the 28th decimal.
    const Decimal tiny = D("0.00000000000001");
    EXPECT_EQ(D("1.000000000000005") * tiny, D("0.0000000000000100000000000000"));
    EXPECT_EQ(D("1.000000000000015") * tiny, D("0.0000000000000100000000000002"));
    EXPECT_EQ(D("1.000000000000025") * tiny, D("0.0000000000000100000000000002"));
    EXPECT_EQ(D("1.0000000000000251") * tiny, D("0.0000000000000100000000000003"));
    EXPECT_TRUE((tiny * tiny * tiny).IsZero());
    // Products too large for scale 0.
    EXPECT_FALSE((max * D("1.5")).Valid());
    EXPECT_EQ(D("-1.5") * D("-1.5"), D("2.25"));
    EXPECT_EQ(D("3") * D("-0.5"), D("-1.5"));
    EXPECT_EQ((D("4000000000000000000000000000") * D("2")).ToString(),
              "8000000000000000000000000000");
    EXPECT_EQ(D("12345678901234.5678") * D("98765432109876.5432"),
              D("1219326311370217943225118122.2"));
}

TEST(Decimal, QuotientsCarryEveryDigitThatFits) {
    EXPECT_EQ((D("1") / D("3")).ToString(), "0.3333333333333333333333333333");
    EXPECT_EQ((D("2") / D("3")).ToString(), "0.6666666666666666666666666667");
    EXPECT_EQ((D("10") / D("4")).ToString(), "2.5");
    EXPECT_EQ((D("-7") / D("2")).ToString(), "-3.5");
    EXPECT_EQ((D("1000") / D("0.001")).ToString(), "1000000");
    EXPECT_EQ((D("100") / D("7")).ToString(), "14.285714285714285714285714286");
    // Ties at the 28th decimal go to even; anything beyond the tie goes up.
    EXPECT_TRUE((D("0.0000000000000000000000000001") / D("2")).IsZero());
    EXPECT_EQ(D("0.0000000000000000000000000003") / D("2"), D("0.0000000000000000000000000002"));
    EXPECT_EQ(D("0.0000000000000000000000000001") / D("1.9999"),
              D("0.0000000000000000000000000001"));
    // Divisors wider than 64 bits.
    EXPECT_EQ(D("79228162514264337593543950335") / D("79228162514264337593543950335"), D("1"));
    EXPECT_EQ((D("1") / D("18446744073709551617")).ToString(), "0.0000000000000000000542101086");
    EXPECT_EQ(D("2") / D("0.00000000000000000001"), D("200000000000000000000"));
    EXPECT_FALSE((D("79228162514264337593543950335") / D("0.5")).Valid());
    EXPECT_FALSE((D("1") / Decimal()).Valid());
    EXPECT_TRUE((Decimal() / D("3")).IsZero());
}

TEST(Decimal, ComparesByValueAndInvalidStaysInvalid) {
    EXPECT_EQ(D("1.50"), D("1.5"));
    EXPECT_LT(D("-1"), D("0.5"));
    EXPECT_LT(D("-2"), D("-1.5"));
    EXPECT_GT(D("0.0000000000000000000000000001"), Decimal());
    EXPECT_GT(D("7922816251426433759354395033.5"), D("7922816251426433759354395033"));
    EXPECT_LT(D("-7922816251426433759354395033.5"), D("-7922816251426433759354395033.4"));

    Decimal bad = Decimal::Invalid();
    EXPECT_FALSE(bad == bad);
    EXPECT_FALSE(bad < D("1") || bad > D("1"));
    EXPECT_FALSE((bad + D("1")).Valid());
    EXPECT_FALSE((D("1") * bad).Valid());
    EXPECT_FALSE((-bad).Valid());

    for (const char* text : {"", "-", ".", "1.2.3", "1e", "abc", "1 ", "--1", "1e+"})
        EXPECT_FALSE(Decimal::Parse(text).has_value()) << text;
    EXPECT_EQ(D("1.5e3"), D("1500"));
    EXPECT_EQ(D("+.5"), D("0.5"));
    EXPECT_FALSE(D("1e29").Valid());
    EXPECT_TRUE(D("1e-400").IsZero());
}

}  // namespace
}  // namespace zq
