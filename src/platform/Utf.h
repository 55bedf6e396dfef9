#pragma once

#include <string>
#include <string_view>

// The one conversion between the program's 8-bit text (UTF-8) and UTF-16: the site library's
// texts, UTF-16 profile files and the wide strings of the Windows functions.
namespace dormex::platform {

// What becomes of a lone surrogate: a UTF-16 unit without its partner, or the three-byte UTF-8
// form of one.
enum class LoneSurrogates {
    Replace,  // U+FFFD: the result is well-formed Unicode
    Keep,     // the unit itself, so that any UTF-16 text comes back unchanged from a round trip
};

// UTF-16 of `text`; each byte that starts no well-formed UTF-8 sequence (overlong forms and
// values past U+10FFFF included) becomes U+FFFD.
std::u16string toUtf16(std::string_view text, LoneSurrogates lone = LoneSurrogates::Replace);
// UTF-8 of `text`; a high and a low surrogate in a row join into one character.
std::string toUtf8(std::u16string_view text, LoneSurrogates lone = LoneSurrogates::Replace);

// The same for wide strings holding UTF-16 units (the Windows functions' 16-bit wchar_t).
std::wstring toWide(std::string_view text);
std::string toUtf8(std::wstring_view text);

}  // namespace dormex::platform
