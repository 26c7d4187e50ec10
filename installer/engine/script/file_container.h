// The file branch of the install script: TFileRelated ties an install object
// to an archive file and a network install source; TFileContainer holds files
// and sub-containers, builds its archive at build time and installs its
// children at run time; TInstallDirectory is the published container of one
// destination folder. The files themselves are in install_file.h.
//
// Callers must keep:
//  - ArchiveFileType and NetLocation are borrowed: a file-related object
//    forgets them when they go (free notification).
//  - Every file container owns the TpsFileContainer it made for itself,
//    unless a stored one was read for it (UsePathSpecifier): that one belongs
//    to its owner, as any component read from a form does.
//  - A message parameter (TMessageList, the status and disk parameters)
//    belongs to the sender and lives for the one event.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/rtl/event.h"
#include "installer/engine/net/net_install_location.h"
#include "installer/engine/script/install_object.h"

namespace orln {

class TCustomInstallFile;

// How Compress writes to the archive.
enum TArchiveMode { lzcOverwrite = 0, lzcOnlyAdd = 1 };

// Bits of BuildArchive's options.
inline constexpr int coAppendOwn = 1;          // every file appends to its own archive
inline constexpr int coContainerDirectory = 2; // other archives go to the container's folder
inline constexpr int coForceNetFilesLocal = 8;
inline constexpr int coForceFilesNet = 16;
inline constexpr int coIncludeExcluded = 32;
// What the install builds with for each distribute type.
inline constexpr int kTraditionalBuild = 46;
inline constexpr int kWebBuild = 54;
inline constexpr int kTraditionalNetBuild = 38;

// The operation a file container runs.
enum TContainerOperation { opNone = 0, opBuilding = 1, opInstalling = 2, opCopying = 3, opReflecting = 4 };

// Sets the install's aborted flag, when there is an install.
void MarkInstallAborted();

// Holds a container's operation or a file's state for one piece of work:
// back to `idle` and imCopyFinished told to the pages however the work ends
// (a page failing then marks the install as aborted).
template <class S>
class TWorkScope {
 public:
  TWorkScope(S& state, S value, S idle, TInstallContainer& owner)
      : state_(state), idle_(idle), owner_(owner) {
    state_ = value;
  }
  ~TWorkScope() {
    state_ = idle_;
    try {
      owner_.Broadcast(&owner_, imCopyFinished, nullptr);
    } catch (...) {
      MarkInstallAborted();
    }
  }
  TWorkScope(const TWorkScope&) = delete;
  TWorkScope& operator=(const TWorkScope&) = delete;

 private:
  S& state_;
  S idle_;
  TInstallContainer& owner_;
};

// A list of borrowed objects handed as one message parameter ([file, parameter]).
class TMessageList : public host::TObject {
 public:
  std::vector<host::TObject*> Items;
};

class TFileRelated : public TInstallObject {
 public:
  using TDataReceivedEvent =
      host::TEvent<void(host::TObject* Sender, const std::string& FileName, int32_t Status,
                        int32_t Total, int32_t Received, int32_t Code)>;

  explicit TFileRelated(host::TComponent* owner);
  ~TFileRelated() override;

  // Slot order of the system's own virtual table.
  // A piece of a download came in; code 1 marks the end of the transfer.
  virtual void DataReceived(const std::string& fileName, int32_t status, int32_t total,
                            int32_t received, int32_t code);
  // Fetches this object's archive from its net location unless a local copy
  // is recorded; raises the user abort when the transfer is cancelled.
  virtual void DownloadArchive();
  // A recorded local copy ("LocalFile" under the history key) that exists.
  virtual bool HasLocalArchive();
  virtual void RememberLocalArchive(const std::string& path);
  virtual void SetArchiveFile(const std::string& value);
  virtual void SetArchiveFileType(TCustomPathSpecifier* value);
  void SetContainer(TInstallContainer* value) override;
  virtual void SetNet(bool value) { net_ = value; }
  virtual void SetNetLocation(TCustomNetInstallLocation* value);
  // ArchiveFileType's path for this object and ArchiveFile, one trailing
  // backslash removed.
  std::string GetArchivePath() override;

  TArchiveMode AddToArchive() const { return add_to_archive_; }
  void SetAddToArchive(TArchiveMode v) { add_to_archive_ = v; }
  const std::string& ArchiveFile() const { return archive_file_; }
  TCustomPathSpecifier* ArchiveFileType() const { return archive_file_type_; }
  bool Net() const { return net_; }
  TCustomNetInstallLocation* NetLocation() const { return net_location_; }
  // The downloaded archive; empty until there is one.
  const std::string& LocalArchive() const { return local_archive_; }
  bool InformationRead() const { return information_read_; }
  void SetInformationRead(bool v) { information_read_ = v; }

  TDataReceivedEvent OnDataReceived;

  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 protected:
  void Notification(host::TComponent* component, host::TOperation operation) override;
  // The net location to download from: this object's own, else (for files)
  // the nearest file container's, else the install's; null for none.
  virtual TCustomNetInstallLocation* FindNetLocation() const;
  // "LocalFile"'s key: the component's subkey of the history key.
  std::string LocalFileKey() const;

  std::string local_archive_;

 private:
  TArchiveMode add_to_archive_ = lzcOverwrite;
  std::string archive_file_;
  TCustomPathSpecifier* archive_file_type_ = nullptr;  // borrowed
  bool net_ = true;
  TCustomNetInstallLocation* net_location_ = nullptr;  // borrowed
  bool information_read_ = false;
};

class TFileContainer : public TFileRelated {
 public:
  using TInstallObjectsEvent = host::TEvent<void(host::TObject* Sender, bool Aborted)>;
  using TNewDiskEvent = host::TEvent<void(host::TObject* Sender, int32_t Disk, std::string& Path)>;
  using TReplacingEvent = host::TEvent<void(host::TObject* Sender)>;
  using TStatusEvent = host::TEvent<void(host::TObject* Sender, int32_t Progress,
                                         const std::string& FileName, int32_t OverallPercent)>;

  explicit TFileContainer(host::TComponent* owner);
  ~TFileContainer() override;

  int GetKind() const override { return 1000; }
  // Slot order of the system's own virtual table.
  // True for containers, false for the install component.
  virtual bool IsFileContainer() const { return true; }
  // Runs OnNewDisk for the file's disk and marks the file as handled.
  virtual void RequestDisk(TCustomInstallFile* file, TDiskParameter& disk);
  virtual void FileReplacing(TCustomInstallFile* file);
  virtual void FileStatus(TCustomInstallFile* file, TFileStatusParameter& status);
  // Uncompressed bytes of the selected files (every file with includeAll),
  // with those of sub-containers when withChildren.
  virtual int64_t SizeOf(bool includeAll, bool withChildren);
  virtual void RunOperation(TContainerOperation operation);
  virtual void CopyFiles();
  virtual void FreeFiles();
  virtual void BuildArchive(int options);
  virtual int64_t CompressedSize(bool includeAll);
  virtual std::string GetLocalArchivePath();
  virtual int64_t UncompressedSize(bool includeAll) { return SizeOf(includeAll, false); }
  virtual int64_t TotalSize(bool includeAll) { return SizeOf(includeAll, true); }
  virtual void ReadArchiveInfo();
  virtual void ReadFileInfo();
  virtual bool NeedsDownload();

  // The install step: reads the archive's information, then processes the
  // children with progress and events around them.
  void ProcessChildren() override;
  // Handles the file events while an operation runs; passes every event on
  // upward.
  void DoInformationEventControl(host::TObject* sender, int code,
                                 host::TObject* parameter) override;
  void RemoveReference(host::TComponent* object) override;

  // The file children, and the file-container children, in order.
  std::vector<TCustomInstallFile*> Files() const;
  std::vector<TFileContainer*> SubContainers() const;

  const std::string& Description() const { return description_; }
  void SetDescription(const std::string& v) { description_ = v; }
  TpsFileContainer* PathSpecifier() const { return path_specifier_; }
  TContainerOperation Operation() const { return operation_; }
  int64_t TotalBytes() const { return total_bytes_; }
  int64_t DoneBytes() const { return done_bytes_; }
  // The container's archive on the net mirror, made by BuildArchive.
  const std::string& NetArchivePath() const { return net_archive_path_; }

  TPathTargetKind PathTargetKind() const override { return ptkFileContainer; }
  std::string PathDescription() const override { return description_; }
  void UsePathSpecifier(TpsFileContainer& specifier) override;

  TInstallObjectsEvent OnAfterInstallObjects;
  host::TNotifyEvent OnBeforeInstallObjects;
  TNewDiskEvent OnNewDisk;
  TReplacingEvent OnReplacing;
  TStatusEvent OnStatus;

  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 protected:
  void Notification(host::TComponent* component, host::TOperation operation) override;
  // The folder of the container's archive (for coContainerDirectory and the
  // net archives).
  std::string ArchiveDirectory();
  // The net archive path made of `location`'s server and folder and `name`;
  // empty without a location.
  std::string NetArchivePathFor(TCustomNetInstallLocation* location, const std::string& name);

 private:
  void BuildChildren(int options);

  std::string description_;
  TpsFileContainer* path_specifier_ = nullptr;
  bool owns_specifier_ = true;
  TContainerOperation operation_ = opNone;
  int64_t total_bytes_ = 0;
  int64_t done_bytes_ = 0;
  std::string net_archive_path_;
};

class TInstallDirectory : public TFileContainer {
 public:
  explicit TInstallDirectory(host::TComponent* owner);

  // Deletes every child file whose source (IncludeFromDir\FileName) is gone.
  virtual void CheckFileList();

  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }
};

// Publishes TFileRelated's archive and net properties.
template <class T>
void PublishArchive(host::TPublisher<T>& p) {
  static const host::TEnumInfo modes("TArchiveMode", {"lzcOverwrite", "lzcOnlyAdd"});
  p.Enumeration("AddToArchive", modes, &T::AddToArchive, &T::SetAddToArchive).Default(0);
  p.String("ArchiveFile", &T::ArchiveFile, &T::SetArchiveFile).DefaultString("");
  p.template Reference<TCustomPathSpecifier>("ArchiveFileType", &T::ArchiveFileType,
                                             &T::SetArchiveFileType);
}

}  // namespace orln
