// BLOB values (ftBlob, ftMemo, ftGraphic, ftFmtMemo) live outside the record,
// as chains of blocks of the table's BLOB interface. Each block holds the
// address of the next block (0 in the last), its count of data bytes, and up
// to BlobBlockSize - 8 data bytes; every block but the last is full. The
// record keeps the first block's address and the value's size.
//
// TBlobInterface writes, reads, rewrites and frees such chains from and to
// streams. TBlob and TBlobMgr keep, per open record, one stream and a state
// for each BLOB field of the table.
//
// Callers must keep:
//  - Every read, edit or delete of a chain is given the value's size as the
//    record holds it. A chain that disagrees with it (a link out of range, a
//    loop, a block claiming more bytes than it holds, a chain longer or
//    shorter than the size) is damage and raises 8581 before anything is
//    freed or rewritten.
//  - The I/O interface is borrowed and must outlive the open BLOB interface;
//    its blocks must be at least BlobBlockSize bytes.
//  - On a failure, ReadBlob leaves the bytes read so far in the stream.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/storage/record/block_owner.h"
#include "engine/storage/record/io_interface.h"
#include "host/rtl/collection.h"
#include "host/rtl/object.h"
#include "host/rtl/streams.h"

namespace tav {

// A BLOB block: next (0-3), used (4-7), data from 8.
inline constexpr uint32_t kBlobBlockNext = 0;
inline constexpr uint32_t kBlobBlockUsed = 4;
inline constexpr uint32_t kBlobBlockData = 8;
inline constexpr uint32_t kDefaultBlobBlockSize = 512;

class TBlobInterface : public host::TObject {
 public:
  TBlobInterface() = default;
  TBlobInterface(const TBlobInterface&) = delete;
  TBlobInterface& operator=(const TBlobInterface&) = delete;
  ~TBlobInterface() override;

  void SetIOInterface(TBaseIOInterface* value) { io_ = value; }
  TBaseIOInterface* IOInterface() const { return io_; }
  void SetBlobBlockSize(uint32_t value) { blob_block_size_ = value; }
  uint32_t BlobBlockSize() const { return blob_block_size_; }

  // 8581 without an interface or with a block size too small to hold data.
  void Open();
  // Frees the buffer, forgets the interface and the block size.
  void Close();

  // The whole stream as a new chain; its first address (0 for no bytes).
  uint32_t InsertBlob(host::TStream& stream);
  // The last `count` bytes of the stream as a new chain, built from its end
  // so that each block is written once; the first block's address.
  uint32_t WriteNewBlocks(uint32_t count, host::TStream& stream);
  // Appends the value of `size` bytes at `address` to the stream; returns
  // the bytes appended.
  uint32_t ReadBlob(uint32_t address, uint32_t size, host::TStream& stream);
  // Rewrites the value of `oldSize` bytes at `address` with the stream's
  // whole content in place, allocating or freeing only the difference.
  // Returns the chain's address: `address` itself, a new chain when there
  // was none, 0 when the stream is empty (the old chain is freed).
  uint32_t EditBlob(uint32_t address, uint32_t oldSize, host::TStream& stream);
  // Frees the chain of a value of `size` bytes.
  void DeleteBlob(uint32_t address, uint32_t size);

  // Data bytes per block.
  uint32_t Capacity() const { return blob_block_size_ - kBlobBlockData; }

 private:
  void RequireOpen(const char* caller) const;
  // Walks the chain of a `size`-byte value, checking every link and count;
  // fills `addresses` with its blocks in order.
  void CollectChain(uint32_t address, uint32_t size, const char* caller,
                    std::vector<uint32_t>& addresses);
  // WriteNewBlocks, telling which blocks it made; on a failure it frees
  // them before raising.
  uint32_t BuildChain(uint32_t count, host::TStream& stream, std::vector<uint32_t>& made);
  void ReleaseChain(const std::vector<uint32_t>& addresses, size_t from);

  TBaseIOInterface* io_ = nullptr;
  // Links name blocks of this interface's own pages.
  TBlockOwnerCheck owner_check_;
  uint32_t blob_block_size_ = 0;
  std::unique_ptr<uint8_t[]> buffer_;
  // The blocks of the chain DeleteBlob frees, kept between calls so that a
  // delete allocates nothing.
  std::vector<uint32_t> freed_;
};

enum TBlobState : uint8_t { bsNone = 0, bsInvalid = 1, bsValid = 2, bsModified = 3 };

class TBlob : public host::TCollectionItem {
 public:
  using host::TCollectionItem::TCollectionItem;

  // The record the stream belongs to; 0 = any.
  uint32_t RecID() const { return rec_id_; }
  void SetRecID(uint32_t value) { rec_id_ = value; }
  // The field's FieldIndex.
  int32_t FieldNo() const { return field_no_; }
  void SetFieldNo(int32_t value) { field_no_ = value; }
  TBlobState State() const { return state_; }
  void SetState(TBlobState value) { state_ = value; }
  host::TMemoryStream& Stream() { return stream_; }

 private:
  uint32_t rec_id_ = 0;
  int32_t field_no_ = 0;
  TBlobState state_ = bsNone;
  host::TMemoryStream stream_;
};

class TBlobMgr : public host::TTypedCollection<TBlob> {
 public:
  // The first item of that field whose RecID is recID (any RecID when 0).
  TBlob* FindBlob(uint32_t recID, int32_t fieldNo) const;
  void InvalidateStreams();
  // bsNone when empty, bsInvalid when any is invalid, else bsModified when
  // any is modified, else bsValid.
  TBlobState CheckBlobStates() const;
};

}  // namespace tav
