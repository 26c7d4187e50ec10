// Table headers and the managers of the table directories.
//
// Every table has a 256-byte header block holding its id, the heads of its
// record and BLOB free chains, its counters and the root and depth of each
// index. TTableHeader is the in-memory image of one header; TTableHeaderMgr
// drives one table directory (TTableDirectory): it creates and deletes
// tables, and hands out one shared TTableHeader per open table, counted by
// users. A database has two managers, one for the system tables' directory
// and one for the user tables'. docs/file-format.md ("Table header and
// directory") gives the bytes.
//
// Callers must keep:
//  - A manager gets its BaseAddress and BaseTableID, then Open with the
//    interface of the header blocks (open, and borrowed until Close): on
//    disk the global-chain interface of usage 1, block size 256, access
//    flags 0; in memory a memory interface whose block at BaseAddress holds
//    the directory's 8192 bytes.
//  - On disk the directory lies inside the database's fixed area, after the
//    global header (system tables at PageSize, user tables at 3 * PageSize;
//    page sizes below 4096 cannot hold them): anything else raises 8581 at
//    Open rather than overwrite the headers or the first map page.
//  - Directory reads and changes run under the database's header lock. AddTable
//    and DeleteTable take the write lock, an OpenTable that must read the
//    directory (and Open) the read lock, each only when no header lock is
//    held; a lock they take is released on every path, errors included
//    (inside a transaction it stays until commit or rollback), and a lock
//    the caller holds is kept (a read lock becomes a write lock for a
//    change): THeaderLockGuard of disk_mgr.h, as the block interfaces use.
//  - Everything read from storage is checked before it is used: a damaged
//    directory, a header of any size but 256, a header whose id is not the
//    table's, an index count the image cannot hold: 8581, and nothing is
//    handed out, freed or written.
//  - A header from OpenTable stays valid until the CloseTable that brings
//    its user count to 0 (or the manager's Close); a table cannot be deleted
//    while this manager has its header open (8578).
//  - The header lock does not cover a table's header: the callers' table
//    locks do. ReadHeader notices another connection's writes through the
//    change counter and drops the table's cached pages.
//  - The record and BLOB interfaces of a table keep their free-chain heads in
//    its header (RecordFirstEmpty, BlobFirstEmpty): whoever opens those
//    interfaces sets their FirstEmpty from the header and stores it back
//    after every allocation and release.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/storage/record/io_interface.h"
#include "host/rtl/le_bytes.h"
#include "engine/storage/table/table_directory.h"
#include "host/rtl/collection.h"
#include "host/rtl/string_list.h"

namespace tav {

// The header image: 48 fixed bytes, then 6 bytes per index, in 256 bytes.
inline constexpr uint32_t kTableHeaderSize = kTableHeaderBlockSize;
inline constexpr uint32_t kTableHeaderFixedSize = 48;
inline constexpr uint32_t kTableHeaderIndexSlotSize = 6;
inline constexpr int32_t kTableHeaderMaxIndexes =
    (kTableHeaderSize - kTableHeaderFixedSize) / kTableHeaderIndexSlotSize;  // 34

// Byte offsets of the fixed items.
inline constexpr uint32_t kThTableID = 0;
inline constexpr uint32_t kThModifiedFlag = 4;
inline constexpr uint32_t kThHeaderSize = 8;
inline constexpr uint32_t kThRecordFirstEmpty = 12;
inline constexpr uint32_t kThRecordAutoIncVal = 16;
inline constexpr uint32_t kThLogicalRecordNo = 20;
inline constexpr uint32_t kThBlobFirstEmpty = 24;
inline constexpr uint32_t kThGenerator1 = 28;
inline constexpr uint32_t kThGenerator2 = 32;
inline constexpr uint32_t kThIndexCount = 36;
inline constexpr uint32_t kThInternalGenerator = 40;

class TTableHeaderMgr;

class TTableHeader : public host::TCollectionItem {
 public:
  TTableHeader() = default;
  // A header outside any collection that reads and writes through `mgr`'s
  // interface.
  explicit TTableHeader(TTableHeaderMgr* mgr) : mgr_(mgr) {}
  ~TTableHeader() override = default;

  TTableHeaderMgr* HeaderMgr() const { return mgr_; }

  // ---- the items of the image ----
  // Setters mark the header dirty only when the value changes.
  int32_t GetTableID() const;
  void SetTableID(int32_t value);
  uint32_t GetModifiedFlag() const;
  void SetModifiedFlag(uint32_t value);
  uint32_t GetRecordFirstEmpty() const;
  void SetRecordFirstEmpty(uint32_t value);
  uint32_t GetRecordAutoIncVal() const;
  void SetRecordAutoIncVal(uint32_t value);
  uint32_t GetLogicalRecordNo() const;
  void SetLogicalRecordNo(uint32_t value);
  uint32_t GetBlobFirstEmpty() const;
  void SetBlobFirstEmpty(uint32_t value);
  uint32_t GetGenerator1() const;
  void SetGenerator1(uint32_t value);
  uint32_t GetGenerator2() const;
  void SetGenerator2(uint32_t value);
  int32_t GetIndexCount() const {
    return static_cast<int32_t>(InternalGetHdrItemDWord(kThIndexCount));
  }
  // 8581 for a count whose slots the image cannot hold (below 0, above 34).
  void SetIndexCount(int32_t value);
  uint32_t GetInternalGenerator() const;
  void SetInternalGenerator(uint32_t value);
  // Index i, 0 <= i < IndexCount; any other i raises 8581.
  // Inline: every operation reads them all, and writes them all back.
  uint32_t GetIndexRoot(int index) const {
    return InternalGetHdrItemDWord(InternalGetIndexOffset(index));
  }
  void SetIndexRoot(int index, uint32_t address) {
    InternalSetHdrItemDWord(InternalGetIndexOffset(index), address);
  }
  uint16_t GetIndexDepth(int index) const {
    return InternalGetHdrItemWord(InternalGetIndexOffset(index) + 4);
  }
  void SetIndexDepth(int index, uint16_t depth) {
    InternalSetHdrItemWord(InternalGetIndexOffset(index) + 4, depth);
  }
  // Root and depth of index i at once, as the two calls above would give or
  // set them (the slot is checked once: it holds both).
  void GetIndexSlot(int index, uint32_t& root, uint16_t& depth) const {
    const uint8_t* slot = buf_.data() + InternalGetIndexOffset(index);
    root = host::GetU32(slot);
    depth = host::GetU16(slot + 4);
  }
  void SetIndexSlot(int index, uint32_t root, uint16_t depth) {
    uint8_t* slot = buf_.data() + InternalGetIndexOffset(index);
    if (host::GetU32(slot) == root && host::GetU16(slot + 4) == depth) return;
    host::PutU32(slot, root);
    host::PutU16(slot + 4, depth);
    dirty_ = true;
  }

  // The size stored at byte 8.
  uint32_t GetHeaderSize() const;
  // A zeroed image of `n` bytes with n at byte 8. Only 256 is a header size:
  // anything else raises 8581 "Debug check -  header size <> 256".
  void SetHeaderSize(uint32_t n);
  // As SetHeaderSize, but unless `clear` keeps the first min(old, n) bytes.
  void ResetHeaderSize(uint32_t n, bool clear);
  // Zeroes the whole image, the stored size included.
  void ClearHeader();

  uint32_t BaseAddress() const { return base_address_; }
  void SetBaseAddress(uint32_t value) {
    base_address_ = value;
    read_mark_ = 0;
  }
  bool Dirty() const { return dirty_; }
  // A clean image is read again at the next ReadHeader.
  void SetDirty(bool value) {
    dirty_ = value;
    if (!value) current_epoch_ = read_mark_ = 0;
  }
  int32_t UserCount() const { return user_count_; }
  void SetUserCount(int32_t value) { user_count_ = value; }
  // The image (empty until a size is set).
  const std::vector<uint8_t>& HeaderBuf() const { return buf_; }

  // Reads the image at BaseAddress; the stored size must be the image's
  // size, the index count must fit, and once the header has an id the block
  // must carry the same id (8581 otherwise, the image unchanged). A change
  // counter that was 0 or has moved drops the table's cached pages. On a
  // connection that has the file to itself, or inside a transaction that
  // holds the table, the read is skipped while the image is known to be the
  // block's (TDiskMgr::HeaderImagesStayCurrent); likewise while an
  // interface that follows its changes (a memory table's) has not changed
  // since the image was read or written (TBaseIOInterface::ChangeMark).
  void ReadHeader();
  // Counts one more change and writes the image at BaseAddress.
  void WriteHeader();
  // The change count the stored block holds now, read from storage
  // without touching the image.
  uint32_t StoredModifiedFlag() const;

  // Writes made to the table by the users sharing this image, counted in
  // memory only. A user that holds the table lock across calls does not
  // read the header again, and a user that holds it writes the image only
  // when it lets go: each user compares this count with the one it last saw
  // to learn that another wrote in between.
  uint64_t WriteCount() const { return write_count_; }
  void CountWrite() { ++write_count_; }
  // The users of this image that hold the table's lock now, kept by them:
  // the lock is given back when the last one lets go.
  int32_t LockHolders() const { return lock_holders_; }
  void SetLockHolders(int32_t value) { lock_holders_ = value; }

  // "TableID=.. BaseAddr=.. HdrSize=.. UserCount=..", the chain heads, the
  // counters and one line per index.
  void DebugDumpStatus(host::TStrings& lines) const;

  // ---- raw access (the whole item must lie inside the image: 8581) ----
  // Inline: every operation of a table reads and writes several items.
  uint32_t InternalGetHdrItemDWord(uint32_t offset) const {
    CheckItem(offset, 4, "TTableHeader.InternalGetHdrItemDWord", false);
    return host::GetU32(buf_.data() + offset);
  }
  uint16_t InternalGetHdrItemWord(uint32_t offset) const {
    CheckItem(offset, 2, "TTableHeader.InternalGetHdrItemWord", false);
    return host::GetU16(buf_.data() + offset);
  }
  void InternalSetHdrItemDWord(uint32_t offset, uint32_t value) {
    CheckItem(offset, 4, "TTableHeader.InternalSetHdrItemDWord", true);
    if (host::GetU32(buf_.data() + offset) == value) return;
    host::PutU32(buf_.data() + offset, value);
    dirty_ = true;
  }
  void InternalSetHdrItemWord(uint32_t offset, uint16_t value) {
    CheckItem(offset, 2, "TTableHeader.InternalSetHdrItemWord", true);
    if (host::GetU16(buf_.data() + offset) == value) return;
    host::PutU16(buf_.data() + offset, value);
    dirty_ = true;
  }
  // 48 + 6i for 0 <= i < IndexCount; 8581 otherwise.
  uint32_t InternalGetIndexOffset(int index) const {
    const int64_t count = GetIndexCount();
    const int64_t offset = kTableHeaderFixedSize + int64_t{kTableHeaderIndexSlotSize} * index;
    // A count read from storage could name slots past the image; the slot
    // must fit as well.
    if (index < 0 || index >= count ||
        offset + kTableHeaderIndexSlotSize > static_cast<int64_t>(buf_.size())) [[unlikely]]
      IndexSlotOutOfRange();
    return static_cast<uint32_t>(offset);
  }

 private:
  friend class TTableHeaderMgr;

  TBaseIOInterface* IOFor(const char* caller) const;
  [[noreturn]] static void IndexSlotOutOfRange();
  // The disk manager whose epoch tells whether the image is still current;
  // nullptr for memory tables.
  static TDiskMgr* EpochKeeper(const TBaseIOInterface& io);
  void CheckItem(uint32_t offset, uint32_t width, const char* caller, bool setter) const {
    if (uint64_t{offset} + width > buf_.size()) [[unlikely]]
      ItemOutOfRange(caller, setter);
  }
  [[noreturn]] void ItemOutOfRange(const char* caller, bool setter) const;

  TTableHeaderMgr* mgr_ = nullptr;
  std::vector<uint8_t> buf_;  // the image; empty = not allocated
  std::vector<uint8_t> spare_;  // ReadHeader's reading buffer, kept to spare an allocation
  bool dirty_ = false;
  // The disk manager's header epoch at which the image was last read or
  // written whole; 0: not known to be the block's.
  uint64_t current_epoch_ = 0;
  // The interface's change mark when the image was last read or written
  // whole; 0: not known to be the block's.
  uint64_t read_mark_ = 0;
  uint32_t base_address_ = 0;
  int32_t user_count_ = 0;
  uint64_t write_count_ = 0;
  int32_t lock_holders_ = 0;
};

class TTableHeaderMgr : public host::TTypedCollection<TTableHeader> {
 public:
  TTableHeaderMgr();
  // Close, errors ignored.
  ~TTableHeaderMgr() override;

  uint32_t BaseAddress() const { return base_address_; }
  void SetBaseAddress(uint32_t value) { base_address_ = value; }
  int32_t BaseTableID() const { return directory_.BaseTableID(); }
  void SetBaseTableID(int32_t value) { directory_.SetBaseTableID(value); }
  TBaseIOInterface* IOInterface() const { return io_; }
  // The directory as last read or written.
  const TTableDirectory& Directory() const { return directory_; }

  // 8581 "Base address of table header mapper has not been set" without a
  // BaseAddress; keeps the interface and reads the directory.
  void Open(TBaseIOInterface* ioInterface);
  // Writes every dirty open header, then drops them all (even when a write
  // fails; the first error is raised afterwards).
  void Close();

  // Creates a table with `indexCount` index slots (0..34; more raise 8581);
  // returns its id, the lowest free one. 9601 when the directory is full.
  int32_t AddTable(int32_t indexCount);
  // The table's shared header, one more user. 8581 "The TableID could not be
  // found: <id>" for an id the directory does not list.
  TTableHeader* OpenTable(int32_t tableID);
  // One user less; the last one writes the header if dirty and drops it.
  // 8581 "The requested object has not been assigned" for nil.
  void CloseTable(TTableHeader* header);
  // Frees the header block and takes the entry out of the directory. 8579
  // "Delete table" for an unknown id, 8578 while this manager has the header
  // open.
  void DeleteTable(int32_t tableID);

  // The open header of that table, or null.
  TTableHeader* FindHdrItemByID(int32_t tableID) const;
  // In the directory as last read: see TTableDirectory::Find.
  bool FindTableHeaderInMap(int32_t tableID, int& position) const;
  // The size stored in the header block at `address` (as stored: the caller
  // judges it).
  uint32_t ReadHeaderSize(uint32_t address);

  TTableHeader* GetItems(int index) const { return Items(index); }
  void DeleteItem(int index) { Delete(index); }

  // "Current Headers" and each open header's status; "All Headers" and one
  // line per listed table of the directory as it is stored now (read
  // without the damage checks, so that a damaged directory can be looked
  // at), and a line for each table listed after the end of the list.
  void DebugDumpAllHeaders(host::TStrings& lines);

 protected:
  host::TCollectionItem* NewItem() override { return new TTableHeader(this); }

 private:
  void RequireOpen(const char* caller) const;
  // The database of a disk interface (null for memory): its header lock
  // guards the directory.
  TDiskMgr* LockingDiskMgr() const;
  void TransferDirectory(uint8_t* image, bool write);
  // Reads and checks the directory; on damage the last good image stays.
  void ReadDirectory(const char* caller);
  void WriteDirectory();
  bool HeaderAddressValid(uint32_t address, const TChainBounds& bounds) const;
  // The header block at `address` must be table `tableID`'s, of size 256.
  void CheckHeaderBlock(uint32_t address, int32_t tableID, const char* caller);

  TTableDirectory directory_;
  TBaseIOInterface* io_ = nullptr;
  uint32_t base_address_ = 0;
};

// The size of a table header with indexCount indexes: 48 + 6 * indexCount
// rounded up to a multiple of 256. Anything but 256 (more than 34 indexes)
// raises 8581 "Debug check -  header size <> 256".
int CalcTableHeaderSize(int indexCount);

}  // namespace tav
