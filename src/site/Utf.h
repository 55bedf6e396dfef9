#pragma once

#include <string>

// Conversion between the program's 8-bit text (UTF-8) and the UTF-16 of the site library.
namespace dormex::site {

// Invalid UTF-8 sequences become U+FFFD.
std::u16string toUtf16(const std::string& text);
// Unpaired surrogates become U+FFFD.
std::string toUtf8(const std::u16string& text);

}  // namespace dormex::site
