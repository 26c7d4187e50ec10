#include "os/clock.h"

#include <gtest/gtest.h>
#include <time.h>

#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>

namespace os {
namespace {

// Sets TZ for the lifetime of the guard, so local-time tests do not depend on
// the machine's zone.
class TScopedTimeZone {
 public:
  explicit TScopedTimeZone(const char* tz) {
    if (const char* old = std::getenv("TZ")) old_ = old;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~TScopedTimeZone() {
    if (old_) {
      setenv("TZ", old_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::optional<std::string> old_;
};

// Now() in a zone `offsetSec` east of UTC, as the system clock should compute it.
double ExpectedNow(time_t t, long offsetSec) {
  return static_cast<double>(t + offsetSec) / 86400.0 + 25569.0;
}

TEST(SystemClockTest, NowIsLocalDaysSince18991230) {
  TSystemClock clock;
  {
    TScopedTimeZone tz("UTC0");
    const time_t before = time(nullptr);
    const double now = clock.Now();
    const time_t after = time(nullptr);
    EXPECT_GE(now, ExpectedNow(before, 0) - 1e-9);
    // time() reads the coarse clock, which may lag the precise one across a
    // second boundary: allow one more second.
    EXPECT_LE(now, ExpectedNow(after + 2, 0));
  }
  {
    // Five and a half hours east of UTC: the fraction must follow local time.
    TScopedTimeZone tz("XST-5:30");
    const time_t before = time(nullptr);
    const double now = clock.Now();
    const time_t after = time(nullptr);
    EXPECT_GE(now, ExpectedNow(before, 5 * 3600 + 1800) - 1e-9);
    EXPECT_LE(now, ExpectedNow(after + 2, 5 * 3600 + 1800));
  }
}

TEST(SystemClockTest, TickAdvancesAcrossSleep) {
  TSystemClock clock;
  const uint32_t start = clock.TickCount();
  clock.Sleep(3);
  const uint32_t elapsed = clock.TickCount() - start;
  EXPECT_GE(elapsed, 2u);  // the tick truncates to whole milliseconds
  EXPECT_LT(elapsed, 10000u);
}

TEST(ManualClockTest, SleepMovesTimeWithoutWaiting) {
  TManualClock clock(45000.5, 1000);
  clock.Sleep(250);
  clock.Sleep(750);
  EXPECT_EQ(clock.TickCount(), 2000u);
  EXPECT_NEAR(clock.Now(), 45000.5 + 1000 / kMSecsPerDay, 1e-9);
  EXPECT_EQ(clock.SleepCount(), 2u);
  EXPECT_EQ(clock.SleptMs(), 1000u);

  clock.Advance(86400000);  // a whole day, not counted as a sleep
  EXPECT_NEAR(clock.Now(), 45001.5 + 1000 / kMSecsPerDay, 1e-9);
  EXPECT_EQ(clock.SleepCount(), 2u);

  clock.SetNow(1.25);
  clock.SetTickCount(7);
  EXPECT_EQ(clock.Now(), 1.25);
  EXPECT_EQ(clock.TickCount(), 7u);
}

TEST(ManualClockTest, ElapsedSurvivesTickWrap) {
  TManualClock clock(0.0, 0xFFFFFFF0u);
  const uint32_t start = clock.TickCount();
  clock.Sleep(0x20);
  const uint32_t now = clock.TickCount();
  EXPECT_LT(now, start);                                 // the counter wrapped ...
  EXPECT_EQ(static_cast<uint32_t>(now - start), 0x20u);  // ... the elapsed time did not
}

TEST(ClockSwapTest, FreeFunctionsFollowTheInstalledClock) {
  TManualClock outer(100.0, 5);
  TManualClock inner(200.0, 9);
  {
    TScopedClock useOuter(outer);
    EXPECT_EQ(os::Now(), 100.0);
    EXPECT_EQ(os::GetTickCount(), 5u);
    {
      TScopedClock useInner(inner);
      EXPECT_EQ(&CurrentClock(), &inner);
      os::Sleep(1000);  // must not really sleep
      EXPECT_EQ(inner.TickCount(), 1009u);
      EXPECT_EQ(outer.TickCount(), 5u);
    }
    EXPECT_EQ(&CurrentClock(), &outer);
  }
  EXPECT_NE(&CurrentClock(), &outer);
  EXPECT_NE(&CurrentClock(), &inner);

  EXPECT_EQ(SetClock(&inner), nullptr);  // the system clock was in use
  EXPECT_EQ(SetClock(nullptr), &inner);
  EXPECT_GT(os::Now(), 36526.0);  // after 2000-01-01: the real clock is back
}

}  // namespace
}  // namespace os
