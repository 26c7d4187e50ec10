// TTavFile: the operating-system file of one open database. It opens and
// creates the file in the sharing mode the disk manager asks for, moves whole
// pages and raw byte ranges at 32-bit positions, scrambles or enciphers each
// page by its access flags, routes page traffic through the page cache and,
// inside a file-level transaction, raw traffic through the block cache, and
// keeps a transaction end of file that grows without touching the disk until
// Commit.
//
// Callers must keep:
//  - Keys are set while the file is closed (the XOR key before every open:
//    CloseTavFile forgets it); the Blowfish key may be set at any time and
//    stays in force across close and open.
//  - PageSize is a power of two from 256 to 32768 and set before the file is
//    opened or created; it cannot change while the file is open.
//  - Files stay below 2 GB: no transfer may end past kMaxFileEnd. A
//    write or append that would raises 9600, a read 8450; no position wraps.
//  - The owner passed with a scrambled page is part of its key: a page reads
//    back only under the owner (and access flags) it was written with.
//  - Areas with access flag kAccessCached are always transferred with
//    that flag (and the same owner), raw areas always without: the two
//    caches do not look into each other, except that a page write supersedes
//    pending raw bytes of that page and page reads see them.
//  - A pointer from SeekAndReadTavFileByRef is valid only until the next call
//    into this object.
//  - Transfers are not thread-safe; one thread at a time.
//  - The file's bytes move through a data file (os/file_io.h): the opened
//    file itself, or one set with SetDataFile while closed (tests hand the
//    in-memory twin that fails on cue). Locks and share modes always stay on
//    the opened file.
//
// A file transaction is in one of four states (TransactionState), and every
// call checks the state it needs:
//  - ftsNone: no transaction. Writes reach the file at once. A transaction
//    that was committed or rolled back is back here.
//  - ftsOpen: after StartTransaction. Page writes wait dirty in the page
//    cache, raw writes in the block cache; the file is untouched and still
//    holds the last committed state. Rollback drops the waiting writes
//    (ftsNone: "rolled back"), Commit moves on.
//  - ftsCommitting: Commit writes the waiting pages, then the waiting raw
//    bytes. Nothing else runs meanwhile: a write asked for now breaks an
//    internal rule (TAV_ASSERT). All written: ftsNone. A write fails:
//  - ftsFailedCommit: part of the transaction may be in the file, the rest
//    is still waiting. No new change is taken (10256) and no transaction
//    starts; Commit writes what is still waiting and, when that succeeds,
//    the file holds the whole transaction (ftsNone). Rollback drops what is
//    waiting, puts back from the journal what the commit had overwritten and
//    ends the transaction (ftsNone); only when that restore fails too (or
//    without a journal) does it raise 8450 after the fact, the file holding
//    part of the transaction until the journal is restored by whoever next
//    finds it.
//
// The commit journal (tav_journal.h), open while the file is open for a
// shared database (OpenJournal), makes Commit all-or-nothing against the
// death of the process: before the first byte reaches the file, Commit saves
// what it will overwrite and the file's length, and empties the journal
// once everything is written. A commit cut off anywhere leaves a full
// journal, which RecoverInterruptedCommit (called by whoever takes a lock
// that could follow the committer's death, and at open) puts back. With
// `durable` Commit also flushes: the journal before the pages, the pages
// before the journal is emptied, so that the commit survives a power loss.
// Reads are served in every state; inside a transaction they see its own
// waiting writes.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/storage/crypto/blowfish.h"
#include "engine/storage/file/page_cache.h"
#include "engine/storage/file/tav_journal.h"
#include "host/rtl/object.h"
#include "os/file_io.h"

namespace os {
class TOSFile;
}  // namespace os

namespace tav {

// Access flags of a transfer (bits of a 32-bit word).
inline constexpr uint32_t kAccessCached = 1;    // through the page cache
inline constexpr uint32_t kAccessXor = 2;       // scrambled with XORCryptBuf
inline constexpr uint32_t kAccessBlowfish = 4;  // enciphered with Blowfish CFB-8

// The furthest a file may reach: positions were signed 32-bit seeks, so no
// transfer may end past 2 GB - 1.
inline constexpr int64_t kMaxFileEnd = 0x7FFFFFFF;

inline constexpr uint32_t kDefaultPageSize = 4096;
inline constexpr uint32_t kMinPageSize = 256;
inline constexpr uint32_t kMaxPageSize = 32768;

// Table ids above this are logged as invalid (the transfer goes on).
inline constexpr int32_t kMaxTableID = 2048;

// Raw range locks lie far beyond any data: a lock of `offset` is taken at
// kRawLockBase + offset, its probe at kRawProbeBase + offset.
inline constexpr uint64_t kRawLockBase = 0x0FF0FFFF;
inline constexpr uint64_t kRawProbeBase = 0x0FF10000;

// Page cache size for a file of `fileSize` bytes at open:
// clamp(fileSize div pageSize div 4, 50, 1000) pages.
int CachePageCountFor(int64_t fileSize, uint32_t pageSize);

// The states of a file transaction (see above).
enum TFileTransState { ftsNone, ftsOpen, ftsCommitting, ftsFailedCommit };

// "None", "Open", "Committing", "FailedCommit".
const char* FileTransStateName(TFileTransState state);

class TTavFile : public host::TObject {
 public:
  TTavFile();
  ~TTavFile() override;
  TTavFile(const TTavFile&) = delete;
  TTavFile& operator=(const TTavFile&) = delete;

  // The data side of the next opens and creates instead of the file itself
  // (null: the file). Set while closed (8581 otherwise); borrowed, it must
  // outlive the open. A create empties it.
  void SetDataFile(os::TFileIO* value);
  os::TFileIO* DataFile() const { return data_file_; }

  // Creates (or empties) the file, open for reading and writing and
  // exclusive, with a page cache of 50 pages. Returns the handle, or 0 when
  // the file cannot be created (os::GetLastOSError tells why).
  int32_t CreateTavFile(const std::string& name);
  // Opens an existing file by the open-mode flags; 8581 without a valid page
  // size or an XOR key, 8449 when the system refuses. Returns the handle.
  int32_t OpenTavFile(const std::string& name);
  // Drops both caches (and with them an open transaction), closes the file
  // and forgets the XOR key.
  void CloseTavFile();
  bool CheckOpen() const;
  // The file's handle id (>= 1), 0 when closed.
  int32_t Handle() const;

  // 8581 "Cannot set Crypt key on an opened file" while open.
  void SetXORKeyBuf(const void* key, int32_t length);
  // Key of 1 to 56 bytes (9986 otherwise); the IV is derived from the key.
  void SetBlowKeyBuf(const void* key, int32_t length);

  void SetPageSize(uint32_t value);
  uint32_t PageSize() const { return page_size_; }
  void SetOpenRead(bool value) { open_read_ = value; }
  void SetOpenWrite(bool value) { open_write_ = value; }
  void SetOpenReadExclusive(bool value) { open_read_exclusive_ = value; }
  void SetOpenWriteExclusive(bool value) { open_write_exclusive_ = value; }
  bool OpenRead() const { return open_read_; }
  bool OpenWrite() const { return open_write_; }
  bool OpenReadExclusive() const { return open_read_exclusive_; }
  bool OpenWriteExclusive() const { return open_write_exclusive_; }
  void SetCacheActive(bool value) { cache_active_ = value; }
  bool CacheActive() const { return cache_active_; }
  void SetBeepOnLockRetry(bool value) { beep_on_lock_retry_ = value; }
  bool BeepOnLockRetry() const { return beep_on_lock_retry_; }
  void SetLockRetryCount(int32_t value) { lock_retry_count_ = value; }
  int32_t LockRetryCount() const { return lock_retry_count_; }
  void SetLockRetryInterval(uint32_t value) { lock_retry_interval_ = value; }
  uint32_t LockRetryInterval() const { return lock_retry_interval_; }

  // The page cache's transfer procedures: one page at `position`; `upper` is
  // carried and ignored.
  void InternalReadPage(uint8_t* buffer, int32_t owner, uint32_t accessFlags, uint32_t position,
                        uint32_t upper);
  void InternalWritePage(const uint8_t* buffer, int32_t owner, uint32_t accessFlags,
                         uint32_t position, uint32_t upper);
  // The page cache's run procedure: adjacent pages in one gathered write.
  void InternalWritePages(const TCachePage* const* pages, size_t count);
  // Exactly `count` bytes at `position` of the file itself, never scrambled.
  void InternalRead(void* buffer, uint32_t position, uint32_t count);
  void InternalWrite(const void* buffer, uint32_t position, uint32_t count);

  // Addressed transfers, routed by the access flags (see docs/file-format.md).
  void SeekAndReadTavFile(void* buffer, uint32_t position, uint32_t count, int32_t tableId,
                          uint32_t accessFlags);
  void SeekAndWriteTavFile(const void* buffer, uint32_t position, uint32_t count, int32_t tableId,
                           uint32_t accessFlags);
  // Whether SeekAndReadTavFileByRef can serve that range: a cached area and
  // a range inside one page.
  bool ReadsByRef(uint32_t position, uint32_t count, uint32_t accessFlags) const;
  // A pointer to `count` bytes inside one cached page; only for cached areas.
  uint8_t* SeekAndReadTavFileByRef(uint32_t position, uint32_t count, int32_t tableId,
                                   uint32_t accessFlags);
  // Writes `count` bytes inside one cached page; `buffer` is usually the
  // pointer SeekAndReadTavFileByRef gave, changed in place.
  void SeekAndWriteTavFileByRef(const uint8_t* buffer, uint32_t position, uint32_t count,
                                int32_t tableId, uint32_t accessFlags);
  // Writes at the end of file (the transaction's inside one) and returns the
  // position written; 9600 when the data would end past kMaxFileEnd.
  uint32_t SeekAndAppendTavFile(const void* buffer, uint32_t count, int32_t tableId,
                                uint32_t accessFlags);
  // The file's own bytes, bypassing both caches.
  void ReadThroughTavFile(void* buffer, uint32_t position, uint32_t count);
  void WriteThroughTavFile(const void* buffer, uint32_t position, uint32_t count);
  // Overwrites the page at `position` (page-aligned) raw with `buffer` (one
  // page, normally zeros) and drops it from the page cache; in a transaction
  // the bytes wait in the block cache until a later write of the page
  // supersedes them or Commit writes them.
  void ReleasePage(uint32_t position, const void* buffer);
  // Inside an open transaction, writes `count` bytes at `position` (within
  // one page and the transaction's end) of a paged area through the page
  // cache, as SeekAndWriteTavFile would, whether or not the transaction has
  // changed that page yet; false, with nothing written, for any other write
  // (the caller then takes the whole way).
  bool WriteWithinPage(const void* buffer, uint32_t position, uint32_t count, int32_t tableId,
                       uint32_t accessFlags);
  // For a change made in place to `count` bytes at `position` of a page the
  // cache holds under the same owner and access, inside an open transaction
  // (a page the transaction has not changed yet turns changed): the byte at
  // `position`, to be changed (those bytes only) before the next call into
  // the file or its caches other than another EditCachedPage; null, with
  // nothing done, otherwise.
  uint8_t* EditCachedPage(uint32_t position, uint32_t count, int32_t tableId,
                          uint32_t accessFlags);

  uint32_t SeekTavBof();
  // The transaction end of file in a transaction, else the file's size.
  int64_t SeekTavEof();
  // The position, or -1 when it lies beyond reach (past kMaxFileEnd).
  int64_t SeekTavPosition(uint32_t position);

  // 10256 when one is active (a failed commit included).
  void StartTransaction();
  // From ftsOpen or ftsFailedCommit: journals what the commit overwrites
  // (see above), writes the pending pages, then the pending raw bytes, and
  // empties the journal (10257 without a transaction); `durable` flushes as
  // said above. A failure raises in ftsFailedCommit with what was not
  // written still pending and the journal kept (a failure of the journal
  // itself leaves the file untouched).
  void Commit(bool durable = false);
  // Drops what is pending (10257 without a transaction); after a failed
  // commit that had begun writing, restores the file from the journal, and
  // raises 8450 once the transaction is gone only when that fails.
  void Rollback();

  // The journal's bytes for the next OpenJournal (null: the journal file
  // itself); set while closed, borrowed, outlives the open.
  void SetJournalDataFile(os::TFileIO* value);
  // Opens the commit journal `name` of the open file `dbFileName` (created
  // when the file is open for writing). Without it commits are not
  // journaled (memory and read-only use).
  void OpenJournal(const std::string& name, const std::string& dbFileName);
  // When the journal holds a commit cut off by its writer's death (or left
  // by a failed commit that could not be taken back), puts back what it
  // saved and cuts the file to its old length, under the commit lock, and
  // says whether it did. The caller holds the locks that keep others from
  // reading what the commit wrote. Costs one system call when the journal is
  // empty. 8449 when the file is not open for writing and a valid journal
  // waits; 8450 when the restore fails.
  bool RecoverInterruptedCommit();
  // The same for a journal under the name journals had before
  // (GetLegacyJournalFileName), when it exists and is a whole journal of
  // this database; anything else there is left untouched.
  bool RecoverLegacyJournal(const std::string& name, const std::string& dbFileName);
  TTavJournal& Journal() { return *journal_; }
  // Whether the file is open exclusively: no other handle can open it, so
  // nobody else changes it, its length or its journal.
  bool Alone() const { return open_read_exclusive_ || open_write_exclusive_; }
  // Opened exclusively, and the journal last found or left empty (or there
  // is none): true from the check at open until a commit begins writing the
  // journal, and again once it is emptied. Nobody else can have written it
  // since, so no check is needed.
  bool JournalKnownEmpty() const { return Alone() && journal_left_empty_; }
  bool GetTransactionActive() const { return trans_state_ != ftsNone; }
  // Pages or raw bytes wait in the caches for a commit to write them.
  bool HasPendingWrites() const;
  TFileTransState TransactionState() const { return trans_state_; }

  // 8450 "The file buffers could not be flushed".
  void FlushBuffers();
  // The size of the file's data, 8450 when it cannot be had. Kept from the
  // last look and this connection's own writes, so that page allocations and
  // chain walks cost no system call: whoever takes a lock that shows another
  // connection may have appended (or cut the file back) calls ForgetFileSize
  // first.
  int64_t FileSize();
  // The next FileSize asks the system again.
  void ForgetFileSize() { known_size_ = -1; }
  // Cuts the file down to `size` bytes and drops the cached pages beyond;
  // outside a transaction only (a transaction's end is its own). 8450 when
  // the system refuses.
  void CutTavFile(uint32_t size);
  // Copies the file to `name` (replaced); a failed copy is removed and raises
  // 8450.
  void CopyTavFile(const std::string& name);

  // Raw range locks with retries; 10249 when the retries are used up.
  // Returns 1 (locked) or 2 (only the probe range was free, and is released).
  int32_t ReadLockTavFile(uint32_t offset, uint32_t length, bool noProbe);
  // Returns 4.
  int32_t WriteLockTavFile(uint32_t offset, uint32_t length);
  bool UnlockTavFile(uint32_t offset, uint32_t length);

  // The open file itself (null when closed), for what locks on it besides
  // this object: the lock file's parent lock. Borrowed.
  os::TOSFile* OSFile() const { return file_.get(); }

  TCacheMgr& CacheMgr() { return *cache_mgr_; }
  TCacheBlockMgr& BlockMgr() { return *block_mgr_; }

 private:
  void RequireOpen(const char* caller) const;
  // A change may be taken now (see the transaction states).
  void RequireWritable(const char* caller) const;
  void ValidatePageSize(const char* caller) const;
  void OpenCaches(int64_t fileSize);
  void CloseHandle();
  void CheckTableId(int32_t tableId) const;
  void CheckReadRange(uint32_t position, uint64_t count, const char* caller) const;
  void CheckWriteRange(uint32_t position, uint64_t count, const char* caller) const;
  // Scrambled areas always go through the page cache, which alone scrambles.
  bool UsesPageCache(uint32_t accessFlags) const;
  // The file's bytes with, in a transaction, the pending raw bytes over them.
  void RawRead(uint8_t* buffer, uint32_t position, uint32_t count);
  void WriteCached(const uint8_t* buffer, uint32_t position, uint32_t count, int32_t tableId,
                   uint32_t accessFlags);
  // The page at `base` now holds the bytes to commit: raw bytes still
  // pending under it are superseded, and the page no longer holds the file's
  // bytes outside what was written to it.
  void SupersedePendingRaw(uint32_t base);
  // Whether `count` bytes at `position` may go straight into a page the
  // transaction changes (WriteWithinPage, EditCachedPage): inside an
  // open transaction, a paged area, within one page and the transaction's
  // end.
  bool MayChangePageInPlace(uint32_t position, uint32_t count, int32_t tableId,
                            uint32_t accessFlags);
  void GrowTransactionEof(uint32_t position, uint32_t count);
  // The transaction's end of file, taken from the file's size when first
  // asked for (StartTransaction leaves it unknown on a shared file).
  int64_t TransactionEof();
  void RequireXORKey() const;
  void RequireBlowKey() const;
  void LockRetryPause() const;
  // Journals what the pending writes will overwrite and keeps the commit
  // lock (nothing to do without a journal or without pending writes).
  void BeginJournal(bool durable);
  // Flushes (durable) and empties the journal once the commit is written.
  void EndJournal(bool durable);
  // Under the commit lock: restores a full journal if it is valid (else
  // empties it: its commit never reached the file). Says whether it
  // restored.
  bool RecoverLocked();
  // Takes back the commit in `journal` (its commit lock held) when it is a
  // whole journal of this database; one that is not whole is emptied when
  // `emptyInvalid`. Another database's is left as it is.
  bool RecoverFrom(TTavJournal& journal, bool emptyInvalid);
  void RestoreFromJournal(const TJournalImage& image);
  // Raw bytes as the file holds them, for a file this connection has to
  // itself: the small blocks its last commits wrote. The next commit's
  // journal takes the old bytes of a block it rewrites from here instead of
  // reading them back from the file. Every other write to the file forgets
  // what it overlaps; a cut, a restore or a close forgets everything.
  struct TKnownRaw {
    uint32_t Position = 0;
    uint32_t Count = 0;  // 0: a free slot
    std::vector<uint8_t> Bytes;
  };
  static constexpr size_t kKnownRawSlots = 8;
  std::vector<TKnownRaw> known_raw_;
  size_t known_raw_next_ = 0;  // the slot a new block takes when none is free
  // Every kept block lies in [known_raw_from_, known_raw_to_) (not narrowed
  // as blocks are forgotten, reset when all are).
  uint32_t known_raw_from_ = UINT32_MAX;
  uint64_t known_raw_to_ = 0;
  // One bit per 4 KB granule of the file, folded onto 1024 bits, set for
  // every granule a kept block touches: the pages a commit writes lie among
  // the kept blocks (a table's header sits before its pages), yet seldom in
  // a granule of one, and a bit or two settle that where the span cannot.
  static constexpr int kKnownRawGranuleShift = 12;
  static constexpr uint64_t kKnownRawMarkBits = 1024;
  std::array<uint64_t, kKnownRawMarkBits / 64> known_raw_marks_{};
  // Sets the bits of [position, position + count) (count not 0).
  void MarkKnownRaw(uint32_t position, uint64_t count);
  // Whether a kept block may overlap [position, end) (end > position).
  bool MayBeKnownRaw(uint64_t position, uint64_t end) const;
  // The bits of the blocks kept now, and no others.
  void RemarkKnownRaw();
  // The block cache's commit procedure: writes the block and keeps it.
  void CommitRawBlock(const uint8_t* buffer, uint32_t position, uint32_t count);
  void ForgetKnownRaw(uint32_t position, uint64_t count) {
    const uint64_t end = uint64_t{position} + count;
    // Most writes (the pages) lie apart from every kept block.
    if (count != 0 && end > known_raw_from_ && position < known_raw_to_ &&
        MayBeKnownRaw(position, end))
      ForgetKnownRawIn(position, end);
  }
  // Forgets the kept blocks overlapping [position, end).
  void ForgetKnownRawIn(uint64_t position, uint64_t end);
  void ForgetAllKnownRaw();
  // The file's `count` bytes at `position` when kept whole, else null.
  const uint8_t* KnownRaw(uint32_t position, uint32_t count) const;

  std::unique_ptr<os::TOSFile> file_;
  os::TFileIO* io_ = nullptr;                 // where the bytes go while open
  os::TFileIO* data_file_ = nullptr;          // borrowed; null: file_ itself
  os::TFileIO* journal_data_file_ = nullptr;  // borrowed; null: the journal file
  std::unique_ptr<TTavJournal> journal_;
  std::vector<TJournalRange> ranges_;   // what the commit being journaled writes
  std::vector<TJournalRange> merged_ranges_;  // MergeBlockRanges's, kept for reuse
  // The ranges from `pageRanges` on (the pending raw blocks') join the sorted
  // ones before them in order.
  void MergeBlockRanges(size_t pageRanges);
  bool journaled_ = false;              // this commit's journal is written
  // The file's length as the commit began writing (see Commit).
  int64_t held_end_ = 0;
  // While committing: the dirty page whose buffer `buffer` is, when the file
  // holds the page (below held_end_, not scrambled) and only part of it
  // changed, so that writing [DirtyFrom, DirtyTo) of it brings the file up
  // to date; else null.
  const TCachePage* CommittedPageHeld(const uint8_t* buffer, uint32_t accessFlags,
                                      uint32_t position) const;
  // `buffer` as written for `owner` and `accessFlags`: itself, or scrambled
  // into `into` (one page).
  const uint8_t* ScramblePage(const uint8_t* buffer, int32_t owner, uint32_t accessFlags,
                              uint8_t* into);

  std::unique_ptr<uint8_t[]> scratch_;  // one page, for scrambled transfers
  std::vector<uint8_t> run_scratch_;    // a commit run's scrambled pages
  std::vector<os::TIoPiece> run_pieces_;
  std::vector<uint8_t> xor_key_;
  std::vector<uint8_t> blow_key_;
  int64_t trans_eof_ = 0;    // in a transaction; -1: not asked for yet
  int64_t known_size_ = -1;  // the data's size as last seen; -1: ask the system
  std::unique_ptr<TCacheMgr> cache_mgr_;
  std::unique_ptr<TCacheBlockMgr> block_mgr_;
  bool open_write_ = false;
  bool open_read_ = false;
  bool journal_left_empty_ = false;
  bool open_read_exclusive_ = false;
  bool open_write_exclusive_ = false;
  bool beep_on_lock_retry_ = false;
  uint32_t lock_retry_interval_ = 200;
  int32_t lock_retry_count_ = 10;
  uint32_t page_size_ = kDefaultPageSize;
  bool cache_active_ = false;
  TFileTransState trans_state_ = ftsNone;
  bool commit_wrote_ = false;  // this commit has begun writing the file
  bool blow_key_set_ = false;
  TBlowfishData blowfish_{};
};

// Inline: most of a transaction's small writes take this way.
inline void TTavFile::SupersedePendingRaw(uint32_t base) {
  // The page was read with those bytes laid over the file's.
  if (block_mgr_->MayHold(base, 0, page_size_) && block_mgr_->RemoveRange(base, 0, page_size_))
    cache_mgr_->DirtyWholePage(base, 0);
}

inline bool TTavFile::MayChangePageInPlace(uint32_t position, uint32_t count, int32_t tableId,
                                           uint32_t accessFlags) {
  // An area the page cache does not take (a table header's, say) holds no
  // page of its own there: its raw writes need no look for one.
  constexpr uint32_t kPaged = kAccessCached | kAccessXor | kAccessBlowfish;
  if (trans_state_ != ftsOpen || (accessFlags & kPaged) == 0 || tableId > kMaxTableID ||
      count == 0 || !cache_mgr_->IsOpen())
    return false;
  const int64_t eof = trans_eof_ >= 0 ? trans_eof_ : TransactionEof();
  if (uint64_t{position} + count > static_cast<uint64_t>(eof)) return false;
  const uint32_t base = position & cache_mgr_->BaseAddrMask();
  return uint64_t{position - base} + count <= page_size_;
}

inline bool TTavFile::WriteWithinPage(const void* buffer, uint32_t position, uint32_t count,
                                      int32_t tableId, uint32_t accessFlags) {
  if (!MayChangePageInPlace(position, count, tableId, accessFlags)) return false;
  // WriteCached's way for a write within one page: the page is looked up once.
  const uint32_t base = position & cache_mgr_->BaseAddrMask();
  TCachePage* page = nullptr;
  if (!cache_mgr_->WriteIntoDirtyPage(buffer, tableId, count, position, accessFlags, page))
    cache_mgr_->WriteOnePage(buffer, tableId, count, position, accessFlags, page);
  SupersedePendingRaw(base);
  return true;
}

}  // namespace tav
