#include "host/forms/forms.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "host/classes/component_text.h"
#include "host/forms/scripted_presenter.h"
#include "host/forms/std_controls.h"
#include "host/forms/testing/test_forms.h"
#include "host/rtl/sys_utils.h"
#include "os/machine.h"

#include <unistd.h>

namespace host {
namespace {

using test::TWizardTest;

// Each test runs in an application of its own with a scripted user.
class FormsTest : public ::testing::Test {
 protected:
  test::TScriptedApp scripted;
  TApplication& app = scripted.app;
  TScriptedPresenter*& presenter = scripted.presenter;

  std::unique_ptr<TWizardTest> NewWizard() { return std::unique_ptr<TWizardTest>(New<TWizardTest>(nullptr)); }
};

TEST_F(FormsTest, AFormLoadsNestedControlsEventsReferencesAndACollection) {
  auto f = NewWizard();
  EXPECT_EQ(f->Log, std::vector<std::string>{"create"});
  EXPECT_EQ(f->Name(), "WizardTest");
  EXPECT_EQ(f->Caption(), "Wizard test");
  EXPECT_EQ(f->ClientWidth(), 487);
  EXPECT_EQ(f->Font().Name(), "Arial");

  // Every control belongs to the form; each sits in the control it is nested in.
  auto& panel = Child<TPanel>(*f, "DisplayPanel");
  auto& edit = Child<TEdit>(*f, "PathEdit");
  auto& check = Child<TCheckBox>(*f, "D7CB");
  EXPECT_EQ(edit.Owner(), f.get());
  EXPECT_EQ(check.Owner(), f.get());
  EXPECT_EQ(edit.Parent(), &panel);
  EXPECT_EQ(check.Parent(), &Child<TGroupBox>(*f, "Options"));
  EXPECT_EQ(panel.Parent(), f.get());
  // The client-aligned panel fills the form once the tree is read.
  EXPECT_EQ(panel.BoundsRect(), (TRect{0, 0, 487, 368}));

  // References resolved after the tree, though named before their targets.
  EXPECT_EQ(f->ActiveControl(), &edit);
  EXPECT_EQ(Child<TLabel>(*f, "TitleLabel").FocusControl(), &edit);
  EXPECT_EQ(Child<TLabel>(*f, "TitleLabel").Caption(), "Choose a 'folder'");

  // String lists, bytes, a collection and an extra defined property.
  auto& rg = Child<TRadioGroup>(*f, "RG");
  ASSERT_EQ(rg.Items().Count(), 2);
  EXPECT_EQ(rg.Items().Strings(1), "No");
  EXPECT_EQ(rg.ItemIndex(), 1);
  auto& logo = Child<TImage>(*f, "Logo");
  ASSERT_NE(dynamic_cast<TBitmap*>(logo.Picture().Graphic()), nullptr);
  EXPECT_EQ(logo.Picture().Graphic()->Data(), std::string("BM\x01\x02", 4));
  auto& lv = Child<TListView>(*f, "Products");
  ASSERT_EQ(lv.Columns().Count(), 2);
  EXPECT_EQ(lv.Columns().Items(0)->Caption(), "Name");
  EXPECT_EQ(lv.Columns().Items(0)->Width(), 120);
  EXPECT_EQ(Child<test::TUniqueThing>(*f, "Marker").UniqueID(), 42);

  // Events are bound to the form's methods; reading ran none but OnCreate.
  check.SetChecked(false);
  edit.SetText("D:\\");
  EXPECT_EQ(f->Log, (std::vector<std::string>{"create", "check 0", "path D:\\"}));

  // What is written reads back to the same text.
  const std::string text = WriteComponent(*f);
  for (const char* part : {"OnClick = CheckClick", "ActiveControl = PathEdit", "UniqueID = 42",
                           "Picture.Data = {", "Items = (", "object D7CB: TCheckBox", "Columns = <"})
    EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
  std::unique_ptr<TWizardTest> g(new TWizardTest(nullptr));
  ReadComponent(text, *g);
  EXPECT_EQ(WriteComponent(*g), text);
}

TEST_F(FormsTest, AMissingReferenceOrMethodIsNamedInTheError) {
  const std::string good(form_texts::wizard_test);
  struct Case {
    const char* from;
    const char* to;
    const char* named;
  } cases[] = {
      {"ActiveControl = PathEdit", "ActiveControl = NoSuchEdit", "NoSuchEdit"},
      {"FocusControl = PathEdit", "FocusControl = TitleLabel", "TLabel"},
      {"OnChange = PathEditChange", "OnChange = NoSuchHandler", "NoSuchHandler"},
      {"OnClick = CheckClick", "OnClick = FormClose", "does not fit"},
      {"UniqueID = 42", "UniqueIdent = 42", "UniqueIdent"},
      {"object Marker: TUniqueThing", "object Marker: TNoSuchThing", "TNoSuchThing"},
      {"Picture.Data = {", "Picture.Data = {0", "binary"},
      {"object BackBtn: TButton", "object PathEdit: TButton", "PathEdit"},
      {"        'Yes'", "        3", "String expected"},
      {"        'No')", "        'No'", "String expected"},
      {"07544269", "0754G269", "Invalid binary value"},
      {"07544269746D6170424D0102}", "07544269746D6170424D0102", "binary"},
      {"746D6170424D0102}", "74}", "damaged"},
  };
  for (const Case& c : cases) {
    std::string text = good;
    const size_t at = text.find(c.from);
    ASSERT_NE(at, std::string::npos) << c.from;
    text.replace(at, std::strlen(c.from), c.to);
    std::unique_ptr<TWizardTest> f(new TWizardTest(nullptr));
    try {
      ReadComponent(text, *f);
      ADD_FAILURE() << "read " << c.to;
    } catch (const EReadError& e) {
      EXPECT_NE(std::string(e.Message()).find(c.named), std::string::npos) << e.Message();
    }
    // Nothing the failed read made is left.
    EXPECT_EQ(f->ComponentCount(), 0) << c.to;
    EXPECT_EQ(f->ControlCount(), 0) << c.to;
  }

  // A reference may also name the root, and a component through the root's name.
  std::string text = good;
  text.replace(text.find("ActiveControl = PathEdit"), 24, "ActiveControl = WizardTest.PathEdit");
  std::unique_ptr<TWizardTest> f(new TWizardTest(nullptr));
  ReadComponent(text, *f);
  EXPECT_EQ(f->ActiveControl(), &Child<TEdit>(*f, "PathEdit"));

  // String lists count against the item bound.
  TTextLimits limits;
  limits.MaxItems = 1;
  std::unique_ptr<TWizardTest> g(new TWizardTest(nullptr));
  EXPECT_THROW(ReadComponent(good, *g, limits), EReadError);
}

TEST_F(FormsTest, FirstActivationOnceCloseRefusedAndExceptionsReachOnException) {
  auto f = NewWizard();
  int activations = 0;
  f->OnActivate = [&](TObject*) { ++activations; };
  f->Show();
  f->Show();
  EXPECT_EQ(activations, 1);
  EXPECT_TRUE(f->Active());

  // OnCloseQuery and OnClose (caNone) may each keep the form open.
  f->AllowClose = false;
  f->Close();
  EXPECT_TRUE(f->Visible());
  f->AllowClose = true;
  f->RefuseWithAction = true;
  f->Close();
  EXPECT_TRUE(f->Visible());
  f->RefuseWithAction = false;
  f->Close();
  EXPECT_FALSE(f->Visible());
  EXPECT_EQ(f->Log, (std::vector<std::string>{"create", "closequery", "closequery", "close",
                                              "closequery", "close"}));

  // An exception leaving a handler goes to OnException; EAbort is silent.
  std::vector<std::string> seen;
  app.OnException = [&](TObject* sender, const Exception& e) {
    seen.push_back(static_cast<TComponent*>(sender)->Name() + ": " + e.Message());
  };
  f->Show();
  auto& back = Child<TButton>(*f, "BackBtn");
  back.OnClick = [](TObject*) { throw EConvertError("bad value"); };
  app.Deliver(TUserAction{TUserAction::uaClick, f.get(), "BackBtn", ""});
  back.OnClick = [](TObject*) { Abort(); };
  app.Deliver(TUserAction{TUserAction::uaClick, f.get(), "BackBtn", ""});
  f->OnShow = [](TObject*) { throw EListError("in OnShow"); };
  f->Hide();
  f->Show();
  EXPECT_EQ(seen, (std::vector<std::string>{"BackBtn: bad value", "WizardTest: in OnShow"}));

  // Without a handler the presenter is shown the message.
  app.OnException = nullptr;
  back.OnClick = [](TObject*) { throw EConvertError("shown"); };
  app.Deliver(TUserAction{TUserAction::uaClick, f.get(), "BackBtn", ""});
  EXPECT_EQ(presenter->Transcript().back(), "message '' 'shown.' -> OK");
}

TEST_F(FormsTest, ShowModalEndsOnModalResultWhenClosingIsAllowed) {
  auto f = NewWizard();
  presenter->LoadAnswers(
      "[TWizardTest]\n"
      "type PathEdit C:\\Program Files\\Tavrin\n"
      "check D7CB 0\n"
      "close\n"
      "click CancelBtn\n");
  int queries = 0;
  f->OnCloseQuery = [&](TObject*, bool& can) { can = ++queries > 1; };
  EXPECT_EQ(f->ShowModal(), mrCancel);
  EXPECT_FALSE(f->Visible());
  EXPECT_EQ(queries, 2);  // the close was refused, the cancel allowed
  EXPECT_EQ(Child<TEdit>(*f, "PathEdit").Text(), "C:\\Program Files\\Tavrin");
  // The refused close never reached OnClose.
  EXPECT_EQ(f->Log, (std::vector<std::string>{"create", "path C:\\Program Files\\Tavrin", "check 0",
                                              "cancel", "close"}));
  EXPECT_THROW(
      {
        f->Show();
        f->ShowModal();
      },
      EInvalidOperation);
}

TEST_F(FormsTest, ControlsKeepTheirRules) {
  auto f = NewWizard();
  f->Show();
  // Focus needs a showing, enabled control.
  auto& edit = Child<TEdit>(*f, "PathEdit");
  auto& check = Child<TCheckBox>(*f, "D7CB");
  check.SetFocus();
  EXPECT_TRUE(check.Focused());
  Child<TGroupBox>(*f, "Options").SetEnabled(false);
  EXPECT_THROW(check.SetFocus(), EInvalidOperation);
  EXPECT_THROW(app.Deliver(TUserAction{TUserAction::uaCheck, f.get(), "D7CB", "1"}), EPresenterError);
  edit.SetReadOnly(true);
  EXPECT_THROW(app.Deliver(TUserAction{TUserAction::uaType, f.get(), "PathEdit", "x"}), EPresenterError);
  EXPECT_THROW(app.Deliver(TUserAction{TUserAction::uaClick, f.get(), "Nothing", ""}), EPresenterError);

  // A radio group takes an item by number or text; a wrong one is refused.
  auto& rg = Child<TRadioGroup>(*f, "RG");
  int clicks = 0;
  rg.OnClick = [&](TObject*) { ++clicks; };
  app.Deliver(TUserAction{TUserAction::uaChoose, f.get(), "RG", "yes"});
  EXPECT_EQ(rg.ItemIndex(), 0);
  EXPECT_THROW(app.Deliver(TUserAction{TUserAction::uaChoose, f.get(), "RG", "7"}), EPresenterError);
  EXPECT_THROW(rg.SetItemIndex(2), EListError);
  EXPECT_EQ(clicks, 1);

  // A tab control asks OnChanging before a user's change; code changes run nothing.
  TTabControl tabs(f.get());
  tabs.SetParent(f.get());
  tabs.SetName("Tabs");
  tabs.Tabs().Add("One");
  tabs.Tabs().Add("Two");
  std::vector<std::string> events;
  bool allow = false;
  tabs.OnChanging = [&](TObject*, bool& a) { events.push_back("changing"), a = allow; };
  tabs.OnChange = [&](TObject*) { events.push_back("change"); };
  app.Deliver(TUserAction{TUserAction::uaChoose, f.get(), "Tabs", "Two"});
  EXPECT_EQ(tabs.TabIndex(), 0);
  allow = true;
  app.Deliver(TUserAction{TUserAction::uaChoose, f.get(), "Tabs", "1"});
  EXPECT_EQ(tabs.TabIndex(), 1);
  tabs.SetTabIndex(0);
  EXPECT_EQ(events, (std::vector<std::string>{"changing", "changing", "change"}));

  // Progress positions stay within their range.
  TProgressBar bar(nullptr);
  bar.SetPosition(150);
  EXPECT_EQ(bar.Position(), 100);
  bar.SetMin(10);
  bar.SetPosition(0);
  EXPECT_EQ(bar.Position(), 10);
  EXPECT_EQ(bar.Percent(), 0);

  // A memo's text is its lines.
  TMemo memo(nullptr);
  memo.Lines().Add("a");
  memo.Lines().Add("b");
  EXPECT_EQ(memo.Text(), "a\r\nb");
  memo.SetText("x\r\ny\r\nz");
  EXPECT_EQ(memo.Lines().Count(), 3);

  // The hourglass counts.
  {
    THourglass outer;
    THourglass inner;
    EXPECT_EQ(Screen().Cursor(), crHourGlass);
  }
  EXPECT_EQ(Screen().Cursor(), crDefault);
}

TEST_F(FormsTest, PagesHostedInAFormAndScreenPlacement) {
  const std::filesystem::path root = std::filesystem::temp_directory_path() /
                                     ("tav_forms_" + std::to_string(::getpid()));
  std::unique_ptr<os::TMachine> machine = os::TMachine::Open(root.string());
  ASSERT_TRUE(machine);
  os::TScopedMachine scoped(*machine);

  std::unique_ptr<TForm> host(New<TForm>(nullptr));
  host->SetBounds(0, 0, 478, 395);
  host->SetPosition(poScreenCenter);
  auto* page1 = New<TWizardTest>(host.get());
  auto* page2 = New<TWizardTest>(host.get());
  // Two roots of one text under one owner get names of their own.
  EXPECT_EQ(page1->Name(), "WizardTest");
  EXPECT_EQ(page2->Name(), "WizardTest_1");
  for (TWizardTest* p : {page1, page2}) {
    p->SetParent(host.get());
    p->SetBounds(0, 0, host->ClientWidth(), host->ClientHeight());
  }
  page1->Show();
  EXPECT_FALSE(page1->Active());  // hosted forms are not activated
  host->Show();
  EXPECT_EQ(host->Left(), (1024 - 478) / 2);
  EXPECT_EQ(host->Top(), (768 - 395) / 2);
  EXPECT_EQ(&CurrentPage(*host), page1);
  page2->Show();
  page2->BringToFront();
  EXPECT_EQ(&CurrentPage(*host), page2);
  // A hosted page's ModalResult button ends the host.
  Child<TButton>(*page2, "ProceedBtn").Click();
  EXPECT_EQ(host->ModalResult(), mrOk);
  EXPECT_EQ(page2->ModalResult(), mrNone);
  host.reset();

  // The program's path is the file it runs, however it was started.
  TApplication app2;
  app2.Initialize({"./setup", "-b"});
  EXPECT_EQ(app2.ParamStr(0), ProgramFileName());
  EXPECT_EQ(app2.ParamStr(0).substr(0, 3), "Z:\\");
  EXPECT_EQ(app2.ParamStr(1), "-b");
  std::filesystem::remove_all(root);
}

TEST_F(FormsTest, TheApplicationMakesItsMainFormAndRunsIt) {
  std::vector<std::string> log;
  // A hook asked for while nothing is made runs once, after the main form is.
  app.AfterMainFormLoaded([&] { log.push_back("hook " + app.MainForm()->Name()); });
  TDataModule* dm = app.CreateForm<TDataModule>();
  EXPECT_EQ(app.MainForm(), nullptr);  // a data module is never the main form
  TWizardTest* main = nullptr;
  app.CreateForm(&main);
  ASSERT_NE(main, nullptr);
  EXPECT_EQ(app.MainForm(), main);
  app.CreateForm<TWizardTest>();
  EXPECT_EQ(app.MainForm(), main);
  app.AfterMainFormLoaded([&] { log.push_back("late"); });
  EXPECT_EQ(log, (std::vector<std::string>{"hook WizardTest", "late"}));
  EXPECT_EQ(Screen().DataModuleCount(), 1);
  EXPECT_EQ(Screen().DataModules(0), dm);

  // Run shows the main form; its first activation may do the work and end
  // the program.
  main->OnActivate = [&](TObject*) {
    log.push_back("activate");
    app.Terminate();
  };
  main->OnDestroy = [&](TObject*) { log.push_back("destroy"); };
  main->OnResize = [&](TObject*) { log.push_back("resize"); };
  app.Run();
  EXPECT_TRUE(app.Terminated());
  main->SetWidth(500);
  delete main;
  EXPECT_EQ(app.MainForm(), nullptr);
  EXPECT_EQ(log, (std::vector<std::string>{"hook WizardTest", "late", "activate", "resize", "destroy"}));
}

TEST_F(FormsTest, RunEndsWhenTheMainFormCloses) {
  TWizardTest* main = app.CreateForm<TWizardTest>();
  presenter->LoadAnswers("[TWizardTest]\ncheck D7CB 0\nclose\n");
  app.Run();
  EXPECT_TRUE(app.Terminated());
  EXPECT_FALSE(main->Visible());
  EXPECT_EQ(main->Log, (std::vector<std::string>{"create", "check 0", "closequery", "close"}));
}

TEST(Graphics, FixedMetricsFontsAndPictures) {
  TCanvas canvas;
  canvas.Font().SetHeight(-11);
  EXPECT_EQ(canvas.TextHeight("x"), 14);
  EXPECT_EQ(canvas.TextWidth("abcd"), 24);
  canvas.Font().SetStyle(1u << fsBold);
  EXPECT_EQ(canvas.TextWidth("abcd"), 28);
  canvas.Font().SetSize(8);
  EXPECT_EQ(canvas.Font().Height(), -11);
  canvas.Font().SetEscapement(900);
  canvas.Brush().Color = clRed;
  canvas.Polygon({{0, 0}, {10, 0}, {10, 10}});
  canvas.TextOut(3, 4, "up");
  canvas.Brush().Style = bsClear;
  canvas.Polygon({{0, 0}, {1, 1}, {2, 0}});
  ASSERT_EQ(canvas.Ops().size(), 2u);
  EXPECT_EQ(canvas.Ops()[0].Color, clRed);
  EXPECT_EQ(canvas.Ops()[1].Escapement, 900);
  EXPECT_EQ(canvas.Ops()[1].At, (TPoint{3, 4}));

  TPicture pic;
  pic.Icon().SetData("ICO");
  const std::string data = pic.StreamData();
  TPicture back;
  back.SetStreamData(data);
  EXPECT_NE(dynamic_cast<TIcon*>(back.Graphic()), nullptr);
  EXPECT_EQ(back.Graphic()->Data(), "ICO");
  EXPECT_THROW(back.SetStreamData(std::string("\x09TBit", 5)), EReadError);
  EXPECT_THROW(back.SetStreamData(std::string("\x05TFoo!", 6)), EReadError);
  EXPECT_STREQ(CharsetCodePage(RUSSIAN_CHARSET), "WINDOWS-1251");
}

}  // namespace
}  // namespace host
