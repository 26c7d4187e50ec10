// What the machine and the process are: user, host and system names, the
// calling thread's id, and the per-thread last error through which every
// function of this layer reports why it failed.
//
// Callers must keep: functions in os/ report failure by their return value
// (false, nullptr, -1 or an empty string) and leave an errno value behind for
// GetLastOSError. Read it right after the failing call, on the same thread;
// a later failing call of this layer overwrites it, and success leaves it alone.
#pragma once

#include <cstdint>
#include <string>

namespace os {

// The effective user's login name; empty when it cannot be found.
std::string GetUserName();

// The host name; empty when it cannot be read.
std::string GetComputerName();

struct TOSDescription {
  bool ok = false;  // false when uname failed; the strings are then empty
  std::string sysname;
  std::string release;
  std::string version;
  std::string machine;
};

TOSDescription GetOSDescription();

// The kernel's id of the calling thread.
uint32_t GetCurrentThreadId();

// The errno value the last failing call of this layer left on this thread.
int GetLastOSError();
void SetLastOSError(int code);

// The system's text for an errno value.
std::string GetOSErrorText(int code);

// The audible hint of a retry: the terminal bell on standard error, when that
// is a terminal; nothing otherwise.
void Beep();

}  // namespace os
