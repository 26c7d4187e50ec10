// Table, record and transaction locks as byte-range locks on the lock file
// (lock_file.h). A lock manager maps a 32-bit id to a region of the file: a
// write lock holds the whole region, a read lock one randomly chosen byte of
// it, so readers only block a writer and seldom each other. Every range lock
// is exclusive and never waits; the manager retries with a pause, records
// what it holds in a TLockCollection, and releases it.
//
// Callers must keep:
//  - The lock-file handle is borrowed: it must stay open (its TDBUserMonitor
//    open) until the manager is destroyed. Destroying the manager releases
//    everything it holds.
//  - Range locks are not re-entrant, so every request is first checked against
//    the manager's own list; two managers (or two connections) on the same
//    file are separate holders and exclude each other like two processes.
//  - Offsets are 64-bit: base + id x region reaches far beyond 4 GiB for
//    record addresses. A manager given a lock limit refuses an id whose region
//    would reach it (a caller error), so one manager's ids never stray into
//    another's bytes.
//  - Not thread-safe; the owning disk manager serialises calls.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "host/rtl/collection.h"
#include "host/rtl/object.h"

namespace host {
class TStrings;
}

namespace os {
class TOSFile;
}

namespace tav {

// Lock types; 0 = none held.
inline constexpr int kLockTypeNone = 0;
inline constexpr int kLockTypeRead = 1;
inline constexpr int kLockTypeWrite = 4;

// Where the disk manager's three managers lock, and how wide each id's region
// is. The table regions end where the transaction bytes start, and those end
// where the record bytes start: pass the next manager's base as the limit.
inline constexpr uint64_t kTableLockBase = 0x800000;
inline constexpr uint32_t kTableLockRegion = 8192;
inline constexpr uint64_t kTransLockBase = 0x1FFE000;
inline constexpr uint32_t kTransLockRegion = 1;
inline constexpr uint64_t kRecordLockBase = 0x2000000;
inline constexpr uint32_t kRecordLockRegion = 1;

// One range held: LckSize bytes from LckAddr, of LckType, asked for as RqID.
// An upgraded read lock adds write pieces of size 0 when its byte sits at an
// end of the region; they hold no bytes but record that the id is written.
class TLockItem : public host::TCollectionItem {
 public:
  uint32_t LckSize = 0;
  int LckType = kLockTypeNone;
  uint64_t LckAddr = 0;
  uint32_t RqID = 0;
};

// The locks held, in the order taken. A table lock is taken and given back
// around every call of a shared connection, so the items given back are kept
// for the next ones instead of being freed and allocated again.
class TLockCollection {
 public:
  int Count() const { return static_cast<int>(items_.size()); }
  TLockItem* Items(int index) const { return items_.at(static_cast<size_t>(index)).get(); }
  // The items in order, for a walk that asks no index.
  std::span<const std::unique_ptr<TLockItem>> All() const { return items_; }
  // A cleared item added last.
  TLockItem* Add();
  void Delete(int index);
  void Clear();

 private:
  static constexpr size_t kKeptItems = 8;
  std::vector<std::unique_ptr<TLockItem>> items_;
  std::vector<std::unique_ptr<TLockItem>> spare_;
};

class TBaseLockMgr : public host::TObject {
 public:
  // Refuses a missing handle ("File handle is not set") and a region size of
  // 0 ("Lock region size is 0") as caller errors.
  TBaseLockMgr(os::TOSFile* lockFile, uint64_t baseOffset, uint32_t regionSize);
  // Forgets the list. A subclass that locks must release in its own
  // destructor: by the time this one runs, its overrides are gone.
  ~TBaseLockMgr() override;
  TBaseLockMgr(const TBaseLockMgr&) = delete;
  TBaseLockMgr& operator=(const TBaseLockMgr&) = delete;

  // Takes `size` bytes (0 = 1) at a random place of the id's region. Any lock
  // already held for the id satisfies it. Raises 10249 with the read-lock
  // message once the retries are spent.
  bool SetReadLock(uint32_t id, uint32_t size);
  // Takes `size` bytes (0 = the region) from the region's start, or upgrades
  // a read lock held for the id. Returns kLockTypeWrite; raises 10249 with the
  // write-lock message once the retries are spent.
  int SetWriteLock(uint32_t id, uint32_t size);
  // Adds the rest of the region around the id's read lock. Raises 10249 with
  // the write-lock message if it cannot be had (the read lock stays held).
  void UpgradeReadLockToWriteLock(uint32_t id, uint32_t size);
  // Write locks for every id held, in the order taken (before a commit).
  void UpgradeReadLocks();
  // Releases every lock held for the id, newest first.
  void ReleaseLock(uint32_t id);
  // Releases every lock, newest first.
  void ReleaseAllLocks();
  // The strongest type held for the id; kLockTypeNone if none.
  int QueryLockType(uint32_t id) const;
  bool LockExists(uint32_t id, int type) const;
  int GetLockCount() const { return locks_.Count(); }
  // The first byte of the id's region.
  uint64_t GetCalculatedLockAddr(uint32_t id) const;
  void DebugDumpStatus(host::TStrings& list) const;

  void SetLockRetryCount(int value) { lock_retry_count_ = value; }
  void SetLockRetryInterval(uint32_t ms) { lock_retry_interval_ = ms; }
  void SetBeepOnLockRetry(bool value) { beep_on_lock_retry_ = value; }
  void SetReadLockErrMsg(const std::string& value) { read_lock_err_msg_ = value; }
  void SetWriteLockErrMsg(const std::string& value) { write_lock_err_msg_ = value; }
  // The first offset no region of this manager may reach; 0 = no limit.
  void SetLockLimit(uint64_t offset) { lock_limit_ = offset; }
  // For a connection that has the database to itself (its file opened
  // exclusively, so no other handle can open it): every range counts as
  // taken and given back without a system call. What the manager records,
  // and so every answer it gives, stays the same. Set before the first lock.
  void SetHeldAlone(bool value) { held_alone_ = value; }
  bool HeldAlone() const { return held_alone_; }

  int LockRetryCount() const { return lock_retry_count_; }
  uint32_t LockRetryInterval() const { return lock_retry_interval_; }
  bool BeepOnLockRetry() const { return beep_on_lock_retry_; }
  const std::string& ReadLockErrMsg() const { return read_lock_err_msg_; }
  const std::string& WriteLockErrMsg() const { return write_lock_err_msg_; }
  uint64_t LockLimit() const { return lock_limit_; }
  uint64_t BaseOffset() const { return base_offset_; }
  uint32_t RegionSize() const { return region_size_; }
  os::TOSFile* LockFileHandle() const { return lock_file_; }
  const TLockCollection& Locks() const { return locks_; }

 protected:
  // The range-lock primitives; the base versions do nothing and fail.
  virtual bool InternalReleaseFileLock(uint64_t address, uint32_t size);
  virtual bool InternalLockFile(uint64_t address, uint32_t size, int type);
  virtual bool InternalUpgradeReadLock(uint32_t id, uint32_t size);

  // Up to LockRetryCount attempts (at least one) to lock `size` bytes at the
  // address `where` gives for each attempt, pausing (and beeping if asked)
  // after each failure. Returns the address locked through `locked`.
  // A template, so that the address function costs no allocation: a read
  // lock is taken around every call of a shared connection.
  template <class Where>
  bool LockWithRetries(const Where& where, uint32_t size, int type, uint64_t& locked) {
    // A count below one would fail every request without trying.
    const int attempts = lock_retry_count_ > 1 ? lock_retry_count_ : 1;
    for (int attempt = 0; attempt < attempts; ++attempt) {
      const uint64_t address = where();
      if (InternalLockFile(address, size, type)) {
        locked = address;
        return true;
      }
      PauseAfterFailedLock();
    }
    return false;
  }
  // The pause (and beep, if asked) after a failed attempt.
  void PauseAfterFailedLock();
  // Records a range just locked; if it cannot be recorded, unlocks it.
  TLockItem* AddLock(uint32_t id, uint64_t address, int type, uint32_t size);
  // The first lock of `type` held for the id, or null.
  TLockItem* FindLock(uint32_t id, int type) const;

 private:
  // Raises the caller error for an id whose region passes the lock limit.
  void CheckRegion(uint32_t id) const;
  // `size` bytes fit the region (0 means `zeroMeans`).
  uint32_t RequestSize(uint32_t size, uint32_t zeroMeans) const;

  os::TOSFile* const lock_file_;
  TLockCollection locks_;
  const uint32_t region_size_;
  bool beep_on_lock_retry_ = false;
  int lock_retry_count_ = 10;
  uint32_t lock_retry_interval_ = 200;
  const uint64_t base_offset_;
  uint64_t lock_limit_ = 0;
  bool held_alone_ = false;
  std::string write_lock_err_msg_;
  std::string read_lock_err_msg_;
};

// The lock manager on the operating system's byte-range locks (the name is
// the system's own). Every range is locked exclusively: read locks share a
// region only by taking different bytes of it.
class TWinLockMgr : public TBaseLockMgr {
 public:
  using TBaseLockMgr::TBaseLockMgr;
  ~TWinLockMgr() override;

 protected:
  bool InternalReleaseFileLock(uint64_t address, uint32_t size) override;
  bool InternalLockFile(uint64_t address, uint32_t size, int type) override;
  // Locks the region's bytes before and after the read lock, each part with
  // the retry loop, and records both as write locks of the id.
  bool InternalUpgradeReadLock(uint32_t id, uint32_t size) override;
};

// A TWinLockMgr on `lockFile` with that base and region size. The database
// handle and the flag play no part.
std::unique_ptr<TBaseLockMgr> GetLockManager(os::TOSFile* dbHandle, os::TOSFile* lockFile,
                                             uint64_t baseOffset, uint32_t regionSize, bool flag);

}  // namespace tav
