#include "host/rtl/date_time.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <tuple>

#include "host/rtl/exceptions.h"
#include "os/clock.h"

namespace host {
namespace {

TEST(DateTimeTest, KnownDates) {
  EXPECT_EQ(EncodeDate(1899, 12, 30), 0);
  EXPECT_EQ(EncodeDate(1900, 1, 1), 2);
  EXPECT_EQ(EncodeDate(2000, 1, 1), 36526);
  EXPECT_EQ(EncodeDate(1, 1, 1), -693593);
  EXPECT_EQ(EncodeDate(9999, 12, 31), 2958465);
  EXPECT_EQ(EncodeDate(1899, 12, 29), -1);
  EXPECT_TRUE(IsLeapYear(2000));
  EXPECT_FALSE(IsLeapYear(1900));
  EXPECT_TRUE(IsLeapYear(2024));
  EXPECT_FALSE(IsLeapYear(2023));
}

TEST(DateTimeTest, EveryDayRoundTrips) {
  // Whole range, stepping through a leap-cycle-sized stride plus every day of
  // a few tricky years.
  auto check = [](TDateTime v) {
    int y, m, d;
    DecodeDate(v, y, m, d);
    TDateTime back;
    ASSERT_TRUE(TryEncodeDate(y, m, d, back)) << v;
    ASSERT_EQ(back, v);
  };
  for (TDateTime v = -693593; v <= 2958465; v += 97) check(v);
  for (int year : {1, 4, 100, 400, 1600, 1899, 1900, 2000, 2100, 9999}) {
    TDateTime first = EncodeDate(year, 1, 1);
    const int days = IsLeapYear(year) ? 366 : 365;
    for (int i = 0; i < days; ++i) check(first + i);
    int y, m, d;
    DecodeDate(first + days - 1, y, m, d);
    EXPECT_EQ(y * 10000 + m * 100 + d, year * 10000 + 1231);
  }
}

TEST(DateTimeTest, InvalidDatesAndTimes) {
  TDateTime v = 123;
  EXPECT_FALSE(TryEncodeDate(2023, 2, 29, v));
  EXPECT_FALSE(TryEncodeDate(1900, 2, 29, v));
  EXPECT_TRUE(TryEncodeDate(2000, 2, 29, v));
  for (auto [y, m, d] : {std::tuple{0, 1, 1}, {10000, 1, 1}, {2020, 0, 1}, {2020, 13, 1},
                         {2020, 4, 31}, {2020, 1, 0}, {-1, 1, 1}}) {
    EXPECT_THROW(EncodeDate(y, m, d), EConvertError);
  }
  try {
    EncodeDate(2020, 2, 30);
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "Invalid argument to date encode");
  }
  try {
    EncodeTime(24, 0, 0, 0);
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "Invalid argument to time encode");
  }
  EXPECT_THROW(EncodeTime(0, 60, 0, 0), EConvertError);
  EXPECT_THROW(EncodeTime(0, 0, 60, 0), EConvertError);
  EXPECT_THROW(EncodeTime(0, 0, 0, 1000), EConvertError);
  EXPECT_THROW(EncodeTime(0, 0, -1, 0), EConvertError);
  EXPECT_EQ(EncodeTime(12, 0, 0, 0), 0.5);
}

TEST(DateTimeTest, TimeRoundTripsAndRounding) {
  for (int ms = 0; ms < MSecsPerDay; ms += 997) {
    int h, n, s, z;
    DecodeTime(EncodeTime(ms / 3600000, ms / 60000 % 60, ms / 1000 % 60, ms % 1000), h, n, s, z);
    ASSERT_EQ(((h * 60 + n) * 60 + s) * 1000 + z, ms);
  }
  // Just before midnight rounds to the next day.
  const TDateTime late = EncodeDate(2020, 12, 31) + (MSecsPerDay - 0.4) / MSecsPerDay;
  EXPECT_EQ(DateTimeToStr(late), "2021-01-01");
}

TEST(DateTimeTest, NegativeDatesKeepTheTimeOfDay) {
  // 1899-12-29 06:00 is -1.25, not -0.75.
  const TDateTime v = StrToDateTime("1899-12-29 06:00:00");
  EXPECT_DOUBLE_EQ(v, -1.25);
  int y, m, d, h, n, s, z;
  DecodeDate(v, y, m, d);
  DecodeTime(v, h, n, s, z);
  EXPECT_EQ(y * 10000 + m * 100 + d, 18991229);
  EXPECT_EQ(h, 6);
  EXPECT_EQ(DateTimeToStr(v), "1899-12-29 06:00:00");
  const TTimeStamp ts = DateTimeToTimeStamp(v);
  EXPECT_EQ(ts.Date, DateDelta - 1);
  EXPECT_EQ(ts.Time, 6 * 3600000);
  EXPECT_DOUBLE_EQ(TimeStampToDateTime(ts), -1.25);
  // -0.5 lies on day 0, like 0.5.
  EXPECT_EQ(DateTimeToStr(-0.5), "1899-12-30 12:00:00");
  EXPECT_EQ(DateToStr(EncodeDate(1, 1, 1)), "0001-01-01");
  EXPECT_EQ(DateToStr(-693594), "0000-00-00");  // before the first day
}

TEST(DateTimeTest, TimeStamps) {
  const TTimeStamp ts = DateTimeToTimeStamp(EncodeDate(1899, 12, 30) + 0.5);
  EXPECT_EQ(ts.Date, 693594);
  EXPECT_EQ(ts.Time, MSecsPerDay / 2);
  EXPECT_EQ(DateTimeToTimeStamp(EncodeDate(1, 1, 1)).Date, 1);
  const TDateTime v = EncodeDate(2024, 2, 29) + EncodeTime(13, 14, 15, 16);
  const TTimeStamp t2 = DateTimeToTimeStamp(v);
  EXPECT_EQ(t2.Time, ((13 * 60 + 14) * 60 + 15) * 1000 + 16);
  EXPECT_DOUBLE_EQ(TimeStampToDateTime(t2), v);
  for (double bad : {std::numeric_limits<double>::quiet_NaN(),
                     std::numeric_limits<double>::infinity(), 1e300, -1e300}) {
    EXPECT_THROW(DateTimeToTimeStamp(bad), EConvertError);
    int y, m, d;
    EXPECT_THROW(DecodeDate(bad, y, m, d), EConvertError);
  }
}

TEST(DateTimeTest, TextForms) {
  const TDateTime d = EncodeDate(2024, 3, 5);
  EXPECT_EQ(DateToStr(d), "2024-03-05");
  EXPECT_EQ(DateTimeToStr(d), "2024-03-05");
  EXPECT_EQ(DateTimeToStr(d + EncodeTime(0, 0, 0, 500)), "2024-03-05");  // seconds count, not ms
  EXPECT_EQ(DateTimeToStr(d + EncodeTime(0, 0, 1, 0)), "2024-03-05 00:00:01");
  EXPECT_EQ(DateTimeToStr(d + EncodeTime(23, 5, 9, 0)), "2024-03-05 23:05:09");
  EXPECT_EQ(TimeToStr(EncodeTime(7, 8, 9, 999)), "07:08:09");
  EXPECT_EQ(TimeToStr(d), "00:00:00");

  EXPECT_EQ(StrToDate("2024-03-05"), d);
  EXPECT_EQ(StrToDate(" 2024-3-5 "), d);
  EXPECT_EQ(StrToDateTime("2024-03-05"), d);
  EXPECT_DOUBLE_EQ(StrToDateTime("2024-03-05  23:05:09"), d + EncodeTime(23, 5, 9, 0));
  EXPECT_DOUBLE_EQ(StrToDateTime("2024-03-05 23:05"), d + EncodeTime(23, 5, 0, 0));
  EXPECT_DOUBLE_EQ(StrToDateTime("2024-03-05 23:05:09.5"), d + EncodeTime(23, 5, 9, 500));
  EXPECT_DOUBLE_EQ(StrToDateTime("12:30:00"), 0.5 + 30.0 / 1440);
  for (TDateTime v : {d, d + 0.75, EncodeDate(1066, 10, 14) - EncodeTime(9, 0, 1, 0)})
    EXPECT_DOUBLE_EQ(StrToDateTime(DateTimeToStr(v)), v);

  for (const char* bad : {"", "2024-02-30", "24-03-05", "2024/03/05", "2024-03-05x", "2024-003-05",
                          "10000-01-01"}) {
    EXPECT_THROW(StrToDate(bad), EConvertError) << bad;
  }
  try {
    StrToDate("2023-02-29");
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'2023-02-29' is not a valid date");
  }
  for (const char* bad : {"2024-03-05 24:00:00", "2024-03-05T10:00:00", "2024-03-0510:00",
                          "2024-03-05 10", "10:60", "2024-03-05 10:00:00 x", "x"}) {
    EXPECT_THROW(StrToDateTime(bad), EConvertError) << bad;
  }
  try {
    StrToDateTime("soon");
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'soon' is not a valid date and time");
  }
}

TEST(DateTimeTest, NowIsPlausible) {
  const TDateTime now = Now();
  EXPECT_GT(now, EncodeDate(2020, 1, 1));
  EXPECT_LT(now, EncodeDate(2200, 1, 1));
}

TEST(DateTimeTest, TodayAndTimeOfDayFollowTheClock) {
  // 2004-01-31 18:00, then 1899-12-29 06:00 (-1.25: the time counts forward
  // from midnight on a negative date too).
  for (auto [now, date, time] : {std::tuple{38017.75, 38017.0, 0.75}, {-1.25, -1.0, 0.25}}) {
    os::TManualClock clock(now);
    os::TScopedClock installed(clock);
    EXPECT_EQ(Date(), date);
    EXPECT_EQ(Time(), time);
    EXPECT_EQ(Now(), now);
  }
}

}  // namespace
}  // namespace host
