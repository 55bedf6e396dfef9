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
    std::int64_t y;
    unsigned m, d;
    civilFromDays(std::min(std::max(today - days, kFirstDay), kLastDay), y, m, d);
    return civilTime(y, m, d);
}

std::tm civilTime(std::int64_t y, unsigned m, unsigned d, int hour, int minute, int second) {
    const std::int64_t number = daysFromCivil(y, m, d);
    std::tm time{};
    time.tm_year = static_cast<int>(y - 1900);
    time.tm_mon = static_cast<int>(m) - 1;
    time.tm_mday = static_cast<int>(d);
    time.tm_hour = hour;
    time.tm_min = minute;
    time.tm_sec = second;
    time.tm_wday = static_cast<int>(((number % 7) + 11) % 7);  // 1970-01-01 was a Thursday
    time.tm_yday = static_cast<int>(number - daysFromCivil(y, 1, 1));
    return time;
}

std::string isoLocalTime(std::time_t t) {
    const std::tm local = localTime(t);
    // The offset is the local time read as if it were UTC, less the time itself.
    const std::int64_t asUtc =
        daysFromCivil(local.tm_year + std::int64_t{1900}, static_cast<unsigned>(local.tm_mon + 1),
                      static_cast<unsigned>(local.tm_mday)) *
            86400 +
        local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
    const std::int64_t offset = (asUtc - static_cast<std::int64_t>(t)) / 60;
    const std::int64_t minutes = offset < 0 ? -offset : offset;
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d%c%02d:%02d",
                  local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                  local.tm_min, local.tm_sec, offset < 0 ? '-' : '+',
                  static_cast<int>(minutes / 60), static_cast<int>(minutes % 60));
    return buffer;
}

std::string localDateBefore(std::time_t now, std::int64_t days) {
    const std::tm day = localDayBefore(now, days);
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d", day.tm_year + 1900, day.tm_mon + 1,
                  day.tm_mday);
    return buffer;
}

}  // namespace dormex::platform
