// The forms shown beside the wizard: the file-copy progress form, the
// change-disk form and the status message window, with their dialog
// components.
//
// Callers must keep:
//  - The status window's texts nest: each -974 shows a text over the
//    previous one, each -973 takes the newest away (nothing when none is
//    left); the window hides when the last goes.
//  - The change-disk form writes the path a user types or browses to into
//    the request's disk parameter, which the archive reads next.
//  - CurrentCopyDialog borrows the first copy component made, while it lives.
#pragma once

#include <string>
#include <string_view>

#include "host/rtl/string_list.h"
#include "installer/frontend/dialog_manager.h"

namespace orln {

class TCopyFileForm : public TBaseDuringCopyForm {
 public:
  using TBaseDuringCopyForm::TBaseDuringCopyForm;
  std::string_view FormText() const override;
  void FileStatus(const TFileStatusParameter& status) override;
  void DownloadStatus(const TDownloadStatusParameter& status) override;
  void CancelBtnClick(host::TObject* sender);
  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }
};

class TCopyFileDlg : public TCustomBaseInstallDlg {
 public:
  explicit TCopyFileDlg(host::TComponent* owner);
  ~TCopyFileDlg() override;
  const host::TPropertyTable& FormClass() const override { return TCopyFileForm::ClassProperties(); }
  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 protected:
  TFormRegistry* Registry() const override { return &DCFList(); }
  bool BindsTo(TManagerType& type) const override;
};

// The program's copy component: the first made, while it lives; else null.
TCopyFileDlg* CurrentCopyDialog();

class TChangeDiskForm : public TBaseChangeDiskForm {
 public:
  using TBaseChangeDiskForm::TBaseChangeDiskForm;
  std::string_view FormText() const override;
  // The prompt with the disk number, the path, the focus on InstallBtn.
  void FormShow(host::TObject* sender);
  void PathEditChange(host::TObject* sender);
  void BrowseBtnClick(host::TObject* sender);
  void CancelBtnClick(host::TObject* sender);
  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 private:
  void ShowPath(const std::string& path);
  bool filling_ = false;
};

class TChangeDiskDlg : public TCustomBaseInstallDlg {
 public:
  explicit TChangeDiskDlg(host::TComponent* owner) : TCustomBaseInstallDlg(owner) {}
  const host::TPropertyTable& FormClass() const override { return TChangeDiskForm::ClassProperties(); }
  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 protected:
  TFormRegistry* Registry() const override { return &BCDFList(); }
  bool BindsTo(TManagerType& type) const override;
};

// The status message window: a plain form.
class TInstallStatusForm : public host::TForm {
 public:
  using host::TForm::TForm;
  std::string_view FormText() const override;
  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }
};

// Shows the run's status texts (-974 pushes one, -973 takes it away).
class TInstallStatusDlg : public TCustomBaseInstallDlg {
 public:
  explicit TInstallStatusDlg(host::TComponent* owner);
  ~TInstallStatusDlg() override;
  const host::TPropertyTable& FormClass() const override { return TInstallStatusForm::ClassProperties(); }
  void HandleMessage(host::TObject* sender, int code, host::TObject* parameter) override;
  // Each new text is translated from English again.
  void Translate() override;

  // The texts shown, oldest first, and the one on view ("" for none).
  const host::TStrings& Messages() const { return messages_; }
  const std::string& CurrentMessage() const { return current_; }

  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 protected:
  TFormRegistry* Registry() const override { return nullptr; }

 private:
  void ShowText(const std::string& text);

  host::TStringList messages_;
  std::string current_;
};

// Registers the classes of this file for streaming and enters the progress
// and change-disk form classes once in their registries.
void RegisterProgressFormClasses();

}  // namespace orln
