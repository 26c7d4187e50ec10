#include "statement_gen.h"

#include <gtest/gtest.h>

#include "engine/expr/op_evaluator.h"
#include "engine/query/testing/parser_engine_driver.h"
#include "known_differences.h"
#include "sqlite_side.h"

namespace tav::sqldiff {
namespace {

std::vector<TGenStatement> Statements(uint32_t seed, int count) {
  const TRandomSchema schema = GenerateSchema(seed);
  TStatementGen gen(schema, seed);
  std::vector<TGenStatement> out;
  for (int i = 0; i < count; ++i) out.push_back(gen.Next());
  return out;
}

TEST(SqlDiffStatements, ASeedRepeatsItsStatements) {
  const auto a = Statements(4, 50), b = Statements(4, 50), c = Statements(5, 50);
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].Ours, b[i].Ours);
    EXPECT_EQ(a[i].Sqlite, b[i].Sqlite);
  }
  EXPECT_NE(a[0].Ours + a[1].Ours, c[0].Ours + c[1].Ours);
}

// Every construct the generator is meant to write turns up in a run of the
// test's size.
TEST(SqlDiffStatements, EveryConstructIsWritten) {
  std::string all;
  int ordered = 0, dml = 0;
  for (uint32_t seed = 1; seed <= 8; ++seed) {
    for (const TGenStatement& st : Statements(seed, 120)) {
      all += st.Ours + "\n";
      ordered += st.Ordered;
      dml += !st.IsQuery;
    }
  }
  for (const char* construct :
       {" INNER JOIN ", " JOIN ", " LEFT JOIN ", " LEFT OUTER JOIN ", " RIGHT JOIN ", " FULL JOIN ",
        " FULL OUTER JOIN ", " CROSS JOIN ", " USING (", " ON ", " AND ", " OR ", "NOT (", " BETWEEN ",
        " NOT BETWEEN ", " IN (", " NOT IN (", " LIKE ", " NOT LIKE ", " IS NULL", " IS NOT NULL", "EXISTS (",
        " IN (SELECT ", " NOT IN (SELECT ", " (SELECT COUNT(", " (SELECT SUM(", " (SELECT AVG(", "COUNT(*)",
        "COUNT(DISTINCT ", "SUM(", "MIN(", "MAX(", "AVG(", "SELECT DISTINCT ", " GROUP BY ", " HAVING n",
        " HAVING g", " ORDER BY ", " DESC", "INSERT INTO ", "UPDATE ", "DELETE FROM ", " = NULL"}) {
    EXPECT_NE(all.find(construct), std::string::npos) << construct;
  }
  EXPECT_GT(ordered, 50);
  EXPECT_GT(dml, 100);
}

// Our parser engine takes every statement as the query provider will: the
// generator writes only our dialect, HAVING through aliases included.
TEST(SqlDiffStatements, OurParserAcceptsEveryStatement) {
  for (uint32_t seed = 1; seed <= 6; ++seed) {
    const TRandomSchema schema = GenerateSchema(seed);
    testing::TParserEngineDriver driver;
    for (const TTableSpec& t : schema.Tables) {
      std::vector<testing::TQueryColumn> columns;
      for (const TColumnSpec& c : t.Columns)
        columns.push_back({c.Name, c.Type == ctInteger ? host::ftInteger
                                   : c.Type == ctFloat ? host::ftFloat
                                                       : host::ftString});
      driver.AddTable(t.Name, columns);
    }
    TStatementGen gen(schema, seed);
    for (int i = 0; i < 120; ++i) {
      const TGenStatement st = gen.Next();
      EXPECT_EQ(driver.Parse(st.Ours), "") << st.Ours;
    }
  }
}

// The SQLite texts of AND, OR and NOT under NOT give exactly what our
// operator evaluator gives, for every pair of True, False and no value.
TEST(SqlDiffStatements, MappedLogicGivesOurOperatorsOutcome) {
  TSqliteSide sqlite;
  TTavOpEvaluator ops;
  struct TOutcome {
    host::Variant Ours;
    const char* Sqlite;
  };
  const TOutcome outcomes[] = {{host::Variant(true), "(1 = 1)"},
                               {host::Variant(false), "(1 = 0)"},
                               // A comparison with a NULL operand.
                               {ops.EvaluateRelopExprAsVar(teoEQ, host::Null(), host::Variant(1), true),
                                "(NULL = 1)"}};
  ASSERT_TRUE(outcomes[2].Ours.IsEmpty());
  auto sqliteValue = [&](const std::string& expr) {
    const TSqlResult r = sqlite.Run("SELECT " + expr);
    EXPECT_FALSE(r.Failed) << r.Error << " in " << expr;
    return r.Failed || r.Rows.empty() ? TSqlValue::String("?") : r.Rows[0][0];
  };
  auto expectSame = [&](const host::Variant& ours, const std::string& expr) {
    const TSqlValue v = sqliteValue(expr);
    if (ours.IsEmpty()) {
      EXPECT_TRUE(v.IsNull()) << expr;
    } else {
      ASSERT_TRUE(v.IsNumber()) << expr;
      EXPECT_EQ(v.Int != 0, ours.AsBoolean()) << expr;
    }
  };
  for (const TOutcome& a : outcomes) {
    expectSame(ops.EvaluateLogicalExprAsVar(teoNOT, a.Ours, host::Variant()),
               std::string("NOT ") + a.Sqlite);
    for (const TOutcome& b : outcomes) {
      const TStatementGen::TText x{"", a.Sqlite}, y{"", b.Sqlite};
      expectSame(ops.EvaluateLogicalExprAsVar(teoAND, a.Ours, b.Ours), TStatementGen::And(x, y, true).S);
      expectSame(ops.EvaluateLogicalExprAsVar(teoOR, a.Ours, b.Ours), TStatementGen::Or(x, y, true).S);
      // Where only the truth counts, plain AND and OR accept the same.
      const bool ourAnd = ops.EvaluateLogicalExprAsBoolean(teoAND, a.Ours, b.Ours);
      const bool ourOr = ops.EvaluateLogicalExprAsBoolean(teoOR, a.Ours, b.Ours);
      const TSqlValue sqliteAnd = sqliteValue(TStatementGen::And(x, y, false).S);
      const TSqlValue sqliteOr = sqliteValue(TStatementGen::Or(x, y, false).S);
      EXPECT_EQ(!sqliteAnd.IsNull() && sqliteAnd.Int != 0, ourAnd);
      EXPECT_EQ(!sqliteOr.IsNull() && sqliteOr.Int != 0, ourOr);
    }
  }
}

// The rows behind the table of known differences, on the SQLite side: each
// mapped text gives our rule where SQLite's own would not.
TEST(SqlDiffStatements, SqliteTextsFollowOurRulesOnNulls) {
  TSqliteSide sqlite;
  ASSERT_FALSE(sqlite.Run("CREATE TABLE T (X INTEGER, F REAL, S TEXT)").Failed);
  ASSERT_FALSE(sqlite.Run("INSERT INTO T VALUES (NULL, NULL, NULL)").Failed);
  ASSERT_FALSE(sqlite.Run("CREATE TABLE E (X INTEGER, F REAL)").Failed);
  auto one = [&](const std::string& sql) {
    const TSqlResult r = sqlite.Run(sql);
    EXPECT_FALSE(r.Failed) << r.Error;
    return r.Failed || r.Rows.empty() ? std::string("?") : r.Rows[0][0].ToString();
  };
  // Aggregates over no rows and over NULLs only: 0.
  EXPECT_EQ(one("SELECT COALESCE(SUM(F), 0) FROM E"), "0");
  EXPECT_EQ(one("SELECT COALESCE(AVG(F), 0) FROM T"), "0");
  EXPECT_EQ(one("SELECT COALESCE(MAX(X), 0) FROM T"), "0");
  // NOT (x LIKE p) and NOT (x IN (...)) with x NULL: True here.
  EXPECT_EQ(one("SELECT NOT (S LIKE 'a%') FROM T"), "NULL");
  EXPECT_EQ(one("SELECT NOT (COALESCE(S LIKE 'a%', 0)) FROM T"), "1");
  EXPECT_EQ(one("SELECT NOT (COALESCE(X IN (1, 2), 0)) FROM T"), "1");
  // x NOT IN a subquery with a NULL row: True when no row equals x; False
  // for x NULL.
  EXPECT_EQ(one("SELECT 3 NOT IN (SELECT X FROM T)"), "NULL");
  EXPECT_EQ(one("SELECT (3 IS NOT NULL AND NOT COALESCE(3 IN (SELECT X FROM T), 0))"), "1");
  EXPECT_EQ(one("SELECT (NULL IS NOT NULL AND NOT COALESCE(NULL IN (SELECT X FROM E), 0))"), "0");
  // LIKE is case-sensitive.
  EXPECT_EQ(one("SELECT 'abc' LIKE 'A%'"), "0");
  EXPECT_GE(sizeof(kKnownDifferences) / sizeof(kKnownDifferences[0]), 10u);
}

}  // namespace
}  // namespace tav::sqldiff
