#include "installer/engine/paths/install_paths.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/classes/component_text.h"
#include "installer/engine/archive/orln_compress.h"
#include "installer/engine/paths/office_paths.h"
#include "installer/engine/paths/shell_paths.h"
#include "installer/engine/testing/path_targets.h"
#include "os/registry_store.h"
#include "os/testing/pe_image_builder.h"
#include "os/testing/test_machine.h"
#include "os/win_file.h"

namespace orln {
namespace {

using test::TFakeFileContainer;
using test::TFakeInstall;
using test::TFakeTarget;
using test::TTargetForm;

const char kShellFolders[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
const char kCurrentVersion[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";

// The message of what `f` raises as E; "" when it raises nothing.
template <class E = IEPathSpecifier>
std::string ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const E& e) {
    return e.Message();
  }
  return std::string();
}

class PathSpecifierTest : public os::test::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    RegisterPathSpecifierClasses();
    form_ = std::make_unique<TTargetForm>(nullptr);
  }
  void TearDown() override {
    form_.reset();
    EXPECT_EQ(PathSpecifiers().Count(), 0) << "a specifier outlived its test";
    EXPECT_EQ(StandardPathSpecifiers().Count(), 0);
    MachineTest::TearDown();
  }

  void Use98(const std::string& windows) {
    os::THostProfile& p = machine_->Profile();
    p.Version = {4, 10, 2222, os::kPlatformWindows, " A "};
    p.WindowsDirectory = windows;
    p.SystemDirectory = windows + "\\SYSTEM";
  }
  void SetString(os::TRegRoot root, const std::string& key, const std::string& name,
                 const std::string& value) {
    ASSERT_TRUE(machine_->Registry().CreateKey(root, key));
    ASSERT_TRUE(machine_->Registry().WriteValue(root, key, name, os::REG_SZ, value));
  }
  template <class T>
  T& Standard() {
    StandardPathSpecifiers().EnsureStandardSpecifiers(form_.get(), true);
    return *StandardPathSpecifiers().Find<T>();
  }

  std::unique_ptr<TTargetForm> form_;
};

TEST(PathSpecifierExpansion, PercentSignsAndPlaceholders) {
  struct Case {
    const char* text;
    const char* want;
  } cases[] = {
      {"%p", "C:\\Dir"},
      {"%P\\bin", "C:\\Dir\\bin"},
      {"%%p", "%p"},
      {"%x", "x"},
      {"100%", "100"},
      {"%%", "%"},
      {"a%pb%pc", "aC:\\DirbC:\\Dirc"},
      {"%%%p", "%C:\\Dir"},
      {"", ""},
      {"no placeholder", "no placeholder"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ExpandPathSpecifier(c.text, "C:\\Dir"), c.want) << c.text;
  }
}

TEST_F(PathSpecifierTest, ExpandAsksForThePathOnlyWhenTheTextNamesIt) {
  TPathSpecifier spec(form_.get());
  int asked = 0;
  spec.OnGetPath = [&](host::TComponent*, std::string& path) {
    ++asked;
    path = "D:\\Data";
  };
  EXPECT_EQ(spec.Expand("%p;%p\\Sub;100%%", nullptr), "D:\\Data;D:\\Data\\Sub;100%");
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(spec.Expand("plain %%", nullptr), "plain %");
  EXPECT_EQ(asked, 1);
  // A specifier that cannot serve the object fails only when its path is needed.
  TpsMainInstall& main = Standard<TpsMainInstall>();
  EXPECT_EQ(main.Expand("Ver", nullptr), "Ver");
  EXPECT_NE(ErrorOf([&] { main.Expand("%p", nullptr); }), "");
}

TEST_F(PathSpecifierTest, ScriptSpecifierDescriptionAndHandler) {
  TPathSpecifier spec(form_.get());
  EXPECT_EQ(spec.GetDescription(), "My cool new path specifier");
  EXPECT_EQ(spec.GetShortNameFor(nullptr), "My cool new path specifier");
  EXPECT_EQ(spec.GetPath(nullptr), "");  // no handler
  TFakeTarget obj(form_.get(), ptkInstallObject, "Reg");
  spec.OnGetPath = [](host::TComponent* object, std::string& path) {
    path = "X:\\" + object->Name();
  };
  EXPECT_EQ(spec.GetPath(&obj), "X:\\Reg");
  spec.SetDescription("Data folder");
  EXPECT_EQ(spec.GetShortName(), "Data folder");
  TCustomPathSpecifier base(form_.get());
  EXPECT_EQ(base.GetDescriptionFor(&obj), "Unspecified");
  EXPECT_EQ(base.GetShortName(), "Unspecified");
}

TEST_F(PathSpecifierTest, ClassesRegisterInOrderAndEnsureMakesEachOnce) {
  const std::vector<std::string> want = {"TpsBDEDLL",
                                         "TpsCommonFiles",
                                         "TpsContainerArchiveFile",
                                         "TpsContainerDestDir",
                                         "TpsDesktopMenu",
                                         "TpsInstallSource",
                                         "TpsMainInstall",
                                         "TpsProgramFiles",
                                         "TpsProgramMenu",
                                         "TpsStartMenu",
                                         "TpsStartupMenu",
                                         "TpsSystem",
                                         "TpsMainArchiveFile",
                                         "TpsWindow",
                                         "TpsRecent",
                                         "TpsPrinters",
                                         "TpsCommonDesktopDirectory",
                                         "TpsFavorites",
                                         "TpsControlPanel",
                                         "TpsBitBucket",
                                         "TpsCookies",
                                         "TpsSendTo",
                                         "TpsStartup",
                                         "TpsCommonAltStartup",
                                         "TpsCommonStartMenu",
                                         "TpsCommonPrograms",
                                         "TpsCommonStartup",
                                         "TpsCommonFavorites",
                                         "TpsQuickLaunchMenu",
                                         "TpsOfficeUserTemplates",
                                         "TpsOfficeWorkgroupTemplates",
                                         "TpsOfficeClipartDirectory",
                                         "TpsOfficeStartupDirectory",
                                         "TpsOfficeToolsDirectory",
                                         "TpsOfficeFavoritesDirectory"};
  const TPathSpecifierClassList& classes = PathSpecifierClasses();
  ASSERT_EQ(classes.Count(), static_cast<int>(want.size()));
  for (int i = 0; i < classes.Count(); ++i) {
    EXPECT_EQ(classes.Items(i)->ClassName(), want[static_cast<size_t>(i)]);
    EXPECT_NE(host::GetClass(want[static_cast<size_t>(i)]), nullptr);
  }
  EXPECT_EQ(ErrorOf<IEPathSpecifierList>([] { StandardPathSpecifiers().Find<TpsSystem>(); }),
            "Could not find the path specifier");

  // One instance already on another owner is the shared one; a foreign
  // component holding a standard name pushes the specifier to the next name.
  TTargetForm other(nullptr);
  auto* system = new TpsSystem(&other);
  TFakeTarget squatter(form_.get(), ptkInstallObject, "psWindow");
  EXPECT_FALSE(StandardPathSpecifiers().EnsureStandardSpecifiers(form_.get(), false));
  EXPECT_EQ(StandardPathSpecifiers().Count(), 1);
  EXPECT_FALSE(StandardPathSpecifiers().EnsureStandardSpecifiers(form_.get(), true));
  EXPECT_EQ(StandardPathSpecifiers().Count(), static_cast<int>(want.size()));
  EXPECT_TRUE(StandardPathSpecifiers().EnsureStandardSpecifiers(form_.get(), true));
  EXPECT_EQ(StandardPathSpecifiers().Count(), static_cast<int>(want.size()));
  EXPECT_EQ(StandardPathSpecifiers().Find<TpsSystem>(), system);
  EXPECT_EQ(form_->FindComponent("psSystem"), nullptr);
  EXPECT_EQ(StandardPathSpecifiers().Find<TpsWindow>()->Name(), "psWindow1");
  EXPECT_EQ(StandardPathSpecifiers().Find<TpsOfficeToolsDirectory>()->Name(),
            "psOfficeToolsDirectory");
  EXPECT_EQ(StandardPathSpecifiers().Find<TpsBDEDLL>()->Number(), 145);
  EXPECT_EQ(StandardPathSpecifiers().Find<TpsContainerDestDir>()->Number(), 2);
  EXPECT_EQ(PathSpecifiers().Count(), static_cast<int>(want.size()));

  // Specifiers leave the lists when they go; nothing null gets in.
  delete system;
  EXPECT_EQ(StandardPathSpecifiers().Lookup<TpsSystem>(), nullptr);
  EXPECT_EQ(ErrorOf<IEPathSpecifierList>([] { PathSpecifiers().Add(nullptr); }),
            "Tried to add a nil object to the path specifier list");
  EXPECT_EQ(ErrorOf<IEPathSpecifierClassList>([] { PathSpecifierClasses().Add(nullptr); }),
            "Tried to add a nil object to the path specifier list");
}

// The install's own folders on the 98 and XP profiles, with and without the
// registry values that name them.
TEST_F(PathSpecifierTest, InstallFoldersOnEachProfile) {
  struct Expect {
    std::string start, programs, desktop, startup, programFiles, common, bde, system, windows;
  };
  struct Case {
    const char* name;
    bool win98;
    bool registry;
    Expect want;
  } cases[] = {
      {"XP defaults",
       false,
       false,
       {"C:\\WINDOWS\\Startmen", "C:\\WINDOWS\\Programs", "C:\\WINDOWS\\Desktop",
        "C:\\WINDOWS\\Startup", "C:\\Program Files", "C:\\Program Files\\Common Files",
        "C:\\Program Files\\Borland\\Common Files\\BDE", "C:\\WINDOWS\\system32", "C:\\WINDOWS"}},
      {"98 defaults",
       true,
       false,
       {"D:\\WIN98\\Startmen", "D:\\WIN98\\Programs", "D:\\WIN98\\Desktop", "D:\\WIN98\\Startup",
        "D:\\Program Files", "D:\\Program Files\\Common Files",
        "D:\\Program Files\\Borland\\Common Files\\BDE", "D:\\WIN98\\SYSTEM", "D:\\WIN98"}},
      {"XP registry",
       false,
       true,
       {"E:\\Menu", "E:\\Menu\\Progs", "E:\\Desk", "E:\\Menu\\Progs\\Auto", "E:\\Apps",
        "E:\\Apps\\Shared", "F:\\IDAPI", "C:\\WINDOWS\\system32", "C:\\WINDOWS"}},
      {"98 registry",
       true,
       true,
       {"E:\\Menu", "E:\\Menu\\Progs", "E:\\Desk", "E:\\Menu\\Progs\\Auto", "E:\\Apps",
        "E:\\Apps\\Shared", "F:\\IDAPI", "D:\\WIN98\\SYSTEM", "D:\\WIN98"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    machine_->Profile() = os::THostProfile::Defaults();
    if (c.win98) Use98("D:\\WIN98");
    os::TRegistryStore& reg = machine_->Registry();
    if (c.registry) {
      // Trailing backslashes go; the BDE path is the first of a list.
      SetString(os::TRegRoot::CurrentUser, kShellFolders, "Start Menu", "E:\\Menu\\");
      SetString(os::TRegRoot::CurrentUser, kShellFolders, "Programs", "E:\\Menu\\Progs");
      SetString(os::TRegRoot::CurrentUser, kShellFolders, "Desktop", "E:\\Desk");
      SetString(os::TRegRoot::CurrentUser, kShellFolders, "Startup", "E:\\Menu\\Progs\\Auto");
      SetString(os::TRegRoot::LocalMachine, kCurrentVersion, "ProgramFilesDir", "E:\\Apps\\");
      SetString(os::TRegRoot::LocalMachine, kCurrentVersion, "CommonFilesDir", "E:\\Apps\\Shared");
      SetString(os::TRegRoot::LocalMachine, "Software\\Borland\\Database Engine", "DLLPath",
                "F:\\IDAPI;G:\\Other");
    } else {
      reg.DeleteValue(os::TRegRoot::CurrentUser, kShellFolders, "Start Menu");
      for (const char* v : {"Start Menu", "Programs", "Desktop", "Startup"})
        reg.DeleteValue(os::TRegRoot::CurrentUser, kShellFolders, v);
      for (const char* v : {"ProgramFilesDir", "CommonFilesDir"})
        reg.DeleteValue(os::TRegRoot::LocalMachine, kCurrentVersion, v);
      // A blank BDE path counts as none.
      SetString(os::TRegRoot::LocalMachine, "Software\\Borland\\Database Engine", "DLLPath", "");
    }
    EXPECT_EQ(Standard<TpsStartMenu>().GetPath(nullptr), c.want.start);
    EXPECT_EQ(Standard<TpsProgramMenu>().GetPath(nullptr), c.want.programs);
    EXPECT_EQ(Standard<TpsDesktopMenu>().GetPath(nullptr), c.want.desktop);
    EXPECT_EQ(Standard<TpsStartupMenu>().GetPath(nullptr), c.want.startup);
    EXPECT_EQ(Standard<TpsProgramFiles>().GetPath(nullptr), c.want.programFiles);
    EXPECT_EQ(Standard<TpsCommonFiles>().GetPath(nullptr), c.want.common);
    EXPECT_EQ(Standard<TpsBDEDLL>().GetPath(nullptr), c.want.bde);
    EXPECT_EQ(Standard<TpsSystem>().GetPath(nullptr), c.want.system);
    EXPECT_EQ(Standard<TpsWindow>().GetPath(nullptr), c.want.windows);
  }
  EXPECT_EQ(Standard<TpsStartMenu>().GetDescription(), "Path of Start Menu");
  EXPECT_EQ(Standard<TpsBDEDLL>().GetShortName(), "BDE DLL");
  EXPECT_EQ(Standard<TpsCommonFiles>().GetDescriptionFor(nullptr),
            "Path of the common files directory under the program files directory");
}

TEST_F(PathSpecifierTest, ContainerSpecifiersNeedAnInstallObjectInAContainer) {
  TpsContainerDestDir& dest = Standard<TpsContainerDestDir>();
  TpsContainerArchiveFile& archive = Standard<TpsContainerArchiveFile>();
  TFakeTarget plain(form_.get(), ptkContainer, "Plain");
  TFakeTarget lonely(form_.get(), ptkInstallFile, "Lonely");
  TFakeTarget registry(form_.get(), ptkInstallObject, "RegItem");

  EXPECT_EQ(ErrorOf([&] { dest.GetPath(&plain); }),
            "Plain must be a TInstallObject to use the psContainerDestDir path specifier");
  EXPECT_EQ(ErrorOf([&] { archive.GetPath(form_.get()); }),
            " must be a TInstallObject to use the psContainerArchiveFile path specifier");
  EXPECT_EQ(ErrorOf([&] { dest.GetPath(&lonely); }),
            "Cannot use ddContainerDestDir for Lonely unless you assign a Container");
  EXPECT_EQ(ErrorOf([&] { archive.GetPath(&lonely); }),
            "Cannot use ddContainerArchiveFile for Lonely unless you assign a Container");
  // Descriptions of an object the specifier cannot serve fall back to the plain one.
  EXPECT_EQ(dest.GetDescriptionFor(&lonely), "Path of the group (container)");
  EXPECT_EQ(dest.GetShortNameFor(&plain), "Path of the group (container)");
  EXPECT_EQ(archive.GetDescriptionFor(&lonely), "Path to the archive file of the container");

  TFakeInstall install(form_.get());
  install.DestPath = "C:\\Program Files\\App";
  TFakeTarget dir(form_.get(), ptkFileContainer, "HelpDir");
  dir.Description = "Help files";
  dir.DestPath = "C:\\Program Files\\App\\Help";
  dir.ArchivePath = "A:\\help.1";
  TFakeTarget group(form_.get(), ptkGroup, "Extras");
  group.Description = "Extra tools";
  TFakeTarget custom(form_.get(), ptkContainer, "Custom");
  custom.DestPath = "Q:\\Custom";

  struct Case {
    TFakeTarget* container;
    const char* description;
    const char* shortName;
    const char* path;
  } cases[] = {
      {&install, "Main installation directory", "<Main installation directory>",
       "C:\\Program Files\\App"},
      {&dir, "Path of the <Help files> directory", "<Help files>", "C:\\Program Files\\App\\Help"},
      {&group, "Path of the <Extra tools> group", "<Extra tools>", ""},
      {&custom, "Path of the <Custom> group", "<Custom>", "Q:\\Custom"},
  };
  for (const Case& c : cases) {
    lonely.Container = c.container;
    EXPECT_EQ(dest.GetDescriptionFor(&lonely), c.description);
    EXPECT_EQ(dest.GetShortNameFor(&lonely), c.shortName);
    EXPECT_EQ(dest.GetPath(&lonely), c.path);
  }
  // The archive specifier wants a file-related container.
  registry.Container = &custom;
  EXPECT_EQ(ErrorOf([&] { archive.GetPath(&registry); }),
            "Cannot use the ddContainerArchiveFile path specifier for RegItem because the "
            "Container is not a TFileRelated descendant");
  registry.Container = &dir;
  EXPECT_EQ(archive.GetPath(&registry), "A:\\help.1");
  EXPECT_EQ(dest.GetPath(&registry), "C:\\Program Files\\App\\Help");
}

TEST_F(PathSpecifierTest, InstallSpecifiersNeedTheInstall) {
  TpsInstallSource& source = Standard<TpsInstallSource>();
  TpsMainInstall& main = Standard<TpsMainInstall>();
  TpsMainArchiveFile& archive = Standard<TpsMainArchiveFile>();
  TFakeTarget file(form_.get(), ptkInstallFile, "ReadmeFile");
  for (TCustomPathSpecifier* s :
       std::initializer_list<TCustomPathSpecifier*>{&source, &main, &archive})
    EXPECT_EQ(ErrorOf([&] { s->GetPath(&file); }),
              "There is no TInstall component so the path specifier could not be expanded for "
              "ReadmeFile");
  EXPECT_EQ(main.GetDescriptionFor(&file), "Main installation directory");

  auto install = std::make_unique<TFakeInstall>(form_.get());
  install->Source = "E:\\Setup";
  install->DestPath = "C:\\Program Files\\Tavrin";
  EXPECT_EQ(source.GetPath(&file), "E:\\Setup");
  EXPECT_EQ(main.GetPath(&file), "C:\\Program Files\\Tavrin");
  EXPECT_EQ(ErrorOf([&] { main.GetPath(install.get()); }),
            "Cannot use the ddMainInstallDir path specifier for a TInstall component");
  EXPECT_EQ(source.GetPath(install.get()), "E:\\Setup");

  // The main archive: files.1 beside the setup, or where the last disk was found.
  EXPECT_EQ(archive.GetPath(&file), "E:\\Setup\\files.1");
  archive.SetNewDiskDirectory("A:");
  EXPECT_EQ(archive.GetPath(&file), "A:\\files.1");
  // Started by the self-extractor: the program itself is the archive.
  install->HasSelfExtractor = true;
  install->SelfExtractor = "Setup.exe";
  EXPECT_EQ(archive.GetPath(&file), "E:\\Setup\\Setup.exe");
  install->SelfExtractor = "  ";
  EXPECT_EQ(ErrorOf([&] { archive.GetPath(&file); }),
            "You forgot to pass in the name of the self-extracting executable. Usage example: "
            "\"-eSetup.exe\"");
  install.reset();
  EXPECT_NE(ErrorOf([&] { archive.GetPath(&file); }), "");
}

TEST_F(PathSpecifierTest, FileContainerSpecifierNamingAndService) {
  TFakeFileContainer first(form_.get());
  TFakeFileContainer second(form_.get());
  ASSERT_NE(first.Specifier, nullptr);
  EXPECT_EQ(first.Specifier->Name(), "psFileContainer");
  EXPECT_EQ(second.Specifier->Name(), "psFileContainer1");
  TpsFileContainer& spec = *first.Specifier;
  EXPECT_EQ(spec.GetDescription(), "Path into which Fake directory will be installed");
  EXPECT_EQ(spec.GetShortName(), "<Fake directory>");

  TFakeTarget registry(form_.get(), ptkInstallObject, "RegItem");
  EXPECT_EQ(spec.GetPath(&registry), "C:\\Fake");
  // A container reaching its destination through such a specifier would ask
  // itself for ever: every file-branch object is refused.
  for (TPathTargetKind kind : {ptkFileContainer, ptkGroup, ptkInstallFile, ptkInstall}) {
    TFakeTarget object(form_.get(), kind, "Obj");
    EXPECT_EQ(ErrorOf([&] { spec.GetPath(&object); }),
              "A file container cannot reference another file container or group");
  }
  TFakeTarget file(form_.get(), ptkInstallFile, "File");
  EXPECT_EQ(spec.GetDescriptionFor(&file), "Path into which Fake directory will be installed");

  // Without its container it names none.
  TpsFileContainer loose(form_.get());
  EXPECT_EQ(loose.GetDescription(), "Path specifier for unknown file container");
  EXPECT_EQ(loose.GetShortName(), "Path specifier for unknown file container");
  EXPECT_EQ(loose.GetPath(&registry), "");
  {
    TFakeFileContainer gone(nullptr);
    loose.SetFileContainer(&gone);
    EXPECT_EQ(loose.GetPath(&registry), "C:\\Fake");
  }
  EXPECT_EQ(loose.FileContainer(), nullptr);
}

// A form holds the specifier its container made at design time; on reading,
// the container makes a new one, the stored one takes its name and replaces
// it.
TEST_F(PathSpecifierTest, StoredFileContainerSpecifierReplacesTheNewOne) {
  host::RegisterClass(TTargetForm::ClassProperties());
  host::RegisterClass(TFakeFileContainer::ClassProperties());
  const std::string text =
      "object Form: TTargetForm\r\n"
      "  object psSystem: TpsSystem\r\n"
      "  end\r\n"
      "  object Dir: TFakeFileContainer\r\n"
      "  end\r\n"
      "  object psFileContainer: TpsFileContainer\r\n"
      "    FileContainer = Dir\r\n"
      "  end\r\n"
      "  object Other: TFakeFileContainer\r\n"
      "  end\r\n"
      "end\r\n";
  host::ReadComponent(text, *form_);
  auto* dir = dynamic_cast<TFakeFileContainer*>(form_->FindComponent("Dir"));
  auto* other = dynamic_cast<TFakeFileContainer*>(form_->FindComponent("Other"));
  ASSERT_NE(dir, nullptr);
  ASSERT_NE(other, nullptr);
  auto* stored = dynamic_cast<TpsFileContainer*>(form_->FindComponent("psFileContainer"));
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(dir->Specifier, stored);
  EXPECT_EQ(dir->Adopted, 1);
  EXPECT_EQ(stored->FileContainer(), dir);
  // The one Dir made was renamed out of the way, then freed.
  for (int i = 0; i < form_->ComponentCount(); ++i)
    EXPECT_EQ(form_->Components(i)->Name().rfind("nameClash", 0), std::string::npos);
  EXPECT_EQ(other->Adopted, 0);
  EXPECT_EQ(other->Specifier->Name(), "psFileContainer1");
  EXPECT_EQ(StandardPathSpecifiers().Find<TpsSystem>()->Owner(), form_.get());
  // Written back, the form names each specifier once.
  const std::string written = host::WriteComponent(*form_);
  EXPECT_NE(written.find("object psFileContainer: TpsFileContainer"), std::string::npos);
  EXPECT_NE(written.find("FileContainer = Dir"), std::string::npos);
}

TEST_F(PathSpecifierTest, NameClashRenamesTheOtherWithARunningCount) {
  TFakeTarget holder(form_.get(), ptkInstallObject, "Taken");
  TFakeTarget next(form_.get(), ptkInstallObject, "AlsoTaken");
  TpsFileContainer a(form_.get());
  a.SetName("Taken");
  const std::string first = holder.Name();
  ASSERT_EQ(first.rfind("nameClash", 0), 0u);
  TpsFileContainer b(form_.get());
  b.SetName("AlsoTaken");
  const int n1 = std::stoi(first.substr(9));
  EXPECT_EQ(next.Name(), "nameClash" + std::to_string(n1 + 1));
  EXPECT_EQ(a.Name(), "Taken");
  b.SetName("AlsoTaken");  // its own name again: nothing moves
  EXPECT_EQ(b.Name(), "AlsoTaken");
}

TEST_F(PathSpecifierTest, ArchiveReadsFileVersionsFromVersionResources) {
  os::test::TPeSpec spec;
  spec.Tables = {{u"040904E4", {{u"FileVersion", u"7.1.0.42"}}}};
  spec.Translations = {{0x409, 1252}};
  ASSERT_TRUE(os::WinForceDirectories("C:\\src"));
  ASSERT_TRUE(os::WinWriteWholeFile("C:\\src\\tool.dll", os::test::BuildPeImage(spec).Bytes));
  ASSERT_TRUE(os::WinWriteWholeFile("C:\\src\\readme.txt", "text"));
  TOrlnCompress c(nullptr);
  c.SetCompressedFile("C:\\arc\\files.1");
  ASSERT_TRUE(os::WinForceDirectories("C:\\arc"));
  host::TStringList files;
  files.Add("C:\\src\\tool.dll");
  files.Add("C:\\src\\readme.txt");
  c.SetFilesToProcess(files);
  c.Add(false, 1);
  EXPECT_EQ(c.Headers().GetFileHeader(0).Version, "7.1.0.42");
  EXPECT_EQ(c.Headers().GetFileHeader(1).Version, "");
}

}  // namespace
}  // namespace orln
