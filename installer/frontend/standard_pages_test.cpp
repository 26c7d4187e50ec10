#include "installer/frontend/standard_pages.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "host/classes/component_text.h"
#include "installer/frontend/progress_forms.h"
#include "installer/frontend/testing/frontend_fixture.h"

namespace orln {
namespace {

using test::FrontendTest;

// A licence component whose page runs `OnPageShow` when it is shown.
class TWatchedLicenseDlg : public TLicenseDlg {
 public:
  using TLicenseDlg::TLicenseDlg;
  void AssignDialogProperties() override {
    TLicenseDlg::AssignDialogProperties();
    Form()->OnShow = [this](host::TObject*) { OnPageShow(static_cast<TLicenseForm&>(*Form())); };
  }
  std::function<void(TLicenseForm&)> OnPageShow;
};

class StandardPagesTest : public FrontendTest {
 protected:
  bool Shows(const std::string& name, const std::string& line, int n = 0) const {
    return Has(ShownWith(name, n), line);
  }
};

TEST_F(StandardPagesTest, TheLicencePageThroughItsComponentNeverShowsBack) {
  Manager("Before", dmBeforeInstall);
  auto* dlg = Make<TWatchedLicenseDlg>("License");
  EXPECT_EQ(dlg->Order(), 20);
  host::TStringList lines;
  lines.Add("Terms line one");
  lines.Add("Terms line two");
  dlg->SetLicenseAgreement(lines);
  dlg->ThemeBitmap().SetStreamData(std::string("\x07TBitmapBM\x01\x02", 11));
  // While the component's page shows: its theme is the component's picture,
  // and a resized host takes its pages along.
  bool themed = false, resized = false;
  dlg->OnPageShow = [&](TLicenseForm& page) {
    themed = !host::Child<host::TImage>(page, "ThemeBitmap").Picture().Empty();
    page.Host()->SetBounds(0, 0, 600, 500);
    resized = page.Width() == 600 && page.Height() == 500;
  };
  presenter_->LoadAnswers("[LicenseForm]\nclick ProceedBtn\n[LicenseForm_1]\nclick ProceedBtn\n");
  Send(imBeforeInstall);
  EXPECT_TRUE(themed);
  EXPECT_TRUE(resized);
  // The unit's own page and the component's, both of Order 20, in the host.
  EXPECT_EQ(Shown("TLicenseForm"), (std::vector<std::string>{"LicenseForm", "LicenseForm_1"}));
  EXPECT_FALSE(Shows("LicenseForm", "BackBtn: << Back>"));       // the first page
  EXPECT_FALSE(Shows("LicenseForm_1", "BackBtn: << Back>"));     // through the component
  bool terms = false;
  for (const std::string& l : ShownWith("LicenseForm_1")) terms = terms || l.rfind("Agreement: Terms line one", 0) == 0;
  EXPECT_TRUE(terms);
  EXPECT_TRUE(Shows("LicenseForm_1", "ProceedBtn: <Accept >>"));
  EXPECT_TRUE(Shows("BaseFormContainer", "Label1: Please read the following License Agreement."));

  // Cancel on the component's page ends the run; its form goes with the host.
  dlg->OnPageShow = [](TLicenseForm&) {};
  presenter_->LoadAnswers(
      "[LicenseForm]\nclick ProceedBtn\n[LicenseForm_1]\nclick CancelBtn\n");
  EXPECT_THROW(Send(imBeforeInstall), EAIUserAbort);
  EXPECT_EQ(FormsOf("TLicenseForm"), 0);
  EXPECT_EQ(dlg->Form(), nullptr);
}

TEST_F(StandardPagesTest, StandaloneComponentsShowTheirPageOnTheirOwnCode) {
  // No managers: each component shows its page by itself.
  auto* license = Make<TLicenseDlg>("License");
  auto* readme = Make<TReadmeDlg>("Readme");
  Make<TBadInstallationDlg>("Bad");
  EXPECT_EQ(license->DialogManager(), nullptr);
  host::TStringList text;
  text.Add("Read me first");
  readme->SetReadmeText(text);
  presenter_->LoadAnswers(
      "[TLicenseForm]\nclick ProceedBtn\n"
      "[TReadmeForm]\nclick ProceedBtn\n"
      "[TBadInstallForm]\nclick ProceedBtn\n"
      "[TLicenseForm]\nclick CancelBtn\n");
  Send(imLicense);
  Send(imReadme);
  Send(imBadInstall);
  EXPECT_EQ(Shown("TLicenseForm"), (std::vector<std::string>{"LicenseForm"}));
  EXPECT_FALSE(Shows("LicenseForm", "BackBtn: << Back>"));
  EXPECT_TRUE(Shows("ReadmeForm", "Information: Read me first"));
  EXPECT_FALSE(Shows("ReadmeForm", "BackBtn: << Back>"));
  // Not hosted, so never the last page: Proceed, not Finish.
  EXPECT_TRUE(Shows("BadInstallForm", "ProceedBtn: <Next >>"));
  EXPECT_FALSE(Shows("BadInstallForm", "FinishBtn: <Finish>"));
  EXPECT_FALSE(Shows("BadInstallForm", "BackBtn: << Back>"));

  EXPECT_THROW(Send(imLicense), EAIUserAbort);
  EXPECT_EQ(FormsOf("TLicenseForm"), 0);
  // A code not its own does nothing.
  presenter_->SetStrict(true);
  Send(imBeforeInstall);
  Send(imReboot);
}

TEST_F(StandardPagesTest, ExecuteRunsItsEventsAndAnEAbortGivesFalse) {
  auto* license = Make<TLicenseDlg>("License");
  std::vector<std::string> log;
  license->OnBeforeExecute = [&](host::TObject*) { log.push_back("before"); };
  license->OnAfterExecute = [&](host::TObject*) { log.push_back("after"); };
  EXPECT_TRUE(license->Execute());  // the default answer: Accept
  EXPECT_EQ(log, (std::vector<std::string>{"before", "after"}));
  license->OnBeforeExecute = [](host::TObject*) { throw host::EAbort("quiet"); };
  EXPECT_FALSE(license->Execute());
}

TEST_F(StandardPagesTest, TheRebootPageShowsTheRequestAndTheChoiceWritesReboot) {
  Manager("Reboot", dmReboot);
  install_->SetReboot(true);
  presenter_->LoadAnswers("[RebootForm]\nchoose RG 1\nclick FinishBtn\n");
  Send(imReboot);
  const std::vector<std::string> shown = ShownWith("RebootForm");
  bool yesChosen = false;
  for (const std::string& l : shown)
    yesChosen = yesChosen || l.find("(*) Yes, I would like to reboot windows") != std::string::npos;
  EXPECT_TRUE(yesChosen);
  // The only page is the last: Finish instead of Proceed.
  EXPECT_TRUE(Has(shown, "FinishBtn: <Finish>"));
  EXPECT_FALSE(Has(shown, "ProceedBtn: <Next >>"));
  EXPECT_FALSE(install_->Reboot());

  // Without Reboot "No" is chosen; choosing "Yes" sets it.
  presenter_->LoadAnswers("[RebootForm]\nchoose RG 0\nclick FinishBtn\n");
  Send(imReboot);
  bool noChosen = false;
  for (const std::string& l : ShownWith("RebootForm", 1))
    noChosen = noChosen || l.find("(*) No, I would not like to reboot windows") != std::string::npos;
  EXPECT_TRUE(noChosen);
  EXPECT_TRUE(install_->Reboot());
}

TEST_F(StandardPagesTest, GoodAndBadInstallPagesFinishTheirPhase) {
  Manager("Good", dmAfterGoodInstall);
  Manager("Bad", dmAfterBadInstall);
  // After a good install: the readme (Order 0), then the notice (Order 10).
  Send(imAfterGoodInstall);
  EXPECT_EQ(Shown("TReadmeForm"), (std::vector<std::string>{"ReadmeForm"}));
  EXPECT_EQ(Shown("TGoodInstallForm"), (std::vector<std::string>{"GoodInstallForm"}));
  EXPECT_TRUE(Shows("GoodInstallForm", "BackBtn: << Back>"));
  EXPECT_TRUE(Shows("GoodInstallForm", "FinishBtn: <Finish>"));
  EXPECT_LT(ShownWith("ReadmeForm").size(), Transcript().size());

  Send(imAfterBadInstall);
  EXPECT_TRUE(Shows("BadInstallForm", "FinishBtn: <Finish>"));
  EXPECT_FALSE(Shows("BadInstallForm", "BackBtn: << Back>"));
  EXPECT_EQ(FormsOf("TBaseFormContainer"), 0);
}

TEST_F(StandardPagesTest, StatusMessagesNest) {
  auto* status = Make<TInstallStatusDlg>("Status");
  install_->ShowStatusMessage("Copying files...");
  ASSERT_NE(status->Form(), nullptr);
  host::TCustomForm& form = *status->Form();
  auto& label = host::Child<host::TLabel>(form, "lblMessage");
  EXPECT_TRUE(form.Visible());
  EXPECT_EQ(label.Caption(), "Copying files...");
  // Sized to the text and centred.
  EXPECT_EQ(form.Width(), label.Width() + 56 + 8 + label.Left() + 25);
  EXPECT_EQ(form.Left(), (1024 - form.Width()) / 2);
  EXPECT_EQ(label.Top(), (form.ClientHeight() - label.Height()) / 2);

  install_->ShowStatusMessage("Registering");
  EXPECT_EQ(label.Caption(), "Registering");
  install_->HideStatusMessage();
  EXPECT_EQ(label.Caption(), "Copying files...");
  EXPECT_TRUE(form.Visible());
  install_->HideStatusMessage();
  EXPECT_FALSE(form.Visible());
  EXPECT_EQ(status->Messages().Count(), 0);
  // One more -973 with nothing on view does nothing.
  install_->HideStatusMessage();
  EXPECT_FALSE(form.Visible());
  EXPECT_EQ(status->FormLanguage(), olEnglish);

  EXPECT_EQ(test::MessageOf<IEBaseInstallDlg>([&] { Send(imStatusMessage); }), "Status got a nil PO parameter");
  TDiskParameter wrong;
  EXPECT_EQ(test::MessageOf<IEBaseInstallDlg>([&] { Send(imStatusMessage, &wrong); }),
            "The PO object passed to Status is not a TMessageParameter object");
}

TEST_F(StandardPagesTest, ComponentsStreamWithTheirOwnStartingOrder) {
  auto* readme = Make<TReadmeDlg>("Readme");
  EXPECT_EQ(readme->Order(), 30);
  auto* copy = Make<TCopyFileDlg>("Copy");
  EXPECT_EQ(copy->Height(), 146);
  EXPECT_EQ(copy->Position(), odpBottomCenter);
  const std::string text = host::WriteComponent(*module_);
  // Defaults are not written; a changed Order is.
  EXPECT_EQ(text.find("Order = 30"), std::string::npos) << text;
  readme->SetOrder(0);
  EXPECT_NE(host::WriteComponent(*module_).find("Order = 0"), std::string::npos);
}

}  // namespace
}  // namespace orln
