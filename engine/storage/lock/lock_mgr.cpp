#include "engine/storage/lock/lock_mgr.h"

#include <algorithm>
#include <climits>
#include <utility>
#include <vector>

#include "engine/storage/base/tav_errors.h"
#include "host/rtl/string_list.h"
#include "host/rtl/sys_utils.h"
#include "os/clock.h"
#include "os/file.h"
#include "os/random.h"
#include "os/sys_info.h"

namespace tav {

namespace {

// A value in [0, range) from the process-wide generator, for ranges wider
// than its int argument too (only the spread suffers).
uint64_t RandomBelow(uint64_t range) {
  return static_cast<uint64_t>(os::Random(static_cast<int>(std::min<uint64_t>(range, INT_MAX))));
}

}  // namespace

TLockItem* TLockCollection::Add() {
  // Room first, so that nothing is lost if a list cannot grow (Delete then
  // keeps a given-back item without allocating).
  items_.reserve(items_.size() + 1);
  spare_.reserve(kKeptItems);
  std::unique_ptr<TLockItem> item;
  if (spare_.empty()) {
    item = std::make_unique<TLockItem>();
  } else {
    item = std::move(spare_.back());
    spare_.pop_back();
    item->LckSize = 0;
    item->LckType = kLockTypeNone;
    item->LckAddr = 0;
    item->RqID = 0;
  }
  items_.push_back(std::move(item));
  return items_.back().get();
}

void TLockCollection::Delete(int index) {
  auto at = items_.begin() + static_cast<std::ptrdiff_t>(index);
  std::unique_ptr<TLockItem> item = std::move(*at);
  items_.erase(at);
  // A few kept are enough: a connection holds few locks at a time.
  if (spare_.size() < kKeptItems) spare_.push_back(std::move(item));
}

void TLockCollection::Clear() {
  // Kept as Delete keeps them, within the room Add made: releasing every
  // lock at the end of a call allocates nothing.
  while (!items_.empty() && spare_.size() < std::min(kKeptItems, spare_.capacity())) {
    spare_.push_back(std::move(items_.back()));
    items_.pop_back();
  }
  items_.clear();
}

TBaseLockMgr::TBaseLockMgr(os::TOSFile* lockFile, uint64_t baseOffset, uint32_t regionSize)
    : lock_file_(lockFile), region_size_(regionSize), base_offset_(baseOffset) {
  TAV_ASSERT(lockFile != nullptr, "File handle is not set");
  TAV_ASSERT(regionSize != 0, "Lock region size is 0");
}

TBaseLockMgr::~TBaseLockMgr() {
  locks_.Clear();
}

uint64_t TBaseLockMgr::GetCalculatedLockAddr(uint32_t id) const {
  // In 64 bits: a record address plus the record base, or a table id times
  // the region, passes 4 GiB, and a wrapped offset would lock someone else's
  // bytes.
  if (region_size_ < 2) return base_offset_ + id;
  return base_offset_ + uint64_t{id} * region_size_;
}

void TBaseLockMgr::CheckRegion(uint32_t id) const {
  TAV_ASSERT(lock_limit_ == 0 || GetCalculatedLockAddr(id) + region_size_ <= lock_limit_,
             "Lock Request id is out of range");
}

uint32_t TBaseLockMgr::RequestSize(uint32_t size, uint32_t zeroMeans) const {
  if (size == 0) size = zeroMeans;
  TAV_ASSERT(size <= region_size_, "Lock Request size is out of range");
  return size;
}

TLockItem* TBaseLockMgr::FindLock(uint32_t id, int type) const {
  for (int i = 0; i < locks_.Count(); ++i) {
    TLockItem* item = locks_.Items(i);
    if (item->RqID == id && item->LckType == type) return item;
  }
  return nullptr;
}

TLockItem* TBaseLockMgr::AddLock(uint32_t id, uint64_t address, int type, uint32_t size) {
  TLockItem* item = nullptr;
  try {
    item = locks_.Add();
  } catch (...) {
    // A lock nobody has recorded would never be released.
    InternalReleaseFileLock(address, size);
    throw;
  }
  item->RqID = id;
  item->LckAddr = address;
  item->LckType = type;
  item->LckSize = size;
  return item;
}

void TBaseLockMgr::PauseAfterFailedLock() {
  if (beep_on_lock_retry_) os::Beep();
  os::Sleep(lock_retry_interval_);
}

bool TBaseLockMgr::SetReadLock(uint32_t id, uint32_t size) {
  // Whatever this manager holds for the id already covers a read; trying a
  // byte inside our own write lock would only fail against ourselves.
  if (QueryLockType(id) != kLockTypeNone) return true;
  size = RequestSize(size, 1);
  CheckRegion(id);
  const uint64_t start = GetCalculatedLockAddr(id);
  // The byte is chosen so that all `size` bytes stay inside the region.
  const uint64_t choices = uint64_t{region_size_} - size + 1;
  auto where = [&]() { return region_size_ > 1 ? start + RandomBelow(choices) : start; };
  uint64_t address = 0;
  if (!LockWithRetries(where, size, kLockTypeRead, address))
    TavDatabaseError(kRequestedLockNotObtained, "TBaseLockMgr.SetReadLock", read_lock_err_msg_,
                     this);
  AddLock(id, address, kLockTypeRead, size);
  return true;
}

int TBaseLockMgr::SetWriteLock(uint32_t id, uint32_t size) {
  if (FindLock(id, kLockTypeWrite) != nullptr) return kLockTypeWrite;
  if (FindLock(id, kLockTypeRead) != nullptr) {
    UpgradeReadLockToWriteLock(id, size);
    return kLockTypeWrite;
  }
  size = RequestSize(size, region_size_);
  CheckRegion(id);
  const uint64_t start = GetCalculatedLockAddr(id);
  uint64_t address = 0;
  if (!LockWithRetries([start]() { return start; }, size, kLockTypeWrite, address))
    TavDatabaseError(kRequestedLockNotObtained, "TBaseLockMgr.SetWriteLock", write_lock_err_msg_,
                     this);
  AddLock(id, address, kLockTypeWrite, size);
  return kLockTypeWrite;
}

void TBaseLockMgr::UpgradeReadLockToWriteLock(uint32_t id, uint32_t size) {
  if (FindLock(id, kLockTypeWrite) != nullptr) return;
  if (!InternalUpgradeReadLock(id, size))
    TavDatabaseError(kRequestedLockNotObtained, "TBaseLockMgr.UpgradeReadLockToWriteLock",
                     write_lock_err_msg_, this);
}

void TBaseLockMgr::UpgradeReadLocks() {
  // A copy: upgrading adds items to the list being walked.
  std::vector<std::pair<uint32_t, uint32_t>> held;
  held.reserve(static_cast<size_t>(locks_.Count()));
  for (int i = 0; i < locks_.Count(); ++i)
    held.emplace_back(locks_.Items(i)->RqID, locks_.Items(i)->LckSize);
  for (const auto& [id, size] : held) SetWriteLock(id, size);
}

void TBaseLockMgr::ReleaseLock(uint32_t id) {
  for (int i = locks_.Count() - 1; i >= 0; --i) {
    TLockItem* item = locks_.Items(i);
    if (item->RqID != id) continue;
    InternalReleaseFileLock(item->LckAddr, item->LckSize);
    locks_.Delete(i);
  }
}

void TBaseLockMgr::ReleaseAllLocks() {
  // A commit gives back every manager's locks, most of them holding none.
  if (locks_.Count() == 0) return;
  for (int i = locks_.Count() - 1; i >= 0; --i)
    InternalReleaseFileLock(locks_.Items(i)->LckAddr, locks_.Items(i)->LckSize);
  locks_.Clear();
}

int TBaseLockMgr::QueryLockType(uint32_t id) const {
  // The strongest: after an upgrade the read piece comes first in the list,
  // yet the id is written.
  int type = kLockTypeNone;
  for (const auto& item : locks_.All())
    if (item->RqID == id) type = std::max(type, item->LckType);
  return type;
}

bool TBaseLockMgr::LockExists(uint32_t id, int type) const {
  return FindLock(id, type) != nullptr;
}

void TBaseLockMgr::DebugDumpStatus(host::TStrings& list) const {
  list.Add("TBaseLockMgr.DebugDumpStatus");
  list.Add("Hnd - " + host::IntToStr(static_cast<int64_t>(lock_file_->Id())));
  list.Add("Locks present - " + host::IntToStr(locks_.Count()));
  for (int i = 0; i < locks_.Count(); ++i) {
    const TLockItem* item = locks_.Items(i);
    list.Add(host::Format("Lock %d: Addr %d Size %d Type %d",
                          {i, item->LckAddr, item->LckSize, item->LckType}));
  }
}

bool TBaseLockMgr::InternalReleaseFileLock(uint64_t, uint32_t) {
  return false;
}

bool TBaseLockMgr::InternalLockFile(uint64_t, uint32_t, int) {
  return false;
}

bool TBaseLockMgr::InternalUpgradeReadLock(uint32_t, uint32_t) {
  return false;
}

TWinLockMgr::~TWinLockMgr() {
  ReleaseAllLocks();
}

bool TWinLockMgr::InternalReleaseFileLock(uint64_t address, uint32_t size) {
  // An empty upgrade piece holds nothing.
  if (size == 0 || HeldAlone()) return true;
  return LockFileHandle()->UnlockRange(address, size);
}

bool TWinLockMgr::InternalLockFile(uint64_t address, uint32_t size, int /*type*/) {
  // Range locks are exclusive whatever the type; readers share a region by
  // holding different bytes of it.
  if (size == 0 || HeldAlone()) return true;
  return LockFileHandle()->LockRange(address, size);
}

bool TWinLockMgr::InternalUpgradeReadLock(uint32_t id, uint32_t /*size*/) {
  const TLockItem* read = FindLock(id, kLockTypeRead);
  if (read == nullptr) return false;
  const uint64_t regionStart = GetCalculatedLockAddr(id);
  const uint64_t regionEnd = regionStart + RegionSize();
  const uint64_t readStart = read->LckAddr;
  const uint64_t readEnd = read->LckAddr + read->LckSize;
  TAV_ASSERT(readStart >= regionStart && readEnd <= regionEnd, "Read lock outside its region");

  // Both parts are at most one region wide, which fits 32 bits.
  const auto beforeSize = static_cast<uint32_t>(readStart - regionStart);
  const auto afterSize = static_cast<uint32_t>(regionEnd - readEnd);
  uint64_t locked = 0;
  if (!LockWithRetries([&]() { return regionStart; }, beforeSize, kLockTypeWrite, locked))
    return false;
  if (!LockWithRetries([&]() { return readEnd; }, afterSize, kLockTypeWrite, locked)) {
    InternalReleaseFileLock(regionStart, beforeSize);
    return false;
  }
  // Recorded only now that both are held. AddLock unlocks what it cannot
  // record; the part after must then go too.
  try {
    AddLock(id, regionStart, kLockTypeWrite, beforeSize);
  } catch (...) {
    InternalReleaseFileLock(readEnd, afterSize);
    throw;
  }
  AddLock(id, readEnd, kLockTypeWrite, afterSize);
  return true;
}

std::unique_ptr<TBaseLockMgr> GetLockManager(os::TOSFile* /*dbHandle*/, os::TOSFile* lockFile,
                                             uint64_t baseOffset, uint32_t regionSize,
                                             bool /*flag*/) {
  return std::make_unique<TWinLockMgr>(lockFile, baseOffset, regionSize);
}

}  // namespace tav
