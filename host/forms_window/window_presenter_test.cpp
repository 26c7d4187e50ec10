// The windowed presenter on a real display: skipped where there is none
// (ctest runs these once more under a virtual X server when xvfb-run is
// installed). The user is simulated by input sent to the X server (XTest),
// never by calling the presenter: what the windows make of it is what is
// checked.
#include "host/forms_window/window_presenter.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "host/forms/forms.h"
#include "host/forms/std_controls.h"
#include "host/forms/testing/test_forms.h"
#include "host/forms_window/window_model.h"
#include "os/testing/test_machine.h"
#include "os/win_file.h"

// Last: X's headers define macros (None, Bool, Status) that others' names clash with.
#include <FL/Fl.H>
#include <FL/Fl_Window.H>
#include <FL/x.H>
#include <X11/Xlib.h>
#include <X11/keysym.h>

#include "host/forms_window/testing/x_input.h"
#ifdef TAV_HAVE_XTEST
#include <X11/extensions/XTest.h>
#endif

namespace host {
namespace {

using test::TWizardTest;

bool HaveDisplay() {
  std::string why;
  return WindowDisplayUsable(why);
}

// Steps of simulated input, run from the presenter's wait loop one after
// another, each a little after the one before.
class TUserScript {
 public:
  void Add(std::function<void()> step) { steps_.push_back(std::move(step)); }
  void Start(double delay = 0.3) { Fl::add_timeout(delay, &TUserScript::Next, this); }
  ~TUserScript() { Fl::remove_timeout(&TUserScript::Next, this); }

 private:
  // The newest window is on the screen (a loaded machine maps it late).
  static bool NewestWindowViewable() {
    Fl_Window* w = Fl::first_window();
    if (!w || !w->shown()) return false;
    XWindowAttributes a;
    return XGetWindowAttributes(fl_display, fl_xid(w), &a) && a.map_state == IsViewable;
  }
  static void Next(void* d) {
    auto* s = static_cast<TUserScript*>(d);
    if (s->next_ >= s->steps_.size()) return;
    if (!NewestWindowViewable()) {
      Fl::add_timeout(0.05, &TUserScript::Next, s);
      return;
    }
    s->steps_[s->next_++]();
    Fl::add_timeout(0.15, &TUserScript::Next, s);
  }
  std::vector<std::function<void()>> steps_;
  size_t next_ = 0;
};

#ifdef TAV_HAVE_XTEST
// Where (x, y) of the X window lies on the screen.
TPoint ScreenPoint(unsigned long window, int x, int y) {
  int rx = 0, ry = 0;
  Window child;
  XTranslateCoordinates(fl_display, window, DefaultRootWindow(fl_display), x, y, &rx, &ry, &child);
  return TPoint{rx, ry};
}

void ClickAt(TPoint p) {
  XTestFakeMotionEvent(fl_display, -1, p.X, p.Y, 0);
  XTestFakeButtonEvent(fl_display, 1, True, 0);
  XTestFakeButtonEvent(fl_display, 1, False, 0);
  XFlush(fl_display);
}

// The pointer onto the newest window, which then takes the keys (a virtual
// display has no window manager to give it the focus).
void PointAtNewestWindow() {
  Fl_Window* w = Fl::first_window();
  if (!w) return;
  const TPoint p = ScreenPoint(fl_xid(w), w->w() / 2, 8);
  XTestFakeMotionEvent(fl_display, -1, p.X, p.Y, 0);
  XFlush(fl_display);
}

void Key(KeySym sym, bool shift = false) {
  const KeyCode shiftCode = XKeysymToKeycode(fl_display, XK_Shift_L);
  if (shift) XTestFakeKeyEvent(fl_display, shiftCode, True, 0);
  const KeyCode code = XKeysymToKeycode(fl_display, sym);
  XTestFakeKeyEvent(fl_display, code, True, 0);
  XTestFakeKeyEvent(fl_display, code, False, 0);
  if (shift) XTestFakeKeyEvent(fl_display, shiftCode, False, 0);
  XFlush(fl_display);
}

void Type(const std::string& text) {
  for (char ch : text) {
    if (ch == '\\')
      Key(XK_backslash);
    else if (ch >= 'A' && ch <= 'Z')
      Key(static_cast<KeySym>(ch - 'A' + 'a'), true);
    else
      Key(static_cast<KeySym>(static_cast<unsigned char>(ch)));
  }
}

// The middle of a control, on the screen.
TPoint Middle(TWindowPresenter& p, TControl& c) {
  const TRect r = ViewOf(c).Bounds;
  return ScreenPoint(p.WindowId(*TopForm(c)), (r.Left + r.Right) / 2, (r.Top + r.Bottom) / 2);
}
#endif

// A control that paints itself: a red band and a caption turned upwards.
class TPaintedBand : public TGraphicControl {
 public:
  using TGraphicControl::TGraphicControl;
  void Paint() override {
    Canvas().Brush().Color = clRed;
    Canvas().FillRect(TRect{0, 0, Width(), Height() / 2});
    Canvas().Font().SetColor(clBlue);
    Canvas().Font().SetEscapement(900);
    Canvas().TextOut(Width() / 2, Height() - 2, "Tavrin");
  }
};

// A 4 x 4 bitmap of one colour (0xRRGGBB).
std::string SolidBitmap(uint32_t rgb) {
  auto le32 = [](uint32_t v) {
    return std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 24)};
  };
  std::string rows;
  for (int i = 0; i < 16; ++i) rows += {static_cast<char>(rgb), static_cast<char>(rgb >> 8), static_cast<char>(rgb >> 16)};
  return "BM" + le32(54 + 48) + le32(0) + le32(54) + le32(40) + le32(4) + le32(4) + std::string("\x01\x00\x18\x00", 4) +
         le32(0) + le32(48) + le32(0) + le32(0) + le32(0) + le32(0) + rows;
}

class WindowDisplayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveDisplay()) GTEST_SKIP() << "no display";
#ifndef TAV_HAVE_XTEST
    GTEST_SKIP() << "built without XTest";
#endif
    test::RegisterTestForms();
    auto p = std::make_unique<TWindowPresenter>();
    presenter = p.get();
    app.SetPresenter(std::move(p));
    // A window that never gets its input must not hang the suite.
    alarm(120);
  }
  void TearDown() override { alarm(0); }

  // Where screenshots go: TAV_SCREENSHOTS (the build folder's, under
  // ctest), else the test's scratch folder.
  static std::string ShotPath(const std::string& name) {
    const char* dir = std::getenv("TAV_SCREENSHOTS");
    const std::string d = dir && *dir ? std::string(dir) : ::testing::TempDir();
    std::filesystem::create_directories(d);
    return d + "/" + name + ".ppm";
  }
  // Width, height and the number of distinct colours of a PPM file.
  static void ReadShot(const std::string& path, int& w, int& h, size_t& colours,
                       std::set<uint32_t>* all = nullptr) {
    std::ifstream in(path, std::ios::binary);
    std::string magic;
    int max = 0;
    in >> magic >> w >> h >> max;
    in.get();
    ASSERT_EQ(magic, "P6");
    std::vector<char> px(static_cast<size_t>(w) * static_cast<size_t>(h) * 3);
    in.read(px.data(), static_cast<std::streamsize>(px.size()));
    ASSERT_EQ(in.gcount(), static_cast<std::streamsize>(px.size()));
    std::set<uint32_t> seen;
    for (size_t i = 0; i + 2 < px.size(); i += 3)
      seen.insert(static_cast<uint32_t>(static_cast<uint8_t>(px[i])) << 16 |
                  static_cast<uint32_t>(static_cast<uint8_t>(px[i + 1])) << 8 | static_cast<uint8_t>(px[i + 2]));
    colours = seen.size();
    if (all) *all = std::move(seen);
  }

  TApplication app;
  TWindowPresenter* presenter = nullptr;
};

#ifdef TAV_HAVE_XTEST

// A person clicks into the edit, deletes and types, unticks the box, picks
// a radio item and presses Enter: the form ends with OK and holds what was
// done, its handlers having run.
TEST_F(WindowDisplayTest, DrivesAModalFormBySyntheticInput) {
  std::unique_ptr<TWizardTest> form(New<TWizardTest>(nullptr));
  auto& edit = Child<TEdit>(*form, "PathEdit");
  auto& check = Child<TCheckBox>(*form, "D7CB");
  auto& rg = Child<TRadioGroup>(*form, "RG");
  TUserScript user;
  user.Add([&] {
    const TRect r = ViewOf(edit).Bounds;
    ClickAt(ScreenPoint(presenter->WindowId(*form), r.Right - 4, (r.Top + r.Bottom) / 2));
  });
  user.Add([&] {
    Key(XK_End);
    for (int i = 0; i < 5; ++i) Key(XK_BackSpace);
    Type("emp");
  });
  user.Add([&] { ClickAt(Middle(*presenter, check)); });
  user.Add([&] {
    // The first radio button sits below the group's caption.
    const TRect r = ViewOf(rg).Bounds;
    ClickAt(ScreenPoint(presenter->WindowId(*form), r.Left + 16, r.Top + 16 + 10));
  });
  user.Add([&] { EXPECT_TRUE(presenter->SaveScreenshot(*form, ShotPath("wizard_page"))); });
  user.Add([&] { Key(XK_Return); });
  user.Start();
  EXPECT_EQ(form->ShowModal(), mrOk);
  EXPECT_EQ(edit.Text(), "C:\\Temp");
  EXPECT_FALSE(check.Checked());
  EXPECT_EQ(rg.ItemIndex(), 0);
  EXPECT_NE(std::find(form->Log.begin(), form->Log.end(), "path C:\\Temp"), form->Log.end());
  EXPECT_NE(std::find(form->Log.begin(), form->Log.end(), "check 0"), form->Log.end());

  int w = 0, h = 0;
  size_t colours = 0;
  ReadShot(ShotPath("wizard_page"), w, h, colours);
  EXPECT_EQ(w, form->ClientWidth());
  EXPECT_EQ(h, form->ClientHeight());
  EXPECT_GT(colours, 1u);
}

// Escape presses the Cancel button; the window's close box (the window
// manager's delete message) closes the form, which asks OnCloseQuery.
TEST_F(WindowDisplayTest, EscapeCancelsAndTheCloseBoxClosesTheForm) {
  std::unique_ptr<TWizardTest> form(New<TWizardTest>(nullptr));
  TUserScript escape;
  escape.Add([&] { ClickAt(Middle(*presenter, Child<TButton>(*form, "BackBtn"))); });
  escape.Add([&] { Key(XK_Escape); });
  escape.Start();
  EXPECT_EQ(form->ShowModal(), mrCancel);
  EXPECT_NE(std::find(form->Log.begin(), form->Log.end(), "back"), form->Log.end());
  EXPECT_NE(std::find(form->Log.begin(), form->Log.end(), "cancel"), form->Log.end());

  form->Log.clear();
  TUserScript close;
  close.Add([&] { test::SendCloseRequest(fl_display, presenter->WindowId(*form)); });
  close.Start();
  EXPECT_EQ(form->ShowModal(), mrCancel);
  EXPECT_NE(std::find(form->Log.begin(), form->Log.end(), "closequery"), form->Log.end());
}

// A message box answers by the button pressed; Enter takes the default one.
TEST_F(WindowDisplayTest, MessageBoxesAnswerByTheirButtons) {
  TUserScript enter;
  enter.Add([] { PointAtNewestWindow(); });
  enter.Add([] { Key(XK_Return); });
  enter.Start(0.5);
  EXPECT_EQ(app.MessageBox("Overwrite the file?", "Setup", MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2), IDNO);
  TUserScript escape;
  escape.Add([] { PointAtNewestWindow(); });
  escape.Add([] { Key(XK_Escape); });
  escape.Start(0.5);
  EXPECT_EQ(app.MessageBox("Go on?", "Setup", MB_OKCANCEL), IDCANCEL);
}

class WindowFolderTest : public os::test::MachineTest {};

// The folder chooser: its path edit takes a folder that does not exist,
// the create-folder button makes it, OK returns it.
TEST_F(WindowFolderTest, ChooserCreatesTheFolderItsPathEditNames) {
  if (!HaveDisplay()) GTEST_SKIP() << "no display";
  test::RegisterTestForms();
  TApplication app;
  auto p = std::make_unique<TWindowPresenter>();
  app.SetPresenter(std::move(p));
  alarm(120);
  ASSERT_TRUE(os::WinForceDirectories("C:\\Apps"));
  TUserScript user;
  user.Add([] {
    // The chooser is the newest window: its path edit lies 270 pixels down.
    Fl_Window* w = Fl::first_window();
    ASSERT_NE(w, nullptr);
    ClickAt(ScreenPoint(fl_xid(w), 400, 283));
    Key(XK_End);
    Type("\\New");
  });
  user.Add([] { ClickAt(ScreenPoint(fl_xid(Fl::first_window()), 30, 354)); });
  user.Add([] { Key(XK_Return); });
  user.Start(0.5);
  std::string path = "C:\\Apps";
  EXPECT_TRUE(app.BrowseForFolder("Pick one", path));
  alarm(0);
  EXPECT_EQ(path, "C:\\Apps\\New");
  EXPECT_TRUE(os::WinDirectoryExists("C:\\Apps\\New"));
}

#endif  // TAV_HAVE_XTEST

// Progress drawn while the work runs, without ProcessMessages; the window
// shot holds the form's size.
TEST_F(WindowDisplayTest, ProgressShowsWhileWorkRunsAndScreenshotsHoldTheForm) {
  std::unique_ptr<TForm> progress(New<TForm>(nullptr));
  progress->SetName("Progress");
  progress->SetCaption("Copying");
  progress->SetBounds(0, 0, 320, 90);
  auto* bar = new TProgressBar(progress.get());
  bar->SetName("Bar");
  bar->SetParent(progress.get());
  bar->SetBounds(10, 10, 300, 20);
  auto* label = new TLabel(progress.get());
  label->SetParent(progress.get());
  label->SetBounds(10, 40, 300, 20);
  label->SetCaption("Copying files\x85");
  auto* band = new TPaintedBand(progress.get());
  band->SetParent(progress.get());
  band->SetBounds(250, 40, 40, 48);
  auto* logo = new TImage(progress.get());
  logo->SetParent(progress.get());
  logo->SetBounds(200, 60, 8, 8);
  logo->Picture().Bitmap().SetData(SolidBitmap(0x00FF00));
  auto* broken = new TImage(progress.get());
  broken->SetParent(progress.get());
  broken->SetBounds(180, 60, 8, 8);
  broken->Picture().Bitmap().SetData("BM");
  progress->Show();
  for (int i = 0; i <= 100; i += 10) bar->SetPosition(i);
  app.ProcessMessages();
  ASSERT_NE(presenter->WindowId(*progress), 0u);
  const std::string path = ShotPath("progress");
  ASSERT_TRUE(presenter->SaveScreenshot(*progress, path));
  int w = 0, h = 0;
  size_t colours = 0;
  std::set<uint32_t> seen;
  ReadShot(path, w, h, colours, &seen);
  EXPECT_EQ(w, 320);
  EXPECT_EQ(h, 90);
  EXPECT_GT(colours, 1u);
  // The replayed painting and the decoded picture are there.
  EXPECT_TRUE(seen.count(0xFF0000));
  EXPECT_TRUE(seen.count(0x0000FF));
  EXPECT_TRUE(seen.count(0x00FF00));
  progress->Hide();
  app.ProcessMessages();
  EXPECT_EQ(presenter->WindowId(*progress), 0u);
}

}  // namespace
}  // namespace host
