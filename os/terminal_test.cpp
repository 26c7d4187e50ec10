#include "os/terminal.h"

#include <gtest/gtest.h>
#include <pty.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <thread>

namespace os {
namespace {

// What the terminal showed: everything the master side can read now.
std::string Drain(int master) {
  std::string out;
  char buf[256];
  for (;;) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(master, &set);
    timeval wait{0, 100000};
    if (select(master + 1, &set, nullptr, nullptr, &wait) <= 0) break;
    const ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

TEST(TerminalTest, PasswordsAreNotEchoedAndLinesAreCut) {
  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  for (bool echo : {true, false}) {
    SCOPED_TRACE(echo);
    // The user types once the prompt is there (the terminal echoes what
    // arrives, so typing earlier would show even a password).
    const std::string typed = "sesame-" + std::string(50, 'x') + "\n";
    std::string shown;
    std::thread user([&] {
      for (int i = 0; i < 100 && shown.find("Key: ") == std::string::npos; ++i) shown += Drain(master);
      ASSERT_EQ(write(master, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
    });
    std::string line;
    const bool read = ReadTerminalLine(slave, slave, "Key: ", echo, 40, line);
    user.join();
    ASSERT_TRUE(read);
    EXPECT_EQ(line, ("sesame-" + std::string(50, 'x')).substr(0, 40));
    shown += Drain(master);
    EXPECT_EQ(shown.find("sesame") != std::string::npos, echo) << shown;
  }
  // The terminal's own echo setting is back.
  termios now{};
  ASSERT_EQ(tcgetattr(slave, &now), 0);
  EXPECT_NE(now.c_lflag & ECHO, 0u);
  close(master);
  close(slave);
}

TEST(TerminalTest, NoTerminalIsNeverRead) {
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  std::string line = "kept";
  EXPECT_FALSE(IsTerminal(pipeFds[0]));
  EXPECT_FALSE(ReadTerminalLine(pipeFds[0], pipeFds[1], "Key: ", false, 40, line));
  EXPECT_EQ(line, "kept");
  close(pipeFds[0]);
  close(pipeFds[1]);
}

}  // namespace
}  // namespace os
