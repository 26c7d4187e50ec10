// Controls of the headless forms: TControl (bounds, visibility, text, font,
// alignment, the user's actions) and TWinControl (a control that holds
// others and can take the focus).
//
// There are no windows. A control keeps its state; the application's
// presenter (presenter.h) shows it and hears of every change a user could
// see (ControlChanged), and a user's action comes back through the
// application as a call of UserClick, UserCheck, UserChoose or UserType,
// which runs the same events a real click or keystroke would.
//
// Ownership and parents: controls read from a form's text belong to the
// form and sit in (have as Parent) the control they are nested in. A parent
// only borrows its controls; a control leaves its parent when freed, and a
// parent freed first orphans its controls (their owner frees them).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/classes/component.h"
#include "host/classes/prop_table.h"
#include "host/forms/graphics.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/string_list.h"

namespace host {

class TWinControl;
class TCustomForm;

// A call the control's state does not allow ("Cannot focus a disabled or
// invisible window").
class EInvalidOperation : public Exception {
 public:
  using Exception::Exception;
};

enum TAlign : uint8_t { alNone, alTop, alBottom, alLeft, alRight, alClient };
const TEnumInfo& AlignInfo();
enum TAnchorKind : uint8_t { akLeft, akTop, akRight, akBottom };
using TAnchors = uint8_t;
const TEnumInfo& AnchorsInfo();
// Forms take all of these; panels bsNone and bsSingle.
enum TFormBorderStyle : uint8_t { bsNone, bsSingle, bsSizeable, bsDialog, bsToolWindow, bsSizeToolWin };
enum TAlignment : uint8_t { taLeftJustify, taRightJustify, taCenter };
const TEnumInfo& AlignmentInfo();

// The wizard code takes cancel as 3 and OK as 1; abort has the 2.
using TModalResult = int32_t;
inline constexpr TModalResult mrNone = 0;
inline constexpr TModalResult mrOk = 1;
inline constexpr TModalResult mrAbort = 2;
inline constexpr TModalResult mrCancel = 3;
inline constexpr TModalResult mrRetry = 4;
inline constexpr TModalResult mrIgnore = 5;
inline constexpr TModalResult mrYes = 6;
inline constexpr TModalResult mrNo = 7;
inline constexpr TModalResult mrAll = 8;

class TControl : public TComponent {
 public:
  explicit TControl(TComponent* owner);
  ~TControl() override;

  TWinControl* Parent() const { return parent_; }
  // Moves the control into `parent`'s controls (out of its former one).
  // A control cannot sit in itself or in one of its own controls.
  virtual void SetParent(TWinControl* parent);
  // The top-level form the control sits in (through hosted forms), else
  // null; a button's ModalResult ends that form.
  TCustomForm* GetParentForm() const;
  // The nearest form the control sits in: a hosted page rather than its host.
  TCustomForm* HostingForm() const;

  int32_t Left() const { return left_; }
  int32_t Top() const { return top_; }
  int32_t Width() const { return width_; }
  int32_t Height() const { return height_; }
  void SetLeft(int32_t v) { SetBounds(v, top_, width_, height_); }
  void SetTop(int32_t v) { SetBounds(left_, v, width_, height_); }
  void SetWidth(int32_t v) { SetBounds(left_, top_, v, height_); }
  void SetHeight(int32_t v) { SetBounds(left_, top_, width_, v); }
  virtual void SetBounds(int32_t left, int32_t top, int32_t width, int32_t height);
  TRect BoundsRect() const { return TRect{left_, top_, left_ + width_, top_ + height_}; }
  // Headless controls have no frame: the client area is the whole control.
  int32_t ClientWidth() const { return width_; }
  int32_t ClientHeight() const { return height_; }
  void SetClientWidth(int32_t v) { SetWidth(v); }
  void SetClientHeight(int32_t v) { SetHeight(v); }

  bool Visible() const { return visible_; }
  virtual void SetVisible(bool v);
  void Show() { SetVisible(true); }
  void Hide() { SetVisible(false); }
  // Visible, and so is every parent up to a form that is visible.
  bool Showing() const;
  bool Enabled() const { return enabled_; }
  virtual void SetEnabled(bool v);

  // Caption and Text are one text, as on the platform.
  const std::string& Caption() const { return text_; }
  void SetCaption(const std::string& v) { SetText(v); }
  const std::string& Text() const { return text_; }
  virtual void SetText(const std::string& v);

  TFont& Font() { return font_; }
  const TFont& Font() const { return font_; }
  bool ParentFont() const { return parent_font_; }
  void SetParentFont(bool v);
  TColor Color() const { return color_; }
  void SetColor(TColor v);
  bool ParentColor() const { return parent_color_; }
  void SetParentColor(bool v) { parent_color_ = v; }
  TAlign Align() const { return align_; }
  void SetAlign(TAlign v);
  TAnchors Anchors() const { return anchors_; }
  void SetAnchors(TAnchors v) { anchors_ = v; }
  int32_t Tag() const { return tag_; }
  virtual void SetTag(int32_t v) { tag_ = v; }
  const std::string& Hint() const { return hint_; }
  void SetHint(const std::string& v) { hint_ = v; }
  bool ShowHint() const { return show_hint_; }
  void SetShowHint(bool v) { show_hint_ = v; }
  int32_t Cursor() const { return cursor_; }
  void SetCursor(int32_t v) { cursor_ = v; }
  int32_t HelpContext() const { return help_context_; }
  void SetHelpContext(int32_t v) { help_context_ = v; }

  // Moves the control to the top (BringToFront) or bottom of its parent's
  // controls, which is the order a presenter shows them in.
  void BringToFront();
  void SendToBack();
  // Tells the presenter the control is to be shown anew.
  void Invalidate() { Changed(); }
  void Repaint() { Changed(); }
  void Refresh() { Changed(); }
  void Update() {}

  // Painting: Paint draws on the control's recording canvas.
  TCanvas& Canvas();
  virtual void Paint() {}

  TNotifyEvent OnClick;
  virtual void Click();

  // The user's actions, as a presenter delivers them. False: the control
  // takes no such action (a label cannot be checked).
  virtual bool UserClick();
  virtual bool UserCheck(bool checked);
  virtual bool UserChoose(const std::string& choice);
  virtual bool UserType(const std::string& text);

  TComponent* GetChildOwner() override { return nullptr; }
  void SetParentComponent(TComponent* parent) override;
  TComponent* GetParentComponent() const override;

  static const TPropertyTable& ClassProperties();
  const TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 protected:
  // Tells the presenter (and the parent's alignment) of a change; nothing
  // while loading.
  virtual void Changed();
  // The bounds changed (after they are set).
  virtual void Resized() {}
  void Loaded() override;
  bool Loading() const { return (ComponentState() & csLoading) != 0; }
  // The parent's font is taken while ParentFont is set.
  void TakeParentFont();

 private:
  friend class TWinControl;
  friend class TCustomForm;
  TWinControl* parent_ = nullptr;
  int32_t left_ = 0, top_ = 0, width_ = 0, height_ = 0;
  bool visible_ = true;
  bool enabled_ = true;
  std::string text_;
  TFont font_;
  bool parent_font_ = true;
  TColor color_ = clBtnFace;
  bool parent_color_ = true;
  TAlign align_ = alNone;
  TAnchors anchors_ = (1u << akLeft) | (1u << akTop);
  int32_t tag_ = 0;
  std::string hint_;
  bool show_hint_ = false;
  int32_t cursor_ = 0;
  int32_t help_context_ = 0;
  std::unique_ptr<TCanvas> canvas_;
};

// A control drawn on its parent (labels, images).
class TGraphicControl : public TControl {
 public:
  using TControl::TControl;
};

class TWinControl : public TControl {
 public:
  explicit TWinControl(TComponent* owner);
  ~TWinControl() override;

  int ControlCount() const { return static_cast<int>(controls_.size()); }
  TControl* Controls(int index) const;
  bool ContainsControl(const TControl* control) const;

  int32_t TabOrder() const { return tab_order_; }
  void SetTabOrder(int32_t v) { tab_order_ = v; }
  bool TabStop() const { return tab_stop_; }
  void SetTabStop(bool v) { tab_stop_ = v; }

  // Showing and enabled, with every parent enabled.
  virtual bool CanFocus() const;
  // The form's active control becomes this one; raises EInvalidOperation
  // "Cannot focus a disabled or invisible window" when it cannot.
  virtual void SetFocus();
  bool Focused() const;

  // Lays the aligned controls out in the client area: top, bottom, left and
  // right ones along the edges in their order, client ones in the rest.
  void Realign();

  TNotifyEvent OnEnter;
  TNotifyEvent OnExit;

  void GetChildren(std::vector<TComponent*>& children, const TComponent* root) const override;

  static const TPropertyTable& ClassProperties();
  const TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 protected:
  void Resized() override { Realign(); }
  void Loaded() override;

 private:
  friend class TControl;
  std::vector<TControl*> controls_;  // borrowed, in z-order (last on top)
  int32_t tab_order_ = -1;
  bool tab_stop_ = false;
  bool aligning_ = false;
};

// A list of lines that tells its control of every change.
class TControlStrings : public TStringList {
 public:
  std::function<void()> OnLinesChanged;

 protected:
  void Changed() override;
};

// The controls of `root` shown to a user, in order: depth first through
// parents, each parent's controls in z-order. Hosted forms count.
void CollectShowingControls(const TWinControl& root, std::vector<TControl*>& out);

}  // namespace host
