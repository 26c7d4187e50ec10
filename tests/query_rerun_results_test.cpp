// Results of statements run again and results built in one go:
//  - a prepared SELECT keeps how it copies each column from one run to the
//    next; a table dropped and made again with other columns, or changed
//    column by column, between two runs (through another query of the same
//    connection, or by another process while this one was away) must be
//    read as it is now;
//  - a result's indexes are built once its rows are in; ordered, DISTINCT
//    and grouped results of many rows, with many equal keys, joined or from
//    one table, must come out as the rows say, forwards and backwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "engine/components/tav_database.h"
#include "engine/query/exec/tav_query.h"
#include "engine/storage/testing/engine_error_test_support.h"
#include "engine/storage/testing/lock_test_support.h"
#include "host/db/fields.h"
#include "host/db/params.h"
#include "os/testing/test_support.h"
#include "sql_session_test_support.h"

namespace tav::test {
namespace {

// Every row of `q`, read backwards from the last, in the order Rows gives.
std::string RowsBackwards(TTavQuery& q) {
  std::vector<std::string> rows;
  for (q.Last(); !q.BOF(); q.Prior()) {
    std::string row;
    for (int i = 0; i < q.FieldCount(); ++i) row += (i ? "|" : "") + q.Fields(i)->AsString();
    rows.push_back(row);
  }
  std::reverse(rows.begin(), rows.end());
  std::string out;
  for (const std::string& r : rows) out += (out.empty() ? "" : ";") + r;
  return out;
}

class QueryRerunResults : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.Ok());
    path_ = dir_ / "rerun.tav";
    CreateDatabaseFile(path_);
  }
  os::test::TTempDir dir_;
  std::string path_;
};

// ---- prepared statements across schema changes ----

TEST_F(QueryRerunResults, APreparedSelectReadsATableMadeAgainWithOtherColumns) {
  TTavDataBase db(nullptr);
  db.SetDataBaseName(path_);
  db.SetExclusive(true);
  db.Open();
  TTavQuery ddl(nullptr);
  ddl.SetDataBase(&db);
  const auto exec = [&](const std::string& sql) {
    ddl.SetSQLText(sql);
    ddl.ExecSQL();
  };
  exec("CREATE TABLE X (A INT, B VARCHAR(8), C SMALLINT)");
  for (int i = 1; i <= 20; ++i)
    exec("INSERT INTO X (A, B, C) VALUES (" + std::to_string(i) + ", 'b" + std::to_string(i) + "', " +
         std::to_string(i * 3) + ")");
  TTavQuery q(nullptr);
  q.SetDataBase(&db);
  q.SetSQLText("SELECT A, B, C FROM X WHERE A > :lo ORDER BY A");
  q.Prepare();
  q.ParamByName("lo")->SetAsInteger(17);
  q.Open();
  EXPECT_EQ(Rows(q), "18|b18|54;19|b19|57;20|b20|60");
  q.Close();

  // The same names, other types, sizes and places.
  exec("DROP TABLE X");
  exec("CREATE TABLE X (C VARCHAR(30), B INT, A INT)");
  for (int i = 1; i <= 20; ++i)
    exec("INSERT INTO X (A, B, C) VALUES (" + std::to_string(i) + ", " + std::to_string(i * 100) +
         ", 'a longer text of row " + std::to_string(i) + "')");
  q.ParamByName("lo")->SetAsInteger(18);
  q.Open();
  EXPECT_EQ(Rows(q), "19|1900|a longer text of row 19;20|2000|a longer text of row 20");
  q.Close();

  // Column by column: B dropped and added again as text, C made wider.
  exec("ALTER TABLE X DROP B");
  exec("ALTER TABLE X ADD B VARCHAR(12)");
  exec("UPDATE X SET B = 'new 20' WHERE A = 20");
  q.Open();
  q.Last();
  EXPECT_EQ(q.FieldByName("A")->AsInteger(), 20);
  EXPECT_EQ(q.FieldByName("C")->AsString(), "a longer text of row 20");
  EXPECT_EQ(q.FieldByName("B")->AsString(), "new 20");
  q.First();
  EXPECT_EQ(q.FieldByName("B")->AsString(), "");
  q.Close();

  // An open result keeps the table from being dropped; once it is closed,
  // the table made again once more is read.
  q.ParamByName("lo")->SetAsInteger(0);
  q.Open();
  EXPECT_NE(ErrorCodeOf([&] { exec("DROP TABLE X"); }), 0);
  q.Close();
  exec("DROP TABLE X");
  exec("CREATE TABLE X (A SMALLINT, B VARCHAR(3), C INT)");
  exec("INSERT INTO X (A, B, C) VALUES (5, 'xyz', 7)");
  q.Open();
  EXPECT_EQ(Rows(q), "5|xyz|7");
}

TEST_F(QueryRerunResults, APreparedSelectReadsATableAnotherProcessMadeAgain) {
  {
    TSession s(path_);
    s.Exec("CREATE TABLE X (A INT, B VARCHAR(8))");
    for (int i = 1; i <= 10; ++i)
      s.Exec("INSERT INTO X (A, B) VALUES (" + std::to_string(i) + ", 'b" + std::to_string(i) + "')");
  }
  TTavDataBase db(nullptr);
  db.SetDataBaseName(path_);
  db.Open();
  TTavQuery q(nullptr);
  q.SetDataBase(&db);
  q.SetSQLText("SELECT A, B FROM X WHERE A >= :lo");
  q.Prepare();
  q.ParamByName("lo")->SetAsInteger(9);
  q.Open();
  EXPECT_EQ(Rows(q), "9|b9;10|b10");
  q.Close();
  // A schema change needs the database to itself.
  db.Close();
  TChild other([&](TChildSide&) {
    TSession o(path_);
    o.Exec("DROP TABLE X");
    o.Exec("CREATE TABLE X (B INT, A VARCHAR(20))");
    for (int i = 1; i <= 10; ++i)
      o.Exec("INSERT INTO X (A, B) VALUES ('" + std::to_string(i) + "', " + std::to_string(-i) + ")");
    return 0;
  });
  ASSERT_TRUE(other.Started());
  ASSERT_EQ(other.Wait(), 0);
  db.Open();
  q.ParamByName("lo")->SetAsString("9");
  q.Open();
  // A is text now: '9' and nothing else is at or above '9'.
  EXPECT_EQ(Rows(q), "9|-9");
}

// ---- re-runs that leave one row ----

// The rows of the open query read every way: forwards, backwards, the
// count, and the record number of the first and the last row.
std::string EveryWay(TTavQuery& q) {
  std::string out = Rows(q) + " / " + RowsBackwards(q) + " / " + std::to_string(q.RecordCount());
  q.First();
  out += " / " + std::to_string(q.IsEmpty() ? 0 : q.RecNo());
  q.Last();
  out += "," + std::to_string(q.IsEmpty() ? 0 : q.RecNo());
  return out;
}

// A query run again and again with parameters that leave one row, no row
// or a few, while another process changes, deletes and adds the rows it
// picks between the runs, and a run in between fails: each run reads the
// table as it stands, its one row from every side, and steps from it to
// nothing; a run after the failed one is read as any other.
TEST_F(QueryRerunResults, ReRunsOfOneRowFollowAnotherProcessesChanges) {
  {
    TSession s(path_);
    s.Exec("CREATE TABLE E (ID INT, Name VARCHAR(12))");
    for (int i = 1; i <= 10; ++i)
      s.Exec("INSERT INTO E (ID, Name) VALUES (" + std::to_string(i) + ", 'n" + std::to_string(i) + "')");
  }
  auto inAnotherProcess = [&](const std::vector<std::string>& statements) {
    TChild other([&](TChildSide&) {
      TSession o(path_);
      for (const std::string& sql : statements) o.Exec(sql);
      return 0;
    });
    ASSERT_TRUE(other.Started());
    ASSERT_EQ(other.Wait(), 0);
  };
  TTavDataBase db(nullptr);
  db.SetDataBaseName(path_);
  db.SetLockRetryMaximum(200);
  db.SetLockRetryInterval(1);
  db.Open();
  TTavQuery q(nullptr);
  q.SetDataBase(&db);
  // In an order other than the one the rows are added in.
  q.SetSQLText("SELECT ID, Name FROM E WHERE ID >= :lo AND ID <= :hi ORDER BY Name DESC");
  auto run = [&](int lo, int hi) {
    q.ParamByName("lo")->SetAsInteger(lo);
    q.ParamByName("hi")->SetAsInteger(hi);
    if (q.Active())
      q.Refresh();
    else
      q.Open();
    return EveryWay(q);
  };
  EXPECT_EQ(run(3, 3), "3|n3 / 3|n3 / 1 / 1,1");
  EXPECT_EQ(run(5, 5), "5|n5 / 5|n5 / 1 / 1,1");
  inAnotherProcess({"UPDATE E SET Name = 'changed' WHERE ID = 5", "DELETE FROM E WHERE ID = 4",
                    "INSERT INTO E (ID, Name) VALUES (11, 'n11')"});
  EXPECT_EQ(run(5, 5), "5|changed / 5|changed / 1 / 1,1");
  EXPECT_EQ(run(4, 4), " /  / 0 / 0,0");
  EXPECT_EQ(run(3, 4), "3|n3 / 3|n3 / 1 / 1,1");
  EXPECT_EQ(run(11, 11), "11|n11 / 11|n11 / 1 / 1,1");
  // A bookmark of the one row, and a search for it.
  q.First();
  const host::TBookmark mark = q.GetBookmark();
  q.Next();
  EXPECT_TRUE(q.Eof());
  q.GotoBookmark(mark);
  EXPECT_EQ(q.FieldByName("Name")->AsString(), "n11");
  EXPECT_TRUE(q.Locate("ID", host::Variant(11), {}));
  EXPECT_FALSE(q.Locate("ID", host::Variant(5), {}));
  // Another process adds a second row the same parameters pick.
  inAnotherProcess({"INSERT INTO E (ID, Name) VALUES (11, 'again')"});
  EXPECT_EQ(run(11, 11), "11|n11;11|again / 11|n11;11|again / 2 / 1,2");
  inAnotherProcess({"DELETE FROM E WHERE Name = 'n11'"});
  EXPECT_EQ(run(11, 11), "11|again / 11|again / 1 / 1,1");
  // A run that fails: the next one stands on its own row.
  q.ParamByName("lo")->SetAsString("not a number");
  EXPECT_NE(ErrorCodeOf([&] { q.Refresh(); }), 0);
  EXPECT_EQ(run(2, 2), "2|n2 / 2|n2 / 1 / 1,1");
  EXPECT_EQ(run(1, 3), "3|n3;2|n2;1|n1 / 3|n3;2|n2;1|n1 / 3 / 1,3");
  EXPECT_EQ(run(7, 7), "7|n7 / 7|n7 / 1 / 1,1");
}

// ---- results built in one go ----

// T: 3000 rows, G of eight values, H of 40, N distinct; U: one row per G
// value and a name.
void FillTables(TSession& s) {
  s.Exec("CREATE TABLE T (N INT, G INT, H VARCHAR(6))");
  s.Exec("CREATE TABLE U (G INT, Name VARCHAR(10))");
  s.Db.StartTransaction();
  for (int i = 0; i < 3000; ++i)
    s.Exec("INSERT INTO T (N, G, H) VALUES (" + std::to_string((i * 7919) % 3000) + ", " + std::to_string(i % 8) +
           ", 'h" + std::to_string((i * 13) % 40) + "')");
  for (int g = 0; g < 8; ++g)
    s.Exec("INSERT INTO U (G, Name) VALUES (" + std::to_string(g) + ", 'g" + std::to_string(7 - g) + "')");
  s.Db.Commit();
}

struct TRowT {
  int N, G;
  std::string H;
};

std::vector<TRowT> ModelRows() {
  std::vector<TRowT> rows;
  for (int i = 0; i < 3000; ++i) rows.push_back({(i * 7919) % 3000, i % 8, "h" + std::to_string((i * 13) % 40)});
  return rows;
}

TEST_F(QueryRerunResults, OrderedResultsOfManyEqualKeysComeOutInKeyOrder) {
  TSession s(path_);
  FillTables(s);
  const std::vector<TRowT> model = ModelRows();
  // ORDER BY of a non-unique column, both ways, with a second key, from one
  // table and joined: every row once, in key order, the same backwards.
  struct TCase {
    const char* Sql;
    std::function<bool(const TRowT&, const TRowT&)> Before;  // strict order of the keys
    bool Join;
  };
  const TCase cases[] = {
      {"SELECT N, G, H FROM T ORDER BY G", [](const TRowT& a, const TRowT& b) { return a.G < b.G; }, false},
      {"SELECT N, G, H FROM T ORDER BY G DESC, H", [](const TRowT& a, const TRowT& b) {
         return std::make_tuple(-a.G, a.H) < std::make_tuple(-b.G, b.H);
       }, false},
      {"SELECT N, G, H FROM T ORDER BY H DESC, N", [](const TRowT& a, const TRowT& b) {
         return a.H != b.H ? a.H > b.H : a.N < b.N;
       }, false},
      {"SELECT T.N, T.G, T.H, U.Name FROM T JOIN U ON U.G = T.G ORDER BY U.Name",
       [](const TRowT& a, const TRowT& b) { return a.G > b.G; }, true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Sql);
    s.Q.SetSQLText(c.Sql);
    s.Q.Open();
    std::vector<TRowT> got;
    for (s.Q.First(); !s.Q.Eof(); s.Q.Next())
      got.push_back({s.Q.Fields(0)->AsInteger(), s.Q.Fields(1)->AsInteger(), s.Q.Fields(2)->AsString()});
    ASSERT_EQ(got.size(), model.size());
    for (size_t i = 1; i < got.size(); ++i)
      ASSERT_FALSE(c.Before(got[i], got[i - 1])) << "row " << i << " out of order";
    std::multiset<std::tuple<int, int, std::string>> want, have;
    for (const TRowT& r : model) want.insert({r.N, r.G, r.H});
    for (const TRowT& r : got) have.insert({r.N, r.G, r.H});
    EXPECT_TRUE(want == have) << "other rows than the table's";
    EXPECT_EQ(RowsBackwards(s.Q), Rows(s.Q));
    EXPECT_EQ(s.Q.RecordCount(), static_cast<int>(model.size()));
    // Each row's number is its place.
    s.Q.Last();
    EXPECT_EQ(s.Q.RecNo(), static_cast<int>(model.size()));
    s.Q.Close();
  }
}

TEST_F(QueryRerunResults, DistinctAndGroupedResultsOfManyRows) {
  TSession s(path_);
  FillTables(s);
  const std::vector<TRowT> model = ModelRows();
  std::set<std::pair<int, std::string>> pairs;
  std::map<std::string, std::pair<int, long>> byH;  // count, sum of N
  for (const TRowT& r : model) {
    pairs.insert({r.G, r.H});
    auto& [count, sum] = byH[r.H];
    ++count;
    sum += r.N;
  }
  s.Q.SetSQLText("SELECT DISTINCT G, H FROM T ORDER BY G, H");
  s.Q.Open();
  std::string want;
  for (const auto& [g, h] : pairs) want += (want.empty() ? "" : ";") + std::to_string(g) + "|" + h;
  EXPECT_EQ(Rows(s.Q), want);
  s.Q.Close();
  s.Q.SetSQLText("SELECT H, COUNT(*), SUM(N) FROM T GROUP BY H");
  s.Q.Open();
  want.clear();
  for (const auto& [h, cs] : byH)
    want += (want.empty() ? "" : ";") + h + "|" + std::to_string(cs.first) + "|" + std::to_string(cs.second);
  EXPECT_EQ(Rows(s.Q), want);
  s.Q.Close();
  // The same run twice through a prepared statement gives the same rows.
  s.Q.SetSQLText("SELECT N, H FROM T WHERE G = :g ORDER BY H, N");
  s.Q.Prepare();
  for (int g : {3, 5, 3}) {
    s.Q.ParamByName("g")->SetAsInteger(g);
    s.Q.Open();
    std::vector<std::pair<std::string, int>> rows;
    for (const TRowT& r : model)
      if (r.G == g) rows.push_back({r.H, r.N});
    std::sort(rows.begin(), rows.end());
    std::string w;
    for (const auto& [h, n] : rows) w += (w.empty() ? "" : ";") + std::to_string(n) + "|" + h;
    EXPECT_EQ(Rows(s.Q), w) << g;
    s.Q.Close();
  }
}

}  // namespace
}  // namespace tav::test
