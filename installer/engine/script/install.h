// The install component, root of an install script: one per program, on a
// form or data module. It reads the program's command line when loaded and
// chooses the program's mode: build a distribution (-b), copy one onto
// floppies (-f), finish after a restart (-r), or the normal run, started
// when the main form is first activated. The run keeps a history key in the
// registry while it lasts (found again by the program file's date and size),
// broadcasts the dialog messages the pages answer, processes the script by
// kind, and ends in a restart (the program is started again with -r) or in
// completion. install_run.cpp holds the run, distribution.cpp the build and
// floppy modes, self_extract.h the readers of the distribution's files.
//
// Callers must keep:
//  - GlobalInstall() borrows: it is null once the install is freed.
//  - At run time the install is the application's exception handler
//    (HandleInstallException) while it lives.
#pragma once

#include <array>
#include <memory>

#include "host/forms/forms.h"
#include "host/forms/graphics.h"
#include "host/rtl/string_list.h"
#include "installer/engine/script/file_container.h"
#include "installer/engine/script/install_information.h"

namespace orln {

class TBuildInfo : public host::TPersistent {
 public:
  void Assign(const host::TPersistent& source) override;
  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

  bool GetAddUninstallOnCreate() const { return AddUninstallOnCreate; }
  void SetAddUninstallOnCreate(bool v) { AddUninstallOnCreate = v; }

  bool AddUninstallOnCreate = true;
  std::string AppName;
  std::string AppURL;
  std::string BuildDirectory = "c:\\build";
  std::string CredentialsFile;
  std::string OCXName = "orlsetup";
  std::string PrivateKeyFile;
  bool SignCode = false;
  std::string URLPath;
  static constexpr const char* OrlnVersion = "5.20.00";
};

// The command-line options, by bit number: -b -f -d -e -r -s -c -n.
enum TInstallOption {
  ioBuild = 0,
  ioFloppies = 1,
  ioDebug = 2,
  ioSelfExtract = 3,
  ioAfterReboot = 4,
  ioSource = 5,
  ioCleanUp = 6,
  ioForget = 7,
};

class TCustomInstall : public TFileContainer, public TPathInstall {
 public:
  using TAbortEvent = host::TEvent<void(host::TObject* Sender, bool& Abort)>;
  using TRebootEvent = host::TEvent<void(host::TObject* Sender, bool& Reboot)>;
  using TRunFileEvent =
      host::TEvent<void(host::TObject* Sender, TCustomInstallFile* File, bool& Run)>;
  using TTerminateEvent = host::TEvent<void(host::TObject* Sender, bool& Terminate)>;
  using TCleanupEvent = host::TEvent<void(host::TObject* Sender, bool& Cleanup)>;

  // Raises IEInstall for a second install, or for an owner that is not a
  // form or data module.
  explicit TCustomInstall(host::TComponent* owner);
  ~TCustomInstall() override;

  bool IsFileContainer() const override { return false; }
  TPathTargetKind PathTargetKind() const override { return ptkInstall; }

  // Where the install runs from, and the self-extractor's option: the run
  // sets them from the command line (SetSource).
  std::string SourceDirectory() const override { return source_directory_; }
  bool SelfExtractorOption(std::string& value) const override;
  void SetSource(const std::string& directory, bool selfExtract, const std::string& selfExtractValue);
  // An empty set is stored as [itFull].
  void SetInstallTypes(TInstallTypes v) override;

  TInstallInformation& Information() { return information_; }
  const TInstallInformation& Information() const { return information_; }
  TControlPanelExtensionInformation& Win2KExtendedInformation() { return win2k_information_; }

  TDistributeType DistributeType() const { return distribute_type_; }
  // Only while designing or loading; a net type needs a NetLocation.
  virtual void SetDistributeType(TDistributeType v);
  // Also the program's net location; null sets dtTraditional.
  void SetNetLocation(TCustomNetInstallLocation* value) override;
  // Whether the run is under way.
  bool Running() const { return running_; }
  void SetRunning(bool v) { running_ = v; }
  // Whether the run was aborted.
  bool Aborted() const { return aborted_; }
  void SetAborted(bool v) { aborted_ = v; }
  // Set by install objects that need a restart.
  bool Reboot() const { return reboot_; }
  void SetReboot(bool v) { reboot_ = v; }
  TBuildInfo& BuildInfo() { return build_info_; }
  void SetBuildInfo(const TBuildInfo& v) { build_info_.Assign(v); }

  // Slot order of the system's own virtual table.
  // Deletes the history key with its subkeys and the files they name.
  virtual void RemoveInstallHistory();
  virtual void NotifyBadInstall();
  virtual void NotifyGoodInstall();
  virtual void Hook4() {}
  // The history subkey of this program file (by date and size); with
  // create a new "Install%d" when none matches. Empty when none.
  virtual void FindInstallHistory(bool create, std::string& keyPath);
  // Runs every container of `kind`, `text` shown as status meanwhile.
  virtual void ProcessObjectsOfKind(int kind, const std::string& text);
  // Reads the program's arguments into the options; IEInstall for a bad one.
  virtual void ParseCommandLine();
  virtual void RunFilesAfterInstall();
  virtual void SetAutoMaximizeWindow(bool v);
  virtual void SetDialogThemeBitmap(const host::TPicture& v) { theme_bitmap_.Assign(v); }
  virtual void SetHideMainForm(bool v);
  // Drops blank lines, then takes the rest.
  virtual void SetPresetupFiles(const host::TStrings& v);
  virtual void SetUseLoadingProgram(bool v);
  // The RunOnce entry that starts the program again with -r.
  virtual void RegisterRunOnce();
  // The application's exception handler while the install lives.
  virtual void HandleInstallException(host::TObject* sender, const host::Exception& e);
  virtual void BuildDistribution(const std::string& programPath, const std::string& buildDirectory,
                                 bool standAlone);
  // Deletes the program's folder (with -c), on the machine's own drives only.
  virtual void CleanUpSource();
  virtual void CreateSetupArchive(const std::string& buildDirectory,
                                  const std::string& programPath);
  // "name;kind" for each entry of the unfinished list.
  virtual void ReadUnfinished(host::TStrings& list);
  // OnUserAbort's answer (true without a handler).
  virtual bool ConfirmUserAbort();
  virtual void ClearUnfinished();
  // Records work for after the restart under the history key's "Unfinished"
  // subkey: kind 0, the container `name` finishes; kind 1, the file `name`
  // is deleted. IEInstall without a history key.
  virtual void AddUnfinished(const std::string& name, int kind);
  int UnfinishedCount() const { return unfinished_count_; }

  // The run: history, broadcasts, the passes by kind, restart or completion.
  void Process() override;
  // The -r start: the work recorded for after the restart, then completion.
  void ResumeUnfinished() override;
  // Once per run: the archive's information, and with a net distribution
  // the remote list of files ("filelist.lst").
  void ReadArchiveInfo() override;
  // Forgets every install file's archive state first.
  void BuildArchive(int options) override;

  // The build mode (-b): the build directory from BUILD.INF beside the
  // program, then the stand-alone distribution; errors as a message box.
  void RunBuildMode();
  // The floppy transfer (-f) onto `drive` ("a:").
  void TransferToFloppies(const std::string& drive);

  bool HasOption(TInstallOption o) const { return (options_ & (1u << o)) != 0; }
  const std::string& OptionValue(TInstallOption o) const { return option_values_[o]; }
  bool AutoMaximizeWindow() const { return auto_maximize_; }
  bool HideMainForm() const { return hide_main_form_; }
  bool NoUninstall() const { return no_uninstall_; }
  void SetNoUninstall(bool v) { no_uninstall_ = v; }
  bool RunAutomatic() const { return run_automatic_; }
  void SetRunAutomatic(bool v) { run_automatic_ = v; }
  bool UseLoadingProgram() const { return use_loading_program_; }
  host::TStrings& PresetupFiles() { return presetup_files_; }
  const host::TStrings& PresetupFiles() const { return presetup_files_; }
  host::TPicture& DialogThemeBitmap() { return theme_bitmap_; }
  const host::TPicture& DialogThemeBitmap() const { return theme_bitmap_; }
  // The form the install runs on: the application's main form, else the
  // owner when it is a form; null for none.
  host::TCustomForm* MainForm() const;
  bool ArchiveInfoRead() const { return archive_info_read_; }

  host::TNotifyEvent OnAfterInitialized, OnAfterNotifyBadInstall, OnAfterNotifyGoodInstall,
      OnAfterReadArchiveInfo, OnBeforeNotifyBadInstall, OnBeforeNotifyGoodInstall,
      OnBeforeReadArchiveInfo, OnFailedReboot;
  TRebootEvent OnBeforeReboot;
  TRunFileEvent OnBeforeRunFile;
  TTerminateEvent OnBeforeShutdown;
  TCleanupEvent OnBeforeCleanup;
  TAbortEvent OnUserAbort;
  // The unpublished notifications around a build and at destruction.
  host::TNotifyEvent OnBeforeCopyProgram, OnAfterCopyProgram, OnBeforeBuildArchive,
      OnAfterBuildArchive, OnBeforeWriteSelfExtract, OnAfterWriteSelfExtract, OnDestroying;

  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 protected:
  void Notification(host::TComponent* component, host::TOperation operation) override;
  void Loaded() override;

  TDistributeType distribute_type_ = dtTraditional;

 private:
  void FormActivated(host::TObject* sender);
  void RunPasses();
  void EndRun(bool failed);
  // Restarts Windows as this version allows; false when it did not.
  bool RestartWindows();
  void Restart();
  void Shutdown();
  void Complete();
  // Reads "filelist.lst" at `path` into the install files.
  void ReadRemoteFileList(const std::string& path);
  void WriteRemoteFileList();
  // The loading program: what RegisterRunOnce names and the -e archive.
  std::string LoadingProgramPath();
  void RunCleanUpBatch();

  TInstallInformation information_;
  TControlPanelExtensionInformation win2k_information_;
  TBuildInfo build_info_;
  bool running_ = false;
  bool aborted_ = false;
  bool reboot_ = false;
  int unfinished_count_ = 0;
  std::string source_directory_;
  bool self_extract_ = false;
  std::string self_extract_value_;

  bool auto_maximize_ = true;
  bool hide_main_form_ = false;
  bool no_uninstall_ = false;
  bool run_automatic_ = true;
  bool use_loading_program_ = true;
  host::TStringList presetup_files_;
  host::TPicture theme_bitmap_;
  uint8_t options_ = 0;
  std::array<std::string, 8> option_values_;
  host::TNotifyEvent saved_on_activate_;
  host::TCustomForm* hooked_form_ = nullptr;
  bool activated_once_ = false;
  bool archive_info_read_ = false;
  bool in_run_ = false;  // inside Process
  // The run ended in an exception its handler has not seen yet.
  bool failed_run_ = false;
  std::string cleanup_batch_;
  host::TExceptionEvent previous_on_exception_;
  bool handles_exceptions_ = false;
};

class TInstall : public TCustomInstall {
 public:
  using TCustomInstall::TCustomInstall;
  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }
};

// The program's install component, or null.
TCustomInstall* GlobalInstall();

// Makes the script's classes, path specifiers included, known to component
// streaming.
void RegisterInstallClasses();

}  // namespace orln
