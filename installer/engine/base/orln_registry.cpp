#include "installer/engine/base/orln_registry.h"

#include <vector>

#include "host/rtl/format.h"
#include "host/rtl/string_list.h"
#include "host/rtl/sys_utils.h"
#include "installer/engine/base/base_routines.h"
#include "installer/engine/base/orln_exceptions.h"

namespace orln {
namespace {

constexpr os::HKEY kRootKeys[] = {os::HKEY_CLASSES_ROOT,  os::HKEY_CURRENT_CONFIG,
                                  os::HKEY_CURRENT_USER,  os::HKEY_DYN_DATA,
                                  os::HKEY_LOCAL_MACHINE, os::HKEY_USERS};

// A TorlnRegistry on the given root, or false for a code that names none.
bool SetRoot(TorlnRegistry& reg, int root) {
  os::HKEY key;
  if (!RootKeyOfCode(root, key)) return false;
  reg.SetRootKey(key);
  return true;
}

}  // namespace

std::string DamageNote(const os::EDamagedFile& e) {
  return std::string(" (") + e.what() + ")";
}

bool RootKeyOfCode(int code, os::HKEY& key) {
  if (code < 0 || code > hkUsers) return false;
  key = kRootKeys[code];
  return true;
}

int RootCodeOfKey(os::HKEY key, int defaultCode) {
  for (int i = 0; i <= hkUsers; ++i) {
    if (kRootKeys[i] == key) return i;
  }
  return defaultCode;
}

bool TorlnRegistry::DeleteKeyRecursive(const std::string& path) {
  return DeleteTree(FullPath(path));
}

bool TorlnRegistry::DeleteTree(const std::string& fullPath) {
  std::vector<std::string> names;
  if (!Store().GetKeyNames(Root(), fullPath, names)) return false;
  // Every name is taken before the first subkey goes: deleting while
  // walking by index would skip every other one.
  for (const std::string& name : names) {
    DeleteTree(fullPath.empty() ? name : fullPath + "\\" + name);
  }
  return DeleteKey("\\" + fullPath);
}

bool TorlnRegistry::OpenKeyFullAccess(const std::string& path, bool canCreate) {
  SetAccess(host::KEY_ALL_ACCESS);
  return OpenKey(path, canCreate && !path.empty());
}

bool TorlnRegistry::KeyExists(const std::string& path) {
  return TRegistry::KeyExists(path);
}

void RegWriteString(int root, const std::string& key, const std::string& name,
                    const std::string& value) {
  try {
    TorlnRegistry reg;
    if (SetRoot(reg, root) && reg.OpenKeyFullAccess(key, true)) {
      reg.WriteString(name, value);
      return;
    }
  } catch (const host::ERegistryException&) {
  } catch (const os::EDamagedFile& e) {
    throw EIRCannotWriteValue(
        host::Format("Cannot install into registry. Key: %s Ident: %s Value %s", {key, name, value}) +
        DamageNote(e));
  }
  throw EIRCannotWriteValue(
      host::Format("Cannot install into registry. Key: %s Ident: %s Value %s", {key, name, value}));
}

void RegWriteInteger(int root, const std::string& key, const std::string& name, int32_t value) {
  try {
    TorlnRegistry reg;
    if (SetRoot(reg, root) && reg.OpenKeyFullAccess(key, true)) {
      reg.WriteInteger(name, value);
      return;
    }
  } catch (const host::ERegistryException&) {
  } catch (const os::EDamagedFile& e) {
    throw EIRCannotWriteValue(key + DamageNote(e));
  }
  throw EIRCannotWriteValue(key);
}

std::string RegReadString(int root, const std::string& key, const std::string& name,
                          const std::string& defaultValue) {
  try {
    TorlnRegistry reg;
    if (SetRoot(reg, root) && reg.OpenKeyReadOnly(key) && reg.ValueExists(name)) {
      return reg.ReadString(name);
    }
  } catch (const host::ERegistryException&) {
  } catch (const os::EDamagedFile&) {
  }
  return defaultValue;
}

int32_t RegReadInteger(int root, const std::string& key, const std::string& name,
                       int32_t defaultValue) {
  try {
    TorlnRegistry reg;
    if (SetRoot(reg, root) && reg.OpenKeyReadOnly(key) && reg.ValueExists(name)) {
      return reg.ReadInteger(name);
    }
  } catch (const host::ERegistryException&) {
  } catch (const os::EDamagedFile&) {
  }
  return defaultValue;
}

void RegDeleteTree(int root, const std::string& key) {
  try {
    TorlnRegistry reg;
    if (SetRoot(reg, root)) reg.DeleteKeyRecursive(key);
  } catch (const host::ERegistryException&) {
  } catch (const os::EDamagedFile&) {
  }
}

bool AddRunOnce(const std::string& name, const std::string& commandLine, bool unique) {
  try {
    TorlnRegistry reg;
    reg.SetRootKey(UsesPerUserRunOnce(GetWindowsVersion()) ? os::HKEY_CURRENT_USER
                                                           : os::HKEY_LOCAL_MACHINE);
    if (!reg.OpenKeyFullAccess(kRunOnceKey, true)) return false;
    std::string valueName = name;
    for (int n = 1; unique && reg.ValueExists(valueName); ++n) {
      valueName = name + std::to_string(n);
    }
    reg.WriteString(valueName, commandLine);
    return true;
  } catch (const host::ERegistryException&) {
    return false;
  } catch (const os::EDamagedFile&) {
    return false;
  }
}

int64_t NextUninstallNumber(const std::string& key,
                            const std::function<bool(TorlnRegistry& reg, int64_t n)>& recorded) {
  int64_t count = 0;
  if (!host::TryStrToInt64(RegReadString(hkLocalMachine, key, "Entries", "0"), count) ||
      count < 0 || count >= INT32_MAX) {
    count = 0;
    TorlnRegistry reg;
    reg.SetRootKey(os::HKEY_LOCAL_MACHINE);
    // A damaged store has no records to count; the caller's writes report it.
    try {
      while (count < INT32_MAX - 1 && recorded(reg, count + 1)) ++count;
    } catch (const os::EDamagedFile&) {
    }
  }
  return count + 1;
}

int64_t NextUninstallNumber(const std::string& key, const std::string& prefix) {
  return NextUninstallNumber(key, [&key, &prefix](TorlnRegistry& reg, int64_t n) {
    return reg.OpenKeyReadOnly(key) && reg.ValueExists(prefix + std::to_string(n));
  });
}

}  // namespace orln
