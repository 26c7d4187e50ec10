#include "os/sys_info.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace os {
namespace {

TEST(SysInfoTest, NamesDescribeThisMachineAndUser) {
  const passwd* pw = getpwuid(geteuid());
  ASSERT_NE(pw, nullptr);
  EXPECT_EQ(GetUserName(), pw->pw_name);

  utsname u{};
  ASSERT_EQ(uname(&u), 0);
  EXPECT_EQ(GetComputerName(), u.nodename);

  const TOSDescription d = GetOSDescription();
  EXPECT_TRUE(d.ok);
  EXPECT_EQ(d.sysname, "Linux");
  EXPECT_EQ(d.release, u.release);
  EXPECT_FALSE(d.machine.empty());
}

TEST(SysInfoTest, ThreadIdsAreKernelIdsAndDiffer) {
  EXPECT_EQ(GetCurrentThreadId(), static_cast<uint32_t>(getpid()));  // the main thread
  uint32_t other = 0;
  std::thread([&] { other = GetCurrentThreadId(); }).join();
  EXPECT_NE(other, 0u);
  EXPECT_NE(other, GetCurrentThreadId());
}

TEST(LastErrorTest, IsKeptPerThread) {
  SetLastOSError(ENOENT);
  int seen = -1;
  std::thread([&] {
    seen = GetLastOSError();
    SetLastOSError(EACCES);
  }).join();
  EXPECT_EQ(seen, 0);
  EXPECT_EQ(GetLastOSError(), ENOENT);
}

TEST(LastErrorTest, TextComesFromTheSystem) {
  EXPECT_EQ(GetOSErrorText(ENOENT), "No such file or directory");
  EXPECT_EQ(GetOSErrorText(EACCES), "Permission denied");
  EXPECT_FALSE(GetOSErrorText(987654).empty());
}

}  // namespace
}  // namespace os
