#include "os/machine.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <string>

#include "os/testing/test_support.h"
#include "os/win_error.h"

namespace os {
namespace {

using test::TTempDir;

// Sets an environment variable for one scope and puts the old value back.
class TScopedEnv {
 public:
  TScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~TScopedEnv() {
    if (had_) {
      setenv(name_, old_.c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  bool had_ = false;
  std::string old_;
};

TEST(MachineRootTest, RootComesFromTheEnvironmentElseTheUsersDataFolder) {
  {
    TScopedEnv root("TAV_MACHINE_ROOT", "/some/where");
    EXPECT_EQ(TMachine::DefaultRoot(), "/some/where");
  }
  TScopedEnv root("TAV_MACHINE_ROOT", nullptr);
  {
    TScopedEnv data("XDG_DATA_HOME", "/data");
    EXPECT_EQ(TMachine::DefaultRoot(), "/data/tavrin/machine");
  }
  TScopedEnv data("XDG_DATA_HOME", nullptr);
  TScopedEnv home("HOME", "/home/u");
  EXPECT_EQ(TMachine::DefaultRoot(), "/home/u/.local/share/tavrin/machine");
}

TEST(MachineRootTest, OpeningMakesTheDrivesAndMapsThem) {
  TTempDir dir;
  auto machine = TMachine::Open(dir / "a/b/machine");
  ASSERT_NE(machine, nullptr);
  const std::string root = machine->Root();
  EXPECT_EQ(machine->DriveFolder('c'), root + "/C");
  EXPECT_EQ(machine->DriveFolder('A'), root + "/A");
  EXPECT_EQ(machine->DriveFolder('Z'), "/");
  EXPECT_EQ(machine->DriveFolder('D'), "");
  EXPECT_TRUE(std::filesystem::is_directory(root + "/C/WINDOWS/system32"));
  EXPECT_TRUE(std::filesystem::is_directory(root + "/A"));
  EXPECT_TRUE(
      std::filesystem::is_directory(root + "/C/Documents and Settings/User/Start Menu/Programs"));
  EXPECT_EQ(machine->DriveOfHostPath(root + "/C"), 'C');
  EXPECT_EQ(machine->DriveOfHostPath(root + "/A/x"), 'A');
  EXPECT_EQ(machine->DriveOfHostPath(root + "/Cx"), 'Z');
  EXPECT_EQ(machine->DriveOfHostPath("relative"), 0);

  // The current machine is the installed one, and the one before comes back.
  TMachine* before = SetMachine(nullptr);
  SetMachine(before);
  {
    TScopedMachine scoped(*machine);
    EXPECT_EQ(&CurrentMachine(), machine.get());
  }
  EXPECT_EQ(SetMachine(before), before);

  // A root that cannot be made is refused with the reason.
  test::WriteWholeFile(dir / "file", "x");
  EXPECT_EQ(TMachine::Open(dir / "file/machine"), nullptr);
  EXPECT_EQ(GetLastWinError(), winerr::kPathNotFound);
}

TEST(WinErrorTest, ErrnoMapsToTheCodesWindowsProgramsPrint) {
  const struct {
    int err;
    uint32_t code;
  } cases[] = {
      {ENOENT, 2},      {ENOTDIR, 3}, {EACCES, 5},         {EPERM, 5},    {EROFS, 5},
      {EAGAIN, 32},     {EBUSY, 32},  {ENOSPC, 112},       {EDQUOT, 112}, {EEXIST, 183},
      {ENOTEMPTY, 145}, {EXDEV, 17},  {ENAMETOOLONG, 206}, {EIO, 1117},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(WinErrorFromErrno(c.err), c.code) << c.err;
    EXPECT_FALSE(WinErrorText(c.code).empty());
  }
  EXPECT_EQ(WinErrorText(112), "There is not enough space on the disk.");
  EXPECT_EQ(WinErrorText(99999), "Unknown error 99999.");
}

}  // namespace
}  // namespace os
