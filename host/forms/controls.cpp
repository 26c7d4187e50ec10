#include "host/forms/controls.h"

#include <algorithm>

#include "host/forms/forms.h"

namespace host {

const TEnumInfo& AlignInfo() {
  static const TEnumInfo info("TAlign", {"alNone", "alTop", "alBottom", "alLeft", "alRight", "alClient"});
  return info;
}
const TEnumInfo& AnchorsInfo() {
  static const TEnumInfo info("TAnchorKind", {"akLeft", "akTop", "akRight", "akBottom"});
  return info;
}
const TEnumInfo& AlignmentInfo() {
  static const TEnumInfo info("TAlignment", {"taLeftJustify", "taRightJustify", "taCenter"});
  return info;
}

// ---------------------------------------------------------------- TControl

TControl::TControl(TComponent* owner) : TComponent(owner) {
  font_.OnChange = [this] {
    parent_font_ = false;
    Changed();
  };
}

TControl::~TControl() {
  font_.OnChange = nullptr;
  if (parent_) {
    std::erase(parent_->controls_, this);
    parent_ = nullptr;
  }
  Application().ControlGone(*this);
}

void TControl::SetParent(TWinControl* parent) {
  if (parent == parent_) return;
  for (const TControl* p = parent; p; p = p->parent_)
    if (p == this) throw EInvalidOperation("A control cannot have itself as its parent");
  if (parent_) {
    std::erase(parent_->controls_, this);
    if (!Loading()) parent_->Realign();
  }
  parent_ = parent;
  if (parent_) {
    parent_->controls_.push_back(this);
    if (parent_font_) TakeParentFont();
    if (!Loading()) parent_->Realign();
  }
  Changed();
}

void TControl::SetParentComponent(TComponent* parent) {
  if (auto* w = dynamic_cast<TWinControl*>(parent)) SetParent(w);
}

TComponent* TControl::GetParentComponent() const { return parent_; }

TCustomForm* TControl::GetParentForm() const {
  const TControl* top = this;
  while (top->parent_) top = top->parent_;
  return top == this ? nullptr : dynamic_cast<TCustomForm*>(const_cast<TControl*>(top));
}

TCustomForm* TControl::HostingForm() const {
  for (TWinControl* p = parent_; p; p = p->parent_)
    if (auto* f = dynamic_cast<TCustomForm*>(p)) return f;
  return nullptr;
}

void TControl::SetBounds(int32_t left, int32_t top, int32_t width, int32_t height) {
  if (width < 0) width = 0;
  if (height < 0) height = 0;
  const bool sized = width != width_ || height != height_;
  const bool moved = left != left_ || top != top_;
  if (!sized && !moved) return;
  left_ = left;
  top_ = top;
  width_ = width;
  height_ = height;
  if (Loading()) return;
  if (sized) Resized();
  if (parent_ && align_ != alNone) parent_->Realign();
  Changed();
}

void TControl::SetVisible(bool v) {
  if (v == visible_) return;
  visible_ = v;
  if (parent_ && !Loading()) parent_->Realign();
  Changed();
}

bool TControl::Showing() const {
  if (!visible_) return false;
  if (auto* f = dynamic_cast<const TCustomForm*>(this); f && !parent_) return true;
  return parent_ && parent_->Showing();
}

void TControl::SetEnabled(bool v) {
  if (v == enabled_) return;
  enabled_ = v;
  Changed();
}

void TControl::SetText(const std::string& v) {
  if (v == text_) return;
  text_ = v;
  Changed();
}

void TControl::TakeParentFont() {
  if (!parent_) return;
  auto saved = std::move(font_.OnChange);
  font_.Assign(parent_->font_);
  font_.OnChange = std::move(saved);
  Changed();
}

void TControl::SetParentFont(bool v) {
  parent_font_ = v;
  if (v) TakeParentFont();
}

void TControl::SetColor(TColor v) {
  color_ = v;
  parent_color_ = false;
  Changed();
}

void TControl::SetAlign(TAlign v) {
  if (v == align_) return;
  align_ = v;
  if (parent_ && !Loading()) parent_->Realign();
}

void TControl::BringToFront() {
  if (!parent_) return;
  auto& list = parent_->controls_;
  std::erase(list, this);
  list.push_back(this);
  Changed();
}

void TControl::SendToBack() {
  if (!parent_) return;
  auto& list = parent_->controls_;
  std::erase(list, this);
  list.insert(list.begin(), this);
  Changed();
}

TCanvas& TControl::Canvas() {
  if (!canvas_) {
    canvas_ = std::make_unique<TCanvas>();
    canvas_->Font().Assign(font_);
  }
  return *canvas_;
}

void TControl::Click() { OnClick(this); }

bool TControl::UserClick() {
  Click();
  return true;
}
bool TControl::UserCheck(bool) { return false; }
bool TControl::UserChoose(const std::string&) { return false; }
bool TControl::UserType(const std::string&) { return false; }

void TControl::Changed() {
  if (Loading() || (ComponentState() & csDestroying)) return;
  Application().ControlChanged(*this);
}

void TControl::Loaded() {
  TComponent::Loaded();
  if (parent_font_ && parent_) TakeParentFont();
}

const TPropertyTable& TControl::ClassProperties() {
  static const TPropertyTable table = PublishClass<TControl>(
      "TControl", &TComponent::ClassProperties(), [](TPublisher<TControl>& p) {
        p.Integer("Left", &TControl::Left, &TControl::SetLeft).Default(0);
        p.Integer("Top", &TControl::Top, &TControl::SetTop).Default(0);
        p.Integer("Width", &TControl::Width, &TControl::SetWidth);
        p.Integer("Height", &TControl::Height, &TControl::SetHeight);
        p.Enumeration("Align", AlignInfo(), &TControl::Align, &TControl::SetAlign).Default(alNone);
        p.Set("Anchors", AnchorsInfo(), &TControl::Anchors, &TControl::SetAnchors)
            .Default((1u << akLeft) | (1u << akTop));
        p.Integer("Color", &TControl::Color, &TControl::SetColor)
            .StoredWhen<TControl>([](const TControl& c) { return !c.ParentColor(); });
        p.Boolean("ParentColor", &TControl::ParentColor, &TControl::SetParentColor).Default(true);
        p.Object("Font", [](TControl& c) -> TPersistent& { return c.Font(); })
            .StoredWhen<TControl>([](const TControl& c) { return !c.ParentFont(); });
        p.Boolean("ParentFont", &TControl::ParentFont, &TControl::SetParentFont).Default(true);
        p.Boolean("Enabled", &TControl::Enabled, &TControl::SetEnabled).Default(true);
        p.Boolean("Visible", &TControl::Visible, &TControl::SetVisible).Default(true);
        p.Integer("Tag", &TControl::Tag, &TControl::SetTag).Default(0);
        p.String("Hint", &TControl::Hint, &TControl::SetHint).DefaultString("");
        p.Boolean("ShowHint", &TControl::ShowHint, &TControl::SetShowHint).Default(false);
        p.Integer("Cursor", &TControl::Cursor, &TControl::SetCursor).Default(0);
        p.Integer("HelpContext", &TControl::HelpContext, &TControl::SetHelpContext).Default(0);
        p.Event("OnClick", &TControl::OnClick);
      });
  return table;
}

// ---------------------------------------------------------------- TWinControl

TWinControl::TWinControl(TComponent* owner) : TControl(owner) {}

TWinControl::~TWinControl() {
  // Controls owned elsewhere outlive their parent as orphans.
  for (TControl* c : controls_) c->parent_ = nullptr;
  controls_.clear();
}

TControl* TWinControl::Controls(int index) const {
  if (index < 0 || index >= ControlCount())
    throw EListError("List index out of bounds (" + std::to_string(index) + ")");
  return controls_[static_cast<size_t>(index)];
}

bool TWinControl::ContainsControl(const TControl* control) const {
  for (const TControl* c = control; c; c = c->Parent())
    if (c == this) return true;
  return false;
}

bool TWinControl::CanFocus() const {
  if (!Showing()) return false;
  for (const TControl* c = this; c; c = c->Parent())
    if (!c->Enabled()) return false;
  return true;
}

void TWinControl::SetFocus() {
  if (!CanFocus()) throw EInvalidOperation("Cannot focus a disabled or invisible window");
  TCustomForm* form = dynamic_cast<TCustomForm*>(this);
  if (!form) form = GetParentForm();
  if (form && form != this) form->SetActiveControl(this);
}

bool TWinControl::Focused() const {
  const TCustomForm* form = GetParentForm();
  return form && form->ActiveControl() == this;
}

void TWinControl::Realign() {
  if (aligning_ || Loading()) return;
  aligning_ = true;
  TRect r{0, 0, ClientWidth(), ClientHeight()};
  // A control's own realignment may realign this one again; the flag stops that.
  auto place = [&](TAlign which) {
    for (TControl* c : controls_) {
      if (!c->Visible() || c->Align() != which) continue;
      switch (which) {
        case alTop:
          c->SetBounds(r.Left, r.Top, r.Width(), c->Height());
          r.Top += c->Height();
          break;
        case alBottom:
          c->SetBounds(r.Left, r.Bottom - c->Height(), r.Width(), c->Height());
          r.Bottom -= c->Height();
          break;
        case alLeft:
          c->SetBounds(r.Left, r.Top, c->Width(), r.Height());
          r.Left += c->Width();
          break;
        case alRight:
          c->SetBounds(r.Right - c->Width(), r.Top, c->Width(), r.Height());
          r.Right -= c->Width();
          break;
        case alClient:
          c->SetBounds(r.Left, r.Top, std::max(0, r.Width()), std::max(0, r.Height()));
          break;
        case alNone:
          break;
      }
    }
  };
  try {
    for (TAlign a : {alTop, alBottom, alLeft, alRight, alClient}) place(a);
  } catch (...) {
    aligning_ = false;
    throw;
  }
  aligning_ = false;
}

void TWinControl::Loaded() {
  TControl::Loaded();
  Realign();
}

void TWinControl::GetChildren(std::vector<TComponent*>& children, const TComponent* root) const {
  TComponent::GetChildren(children, root);
  // A form hosted in another form's text owns what is nested in it.
  for (TControl* c : controls_)
    if (c->Owner() == root || (c->Owner() == this && this != root)) children.push_back(c);
}

const TPropertyTable& TWinControl::ClassProperties() {
  static const TPropertyTable table = PublishClass<TWinControl>(
      "TWinControl", &TControl::ClassProperties(), [](TPublisher<TWinControl>& p) {
        p.Integer("TabOrder", &TWinControl::TabOrder, &TWinControl::SetTabOrder).Default(-1);
        p.Boolean("TabStop", &TWinControl::TabStop, &TWinControl::SetTabStop).Default(false);
        p.Event("OnEnter", &TWinControl::OnEnter);
        p.Event("OnExit", &TWinControl::OnExit);
      });
  return table;
}

// ---------------------------------------------------------------- helpers

void TControlStrings::Changed() {
  TStringList::Changed();
  if (OnLinesChanged) OnLinesChanged();
}

void CollectShowingControls(const TWinControl& root, std::vector<TControl*>& out) {
  for (int i = 0; i < root.ControlCount(); ++i) {
    TControl* c = root.Controls(i);
    if (!c->Visible()) continue;
    out.push_back(c);
    if (auto* w = dynamic_cast<TWinControl*>(c)) CollectShowingControls(*w, out);
  }
}

}  // namespace host
