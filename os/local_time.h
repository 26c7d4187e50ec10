// Local date and time as the system's date-time value: days since 1899-12-30,
// the fraction being the time of day, in the machine's local time zone. The
// clock's Now and the file dates of the virtual Windows paths both convert
// through here, so a date read from a file and a date taken from Now compare
// as the same kind of value.
//
// Callers must keep: file dates are whole seconds. Converting a date-time to
// seconds rounds to the nearest second, so a value read back from a file
// equals the value set only to the second.
#pragma once

#include <cstdint>

namespace os {

// Days from 1970-01-01 to the given proleptic Gregorian date.
constexpr int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

// Date-time values count days from 1899-12-30.
inline constexpr int64_t kDateTimeEpochShift = DaysFromCivil(1899, 12, 30);
static_assert(DaysFromCivil(1970, 1, 1) - kDateTimeEpochShift == 25569);

// The local date-time of a moment given as seconds since 1970-01-01 UTC plus
// milliseconds.
double LocalDateTimeFromUnix(int64_t seconds, int milliseconds = 0);

// The moment, in whole seconds since 1970-01-01 UTC, of a local date-time.
// False for a value that is not finite or lies outside years 1601..9999.
bool UnixFromLocalDateTime(double dateTime, int64_t& seconds);

}  // namespace os
