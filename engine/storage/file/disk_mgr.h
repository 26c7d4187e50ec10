// TDiskMgr: the engine's handle on one database file. It creates a new file
// with its fixed layout, opens an existing one with the lock file and the
// table, record and transaction lock managers, keeps the global header under
// the header lock (table lock 0), allocates and frees pages through the map
// pages, routes locks inside file transactions, and reads and writes the
// security header that guards the master key. docs/file-format.md
// ("Database file layout", "Global header", "Map pages", "Security header")
// gives the bytes.
//
// Callers must keep:
//  - FileName, PageSize and OpenFlags are set while closed. PageSize is a
//    power of two from 256 to 32768 (new databases use 4096). 256 is the
//    floor, not 128: the database file splits positions by masking and takes
//    no smaller page, and the five fixed pages must cover the headers at 768
//    and 1024 (which needs at least 231 bytes a page).
//  - Page allocation (WriteNewPages, AppendNewPages, ReleasePages,
//    DeleteOwnedPages) takes the header write lock when it is not held and
//    releases it afterwards unless it was held before or a transaction runs.
//    The header is written back before any allocation returns, so a later
//    re-read never loses a change.
//  - Inside a transaction table and record releases wait for DiskCommit or
//    DiskRollback, which release every lock and the header lock flags; the
//    header write lock becomes a table read lock plus the transaction lock
//    of table 0, so other connections can still read the header.
//  - A failed operation leaves no lock, header lock or transaction behind
//    that it took itself; a failed Open leaves the manager closed.
//  - Without a lock file (a database file without the write bit) every lock
//    call succeeds without locking and the status queries answer 1.
//  - Not thread-safe: one thread at a time per manager.
//  - Tests may hand a data file (SetDataFile) that carries the database's
//    bytes instead of the file itself: the in-memory twin of os/testing.
//    The lock file and every range lock stay on the real files.
//
// THeaderLockGuard holds the header lock for one operation of any layer;
// TDiskTransaction holds a transaction for one scope (see each below).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/storage/file/global_hdr.h"
#include "engine/storage/file/map_page_mgr.h"
#include "engine/storage/file/page_io.h"
#include "engine/storage/file/tav_file.h"
#include "host/rtl/object.h"
#include "host/rtl/streams.h"

namespace host {
class TList;
class TStrings;
}  // namespace host

namespace os {
class TFileIO;
}

namespace tav {

class TBaseLockMgr;
class TDBUserMonitor;

// The host library's file-open mode bits, as OpenFlags takes them.
using host::fmOpenRead;
using host::fmOpenReadWrite;
using host::fmOpenWrite;
inline constexpr uint16_t fmShareCompat = 0x0000;
inline constexpr uint16_t fmShareExclusive = 0x0010;
inline constexpr uint16_t fmShareDenyWrite = 0x0020;
inline constexpr uint16_t fmShareDenyRead = 0x0030;
inline constexpr uint16_t fmShareDenyNone = 0x0040;

// The master key used when a database has none (its bytes are the Blowfish
// key of strongly encrypted pages and its digest guards the security header:
// it may never change).
inline constexpr char C_TAVDEFAULTKEY[] = "Wq4#Lz7pRt2!vB";
inline constexpr int C_TAVDEFAULTKEYLEN = 14;

inline constexpr uint32_t kSecurityHdrAddress = 768;
inline constexpr uint32_t kSecurityHdrSize = 40;

// The security header as read or written: 40 bytes at 768.
struct TSecurityHeader {
  uint32_t Size = 0;
  double DateTime = 0;  // days since 1899-12-30, fraction = time of day
  uint16_t Version = 0;
  uint16_t Revision = 0;
  uint8_t Digest[20] = {};  // SHA-1 of the master key
  uint32_t CRC = 0;         // CRC-32 of the 40 bytes with this field 0

  void Encode(uint8_t out[kSecurityHdrSize]) const;
  void Decode(const uint8_t in[kSecurityHdrSize]);
};

class TDiskMgr : public host::TObject, public TPageIO {
 public:
  TDiskMgr();
  // Closes, ignoring errors.
  ~TDiskMgr() override;
  TDiskMgr(const TDiskMgr&) = delete;
  TDiskMgr& operator=(const TDiskMgr&) = delete;

  // ---- properties (set while closed) ----
  const std::string& FileName() const { return file_name_; }
  void SetFileName(const std::string& value);
  uint32_t PageSize() const { return page_size_; }
  void SetPageSize(uint32_t value);
  // fmOpen* | fmShare*; read-write and shared unless set.
  uint16_t OpenFlags() const { return open_flags_; }
  void SetOpenFlags(uint16_t value);
  // Also passed to the open file and the table and record lock managers.
  int32_t LockRetryCount() const { return lock_retry_count_; }
  void SetLockRetryCount(int32_t value);
  uint32_t LockRetryInterval() const { return lock_retry_interval_; }
  void SetLockRetryInterval(uint32_t value);
  // Derived from OpenFlags at Open.
  bool ReadOnly() const { return read_only_; }
  void SetReadOnly(bool value) { read_only_ = value; }
  bool Exclusive() const { return exclusive_; }
  bool UseLockFile() const { return use_lock_file_; }
  host::TStrings* DebugStrings() const { return debug_strings_; }
  void SetDebugStrings(host::TStrings* value) { debug_strings_ = value; }
  bool IsOpen() const;
  // The data side of the file for the next create or open (null: the file
  // itself); set while closed, borrowed, outlives the open.
  void SetDataFile(os::TFileIO* value) {
    tav_file_->SetDataFile(value);
    MoveHeaderEpoch();
  }
  // The same for the commit journal's bytes.
  void SetJournalDataFile(os::TFileIO* value) { tav_file_->SetJournalDataFile(value); }

  // ---- life cycle ----
  // Writes a new, empty database file (the fixed area and the first map
  // page) and leaves it closed. 8581 for a bad page size, 11043 when the file
  // exists and overwrite is false, 8582 when it cannot be created.
  void CreateNewFile(bool overwrite);
  // 8581 "PageSize is 0", 11010 (the file name) when missing, 8449 when the
  // system refuses; the lock file's and lock managers' errors pass through.
  void Open();
  // Writes a dirty header, releases every lock, leaves the lock file and
  // closes the file; the manager is closed afterwards even when this raises.
  void Close();

  // ---- the master key ----
  // Empty selects C_TAVDEFAULTKEY, which is then the stored key too.
  void SetCryptKey(const std::string& key);
  const std::string& CryptKey() const { return crypt_key_; }
  // 8451 "The Security Header CRC is incorrect" / "The MasterKey is
  // incorrect"; `record` receives the header as read either way.
  void ReadSecurityHeader(TSecurityHeader& record);
  // Fills `record` (now, the digest of the crypt key, the CRC) and writes it.
  void WriteSecurityHeader(TSecurityHeader& record);

  // ---- pages ----
  // Writes `pageCount` pages from `buffer` to a run of free pages, or at the
  // end of file, owned by owner x 16 + kind; returns the first page's
  // address. owner x 16 + kind must be a 15-bit owner code, kind below 16.
  uint32_t WriteNewPages(uint32_t owner, uint32_t kind, const void* buffer, uint32_t pageCount,
                         uint32_t accessFlags);
  // Writes `pageCount` pages at the end of file (page-aligned) and returns
  // where; the caller sets their map entries.
  uint32_t AppendNewPages(const void* buffer, uint32_t pageCount, uint32_t owner,
                          uint32_t accessFlags) final;
  // Frees the pages in the map and overwrites each with zeros.
  void ReleasePages(uint32_t address, uint32_t pageCount);
  // Frees every page of the owner (of that kind with matchKind) and
  // overwrites each with zeros.
  void DeleteOwnedPages(uint32_t owner, uint32_t kind, bool matchKind);
  // Appends to `list` the address of every block of `blockSize` bytes in the
  // owner's pages of that kind, request by request (GetBestPageRequestSize).
  void ListAllocatedFixedBlocks(uint32_t blockSize, uint32_t owner, host::TList& list,
                                uint32_t kind);

  // pageCount x PageSize bytes at `address`.
  void ReadPages(uint32_t address, uint32_t pageCount, void* buffer, uint32_t owner,
                 uint32_t accessFlags) final;
  void WritePages(uint32_t address, uint32_t pageCount, const void* buffer, uint32_t owner,
                  uint32_t accessFlags) final;
  // The map entry of the page holding `address` (TMapPageMgr::PageOwnerCode):
  // remembered, read from a map page already known, or else read under the
  // header read lock.
  uint16_t GetPageOwnerCode(uint32_t address);
  // The same with the page's entry read again, for a page whose remembered
  // owner may be out of date: a table's change by another connection makes
  // this connection forget the owners it knew of that table's pages, but a
  // page that connection freed from one table and gave to another is still
  // remembered as the first's until then.
  uint16_t RereadPageOwnerCode(uint32_t address);
  // `count` bytes at `address`.
  void ReadCustomSize(uint32_t address, uint32_t count, void* buffer, uint32_t owner,
                      uint32_t accessFlags);
  void WriteCustomSize(uint32_t address, uint32_t count, const void* buffer, uint32_t owner,
                       uint32_t accessFlags);
  // A pointer to `count` bytes inside one cached page (cached areas only),
  // valid until the next call into this manager.
  void ReadCustomSizeByRef(uint32_t address, uint32_t count, uint8_t*& buffer, uint32_t owner,
                           uint32_t accessFlags);
  // The bytes ReadCustomSize would copy, in place in the page cache, when
  // the file is open and the range lies in one cached page; else nullptr.
  // Valid until the next call into this manager.
  const uint8_t* PeekCustomSize(uint32_t address, uint32_t count, uint32_t owner,
                                uint32_t accessFlags);
  void WriteCustomSizeByRef(uint32_t address, uint32_t count, const uint8_t* buffer, uint32_t owner,
                            uint32_t accessFlags);

  // ---- the global header ----
  // 10248 without a header lock.
  void ReadHeader();
  // Takes the header write lock for the write when it is not held (without
  // re-reading, which would lose what is to be written) and gives it back.
  void WriteHeader();
  void SetHeaderReadLock();
  void SetHeaderWriteLock();
  // Writes the header if dirty, releases table lock 0 (not in a
  // transaction), clears both flags; the lock goes even when the write
  // raises.
  void ReleaseHeaderLock();
  bool HeaderReadLocked() const { return hdr_read_lock_; }
  bool HeaderWriteLocked() const { return hdr_write_lock_; }
  // While open; borrowed.
  TGlobalHdr* GlobalHdr() const { return global_hdr_.get(); }
  TMapPageMgr* MapPageMgr() const { return map_page_mgr_.get(); }

  // ---- locks (types kLockTypeRead 1, kLockTypeWrite 4) ----
  int SetTableLock(uint32_t tableId, int type);
  void ReleaseTableLock(uint32_t tableId);
  int QueryTableLockStatus(uint32_t tableId) const;
  int SetRecordLock(uint32_t address, uint32_t tableId);
  void ReleaseRecordLock(uint32_t address);
  int QueryRecordLockStatus(uint32_t address) const;
  // Every lock of the three managers, and the header lock flags.
  void ReleaseAllLocks();

  // ---- transactions ----
  // The file transaction's states are TTavFile's (tav_file.h).
  void DiskStartTransaction();
  // Writes a dirty header, upgrades the table read locks (when there is
  // anything to write), commits the file and releases every lock. A failure
  // leaves the transaction running with its locks: still open when the locks
  // failed, else a failed commit, which DiskCommit may be called again for.
  void DiskCommit();
  // Rolls the file back, re-reads the header and releases every lock; all of
  // it also when the file's rollback raises (8450 after a failed commit that
  // had begun writing), whose error then reaches the caller.
  void DiskRollback();
  bool IsTransactionActive() const;
  // In a transaction commits and restarts it, flushing the journal before
  // the pages and the pages before the journal is emptied, so that the
  // commit survives a power loss; flushes the file's buffers.
  void ForceToDisk();

  // ---- the rest ----
  // 10501 without a lock file.
  void GetCurrentUsers(host::TStrings& list);
  // The end of file this connection sees: in a transaction the larger of its
  // own end and the file's (another connection may have appended since).
  // Kept in the connection: refreshed when this connection takes a lock it
  // did not hold (someone else may have appended), and by RefreshFileSize.
  int64_t GetFileSize() final;
  int64_t RefreshFileSize() final;
  // Cache pages x PageSize; 0 when closed.
  int64_t DiskCacheSize();
  void CopyCurrentFile(const std::string& name);

  // ---- table header images ----
  // A table header image that this connection read or wrote at epoch e
  // still equals the file's block while the connection has the file to
  // itself and the epoch is still e: nobody else writes, every header write
  // of this connection moves the epoch (so a second image of the same block
  // reads again), and so do a rollback, a commit taken back from the
  // journal and a new data file. TTableHeader::ReadHeader then skips the read.
  // A shared connection's image of table tableId's header stays current the
  // same way while the connection holds the table's lock (outside a
  // transaction) or both the table's lock and its transaction lock (inside
  // one): that keeps every other writer of the table out, and taking either
  // afresh moves the epoch, so an image from before they were held is read
  // again.
  bool HeaderImagesStayCurrent(uint32_t tableId) const;
  uint64_t HeaderEpoch() const { return header_epoch_; }
  void MoveHeaderEpoch() { ++header_epoch_; }

  TTavFile& TavFile() { return *tav_file_; }
  // While open with a lock file; borrowed.
  TBaseLockMgr* TableLockMgr() const { return table_lock_mgr_.get(); }
  TBaseLockMgr* RecordLockMgr() const { return record_lock_mgr_.get(); }
  TBaseLockMgr* TransLockMgr() const { return trans_lock_mgr_.get(); }
  TDBUserMonitor* UserMonitor() const { return user_monitor_.get(); }

 private:
  // Takes table lock 0 of the given type and reads the header unless a
  // header lock was held already; a failed read gives the lock back.
  void TakeHeaderLock(int type);
  friend class THeaderLockGuard;

  void RequireOpen(const char* caller) const;
  void RequireClosed(const char* caller) const;
  void OpenLockFile();
  // Opens the commit journal and takes back a commit cut off in it.
  void OpenJournal();
  void ReadHeaderBytes();
  void WriteHeaderBytes();
  void WriteHeaderIfDirty();
  void ClearHeaderLockFlags();
  uint32_t PageBytes(uint32_t pageCount, int code, const char* caller) const;
  // After a failed append outside a transaction: cuts the file back to
  // `position` when nothing lies beyond the `bytes` appended there, so that
  // no page is left at the end that the map does not know. Never raises.
  void GiveBackAppend(uint32_t position, uint32_t bytes);
  void ZeroPages(const host::TList& pages);

  std::unique_ptr<TTavFile> tav_file_;
  uint32_t page_size_ = kDefaultPageSize;
  uint16_t open_flags_ = fmOpenReadWrite | fmShareDenyNone;
  std::string file_name_;
  std::unique_ptr<TGlobalHdr> global_hdr_;
  std::unique_ptr<TMapPageMgr> map_page_mgr_;
  host::TStrings* debug_strings_ = nullptr;
  bool exclusive_ = false;
  bool read_only_ = false;
  bool hdr_read_lock_ = false;
  bool hdr_write_lock_ = false;
  uint32_t lock_retry_interval_ = 200;
  int32_t lock_retry_count_ = 10;
  bool use_lock_file_ = false;
  bool range_locked_ = false;  // the 1000 bytes held while open
  uint64_t header_epoch_ = 1;  // see HeaderImagesStayCurrent
  std::unique_ptr<TDBUserMonitor> user_monitor_;
  std::unique_ptr<TBaseLockMgr> table_lock_mgr_;
  std::unique_ptr<TBaseLockMgr> record_lock_mgr_;
  std::unique_ptr<TBaseLockMgr> trans_lock_mgr_;
  std::string crypt_key_;
  std::vector<uint8_t> zero_page_;
};

// Holds the database's header lock for one operation: the disk manager's
// page allocation, a block interface's change of a global free chain, a
// table directory's read or change. A lock the caller already holds stays
// held (a read lock becomes a write lock when one is asked for), so that no
// other connection slips in between the caller's steps. At the end the
// header is written if dirty, and a lock taken here is given back, unless a
// transaction runs: then it stays until commit or rollback. Done is the
// normal end and lets a failing header write reach the caller; leaving scope
// without it (an error on its way) gives the lock back all the same and
// swallows what fails. A null manager (memory storage) has no lock.
class THeaderLockGuard {
 public:
  THeaderLockGuard(TDiskMgr* mgr, bool write);
  ~THeaderLockGuard();
  THeaderLockGuard(const THeaderLockGuard&) = delete;
  THeaderLockGuard& operator=(const THeaderLockGuard&) = delete;

  void Done();

 private:
  void Finish();

  TDiskMgr* mgr_;
  bool held_before_ = false;
  bool done_ = false;
};

// One transaction of a disk manager, held by scope: the constructor starts
// it (10256 when one runs), Commit commits it, and leaving scope without a
// successful Commit rolls it back, so that an error never leaves a
// transaction, its locks or its pending writes behind. A failed Commit may
// be retried (the file is then in its failed-commit state); Rollback ends it
// at once and lets the rollback's error be seen. The manager outlives the
// guard.
class TDiskTransaction {
 public:
  explicit TDiskTransaction(TDiskMgr& mgr);
  ~TDiskTransaction();
  TDiskTransaction(const TDiskTransaction&) = delete;
  TDiskTransaction& operator=(const TDiskTransaction&) = delete;

  void Commit();
  void Rollback();
  // Neither committed nor rolled back yet.
  bool Active() const { return active_; }

 private:
  TDiskMgr& mgr_;
  bool active_ = false;
};

// The request size for blocks of `blockSize` bytes in pages of `pageSize`:
// the block rounded up to whole pages when that wastes at most a quarter
// page, else the multiple of the page size below ten times that with the
// smallest remainder. Both sizes must be nonzero (a caller error).
uint32_t GetBestPageRequestSize(uint32_t blockSize, uint32_t pageSize);

// Copies a file with the system's copy; an existing target is refused unless
// overwrite is set. Returns success.
bool DoCopyFile(const std::string& source, const std::string& target, bool overwrite);

}  // namespace tav
