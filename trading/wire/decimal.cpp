#include "trading/wire/decimal.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zq {
namespace {

__extension__ typedef unsigned __int128 u128;

constexpr u128 kLimit96 = static_cast<u128>(1) << 96;

struct Pow10Table {
    u128 v[39];
    constexpr Pow10Table() : v() {
        v[0] = 1;
        for (int i = 1; i < 39; ++i) v[i] = v[i - 1] * 10;
    }
};
constexpr Pow10Table kPow10;  // 10^0 .. 10^38, all below 2^128

constexpr std::uint32_t kPow10u32[10] = {1,      10,      100,      1000,      10000,
                                         100000, 1000000, 10000000, 100000000, 1000000000};

constexpr double kPow10d[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr float kPow10f[11] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f, 1e6f, 1e7f, 1e8f, 1e9f, 1e10f};

// An unsigned integer of 384 bits in 32-bit limbs, least significant first: room for a 96-bit
// mantissa times 10^57, the widest intermediate the operations form.
struct Wide {
    static constexpr int kLimbs = 12;
    std::uint32_t d[kLimbs] = {};

    static Wide From(u128 v) {
        Wide w;
        for (int i = 0; i < 4; ++i) w.d[i] = static_cast<std::uint32_t>(v >> (32 * i));
        return w;
    }
    int Size() const {
        int n = kLimbs;
        while (n > 0 && d[n - 1] == 0) --n;
        return n;
    }
    bool IsZero() const { return Size() == 0; }
    bool Fits96() const { return Size() <= 3; }
    u128 Low128() const {
        u128 v = 0;
        for (int i = 3; i >= 0; --i) v = (v << 32) | d[i];
        return v;
    }
    void MulSmall(std::uint32_t m) {
        std::uint64_t carry = 0;
        for (auto& limb : d) {
            std::uint64_t t = static_cast<std::uint64_t>(limb) * m + carry;
            limb = static_cast<std::uint32_t>(t);
            carry = t >> 32;
        }
    }
    void MulPow10(int k) {
        while (k > 0) {
            int j = std::min(k, 9);
            MulSmall(kPow10u32[j]);
            k -= j;
        }
    }
    // Divides in place; returns the remainder.
    std::uint32_t DivSmall(std::uint32_t divisor) {
        std::uint64_t rem = 0;
        for (int i = kLimbs - 1; i >= 0; --i) {
            std::uint64_t cur = (rem << 32) | d[i];
            d[i] = static_cast<std::uint32_t>(cur / divisor);
            rem = cur % divisor;
        }
        return static_cast<std::uint32_t>(rem);
    }
    void Add(const Wide& o) {
        std::uint64_t carry = 0;
        for (int i = 0; i < kLimbs; ++i) {
            std::uint64_t t = static_cast<std::uint64_t>(d[i]) + o.d[i] + carry;
            d[i] = static_cast<std::uint32_t>(t);
            carry = t >> 32;
        }
    }
    // this -= o, with this >= o.
    void Sub(const Wide& o) {
        std::int64_t borrow = 0;
        for (int i = 0; i < kLimbs; ++i) {
            std::int64_t t = static_cast<std::int64_t>(d[i]) - o.d[i] - borrow;
            borrow = t < 0 ? 1 : 0;
            d[i] = static_cast<std::uint32_t>(t);
        }
    }
    static int Cmp(const Wide& a, const Wide& b) {
        for (int i = kLimbs - 1; i >= 0; --i) {
            if (a.d[i] != b.d[i]) return a.d[i] < b.d[i] ? -1 : 1;
        }
        return 0;
    }
    static Wide Mul(u128 a, u128 b) {
        Wide x = From(a), y = From(b), r;
        for (int i = 0; i < 4; ++i) {
            std::uint64_t carry = 0;
            for (int j = 0; j < 4; ++j) {
                std::uint64_t t = static_cast<std::uint64_t>(x.d[i]) * y.d[j] + r.d[i + j] + carry;
                r.d[i + j] = static_cast<std::uint32_t>(t);
                carry = t >> 32;
            }
            r.d[i + 4] = static_cast<std::uint32_t>(carry);
        }
        return r;
    }
};

// Long division of n by a nonzero v (Knuth's algorithm D on 32-bit digits).
void DivMod(const Wide& n, const Wide& v, Wide& q, Wide& r) {
    q = Wide();
    r = Wide();
    int vn = v.Size();
    int un = n.Size();
    if (vn == 1) {
        q = n;
        r.d[0] = q.DivSmall(v.d[0]);
        return;
    }
    if (Wide::Cmp(n, v) < 0) {
        r = n;
        return;
    }
    int s = __builtin_clz(v.d[vn - 1]);
    std::uint32_t vs[Wide::kLimbs];
    std::uint32_t us[Wide::kLimbs + 1];
    for (int i = vn - 1; i > 0; --i)
        vs[i] = (v.d[i] << s) |
                (s ? static_cast<std::uint32_t>(static_cast<std::uint64_t>(v.d[i - 1]) >> (32 - s))
                   : 0u);
    vs[0] = v.d[0] << s;
    us[un] =
        s ? static_cast<std::uint32_t>(static_cast<std::uint64_t>(n.d[un - 1]) >> (32 - s)) : 0u;
    for (int i = un - 1; i > 0; --i)
        us[i] = (n.d[i] << s) |
                (s ? static_cast<std::uint32_t>(static_cast<std::uint64_t>(n.d[i - 1]) >> (32 - s))
                   : 0u);
    us[0] = n.d[0] << s;

    constexpr std::uint64_t kBase = 1ull << 32;
    for (int j = un - vn; j >= 0; --j) {
        std::uint64_t num = (static_cast<std::uint64_t>(us[j + vn]) << 32) | us[j + vn - 1];
        std::uint64_t qhat = num / vs[vn - 1];
        std::uint64_t rhat = num % vs[vn - 1];
        while (qhat >= kBase || qhat * vs[vn - 2] > ((rhat << 32) | us[j + vn - 2])) {
            --qhat;
            rhat += vs[vn - 1];
            if (rhat >= kBase) break;
        }
        std::int64_t borrow = 0;
        std::int64_t t = 0;
        for (int i = 0; i < vn; ++i) {
            std::uint64_t p = qhat * vs[i];
            t = static_cast<std::int64_t>(us[i + j]) - borrow -
                static_cast<std::int64_t>(p & 0xFFFFFFFFu);
            us[i + j] = static_cast<std::uint32_t>(t);
            borrow = static_cast<std::int64_t>(p >> 32) - (t >> 32);
        }
        t = static_cast<std::int64_t>(us[j + vn]) - borrow;
        us[j + vn] = static_cast<std::uint32_t>(t);
        q.d[j] = static_cast<std::uint32_t>(qhat);
        if (t < 0) {
            q.d[j] -= 1;
            std::uint64_t carry = 0;
            for (int i = 0; i < vn; ++i) {
                std::uint64_t sum = static_cast<std::uint64_t>(us[i + j]) + vs[i] + carry;
                us[i + j] = static_cast<std::uint32_t>(sum);
                carry = sum >> 32;
            }
            us[j + vn] = static_cast<std::uint32_t>(us[j + vn] + carry);
        }
    }
    for (int i = 0; i < vn; ++i)
        r.d[i] = (us[i] >> s) |
                 (s ? static_cast<std::uint32_t>(static_cast<std::uint64_t>(us[i + 1]) << (32 - s))
                    : 0u);
}

// Brings m / 10^scale into range: the nearest value with a 96-bit mantissa and a scale of at
// most 28, ties to even. `sticky` says that digits below the last one of m were already cut
// off and were not all zero (only meaningful when at least one digit is dropped here). False
// when even scale 0 cannot hold the value.
bool Fit(const Wide& m, int scale, bool sticky, u128& mantissa, int& outScale) {
    for (int k = std::max(scale - Decimal::kMaxScale, 0); k <= scale; ++k) {
        Wide q = m;
        bool below = sticky;  // a nonzero digit below the last dropped group
        std::uint32_t rem = 0, divisor = 1;
        for (int left = k; left > 0;) {
            int j = std::min(left, 9);
            below = below || rem != 0;
            divisor = kPow10u32[j];
            rem = q.DivSmall(divisor);
            left -= j;
        }
        if (!q.Fits96()) continue;
        u128 v = q.Low128();
        if (k > 0) {
            std::uint32_t half = divisor / 2;
            bool up = rem > half || (rem == half && (below || (v & 1)));
            if (up) ++v;
            if (v >= kLimit96) continue;
        }
        mantissa = v;
        outScale = scale - k;
        return true;
    }
    return false;
}

}  // namespace

struct DecimalAccess {
    static u128 Mantissa(const Decimal& d) { return (static_cast<u128>(d.hi_) << 64) | d.lo_; }

    static Decimal Make(u128 mantissa, int scale, bool negative) {
        Decimal d;
        d.lo_ = static_cast<std::uint64_t>(mantissa);
        d.hi_ = static_cast<std::uint32_t>(mantissa >> 64);
        d.scale_ = static_cast<std::uint8_t>(scale);
        d.negative_ = negative && mantissa != 0;
        return d;
    }

    static Decimal FromWide(const Wide& m, int scale, bool negative, bool sticky = false) {
        u128 mant;
        int s;
        if (!Fit(m, scale, sticky, mant, s)) return Decimal::Invalid();
        return Make(mant, s, negative);
    }

    static Decimal FromExact(u128 m, int scale, bool negative) {
        if (m < kLimit96 && scale <= Decimal::kMaxScale) return Make(m, scale, negative);
        return FromWide(Wide::From(m), scale, negative);
    }

    // Sum of two magnitudes with signs, exact before the final rounding.
    static Decimal AddSigned(const Decimal& a, const Decimal& b, bool negateB) {
        if (a.invalid_ || b.invalid_) return Decimal::Invalid();
        bool na = a.negative_;
        bool nb = b.negative_ != negateB;
        int s = std::max(a.scale_, b.scale_);
        u128 ma = Mantissa(a), mb = Mantissa(b);
        u128 xa, xb;
        if (!__builtin_mul_overflow(ma, kPow10.v[s - a.scale_], &xa) &&
            !__builtin_mul_overflow(mb, kPow10.v[s - b.scale_], &xb)) {
            if (na == nb) {
                u128 sum;
                if (!__builtin_add_overflow(xa, xb, &sum)) return FromExact(sum, s, na);
            } else {
                return xa >= xb ? FromExact(xa - xb, s, na) : FromExact(xb - xa, s, nb);
            }
        }
        Wide wa = Wide::From(ma), wb = Wide::From(mb);
        wa.MulPow10(s - a.scale_);
        wb.MulPow10(s - b.scale_);
        if (na == nb) {
            wa.Add(wb);
            return FromWide(wa, s, na);
        }
        if (Wide::Cmp(wa, wb) >= 0) {
            wa.Sub(wb);
            return FromWide(wa, s, na);
        }
        wb.Sub(wa);
        return FromWide(wb, s, nb);
    }

    static int CompareMagnitude(const Decimal& a, const Decimal& b) {
        int s = std::max(a.scale_, b.scale_);
        Wide wa = Wide::From(Mantissa(a)), wb = Wide::From(Mantissa(b));
        wa.MulPow10(s - a.scale_);
        wb.MulPow10(s - b.scale_);
        return Wide::Cmp(wa, wb);
    }

    // Three-way comparison of two valid values.
    static int Compare(const Decimal& a, const Decimal& b) {
        bool za = a.IsZero(), zb = b.IsZero();
        if (za && zb) return 0;
        bool na = a.negative_ && !za, nb = b.negative_ && !zb;
        if (na != nb) return na ? -1 : 1;
        int c = CompareMagnitude(a, b);
        return na ? -c : c;
    }

    // Round-to-`digits`-significant-digits conversion of a finite nonzero double; false when
    // the numbers outgrow 128 bits (very large or very small magnitudes).
    static bool RoundBinary(double a, int digits, u128& digitsOut, int& scaleOut) {
        int e2;
        double f = std::frexp(a, &e2);
        std::uint64_t m = static_cast<std::uint64_t>(std::ldexp(f, 53));
        int e = e2 - 53;
        int tz = __builtin_ctzll(m);
        m >>= tz;
        e += tz;
        int d10 = static_cast<int>(std::floor(std::log10(a)));
        const u128 lowest = kPow10.v[digits - 1], highest = kPow10.v[digits];
        for (int attempt = 0; attempt < 4; ++attempt) {
            int p = digits - 1 - d10;  // a x 10^p has `digits` digits before the point
            if (p > 38 || p < -38 || e > 74 || e < -127) return false;
            u128 num = m, den = 1;
            if (e >= 0) num <<= e;
            if (p >= 0 && __builtin_mul_overflow(num, kPow10.v[p], &num)) return false;
            if (p < 0) den = kPow10.v[-p];
            u128 q, rem;
            bool tie = false, up = false;
            if (e < 0 && p >= 0) {
                int sh = -e;
                q = num >> sh;
                rem = num & ((static_cast<u128>(1) << sh) - 1);
                u128 half = static_cast<u128>(1) << (sh - 1);
                up = rem > half;
                tie = rem == half;
            } else {
                // p < 0 with a binary fraction left: both powers divide
                if (e < 0 &&
                    (-e > 100 || __builtin_mul_overflow(den, static_cast<u128>(1) << -e, &den)))
                    return false;
                if (den == 1) {
                    q = num;
                    rem = 0;
                } else {
                    q = num / den;
                    rem = num % den;
                    up = rem > den - rem;
                    tie = rem == den - rem;
                }
            }
            if (q >= highest) {
                ++d10;
                continue;
            }
            if (q < lowest) {
                --d10;
                continue;
            }
            if (up || (tie && (q & 1))) ++q;
            if (q == highest) {
                q = lowest;
                --p;
            }
            digitsOut = q;
            scaleOut = p;
            return true;
        }
        return false;
    }

    static Decimal FromBinary(double v, int digits) {
        if (!std::isfinite(v)) return Decimal::Invalid();
        if (v == 0) return Decimal();
        bool negative = std::signbit(v);
        double a = std::fabs(v);
        u128 q;
        int p;
        if (!RoundBinary(a, digits, q, p)) {
            char buf[64];
            std::snprintf(buf, sizeof buf, "%.*e", digits - 1, a);
            auto parsed = Decimal::Parse(buf);
            if (!parsed || !parsed->Valid()) return Decimal::Invalid();
            Decimal d = parsed->Normalized();
            d.negative_ = negative && !d.IsZero();
            return d;
        }
        if (p < 0) {
            u128 mant;
            if (-p > 38 || __builtin_mul_overflow(q, kPow10.v[-p], &mant) || mant >= kLimit96)
                return Decimal::Invalid();
            return Make(mant, 0, negative);
        }
        if (p > Decimal::kMaxScale) return FromWide(Wide::From(q), p, negative).Normalized();
        std::uint64_t small = static_cast<std::uint64_t>(q);  // below 10^15
        while (p > 0 && small % 10 == 0) {
            small /= 10;
            --p;
        }
        return Make(small, p, negative);
    }
};

Decimal Decimal::Invalid() {
    Decimal d;
    d.invalid_ = true;
    return d;
}

Decimal Decimal::FromInt(std::int64_t value) {
    bool negative = value < 0;
    std::uint64_t mag =
        negative ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    return DecimalAccess::Make(mag, 0, negative);
}

Decimal Decimal::FromScaled(std::int64_t value, int scale) {
    const bool negative = value < 0;
    const std::uint64_t mag =
        negative ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    return DecimalAccess::Make(mag, std::clamp(scale, 0, kMaxScale), negative);
}

Decimal Decimal::FromFloat(float value) {
    return DecimalAccess::FromBinary(static_cast<double>(value), 7);
}

Decimal Decimal::FromDouble(double value) {
    return DecimalAccess::FromBinary(value, 15);
}

std::optional<Decimal> Decimal::Parse(std::string_view text) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    Wide m;
    int significant = 0;  // digits taken into m, leading zeros skipped
    int fraction = 0;     // digits after the point
    bool anyDigit = false, point = false;
    for (; i < text.size(); ++i) {
        char c = text[i];
        if (c == '.' && !point) {
            point = true;
            continue;
        }
        if (c < '0' || c > '9') break;
        anyDigit = true;
        if (point) ++fraction;
        if (significant == 0 && c == '0') continue;
        if (++significant > 100) return std::nullopt;
        m.MulSmall(10);
        Wide digit;
        digit.d[0] = static_cast<std::uint32_t>(c - '0');
        m.Add(digit);
    }
    if (!anyDigit) return std::nullopt;
    long exponent = 0;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        bool eneg = false;
        if (i < text.size() && (text[i] == '-' || text[i] == '+')) eneg = text[i++] == '-';
        bool anyExp = false;
        for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
            anyExp = true;
            if (exponent < 100000) exponent = exponent * 10 + (text[i] - '0');
        }
        if (!anyExp) return std::nullopt;
        if (eneg) exponent = -exponent;
    }
    if (i != text.size()) return std::nullopt;
    if (m.IsZero()) return Decimal();
    long scale = fraction - exponent;
    if (scale < 0) {
        if (significant - scale > 29) return Invalid();  // at least 10^29
        m.MulPow10(static_cast<int>(-scale));
        if (!m.Fits96() || m.Low128() >= kLimit96) return Invalid();
        return DecimalAccess::Make(m.Low128(), 0, negative);
    }
    if (scale > significant + kMaxScale + 1) return Decimal();  // below half of 10^-28
    return DecimalAccess::FromWide(m, static_cast<int>(scale), negative);
}

Decimal Decimal::Normalized() const {
    if (invalid_) return *this;
    u128 m = DecimalAccess::Mantissa(*this);
    int s = scale_;
    if (m == 0) return Decimal();
    while (s >= 9 && m % kPow10u32[9] == 0) {
        m /= kPow10u32[9];
        s -= 9;
    }
    if (m <= UINT64_MAX) {
        auto small = static_cast<std::uint64_t>(m);
        while (s > 0 && small % 10 == 0) {
            small /= 10;
            --s;
        }
        return DecimalAccess::Make(small, s, negative_);
    }
    while (s > 0 && m % 10 == 0) {
        m /= 10;
        --s;
    }
    return DecimalAccess::Make(m, s, negative_);
}

std::string Decimal::ToString() const {
    if (invalid_) return "NaN";
    u128 m = DecimalAccess::Mantissa(*this);
    std::string digits;
    do {
        digits.push_back(static_cast<char>('0' + static_cast<int>(m % 10)));
        m /= 10;
    } while (m != 0);
    while (static_cast<int>(digits.size()) <= scale_) digits.push_back('0');
    std::reverse(digits.begin(), digits.end());
    if (scale_ > 0) digits.insert(digits.size() - scale_, 1, '.');
    if (negative_) digits.insert(0, 1, '-');
    return digits;
}

namespace {
// The mantissa's digits followed by "e-<scale>", without a sign; read the same in every locale.
std::size_t ExponentText(u128 m, int scale, char (&buf)[64]) {
    constexpr std::uint64_t k1e19 = 10000000000000000000ull;
    char* p = buf;
    char* end = buf + sizeof buf;
    if (m > UINT64_MAX) {
        p = std::to_chars(p, end, static_cast<std::uint64_t>(m / k1e19)).ptr;
        char low[20];
        char* lowEnd =
            std::to_chars(low, low + sizeof low, static_cast<std::uint64_t>(m % k1e19)).ptr;
        p = std::fill_n(p, 19 - (lowEnd - low), '0');
        p = std::copy(low, lowEnd, p);
    } else {
        p = std::to_chars(p, end, static_cast<std::uint64_t>(m)).ptr;
    }
    *p++ = 'e';
    *p++ = '-';
    p = std::to_chars(p, end, scale).ptr;
    return static_cast<std::size_t>(p - buf);
}

template <typename T>
T Nearest(u128 m, int scale, bool negative) {
    char buf[64];
    std::size_t n = ExponentText(m, scale, buf);
    T v = 0;
    std::from_chars(buf, buf + n, v);
    return negative ? -v : v;
}
}  // namespace

double Decimal::ToDouble() const {
    if (invalid_) return std::nan("");
    u128 m = DecimalAccess::Mantissa(*this);
    if (m < (static_cast<u128>(1) << 53) && scale_ <= 22) {
        double v = static_cast<double>(static_cast<std::uint64_t>(m)) / kPow10d[scale_];
        return negative_ ? -v : v;
    }
    return Nearest<double>(m, scale_, negative_);
}

float Decimal::ToFloat() const {
    if (invalid_) return std::nanf("");
    u128 m = DecimalAccess::Mantissa(*this);
    if (m < (static_cast<u128>(1) << 24) && scale_ <= 10) {
        float v = static_cast<float>(static_cast<std::uint32_t>(m)) / kPow10f[scale_];
        return negative_ ? -v : v;
    }
    return Nearest<float>(m, scale_, negative_);
}

Decimal Decimal::operator-() const {
    Decimal d = *this;
    if (!d.invalid_ && !d.IsZero()) d.negative_ = !d.negative_;
    return d;
}

Decimal operator+(const Decimal& a, const Decimal& b) {
    return DecimalAccess::AddSigned(a, b, false);
}

Decimal operator-(const Decimal& a, const Decimal& b) {
    return DecimalAccess::AddSigned(a, b, true);
}

Decimal operator*(const Decimal& a, const Decimal& b) {
    if (a.invalid_ || b.invalid_) return Decimal::Invalid();
    bool negative = a.negative_ != b.negative_;
    int scale = a.scale_ + b.scale_;
    u128 ma = DecimalAccess::Mantissa(a), mb = DecimalAccess::Mantissa(b), p;
    if (!__builtin_mul_overflow(ma, mb, &p)) return DecimalAccess::FromExact(p, scale, negative);
    return DecimalAccess::FromWide(Wide::Mul(ma, mb), scale, negative);
}

Decimal operator/(const Decimal& a, const Decimal& b) {
    if (a.invalid_ || b.invalid_ || b.IsZero()) return Decimal::Invalid();
    if (a.IsZero()) return Decimal();
    bool negative = a.negative_ != b.negative_;
    // The quotient at scale 29: one guard digit beyond the finest scale, the remainder as a
    // sticky bit, so that the final rounding is exact.
    constexpr int kWorkScale = Decimal::kMaxScale + 1;
    Wide n = Wide::From(DecimalAccess::Mantissa(a));
    n.MulPow10(kWorkScale - a.scale_ + b.scale_);
    Wide q, r;
    DivMod(n, Wide::From(DecimalAccess::Mantissa(b)), q, r);
    return DecimalAccess::FromWide(q, kWorkScale, negative, !r.IsZero()).Normalized();
}

bool operator==(const Decimal& a, const Decimal& b) {
    if (a.invalid_ || b.invalid_) return false;
    return DecimalAccess::Compare(a, b) == 0;
}

std::partial_ordering operator<=>(const Decimal& a, const Decimal& b) {
    if (a.invalid_ || b.invalid_) return std::partial_ordering::unordered;
    int c = DecimalAccess::Compare(a, b);
    return c < 0 ? std::partial_ordering::less
                 : (c > 0 ? std::partial_ordering::greater : std::partial_ordering::equivalent);
}

}  // namespace zq
