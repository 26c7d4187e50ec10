#include "host/forms/std_controls.h"

#include "host/forms/forms.h"
#include "host/rtl/sys_utils.h"

namespace host {

namespace {

const TEnumInfo& TextLayoutInfo() {
  static const TEnumInfo info("TTextLayout", {"tlTop", "tlCenter", "tlBottom"});
  return info;
}
const TEnumInfo& BitBtnKindInfo() {
  static const TEnumInfo info("TBitBtnKind", {"bkCustom", "bkOK", "bkCancel", "bkHelp", "bkYes", "bkNo",
                                              "bkClose", "bkAbort", "bkRetry", "bkIgnore", "bkAll"});
  return info;
}
const TEnumInfo& ButtonLayoutInfo() {
  static const TEnumInfo info("TButtonLayout", {"blGlyphLeft", "blGlyphRight", "blGlyphTop", "blGlyphBottom"});
  return info;
}
const TEnumInfo& CharCaseInfo() {
  static const TEnumInfo info("TEditCharCase", {"ecNormal", "ecUpperCase", "ecLowerCase"});
  return info;
}
const TEnumInfo& ScrollStyleInfo() {
  static const TEnumInfo info("TScrollStyle", {"ssNone", "ssHorizontal", "ssVertical", "ssBoth"});
  return info;
}
const TEnumInfo& CheckBoxStateInfo() {
  static const TEnumInfo info("TCheckBoxState", {"cbUnchecked", "cbChecked", "cbGrayed"});
  return info;
}
const TEnumInfo& BevelCutInfo() {
  static const TEnumInfo info("TBevelCut", {"bvNone", "bvLowered", "bvRaised", "bvSpace"});
  return info;
}
const TEnumInfo& PanelBorderStyleInfo() {
  static const TEnumInfo info("TBorderStyle", {"bsNone", "bsSingle"});
  return info;
}
const TEnumInfo& ComboStyleInfo() {
  static const TEnumInfo info("TComboBoxStyle", {"csDropDown", "csSimple", "csDropDownList",
                                                 "csOwnerDrawFixed", "csOwnerDrawVariable"});
  return info;
}
const TEnumInfo& ViewStyleInfo() {
  static const TEnumInfo info("TViewStyle", {"vsIcon", "vsSmallIcon", "vsList", "vsReport"});
  return info;
}

bool Reading(const TComponent& c) { return (c.ComponentState() & csLoading) != 0; }

void CheckItemIndex(int32_t v, int count) {
  if (v < -1 || v >= count) throw EListError("List index out of bounds (" + std::to_string(v) + ")");
}

// Publishes the caption under its usual name.
template <class T>
void PublishCaption(TPublisher<T>& p) {
  p.String("Caption", &TControl::Caption, &TControl::SetCaption).DefaultString("");
}

template <class T>
void PublishLines(TPublisher<T>& p, const char* name, TStrings& (T::*get)()) {
  p.Strings(name, [get](T& t) -> TStrings& { return (t.*get)(); }).DefaultEmpty();
}

}  // namespace

int ChoiceIndex(const TStrings& items, const std::string& choice) {
  int32_t n = 0;
  if (TryStrToInt(choice, n)) return n >= 0 && n < items.Count() ? n : -1;
  for (int i = 0; i < items.Count(); ++i)
    if (SameText(items.Strings(i), choice)) return i;
  return -1;
}

// ---------------------------------------------------------------- labels

TCustomLabel::TCustomLabel(TComponent* owner) : TGraphicControl(owner) { SetBounds(0, 0, 65, 17); }

void TCustomLabel::AdjustBounds() {
  if (!auto_size_ || word_wrap_ || Loading()) return;
  SetBounds(Left(), Top(), FontTextWidth(Font(), Caption().size()), FontTextHeight(Font()));
}

void TCustomLabel::SetAutoSize(bool v) {
  auto_size_ = v;
  AdjustBounds();
}
void TCustomLabel::SetWordWrap(bool v) {
  word_wrap_ = v;
  AdjustBounds();
}
void TCustomLabel::SetAlignment(TAlignment v) {
  alignment_ = v;
  Changed();
}
void TCustomLabel::SetLayout(TTextLayout v) {
  layout_ = v;
  Changed();
}
void TCustomLabel::SetTransparent(bool v) {
  transparent_ = v;
  Changed();
}
void TCustomLabel::SetFocusControl(TWinControl* v) {
  focus_control_ = v;
  if (v) v->FreeNotification(this);
}
void TCustomLabel::SetText(const std::string& v) {
  TGraphicControl::SetText(v);
  AdjustBounds();
}
void TCustomLabel::Loaded() {
  TGraphicControl::Loaded();
  AdjustBounds();
}
void TCustomLabel::Notification(TComponent* component, TOperation operation) {
  TGraphicControl::Notification(component, operation);
  if (operation == opRemove && component == focus_control_) focus_control_ = nullptr;
}
void TCustomLabel::Changed() { TGraphicControl::Changed(); }

const TPropertyTable& TLabel::ClassProperties() {
  static const TPropertyTable table =
      PublishClass<TLabel>("TLabel", &TControl::ClassProperties(), [](TPublisher<TLabel>& p) {
        PublishCaption(p);
        p.Boolean("AutoSize", &TCustomLabel::AutoSize, &TCustomLabel::SetAutoSize).Default(true);
        p.Boolean("WordWrap", &TCustomLabel::WordWrap, &TCustomLabel::SetWordWrap).Default(false);
        p.Enumeration("Alignment", AlignmentInfo(), &TCustomLabel::Alignment, &TCustomLabel::SetAlignment)
            .Default(taLeftJustify);
        p.Enumeration("Layout", TextLayoutInfo(), &TCustomLabel::Layout, &TCustomLabel::SetLayout)
            .Default(tlTop);
        p.Boolean("Transparent", &TCustomLabel::Transparent, &TCustomLabel::SetTransparent)
            .Default(false);
        p.Reference<TWinControl>("FocusControl", &TCustomLabel::FocusControl,
                                 &TCustomLabel::SetFocusControl);
      });
  return table;
}

// ---------------------------------------------------------------- buttons

TButton::TButton(TComponent* owner) : TWinControl(owner) {
  SetBounds(0, 0, 75, 25);
  SetTabStop(true);
}

void TButton::Click() {
  if (modal_result_ != mrNone)
    if (TCustomForm* form = GetParentForm()) {
      // A button on a hosted page ends the top-level form, as on the platform.
      form->SetModalResult(modal_result_);
    }
  TWinControl::Click();
}

const TPropertyTable& TButton::ClassProperties() {
  static const TPropertyTable table =
      PublishClass<TButton>("TButton", &TWinControl::ClassProperties(), [](TPublisher<TButton>& p) {
        PublishCaption(p);
        p.Boolean("Default", &TButton::Default, &TButton::SetDefault).Default(false);
        p.Boolean("Cancel", &TButton::Cancel, &TButton::SetCancel).Default(false);
        p.Integer("ModalResult", &TButton::ModalResult, &TButton::SetModalResult).Default(mrNone);
      });
  return table;
}

void TBitBtn::SetKind(TBitBtnKind v) {
  kind_ = v;
  if (Reading(*this) || v == bkCustom) return;
  static const char* const kCaptions[] = {"",    "OK",    "Cancel", "&Help",   "&Yes",  "&No",
                                          "&Close", "Abort", "&Retry", "&Ignore", "&All"};
  static const TModalResult kResults[] = {mrNone, mrOk,    mrCancel, mrNone,   mrYes, mrNo,
                                          mrNone, mrAbort, mrRetry,  mrIgnore, mrAll};
  SetCaption(kCaptions[v]);
  SetModalResult(kResults[v]);
  if (v == bkOK || v == bkYes) SetDefault(true);
  if (v == bkCancel || v == bkNo) SetCancel(true);
}

const TPropertyTable& TBitBtn::ClassProperties() {
  static const TPropertyTable table =
      PublishClass<TBitBtn>("TBitBtn", &TButton::ClassProperties(), [](TPublisher<TBitBtn>& p) {
        p.Enumeration("Kind", BitBtnKindInfo(), &TBitBtn::Kind, &TBitBtn::SetKind).Default(bkCustom);
        p.Object("Glyph", [](TBitBtn& b) -> TPersistent& { return b.Glyph(); });
        p.Integer("NumGlyphs", &TBitBtn::NumGlyphs, &TBitBtn::SetNumGlyphs).Default(1);
        p.Enumeration("Layout", ButtonLayoutInfo(), &TBitBtn::Layout, &TBitBtn::SetLayout)
            .Default(blGlyphLeft);
        p.Integer("Margin", &TBitBtn::Margin, &TBitBtn::SetMargin).Default(-1);
        p.Integer("Spacing", &TBitBtn::Spacing, &TBitBtn::SetSpacing).Default(4);
      });
  return table;
}

// ---------------------------------------------------------------- edits

TCustomEdit::TCustomEdit(TComponent* owner) : TWinControl(owner) {
  SetBounds(0, 0, 121, 21);
  SetTabStop(true);
  SetColor(clWindow);
  SetParentColor(false);
}

void TCustomEdit::Change() {
  if (!Reading(*this)) OnChange(this);
}

void TCustomEdit::SetText(const std::string& v) {
  if (v == Text()) return;
  TWinControl::SetText(v);
  Change();
}

bool TCustomEdit::UserType(const std::string& text) {
  if (read_only_) return false;
  SetText(max_length_ > 0 && text.size() > static_cast<size_t>(max_length_)
              ? text.substr(0, static_cast<size_t>(max_length_))
              : text);
  return true;
}

const TPropertyTable& TEdit::ClassProperties() {
  static const TPropertyTable table =
      PublishClass<TEdit>("TEdit", &TWinControl::ClassProperties(), [](TPublisher<TEdit>& p) {
        p.String("Text", &TControl::Text, &TEdit::SetText).DefaultString("");
        p.Boolean("ReadOnly", &TCustomEdit::ReadOnly, &TCustomEdit::SetReadOnly).Default(false);
        p.Integer("MaxLength", &TCustomEdit::MaxLength, &TCustomEdit::SetMaxLength).Default(0);
        p.Integer("PasswordChar", &TEdit::PasswordChar, &TEdit::SetPasswordChar).Default(0);
        p.Boolean("AutoSelect", &TEdit::AutoSelect, &TEdit::SetAutoSelect).Default(true);
        p.Enumeration("CharCase", CharCaseInfo(), &TEdit::CharCase, &TEdit::SetCharCase).Default(ecNormal);
        p.Event("OnChange", &TCustomEdit::OnChange);
      });
  return table;
}

TCustomMemo::TCustomMemo(TComponent* owner) : TCustomEdit(owner) {
  SetBounds(0, 0, 185, 89);
  lines_.OnLinesChanged = [this] { LinesChanged(); };
}

void TCustomMemo::LinesChanged() {
  if (updating_) return;
  std::string text;
  for (int i = 0; i < lines_.Count(); ++i) {
    if (i) text += "\r\n";
    text += lines_.Strings(i);
  }
  updating_ = true;
  try {
    TCustomEdit::SetText(text);
  } catch (...) {
    updating_ = false;
    throw;
  }
  updating_ = false;
}

void TCustomMemo::SetText(const std::string& v) {
  if (updating_) return;
  updating_ = true;
  try {
    lines_.SetText(v);
    TCustomEdit::SetText(v);
  } catch (...) {
    updating_ = false;
    throw;
  }
  updating_ = false;
}

bool TCustomMemo::UserType(const std::string& text) {
  if (ReadOnly()) return false;
  SetText(text);
  return true;
}

template <class T>
static void PublishMemo(TPublisher<T>& p) {
  PublishLines<T>(p, "Lines", &T::Lines);
  p.Boolean("ReadOnly", &TCustomEdit::ReadOnly, &TCustomEdit::SetReadOnly).Default(false);
  p.Integer("MaxLength", &TCustomEdit::MaxLength, &TCustomEdit::SetMaxLength).Default(0);
  p.Enumeration("ScrollBars", ScrollStyleInfo(), &TCustomMemo::ScrollBars, &TCustomMemo::SetScrollBars)
      .Default(ssNone);
  p.Boolean("WordWrap", &TCustomMemo::WordWrap, &TCustomMemo::SetWordWrap).Default(true);
  p.Boolean("WantReturns", &TCustomMemo::WantReturns, &TCustomMemo::SetWantReturns).Default(true);
  p.Enumeration("Alignment", AlignmentInfo(), &TCustomMemo::Alignment, &TCustomMemo::SetAlignment)
      .Default(taLeftJustify);
  p.Event("OnChange", &TCustomEdit::OnChange);
}

const TPropertyTable& TMemo::ClassProperties() {
  static const TPropertyTable table = PublishClass<TMemo>(
      "TMemo", &TWinControl::ClassProperties(), [](TPublisher<TMemo>& p) { PublishMemo(p); });
  return table;
}

const TPropertyTable& TRichEdit::ClassProperties() {
  static const TPropertyTable table =
      PublishClass<TRichEdit>("TRichEdit", &TWinControl::ClassProperties(), [](TPublisher<TRichEdit>& p) {
        PublishMemo(p);
        p.Boolean("PlainText", &TRichEdit::PlainText, &TRichEdit::SetPlainText).Default(false);
      });
  return table;
}

// ---------------------------------------------------------------- check box

TCheckBox::TCheckBox(TComponent* owner) : TWinControl(owner) {
  SetBounds(0, 0, 97, 17);
  SetTabStop(true);
}

void TCheckBox::SetState(TCheckBoxState v) {
  if (v == state_) return;
  state_ = v;
  Changed();
  if (!Reading(*this)) Click();
}

bool TCheckBox::UserClick() {
  SetState(state_ == cbChecked ? cbUnchecked : cbChecked);
  return true;
}

bool TCheckBox::UserCheck(bool checked) {
  SetChecked(checked);
  return true;
}

const TPropertyTable& TCheckBox::ClassProperties() {
  static const TPropertyTable table =
      PublishClass<TCheckBox>("TCheckBox", &TWinControl::ClassProperties(), [](TPublisher<TCheckBox>& p) {
        PublishCaption(p);
        p.Boolean("Checked", &TCheckBox::Checked, &TCheckBox::SetChecked).Default(false);
        p.Enumeration("State", CheckBoxStateInfo(), &TCheckBox::State, &TCheckBox::SetState)
            .Default(cbUnchecked);
        p.Boolean("AllowGrayed", &TCheckBox::AllowGrayed, &TCheckBox::SetAllowGrayed).Default(false);
        p.Enumeration("Alignment", AlignmentInfo(), &TCheckBox::Alignment, &TCheckBox::SetAlignment)
            .Default(taRightJustify);
      });
  return table;
}

// ---------------------------------------------------------------- radio group

TRadioGroup::TRadioGroup(TComponent* owner) : TWinControl(owner) {
  SetBounds(0, 0, 185, 105);
  items_.OnLinesChanged = [this] {
    if (item_index_ >= items_.Count()) item_index_ = -1;
    Changed();
  };
}

void TRadioGroup::SetItemIndex(int32_t v) {
  // While reading, the items may come after the index.
  if (Reading(*this)) {
    item_index_ = v;
    return;
  }
  CheckItemIndex(v, items_.Count());
  if (v == item_index_) return;
  item_index_ = v;
  Changed();
  Click();
}

void TRadioGroup::Loaded() {
  TWinControl::Loaded();
  if (item_index_ < -1 || item_index_ >= items_.Count()) item_index_ = -1;
}

bool TRadioGroup::UserChoose(const std::string& choice) {
  const int i = ChoiceIndex(items_, choice);
  if (i < 0) return false;
  SetItemIndex(i);
  return true;
}

const TPropertyTable& TRadioGroup::ClassProperties() {
  static const TPropertyTable table = PublishClass<TRadioGroup>(
      "TRadioGroup", &TWinControl::ClassProperties(), [](TPublisher<TRadioGroup>& p) {
        PublishCaption(p);
        PublishLines<TRadioGroup>(p, "Items", &TRadioGroup::Items);
        p.Integer("ItemIndex", &TRadioGroup::ItemIndex, &TRadioGroup::SetItemIndex).Default(-1);
        p.Integer("Columns", &TRadioGroup::Columns, &TRadioGroup::SetColumns).Default(1);
      });
  return table;
}

// ---------------------------------------------------------------- progress bar

TProgressBar::TProgressBar(TComponent* owner) : TWinControl(owner) { SetBounds(0, 0, 150, 16); }

void TProgressBar::SetMin(int32_t v) {
  min_ = v;
  if (!Reading(*this)) SetPosition(position_);
}
void TProgressBar::SetMax(int32_t v) {
  max_ = v;
  if (!Reading(*this)) SetPosition(position_);
}
void TProgressBar::SetPosition(int32_t v) {
  if (!Reading(*this)) {
    if (v > max_) v = max_;
    if (v < min_) v = min_;
  }
  if (v == position_) return;
  position_ = v;
  Changed();
}

int TProgressBar::Percent() const {
  if (max_ <= min_) return 0;
  const int64_t p = (int64_t{position_} - min_) * 100 / (int64_t{max_} - min_);
  return static_cast<int>(p < 0 ? 0 : p > 100 ? 100 : p);
}

const TPropertyTable& TProgressBar::ClassProperties() {
  static const TPropertyTable table = PublishClass<TProgressBar>(
      "TProgressBar", &TWinControl::ClassProperties(), [](TPublisher<TProgressBar>& p) {
        p.Integer("Min", &TProgressBar::Min, &TProgressBar::SetMin).Default(0);
        p.Integer("Max", &TProgressBar::Max, &TProgressBar::SetMax).Default(100);
        p.Integer("Position", &TProgressBar::Position, &TProgressBar::SetPosition).Default(0);
        p.Integer("Step", &TProgressBar::Step, &TProgressBar::SetStep).Default(10);
        p.Boolean("Smooth", &TProgressBar::Smooth, &TProgressBar::SetSmooth).Default(false);
      });
  return table;
}

// ---------------------------------------------------------------- image, panels

TImage::TImage(TComponent* owner) : TGraphicControl(owner) {
  SetBounds(0, 0, 105, 105);
  picture_.OnChange = [this] { Changed(); };
}

const TPropertyTable& TImage::ClassProperties() {
  static const TPropertyTable table =
      PublishClass<TImage>("TImage", &TControl::ClassProperties(), [](TPublisher<TImage>& p) {
        p.Object("Picture", [](TImage& i) -> TPersistent& { return i.Picture(); });
        p.Boolean("Stretch", &TImage::Stretch, &TImage::SetStretch).Default(false);
        p.Boolean("Center", &TImage::Center, &TImage::SetCenter).Default(false);
        p.Boolean("Transparent", &TImage::Transparent, &TImage::SetTransparent).Default(false);
        p.Boolean("AutoSize", &TImage::AutoSize, &TImage::SetAutoSize).Default(false);
        p.Boolean("Proportional", &TImage::Proportional, &TImage::SetProportional).Default(false);
      });
  return table;
}

TCustomPanel::TCustomPanel(TComponent* owner) : TWinControl(owner) { SetBounds(0, 0, 185, 41); }

const TPropertyTable& TPanel::ClassProperties() {
  static const TPropertyTable table =
      PublishClass<TPanel>("TPanel", &TWinControl::ClassProperties(), [](TPublisher<TPanel>& p) {
        PublishCaption(p);
        p.Enumeration("BevelInner", BevelCutInfo(), &TCustomPanel::BevelInner, &TCustomPanel::SetBevelInner)
            .Default(bvNone);
        p.Enumeration("BevelOuter", BevelCutInfo(), &TCustomPanel::BevelOuter, &TCustomPanel::SetBevelOuter)
            .Default(bvRaised);
        p.Integer("BevelWidth", &TCustomPanel::BevelWidth, &TCustomPanel::SetBevelWidth).Default(1);
        p.Integer("BorderWidth", &TCustomPanel::BorderWidth, &TCustomPanel::SetBorderWidth).Default(0);
        p.Enumeration("BorderStyle", PanelBorderStyleInfo(), &TCustomPanel::BorderStyle,
                      &TCustomPanel::SetBorderStyle)
            .Default(bsNone);
        p.Enumeration("Alignment", AlignmentInfo(), &TCustomPanel::Alignment, &TCustomPanel::SetAlignment)
            .Default(taCenter);
      });
  return table;
}

const TPropertyTable& TGroupBox::ClassProperties() {
  static const TPropertyTable table = PublishClass<TGroupBox>(
      "TGroupBox", &TWinControl::ClassProperties(), [](TPublisher<TGroupBox>& p) { PublishCaption(p); });
  return table;
}

// ---------------------------------------------------------------- tab control

TTabControl::TTabControl(TComponent* owner) : TWinControl(owner) {
  SetBounds(0, 0, 289, 193);
  SetTabStop(true);
  tabs_.OnLinesChanged = [this] {
    if (tab_index_ >= tabs_.Count()) tab_index_ = tabs_.Count() - 1;
    if (tab_index_ < 0 && tabs_.Count() > 0 && !Reading(*this)) tab_index_ = 0;
    Changed();
  };
}

void TTabControl::SetTabIndex(int32_t v) {
  if (Reading(*this)) {
    tab_index_ = v;
    return;
  }
  CheckItemIndex(v, tabs_.Count());
  if (v == tab_index_) return;
  tab_index_ = v;
  Changed();
}

void TTabControl::Loaded() {
  TWinControl::Loaded();
  if (tab_index_ < -1 || tab_index_ >= tabs_.Count()) tab_index_ = tabs_.Count() > 0 ? 0 : -1;
}

bool TTabControl::UserChoose(const std::string& choice) {
  const int i = ChoiceIndex(tabs_, choice);
  if (i < 0) return false;
  if (i == tab_index_) return true;
  bool allow = true;
  OnChanging(this, allow);
  if (!allow) return true;
  SetTabIndex(i);
  OnChange(this);
  return true;
}

const TPropertyTable& TTabControl::ClassProperties() {
  static const TPropertyTable table = PublishClass<TTabControl>(
      "TTabControl", &TWinControl::ClassProperties(), [](TPublisher<TTabControl>& p) {
        PublishLines<TTabControl>(p, "Tabs", &TTabControl::Tabs);
        p.Integer("TabIndex", &TTabControl::TabIndex, &TTabControl::SetTabIndex).Default(-1);
        p.Integer("TabHeight", &TTabControl::TabHeight, &TTabControl::SetTabHeight).Default(0);
        p.Integer("TabWidth", &TTabControl::TabWidth, &TTabControl::SetTabWidth).Default(0);
        p.Boolean("MultiLine", &TTabControl::MultiLine, &TTabControl::SetMultiLine).Default(false);
        p.Event("OnChange", &TTabControl::OnChange);
        p.Event("OnChanging", &TTabControl::OnChanging);
      });
  return table;
}

// ---------------------------------------------------------------- list and combo boxes

TListBox::TListBox(TComponent* owner) : TWinControl(owner) {
  SetBounds(0, 0, 121, 97);
  SetTabStop(true);
  items_.OnLinesChanged = [this] {
    if (item_index_ >= items_.Count()) item_index_ = -1;
    Changed();
  };
}

void TListBox::SetItemIndex(int32_t v) {
  CheckItemIndex(v, items_.Count());
  if (v == item_index_) return;
  item_index_ = v;
  Changed();
}

bool TListBox::UserChoose(const std::string& choice) {
  const int i = ChoiceIndex(items_, choice);
  if (i < 0) return false;
  SetItemIndex(i);
  Click();
  return true;
}

const TPropertyTable& TListBox::ClassProperties() {
  static const TPropertyTable table =
      PublishClass<TListBox>("TListBox", &TWinControl::ClassProperties(), [](TPublisher<TListBox>& p) {
        PublishLines<TListBox>(p, "Items", &TListBox::Items);
        p.Boolean("Sorted", &TListBox::Sorted, &TListBox::SetSorted).Default(false);
        p.Boolean("MultiSelect", &TListBox::MultiSelect, &TListBox::SetMultiSelect).Default(false);
      });
  return table;
}

TComboBox::TComboBox(TComponent* owner) : TWinControl(owner) {
  SetBounds(0, 0, 145, 21);
  SetTabStop(true);
  items_.OnLinesChanged = [this] {
    if (item_index_ >= items_.Count()) item_index_ = -1;
    Changed();
  };
}

void TComboBox::SetItemIndex(int32_t v) {
  CheckItemIndex(v, items_.Count());
  item_index_ = v;
  SetText(v >= 0 ? items_.Strings(v) : std::string());
  Changed();
}

bool TComboBox::UserChoose(const std::string& choice) {
  const int i = ChoiceIndex(items_, choice);
  if (i < 0) return false;
  SetItemIndex(i);
  OnChange(this);
  return true;
}

bool TComboBox::UserType(const std::string& text) {
  if (style_ == csDropDownList) return false;
  SetText(text);
  item_index_ = items_.IndexOf(text);
  OnChange(this);
  return true;
}

const TPropertyTable& TComboBox::ClassProperties() {
  static const TPropertyTable table =
      PublishClass<TComboBox>("TComboBox", &TWinControl::ClassProperties(), [](TPublisher<TComboBox>& p) {
        p.String("Text", &TControl::Text, &TControl::SetText).DefaultString("");
        p.Enumeration("Style", ComboStyleInfo(), &TComboBox::Style, &TComboBox::SetStyle).Default(csDropDown);
        PublishLines<TComboBox>(p, "Items", &TComboBox::Items);
        p.Boolean("Sorted", &TComboBox::Sorted, &TComboBox::SetSorted).Default(false);
        p.Event("OnChange", &TComboBox::OnChange);
      });
  return table;
}

// ---------------------------------------------------------------- list view

void TListColumn::Assign(const TPersistent& source) {
  if (source.PublishedProperties() != &ClassProperties()) AssignError(&source);
  CopyPublishedProperties(source, *this);
}

const TPropertyTable& TListColumn::ClassProperties() {
  static const TPropertyTable table =
      PublishClass<TListColumn>("TListColumn", nullptr, [](TPublisher<TListColumn>& p) {
        p.String("Caption", &TListColumn::Caption, &TListColumn::SetCaption).DefaultString("");
        p.Integer("Width", &TListColumn::Width, &TListColumn::SetWidth).Default(50);
        p.Enumeration("Alignment", AlignmentInfo(), &TListColumn::Alignment, &TListColumn::SetAlignment)
            .Default(taLeftJustify);
        p.Boolean("AutoSize", &TListColumn::AutoSize, &TListColumn::SetAutoSize).Default(false);
      });
  return table;
}

TListItem& TListItems::Item(int index) const {
  if (index < 0 || index >= Count())
    throw EListError("List index out of bounds (" + std::to_string(index) + ")");
  return *items_[static_cast<size_t>(index)];
}

TListItem& TListItems::Add() {
  items_.push_back(std::make_unique<TListItem>());
  return *items_.back();
}

void TListItems::Delete(int index) {
  Item(index);
  items_.erase(items_.begin() + index);
}

TListView::TListView(TComponent* owner) : TWinControl(owner) {
  SetBounds(0, 0, 250, 150);
  SetTabStop(true);
}

void TListView::SetItemIndex(int32_t v) {
  CheckItemIndex(v, items_.Count());
  item_index_ = v;
  Changed();
}

bool TListView::UserChoose(const std::string& choice) {
  int32_t n = -1;
  int index = -1;
  if (TryStrToInt(choice, n)) {
    index = n >= 0 && n < items_.Count() ? n : -1;
  } else {
    for (int i = 0; i < items_.Count() && index < 0; ++i)
      if (SameText(items_.Item(i).Caption, choice)) index = i;
  }
  if (index < 0) return false;
  SetItemIndex(index);
  Click();
  return true;
}

const TPropertyTable& TListView::ClassProperties() {
  static const TPropertyTable table =
      PublishClass<TListView>("TListView", &TWinControl::ClassProperties(), [](TPublisher<TListView>& p) {
        p.Collection("Columns", [](TListView& v) -> TCollection& { return v.Columns(); }).DefaultEmpty();
        p.Enumeration("ViewStyle", ViewStyleInfo(), &TListView::ViewStyle, &TListView::SetViewStyle)
            .Default(vsIcon);
        p.Boolean("Checkboxes", &TListView::Checkboxes, &TListView::SetCheckboxes).Default(false);
        p.Boolean("ReadOnly", &TListView::ReadOnly, &TListView::SetReadOnly).Default(false);
        p.Boolean("RowSelect", &TListView::RowSelect, &TListView::SetRowSelect).Default(false);
        p.Boolean("ShowColumnHeaders", &TListView::ShowColumnHeaders, &TListView::SetShowColumnHeaders)
            .Default(true);
      });
  return table;
}

// ---------------------------------------------------------------- registry

void RegisterStdControls() {
  for (const TPropertyTable* t :
       {&TForm::ClassProperties(), &TDataModule::ClassProperties(), &TLabel::ClassProperties(),
        &TButton::ClassProperties(), &TBitBtn::ClassProperties(), &TEdit::ClassProperties(),
        &TMemo::ClassProperties(), &TRichEdit::ClassProperties(), &TCheckBox::ClassProperties(),
        &TRadioGroup::ClassProperties(), &TProgressBar::ClassProperties(), &TImage::ClassProperties(),
        &TPanel::ClassProperties(), &TGroupBox::ClassProperties(), &TTabControl::ClassProperties(),
        &TListBox::ClassProperties(), &TComboBox::ClassProperties(), &TListView::ClassProperties(),
        &TListColumn::ClassProperties()})
    RegisterClass(*t);
}

}  // namespace host
