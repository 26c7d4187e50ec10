#include "engine/expr/filter_evaluator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "engine/expr/testing/stored_table_provider.h"
#include "engine/storage/testing/engine_error_test_support.h"

namespace tav {
namespace {

using host::Variant;
using testing::DateText;
using testing::kFields;
using testing::kIndexes;
using testing::kTexts;
using testing::TFilterRig;
using testing::TStoredTableProvider;

// A random condition over the rig's columns.
class TFilterMaker {
 public:
  explicit TFilterMaker(uint32_t seed) : rng_(seed) {}
  std::string Make(int depth) {
    if (depth > 0 && Pick(3) != 0) {
      switch (Pick(4)) {
        case 0: return "(" + Make(depth - 1) + " AND " + Make(depth - 1) + ")";
        case 1: return "(" + Make(depth - 1) + " OR " + Make(depth - 1) + ")";
        case 2: return "NOT (" + Make(depth - 1) + ")";
        default: return "(" + Make(depth - 1) + ") IS NULL";
      }
    }
    static const char* kOps[] = {"=", "<>", "<", ">", "<=", ">="};
    const std::string op = kOps[Pick(6)];
    switch (Pick(8)) {
      case 0: return "K " + op + " " + std::to_string(Pick(40));
      case 1:
        if (Pick(4) == 0) return "I IN (" + Int() + ", " + Int() + (Pick(3) == 0 ? ", NULL)" : ")");
        if (Pick(4) == 0) return "I BETWEEN " + Int() + " AND " + Int();
        return "I " + op + " " + Int();
      case 2: return "F " + op + " " + Real();
      case 3:
        if (Pick(5) == 0) return "S LIKE '" + Text(false).substr(0, 1) + "b%'";
        return "S " + op + " " + Text(true);
      case 4: return "C " + op + " " + Text(true);
      case 5: return "D " + op + " " + DateText(10 + Pick(11));
      case 6: return std::string(kCols[Pick(6)]) + (Pick(2) ? " IS NULL" : " IS NOT NULL");
      default: return "N + 1 " + op + " " + Int();
    }
  }

 private:
  static constexpr const char* kCols[] = {"I", "F", "S", "C", "D", "N"};
  int Pick(int n) { return static_cast<int>(rng_() % static_cast<uint32_t>(n)); }
  std::string Int() {
    switch (Pick(8)) {
      case 0: return "1.5";
      case 1: return "99999999999";
      case 2: return "NULL";
      default: return std::to_string(Pick(13) - 6);
    }
  }
  std::string Real() {
    static const char* kLits[] = {"-1.5", "0", "0.5", "2", "3.25", "1", "NULL"};
    return kLits[Pick(7)];
  }
  std::string Text(bool quoted) {
    if (quoted && Pick(10) == 0) return "NULL";
    std::string t = kTexts[static_cast<size_t>(Pick(static_cast<int>(kTexts.size())))];
    return quoted ? "'" + t + "'" : t + "x";
  }
  std::mt19937 rng_;
};

std::vector<uint32_t> Sorted(std::vector<uint32_t> v) {
  std::sort(v.begin(), v.end());
  return v;
}

// Rows served by the indexes are never checked again: every filter gives
// through the indexes the rows that evaluating every row gives, in both null
// modes, both case modes, in base order and in address order.
TEST(FilterEvaluatorTest, IndexesGiveTheRowsRowByRowEvaluationGives) {
  TFilterRig rig(900, 7);
  TFilterMaker maker(11);
  int served = 0, parsed = 0;
  for (int round = 0; round < 500; ++round) {
    const std::string text = maker.Make(round % 4);
    const bool excludeNulls = round % 2 == 0;
    host::TFilterOptions options;
    if (round % 3 == 0) options.Include(host::foCaseInsensitive);
    for (TTavBaseFilterEvaluator* e : {&rig.indexed, &rig.plain}) {
      e->SetFilterText(text);
      e->SetExcludeRelopNulls(excludeNulls);
      e->SetFilterOptions(options);
      e->SetQueryActive(false);
    }
    const bool ok = rig.plain.Open();
    ASSERT_EQ(rig.indexed.Open(), ok) << text;
    if (!ok) continue;
    ++parsed;
    if (rig.indexed.GetOptimisationLevel() != olNone) ++served;
    ASSERT_EQ(rig.indexed.Result, rig.plain.Result) << text << " nulls excluded " << excludeNulls;
    rig.indexed.SetQueryActive(true);
    ASSERT_TRUE(rig.indexed.Open());
    ASSERT_EQ(rig.indexed.Result, Sorted(rig.plain.Result)) << text;
  }
  EXPECT_GT(parsed, 400);
  EXPECT_GT(served, 150);
}

struct LevelCase {
  const char* text;
  TOptimisationLevel level;
};

TEST(FilterEvaluatorTest, LevelsOfFilters) {
  TFilterRig rig(50, 3);
  const LevelCase cases[] = {
      {"I = 1", olFull},
      {"I = 1 AND N = 2", olPartial},
      {"I = 1 OR N = 2", olNone},
      {"I = 1 OR K > 3", olFull},
      {"I <> 2", olFull},
      {"I = 1.5", olNone},             // the key would round
      {"I = 99999999999", olNone},     // beyond the key
      {"NOT (I = 1)", olNone},         // one-operand logical nodes are left alone
      {"(I = 1) IS NULL", olNone},
      {"I IN (1, 2)", olFull},
      {"I BETWEEN 1 AND 3", olFull},
      {"S LIKE 'ab%'", olNone},
      {"S = 'ab'", olFull},
      {"C = 'ab'", olNone},           // C's index ignores case, the filter does not
      {"D = '2023-03-15'", olFull},
      {"N = 1", olNone},
      {"1 = 1", olNone},
  };
  for (const LevelCase& c : cases) {
    rig.indexed.SetFilterText(c.text);
    ASSERT_TRUE(rig.indexed.Open()) << c.text << rig.indexed.GetErrors();
    EXPECT_EQ(rig.indexed.GetOptimisationLevel(), c.level) << c.text;
  }
  rig.indexed.SetFilterOptions(host::TFilterOptions{host::foCaseInsensitive});
  rig.indexed.SetFilterText("C = 'ab'");
  ASSERT_TRUE(rig.indexed.Open());
  EXPECT_EQ(rig.indexed.GetOptimisationLevel(), olFull);
}

TEST(FilterEvaluatorTest, EmptyFilterPassesEveryRowInBaseOrder) {
  TFilterRig rig(30, 5);
  rig.indexed.SetFilterText("");
  ASSERT_TRUE(rig.indexed.Open());
  TCompoundList base;
  rig.provider.GetDefaultRecordList(base);
  EXPECT_EQ(rig.indexed.Result, base.List1());
}

// A condition assigned without filter text and fully answered by an index
// passes only its rows, in base order.
TEST(FilterEvaluatorTest, AssignedConditionAnsweredByAnIndexKeepsItsRows) {
  TFilterRig rig(60, 9);
  rig.plain.SetFilterText("I = 2");
  ASSERT_TRUE(rig.plain.Open());
  TTavBaseFilterEvaluator& e = rig.indexed;
  e.SetExcludeRelopNulls(true);
  e.AssignExpr(rig.plain.GetFilterExpr(true), true, teoAND);
  EXPECT_EQ(e.GetOptimisationLevel(), olFull);
  EXPECT_EQ(e.Result, rig.plain.Result);
  rig.plain.SetFilterText("K < 30");
  ASSERT_TRUE(rig.plain.Open());
  const TTavExpr* second = rig.plain.GetFilterExpr(true);
  e.AssignExpr(second, false, teoAND);
  rig.plain.SetFilterText("I = 2 AND K < 30");
  ASSERT_TRUE(rig.plain.Open());
  EXPECT_EQ(e.Result, rig.plain.Result);
}

struct ErrorCase {
  const char* text;
  const char* error;
};

// Wrong filters leave Open false and give their message in the form without
// a line number, at the column of the token.
TEST(FilterEvaluatorTest, WrongFiltersGiveTheirMessage) {
  TFilterRig rig(5, 1);
  const ErrorCase cases[] = {
      {"I = ", "Expression incorrectly terminated Character 4. Token ''"},
      {"X = 1", "Field not found Character 1. Token 'X'"},
      {"I = 1; K = 2", "Expression incorrectly terminated Character 8. Token 'K'"},
      {"I = 1 K", "Invalid token Character 7. Token 'K'"},
      {"(I = 1", "Missing Right Parenthesis Character 7. Token ''"},
      {"I LIKE", "Expression incorrectly terminated Character 7. Token ''"},
      {"I = 1 ;", ""},
      {"I = 1;;", ""},
  };
  for (const ErrorCase& c : cases) {
    rig.indexed.SetFilterText(c.text);
    EXPECT_EQ(rig.indexed.Open(), c.error[0] == 0) << c.text;
    EXPECT_EQ(rig.indexed.GetErrors(), c.error) << c.text;
  }
}

TEST(FilterEvaluatorTest, EmptyTableWithSortedOutputGivesNoRows) {
  TStoredTableProvider provider(kFields, kIndexes);
  TTableList tables;
  provider.FillTableList(tables);
  TTavBaseFilterEvaluator e;
  e.SetDataProvider(&provider);
  e.SetTables(&tables);
  e.SetSortedOutput(true);
  e.SetFilterText("N = 1");
  ASSERT_TRUE(e.Open());
  EXPECT_EQ(e.GetRecordCount(), 0);
}

TEST(FilterEvaluatorTest, WrongDatesRaiseTheConvertersErrors) {
  TFilterRig rig(5, 1);
  rig.indexed.SetFilterText("D = 'not a date'");
  EXPECT_EQ(test::ErrorCodeOf([&] { rig.indexed.Open(); }), 10059);
}

}  // namespace
}  // namespace tav
