// Install groups: file containers that the user may pick or leave out as a
// whole on the group pages, each with its dialog options. A group sits in the
// install or in another group, nowhere else.
#pragma once

#include <memory>

#include "host/forms/graphics.h"
#include "host/rtl/string_list.h"
#include "installer/engine/script/file_container.h"

namespace orln {

class TInstallGroupDialogOptions : public host::TPersistent {
 public:
  TInstallGroupDialogOptions();
  ~TInstallGroupDialogOptions() override;
  TInstallGroupDialogOptions(const TInstallGroupDialogOptions&) = delete;
  TInstallGroupDialogOptions& operator=(const TInstallGroupDialogOptions&) = delete;

  void Assign(const host::TPersistent& source) override;

  bool AllowChangeDir() const { return allow_change_dir_; }
  void SetAllowChangeDir(bool v) { allow_change_dir_ = v; }
  bool AllowExcludeInclude() const { return allow_exclude_include_; }
  void SetAllowExcludeInclude(bool v) { allow_exclude_include_ = v; }
  host::TStrings& Description() { return *description_; }
  const host::TStrings& Description() const { return *description_; }
  void SetDescription(const host::TStrings& v) { description_->Assign(v); }
  bool DisplayDirectory() const { return display_directory_; }
  void SetDisplayDirectory(bool v) { display_directory_ = v; }
  host::TIcon& SmallIcon() { return *small_icon_; }
  const host::TIcon& SmallIcon() const { return *small_icon_; }
  void SetSmallIcon(const host::TIcon& v) { small_icon_->Assign(v); }
  bool ShowRegardlessOfInclude() const { return show_regardless_of_include_; }
  void SetShowRegardlessOfInclude(bool v) { show_regardless_of_include_ = v; }

  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 private:
  bool allow_change_dir_ = true;
  bool allow_exclude_include_ = true;
  std::unique_ptr<host::TStringList> description_;
  bool display_directory_ = true;
  std::unique_ptr<host::TIcon> small_icon_;
  bool show_regardless_of_include_ = true;
};

class TCustomInstallGroup : public TFileContainer {
 public:
  using TFileContainer::TFileContainer;

  int GetKind() const override { return 500; }
  TPathTargetKind PathTargetKind() const override { return ptkGroup; }
  // Takes only the install or another group (IEInstallGroup otherwise); null
  // stands for the install.
  void SetContainer(TInstallContainer* value) override;

  TInstallGroupDialogOptions& DialogOptions() { return dialog_options_; }
  const TInstallGroupDialogOptions& DialogOptions() const { return dialog_options_; }
  void SetDialogOptions(const TInstallGroupDialogOptions& v) { dialog_options_.Assign(v); }

  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 private:
  TInstallGroupDialogOptions dialog_options_;
};

class TInstallGroup : public TCustomInstallGroup {
 public:
  using TCustomInstallGroup::TCustomInstallGroup;
  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }
};

}  // namespace orln
