#include "engine/storage/file/tav_journal.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

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
  return host::ChangeFileExt(GetLockFileName(dbFileName), ".jnl");
}

TTavJournal::~TTavJournal() {
  Close();
}

void TTavJournal::Open(const std::string& name, const std::string& dbFileName, uint32_t pageSize,
                       bool writable, os::TFileIO* data) {
  Close();
  name_ = name;
  page_size_ = pageSize;
  const std::string base = host::ExtractFileName(dbFileName);
  name_crc_ = Crc(reinterpret_cast<const uint8_t*>(base.data()), base.size());
  writable_ = writable;
  if (writable) {
    file_ = os::TOSFile::Open(name, os::TFileAccess::ReadWrite, os::TFileShare::DenyNone);
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
  if (file_) file_->UnlockRange(kJournalCommitLock, 1);
}

void TTavJournal::Write(os::TFileIO& db, std::vector<TJournalRange>& ranges, uint32_t oldLength,
                        bool durable) {
  TAV_ASSERT(io_ && writable_, "A commit journal written without a writable journal");
  // Only bytes below the old end need saving: the cut gives back the rest.
  // Sorted and joined, each run of the file is read with one call.
  std::sort(ranges.begin(), ranges.end(),
            [](const TJournalRange& a, const TJournalRange& b) { return a.Position < b.Position; });
  size_t kept = 0;
  for (const TJournalRange& r : ranges) {
    if (r.Position >= oldLength || r.Count == 0) continue;
    const uint32_t end =
        static_cast<uint32_t>(std::min<uint64_t>(uint64_t{r.Position} + r.Count, oldLength));
    if (kept != 0 && r.Position <= ranges[kept - 1].Position + ranges[kept - 1].Count) {
      TJournalRange& last = ranges[kept - 1];
      last.Count = std::max(last.Count, end - last.Position);
    } else {
      ranges[kept++] = {r.Position, end - r.Position};
    }
  }
  ranges.resize(kept);

  size_t total = kJournalHeaderSize;
  for (const TJournalRange& r : ranges) total += kRecordHeader + r.Count;
  buffer_.resize(total);
  uint8_t* out = buffer_.data() + kJournalHeaderSize;
  for (const TJournalRange& r : ranges) {
    host::PutU32(out, r.Position);
    host::PutU32(out + 4, r.Count);
    if (db.Read(r.Position, out + kRecordHeader, r.Count) != static_cast<int64_t>(r.Count))
      TavDatabaseError(kDiskReadFailure, "TTavJournal.Write",
                       "Unable to complete file read operation");
    out += kRecordHeader + r.Count;
  }
  uint8_t* header = buffer_.data();
  std::memset(header, 0, kJournalHeaderSize);
  std::memcpy(header, kMagic, sizeof kMagic);
  host::PutU32(header + kOffVersion, kJournalVersion);
  host::PutU32(header + kOffPageSize, page_size_);
  host::PutU32(header + kOffOldLength, oldLength);
  host::PutU32(header + kOffRecords, static_cast<uint32_t>(ranges.size()));
  const size_t body = total - kJournalHeaderSize;
  host::PutU32(header + kOffBodyLength, static_cast<uint32_t>(body));
  host::PutU32(header + kOffBodyCRC, Crc(header + kJournalHeaderSize, body));
  host::PutU32(header + kOffNameCRC, name_crc_);
  host::PutU32(header + kOffHeaderCRC, Crc(header, kOffHeaderCRC));

  const bool written = io_->Write(0, buffer_.data(), total) == static_cast<int64_t>(total) &&
                       (!durable || io_->Flush());
  if (!written) {
    // Part of it may be there; nothing has reached the database yet.
    io_->SetSize(0);
    TavDatabaseError(kIOErrorOnSystemFile, "TTavJournal.Write",
                     "The commit journal could not be written");
  }
}

bool TTavJournal::Load(TJournalImage& image) {
  if (!io_) return false;
  const int64_t size = io_->Size();
  if (size < static_cast<int64_t>(kJournalHeaderSize)) return false;
  uint8_t header[kJournalHeaderSize];
  if (io_->Read(0, header, kJournalHeaderSize) != kJournalHeaderSize) return false;
  if (std::memcmp(header, kMagic, sizeof kMagic) != 0) return false;
  if (host::GetU32(header + kOffHeaderCRC) != Crc(header, kOffHeaderCRC)) return false;
  if (host::GetU32(header + kOffVersion) != kJournalVersion) return false;
  if (host::GetU32(header + kOffPageSize) != page_size_) return false;
  if (host::GetU32(header + kOffNameCRC) != name_crc_) return false;
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
  if (buffer_.size() > kJournalKeepLimit || buffer_.empty())
    done = io_->SetSize(0);
  else
    done = io_->Write(0, kZeros, kJournalMarkSize) == kJournalMarkSize;
  if (!done || (durable && !io_->Flush()))
    TavDatabaseError(kIOErrorOnSystemFile, "TTavJournal.Invalidate",
                     "The commit journal could not be emptied");
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
