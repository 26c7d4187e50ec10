#include "os/sys_info.h"

#include <limits.h>
#include <pwd.h>
#include <string.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

namespace os {
namespace {

thread_local int t_last_error = 0;

// strerror_r comes in two shapes; take whichever the C library provides.
[[maybe_unused]] const char* ErrorTextOf(int result, const char* buf) {
  return result == 0 ? buf : nullptr;
}
[[maybe_unused]] const char* ErrorTextOf(const char* result, const char*) {
  return result;
}

}  // namespace

std::string GetUserName() {
  const uid_t uid = geteuid();
  long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  size_t size = hint > 0 ? static_cast<size_t>(hint) : 1024;
  // Large directory entries (LDAP, long GECOS fields) need a bigger buffer; grow
  // up to a bound rather than trust an endless ERANGE.
  while (size <= (1u << 20)) {
    std::vector<char> buf(size);
    passwd pw{};
    passwd* found = nullptr;
    const int rc = getpwuid_r(uid, &pw, buf.data(), buf.size(), &found);
    if (rc == ERANGE) {
      size *= 2;
      continue;
    }
    if (rc != 0) {
      SetLastOSError(rc);
      return {};
    }
    if (found == nullptr || pw.pw_name == nullptr) {
      SetLastOSError(ENOENT);
      return {};
    }
    return pw.pw_name;
  }
  SetLastOSError(ERANGE);
  return {};
}

std::string GetComputerName() {
  char buf[HOST_NAME_MAX + 2] = {};
  if (gethostname(buf, sizeof buf - 1) != 0) {
    SetLastOSError(errno);
    return {};
  }
  buf[sizeof buf - 1] = '\0';  // a truncated name need not be terminated
  return buf;
}

TOSDescription GetOSDescription() {
  TOSDescription d;
  utsname u{};
  if (uname(&u) != 0) {
    SetLastOSError(errno);
    return d;
  }
  d.ok = true;
  d.sysname = u.sysname;
  d.release = u.release;
  d.version = u.version;
  d.machine = u.machine;
  return d;
}

uint32_t GetCurrentThreadId() {
  return static_cast<uint32_t>(gettid());
}

int GetLastOSError() {
  return t_last_error;
}

void SetLastOSError(int code) {
  t_last_error = code;
}

std::string GetOSErrorText(int code) {
  char buf[256] = {};
  const char* text = ErrorTextOf(strerror_r(code, buf, sizeof buf), buf);
  if (text == nullptr || *text == '\0') {
    std::snprintf(buf, sizeof buf, "Unknown error %d", code);
    text = buf;
  }
  return text;
}

void Beep() {
  if (isatty(STDERR_FILENO) == 1) {
    [[maybe_unused]] const ssize_t n = write(STDERR_FILENO, "\a", 1);
  }
}

}  // namespace os
