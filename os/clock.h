// Time for the whole code base, behind one replaceable clock. Expiry, retry and
// read-ahead logic ask os::Now / os::GetTickCount / os::Sleep and never the C
// library, so a test can install a TManualClock and run hours of waiting in no
// time at all.
//
// Callers must keep:
//  - Tick counts wrap every 2^32 ms (about 49.7 days). Elapsed time is always
//    `uint32_t(now - start)`, never a comparison of two tick values.
//  - A clock passed to SetClock / TScopedClock must outlive its installation:
//    other threads may be inside one of its methods until it is replaced.
#pragma once

#include <cstdint>
#include <mutex>

namespace os {

// Milliseconds in a day, the unit of the fractional part of a date-time value.
inline constexpr double kMSecsPerDay = 86400000.0;

class TClock {
 public:
  TClock() = default;
  TClock(const TClock&) = delete;
  TClock& operator=(const TClock&) = delete;
  virtual ~TClock() = default;

  // Local date and time as days since 1899-12-30; the fraction is the time of day.
  virtual double Now() = 0;
  // Milliseconds from an arbitrary start, wrapping at 2^32.
  virtual uint32_t TickCount() = 0;
  // Suspends the calling thread for at least `ms` milliseconds.
  virtual void Sleep(uint32_t ms) = 0;
};

// The machine's clock: local wall time at millisecond resolution, a monotonic
// tick that does not jump when the wall clock is set, and nanosleep.
class TSystemClock final : public TClock {
 public:
  double Now() override;
  uint32_t TickCount() override;
  void Sleep(uint32_t ms) override;
};

// A clock that only moves when told to. Sleep returns at once after moving the
// tick and Now forward by the requested time, so a retry loop that sleeps
// between attempts sees time pass exactly as it would for real. Safe to use
// from several threads.
class TManualClock final : public TClock {
 public:
  explicit TManualClock(double now = 0.0, uint32_t tick = 0) : now_(now), tick_(tick) {}

  double Now() override;
  uint32_t TickCount() override;
  void Sleep(uint32_t ms) override;

  void SetNow(double now);
  void SetTickCount(uint32_t tick);
  // Moves both the tick and Now forward by `ms`, as time passing would.
  void Advance(uint32_t ms);

  // How many times Sleep was called, and the milliseconds it was asked for in all.
  uint32_t SleepCount() const;
  uint64_t SleptMs() const;

 private:
  mutable std::mutex mutex_;
  double now_;
  uint32_t tick_;
  uint32_t sleep_count_ = 0;
  uint64_t slept_ms_ = 0;
};

// The clock in use: the one installed by SetClock, else the system clock.
TClock& CurrentClock();

// Installs `clock` for the whole process (nullptr restores the system clock)
// and returns the one installed before (nullptr when it was the system clock).
TClock* SetClock(TClock* clock);

double Now();
uint32_t GetTickCount();
void Sleep(uint32_t ms);

// Installs a clock for the lifetime of the guard and puts the previous one back.
class TScopedClock {
 public:
  explicit TScopedClock(TClock& clock) : previous_(SetClock(&clock)) {}
  ~TScopedClock() { SetClock(previous_); }
  TScopedClock(const TScopedClock&) = delete;
  TScopedClock& operator=(const TScopedClock&) = delete;

 private:
  TClock* previous_;
};

}  // namespace os
