#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "site/SiteLibrary.h"

// Field values as every site library gives them to the cursor, whatever their type. Integers
// give their digits, booleans "True" or "False" and 1 or 0, characters themselves (UTF-8).
namespace dormex::site {

FieldValue NullValue();
FieldValue IntegerValue(std::int64_t value);
FieldValue BooleanValue(bool value);
// Whole numbers up to 2^53 as plain digits, others with 15 significant digits and the locale's
// decimal separator; a whole real within 64 bits (-2^63 in, 2^63 out) is its integer.
FieldValue RealValue(double value);
// An exact decimal number's text (see IsDecimalText) without a '+', leading zeros or a minus on
// zero, the fraction as stored, the locale's decimal separator, its integer when its fraction
// holds zeros only; text that is no decimal as it is.
FieldValue DecimalValue(std::string_view digits);
// Characters, their integer when they are a whole decimal number with an optional sign and
// nothing else, within 64 bits.
FieldValue TextValue(std::string text);

// True for an exact decimal number's text: an optional sign, digits and an optional '.' with
// digits (at least one digit in all: ".5" and "5." count).
bool IsDecimalText(std::string_view digits);

}  // namespace dormex::site
