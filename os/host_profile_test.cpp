#include "os/host_profile.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "os/machine.h"
#include "os/testing/test_machine.h"
#include "os/win_error.h"
#include "os/win_file.h"

namespace os {
namespace {

using test::TTempDir;
using test::WriteWholeFile;

// Opens a machine whose profile.ini holds `text`.
std::unique_ptr<TMachine> MachineWithProfile(const TTempDir& dir, const std::string& text) {
  const std::string root = dir / "machine";
  std::filesystem::create_directories(root);
  WriteWholeFile(root + "/profile.ini", text);
  return TMachine::Open(root);
}

TEST(HostProfileTest, ProfilesOfEveryWindowsLoad) {
  const struct {
    const char* name;
    const char* text;
    TOSVersionInfo version;
    const char* windows;
    const char* system;
  } cases[] = {
      {"95",
       "[Version]\nPlatform=1\nMajor=4\nMinor=0\nBuild=950\nCSDVersion=\n"
       "[Folders]\nWindows=C:\\WINDOWS\nSystem=C:\\WINDOWS\\SYSTEM\nTemp=C:\\WINDOWS\\TEMP\n",
       {4, 0, 950, kPlatformWindows, ""},
       "C:\\WINDOWS",
       "C:\\WINDOWS\\SYSTEM"},
      {"98",
       "[Version]\nPlatform=1\nMajor=4\nMinor=10\nBuild=2222\nCSDVersion= A \n"
       "[Folders]\nWindows=C:\\WINDOWS\nSystem=C:\\WINDOWS\\SYSTEM\n",
       {4, 10, 2222, kPlatformWindows, "A"},
       "C:\\WINDOWS",
       "C:\\WINDOWS\\SYSTEM"},
      {"ME",
       "[Version]\nPlatform=1\nMajor=4\nMinor=90\nBuild=3000\n"
       "[Folders]\nWindows=C:\\WINDOWS\nSystem=C:\\WINDOWS\\SYSTEM\n",
       {4, 90, 3000, kPlatformWindows, "Service Pack 2"},
       "C:\\WINDOWS",
       "C:\\WINDOWS\\SYSTEM"},
      {"NT 4",
       "[Version]\nPlatform=2\nMajor=4\nMinor=0\nBuild=1381\nCSDVersion=Service Pack 6\n"
       "[Folders]\nWindows=C:\\WINNT\nSystem=C:\\WINNT\\system32\nTemp=C:\\TEMP\n",
       {4, 0, 1381, kPlatformNT, "Service Pack 6"},
       "C:\\WINNT",
       "C:\\WINNT\\system32"},
      {"2000",
       "[version]\r\nplatform=2\r\nmajor=5\r\nminor=0\r\nbuild=2195\r\n"
       "[FOLDERS]\r\nWINDOWS=C:\\WINNT\\\r\nSystem=C:\\WINNT\\system32\r\n",
       {5, 0, 2195, kPlatformNT, "Service Pack 2"},
       "C:\\WINNT",
       "C:\\WINNT\\system32"},
      {"XP",
       "; nothing but the defaults\n",
       {5, 1, 2600, kPlatformNT, "Service Pack 2"},
       "C:\\WINDOWS",
       "C:\\WINDOWS\\system32"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TTempDir dir;
    auto machine = MachineWithProfile(dir, c.text);
    ASSERT_NE(machine, nullptr);
    TScopedMachine scoped(*machine);
    const TOSVersionInfo v = GetVersionEx();
    EXPECT_EQ(v.PlatformId, c.version.PlatformId);
    EXPECT_EQ(v.MajorVersion, c.version.MajorVersion);
    EXPECT_EQ(v.MinorVersion, c.version.MinorVersion);
    EXPECT_EQ(v.BuildNumber, c.version.BuildNumber);
    EXPECT_EQ(v.CSDVersion, c.version.CSDVersion);
    EXPECT_EQ(GetWindowsDirectory(), c.windows);
    EXPECT_EQ(GetSystemDirectory(), c.system);
    // The machine has the folders its profile names.
    EXPECT_TRUE(WinDirectoryExists(GetSystemDirectory()));
    EXPECT_TRUE(WinDirectoryExists(GetTempPath()));
    EXPECT_EQ(GetTempPath().back(), '\\');
  }
}

TEST(HostProfileTest, ADamagedProfileNamesItsLine) {
  const struct {
    const char* text;
    int line;
  } cases[] = {
      {"[Version]\nMajor=five\n", 2},
      {"[Version]\nMajor=5\nMinr=1\n", 3},
      {"[Versions]\nMajor=5\n", 2},
      {"[Version]\nPlatform=3\n", 2},
      {"[Folders]\nWindows=WINDOWS\n", 2},
      {"[Screen]\nWidth=0\n", 2},
      {"[SpecialFolders]\nAppData=C:\\x\n", 2},
      {"[Strings]\nshell32.dll=no id\n", 2},
      {"[Locale]\nUserLangID=0x10000\n", 2},
      {"[Version\n", 1},
      {"\n\nMajor 5\n", 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    TTempDir dir;
    try {
      MachineWithProfile(dir, c.text);
      ADD_FAILURE() << "a damaged profile loaded";
    } catch (const EDamagedFile& e) {
      EXPECT_EQ(e.Line(), c.line) << e.what();
      EXPECT_NE(std::string(e.what()).find("profile.ini, line"), std::string::npos) << e.what();
    }
  }
}

TEST(HostProfileTest, SettersSaveAndLoadBack) {
  TTempDir dir;
  auto machine = TMachine::Open(dir / "m");
  ASSERT_NE(machine, nullptr);
  THostProfile& p = machine->Profile();
  p.Version = {4, 10, 1998, kPlatformWindows, " A "};
  p.WindowsDirectory = "C:\\WIN98";
  p.SystemDirectory = "C:\\WIN98\\SYSTEM";
  p.SpecialFolders.erase(CSIDL_RECENT);
  p.SpecialFolders[CSIDL_ALTSTARTUP] = "C:\\WIN98\\Alt Startup";
  p.UserLangID = 0x0813;
  p.ScreenWidth = 800;
  p.ScreenHeight = 600;
  p.CaptionHeight = 18;
  p.SetString("SHELL32.DLL", 9248, "Pick a folder");
  p.SetString("comdlg32.dll", 703, "");
  ASSERT_TRUE(machine->SaveProfile());

  auto again = TMachine::Open(dir / "m");
  ASSERT_NE(again, nullptr);
  TScopedMachine scoped(*again);
  EXPECT_EQ(GetVersionEx().BuildNumber, 1998u);
  EXPECT_EQ(GetVersionEx().CSDVersion, "A");  // blanks around a value do not survive a file
  EXPECT_EQ(GetWindowsDirectory(), "C:\\WIN98");
  EXPECT_EQ(SHGetSpecialFolderPath(CSIDL_RECENT), "");
  EXPECT_EQ(SHGetSpecialFolderPath(CSIDL_ALTSTARTUP), "C:\\WIN98\\Alt Startup");
  EXPECT_EQ(SHGetSpecialFolderPath(CSIDL_APPDATA),
            "C:\\Documents and Settings\\User\\Application Data");
  EXPECT_EQ(SHGetSpecialFolderPath(CSIDL_PRINTERS), "");  // a virtual folder has no path
  EXPECT_EQ(GetUserDefaultLangID(), 0x0813);
  EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), 800);
  EXPECT_EQ(GetSystemMetrics(SM_CYSCREEN), 600);
  EXPECT_EQ(GetSystemMetrics(SM_CYCAPTION), 18);
  EXPECT_EQ(GetSystemMetrics(999), 0);
  EXPECT_EQ(LoadString("shell32.dll", 9248), "Pick a folder");
  EXPECT_EQ(LoadString("Shell32.dll", 8977), "Folder:");
  EXPECT_EQ(LoadString("comdlg32.dll", 703), "");
  EXPECT_EQ(LoadString("user32.dll", 1), "");
}

TEST(HostProfileTest, LanguageComesFromTheLocaleName) {
  const struct {
    const char* name;
    uint16_t id;
  } cases[] = {
      {"", 0x0409},
      {"C", 0x0409},
      {"POSIX", 0x0409},
      {"C.UTF-8", 0x0409},
      {"en_US.UTF-8", 0x0409},
      {"en_GB", 0x0809},
      {"de_DE.UTF-8", 0x0407},
      {"de_AT@euro", 0x0c07},
      {"fr_CA.ISO-8859-1", 0x0c0c},
      {"zh_TW.Big5", 0x0404},
      {"zh_CN.GB2312", 0x0804},
      {"zh", 0x0804},
      {"nb_NO.UTF-8", 0x0414},
      {"nn_NO", 0x0814},
      {"no", 0x0414},
      {"pt_BR", 0x0416},
      {"pt_PT", 0x0816},
      {"ja_JP.eucJP", 0x0411},
      {"he_IL", 0x040d},
      {"vi_VN", 0x042a},
      {"ru_RU.KOI8-R", 0x0419},
      {"xx_YY", 0x0409},
      {"DE_de", 0x0407},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(LangIDFromLocaleName(c.name), c.id) << c.name;
  }
  // Without a language in the profile file, LANG decides.
  const char* saved = getenv("LANG");
  const std::string keep = saved != nullptr ? saved : "";
  setenv("LANG", "sv_SE.UTF-8", 1);
  EXPECT_EQ(THostProfile::FromText("[Screen]\nWidth=640\n", "p").UserLangID, 0x041d);
  EXPECT_EQ(THostProfile::FromText("[Locale]\nUserLangID=0x0405\n", "p").UserLangID, 0x0405);
  if (saved != nullptr) {
    setenv("LANG", keep.c_str(), 1);
  } else {
    unsetenv("LANG");
  }
}

}  // namespace
}  // namespace os
