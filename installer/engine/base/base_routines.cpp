#include "installer/engine/base/base_routines.h"

#include "host/rtl/string_list.h"
#include "installer/engine/base/orln_exceptions.h"
#include "os/host_profile.h"
#include "os/win_error.h"
#include "os/win_file.h"

namespace orln {
namespace {

bool IsNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

std::string NameChars(std::string_view s) {
  std::string out;
  for (char c : s) {
    if (IsNameChar(c)) out += c;
  }
  return out;
}

}  // namespace

TOSVerType GetWindowsVersion() {
  const os::TOSVersionInfo v = RaiseDamageAs<EAPIRoutines>([] { return os::GetVersionEx(); });
  switch (v.PlatformId) {
    case os::kPlatformWin32s:
      return os31win32;
    case os::kPlatformWindows:
      return v.MinorVersion == 90 ? oswinME : oswin98;
    case os::kPlatformNT:
      if (v.MajorVersion == 5) return v.MinorVersion == 0 ? oswin2K : oswinXP;
      if (v.MajorVersion == 4) return oswinNT;
      if (v.MajorVersion <= 3) return oswinNT351;
      return osUnidentified;
    default:
      return osUnidentified;
  }
}

bool UsesPerUserRunOnce(TOSVerType version) {
  return version == oswinNT || version == oswin2K || version == oswinXP;
}

std::string GetShortPath(const std::string& path) {
  return os::WinGetShortPathName(path);
}

std::string GetTempFileName(bool keep) {
  const std::string name = os::WinGetTempFileName("bat");
  if (name.empty()) throw EAPIRoutines("Cannot create a temporary file");
  if (!keep) os::WinDeleteFile(name);
  return name;
}

std::string GetSystemDirectory() {
  const std::string dir = RaiseDamageAs<EAPIRoutines>([] { return os::GetSystemDirectory(); });
  if (dir.empty()) throw EAPIRoutines("Could not retrieve the system directroy from windows");
  return dir;
}

std::string GetWindowsDirectory() {
  const std::string dir = RaiseDamageAs<EAPIRoutines>([] { return os::GetWindowsDirectory(); });
  if (dir.empty()) throw EAPIRoutines("Could not retrieve the windows directory from windows");
  return dir;
}

std::string LoadLibraryString(const std::string& library, int id) {
  return RaiseDamageAs<EAPIRoutines>([&] { return os::LoadString(library, id); });
}

std::string IncludeTrailingBackslash(std::string_view s) {
  std::string out(s);
  if (!out.empty() && out.back() != '\\') out += '\\';
  return out;
}

std::string RemoveTrailingBackslash(std::string_view s) {
  if (!s.empty() && s.back() == '\\') s.remove_suffix(1);
  return std::string(s);
}

std::string ExtractFileDrive(std::string_view path) {
  if (path.size() >= 2 && path[1] == ':') return std::string(path.substr(0, 2));
  if (path.size() < 2 || path[0] != '\\' || path[1] != '\\') return std::string();
  // \\server\share: the drive ends before the '\' after the share's name.
  const size_t server_end = path.find('\\', 2);
  if (server_end == std::string_view::npos) return std::string(path);
  const size_t share_end = path.find('\\', server_end + 1);
  return std::string(path.substr(0, share_end));
}

int TokenCount(std::string_view text, char separator) {
  if (text.empty()) return 0;
  int n = 1;
  for (char c : text) n += c == separator ? 1 : 0;
  return n;
}

std::string Token(std::string_view text, int n, char separator) {
  if (n < 1) return "";
  size_t start = 0;
  for (int i = 1; i < n; ++i) {
    const size_t next = text.find(separator, start);
    if (next == std::string_view::npos) return "";
    start = next + 1;
  }
  if (start > text.size()) return "";
  const size_t end = text.find(separator, start);
  return std::string(text.substr(start, end == std::string_view::npos ? text.npos : end - start));
}

void SplitString(std::string_view text, char separator, host::TStrings& list) {
  list.BeginUpdate();
  try {
    list.Clear();
    const int count = TokenCount(text, separator);
    size_t start = 0;
    for (int i = 0; i < count; ++i) {
      const size_t end = text.find(separator, start);
      list.Add(std::string(text.substr(start, end == text.npos ? text.npos : end - start)));
      start = end + 1;
    }
  } catch (...) {
    list.EndUpdate();
    throw;
  }
  list.EndUpdate();
}

std::string TextAfterColon(std::string_view text) {
  const size_t colon = text.find(':');
  return colon == std::string_view::npos ? std::string() : std::string(text.substr(colon + 1));
}

std::string BatchPath(const std::string& path) {
  return path.find(' ') == std::string::npos ? path : "\"" + path + "\"";
}

std::string SafeFileName(std::string_view name) {
  std::string out;
  for (char c : name) {
    switch (c) {
      case '/':
        out += '-';
        break;
      case '"':
      case '*':
      case ':':
      case ';':
      case '<':
      case '>':
      case '?':
      case '\\':
      case '|':
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string InstallFileNameBase(std::string_view fileName) {
  const size_t slash = fileName.find_last_of("\\/:");
  if (slash != std::string_view::npos) fileName.remove_prefix(slash + 1);
  const size_t dot = fileName.rfind('.');
  const std::string_view base = fileName.substr(0, dot);
  const std::string_view ext =
      dot == std::string_view::npos ? std::string_view() : fileName.substr(dot + 1);
  return "IF" + NameChars(base) + "_" + NameChars(ext);
}

std::string MakeUniqueName(host::TComponent& component, const std::string& base) {
  const host::TComponent* owner = component.Owner();
  for (int n = 0;; ++n) {
    const std::string name = n == 0 ? base : base + std::to_string(n);
    const host::TComponent* other = owner != nullptr ? owner->FindComponent(name) : nullptr;
    if (other != nullptr && other != &component) continue;
    component.SetName(name);
    return name;
  }
}

uint32_t WindowsAttributes(TOrlnFileAttributes a) {
  uint32_t bits = 0;
  if (a & OfaBit(ofaArchive)) bits |= os::FILE_ATTRIBUTE_ARCHIVE;
  if (a & OfaBit(ofaDirectory)) bits |= os::FILE_ATTRIBUTE_DIRECTORY;
  if (a & OfaBit(ofaHidden)) bits |= os::FILE_ATTRIBUTE_HIDDEN;
  if (a & OfaBit(ofaNormal)) bits |= os::FILE_ATTRIBUTE_NORMAL;
  if (a & OfaBit(ofaOffline)) bits |= os::FILE_ATTRIBUTE_OFFLINE;
  if (a & OfaBit(ofaReadOnly)) bits |= os::FILE_ATTRIBUTE_READONLY;
  if (a & OfaBit(ofaSystem)) bits |= os::FILE_ATTRIBUTE_SYSTEM;
  if (a & OfaBit(ofaTemporary)) bits |= os::FILE_ATTRIBUTE_TEMPORARY;
  return bits;
}

void SetAttributes(const std::string& path, TOrlnFileAttributes attributes) {
  if (!os::WinSetFileAttributes(path, WindowsAttributes(attributes))) {
    throw IEfcSetAttributes("Cannot set file attributes. Error : %s",
                            {os::WinErrorText(os::GetLastWinError())});
  }
}

TOrlnFileAttributes ReadAttributes(const std::string& path) {
  const uint32_t bits = os::WinGetFileAttributes(path);
  if (bits != os::INVALID_FILE_ATTRIBUTES && (bits & os::FILE_ATTRIBUTE_READONLY) != 0) {
    return OfaBit(ofaReadOnly);
  }
  return 0;
}

std::string ExistingDirectory(const std::string& path) {
  std::string p = path;
  for (;;) {
    if (!p.empty() && os::WinDirectoryExists(p)) return p;
    const size_t slash = p.find_last_of('\\');
    if (slash == std::string::npos) return "";
    p.resize(slash);
  }
}

}  // namespace orln
