#include "engine/storage/record/blob.h"

#include "host/rtl/le_bytes.h"

#include <endian.h>

#include <algorithm>
#include <cstring>

#include "engine/storage/base/tav_errors.h"
#include "host/rtl/format.h"

namespace tav {

namespace {

using host::GetU32;
using host::PutU32;



// Values are at most what a 32-bit size and a 2 GB file can hold.
constexpr int64_t kMaxBlobSize = 0x7FFFFFFF;

[[noreturn]] void ChainDamaged(const char* caller, const char* what, uint32_t address) {
  TavDatabaseError(kUnexpectedInternalError, caller, host::Format("%s %u", {what, address}));
}

}  // namespace

TBlobInterface::~TBlobInterface() {
  Close();
}

void TBlobInterface::Open() {
  if (!io_)
    TavDatabaseError(kUnexpectedInternalError, "TBlobInterface.Open",
                     "Unable to create blob interface - IOInterface is null");
  if (blob_block_size_ == 0)
    TavDatabaseError(kUnexpectedInternalError, "TBlobInterface.Open",
                     "Unable to create blob interface - Block size is 0");
  // A block must carry at least one data byte after its next and used words,
  // or no chain could ever end.
  if (blob_block_size_ <= kBlobBlockData)
    TavDatabaseError(kUnexpectedInternalError, "TBlobInterface.Open",
                     "Unable to create blob interface - Block size too small");
  buffer_ = std::make_unique<uint8_t[]>(blob_block_size_);
  owner_check_.Open(*io_);
}

void TBlobInterface::Close() {
  owner_check_.Close();
  buffer_.reset();
  blob_block_size_ = 0;
  io_ = nullptr;
}

void TBlobInterface::RequireOpen(const char* caller) const {
  if (!buffer_ || !io_) TavDatabaseError(kSystemObjectIsNotInitialized, caller);
}

uint32_t TBlobInterface::InsertBlob(host::TStream& stream) {
  const int64_t size = stream.Size();
  if (size > kMaxBlobSize)
    TavDatabaseError(kUnexpectedInternalError, "TBlobInterface.InsertBlob", "Blob too large");
  return WriteNewBlocks(static_cast<uint32_t>(size), stream);
}

uint32_t TBlobInterface::WriteNewBlocks(uint32_t count, host::TStream& stream) {
  RequireOpen("TBlobInterface.WriteNewBlocks");
  std::vector<uint32_t> made;
  return BuildChain(count, stream, made);
}

uint32_t TBlobInterface::BuildChain(uint32_t count, host::TStream& stream,
                                    std::vector<uint32_t>& made) {
  made.clear();
  if (count == 0) return 0;
  const int64_t streamSize = stream.Size();
  if (count > streamSize)
    TavDatabaseError(kUnexpectedInternalError, "TBlobInterface.WriteNewBlocks",
                     "Blob stream shorter than count");
  const uint32_t cap = Capacity();
  uint8_t* buf = buffer_.get();
  std::memset(buf, 0, blob_block_size_);

  // Built from the end, so that every block is written once with its
  // successor already known; what was allocated is given back on a failure.
  made.reserve(count / cap + 1);
  uint32_t chunk = count % cap == 0 ? cap : count % cap;
  int64_t position = streamSize - chunk;
  uint32_t remaining = count;
  uint32_t next = 0;
  try {
    while (remaining > 0) {
      stream.SetPosition(position);
      stream.ReadBuffer(buf + kBlobBlockData, static_cast<int32_t>(chunk));
      PutU32(buf + kBlobBlockNext, next);
      PutU32(buf + kBlobBlockUsed, chunk);
      next = io_->AllocateNewAddress(blob_block_size_, buf);
      made.push_back(next);
      remaining -= chunk;
      chunk = cap;
      position -= chunk;
    }
  } catch (...) {
    ReleaseChain(made, 0);
    made.clear();
    throw;
  }
  return next;
}

void TBlobInterface::ReleaseChain(const std::vector<uint32_t>& addresses, size_t from) {
  // Best effort on a failure path: the first error is the one the caller sees.
  for (size_t i = from; i < addresses.size(); ++i) {
    try {
      io_->ReleaseBlock(addresses[i], blob_block_size_);
    } catch (...) {
    }
  }
}

void TBlobInterface::CollectChain(uint32_t address, uint32_t size, const char* caller,
                                  std::vector<uint32_t>& addresses) {
  addresses.clear();
  if (address == 0) {
    if (size != 0) ChainDamaged(caller, "Blob chain missing for size", size);
    return;
  }
  const uint32_t cap = Capacity();
  const uint64_t blocks = (uint64_t{size} + cap - 1) / cap;
  const TChainBounds bounds = io_->GetChainBounds();
  if (blocks == 0 || blocks > bounds.MaxBlocks)
    ChainDamaged(caller, "Blob chain size out of range", size);
  addresses.reserve(static_cast<size_t>(blocks));
  uint8_t header[kBlobBlockData];
  uint64_t total = 0;
  while (address != 0) {
    if (address < bounds.Low || address >= bounds.High)
      ChainDamaged(caller, "Blob chain link out of range", address);
    owner_check_.Check(address, caller);
    if (addresses.size() == blocks)
      ChainDamaged(caller, "Blob chain longer than its size", address);
    io_->ReadBlockHeader(address, kBlobBlockData, header);
    const uint32_t used = GetU32(header + kBlobBlockUsed);
    if (used > cap) ChainDamaged(caller, "Blob block used count exceeds block size", address);
    total += used;
    if (total > size) ChainDamaged(caller, "Blob chain longer than its size", address);
    addresses.push_back(address);
    address = GetU32(header + kBlobBlockNext);
  }
  if (total != size) ChainDamaged(caller, "Blob chain shorter than its size", addresses.back());
}

uint32_t TBlobInterface::ReadBlob(uint32_t address, uint32_t size, host::TStream& stream) {
  RequireOpen("TBlobInterface.ReadBlob");
  const char* caller = "TBlobInterface.ReadBlob";
  if (address == 0) {
    if (size != 0) ChainDamaged(caller, "Blob chain missing for size", size);
    return 0;
  }
  // The walk is bounded by the recorded size: a loop or a stray link is
  // caught within ceil(size / capacity) blocks.
  const uint32_t cap = Capacity();
  const uint64_t blocks = (uint64_t{size} + cap - 1) / cap;
  const TChainBounds bounds = io_->GetChainBounds();
  if (blocks == 0 || blocks > bounds.MaxBlocks)
    ChainDamaged(caller, "Blob chain size out of range", size);
  uint8_t* buf = buffer_.get();
  uint64_t total = 0;
  uint64_t count = 0;
  while (address != 0) {
    if (address < bounds.Low || address >= bounds.High)
      ChainDamaged(caller, "Blob chain link out of range", address);
    owner_check_.Check(address, caller);
    if (count == blocks) ChainDamaged(caller, "Blob chain longer than its size", address);
    io_->ReadBlock(address, blob_block_size_, buf);
    const uint32_t used = GetU32(buf + kBlobBlockUsed);
    if (used > cap) ChainDamaged(caller, "Blob block used count exceeds block size", address);
    if (total + used > size) ChainDamaged(caller, "Blob chain longer than its size", address);
    stream.WriteBuffer(buf + kBlobBlockData, static_cast<int32_t>(used));
    total += used;
    ++count;
    const uint32_t next = GetU32(buf + kBlobBlockNext);
    if (next == 0 && total != size)
      ChainDamaged(caller, "Blob chain shorter than its size", address);
    address = next;
  }
  return static_cast<uint32_t>(total);
}

uint32_t TBlobInterface::EditBlob(uint32_t address, uint32_t oldSize, host::TStream& stream) {
  RequireOpen("TBlobInterface.EditBlob");
  const int64_t size64 = stream.Size();
  if (size64 > kMaxBlobSize)
    TavDatabaseError(kUnexpectedInternalError, "TBlobInterface.EditBlob", "Blob too large");
  const auto size = static_cast<uint32_t>(size64);
  if (size == 0) {
    DeleteBlob(address, oldSize);
    return 0;
  }
  std::vector<uint32_t> old;
  // Checked whole before anything is rewritten, so a damaged chain is left
  // as it was.
  CollectChain(address, oldSize, "TBlobInterface.EditBlob", old);
  if (old.empty()) return WriteNewBlocks(size, stream);

  const uint32_t cap = Capacity();
  const uint64_t needed = (uint64_t{size} + cap - 1) / cap;
  const size_t kept = static_cast<size_t>(std::min<uint64_t>(needed, old.size()));
  // Bytes beyond the old chain go into a new chain first, so that the last
  // kept block is written once, already linked to it.
  std::vector<uint32_t> made;
  uint32_t tail = 0;
  if (needed > old.size())
    tail = BuildChain(size - static_cast<uint32_t>(kept) * cap, stream, made);

  uint8_t* buf = buffer_.get();
  uint32_t remaining = size;
  try {
    stream.SetPosition(0);
    for (size_t i = 0; i < kept; ++i) {
      const uint32_t chunk = std::min(remaining, cap);
      std::memset(buf, 0, blob_block_size_);
      stream.ReadBuffer(buf + kBlobBlockData, static_cast<int32_t>(chunk));
      const bool last = i + 1 == kept;
      PutU32(buf + kBlobBlockNext, last ? tail : old[i + 1]);
      PutU32(buf + kBlobBlockUsed, chunk);
      io_->WriteBlock(old[i], blob_block_size_, buf);
      remaining -= chunk;
    }
  } catch (...) {
    ReleaseChain(made, 0);
    throw;
  }
  // The old chain was longer: what follows the last kept block is free.
  for (size_t i = kept; i < old.size(); ++i) io_->ReleaseBlock(old[i], blob_block_size_);
  return address;
}

void TBlobInterface::DeleteBlob(uint32_t address, uint32_t size) {
  RequireOpen("TBlobInterface.DeleteBlob");
  // The whole chain is checked before the first block is freed: freeing
  // along a damaged link would put another table's blocks on our free chain.
  CollectChain(address, size, "TBlobInterface.DeleteBlob", freed_);
  for (uint32_t a : freed_) io_->ReleaseBlock(a, blob_block_size_);
  // A long chain's list is not kept.
  if (freed_.capacity() > 1024) std::vector<uint32_t>().swap(freed_);
}

// ---- TBlobMgr ----

TBlob* TBlobMgr::FindBlob(uint32_t recID, int32_t fieldNo) const {
  for (int i = 0; i < Count(); ++i) {
    TBlob* b = Items(i);
    if (b->FieldNo() == fieldNo && (recID == 0 || b->RecID() == recID)) return b;
  }
  return nullptr;
}

void TBlobMgr::InvalidateStreams() {
  for (int i = 0; i < Count(); ++i) Items(i)->SetState(bsInvalid);
}

TBlobState TBlobMgr::CheckBlobStates() const {
  if (Count() == 0) return bsNone;
  bool modified = false;
  for (int i = 0; i < Count(); ++i) {
    const TBlobState s = Items(i)->State();
    if (s == bsInvalid) return bsInvalid;
    if (s == bsModified) modified = true;
  }
  return modified ? bsModified : bsValid;
}

}  // namespace tav
