#include "installer/engine/base/program_launcher.h"

#include "installer/engine/base/orln_exceptions.h"
#include "os/process.h"
#include "os/win_error.h"

namespace orln {

std::string ProgramLauncherErrorText(uint32_t code) {
  switch (code) {
    case 0:
    case 8:
      return "Out of memory";
    case 2:
      return "File not found";
    case 3:
      return "Path not found";
    case 5:
      return "Sharing violation";
    case 6:
      return "Library/Segment error";
    case 10:
      return "Incorrect version of windows";
    case 11:
      return "Invalid file";
    case 12:
    case 13:
      return "Invalid DOS version";
    case 14:
    case 31:
      return "File type has no association";
    case 15:
      return "Cannot load a Real-mode application";
    case 16:
      return "Invalid attempt to launch second instance";
    case 19:
      return "Cannot load a compressed executable file";
    case 20:
      return "Invalid dynamic link library";
    case 21:
      return "Application requires Win32";
    default:
      return "Unknown error";
  }
}

void TProgramLauncher::Execute() {
  static constexpr int kShow[] = {os::SW_SHOWNORMAL, os::SW_SHOWMAXIMIZED, os::SW_SHOWMINIMIZED,
                                  os::SW_HIDE};
  // The command line a program reads starts with its own name; without it
  // the first parameter would be taken for the program's name and lost.
  std::string commandLine = "\"" + file_name_ + "\"";
  if (!parameters_.empty()) commandLine += " " + parameters_;
  const int show =
      show_mode_ >= smNormal && show_mode_ <= smHide ? kShow[show_mode_] : os::SW_SHOWNORMAL;
  if (!os::CreateProcess(file_name_, commandLine, start_dir_, show)) {
    const uint32_t code = os::GetLastWinError();
    throw EProgramLauncherFailed(code, ProgramLauncherErrorText(code));
  }
}

}  // namespace orln
