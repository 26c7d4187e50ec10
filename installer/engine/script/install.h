// The install component, root of an install script: one per program, on a
// form or data module. Here stands what the object model, the registry items
// and the files need of it: the one-install rule, the product information,
// the build settings, the distribute type with its net location, whether a
// run is under way or was aborted, the restart request and the list of work
// left for after the restart. The run itself (command line, passes by kind,
// history) comes with the install run.
//
// Callers must keep:
//  - GlobalInstall() borrows: it is null once the install is freed.
#pragma once

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

class TCustomInstall : public TFileContainer, public TPathInstall {
 public:
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

  // Records work for after the restart under the history key's "Unfinished"
  // subkey: kind 0, the container `name` finishes; kind 1, the file `name`
  // is deleted. IEInstall without a history key.
  virtual void AddUnfinished(const std::string& name, int kind);
  int UnfinishedCount() const { return unfinished_count_; }

  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 protected:
  void Notification(host::TComponent* component, host::TOperation operation) override;

  TDistributeType distribute_type_ = dtTraditional;

 private:
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
