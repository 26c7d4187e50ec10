#include "installer/frontend/main_form.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "host/forms/scripted_presenter.h"
#include "host/forms/std_controls.h"
#include "host/rtl/sys_utils.h"
#include "installer/engine/base/install_globals.h"
#include "installer/engine/base/orln_registry.h"
#include "installer/engine/script/install_file.h"
#include "installer/engine/script/install_registry.h"
#include "installer/frontend/decorative_controls.h"
#include "installer/frontend/frontend_classes.h"
#include "installer/frontend/product_pages.h"
#include "os/testing/test_machine.h"
#include "os/win_file.h"

namespace orln {
namespace {

constexpr char kD6Key[] = "\\software\\Borland\\Delphi\\6.0";
constexpr char kD7Key[] = "\\software\\Borland\\Delphi\\7.0";
constexpr char kDest[] = "C:\\Program Files\\Tavrin";

class MainFormTest : public os::test::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    InstallLog().Clear();
    SetInstallLogDirectory("");
    RegisterInstallClasses();
    RegisterFrontendClasses();
    auto p = std::make_unique<host::TScriptedPresenter>();
    presenter_ = p.get();
    app_.SetPresenter(std::move(p));
  }
  void TearDown() override {
    main_.reset();
    InstallGlobals().Compress.SetAbort(false);
    InstallLog().Clear();
    SetInstallLogDirectory("");
    MachineTest::TearDown();
  }

  static void AddIDE(const std::string& key, const std::string& root) {
    RegWriteString(hkLocalMachine, key, "RootDir", root);
    RegWriteString(hkCurrentUser, key + "\\Palette", "Standard", "TButton;TLabel");
    RegWriteString(hkCurrentUser, key + "\\Known Packages", "$(DELPHI)\\Bin\\dclstd70.bpl", "Standard");
    RegWriteString(hkCurrentUser, key + "\\Library", "Search Path", "$(DELPHI)\\Lib");
  }
  TMainForm& Make() {
    main_.reset();
    main_.reset(host::New<TMainForm>(nullptr));
    return *main_;
  }
  // A file for the Delphi 6 directory, so that two IDEs are supported.
  void GiveDelphi6AFile() {
    auto* file = host::New<TInstallFile>(main_.get());
    file->SetName("ExtraD6");
    file->SetFileName("dcltav14d6.bpl");
    file->SetContainer(&main_->IDEDirectory(ipDelphi6));
  }
  void Send(int code) { main_->Install().Broadcast(&main_->Install(), code, nullptr); }

  const std::vector<std::string>& Transcript() const { return presenter_->Transcript(); }
  bool TranscriptHas(const std::string& piece) const {
    for (const std::string& l : Transcript())
      if (l.find(piece) != std::string::npos) return true;
    return false;
  }
  // The lines shown with the first showing of the named page.
  std::vector<std::string> ShownWith(const std::string& name) const {
    std::vector<std::string> out;
    const auto& t = Transcript();
    for (size_t i = 0; i < t.size(); ++i) {
      if (t[i].rfind("show ", 0) != 0 || t[i].find(" " + name + " '") == std::string::npos) continue;
      for (size_t j = i + 1; j < t.size() && t[j].rfind("  ", 0) == 0 && t[j].rfind("  >", 0) != 0; ++j)
        out.push_back(t[j].substr(2));
      break;
    }
    return out;
  }
  bool Shown(const std::string& name) const { return !ShownWith(name).empty(); }
  static bool LogHas(const std::string& line) { return InstallLog().IndexOf(line) >= 0; }

  host::TApplication app_;
  host::TScriptedPresenter* presenter_ = nullptr;
  std::unique_ptr<TMainForm> main_;
};

TEST_F(MainFormTest, TheFormTextHoldsTheWholeScript) {
  TMainForm& main = Make();
  EXPECT_EQ(MainForm(), &main);
  EXPECT_EQ(main.Caption(), "MainForm");
  EXPECT_EQ(main.Width(), 560);
  EXPECT_EQ(main.Height(), 484);

  // Every specifier comes before the first install container, and none is
  // made twice.
  int firstContainer = -1, lastSpecifier = -1, programFiles = 0;
  std::vector<TInstallFile*> files;
  for (int i = 0; i < main.ComponentCount(); ++i) {
    host::TComponent* c = main.Components(i);
    if (dynamic_cast<TCustomPathSpecifier*>(c) != nullptr && dynamic_cast<TpsFileContainer*>(c) == nullptr)
      lastSpecifier = i;
    if (firstContainer < 0 && dynamic_cast<TInstallContainer*>(c) != nullptr) firstContainer = i;
    programFiles += dynamic_cast<TpsProgramFiles*>(c) != nullptr;
    if (auto* f = dynamic_cast<TInstallFile*>(c)) files.push_back(f);
  }
  EXPECT_LT(lastSpecifier, firstContainer);
  EXPECT_EQ(programFiles, 1);
  EXPECT_TRUE(StandardPathSpecifiers().EnsureStandardSpecifiers(nullptr, false));

  // The 94 files in the script's order, each where its container goes.
  ASSERT_EQ(files.size(), 94u);
  EXPECT_EQ(files[0]->FileName(), "readme.txt");
  EXPECT_EQ(files[6]->FileName(), "tavVerControl.dcu");
  EXPECT_EQ(files[47]->FileName(), "dcltav14d7.bpl");
  EXPECT_EQ(files[48]->FileName(), "Blobs.dpr");
  EXPECT_EQ(files[93]->FileName(), "SecurityDemo.tav");
  for (TInstallFile* f : files) {
    ASSERT_NE(f->DestDirType(), nullptr) << f->FileName();
    EXPECT_EQ(f->DestDirType()->Name(), "psContainerDestDir") << f->FileName();
    EXPECT_EQ(f->IncludeFromDir(), "C:\\stage\\payload\\" + f->Container()->Name()) << f->FileName();
  }
  EXPECT_TRUE(files[4]->RegisterAsHelp());
  EXPECT_EQ(main.Install().GetDestPath(), kDest);
  EXPECT_EQ(host::Child<TInstallDirectory>(main, "HelpDir").GetDestPath(), std::string(kDest) + "\\Help");
  EXPECT_EQ(main.IDEDirectory(ipBuilder6).GetDestPath(), std::string(kDest) + "\\Builder6");
  EXPECT_EQ(host::Child<TInstallDirectory>(main, "SysDir").GetDestPath(), "C:\\WINDOWS\\system32");
  EXPECT_FALSE(host::Child<TInstallDirectory>(main, "SourceDir").Include());
  EXPECT_NE(main.FindComponent("MainTranslator"), nullptr);

  // What FormCreate set.
  EXPECT_NE(main.PackageInstaller(), nullptr);
  EXPECT_EQ(host::Child<TInstallRegistry>(main, "InstallRegistry").Key(), "\\Software\\Fennick Software\\Tavrin");
  EXPECT_EQ(main.Install().Information().GetCompanyName(), "Fennick Software");
  EXPECT_EQ(main.Install().Information().GetProductName(), "Tavrin Database Engine");
  EXPECT_EQ(host::Child<TRotate3DLabel>(main, "ProductLabel").Caption(), "Tavrin Database Engine");
  EXPECT_EQ(InstallLog().Strings(0), "Commencing Installation - Tavrin Database Engine");

  // Only Delphi 7 carries files.
  EXPECT_TRUE(main.Supported(ipDelphi7));
  EXPECT_FALSE(main.Supported(ipBuilder6));
  EXPECT_EQ(main.SupportedCount(), 1);
  EXPECT_TRUE(LogHas("CheckComponentSupportVersion Delphi 7: True"));
  EXPECT_TRUE(LogHas("GetComponentInstallationCount 1"));
  EXPECT_FALSE(main.AnyAvailable());  // no IDE on this machine
}

TEST_F(MainFormTest, WithOneSupportedIDETheWizardSkipsTheVersionPage) {
  AddIDE(kD7Key, "C:\\Program Files\\Borland\\Delphi7");
  TMainForm& main = Make();
  // No answers at all: each page's default button walks on.
  Send(imBeforeInstall);
  EXPECT_TRUE(Shown("WelcomeForm"));
  EXPECT_FALSE(Shown("BeforeInstallDialog1"));
  EXPECT_TRUE(LogHas("Delphi Ver Dlg skip - True"));
  for (TIDEProduct p : kIDEWalk) EXPECT_TRUE(main.Chosen(p));
  EXPECT_TRUE(main.IDEDirectory(ipDelphi7).Include());
  EXPECT_FALSE(main.IDEDirectory(ipDelphi6).Include());  // no files

  const std::vector<std::string> welcome = ShownWith("WelcomeForm");
  bool intro = false;
  for (const std::string& l : welcome)
    intro = intro || l.find("install a copy of the Tavrin Database Engine onto") != std::string::npos;
  EXPECT_TRUE(intro);
  EXPECT_TRUE(std::find(welcome.begin(), welcome.end(), "BackBtn: << Back>") == welcome.end());

  const std::vector<std::string> dest = ShownWith("SelectDestinationForm");
  bool path = false;
  for (const std::string& l : dest) path = path || l.find(kDest) != std::string::npos;
  EXPECT_TRUE(path);
  EXPECT_TRUE(std::find(dest.begin(), dest.end(), "BackBtn: << Back>") != dest.end());

  host::TStringList summary;
  main.Summary(summary);
  EXPECT_EQ(summary.Text(),
            "\r\nTavrin Database Engine V141\r\n"
            "Developer Edition: engine, components, demonstrations and help\r\n\r\n"
            "Product Versions to install:\r\n     Delphi 7\r\n\r\nInstallation directory:\r\n"
            "C:\\Program Files\\Tavrin\r\n");
  EXPECT_TRUE(LogHas("Installation Settings"));
  EXPECT_EQ(InstallLogDirectory(), kDest);
  bool memo = false;
  for (const std::string& l : ShownWith("ConfirmInstall")) memo = memo || l.find("     Delphi 7") != std::string::npos;
  EXPECT_TRUE(memo);
}

TEST_F(MainFormTest, TheVersionPageRefusesUntilAnAvailableIDEIsChecked) {
  // No IDE on the machine, two supported: the first warning, then Cancel.
  TMainForm& main = Make();
  GiveDelphi6AFile();
  presenter_->LoadAnswers(
      "[BeforeInstallDialog1]\nclick ProceedBtn\nmessage OK\nclick CancelBtn\nmessage Yes\n");
  EXPECT_THROW(Send(imBeforeInstall), EAIUserAbort);
  EXPECT_TRUE(LogHas("Delphi Ver Dlg skip - False"));
  EXPECT_TRUE(TranscriptHas("No Delphi products are selected or the correct version of Delphi is not "
                            "present on this system. Installation is unable to proceed."));
  EXPECT_FALSE(Shown("ConfirmInstall"));
  EXPECT_EQ(main.Install().GetDestPath(), kDest);
}

TEST_F(MainFormTest, TheConfirmPageListsOnlyTheChosenIDEs) {
  AddIDE(kD6Key, "C:\\D6");
  AddIDE(kD7Key, "C:\\D7");
  TMainForm& main = Make();
  GiveDelphi6AFile();
  // Both unchecked: the second warning; then Delphi 7 alone.
  presenter_->LoadAnswers(
      "[BeforeInstallDialog1]\ncheck D6CB 0\ncheck D7CB 0\nclick ProceedBtn\nmessage OK\n"
      "check D7CB 1\nclick ProceedBtn\n");
  Send(imBeforeInstall);
  EXPECT_TRUE(TranscriptHas(
      "Either no products are selected or present on this system. Installation is unable to proceed."));
  EXPECT_TRUE(main.Chosen(ipDelphi7));
  EXPECT_FALSE(main.Chosen(ipDelphi6));
  EXPECT_FALSE(main.IDEDirectory(ipDelphi6).Include());
  bool d6 = false, d7 = false;
  for (const std::string& l : ShownWith("ConfirmInstall")) {
    d6 = d6 || l.find("Delphi 6") != std::string::npos;
    d7 = d7 || l.find("Delphi 7") != std::string::npos;
  }
  EXPECT_TRUE(d7);
  EXPECT_FALSE(d6);
}

TEST_F(MainFormTest, CancelOnEveryPageBeforeTheInstallAborts) {
  AddIDE(kD6Key, "C:\\D6");
  AddIDE(kD7Key, "C:\\D7");
  const char* pages[] = {"WelcomeForm", "BeforeInstallDialog1", "SelectDestinationForm", "ConfirmInstall"};
  for (const char* page : pages) {
    Make();
    GiveDelphi6AFile();
    presenter_->LoadAnswers(std::string("[") + page + "]\nclick CancelBtn\nmessage Yes\n");
    EXPECT_THROW(Send(imBeforeInstall), EAIUserAbort) << page;
    EXPECT_TRUE(Shown(page)) << page;
  }
}

TEST_F(MainFormTest, AnEarlierInstallPathAndTheDestinationPage) {
  AddIDE(kD7Key, "C:\\D7");
  RegWriteString(hkLocalMachine, "\\Software\\Fennick Software\\Tavrin", "InstallPath", "D:\\Tools\\Tavrin");
  TMainForm& main = Make();
  main.Install1AfterInitialized(&main.Install());
  EXPECT_EQ(main.Install().GetDestPath(), "D:\\Tools\\Tavrin");
  EXPECT_TRUE(LogHas("Install1AfterInitialized. Moving Dir to: D:\\Tools\\Tavrin"));
  EXPECT_EQ(InstallLogDirectory(), "D:\\Tools\\Tavrin");

  // Typing sets the destination; a browse keeps the last component, and the
  // folders made only to start it go again.
  ASSERT_TRUE(os::WinForceDirectories("C:\\Apps"));
  presenter_->LoadAnswers(
      "[SelectDestinationForm]\ntype edDestDir C:\\Work\\New\\Tavrin\nclick BrowseBtn\nfolder C:\\Apps\\\n"
      "click ProceedBtn\n");
  Send(imBeforeInstall);
  EXPECT_EQ(main.Install().GetDestPath(), "C:\\Apps\\Tavrin");
  EXPECT_EQ(main.Install().DestDirType(), nullptr);
  EXPECT_FALSE(os::WinDirectoryExists("C:\\Work\\New\\Tavrin"));
  EXPECT_FALSE(os::WinDirectoryExists("C:\\Work"));
  EXPECT_TRUE(os::WinDirectoryExists("C:\\Apps"));

  // A folder that was there stays.
  Make();
  TMainForm& again = *main_;
  ASSERT_TRUE(os::WinForceDirectories("C:\\Kept\\Tavrin"));
  presenter_->LoadAnswers(
      "[SelectDestinationForm]\ntype edDestDir C:\\Kept\\Tavrin\nclick BrowseBtn\nfolder\nclick ProceedBtn\n");
  Send(imBeforeInstall);
  EXPECT_TRUE(os::WinDirectoryExists("C:\\Kept\\Tavrin"));
  EXPECT_EQ(again.Install().GetDestPath(), "C:\\Kept\\Tavrin");  // cancelled: as typed
}

TEST_F(MainFormTest, TheGoodInstallHandlerRegistersTheChosenIDEsAndTheLastPageFinishes) {
  AddIDE(kD6Key, "C:\\D6");
  AddIDE(kD7Key, "C:\\D7");
  TMainForm& main = Make();
  // Not chosen: nothing registered.
  main.Install1BeforeNotifyGoodInstall(&main.Install());
  EXPECT_FALSE(LogHas("Installing product. Product - Delphi 7 Starting"));

  main.SetChosen(ipDelphi7, true);
  main.SetChosen(ipDelphi6, true);  // chosen, but its directory carries no files
  main.ChooseIDEs();
  main.Install1BeforeNotifyGoodInstall(&main.Install());
  EXPECT_EQ(RegReadString(hkCurrentUser, std::string(kD7Key) + "\\Known Packages",
                          "C:\\Program Files\\Tavrin\\Delphi7\\dcltav14d7.bpl", "(missing)"),
            "Tavrin Database Engine");
  EXPECT_EQ(RegReadString(hkCurrentUser, std::string(kD7Key) + "\\Palette", "Data Access", "(missing)"),
            "TTavDatabase;TTavTable;TTavQuery");
  EXPECT_EQ(RegReadString(hkCurrentUser, std::string(kD6Key) + "\\Palette", "Data Access", "(missing)"),
            "(missing)");
  const std::vector<std::string> expected = {"Installing product. Pre: Delphi 7",
                                             "Installing product. Product - Delphi 7 Starting"};
  const int at = InstallLog().IndexOf(expected[0]);
  ASSERT_GE(at, 0);
  EXPECT_EQ(InstallLog().Strings(at + 1), expected[1]);
  EXPECT_TRUE(LogHas("Installing product. Product - Delphi 7 Done"));
  EXPECT_TRUE(LogHas("Installing product. Post: Delphi 7"));

  // After the install: the completion page is the last and finishes.
  Send(imAfterGoodInstall);
  const std::vector<std::string> done = ShownWith("AfterGoodInstallDlg");
  EXPECT_TRUE(std::find(done.begin(), done.end(), "FinishBtn: <Finish>") != done.end());
  EXPECT_TRUE(std::find(done.begin(), done.end(), "ProceedBtn: <Next >>") == done.end());
}

TEST_F(MainFormTest, TheChoicesOutliveARestartAndTheResumedRunRegistersThem) {
  AddIDE(kD7Key, "C:\\D7");
  const std::string history = "\\Software\\Test\\Install1";
  {
    TMainForm& first = Make();
    InstallGlobals().HistoryKeyPath = history;
    first.SetChosen(ipDelphi7, true);
    first.ChooseIDEs();
    EXPECT_EQ(RegReadString(hkLocalMachine, history, "IDEChoices", ""), "\"Delphi 7\"");
  }
  // The -r start shows no pages: its good-install handler takes the kept choices.
  TMainForm& resumed = Make();
  InstallGlobals().HistoryKeyPath = history;
  EXPECT_FALSE(resumed.Chosen(ipDelphi7));
  resumed.Install1BeforeNotifyGoodInstall(&resumed.Install());
  EXPECT_TRUE(resumed.Chosen(ipDelphi7));
  EXPECT_EQ(RegReadString(hkCurrentUser, std::string(kD7Key) + "\\Known Packages",
                          "C:\\Program Files\\Tavrin\\Delphi7\\dcltav14d7.bpl", "(missing)"),
            "Tavrin Database Engine");
  InstallGlobals().HistoryKeyPath.clear();
}

}  // namespace
}  // namespace orln
