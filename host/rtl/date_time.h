// Dates and times of the host class library. A TDateTime is a double: whole
// days since 1899-12-30, the fraction being the time of day. Dates before
// 1899-12-30 are negative, and their fraction still counts forward from
// midnight: -1.25 is 1899-12-29 06:00. So decoding always takes the absolute
// value of the fraction, and composing subtracts the time from a negative date.
//
// The text form is fixed, whatever the machine's settings: dates
// "yyyy-mm-dd", times "hh:nn:ss" on a 24-hour clock. DateTimeToStr leaves the
// time out when hours, minutes and seconds are all zero.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace host {

using TDateTime = double;

// Time: milliseconds since midnight. Date: days since 0001-01-01, plus one
// (1899-12-30 is DateDelta).
struct TTimeStamp {
  int32_t Time;
  int32_t Date;
};

inline constexpr int32_t MSecsPerDay = 24 * 60 * 60 * 1000;
inline constexpr int32_t DateDelta = 693594;

bool IsLeapYear(int year);

// Years 1..9999 and the days each month has; anything else fails (Try*) or
// raises EConvertError "Invalid argument to date encode".
bool TryEncodeDate(int year, int month, int day, TDateTime& date);
TDateTime EncodeDate(int year, int month, int day);
// Hours 0..23, minutes and seconds 0..59, milliseconds 0..999; else EConvertError
// "Invalid argument to time encode".
bool TryEncodeTime(int hour, int min, int sec, int msec, TDateTime& time);
TDateTime EncodeTime(int hour, int min, int sec, int msec);

// A value before 0001-01-01 decodes as year, month and day 0. Times are
// rounded to the millisecond first, so 23:59:59.9999 is the next midnight.
void DecodeDate(TDateTime date, int& year, int& month, int& day);
void DecodeTime(TDateTime time, int& hour, int& min, int& sec, int& msec);

// A value that is not finite, or whose day does not fit 32 bits, raises
// EConvertError "Invalid floating point operation".
TTimeStamp DateTimeToTimeStamp(TDateTime dateTime);
TDateTime TimeStampToDateTime(const TTimeStamp& timeStamp);

std::string DateToStr(TDateTime date);
std::string TimeToStr(TDateTime time);
std::string DateTimeToStr(TDateTime dateTime);

// "yyyy-mm-dd" (month and day may have one digit), blanks around allowed;
// else EConvertError "'<text>' is not a valid date".
TDateTime StrToDate(std::string_view s);
// A date, a time "hh:nn[:ss[.zzz]]", or a date, blanks and a time; else
// EConvertError "'<text>' is not a valid date and time".
TDateTime StrToDateTime(std::string_view s);

// The local date and time, today's date (midnight) and the time of day, all
// from the injectable clock (os/clock.h).
TDateTime Now();
TDateTime Date();
TDateTime Time();

}  // namespace host
