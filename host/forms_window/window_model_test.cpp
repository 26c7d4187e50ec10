#include "host/forms_window/window_model.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "host/forms/forms.h"
#include "host/forms/std_controls.h"
#include "host/forms/terminal_presenter.h"
#include "host/forms/testing/test_forms.h"
#include "os/testing/test_machine.h"
#include "os/win_file.h"

namespace host {
namespace {

using test::TWizardTest;

class WindowModelTest : public ::testing::Test {
 protected:
  test::TScriptedApp scripted;
  TApplication& app = scripted.app;
};

// What a window shows of the wizard page: kinds, places in the top-level
// form through panels and group boxes, states, and texts in UTF-8 by the
// font's charset.
TEST_F(WindowModelTest, ViewsCarryPlaceStateAndConvertedTexts) {
  std::unique_ptr<TWizardTest> form(New<TWizardTest>(nullptr));
  form->Show();
  auto& check = Child<TCheckBox>(*form, "D7CB");
  const TControlView cv = ViewOf(check);
  EXPECT_EQ(cv.Kind, wkCheckBox);
  EXPECT_EQ(cv.Bounds, (TRect{16, 86, 16 + check.Width(), 86 + check.Height()}));
  EXPECT_TRUE(cv.Checked);
  EXPECT_TRUE(cv.Shown);
  EXPECT_TRUE(cv.Enabled);
  EXPECT_EQ(cv.Label, "Delphi 7");

  const TControlView ev = ViewOf(Child<TEdit>(*form, "PathEdit"));
  EXPECT_EQ(ev.Kind, wkEdit);
  EXPECT_EQ(ev.Text, "C:\\Tavrin");
  EXPECT_TRUE(ev.Label.empty());
  EXPECT_TRUE(ev.Focused);

  const TControlView rv = ViewOf(Child<TRadioGroup>(*form, "RG"));
  EXPECT_EQ(rv.Items, (std::vector<std::string>{"Yes", "No"}));
  EXPECT_EQ(rv.Index, 1);
  EXPECT_TRUE(ViewOf(Child<TButton>(*form, "ProceedBtn")).Default);
  EXPECT_TRUE(ViewOf(Child<TButton>(*form, "CancelBtn")).Cancel);
  EXPECT_FALSE(ViewOf(Child<TButton>(*form, "BackBtn")).Default);
  EXPECT_EQ(WidgetKindOf(*form), wkPage);
  EXPECT_EQ(WidgetKindOf(Child<TImage>(*form, "Logo")), wkImage);
  EXPECT_EQ(TopForm(check), form.get());

  auto& products = Child<TListView>(*form, "Products");
  TListItem& row = products.Items().Add();
  row.Caption = "Delphi";
  row.SubItems.Add("7.0");
  const TControlView lv = ViewOf(products);
  EXPECT_EQ(lv.Columns, (std::vector<std::string>{"Name", "Version"}));
  EXPECT_EQ(lv.Items, std::vector<std::string>{"Delphi\t7.0"});

  // Windows-1252 by default, the Cyrillic code page for its charset.
  auto& title = Child<TLabel>(*form, "TitleLabel");
  title.SetCaption("Caf\xE9");
  EXPECT_EQ(ViewOf(title).Label, "Caf\xC3\xA9");
  title.Font().SetCharset(RUSSIAN_CHARSET);
  title.SetCaption("\xC0");
  EXPECT_EQ(ViewOf(title).Label, "\xD0\x90");

  // A disabled or hidden parent takes its controls along.
  Child<TGroupBox>(*form, "Options").SetEnabled(false);
  EXPECT_FALSE(ViewOf(check).Enabled);
  Child<TGroupBox>(*form, "Options").Hide();
  EXPECT_FALSE(ViewOf(check).Shown);
}

// The widget's new state comes back as the action the application applies,
// and applying it changes the control and runs its events.
TEST_F(WindowModelTest, WidgetInputBecomesActionsTheApplicationApplies) {
  std::unique_ptr<TWizardTest> form(New<TWizardTest>(nullptr));
  form->Show();
  auto& edit = Child<TEdit>(*form, "PathEdit");
  TUserAction a = TypeAction(edit, "D:\\Caf\xC3\xA9");
  EXPECT_EQ(a.Kind, TUserAction::uaType);
  EXPECT_EQ(a.Form, form.get());
  EXPECT_EQ(a.Control, "PathEdit");
  EXPECT_EQ(a.Value, "D:\\Caf\xE9");
  app.Deliver(a);
  EXPECT_EQ(edit.Text(), "D:\\Caf\xE9");
  EXPECT_EQ(form->Log.back(), "path D:\\Caf\xE9");

  app.Deliver(CheckAction(Child<TCheckBox>(*form, "D7CB"), false));
  EXPECT_EQ(form->Log.back(), "check 0");
  app.Deliver(ChooseAction(Child<TRadioGroup>(*form, "RG"), 0));
  EXPECT_EQ(Child<TRadioGroup>(*form, "RG").ItemIndex(), 0);

  // Memo lines: LF in the widget, CR LF in the control.
  auto* memo = new TMemo(form.get());
  memo->SetName("Notes");
  memo->SetParent(form.get());
  a = TypeAction(*memo, "one\ntwo");
  EXPECT_EQ(a.Value, "one\r\ntwo");
  app.Deliver(a);
  EXPECT_EQ(memo->Lines().Count(), 2);
  EXPECT_EQ(ViewOf(*memo).Text, "one\ntwo");

  // A combo box: an item's text chooses it, other text is typed.
  auto* combo = new TComboBox(form.get());
  combo->SetName("Lang");
  combo->SetParent(form.get());
  combo->Items().Add("English");
  combo->Items().Add("Deutsch");
  EXPECT_EQ(ComboAction(*combo, "Deutsch").Kind, TUserAction::uaChoose);
  EXPECT_EQ(ComboAction(*combo, "Deutsch").Value, "1");
  app.Deliver(ComboAction(*combo, "Deutsch"));
  EXPECT_EQ(combo->ItemIndex(), 1);
  EXPECT_EQ(ComboAction(*combo, "Deut").Kind, TUserAction::uaType);

  // Enter and Escape press the default and cancel buttons; without a cancel
  // button Escape closes the form.
  EXPECT_EQ(EnterAction(*form).Control, "ProceedBtn");
  EXPECT_EQ(EscapeAction(*form).Control, "CancelBtn");
  Child<TButton>(*form, "CancelBtn").SetCancel(false);
  EXPECT_EQ(EscapeAction(*form).Kind, TUserAction::uaClose);
  Child<TButton>(*form, "ProceedBtn").SetDefault(false);
  EXPECT_EQ(EnterAction(*form).Kind, TUserAction::uaNone);
  app.Deliver(CloseAction(*form));
  EXPECT_FALSE(form->Visible());
}

// A control on a hosted page is named within the page, which owns it.
TEST_F(WindowModelTest, ActionsOnAHostedPageNameThePage) {
  std::unique_ptr<TForm> host(New<TForm>(nullptr));
  host->SetBounds(0, 0, 500, 400);
  auto* page = New<TWizardTest>(host.get());
  page->SetParent(host.get());
  page->SetLeft(5);
  page->SetTop(7);
  host->Show();
  page->Show();
  auto& check = Child<TCheckBox>(*page, "D7CB");
  EXPECT_EQ(ClickAction(check).Form, page);
  EXPECT_EQ(ViewOf(check).Bounds.Left, 5 + 16);
  EXPECT_EQ(ViewOf(check).Bounds.Top, 7 + 86);
  EXPECT_EQ(TopForm(check), host.get());
  app.Deliver(ClickAction(check));
  EXPECT_FALSE(check.Checked());
}

TEST(WindowModel, ColoursAndLiteralLabels) {
  EXPECT_EQ(ColorToRgb(clRed), 0xFF0000u);
  EXPECT_EQ(ColorToRgb(clNavy), 0x000080u);
  EXPECT_EQ(ColorToRgb(clWindow), 0xFFFFFFu);
  EXPECT_EQ(ColorToRgb(clBtnFace), 0xF0F0F0u);
  EXPECT_EQ(ColorToRgb(static_cast<TColor>(0x800000FF)), 0xF0F0F0u);  // past the table
  EXPECT_EQ(LiteralLabel("a@b@@"), "a@@b@@@@");
}

std::string Le32(uint32_t v) {
  return std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                     static_cast<char>(v >> 24)};
}
std::string Le16(uint16_t v) { return std::string{static_cast<char>(v), static_cast<char>(v >> 8)}; }

// A bitmap file of `width` x `height` with the given bits a pixel, palette
// and pixel rows (as stored, padding included).
std::string Bitmap(int32_t width, int32_t height, uint16_t bits, const std::string& palette, const std::string& rows) {
  const uint32_t offset = 14 + 40 + static_cast<uint32_t>(palette.size());
  std::string s = "BM" + Le32(offset + static_cast<uint32_t>(rows.size())) + Le32(0) + Le32(offset);
  s += Le32(40) + Le32(static_cast<uint32_t>(width)) + Le32(static_cast<uint32_t>(height)) + Le16(1) + Le16(bits) +
       Le32(0) + Le32(static_cast<uint32_t>(rows.size())) + Le32(0) + Le32(0) +
       Le32(static_cast<uint32_t>(palette.size() / 4)) + Le32(0);
  return s + palette + rows;
}

// Bitmaps decode by depth and row order, with or without the streamed
// length before them; damaged and unknown bytes do not.
TEST(WindowModel, BitmapsDecodeAndDamagedOnesDoNot) {
  // 2 x 2, 24 bits, bottom-up: the first stored row is the bottom one.
  const std::string rows24 = std::string("\x00\x00\xFF\x00\xFF\x00", 6) + std::string(2, '\0') +
                             std::string("\xFF\x00\x00\xFF\xFF\xFF", 6) + std::string(2, '\0');
  const std::string bmp = Bitmap(2, 2, 24, "", rows24);
  std::optional<TRgbImage> img = DecodeBitmap(bmp);
  ASSERT_TRUE(img);
  EXPECT_EQ(img->Width, 2);
  EXPECT_EQ(img->Height, 2);
  EXPECT_EQ(img->Pixels, (std::vector<uint8_t>{0, 0, 255, 255, 255, 255, 255, 0, 0, 0, 255, 0}));
  // A streamed bitmap carries its length first.
  EXPECT_TRUE(DecodeBitmap(Le32(static_cast<uint32_t>(bmp.size())) + bmp));

  // 8 bits, top-down (negative height), two palette entries.
  const std::string palette = std::string("\x10\x20\x30\x00\xAA\xBB\xCC\x00", 8);
  img = DecodeBitmap(Bitmap(3, -1, 8, palette, std::string("\x00\x01\x00\x00", 4)));
  ASSERT_TRUE(img);
  EXPECT_EQ(img->Pixels, (std::vector<uint8_t>{0x30, 0x20, 0x10, 0xCC, 0xBB, 0xAA, 0x30, 0x20, 0x10}));
  // 1 bit: the high bit is the left pixel.
  img = DecodeBitmap(Bitmap(2, 1, 1, palette, std::string("\x40\x00\x00\x00", 4)));
  ASSERT_TRUE(img);
  EXPECT_EQ(img->Pixels, (std::vector<uint8_t>{0x30, 0x20, 0x10, 0xCC, 0xBB, 0xAA}));

  EXPECT_FALSE(DecodeBitmap(bmp.substr(0, bmp.size() - 1)));           // rows cut short
  EXPECT_FALSE(DecodeBitmap(Bitmap(5000, 1, 24, "", std::string(15000, '\0'))));  // too wide
  EXPECT_FALSE(DecodeBitmap(Bitmap(2, 2, 16, "", rows24)));             // no such depth here
  EXPECT_FALSE(DecodeBitmap(Bitmap(2, 1, 8, std::string(4, '\0'), std::string(2, '\0'))));
  EXPECT_FALSE(DecodeBitmap(std::string("BM\x01\x02", 4)));
  EXPECT_FALSE(DecodeBitmap(""));
  std::string badOffset = bmp;
  badOffset.replace(10, 4, Le32(0xFFFFFFF0u));
  EXPECT_FALSE(DecodeBitmap(badOffset));
}

class FolderBrowserTest : public os::test::MachineTest {};

// The chooser walks the machine's folders, lists folders only, and makes
// the folder its path edit names.
TEST_F(FolderBrowserTest, WalksListsAndCreatesFolders) {
  ASSERT_TRUE(os::WinForceDirectories("C:\\Apps\\Tavrin"));
  ASSERT_TRUE(os::WinForceDirectories("C:\\Apps\\Other"));
  ASSERT_TRUE(os::TWinFile::Create("C:\\Apps\\readme.txt", os::TFileCreation::CreateAlways) != nullptr);

  TFolderBrowser b("C:\\Apps\\Missing\\Deeper");
  EXPECT_EQ(b.Folder(), "C:\\Apps");
  EXPECT_EQ(b.SubFolders(), (std::vector<std::string>{"Other", "Tavrin"}));
  EXPECT_TRUE(b.Open("Tavrin"));
  EXPECT_EQ(b.Folder(), "C:\\Apps\\Tavrin");
  EXPECT_FALSE(b.Open("Nothing"));
  EXPECT_FALSE(b.Open("..\\Other"));
  EXPECT_EQ(b.Resolve("..\\Other\\."), "C:\\Apps\\Other");
  EXPECT_EQ(b.Resolve("D:/x/"), "D:\\x");
  EXPECT_TRUE(b.Up());
  EXPECT_TRUE(b.Up());
  EXPECT_EQ(b.Folder(), "C:\\");
  EXPECT_FALSE(b.Up());
  EXPECT_EQ(b.Resolve(".."), "C:\\");

  EXPECT_TRUE(b.CreateFolder("Apps\\New\\Sub"));
  EXPECT_EQ(b.Folder(), "C:\\Apps\\New\\Sub");
  EXPECT_TRUE(os::WinDirectoryExists("C:\\Apps\\New\\Sub"));
  EXPECT_FALSE(b.CreateFolder(""));
  EXPECT_FALSE(b.CreateFolder("C:\\Apps\\readme.txt\\x"));
  EXPECT_EQ(b.Folder(), "C:\\Apps\\New\\Sub");

  EXPECT_EQ(TFolderBrowser("").Folder(), "C:\\");
}

// Linking the library registers "window"; without a display naming it
// fails with the reason, and choosing falls back to the terminal.
TEST(WindowPresenterChoice, RegisteredAndRefusedWithoutADisplay) {
  EXPECT_TRUE(PresenterRegistered("window"));
  const char* display = std::getenv("DISPLAY");
  const std::string saved = display ? display : "";
  ::unsetenv("DISPLAY");
  ::unsetenv("TAV_PRESENTER");
  ::unsetenv("TAV_ANSWERS");
  ::unsetenv("TAV_UNATTENDED");
  std::vector<std::string> args{"setup", "--presenter=window"};
  const TPresenterOptions o = TakePresenterOptions(args);
  try {
    CreatePresenter(o);
    ADD_FAILURE() << "a window presenter without a display";
  } catch (const EPresenterError& e) {
    EXPECT_EQ(std::string(e.what()), "The presenter window cannot work here: DISPLAY is not set");
  }
  EXPECT_NE(dynamic_cast<TTerminalPresenter*>(CreatePresenter(TPresenterOptions{}).get()), nullptr);
  ::setenv("DISPLAY", ":999999", 1);
  try {
    CreatePresenter(o);
    ADD_FAILURE() << "a window presenter on a display that is not there";
  } catch (const EPresenterError& e) {
    EXPECT_NE(std::string(e.what()).find("cannot open the display :999999"), std::string::npos) << e.what();
  }
  if (display)
    ::setenv("DISPLAY", saved.c_str(), 1);
  else
    ::unsetenv("DISPLAY");
}

}  // namespace
}  // namespace host
