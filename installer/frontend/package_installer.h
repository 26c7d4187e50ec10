// TPackageInstaller finds the Delphi and C++Builder installations of the
// machine and registers the database engine's design-time package in the ones
// the user chose: the component palette page, the IDE's package lists, its
// library search path and its help index. It works only on the registry and
// on the IDE's help configuration file. Every step goes to the install log,
// a plain-text "instlog.txt" kept for the whole program.
//
// Callers must keep:
//  - Products are named by TIDEProduct, never by a position in some order:
//    the finding, the tables below and the main form's walk each keep their
//    own order.
//  - Every operation logs its exception, saves the log and raises it again;
//    saving the log itself never raises.
//  - The help configuration file is replaced whole (written beside it, then
//    renamed into place), so a failure leaves the old text where it was.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <string_view>

#include "host/rtl/string_list.h"
#include "installer/engine/base/orln_registry.h"

namespace orln {

// ---- the install log ----

// The program's one log, made on first use.
host::TStringList& InstallLog();
// The folder "instlog.txt" goes to; empty (the start) means the temporary
// folder of the machine.
std::string InstallLogDirectory();
void SetInstallLogDirectory(const std::string& directory);
// Where the log is saved now: in the log directory, or in the temporary
// folder when the log directory does not exist.
std::string InstallLogPath();
// Writes the whole log; any error is ignored.
void SaveInstallLog() noexcept;

// ---- the IDEs ----

enum TIDEProduct {
  ipDelphi3 = 0,
  ipDelphi4 = 1,
  ipDelphi5 = 2,
  ipDelphi6 = 3,
  ipBuilder6 = 4,
  ipDelphi7 = 5,
};
inline constexpr int kIDEProductCount = 6;

// What is known of an IDE before looking at the machine.
struct TIDEProductInfo {
  const char* Name;             // "Delphi 7", "Builder 6" (the log's names)
  const char* RegistryKey;      // the product's key, under HKEY_LOCAL_MACHINE
  const char* PaletteKey;       // under HKEY_CURRENT_USER
  const char* HelpConfig;       // below the root directory
  const char* SearchPathValue;  // of the product key's "\Library"
  char Letter;                  // 'd', or 'b' for C++Builder
  int Version;                  // 7 of "dcltav14d7"
  const char* Extension;        // ".dpl" or ".bpl"
  const char* OldPackages;      // comma text: earlier packages to remove
};
const TIDEProductInfo& IDEProductInfo(TIDEProduct product);
// "dcltav14d7.bpl": the design package this product takes.
std::string NewPackageFileName(TIDEProduct product);

// What was found on the machine.
struct TIDEProductRecord {
  bool Present = false;
  std::string RootDir;         // its "RootDir" value
  std::string RegistryKey;     // the product's key
  std::string HelpConfigFile;  // RootDir + the help configuration file
};

class TPackageInstaller {
 public:
  // Finds the products; a registry that cannot be read is logged and raised.
  TPackageInstaller();
  ~TPackageInstaller();
  TPackageInstaller(const TPackageInstaller&) = delete;
  TPackageInstaller& operator=(const TPackageInstaller&) = delete;

  const TIDEProductRecord& GetProduct(TIDEProduct product) const;

  // Puts the components on the palette page: the page is made when missing,
  // else the components it lacks are appended (names compared without case).
  void InstallPalette(TIDEProduct product, const std::string& pageName,
                      const host::TStrings& components);
  // Registers the package at `packagePath` (a virtual path) with
  // `description`: the packages named in `packageNames` (file names) leave the
  // disabled and known package lists and the library search path, and the
  // package's folder joins the search path once.
  void InstallPackage(TIDEProduct product, const std::string& packagePath,
                      const host::TStrings& packageNames, const std::string& description);
  // Links `helpFile` into the IDE's help configuration file unless it is
  // linked after the third-party section already, and deletes the IDE's help
  // index so that the IDE rebuilds it. 1, or 255 when the configuration file
  // does not exist.
  int InstallHelp(TIDEProduct product, const std::string& helpFile);

  // Clears `list` and adds the pieces of `text` between separators, trimmed.
  static void SplitText(std::string_view text, char separator, host::TStrings& list);
  static std::string JoinList(const host::TStrings& list, char separator);
  // The folder of `fileName` without its trailing '\'.
  static std::string FileDirectory(std::string_view fileName);

 private:
  void FindProducts();
  void UpdateSearchPath(TIDEProduct product, const std::string& packagePath,
                        const host::TStrings& packageNames);

  std::unique_ptr<host::TStringList> list_;
  std::unique_ptr<TorlnRegistry> registry_;
  std::array<TIDEProductRecord, kIDEProductCount> products_;
};

}  // namespace orln
