// The accumulators of a SELECT's aggregate columns. While a result table is
// filled, every result row with aggregate columns has a holder
// (TFuncResultHolder, found by the row's record address in a
// TFuncResultList), and the holder has one item (TFuncResultItem) per
// aggregate column. Each provider row hands its value of the aggregate's
// argument to the row's item (SetNewValue); once every row is in, the item's
// result is written to the row.
//
// Values are taken as they come: COUNT only counts, MIN and MAX keep the
// least or greatest value itself (texts compared by the result table's string
// compare routine, as its indexes compare them), SUM and AVG add numbers. A
// Null is never counted; COUNT(*) hands in Unassigned, which counts. With
// DISTINCT the values of COUNT, SUM and AVG are gathered in a memory table
// with a unique index, so that two values are the same exactly when that
// index says so.
//
// Callers must keep:
//  - The list lives for one fill of a result table; its private "MEMORY"
//    connections and the DISTINCT tables go with it.
//  - The string compare routine handed to the list outlives it.
//  - Not thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/expr/expr_tree.h"
#include "engine/storage/base/tav_compare.h"
#include "host/db/field_types.h"
#include "host/rtl/collection.h"
#include "host/rtl/variant.h"

namespace tav {

class TFuncResultHolder;
class TFuncResultList;
class TTavDataBase;
class TTavTable;

class TFuncResultItem : public host::TCollectionItem {
 public:
  using host::TCollectionItem::TCollectionItem;
  ~TFuncResultItem() override;

  // Gives the item its column and function; a DISTINCT item of COUNT, SUM
  // or AVG makes its value table on `database`, named `tableName`, with one
  // field `fieldName` of `dataType` and `size`.
  void Initialize(int32_t columnNo, TTavSQLAggFunc aggFunc, bool distinct, TTavDataBase* database,
                  const std::string& tableName, const std::string& fieldName,
                  host::TFieldType dataType, int32_t size, TDBStringCompare compare);

  // Takes one row's value of the aggregate's argument. SUM and AVG of a
  // value that is no number raise 9645 ("Aggregate column data conversion
  // error").
  void SetNewValue(const host::Variant& value);
  // As SetNewValue with the value of a field of `type` as its record holds
  // it at `data` (nullptr: NULL), without making a Variant of it. Only for
  // a type TakesStoredNumber accepts, and never for a DISTINCT item.
  void SetNewStoredNumber(host::TFieldType type, const uint8_t* data);
  // Smallint, Word, Integer, AutoInc and Float: read as their Variants
  // would be (an Integer, or a double for Float), exactly.
  static bool TakesStoredNumber(host::TFieldType type);
  // The aggregate over the values taken: 0 when none was taken; COUNT an
  // Integer; SUM and AVG a double; MIN and MAX the value kept.
  host::Variant CalculateNumericFuncResult();

  int32_t ColumnNo() const { return column_no_; }
  TTavSQLAggFunc AggFunc() const { return agg_func_; }
  bool Distinct() const { return distinct_; }
  int32_t ValueCount() const { return value_count_; }

 private:
  // Whether `value` should replace the one kept by MIN or MAX.
  bool Replaces(const host::Variant& value) const;
  void AddDistinctValue(const host::Variant& value);
  host::Variant DistinctResult();

  int32_t column_no_ = -1;
  TTavSQLAggFunc agg_func_ = tafUnknown;
  bool distinct_ = false;
  int32_t value_count_ = 0;
  double total_ = 0;      // SUM and AVG
  host::Variant kept_;    // MIN and MAX
  // The number kept_ holds, when SetNewStoredNumber kept it: compared
  // without the Variant.
  double kept_number_ = 0;
  bool kept_stored_ = false;
  TDBStringCompare compare_ = nullptr;
  std::unique_ptr<TTavTable> values_;  // DISTINCT COUNT, SUM and AVG
};

class TFuncResultHolder : public host::TTypedCollection<TFuncResultItem> {
 public:
  TFuncResultHolder(TFuncResultList& list, uint32_t recordAddress);

  // A new item for column `columnNo`; `columnText` names its DISTINCT value
  // field ("fld1" when empty).
  TFuncResultItem* AddNewResultItem(const std::string& columnText, bool distinct,
                                    TTavSQLAggFunc aggFunc, host::TFieldType dataType, int32_t size,
                                    int32_t columnNo);
  // nullptr when the holder has no item for the column.
  TFuncResultItem* FindFuncResultItem(int32_t columnNo) const;
  // The list's private "MEMORY" connection, connected on first need.
  TTavDataBase& GetHolderDatabase();

  uint32_t RecordAddress() const { return record_address_; }
  // The record address in decimal: the first part of its tables' names.
  const std::string& BaseName() const { return base_name_; }

 private:
  TFuncResultList& list_;
  uint32_t record_address_;
  std::string base_name_;
};

class TFuncResultList : public host::TObject {
 public:
  // `compare` orders texts for MIN and MAX.
  explicit TFuncResultList(TDBStringCompare compare);
  ~TFuncResultList() override;
  TFuncResultList(const TFuncResultList&) = delete;
  TFuncResultList& operator=(const TFuncResultList&) = delete;

  TFuncResultItem* AddNewResultItem(const std::string& columnText, uint32_t recordAddress,
                                    bool distinct, TTavSQLAggFunc aggFunc,
                                    host::TFieldType dataType, int32_t size, int32_t columnNo);
  // A broken internal rule when the row has no item for the column.
  void SetNewValue(uint32_t recordAddress, int32_t columnNo, const host::Variant& value);
  host::Variant GetFuncResult(uint32_t recordAddress, int32_t columnNo);
  TFuncResultItem* FindFuncResultItem(uint32_t recordAddress, int32_t columnNo) const;
  // nullptr when the row has no holder.
  TFuncResultHolder* GetHolder(uint32_t recordAddress) const;
  TFuncResultHolder* AddHolder(uint32_t recordAddress);
  int Count() const { return static_cast<int>(holders_.size()); }

  TDBStringCompare Compare() const { return compare_; }
  TTavDataBase& Database();

 private:
  TFuncResultItem& RequireItem(uint32_t recordAddress, int32_t columnNo) const;

  TDBStringCompare compare_;
  // Declared first, freed last: the holders' tables are on them. A memory
  // database's directory holds a bounded number of tables, so each private
  // connection takes kTablesPerConnection value tables and the next goes to
  // a new one.
  static constexpr int kTablesPerConnection = 500;
  std::vector<std::unique_ptr<TTavDataBase>> databases_;
  int tables_on_last_ = 0;
  std::unordered_map<uint32_t, std::unique_ptr<TFuncResultHolder>> holders_;
};

}  // namespace tav
