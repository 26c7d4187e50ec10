// Time stamps as the dataset framework moves them between a record buffer and
// a field: a date-time field's buffer holds milliseconds since the start of
// day 0 (0000-12-31), so that TTimeStamp.Date * MSecsPerDay + Time. TTimeStamp
// itself and its conversions from and to TDateTime are in host/rtl/date_time.h.
#pragma once

#include <cstdint>

#include "host/rtl/date_time.h"

namespace host {

int64_t TimeStampToMSecs(const TTimeStamp& timeStamp);

// The inverse of TimeStampToMSecs; a value whose day count does not fit 32 bits
// raises EConvertError "'<msecs>' is not a valid timestamp".
TTimeStamp MSecsToTimeStamp(int64_t msecs);

}  // namespace host
