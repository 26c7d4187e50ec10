#include "installer/engine/script/install.h"

#include "host/forms/forms.h"
#include "installer/engine/base/install_globals.h"
#include "installer/engine/base/orln_exceptions.h"
#include "installer/engine/paths/install_paths.h"
#include "installer/engine/script/install_group.h"
#include "installer/engine/script/install_registry.h"

namespace orln {
namespace {

host::TComponent* CheckedOwner(host::TComponent* owner) {
  if (InstallGlobals().Install != nullptr)
    throw IEInstall(
        "The TInstall component does not currently support the use of 2 TInstall components in "
        "the same project");
  if (dynamic_cast<host::TCustomForm*>(owner) == nullptr &&
      dynamic_cast<host::TDataModule*>(owner) == nullptr)
    throw IEInstall(
        "The Owner of the TInstall component must either be a class of type TCustomForm (Delphi "
        "3) or TForm (Delphi 2.0,C++Builder 1.0)");
  return owner;
}

}  // namespace

// Only the install component sets the global.
TCustomInstall* GlobalInstall() { return static_cast<TCustomInstall*>(InstallGlobals().Install); }

TCustomInstall::TCustomInstall(host::TComponent* owner) : TFileContainer(CheckedOwner(owner)) {
  SetDestDir("\\MyApplication");
  SetDestDirType(StandardPathSpecifiers().Lookup(TpsProgramFiles::ClassProperties()));
  TInstallContainer::SetInstallTypes(ItBit(itFull));
  InstallGlobals().Install = this;
}

TCustomInstall::~TCustomInstall() {
  if (InstallGlobals().Install == this) InstallGlobals().Install = nullptr;
}

bool TCustomInstall::SelfExtractorOption(std::string& value) const {
  value = self_extract_value_;
  return self_extract_;
}

void TCustomInstall::SetSource(const std::string& directory, bool selfExtract,
                               const std::string& selfExtractValue) {
  source_directory_ = directory;
  self_extract_ = selfExtract;
  self_extract_value_ = selfExtractValue;
}

void TCustomInstall::SetInstallTypes(TInstallTypes v) {
  TInstallContainer::SetInstallTypes(v == 0 ? ItBit(itFull) : v);
}

const host::TPropertyTable& TCustomInstall::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TCustomInstall>(
      "TCustomInstall", &TFileContainer::ClassProperties(), [](host::TPublisher<TCustomInstall>&) {});
  return table;
}

const host::TPropertyTable& TInstall::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TInstall>(
      "TInstall", &TCustomInstall::ClassProperties(), [](host::TPublisher<TInstall>& p) {
        p.String("DestDir", &TInstall::DestDir, &TInstall::SetDestDir).DefaultString("\\MyApplication");
        p.Reference<TCustomPathSpecifier>("DestDirType", &TInstall::DestDirType,
                                          &TInstall::SetDestDirType);
        p.Object("Information", [](TInstall& i) -> TInstallInformation& { return i.Information(); });
        PublishInstallTypes(p, ItBit(itFull));
        PublishProcessEvents(p);
      });
  return table;
}

void RegisterInstallClasses() {
  RegisterPathSpecifierClasses();
  for (const host::TPropertyTable* t :
       {&TInstall::ClassProperties(), &TInstallGroup::ClassProperties(),
        &TInstallRegistry::ClassProperties()})
    host::RegisterClass(*t);
}

}  // namespace orln
