// Index nodes: one node of an index's counted B+-tree held in memory, with a
// cursor, and the byte-level work on its image (finding, inserting, deleting
// and replacing entries, splitting, redistributing and merging nodes, counting
// the records below entries, listing the records of a leaf).
//
// A node is one whole block of the index's I/O interface, PageSize bytes:
//   0-3   leaf flag  non-zero = leaf
//   4-7   used       entry bytes after the header
//   8-11  next       next leaf (leaf level only), 0 = none
//   12-15 prior      previous leaf (leaf level only), 0 = none
//   16..  entries    back to back in key order (key_fields.h has the entry
//                    layout); zero after the used bytes
// In an inner node an entry's key is the lowest key below it, its count the
// number of records below it and its address the child node.
//
// Callers must keep:
//  - A node belongs to one owner (the tree, through TNodeOwner: the node
//    never sees the tree itself) whose key format is open when the node is
//    opened and stays open, unchanged, while the node is in use.
//  - Positions are byte offsets of entry starts in the entry area; the ones
//    passed in come from this node (a search, a walk, FindKeyByPosition).
//  - Images read from storage are untrusted: ReadNode checks the used count
//    (and, for variable keys, every entry length) before anything else reads
//    them; fixed entries have their length checked when they are used. Damage
//    raises 8965 ("Index is corrupt"). Images built in memory (CopyNode, the
//    editing calls) are the caller's; the walks still never leave the
//    buffer.
//  - The buffer holds a page plus room for three maximum entries, so that the
//    tree may grow a node past its page while it fixes keys on the way up;
//    such a node must be split before WriteNode, which refuses it.
//  - Pointers into the node (GetCurrentKey) are valid until the node is next
//    changed or read.
#pragma once

#include <algorithm>
#include <climits>
#include <cstdint>
#include <memory>

#include "host/rtl/le_bytes.h"
#include "host/rtl/object.h"

namespace host {
class TStrings;
class TStringList;
}  // namespace host

namespace tav {

class TBaseIOInterface;
class TCompoundList;
class TKeyFormat;
class TOptimizedCompare;
class TOptimizedSearchKey;
class TReadAheadBuffer;
class TTavBaseHash;

enum TKeySearchType : uint8_t { ksLE = 0, ksEQ = 1, ksGE = 2 };
enum TNodeType : uint8_t { ntNode = 0, ntLeaf = 1 };

// Node header layout.
inline constexpr int32_t kNodeHeaderSize = 16;
inline constexpr int32_t kNodeLeaf = 0;
inline constexpr int32_t kNodeUsed = 4;
inline constexpr int32_t kNodeNext = 8;
inline constexpr int32_t kNodePrior = 12;

// What a node needs of the index it belongs to: the key format its entries
// follow, the diagnostics list, and word of a leaf header the node wrote to
// storage itself (a neighbour's link), so that copies of that leaf held in
// memory stay in step.
class TNodeOwner {
 public:
  virtual const TKeyFormat& NodeKeyFormat() const = 0;
  virtual host::TStrings* NodeDebugStrings() const = 0;
  virtual void NodeHeaderChanged(uint32_t address, const uint8_t* header) = 0;

 protected:
  ~TNodeOwner() = default;
};

class TNode : public host::TObject {
 public:
  TNode();
  TNode(const TNode&) = delete;
  TNode& operator=(const TNode&) = delete;
  ~TNode() override;

  // Keeps the owner, the interface and the page size, (re)allocates the
  // buffer, takes MaxKeySize and the key type from the owner's key format
  // (which must be open) and clears the node.
  void Open(TNodeOwner* owner, TBaseIOInterface* ioInterface, uint32_t pageSize);

  // Reads the node at `address` unless it is the one already held, and checks
  // it (8965 on damage). Cursor 0 either way.
  void ReadNode(uint32_t address);
  // Writes PageSize bytes at Address; a node past its page raises 8581.
  void WriteNode();
  // A different address clears the node and takes the address.
  void SetAddress(uint32_t address);
  // Zero-fills the buffer but keeps the leaf flag; cursor 0.
  void ClearNode();
  // As ClearNode, for a node that holds its stored image unchanged: only
  // the header and the entries it had become dirty, so that the write
  // after it stores those bytes alone (the page past the entries counts
  // for nothing: no reader looks past the used count).
  void ClearStoredEntries();
  // Copies a whole node image (PageSize bytes) into the buffer; not checked.
  void CopyNode(const uint8_t* image);
  // Forgets the node held (address 0), so that the next ReadNode reads.
  void Forget();

  void CheckOpen() const;
  // Asked at every level of every change: inline.
  bool CheckNodeFull() const {
    return int64_t{GetUsed()} + kNodeHeaderSize + max_key_size_ >= int64_t{page_size_};
  }
  bool RoomForKey(int32_t n) const {
    return int64_t{GetUsed()} + n + kNodeHeaderSize <= int64_t{page_size_};
  }
  bool CheckNodeTooEmpty() const {
    return int64_t{GetUsed()} + kNodeHeaderSize < int64_t{page_size_ / 2};
  }
  bool CheckNodeEmpty() const { return GetUsed() == 0; }
  bool CheckIsLeaf() const { return Get32(kNodeLeaf) != 0; }
  void SetLeaf(bool leaf) {
    Set32(kNodeLeaf, leaf ? 1 : 0);
    total_valid_ = false;
    sums_valid_ = false;
  }
  uint32_t GetNext() const { return Get32(kNodeNext); }
  void SetNext(uint32_t address) { Set32(kNodeNext, address); }
  uint32_t GetPrior() const { return Get32(kNodePrior); }
  void SetPrior(uint32_t address) { Set32(kNodePrior, address); }
  int32_t GetUsed() const { return static_cast<int32_t>(Get32(kNodeUsed)); }
  // Number of entries.
  int GetCount() const { return fixed_ ? GetUsed() / max_key_size_ : VariableCount(); }

  // The entry at the cursor (8581 when the cursor is not on an entry).
  const uint8_t* GetCurrentKey() const;
  uint32_t GetRecordAddress() const;
  // The entry at `position`, which must start an entry.
  const uint8_t* EntryAt(int32_t position) const {
    EntryLengthAt(position, "TNode.EntryAt");
    return Data() + position;
  }
  // The start of the entry after / before the one at `position`; GetUsed()
  // after the last, -1 before the first.
  int32_t NextEntryStart(int32_t position) const {
    return position + EntryLengthAt(position, "TNode.NextEntryStart");
  }
  int32_t PriorEntryStart(int32_t position) const;
  // The start of the last entry, 0 when empty.
  int32_t LastEntryStart() const;
  // Sets the count field of the entry at `position` in place. Every insert
  // and delete calls it once for each inner level, so it is inline.
  void SetEntryCount(int32_t position, uint32_t count) {
    EntryLengthAt(position, "TNode.SetEntryCount");  // the entry must be whole
    // The count follows the entry's 2-byte length.
    uint8_t* countField = Data() + position + 2;
    const int64_t delta = int64_t{count} - int64_t{host::GetU32(countField)};
    if (total_valid_ && !CheckIsLeaf()) total_ += delta;
    if (sums_valid_ && delta != 0) AddToSums(IndexOfStart(position, "TNode.SetEntryCount"), delta);
    host::PutU32(countField, count);
    // Only the count's bytes differ from the stored node.
    MarkDirty(kNodeHeaderSize + position + 2, kNodeHeaderSize + position + 6);
  }

  int32_t Cursor() const { return cursor_; }
  void SetCursor(int32_t position) { cursor_ = position; }
  void SetCursorToEnd(bool toStart);
  bool NextRecord();
  bool PriorRecord();
  void ForceCursorToPhysicalKey();

  int32_t FindKeyByPosition(TKeySearchType searchType, int32_t position) const;
  void MoveBlock(int32_t start, int32_t delta, bool forward);
  void InsertKey(int32_t position, const uint8_t* keyInfo);
  void DeleteKey(int32_t position);
  // Returns the change in length.
  int32_t UpdateKey(int32_t position, const uint8_t* keyInfo);
  void ReadKey(int32_t position, uint8_t* keyInfo) const;
  void CopyCurrentKey(uint8_t* keyInfo) const;

  // Moves the upper half of the entries into newNode (which takes newAddress
  // and this node's header); for a leaf, links newNode in after this node.
  void SplitNode(TNode& newNode, uint32_t newAddress);
  // The entry beside `position` whose child is the partner for a too empty
  // child: the neighbour with the smaller count, the right one on a tie;
  // -1 for a leaf or an empty node.
  int32_t GetRedistributeNode(int32_t position) const;
  // This node is the left of two neighbours: -1 when they should merge
  // instead, 0 when they are equal, 1 when entries moved.
  int RedistributeNodes(TNode& right);
  // For nodes of fixed entries like this one, what RedistributeNodes on a
  // left neighbour of `leftUsed` entry bytes and a right one of `rightUsed`
  // would do, told from the two counts alone: -1 they merge instead, 0
  // nothing moves, else the bytes that move: the left's tail from
  // `tailStart` (>= 0) to the right's front, or (tailStart -1) the right's
  // head to the left's end. -1 also for counts no fixed node can have.
  int32_t FixedRedistribution(int32_t leftUsed, int32_t rightUsed, int32_t& tailStart) const;
  // Takes other's entries after (append) or before this node's; for leaves,
  // takes over other's outer link. The caller releases other's block.
  void MergeNodes(TNode& other, bool append);

  // Searches the first keyFieldCount key fields (0 = all). In a leaf the
  // result is the first entry whose key is at least the search key (above
  // it, with afterEqual), or GetUsed() when there is none; in an inner node
  // the entry before that one, or the first. Binary search over the entries.
  // Returns the search key's order against the entry found (1 at the end or
  // in an empty node); cursor and position become the result.
  int SearchNode(int keyFieldCount, const TOptimizedSearchKey& key, bool afterEqual,
                 int32_t& position);
  // The same with the compare set up by the caller, once for every level of
  // a descent.
  int SearchNode(const TOptimizedCompare& compare, bool afterEqual, int32_t& position);
  // The entry where the running count (1 per leaf entry, the counts of inner
  // entries) reaches recNo, or the last entry; before = the count before it.
  // Returns its address field and sets the cursor there.
  uint32_t SearchNodeByRecNo(int64_t recNo, int64_t& before);
  // Records in the entries up to and including the one at position; the
  // whole node for a position outside the used bytes.
  int64_t GetRecordCount(int32_t position) const;
  int64_t GetTotalCount() const { return total_valid_ ? total_ : GetRecordCount(-1); }
  // Records in the entries before the one at position.
  int64_t CountBefore(int32_t position) const;

  // Adds field keyFieldNo (0-based) of every entry that has a value for it,
  // with the entry's record address, to hash.
  void FillHashTable(int keyFieldNo, TTavBaseHash& hash) const;
  // Adds record addresses (second value 0) from `start` to the end (forwards)
  // or from `start` down to the first entry (backwards; start < 0 = the
  // last entry). Ends before an entry that differs from key in the first
  // keyFieldCount fields (with matchKey) and after the entry whose address is
  // stopAddress (0 = none). Returns whether the walk ended.
  bool ListRecords(bool matchKey, bool backwards, TCompoundList& list, uint32_t stopAddress,
                   int32_t start, int keyFieldCount, const uint8_t* key) const;
  // Adds read-ahead items, in key order: forwards `count` entries from start
  // (from the first when start is not above 0), backwards the `count`
  // entries ending with the one at start. Returns the number added.
  int ListRecordsInNode(bool backwards, int32_t start, TReadAheadBuffer& buffer, int count) const;

  // Diagnostics. CheckNode: the first pair of neighbours out of order (its
  // compare result and position), -1001 when in order, 1001 when empty.
  int CheckNode(int32_t& position) const;
  void PrintNode(host::TStrings& lines, int level) const;
  void DebugInfo(host::TStringList& lines) const;

  uint32_t Address() const { return address_; }
  uint32_t PageSize() const { return page_size_; }
  int32_t MaxKeySize() const { return max_key_size_; }
  const uint8_t* Image() const { return image_; }

 private:
  friend class TBTree;

  uint32_t Get32(int32_t offset) const { return host::GetU32(image_ + offset); }
  void Set32(int32_t offset, uint32_t value) {
    host::PutU32(image_ + offset, value);
    MarkDirty(offset, offset + 4);
  }
  // The bytes [from, to) of the buffer may now differ from the stored node.
  void MarkDirty(int32_t from, int32_t to) {
    dirty_from_ = std::min(dirty_from_, from);
    dirty_to_ = std::max(dirty_to_, to);
  }
  void MarkAllDirty() { MarkDirty(0, static_cast<int32_t>(page_size_)); }
  void MarkClean() {
    dirty_from_ = INT32_MAX;
    dirty_to_ = 0;
    unwritten_ = false;
  }
  uint8_t* Data() { return image_ + kNodeHeaderSize; }
  const uint8_t* Data() const { return image_ + kNodeHeaderSize; }
  // Room for entries in the buffer (past the page: see the header note).
  int32_t DataCapacity() const { return capacity_ - kNodeHeaderSize; }
  void SetUsed(int32_t used);
  void Changed() {
    offsets_valid_ = false;
    total_valid_ = false;
    sums_valid_ = false;
    summed_ = 0;
  }
  // The records an entry adds to the node's total: 1 in a leaf, its count
  // in an inner node.
  int64_t RecordsOf(const uint8_t* entry) const;
  // The records of the entries in the bytes [from, to) of the entry area,
  // which must start and end on entry boundaries.
  int64_t RecordsIn(int32_t from, int32_t to) const;
  // An entry inserted, deleted or replaced: the total follows it instead of
  // being summed again.
  void KeepTotal(int64_t total) {
    total_ = total;
    total_valid_ = true;
  }
  // The counts of entries first to end-1 added up (offsets required
  // for variable keys, as for EntryPtr).
  int64_t SumOfCounts(int first, int end) const;
  // The running sums of the inner entries' counts (see sums_): built from
  // the entries, the counts of entries 0 to k-1, and entry k's count moved
  // by delta.
  void BuildSums() const;
  int64_t SumBefore(int k) const;
  void AddToSums(int k, int64_t delta);
  // Entry k's start; requires the offsets (EnsureOffsets) for variable keys.
  int32_t EntryStart(int k) const { return fixed_ ? k * max_key_size_ : offsets_[k]; }
  // Entry k, its length checked for fixed keys (8965 when it is not the key
  // size); requires the offsets for variable keys, which checked them all.
  const uint8_t* EntryPtr(int k) const;
  void EnsureOffsets() const;
  int VariableCount() const;
  // The index of the entry starting at position (8581 when none does).
  // Fixed entries lie a key size apart, so their index is a division; the
  // rest looks the position up in the offsets.
  int IndexOfStart(int32_t position, const char* caller) const {
    if (fixed_ && position >= 0 && position <= GetUsed()) {
      const int k = position / max_key_size_;
      if (k * max_key_size_ == position) return k;
    }
    return IndexOfStartSlow(position, caller);
  }
  int IndexOfStartSlow(int32_t position, const char* caller) const;
  // A caller-built entry's length, checked against the key size.
  int32_t CheckedKeyLength(const uint8_t* keyInfo, const char* caller) const;
  // The length of the entry at position, bounded by the used bytes.
  int32_t EntryLengthAt(int32_t position, const char* caller) const {
    const int32_t used = GetUsed();
    if (position < 0 || position + 2 > used) [[unlikely]]
      PositionOutOfRange(caller, position);
    const int32_t len = host::GetU16(Data() + position);
    if (len < min_entry_size_ || len > max_key_size_ || len > used - position) [[unlikely]]
      Corrupt(caller, "Invalid entry length in node");
    return len;
  }
  [[noreturn]] static void PositionOutOfRange(const char* caller, int32_t position);
  void CheckImage(const char* caller) const;
  // Fills the buffer with the node at `address`: the page's used bytes in
  // place where the interface can show them, else the whole page.
  void LoadImage(uint32_t address);
  // The node at `address` searched where it is stored: the node shows
  // `image` (a block's bytes the interface lends in place) instead of its
  // buffer, checked as ReadNode checks, until EndShow, which forgets it.
  // Meanwhile nothing changes the node, and nothing calls into the
  // interface (which may take the bytes away).
  void ShowImage(uint32_t address, const uint8_t* image);
  void EndShow();
  // Ends the showing with the shown bytes copied into the buffer, while
  // they are still lent: the node then holds the block as ReadNode reads it.
  void KeepShownImage();
  // LoadImage's copy of a page lent in place.
  void CopyStoredImage(const uint8_t* page);
  // Makes the node at `address` the one held: copied from `stored` (bytes
  // lent in place), or loaded when null, then checked as ReadNode checks.
  void TakeImage(uint32_t address, const uint8_t* stored);
  bool Showing() const { return image_ != buffer_.get(); }
  // The end of the header and entries of the image held, bounded by the
  // buffer.
  int32_t ImageEnd() const {
    const uint32_t used = Get32(kNodeUsed);
    return used <= static_cast<uint32_t>(DataCapacity()) ? kNodeHeaderSize + static_cast<int32_t>(used)
                                                          : capacity_;
  }
  [[noreturn]] void Corrupt(const char* caller, const char* what) const;
  // Sets the prior (or next) link of the leaf at address through its header.
  void SetLinkOf(uint32_t address, bool prior, uint32_t value);

  TNodeOwner* owner_ = nullptr;
  const TKeyFormat* format_ = nullptr;
  std::unique_ptr<uint8_t[]> buffer_;
  // What the node shows: its buffer, or a stored image (ShowImage).
  uint8_t* image_ = nullptr;
  TBaseIOInterface* io_ = nullptr;
  uint32_t address_ = 0;
  uint32_t page_size_ = 0;
  int32_t max_key_size_ = 0;
  int32_t cursor_ = 0;
  int32_t capacity_ = 0;
  // The node's record count (GetTotalCount), kept while the entries stay as
  // they are; SetEntryCount keeps it in step.
  mutable int64_t total_ = 0;
  mutable bool total_valid_ = false;
  // An inner node on the path of a run of inserts is asked the count before
  // its path entry at every insert, and changes only that entry's count in
  // between: once its partial sums have read enough entries with its entries
  // where they were (CountBefore), it keeps the counts in a Fenwick tree over
  // the entry indexes (1-based, sums_[k] covering the entries k - (k & -k)
  // to k - 1), which answers and follows a count change in steps of the
  // tree's height. Any other change drops it.
  mutable std::unique_ptr<int64_t[]> sums_;
  mutable int sums_count_ = 0;  // entries covered
  mutable bool sums_valid_ = false;
  // Entries CountBefore has added up (one more for each call) since the
  // last change.
  mutable int64_t summed_ = 0;
  int32_t min_entry_size_ = 0;
  // Every byte of the buffer past both ImageEnd() and this is zero: the
  // editing calls clear what they vacate, so only a whole-page load (whose
  // page may hold anything past its entries) raises it past the entries.
  int32_t nonzero_end_ = 0;
  bool fixed_ = true;
  // Entry starts for variable keys, rebuilt after a change when next needed.
  mutable std::unique_ptr<int32_t[]> offsets_;
  mutable int offset_count_ = 0;
  mutable bool offsets_valid_ = false;
  // What WriteNode must write: the buffer bytes that may differ from the
  // stored node since it was last read or written (empty when from >= to).
  // A change to a count or a few entries writes those bytes, not the page.
  int32_t dirty_from_ = 0;
  int32_t dirty_to_ = INT32_MAX;
  // The owner left a change of this node in memory for a later write
  // (TBTree's deferred inner writes): the dirty bytes must reach storage
  // before the node is read over or forgotten.
  bool unwritten_ = false;
};

}  // namespace tav
