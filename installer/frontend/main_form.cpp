#include "installer/frontend/main_form.h"

#include "host/forms/std_controls.h"
#include "installer/engine/base/base_routines.h"
#include "installer/engine/base/install_globals.h"
#include "installer/engine/base/orln_registry.h"
#include "installer/engine/script/install_file.h"
#include "installer/engine/script/install_registry.h"
#include "installer/frontend/decorative_controls.h"
#include "installer/frontend/main_form_form.h"
#include "installer/frontend/product_pages.h"

namespace orln {

namespace {

constexpr const char* kProductName = "Tavrin Database Engine";
constexpr const char* kCompanyName = "Fennick Software";
constexpr const char* kVersion = "141";
constexpr const char* kProductKey = "\\Software\\Fennick Software\\Tavrin";
// The history key's value that keeps the IDE choices: their names as comma text.
constexpr const char* kChoicesValue = "IDEChoices";
constexpr const char* kEditionLine = "Developer Edition: engine, components, demonstrations and help";

TMainForm* g_main_form = nullptr;

struct TIDEDirectoryName {
  TIDEProduct Product;
  const char* Directory;  // the script's directory for the IDE
  const char* Summary;    // its line in the summary
};
constexpr TIDEDirectoryName kIDEDirectories[] = {
    {ipDelphi3, "Delphi3", "     Delphi 3"}, {ipDelphi4, "Delphi4", "     Delphi 4"},
    {ipDelphi5, "Delphi5", "     Delphi 5"}, {ipDelphi6, "Delphi6", "     Delphi 6"},
    {ipDelphi7, "Delphi7", "     Delphi 7"}, {ipBuilder6, "Builder6", "     Builder 6"}};

const TIDEDirectoryName& DirectoryName(TIDEProduct product) {
  for (const TIDEDirectoryName& d : kIDEDirectories)
    if (d.Product == product) return d;
  throw IEInstall("No directory for IDE %d", {static_cast<int64_t>(product)});
}

void Log(const std::string& line) { InstallLog().Add(line); }

}  // namespace

TMainForm* MainForm() { return g_main_form; }

bool CarriesFiles(const TFileContainer& directory) { return !directory.Files().empty(); }

TMainForm::TMainForm(host::TComponent* owner) : host::TForm(owner) {
  if (g_main_form == nullptr) g_main_form = this;
}

TMainForm::~TMainForm() {
  // Run here rather than as OnDestroy, which the form base runs once this
  // class's part is gone.
  Destroying();
  FormDestroy(this);
  if (g_main_form == this) g_main_form = nullptr;
}

std::string_view TMainForm::FormText() const { return form_texts::main_form; }

TInstall& TMainForm::Install() const { return host::Child<TInstall>(*this, "Install1"); }

TInstallDirectory& TMainForm::IDEDirectory(TIDEProduct product) const {
  return host::Child<TInstallDirectory>(*this, DirectoryName(product).Directory);
}

std::string TMainForm::ProductCaption() const { return kProductName; }

void TMainForm::FormCreate(host::TObject*) {
  Log(std::string("Commencing Installation - ") + kProductName);
  SaveInstallLog();
  package_installer_ = std::make_unique<TPackageInstaller>();
  host::Child<TInstallRegistry>(*this, "InstallRegistry").SetKey(kProductKey);
  TInstall& install = Install();
  install.Information().SetCompanyName(kCompanyName);
  install.Information().SetProductName(kProductName);
  install.Information().SetVersion(kVersion);
  install.SetDestDir("\\Tavrin");
  host::Child<TRotate3DLabel>(*this, "ProductLabel").SetCaption(kProductName);
  SaveInstallLog();
}

void TMainForm::FormDestroy(host::TObject*) { package_installer_.reset(); }

void TMainForm::Install1AfterInitialized(host::TObject*) {
  TInstall& install = Install();
  const std::string recorded = RegReadString(hkLocalMachine, kProductKey, "InstallPath", "");
  if (!recorded.empty()) {
    install.SetDestDirType(nullptr);
    install.SetDestDir(recorded);
  }
  Log("Install1AfterInitialized. Moving Dir to: " + install.GetDestPath());
  SaveInstallLog();
  SetInstallLogDirectory(install.GetDestPath());
  Log("Install1AfterInitialized");
  SaveInstallLog();
}

void TMainForm::ChooseIDEs() {
  ApplyChoices();
  choices_made_ = true;
  // Kept with the run's history, for a run that ends in a restart.
  const std::string& history = InstallGlobals().HistoryKeyPath;
  if (history.empty()) return;
  host::TStringList names;
  for (TIDEProduct p : kIDEWalk)
    if (chosen_[p]) names.Add(IDEProductInfo(p).Name);
  RegWriteString(hkLocalMachine, history, kChoicesValue, names.CommaText());
}

void TMainForm::ApplyChoices() {
  for (TIDEProduct p : kIDEWalk) {
    TInstallDirectory& dir = IDEDirectory(p);
    dir.SetInclude(CarriesFiles(dir) && chosen_[p]);
  }
}

void TMainForm::RestoreChoices() {
  const std::string& history = InstallGlobals().HistoryKeyPath;
  if (history.empty()) return;
  host::TStringList names;
  names.SetCommaText(RegReadString(hkLocalMachine, history, kChoicesValue, ""));
  if (names.Count() == 0) return;
  for (TIDEProduct p : kIDEWalk) chosen_[p] = names.IndexOf(IDEProductInfo(p).Name) >= 0;
  ApplyChoices();
  Log("Installing product. IDE choices taken from the run before the restart: " + names.CommaText());
}

bool TMainForm::Supported(TIDEProduct product) {
  const bool supported = CarriesFiles(IDEDirectory(product));
  Log(std::string("CheckComponentSupportVersion ") + IDEProductInfo(product).Name + ": " +
      (supported ? "True" : "False"));
  return supported;
}

int TMainForm::SupportedCount() {
  int n = 0;
  for (TIDEProduct p : kIDEWalk) n += Supported(p);
  Log("GetComponentInstallationCount " + std::to_string(n));
  return n;
}

bool TMainForm::Available(TIDEProduct product) {
  return package_installer_ != nullptr && package_installer_->GetProduct(product).Present && Supported(product);
}

bool TMainForm::AnyAvailable() {
  bool any = false;
  for (TIDEProduct p : kIDEWalk) any = Available(p) || any;
  return any;
}

void TMainForm::Summary(host::TStrings& lines) {
  TInstall& install = Install();
  lines.Clear();
  lines.Add("");
  lines.Add(install.Information().GetProductName() + " V" + install.Information().GetVersion());
  lines.Add(kEditionLine);
  lines.Add("");
  lines.Add("Product Versions to install:");
  for (const TIDEDirectoryName& d : kIDEDirectories)
    if (IDEDirectory(d.Product).Include()) lines.Add(d.Summary);
  lines.Add("");
  lines.Add("Installation directory:");
  lines.Add(install.GetDestPath());
  SetInstallLogDirectory(install.GetDestPath());
  Log("Installation Settings");
  for (int i = 0; i < lines.Count(); ++i) Log(lines.Strings(i));
  Log("  ");
  SaveInstallLog();
}

void TMainForm::Install1BeforeNotifyGoodInstall(host::TObject*) {
  if (package_installer_ == nullptr) throw IEInstall("The package installer is not made");
  // A run resumed after a restart showed no version page: the choices are
  // the ones its first part kept.
  if (!choices_made_) RestoreChoices();
  host::TStringList components;
  components.SetCommaText("TTavDatabase,TTavTable, TTavQuery");
  const bool help = CarriesFiles(host::Child<TInstallDirectory>(*this, "HelpDir"));
  for (TIDEProduct p : kIDEWalk) {
    TInstallDirectory& dir = IDEDirectory(p);
    if (!chosen_[p] || !dir.Include()) continue;
    const TIDEProductInfo& info = IDEProductInfo(p);
    const bool marked = p == ipDelphi3 || p == ipDelphi4 || p == ipDelphi7 || p == ipBuilder6;
    if (marked) Log(std::string("Installing product. Pre: ") + info.Name);
    host::TStringList packages;
    TPackageInstaller::SplitText(info.OldPackages, ',', packages);
    packages.Add(NewPackageFileName(p));
    Log(std::string("Installing product. Product - ") + info.Name + " Starting");
    package_installer_->InstallPalette(p, "Data Access", components);
    package_installer_->InstallPackage(p, IncludeTrailingBackslash(dir.GetDestPath()) + NewPackageFileName(p),
                                       packages, kProductName);
    if (help) package_installer_->InstallHelp(p, "tavrin.hlp");
    Log(std::string("Installing product. Product - ") + info.Name + " Done");
    if (marked) Log(std::string("Installing product. Post: ") + info.Name);
    SaveInstallLog();
  }
}

const host::TPropertyTable& TMainForm::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TMainForm>(
      "TMainForm", &host::TForm::ClassProperties(), [](host::TPublisher<TMainForm>& p) {
        p.Method("FormCreate", &TMainForm::FormCreate);
        p.Method("FormDestroy", &TMainForm::FormDestroy);
        p.Method("Install1AfterInitialized", &TMainForm::Install1AfterInitialized);
        p.Method("Install1BeforeNotifyGoodInstall", &TMainForm::Install1BeforeNotifyGoodInstall);
      });
  return table;
}

void RegisterProductClasses() {
  host::RegisterClass(TMainForm::ClassProperties());
  RegisterProductPageClasses();
}

}  // namespace orln
