#include "engine/storage/file/disk_mgr.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "engine/storage/base/tav_errors.h"
#include "engine/storage/base/tav_logger.h"
#include "engine/storage/crypto/crc32.h"
#include "engine/storage/crypto/sha1.h"
#include "engine/storage/crypto/xor_crypt.h"
#include "engine/storage/lock/lock_file.h"
#include "engine/storage/lock/lock_mgr.h"
#include "host/rtl/date_time.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/list.h"
#include "host/rtl/string_list.h"
#include "os/file.h"
#include "os/random.h"

namespace tav {

namespace {

// The transaction write lock a table or record lock takes first: given back
// when the lock that follows fails, unless it was already held before.
class TTransactionLockTaken {
 public:
  TTransactionLockTaken() = default;
  TTransactionLockTaken(const TTransactionLockTaken&) = delete;
  TTransactionLockTaken& operator=(const TTransactionLockTaken&) = delete;
  ~TTransactionLockTaken() {
    if (!mgr_) return;
    try {
      mgr_->ReleaseLock(id_);
    } catch (...) {
      // The failure that brought us here is the one the caller sees.
    }
  }
  // True when the lock was not held before.
  bool Take(TBaseLockMgr& mgr, uint32_t id) {
    const bool held = mgr.QueryLockType(id) != kLockTypeNone;
    mgr.SetWriteLock(id, 0);
    if (!held) {
      mgr_ = &mgr;
      id_ = id;
    }
    return !held;
  }
  void Keep() { mgr_ = nullptr; }

 private:
  TBaseLockMgr* mgr_ = nullptr;
  uint32_t id_ = 0;
};

// The 1000 bytes every connection locks at 0x0FF10000 of the database file
// (raw lock offsets are counted from kRawLockBase).
constexpr uint32_t kOpenRangeOffset = 1;
constexpr uint32_t kOpenRangeLength = 1000;

constexpr uint32_t kHeaderTableId = 0;
constexpr uint32_t kSecurityCRCOffset = 36;

}  // namespace

// ---- the security header record ----

void TSecurityHeader::Encode(uint8_t out[kSecurityHdrSize]) const {
  std::memcpy(out + 0, &Size, 4);
  std::memcpy(out + 4, &DateTime, 8);
  std::memcpy(out + 12, &Version, 2);
  std::memcpy(out + 14, &Revision, 2);
  std::memcpy(out + 16, Digest, 20);
  std::memcpy(out + kSecurityCRCOffset, &CRC, 4);
}

void TSecurityHeader::Decode(const uint8_t in[kSecurityHdrSize]) {
  std::memcpy(&Size, in + 0, 4);
  std::memcpy(&DateTime, in + 4, 8);
  std::memcpy(&Version, in + 12, 2);
  std::memcpy(&Revision, in + 14, 2);
  std::memcpy(Digest, in + 16, 20);
  std::memcpy(&CRC, in + kSecurityCRCOffset, 4);
}

// ---- the header lock of one operation ----

THeaderLockGuard::THeaderLockGuard(TDiskMgr* mgr, bool write) : mgr_(mgr) {
  if (!mgr_) return;
  held_before_ = mgr_->hdr_read_lock_ || mgr_->hdr_write_lock_;
  // Taking the lock reads the header; a lock already held kept it current.
  if (write) {
    if (!mgr_->hdr_write_lock_) mgr_->SetHeaderWriteLock();
  } else if (!held_before_) {
    mgr_->SetHeaderReadLock();
  }
}

THeaderLockGuard::~THeaderLockGuard() {
  if (done_ || !mgr_) return;
  try {
    Finish();
  } catch (...) {
    // The operation's own error is on its way; the lock is gone regardless.
  }
}

void THeaderLockGuard::Done() {
  if (done_ || !mgr_) return;
  done_ = true;
  Finish();
}

void THeaderLockGuard::Finish() {
  if (!held_before_ && !mgr_->IsTransactionActive())
    mgr_->ReleaseHeaderLock();
  else
    mgr_->WriteHeaderIfDirty();
}

// ---- the transaction of one scope ----

TDiskTransaction::TDiskTransaction(TDiskMgr& mgr) : mgr_(mgr) {
  mgr_.DiskStartTransaction();
  active_ = true;
}

TDiskTransaction::~TDiskTransaction() {
  if (!active_) return;
  try {
    mgr_.DiskRollback();
  } catch (...) {
    // Whatever failed, the rollback has let go of the transaction and its
    // locks; the error that brought us here is the one the caller sees.
  }
}

void TDiskTransaction::Commit() {
  mgr_.DiskCommit();
  active_ = false;
}

void TDiskTransaction::Rollback() {
  active_ = false;
  mgr_.DiskRollback();
}

// ---- construction and properties ----

TDiskMgr::TDiskMgr() : tav_file_(std::make_unique<TTavFile>()) {
  // An empty master key means the default key everywhere, so a security
  // header written before any key was given still reads back under it.
  SetCryptKey(std::string());
}

TDiskMgr::~TDiskMgr() {
  try {
    Close();
  } catch (...) {
    // Close has let go of everything; the error has been logged.
  }
}

bool TDiskMgr::IsOpen() const {
  return tav_file_->CheckOpen();
}

void TDiskMgr::RequireOpen(const char* caller) const {
  if (!IsOpen()) TavDatabaseError(kCannotOpenRequestedFile, caller);
}

void TDiskMgr::RequireClosed(const char* caller) const {
  if (IsOpen())
    TavDatabaseError(kUnexpectedInternalError, caller, "Cannot set page size on an opened file");
}

void TDiskMgr::SetFileName(const std::string& value) {
  file_name_ = value;
}

void TDiskMgr::SetPageSize(uint32_t value) {
  RequireClosed("TDiskMgr.SetPageSize");
  page_size_ = value;
}

void TDiskMgr::SetOpenFlags(uint16_t value) {
  open_flags_ = value;
}

void TDiskMgr::SetLockRetryCount(int32_t value) {
  lock_retry_count_ = value;
  tav_file_->SetLockRetryCount(value);
  if (table_lock_mgr_) table_lock_mgr_->SetLockRetryCount(value);
  if (record_lock_mgr_) record_lock_mgr_->SetLockRetryCount(value);
}

void TDiskMgr::SetLockRetryInterval(uint32_t value) {
  lock_retry_interval_ = value;
  tav_file_->SetLockRetryInterval(value);
  if (table_lock_mgr_) table_lock_mgr_->SetLockRetryInterval(value);
  if (record_lock_mgr_) record_lock_mgr_->SetLockRetryInterval(value);
}

// ---- create, open, close ----

void TDiskMgr::CreateNewFile(bool overwrite) {
  Close();
  if (page_size_ < kMinPageSize || page_size_ > kMaxPageSize ||
      (page_size_ & (page_size_ - 1)) != 0)
    TavDatabaseError(kUnexpectedInternalError, "TDiskMgr.CreateNewFile",
                     "Invalid database page size");
  if (os::FileExists(file_name_) && !overwrite)
    TavDatabaseError(kFileAlreadyExists, "TDiskMgr.CreateNewFile");
  tav_file_->SetPageSize(page_size_);
  if (tav_file_->CreateTavFile(file_name_) == 0)
    TavDatabaseError(kDatabaseFileCouldNotBeCreated, "TDiskMgr.CreateNewFile", GetOSErrorMsg());

  try {
    zero_page_.assign(page_size_, 0);
    for (uint32_t page = 0; page <= kFixedAreaPages; ++page)
      tav_file_->WriteThroughTavFile(zero_page_.data(), page * page_size_, page_size_);

    global_hdr_ = std::make_unique<TGlobalHdr>();
    global_hdr_->Initialize();
    const uint32_t firstMap = kFixedAreaPages * page_size_;
    global_hdr_->SetFirstMapPage(firstMap);
    global_hdr_->SetMapPageCount(1);
    global_hdr_->SetFirstMapPageEmpty(firstMap);
    WriteHeaderBytes();

    map_page_mgr_ = std::make_unique<TMapPageMgr>(page_size_);
    map_page_mgr_->SetPageIO(this);
    map_page_mgr_->SetGlobalHdr(global_hdr_.get());
    map_page_mgr_->AdjustMapPageFlags(kMapOwnerFixedArea, 0, kFixedAreaPages);
    map_page_mgr_->AdjustMapPageFlags(kMapOwnerMapPage, firstMap, 1);
  } catch (...) {
    // Half a database is no database: it goes.
    tav_file_->CloseTavFile();
    global_hdr_.reset();
    map_page_mgr_.reset();
    os::DeleteFile(file_name_);
    throw;
  }
  // A journal left beside an earlier file of this name is not this file's;
  // under the former name only one that names this file goes (another
  // database's may lie there).
  os::DeleteFile(GetJournalFileName(file_name_));
  const std::string legacy = GetLegacyJournalFileName(file_name_);
  if (TTavJournal::NamesDatabase(legacy, file_name_)) os::DeleteFile(legacy);
  // The header keeps what was written above: the map marks change only the
  // in-memory hint of the first map page with free entries, and the first
  // allocation corrects the file's.
  tav_file_->CloseTavFile();
  global_hdr_.reset();
  map_page_mgr_.reset();
}

void TDiskMgr::Open() {
  Close();
  if (page_size_ == 0) TavDatabaseError(kUnexpectedInternalError, "TDiskMgr.Open", "PageSize is 0");
  if (!os::FileExists(file_name_))
    TavDatabaseError(kNoSuchFileOrDirectory, "TDiskMgr.Open", file_name_);
  try {
    use_lock_file_ = !os::IsFileReadOnly(file_name_);
    tav_file_->SetPageSize(page_size_);
    tav_file_->SetXORKeyBuf(C_TAVXORKEY, C_TAVXORKEYLEN);
    exclusive_ = (open_flags_ & 0x70) == fmShareExclusive;
    read_only_ = (open_flags_ & 7) == 0;
    tav_file_->SetOpenRead(true);
    tav_file_->SetOpenWrite((open_flags_ & 3) != 0);
    tav_file_->SetOpenReadExclusive(exclusive_);
    tav_file_->SetOpenWriteExclusive(exclusive_);
    tav_file_->SetLockRetryCount(lock_retry_count_);
    tav_file_->SetLockRetryInterval(lock_retry_interval_);
    tav_file_->OpenTavFile(file_name_);
    zero_page_.assign(page_size_, 0);

    if (use_lock_file_) OpenLockFile();
    OpenJournal();
    MoveHeaderEpoch();
    tav_file_->SetCacheActive(true);

    global_hdr_ = std::make_unique<TGlobalHdr>();
    global_hdr_->Initialize();
    map_page_mgr_ = std::make_unique<TMapPageMgr>(page_size_);
    map_page_mgr_->SetPageIO(this);
    map_page_mgr_->SetGlobalHdr(global_hdr_.get());
    SetHeaderReadLock();
    ReleaseHeaderLock();

    // Only the first connection gets these bytes; the others go on without
    // them, as they always have, so one try is enough.
    const int32_t retries = tav_file_->LockRetryCount();
    tav_file_->SetLockRetryCount(1);
    try {
      tav_file_->WriteLockTavFile(kOpenRangeOffset, kOpenRangeLength);
      range_locked_ = true;
    } catch (const ETavDatabaseError&) {
    }
    tav_file_->SetLockRetryCount(retries);
  } catch (...) {
    try {
      Close();
    } catch (...) {
    }
    throw;
  }
}

void TDiskMgr::OpenJournal() {
  const std::string name = GetJournalFileName(file_name_);
  // Without a lock file (a file without the write bit) nobody writes, so
  // nobody journals; a journal left there is only looked into, below.
  if (use_lock_file_) {
    user_monitor_->SetCompanionFile(name);
    tav_file_->OpenJournal(name, file_name_);
  } else if (os::FileExists(name)) {
    tav_file_->OpenJournal(name, file_name_);
  }
  // A commit cut off by its writer's death is taken back before anything
  // is read. The locks of the pages it wrote died with it; a connection
  // that takes one of them first does the same (SetTableLock).
  tav_file_->RecoverInterruptedCommit();
  // So is one left in a journal under the name journals had before.
  const std::string legacy = GetLegacyJournalFileName(file_name_);
  if (legacy != name && os::FileExists(legacy)) tav_file_->RecoverLegacyJournal(legacy, file_name_);
}

void TDiskMgr::OpenLockFile() {
  user_monitor_ =
      std::make_unique<TDBUserMonitor>(tav_file_->OSFile(), GetLockFileName(file_name_));
  user_monitor_->Open(GetCurrentUser(), GetCurrentComputer());
  os::TOSFile* lockFile = user_monitor_->LockFileHandle();
  os::TOSFile* dbFile = tav_file_->OSFile();

  table_lock_mgr_ = GetLockManager(dbFile, lockFile, kTableLockBase, kTableLockRegion, false);
  table_lock_mgr_->SetLockRetryCount(lock_retry_count_);
  table_lock_mgr_->SetLockRetryInterval(lock_retry_interval_);
  table_lock_mgr_->SetReadLockErrMsg(StavTableReadLockErr);
  table_lock_mgr_->SetWriteLockErrMsg(StavTableWriteLockErr);
  table_lock_mgr_->SetLockLimit(kTransLockBase);

  record_lock_mgr_ = GetLockManager(dbFile, lockFile, kRecordLockBase, kRecordLockRegion, false);
  record_lock_mgr_->SetLockRetryCount(lock_retry_count_);
  record_lock_mgr_->SetLockRetryInterval(lock_retry_interval_);
  record_lock_mgr_->SetReadLockErrMsg(StavRecordLockErr);
  record_lock_mgr_->SetWriteLockErrMsg(StavRecordLockErr);

  trans_lock_mgr_ = GetLockManager(dbFile, lockFile, kTransLockBase, kTransLockRegion, false);
  trans_lock_mgr_->SetLockRetryCount(20);
  // Spread, so that connections retrying against each other fall out of step.
  trans_lock_mgr_->SetLockRetryInterval(80 + static_cast<uint32_t>(os::Random(40)));
  trans_lock_mgr_->SetReadLockErrMsg(StavTransactionLockErr);
  trans_lock_mgr_->SetWriteLockErrMsg(StavTransactionLockErr);
  trans_lock_mgr_->SetLockLimit(kRecordLockBase);
  // Nobody else can open a file opened exclusively: the locks only keep the
  // rules between this connection's own callers, which the managers' lists
  // keep without the system.
  for (TBaseLockMgr* mgr : {table_lock_mgr_.get(), record_lock_mgr_.get(), trans_lock_mgr_.get()})
    mgr->SetHeldAlone(exclusive_);
}

void TDiskMgr::Close() {
  TFirstError error;
  if (tav_file_->CheckOpen()) {
    if (range_locked_)
      error.Try([&] { tav_file_->UnlockTavFile(kOpenRangeOffset, kOpenRangeLength); });
    range_locked_ = false;
    if (global_hdr_ && global_hdr_->Dirty() && global_hdr_->HeaderValid())
      error.Try([&] { WriteHeader(); });
    error.Try([&] { ReleaseAllLocks(); });
  }
  // The managers lock on the lock file, which the monitor closes.
  trans_lock_mgr_.reset();
  record_lock_mgr_.reset();
  table_lock_mgr_.reset();
  // Before the monitor, which deletes the journal with the lock file when
  // this is the last connection and the journal is empty.
  tav_file_->Journal().Close();
  if (user_monitor_) {
    error.Try([&] { user_monitor_->Close(); });
    user_monitor_.reset();
  }
  tav_file_->CloseTavFile();
  global_hdr_.reset();
  map_page_mgr_.reset();
  ClearHeaderLockFlags();
  use_lock_file_ = false;
  range_locked_ = false;
  error.Rethrow();
}

// ---- the master key and the security header ----

void TDiskMgr::SetCryptKey(const std::string& key) {
  if (key.empty()) {
    tav_file_->SetBlowKeyBuf(C_TAVDEFAULTKEY, C_TAVDEFAULTKEYLEN);
    crypt_key_ = C_TAVDEFAULTKEY;
    return;
  }
  // Lengths beyond the cipher's are refused there (9986); the clamp only
  // keeps the count meaningful.
  const auto length = static_cast<int32_t>(std::min<size_t>(key.size(), 0x10000));
  tav_file_->SetBlowKeyBuf(key.data(), length);
  crypt_key_ = key;
}

void TDiskMgr::WriteSecurityHeader(TSecurityHeader& record) {
  RequireOpen("TDiskMgr.WriteSecurityHeader");
  record.Size = kSecurityHdrSize;
  record.DateTime = host::Now();
  record.Version = 1;
  record.Revision = 1;
  GetSHA1FromString(crypt_key_, record.Digest);
  record.CRC = 0;
  uint8_t bytes[kSecurityHdrSize];
  record.Encode(bytes);
  record.CRC = CalcCRC(bytes, kSecurityHdrSize);
  record.Encode(bytes);
  tav_file_->SeekAndWriteTavFile(bytes, kSecurityHdrAddress, kSecurityHdrSize, 0, 0);
}

void TDiskMgr::ReadSecurityHeader(TSecurityHeader& record) {
  RequireOpen("TDiskMgr.ReadSecurityHeader");
  uint8_t bytes[kSecurityHdrSize];
  tav_file_->SeekAndReadTavFile(bytes, kSecurityHdrAddress, kSecurityHdrSize, 0, 0);
  record.Decode(bytes);
  std::memset(bytes + kSecurityCRCOffset, 0, 4);
  if (CalcCRC(bytes, kSecurityHdrSize) != record.CRC)
    TavDatabaseError(kDataStructureCorruption, "TDiskMgr.ReadSecurityHeader",
                     "The Security Header CRC is incorrect");
  uint8_t digest[kSha1DigestSize];
  GetSHA1FromString(crypt_key_, digest);
  if (std::memcmp(digest, record.Digest, kSha1DigestSize) != 0)
    TavDatabaseError(kDataStructureCorruption, "TDiskMgr.ReadSecurityHeader",
                     "The MasterKey is incorrect");
}

// ---- pages ----

uint32_t TDiskMgr::PageBytes(uint32_t pageCount, int code, const char* caller) const {
  const uint64_t bytes = uint64_t{pageCount} * page_size_;
  if (bytes > static_cast<uint64_t>(kMaxFileEnd)) {
    if (code == kIOErrorOnSystemFile)
      TavDatabaseError(code, caller, "Unable to seek for file read operation");
    TavDatabaseError(code, caller);
  }
  return static_cast<uint32_t>(bytes);
}

uint32_t TDiskMgr::WriteNewPages(uint32_t owner, uint32_t kind, const void* buffer,
                                 uint32_t pageCount, uint32_t accessFlags) {
  RequireOpen("TDiskMgr.WriteNewPages");
  TAV_ASSERT(kind < 16 && owner < 0x800 && (owner != 0 || kind != 0),
             "Invalid page owner in WriteNewPages");
  TAV_ASSERT(pageCount > 0, "No pages asked for in WriteNewPages");
  PageBytes(pageCount, kDatabaseFileSizeLimitHasBeenReached, "TDiskMgr.WriteNewPages");
  const auto code = static_cast<uint16_t>(owner * 16 + kind);

  THeaderLockGuard guard(this, true);
  uint32_t address = map_page_mgr_->GetNextEmptyPageAddress(pageCount);
  if (address != 0) {
    try {
      WritePages(address, pageCount, buffer, owner, accessFlags);
      map_page_mgr_->AdjustMapPageFlags(code, address, pageCount);
    } catch (...) {
      // The run has left its chain; give it back rather than lose it.
      try {
        map_page_mgr_->AdjustMapPageFlags(kMapEntryFree, address, pageCount);
      } catch (...) {
      }
      throw;
    }
  } else {
    address = AppendNewPages(buffer, pageCount, owner, accessFlags);
    try {
      map_page_mgr_->AdjustMapPageFlags(code, address, pageCount);
    } catch (...) {
      GiveBackAppend(address, pageCount * page_size_);
      throw;
    }
  }
  guard.Done();
  return address;
}

void TDiskMgr::GiveBackAppend(uint32_t position, uint32_t bytes) {
  // Inside a transaction nothing reached the file; its rollback drops it.
  if (IsTransactionActive()) return;
  try {
    // The header write lock is held: nobody else appends meanwhile. A map
    // page added after these pages stays, and so do they.
    if (tav_file_->FileSize() <= int64_t{position} + bytes) tav_file_->CutTavFile(position);
  } catch (...) {
    // The pages stay at the end unknown to the map; the first error counts.
  }
}

uint32_t TDiskMgr::AppendNewPages(const void* buffer, uint32_t pageCount, uint32_t owner,
                                  uint32_t accessFlags) {
  RequireOpen("TDiskMgr.AppendNewPages");
  const uint32_t bytes =
      PageBytes(pageCount, kDatabaseFileSizeLimitHasBeenReached, "TDiskMgr.AppendNewPages");
  THeaderLockGuard guard(this, true);
  // The end another connection has reached counts too, and a file that does
  // not end on a page boundary is continued at the next one.
  const int64_t end = (GetFileSize() + page_size_ - 1) / page_size_ * page_size_;
  if (end + bytes > kMaxFileEnd)
    TavDatabaseError(kDatabaseFileSizeLimitHasBeenReached, "TDiskMgr.AppendNewPages");
  const auto position = static_cast<uint32_t>(end);
  try {
    tav_file_->SeekAndWriteTavFile(buffer, position, bytes, static_cast<int32_t>(owner),
                                   accessFlags);
  } catch (...) {
    // Part of it may be in the file, past the last page the map knows.
    GiveBackAppend(position, bytes);
    throw;
  }
  guard.Done();
  return position;
}

void TDiskMgr::ZeroPages(const host::TList& pages) {
  for (int i = 0; i < pages.Count(); ++i)
    tav_file_->ReleasePage(static_cast<uint32_t>(pages.Items(i)), zero_page_.data());
}

void TDiskMgr::ReleasePages(uint32_t address, uint32_t pageCount) {
  RequireOpen("TDiskMgr.ReleasePages");
  TAV_ASSERT((address & (page_size_ - 1)) == 0, "ReleasePages of an address inside a page");
  if (pageCount == 0) return;
  PageBytes(pageCount, kDatabaseFileSizeLimitHasBeenReached, "TDiskMgr.ReleasePages");
  THeaderLockGuard guard(this, true);
  map_page_mgr_->AdjustMapPageFlags(kMapEntryFree, address, pageCount);
  // Zeroed while the header lock is held: once it goes, another connection
  // may be handed these pages and write them.
  for (uint32_t i = 0; i < pageCount; ++i)
    tav_file_->ReleasePage(address + i * page_size_, zero_page_.data());
  guard.Done();
}

void TDiskMgr::DeleteOwnedPages(uint32_t owner, uint32_t kind, bool matchKind) {
  RequireOpen("TDiskMgr.DeleteOwnedPages");
  THeaderLockGuard guard(this, true);
  host::TList pages;
  map_page_mgr_->DeleteOwnedPages(owner, kind, pages, matchKind);
  WriteHeaderIfDirty();
  // Releasing drops each freed page from the page cache; the owner's other
  // pages stay, dirty ones of a transaction included.
  ZeroPages(pages);
  guard.Done();
}

void TDiskMgr::ListAllocatedFixedBlocks(uint32_t blockSize, uint32_t owner, host::TList& list,
                                        uint32_t kind) {
  TAV_ASSERT(blockSize != 0, "Invalid block size of 0 in ListAllocatedFixedBlocks");
  RequireOpen("TDiskMgr.ListAllocatedFixedBlocks");
  THeaderLockGuard guard(this, false);
  const uint32_t request = GetBestPageRequestSize(blockSize, page_size_);
  const uint32_t perRequest = request / page_size_;
  const uint32_t blocks = request / blockSize;
  host::TList pages;
  map_page_mgr_->ListPagesUsedByOwner(owner, kind, pages, true);
  for (int i = 0; i < pages.Count(); i += static_cast<int>(perRequest)) {
    TAV_ASSERT(static_cast<int64_t>(i) + perRequest <= pages.Count(),
               "Invalid requestpage/pagelist sequence");
    const auto start = static_cast<uint32_t>(pages.Items(i));
    for (uint32_t j = 1; j < perRequest; ++j)
      TAV_ASSERT(
          static_cast<uint32_t>(pages.Items(i + static_cast<int>(j))) == start + j * page_size_,
          "Invalid requestpage/pagelist sequence");
    for (uint32_t b = 0; b < blocks; ++b) list.Add(static_cast<int32_t>(start + b * blockSize));
  }
  guard.Done();
}

void TDiskMgr::ReadPages(uint32_t address, uint32_t pageCount, void* buffer, uint32_t owner,
                         uint32_t accessFlags) {
  RequireOpen("TDiskMgr.ReadPages");
  const uint32_t bytes = PageBytes(pageCount, kIOErrorOnSystemFile, "TDiskMgr.ReadPages");
  tav_file_->SeekAndReadTavFile(buffer, address, bytes, static_cast<int32_t>(owner), accessFlags);
}

void TDiskMgr::WritePages(uint32_t address, uint32_t pageCount, const void* buffer, uint32_t owner,
                          uint32_t accessFlags) {
  RequireOpen("TDiskMgr.WritePages");
  const uint32_t bytes =
      PageBytes(pageCount, kDatabaseFileSizeLimitHasBeenReached, "TDiskMgr.WritePages");
  tav_file_->SeekAndWriteTavFile(buffer, address, bytes, static_cast<int32_t>(owner), accessFlags);
}

uint16_t TDiskMgr::GetPageOwnerCode(uint32_t address) {
  RequireOpen("TDiskMgr.GetPageOwnerCode");
  uint16_t code;
  if (map_page_mgr_->KnownPageOwner(address, code)) return code;
  // Map pages never move, and the entry of a table's page changes only by
  // that table's own operations: a map page already known is read without
  // the header lock, which a reader inside a transaction would otherwise
  // keep until its commit. Only a page past them needs the header afresh.
  if (map_page_mgr_->CoversPage(address)) return map_page_mgr_->PageOwnerCode(address);
  THeaderLockGuard guard(this, false);
  code = map_page_mgr_->PageOwnerCode(address);
  guard.Done();
  return code;
}

uint16_t TDiskMgr::RereadPageOwnerCode(uint32_t address) {
  RequireOpen("TDiskMgr.RereadPageOwnerCode");
  map_page_mgr_->ForgetPageOwner(address);
  return GetPageOwnerCode(address);
}

void TDiskMgr::ReadCustomSize(uint32_t address, uint32_t count, void* buffer, uint32_t owner,
                              uint32_t accessFlags) {
  RequireOpen("TDiskMgr.ReadCustomSize");
  tav_file_->SeekAndReadTavFile(buffer, address, count, static_cast<int32_t>(owner), accessFlags);
}

void TDiskMgr::WriteCustomSize(uint32_t address, uint32_t count, const void* buffer, uint32_t owner,
                               uint32_t accessFlags) {
  RequireOpen("TDiskMgr.WriteCustomSize");
  // Most writes of a transaction lie within one page: they go straight to
  // the page cache.
  if (owner <= static_cast<uint32_t>(kMaxTableID) &&
      tav_file_->WriteWithinPage(buffer, address, count, static_cast<int32_t>(owner), accessFlags))
    return;
  tav_file_->SeekAndWriteTavFile(buffer, address, count, static_cast<int32_t>(owner), accessFlags);
}

void TDiskMgr::ReadCustomSizeByRef(uint32_t address, uint32_t count, uint8_t*& buffer,
                                   uint32_t owner, uint32_t accessFlags) {
  RequireOpen("TDiskMgr.ReadCustomSizeByRef");
  buffer =
      tav_file_->SeekAndReadTavFileByRef(address, count, static_cast<int32_t>(owner), accessFlags);
}

const uint8_t* TDiskMgr::PeekCustomSize(uint32_t address, uint32_t count, uint32_t owner,
                                        uint32_t accessFlags) {
  if (!IsOpen() || !tav_file_->ReadsByRef(address, count, accessFlags))
    return nullptr;
  return tav_file_->SeekAndReadTavFileByRef(address, count, static_cast<int32_t>(owner),
                                            accessFlags);
}

void TDiskMgr::WriteCustomSizeByRef(uint32_t address, uint32_t count, const uint8_t* buffer,
                                    uint32_t owner, uint32_t accessFlags) {
  RequireOpen("TDiskMgr.WriteCustomSizeByRef");
  tav_file_->SeekAndWriteTavFileByRef(buffer, address, count, static_cast<int32_t>(owner),
                                      accessFlags);
}

// ---- the global header ----

void TDiskMgr::ReadHeaderBytes() {
  // Raw, so that inside a transaction the header it has written is seen.
  tav_file_->SeekAndReadTavFile(global_hdr_->Buffer(), global_hdr_->BaseAddress(),
                                global_hdr_->BufferSize(), 0, 0);
  global_hdr_->SetDirty(false);
  global_hdr_->SetHeaderValid(true);
}

void TDiskMgr::WriteHeaderBytes() {
  tav_file_->SeekAndWriteTavFile(global_hdr_->Buffer(), global_hdr_->BaseAddress(),
                                 global_hdr_->BufferSize(), 0, 0);
  global_hdr_->SetDirty(false);
}

void TDiskMgr::WriteHeaderIfDirty() {
  if (global_hdr_ && global_hdr_->Dirty()) WriteHeaderBytes();
}

void TDiskMgr::ClearHeaderLockFlags() {
  hdr_read_lock_ = false;
  hdr_write_lock_ = false;
}

void TDiskMgr::ReadHeader() {
  RequireOpen("TDiskMgr.ReadHeader");
  if (!hdr_read_lock_ && !hdr_write_lock_)
    TavDatabaseError(kCannotOperateWithoutPriorLock, "TDiskMgr.ReadHeader");
  ReadHeaderBytes();
}

void TDiskMgr::WriteHeader() {
  RequireOpen("TDiskMgr.WriteHeader");
  if (hdr_write_lock_) {
    WriteHeaderBytes();
    return;
  }
  const bool heldBefore = hdr_read_lock_;
  SetTableLock(kHeaderTableId, kLockTypeWrite);
  hdr_read_lock_ = true;
  hdr_write_lock_ = true;
  TFirstError error;
  error.Try([&] { WriteHeaderBytes(); });
  if (!heldBefore && !IsTransactionActive()) {
    error.Try([&] { ReleaseTableLock(kHeaderTableId); });
    ClearHeaderLockFlags();
  }
  error.Rethrow();
}

void TDiskMgr::SetHeaderReadLock() {
  RequireOpen("TDiskMgr.SetHeaderReadLock");
  TakeHeaderLock(kLockTypeRead);
}

void TDiskMgr::SetHeaderWriteLock() {
  RequireOpen("TDiskMgr.SetHeaderWriteLock");
  TakeHeaderLock(kLockTypeWrite);
}

void TDiskMgr::TakeHeaderLock(int type) {
  const bool heldBefore = hdr_read_lock_ || hdr_write_lock_;
  SetTableLock(kHeaderTableId, type);
  hdr_read_lock_ = true;
  if (type == kLockTypeWrite) hdr_write_lock_ = true;
  if (heldBefore) return;
  try {
    ReadHeaderBytes();
  } catch (...) {
    try {
      ReleaseTableLock(kHeaderTableId);
    } catch (...) {
      // The read failure is the one the caller sees.
    }
    ClearHeaderLockFlags();
    throw;
  }
}

void TDiskMgr::ReleaseHeaderLock() {
  if (!IsOpen()) {
    ClearHeaderLockFlags();
    return;
  }
  TFirstError error;
  error.Try([&] { WriteHeaderIfDirty(); });
  error.Try([&] { ReleaseTableLock(kHeaderTableId); });
  ClearHeaderLockFlags();
  error.Rethrow();
}

// ---- locks ----

int TDiskMgr::SetTableLock(uint32_t tableId, int type) {
  RequireOpen("TDiskMgr.SetTableLock");
  const int asked = type;
  TTransactionLockTaken transLock;
  if (IsTransactionActive()) {
    // Header images read before the table's transaction lock was ours may
    // hold what another transaction has changed since (never on a file
    // nobody else has open).
    if (use_lock_file_ && transLock.Take(*trans_lock_mgr_, tableId) && !tav_file_->Alone())
      MoveHeaderEpoch();
    // The transaction lock keeps other writers out; the table lock only
    // has to keep out connections working without a transaction.
    if (type == kLockTypeWrite) type = kLockTypeRead;
  }
  if (!use_lock_file_) return asked;
  const int before = table_lock_mgr_->QueryLockType(tableId);
  const bool heldBefore = before != kLockTypeNone;
  if (type != kLockTypeWrite)
    table_lock_mgr_->SetReadLock(tableId, 0);
  else
    table_lock_mgr_->SetWriteLock(tableId, 0);
  // A lock that was free may have been a dead committer's: its commit, cut
  // off, is taken back before the caller reads what it wrote. Whoever held
  // it may also have appended to the file, or taken a commit back and cut
  // it: the size this connection keeps is asked for afresh. A connection
  // that has the file to itself and left the journal empty knows both
  // already.
  if (!heldBefore && !tav_file_->JournalKnownEmpty()) {
    tav_file_->ForgetFileSize();
    MoveHeaderEpoch();
    try {
      tav_file_->RecoverInterruptedCommit();
    } catch (...) {
      try {
        table_lock_mgr_->ReleaseLock(tableId);
      } catch (...) {
      }
      throw;
    }
  }
  transLock.Keep();
  // What the manager now holds for the id: a write lock once asked for; a
  // read lock asked for adds to nothing held before.
  if (type == kLockTypeWrite) return kLockTypeWrite;
  return heldBefore ? before : kLockTypeRead;
}

void TDiskMgr::ReleaseTableLock(uint32_t tableId) {
  if (IsTransactionActive() || !use_lock_file_ || !table_lock_mgr_) return;
  table_lock_mgr_->ReleaseLock(tableId);
}

bool TDiskMgr::HeaderImagesStayCurrent(uint32_t tableId) const {
  if (tav_file_->Alone()) return true;
  if (!use_lock_file_ || tableId == kHeaderTableId || !table_lock_mgr_ || !trans_lock_mgr_)
    return false;
  if (table_lock_mgr_->QueryLockType(tableId) == kLockTypeNone) return false;
  // Outside a transaction the table lock alone keeps every other writer of
  // the table out: a change without a transaction takes the write lock, a
  // commit turns its read locks into write locks before writing.
  if (!IsTransactionActive()) return true;
  return trans_lock_mgr_->QueryLockType(tableId) != kLockTypeNone;
}

int TDiskMgr::QueryTableLockStatus(uint32_t tableId) const {
  if (!use_lock_file_ || !table_lock_mgr_) return kLockTypeRead;
  return table_lock_mgr_->QueryLockType(tableId);
}

int TDiskMgr::SetRecordLock(uint32_t address, uint32_t tableId) {
  RequireOpen("TDiskMgr.SetRecordLock");
  // Without a lock file nobody else can write: the write lock asked for is
  // as good as held.
  if (!use_lock_file_) return kLockTypeWrite;
  TTransactionLockTaken transLock;
  if (IsTransactionActive() && transLock.Take(*trans_lock_mgr_, tableId) && !tav_file_->Alone())
    MoveHeaderEpoch();
  record_lock_mgr_->SetWriteLock(address, 0);
  transLock.Keep();
  return record_lock_mgr_->QueryLockType(address);
}

void TDiskMgr::ReleaseRecordLock(uint32_t address) {
  if (IsTransactionActive() || !use_lock_file_ || !record_lock_mgr_) return;
  record_lock_mgr_->ReleaseLock(address);
}

int TDiskMgr::QueryRecordLockStatus(uint32_t address) const {
  if (!use_lock_file_ || !record_lock_mgr_) return kLockTypeRead;
  return record_lock_mgr_->QueryLockType(address);
}

void TDiskMgr::ReleaseAllLocks() {
  // The header lock is table lock 0: its flags must not outlive it.
  ClearHeaderLockFlags();
  if (!IsOpen() || !use_lock_file_) return;
  TFirstError error;
  if (table_lock_mgr_) error.Try([&] { table_lock_mgr_->ReleaseAllLocks(); });
  if (record_lock_mgr_) error.Try([&] { record_lock_mgr_->ReleaseAllLocks(); });
  if (trans_lock_mgr_) error.Try([&] { trans_lock_mgr_->ReleaseAllLocks(); });
  error.Rethrow();
}

// ---- transactions ----

bool TDiskMgr::IsTransactionActive() const {
  return tav_file_->GetTransactionActive();
}

void TDiskMgr::DiskStartTransaction() {
  RequireOpen("TDiskMgr.DiskStartTransaction");
  tav_file_->StartTransaction();
}

void TDiskMgr::DiskCommit() {
  RequireOpen("TDiskMgr.DiskCommit");
  if (!IsTransactionActive()) TavDatabaseError(kNoActiveTransaction, "TDiskMgr.DiskCommit");
  // A header changed under a lock kept for the transaction goes with it.
  WriteHeaderIfDirty();
  // Read locks become write locks so that nobody reads what the commit is
  // writing; a transaction that wrote nothing leaves them as they are.
  if (use_lock_file_ && tav_file_->HasPendingWrites()) table_lock_mgr_->UpgradeReadLocks();
  tav_file_->Commit();
  ReleaseAllLocks();
}

void TDiskMgr::DiskRollback() {
  RequireOpen("TDiskMgr.DiskRollback");
  if (!IsTransactionActive()) TavDatabaseError(kNoActiveTransaction, "TDiskMgr.DiskRollback");
  TFirstError error;
  // Table header images may hold what is rolled back.
  MoveHeaderEpoch();
  // After a failed commit the file's rollback ends the transaction and then
  // raises; the header and the locks are seen to either way.
  error.Try([&] { tav_file_->Rollback(); });
  // Map pages the transaction added are gone, and the header's changes are
  // not to be written by anyone.
  map_page_mgr_->ResetAddressCache();
  global_hdr_->SetDirty(false);
  error.Try([&] {
    if (hdr_read_lock_ || hdr_write_lock_) {
      ReadHeaderBytes();
    } else {
      SetHeaderReadLock();
      ReleaseHeaderLock();
    }
  });
  error.Try([&] { ReleaseAllLocks(); });
  error.Rethrow();
}

void TDiskMgr::ForceToDisk() {
  RequireOpen("TDiskMgr.ForceToDisk");
  if (IsTransactionActive()) {
    WriteHeaderIfDirty();
    // Flushed at each step, so that a power loss leaves the state before
    // the commit or after it.
    tav_file_->Commit(true);
    tav_file_->StartTransaction();
  }
  tav_file_->FlushBuffers();
}

// ---- the rest ----

void TDiskMgr::GetCurrentUsers(host::TStrings& list) {
  if (!use_lock_file_ || !user_monitor_)
    TavDatabaseError(kDatabaseIsReadOnly, "TDiskMgr.GetCurrentUsers",
                     "Connection details unavailable for read only database files");
  user_monitor_->GetCurrentUsers(list);
}

int64_t TDiskMgr::GetFileSize() {
  RequireOpen("TDiskMgr.GetFileSize");
  const int64_t own = tav_file_->SeekTavEof();
  const int64_t onDisk = tav_file_->FileSize();
  return std::max(own, onDisk);
}

int64_t TDiskMgr::RefreshFileSize() {
  RequireOpen("TDiskMgr.RefreshFileSize");
  tav_file_->ForgetFileSize();
  return GetFileSize();
}

int64_t TDiskMgr::DiskCacheSize() {
  return IsOpen() ? tav_file_->CacheMgr().TotalCacheSize() : 0;
}

void TDiskMgr::CopyCurrentFile(const std::string& name) {
  RequireOpen("TDiskMgr.CopyCurrentFile");
  tav_file_->CopyTavFile(name);
}

// ---- free functions ----

uint32_t GetBestPageRequestSize(uint32_t blockSize, uint32_t pageSize) {
  TAV_ASSERT(blockSize != 0 && pageSize != 0, "Invalid block or page size");
  const uint64_t rounded = (uint64_t{blockSize} + pageSize - 1) / pageSize * pageSize;
  TAV_ASSERT(rounded <= static_cast<uint64_t>(kMaxFileEnd), "Block size out of range");
  if (pageSize >= blockSize && rounded % blockSize <= pageSize / 4)
    return static_cast<uint32_t>(rounded);
  uint64_t best = rounded;
  uint64_t bestRemainder = rounded % blockSize;
  const uint64_t limit = std::min<uint64_t>(10 * rounded, kMaxFileEnd);
  for (uint64_t size = rounded + pageSize; size < limit && bestRemainder != 0; size += pageSize) {
    const uint64_t remainder = size % blockSize;
    if (remainder < bestRemainder) {
      best = size;
      bestRemainder = remainder;
    }
  }
  return static_cast<uint32_t>(best);
}

bool DoCopyFile(const std::string& source, const std::string& target, bool overwrite) {
  return os::CopyFile(source, target, !overwrite);
}

}  // namespace tav
