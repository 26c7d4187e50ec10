#include "engine/storage/lock/lock_file.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "engine/storage/base/tav_errors.h"
#include "engine/storage/base/tav_logger.h"
#include "host/rtl/string_list.h"
#include "host/rtl/sys_utils.h"
#include "os/clock.h"
#include "os/file.h"
#include "os/sys_info.h"

namespace tav {

namespace {

constexpr const char* kMsgTooLarge = "The lock file has grown too large";
constexpr const char* kMsgNotOpened = "The lock file could not be opened";
constexpr const char* kMsgNotCreated = "Lock File could not be created";
constexpr const char* kMsgNotCompleted = "Unable to complete lock file creation";

// How often Open starts again because the file it opened was deleted by the
// last user leaving before Open had its mutex. Each round needs another
// process to create and delete the whole file in between, so a few suffice.
constexpr int kReopenLimit = 50;
// How many temporary names are tried before creation gives up.
constexpr int kTempNameLimit = 100;

std::atomic<uint32_t> g_temp_counter{0};

// Does the name still lead to the file this handle holds? False once the file
// has been deleted (or deleted and made anew) since the handle was opened.
bool StillNamed(const os::TOSFile& file, const std::string& name) {
  os::TFileIdentity held, named;
  return os::GetFileIdentity(file, held) && held.linkCount > 0 &&
         os::GetPathIdentity(name, named) && os::IsSameFile(held, named);
}

// Deletes the file at `name` when it holds nothing: it is empty or its first
// 8 bytes are zero (no name: nothing to do).
void DeleteIfEmpty(const std::string& name) {
  if (name.empty()) return;
  std::unique_ptr<os::TOSFile> file =
      os::TOSFile::Open(name, os::TFileAccess::Read, os::TFileShare::DenyNone);
  if (!file) return;
  uint8_t head[8] = {};
  const int64_t got = file->Read(0, head, sizeof head);
  if (got < 0) return;
  for (int64_t i = 0; i < got; ++i)
    if (head[i] != 0) return;
  file.reset();
  os::DeleteFile(name);
}

// Removes a temporary file's name when creation ends, however it ends; after a
// successful link the real name keeps the file.
class TTempName {
 public:
  explicit TTempName(std::string path) : path_(std::move(path)) {}
  ~TTempName() { os::DeleteFile(path_); }
  TTempName(const TTempName&) = delete;
  TTempName& operator=(const TTempName&) = delete;

 private:
  std::string path_;
};

}  // namespace

// A range of a file locked through one handle, unlocked when the guard goes.
// The mutex byte, the parent lock and every probe of a lock range go through
// it, so that an error on the way leaves nothing locked.
class TLckRangeLock {
 public:
  TLckRangeLock() = default;
  ~TLckRangeLock() { Release(); }
  TLckRangeLock(const TLckRangeLock&) = delete;
  TLckRangeLock& operator=(const TLckRangeLock&) = delete;

  // One attempt.
  bool TryLock(os::TOSFile& file, uint64_t offset, uint64_t length) {
    Release();
    if (!file.LockRange(offset, length)) return false;
    file_ = &file;
    offset_ = offset;
    length_ = length;
    return true;
  }

  // One byte: one attempt and kLckLockRetries more, pausing after each failed
  // retry.
  bool Acquire(os::TOSFile& file, uint64_t offset) {
    if (TryLock(file, offset, 1)) return true;
    for (int retry = 0; retry < kLckLockRetries; ++retry) {
      if (TryLock(file, offset, 1)) return true;
      os::Sleep(kLckLockRetryInterval);
    }
    return false;
  }

  void Release() {
    if (file_ == nullptr) return;
    file_->UnlockRange(offset_, length_);
    file_ = nullptr;
  }

 private:
  os::TOSFile* file_ = nullptr;
  uint64_t offset_ = 0;
  uint64_t length_ = 0;
};

std::string GetLockFileName(const std::string& dbFileName) {
  // Only the file name takes part: a dot in a folder name must not move the
  // lock file into another folder.
  const std::string folder = host::ExtractFilePath(dbFileName);
  std::string name = host::ExtractFileName(dbFileName);
  if (host::LowerCase(name).find(".tav") == std::string::npos) {
    const std::string ext = host::ExtractFileExt(name);
    const size_t dot = name.find('.');
    if (dot != std::string::npos) name[dot] = '_';
    name += ext;
  }
  return folder + host::ChangeFileExt(name, ".lck");
}

TDBUserMonitor::TDBUserMonitor(os::TOSFile* dbHandle, const std::string& lockFileName)
    : db_handle_(dbHandle), lock_file_name_(lockFileName), lock_err_msg_(StavLckFileLockErr) {}

TDBUserMonitor::~TDBUserMonitor() {
  try {
    Close();
  } catch (...) {
    // Already in the trace log; the handle and its locks are gone either way.
  }
}

void TDBUserMonitor::Open(const std::string& user, const std::string& computer) {
  Close();

  host::TStringList names;
  names.Add(computer);
  names.Add(user);
  std::string text = names.CommaText();
  // The entry must end with a zero inside its 4096 bytes, and a zero inside
  // the text would cut it short on reading, so that it never matched again.
  text.resize(std::min({text.size(), text.find('\0'), static_cast<size_t>(kLckEntrySize - 1)}));
  entry_text_ = text;

  std::unique_ptr<os::TOSFile> file;
  TLckRangeLock mutex;  // declared after the file: unlocked before it closes
  file = OpenLockedFile(mutex);

  const uint64_t end = EntriesEnd(*file);
  // Entries of connections that died go first, so their slots can be reused.
  SweepEntries(*file);

  uint64_t entry = 0;
  uint64_t firstEmpty = 0;
  for (uint64_t offset = kLckHeaderSize; offset < end; offset += kLckEntrySize) {
    const std::string found = ReadEntry(*file, offset);
    if (found.empty()) {
      if (firstEmpty == 0) firstEmpty = offset;
    } else if (host::AnsiSameText(found, entry_text_)) {
      entry = offset;
      break;
    }
  }
  if (entry == 0) {
    if (firstEmpty != 0) {
      entry = firstEmpty;
    } else {
      // A file of kLckUserLockBase bytes is refused on opening, and its last
      // entry's lock range would reach the lock managers' bytes: never append
      // the entry that makes it so.
      if (end + kLckEntrySize >= kLckUserLockBase)
        TavDatabaseError(kTooManyClients, "TDBUserMonitor.Open", kMsgTooLarge, this);
      entry = end;
    }
    WriteEntry(*file, entry, entry_text_);
  }

  uint64_t byte = 0;
  const uint64_t first = kLckUserLockBase + entry;
  for (uint64_t b = first; b < first + kLckEntrySize; ++b) {
    if (file->LockRange(b, 1)) {
      byte = b;
      break;
    }
  }
  mutex.Release();
  lock_file_ = std::move(file);
  lock_byte_ = byte;
}

std::unique_ptr<os::TOSFile> TDBUserMonitor::OpenLockedFile(TLckRangeLock& mutex) {
  for (int round = 0; round < kReopenLimit; ++round) {
    CreateLockFile();
    std::unique_ptr<os::TOSFile> file =
        os::TOSFile::Open(lock_file_name_, os::TFileAccess::ReadWrite, os::TFileShare::DenyNone);
    if (!file) {
      // Deleted by the last user leaving since we made sure it exists.
      if (os::GetLastOSError() == ENOENT) continue;
      TavDatabaseError(kCannotOpenRequestedFile, "TDBUserMonitor.Open", kMsgNotOpened, this);
    }
    const int64_t size = file->Size();
    if (size < 0)
      TavDatabaseError(kCannotOpenRequestedFile, "TDBUserMonitor.Open", kMsgNotOpened, this);
    if (static_cast<uint64_t>(size) >= kLckUserLockBase)
      TavDatabaseError(kTooManyClients, "TDBUserMonitor.Open", kMsgTooLarge, this);
    if (!mutex.Acquire(*file, kLckMutexOffset))
      TavDatabaseError(kRequestedLockNotObtained, "TDBUserMonitor.Open", lock_err_msg_, this);
    // The last user may have deleted the file between our open and our
    // mutex; registering in it would share nothing with those who come next.
    if (StillNamed(*file, lock_file_name_)) return file;
    mutex.Release();
  }
  TavDatabaseError(kCannotOpenRequestedFile, "TDBUserMonitor.Open", kMsgNotOpened, this);
}

void TDBUserMonitor::CreateLockFile() {
  if (os::FileExists(lock_file_name_)) return;
  TLckRangeLock parent;
  if (db_handle_ != nullptr && !parent.Acquire(*db_handle_, kLckParentLockOffset))
    TavDatabaseError(kRequestedLockNotObtained, "TDBUserMonitor.Open", lock_err_msg_, this);
  if (os::FileExists(lock_file_name_)) return;
  const std::array<char, kLckHeaderSize> header{};
  switch (CreateFileInPlace(lock_file_name_, header.data(), header.size())) {
    case ipNotCreated:
      TavDatabaseError(kCannotOpenRequestedFile, "TDBUserMonitor.Open", kMsgNotCreated, this);
    case ipNotCompleted:
      TavDatabaseError(kCannotOpenRequestedFile, "TDBUserMonitor.Open", kMsgNotCompleted, this);
    case ipInPlace:
      break;
  }
}

TInPlaceResult CreateFileInPlace(const std::string& name, const void* contents, size_t size) {
  // Built under a name of its own and linked into place whole, so nobody
  // opens it before its contents are there.
  std::unique_ptr<os::TOSFile> temp;
  std::string tempName;
  for (int i = 0; i < kTempNameLimit && !temp; ++i) {
    tempName = name + "." + host::IntToStr(int64_t{os::GetCurrentThreadId()}) + "." +
               host::IntToStr(int64_t{g_temp_counter.fetch_add(1)}) + ".tmp";
    temp = os::TOSFile::Create(tempName, os::TFileCreation::CreateNew);
    if (!temp && os::GetLastOSError() != EEXIST) break;
  }
  if (!temp) return ipNotCreated;
  TTempName removeTemp(tempName);
  if (size != 0 && temp->Write(0, contents, size) != static_cast<int64_t>(size))
    return ipNotCompleted;
  // Closed before linking: its exclusive share mode would refuse the others.
  temp.reset();
  // If the name exists now, another process made the file first: use theirs.
  if (!os::LinkFile(tempName, name) && os::GetLastOSError() != EEXIST) return ipNotCompleted;
  return ipInPlace;
}

uint64_t TDBUserMonitor::EntriesEnd(os::TOSFile& file) {
  const int64_t size = file.Size();
  if (size < 0)
    TavDatabaseError(kDiskReadFailure, "TDBUserMonitor", os::GetOSErrorText(os::GetLastOSError()),
                     this);
  const uint64_t end = static_cast<uint64_t>(size);
  if (end >= kLckUserLockBase)
    TavDatabaseError(kTooManyClients, "TDBUserMonitor", kMsgTooLarge, this);
  // Entries are written whole; anything else was not made by us.
  if (end < kLckHeaderSize || end % kLckEntrySize != 0)
    TavDatabaseError(kCorruptLockFile, "TDBUserMonitor", lock_file_name_, this);
  return end;
}

std::string TDBUserMonitor::ReadEntry(os::TOSFile& file, uint64_t offset) {
  const int64_t got = file.Read(offset, entry_buf_.data(), kLckEntrySize);
  if (got < 0)
    TavDatabaseError(kDiskReadFailure, "TDBUserMonitor", os::GetOSErrorText(os::GetLastOSError()),
                     this);
  entry_buf_[kLckEntrySize] = 0;
  if (static_cast<uint64_t>(got) != kLckEntrySize ||
      std::memchr(entry_buf_.data(), 0, kLckEntrySize) == nullptr)
    TavDatabaseError(kCorruptLockFile, "TDBUserMonitor", lock_file_name_, this);
  return std::string(entry_buf_.data());
}

void TDBUserMonitor::WriteEntry(os::TOSFile& file, uint64_t offset, const std::string& text) {
  TAV_ASSERT(text.size() < kLckEntrySize, "Lock file entry too long");
  entry_buf_.fill(0);
  std::memcpy(entry_buf_.data(), text.data(), text.size());
  if (file.Write(offset, entry_buf_.data(), kLckEntrySize) != static_cast<int64_t>(kLckEntrySize))
    TavDatabaseError(kDiskWriteFailure, "TDBUserMonitor", os::GetOSErrorText(os::GetLastOSError()),
                     this);
}

int TDBUserMonitor::SweepEntries(os::TOSFile& file) {
  const uint64_t end = EntriesEnd(file);
  int active = 0;
  for (uint64_t offset = kLckHeaderSize; offset < end; offset += kLckEntrySize) {
    TLckRangeLock whole;
    if (!whole.TryLock(file, kLckUserLockBase + offset, kLckEntrySize)) {
      ++active;
      continue;
    }
    if (!ReadEntry(file, offset).empty()) WriteEntry(file, offset, std::string());
  }
  return active;
}

int TDBUserMonitor::CountConnections(os::TOSFile& file, uint64_t entryOffset) {
  // Each connection of the entry holds one byte of its range.
  const int64_t held = file.LockedBytes(kLckUserLockBase + entryOffset, kLckEntrySize);
  if (held < 0)
    TavDatabaseError(kRequestedLockNotObtained, "TDBUserMonitor.CountConnections", GetOSErrorMsg());
  return static_cast<int>(held);
}

void TDBUserMonitor::Close() {
  if (!lock_file_) return;
  // From here on the monitor is closed, whatever fails below.
  std::unique_ptr<os::TOSFile> file = std::move(lock_file_);
  if (lock_byte_ != 0) {
    file->UnlockRange(lock_byte_, 1);
    lock_byte_ = 0;
  }
  TLckRangeLock parent;
  TLckRangeLock mutex;
  if (!mutex.Acquire(*file, kLckMutexOffset))
    TavDatabaseError(kRequestedLockNotObtained, "TDBUserMonitor.Close", lock_err_msg_, this);
  // The sweep also clears our own entry when we were its last connection.
  if (SweepEntries(*file) == 0) {
    if (db_handle_ != nullptr && !parent.Acquire(*db_handle_, kLckParentLockOffset))
      TavDatabaseError(kRequestedLockNotObtained, "TDBUserMonitor.Close", lock_err_msg_, this);
    // Deleted under the mutex and only if the name is still this file: a
    // process waiting for the mutex on it will find it gone and start again,
    // and a newer file under the same name is never touched.
    if (StillNamed(*file, lock_file_name_)) {
      os::DeleteFile(lock_file_name_);
      DeleteIfEmpty(companion_file_name_);
    }
  }
  mutex.Release();
  file.reset();
  parent.Release();
}

void TDBUserMonitor::GetCurrentUsers(host::TStrings& list) {
  list.Clear();
  if (!lock_file_) return;
  TLckRangeLock mutex;
  if (!mutex.Acquire(*lock_file_, kLckMutexOffset))
    TavDatabaseError(kRequestedLockNotObtained, "TDBUserMonitor.GetCurrentUsers", lock_err_msg_,
                     this);
  const uint64_t end = EntriesEnd(*lock_file_);
  for (uint64_t offset = kLckHeaderSize; offset < end; offset += kLckEntrySize)
    list.Add(ReadEntry(*lock_file_, offset));
}

int TDBUserMonitor::GetCurrentUserCount() {
  if (!lock_file_) return 0;
  TLckRangeLock mutex;
  if (!mutex.Acquire(*lock_file_, kLckMutexOffset))
    TavDatabaseError(kRequestedLockNotObtained, "TDBUserMonitor.GetCurrentUserCount", lock_err_msg_,
                     this);
  const uint64_t end = EntriesEnd(*lock_file_);
  int users = 0;
  for (uint64_t offset = kLckHeaderSize; offset < end; offset += kLckEntrySize)
    if (CountConnections(*lock_file_, offset) > 0) ++users;
  return users;
}

int TDBUserMonitor::GetCurrentConnectionCount() {
  if (!lock_file_) return 0;
  TLckRangeLock mutex;
  if (!mutex.Acquire(*lock_file_, kLckMutexOffset))
    TavDatabaseError(kRequestedLockNotObtained, "TDBUserMonitor.GetCurrentConnectionCount",
                     lock_err_msg_, this);
  const uint64_t end = EntriesEnd(*lock_file_);
  int connections = 0;
  for (uint64_t offset = kLckHeaderSize; offset < end; offset += kLckEntrySize)
    connections += CountConnections(*lock_file_, offset);
  return connections;
}

void TDBUserMonitor::DebugDumpStatus(host::TStrings& list) {
  list.Add("TDBUserMonitor.DebugDumpStatus");
  list.Add("Lock file - " + lock_file_name_);
  list.Add("Entry - " + entry_text_);
  list.Add("Lock byte - " + host::IntToStr(static_cast<int64_t>(lock_byte_)));
  if (!lock_file_) {
    list.Add("Not open");
    return;
  }
  TLckRangeLock mutex;
  if (!mutex.Acquire(*lock_file_, kLckMutexOffset))
    TavDatabaseError(kRequestedLockNotObtained, "TDBUserMonitor.DebugDumpStatus", lock_err_msg_,
                     this);
  const uint64_t end = EntriesEnd(*lock_file_);
  for (uint64_t offset = kLckHeaderSize; offset < end; offset += kLckEntrySize) {
    const std::string text = ReadEntry(*lock_file_, offset);
    list.Add(
        host::Format("Entry %d: Offset %d Connections %d Text %s",
                     {static_cast<int>((offset - kLckHeaderSize) / kLckEntrySize),
                      static_cast<int64_t>(offset), CountConnections(*lock_file_, offset), text}));
  }
}

}  // namespace tav
