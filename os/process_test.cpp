#include "os/process.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "os/testing/test_machine.h"
#include "os/win_error.h"

namespace os::test {
namespace {

using Words = std::vector<std::string>;

TEST(SplitCommandLineTest, FollowsTheWindowsQuotingRules) {
  struct Case {
    const char* line;
    Words words;
  };
  const Case cases[] = {
      {"", {}},
      {"   ", {}},
      {"prog", {"prog"}},
      {"prog a  b\tc", {"prog", "a", "b", "c"}},
      {"\"C:\\Program Files\\x.exe\" /s", {"C:\\Program Files\\x.exe", "/s"}},
      {"C:\\dir\\x.exe \"a b\" c", {"C:\\dir\\x.exe", "a b", "c"}},
      {"p a\\\\b", {"p", "a\\\\b"}},        // backslashes alone are themselves
      {"p a\\\"b", {"p", "a\"b"}},          // odd count: a literal quote
      {"p a\\\\\"b c\"", {"p", "a\\b c"}},  // even count: half, quote opens
      {"p \"a\"\"b\"", {"p", "a\"b"}},      // "" inside quotes
      {"p \"\"", {"p", ""}},                // an empty word
      {"p \"open to the end", {"p", "open to the end"}},
      {"\"pro\"g rest", {"prog", "rest"}},
      {"p\\\" x", {"p\\\"", "x"}},  // no backslash rules in the program's name
  };
  for (const Case& c : cases) EXPECT_EQ(SplitCommandLine(c.line), c.words) << c.line;
}

class ProcessTest : public MachineTest {
 protected:
  void Script(const std::string& relative, const std::string& text, mode_t mode = 0755) {
    WriteWholeFile(OnC(relative), text);
    ASSERT_EQ(chmod(OnC(relative).c_str(), mode), 0);
  }
  // Waits for a file the started program writes.
  std::string WaitForFile(const std::string& hostPath) {
    for (int i = 0; i < 500; ++i) {
      const std::string text = ReadWholeFile(hostPath);
      if (text.size() >= 2 && text.compare(text.size() - 2, 2, ".\n") == 0) return text;
      usleep(10000);
    }
    return "";
  }
};

TEST_F(ProcessTest, StartsTheProgramWithItsWordsInTheStartFolder) {
  ASSERT_EQ(mkdir(OnC("work").c_str(), 0755), 0);
  Script("tool.sh", "#!/bin/sh\n{ printf '[%s]' \"$@\"; echo .; } > out.txt\n");
  for (int mode : {SW_HIDE, SW_SHOWNORMAL, SW_SHOWMINIMIZED, SW_SHOWMAXIMIZED}) {
    unlink(OnC("work/out.txt").c_str());
    ASSERT_TRUE(CreateProcess("C:\\TOOL.SH", "tool \"two words\" x\\\"y", "C:\\work", mode));
    EXPECT_EQ(WaitForFile(OnC("work/out.txt")), "[two words][x\"y].\n");
  }
  // Without an application name the first word names it.
  unlink(OnC("work/out.txt").c_str());
  ASSERT_TRUE(CreateProcess("", "\"C:\\tool.sh\" one", "C:\\work", SW_SHOWNORMAL));
  EXPECT_EQ(WaitForFile(OnC("work/out.txt")), "[one].\n");
}

TEST_F(ProcessTest, FailuresByCause) {
  Script("plain.txt", "not a program", 0644);
  Script("garbage.exe", "\x7f\x01garbage", 0755);
  ASSERT_EQ(mkdir(OnC("folder").c_str(), 0755), 0);
  struct Case {
    const char* program;
    const char* dir;
    uint32_t code;
  };
  const Case cases[] = {
      {"C:\\missing.exe", "", winerr::kFileNotFound},
      {"C:\\no folder\\missing.exe", "", winerr::kPathNotFound},
      {"C:\\plain.txt", "", winerr::kAccessDenied},
      {"C:\\garbage.exe", "", winerr::kBadFormat},
      {"C:\\folder", "", winerr::kAccessDenied},
      {"C:\\garbage.exe", "C:\\no such folder", winerr::kDirectory},
      {"Q:\\x.exe", "", winerr::kPathNotFound},
  };
  for (const Case& c : cases) {
    SetLastWinError(0);
    EXPECT_FALSE(CreateProcess(c.program, "x", c.dir, SW_SHOWNORMAL)) << c.program;
    EXPECT_EQ(GetLastWinError(), c.code) << c.program;
  }
}

}  // namespace
}  // namespace os::test
