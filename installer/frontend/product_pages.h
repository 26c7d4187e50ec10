// The wizard pages of the Tavrin install: welcome, IDE version selection,
// destination folder and confirmation before the install, and the
// completion page after a good one. Each works on the main form (main_form.h)
// and binds to the dialog manager of its phase when made.
//
// Callers must keep:
//  - A page is made inside a showing of its phase, while the main form lives;
//    without a main form it binds to no manager and no host keeps it.
#pragma once

#include <string>
#include <vector>

#include "installer/frontend/standard_pages.h"

namespace orln {

class TWelcomeForm : public TStandardInstallForm {
 public:
  using TStandardInstallForm::TStandardInstallForm;
  std::string_view FormText() const override;
  // The introduction names the product.
  void AfterConstruction() override;
  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 protected:
  bool BindsTo(TManagerType& type) const override;
};

// The IDE version selection.
class TBeforeInstallDialog1 : public TStandardInstallForm {
 public:
  using TStandardInstallForm::TStandardInstallForm;
  std::string_view FormText() const override;
  // Each check box: checked when its IDE was found, enabled when it was
  // found and is supported.
  void AfterConstruction() override;
  // Skipped when at most one IDE is supported and one is available; every
  // IDE is chosen then.
  bool SkipPage() const override;
  // Refuses with a warning when nothing can be installed; else the check
  // boxes become the choices.
  void ProceedBtnClick(host::TObject* sender);

  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 protected:
  bool BindsTo(TManagerType& type) const override;
};

class TSelectDestinationForm : public TStandardInstallForm {
 public:
  using TStandardInstallForm::TStandardInstallForm;
  std::string_view FormText() const override;
  // The install component is the page's container.
  void AfterConstruction() override;
  void PrepareShow() override;
  // What the user types is the destination (an absolute path).
  void edDestDirChange(host::TObject* sender);
  // A folder browse starting at the edit's folder; the chosen folder takes
  // the destination's last component. Folders made only to start the
  // browse there go again while they are empty.
  void BrowseBtnClick(host::TObject* sender);

  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 protected:
  bool BindsTo(TManagerType& type) const override;

 private:
  void ShowDestination(const std::string& path);
  bool filling_ = false;
};

class TConfirmInstall : public TStandardInstallForm {
 public:
  using TStandardInstallForm::TStandardInstallForm;
  std::string_view FormText() const override;
  // The memo shows the summary.
  void PrepareShow() override;
  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 protected:
  bool BindsTo(TManagerType& type) const override;
};

class TAfterGoodInstallDlg : public TStandardInstallForm {
 public:
  using TStandardInstallForm::TStandardInstallForm;
  std::string_view FormText() const override;
  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 protected:
  bool BindsTo(TManagerType& type) const override;
};

// Registers the five page classes for streaming and enters them in the page
// registry.
void RegisterProductPageClasses();

}  // namespace orln
