#include "engine/storage/record/io_interface.h"

#include "host/rtl/le_bytes.h"

#include <endian.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <string>

#include "engine/storage/file/disk_mgr.h"
#include "engine/storage/file/tav_file.h"
#include "engine/storage/base/tav_errors.h"
#include "engine/storage/base/tav_logger.h"
#include "host/rtl/format.h"

namespace tav {

// ---- TBaseIOInterface ----

void TBaseIOInterface::Open() {
  page_owner_ = static_cast<uint16_t>((table_id_ << 4) | usage_);
}

void TBaseIOInterface::Close() {}

void TBaseIOInterface::Empty(bool) {
  TavDatabaseError(kInvalidProcedureName, "TBaseIOInterface.Empty");
}

uint32_t TBaseIOInterface::AllocateNewAddress(uint32_t, const void*) {
  TavDatabaseError(kInvalidProcedureName, "TBaseIOInterface.AllocateNewAddress");
}

void TBaseIOInterface::ReleaseBlock(uint32_t, uint32_t) {
  TavDatabaseError(kInvalidProcedureName, "TBaseIOInterface.ReleaseBlock");
}

bool TBaseIOInterface::WriteBlockPart(uint32_t, uint32_t, uint32_t, const void*) {
  return false;
}

void TBaseIOInterface::WriteBlock(uint32_t, uint32_t, const void*) {
  TavDatabaseError(kInvalidProcedureName, "TBaseIOInterface.WriteBlock");
}

uint8_t* TBaseIOInterface::EditBlockPart(uint32_t, uint32_t, uint32_t) {
  return nullptr;
}

void TBaseIOInterface::WriteBlockByRef(uint32_t, uint32_t, const uint8_t*) {}

void TBaseIOInterface::ReadBlock(uint32_t, uint32_t, void*) {}

uint8_t* TBaseIOInterface::ReadBlockByRef(uint32_t, uint32_t) {
  return nullptr;
}

const uint8_t* TBaseIOInterface::PeekBlock(uint32_t, uint32_t) {
  return nullptr;
}

void TBaseIOInterface::WriteBlockHeader(uint32_t, uint32_t, const void*) {
  TavDatabaseError(kInvalidProcedureName, "TBaseIOInterface.WriteBlockHeader");
}

void TBaseIOInterface::ReadBlockHeader(uint32_t, uint32_t, void*) {}

void TBaseIOInterface::ShowBlocks(host::TStrings&) {}

void TBaseIOInterface::ListBlocks(host::TList&) {}

bool TBaseIOInterface::CheckPageValid(uint32_t) {
  return false;
}

void TBaseIOInterface::ShowStatus(host::TStringList&) {}

uint32_t TBaseIOInterface::GetNextMemoryBlockAddress(uint32_t) {
  return 0;
}

bool TBaseIOInterface::CheckBlockAddressValid(uint32_t) {
  return false;
}

void TBaseIOInterface::NotifyPageChange(uint32_t) {}

TChainBounds TBaseIOInterface::GetChainBounds() {
  return TChainBounds{};
}

// ---- TMemoryIOInterface ----

namespace {

// Memory block addresses are handles from one sequence for the whole process,
// so that an address never names a block of another interface and a released
// address never comes back for a new block. Only after 2^32 allocations does
// the sequence wrap; from then on a handle still live in the allocating
// interface is skipped.
std::atomic<uint64_t> g_next_memory_handle{1};
// Shared by every memory interface: no two states of any two have one mark.
std::atomic<uint64_t> g_next_change_mark{1};

}  // namespace

void TMemoryIOInterface::SetNextHandleForTesting(uint64_t value) {
  g_next_memory_handle.store(value, std::memory_order_relaxed);
}

TMemoryIOInterface::TMemoryIOInterface() {
  SetIOMode(iomMemory);
  MarkChange();
}

void TMemoryIOInterface::MarkChange() {
  change_mark_ = g_next_change_mark.fetch_add(1, std::memory_order_relaxed);
}

TMemoryIOInterface::~TMemoryIOInterface() {
  FreeAll();
}

TMemoryIOInterface::TMemBlock* TMemoryIOInterface::Find(uint32_t address) const {
  if (address == 0 || slots_.empty()) return nullptr;
  const size_t mask = slots_.size() - 1;
  for (size_t i = Home(address);; i = (i + 1) & mask) {
    TMemBlock* b = slots_[i];
    if (!b) return nullptr;
    if (b->Address == address) return b;
  }
}

void TMemoryIOInterface::InsertSlot(TMemBlock* block) {
  if ((block_count_ + 1) * 2 > slots_.size()) GrowSlots();
  const size_t mask = slots_.size() - 1;
  size_t i = Home(block->Address);
  while (slots_[i]) i = (i + 1) & mask;
  slots_[i] = block;
  ++block_count_;
}

void TMemoryIOInterface::EraseSlot(uint32_t address) {
  const size_t mask = slots_.size() - 1;
  size_t i = Home(address);
  while (slots_[i]->Address != address) i = (i + 1) & mask;
  slots_[i] = nullptr;
  --block_count_;
  // The blocks after the hole that probed past it move back into it.
  for (size_t j = (i + 1) & mask; slots_[j]; j = (j + 1) & mask) {
    const size_t k = Home(slots_[j]->Address);
    const bool between = i <= j ? (i < k && k <= j) : (i < k || k <= j);
    if (between) continue;
    slots_[i] = slots_[j];
    slots_[j] = nullptr;
    i = j;
  }
}

void TMemoryIOInterface::GrowSlots() {
  std::vector<TMemBlock*> old;
  old.swap(slots_);
  slot_bits_ = old.empty() ? 6 : slot_bits_ + 1;
  slots_.assign(size_t{1} << slot_bits_, nullptr);
  const size_t mask = slots_.size() - 1;
  for (TMemBlock* b : old) {
    if (!b) continue;
    size_t i = Home(b->Address);
    while (slots_[i]) i = (i + 1) & mask;
    slots_[i] = b;
  }
}

uint32_t TMemoryIOInterface::NewHandle() const {
  for (;;) {
    const uint64_t n = g_next_memory_handle.fetch_add(1, std::memory_order_relaxed);
    const auto handle = static_cast<uint32_t>(n);
    if (handle == 0) continue;
    if (n > std::numeric_limits<uint32_t>::max() && Find(handle) != nullptr) continue;
    return handle;
  }
}

void TMemoryIOInterface::NotFound(const char* caller, const char* message, uint32_t address) const {
  TavDatabaseError(kUnexpectedInternalError, caller, host::Format("%s %u", {message, address}));
}

TMemoryIOInterface::TMemBlock* TMemoryIOInterface::TakeBlock(uint32_t size) {
  TMemBlock* b;
  if (size > kPooledBytes) {
    b = static_cast<TMemBlock*>(::operator new(sizeof(TMemBlock) + size, std::align_val_t{16}));
    return new (b) TMemBlock{0, size, nullptr, nullptr, false};
  }
  const size_t cls = PooledClass(size);
  std::vector<TMemBlock*>& released = released_[cls];
  if (!released.empty()) {
    b = released.back();
    released.pop_back();
    return new (b) TMemBlock{0, size, nullptr, nullptr, true};
  }
  const size_t bytes = (cls + 1) * kPoolGrain;
  auto chunkBytes = [](size_t no) { return std::min(kLargestChunkBytes, kFirstChunkBytes << std::min<size_t>(no, 16)); };
  if (chunks_.empty() || chunk_used_ + bytes > chunkBytes(chunk_no_)) {
    // The next chunk kept from an earlier fill, else a new one, each twice
    // the size of the last up to kLargestChunkBytes.
    const size_t next = chunks_.empty() ? 0 : chunk_no_ + 1;
    if (next == chunks_.size()) chunks_.push_back(std::unique_ptr<uint8_t[]>(new uint8_t[chunkBytes(next)]));
    chunk_no_ = next;
    chunk_used_ = 0;
  }
  b = reinterpret_cast<TMemBlock*>(chunks_[chunk_no_].get() + chunk_used_);
  chunk_used_ += bytes;
  return new (b) TMemBlock{0, size, nullptr, nullptr, true};
}

void TMemoryIOInterface::GiveBack(TMemBlock* block) {
  if (!block->Pooled) {
    block->~TMemBlock();
    ::operator delete(block, std::align_val_t{16});
    return;
  }
  const size_t cls = PooledClass(block->Size);
  released_[cls].push_back(block);
  released_classes_[cls / 64] |= uint64_t{1} << (cls % 64);
}

void TMemoryIOInterface::FreeAll() {
  MarkChange();
  for (TMemBlock* p = first_; p;) {
    TMemBlock* next = p->Next;
    if (!p->Pooled) GiveBack(p);
    p = next;
  }
  first_ = nullptr;
  last_ = nullptr;
  block_count_ = 0;
  // A big table's address table and chunks go; a small one's stay for the
  // next fill.
  if (slots_.size() > 4096) {
    slots_ = {};
    slot_bits_ = 0;
  } else {
    std::fill(slots_.begin(), slots_.end(), nullptr);
  }
  if (chunks_.size() > kChunksKept) chunks_.resize(kChunksKept);
  chunk_no_ = 0;
  chunk_used_ = 0;
  for (size_t word = 0; word < released_classes_.size(); ++word) {
    for (uint64_t bits = released_classes_[word]; bits != 0; bits &= bits - 1)
      released_[word * 64 + static_cast<size_t>(std::countr_zero(bits))].clear();
    released_classes_[word] = 0;
  }
}

void TMemoryIOInterface::Empty(bool) {
  // A memory table that is emptied must not keep its old records: they would
  // come back through the block listing.
  FreeAll();
  Close();
}

uint32_t TMemoryIOInterface::AllocateNewAddress(uint32_t size, const void* data) {
  MarkChange();
  const uint32_t address = NewHandle();
  if (slots_.empty() || (block_count_ + 1) * 2 > slots_.size()) GrowSlots();
  TMemBlock* b = TakeBlock(size);
  b->Address = address;
  // A new block reads as zeros where nothing was written.
  if (size != 0 && data != nullptr)
    std::memcpy(b->Data(), data, size);
  else
    std::memset(b->Data(), 0, size);
  InsertSlot(b);
  b->Prev = last_;
  if (last_)
    last_->Next = b;
  else
    first_ = b;
  last_ = b;
  return address;
}

void TMemoryIOInterface::ReleaseBlock(uint32_t address, uint32_t) {
  TMemBlock* b = Find(address);
  if (!b) return;
  // Keeping the bytes for reuse may need room: before anything changes.
  if (b->Pooled) {
    std::vector<TMemBlock*>& released = released_[PooledClass(b->Size)];
    if (released.size() == released.capacity()) released.reserve(std::max<size_t>(16, released.size() * 2));
  }
  MarkChange();
  EraseSlot(address);
  if (b->Prev)
    b->Prev->Next = b->Next;
  else
    first_ = b->Next;
  if (b->Next)
    b->Next->Prev = b->Prev;
  else
    last_ = b->Prev;
  GiveBack(b);
}

void TMemoryIOInterface::WriteBlock(uint32_t address, uint32_t size, const void* data) {
  TMemBlock* b = Find(address);
  if (!b)
    NotFound("TMemoryIOInterface.WriteBlock", "Write page error - block address not found",
             address);
  if (!data)
    TavDatabaseError(kUnexpectedInternalError, "TMemoryIOInterface.WriteBlock",
                     "Write page error - nil pointer");
  if (size > b->Size)
    NotFound("TMemoryIOInterface.WriteBlock", "Write page error - size beyond block", address);
  MarkChange();
  std::memcpy(b->Data(), data, size);
}

void TMemoryIOInterface::WriteBlockByRef(uint32_t, uint32_t, const uint8_t*) {
  // The block was edited in place.
  MarkChange();
}

void TMemoryIOInterface::ReadBlock(uint32_t address, uint32_t size, void* dest) {
  TMemBlock* b = Find(address);
  if (!b) {
    if (host::TStrings* lines = DebugStrings()) {
      lines->Add(host::Format("%u:::%.8x", {address, address}));
      for (const TMemBlock* p = first_; p; p = p->Next)
        lines->Add(host::Format("%.8x", {p->Address}));
    }
    NotFound("TMemoryIOInterface.ReadBlock", "Read page error - block address not found", address);
  }
  if (b->Data() == dest)
    TavDatabaseError(kUnexpectedInternalError, "TMemoryIOInterface.ReadBlock",
                     "Read page error - buffers equal");
  if (!dest)
    TavDatabaseError(kUnexpectedInternalError, "TMemoryIOInterface.ReadBlock",
                     "Unassigned memory pointer");
  if (size > b->Size)
    NotFound("TMemoryIOInterface.ReadBlock", "Read page error - size beyond block", address);
  std::memcpy(dest, b->Data(), size);
}

uint8_t* TMemoryIOInterface::ReadBlockByRef(uint32_t address, uint32_t size) {
  TMemBlock* b = Find(address);
  if (!b)
    NotFound("TMemoryIOInterface.ReadBlock", "Read page error - block address not found", address);
  if (size > b->Size)
    NotFound("TMemoryIOInterface.ReadBlock", "Read page error - size beyond block", address);
  // The caller may write through the pointer.
  MarkChange();
  return b->Data();
}

const uint8_t* TMemoryIOInterface::PeekBlock(uint32_t address, uint32_t size) {
  const TMemBlock* b = Find(address);
  return b && size <= b->Size ? b->Data() : nullptr;
}

void TMemoryIOInterface::WriteBlockHeader(uint32_t address, uint32_t size, const void* data) {
  TMemBlock* b = Find(address);
  if (!b)
    NotFound("TMemoryIOInterface.WriteBlockHeader", "Write page error - block address not found",
             address);
  if (!data)
    TavDatabaseError(kUnexpectedInternalError, "TMemoryIOInterface.WriteBlockHeader",
                     "Write header error - nil pointer");
  if (size > b->Size)
    NotFound("TMemoryIOInterface.WriteBlockHeader", "Write page error - size beyond block",
             address);
  MarkChange();
  std::memcpy(b->Data(), data, size);
}

bool TMemoryIOInterface::WriteBlockPart(uint32_t address, uint32_t offset, uint32_t size,
                                        const void* data) {
  TMemBlock* b = Find(address);
  if (!b)
    NotFound("TMemoryIOInterface.WriteBlockPart", "Write page error - block address not found",
             address);
  if (!data)
    TavDatabaseError(kUnexpectedInternalError, "TMemoryIOInterface.WriteBlockPart",
                     "Write page error - nil pointer");
  if (uint64_t{offset} + size > b->Size)
    NotFound("TMemoryIOInterface.WriteBlockPart", "Write page error - size beyond block", address);
  MarkChange();
  std::memcpy(b->Data() + offset, data, size);
  return true;
}

void TMemoryIOInterface::ReadBlockHeader(uint32_t address, uint32_t size, void* dest) {
  TMemBlock* b = Find(address);
  if (!b)
    NotFound("TMemoryIOInterface.ReadBlockHeader", "Read page error - block address not found",
             address);
  if (!dest)
    TavDatabaseError(kUnexpectedInternalError, "TMemoryIOInterface.ReadBlockHeader",
                     "Read header error - nil pointer");
  if (size > b->Size)
    NotFound("TMemoryIOInterface.ReadBlockHeader", "Read page error - size beyond block", address);
  std::memcpy(dest, b->Data(), size);
}

void TMemoryIOInterface::ListBlocks(host::TList& list) {
  list.Clear();
  for (const TMemBlock* p = first_; p; p = p->Next) list.Add(static_cast<int32_t>(p->Address));
}

bool TMemoryIOInterface::CheckPageValid(uint32_t address) {
  return Find(address) != nullptr;
}

void TMemoryIOInterface::ShowStatus(host::TStringList&) {}

uint32_t TMemoryIOInterface::GetNextMemoryBlockAddress(uint32_t address) {
  if (!first_) return 0;
  if (address == 0) return first_->Address;
  const TMemBlock* b = Find(address);
  if (!b) return first_->Address;
  return b->Next ? b->Next->Address : 0;
}

bool TMemoryIOInterface::CheckBlockAddressValid(uint32_t address) {
  return Find(address) != nullptr;
}

void TMemoryIOInterface::NotifyPageChange(uint32_t) {}

TChainBounds TMemoryIOInterface::GetChainBounds() {
  // Any handle may be linked; one that is not listed fails its read.
  TChainBounds b;
  b.Low = 1;
  b.High = uint64_t{std::numeric_limits<uint32_t>::max()} + 1;
  b.MaxBlocks = static_cast<uint32_t>(block_count_);
  return b;
}

// ---- TDiskIOInterface ----

namespace {

using host::GetU32;
using host::PutU32;



// The fixed area (pages 0 to 4) and the first map page come before any
// table's blocks.
constexpr uint32_t kFirstDataPage = 6;

constexpr const char* kFreeChainDamaged = "Free block chain damaged";

// A block of `bs` bytes at `block` holding the first `size` bytes of `data`
// (size <= bs), zeros after them; all zeros without data.
void FillBlock(uint8_t* block, uint32_t bs, uint32_t size, const void* data) {
  if (size < bs || !data) std::memset(block, 0, bs);
  if (size && data) std::memcpy(block, data, size);
}

}  // namespace

TDiskIOInterface::TDiskIOInterface() {
  SetIOMode(iomDiskFixedSize);
}

TDiskIOInterface::~TDiskIOInterface() {
  Close();
}

void TDiskIOInterface::Open() {
  const char* caller = "TDiskIOInterface.Open";
  if (!DiskMgr())
    TavDatabaseError(kUnexpectedInternalError, caller,
                     "Unable to open Disk IOInterface - DiskMgr is null");
  if (Usage() == 0)
    TavDatabaseError(kUnexpectedInternalError, caller,
                     "Unable to open Disk IOInterface - Usage is not set");
  if (BlockSize() == 0)
    TavDatabaseError(kUnexpectedInternalError, caller,
                     "Unable to open Disk IOInterface - Block size is 0");
  if (work_) {
    if (std::shared_ptr<TDBLogger> log = GDBLogger())
      log->LogItem("DiskInterface",
                   host::Format("Open- BlockSize %d FirstEmpty %d", {BlockSize(), FirstEmpty()}));
  }
  // Reopened with another block size, the old buffer would be too small.
  if (!work_ || work_size_ != 2 * uint64_t{BlockSize()}) {
    if (uint64_t{BlockSize()} * 2 > kMaxFileEnd)
      TavDatabaseError(kUnexpectedInternalError, caller,
                       "Unable to open Disk IOInterface - Block size too large");
    work_size_ = 2 * BlockSize();
    work_ = std::make_unique<uint8_t[]>(work_size_);
  }
  file_end_ = 0;
  known_run_head_ = 0;
  TBaseIOInterface::Open();
}

void TDiskIOInterface::Close() {
  known_run_head_ = 0;
  work_.reset();
  work_size_ = 0;
  pages_.clear();
  pages_.shrink_to_fit();
}

void TDiskIOInterface::RequireOpen(const char* caller) const {
  if (!work_ || !DiskMgr()) TavDatabaseError(kSystemObjectIsNotInitialized, caller);
}

void TDiskIOInterface::CheckSize(uint32_t size, const char* caller) const {
  if (size > BlockSize())
    TavDatabaseErrorFmt(kUnexpectedInternalError, caller,
                        "Block request size %u larger than block size %u", {size, BlockSize()});
}

uint32_t TDiskIOInterface::FileEnd(bool refresh) {
  if (refresh || file_end_ == 0) {
    const int64_t end = DiskMgr()->GetFileSize();
    file_end_ = end < 0 ? 0 : static_cast<uint32_t>(std::min<int64_t>(end, kMaxFileEnd));
  }
  return file_end_;
}

bool TDiskIOInterface::RunInRange(uint32_t address, uint64_t count) {
  const uint64_t low = uint64_t{kFirstDataPage} * DiskMgr()->PageSize();
  const uint64_t end = uint64_t{address} + count * BlockSize();
  if (address < low || count == 0) return false;
  // The file only grows while it is open; a stale end is refreshed (last
  // from the system itself) before a run is called damaged.
  if (end <= FileEnd(false) || end <= FileEnd(true)) return true;
  DiskMgr()->RefreshFileSize();
  return end <= FileEnd(true);
}

void TDiskIOInterface::LoadFirstEmpty(const char* caller) {
  if (GlobalFirstEmptyOffset() != 0) {
    SetFirstEmpty(DiskMgr()->GlobalHdr()->GlobalInterfaceGetHdrItem(
        static_cast<uint32_t>(GlobalFirstEmptyOffset())));
    SetFirstEmptyValid(true);
  } else if (!FirstEmptyValid()) {
    TavDatabaseError(kUnexpectedInternalError, caller,
                     "DiskIOInterface - non global first empty not set");
  }
}

uint32_t TDiskIOInterface::AllocateNewAddress(uint32_t size, const void* data) {
  const char* caller = "TDiskIOInterface.AllocateNewAddress";
  RequireOpen(caller);
  if (size > BlockSize())
    TavDatabaseError(kUnexpectedInternalError, caller, "Block request sizes < block size");
  std::optional<THeaderLockGuard> guard;
  if (GlobalFirstEmptyOffset() != 0) guard.emplace(DiskMgr(), true);
  LoadFirstEmpty(caller);
  const uint32_t address =
      FirstEmpty() != 0 ? AllocateFromChain(size, data) : AllocateNewPages(size, data);
  if (guard) {
    SetGlobalFirstEmpty();
    guard->Done();
  }
  return address;
}

uint32_t TDiskIOInterface::AllocateFromChain(uint32_t size, const void* data) {
  const char* caller = "TDiskIOInterface.AllocateNewAddress";
  const uint32_t bs = BlockSize();
  const uint32_t head = FirstEmpty();
  // The head block goes to the second half of the work buffer: the first
  // half takes the new data when both blocks go out in one write. The head
  // this interface wrote there last, checked when its run was read, is
  // there still.
  uint8_t* run = work_.get() + bs;
  const bool known = head != 0 && head == known_run_head_;
  known_run_head_ = 0;
  if (!known) {
    if (!RunInRange(head, 1))
      TavDatabaseErrorFmt(kUnexpectedInternalError, caller, "%s %u", {kFreeChainDamaged, head});
    DiskMgr()->ReadCustomSize(head, bs, run, TableID(), AccessFlags());
  }
  const uint32_t next = GetU32(run + kFreeBlockNext);
  const uint32_t count = GetU32(run + kFreeBlockCount);
  // A free block starts with 8 zero bytes; anything else is a block in use
  // that a damaged link leads to, and handing it out would overwrite it.
  const bool zeroStart = GetU32(run) == 0 && GetU32(run + 4) == 0;
  if (!known &&
      (!zeroStart || (next != 0 && !RunInRange(next, 1)) || (count > 1 && !RunInRange(head, count))))
    TavDatabaseErrorFmt(kUnexpectedInternalError, caller, "%s %u", {kFreeChainDamaged, head});

  // The rest of the run is written first: should the data write fail, the
  // head still names a free block. Where the data's block and the run's new
  // head share a page, both go out in one write, which fails whole.
  uint32_t newHead = next;
  if (count > 1) {
    PutU32(run + kFreeBlockCount, count - 1);
    newHead = head + bs;
    const uint32_t pageSize = DiskMgr()->PageSize();
    if (pageSize != 0 && head / pageSize == (uint64_t{head} + 2 * uint64_t{bs} - 1) / pageSize) {
      FillBlock(work_.get(), bs, size, data);
      DiskMgr()->WriteCustomSize(head, 2 * bs, work_.get(), TableID(), AccessFlags());
      SetFirstEmpty(newHead);
      if (keep_run_head_) known_run_head_ = newHead;
      return head;
    }
    DiskMgr()->WriteCustomSize(newHead, bs, run, TableID(), AccessFlags());
  }
  WriteWhole(head, size, data);
  SetFirstEmpty(newHead);
  return head;
}

void TDiskIOInterface::WriteWhole(uint32_t address, uint32_t size, const void* data) {
  const uint32_t bs = BlockSize();
  known_run_head_ = 0;  // the work buffer is written over
  if (size == bs && data) {
    DiskMgr()->WriteCustomSize(address, bs, data, TableID(), AccessFlags());
    return;
  }
  // The caller's buffer holds `size` bytes only: the block is filled out
  // with zeros in the second half of the work buffer.
  uint8_t* block = work_.get() + bs;
  FillBlock(block, bs, size, data);
  DiskMgr()->WriteCustomSize(address, bs, block, TableID(), AccessFlags());
}

uint32_t TDiskIOInterface::AllocateNewPages(uint32_t size, const void* data) {
  const uint32_t bs = BlockSize();
  const uint32_t pageSize = DiskMgr()->PageSize();
  // One block is asked for (size <= BlockSize), so the request is sized for
  // a block, whatever `size` is: a request sized for fewer bytes could end
  // inside the block, a block of 0 bytes still takes a block, and a block
  // larger than a page never gets a single page. A block of exactly one page
  // takes one page and leaves no spare run.
  uint64_t bytes;
  if (IOMode() == iomDiskFixedSize) {
    bytes = GetBestPageRequestSize(bs, pageSize);
  } else {
    bytes = (uint64_t{bs} + pageSize - 1) / pageSize * pageSize;
  }
  if (bytes > kMaxFileEnd)
    TavDatabaseError(kDatabaseFileSizeLimitHasBeenReached, "TDiskIOInterface.AllocateNewAddress");
  const uint32_t pages = static_cast<uint32_t>(bytes / pageSize);
  const uint32_t spare = static_cast<uint32_t>((bytes - bs) / bs);
  // The run is zeros but for the first block's data and the next block's
  // count: a buffer of the same size only has those bytes of the last run
  // cleared again.
  if (pages_.size() != bytes)
    pages_.assign(static_cast<size_t>(bytes), 0);
  else
    std::memset(pages_.data(), 0,
                static_cast<size_t>(std::min<uint64_t>(bytes, uint64_t{bs} + kFreeBlockCount + 4)));
  if (size && data) std::memcpy(pages_.data(), data, size);
  if (spare > 0) PutU32(pages_.data() + bs + kFreeBlockCount, spare);
  const uint32_t address =
      DiskMgr()->WriteNewPages(TableID(), Usage(), pages_.data(), pages, AccessFlags());
  file_end_ = 0;
  if (spare > 0) SetFirstEmpty(address + bs);
  return address;
}

void TDiskIOInterface::ReleaseBlock(uint32_t address, uint32_t size) {
  const char* caller = "TDiskIOInterface.ReleaseBlock";
  RequireOpen(caller);
  known_run_head_ = 0;  // the work buffer is written over
  std::optional<THeaderLockGuard> guard;
  if (GlobalFirstEmptyOffset() != 0) guard.emplace(DiskMgr(), true);
  LoadFirstEmpty(caller);
  const uint32_t pageSize = DiskMgr()->PageSize();
  if (size >= pageSize && address % pageSize == 0 && size % pageSize == 0) {
    if (!RunInRange(address, 1) || uint64_t{address} + size > FileEnd(true))
      TavDatabaseErrorFmt(kUnexpectedInternalError, caller, "Block address out of range %u",
                          {address});
    DiskMgr()->ReleasePages(address, size / pageSize);
    file_end_ = 0;
  } else {
    const uint32_t bs = BlockSize();
    const uint32_t n = size == 0 ? 1 : static_cast<uint32_t>((uint64_t{size} + bs - 1) / bs);
    if (!RunInRange(address, n))
      TavDatabaseErrorFmt(kUnexpectedInternalError, caller, "Block address out of range %u",
                          {address});
    // Freeing the head again would make the chain lead to itself and hand
    // the block out twice.
    if (address == FirstEmpty())
      TavDatabaseErrorFmt(kUnexpectedInternalError, caller, "Block already free %u", {address});
    uint8_t* buf = work_.get();
    std::memset(buf, 0, bs);
    PutU32(buf + kFreeBlockNext, FirstEmpty());
    PutU32(buf + kFreeBlockCount, n);
    // The other blocks of the run first, so that the head never names a run
    // whose blocks were not yet cleared.
    if (n > 1) {
      std::memset(buf + bs, 0, bs);
      for (uint32_t i = 1; i < n; ++i)
        DiskMgr()->WriteCustomSize(address + i * bs, bs, buf + bs, TableID(), AccessFlags());
    }
    DiskMgr()->WriteCustomSize(address, bs, buf, TableID(), AccessFlags());
    SetFirstEmpty(address);
  }
  if (guard) {
    SetGlobalFirstEmpty();
    guard->Done();
  }
}

void TDiskIOInterface::GetGlobalFirstEmpty() {
  const char* caller = "TDiskIOInterface.GetGlobalFirstEmpty";
  if (GlobalFirstEmptyOffset() == 0)
    TavDatabaseError(kUnexpectedInternalError, caller,
                     "Unable to get a global first empty. Not a global interface");
  if (!DiskMgr()) TavDatabaseError(kSystemObjectIsNotInitialized, caller);
  TDiskMgr& mgr = *DiskMgr();
  if (!mgr.GlobalHdr()->HeaderValid()) {
    // Reading the header needs a header lock; one taken here is given back.
    if (mgr.HeaderReadLocked() || mgr.HeaderWriteLocked()) {
      mgr.ReadHeader();
    } else {
      mgr.SetHeaderReadLock();
      mgr.ReleaseHeaderLock();
    }
  }
  SetFirstEmpty(
      mgr.GlobalHdr()->GlobalInterfaceGetHdrItem(static_cast<uint32_t>(GlobalFirstEmptyOffset())));
  SetFirstEmptyValid(true);
}

void TDiskIOInterface::SetGlobalFirstEmpty() {
  if (GlobalFirstEmptyOffset() == 0) return;
  if (!FirstEmptyValid())
    TavDatabaseError(kUnexpectedInternalError, "TDiskIOInterface.SetGlobalFirstEmpty",
                     "Attempt to write non validated first empty to global header");
  DiskMgr()->GlobalHdr()->GlobalInterfaceSetHdrItem(
      FirstEmpty(), static_cast<uint32_t>(GlobalFirstEmptyOffset()));
}

void TDiskIOInterface::Empty(bool flag) {
  if (!DiskMgr()) TavDatabaseError(kSystemObjectIsNotInitialized, "TDiskIOInterface.Empty");
  known_run_head_ = 0;
  DiskMgr()->DeleteOwnedPages(TableID(), Usage(), flag);
  SetFirstEmptyValid(false);
  file_end_ = 0;
}

void TDiskIOInterface::WriteBlock(uint32_t address, uint32_t size, const void* data) {
  CheckSize(size, "TDiskIOInterface.WriteBlock");
  DiskMgr()->WriteCustomSize(address, size, data, TableID(), AccessFlags());
}

void TDiskIOInterface::WriteBlockByRef(uint32_t address, uint32_t size, const uint8_t* data) {
  CheckSize(size, "TDiskIOInterface.WriteBlockByRef");
  DiskMgr()->WriteCustomSizeByRef(address, size, data, TableID(), AccessFlags());
}

void TDiskIOInterface::ReadBlock(uint32_t address, uint32_t size, void* dest) {
  CheckSize(size, "TDiskIOInterface.ReadBlock");
  DiskMgr()->ReadCustomSize(address, size, dest, TableID(), AccessFlags());
}

uint8_t* TDiskIOInterface::ReadBlockByRef(uint32_t address, uint32_t size) {
  CheckSize(size, "TDiskIOInterface.ReadBlockByRef");
  uint8_t* p = nullptr;
  DiskMgr()->ReadCustomSizeByRef(address, size, p, TableID(), AccessFlags());
  return p;
}

const uint8_t* TDiskIOInterface::PeekBlock(uint32_t address, uint32_t size) {
  if (!DiskMgr() || size > BlockSize()) return nullptr;
  return DiskMgr()->PeekCustomSize(address, size, TableID(), AccessFlags());
}

void TDiskIOInterface::WriteBlockHeader(uint32_t address, uint32_t size, const void* data) {
  CheckSize(size, "TDiskIOInterface.WriteBlockHeader");
  DiskMgr()->WriteCustomSize(address, size, data, TableID(), AccessFlags());
}

bool TDiskIOInterface::WriteBlockPart(uint32_t address, uint32_t offset, uint32_t size,
                                      const void* data) {
  CheckSize(offset + size, "TDiskIOInterface.WriteBlockPart");
  // A part lies within one page, most often of a node the transaction has
  // changed already: straight into its page, without the disk manager's
  // general way (which checks that the file is open: an open transaction
  // says as much).
  if (DiskMgr()->TavFile().WriteWithinPage(data, address + offset, size, TableID(),
                                           AccessFlags()))
    return true;
  DiskMgr()->WriteCustomSize(address + offset, size, data, TableID(), AccessFlags());
  return true;
}

uint8_t* TDiskIOInterface::EditBlockPart(uint32_t address, uint32_t offset, uint32_t size) {
  CheckSize(offset + size, "TDiskIOInterface.EditBlockPart");
  uint8_t* at =
      DiskMgr()->TavFile().EditCachedPage(address + offset, size, TableID(), AccessFlags());
  return at ? at - offset : nullptr;
}

void TDiskIOInterface::ReadBlockHeader(uint32_t address, uint32_t size, void* dest) {
  CheckSize(size, "TDiskIOInterface.ReadBlockHeader");
  DiskMgr()->ReadCustomSize(address, size, dest, TableID(), AccessFlags());
}

void TDiskIOInterface::ListBlocks(host::TList& list) {
  RequireOpen("TDiskIOInterface.ListBlocks");
  list.Clear();
  DiskMgr()->ListAllocatedFixedBlocks(BlockSize(), TableID(), list, Usage());
}

void TDiskIOInterface::NotifyPageChange(uint32_t owner) {
  if (!DiskMgr()) return;
  DiskMgr()->TavFile().CacheMgr().ClearOwnedPages(static_cast<int32_t>(owner));
  // Another connection may have freed pages of the table.
  if (DiskMgr()->MapPageMgr()) DiskMgr()->MapPageMgr()->ForgetPageOwners(owner);
}

TChainBounds TDiskIOInterface::GetChainBounds() {
  RequireOpen("TDiskIOInterface.GetChainBounds");
  TChainBounds b;
  const uint64_t end = FileEnd(true);
  const uint64_t low = uint64_t{kFirstDataPage} * DiskMgr()->PageSize();
  b.Low = static_cast<uint32_t>(std::min<uint64_t>(low, UINT32_MAX));
  b.High = end >= BlockSize() ? end - BlockSize() + 1 : 0;
  b.MaxBlocks = static_cast<uint32_t>(end / BlockSize());
  return b;
}

}  // namespace tav
