// The fixed-point texts of the numeric edit field. The program sets and gets such a field's
// value as a decimal integer counting units of 10^-d (with d = 2, "165050" is 1650.50), while
// the user sees and types the value itself with d decimals.
//
// Both directions are computed in exact decimal arithmetic on the texts, so that what the user
// types rounds the way it reads: with d = 2, 0.005 is one unit and -0.005 minus one (half away
// from zero), where a binary product 0.005 × 100 might fall on either side of one half. Texts
// are read as numbers by ReadLeadingNumber (widgets/number_text.h): text that is not a number
// is 0.
//
// A negative d counts units of 10^|d| (with d = -2, "5" is 500); the value is then shown
// without decimals, rounded to those units.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zq {

// Decimals are kept within this range, that of a float scale.
constexpr int kMaxFixedPointDecimals = 38;
int ClampFixedPointDecimals(int decimals);

// The number of characters the field's integer text is read with (an attached spin button
// reads at most this many). A 32-bit count needs at most 11.
constexpr std::size_t kFixedPointTextLength = 12;

// 10^d as a float (the prices' power of ten); 10^-|d| for a negative d.
float FixedPointScale(int decimals);

// The display of an integer count: the count / 10^d with d decimals ("165050", 2 → "1650.50").
// A count text with a fraction is rounded to a whole count first, half away from zero.
std::string DisplayFromFixedPoint(std::string_view integerText, int decimals);

struct FixedPointReading {
    std::string display;  // the value typed, normalised to d decimals
    std::string integer;  // the count, "%d", cut to the caller's buffer
};

// Reads a displayed text: v × 10^d rounded half away from zero is the count, saturated to the
// 32-bit range, its text cut to `bufferChars` characters; the display is v rounded to the same
// unit and shown with d decimals ("1650.5", 2 → "1650.50" and "165050").
FixedPointReading FixedPointRead(std::string_view displayed, int decimals,
                                 std::size_t bufferChars = kFixedPointTextLength);

}  // namespace zq
