#include "installer/engine/paths/office_paths.h"

#include <algorithm>

#include "host/rtl/sys_utils.h"
#include "installer/engine/base/base_routines.h"
#include "installer/engine/base/orln_registry.h"
#include "os/win_file.h"

namespace orln {

int GetWordVersion() {
  const std::string current = RegReadString(hkClassesRoot, "\\Word.Document\\CurVer", "", "");
  // "Word.Document.8": the version follows the second of exactly two dots.
  if (std::count(current.begin(), current.end(), '.') != 2) return -1;
  int32_t version = 0;
  if (!host::TryStrToInt(current.substr(current.rfind('.') + 1), version)) return -1;
  const std::string server =
      RegReadString(hkClassesRoot, "\\" + current + "\\protocol\\StdFileEditing\\server", "", "");
  if (server.empty() || !os::WinFileExists(server)) return -1;
  return version;
}

std::string OfficeSettingsKey(int version) {
  const char* base = nullptr;
  if (version == 7 || version == 8)
    base = "\\Software\\Microsoft\\Office\\";
  else if (version >= 9 && version <= 19)
    base = "\\Software\\Policies\\Microsoft\\Office\\";
  else
    return std::string();
  return base + std::to_string(version) + ".0\\";
}

namespace {

std::string OfficeDefault(const char* tail) {
  return GetProgramFilesDirectory() + "\\" + tail;
}

// A string of the settings of the registered Office version; `fallback`
// without a version or a value.
std::string OfficeSetting(const std::string& subkey, const std::string& name,
                          const std::string& fallback) {
  const std::string key = OfficeSettingsKey(GetWordVersion());
  if (key.empty()) return fallback;
  return RegReadString(hkCurrentUser, key + subkey, name, fallback);
}

std::string UserTemplatesPath() {
  return OfficeSetting("Common\\FileNew\\LocalTemplates", "",
                       OfficeDefault("Microsoft Office\\Templates"));
}

std::string WorkgroupTemplatesPath() {
  return OfficeSetting("Common\\FileNew\\SharedTemplates", "", UserTemplatesPath());
}

std::string ClipartPath() {
  return OfficeSetting("Word\\Options", "PICTURE-PATH", OfficeDefault("Microsoft Office\\Clipart"));
}

std::string StartupPath() {
  return OfficeSetting("Word\\Options", "STARTUP-PATH",
                       OfficeDefault("Microsoft Office\\Office\\Startup"));
}

std::string ToolsPath() {
  return OfficeSetting("Word\\Options", "TOOLS-PATH", OfficeDefault("Microsoft Office\\Office"));
}

// The folder does not depend on the Office version; its default is ours.
std::string FavoritesPath() {
  return ReadShellFolder("Favorites", OfficeDefault("Favorites"));
}

}  // namespace

ORLN_DEFINE_STANDARD_SPECIFIER(TpsOfficeUserTemplates, TFolderSpecifier,
                               "Path to the MS Office User Templates directory", "User Templates",
                               0, &UserTemplatesPath)
ORLN_DEFINE_STANDARD_SPECIFIER(TpsOfficeWorkgroupTemplates, TFolderSpecifier,
                               "Path to the MS Office Workgroup Templates directory",
                               "Workgroup Templates", 0, &WorkgroupTemplatesPath)
ORLN_DEFINE_STANDARD_SPECIFIER(TpsOfficeClipartDirectory, TFolderSpecifier,
                               "Path to the MS Office Clipart directory", "Office Clipart dir", 0,
                               &ClipartPath)
ORLN_DEFINE_STANDARD_SPECIFIER(TpsOfficeStartupDirectory, TFolderSpecifier,
                               "Path to the MS Office Startup directory", "Office Startup dir", 0,
                               &StartupPath)
ORLN_DEFINE_STANDARD_SPECIFIER(TpsOfficeToolsDirectory, TFolderSpecifier,
                               "Path to the MS Office Tools directory", "Office Tools dir", 0,
                               &ToolsPath)
ORLN_DEFINE_STANDARD_SPECIFIER(TpsOfficeFavoritesDirectory, TFolderSpecifier,
                               "Path to the MS Office Favorites directory", "Office Favorites dir",
                               0, &FavoritesPath)

void RegisterOfficeSpecifiers(const std::function<void(const host::TPropertyTable&)>& add) {
  for (const host::TPropertyTable* t :
       {&TpsOfficeUserTemplates::ClassProperties(), &TpsOfficeWorkgroupTemplates::ClassProperties(),
        &TpsOfficeClipartDirectory::ClassProperties(),
        &TpsOfficeStartupDirectory::ClassProperties(), &TpsOfficeToolsDirectory::ClassProperties(),
        &TpsOfficeFavoritesDirectory::ClassProperties()})
    add(*t);
}

}  // namespace orln
