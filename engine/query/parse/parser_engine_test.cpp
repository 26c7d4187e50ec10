#include <gtest/gtest.h>

#include <string>

#include "engine/query/parse/parser_engine.h"
#include "engine/query/testing/parser_engine_driver.h"
#include "host/rtl/string_list.h"

namespace tav {
namespace {

using testing::TParserEngineDriver;

class ParserEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    d_.AddTable("t", {{"a"}, {"b"}, {"s", host::ftString}});
    d_.AddTable("u", {{"b"}, {"c"}});
    d_.AddTable("v", {{"c"}, {"d"}});
  }
  TTavParserEngine& E() { return d_.Engine(); }
  TParserEngineDriver d_;
};

TEST_F(ParserEngineTest, EveryClausePresentOrAbsent) {
  EXPECT_EQ(d_.Parse("SELECT a FROM t"), "");
  EXPECT_EQ(E().GetSQLStatementType(), tsSQLSelect);
  EXPECT_EQ(E().WhereRoot(), nullptr);
  EXPECT_EQ(E().HavingExpr(), nullptr);
  EXPECT_EQ(E().GroupByItems().Count(), 0);
  EXPECT_EQ(E().OrderByItems().Count(), 0);

  EXPECT_EQ(d_.Parse("SELECT a, COUNT(*) FROM t WHERE b = 1 GROUP BY a HAVING COUNT(*) > 1 ORDER BY a DESC"),
            "");
  EXPECT_NE(E().WhereRoot(), nullptr);
  EXPECT_EQ(E().GroupByItems().Count(), 1);
  ASSERT_NE(E().HavingExpr(), nullptr);
  EXPECT_EQ(E().HavingExpr()->Root(), E().HavingParser().Root);
  ASSERT_EQ(E().OrderByItems().Count(), 1);
  EXPECT_TRUE(E().OrderByItems().Items(0)->Descending);
  EXPECT_EQ(E().TableList().Count(), 1);

  EXPECT_EQ(d_.Parse("SELECT t.a, u.c FROM t JOIN u ON t.b = u.b ORDER BY 2"), "");
  EXPECT_EQ(E().TableList().Count(), 2);
}

TEST_F(ParserEngineTest, ErrorsNameTheirTokenAndPosition) {
  EXPECT_EQ(d_.Parse("SELECT a FROM t HAVING a > 1"), "No group by clause was specified");
  EXPECT_EQ(d_.Parse("SELECT a FROM t WHERE a = 1 b"), "Invalid token Line 1, Character 29. Token 'b'");
  EXPECT_EQ(d_.Parse("BOGUS a"), "Unrecognised SQL statement type  Line 1, Character 1. Token 'BOGUS'");
  const std::string where = d_.Parse("SELECT a FROM t WHERE zz = 1");
  EXPECT_NE(where.find(" Line 1, Character 23. Token 'zz'"), std::string::npos) << where;
  EXPECT_EQ(d_.Parse("SELECT a FROM nowhere"), "Table not found: nowhere");
}

TEST_F(ParserEngineTest, SubqueriesInEveryPlaceThatReadsThem) {
  EXPECT_EQ(d_.Parse("SELECT a FROM t WHERE a IN (SELECT c FROM u)"), "");
  EXPECT_EQ(d_.Subqueries(), 1);
  // Closed by ')' with outer clauses after it.
  EXPECT_EQ(d_.Parse("SELECT a FROM t WHERE a IN (SELECT c FROM u WHERE c > 1) AND b = 2 ORDER BY a"), "");
  EXPECT_EQ(E().WhereRoot()->Operator, teoAND);
  EXPECT_EQ(E().OrderByItems().Count(), 1);
  ASSERT_EQ(d_.Nested.size(), 1u);
  EXPECT_TRUE(d_.Nested[0]->SubqueryClosed());
  // Two deep, and a subquery with its own GROUP BY closed by ')'.
  EXPECT_EQ(d_.Parse("SELECT a FROM t WHERE EXISTS (SELECT c FROM u WHERE c IN "
                     "(SELECT d FROM v GROUP BY d)) GROUP BY a"),
            "");
  EXPECT_EQ(d_.Subqueries(), 2);
  EXPECT_EQ(E().GroupByItems().Count(), 1);
  EXPECT_EQ(d_.Parse("SELECT a, COUNT(*) FROM t GROUP BY a HAVING COUNT(*) > (SELECT COUNT(*) FROM u)"),
            "");
  EXPECT_EQ(d_.Subqueries(), 1);
  // A correlated column of the outer query.
  EXPECT_EQ(d_.Parse("SELECT a FROM t WHERE EXISTS (SELECT c FROM u WHERE u.b = t.b)"), "");
  // Data changes.
  EXPECT_EQ(d_.Parse("INSERT INTO t (a, b) SELECT b, c FROM u WHERE c > 1"), "");
  EXPECT_EQ(E().TableList().Items(0)->TableName(), "t");
  EXPECT_EQ(d_.Subqueries(), 1);
  EXPECT_EQ(d_.Parse("DELETE FROM t WHERE a IN (SELECT c FROM u)"), "");
  EXPECT_EQ(d_.Subqueries(), 2);  // the WHERE, then its subquery
  EXPECT_EQ(d_.Parse("UPDATE t SET a = 1 WHERE b = 2"), "");
  EXPECT_EQ(d_.Subqueries(), 1);
  // SET reads the target's columns: the table list is set up before it.
  EXPECT_EQ(d_.Parse("UPDATE t SET a = b, b = a + 1"), "");
  EXPECT_EQ(d_.Parse("UPDATE nowhere SET a = 1"), "Table not found: nowhere");
}

TEST_F(ParserEngineTest, AggregatesOutsideTheSelectListAndHavingAreRefusedAtTheCall) {
  EXPECT_EQ(d_.Parse("SELECT a FROM t WHERE COUNT(*) > 1"), "Invalid token Line 1, Character 23. Token 'COUNT'");
  EXPECT_EQ(d_.Parse("SELECT a FROM t WHERE a = 1 AND b > SUM(a) + 1"),
            "Invalid token Line 1, Character 37. Token 'SUM'");
  EXPECT_EQ(d_.Parse("UPDATE t SET a = MAX(2)"), "Invalid token Line 1, Character 18. Token 'MAX'");
  EXPECT_EQ(d_.Parse("INSERT INTO t (a) VALUES (1 + MIN(2))"),
            "Invalid token Line 1, Character 31. Token 'MIN'");
  // Inside a subquery's own select list an aggregate is at home.
  EXPECT_EQ(d_.Parse("SELECT a FROM t WHERE a > (SELECT MAX(c) FROM u)"), "");
}

TEST_F(ParserEngineTest, NothingOfOneStatementReachesTheNext) {
  for (const char* text :
       {"SELECT a, COUNT(*) FROM t WHERE b = :p GROUP BY a HAVING COUNT(*) > 1 ORDER BY a DESC",
        "SELECT a FROM t WHERE EXISTS (SELECT c FROM u WHERE u.b = t.b AND c IN "
        "(SELECT a FROM t x WHERE x.a = u.c))",
        "CREATE TABLE TEMPORARY w (x INTEGER)", "DELETE FROM t WHERE a IN (SELECT c FROM u)",
        "UPDATE t SET a = (SELECT MAX(c) FROM u) WHERE b = 2",
        "INSERT INTO t (a, b) SELECT b, c FROM u WHERE c > 1",
        "SELECT t.a, u.c FROM t LEFT JOIN u ON t.b = u.b ORDER BY 2"}) {
    const std::string first = d_.Parse(text);
    EXPECT_EQ(d_.Parse(text), first) << text;
  }
}

TEST_F(ParserEngineTest, SubqueriesWhereNoParserReadsThem) {
  EXPECT_NE(d_.Parse("SELECT (SELECT c FROM u) FROM t"), "");
  EXPECT_EQ(d_.Subqueries(), 0);
  EXPECT_NE(d_.Parse("SELECT a FROM (SELECT c FROM u)"), "");
  EXPECT_EQ(d_.Subqueries(), 0);
}

TEST_F(ParserEngineTest, AFailedSubqueryPassesItsOwnMessageUp) {
  const std::string error = d_.Parse("SELECT a FROM t WHERE a IN (SELECT c FROM u WHERE zz = 1)");
  EXPECT_NE(error.find("Token 'zz'"), std::string::npos) << error;
  EXPECT_EQ(d_.Parse("SELECT a FROM t WHERE a IN (SELECT c FROM nowhere)"), "Table not found: nowhere");
}

TEST_F(ParserEngineTest, NestingPastTheTreeBoundIsTooComplex) {
  std::string text = "SELECT a FROM t WHERE a IN ";
  std::string tail;
  for (int i = 0; i < 600; ++i) {
    text += "(SELECT c FROM u WHERE c IN ";
    tail += ")";
  }
  text += "(1)" + tail;
  const std::string error = d_.Parse(text);
  EXPECT_NE(error.find("Expression is too complex"), std::string::npos) << error.substr(0, 200);
}

TEST_F(ParserEngineTest, SchemaStatementsAndTheParameterList) {
  EXPECT_EQ(d_.Parse("CREATE TABLE TEMPORARY w (x INTEGER)"), "");
  ASSERT_EQ(E().TableList().Count(), 1);
  EXPECT_TRUE(E().TableList().Items(0)->Memory());
  EXPECT_TRUE(E().TableList().Items(0)->MemorySpecified());
  EXPECT_EQ(d_.Parse("CREATE TEMPORARY TABLE w (x INTEGER)"),
            d_.Parse("CREATE TEMPORARY TABLE w (x INTEGER)"));
  EXPECT_NE(d_.Parse("CREATE TEMPORARY TABLE w (x INTEGER)"), "");

  d_.Parse("SELECT a FROM t WHERE a = :p AND b = :q OR a = :P OR b IN (SELECT c FROM u WHERE c = :r)");
  host::TStringList params;
  E().GetParamList(&params);
  ASSERT_EQ(params.Count(), 3);
  EXPECT_EQ(params.Strings(0), "p");
  EXPECT_EQ(params.Strings(1), "q");
  EXPECT_EQ(params.Strings(2), "r");
}

}  // namespace
}  // namespace tav
