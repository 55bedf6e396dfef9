#include "platform/Calendar.h"

#include <algorithm>
#include <cstdio>

#include "platform/Locale.h"

namespace dormex::platform {
namespace {

// The date of a day number from daysFromCivil.
void civilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2);
}

}  // namespace

std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

std::tm localDayBefore(std::time_t now, std::int64_t days) {
    const std::tm local = localTime(now);
    static const std::int64_t kFirstDay = daysFromCivil(1, 1, 1);
    static const std::int64_t kLastDay = daysFromCivil(9999, 12, 31);
    const std::int64_t today =
        daysFromCivil(local.tm_year + std::int64_t{1900}, static_cast<unsigned>(local.tm_mon + 1),
                      static_cast<unsigned>(local.tm_mday));
    const std::int64_t number = std::min(std::max(today - days, kFirstDay), kLastDay);
    std::int64_t y;
    unsigned m, d;
    civilFromDays(number, y, m, d);
    std::tm day{};
    day.tm_year = static_cast<int>(y - 1900);
    day.tm_mon = static_cast<int>(m) - 1;
    day.tm_mday = static_cast<int>(d);
    day.tm_wday = static_cast<int>(((number % 7) + 11) % 7);  // 1970-01-01 was a Thursday
    day.tm_yday = static_cast<int>(number - daysFromCivil(y, 1, 1));
    return day;
}

std::string localDateBefore(std::time_t now, std::int64_t days) {
    const std::tm day = localDayBefore(now, days);
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d", day.tm_year + 1900, day.tm_mon + 1,
                  day.tm_mday);
    return buffer;
}

}  // namespace dormex::platform
