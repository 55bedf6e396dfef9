// The user's locale on Windows: short date, long time and decimal separator from the locale
// functions, the broken-down local time from the C runtime (as mktime reads it back).
#include "platform/Locale.h"

#include <windows.h>

#include <cstdio>

#include "platform/Utf.h"

namespace dormex::platform {
namespace {

SYSTEMTIME systemTimeOf(const std::tm& tm) {
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(tm.tm_year + 1900);
    st.wMonth = static_cast<WORD>(tm.tm_mon + 1);
    st.wDayOfWeek = static_cast<WORD>(tm.tm_wday);
    st.wDay = static_cast<WORD>(tm.tm_mday);
    st.wHour = static_cast<WORD>(tm.tm_hour);
    st.wMinute = static_cast<WORD>(tm.tm_min);
    st.wSecond = static_cast<WORD>(tm.tm_sec);
    return st;
}

// ISO forms for what the locale functions refuse (years outside 1601 to 30827).
std::string fallback(const char* pattern, int a, int b, int c) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, pattern, a, b, c);
    return buffer;
}

}  // namespace

std::tm localTime(std::time_t t) {
    std::tm tm{};
    __time64_t time = t;
    // The C runtime covers 1970 to 3000; times outside are held at those ends.
    if (_localtime64_s(&tm, &time) != 0) {
        time = time < 0 ? 0 : 32535215999LL;
        _localtime64_s(&tm, &time);
    }
    return tm;
}

std::string shortDate(const std::tm& tm) {
    const SYSTEMTIME st = systemTimeOf(tm);
    wchar_t buffer[128];
    const int length =
        ::GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &st, nullptr, buffer, 128);
    if (length <= 1) return fallback("%04d-%02d-%02d", st.wYear, st.wMonth, st.wDay);
    return toUtf8(std::wstring_view(buffer, static_cast<size_t>(length - 1)));
}

std::string longTime(const std::tm& tm) {
    const SYSTEMTIME st = systemTimeOf(tm);
    wchar_t buffer[128];
    const int length = ::GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &st, nullptr, buffer, 128);
    if (length <= 1) return fallback("%02d:%02d:%02d", st.wHour, st.wMinute, st.wSecond);
    return toUtf8(std::wstring_view(buffer, static_cast<size_t>(length - 1)));
}

std::string decimalSeparator() {
    wchar_t buffer[8];
    const int length = ::GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, buffer, 8);
    if (length <= 1) return ".";
    return toUtf8(std::wstring_view(buffer, static_cast<size_t>(length - 1)));
}

}  // namespace dormex::platform
