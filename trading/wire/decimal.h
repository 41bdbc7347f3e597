// Exact scaled decimal numbers for money: a 96-bit unsigned mantissa, a sign and a power-of-ten
// scale from 0 to 28, the value being mantissa / 10^scale. Profit sums over many positions are
// computed in it so that they do not drift the way binary floating point does.
//
// Conversions from binary keep the significant digits the binary type can vouch for: a float
// gives 7 significant digits (0.1f becomes exactly 0.1), a double 15. Sums, differences and
// products are exact while they fit; a result that needs more than 96 bits or a scale above 28
// is rounded to the nearest representable value, ties to the even last digit. Quotients carry
// as many digits as fit, rounded the same way.
//
// A result that cannot be represented (magnitude of 2^96 or more, division by zero, NaN or
// infinity on input) is invalid; invalid values stay invalid through arithmetic, compare
// unordered and convert back to NaN.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zq {

class Decimal {
  public:
    static constexpr int kMaxScale = 28;

    constexpr Decimal() = default;  // 0

    static Decimal FromInt(std::int64_t value);
    // value / 10^scale exactly, the scale held to 0..28 ("165482, 2" is 1654.82).
    static Decimal FromScaled(std::int64_t value, int scale);
    static Decimal FromFloat(float value);    // 7 significant digits
    static Decimal FromDouble(double value);  // 15 significant digits
    static Decimal Invalid();

    // Reads "[-]digits[.digits][e[+-]digits]". No value for malformed text; an invalid value
    // when the number is too large.
    static std::optional<Decimal> Parse(std::string_view text);

    // The nearest float / double.
    float ToFloat() const;
    double ToDouble() const;

    // Plain decimal text with `Scale()` fraction digits ("-12.340"); "NaN" when invalid.
    std::string ToString() const;

    bool Valid() const { return !invalid_; }
    bool IsZero() const { return !invalid_ && lo_ == 0 && hi_ == 0; }
    bool IsNegative() const { return !invalid_ && negative_; }
    int Scale() const { return scale_; }

    // The same value with trailing fraction zeros removed.
    Decimal Normalized() const;

    Decimal operator-() const;
    friend Decimal operator+(const Decimal& a, const Decimal& b);
    friend Decimal operator-(const Decimal& a, const Decimal& b);
    friend Decimal operator*(const Decimal& a, const Decimal& b);
    friend Decimal operator/(const Decimal& a, const Decimal& b);
    Decimal& operator+=(const Decimal& b) { return *this = *this + b; }
    Decimal& operator-=(const Decimal& b) { return *this = *this - b; }
    Decimal& operator*=(const Decimal& b) { return *this = *this * b; }
    Decimal& operator/=(const Decimal& b) { return *this = *this / b; }

    // By value: 1.50 equals 1.5. Invalid values equal nothing.
    friend bool operator==(const Decimal& a, const Decimal& b);
    friend std::partial_ordering operator<=>(const Decimal& a, const Decimal& b);

    // The magnitude; invalid stays invalid.
    friend Decimal Abs(const Decimal& d) { return d.IsNegative() ? -d : d; }

  private:
    friend struct DecimalAccess;

    std::uint64_t lo_ = 0;  // mantissa bits 0..63
    std::uint32_t hi_ = 0;  // mantissa bits 64..95
    std::uint8_t scale_ = 0;
    bool negative_ = false;
    bool invalid_ = false;
};

}  // namespace zq
