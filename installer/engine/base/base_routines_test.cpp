#include "installer/engine/base/base_routines.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "host/rtl/string_list.h"
#include "installer/engine/base/install_globals.h"
#include "installer/engine/base/orln_exceptions.h"
#include "installer/engine/base/program_launcher.h"
#include "installer/engine/script/install_information.h"
#include "os/testing/test_machine.h"
#include "os/win_file.h"

namespace orln {
namespace {

class BaseRoutinesTest : public os::test::MachineTest {};

TEST_F(BaseRoutinesTest, WindowsVersionOfEveryProfile) {
  struct Case {
    uint32_t platform, major, minor;
    TOSVerType want;
  };
  const Case cases[] = {
      {os::kPlatformWin32s, 3, 11, os31win32}, {os::kPlatformWindows, 4, 0, oswin98},
      {os::kPlatformWindows, 4, 10, oswin98},  {os::kPlatformWindows, 4, 90, oswinME},
      {os::kPlatformNT, 3, 51, oswinNT351},    {os::kPlatformNT, 3, 10, oswinNT351},
      {os::kPlatformNT, 4, 0, oswinNT},        {os::kPlatformNT, 5, 0, oswin2K},
      {os::kPlatformNT, 5, 1, oswinXP},        {os::kPlatformNT, 5, 2, oswinXP},
      {os::kPlatformNT, 6, 0, osUnidentified}, {7, 5, 1, osUnidentified},
  };
  for (const Case& c : cases) {
    machine_->Profile().Version.PlatformId = c.platform;
    machine_->Profile().Version.MajorVersion = c.major;
    machine_->Profile().Version.MinorVersion = c.minor;
    EXPECT_EQ(GetWindowsVersion(), c.want) << c.platform << " " << c.major << "." << c.minor;
  }
  EXPECT_TRUE(UsesPerUserRunOnce(oswinNT));
  EXPECT_FALSE(UsesPerUserRunOnce(oswinME));
}

TEST_F(BaseRoutinesTest, FoldersTemporaryFilesAndLibraryStrings) {
  EXPECT_EQ(GetSystemDirectory(), machine_->Profile().SystemDirectory);
  EXPECT_EQ(GetWindowsDirectory(), machine_->Profile().WindowsDirectory);
  const std::string kept = GetTempFileName(true);
  EXPECT_TRUE(os::WinFileExists(kept));
  EXPECT_NE(kept.find("\\bat"), std::string::npos);
  const std::string gone = GetTempFileName(false);
  EXPECT_FALSE(os::WinFileExists(gone));
  EXPECT_NE(gone, kept);
  machine_->Profile().SystemDirectory.clear();
  try {
    GetSystemDirectory();
    FAIL();
  } catch (const EAPIRoutines& e) {
    EXPECT_STREQ(e.what(), "Could not retrieve the system directroy from windows");
  }
  machine_->Profile().TempDirectory = "C:\\no such folder";
  EXPECT_THROW(GetTempFileName(true), EAPIRoutines);
  machine_->Profile().SetString("shell32.dll", 9248, "Choose a folder");
  EXPECT_EQ(LoadLibraryString("SHELL32.DLL", 9248), "Choose a folder");
  EXPECT_EQ(LoadLibraryString("shell32.dll", 1), "");
}

TEST(StringRoutinesTest, TokensBackslashesAndSafeNames) {
  EXPECT_EQ(Token("a;b;c", 2, ';'), "b");
  EXPECT_EQ(Token("a;b;c", 3, ';'), "c");
  EXPECT_EQ(Token("a;b;c", 4, ';'), "");
  EXPECT_EQ(Token("a;b;c", 0, ';'), "");
  EXPECT_EQ(Token("a;;c", 2, ';'), "");
  EXPECT_EQ(Token("a;b;", 3, ';'), "");
  EXPECT_EQ(TokenCount("a;b;c", ';'), 3);
  EXPECT_EQ(TokenCount("", ';'), 0);
  EXPECT_EQ(TokenCount(";", ';'), 2);
  host::TStringList list;
  list.Add("old");
  SplitString("x,,y", ',', list);
  EXPECT_EQ(list.Count(), 3);
  EXPECT_EQ(list.Strings(2), "y");
  SplitString("", ',', list);
  EXPECT_EQ(list.Count(), 0);

  EXPECT_EQ(IncludeTrailingBackslash("C:\\a"), "C:\\a\\");
  EXPECT_EQ(IncludeTrailingBackslash("C:\\a\\"), "C:\\a\\");
  EXPECT_EQ(IncludeTrailingBackslash(""), "");
  EXPECT_EQ(RemoveTrailingBackslash("C:\\"), "C:");
  EXPECT_EQ(RemoveTrailingBackslash("C:\\a"), "C:\\a");
  EXPECT_EQ(ExtractFileDrive("C:\\WINDOWS"), "C:");
  EXPECT_EQ(ExtractFileDrive("d:"), "d:");
  EXPECT_EQ(ExtractFileDrive("\\\\srv\\share\\dir"), "\\\\srv\\share");
  EXPECT_EQ(ExtractFileDrive("\\\\srv"), "\\\\srv");
  EXPECT_EQ(ExtractFileDrive("\\WINDOWS"), "");
  EXPECT_EQ(ExtractFileDrive(""), "");
  EXPECT_EQ(TextAfterColon("Path:C:\\x"), "C:\\x");
  EXPECT_EQ(TextAfterColon("none"), "");
  EXPECT_EQ(SafeFileName("a/b\"*:;<>?\\|c d"), "a-bc d");
}

TEST(MakeUniqueNameTest, InstallFilesAndOtherComponents) {
  EXPECT_EQ(InstallFileNameBase("C:\\dir\\my-file.v2.exe"), "IFmyfilev2_exe");
  EXPECT_EQ(InstallFileNameBase("README"), "IFREADME_");
  host::TComponent owner(nullptr);
  auto* a = new host::TComponent(&owner);
  auto* b = new host::TComponent(&owner);
  auto* c = new host::TComponent(&owner);
  EXPECT_EQ(MakeUniqueName(*a, InstallFileNameBase("set-up.exe")), "IFsetup_exe");
  EXPECT_EQ(MakeUniqueName(*b, InstallFileNameBase("setup.exe")), "IFsetup_exe1");
  EXPECT_EQ(MakeUniqueName(*c, "Launcher"), "Launcher");
  EXPECT_EQ(MakeUniqueName(*c, "Launcher"), "Launcher");  // its own name is no clash
  EXPECT_THROW(MakeUniqueName(*c, "not a name"), host::EComponentError);
}

TEST_F(BaseRoutinesTest, AttributesAndExistingFolders) {
  os::test::WriteWholeFile(OnC("f.txt"), "x");
  SetAttributes("C:\\f.txt", OfaBit(ofaReadOnly) | OfaBit(ofaHidden) | OfaBit(ofaCompressed));
  EXPECT_EQ(os::WinGetFileAttributes("C:\\f.txt"),
            os::FILE_ATTRIBUTE_READONLY | os::FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(ReadAttributes("C:\\f.txt"), OfaBit(ofaReadOnly));
  SetAttributes("C:\\f.txt", OfaBit(ofaNormal));
  EXPECT_EQ(ReadAttributes("C:\\f.txt"), 0u);
  EXPECT_EQ(WindowsAttributes(~0u), 0x11B7u);
  try {
    SetAttributes("C:\\missing.txt", OfaBit(ofaHidden));
    FAIL();
  } catch (const IEfcSetAttributes& e) {
    EXPECT_STREQ(e.what(),
                 "Cannot set file attributes. Error : The system cannot find the file specified.");
  }
  ASSERT_TRUE(os::WinForceDirectories("C:\\a\\b"));
  EXPECT_EQ(ExistingDirectory("C:\\a\\b"), "C:\\a\\b");
  EXPECT_EQ(ExistingDirectory("C:\\a\\b\\c\\d"), "C:\\a\\b");
  EXPECT_EQ(ExistingDirectory("C:\\f.txt"), "C:");
  EXPECT_EQ(ExistingDirectory("Q:\\x"), "");
  EXPECT_EQ(GetShortPath("C:\\a\\b"), "C:\\a\\b");
}

TEST(InstallRecordsTest, DefaultsAssignAndGlobalLists) {
  TInstallInformation info;
  EXPECT_EQ(info.CompanyName, "My Company");
  EXPECT_EQ(info.ProductName, "My product");
  EXPECT_EQ(info.Version, "1.0");
  TInstallInformation other;
  other.Version = "2.5";
  info.Assign(other);
  EXPECT_EQ(info.Version, "2.5");
  TRegistrationInformation reg;
  EXPECT_THROW(reg.Assign(info), host::EConvertError);
  TControlPanelExtensionInformation panel;
  EXPECT_EQ(panel.DisplayIcon, nullptr);
  EXPECT_EQ(panel.ReadMe, nullptr);

  TInstallGlobals& g = InstallGlobals();
  EXPECT_TRUE(g.DeferActiveX);
  EXPECT_TRUE(g.HistoryKeyPath.empty());
  EXPECT_EQ(g.FileIdUsed.size(), 2000u);
  try {
    g.Containers.Add(nullptr);
    FAIL();
  } catch (const IEContainerList& e) {
    EXPECT_STREQ(e.what(), "Cannot add a blank entry to the TInstallContainerList object");
  }
  EXPECT_THROW(g.InstallFiles.Add(nullptr), IECustomInstallFileList);
  EXPECT_EQ(g.InstallFiles.Count(), 0);
}

class ProgramLauncherTest : public os::test::MachineTest {};

TEST_F(ProgramLauncherTest, TheProgramGetsEveryParameter) {
  os::test::WriteWholeFile(OnC("run.sh"),
                           "#!/bin/sh\n{ printf '[%s]' \"$@\"; echo .; } > out.txt\n");
  ASSERT_EQ(chmod(OnC("run.sh").c_str(), 0755), 0);
  ASSERT_TRUE(os::WinCreateDirectory("C:\\Work Dir"));
  TProgramLauncher launcher(nullptr);
  EXPECT_EQ(launcher.Action(), "Open");
  EXPECT_EQ(launcher.Timeout(), -1);
  EXPECT_TRUE(launcher.Wait());
  launcher.SetFileName("C:\\run.sh");
  launcher.SetParameters("/first \"second one\"");
  launcher.SetStartDir("C:\\Work Dir");
  launcher.SetShowMode(smHide);
  launcher.Execute();
  std::string out;
  for (int i = 0; i < 500 && out.find(".\n") == std::string::npos; ++i) {
    usleep(10000);
    out = os::test::ReadWholeFile(OnC("Work Dir/out.txt"));
  }
  EXPECT_EQ(out, "[/first][second one].\n");
}

TEST_F(ProgramLauncherTest, FailuresCarryTheirCodeAndText) {
  os::test::WriteWholeFile(OnC("data.txt"), "x");
  struct Case {
    const char* file;
    uint32_t code;
    const char* text;
  };
  const Case cases[] = {
      {"C:\\missing.exe", 2, "File not found"},
      {"C:\\no folder\\missing.exe", 3, "Path not found"},
      {"C:\\data.txt", 5, "Sharing violation"},
  };
  for (const Case& c : cases) {
    TProgramLauncher launcher(nullptr);
    launcher.SetFileName(c.file);
    try {
      launcher.Execute();
      ADD_FAILURE() << c.file;
    } catch (const EProgramLauncherFailed& e) {
      EXPECT_EQ(e.ErrorCode(), c.code) << c.file;
      EXPECT_STREQ(e.what(), c.text);
    }
  }
  EXPECT_EQ(ProgramLauncherErrorText(0), "Out of memory");
  EXPECT_EQ(ProgramLauncherErrorText(31), "File type has no association");
  EXPECT_EQ(ProgramLauncherErrorText(193), "Unknown error");
}

}  // namespace
}  // namespace orln
