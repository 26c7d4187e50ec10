// A recursive lock for state shared between threads of one process (page
// caches, handle tables, session lists). The owning thread may enter again;
// the section is free once every Enter (or successful TryEnter) is matched by
// a Leave on the same thread.
//
// Callers must keep: Leave only from the thread that entered; hold the section
// through a TCriticalSectionGuard wherever an exception can pass, so an error
// never leaves it held.
#pragma once

#include <mutex>

namespace os {

class TCriticalSection {
 public:
  TCriticalSection() = default;
  TCriticalSection(const TCriticalSection&) = delete;
  TCriticalSection& operator=(const TCriticalSection&) = delete;

  void Enter();
  void Leave();
  // Enters if no other thread holds the section; never waits.
  bool TryEnter();

 private:
  std::recursive_mutex mutex_;
};

// Holds a critical section for its own lifetime.
class TCriticalSectionGuard {
 public:
  explicit TCriticalSectionGuard(TCriticalSection& cs) : cs_(cs) { cs_.Enter(); }
  ~TCriticalSectionGuard() { cs_.Leave(); }
  TCriticalSectionGuard(const TCriticalSectionGuard&) = delete;
  TCriticalSectionGuard& operator=(const TCriticalSectionGuard&) = delete;

 private:
  TCriticalSection& cs_;
};

}  // namespace os
