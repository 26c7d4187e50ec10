#include "engine/query/parse/join_post_processor.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/query/testing/query_test_support.h"
#include "host/rtl/string_list.h"

namespace tav {
namespace {

using Strings = std::vector<std::string>;
using testing::TQueryColumn;

// The FROM clause of "SELECT * <text>" with the statement's tables given
// their fields, then the joins processed.
struct Joins {
  explicit Joins(const std::string& text) {
    parsed = parser.Execute(TTavParserOptions{tpoExtSyntax},
                            testing::StatementStack(pre, "SELECT * " + text, tstFrom));
    const TTableList& named = parser.TableList();
    for (int i = 0; i < named.Count(); ++i) {
      const TTableNameItem* item = named.Items(i);
      testing::AddQueryTable(tables, item->TableName(), item->CorrelationName(),
                             ColumnsOf(item->TableName()));
    }
    processor = std::make_unique<TJoinPostProcessor>(tables);
    ok = parsed && processor->Execute(parser.Root());
  }
  static std::vector<TQueryColumn> ColumnsOf(const std::string& table) {
    if (table == "a")
      return {{"k"}, {"j"}, {"s", host::ftString}, {"d", host::ftDate}};
    if (table == "b") return {{"k"}, {"j"}, {"t", host::ftString}};
    if (table == "c") return {{"K"}, {"m"}};
    return {{"x"}};
  }
  // The join condition as "q.c = q.c AND ..." from the root down, left first.
  static std::string Text(const TTavExprNode* node) {
    if (node == nullptr) return "";
    if (node->Operator == teoAND) return Text(node->Left) + " AND " + Text(node->Right);
    if (node->Kind == enkField) {
      const std::string q = node->TokenArgs.empty() ? "?" : node->TokenArgs.front()->Text;
      return q + "." + host::VarToStr(node->Data) + ":" + host::FieldTypeName(node->DataType);
    }
    if (node->Kind == enkConst) return "'" + host::VarToStr(node->Data) + "':" + host::FieldTypeName(node->DataType);
    return Text(node->Left) + " " + node->ParserToken.Text + " " + Text(node->Right);
  }
  std::string On(const TTavTableRefNode* join) const { return Text(join->OnExpr().Root()); }

  TTavPreParser pre;
  TTavFromParser parser;
  TTableList tables;
  std::unique_ptr<TJoinPostProcessor> processor;
  bool parsed = false;
  bool ok = false;
};

TEST(JoinPostProcessorTest, UsingAndNaturalGiveEqualities) {
  struct Case {
    const char* text;
    std::string on;
  };
  const Case cases[] = {
      {"FROM a JOIN b USING (k, j)", "a.k:Integer = b.k:Integer AND a.j:Integer = b.j:Integer"},
      // Aliases qualify; a column named twice joins once.
      {"FROM a x LEFT JOIN b y USING (J, j)", "x.j:Integer = y.j:Integer"},
      // NATURAL: the columns both sides have, in the left table's order.
      {"FROM a NATURAL JOIN b", "a.k:Integer = b.k:Integer AND a.j:Integer = b.j:Integer"},
      // None in common: no condition, as in standard SQL.
      {"FROM a NATURAL JOIN z", ""},
      // An ON written beside NATURAL keeps its place first.
      {"FROM a NATURAL JOIN c ON a.j = c.m",
       "a.j:Integer = c.m:Integer AND a.k:Integer = c.K:Integer"},
  };
  for (const Case& c : cases) {
    Joins j(c.text);
    ASSERT_TRUE(j.ok) << c.text << ": " << j.parser.GetErrorMsg() << j.processor->GetErrorMsg();
    EXPECT_EQ(j.On(j.parser.Root()), c.on) << c.text;
  }
}

TEST(JoinPostProcessorTest, EqualitiesAreTypedTreesOverTheirTables) {
  Joins j("FROM a JOIN b USING (k)");
  ASSERT_TRUE(j.ok) << j.processor->GetErrorMsg();
  const TTavExprNode* eq = j.parser.Root()->OnExpr().Root();
  ASSERT_NE(eq, nullptr);
  EXPECT_EQ(eq->Kind, enkRelOperator);
  EXPECT_EQ(eq->Operator, teoEQ);
  EXPECT_EQ(eq->DataType, host::ftBoolean);
  for (const TTavExprNode* side : {eq->Left, eq->Right}) {
    ASSERT_EQ(side->TableList.Count(), 1);
    EXPECT_EQ(side->Operator, teoFIELD2);
    EXPECT_EQ(side->DataSize, 4);
  }
  EXPECT_EQ(eq->Left->TableList.Items(0)->TableName(), "a");
  EXPECT_EQ(eq->Right->TableList.Items(0)->TableName(), "b");
  EXPECT_EQ(j.parser.GetExprCount(), 1);
}

TEST(JoinPostProcessorTest, LaterJoinsFindUsingColumnsUnderTheirLeftOperand) {
  Joins j("FROM a x JOIN b USING (k) JOIN c USING (k) CROSS JOIN z");
  ASSERT_TRUE(j.ok) << j.processor->GetErrorMsg();
  const TTavTableRefNode* cross = j.parser.Root();
  EXPECT_EQ(j.On(cross), "");
  EXPECT_EQ(j.On(cross->Left), "x.k:Integer = c.K:Integer");
  EXPECT_EQ(j.On(cross->Left->Left), "x.k:Integer = b.k:Integer");
}

TEST(JoinPostProcessorTest, OnColumnsAreResolvedAndTyped) {
  Joins j("FROM a JOIN b ON a.k = b.k AND '2024-01-31' = a.d AND B.t = 'x'");
  ASSERT_TRUE(j.ok) << j.processor->GetErrorMsg();
  EXPECT_EQ(j.On(j.parser.Root()),
            "a.k:Integer = b.k:Integer AND a.d:Date = '2024-01-31':Date AND B.t:String = 'x':String");
}

TEST(JoinPostProcessorTest, BadColumnsGiveTheMessageAtTheirToken) {
  struct Case {
    const char* text;
    const char* error;
  };
  const Case cases[] = {
      {"FROM a JOIN b USING (k, m)", "Field not found in join tables: m Line 1, Character 34. Token 'm'"},
      {"FROM a JOIN c USING (s)", "Field not found in join tables: s Line 1, Character 31. Token 's'"},
      // ON columns must be qualified with a table of their own join.
      {"FROM a JOIN b ON k = b.k", "Field not found in join tables: k Line 1, Character 27. Token 'k'"},
      {"FROM a JOIN b ON a.k = q.k", "Field not found in join tables: k Line 1, Character 35. Token 'k'"},
      {"FROM a JOIN b ON a.k = b.s", "Field not found in join tables: s Line 1, Character 35. Token 's'"},
      {"FROM a, b JOIN c ON a.k = c.k", "Field not found in join tables: k Line 1, Character 32. Token 'k'"},
      {"FROM a JOIN b ON a.k = b.k JOIN c ON a.k = UPPER(z.x)",
       "Field not found in join tables: x Line 1, Character 61. Token 'x'"},
  };
  for (const Case& c : cases) {
    Joins j(c.text);
    ASSERT_TRUE(j.parsed) << c.text << ": " << j.parser.GetErrorMsg();
    EXPECT_FALSE(j.ok) << c.text;
    EXPECT_EQ(j.processor->GetErrorMsg(), c.error) << c.text;
  }
}

}  // namespace
}  // namespace tav
