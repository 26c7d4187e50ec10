// tavinstallhost: a test-only host for install scripts. It reads a script
// (the text of a form of class TScriptForm holding a TInstall) from the file
// that TAV_INSTALL_SCRIPT names, makes it the program's main form and runs
// the program, so that a test runs an install as the real process a user
// would start, with that process's command line:
//
//   TAV_INSTALL_SCRIPT=script.txt tavinstallhost [--presenter=scripted ...] [-s... -e... -r ...]
//
// Scripts may hold a TRunProbe (a dialog of the install) that writes every
// message it hears to its LogFile (a host path) and can act as a page would:
// answer the before-install wizard with a user abort or a failure, decline
// or fail the restart, or hold still while the first file is copied.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "host/forms/forms.h"
#include "installer/engine/base/orln_exceptions.h"
#include "installer/engine/script/install.h"
#include "installer/engine/script/install_object.h"
#include "os/machine.h"

namespace {

std::string& ScriptText() {
  static std::string text;
  return text;
}

class TScriptForm : public host::TForm {
 public:
  using TForm::TForm;
  std::string_view FormText() const override { return ScriptText(); }
  static const host::TPropertyTable& ClassProperties() {
    static const host::TPropertyTable table = host::PublishClass<TScriptForm>(
        "TScriptForm", &host::TForm::ClassProperties(), [](host::TPublisher<TScriptForm>&) {});
    return table;
  }
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }
};

class TRunProbe : public orln::TInstallObject {
 public:
  using TInstallObject::TInstallObject;
  int GetKind() const override { return 9000; }

  void HandleMessage(host::TObject*, int code, host::TObject* parameter) override {
    std::string line = std::to_string(code);
    if (auto* m = dynamic_cast<orln::TMessageParameter*>(parameter)) line += " " + m->Text;
    Log(line);
    orln::TCustomInstall* install = orln::GlobalInstall();
    if (code == orln::imInstallStarting && install != nullptr) {
      if (decline_reboot_)
        install->OnBeforeReboot = [this](host::TObject*, bool& reboot) {
          Log("declined restart");
          reboot = false;
        };
      if (log_failed_reboot_)
        install->OnFailedReboot = [this](host::TObject*) { Log("failed restart"); };
    }
    if (code == orln::imBeforeInstall) {
      if (before_install_ == 1) throw orln::EAIUserAbort();
      if (before_install_ == 2) throw orln::IEInstall("The probe failed the wizard");
    }
    if (code == orln::imFileStatus && hold_ms_ > 0 && !held_) {
      held_ = true;
      Log("holding");
      usleep(static_cast<useconds_t>(hold_ms_) * 1000);
    }
  }

  const std::string& LogFile() const { return log_file_; }
  void SetLogFile(const std::string& v) { log_file_ = v; }
  int32_t BeforeInstall() const { return before_install_; }
  void SetBeforeInstall(int32_t v) { before_install_ = v; }
  bool DeclineReboot() const { return decline_reboot_; }
  void SetDeclineReboot(bool v) { decline_reboot_ = v; }
  bool LogFailedReboot() const { return log_failed_reboot_; }
  void SetLogFailedReboot(bool v) { log_failed_reboot_ = v; }
  int32_t HoldMs() const { return hold_ms_; }
  void SetHoldMs(int32_t v) { hold_ms_ = v; }

  static const host::TPropertyTable& ClassProperties() {
    static const host::TPropertyTable table = host::PublishClass<TRunProbe>(
        "TRunProbe", &TInstallObject::ClassProperties(), [](host::TPublisher<TRunProbe>& p) {
          orln::PublishContainer(p);
          p.String("LogFile", &TRunProbe::LogFile, &TRunProbe::SetLogFile).DefaultString("");
          p.Integer("BeforeInstall", &TRunProbe::BeforeInstall, &TRunProbe::SetBeforeInstall)
              .Default(0);
          p.Boolean("DeclineReboot", &TRunProbe::DeclineReboot, &TRunProbe::SetDeclineReboot)
              .Default(0);
          p.Boolean("LogFailedReboot", &TRunProbe::LogFailedReboot,
                    &TRunProbe::SetLogFailedReboot)
              .Default(0);
          p.Integer("HoldMs", &TRunProbe::HoldMs, &TRunProbe::SetHoldMs).Default(0);
        });
    return table;
  }
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 private:
  void Log(const std::string& line) {
    if (log_file_.empty()) return;
    std::ofstream out(log_file_, std::ios::app);
    out << line << "\n";
  }

  std::string log_file_;
  int32_t before_install_ = 0;
  bool decline_reboot_ = false;
  bool log_failed_reboot_ = false;
  int32_t hold_ms_ = 0;
  bool held_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  try {
    const char* script = std::getenv("TAV_INSTALL_SCRIPT");
    if (script == nullptr) {
      std::fprintf(stderr, "tavinstallhost: set TAV_INSTALL_SCRIPT to the script's file\n");
      return 2;
    }
    std::ifstream in(script, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "tavinstallhost: cannot read %s\n", script);
      return 2;
    }
    ScriptText().assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    host::TApplication app;
    app.Initialize(argc, argv);
    orln::RegisterInstallClasses();
    host::RegisterClass(TScriptForm::ClassProperties());
    host::RegisterClass(TRunProbe::ClassProperties());
    try {
      app.CreateForm<TScriptForm>();
    } catch (const host::EPresenterError&) {
      throw;
    } catch (const host::Exception& e) {
      // A script that refuses to start (its command line, say) is shown as
      // the program would show it.
      app.ShowException(e);
      return 1;
    }
    app.Run();
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tavinstallhost: %s\n", e.what());
    return 3;
  }
}
