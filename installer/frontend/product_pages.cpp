#include "installer/frontend/product_pages.h"

#include "host/rtl/sys_utils.h"
#include "installer/engine/base/base_routines.h"
#include "installer/engine/translation/orln_forms.h"
#include "installer/frontend/after_good_install_dlg_form.h"
#include "installer/frontend/before_install_dialog1_form.h"
#include "installer/frontend/confirm_install_form.h"
#include "installer/frontend/main_form.h"
#include "installer/frontend/select_destination_form_form.h"
#include "installer/frontend/welcome_form_form.h"
#include "os/win_file.h"

namespace orln {

namespace {

// Without a main form a page binds to no manager, so no host keeps it.
bool Phase(TManagerType& type, TManagerType value) {
  type = value;
  return MainForm() != nullptr;
}

// The main form the pages work on.
TMainForm& Main() {
  TMainForm* main = MainForm();
  if (main == nullptr) throw IEBaseInstallDlg("The install pages need the main form");
  return *main;
}

struct TIDECheckBox {
  TIDEProduct Product;
  const char* Name;
};
constexpr TIDECheckBox kCheckBoxes[] = {{ipDelphi3, "D3CB"}, {ipDelphi4, "D4CB"}, {ipDelphi5, "D5CB"},
                                        {ipDelphi6, "D6CB"}, {ipDelphi7, "D7CB"}, {ipBuilder6, "B6CB"}};

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

}  // namespace

// ---------------------------------------------------------------- welcome

std::string_view TWelcomeForm::FormText() const { return form_texts::welcome_form; }
bool TWelcomeForm::BindsTo(TManagerType& type) const { return Phase(type, dmBeforeInstall); }

void TWelcomeForm::AfterConstruction() {
  TStandardInstallForm::AfterConstruction();
  if (MainForm() == nullptr) return;
  auto& intro = host::Child<host::TLabel>(*this, "IntroLabel");
  intro.SetCaption(ReplaceAll(intro.Caption(), "Product", Main().ProductCaption()));
}

const host::TPropertyTable& TWelcomeForm::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TWelcomeForm>(
      "TWelcomeForm", &TStandardInstallForm::ClassProperties(), [](host::TPublisher<TWelcomeForm>&) {});
  return table;
}

// ---------------------------------------------------------------- versions

std::string_view TBeforeInstallDialog1::FormText() const { return form_texts::before_install_dialog1; }
bool TBeforeInstallDialog1::BindsTo(TManagerType& type) const { return Phase(type, dmBeforeInstall); }

void TBeforeInstallDialog1::AfterConstruction() {
  TStandardInstallForm::AfterConstruction();
  if (MainForm() == nullptr) return;
  TMainForm& main = Main();
  for (const TIDECheckBox& cb : kCheckBoxes) {
    auto& box = host::Child<host::TCheckBox>(*this, cb.Name);
    const bool found = main.PackageInstaller() != nullptr && main.PackageInstaller()->GetProduct(cb.Product).Present;
    box.SetChecked(found);
    box.SetEnabled(found && main.Supported(cb.Product));
  }
}

bool TBeforeInstallDialog1::SkipPage() const {
  TMainForm& main = Main();
  const bool skip = main.SupportedCount() <= 1 && main.AnyAvailable();
  if (skip) {
    for (TIDEProduct p : kIDEWalk) main.SetChosen(p, true);
    main.ChooseIDEs();
  }
  InstallLog().Add(std::string("Delphi Ver Dlg skip - ") + (skip ? "True" : "False"));
  SaveInstallLog();
  return skip;
}

void TBeforeInstallDialog1::ProceedBtnClick(host::TObject*) {
  TMainForm& main = Main();
  if (!main.AnyAvailable()) {
    host::MessageDlg(
        "No Delphi products are selected or the correct version of Delphi is not present on this "
        "system. Installation is unable to proceed.",
        host::mtWarning, 1u << host::mbOK);
    return;
  }
  bool any = false;
  for (const TIDECheckBox& cb : kCheckBoxes) {
    const auto& box = host::Child<host::TCheckBox>(*this, cb.Name);
    any = any || (box.Enabled() && box.Checked());
  }
  if (!any) {
    host::MessageDlg(
        "Either no products are selected or present on this system. Installation is unable to proceed.",
        host::mtWarning, 1u << host::mbOK);
    return;
  }
  for (const TIDECheckBox& cb : kCheckBoxes)
    main.SetChosen(cb.Product, host::Child<host::TCheckBox>(*this, cb.Name).Checked());
  main.ChooseIDEs();
  NextPage();
}

const host::TPropertyTable& TBeforeInstallDialog1::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TBeforeInstallDialog1>(
      "TBeforeInstallDialog1", &TStandardInstallForm::ClassProperties(),
      [](host::TPublisher<TBeforeInstallDialog1>& p) {
        p.Method("ProceedBtnClick", &TBeforeInstallDialog1::ProceedBtnClick);
      });
  return table;
}

// ---------------------------------------------------------------- destination

std::string_view TSelectDestinationForm::FormText() const { return form_texts::select_destination_form; }
bool TSelectDestinationForm::BindsTo(TManagerType& type) const { return Phase(type, dmBeforeInstall); }

void TSelectDestinationForm::AfterConstruction() {
  TStandardInstallForm::AfterConstruction();
  if (MainForm() != nullptr) SetContainer(&Main().Install());
}

void TSelectDestinationForm::ShowDestination(const std::string& path) {
  filling_ = true;
  try {
    host::Child<host::TEdit>(*this, "edDestDir").SetText(path);
  } catch (...) {
    filling_ = false;
    throw;
  }
  filling_ = false;
}

void TSelectDestinationForm::PrepareShow() {
  TStandardInstallForm::PrepareShow();
  const std::string path = Main().Install().GetDestPath();
  host::Child<host::TGroupBox>(*this, "gbDirectory").SetVisible(!path.empty());
  ShowDestination(path);
}

void TSelectDestinationForm::edDestDirChange(host::TObject*) {
  if (filling_) return;
  TInstall& install = Main().Install();
  install.SetDestDirType(nullptr);
  install.SetDestDir(host::Child<host::TEdit>(*this, "edDestDir").Text());
}

void TSelectDestinationForm::BrowseBtnClick(host::TObject*) {
  TInstall& install = Main().Install();
  const std::string destination = install.GetDestPath();
  const size_t slash = destination.rfind('\\');
  const std::string last = slash == std::string::npos ? std::string() : destination.substr(slash);
  const std::string start = RemoveTrailingBackslash(host::Child<host::TEdit>(*this, "edDestDir").Text());

  // The folders that do not exist yet, deepest first: made for the browse only.
  std::vector<std::string> made;
  for (std::string folder = start; !folder.empty() && !os::WinDirectoryExists(folder);) {
    made.push_back(folder);
    const size_t up = folder.rfind('\\');
    if (up == std::string::npos || up < 3) break;  // up to "C:\"
    folder.resize(up);
  }
  if (!made.empty() && !os::WinForceDirectories(start)) made.clear();

  TOpenFolderDialog dialog(nullptr);
  dialog.SetDirectory(start);
  bool chosen = false;
  try {
    chosen = dialog.Execute();
  } catch (...) {
    for (const std::string& folder : made) os::WinRemoveDirectory(folder);
    throw;
  }
  // Only an empty folder goes: whatever the user put there stays.
  for (const std::string& folder : made)
    if (!os::WinRemoveDirectory(folder)) break;
  if (!chosen) return;
  const std::string path = RemoveTrailingBackslash(dialog.Directory()) + last;
  install.SetDestDirType(nullptr);
  install.SetDestDir(path);
  ShowDestination(path);
}

const host::TPropertyTable& TSelectDestinationForm::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TSelectDestinationForm>(
      "TSelectDestinationForm", &TStandardInstallForm::ClassProperties(),
      [](host::TPublisher<TSelectDestinationForm>& p) {
        p.Method("edDestDirChange", &TSelectDestinationForm::edDestDirChange);
        p.Method("BrowseBtnClick", &TSelectDestinationForm::BrowseBtnClick);
      });
  return table;
}

// ---------------------------------------------------------------- confirm

std::string_view TConfirmInstall::FormText() const { return form_texts::confirm_install; }
bool TConfirmInstall::BindsTo(TManagerType& type) const { return Phase(type, dmBeforeInstall); }

void TConfirmInstall::PrepareShow() {
  TStandardInstallForm::PrepareShow();
  host::TStringList lines;
  Main().Summary(lines);
  host::Child<host::TMemo>(*this, "Memo1").SetLines(lines);
}

const host::TPropertyTable& TConfirmInstall::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TConfirmInstall>(
      "TConfirmInstall", &TStandardInstallForm::ClassProperties(), [](host::TPublisher<TConfirmInstall>&) {});
  return table;
}

// ---------------------------------------------------------------- complete

std::string_view TAfterGoodInstallDlg::FormText() const { return form_texts::after_good_install_dlg; }
bool TAfterGoodInstallDlg::BindsTo(TManagerType& type) const { return Phase(type, dmAfterGoodInstall); }

const host::TPropertyTable& TAfterGoodInstallDlg::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TAfterGoodInstallDlg>(
      "TAfterGoodInstallDlg", &TStandardInstallForm::ClassProperties(),
      [](host::TPublisher<TAfterGoodInstallDlg>&) {});
  return table;
}

void RegisterProductPageClasses() {
  for (const host::TPropertyTable* t :
       {&TWelcomeForm::ClassProperties(), &TBeforeInstallDialog1::ClassProperties(),
        &TSelectDestinationForm::ClassProperties(), &TConfirmInstall::ClassProperties(),
        &TAfterGoodInstallDlg::ClassProperties()}) {
    host::RegisterClass(*t);
    BIFList().AddOnce(*t);
  }
}

}  // namespace orln
