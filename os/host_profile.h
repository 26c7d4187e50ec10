// The host profile: what the Windows calls about the machine would answer on
// the simulated machine (machine.h) – the Windows platform and version, the
// Windows, system and temporary folders, the shell's special folders, the
// user's language, the screen and the string resources of system libraries.
// It is kept as an INI text, profile.ini in the machine root; a test sets the
// fields and saves, or writes the text itself.
//
// Callers must keep:
//  - The profile holds only what the system calls return. Deciding what a
//    version number means (95 or 98, NT 4 or XP) is the caller's business.
//  - A profile file is read over the defaults (Windows XP): a key left out
//    keeps its default; an empty special folder or string removes it. An
//    unknown section or key, a bad number or a damaged line throws
//    EDamagedFile naming the file and line, so a typing error in a profile is
//    never read as a default.
//  - The user's language defaults from the LANG variable, read by our own
//    table and never through the C library's locale.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>

namespace os {

// Platform ids as the version call reports them.
inline constexpr uint32_t kPlatformWin32s = 0;
inline constexpr uint32_t kPlatformWindows = 1;  // 95, 98, ME
inline constexpr uint32_t kPlatformNT = 2;       // NT, 2000, XP

// Shell special folders the installer asks for.
inline constexpr int CSIDL_DESKTOP = 0x00;
inline constexpr int CSIDL_PROGRAMS = 0x02;
inline constexpr int CSIDL_CONTROLS = 0x03;
inline constexpr int CSIDL_PRINTERS = 0x04;
inline constexpr int CSIDL_PERSONAL = 0x05;
inline constexpr int CSIDL_FAVORITES = 0x06;
inline constexpr int CSIDL_STARTUP = 0x07;
inline constexpr int CSIDL_RECENT = 0x08;
inline constexpr int CSIDL_SENDTO = 0x09;
inline constexpr int CSIDL_BITBUCKET = 0x0a;
inline constexpr int CSIDL_STARTMENU = 0x0b;
inline constexpr int CSIDL_DESKTOPDIRECTORY = 0x10;
inline constexpr int CSIDL_COMMON_STARTMENU = 0x16;
inline constexpr int CSIDL_COMMON_PROGRAMS = 0x17;
inline constexpr int CSIDL_COMMON_STARTUP = 0x18;
inline constexpr int CSIDL_COMMON_DESKTOPDIRECTORY = 0x19;
inline constexpr int CSIDL_APPDATA = 0x1a;
inline constexpr int CSIDL_ALTSTARTUP = 0x1d;
inline constexpr int CSIDL_COMMON_ALTSTARTUP = 0x1e;
inline constexpr int CSIDL_COMMON_FAVORITES = 0x1f;
inline constexpr int CSIDL_COOKIES = 0x21;

// System metrics the installer asks for.
inline constexpr int SM_CXSCREEN = 0;
inline constexpr int SM_CYSCREEN = 1;
inline constexpr int SM_CYCAPTION = 4;

struct TOSVersionInfo {
  uint32_t MajorVersion = 0;
  uint32_t MinorVersion = 0;
  uint32_t BuildNumber = 0;
  uint32_t PlatformId = 0;
  std::string CSDVersion;
};

struct THostProfile {
  TOSVersionInfo Version;
  // Virtual Windows paths without trailing backslash.
  std::string WindowsDirectory;
  std::string SystemDirectory;
  std::string TempDirectory;
  std::map<int, std::string> SpecialFolders;  // CSIDL -> path
  uint16_t UserLangID = 0x0409;
  int ScreenWidth = 0;
  int ScreenHeight = 0;
  int CaptionHeight = 0;
  // (library name in upper case, id) -> text
  std::map<std::pair<std::string, int>, std::string> Strings;

  // Windows XP SP2 in the folders of a standard installation, a 1024 x 768
  // screen, the language of LANG.
  static THostProfile Defaults();
  // `text` read over the defaults; `fileName` names the file in errors.
  static THostProfile FromText(std::string_view text, const std::string& fileName);
  std::string ToText() const;

  void SetString(std::string_view library, int id, std::string_view text);
};

// The language id (primary language in the low 10 bits, sublanguage in the
// next 6) of a locale name of the form language[_TERRITORY][.codeset][@modifier];
// English (United States), 0x0409, for an empty, "C", "POSIX" or unknown name.
uint16_t LangIDFromLocaleName(std::string_view name);

// ---- the calls, answered from the current machine's profile ----
TOSVersionInfo GetVersionEx();
std::string GetWindowsDirectory();
std::string GetSystemDirectory();
// The temporary folder with a trailing backslash.
std::string GetTempPath();
// Empty when the profile has no such folder (as a virtual folder such as the
// printers has no path).
std::string SHGetSpecialFolderPath(int csidl);
uint16_t GetUserDefaultLangID();
// 0 for an index the profile does not hold.
int GetSystemMetrics(int index);
// A string resource of a system library ("shell32.dll", either case); empty
// when there is none.
std::string LoadString(std::string_view library, int id);

}  // namespace os
