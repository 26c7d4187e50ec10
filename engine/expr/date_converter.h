// TTavStrToDateTimeConverter reads a date, a time or both out of the text of a
// filter or query (a literal compared with a date column) in the order of day,
// month and year the caller names, or the locale's (host/rtl/format_settings.h).
// Day and month may be written as names ("Jan 5 2004"), two-digit years land
// in the locale's century window, and a time may carry the AM or PM string.
//
// The converter never raises: text that is no date or time, a part too long
// for an integer, or a date that does not exist makes it return False.
// Positions count from 1, as the text of a filter is counted for its users.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "host/db/field_types.h"
#include "host/rtl/date_time.h"
#include "host/rtl/object.h"

namespace tav {

class TTavStrToDateTimeConverter : public host::TObject {
 public:
  // Reads from the start of `text`. `order` is three of the letters D, M and Y
  // (any case) giving the order of day, month and year; empty means the
  // locale's order. ftDate reads a date, ftTime a time, ftDateTime a date
  // followed by a time; other types read nothing and succeed with 0.
  bool ConvertStrToDate(std::string_view text, std::string_view order, host::TFieldType fieldType,
                        host::TDateTime& value);
  // The same from LastPos, for a second date in the same text (BETWEEN).
  bool ConvertStrToDateFromLastPos(std::string_view text, std::string_view order,
                                   host::TFieldType fieldType, host::TDateTime& value);
  void SetLastPos(int32_t position) { last_pos_ = position; }
  // After a success the position after what was read (where a date leaves
  // off, the start of what follows); below 1 after a failure.
  int32_t LastPos() const { return last_pos_; }

  // "DMY", "MDY", "YMD" or "YDM" after the locale's short date format.
  static std::string GetSDFOrder();

 private:
  bool InternalConvertStrToDate(std::string_view text, std::string_view order,
                                host::TFieldType fieldType, int32_t start, host::TDateTime& value);

  int32_t last_pos_ = 0;
};

}  // namespace tav
