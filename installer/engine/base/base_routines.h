// The install library's shared routines: the Windows version the installer
// tells apart, temporary files, the system and Windows folders, the string
// and path routines its Parts share, unique component names, file
// attributes and string resources of system libraries. Paths are virtual
// Windows paths (os/win_path.h).
//
// Callers must keep:
//  - Failures of the Windows wrappers raise EAPIRoutines; failing to set
//    attributes raises IEfcSetAttributes with the system's text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "host/classes/component.h"

namespace host {
class TStrings;
}

namespace orln {

enum TOSVerType {
  os31win32 = 0,
  oswin95 = 1,
  oswinNT = 2,
  oswinNT351 = 3,
  osUnidentified = 4,
  osLinux = 5,
  oswin2K = 6,
  oswin98 = 7,
  oswinME = 8,
  oswinXP = 9,
};

// ---- Windows ----

TOSVerType GetWindowsVersion();
// The versions whose RunOnce entries go under HKEY_CURRENT_USER.
bool UsesPerUserRunOnce(TOSVerType version);
std::string GetShortPath(const std::string& path);
// A new file "bat....tmp" in the temporary folder; without keep it is
// deleted again and only its name is given.
std::string GetTempFileName(bool keep);
std::string GetSystemDirectory();
std::string GetWindowsDirectory();
// A string resource of a system library ("shell32.dll" 9248 and so on).
std::string LoadLibraryString(const std::string& library, int id);

// ---- strings ----

// Adds a '\' unless `s` is empty or ends with one.
std::string IncludeTrailingBackslash(std::string_view s);
// Removes one trailing '\'.
std::string RemoveTrailingBackslash(std::string_view s);
// "C:" of "C:\WINDOWS", "\\server\share" of a network path; else empty.
std::string ExtractFileDrive(std::string_view path);
// 0 for an empty text, else the number of separators plus one.
int TokenCount(std::string_view text, char separator);
// The n-th token (1-based); empty for one that is not there.
std::string Token(std::string_view text, int n, char separator);
// Clears `list` and adds every token.
void SplitString(std::string_view text, char separator, host::TStrings& list);
// The text after the first ':'; empty without one.
std::string TextAfterColon(std::string_view text);
// A path as a batch line names it: quoted when it holds a blank.
std::string BatchPath(const std::string& path);
// '/' becomes '-'; '"', '*', ':', ';', '<', '>', '?', '\' and '|' go.
std::string SafeFileName(std::string_view name);

// ---- names ----

// The name base of an install file: "IF", the file's base name, "_", its
// extension, each cut down to letters, digits and '_'.
std::string InstallFileNameBase(std::string_view fileName);
// Names `component` base, else base1, base2, ... the first no sibling has;
// returns the name given. Raises as SetName does for a base that is no
// identifier.
std::string MakeUniqueName(host::TComponent& component, const std::string& base);

// ---- files ----

enum TOrlnFileAttribute {
  ofaArchive = 0,
  ofaCompressed = 1,
  ofaDirectory = 2,
  ofaHidden = 3,
  ofaNormal = 4,
  ofaOffline = 5,
  ofaReadOnly = 6,
  ofaSystem = 7,
  ofaTemporary = 8,
};
// A set of TOrlnFileAttribute: bit i for attribute i.
using TOrlnFileAttributes = uint32_t;
inline constexpr TOrlnFileAttributes OfaBit(TOrlnFileAttribute a) {
  return TOrlnFileAttributes{1} << a;
}

// The Windows attribute bits of a set (compressed has none).
uint32_t WindowsAttributes(TOrlnFileAttributes attributes);
void SetAttributes(const std::string& path, TOrlnFileAttributes attributes);
// [ofaReadOnly] for a read-only file, else empty.
TOrlnFileAttributes ReadAttributes(const std::string& path);
// The path when it is a folder, else its nearest existing parent; empty when none.
std::string ExistingDirectory(const std::string& path);

}  // namespace orln
