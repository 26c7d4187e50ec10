// The ready-made wizard pages: licence agreement, readme, reboot question,
// good and bad install notices, each a page form bound to the dialog
// manager of its phase, and the dialog components that put them into a
// manager's pages or, without a manager, show them by themselves when
// their message code arrives (licence -981, readme -977, reboot -987,
// bad install -994).
//
// Callers must keep:
//  - A component's text lists belong to it; setting one copies the lines.
//  - A page shown through a component that hides its Back button keeps it
//    hidden on every showing.
#pragma once

#include <string_view>

#include "host/rtl/string_list.h"
#include "installer/frontend/dialog_manager.h"

namespace orln {

// What every standard page shares: Back, Proceed (and on some Finish) and
// Cancel, and the theme picture.
class TStandardInstallForm : public TBaseInstallForm {
 public:
  using TBaseInstallForm::TBaseInstallForm;
  void AfterConstruction() override;

  // Back unless first (or hidden for good by the component); with a Finish
  // button, Proceed unless last and Finish instead of it.
  void PrepareShow() override;

  // Back hidden on every showing (the component asked for it).
  void KeepBackHidden();
  // Fills the theme image from `picture` (nothing for null).
  void FillTheme(const host::TPicture* picture);

  void BackBtnClick(host::TObject* sender);
  void ProceedBtnClick(host::TObject* sender);
  void FinishBtnClick(host::TObject* sender);
  void CancelBtnClick(host::TObject* sender);

  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 protected:
  host::TButton* Button(std::string_view name) const;

 private:
  bool back_hidden_ = false;
};

class TLicenseForm : public TStandardInstallForm {
 public:
  using TStandardInstallForm::TStandardInstallForm;
  std::string_view FormText() const override;
  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 protected:
  bool BindsTo(TManagerType& type) const override;
};

class TReadmeForm : public TStandardInstallForm {
 public:
  using TStandardInstallForm::TStandardInstallForm;
  std::string_view FormText() const override;
  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 protected:
  bool BindsTo(TManagerType& type) const override;
};

class TRebootForm : public TStandardInstallForm {
 public:
  using TStandardInstallForm::TStandardInstallForm;
  std::string_view FormText() const override;
  // Selects "Yes" when the install asks for a restart, else "No".
  void PrepareShow() override;
  // The install's Reboot follows the choice.
  void RGClick(host::TObject* sender);
  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 protected:
  bool BindsTo(TManagerType& type) const override;

 private:
  bool filling_ = false;
};

class TGoodInstallForm : public TStandardInstallForm {
 public:
  using TStandardInstallForm::TStandardInstallForm;
  std::string_view FormText() const override;
  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 protected:
  bool BindsTo(TManagerType& type) const override;
};

class TBadInstallForm : public TStandardInstallForm {
 public:
  using TStandardInstallForm::TStandardInstallForm;
  std::string_view FormText() const override;
  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 protected:
  bool BindsTo(TManagerType& type) const override;
};

// A dialog component that shows its page by itself on `Code` when it has
// no manager.
class TStandaloneInstallDlg : public TCustomBaseInstallDlg {
 public:
  using TCustomBaseInstallDlg::TCustomBaseInstallDlg;
  void HandleMessage(host::TObject* sender, int code, host::TObject* parameter) override;

 protected:
  virtual int StandaloneCode() const = 0;
  // The standard page shown, or null.
  TStandardInstallForm* Page() const { return dynamic_cast<TStandardInstallForm*>(Form()); }
};

class TLicenseDlg : public TStandaloneInstallDlg {
 public:
  explicit TLicenseDlg(host::TComponent* owner);
  const host::TPropertyTable& FormClass() const override { return TLicenseForm::ClassProperties(); }
  // Back hidden, Proceed the default button, the agreement and the theme.
  void AssignDialogProperties() override;
  host::TStrings& LicenseAgreement() { return license_; }
  void SetLicenseAgreement(const host::TStrings& v) { license_.Assign(v); }
  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 protected:
  int StandaloneCode() const override { return imLicense; }
  bool BindsTo(TManagerType& type) const override;

 private:
  host::TStringList license_;
};

class TReadmeDlg : public TStandaloneInstallDlg {
 public:
  explicit TReadmeDlg(host::TComponent* owner);
  const host::TPropertyTable& FormClass() const override { return TReadmeForm::ClassProperties(); }
  void AssignDialogProperties() override;
  host::TStrings& ReadmeText() { return readme_; }
  void SetReadmeText(const host::TStrings& v) { readme_.Assign(v); }
  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 protected:
  int StandaloneCode() const override { return imReadme; }
  bool BindsTo(TManagerType& type) const override;

 private:
  host::TStringList readme_;
};

class TRebootDlg : public TStandaloneInstallDlg {
 public:
  explicit TRebootDlg(host::TComponent* owner);
  const host::TPropertyTable& FormClass() const override { return TRebootForm::ClassProperties(); }
  void AssignDialogProperties() override;
  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 protected:
  int StandaloneCode() const override { return imReboot; }
  bool BindsTo(TManagerType& type) const override;
};

class TBadInstallationDlg : public TStandaloneInstallDlg {
 public:
  explicit TBadInstallationDlg(host::TComponent* owner);
  const host::TPropertyTable& FormClass() const override { return TBadInstallForm::ClassProperties(); }
  void AssignDialogProperties() override;
  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 protected:
  int StandaloneCode() const override { return imBadInstall; }
  bool BindsTo(TManagerType& type) const override;
};

// Registers the classes of this file for streaming and enters each page
// form class once in the page registry.
void RegisterStandardPageClasses();

}  // namespace orln
