#include "os/local_time.h"

#include <time.h>

#include <cerrno>
#include <cmath>

#include "os/clock.h"

namespace os {

double LocalDateTimeFromUnix(int64_t seconds, int milliseconds) {
  const time_t t = static_cast<time_t>(seconds);
  tm local{};
  if (localtime_r(&t, &local) == nullptr) {
    // Only an absurd time_t gets here; fall back to UTC rather than invent a date.
    gmtime_r(&t, &local);
  }
  const int64_t days =
      DaysFromCivil(int64_t{local.tm_year} + 1900, static_cast<unsigned>(local.tm_mon + 1),
                    static_cast<unsigned>(local.tm_mday)) -
      kDateTimeEpochShift;
  // A leap second (tm_sec == 60) must not push the time of day into the next day.
  const int sec = local.tm_sec > 59 ? 59 : local.tm_sec;
  const int64_t ms =
      ((int64_t{local.tm_hour} * 60 + local.tm_min) * 60 + sec) * 1000 + milliseconds;
  return static_cast<double>(days) + static_cast<double>(ms) / kMSecsPerDay;
}

bool UnixFromLocalDateTime(double dateTime, int64_t& seconds) {
  // 1601-01-01 and 10000-01-01 as date-time values: the span Windows file
  // times and the date routines cover.
  constexpr double kFirst = static_cast<double>(DaysFromCivil(1601, 1, 1) - kDateTimeEpochShift);
  constexpr double kEnd = static_cast<double>(DaysFromCivil(10000, 1, 1) - kDateTimeEpochShift);
  if (!std::isfinite(dateTime) || dateTime < kFirst || dateTime >= kEnd) return false;
  // Whole seconds since the date-time epoch. Days before the epoch keep a
  // forward-counting time of day (-1.25 is 1899-12-29 06:00).
  const double day = std::trunc(dateTime);
  const double frac = std::fabs(dateTime - day);
  int64_t secOfDay = std::llround(frac * 86400.0);
  int64_t dayNum = static_cast<int64_t>(day);
  if (secOfDay >= 86400) {
    secOfDay -= 86400;
    dayNum += 1;
  }
  // Civil date of the day, through the inverse of DaysFromCivil.
  const int64_t z = dayNum + kDateTimeEpochShift + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  const int64_t y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2);

  tm local{};
  local.tm_year = static_cast<int>(y - 1900);
  local.tm_mon = static_cast<int>(m) - 1;
  local.tm_mday = static_cast<int>(d);
  local.tm_hour = static_cast<int>(secOfDay / 3600);
  local.tm_min = static_cast<int>(secOfDay / 60 % 60);
  local.tm_sec = static_cast<int>(secOfDay % 60);
  local.tm_isdst = -1;  // let the zone rules say whether summer time applies
  errno = 0;
  const time_t t = mktime(&local);
  if (t == static_cast<time_t>(-1) && errno != 0) return false;
  seconds = static_cast<int64_t>(t);
  return true;
}

}  // namespace os
