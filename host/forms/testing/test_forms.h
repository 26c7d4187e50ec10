// Forms for the tests of the headless forms: a wizard page read from its
// embedded text (host/forms/testing/wizard_test.form) with handlers that
// record what ran, and a component with an extra defined property. Test
// code only.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/classes/component.h"
#include "host/classes/prop_table.h"
#include "host/forms/forms.h"
#include "host/forms/scripted_presenter.h"
#include "host/forms/std_controls.h"
#include "host/forms/testing/wizard_test_form.h"

namespace host::test {

// Streams UniqueID only as an extra property, as install files do.
class TUniqueThing : public TComponent {
 public:
  using TComponent::TComponent;
  int32_t UniqueID() const { return unique_id_; }
  void SetUniqueID(int32_t v) { unique_id_ = v; }
  void DefineProperties(TFiler& filer) const override {
    filer.Define<TUniqueThing>([](TPublisher<TUniqueThing>& p) {
      p.Integer("UniqueID", &TUniqueThing::UniqueID, &TUniqueThing::SetUniqueID);
    });
  }
  static const TPropertyTable& ClassProperties() {
    static const TPropertyTable table = PublishClass<TUniqueThing>(
        "TUniqueThing", &TComponent::ClassProperties(), [](TPublisher<TUniqueThing>&) {});
    return table;
  }
  const TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 private:
  int32_t unique_id_ = -1;
};

class TWizardTest : public TForm {
 public:
  using TForm::TForm;
  std::string_view FormText() const override { return form_texts::wizard_test; }

  std::vector<std::string> Log;
  bool AllowClose = true;
  bool RefuseWithAction = false;

  void FormCreate(TObject*) { Log.push_back("create"); }
  void FormClose(TObject*, TCloseAction& action) {
    Log.push_back("close");
    if (RefuseWithAction) action = caNone;
  }
  void FormCloseQuery(TObject*, bool& canClose) {
    Log.push_back("closequery");
    canClose = AllowClose;
  }
  void PathEditChange(TObject*) { Log.push_back("path " + Child<TEdit>(*this, "PathEdit").Text()); }
  void CheckClick(TObject*) {
    Log.push_back(std::string("check ") + (Child<TCheckBox>(*this, "D7CB").Checked() ? "1" : "0"));
  }
  void BackClick(TObject*) { Log.push_back("back"); }
  void CancelClick(TObject*) {
    Log.push_back("cancel");
    SetModalResult(mrCancel);
  }

  static const TPropertyTable& ClassProperties() {
    static const TPropertyTable table =
        PublishClass<TWizardTest>("TWizardTest", &TForm::ClassProperties(), [](TPublisher<TWizardTest>& p) {
          p.Method("FormCreate", &TWizardTest::FormCreate);
          p.Method("FormClose", &TWizardTest::FormClose);
          p.Method("FormCloseQuery", &TWizardTest::FormCloseQuery);
          p.Method("PathEditChange", &TWizardTest::PathEditChange);
          p.Method("CheckClick", &TWizardTest::CheckClick);
          p.Method("BackClick", &TWizardTest::BackClick);
          p.Method("CancelClick", &TWizardTest::CancelClick);
        });
    return table;
  }
  const TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }
};

inline void RegisterTestForms() {
  RegisterStdControls();
  RegisterClass(TUniqueThing::ClassProperties());
  RegisterClass(TWizardTest::ClassProperties());
}

// An application of its own with a scripted user, for one test.
struct TScriptedApp {
  TScriptedApp() {
    RegisterTestForms();
    auto p = std::make_unique<TScriptedPresenter>();
    presenter = p.get();
    app.SetPresenter(std::move(p));
  }
  TApplication app;
  TScriptedPresenter* presenter = nullptr;
};

}  // namespace host::test
