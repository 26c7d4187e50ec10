#include "host/db/time_stamp.h"

#include <cmath>
#include <string>

#include "host/rtl/exceptions.h"

namespace host {

namespace {

[[noreturn]] void InvalidTimeStamp(const TTimeStamp& ts) {
  throw EConvertError("'" + std::to_string(ts.Date) + "." + std::to_string(ts.Time) +
                      "' is not a valid timestamp");
}

}  // namespace

TTimeStamp DateTimeToTimeStamp(double dateTime) {
  // Milliseconds since 1899-12-30; rounding goes half to even, as the host's
  // floating-point unit rounds. The day count must fit the 32-bit Date.
  double ms = std::nearbyint(dateTime * MSecsPerDay);
  constexpr double kLimit = 2147483647.0 - DateDelta;
  if (!std::isfinite(ms) || std::fabs(ms) / MSecsPerDay >= kLimit)
    throw EConvertError("Invalid argument to date encode");
  auto total = static_cast<int64_t>(ms);
  TTimeStamp r;
  r.Date = static_cast<int32_t>(DateDelta + total / MSecsPerDay);
  r.Time = static_cast<int32_t>((total < 0 ? -total : total) % MSecsPerDay);
  return r;
}

double TimeStampToDateTime(const TTimeStamp& timeStamp) {
  if (timeStamp.Time < 0 || timeStamp.Time >= MSecsPerDay || timeStamp.Date <= 0)
    InvalidTimeStamp(timeStamp);
  double days = static_cast<double>(timeStamp.Date - DateDelta);
  double time = static_cast<double>(timeStamp.Time) / MSecsPerDay;
  // Before 1899-12-30 the time still counts forward from midnight, so it is
  // taken away from the (negative) day number.
  return days < 0 ? days - time : days + time;
}

int64_t TimeStampToMSecs(const TTimeStamp& timeStamp) {
  return static_cast<int64_t>(timeStamp.Date) * MSecsPerDay + timeStamp.Time;
}

TTimeStamp MSecsToTimeStamp(int64_t msecs) {
  int64_t date = msecs / MSecsPerDay;
  if (date > INT32_MAX || date < INT32_MIN)
    throw EConvertError("'" + std::to_string(msecs) + "' is not a valid timestamp");
  TTimeStamp r;
  r.Date = static_cast<int32_t>(date);
  r.Time = static_cast<int32_t>(msecs % MSecsPerDay);
  return r;
}

}  // namespace host
