// Fuzzes StrToBool and TextToFloat: no crash, the exact error text, agreement between the two
// separators, and agreement with the C library for plain decimal texts.
#include <locale.h>
#include <stdlib.h>

#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "FuzzCheck.h"
#include "platform/Convert.h"
#include "platform/Error.h"

namespace {

using dormex::platform::StrToBool;
using dormex::platform::TextToFloat;

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool equalsIgnoringCase(const std::string& text, const char* word) {
    size_t i = 0;
    for (; i < text.size() && word[i]; ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != word[i]) return false;
    }
    return i == text.size() && !word[i];
}

// A plain decimal text: blanks, sign, digits with at most one '.', at least one digit, and an
// optional exponent of one to three digits (below the exponent cap), blanks. `core` is the text
// without the blanks, as strtold reads it.
bool isPlainDecimal(const std::string& text, std::string& core) {
    size_t b = 0, e = text.size();
    while (b < e && text[b] == ' ') ++b;
    while (e > b && text[e - 1] == ' ') --e;
    core = text.substr(b, e - b);
    size_t p = 0;
    if (p < core.size() && (core[p] == '+' || core[p] == '-')) ++p;
    size_t digits = 0;
    bool point = false;
    for (; p < core.size(); ++p) {
        if (isDigit(core[p]))
            ++digits;
        else if (core[p] == '.' && !point)
            point = true;
        else
            break;
    }
    if (digits == 0) return false;
    if (p < core.size() && (core[p] == 'e' || core[p] == 'E')) {
        ++p;
        if (p < core.size() && (core[p] == '+' || core[p] == '-')) ++p;
        size_t exponentDigits = 0;
        for (; p < core.size() && isDigit(core[p]); ++p) ++exponentDigits;
        if (exponentDigits == 0 || exponentDigits > 3) return false;
    }
    return p == core.size();
}

locale_t cLocale() {
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return locale;
}

void checkTextToFloat(const std::string& text) {
    long double dot = 0, comma = 0;
    const bool dotOk = TextToFloat(text, ".", dot);
    const bool commaOk = TextToFloat(text, ",", comma);
    require(!dotOk || std::isfinite(dot), "TextToFloat(\".\") gives a finite value", text);
    require(!commaOk || std::isfinite(comma), "TextToFloat(\",\") gives a finite value", text);

    // Without either separator in the text the separator cannot matter.
    if (text.find_first_of(".,") == std::string::npos) {
        require(dotOk == commaOk, "\".\" and \",\" agree on a text without separators", text);
        require(!dotOk || dot == comma, "\".\" and \",\" give the same value", text);
    }

    std::string core;
    if (!isPlainDecimal(text, core)) return;
    char* end = nullptr;
    const long double expected = strtold_l(core.c_str(), &end, cLocale());
    require(end == core.c_str() + core.size(), "strtold reads the whole plain decimal", text);
    const bool inRange = std::isfinite(expected) && std::fabs(expected) <= LDBL_MAX;
    require(dotOk == inRange, "TextToFloat accepts a plain decimal iff it is in range", text);
    if (!inRange) return;
    require(dot == expected, "TextToFloat equals strtold on a plain decimal", text);
    require(std::signbit(dot) == std::signbit(expected), "TextToFloat keeps the sign of zero",
            text);

    // The same number written with a comma reads the same with the comma separator.
    std::string withComma = text;
    for (char& c : withComma)
        if (c == '.') c = ',';
    long double commaValue = 0;
    require(TextToFloat(withComma, ",", commaValue) && commaValue == expected,
            "the comma form reads the same with \",\"", text);
}

void checkStrToBool(const std::string& text) {
    long double number = 0;
    const bool isNumber = TextToFloat(text, ".", number);
    const bool isTrue = equalsIgnoringCase(text, "true");
    const bool isFalse = equalsIgnoringCase(text, "false");
    try {
        const bool result = StrToBool(text);
        require(isNumber || isTrue || isFalse, "StrToBool accepts only numbers and True/False",
                text);
        if (isNumber)
            require(result == (number != 0), "StrToBool of a number is number != 0", text);
        else
            require(result == isTrue, "StrToBool of True/False", text);
    } catch (const dormex::Error& e) {
        require(!isNumber && !isTrue && !isFalse, "StrToBool throws only for other texts", text);
        // what() ends at the first NUL of the message, as any C string does.
        const std::string expected = "'" + text + "' is not a valid boolean value";
        require(std::string(e.what()) == expected.c_str(), "StrToBool's error text", text);
    } catch (...) {
        require(false, "StrToBool throws nothing but dormex::Error", text);
    }
}

}  // namespace

// The "C" locale makes "." the process's decimal separator, the one StrToBool uses.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setlocale(LC_ALL, "C");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    checkTextToFloat(text);
    checkStrToBool(text);
    return 0;
}
