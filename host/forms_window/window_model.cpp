#include "host/forms_window/window_model.h"

#include <cstring>

#include "host/forms/forms.h"
#include "host/forms/std_controls.h"
#include "host/forms/terminal_presenter.h"
#include "os/win_file.h"

namespace host {

namespace {

uint8_t CharsetOf(const TControl& c) { return c.Font().Charset(); }

std::string ToUtf8(const TControl& c, const std::string& text) { return CodePageToUtf8(text, CharsetOf(c)); }

std::vector<std::string> ToUtf8(const TControl& c, const TStrings& items) {
  std::vector<std::string> out;
  out.reserve(static_cast<size_t>(items.Count()));
  for (int i = 0; i < items.Count(); ++i) out.push_back(ToUtf8(c, items.Strings(i)));
  return out;
}

// Memo texts end their lines with CR LF; the toolkit's with LF.
std::string LinesToLf(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i)
    if (!(s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n')) out += s[i];
  return out;
}

std::string LinesToCrLf(const std::string& s) {
  std::string out;
  out.reserve(s.size() + s.size() / 16);
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') continue;  // kept as it came
    if (s[i] == '\n') out += '\r';
    out += s[i];
  }
  return out;
}

bool EnabledUp(const TControl& c) {
  for (const TControl* p = &c; p; p = p->Parent())
    if (!p->Enabled()) return false;
  return true;
}

TColor OwnColor(const TControl& c) {
  const TControl* p = &c;
  while (p->ParentColor() && p->Parent()) p = p->Parent();
  return p->Color();
}

TCustomForm* OwnerForm(TControl& c) {
  if (auto* f = dynamic_cast<TCustomForm*>(c.Owner())) return f;
  return c.HostingForm();
}

TUserAction ActionOn(TControl& c, TUserAction::TKind kind, std::string value = {}) {
  TUserAction a;
  a.Kind = kind;
  a.Form = OwnerForm(c);
  a.Control = c.Name();
  a.Value = std::move(value);
  return a;
}

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

bool IsRoot(const std::string& p) { return p.size() == 3 && p[1] == ':' && p[2] == '\\'; }

}  // namespace

TWidgetKind WidgetKindOf(const TControl& c) {
  if (dynamic_cast<const TCustomForm*>(&c)) return wkPage;
  if (dynamic_cast<const TButton*>(&c)) return wkButton;
  if (dynamic_cast<const TCheckBox*>(&c)) return wkCheckBox;
  if (dynamic_cast<const TRadioGroup*>(&c)) return wkRadioGroup;
  if (dynamic_cast<const TCustomMemo*>(&c)) return wkMemo;
  if (dynamic_cast<const TCustomEdit*>(&c)) return wkEdit;
  if (auto* cb = dynamic_cast<const TComboBox*>(&c))
    return cb->Style() == csDropDownList ? wkDropDownList : wkComboBox;
  if (dynamic_cast<const TListBox*>(&c)) return wkListBox;
  if (dynamic_cast<const TListView*>(&c)) return wkListView;
  if (dynamic_cast<const TTabControl*>(&c)) return wkTabControl;
  if (dynamic_cast<const TProgressBar*>(&c)) return wkProgressBar;
  if (dynamic_cast<const TImage*>(&c)) return wkImage;
  if (dynamic_cast<const TCustomLabel*>(&c)) return wkLabel;
  if (dynamic_cast<const TCustomPanel*>(&c)) return wkPanel;
  if (dynamic_cast<const TGroupBox*>(&c)) return wkGroupBox;
  return wkOther;
}

TCustomForm* TopForm(const TControl& control) {
  const TControl* c = &control;
  while (c->Parent()) c = c->Parent();
  return const_cast<TCustomForm*>(dynamic_cast<const TCustomForm*>(c));
}

uint32_t ColorToRgb(TColor color) {
  if (color < 0) {
    // The usual values of the system colours, by index.
    static const uint32_t kSystem[] = {
        0xC8C8C8, 0x000000, 0x99B4D1, 0xBFCDDB, 0xF0F0F0, 0xFFFFFF, 0x646464, 0x000000, 0x000000,
        0x000000, 0xB4B4B4, 0xF4F7FC, 0xABABAB, 0x3399FF, 0xFFFFFF, 0xF0F0F0, 0xA0A0A0, 0x6D6D6D,
        0x000000, 0x434E54, 0xFFFFFF, 0x696969, 0xE3E3E3, 0x000000, 0xFFFFE1};
    const uint32_t index = static_cast<uint32_t>(color) & 0xFF;
    return index < sizeof kSystem / sizeof kSystem[0] ? kSystem[index] : 0xF0F0F0;
  }
  const uint32_t bgr = static_cast<uint32_t>(color) & 0xFFFFFF;
  return (bgr & 0xFF) << 16 | (bgr & 0xFF00) | (bgr >> 16 & 0xFF);
}

std::string LiteralLabel(const std::string& utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (char ch : utf8) {
    if (ch == '@') out += '@';
    out += ch;
  }
  return out;
}

TControlView ViewOf(const TControl& c) {
  TControlView v;
  v.Kind = WidgetKindOf(c);
  int x = 0, y = 0;
  for (const TControl* p = &c; p->Parent(); p = p->Parent()) x += p->Left(), y += p->Top();
  v.Bounds = TRect{x, y, x + c.Width(), y + c.Height()};
  v.Shown = c.Showing();
  v.Enabled = EnabledUp(c);
  v.Label = ToUtf8(c, c.Caption());
  v.Color = ColorToRgb(OwnColor(c));
  v.FontColor = ColorToRgb(c.Font().Color());
  v.FontSize = FontEm(c.Font());
  v.Bold = (c.Font().Style() & (1u << fsBold)) != 0;
  if (auto* w = dynamic_cast<const TWinControl*>(&c)) v.Focused = w->Focused();
  switch (v.Kind) {
    case wkButton: {
      const auto& b = static_cast<const TButton&>(c);
      TCustomForm* form = c.GetParentForm();
      v.Default = b.Default() || (form && form->DefaultButton() == &c);
      v.Cancel = b.Cancel() || (form && form->CancelButton() == &c);
      break;
    }
    case wkCheckBox:
      v.Checked = static_cast<const TCheckBox&>(c).Checked();
      break;
    case wkRadioGroup: {
      const auto& rg = static_cast<const TRadioGroup&>(c);
      v.Items = ToUtf8(c, rg.Items());
      v.Index = rg.ItemIndex();
      break;
    }
    case wkMemo: {
      const auto& m = static_cast<const TCustomMemo&>(c);
      v.Text = LinesToLf(ToUtf8(c, m.Text()));
      v.ReadOnly = m.ReadOnly();
      v.WordWrap = m.WordWrap();
      v.Label.clear();
      break;
    }
    case wkEdit: {
      const auto& e = static_cast<const TCustomEdit&>(c);
      v.Text = v.Label;
      v.Label.clear();
      v.ReadOnly = e.ReadOnly();
      if (auto* ed = dynamic_cast<const TEdit*>(&c)) v.Password = ed->PasswordChar() != 0;
      break;
    }
    case wkComboBox:
    case wkDropDownList: {
      const auto& cb = static_cast<const TComboBox&>(c);
      v.Text = v.Label;
      v.Label.clear();
      v.Items = ToUtf8(c, cb.Items());
      v.Index = cb.ItemIndex();
      break;
    }
    case wkListBox: {
      const auto& lb = static_cast<const TListBox&>(c);
      v.Items = ToUtf8(c, lb.Items());
      v.Index = lb.ItemIndex();
      break;
    }
    case wkListView: {
      const auto& lv = static_cast<const TListView&>(c);
      if (lv.ViewStyle() == vsReport && lv.ShowColumnHeaders())
        for (int i = 0; i < lv.Columns().Count(); ++i) v.Columns.push_back(ToUtf8(c, lv.Columns().Items(i)->Caption()));
      for (int i = 0; i < lv.Items().Count(); ++i) {
        const TListItem& item = lv.Items().Item(i);
        std::string row = lv.Checkboxes() ? (item.Checked ? "[x] " : "[ ] ") : "";
        row += ToUtf8(c, item.Caption);
        if (lv.ViewStyle() == vsReport)
          for (int s = 0; s < item.SubItems.Count(); ++s) row += "\t" + ToUtf8(c, item.SubItems.Strings(s));
        v.Items.push_back(std::move(row));
      }
      v.Index = lv.ItemIndex();
      break;
    }
    case wkTabControl: {
      const auto& tc = static_cast<const TTabControl&>(c);
      v.Items = ToUtf8(c, tc.Tabs());
      v.Index = tc.TabIndex();
      break;
    }
    case wkProgressBar:
      v.Percent = static_cast<const TProgressBar&>(c).Percent();
      break;
    case wkLabel: {
      const auto& l = static_cast<const TCustomLabel&>(c);
      v.WordWrap = l.WordWrap();
      v.Alignment = l.Alignment();
      break;
    }
    case wkPanel:
      v.Alignment = static_cast<const TCustomPanel&>(c).Alignment();
      break;
    default:
      break;
  }
  return v;
}

TUserAction ClickAction(TControl& control) { return ActionOn(control, TUserAction::uaClick); }

TUserAction CheckAction(TControl& control, bool checked) {
  return ActionOn(control, TUserAction::uaCheck, checked ? "1" : "0");
}

TUserAction ChooseAction(TControl& control, int index) {
  return ActionOn(control, TUserAction::uaChoose, std::to_string(index));
}

TUserAction TypeAction(TControl& control, const std::string& utf8) {
  std::string text = Utf8ToCodePage(utf8, CharsetOf(control));
  if (dynamic_cast<TCustomMemo*>(&control)) text = LinesToCrLf(text);
  return ActionOn(control, TUserAction::uaType, std::move(text));
}

TUserAction ComboAction(TComboBox& control, const std::string& utf8) {
  const std::string text = Utf8ToCodePage(utf8, CharsetOf(control));
  const int index = control.Items().IndexOf(text);
  if (index >= 0 && text != control.Text()) return ChooseAction(control, index);
  return ActionOn(control, TUserAction::uaType, text);
}

TUserAction CloseAction(TCustomForm& form) {
  TUserAction a;
  a.Kind = TUserAction::uaClose;
  a.Form = &form;
  return a;
}

TUserAction EnterAction(TCustomForm& form) {
  TControl* d = form.DefaultButton();
  if (!d || d->Name().empty()) return TUserAction{};
  return ClickAction(*d);
}

TUserAction EscapeAction(TCustomForm& form) {
  TControl* c = form.CancelButton();
  if (!c || c->Name().empty()) return CloseAction(form);
  return ClickAction(*c);
}

std::optional<TRgbImage> DecodeBitmap(const std::string& bytes) {
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  size_t size = bytes.size();
  // A streamed bitmap puts its length before the file.
  if (size >= 6 && !(p[0] == 'B' && p[1] == 'M') && p[4] == 'B' && p[5] == 'M' && Le32(p) == size - 4) {
    p += 4;
    size -= 4;
  }
  if (size < 14 + 40 || p[0] != 'B' || p[1] != 'M') return std::nullopt;
  const uint32_t dataOffset = Le32(p + 10);
  const uint8_t* h = p + 14;
  const uint32_t headerSize = Le32(h);
  if (headerSize < 40 || headerSize > size - 14) return std::nullopt;
  const int32_t width = static_cast<int32_t>(Le32(h + 4));
  const int32_t rawHeight = static_cast<int32_t>(Le32(h + 8));
  const uint16_t bits = Le16(h + 14);
  const uint32_t compression = Le32(h + 16);
  uint32_t colors = Le32(h + 32);
  constexpr int32_t kMaxSide = 4096;
  if (width <= 0 || width > kMaxSide || rawHeight == 0 || rawHeight < -kMaxSide || rawHeight > kMaxSide)
    return std::nullopt;
  if (compression != 0 || (bits != 1 && bits != 4 && bits != 8 && bits != 24 && bits != 32)) return std::nullopt;
  const bool topDown = rawHeight < 0;
  const int32_t height = topDown ? -rawHeight : rawHeight;
  // The palette follows the header.
  std::vector<uint32_t> palette;
  if (bits <= 8) {
    const uint32_t most = 1u << bits;
    if (colors == 0 || colors > most) colors = most;
    const size_t at = 14 + headerSize;
    if (at + static_cast<size_t>(colors) * 4 > size) return std::nullopt;
    for (uint32_t i = 0; i < colors; ++i) palette.push_back(Le32(p + at + i * 4));
  }
  const size_t stride = (static_cast<size_t>(width) * bits + 31) / 32 * 4;
  if (dataOffset > size || stride * static_cast<size_t>(height) > size - dataOffset) return std::nullopt;
  TRgbImage image;
  image.Width = width;
  image.Height = height;
  image.Pixels.resize(static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
  for (int32_t row = 0; row < height; ++row) {
    const uint8_t* src = p + dataOffset + stride * static_cast<size_t>(topDown ? row : height - 1 - row);
    uint8_t* dst = &image.Pixels[static_cast<size_t>(row) * static_cast<size_t>(width) * 3];
    for (int32_t x = 0; x < width; ++x, dst += 3) {
      uint32_t bgr;
      if (bits == 24 || bits == 32) {
        const uint8_t* px = src + static_cast<size_t>(x) * (bits / 8);
        bgr = static_cast<uint32_t>(px[0]) | static_cast<uint32_t>(px[1]) << 8 | static_cast<uint32_t>(px[2]) << 16;
      } else {
        const size_t bit = static_cast<size_t>(x) * bits;
        const uint32_t index = (src[bit / 8] >> (8 - bits - bit % 8)) & ((1u << bits) - 1);
        bgr = index < palette.size() ? palette[index] : 0;
      }
      dst[0] = static_cast<uint8_t>(bgr >> 16);
      dst[1] = static_cast<uint8_t>(bgr >> 8);
      dst[2] = static_cast<uint8_t>(bgr);
    }
  }
  return image;
}

// ---------------------------------------------------------------- folders

TFolderBrowser::TFolderBrowser(const std::string& path) {
  folder_ = Resolve(path.empty() ? std::string("C:\\") : path);
  while (!os::WinDirectoryExists(folder_) && Up()) {
  }
  if (!os::WinDirectoryExists(folder_)) folder_ = "C:\\";
}

std::string TFolderBrowser::Resolve(const std::string& path) const {
  std::string p = path;
  for (char& ch : p)
    if (ch == '/') ch = '\\';
  const bool absolute = p.size() >= 2 && p[1] == ':';
  std::string base = absolute ? p.substr(0, 2) : folder_.substr(0, 2);
  std::vector<std::string> parts;
  auto split = [&parts](const std::string& s) {
    size_t start = 0;
    while (start <= s.size()) {
      size_t end = s.find('\\', start);
      if (end == std::string::npos) end = s.size();
      const std::string part = s.substr(start, end - start);
      if (part == "..") {
        if (!parts.empty()) parts.pop_back();
      } else if (!part.empty() && part != ".") {
        parts.push_back(part);
      }
      start = end + 1;
    }
  };
  if (absolute) {
    split(p.substr(2));
  } else {
    split(folder_.size() > 2 ? folder_.substr(2) : std::string());
    split(p);
  }
  std::string out = base;
  for (const std::string& part : parts) out += "\\" + part;
  if (parts.empty()) out += "\\";
  return out;
}

std::vector<std::string> TFolderBrowser::SubFolders() const {
  std::vector<os::TWinFindData> entries;
  std::vector<std::string> out;
  if (!os::WinListDirectory(folder_, entries)) return out;
  for (const os::TWinFindData& e : entries)
    if (e.Attributes & os::FILE_ATTRIBUTE_DIRECTORY) out.push_back(e.Name);
  return out;
}

bool TFolderBrowser::Open(const std::string& name) {
  if (name.empty() || name.find_first_of("\\/") != std::string::npos || name == "..") return false;
  const std::string p = Resolve(name);
  if (!os::WinDirectoryExists(p)) return false;
  folder_ = p;
  return true;
}

bool TFolderBrowser::Up() {
  if (IsRoot(folder_)) return false;
  folder_ = Resolve("..");
  return true;
}

bool TFolderBrowser::CreateFolder(const std::string& path) {
  if (path.empty()) return false;
  const std::string p = Resolve(path);
  if (!os::WinForceDirectories(p) || !os::WinDirectoryExists(p)) return false;
  folder_ = p;
  return true;
}

}  // namespace host
