// A data provider over one stored table (a database file in a temporary
// folder), with the table's indexes ready for the filter optimizer. Shared by
// the filter tests, the filter fuzz target and the filter benchmark.
//
// Columns are integers, floats, dates and strings; a row is a vector of
// Variants in column order (Null for a missing value). The base order is the
// record block order.
#pragma once

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine/expr/expr_evaluator.h"
#include "engine/expr/filter_evaluator.h"
#include "engine/expr/filter_optimizer.h"
#include "engine/expr/table_list.h"
#include "engine/storage/base/tav_compare.h"
#include "engine/storage/testing/table_test_support.h"
#include "host/rtl/variant.h"
#include "os/testing/test_support.h"

namespace tav::testing {

class TStoredTableProvider : public TTavExprDataProvider {
 public:
  TStoredTableProvider(std::vector<test::TTableFieldDesc> fields,
                       std::vector<test::TTableIndexDesc> indexes)
      : fields_(std::move(fields)), indexes_(std::move(indexes)) {
    db_ = std::make_unique<test::TTestDatabaseFile>(dir_ / "filter.tav", true);
    TTableDef def(nullptr);
    test::BuildTableDef(def, "T", false, fields_, indexes_);
    if (db_->Tables().CreateTableDef("T", def) != 0)
      TavDatabaseError(kUnexpectedInternalError, "TStoredTableProvider", "table not created");
    table_ = test::OpenStoredTable(db_->Tables(), "T", def.TableID(), fields_, indexes_);
    int no = 1;
    for (const auto& f : fields_) {
      TInternalFieldItem* item = ProviderFields.Add();
      item->SetFieldName(f.Name);
      item->SetDataType(f.Type);
      item->SetFieldNo(no++);
      if (f.Type == host::ftString) {
        item->SetFieldSize(f.Size + 1);
        item->SetIsVariable(true);
      }
      columns_.push_back(&table_->Field(f.Name));
    }
    SetDBStringCompare(DBANSICompareStrings);
  }
  ~TStoredTableProvider() override {
    table_.reset();
    db_.reset();
  }

  // Stores one row; returns its address.
  uint32_t Insert(const std::vector<host::Variant>& row) {
    std::vector<uint8_t> rec = table_->NewRecord();
    for (size_t i = 0; i < fields_.size() && i < row.size(); ++i) {
      const std::string& name = fields_[i].Name;
      const host::Variant& v = row[i];
      if (v.IsNull() || v.IsEmpty()) {
        table_->SetNull(rec, name);
        continue;
      }
      const TInternalFieldItem& f = *columns_[i];
      rec[static_cast<size_t>(f.NullFlagOffset())] = 1;
      switch (fields_[i].Type) {
        case host::ftString: table_->SetString(rec, name, v.AsString()); break;
        case host::ftFloat: Put(rec, f, v.AsDouble()); break;
        case host::ftDate:
        case host::ftDateTime: Put(rec, f, v.AsDateTime()); break;
        default: table_->SetInteger(rec, name, v.AsInteger()); break;
      }
    }
    return table_->Insert(rec);
  }

  // Hands every index of the table to `mgr`.
  void FillIndexQueryMgr(TIndexQueryMgr& mgr) {
    table_->LiveRecords();  // brings the index headers up to date
    for (const auto& d : indexes_) mgr.Add(d.Name, &table_->Index(d.Name).Tree());
  }

  // The table's columns as the parser sees them.
  void FillTableList(TTableList& list) {
    TTableNameItem* item = list.Add();
    item->SetTableName("T");
    item->SetTableFields(&ProviderFields);
  }

  host::Variant GetDataAsVariant(int32_t fieldNo) override {
    const size_t i = static_cast<size_t>(fieldNo - 1);
    const TInternalFieldItem& f = *columns_.at(i);
    const uint8_t* rec = current_.data();
    if (rec[f.NullFlagOffset()] == 0) return host::Null();
    switch (fields_[i].Type) {
      case host::ftString: return host::Variant(table_->GetString(rec, fields_[i].Name));
      case host::ftFloat: return host::Variant(Get(f));
      case host::ftDate:
      case host::ftDateTime: return host::VarFromDateTime(Get(f));
      default: return host::Variant(table_->GetInteger(rec, fields_[i].Name));
    }
  }
  bool KeepsStoredRecords() const override { return true; }
  bool GetStoredField(int32_t fieldNo, const uint8_t*& data, int32_t& length) override {
    const size_t i = static_cast<size_t>(fieldNo - 1);
    if (i >= columns_.size()) return false;
    const TInternalFieldItem& f = *columns_[i];
    const uint8_t* rec = current_.data();
    data = nullptr;
    length = 0;
    if (rec[f.NullFlagOffset()] == 0) return true;
    length = f.FieldSize();
    if (f.SizeMarkerOffset() != 0) {
      uint16_t stored;
      std::memcpy(&stored, rec + f.SizeMarkerOffset(), 2);
      if (stored > f.FieldSize()) return false;
      length = stored;
    }
    data = rec + f.DataOffset();
    return true;
  }
  void GetDefaultRecordList(TCompoundList& list) override {
    list.Clear();
    for (uint32_t address : table_->LiveRecords()) list.Add(address, 0);
  }
  // One connection alone writes the table, so the record is read without
  // refreshing the table header first.
  bool MoveToRecord(uint32_t address) override {
    current_.resize(static_cast<size_t>(table_->Def().InternalFields().RecordSize()));
    table_->Records().ReadRecord(address, current_.data(), false);
    return true;
  }

  test::TTableConnection& Table() { return *table_; }

 private:
  static void Put(std::vector<uint8_t>& rec, const TInternalFieldItem& f, double v) {
    std::memcpy(rec.data() + f.DataOffset(), &v, 8);
  }
  double Get(const TInternalFieldItem& f) const {
    double v;
    std::memcpy(&v, current_.data() + f.DataOffset(), 8);
    return v;
  }

  os::test::TTempDir dir_;
  std::vector<test::TTableFieldDesc> fields_;
  std::vector<test::TTableIndexDesc> indexes_;
  std::unique_ptr<test::TTestDatabaseFile> db_;
  std::unique_ptr<test::TTableConnection> table_;
  std::vector<const TInternalFieldItem*> columns_;
  std::vector<uint8_t> current_;
};

inline const std::vector<test::TTableFieldDesc> kFields = {
    {"K", host::ftInteger}, {"I", host::ftInteger},    {"F", host::ftFloat},
    {"S", host::ftString, 10}, {"C", host::ftString, 10}, {"D", host::ftDate},
    {"N", host::ftInteger}};
inline const std::vector<test::TTableIndexDesc> kIndexes = {
    {"UK", "K", true},
    {"II", "I"},
    {"IFD", "F", false, false, false, true},
    {"ISI", "S;I"},
    {"ICI", "C", false, false, true},
    {"IDT", "D"}};

// Texts with case, accents, '' and bytes of 0x80 and above, and stars, which
// a LIKE pattern or an IN list may hold as characters.
inline const std::vector<std::string> kTexts = {
    "", "a", "A", "ab", "Ab", "abz", "\xE1" "b", "b", "\xE9t\xE9", "zz", "\xFF", "AB", "ab*", "A*"};
inline const std::vector<double> kReals = {-1.5, 0, 0.5, 2, 3.25};

// Days since 1899-12-30: 45000 is 2023-03-15.
inline std::string DateText(int day) { return "'2023-03-" + std::string(day < 10 ? "0" : "") + std::to_string(day) + "'"; }

// A table of `rows` random rows with Nulls, duplicates across leaves, texts
// with case, accents, '' and bytes of 0x80 and above, and six indexes (unique
// or not, descending, case-insensitive, of two fields); `indexed` filters it
// through the indexes, `plain` by evaluating every row.
struct TFilterRig {
  explicit TFilterRig(int rows, uint32_t seed) : provider(kFields, kIndexes) {
    std::mt19937 rng(seed);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<uint32_t>(n)); };
    auto maybeNull = [&](host::Variant v) { return pick(7) == 0 ? host::Null() : v; };
    const int kTextCount = static_cast<int>(kTexts.size());
    for (int r = 0; r < rows; ++r) {
      provider.Insert({host::Variant(r), maybeNull(host::Variant(pick(11) - 5)),
                       maybeNull(host::Variant(kReals[static_cast<size_t>(pick(5))])),
                       maybeNull(host::Variant(kTexts[static_cast<size_t>(pick(kTextCount))])),
                       maybeNull(host::Variant(kTexts[static_cast<size_t>(pick(kTextCount))])),
                       maybeNull(host::VarFromDateTime(45000 + pick(11) - 5)),
                       maybeNull(host::Variant(pick(7) - 3))});
    }
    provider.FillTableList(tables);
    provider.FillIndexQueryMgr(indexed.IndexQueryMgr);
    for (TTavBaseFilterEvaluator* e : {&indexed, &plain}) {
      e->SetDataProvider(&provider);
      e->SetTables(&tables);
    }
  }
  TStoredTableProvider provider;
  TTableList tables;
  TTavBaseFilterEvaluator indexed;
  TTavBaseFilterEvaluator plain;
};

}  // namespace tav::testing
