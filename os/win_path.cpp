#include "os/win_path.h"

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "os/ansi_case.h"
#include "os/machine.h"
#include "os/win_error.h"

namespace os {
namespace {

struct TDirCloser {
  void operator()(DIR* d) const { closedir(d); }
};

constexpr size_t kMaxComponent = 255;

bool IsSeparator(char c) {
  return c == '\\' || c == '/';
}

bool IsForbidden(unsigned char c) {
  return c < 0x20 || c == '"' || c == '*' || c == '?' || c == '<' || c == '>' || c == '|' ||
         c == ':';
}

std::string JoinHost(const std::string& dir, std::string_view name) {
  std::string out = dir;
  if (out.empty() || out.back() != '/') out += '/';
  out += name;
  return out;
}

// True when `path` is `base` or lies below it; both are real (link-free) paths.
bool IsInside(const std::string& path, const std::string& base) {
  if (base == "/") return true;
  return path == base || (path.size() > base.size() && path.compare(0, base.size(), base) == 0 &&
                          path[base.size()] == '/');
}

std::string RealPath(const std::string& path) {
  std::unique_ptr<char, decltype(&free)> real(realpath(path.c_str(), nullptr), &free);
  return real ? std::string(real.get()) : std::string();
}

// The entry of `dir` that equals `name` without regard to case; of several,
// the first in byte order. Empty when there is none.
std::string FindCaseBlind(const std::string& dir, const std::string& name) {
  std::unique_ptr<DIR, TDirCloser> d(opendir(dir.c_str()));
  if (!d) return {};
  std::string best;
  while (const dirent* e = readdir(d.get())) {
    const char* n = e->d_name;
    if (std::strcmp(n, ".") == 0 || std::strcmp(n, "..") == 0) continue;
    if (!AnsiSameText(n, name)) continue;
    if (best.empty() || std::strcmp(n, best.c_str()) < 0) best = n;
  }
  return best;
}

}  // namespace

std::string TWinPath::Text() const {
  std::string out;
  out += Drive;
  out += ":\\";
  for (size_t i = 0; i < Parts.size(); ++i) {
    if (i > 0) out += '\\';
    out += Parts[i];
  }
  return out;
}

bool ParseWinPath(std::string_view path, TWinPath& out) {
  out = TWinPath{};
  for (char c : path) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20) return WinFail(winerr::kInvalidName);
  }
  if (path.size() < 2 || path[1] != ':') return WinFail(winerr::kBadPathname);
  const unsigned char letter = AnsiUpperByte(static_cast<unsigned char>(path[0]));
  if (letter < 'A' || letter > 'Z') return WinFail(winerr::kBadPathname);
  out.Drive = static_cast<char>(letter);
  size_t pos = 2;
  while (pos < path.size()) {
    while (pos < path.size() && IsSeparator(path[pos])) ++pos;
    size_t end = pos;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    std::string_view part = path.substr(pos, end - pos);
    pos = end;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (out.Parts.empty()) return WinFail(winerr::kBadPathname);
      out.Parts.pop_back();
      continue;
    }
    for (char c : part) {
      if (IsForbidden(static_cast<unsigned char>(c))) return WinFail(winerr::kInvalidName);
    }
    // Windows drops trailing dots and blanks of a name.
    while (!part.empty() && (part.back() == '.' || part.back() == ' ')) part.remove_suffix(1);
    if (part.empty()) return WinFail(winerr::kInvalidName);
    if (part.size() > kMaxComponent) return WinFail(winerr::kFilenameExcedRange);
    out.Parts.emplace_back(part);
  }
  return true;
}

bool ResolveWinPath(const TMachine& machine, const TWinPath& path, std::string& hostPath) {
  const std::string folder = machine.DriveFolder(path.Drive);
  if (folder.empty()) return WinFail(winerr::kInvalidDrive);
  std::string host = folder;
  std::string base;  // the drive folder's real path, once a link needs it
  for (size_t i = 0; i < path.Parts.size(); ++i) {
    const std::string& part = path.Parts[i];
    std::string candidate = JoinHost(host, part);
    struct stat st {};
    bool there = lstat(candidate.c_str(), &st) == 0;
    if (!there && errno == ENOENT) {
      const std::string found = FindCaseBlind(host, part);
      if (!found.empty()) {
        std::string other = JoinHost(host, found);
        if (lstat(other.c_str(), &st) == 0) {
          candidate = std::move(other);
          there = true;
        }
      }
    }
    if (!there) {
      // Not there: this and the rest are kept as given.
      host = std::move(candidate);
      for (size_t j = i + 1; j < path.Parts.size(); ++j) host = JoinHost(host, path.Parts[j]);
      break;
    }
    host = std::move(candidate);
    if (S_ISLNK(st.st_mode)) {
      if (base.empty()) base = RealPath(folder);
      const std::string real = RealPath(host);
      if (base.empty() || real.empty() || !IsInside(real, base)) {
        return WinFail(winerr::kBadPathname);
      }
    }
  }
  hostPath = std::move(host);
  return true;
}

bool ResolveWinPath(const TWinPath& path, std::string& hostPath) {
  return ResolveWinPath(CurrentMachine(), path, hostPath);
}

bool ResolveWinPath(std::string_view path, std::string& hostPath) {
  TWinPath parsed;
  return ParseWinPath(path, parsed) && ResolveWinPath(parsed, hostPath);
}

bool HostToWinPath(std::string_view hostPath, std::string& winPath) {
  if (hostPath.empty() || hostPath.front() != '/') return WinFail(winerr::kBadPathname);
  const TMachine& machine = CurrentMachine();
  const std::string path(hostPath);
  const char drive = machine.DriveOfHostPath(path);
  if (drive == 0) return WinFail(winerr::kBadPathname);
  const std::string folder = machine.DriveFolder(drive);
  const std::string rest = folder == "/" ? path.substr(1) : path.substr(folder.size());
  std::string text;
  text += drive;
  text += ":\\";
  for (char c : rest) {
    if (c == '\\') return WinFail(winerr::kInvalidName);  // no Windows name can hold it
    text += c == '/' ? '\\' : c;
  }
  TWinPath parsed;
  if (!ParseWinPath(text, parsed)) return false;
  winPath = parsed.Text();
  return true;
}

}  // namespace os
