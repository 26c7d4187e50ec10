#include "installer/engine/specifiers_office.h"

#include <algorithm>

#include "host/rtl/sys_utils.h"
#include "installer/engine/base_routines.h"
#include "installer/engine/orln_registry.h"
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

}  // namespace

#define ORLN_DEFINE_OFFICE(Name, Description, ShortName)                                \
  namespace {                                                                           \
  const TStandardSpecifierInfo k##Name##Info{Description, ShortName, 0};                \
  }                                                                                     \
  Name::Name(host::TComponent* owner) : TStandardPathSpecifier(owner, k##Name##Info) {} \
  const host::TPropertyTable& Name::ClassProperties() {                                 \
    return StandardSpecifierTable<Name>(#Name);                                         \
  }

ORLN_DEFINE_OFFICE(TpsOfficeUserTemplates, "Path to the MS Office User Templates directory",
                   "User Templates")
ORLN_DEFINE_OFFICE(TpsOfficeWorkgroupTemplates,
                   "Path to the MS Office Workgroup Templates directory", "Workgroup Templates")
ORLN_DEFINE_OFFICE(TpsOfficeClipartDirectory, "Path to the MS Office Clipart directory",
                   "Office Clipart dir")
ORLN_DEFINE_OFFICE(TpsOfficeStartupDirectory, "Path to the MS Office Startup directory",
                   "Office Startup dir")
ORLN_DEFINE_OFFICE(TpsOfficeToolsDirectory, "Path to the MS Office Tools directory",
                   "Office Tools dir")
ORLN_DEFINE_OFFICE(TpsOfficeFavoritesDirectory, "Path to the MS Office Favorites directory",
                   "Office Favorites dir")

#undef ORLN_DEFINE_OFFICE

std::string TpsOfficeUserTemplates::GetPath(host::TComponent* object) {
  Validate(object);
  return UserTemplatesPath();
}

std::string TpsOfficeWorkgroupTemplates::GetPath(host::TComponent* object) {
  Validate(object);
  return OfficeSetting("Common\\FileNew\\SharedTemplates", "", UserTemplatesPath());
}

std::string TpsOfficeClipartDirectory::GetPath(host::TComponent* object) {
  Validate(object);
  return OfficeSetting("Word\\Options", "PICTURE-PATH", OfficeDefault("Microsoft Office\\Clipart"));
}

std::string TpsOfficeStartupDirectory::GetPath(host::TComponent* object) {
  Validate(object);
  return OfficeSetting("Word\\Options", "STARTUP-PATH",
                       OfficeDefault("Microsoft Office\\Office\\Startup"));
}

std::string TpsOfficeToolsDirectory::GetPath(host::TComponent* object) {
  Validate(object);
  return OfficeSetting("Word\\Options", "TOOLS-PATH", OfficeDefault("Microsoft Office\\Office"));
}

std::string TpsOfficeFavoritesDirectory::GetPath(host::TComponent* object) {
  Validate(object);
  // The folder does not depend on the Office version; its default is ours.
  return ReadShellFolder("Favorites", OfficeDefault("Favorites"));
}

void RegisterOfficeSpecifiers(const std::function<void(const host::TPropertyTable&)>& add) {
  for (const host::TPropertyTable* t :
       {&TpsOfficeUserTemplates::ClassProperties(), &TpsOfficeWorkgroupTemplates::ClassProperties(),
        &TpsOfficeClipartDirectory::ClassProperties(),
        &TpsOfficeStartupDirectory::ClassProperties(), &TpsOfficeToolsDirectory::ClassProperties(),
        &TpsOfficeFavoritesDirectory::ClassProperties()})
    add(*t);
}

}  // namespace orln
