#include "installer/engine/script/install.h"

#include "host/forms/forms.h"
#include "installer/engine/base/install_globals.h"
#include "installer/engine/base/orln_exceptions.h"
#include "installer/engine/base/orln_registry.h"
#include "installer/engine/paths/install_paths.h"
#include "installer/engine/script/install_file.h"
#include "installer/engine/script/install_group.h"
#include "installer/engine/script/install_registry.h"
#include "installer/engine/translation/translator.h"

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
  SetArchiveFileType(StandardPathSpecifiers().Lookup<TpsMainArchiveFile>());
}

void TCustomInstall::SetDistributeType(TDistributeType v) {
  if (!Loading()) {
    if (!IsDesignMode(this)) throw IEInstall("DistributeType can only be set at design-time");
    if (v != dtTraditional && NetLocation() == nullptr)
      throw IEInstallNetLocNil(
          "Must assign a net location via the NetLocation property before you can set the "
          "distribute type");
  }
  distribute_type_ = v;
}

void TCustomInstall::SetNetLocation(TCustomNetInstallLocation* value) {
  TFileContainer::SetNetLocation(value);
  if (value == nullptr) distribute_type_ = dtTraditional;
}

void TCustomInstall::Notification(host::TComponent* component, host::TOperation operation) {
  const bool location = operation == host::opRemove && component != nullptr &&
                        static_cast<host::TComponent*>(NetLocation()) == component;
  TFileContainer::Notification(component, operation);
  if (location) distribute_type_ = dtTraditional;
}

void TCustomInstall::AddUnfinished(const std::string& name, int kind) {
  const std::string& history = InstallGlobals().HistoryKeyPath;
  if (history.empty())
    throw IEInstall("The TInstall could not either write or read unfinished business from the "
                    "registry");
  ++unfinished_count_;
  RegWriteString(hkLocalMachine, history + "\\Unfinished", name, std::to_string(kind));
}

void TBuildInfo::Assign(const host::TPersistent& source) {
  const auto* other = dynamic_cast<const TBuildInfo*>(&source);
  if (other == nullptr) {
    host::TPersistent::Assign(source);
    return;
  }
  *this = *other;
}

const host::TPropertyTable& TBuildInfo::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TBuildInfo>(
      "TBuildInfo", nullptr, [](host::TPublisher<TBuildInfo>& p) {
        p.Boolean("AddUninstallOnCreate", &TBuildInfo::GetAddUninstallOnCreate,
                  &TBuildInfo::SetAddUninstallOnCreate)
            .Default(1);
        auto text = [&p](const char* name, std::string TBuildInfo::*field, const char* def) {
          p.String(
               name, [field](const TBuildInfo& b) -> const std::string& { return b.*field; },
               [field](TBuildInfo& b, const std::string& v) { b.*field = v; })
              .DefaultString(def);
        };
        text("AppName", &TBuildInfo::AppName, "");
        text("AppURL", &TBuildInfo::AppURL, "");
        text("BuildDirectory", &TBuildInfo::BuildDirectory, "c:\\build");
        text("CredentialsFile", &TBuildInfo::CredentialsFile, "");
        text("OCXName", &TBuildInfo::OCXName, "orlsetup");
        text("PrivateKeyFile", &TBuildInfo::PrivateKeyFile, "");
        p.Boolean(
             "SignCode", [](const TBuildInfo& b) { return b.SignCode; },
             [](TBuildInfo& b, bool v) { b.SignCode = v; })
            .Default(0);
        text("URLPath", &TBuildInfo::URLPath, "");
      });
  return table;
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
        p.Object("BuildInfo", [](TInstall& i) -> TBuildInfo& { return i.BuildInfo(); });
        static const host::TEnumInfo types("TDistributeType",
                                           {"dtTraditional", "dtWeb", "dtTraditionalNet"});
        p.Enumeration("DistributeType", types, &TInstall::DistributeType,
                      &TInstall::SetDistributeType)
            .Default(0);
        p.Reference<TCustomNetInstallLocation>("NetLocation", &TInstall::NetLocation,
                                               &TInstall::SetNetLocation);
        p.Boolean("Reboot", &TInstall::Reboot, &TInstall::SetReboot).Default(0);
        PublishInstallTypes(p, ItBit(itFull));
        PublishProcessEvents(p);
      });
  return table;
}

void RegisterInstallClasses() {
  RegisterPathSpecifierClasses();
  for (const host::TPropertyTable* t :
       {&TInstall::ClassProperties(), &TInstallGroup::ClassProperties(),
        &TInstallRegistry::ClassProperties(), &TInstallDirectory::ClassProperties(),
        &TInstallFile::ClassProperties(), &TUninstallEXE::ClassProperties(),
        &TNetInstallLocation::ClassProperties(), &TTranslator::ClassProperties()})
    host::RegisterClass(*t);
}

}  // namespace orln
