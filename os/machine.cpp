#include "os/machine.h"

#include <stdlib.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <vector>

#include "os/file.h"
#include "os/registry_store.h"
#include "os/sys_info.h"
#include "os/win_error.h"
#include "os/win_path.h"

namespace os {
namespace {

constexpr int64_t kFloppyCapacity = 1457664;
constexpr char kProfileName[] = "profile.ini";
constexpr size_t kMaxProfileSize = size_t{1} << 20;

std::atomic<TMachine*> g_machine{nullptr};
std::mutex g_default_mutex;
std::unique_ptr<TMachine> g_default;

char UpperLetter(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}

std::string EnvOr(const char* name) {
  const char* v = getenv(name);
  return v != nullptr ? std::string(v) : std::string();
}

}  // namespace

TMachine::TMachine(std::string root) : root_(std::move(root)) {
  capacity_['A'] = kFloppyCapacity;
}

TMachine::~TMachine() = default;

TRegistryStore& TMachine::Registry() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!registry_) registry_ = std::make_unique<TRegistryStore>(RegistryPath());
  return *registry_;
}

std::string TMachine::RegistryPath() const {
  return root_ + "/registry.reg";
}

std::string TMachine::DefaultRoot() {
  std::string root = EnvOr("TAV_MACHINE_ROOT");
  if (!root.empty()) return root;
  std::string data = EnvOr("XDG_DATA_HOME");
  if (data.empty()) {
    const std::string home = EnvOr("HOME");
    data = (home.empty() ? std::string("/tmp") : home) + "/.local/share";
  }
  return data + "/tavrin/machine";
}

std::unique_ptr<TMachine> TMachine::Open(const std::string& root) {
  if (root.empty() || root.find('\0') != std::string::npos) {
    WinFail(winerr::kBadPathname);
    return nullptr;
  }
  std::error_code ec;
  std::filesystem::create_directories(root, ec);
  std::filesystem::path real = std::filesystem::canonical(root, ec);
  if (ec) {
    WinFail(WinErrorFromErrno(ec.value()));
    return nullptr;
  }
  std::unique_ptr<TMachine> machine(new TMachine(real.string()));
  for (const char* drive : {"C", "A"}) {
    std::filesystem::create_directory(real / drive, ec);
    if (ec) {
      WinFail(WinErrorFromErrno(ec.value()));
      return nullptr;
    }
  }
  // The profile, read over the defaults when there is one.
  std::string text;
  if (ReadMachineFile(machine->ProfilePath(), kMaxProfileSize, text)) {
    machine->profile_ = THostProfile::FromText(text, machine->ProfilePath());
  } else {
    machine->profile_ = THostProfile::Defaults();
  }
  // The folders every Windows has, where the profile says they are. A folder
  // that cannot be made is left for the call that needs it to report.
  const THostProfile& p = machine->profile_;
  std::vector<std::string> folders = {p.WindowsDirectory, p.SystemDirectory, p.TempDirectory};
  for (const auto& [csidl, path] : p.SpecialFolders) folders.push_back(path);
  for (const std::string& dir : folders) {
    TWinPath parsed;
    std::string host;
    if (ParseWinPath(dir, parsed) && ResolveWinPath(*machine, parsed, host) &&
        machine->DriveOfHostPath(host) != 'Z') {
      std::filesystem::create_directories(host, ec);
    }
  }
  return machine;
}

std::string TMachine::DriveFolder(char letter) const {
  switch (UpperLetter(letter)) {
    case 'C':
      return root_ + "/C";
    case 'A':
      return root_ + "/A";
    case 'Z':
      return "/";
    default:
      return {};
  }
}

char TMachine::DriveOfHostPath(const std::string& hostPath) const {
  if (hostPath.empty() || hostPath.front() != '/') return 0;
  for (char drive : {'C', 'A'}) {
    const std::string folder = DriveFolder(drive);
    if (hostPath == folder ||
        (hostPath.size() > folder.size() && hostPath.compare(0, folder.size(), folder) == 0 &&
         hostPath[folder.size()] == '/')) {
      return drive;
    }
  }
  return 'Z';
}

std::string TMachine::ProfilePath() const {
  return root_ + "/" + kProfileName;
}

bool TMachine::SaveProfile() {
  return WriteMachineFile(ProfilePath(), profile_.ToText());
}

std::string TMachine::PendingMovesPath() const {
  return root_ + "/restart/moves.txt";
}

std::string TMachine::AttributeTablePath(char letter) const {
  return root_ + "/" + std::string(1, UpperLetter(letter)) + ".attributes";
}

void TMachine::SetDriveCapacity(char letter, int64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  capacity_[UpperLetter(letter)] = bytes;
}

int64_t TMachine::DriveCapacity(char letter) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = capacity_.find(UpperLetter(letter));
  return it == capacity_.end() ? -1 : it->second;
}

void TMachine::SetHostFileInUse(const std::string& hostPath, bool inUse) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (inUse) {
    in_use_.insert(hostPath);
  } else {
    in_use_.erase(hostPath);
  }
}

bool TMachine::IsHostFileMarkedInUse(const std::string& hostPath) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return in_use_.count(hostPath) != 0;
}

void TMachine::SetFailDelayedMoves(bool fail) {
  std::lock_guard<std::mutex> lock(mutex_);
  fail_delayed_moves_ = fail;
}

bool TMachine::FailDelayedMoves() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return fail_delayed_moves_;
}

bool ReadMachineFile(const std::string& path, size_t maxSize, std::string& text) {
  std::unique_ptr<TOSFile> file = TOSFile::Open(path, TFileAccess::Read, TFileShare::DenyNone);
  if (file == nullptr) {
    if (GetLastOSError() == ENOENT) return false;
    throw EDamagedFile(path, 0, "cannot be read: " + GetOSErrorText(GetLastOSError()));
  }
  ReadMachineFile(*file, maxSize, text);
  return true;
}

void ReadMachineFile(TOSFile& file, size_t maxSize, std::string& text) {
  const int64_t size = file.Size();
  if (size < 0 || static_cast<uint64_t>(size) > maxSize) {
    throw EDamagedFile(file.Path(), 0, "too large or unreadable");
  }
  text.assign(static_cast<size_t>(size), '\0');
  if (file.Read(0, text.data(), text.size()) != size) {
    throw EDamagedFile(file.Path(), 0, "cannot be read whole");
  }
}

bool WriteMachineFile(const std::string& path, const std::string& text) {
  const std::string temp = path + ".new";
  {
    std::unique_ptr<TOSFile> file = TOSFile::Create(temp, TFileCreation::CreateAlways);
    if (file == nullptr) return WinFail(WinErrorFromErrno(GetLastOSError()));
    if (file->Write(0, text.data(), text.size()) != static_cast<int64_t>(text.size()) ||
        !file->Flush()) {
      const uint32_t code = WinErrorFromErrno(GetLastOSError());
      file.reset();
      DeleteFile(temp);
      return WinFail(code);
    }
  }
  if (rename(temp.c_str(), path.c_str()) != 0) {
    const uint32_t code = WinErrorFromErrno(errno);
    DeleteFile(temp);
    return WinFail(code);
  }
  return true;
}

TMachine& CurrentMachine() {
  if (TMachine* m = g_machine.load(std::memory_order_acquire)) return *m;
  std::lock_guard<std::mutex> lock(g_default_mutex);
  if (!g_default) {
    const std::string root = TMachine::DefaultRoot();
    g_default = TMachine::Open(root);
    if (!g_default) {
      throw std::runtime_error("The machine root " + root +
                               " cannot be made: " + WinErrorText(GetLastWinError()));
    }
  }
  return *g_default;
}

TMachine* SetMachine(TMachine* machine) {
  return g_machine.exchange(machine, std::memory_order_acq_rel);
}

}  // namespace os
