// The Windows registry of the simulated machine (machine.h): six roots of
// keys and values, kept in one text file in the machine root, "registry.reg",
// in the import form of the registry editor (REGEDIT4, Windows-1252):
//
//   REGEDIT4
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Tavrin]
//   @="default value"
//   "Path"="C:\\Program Files\\Tavrin"
//   "Count"=dword:0000000a
//   "Blob"=hex:01,02,ff
//   "Multi"=hex(7):61,00,00
//
// A key has a section of its own, empty or not, so an empty key survives.
// Keys are written in name order without regard to case (parents before
// children), roots in code order, values in the order they were made; the
// same store is always the same text, so two stores diff line by line.
// Strings holding control characters are written as hex(1) (their bytes and a
// terminating zero), since a quoted string cannot carry a line break. Value
// types other than string, DWORD and binary are kept as the bytes they hold.
//
// Callers must keep:
//  - Key and value names match without regard to case (ansi_case.h) and
//    keep the case they were made with. A key path is its names joined by
//    '\', relative to a root; "" is the root itself.
//  - Every change goes to the file before the call returns: the store takes
//    the lock file "registry.reg.lock", re-reads the file when another process
//    changed it since, applies the change, writes a temporary file, flushes
//    it to the device and renames it over the store. A process killed at any
//    moment leaves the old store or the new one; two processes changing
//    different keys at once both keep their changes.
//  - Queries answer from memory after checking (one stat) that no other
//    process replaced the file.
//  - A store file without write bit is read as usual; every change to it
//    fails with kAccessDenied and the file stays as it is.
//  - Failures come back as false with the Windows error (win_error.h):
//    kFileNotFound for a missing key or value, kAccessDenied for deleting a
//    key that has subkeys or writing a read-only store, kInvalidParameter for
//    a bad name. A damaged store file throws EDamagedFile naming the file and
//    line; the file is never read past kMaxRegistryStoreSize.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "os/file.h"

namespace os {

// Root key handles as the registry calls know them.
using HKEY = uint32_t;
inline constexpr HKEY HKEY_CLASSES_ROOT = 0x80000000u;
inline constexpr HKEY HKEY_CURRENT_USER = 0x80000001u;
inline constexpr HKEY HKEY_LOCAL_MACHINE = 0x80000002u;
inline constexpr HKEY HKEY_USERS = 0x80000003u;
inline constexpr HKEY HKEY_CURRENT_CONFIG = 0x80000005u;
inline constexpr HKEY HKEY_DYN_DATA = 0x80000006u;

// The roots of the store, numbered as the installer's root codes.
enum class TRegRoot : int {
  ClassesRoot = 0,
  CurrentConfig = 1,
  CurrentUser = 2,
  DynData = 3,
  LocalMachine = 4,
  Users = 5,
};
inline constexpr int kRegRootCount = 6;

// The root of a handle; false for a handle that is none of the six.
bool RegRootOfHKey(HKEY key, TRegRoot& root);
HKEY HKeyOfRegRoot(TRegRoot root);
// "HKEY_LOCAL_MACHINE" and so on.
const char* RegRootName(TRegRoot root);

// Value types.
inline constexpr uint32_t REG_NONE = 0;
inline constexpr uint32_t REG_SZ = 1;
inline constexpr uint32_t REG_EXPAND_SZ = 2;
inline constexpr uint32_t REG_BINARY = 3;
inline constexpr uint32_t REG_DWORD = 4;
inline constexpr uint32_t REG_MULTI_SZ = 7;

// Names longer than these are refused (kInvalidParameter), in calls and files.
inline constexpr size_t kMaxRegKeyNameLength = 255;
inline constexpr size_t kMaxRegValueNameLength = 16383;
inline constexpr size_t kMaxRegKeyDepth = 512;
inline constexpr size_t kMaxRegistryStoreSize = 64u << 20;

struct TRegValue {
  std::string Name;  // "" for the default value
  uint32_t Type = REG_NONE;
  // REG_SZ: the text without terminator; REG_DWORD: four bytes, little-endian;
  // any other type: the bytes as stored.
  std::string Data;
};

// The keys and values of all six roots, in memory. The file text of the store
// is made and read here; TRegistryStore keeps it on disk.
class TRegTree {
 public:
  struct TKey {
    std::string Name;
    std::vector<TRegValue> Values;  // in the order they were made
    std::map<std::string, std::unique_ptr<TKey>, bool (*)(const std::string&, const std::string&)>
        SubKeys{&LessNoCase};  // by name without regard to case

    const TRegValue* FindValue(std::string_view name) const;
    TRegValue* FindValue(std::string_view name);
    TKey* FindSubKey(const std::string& name) const;
  };

  TRegTree();

  // Reads a store file's text; `fileName` names the file in errors. An empty
  // text is an empty store. Throws EDamagedFile naming the line at fault.
  static TRegTree Parse(std::string_view text, const std::string& fileName);
  // The file text, as described above.
  std::string Text() const;

  // The key at `path` below `root`, or nullptr (kFileNotFound, or
  // kInvalidParameter for a malformed path).
  TKey* Find(TRegRoot root, std::string_view path) const;
  // The key at `path`, made with its missing parents; nullptr with
  // kInvalidParameter for a malformed path.
  TKey* Create(TRegRoot root, std::string_view path);
  // Removes a key without subkeys; a root cannot be removed.
  bool Remove(TRegRoot root, std::string_view path);

  // Splits a relative key path into names, checking each; false with
  // kInvalidParameter. "" is the root; a trailing '\' is allowed.
  static bool SplitPath(std::string_view path, std::vector<std::string>& names);

  static bool LessNoCase(const std::string& a, const std::string& b);

 private:
  std::unique_ptr<TKey> roots_[kRegRootCount];
};

// The store on disk, shared by every TRegistry of a process that names the
// same file. Thread-safe.
class TRegistryStore {
 public:
  explicit TRegistryStore(std::string path);
  TRegistryStore(const TRegistryStore&) = delete;
  TRegistryStore& operator=(const TRegistryStore&) = delete;

  const std::string& Path() const { return path_; }

  bool KeyExists(TRegRoot root, std::string_view path);
  // Makes the key and any missing parents; true when it exists already.
  bool CreateKey(TRegRoot root, std::string_view path);
  // Removes a key that has no subkeys (kAccessDenied while it has some).
  bool DeleteKey(TRegRoot root, std::string_view path);
  // Subkey names in name order without regard to case; value names in order made.
  bool GetKeyNames(TRegRoot root, std::string_view path, std::vector<std::string>& names);
  bool GetValueNames(TRegRoot root, std::string_view path, std::vector<std::string>& names);
  bool HasSubKeys(TRegRoot root, std::string_view path);
  bool ValueExists(TRegRoot root, std::string_view path, std::string_view name);
  bool ReadValue(TRegRoot root, std::string_view path, std::string_view name, TRegValue& value);
  // Sets a value of an existing key; a new name goes after the key's others.
  bool WriteValue(TRegRoot root, std::string_view path, std::string_view name, uint32_t type,
                  std::string_view data);
  bool DeleteValue(TRegRoot root, std::string_view path, std::string_view name);

  // The whole store as it now stands on disk (re-read when changed).
  std::string Text();

 private:
  // Re-reads the file when it is not the one last read. Caller holds mutex_.
  void Refresh();
  // Locks, refreshes and hands the key to `answer`; false when it is missing.
  template <class F>
  bool Query(TRegRoot root, std::string_view path, F&& answer);
  // Runs `change` on the current tree under the file lock, and writes the
  // tree when it returns true. Caller holds mutex_.
  template <class F>
  bool Change(F&& change);
  bool Save(const TRegTree& tree);

  const std::string path_;
  std::mutex mutex_;
  TRegTree tree_;
  // The file the tree was read from, held open so that its identity cannot
  // be reused by a new file while we compare against it.
  std::unique_ptr<TOSFile> loaded_;
  struct stat loaded_stat_ {};
  bool loaded_missing_ = false;  // the tree was read when there was no file
  bool read_once_ = false;
};

// The store of the current machine ("registry.reg" in its root).
TRegistryStore& MachineRegistry();

}  // namespace os
