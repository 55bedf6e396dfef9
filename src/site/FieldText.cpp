#include "site/FieldText.h"

#include <cmath>
#include <cstdio>

#include "platform/Convert.h"
#include "platform/Locale.h"

namespace dormex::site {
namespace {

// A decimal number's parts: "-0012.50" gives negative, whole "12" (no leading zeros, empty for
// zero) and fraction "50" (as written).
struct DecimalParts {
    bool negative = false;
    std::string whole;
    std::string fraction;
};

bool splitDecimal(std::string_view text, DecimalParts& parts) {
    parts = DecimalParts{};
    size_t i = 0;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) parts.negative = text[i++] == '-';
    bool digits = false;
    bool point = false;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '.' && !point) {
            point = true;
        } else if (c >= '0' && c <= '9') {
            digits = true;
            std::string& part = point ? parts.fraction : parts.whole;
            if (point || c != '0' || !part.empty()) part += c;
        } else {
            return false;
        }
    }
    return digits;
}

std::string realText(double value) {
    if (std::trunc(value) == value && std::fabs(value) <= 0x1p53)
        return std::to_string(static_cast<std::int64_t>(value));
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.15g", value);
    std::string text(buffer);
    const size_t dot = text.find('.');
    if (dot != std::string::npos) text.replace(dot, 1, platform::decimalSeparator());
    return text;
}

std::optional<std::int64_t> realInteger(double value) {
    if (std::isfinite(value) && std::trunc(value) == value && value >= -0x1p63 && value < 0x1p63)
        return static_cast<std::int64_t>(value);
    return std::nullopt;
}

std::string decimalText(std::string_view digits) {
    DecimalParts parts;
    if (!splitDecimal(digits, parts)) return std::string(digits);
    const bool zero =
        parts.whole.empty() && parts.fraction.find_first_not_of('0') == std::string::npos;
    std::string text = parts.negative && !zero ? "-" : "";
    text += parts.whole.empty() ? "0" : parts.whole;
    if (!parts.fraction.empty()) text += platform::decimalSeparator() + parts.fraction;
    return text;
}

std::optional<std::int64_t> decimalInteger(std::string_view digits) {
    DecimalParts parts;
    if (!splitDecimal(digits, parts) || parts.fraction.find_first_not_of('0') != std::string::npos)
        return std::nullopt;
    return platform::TextToInt64((parts.negative ? "-" : "") +
                                 (parts.whole.empty() ? "0" : parts.whole));
}

}  // namespace

FieldValue NullValue() {
    return {std::nullopt, 0};
}

FieldValue IntegerValue(std::int64_t value) {
    return {std::to_string(value), value};
}

FieldValue BooleanValue(bool value) {
    return {value ? "True" : "False", value ? 1 : 0};
}

FieldValue RealValue(double value) {
    return {realText(value), realInteger(value)};
}

FieldValue DecimalValue(std::string_view digits) {
    return {decimalText(digits), decimalInteger(digits)};
}

FieldValue TextValue(std::string text) {
    std::optional<std::int64_t> integer = platform::TextToInt64(text);
    return {std::move(text), integer};
}

bool IsDecimalText(std::string_view digits) {
    DecimalParts parts;
    return splitDecimal(digits, parts);
}

}  // namespace dormex::site
