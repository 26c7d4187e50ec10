#include "engine/query/parse/select_analyser.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "engine/expr/clause_parsers.h"
#include "engine/expr/expr_parser.h"
#include "engine/query/parse/select_parser.h"
#include "engine/query/testing/query_test_support.h"
#include "host/rtl/string_list.h"

namespace tav {
namespace {

using Strings = std::vector<std::string>;
using testing::TQueryColumn;

// Table T: a, b integers, s string, m memo, id auto-increment.
void AddT(TTableList& tables, const std::string& alias = "") {
  testing::AddQueryTable(tables, "T", alias,
                         {{"a"}, {"b"}, {"s", host::ftString}, {"m", host::ftMemo}, {"id", host::ftAutoInc}});
}

// A SELECT statement read as the parser engine reads it: the select list
// against the statement's tables, the GROUP BY list and the HAVING
// condition; then the analyser's three checks in order, stopping at the
// first that fails.
struct Select {
  explicit Select(const std::string& text,
                  const std::function<void(TTableList&)>& addTables = [](TTableList& t) { AddT(t); }) {
    addTables(tables);
    parser.SetTableList(&tables);
    parsed = parser.Execute(TTavParserOptions{tpoExtSyntax},
                            testing::StatementStack(pre, text, tstSelect));
    if (!parsed) return;
    if (text.find("GROUP BY") != std::string::npos) {
      TTavGroupByParser groupBy;
      parsed = groupBy.ExecuteGroupBy(groups, testing::StatementStack(groupPre, text, tstGroupBy));
      EXPECT_TRUE(parsed) << groupBy.GetErrorMsg();
    }
    if (text.find("HAVING") != std::string::npos) {
      having.SetEndTokens({tstOrderBy, tstEnd});
      having.SetValidEndTokens({tstOrderBy, tstEnd});
      parsed = having.Execute(TTavParserOptions{tpoExtSyntax, tpoExtractAggFuncExprText, tpoSubqueries},
                              testing::StatementStack(havingPre, text, tstHaving));
      EXPECT_TRUE(parsed) << having.GetErrorMsg();
    }
    analyser.SetIsDistinct(parser.IsDistinct);
    ok = analyser.CheckSelect(parser.First(), &tables) && analyser.CheckGroupedColumns(&groups) &&
         analyser.CheckHavingExpr(having.Expr);
  }
  const TSelectFields& Fields() const { return analyser.SelectFields; }
  Strings Names() const {
    Strings out;
    for (int i = 0; i < Fields().Count(); ++i) out.push_back(Fields().Items(i)->FieldName());
    return out;
  }
  const TSelectFieldItem& Column(int i) const { return *Fields().Items(i); }

  TTableList tables;
  TTavPreParser pre, groupPre, havingPre;
  TTavSelectParser parser;
  TGroupByItems groups;
  TTavExprParser having;
  TTavSelectAnalyser analyser;
  bool parsed = false;
  bool ok = false;
};

// Tables A, B, C, each with an id and a column of its own; C's H may not
// be read.
void AddABC(TTableList& tables) {
  testing::AddQueryTable(tables, "A", "", {{"id"}, {"x"}});
  testing::AddQueryTable(tables, "B", "", {{"id"}, {"y", host::ftString}});
  testing::AddQueryTable(tables, "C", "", {{"id"}, {"h", host::ftInteger, false}, {"z"}});
}

TEST(SelectParserTest, ListsDisplayAndTermination) {
  Select s("SELECT DISTINCT T.*, COUNT(*) AS n, a + 1 'p' FROM T");
  ASSERT_TRUE(s.parsed) << s.parser.GetErrorMsg();
  EXPECT_TRUE(s.parser.IsDistinct);
  host::TStringList lines;
  s.parser.DebugDisplay(lines);
  EXPECT_EQ(testing::Lines(lines),
            (Strings{"Column Group", "Output all from - T", "  Agg Func", "  Func - COUNT :: ",
                     "  Start Expr", "enkFunc:coFUNC2 :: tstAggFunc  -  COUNT :: Integer - 0",
                     "  End Expr", "    Derived Column", "    RawColumnName - a + 1",
                     "    Start Expr", " enField:coFIELD2 :: tstFieldName  -  a :: Integer - 4",
                     "enkArithOperator:coADD :: tstAdd  -  + :: Float - 0",
                     " enConst:coCONST2 :: tstNumber  -  1 :: Float - -1", "    End Expr"}));
  EXPECT_EQ(s.Names(), (Strings{"a", "b", "s", "m", "id", "n", "p"}));

  struct Case {
    const char* text;
    const char* error;
  };
  const Case cases[] = {
      {"SELECT *, a FROM T", "Select clause incorrectly terminated Line 1, Character 9. Token ','"},
      {"SELECT a b c FROM T", "Select clause incorrectly terminated Line 1, Character 12. Token 'c'"},
      {"SELECT q FROM T", "Field not found Line 1, Character 8. Token 'q'"},
      {"SELECT a, FROM T", "Invalid token Line 1, Character 11. Token 'FROM'"},
  };
  for (const Case& c : cases) {
    Select e(c.text);
    EXPECT_FALSE(e.parsed) << c.text;
    EXPECT_EQ(e.parser.GetErrorMsg(), c.error) << c.text;
  }
}

TEST(SelectAnalyserTest, StarAndQualifiedStarNameColumnsApart) {
  Select all("SELECT * FROM A, B, C", AddABC);
  ASSERT_TRUE(all.ok) << all.analyser.Message;
  // C.h is hidden, as the host dataset hides a field the user may not read.
  EXPECT_EQ(all.Names(), (Strings{"id", "x", "id_1", "y", "id_2", "z"}));
  EXPECT_EQ(all.Column(2).SourceFieldName, "id");
  EXPECT_EQ(all.Column(2).SourceTableItem, all.tables.Items(1));
  EXPECT_EQ(all.Column(3).DataType(), host::ftString);
  EXPECT_EQ(all.Column(3).FieldSize(), 20);  // the characters a value may hold
  EXPECT_EQ(all.Column(5).ExprRoot, nullptr);

  Select some("SELECT C.*, B.*, A.x FROM A, B, C", AddABC);
  ASSERT_TRUE(some.ok) << some.analyser.Message;
  EXPECT_EQ(some.Names(), (Strings{"id", "z", "id_1", "y", "A.x"}));
  EXPECT_EQ(some.Column(0).SourceTableItem, some.tables.Items(2));

  Select unknown("SELECT Q.* FROM A", AddABC);
  EXPECT_FALSE(unknown.ok);
  EXPECT_EQ(unknown.analyser.Message, "Table and/or field not found (Q.*)");
}

TEST(SelectAnalyserTest, PlainColumnsStripQualifiersQuotesAndAliases) {
  Select s("SELECT t1.a, x.a AS \"Al\", X.[s] n, x.b, 'lit' AS 'L', t1.b + 1 AS p FROM T t1, T x",
           [](TTableList& t) {
             AddT(t, "t1");
             AddT(t, "x");
           });
  ASSERT_TRUE(s.ok) << s.parser.GetErrorMsg() << s.analyser.Message;
  EXPECT_EQ(s.Names(), (Strings{"t1.a", "Al", "n", "x.b", "L", "p"}));
  // A plain column reads its field straight from its table.
  for (int i : {0, 2, 3}) EXPECT_EQ(s.Column(i).ExprRoot, nullptr) << i;
  EXPECT_EQ(s.Column(0).SourceFieldName, "a");
  EXPECT_EQ(s.Column(0).SourceTableItem, s.tables.Items(0));
  EXPECT_EQ(s.Column(2).SourceFieldName, "s");
  EXPECT_EQ(s.Column(2).RawColumnName, "X.[s]");
  EXPECT_EQ(s.Column(2).SourceTableItem, s.tables.Items(1));
  EXPECT_EQ(s.Column(3).SourceTableItem, s.tables.Items(1));
  // Expressions are evaluated per row.
  EXPECT_EQ(s.Column(4).SourceTableItem, nullptr);
  EXPECT_NE(s.Column(5).ExprRoot, nullptr);
  EXPECT_EQ(s.Column(5).DataType(), host::ftFloat);
}

TEST(SelectAnalyserTest, UnqualifiedColumnsAreLookedUpInEveryTable) {
  Select other("SELECT y, x FROM A, B", AddABC);
  ASSERT_TRUE(other.ok) << other.parser.GetErrorMsg() << other.analyser.Message;
  EXPECT_EQ(other.Column(0).SourceTableItem, other.tables.Items(1));
  EXPECT_EQ(other.Column(1).SourceTableItem, other.tables.Items(0));
  Select both("SELECT x, id FROM A, B", AddABC);
  EXPECT_FALSE(both.parsed);
  EXPECT_EQ(both.parser.GetErrorMsg(), "Field name is ambiguous Line 1, Character 11. Token 'id'");
  Select none("SELECT q FROM A, B", AddABC);
  EXPECT_EQ(none.parser.GetErrorMsg(), "Field not found Line 1, Character 8. Token 'q'");
}

TEST(SelectAnalyserTest, DistinctLimits) {
  std::string wide = "SELECT DISTINCT a";
  for (int i = 1; i < 32; ++i) wide += ", b";
  Select at32(wide + " FROM T");
  EXPECT_TRUE(at32.ok) << at32.analyser.Message;
  Select over(wide + ", s FROM T");
  EXPECT_FALSE(over.ok);
  EXPECT_EQ(over.analyser.Message, "Result set colummn count exceeds DISTINCT query limit (32)");
  Select memo("SELECT DISTINCT a, m, s FROM T");
  EXPECT_EQ(memo.analyser.Message, "The column is not a valid data type for DISTINCT queries - m");
  Select autoInc("SELECT DISTINCT id FROM T");
  ASSERT_TRUE(autoInc.ok) << autoInc.analyser.Message;
  EXPECT_EQ(autoInc.Column(0).DataType(), host::ftInteger);
  // Without DISTINCT a memo is a column like any other.
  EXPECT_TRUE(Select("SELECT a, m FROM T").ok);
}

TEST(SelectAnalyserTest, GroupByCoverage) {
  Select missing("SELECT a, COUNT(*) FROM T");
  EXPECT_EQ(missing.analyser.Message, "Output column must be specified in Group By clause : a");
  Select grouped("SELECT a, SUM(b) FROM T GROUP BY a");
  ASSERT_TRUE(grouped.ok) << grouped.analyser.Message;
  EXPECT_EQ(grouped.groups.Items(0)->ResultSetIndex, 0);
  EXPECT_TRUE(grouped.Column(0).IsGrouped);
  EXPECT_FALSE(grouped.Column(1).IsGrouped);
  Select notFound("SELECT a, SUM(b) FROM T GROUP BY q");
  EXPECT_EQ(notFound.analyser.Message, "Group By column not found : q");
  Select uncovered("SELECT a, b FROM T GROUP BY a");
  EXPECT_EQ(uncovered.analyser.Message, "Output column must be specified in Group By clause : b");
  // A self-join's two k columns: the qualified reference picks the right one,
  // so a1.k stays ungrouped here.
  const auto selfJoin = [](TTableList& t) {
    AddT(t, "a1");
    AddT(t, "a2");
  };
  Select self("SELECT a1.a AS k, a2.a AS k2, COUNT(*) FROM T a1, T a2 GROUP BY a2.a", selfJoin);
  EXPECT_EQ(self.analyser.Message, "Output column must be specified in Group By clause : k");
  EXPECT_TRUE(self.Column(1).IsGrouped);
  Select both("SELECT a1.a AS k, a2.a AS k2, COUNT(*) FROM T a1, T a2 GROUP BY a2.a, a1.a", selfJoin);
  ASSERT_TRUE(both.ok) << both.analyser.Message;
  EXPECT_EQ(both.groups.Items(1)->ResultSetIndex, 1);
  // Around an aggregate call, a column outside the call must be grouped too.
  Select around("SELECT a, MAX(b) + b FROM T GROUP BY a");
  EXPECT_FALSE(around.ok);
  EXPECT_EQ(around.analyser.Message.rfind("Output column must be specified in Group By clause : ", 0), 0u)
      << around.analyser.Message;
  Select aroundNoGroups("SELECT COUNT(*) + b FROM T");
  EXPECT_FALSE(aroundNoGroups.ok);
  Select aroundGrouped("SELECT a, SUM(b) * 10 + a FROM T GROUP BY a");
  EXPECT_TRUE(aroundGrouped.ok) << aroundGrouped.analyser.Message;
  Select aroundQualified("SELECT x.a, SUM(x.b) + x.a FROM T x GROUP BY x.a", [](TTableList& t) { AddT(t, "x"); });
  EXPECT_TRUE(aroundQualified.ok) << aroundQualified.analyser.Message;
}

// The columns a HAVING tree reads, left to right.
void ReadColumns(const TTavExprNode* node, Strings& out) {
  if (node == nullptr) return;
  ReadColumns(node->Left, out);
  EXPECT_NE(node->ParserToken.Token == tstAggFunc && node->Kind != enkField, true)
      << "an aggregate call left in HAVING";
  if (node->Kind == enkField) out.push_back(host::VarToStr(node->Data));
  ReadColumns(node->Right, out);
}

TEST(SelectAnalyserTest, HavingReadsResultColumnsByTextAndAlias) {
  Select s("SELECT a AS x, COUNT(*) AS n, SUM(b), COUNT(DISTINCT s) FROM T GROUP BY a "
           "HAVING COUNT(*) > 1 AND n > 0 AND a < 9 AND x > 2 AND SUM(b) < 9 AND COUNT(DISTINCT s) = 2");
  ASSERT_TRUE(s.ok) << s.analyser.Message;
  Strings read;
  ReadColumns(s.having.Expr->Root(), read);
  EXPECT_EQ(read, (Strings{"n", "n", "x", "x", "SUM(b)", "COUNT(DISTINCT s)"}));
  EXPECT_TRUE(s.Column(3).DistinctQuantifier);

  Select notInResult("SELECT a, COUNT(*) FROM T GROUP BY a HAVING b > 1");
  EXPECT_EQ(notInResult.analyser.Message,
            "Fields specified in having clause must appear in the result set: b");
  Select aggregateNotInResult("SELECT a, COUNT(*) FROM T GROUP BY a HAVING MAX(b) > 1");
  EXPECT_EQ(aggregateNotInResult.analyser.Message,
            "Fields specified in having clause must appear in the result set: MAX(b)");
}

TEST(SelectAnalyserTest, WrappedAndDoubleAggregates) {
  Select s("SELECT SUM(b) + 1 AS p, COUNT(*) + 1 AS q, MAX(b), COUNT(DISTINCT s) AS n, "
           "COUNT(s) + 1 AS r FROM T");
  ASSERT_TRUE(s.ok) << s.parser.GetErrorMsg() << s.analyser.Message;
  const TSelectFieldItem& p = s.Column(0);
  EXPECT_TRUE(p.HasAggregateFunction);
  EXPECT_EQ(p.AggFunc, tafSum);
  ASSERT_NE(p.ExprRoot, nullptr);
  EXPECT_EQ(host::VarToStr(p.ExprRoot->Data), "b");
  EXPECT_EQ(p.AggExprRoot, s.parser.First()->Expr->Root());
  EXPECT_EQ(p.DataType(), host::ftFloat);
  // COUNT(*) has no argument: its call is what the engine counts.
  const TSelectFieldItem& q = s.Column(1);
  EXPECT_EQ(q.AggFunc, tafCount);
  ASSERT_NE(q.ExprRoot, nullptr);
  EXPECT_EQ(q.ExprRoot->ParserToken.Token, tstAggFunc);
  EXPECT_TRUE(q.ExprRoot->Args.empty());
  EXPECT_NE(q.AggExprRoot, nullptr);
  EXPECT_EQ(s.Column(2).AggExprRoot, nullptr);
  EXPECT_EQ(s.Column(2).AggFunc, tafMax);
  const TSelectFieldItem& n = s.Column(3);
  EXPECT_EQ(n.FieldName(), "n");
  EXPECT_EQ(n.DataType(), host::ftInteger);
  EXPECT_TRUE(n.DistinctQuantifier);
  EXPECT_EQ(s.Column(4).DataType(), host::ftFloat);

  Select two("SELECT SUM(a) + SUM(b) FROM T");
  EXPECT_FALSE(two.ok);
  EXPECT_EQ(two.analyser.Message,
            "A result column may hold only one aggregate function : SUM(a) + SUM(b)");
  Select nested("SELECT a, MAX(b) + COUNT(*) AS w FROM T GROUP BY a");
  EXPECT_EQ(nested.analyser.Message, "A result column may hold only one aggregate function : w");
}

TEST(SelectAnalyserTest, CopiesKeepEveryField) {
  Select s("SELECT COUNT(DISTINCT s) AS n, a FROM T GROUP BY a");
  ASSERT_TRUE(s.ok) << s.analyser.Message;
  TTavSelectAnalyser other;
  other.SetSelectFields(s.Fields());
  const TSelectFieldItem& n = *other.SelectFields.Items(0);
  EXPECT_TRUE(n.DistinctQuantifier);
  EXPECT_EQ(n.AggFunc, tafCount);
  EXPECT_EQ(n.ExprRoot, s.Column(0).ExprRoot);
  EXPECT_TRUE(other.SelectFields.Items(1)->IsGrouped);
  EXPECT_EQ(other.SelectFields.Items(1)->SourceTableItem, s.tables.Items(0));
}

}  // namespace
}  // namespace tav
