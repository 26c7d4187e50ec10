#include "installer/frontend/package_installer.h"

#include <exception>
#include <vector>

#include "host/rtl/exceptions.h"
#include "host/rtl/sys_utils.h"
#include "installer/engine/base/base_routines.h"
#include "os/host_profile.h"
#include "os/win_error.h"
#include "os/win_file.h"

namespace orln {
namespace {

// ---- the install log ----

struct TInstallLogState {
  host::TStringList Lines;
  std::string Directory;  // empty: the temporary folder
};

TInstallLogState& LogState() {
  static TInstallLogState state;
  return state;
}

void Log(const std::string& line) { InstallLog().Add(line); }

// ---- the IDEs ----

constexpr TIDEProductInfo kProducts[kIDEProductCount] = {
    {"Delphi 3", "\\software\\Borland\\Delphi\\3.0", "\\SOFTWARE\\Borland\\Delphi\\3.0\\Palette",
     "\\Help\\Delphi3.cfg", "SearchPath", 'd', 3, ".dpl", "dcltav12d3.dpl,dcltav13d3.dpl"},
    {"Delphi 4", "\\software\\Borland\\Delphi\\4.0", "\\SOFTWARE\\Borland\\Delphi\\4.0\\Palette",
     "\\Help\\delphi4.ohl", "Search Path", 'd', 4, ".bpl", "dcltav12d4.bpl,dcltav13d4.bpl"},
    {"Delphi 5", "\\software\\Borland\\Delphi\\5.0", "\\SOFTWARE\\Borland\\Delphi\\5.0\\Palette",
     "\\Help\\delphi5.ohl", "Search Path", 'd', 5, ".bpl", "dcltav12d5.bpl,dcltav13d5.bpl"},
    {"Delphi 6", "\\software\\Borland\\Delphi\\6.0", "\\SOFTWARE\\Borland\\Delphi\\6.0\\Palette",
     "\\Help\\delphi6.ohl", "Search Path", 'd', 6, ".bpl", "dcltav12d6.bpl,dcltav13d6.bpl"},
    {"Builder 6", "\\software\\Borland\\C++Builder\\6.0",
     "\\SOFTWARE\\Borland\\C++Builder\\6.0\\Palette", "\\Help\\bcb6.ohl", "Search Path", 'b', 6,
     ".bpl", "dcltav12b6.bpi"},
    {"Delphi 7", "\\software\\Borland\\Delphi\\7.0", "\\SOFTWARE\\Borland\\Delphi\\7.0\\Palette",
     "\\Help\\delphi7.ohl", "Search Path", 'd', 7, ".bpl", "dcltav12d7.bpl,dcltav13d7.bpl"},
};

// The order products are looked for in, and the lines that say so.
struct TFindStep {
  TIDEProduct Product;
  const char* FoundLine;
};
constexpr TFindStep kFindOrder[] = {
    {ipDelphi4, "Found Delphi 4 installation"}, {ipDelphi5, "Found Delphi 5 installation"},
    {ipDelphi6, "Found Delphi 6 installation"}, {ipDelphi7, "Found Delphi 7 installation"},
    {ipDelphi3, "Found Delphi 3 installation"}, {ipBuilder6, "Found Builder 6 installation"},
};

// Help configuration files are small text files; anything larger is no
// configuration of an IDE.
constexpr int64_t kMaxHelpConfigSize = 16 << 20;

bool ListHoldsName(const host::TStrings& list, std::string_view name) {
  for (int i = 0; i < list.Count(); ++i) {
    if (host::AnsiSameText(list.Strings(i), name)) return true;
  }
  return false;
}

bool ContainsWithoutCase(std::string_view text, std::string_view part) {
  return host::AnsiUpperCase(text).find(host::AnsiUpperCase(part)) != std::string::npos;
}

// Runs `step`; an exception is logged after `prefix`, the log saved and the
// exception raised again.
template <class F>
auto Logged(const std::string& prefix, F&& step) {
  try {
    return step();
  } catch (const std::exception& e) {
    Log(prefix + "Exception " + e.what());
    SaveInstallLog();
    throw;
  }
}

}  // namespace

host::TStringList& InstallLog() { return LogState().Lines; }

std::string InstallLogDirectory() { return LogState().Directory; }

void SetInstallLogDirectory(const std::string& directory) { LogState().Directory = directory; }

std::string InstallLogPath() {
  std::string dir = LogState().Directory;
  if (dir.empty() || !os::WinDirectoryExists(dir)) dir = os::GetTempPath();
  return IncludeTrailingBackslash(dir) + "instlog.txt";
}

void SaveInstallLog() noexcept {
  // The log serves whoever reads it after a failure: it may never be the
  // cause of one.
  try {
    os::WinWriteWholeFile(InstallLogPath(), InstallLog().Text());
  } catch (...) {
  }
}

const TIDEProductInfo& IDEProductInfo(TIDEProduct product) {
  return kProducts[static_cast<int>(product)];
}

std::string NewPackageFileName(TIDEProduct product) {
  const TIDEProductInfo& info = IDEProductInfo(product);
  return std::string("dcltav14") + info.Letter + std::to_string(info.Version) + info.Extension;
}

// ---- TPackageInstaller ----

TPackageInstaller::TPackageInstaller()
    : list_(std::make_unique<host::TStringList>()), registry_(std::make_unique<TorlnRegistry>()) {
  for (int i = 0; i < kIDEProductCount; ++i)
    products_[static_cast<size_t>(i)].RegistryKey = kProducts[i].RegistryKey;
  FindProducts();
}

TPackageInstaller::~TPackageInstaller() = default;

const TIDEProductRecord& TPackageInstaller::GetProduct(TIDEProduct product) const {
  return products_.at(static_cast<size_t>(product));
}

void TPackageInstaller::FindProducts() {
  Logged("Find products. ", [&] {
    registry_->SetRootKey(os::HKEY_LOCAL_MACHINE);
    registry_->SetAccess(host::KEY_READ);
    Log("Starting find products");
    for (const TFindStep& step : kFindOrder) {
      const TIDEProductInfo& info = IDEProductInfo(step.Product);
      if (step.Product == ipBuilder6) Log(std::string("Looking for: ") + info.RegistryKey);
      if (!registry_->OpenKeyReadOnly(info.RegistryKey)) continue;
      Log(step.FoundLine);
      TIDEProductRecord& record = products_[static_cast<size_t>(step.Product)];
      record.Present = true;
      record.RootDir = registry_->ReadString("RootDir");
      record.HelpConfigFile = record.RootDir + info.HelpConfig;
      registry_->CloseKey();
    }
    Log("Finished finding products");
  });
}

void TPackageInstaller::InstallPalette(TIDEProduct product, const std::string& pageName,
                                       const host::TStrings& components) {
  const TIDEProductInfo& info = IDEProductInfo(product);
  const std::string name = info.Name;
  Logged("Install into palette. Product - " + name + ". ", [&] {
    registry_->SetRootKey(os::HKEY_CURRENT_USER);
    if (registry_->OpenKeyFullAccess(info.PaletteKey, false)) {
      Log(".Found Reg Key");
      if (!registry_->ValueExists(pageName)) {
        Log("Updating Registry");
        registry_->WriteString(pageName, JoinList(components, ';'));
      } else {
        std::string text = registry_->ReadString(pageName);
        Log("Install into palette. Product - " + name + ". Existing components: " + text);
        // Whole entries are compared: a name that is only part of another
        // one already there is still missing.
        SplitText(text, ';', *list_);
        bool added = false;
        for (int i = 0; i < components.Count(); ++i) {
          const std::string component = components.Strings(i);
          if (ListHoldsName(*list_, component)) continue;
          if (!text.empty() && text.back() != ';') text += ';';
          text += component + ";";
          list_->Add(component);
          added = true;
        }
        if (added) registry_->WriteString(pageName, text);
      }
      registry_->CloseKey();
    }
    Log("Completed");
  });
}

void TPackageInstaller::InstallPackage(TIDEProduct product, const std::string& packagePath,
                                       const host::TStrings& packageNames,
                                       const std::string& description) {
  const std::string name = IDEProductInfo(product).Name;
  const std::string& key = GetProduct(product).RegistryKey;
  Logged("Install into VCL. Product - " + name + ". ", [&] {
    Log("Install into VCL. Product - " + name + ".Installing component: " + packagePath);
    registry_->SetRootKey(os::HKEY_CURRENT_USER);
    host::TStringList values;

    if (registry_->OpenKeyFullAccess(key + "\\Disabled Packages", false)) {
      registry_->GetValueNames(values);
      for (int i = 0; i < values.Count(); ++i) {
        const std::string value = values.Strings(i);
        if (host::AnsiSameText(value, packagePath) ||
            ListHoldsName(packageNames, host::ExtractFileName(value)))
          registry_->DeleteValue(value);
      }
      registry_->CloseKey();
    }

    const std::string known = key + "\\Known Packages";
    if (!registry_->OpenKeyFullAccess(known, false)) {
      Log("Error: Unable to open key:" + known);
      return;
    }
    registry_->GetValueNames(values);
    for (int i = 0; i < values.Count(); ++i) {
      const std::string value = values.Strings(i);
      if (!ListHoldsName(packageNames, host::ExtractFileName(value))) continue;
      Log("Deleting old package: " + value);
      registry_->DeleteValue(value);
    }
    if (!registry_->ValueExists(packagePath)) {
      Log("Adding package: " + packagePath);
      try {
        registry_->WriteString(packagePath, description);
      } catch (const std::exception&) {
        // Not registered is no success: the run learns of it as of any
        // other failure of this step.
        Log("Exception: Unable to insert package:" + packagePath);
        throw;
      }
    }
    registry_->CloseKey();

    UpdateSearchPath(product, packagePath, packageNames);
    Log("Install into VCL. Product - " + name + ". Completed");
  });
}

void TPackageInstaller::UpdateSearchPath(TIDEProduct product, const std::string& packagePath,
                                         const host::TStrings& packageNames) {
  const TIDEProductInfo& info = IDEProductInfo(product);
  Log("Install into VCL. Updating library path");
  const std::string library = GetProduct(product).RegistryKey + "\\Library";
  if (!registry_->OpenKeyFullAccess(library, false)) {
    Log("Error: Unable to open key:" + library);
    return;
  }
  const std::string oldPath = registry_->ReadString(info.SearchPathValue);
  Log("Install into VCL. Existing search path: " + oldPath);
  SplitText(oldPath, ';', *list_);

  // A folder that holds this package, or an earlier one, is where an earlier
  // install put it: it goes, and the new folder comes once.
  const std::string packageName = host::ExtractFileName(packagePath);
  for (int i = list_->Count() - 1; i >= 0; --i) {
    const std::string entry = list_->Strings(i);
    bool holds = os::WinFileExists(entry + "\\" + packageName);
    for (int n = 0; !holds && n < packageNames.Count(); ++n)
      holds = os::WinFileExists(entry + "\\" + packageNames.Strings(n));
    if (holds) list_->Delete(i);
  }
  const std::string directory = FileDirectory(packagePath);
  if (!ListHoldsName(*list_, directory)) list_->Add(directory);

  const std::string newPath = JoinList(*list_, ';');
  if (newPath != oldPath) {
    Log("Install into VCL. Updating search path to: " + newPath);
    registry_->WriteString(info.SearchPathValue, newPath);
  } else {
    Log("Install into VCL. Search path not required to update");
  }
  registry_->CloseKey();
}

int TPackageInstaller::InstallHelp(TIDEProduct product, const std::string& helpFile) {
  const std::string name = IDEProductInfo(product).Name;
  const std::string config = GetProduct(product).HelpConfigFile;
  return Logged("Install help. Product - " + name + ". ", [&] {
    if (config.empty() || !os::WinFileExists(config)) return 255;
    const int64_t size = os::WinGetFileSize(config);
    std::string text;
    if (size < 0 || size > kMaxHelpConfigSize || !os::WinReadWholeFile(config, text))
      throw host::EFOpenError("Cannot open file \"" + config + "\"");
    list_->SetText(text);

    bool linked = false;
    for (int i = list_->Count() - 1; i >= 0 && !linked; --i) {
      const std::string line = list_->Strings(i);
      linked = ContainsWithoutCase(line, helpFile);
      if (ContainsWithoutCase(line, "Third-party Help")) break;
    }
    if (!linked) {
      list_->Add(":Link " + helpFile);
      // Written beside and renamed into place: a file that cannot be
      // replaced (read-only, in use, a full disk) keeps its old text.
      if (!os::WinWriteWholeFile(config, list_->Text()))
        throw host::EFCreateError("Cannot create file \"" + config + "\". " +
                                  os::WinErrorText(os::GetLastWinError()));
    }
    os::WinDeleteFile(host::ChangeFileExt(config, ".gid"));
    return 1;
  });
}

void TPackageInstaller::SplitText(std::string_view text, char separator, host::TStrings& list) {
  SplitString(text, separator, list);
  for (int i = 0; i < list.Count(); ++i) list.Put(i, host::Trim(list.Strings(i)));
}

std::string TPackageInstaller::JoinList(const host::TStrings& list, char separator) {
  std::string text;
  for (int i = 0; i < list.Count(); ++i) {
    if (i > 0) text += separator;
    text += list.Strings(i);
  }
  return text;
}

std::string TPackageInstaller::FileDirectory(std::string_view fileName) {
  return RemoveTrailingBackslash(host::ExtractFilePath(fileName));
}

}  // namespace orln
