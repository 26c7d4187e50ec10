#include "installer/frontend/progress_forms.h"

#include "host/rtl/format.h"
#include "installer/engine/archive/orln_compress.h"
#include "installer/engine/translation/translator.h"
#include "installer/frontend/change_disk_form_form.h"
#include "installer/frontend/copy_file_form_form.h"
#include "installer/frontend/install_status_form_form.h"

namespace orln {

namespace {

TCopyFileDlg* g_copy_dialog = nullptr;

bool Phase(TManagerType& type, TManagerType value) {
  type = value;
  return true;
}

}  // namespace

// ---------------------------------------------------------------- copy progress

std::string_view TCopyFileForm::FormText() const { return form_texts::copy_file_form; }

void TCopyFileForm::FileStatus(const TFileStatusParameter& status) {
  host::Child<host::TImage>(*this, "TransferBitmap").Hide();
  host::Child<host::TProgressBar>(*this, "ProgressBar2").SetPosition(status.OverallPercent);
  host::Child<host::TProgressBar>(*this, "ProgressBar1")
      .SetPosition(PercentOf(status.FileProgress, status.FileSize));
  host::Child<host::TLabel>(*this, "lblCopyingFile").SetCaption(status.FileName);
  Repaint();
}

void TCopyFileForm::DownloadStatus(const TDownloadStatusParameter& status) {
  host::Child<host::TImage>(*this, "TransferBitmap").Show();
  host::Child<host::TProgressBar>(*this, "ProgressBar1").SetPosition(status.Percent);
  host::Child<host::TLabel>(*this, "lblCopyingFile").SetCaption(status.FileName);
  Repaint();
}

void TCopyFileForm::CancelBtnClick(host::TObject*) { AbortCopy(); }

const host::TPropertyTable& TCopyFileForm::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TCopyFileForm>(
      "TCopyFileForm", &TBaseDuringCopyForm::ClassProperties(), [](host::TPublisher<TCopyFileForm>& p) {
        p.Method("CancelBtnClick", &TCopyFileForm::CancelBtnClick);
      });
  return table;
}

TCopyFileDlg::TCopyFileDlg(host::TComponent* owner) : TCustomBaseInstallDlg(owner) {
  SetHeight(146);
  SetWidth(474);
  SetPosition(odpBottomCenter);
  SetRelativeTopOffset(30);
  if (g_copy_dialog == nullptr) g_copy_dialog = this;
}

TCopyFileDlg::~TCopyFileDlg() {
  if (g_copy_dialog == this) g_copy_dialog = nullptr;
}

TCopyFileDlg* CurrentCopyDialog() { return g_copy_dialog; }

bool TCopyFileDlg::BindsTo(TManagerType& type) const { return Phase(type, dmDuringCopyFiles); }

const host::TPropertyTable& TCopyFileDlg::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TCopyFileDlg>(
      "TCopyFileDlg", &TCustomBaseInstallDlg::ClassProperties(), [](host::TPublisher<TCopyFileDlg>& p) {
        Publish(p, 0);
        TDialogPlacement::Publish(p, 146, 474, odpBottomCenter, 30);
      });
  return table;
}

// ---------------------------------------------------------------- change disk

std::string_view TChangeDiskForm::FormText() const { return form_texts::change_disk_form; }

void TChangeDiskForm::ShowPath(const std::string& path) {
  filling_ = true;
  try {
    host::Child<host::TEdit>(*this, "PathEdit").SetText(path);
  } catch (...) {
    filling_ = false;
    throw;
  }
  filling_ = false;
}

void TChangeDiskForm::FormShow(host::TObject*) {
  const TDiskParameter* disk = DiskParameter();
  host::Child<host::TLabel>(*this, "PromptDiskLabel")
      .SetCaption(host::Format(TranslateString("Please insert disk number %d"),
                               {disk != nullptr ? disk->DiskNumber : 0}));
  ShowPath(disk != nullptr ? disk->DiskPath : std::string());
  SetActiveControl(&host::Child<host::TButton>(*this, "InstallBtn"));
}

void TChangeDiskForm::PathEditChange(host::TObject*) {
  if (filling_ || DiskParameter() == nullptr) return;
  DiskParameter()->DiskPath = host::Child<host::TEdit>(*this, "PathEdit").Text();
}

void TChangeDiskForm::BrowseBtnClick(host::TObject*) {
  TOpenFolderDialog browse(nullptr);
  browse.SetDirectory(host::Child<host::TEdit>(*this, "PathEdit").Text());
  if (!browse.Execute()) return;
  if (DiskParameter() != nullptr) DiskParameter()->DiskPath = browse.Directory();
  ShowPath(browse.Directory());
}

void TChangeDiskForm::CancelBtnClick(host::TObject*) { AbortChangeDisk(); }

const host::TPropertyTable& TChangeDiskForm::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TChangeDiskForm>(
      "TChangeDiskForm", &TBaseChangeDiskForm::ClassProperties(),
      [](host::TPublisher<TChangeDiskForm>& p) {
        p.Method("FormShow", &TChangeDiskForm::FormShow);
        p.Method("PathEditChange", &TChangeDiskForm::PathEditChange);
        p.Method("BrowseBtnClick", &TChangeDiskForm::BrowseBtnClick);
        p.Method("CancelBtnClick", &TChangeDiskForm::CancelBtnClick);
      });
  return table;
}

bool TChangeDiskDlg::BindsTo(TManagerType& type) const { return Phase(type, dmChangeDisk); }

const host::TPropertyTable& TChangeDiskDlg::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TChangeDiskDlg>(
      "TChangeDiskDlg", &TCustomBaseInstallDlg::ClassProperties(),
      [](host::TPublisher<TChangeDiskDlg>& p) { Publish(p, 0); });
  return table;
}

// ---------------------------------------------------------------- status window

std::string_view TInstallStatusForm::FormText() const { return form_texts::install_status_form; }

const host::TPropertyTable& TInstallStatusForm::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TInstallStatusForm>(
      "TInstallStatusForm", &host::TForm::ClassProperties(), [](host::TPublisher<TInstallStatusForm>&) {});
  return table;
}

TInstallStatusDlg::TInstallStatusDlg(host::TComponent* owner) : TCustomBaseInstallDlg(owner) {}

TInstallStatusDlg::~TInstallStatusDlg() {
  // The window is the component's.
  delete Form();
}

void TInstallStatusDlg::HandleMessage(host::TObject* sender, int code, host::TObject* parameter) {
  TCustomBaseInstallDlg::HandleMessage(sender, code, parameter);
  if (code == imStatusMessage) {
    if (parameter == nullptr) throw IEBaseInstallDlg("%s got a nil PO parameter", {Name()});
    auto* message = dynamic_cast<TMessageParameter*>(parameter);
    if (message == nullptr)
      throw IEBaseInstallDlg("The PO object passed to %s is not a TMessageParameter object", {Name()});
    messages_.Add(message->Text);
    ShowText(message->Text);
  } else if (code == imStatusMessageDone) {
    if (messages_.Count() == 0) return;  // nothing on view to take away
    messages_.Delete(messages_.Count() - 1);
    if (messages_.Count() > 0) {
      ShowText(messages_.Strings(messages_.Count() - 1));
    } else {
      current_.clear();
      if (Form() != nullptr) Form()->Hide();
      host::Application().ProcessMessages();
    }
  }
}

void TInstallStatusDlg::Translate() {
  TCustomBaseInstallDlg::Translate();
  SetFormLanguage(olEnglish);
}

void TInstallStatusDlg::ShowText(const std::string& text) {
  current_ = text;
  if (Form() == nullptr) {
    SetForm(host::New<TInstallStatusForm>(&host::Application()));
    AssignDialogProperties();
  }
  host::TCustomForm& form = *Form();
  auto& label = host::Child<host::TLabel>(form, "lblMessage");
  label.SetAlignment(host::taLeftJustify);
  label.SetWordWrap(false);
  label.SetCaption(text);
  Translate();
  label.SetAutoSize(true);
  label.SetTop((form.ClientHeight() - label.Height()) / 2);
  form.SetWidth(label.Width() + host::Child<host::TPanel>(form, "pnlBack").Width() +
                host::Child<host::TPanel>(form, "pnlMessage").Width() + label.Left() + 25);
  form.SetLeft((host::Screen().Width() - form.Width()) / 2);
  form.Show();
  form.Refresh();
  host::Application().ProcessMessages();
}

const host::TPropertyTable& TInstallStatusDlg::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TInstallStatusDlg>(
      "TInstallStatusDlg", &TCustomBaseInstallDlg::ClassProperties(),
      [](host::TPublisher<TInstallStatusDlg>& p) { Publish(p, 0); });
  return table;
}

void RegisterProgressFormClasses() {
  for (const host::TPropertyTable* t :
       {&TCopyFileForm::ClassProperties(), &TChangeDiskForm::ClassProperties(),
        &TInstallStatusForm::ClassProperties(), &TCopyFileDlg::ClassProperties(),
        &TChangeDiskDlg::ClassProperties(), &TInstallStatusDlg::ClassProperties()})
    host::RegisterClass(*t);
  DCFList().AddOnce(TCopyFileForm::ClassProperties());
  BCDFList().AddOnce(TChangeDiskForm::ClassProperties());
}

}  // namespace orln
