// The install script's object model: every element of a script is a
// TInstallContainer; a TInstallObject also sits in a container (its
// Container), so the script forms one tree under the install component.
// A container keeps its children sorted by kind (GetKind), newest first among
// equal kinds; the run processes containers by kind, and a container processes
// its file-related children itself. Broadcasts carry the dialog message codes
// (im...) to the children that show pages; information events (ie...) travel
// up the tree from files to their containers.
//
// Callers must keep:
//  - Children and Container are borrowed: a container learns of a going
//    component through RemoveReference, which every container on the global
//    container list hears from each container's destructor.
//  - A message parameter belongs to the sender and lives only for the one
//    broadcast or event.
//  - GetKind raises for a class that declares no kind; every class placed in
//    a container declares one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/classes/component.h"
#include "host/classes/prop_table.h"
#include "host/rtl/event.h"
#include "installer/engine/archive/orln_compress.h"
#include "installer/engine/base/base_routines.h"
#include "installer/engine/paths/install_paths.h"

namespace orln {

class TInstallObject;

// ---- install types and the OS filter ----

enum TInstallType { itFull = 0, itDefault = 1, itCompact = 2, itCustom = 3 };
// A set of TInstallType: bit i for type i.
using TInstallTypes = uint8_t;
inline constexpr TInstallTypes ItBit(TInstallType t) { return TInstallTypes(1u << t); }

// A set of TOSVerType: bit i for version i.
using TOSVerTypes = uint16_t;
inline constexpr TOSVerTypes OsBit(TOSVerType v) { return TOSVerTypes(1u << v); }
// Every Windows version the installer tells apart by name.
inline constexpr TOSVerTypes kWindowsVersions = OsBit(oswin95) | OsBit(oswinNT) |
                                                OsBit(oswin2K) | OsBit(oswin98) |
                                                OsBit(oswinME) | OsBit(oswinXP);

const host::TEnumInfo& InstallTypeInfo();
const host::TEnumInfo& OSVerTypeInfo();

enum TDistributeType { dtTraditional = 0, dtWeb = 1, dtTraditionalNet = 2 };

// ---- dialog message codes (broadcast down to the dialog components) ----

inline constexpr int imProcessing = -999;
inline constexpr int imFileStatus = -998;
inline constexpr int imReplacing = -997;
inline constexpr int imCopyFinished = -996;
inline constexpr int imGoodInstall = -995;
inline constexpr int imBadInstall = -994;
inline constexpr int imChangeDisk = -993;
inline constexpr int imContainerInfoRead = -992;
inline constexpr int imBeforeProcess = -990;
inline constexpr int imAfterProcess = -989;
inline constexpr int imDownloadStatus = -988;
inline constexpr int imReboot = -987;
inline constexpr int imInstallStarting = -986;
inline constexpr int imBeforeReadArchiveInfo = -984;
inline constexpr int imAfterReadArchiveInfo = -983;
inline constexpr int imLicense = -981;
inline constexpr int imBeforeInstall = -980;
inline constexpr int imAfterGoodInstall = -979;
inline constexpr int imAfterBadInstall = -978;
inline constexpr int imReadme = -977;
inline constexpr int imStatusMessage = -974;
inline constexpr int imStatusMessageDone = -973;
inline constexpr int imInstallRegistry = -968;
inline constexpr int imRegistration = -962;

// ---- information events (sent up from files to their containers) ----

inline constexpr int ieFileInstalled = 1001;      // the file
inline constexpr int ieFileInstalling = 1002;     // the file
inline constexpr int ieFileReplacing = 1003;      // the file
inline constexpr int ieBeforeCompress = 1004;     // the file
inline constexpr int ieAfterCompress = 1005;      // the file
inline constexpr int ieBeforeCopy = 1006;         // the file
inline constexpr int ieAfterCopy = 1007;          // the file
inline constexpr int ieInstallStatus = 1008;      // list: file, TFileStatusParameter
inline constexpr int ieCompressStatus = 1009;     // list: file, TFileStatusParameter
inline constexpr int ieCopyStatus = 1010;         // list: file, TFileStatusParameter
inline constexpr int ieNewDisk = 1011;            // list: file, TDiskParameter
inline constexpr int ieContainerCopying = 1012;   // the container
inline constexpr int ieContainerCopied = 1013;    // the container
inline constexpr int ieDownloadStatus = 1014;     // TDownloadStatusParameter
inline constexpr int ieFileCompleteA = 1015;      // the file
inline constexpr int ieFileCompleteB = 1016;      // the file

// ---- message parameters ----

class TMessageParameter : public host::TObject {
 public:
  explicit TMessageParameter(std::string text = std::string()) : Text(std::move(text)) {}
  std::string Text;
};

class TDiskParameter : public host::TObject {
 public:
  int32_t DiskNumber = 0;
  std::string DiskPath;
};

class TDownloadStatusParameter : public host::TObject {
 public:
  // Stores the counts and the percent received of total, rounded and held
  // to 0-100; a total of 0 gives 0 until the transfer is finished, then 100.
  void SetProgress(int32_t total, int32_t received, bool finished = false);

  int32_t Status = 0;
  std::string FileName;
  int32_t TotalBytes = 0;
  int32_t BytesReceived = 0;
  int32_t Percent = 0;
};

class TFileStatusParameter : public host::TObject {
 public:
  int32_t FileSize = 0;
  int32_t FileProgress = 0;
  std::string FileName;
  TOrlnCompressStatus ArchiveStatus;
  int32_t OverallBytes = 0;
  int32_t OverallPercent = 0;
};

// ---- the containers ----

class TInstallContainer : public host::TComponent, public TPathTarget {
 public:
  explicit TInstallContainer(host::TComponent* owner);
  ~TInstallContainer() override;

  // Slot order of the system's own virtual table.
  virtual int ContainerCount() const;
  virtual TInstallContainer* Containers(int index) const;
  virtual void SetDestDir(const std::string& value);
  virtual void SetDestDirType(TCustomPathSpecifier* value);
  virtual void RemoveReference(host::TComponent* object);
  virtual void ShowStatusMessage(const std::string& text);
  virtual void DoInformationEventControl(host::TObject* sender, int code, host::TObject* parameter);
  virtual void HandleMessage(host::TObject* sender, int code, host::TObject* parameter);
  std::string GetDestPath() override;
  virtual int GetKind() const;
  virtual void AddObject(TInstallObject* object);
  virtual void Process();
  // The uninstall step of an object; nothing here.
  virtual void UninstallObject() {}
  virtual void ProcessChildren();
  virtual void DoUninstall() {}
  virtual bool IsSelected() const;
  virtual void ResumeUnfinished() {}
  virtual void Hook29() {}
  virtual void RemoveObject(TInstallObject* object);
  virtual void WriteUninstallData(const std::string& keyPath);

  // Sends code to the children that show pages (kind 2000 and more), or to
  // the single target alone. Each child there at the start and still alive
  // hears it once, whatever the handlers do to the list meanwhile.
  void Broadcast(host::TObject* sender, int code, host::TObject* parameter);
  void HideStatusMessage();
  // Sets the type on every descendant, then on this container.
  void SelectInstallType(TInstallType type);

  // The index-th child; IEInstallContainer when out of range.
  TInstallObject* Comp(int index) const;
  int CompCount() const { return static_cast<int>(children_.size()); }
  // The index-th child of class T; IEInstallContainer when there is none.
  template <class T>
  T* CompOf(int index) const {
    int seen = 0;
    for (TInstallObject* c : children_) {
      if (auto* t = dynamic_cast<T*>(c)) {
        if (seen++ == index) return t;
      }
    }
    BadCompCall(index, seen);
  }
  template <class T>
  int CompCountOf() const {
    int n = 0;
    for (TInstallObject* c : children_) n += dynamic_cast<T*>(c) != nullptr;
    return n;
  }
  // Frees every child of class T.
  template <class T>
  void FreeCompsOf() {
    const std::vector<TInstallObject*> snapshot = children_;
    for (TInstallObject* c : snapshot) {
      if (T* child = dynamic_cast<T*>(c); child != nullptr && IsLiveChild(c)) delete child;
    }
  }

  // Published data.
  bool Include() const { return include_; }
  void SetInclude(bool v) { include_ = v; }
  bool Processed() const { return processed_; }
  void SetProcessed(bool v) { processed_ = v; }
  TInstallType SelectedInstallType() const { return selected_type_; }
  TInstallObject* SingleTarget() const { return single_target_; }
  void SetSingleTarget(TInstallObject* v) { single_target_ = v; }
  bool Uninstall() const { return uninstall_; }
  void SetUninstall(bool v) { uninstall_ = v; }
  TOSVerTypes OS() const { return os_; }
  void SetOS(TOSVerTypes v) { os_ = v; }
  const std::string& DestDir() const { return dest_dir_; }
  TCustomPathSpecifier* DestDirType() const { return dest_dir_type_; }
  TInstallTypes InstallTypes() const { return install_types_; }
  virtual void SetInstallTypes(TInstallTypes v) { install_types_ = v; }
  int32_t Order() const { return order_; }

  host::TNotifyEvent OnAfterProcess;
  host::TNotifyEvent OnBeforeProcess;
  // Fired when an included object starts its action (not published).
  host::TNotifyEvent OnStartProcess;

  // What the path specifiers see of the container.
  TPathTargetKind PathTargetKind() const override { return ptkContainer; }

  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 protected:
  void Loaded() override;
  void Notification(host::TComponent* component, host::TOperation operation) override;
  bool Loading() const { return (ComponentState() & host::csLoading) != 0; }
  bool IsLiveChild(const TInstallObject* object) const;
  // Stores the order without moving the object (SetOrder does the moving).
  void StoreOrder(int32_t v) { order_ = v; }
  // DestDirType as the shared container-destination specifier, defaulted.
  void DefaultDestDirType();
  // Drops DestDirType when it is the container-destination specifier.
  void ClearContainerDestDirType();

  const std::vector<TInstallObject*>& ChildList() const { return children_; }

 private:
  [[noreturn]] void BadCompCall(int index, int componentType) const;

  std::vector<TInstallObject*> children_;  // borrowed
  bool include_ = true;
  bool processed_ = false;
  TInstallType selected_type_ = itFull;
  TInstallObject* single_target_ = nullptr;
  bool uninstall_ = true;
  TOSVerTypes os_ = kWindowsVersions;
  std::string dest_dir_;
  TCustomPathSpecifier* dest_dir_type_ = nullptr;  // borrowed
  TInstallTypes install_types_ = ItBit(itFull) | ItBit(itDefault) | ItBit(itCompact);
  int32_t order_ = -1;
  bool dest_dir_type_set_ = false;
  bool dest_dir_type_defaulted_ = false;
};

class TInstallObject : public TInstallContainer {
 public:
  explicit TInstallObject(host::TComponent* owner);
  void AfterConstruction() override;

  TInstallContainer* Container() const { return container_; }
  virtual void SetContainer(TInstallContainer* value);
  // Moves the object within its container: it leaves and joins again, so
  // it comes first among the children of its kind. Only stored while loading.
  void SetOrder(int32_t value);

  void Process() override;
  void RemoveReference(host::TComponent* object) override;

  TPathTargetKind PathTargetKind() const override { return ptkInstallObject; }
  host::TComponent* PathContainer() const override { return container_; }

  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 protected:
  void Loaded() override;
  bool ContainerDefaulted() const { return container_defaulted_; }

 private:
  TInstallContainer* container_ = nullptr;  // borrowed
  bool container_set_ = false;
  bool container_defaulted_ = false;
};

// ---- unit routines ----

// Whether the component is being designed, or the install library runs as
// a tool (InstallGlobals().LibraryTool).
bool IsDesignMode(const host::TComponent* component);
// The install's distribute type; dtTraditionalNet without an install.
TDistributeType GlobalDistributeType();
// An install exists and its run is under way.
bool InstallRunning();
// The install library's directory (see install_object.cpp); with required,
// IENoOrlanePath when it cannot be found, else an empty result.
std::string GetLibraryDirectory(bool required);

// ---- publishing the shared properties ----
// Each script class publishes its own pick of these.

template <class T>
void PublishInclude(host::TPublisher<T>& p) {
  p.Boolean("Include", &T::Include, &T::SetInclude).Default(1);
}
template <class T>
void PublishOS(host::TPublisher<T>& p) {
  p.Set("OS", OSVerTypeInfo(), &T::OS, &T::SetOS).Default(kWindowsVersions);
}
template <class T>
void PublishInstallTypes(host::TPublisher<T>& p, TInstallTypes defaultTypes) {
  p.Set("InstallTypes", InstallTypeInfo(), &T::InstallTypes, &T::SetInstallTypes)
      .Default(defaultTypes);
}
template <class T>
void PublishUninstall(host::TPublisher<T>& p) {
  p.Boolean("Uninstall", &T::Uninstall, &T::SetUninstall).Default(1);
}
template <class T>
void PublishContainer(host::TPublisher<T>& p) {
  p.template Reference<TInstallContainer>("Container", &T::Container, &T::SetContainer);
}
template <class T>
void PublishDestination(host::TPublisher<T>& p) {
  p.String("DestDir", &T::DestDir, &T::SetDestDir).DefaultString("");
  p.template Reference<TCustomPathSpecifier>("DestDirType", &T::DestDirType, &T::SetDestDirType);
}
template <class T>
void PublishProcessEvents(host::TPublisher<T>& p) {
  p.Event("OnAfterProcess", &T::OnAfterProcess);
  p.Event("OnBeforeProcess", &T::OnBeforeProcess);
}

}  // namespace orln
