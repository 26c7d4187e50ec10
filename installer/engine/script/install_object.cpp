#include "installer/engine/script/install_object.h"

#include <algorithm>
#include <cmath>

#include "host/forms/forms.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/sys_utils.h"
#include "installer/engine/base/install_globals.h"
#include "installer/engine/base/orln_exceptions.h"
#include "installer/engine/base/orln_registry.h"
#include "installer/engine/net/net_install_location.h"
#include "installer/engine/paths/install_paths.h"
#include "installer/engine/script/install.h"
#include "os/win_file.h"

namespace orln {

const host::TEnumInfo& InstallTypeInfo() {
  static const host::TEnumInfo info("TInstallType", {"itFull", "itDefault", "itCompact", "itCustom"});
  return info;
}

const host::TEnumInfo& OSVerTypeInfo() {
  static const host::TEnumInfo info(
      "TOSVerType", {"os31win32", "oswin95", "oswinNT", "oswinNT351", "osUnidentified", "osLinux",
                     "oswin2K", "oswin98", "oswinME", "oswinXP"});
  return info;
}

void TDownloadStatusParameter::SetProgress(int32_t total, int32_t received, bool finished) {
  TotalBytes = total;
  BytesReceived = received;
  Percent = DownloadPercent(received, total, finished);
}

// ---------------------------------------------------------------- container

namespace {

// A form or data module holding install containers holds the standard
// specifiers too. While it is read from text they come from the text (a
// written script holds them), so they are made only for what is missing
// once the text is read.
void EnsureStandardSpecifiersOn(host::TComponent* owner) {
  if (dynamic_cast<host::TCustomForm*>(owner) == nullptr &&
      dynamic_cast<host::TDataModule*>(owner) == nullptr)
    return;
  if ((owner->ComponentState() & host::csLoading) != 0) return;
  StandardPathSpecifiers().EnsureStandardSpecifiers(owner, true);
}

// Counts containers freed, so that a broadcast knows whether its handlers
// freed any.
uint64_t g_containers_freed = 0;
}  // namespace

TInstallContainer::TInstallContainer(host::TComponent* owner) : TComponent(owner) {
  EnsureStandardSpecifiersOn(owner);
  InstallGlobals().Containers.Add(this);
}

TInstallContainer::~TInstallContainer() {
  ++g_containers_freed;
  auto& list = InstallGlobals().Containers;
  list.Remove(this);
  // Every container that may point here forgets this one. Forgetting frees
  // nothing, so the list holds still meanwhile.
  for (int i = 0; i < list.Count(); ++i) list.Items(i)->RemoveReference(this);
  children_.clear();
}

int TInstallContainer::ContainerCount() const {
  int n = 0;
  for (TInstallObject* c : children_) n += dynamic_cast<TFileContainer*>(c) != nullptr;
  return n;
}

TInstallContainer* TInstallContainer::Containers(int index) const {
  int seen = 0;
  for (TInstallObject* c : children_) {
    if (dynamic_cast<TFileContainer*>(c) != nullptr && seen++ == index) return c;
  }
  throw IEInstallContainer(
      "Tried to reference a helper component in the following component: %s. The following "
      "index was used: %d",
      {Name(), index});
}

void TInstallContainer::SetDestDir(const std::string& value) { dest_dir_ = value; }

void TInstallContainer::SetDestDirType(TCustomPathSpecifier* value) {
  dest_dir_type_set_ = true;
  if (!Loading() && value != nullptr) value->Validate(this);
  if (dest_dir_type_ == value) return;
  if (dest_dir_type_ != nullptr) dest_dir_type_->RemoveFreeNotification(this);
  dest_dir_type_ = value;
  if (value != nullptr) value->FreeNotification(this);
}

void TInstallContainer::DefaultDestDirType() {
  SetDestDirType(StandardPathSpecifiers().Lookup(TpsContainerDestDir::ClassProperties()));
  dest_dir_type_set_ = false;
  dest_dir_type_defaulted_ = true;
}

void TInstallContainer::ClearContainerDestDirType() {
  if (dynamic_cast<TpsContainerDestDir*>(dest_dir_type_) != nullptr) SetDestDirType(nullptr);
}

void TInstallContainer::Notification(host::TComponent* component, host::TOperation operation) {
  TComponent::Notification(component, operation);
  if (operation == host::opRemove && component == dest_dir_type_) dest_dir_type_ = nullptr;
}

void TInstallContainer::Loaded() {
  TComponent::Loaded();
  EnsureStandardSpecifiersOn(Owner());
  if (dest_dir_type_defaulted_ && !dest_dir_type_set_) SetDestDirType(nullptr);
}

void TInstallContainer::RemoveReference(host::TComponent* object) {
  // The object may be half destroyed: compare addresses only.
  for (TInstallObject* c : children_) {
    if (static_cast<host::TComponent*>(c) == object) {
      RemoveObject(c);
      break;
    }
  }
  if (single_target_ != nullptr && static_cast<host::TComponent*>(single_target_) == object)
    single_target_ = nullptr;
}

void TInstallContainer::ShowStatusMessage(const std::string& text) {
  TMessageParameter parameter(text);
  Broadcast(this, imStatusMessage, &parameter);
}

void TInstallContainer::HideStatusMessage() { Broadcast(this, imStatusMessageDone, nullptr); }

void TInstallContainer::DoInformationEventControl(host::TObject*, int, host::TObject*) {}

void TInstallContainer::HandleMessage(host::TObject*, int, host::TObject*) {}

std::string TInstallContainer::GetDestPath() {
  std::string path = dest_dir_;
  if (dest_dir_type_ != nullptr) path = dest_dir_type_->GetPath(this) + dest_dir_;
  return RemoveTrailingBackslash(path);
}

int TInstallContainer::GetKind() const {
  throw IEInstallContainer("Class must declare a registered type");
}

void TInstallContainer::AddObject(TInstallObject* object) {
  if (object == nullptr)
    throw IEInstallContainer("Cannot add a blank base helper component to %s", {Name()});
  // Walk up from here: the object may not be this container or one above it.
  const TInstallContainer* up = this;
  int steps = 0;
  while (up != nullptr) {
    if (up == object) throw IEInstallContainer("Circular reference");
    const auto* asObject = dynamic_cast<const TInstallObject*>(up);
    if (asObject == nullptr) break;
    up = asObject->Container();
    // A tree never links more containers than exist; more steps means a loop
    // that got in some other way.
    TAV_ASSERT(++steps <= InstallGlobals().Containers.Count() + 1, "container links loop");
  }
  size_t at = children_.size();
  if (host::UpperCase(object->ClassName()) == "TINSTALLBDE") {
    at = 0;
  } else {
    const int kind = object->GetKind();
    for (size_t i = 0; i < children_.size(); ++i) {
      if (children_[i]->GetKind() >= kind) {
        at = i;
        break;
      }
    }
  }
  children_.insert(children_.begin() + static_cast<std::ptrdiff_t>(at), object);
}

void TInstallContainer::RemoveObject(TInstallObject* object) {
  children_.erase(std::remove(children_.begin(), children_.end(), object), children_.end());
  if (single_target_ == object) single_target_ = nullptr;
}

bool TInstallContainer::IsLiveChild(const TInstallObject* object) const {
  return std::find(children_.begin(), children_.end(), object) != children_.end();
}

bool TInstallContainer::IsSelected() const {
  return include_ &&
         (selected_type_ == itCustom || (install_types_ & ItBit(selected_type_)) != 0);
}

void TInstallContainer::Process() {
  try {
    // An object for another Windows stays out of this run and every later one.
    if ((os_ & OsBit(GetWindowsVersion())) == 0) include_ = false;
    OnBeforeProcess(this);
    Broadcast(this, imBeforeProcess, nullptr);
    if (include_) {
      OnStartProcess(this);
      Broadcast(this, imProcessing, nullptr);
      if (selected_type_ != itCustom && (install_types_ & ItBit(selected_type_)) == 0) return;
      ProcessChildren();
      processed_ = true;
      const TCustomInstall* install = GlobalInstall();
      if (install != nullptr && uninstall_)
        WriteUninstallData("\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" +
                           install->Information().ProductName);
    }
    OnAfterProcess(this);
    Broadcast(this, imAfterProcess, nullptr);
  } catch (const host::EAbort&) {
    // A handler called off this object only; the run goes on.
  }
}

void TInstallContainer::ProcessChildren() {
  processed_ = true;
  // Only the file branch is processed with its container; registry items and
  // dialogs are reached by the run's passes by kind.
  const std::vector<TInstallObject*> snapshot = children_;
  for (TInstallObject* c : snapshot) {
    if (dynamic_cast<TFileRelated*>(c) != nullptr && IsLiveChild(c)) c->Process();
  }
}

void TInstallContainer::WriteUninstallData(const std::string&) {}

void TInstallContainer::Broadcast(host::TObject* sender, int code, host::TObject* parameter) {
  if (single_target_ != nullptr) {
    if (IsLiveChild(single_target_)) single_target_->HandleMessage(sender, code, parameter);
    return;
  }
  // Handlers may re-order, move or free children: walk the list as it stood,
  // skipping any child freed since.
  std::vector<TInstallObject*> snapshot;
  snapshot.reserve(children_.size());
  for (TInstallObject* c : children_) {
    if (c->GetKind() >= 2000) snapshot.push_back(c);
  }
  const auto& all = InstallGlobals().Containers;
  const uint64_t freedBefore = g_containers_freed;
  for (TInstallObject* c : snapshot) {
    if (g_containers_freed != freedBefore && all.IndexOf(c) < 0) continue;
    c->HandleMessage(sender, code, parameter);
  }
}

void TInstallContainer::SelectInstallType(TInstallType type) {
  for (TInstallObject* c : children_) c->SelectInstallType(type);
  selected_type_ = type;
}

TInstallObject* TInstallContainer::Comp(int index) const {
  if (index < 0 || index >= CompCount())
    throw IEInstallContainer(
        "Tried to reference a helper component in the following component: %s. The following "
        "index was used: %d",
        {Name(), index});
  return children_[static_cast<size_t>(index)];
}

void TInstallContainer::BadCompCall(int index, int componentType) const {
  throw IEInstallContainer(
      "Bad call to the Comp procedure which returns a TInstallObject for a TInstallContainer "
      "component. The parameters are probably reversed. Index: %d, ComponentType: %d",
      {index, componentType});
}

const host::TPropertyTable& TInstallContainer::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TInstallContainer>(
      "TInstallContainer", &TComponent::ClassProperties(), [](host::TPublisher<TInstallContainer>&) {});
  return table;
}

// ---------------------------------------------------------------- object

TInstallObject::TInstallObject(host::TComponent* owner) : TInstallContainer(owner) {}

void TInstallObject::AfterConstruction() {
  TInstallContainer::AfterConstruction();
  // Placed while designing: the object starts in the install. Done here, not
  // in the constructor, since joining asks the object's kind.
  TCustomInstall* install = GlobalInstall();
  if (install != nullptr && install != this && Owner() != nullptr && IsDesignMode(Owner())) {
    install->AddObject(this);
    container_ = install;
    DefaultDestDirType();
    SetDestDir(std::string());
    container_defaulted_ = true;
  }
}

void TInstallObject::SetContainer(TInstallContainer* value) {
  container_set_ = true;
  if (value == container_) return;
  if (value != nullptr) value->AddObject(this);
  if (container_ != nullptr) container_->RemoveObject(this);
  container_ = value;
  if (Loading()) return;
  if (value != nullptr) {
    DefaultDestDirType();
    SetDestDir(std::string());
  } else {
    ClearContainerDestDirType();
  }
}

void TInstallObject::SetOrder(int32_t value) {
  if (Loading()) {
    StoreOrder(value);
    return;
  }
  if (value == Order()) return;
  TInstallContainer* container = container_;
  if (container != nullptr) container->RemoveObject(this);
  StoreOrder(value);
  if (container != nullptr) container->AddObject(this);
}

void TInstallObject::Process() {
  if (InstallRunning() && container_ != nullptr && !container_->Processed()) return;
  TInstallContainer::Process();
}

void TInstallObject::RemoveReference(host::TComponent* object) {
  TInstallContainer::RemoveReference(object);
  if (object == container_) SetContainer(nullptr);
}

void TInstallObject::Loaded() {
  TInstallContainer::Loaded();
  if (container_defaulted_ && !container_set_) SetContainer(nullptr);
}

const host::TPropertyTable& TInstallObject::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TInstallObject>(
      "TInstallObject", &TInstallContainer::ClassProperties(), [](host::TPublisher<TInstallObject>&) {});
  return table;
}

// ---------------------------------------------------------------- routines

bool IsDesignMode(const host::TComponent* component) {
  if (InstallGlobals().LibraryTool) return true;
  return component != nullptr && (component->ComponentState() & host::csDesigning) != 0;
}

TDistributeType GlobalDistributeType() {
  const TCustomInstall* install = GlobalInstall();
  return install == nullptr ? dtTraditionalNet : install->DistributeType();
}

bool InstallRunning() {
  const TCustomInstall* install = GlobalInstall();
  return install != nullptr && install->Running();
}

std::string GetLibraryDirectory(bool required) {
  static constexpr char kMissing[] = "Cannot find the the Orlane directory on the VCL library search path";
  if (InstallGlobals().LibraryTool)
    return host::ExcludeTrailingPathDelimiter(host::ExtractFilePath(host::Application().ParamStr(0)));
  const std::string searchPath =
      RegReadString(hkCurrentUser, "\\Software\\Borland\\Delphi\\5.0\\Library", "Search Path", "");
  if (host::Trim(searchPath).empty()) {
    if (required) throw IENoOrlanePath(kMissing);
    return std::string();
  }
  const std::string rootDir =
      RegReadString(hkLocalMachine, "\\Software\\Borland\\Delphi\\5.0", "RootDir", "");
  const int n = TokenCount(searchPath, ';');
  for (int i = 1; i <= n; ++i) {
    std::string entry = Token(searchPath, i, ';');
    entry = host::StringReplace(entry, "$(DELPHI)", rootDir, host::rfReplaceAll | host::rfIgnoreCase);
    entry = host::StringReplace(entry, "$(BCB)", rootDir, host::rfReplaceAll | host::rfIgnoreCase);
    if (host::Trim(entry).empty()) continue;
    const std::string dir = RemoveTrailingBackslash(entry);
    if (os::WinFileExists(IncludeTrailingBackslash(dir) + "O32V52.TXT")) return dir;
  }
  if (required) throw IENoOrlanePath(kMissing);
  return std::string();
}

}  // namespace orln
