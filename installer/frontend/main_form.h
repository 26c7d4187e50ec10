// The installer's main window, which carries the whole install script of the
// Tavrin Database Engine as the components of its form text: the install
// component, its directories and 94 files, the dialog managers, the registry
// item and the translator. It decides which IDEs receive the design-time
// package and registers the package in them once the files are installed.
//
// Callers must keep:
//  - One main form at a time: MainForm() is it, or null.
//  - The IDE choices are made by the version page (or all at once when that
//    page is skipped); ChooseIDEs applies them to the IDE directories.
#pragma once

#include <array>
#include <memory>
#include <string>

#include "host/forms/forms.h"
#include "host/rtl/string_list.h"
#include "installer/engine/script/file_container.h"
#include "installer/engine/script/install.h"
#include "installer/frontend/package_installer.h"

namespace orln {

// The IDEs in the order the main form walks them.
inline constexpr std::array<TIDEProduct, kIDEProductCount> kIDEWalk = {
    ipDelphi3, ipDelphi4, ipDelphi5, ipDelphi6, ipDelphi7, ipBuilder6};

class TMainForm : public host::TForm {
 public:
  explicit TMainForm(host::TComponent* owner);
  ~TMainForm() override;
  std::string_view FormText() const override;

  void FormCreate(host::TObject* sender);
  void FormDestroy(host::TObject* sender);
  // A destination recorded by an earlier install ("InstallPath") becomes
  // the install's destination.
  void Install1AfterInitialized(host::TObject* sender);
  // Registers the package in each chosen IDE whose directory is included.
  void Install1BeforeNotifyGoodInstall(host::TObject* sender);

  TInstall& Install() const;
  // Null before FormCreate and after FormDestroy.
  TPackageInstaller* PackageInstaller() const { return package_installer_.get(); }
  // The directory the IDE's files go to.
  TInstallDirectory& IDEDirectory(TIDEProduct product) const;
  // The caption the welcome page names the product by.
  std::string ProductCaption() const;

  bool Chosen(TIDEProduct product) const { return chosen_[product]; }
  void SetChosen(TIDEProduct product, bool v) { chosen_[product] = v; }
  // Each IDE directory is included when it carries files and its IDE is
  // chosen; the choices are kept with the run's history (when there is one)
  // so that the run resumed after a restart registers the same IDEs.
  void ChooseIDEs();

  // The IDE's directory carries files.
  bool Supported(TIDEProduct product);
  int SupportedCount();
  // Supported, and found on the machine.
  bool Available(TIDEProduct product);
  bool AnyAvailable();

  // The confirm page's text; logged as the install settings.
  void Summary(host::TStrings& lines);

  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 private:
  void ApplyChoices();
  // The choices kept with the run's history, when this run made none.
  void RestoreChoices();

  std::unique_ptr<TPackageInstaller> package_installer_;
  std::array<bool, kIDEProductCount> chosen_{};
  bool choices_made_ = false;
};

// The main form, or null.
TMainForm* MainForm();

// Whether the directory holds install files of its own.
bool CarriesFiles(const TFileContainer& directory);

// Registers the main form's and the product pages' classes for streaming and
// enters the pages in the page registry.
void RegisterProductClasses();

}  // namespace orln
