// Test classes and a fixture for the install script: a machine of its own
// (Windows XP, an empty registry), a data module that owns the script, and
// install objects of the kinds the tests need that record what reaches them
// in one shared log. Test code only.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "host/classes/component_text.h"
#include "host/forms/forms.h"
#include "installer/engine/base/orln_exceptions.h"
#include "installer/engine/paths/install_paths.h"
#include "installer/engine/script/file_container.h"
#include "installer/engine/script/install.h"
#include "installer/engine/script/install_object.h"
#include "os/testing/test_machine.h"
#include "os/win_file.h"

namespace orln::test {

// The message of the E that f raises.
template <class E, class F>
std::string MessageOf(F f) {
  try {
    f();
  } catch (const E& e) {
    return e.Message();
  }
  return "(nothing raised)";
}

inline std::vector<std::string>& ScriptLog() {
  static std::vector<std::string> log;
  return log;
}

// Logs "<name> <code>" for each message it hears; OnMessage runs after.
class TTestDialog : public TInstallObject {
 public:
  using TInstallObject::TInstallObject;
  int GetKind() const override { return 9000; }
  void HandleMessage(host::TObject*, int code, host::TObject* parameter) override {
    ScriptLog().push_back(Name() + " " + std::to_string(code));
    if (auto* m = dynamic_cast<TMessageParameter*>(parameter)) ScriptLog().push_back(m->Text);
    if (OnMessage) OnMessage(code);
  }
  std::function<void(int)> OnMessage;

  static const host::TPropertyTable& ClassProperties() {
    static const host::TPropertyTable table = host::PublishClass<TTestDialog>(
        "TTestDialog", &TInstallObject::ClassProperties(), [](host::TPublisher<TTestDialog>& p) {
          PublishContainer(p);
          p.Integer("Order", &TTestDialog::Order, &TTestDialog::SetOrder).Default(-1);
        });
    return table;
  }
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }
};

// A file of the file branch: logs "<name> children" when its action runs.
class TTestFile : public TFileRelated {
 public:
  using TFileRelated::TFileRelated;
  int GetKind() const override { return 2000; }
  void ProcessChildren() override {
    ScriptLog().push_back(Name() + " children");
    TFileRelated::ProcessChildren();
  }
  void WriteUninstallData(const std::string& keyPath) override {
    if (LogUninstall) ScriptLog().push_back(Name() + " uninstall " + keyPath);
  }
  bool LogUninstall = false;
  static const host::TPropertyTable& ClassProperties() {
    static const host::TPropertyTable table = host::PublishClass<TTestFile>(
        "TTestFile", &TFileRelated::ClassProperties(), [](host::TPublisher<TTestFile>& p) {
          PublishContainer(p);
          PublishInclude(p);
          PublishOS(p);
          PublishUninstall(p);
          PublishInstallTypes(p, ItBit(itFull) | ItBit(itDefault) | ItBit(itCompact));
          PublishProcessEvents(p);
        });
    return table;
  }
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }
};

// A specifier with a fixed path that records whom it validated.
class TFixedSpecifier : public TCustomPathSpecifier {
 public:
  using TCustomPathSpecifier::TCustomPathSpecifier;
  void Validate(host::TComponent* object) override {
    validated = object;
    if (refuse) throw IEPathSpecifier("refused");
  }
  std::string GetPath(host::TComponent*) override { return path; }
  std::string path = "C:\\WINDOWS\\system32";
  host::TComponent* validated = nullptr;
  bool refuse = false;
};

// A directory: a plain file container.
class TTestDirectory : public TFileContainer {
 public:
  using TFileContainer::TFileContainer;
  void DoInformationEventControl(host::TObject* sender, int code, host::TObject* parameter) override {
    ScriptLog().push_back(Name() + " event " + std::to_string(code));
    TFileContainer::DoInformationEventControl(sender, code, parameter);
  }
  static const host::TPropertyTable& ClassProperties() {
    static const host::TPropertyTable table = host::PublishClass<TTestDirectory>(
        "TTestDirectory", &TFileContainer::ClassProperties(),
        [](host::TPublisher<TTestDirectory>& p) {
          PublishContainer(p);
          p.String("Description", &TTestDirectory::Description, &TTestDirectory::SetDescription)
              .DefaultString("");
        });
    return table;
  }
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }
};

// A child process that holds `path` open until it is killed.
class THolder {
 public:
  explicit THolder(const std::string& path) {
    int ready[2];
    EXPECT_EQ(pipe(ready), 0);
    pid_ = fork();
    if (pid_ == 0) {
      auto file = os::TWinFile::Open(path, os::TFileAccess::Read, os::TFileShare::DenyNone);
      const char c = file ? '1' : '0';
      if (write(ready[1], &c, 1) != 1) _exit(2);
      for (;;) pause();
    }
    close(ready[1]);
    char c = 0;
    EXPECT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    EXPECT_EQ(c, '1');
  }
  ~THolder() {
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
  }

 private:
  pid_t pid_ = -1;
};

class InstallScriptTest : public os::test::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    ScriptLog().clear();
    RegisterInstallClasses();
    host::RegisterClass(host::TDataModule::ClassProperties());
    for (const host::TPropertyTable* t :
         {&TTestDialog::ClassProperties(), &TTestFile::ClassProperties(),
          &TTestDirectory::ClassProperties()})
      host::RegisterClass(*t);
  }
  void TearDown() override {
    module_.DestroyComponents();
    MachineTest::TearDown();
  }

  template <class T>
  T* Make(const std::string& name, TInstallContainer* container = nullptr) {
    T* c = host::New<T>(&module_);
    c->SetName(name);
    if (container != nullptr) {
      if constexpr (std::is_base_of_v<TInstallObject, T>) c->SetContainer(container);
    }
    return c;
  }
  // The children's names in order, joined by blanks.
  static std::string Children(const TInstallContainer& c) {
    std::string out;
    for (int i = 0; i < c.CompCount(); ++i) out += (i ? " " : "") + c.Comp(i)->Name();
    return out;
  }

  host::TDataModule module_{nullptr};
};

}  // namespace orln::test
