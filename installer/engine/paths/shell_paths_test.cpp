#include "installer/engine/paths/shell_paths.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "installer/engine/paths/office_paths.h"
#include "installer/engine/testing/path_targets.h"
#include "os/registry_store.h"
#include "os/testing/test_machine.h"
#include "os/win_file.h"

namespace orln {
namespace {

using os::TRegRoot;

struct TVersionCase {
  const char* name;
  uint32_t platform, major, minor;
};
const TVersionCase kNT4{"NT 4", os::kPlatformNT, 4, 0};
const TVersionCase k2000{"2000", os::kPlatformNT, 5, 0};
const TVersionCase kXP{"XP", os::kPlatformNT, 5, 1};
const TVersionCase k98{"98", os::kPlatformWindows, 4, 10};
const TVersionCase kME{"ME", os::kPlatformWindows, 4, 90};
const TVersionCase kNT351{"NT 3.51", os::kPlatformNT, 3, 51};

template <class T>
std::string PathOf() {
  return StandardPathSpecifiers().Find<T>()->GetPath(nullptr);
}

class SpecialFolderTest : public os::test::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    form_ = std::make_unique<test::TTargetForm>(nullptr);
    StandardPathSpecifiers().EnsureStandardSpecifiers(form_.get(), true);
    // Every folder the specifiers ask for, at a path that names its CSIDL.
    auto& folders = machine_->Profile().SpecialFolders;
    folders.clear();
    for (int csidl : {os::CSIDL_RECENT, os::CSIDL_PRINTERS, os::CSIDL_COMMON_DESKTOPDIRECTORY,
                      os::CSIDL_DESKTOPDIRECTORY, os::CSIDL_FAVORITES, os::CSIDL_CONTROLS,
                      os::CSIDL_BITBUCKET, os::CSIDL_COOKIES, os::CSIDL_SENDTO, os::CSIDL_STARTUP,
                      os::CSIDL_COMMON_ALTSTARTUP, os::CSIDL_ALTSTARTUP, os::CSIDL_COMMON_STARTMENU,
                      os::CSIDL_STARTMENU, os::CSIDL_COMMON_PROGRAMS, os::CSIDL_PROGRAMS,
                      os::CSIDL_COMMON_STARTUP, os::CSIDL_COMMON_FAVORITES, os::CSIDL_APPDATA})
      folders[csidl] = Folder(csidl);
  }
  void TearDown() override {
    form_.reset();
    MachineTest::TearDown();
  }
  static std::string Folder(int csidl) { return "C:\\F" + std::to_string(csidl); }
  void Use(const TVersionCase& v) {
    machine_->Profile().Version.PlatformId = v.platform;
    machine_->Profile().Version.MajorVersion = v.major;
    machine_->Profile().Version.MinorVersion = v.minor;
  }
  void SetString(TRegRoot root, const std::string& key, const std::string& name,
                 const std::string& value) {
    ASSERT_TRUE(machine_->Registry().CreateKey(root, key));
    ASSERT_TRUE(machine_->Registry().WriteValue(root, key, name, os::REG_SZ, value));
  }

  std::unique_ptr<test::TTargetForm> form_;
};

// Each special-folder class on the NT and 9x families and outside both.
TEST_F(SpecialFolderTest, FoldersOnEachFamily) {
  const std::string U = kUndefinedFolder;
  const std::string none;
  struct Row {
    std::string (*path)();
    std::string nt, win9x;
  };
  auto F = [](int csidl) { return Folder(csidl); };
  const Row rows[] = {
      {&PathOf<TpsRecent>, F(os::CSIDL_RECENT), U},
      {&PathOf<TpsPrinters>, F(os::CSIDL_PRINTERS), U},
      {&PathOf<TpsCommonDesktopDirectory>, F(os::CSIDL_COMMON_DESKTOPDIRECTORY),
       F(os::CSIDL_DESKTOPDIRECTORY)},
      {&PathOf<TpsFavorites>, F(os::CSIDL_FAVORITES), U},
      {&PathOf<TpsControlPanel>, F(os::CSIDL_CONTROLS), none},
      {&PathOf<TpsBitBucket>, F(os::CSIDL_BITBUCKET), none},
      {&PathOf<TpsCookies>, F(os::CSIDL_COOKIES), none},
      {&PathOf<TpsSendTo>, F(os::CSIDL_SENDTO), none},
      {&PathOf<TpsStartup>, F(os::CSIDL_STARTUP), none},
      {&PathOf<TpsCommonAltStartup>, F(os::CSIDL_COMMON_ALTSTARTUP), F(os::CSIDL_ALTSTARTUP)},
      {&PathOf<TpsCommonStartMenu>, F(os::CSIDL_COMMON_STARTMENU), F(os::CSIDL_STARTMENU)},
      {&PathOf<TpsCommonPrograms>, F(os::CSIDL_COMMON_PROGRAMS), F(os::CSIDL_PROGRAMS)},
      {&PathOf<TpsCommonFavorites>, F(os::CSIDL_COMMON_FAVORITES), F(os::CSIDL_FAVORITES)},
  };
  for (const TVersionCase& v : {kNT4, k2000, kXP, k98, kME, kNT351}) {
    SCOPED_TRACE(v.name);
    Use(v);
    const bool nt = v.platform == os::kPlatformNT && v.major >= 4;
    const bool win9x = v.platform == os::kPlatformWindows;
    for (const Row& r : rows) EXPECT_EQ(r.path(), nt ? r.nt : win9x ? r.win9x : none);
    // The common startup folder: NT 4 and 2000 only; XP's is left empty.
    const std::string commonStartup = PathOf<TpsCommonStartup>();
    if (win9x)
      EXPECT_EQ(commonStartup, F(os::CSIDL_STARTUP));
    else if (nt && v.minor == 0)
      EXPECT_EQ(commonStartup, F(os::CSIDL_COMMON_STARTUP));
    else
      EXPECT_EQ(commonStartup, none);
    EXPECT_EQ(PathOf<TpsQuickLaunchMenu>(),
              F(os::CSIDL_APPDATA) + "\\Microsoft\\Internet Explorer\\Quick Launch");
  }
}

TEST_F(SpecialFolderTest, MissingFoldersOnTheMachine) {
  // A virtual folder (the printers) or a folder the machine lacks gives an
  // empty path; the Quick Launch folder says it is undefined.
  machine_->Profile().SpecialFolders.clear();
  for (const TVersionCase& v : {kXP, k98}) {
    Use(v);
    EXPECT_EQ(PathOf<TpsCommonPrograms>(), "");
    EXPECT_EQ(PathOf<TpsQuickLaunchMenu>(), "undefined");
  }
  Use(kXP);
  EXPECT_EQ(PathOf<TpsPrinters>(), "");
  Use(k98);
  EXPECT_EQ(PathOf<TpsRecent>(), "undefined");
}

TEST_F(SpecialFolderTest, Descriptions) {
  auto* recent = StandardPathSpecifiers().Find<TpsRecent>();
  EXPECT_EQ(recent->GetDescription(), "Recently Used Documents");
  EXPECT_EQ(recent->GetShortName(), "Recently Used");
  auto* alt = StandardPathSpecifiers().Find<TpsCommonAltStartup>();
  EXPECT_EQ(alt->GetDescription(), "Alternate Startup folder for (All Users profile)");
  EXPECT_EQ(alt->GetShortName(), "Common Alternate Startup folder");
  auto* quick = StandardPathSpecifiers().Find<TpsQuickLaunchMenu>();
  EXPECT_EQ(quick->GetDescriptionFor(nullptr), "Path of the Quick Launch Toolbar Menu");
  EXPECT_EQ(quick->StandardName(), "psQuickLaunchMenu");
  EXPECT_EQ(quick->Name(), "psQuickLaunchMenu");
}

// ---- Office ----

const char kWordServer[] = "C:\\Office\\WINWORD.EXE";

class OfficeFolderTest : public SpecialFolderTest {
 protected:
  void SetUp() override {
    SpecialFolderTest::SetUp();
    ASSERT_TRUE(os::WinForceDirectories("C:\\Office"));
    ASSERT_TRUE(os::WinWriteWholeFile(kWordServer, "MZ"));
  }
  // Registers "Word.Document" naming `current`, whose edit server is `server`.
  void RegisterWord(const std::string& current, const std::string& server) {
    SetString(TRegRoot::ClassesRoot, "Word.Document\\CurVer", "", current);
    if (!current.empty())
      SetString(TRegRoot::ClassesRoot, current + "\\protocol\\StdFileEditing\\server", "", server);
  }
  // Every Office setting of version `v` under `base`, each naming its value,
  // the base (by `tag`) and the version.
  void WriteSettings(const std::string& base, const std::string& tag, const std::string& v) {
    const std::string root = base + v + ".0\\";
    const std::string id = tag + v;
    SetString(TRegRoot::CurrentUser, root + "Common\\FileNew\\LocalTemplates", "",
              "U:\\Local" + id);
    SetString(TRegRoot::CurrentUser, root + "Common\\FileNew\\SharedTemplates", "",
              "S:\\Shared" + id);
    SetString(TRegRoot::CurrentUser, root + "Word\\Options", "PICTURE-PATH", "P:\\Clip" + id);
    SetString(TRegRoot::CurrentUser, root + "Word\\Options", "STARTUP-PATH", "P:\\Start" + id);
    SetString(TRegRoot::CurrentUser, root + "Word\\Options", "TOOLS-PATH", "P:\\Tools" + id);
  }
  struct Paths {
    std::string user, workgroup, clipart, startup, tools;
  };
  Paths Read() {
    return {PathOf<TpsOfficeUserTemplates>(), PathOf<TpsOfficeWorkgroupTemplates>(),
            PathOf<TpsOfficeClipartDirectory>(), PathOf<TpsOfficeStartupDirectory>(),
            PathOf<TpsOfficeToolsDirectory>()};
  }
};

TEST_F(OfficeFolderTest, SettingsOfEachWordVersion) {
  const char kOffice[] = "Software\\Microsoft\\Office\\";
  const char kPolicies[] = "Software\\Policies\\Microsoft\\Office\\";
  for (const char* v : {"7", "8", "9", "10", "19", "20", "6"}) {
    WriteSettings(kOffice, "O", v);
    WriteSettings(kPolicies, "P", v);
  }
  const Paths defaults{"C:\\Program Files\\Microsoft Office\\Templates",
                       "C:\\Program Files\\Microsoft Office\\Templates",
                       "C:\\Program Files\\Microsoft Office\\Clipart",
                       "C:\\Program Files\\Microsoft Office\\Office\\Startup",
                       "C:\\Program Files\\Microsoft Office\\Office"};
  auto settings = [](const std::string& v) {
    return Paths{"U:\\Local" + v, "S:\\Shared" + v, "P:\\Clip" + v, "P:\\Start" + v,
                 "P:\\Tools" + v};
  };
  struct Case {
    const char* current;
    const char* server;
    int version;
    Paths want;
  } cases[] = {
      // 7 and 8 keep their settings under the user's Office key ...
      {"Word.Document.7", kWordServer, 7, settings("O7")},
      {"Word.Document.8", kWordServer, 8, settings("O8")},
      // ... 9 to 19 under the policies.
      {"Word.Document.9", kWordServer, 9, settings("P9")},
      {"Word.Document.19", kWordServer, 19, settings("P19")},
      // Versions without settings, and Words that are not really there.
      {"Word.Document.20", kWordServer, 20, defaults},
      {"Word.Document.6", kWordServer, 6, defaults},
      {"Word.Document.8", "C:\\Office\\missing.exe", -1, defaults},
      {"Word.Document.8", "", -1, defaults},
      {"Word.Document", kWordServer, -1, defaults},
      {"Word.Document.8.1", kWordServer, -1, defaults},
      {"Word.Document.x", kWordServer, -1, defaults},
      {"", kWordServer, -1, defaults},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.current) + " " + c.server);
    RegisterWord(c.current, c.server);
    EXPECT_EQ(GetWordVersion(), c.version);
    const Paths got = Read();
    EXPECT_EQ(got.user, c.want.user);
    EXPECT_EQ(got.workgroup, c.want.workgroup);
    EXPECT_EQ(got.clipart, c.want.clipart);
    EXPECT_EQ(got.startup, c.want.startup);
    EXPECT_EQ(got.tools, c.want.tools);
  }
  EXPECT_EQ(OfficeSettingsKey(8), "\\Software\\Microsoft\\Office\\8.0\\");
  EXPECT_EQ(OfficeSettingsKey(10), "\\Software\\Policies\\Microsoft\\Office\\10.0\\");
  EXPECT_EQ(OfficeSettingsKey(-1), "");
}

TEST_F(OfficeFolderTest, PolicyBaseIsReadForNineAndUp) {
  // Settings only under the user's key: Office 2000 and later do not see them.
  WriteSettings("Software\\Microsoft\\Office\\", "O", "9");
  RegisterWord("Word.Document.9", kWordServer);
  EXPECT_EQ(PathOf<TpsOfficeToolsDirectory>(), "C:\\Program Files\\Microsoft Office\\Office");
}

TEST_F(OfficeFolderTest, WorkgroupTemplatesFallBackToTheUserTemplates) {
  RegisterWord("Word.Document.8", kWordServer);
  const std::string root = "Software\\Microsoft\\Office\\8.0\\Common\\FileNew\\";
  SetString(TRegRoot::CurrentUser, root + "LocalTemplates", "", "U:\\Mine");
  EXPECT_EQ(PathOf<TpsOfficeWorkgroupTemplates>(), "U:\\Mine");
  // With no user templates either, both give the default under program files,
  // which the machine's registry may move.
  ASSERT_TRUE(machine_->Registry().DeleteValue(TRegRoot::CurrentUser, root + "LocalTemplates", ""));
  SetString(TRegRoot::LocalMachine, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion",
            "ProgramFilesDir", "D:\\Apps");
  EXPECT_EQ(PathOf<TpsOfficeWorkgroupTemplates>(), "D:\\Apps\\Microsoft Office\\Templates");
}

TEST_F(OfficeFolderTest, FavoritesComeFromTheShellFolders) {
  EXPECT_EQ(PathOf<TpsOfficeFavoritesDirectory>(), "C:\\Program Files\\Favorites");
  SetString(TRegRoot::CurrentUser,
            "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders", "Favorites",
            "C:\\Users\\Me\\Favorites\\");
  EXPECT_EQ(PathOf<TpsOfficeFavoritesDirectory>(), "C:\\Users\\Me\\Favorites");
  auto* fav = StandardPathSpecifiers().Find<TpsOfficeFavoritesDirectory>();
  EXPECT_EQ(fav->GetDescription(), "Path to the MS Office Favorites directory");
  EXPECT_EQ(fav->GetShortName(), "Office Favorites dir");
}

}  // namespace
}  // namespace orln
