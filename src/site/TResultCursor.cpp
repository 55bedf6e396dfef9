#include "site/TResultCursor.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "platform/Error.h"
#include "platform/Locale.h"
#include "platform/Text.h"
#include "site/OleError.h"
#include "site/Utf.h"

namespace dormex::site {
namespace {

// A whole decimal integer with an optional sign and nothing else, within 64 bits.
bool parseInt64(const std::string& text, std::int64_t& value) {
    if (text.empty()) return false;
    size_t i = (text[0] == '-' || text[0] == '+') ? 1 : 0;
    if (i == text.size()) return false;
    for (size_t k = i; k < text.size(); ++k) {
        if (text[k] < '0' || text[k] > '9') return false;
    }
    errno = 0;
    char* end = nullptr;
    long long parsed = std::strtoll(text.c_str(), &end, 10);
    if (errno == ERANGE || end != text.c_str() + text.size()) return false;
    value = parsed;
    return true;
}

// Whole numbers up to 2^53 (below which every whole number is exact) as plain digits; other
// values with 15 significant digits, as %g writes them.
std::string formatReal(double value) {
    if (std::trunc(value) == value && std::fabs(value) <= 0x1p53)
        return std::to_string(static_cast<std::int64_t>(value));
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.15g", value);
    std::string text(buffer);
    size_t dot = text.find('.');
    if (dot != std::string::npos) text.replace(dot, 1, platform::decimalSeparator());
    return text;
}

// A Decimal's text without a '+', leading zeros or a minus on zero; the fraction as stored. Text
// that is no decimal is given as it is.
std::string formatDecimal(const std::u16string& digits) {
    DecimalParts parts;
    if (!splitDecimal(digits, parts)) return toUtf8(digits);
    const bool zero =
        parts.whole.empty() && parts.fraction.find_first_not_of('0') == std::string::npos;
    std::string text = parts.negative && !zero ? "-" : "";
    text += parts.whole.empty() ? "0" : parts.whole;
    if (!parts.fraction.empty()) text += platform::decimalSeparator() + parts.fraction;
    return text;
}

// The integer a Decimal holds: a fraction of zeros only, a value within 64 bits.
bool decimalToInt64(const std::u16string& digits, std::int64_t& value) {
    DecimalParts parts;
    if (!splitDecimal(digits, parts) ||
        parts.fraction.find_first_not_of('0') != std::string::npos || parts.whole.size() > 19)
        return false;
    std::uint64_t magnitude = 0;  // below 10^19, so no overflow
    for (char c : parts.whole) magnitude = magnitude * 10 + static_cast<std::uint64_t>(c - '0');
    constexpr std::uint64_t kLimit = std::uint64_t{1} << 63;
    if (magnitude > (parts.negative ? kLimit : kLimit - 1)) return false;
    if (parts.negative && magnitude == kLimit)
        value = std::numeric_limits<std::int64_t>::min();
    else
        value = parts.negative ? -static_cast<std::int64_t>(magnitude)
                               : static_cast<std::int64_t>(magnitude);
    return true;
}

}  // namespace

Variant TResultCursor::Field::value() const {
    Variant v;
    OleCheck(m_cursor->m_recordset->Value(m_index, v));
    return v;
}

std::string TResultCursor::Field::AsString() const {
    Variant v = value();
    switch (v.type) {
        case Variant::Type::Empty:
        case Variant::Type::Null:
            return {};
        case Variant::Type::Integer:
        case Variant::Type::Int64:
            return std::to_string(v.integer);
        case Variant::Type::Boolean:
            return v.integer ? "True" : "False";
        case Variant::Type::Double:
            return formatReal(v.real);
        case Variant::Type::OleStr:
            return toUtf8(v.text);
        case Variant::Type::Decimal:
            return formatDecimal(v.text);
        case Variant::Type::Dispatch:
            break;
    }
    m_cursor->fail("Field '" + m_name + "' cannot be read as text");
}

std::int64_t TResultCursor::Field::AsInteger() const {
    Variant v = value();
    std::int64_t result = 0;
    switch (v.type) {
        case Variant::Type::Empty:
        case Variant::Type::Null:
            return 0;
        case Variant::Type::Integer:
        case Variant::Type::Int64:
        case Variant::Type::Boolean:
            return v.integer;
        case Variant::Type::Double:
            // Only whole numbers inside the 64-bit range, taken as they are: -2^63 is in, 2^63
            // (the first double above the largest 64-bit integer) is out.
            if (std::isfinite(v.real) && std::trunc(v.real) == v.real && v.real >= -0x1p63 &&
                v.real < 0x1p63) {
                return static_cast<std::int64_t>(v.real);
            }
            break;
        case Variant::Type::OleStr:
            if (parseInt64(toUtf8(v.text), result)) return result;
            break;
        case Variant::Type::Decimal:
            if (decimalToInt64(v.text, result)) return result;
            break;
        case Variant::Type::Dispatch:
            break;
    }
    m_cursor->fail("'" + AsString() + "' is not a valid integer value for field '" + m_name + "'");
}

void TResultCursor::Bind(const ObjectPtr& recordset) {
    Close();
    if (!recordset) return;
    try {
        auto rs = QueryInterface<Recordset>(recordset);
        std::int32_t state = 0;
        OleCheck(rs->State(state));
        if ((state & Recordset::kStateOpen) == 0) fail("Recordset is not open");
        std::int32_t count = 0;
        OleCheck(rs->FieldCount(count));
        std::vector<std::string> fields;
        for (std::int32_t i = 0; i < count; ++i) {
            std::u16string name;
            OleCheck(rs->FieldName(i, name));
            fields.push_back(toUtf8(name));
        }
        bool eof = true;
        OleCheck(rs->Eof(eof));
        m_recordset = std::move(rs);
        m_fields = std::move(fields);
        m_atEnd = eof;
    } catch (...) {
        Close();
        throw;
    }
}

void TResultCursor::Close() {
    m_recordset.reset();
    m_fields.clear();
    m_atEnd = true;
}

void TResultCursor::Next() {
    if (!m_recordset || m_atEnd) return;
    OleCheck(m_recordset->MoveNext());
    bool eof = true;
    OleCheck(m_recordset->Eof(eof));
    m_atEnd = eof;
}

TResultCursor::Field TResultCursor::FieldAt(std::int32_t index) const {
    if (!m_recordset || index < 0 || index >= FieldCount()) {
        throw Error("List index out of bounds (" + std::to_string(index) + ")");
    }
    return Field(this, index, m_fields[static_cast<size_t>(index)]);
}

TResultCursor::Field TResultCursor::FieldByName(const std::string& name) const {
    for (size_t i = 0; i < m_fields.size(); ++i) {
        if (platform::equalsIgnoringAsciiCase(m_fields[i], name)) {
            return Field(this, static_cast<std::int32_t>(i), m_fields[i]);
        }
    }
    fail("Field '" + name + "' not found");
}

void TResultCursor::fail(const std::string& message) const {
    throw Error(m_name + ": " + message);
}

}  // namespace dormex::site
