#include "os/local_time.h"

#include <gtest/gtest.h>
#include <time.h>

#include <cmath>

namespace os {
namespace {

TEST(LocalTimeTest, DatesAndMomentsConvertBothWaysAtWholeSeconds) {
  // Moments over four centuries, both sides of summer time and of the epoch.
  const int64_t moments[] = {0,
                             951782400,
                             1057930200,
                             1700000000,
                             -2208988800LL + 86400 * 3,
                             253402300799LL,
                             -11644473600LL + 86400};
  for (int64_t t : moments) {
    SCOPED_TRACE(t);
    const double dt = LocalDateTimeFromUnix(t);
    int64_t back = 0;
    ASSERT_TRUE(UnixFromLocalDateTime(dt, back));
    // The hour that summer time skips or repeats can move a moment by that
    // hour; anything else comes back to the second.
    const int64_t diff = back - t;
    EXPECT_TRUE(diff == 0 || std::llabs(diff) == 3600) << diff;
  }
  // A known local date: the days count from 1899-12-30.
  tm local{};
  local.tm_year = 2000 - 1900;
  local.tm_mon = 0;
  local.tm_mday = 1;
  local.tm_hour = 12;
  local.tm_isdst = -1;
  const time_t noon = mktime(&local);
  EXPECT_DOUBLE_EQ(LocalDateTimeFromUnix(noon), 36526.5);
  int64_t seconds = 0;
  ASSERT_TRUE(UnixFromLocalDateTime(36526.5 + 0.49 / 86400, seconds));
  EXPECT_EQ(seconds, noon);
  ASSERT_TRUE(UnixFromLocalDateTime(36526.5 + 0.51 / 86400, seconds));
  EXPECT_EQ(seconds, noon + 1);
  // Rounding up at the end of a day moves to the next day.
  ASSERT_TRUE(UnixFromLocalDateTime(36526.0 + 86399.7 / 86400, seconds));
  EXPECT_DOUBLE_EQ(LocalDateTimeFromUnix(seconds), 36527.0);

  for (double bad : {double(NAN), double(INFINITY), -200000.0, 3000000.0}) {
    EXPECT_FALSE(UnixFromLocalDateTime(bad, seconds)) << bad;
  }
}

}  // namespace
}  // namespace os
