#include "installer/engine/paths/shell_paths.h"

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
  return RaiseDamageAs<EOrlaneAbnormal>([csidl] { return os::SHGetSpecialFolderPath(csidl); });
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

using TFolders = TShellFolderSpecifier::TFolders;

ORLN_DEFINE_STANDARD_SPECIFIER(TpsRecent, TShellFolderSpecifier, "Recently Used Documents",
                               "Recently Used", 0, TFolders{os::CSIDL_RECENT, kFolderUndefined})
ORLN_DEFINE_STANDARD_SPECIFIER(TpsPrinters, TShellFolderSpecifier,
                               "virtual folder containing installed printers", "Installed Printers",
                               0, TFolders{os::CSIDL_PRINTERS, kFolderUndefined})
ORLN_DEFINE_STANDARD_SPECIFIER(TpsCommonDesktopDirectory, TShellFolderSpecifier,
                               "Common Desktop Directory", "Common Desktop", 0,
                               TFolders{os::CSIDL_COMMON_DESKTOPDIRECTORY,
                                        os::CSIDL_DESKTOPDIRECTORY})
ORLN_DEFINE_STANDARD_SPECIFIER(TpsFavorites, TShellFolderSpecifier, "Favorites", "Favorites", 0,
                               TFolders{os::CSIDL_FAVORITES, kFolderUndefined})
ORLN_DEFINE_STANDARD_SPECIFIER(TpsControlPanel, TShellFolderSpecifier, "Control Panel",
                               "Control Panel", 0, TFolders{os::CSIDL_CONTROLS, kFolderNone})
ORLN_DEFINE_STANDARD_SPECIFIER(TpsBitBucket, TShellFolderSpecifier, "Recycle bin", "Recycle bin", 0,
                               TFolders{os::CSIDL_BITBUCKET, kFolderNone})
ORLN_DEFINE_STANDARD_SPECIFIER(TpsCookies, TShellFolderSpecifier, "Cookies", "Cookies", 0,
                               TFolders{os::CSIDL_COOKIES, kFolderNone})
ORLN_DEFINE_STANDARD_SPECIFIER(TpsSendTo, TShellFolderSpecifier, "Send To Menu", "Send To", 0,
                               TFolders{os::CSIDL_SENDTO, kFolderNone})
ORLN_DEFINE_STANDARD_SPECIFIER(TpsStartup, TShellFolderSpecifier, "User Startup", "Startup", 0,
                               TFolders{os::CSIDL_STARTUP, kFolderNone})
ORLN_DEFINE_STANDARD_SPECIFIER(TpsCommonAltStartup, TShellFolderSpecifier,
                               "Alternate Startup folder for (All Users profile)",
                               "Common Alternate Startup folder", 0,
                               TFolders{os::CSIDL_COMMON_ALTSTARTUP, os::CSIDL_ALTSTARTUP})
ORLN_DEFINE_STANDARD_SPECIFIER(TpsCommonStartMenu, TShellFolderSpecifier, "Common Start Menu",
                               "Common Start Menu", 0,
                               TFolders{os::CSIDL_COMMON_STARTMENU, os::CSIDL_STARTMENU})
ORLN_DEFINE_STANDARD_SPECIFIER(TpsCommonPrograms, TShellFolderSpecifier, "Common Programs",
                               "Common Programs", 0,
                               TFolders{os::CSIDL_COMMON_PROGRAMS, os::CSIDL_PROGRAMS})
ORLN_DEFINE_STANDARD_SPECIFIER(TpsCommonStartup, TShellFolderSpecifier, "Common Startup directory",
                               "Common Startup", 0,
                               TFolders{os::CSIDL_COMMON_STARTUP, os::CSIDL_STARTUP})
ORLN_DEFINE_STANDARD_SPECIFIER(TpsCommonFavorites, TShellFolderSpecifier, "Common Favorites",
                               "Common Favorites", 0,
                               TFolders{os::CSIDL_COMMON_FAVORITES, os::CSIDL_FAVORITES})

int TpsCommonStartup::FolderFor(TOSVerType version) const {
  // XP keeps no common startup folder of its own for the install to use.
  if (version == oswinXP) return kFolderNone;
  return TShellFolderSpecifier::FolderFor(version);
}

namespace {

std::string QuickLaunchFolder() {
  const std::string appData = SpecialFolderPath(os::CSIDL_APPDATA);
  if (appData.empty()) return kUndefinedFolder;
  return appData + "\\Microsoft\\Internet Explorer\\Quick Launch";
}

}  // namespace

ORLN_DEFINE_STANDARD_SPECIFIER(TpsQuickLaunchMenu, TFolderSpecifier,
                               "Path of the Quick Launch Toolbar Menu", "Quick Launch Toolbar menu",
                               0, &QuickLaunchFolder)

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
