// The install engine's registry access: TorlnRegistry (absolute paths,
// deleting whole trees, open-or-create with full access) and the value
// routines that make and free their own TorlnRegistry, naming the root by
// its code (TRootKeys), and the RunOnce entry for the next start of Windows.
//
// Callers must keep:
//  - The routines work on the current machine's registry (os/machine.h).
//  - A root code outside 0..5 names no root: writes raise, reads give the
//    default.
//  - A damaged registry store is no missing value: writes raise
//    EIRCannotWriteValue naming the store's file and line, reads give the
//    default; the store itself is left as it is.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "host/rtl/registry.h"
#include "os/win_error.h"

namespace orln {

// " (<file>, line <n>: <reason>)", appended to a message about damage.
std::string DamageNote(const os::EDamagedFile& e);

enum TRootKeys : int32_t {
  hkClassesRoot = 0,
  hkCurrentConfig = 1,
  hkCurrentUser = 2,
  hkDynData = 3,
  hkLocalMachine = 4,
  hkUsers = 5,
};

// The handle of a root code; false for a code that names none.
bool RootKeyOfCode(int code, os::HKEY& key);
// The code of a root handle; `defaultCode` for any other value.
int RootCodeOfKey(os::HKEY key, int defaultCode);

class TorlnRegistry : public host::TRegistry {
 public:
  using TRegistry::TRegistry;

  // Deletes the key with every subkey below it; true when the last delete,
  // that of the key itself, succeeded. The names of a key's subkeys are
  // taken before any of them goes.
  bool DeleteKeyRecursive(const std::string& path);
  // Opens the key with full access; with canCreate (and a path) a missing
  // key is made. The key becomes the current key.
  bool OpenKeyFullAccess(const std::string& path, bool canCreate);
  // Whether the key exists, opened for reading and closed again.
  bool KeyExists(const std::string& path);

 private:
  bool DeleteTree(const std::string& fullPath);
};

// Raise EIRCannotWriteValue when the key cannot be opened or made, or the
// value not written.
void RegWriteString(int root, const std::string& key, const std::string& name,
                    const std::string& value);
void RegWriteInteger(int root, const std::string& key, const std::string& name, int32_t value);
// The value, or `defaultValue` when the key or value is missing or cannot be read.
std::string RegReadString(int root, const std::string& key, const std::string& name,
                          const std::string& defaultValue);
int32_t RegReadInteger(int root, const std::string& key, const std::string& name,
                       int32_t defaultValue);
// The number of the next uninstall record under `key` (HKLM): its "Entries"
// value plus one. The count is read back from the registry, which anyone may
// have changed: a value that is no count goes on after the last record
// `recorded` finds, so that no earlier record is overwritten.
int64_t NextUninstallNumber(const std::string& key,
                            const std::function<bool(TorlnRegistry& reg, int64_t n)>& recorded);
// The same where the records are the values `prefix`1, `prefix`2, ... of the key.
int64_t NextUninstallNumber(const std::string& key, const std::string& prefix);

// Deletes the key's tree; errors are ignored.
void RegDeleteTree(int root, const std::string& key);

inline constexpr char kRunOnceKey[] = "\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

// Writes `commandLine` as value `name` of the RunOnce key (under
// HKEY_CURRENT_USER on Windows NT 4, 2000 and XP, else under
// HKEY_LOCAL_MACHINE), made when missing. With unique an existing name gets
// the first free number appended. Whether the value was written.
bool AddRunOnce(const std::string& name, const std::string& commandLine, bool unique);

}  // namespace orln
