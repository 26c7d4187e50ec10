#include "os/clock.h"

#include <time.h>

#include <atomic>
#include <cerrno>

#include "os/local_time.h"

namespace os {
namespace {

// The system clock is never destroyed, so that code running during static
// destruction can still ask for the time.
TSystemClock& SystemClock() {
  static TSystemClock* clock = new TSystemClock();
  return *clock;
}

std::atomic<TClock*> g_clock{nullptr};

}  // namespace

double TSystemClock::Now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return LocalDateTimeFromUnix(static_cast<int64_t>(ts.tv_sec),
                               static_cast<int>(ts.tv_nsec / 1000000));
}

uint32_t TSystemClock::TickCount() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const uint64_t ms =
      static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

void TSystemClock::Sleep(uint32_t ms) {
  timespec req{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  timespec rem{};
  // A signal cuts nanosleep short; carry on with what remains.
  while (nanosleep(&req, &rem) == -1 && errno == EINTR) req = rem;
}

double TManualClock::Now() {
  std::lock_guard<std::mutex> lock(mutex_);
  return now_;
}

uint32_t TManualClock::TickCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return tick_;
}

void TManualClock::Sleep(uint32_t ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++sleep_count_;
  slept_ms_ += ms;
  tick_ += ms;  // wraps like the real tick
  now_ += ms / kMSecsPerDay;
}

void TManualClock::SetNow(double now) {
  std::lock_guard<std::mutex> lock(mutex_);
  now_ = now;
}

void TManualClock::SetTickCount(uint32_t tick) {
  std::lock_guard<std::mutex> lock(mutex_);
  tick_ = tick;
}

void TManualClock::Advance(uint32_t ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  tick_ += ms;
  now_ += ms / kMSecsPerDay;
}

uint32_t TManualClock::SleepCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sleep_count_;
}

uint64_t TManualClock::SleptMs() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return slept_ms_;
}

TClock& CurrentClock() {
  TClock* clock = g_clock.load(std::memory_order_acquire);
  return clock != nullptr ? *clock : SystemClock();
}

TClock* SetClock(TClock* clock) {
  if (clock == &SystemClock()) clock = nullptr;
  return g_clock.exchange(clock, std::memory_order_acq_rel);
}

double Now() {
  return CurrentClock().Now();
}
uint32_t GetTickCount() {
  return CurrentClock().TickCount();
}
void Sleep(uint32_t ms) {
  CurrentClock().Sleep(ms);
}

}  // namespace os
