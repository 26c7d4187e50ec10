#include "os/host_profile.h"

#include <stdlib.h>

#include <charconv>
#include <cstdio>

#include "os/ansi_case.h"
#include "os/ini_file.h"
#include "os/machine.h"
#include "os/win_error.h"

namespace os {
namespace {

std::string UpperName(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(AnsiUpperByte(static_cast<unsigned char>(c)));
  return out;
}

// A number written in decimal or, after "0x", in hexadecimal.
bool ParseNumber(std::string_view s, int64_t lo, int64_t hi, int64_t& value) {
  int base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    s.remove_prefix(2);
    base = 16;
  }
  if (s.empty()) return false;
  int64_t v = 0;
  const auto r = std::from_chars(s.data(), s.data() + s.size(), v, base);
  if (r.ec != std::errc() || r.ptr != s.data() + s.size() || v < lo || v > hi) return false;
  value = v;
  return true;
}

struct TLangCode {
  const char* code;
  uint16_t primary;
};

// ISO 639 language codes and their Windows primary language ids.
constexpr TLangCode kLanguages[] = {
    {"ar", 0x01}, {"bg", 0x02}, {"ca", 0x03}, {"zh", 0x04}, {"cs", 0x05}, {"da", 0x06},
    {"de", 0x07}, {"el", 0x08}, {"en", 0x09}, {"es", 0x0a}, {"fi", 0x0b}, {"fr", 0x0c},
    {"he", 0x0d}, {"iw", 0x0d}, {"hu", 0x0e}, {"is", 0x0f}, {"it", 0x10}, {"ja", 0x11},
    {"ko", 0x12}, {"nl", 0x13}, {"no", 0x14}, {"nb", 0x14}, {"nn", 0x14}, {"pl", 0x15},
    {"pt", 0x16}, {"ro", 0x18}, {"ru", 0x19}, {"hr", 0x1a}, {"sk", 0x1b}, {"sq", 0x1c},
    {"sv", 0x1d}, {"th", 0x1e}, {"tr", 0x1f}, {"id", 0x21}, {"uk", 0x22}, {"sl", 0x24},
    {"et", 0x25}, {"lv", 0x26}, {"lt", 0x27}, {"vi", 0x2a},
};

struct TSubLang {
  const char* code;
  const char* territory;  // nullptr: any territory not listed before it
  uint16_t sub;
};

// Sublanguages other than the default (1), where the installer's language
// choice or a common locale depends on them.
constexpr TSubLang kSubLanguages[] = {
    {"zh", "TW", 1},    {"zh", "HK", 3}, {"zh", "SG", 4}, {"zh", "MO", 5}, {"zh", nullptr, 2},
    {"nn", nullptr, 2}, {"pt", "PT", 2}, {"en", "GB", 2}, {"en", "AU", 3}, {"en", "CA", 4},
    {"en", "NZ", 5},    {"en", "IE", 6}, {"de", "CH", 2}, {"de", "AT", 3}, {"fr", "BE", 2},
    {"fr", "CA", 3},    {"fr", "CH", 4}, {"es", "MX", 2}, {"nl", "BE", 2}, {"it", "CH", 2},
    {"sv", "FI", 2},
};

constexpr uint16_t kEnglishUS = 0x0409;

// Section and key names of the profile text.
constexpr char kVersion[] = "Version";
constexpr char kFolders[] = "Folders";
constexpr char kSpecialFolders[] = "SpecialFolders";
constexpr char kLocale[] = "Locale";
constexpr char kScreen[] = "Screen";
constexpr char kStrings[] = "Strings";

std::string Hex(unsigned value, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%0*X", digits, value);
  return buf;
}

}  // namespace

uint16_t LangIDFromLocaleName(std::string_view name) {
  const size_t cut = name.find_first_of(".@");
  if (cut != std::string_view::npos) name = name.substr(0, cut);
  std::string_view code = name, territory;
  const size_t us = name.find('_');
  if (us != std::string_view::npos) {
    code = name.substr(0, us);
    territory = name.substr(us + 1);
  }
  const std::string lower = [&] {
    std::string s(code);
    for (char& c : s) c = static_cast<char>(AnsiLowerByte(static_cast<unsigned char>(c)));
    return s;
  }();
  for (const TLangCode& l : kLanguages) {
    if (lower != l.code) continue;
    uint16_t sub = 1;
    for (const TSubLang& s : kSubLanguages) {
      if (lower != s.code) continue;
      if (s.territory == nullptr || AnsiSameText(territory, s.territory)) {
        sub = s.sub;
        break;
      }
    }
    return static_cast<uint16_t>(l.primary | (sub << 10));
  }
  return kEnglishUS;
}

void THostProfile::SetString(std::string_view library, int id, std::string_view text) {
  const auto key = std::make_pair(UpperName(library), id);
  if (text.empty()) {
    Strings.erase(key);
  } else {
    Strings[key] = std::string(text);
  }
}

THostProfile THostProfile::Defaults() {
  THostProfile p;
  p.Version = {5, 1, 2600, kPlatformNT, "Service Pack 2"};
  p.WindowsDirectory = "C:\\WINDOWS";
  p.SystemDirectory = "C:\\WINDOWS\\system32";
  p.TempDirectory = "C:\\WINDOWS\\TEMP";
  const std::string user = "C:\\Documents and Settings\\User";
  const std::string all = "C:\\Documents and Settings\\All Users";
  p.SpecialFolders = {
      {CSIDL_PROGRAMS, user + "\\Start Menu\\Programs"},
      {CSIDL_PERSONAL, user + "\\My Documents"},
      {CSIDL_FAVORITES, user + "\\Favorites"},
      {CSIDL_STARTUP, user + "\\Start Menu\\Programs\\Startup"},
      {CSIDL_RECENT, user + "\\Recent"},
      {CSIDL_SENDTO, user + "\\SendTo"},
      {CSIDL_STARTMENU, user + "\\Start Menu"},
      {CSIDL_DESKTOPDIRECTORY, user + "\\Desktop"},
      {CSIDL_COMMON_STARTMENU, all + "\\Start Menu"},
      {CSIDL_COMMON_PROGRAMS, all + "\\Start Menu\\Programs"},
      {CSIDL_COMMON_STARTUP, all + "\\Start Menu\\Programs\\Startup"},
      {CSIDL_COMMON_DESKTOPDIRECTORY, all + "\\Desktop"},
      {CSIDL_APPDATA, user + "\\Application Data"},
      {CSIDL_COMMON_FAVORITES, all + "\\Favorites"},
      {CSIDL_COOKIES, user + "\\Cookies"},
  };
  const char* lang = getenv("LANG");
  p.UserLangID = LangIDFromLocaleName(lang != nullptr ? lang : "");
  p.ScreenWidth = 1024;
  p.ScreenHeight = 768;
  p.CaptionHeight = 26;
  p.SetString("comdlg32.dll", 703, "Create New Folder");
  p.SetString("shell32.dll", 8977, "Folder:");
  p.SetString("shell32.dll", 9248, "Browse for Folder");
  return p;
}

THostProfile THostProfile::FromText(std::string_view text, const std::string& fileName) {
  THostProfile p = Defaults();
  for (const TIniText::TEntry& e : TIniText::Parse(text, fileName).Entries()) {
    auto damaged = [&](const std::string& why) { return EDamagedFile(fileName, e.Line, why); };
    auto number = [&](int64_t lo, int64_t hi) {
      int64_t v = 0;
      if (!ParseNumber(e.Value, lo, hi, v))
        throw damaged("\"" + e.Value + "\" is not a valid number");
      return v;
    };
    auto path = [&]() {
      // A folder must be a virtual path the machine could hold.
      if (e.Value.size() < 3 || e.Value[1] != ':' || (e.Value[2] != '\\' && e.Value[2] != '/')) {
        throw damaged("\"" + e.Value + "\" is not a path with a drive");
      }
      std::string v = e.Value;
      while (v.size() > 3 && (v.back() == '\\' || v.back() == '/')) v.pop_back();
      return v;
    };
    const std::string& s = e.Section;
    const std::string& k = e.Name;
    if (AnsiSameText(s, kVersion)) {
      if (AnsiSameText(k, "Platform")) {
        p.Version.PlatformId = static_cast<uint32_t>(number(0, 2));
      } else if (AnsiSameText(k, "Major")) {
        p.Version.MajorVersion = static_cast<uint32_t>(number(0, 0xFFFF));
      } else if (AnsiSameText(k, "Minor")) {
        p.Version.MinorVersion = static_cast<uint32_t>(number(0, 0xFFFF));
      } else if (AnsiSameText(k, "Build")) {
        p.Version.BuildNumber = static_cast<uint32_t>(number(0, 0xFFFFFFFF));
      } else if (AnsiSameText(k, "CSDVersion")) {
        if (e.Value.size() > 127) throw damaged("CSDVersion is longer than 127 characters");
        p.Version.CSDVersion = e.Value;
      } else {
        throw damaged("unknown key \"" + k + "\" in [" + s + "]");
      }
    } else if (AnsiSameText(s, kFolders)) {
      if (AnsiSameText(k, "Windows")) {
        p.WindowsDirectory = path();
      } else if (AnsiSameText(k, "System")) {
        p.SystemDirectory = path();
      } else if (AnsiSameText(k, "Temp")) {
        p.TempDirectory = path();
      } else {
        throw damaged("unknown key \"" + k + "\" in [" + s + "]");
      }
    } else if (AnsiSameText(s, kSpecialFolders)) {
      int64_t csidl = 0;
      if (!ParseNumber(k, 0, 0xFF, csidl)) throw damaged("\"" + k + "\" is not a folder number");
      if (e.Value.empty()) {
        p.SpecialFolders.erase(static_cast<int>(csidl));
      } else {
        p.SpecialFolders[static_cast<int>(csidl)] = path();
      }
    } else if (AnsiSameText(s, kLocale)) {
      if (!AnsiSameText(k, "UserLangID")) throw damaged("unknown key \"" + k + "\" in [" + s + "]");
      p.UserLangID = static_cast<uint16_t>(number(0, 0xFFFF));
    } else if (AnsiSameText(s, kScreen)) {
      if (AnsiSameText(k, "Width")) {
        p.ScreenWidth = static_cast<int>(number(1, 65535));
      } else if (AnsiSameText(k, "Height")) {
        p.ScreenHeight = static_cast<int>(number(1, 65535));
      } else if (AnsiSameText(k, "CaptionHeight")) {
        p.CaptionHeight = static_cast<int>(number(0, 1000));
      } else {
        throw damaged("unknown key \"" + k + "\" in [" + s + "]");
      }
    } else if (AnsiSameText(s, kStrings)) {
      // "library,id=text"
      const size_t comma = k.rfind(',');
      int64_t id = 0;
      if (comma == std::string::npos || comma == 0 ||
          !ParseNumber(std::string_view(k).substr(comma + 1), 0, 0xFFFF, id)) {
        throw damaged("\"" + k + "\" is not library,id");
      }
      p.SetString(std::string_view(k).substr(0, comma), static_cast<int>(id), e.Value);
    } else {
      throw damaged("unknown section [" + s + "]");
    }
  }
  return p;
}

std::string THostProfile::ToText() const {
  std::string out;
  auto line = [&](std::string_view name, std::string_view value) {
    out.append(name).append("=").append(value).append("\r\n");
  };
  out += "[Version]\r\n";
  line("Platform", std::to_string(Version.PlatformId));
  line("Major", std::to_string(Version.MajorVersion));
  line("Minor", std::to_string(Version.MinorVersion));
  line("Build", std::to_string(Version.BuildNumber));
  line("CSDVersion", Version.CSDVersion);
  out += "[Folders]\r\n";
  line("Windows", WindowsDirectory);
  line("System", SystemDirectory);
  line("Temp", TempDirectory);
  out += "[SpecialFolders]\r\n";
  // Folders of the defaults that this profile has not, written as removed.
  for (const auto& [csidl, path] : Defaults().SpecialFolders) {
    if (SpecialFolders.count(csidl) == 0) line(Hex(static_cast<unsigned>(csidl), 2), "");
  }
  for (const auto& [csidl, path] : SpecialFolders) line(Hex(static_cast<unsigned>(csidl), 2), path);
  out += "[Locale]\r\n";
  line("UserLangID", Hex(UserLangID, 4));
  out += "[Screen]\r\n";
  line("Width", std::to_string(ScreenWidth));
  line("Height", std::to_string(ScreenHeight));
  line("CaptionHeight", std::to_string(CaptionHeight));
  out += "[Strings]\r\n";
  for (const auto& [key, text] : Defaults().Strings) {
    if (Strings.count(key) == 0) line(key.first + "," + std::to_string(key.second), "");
  }
  for (const auto& [key, text] : Strings) line(key.first + "," + std::to_string(key.second), text);
  return out;
}

TOSVersionInfo GetVersionEx() {
  return CurrentMachine().Profile().Version;
}
std::string GetWindowsDirectory() {
  return CurrentMachine().Profile().WindowsDirectory;
}
std::string GetSystemDirectory() {
  return CurrentMachine().Profile().SystemDirectory;
}

std::string GetTempPath() {
  std::string path = CurrentMachine().Profile().TempDirectory;
  if (path.empty() || path.back() != '\\') path += '\\';
  return path;
}

std::string SHGetSpecialFolderPath(int csidl) {
  const auto& folders = CurrentMachine().Profile().SpecialFolders;
  const auto it = folders.find(csidl);
  return it == folders.end() ? std::string() : it->second;
}

uint16_t GetUserDefaultLangID() {
  return CurrentMachine().Profile().UserLangID;
}

int GetSystemMetrics(int index) {
  const THostProfile& p = CurrentMachine().Profile();
  switch (index) {
    case SM_CXSCREEN:
      return p.ScreenWidth;
    case SM_CYSCREEN:
      return p.ScreenHeight;
    case SM_CYCAPTION:
      return p.CaptionHeight;
    default:
      return 0;
  }
}

std::string LoadString(std::string_view library, int id) {
  const auto& strings = CurrentMachine().Profile().Strings;
  const auto it = strings.find(std::make_pair(UpperName(library), id));
  return it == strings.end() ? std::string() : it->second;
}

}  // namespace os
