// Each row of the known differences (known_differences.h) shown on both
// engines: our engine gives our rule, SQLite its own, and where the harness
// maps a construct, the mapped SQLite text gives ours.
#include "known_differences.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "engine/components/tav_database.h"
#include "engine/query/exec/tav_query.h"
#include "engine/storage/base/tav_error_codes.h"
#include "host/db/fields.h"
#include "os/testing/test_support.h"
#include "sqlite_side.h"
#include "statement_gen.h"
#include "tavrin_side.h"

namespace tav::sqldiff {
namespace {

TSqlValue I(int64_t v) { return TSqlValue::Integer(v); }
TSqlValue F(double v) { return TSqlValue::Real(v); }
TSqlValue S(const char* v) { return TSqlValue::String(v); }
const TSqlValue N = TSqlValue::Null();

// T: integers, floats and texts with NULLs in the numeric columns and texts
// of mixed case and with '!' and '%' in them; V: rows of T's IDs, one with a
// NULL I1; E: no rows.
TRandomSchema Schema() {
  TRandomSchema s;
  const std::vector<TColumnSpec> columns = {
      {"ID", ctInteger}, {"I1", ctInteger}, {"F1", ctFloat}, {"S1", ctVarchar}};
  s.Tables.push_back({"T",
                      columns,
                      {},
                      {{I(1), I(1), F(0.5), S("abc")},
                       {I(2), I(2), N, S("Abd")},
                       {I(3), N, F(1.5), S("a!x")},
                       {I(4), I(5), F(2), S("a%y")}}});
  s.Tables.push_back({"V", columns, {}, {{I(1), I(1), F(1), S("abc")}, {I(5), N, N, S("zz")}}});
  s.Tables.push_back({"E", columns, {}, {}});
  return s;
}

// A value as both engines' results are compared: numbers by value.
std::string Text(const TSqlValue& v) {
  if (v.IsNull()) return "NULL";
  if (v.IsNumber()) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", v.Number());
    return buf;
  }
  return v.Text;
}

// The result as "a,b;c,d": rows sorted unless `ordered`; "error <text>"
// when the statement failed.
std::string Rows(TSqlSide& side, const std::string& sql, bool ordered = false) {
  const TSqlResult r = side.Run(sql);
  if (r.Failed) return "error " + r.Error;
  std::vector<std::string> rows;
  for (const TSqlRow& row : r.Rows) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) line += (i ? "," : "") + Text(row[i]);
    rows.push_back(line);
  }
  if (!ordered) std::sort(rows.begin(), rows.end());
  std::string out;
  for (const std::string& line : rows) out += (out.empty() ? "" : ";") + line;
  return out;
}

// Our engine on a disk database in ASCII order and on "MEMORY", and SQLite,
// all loaded with Schema().
class KnownDifferences : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.Ok());
    disk_ = std::make_unique<TTavrinSide>(dir_ / "known.tav");
    memory_ = std::make_unique<TTavrinSide>("");
    disk_->Load(schema_);
    memory_->Load(schema_);
    sqlite_.Load(schema_);
  }

  // Both of ours give `expected`.
  void Ours(const std::string& sql, const std::string& expected, bool ordered = false) {
    EXPECT_EQ(Rows(*disk_, sql, ordered), expected) << "disk: " << sql;
    EXPECT_EQ(Rows(*memory_, sql, ordered), expected) << "MEMORY: " << sql;
  }
  std::string Sqlite(const std::string& sql, bool ordered = false) { return Rows(sqlite_, sql, ordered); }
  // `sql` fails on both of ours, with the engine's error `code` unless it
  // is 0; the message.
  std::string OursFail(const std::string& sql, int code) {
    std::string error;
    for (TTavrinSide* side : {disk_.get(), memory_.get()}) {
      const TSqlResult r = side->Run(sql);
      EXPECT_TRUE(r.Failed) << side->Name() << ": " << sql;
      if (code) {
        EXPECT_EQ(r.Error.rfind(std::to_string(code) + ":", 0), 0u) << side->Name() << ": " << r.Error;
      }
      error = r.Error;
    }
    return error;
  }

  os::test::TTempDir dir_;
  const TRandomSchema schema_ = Schema();
  std::unique_ptr<TTavrinSide> disk_, memory_;
  TSqliteSide sqlite_;
};

TEST_F(KnownDifferences, AggregatesOverNoRowsOrOnlyNullsGiveZero) {
  const std::string empty = "SELECT SUM(F1), MIN(I1), MAX(F1), AVG(F1), COUNT(I1) FROM E";
  Ours(empty, "0,0,0,0,0");
  EXPECT_EQ(Sqlite(empty), "NULL,NULL,NULL,NULL,0");
  EXPECT_EQ(Sqlite("SELECT COALESCE(SUM(F1), 0), COALESCE(MIN(I1), 0), COALESCE(MAX(F1), 0), "
                   "COALESCE(AVG(F1), 0), COUNT(I1) FROM E"),
            "0,0,0,0,0");
  const std::string nulls = "SELECT SUM(F1), MAX(I1), AVG(F1) FROM V WHERE ID = 5";
  Ours(nulls, "0,0,0");
  EXPECT_EQ(Sqlite(nulls), "NULL,NULL,NULL");
  // Grouped too: the group of NULLs only.
  Ours("SELECT ID, SUM(F1) FROM V GROUP BY ID", "1,1;5,0");
  EXPECT_EQ(Sqlite("SELECT ID, COALESCE(SUM(F1), 0) FROM V GROUP BY ID"), "1,1;5,0");
}

TEST_F(KnownDifferences, ComparisonsAndNotWithANullOperandAcceptNothingAsSqlite) {
  for (const char* sql : {"SELECT ID FROM T WHERE I1 = 5", "SELECT ID FROM T WHERE NOT (I1 = 5)",
                          "SELECT ID FROM T WHERE F1 BETWEEN 0 AND 1", "SELECT ID FROM T WHERE NOT (F1 BETWEEN 0 AND 1)",
                          "SELECT ID FROM T WHERE NOT (NOT (I1 > 1))"}) {
    const std::string theirs = Sqlite(sql);
    Ours(sql, theirs);
  }
  Ours("SELECT ID FROM T WHERE NOT (I1 = 5)", "1;2");
}

TEST_F(KnownDifferences, AndBesideFalseAndOrBesideFalseUnderNot) {
  // Row 2: I1 > 3 is False, F1 > 0 has no value (F1 NULL).
  const std::string notAnd = "SELECT ID FROM T WHERE NOT (I1 > 3 AND F1 > 0)";
  Ours(notAnd, "1");  // False AND no value: no value, and NOT keeps it so
  EXPECT_EQ(Sqlite(notAnd), "1;2");
  const TStatementGen::TText a{"", "(I1 > 3)"}, b{"", "(F1 > 0)"};
  EXPECT_EQ(Sqlite("SELECT ID FROM T WHERE NOT " + TStatementGen::And(a, b, true).S), "1");
  // False OR no value: False, so NOT accepts the row.
  const std::string notOr = "SELECT ID FROM T WHERE NOT (I1 > 3 OR F1 > 0)";
  Ours(notOr, "2");
  EXPECT_EQ(Sqlite(notOr), "");
  EXPECT_EQ(Sqlite("SELECT ID FROM T WHERE NOT " + TStatementGen::Or(a, b, true).S), "2");
  // Without NOT only the truth counts, and the plain texts agree.
  Ours("SELECT ID FROM T WHERE I1 > 3 OR F1 > 1", Sqlite("SELECT ID FROM T WHERE I1 > 3 OR F1 > 1"));
}

TEST_F(KnownDifferences, LikeAndInListWithANullOperandAreFalse) {
  // The NULL texts of a LEFT JOIN's missing rows.
  const std::string like = "SELECT T.ID FROM T LEFT JOIN V ON T.ID = V.ID WHERE NOT (V.S1 LIKE 'a%')";
  Ours(like, "2;3;4");
  EXPECT_EQ(Sqlite(like), "");
  EXPECT_EQ(Sqlite("SELECT T.ID FROM T LEFT JOIN V ON T.ID = V.ID WHERE NOT (COALESCE(V.S1 LIKE 'a%', 0))"),
            "2;3;4");
  const std::string notLike = "SELECT T.ID FROM T LEFT JOIN V ON T.ID = V.ID WHERE NOT (V.S1 NOT LIKE 'z%')";
  Ours(notLike, "2;3;4");
  EXPECT_EQ(Sqlite(notLike), "");
  // Row 3 has I1 NULL.
  const std::string in = "SELECT ID FROM T WHERE NOT (I1 IN (1, 2))";
  Ours(in, "3;4");
  EXPECT_EQ(Sqlite(in), "4");
  EXPECT_EQ(Sqlite("SELECT ID FROM T WHERE NOT (COALESCE(I1 IN (1, 2), 0))"), "3;4");
  Ours("SELECT ID FROM T WHERE I1 NOT IN (1, 2)", "4");
  EXPECT_EQ(Sqlite("SELECT ID FROM T WHERE I1 NOT IN (1, 2)"), "4");
}

TEST_F(KnownDifferences, InAndNotInASubqueryWithNulls) {
  // V.I1 holds 1 and NULL. x IN: a NULL row matches nothing, so NOT IN's
  // negation accepts rows 2 and 4; x NULL (row 3) is False either way.
  const std::string notIn = "SELECT ID FROM T WHERE NOT (I1 IN (SELECT I1 FROM V))";
  Ours(notIn, "2;3;4");
  EXPECT_EQ(Sqlite(notIn), "");
  EXPECT_EQ(Sqlite("SELECT ID FROM T WHERE NOT (COALESCE(I1 IN (SELECT I1 FROM V), 0))"), "2;3;4");
  const std::string in2 = "SELECT ID FROM T WHERE I1 NOT IN (SELECT I1 FROM V)";
  Ours(in2, "2;4");
  EXPECT_EQ(Sqlite(in2), "");
  EXPECT_EQ(Sqlite("SELECT ID FROM T WHERE (I1 IS NOT NULL AND NOT COALESCE(I1 IN (SELECT I1 FROM V), 0))"),
            "2;4");
}

TEST_F(KnownDifferences, LikeIsCaseSensitiveAndEscapeHasNoEffect) {
  Ours("SELECT ID FROM T WHERE S1 LIKE 'a%'", "1;3;4");
  EXPECT_EQ(Sqlite("SELECT ID FROM T WHERE S1 LIKE 'a%'"), "1;3;4");  // case_sensitive_like
  ::sqlite3_exec(sqlite_.Handle(), "PRAGMA case_sensitive_like = OFF", nullptr, nullptr, nullptr);
  EXPECT_EQ(Sqlite("SELECT ID FROM T WHERE S1 LIKE 'a%'"), "1;2;3;4");
  ::sqlite3_exec(sqlite_.Handle(), "PRAGMA case_sensitive_like = ON", nullptr, nullptr, nullptr);
  // '!' stays a plain character here: "a!" then anything; SQLite reads
  // "a%" then anything.
  const std::string escape = "SELECT ID FROM T WHERE S1 LIKE 'a!%%' ESCAPE '!'";
  Ours(escape, "3");
  EXPECT_EQ(Sqlite(escape), "4");
}

TEST_F(KnownDifferences, StringOrderIsTheDatabasesCollation) {
  // ASCII order puts capitals first, as SQLite's byte order does.
  const std::string order = "SELECT S1 FROM T ORDER BY S1";
  EXPECT_EQ(Rows(*disk_, order, true), "Abd;a!x;a%y;abc");
  EXPECT_EQ(Sqlite(order, true), "Abd;a!x;a%y;abc");
  // A database in the default order sorts otherwise: letters before case,
  // punctuation first.
  {
    TTavDataBase creator(nullptr);
    creator.SetDataBaseName(dir_ / "ansi.tav");
    creator.CreateDatabase();
  }
  TTavDataBase ansi(nullptr);
  ansi.SetDataBaseName(dir_ / "ansi.tav");
  ansi.Open();
  EXPECT_NE(ansi.DefaultSortOrder(), soASCII);
  std::string sorted;
  for (const char* sql : {"CREATE TABLE X (S1 VARCHAR(12))", "INSERT INTO X (S1) VALUES ('abc')",
                          "INSERT INTO X (S1) VALUES ('Abd')", "INSERT INTO X (S1) VALUES ('a!x')",
                          "INSERT INTO X (S1) VALUES ('a%y')", "SELECT S1 FROM X ORDER BY S1"}) {
    TTavQuery q(nullptr);
    q.SetDataBase(&ansi);
    q.SetSQLText(sql);
    if (std::string(sql).rfind("SELECT", 0) != 0) {
      q.ExecSQL();
      continue;
    }
    q.Open();
    for (q.First(); !q.Eof(); q.Next()) sorted += (sorted.empty() ? "" : ";") + q.Fields(0)->AsString();
  }
  EXPECT_EQ(sorted, "a!x;a%y;abc;Abd");
  ansi.Close();
}

TEST_F(KnownDifferences, DivisionAndAvgOverIntegers) {
  Ours("SELECT ID / 2 FROM T WHERE ID = 3", "1.5");
  EXPECT_EQ(Sqlite("SELECT ID / 2 FROM T WHERE ID = 3"), "1");
  EXPECT_NE(OursFail("SELECT ID / 0 FROM T WHERE ID = 3", 0).find("division by zero"), std::string::npos);
  EXPECT_EQ(Sqlite("SELECT ID / 0 FROM T WHERE ID = 3"), "NULL");
  // AVG over 1, 2 and 5 is an Integer column here: 8 / 3 rounded.
  const std::string avg = "SELECT AVG(I1) FROM T";
  Ours(avg, "3");
  const TSqlResult r = disk_->Run(avg);
  ASSERT_EQ(r.Rows.size(), 1u);
  EXPECT_EQ(r.Rows[0][0].Kind, TSqlValue::kInteger);
  EXPECT_EQ(Sqlite(avg), "2.66667");
}

TEST_F(KnownDifferences, AScalarSubqueryOfSeveralRowsRaises) {
  OursFail("SELECT ID FROM T WHERE I1 = (SELECT I1 FROM V)", kSingleRowResultHasMultipleRows);
  EXPECT_EQ(Sqlite("SELECT ID FROM T WHERE I1 = (SELECT I1 FROM V)"), "1");
  // An aggregate without GROUP BY, as the harness writes them, is one row.
  Ours("SELECT ID FROM T WHERE I1 = (SELECT MAX(I1) FROM V)", "1");
}

TEST_F(KnownDifferences, AnyAllAndUnionJoinHaveNoSqliteCounterpart) {
  Ours("SELECT ID FROM T WHERE I1 > ALL (SELECT I1 FROM V WHERE ID = 1)", "2;4");
  Ours("SELECT ID FROM T WHERE I1 = ANY (SELECT I1 FROM V)", "1");
  EXPECT_EQ(Sqlite("SELECT ID FROM T WHERE I1 > ALL (SELECT I1 FROM V WHERE ID = 1)").rfind("error", 0), 0u);
  EXPECT_EQ(Sqlite("SELECT ID FROM T WHERE I1 = ANY (SELECT I1 FROM V)").rfind("error", 0), 0u);
  EXPECT_EQ(Rows(*memory_, "SELECT T.ID, V.ID FROM T UNION JOIN V").rfind("error", 0), std::string::npos);
  EXPECT_EQ(Sqlite("SELECT T.ID, V.ID FROM T UNION JOIN V").rfind("error", 0), 0u);
}

TEST_F(KnownDifferences, MaxRecordsCutsBeforeOrderBy) {
  // The first two rows read, then ordered: not the two largest.
  for (TTavrinSide* side : {disk_.get(), memory_.get()}) {
    TTavQuery q(nullptr);
    q.SetDataBase(&side->Tables().Connection());
    q.SetSQLText("SELECT ID FROM T ORDER BY ID DESC");
    q.SetMaxRecords(2);
    q.Open();
    std::string ids;
    for (q.First(); !q.Eof(); q.Next()) ids += q.Fields(0)->AsString();
    EXPECT_EQ(ids, "21") << side->Name();
  }
  EXPECT_EQ(Sqlite("SELECT ID FROM T ORDER BY ID DESC LIMIT 2", true), "4;3");
}

TEST_F(KnownDifferences, StarOverAUsingJoinKeepsBothColumns) {
  Ours("SELECT * FROM T INNER JOIN V USING (ID)", "1,1,0.5,abc,1,1,1,abc");
  EXPECT_EQ(Sqlite("SELECT * FROM T INNER JOIN V USING (ID)"), "1,1,0.5,abc,1,1,abc");
}

TEST(KnownDifferencesTable, EveryRowHasItsRuleAndHandling) {
  EXPECT_EQ(std::size(kKnownDifferences), 17u);
  for (const TKnownDifference& d : kKnownDifferences) {
    EXPECT_NE(std::string(d.Construct), "");
    EXPECT_NE(std::string(d.OurRule), "");
    EXPECT_NE(std::string(d.Handling), "");
  }
}

}  // namespace
}  // namespace tav::sqldiff
