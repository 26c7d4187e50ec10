// What the windowed presenter (window_presenter.h) shows of a headless
// control and what a user's input to its widget becomes, kept apart from the
// toolkit so that it can be checked without a display.
//
// ViewOf reads a control into a TControlView: the widget it needs, where it
// sits in its top-level form, whether it shows and takes input, and its
// texts converted from the font's code page to UTF-8. The *Action routines
// turn a widget's new state back into the TUserAction the application
// applies (texts converted back to the code page); they name the control
// within the form that owns it, as the application looks it up.
//
// DecodeBitmap reads a picture's bytes when they are a bitmap file the
// presenter can show; TFolderBrowser is the folder chooser's walk through the
// machine's folders.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/forms/controls.h"
#include "host/forms/presenter.h"

namespace host {

class TCustomForm;
class TComboBox;

enum TWidgetKind : uint8_t {
  wkLabel, wkButton, wkCheckBox, wkRadioGroup, wkEdit, wkMemo, wkComboBox, wkDropDownList, wkListBox,
  wkListView, wkTabControl, wkProgressBar, wkImage, wkPanel, wkGroupBox, wkPage, wkOther
};
TWidgetKind WidgetKindOf(const TControl& control);

struct TControlView {
  TWidgetKind Kind = wkOther;
  TRect Bounds;            // in the client area of the top-level form
  bool Shown = false;      // Showing()
  bool Enabled = false;    // enabled, and so is every parent
  std::string Label;       // the caption, UTF-8
  std::string Text;        // edits, memos (lines by "\n"), combo boxes: UTF-8
  std::vector<std::string> Items;  // radio items, list and combo items, tabs; list view rows
  std::vector<std::string> Columns;  // a report list view's column captions (with headers shown)
  int Index = -1;          // the chosen item, -1 for none
  bool Checked = false;
  int Percent = 0;         // progress bars
  bool ReadOnly = false;
  bool Password = false;
  bool Default = false;    // buttons: the form's Enter and Escape buttons
  bool Cancel = false;
  bool Focused = false;
  bool WordWrap = false;
  TAlignment Alignment = taLeftJustify;
  uint32_t Color = 0;      // 0xRRGGBB of the control's colour
  uint32_t FontColor = 0;  // 0xRRGGBB of its font's colour
  int FontSize = 0;        // pixels of the em (graphics.h metrics)
  bool Bold = false;
};

// The top-level form `control` sits in (through hosted forms), or null.
TCustomForm* TopForm(const TControl& control);
TControlView ViewOf(const TControl& control);

// 0xRRGGBB of a colour, system colours by their usual values.
uint32_t ColorToRgb(TColor color);
// A label as the toolkit draws it literally ('@' starts a symbol there).
std::string LiteralLabel(const std::string& utf8);

// A button pressed (or Enter on it), a box checked or not, item `index`
// chosen, `utf8` typed (memo lines by "\n").
TUserAction ClickAction(TControl& control);
TUserAction CheckAction(TControl& control, bool checked);
TUserAction ChooseAction(TControl& control, int index);
TUserAction TypeAction(TControl& control, const std::string& utf8);
// A combo box's edit now holds `utf8`: the item it names is chosen, other
// text typed.
TUserAction ComboAction(TComboBox& control, const std::string& utf8);
// Enter and Escape where no widget took them: the form's default (cancel)
// button is clicked; Escape without one, and closing the window, close the
// form. uaNone when Enter has no button to press.
TUserAction EnterAction(TCustomForm& form);
TUserAction EscapeAction(TCustomForm& form);
TUserAction CloseAction(TCustomForm& form);

// An image decoded to 8-bit RGB rows, top row first.
struct TRgbImage {
  int Width = 0;
  int Height = 0;
  std::vector<uint8_t> Pixels;  // Width * Height * 3
};
// A bitmap file (uncompressed, 1, 4, 8, 24 or 32 bits a pixel, bottom-up or
// top-down), with or without the 4-byte length a streamed bitmap carries
// before it; none for anything else or a damaged one. Images past 4096
// pixels a side are refused.
std::optional<TRgbImage> DecodeBitmap(const std::string& bytes);

// The folder chooser's place on the machine: a folder, its subfolders, moves
// in and out, and creating a folder. Paths are the machine's Windows paths.
class TFolderBrowser {
 public:
  // Starts at `path`, or at its nearest existing parent, or at C:\.
  explicit TFolderBrowser(const std::string& path);
  const std::string& Folder() const { return folder_; }
  // Names of the subfolders, in byte order.
  std::vector<std::string> SubFolders() const;
  bool Open(const std::string& name);
  // To the parent folder; false at a drive's root.
  bool Up();
  // `path` (absolute, or relative to Folder()) with any missing parents is
  // made and becomes the folder; false when it cannot be made.
  bool CreateFolder(const std::string& path);
  // `path` absolute or relative to Folder(), without a trailing '\' (but a
  // drive's root keeps its own).
  std::string Resolve(const std::string& path) const;

 private:
  std::string folder_;
};

}  // namespace host
