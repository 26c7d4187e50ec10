#include "os/win_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <map>
#include <mutex>

#include "os/local_time.h"
#include "os/machine.h"
#include "os/random.h"
#include "os/sys_info.h"
#include "os/win_error.h"
#include "os/win_path.h"

namespace os {
namespace {

struct TDirCloser {
  void operator()(DIR* d) const { closedir(d); }
};

constexpr size_t kCopyChunk = size_t{64} << 10;
// Whole-file reads are for small text files (INI files, tables); anything
// larger is not one of them.
constexpr int64_t kMaxWholeFile = int64_t{64} << 20;
constexpr mode_t kAnyWrite = S_IWUSR | S_IWGRP | S_IWOTH;
// The attributes kept in the tables: everything but read-only (the write bit)
// and directory (the kind of entry).
constexpr uint32_t kTableBits = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY |
                                FILE_ATTRIBUTE_OFFLINE;

bool FailErrno(int code) {
  return WinFail(WinErrorFromErrno(code));
}
bool FailOS() {
  return FailErrno(GetLastOSError());
}

struct TTarget {
  char Drive = 0;  // the drive whose folder holds Host
  std::string Host;
  std::string Name;  // the last component as the caller wrote it
};

bool Resolve(const std::string& path, TTarget& t) {
  TWinPath parsed;
  if (!ParseWinPath(path, parsed) || !ResolveWinPath(parsed, t.Host)) return false;
  // The drive that holds the file, which for a path through Z: into another
  // drive's folder is that drive: its capacity and attribute table apply.
  t.Drive = CurrentMachine().DriveOfHostPath(t.Host);
  t.Name = parsed.Parts.empty() ? std::string() : parsed.Parts.back();
  return true;
}

std::string ParentOf(const std::string& host) {
  const size_t slash = host.rfind('/');
  return slash == 0 || slash == std::string::npos ? std::string("/") : host.substr(0, slash);
}

bool IsDirectory(const std::string& host) {
  struct stat st {};
  return stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A name that is not there: "file not found" when its folder exists, else
// "path not found", as Windows tells them apart.
bool FailMissing(const std::string& host) {
  return WinFail(IsDirectory(ParentOf(host)) ? winerr::kFileNotFound : winerr::kPathNotFound);
}

bool FailLstat(const std::string& host) {
  const int code = errno;
  return code == ENOENT || code == ENOTDIR ? FailMissing(host) : FailErrno(code);
}

bool IsReadOnlyFile(const struct stat& st) {
  return S_ISREG(st.st_mode) && (st.st_mode & kAnyWrite) == 0;
}

// Held open elsewhere: named by the hook, or its share lock cannot be taken
// exclusively because a handle of this layer holds it (in any process).
bool HostInUse(const TMachine& machine, const std::string& host) {
  if (machine.IsHostFileMarkedInUse(host)) return true;
  // Only files take share locks; opening anything else (a pipe) could block.
  struct stat st {};
  if (lstat(host.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  const std::unique_ptr<TOSFile> probe =
      TOSFile::Open(host, TFileAccess::Read, TFileShare::Exclusive);
  return probe == nullptr && IsSharingViolation(GetLastOSError());
}

// The bytes the files of a drive take.
int64_t DriveUsage(const TMachine& machine, char drive) {
  namespace fs = std::filesystem;
  int64_t used = 0;
  std::error_code ec;
  fs::recursive_directory_iterator it(machine.DriveFolder(drive),
                                      fs::directory_options::skip_permission_denied, ec);
  for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    const fs::file_status st = it->symlink_status(ec);
    if (!ec && fs::is_regular_file(st)) {
      const uintmax_t size = it->file_size(ec);
      if (!ec) used += static_cast<int64_t>(size);
    }
    ec.clear();
  }
  return used;
}

// Writes through `file`, never letting the drive's files grow past its
// capacity: what fits is written and the rest fails with kDiskFull.
int64_t CappedWrite(TOSFile& file, const TMachine& machine, char drive, uint64_t offset,
                    const void* buffer, size_t count) {
  constexpr uint64_t kMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  if (offset > kMax || count > kMax - offset) {
    WinFail(winerr::kInvalidParameter);
    return -1;
  }
  size_t allowed = count;
  const int64_t capacity = machine.DriveCapacity(drive);
  if (capacity >= 0) {
    const int64_t size = file.Size();
    if (size < 0) {
      FailOS();
      return -1;
    }
    const uint64_t end = offset + count;
    if (end > static_cast<uint64_t>(size)) {
      const int64_t room = std::max<int64_t>(0, capacity - DriveUsage(machine, drive));
      const uint64_t limit = static_cast<uint64_t>(size) + static_cast<uint64_t>(room);
      if (end > limit) allowed = offset >= limit ? 0 : static_cast<size_t>(limit - offset);
    }
  }
  int64_t written = 0;
  if (allowed > 0) {
    written = file.Write(offset, buffer, allowed);
    if (written < 0) {
      FailOS();
      return -1;
    }
  }
  if (allowed < count) WinFail(winerr::kDiskFull);
  return written;
}

// ---- attribute tables ----

std::mutex g_table_mutex;  // one change of a table at a time in this process

// The attributes other than read-only of one drive, keyed by the host path
// relative to the drive's folder. Text form, one entry a line: eight hex
// digits, a blank, the relative path.
class TAttributeTable {
 public:
  TAttributeTable(const TMachine& machine, char drive)
      : path_(machine.AttributeTablePath(drive)), folder_(machine.DriveFolder(drive)) {
    Load();
  }

  std::string Key(const std::string& host) const {
    if (folder_ == "/") return host.substr(1);
    return host.size() > folder_.size() ? host.substr(folder_.size() + 1) : std::string();
  }

  bool Get(const std::string& host, uint32_t& bits) const {
    const auto it = entries_.find(Key(host));
    if (it == entries_.end()) return false;
    bits = it->second;
    return true;
  }
  void Set(const std::string& host, uint32_t bits) {
    const std::string key = Key(host);
    if (key.empty()) return;  // a drive's root keeps no attributes
    entries_[key] = bits & kTableBits;
    dirty_ = true;
  }
  // Takes away the entry of `host` and those below it; returns them by key
  // relative to `host` ("" for its own).
  std::map<std::string, uint32_t> Take(const std::string& host) {
    std::map<std::string, uint32_t> taken;
    const std::string key = Key(host);
    for (auto it = entries_.lower_bound(key); it != entries_.end();) {
      const std::string& k = it->first;
      if (k == key) {
        taken[""] = it->second;
      } else if (k.size() > key.size() && k.compare(0, key.size(), key) == 0 &&
                 k[key.size()] == '/') {
        taken[k.substr(key.size())] = it->second;
      } else if (k.compare(0, key.size(), key) != 0) {
        break;
      } else {
        ++it;
        continue;
      }
      it = entries_.erase(it);
      dirty_ = true;
    }
    return taken;
  }
  void Put(const std::string& host, const std::map<std::string, uint32_t>& taken) {
    const std::string key = Key(host);
    for (const auto& [rest, bits] : taken) entries_[key + rest] = bits;
    if (!taken.empty()) dirty_ = true;
  }

  bool Save() {
    if (!dirty_) return true;
    if (entries_.empty()) {
      if (unlink(path_.c_str()) != 0 && errno != ENOENT) return FailErrno(errno);
      return true;
    }
    std::string text;
    for (const auto& [key, bits] : entries_) {
      char hex[10];
      std::snprintf(hex, sizeof hex, "%08X ", bits);
      text.append(hex).append(key).append("\n");
    }
    return WriteMachineFile(path_, text);
  }

 private:
  void Load() {
    std::string text;
    if (!ReadMachineFile(path_, kMaxWholeFile, text)) return;
    size_t pos = 0;
    int line = 0;
    while (pos < text.size()) {
      ++line;
      size_t end = text.find('\n', pos);
      if (end == std::string::npos) end = text.size();
      const std::string_view l(text.data() + pos, end - pos);
      pos = end + 1;
      unsigned bits = 0;
      bool ok = l.size() > 9 && l[8] == ' ';
      for (size_t i = 0; ok && i < 8; ++i) {
        const char c = l[i];
        const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        ok = d >= 0;
        bits = bits << 4 | static_cast<unsigned>(d < 0 ? 0 : d);
      }
      if (ok) ok = l.find('\0') == std::string_view::npos && l[9] != '/';
      if (!ok) throw EDamagedFile(path_, line, "not an attribute entry");
      entries_[std::string(l.substr(9))] = bits & kTableBits;
    }
  }

  std::string path_;
  std::string folder_;
  std::map<std::string, uint32_t> entries_;
  bool dirty_ = false;
};

void ForgetAttributes(const TMachine& machine, char drive, const std::string& host) {
  std::lock_guard<std::mutex> lock(g_table_mutex);
  TAttributeTable table(machine, drive);
  table.Take(host);
  table.Save();
}

void MoveAttributes(const TMachine& machine, char fromDrive, const std::string& from, char toDrive,
                    const std::string& to) {
  std::lock_guard<std::mutex> lock(g_table_mutex);
  TAttributeTable source(machine, fromDrive);
  std::map<std::string, uint32_t> taken = source.Take(from);
  if (fromDrive == toDrive) {
    source.Take(to);  // a replaced file's entry goes with it
    source.Put(to, taken);
    source.Save();
    return;
  }
  source.Save();
  TAttributeTable target(machine, toDrive);
  target.Take(to);
  target.Put(to, taken);
  target.Save();
}

uint32_t AttributesOf(const TAttributeTable& table, const std::string& host,
                      const struct stat& st) {
  uint32_t bits = 0;
  const bool found = table.Get(host, bits);
  if (S_ISDIR(st.st_mode)) {
    bits |= FILE_ATTRIBUTE_DIRECTORY;
  } else {
    if (!found) bits = FILE_ATTRIBUTE_ARCHIVE;  // what Windows gives a new file
    if ((st.st_mode & kAnyWrite) == 0) bits |= FILE_ATTRIBUTE_READONLY;
  }
  return bits == 0 ? FILE_ATTRIBUTE_NORMAL : bits;
}

bool SetHostDate(const std::string& host, double date) {
  int64_t seconds = 0;
  if (!UnixFromLocalDateTime(date, seconds)) return WinFail(winerr::kInvalidParameter);
  timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(seconds);
  times[1].tv_nsec = 0;
  return utimensat(AT_FDCWD, host.c_str(), times, 0) == 0 || FailErrno(errno);
}

// Checks that `host` may be written over (not a folder, not read-only, not in
// use) when it exists, or that its folder exists when it does not. `exists`
// tells which.
bool CheckWritable(const TMachine& machine, const std::string& host, bool& exists) {
  struct stat st {};
  exists = lstat(host.c_str(), &st) == 0;
  if (!exists) {
    if (errno != ENOENT && errno != ENOTDIR) return FailErrno(errno);
    return IsDirectory(ParentOf(host)) || WinFail(winerr::kPathNotFound);
  }
  if (S_ISDIR(st.st_mode) || IsReadOnlyFile(st)) return WinFail(winerr::kAccessDenied);
  if (HostInUse(machine, host)) return WinFail(winerr::kSharingViolation);
  return true;
}

}  // namespace

// ---- handles ----

TWinFile::TWinFile(std::unique_ptr<TOSFile> file, const TMachine& machine, char drive)
    : file_(std::move(file)), machine_(machine), drive_(drive) {}

std::unique_ptr<TWinFile> TWinFile::Open(const std::string& path, TFileAccess access,
                                         TFileShare share) {
  TTarget t;
  if (!Resolve(path, t)) return nullptr;
  std::unique_ptr<TOSFile> file = TOSFile::Open(t.Host, access, share);
  if (file == nullptr) {
    const int code = GetLastOSError();
    if (code == ENOENT || code == ENOTDIR) {
      FailMissing(t.Host);
    } else {
      FailErrno(code);
    }
    return nullptr;
  }
  return std::unique_ptr<TWinFile>(new TWinFile(std::move(file), CurrentMachine(), t.Drive));
}

std::unique_ptr<TWinFile> TWinFile::Create(const std::string& path, TFileCreation creation) {
  TTarget t;
  if (!Resolve(path, t)) return nullptr;
  std::unique_ptr<TOSFile> file = TOSFile::Create(t.Host, creation);
  if (file == nullptr) {
    const int code = GetLastOSError();
    WinFail(code == ENOENT || code == ENOTDIR ? winerr::kPathNotFound
            : code == EEXIST                  ? winerr::kFileExists
                                              : WinErrorFromErrno(code));
    return nullptr;
  }
  return std::unique_ptr<TWinFile>(new TWinFile(std::move(file), CurrentMachine(), t.Drive));
}

int64_t TWinFile::Read(uint64_t offset, void* buffer, size_t count) {
  const int64_t n = file_->Read(offset, buffer, count);
  if (n < 0) FailOS();
  return n;
}

int64_t TWinFile::Write(uint64_t offset, const void* buffer, size_t count) {
  return CappedWrite(*file_, machine_, drive_, offset, buffer, count);
}

int64_t TWinFile::Size() {
  const int64_t n = file_->Size();
  if (n < 0) FailOS();
  return n;
}

bool TWinFile::SetSize(uint64_t size) {
  const int64_t capacity = machine_.DriveCapacity(drive_);
  if (capacity >= 0) {
    const int64_t now = file_->Size();
    if (now < 0) return FailOS();
    if (size > static_cast<uint64_t>(now) &&
        size - static_cast<uint64_t>(now) >
            static_cast<uint64_t>(std::max<int64_t>(0, capacity - DriveUsage(machine_, drive_)))) {
      return WinFail(winerr::kDiskFull);
    }
  }
  return file_->SetSize(size) || FailOS();
}

bool TWinFile::Flush() {
  return file_->Flush() || FailOS();
}

// ---- names ----

bool WinFileExists(const std::string& path) {
  TTarget t;
  if (!Resolve(path, t)) return false;
  struct stat st {};
  if (stat(t.Host.c_str(), &st) != 0) return FailLstat(t.Host);
  return !S_ISDIR(st.st_mode) || WinFail(winerr::kFileNotFound);
}

bool WinDirectoryExists(const std::string& path) {
  TTarget t;
  if (!Resolve(path, t)) return false;
  struct stat st {};
  if (stat(t.Host.c_str(), &st) != 0) return FailLstat(t.Host);
  return S_ISDIR(st.st_mode) || WinFail(winerr::kDirectory);
}

bool WinDeleteFile(const std::string& path) {
  TTarget t;
  if (!Resolve(path, t)) return false;
  const TMachine& machine = CurrentMachine();
  struct stat st {};
  if (lstat(t.Host.c_str(), &st) != 0) return FailLstat(t.Host);
  if (S_ISDIR(st.st_mode) || IsReadOnlyFile(st)) return WinFail(winerr::kAccessDenied);
  if (HostInUse(machine, t.Host)) return WinFail(winerr::kSharingViolation);
  if (unlink(t.Host.c_str()) != 0) return FailErrno(errno);
  ForgetAttributes(machine, t.Drive, t.Host);
  return true;
}

bool WinMoveFile(const std::string& oldPath, const std::string& newPath) {
  TTarget from, to;
  if (!Resolve(oldPath, from) || !Resolve(newPath, to)) return false;
  const TMachine& machine = CurrentMachine();
  struct stat st {};
  if (lstat(from.Host.c_str(), &st) != 0) return FailLstat(from.Host);
  std::string target = to.Host;
  if (to.Host == from.Host) {
    // The same entry: a change of case only, or nothing at all.
    target = ParentOf(from.Host) + (ParentOf(from.Host) == "/" ? "" : "/") + to.Name;
    if (target == from.Host) return true;
  } else {
    struct stat other {};
    if (lstat(to.Host.c_str(), &other) == 0) return WinFail(winerr::kAlreadyExists);
    if (!IsDirectory(ParentOf(to.Host))) return WinFail(winerr::kPathNotFound);
  }
  if (!S_ISDIR(st.st_mode) && HostInUse(machine, from.Host)) {
    return WinFail(winerr::kSharingViolation);
  }
  if (!RenameFile(from.Host, target)) {
    if (GetLastOSError() != EXDEV || !S_ISREG(st.st_mode)) return FailOS();
    // Another host file system: a file moves as a copy and a delete, as Windows
    // moves a file to another volume; a folder cannot.
    if (!WinCopyFile(oldPath, newPath, true)) return false;
    if (unlink(from.Host.c_str()) != 0) {
      const int code = errno;
      unlink(to.Host.c_str());
      ForgetAttributes(machine, to.Drive, to.Host);
      return FailErrno(code);
    }
    ForgetAttributes(machine, from.Drive, from.Host);
    return true;
  }
  MoveAttributes(machine, from.Drive, from.Host, to.Drive, target);
  return true;
}

bool WinReplaceFile(const std::string& oldPath, const std::string& newPath) {
  TTarget from, to;
  if (!Resolve(oldPath, from) || !Resolve(newPath, to)) return false;
  const TMachine& machine = CurrentMachine();
  struct stat st {};
  if (lstat(from.Host.c_str(), &st) != 0) return FailLstat(from.Host);
  if (S_ISDIR(st.st_mode)) return WinFail(winerr::kAccessDenied);
  if (from.Host == to.Host) return true;
  bool exists = false;
  if (!CheckWritable(machine, to.Host, exists)) return false;
  if (HostInUse(machine, from.Host)) return WinFail(winerr::kSharingViolation);
  if (rename(from.Host.c_str(), to.Host.c_str()) != 0) return FailErrno(errno);
  MoveAttributes(machine, from.Drive, from.Host, to.Drive, to.Host);
  return true;
}

bool WinCopyFile(const std::string& src, const std::string& dst, bool failIfExists) {
  TTarget from, to;
  if (!Resolve(src, from) || !Resolve(dst, to)) return false;
  const TMachine& machine = CurrentMachine();
  struct stat st {};
  if (stat(from.Host.c_str(), &st) != 0) return FailLstat(from.Host);
  if (S_ISDIR(st.st_mode)) return WinFail(winerr::kAccessDenied);
  if (from.Host == to.Host) return WinFail(winerr::kSharingViolation);
  struct stat other {};
  if (failIfExists && lstat(to.Host.c_str(), &other) == 0) return WinFail(winerr::kFileExists);
  bool exists = false;
  if (!CheckWritable(machine, to.Host, exists)) return false;

  std::unique_ptr<TOSFile> in = TOSFile::Open(from.Host, TFileAccess::Read, TFileShare::DenyNone);
  if (in == nullptr) return FailOS();
  std::unique_ptr<TOSFile> out = TOSFile::Create(to.Host, TFileCreation::CreateAlways);
  if (out == nullptr) return FailOS();
  // From here a failure removes the destination rather than leave a partial
  // copy that looks whole.
  auto abandon = [&]() {
    const uint32_t code = GetLastWinError();
    out.reset();
    unlink(to.Host.c_str());
    return WinFail(code);
  };
  std::vector<char> buffer(kCopyChunk);
  uint64_t offset = 0;
  for (;;) {
    const int64_t n = in->Read(offset, buffer.data(), buffer.size());
    if (n < 0) {
      FailOS();
      return abandon();
    }
    if (n == 0) break;
    if (CappedWrite(*out, machine, to.Drive, offset, buffer.data(), static_cast<size_t>(n)) != n) {
      return abandon();
    }
    offset += static_cast<uint64_t>(n);
  }
  if (!out->Flush()) {
    FailOS();
    return abandon();
  }
  out.reset();
  in.reset();
  // The copy keeps the source's date, read-only bit and other attributes.
  timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = st.st_mtim.tv_sec;
  times[1].tv_nsec = 0;
  utimensat(AT_FDCWD, to.Host.c_str(), times, 0);
  if ((st.st_mode & kAnyWrite) == 0) SetFileReadOnly(to.Host, true);
  {
    std::lock_guard<std::mutex> lock(g_table_mutex);
    uint32_t bits = 0;
    const bool found = TAttributeTable(machine, from.Drive).Get(from.Host, bits);
    TAttributeTable table(machine, to.Drive);
    table.Take(to.Host);
    if (found) table.Set(to.Host, bits);
    table.Save();
  }
  return true;
}

bool WinCreateDirectory(const std::string& path) {
  TTarget t;
  if (!Resolve(path, t)) return false;
  if (mkdir(t.Host.c_str(), 0777) == 0) return true;
  const int code = errno;
  if (code == ENOENT || code == ENOTDIR) return WinFail(winerr::kPathNotFound);
  return FailErrno(code);
}

bool WinForceDirectories(const std::string& path) {
  TWinPath parsed;
  if (!ParseWinPath(path, parsed)) return false;
  // One component at a time, each resolved again, so that a folder that
  // exists in another case is entered rather than made twice.
  TWinPath step;
  step.Drive = parsed.Drive;
  for (const std::string& part : parsed.Parts) {
    step.Parts.push_back(part);
    std::string host;
    if (!ResolveWinPath(step, host)) return false;
    struct stat st {};
    if (stat(host.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) return WinFail(winerr::kAlreadyExists);
      continue;
    }
    if (mkdir(host.c_str(), 0777) != 0 && errno != EEXIST) return FailErrno(errno);
  }
  std::string host;
  if (!ResolveWinPath(parsed, host)) return false;
  return IsDirectory(host) || WinFail(winerr::kPathNotFound);
}

bool WinRemoveDirectory(const std::string& path) {
  TTarget t;
  if (!Resolve(path, t)) return false;
  if (t.Name.empty()) return WinFail(winerr::kAccessDenied);  // a drive's root stays
  if (rmdir(t.Host.c_str()) != 0) {
    const int code = errno;
    if (code == ENOENT) return FailMissing(t.Host);
    if (code == ENOTDIR) return WinFail(winerr::kDirectory);
    return FailErrno(code);
  }
  ForgetAttributes(CurrentMachine(), t.Drive, t.Host);
  return true;
}

bool WinListDirectory(const std::string& path, std::vector<TWinFindData>& entries) {
  TTarget t;
  if (!Resolve(path, t)) return false;
  std::unique_ptr<DIR, TDirCloser> dir(opendir(t.Host.c_str()));
  if (!dir) {
    const int code = errno;
    if (code == ENOENT) return WinFail(winerr::kPathNotFound);
    if (code == ENOTDIR) return WinFail(winerr::kDirectory);
    return FailErrno(code);
  }
  std::lock_guard<std::mutex> lock(g_table_mutex);
  const TAttributeTable table(CurrentMachine(), t.Drive);
  entries.clear();
  const std::string prefix = t.Host == "/" ? "/" : t.Host + "/";
  while (const dirent* e = readdir(dir.get())) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    // A host name that no Windows path can name is not listed.
    TWinPath probe;
    if (!ParseWinPath(std::string("C:\\") + name, probe) || probe.Parts.size() != 1 ||
        probe.Parts[0] != name) {
      continue;
    }
    const std::string host = prefix + name;
    struct stat st {};
    if (lstat(host.c_str(), &st) != 0) continue;  // gone meanwhile
    TWinFindData d;
    d.Name = name;
    d.Attributes = AttributesOf(table, host, st);
    d.Size = S_ISDIR(st.st_mode) ? 0 : static_cast<int64_t>(st.st_size);
    d.Date = LocalDateTimeFromUnix(static_cast<int64_t>(st.st_mtim.tv_sec));
    entries.push_back(std::move(d));
  }
  std::sort(entries.begin(), entries.end(),
            [](const TWinFindData& a, const TWinFindData& b) { return a.Name < b.Name; });
  SetLastWinError(winerr::kSuccess);
  return true;
}

// ---- size, date, attributes ----

int64_t WinGetFileSize(const std::string& path) {
  TTarget t;
  if (!Resolve(path, t)) return -1;
  struct stat st {};
  if (stat(t.Host.c_str(), &st) != 0) {
    FailLstat(t.Host);
    return -1;
  }
  if (S_ISDIR(st.st_mode)) {
    WinFail(winerr::kAccessDenied);
    return -1;
  }
  return static_cast<int64_t>(st.st_size);
}

bool WinGetFileDate(const std::string& path, double& date) {
  TTarget t;
  if (!Resolve(path, t)) return false;
  struct stat st {};
  if (stat(t.Host.c_str(), &st) != 0) return FailLstat(t.Host);
  date = LocalDateTimeFromUnix(static_cast<int64_t>(st.st_mtim.tv_sec));
  return true;
}

bool WinSetFileDate(const std::string& path, double date) {
  TTarget t;
  if (!Resolve(path, t)) return false;
  struct stat st {};
  if (stat(t.Host.c_str(), &st) != 0) return FailLstat(t.Host);
  return SetHostDate(t.Host, date);
}

uint32_t WinGetFileAttributes(const std::string& path) {
  TTarget t;
  if (!Resolve(path, t)) return INVALID_FILE_ATTRIBUTES;
  struct stat st {};
  if (stat(t.Host.c_str(), &st) != 0) {
    FailLstat(t.Host);
    return INVALID_FILE_ATTRIBUTES;
  }
  std::lock_guard<std::mutex> lock(g_table_mutex);
  return AttributesOf(TAttributeTable(CurrentMachine(), t.Drive), t.Host, st);
}

bool WinSetFileAttributes(const std::string& path, uint32_t attributes) {
  TTarget t;
  if (!Resolve(path, t)) return false;
  struct stat st {};
  if (stat(t.Host.c_str(), &st) != 0) return FailLstat(t.Host);
  if (!S_ISDIR(st.st_mode) &&
      !SetFileReadOnly(t.Host, (attributes & FILE_ATTRIBUTE_READONLY) != 0)) {
    return FailOS();
  }
  std::lock_guard<std::mutex> lock(g_table_mutex);
  TAttributeTable table(CurrentMachine(), t.Drive);
  table.Set(t.Host, attributes);
  return table.Save();
}

std::string WinGetShortPathName(const std::string& path) {
  TTarget t;
  if (!Resolve(path, t)) return {};
  struct stat st {};
  if (stat(t.Host.c_str(), &st) != 0) {
    FailLstat(t.Host);
    return {};
  }
  return path;
}

// ---- in use, temporary files, restart ----

bool WinIsFileInUse(const std::string& path) {
  TTarget t;
  return Resolve(path, t) && HostInUse(CurrentMachine(), t.Host);
}

bool WinSetFileInUse(const std::string& path, bool inUse) {
  TTarget t;
  if (!Resolve(path, t)) return false;
  CurrentMachine().SetHostFileInUse(t.Host, inUse);
  return true;
}

std::string WinGetTempFileName(const std::string& prefix) {
  std::string dir = CurrentMachine().Profile().TempDirectory;
  while (!dir.empty() && (dir.back() == '\\' || dir.back() == '/')) dir.pop_back();
  std::string host;
  if (!ResolveWinPath(dir, host)) return {};
  if (!IsDirectory(host)) {
    WinFail(winerr::kDirectory);
    return {};
  }
  const std::string pre = prefix.substr(0, 3);
  // Numbers 1..65535 from a random start, so that two processes rarely
  // try the same names one after the other.
  const unsigned start = static_cast<unsigned>(Random(65535));
  for (unsigned i = 0; i < 65535; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "%04X.tmp", (start + i) % 65535 + 1);
    const std::string path = dir + "\\" + pre + name;
    std::unique_ptr<TWinFile> file = TWinFile::Create(path, TFileCreation::CreateNew);
    if (file != nullptr) return path;
    if (GetLastWinError() != winerr::kFileExists) return {};
  }
  WinFail(winerr::kFileExists);
  return {};
}

bool WinMoveFileDelayed(const std::string& oldPath, const std::string& newPath) {
  const TMachine& machine = CurrentMachine();
  if (machine.FailDelayedMoves()) return WinFail(winerr::kAccessDenied);
  TWinPath from, to;
  if (!ParseWinPath(oldPath, from) || !ParseWinPath(newPath, to)) return false;
  std::string host;
  if (!ResolveWinPath(from, host)) return false;
  struct stat st {};
  if (lstat(host.c_str(), &st) != 0) return FailLstat(host);
  const std::string line = from.Text() + "|" + to.Text() + "\n";
  const std::string record = machine.PendingMovesPath();
  std::error_code ec;
  std::filesystem::create_directories(ParentOf(record), ec);
  if (ec) return FailErrno(ec.value());
  // Appends are whole lines in one write, so concurrent recorders never mix.
  const int fd = open(record.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return FailErrno(errno);
  ssize_t n;
  do {
    n = write(fd, line.data(), line.size());
  } while (n < 0 && errno == EINTR);
  const int code = n < 0 ? errno : (static_cast<size_t>(n) != line.size() ? ENOSPC : 0);
  const bool synced = code == 0 && fsync(fd) == 0;
  const int syncCode = errno;
  close(fd);
  if (code != 0) return FailErrno(code);
  return synced || FailErrno(syncCode);
}

std::vector<TDelayedMove> WinReadDelayedMoves() {
  const std::string record = CurrentMachine().PendingMovesPath();
  std::vector<TDelayedMove> moves;
  std::string text;
  if (!ReadMachineFile(record, kMaxWholeFile, text)) return moves;
  size_t pos = 0;
  int line = 0;
  while (pos < text.size()) {
    ++line;
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) throw EDamagedFile(record, line, "last line is cut short");
    const std::string l = text.substr(pos, end - pos);
    pos = end + 1;
    const size_t bar = l.find('|');
    TWinPath from, to;
    if (bar == std::string::npos || !ParseWinPath(l.substr(0, bar), from) ||
        !ParseWinPath(l.substr(bar + 1), to)) {
      throw EDamagedFile(record, line, "not a move of one path to another");
    }
    moves.push_back({from.Text(), to.Text()});
  }
  return moves;
}

bool WinClearDelayedMoves() {
  const std::string record = CurrentMachine().PendingMovesPath();
  if (::unlink(record.c_str()) == 0 || errno == ENOENT) return true;
  return FailErrno(errno);
}

// ---- whole files ----

bool WinReadWholeFile(const std::string& path, std::string& data) {
  std::unique_ptr<TWinFile> f = TWinFile::Open(path, TFileAccess::Read, TFileShare::DenyNone);
  if (f == nullptr) return false;
  const int64_t size = f->Size();
  if (size < 0) return false;
  if (size > kMaxWholeFile) return WinFail(winerr::kNotEnoughMemory);
  std::string text(static_cast<size_t>(size), '\0');
  const int64_t n = f->Read(0, text.data(), text.size());
  if (n < 0) return false;
  text.resize(static_cast<size_t>(n));
  data = std::move(text);
  return true;
}

bool WinWriteWholeFile(const std::string& path, const std::string& data) {
  TTarget t;
  if (!Resolve(path, t)) return false;
  const TMachine& machine = CurrentMachine();
  bool exists = false;
  if (!CheckWritable(machine, t.Host, exists)) return false;
  std::string temp;
  std::unique_ptr<TOSFile> out;
  for (int attempt = 0; attempt < 16 && out == nullptr; ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".~%04X", static_cast<unsigned>(Random(65536)));
    temp = t.Host + suffix;
    out = TOSFile::Create(temp, TFileCreation::CreateNew);
    if (out == nullptr && GetLastOSError() != EEXIST) break;
  }
  if (out == nullptr) return FailOS();
  if (CappedWrite(*out, machine, t.Drive, 0, data.data(), data.size()) !=
          static_cast<int64_t>(data.size()) ||
      !(out->Flush() || FailOS())) {
    const uint32_t code = GetLastWinError();
    out.reset();
    unlink(temp.c_str());
    return WinFail(code);
  }
  out.reset();
  if (rename(temp.c_str(), t.Host.c_str()) != 0) {
    const int code = errno;
    unlink(temp.c_str());
    return FailErrno(code);
  }
  return true;
}

}  // namespace os
