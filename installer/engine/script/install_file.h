// One file of the install script: TCustomInstallFile (published as
// TInstallFile) with its archive entry, its copy decision, the replacement
// of a file in use at the next restart, self-registration, shared-library
// counts, help registration and its uninstall log; TUninstallEXE, the file
// that places the uninstall program and writes the product's entry in the
// list of installed programs.
//
// Callers must keep:
//  - Every file is on InstallGlobals().InstallFiles while it lives and holds
//    one slot of InstallGlobals().FileIdUsed (its id, 0-1999, which names
//    its archive entry); a file that fails ActiveX registration during a run
//    is on InstallGlobals().ActiveXFiles until the run registers it again.
//  - The destination is never lost: a file is written under a temporary
//    name beside it and moved over it only once whole (the archive's Extract
//    and CopyFile). A destination that cannot be replaced now (in use, read
//    only) is left alone: the new file goes under "name.1" (or the next free
//    number) and replaces it at the next restart.
//  - A component name goes into the 80-byte summary of the remote file list
//    with 39 characters at most: a longer one is refused when the archive is
//    built.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "installer/engine/base/base_routines.h"
#include "installer/engine/script/file_container.h"
#include "installer/engine/versions/version_compare.h"

namespace orln {

enum TInstallFileType {
  iftNormal = 0,
  iftJustADLL = 1,
  iftApplicationSpecificDLL = 2,
  iftVendorSharedDLL = 3,
  iftSystemWideDLL = 4,
};

enum TInstallFileState { ifsNone = 0, ifsCompress = 1, ifsInstall = 2, ifsCopying = 3, ifsReflect = 4 };

// What the archive entry of a file was last used for.
enum TArchiveEntryState { aesNone = 0, aesCompress = 1, aesInstall = 2 };

// The longest component name the summary holds (40 bytes, zero-terminated).
inline constexpr size_t kMaxSummaryName = 39;
inline constexpr size_t kArchiveSummarySize = 80;

class TCustomInstallFile : public TFileRelated {
 public:
  using TStatusEvent = host::TEvent<void(host::TObject* Sender, int32_t Progress, int32_t Percent)>;
  using TNewDiskEvent = host::TEvent<void(host::TObject* Sender, int32_t Disk, std::string& Path)>;

  // Takes the lowest free file id; IECustomInstallFile when all 2000 are taken.
  explicit TCustomInstallFile(host::TComponent* owner);
  ~TCustomInstallFile() override;

  int GetKind() const override { return 2000; }

  // Slot order of the system's own virtual table.
  virtual void RegisterActiveXLibrary();
  virtual void RegisterTypeLibrary();
  virtual void RegisterActiveXProgram();
  // Before a copy: events, and when the destination cannot be replaced now,
  // a new name and the replacement scheduled for the restart.
  virtual void PrepareReplace();
  virtual void SetDestName(const std::string& value);
  virtual void SetFileName(const std::string& value);
  virtual void SetFileType(TInstallFileType value);
  virtual void SetIncludeFromDir(const std::string& value);
  virtual void SetActiveX(bool value);
  // Writing ifsCompress, ifsInstall or ifsCopying runs that operation and
  // returns to ifsNone.
  virtual void SetState(TInstallFileState value);
  virtual void Compress();
  virtual void Copy();
  virtual void ReadInfoFromArchive();
  // Size, date and version of the source file (build time).
  virtual void ReadFileInfo();
  virtual bool HasOLESelfRegister();
  virtual void IncrementSharedCount();

  void ProcessChildren() override;
  void ResumeUnfinished() override;
  void WriteUninstallData(const std::string& keyPath) override;
  void SetContainer(TInstallContainer* value) override;
  void SetDestDir(const std::string& value) override;
  void SetDestDirType(TCustomPathSpecifier* value) override;
  std::string GetArchivePath() override;
  void DefineProperties(host::TFiler& filer) const override;

  TPathTargetKind PathTargetKind() const override { return ptkInstallFile; }

  // ---- data ----
  bool ActiveX() const { return active_x_; }
  const std::string& DestName() const { return dest_name_; }
  const std::string& FileName() const { return file_name_; }
  TInstallFileType FileType() const { return file_type_; }
  const std::string& IncludeFromDir() const { return include_from_dir_; }
  TOrlnFileAttributes InstallAttributes() const { return install_attributes_; }
  void SetInstallAttributes(TOrlnFileAttributes v) { install_attributes_ = v; }
  TOverwriteType OverwriteMode() const { return overwrite_mode_; }
  void SetOverwriteMode(TOverwriteType v) { overwrite_mode_ = v; }
  bool RegisterAsHelp() const { return register_as_help_; }
  void SetRegisterAsHelp(bool v) { register_as_help_ = v; }
  bool RunAfterInstall() const { return run_after_install_; }
  void SetRunAfterInstall(bool v) { run_after_install_ = v; }
  bool UpdateDLLCounter() const { return update_dll_counter_; }
  void SetUpdateDLLCounter(bool v) { update_dll_counter_ = v; }
  const std::string& RunParameters() const { return run_parameters_; }
  void SetRunParameters(const std::string& v) { run_parameters_ = v; }
  TInstallFileState State() const { return state_; }
  // Set by a page that handled the file's disk request itself.
  int32_t Tag() const { return tag_; }
  void SetTag(int32_t v) { tag_ = v; }
  int32_t FileId() const { return file_id_; }
  void SetFileId(int32_t id);

  // What the archive entry says (or the source, at build time).
  int32_t CompressedSize() const { return compressed_size_; }
  int32_t UncompressedSize() const { return uncompressed_size_; }
  double FileDate() const { return file_date_; }
  const std::string& Version() const { return version_; }
  TArchiveEntryState ArchiveEntryState() const { return entry_state_; }
  void SetArchiveEntryState(TArchiveEntryState v) { entry_state_ = v; }
  bool SeparateNetArchive() const { return separate_net_archive_; }
  const std::string& ArchiveUsed() const { return archive_used_; }
  bool DestinationExisted() const { return dest_existed_; }
  // The file went in under another name and replaces the old one at the restart.
  bool ReplacedAfterReboot() const { return replaced_; }
  bool CopyDecision() const { return copy_decision_; }

  // IncludeFromDir\FileName.
  std::string SourcePath() const;
  // The destination folder and DestName.
  std::string InstalledPath();
  // Its own archive on a net distribution: it has its own NetLocation or
  // decides by version or date.
  bool NeedsOwnArchive() const;
  // The 80-byte summary of the remote file list.
  std::string ArchiveSummary() const;
  // Stores size, date and version read back from a summary.
  void TakeSummary(int32_t size, double date, const std::string& version);

  host::TNotifyEvent OnAfterCompress, OnAfterCopy, OnAfterInstall;
  host::TNotifyEvent OnBeforeCompress, OnBeforeCopy, OnBeforeInstall;
  TStatusEvent OnStatus;
  TNewDiskEvent OnNewDisk;
  host::TNotifyEvent OnReplacing;

  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 protected:
  void Loaded() override;
  TCustomNetInstallLocation* FindNetLocation() const override;
  // The file container it sits in; IECustomInstallFile without one.
  TFileContainer& FileContainer() const;

 private:
  void Install();
  void PostInstall();
  // Registers the installed file as kind (an os::TRegistrationKind) asks.
  void RegisterWith(int kind);
  void RegisterNow();
  // The archive to read this file's entry from at run time.
  std::string RunArchivePath();
  // Points `archive` at this file's hooks for one operation (cleared by the guard).
  void HookArchive(TOrlnCompress& archive, int statusEvent);
  void ReportStatus(TOrlnCompress& archive, const TOrlnCompressStatus& status, int statusEvent);
  void RequestDisk(TOrlnCompress& archive, int volume, std::string& directory);
  void ScheduleReplace(const std::string& existing, const std::string& replacement);
  void CheckDuplicate(TInstallContainer* container, const std::string& dir,
                      const std::string& name) const;
  void SourceChanged();
  bool Designing() const { return !Loading(); }

  bool active_x_ = false;
  std::string dest_name_;
  std::string file_name_;
  TInstallFileType file_type_ = iftNormal;
  std::string include_from_dir_;
  TOrlnFileAttributes install_attributes_ = 0;
  TOverwriteType overwrite_mode_ = owAlways;
  bool register_as_help_ = false;
  bool run_after_install_ = false;
  bool update_dll_counter_ = false;
  std::string run_parameters_;
  TInstallFileState state_ = ifsNone;
  int32_t tag_ = 0;
  int32_t file_id_ = -1;

  int32_t compressed_size_ = 0;
  int32_t uncompressed_size_ = 0;
  double file_date_ = 0;
  std::string version_;
  TArchiveEntryState entry_state_ = aesNone;
  bool separate_net_archive_ = false;
  std::string archive_used_;
  bool dest_existed_ = false;
  bool replaced_ = false;
  bool copy_decision_ = false;
  // The file in use and the new file that replaces it at the restart,
  // recorded once the new file is whole.
  std::string pending_existing_;
  std::string pending_replacement_;

  friend class TFileContainer;
};

class TInstallFile : public TCustomInstallFile {
 public:
  explicit TInstallFile(host::TComponent* owner);
  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }
};

class TUninstallEXE : public TCustomInstallFile {
 public:
  explicit TUninstallEXE(host::TComponent* owner);
  // Clears the install's BuildInfo.AddUninstallOnCreate.
  ~TUninstallEXE() override;
  void AfterConstruction() override;

  // Writes the product's values under the Uninstall key.
  void WriteUninstallData(const std::string& keyPath) override;

  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }
};

// The file id's slot: taken (true) or free.
void ReleaseFileId(int32_t id);

}  // namespace orln
