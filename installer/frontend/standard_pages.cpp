#include "installer/frontend/standard_pages.h"

#include "installer/engine/script/install.h"
#include "installer/frontend/bad_install_form_form.h"
#include "installer/frontend/good_install_form_form.h"
#include "installer/frontend/license_form_form.h"
#include "installer/frontend/readme_form_form.h"
#include "installer/frontend/reboot_form_form.h"

namespace orln {

namespace {

template <class T>
host::TPropertyTable PublishPage(const char* className) {
  return host::PublishClass<T>(className, &TStandardInstallForm::ClassProperties(),
                               [](host::TPublisher<T>&) {});
}

bool Phase(TManagerType& type, TManagerType value) {
  type = value;
  return true;
}

}  // namespace

// ---------------------------------------------------------------- common

void TStandardInstallForm::AfterConstruction() {
  TBaseInstallForm::AfterConstruction();
  if (auto* image = dynamic_cast<host::TImage*>(FindComponent("ThemeBitmap"));
      image != nullptr && image->Picture().Empty())
    FillTheme(InstallThemePicture());
}

host::TButton* TStandardInstallForm::Button(std::string_view name) const {
  return dynamic_cast<host::TButton*>(FindComponent(name));
}

void TStandardInstallForm::KeepBackHidden() {
  back_hidden_ = true;
  if (host::TButton* back = Button("BackBtn")) back->Hide();
}

void TStandardInstallForm::FillTheme(const host::TPicture* picture) {
  auto* image = dynamic_cast<host::TImage*>(FindComponent("ThemeBitmap"));
  if (image != nullptr && picture != nullptr) image->Picture().Assign(*picture);
}

void TStandardInstallForm::PrepareShow() {
  if (host::TButton* back = Button("BackBtn")) back->SetVisible(!back_hidden_ && !IsFirstPage());
  host::TButton* proceed = Button("ProceedBtn");
  if (host::TButton* finish = Button("FinishBtn")) {
    if (proceed != nullptr) proceed->SetVisible(!IsLastPage());
    finish->SetVisible(proceed == nullptr || !proceed->Visible());
    SetActiveControl(finish->Visible() ? finish : proceed);
  } else if (proceed != nullptr) {
    SetActiveControl(proceed);
  }
}

void TStandardInstallForm::BackBtnClick(host::TObject*) { PreviousPage(); }
void TStandardInstallForm::ProceedBtnClick(host::TObject*) { NextPage(); }
void TStandardInstallForm::FinishBtnClick(host::TObject*) { NextPage(); }
void TStandardInstallForm::CancelBtnClick(host::TObject*) { AbortInstall(); }

const host::TPropertyTable& TStandardInstallForm::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TStandardInstallForm>(
      "TStandardInstallForm", &TBaseInstallForm::ClassProperties(),
      [](host::TPublisher<TStandardInstallForm>& p) {
        p.Method("BackBtnClick", &TStandardInstallForm::BackBtnClick);
        p.Method("ProceedBtnClick", &TStandardInstallForm::ProceedBtnClick);
        p.Method("FinishBtnClick", &TStandardInstallForm::FinishBtnClick);
        p.Method("CancelBtnClick", &TStandardInstallForm::CancelBtnClick);
      });
  return table;
}

// ---------------------------------------------------------------- pages

std::string_view TLicenseForm::FormText() const { return form_texts::license_form; }
bool TLicenseForm::BindsTo(TManagerType& type) const { return Phase(type, dmBeforeInstall); }
const host::TPropertyTable& TLicenseForm::ClassProperties() {
  static const host::TPropertyTable table = PublishPage<TLicenseForm>("TLicenseForm");
  return table;
}

std::string_view TReadmeForm::FormText() const { return form_texts::readme_form; }
bool TReadmeForm::BindsTo(TManagerType& type) const { return Phase(type, dmAfterGoodInstall); }
const host::TPropertyTable& TReadmeForm::ClassProperties() {
  static const host::TPropertyTable table = PublishPage<TReadmeForm>("TReadmeForm");
  return table;
}

std::string_view TRebootForm::FormText() const { return form_texts::reboot_form; }
bool TRebootForm::BindsTo(TManagerType& type) const { return Phase(type, dmReboot); }

void TRebootForm::PrepareShow() {
  TStandardInstallForm::PrepareShow();
  const TCustomInstall* install = GlobalInstall();
  filling_ = true;
  try {
    host::Child<host::TRadioGroup>(*this, "RG").SetItemIndex(install != nullptr && install->Reboot() ? 0 : 1);
  } catch (...) {
    filling_ = false;
    throw;
  }
  filling_ = false;
}

void TRebootForm::RGClick(host::TObject*) {
  if (filling_) return;
  if (TCustomInstall* install = GlobalInstall())
    install->SetReboot(host::Child<host::TRadioGroup>(*this, "RG").ItemIndex() == 0);
}

const host::TPropertyTable& TRebootForm::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TRebootForm>(
      "TRebootForm", &TStandardInstallForm::ClassProperties(), [](host::TPublisher<TRebootForm>& p) {
        p.Method("RGClick", &TRebootForm::RGClick);
      });
  return table;
}

std::string_view TGoodInstallForm::FormText() const { return form_texts::good_install_form; }
bool TGoodInstallForm::BindsTo(TManagerType& type) const { return Phase(type, dmAfterGoodInstall); }
const host::TPropertyTable& TGoodInstallForm::ClassProperties() {
  static const host::TPropertyTable table = PublishPage<TGoodInstallForm>("TGoodInstallForm");
  return table;
}

std::string_view TBadInstallForm::FormText() const { return form_texts::bad_install_form; }
bool TBadInstallForm::BindsTo(TManagerType& type) const { return Phase(type, dmAfterBadInstall); }
const host::TPropertyTable& TBadInstallForm::ClassProperties() {
  static const host::TPropertyTable table = PublishPage<TBadInstallForm>("TBadInstallForm");
  return table;
}

// ---------------------------------------------------------------- components

void TStandaloneInstallDlg::HandleMessage(host::TObject* sender, int code, host::TObject* parameter) {
  TCustomBaseInstallDlg::HandleMessage(sender, code, parameter);
  if (code == StandaloneCode() && DialogManager() == nullptr) Execute();
}

namespace {

// Back hidden for good, the named buttons the default, the theme filled.
void PreparePage(TStandardInstallForm* page, const TCustomBaseInstallDlg& dlg,
                 std::initializer_list<const char*> defaults) {
  if (page == nullptr) return;
  page->KeepBackHidden();
  for (const char* name : defaults)
    if (auto* b = dynamic_cast<host::TButton*>(page->FindComponent(name))) b->SetDefault(true);
  page->FillTheme(dlg.ThemePicture());
}

void LoadLines(host::TCustomForm* form, const char* control, const host::TStrings& lines) {
  if (form == nullptr) return;
  if (auto* memo = dynamic_cast<host::TCustomMemo*>(form->FindComponent(control))) memo->SetLines(lines);
}

}  // namespace

TLicenseDlg::TLicenseDlg(host::TComponent* owner) : TStandaloneInstallDlg(owner) { StoreOrder(20); }
bool TLicenseDlg::BindsTo(TManagerType& type) const { return Phase(type, dmBeforeInstall); }

void TLicenseDlg::AssignDialogProperties() {
  TStandaloneInstallDlg::AssignDialogProperties();
  PreparePage(Page(), *this, {"ProceedBtn"});
  LoadLines(Form(), "Agreement", license_);
}

const host::TPropertyTable& TLicenseDlg::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TLicenseDlg>(
      "TLicenseDlg", &TCustomBaseInstallDlg::ClassProperties(), [](host::TPublisher<TLicenseDlg>& p) {
        Publish(p, 20);
        p.Strings("LicenseAgreement", &TLicenseDlg::LicenseAgreement);
      });
  return table;
}

TReadmeDlg::TReadmeDlg(host::TComponent* owner) : TStandaloneInstallDlg(owner) { StoreOrder(30); }
bool TReadmeDlg::BindsTo(TManagerType& type) const { return Phase(type, dmBeforeInstall); }

void TReadmeDlg::AssignDialogProperties() {
  TStandaloneInstallDlg::AssignDialogProperties();
  PreparePage(Page(), *this, {"ProceedBtn"});
  LoadLines(Form(), "Information", readme_);
}

const host::TPropertyTable& TReadmeDlg::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TReadmeDlg>(
      "TReadmeDlg", &TCustomBaseInstallDlg::ClassProperties(), [](host::TPublisher<TReadmeDlg>& p) {
        Publish(p, 30);
        p.Strings("ReadmeText", &TReadmeDlg::ReadmeText);
      });
  return table;
}

TRebootDlg::TRebootDlg(host::TComponent* owner) : TStandaloneInstallDlg(owner) { StoreOrder(10); }
bool TRebootDlg::BindsTo(TManagerType& type) const { return Phase(type, dmReboot); }

void TRebootDlg::AssignDialogProperties() {
  TStandaloneInstallDlg::AssignDialogProperties();
  PreparePage(Page(), *this, {"ProceedBtn", "FinishBtn"});
  if (TStandardInstallForm* page = Page()) {
    page->PrepareShow();
    page->KeepBackHidden();
  }
}

const host::TPropertyTable& TRebootDlg::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TRebootDlg>(
      "TRebootDlg", &TCustomBaseInstallDlg::ClassProperties(),
      [](host::TPublisher<TRebootDlg>& p) { Publish(p, 10); });
  return table;
}

TBadInstallationDlg::TBadInstallationDlg(host::TComponent* owner) : TStandaloneInstallDlg(owner) {
  StoreOrder(10);
}
bool TBadInstallationDlg::BindsTo(TManagerType& type) const { return Phase(type, dmAfterBadInstall); }

void TBadInstallationDlg::AssignDialogProperties() {
  TStandaloneInstallDlg::AssignDialogProperties();
  PreparePage(Page(), *this, {"ProceedBtn", "FinishBtn"});
}

const host::TPropertyTable& TBadInstallationDlg::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TBadInstallationDlg>(
      "TBadInstallationDlg", &TCustomBaseInstallDlg::ClassProperties(),
      [](host::TPublisher<TBadInstallationDlg>& p) { Publish(p, 10); });
  return table;
}

void RegisterStandardPageClasses() {
  for (const host::TPropertyTable* t :
       {&TLicenseForm::ClassProperties(), &TReadmeForm::ClassProperties(),
        &TRebootForm::ClassProperties(), &TGoodInstallForm::ClassProperties(),
        &TBadInstallForm::ClassProperties()}) {
    host::RegisterClass(*t);
    BIFList().AddOnce(*t);
  }
  for (const host::TPropertyTable* t :
       {&TLicenseDlg::ClassProperties(), &TReadmeDlg::ClassProperties(),
        &TRebootDlg::ClassProperties(), &TBadInstallationDlg::ClassProperties()})
    host::RegisterClass(*t);
}

}  // namespace orln
