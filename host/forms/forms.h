// Forms, data modules, the screen and the application.
//
// TCustomForm is a top-level window (or, given a parent, a form hosted in
// another form's control, as wizard pages are); TDataModule a form without
// controls. A form class carries its text (the form resource, embedded at
// build time, see tav_embed_form_texts in CMakeLists.txt): FormText returns
// it, and AfterConstruction reads it into the new form, then runs OnCreate.
// So a form is made through its class's factory, New<T>(owner) or
// Application().CreateForm<T>(), never by new alone.
//
// TApplication runs the program: its presenter (presenter.h) shows the
// forms; Run shows the main form and delivers the user's actions until
// Terminate or the main form closes; ShowModal does the same for one form
// until its ModalResult is set. Every exception that leaves an event
// handler run for a user's action (or OnCreate, OnShow, OnActivate) goes to
// HandleException: OnException when set, else a message box; EAbort is
// silent.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/forms/controls.h"
#include "host/forms/presenter.h"

namespace host {

enum TCloseAction : uint8_t { caNone, caHide, caFree, caMinimize };
using TCloseEvent = TEvent<void(TObject* Sender, TCloseAction& Action)>;
using TCloseQueryEvent = TEvent<void(TObject* Sender, bool& CanClose)>;

enum TPosition : uint8_t {
  poDesigned, poDefault, poDefaultPosOnly, poDefaultSizeOnly, poScreenCenter, poDesktopCenter,
  poMainFormCenter, poOwnerFormCenter
};
enum TBorderIcon : uint8_t { biSystemMenu, biMinimize, biMaximize, biHelp };
using TBorderIcons = uint8_t;
enum TFormStyle : uint8_t { fsNormal, fsMDIChild, fsMDIForm, fsStayOnTop };
enum TWindowState : uint8_t { wsNormal, wsMinimized, wsMaximized };

class TCustomForm : public TWinControl {
 public:
  explicit TCustomForm(TComponent* owner);
  ~TCustomForm() override;

  // Reads FormText (when there is one), then runs OnCreate.
  void AfterConstruction() override;
  // The class's embedded text; empty for a form built in code.
  virtual std::string_view FormText() const { return {}; }

  // Shows the form (OnShow, then activation: OnActivate) or hides it (OnHide).
  void SetVisible(bool v) override;
  // A modal form ends with mrCancel; another asks OnCloseQuery and OnClose
  // (which may refuse with caNone) and hides (or frees, caFree) the form;
  // closing the main form terminates the application.
  void Close();
  bool CloseQuery();
  // Shows the form and delivers the user's actions until ModalResult is set
  // and closing is allowed; hides it and returns ModalResult. Raises
  // EInvalidOperation "Cannot make a visible window modal" for a visible form.
  TModalResult ShowModal();
  bool Modal() const { return modal_; }
  TModalResult ModalResult() const { return modal_result_; }
  void SetModalResult(TModalResult v) { modal_result_ = v; }
  // The form becomes the screen's active form (OnActivate when it was not).
  void Activate();
  bool Active() const;

  TWinControl* ActiveControl() const { return active_control_; }
  void SetActiveControl(TWinControl* control);
  // The button a user's Enter or Escape stands for: the visible, enabled
  // button marked Default (Cancel) in this form or a form hosted in it.
  TControl* DefaultButton() const;
  TControl* CancelButton() const;

  TPosition Position() const { return position_; }
  void SetPosition(TPosition v) { position_ = v; }
  TFormBorderStyle BorderStyle() const { return border_style_; }
  void SetBorderStyle(TFormBorderStyle v) { border_style_ = v; }
  TBorderIcons BorderIcons() const { return border_icons_; }
  void SetBorderIcons(TBorderIcons v) { border_icons_ = v; }
  TFormStyle FormStyle() const { return form_style_; }
  void SetFormStyle(TFormStyle v) { form_style_ = v; }
  TWindowState WindowState() const { return window_state_; }
  void SetWindowState(TWindowState v) { window_state_ = v; }
  bool KeyPreview() const { return key_preview_; }
  void SetKeyPreview(bool v) { key_preview_ = v; }
  int32_t PixelsPerInch() const { return 96; }
  void SetPixelsPerInch(int32_t) {}
  int32_t TextHeight() const { return FontTextHeight(Font()); }
  void SetTextHeight(int32_t) {}
  bool OldCreateOrder() const { return old_create_order_; }
  void SetOldCreateOrder(bool v) { old_create_order_ = v; }
  bool Scaled() const { return scaled_; }
  void SetScaled(bool v) { scaled_ = v; }

  TNotifyEvent OnCreate;
  TNotifyEvent OnDestroy;
  TNotifyEvent OnShow;
  TNotifyEvent OnHide;
  TNotifyEvent OnActivate;
  TNotifyEvent OnDeactivate;
  TNotifyEvent OnResize;
  TNotifyEvent OnPaint;
  TCloseEvent OnClose;
  TCloseQueryEvent OnCloseQuery;

  // Forms are roots: what is nested in their text belongs to them.
  TComponent* GetChildOwner() override { return this; }

  static const TPropertyTable& ClassProperties();
  const TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 protected:
  void Resized() override;
  void Notification(TComponent* component, TOperation operation) override;
  // Applies Position when the form is shown.
  virtual void PlaceOnScreen();

 private:
  friend class TScreen;
  void Deactivate();

  TWinControl* active_control_ = nullptr;
  bool modal_ = false;
  TModalResult modal_result_ = mrNone;
  bool created_ = false;
  TPosition position_ = poDesigned;
  TFormBorderStyle border_style_ = bsSizeable;
  TBorderIcons border_icons_ = (1u << biSystemMenu) | (1u << biMinimize) | (1u << biMaximize);
  TFormStyle form_style_ = fsNormal;
  TWindowState window_state_ = wsNormal;
  bool key_preview_ = false;
  bool old_create_order_ = false;
  bool scaled_ = true;
};

// Forms start hidden.
class TForm : public TCustomForm {
 public:
  using TCustomForm::TCustomForm;
  static const TPropertyTable& ClassProperties();
  const TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }
};

class TDataModule : public TComponent {
 public:
  explicit TDataModule(TComponent* owner);
  ~TDataModule() override;
  void AfterConstruction() override;
  virtual std::string_view FormText() const { return {}; }

  TNotifyEvent OnCreate;
  TNotifyEvent OnDestroy;

  // Where the module sat at design time; kept for the text only.
  int32_t Left() const { return left_; }
  void SetLeft(int32_t v) { left_ = v; }
  int32_t Top() const { return top_; }
  void SetTop(int32_t v) { top_ = v; }
  int32_t Width() const { return width_; }
  void SetWidth(int32_t v) { width_ = v; }
  int32_t Height() const { return height_; }
  void SetHeight(int32_t v) { height_ = v; }
  bool OldCreateOrder() const { return old_create_order_; }
  void SetOldCreateOrder(bool v) { old_create_order_ = v; }

  static const TPropertyTable& ClassProperties();
  const TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 private:
  bool created_ = false;
  int32_t left_ = 0, top_ = 0, width_ = 0, height_ = 0;
  bool old_create_order_ = false;
};

// The component of that name `owner` owns, as a T: what a form's code uses
// for the controls its text made. Raises EComponentError "Component <name>
// of <owner class> not found" when there is none or it is no T.
template <class T>
T& Child(const TComponent& owner, std::string_view name) {
  T* c = dynamic_cast<T*>(owner.FindComponent(name));
  if (!c)
    throw EComponentError("Component " + std::string(name) + " of " + owner.ClassName() + " not found");
  return *c;
}

// Reads `text` into the new `instance` (a form or data module) as its form
// resource: the text must name the instance's class.
void InitInheritedComponent(TComponent& instance, std::string_view text);

inline constexpr int32_t crDefault = 0;
inline constexpr int32_t crHourGlass = -11;

// The display: its size from the host profile, the forms that exist, the
// active one, the cursor.
class TScreen {
 public:
  int Width() const;
  int Height() const;
  int FormCount() const { return static_cast<int>(forms_.size()); }
  TCustomForm* Forms(int index) const;
  TCustomForm* ActiveForm() const { return active_form_; }
  int DataModuleCount() const { return static_cast<int>(data_modules_.size()); }
  TDataModule* DataModules(int index) const;

  // crHourGlass while any THourglass lives, else what was set.
  int32_t Cursor() const { return hourglass_ > 0 ? crHourGlass : cursor_; }
  void SetCursor(int32_t v) { cursor_ = v; }
  int HourglassCount() const { return hourglass_; }

 private:
  friend class TCustomForm;
  friend class TDataModule;
  friend class THourglass;
  friend class TApplication;
  std::vector<TCustomForm*> forms_;
  std::vector<TDataModule*> data_modules_;
  TCustomForm* active_form_ = nullptr;
  int32_t cursor_ = crDefault;
  int hourglass_ = 0;
};

// Shows the hourglass while it lives; nests.
class THourglass {
 public:
  THourglass();
  ~THourglass();
  THourglass(const THourglass&) = delete;
  THourglass& operator=(const THourglass&) = delete;
};

using TExceptionEvent = TEvent<void(TObject* Sender, const Exception& E)>;

class TApplication : public TComponent {
 public:
  // The newest application made becomes the current one (Application())
  // until it is freed; the one before it comes back then.
  explicit TApplication(TComponent* owner = nullptr);
  ~TApplication() override;

  // Takes the presenter options off the arguments, keeps the rest as the
  // program's parameters (ParamStr) and makes the presenter.
  void Initialize(int argc, const char* const* argv);
  void Initialize(std::vector<std::string> args);

  TPresenter& Presenter();
  void SetPresenter(std::unique_ptr<TPresenter> presenter);
  TScreen& Screen() { return screen_; }

  // ParamStr(0) is the program's virtual path (ProgramFileName, sys_utils.h);
  // 1 .. ParamCount the parameters.
  int ParamCount() const { return params_.empty() ? 0 : static_cast<int>(params_.size()) - 1; }
  std::string ParamStr(int index) const;

  const std::string& Title() const { return title_; }
  void SetTitle(const std::string& v) { title_ = v; }

  // Makes a form of class T owned by the application; the first one made
  // becomes MainForm, and then the hooks of AfterMainFormLoaded run.
  template <class T>
  T* CreateForm(T** reference = nullptr) {
    T* form = New<T>(this);
    if (reference) *reference = form;
    FormCreated(form);
    return form;
  }
  TCustomForm* MainForm() const { return main_form_; }
  // Runs `hook` once, after the main form has been made and loaded (at
  // once when it already has been).
  void AfterMainFormLoaded(std::function<void()> hook);

  // Shows the main form and delivers the user's actions for it until
  // Terminate or until it closes.
  void Run();
  void Terminate() { terminated_ = true; }
  bool Terminated() const { return terminated_; }
  // Delivers the actions the presenter has ready; never waits.
  void ProcessMessages();
  // Applies one user action (a click runs OnClick...). An exception of a
  // handler goes to HandleException; an action the form cannot take raises
  // EPresenterError.
  void Deliver(const TUserAction& action);

  // The exception being handled (call from a catch block).
  void HandleException(TObject* sender);
  void ShowException(const Exception& e);
  TExceptionEvent OnException;

  int MessageBox(const std::string& text, const std::string& caption, int flags);
  bool BrowseForFolder(const std::string& title, std::string& path);

  // From the controls and forms: passed to the presenter.
  void ControlChanged(TControl& control);
  void ControlGone(TControl& control);
  // Frees the form at the next ProcessMessages (a form closing with caFree
  // is still inside its own handlers).
  void Release(TCustomForm* form);

 protected:
  void Notification(TComponent* component, TOperation operation) override;

 private:
  friend class TCustomForm;
  void FormCreated(TCustomForm* form);
  void FormCreated(TDataModule*) {}
  void FreeReleased();
  static bool SameTextAny(const std::string& value);

  TApplication* previous_ = nullptr;
  std::unique_ptr<TPresenter> presenter_;
  TScreen screen_;
  std::vector<std::string> params_;
  std::string title_;
  TCustomForm* main_form_ = nullptr;
  bool terminated_ = false;
  std::vector<std::function<void()>> main_form_hooks_;
  std::vector<TControl*> released_;
};

// The current application; one is made on first use when none exists.
TApplication& Application();
inline TScreen& Screen() { return Application().Screen(); }

// The dialog of a message: type and buttons as the platform's MessageDlg.
enum TMsgDlgType : uint8_t { mtWarning, mtError, mtInformation, mtConfirmation, mtCustom };
enum TMsgDlgBtn : uint8_t { mbYes, mbNo, mbOK, mbCancel, mbAbort, mbRetry, mbIgnore };
using TMsgDlgButtons = uint16_t;  // bit i for TMsgDlgBtn i
// The modal result of the button chosen.
TModalResult MessageDlg(const std::string& msg, TMsgDlgType type, TMsgDlgButtons buttons);
void ShowMessage(const std::string& msg);

}  // namespace host
