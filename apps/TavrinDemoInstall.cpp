// TavrinDemoInstall: the installer of the Tavrin Database Engine. Its main
// form carries the install script; the command line chooses what it does
// (-b builds the distribution into the folder BUILD.INF names, -s<folder>
// installs from a built distribution, -r finishes after a restart), and the
// presenter options (--unattended, --answers=, --transcript=, ...) choose how
// it meets its user.
//
// Exit status:
//   0  the install completed, or the distribution was built
//   1  the install or the build failed
//   2  the user cancelled the install
//   3  the install ends with a restart; the -r start finishes it
#include <cstdio>
#include <exception>

#include "host/forms/forms.h"
#include "installer/engine/base/orln_exceptions.h"
#include "installer/engine/script/install.h"
#include "installer/frontend/frontend_classes.h"
#include "installer/frontend/main_form.h"

namespace {

enum TExitStatus { esDone = 0, esFailed = 1, esUserAbort = 2, esRestart = 3 };

// What the run came to, as the install's notifications tell it.
struct TRunOutcome {
  bool Good = false;
  bool Built = false;
  bool Aborted = false;
  bool Failed = false;
  bool Restart = false;

  int Status(const orln::TCustomInstall& install) const {
    if (Aborted) return esUserAbort;
    if (Failed) return esFailed;
    if (install.HasOption(orln::ioBuild)) return Built ? esDone : esFailed;
    if (Restart) return esRestart;
    return Good ? esDone : esFailed;
  }
};

}  // namespace

int main(int argc, char** argv) {
  try {
    host::TApplication& app = host::Application();
    app.Initialize(argc, argv);
    orln::RegisterInstallClasses();
    orln::RegisterFrontendClasses();
    // The outcome is followed from the moment the main form is loaded, so
    // that it sees a build made then, before Run.
    TRunOutcome outcome;
    host::TExceptionEvent installHandler;
    app.AfterMainFormLoaded([&] {
      orln::TMainForm* main = orln::MainForm();
      if (main == nullptr) return;
      orln::TInstall& install = main->Install();
      install.OnAfterNotifyGoodInstall = [&outcome](host::TObject*) { outcome.Good = true; };
      install.OnAfterWriteSelfExtract = [&outcome](host::TObject*) { outcome.Built = true; };
      install.OnBeforeReboot = [&outcome](host::TObject*, bool&) { outcome.Restart = true; };
      // The install handles the run's exceptions; a presenter error passes
      // by every handler to end below.
      installHandler = app.OnException;
      app.OnException = [&outcome, &installHandler](host::TObject* sender, const host::Exception& e) {
        if (dynamic_cast<const orln::EAIUserAbort*>(&e) != nullptr)
          outcome.Aborted = true;
        else
          outcome.Failed = true;
        if (installHandler) installHandler(sender, e);
      };
    });
    try {
      app.CreateForm<orln::TMainForm>();
    } catch (const host::EPresenterError&) {
      throw;
    } catch (const host::Exception& e) {
      app.ShowException(e);
      return esFailed;
    }
    orln::TMainForm* main = orln::MainForm();
    if (main == nullptr) return esFailed;
    orln::TInstall& install = main->Install();
    app.Run();
    const int status = outcome.Status(install);
    app.OnException = installHandler;
    return status;
  } catch (const host::EPresenterError& e) {
    std::fprintf(stderr, "TavrinDemoInstall: %s\n", e.what());
    return esFailed;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "TavrinDemoInstall: %s\n", e.what());
    return esFailed;
  }
}
