#include "platform/Convert.h"

#include <cmath>
#include <cstdlib>
#include <string_view>

#include "platform/Error.h"
#include "platform/Locale.h"
#include "platform/Text.h"

namespace dormex::platform {
namespace {

// Largest finite 80-bit extended value; beyond it a text is not a number.
constexpr long double kExtendedMax = 0xf.fffffffffffffffp+16380L;

// Exponent digits are taken only while the exponent read so far is below this.
constexpr int kExponentLimit = 500;

// Significant digits handed to strtold; later ones only decide rounding, so they collapse into
// one sticky digit. More than an extended value ever needs to round correctly (about 11,500),
// and few enough that the exponent handed over stays within the +-19999 that the mingw-w64
// runtime's strtold clamps exponents to.
constexpr size_t kMaxSignificantDigits = 12000;

// Decimal exponents (of 0.ddd form) past which the value is surely out of range or surely zero.
constexpr long long kOverflowExponent = 4934;
constexpr long long kUnderflowExponent = -4960;

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Value of the significant digits `digits` (no leading zero) as 0.<digits> x 10^exponent10.
// False when it lies beyond the extended range.
bool scaleDigits(std::string_view digits, long long exponent10, bool negative, long double& value) {
    if (exponent10 > kOverflowExponent) return false;
    if (exponent10 < kUnderflowExponent) {
        value = negative ? -0.0L : 0.0L;
        return true;
    }
    // Integer mantissa form "<digits>e<exp>" needs no radix character in any locale.
    std::string canonical = negative ? "-" : "";
    size_t kept = digits.size();
    if (kept > kMaxSignificantDigits) {
        kept = kMaxSignificantDigits;
        canonical.append(digits.substr(0, kept));
        canonical += '1';  // sticky: the cut digits are not all zero (trailing zeros are gone)
        ++kept;
    } else {
        canonical.append(digits);
    }
    canonical += 'e';
    canonical += std::to_string(exponent10 - static_cast<long long>(kept));

    long double result = std::strtold(canonical.c_str(), nullptr);
    if (std::isinf(result) || std::fabs(result) > kExtendedMax) return false;
    value = result;
    return true;
}

// Two's-complement reinterpretation without relying on implementation-defined conversion.
std::int32_t fromPattern(std::uint32_t pattern) {
    if (pattern <= 0x7FFFFFFFu) return static_cast<std::int32_t>(pattern);
    return -static_cast<std::int32_t>(~pattern) - 1;
}

int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Skips leading spaces and one optional sign; returns the position after them.
size_t skipBlanksAndSign(std::string_view s, bool& negative) {
    size_t p = 0;
    while (p < s.size() && s[p] == ' ') ++p;
    negative = false;
    if (p < s.size() && (s[p] == '+' || s[p] == '-')) negative = s[p++] == '-';
    return p;
}

}  // namespace

bool TextToFloat(const std::string& text, const std::string& decimalSeparator, long double& value) {
    const std::string_view s(text);
    const size_t n = s.size();
    bool negative = false;
    size_t p = skipBlanksAndSign(s, negative);

    // Mantissa: remember where its significant digits start and end, and where the separator is.
    size_t mantissaDigits = 0;     // all digits read
    size_t digitsBeforePoint = 0;  // digits before the separator (all of them without one)
    size_t leadingZeros = 0;       // zeros before the first non-zero digit
    bool seenSeparator = false;
    bool seenNonZero = false;
    std::string significant;
    size_t significantLength = 0;  // length of `significant` without its trailing zeros
    while (p < n) {
        if (isDigit(s[p])) {
            if (s[p] != '0') seenNonZero = true;
            if (seenNonZero) {
                significant += s[p];
                if (s[p] != '0') significantLength = significant.size();
            } else {
                ++leadingZeros;
            }
            ++mantissaDigits;
            if (!seenSeparator) ++digitsBeforePoint;
            ++p;
        } else if (!seenSeparator && !decimalSeparator.empty() &&
                   s.compare(p, decimalSeparator.size(), decimalSeparator) == 0) {
            seenSeparator = true;
            p += decimalSeparator.size();
        } else {
            break;
        }
    }
    if (mantissaDigits == 0 && !seenSeparator) return false;

    long long exponent = 0;
    if (p < n && (s[p] == 'e' || s[p] == 'E')) {
        ++p;
        bool negativeExponent = false;
        if (p < n && (s[p] == '+' || s[p] == '-')) negativeExponent = s[p++] == '-';
        while (p < n && isDigit(s[p]) && exponent < kExponentLimit)
            exponent = exponent * 10 + (s[p++] - '0');
        if (negativeExponent) exponent = -exponent;
    }

    while (p < n && s[p] == ' ') ++p;
    if (p != n) return false;

    if (significantLength == 0) {
        value = negative ? -0.0L : 0.0L;
        return true;
    }
    const long long exponent10 =
        exponent + static_cast<long long>(digitsBeforePoint) - static_cast<long long>(leadingZeros);
    significant.resize(significantLength);
    return scaleDigits(significant, exponent10, negative, value);
}

bool StrToBool(const std::string& text) {
    long double number = 0;
    if (TextToFloat(text, decimalSeparator(), number)) return number != 0;
    if (equalsIgnoringAsciiCase(text, "true")) return true;
    if (equalsIgnoringAsciiCase(text, "false")) return false;
    throw Error("'" + text + "' is not a valid boolean value");
}

bool TryStrToInt(const std::string& text, std::int32_t& value) {
    const std::string_view s(text);
    const size_t n = s.size();
    bool negative = false;
    size_t p = skipBlanksAndSign(s, negative);

    bool hex = false;
    if (p < n && (s[p] == '$' || s[p] == 'x' || s[p] == 'X')) {
        hex = true;
        ++p;
    } else if (p + 1 < n && s[p] == '0' && (s[p + 1] == 'x' || s[p + 1] == 'X')) {
        hex = true;
        p += 2;
    }

    if (p == n) return false;
    if (hex) {
        // Leading zeros are free; at most 8 significant hex digits fit 32 bits.
        std::uint32_t pattern = 0;
        int significantDigits = 0;
        for (; p < n; ++p) {
            int digit = hexDigitValue(s[p]);
            if (digit < 0) return false;
            if (pattern == 0 && digit == 0) continue;
            if (++significantDigits > 8) return false;
            pattern = (pattern << 4) | static_cast<std::uint32_t>(digit);
        }
        value = fromPattern(negative ? 0u - pattern : pattern);
        return true;
    }

    // Decimal: digits alone after the sign, within 32 bits.
    if (!isDigit(s[p])) return false;
    const std::optional<std::int64_t> magnitude = TextToInt64(s.substr(p));
    if (!magnitude) return false;
    const std::int64_t number = negative ? -*magnitude : *magnitude;
    if (number < INT32_MIN || number > INT32_MAX) return false;
    value = static_cast<std::int32_t>(number);
    return true;
}

std::optional<std::int64_t> TextToInt64(std::string_view text) {
    const bool negative = !text.empty() && text[0] == '-';
    if (!text.empty() && (negative || text[0] == '+')) text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    const std::uint64_t limit = (std::uint64_t{1} << 63) - (negative ? 0 : 1);
    std::uint64_t magnitude = 0;
    for (const char c : text) {
        if (!isDigit(c)) return std::nullopt;
        const unsigned digit = static_cast<unsigned>(c - '0');
        if (magnitude > (limit - digit) / 10) return std::nullopt;
        magnitude = magnitude * 10 + digit;
    }
    return negative && magnitude > 0 ? -static_cast<std::int64_t>(magnitude - 1) - 1
                                     : static_cast<std::int64_t>(magnitude);
}

std::int32_t StrToInt(const std::string& text) {
    std::int32_t value = 0;
    if (!TryStrToInt(text, value)) throw Error("'" + text + "' is not a valid integer value");
    return value;
}

}  // namespace dormex::platform
