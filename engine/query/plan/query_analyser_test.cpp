#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "engine/expr/expr_evaluator.h"
#include "engine/expr/expr_parser.h"
#include "engine/expr/pre_parser.h"
#include "engine/expr/testing/expr_test_support.h"
#include "engine/query/plan/query_analyser.h"
#include "host/rtl/string_list.h"
#include "host/rtl/sys_utils.h"

namespace tav {
namespace {

using testing::AddTestTable;
using testing::ConditionStack;

// Tables A, B and C (aliases a, b, c), each with integer columns x, y and z.
void AddTables(TTableList& list, int count) {
  const char* names[] = {"A", "B", "C"};
  const char* aliases[] = {"a", "b", "c"};
  for (int i = 0; i < count; ++i)
    AddTestTable(list, names[i], aliases[i],
                 {{"x", host::ftInteger}, {"y", host::ftInteger}, {"z", host::ftInteger}});
}

// A WHERE condition parsed over the tables, split by the analyser.
struct TAnalysis {
  explicit TAnalysis(int tables) { AddTables(Tables, tables); }

  bool Run(const std::string& where) {
    const TTavExprNode* root = nullptr;
    if (!where.empty()) {
      Parser.SetTableList(&Tables);
      if (!Parser.Execute(TTavParserOptions{tpoExtSyntax}, ConditionStack(Pre, where))) {
        ADD_FAILURE() << where << ": " << Parser.GetErrorMsgNoLine();
        return false;
      }
      root = Parser.Root;
    }
    Analyser.Prepare(&Joins, &Selects, root, &Tables);
    return Analyser.CheckAnalysisComplete();
  }

  // A select item's condition, dumped; "" when it has none.
  std::string Selection(const std::string& table) {
    TTavSelectItem* item = nullptr;
    for (int i = 0; i < Selects.Count(); ++i)
      if (host::SameText(Selects.GetItems(i)->TableName, table)) item = Selects.GetItems(i);
    EXPECT_NE(item, nullptr) << table;
    return item ? Dump(item->SelectExprRoot()) : "?";
  }

  static std::string Dump(const TTavExprNode* node) {
    if (!node) return "";
    host::TStringList lines;
    TTavExprNode::DisplayExprTree("", node, lines);
    return lines.Text();
  }

  TTableList Tables;
  TTavPreParser Pre;
  TTavExprParser Parser;
  TTavJoins Joins;
  TTavSelects Selects;
  TTavQueryAnalyser Analyser;
};

// The dump of a condition parsed on its own, to compare split parts with.
std::string DumpOf(const std::string& text, int tables = 3) {
  TAnalysis a(tables);
  a.Parser.SetTableList(&a.Tables);
  EXPECT_TRUE(a.Parser.Execute(TTavParserOptions{tpoExtSyntax}, ConditionStack(a.Pre, text)));
  return TAnalysis::Dump(a.Parser.Root);
}

TEST(QueryAnalyser, WithoutAConditionEveryTableIsUnfiltered) {
  TAnalysis a(3);
  EXPECT_TRUE(a.Run(""));
  ASSERT_EQ(a.Selects.Count(), 3);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(a.Selects.GetItems(i)->SelectExprRoot(), nullptr);
  EXPECT_EQ(a.Selects.GetItems(1)->TableName, "B");
  EXPECT_EQ(a.Selects.GetItems(1)->CorrelationName, "b");
  EXPECT_EQ(a.Joins.Count(), 0);
}

TEST(QueryAnalyser, OneTableTakesTheWholeCondition) {
  TAnalysis a(1);
  EXPECT_TRUE(a.Run("a.x = 1 OR a.y = 2"));
  EXPECT_EQ(a.Selection("A"), DumpOf("a.x = 1 OR a.y = 2", 1));
}

TEST(QueryAnalyser, AndOfSelectionsAndAJoinSplitsWhole) {
  TAnalysis a(2);
  EXPECT_TRUE(a.Run("a.x = b.x AND a.y = 1 AND b.z > 2"));
  ASSERT_EQ(a.Joins.Count(), 1);
  EXPECT_EQ(a.Joins.GetItems(0)->TableList().Count(), 2);
  EXPECT_EQ(TAnalysis::Dump(a.Joins.GetItems(0)->JoinExprRoot()), DumpOf("a.x = b.x"));
  EXPECT_EQ(a.Selection("A"), DumpOf("a.y = 1"));
  EXPECT_EQ(a.Selection("B"), DumpOf("b.z > 2"));
}

TEST(QueryAnalyser, SeveralSelectionsOfATableAreJoinedByAnd) {
  TAnalysis a(2);
  EXPECT_TRUE(a.Run("(a.x = 1 AND b.y = 3) AND a.z = 2"));
  EXPECT_EQ(a.Selection("A"), DumpOf("a.z = 2 AND a.x = 1"));
  EXPECT_EQ(a.Selection("B"), DumpOf("b.y = 3"));
  EXPECT_EQ(a.Joins.Count(), 0);
}

TEST(QueryAnalyser, WhatCannotBeSplitStaysWhole) {
  for (const char* where : {"a.x = 1 OR b.y = 2", "1 = 1",
                            "NOT (a.x = b.x)", "a.x = b.x OR a.y = b.y",
                            // The list names b: not a selection of a, and no comparison
                            // between two tables either.
                            "a.x IN (b.y, 1) AND a.z = 1"}) {
    TAnalysis a(2);
    EXPECT_FALSE(a.Run(where)) << where;
    EXPECT_EQ(a.Joins.Count(), 0) << where;
    ASSERT_EQ(a.Selects.Count(), 2);
    EXPECT_EQ(a.Selection("A"), "") << where;
    EXPECT_EQ(a.Selection("B"), "") << where;
  }
}

TEST(QueryAnalyser, AComparisonOverThreeTablesIsOneJoinItem) {
  TAnalysis a(3);
  EXPECT_TRUE(a.Run("a.x + b.y = c.z AND a.x = b.x AND b.y = a.y"));
  ASSERT_EQ(a.Joins.Count(), 2);
  EXPECT_EQ(a.Joins.GetItems(0)->TableList().Count(), 3);
  // The two conditions on a and b share one item.
  EXPECT_EQ(TAnalysis::Dump(a.Joins.GetItems(1)->JoinExprRoot()), DumpOf("b.y = a.y AND a.x = b.x"));
}

TEST(QueryAnalyser, SplitPartsOutliveTheConditionTheyCameFrom) {
  TTavJoins joins;
  TTavSelects selects;
  TTableList tables;
  AddTables(tables, 2);
  TTavQueryAnalyser analyser;
  {
    TTavPreParser pre;
    TTavExprParser parser;
    parser.SetTableList(&tables);
    ASSERT_TRUE(parser.Execute(TTavParserOptions{tpoExtSyntax},
                               ConditionStack(pre, "a.x = b.y AND a.z IN (1, 2, 3)")));
    analyser.Prepare(&joins, &selects, parser.Root, &tables);
    EXPECT_TRUE(analyser.CheckAnalysisComplete());
    analyser.Clear();
  }
  // The WHERE tree is gone; the clones (and their argument lists) are whole.
  ASSERT_EQ(selects.Count(), 2);
  const TTavExprNode* in = selects.GetItems(0)->SelectExprRoot();
  ASSERT_NE(in, nullptr);
  EXPECT_EQ(in->Args.size(), 3u);
  EXPECT_FALSE(TAnalysis::Dump(joins.GetItems(0)->JoinExprRoot()).empty());
}

// ---- the split as a property -------------------------------------------

// One row per table: each provider serves its table's current values.
class TRowProvider : public TTavExprDataProvider {
 public:
  explicit TRowProvider(const TTableNameItem& table) {
    ProviderFields.Assign(table.TableFields());
    for (int i = 0; i < ProviderFields.Count(); ++i) ProviderFields.Items(i)->SetFieldNo(i);
    Values.resize(static_cast<size_t>(ProviderFields.Count()));
  }
  host::Variant GetDataAsVariant(int32_t fieldNo) override {
    const auto& v = Values.at(static_cast<size_t>(fieldNo));
    return v ? host::Variant(*v) : host::Null();
  }
  std::vector<std::optional<int32_t>> Values;
};

class TJoinedRow : public TTavExprDataProvider {
 public:
  explicit TJoinedRow(const TTableList& tables) {
    for (int i = 0; i < tables.Count(); ++i)
      Tables[host::AnsiUpperCase(tables.Items(i)->CorrelationName())] =
          std::make_unique<TRowProvider>(*tables.Items(i));
  }
  TTavExprDataProvider* FindProvider(const std::string& name) override {
    auto it = Tables.find(host::AnsiUpperCase(name));
    return it == Tables.end() ? nullptr : it->second.get();
  }
  std::map<std::string, std::unique_ptr<TRowProvider>> Tables;
};

std::unique_ptr<TExprEvaluator> EvaluatorOf(TJoinedRow& row, const TTavExprNode* condition) {
  auto e = std::make_unique<TExprEvaluator>();
  e->SetExcludeRelopNulls(true);
  e->Prepare(&row, condition);
  return e;
}

bool Holds(TExprEvaluator& e) {
  e.Reset();
  return e.Evaluate();
}

std::string RandomCondition(std::mt19937& rng, int depth) {
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<uint32_t>(n)); };
  const char* tables[] = {"a", "b", "c"};
  const char* columns[] = {"x", "y", "z"};
  auto col = [&] { return std::string(tables[pick(3)]) + "." + columns[pick(3)]; };
  if (depth > 0 && pick(3) != 0) {
    // Mostly AND, so that many conditions split.
    const int k = pick(6);
    if (k < 4) return "(" + RandomCondition(rng, depth - 1) + " AND " + RandomCondition(rng, depth - 1) + ")";
    if (k == 4) return "(" + RandomCondition(rng, depth - 1) + " OR " + RandomCondition(rng, depth - 1) + ")";
    return "NOT (" + RandomCondition(rng, depth - 1) + ")";
  }
  const char* ops[] = {"=", "<>", "<", ">=", "<=", ">"};
  switch (pick(6)) {
    case 0: return col() + " " + ops[pick(6)] + " " + std::to_string(pick(3));
    case 1: return col() + " " + ops[pick(6)] + " " + col();
    case 2: return col() + " + " + col() + " = " + col();
    case 3: return col() + " IN (" + col() + ", " + std::to_string(pick(3)) + ")";
    case 4: return col() + " IS NULL";
    default: return col() + " BETWEEN " + std::to_string(pick(2)) + " AND " + col();
  }
}

TEST(QueryAnalyser, SelectionsAndJoinConditionsTogetherAreTheWhereCondition) {
  std::mt19937 rng(20261209);
  int complete = 0, incomplete = 0, rowsChecked = 0;
  for (int round = 0; round < 300; ++round) {
    const int tableCount = 2 + static_cast<int>(rng() % 2);
    const std::string where = RandomCondition(rng, 3);
    TAnalysis a(tableCount);
    // Conditions naming the third table need it in the list.
    if (tableCount == 2 && where.find("c.") != std::string::npos) continue;
    const bool split = a.Run(where);
    if (!split) {
      ++incomplete;
      EXPECT_EQ(a.Joins.Count(), 0) << where;
      ASSERT_EQ(a.Selects.Count(), tableCount) << where;
      for (int i = 0; i < tableCount; ++i)
        EXPECT_EQ(a.Selects.GetItems(i)->SelectExprRoot(), nullptr) << where;
      continue;
    }
    ++complete;
    TJoinedRow row(a.Tables);
    std::vector<std::unique_ptr<TExprEvaluator>> parts;
    for (int i = 0; i < a.Selects.Count(); ++i)
      if (const TTavExprNode* s = a.Selects.GetItems(i)->SelectExprRoot()) parts.push_back(EvaluatorOf(row, s));
    for (int i = 0; i < a.Joins.Count(); ++i)
      parts.push_back(EvaluatorOf(row, a.Joins.GetItems(i)->JoinExprRoot()));
    auto whole = EvaluatorOf(row, a.Parser.Root);
    for (int trial = 0; trial < 40; ++trial) {
      for (auto& [name, table] : row.Tables)
        for (auto& v : table->Values) v = rng() % 5 == 0 ? std::nullopt : std::optional<int32_t>(rng() % 3);
      bool all = true;
      for (auto& part : parts) all = all && Holds(*part);
      ASSERT_EQ(all, Holds(*whole)) << where;
      ++rowsChecked;
    }
  }
  // Both outcomes were met often enough to mean something.
  EXPECT_GT(complete, 40);
  EXPECT_GT(incomplete, 40);
  EXPECT_GT(rowsChecked, 1000);
}

}  // namespace
}  // namespace tav
