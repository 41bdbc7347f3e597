// A number at the start of a text, read exactly. The numeric controls and the numeric columns
// of the lists read their texts this way.
//
// The syntax is the decimal one of the C library's strtod: optional white space, an optional
// sign, digits with an optional decimal point (at least one digit), then an optional exponent
// ("e" or "E", an optional sign, digits; an "e" without digits ends the number before it).
// Whatever follows the number is ignored ("12.5元" reads 12.5). Unlike strtod the reading does
// not depend on the locale (the point is always '.'), and hexadecimal numbers, "inf" and "nan"
// are not numbers. Text that is not a number reads as 0, and so does a number beyond the range
// of a double (about 1.8e308).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zq {

struct LeadingNumber {
    bool negative = false;
    // The significant digits, without leading or trailing zeros; empty for zero.
    std::string digits;
    // The value is digits × 10^exponent.
    std::int32_t exponent = 0;

    bool IsZero() const { return digits.empty(); }
};

LeadingNumber ReadLeadingNumber(std::string_view text);
LeadingNumber ReadLeadingNumber(std::u16string_view text);

// The nearest double / float; a float out of range is ±infinity.
double ToDouble(const LeadingNumber& n);
float ToFloat(const LeadingNumber& n);

// |n| × 10^shift rounded to an integer, half away from zero, as plain decimal digits ("0" for
// zero).
std::string RoundedMagnitude(const LeadingNumber& n, std::int64_t shift);

}  // namespace zq
