#include "host/forms/forms.h"

#include <algorithm>

#include "host/classes/component_text.h"
#include "host/forms/std_controls.h"
#include "host/rtl/sys_utils.h"
#include "os/host_profile.h"

namespace host {

namespace {

TApplication* g_application = nullptr;

const TEnumInfo& PositionInfo() {
  static const TEnumInfo info("TPosition", {"poDesigned", "poDefault", "poDefaultPosOnly",
                                            "poDefaultSizeOnly", "poScreenCenter", "poDesktopCenter",
                                            "poMainFormCenter", "poOwnerFormCenter"});
  return info;
}
const TEnumInfo& BorderStyleInfo() {
  static const TEnumInfo info("TFormBorderStyle", {"bsNone", "bsSingle", "bsSizeable", "bsDialog",
                                                   "bsToolWindow", "bsSizeToolWin"});
  return info;
}
const TEnumInfo& BorderIconInfo() {
  static const TEnumInfo info("TBorderIcon", {"biSystemMenu", "biMinimize", "biMaximize", "biHelp"});
  return info;
}
const TEnumInfo& FormStyleInfo() {
  static const TEnumInfo info("TFormStyle", {"fsNormal", "fsMDIChild", "fsMDIForm", "fsStayOnTop"});
  return info;
}
const TEnumInfo& WindowStateInfo() {
  static const TEnumInfo info("TWindowState", {"wsNormal", "wsMinimized", "wsMaximized"});
  return info;
}

// Runs an event handler; what leaves it goes to the application.
template <class F>
void Guarded(TObject* sender, F&& f) {
  try {
    f();
  } catch (...) {
    Application().HandleException(sender);
  }
}

std::string FormLabel(const TCustomForm& form) {
  std::string s = form.ClassName();
  if (!form.Name().empty()) s += " " + form.Name();
  return s;
}

// The first visible, enabled button of `form` (and the forms hosted in it)
// that `pick` accepts.
TControl* FindButton(const TCustomForm& form, bool (*pick)(const TButton&)) {
  std::vector<TControl*> controls;
  CollectShowingControls(form, controls);
  for (TControl* c : controls) {
    auto* b = dynamic_cast<TButton*>(c);
    if (b && b->Enabled() && pick(*b)) return b;
  }
  return nullptr;
}

}  // namespace

// ---------------------------------------------------------------- TCustomForm

TCustomForm::TCustomForm(TComponent* owner) : TWinControl(owner) {
  visible_ = false;
  SetBounds(0, 0, 320, 240);
  Screen().forms_.push_back(this);
}

TCustomForm::~TCustomForm() {
  Destroying();
  if (created_) Guarded(this, [this] { OnDestroy(this); });
  TScreen& screen = Screen();
  std::erase(screen.forms_, this);
  if (screen.active_form_ == this) screen.active_form_ = nullptr;
  TApplication& app = Application();
  if (app.main_form_ == this) app.main_form_ = nullptr;
  if (app.presenter_) app.presenter_->FormGone(*this);
}

void InitInheritedComponent(TComponent& instance, std::string_view text) {
  ReadComponent(text, instance);
}

namespace {

// The end of making a form or data module: its text, then OnCreate.
void ReadAndCreate(TComponent& instance, std::string_view text, bool& created, const TNotifyEvent& onCreate) {
  if (!text.empty()) InitInheritedComponent(instance, text);
  created = true;
  Guarded(&instance, [&] { onCreate(&instance); });
}

}  // namespace

void TCustomForm::AfterConstruction() {
  TWinControl::AfterConstruction();
  ReadAndCreate(*this, FormText(), created_, OnCreate);
}

void TCustomForm::SetVisible(bool v) {
  if (Loading() || v == Visible()) {
    TControl::SetVisible(v);
    if (v && !Parent() && !Loading()) Activate();
    return;
  }
  TApplication& app = Application();
  if (v) {
    if (!Parent()) PlaceOnScreen();
    TControl::SetVisible(true);
    Guarded(this, [this] { OnShow(this); });
    app.Presenter().FormShown(*this, modal_);
    if (!Parent()) Activate();
  } else {
    Guarded(this, [this] { OnHide(this); });
    TControl::SetVisible(false);
    if (app.presenter_) app.presenter_->FormHidden(*this);
    TScreen& screen = Screen();
    if (screen.active_form_ == this) {
      Deactivate();
      screen.active_form_ = nullptr;
      // The most recent visible top-level form takes over.
      for (auto it = screen.forms_.rbegin(); it != screen.forms_.rend(); ++it)
        if (*it != this && (*it)->Visible() && !(*it)->Parent()) {
          (*it)->Activate();
          break;
        }
    }
  }
}

void TCustomForm::Activate() {
  TScreen& screen = Screen();
  if (screen.active_form_ == this) return;
  if (screen.active_form_) screen.active_form_->Deactivate();
  screen.active_form_ = this;
  Guarded(this, [this] { OnActivate(this); });
}

void TCustomForm::Deactivate() { Guarded(this, [this] { OnDeactivate(this); }); }

bool TCustomForm::Active() const { return Screen().active_form_ == this; }

void TCustomForm::PlaceOnScreen() {
  if (position_ != poScreenCenter && position_ != poDesktopCenter && position_ != poMainFormCenter &&
      position_ != poOwnerFormCenter)
    return;
  int w = Screen().Width(), h = Screen().Height(), x = 0, y = 0;
  const TCustomForm* main = Application().MainForm();
  if ((position_ == poMainFormCenter || position_ == poOwnerFormCenter) && main && main != this) {
    x = main->Left();
    y = main->Top();
    w = main->Width();
    h = main->Height();
  }
  SetBounds(x + (w - Width()) / 2, y + (h - Height()) / 2, Width(), Height());
}

bool TCustomForm::CloseQuery() {
  bool canClose = true;
  OnCloseQuery(this, canClose);
  return canClose;
}

void TCustomForm::Close() {
  if (modal_) {
    modal_result_ = mrCancel;
    return;
  }
  if (!CloseQuery()) return;
  TCloseAction action = caHide;
  OnClose(this, action);
  if (action == caNone) return;
  TApplication& app = Application();
  if (app.MainForm() == this) {
    app.Terminate();
    Hide();
  } else if (action == caHide || action == caMinimize) {
    Hide();
  } else if (action == caFree) {
    Hide();
    app.Release(this);
  }
}

TModalResult TCustomForm::ShowModal() {
  if (Visible() || modal_) throw EInvalidOperation("Cannot make a visible window modal");
  TApplication& app = Application();
  struct TModalGuard {
    TCustomForm& form;
    ~TModalGuard() {
      form.modal_ = false;
      if (form.Visible()) {
        try {
          form.Hide();
        } catch (...) {
        }
      }
    }
  } guard{*this};
  modal_ = true;
  modal_result_ = mrNone;
  Show();
  for (;;) {
    if (app.Terminated()) {
      modal_result_ = mrCancel;
      break;
    }
    if (modal_result_ != mrNone) {
      bool close = false;
      Guarded(this, [&] {
        if (CloseQuery()) {
          TCloseAction action = caHide;
          OnClose(this, action);
          close = action != caNone;
        }
      });
      if (close) break;
      modal_result_ = mrNone;
    }
    app.Deliver(app.Presenter().WaitAction(*this));
  }
  const TModalResult result = modal_result_;
  modal_ = false;
  Hide();
  return result;
}

void TCustomForm::SetActiveControl(TWinControl* control) {
  if (control == active_control_) return;
  if (control && !Loading() && !ContainsControl(control))
    throw EInvalidOperation("Cannot focus a control of another form");
  TWinControl* old = active_control_;
  active_control_ = control;
  if (control) control->FreeNotification(this);
  if (Loading()) return;
  if (old) Guarded(old, [old] { old->OnExit(old); });
  if (control) Guarded(control, [control] { control->OnEnter(control); });
  Changed();
}

TControl* TCustomForm::DefaultButton() const {
  return FindButton(*this, [](const TButton& b) { return b.Default(); });
}

TControl* TCustomForm::CancelButton() const {
  return FindButton(*this, [](const TButton& b) { return b.Cancel(); });
}

void TCustomForm::Resized() {
  TWinControl::Resized();
  Guarded(this, [this] { OnResize(this); });
}

void TCustomForm::Notification(TComponent* component, TOperation operation) {
  TWinControl::Notification(component, operation);
  if (operation == opRemove && component == active_control_) active_control_ = nullptr;
}

const TPropertyTable& TCustomForm::ClassProperties() {
  static const TPropertyTable table = PublishClass<TCustomForm>(
      "TCustomForm", &TWinControl::ClassProperties(), [](TPublisher<TCustomForm>& p) {
        p.String("Caption", &TControl::Caption, &TControl::SetCaption).DefaultString("");
        p.Integer("ClientWidth", &TControl::ClientWidth, &TControl::SetClientWidth);
        p.Integer("ClientHeight", &TControl::ClientHeight, &TControl::SetClientHeight);
        p.Enumeration("Position", PositionInfo(), &TCustomForm::Position, &TCustomForm::SetPosition)
            .Default(poDesigned);
        p.Enumeration("BorderStyle", BorderStyleInfo(), &TCustomForm::BorderStyle,
                      &TCustomForm::SetBorderStyle)
            .Default(bsSizeable);
        p.Set("BorderIcons", BorderIconInfo(), &TCustomForm::BorderIcons, &TCustomForm::SetBorderIcons)
            .Default((1u << biSystemMenu) | (1u << biMinimize) | (1u << biMaximize));
        p.Enumeration("FormStyle", FormStyleInfo(), &TCustomForm::FormStyle, &TCustomForm::SetFormStyle)
            .Default(fsNormal);
        p.Enumeration("WindowState", WindowStateInfo(), &TCustomForm::WindowState,
                      &TCustomForm::SetWindowState)
            .Default(wsNormal);
        p.Boolean("KeyPreview", &TCustomForm::KeyPreview, &TCustomForm::SetKeyPreview).Default(false);
        p.Boolean("OldCreateOrder", &TCustomForm::OldCreateOrder, &TCustomForm::SetOldCreateOrder)
            .Default(false);
        p.Boolean("Scaled", &TCustomForm::Scaled, &TCustomForm::SetScaled).Default(true);
        p.Integer("PixelsPerInch", &TCustomForm::PixelsPerInch, &TCustomForm::SetPixelsPerInch);
        p.Integer("TextHeight", &TCustomForm::TextHeight, &TCustomForm::SetTextHeight);
        p.Reference<TWinControl>("ActiveControl", &TCustomForm::ActiveControl,
                                 &TCustomForm::SetActiveControl);
        p.Event("OnCreate", &TCustomForm::OnCreate);
        p.Event("OnDestroy", &TCustomForm::OnDestroy);
        p.Event("OnShow", &TCustomForm::OnShow);
        p.Event("OnHide", &TCustomForm::OnHide);
        p.Event("OnActivate", &TCustomForm::OnActivate);
        p.Event("OnDeactivate", &TCustomForm::OnDeactivate);
        p.Event("OnResize", &TCustomForm::OnResize);
        p.Event("OnPaint", &TCustomForm::OnPaint);
        p.Event("OnClose", &TCustomForm::OnClose);
        p.Event("OnCloseQuery", &TCustomForm::OnCloseQuery);
      });
  return table;
}

const TPropertyTable& TForm::ClassProperties() {
  static const TPropertyTable table =
      PublishClass<TForm>("TForm", &TCustomForm::ClassProperties(), [](TPublisher<TForm>&) {});
  return table;
}

// ---------------------------------------------------------------- TDataModule

TDataModule::TDataModule(TComponent* owner) : TComponent(owner) {
  Screen().data_modules_.push_back(this);
}

TDataModule::~TDataModule() {
  Destroying();
  if (created_) Guarded(this, [this] { OnDestroy(this); });
  std::erase(Screen().data_modules_, this);
}

void TDataModule::AfterConstruction() {
  TComponent::AfterConstruction();
  ReadAndCreate(*this, FormText(), created_, OnCreate);
}

const TPropertyTable& TDataModule::ClassProperties() {
  static const TPropertyTable table = PublishClass<TDataModule>(
      "TDataModule", &TComponent::ClassProperties(), [](TPublisher<TDataModule>& p) {
        p.Integer("Left", &TDataModule::Left, &TDataModule::SetLeft).Default(0);
        p.Integer("Top", &TDataModule::Top, &TDataModule::SetTop).Default(0);
        p.Integer("Width", &TDataModule::Width, &TDataModule::SetWidth).Default(0);
        p.Integer("Height", &TDataModule::Height, &TDataModule::SetHeight).Default(0);
        p.Boolean("OldCreateOrder", &TDataModule::OldCreateOrder, &TDataModule::SetOldCreateOrder)
            .Default(false);
        p.Event("OnCreate", &TDataModule::OnCreate);
        p.Event("OnDestroy", &TDataModule::OnDestroy);
      });
  return table;
}

// ---------------------------------------------------------------- TScreen

int TScreen::Width() const { return os::GetSystemMetrics(os::SM_CXSCREEN); }
int TScreen::Height() const { return os::GetSystemMetrics(os::SM_CYSCREEN); }

TCustomForm* TScreen::Forms(int index) const {
  if (index < 0 || index >= FormCount())
    throw EListError("List index out of bounds (" + std::to_string(index) + ")");
  return forms_[static_cast<size_t>(index)];
}

TDataModule* TScreen::DataModules(int index) const {
  if (index < 0 || index >= DataModuleCount())
    throw EListError("List index out of bounds (" + std::to_string(index) + ")");
  return data_modules_[static_cast<size_t>(index)];
}

THourglass::THourglass() { ++Screen().hourglass_; }
THourglass::~THourglass() { --Screen().hourglass_; }

// ---------------------------------------------------------------- TApplication

TApplication::TApplication(TComponent* owner) : TComponent(owner), previous_(g_application) {
  g_application = this;
}

TApplication::~TApplication() {
  Destroying();
  // Forms go while this is still the current application: their
  // destructors tell it and its presenter.
  DestroyComponents();
  released_.clear();
  g_application = previous_;
}

TApplication& Application() {
  if (!g_application) {
    // Lives to the end of the process, so that components freed late still
    // find an application.
    static TApplication* fallback = new TApplication(nullptr);
    if (!g_application) g_application = fallback;
  }
  return *g_application;
}

void TApplication::Initialize(int argc, const char* const* argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) args.emplace_back(argv[i] ? argv[i] : "");
  Initialize(std::move(args));
}

void TApplication::Initialize(std::vector<std::string> args) {
  const TPresenterOptions options = TakePresenterOptions(args);
  params_ = std::move(args);
  presenter_ = CreatePresenter(options);
}

TPresenter& TApplication::Presenter() {
  if (!presenter_) {
    std::vector<std::string> none;
    presenter_ = CreatePresenter(TakePresenterOptions(none));
  }
  return *presenter_;
}

void TApplication::SetPresenter(std::unique_ptr<TPresenter> presenter) {
  presenter_ = std::move(presenter);
}

std::string TApplication::ParamStr(int index) const {
  if (index == 0) {
    // The program's own path, wherever it was started from.
    std::string self = ProgramFileName();
    if (!self.empty()) return self;
  }
  if (index < 0 || index >= static_cast<int>(params_.size())) return std::string();
  return params_[static_cast<size_t>(index)];
}

void TApplication::FormCreated(TCustomForm* form) {
  if (main_form_) return;
  main_form_ = form;
  auto hooks = std::move(main_form_hooks_);
  main_form_hooks_.clear();
  for (auto& hook : hooks) hook();
}

void TApplication::AfterMainFormLoaded(std::function<void()> hook) {
  if (main_form_)
    hook();
  else
    main_form_hooks_.push_back(std::move(hook));
}

void TApplication::Run() {
  if (!main_form_) return;
  main_form_->Show();
  while (!terminated_ && main_form_ && main_form_->Visible()) {
    Deliver(Presenter().WaitAction(*main_form_));
    FreeReleased();
  }
  FreeReleased();
}

void TApplication::ProcessMessages() {
  TUserAction action;
  while (Presenter().PendingAction(action)) Deliver(action);
  FreeReleased();
}

void TApplication::Deliver(const TUserAction& action) {
  if (action.Kind == TUserAction::uaNone) return;
  TCustomForm* form = action.Form;
  if (!form) throw EPresenterError("A user action without a form");
  if (action.Kind == TUserAction::uaClose) {
    Guarded(form, [form] { form->Close(); });
    return;
  }
  auto* control = dynamic_cast<TControl*>(form->FindComponent(action.Control));
  if (!control) throw EPresenterError("Form " + FormLabel(*form) + " has no control " + action.Control);
  bool enabled = control->Showing();
  for (const TControl* c = control; c && enabled; c = c->Parent()) enabled = c->Enabled();
  if (!enabled)
    throw EPresenterError("Control " + action.Control + " of form " + FormLabel(*form) +
                          " is not showing and enabled");
  bool took = true;
  try {
    switch (action.Kind) {
      case TUserAction::uaClick:
        if (auto* w = dynamic_cast<TWinControl*>(control); w && w->CanFocus() && w != form) w->SetFocus();
        took = control->UserClick();
        break;
      case TUserAction::uaCheck:
        took = control->UserCheck(action.Value == "1" || SameTextAny(action.Value));
        break;
      case TUserAction::uaChoose:
        took = control->UserChoose(action.Value);
        break;
      case TUserAction::uaType:
        took = control->UserType(action.Value);
        break;
      default:
        break;
    }
  } catch (const EPresenterError&) {
    throw;
  } catch (...) {
    HandleException(control);
    return;
  }
  if (!took)
    throw EPresenterError("Control " + action.Control + " of form " + FormLabel(*form) +
                          " does not take that action");
}

bool TApplication::SameTextAny(const std::string& value) {
  return value == "true" || value == "True" || value == "TRUE" || value == "yes" || value == "on";
}

void TApplication::HandleException(TObject* sender) {
  try {
    throw;
  } catch (const EAbort&) {
  } catch (const EPresenterError&) {
    // The presenter cannot go on; no handler can mend that.
    throw;
  } catch (const Exception& e) {
    if (OnException)
      OnException(sender, e);
    else
      ShowException(e);
  } catch (const std::exception& e) {
    const Exception wrapped(e.what());
    if (OnException)
      OnException(sender, wrapped);
    else
      ShowException(wrapped);
  }
}

void TApplication::ShowException(const Exception& e) {
  std::string msg = e.Message();
  if (!msg.empty() && msg.back() > '.') msg += '.';
  MessageBox(msg, title_, MB_OK | MB_ICONERROR);
}

int TApplication::MessageBox(const std::string& text, const std::string& caption, int flags) {
  return Presenter().MessageBox(text, caption, flags);
}

bool TApplication::BrowseForFolder(const std::string& title, std::string& path) {
  return Presenter().BrowseForFolder(title, path);
}

void TApplication::ControlChanged(TControl& control) {
  if (presenter_) presenter_->ControlChanged(control);
}

void TApplication::ControlGone(TControl& control) {
  if (presenter_) presenter_->ControlGone(control);
  std::erase(released_, &control);
}

void TApplication::Release(TCustomForm* form) {
  if (std::find(released_.begin(), released_.end(), form) == released_.end()) released_.push_back(form);
}

void TApplication::FreeReleased() {
  while (!released_.empty()) {
    TControl* c = released_.back();
    released_.pop_back();
    delete c;
  }
}

void TApplication::Notification(TComponent* component, TOperation operation) {
  TComponent::Notification(component, operation);
  if (operation == opRemove && component == main_form_) main_form_ = nullptr;
}

// ---------------------------------------------------------------- dialogs

TModalResult MessageDlg(const std::string& msg, TMsgDlgType type, TMsgDlgButtons buttons) {
  auto has = [buttons](TMsgDlgBtn b) { return (buttons & (1u << b)) != 0; };
  int flags = MB_OK;
  if (has(mbYes) && has(mbNo))
    flags = has(mbCancel) ? MB_YESNOCANCEL : MB_YESNO;
  else if (has(mbAbort) || has(mbIgnore))
    flags = MB_ABORTRETRYIGNORE;
  else if (has(mbRetry))
    flags = MB_RETRYCANCEL;
  else if (has(mbOK) && has(mbCancel))
    flags = MB_OKCANCEL;
  static const char* const kCaptions[] = {"Warning", "Error", "Information", "Confirm", ""};
  static const int kIcons[] = {MB_ICONWARNING, MB_ICONERROR, MB_ICONINFORMATION, MB_ICONQUESTION, 0};
  const int id = Application().MessageBox(msg, kCaptions[type], flags | kIcons[type]);
  switch (id) {
    case IDOK: return mrOk;
    case IDCANCEL: return mrCancel;
    case IDABORT: return mrAbort;
    case IDRETRY: return mrRetry;
    case IDIGNORE: return mrIgnore;
    case IDYES: return mrYes;
    case IDNO: return mrNo;
    default: return mrNone;
  }
}

void ShowMessage(const std::string& msg) { Application().MessageBox(msg, Application().Title(), MB_OK); }

}  // namespace host
