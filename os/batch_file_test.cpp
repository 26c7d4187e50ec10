#include "os/batch_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "os/testing/test_machine.h"
#include "os/win_file.h"
#include "os/win_path.h"

namespace os::test {
namespace {

class BatchFileTest : public MachineTest {
 protected:
  void Make(const std::string& relative, const std::string& text = "x") {
    std::filesystem::create_directories(std::filesystem::path(OnC(relative)).parent_path());
    WriteWholeFile(OnC(relative), text);
  }
  bool There(const std::string& relative) const {
    return std::filesystem::exists(std::filesystem::symlink_status(OnC(relative)));
  }
  bool Run(const std::string& text) {
    report_.clear();
    return RunBatchText(text, "C:\\t.bat", report_);
  }
  std::vector<std::string> report_;
};

TEST_F(BatchFileTest, ErasesAndMovesAsTheReplacementBatchWritesThem) {
  // What a replacement at the restart writes: the old file goes, the new
  // one takes its name; commands in any case, CR LF or LF.
  Make("Program Files/App/lib.dll", "old");
  Make("Program Files/App/lib.1", "new");
  EXPECT_FALSE(Run("erase C:\\PROGRA~1\\App\\lib.dll\r\n"
                   "move \"C:\\Program Files\\App\\lib.1\" \"C:\\Program Files\\App\\lib.dll\"\n"));
  // "PROGRA~1" is no name on this machine: reported, and the line after runs.
  ASSERT_EQ(report_.size(), 1u);
  EXPECT_EQ(report_[0].rfind("C:\\t.bat(1): ", 0), 0u) << report_[0];
  EXPECT_EQ(ReadWholeFile(OnC("Program Files/App/lib.dll")), "new");
  EXPECT_FALSE(There("Program Files/App/lib.1"));

  Make("a/new.txt", "new");
  Make("a/old.txt", "old");
  Make("b/keep.txt");
  EXPECT_TRUE(Run("ERASE C:\\a\\old.txt\nMOVE C:\\a\\new.txt C:\\a\\old.txt\nMove C:\\b\\keep.txt C:\\a\n"));
  EXPECT_EQ(ReadWholeFile(OnC("a/old.txt")), "new");
  EXPECT_FALSE(There("a/new.txt"));
  EXPECT_TRUE(There("a/keep.txt")) << "a move into a folder keeps the name";
}

TEST_F(BatchFileTest, DeltreeRemovesAFolderWithEverythingInIt) {
  // Blanks in the path are quoted; read-only and hidden files go too.
  Make("My Build/setup.exe");
  Make("My Build/sub/deep/file.txt");
  ASSERT_TRUE(WinSetFileAttributes("C:\\My Build\\sub\\deep\\file.txt",
                                   FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
  // A link inside goes as a link: what it points at stays.
  Make("elsewhere/kept.txt");
  std::filesystem::create_directory_symlink(OnC("elsewhere"), OnC("My Build/sub/link"));
  Make("My Buildings/stays.txt");
  EXPECT_TRUE(Run("@echo off\n\nDELTREE /Y \"C:\\My Build\"\n"));
  EXPECT_TRUE(report_.empty());
  EXPECT_FALSE(There("My Build"));
  EXPECT_TRUE(There("elsewhere/kept.txt"));
  EXPECT_TRUE(There("My Buildings/stays.txt"));
  // Unquoted, a path with a blank is two words: not a DELTREE line at all,
  // so nothing named "C:\My" is touched.
  Make("My");
  EXPECT_FALSE(Run("DELTREE /Y C:\\My Buildings\n"));
  EXPECT_TRUE(There("My"));
  EXPECT_TRUE(There("My Buildings/stays.txt"));
  ASSERT_EQ(report_.size(), 1u);
  EXPECT_NE(report_[0].find("skipped"), std::string::npos);
  // DELTREE of a file removes the file.
  EXPECT_TRUE(Run("deltree /y C:\\My\n"));
  EXPECT_FALSE(There("My"));
}

TEST_F(BatchFileTest, OtherLinesAndFailuresAreReportedAndTheRestRuns) {
  Make("one.txt");
  Make("two.txt");
  Make("in use.txt");
  ASSERT_TRUE(WinSetFileInUse("C:\\in use.txt", true));
  EXPECT_FALSE(Run("del C:\\one.txt\n"
                   "DELTREE C:\\one.txt\n"
                   "ERASE\n"
                   "ERASE C:\\missing.txt\n"
                   "ERASE \"C:\\in use.txt\"\n"
                   "ERASE C:\\bad|name\n"
                   "ERASE C:\\two.txt\n"));
  EXPECT_TRUE(There("one.txt"));
  EXPECT_TRUE(There("in use.txt"));
  EXPECT_FALSE(There("two.txt"));
  ASSERT_EQ(report_.size(), 6u);
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(report_[static_cast<size_t>(i)].rfind("C:\\t.bat(" + std::to_string(i + 1) + "): ", 0),
              0u)
        << report_[static_cast<size_t>(i)];
  }
}

TEST_F(BatchFileTest, DeletesNothingOutsideTheMachinesDrives) {
  // A program run from a build tree names it through Z:; a clean-up batch
  // must not remove it.
  TTempDir host;
  WriteWholeFile(host / "setup.exe", "program");
  std::string winDir;
  ASSERT_TRUE(HostToWinPath(host.Path(), winDir));
  ASSERT_EQ(winDir[0], 'Z');
  EXPECT_FALSE(WinIsOnMachineDrive(winDir));
  EXPECT_TRUE(WinIsOnMachineDrive("C:\\anything"));
  EXPECT_TRUE(WinIsOnMachineDrive("a:\\"));
  EXPECT_FALSE(WinIsOnMachineDrive("Q:\\x"));
  Make("x.txt");
  EXPECT_FALSE(Run("ERASE " + winDir + "\\setup.exe\nDELTREE /Y \"" + winDir + "\"\nMOVE C:\\x.txt " +
                   winDir + "\\x.txt\n"));
  EXPECT_EQ(ReadWholeFile(host / "setup.exe"), "program");
  EXPECT_TRUE(There("x.txt"));
  ASSERT_EQ(report_.size(), 3u);
  EXPECT_NE(report_[0].find("is not on a drive of this machine"), std::string::npos) << report_[0];
}

TEST_F(BatchFileTest, RunsABatchFileFromItsVirtualPath) {
  Make("gone.txt");
  Make("tmp/job.bat", "ERASE C:\\gone.txt\r\nERASE C:\\tmp\\job.bat\r\n");
  std::vector<std::string> report;
  EXPECT_TRUE(RunBatchFile("C:\\TMP\\JOB.BAT", report));
  EXPECT_FALSE(There("gone.txt"));
  EXPECT_FALSE(There("tmp/job.bat")) << "a batch may erase itself";
  EXPECT_FALSE(RunBatchFile("C:\\tmp\\job.bat", report));
  EXPECT_EQ(report.size(), 1u);
}

}  // namespace
}  // namespace os::test
