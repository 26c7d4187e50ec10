#include "host/rtl/registry.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "host/rtl/format.h"
#include "host/rtl/le_bytes.h"
#include "host/rtl/string_list.h"
#include "os/ansi_case.h"

namespace host {
namespace {

[[noreturn]] void Fail(const char* fmt, const std::string& name) {
  throw ERegistryException(Format(fmt, {name}));
}

}  // namespace

TRegistry::TRegistry() : TRegistry(os::MachineRegistry()) {}

TRegistry::TRegistry(os::TRegistryStore& store) : store_(store) {}

TRegistry::~TRegistry() = default;

void TRegistry::SetRootKey(os::HKEY key) {
  os::TRegRoot root;
  if (!os::RegRootOfHKey(key, root)) {
    throw ERegistryException(Format("Invalid root key %x", {key}));
  }
  CloseKey();
  root_key_ = key;
  root_ = root;
}

std::string TRegistry::FullPath(const std::string& key) const {
  if (!key.empty() && key.front() == '\\') return key.substr(1);
  if (!open_ || current_path_.empty()) return key;
  if (key.empty()) return current_path_;
  return current_path_ + "\\" + key;
}

void TRegistry::ChangeKey(const std::string& path, uint32_t access) {
  open_ = true;
  current_path_ = path;
  if (!current_path_.empty() && current_path_.back() == '\\') current_path_.pop_back();
  current_access_ = access;
}

bool TRegistry::OpenKey(const std::string& key, bool canCreate) {
  const std::string path = FullPath(key);
  if (!store_.KeyExists(root_, path)) {
    if (!canCreate || (access_ & KEY_CREATE_SUB_KEY) == 0 || !store_.CreateKey(root_, path)) {
      return false;
    }
  }
  ChangeKey(path, access_);
  return true;
}

bool TRegistry::OpenKeyReadOnly(const std::string& key) {
  const std::string path = FullPath(key);
  if (!store_.KeyExists(root_, path)) return false;
  ChangeKey(path, KEY_READ);
  return true;
}

void TRegistry::CloseKey() {
  open_ = false;
  current_path_.clear();
  current_access_ = 0;
}

bool TRegistry::CreateKey(const std::string& key) {
  return store_.CreateKey(root_, FullPath(key));
}

bool TRegistry::DeleteKey(const std::string& key) {
  const std::string path = FullPath(key);
  if (!store_.DeleteKey(root_, path)) return false;
  // The current key, or one above it, is gone.
  if (open_ && (os::AnsiSameText(current_path_, path) ||
                (current_path_.size() > path.size() && current_path_[path.size()] == '\\' &&
                 os::AnsiSameText(std::string_view(current_path_).substr(0, path.size()), path)))) {
    CloseKey();
  }
  return true;
}

bool TRegistry::KeyExists(const std::string& key) {
  return store_.KeyExists(root_, FullPath(key));
}

bool TRegistry::DeleteValue(const std::string& name) {
  if (!open_ || (current_access_ & KEY_SET_VALUE) == 0) return false;
  return store_.DeleteValue(root_, current_path_, name);
}

bool TRegistry::ValueExists(const std::string& name) {
  return store_.ValueExists(root_, current_path_, name);
}

bool TRegistry::HasSubKeys() {
  return store_.HasSubKeys(root_, current_path_);
}

bool TRegistry::GetKeyInfo(TRegKeyInfo& info) {
  info = TRegKeyInfo();
  std::vector<std::string> names;
  if (!store_.GetKeyNames(root_, current_path_, names)) return false;
  info.NumSubKeys = static_cast<int>(names.size());
  for (const std::string& n : names) {
    info.MaxSubKeyLen = std::max(info.MaxSubKeyLen, static_cast<int>(n.size()));
  }
  if (!store_.GetValueNames(root_, current_path_, names)) return false;
  info.NumValues = static_cast<int>(names.size());
  for (const std::string& n : names) {
    info.MaxValueLen = std::max(info.MaxValueLen, static_cast<int>(n.size()));
    info.MaxDataLen = std::max(info.MaxDataLen, GetDataSize(n));
  }
  return true;
}

void TRegistry::GetKeyNames(TStrings& names) {
  names.Clear();
  std::vector<std::string> list;
  if (!store_.GetKeyNames(root_, current_path_, list)) return;
  for (const std::string& n : list) names.Add(n);
}

void TRegistry::GetValueNames(TStrings& names) {
  names.Clear();
  std::vector<std::string> list;
  if (!store_.GetValueNames(root_, current_path_, list)) return;
  for (const std::string& n : list) names.Add(n);
}

TRegDataType TRegistry::GetDataType(const std::string& name) {
  os::TRegValue v;
  if (!store_.ReadValue(root_, current_path_, name, v)) return rdUnknown;
  switch (v.Type) {
    case os::REG_SZ:
      return rdString;
    case os::REG_EXPAND_SZ:
      return rdExpandString;
    case os::REG_DWORD:
      return rdInteger;
    case os::REG_BINARY:
      return rdBinary;
    default:
      return rdUnknown;
  }
}

int TRegistry::GetDataSize(const std::string& name) {
  os::TRegValue v;
  if (!store_.ReadValue(root_, current_path_, name, v)) return -1;
  return static_cast<int>(v.Data.size()) + (v.Type == os::REG_SZ ? 1 : 0);
}

void TRegistry::ReadValue(const std::string& name, os::TRegValue& value) {
  if (!open_ || !store_.ReadValue(root_, current_path_, name, value)) {
    Fail("Failed to get data for '%s'", name);
  }
}

std::string TRegistry::ReadString(const std::string& name) {
  os::TRegValue v;
  if (!open_ || !store_.ReadValue(root_, current_path_, name, v)) return "";
  if (v.Type == os::REG_SZ) return v.Data;
  if (v.Type == os::REG_EXPAND_SZ) {
    // Stored with its terminator when written by a Windows program.
    const size_t nul = v.Data.find('\0');
    return nul == std::string::npos ? v.Data : v.Data.substr(0, nul);
  }
  Fail("Invalid data type for '%s'", name);
}

int32_t TRegistry::ReadInteger(const std::string& name) {
  os::TRegValue v;
  ReadValue(name, v);
  if (v.Type != os::REG_DWORD || v.Data.size() != 4) Fail("Invalid data type for '%s'", name);
  return static_cast<int32_t>(GetU32(v.Data.data()));
}

bool TRegistry::ReadBool(const std::string& name) {
  return ReadInteger(name) != 0;
}

int TRegistry::ReadBinaryData(const std::string& name, void* buffer, int bufSize) {
  os::TRegValue v;
  ReadValue(name, v);
  if (v.Type != os::REG_BINARY) Fail("Invalid data type for '%s'", name);
  if (bufSize < 0 || v.Data.size() > static_cast<size_t>(bufSize)) {
    Fail("Failed to get data for '%s'", name);
  }
  if (!v.Data.empty()) std::memcpy(buffer, v.Data.data(), v.Data.size());
  return static_cast<int>(v.Data.size());
}

void TRegistry::WriteValue(const std::string& name, uint32_t type, const std::string& data) {
  if (!open_ || (current_access_ & KEY_SET_VALUE) == 0 ||
      !store_.WriteValue(root_, current_path_, name, type, data)) {
    Fail("Failed to set data for '%s'", name);
  }
}

void TRegistry::WriteString(const std::string& name, const std::string& value) {
  WriteValue(name, os::REG_SZ, value);
}

void TRegistry::WriteExpandString(const std::string& name, const std::string& value) {
  WriteValue(name, os::REG_EXPAND_SZ, value + '\0');
}

void TRegistry::WriteInteger(const std::string& name, int32_t value) {
  std::string data(4, '\0');
  PutU32(data.data(), static_cast<uint32_t>(value));
  WriteValue(name, os::REG_DWORD, data);
}

void TRegistry::WriteBool(const std::string& name, bool value) {
  WriteInteger(name, value ? 1 : 0);
}

void TRegistry::WriteBinaryData(const std::string& name, const void* buffer, int bufSize) {
  if (bufSize < 0) Fail("Failed to set data for '%s'", name);
  WriteValue(name, os::REG_BINARY,
             std::string(static_cast<const char*>(buffer), static_cast<size_t>(bufSize)));
}

}  // namespace host
