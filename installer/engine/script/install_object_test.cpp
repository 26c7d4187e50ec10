#include "installer/engine/script/install_object.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/classes/component_text.h"
#include "host/rtl/exceptions.h"
#include "installer/engine/base/orln_exceptions.h"
#include "installer/engine/base/orln_registry.h"
#include "installer/engine/script/install.h"
#include "installer/engine/script/install_group.h"
#include "installer/engine/script/install_registry.h"
#include "installer/engine/testing/install_script_fixture.h"
#include "os/registry_store.h"
#include "os/win_file.h"

namespace orln::test {
namespace {

using Log = std::vector<std::string>;

// Kind 3000, and the one class name that always goes first.
class TInstallBDE : public TInstallObject {
 public:
  using TInstallObject::TInstallObject;
  int GetKind() const override { return 3000; }
};

class InstallObjectTest : public InstallScriptTest {};

TEST_F(InstallObjectTest, ChildrenStaySortedByKindNewestFirstAmongEquals) {
  auto* install = Make<TInstall>("Install");
  auto* dir = Make<TTestDirectory>("Dir", install);
  auto* reg = Make<TInstallRegistry>("Reg", install);
  Make<TTestFile>("File1", install);
  EXPECT_EQ(Children(*install), "Dir File1 Reg");
  Make<TTestFile>("File2", install);
  Make<TInstallGroup>("Group", install);
  Make<TTestDialog>("Dlg", install);
  Make<TInstallBDE>("Bde", install);
  EXPECT_EQ(Children(*install), "Bde Group Dir File2 File1 Reg Dlg");
  EXPECT_EQ(install->ContainerCount(), 2);  // the group and the directory
  EXPECT_EQ(install->Containers(1), dir);
  EXPECT_EQ(install->CompCountOf<TTestFile>(), 2);
  EXPECT_EQ(install->CompOf<TTestFile>(1)->Name(), "File1");
  EXPECT_EQ(install->CompOf<TInstallRegistry>(0), reg);

  // Moving between containers leaves the old list.
  auto* file1 = install->CompOf<TTestFile>(1);
  file1->SetContainer(dir);
  EXPECT_EQ(Children(*dir), "File1");
  EXPECT_EQ(Children(*install), "Bde Group Dir File2 Reg Dlg");
  install->FreeCompsOf<TTestFile>();
  EXPECT_EQ(Children(*install), "Bde Group Dir Reg Dlg");
  EXPECT_EQ(Children(*dir), "File1");
}

TEST_F(InstallObjectTest, RefusalsCarryTheirTexts) {
  auto* install = Make<TInstall>("Install");
  auto* outer = Make<TTestDirectory>("Outer", install);
  auto* inner = Make<TTestDirectory>("Inner", outer);
  auto* deepest = Make<TTestDirectory>("Deepest", inner);
  auto* group = Make<TInstallGroup>("Group", install);
  auto* file = Make<TTestFile>("File", outer);

  struct Case {
    const char* what;
    std::function<void()> call;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"ancestor as child", [&] { outer->SetContainer(deepest); }, "Circular reference"},
      {"self as child", [&] { inner->SetContainer(inner); }, "Circular reference"},
      {"nil child", [&] { outer->AddObject(nullptr); },
       "Cannot add a blank base helper component to Outer"},
      {"index past the end", [&] { (void)outer->Comp(2); },
       "Tried to reference a helper component in the following component: Outer. The following "
       "index was used: 2"},
      {"no child of the class", [&] { (void)outer->CompOf<TInstallRegistry>(0); },
       "Bad call to the Comp procedure which returns a TInstallObject for a TInstallContainer "
       "component. The parameters are probably reversed. Index: 0, ComponentType: 0"},
      {"container without a kind", [&] { (void)install->TInstallContainer::GetKind(); },
       "Class must declare a registered type"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(MessageOf<IEInstallContainer>(c.call), c.text);
  }
  EXPECT_EQ(MessageOf<IEInstallGroup>([&] { group->SetContainer(outer); }),
            "A TInstallGroup component can only be contained by a TInstall, or another "
            "TInstallGroup component");
  // Refused moves change nothing.
  EXPECT_EQ(outer->Container(), install);
  EXPECT_EQ(group->Container(), install);
  EXPECT_EQ(Children(*outer), "Inner File");

  auto* sub = Make<TInstallGroup>("Sub", group);
  EXPECT_EQ(sub->Container(), group);
  sub->SetContainer(nullptr);  // nil means the install
  EXPECT_EQ(sub->Container(), install);
  EXPECT_EQ(file->Container(), outer);

  // A second install, or one not on a form or data module, is refused.
  EXPECT_EQ(MessageOf<IEInstall>([&] { Make<TInstall>("Second"); }),
            "The TInstall component does not currently support the use of 2 TInstall components "
            "in the same project");
}

TEST_F(InstallObjectTest, InstallNeedsAFormOrDataModuleOwner) {
  host::TComponent plain(nullptr);
  EXPECT_EQ(MessageOf<IEInstall>([&] { host::New<TInstall>(&plain); }),
            "The Owner of the TInstall component must either be a class of type TCustomForm "
            "(Delphi 3) or TForm (Delphi 2.0,C++Builder 1.0)");
  EXPECT_EQ(GlobalInstall(), nullptr);
  EXPECT_EQ(GlobalDistributeType(), dtTraditionalNet);
  auto* install = Make<TInstall>("Install");
  EXPECT_EQ(GlobalInstall(), install);
  EXPECT_EQ(GlobalDistributeType(), dtTraditional);
  install->SetInstallTypes(0);
  EXPECT_EQ(install->InstallTypes(), ItBit(itFull));
}

TEST_F(InstallObjectTest, FreedComponentsLeaveEveryList) {
  auto* install = Make<TInstall>("Install");
  auto* dir = Make<TTestDirectory>("Dir", install);
  auto* file = Make<TTestFile>("File", dir);
  auto* dlg = Make<TTestDialog>("Dlg", dir);
  dir->SetSingleTarget(dlg);
  delete dlg;
  EXPECT_EQ(dir->SingleTarget(), nullptr);
  EXPECT_EQ(Children(*dir), "File");
  delete dir;
  EXPECT_EQ(file->Container(), nullptr);
  EXPECT_EQ(Children(*install), "");
  const auto& all = InstallGlobals().Containers;
  EXPECT_EQ(all.Count(), 2);
  EXPECT_EQ(all.IndexOf(install), 0);
  EXPECT_EQ(all.IndexOf(file), 1);
}

TEST_F(InstallObjectTest, ProcessRunsEventsAndBroadcastsInOrder) {
  auto* install = Make<TInstall>("Install");
  auto* dir = Make<TTestDirectory>("Dir", install);
  Make<TTestFile>("File", dir)->LogUninstall = true;
  Make<TTestDialog>("Dlg", dir);
  Make<TInstallRegistry>("Reg", dir);  // reached by the passes, not by its container
  dir->OnBeforeProcess = [](host::TObject*) { ScriptLog().push_back("before"); };
  dir->OnStartProcess = [](host::TObject*) { ScriptLog().push_back("start"); };
  dir->OnAfterProcess = [](host::TObject*) { ScriptLog().push_back("after"); };
  dir->SetUninstall(false);
  dir->Process();
  // A file container's install step reads its archive's information first
  // (-992) and tells the pages the copying is over (-996).
  const Log expected = {
      "before", "Dlg -990", "start", "Dlg -999", "Dlg -992", "File children",
      "File uninstall \\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\My product",
      "Dlg -996", "after", "Dlg -989"};
  EXPECT_EQ(ScriptLog(), expected);
  EXPECT_TRUE(dir->Processed());
}

TEST_F(InstallObjectTest, InstallTypesAndTheOSFilterDecideWhatRuns) {
  auto* install = Make<TInstall>("Install");
  auto* group = Make<TInstallGroup>("Group", install);
  auto* dir = Make<TTestDirectory>("Dir", group);
  auto* a = Make<TTestFile>("A", dir);
  auto* b = Make<TTestFile>("B", dir);
  auto* c = Make<TTestFile>("C", dir);
  a->SetInstallTypes(ItBit(itFull));
  b->SetInstallTypes(ItBit(itCompact));
  c->SetOS(OsBit(oswin98) | OsBit(oswinME));  // this machine runs XP
  for (TInstallContainer* x : std::vector<TInstallContainer*>{a, b, c})
    x->OnAfterProcess = [](host::TObject* s) {
      ScriptLog().push_back(static_cast<host::TComponent*>(s)->Name() + " after");
    };

  install->SelectInstallType(itCompact);
  for (TInstallContainer* x : std::vector<TInstallContainer*>{install, group, dir, a, b, c})
    EXPECT_EQ(x->SelectedInstallType(), itCompact) << x->Name();
  EXPECT_FALSE(a->IsSelected());
  EXPECT_TRUE(b->IsSelected());
  dir->Process();
  // A stops before its action and after-event; C is left out by its OS.
  EXPECT_EQ(ScriptLog(), (Log{"C after", "B children", "B after"}));
  EXPECT_FALSE(c->Include());
  EXPECT_FALSE(a->Processed());

  // Custom takes everything included; C stays out even for an OS that fits now.
  ScriptLog().clear();
  install->SelectInstallType(itCustom);
  c->SetOS(kWindowsVersions);
  dir->Process();
  EXPECT_EQ(ScriptLog(), (Log{"C after", "B children", "B after", "A children", "A after"}));
}

TEST_F(InstallObjectTest, AbortSkipsOneObjectOtherErrorsTravel) {
  auto* install = Make<TInstall>("Install");
  auto* dir = Make<TTestDirectory>("Dir", install);
  auto* a = Make<TTestFile>("A", dir);
  Make<TTestFile>("B", dir);
  a->OnBeforeProcess = [](host::TObject*) { host::Abort(); };
  dir->Process();
  EXPECT_EQ(ScriptLog(), (Log{"B children"}));
  EXPECT_TRUE(dir->Processed());
  EXPECT_FALSE(a->Processed());

  a->OnBeforeProcess = [](host::TObject*) { throw host::Exception("disk on fire"); };
  ScriptLog().clear();
  EXPECT_EQ(MessageOf<host::Exception>([&] { dir->Process(); }), "disk on fire");
  EXPECT_EQ(ScriptLog(), (Log{"B children"}));
}

TEST_F(InstallObjectTest, DuringARunAnObjectWaitsForItsContainer) {
  auto* install = Make<TInstall>("Install");
  auto* dir = Make<TTestDirectory>("Dir", install);
  auto* file = Make<TTestFile>("File", dir);
  install->SetRunning(true);
  install->SetProcessed(true);  // the run processes the install first
  file->Process();  // its container has not run yet
  EXPECT_EQ(ScriptLog(), Log{});
  dir->Process();
  EXPECT_EQ(ScriptLog(), Log{"File children"});
  ScriptLog().clear();
  file->Process();
  EXPECT_EQ(ScriptLog(), Log{"File children"});
  install->SetRunning(false);
}

TEST_F(InstallObjectTest, BroadcastsReachDirectChildrenThatShowPages) {
  auto* install = Make<TInstall>("Install");
  auto* dir = Make<TTestDirectory>("Dir", install);
  Make<TTestDialog>("Inner", dir);  // a grandchild: never reached
  auto* d1 = Make<TTestDialog>("D1", install);
  auto* d2 = Make<TTestDialog>("D2", install);
  install->ShowStatusMessage("Copying...");
  install->HideStatusMessage();
  EXPECT_EQ(ScriptLog(),
            (Log{"D2 -974", "Copying...", "D1 -974", "Copying...", "D2 -973", "D1 -973"}));

  ScriptLog().clear();
  install->SetSingleTarget(d1);
  install->Broadcast(install, imLicense, nullptr);
  EXPECT_EQ(ScriptLog(), Log{"D1 -981"});
  d1->SetContainer(dir);  // a target that left is not reached
  ScriptLog().clear();
  install->SetSingleTarget(d2);
  d2->SetContainer(dir);
  install->Broadcast(install, imLicense, nullptr);
  EXPECT_EQ(ScriptLog(), Log{});
}

TEST_F(InstallObjectTest, HandlersMayReorderOrFreeChildrenMidBroadcast) {
  auto* install = Make<TInstall>("Install");
  auto* a = Make<TTestDialog>("A", install);
  auto* b = Make<TTestDialog>("B", install);
  auto* c = Make<TTestDialog>("C", install);
  auto* d = Make<TTestDialog>("D", install);
  ASSERT_EQ(Children(*install), "D C B A");
  // D moves A and C to the front of the dialogs; B frees A before its turn.
  d->OnMessage = [&](int) {
    a->SetOrder(5);
    c->SetContainer(nullptr);
    c->SetContainer(install);
  };
  b->OnMessage = [&](int) { delete a; };
  install->Broadcast(install, imBeforeInstall, nullptr);
  EXPECT_EQ(ScriptLog(), (Log{"D -980", "C -980", "B -980"}));
  EXPECT_EQ(Children(*install), "C D B");
}

TEST_F(InstallObjectTest, SetOrderMovesOnlyOutsideLoading) {
  auto* install = Make<TInstall>("Install");
  auto* a = Make<TTestDialog>("A", install);
  Make<TTestDialog>("B", install);
  ASSERT_EQ(Children(*install), "B A");
  a->SetOrder(-1);  // unchanged: stays put
  EXPECT_EQ(Children(*install), "B A");
  a->SetOrder(3);
  EXPECT_EQ(Children(*install), "A B");
  EXPECT_EQ(a->Order(), 3);
}

TEST_F(InstallObjectTest, InformationEventsTravelUpThroughFileContainers) {
  auto* install = Make<TInstall>("Install");
  auto* outer = Make<TTestDirectory>("Outer", install);
  auto* inner = Make<TTestDirectory>("Inner", outer);
  auto* file = Make<TTestFile>("File", inner);
  file->Container()->DoInformationEventControl(file, ieFileInstalled, file);
  EXPECT_EQ(ScriptLog(), (Log{"Inner event 1001", "Outer event 1001"}));
}

TEST_F(InstallObjectTest, DestinationPathComesFromTheSpecifier) {
  auto* install = Make<TInstall>("Install");
  auto* dir = Make<TTestDirectory>("Dir", install);
  dir->SetDestDir("\\Sub\\");
  // In a container an object's base is its container's destination.
  EXPECT_NE(dynamic_cast<TpsContainerDestDir*>(dir->DestDirType()), nullptr);
  EXPECT_EQ(install->GetDestPath(), "C:\\Program Files\\MyApplication");
  EXPECT_EQ(dir->GetDestPath(), "C:\\Program Files\\MyApplication\\Sub");
  auto* spec = Make<TFixedSpecifier>("Spec");
  spec->path = "C:\\Program Files";
  dir->SetDestDirType(spec);
  EXPECT_EQ(spec->validated, dir);
  EXPECT_EQ(dir->GetDestPath(), "C:\\Program Files\\Sub");
  spec->refuse = true;
  auto* other = Make<TTestDirectory>("Other", install);
  TCustomPathSpecifier* before = other->DestDirType();
  EXPECT_THROW(other->SetDestDirType(spec), IEPathSpecifier);
  EXPECT_EQ(other->DestDirType(), before);
  delete spec;  // a specifier that goes is dropped
  EXPECT_EQ(dir->DestDirType(), nullptr);
  EXPECT_EQ(dir->GetDestPath(), "\\Sub");
}

TEST_F(InstallObjectTest, DownloadPercentIsRounded) {
  TDownloadStatusParameter p;
  p.SetProgress(3, 2);
  EXPECT_EQ(p.Percent, 67);
  p.SetProgress(0, 0);
  EXPECT_EQ(p.Percent, 0);
}

TEST_F(InstallObjectTest, ObjectsPlacedWhileDesigningStartInTheInstall) {
  auto* install = Make<TInstall>("Install");
  module_.SetDesigning(true);
  auto* file = Make<TTestFile>("File");
  auto* group = Make<TInstallGroup>("Group");
  EXPECT_TRUE(IsDesignMode(file));
  EXPECT_EQ(file->Container(), install);
  EXPECT_EQ(group->Container(), install);
  EXPECT_EQ(Children(*install), "Group File");
  EXPECT_NE(dynamic_cast<TpsContainerDestDir*>(file->DestDirType()), nullptr);
  // Written out, a defaulted container is still written: it is the
  // object's container now.
  const std::string text = host::WriteComponent(module_);
  EXPECT_NE(text.find("Container = Install"), std::string::npos) << text;
  module_.SetDesigning(false);
  EXPECT_FALSE(IsDesignMode(file));
  InstallGlobals().LibraryTool = true;
  EXPECT_TRUE(IsDesignMode(file));
  InstallGlobals().LibraryTool = false;
}

TEST_F(InstallObjectTest, LoadingDropsADefaultedContainerTheTextDoesNotName) {
  // While designing, a file read from text is first put into the install;
  // the text names no container for it, so loading takes it out again.
  auto* install = Make<TInstall>("Install");
  module_.SetDesigning(true);
  host::TComponent* read = host::ReadNewComponent(
      "object Loose: TTestFile\r\nend\r\n", &module_);
  auto* loose = dynamic_cast<TTestFile*>(read);
  ASSERT_NE(loose, nullptr);
  EXPECT_EQ(loose->Container(), nullptr);
  EXPECT_EQ(loose->DestDirType(), nullptr);
  EXPECT_EQ(Children(*install), "");
  module_.SetDesigning(false);
}

const char kScript[] = R"(object Script: TDataModule
  object Install: TInstall
    DestDir = '\Tavrin'
    RunAutomatic = False
    Information.CompanyName = 'Tavrin Labs'
    Information.ProductName = 'Tavrin Demo'
    InstallTypes = [itFull, itCompact]
  end
  object Engine: TInstallGroup
    Container = Install
    Description = 'Engine'
    DialogOptions.AllowChangeDir = False
    DialogOptions.Description = (
      'The engine'
      'and its packages')
  end
  object Docs: TInstallGroup
    Container = Install
    Include = False
    OS = [oswinNT, oswin2K, oswinXP]
  end
  object Bin: TTestDirectory
    Container = Engine
    Description = 'Binaries'
  end
  object Dll: TTestFile
    Container = Bin
  end
  object Pkg: TTestFile
    Container = Bin
  end
  object Keys: TInstallRegistry
    Container = Engine
    Entries = <
      item
        Ident = 'Path'
        Text = 'C:\Tavrin'
      end
      item
        Ident = 'Count'
        EntryType = retInteger
        Integer = 3
      end>
    KeySpecifierType = ksVersion
  end
  object Welcome: TTestDialog
    Container = Install
    Order = 2
  end
end
)";

TEST_F(InstallObjectTest, ScriptLoadsFromTextIntoItsTree) {
  host::TComponent* read = host::ReadNewComponent(kScript, nullptr);
  ASSERT_NE(read, nullptr);
  std::unique_ptr<host::TComponent> script(read);
  auto* install = GlobalInstall();
  ASSERT_NE(install, nullptr);
  EXPECT_EQ(install->DestDir(), "\\Tavrin");
  EXPECT_EQ(install->Information().ProductName, "Tavrin Demo");
  EXPECT_EQ(install->InstallTypes(), ItBit(itFull) | ItBit(itCompact));
  EXPECT_EQ(Children(*install), "Docs Engine Welcome");
  auto* engine = static_cast<TInstallGroup*>(script->FindComponent("Engine"));
  EXPECT_EQ(Children(*engine), "Bin Keys");
  EXPECT_FALSE(engine->DialogOptions().AllowChangeDir());
  EXPECT_EQ(engine->DialogOptions().Description().Count(), 2);
  auto* bin = static_cast<TInstallContainer*>(script->FindComponent("Bin"));
  EXPECT_EQ(Children(*bin), "Pkg Dll");
  auto* docs = static_cast<TInstallGroup*>(script->FindComponent("Docs"));
  EXPECT_FALSE(docs->Include());
  EXPECT_EQ(docs->OS(), OsBit(oswinNT) | OsBit(oswin2K) | OsBit(oswinXP));
  auto* keys = static_cast<TInstallRegistry*>(script->FindComponent("Keys"));
  ASSERT_EQ(keys->Entries().Count(), 2);
  EXPECT_EQ(keys->Entries().Items(0)->EntryType(), retText);
  EXPECT_EQ(keys->Entries().Items(1)->EntryType(), retInteger);
  EXPECT_EQ(keys->Entries().Items(1)->Registry(), keys);
  EXPECT_EQ(keys->GetKeyPath(), "\\SOFTWARE\\Tavrin Labs\\Tavrin Demo\\1.0");

  // Written and read again, the script is the same.
  const std::string text = host::WriteComponent(*script);
  script.reset();
  EXPECT_EQ(GlobalInstall(), nullptr);
  EXPECT_EQ(InstallGlobals().Containers.Count(), 0);
  std::unique_ptr<host::TComponent> again(host::ReadNewComponent(text, nullptr));
  EXPECT_EQ(host::WriteComponent(*again), text);
  EXPECT_EQ(Children(*GlobalInstall()), "Docs Engine Welcome");
}

TEST_F(InstallObjectTest, ScriptsWithBadReferencesAreRefused) {
  const struct {
    const char* text;
    const char* error;
  } cases[] = {
      {"object S: TDataModule\r\n  object Install: TInstall\r\n  end\r\n"
       "  object A: TTestDirectory\r\n    Container = B\r\n  end\r\n"
       "  object B: TTestDirectory\r\n    Container = A\r\n  end\r\nend\r\n",
       "Circular reference"},
      {"object S: TDataModule\r\n  object Install: TInstall\r\n  end\r\n"
       "  object A: TTestDirectory\r\n    Container = Install\r\n  end\r\n"
       "  object G: TInstallGroup\r\n    Container = A\r\n  end\r\nend\r\n",
       "A TInstallGroup component can only be contained by a TInstall, or another TInstallGroup "
       "component"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    const std::string message =
        MessageOf<host::Exception>([&] { delete host::ReadNewComponent(c.text, nullptr); });
    EXPECT_NE(message.find(c.error), std::string::npos) << message;
    EXPECT_EQ(GlobalInstall(), nullptr);
    EXPECT_EQ(InstallGlobals().Containers.Count(), 0);
  }
}

// ---- the install library's directory ----

TEST_F(InstallObjectTest, LibraryDirectoryIsFoundOnTheSearchPath) {
  ASSERT_TRUE(os::WinForceDirectories("C:\\Delphi5\\Orlane"));
  ASSERT_TRUE(os::WinForceDirectories("C:\\Other"));
  const std::string missing = "Cannot find the the Orlane directory on the VCL library search path";
  EXPECT_EQ(MessageOf<IENoOrlanePath>([] { GetLibraryDirectory(true); }), missing);
  EXPECT_EQ(GetLibraryDirectory(false), "");

  RegWriteString(hkCurrentUser, "\\Software\\Borland\\Delphi\\5.0\\Library", "Search Path",
                 "C:\\Other;$(DELPHI)\\Orlane\\;C:\\Missing");
  RegWriteString(hkLocalMachine, "\\Software\\Borland\\Delphi\\5.0", "RootDir", "C:\\Delphi5");
  EXPECT_EQ(MessageOf<IENoOrlanePath>([] { GetLibraryDirectory(true); }), missing);
  EXPECT_EQ(GetLibraryDirectory(false), "");
  {
    std::FILE* f = std::fopen(OnC("Delphi5/Orlane/O32V52.TXT").c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
  }
  EXPECT_EQ(GetLibraryDirectory(true), "C:\\Delphi5\\Orlane");
}

}  // namespace
}  // namespace orln::test
