#include "widgets/number_text.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace zq {

namespace {

// An exponent text longer than this is beyond every range anyway.
constexpr std::int64_t kExponentCap = 1'000'000;
// Numbers whose leading digit stands further out than this are not read (a double ends at
// 10^308); tinier ones read as 0.
constexpr std::int64_t kLargestOrder = 309;
constexpr std::int64_t kSmallestOrder = -400;

bool IsDigit(char32_t c) {
    return c >= '0' && c <= '9';
}

bool IsSpace(char32_t c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

template <typename Char>
LeadingNumber Read(std::basic_string_view<Char> text) {
    LeadingNumber n;
    std::size_t i = 0;
    const std::size_t size = text.size();
    while (i < size && IsSpace(text[i])) ++i;
    bool negative = false;
    if (i < size && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';

    std::string mantissa;
    std::int64_t fractionDigits = 0;
    while (i < size && IsDigit(text[i])) mantissa.push_back(static_cast<char>(text[i++]));
    if (i < size && text[i] == '.') {
        ++i;
        while (i < size && IsDigit(text[i])) {
            mantissa.push_back(static_cast<char>(text[i++]));
            ++fractionDigits;
        }
    }
    if (mantissa.empty()) return n;  // not a number

    std::int64_t exponent = 0;
    if (i < size && (text[i] == 'e' || text[i] == 'E')) {
        std::size_t j = i + 1;
        bool expNegative = false;
        if (j < size && (text[j] == '+' || text[j] == '-')) expNegative = text[j++] == '-';
        if (j < size && IsDigit(text[j])) {
            while (j < size && IsDigit(text[j])) {
                if (exponent < kExponentCap) exponent = exponent * 10 + (text[j] - '0');
                ++j;
            }
            if (expNegative) exponent = -exponent;
        }
    }

    const std::size_t first = mantissa.find_first_not_of('0');
    if (first == std::string::npos) return n;  // zero
    const std::size_t last = mantissa.find_last_not_of('0');
    std::int64_t e =
        exponent - fractionDigits + static_cast<std::int64_t>(mantissa.size() - 1 - last);
    std::string digits = mantissa.substr(first, last - first + 1);
    const std::int64_t order = static_cast<std::int64_t>(digits.size()) + e;
    if (order > kLargestOrder || order < kSmallestOrder) return n;

    n.negative = negative;
    n.digits = std::move(digits);
    n.exponent = static_cast<std::int32_t>(e);
    if (!std::isfinite(ToDouble(n))) return LeadingNumber{};
    return n;
}

template <typename T>
T Convert(const LeadingNumber& n) {
    if (n.IsZero()) return T(0);
    const std::string text = n.digits + "e" + std::to_string(n.exponent);
    T value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    (void)end;
    if (error == std::errc::result_out_of_range) {
        const bool large = static_cast<std::int64_t>(n.digits.size()) + n.exponent > 0;
        value = large ? std::numeric_limits<T>::infinity() : T(0);
    }
    return n.negative ? -value : value;
}

}  // namespace

LeadingNumber ReadLeadingNumber(std::string_view text) {
    return Read(text);
}

LeadingNumber ReadLeadingNumber(std::u16string_view text) {
    return Read(text);
}

double ToDouble(const LeadingNumber& n) {
    return Convert<double>(n);
}

float ToFloat(const LeadingNumber& n) {
    return Convert<float>(n);
}

std::string RoundedMagnitude(const LeadingNumber& n, std::int64_t shift) {
    if (n.IsZero()) return "0";
    const std::int64_t e = n.exponent + shift;
    if (e >= 0) return n.digits + std::string(static_cast<std::size_t>(e), '0');
    const std::int64_t keep = static_cast<std::int64_t>(n.digits.size()) + e;
    if (keep < 0) return "0";  // below half a unit
    std::string head = n.digits.substr(0, static_cast<std::size_t>(keep));
    if (n.digits[static_cast<std::size_t>(keep)] >= '5') {
        // Away from zero: carry through the kept digits.
        std::size_t k = head.size();
        while (k > 0 && head[k - 1] == '9') head[--k] = '0';
        if (k == 0)
            head.insert(head.begin(), '1');
        else
            ++head[k - 1];
    }
    return head.empty() ? "0" : head;
}

}  // namespace zq
