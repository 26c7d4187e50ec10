#include "host/db/time_stamp.h"

#include <string>

#include "host/rtl/exceptions.h"

namespace host {

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
