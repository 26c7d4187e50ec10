#include "installer/frontend/dialog_manager.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "installer/engine/script/install_file.h"
#include "installer/engine/paths/install_paths.h"
#include "host/rtl/sys_utils.h"
#include "os/win_file.h"
#include "installer/frontend/progress_forms.h"
#include "installer/frontend/testing/frontend_fixture.h"

namespace orln {
namespace {

using test::FrontendTest;

std::vector<std::string>& PageLog() {
  static std::vector<std::string> log;
  return log;
}

// A page built in code: Back, Next (the default) and Cancel; it notes what
// it sees when prepared.
class TTestPage : public TBaseInstallForm {
 public:
  explicit TTestPage(host::TComponent* owner) : TBaseInstallForm(owner) {
    Button("BackBtn", [this](host::TObject*) { PreviousPage(); });
    Button("ProceedBtn", [this](host::TObject*) { NextPage(); })->SetDefault(true);
    Button("CancelBtn", [this](host::TObject*) { AbortInstall(); });
    Button("FailBtn", [](host::TObject*) { throw IEDialogManager("a page handler failed"); });
  }
  bool SkipPage() const override { return skip; }
  void PrepareShow() override {
    std::string note = Name() + (IsFirstPage() ? " first" : "") + (IsLastPage() ? " last" : "");
    if (Host() != nullptr)
      note += " at " + std::to_string(Host()->Left()) + "," + std::to_string(Host()->Top()) + " " +
              std::to_string(Host()->Width()) + "x" + std::to_string(Host()->Height());
    PageLog().push_back(note);
  }
  static const host::TPropertyTable& ClassProperties() {
    static const host::TPropertyTable table = host::PublishClass<TTestPage>(
        "TTestPage", &TBaseInstallForm::ClassProperties(), [](host::TPublisher<TTestPage>&) {});
    return table;
  }
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }
  bool skip = false;

 private:
  host::TButton* Button(const std::string& name, std::function<void(host::TObject*)> click) {
    auto* b = new host::TButton(this);
    b->SetName(name);
    b->SetCaption(name);
    b->SetParent(this);
    b->OnClick = std::move(click);
    return b;
  }
};

// Puts a TTestPage named Page<Order> into its manager's pages.
class TTestPageDlg : public TCustomBaseInstallDlg {
 public:
  using TCustomBaseInstallDlg::TCustomBaseInstallDlg;
  const host::TPropertyTable& FormClass() const override { return TTestPage::ClassProperties(); }
  bool CanExecute() override { return can_execute; }
  void AssignDialogProperties() override {
    if (fail) throw IEBaseInstallDlg("properties refused");
    TCustomBaseInstallDlg::AssignDialogProperties();
    Form()->SetName("Page" + std::to_string(Order()));
    Form()->SetCaption("Page" + std::to_string(Order()));
    static_cast<TTestPage*>(Form())->skip = skip;
  }
  static const host::TPropertyTable& ClassProperties() {
    static const host::TPropertyTable table = host::PublishClass<TTestPageDlg>(
        "TTestPageDlg", &TCustomBaseInstallDlg::ClassProperties(),
        [](host::TPublisher<TTestPageDlg>& p) { Publish(p, 0); });
    return table;
  }
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }
  bool skip = false;
  bool can_execute = true;
  bool fail = false;
};

class DialogManagerTest : public FrontendTest {
 protected:
  void SetUp() override {
    FrontendTest::SetUp();
    PageLog().clear();
  }
  // Pages of the registration phase, made in the order given.
  TDialogManager* PagesOf(std::initializer_list<int> orders, std::initializer_list<int> skipped = {}) {
    TDialogManager* m = Manager("Pages", dmRegistration);
    for (int order : orders) {
      auto* d = Make<TTestPageDlg>("Dlg" + std::to_string(order));
      d->SetOrder(order);
      d->SetDialogManager(m);
      for (int s : skipped) d->skip = d->skip || s == order;
    }
    return m;
  }
  // Nothing of a showing is left: no host, no pages, no current manager.
  void ExpectNothingHeld() {
    EXPECT_EQ(CurrentDialogManager(), nullptr);
    EXPECT_EQ(FormsOf("TBaseFormContainer"), 0);
    EXPECT_EQ(FormsOf("TTestPage"), 0);
  }
};

TEST_F(DialogManagerTest, PagesShowByOrderAndSkippedPagesPassInBothDirections) {
  PagesOf({40, 5, 60, 20, 45}, {45});
  presenter_->LoadAnswers(
      "[Page5]\nclick ProceedBtn\n"
      "[Page20]\nclick ProceedBtn\n"
      "[Page40]\nclick ProceedBtn\n"
      "[Page60]\nclose\nclick BackBtn\n"
      "[Page40]\nclick ProceedBtn\n"
      "[Page60]\nclick ProceedBtn\n");
  Send(imRegistration);
  EXPECT_EQ(Shown("TTestPage"), (std::vector<std::string>{"Page5", "Page20", "Page40", "Page60", "Page40", "Page60"}));
  // The skipped page is passed both ways; the close button changed nothing;
  // the last Next ended the host with OK (no abort raised).
  EXPECT_EQ(PageLog(), (std::vector<std::string>{"Page5 first at 273,186 478x395", "Page20 at 273,186 478x395",
                                                 "Page40 at 273,186 478x395", "Page60 last at 273,186 478x395",
                                                 "Page40 at 273,186 478x395", "Page60 last at 273,186 478x395"}));
  EXPECT_TRUE(Has(Transcript(), "  > close"));
  ExpectNothingHeld();
}

TEST_F(DialogManagerTest, NextPastOnlySkippedPagesFinishesAndAllSkippedShowsNone) {
  PagesOf({10, 20, 30}, {20, 30});
  Send(imRegistration);  // default answers: Next on each page
  EXPECT_EQ(Shown("TTestPage"), (std::vector<std::string>{"Page10"}));
  // Next finds no later page and shows the current one again before the
  // host finishes.
  EXPECT_EQ(PageLog(), (std::vector<std::string>{"Page10 first at 273,186 478x395",
                                                 "Page10 first at 273,186 478x395"}));
  ExpectNothingHeld();

  // Only skipped pages: the host ends at once with OK instead of waiting
  // with nothing to answer.
  PageLog().clear();
  for (int i = 0; i < module_->ComponentCount(); ++i)
    if (auto* d = dynamic_cast<TTestPageDlg*>(module_->Components(i))) d->skip = true;
  presenter_->SetStrict(true);
  Send(imRegistration);
  EXPECT_TRUE(PageLog().empty());
  ExpectNothingHeld();
}

TEST_F(DialogManagerTest, AManagerShowsOnlyItsPhasesPagesAndNothingWithoutPages) {
  TDialogManager* m = Manager("Empty", dmRegistration);
  presenter_->SetStrict(true);  // any form shown would fail
  Send(imRegistration);
  Send(imBeforeInstall);
  EXPECT_TRUE(Transcript().empty());
  ExpectNothingHeld();

  // A component whose CanExecute is false brings no page; nor does the
  // registration code reach a manager of another phase.
  auto* d = Make<TTestPageDlg>("Dlg1");
  d->SetDialogManager(m);
  d->can_execute = false;
  Send(imRegistration);
  m->SetManagerType(dmUninstall);
  d->can_execute = true;
  Send(imRegistration);
  EXPECT_TRUE(Transcript().empty());
}

TEST_F(DialogManagerTest, CancelEndsTheRunAsAUserAbortAndReleasesEverything) {
  PagesOf({1, 2});
  presenter_->LoadAnswers("[Page1]\nclick ProceedBtn\n[Page2]\nclick FailBtn\nclick CancelBtn\n");
  EXPECT_THROW(Send(imRegistration), EAIUserAbort);
  // The failing handler was reported and the page went on.
  bool reported = false;
  for (const std::string& l : Transcript()) reported = reported || l.find("a page handler failed") != std::string::npos;
  EXPECT_TRUE(reported);
  ExpectNothingHeld();

  // Building the pages fails: the same release.
  for (int i = 0; i < module_->ComponentCount(); ++i)
    if (auto* d = dynamic_cast<TTestPageDlg*>(module_->Components(i))) d->fail = true;
  EXPECT_THROW(Send(imRegistration), IEBaseInstallDlg);
  ExpectNothingHeld();

  // So does a presenter that cannot answer.
  for (int i = 0; i < module_->ComponentCount(); ++i)
    if (auto* d = dynamic_cast<TTestPageDlg*>(module_->Components(i))) d->fail = false;
  presenter_->SetStrict(true);
  EXPECT_THROW(Send(imRegistration), host::EPresenterError);
  ExpectNothingHeld();

  // Without a current manager the host has nothing to build from.
  std::unique_ptr<TBaseFormContainer> host(host::New<TBaseFormContainer>(nullptr));
  EXPECT_EQ(test::MessageOf<IEDialogManager>([&] { host->BuildPages(); }),
            "The current dialog manager is not defined");
}

TEST_F(DialogManagerTest, ARefusedAbortLeavesPagesAndCopyGoing) {
  int asked = 0;
  install_->OnUserAbort = [&](host::TObject*, bool& abort) {
    ++asked;
    abort = false;
  };
  PagesOf({1});
  presenter_->LoadAnswers("[Page1]\nclick CancelBtn\nclick ProceedBtn\n");
  Send(imRegistration);  // no abort: Next still finished the pages
  EXPECT_EQ(asked, 1);
  ExpectNothingHeld();

  Manager("Copy", dmDuringCopyFiles);
  TFileStatusParameter status;
  status.OverallPercent = 50;
  Send(imFileStatus, &status);
  auto* form = dynamic_cast<TCopyFileForm*>(FindDialogManager(dmDuringCopyFiles)->ProgressForms(0));
  ASSERT_NE(form, nullptr);
  form->CancelBtnClick(form);
  EXPECT_EQ(asked, 2);
  EXPECT_FALSE(InstallGlobals().Compress.Abort());
  EXPECT_FALSE(install_->Aborted());
  Send(imCopyFinished);
}

TEST_F(DialogManagerTest, ParameterErrorsNameTheManager) {
  Manager("CopyManager", dmDuringCopyFiles);
  TFileStatusParameter file;
  TDownloadStatusParameter download;
  EXPECT_EQ(test::MessageOf<IEDialogManager>([&] { Send(imFileStatus); }), "CopyManager got a nil PO parameter");
  EXPECT_EQ(test::MessageOf<IEDialogManager>([&] { Send(imFileStatus, &download); }),
            "The PO object passed to CopyManager is not a TFileStatusParameter object");
  EXPECT_EQ(test::MessageOf<IEDialogManager>([&] { Send(imDownloadStatus, &file); }),
            "The PO object passed to CopyManager is not a TDownloadStatusParameter object");

  Manager("DiskManager", dmChangeDisk);
  auto* installFile = Make<TInstallFile>("File1");
  TDiskParameter disk;
  TMessageParameter message;
  TMessageList shortList, badFirst, badSecond;
  shortList.Items = {installFile};
  badFirst.Items = {&disk, &disk};
  badSecond.Items = {installFile, installFile};
  const auto diskError = [&](host::TObject* p) {
    return test::MessageOf<IEDialogManager>([&] { Send(imChangeDisk, p); });
  };
  EXPECT_EQ(diskError(nullptr), "The ParameterObject is Nil in the TDialogManager. Cannot show the change disk form");
  EXPECT_EQ(diskError(&message), "TChangeDiskDlg--PO is not a TList object");
  EXPECT_EQ(diskError(&shortList), "TChangeDiskDlg--Not engouh parameters for status event");
  EXPECT_EQ(diskError(&badFirst), "TChangeDiskDlg says bad first parameter");
  EXPECT_EQ(diskError(&badSecond), "TChangeDiskDlg says bad second parameter");
  EXPECT_EQ(FormsOf("TChangeDiskForm"), 0);
  EXPECT_EQ(CurrentDialogManager(), nullptr);

  EXPECT_EQ(test::MessageOf<IEDialogManager>([&] { install_->CompOf<TDialogManager>(0)->AddDialog(nullptr); }),
            "Cannot add a NIL Dialog to the Dialog Manager DiskManager");
  auto* d = Make<TTestPageDlg>("Lonely");
  EXPECT_EQ(test::MessageOf<IEBaseInstallDlg>([&] { d->AssignDialogProperties(); }),
            "Cannot AssignDialogProperties for Lonely because the Dialog is Nil");
  EXPECT_EQ(test::MessageOf<IEDialogManager>([&] { BIFList().Items(BIFList().Count()); }),
            std::to_string(BIFList().Count()) + " is an invalid index in the BIFList");
}

TEST_F(DialogManagerTest, PlacementOnTheGridFollowsTheProfilesScreen) {
  machine_->Profile().ScreenWidth = 800;
  machine_->Profile().ScreenHeight = 600;
  machine_->Profile().CaptionHeight = 20;
  host::TControl form(nullptr);
  form.SetBounds(0, 0, 201, 100);
  const auto at = [&](TOrlaneDialogPosition p, int left, int top) {
    SetDialogPosition(form, p, left, top);
    return std::to_string(form.Left()) + "," + std::to_string(form.Top());
  };
  // Halves round to even: 299.5 gives 300.
  EXPECT_EQ(at(odpCenterLeft, 10, 20), "10,270");
  EXPECT_EQ(at(odpCenter, 10, 20), "310,270");
  EXPECT_EQ(at(odpCenterRight, 10, 20), "589,270");
  EXPECT_EQ(at(odpTopLeft, 10, 20), "10,20");
  EXPECT_EQ(at(odpTopCenter, 10, 20), "310,20");
  EXPECT_EQ(at(odpTopRight, 10, 20), "589,20");
  // 10 from the right edge, 20 plus the caption height above the bottom.
  EXPECT_EQ(at(odpBottomLeft, 10, 20), "10,460");
  EXPECT_EQ(at(odpBottomCenter, 10, 20), "310,460");
  EXPECT_EQ(at(odpBottomRight, 10, 20), "589,460");
  EXPECT_EQ(at(odpCenter, -5, -7), "295,243");

  // The host takes the manager's size and place.
  TDialogManager* m = PagesOf({1});
  m->SetPosition(odpTopRight);
  m->SetRelativeLeftOffset(7);
  m->SetRelativeTopOffset(9);
  m->SetWidth(300);
  m->SetHeight(200);
  Send(imRegistration);
  EXPECT_EQ(PageLog(), (std::vector<std::string>{"Page1 first last at 493,9 300x200"}));
}

TEST_F(DialogManagerTest, ProgressFormsOpenOnTheFirstUpdateFollowItAndCloseOn996) {
  TDialogManager* m = Manager("Copy", dmDuringCopyFiles);
  TFileStatusParameter status;
  status.FileName = "setup.dat";
  status.FileSize = 200;
  status.FileProgress = 50;
  status.OverallPercent = 10;
  Send(imFileStatus, &status);
  ASSERT_EQ(m->ProgressFormCount(), 1);
  auto* form = dynamic_cast<TCopyFileForm*>(m->ProgressForms(0));
  ASSERT_NE(form, nullptr);
  EXPECT_TRUE(form->Visible());
  EXPECT_EQ(host::Child<host::TProgressBar>(*form, "ProgressBar1").Position(), 25);
  EXPECT_EQ(host::Child<host::TProgressBar>(*form, "ProgressBar2").Position(), 10);
  EXPECT_EQ(host::Child<host::TLabel>(*form, "lblCopyingFile").Caption(), "setup.dat");
  EXPECT_FALSE(host::Child<host::TImage>(*form, "TransferBitmap").Visible());

  TDownloadStatusParameter download;
  download.FileName = "files.2";
  download.SetProgress(1000, 700);
  Send(imDownloadStatus, &download);
  EXPECT_EQ(m->ProgressFormCount(), 1);  // the same form follows
  EXPECT_EQ(host::Child<host::TProgressBar>(*form, "ProgressBar1").Position(), 70);
  EXPECT_EQ(host::Child<host::TLabel>(*form, "lblCopyingFile").Caption(), "files.2");
  EXPECT_TRUE(host::Child<host::TImage>(*form, "TransferBitmap").Visible());

  Send(imCopyFinished);
  EXPECT_EQ(m->ProgressFormCount(), 0);
  EXPECT_EQ(FormsOf("TCopyFileForm"), 0);

  // A copy component places its form by its own placement: bottom centre,
  // 30 above the bottom edge and the caption.
  auto* dlg = Make<TCopyFileDlg>("CopyDlg");
  EXPECT_EQ(dlg->DialogManager(), m);
  EXPECT_EQ(CurrentCopyDialog(), dlg);
  Send(imFileStatus, &status);
  ASSERT_EQ(m->ProgressFormCount(), 2);  // the unit's own form and the component's
  host::TCustomForm* placed = dlg->Form();
  ASSERT_NE(placed, nullptr);
  EXPECT_EQ(placed->Left(), 275);
  EXPECT_EQ(placed->Top(), 768 - 26 - 146 - 30);
  EXPECT_EQ(placed->Width(), 474);
  Send(imCopyFinished);
  EXPECT_EQ(dlg->Form(), nullptr);
  EXPECT_EQ(FormsOf("TCopyFileForm"), 0);
}

TEST_F(DialogManagerTest, CancelOnAProgressFormStopsTheCopy) {
  Manager("Copy", dmDuringCopyFiles);
  presenter_->LoadAnswers("[TCopyFileForm]\ncancel-after 3\n");
  TFileStatusParameter status;
  int step = 0;
  // The copy: a status update per piece, pending messages after each, and
  // it stops once the archive is told to abort.
  for (step = 1; step <= 10 && !InstallGlobals().Compress.Abort(); ++step) {
    status.OverallPercent = step * 10;
    Send(imFileStatus, &status);
    app_.ProcessMessages();
  }
  EXPECT_EQ(step - 1, 3);
  EXPECT_TRUE(install_->Aborted());
  EXPECT_TRUE(Has(Transcript(), "  cancel TCopyFileForm CopyFileForm after 3 updates"));
  Send(imCopyFinished);
  EXPECT_EQ(FormsOf("TCopyFileForm"), 0);
}

TEST_F(DialogManagerTest, TheChangeDiskFormHandsBackThePathAndMarksTheFile) {
  Manager("Disks", dmChangeDisk);
  auto* file = Make<TInstallFile>("File1");
  TDiskParameter disk;
  disk.DiskNumber = 2;
  disk.DiskPath = "C:\\Disk1";
  TMessageList request;
  request.Items = {file, &disk};
  presenter_->LoadAnswers(
      "[TChangeDiskForm]\ntype PathEdit D:\\Disk2\nclick InstallBtn\n"
      "[TChangeDiskForm]\nclick BrowseBtn\nfolder C:\\Chosen\nclick InstallBtn\n"
      "[TChangeDiskForm]\nclick CancelBtn\n");
  Send(imChangeDisk, &request);
  const std::vector<std::string> shown = ShownWith("ChangeDiskForm");
  EXPECT_TRUE(Has(shown, "PromptDiskLabel: Please insert disk number 2")) << shown.size();
  EXPECT_TRUE(Has(shown, "PathEdit: [C:\\Disk1]"));
  EXPECT_EQ(disk.DiskPath, "D:\\Disk2");
  EXPECT_NE(file->Tag(), 0);  // handled: the file asks no more
  EXPECT_EQ(FormsOf("TChangeDiskForm"), 0);

  Send(imChangeDisk, &request);
  EXPECT_EQ(disk.DiskPath, "C:\\Chosen");

  EXPECT_THROW(Send(imChangeDisk, &request), EAIUserAbort);
  EXPECT_EQ(FormsOf("TChangeDiskForm"), 0);
  EXPECT_EQ(CurrentDialogManager(), nullptr);
}

TEST_F(DialogManagerTest, ComponentsBindByPhaseAndForgetAGoingManager) {
  TDialogManager* before = Manager("Before", dmBeforeInstall);
  Manager("Copy", dmDuringCopyFiles);
  TDialogManager* second = Manager("Before2", dmBeforeInstall);
  auto* dlg = Make<TCopyFileDlg>("CopyDlg");
  EXPECT_EQ(dlg->DialogManager()->Name(), "Copy");
  EXPECT_EQ(FindDialogManager(dmBeforeInstall), before);
  // Managers outside the install do not count.
  before->SetContainer(nullptr);
  EXPECT_EQ(FindDialogManager(dmBeforeInstall), second);
  EXPECT_EQ(FindDialogManager(dmReboot), nullptr);

  // The component's Order starts at 0, its install types at all four.
  auto* page = Make<TTestPageDlg>("Dlg");
  EXPECT_EQ(page->Order(), 0);
  EXPECT_EQ(page->InstallTypes(), ItBit(itFull) | ItBit(itDefault) | ItBit(itCompact) | ItBit(itCustom));
  page->SetDialogManager(second);
  EXPECT_EQ(second->DialogCount(), 1);
  delete second;
  EXPECT_EQ(page->DialogManager(), nullptr);
  delete page;
  EXPECT_EQ(before->DialogCount(), 0);
}

}  // namespace
}  // namespace orln

namespace orln {
namespace {

class ChangeDiskRunTest : public test::FrontendTest {
 protected:
  void TearDown() override {
    StandardPathSpecifiers().Lookup<TpsMainArchiveFile>()->SetNewDiskDirectory("");
    InstallGlobals().HistoryKeyPath.clear();
    FrontendTest::TearDown();
  }
  static void Put(const std::string& path, const std::string& data) {
    ASSERT_TRUE(os::WinForceDirectories(host::ExtractFileDir(path)));
    ASSERT_TRUE(os::WinWriteWholeFile(path, data)) << path;
  }
  static std::string Noise(size_t size) {
    std::string s(size, '\0');
    uint32_t seed = 7;
    for (char& c : s) {
      seed = seed * 1103515245u + 12345u;
      c = static_cast<char>(seed >> 24);
    }
    return s;
  }
  static void MoveAll(const std::string& from, const std::string& to) {
    ASSERT_TRUE(os::WinForceDirectories(to));
    std::vector<os::TWinFindData> entries;
    if (!os::WinDirectoryExists(from)) return;
    ASSERT_TRUE(os::WinListDirectory(from, entries));
    for (const auto& e : entries) ASSERT_TRUE(os::WinMoveFile(from + "\\" + e.Name, to + "\\" + e.Name));
  }
};

// A file of the install spread over disks: each disk is asked for by the
// change-disk page, and the folder typed there is where the copy goes on.
TEST_F(ChangeDiskRunTest, APathTypedOnThePageIsWhereTheArchiveLooksNext) {
  InstallGlobals().HistoryKeyPath = "\\SOFTWARE\\QEL\\Install\\Install0";
  const std::string data = Noise(300000);
  Put("C:\\Src\\big.bin", data);
  install_->SetDestDirType(StandardPathSpecifiers().Lookup<TpsProgramFiles>());
  install_->SetDestDir("\\My App");
  auto* file = Make<TInstallFile>("Big");
  file->SetIncludeFromDir("C:\\Src");
  file->SetFileName("big.bin");
  install_->SetArchiveFileType(nullptr);
  install_->SetArchiveFile("C:\\Build\\files.1");
  install_->BuildArchive(kTraditionalBuild);
  // 120 KB disks, each kept in a folder of its own (C:\Disk<n>).
  machine_->SetDriveCapacity('A', 120000);
  int disks = 1;
  {
    int inserted = 1;
    TOrlnCompress c(nullptr);
    c.SetCompressedFile("C:\\Build\\files.1");
    c.OnNewDisk = [&](TOrlnCompress&, int volume, std::string& dir) {
      MoveAll("A:", "C:\\Disk" + std::to_string(inserted));
      MoveAll("C:\\Disk" + std::to_string(volume), "A:");
      inserted = volume;
      disks = std::max(disks, volume);
      dir = "A:\\";
    };
    c.CopyToVolumes("A:\\", "files.1");
    MoveAll("A:", "C:\\Disk" + std::to_string(inserted));
  }
  ASSERT_GE(disks, 3);
  install_->SetArchiveFileType(StandardPathSpecifiers().Lookup<TpsMainArchiveFile>());
  install_->SetSource("C:\\Disk1", false, "");
  Manager("Disks", dmChangeDisk);
  std::string answers;
  for (int n = 2; n <= disks; ++n)
    answers += "[TChangeDiskForm]\ntype PathEdit C:\\Disk" + std::to_string(n) + "\nclick InstallBtn\n";
  presenter_->LoadAnswers(answers);
  presenter_->SetStrict(true);  // no other prompt may come

  // The container's own work (its files copied), not the whole run.
  install_->SetRunning(true);
  install_->TFileContainer::Process();
  install_->SetRunning(false);
  std::string copied;
  ASSERT_TRUE(os::WinReadWholeFile(install_->GetDestPath() + "\\big.bin", copied));
  EXPECT_TRUE(copied == data);
  EXPECT_EQ(static_cast<int>(Shown("TChangeDiskForm").size()), disks - 1);
  EXPECT_TRUE(Has(ShownWith("ChangeDiskForm", 1), "PromptDiskLabel: Please insert disk number 3"));
  EXPECT_EQ(file->Tag(), 1);
}

}  // namespace
}  // namespace orln
