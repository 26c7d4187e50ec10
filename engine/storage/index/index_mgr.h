// The indexes of one open table. TInternalIndexDef describes an index as a
// table definition stores it; TIndexItem is one open index: its description,
// its key fields and its tree (TBTree); TIndexManager is the collection of a
// table's open indexes, bound to the table's index blocks and its header.
//
// Each index owns one slot of the table header (its IndexSequence), which
// holds the root block and the depth of its tree. An item keeps its own copy
// of root and depth; its tree reads and updates that copy, and the manager
// moves it from and to the header (ReadIndexHeaders, WriteIndexHeaders).
// Several connections may have the same table open, each with its own
// manager over the shared header, so a change by one is seen by the others
// only through the header.
//
// Callers must keep:
//  - Before Open: SetIOInterface (the table's index interface, usage 8),
//    SetTableHeader (the table's shared header), SetDBStringCompareFunction,
//    the items (Assign from the table's index definitions) and their key
//    fields (AssignKeyFields). The interface, the header and the diagnostics
//    list are borrowed and must outlive the open manager.
//  - ReadIndexHeaders before working on the indexes when another connection
//    may have changed them, and WriteIndexHeaders (then the header's own
//    write) after a change: the trees only update the items' copies.
//  - The slot numbers of the items lie within the header's IndexCount, and no
//    two items share one. Root and depth read from the header are untrusted:
//    the trees check every node they read (8965).
//  - Items are in slot order: DropIndex gives the remaining items the slots
//    of their positions.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/storage/index/btree.h"
#include "engine/storage/index/key_fields.h"
#include "host/rtl/collection.h"

namespace host {
class TStrings;
}

namespace tav {

class TBaseIOInterface;
class TCompoundList;
class TReadAheadBuffer;
class TTableHeader;
class TTavBaseHash;
class TIndexManager;

// The page size of every index node the engine creates.
inline constexpr uint32_t kIndexPageSize = 4096;

// An index as a table definition describes it.
class TInternalIndexDef : public host::TCollectionItem {
 public:
  using host::TCollectionItem::TCollectionItem;

  bool Hidden() const { return hidden_; }
  void SetHidden(bool value) { hidden_ = value; }
  bool Primary() const { return primary_; }
  void SetPrimary(bool value) { primary_ = value; }
  bool Unique() const { return unique_; }
  void SetUnique(bool value) { unique_ = value; }
  const std::string& IndexName() const { return index_name_; }
  void SetIndexName(const std::string& value) { index_name_ = value; }
  bool Maintained() const { return maintained_; }
  void SetMaintained(bool value) { maintained_ = value; }
  bool Memory() const { return memory_; }
  void SetMemory(bool value) { memory_ = value; }
  uint32_t IndexPageSize() const { return index_page_size_; }
  void SetIndexPageSize(uint32_t value) { index_page_size_ = value; }
  // The longest entry, its 10-byte entry header and the key's presence
  // bitmap included.
  int32_t MaximumKeySize() const { return maximum_key_size_; }
  void SetMaximumKeySize(int32_t value) { maximum_key_size_ = value; }
  // The size of the key's presence bitmap.
  int32_t KeyDataOffset() const { return key_data_offset_; }
  void SetKeyDataOffset(int32_t value) { key_data_offset_ = value; }
  // The index's slot in the table header.
  int32_t IndexSequence() const { return index_sequence_; }
  void SetIndexSequence(int32_t value) { index_sequence_ = value; }
  TIndexKeyType IndexKeyType() const { return index_key_type_; }
  void SetIndexKeyType(TIndexKeyType value) { index_key_type_ = value; }

  std::string DisplayName() const override { return index_name_; }
  // From a TInternalIndexDef: every property. Anything else: the inherited
  // assignment.
  void Assign(const host::TPersistent& source) override;

  // Every property is published, in the order above.
  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 private:
  bool hidden_ = false;
  bool primary_ = false;
  bool unique_ = false;
  std::string index_name_;
  bool maintained_ = false;
  bool memory_ = false;
  uint32_t index_page_size_ = 0;
  int32_t maximum_key_size_ = 0;
  int32_t key_data_offset_ = 0;
  int32_t index_sequence_ = 0;
  TIndexKeyType index_key_type_ = ikFixed;
};

class TInternalIndexDefs : public host::TTypedCollection<TInternalIndexDef> {
 public:
  // The first definition named `name` (without regard to case), else null.
  TInternalIndexDef* FindIndexDef(const std::string& name) const;
};

// One open index of a table.
class TIndexItem : public host::TCollectionItem {
 public:
  TIndexItem();
  TIndexItem(const TIndexItem&) = delete;
  TIndexItem& operator=(const TIndexItem&) = delete;
  ~TIndexItem() override;

  // The manager this item belongs to (null outside one).
  TIndexManager* Manager() const;
  TBTree& Tree() { return *tree_; }

  bool Hidden() const { return hidden_; }
  void SetHidden(bool value) { hidden_ = value; }
  bool Primary() const { return primary_; }
  void SetPrimary(bool value) { primary_ = value; }
  bool Unique() const { return unique_; }
  void SetUnique(bool value) { unique_ = value; }
  const std::string& IndexName() const { return index_name_; }
  // The manager's current index is looked up again after a rename.
  void SetIndexName(const std::string& value);
  bool Maintained() const { return maintained_; }
  void SetMaintained(bool value) { maintained_ = value; }
  bool Memory() const { return memory_; }
  void SetMemory(bool value) { memory_ = value; }
  // The tree's root block and depth as this item last had them.
  uint32_t Root() const { return root_; }
  void SetRoot(uint32_t value) { root_ = value; }
  uint32_t Depth() const { return depth_; }
  void SetDepth(uint32_t value) { depth_ = value; }
  TKeyFields& KeyFields() { return *key_fields_; }
  const TKeyFields& KeyFields() const { return *key_fields_; }
  uint32_t IndexPageSize() const { return index_page_size_; }
  void SetIndexPageSize(uint32_t value) { index_page_size_ = value; }
  int32_t MaximumKeySize() const { return maximum_key_size_; }
  void SetMaximumKeySize(int32_t value) { maximum_key_size_ = value; }
  int32_t KeyDataOffset() const { return key_data_offset_; }
  void SetKeyDataOffset(int32_t value) { key_data_offset_ = value; }
  int32_t IndexSequence() const { return index_sequence_; }
  void SetIndexSequence(int32_t value) { index_sequence_ = value; }
  TIndexKeyType IndexKeyType() const { return index_key_type_; }
  void SetIndexKeyType(TIndexKeyType value) { index_key_type_ = value; }
  bool IsOpen() const { return tree_->IsOpen(); }

  std::string DisplayName() const override { return index_name_; }
  // From a TInternalIndexDef: its properties, and no key fields. From a
  // TIndexItem: the same plus its key fields, root and depth.
  void Assign(const host::TPersistent& source) override;

  // ---- life ----
  // A new empty tree in the manager's interface: root and depth become the
  // new leaf's address and 1. The tree is left closed.
  void CreateIndex();
  // 8581 "IO Interface is unassigned" without the manager's interface, "Not
  // initialized" without root or depth; configures and opens the tree.
  void Open();
  // Closes the tree and clears the key fields (the item's and the tree's).
  void Close();
  // Frees every node and makes a new empty root.
  void EmptyIndex();
  // Frees every node: root and depth become 0.
  void DeleteIndex();

  // ---- searching and moving (after a Create*KeyBuffer) ----
  int FullIndexSearch(TIndexSearchType searchType);
  int PartialIndexSearch(TIndexSearchType searchType, const TSearchModifier* modifier);
  bool NextKey();
  bool PriorKey();
  uint32_t GetRecordAddress();
  int32_t GetRecordCount(bool refresh = false);
  int32_t GetRecordNo();
  // The address of the n-th record in key order. The path is left invalid:
  // position by key afterwards.
  uint32_t SetRecordNo(int32_t recNo);
  // n steps forwards (n > 0) or -n backwards; whether all were made.
  bool MoveBy(int32_t n);
  const uint8_t* GetCurrentKeyBuf();
  int CompareKeyToCurrentKey(int keyFieldCount, const uint8_t* key);
  void ListMatchingRecords(const uint8_t* key, int keyFieldCount, uint32_t stopAddress,
                           TIndexSearchType searchType, bool reverse, TCompoundList& list,
                           bool& done);
  void ListReadAheadRecords(TReadAheadDirection direction, int count, TReadAheadBuffer& buffer);
  void FillHashTable(int keyFieldNo, TTavBaseHash& hash);
  void InvalidateInternalBuffers();

  // ---- changing ----
  // Inserts the key built last with the record address `address`.
  int InsertKey(uint32_t address);
  // The check of a unique key and its insert in one descent (TBTree's
  // FindInsertPosition, InsertFoundKey): 0 when the index holds the key
  // built last (all key fields). InsertFoundKey inserts it with `address`
  // where the check found its place, as long as the item was not used in
  // between; otherwise it searches as InsertKey does. Without
  // `countRecordNo`, InsertedRecordNo is left at 0.
  int FindKeyForInsert();
  int InsertFoundKey(uint32_t address, bool countRecordNo = true);
  // TBTree::SetDeferInnerWrites.
  void SetDeferInnerWrites(bool value);
  // The record number the last inserted key took (TBTree::InsertedRecordNo).
  int32_t InsertedRecordNo() const { return tree_->InsertedRecordNo(); }
  // Deletes the entry equal to the key built last; -1 when there is none.
  int DeleteKey();

  // ---- keys ----
  // The key of `record` into the tree's key entry (the one searched,
  // inserted or deleted next); returns its length.
  int CreateKeyBuffer(const uint8_t* record, TFieldComparisonValues markers = {});
  // The key of `record` into `destination` (MaximumKeySize + 1 bytes).
  int CreateTempKeyBuffer(const uint8_t* record, uint8_t* destination,
                          TFieldComparisonValues markers = {});
  // Copies an entry into destination, or into the key entry when null.
  void CopyKeyBuffer(const uint8_t* source, uint8_t* destination);
  int CompareKeyBuffers(int keyFieldCount, const uint8_t* entryA, const uint8_t* entryB);
  // A scratch entry of MaximumKeySize + 1 bytes owned by the item (while open).
  uint8_t* GetTempKeyBuffer() { return temp_key_.get(); }

  // ---- diagnostics ----
  void DumpInternalStatus(host::TStrings& lines);
  void DumpInternalStructure(host::TStrings& lines);

 private:
  void RequireManagerIO(const char* caller) const;
  // Gives the tree the interface, the item's root and depth variables and
  // the key description.
  void ConfigureTree();

  std::unique_ptr<TBTree> tree_;
  bool hidden_ = false;
  bool primary_ = false;
  bool unique_ = false;
  std::string index_name_;
  bool maintained_ = false;
  bool memory_ = false;
  uint32_t root_ = 0;
  uint32_t depth_ = 0;
  std::unique_ptr<TKeyFields> key_fields_;
  uint32_t index_page_size_ = 0;
  int32_t maximum_key_size_ = 0;
  int32_t key_data_offset_ = 0;
  int32_t index_sequence_ = 0;
  TIndexKeyType index_key_type_ = ikFixed;
  std::unique_ptr<uint8_t[]> temp_key_;
};

class TIndexManager : public host::TTypedCollection<TIndexItem> {
 public:
  TIndexManager() = default;
  TIndexManager(const TIndexManager&) = delete;
  TIndexManager& operator=(const TIndexManager&) = delete;
  ~TIndexManager() override;

  TBaseIOInterface* IOInterface() const { return io_; }
  void SetIOInterface(TBaseIOInterface* value) { io_ = value; }
  TTableHeader* TableHeader() const { return table_header_; }
  void SetTableHeader(TTableHeader* value) { table_header_ = value; }
  const std::string& CurrentIndexName() const { return current_index_name_; }
  void SetCurrentIndexName(const std::string& value) {
    current_index_name_ = value;
    current_index_ = nullptr;
  }
  TDBStringCompare DBStringCompareFunction() const { return string_compare_; }
  void SetDBStringCompareFunction(TDBStringCompare value) { string_compare_ = value; }
  host::TStrings* DebugStrings() const { return debug_strings_; }
  void SetDebugStrings(host::TStrings* value) { debug_strings_ = value; }
  // The indexes not Hidden, as counted by Open, AddIndex and DropIndex.
  int VisibleIndexCount() const { return visible_count_; }

  void DeleteItem(int index) { Delete(index); }

  // From a TIndexManager: copies of its items. From TInternalIndexDefs: one
  // item per definition, without key fields. Else the inherited assignment.
  void Assign(const host::TPersistent& source) override;
  // Clears every item's key fields and gives each item copies of the fields
  // naming it. 9997 for a field naming no item; 8581 "KeyBuffers invalid"
  // for a string field without a length marker or an item left without
  // fields. On failure every item is left without key fields.
  void AssignKeyFields(const TKeyFields& keyFields);

  // A new index from its definition and key fields (those naming it), with
  // an empty tree, open when the manager is; its root goes into its header
  // slot (the header itself is not written). 10027 for a name in use;
  // 8581 "KeyBuffers invalid" for bad key fields, or for a slot outside the
  // header's or used by another index. On failure nothing is left behind.
  void AddIndex(const TInternalIndexDef& definition, const TKeyFields& keyFields);
  // A new empty tree for every item, its root and depth stored in the
  // item's header slot (the header is not written).
  void CreateIndexes();
  // 8581 "Sort function not assinged" without a compare function. Reads
  // the header slots and opens every item.
  void Open();
  // Closes and removes every item; forgets the interface.
  void Close();

  // The item named CurrentIndexName; 9997 when there is none. The item
  // found is remembered until the name, the items or an item's name change.
  TIndexItem* CurrentIndex() const;
  // The same without the error: null when there is no such item.
  TIndexItem* FindCurrentIndex() const;
  // The first item named `name` (without regard to case), or null.
  TIndexItem* FindIndex(const std::string& name) const;
  // The first index whose leading key fields are exactly `fieldNames` in
  // order (names without regard to case); with caseSensitive, none of them
  // CaseInsensitive. Null when there is none.
  TIndexItem* FindIndexForFields(const host::TStrings& fieldNames, bool caseSensitive) const;

  // Frees the index's tree and removes it; the remaining indexes take the
  // header slots of their positions and the slot freed at the end is
  // cleared (in the header image: the caller writes the header). 9997 for
  // an unknown name.
  void DropIndex(const std::string& name);
  // Frees the index's nodes and makes a new empty root, stored in its header
  // slot. 9997 for an unknown name.
  void EmptyIndex(const std::string& name);

  // Each item takes root and depth from its header slot; with invalidate
  // every tree first forgets the nodes it holds.
  void ReadIndexHeaders(bool invalidate);
  // Each item's root and depth into its header slot.
  void WriteIndexHeaders();
  void InvalidateInternalBuffers();
  // Every index's TBTree::SetDeferInnerWrites; turning it off turns it off
  // on each and writes each one's deferred nodes, raising the first failure.
  void SetDeferInnerWrites(bool value);
  void DumpInternalStatus(host::TStrings& lines);

 protected:
  host::TCollectionItem* NewItem() override { return new TIndexItem(); }
  // Items were added, removed or moved: the current index is looked up again.
  void Changed() override { current_index_ = nullptr; }

 private:
  friend class TIndexItem;
  TIndexItem* RequireIndex(const std::string& name, const char* caller) const;
  void RequireHeader() const;

  TBaseIOInterface* io_ = nullptr;
  host::TStrings* debug_strings_ = nullptr;
  TTableHeader* table_header_ = nullptr;
  std::string current_index_name_;
  // The item CurrentIndex found last; null when it must look again. Not
  // used while the collection is inside an update (items may be gone
  // before Changed is told).
  mutable TIndexItem* current_index_ = nullptr;
  TDBStringCompare string_compare_ = nullptr;
  int visible_count_ = 0;
  bool open_ = false;
};

}  // namespace tav
