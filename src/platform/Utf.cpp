#include "platform/Utf.h"

namespace dormex::platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool isSurrogate(char32_t cp) {
    return cp >= 0xD800 && cp < 0xE000;
}

// Bytes in the UTF-8 sequence `lead` starts; 0 when it starts none.
size_t sequenceLength(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead < 0xC2) return 0;
    if (lead < 0xE0) return 2;
    if (lead < 0xF0) return 3;
    return lead < 0xF5 ? 4 : 0;
}

// The character whose UTF-8 sequence starts at `i`, moving `i` past it. A byte that starts no
// well-formed sequence gives U+FFFD and is passed alone.
char32_t decodeUtf8(std::string_view text, size_t& i, LoneSurrogates lone) {
    const auto lead = static_cast<unsigned char>(text[i]);
    size_t length = sequenceLength(lead);
    char32_t cp = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(i + k < text.size() ? text[i + k] : 0);
        if ((next & 0xC0) != 0x80) length = 0;
        cp = cp << 6 | (next & 0x3F);
    }
    const bool valid =
        length == 1 || length == 2 ||
        (length == 3 && cp >= 0x800 && (lone == LoneSurrogates::Keep || !isSurrogate(cp))) ||
        (length == 4 && cp >= 0x10000 && cp <= 0x10FFFF);
    if (!valid) {
        ++i;
        return kReplacement;
    }
    i += length;
    return cp;
}

void appendUtf8(std::string& out, char32_t cp) {
    static const unsigned char kLead[] = {0x00, 0xC0, 0xE0, 0xF0};
    const int trailing = cp < 0x80 ? 0 : cp < 0x800 ? 1 : cp < 0x10000 ? 2 : 3;
    out += static_cast<char>(kLead[trailing] | (cp >> (6 * trailing)));
    for (int k = trailing - 1; k >= 0; --k)
        out += static_cast<char>(0x80 | ((cp >> (6 * k)) & 0x3F));
}

template <class Unit>
std::basic_string<Unit> utf16Of(std::string_view text, LoneSurrogates lone) {
    std::basic_string<Unit> out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        char32_t cp = decodeUtf8(text, i, lone);
        if (cp >= 0x10000) {
            out += static_cast<Unit>(0xD800 + ((cp - 0x10000) >> 10));
            cp = 0xDC00 + ((cp - 0x10000) & 0x3FF);
        }
        out += static_cast<Unit>(cp);
    }
    return out;
}

template <class Unit>
std::string utf8Of(std::basic_string_view<Unit> text, LoneSurrogates lone) {
    auto unit = [&](size_t i) { return static_cast<char32_t>(static_cast<char16_t>(text[i])); };
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t cp = unit(i);
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < text.size() && unit(i + 1) >= 0xDC00 &&
            unit(i + 1) < 0xE000)
            cp = 0x10000 + ((cp - 0xD800) << 10) + (unit(++i) - 0xDC00);
        else if (isSurrogate(cp) && lone == LoneSurrogates::Replace)
            cp = kReplacement;
        appendUtf8(out, cp);
    }
    return out;
}

}  // namespace

std::u16string toUtf16(std::string_view text, LoneSurrogates lone) {
    return utf16Of<char16_t>(text, lone);
}

std::string toUtf8(std::u16string_view text, LoneSurrogates lone) {
    return utf8Of(text, lone);
}

std::wstring toWide(std::string_view text) {
    return utf16Of<wchar_t>(text, LoneSurrogates::Replace);
}

std::string toUtf8(std::wstring_view text) {
    return utf8Of(text, LoneSurrogates::Replace);
}

}  // namespace dormex::platform
