// Fuzzes TryStrToInt and StrToInt: the two agree, StrToInt's error text is exact, and texts over
// the integer alphabet read as a small independent parser reads them.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "FuzzCheck.h"
#include "platform/Convert.h"
#include "platform/Error.h"

namespace {

using dormex::platform::StrToInt;
using dormex::platform::TryStrToInt;

// Characters the reference parser is compared on; others only check agreement.
bool inIntegerAlphabet(char c) {
    return c == ' ' || c == '+' || c == '-' || c == '$' || c == 'x' || c == 'X' ||
           (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int digitValue(char c, int base) {
    int v = -1;
    if (c >= '0' && c <= '9')
        v = c - '0';
    else if (c >= 'a' && c <= 'f')
        v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        v = c - 'A' + 10;
    return v < base ? v : -1;
}

// Reference reading: blanks, one optional sign, then either decimal digits within the signed
// 32-bit range or a hex prefix ("$", "x", "X", "0x", "0X") and hex digits below 2^32, taken as a
// 32-bit pattern that the sign negates modulo 2^32. Nothing may follow the digits.
std::optional<std::int32_t> referenceInt(const std::string& s) {
    size_t p = s.find_first_not_of(' ');
    if (p == std::string::npos) return std::nullopt;
    bool negative = false;
    if (s[p] == '+' || s[p] == '-') negative = s[p++] == '-';
    int base = 10;
    if (s.compare(p, 2, "0x") == 0 || s.compare(p, 2, "0X") == 0) {
        base = 16;
        p += 2;
    } else if (p < s.size() && (s[p] == '$' || s[p] == 'x' || s[p] == 'X')) {
        base = 16;
        p += 1;
    }
    if (p == s.size()) return std::nullopt;
    std::uint64_t magnitude = 0;
    for (; p < s.size(); ++p) {
        int d = digitValue(s[p], base);
        if (d < 0) return std::nullopt;
        magnitude = magnitude * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
        if (magnitude > 0xFFFFFFFFull) return std::nullopt;
    }
    if (base == 10) {
        if (magnitude > (negative ? 2147483648ull : 2147483647ull)) return std::nullopt;
        const std::int64_t signedValue =
            negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
        return static_cast<std::int32_t>(signedValue);
    }
    std::uint32_t pattern = static_cast<std::uint32_t>(magnitude);
    if (negative) pattern = 0u - pattern;
    const std::int64_t wide = pattern <= 0x7FFFFFFFu
                                  ? static_cast<std::int64_t>(pattern)
                                  : static_cast<std::int64_t>(pattern) - 4294967296LL;
    return static_cast<std::int32_t>(wide);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    std::int32_t lenient = 0;
    const bool ok = TryStrToInt(text, lenient);
    try {
        const std::int32_t strict = StrToInt(text);
        require(ok, "StrToInt returns only when TryStrToInt passes", text);
        require(strict == lenient, "StrToInt and TryStrToInt give the same value", text);
    } catch (const dormex::Error& e) {
        require(!ok, "StrToInt throws only when TryStrToInt fails", text);
        // what() ends at the first NUL of the message, as any C string does.
        const std::string expected = "'" + text + "' is not a valid integer value";
        require(std::string(e.what()) == expected.c_str(), "StrToInt's error text", text);
    } catch (...) {
        require(false, "StrToInt throws nothing but dormex::Error", text);
    }

    for (char c : text)
        if (!inIntegerAlphabet(c)) return 0;
    const std::optional<std::int32_t> expected = referenceInt(text);
    require(ok == expected.has_value(), "TryStrToInt accepts what the reference accepts", text);
    require(!ok || lenient == *expected, "TryStrToInt reads the reference's value", text);
    return 0;
}
