// TTavQueryDataset: the table that holds a SELECT's result, and the cursor
// through which INSERT, UPDATE and DELETE change their target table.
//
// For a SELECT it is a memory table whose fields are the result columns
// (TResultSetFields). It is filled from the rows of a provider tree, read
// through a TTavQueryRowSource: plain rows, DISTINCT rows (dropped when the
// unique index "idxdistinct" already holds an equal row), or aggregated rows,
// one per group of equal GROUP BY values (found through the unique index
// "idxgroupby", each with its accumulators, func_result.h); then HAVING
// deletes the groups it refuses. A plain result is cut to MaxRecords rows;
// an aggregated result with more than MaxRecords rows raises 9645.
//
// For a data-change statement the dataset is opened on the target table and
// the data operations write to it through the engine cursor: INSERT one row
// of values or the rows of another dataset, DELETE every row or a list of
// record addresses, UPDATE every row or a list of addresses with a SET list.
// UPDATE lists its rows before it changes any (a SET that moves a row along
// the index being walked changes it once), and evaluates every value of a
// row against the row as it was before it assigns any (SET a = b, b = a
// swaps).
//
// Callers must keep:
//  - The row source, its providers, the result columns and every tree they
//    evaluate outlive a fill; the dataset borrows them.
//  - The field definitions exist before PrepareEmptyResultSet; a live result
//    has the two integer fields "__RecAddr" and "__RecModFlag" after the
//    columns, and a root provider that reads one table.
//  - Data operations run on an opened target in browse state; errors of the
//    table layer pass through, and rows already changed stay changed (the
//    caller's transaction takes them back).
//  - Not thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/components/tav_base_table.h"
#include "engine/components/tav_filter_mgr.h"
#include "engine/query/exec/result_set_fields.h"

namespace tav {

class TDataHolder;
class TTavBaseJoinDataProvider;
struct TStoredColumn;
struct TFillColumnMaps;
class TTavUpdateRowConstructor;

inline constexpr char kResultRecAddrField[] = "__RecAddr";
inline constexpr char kResultRecModFlagField[] = "__RecModFlag";
// The name a result table takes when it was given none.
inline constexpr char kDefaultResultTableName[] = "testqry";

// Where a result table reads its rows: the root of a provider tree and the
// tree's rows, with any part of the WHERE condition the tree's leaves do not
// answer applied to each joined row.
class TTavQueryRowSource {
 public:
  virtual ~TTavQueryRowSource() = default;
  virtual TTavBaseJoinDataProvider* RootProvider() const = 0;
  virtual bool FirstProviderRecord() = 0;
  virtual bool NextProviderRecord() = 0;
  // Some of the condition is evaluated on the rows, so a leaf's own count
  // does not count them.
  virtual bool HasResidualCondition() const = 0;
};

// A row source over a bare provider tree: every row its root yields.
class TTavRootRowSource : public TTavQueryRowSource {
 public:
  explicit TTavRootRowSource(TTavBaseJoinDataProvider* root) : root_(root) {}
  TTavBaseJoinDataProvider* RootProvider() const override { return root_; }
  bool FirstProviderRecord() override;
  bool NextProviderRecord() override;
  bool HasResidualCondition() const override { return false; }

 private:
  TTavBaseJoinDataProvider* root_;
};

class TTavQueryDataset : public TTavBaseTable {
 public:
  explicit TTavQueryDataset(host::TComponent* owner);
  ~TTavQueryDataset() override;

  using TTavBaseTable::GetFieldData;

  // ---- properties ----
  TTavQueryRowSource* ProviderMgr() const { return provider_mgr_; }
  void SetProviderMgr(TTavQueryRowSource* value) { provider_mgr_ = value; }
  int32_t MaxRecords() const { return max_records_; }
  // 0 or less: no limit.
  void SetMaxRecords(int32_t value) { max_records_ = value; }
  bool CreateLiveResult() const { return create_live_result_; }
  void SetCreateLiveResult(bool value) { create_live_result_ = value; }
  // Whether a fill ends with this cursor on the first row (the default).
  // Without, it ends before the first row with nothing read: for an owner
  // that reads the table through a cursor of its own.
  bool FirstAfterFill() const { return first_after_fill_; }
  void SetFirstAfterFill(bool value) { first_after_fill_ = value; }
  int32_t GetRowsAffected() const { return rows_affected_; }
  // The address of the table's only row when the last fill left it just
  // that one row; 0 otherwise (and from the start of the next fill).
  uint32_t OnlyRowAddress() const { return only_row_; }
  TDBStringCompare GetDBStringCompare() const { return DBStringCompare(); }

  // The current record's value of field `fieldIndex` (0-based): memos as
  // text, dates and times as date values.
  host::Variant GetFieldData(int fieldIndex);
  // The current record's raw value: a BLOB in the holder's stream, any
  // other field by reference into the record buffer.
  void GetRawFieldData(int fieldIndex, TDataHolder& holder);

  // ---- the result table ----
  // Makes the dataset a memory table ("testqry" when it has no name) and
  // creates it, or, when its definitions were prepared by an earlier run,
  // opens and empties it. With `emptyInFill` a table that stays open is
  // emptied by the PopulateResultSet that must follow instead, under the
  // fill's own write lock.
  void PrepareEmptyResultSet(bool defsPrepared, bool emptyInFill = false);
  // Creates the memory table from the field and index definitions (the live
  // result's two fields hidden in its layout).
  void CreateResultSetTable();

  // ---- filling ----
  // The next PopulateResultSet may take how its columns map onto their
  // leaves' records from the fill before it: the same columns over the same
  // providers, as a prepared statement's next run has them. The leaves'
  // bridges and this table are still checked to be the ones opened then.
  // Holds for one fill.
  void KeepColumnMaps() { keep_column_maps_ = true; }
  void PopulateResultSet(TResultSetFields& columns, bool distinct);
  void PopulateAggregateResultSet(TResultSetFields& columns, bool grouped);
  // One row: the number of records a single table's cursor holds under its
  // selection.
  void PopulateSimpleCountResultSet();
  // Deletes every row on which `root` (over the result's own fields, SQL
  // null rules) is not true; nothing without a root.
  void ProcessHavingClause(const TTavExprNode* root);
  // The record addresses of the rows the source yields, read from its one
  // table (the root must be a leaf).
  void PopulateResultSetAddrList(std::vector<uint32_t>& list);
  // A field is read-only exactly when its column is computed.
  void SetReadOnlyResultFields(const TResultSetFields& columns);

  // ---- data operations on a target table ----
  // One row: each column's DataValue into the table's field of its name.
  void InsertData(TResultSetFields& columns);
  // One row per row of `source`: source field i into column i's field.
  void InsertDataFromDataset(TResultSetFields& columns, host::TDataSet& source);
  // The same from the rows `rows` yields, source column i (a plain column)
  // into column i's field: raw bytes where both fields have the same type
  // (and a text fits), else through its value. As through a result table,
  // a failure of the source takes back the rows added; a failed insert
  // keeps the rows before it.
  void InsertDataFromRows(TResultSetFields& columns, const TResultSetFields& source, TTavQueryRowSource& rows);
  // Every row (RowsAffected: the rows the table held), or the rows at the
  // addresses of `list`.
  void DeleteData(bool allRows, const std::vector<uint32_t>& list);
  // Every row in the current index's order, or the rows at the addresses of
  // `list`, each changed by the SET list. Unique keys must hold for the
  // rows as the statement leaves them, not after each row; on an error the
  // rows already changed are restored.
  void UpdateData(bool allRows, const std::vector<uint32_t>& list, TTavUpdateRowConstructor& setList);
  // The current record changed by the SET list: every value evaluated on the
  // record as stored, then assigned, then the record written.
  void UpdateCurrentRecord(TTavUpdateRowConstructor& setList);
  // A BLOB field takes the value's text (Null: no BLOB); any other field the
  // value, converted to its type.
  void SetResultSetFieldFromVariant(int fieldIndex, const host::Variant& value);

 protected:
  void InternalOpen() override;

 private:
  TTavBaseJoinDataProvider& Root() const;
  // How `columns` are read for a fill: kept from the last fill when
  // KeepColumnMaps allowed it and nothing they name was opened anew.
  const TFillColumnMaps& ColumnMaps(TResultSetFields& columns);
  // Closes and opens again: a fresh cursor over the table.
  void Reopen();
  // Empties the open table and lifts the cursor's filter.
  void EmptyBeneathTheCursor();
  // Moves the current row of the source into `row_`: each column's value
  // (raw from its provider, or evaluated) into field `columnNo`; only the
  // columns for which `wanted` says so. A column `stored` names a leaf for
  // is copied from that leaf's current record.
  template <class Wanted>
  void FillRow(TResultSetFields& columns, Wanted wanted, const std::vector<TStoredColumn>* stored = nullptr);
  // The engine buffer holds `row_`; adds it as a new record and gives its
  // address.
  uint32_t AddRow();
  // Writes `value` into field `fieldNo` of the engine buffer; a BLOB as its
  // text. `checkUpdate`: the user's update privilege on the field is checked.
  void WriteFieldValue(int fieldNo, const host::Variant& value, bool checkUpdate);
  // Every record's address along the current index.
  std::vector<uint32_t> CollectAddresses();
  // Column `column`'s value for the current row from its aggregate's
  // result: the expression around the aggregate, when there is one,
  // evaluated on it and on the row's grouped columns.
  host::Variant FinalAggregateValue(const TResultSetFields& columns, const TResultSetField& column,
                                    const host::Variant& result);
  // The grouped result column a field node of such an expression reads; -1
  // when none.
  int GroupedColumnOf(const TResultSetFields& columns, const TTavExprNode& node) const;
  void PrepareUpdateValues(TTavUpdateRowConstructor& setList);
  // Writes back the assigned fields' old values of the rows changed, the
  // last first.
  void RestoreUpdatedRows(const TTavUpdateRowConstructor& setList,
                          const std::vector<std::pair<uint32_t, std::vector<host::Variant>>>& changed);
  bool HasIndexDef(const std::string& name);
  void SetRowsAffectedToCount() { SetRowsAffectedToCount(GetTotalRecordCount()); }
  // The same with the count known already.
  void SetRowsAffectedToCount(int32_t count);

  TTavQueryRowSource* provider_mgr_ = nullptr;
  int32_t max_records_ = 0;
  int32_t rows_affected_ = 0;
  bool create_live_result_ = false;
  bool first_after_fill_ = true;
  uint32_t only_row_ = 0;  // OnlyRowAddress
  bool empty_in_fill_ = false;  // PopulateResultSet empties the table first
  std::vector<uint8_t> row_;  // the row being built
  // Carries every raw value of a fill (a BLOB's stream made once).
  std::unique_ptr<TDataHolder> holder_;
  // Reads the target's stored record for the SET list of an UPDATE.
  std::unique_ptr<TTavExprDBDataProvider> update_provider_;
  const TTavUpdateRowConstructor* prepared_set_list_ = nullptr;
  std::unique_ptr<TFillColumnMaps> column_maps_;
  bool keep_column_maps_ = false;
  uint64_t open_count_ = 0;  // opens of this table's cursor
};

}  // namespace tav
