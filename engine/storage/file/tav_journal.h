// TTavJournal: the commit journal of one database file. Before the first byte
// of a commit reaches the database file, the bytes the commit will overwrite
// (each page's and raw range's current contents, and the file's length) are
// saved in the journal beside it; the commit then writes the database and
// empties the journal. A journal found holding a valid record means a commit
// was cut off: putting its bytes back and cutting the file to its old length
// gives the state before that commit. docs/file-format.md ("Commit journal")
// gives the bytes; TTavFile (tav_file.h) drives the journal from Commit,
// Rollback and RecoverInterruptedCommit.
//
// Who may touch the journal: whoever holds its commit lock, one byte far
// beyond its data (kJournalCommitLock). A committer holds it from before it
// writes the journal until the journal is empty again; a connection that
// finds the journal full takes it before reading the journal, so it never
// takes a live committer's journal for a dead one's, and two connections
// never both restore. The lock is the operating system's, so a committer
// that dies lets go of it.
//
// Callers must keep:
//  - Open after the lock file has registered the connection (the last
//    connection deletes an empty journal with the lock file) and Close
//    before the database file closes.
//  - Positions are the database file's 32-bit positions; ranges given to
//    Write lie below kMaxFileEnd.
//  - Data read from a journal is untrusted: Load bounds every count and
//    position and answers "not valid" for anything it did not write.
//  - One thread at a time, like the database file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace os {
class TFileIO;
class TOSFile;
}  // namespace os

namespace tav {

// The journal's name: the database file's own name with ".jnl" added
// ("Sales.tav" -> "Sales.tav.jnl"), so that two databases never share one.
std::string GetJournalFileName(const std::string& dbFileName);
// The name journals had before: the lock file's name (lock_file.h) with the
// extension ".jnl" ("Sales.tav" -> "Sales.jnl", "Sales.dat" and
// "Sales_dat.tav" both -> "Sales_dat.jnl"). A cut-off commit left there is
// still taken back by the database it names.
std::string GetLegacyJournalFileName(const std::string& dbFileName);

inline constexpr uint32_t kJournalHeaderSize = 48;
// The journal holds nothing when it is empty or its first bytes (the mark)
// are zero.
inline constexpr uint32_t kJournalMarkSize = 8;
// A journal that held more than this is cut to nothing when emptied; a
// smaller one only has its mark zeroed.
inline constexpr size_t kJournalKeepLimit = 1 << 20;
// A commit's records pass through a buffer of at most this many bytes; one
// larger than kJournalKeepBuffer is given back after the commit.
inline constexpr size_t kJournalChunk = 1 << 20;
inline constexpr size_t kJournalKeepBuffer = 64 << 10;
inline constexpr uint32_t kJournalVersion = 1;
// The commit lock: one byte of the journal file, far beyond any data.
inline constexpr uint64_t kJournalCommitLock = 0x100000000;

// A byte range of the database file that a commit writes.
struct TJournalRange {
  uint32_t Position = 0;
  uint32_t Count = 0;
  // The bytes the file holds there now, when the caller has them in memory
  // (Count of them); null: they are read from the file.
  const uint8_t* Saved = nullptr;
};

// A journal as read back: the database's length before the commit and the
// saved bytes, record after record (position, count, bytes).
struct TJournalImage {
  uint32_t OldLength = 0;
  std::vector<uint8_t> Body;
};

// What a journal holds, as Examine finds it.
enum class TJournalContents {
  Invalid,        // not a journal this code wrote whole
  OtherDatabase,  // a whole journal of another database (its name differs)
  Valid,          // a whole journal of this database
};

class TTavJournal {
 public:
  TTavJournal() = default;
  ~TTavJournal();
  TTavJournal(const TTavJournal&) = delete;
  TTavJournal& operator=(const TTavJournal&) = delete;

  // Opens the journal of the database `dbFileName` with pages of `pageSize`
  // bytes, creating it (empty) when it is missing and `writable`. A
  // connection that cannot write opens an existing journal only, to look
  // into it. `data` carries the journal's bytes instead of the file itself
  // (tests hand the in-memory twin); the commit lock stays on the file.
  // 8449 when a writable journal cannot be had.
  // With `create` false a missing journal is not made (nothing is open).
  void Open(const std::string& name, const std::string& dbFileName, uint32_t pageSize,
            bool writable, os::TFileIO* data, bool create = true);
  void Close();
  bool IsOpen() const { return io_ != nullptr; }
  const std::string& Name() const { return name_; }

  // Whether the journal holds anything: one system call (a read of its mark).
  bool Pending();

  // Takes the commit lock, waiting while another connection holds it (a
  // commit or a restore runs); 10249 when it never comes free. Where the
  // journal may not be written (a read-only medium) nobody commits, and the
  // lock is taken as held.
  void LockCommit();
  void UnlockCommit();
  bool CommitLocked() const { return commit_locked_; }
  // For the journal of a database open exclusively, which no other
  // connection can commit to: the commit lock is taken and given back
  // without a system call.
  void SetHeldAlone(bool value) { held_alone_ = value; }

  // Saves, for each range below `oldLength`, the bytes `db` holds there
  // (taken from the range's Saved bytes where it has them), with
  // `oldLength`, in one write; with `durable` flushes the journal
  // before returning. 8450 (9217 for a short read of `db`) on failure, after
  // trying to empty the journal again.
  void Write(os::TFileIO& db, std::vector<TJournalRange>& ranges, uint32_t oldLength, bool durable);
  // Reads the journal back; false when it is not a valid journal of this
  // database (short, a bad checksum, another file's or page size, a record
  // out of bounds).
  bool Load(TJournalImage& image) { return Examine(image) == TJournalContents::Valid; }
  // The same, telling a whole journal of another database (a valid header
  // naming another file) from one that is not valid; `image` is filled only
  // for Valid.
  TJournalContents Examine(TJournalImage& image);
  // Whether the journal file `name` has a whole header naming the database
  // file `dbFileName` (its name without the folder); false when missing.
  static bool NamesDatabase(const std::string& name, const std::string& dbFileName);
  // Empties the journal: zeroes its mark, or cuts it to nothing when the
  // last commit's journal was large or none was written here (with
  // `durable`, flushes that); 8450 on failure.
  void Invalidate(bool durable);

  // Puts the saved bytes back into `db`, cuts it to the old length and
  // flushes it; `restored` receives each range written. 8450 on failure.
  static void Restore(os::TFileIO& db, const TJournalImage& image,
                      std::vector<TJournalRange>* restored);

 private:
  std::unique_ptr<os::TOSFile> file_;
  os::TFileIO* io_ = nullptr;
  std::string name_;
  uint32_t page_size_ = 0;
  uint32_t name_crc_ = 0;
  bool writable_ = false;
  bool commit_locked_ = false;
  bool held_alone_ = false;
  void ReleaseBuffer();
  // The records after a whole header of this database's: false when any of
  // them is missing, out of bounds or does not match the header's CRC.
  bool LoadBody(const uint8_t* header, int64_t size, TJournalImage& image);

  std::vector<uint8_t> buffer_;  // records (and header) on their way to the journal
  std::vector<TJournalRange> sorted_;  // Write's second list while sorting the ranges
  // A journal that fits in kJournalChunk, header and records in one write.
  void WriteWhole(os::TFileIO& db, const std::vector<TJournalRange>& ranges, uint32_t oldLength,
                  uint64_t total, bool durable);
  void FillHeader(uint8_t* header, uint32_t oldLength, uint32_t records, uint32_t body,
                  uint32_t bodyCrc) const;
  size_t last_size_ = 0;         // bytes of the last journal written here
};

}  // namespace tav
