#include "os/registrar.h"

#include <map>
#include <mutex>

#include "os/ansi_case.h"
#include "os/machine.h"
#include "os/win_error.h"
#include "os/win_file.h"

namespace os {
namespace {

constexpr size_t kMaxRecord = 4u << 20;
constexpr char kRecordName[] = "/registrations.txt";

std::mutex g_mutex;  // guards the hooks and the record's read-modify-write

std::string UpperKey(const std::string& path) {
  std::string key = path;
  for (char& c : key) c = static_cast<char>(AnsiUpperByte(static_cast<unsigned char>(c)));
  return key;
}

std::map<std::string, TRegistrationResult>& Faults() {
  static std::map<std::string, TRegistrationResult> faults;
  return faults;
}

const char* KindName(TRegistrationKind kind) {
  switch (kind) {
    case TRegistrationKind::Library:
      return "library";
    case TRegistrationKind::TypeLibrary:
      return "typelib";
    case TRegistrationKind::Program:
      return "program";
  }
  return "library";
}

std::string RecordPath() { return CurrentMachine().Root() + kRecordName; }

}  // namespace

TRegistrationResult RegisterServer(TRegistrationKind kind, const std::string& path,
                                   const std::string& helpDirectory) {
  std::lock_guard<std::mutex> lock(g_mutex);
  TRegistrationResult result;
  if (!WinFileExists(path)) {
    result.Stage = TRegistrationStage::Load;
    result.Code = static_cast<int32_t>(winerr::kFileNotFound);
    SetLastWinError(winerr::kFileNotFound);
    return result;
  }
  if (auto it = Faults().find(UpperKey(path)); it != Faults().end()) {
    if (it->second.Stage != TRegistrationStage::Result)
      SetLastWinError(static_cast<uint32_t>(it->second.Code));
    return it->second;
  }
  std::string text;
  ReadMachineFile(RecordPath(), kMaxRecord, text);
  text += std::string(KindName(kind)) + "\t" + path;
  if (kind == TRegistrationKind::TypeLibrary) text += "\t" + helpDirectory;
  text += "\n";
  if (text.size() > kMaxRecord || !WriteMachineFile(RecordPath(), text)) {
    // The registration itself failed to take hold: as a server that
    // returned an error.
    result.Stage = TRegistrationStage::Result;
    result.Code = static_cast<int32_t>(0x80004005u);  // E_FAIL
  }
  return result;
}

std::vector<TRegistration> ReadRegistrations() {
  std::lock_guard<std::mutex> lock(g_mutex);
  std::string text;
  std::vector<TRegistration> out;
  if (!ReadMachineFile(RecordPath(), kMaxRecord, text)) return out;
  size_t start = 0;
  int lineNo = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    ++lineNo;
    if (line.empty()) continue;
    const size_t tab = line.find('\t');
    if (tab == std::string::npos) throw EDamagedFile(RecordPath(), lineNo, "no tab after the kind");
    const std::string kind = line.substr(0, tab);
    TRegistration r;
    if (kind == "library") {
      r.Kind = TRegistrationKind::Library;
    } else if (kind == "typelib") {
      r.Kind = TRegistrationKind::TypeLibrary;
    } else if (kind == "program") {
      r.Kind = TRegistrationKind::Program;
    } else {
      throw EDamagedFile(RecordPath(), lineNo, "unknown kind '" + kind + "'");
    }
    std::string rest = line.substr(tab + 1);
    if (r.Kind == TRegistrationKind::TypeLibrary) {
      const size_t second = rest.find('\t');
      if (second == std::string::npos)
        throw EDamagedFile(RecordPath(), lineNo, "no help folder for a type library");
      r.HelpDirectory = rest.substr(second + 1);
      rest.resize(second);
    }
    r.Path = rest;
    out.push_back(std::move(r));
  }
  return out;
}

void SetRegistrationFault(const std::string& path, TRegistrationStage stage, int32_t code) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (stage == TRegistrationStage::Done) {
    Faults().erase(UpperKey(path));
    return;
  }
  Faults()[UpperKey(path)] = TRegistrationResult{stage, code};
}

}  // namespace os
