// Test support for dataset filters: texts with case and accents, random
// filter conditions over the test tables' columns, and the oracle that
// evaluates a filter over every record without any index.
//
// The columns a condition may name: ID (integer), Name and Code (strings),
// Grp (integer), Amount (float) and Note (a memo).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "engine/components/tav_data_set.h"
#include "engine/components/tav_filter_mgr.h"

namespace tav::test {

// Texts with case, accents (Windows-1252), '' and bytes of 0x80 and above.
inline const std::vector<std::string> kFilterTexts = {
    "", "anna", "Anna", "ANNA", "\xE9t\xE9", "\xC9T\xC9", "bob", "b\xF6" "b", "Bob", "zed", "\xFF", "ab"};

// One record's values; Null where empty (the memo when its text is empty).
struct TFilterRow {
  std::optional<std::string> Name, Code;
  std::optional<int32_t> Grp;
  std::optional<double> Amount;
  std::string Note;
};

// A random record: Nulls, equal values, texts with case and accents.
inline TFilterRow RandomFilterRow(std::mt19937& rng) {
  auto pick = [&](int k) { return static_cast<int>(rng() % static_cast<uint32_t>(k)); };
  static const double kAmounts[] = {-1.5, 0, 0.5, 2, 3.25};
  static const char* kNotes[] = {"", "hello", "Hello world", "lo", "\xE9t\xE9 long note"};
  TFilterRow r;
  if (pick(7) != 0) r.Name = kFilterTexts[static_cast<size_t>(pick(12))];
  if (pick(7) != 0) r.Code = kFilterTexts[static_cast<size_t>(pick(12))];
  if (pick(7) != 0) r.Grp = pick(7) - 3;
  if (pick(7) != 0) r.Amount = kAmounts[pick(5)];
  r.Note = kNotes[pick(5)];
  return r;
}

// A condition parsed against the table, outside the dataset's filter.
struct TParsedFilter {
  TTavExprDBDataProvider Provider;
  TTableList Tables;
  TTavBaseFilterEvaluator Evaluator;
};

// A random condition over the table's columns.
class TFilterMaker {
 public:
  explicit TFilterMaker(uint32_t seed) : rng_(seed) {}
  std::string Make(int depth) {
    if (depth > 0 && Pick(3) != 0) {
      switch (Pick(3)) {
        case 0: return "(" + Make(depth - 1) + " AND " + Make(depth - 1) + ")";
        case 1: return "(" + Make(depth - 1) + " OR " + Make(depth - 1) + ")";
        default: return "NOT (" + Make(depth - 1) + ")";
      }
    }
    static const char* kOps[] = {"=", "<>", "<", ">", "<=", ">="};
    const std::string op = kOps[Pick(6)];
    switch (Pick(9)) {
      case 0: return "ID " + op + " " + std::to_string(Pick(90));
      case 1:
        if (Pick(4) == 0) return "Grp IN (" + Int() + ", " + Int() + ")";
        if (Pick(4) == 0) return "Grp BETWEEN " + Int() + " AND " + Int();
        return "Grp " + op + " " + Int();
      case 2:
        if (Pick(5) == 0) return "Name LIKE '" + Head() + "%'";
        if (Pick(5) == 0) return "Name = '" + Head() + "*'";
        if (Pick(6) == 0) return "Name IN (" + Text() + ", " + Text() + ")";
        return "Name " + op + " " + Text();
      case 3:
        if (Pick(5) == 0) return "Code LIKE '%" + Head() + "%'";
        if (Pick(5) == 0) return "Code = '" + Head() + "*'";
        return "Code " + op + " " + Text();
      case 4: return "Amount " + op + " " + Real();
      case 5: return "Note LIKE '%" + std::string(Pick(2) ? "lo" : "\xE9t") + "%'";
      case 6: {
        static const char* kCols[] = {"Name", "Code", "Grp", "Amount", "Note"};
        return std::string(kCols[Pick(5)]) + (Pick(2) ? " IS NULL" : " IS NOT NULL");
      }
      case 7: return Text() + " " + op + " Name";
      default: return "Grp + 1 " + op + " " + Int();
    }
  }

 private:
  int Pick(int n) { return static_cast<int>(rng_() % static_cast<uint32_t>(n)); }
  std::string Int() { return Pick(8) == 0 ? "NULL" : std::to_string(Pick(9) - 4); }
  std::string Real() {
    static const char* kLits[] = {"-1.5", "0", "0.5", "2", "3.25", "1"};
    return kLits[Pick(6)];
  }
  std::string Text() {
    if (Pick(10) == 0) return "NULL";
    return "'" + kFilterTexts[static_cast<size_t>(Pick(static_cast<int>(kFilterTexts.size())))] + "'";
  }
  std::string Head() {
    const std::string& t = kFilterTexts[static_cast<size_t>(Pick(static_cast<int>(kFilterTexts.size())))];
    return t.empty() ? "a" : t.substr(0, 1 + static_cast<size_t>(Pick(2)));
  }
  std::mt19937 rng_;
};

// What evaluating every record of the master list (the current index
// inside the range) gives, in its order: no index serves the oracle.
inline std::vector<uint32_t> FilterOracle(TTavDataSet& ds, const std::string& text,
                                          host::TFilterOptions options) {
  TParsedFilter p;
  p.Provider.Initialize(&ds);
  TTableNameItem* item = p.Tables.Add();
  item->SetTableName(ds.TableName());
  item->SetTableFields(&p.Provider.ProviderFields);
  p.Evaluator.SetDataProvider(&p.Provider);
  p.Evaluator.SetTables(&p.Tables);
  p.Evaluator.SetFilterText(text);
  p.Evaluator.SetFilterOptions(options);
  const bool held = ds.ReadLocked();
  if (!held) ds.ReadLockTable();
  const bool ok = p.Evaluator.Open();
  if (!held) ds.UnlockTable();
  EXPECT_TRUE(ok) << text << ": " << p.Evaluator.GetErrors();
  return p.Evaluator.Result;
}

}  // namespace tav::test
