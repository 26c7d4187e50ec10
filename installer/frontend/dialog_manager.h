// The installer's wizard machinery: dialog managers, dialog components and
// the bases of the page, progress and change-disk forms.
//
// A TDialogManager (kind 9000) answers the dialog message codes of its phase
// (ManagerType): it shows every page form registered for the phase, sorted
// by Order, one after another in one modal host (TBaseFormContainer); keeps
// progress forms up to date while files are copied; and shows the
// change-disk form. A dialog component (TCustomBaseInstallDlg) puts a page
// form of its class into its manager's pages, or, without a manager, shows
// its form by itself (Execute). Cancel anywhere ends the run as a user abort
// (EAIUserAbort).
//
// Form classes are kept in three registries (page, progress and change-disk
// forms): RegisterFrontendClasses enters each standard form class once with
// no component; a dialog component enters its own form class with itself
// while it lives.
//
// Callers must keep:
//  - The current dialog manager is set only for one ShowPages or
//    ShowChangeDisk, and cleared however they end.
//  - Forms, components and managers refer to one another without owning:
//    each forgets the other when it goes (free notification, or the install
//    containers' RemoveReference).
//  - Page forms belong to their host, which goes at the end of ShowPages;
//    progress forms live from the first status update to -996.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/forms/forms.h"
#include "host/forms/std_controls.h"
#include "installer/engine/base/orln_exceptions.h"
#include "installer/engine/script/file_container.h"
#include "installer/engine/script/install_object.h"
#include "installer/engine/translation/orln_forms.h"

namespace orln {

class TDialogManager;
class TCustomBaseInstallDlg;
class TBaseFormContainer;

// ---- exceptions ----

class IEDialogManager : public IException {
 public:
  using IException::IException;
};
class IEBaseInstallDlg : public IException {
 public:
  using IException::IException;
};

// ---- screen placement ----

// A 3 x 3 grid of the screen.
enum TOrlaneDialogPosition : uint8_t {
  odpCenterLeft, odpCenter, odpCenterRight,
  odpBottomLeft, odpBottomCenter, odpBottomRight,
  odpTopLeft, odpTopCenter, odpTopRight
};
const host::TEnumInfo& DialogPositionInfo();

// Places `form` on the grid: a left column sits leftOffset from the left
// edge, a right one leftOffset from the right edge, the centre one
// leftOffset right of centre; a top row topOffset from the top, a bottom
// row topOffset plus the caption height above the bottom edge, the centre
// row topOffset below centre.
void SetDialogPosition(host::TControl& form, TOrlaneDialogPosition position, int32_t leftOffset,
                       int32_t topOffset);

// Where a dialog goes: its size and its place on the grid.
class TDialogPlacement {
 public:
  int32_t Height() const { return height_; }
  void SetHeight(int32_t v) { height_ = v; }
  int32_t Width() const { return width_; }
  void SetWidth(int32_t v) { width_ = v; }
  TOrlaneDialogPosition Position() const { return position_; }
  void SetPosition(TOrlaneDialogPosition v) { position_ = v; }
  int32_t RelativeLeftOffset() const { return left_offset_; }
  void SetRelativeLeftOffset(int32_t v) { left_offset_ = v; }
  int32_t RelativeTopOffset() const { return top_offset_; }
  void SetRelativeTopOffset(int32_t v) { top_offset_ = v; }

  // Gives `form` the size, then its place (SetDialogPosition).
  void Place(host::TControl& form) const;

  // Publishes the five, with these defaults, for a class T derived from this.
  template <class T>
  static void Publish(host::TPublisher<T>& p, int32_t height, int32_t width,
                      TOrlaneDialogPosition position, int32_t topOffset);

 protected:
  TDialogPlacement(int32_t height, int32_t width, TOrlaneDialogPosition position, int32_t topOffset)
      : height_(height), width_(width), position_(position), top_offset_(topOffset) {}

 private:
  int32_t height_;
  int32_t width_;
  TOrlaneDialogPosition position_;
  int32_t left_offset_ = 0;
  int32_t top_offset_;
};

template <class T>
void TDialogPlacement::Publish(host::TPublisher<T>& p, int32_t height, int32_t width,
                               TOrlaneDialogPosition position, int32_t topOffset) {
  p.Integer("Height", &T::Height, &T::SetHeight).Default(height);
  p.Integer("Width", &T::Width, &T::SetWidth).Default(width);
  p.Enumeration("Position", DialogPositionInfo(), &T::Position, &T::SetPosition).Default(position);
  p.Integer("RelativeLeftOffset", &T::RelativeLeftOffset, &T::SetRelativeLeftOffset).Default(0);
  p.Integer("RelativeTopOffset", &T::RelativeTopOffset, &T::SetRelativeTopOffset).Default(topOffset);
}

// ---- phases and binding ----

enum TManagerType : uint8_t {
  dmBeforeInstall, dmAfterGoodInstall, dmAfterBadInstall, dmDuringCopyFiles,
  dmChangeDisk, dmReboot, dmRegistration, dmUninstall
};
const host::TEnumInfo& ManagerTypeInfo();

// The first dialog manager among the install containers whose ManagerType
// is `type` and whose Container is the install component; null for none.
TDialogManager* FindDialogManager(TManagerType type);
// The manager inside a ShowPages or ShowChangeDisk; null outside them.
TDialogManager* CurrentDialogManager();

// Whether the install component agrees to abort the run (its OnUserAbort);
// true without an install component.
bool ConfirmInstallAbort();
// The install component's theme picture for pages; null for none.
const host::TPicture* InstallThemePicture();

// ---- form registries ----

struct TFormEntry {
  const host::TPropertyTable* FormClass = nullptr;
  TCustomBaseInstallDlg* Component = nullptr;  // null: entered by the form's own unit
  int32_t Number = 0;
};

// Entries in the order they were made.
class TFormRegistry {
 public:
  explicit TFormRegistry(std::string name) : name_(std::move(name)) {}
  void Add(const host::TPropertyTable& formClass, TCustomBaseInstallDlg* component);
  // Enters the class with no component unless such an entry exists.
  void AddOnce(const host::TPropertyTable& formClass);
  // Drops every entry of the component.
  void RemoveComponent(const TCustomBaseInstallDlg* component);
  int Count() const { return static_cast<int>(entries_.size()); }
  // IEDialogManager "%d is an invalid index in the <name>" out of range.
  const TFormEntry& Items(int index) const;
  std::vector<TFormEntry> Snapshot() const { return entries_; }

 private:
  std::string name_;
  std::vector<TFormEntry> entries_;
};

TFormRegistry& BIFList();   // page forms
TFormRegistry& DCFList();   // progress forms
TFormRegistry& BCDFList();  // change-disk forms

// ---- forms ----

// A form that belongs to a dialog manager (DM): bound to the manager of its
// phase when made, and forgetting the manager when it goes.
class TManagedForm : public TBaseOrlaneForm {
 public:
  explicit TManagedForm(host::TComponent* owner);
  ~TManagedForm() override;
  void AfterConstruction() override;

  TDialogManager* DM() const { return dm_; }
  void SetDM(TDialogManager* v);

  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 protected:
  // The phase whose manager the form binds to when made; false for none.
  virtual bool BindsTo(TManagerType& type) const {
    (void)type;
    return false;
  }
  void Notification(host::TComponent* component, host::TOperation operation) override;

 private:
  TDialogManager* dm_ = nullptr;  // borrowed
};

class TBaseInstallForm : public TManagedForm {
 public:
  explicit TBaseInstallForm(host::TComponent* owner);
  ~TBaseInstallForm() override;

  TCustomBaseInstallDlg* DC() const { return dc_; }
  void SetDC(TCustomBaseInstallDlg* v);
  int32_t Order() const { return order_; }
  void SetOrder(int32_t v) { order_ = v; }
  TInstallContainer* Container() const { return container_; }
  void SetContainer(TInstallContainer* v);

  // The host the page is shown in, or null.
  TBaseFormContainer* Host() const;
  // Passed over by the host's navigation while true.
  virtual bool SkipPage() const { return false; }
  // The user leaves the page by its tab.
  virtual void PageLeaving() {}

  void NextPage();
  void PreviousPage();
  bool IsFirstPage() const;
  bool IsLastPage() const;
  // The host ends with Cancel (the page itself when it has no host).
  void CancelPages();
  // CancelPages when the install agrees.
  void AbortInstall();
  // PrepareShow, then the page comes to the front (hosted only).
  void ShowPage();

  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 protected:
  void Loaded() override;
  void Notification(host::TComponent* component, host::TOperation operation) override;

 private:
  TCustomBaseInstallDlg* dc_ = nullptr;  // borrowed
  TInstallContainer* container_ = nullptr;
  int32_t order_ = 0;
};

// A form shown while files are copied.
class TBaseDuringCopyForm : public TManagedForm {
 public:
  explicit TBaseDuringCopyForm(host::TComponent* owner);
  ~TBaseDuringCopyForm() override;

  virtual void FileStatus(const TFileStatusParameter& status) { (void)status; }
  virtual void DownloadStatus(const TDownloadStatusParameter& status) { (void)status; }
  // With the install's agreement (or without an install): the archive and
  // the install are marked aborted and the form's result is Cancel.
  void AbortCopy();

  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 protected:
  bool BindsTo(TManagerType& type) const override;
};

// The form asking for the next disk.
class TBaseChangeDiskForm : public TManagedForm {
 public:
  using TManagedForm::TManagedForm;

  TDiskParameter* DiskParameter() const { return disk_; }
  void SetDiskParameter(TDiskParameter* v) { disk_ = v; }
  // Cancel with the install's agreement.
  void AbortChangeDisk();

  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 protected:
  bool BindsTo(TManagerType& type) const override;

 private:
  TDiskParameter* disk_ = nullptr;  // the request's, for one showing
};

// ---- the modal host ----

class TBaseFormContainer : public host::TForm {
 public:
  explicit TBaseFormContainer(host::TComponent* owner);
  ~TBaseFormContainer() override;
  std::string_view FormText() const override;

  host::TPanel& DisplayPanel() const;
  host::TTabControl& Tabs() const;

  // Makes the pages of the current dialog manager, sorted by Order.
  // IEDialogManager without a current manager.
  void BuildPages();
  int PageCount() const { return static_cast<int>(pages_.size()); }
  TBaseInstallForm* Pages(int index) const { return pages_.at(static_cast<size_t>(index)); }
  // The page of the current tab, or null.
  TBaseInstallForm* CurrentPage() const;

  void NextPage();
  void PreviousPage();
  bool IsFirstPage() const;
  bool IsLastPage() const;
  // Ends the host with Cancel.
  void CancelPages();

  void FormCreate(host::TObject* sender);
  void FormDestroy(host::TObject* sender);
  void FormClose(host::TObject* sender, host::TCloseAction& action);
  void FormResize(host::TObject* sender);
  void FormShow(host::TObject* sender);
  void TabsChange(host::TObject* sender);
  void TabsChanging(host::TObject* sender, bool& allowChange);

  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 private:
  // Shows page `index`, passing skipped pages in the direction; false when
  // it runs off the list.
  bool ShowPageAt(int index, bool backward);
  void PlacePage(TBaseInstallForm& page);
  void Finish();

  std::vector<TBaseInstallForm*> pages_;  // owned by the host as components
  bool close_allowed_ = false;
  bool suppress_resize_ = false;
};

// ---- the manager ----

class TDialogManager : public TInstallObject, public TDialogPlacement {
 public:
  explicit TDialogManager(host::TComponent* owner);
  ~TDialogManager() override;

  int GetKind() const override { return 9000; }
  void HandleMessage(host::TObject* sender, int code, host::TObject* parameter) override;
  void RemoveReference(host::TComponent* object) override;

  TManagerType ManagerType() const { return manager_type_; }
  void SetManagerType(TManagerType v) { manager_type_ = v; }

  // The dialog components attached to the manager.
  void AddDialog(TCustomBaseInstallDlg* dialog);
  void RemoveDialog(TCustomBaseInstallDlg* dialog);
  int DialogCount() const { return static_cast<int>(dialogs_.size()); }

  // Shows the phase's pages in one modal host; Cancel raises EAIUserAbort.
  void ShowPages();
  // Shows the change-disk form for [install file, disk parameter].
  void ShowChangeDisk(host::TObject* parameter);
  int ProgressFormCount() const { return static_cast<int>(progress_.size()); }
  TBaseDuringCopyForm* ProgressForms(int index) const { return progress_.at(static_cast<size_t>(index)); }
  void CloseProgressForms();

  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 private:
  friend class TBaseDuringCopyForm;
  void OpenProgressForms();
  template <class P>
  P& StatusParameter(host::TObject* parameter, const char* className) const;

  TManagerType manager_type_ = dmBeforeInstall;
  std::vector<TBaseDuringCopyForm*> progress_;  // not owned
  bool progress_open_ = false;
  std::vector<TCustomBaseInstallDlg*> dialogs_;  // not owned
};

// ---- dialog components ----

class TCustomBaseInstallDlg : public TInstallObject, public TDialogPlacement {
 public:
  explicit TCustomBaseInstallDlg(host::TComponent* owner);
  ~TCustomBaseInstallDlg() override;
  void AfterConstruction() override;

  int GetKind() const override { return 9000; }
  void RemoveReference(host::TComponent* object) override;
  // Re-translates the form shown.
  void Hook29() override { Translate(); }

  // Slot order of the system's own virtual table.
  virtual void AssignDialogProperties();
  // OnBeforeExecute, DoExecute, pending messages, OnAfterExecute; false
  // when an EAbort ended it.
  virtual bool Execute();
  // The form shown modally: true for OK, EAIUserAbort for anything else;
  // true at once when CanExecute is false.
  virtual bool DoExecute();
  virtual const host::TPropertyTable& FormClass() const = 0;
  virtual bool CanExecute() { return true; }

  // The language font and the texts of the form shown.
  virtual void Translate();

  bool AutoSetFont() const { return auto_set_font_; }
  void SetAutoSetFont(bool v) { auto_set_font_ = v; }
  bool AutoTranslate() const { return auto_translate_; }
  void SetAutoTranslate(bool v) { auto_translate_ = v; }
  bool OverrideMainTranslator() const { return override_main_translator_; }
  void SetOverrideMainTranslator(bool v) { override_main_translator_ = v; }
  TOrlnLanguage TranslateIntoLanguage() const { return translate_into_; }
  void SetTranslateIntoLanguage(TOrlnLanguage v) { translate_into_ = v; }
  host::TPicture& ThemeBitmap() { return theme_bitmap_; }
  // Its own picture when not empty, else the install's; null for none.
  const host::TPicture* ThemePicture() const;
  TDialogManager* DialogManager() const { return dialog_manager_; }
  // Joins the new manager's dialogs and leaves the old one's.
  void SetDialogManager(TDialogManager* v);

  // The form the component shows now, or null.
  host::TCustomForm* Form() const { return form_; }
  void SetForm(host::TCustomForm* form);
  // The language the form shows now.
  TOrlnLanguage FormLanguage() const { return form_language_; }
  void SetFormLanguage(TOrlnLanguage v) { form_language_ = v; }

  host::TNotifyEvent OnBeforeExecute;
  host::TNotifyEvent OnAfterExecute;

  // Publishes what every dialog component publishes, Order defaulting to
  // `order` (the class's own starting Order).
  template <class T>
  static void Publish(host::TPublisher<T>& p, int32_t order);

  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 protected:
  // The registry the component enters its form class in; null for none.
  virtual TFormRegistry* Registry() const { return &BIFList(); }
  // The phase whose manager the component binds to; false for none.
  virtual bool BindsTo(TManagerType& type) const {
    (void)type;
    return false;
  }
  void Loaded() override;
  void Notification(host::TComponent* component, host::TOperation operation) override;
  // Binds to the phase's manager when it has none.
  void Bind();

 private:
  bool auto_set_font_ = true;
  bool auto_translate_ = true;
  bool override_main_translator_ = false;
  TOrlnLanguage translate_into_ = olUser;
  host::TPicture theme_bitmap_;
  TDialogManager* dialog_manager_ = nullptr;  // borrowed
  host::TCustomForm* form_ = nullptr;  // borrowed
  TOrlnLanguage form_language_ = olEnglish;
};

template <class T>
void TCustomBaseInstallDlg::Publish(host::TPublisher<T>& p, int32_t order) {
  p.Boolean("AutoSetFont", &T::AutoSetFont, &T::SetAutoSetFont).Default(1);
  p.Boolean("AutoTranslate", &T::AutoTranslate, &T::SetAutoTranslate).Default(1);
  PublishContainer(p);
  p.template Reference<TDialogManager>("DialogManager", &T::DialogManager, &T::SetDialogManager);
  p.Integer("Order", &T::Order, &T::SetOrder).Default(order);
  p.Boolean("OverrideMainTranslator", &T::OverrideMainTranslator, &T::SetOverrideMainTranslator)
      .Default(0);
  p.Object("ThemeBitmap", &T::ThemeBitmap);
  p.Enumeration("TranslateIntoLanguage", OrlnLanguageInfo(), &T::TranslateIntoLanguage,
                &T::SetTranslateIntoLanguage)
      .Default(olUser);
  p.Event("OnBeforeExecute", &T::OnBeforeExecute);
  p.Event("OnAfterExecute", &T::OnAfterExecute);
}

// Registers the classes of this file for streaming.
void RegisterDialogManagerClasses();

}  // namespace orln
