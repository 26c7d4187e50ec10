#include "os/terminal.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace os {

namespace {

void WriteText(int fd, const std::string& text) {
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    const ssize_t n = write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    left -= static_cast<size_t>(n);
  }
}

// Turns echo off for its lifetime and restores the terminal's own setting.
class TEchoOff {
 public:
  explicit TEchoOff(int fd) : fd_(fd) {
    if (tcgetattr(fd_, &saved_) != 0) return;
    termios quiet = saved_;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    active_ = tcsetattr(fd_, TCSANOW, &quiet) == 0;
  }
  ~TEchoOff() {
    if (active_) tcsetattr(fd_, TCSANOW, &saved_);
  }
  TEchoOff(const TEchoOff&) = delete;
  TEchoOff& operator=(const TEchoOff&) = delete;

 private:
  int fd_;
  termios saved_{};
  bool active_ = false;
};

}  // namespace

bool IsTerminal(int fd) { return isatty(fd) == 1; }

bool ReadTerminalLine(int inFd, int outFd, const std::string& prompt, bool echo,
                      size_t maxLength, std::string& line) {
  if (!IsTerminal(inFd)) return false;
  WriteText(outFd, prompt);
  std::string typed;
  {
    TEchoOff quiet(echo ? -1 : inFd);
    for (;;) {
      char c;
      const ssize_t n = read(inFd, &c, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      if (c == '\n') break;
      if (c == '\r') continue;
      // Characters past the limit are read (so that the next question does
      // not get them) but not kept.
      if (typed.size() < maxLength) typed += c;
    }
  }
  line = typed;
  return true;
}

}  // namespace os
