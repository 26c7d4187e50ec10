#include "engine/expr/date_converter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "host/rtl/date_time.h"
#include "host/rtl/format_settings.h"
#include "os/clock.h"

namespace tav {
namespace {

using host::EncodeDate;
using host::EncodeTime;
using host::TDateTime;

// The reader's settings and "today", installed for one test.
struct Locale {
  explicit Locale(const host::TFormatSettings& s, int year = 2026)
      : settings(s),
        clock(EncodeDate(year, 6, 15) + 0.5),
        installedClock(clock),
        installedSettings(settings) {}
  host::TFormatSettings settings;
  os::TManualClock clock;
  os::TScopedClock installedClock;
  host::TScopedFormatSettings installedSettings;
};

host::TFormatSettings UsSettings(int window = 50) {
  host::TFormatSettings s;
  s.TwoDigitYearCenturyWindow = window;
  return s;
}

host::TFormatSettings DayFirstSettings(int window = 50) {
  host::TFormatSettings s;
  s.ShortDateFormat = "dd/mm/yyyy";
  s.LongTimeFormat = "hh:nn:ss";
  s.TimeAMString = "VORM";
  s.TimePMString = "NACHM";
  s.LongDayNames = {"Sonntag",    "Montag",  "Dienstag", "Mittwoch",
                    "Donnerstag", "Freitag", "Samstag"};
  s.LongMonthNames = {"Januar", "Februar", "Marz",      "April",   "Mai",      "Juni",
                      "Juli",   "August",  "September", "Oktober", "November", "Dezember"};
  s.TwoDigitYearCenturyWindow = window;
  return s;
}

TDateTime DateTime(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
  const TDateTime date = EncodeDate(y, mo, d);
  const TDateTime time = EncodeTime(h, mi, s, ms);
  return date < 0 ? date - time : date + time;
}

constexpr TDateTime kFails = -1e9;

struct Case {
  const char* text;
  const char* order;
  host::TFieldType type;
  TDateTime expected;  // kFails: no conversion
};

void Check(const Case& c) {
  TTavStrToDateTimeConverter conv;
  TDateTime value = 123;
  const bool ok = conv.ConvertStrToDate(c.text, c.order, c.type, value);
  const std::string what =
      std::string("'") + c.text + "' order '" + c.order + "' " + host::FieldTypeName(c.type);
  if (c.expected == kFails) {
    EXPECT_FALSE(ok) << what << " gave " << value;
    EXPECT_LT(conv.LastPos(), 1) << what;
    return;
  }
  EXPECT_TRUE(ok) << what;
  EXPECT_GE(conv.LastPos(), 1) << what;
  EXPECT_NEAR(value, c.expected, 1e-9) << what;
}

TEST(DateConverterTest, ReadsDatesInTheLocalesOrderOrTheGivenOne) {
  {
    Locale us(UsSettings());
    EXPECT_EQ(TTavStrToDateTimeConverter::GetSDFOrder(), "MDY");
    const Case cases[] = {
        {"1/31/2004", "", host::ftDate, DateTime(2004, 1, 31)},
        {"  01-31-2004", "", host::ftDate, DateTime(2004, 1, 31)},
        {"31/1/2004", "", host::ftDate, kFails},
        {"31/1/2004", "DMY", host::ftDate, DateTime(2004, 1, 31)},
        {"31/1/2004", "dmy", host::ftDate, DateTime(2004, 1, 31)},
        {"Jan 5 2004", "MDY", host::ftDate, DateTime(2004, 1, 5)},
        {"DECEMBER 24, 1999", "", host::ftDate, DateTime(1999, 12, 24)},
        {"5 feb 2004", "DMY", host::ftDate, DateTime(2004, 2, 5)},
        // A day name stands for its place in the week.
        {"Monday 3 2004", "DMY", host::ftDate, DateTime(2004, 3, 2)},
        {"Jux 5 2004", "MDY", host::ftDate, kFails},
        {"2004-02-29", "YMD", host::ftDate, DateTime(2004, 2, 29)},
        {"2004-02-30", "YMD", host::ftDate, kFails},
        {"2003-02-29", "YMD", host::ftDate, kFails},
        {"2004-13-01", "YMD", host::ftDate, kFails},
        {"2004-00-01", "YMD", host::ftDate, kFails},
        {"2004/31/12", "YDM", host::ftDate, DateTime(2004, 12, 31)},
        {"1/31", "", host::ftDate, kFails},
        {"", "", host::ftDate, kFails},
        {"///", "", host::ftDate, kFails},
        {"a/b/c", "", host::ftDate, kFails},
        {"1/31/20x4", "", host::ftDate, kFails},
        {"1/1/10000", "", host::ftDate, kFails},
        {"1/31/2004", "DDY", host::ftDate, kFails},  // no month
        {"1/31/2004", "MD", host::ftDate, kFails},   // no year
        // Parts too long for an integer fail, never raise.
        {"99999999999/1/2004", "", host::ftDate, kFails},
        {"1/99999999999/2004", "", host::ftDate, kFails},
        {"1/1/99999999999", "", host::ftDate, kFails},
        {"00000000000000000001/1/2004", "", host::ftDate, DateTime(2004, 1, 1)},
        // Dates before 1899-12-30 are negative.
        {"6/15/1850", "", host::ftDate, DateTime(1850, 6, 15)},
        {"1/1/100", "", host::ftDate, DateTime(100, 1, 1)},
        // Other field types read nothing.
        {"anything", "", host::ftString, 0},
    };
    for (const Case& c : cases) Check(c);
  }
  {
    Locale dayFirst(DayFirstSettings());
    EXPECT_EQ(TTavStrToDateTimeConverter::GetSDFOrder(), "DMY");
    const Case cases[] = {
        {"13/1/2004", "", host::ftDate, DateTime(2004, 1, 13)},
        {"1/31/2004", "", host::ftDate, kFails},
        {"5 Mai 2004", "", host::ftDate, DateTime(2004, 5, 5)},
        {"5 may 2004", "", host::ftDate, kFails},  // the locale's names only
        {"Montag 3 2004", "", host::ftDate, DateTime(2004, 3, 2)},
    };
    for (const Case& c : cases) Check(c);
  }
  const struct {
    const char* format;
    const char* order;
  } orders[] = {{"yyyy-MM-dd", "YMD"}, {"YYYY/DD/MM", "YDM"}, {"d.M.yy", "DMY"},
                {"MM/dd/yy", "MDY"},   {"", "DMY"},           {"yy", "YDM"}};
  for (const auto& o : orders) {
    host::TFormatSettings s;
    s.ShortDateFormat = o.format;
    Locale l(s);
    EXPECT_EQ(TTavStrToDateTimeConverter::GetSDFOrder(), o.order) << o.format;
  }
}

TEST(DateConverterTest, TwoDigitYearsFollowTheCenturyWindow) {
  const struct {
    int window;
    int today;  // the year of the manual clock
    const char* text;
    int year;
  } cases[] = {
      {50, 2026, "31/01/04", 2004},  {50, 2026, "31/01/75", 2075}, {50, 2026, "31/01/76", 1976},
      {50, 2026, "31/01/99", 1999},  {50, 2026, "31/01/00", 2000}, {0, 2026, "31/01/04", 2004},
      {0, 2026, "31/01/80", 2080},   {0, 1950, "31/01/04", 1904},  {0, 1950, "31/01/99", 1999},
      {50, 1950, "31/01/04", 1904},  {50, 1950, "31/01/01", 1901}, {50, 1950, "31/01/99", 1999},
      {0, 2026, "31/01/0004", 2004},  // any year below 100, however written
      {0, 2026, "31/01/104", 104},
  };
  for (const auto& c : cases) {
    Locale l(DayFirstSettings(c.window), c.today);
    Check({c.text, "", host::ftDate, DateTime(c.year, 1, 31)});
  }
  // A window that puts the century base out of range fails the date.
  {
    Locale l(DayFirstSettings(1000000), 2026);
    Check({"31/01/04", "", host::ftDate, kFails});
  }
  // So does a clock beyond the date range, where a four-digit year still reads.
  Locale l(DayFirstSettings());
  for (double now : {1e300, -1e300, std::nan("")}) {
    l.clock.SetNow(now);
    Check({"31/01/04", "", host::ftDate, kFails});
    Check({"31/01/2004", "", host::ftDate, DateTime(2004, 1, 31)});
  }
}

TEST(DateConverterTest, ReadsTimesWithAmAndPm) {
  {
    Locale us(UsSettings());
    const Case cases[] = {
        {"2004-01-31 2:30 PM", "YMD", host::ftDateTime, DateTime(2004, 1, 31, 14, 30)},
        {"2004-01-31 2:30 pm", "YMD", host::ftDateTime, DateTime(2004, 1, 31, 14, 30)},
        {"2004-01-31 12:15 AM", "YMD", host::ftDateTime, DateTime(2004, 1, 31, 0, 15)},
        {"2004-01-31 12:15 PM", "YMD", host::ftDateTime, DateTime(2004, 1, 31, 12, 15)},
        {"2004-01-31 14:30 PM", "YMD", host::ftDateTime, DateTime(2004, 1, 31, 14, 30)},
        {"1/31/2004 23:59:58.999", "", host::ftDateTime, DateTime(2004, 1, 31, 23, 59, 58, 999)},
        {"2004-01-31", "YMD", host::ftDateTime, kFails},  // the time is wanted too
        {"2004-01-31 24:00", "YMD", host::ftDateTime, kFails},
        {"2004-01-31 1:60", "YMD", host::ftDateTime, kFails},
        {"2004-01-31 99999999999:00 PM", "YMD", host::ftDateTime, kFails},
        {"2004-02-30 10:00", "YMD", host::ftDateTime, kFails},
        // Before 1899-12-30 the time still counts forward from midnight.
        {"1850-06-15 06:00", "YMD", host::ftDateTime, DateTime(1850, 6, 15, 6)},
        {"1899-12-29 18:00", "YMD", host::ftDateTime, -1.75},
        {"1899-12-30 18:00", "YMD", host::ftDateTime, 0.75},
        {"14:30:15.250", "", host::ftTime, DateTime(1899, 12, 30, 14, 30, 15, 250)},
        {"  7", "", host::ftTime, EncodeTime(7, 0, 0, 0)},
        {"9:05 PM", "", host::ftTime, EncodeTime(21, 5, 0, 0)},
        {"at 9.05", "", host::ftTime, EncodeTime(9, 5, 0, 0)},
        {"noon", "", host::ftTime, kFails},
        {"", "", host::ftTime, kFails},
        {"12:00:00.1000", "", host::ftTime, kFails},
    };
    for (const Case& c : cases) Check(c);
  }
  {
    Locale dayFirst(DayFirstSettings());
    const Case cases[] = {
        {"31/01/2004 2:30 NACHM", "", host::ftDateTime, DateTime(2004, 1, 31, 14, 30)},
        {"31/01/2004 12:30 VORM", "", host::ftDateTime, DateTime(2004, 1, 31, 0, 30)},
        // "PM" and "AM" are understood in every locale.
        {"31/01/2004 2:30 PM", "", host::ftDateTime, DateTime(2004, 1, 31, 14, 30)},
        {"31/01/1850 2:30 NACHM", "", host::ftDateTime, DateTime(1850, 1, 31, 14, 30)},
    };
    for (const Case& c : cases) Check(c);
  }
}

TEST(DateConverterTest, ASecondDateIsReadFromWhereTheFirstLeftOff) {
  Locale us(UsSettings());
  TTavStrToDateTimeConverter conv;
  const std::string text = "1/31/2004 - 2/1/2004";
  TDateTime first = 0, second = 0;
  ASSERT_TRUE(conv.ConvertStrToDate(text, "", host::ftDate, first));
  EXPECT_EQ(conv.LastPos(), 13);  // the start of the next part
  ASSERT_TRUE(conv.ConvertStrToDateFromLastPos(text, "", host::ftDate, second));
  EXPECT_EQ(conv.LastPos(), static_cast<int32_t>(text.size()) + 1);
  EXPECT_EQ(first, DateTime(2004, 1, 31));
  EXPECT_EQ(second, DateTime(2004, 2, 1));
  // Nothing left to read.
  EXPECT_FALSE(conv.ConvertStrToDateFromLastPos(text, "", host::ftDate, second));
  EXPECT_LT(conv.LastPos(), 1);
  // After a failure there is no place to go on from.
  EXPECT_FALSE(conv.ConvertStrToDateFromLastPos(text, "", host::ftDate, second));
  // Position 0 counts as the start; a position past the end reads nothing.
  conv.SetLastPos(0);
  EXPECT_TRUE(conv.ConvertStrToDateFromLastPos(text, "", host::ftDate, second));
  EXPECT_EQ(second, first);
  conv.SetLastPos(1000);
  EXPECT_FALSE(conv.ConvertStrToDateFromLastPos(text, "", host::ftDate, second));

  // A time after a date: the position is after the last part of the time.
  ASSERT_TRUE(conv.ConvertStrToDate("1/31/2004 10:20 and more", "", host::ftDateTime, first));
  EXPECT_EQ(conv.LastPos(), 16);
}

}  // namespace
}  // namespace tav
