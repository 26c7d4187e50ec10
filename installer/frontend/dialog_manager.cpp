#include "installer/frontend/dialog_manager.h"

#include <algorithm>
#include <cmath>

#include "host/rtl/format.h"
#include "installer/engine/base/install_globals.h"
#include "installer/engine/script/install.h"
#include "installer/engine/script/install_file.h"
#include "installer/engine/translation/translator.h"
#include "installer/frontend/base_form_container_form.h"
#include "os/host_profile.h"

namespace orln {

namespace {

TDialogManager* g_current_manager = nullptr;

// The current dialog manager for one showing, cleared however it ends.
class TCurrentManagerScope {
 public:
  explicit TCurrentManagerScope(TDialogManager* manager) { g_current_manager = manager; }
  ~TCurrentManagerScope() { g_current_manager = nullptr; }
  TCurrentManagerScope(const TCurrentManagerScope&) = delete;
  TCurrentManagerScope& operator=(const TCurrentManagerScope&) = delete;
};

// Makes a form of `formClass` owned by `owner`; null when the class makes
// no T (it is then freed).
template <class T>
std::unique_ptr<T> MakeForm(const host::TPropertyTable& formClass, host::TComponent* owner) {
  std::unique_ptr<host::TComponent> made(formClass.NewComponent(owner));
  if (auto* form = dynamic_cast<T*>(made.get())) {
    made.release();
    return std::unique_ptr<T>(form);
  }
  return nullptr;
}

// Keeps a borrowed component reference in step with the component's life.
template <class T>
void Refer(host::TComponent& self, T*& field, T* value) {
  if (field == value) return;
  if (field != nullptr) field->RemoveFreeNotification(&self);
  field = value;
  if (value != nullptr) value->FreeNotification(&self);
}

}  // namespace

// ---------------------------------------------------------------- placement

const host::TEnumInfo& DialogPositionInfo() {
  static const host::TEnumInfo info(
      "TOrlaneDialogPosition", {"odpCenterLeft", "odpCenter", "odpCenterRight", "odpBottomLeft",
                                "odpBottomCenter", "odpBottomRight", "odpTopLeft", "odpTopCenter",
                                "odpTopRight"});
  return info;
}

const host::TEnumInfo& ManagerTypeInfo() {
  static const host::TEnumInfo info(
      "TManagerType", {"dmBeforeInstall", "dmAfterGoodInstall", "dmAfterBadInstall",
                       "dmDuringCopyFiles", "dmChangeDisk", "dmReboot", "dmRegistration",
                       "dmUninstall"});
  return info;
}

void SetDialogPosition(host::TControl& form, TOrlaneDialogPosition position, int32_t leftOffset,
                       int32_t topOffset) {
  const int32_t screenW = host::Screen().Width();
  const int32_t screenH = host::Screen().Height();
  // Halves round to even, as the platform's Round does.
  const auto half = [](int32_t v) { return static_cast<int32_t>(std::nearbyint(v / 2.0)); };
  const int32_t cw = half(screenW - form.Width());
  const int32_t ch = half(screenH - form.Height());
  int32_t left = form.Left();
  int32_t top = form.Top();
  switch (position) {
    case odpCenterLeft:
    case odpBottomLeft:
    case odpTopLeft:
      left = leftOffset;
      break;
    case odpCenter:
    case odpBottomCenter:
    case odpTopCenter:
      left = cw + leftOffset;
      break;
    case odpCenterRight:
    case odpBottomRight:
    case odpTopRight:
      left = screenW - form.Width() - leftOffset;
      break;
  }
  switch (position) {
    case odpCenterLeft:
    case odpCenter:
    case odpCenterRight:
      top = ch + topOffset;
      break;
    case odpTopLeft:
    case odpTopCenter:
    case odpTopRight:
      top = topOffset;
      break;
    case odpBottomLeft:
    case odpBottomCenter:
    case odpBottomRight:
      top = screenH - os::GetSystemMetrics(os::SM_CYCAPTION) - form.Height() - topOffset;
      break;
  }
  form.SetBounds(left, top, form.Width(), form.Height());
}

void TDialogPlacement::Place(host::TControl& form) const {
  form.SetBounds(form.Left(), form.Top(), width_, height_);
  SetDialogPosition(form, position_, left_offset_, top_offset_);
}

// ---------------------------------------------------------------- binding

TDialogManager* FindDialogManager(TManagerType type) {
  TCustomInstall* install = GlobalInstall();
  const auto& all = InstallGlobals().Containers;
  for (int i = 0; i < all.Count(); ++i) {
    auto* m = dynamic_cast<TDialogManager*>(all.Items(i));
    if (m != nullptr && m->ManagerType() == type && m->Container() == install) return m;
  }
  return nullptr;
}

TDialogManager* CurrentDialogManager() { return g_current_manager; }

bool ConfirmInstallAbort() {
  TCustomInstall* install = GlobalInstall();
  return install == nullptr || install->ConfirmUserAbort();
}

const host::TPicture* InstallThemePicture() {
  const TCustomInstall* install = GlobalInstall();
  return install != nullptr && !install->DialogThemeBitmap().Empty() ? &install->DialogThemeBitmap() : nullptr;
}

// ---------------------------------------------------------------- registries

void TFormRegistry::Add(const host::TPropertyTable& formClass, TCustomBaseInstallDlg* component) {
  entries_.push_back(TFormEntry{&formClass, component, 0});
}

void TFormRegistry::AddOnce(const host::TPropertyTable& formClass) {
  for (const TFormEntry& e : entries_)
    if (e.FormClass == &formClass && e.Component == nullptr) return;
  Add(formClass, nullptr);
}

void TFormRegistry::RemoveComponent(const TCustomBaseInstallDlg* component) {
  std::erase_if(entries_, [component](const TFormEntry& e) { return e.Component == component; });
}

const TFormEntry& TFormRegistry::Items(int index) const {
  if (index < 0 || index >= Count())
    throw IEDialogManager("%d is an invalid index in the " + name_, {index});
  const TFormEntry& e = entries_[static_cast<size_t>(index)];
  if (e.FormClass == nullptr) throw IEDialogManager("The %d 'th entry in the " + name_ + " is NIL", {index});
  return e;
}

TFormRegistry& BIFList() {
  static TFormRegistry list("BIFList");
  return list;
}

TFormRegistry& DCFList() {
  static TFormRegistry list("DCFList");
  return list;
}

TFormRegistry& BCDFList() {
  static TFormRegistry list("BCDFList");
  return list;
}

// ---------------------------------------------------------------- forms

TManagedForm::TManagedForm(host::TComponent* owner) : TBaseOrlaneForm(owner) {}

TManagedForm::~TManagedForm() {
  Destroying();
  SetDM(nullptr);
}

void TManagedForm::AfterConstruction() {
  TBaseOrlaneForm::AfterConstruction();
  TManagerType type;
  if (dm_ == nullptr && BindsTo(type)) SetDM(FindDialogManager(type));
}

void TManagedForm::SetDM(TDialogManager* v) { Refer<TDialogManager>(*this, dm_, v); }

void TManagedForm::Notification(host::TComponent* component, host::TOperation operation) {
  TBaseOrlaneForm::Notification(component, operation);
  if (operation == host::opRemove && component == dm_) dm_ = nullptr;
}

const host::TPropertyTable& TManagedForm::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TManagedForm>(
      "TManagedForm", &TBaseOrlaneForm::ClassProperties(), [](host::TPublisher<TManagedForm>& p) {
        p.Reference<TDialogManager>("DM", &TManagedForm::DM, &TManagedForm::SetDM);
      });
  return table;
}

TBaseInstallForm::TBaseInstallForm(host::TComponent* owner) : TManagedForm(owner) {}

TBaseInstallForm::~TBaseInstallForm() {
  Destroying();
  SetDC(nullptr);
  SetContainer(nullptr);
}

void TBaseInstallForm::SetDC(TCustomBaseInstallDlg* v) { Refer<TCustomBaseInstallDlg>(*this, dc_, v); }
void TBaseInstallForm::SetContainer(TInstallContainer* v) { Refer<TInstallContainer>(*this, container_, v); }

void TBaseInstallForm::Notification(host::TComponent* component, host::TOperation operation) {
  TManagedForm::Notification(component, operation);
  if (operation != host::opRemove) return;
  if (component == dc_) dc_ = nullptr;
  if (component == container_) container_ = nullptr;
}

void TBaseInstallForm::Loaded() {
  TManagedForm::Loaded();
  // A page made in a host sits in it: hidden, bare and as large as the host.
  if (auto* host = dynamic_cast<host::TCustomForm*>(Owner())) {
    SetVisible(false);
    SetBorderIcons(0);
    SetBorderStyle(host::bsNone);
    SetPosition(host::poDefault);
    SetBounds(0, 0, host->ClientWidth(), host->ClientHeight());
  }
}

TBaseFormContainer* TBaseInstallForm::Host() const { return dynamic_cast<TBaseFormContainer*>(Owner()); }

void TBaseInstallForm::NextPage() {
  if (TBaseFormContainer* host = Host())
    host->NextPage();
  else
    SetModalResult(host::mrOk);  // shown by itself: Next ends it
}

void TBaseInstallForm::PreviousPage() {
  if (TBaseFormContainer* host = Host()) host->PreviousPage();
}

bool TBaseInstallForm::IsFirstPage() const {
  const TBaseFormContainer* host = Host();
  return host != nullptr && host->IsFirstPage();
}

bool TBaseInstallForm::IsLastPage() const {
  const TBaseFormContainer* host = Host();
  return host != nullptr && host->IsLastPage();
}

void TBaseInstallForm::CancelPages() {
  if (TBaseFormContainer* host = Host())
    host->CancelPages();
  else
    SetModalResult(host::mrCancel);
}

void TBaseInstallForm::AbortInstall() {
  if (ConfirmInstallAbort()) CancelPages();
}

void TBaseInstallForm::ShowPage() {
  if (Host() == nullptr) return;
  PrepareShow();
  Show();
  BringToFront();
}

const host::TPropertyTable& TBaseInstallForm::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TBaseInstallForm>(
      "TBaseInstallForm", &TManagedForm::ClassProperties(),
      [](host::TPublisher<TBaseInstallForm>& p) {
        p.Reference<TCustomBaseInstallDlg>("DC", &TBaseInstallForm::DC, &TBaseInstallForm::SetDC);
        p.Integer("Order", &TBaseInstallForm::Order, &TBaseInstallForm::SetOrder).Default(0);
      });
  return table;
}

// ---------------------------------------------------------------- progress forms

TBaseDuringCopyForm::TBaseDuringCopyForm(host::TComponent* owner) : TManagedForm(owner) {}

TBaseDuringCopyForm::~TBaseDuringCopyForm() {
  if (DM() != nullptr) std::erase(DM()->progress_, this);
}

bool TBaseDuringCopyForm::BindsTo(TManagerType& type) const {
  type = dmDuringCopyFiles;
  return true;
}

void TBaseDuringCopyForm::AbortCopy() {
  if (GlobalInstall() != nullptr && !ConfirmInstallAbort()) return;
  InstallGlobals().Compress.SetAbort(true);
  MarkInstallAborted();
  SetModalResult(host::mrCancel);
}

const host::TPropertyTable& TBaseDuringCopyForm::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TBaseDuringCopyForm>(
      "TBaseDuringCopyForm", &TManagedForm::ClassProperties(), [](host::TPublisher<TBaseDuringCopyForm>&) {});
  return table;
}

bool TBaseChangeDiskForm::BindsTo(TManagerType& type) const {
  type = dmChangeDisk;
  return true;
}

void TBaseChangeDiskForm::AbortChangeDisk() {
  if (ConfirmInstallAbort()) SetModalResult(host::mrCancel);
}

const host::TPropertyTable& TBaseChangeDiskForm::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TBaseChangeDiskForm>(
      "TBaseChangeDiskForm", &TManagedForm::ClassProperties(), [](host::TPublisher<TBaseChangeDiskForm>&) {});
  return table;
}

// ---------------------------------------------------------------- the host

TBaseFormContainer::TBaseFormContainer(host::TComponent* owner) : TForm(owner) {}

TBaseFormContainer::~TBaseFormContainer() {
  // Run here rather than as OnDestroy, which the form base runs once this
  // class's part is gone.
  Destroying();
  FormDestroy(this);
}

std::string_view TBaseFormContainer::FormText() const { return form_texts::base_form_container; }

host::TPanel& TBaseFormContainer::DisplayPanel() const {
  return host::Child<host::TPanel>(*this, "DisplayPanel");
}

host::TTabControl& TBaseFormContainer::Tabs() const {
  return host::Child<host::TTabControl>(*this, "Tabs");
}

void TBaseFormContainer::FormCreate(host::TObject*) {
  Font().SetCharset(0);
  suppress_resize_ = true;
  SetHeight(395);
  SetWidth(478);
  suppress_resize_ = false;
}

void TBaseFormContainer::FormDestroy(host::TObject*) {
  if ((ComponentState() & host::csDesigning) == 0) pages_.clear();
}

void TBaseFormContainer::FormClose(host::TObject*, host::TCloseAction& action) {
  // Only a page ends the host: the last Next, or a Cancel.
  if (!close_allowed_) action = host::caNone;
}

void TBaseFormContainer::FormResize(host::TObject*) {
  if (suppress_resize_) return;
  for (TBaseInstallForm* page : pages_) {
    PlacePage(*page);
    page->Repaint();
  }
}

void TBaseFormContainer::FormShow(host::TObject*) {
  if (!ShowPageAt(0, true) && !ShowPageAt(0, false)) Finish();  // every page skipped
}

void TBaseFormContainer::TabsChange(host::TObject*) {
  const int t = Tabs().TabIndex();
  if (!ShowPageAt(t, true)) ShowPageAt(t, false);
}

void TBaseFormContainer::TabsChanging(host::TObject*, bool&) {
  if (TBaseInstallForm* page = CurrentPage()) page->PageLeaving();
}

void TBaseFormContainer::PlacePage(TBaseInstallForm& page) {
  host::TPanel& panel = DisplayPanel();
  page.SetBounds(0, 0, panel.ClientWidth(), panel.ClientHeight());
}

void TBaseFormContainer::BuildPages() {
  TDialogManager* manager = CurrentDialogManager();
  if (manager == nullptr) throw IEDialogManager("The current dialog manager is not defined");
  for (const TFormEntry& entry : BIFList().Snapshot()) {
    TCustomBaseInstallDlg* dc = entry.Component;
    if (dc != nullptr && (dc->DialogManager() != manager || !dc->CanExecute())) continue;
    std::unique_ptr<TBaseInstallForm> page = MakeForm<TBaseInstallForm>(*entry.FormClass, this);
    if (!page || (dc == nullptr && page->DM() != manager)) continue;
    TBaseInstallForm* p = page.get();
    pages_.push_back(page.release());
    p->SetDC(dc);
    if (dc != nullptr) {
      p->SetContainer(dc->Container());
      p->SetOrder(dc->Order());
      dc->SetForm(p);
      dc->AssignDialogProperties();
    }
    Tabs().Tabs().Add(p->Caption());
    p->SetParent(&DisplayPanel());
    PlacePage(*p);
    p->Translate();
  }
  // Every later page with a smaller Order comes forward.
  for (size_t i = 0; i < pages_.size(); ++i)
    for (size_t j = i + 1; j < pages_.size(); ++j)
      if (pages_[j]->Order() < pages_[i]->Order()) std::swap(pages_[i], pages_[j]);
  for (size_t i = 0; i < pages_.size(); ++i) Tabs().Tabs().Put(static_cast<int>(i), pages_[i]->Caption());
}

TBaseInstallForm* TBaseFormContainer::CurrentPage() const {
  const int t = Tabs().TabIndex();
  return t >= 0 && t < PageCount() ? pages_[static_cast<size_t>(t)] : nullptr;
}

bool TBaseFormContainer::ShowPageAt(int index, bool backward) {
  for (;;) {
    if (index < 0 || index >= PageCount()) return false;
    TBaseInstallForm* page = pages_[static_cast<size_t>(index)];
    if (page->SkipPage()) {
      index += backward ? -1 : 1;
      continue;
    }
    // The pages lie one over another: only the one in front is seen.
    for (TBaseInstallForm* other : pages_)
      if (other != page && other->Visible()) other->Hide();
    Tabs().SetTabIndex(index);
    SetCaption(page->Caption());
    page->ShowPage();
    return true;
  }
}

void TBaseFormContainer::Finish() {
  close_allowed_ = true;
  if (Modal())
    SetModalResult(host::mrOk);
  else
    Close();
}

void TBaseFormContainer::NextPage() {
  const int t = Tabs().TabIndex();
  if (!ShowPageAt(t + 1, false)) ShowPageAt(t + 1, true);
  if (Tabs().TabIndex() == t) Finish();
}

void TBaseFormContainer::PreviousPage() {
  const int t = Tabs().TabIndex();
  if (!ShowPageAt(t - 1, true)) ShowPageAt(t - 1, false);
}

bool TBaseFormContainer::IsFirstPage() const {
  const int t = Tabs().TabIndex();
  for (int i = 0; i < t && i < PageCount(); ++i)
    if (!pages_[static_cast<size_t>(i)]->SkipPage()) return false;
  return true;
}

bool TBaseFormContainer::IsLastPage() const { return Tabs().TabIndex() == PageCount() - 1; }

void TBaseFormContainer::CancelPages() {
  close_allowed_ = true;
  SetModalResult(host::mrCancel);
}

const host::TPropertyTable& TBaseFormContainer::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TBaseFormContainer>(
      "TBaseFormContainer", &host::TForm::ClassProperties(),
      [](host::TPublisher<TBaseFormContainer>& p) {
        p.Method("FormCreate", &TBaseFormContainer::FormCreate);
        p.Method("FormDestroy", &TBaseFormContainer::FormDestroy);
        p.Method("FormClose", &TBaseFormContainer::FormClose);
        p.Method("FormResize", &TBaseFormContainer::FormResize);
        p.Method("FormShow", &TBaseFormContainer::FormShow);
        p.Method("TabsChange", &TBaseFormContainer::TabsChange);
        p.Method("TabsChanging", &TBaseFormContainer::TabsChanging);
      });
  return table;
}

// ---------------------------------------------------------------- the manager

TDialogManager::TDialogManager(host::TComponent* owner)
    : TInstallObject(owner), TDialogPlacement(395, 478, odpCenter, 0) {}

TDialogManager::~TDialogManager() {
  CloseProgressForms();
}

void TDialogManager::RemoveReference(host::TComponent* object) {
  TInstallObject::RemoveReference(object);
  std::erase(dialogs_, object);
}

void TDialogManager::AddDialog(TCustomBaseInstallDlg* dialog) {
  if (dialog == nullptr) throw IEDialogManager("Cannot add a NIL Dialog to the Dialog Manager %s", {Name()});
  if (std::find(dialogs_.begin(), dialogs_.end(), dialog) == dialogs_.end()) dialogs_.push_back(dialog);
}

void TDialogManager::RemoveDialog(TCustomBaseInstallDlg* dialog) { std::erase(dialogs_, dialog); }

template <class P>
P& TDialogManager::StatusParameter(host::TObject* parameter, const char* className) const {
  if (parameter == nullptr) throw IEDialogManager("%s got a nil PO parameter", {Name()});
  auto* p = dynamic_cast<P*>(parameter);
  if (p == nullptr)
    throw IEDialogManager(std::string("The PO object passed to %s is not a ") + className + " object",
                          {Name()});
  return *p;
}

void TDialogManager::HandleMessage(host::TObject* sender, int code, host::TObject* parameter) {
  TInstallObject::HandleMessage(sender, code, parameter);
  switch (manager_type_) {
    case dmBeforeInstall:
      if (code == imBeforeInstall) ShowPages();
      break;
    case dmAfterGoodInstall:
      if (code == imAfterGoodInstall) ShowPages();
      break;
    case dmAfterBadInstall:
      if (code == imAfterBadInstall) ShowPages();
      break;
    case dmRegistration:
      if (code == imRegistration) ShowPages();
      break;
    case dmReboot:
      if (code == imReboot) ShowPages();
      break;
    case dmDuringCopyFiles:
      if (code == imFileStatus) {
        auto& status = StatusParameter<TFileStatusParameter>(parameter, "TFileStatusParameter");
        OpenProgressForms();
        for (TBaseDuringCopyForm* f : std::vector(progress_)) f->FileStatus(status);
      } else if (code == imDownloadStatus) {
        auto& status = StatusParameter<TDownloadStatusParameter>(parameter, "TDownloadStatusParameter");
        OpenProgressForms();
        for (TBaseDuringCopyForm* f : std::vector(progress_)) f->DownloadStatus(status);
      } else if (code == imCopyFinished) {
        CloseProgressForms();
      }
      break;
    case dmChangeDisk:
      if (code == imChangeDisk) ShowChangeDisk(parameter);
      break;
    case dmUninstall:
      break;
  }
}

void TDialogManager::ShowPages() {
  TCurrentManagerScope current(this);
  host::TApplication& app = host::Application();
  std::unique_ptr<TBaseFormContainer> host(host::New<TBaseFormContainer>(&app));
  host->SetPosition(host::poDesigned);
  Place(*host);
  host->BuildPages();
  if (host->PageCount() == 0) return;
  if (host->ShowModal() == host::mrCancel) throw EAIUserAbort();
  if (host::TCustomForm* main = app.MainForm()) main->Repaint();
  app.ProcessMessages();
}

void TDialogManager::OpenProgressForms() {
  if (progress_open_) return;
  progress_open_ = true;
  for (const TFormEntry& entry : DCFList().Snapshot()) {
    std::unique_ptr<TBaseDuringCopyForm> form =
        MakeForm<TBaseDuringCopyForm>(*entry.FormClass, &host::Application());
    if (!form || form->DM() != this) continue;
    if (TCustomBaseInstallDlg* dc = entry.Component) {
      dc->SetForm(form.get());
      dc->Place(*form);
    }
    form->PrepareShow();
    form->Translate();
    form->Show();
    progress_.push_back(form.release());
  }
}

void TDialogManager::CloseProgressForms() {
  progress_open_ = false;
  while (!progress_.empty()) {
    TBaseDuringCopyForm* f = progress_.back();
    progress_.pop_back();
    delete f;
  }
}

void TDialogManager::ShowChangeDisk(host::TObject* parameter) {
  if (BCDFList().Count() == 0) return;
  TCurrentManagerScope current(this);
  std::unique_ptr<TBaseChangeDiskForm> form =
      MakeForm<TBaseChangeDiskForm>(*BCDFList().Items(0).FormClass, &host::Application());
  if (!form || form->DM() != this) return;
  if (parameter == nullptr)
    throw IEDialogManager(
        "The ParameterObject is Nil in the TDialogManager. Cannot show the change disk form");
  auto* list = dynamic_cast<TMessageList*>(parameter);
  if (list == nullptr) throw IEDialogManager("TChangeDiskDlg--PO is not a TList object");
  if (list->Items.size() < 2)
    throw IEDialogManager("TChangeDiskDlg--Not engouh parameters for status event");
  auto* file = dynamic_cast<TCustomInstallFile*>(list->Items[0]);
  if (file == nullptr) throw IEDialogManager("TChangeDiskDlg says bad first parameter");
  auto* disk = dynamic_cast<TDiskParameter*>(list->Items[1]);
  if (disk == nullptr) throw IEDialogManager("TChangeDiskDlg says bad second parameter");
  form->SetDiskParameter(disk);
  form->PrepareShow();
  form->Translate();
  const host::TModalResult result = form->ShowModal();
  form->SetDiskParameter(nullptr);
  // The form asked for the disk: the file asks no more.
  file->SetTag(1);
  if (result == host::mrCancel) throw EAIUserAbort();
}

const host::TPropertyTable& TDialogManager::ClassProperties() {
  static const host::TPropertyTable table = host::PublishClass<TDialogManager>(
      "TDialogManager", &TInstallObject::ClassProperties(), [](host::TPublisher<TDialogManager>& p) {
        PublishContainer(p);
        p.Enumeration("ManagerType", ManagerTypeInfo(), &TDialogManager::ManagerType,
                      &TDialogManager::SetManagerType)
            .Default(dmBeforeInstall);
        TDialogPlacement::Publish(p, 395, 478, odpCenter, 0);
      });
  return table;
}

// ---------------------------------------------------------------- components

TCustomBaseInstallDlg::TCustomBaseInstallDlg(host::TComponent* owner)
    : TInstallObject(owner), TDialogPlacement(0, 0, odpCenter, 0) {
  StoreOrder(0);
  TInstallObject::SetInstallTypes(ItBit(itFull) | ItBit(itDefault) | ItBit(itCompact) | ItBit(itCustom));
}

TCustomBaseInstallDlg::~TCustomBaseInstallDlg() {
  BIFList().RemoveComponent(this);
  DCFList().RemoveComponent(this);
  BCDFList().RemoveComponent(this);
  SetForm(nullptr);
  if (dialog_manager_ != nullptr) dialog_manager_->RemoveDialog(this);
}

void TCustomBaseInstallDlg::AfterConstruction() {
  TInstallObject::AfterConstruction();
  if (TFormRegistry* r = Registry()) r->Add(FormClass(), this);
  if (!Loading()) Bind();
}

void TCustomBaseInstallDlg::Loaded() {
  TInstallObject::Loaded();
  Bind();
}

void TCustomBaseInstallDlg::Bind() {
  TManagerType type;
  if (dialog_manager_ == nullptr && BindsTo(type)) SetDialogManager(FindDialogManager(type));
}

void TCustomBaseInstallDlg::SetDialogManager(TDialogManager* v) {
  if (v == dialog_manager_) return;
  if (v != nullptr) v->AddDialog(this);
  if (dialog_manager_ != nullptr) dialog_manager_->RemoveDialog(this);
  dialog_manager_ = v;
}

void TCustomBaseInstallDlg::RemoveReference(host::TComponent* object) {
  TInstallObject::RemoveReference(object);
  if (object == dialog_manager_) dialog_manager_ = nullptr;
}

void TCustomBaseInstallDlg::SetForm(host::TCustomForm* form) { Refer<host::TCustomForm>(*this, form_, form); }

void TCustomBaseInstallDlg::Notification(host::TComponent* component, host::TOperation operation) {
  TInstallObject::Notification(component, operation);
  if (operation == host::opRemove && component == form_) form_ = nullptr;
}

const host::TPicture* TCustomBaseInstallDlg::ThemePicture() const {
  return theme_bitmap_.Empty() ? InstallThemePicture() : &theme_bitmap_;
}

void TCustomBaseInstallDlg::AssignDialogProperties() {
  if (form_ == nullptr)
    throw IEBaseInstallDlg("Cannot AssignDialogProperties for %s because the Dialog is Nil", {Name()});
  if (auto* f = dynamic_cast<TBaseOrlaneForm*>(form_)) {
    f->SetAutoSetFont(auto_set_font_);
    f->SetAutoTranslate(auto_translate_);
    f->SetOverrideMainTranslator(override_main_translator_);
    f->SetTranslateIntoLanguage(translate_into_);
  }
  if (auto* page = dynamic_cast<TBaseInstallForm*>(form_)) {
    page->SetContainer(Container());
    page->SetDC(this);
  }
  Translate();
}

void TCustomBaseInstallDlg::Translate() {
  if (form_ == nullptr) return;
  if (auto_set_font_) {
    if (override_main_translator_)
      SetLanguageFontFor(*form_, translate_into_);
    else
      SetLanguageFont(*form_);
  }
  if (auto_translate_) {
    form_language_ = override_main_translator_
                         ? TranslateComponentInto(form_language_, translate_into_, *form_)
                         : TranslateComponent(form_language_, *form_);
    if (auto* f = dynamic_cast<TBaseOrlaneForm*>(form_)) f->SetFormLanguage(form_language_);
  }
}

bool TCustomBaseInstallDlg::Execute() {
  bool result = false;
  try {
    OnBeforeExecute(this);
    result = DoExecute();
    host::Application().ProcessMessages();
    OnAfterExecute(this);
  } catch (const host::EAbort&) {
    return false;
  }
  return result;
}

bool TCustomBaseInstallDlg::DoExecute() {
  if (!CanExecute()) return true;
  std::unique_ptr<host::TCustomForm> form =
      MakeForm<host::TCustomForm>(FormClass(), &host::Application());
  if (!form) throw IEBaseInstallDlg("Cannot AssignDialogProperties for %s because the Dialog is Nil", {Name()});
  SetForm(form.get());
  AssignDialogProperties();
  if (form->ShowModal() != host::mrOk) throw EAIUserAbort();
  return true;
}

const host::TPropertyTable& TCustomBaseInstallDlg::ClassProperties() {
  // Abstract: each component class publishes the shared set with its own
  // starting Order (Publish).
  static const host::TPropertyTable table = host::PublishClass<TCustomBaseInstallDlg>(
      "TCustomBaseInstallDlg", &TInstallObject::ClassProperties(),
      [](host::TPublisher<TCustomBaseInstallDlg>&) {});
  return table;
}

void RegisterDialogManagerClasses() {
  host::RegisterStdControls();
  host::RegisterClass(TDialogManager::ClassProperties());
  host::RegisterClass(TBaseFormContainer::ClassProperties());
}

}  // namespace orln
