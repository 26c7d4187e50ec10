#include "engine/query/parse/from_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/query/testing/query_test_support.h"
#include "host/rtl/string_list.h"

namespace tav {
namespace {

using Strings = std::vector<std::string>;

// The FROM clause of "SELECT * <text>", read as the parser engine reads it.
struct FromParse {
  explicit FromParse(const std::string& text, bool subquery = false) {
    parser.SetIsSubquery(subquery);
    ok = parser.Execute(TTavParserOptions{tpoExtSyntax},
                        testing::StatementStack(pre, "SELECT * " + text, tstFrom));
  }
  Strings Display() const {
    host::TStringList lines;
    parser.DebugDisplay(lines);
    return testing::Lines(lines);
  }
  TTavPreParser pre;
  TTavFromParser parser;
  bool ok = false;
};

const std::string kEqK =
    "enkRelOperator:coEQ :: tstCompOperator  -  = :: Boolean - -1";
const std::string kFieldK = " enField:coFIELD2 :: tstFieldName  -  k :: Unknown - -1";

TEST(FromParserTest, TablesAndTrees) {
  struct Case {
    const char* text;
    Strings display;
  };
  const Case cases[] = {
      // Comma lists only fill the table list.
      {"FROM a, b",
       {"StartTables", "tbl a   corr  ", "tbl b   corr  ", "EndTables", "StartJoins",
        "join trTableName   inner   outer ", "join trTableName   inner   outer ", "EndJoins",
        "StartTree", "EndTree"}},
      // Aliases with and without AS; the ON condition under its join.
      {"FROM a x JOIN b AS y ON x.k = y.k",
       {"StartTables", "tbl a   corr  x", "tbl b   corr  y", "EndTables", "StartJoins",
        "join trTableName   inner   outer ", "join jtInnerJoin   inner  b outer a",
        "join trTableName   inner   outer ", "EndJoins", "StartTree", "  trTableName : text - a",
        "jtInnerJoin : text - ", kFieldK, kEqK, kFieldK, "  trTableName : text - b", "EndTree"}},
      // Left-deep: the second join's left operand is the first join.
      {"FROM a JOIN b USING (k) LEFT JOIN c USING (k)",
       {"StartTables", "tbl a   corr  ", "tbl b   corr  ", "tbl c   corr  ", "EndTables",
        "StartJoins", "join trTableName   inner   outer ", "join jtInnerJoin   inner  b outer a",
        "join trTableName   inner   outer ", "join jtLeftOuterJoin   inner  c outer ",
        "join trTableName   inner   outer ", "EndJoins", "StartTree",
        "    trTableName : text - a", "  jtInnerJoin : text - ", "    trTableName : text - b",
        "jtLeftOuterJoin : text - ", "  trTableName : text - c", "EndTree"}},
      // Parentheses group the right operand; a comma list beside a join.
      {"FROM z, a CROSS JOIN (b NATURAL JOIN TEMPORARY c)",
       {"StartTables", "tbl z   corr  ", "tbl a   corr  ", "tbl b   corr  ", "tbl c   corr  ",
        "EndTables", "StartJoins", "join trTableName   inner   outer ",
        "join trTableName   inner   outer ", "join jtCrossJoin   inner   outer a",
        "join trTableName   inner   outer ", "join jtInnerJoin   inner  c outer b",
        "join trTableName   inner   outer ", "EndJoins", "StartTree", "  trTableName : text - a",
        "jtCrossJoin : text - ", "    trTableName : text - b", "  jtInnerJoin : text - ",
        "    trTableName : text - c", "EndTree"}},
  };
  for (const Case& c : cases) {
    FromParse p(c.text);
    EXPECT_TRUE(p.ok) << c.text << ": " << p.parser.GetErrorMsg();
    EXPECT_EQ(p.Display(), c.display) << c.text;
  }
}

TEST(FromParserTest, EveryJoinKindAndSpelling) {
  struct Case {
    const char* text;
    TTavTableRefType kind;
    bool natural;
  };
  const Case cases[] = {
      {"FROM a JOIN b ON a.k = b.k", trInnerJoin, false},
      {"FROM a INNER JOIN b ON a.k = b.k", trInnerJoin, false},
      {"FROM a LEFT JOIN b ON a.k = b.k", trLeftOuterJoin, false},
      {"FROM a LEFT OUTER JOIN b ON a.k = b.k", trLeftOuterJoin, false},
      {"FROM a RIGHT JOIN b ON a.k = b.k", trRightOuterJoin, false},
      {"FROM a RIGHT OUTER JOIN b ON a.k = b.k", trRightOuterJoin, false},
      {"FROM a FULL JOIN b ON a.k = b.k", trFullOuterJoin, false},
      {"FROM a FULL OUTER JOIN b ON a.k = b.k", trFullOuterJoin, false},
      {"FROM a UNION JOIN b", trUnionJoin, false},
      {"FROM a CROSS JOIN b", trCrossJoin, false},
      {"FROM a NATURAL JOIN b", trInnerJoin, true},
      {"FROM a NATURAL LEFT OUTER JOIN b", trLeftOuterJoin, true},
      {"FROM a NATURAL INNER JOIN b", trInnerJoin, true},
  };
  for (const Case& c : cases) {
    FromParse p(c.text);
    ASSERT_TRUE(p.ok) << c.text << ": " << p.parser.GetErrorMsg();
    const TTavTableRefNode* root = p.parser.Root();
    ASSERT_NE(root, nullptr) << c.text;
    EXPECT_EQ(root->JoinType, c.kind) << c.text;
    EXPECT_EQ(root->IsNaturalJoin, c.natural) << c.text;
    ASSERT_NE(root->Left, nullptr);
    ASSERT_NE(root->Right, nullptr);
    EXPECT_EQ(root->Left->Text, "a");
    EXPECT_EQ(root->Right->Text, "b");
    EXPECT_EQ(p.parser.GetExprCount(), std::string(c.text).find(" ON ") != std::string::npos);
  }
  // LEFT OUTER JOIN and LEFT JOIN are one tree.
  EXPECT_EQ(FromParse("FROM a LEFT OUTER JOIN b ON a.k = b.k").Display(),
            FromParse("FROM a LEFT JOIN b ON a.k = b.k").Display());
}

TEST(FromParserTest, UsingTemporaryAndTheTableList) {
  FromParse p("FROM TEMPORARY a AS x JOIN b USING (k1, k2), c WHERE x.k1 = 1");
  ASSERT_TRUE(p.ok) << p.parser.GetErrorMsg();
  const TTavTableRefNode* root = p.parser.Root();
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(testing::Lines(root->UsingColumnList()), (Strings{"k1", "k2"}));
  EXPECT_EQ(root->OnExpr().Root(), nullptr);
  EXPECT_EQ(root->Left->CorrelationName, "x");
  const TTableList& tables = p.parser.TableList();
  ASSERT_EQ(tables.Count(), 3);
  EXPECT_TRUE(tables.Items(0)->MemorySpecified());
  EXPECT_EQ(tables.Items(0)->CorrelationName(), "x");
  EXPECT_FALSE(tables.Items(1)->MemorySpecified());
  EXPECT_EQ(tables.Items(2)->TableName(), "c");
  // The clause stops at WHERE, which the next parser reads.
  EXPECT_EQ(p.parser.CurrentTokenType(), tstWhere);
  // Clear frees the nodes and keeps the tables.
  p.parser.Clear();
  EXPECT_EQ(p.parser.NodeCount(), 0);
  EXPECT_EQ(p.parser.Root(), nullptr);
  EXPECT_EQ(p.parser.TableList().Count(), 3);
}

TEST(FromParserTest, OnEndsWhereTheClauseEnds) {
  for (const char* tail : {"GROUP BY a.k", "HAVING COUNT(*) > 1", "ORDER BY a.k", "WHERE a.k = 1",
                           ", c", "JOIN c ON b.k = c.k"}) {
    FromParse p(std::string("FROM a JOIN b ON a.k = b.k AND a.j = b.j ") + tail);
    EXPECT_TRUE(p.ok) << tail << ": " << p.parser.GetErrorMsg();
    EXPECT_EQ(p.parser.GetExprCount(), std::string(tail).find("JOIN") != std::string::npos ? 2 : 1)
        << tail;
  }
  // In a subquery, the `)` that closes it.
  FromParse sub("FROM a JOIN b ON a.k = b.k) AS s", true);
  EXPECT_TRUE(sub.ok) << sub.parser.GetErrorMsg();
  EXPECT_EQ(sub.parser.CurrentTokenType(), tstRParen);
}

TEST(FromParserTest, ErrorsAtTheirToken) {
  struct Case {
    const char* text;
    const char* error;
  };
  const Case cases[] = {
      {"FROM a CROSS b", "Invalid cross join syntax - expected CROSS Line 1, Character 23. Token 'b'"},
      {"FROM a LEFT b ON a.k = b.k",
       "Invalid cross join syntax - expected CROSS Line 1, Character 22. Token 'b'"},
      {"FROM a INNER b", "Invalid cross join syntax - expected CROSS Line 1, Character 23. Token 'b'"},
      {"FROM 123", "Syntax error. Expected table name Line 1, Character 15. Token '123'"},
      {"FROM a,,b", "Syntax error. Expected table name Line 1, Character 17. Token ','"},
      // Subqueries in FROM are refused where they start, not read forever.
      {"FROM SELECT x FROM t", "Syntax error. Expected table name Line 1, Character 15. Token 'SELECT'"},
      {"FROM (SELECT x FROM t)",
       "Syntax error. Expected table name Line 1, Character 16. Token 'SELECT'"},
      {"FROM a JOIN SELECT", "Syntax error. Expected table name Line 1, Character 22. Token 'SELECT'"},
      {"FROM (a JOIN b USING (k)", "Missing Right Parenthesis Line 1, Character 34. Token ''"},
      {"FROM a JOIN b USING k", "Missing '(' from using join specification Line 1, Character 30. Token 'k'"},
      {"FROM a JOIN b USING (k l)",
       "Invalid column list syntax in using specification Line 1, Character 33. Token 'l'"},
      {"FROM a JOIN b USING (k,)",
       "Invalid column list syntax in using specification Line 1, Character 33. Token ')'"},
      {"FROM a JOIN b USING ()",
       "Invalid column list syntax in using specification Line 1, Character 31. Token ')'"},
      {"FROM a JOIN b USING (k", "Missing ')' from using join specification Line 1, Character 32. Token ''"},
      {"FROM a JOIN b ON a.k = ", "Expression incorrectly terminated Line 1, Character 32. Token ''"},
      {"FROM a JOIN b ON a.k = b.k b", "Expression incorrectly terminated Line 1, Character 37. Token 'b'"},
  };
  for (const Case& c : cases) {
    FromParse p(c.text);
    EXPECT_FALSE(p.ok) << c.text;
    EXPECT_EQ(p.parser.GetErrorMsg(), c.error) << c.text;
  }
}

TEST(FromParserTest, DeepTextIsRefusedNotOverflowed) {
  const std::string nested = "FROM " + std::string(3000, '(') + "a" + std::string(3000, ')');
  FromParse p(nested);
  EXPECT_FALSE(p.ok);
  EXPECT_EQ(p.parser.ErrorMsg, "Expression is too complex");
  std::string chain = "FROM a0";
  for (int i = 1; i <= 1100; ++i) chain += " CROSS JOIN a" + std::to_string(i);
  FromParse q(chain);
  EXPECT_FALSE(q.ok);
  EXPECT_EQ(q.parser.ErrorMsg, "Expression is too complex");
  // Within the bound the whole chain is read.
  std::string shorter = "FROM a0";
  for (int i = 1; i <= 500; ++i) shorter += " CROSS JOIN a" + std::to_string(i);
  FromParse r(shorter);
  EXPECT_TRUE(r.ok) << r.parser.GetErrorMsg();
  EXPECT_EQ(r.parser.TableList().Count(), 501);
}

}  // namespace
}  // namespace tav
