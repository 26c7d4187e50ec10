#include "engine/storage/io_interface.h"

#include <atomic>
#include <cstring>
#include <limits>
#include <string>

#include "engine/storage/tav_errors.h"
#include "host/rtl/format.h"

namespace tav {

// ---- TBaseIOInterface ----

void TBaseIOInterface::Open() { page_owner_ = static_cast<uint16_t>((table_id_ << 4) | usage_); }

void TBaseIOInterface::Close() {}

void TBaseIOInterface::Empty(bool) { TavDatabaseError(10065, "TBaseIOInterface.Empty"); }

uint32_t TBaseIOInterface::AllocateNewAddress(uint32_t, const void*) {
  TavDatabaseError(10065, "TBaseIOInterface.AllocateNewAddress");
}

void TBaseIOInterface::ReleaseBlock(uint32_t, uint32_t) {
  TavDatabaseError(10065, "TBaseIOInterface.ReleaseBlock");
}

void TBaseIOInterface::WriteBlock(uint32_t, uint32_t, const void*) {
  TavDatabaseError(10065, "TBaseIOInterface.WriteBlock");
}

void TBaseIOInterface::WriteBlockByRef(uint32_t, uint32_t, const uint8_t*) {}

void TBaseIOInterface::ReadBlock(uint32_t, uint32_t, void*) {}

uint8_t* TBaseIOInterface::ReadBlockByRef(uint32_t, uint32_t) { return nullptr; }

void TBaseIOInterface::WriteBlockHeader(uint32_t, uint32_t, const void*) {
  TavDatabaseError(10065, "TBaseIOInterface.WriteBlockHeader");
}

void TBaseIOInterface::ReadBlockHeader(uint32_t, uint32_t, void*) {}

void TBaseIOInterface::ShowBlocks(host::TStrings&) {}

void TBaseIOInterface::ListBlocks(host::TList&) {}

bool TBaseIOInterface::CheckPageValid(uint32_t) { return false; }

void TBaseIOInterface::ShowStatus(host::TStringList&) {}

uint32_t TBaseIOInterface::GetNextMemoryBlockAddress(uint32_t) { return 0; }

bool TBaseIOInterface::CheckBlockAddressValid(uint32_t) { return false; }

void TBaseIOInterface::NotifyPageChange(uint32_t) {}

TChainBounds TBaseIOInterface::GetChainBounds() { return TChainBounds{}; }

// ---- TMemoryIOInterface ----

namespace {

// Memory block addresses are handles from one sequence for the whole process,
// so that an address never names a block of another interface and a released
// address never comes back for a new block. Only after 2^32 allocations does
// the sequence wrap; from then on a handle still live in the allocating
// interface is skipped.
std::atomic<uint64_t> g_next_memory_handle{1};

}  // namespace

void TMemoryIOInterface::SetNextHandleForTesting(uint64_t value) {
  g_next_memory_handle.store(value, std::memory_order_relaxed);
}

TMemoryIOInterface::TMemoryIOInterface() { SetIOMode(iomMemory); }

TMemoryIOInterface::~TMemoryIOInterface() { FreeAll(); }

TMemoryIOInterface::TMemBlock* TMemoryIOInterface::Find(uint32_t address) const {
  if (address == 0) return nullptr;
  auto it = blocks_.find(address);
  return it == blocks_.end() ? nullptr : it->second.get();
}

uint32_t TMemoryIOInterface::NewHandle() const {
  for (;;) {
    const uint64_t n = g_next_memory_handle.fetch_add(1, std::memory_order_relaxed);
    const auto handle = static_cast<uint32_t>(n);
    if (handle == 0) continue;
    if (n > std::numeric_limits<uint32_t>::max() && blocks_.count(handle) != 0) continue;
    return handle;
  }
}

void TMemoryIOInterface::NotFound(const char* caller, const char* message,
                                  uint32_t address) const {
  TavDatabaseError(8581, caller, host::Format("%s %u", {message, address}));
}

void TMemoryIOInterface::FreeAll() {
  blocks_.clear();
  first_ = nullptr;
  last_ = nullptr;
}

void TMemoryIOInterface::Empty(bool) {
  // A memory table that is emptied must not keep its old records: they would
  // come back through the block listing.
  FreeAll();
  Close();
}

uint32_t TMemoryIOInterface::AllocateNewAddress(uint32_t size, const void* data) {
  auto block = std::make_unique<TMemBlock>();
  block->Size = size;
  block->Data = std::make_unique<uint8_t[]>(size == 0 ? 1 : size);  // zero-filled
  if (size != 0 && data != nullptr) std::memcpy(block->Data.get(), data, size);
  block->Address = NewHandle();
  TMemBlock* raw = block.get();
  blocks_.emplace(raw->Address, std::move(block));
  raw->Prev = last_;
  if (last_)
    last_->Next = raw;
  else
    first_ = raw;
  last_ = raw;
  return raw->Address;
}

void TMemoryIOInterface::ReleaseBlock(uint32_t address, uint32_t) {
  auto it = blocks_.find(address);
  if (address == 0 || it == blocks_.end()) return;
  TMemBlock* b = it->second.get();
  if (b->Prev)
    b->Prev->Next = b->Next;
  else
    first_ = b->Next;
  if (b->Next)
    b->Next->Prev = b->Prev;
  else
    last_ = b->Prev;
  blocks_.erase(it);
}

void TMemoryIOInterface::WriteBlock(uint32_t address, uint32_t size, const void* data) {
  TMemBlock* b = Find(address);
  if (!b)
    NotFound("TMemoryIOInterface.WriteBlock", "Write page error - block address not found",
             address);
  if (!data) TavDatabaseError(8581, "TMemoryIOInterface.WriteBlock", "Write page error - nil pointer");
  if (size > b->Size)
    NotFound("TMemoryIOInterface.WriteBlock", "Write page error - size beyond block", address);
  std::memcpy(b->Data.get(), data, size);
}

void TMemoryIOInterface::WriteBlockByRef(uint32_t, uint32_t, const uint8_t*) {
  // The block was edited in place.
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
  if (b->Data.get() == dest)
    TavDatabaseError(8581, "TMemoryIOInterface.ReadBlock", "Read page error - buffers equal");
  if (!dest) TavDatabaseError(8581, "TMemoryIOInterface.ReadBlock", "Unassigned memory pointer");
  if (size > b->Size)
    NotFound("TMemoryIOInterface.ReadBlock", "Read page error - size beyond block", address);
  std::memcpy(dest, b->Data.get(), size);
}

uint8_t* TMemoryIOInterface::ReadBlockByRef(uint32_t address, uint32_t size) {
  TMemBlock* b = Find(address);
  if (!b)
    NotFound("TMemoryIOInterface.ReadBlock", "Read page error - block address not found", address);
  if (size > b->Size)
    NotFound("TMemoryIOInterface.ReadBlock", "Read page error - size beyond block", address);
  return b->Data.get();
}

void TMemoryIOInterface::WriteBlockHeader(uint32_t address, uint32_t size, const void* data) {
  TMemBlock* b = Find(address);
  if (!b)
    NotFound("TMemoryIOInterface.WriteBlockHeader", "Write page error - block address not found",
             address);
  if (!data)
    TavDatabaseError(8581, "TMemoryIOInterface.WriteBlockHeader",
                     "Write header error - nil pointer");
  if (size > b->Size)
    NotFound("TMemoryIOInterface.WriteBlockHeader", "Write page error - size beyond block",
             address);
  std::memcpy(b->Data.get(), data, size);
}

void TMemoryIOInterface::ReadBlockHeader(uint32_t address, uint32_t size, void* dest) {
  TMemBlock* b = Find(address);
  if (!b)
    NotFound("TMemoryIOInterface.ReadBlockHeader", "Read page error - block address not found",
             address);
  if (!dest)
    TavDatabaseError(8581, "TMemoryIOInterface.ReadBlockHeader", "Read header error - nil pointer");
  if (size > b->Size)
    NotFound("TMemoryIOInterface.ReadBlockHeader", "Read page error - size beyond block", address);
  std::memcpy(dest, b->Data.get(), size);
}

void TMemoryIOInterface::ListBlocks(host::TList& list) {
  list.Clear();
  for (const TMemBlock* p = first_; p; p = p->Next) list.Add(static_cast<int32_t>(p->Address));
}

bool TMemoryIOInterface::CheckPageValid(uint32_t address) { return Find(address) != nullptr; }

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
  b.MaxBlocks = static_cast<uint32_t>(blocks_.size());
  return b;
}

}  // namespace tav
