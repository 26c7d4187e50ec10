#include "installer/frontend/package_installer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "host/rtl/sys_utils.h"
#include "os/testing/test_machine.h"
#include "os/win_file.h"

namespace orln {
namespace {

constexpr char kD7Root[] = "C:\\Program Files\\Borland\\Delphi7";
constexpr char kD7Help[] = "C:\\Program Files\\Borland\\Delphi7\\Help\\delphi7.ohl";
constexpr char kD7Gid[] = "C:\\Program Files\\Borland\\Delphi7\\Help\\delphi7.gid";
constexpr char kD7User[] = "\\software\\Borland\\Delphi\\7.0";
constexpr char kNewDir[] = "C:\\Program Files\\Tavrin\\Delphi7";
constexpr char kNewPackage[] = "C:\\Program Files\\Tavrin\\Delphi7\\dcltav14d7.bpl";

class PackageInstallerTest : public os::test::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    InstallLog().Clear();
    SetInstallLogDirectory("");
  }
  void TearDown() override {
    InstallLog().Clear();
    SetInstallLogDirectory("");
    MachineTest::TearDown();
  }

  // An IDE as its own installation leaves it: the machine's key with the
  // root folder, the user's palette, package lists and library path.
  static void AddIDE(const std::string& key, const std::string& root) {
    RegWriteString(hkLocalMachine, key, "RootDir", root);
    RegWriteString(hkCurrentUser, key + "\\Palette", "Standard", "TButton;TLabel");
    RegWriteString(hkCurrentUser, key + "\\Known Packages", "$(DELPHI)\\Bin\\dclstd70.bpl",
                   "Standard Components");
    RegWriteString(hkCurrentUser, key + "\\Disabled Packages", "$(DELPHI)\\Bin\\dclado70.bpl",
                   "ADO Components");
    RegWriteString(hkCurrentUser, key + "\\Library", "Search Path", "$(DELPHI)\\Lib");
  }
  static std::string UserValue(const std::string& key, const std::string& name) {
    return RegReadString(hkCurrentUser, key, name, "(missing)");
  }
  static bool LogHas(const std::string& line) { return InstallLog().IndexOf(line) >= 0; }
  static void Write(const std::string& path, const std::string& text) {
    ASSERT_TRUE(os::WinForceDirectories(host::ExtractFilePath(path)));
    ASSERT_TRUE(os::WinWriteWholeFile(path, text)) << path;
  }
  static std::string Read(const std::string& path) {
    std::string text;
    return os::WinReadWholeFile(path, text) ? text : "(missing)";
  }
  // A comma text as a list; valid until the next call.
  host::TStringList& List(const std::string& commaText) {
    list_.SetCommaText(commaText);
    return list_;
  }
  host::TStringList list_;
};

TEST_F(PackageInstallerTest, FindsProductsByNameInItsOwnOrder) {
  {
    TPackageInstaller none;
    for (int i = 0; i < kIDEProductCount; ++i)
      EXPECT_FALSE(none.GetProduct(static_cast<TIDEProduct>(i)).Present);
    EXPECT_EQ(InstallLog().Text(),
              "Starting find products\r\nLooking for: \\software\\Borland\\C++Builder\\6.0\r\n"
              "Finished finding products\r\n");
  }
  InstallLog().Clear();
  AddIDE("\\software\\Borland\\Delphi\\3.0", "C:\\D3");
  AddIDE(kD7User, kD7Root);
  AddIDE("\\software\\Borland\\C++Builder\\6.0", "C:\\CBuilder6");
  TPackageInstaller pi;
  EXPECT_EQ(InstallLog().Text(),
            "Starting find products\r\nFound Delphi 7 installation\r\n"
            "Found Delphi 3 installation\r\nLooking for: \\software\\Borland\\C++Builder\\6.0\r\n"
            "Found Builder 6 installation\r\nFinished finding products\r\n");
  EXPECT_TRUE(pi.GetProduct(ipDelphi7).Present);
  EXPECT_EQ(pi.GetProduct(ipDelphi7).HelpConfigFile, kD7Help);
  EXPECT_EQ(pi.GetProduct(ipDelphi3).HelpConfigFile, "C:\\D3\\Help\\Delphi3.cfg");
  EXPECT_EQ(pi.GetProduct(ipBuilder6).HelpConfigFile, "C:\\CBuilder6\\Help\\bcb6.ohl");
  EXPECT_FALSE(pi.GetProduct(ipDelphi5).Present);
  EXPECT_EQ(NewPackageFileName(ipDelphi3), "dcltav14d3.dpl");
  EXPECT_EQ(NewPackageFileName(ipBuilder6), "dcltav14b6.bpl");
  EXPECT_EQ(NewPackageFileName(ipDelphi7), "dcltav14d7.bpl");
}

TEST_F(PackageInstallerTest, ADamagedRegistryIsLoggedSavedAndRaised) {
  ASSERT_TRUE(os::WinWriteWholeFile("C:\\x", ""));  // the machine's folders exist
  {
    std::FILE* f = std::fopen(machine_->RegistryPath().c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\software]\r\nnonsense\r\n", f);
    std::fclose(f);
  }
  EXPECT_ANY_THROW(TPackageInstaller{});
  ASSERT_EQ(InstallLog().Count(), 2);
  EXPECT_EQ(InstallLog().Strings(1).rfind("Find products. Exception ", 0), 0u);
  EXPECT_EQ(Read(InstallLogPath()), InstallLog().Text());
}

TEST_F(PackageInstallerTest, PaletteGainsOnlyTheComponentsItLacks) {
  AddIDE(kD7User, kD7Root);
  TPackageInstaller pi;
  const std::string palette = "\\SOFTWARE\\Borland\\Delphi\\7.0\\Palette";
  pi.InstallPalette(ipDelphi7, "Data Access", List("TTavDatabase,TTavTable, TTavQuery"));
  EXPECT_EQ(UserValue(palette, "Data Access"), "TTavDatabase;TTavTable;TTavQuery");
  EXPECT_TRUE(LogHas(".Found Reg Key"));
  EXPECT_TRUE(LogHas("Updating Registry"));

  // A name that is only part of another, or present in another case, is
  // told apart.
  RegWriteString(hkCurrentUser, palette, "Data Access", "TDataSource;TTavTableX;ttavquery");
  pi.InstallPalette(ipDelphi7, "Data Access", List("TTavDatabase,TTavTable,TTavQuery"));
  EXPECT_EQ(UserValue(palette, "Data Access"),
            "TDataSource;TTavTableX;ttavquery;TTavDatabase;TTavTable;");
  EXPECT_TRUE(LogHas("Install into palette. Product - Delphi 7. Existing components: "
                     "TDataSource;TTavTableX;ttavquery"));

  // Nothing missing: the value is not written (a read-only key would fail).
  InstallLog().Clear();
  pi.InstallPalette(ipDelphi7, "Data Access", List("TTavTable"));
  EXPECT_EQ(InstallLog().Count(), 3);
  EXPECT_EQ(InstallLog().Strings(2), "Completed");

  // An IDE without a palette key is left alone.
  host::TStringList pieces;
  TPackageInstaller::SplitText(" a ; b;", ';', pieces);
  EXPECT_EQ(TPackageInstaller::JoinList(pieces, '|'), "a|b|");
  pi.InstallPalette(ipDelphi5, "Data Access", List("TTavTable"));
  EXPECT_EQ(UserValue("\\SOFTWARE\\Borland\\Delphi\\5.0\\Palette", "Data Access"), "(missing)");
}

TEST_F(PackageInstallerTest, PackageReplacesEarlierOnesInListsAndSearchPath) {
  AddIDE(kD7User, kD7Root);
  const std::string known = std::string(kD7User) + "\\Known Packages";
  const std::string disabled = std::string(kD7User) + "\\Disabled Packages";
  const std::string library = std::string(kD7User) + "\\Library";
  RegWriteString(hkCurrentUser, known, "C:\\Old\\Tavrin\\DCLTAV13D7.bpl", "Tavrin 1.3");
  RegWriteString(hkCurrentUser, disabled, "C:\\Old\\Tavrin\\dcltav12d7.bpl", "Tavrin 1.2");
  RegWriteString(hkCurrentUser, disabled, kNewPackage, "Tavrin");
  // The folder of the earlier install, a folder that only looks alike, the
  // new folder (already holding the package), in another case.
  Write("C:\\Old\\Tavrin\\dcltav13d7.bpl", "old");
  Write("C:\\Other\\dcltav13d7.dcu", "unit");
  Write(kNewPackage, "new");
  RegWriteString(hkCurrentUser, library, "Search Path",
                 "$(DELPHI)\\Lib;C:\\OLD\\tavrin;C:\\Other; c:\\program files\\tavrin\\delphi7");

  TPackageInstaller pi;
  host::TStringList names;
  names.SetCommaText(std::string(IDEProductInfo(ipDelphi7).OldPackages) + "," +
                     NewPackageFileName(ipDelphi7));
  pi.InstallPackage(ipDelphi7, kNewPackage, names, "Tavrin Database Engine");

  EXPECT_EQ(UserValue(known, kNewPackage), "Tavrin Database Engine");
  EXPECT_EQ(UserValue(known, "C:\\Old\\Tavrin\\DCLTAV13D7.bpl"), "(missing)");
  EXPECT_EQ(UserValue(known, "$(DELPHI)\\Bin\\dclstd70.bpl"), "Standard Components");
  EXPECT_EQ(UserValue(disabled, "C:\\Old\\Tavrin\\dcltav12d7.bpl"), "(missing)");
  EXPECT_EQ(UserValue(disabled, kNewPackage), "(missing)");
  EXPECT_EQ(UserValue(disabled, "$(DELPHI)\\Bin\\dclado70.bpl"), "ADO Components");
  EXPECT_EQ(UserValue(library, "Search Path"),
            std::string("$(DELPHI)\\Lib;C:\\Other;") + kNewDir);
  EXPECT_TRUE(LogHas("Deleting old package: C:\\Old\\Tavrin\\DCLTAV13D7.bpl"));
  EXPECT_TRUE(LogHas(std::string("Adding package: ") + kNewPackage));
  EXPECT_TRUE(LogHas(std::string("Install into VCL. Updating search path to: $(DELPHI)\\Lib;C:\\Other;") +
                     kNewDir));
  EXPECT_EQ(InstallLog().Strings(InstallLog().Count() - 1),
            "Install into VCL. Product - Delphi 7. Completed");

  // Again: the package is deleted and added back, the path stays.
  InstallLog().Clear();
  pi.InstallPackage(ipDelphi7, kNewPackage, names, "Tavrin Database Engine");
  EXPECT_EQ(UserValue(known, kNewPackage), "Tavrin Database Engine");
  EXPECT_TRUE(LogHas("Install into VCL. Search path not required to update"));
}

TEST_F(PackageInstallerTest, PackageStopsWithoutKnownPackagesAndDelphi3UsesItsOwnValue) {
  RegWriteString(hkLocalMachine, "\\software\\Borland\\Delphi\\3.0", "RootDir", "C:\\D3");
  const std::string library = "\\software\\Borland\\Delphi\\3.0\\Library";
  RegWriteString(hkCurrentUser, library, "SearchPath", "C:\\D3\\Lib");
  TPackageInstaller pi;
  host::TStringList names;
  pi.InstallPackage(ipDelphi3, "C:\\T\\Delphi3\\dcltav14d3.dpl", names, "Tavrin");
  EXPECT_TRUE(LogHas("Error: Unable to open key:\\software\\Borland\\Delphi\\3.0\\Known Packages"));
  EXPECT_EQ(UserValue(library, "SearchPath"), "C:\\D3\\Lib");

  RegWriteString(hkCurrentUser, "\\software\\Borland\\Delphi\\3.0\\Known Packages", "x.dpl", "x");
  pi.InstallPackage(ipDelphi3, "C:\\T\\Delphi3\\dcltav14d3.dpl", names, "Tavrin");
  EXPECT_EQ(UserValue(library, "SearchPath"), "C:\\D3\\Lib;C:\\T\\Delphi3");
  EXPECT_EQ(UserValue(library, "Search Path"), "(missing)");
}

TEST_F(PackageInstallerTest, HelpIsLinkedOnceAfterTheThirdPartySectionAndTheIndexGoes) {
  AddIDE(kD7User, kD7Root);
  TPackageInstaller pi;
  EXPECT_EQ(pi.InstallHelp(ipDelphi7, "tavrin.hlp"), 255);
  EXPECT_EQ(pi.InstallHelp(ipDelphi5, "tavrin.hlp"), 255);  // not installed

  // Linked only before the third-party section: that does not count.
  Write(kD7Help, ":Link TAVRIN.HLP\r\n:Index Delphi=delphi7.hlp\r\n;Third-party Help\r\n:Link x.hlp\r\n");
  Write(kD7Gid, "index");
  EXPECT_EQ(pi.InstallHelp(ipDelphi7, "tavrin.hlp"), 1);
  EXPECT_EQ(Read(kD7Help), ":Link TAVRIN.HLP\r\n:Index Delphi=delphi7.hlp\r\n;Third-party Help\r\n"
                           ":Link x.hlp\r\n:Link tavrin.hlp\r\n");
  EXPECT_FALSE(os::WinFileExists(kD7Gid));

  // Linked after it: left as it is, the index deleted anyway.
  const std::string linked = Read(kD7Help);
  Write(kD7Gid, "index");
  EXPECT_EQ(pi.InstallHelp(ipDelphi7, "Tavrin.hlp"), 1);
  EXPECT_EQ(Read(kD7Help), linked);
  EXPECT_FALSE(os::WinFileExists(kD7Gid));
}

TEST_F(PackageInstallerTest, AHelpFileThatCannotBeReplacedKeepsItsTextAndTheFailureIsLogged) {
  AddIDE(kD7User, kD7Root);
  SetInstallLogDirectory("C:\\Program Files\\Tavrin");
  ASSERT_TRUE(os::WinForceDirectories("C:\\Program Files\\Tavrin"));
  const std::string original = ":Link d7.hlp\r\n";
  Write(kD7Help, original);
  Write(kD7Gid, "index");
  ASSERT_TRUE(os::WinSetFileAttributes(kD7Help, os::FILE_ATTRIBUTE_READONLY));
  TPackageInstaller pi;
  EXPECT_THROW(pi.InstallHelp(ipDelphi7, "tavrin.hlp"), host::EFCreateError);
  EXPECT_EQ(Read(kD7Help), original);
  EXPECT_TRUE(os::WinFileExists(kD7Gid));
  const std::string last = InstallLog().Strings(InstallLog().Count() - 1);
  EXPECT_EQ(last.rfind("Install help. Product - Delphi 7. Exception Cannot create file", 0), 0u)
      << last;
  EXPECT_EQ(Read("C:\\Program Files\\Tavrin\\instlog.txt"), InstallLog().Text());
}

TEST_F(PackageInstallerTest, TheLogGoesToTheTemporaryFolderAndItsSaveNeverFails) {
  InstallLog().Add("Commencing");
  SaveInstallLog();
  EXPECT_EQ(InstallLogPath(), os::GetTempPath() + "instlog.txt");
  EXPECT_EQ(Read(os::GetTempPath() + "instlog.txt"), "Commencing\r\n");

  SetInstallLogDirectory("C:\\Nowhere");  // does not exist
  EXPECT_EQ(InstallLogPath(), os::GetTempPath() + "instlog.txt");

  ASSERT_TRUE(os::WinForceDirectories("C:\\Dest"));
  SetInstallLogDirectory("C:\\Dest\\");
  Write("C:\\Dest\\instlog.txt", "kept");
  ASSERT_TRUE(os::WinSetFileAttributes("C:\\Dest\\instlog.txt", os::FILE_ATTRIBUTE_READONLY));
  SaveInstallLog();  // refused, and quietly
  EXPECT_EQ(Read("C:\\Dest\\instlog.txt"), "kept");
}

}  // namespace
}  // namespace orln
