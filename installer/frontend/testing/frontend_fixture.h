// A fixture for the front end's tests: a machine of its own, an application
// with a scripted user, a data module holding an install component, and
// helpers to read the transcript. Test code only.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "host/forms/forms.h"
#include "host/forms/scripted_presenter.h"
#include "host/forms/std_controls.h"
#include "installer/engine/base/install_globals.h"
#include "installer/engine/script/install.h"
#include "installer/engine/testing/install_script_fixture.h"
#include "installer/frontend/dialog_manager.h"
#include "installer/frontend/frontend_classes.h"
#include "os/testing/test_machine.h"

namespace orln::test {

class FrontendTest : public os::test::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    RegisterInstallClasses();
    RegisterFrontendClasses();
    host::RegisterClass(host::TDataModule::ClassProperties());
    auto p = std::make_unique<host::TScriptedPresenter>();
    presenter_ = p.get();
    app_.SetPresenter(std::move(p));
    module_ = std::make_unique<host::TDataModule>(nullptr);
    install_ = host::New<TInstall>(module_.get());
    install_->SetName("Install");
  }
  void TearDown() override {
    module_.reset();
    InstallGlobals().Compress.SetAbort(false);
    MachineTest::TearDown();
  }

  // A component of the script, in the install.
  template <class T>
  T* Make(const std::string& name) {
    T* c = host::New<T>(module_.get());
    c->SetName(name);
    if constexpr (std::is_base_of_v<TInstallObject, T>) c->SetContainer(install_);
    return c;
  }
  TDialogManager* Manager(const std::string& name, TManagerType type) {
    auto* m = Make<TDialogManager>(name);
    m->SetManagerType(type);
    return m;
  }
  void Send(int code, host::TObject* parameter = nullptr) { install_->Broadcast(install_, code, parameter); }

  const std::vector<std::string>& Transcript() const { return presenter_->Transcript(); }
  // The names of the forms shown, in order ("show <class> <name> ..." lines).
  std::vector<std::string> Shown(const std::string& className) const {
    std::vector<std::string> out;
    const std::string head = "show " + className + " ";
    for (const std::string& l : Transcript())
      if (l.rfind(head, 0) == 0) out.push_back(l.substr(head.size(), l.find(' ', head.size()) - head.size()));
    return out;
  }
  // The control lines shown with the n-th showing of the form named `name`.
  std::vector<std::string> ShownWith(const std::string& name, int n = 0) const {
    std::vector<std::string> out;
    const auto& t = Transcript();
    for (size_t i = 0; i < t.size(); ++i) {
      if (t[i].rfind("show ", 0) != 0 || t[i].find(" " + name + " '") == std::string::npos) continue;
      if (n-- > 0) continue;
      for (size_t j = i + 1; j < t.size() && t[j].rfind("  ", 0) == 0 && t[j].rfind("  >", 0) != 0; ++j)
        out.push_back(t[j].substr(2));
      break;
    }
    return out;
  }
  static bool Has(const std::vector<std::string>& lines, const std::string& line) {
    for (const std::string& l : lines)
      if (l == line) return true;
    return false;
  }
  // Forms of the screen of that class.
  static int FormsOf(const std::string& className) {
    int n = 0;
    for (int i = 0; i < host::Screen().FormCount(); ++i) n += host::Screen().Forms(i)->ClassName() == className;
    return n;
  }

  host::TApplication app_;
  host::TScriptedPresenter* presenter_ = nullptr;
  std::unique_ptr<host::TDataModule> module_;
  TInstall* install_ = nullptr;
};

}  // namespace orln::test
