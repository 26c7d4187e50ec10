// Helpers for the lock tests: a real child process that does its part, tells
// the parent when it is there and what it holds, and waits to be told to go
// on; and a probe that asks through a handle of its own whether bytes of a
// file are locked by anyone else.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/storage/base/tav_errors.h"
#include "engine/storage/base/tav_logger.h"
#include "os/file.h"
#include "os/testing/test_support.h"

namespace tav::test {

// Tells on stderr what a child's body let escape (os::test's report), with,
// for the engine's errors, the code and the last lines of the trace log
// (which name the raising routine).
inline void ReportEscapedException(std::exception_ptr error) {
  std::string code;
  try {
    std::rethrow_exception(error);
  } catch (const ETavDatabaseError& e) {
    code = std::to_string(e.ErrorCode());
  } catch (...) {
  }
  os::test::ReportEscapedException(error, code.empty() ? "" : " code " + code);
  if (code.empty()) return;
  if (std::shared_ptr<TDBLogger> log = GDBLogger()) {
    const std::vector<std::string> lines = log->LogItems();
    const size_t from = lines.size() > 3 ? lines.size() - 3 : 0;
    for (size_t i = from; i < lines.size(); ++i) std::fprintf(stderr, "  log: %s\n", lines[i].c_str());
  }
  std::fflush(stderr);
}

// The child's ends of the two pipes.
class TChildSide {
 public:
  TChildSide(int toParent, int fromParent) : to_parent_(toParent), from_parent_(fromParent) {}

  void Send(uint64_t value) { WriteAll(&value, sizeof value); }
  // Blocks until the parent says go; false if the parent has gone.
  bool WaitGo() {
    char c;
    ssize_t n;
    do {
      n = read(from_parent_, &c, 1);
    } while (n < 0 && errno == EINTR);
    return n == 1;
  }

 private:
  void WriteAll(const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
      const ssize_t n = write(to_parent_, p, size);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      p += n;
      size -= static_cast<size_t>(n);
    }
  }

  int to_parent_;
  int from_parent_;
};

// A forked child running `body`; its result is the exit code (99 when it
// throws). The child leaves through _exit and never returns into the test
// framework. A child still running when the object goes is killed.
class TChild {
 public:
  explicit TChild(const std::function<int(TChildSide&)>& body) {
    int up[2], down[2];
    if (pipe(up) != 0) return;
    if (pipe(down) != 0) {
      close(up[0]);
      close(up[1]);
      return;
    }
    pid_ = fork();
    if (pid_ == 0) {
      close(up[0]);
      close(down[1]);
      int code = 98;
      try {
        TChildSide side(up[1], down[0]);
        code = body(side);
      } catch (...) {
        ReportEscapedException(std::current_exception());
        code = 99;
      }
      _exit(code);
    }
    close(up[1]);
    close(down[0]);
    from_child_ = up[0];
    to_child_ = down[1];
    if (pid_ < 0) {
      close(from_child_);
      close(to_child_);
      from_child_ = to_child_ = -1;
    }
  }

  ~TChild() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      Wait();
    }
    if (from_child_ >= 0) close(from_child_);
    if (to_child_ >= 0) close(to_child_);
  }
  TChild(const TChild&) = delete;
  TChild& operator=(const TChild&) = delete;

  bool Started() const { return pid_ > 0; }

  // The next value the child sent; false if it exited first.
  bool Receive(uint64_t& value) {
    char* p = reinterpret_cast<char*>(&value);
    size_t left = sizeof value;
    while (left > 0) {
      const ssize_t n = read(from_child_, p, left);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      p += n;
      left -= static_cast<size_t>(n);
    }
    return true;
  }

  void Go() {
    const char c = 'g';
    ssize_t n;
    do {
      n = write(to_child_, &c, 1);
    } while (n < 0 && errno == EINTR);
  }

  void Kill() {
    if (pid_ > 0 && !reaped_) kill(pid_, SIGKILL);
  }

  // The child's exit code, or -1 when a signal ended it.
  int Wait() {
    if (pid_ <= 0) return -1;
    if (!reaped_) {
      while (waitpid(pid_, &status_, 0) < 0) {
        if (errno != EINTR) return -1;
      }
      reaped_ = true;
    }
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  }

 private:
  pid_t pid_ = -1;
  int from_child_ = -1;
  int to_child_ = -1;
  int status_ = 0;
  bool reaped_ = false;
};

// Asks through a handle of its own whether bytes of a file are free of
// everybody else's locks (taking and at once releasing them).
class TProbe {
 public:
  explicit TProbe(const std::string& path)
      : file_(os::TOSFile::Open(path, os::TFileAccess::ReadWrite, os::TFileShare::DenyNone)) {}
  bool Ok() const { return file_ != nullptr; }
  bool Free(uint64_t offset, uint64_t length = 1) {
    if (!file_ || !file_->LockRange(offset, length)) return false;
    file_->UnlockRange(offset, length);
    return true;
  }
  // How many single bytes of [offset, offset + length) are held by others.
  int HeldBytes(uint64_t offset, uint64_t length) {
    int held = 0;
    for (uint64_t b = offset; b < offset + length; ++b)
      if (!Free(b)) ++held;
    return held;
  }

 private:
  std::unique_ptr<os::TOSFile> file_;
};

inline bool RangeIsFree(const std::string& path, uint64_t offset, uint64_t length = 1) {
  return TProbe(path).Free(offset, length);
}

}  // namespace tav::test
