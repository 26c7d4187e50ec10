// Block I/O interfaces: the one way table headers, records, BLOB chains and
// index nodes reach their storage. A block is named by a 32-bit address.
//
// TBaseIOInterface is the abstract interface with the settings every variant
// shares. TMemoryIOInterface keeps each block as its own heap buffer (memory
// tables); TDiskIOInterface keeps blocks inside database pages owned by one
// table and one usage, with a chain of free blocks whose head lives either in
// the owner (a table header) or in the database's global header.
//
// Callers must keep:
//  - A pointer from ReadBlockByRef is valid only until the next call into the
//    interface or into anything that shares its disk manager (another
//    interface, the disk manager, the page cache): on disk it points into a
//    cached page that the next transfer may refill with another page. Edit in
//    place, hand it back through WriteBlockByRef, and drop it. On a memory
//    interface it stays the block's own buffer until the block is released
//    or the interface emptied or destroyed.
//  - Buffers handed to ReadBlock, WriteBlock and AllocateNewAddress hold at
//    least `size` bytes; `size` never exceeds BlockSize on disk, nor the
//    block's allocated size in memory (both checked: 8581).
//  - A local disk interface (GlobalFirstEmptyOffset 0) allocates only after
//    its owner set FirstEmpty and FirstEmptyValid from the table header, and
//    the owner reads FirstEmpty back after every allocation and release.
//  - A change of a global chain (GlobalFirstEmptyOffset not 0) holds the
//    header write lock. A header lock the caller already holds is kept (a
//    read lock becomes a write lock) and the header is written if dirty; a
//    lock the call took is released, on error paths too, or inside a
//    transaction kept until commit or rollback (THeaderLockGuard). A caller
//    that holds the lock across several calls keeps other connections out
//    of the chain in between.
//  - Free-chain links and released addresses are checked against the file
//    (tables' blocks lie from page 6 to the end of file): damage raises
//    8581 and nothing is handed out or freed.
//  - Memory block addresses are handles, not pointers: unique in the process
//    and never reused for another block while the process lives (until 2^32
//    blocks have been made), so a stale address fails the address check.
//  - The DiskMgr and DebugStrings are borrowed and must outlive the interface
//    while it is open.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "host/rtl/list.h"
#include "host/rtl/object.h"
#include "host/rtl/string_list.h"

namespace tav {

class TDiskMgr;

enum TIOMode : uint8_t {
  iomNone = 0,
  iomMemory = 1,
  iomDiskFixedSize = 2,
  iomDiskVariableSize = 3,
};

// What the blocks of an interface hold: the low 4 bits of the page owner
// word in the map pages (owner = TableID shl 4 or Usage).
inline constexpr uint16_t kUsageTableHeader = 1;
inline constexpr uint16_t kUsageIndex = 8;
inline constexpr uint16_t kUsageRecord = 9;
inline constexpr uint16_t kUsageBlob = 10;

// Block sizes the engine sets up for its fixed users.
inline constexpr uint32_t kTableHeaderBlockSize = 256;
inline constexpr uint32_t kIndexBlockSize = 4096;

// A free disk block starts with 8 zero bytes, then the address of the next
// free run and the number of free blocks in its own run (itself included);
// the other blocks of a run are all zero.
inline constexpr uint32_t kFreeBlockNext = 8;
inline constexpr uint32_t kFreeBlockCount = 12;
inline constexpr uint32_t kFreeBlockHeader = 16;

// Where the blocks of a chain read from storage may lie: [Low, High) for
// every address a link names, and at most MaxBlocks blocks in one chain.
struct TChainBounds {
  uint32_t Low = 0;
  uint64_t High = 0;
  uint32_t MaxBlocks = 0;
};

class TBaseIOInterface : public host::TObject {
 public:
  TBaseIOInterface() = default;
  TBaseIOInterface(const TBaseIOInterface&) = delete;
  TBaseIOInterface& operator=(const TBaseIOInterface&) = delete;
  ~TBaseIOInterface() override = default;

  uint32_t BlockSize() const { return block_size_; }
  void SetBlockSize(uint32_t value) { block_size_ = value; }
  TIOMode IOMode() const { return io_mode_; }
  void SetIOMode(TIOMode value) { io_mode_ = value; }
  host::TStrings* DebugStrings() const { return debug_strings_; }
  void SetDebugStrings(host::TStrings* value) { debug_strings_ = value; }
  uint16_t Usage() const { return usage_; }
  void SetUsage(uint16_t value) { usage_ = value; }
  uint16_t TableID() const { return table_id_; }
  void SetTableID(uint16_t value) { table_id_ = value; }
  // TableID shl 4 or Usage, as set by Open.
  uint16_t PageOwner() const { return page_owner_; }
  uint32_t FirstEmpty() const { return first_empty_; }
  void SetFirstEmpty(uint32_t value) { first_empty_ = value; }
  TDiskMgr* DiskMgr() const { return disk_mgr_; }
  void SetDiskMgr(TDiskMgr* value) { disk_mgr_ = value; }
  // 0: the free-chain head belongs to the owner; else its offset in the
  // global header.
  int32_t GlobalFirstEmptyOffset() const { return global_first_empty_offset_; }
  void SetGlobalFirstEmptyOffset(int32_t value) { global_first_empty_offset_ = value; }
  bool FirstEmptyValid() const { return first_empty_valid_; }
  void SetFirstEmptyValid(bool value) { first_empty_valid_ = value; }
  uint32_t AccessFlags() const { return access_flags_; }
  void SetAccessFlags(uint32_t value) { access_flags_ = value; }

  virtual void Open();
  virtual void Close();
  virtual void Empty(bool flag);
  // Stores `size` bytes of `data` in a new block; returns its address.
  virtual uint32_t AllocateNewAddress(uint32_t size, const void* data);
  virtual void ReleaseBlock(uint32_t address, uint32_t size);
  virtual void WriteBlock(uint32_t address, uint32_t size, const void* data);
  // Hands back a block edited in place through ReadBlockByRef.
  virtual void WriteBlockByRef(uint32_t address, uint32_t size, const uint8_t* data);
  virtual void ReadBlock(uint32_t address, uint32_t size, void* dest);
  // The block's bytes in place (see the header note on how long they live).
  virtual uint8_t* ReadBlockByRef(uint32_t address, uint32_t size);
  // The first `size` bytes ReadBlock would copy, in place and read only,
  // where they can be had without a copy; nullptr otherwise (the caller
  // then reads them with ReadBlock, which reports any error). Lives as long
  // as a ReadBlockByRef pointer.
  virtual const uint8_t* PeekBlock(uint32_t address, uint32_t size);
  virtual void WriteBlockHeader(uint32_t address, uint32_t size, const void* data);
  virtual void ReadBlockHeader(uint32_t address, uint32_t size, void* dest);
  // Writes `size` bytes of `data` at `offset` inside the block at `address`
  // and returns true; false (nothing written) where blocks are written
  // whole only, as here.
  virtual bool WriteBlockPart(uint32_t address, uint32_t offset, uint32_t size, const void* data);
  // For a change made in place to bytes [offset, offset + size) of the
  // block at `address`: inside an open transaction, where the page cache
  // holds the block's page (changed by the transaction already or not),
  // that page counts those bytes changed and the block's first byte is
  // returned, to be changed in those bytes only and dropped before
  // the next call into the interface other than another EditBlockPart (as a
  // ReadBlockByRef pointer); nullptr,
  // with nothing done, otherwise (as here): the caller then writes. Bytes
  // lent before (PeekBlock, ReadBlockByRef) stay lent through a refusal.
  virtual uint8_t* EditBlockPart(uint32_t address, uint32_t offset, uint32_t size);
  virtual void ShowBlocks(host::TStrings& lines);
  virtual void ListBlocks(host::TList& list);
  virtual bool CheckPageValid(uint32_t address);
  virtual void ShowStatus(host::TStringList& lines);
  virtual uint32_t GetNextMemoryBlockAddress(uint32_t address);
  virtual bool CheckBlockAddressValid(uint32_t address);
  virtual void NotifyPageChange(uint32_t owner);

  // Bounds for walking a chain whose links come from storage (BLOB chains):
  // a link outside them is damage. The base class admits nothing.
  virtual TChainBounds GetChainBounds();

  // A mark that moves with every change of the interface's blocks and is
  // never the same for two states of two interfaces, so that an image read
  // at one mark is known to be the block's while the mark stays; 0 where
  // changes are not followed (as here), and an image must be read again.
  virtual uint64_t ChangeMark() const { return 0; }

  // While on, an allocation from a run of free blocks keeps the image it
  // wrote of the run's next head, and the next allocation takes that block
  // without reading it again. Only for a run of writes that no one else's
  // writes to the table can interleave (a statement under the table's write
  // lock); off forgets the image. Nothing to keep here.
  virtual void SetKeepRunHead(bool) {}

 private:
  uint32_t block_size_ = 0;
  TIOMode io_mode_ = iomNone;
  host::TStrings* debug_strings_ = nullptr;
  uint16_t usage_ = 0;
  uint16_t table_id_ = 0;
  uint16_t page_owner_ = 0;
  uint32_t first_empty_ = 0;
  TDiskMgr* disk_mgr_ = nullptr;
  int32_t global_first_empty_offset_ = 0;
  bool first_empty_valid_ = false;
  uint32_t access_flags_ = 0;
};

class TMemoryIOInterface : public TBaseIOInterface {
 public:
  TMemoryIOInterface();
  ~TMemoryIOInterface() override;

  // Frees every block of this interface, then Close.
  void Empty(bool flag) override;
  uint32_t AllocateNewAddress(uint32_t size, const void* data) override;
  // An address that is not listed is ignored.
  void ReleaseBlock(uint32_t address, uint32_t size) override;
  void WriteBlock(uint32_t address, uint32_t size, const void* data) override;
  void WriteBlockByRef(uint32_t address, uint32_t size, const uint8_t* data) override;
  void ReadBlock(uint32_t address, uint32_t size, void* dest) override;
  uint8_t* ReadBlockByRef(uint32_t address, uint32_t size) override;
  const uint8_t* PeekBlock(uint32_t address, uint32_t size) override;
  void WriteBlockHeader(uint32_t address, uint32_t size, const void* data) override;
  // Writes the changed span of a block (an index node's) in place.
  bool WriteBlockPart(uint32_t address, uint32_t offset, uint32_t size, const void* data) override;
  void ReadBlockHeader(uint32_t address, uint32_t size, void* dest) override;
  // Every block address, in allocation order.
  void ListBlocks(host::TList& list) override;
  bool CheckPageValid(uint32_t address) override;
  void ShowStatus(host::TStringList& lines) override;
  // 0 gives the first block; otherwise the next in allocation order, 0 after
  // the last; an unknown address gives the first.
  uint32_t GetNextMemoryBlockAddress(uint32_t address) override;
  bool CheckBlockAddressValid(uint32_t address) override;
  void NotifyPageChange(uint32_t owner) override;
  TChainBounds GetChainBounds() override;

  int BlockCount() const { return static_cast<int>(block_count_); }
  // Moves with every write, allocation and release, and with every block
  // lent by reference (which may be written through).
  uint64_t ChangeMark() const override { return change_mark_; }

  // The process's next handle, to let tests reach the end of the sequence.
  static void SetNextHandleForTesting(uint64_t value);

 private:
  // A block's header; its bytes follow it.
  struct TMemBlock {
    uint32_t Address = 0;
    uint32_t Size = 0;
    TMemBlock* Prev = nullptr;
    TMemBlock* Next = nullptr;
    bool Pooled = false;  // lies in a chunk; otherwise it is its own allocation
    uint8_t* Data() { return reinterpret_cast<uint8_t*>(this + 1); }
    const uint8_t* Data() const { return reinterpret_cast<const uint8_t*>(this + 1); }
  };
  static_assert(sizeof(TMemBlock) % 16 == 0, "a block's bytes stay 16-byte aligned");
  // Blocks of up to kPooledBytes come from chunks of the interface, by size
  // class (multiples of kPoolGrain, header included): a released one waits
  // for the next block of its class. The chunks go when the interface is
  // emptied, but for the first few, which the next fill uses again. Larger
  // blocks are allocated and freed one by one.
  static constexpr uint32_t kPoolGrain = 16;
  static constexpr uint32_t kPooledBytes = 1024;
  static constexpr size_t kPoolClasses = (sizeof(TMemBlock) + kPooledBytes) / kPoolGrain;
  static constexpr size_t kFirstChunkBytes = 4096;
  static constexpr size_t kLargestChunkBytes = 256 * 1024;
  static constexpr size_t kChunksKept = 4;

  TMemBlock* Find(uint32_t address) const;
  uint32_t NewHandle() const;
  [[noreturn]] void NotFound(const char* caller, const char* message, uint32_t address) const;
  void FreeAll();
  // A block header with room for `size` bytes (not cleared).
  TMemBlock* TakeBlock(uint32_t size);
  void GiveBack(TMemBlock* block);
  static size_t PooledClass(uint32_t size) {
    return (sizeof(TMemBlock) + size + kPoolGrain - 1) / kPoolGrain - 1;
  }
  // The address table: open addressing, linear probing, at most half full.
  size_t Home(uint32_t address) const {
    return static_cast<size_t>((address * 2654435761u) >> (32 - slot_bits_));
  }
  void InsertSlot(TMemBlock* block);
  void EraseSlot(uint32_t address);
  void GrowSlots();

  std::vector<TMemBlock*> slots_;
  int slot_bits_ = 0;
  size_t block_count_ = 0;
  void MarkChange();
  uint64_t change_mark_ = 0;
  TMemBlock* first_ = nullptr;  // allocation order
  TMemBlock* last_ = nullptr;
  std::vector<std::unique_ptr<uint8_t[]>> chunks_;
  size_t chunk_no_ = 0;          // the chunk being carved
  size_t chunk_used_ = 0;        // bytes of it handed out
  std::array<std::vector<TMemBlock*>, kPoolClasses> released_;  // by size class
  // One bit per size class that has had a block released since the last
  // FreeAll: the lists FreeAll has to empty.
  std::array<uint64_t, (kPoolClasses + 63) / 64> released_classes_{};
};

class TDiskIOInterface : public TBaseIOInterface {
 public:
  TDiskIOInterface();
  ~TDiskIOInterface() override;

  // Checks the settings and (re)allocates the work buffer for BlockSize.
  void Open() override;
  void Close() override;
  // Frees every page of this table and usage (DeleteOwnedPages with `flag`);
  // FirstEmpty must be loaded again afterwards.
  void Empty(bool flag) override;
  // The first block of the free chain, else a new request of pages (sized
  // by GetBestPageRequestSize in fixed mode, the fewest pages for a block
  // in variable mode) whose spare blocks become a free run. `size` <=
  // BlockSize; the rest of the block is zero.
  uint32_t AllocateNewAddress(uint32_t size, const void* data) override;
  // Whole page-aligned pages go back to the map; anything else becomes a
  // free run at the head of the chain.
  void ReleaseBlock(uint32_t address, uint32_t size) override;
  void WriteBlock(uint32_t address, uint32_t size, const void* data) override;
  void WriteBlockByRef(uint32_t address, uint32_t size, const uint8_t* data) override;
  void ReadBlock(uint32_t address, uint32_t size, void* dest) override;
  uint8_t* ReadBlockByRef(uint32_t address, uint32_t size) override;
  // In the page cache, for a cached area whose block lies in one page.
  const uint8_t* PeekBlock(uint32_t address, uint32_t size) override;
  void WriteBlockHeader(uint32_t address, uint32_t size, const void* data) override;
  bool WriteBlockPart(uint32_t address, uint32_t offset, uint32_t size,
                      const void* data) override;
  uint8_t* EditBlockPart(uint32_t address, uint32_t offset, uint32_t size) override;
  void ReadBlockHeader(uint32_t address, uint32_t size, void* dest) override;
  void ListBlocks(host::TList& list) override;
  void NotifyPageChange(uint32_t owner) override;
  void SetKeepRunHead(bool value) override {
    keep_run_head_ = value;
    known_run_head_ = 0;
  }
  TChainBounds GetChainBounds() override;

  // Loads FirstEmpty from the global header (global interfaces only).
  void GetGlobalFirstEmpty();
  // Stores FirstEmpty into the global header (global interfaces only).
  void SetGlobalFirstEmpty();

 private:
  void RequireOpen(const char* caller) const;
  // 8581 when a transfer is larger than a block.
  void CheckSize(uint32_t size, const char* caller) const;
  // Loads FirstEmpty for a change of the chain: from the global header (its
  // write lock held), or as the owner set it.
  void LoadFirstEmpty(const char* caller);
  uint32_t AllocateFromChain(uint32_t size, const void* data);
  uint32_t AllocateNewPages(uint32_t size, const void* data);
  // Writes a whole block holding `size` bytes of `data`, zeros after them.
  void WriteWhole(uint32_t address, uint32_t size, const void* data);
  // The end of file as last seen (refreshed on demand).
  uint32_t FileEnd(bool refresh);
  // Whether `count` blocks from `address` lie in the tables' part of the
  // file.
  bool RunInRange(uint32_t address, uint64_t count);

  std::unique_ptr<uint8_t[]> work_;  // 2 * BlockSize bytes
  uint32_t work_size_ = 0;
  bool keep_run_head_ = false;
  // With keep_run_head_: the free block whose image the second half of
  // work_ holds as this interface last wrote it (0 = none).
  uint32_t known_run_head_ = 0;
  uint32_t file_end_ = 0;       // 0 = not known
  std::vector<uint8_t> pages_;  // the pages of a new request, reused
};

}  // namespace tav
