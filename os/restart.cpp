#include "os/restart.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "os/ansi_case.h"
#include "os/batch_file.h"
#include "os/host_profile.h"
#include "os/ini_file.h"
#include "os/machine.h"
#include "os/process.h"
#include "os/registry_store.h"
#include "os/win_error.h"
#include "os/win_file.h"

namespace os {
namespace {

constexpr char kRunOnceKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
constexpr size_t kMaxRequestsFile = 1u << 20;

bool RestartsRecorded() {
  const char* v = std::getenv("TAV_RECORD_RESTART");
  return v != nullptr && std::string_view(v) == "1";
}

std::string LastErrorText() {
  return WinErrorText(GetLastWinError());
}

bool EndsWithNoCase(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && AnsiSameText(s.substr(s.size() - tail.size()), tail);
}

// Step 1: the moves recorded with WinMoveFileDelayed.
bool ApplyDelayedMoves(std::vector<std::string>& report) {
  bool ok = true;
  for (const TDelayedMove& m : WinReadDelayedMoves()) {
    if (!WinReplaceFile(m.From, m.To)) {
      report.push_back("cannot move " + m.From + " to " + m.To + ": " + LastErrorText());
      ok = false;
    }
  }
  if (!WinClearDelayedMoves()) {
    report.push_back("cannot forget the delayed moves: " + LastErrorText());
    ok = false;
  }
  return ok;
}

// Step 2: WININIT.INI's [Rename] section, names the old file, values the new.
bool ApplyWininit(std::vector<std::string>& report) {
  const std::string windows = GetWindowsDirectory();
  const std::string path = windows + "\\WININIT.INI";
  if (!WinFileExists(path)) return true;
  std::string text;
  if (!WinReadWholeFile(path, text)) {
    report.push_back(path + ": " + LastErrorText());
    return false;
  }
  bool ok = true;
  for (const TIniText::TEntry& e : TIniText::Parse(text, path).Entries()) {
    if (!AnsiSameText(e.Section, "Rename")) continue;
    const bool done =
        AnsiSameText(e.Name, "NUL") ? WinDeleteFile(e.Value) : WinReplaceFile(e.Value, e.Name);
    if (!done) {
      report.push_back(path + "(" + std::to_string(e.Line) + "): " + e.Name + "=" + e.Value +
                       ": " + LastErrorText());
      ok = false;
    }
  }
  if (!WinReplaceFile(path, windows + "\\WININIT.BAK")) {
    report.push_back(path + ": cannot rename to WININIT.BAK: " + LastErrorText());
    ok = false;
  }
  return ok;
}

bool RunCommand(const std::string& command, std::vector<std::string>& report) {
  const std::vector<std::string> words = SplitCommandLine(command);
  if (words.empty()) return true;
  if (EndsWithNoCase(words[0], ".bat")) return RunBatchFile(words[0], report);
  if (CreateProcess("", command, "", SW_SHOWNORMAL)) return true;
  report.push_back("cannot start " + command + ": " + LastErrorText());
  return false;
}

// Step 3: the RunOnce values of one root.
bool RunOnce(TRegRoot root, std::vector<std::string>& report) {
  TRegistryStore& registry = MachineRegistry();
  std::vector<std::string> names;
  if (!registry.GetValueNames(root, kRunOnceKey, names)) return true;
  bool ok = true;
  for (const std::string& name : names) {
    const std::string where = std::string(RegRootName(root)) + "\\" + kRunOnceKey + " " + name;
    TRegValue value;
    if (!registry.ReadValue(root, kRunOnceKey, name, value)) continue;  // gone meanwhile
    // Deleted before it runs, so that a command that never ends or brings
    // the machine down does not run at every start.
    if (!registry.DeleteValue(root, kRunOnceKey, name)) {
      report.push_back(where + ": cannot delete: " + LastErrorText());
      ok = false;
      continue;
    }
    if (value.Type != REG_SZ && value.Type != REG_EXPAND_SZ) {
      report.push_back(where + ": skipped: not a command line");
      ok = false;
      continue;
    }
    if (!RunCommand(value.Data, report)) ok = false;
  }
  return ok;
}

// Runs one step; a damaged file stops the step, never the restart.
template <class F>
bool Step(std::vector<std::string>& report, F&& step) {
  try {
    return step();
  } catch (const EDamagedFile& e) {
    report.push_back(e.what());
    return false;
  }
}

}  // namespace

std::string RestartRequestsPath() {
  return CurrentMachine().Root() + "/restart/requests.txt";
}

bool WinExitWindows(uint32_t flags) {
  if (!RestartsRecorded()) return WinFail(winerr::kAccessDenied);
  const std::string record = RestartRequestsPath();
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(record).parent_path(), ec);
  if (ec) return WinFail(WinErrorFromErrno(ec.value()));
  char line[16];
  std::snprintf(line, sizeof line, "%08X\n", flags);
  const int fd = ::open(record.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return WinFail(WinErrorFromErrno(errno));
  // One line in one write: concurrent requests never mix.
  ssize_t n;
  do {
    n = ::write(fd, line, 9);
  } while (n < 0 && errno == EINTR);
  const int code = n < 0 ? errno : (n != 9 ? ENOSPC : 0);
  ::close(fd);
  return code == 0 || WinFail(WinErrorFromErrno(code));
}

std::vector<uint32_t> WinReadRestartRequests() {
  const std::string record = RestartRequestsPath();
  std::vector<uint32_t> requests;
  std::string text;
  if (!ReadMachineFile(record, kMaxRequestsFile, text)) return requests;
  size_t pos = 0;
  for (int line = 1; pos < text.size(); ++line, pos += 9) {
    uint32_t flags = 0;
    bool good = text.size() - pos >= 9 && text[pos + 8] == '\n';
    for (size_t i = 0; good && i < 8; ++i) {
      const char c = text[pos + i];
      const int digit = c >= '0' && c <= '9' ? c - '0' : (c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1);
      good = digit >= 0;
      flags = flags << 4 | static_cast<uint32_t>(digit);
    }
    if (!good) throw EDamagedFile(record, line, "not eight hexadecimal digits and a line end");
    requests.push_back(flags);
  }
  return requests;
}

bool RestartMachine(std::vector<std::string>& report) {
  bool ok = Step(report, [&] { return ApplyDelayedMoves(report); });
  ok = Step(report, [&] { return ApplyWininit(report); }) && ok;
  ok = Step(report, [&] { return RunOnce(TRegRoot::LocalMachine, report); }) && ok;
  ok = Step(report, [&] { return RunOnce(TRegRoot::CurrentUser, report); }) && ok;
  return ok;
}

}  // namespace os
