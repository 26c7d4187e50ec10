// TTimeStamp: the dataset framework's split form of a date-time, used where
// field values cross between a record buffer and a host value: Date counts days
// with 1 for 0001-01-01 (so 693594 is 1899-12-30, day 0 of a TDateTime), Time
// counts milliseconds since midnight.
//
// A TDateTime is a double: whole days since 1899-12-30, and the fraction of a
// day as its time, also for negative values (-1.25 is 1899-12-29 06:00).
#pragma once

#include <cstdint>

namespace host {

struct TTimeStamp {
  int32_t Time = 0;  // milliseconds since midnight
  int32_t Date = 0;  // one plus the number of days since 0001-01-01
};

inline constexpr int32_t DateDelta = 693594;     // TTimeStamp.Date of 1899-12-30
inline constexpr int32_t MSecsPerDay = 86400000;

// Rounds to the nearest millisecond (halves to even). A value that is not
// finite or lies beyond the dates the format can hold raises EConvertError.
TTimeStamp DateTimeToTimeStamp(double dateTime);

// A Date below 1 or a Time outside one day raises EConvertError
// "'<date>.<time>' is not a valid timestamp".
double TimeStampToDateTime(const TTimeStamp& timeStamp);

// Milliseconds since the start of day 0 (0000-12-31); the form date-time
// fields take in a record buffer.
int64_t TimeStampToMSecs(const TTimeStamp& timeStamp);

// The inverse of TimeStampToMSecs; a value that does not fit raises EConvertError.
TTimeStamp MSecsToTimeStamp(int64_t msecs);

}  // namespace host
