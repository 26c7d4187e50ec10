// The lock file beside a shared database, and TDBUserMonitor, which creates,
// joins, sweeps and deletes it. Each connection registers under an entry that
// names its computer and user, and holds one byte of that entry's lock range
// for as long as it is connected; the operating system drops the byte when the
// process dies, so a crashed connection is swept by the next Open or Close of
// anyone else. The lock managers (lock_mgr.h) take every table, record and
// transaction lock on the same file, through LockFileHandle().
// docs/file-format.md ("Lock file") gives the layout byte by byte.
//
// Callers must keep:
//  - One monitor per open database and connection. The monitor is not
//    thread-safe; its owner serialises calls.
//  - The database handle given to the constructor (may be null: then no parent
//    lock is taken) must outlive the monitor.
//  - LockFileHandle() is valid only between Open and Close. Lock managers built
//    on it must be destroyed before Close or the next Open.
//  - Every process opens the file DenyNone; byte-range locks do the rest.
//
// Why the file is never replaced under anyone's feet (what Linux adds): a file
// that is open elsewhere can be deleted here, and a new one created under the
// same name. So the lock file is only deleted by a process holding its mutex
// byte, and only if the name still leads to that very file; a process that
// opened the file and then takes its mutex checks that the name still leads to
// the file it holds (else it was deleted meanwhile and it opens again). A new
// lock file is built under a temporary name and linked into place complete,
// so nobody ever sees it without its header.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "host/rtl/object.h"

namespace host {
class TStrings;
}

namespace os {
class TOSFile;
}

namespace tav {

class TLckRangeLock;  // lock_file.cpp

// Bytes 0 .. 4095: the header; byte 0 is the mutex byte.
inline constexpr uint64_t kLckHeaderSize = 4096;
inline constexpr uint64_t kLckMutexOffset = 0;
// User entries follow the header, this many bytes each.
inline constexpr uint64_t kLckEntrySize = 4096;
// The entry at offset X owns the lock bytes kLckUserLockBase + X ..
// + kLckEntrySize - 1, one per connection. The file's data must stay below
// this offset, or entries and lock ranges would overlap.
inline constexpr uint64_t kLckUserLockBase = 0x400000;
// The byte of the database file that serialises creating and deleting the
// lock file.
inline constexpr uint64_t kLckParentLockOffset = 8192;
// Taking the mutex or the parent lock: one try, then this many more, with a
// pause after each failed retry.
inline constexpr int kLckLockRetries = 20;
inline constexpr uint32_t kLckLockRetryInterval = 100;

// The lock-file name of a database file. When the file name (not its folder)
// does not contain ".tav" in any letter case, its first '.' becomes '_' and
// the extension is added again; then the extension becomes ".lck":
// "Sales.tav" -> "Sales.lck", "Sales.dat" -> "Sales_dat.lck".
std::string GetLockFileName(const std::string& dbFileName);

// Makes a file at `name` holding `size` bytes of `contents`, built under a
// temporary name beside it and linked into place whole, so that nobody opens
// it part-made. A file already at `name` is kept (someone made it first):
// ipInPlace either way. The file is not left open.
enum TInPlaceResult { ipInPlace, ipNotCreated, ipNotCompleted };
TInPlaceResult CreateFileInPlace(const std::string& name, const void* contents, size_t size);

class TDBUserMonitor : public host::TObject {
 public:
  // `dbHandle` is the database file, used for the parent lock only (borrowed,
  // may be null). Nothing is opened yet.
  TDBUserMonitor(os::TOSFile* dbHandle, const std::string& lockFileName);
  // Closes; errors are logged by the error routine and otherwise ignored.
  ~TDBUserMonitor() override;
  TDBUserMonitor(const TDBUserMonitor&) = delete;
  TDBUserMonitor& operator=(const TDBUserMonitor&) = delete;

  // Registers this connection (creating the lock file if needed). Closes
  // first when open. Raises 10249 when the mutex or the parent lock cannot be
  // had, 9486 when the file is too large, 8966 when it is damaged, 8449 when
  // it cannot be created or opened. A failed Open leaves nothing held.
  void Open(const std::string& user, const std::string& computer);
  // Unregisters; the last connection deletes the lock file. Does nothing when
  // not open. The monitor is closed afterwards even when this raises.
  void Close();
  bool IsOpen() const { return lock_file_ != nullptr; }

  // Every entry's text in file order, empty entries as empty lines.
  void GetCurrentUsers(host::TStrings& list);
  // Entries with at least one connection.
  int GetCurrentUserCount();
  // Connections of all entries, this one included.
  int GetCurrentConnectionCount();

  // A file that lives as long as the lock file (the commit journal): the
  // last connection deletes it with the lock file, under the same locks, but
  // only when it holds nothing: it is empty or its first 8 bytes are zero (a
  // journal left full still has work to do).
  void SetCompanionFile(const std::string& name) { companion_file_name_ = name; }

  void SetLockErrMsg(const std::string& message) { lock_err_msg_ = message; }
  const std::string& LockErrMsg() const { return lock_err_msg_; }
  // A readable listing of the entries and their connections.
  void DebugDumpStatus(host::TStrings& list);

  // The open lock file, on which the lock managers lock; null when closed.
  os::TOSFile* LockFileHandle() const { return lock_file_.get(); }
  const std::string& LockFileName() const { return lock_file_name_; }
  // This connection's entry text ("computer,user" as a comma list).
  const std::string& EntryText() const { return entry_text_; }
  // The absolute offset of this connection's lock byte; 0 = none.
  uint64_t LockByte() const { return lock_byte_; }

 private:
  // Opens the file, creating it if needed, and takes its mutex on a file that
  // is still the one at the lock-file name.
  std::unique_ptr<os::TOSFile> OpenLockedFile(TLckRangeLock& mutex);
  void CreateLockFile();
  // The end of the entries, with the file's size checked (under the mutex).
  uint64_t EntriesEnd(os::TOSFile& file);
  // Reads the entry at `offset` into the entry buffer and returns its text.
  std::string ReadEntry(os::TOSFile& file, uint64_t offset);
  void WriteEntry(os::TOSFile& file, uint64_t offset, const std::string& text);
  // Zeroes every entry without connections; returns how many have some.
  int SweepEntries(os::TOSFile& file);
  int CountConnections(os::TOSFile& file, uint64_t entryOffset);

  os::TOSFile* const db_handle_;
  const std::string lock_file_name_;
  std::string entry_text_;
  std::unique_ptr<os::TOSFile> lock_file_;
  uint64_t lock_byte_ = 0;
  // One entry and a terminating zero, so its text always ends.
  std::array<char, kLckEntrySize + 1> entry_buf_{};
  std::string lock_err_msg_;
  std::string companion_file_name_;
};

}  // namespace tav
