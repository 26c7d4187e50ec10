#include "os/batch_file.h"

#include "os/ansi_case.h"
#include "os/machine.h"
#include "os/win_error.h"
#include "os/win_file.h"
#include "os/win_path.h"

namespace os {
namespace {

// A batch larger than this is no batch the installer wrote.
constexpr size_t kMaxBatchFile = 1u << 20;

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// The words of a line: a quoted word runs to its closing quote (or the end
// of the line), any other to the next blank.
std::vector<std::string> SplitWords(std::string_view line) {
  std::vector<std::string> words;
  size_t i = 0;
  for (;;) {
    while (i < line.size() && IsBlank(line[i])) ++i;
    if (i >= line.size()) break;
    std::string word;
    if (line[i] == '"') {
      const size_t close = line.find('"', i + 1);
      const size_t end = close == std::string_view::npos ? line.size() : close;
      word.assign(line.substr(i + 1, end - i - 1));
      i = close == std::string_view::npos ? line.size() : close + 1;
    } else {
      while (i < line.size() && !IsBlank(line[i])) word += line[i++];
    }
    words.push_back(std::move(word));
  }
  return words;
}

class TBatchRun {
 public:
  TBatchRun(const std::string& fileName, std::vector<std::string>& report)
      : file_name_(fileName), report_(report) {}

  bool Ok() const { return ok_; }

  void RunLine(int number, std::string_view line) {
    line_ = number;
    text_ = line;
    const std::vector<std::string> words = SplitWords(line);
    if (words.empty()) return;
    const std::string& command = words[0];
    if (AnsiSameText(line, "@echo off")) return;
    if (AnsiSameText(command, "erase") && words.size() == 2) {
      Erase(words[1]);
    } else if (AnsiSameText(command, "deltree") && words.size() == 3 &&
               AnsiSameText(words[1], "/y")) {
      DelTree(words[2]);
    } else if (AnsiSameText(command, "move") && words.size() == 3) {
      Move(words[1], words[2]);
    } else {
      Fail("skipped: not a command this machine runs");
    }
  }

 private:
  void Fail(const std::string& why) {
    ok_ = false;
    report_.push_back(file_name_ + "(" + std::to_string(line_) + "): " + why + ": " + text_);
  }
  void FailLast(const std::string& path) { Fail(path + ": " + WinErrorText(GetLastWinError())); }

  // A path on a drive of the machine; else reported.
  bool OwnPath(const std::string& path) {
    TWinPath parsed;
    if (!ParseWinPath(path, parsed)) {
      FailLast(path);
      return false;
    }
    if (!WinIsOnMachineDrive(path)) {
      Fail("skipped: " + path + " is not on a drive of this machine");
      return false;
    }
    return true;
  }

  void Erase(const std::string& path) {
    if (!OwnPath(path)) return;
    if (!WinDeleteFile(path)) FailLast(path);
  }

  void DelTree(const std::string& path) {
    if (!OwnPath(path)) return;
    const uint32_t attributes = WinGetFileAttributes(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      FailLast(path);
    } else if (!Remove(path, attributes)) {
      FailLast(path);
    }
  }

  // Removes a file or a folder with its contents, whatever their attributes.
  // Links are removed as files (the listing does not follow them), so the
  // walk cannot leave the folder or go round in a circle.
  bool Remove(const std::string& path, uint32_t attributes) {
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      if ((attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
          !WinSetFileAttributes(path, FILE_ATTRIBUTE_NORMAL)) {
        return false;
      }
      return WinDeleteFile(path);
    }
    std::vector<TWinFindData> entries;
    if (!WinListDirectory(path, entries)) return false;
    for (const TWinFindData& e : entries) {
      if (!Remove(path + "\\" + e.Name, e.Attributes)) return false;
    }
    return WinRemoveDirectory(path);
  }

  void Move(const std::string& from, const std::string& to) {
    if (!OwnPath(from) || !OwnPath(to)) return;
    std::string target = to;
    if (WinDirectoryExists(to)) {
      TWinPath source;
      ParseWinPath(from, source);
      if (source.Parts.empty()) {
        Fail(from + ": " + WinErrorText(winerr::kAccessDenied));
        return;
      }
      target = to + "\\" + source.Parts.back();
    }
    if (!WinReplaceFile(from, target)) FailLast(from);
  }

  const std::string& file_name_;
  std::vector<std::string>& report_;
  int line_ = 0;
  std::string text_;
  bool ok_ = true;
};

}  // namespace

bool WinIsOnMachineDrive(std::string_view path) {
  TWinPath parsed;
  if (!ParseWinPath(path, parsed)) return false;
  const TMachine& machine = CurrentMachine();
  const std::string folder = machine.DriveFolder(parsed.Drive);
  const std::string root = machine.Root() + "/";
  return folder.size() > root.size() && folder.compare(0, root.size(), root) == 0;
}

bool RunBatchText(std::string_view text, const std::string& fileName,
                  std::vector<std::string>& report) {
  TBatchRun run(fileName, report);
  size_t pos = 0;
  int number = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    run.RunLine(++number, line);
    pos = end + 1;
  }
  return run.Ok();
}

bool RunBatchFile(const std::string& path, std::vector<std::string>& report) {
  const int64_t size = WinGetFileSize(path);
  std::string text;
  if (size > static_cast<int64_t>(kMaxBatchFile)) {
    report.push_back(path + ": too large for a batch file");
    return false;
  }
  if (size < 0 || !WinReadWholeFile(path, text)) {
    report.push_back(path + ": " + WinErrorText(GetLastWinError()));
    return false;
  }
  return RunBatchText(text, path, report);
}

}  // namespace os
