#include "engine/storage/file/tav_journal.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "engine/storage/base/tav_digit_sort.h"
#include "engine/storage/base/tav_errors.h"
#include "engine/storage/crypto/crc32.h"
#include "engine/storage/file/tav_file.h"
#include "engine/storage/lock/lock_file.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/le_bytes.h"
#include "host/rtl/sys_utils.h"
#include "os/clock.h"
#include "os/file.h"
#include "os/sys_info.h"

namespace tav {

namespace {

constexpr char kMagic[8] = {'T', 'a', 'v', 'J', 'r', 'n', 'l', '\0'};
constexpr uint32_t kRecordHeader = 8;  // position, count

// Header fields (byte offsets).
constexpr size_t kOffVersion = 8;
constexpr size_t kOffPageSize = 12;
constexpr size_t kOffOldLength = 16;
constexpr size_t kOffRecords = 20;
constexpr size_t kOffBodyLength = 24;
constexpr size_t kOffBodyCRC = 28;
constexpr size_t kOffNameCRC = 32;
constexpr size_t kOffHeaderCRC = 44;

// A live committer holds the lock for as long as its commit writes; a dead
// one's goes with its process. So waiting is bounded by the longest commit,
// and this limit only catches a process that hangs inside one.
constexpr uint32_t kCommitLockWaitMs = 60000;

uint32_t Crc(const uint8_t* bytes, size_t count) {
  return CalcCRC(bytes, static_cast<int32_t>(count));
}

}  // namespace

std::string GetJournalFileName(const std::string& dbFileName) {
  return dbFileName + ".jnl";
}

std::string GetLegacyJournalFileName(const std::string& dbFileName) {
  return host::ChangeFileExt(GetLockFileName(dbFileName), ".jnl");
}

namespace {

uint32_t NameCrc(const std::string& dbFileName) {
  const std::string base = host::ExtractFileName(dbFileName);
  return Crc(reinterpret_cast<const uint8_t*>(base.data()), base.size());
}

// A header this code wrote whole: the magic, the version and its CRC.
bool HeaderWhole(const uint8_t* header) {
  return std::memcmp(header, kMagic, sizeof kMagic) == 0 &&
         host::GetU32(header + kOffHeaderCRC) == Crc(header, kOffHeaderCRC) &&
         host::GetU32(header + kOffVersion) == kJournalVersion;
}

}  // namespace

bool TTavJournal::NamesDatabase(const std::string& name, const std::string& dbFileName) {
  auto file = os::TOSFile::Open(name, os::TFileAccess::Read, os::TFileShare::DenyNone);
  if (!file) return false;
  uint8_t header[kJournalHeaderSize];
  return file->Read(0, header, kJournalHeaderSize) == kJournalHeaderSize && HeaderWhole(header) &&
         host::GetU32(header + kOffNameCRC) == NameCrc(dbFileName);
}

TTavJournal::~TTavJournal() {
  Close();
}

void TTavJournal::Open(const std::string& name, const std::string& dbFileName, uint32_t pageSize,
                       bool writable, os::TFileIO* data, bool create) {
  Close();
  name_ = name;
  page_size_ = pageSize;
  name_crc_ = NameCrc(dbFileName);
  writable_ = writable;
  if (writable) {
    file_ = os::TOSFile::Open(name, os::TFileAccess::ReadWrite, os::TFileShare::DenyNone);
    if (!file_ && !create && os::GetLastOSError() == ENOENT) return;
    // Made whole under another name and linked into place, so that it is
    // never held exclusively by its maker while others look for it.
    if (!file_ && os::GetLastOSError() == ENOENT &&
        CreateFileInPlace(name, nullptr, 0) == ipInPlace)
      file_ = os::TOSFile::Open(name, os::TFileAccess::ReadWrite, os::TFileShare::DenyNone);
    if (!file_)
      TavDatabaseError(kCannotOpenRequestedFile, "TTavJournal.Open",
                       "The commit journal could not be opened: " + name + ": " +
                           os::GetOSErrorText(os::GetLastOSError()));
  } else {
    file_ = os::TOSFile::Open(name, os::TFileAccess::Read, os::TFileShare::DenyNone);
    if (!file_) return;  // none there: nothing to look into
  }
  io_ = data ? data : file_.get();
}

void TTavJournal::Close() {
  if (commit_locked_) UnlockCommit();
  io_ = nullptr;
  file_.reset();
  buffer_.clear();
  buffer_.shrink_to_fit();
  last_size_ = 0;
}

bool TTavJournal::Pending() {
  if (!io_) return false;
  uint8_t head[kJournalMarkSize] = {};
  const int64_t got = io_->Read(0, head, kJournalMarkSize);
  if (got < 0)
    TavDatabaseError(kIOErrorOnSystemFile, "TTavJournal.Pending",
                     "The commit journal could not be examined");
  for (int64_t i = 0; i < got; ++i)
    if (head[i] != 0) return true;
  return false;
}

void TTavJournal::LockCommit() {
  TAV_ASSERT(file_ && !commit_locked_, "The commit lock taken twice or without a journal");
  if (held_alone_) {
    commit_locked_ = true;
    return;
  }
  const uint32_t start = os::GetTickCount();
  uint32_t pause = 1;
  for (;;) {
    if (file_->LockRange(kJournalCommitLock, 1)) {
      commit_locked_ = true;
      return;
    }
    const int code = os::GetLastOSError();
    if (!os::IsLockViolation(code)) {
      // No descriptor that may write the journal: nobody can commit here.
      if (code == EACCES || code == EROFS || code == EBADF) return;
      TavDatabaseError(kIOErrorOnSystemFile, "TTavJournal.LockCommit", os::GetOSErrorText(code));
    }
    if (os::GetTickCount() - start >= kCommitLockWaitMs)
      TavDatabaseError(kRequestedLockNotObtained, "TTavJournal.LockCommit",
                       "A lock could not be obtained on the commit journal");
    os::Sleep(pause);
    pause = std::min<uint32_t>(pause * 2, 10);
  }
}

void TTavJournal::UnlockCommit() {
  if (!commit_locked_) return;
  commit_locked_ = false;
  if (file_ && !held_alone_) file_->UnlockRange(kJournalCommitLock, 1);
}

void TTavJournal::Write(os::TFileIO& db, std::vector<TJournalRange>& ranges, uint32_t oldLength,
                        bool durable) {
  TAV_ASSERT(io_ && writable_, "A commit journal written without a writable journal");
  // Only bytes below the old end need saving: the cut gives back the rest.
  // Sorted and joined, each run of the file is read with one call. Ranges
  // whose bytes are in memory are not read: they stay records of their own
  // unless they overlap another range, whose joined bytes are then read.
  // What lies past the old end (a transaction's appended pages, often
  // most of them) is dropped before the sort.
  ranges.erase(std::remove_if(ranges.begin(), ranges.end(),
                              [oldLength](const TJournalRange& r) {
                                return r.Position >= oldLength || r.Count == 0;
                              }),
               ranges.end());
  // A caller that lists its ranges in order (a commit's pages, in the order
  // they go to the file) spares the sort.
  const auto byPosition = [](const TJournalRange& a, const TJournalRange& b) {
    return a.Position < b.Position;
  };
  if (!std::is_sorted(ranges.begin(), ranges.end(), byPosition))
    SortByKeyDigits(ranges, sorted_, [](const TJournalRange& r) { return r.Position; });
  size_t kept = 0;
  for (const TJournalRange& r : ranges) {
    const uint32_t end =
        static_cast<uint32_t>(std::min<uint64_t>(uint64_t{r.Position} + r.Count, oldLength));
    const uint64_t lastEnd =
        kept == 0 ? 0 : uint64_t{ranges[kept - 1].Position} + ranges[kept - 1].Count;
    const bool overlaps = kept != 0 && r.Position < lastEnd;
    const bool touches = kept != 0 && r.Position == lastEnd;
    if (overlaps || (touches && !r.Saved && !ranges[kept - 1].Saved)) {
      TJournalRange& last = ranges[kept - 1];
      last.Count = std::max(last.Count, end - last.Position);
      if (overlaps) last.Saved = nullptr;
    } else {
      ranges[kept++] = {r.Position, end - r.Position, r.Saved};
    }
  }
  ranges.resize(kept);

  uint64_t total = kJournalHeaderSize;
  for (const TJournalRange& r : ranges) total += kRecordHeader + r.Count;
  if (total <= kJournalChunk) {
    WriteWhole(db, ranges, oldLength, total, durable);
    return;
  }
  // The records pass through a buffer of at most kJournalChunk bytes: a
  // commit the size of the file must not hold its before-images in memory.
  // A journal that fits went out above, with the header, in one write; a
  // larger one goes record by record from offset 48, then the header, whose
  // mark makes it count only once all of it is there.
  // Not cleared first: every byte written goes out of it filled.
  const auto chunk = std::make_unique_for_overwrite<uint8_t[]>(kJournalChunk);
  const auto fail = [this](int code, const char* text) {
    // Part of it may be there; nothing has reached the database yet.
    io_->SetSize(0);
    last_size_ = 0;
    TavDatabaseError(code, "TTavJournal.Write", text);
  };
  size_t used = 0;
  uint64_t at = kJournalHeaderSize;  // where the buffer's first byte goes
  uint32_t bodyCrc = 0;
  const auto flush = [&] {
    if (used == 0) return;
    bodyCrc = UpdateCRC(bodyCrc, chunk.get(), static_cast<int32_t>(used));
    if (io_->Write(static_cast<int64_t>(at), chunk.get(), static_cast<int64_t>(used)) !=
        static_cast<int64_t>(used))
      fail(8450, "The commit journal could not be written");
    at += used;
    used = 0;
  };
  for (const TJournalRange& r : ranges) {
    if (kJournalChunk - used < kRecordHeader) flush();
    host::PutU32(chunk.get() + used, r.Position);
    host::PutU32(chunk.get() + used + 4, r.Count);
    used += kRecordHeader;
    for (uint32_t done = 0; done < r.Count;) {
      if (used == kJournalChunk) flush();
      const auto n = static_cast<uint32_t>(std::min<uint64_t>(r.Count - done, kJournalChunk - used));
      if (r.Saved)
        std::memcpy(chunk.get() + used, r.Saved + done, n);
      else if (db.Read(r.Position + done, chunk.get() + used, n) != static_cast<int64_t>(n))
        fail(9217, "Unable to complete file read operation");
      used += n;
      done += n;
    }
  }
  flush();
  const uint64_t body = total - kJournalHeaderSize;
  FillHeader(chunk.get(), oldLength, static_cast<uint32_t>(ranges.size()),
             static_cast<uint32_t>(body), bodyCrc);

  const int64_t length = kJournalHeaderSize;
  last_size_ = static_cast<size_t>(total);
  if (io_->Write(0, chunk.get(), length) != length || (durable && !io_->Flush()))
    fail(8450, "The commit journal could not be written");
  ReleaseBuffer();
}

void TTavJournal::FillHeader(uint8_t* header, uint32_t oldLength, uint32_t records,
                             uint32_t body, uint32_t bodyCrc) const {
  std::memset(header, 0, kJournalHeaderSize);
  std::memcpy(header, kMagic, sizeof kMagic);
  host::PutU32(header + kOffVersion, kJournalVersion);
  host::PutU32(header + kOffPageSize, page_size_);
  host::PutU32(header + kOffOldLength, oldLength);
  host::PutU32(header + kOffRecords, records);
  host::PutU32(header + kOffBodyLength, body);
  host::PutU32(header + kOffBodyCRC, bodyCrc);
  host::PutU32(header + kOffNameCRC, name_crc_);
  host::PutU32(header + kOffHeaderCRC, Crc(header, kOffHeaderCRC));
}

void TTavJournal::WriteWhole(os::TFileIO& db, const std::vector<TJournalRange>& ranges,
                             uint32_t oldLength, uint64_t total, bool durable) {
  // Header and records are put together in the buffer and written in one
  // call. The buffer only grows (up to kJournalKeepBuffer it is kept), so
  // that a commit does not clear bytes it is about to overwrite.
  if (buffer_.size() < total) buffer_.resize(static_cast<size_t>(total));
  const auto fail = [this](int code, const char* text) {
    // Part of it may be there; nothing has reached the database yet.
    io_->SetSize(0);
    last_size_ = 0;
    TavDatabaseError(code, "TTavJournal.Write", text);
  };
  uint8_t* at = buffer_.data() + kJournalHeaderSize;
  for (const TJournalRange& r : ranges) {
    host::PutU32(at, r.Position);
    host::PutU32(at + 4, r.Count);
    at += kRecordHeader;
    if (r.Saved)
      std::memcpy(at, r.Saved, r.Count);
    else if (db.Read(r.Position, at, r.Count) != static_cast<int64_t>(r.Count))
      fail(9217, "Unable to complete file read operation");
    at += r.Count;
  }
  const uint64_t body = total - kJournalHeaderSize;
  FillHeader(buffer_.data(), oldLength, static_cast<uint32_t>(ranges.size()),
             static_cast<uint32_t>(body),
             Crc(buffer_.data() + kJournalHeaderSize, static_cast<size_t>(body)));
  const auto length = static_cast<int64_t>(total);
  last_size_ = static_cast<size_t>(total);
  if (io_->Write(0, buffer_.data(), length) != length || (durable && !io_->Flush()))
    fail(8450, "The commit journal could not be written");
  ReleaseBuffer();
}

void TTavJournal::ReleaseBuffer() {
  // A large commit's buffer is given back; a small one is kept for the next.
  if (buffer_.capacity() > kJournalKeepBuffer) {
    buffer_.clear();
    buffer_.shrink_to_fit();
  }
  // Likewise the sorting list of a commit of very many ranges.
  if (sorted_.capacity() * sizeof(TJournalRange) > kJournalChunk) {
    sorted_.clear();
    sorted_.shrink_to_fit();
  }
}

TJournalContents TTavJournal::Examine(TJournalImage& image) {
  constexpr TJournalContents kInvalid = TJournalContents::Invalid;
  if (!io_) return kInvalid;
  const int64_t size = io_->Size();
  if (size < static_cast<int64_t>(kJournalHeaderSize)) return kInvalid;
  uint8_t header[kJournalHeaderSize];
  if (io_->Read(0, header, kJournalHeaderSize) != kJournalHeaderSize) return kInvalid;
  if (!HeaderWhole(header)) return kInvalid;
  // Whole but another database's: not ours to restore, nor to empty.
  if (host::GetU32(header + kOffNameCRC) != name_crc_) return TJournalContents::OtherDatabase;
  if (host::GetU32(header + kOffPageSize) != page_size_) return kInvalid;
  return LoadBody(header, size, image) ? TJournalContents::Valid : kInvalid;
}

bool TTavJournal::LoadBody(const uint8_t* header, int64_t size, TJournalImage& image) {
  image.OldLength = host::GetU32(header + kOffOldLength);
  const uint32_t records = host::GetU32(header + kOffRecords);
  const uint32_t body = host::GetU32(header + kOffBodyLength);
  if (image.OldLength > kMaxFileEnd) return false;
  if (uint64_t{body} + kJournalHeaderSize > static_cast<uint64_t>(size)) return false;
  image.Body.resize(body);
  if (body != 0 && io_->Read(kJournalHeaderSize, image.Body.data(), body) != body) return false;
  if (Crc(image.Body.data(), body) != host::GetU32(header + kOffBodyCRC)) return false;
  // Every record within the body and below the old end, and as many as said.
  uint64_t at = 0;
  uint32_t seen = 0;
  while (at < body) {
    if (at + kRecordHeader > body) return false;
    const uint32_t position = host::GetU32(image.Body.data() + at);
    const uint32_t count = host::GetU32(image.Body.data() + at + 4);
    if (uint64_t{position} + count > image.OldLength) return false;
    if (at + kRecordHeader + count > body) return false;
    at += kRecordHeader + count;
    ++seen;
  }
  return seen == records;
}

void TTavJournal::Invalidate(bool durable) {
  if (!io_) return;
  // Zeroing the mark is one small write into blocks the file already has;
  // cutting the file would free them, only for the next commit to take
  // them again, which costs the file system far more. A journal grown
  // large is cut all the same, so that it does not keep the space.
  static const uint8_t kZeros[kJournalMarkSize] = {};
  bool done;
  if (last_size_ > kJournalKeepLimit || last_size_ == 0)
    done = io_->SetSize(0);
  else
    done = io_->Write(0, kZeros, kJournalMarkSize) == kJournalMarkSize;
  if (!done || (durable && !io_->Flush()))
    TavDatabaseError(kIOErrorOnSystemFile, "TTavJournal.Invalidate",
                     "The commit journal could not be emptied");
  last_size_ = 0;
}

void TTavJournal::Restore(os::TFileIO& db, const TJournalImage& image,
                          std::vector<TJournalRange>* restored) {
  const uint8_t* at = image.Body.data();
  const uint8_t* end = at + image.Body.size();
  bool ok = true;
  while (ok && at < end) {
    const uint32_t position = host::GetU32(at);
    const uint32_t count = host::GetU32(at + 4);
    ok = db.Write(position, at + kRecordHeader, count) == static_cast<int64_t>(count);
    if (restored) restored->push_back({position, count});
    at += kRecordHeader + count;
  }
  ok = ok && db.SetSize(image.OldLength) && db.Flush();
  if (!ok)
    TavDatabaseError(
        kIOErrorOnSystemFile, "TTavJournal.Restore",
        "An interrupted commit could not be undone: " + os::GetOSErrorText(os::GetLastOSError()));
}

}  // namespace tav
