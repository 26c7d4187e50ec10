#include "host/forms/scripted_presenter.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "host/forms/forms.h"
#include "host/forms/std_controls.h"
#include "host/forms/terminal_presenter.h"
#include "host/forms/testing/test_forms.h"

namespace host {
namespace {

using test::TWizardTest;

bool Has(const std::vector<std::string>& lines, const std::string& line) {
  for (const std::string& l : lines)
    if (l == line) return true;
  return false;
}

class ScriptedPresenterTest : public ::testing::Test {
 protected:
  test::TScriptedApp scripted;
  TApplication& app = scripted.app;
  TScriptedPresenter*& presenter = scripted.presenter;
};

// A host form showing two wizard pages in turn, then a progress form that
// copies in ten steps and is cancelled by the user after the third.
TEST_F(ScriptedPresenterTest, DrivesTwoModalPagesAndCancelsAfterProgressUpdates) {
  presenter->LoadAnswers(
      "# first page\n"
      "[TWizardTest]\n"
      "type PathEdit C:\\Program Files\\Tavrin\n"
      "check D7CB 0\n"
      "click ProceedBtn\n"
      "\r\n"
      "[WizardTest_1]\n"
      "type PathEdit D:\\Other\r\n"
      "choose RG Yes\n"
      "click ProceedBtn\n"
      "[Progress]\n"
      "cancel-after 3\n");

  std::unique_ptr<TForm> host(New<TForm>(nullptr));
  host->SetCaption("Setup");
  auto* page1 = New<TWizardTest>(host.get());
  auto* page2 = New<TWizardTest>(host.get());
  for (TWizardTest* p : {page1, page2}) p->SetParent(host.get());
  // Page 1's Next moves to page 2; page 2's Next ends the host (mrOk).
  auto& next1 = Child<TButton>(*page1, "ProceedBtn");
  next1.SetModalResult(mrNone);
  next1.OnClick = [&](TObject*) {
    page1->Hide();
    page2->Show();
  };
  page1->Show();
  EXPECT_EQ(host->ShowModal(), mrOk);
  EXPECT_EQ(Child<TEdit>(*page1, "PathEdit").Text(), "C:\\Program Files\\Tavrin");
  EXPECT_FALSE(Child<TCheckBox>(*page1, "D7CB").Checked());
  EXPECT_EQ(Child<TEdit>(*page2, "PathEdit").Text(), "D:\\Other");
  EXPECT_TRUE(Child<TCheckBox>(*page2, "D7CB").Checked());
  EXPECT_EQ(Child<TRadioGroup>(*page2, "RG").ItemIndex(), 0);

  // The progress form is not modal: the cancel comes at ProcessMessages.
  std::unique_ptr<TForm> progress(New<TForm>(nullptr));
  progress->SetName("Progress");
  auto* bar = new TProgressBar(progress.get());
  bar->SetName("Bar");
  bar->SetParent(progress.get());
  auto* cancel = new TButton(progress.get());
  cancel->SetName("CancelBtn");
  cancel->SetParent(progress.get());
  int cancelledAt = 0, step = 0;
  cancel->OnClick = [&](TObject*) { cancelledAt = step; };
  progress->Show();
  for (step = 1; step <= 10 && !cancelledAt; ++step) {
    bar->SetPosition(step * 10);
    EXPECT_EQ(cancelledAt, 0);  // never before ProcessMessages
    app.ProcessMessages();
  }
  EXPECT_EQ(cancelledAt, 3);

  const auto& t = presenter->Transcript();
  EXPECT_TRUE(Has(t, "show TWizardTest WizardTest 'Wizard test'")) << t.front();
  EXPECT_TRUE(Has(t, "show TForm 'Setup' modal"));
  EXPECT_TRUE(Has(t, "  > type PathEdit D:\\Other"));
  EXPECT_TRUE(Has(t, "  D7CB: [x] Delphi 7"));
  EXPECT_TRUE(Has(t, "progress Bar 30%"));
  EXPECT_TRUE(Has(t, "  cancel TForm Progress after 3 updates"));
}

TEST_F(ScriptedPresenterTest, UnansweredFormsTakeTheirDefaultUnlessStrict) {
  std::unique_ptr<TWizardTest> f(New<TWizardTest>(nullptr));
  EXPECT_EQ(f->ShowModal(), mrOk);  // ProceedBtn is the default button
  EXPECT_TRUE(Has(presenter->Transcript(), "  > default click ProceedBtn"));

  presenter->SetStrict(true);
  try {
    f->ShowModal();
    ADD_FAILURE() << "a strict run went on without an answer";
  } catch (const EPresenterError& e) {
    EXPECT_EQ(e.Message(), "No answer for an action of form TWizardTest WizardTest 'Wizard test'");
  }
  EXPECT_FALSE(f->Visible());

  // A form that never closes on its default answer fails instead of spinning.
  presenter->SetStrict(false);
  Child<TButton>(*f, "ProceedBtn").SetModalResult(mrNone);
  EXPECT_THROW(f->ShowModal(), EPresenterError);
}

TEST_F(ScriptedPresenterTest, MessageBoxesAndFolderBrowsesTakeTheirAnswers) {
  presenter->LoadAnswers(
      "[TWizardTest]\n"
      "click BackBtn\n"
      "message no\n"
      "folder C:\\Tools\n"
      "click BackBtn\n"
      "message Cancel\n"
      "folder\n"
      "click CancelBtn\n");
  std::unique_ptr<TWizardTest> f(New<TWizardTest>(nullptr));
  std::vector<std::string> got;
  Child<TButton>(*f, "BackBtn").OnClick = [&](TObject*) {
    got.push_back(std::to_string(MessageDlg("Go on?", mtConfirmation, (1u << mbYes) | (1u << mbNo) | (1u << mbCancel))));
    std::string path = "C:\\";
    const bool ok = Application().BrowseForFolder("Choose", path);
    got.push_back(ok ? path : "cancelled");
  };
  EXPECT_EQ(f->ShowModal(), mrCancel);
  EXPECT_EQ(got, (std::vector<std::string>{std::to_string(mrNo), "C:\\Tools", std::to_string(mrCancel),
                                           "cancelled"}));
  // Unanswered boxes take their default button.
  EXPECT_EQ(Application().MessageBox("?", "Q", MB_YESNO | MB_DEFBUTTON2), IDNO);
  // An answer the box does not offer is refused.
  presenter->LoadAnswers("[TWizardTest]\nclick BackBtn\nmessage Retry\n");
  EXPECT_THROW(f->ShowModal(), EPresenterError);
}

TEST_F(ScriptedPresenterTest, DamagedAnswersNameTheirLine) {
  const char* bad[] = {"click X\n", "[A]\nclick\n", "[A]\ncheck X 2\n", "[A]\njump X\n",
                       "[A]\ncancel-after 0\n", "[A\n", "[A]\nclose now\n"};
  for (const char* text : bad) {
    TScriptedPresenter p;
    try {
      p.LoadAnswers(text, "answers.txt");
      ADD_FAILURE() << text;
    } catch (const EPresenterError& e) {
      EXPECT_EQ(e.Message().rfind("answers.txt line ", 0), 0u) << e.Message();
    }
  }
  TScriptedPresenter p;
  EXPECT_THROW(p.AddAnswer("no section"), EPresenterError);
  EXPECT_THROW(p.LoadAnswersFile("/nonexistent/answers"), EPresenterError);
}

TEST(PresenterOptions, SwitchesComeOffTheArgumentsAndTheEnvironmentFillsIn) {
  ::setenv("TAV_ANSWERS", "env.txt", 1);
  ::setenv("TAV_STRICT", "1", 1);
  ::unsetenv("TAV_PRESENTER");
  ::unsetenv("TAV_UNATTENDED");
  ::unsetenv("TAV_TRANSCRIPT");
  std::vector<std::string> args{"setup", "-s", "--answers=a.txt", "--answer=TForm1:click OK",
                                "--unattended", "-d", "--transcript=t.txt"};
  const TPresenterOptions o = TakePresenterOptions(args);
  EXPECT_EQ(args, (std::vector<std::string>{"setup", "-s", "-d"}));
  EXPECT_EQ(o.AnswersFile, "a.txt");
  EXPECT_EQ(o.Answers, std::vector<std::string>{"TForm1:click OK"});
  EXPECT_TRUE(o.Unattended);
  EXPECT_TRUE(o.Strict);  // from the environment
  EXPECT_EQ(o.TranscriptFile, "t.txt");

  std::vector<std::string> none{"setup"};
  EXPECT_EQ(TakePresenterOptions(none).AnswersFile, "env.txt");
  ::unsetenv("TAV_ANSWERS");
  ::unsetenv("TAV_STRICT");

  std::vector<std::string> wrong{"setup", "--presenter=window"};
  EXPECT_THROW(TakePresenterOptions(wrong), EPresenterError);
  std::vector<std::string> empty{"setup", "--answers="};
  EXPECT_THROW(TakePresenterOptions(empty), EPresenterError);

  TPresenterOptions scripted;
  scripted.Unattended = true;
  EXPECT_NE(dynamic_cast<TScriptedPresenter*>(CreatePresenter(scripted).get()), nullptr);

  // The application keeps what is left as its parameters.
  TApplication app;
  const char* argv[] = {"setup", "--unattended", "-b", "-sC:\\Build"};
  app.Initialize(4, argv);
  EXPECT_EQ(app.ParamCount(), 2);
  EXPECT_EQ(app.ParamStr(2), "-sC:\\Build");
  EXPECT_EQ(app.ParamStr(3), "");
}

// "window" is known only once a linked library registers it: before, the
// option fails and says what the program lacks; after, an unusable factory
// fails with its reason when named and is passed over when not named.
TEST(PresenterOptions, RegisteredPresentersAreChosenByNameOrPreferredWhenUsable) {
  ::unsetenv("TAV_PRESENTER");
  ::unsetenv("TAV_ANSWERS");
  ::unsetenv("TAV_UNATTENDED");
  ASSERT_FALSE(PresenterRegistered("window"));
  std::vector<std::string> args{"setup", "--presenter=window"};
  try {
    TakePresenterOptions(args);
    FAIL() << "window taken without a factory";
  } catch (const EPresenterError& e) {
    EXPECT_NE(std::string(e.what()).find("built without the presenter window"), std::string::npos) << e.what();
  }
  ::setenv("TAV_PRESENTER", "window", 1);
  std::vector<std::string> none{"setup"};
  EXPECT_THROW(TakePresenterOptions(none), EPresenterError);
  ::unsetenv("TAV_PRESENTER");

  bool usable = false;
  int made = 0;
  TPresenterFactory f;
  f.Usable = [&](std::string& why) {
    why = "no display";
    return usable;
  };
  f.Create = [&](const TPresenterOptions&) -> std::unique_ptr<TPresenter> {
    ++made;
    return std::make_unique<TScriptedPresenter>();
  };
  f.Preferred = true;
  RegisterPresenter("window", f);
  struct TDrop {
    ~TDrop() { UnregisterPresenter("window"); }
  } drop;

  args = {"setup", "--presenter=window"};
  const TPresenterOptions named = TakePresenterOptions(args);
  EXPECT_EQ(named.Presenter, "window");
  try {
    CreatePresenter(named);
    FAIL() << "an unusable presenter was made";
  } catch (const EPresenterError& e) {
    EXPECT_EQ(std::string(e.what()), "The presenter window cannot work here: no display");
  }
  // Not named and not usable: the terminal.
  EXPECT_NE(dynamic_cast<TTerminalPresenter*>(CreatePresenter(TPresenterOptions{}).get()), nullptr);
  usable = true;
  EXPECT_NE(CreatePresenter(named), nullptr);
  EXPECT_NE(dynamic_cast<TScriptedPresenter*>(CreatePresenter(TPresenterOptions{}).get()), nullptr);
  EXPECT_EQ(made, 2);
  // Answers still choose the scripted presenter, and a named terminal wins.
  TPresenterOptions answered;
  answered.Answers.push_back("TForm1:click OK");
  CreatePresenter(answered);
  TPresenterOptions terminal;
  terminal.Presenter = "terminal";
  EXPECT_NE(dynamic_cast<TTerminalPresenter*>(CreatePresenter(terminal).get()), nullptr);
  EXPECT_EQ(made, 2);
  args = {"setup", "--presenter=other"};
  try {
    TakePresenterOptions(args);
    FAIL();
  } catch (const EPresenterError& e) {
    EXPECT_EQ(std::string(e.what()), "Unknown presenter other (window, terminal or scripted)");
  }
}

TEST(PresenterOptions, TheTranscriptGoesToItsFile) {
  const std::string path = ::testing::TempDir() + "transcript.txt";
  TApplication app;
  auto p = std::make_unique<TScriptedPresenter>();
  p->SetTranscriptFile(path);
  app.SetPresenter(std::move(p));
  app.MessageBox("Hello", "Greeting", MB_OK);
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, "message 'Greeting' 'Hello' -> OK");
}

}  // namespace
}  // namespace host
