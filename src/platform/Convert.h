#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Conversions between stored setting texts and the values they stand for.
namespace dormex::platform {

// True when `text` reads as a decimal number: optional spaces, optional sign, digits with at most
// one `decimalSeparator` (at least one digit or the separator), optional exponent ("E"/"e", sign,
// digits taken only while the exponent is below 500), optional spaces, end. A value beyond the
// 80-bit extended range does not count. On success `value` holds the number.
bool TextToFloat(const std::string& text, const std::string& decimalSeparator, long double& value);

// Strict text-to-boolean: a number gives (number != 0); else "True"/"False" ignoring case;
// else throws Error("'<text>' is not a valid boolean value"). Uses the locale's separator.
bool StrToBool(const std::string& text);

// Lenient integer test: leading spaces, optional sign, decimal digits within the signed 32-bit
// range, or hex after "$", "x", "X", "0x", "0X" fitting 32 bits (taken as a 32-bit pattern, so
// $FFFFFFFF is -1; the sign negates it). Nothing may follow the last digit.
bool TryStrToInt(const std::string& text, std::int32_t& value);

// Strict conversion with the syntax of TryStrToInt; throws Error("'<text>' is not a valid integer
// value") when it does not pass.
std::int32_t StrToInt(const std::string& text);

// An optional sign and decimal digits (at least one, leading zeros allowed) within signed 64
// bits; nothing for any other text.
std::optional<std::int64_t> TextToInt64(std::string_view text);

}  // namespace dormex::platform
