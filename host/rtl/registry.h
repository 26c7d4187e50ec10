// TRegistry: the host library's view of the Windows registry, a current key
// below a root through which values are read and written. It works on the
// machine's registry store (os/registry_store.h), or on a store a caller
// names.
//
// Paths: a key path beginning with '\' is taken from the root; any other is
// taken below the current key (or the root when none is open). Opening a key
// makes it the current key; CurrentPath is its path below the root, without
// leading '\'.
//
// Callers must keep:
//  - Reads of a value that is missing, of another type or of the wrong size
//    raise ERegistryException, except ReadString, which gives "" for a
//    missing value. Writes that fail raise ERegistryException; key calls
//    report failure by their result.
//  - A key opened read-only (OpenKeyReadOnly, or with Access without
//    KEY_SET_VALUE) refuses writes.
//  - DeleteKey deletes a key without subkeys only; deleting a tree is the
//    caller's walk.
#pragma once

#include <cstdint>
#include <string>

#include "host/rtl/exceptions.h"
#include "os/registry_store.h"

namespace host {

class TStrings;

class ERegistryException : public Exception {
 public:
  using Exception::Exception;
};

// Access rights as the registry calls know them.
inline constexpr uint32_t KEY_QUERY_VALUE = 0x0001;
inline constexpr uint32_t KEY_SET_VALUE = 0x0002;
inline constexpr uint32_t KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr uint32_t KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr uint32_t KEY_READ = 0x20019;
inline constexpr uint32_t KEY_WRITE = 0x20006;
inline constexpr uint32_t KEY_ALL_ACCESS = 0xF003F;

enum TRegDataType { rdUnknown, rdString, rdExpandString, rdInteger, rdBinary };

struct TRegKeyInfo {
  int NumSubKeys = 0;
  int MaxSubKeyLen = 0;
  int NumValues = 0;
  int MaxValueLen = 0;
  int MaxDataLen = 0;
};

class TRegistry : public TObject {
 public:
  // The machine's registry, root HKEY_CURRENT_USER, Access KEY_ALL_ACCESS.
  TRegistry();
  explicit TRegistry(os::TRegistryStore& store);
  ~TRegistry() override;
  TRegistry(const TRegistry&) = delete;
  TRegistry& operator=(const TRegistry&) = delete;

  os::HKEY RootKey() const { return root_key_; }
  // Closes the current key. Raises ERegistryException for an unknown root.
  void SetRootKey(os::HKEY key);
  uint32_t Access() const { return access_; }
  void SetAccess(uint32_t access) { access_ = access; }
  // True while a key is open.
  bool HasCurrentKey() const { return open_; }
  const std::string& CurrentPath() const { return current_path_; }

  // Opens `key` (see Paths) with Access; with canCreate a missing key is
  // made. False when it does not exist or cannot be made.
  bool OpenKey(const std::string& key, bool canCreate);
  bool OpenKeyReadOnly(const std::string& key);
  void CloseKey();
  bool CreateKey(const std::string& key);
  bool DeleteKey(const std::string& key);
  bool KeyExists(const std::string& key);

  // ---- the current key ----
  bool DeleteValue(const std::string& name);
  bool ValueExists(const std::string& name);
  bool HasSubKeys();
  bool GetKeyInfo(TRegKeyInfo& info);
  void GetKeyNames(TStrings& names);
  void GetValueNames(TStrings& names);
  TRegDataType GetDataType(const std::string& name);
  // The size of the value's data (strings with their terminator), -1 when missing.
  int GetDataSize(const std::string& name);

  std::string ReadString(const std::string& name);
  int32_t ReadInteger(const std::string& name);
  bool ReadBool(const std::string& name);
  // Copies the value into buffer; raises when it holds more than bufSize.
  int ReadBinaryData(const std::string& name, void* buffer, int bufSize);
  void WriteString(const std::string& name, const std::string& value);
  void WriteExpandString(const std::string& name, const std::string& value);
  void WriteInteger(const std::string& name, int32_t value);
  void WriteBool(const std::string& name, bool value);
  void WriteBinaryData(const std::string& name, const void* buffer, int bufSize);

 protected:
  os::TRegistryStore& Store() { return store_; }
  os::TRegRoot Root() const { return root_; }
  // The path below the root that `key` names (see Paths).
  std::string FullPath(const std::string& key) const;
  // Makes `path` (below the root) the current key opened with `access`.
  void ChangeKey(const std::string& path, uint32_t access);

 private:
  void ReadValue(const std::string& name, os::TRegValue& value);
  void WriteValue(const std::string& name, uint32_t type, const std::string& data);

  os::TRegistryStore& store_;
  os::HKEY root_key_ = os::HKEY_CURRENT_USER;
  os::TRegRoot root_ = os::TRegRoot::CurrentUser;
  uint32_t access_ = KEY_ALL_ACCESS;
  bool open_ = false;
  std::string current_path_;
  uint32_t current_access_ = 0;
};

}  // namespace host
