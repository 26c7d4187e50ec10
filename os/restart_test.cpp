#include "os/restart.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "os/host_profile.h"
#include "os/registry_store.h"
#include "os/testing/test_machine.h"
#include "os/win_error.h"
#include "os/win_file.h"
#include "os/win_path.h"

namespace os::test {
namespace {

constexpr char kRunOnce[] = "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

// Sets an environment variable for the test's lifetime.
class TScopedEnv {
 public:
  TScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old, had_ = true;
    ::setenv(name, value, 1);
  }
  ~TScopedEnv() {
    if (had_) {
      ::setenv(name_, old_.c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::string old_;
  bool had_ = false;
};

class RestartTest : public MachineTest {
 protected:
  void Make(const std::string& relative, const std::string& text = "x", mode_t mode = 0644) {
    std::filesystem::create_directories(std::filesystem::path(OnC(relative)).parent_path());
    WriteWholeFile(OnC(relative), text);
    ASSERT_EQ(chmod(OnC(relative).c_str(), mode), 0);
  }
  bool There(const std::string& relative) const { return std::filesystem::exists(OnC(relative)); }
  void AddRunOnce(TRegRoot root, const std::string& name, const std::string& command) {
    ASSERT_TRUE(machine_->Registry().CreateKey(root, kRunOnce));
    ASSERT_TRUE(machine_->Registry().WriteValue(root, kRunOnce, name, REG_SZ, command));
  }
  std::vector<std::string> RunOnceNames(TRegRoot root) {
    std::vector<std::string> names;
    machine_->Registry().GetValueNames(root, kRunOnce, names);
    return names;
  }
  // A program that writes its arguments and a last line "." into `out`.
  void Program(const std::string& relative, const std::string& out) {
    Make(relative, "#!/bin/sh\necho \"$@\" > '" + OnC(out) + ".part'\necho . >> '" + OnC(out) +
                       ".part'\nmv '" + OnC(out) + ".part' '" + OnC(out) + "'\n",
         0755);
  }
  std::string WaitFor(const std::string& relative) {
    for (int i = 0; i < 1000; ++i) {
      if (There(relative)) return ReadWholeFile(OnC(relative));
      usleep(10000);
    }
    return "(never written)";
  }
};

TEST_F(RestartTest, RequestsAreRefusedInRealRunsAndRecordedForTests) {
  ::unsetenv("TAV_RECORD_RESTART");
  EXPECT_FALSE(WinExitWindows(EWX_REBOOT));
  EXPECT_EQ(GetLastWinError(), winerr::kAccessDenied);
  EXPECT_TRUE(WinReadRestartRequests().empty());
  {
    TScopedEnv record("TAV_RECORD_RESTART", "1");
    EXPECT_TRUE(WinExitWindows(EWX_REBOOT));
    EXPECT_TRUE(WinExitWindows(EWX_REBOOT | EWX_FORCE));
  }
  EXPECT_EQ(WinReadRestartRequests(), (std::vector<uint32_t>{EWX_REBOOT, EWX_REBOOT | EWX_FORCE}));
  WriteWholeFile(RestartRequestsPath(), "00000002\n0000002\n");
  EXPECT_THROW(WinReadRestartRequests(), EDamagedFile);
}

TEST_F(RestartTest, AppliesTheDelayedMovesThenForgetsThem) {
  Make("App/lib.dll", "old");
  Make("App/lib.1", "new");
  Make("App/other.1", "other");
  ASSERT_TRUE(WinMoveFileDelayed("C:\\App\\lib.1", "C:\\App\\lib.dll"));
  ASSERT_TRUE(WinMoveFileDelayed("C:\\App\\other.1", "C:\\App\\Missing Folder\\other.dll"));
  std::vector<std::string> report;
  EXPECT_FALSE(RestartMachine(report));
  EXPECT_EQ(ReadWholeFile(OnC("App/lib.dll")), "new");
  EXPECT_FALSE(There("App/lib.1"));
  ASSERT_EQ(report.size(), 1u) << "the move that cannot be made is reported";
  EXPECT_NE(report[0].find("other.1"), std::string::npos);
  EXPECT_TRUE(WinReadDelayedMoves().empty());
  report.clear();
  EXPECT_TRUE(RestartMachine(report)) << "a second restart finds nothing to do";
}

TEST_F(RestartTest, AppliesWininitRenamesAndKeepsTheFileAsBak) {
  const std::string windows = GetWindowsDirectory();
  Make("App/a.dll", "old a");
  Make("App/a.1", "new a");
  Make("App/gone.tmp");
  std::string host;
  ASSERT_TRUE(ResolveWinPath(windows + "\\WININIT.INI", host));
  WriteWholeFile(host, "[rename]\r\nC:\\App\\a.dll=C:\\App\\a.1\r\nNUL=C:\\App\\gone.tmp\r\n"
                       "[Other]\r\nC:\\App\\keep=C:\\App\\none\r\n");
  std::vector<std::string> report;
  EXPECT_TRUE(RestartMachine(report)) << (report.empty() ? "" : report[0]);
  EXPECT_EQ(ReadWholeFile(OnC("App/a.dll")), "new a");
  EXPECT_FALSE(There("App/a.1"));
  EXPECT_FALSE(There("App/gone.tmp"));
  EXPECT_FALSE(WinFileExists(windows + "\\WININIT.INI"));
  EXPECT_TRUE(WinFileExists(windows + "\\WININIT.BAK"));

  // A damaged one is reported and left for a look; the rest of the restart runs.
  WriteWholeFile(host, "[rename]\r\nno equals sign\r\n");
  Make("App/run.bat", "ERASE C:\\App\\a.dll\r\n");
  AddRunOnce(TRegRoot::LocalMachine, "Batch", "C:\\App\\run.bat");
  report.clear();
  EXPECT_FALSE(RestartMachine(report));
  ASSERT_EQ(report.size(), 1u);
  EXPECT_NE(report[0].find("WININIT.INI"), std::string::npos) << report[0];
  EXPECT_TRUE(WinFileExists(windows + "\\WININIT.INI"));
  EXPECT_FALSE(There("App/a.dll"));
}

TEST_F(RestartTest, RunsEachRunOnceValueOnceMachineWideFirst) {
  Program("bin/resume", "resumed.txt");
  Make("App/old.dll");
  Make("App/job.bat", "erase C:\\App\\old.dll\r\n");
  AddRunOnce(TRegRoot::CurrentUser, "OrlaneUnfinished",
             "\"C:\\bin\\resume\" -r \"-sC:\\My Setup\" -c");
  AddRunOnce(TRegRoot::LocalMachine, "OrlaneBatFile", "C:\\APP\\JOB.BAT");
  AddRunOnce(TRegRoot::LocalMachine, "Missing", "C:\\bin\\none -r");
  std::vector<std::string> report;
  EXPECT_FALSE(RestartMachine(report));
  ASSERT_EQ(report.size(), 1u);
  EXPECT_NE(report[0].find("C:\\bin\\none"), std::string::npos) << report[0];
  EXPECT_FALSE(There("App/old.dll"));
  EXPECT_EQ(WaitFor("resumed.txt"), "-r -sC:\\My Setup -c\n.\n");
  // Deleted before they ran: the next restart runs nothing.
  EXPECT_TRUE(RunOnceNames(TRegRoot::LocalMachine).empty());
  EXPECT_TRUE(RunOnceNames(TRegRoot::CurrentUser).empty());
  report.clear();
  EXPECT_TRUE(RestartMachine(report));
}

// The tool as a user runs it: its own process on a machine root.
TEST_F(RestartTest, TheToolRestartsAMachineRootAsAProcess) {
  Make("App/lib.dll", "old");
  Make("App/lib.1", "new");
  ASSERT_TRUE(WinMoveFileDelayed("C:\\App\\lib.1", "C:\\App\\lib.dll"));
  Program("bin/resume", "resumed.txt");
  AddRunOnce(TRegRoot::CurrentUser, "OrlaneUnfinished", "C:\\bin\\resume -r");
  AddRunOnce(TRegRoot::CurrentUser, "Bad", "C:\\bin\\none");
  // A program it starts runs on the same machine, whatever the caller's
  // environment says.
  Make("bin/where", "#!/bin/sh\necho \"$TAV_MACHINE_ROOT\" > '" + OnC("where.part") + "'\nmv '" +
                        OnC("where.part") + "' '" + OnC("where.txt") + "'\n",
       0755);
  AddRunOnce(TRegRoot::LocalMachine, "Where", "C:\\bin\\where");

  const std::string command = "env -u TAV_MACHINE_ROOT " + std::string(TAV_RESTART_TOOL) + " '" +
                              machine_->Root() + "' 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char buffer[512];
  while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
  const int status = ::pclose(pipe);
  ASSERT_TRUE(WIFEXITED(status)) << output;
  EXPECT_EQ(WEXITSTATUS(status), 1) << output;
  EXPECT_NE(output.find("cannot start C:\\bin\\none"), std::string::npos) << output;
  EXPECT_EQ(ReadWholeFile(OnC("App/lib.dll")), "new");
  EXPECT_EQ(WaitFor("resumed.txt"), "-r\n.\n");
  EXPECT_EQ(WaitFor("where.txt"), machine_->Root() + "\n");
  EXPECT_TRUE(WinReadDelayedMoves().empty());
  EXPECT_TRUE(RunOnceNames(TRegRoot::CurrentUser).empty());

  // A root that cannot be made: exit code 2.
  const std::string bad = std::string(TAV_RESTART_TOOL) + " /proc/no-such/root >/dev/null 2>&1";
  const int badStatus = std::system(bad.c_str());
  ASSERT_TRUE(WIFEXITED(badStatus));
  EXPECT_EQ(WEXITSTATUS(badStatus), 2);
}

}  // namespace
}  // namespace os::test
