#include "installer/engine/specifiers_windows.h"

#include "os/host_profile.h"

namespace orln {

namespace {

bool IsNTFamily(TOSVerType v) {
  return v == oswinNT || v == oswin2K || v == oswinXP;
}
bool Is9xFamily(TOSVerType v) {
  return v == oswin95 || v == oswin98 || v == oswinME;
}

}  // namespace

std::string SpecialFolderPath(int csidl) {
  return os::SHGetSpecialFolderPath(csidl);
}

TShellFolderSpecifier::TShellFolderSpecifier(host::TComponent* owner,
                                             const TStandardSpecifierInfo& info, TFolders folders)
    : TStandardPathSpecifier(owner, info), folders_(folders) {}

int TShellFolderSpecifier::FolderFor(TOSVerType version) const {
  if (IsNTFamily(version)) return folders_.NT;
  if (Is9xFamily(version)) return folders_.NineX;
  return kFolderNone;
}

std::string TShellFolderSpecifier::GetPath(host::TComponent* object) {
  Validate(object);
  const int folder = FolderFor(GetWindowsVersion());
  if (folder == kFolderUndefined) return kUndefinedFolder;
  if (folder == kFolderNone) return std::string();
  return SpecialFolderPath(folder);
}

#define ORLN_DEFINE_SHELL_FOLDER(Name, Description, ShortName, NT, NineX) \
  namespace {                                                             \
  const TStandardSpecifierInfo k##Name##Info{Description, ShortName, 0};  \
  }                                                                       \
  Name::Name(host::TComponent* owner)                                     \
      : TShellFolderSpecifier(owner, k##Name##Info, {NT, NineX}) {}       \
  const host::TPropertyTable& Name::ClassProperties() {                   \
    return StandardSpecifierTable<Name>(#Name);                           \
  }

ORLN_DEFINE_SHELL_FOLDER(TpsRecent, "Recently Used Documents", "Recently Used", os::CSIDL_RECENT,
                         kFolderUndefined)
ORLN_DEFINE_SHELL_FOLDER(TpsPrinters, "virtual folder containing installed printers",
                         "Installed Printers", os::CSIDL_PRINTERS, kFolderUndefined)
ORLN_DEFINE_SHELL_FOLDER(TpsCommonDesktopDirectory, "Common Desktop Directory", "Common Desktop",
                         os::CSIDL_COMMON_DESKTOPDIRECTORY, os::CSIDL_DESKTOPDIRECTORY)
ORLN_DEFINE_SHELL_FOLDER(TpsFavorites, "Favorites", "Favorites", os::CSIDL_FAVORITES,
                         kFolderUndefined)
ORLN_DEFINE_SHELL_FOLDER(TpsControlPanel, "Control Panel", "Control Panel", os::CSIDL_CONTROLS,
                         kFolderNone)
ORLN_DEFINE_SHELL_FOLDER(TpsBitBucket, "Recycle bin", "Recycle bin", os::CSIDL_BITBUCKET,
                         kFolderNone)
ORLN_DEFINE_SHELL_FOLDER(TpsCookies, "Cookies", "Cookies", os::CSIDL_COOKIES, kFolderNone)
ORLN_DEFINE_SHELL_FOLDER(TpsSendTo, "Send To Menu", "Send To", os::CSIDL_SENDTO, kFolderNone)
ORLN_DEFINE_SHELL_FOLDER(TpsStartup, "User Startup", "Startup", os::CSIDL_STARTUP, kFolderNone)
ORLN_DEFINE_SHELL_FOLDER(TpsCommonAltStartup, "Alternate Startup folder for (All Users profile)",
                         "Common Alternate Startup folder", os::CSIDL_COMMON_ALTSTARTUP,
                         os::CSIDL_ALTSTARTUP)
ORLN_DEFINE_SHELL_FOLDER(TpsCommonStartMenu, "Common Start Menu", "Common Start Menu",
                         os::CSIDL_COMMON_STARTMENU, os::CSIDL_STARTMENU)
ORLN_DEFINE_SHELL_FOLDER(TpsCommonPrograms, "Common Programs", "Common Programs",
                         os::CSIDL_COMMON_PROGRAMS, os::CSIDL_PROGRAMS)
ORLN_DEFINE_SHELL_FOLDER(TpsCommonStartup, "Common Startup directory", "Common Startup",
                         os::CSIDL_COMMON_STARTUP, os::CSIDL_STARTUP)
ORLN_DEFINE_SHELL_FOLDER(TpsCommonFavorites, "Common Favorites", "Common Favorites",
                         os::CSIDL_COMMON_FAVORITES, os::CSIDL_FAVORITES)

#undef ORLN_DEFINE_SHELL_FOLDER

int TpsCommonStartup::FolderFor(TOSVerType version) const {
  // XP keeps no common startup folder of its own for the install to use.
  if (version == oswinXP) return kFolderNone;
  return TShellFolderSpecifier::FolderFor(version);
}

namespace {
const TStandardSpecifierInfo kTpsQuickLaunchMenuInfo{"Path of the Quick Launch Toolbar Menu",
                                                     "Quick Launch Toolbar menu", 0};
}

TpsQuickLaunchMenu::TpsQuickLaunchMenu(host::TComponent* owner)
    : TStandardPathSpecifier(owner, kTpsQuickLaunchMenuInfo) {}

const host::TPropertyTable& TpsQuickLaunchMenu::ClassProperties() {
  return StandardSpecifierTable<TpsQuickLaunchMenu>("TpsQuickLaunchMenu");
}

std::string TpsQuickLaunchMenu::GetPath(host::TComponent* object) {
  Validate(object);
  const std::string appData = SpecialFolderPath(os::CSIDL_APPDATA);
  if (appData.empty()) return kUndefinedFolder;
  return appData + "\\Microsoft\\Internet Explorer\\Quick Launch";
}

void RegisterWindowsSpecifiers(const std::function<void(const host::TPropertyTable&)>& add) {
  for (const host::TPropertyTable* t :
       {&TpsRecent::ClassProperties(), &TpsPrinters::ClassProperties(),
        &TpsCommonDesktopDirectory::ClassProperties(), &TpsFavorites::ClassProperties(),
        &TpsControlPanel::ClassProperties(), &TpsBitBucket::ClassProperties(),
        &TpsCookies::ClassProperties(), &TpsSendTo::ClassProperties(),
        &TpsStartup::ClassProperties(), &TpsCommonAltStartup::ClassProperties(),
        &TpsCommonStartMenu::ClassProperties(), &TpsCommonPrograms::ClassProperties(),
        &TpsCommonStartup::ClassProperties(), &TpsCommonFavorites::ClassProperties(),
        &TpsQuickLaunchMenu::ClassProperties()})
    add(*t);
}

}  // namespace orln
