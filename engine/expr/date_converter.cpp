#include "engine/expr/date_converter.h"

#include <array>
#include <limits>

#include "host/rtl/format_settings.h"
#include "host/rtl/sys_utils.h"

namespace tav {

namespace {

// 0001-01-01 and 9999-12-31 as day numbers.
constexpr host::TDateTime kFirstDay = -693593;
constexpr host::TDateTime kLastDay = 2958465;

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

bool IsAsciiLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool IsPartChar(char c) {
  return IsDigit(c) || IsAsciiLetter(c);
}

// The value of a run of digits; false for anything else or a value beyond
// 32 bits, however many digits the text has.
bool DigitsValue(std::string_view s, int32_t& value) {
  if (s.empty()) return false;
  int64_t v = 0;
  for (char c : s) {
    if (!IsDigit(c)) return false;
    v = v * 10 + (c - '0');
    if (v > std::numeric_limits<int32_t>::max()) return false;
  }
  value = static_cast<int32_t>(v);
  return true;
}

// A day or month part: a name the part is found in (parts of three or more
// characters), else its number, 0 when it is none. False for a number too
// long for an integer.
template <size_t N>
bool NameOrNumber(std::string_view part, const std::array<std::string, N>& names, int32_t& value) {
  if (part.size() >= 3) {
    // Names are written capitalised: "jAN" is looked for as "Jan".
    std::string key = host::LowerCase(part);
    if (key[0] >= 'a' && key[0] <= 'z') key[0] = static_cast<char>(key[0] - 'a' + 'A');
    for (size_t i = 0; i < N; ++i) {
      if (names[i].find(key) != std::string::npos) {
        value = static_cast<int32_t>(i + 1);
        return true;
      }
    }
  }
  bool allDigits = true;
  for (char c : part) allDigits = allDigits && IsDigit(c);
  if (!allDigits) {
    value = 0;
    return true;
  }
  return DigitsValue(part, value);
}

// Reads a date from the 0-based index `i`; returns the 1-based position where
// the next part starts, or -1.
int64_t GetDate(std::string_view text, std::string_view order, size_t i,
                const host::TFormatSettings& fs, host::TDateTime& date) {
  const size_t n = text.size();
  while (i < n && text[i] == ' ') ++i;
  int32_t day = 0, month = 0, year = 0;
  bool haveYear = false;
  int parts = 0;
  for (; parts < 3; ++parts) {
    while (i < n && !IsPartChar(text[i])) ++i;
    if (i >= n) break;
    const size_t start = i;
    while (i < n && IsPartChar(text[i])) ++i;
    const std::string_view part = text.substr(start, i - start);
    const char field = static_cast<size_t>(parts) < order.size() ? order[parts] : '\0';
    switch (field) {
      case 'D':
      case 'd':
        if (!NameOrNumber(part, fs.LongDayNames, day)) return -1;
        break;
      case 'M':
      case 'm':
        if (!NameOrNumber(part, fs.LongMonthNames, month)) return -1;
        break;
      case 'Y':
      case 'y':
        if (!DigitsValue(part, year)) return -1;
        haveYear = true;
        break;
      default:
        break;
    }
  }
  if (parts < 3 || !haveYear || month < 1 || month > 12 || day < 1 || day > 31) return -1;

  int64_t fullYear = year;
  if (fullYear < 100) {
    // Today comes from the installed clock; a clock out of the date range
    // (only a test can install one) fails the date instead of raising.
    const host::TDateTime today = host::Date();
    if (!(today >= kFirstDay && today <= kLastDay)) return -1;
    int currentYear, currentMonth, currentDay;
    host::DecodeDate(today, currentYear, currentMonth, currentDay);
    const int64_t centuryBase = int64_t{currentYear} - fs.TwoDigitYearCenturyWindow;
    fullYear += centuryBase / 100 * 100;
    if (fs.TwoDigitYearCenturyWindow != 0 && fullYear < centuryBase) fullYear += 100;
  }
  if (fullYear < 1 || fullYear > 9999) return -1;
  if (!host::TryEncodeDate(static_cast<int>(fullYear), month, day, date)) return -1;

  while (i < n && !IsPartChar(text[i])) ++i;
  return static_cast<int64_t>(i) + 1;
}

// Reads a time from the 0-based index `i`; returns the 1-based position after
// the last part read, or -1.
int64_t GetTime(std::string_view text, size_t i, const host::TFormatSettings& fs,
                host::TDateTime& time) {
  const size_t n = text.size();
  while (i < n && text[i] == ' ') ++i;
  std::array<int32_t, 4> parts = {0, 0, 0, 0};  // hour, minute, second, millisecond
  size_t count = 0;
  size_t end = i;  // after the last part read
  while (count < parts.size()) {
    while (i < n && !IsDigit(text[i])) ++i;
    if (i >= n) break;
    const size_t start = i;
    while (i < n && IsDigit(text[i])) ++i;
    if (!DigitsValue(text.substr(start, i - start), parts[count])) parts[count] = -1;
    ++count;
    end = i;
  }
  if (count == 0) return -1;

  int32_t& hour = parts[0];
  if (hour >= 0) {
    const std::string upper = host::UpperCase(text);
    auto contains = [&upper](std::string_view s) {
      return !s.empty() && upper.find(s) != std::string::npos;
    };
    if ((contains("PM") || contains(fs.TimePMString)) && hour < 12) hour += 12;
    if ((contains("AM") || contains(fs.TimeAMString)) && hour == 12) hour = 0;
  }
  if (!host::TryEncodeTime(hour, parts[1], parts[2], parts[3], time)) return -1;
  return static_cast<int64_t>(end) + 1;
}

}  // namespace

bool TTavStrToDateTimeConverter::ConvertStrToDate(std::string_view text, std::string_view order,
                                                  host::TFieldType fieldType,
                                                  host::TDateTime& value) {
  return InternalConvertStrToDate(text, order, fieldType, 1, value);
}

bool TTavStrToDateTimeConverter::ConvertStrToDateFromLastPos(std::string_view text,
                                                             std::string_view order,
                                                             host::TFieldType fieldType,
                                                             host::TDateTime& value) {
  return InternalConvertStrToDate(text, order, fieldType, last_pos_, value);
}

std::string TTavStrToDateTimeConverter::GetSDFOrder() {
  const std::string format = host::UpperCase(host::CurrentFormatSettings().ShortDateFormat);
  // Positions from 1, 0 for a letter the format lacks, so that a missing
  // letter counts as coming first.
  auto pos = [&format](char c) {
    const size_t p = format.find(c);
    return p == std::string::npos ? size_t{0} : p + 1;
  };
  const std::string dayMonth = pos('M') < pos('D') ? "MD" : "DM";
  if (!format.empty() && format[0] == 'Y') return "Y" + dayMonth;
  return dayMonth + "Y";
}

bool TTavStrToDateTimeConverter::InternalConvertStrToDate(std::string_view text,
                                                          std::string_view order,
                                                          host::TFieldType fieldType, int32_t start,
                                                          host::TDateTime& value) {
  value = 0;
  // A failed conversion leaves no place to go on from; positions must fit
  // LastPos.
  if (start < 0 || text.size() >= static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    last_pos_ = -1;
    return false;
  }
  const host::TFormatSettings& fs = host::CurrentFormatSettings();
  const std::string localeOrder = order.empty() ? GetSDFOrder() : std::string();
  if (order.empty()) order = localeOrder;

  int64_t pos = start == 0 ? 1 : start;
  host::TDateTime date = 0;
  if (fieldType == host::ftDate || fieldType == host::ftDateTime)
    pos = GetDate(text, order, static_cast<size_t>(pos - 1), fs, date);
  if (pos > 0) {
    value = date;
    if (fieldType == host::ftTime || fieldType == host::ftDateTime) {
      host::TDateTime time = 0;
      pos = GetTime(text, static_cast<size_t>(pos - 1), fs, time);
      // The fraction of a date before 1899-12-30 counts forward from its
      // midnight too, so the time moves a negative value down.
      if (pos > 0) value = date < 0 ? date - time : date + time;
    }
  }
  last_pos_ = static_cast<int32_t>(pos);
  return pos >= 1;
}

}  // namespace tav
