#include "installer/engine/install.h"

#include "host/forms/forms.h"
#include "installer/engine/install_group.h"
#include "installer/engine/install_registry.h"
#include "installer/engine/orln_exceptions.h"
#include "installer/engine/path_specifier_seam.h"

namespace orln {
namespace {

TCustomInstall*& TheInstall() {
  static TCustomInstall* install = nullptr;
  return install;
}

host::TComponent* CheckedOwner(host::TComponent* owner) {
  if (TheInstall() != nullptr)
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

TCustomInstall* GlobalInstall() { return TheInstall(); }

TCustomInstall::TCustomInstall(host::TComponent* owner) : TFileContainer(CheckedOwner(owner)) {
  SetDestDir("\\MyApplication");
  TInstallContainer::SetInstallTypes(ItBit(itFull));
  TheInstall() = this;
}

TCustomInstall::~TCustomInstall() {
  if (TheInstall() == this) TheInstall() = nullptr;
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
  for (const host::TPropertyTable* t :
       {&TInstall::ClassProperties(), &TInstallGroup::ClassProperties(),
        &TInstallRegistry::ClassProperties()})
    host::RegisterClass(*t);
}

}  // namespace orln
