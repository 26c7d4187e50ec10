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
    switch (Pick(9)) {
      case 0: return "K " + op + " " + std::to_string(Pick(40));
      case 7:
        // The constant on the left.
        switch (Pick(5)) {
          case 0: return Int() + " " + op + " I";
          case 1: return Real() + " " + op + " F";
          case 2: return Text(true) + " " + op + " S";
          case 3: return Text(true) + " " + op + " C";
          default: return DateText(10 + Pick(11)) + " " + op + " D";
        }
      case 1:
        if (Pick(4) == 0)
          return std::string(Pick(2) ? "I IN (" : "I NOT IN (") + Int() + ", " + Int() +
                 (Pick(3) == 0 ? ", NULL)" : ")");
        if (Pick(4) == 0) return "I BETWEEN " + Int() + " AND " + Int();
        return "I " + op + " " + Int();
      case 2: return "F " + op + " " + Real();
      case 3:
      case 4: {
        // S has a case-sensitive index, C one that ignores case.
        const std::string col = Pick(2) ? "S" : "C";
        if (Pick(5) == 0) return col + " LIKE '" + Text(false).substr(0, 1) + "b%'";
        if (Pick(5) == 0) return col + " LIKE " + Pattern();
        if (Pick(6) == 0) return col + " IN (" + Text(true) + ", " + Text(true) + ")";
        if (Pick(8) == 0) return col + " NOT IN (" + Text(true) + ", " + Text(true) + ")";
        // A prefix of one to three characters: the rig's texts are as long
        // as that, shorter, '' or Null.
        if (Pick(4) == 0) return col + " = '" + Text(false).substr(0, 1 + Pick(3)) + "*'";
        if (Pick(8) == 0) return col + " " + op + " '" + Text(false).substr(0, 1 + Pick(3)) + "*'";
        return col + " " + op + " " + Text(true);
      }
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
  // A LIKE pattern: a text of the rig's (accents, case, stars, bytes of 0x80
  // and above) with a wildcard or a star cut in or after it.
  std::string Pattern() {
    std::string t = kTexts[static_cast<size_t>(Pick(static_cast<int>(kTexts.size())))];
    const size_t at = static_cast<size_t>(Pick(static_cast<int>(t.size()) + 1));
    static const char* kWild[] = {"%", "_", "%%", "_%", "", "*", "*%"};
    return "'" + t.substr(0, at) + kWild[Pick(7)] + t.substr(at) + "'";
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
  int prefixServed[2] = {0, 0};  // LIKE and text IN through an index, by case mode
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
    if (rig.indexed.GetOptimisationLevel() != olNone) {
      ++served;
      const bool prefixShape = text.find("LIKE") != std::string::npos ||
                               text.find("S IN") != std::string::npos ||
                               text.find("C IN") != std::string::npos ||
                               text.find("*'") != std::string::npos;
      if (prefixShape) ++prefixServed[options.Contains(host::foCaseInsensitive)];
    }
    ASSERT_EQ(rig.indexed.Result, rig.plain.Result) << text << " nulls excluded " << excludeNulls;
    rig.indexed.SetQueryActive(true);
    ASSERT_TRUE(rig.indexed.Open());
    ASSERT_EQ(rig.indexed.Result, Sorted(rig.plain.Result)) << text;
  }
  EXPECT_GT(parsed, 400);
  EXPECT_GT(served, 150);
  EXPECT_GT(prefixServed[0], 15);
  EXPECT_GT(prefixServed[1], 5);
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
      {"S LIKE 'ab%'", olFull},
      {"S LIKE '%b'", olNone},        // no literal head
      {"S NOT LIKE 'ab%'", olNone},
      {"C LIKE 'a_'", olFull},         // the case-insensitive index lists candidates
      {"S IN ('ab', 'b')", olFull},
      {"S IN ('ab', '')", olNone},
      {"S = 'ab'", olFull},
      {"3 < I", olFull},
      {"2 > I AND 'ab' <= S", olFull},
      {"S = 'ab*'", olFull},
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

// A few chosen rows: S and C (indexed, C ignoring case) hold the same text,
// I an integer or Null. Every filter runs through the indexes and row by row;
// the two must agree.
struct TChosenRows {
  explicit TChosenRows(const std::vector<Variant>& texts, const std::vector<Variant>& ints = {})
      : rig(0, 1) {
    for (size_t i = 0; i < texts.size(); ++i) {
      const Variant n = i < ints.size() ? ints[i] : Variant(static_cast<int>(i));
      const uint32_t at = rig.provider.Insert({Variant(static_cast<int>(i)), n, host::Null(),
                                               texts[i], texts[i], host::Null(), host::Null()});
      names.emplace_back(at, texts[i].IsNull() ? "<null>" : texts[i].AsString());
    }
    rig.provider.FillIndexQueryMgr(rig.indexed.IndexQueryMgr);
  }
  // The texts of the rows that pass, in base order.
  std::vector<std::string> Pass(const std::string& filter, bool excludeNulls,
                                bool caseInsensitive = false) {
    host::TFilterOptions options;
    if (caseInsensitive) options.Include(host::foCaseInsensitive);
    std::vector<std::string> got[2];
    int i = 0;
    for (TTavBaseFilterEvaluator* e : {&rig.indexed, &rig.plain}) {
      e->SetFilterText(filter);
      e->SetExcludeRelopNulls(excludeNulls);
      e->SetFilterOptions(options);
      EXPECT_TRUE(e->Open()) << filter << e->GetErrors();
      for (uint32_t address : e->Result)
        for (const auto& [at, name] : names)
          if (at == address) got[i].push_back(name);
      ++i;
    }
    EXPECT_EQ(got[0], got[1]) << filter << " (through the indexes, row by row)";
    return got[1];
  }
  TFilterRig rig;
  std::vector<std::pair<uint32_t, std::string>> names;
};

using Texts = std::vector<std::string>;

// A text shorter than a '*' prefix, '' and Null never begin with it.
TEST(FilterEvaluatorTest, APrefixMatchesOnlyTextsThatBeginWithIt) {
  TChosenRows t({Variant("a"), Variant(""), host::Null(), Variant("ab"), Variant("abc")});
  for (const bool excludeNulls : {false, true}) {
    SCOPED_TRACE(excludeNulls);
    EXPECT_EQ(t.Pass("S = 'ab*'", excludeNulls), (Texts{"ab", "abc"}));
    EXPECT_EQ(t.Pass("C = 'AB*'", excludeNulls, true), (Texts{"ab", "abc"}));
    EXPECT_EQ(t.Pass("S >= 'ab*'", excludeNulls), (Texts{"ab", "abc"}));
    EXPECT_EQ(t.Pass("S < 'ab*'", excludeNulls),
              excludeNulls ? (Texts{"a", ""}) : (Texts{"a", "", "<null>"}));
  }
  EXPECT_EQ(t.Pass("S <> 'ab*'", true), (Texts{"a", ""}));
  EXPECT_EQ(t.Pass("S <> 'ab*'", false), (Texts{"a", "", "<null>"}));
  // Without partial compares the star is a character like any other.
  t.rig.plain.SetFilterOptions(host::TFilterOptions{host::foNoPartialCompare});
  t.rig.plain.SetFilterText("S = 'ab*'");
  ASSERT_TRUE(t.rig.plain.Open());
  EXPECT_TRUE(t.rig.plain.Result.empty());
}

// With Nulls excluded a Null operand satisfies neither IN nor NOT IN, as it
// satisfies neither a comparison nor its negation.
TEST(FilterEvaluatorTest, ANullOperandIsNeitherInNorNotIn) {
  TChosenRows t({Variant("one"), Variant("null"), Variant("three"), Variant("four")},
                {Variant(1), host::Null(), Variant(3), Variant(4)});
  EXPECT_EQ(t.Pass("I NOT IN (1, 3)", true), (Texts{"four"}));
  EXPECT_EQ(t.Pass("NOT (I = 1 OR I = 3)", true), (Texts{"four"}));
  EXPECT_EQ(t.Pass("I IN (1, 3)", true), (Texts{"one", "three"}));
  EXPECT_EQ(t.Pass("I NOT IN (1, 3)", false), (Texts{"null", "four"}));
  EXPECT_EQ(t.Pass("S NOT IN ('one')", true), (Texts{"null", "three", "four"}));
}

// The star makes a prefix only in a comparison: LIKE patterns and IN
// elements keep it as written.
TEST(FilterEvaluatorTest, StarsInLikePatternsAndInListsAreCharacters) {
  TChosenRows t({Variant("ab"), Variant("ab*"), Variant("abc"), Variant("zz")});
  for (const bool caseInsensitive : {false, true}) {
    SCOPED_TRACE(caseInsensitive);
    EXPECT_EQ(t.Pass("S LIKE 'ab*'", true, caseInsensitive), (Texts{"ab*"}));
    EXPECT_EQ(t.Pass("S LIKE 'a%*'", false, caseInsensitive), (Texts{"ab*"}));
    EXPECT_EQ(t.Pass("S IN ('ab*', 'zz')", true, caseInsensitive), (Texts{"ab*", "zz"}));
    EXPECT_EQ(t.Pass("S NOT IN ('ab*')", true, caseInsensitive), (Texts{"ab", "abc", "zz"}));
    EXPECT_EQ(t.Pass("S = 'ab*'", true, caseInsensitive), (Texts{"ab", "ab*", "abc"}));
  }
}

// A refused filter text leaves no condition behind: a condition assigned
// next stands alone, and one that cannot be joined raises the engine's error.
TEST(FilterEvaluatorTest, ConditionsAssignedAfterARefusedFilter) {
  TChosenRows t({Variant("abc"), Variant("x"), Variant("abc"), Variant("y")},
                {Variant(2), Variant(2), Variant(5), Variant(5)});
  TTavBaseFilterEvaluator& source = t.rig.plain;
  source.SetFilterText("S = 'abc'");
  ASSERT_TRUE(source.Open());
  for (const char* refused : {"I = 2 K", "I = 2 AND zz = 1"}) {
    SCOPED_TRACE(refused);
    TTavBaseFilterEvaluator& e = t.rig.indexed;
    e.SetFilterText(refused);
    EXPECT_FALSE(e.Open());
    e.AssignExpr(source.GetFilterExpr(true), false, teoAND);
    EXPECT_EQ(e.GetErrors(), "");
    std::vector<uint32_t> want;
    for (const auto& [at, name] : t.names)
      if (name == "abc") want.push_back(at);
    EXPECT_EQ(e.Result, want);
  }
  // A join past the bounds of a tree is refused with the engine's error.
  TTavBaseFilterEvaluator& e = t.rig.indexed;
  // An OR chain is as deep as it is long.
  std::string deep = "K = 0";
  for (int i = 1; i < MaxExprTreeDepth - 1; ++i) deep += " OR K = " + std::to_string(i);
  source.SetFilterText(deep);
  ASSERT_TRUE(source.Open()) << source.GetErrors();
  e.SetFilterText(deep);
  ASSERT_TRUE(e.Open()) << e.GetErrors();
  EXPECT_EQ(test::ErrorCodeOf([&] { e.AssignExpr(source.GetFilterExpr(true), false, teoAND); }),
            10051);
}

// An error while rows are evaluated leaves Open as the engine's error with
// the evaluator's text.
TEST(FilterEvaluatorTest, EvaluationErrorsAreTheEnginesError) {
  TChosenRows t({Variant("a"), Variant("b")});
  for (const char* filter : {"I = 'x'", "I / 0 = 1"}) {
    t.rig.plain.SetFilterText(filter);
    std::string text;
    EXPECT_EQ(test::ErrorCodeOf([&] { t.rig.plain.Open(); }, &text), 10051) << filter;
    EXPECT_NE(text.find("Invalid filter/filter expression"), std::string::npos) << text;
  }
}

TEST(FilterEvaluatorTest, WrongDatesRaiseTheConvertersErrors) {
  TFilterRig rig(5, 1);
  rig.indexed.SetFilterText("D = 'not a date'");
  EXPECT_EQ(test::ErrorCodeOf([&] { rig.indexed.Open(); }), 10059);
}

}  // namespace
}  // namespace tav
