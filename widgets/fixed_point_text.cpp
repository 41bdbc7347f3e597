#include "widgets/fixed_point_text.h"

#include <algorithm>
#include <cstdint>

#include "trading/wire/rules.h"
#include "widgets/number_text.h"

namespace zq {

namespace {

// The display of the count whose magnitude is `count` (digits, "0" for zero).
std::string DisplayFromCount(bool negative, std::string count, int decimals) {
    if (count == "0") negative = false;  // no "-0.00"
    if (decimals > 0) {
        const std::size_t places = static_cast<std::size_t>(decimals);
        if (count.size() <= places) count.insert(0, places + 1 - count.size(), '0');
        count.insert(count.size() - places, 1, '.');
    } else if (decimals < 0 && count != "0") {
        count.append(static_cast<std::size_t>(-decimals), '0');
    }
    return negative ? "-" + count : count;
}

// "%d" of the count, saturated to the 32-bit range.
std::string IntegerText(bool negative, const std::string& count) {
    if (count == "0") return "0";
    const std::string_view limit = negative ? "2147483648" : "2147483647";
    const bool fits =
        count.size() < limit.size() || (count.size() == limit.size() && count <= limit);
    return (negative ? "-" : "") + (fits ? count : std::string(limit));
}

}  // namespace

int ClampFixedPointDecimals(int decimals) {
    return std::clamp(decimals, -kMaxFixedPointDecimals, kMaxFixedPointDecimals);
}

float FixedPointScale(int decimals) {
    return PowerOfTen(ClampFixedPointDecimals(decimals));
}

std::string DisplayFromFixedPoint(std::string_view integerText, int decimals) {
    decimals = ClampFixedPointDecimals(decimals);
    const LeadingNumber count = ReadLeadingNumber(integerText);
    return DisplayFromCount(count.negative, RoundedMagnitude(count, 0), decimals);
}

FixedPointReading FixedPointRead(std::string_view displayed, int decimals,
                                 std::size_t bufferChars) {
    decimals = ClampFixedPointDecimals(decimals);
    const LeadingNumber v = ReadLeadingNumber(displayed);
    const std::string count = RoundedMagnitude(v, decimals);
    FixedPointReading r;
    r.display = DisplayFromCount(v.negative, count, decimals);
    r.integer = IntegerText(v.negative, count);
    if (r.integer.size() > bufferChars) r.integer.resize(bufferChars);
    return r;
}

}  // namespace zq
