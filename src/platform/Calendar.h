#pragma once

#include <cstdint>
#include <ctime>
#include <string>

// Dates of the proleptic Gregorian calendar, counted by the calendar alone (no clock changes).
namespace dormex::platform {

// Days from 1970-01-01 to the date y-m-d.
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d);

// The local date of `now` less `days` days: its year, month, day, weekday and day of the year
// (the time of day zero). Dates before 0001-01-01 or after 9999-12-31 are held at those limits.
std::tm localDayBefore(std::time_t now, std::int64_t days);

// The local date of `now` less `days` days, as YYYY-MM-DD, held as localDayBefore holds it.
std::string localDateBefore(std::time_t now, std::int64_t days);

// The date y-m-d at `hour`:`minute`:`second`, with its weekday and day of the year.
std::tm civilTime(std::int64_t y, unsigned m, unsigned d, int hour = 0, int minute = 0,
                  int second = 0);

// The local time of `t` in ISO 8601 with its offset from UTC: "2026-12-09T03:00:12+01:00".
std::string isoLocalTime(std::time_t t);

}  // namespace dormex::platform
