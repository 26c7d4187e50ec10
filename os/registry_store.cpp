#include "os/registry_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "os/ansi_case.h"
#include "os/machine.h"
#include "os/sys_info.h"
#include "os/win_error.h"

namespace os {
namespace {

constexpr const char* kRootNames[kRegRootCount] = {"HKEY_CLASSES_ROOT",  "HKEY_CURRENT_CONFIG",
                                                   "HKEY_CURRENT_USER",  "HKEY_DYN_DATA",
                                                   "HKEY_LOCAL_MACHINE", "HKEY_USERS"};
constexpr HKEY kRootKeys[kRegRootCount] = {HKEY_CLASSES_ROOT,  HKEY_CURRENT_CONFIG,
                                           HKEY_CURRENT_USER,  HKEY_DYN_DATA,
                                           HKEY_LOCAL_MACHINE, HKEY_USERS};
constexpr char kHeader[] = "REGEDIT4";
constexpr char kHexDigits[] = "0123456789abcdef";

bool HasControl(std::string_view s) {
  return std::any_of(s.begin(), s.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7f;
  });
}

bool ValidValueName(std::string_view name) {
  return name.size() <= kMaxRegValueNameLength && !HasControl(name);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void AppendQuoted(std::string& out, std::string_view s) {
  out += '"';
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  out += '"';
}

void AppendHexBytes(std::string& out, std::string_view bytes) {
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) out += ',';
    const auto b = static_cast<unsigned char>(bytes[i]);
    out += kHexDigits[b >> 4];
    out += kHexDigits[b & 15];
  }
}

void AppendValue(std::string& out, const TRegValue& v) {
  if (v.Name.empty()) {
    out += '@';
  } else {
    AppendQuoted(out, v.Name);
  }
  out += '=';
  if (v.Type == REG_SZ && !HasControl(v.Data)) {
    AppendQuoted(out, v.Data);
  } else if (v.Type == REG_SZ) {
    out += "hex(1):";
    AppendHexBytes(out, v.Data);
    out += v.Data.empty() ? "00" : ",00";
  } else if (v.Type == REG_DWORD && v.Data.size() == 4) {
    uint32_t d = 0;
    for (int i = 3; i >= 0; --i) d = (d << 8) | static_cast<unsigned char>(v.Data[i]);
    out += "dword:";
    for (int shift = 28; shift >= 0; shift -= 4) out += kHexDigits[(d >> shift) & 15];
  } else {
    if (v.Type == REG_BINARY) {
      out += "hex:";
    } else {
      out += "hex(";
      char buf[16];
      int n = 0;
      uint32_t t = v.Type;
      do {
        buf[n++] = kHexDigits[t & 15];
        t >>= 4;
      } while (t != 0);
      while (n > 0) out += buf[--n];
      out += "):";
    }
    AppendHexBytes(out, v.Data);
  }
  out += "\r\n";
}

void AppendKey(std::string& out, std::string& path, const TRegTree::TKey& key, bool isRoot) {
  if (!isRoot || !key.Values.empty()) {
    out += '[';
    out += path;
    out += "]\r\n";
    for (const TRegValue& v : key.Values) AppendValue(out, v);
    out += "\r\n";
  }
  for (const auto& [name, sub] : key.SubKeys) {
    const size_t keep = path.size();
    path += '\\';
    path += sub->Name;
    AppendKey(out, path, *sub, false);
    path.resize(keep);
  }
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

// Reads the file's lines one by one, counting them.
class TLineReader {
 public:
  explicit TLineReader(std::string_view text) : text_(text) {}
  bool Next(std::string_view& line) {
    if (pos_ >= text_.size()) return false;
    const size_t end = text_.find('\n', pos_);
    const size_t stop = end == std::string_view::npos ? text_.size() : end;
    line = text_.substr(pos_, stop - pos_);
    pos_ = stop + 1;
    ++line_;
    return true;
  }
  int Line() const { return line_; }

 private:
  std::string_view text_;
  size_t pos_ = 0;
  int line_ = 0;
};

class TParser {
 public:
  TParser(TRegTree& tree, std::string_view text, const std::string& fileName)
      : tree_(tree), reader_(text), file_(fileName) {}

  void Run() {
    std::string_view line;
    bool header = false;
    while (reader_.Next(line)) {
      line = TrimBlanks(line);
      if (line.empty() || line.front() == ';') continue;
      if (!header) {
        if (line != kHeader) Fail("does not begin with REGEDIT4");
        header = true;
        continue;
      }
      if (line.front() == '[') {
        Section(line);
      } else {
        Value(line);
      }
    }
  }

 private:
  [[noreturn]] void Fail(const std::string& why) { throw EDamagedFile(file_, reader_.Line(), why); }

  void Section(std::string_view line) {
    if (line.size() < 2 || line.back() != ']') Fail("a key line must end with ']'");
    std::string_view path = line.substr(1, line.size() - 2);
    if (!path.empty() && path.front() == '-') Fail("deleting a key has no place in a store");
    const size_t slash = path.find('\\');
    const std::string_view rootName = path.substr(0, slash);
    int root = -1;
    for (int i = 0; i < kRegRootCount; ++i) {
      if (AnsiSameText(rootName, kRootNames[i])) root = i;
    }
    if (root < 0) Fail("unknown root key");
    const std::string_view rest =
        slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
    if (slash != std::string_view::npos && rest.empty()) Fail("bad key path");
    key_ = tree_.Create(static_cast<TRegRoot>(root), rest);
    if (key_ == nullptr) Fail("bad key path");
  }

  // A quoted string at the front of `s`, unescaped; `s` moves past it.
  std::string Quoted(std::string_view& s) {
    std::string out;
    size_t i = 1;
    for (;;) {
      if (i >= s.size()) Fail("a quoted text has no end");
      const char c = s[i++];
      if (c == '"') break;
      if (c == '\\') {
        if (i >= s.size() || (s[i] != '\\' && s[i] != '"')) Fail("bad escape in a quoted text");
        out += s[i++];
      } else {
        out += c;
      }
    }
    s.remove_prefix(i);
    return out;
  }

  void Value(std::string_view line) {
    if (key_ == nullptr) Fail("a value before the first key");
    TRegValue v;
    if (line.front() == '@') {
      line.remove_prefix(1);
    } else if (line.front() == '"') {
      v.Name = Quoted(line);
      if (!ValidValueName(v.Name)) Fail("bad value name");
    } else {
      Fail("not a key, a value or a comment");
    }
    line = TrimBlanks(line);
    if (line.empty() || line.front() != '=') Fail("'=' expected after the value name");
    line = TrimBlanks(line.substr(1));
    if (!line.empty() && line.front() == '"') {
      v.Type = REG_SZ;
      v.Data = Quoted(line);
      if (!TrimBlanks(line).empty()) Fail("text after a quoted value");
    } else if (line.substr(0, 6) == "dword:") {
      line.remove_prefix(6);
      if (line.empty() || line.size() > 8) Fail("a dword needs 1 to 8 hex digits");
      uint32_t d = 0;
      for (char c : line) {
        const int h = HexValue(c);
        if (h < 0) Fail("a dword needs 1 to 8 hex digits");
        d = (d << 4) | static_cast<uint32_t>(h);
      }
      v.Type = REG_DWORD;
      for (int i = 0; i < 4; ++i) v.Data += static_cast<char>((d >> (8 * i)) & 0xff);
    } else if (line.substr(0, 3) == "hex") {
      line.remove_prefix(3);
      v.Type = REG_BINARY;
      if (!line.empty() && line.front() == '(') {
        const size_t close = line.find(')');
        if (close == std::string_view::npos || close < 2 || close > 9) Fail("bad hex(type)");
        uint32_t t = 0;
        for (char c : line.substr(1, close - 1)) {
          const int h = HexValue(c);
          if (h < 0) Fail("bad hex(type)");
          t = (t << 4) | static_cast<uint32_t>(h);
        }
        v.Type = t;
        line.remove_prefix(close + 1);
      }
      if (line.empty() || line.front() != ':') Fail("':' expected after hex");
      line.remove_prefix(1);
      HexBytes(line, v.Data);
      if (v.Type == REG_SZ && !v.Data.empty() && v.Data.back() == '\0') v.Data.pop_back();
    } else if (line == "-") {
      Fail("deleting a value has no place in a store");
    } else {
      Fail("unknown value type");
    }
    if (TRegValue* old = key_->FindValue(v.Name)) {
      old->Type = v.Type;
      old->Data = std::move(v.Data);
    } else {
      key_->Values.push_back(std::move(v));
    }
  }

  // Comma-separated bytes; a line ending in '\' goes on in the next line.
  void HexBytes(std::string_view line, std::string& out) {
    for (;;) {
      line = TrimBlanks(line);
      bool more = false;
      if (!line.empty() && line.back() == '\\') {
        more = true;
        line = TrimBlanks(line.substr(0, line.size() - 1));
      }
      size_t i = 0;
      while (i < line.size()) {
        while (i < line.size() && line[i] == ' ') ++i;
        const int hi = i < line.size() ? HexValue(line[i]) : -1;
        const int lo = i + 1 < line.size() ? HexValue(line[i + 1]) : -1;
        if (hi < 0 || lo < 0) Fail("bad hex byte");
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        while (i < line.size() && line[i] == ' ') ++i;
        if (i < line.size()) {
          if (line[i] != ',') Fail("bad hex byte list");
          ++i;
          if (i >= line.size() && !more) Fail("a hex byte list ends in ','");
        }
      }
      if (!more) return;
      if (!reader_.Next(line)) Fail("a continued hex line has no continuation");
    }
  }

  TRegTree& tree_;
  TLineReader reader_;
  const std::string& file_;
  TRegTree::TKey* key_ = nullptr;
};

// Holds the store's lock file locked for as long as it lives.
class TStoreLock {
 public:
  explicit TStoreLock(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ < 0) return;
    while (::flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        const int e = errno;
        ::close(fd_);
        fd_ = -1;
        errno = e;
        return;
      }
    }
  }
  ~TStoreLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  TStoreLock(const TStoreLock&) = delete;
  TStoreLock& operator=(const TStoreLock&) = delete;
  bool Ok() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

bool SameStat(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

}  // namespace

bool RegRootOfHKey(HKEY key, TRegRoot& root) {
  for (int i = 0; i < kRegRootCount; ++i) {
    if (kRootKeys[i] == key) {
      root = static_cast<TRegRoot>(i);
      return true;
    }
  }
  return false;
}

HKEY HKeyOfRegRoot(TRegRoot root) {
  return kRootKeys[static_cast<int>(root)];
}

const char* RegRootName(TRegRoot root) {
  return kRootNames[static_cast<int>(root)];
}

// ---- TRegTree ----

bool TRegTree::LessNoCase(const std::string& a, const std::string& b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const unsigned char x = AnsiUpperByte(static_cast<unsigned char>(a[i]));
    const unsigned char y = AnsiUpperByte(static_cast<unsigned char>(b[i]));
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

const TRegValue* TRegTree::TKey::FindValue(std::string_view name) const {
  for (const TRegValue& v : Values) {
    if (AnsiSameText(v.Name, name)) return &v;
  }
  return nullptr;
}

TRegValue* TRegTree::TKey::FindValue(std::string_view name) {
  return const_cast<TRegValue*>(std::as_const(*this).FindValue(name));
}

TRegTree::TKey* TRegTree::TKey::FindSubKey(const std::string& name) const {
  const auto it = SubKeys.find(name);
  return it == SubKeys.end() ? nullptr : it->second.get();
}

TRegTree::TRegTree() {
  for (int i = 0; i < kRegRootCount; ++i) {
    roots_[i] = std::make_unique<TKey>();
    roots_[i]->Name = kRootNames[i];
  }
}

bool TRegTree::SplitPath(std::string_view path, std::vector<std::string>& names) {
  names.clear();
  if (!path.empty() && path.back() == '\\') path.remove_suffix(1);
  if (path.empty()) return true;
  size_t start = 0;
  for (;;) {
    const size_t end = path.find('\\', start);
    const std::string_view name =
        path.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (name.empty() || name.size() > kMaxRegKeyNameLength || HasControl(name) ||
        names.size() >= kMaxRegKeyDepth) {
      return WinFail(winerr::kInvalidParameter);
    }
    names.emplace_back(name);
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

TRegTree::TKey* TRegTree::Find(TRegRoot root, std::string_view path) const {
  std::vector<std::string> names;
  if (!SplitPath(path, names)) return nullptr;
  TKey* key = roots_[static_cast<int>(root)].get();
  for (const std::string& name : names) {
    key = key->FindSubKey(name);
    if (key == nullptr) {
      WinFail(winerr::kFileNotFound);
      return nullptr;
    }
  }
  return key;
}

TRegTree::TKey* TRegTree::Create(TRegRoot root, std::string_view path) {
  std::vector<std::string> names;
  if (!SplitPath(path, names)) return nullptr;
  TKey* key = roots_[static_cast<int>(root)].get();
  for (std::string& name : names) {
    auto it = key->SubKeys.find(name);
    if (it == key->SubKeys.end()) {
      auto sub = std::make_unique<TKey>();
      sub->Name = name;
      it = key->SubKeys.emplace(std::move(name), std::move(sub)).first;
    }
    key = it->second.get();
  }
  return key;
}

bool TRegTree::Remove(TRegRoot root, std::string_view path) {
  std::vector<std::string> names;
  if (!SplitPath(path, names)) return false;
  if (names.empty()) return WinFail(winerr::kAccessDenied);
  TKey* parent = roots_[static_cast<int>(root)].get();
  for (size_t i = 0; i + 1 < names.size(); ++i) {
    parent = parent->FindSubKey(names[i]);
    if (parent == nullptr) return WinFail(winerr::kFileNotFound);
  }
  const auto it = parent->SubKeys.find(names.back());
  if (it == parent->SubKeys.end()) return WinFail(winerr::kFileNotFound);
  if (!it->second->SubKeys.empty()) return WinFail(winerr::kAccessDenied);
  parent->SubKeys.erase(it);
  return true;
}

TRegTree TRegTree::Parse(std::string_view text, const std::string& fileName) {
  TRegTree tree;
  TParser(tree, text, fileName).Run();
  return tree;
}

std::string TRegTree::Text() const {
  std::string out = std::string(kHeader) + "\r\n\r\n";
  std::string path;
  for (int i = 0; i < kRegRootCount; ++i) {
    path = kRootNames[i];
    AppendKey(out, path, *roots_[i], true);
  }
  return out;
}

// ---- TRegistryStore ----

TRegistryStore::TRegistryStore(std::string path) : path_(std::move(path)) {}

void TRegistryStore::Refresh() {
  // A writer replaces the file by rename, so the file opened is the one
  // stat()ed unless a rename came in between; then look again.
  for (int attempt = 0;; ++attempt) {
    struct stat now;
    if (::stat(path_.c_str(), &now) != 0) {
      if (!read_once_ || !loaded_missing_) {
        tree_ = TRegTree();
        loaded_.reset();
        loaded_missing_ = true;
        read_once_ = true;
      }
      return;
    }
    if (read_once_ && loaded_ != nullptr && SameStat(loaded_stat_, now)) return;
    std::unique_ptr<TOSFile> file = TOSFile::Open(path_, TFileAccess::Read, TFileShare::DenyNone);
    if (file == nullptr) {
      if (GetLastOSError() == ENOENT && attempt < 8) continue;
      throw EDamagedFile(path_, 0, "cannot be read: " + GetOSErrorText(GetLastOSError()));
    }
    TFileIdentity id;
    if (!GetFileIdentity(*file, id)) {
      throw EDamagedFile(path_, 0, "cannot be read: " + GetOSErrorText(GetLastOSError()));
    }
    if ((id.device != now.st_dev || id.inode != now.st_ino) && attempt < 8) continue;
    std::string text;
    ReadMachineFile(*file, kMaxRegistryStoreSize, text);
    // Parse before taking anything over, so a damaged file leaves the last
    // good tree in place and is read again by the next call.
    TRegTree tree = TRegTree::Parse(text, path_);
    tree_ = std::move(tree);
    loaded_ = std::move(file);
    loaded_stat_ = now;
    loaded_missing_ = false;
    read_once_ = true;
    return;
  }
}

template <class F>
bool TRegistryStore::Change(F&& change) {
  struct stat st;
  if (::stat(path_.c_str(), &st) == 0 && (st.st_mode & 0222) == 0) {
    return WinFail(winerr::kAccessDenied);
  }
  TStoreLock lock(path_ + ".lock");
  if (!lock.Ok()) return WinFail(WinErrorFromErrno(errno));
  Refresh();
  if (!change(tree_)) return false;
  if (!WriteMachineFile(path_, tree_.Text())) {
    // Memory is ahead of the file now: read the file again next time.
    const uint32_t code = GetLastWinError();
    read_once_ = false;
    loaded_.reset();
    return WinFail(code);
  }
  // The tree is what the new file holds: take that file as the one read
  // (no one else can replace it while we hold the lock).
  std::unique_ptr<TOSFile> file = TOSFile::Open(path_, TFileAccess::Read, TFileShare::DenyNone);
  struct stat now;
  if (file != nullptr && ::stat(path_.c_str(), &now) == 0) {
    loaded_ = std::move(file);
    loaded_stat_ = now;
    loaded_missing_ = false;
  } else {
    read_once_ = false;
    loaded_.reset();
  }
  return true;
}

template <class F>
bool TRegistryStore::Query(TRegRoot root, std::string_view path, F&& answer) {
  std::lock_guard<std::mutex> guard(mutex_);
  Refresh();
  const TRegTree::TKey* key = tree_.Find(root, path);
  return key != nullptr && answer(*key);
}

bool TRegistryStore::KeyExists(TRegRoot root, std::string_view path) {
  return Query(root, path, [](const TRegTree::TKey&) { return true; });
}

bool TRegistryStore::CreateKey(TRegRoot root, std::string_view path) {
  std::lock_guard<std::mutex> guard(mutex_);
  Refresh();
  if (tree_.Find(root, path) != nullptr) return true;
  std::vector<std::string> names;
  if (!TRegTree::SplitPath(path, names)) return false;
  bool made = false;  // another process may have made it meanwhile
  const bool changed = Change([&](TRegTree& tree) {
    if (tree.Find(root, path) != nullptr) {
      made = true;
      return false;
    }
    return tree.Create(root, path) != nullptr;
  });
  return changed || made;
}

bool TRegistryStore::DeleteKey(TRegRoot root, std::string_view path) {
  std::lock_guard<std::mutex> guard(mutex_);
  return Change([&](TRegTree& tree) { return tree.Remove(root, path); });
}

bool TRegistryStore::GetKeyNames(TRegRoot root, std::string_view path,
                                 std::vector<std::string>& names) {
  names.clear();
  return Query(root, path, [&](const TRegTree::TKey& key) {
    for (const auto& [name, sub] : key.SubKeys) names.push_back(sub->Name);
    return true;
  });
}

bool TRegistryStore::GetValueNames(TRegRoot root, std::string_view path,
                                   std::vector<std::string>& names) {
  names.clear();
  return Query(root, path, [&](const TRegTree::TKey& key) {
    for (const TRegValue& v : key.Values) names.push_back(v.Name);
    return true;
  });
}

bool TRegistryStore::HasSubKeys(TRegRoot root, std::string_view path) {
  return Query(root, path, [](const TRegTree::TKey& key) { return !key.SubKeys.empty(); });
}

bool TRegistryStore::ValueExists(TRegRoot root, std::string_view path, std::string_view name) {
  return Query(root, path,
               [&](const TRegTree::TKey& key) { return key.FindValue(name) != nullptr; });
}

bool TRegistryStore::ReadValue(TRegRoot root, std::string_view path, std::string_view name,
                               TRegValue& value) {
  return Query(root, path, [&](const TRegTree::TKey& key) {
    const TRegValue* v = key.FindValue(name);
    if (v == nullptr) return WinFail(winerr::kFileNotFound);
    value = *v;
    return true;
  });
}

bool TRegistryStore::WriteValue(TRegRoot root, std::string_view path, std::string_view name,
                                uint32_t type, std::string_view data) {
  if (!ValidValueName(name)) return WinFail(winerr::kInvalidParameter);
  std::lock_guard<std::mutex> guard(mutex_);
  return Change([&](TRegTree& tree) {
    TRegTree::TKey* key = tree.Find(root, path);
    if (key == nullptr) return false;
    if (TRegValue* v = key->FindValue(name)) {
      v->Type = type;
      v->Data.assign(data);
    } else {
      key->Values.push_back(TRegValue{std::string(name), type, std::string(data)});
    }
    return true;
  });
}

bool TRegistryStore::DeleteValue(TRegRoot root, std::string_view path, std::string_view name) {
  std::lock_guard<std::mutex> guard(mutex_);
  return Change([&](TRegTree& tree) {
    TRegTree::TKey* key = tree.Find(root, path);
    if (key == nullptr) return false;
    const auto it = std::find_if(key->Values.begin(), key->Values.end(),
                                 [&](const TRegValue& v) { return AnsiSameText(v.Name, name); });
    if (it == key->Values.end()) return WinFail(winerr::kFileNotFound);
    key->Values.erase(it);
    return true;
  });
}

std::string TRegistryStore::Text() {
  std::lock_guard<std::mutex> guard(mutex_);
  Refresh();
  return tree_.Text();
}

TRegistryStore& MachineRegistry() {
  return CurrentMachine().Registry();
}

}  // namespace os
