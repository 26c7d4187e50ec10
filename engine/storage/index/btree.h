// TBTree: one open index of one table, a counted B+-tree of TNode pages
// (index_node.h) in the table's index blocks. It keeps the path from the root
// to the current leaf entry (one node and one entry position per level),
// searches by key with six search types, inserts and deletes entries with
// splitting, redistribution and merging, numbers records by the subtree
// counts of the inner entries, steps along the leaf level and lists the
// records that match a key.
//
// The root block never moves while the index exists: a root split copies the
// old root into a new block and a collapse copies the only child back. The
// root address and the depth live with the index's owner (the table header);
// the tree reads them through two variables at every search and writes them
// after every change.
//
// Searches. The search key is the key entry, built by one of the Construct
// calls (with optional comparison markers). A search compares either all key
// fields (full) or, through a TSearchModifier with LimitedSearch, the first
// IncludedKeyFieldCount fields (or the visible fields before the first hidden
// one): a limited search on a non-unique index, whose entries end with a
// hidden record number, matches a run of entries. In a run, stEQ, stGE and
// stLEG land on its first entry, stLE on its last, and stGT and stLT step
// past the whole run. stLEG finds the least entry not below the key, else the
// greatest entry of the index.
//
// Callers must keep:
//  - Configuration before Open: ConnectToIFace, the key fields (KeyFields(),
//    with DataOffset), SetMaximumKeySize, SetIndexKeyType, SetDBStringCompare.
//    The interface, the root and depth variables and the diagnostics list are
//    borrowed and must outlive the tree's use of them.
//  - A disk interface's block size is the index page size (one node per
//    block); ConnectToIFace checks it.
//  - The page must hold at least six maximum entries plus the header room
//    (6 * MaximumKeySize + 32 <= PageSize); Open checks it. With 4096-byte
//    pages that admits keys up to 677 bytes.
//  - Nodes are cached per level (with a few inner nodes a level left
//    behind) and reread only when another node is needed: when another
//    user may have changed the index's blocks, call
//    InvalidateInternalBuffers before the next search.
//  - The path (and with it NextRecord, PriorRecord, GetRecAddr, GetRecordNo,
//    the listings) is valid after a search that found a position and until the
//    next change: IdxInsert, IdxDelete, InsertKey and DeleteKey leave it
//    invalid, as do GetAddrOfRecNo and EmptyTree.
//  - Pointers from GetCurrentKeyBuf point into a node and are valid until the
//    next call into the tree.
//  - Data from storage is untrusted: damaged nodes, links or depth raise 8965
//    ("Index is corrupt"); misuse raises 8581 or an assertion.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/storage/index/index_node.h"
#include "engine/storage/index/key_fields.h"
#include "engine/storage/record/read_ahead.h"
#include "host/rtl/object.h"

namespace host {
class TStrings;
class TStringList;
class Variant;
}  // namespace host

namespace tav {

class TBaseIOInterface;
class TCompoundList;
class TTavBaseHash;

enum TIndexSearchType : uint8_t { stLT = 0, stLE = 1, stEQ = 2, stGE = 3, stGT = 4, stLEG = 5 };

// How many key fields a search compares.
class TSearchModifier : public host::TObject {
 public:
  int32_t IncludedKeyFieldCount() const { return included_key_field_count_; }
  void SetIncludedKeyFieldCount(int32_t value) { included_key_field_count_ = value; }
  bool LimitedSearch() const { return limited_search_; }
  void SetLimitedSearch(bool value) { limited_search_ = value; }

 private:
  int32_t included_key_field_count_ = 0;
  bool limited_search_ = false;
};

// Deepest tree the engine accepts; a depth beyond it is damage.
inline constexpr uint32_t kMaxTreeDepth = 64;
// Inner nodes a tree keeps besides the ones on its path. A tree holds only
// as many as its descents have left behind, so a small tree holds few; a
// large one keeps the inner levels nearest the root and as much of the next
// one as this allows (the level above the leaves of a tree of a million
// 40-byte keys has about 350 nodes of 4 KB). Each dataset's trees keep their
// own, so the copies of one tree stay within about 2 MB: fewer, larger
// nodes for larger pages.
inline constexpr size_t kHeldInnerNodes = 512;
inline constexpr size_t kHeldInnerBytes = size_t{2} << 20;
inline constexpr size_t kHeldInnerNodesAtLeast = 32;

class TBTree : public host::TObject, public TNodeOwner {
 public:
  TBTree();
  TBTree(const TBTree&) = delete;
  TBTree& operator=(const TBTree&) = delete;
  ~TBTree() override;

  // ---- configuration ----
  void ConnectToIFace(TBaseIOInterface* ioInterface, uint32_t pageSize, uint32_t& root,
                      uint32_t& depth);
  void SetPageSize(uint32_t value);
  // Sizes the three entry buffers to value + 1 bytes.
  void SetMaximumKeySize(int32_t value);
  void SetDebugStrings(host::TStrings* value) { debug_strings_ = value; }
  void SetLocked(bool value) { locked_ = value; }
  void SetDBStringCompare(TDBStringCompare value);
  void SetIndexKeyType(TIndexKeyType value) { index_key_type_ = value; }
  // The key description (owned); filled by the index item before Open.
  TKeyFields& KeyFields() { return key_fields_; }
  const TKeyFields& KeyFields() const { return key_fields_; }

  TBaseIOInterface* IOInterface() const { return io_; }
  uint32_t PageSize() const { return page_size_; }
  int32_t MaximumKeySize() const { return maximum_key_size_; }
  TIndexKeyType IndexKeyType() const { return index_key_type_; }
  bool Locked() const { return locked_; }
  host::TStrings* DebugStrings() const { return debug_strings_; }
  const TKeyFormat& KeyFormat() const { return key_format_; }
  // The root and depth variables as they stand (0 when not connected).
  uint32_t Root() const { return root_ ? *root_ : 0; }
  uint32_t Depth() const { return depth_ ? *depth_ : 0; }
  bool IsOpen() const { return open_; }

  // ---- life ----
  // Close, then check the configuration (8581 "No sort order function
  // assigned" without a compare function), open the key format and make the
  // level nodes and the spare node.
  void Open();
  void Close();
  // A new empty leaf becomes the root: root := its address, depth := 1.
  void CreateTree();
  // Frees every node block (after checking the whole tree, so a damaged tree
  // raises 8965 before anything is freed), then sets root and depth to 0
  // (noNewRoot) or creates a new empty tree.
  void EmptyTree(bool noNewRoot);
  // Forgets every node held, so the next search rereads them.
  void InvalidateInternalBuffers();

  // ---- keys ----
  // Build the key entry (and remember the markers for the next search).
  // Return the entry length.
  int ConstructKeyBufFromRecBuf(const uint8_t* record, TFieldComparisonValues markers = {});
  int ConstructTempKeyBufFromRecBuf(const uint8_t* record, uint8_t* destination,
                                    TFieldComparisonValues markers = {}) const;
  void ConstructKeyBufFromKeyBuf(const uint8_t* key, TFieldComparisonValues markers = {});
  int ConstructKeyBufFromVariants(const host::Variant& values, TFieldComparisonValues markers = {});
  // Stores the record address in the key entry.
  void SetKeyBufAddr(uint32_t address);
  // The key entry (MaximumKeySize + 1 bytes).
  uint8_t* KeyBuf() { return key_entry_.get(); }
  // Copies an entry into destination, or into the key entry when it is null.
  void CopyKey(const uint8_t* source, uint8_t* destination);
  int CompareKeys(int keyFieldCount, const uint8_t* entryA, TFieldComparisonValues markersA,
                  const uint8_t* entryB, TFieldComparisonValues markersB) const;
  void DecodeKeyBufAsStrings(const uint8_t* key, host::TStrings& lines) const;

  // ---- searching and moving ----
  // Positions the cursor; 0 when a record satisfying searchType was found
  // (see the header note), non-zero otherwise (also for an empty tree).
  int IndexSearch(TIndexSearchType searchType, const TSearchModifier* modifier = nullptr);
  // Descends along the key entry comparing keyFieldCount fields (0 = all) to
  // the first entry not below it; with forceToKey the cursor then stands on
  // an entry (the next leaf's first, or the last of the index). Returns the
  // key's order against the entry at the cursor (-1 for an empty tree).
  int InternalSearch(int keyFieldCount, bool forceToKey);
  bool NextRecord();
  bool PriorRecord();
  uint32_t GetRecAddr();
  const uint8_t* GetCurrentKeyBuf();
  // CompareKeys of the current entry with key.
  int CompareKeyToCurrentKeyBuf(int keyFieldCount, const uint8_t* key);

  // ---- changing ----
  // Insert the key entry (count 1, the address set by SetKeyBufAddr) /
  // delete the entry equal to it, comparing all key fields and ignoring
  // markers. IdxInsert returns -1 when an equal entry exists, IdxDelete when
  // none does; 0 after the change. InsertKey inserts even beside an equal
  // entry (on disk, inside a transaction, into the leaf where it is stored
  // when the page cache holds its page); DeleteKey is IdxDelete. Each searches the key entry itself, but
  // a delete whose path (from the last search or step) already stands on an
  // entry equal to the key entry deletes that entry without descending again.
  int IdxInsert();
  int IdxDelete();
  int InsertKey();
  int DeleteKey();
  // The uniqueness check and the insert in one descent: FindInsertPosition
  // descends as InsertKey would and answers 0 when an entry equal to the key
  // entry (all key fields) is there, 1 when not. InsertFoundKey then inserts
  // the key entry (its address set by SetKeyBufAddr meanwhile) at that place
  // without searching again, provided nothing else was called on the tree
  // and the key entry was not written (other than its address) in between;
  // otherwise it searches as InsertKey does. Without `countRecordNo` the
  // insert does not count its record number (InsertedRecordNo is 0 after
  // it): the count sums the entries before the path in every inner node.
  // On disk, and while inner writes are deferred (SetDeferInnerWrites), the
  // search reads the leaf where it is stored rather than copying it out;
  // the path then serves InsertFoundKey alone (not the cursor calls), which
  // changes a leaf that does not split in place (inside a transaction,
  // when the page cache still holds its page).
  int FindInsertPosition();
  int InsertFoundKey(bool countRecordNo = true);
  // While on, an insert leaves the changes of the inner nodes on its path
  // (their counts, an entry for a split child) in memory, so that a run of
  // inserts writes the root and the upper levels once rather than once per
  // insert. A deferred node is written when the path leaves it, when the
  // tree is walked, counted afresh, invalidated or closed, and when the
  // setting goes off (which writes them all). Whoever turns it on turns it
  // off before anything but this tree reads the index's blocks: another
  // tree on them, a commit, the end of the write lock.
  void SetDeferInnerWrites(bool value);
  bool DeferInnerWrites() const { return defer_inner_writes_; }
  // The 1-based number in key order of the entry the last insert added
  // (IdxInsert, InsertKey, InsertFoundKey), counted on the insert's own
  // path; 0 before any, or after an insert told not to count. Kept until
  // the next insert: later changes move it.
  int32_t InsertedRecordNo() const { return inserted_record_no_; }

  // ---- counting and listing ----
  int32_t GetRecordCount(bool refresh = false);
  // The 1-based number of the current record in key order.
  int32_t GetRecordNo();
  // The record address of the recNo-th record (recNo < 1 counts as 1,
  // beyond the end as the last); 0 for an empty tree. Leaves the path
  // invalid.
  uint32_t GetAddrOfRecNo(int32_t recNo);
  // From the current entry (after IndexSearch), appends record addresses
  // (first column) and record numbers (second column): backwards for stLT
  // and stLE, else forwards; stEQ only while the entries match key (null =
  // the current entry) in the first keyFieldCount fields; the record at
  // stopAddress (0 = none) is the last. With reverse, a backward listing is
  // appended in ascending key order. done tells whether the walk ended on a
  // non-matching entry or at the stop address rather than at the end of the
  // index. After a search that found nothing it lists nothing.
  void ListMatchingRecords(const uint8_t* key, int keyFieldCount, uint32_t stopAddress,
                           TIndexSearchType searchType, bool reverse, TCompoundList& list,
                           bool& done);
  // From the current entry (after IndexSearch) forwards, appends the record
  // addresses of at most `count` entries in key order, or fewer at the end
  // of the index; their record numbers follow the current entry's.
  void ListAddresses(int64_t count, std::vector<uint32_t>& addresses);
  // Appends read-ahead items from the current leaf around the cursor, with
  // consecutive record numbers. The buffer's key buffers must hold
  // MaximumKeySize bytes. With a bound, a forwards listing stops before the
  // first entry that sorts after `bound->Key` (with its markers) and a
  // backwards one after the last entry that sorts before it, so a walk over
  // a range lists no entries beyond the range's end.
  struct TListBound {
    const uint8_t* Key = nullptr;
    TFieldComparisonValues Markers;
  };
  void ListReadAheadRecords(TReadAheadDirection direction, int count, TReadAheadBuffer& buffer,
                            const TListBound* bound = nullptr);
  // From the current leaf to the end of the index, adds key field keyFieldNo
  // (0-based) of every entry with its record address to hash.
  void FillHashTable(int keyFieldNo, TTavBaseHash& hash);

  // ---- diagnostics ----
  void DebugStatus(host::TStringList& lines);
  // Every block of the interface, in GetNextMemoryBlockAddress order.
  void DebugDumpAllocatedBlocks(host::TStrings& lines);
  // Every node, in key order (PrintNode).
  void DebugInOrderRecurse(host::TStrings& lines);
  // The leaves alone, in key order: the records of the index as one flat list.
  void DebuGInOrderFlat(host::TStrings& lines);
  // Walks the tree in key order: 8581 "Empty node in check order" or "Check
  // Order error".
  void DebugCheckOrderRecurse();

 private:

  enum class TDescent : uint8_t {
    Insert,  // inner: last child whose first key is not above; leaf: first not below
    Lower,   // inner: last child whose first key is below; leaf: first not below
    Upper,   // inner: last child whose first key is not above; leaf: first above
  };

  void CheckConnected(const char* caller) const;
  int LevelCount() const { return static_cast<int>(nodes_.size()); }
  TNode& Level(int l) { return *nodes_[static_cast<size_t>(l)]; }
  TNode& Leaf() { return *nodes_.back(); }
  std::unique_ptr<TNode> NewNode();
  void InternalPrepareNodes();
  // The child address of the path's entry on level `level - 1`, checked.
  uint32_t ChildAddress(int level, const char* caller);
  // Reads the child of the entry at `position` of level `level - 1` into
  // level `level` and checks that it is what the level needs.
  void ReadChild(int level);
  // The same for the child at `child`, the checked ChildAddress.
  void ReadChild(int level, uint32_t child);
  // For the leaf level: searches the child at `child` (ChildAddress) where
  // it is stored (the node shows it) when the interface lends its bytes in
  // place; false when not.
  bool ShowChildLeaf(int level, uint32_t child);
  // Gives inner level `level` the held node of `address`, or else a held
  // node to read it into (in turn among those the levels at or below
  // `level` left, so that the fewer nodes nearer the root stay held; in
  // turn among all when there are none); the node the level had joins the
  // held ones. Nodes are swapped, never copied.
  void TakeHeldInnerNode(int level, uint32_t address);
  // Forgets a held copy of the block at `address`.
  void ForgetHeld(uint32_t address) {
    // Most writes are of nodes no held node holds: a free home slot says so.
    if (held_ix_ && held_ix_->Slots[HeldSlotOf(address)] != 0) ForgetHeldCopies(address);
  }
  void ForgetHeldCopies(uint32_t address);
  // Sets the address held node i holds (0 = none), keeping the index;
  // `slot`, when known, is the index slot that lists node i.
  void SetHeldAt(size_t i, uint32_t address, size_t slot = kNotHeld);
  // The held node holding `address` (not 0), or kNotHeld.
  size_t FindHeld(uint32_t address) const;
  // The index slot that lists it, or kNotHeld.
  size_t FindHeldSlot(uint32_t address) const;
  static constexpr size_t kNotHeld = SIZE_MAX;
  void ClearHeld();
  void CheckNodeKind(const TNode& node, bool leaf, bool mayBeEmpty, const char* caller) const {
    if (node.CheckIsLeaf() != leaf || (!mayBeEmpty && node.CheckNodeEmpty())) [[unlikely]]
      NodeKindCorrupt(node, leaf, caller);
  }
  [[noreturn]] void NodeKindCorrupt(const TNode& node, bool leaf, const char* caller) const;
  int Descend(int keyFieldCount, TDescent descent, bool forceToKey);
  // The insertion descent to the search key's leaf; with `showLeaf` the
  // leaf is searched where it is stored (show_leaf_), and a failure ends
  // the showing.
  int DescendShowingLeaf(bool showLeaf);
  // Ends the leaf's showing (its bytes are no longer lent) and forgets the
  // position on it.
  void EndLeafShow();
  // The interface keeps the blocks in the database file.
  bool StoredOnDisk() const;
  // Whether an insert's search shows the leaf where it is stored: on disk,
  // while the leaves the inserts met lately could mostly be changed there
  // (a leaf that cannot is copied out after all); else only now and then,
  // to see whether they can again.
  bool ShowLeafForInsert();
  // The edit of a shown leaf's page was made (true) or refused (false).
  void CountLeafEdit(bool made) {
    in_place_credit_ = made ? std::min(in_place_credit_ + 2, kInPlaceCreditMax)
                            : std::max(in_place_credit_ - 1, 0);
  }
  // The leaf entry the path stands on when the path is valid and still the
  // tree's; else null.
  const uint8_t* PathEntry() const;
  // The path's leaf entry (PathEntry) equals the loaded search key in every
  // key field.
  bool PathOnKeyEntry() const;
  bool StepLeaf(bool forward);
  // The 1-based number of the path's leaf position: the records before it
  // by the counts of every level.
  // With leafShown, the leaf level's node does not hold the path's leaf
  // (FindInsertPosition only showed it): its part is its fixed entries
  // before the path position.
  int32_t PathRecordNo(bool leafShown = false);
  // InsertFoundKey for a leaf FindInsertPosition only showed, or an
  // insert's own search for a leaf the leaf level still shows: inserts the
  // key entry in the leaf's stored bytes and updates the inner levels;
  // false, with nothing changed, when the leaf must be read and changed as
  // a node (it would split, or its page cannot be edited in place).
  bool InsertIntoShownLeaf(uint32_t address, bool countRecordNo);
  void LoadSearchKey(bool useMarkers);
  int KeyFieldCountFor(const TSearchModifier* modifier) const;
  // The upward pass after a leaf insert or delete at the path position.
  // InsertKey, counting the new entry's record number or not.
  int SearchAndInsert(bool countRecordNo);
  // The leaf after an insert made in its stored bytes: the inner levels
  // take it from here, not from the leaf level's node.
  // A delete made in the stored bytes may also have traded entries with the
  // leaf's neighbour: its entry in the parent then changes as well. The
  // entries pointed at lie in the stored pages and are read before the
  // pass next calls into the interface.
  struct TLeafChange {
    uint32_t Address;
    int64_t Total;         // its entries
    const uint8_t* First;  // its first entry when that changed, else null
    int32_t SiblingPos = -1;              // the neighbour's entry in the parent, -1 = none
    int64_t SiblingTotal = 0;             // the neighbour's entries
    const uint8_t* SiblingFirst = nullptr;  // its first entry when that changed
  };
  // IdxDelete at the path position, for a leaf the descent only showed:
  // deletes the entry in the leaf's stored bytes, balances it against its
  // neighbour there too when entries move between them (never a merge),
  // lets go of the nodes that held either, and updates the inner levels.
  // False, with nothing changed, when the leaf and its neighbour must be
  // changed as nodes (a page the transaction has not changed yet, a merge,
  // anything out of the ordinary).
  bool DeleteInShownLeaf();
  // One body, compiled for inserts and for deletes apart (btree.cpp): the
  // tests on the kind of change fold away in each.
  void UpdatePath(bool insert, const TLeafChange* leafChange = nullptr) {
    if (insert)
      UpdatePathFor<true>(leafChange);
    else
      UpdatePathFor<false>(leafChange);
  }
  template <bool insert>
  void UpdatePathFor(const TLeafChange* leafChange);
  void SplitRoot();
  void CollapseRoot();
  // Builds an entry in `dest`: the first key of node, its address and count.
  void ComposeParentEntry(const TNode& node, uint8_t* dest) const;
  uint32_t AllocateNode(TNode& node);
  void ReleaseNode(uint32_t address);
  // TNodeOwner. NodeHeaderChanged keeps nodes held in memory in step with a
  // header written to storage.
  const TKeyFormat& NodeKeyFormat() const final { return key_format_; }
  host::TStrings* NodeDebugStrings() const final { return debug_strings_; }
  void NodeHeaderChanged(uint32_t address, const uint8_t* header) final;
  void ForgetAddress(uint32_t address);
  void FinishChange();
  // Bound on the leaves a chain walk may visit.
  uint64_t LeafWalkLimit();
  // Reads the neighbour leaf `address` into the spare, checking its back link
  // and the walk's bound.
  void ReadChainLeaf(uint32_t address, uint32_t from, bool forward, uint64_t& steps, uint64_t limit,
                     const char* caller);
  void SetMarkers(TFieldComparisonValues markers);
  // Walks the whole tree from storage depth-first in key order, every node
  // checked (empty ones let through with allowEmpty) and none reached twice;
  // visit(node, level) sees each node before its children.
  template <class Visit>
  void WalkTree(const char* caller, bool allowEmpty, Visit visit);
  void WriteSync(TNode& node);
  // WriteSync's bookkeeping without the write: the node keeps its change
  // until WriteDeferred or a write of it.
  void DeferWrite(TNode& node);
  // Writes every deferred node of the path.
  void FlushDeferred() {
    if (deferred_) WriteDeferred();
  }
  void WriteDeferred();
  [[noreturn]] void Corrupt(const char* caller, const char* what, uint32_t address) const;

  TBaseIOInterface* io_ = nullptr;
  std::vector<std::unique_ptr<TNode>> nodes_;  // one per level, 0 = root
  std::vector<int32_t> positions_;             // path entry / leaf cursor per level
  std::unique_ptr<TNode> spare_;
  // Inner nodes read before and left by their level: a descent that turns
  // to another subtree and back finds them here instead of reading them
  // again. Kept in step with storage as the levels and the spare are
  // (WriteSync, ForgetAddress, NodeHeaderChanged, InvalidateInternalBuffers).
  std::vector<std::unique_ptr<TNode>> held_;
  // The held nodes by address (FindHeld): open addressing with linear
  // probing over four times as many slots as held nodes, each slot 0 (free)
  // or a held node's index + 1. Every write looks here for a stale copy, and
  // most find their first slot free. Made with the first held node.
  static constexpr unsigned kHeldSlotBits = 11;
  static constexpr size_t kHeldSlots = size_t{1} << kHeldSlotBits;
  static_assert(kHeldSlots >= 4 * kHeldInnerNodes && kHeldInnerNodes < UINT16_MAX);
  struct THeldIndex {
    // The address each held node holds (0 = none), so that a write looks
    // for stale copies without visiting the nodes.
    std::array<uint32_t, kHeldInnerNodes> At{};
    // The level each held node was left by.
    std::array<uint8_t, kHeldInnerNodes> Level{};
    std::array<uint16_t, kHeldSlots> Slots{};
  };
  std::unique_ptr<THeldIndex> held_ix_;
  size_t next_victim_ = 0;  // where the search for a held node to read over starts
  // Kept nodes read over since the tree was opened (see TakeHeldInnerNode).
  size_t held_read_overs_ = 0;
  static constexpr size_t kHeldReadOversPerNode = 16;
  // Disk node addresses are page multiples, memory ones small handles: a
  // multiplicative hash spreads both.
  static size_t HeldSlotOf(uint32_t address) {
    return (address * uint32_t{0x9E3779B1}) >> (32 - kHeldSlotBits);
  }
  host::TStrings* debug_strings_ = nullptr;
  uint32_t page_size_ = 0;
  uint32_t* root_ = nullptr;
  uint32_t* depth_ = nullptr;
  TKeyFields key_fields_;
  TKeyFormat key_format_;
  int32_t maximum_key_size_ = 0;
  std::unique_ptr<uint8_t[]> key_entry_;
  std::unique_ptr<uint8_t[]> second_entry_;
  std::unique_ptr<uint8_t[]> work_entry_;
  TDBStringCompare string_compare_ = nullptr;
  bool positioned_ = false;
  bool key_cursor_valid_ = false;
  bool insert_ready_ = false;  // the path is where the key entry goes (FindInsertPosition)
  bool show_leaf_ = false;     // Descend shows the leaf rather than reading it
  // The leaf of an insert-ready path that was only shown (0 = none): the
  // leaf level's node does not hold it.
  uint32_t shown_leaf_ = 0;
  uint32_t shown_used_ = 0;  // its entry bytes as the search saw them
  // ShowLeafForInsert's record: up for each leaf edited in place, down for
  // each refused, and the inserts since it last ran out.
  static constexpr int kInPlaceCreditMax = 16;
  static constexpr uint32_t kInPlaceProbeEvery = 16;
  int in_place_credit_ = kInPlaceCreditMax;
  uint32_t in_place_probes_ = 0;
  bool defer_inner_writes_ = false;
  bool deferred_ = false;  // a node of the path holds a change storage lacks
  int32_t inserted_record_no_ = 0;
  // The cursor stands where a search found its answer or a step moved it;
  // false after a search that found nothing.
  bool cursor_found_ = false;
  bool locked_ = false;
  bool sort_function_present_ = false;
  TIndexKeyType index_key_type_ = ikFixed;
  bool open_ = false;
  int visible_key_field_count_ = 0;
  TOptimizedSearchKey optimized_key_;
  std::vector<TFieldComparisonValue> markers_;  // one per key field
  std::unique_ptr<TCompoundList> scratch_;      // a listing before it is numbered
};

}  // namespace tav
