// The install run as the processes a user starts: a test-only host program
// (apps/tavinstallhost) runs a script text on a fresh machine with the
// scripted presenter; a probe in the script logs every message the run
// broadcasts and acts as a page would.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "host/rtl/string_list.h"
#include "host/rtl/sys_utils.h"
#include "installer/engine/base/install_globals.h"
#include "installer/engine/base/orln_registry.h"
#include "installer/engine/script/install.h"
#include "installer/engine/script/install_file.h"
#include "installer/engine/script/self_extract.h"
#include "installer/engine/testing/install_script_fixture.h"
#include "os/restart.h"
#include "os/win_file.h"
#include "os/win_path.h"

namespace orln::test {
namespace {

constexpr char kHistoryRoot[] = "\\SOFTWARE\\QEL\\Install";

std::string ReadHost(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Bytes that deflate poorly.
std::string Noise(size_t size, uint32_t seed) {
  std::string s(size, '\0');
  for (char& c : s) {
    seed = seed * 1103515245u + 12345u;
    c = static_cast<char>(seed >> 24);
  }
  return s;
}

// One started program: its pid, output file, and a bounded wait.
struct TChild {
  pid_t pid = -1;
  std::string output;
  // The exit code; -1 for a signal, -2 when it did not end in time.
  int Wait(int seconds = 120) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
      const pid_t r = waitpid(pid, &status, WNOHANG);
      if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -2;
  }
};

class InstallRunTest : public InstallScriptTest {
 protected:
  void SetUp() override {
    InstallScriptTest::SetUp();
    root_ = machine_->Root();
    log_ = dir_.Path() + "/probe.log";
    transcript_ = dir_.Path() + "/transcript.txt";
  }

  // The script of a form (child: TScriptForm) or a data module (in this
  // process: no run starts) with one directory of files.
  std::string Script(bool child, const std::string& installProps, const std::string& probeProps,
                     const std::vector<std::string>& files = {"data.bin"}) const {
    std::string s = child ? "object Form1: TScriptForm\n" : "object Module: TDataModule\n";
    s += "  object MainArchive: TpsMainArchiveFile\n  end\n"
         "  object ProgramFiles: TpsProgramFiles\n  end\n"
         "  object Install: TInstall\n    AutoMaximizeWindow = False\n"
         "    ArchiveFileType = MainArchive\n    DestDirType = ProgramFiles\n" +
         installProps;
    if (!child) s += "    RunAutomatic = False\n";
    s += "  end\n  object ContainerArchive: TpsContainerArchiveFile\n  end\n"
         "  object ContainerDest: TpsContainerDestDir\n  end\n"
         "  object Dir: TInstallDirectory\n    Container = Install\n"
         "    ArchiveFileType = ContainerArchive\n    DestDirType = ContainerDest\n  end\n";
    int id = 10;
    for (const std::string& f : files) {
      s += "  object IF" + std::to_string(id) + ": TInstallFile\n    Container = Dir\n"
           "    FileName = '" + f + "'\n    DestName = '" + f + "'\n    IncludeFromDir = 'C:\\Src'\n"
           "    ArchiveFileType = ContainerArchive\n    DestDirType = ContainerDest\n"
           "    UniqueID = " + std::to_string(id) + "\n  end\n";
      ++id;
    }
    if (child)
      s += "  object Probe: TRunProbe\n    Container = Install\n    LogFile = '" + log_ + "'\n" +
           probeProps + "  end\n";
    return s + "end\n";
  }

  // Sources in C:\Src and their archive in C:\Setup\files.1, built here.
  void BuildArchive(const std::vector<std::pair<std::string, std::string>>& files) {
    std::vector<std::string> names;
    for (const auto& [name, data] : files) {
      ASSERT_TRUE(os::WinForceDirectories("C:\\Src"));
      ASSERT_TRUE(os::WinWriteWholeFile("C:\\Src\\" + name, data));
      names.push_back(name);
    }
    host::ReadComponent(Script(false, "", "", names), module_);
    auto* install = dynamic_cast<TInstall*>(module_.FindComponent("Install"));
    ASSERT_NE(install, nullptr);
    install->SetArchiveFileType(nullptr);
    install->SetArchiveFile("C:\\Setup\\files.1");
    install->BuildArchive(kTraditionalBuild);
    module_.DestroyComponents();
    ASSERT_TRUE(os::WinFileExists("C:\\Setup\\files.1"));
  }

  void SetWindows98() {
    machine_->Profile().Version.PlatformId = os::kPlatformWindows;
    machine_->Profile().Version.MajorVersion = 4;
    machine_->Profile().Version.MinorVersion = 10;
    ASSERT_TRUE(machine_->SaveProfile());
  }

  // Starts `program` with `args` on this machine, `script` as its script.
  TChild Start(const std::string& program, const std::vector<std::string>& args,
               const std::string& script, bool recordRestart = true) {
    const std::string scriptPath = dir_.Path() + "/script" + std::to_string(++starts_) + ".txt";
    os::test::WriteWholeFile(scriptPath, script);
    TChild c;
    c.output = dir_.Path() + "/out" + std::to_string(starts_) + ".txt";
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), args.begin(), args.end());
    c.pid = fork();
    if (c.pid == 0) {
      setenv("TAV_MACHINE_ROOT", root_.c_str(), 1);
      setenv("TAV_INSTALL_SCRIPT", scriptPath.c_str(), 1);
      setenv("TAV_PRESENTER", "scripted", 1);
      setenv("TAV_TRANSCRIPT", transcript_.c_str(), 1);
      if (recordRestart) setenv("TAV_RECORD_RESTART", "1", 1);
      else unsetenv("TAV_RECORD_RESTART");
      FILE* out = fopen(c.output.c_str(), "w");
      if (out != nullptr) {
        dup2(fileno(out), 1);
        dup2(fileno(out), 2);
      }
      std::vector<char*> raw;
      for (std::string& a : argv) raw.push_back(a.data());
      raw.push_back(nullptr);
      execv(program.c_str(), raw.data());
      _exit(127);
    }
    return c;
  }
  int Run(const std::vector<std::string>& args, const std::string& script, bool record = true) {
    TChild c = Start(TAV_INSTALL_HOST, args, script, record);
    const int code = c.Wait();
    last_output_ = ReadHost(c.output);
    return code;
  }
  int Restart() {
    const std::string command = "TAV_MACHINE_ROOT='" + root_ + "' TAV_INSTALL_SCRIPT='" + dir_.Path() + "/script" +
                                std::to_string(starts_) + ".txt' TAV_PRESENTER=scripted " +
                                "TAV_TRANSCRIPT='" + transcript_ + "' " + TAV_RESTART_TOOL + " '" +
                                root_ + "' >'" + dir_.Path() + "/restart.txt' 2>&1";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // Polls (the -r run is started detached) until the log holds `line`.
  bool WaitForLog(const std::string& line, int seconds = 60) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
      if (HasLine(Log(), line)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  static bool HasLine(const std::string& text, const std::string& line) {
    return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
  }
  std::string Log() const { return ReadHost(log_); }
  std::string Transcript() const { return ReadHost(transcript_); }
  static std::vector<std::string> HistoryKeys() {
    std::vector<std::string> out;
    TorlnRegistry reg;
    reg.SetRootKey(os::HKEY_LOCAL_MACHINE);
    if (!reg.OpenKeyReadOnly(kHistoryRoot)) return out;
    host::TStringList names;
    reg.GetKeyNames(names);
    for (int i = 0; i < names.Count(); ++i) out.push_back(names.Strings(i));
    return out;
  }
  static bool KeyExists(int root, const std::string& key) {
    TorlnRegistry reg;
    os::HKEY h;
    RootKeyOfCode(root, h);
    reg.SetRootKey(h);
    return reg.KeyExists(key);
  }
  static std::string Dest(const std::string& name) {
    return "C:\\Program Files\\MyApplication\\" + name;
  }
  static std::string Get(const std::string& path) {
    std::string data;
    return os::WinReadWholeFile(path, data) ? data : "(missing)";
  }

  std::string root_, log_, transcript_, last_output_;
  int starts_ = 0;
};

TEST_F(InstallRunTest, CommandLinesGoodAndBad) {
  BuildArchive({{"data.bin", "payload"}});
  // An unknown letter after '-' stops the start; after '*' it is ignored.
  EXPECT_EQ(Run({"-sC:\\Setup", "-x"}, Script(true, "", "")), 1);
  EXPECT_NE(Transcript().find("Invalid parameter <-x>. Valid command line parameters are: -b"),
            std::string::npos)
      << Transcript() << last_output_;
  EXPECT_EQ(Run({"z"}, Script(true, "", "")), 1);
  EXPECT_NE(Transcript().find("Invalid parameter <z>"), std::string::npos);
  // -d needs a source with a value.
  EXPECT_EQ(Run({"-d", "-s"}, Script(true, "", "")), 1);
  EXPECT_NE(Transcript().find("You forgot to pass in the build directory. In Run | Parameters, "
                              "follow this format: -d \"-sC:\\My Build\""),
            std::string::npos);
  // Without -s the loading program's path is missing: a bad install.
  EXPECT_EQ(Run({}, Script(true, "", "")), 0);
  EXPECT_TRUE(HasLine(Log(), "-994")) << Log();
  EXPECT_NE(Transcript().find("The path of the loading program was not passed correctly."),
            std::string::npos);
  EXPECT_TRUE(HistoryKeys().empty());

  // A good command line ("*x" ignored, the letter in either case): the file
  // goes in and the history goes again.
  std::filesystem::remove(log_);
  EXPECT_EQ(Run({"*x", "-SC:\\Setup"}, Script(true, "", "")), 0) << last_output_;
  EXPECT_EQ(Get(Dest("data.bin")), "payload") << Transcript() << last_output_;
  const std::string log = Log();
  EXPECT_EQ(log.substr(0, log.find("-986")),
            "-984\n-974 Reading file information...\n-973\n-983\n")
      << log;
  EXPECT_TRUE(HasLine(log, "-980"));
  EXPECT_TRUE(HasLine(log, "-995"));
  EXPECT_TRUE(HasLine(log, "-979"));
  EXPECT_FALSE(HasLine(log, "-994"));
  EXPECT_FALSE(HasLine(log, "-987"));
  EXPECT_TRUE(HistoryKeys().empty());
  EXPECT_FALSE(KeyExists(hkLocalMachine, "\\SOFTWARE\\QEL"));
}

// XP: a destination another process holds is replaced at the restart; the
// run registers its -r start, asks for the restart and ends; the restart
// tool applies the move and starts the -r run, which completes.
TEST_F(InstallRunTest, RestartAndResumeOnXP) {
  BuildArchive({{"data.bin", "new contents"}});
  ASSERT_TRUE(os::WinForceDirectories("C:\\Program Files\\MyApplication"));
  ASSERT_TRUE(os::WinWriteWholeFile(Dest("data.bin"), "old contents"));
  {
    THolder held(Dest("data.bin"));
    EXPECT_EQ(Run({"-sC:\\Setup"}, Script(true, "", "")), 0) << last_output_;
  }
  std::string log = Log();
  EXPECT_TRUE(HasLine(log, "-987")) << log << Transcript() << last_output_;
  EXPECT_FALSE(HasLine(log, "-995"));
  EXPECT_EQ(Get(Dest("data.bin")), "old contents");
  EXPECT_EQ(Get(Dest("data.1")), "new contents");
  EXPECT_EQ(os::WinReadRestartRequests().size(), 1u);
  const std::string command = RegReadString(hkCurrentUser, kRunOnceKey, "OrlaneUnfinished", "");
  std::string program;
  ASSERT_TRUE(os::HostToWinPath(TAV_INSTALL_HOST, program));
  EXPECT_EQ(command, "\"" + program + "\" -r \"-sC:\\Setup\"");
  ASSERT_EQ(HistoryKeys(), std::vector<std::string>{"Install0"});
  EXPECT_EQ(RegReadString(hkLocalMachine, std::string(kHistoryRoot) + "\\Install0\\Unfinished",
                          "IF10", ""),
            "0");

  EXPECT_EQ(Restart(), 0) << ReadHost(dir_.Path() + "/restart.txt");
  ASSERT_TRUE(WaitForLog("-995", 20)) << Log() << Transcript() << ReadHost(dir_.Path() + "/restart.txt");
  ASSERT_TRUE(WaitForLog("-979"));
  EXPECT_EQ(Get(Dest("data.bin")), "new contents");
  EXPECT_EQ(Get(Dest("data.1")), "(missing)");
  // The history goes once the -r run is done with it.
  for (int i = 0; i < 200 && !HistoryKeys().empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(HistoryKeys().empty());
  EXPECT_EQ(RegReadString(hkCurrentUser, kRunOnceKey, "OrlaneUnfinished", "(none)"), "(none)");
}

// 98: the replacement goes through WININIT.INI and the machine-wide RunOnce.
TEST_F(InstallRunTest, RestartAndResumeOn98) {
  SetWindows98();
  BuildArchive({{"data.bin", "new contents"}});
  ASSERT_TRUE(os::WinForceDirectories("C:\\Program Files\\MyApplication"));
  ASSERT_TRUE(os::WinWriteWholeFile(Dest("data.bin"), "old contents"));
  {
    THolder held(Dest("data.bin"));
    EXPECT_EQ(Run({"-sC:\\Setup"}, Script(true, "", "")), 0) << last_output_;
  }
  EXPECT_TRUE(HasLine(Log(), "-987")) << Log();
  EXPECT_NE(Get("C:\\WINDOWS\\WININIT.INI").find("[Rename]"), std::string::npos);
  EXPECT_NE(RegReadString(hkLocalMachine, kRunOnceKey, "OrlaneUnfinished", ""), "");
  EXPECT_EQ(RegReadString(hkCurrentUser, kRunOnceKey, "OrlaneUnfinished", "(none)"), "(none)");
  EXPECT_EQ(Restart(), 0) << ReadHost(dir_.Path() + "/restart.txt");
  ASSERT_TRUE(WaitForLog("-979")) << Log();
  EXPECT_EQ(Get(Dest("data.bin")), "new contents");
  for (int i = 0; i < 200 && !HistoryKeys().empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(HistoryKeys().empty());
}

// A restart declined by OnBeforeReboot ends the program without completion;
// a refused one runs OnFailedReboot, or shows the message without one.
TEST_F(InstallRunTest, DeclinedAndFailedRestarts) {
  BuildArchive({{"data.bin", "new contents"}});
  ASSERT_TRUE(os::WinForceDirectories("C:\\Program Files\\MyApplication"));
  auto runHeld = [&](const std::string& probe, bool record) {
    os::WinDeleteFile(Dest("data.1"));
    ASSERT_TRUE(os::WinWriteWholeFile(Dest("data.bin"), "old contents"));
    THolder held(Dest("data.bin"));
    std::filesystem::remove(log_);
    EXPECT_EQ(Run({"-sC:\\Setup"}, Script(true, "", probe), record), 0) << last_output_;
  };
  runHeld("    DeclineReboot = True\n", true);
  EXPECT_TRUE(HasLine(Log(), "declined restart")) << Log();
  EXPECT_FALSE(HasLine(Log(), "-995"));
  EXPECT_TRUE(os::WinReadRestartRequests().empty());
  EXPECT_EQ(HistoryKeys().size(), 1u);

  runHeld("    LogFailedReboot = True\n", false);
  EXPECT_TRUE(HasLine(Log(), "failed restart")) << Log();
  EXPECT_TRUE(os::WinReadRestartRequests().empty());
  EXPECT_EQ(Transcript().find("Could not reboot windows."), std::string::npos);

  runHeld("", false);
  EXPECT_NE(Transcript().find("Could not reboot windows. Please manually reboot windows."),
            std::string::npos)
      << Transcript();
  EXPECT_FALSE(HasLine(Log(), "-995"));
  // The same program found its one history key each time.
  EXPECT_EQ(HistoryKeys(), std::vector<std::string>{"Install0"});
}

// A user abort in the before-install wizard removes the history; another
// error is shown and leaves it.
TEST_F(InstallRunTest, UserAbortAgainstAnotherError) {
  BuildArchive({{"data.bin", "payload"}});
  EXPECT_EQ(Run({"-sC:\\Setup"}, Script(true, "", "    BeforeInstall = 1\n")), 0) << last_output_;
  std::string log = Log();
  EXPECT_TRUE(HasLine(log, "-994")) << log;
  EXPECT_TRUE(HasLine(log, "-978"));
  EXPECT_FALSE(HasLine(log, "-995"));
  EXPECT_EQ(Get(Dest("data.bin")), "(missing)");
  EXPECT_TRUE(HistoryKeys().empty());
  EXPECT_EQ(Transcript().find("Installation aborted"), std::string::npos);

  std::filesystem::remove(log_);
  EXPECT_EQ(Run({"-sC:\\Setup"}, Script(true, "", "    BeforeInstall = 2\n")), 0) << last_output_;
  log = Log();
  EXPECT_TRUE(HasLine(log, "-994")) << log;
  EXPECT_NE(Transcript().find("The probe failed the wizard"), std::string::npos) << Transcript();
  EXPECT_EQ(HistoryKeys(), std::vector<std::string>{"Install0"});
}

// A run killed in the middle of a copy leaves its history key; the same
// program finds it again, a rebuilt one takes the next name.
TEST_F(InstallRunTest, KilledRunFindsItsHistoryAgain) {
  BuildArchive({{"big.bin", Noise(3 << 20, 7)}});
  const std::vector<std::string> files = {"big.bin"};
  auto killMidCopy = [&](const std::string& program) {
    std::filesystem::remove(log_);
    TChild c = Start(program, {"-sC:\\Setup"}, Script(true, "", "    HoldMs = 60000\n", files));
    ASSERT_TRUE(WaitForLog("holding", 30)) << Log() << ReadHost(c.output) << Transcript();
    kill(c.pid, SIGKILL);
    EXPECT_EQ(c.Wait(), -1);
  };
  killMidCopy(TAV_INSTALL_HOST);
  ASSERT_EQ(HistoryKeys(), std::vector<std::string>{"Install0"});
  killMidCopy(TAV_INSTALL_HOST);
  EXPECT_EQ(HistoryKeys(), std::vector<std::string>{"Install0"});

  // The rebuilt program: another file, another date.
  const std::string rebuilt = dir_.Path() + "/rebuilt/tavinstallhost";
  std::filesystem::create_directories(dir_.Path() + "/rebuilt");
  std::filesystem::copy_file(TAV_INSTALL_HOST, rebuilt);
  std::string winRebuilt;
  ASSERT_TRUE(os::HostToWinPath(rebuilt, winRebuilt));
  ASSERT_TRUE(os::WinSetFileDate(winRebuilt, 45000.5));
  killMidCopy(rebuilt);
  EXPECT_EQ(HistoryKeys(), (std::vector<std::string>{"Install0", "Install1"}));
  EXPECT_EQ(RegReadString(hkLocalMachine, std::string(kHistoryRoot) + "\\Install1", "Path", ""),
            winRebuilt);
}

// -c cleans up the program's folder only on the machine's own drives: a
// program under Z: (the build tree) deletes nothing.
TEST_F(InstallRunTest, CleanUpUnderZDeletesNothing) {
  BuildArchive({{"data.bin", "payload"}});
  EXPECT_EQ(Run({"-sC:\\Setup", "-c"}, Script(true, "", "")), 0) << last_output_;
  EXPECT_TRUE(HasLine(Log(), "-995")) << Log();
  EXPECT_TRUE(std::filesystem::exists(TAV_INSTALL_HOST));
  EXPECT_NE(last_output_.find("is not on this machine's drives: nothing deleted"),
            std::string::npos)
      << last_output_;
}

}  // namespace
}  // namespace orln::test
