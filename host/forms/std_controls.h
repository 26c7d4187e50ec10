// The standard controls the installer's pages use: labels, buttons, edits,
// memos, rich edits, check boxes, radio groups, progress bars, images,
// panels, group boxes, tab controls, list boxes, combo boxes and list views.
//
// Each keeps the state a user sees and runs the events a user's action
// would: a click runs OnClick (a button with a ModalResult sets its form's
// first), checking a box or choosing a radio item runs OnClick, typing runs
// OnChange. As on the platform, setting Checked, ItemIndex or Text in code
// runs the same events (never while the form is being read); setting a tab
// control's TabIndex in code runs none.
//
// RegisterStdControls makes every class here (and TForm, TDataModule) known
// to the class registry, so that form texts can name them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/forms/controls.h"

namespace host {

enum TTextLayout : uint8_t { tlTop, tlCenter, tlBottom };

class TCustomLabel : public TGraphicControl {
 public:
  explicit TCustomLabel(TComponent* owner);

  // While AutoSize (and not WordWrap) the label is as large as its caption
  // in the fixed text metrics (graphics.h).
  bool AutoSize() const { return auto_size_; }
  void SetAutoSize(bool v);
  bool WordWrap() const { return word_wrap_; }
  void SetWordWrap(bool v);
  TAlignment Alignment() const { return alignment_; }
  void SetAlignment(TAlignment v);
  TTextLayout Layout() const { return layout_; }
  void SetLayout(TTextLayout v);
  bool Transparent() const { return transparent_; }
  void SetTransparent(bool v);
  TWinControl* FocusControl() const { return focus_control_; }
  void SetFocusControl(TWinControl* v);

  void SetText(const std::string& v) override;

 protected:
  void AdjustBounds();
  void Loaded() override;
  void Notification(TComponent* component, TOperation operation) override;
  void Changed() override;

 private:
  bool auto_size_ = true;
  bool word_wrap_ = false;
  TAlignment alignment_ = taLeftJustify;
  TTextLayout layout_ = tlTop;
  bool transparent_ = false;
  TWinControl* focus_control_ = nullptr;
};

class TLabel : public TCustomLabel {
 public:
  using TCustomLabel::TCustomLabel;
  static const TPropertyTable& ClassProperties();
  const TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }
};

class TButton : public TWinControl {
 public:
  explicit TButton(TComponent* owner);
  bool Default() const { return default_; }
  void SetDefault(bool v) { default_ = v; }
  bool Cancel() const { return cancel_; }
  void SetCancel(bool v) { cancel_ = v; }
  TModalResult ModalResult() const { return modal_result_; }
  void SetModalResult(TModalResult v) { modal_result_ = v; }
  // The form's ModalResult := ModalResult (when not none), then OnClick.
  void Click() override;

  static const TPropertyTable& ClassProperties();
  const TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 private:
  bool default_ = false;
  bool cancel_ = false;
  TModalResult modal_result_ = mrNone;
};

enum TBitBtnKind : uint8_t { bkCustom, bkOK, bkCancel, bkHelp, bkYes, bkNo, bkClose, bkAbort, bkRetry, bkIgnore, bkAll };
enum TButtonLayout : uint8_t { blGlyphLeft, blGlyphRight, blGlyphTop, blGlyphBottom };

class TBitBtn : public TButton {
 public:
  using TButton::TButton;
  TBitBtnKind Kind() const { return kind_; }
  // A kind other than bkCustom gives the button its caption, modal result
  // and Default or Cancel, as the platform does.
  void SetKind(TBitBtnKind v);
  TBitmap& Glyph() { return glyph_; }
  int32_t NumGlyphs() const { return num_glyphs_; }
  void SetNumGlyphs(int32_t v) { num_glyphs_ = v; }
  TButtonLayout Layout() const { return layout_; }
  void SetLayout(TButtonLayout v) { layout_ = v; }
  int32_t Margin() const { return margin_; }
  void SetMargin(int32_t v) { margin_ = v; }
  int32_t Spacing() const { return spacing_; }
  void SetSpacing(int32_t v) { spacing_ = v; }

  static const TPropertyTable& ClassProperties();
  const TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 private:
  TBitBtnKind kind_ = bkCustom;
  TBitmap glyph_;
  int32_t num_glyphs_ = 1;
  TButtonLayout layout_ = blGlyphLeft;
  int32_t margin_ = -1;
  int32_t spacing_ = 4;
};

enum TEditCharCase : uint8_t { ecNormal, ecUpperCase, ecLowerCase };

class TCustomEdit : public TWinControl {
 public:
  explicit TCustomEdit(TComponent* owner);
  bool ReadOnly() const { return read_only_; }
  void SetReadOnly(bool v) { read_only_ = v; }
  int32_t MaxLength() const { return max_length_; }
  void SetMaxLength(int32_t v) { max_length_ = v; }
  // Runs OnChange when the text changes (not while reading).
  void SetText(const std::string& v) override;
  // Refused (false) for a read-only edit; cut to MaxLength.
  bool UserType(const std::string& text) override;
  TNotifyEvent OnChange;

 protected:
  void Change();

 private:
  bool read_only_ = false;
  int32_t max_length_ = 0;
};

class TEdit : public TCustomEdit {
 public:
  using TCustomEdit::TCustomEdit;
  char PasswordChar() const { return password_char_; }
  void SetPasswordChar(char v) { password_char_ = v; }
  bool AutoSelect() const { return auto_select_; }
  void SetAutoSelect(bool v) { auto_select_ = v; }
  TEditCharCase CharCase() const { return char_case_; }
  void SetCharCase(TEditCharCase v) { char_case_ = v; }

  static const TPropertyTable& ClassProperties();
  const TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 private:
  char password_char_ = 0;
  bool auto_select_ = true;
  TEditCharCase char_case_ = ecNormal;
};

enum TScrollStyle : uint8_t { ssNone, ssHorizontal, ssVertical, ssBoth };

// Lines and Text are one: the text is the lines, each ended by CR LF but the
// last.
class TCustomMemo : public TCustomEdit {
 public:
  explicit TCustomMemo(TComponent* owner);
  TStrings& Lines() { return lines_; }
  const TStrings& Lines() const { return lines_; }
  void SetLines(const TStrings& v) { lines_.Assign(v); }
  void SetText(const std::string& v) override;
  bool UserType(const std::string& text) override;
  TScrollStyle ScrollBars() const { return scroll_bars_; }
  void SetScrollBars(TScrollStyle v) { scroll_bars_ = v; }
  bool WordWrap() const { return word_wrap_; }
  void SetWordWrap(bool v) { word_wrap_ = v; }
  bool WantReturns() const { return want_returns_; }
  void SetWantReturns(bool v) { want_returns_ = v; }
  TAlignment Alignment() const { return alignment_; }
  void SetAlignment(TAlignment v) { alignment_ = v; }

 private:
  void LinesChanged();

  TControlStrings lines_;
  bool updating_ = false;
  TScrollStyle scroll_bars_ = ssNone;
  bool word_wrap_ = true;
  bool want_returns_ = true;
  TAlignment alignment_ = taLeftJustify;
};

class TMemo : public TCustomMemo {
 public:
  using TCustomMemo::TCustomMemo;
  static const TPropertyTable& ClassProperties();
  const TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }
};

class TRichEdit : public TCustomMemo {
 public:
  using TCustomMemo::TCustomMemo;
  bool PlainText() const { return plain_text_; }
  void SetPlainText(bool v) { plain_text_ = v; }
  static const TPropertyTable& ClassProperties();
  const TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 private:
  bool plain_text_ = false;
};

enum TCheckBoxState : uint8_t { cbUnchecked, cbChecked, cbGrayed };

class TCheckBox : public TWinControl {
 public:
  explicit TCheckBox(TComponent* owner);
  bool Checked() const { return state_ == cbChecked; }
  void SetChecked(bool v) { SetState(v ? cbChecked : cbUnchecked); }
  TCheckBoxState State() const { return state_; }
  // Runs OnClick when the state changes (not while reading).
  void SetState(TCheckBoxState v);
  bool AllowGrayed() const { return allow_grayed_; }
  void SetAllowGrayed(bool v) { allow_grayed_ = v; }
  TAlignment Alignment() const { return alignment_; }
  void SetAlignment(TAlignment v) { alignment_ = v; }

  // A click toggles.
  bool UserClick() override;
  bool UserCheck(bool checked) override;

  static const TPropertyTable& ClassProperties();
  const TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 private:
  TCheckBoxState state_ = cbUnchecked;
  bool allow_grayed_ = false;
  TAlignment alignment_ = taRightJustify;
};

// Lists of items a user picks one of: the index (-1 for none) of a choice
// given as a number or as an item's text (without regard to case).
int ChoiceIndex(const TStrings& items, const std::string& choice);

class TRadioGroup : public TWinControl {
 public:
  explicit TRadioGroup(TComponent* owner);
  TStrings& Items() { return items_; }
  const TStrings& Items() const { return items_; }
  int32_t ItemIndex() const { return item_index_; }
  // -1 or an item's index (else EListError); runs OnClick on a change.
  void SetItemIndex(int32_t v);
  int32_t Columns() const { return columns_; }
  void SetColumns(int32_t v) { columns_ = v; }
  bool UserChoose(const std::string& choice) override;

  static const TPropertyTable& ClassProperties();
  const TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 protected:
  void Loaded() override;

 private:
  TControlStrings items_;
  int32_t item_index_ = -1;
  int32_t columns_ = 1;
};

class TProgressBar : public TWinControl {
 public:
  explicit TProgressBar(TComponent* owner);
  int32_t Min() const { return min_; }
  void SetMin(int32_t v);
  int32_t Max() const { return max_; }
  void SetMax(int32_t v);
  int32_t Position() const { return position_; }
  // Kept within Min .. Max.
  void SetPosition(int32_t v);
  int32_t Step() const { return step_; }
  void SetStep(int32_t v) { step_ = v; }
  bool Smooth() const { return smooth_; }
  void SetSmooth(bool v) { smooth_ = v; }
  void StepIt() { SetPosition(position_ + step_); }
  void StepBy(int32_t delta) { SetPosition(position_ + delta); }
  // 0 .. 100.
  int Percent() const;

  static const TPropertyTable& ClassProperties();
  const TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 private:
  int32_t min_ = 0;
  int32_t max_ = 100;
  int32_t position_ = 0;
  int32_t step_ = 10;
  bool smooth_ = false;
};

class TImage : public TGraphicControl {
 public:
  explicit TImage(TComponent* owner);
  TPicture& Picture() { return picture_; }
  const TPicture& Picture() const { return picture_; }
  bool Stretch() const { return stretch_; }
  void SetStretch(bool v) { stretch_ = v; }
  bool Center() const { return center_; }
  void SetCenter(bool v) { center_ = v; }
  bool Transparent() const { return transparent_; }
  void SetTransparent(bool v) { transparent_ = v; }
  bool AutoSize() const { return auto_size_; }
  void SetAutoSize(bool v) { auto_size_ = v; }
  bool Proportional() const { return proportional_; }
  void SetProportional(bool v) { proportional_ = v; }

  static const TPropertyTable& ClassProperties();
  const TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 private:
  TPicture picture_;
  bool stretch_ = false;
  bool center_ = false;
  bool transparent_ = false;
  bool auto_size_ = false;
  bool proportional_ = false;
};

enum TBevelCut : uint8_t { bvNone, bvLowered, bvRaised, bvSpace };

class TCustomPanel : public TWinControl {
 public:
  explicit TCustomPanel(TComponent* owner);
  TBevelCut BevelInner() const { return bevel_inner_; }
  void SetBevelInner(TBevelCut v) { bevel_inner_ = v; }
  TBevelCut BevelOuter() const { return bevel_outer_; }
  void SetBevelOuter(TBevelCut v) { bevel_outer_ = v; }
  int32_t BevelWidth() const { return bevel_width_; }
  void SetBevelWidth(int32_t v) { bevel_width_ = v; }
  int32_t BorderWidth() const { return border_width_; }
  void SetBorderWidth(int32_t v) { border_width_ = v; }
  // bsNone or bsSingle.
  TFormBorderStyle BorderStyle() const { return border_style_; }
  void SetBorderStyle(TFormBorderStyle v) { border_style_ = v > bsSingle ? bsSingle : v; }
  TAlignment Alignment() const { return alignment_; }
  void SetAlignment(TAlignment v) { alignment_ = v; }

 private:
  TBevelCut bevel_inner_ = bvNone;
  TBevelCut bevel_outer_ = bvRaised;
  int32_t bevel_width_ = 1;
  int32_t border_width_ = 0;
  TFormBorderStyle border_style_ = bsNone;
  TAlignment alignment_ = taCenter;
};

class TPanel : public TCustomPanel {
 public:
  using TCustomPanel::TCustomPanel;
  static const TPropertyTable& ClassProperties();
  const TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }
};

class TGroupBox : public TWinControl {
 public:
  using TWinControl::TWinControl;
  static const TPropertyTable& ClassProperties();
  const TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }
};

using TTabChangingEvent = TEvent<void(TObject* Sender, bool& AllowChange)>;

class TTabControl : public TWinControl {
 public:
  explicit TTabControl(TComponent* owner);
  TStrings& Tabs() { return tabs_; }
  const TStrings& Tabs() const { return tabs_; }
  int32_t TabIndex() const { return tab_index_; }
  // In code: no events. -1 or a tab's index, else EListError.
  void SetTabIndex(int32_t v);
  int32_t TabHeight() const { return tab_height_; }
  void SetTabHeight(int32_t v) { tab_height_ = v; }
  int32_t TabWidth() const { return tab_width_; }
  void SetTabWidth(int32_t v) { tab_width_ = v; }
  bool MultiLine() const { return multi_line_; }
  void SetMultiLine(bool v) { multi_line_ = v; }
  // A user's choice: OnChanging (which may refuse), then the tab, then OnChange.
  bool UserChoose(const std::string& choice) override;

  TNotifyEvent OnChange;
  TTabChangingEvent OnChanging;

  static const TPropertyTable& ClassProperties();
  const TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 protected:
  void Loaded() override;

 private:
  TControlStrings tabs_;
  int32_t tab_index_ = -1;
  int32_t tab_height_ = 0;
  int32_t tab_width_ = 0;
  bool multi_line_ = false;
};

class TListBox : public TWinControl {
 public:
  explicit TListBox(TComponent* owner);
  TStrings& Items() { return items_; }
  const TStrings& Items() const { return items_; }
  int32_t ItemIndex() const { return item_index_; }
  void SetItemIndex(int32_t v);
  bool Sorted() const { return items_.Sorted(); }
  void SetSorted(bool v) { items_.SetSorted(v); }
  bool MultiSelect() const { return multi_select_; }
  void SetMultiSelect(bool v) { multi_select_ = v; }
  // Selects the item, then OnClick.
  bool UserChoose(const std::string& choice) override;

  static const TPropertyTable& ClassProperties();
  const TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 private:
  TControlStrings items_;
  int32_t item_index_ = -1;
  bool multi_select_ = false;
};

enum TComboBoxStyle : uint8_t { csDropDown, csSimple, csDropDownList, csOwnerDrawFixed, csOwnerDrawVariable };

class TComboBox : public TWinControl {
 public:
  explicit TComboBox(TComponent* owner);
  TStrings& Items() { return items_; }
  const TStrings& Items() const { return items_; }
  int32_t ItemIndex() const { return item_index_; }
  // The text becomes the item's (no OnChange, as on the platform).
  void SetItemIndex(int32_t v);
  TComboBoxStyle Style() const { return style_; }
  void SetStyle(TComboBoxStyle v) { style_ = v; }
  bool Sorted() const { return items_.Sorted(); }
  void SetSorted(bool v) { items_.SetSorted(v); }
  // Selects the item, then OnChange.
  bool UserChoose(const std::string& choice) override;
  // Refused for csDropDownList; the index follows a matching item.
  bool UserType(const std::string& text) override;

  TNotifyEvent OnChange;

  static const TPropertyTable& ClassProperties();
  const TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 private:
  TControlStrings items_;
  int32_t item_index_ = -1;
  TComboBoxStyle style_ = csDropDown;
};

class TListColumn : public TCollectionItem {
 public:
  explicit TListColumn(TCollection* collection = nullptr) : TCollectionItem(collection) {}
  const std::string& Caption() const { return caption_; }
  void SetCaption(const std::string& v) { caption_ = v; }
  int32_t Width() const { return width_; }
  void SetWidth(int32_t v) { width_ = v; }
  TAlignment Alignment() const { return alignment_; }
  void SetAlignment(TAlignment v) { alignment_ = v; }
  bool AutoSize() const { return auto_size_; }
  void SetAutoSize(bool v) { auto_size_ = v; }
  void Assign(const TPersistent& source) override;

  static const TPropertyTable& ClassProperties();
  const TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 private:
  std::string caption_;
  int32_t width_ = 50;
  TAlignment alignment_ = taLeftJustify;
  bool auto_size_ = false;
};

class TListColumns : public TTypedCollection<TListColumn> {};

class TListItem {
 public:
  std::string Caption;
  TStringList SubItems;
  bool Checked = false;
};

// The rows of a list view (made in code, not streamed).
class TListItems {
 public:
  int Count() const { return static_cast<int>(items_.size()); }
  TListItem& Item(int index) const;
  TListItem& Add();
  void Delete(int index);
  void Clear() { items_.clear(); }

 private:
  std::vector<std::unique_ptr<TListItem>> items_;
};

enum TViewStyle : uint8_t { vsIcon, vsSmallIcon, vsList, vsReport };

class TListView : public TWinControl {
 public:
  explicit TListView(TComponent* owner);
  TListColumns& Columns() { return columns_; }
  const TListColumns& Columns() const { return columns_; }
  TListItems& Items() { return items_; }
  const TListItems& Items() const { return items_; }
  TViewStyle ViewStyle() const { return view_style_; }
  void SetViewStyle(TViewStyle v) { view_style_ = v; }
  bool Checkboxes() const { return checkboxes_; }
  void SetCheckboxes(bool v) { checkboxes_ = v; }
  bool ReadOnly() const { return read_only_; }
  void SetReadOnly(bool v) { read_only_ = v; }
  bool RowSelect() const { return row_select_; }
  void SetRowSelect(bool v) { row_select_ = v; }
  bool ShowColumnHeaders() const { return show_column_headers_; }
  void SetShowColumnHeaders(bool v) { show_column_headers_ = v; }
  int32_t ItemIndex() const { return item_index_; }
  void SetItemIndex(int32_t v);
  // Selects a row by number or caption, then OnClick.
  bool UserChoose(const std::string& choice) override;

  static const TPropertyTable& ClassProperties();
  const TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 private:
  TListColumns columns_;
  TListItems items_;
  TViewStyle view_style_ = vsIcon;
  bool checkboxes_ = false;
  bool read_only_ = false;
  bool row_select_ = false;
  bool show_column_headers_ = true;
  int32_t item_index_ = -1;
};

// Registers TForm, TDataModule and every control class of this file.
void RegisterStdControls();

}  // namespace host
