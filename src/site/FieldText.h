#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// How every site library gives the values of a result to the cursor, whatever their type: as
// text (Recordset::Text) and as a whole number (Recordset::Integer). Integers give their digits,
// booleans "True" or "False" and 1 or 0, characters themselves (UTF-8).
namespace dormex::site {

// A real number: whole numbers up to 2^53 as plain digits, others with 15 significant digits
// and the locale's decimal separator.
std::string RealText(double value);
// A whole real within 64 bits (-2^63 in, 2^63 out) as its exact value.
std::optional<std::int64_t> RealInteger(double value);

// True for an exact decimal number's text: an optional sign, digits and an optional '.' with
// digits (at least one digit in all: ".5" and "5." count).
bool IsDecimalText(std::string_view digits);
// A decimal's text without a '+', leading zeros or a minus on zero, the fraction as stored, the
// locale's decimal separator; text that is no decimal as it is.
std::string DecimalText(std::string_view digits);
// A decimal whose fraction holds zeros only, within 64 bits.
std::optional<std::int64_t> DecimalInteger(std::string_view digits);

// A text that is a whole decimal integer with an optional sign and nothing else, within 64 bits.
std::optional<std::int64_t> TextInteger(const std::string& text);

}  // namespace dormex::site
