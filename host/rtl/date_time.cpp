#include "host/rtl/date_time.h"

#include <cmath>
#include <cstdio>
#include <limits>

#include "host/rtl/exceptions.h"
#include "os/clock.h"

namespace host {

namespace {

constexpr int kMonthDays[2][12] = {{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
                                   {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31}};

// A negative date carries its time of day as a further negative fraction.
TDateTime ComposeDateTime(TDateTime date, TDateTime time) {
  return date < 0 ? date - time : date + time;
}

std::string Digits(int value, int width) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*d", width, value);
  return buf;
}

std::string_view TrimSpaces(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

// Reads minDigits..maxDigits decimal digits at s[pos].
bool ScanNumber(std::string_view s, size_t& pos, int minDigits, int maxDigits, int& value) {
  int n = 0;
  value = 0;
  while (pos < s.size() && n < maxDigits && s[pos] >= '0' && s[pos] <= '9') {
    value = value * 10 + (s[pos] - '0');
    ++pos;
    ++n;
  }
  return n >= minDigits;
}

bool ScanChar(std::string_view s, size_t& pos, char c) {
  if (pos < s.size() && s[pos] == c) {
    ++pos;
    return true;
  }
  return false;
}

bool ScanDate(std::string_view s, size_t& pos, TDateTime& date) {
  int y, m, d;
  return ScanNumber(s, pos, 4, 4, y) && ScanChar(s, pos, '-') && ScanNumber(s, pos, 1, 2, m) &&
         ScanChar(s, pos, '-') && ScanNumber(s, pos, 1, 2, d) && TryEncodeDate(y, m, d, date);
}

bool ScanTime(std::string_view s, size_t& pos, TDateTime& time) {
  int h, n, sec = 0, ms = 0;
  if (!ScanNumber(s, pos, 1, 2, h) || !ScanChar(s, pos, ':') || !ScanNumber(s, pos, 1, 2, n))
    return false;
  if (ScanChar(s, pos, ':')) {
    if (!ScanNumber(s, pos, 1, 2, sec)) return false;
    if (ScanChar(s, pos, '.')) {
      const size_t start = pos;
      if (!ScanNumber(s, pos, 1, 3, ms)) return false;
      for (size_t k = pos - start; k < 3; ++k) ms *= 10;  // ".5" is 500 ms
    }
  }
  return TryEncodeTime(h, n, sec, ms, time);
}

}  // namespace

bool IsLeapYear(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

bool TryEncodeDate(int year, int month, int day, TDateTime& date) {
  if (year < 1 || year > 9999 || month < 1 || month > 12) return false;
  const int* table = kMonthDays[IsLeapYear(year)];
  if (day < 1 || day > table[month - 1]) return false;
  for (int i = 0; i < month - 1; ++i) day += table[i];
  const int y = year - 1;
  date = static_cast<double>(y * 365 + y / 4 - y / 100 + y / 400 + day - DateDelta);
  return true;
}

TDateTime EncodeDate(int year, int month, int day) {
  TDateTime result;
  if (!TryEncodeDate(year, month, day, result)) throw EConvertError("Invalid argument to date encode");
  return result;
}

bool TryEncodeTime(int hour, int min, int sec, int msec, TDateTime& time) {
  if (hour < 0 || hour >= 24 || min < 0 || min >= 60 || sec < 0 || sec >= 60 || msec < 0 ||
      msec >= 1000)
    return false;
  time = (hour * 3600000 + min * 60000 + sec * 1000 + msec) / static_cast<double>(MSecsPerDay);
  return true;
}

TDateTime EncodeTime(int hour, int min, int sec, int msec) {
  TDateTime result;
  if (!TryEncodeTime(hour, min, sec, msec, result)) throw EConvertError("Invalid argument to time encode");
  return result;
}

TTimeStamp DateTimeToTimeStamp(TDateTime dateTime) {
  const double ms = dateTime * MSecsPerDay;
  // Rounded half to even, as the floating-point unit does by default.
  const double rounded = std::nearbyint(ms);
  constexpr double kLimit = static_cast<double>(std::numeric_limits<int32_t>::max() - DateDelta) *
                            MSecsPerDay;
  if (!std::isfinite(rounded) || std::fabs(rounded) >= kLimit)
    throw EConvertError("Invalid floating point operation");
  const auto t = static_cast<int64_t>(rounded);
  TTimeStamp result;
  result.Date = static_cast<int32_t>(DateDelta + t / MSecsPerDay);
  result.Time = static_cast<int32_t>((t < 0 ? -t : t) % MSecsPerDay);
  return result;
}

TDateTime TimeStampToDateTime(const TTimeStamp& timeStamp) {
  return ComposeDateTime(static_cast<double>(static_cast<int64_t>(timeStamp.Date) - DateDelta),
                         timeStamp.Time / static_cast<double>(MSecsPerDay));
}

void DecodeDate(TDateTime date, int& year, int& month, int& day) {
  constexpr int D1 = 365;
  constexpr int D4 = D1 * 4 + 1;
  constexpr int D100 = D4 * 25 - 1;
  constexpr int D400 = D100 * 4 + 1;
  int t = DateTimeToTimeStamp(date).Date;
  if (t <= 0) {
    year = month = day = 0;
    return;
  }
  --t;
  int y = 1 + (t / D400) * 400;
  t %= D400;
  int i = t / D100, d = t % D100;
  if (i == 4) {  // the last day of a 400-year cycle
    --i;
    d += D100;
  }
  y += i * 100;
  i = d / D4;
  d %= D4;
  y += i * 4;
  i = d / D1;
  d %= D1;
  if (i == 4) {  // the last day of a leap cycle
    --i;
    d += D1;
  }
  y += i;
  const int* table = kMonthDays[IsLeapYear(y)];
  int m = 0;
  while (d >= table[m]) {
    d -= table[m];
    ++m;
  }
  year = y;
  month = m + 1;
  day = d + 1;
}

void DecodeTime(TDateTime time, int& hour, int& min, int& sec, int& msec) {
  const int ms = DateTimeToTimeStamp(time).Time;
  const int minutes = ms / 60000;
  hour = minutes / 60;
  min = minutes % 60;
  sec = ms % 60000 / 1000;
  msec = ms % 1000;
}

std::string DateToStr(TDateTime date) {
  int y, m, d;
  DecodeDate(date, y, m, d);
  return Digits(y, 4) + "-" + Digits(m, 2) + "-" + Digits(d, 2);
}

std::string TimeToStr(TDateTime time) {
  int h, n, s, ms;
  DecodeTime(time, h, n, s, ms);
  return Digits(h, 2) + ":" + Digits(n, 2) + ":" + Digits(s, 2);
}

std::string DateTimeToStr(TDateTime dateTime) {
  std::string r = DateToStr(dateTime);
  int h, n, s, ms;
  DecodeTime(dateTime, h, n, s, ms);
  if (h != 0 || n != 0 || s != 0) r += " " + TimeToStr(dateTime);
  return r;
}

TDateTime StrToDate(std::string_view s) {
  const std::string_view t = TrimSpaces(s);
  size_t pos = 0;
  TDateTime date;
  if (!ScanDate(t, pos, date) || pos != t.size())
    throw EConvertError("'" + std::string(s) + "' is not a valid date");
  return date;
}

TDateTime StrToDateTime(std::string_view s) {
  const std::string_view t = TrimSpaces(s);
  size_t pos = 0;
  TDateTime date, time = 0;
  if (ScanDate(t, pos, date)) {
    if (pos == t.size()) return date;
    const size_t before = pos;
    while (pos < t.size() && t[pos] == ' ') ++pos;
    if (pos > before && ScanTime(t, pos, time) && pos == t.size()) return ComposeDateTime(date, time);
  } else {
    pos = 0;
    if (ScanTime(t, pos, time) && pos == t.size()) return time;
  }
  throw EConvertError("'" + std::string(s) + "' is not a valid date and time");
}

TDateTime Now() { return os::Now(); }

TDateTime Date() { return std::trunc(os::Now()); }

// The fraction counts forward from midnight on negative dates too.
TDateTime Time() {
  const TDateTime now = os::Now();
  return std::fabs(now - std::trunc(now));
}

}  // namespace host
