#include "installer/engine/script/install.h"

#include "host/forms/forms.h"
#include "host/rtl/sys_utils.h"
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
  if (!IsDesignMode(this)) {
    host::TApplication& app = host::Application();
    previous_on_exception_ = app.OnException;
    app.OnException = [this](host::TObject* sender, const host::Exception& e) {
      HandleInstallException(sender, e);
    };
    handles_exceptions_ = true;
  }
}

void TCustomInstall::SetAutoMaximizeWindow(bool v) {
  auto_maximize_ = v;
  if (v && !Loading()) hide_main_form_ = false;
}

void TCustomInstall::SetHideMainForm(bool v) {
  hide_main_form_ = v;
  if (v && !Loading()) auto_maximize_ = false;
}

void TCustomInstall::SetPresetupFiles(const host::TStrings& v) {
  host::TStringList kept;
  for (int i = 0; i < v.Count(); ++i)
    if (!host::Trim(v.Strings(i)).empty()) kept.Add(v.Strings(i));
  presetup_files_.Assign(kept);
}

void TCustomInstall::SetUseLoadingProgram(bool v) {
  use_loading_program_ = v;
  if (v && !Loading()) {
    SetArchiveFileType(StandardPathSpecifiers().Lookup<TpsMainArchiveFile>());
    SetArchiveFile("");
  }
}

void TCustomInstall::BuildArchive(int options) {
  for (int i = 0; i < InstallGlobals().InstallFiles.Count(); ++i)
    InstallGlobals().InstallFiles.Items(i)->SetArchiveEntryState(aesNone);
  TFileContainer::BuildArchive(options);
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
  OnDestroying(this);
  if (hooked_form_ != nullptr && (hooked_form_->ComponentState() & host::csDestroying) == 0)
    hooked_form_->OnActivate = saved_on_activate_;
  if (handles_exceptions_) host::Application().OnException = previous_on_exception_;
  if (InstallGlobals().Install == this) InstallGlobals().Install = nullptr;
  RunCleanUpBatch();
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
        PublishArchive(p);
        p.Boolean("AutoMaximizeWindow", &TInstall::AutoMaximizeWindow,
                  &TInstall::SetAutoMaximizeWindow)
            .Default(1);
        p.Boolean("HideMainForm", &TInstall::HideMainForm, &TInstall::SetHideMainForm).Default(0);
        p.Boolean("NoUninstall", &TInstall::NoUninstall, &TInstall::SetNoUninstall).Default(0);
        p.Boolean("RunAutomatic", &TInstall::RunAutomatic, &TInstall::SetRunAutomatic).Default(1);
        p.Boolean("UseLoadingProgram", &TInstall::UseLoadingProgram,
                  &TInstall::SetUseLoadingProgram)
            .Default(1);
        p.Object("Win2KExtendedInformation",
                 [](TInstall& i) -> TControlPanelExtensionInformation& {
                   return i.Win2KExtendedInformation();
                 });
        p.Object("DialogThemeBitmap",
                 [](TInstall& i) -> host::TPicture& { return i.DialogThemeBitmap(); });
        p.Strings("PresetupFiles", [](TInstall& i) -> host::TStrings& { return i.PresetupFiles(); });
        p.Event("OnAfterInitialized", &TInstall::OnAfterInitialized);
        p.Event("OnAfterInstallObjects", &TInstall::OnAfterInstallObjects);
        p.Event("OnAfterNotifyBadInstall", &TInstall::OnAfterNotifyBadInstall);
        p.Event("OnAfterNotifyGoodInstall", &TInstall::OnAfterNotifyGoodInstall);
        p.Event("OnAfterReadArchiveInfo", &TInstall::OnAfterReadArchiveInfo);
        p.Event("OnBeforeInstallObjects", &TInstall::OnBeforeInstallObjects);
        p.Event("OnBeforeReadArchiveInfo", &TInstall::OnBeforeReadArchiveInfo);
        p.Event("OnBeforeReboot", &TInstall::OnBeforeReboot);
        p.Event("OnBeforeRunFile", &TInstall::OnBeforeRunFile);
        p.Event("OnBeforeShutdown", &TInstall::OnBeforeShutdown);
        p.Event("OnBeforeCleanup", &TInstall::OnBeforeCleanup);
        p.Event("OnBeforeNotifyBadInstall", &TInstall::OnBeforeNotifyBadInstall);
        p.Event("OnBeforeNotifyGoodInstall", &TInstall::OnBeforeNotifyGoodInstall);
        p.Event("OnFailedReboot", &TInstall::OnFailedReboot);
        p.Event("OnNewDisk", &TInstall::OnNewDisk);
        p.Event("OnReplacing", &TInstall::OnReplacing);
        p.Event("OnStatus", &TInstall::OnStatus);
        p.Event("OnUserAbort", &TInstall::OnUserAbort);
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
