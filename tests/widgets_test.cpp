// The rules behind the numeric edit field and the sort list: fixed-point texts in both
// directions with their rounding, the reading of numbers, header clicks and cell comparison.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <string>
#include <vector>

#include "widgets/fixed_point_text.h"
#include "widgets/number_text.h"
#include "widgets/sort_rules.h"

namespace zq {
namespace {

std::string Count(std::string_view shown, int d, std::size_t buffer = kFixedPointTextLength) {
    return FixedPointRead(shown, d, buffer).integer;
}
std::string Normalised(std::string_view shown, int d) {
    return FixedPointRead(shown, d).display;
}

TEST(FixedPointTextTest, CountsShowWithTheFieldsDecimals) {
    EXPECT_EQ(DisplayFromFixedPoint("165050", 2), "1650.50");
    EXPECT_EQ(DisplayFromFixedPoint("5", 2), "0.05");
    EXPECT_EQ(DisplayFromFixedPoint("-5", 2), "-0.05");
    EXPECT_EQ(DisplayFromFixedPoint("0", 4), "0.0000");
    EXPECT_EQ(DisplayFromFixedPoint("7", 0), "7");
    // The dialogs write counts with "%g", which may carry an exponent.
    EXPECT_EQ(DisplayFromFixedPoint("1e+06", 2), "10000.00");
    EXPECT_EQ(DisplayFromFixedPoint("abc", 2), "0.00");
    EXPECT_EQ(DisplayFromFixedPoint("", 1), "0.0");
    // A count with a fraction is first made whole.
    EXPECT_EQ(DisplayFromFixedPoint("2.5", 1), "0.3");
    EXPECT_EQ(DisplayFromFixedPoint("-0.4", 2), "0.00");
}

TEST(FixedPointTextTest, ReadingNormalisesTheDisplayAndAnswersTheCount) {
    const FixedPointReading r = FixedPointRead("1650.5", 2);
    EXPECT_EQ(r.display, "1650.50");
    EXPECT_EQ(r.integer, "165050");
    EXPECT_EQ(Normalised("  12.3abc", 1), "12.3");
    EXPECT_EQ(Count("  12.3abc", 1), "123");
    EXPECT_EQ(Normalised("abc", 2), "0.00");
    EXPECT_EQ(Count("", 2), "0");
    // The point is always '.', whatever the locale: a comma ends the number.
    EXPECT_EQ(Count("1650,5", 2), "165000");
    EXPECT_EQ(Count("1.5e2", 2), "15000");
    EXPECT_EQ(Count("1e", 0), "1");
    EXPECT_EQ(Count("+.5", 1), "5");
}

TEST(FixedPointTextTest, TypedValuesRoundHalfAwayFromZero) {
    EXPECT_EQ(Count("0.005", 2), "1");
    EXPECT_EQ(Normalised("0.005", 2), "0.01");
    EXPECT_EQ(Count("-0.005", 2), "-1");
    EXPECT_EQ(Normalised("-0.005", 2), "-0.01");
    EXPECT_EQ(Count("0.0049999", 2), "0");
    EXPECT_EQ(Count("0.00500001", 2), "1");
    // Values whose binary products with the scale fall just below one half.
    EXPECT_EQ(Count("1.005", 2), "101");
    EXPECT_EQ(Count("2.675", 2), "268");
    EXPECT_EQ(Count("0.015", 2), "2");
    EXPECT_EQ(Count("1.25", 1), "13");
    EXPECT_EQ(Count("-1.25", 1), "-13");
    // A carry through every digit.
    EXPECT_EQ(Count("9.995", 2), "1000");
    EXPECT_EQ(Normalised("9.995", 2), "10.00");
    // What rounds to nothing is shown without a sign.
    EXPECT_EQ(Normalised("-0.004", 2), "0.00");
    EXPECT_EQ(Count("-0.004", 2), "0");
}

TEST(FixedPointTextTest, NegativeDecimalsCountTensAndHundreds) {
    EXPECT_EQ(DisplayFromFixedPoint("5", -2), "500");
    EXPECT_EQ(DisplayFromFixedPoint("0", -2), "0");
    EXPECT_EQ(Count("512", -2), "5");
    EXPECT_EQ(Normalised("512", -2), "500");
    EXPECT_EQ(Count("550", -2), "6");
    EXPECT_EQ(Normalised("-550", -2), "-600");
    EXPECT_EQ(Count("49", -2), "0");
}

TEST(FixedPointTextTest, CountsSaturateAndAreCutToTheBuffer) {
    EXPECT_EQ(Count("21474836.47", 2), "2147483647");
    EXPECT_EQ(Count("99999999999", 2), "2147483647");
    EXPECT_EQ(Count("-21474836.48", 2), "-2147483648");
    EXPECT_EQ(Count("-99999999999", 2), "-2147483648");
    // The display keeps the value typed.
    EXPECT_EQ(Normalised("99999999999", 2), "99999999999.00");
    EXPECT_EQ(Count("1650.5", 2, 3), "165");
    EXPECT_EQ(Count("-1650.5", 2, 4), "-165");
    EXPECT_EQ(Count("1650.5", 2, 0), "");
    // Every 32-bit count fits the field's own length.
    EXPECT_EQ(Count("-21474836.48", 2, kFixedPointTextLength).size(), 11u);
    // Numbers beyond a double read as 0, so do huge exponents.
    EXPECT_EQ(Count("1e400", 0), "0");
    EXPECT_EQ(Count("1e99999999999999", 2), "0");
    EXPECT_EQ(Count("1e-99999999999999", 2), "0");
}

TEST(FixedPointTextTest, EveryCountSurvivesTheWayThroughTheDisplay) {
    const std::vector<long long> counts = {0,       1,       -1,        5,         49,     50,
                                           99,      100,     165050,    -165050,   999999, 1000000,
                                           INT_MAX, INT_MIN, 123456789, -987654321};
    for (int d = -3; d <= 9; ++d) {
        for (long long c : counts) {
            const std::string text = std::to_string(c);
            const std::string shown = DisplayFromFixedPoint(text, d);
            EXPECT_EQ(Count(shown, d), text) << "d=" << d << " shown=" << shown;
            // Reading normalised text leaves it as it is.
            EXPECT_EQ(Normalised(shown, d), shown) << "d=" << d;
        }
    }
}

TEST(FixedPointTextTest, ChangingTheDecimalsKeepsTheCount) {
    const std::string count = Count(DisplayFromFixedPoint("165050", 2), 2);
    EXPECT_EQ(DisplayFromFixedPoint(count, 3), "165.050");
    EXPECT_EQ(DisplayFromFixedPoint(count, 0), "165050");
}

TEST(FixedPointTextTest, ScaleIsATenPowerInSinglePrecision) {
    EXPECT_EQ(FixedPointScale(0), 1.0f);
    EXPECT_EQ(FixedPointScale(1), 10.0f);
    EXPECT_EQ(FixedPointScale(2), 100.0f);
    EXPECT_EQ(FixedPointScale(3), 1000.0f);
    EXPECT_EQ(FixedPointScale(7), 1e7f);
    EXPECT_EQ(FixedPointScale(10), 1e10f);
    EXPECT_EQ(FixedPointScale(-2), 0.01f);
    EXPECT_EQ(FixedPointScale(-3), 0.001f);
    EXPECT_TRUE(std::isfinite(FixedPointScale(1000)));
    EXPECT_GT(FixedPointScale(-1000), 0.0f);
    EXPECT_EQ(ClampFixedPointDecimals(-1000), -kMaxFixedPointDecimals);
}

TEST(NumberTextTest, ReadsTheLeadingNumberOnly) {
    EXPECT_EQ(ToDouble(ReadLeadingNumber(" \t-12.50元")), -12.5);
    EXPECT_EQ(ToDouble(ReadLeadingNumber("3")), 3.0);
    EXPECT_EQ(ToDouble(ReadLeadingNumber("0012.3400")), 12.34);
    EXPECT_EQ(ToDouble(ReadLeadingNumber("5.e1x")), 50.0);
    EXPECT_EQ(ToDouble(ReadLeadingNumber("1e+3")), 1000.0);
    EXPECT_EQ(ToDouble(ReadLeadingNumber(u"  -0.25 手")), -0.25);
    for (const char* notNumber : {"", "abc", ".", "-", "+", "e5", "inf", "nan", "－5"})
        EXPECT_TRUE(ReadLeadingNumber(notNumber).IsZero()) << notNumber;
    // Hexadecimal is not read: "0x10" is the 0 before the x.
    EXPECT_EQ(ToDouble(ReadLeadingNumber("0x10")), 0.0);
    // Full-width digits are not digits.
    EXPECT_TRUE(ReadLeadingNumber(u"１２").IsZero());
    // Floats that overflow become infinities; doubles that would are not read at all.
    EXPECT_EQ(ToFloat(ReadLeadingNumber("1e39")), INFINITY);
    EXPECT_EQ(ToFloat(ReadLeadingNumber("-1e39")), -INFINITY);
    EXPECT_EQ(ToFloat(ReadLeadingNumber("1e-50")), 0.0f);
    EXPECT_TRUE(ReadLeadingNumber("2e308").IsZero());
    EXPECT_EQ(ToDouble(ReadLeadingNumber("1.7e308")), 1.7e308);
}

TEST(SortRulesTest, HeaderClicksTurnTheOrderOrStartAscending) {
    SortState s;
    EXPECT_TRUE(s.Ascending());
    EXPECT_EQ(s.Column(), 0);
    // The first click on column 0 sorts it descending.
    EXPECT_TRUE(s.Click(0));
    EXPECT_FALSE(s.Ascending());
    EXPECT_TRUE(s.Click(0));
    EXPECT_TRUE(s.Ascending());
    // Another column starts ascending, whatever the order was.
    EXPECT_TRUE(s.Click(0));
    EXPECT_TRUE(s.Click(3));
    EXPECT_EQ(s.Column(), 3);
    EXPECT_TRUE(s.Ascending());
    EXPECT_TRUE(s.Click(3));
    EXPECT_FALSE(s.Ascending());
    // Columns from 100 up change the state but do not sort.
    EXPECT_FALSE(s.Click(100));
    EXPECT_EQ(s.Column(), 100);
    EXPECT_TRUE(s.Ascending());
    EXPECT_FALSE(s.Click(100));
    EXPECT_FALSE(s.Ascending());
    EXPECT_TRUE(s.Click(99));
}

std::vector<std::u16string> Sorted(std::vector<std::u16string> cells, int kind, bool ascending) {
    std::stable_sort(cells.begin(), cells.end(), [&](const auto& a, const auto& b) {
        return CompareCells(a, b, kind, ascending) < 0;
    });
    return cells;
}

TEST(SortRulesTest, NumberColumnsCompareAsFloatsWithTextAsZero) {
    using V = std::vector<std::u16string>;
    EXPECT_EQ(Sorted({u"-12.50", u"3", u"abc"}, kSortAsNumber, true), (V{u"-12.50", u"abc", u"3"}));
    EXPECT_EQ(Sorted({u"-12.50", u"3", u"abc"}, kSortAsNumber, false),
              (V{u"3", u"abc", u"-12.50"}));
    // As text the same cells go by their first code unit.
    EXPECT_EQ(Sorted({u"3", u"-12.50", u"abc"}, kSortAsText, true), (V{u"-12.50", u"3", u"abc"}));
    // Numbers, not digits: 9 before 10.
    EXPECT_EQ(Sorted({u"10", u"9", u"100.5"}, kSortAsNumber, true), (V{u"9", u"10", u"100.5"}));
    // Values that are one float compare equal.
    EXPECT_EQ(CompareCells(u"16777217", u"16777216", kSortAsNumber, true), 0);
    EXPECT_EQ(CompareCells(u"0.1", u"0.100000001", kSortAsNumber, false), 0);
    EXPECT_EQ(CompareCells(u"abc", u"0", kSortAsNumber, true), 0);
    EXPECT_LT(CompareCells(u"-1e39", u"-3e38", kSortAsNumber, true), 0);
}

TEST(SortRulesTest, TextColumnsCompareUtf16CodeUnits) {
    // 白 (U+767D) before 阿 (U+963F), although "a" comes before "bai" in pinyin.
    EXPECT_LT(CompareCells(u"白银", u"阿胶", kSortAsText, true), 0);
    EXPECT_GT(CompareCells(u"白银", u"阿胶", kSortAsText, false), 0);
    // Code units, not code points: a surrogate pair (U+1F600) before U+FF01.
    EXPECT_LT(CompareCells(u"\U0001F600", u"\uFF01", kSortAsText, true), 0);
    EXPECT_LT(CompareCells(u"买", u"买入", kSortAsText, true), 0);
    EXPECT_LT(CompareCells(u"Z", u"a", kSortAsText, true), 0);
    EXPECT_EQ(CompareCells(u"黄金", u"黄金", kSortAsText, false), 0);
}

TEST(SortRulesTest, OtherKindsCompareEverythingEqual) {
    EXPECT_EQ(CompareCells(u"1", u"2", 2, true), 0);
    EXPECT_EQ(CompareCells(u"b", u"a", -1, false), 0);
}

}  // namespace
}  // namespace zq
