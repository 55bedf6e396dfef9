#pragma once

#include <ctime>
#include <string>

// The locale's formats: on POSIX systems as set by setlocale(LC_ALL, "") at start-up, on Windows
// the user's locale.
namespace dormex::platform {

// Local broken-down time of `t`.
std::tm localTime(std::time_t t);

// Date alone in the locale's short date format (strftime "%x", GetDateFormatW's short date).
std::string shortDate(const std::tm& tm);

// Time in the locale's long time format (strftime "%X", GetTimeFormatW).
std::string longTime(const std::tm& tm);

// The locale's radix character(s); "." when the locale gives none.
std::string decimalSeparator();

}  // namespace dormex::platform
