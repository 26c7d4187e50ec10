// Standard specifiers of Office's folders. Word's registration names the
// installed Office version; that version's user settings (or, from Office
// 2000 on, its policies) name the template, clipart, startup and tools
// folders. Where the version or the setting is missing, each class gives a
// folder below the program files folder.
//
// Callers must keep: the registry read is the current machine's.
#pragma once

#include <functional>
#include <string>

#include "installer/engine/paths/install_paths.h"

namespace orln {

// The version of the registered Word ("Word.Document" names its current
// "Word.Document.<v>", whose edit server must exist), or -1.
int GetWordVersion();
// The HKCU key of Office's settings for Word version v, up to and with
// "<v>.0\"; empty for a version whose settings are not read.
std::string OfficeSettingsKey(int version);

ORLN_FOLDER_SPECIFIER(TpsOfficeUserTemplates)
ORLN_FOLDER_SPECIFIER(TpsOfficeWorkgroupTemplates)
ORLN_FOLDER_SPECIFIER(TpsOfficeClipartDirectory)
ORLN_FOLDER_SPECIFIER(TpsOfficeStartupDirectory)
ORLN_FOLDER_SPECIFIER(TpsOfficeToolsDirectory)
ORLN_FOLDER_SPECIFIER(TpsOfficeFavoritesDirectory)

// Hands the classes above to `add` in their registration order.
void RegisterOfficeSpecifiers(const std::function<void(const host::TPropertyTable&)>& add);

}  // namespace orln
