#include "engine/storage/file/tav_file.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>

#include "engine/storage/base/tav_errors.h"
#include "engine/storage/base/tav_logger.h"
#include "engine/storage/crypto/xor_crypt.h"
#include "host/rtl/exceptions.h"
#include "os/clock.h"
#include "os/file.h"
#include "os/sys_info.h"

namespace tav {

namespace {

constexpr uint32_t kScrambled = kAccessXor | kAccessBlowfish;
constexpr uint32_t kCopyChunk = 4096;
// What a connection that has the file to itself keeps of the pages a
// transaction changes, as they were before (see OpenCaches).
constexpr uint32_t kBeforeImageBytes = 256 << 10;

// Changed bytes are looked for a block of this many at a time: a block
// compared equal costs next to nothing, and a record saves whole blocks.
constexpr uint32_t kCompareBlock = 64;

// Whether `count` bytes at `a` and `b` are equal; a whole block is compared
// sixteen bytes at a time, as the vector registers take them.
bool SameBlock(const uint8_t* a, const uint8_t* b, uint32_t count) {
  if (count != kCompareBlock) return std::memcmp(a, b, count) == 0;
  using TLanes = uint64_t __attribute__((vector_size(16)));
  TLanes diff = {0, 0};
  for (uint32_t i = 0; i < kCompareBlock; i += sizeof(TLanes)) {
    TLanes x, y;
    std::memcpy(&x, a + i, sizeof x);
    std::memcpy(&y, b + i, sizeof y);
    diff |= x ^ y;
  }
  return (diff[0] | diff[1]) == 0;
}

// Adds to `ranges` the runs of blocks of [from, to) where `now` differs from
// `before` (what the file holds there), each at `base` plus its offset and
// saved from `before`. Bytes a commit writes unchanged need no before-image:
// a cut-off write of them leaves the file as it was.
void AddChangedRuns(std::vector<TJournalRange>& ranges, uint32_t base, const uint8_t* now,
                    const uint8_t* before, uint32_t from, uint32_t to) {
  for (uint32_t at = from; at < to;) {
    uint32_t n = std::min(kCompareBlock, to - at);
    if (SameBlock(now + at, before + at, n)) {
      at += n;
      continue;
    }
    const uint32_t start = at;
    at += n;
    while (at < to) {
      n = std::min(kCompareBlock, to - at);
      if (SameBlock(now + at, before + at, n)) break;
      at += n;
    }
    ranges.push_back({base + start, at - start, before + start});
  }
}

}  // namespace

const char* FileTransStateName(TFileTransState state) {
  switch (state) {
    case ftsNone:
      return "None";
    case ftsOpen:
      return "Open";
    case ftsCommitting:
      return "Committing";
    case ftsFailedCommit:
      return "FailedCommit";
  }
  return "?";
}

int CachePageCountFor(int64_t fileSize, uint32_t pageSize) {
  if (fileSize < 0 || pageSize == 0) return 50;
  return static_cast<int>(std::clamp<int64_t>(fileSize / pageSize / 4, 50, 1000));
}

TTavFile::TTavFile()
    : journal_(std::make_unique<TTavJournal>()),
      cache_mgr_(std::make_unique<TCacheMgr>()),
      block_mgr_(std::make_unique<TCacheBlockMgr>()) {}

TTavFile::~TTavFile() {
  CloseTavFile();
  BlowfishBurn(blowfish_);
}

bool TTavFile::CheckOpen() const {
  return file_ != nullptr;
}

int32_t TTavFile::Handle() const {
  return file_ ? static_cast<int32_t>(file_->Id()) : 0;
}

void TTavFile::RequireOpen(const char* caller) const {
  if (!file_) TavDatabaseError(kCannotOpenRequestedFile, caller);
}

void TTavFile::RequireWritable(const char* caller) const {
  TAV_ASSERT(trans_state_ != ftsCommitting, "A write asked for while a commit runs");
  if (trans_state_ == ftsFailedCommit)
    TavDatabaseError(kTransactionAlreadyActive, caller,
                     "A failed commit must be committed again or rolled back first");
}

void TTavFile::SetDataFile(os::TFileIO* value) {
  if (file_)
    TavDatabaseError(kUnexpectedInternalError, "TTavFile.SetDataFile",
                     "Cannot set the data file of an opened file");
  data_file_ = value;
}

void TTavFile::ValidatePageSize(const char* caller) const {
  if (page_size_ == 0)
    TavDatabaseError(kUnexpectedInternalError, caller, "Database page size not set on opening");
  // Positions are split into page and offset by masking, so the size must be
  // a power of two; the bounds keep one page a sane allocation.
  if (page_size_ < kMinPageSize || page_size_ > kMaxPageSize ||
      (page_size_ & (page_size_ - 1)) != 0)
    TavDatabaseError(kUnexpectedInternalError, caller, "Invalid database page size");
}

void TTavFile::SetPageSize(uint32_t value) {
  if (file_)
    TavDatabaseError(kUnexpectedInternalError, "TTavFile.SetPageSize",
                     "Cannot set page size on an opened file");
  page_size_ = value;
}

void TTavFile::SetXORKeyBuf(const void* key, int32_t length) {
  if (file_)
    TavDatabaseError(kUnexpectedInternalError, "TTavFile.SetXORKeyBuf",
                     "Cannot set Crypt key on an opened file");
  const auto* bytes = static_cast<const uint8_t*>(key);
  if (length > 0 && bytes)
    xor_key_.assign(bytes, bytes + length);
  else
    xor_key_.clear();
}

void TTavFile::SetBlowKeyBuf(const void* key, int32_t length) {
  // An impossible length reaches BlowfishInit as 0 bits, which it refuses.
  const int32_t bits = (key && length > 0 && length <= kBlowfishMaxKeyBytes) ? length * 8 : 0;
  BlowfishInit(blowfish_, key, bits, nullptr);
  const auto* bytes = static_cast<const uint8_t*>(key);
  blow_key_.assign(bytes, bytes + length);
  blow_key_set_ = true;
}

void TTavFile::OpenCaches(int64_t fileSize) {
  cache_mgr_->SetReadIO(
      [this](uint8_t* buffer, int32_t owner, uint32_t accessFlags, uint32_t position,
             uint32_t upper) { InternalReadPage(buffer, owner, accessFlags, position, upper); });
  cache_mgr_->SetWriteIO(
      [this](const uint8_t* buffer, int32_t owner, uint32_t accessFlags, uint32_t position,
             uint32_t upper) { InternalWritePage(buffer, owner, accessFlags, position, upper); });
  cache_mgr_->SetWriteRunIO(
      [this](const TCachePage* const* pages, size_t count) { InternalWritePages(pages, count); });
  cache_mgr_->Open(CachePageCountFor(fileSize, page_size_), page_size_);
  // A file nobody else has open changes only through this connection's
  // commits: the first pages a transaction changes keep what they held, so
  // that the commit's journal need not read them back from the file.
  cache_mgr_->SetBeforeImageLimit(
      Alone() ? std::max<int>(4, static_cast<int>(kBeforeImageBytes / page_size_)) : 0);
  // Raw positions stay below 2 GB, so the high address word is always 0.
  block_mgr_->SetReadIO([this](uint8_t* buffer, uint32_t low, uint32_t, uint32_t count) {
    InternalRead(buffer, low, count);
  });
  block_mgr_->SetWriteIO([this](const uint8_t* buffer, uint32_t low, uint32_t, uint32_t count) {
    CommitRawBlock(buffer, low, count);
  });
  scratch_ = std::make_unique<uint8_t[]>(page_size_);
}

void TTavFile::CloseHandle() {
  // A commit lock still held (a failed commit never retried nor rolled
  // back) goes with the journal; its full journal is restored by the next
  // connection that finds it.
  journal_->Close();
  journaled_ = false;
  journal_left_empty_ = false;
  cache_mgr_->Close();
  block_mgr_->Close();
  trans_state_ = ftsNone;
  commit_wrote_ = false;
  trans_eof_ = 0;
  known_size_ = -1;
  ForgetAllKnownRaw();
  io_ = nullptr;
  file_.reset();
  scratch_.reset();
}

int32_t TTavFile::CreateTavFile(const std::string& name) {
  if (file_) CloseTavFile();
  ValidatePageSize("TTavFile.CreateTavFile");
  file_ = os::TOSFile::Create(name, os::TFileCreation::CreateAlways);
  if (!file_) return 0;
  io_ = data_file_ ? data_file_ : file_.get();
  if (data_file_ && !data_file_->SetSize(0)) {
    CloseHandle();
    return 0;
  }
  try {
    OpenCaches(0);
  } catch (...) {
    CloseHandle();
    throw;
  }
  return Handle();
}

int32_t TTavFile::OpenTavFile(const std::string& name) {
  // Reopening keeps the keys that were set for this open.
  if (file_) CloseHandle();
  ValidatePageSize("TTavFile.OpenTavFile");
  if (xor_key_.empty())
    TavDatabaseError(kUnexpectedInternalError, "TTavFile.OpenTavFile",
                     "Crypt key not set before opening");

  os::TFileAccess access = os::TFileAccess::Read;
  if (open_read_ && open_write_)
    access = os::TFileAccess::ReadWrite;
  else if (open_write_)
    access = os::TFileAccess::Write;
  // The system's locks know only exclusive and shared opens: denying others
  // either reading or writing takes the file exclusively.
  const os::TFileShare share = (open_read_exclusive_ || open_write_exclusive_)
                                   ? os::TFileShare::Exclusive
                                   : os::TFileShare::DenyNone;
  file_ = os::TOSFile::Open(name, access, share);
  if (!file_)
    TavDatabaseError(kCannotOpenRequestedFile, "TTavFile.OpenTavFile",
                     "Unable to open file. Error type of: " + GetOSErrorMsg());
  io_ = data_file_ ? data_file_ : file_.get();
  const int64_t size = io_->Size();
  if (size < 0) {
    const std::string reason = GetOSErrorMsg();
    CloseHandle();
    TavDatabaseError(kCannotOpenRequestedFile, "TTavFile.OpenTavFile",
                     "Unable to open file. Error type of: " + reason);
  }
  try {
    OpenCaches(size);
  } catch (...) {
    CloseHandle();
    throw;
  }
  return Handle();
}

void TTavFile::CloseTavFile() {
  CloseHandle();
  xor_key_.clear();
  blow_key_.clear();
}

void TTavFile::CheckTableId(int32_t tableId) const {
  if (tableId > kMaxTableID)
    if (std::shared_ptr<TDBLogger> log = GDBLogger()) log->LogItem("TavFile", "Invalid table id");
}

void TTavFile::CheckReadRange(uint32_t position, uint64_t count, const char* caller) const {
  if (position + count > static_cast<uint64_t>(kMaxFileEnd))
    TavDatabaseError(kIOErrorOnSystemFile, caller, "Unable to seek for file read operation");
}

void TTavFile::CheckWriteRange(uint32_t position, uint64_t count, const char* caller) const {
  if (position + count > static_cast<uint64_t>(kMaxFileEnd))
    TavDatabaseError(kDatabaseFileSizeLimitHasBeenReached, caller);
}

void TTavFile::RequireXORKey() const {
  if (xor_key_.empty())
    TavDatabaseError(kUnexpectedInternalError, "TTavFile.InternalPage",
                     "Crypt key not set before opening");
}

void TTavFile::RequireBlowKey() const {
  if (!blow_key_set_)
    TavDatabaseError(kUnexpectedInternalError, "TTavFile.InternalPage",
                     "Crypt key not set before opening");
}

bool TTavFile::UsesPageCache(uint32_t accessFlags) const {
  if (accessFlags & kScrambled) return true;
  return (accessFlags & kAccessCached) && (cache_active_ || GetTransactionActive());
}

// ---- transfers ----

void TTavFile::InternalRead(void* buffer, uint32_t position, uint32_t count) {
  RequireOpen("TTavFile.InternalRead");
  CheckReadRange(position, count, "TTavFile.InternalRead");
  if (count == 0) return;
  if (io_->Read(position, buffer, count) != static_cast<int64_t>(count))
    TavDatabaseError(kDiskReadFailure, "TTavFile.InternalRead",
                     "Unable to complete file read operation");
}

void TTavFile::InternalWrite(const void* buffer, uint32_t position, uint32_t count) {
  RequireOpen("TTavFile.InternalWrite");
  CheckWriteRange(position, count, "TTavFile.InternalWrite");
  if (count == 0) return;
  // Once a commit writes, the file no longer holds only committed data,
  // even should this very write fail part way.
  if (trans_state_ == ftsCommitting) commit_wrote_ = true;
  ForgetKnownRaw(position, count);
  if (io_->Write(position, buffer, count) != static_cast<int64_t>(count)) {
    // Part of it may have reached the file, and lengthened it.
    known_size_ = -1;
    TavDatabaseError(kDiskReadFailure, "TTavFile.InternalWrite",
                     "Unable to complete file write operation");
  }
  if (known_size_ >= 0) known_size_ = std::max<int64_t>(known_size_, int64_t{position} + count);
}

void TTavFile::CommitRawBlock(const uint8_t* buffer, uint32_t position, uint32_t count) {
  InternalWrite(buffer, position, count);
  // Kept only while nobody else can write the file, and only small blocks
  // (a table's header block, say), a few of them.
  if (!Alone() || count == 0 || count > page_size_) return;
  TKnownRaw* slot = nullptr;
  for (TKnownRaw& known : known_raw_)
    if (known.Count == 0) {
      slot = &known;
      break;
    }
  if (!slot) {
    if (known_raw_.size() < kKnownRawSlots) {
      slot = &known_raw_.emplace_back();
    } else {
      slot = &known_raw_[known_raw_next_];
      known_raw_next_ = (known_raw_next_ + 1) % kKnownRawSlots;
    }
  }
  const bool replaced = slot->Count != 0;
  slot->Count = 0;
  slot->Bytes.assign(buffer, buffer + count);
  slot->Position = position;
  slot->Count = count;
  known_raw_from_ = std::min(known_raw_from_, position);
  known_raw_to_ = std::max(known_raw_to_, uint64_t{position} + count);
  if (replaced) {
    // The block it took the place of may have had granules of its own.
    RemarkKnownRaw();
  } else {
    MarkKnownRaw(position, count);
  }
}

void TTavFile::MarkKnownRaw(uint32_t position, uint64_t count) {
  const uint64_t first = position >> kKnownRawGranuleShift;
  const uint64_t last = (position + count - 1) >> kKnownRawGranuleShift;
  for (uint64_t g = first; g <= last && g < first + kKnownRawMarkBits; ++g) {
    const uint64_t bit = g % kKnownRawMarkBits;
    known_raw_marks_[bit / 64] |= uint64_t{1} << (bit % 64);
  }
}

bool TTavFile::MayBeKnownRaw(uint64_t position, uint64_t end) const {
  const uint64_t first = position >> kKnownRawGranuleShift;
  const uint64_t last = (end - 1) >> kKnownRawGranuleShift;
  // A long write (a run of pages) is looked at block by block.
  if (last - first >= 16) return true;
  for (uint64_t g = first; g <= last; ++g) {
    const uint64_t bit = g % kKnownRawMarkBits;
    if ((known_raw_marks_[bit / 64] >> (bit % 64)) & 1) return true;
  }
  return false;
}

void TTavFile::ForgetKnownRawIn(uint64_t position, uint64_t end) {
  bool forgot = false;
  for (TKnownRaw& known : known_raw_)
    if (known.Count != 0 && known.Position < end &&
        position < uint64_t{known.Position} + known.Count) {
      known.Count = 0;
      forgot = true;
    }
  if (forgot) RemarkKnownRaw();
}

void TTavFile::RemarkKnownRaw() {
  known_raw_marks_.fill(0);
  for (const TKnownRaw& known : known_raw_)
    if (known.Count != 0) MarkKnownRaw(known.Position, known.Count);
}

void TTavFile::ForgetAllKnownRaw() {
  for (TKnownRaw& known : known_raw_) known.Count = 0;
  known_raw_from_ = UINT32_MAX;
  known_raw_to_ = 0;
  known_raw_marks_.fill(0);
}

const uint8_t* TTavFile::KnownRaw(uint32_t position, uint32_t count) const {
  for (const TKnownRaw& known : known_raw_)
    if (known.Count != 0 && known.Position <= position &&
        uint64_t{position} + count <= uint64_t{known.Position} + known.Count)
      return known.Bytes.data() + (position - known.Position);
  return nullptr;
}

void TTavFile::RawRead(uint8_t* buffer, uint32_t position, uint32_t count) {
  // Most pages a transaction reads lie apart from its pending raw bytes.
  if (GetTransactionActive() && block_mgr_->MayHold(position, 0, count))
    block_mgr_->ReadBlock(buffer, 0, count, 0, position);
  else
    InternalRead(buffer, position, count);
}

void TTavFile::InternalReadPage(uint8_t* buffer, int32_t owner, uint32_t accessFlags,
                                uint32_t position, uint32_t upper) {
  (void)upper;
  RequireOpen("TTavFile.InternalReadPage");
  CheckReadRange(position, page_size_, "TTavFile.InternalReadPage");
  if (!(accessFlags & kScrambled)) {
    RawRead(buffer, position, page_size_);
    return;
  }
  if (accessFlags & kAccessXor)
    RequireXORKey();
  else
    RequireBlowKey();
  RawRead(scratch_.get(), position, page_size_);
  const auto size = static_cast<int32_t>(page_size_);
  if (accessFlags & kAccessXor) {
    XORCryptBuf(scratch_.get(), buffer, xor_key_.data(), owner,
                static_cast<int32_t>(xor_key_.size()), size);
  } else {
    // Every page starts from the initial IV, so pages decipher independently.
    BlowfishReset(blowfish_);
    BlowfishDecryptCFB(blowfish_, scratch_.get(), buffer, size);
    BlowfishReset(blowfish_);
  }
}

void TTavFile::InternalWritePage(const uint8_t* buffer, int32_t owner, uint32_t accessFlags,
                                 uint32_t position, uint32_t upper) {
  (void)upper;
  RequireOpen("TTavFile.InternalWritePage");
  CheckWriteRange(position, page_size_, "TTavFile.InternalWritePage");
  if (const TCachePage* page = CommittedPageHeld(buffer, accessFlags, position)) {
    const uint32_t from = page->DirtyFrom();
    InternalWrite(buffer + from, position + from, page->DirtyTo() - from);
    return;
  }
  InternalWrite(ScramblePage(buffer, owner, accessFlags, scratch_.get()), position, page_size_);
}

const TCachePage* TTavFile::CommittedPageHeld(const uint8_t* buffer, uint32_t accessFlags,
                                              uint32_t position) const {
  if (trans_state_ != ftsCommitting || (accessFlags & kScrambled) ||
      int64_t{position} + page_size_ > held_end_)
    return nullptr;
  // The page a commit is writing is at hand; anything else is looked up.
  const TCachePage* page = cache_mgr_->CommittingPage();
  if (!page || page->Buffer() != buffer || page->LowAddr() != position || page->UpperAddr() != 0)
    page = cache_mgr_->FindPage(position, 0);
  if (!page || page->State() != cpDirty || page->Buffer() != buffer ||
      page->DirtyTo() <= page->DirtyFrom() || page->DirtyTo() > page_size_)
    return nullptr;
  return page;
}

const uint8_t* TTavFile::ScramblePage(const uint8_t* buffer, int32_t owner, uint32_t accessFlags,
                                      uint8_t* into) {
  if (!(accessFlags & kScrambled)) return buffer;
  const auto size = static_cast<int32_t>(page_size_);
  if (accessFlags & kAccessXor) {
    RequireXORKey();
    XORCryptBuf(buffer, into, xor_key_.data(), owner, static_cast<int32_t>(xor_key_.size()), size);
  } else {
    RequireBlowKey();
    BlowfishReset(blowfish_);
    BlowfishEncryptCFB(blowfish_, buffer, into, size);
    BlowfishReset(blowfish_);
  }
  return into;
}

void TTavFile::InternalWritePages(const TCachePage* const* pages, size_t count) {
  RequireOpen("TTavFile.InternalWritePages");
  const uint32_t position = pages[0]->LowAddr();
  const uint64_t bytes = uint64_t{page_size_} * count;
  CheckWriteRange(position, bytes, "TTavFile.InternalWritePages");
  // Each page is scrambled for its own owner, into a slot of its own, as
  // one at a time would be.
  if (run_scratch_.size() < bytes) run_scratch_.resize(bytes);
  run_pieces_.resize(count);
  for (size_t i = 0; i < count; ++i) {
    const TCachePage* page = pages[i];
    TAV_ASSERT(page->LowAddr() == position + i * page_size_, "A run of pages with a gap");
    run_pieces_[i].Data = ScramblePage(page->Buffer(), page->PageOwner(), page->AccessFlags(),
                                       run_scratch_.data() + i * page_size_);
    run_pieces_[i].Count = page_size_;
  }
  // The run's first and last pages, when the file holds them and only part
  // of them changed, are written from their first changed byte and up to
  // their last: the rest is in the file already.
  uint32_t from = 0;
  uint64_t written = bytes;
  if (CommittedPageHeld(pages[0]->Buffer(), pages[0]->AccessFlags(), position)) {
    from = pages[0]->DirtyFrom();
    run_pieces_[0].Data = static_cast<const uint8_t*>(run_pieces_[0].Data) + from;
    run_pieces_[0].Count -= from;
    written -= from;
  }
  const TCachePage* last = pages[count - 1];
  if (CommittedPageHeld(last->Buffer(), last->AccessFlags(), last->LowAddr())) {
    run_pieces_[count - 1].Count -= page_size_ - last->DirtyTo();
    written -= page_size_ - last->DirtyTo();
  }
  if (trans_state_ == ftsCommitting) commit_wrote_ = true;
  ForgetKnownRaw(position, bytes);
  if (io_->WriteGather(position + from, run_pieces_.data(), count) !=
      static_cast<int64_t>(written)) {
    known_size_ = -1;
    TavDatabaseError(kDiskReadFailure, "TTavFile.InternalWrite",
                     "Unable to complete file write operation");
  }
  if (known_size_ >= 0)
    known_size_ = std::max<int64_t>(known_size_, int64_t{position} + static_cast<int64_t>(bytes));
}

void TTavFile::GrowTransactionEof(uint32_t position, uint32_t count) {
  // A write past the transaction's end (an append or not) moves the end, so
  // a later append never lands on it.
  const int64_t end = int64_t{position} + count;
  if (end <= TransactionEof()) return;
  trans_eof_ = end;
  // The cache's limit follows the file as the transaction grows it, as it
  // would have been had the file been this size at open: a transaction that
  // builds a large table keeps its working set cached instead of replacing
  // it page by page at the limit the small file had.
  cache_mgr_->RaisePageLimit(CachePageCountFor(trans_eof_, page_size_));
}

void TTavFile::WriteCached(const uint8_t* buffer, uint32_t position, uint32_t count,
                           int32_t tableId, uint32_t accessFlags) {
  // Inside a transaction most writes lie in one page, and most of those in a
  // page the transaction has written before: that page is looked up once.
  const uint32_t base = position & cache_mgr_->BaseAddrMask();
  if (GetTransactionActive() && uint64_t{position - base} + count <= page_size_ && count > 0) {
    TCachePage* page = nullptr;
    if (!cache_mgr_->WriteIntoDirtyPage(buffer, tableId, count, position, accessFlags, page))
      cache_mgr_->WriteOnePage(buffer, tableId, count, position, accessFlags, page);
    SupersedePendingRaw(base);
    return;
  }
  if (!GetTransactionActive() || block_mgr_->Empty()) {
    cache_mgr_->WriteCache(buffer, tableId, count, 0, position, accessFlags);
    return;
  }
  // Pending raw bytes of a page (a release's zeros) are superseded by the
  // page's new contents: the page is dirty now and Commit writes it whole.
  // Done page by page, so that a failure part way leaves no written page
  // with stale bytes still pending under it.
  const uint32_t mask = cache_mgr_->BaseAddrMask();
  const uint64_t end = uint64_t{position} + count;
  for (uint64_t pos = position; pos < end;) {
    const uint32_t base = static_cast<uint32_t>(pos) & mask;
    const auto length = static_cast<uint32_t>(std::min<uint64_t>(base + page_size_, end) - pos);
    cache_mgr_->WriteCache(buffer + (pos - position), tableId, length, 0,
                           static_cast<uint32_t>(pos), accessFlags);
    SupersedePendingRaw(base);
    pos += length;
  }
}

void TTavFile::SeekAndReadTavFile(void* buffer, uint32_t position, uint32_t count, int32_t tableId,
                                  uint32_t accessFlags) {
  CheckTableId(tableId);
  RequireOpen("TTavFile.SeekAndReadTavFile");
  CheckReadRange(position, count, "TTavFile.SeekAndReadTavFile");
  if (UsesPageCache(accessFlags))
    cache_mgr_->ReadCache(buffer, tableId, accessFlags, position, 0, count);
  else if (GetTransactionActive())
    block_mgr_->ReadBlock(buffer, tableId, count, 0, position);
  else
    InternalRead(buffer, position, count);
}

void TTavFile::SeekAndWriteTavFile(const void* buffer, uint32_t position, uint32_t count,
                                   int32_t tableId, uint32_t accessFlags) {
  CheckTableId(tableId);
  RequireOpen("TTavFile.SeekAndWriteTavFile");
  RequireWritable("TTavFile.SeekAndWriteTavFile");
  CheckWriteRange(position, count, "TTavFile.SeekAndWriteTavFile");
  if (UsesPageCache(accessFlags))
    WriteCached(static_cast<const uint8_t*>(buffer), position, count, tableId, accessFlags);
  else if (GetTransactionActive())
    block_mgr_->WriteBlock(buffer, tableId, count, 0, position);
  else
    InternalWrite(buffer, position, count);
  if (GetTransactionActive()) GrowTransactionEof(position, count);
}

bool TTavFile::ReadsByRef(uint32_t position, uint32_t count, uint32_t accessFlags) const {
  if (count == 0 || !UsesPageCache(accessFlags) || !cache_mgr_->IsOpen()) return false;
  const uint32_t mask = cache_mgr_->BaseAddrMask();
  const uint64_t last = uint64_t{position} + count - 1;
  return last <= UINT32_MAX && (position & mask) == (static_cast<uint32_t>(last) & mask);
}

uint8_t* TTavFile::SeekAndReadTavFileByRef(uint32_t position, uint32_t count, int32_t tableId,
                                           uint32_t accessFlags) {
  CheckTableId(tableId);
  RequireOpen("TTavFile.SeekAndReadTavFileByRef");
  CheckReadRange(position, count, "TTavFile.SeekAndReadTavFileByRef");
  TAV_ASSERT(UsesPageCache(accessFlags), "SeekAndReadTavFileByRef failed to access cache");
  return cache_mgr_->ReadCacheByRef(tableId, accessFlags, position, 0, count);
}

void TTavFile::SeekAndWriteTavFileByRef(const uint8_t* buffer, uint32_t position, uint32_t count,
                                        int32_t tableId, uint32_t accessFlags) {
  CheckTableId(tableId);
  RequireOpen("TTavFile.SeekAndWriteTavFileByRef");
  RequireWritable("TTavFile.SeekAndWriteTavFileByRef");
  CheckWriteRange(position, count, "TTavFile.SeekAndWriteTavFileByRef");
  TAV_ASSERT(UsesPageCache(accessFlags), "SeekAndWriteTavFileByRef accessed in error");
  cache_mgr_->WriteCacheByRef(buffer, tableId, count, 0, position, accessFlags);
  if (GetTransactionActive()) {
    const uint32_t base = position & cache_mgr_->BaseAddrMask();
    if (block_mgr_->RemoveRange(base, 0, page_size_)) cache_mgr_->DirtyWholePage(base, 0);
    GrowTransactionEof(position, count);
  }
}

uint32_t TTavFile::SeekAndAppendTavFile(const void* buffer, uint32_t count, int32_t tableId,
                                        uint32_t accessFlags) {
  RequireOpen("TTavFile.SeekAndAppendTavFile");
  const int64_t eof = SeekTavEof();
  if (eof < 0 || eof + count > kMaxFileEnd)
    TavDatabaseError(kDatabaseFileSizeLimitHasBeenReached, "TTavFile.SeekAndAppendTavFile");
  const auto position = static_cast<uint32_t>(eof);
  SeekAndWriteTavFile(buffer, position, count, tableId, accessFlags);
  return position;
}

void TTavFile::ReadThroughTavFile(void* buffer, uint32_t position, uint32_t count) {
  InternalRead(buffer, position, count);
}

void TTavFile::WriteThroughTavFile(const void* buffer, uint32_t position, uint32_t count) {
  RequireWritable("TTavFile.WriteThroughTavFile");
  InternalWrite(buffer, position, count);
  if (GetTransactionActive()) GrowTransactionEof(position, count);
}

void TTavFile::ReleasePage(uint32_t position, const void* buffer) {
  RequireOpen("TTavFile.ReleasePage");
  RequireWritable("TTavFile.ReleasePage");
  CheckWriteRange(position, page_size_, "TTavFile.ReleasePage");
  TAV_ASSERT((position & (page_size_ - 1)) == 0, "ReleasePage of an address inside a page");
  // The page leaves the page cache first, even when dirty: its contents are
  // dead, and a cached copy would otherwise outlive (or at Commit overwrite)
  // the released bytes.
  cache_mgr_->RemovePage(position, 0);
  if (GetTransactionActive()) {
    block_mgr_->WriteBlock(buffer, 0, page_size_, 0, position);
    GrowTransactionEof(position, page_size_);
  } else {
    InternalWrite(buffer, position, page_size_);
  }
}

// ---- positioning ----

uint32_t TTavFile::SeekTavBof() {
  RequireOpen("TTavFile.SeekTavBof");
  return 0;
}

int64_t TTavFile::SeekTavEof() {
  RequireOpen("TTavFile.SeekTavEof");
  if (GetTransactionActive()) return TransactionEof();
  return FileSize();
}

int64_t TTavFile::TransactionEof() {
  if (trans_eof_ < 0) trans_eof_ = FileSize();
  return trans_eof_;
}

bool TTavFile::HasPendingWrites() const {
  return cache_mgr_->DirtyCount() > 0 || !block_mgr_->Empty();
}

int64_t TTavFile::SeekTavPosition(uint32_t position) {
  RequireOpen("TTavFile.SeekTavPosition");
  return position > kMaxFileEnd ? -1 : int64_t{position};
}

// ---- transactions ----

void TTavFile::StartTransaction() {
  RequireOpen("TTavFile.StartTransaction");
  if (trans_state_ == ftsFailedCommit)
    TavDatabaseError(kTransactionAlreadyActive, "TTavFile.StartTransaction",
                     "A failed commit must be committed again or rolled back first");
  if (trans_state_ != ftsNone)
    TavDatabaseError(kTransactionAlreadyActive, "TTavFile.StartTransaction");
  // The transaction's end starts from the file's. Only this connection
  // changes a file it has to itself, so the size kept is the file's; else it
  // is asked for afresh when the transaction first needs it, by then
  // usually under the lock that makes it worth knowing (a transaction that
  // only reads a table under a lock it takes anyway pays one look, not two).
  int64_t size = -1;
  if (Alone())
    size = FileSize();
  else
    ForgetFileSize();
  block_mgr_->StartTransaction();
  cache_mgr_->StartTransaction();
  trans_eof_ = size;
  trans_state_ = ftsOpen;
  commit_wrote_ = false;
  held_end_ = 0;
}

void TTavFile::Commit(bool durable) {
  TAV_ASSERT(trans_state_ != ftsCommitting, "Commit called while committing");
  if (trans_state_ == ftsNone) TavDatabaseError(kNoActiveTransaction, "TTavFile.Commit");
  // A transaction that changed nothing has nothing to journal or write: it
  // just ends, the pages it read staying cached and clean.
  if (trans_state_ == ftsOpen && !durable && !journaled_ && !commit_wrote_ && !HasPendingWrites()) {
    cache_mgr_->Commit();
    block_mgr_->Commit();
    trans_state_ = ftsNone;
    trans_eof_ = 0;
    return;
  }
  trans_state_ = ftsCommitting;
  // A dirty page and pending raw bytes never cover the same bytes (a page
  // write drops the pending bytes under it), so the order is free; pages go
  // first as they always have. A retry after a failed commit finds the pages
  // already written clean and writes only the rest.
  try {
    // Journaled once, before the file is first touched; a failure here
    // leaves the file untouched and the commit to be tried again or rolled
    // back, like any failed commit.
    if (!journaled_ && !commit_wrote_) {
      BeginJournal(durable);
      // The length the file had before this commit: a page below it holds
      // what the page held as it turned dirty outside its changed bytes.
      // Known on a file this connection has to itself, and for a shared one
      // when the journal has just asked for it; else no page counts as held.
      held_end_ = Alone() || journaled_ ? FileSize() : 0;
    }
    // A file that has grown since it was opened gets the cache its size
    // would have had at open (the cache then grows as it needs the pages).
    cache_mgr_->RaisePageLimit(CachePageCountFor(std::max(trans_eof_, FileSize()), page_size_));
    if (cache_mgr_->TransactionActive()) cache_mgr_->Commit();
    try {
      if (block_mgr_->TransactionActive()) block_mgr_->Commit();
    } catch (...) {
      // Keep both caches in the transaction so that a retry or a rollback
      // finds them as the file does.
      cache_mgr_->StartTransaction();
      throw;
    }
    EndJournal(durable);
  } catch (...) {
    trans_state_ = ftsFailedCommit;
    throw;
  }
  trans_state_ = ftsNone;
  commit_wrote_ = false;
  trans_eof_ = 0;
}

void TTavFile::BeginJournal(bool durable) {
  if (!journal_->IsOpen() || !open_write_) return;
  ranges_.clear();
  // Only the bytes a page's writes changed need their before-image: the rest
  // of a dirty page is what the file holds. A scrambled page changes in the
  // file beyond the bytes changed (and differently for another owner), so
  // it is saved whole.
  // A page's bytes as it turned dirty are the file's (nobody else writes a
  // file this connection has to itself, and it writes only at commits).
  const bool kept = Alone();
  // Whether the commit writes anything: one whose bytes all stay as they
  // are is still journaled (with no record) when it writes, for the
  // file's length it may change.
  bool writes = block_mgr_->Count() != 0;
  // In the order Commit writes them, which is also the order the journal
  // keeps: its ranges come out sorted.
  cache_mgr_->SortDirtyPages();
  for (const TCachePage* page : cache_mgr_->DirtyPages()) {
    writes = writes || page->DirtyTo() > page->DirtyFrom() || (page->AccessFlags() & kScrambled);
    if (page->AccessFlags() & kScrambled) {
      ranges_.push_back({page->LowAddr(), page_size_});
    } else if (page->DirtyTo() > page->DirtyFrom()) {
      // With the page's bytes as the file holds them at hand, only those
      // that changed are saved.
      if (const uint8_t* before = kept ? page->BeforeImage() : nullptr)
        AddChangedRuns(ranges_, page->LowAddr(), page->Buffer(), before, page->DirtyFrom(),
                       page->DirtyTo());
      else
        ranges_.push_back(
            {page->LowAddr() + page->DirtyFrom(), page->DirtyTo() - page->DirtyFrom(), nullptr});
    }
  }
  // A block the last commits wrote is known as the file holds it.
  const size_t pageRanges = ranges_.size();
  for (int i = 0; i < block_mgr_->Count(); ++i) {
    const TCacheBlock* block = block_mgr_->Blocks(i);
    if (const uint8_t* known = kept ? KnownRaw(block->LowAddr(), block->BlockSize()) : nullptr)
      AddChangedRuns(ranges_, block->LowAddr(), block->Data(), known, 0, block->BlockSize());
    else
      ranges_.push_back({block->LowAddr(), block->BlockSize(), nullptr});
  }
  MergeBlockRanges(pageRanges);
  if (!writes) return;
  journal_->LockCommit();
  try {
    // A full journal under a free lock is a dead committer's, whose pages
    // nobody may see: it is put back before this commit's takes its place.
    // Another database's is never written over.
    if (!JournalKnownEmpty() && journal_->Pending() && !RecoverLocked() && journal_->Pending())
      TavDatabaseError(kIOErrorOnSystemFile, "TTavFile.Commit",
                       "The commit journal holds an interrupted commit of another database: " +
                           journal_->Name());
    // The length the journal keeps must be the file's own (which only this
    // connection changes when it has the file to itself).
    if (!Alone()) ForgetFileSize();
    const int64_t size = FileSize();
    journal_left_empty_ = false;
    journal_->Write(*io_, ranges_, static_cast<uint32_t>(size), durable);
  } catch (...) {
    journal_->UnlockCommit();
    throw;
  }
  journaled_ = true;
}

void TTavFile::MergeBlockRanges(size_t pageRanges) {
  // The blocks' ranges, usually few, are sorted and merged into the pages'
  // (sorted already); many are left to the journal's own sort.
  constexpr size_t kMergedBlockRanges = 256;
  const auto mid = static_cast<std::ptrdiff_t>(pageRanges);
  const size_t blockRanges = ranges_.size() - pageRanges;
  if (blockRanges == 0 || blockRanges > kMergedBlockRanges) return;
  const auto byPosition = [](const TJournalRange& a, const TJournalRange& b) {
    return a.Position < b.Position;
  };
  std::sort(ranges_.begin() + mid, ranges_.end(), byPosition);
  if (pageRanges == 0 || ranges_[pageRanges - 1].Position < ranges_[pageRanges].Position) return;
  try {
    merged_ranges_.resize(ranges_.size());
  } catch (const std::bad_alloc&) {
    return;  // the journal sorts them
  }
  std::merge(ranges_.begin(), ranges_.begin() + mid, ranges_.begin() + mid, ranges_.end(),
             merged_ranges_.begin(), byPosition);
  ranges_.swap(merged_ranges_);
}

void TTavFile::EndJournal(bool durable) {
  if (durable && !io_->Flush())
    TavDatabaseError(kIOErrorOnSystemFile, "TTavFile.Commit",
                     "The file buffers could not be flushed");
  if (!journaled_) return;
  // Emptied only once everything is written (and, durable, on the device):
  // until then a cut-off commit can still be taken back.
  journal_->Invalidate(durable);
  journal_left_empty_ = true;
  journaled_ = false;
  journal_->UnlockCommit();
}

void TTavFile::SetJournalDataFile(os::TFileIO* value) {
  if (file_)
    TavDatabaseError(kUnexpectedInternalError, "TTavFile.SetJournalDataFile",
                     "Cannot set the journal data file of an opened file");
  journal_data_file_ = value;
}

void TTavFile::OpenJournal(const std::string& name, const std::string& dbFileName) {
  RequireOpen("TTavFile.OpenJournal");
  journal_left_empty_ = false;
  journal_->Open(name, dbFileName, page_size_, open_write_, journal_data_file_);
  // Nobody else can take a commit lock on the journal of a file open
  // exclusively.
  journal_->SetHeldAlone(Alone());
}

bool TTavFile::RecoverInterruptedCommit() {
  // Our own commit lock means our own journal (a failed commit): Rollback
  // or a retried Commit sees to it.
  if (!journal_->IsOpen()) {
    journal_left_empty_ = true;
    return false;
  }
  if (journal_->CommitLocked() || trans_state_ == ftsCommitting) return false;
  if (!journal_->Pending()) {
    journal_left_empty_ = true;
    return false;
  }
  journal_->LockCommit();
  struct TUnlock {
    TTavJournal& journal;
    ~TUnlock() { journal.UnlockCommit(); }
  } unlock{*journal_};
  // Emptied meanwhile: its commit finished, or someone restored it.
  if (!journal_->Pending()) {
    journal_left_empty_ = true;
    return false;
  }
  const bool restored = RecoverLocked();
  journal_left_empty_ = !journal_->Pending();
  return restored;
}

bool TTavFile::RecoverLocked() {
  return RecoverFrom(*journal_, true);
}

bool TTavFile::RecoverFrom(TTavJournal& journal, bool emptyInvalid) {
  TJournalImage image;
  switch (journal.Examine(image)) {
    case TJournalContents::OtherDatabase:
      // Another database's cut-off commit: emptying it would leave that
      // database torn for good.
      return false;
    case TJournalContents::Invalid:
      // The journal is written whole before the file is touched (and, with
      // ForceToDisk, flushed): one that does not check out belongs to a
      // commit that never reached the file.
      if (open_write_ && emptyInvalid) journal.Invalidate(false);
      return false;
    case TJournalContents::Valid:
      break;
  }
  if (!open_write_)
    TavDatabaseError(kCannotOpenRequestedFile, "TTavFile.RecoverInterruptedCommit",
                     "The database holds an interrupted commit, which only a connection that "
                     "may write the file can take back");
  RestoreFromJournal(image);
  journal.Invalidate(true);
  if (std::shared_ptr<TDBLogger> log = GDBLogger())
    log->LogItem("TavFile", "An interrupted commit was taken back from " + journal.Name());
  return true;
}

bool TTavFile::RecoverLegacyJournal(const std::string& name, const std::string& dbFileName) {
  RequireOpen("TTavFile.RecoverLegacyJournal");
  TTavJournal legacy;
  // Opened for writing only where it exists: never made here.
  legacy.Open(name, dbFileName, page_size_, open_write_, nullptr, false);
  if (!legacy.IsOpen() || !legacy.Pending()) return false;
  legacy.LockCommit();
  struct TUnlock {
    TTavJournal& journal;
    ~TUnlock() { journal.UnlockCommit(); }
  } unlock{legacy};
  if (!legacy.Pending()) return false;
  // Only a whole journal naming this database is touched: under this name
  // another database's may lie, and one that is not whole cannot say whose
  // it is.
  return RecoverFrom(legacy, false);
}

void TTavFile::RestoreFromJournal(const TJournalImage& image) {
  // The restore cuts the file back (and may fail part way).
  ForgetFileSize();
  ForgetAllKnownRaw();
  TTavJournal::Restore(*io_, image, nullptr);
  // Clean pages may hold what the restore replaced; pages waiting in a
  // transaction of ours lie elsewhere (the dead commit held their tables'
  // write locks when it wrote).
  for (int i = 0; i < cache_mgr_->Count(); ++i) {
    const TCachePage* page = cache_mgr_->Pages(i);
    if (page->State() == cpClean) cache_mgr_->RemovePage(page->LowAddr(), 0);
  }
  // The end a transaction of ours started from may have counted pages the
  // dead commit appended; it cannot have appended itself, since the dead
  // commit held the header lock that appending takes.
  if (GetTransactionActive() && trans_eof_ > image.OldLength) trans_eof_ = image.OldLength;
}

void TTavFile::Rollback() {
  TAV_ASSERT(trans_state_ != ftsCommitting, "Rollback called while committing");
  if (trans_state_ == ftsNone) TavDatabaseError(kNoActiveTransaction, "TTavFile.Rollback");
  bool torn = trans_state_ == ftsFailedCommit && commit_wrote_;
  // Pages read during the transaction saw the pending raw bytes; those bytes
  // are about to go, so must any clean copy made from them.
  for (int i = 0; i < block_mgr_->Count(); ++i) {
    const TCacheBlock* block = block_mgr_->Blocks(i);
    const uint64_t end = block->End();
    for (uint64_t base = block->Start() & cache_mgr_->BaseAddrMask(); base < end;
         base += page_size_)
      cache_mgr_->RemovePage(static_cast<uint32_t>(base), 0);
  }
  if (cache_mgr_->TransactionActive()) cache_mgr_->Rollback();
  if (block_mgr_->TransactionActive()) block_mgr_->Rollback();
  trans_state_ = ftsNone;
  commit_wrote_ = false;
  trans_eof_ = 0;
  if (journaled_) {
    journaled_ = false;
    const bool wrote = torn;
    try {
      if (torn) {
        // What the failed commit wrote is taken back from its journal.
        TJournalImage image;
        if (journal_->Load(image)) {
          RestoreFromJournal(image);
          torn = false;
        }
      }
      if (!torn) {
        journal_->Invalidate(false);
        journal_left_empty_ = true;
      }
    } catch (...) {
      // The full journal stays for whoever next finds it.
    }
    journal_->UnlockCommit();
    // The pages the commit wrote, left clean in the cache, go as well.
    if (wrote) cache_mgr_->ClearCache();
  }
  if (torn)
    TavDatabaseError(
        kIOErrorOnSystemFile, "TTavFile.Rollback",
        "Rolled back after a failed commit: the file may hold part of the transaction");
}

// ---- whole-file operations ----

int64_t TTavFile::FileSize() {
  RequireOpen("TTavFile.FileSize");
  if (known_size_ >= 0) return known_size_;
  const int64_t size = io_->Size();
  if (size < 0)
    TavDatabaseError(kIOErrorOnSystemFile, "TTavFile.FileSize", "Unable to seek to end of file");
  known_size_ = size;
  return size;
}

void TTavFile::FlushBuffers() {
  RequireOpen("TTavFile.FlushBuffers");
  if (!io_->Flush())
    TavDatabaseError(kIOErrorOnSystemFile, "TTavFile.FlushBuffers",
                     "The file buffers could not be flushed");
}

void TTavFile::CutTavFile(uint32_t size) {
  RequireOpen("TTavFile.CutTavFile");
  TAV_ASSERT(!GetTransactionActive(), "The file cut inside a transaction");
  const int64_t end = FileSize();
  // A page the cut runs through goes too: its cached copy would keep the
  // bytes cut off.
  for (int64_t base = size & cache_mgr_->BaseAddrMask(); base < end; base += page_size_)
    cache_mgr_->RemovePage(static_cast<uint32_t>(base), 0);
  known_size_ = -1;
  ForgetAllKnownRaw();
  if (!io_->SetSize(size))
    TavDatabaseError(kIOErrorOnSystemFile, "TTavFile.CutTavFile", "Unable to set the end of file");
  known_size_ = size;
}

void TTavFile::CopyTavFile(const std::string& name) {
  RequireOpen("TTavFile.CopyTavFile");
  const int64_t eof = SeekTavEof();
  bool created = false;
  bool copied = false;
  {
    // Create refuses a file open elsewhere (the source itself included), so
    // a name that is in use is never emptied, nor removed below.
    std::unique_ptr<os::TOSFile> target =
        os::TOSFile::Create(name, os::TFileCreation::CreateAlways);
    created = target != nullptr;
    if (target) {
      uint8_t chunk[kCopyChunk];
      uint64_t position = 0;
      bool failed = false;
      for (;;) {
        const int64_t got = io_->Read(position, chunk, kCopyChunk);
        if (got < 0 ||
            (got > 0 && target->Write(position, chunk, static_cast<size_t>(got)) != got)) {
          failed = true;
          break;
        }
        position += static_cast<uint64_t>(got);
        if (got < static_cast<int64_t>(kCopyChunk)) break;
      }
      copied = !failed && target->Size() == eof;
    }
  }
  if (!copied) {
    // A partial copy is worth nothing and must not be taken for a database.
    if (created) os::DeleteFile(name);
    TavDatabaseError(kIOErrorOnSystemFile, "TTavFile.CopyTavFile",
                     "The file could not be copied correctly");
  }
}

// ---- raw range locks ----

void TTavFile::LockRetryPause() const {
  // The same hint between retries as the lock managers give.
  if (beep_on_lock_retry_) os::Beep();
  os::Sleep(lock_retry_interval_);
}

int32_t TTavFile::WriteLockTavFile(uint32_t offset, uint32_t length) {
  if (!file_)
    TavDatabaseError(kIOErrorOnSystemFile, "TTavFile.WriteLockTavFile", "File handle is invalid");
  const int32_t attempts = std::max<int32_t>(1, lock_retry_count_);
  for (int32_t i = 0; i < attempts; ++i) {
    if (file_->LockRange(kRawLockBase + offset, length)) return 4;
    if (i + 1 < attempts) LockRetryPause();
  }
  TavDatabaseError(kRequestedLockNotObtained, "TTavFile.WriteLockTavFile");
}

int32_t TTavFile::ReadLockTavFile(uint32_t offset, uint32_t length, bool noProbe) {
  if (!file_)
    TavDatabaseError(kCannotOpenRequestedFile, "TTavFile.ReadLockTavFile",
                     "File handle is invalid");
  const int32_t attempts = std::max<int32_t>(1, lock_retry_count_);
  for (int32_t i = 0; i < attempts; ++i) {
    if (file_->LockRange(kRawLockBase + offset, length)) return 1;
    if (!noProbe && file_->LockRange(kRawProbeBase + offset, length)) {
      file_->UnlockRange(kRawProbeBase + offset, length);
      return 2;
    }
    if (i + 1 < attempts) LockRetryPause();
  }
  TavDatabaseError(kRequestedLockNotObtained, "TTavFile.ReadLockTavFile");
}

bool TTavFile::UnlockTavFile(uint32_t offset, uint32_t length) {
  if (!file_)
    TavDatabaseError(kIOErrorOnSystemFile, "TTavFile.UnlockTavFile", "File handle is invalid");
  if (file_->UnlockRange(kRawLockBase + offset, length)) return true;
  if (length != 2) return false;
  const bool first = file_->UnlockRange(kRawLockBase + offset, 1);
  const bool second = file_->UnlockRange(kRawProbeBase + offset, 1);
  return first && second;
}

uint8_t* TTavFile::EditCachedPage(uint32_t position, uint32_t count, int32_t tableId,
                                  uint32_t accessFlags) {
  if (!MayChangePageInPlace(position, count, tableId, accessFlags)) return nullptr;
  const uint32_t base = position & cache_mgr_->BaseAddrMask();
  uint8_t* page = cache_mgr_->EditCachedPage(tableId, count, position, accessFlags);
  if (!page) return nullptr;
  SupersedePendingRaw(base);
  return page + (position - base);
}

}  // namespace tav
