// Standard specifiers of the shell's special folders. Windows NT 4, 2000 and
// XP ("NT") and 95, 98 and ME ("9x") keep some folders in different places
// or not at all: each class names its folder on both families, the text
// "undefined" where a family has no such folder, and gives an empty path on
// versions of neither family or where the machine has no folder.
//
// Callers must keep: the folders come from the current machine's profile
// (os/host_profile.h), without a trailing backslash.
#pragma once

#include <functional>
#include <string>

#include "installer/engine/base/base_routines.h"
#include "installer/engine/paths/install_paths.h"

namespace orln {

// What a special-folder specifier gives on a family that has no folder.
inline constexpr int kFolderUndefined = -1;  // the text "undefined"
inline constexpr int kFolderNone = -2;       // an empty path

inline constexpr char kUndefinedFolder[] = "undefined";

// The path of a special folder (os CSIDL), empty when the machine has none.
std::string SpecialFolderPath(int csidl);

class TShellFolderSpecifier : public TStandardPathSpecifier {
 public:
  // The CSIDL (or kFolderUndefined, kFolderNone) on each family.
  struct TFolders {
    int NT;
    int NineX;
  };

  TShellFolderSpecifier(host::TComponent* owner, const TStandardSpecifierInfo& info,
                        TFolders folders);

  std::string GetPath(host::TComponent* object) override;

 protected:
  // The folder on `version`: kFolderNone outside both families.
  virtual int FolderFor(TOSVerType version) const;

 private:
  TFolders folders_;
};

#define ORLN_SHELL_FOLDER_SPECIFIER(Name)     \
  class Name : public TShellFolderSpecifier { \
   public:                                    \
    explicit Name(host::TComponent* owner);   \
    ORLN_STANDARD_SPECIFIER                   \
  };

ORLN_SHELL_FOLDER_SPECIFIER(TpsRecent)
ORLN_SHELL_FOLDER_SPECIFIER(TpsPrinters)
ORLN_SHELL_FOLDER_SPECIFIER(TpsCommonDesktopDirectory)
ORLN_SHELL_FOLDER_SPECIFIER(TpsFavorites)
ORLN_SHELL_FOLDER_SPECIFIER(TpsControlPanel)
ORLN_SHELL_FOLDER_SPECIFIER(TpsBitBucket)
ORLN_SHELL_FOLDER_SPECIFIER(TpsCookies)
ORLN_SHELL_FOLDER_SPECIFIER(TpsSendTo)
ORLN_SHELL_FOLDER_SPECIFIER(TpsStartup)
ORLN_SHELL_FOLDER_SPECIFIER(TpsCommonAltStartup)
ORLN_SHELL_FOLDER_SPECIFIER(TpsCommonStartMenu)
ORLN_SHELL_FOLDER_SPECIFIER(TpsCommonPrograms)
ORLN_SHELL_FOLDER_SPECIFIER(TpsCommonFavorites)

#undef ORLN_SHELL_FOLDER_SPECIFIER

// The common startup folder on NT 4 and 2000 only: XP's is left empty.
class TpsCommonStartup : public TShellFolderSpecifier {
 public:
  explicit TpsCommonStartup(host::TComponent* owner);
  ORLN_STANDARD_SPECIFIER

 protected:
  int FolderFor(TOSVerType version) const override;
};

// The Quick Launch folder under the application data folder, on every
// version; "undefined" without an application data folder.
ORLN_FOLDER_SPECIFIER(TpsQuickLaunchMenu)

// Hands the classes above to `add` in their registration order.
void RegisterWindowsSpecifiers(const std::function<void(const host::TPropertyTable&)>& add);

}  // namespace orln
