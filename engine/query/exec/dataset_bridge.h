// TTavDatasetBridge: the table cursor a query's leaf reads through. It is a
// host dataset over one table (memory or disk) with thin calls onto the
// engine cursor: first and next in the current index's order, field values
// as variants or as raw bytes of the current record, positioning on a
// record address, the selection as a parsed filter condition, hash loads
// for hash joins, and the per-row filter text of a re-filter join.
//
// Callers must keep:
//  - DataBase, TableName and Memory are set while closed; every call below
//    but GetRecAddr needs the bridge open.
//  - A TDataHolder filled by GetRawFieldData points into the bridge's
//    current record: it is valid until the bridge moves.
//  - The condition handed to SetJoinSelectExprRoot lives while the bridge
//    filters by it (the filter keeps a copy of the tree it runs, but its
//    nodes borrow the condition's tokens).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/components/tav_base_table.h"
#include "engine/expr/expr_tree.h"

namespace tav {

class TCompoundList;
class TDataHolder;
class TJoinStatistics;
class TTavBaseHash;

class TTavDatasetBridge : public TTavBaseTable {
 public:
  explicit TTavDatasetBridge(host::TComponent* owner) : TTavBaseTable(owner) {}

  // The first (next) record in the current index's order that passes the
  // active selection; False at the end.
  bool FirstBridgeRecord();
  bool NextBridgeRecord();
  // With `value`, a walk of a disk table without a filter lists the
  // records of the current index (its range too) and reads them in address
  // order, so that each page of records is read once however the index
  // orders them; a record gone since the listing is passed over. Only for
  // walks whose row order does not matter; kept until set again.
  void SetAddressOrderWalk(bool value) { address_order_ = value; }
  // The current record's value of field `fieldNo` (0-based position in the
  // layout): memos as text, dates and times as date values.
  host::Variant GetFieldDataAsVariant(int fieldNo);
  // The current record's raw value: BLOB fields through the holder's stream,
  // every other field by reference into the record buffer (no copy).
  void GetRawFieldData(int fieldNo, TDataHolder& holder);
  // The current record's address; 0 while closed.
  uint32_t GetRecAddr() const;
  uint32_t GetRecModFlag() const;
  // Every record of the table, whatever the selection.
  int32_t GetTotalBridgeRecordCount();
  // Makes the record at `address` current; False when the positioning
  // reports an engine error (the record is gone, say).
  bool MoveToRecAddr(uint32_t address);
  // As MoveToRecAddr, and 8708 when the record changed since it was read
  // with modification flag `flags`.
  void MoveToRecAddrAndValidate(uint32_t address, uint32_t flags);
  // Filters by the condition (replacing the one held, SQL null rules and
  // address order); nullptr lifts the filter.
  void SetJoinSelectExprRoot(const TTavExpr* expr);
  // Serves the condition from an index instead of a filter, when the whole
  // condition is an AND of comparisons (=, >, >=, <, <=) of one integer
  // field with non-NULL integer values, a lower bound among them: the index
  // led by that field (ascending, every key field readable) becomes current
  // and the walk keeps to the key range; True then. False, with nothing
  // changed, when the condition is of another form or no index serves it.
  // A record whose field is NULL passes no comparison, and none is in the
  // range. The range lasts until the next selection or ResetSelection. An
  // equality on a unique index of the field alone reads the one record and
  // steps no further.
  bool SelectByKeyRange(const TTavExpr* expr);
  bool KeyRangeSelected() const { return key_range_; }

  // Key lookups for a join's inner side: the records whose field
  // `fieldName` (an integer field) holds one value, found by one search of
  // an index led by that field (ascending, every key field readable)
  // instead of a walk or a filter. Only without a selection.
  // CanLookUpKey asks whether an index serves; PrepareKeyLookup makes it
  // current and says the same (False: nothing changed).
  bool CanLookUpKey(const std::string& fieldName);
  bool PrepareKeyLookup(const std::string& fieldName);
  // The first record, in the index's order, whose field holds the raw value
  // (`length` bytes, as the field stores it); False when none. The lookup
  // lasts until the next selection, ResetSelection or EndKeyLookup.
  bool FirstKeyRecord(const uint8_t* data, int32_t length);
  // The next record holding the value looked up; False after the last.
  bool NextKeyRecord();
  // Lifts the last lookup's range: the walk covers the table again.
  void EndKeyLookup();
  // Fills `hash` from the records (through an index led by the hash's field
  // when there is one) and says whether a filter is active, in which case
  // `list` receives the passing records' addresses.
  void LoadHashTable(TTavBaseHash& hash, TCompoundList& list, bool& filterActive);

  // Statistics.Indexed: an index's leading key fields are `fieldNames`.
  void AssessJoin(const std::vector<std::string>& fieldNames, TJoinStatistics& statistics);
  // Makes such an index current and keeps the filter text held now as the
  // base of the join filter texts.
  void PrepareJoin(const std::vector<std::string>& fieldNames);
  // The join filter text for one outer row: the base text, then one
  // condition per field on the holder's value; filtering is on exactly when
  // the text is not empty.
  void SetJoinValues(TTavExprOperator op, const std::vector<std::string>& fieldNames,
                     const std::vector<TDataHolder*>& values);
  // The text SetJoinValues sets, without setting it.
  std::string BuildJoinFilterText(TTavExprOperator op, const std::vector<std::string>& fieldNames,
                                  const std::vector<TDataHolder*>& values) const;

  const std::string& BaseFilterText() const { return base_filter_text_; }

  // Back to what a fresh open gives, for a bridge kept open from one plan
  // to the next: no selection, no join filter, the index it opened on, the
  // walk in the index's order.
  void ResetSelection();
  // Open, and no table definition of the connection changed since it opened.
  bool OpenAndCurrent() const;
  // How many times the bridge was opened: what was read of its field
  // definitions under one count holds while the count stays.
  uint64_t OpenCount() const { return open_count_; }

 protected:
  void InternalOpen() override;

 private:
  // Whether `index` is led by `field`, ascending, with every key field
  // readable (any, for an internal table): an index a key range or key
  // lookup on that field can walk.
  bool KeyedOn(const TIndexItem& index, const TInternalFieldItem& field, bool internal,
               uint32_t readFlag);
  // The index serving `fieldNames` as its leading key fields, or nullptr.
  TIndexItem* JoinIndex(const std::vector<std::string>& fieldNames) const;

  // Reads the listed records from `walk_at_` on until one is still there.
  bool NextListedRecord();

  // Lifts the selection's filter, the text filter and the base filter.
  void LiftFilters();
  // Lifts a range SelectByKeyRange set and goes back to the opened index.
  void ClearKeyRange();

  // The index serving key lookups of field `fieldNo`, or nullptr.
  TIndexItem* KeyLookupIndex(int fieldNo);

  std::string base_filter_text_;
  bool key_range_ = false;
  bool single_key_ = false;
  // The field (number and name) and index of the range SelectByKeyRange
  // set; -1 when none is in force.
  int range_field_no_ = -1;
  std::string range_field_name_;
  std::string range_index_name_;
  std::string opened_index_name_;
  uint32_t opened_schema_changes_ = 0;
  uint64_t open_count_ = 0;
  bool address_order_ = false;
  bool walking_list_ = false;
  std::vector<uint32_t> walk_list_;
  size_t walk_at_ = 0;
  // Key lookups (PrepareKeyLookup): the field, its index, whether that
  // index is current, and whether a value has at most one record.
  int lookup_field_no_ = -1;
  std::string lookup_index_name_;
  bool lookup_index_current_ = false;
  bool lookup_range_ = false;  // the range in force is a lookup's
  bool lookup_unique_ = false;
};

// The current record's value of field `fieldNo` of an open dataset, as the
// bridge reads it (GetFieldDataAsVariant, GetRawFieldData); the result table
// reads its own records the same way.
host::Variant GetDataSetFieldAsVariant(TTavDataSet& ds, int fieldNo);
void GetDataSetRawFieldData(TTavDataSet& ds, int fieldNo, TDataHolder& holder);

// The literal filter text of a raw value of `type` (a join value). Strings
// are quoted; one holding a quote, and any type without a literal form,
// raise 10000 ("GetStringFromData").
std::string GetStringFromData(host::TFieldType type, const uint8_t* data, int32_t length);

}  // namespace tav
