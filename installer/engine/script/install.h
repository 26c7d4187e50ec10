// The install component, root of an install script: one per program, on a
// form or data module. Here stands what the object model and the registry
// items need of it: the one-install rule, the product information, the
// distribute type and whether a run is under way. The run itself (command
// line, passes by kind, history, reboot) comes with the install run.
//
// Callers must keep:
//  - GlobalInstall() borrows: it is null once the install is freed.
#pragma once

#include "installer/engine/script/file_container.h"
#include "installer/engine/script/install_information.h"

namespace orln {

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
  // Whether the run is under way.
  bool Running() const { return running_; }
  void SetRunning(bool v) { running_ = v; }

  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 protected:
  TDistributeType distribute_type_ = dtTraditional;

 private:
  TInstallInformation information_;
  TControlPanelExtensionInformation win2k_information_;
  bool running_ = false;
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
