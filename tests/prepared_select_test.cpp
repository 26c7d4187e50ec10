// Prepared SELECTs re-run many times with new parameter values, checked
// against a model of the table after each run: point and range conditions
// on indexed integer columns (answered by key ranges), open ranges, values
// that match nothing, NULL values and a value whose type changes, between
// inserts, updates and deletes made through the same connection or by
// another process, and a schema change between runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "engine/components/tav_database.h"
#include "engine/query/exec/tav_query.h"
#include "engine/storage/testing/lock_test_support.h"
#include "host/db/fields.h"
#include "host/db/params.h"
#include "os/testing/test_support.h"
#include "sql_session_test_support.h"

namespace tav::test {
namespace {

// One row of T: ID INTEGER and K SMALLINT, each indexed and nullable, and
// a text V.
struct TRow {
  std::optional<int> Id;
  std::optional<int> K;
  std::string V;
};

// A parameter's value as the model compares it: none for NULL.
using TValue = std::optional<double>;

// The comparisons of the statements below; a NULL on either side passes
// none of them.
bool Ge(const std::optional<int>& a, const TValue& b) { return a && b && *a >= *b; }
bool Gt(const std::optional<int>& a, const TValue& b) { return a && b && *a > *b; }
bool Le(const std::optional<int>& a, const TValue& b) { return a && b && *a <= *b; }
bool Lt(const std::optional<int>& a, const TValue& b) { return a && b && *a < *b; }
bool Eq(const std::optional<int>& a, const TValue& b) { return a && b && *a == *b; }

std::string Text(const std::optional<int>& v) { return v ? std::to_string(*v) : std::string(); }

// A statement, its parameter names, and which rows it selects and how it
// shows each (a lone COUNT(*) when `Count`); with `Fixed`, it reads P,
// which the changes leave as first made.
struct TStatement {
  const char* Sql;
  std::vector<const char*> Params;
  std::function<bool(const TRow&, const std::vector<TValue>&)> Selects;
  std::function<std::string(const TRow&)> Shows;
  bool Count = false;
  bool Fixed = false;
};

const std::vector<TStatement>& Statements() {
  static const std::vector<TStatement> statements = {
      {"SELECT ID, K, V FROM T WHERE ID = :a",
       {"a"},
       [](const TRow& r, const std::vector<TValue>& p) { return Eq(r.Id, p[0]); },
       [](const TRow& r) { return Text(r.Id) + "|" + Text(r.K) + "|" + r.V; }},
      {"SELECT ID, V FROM T WHERE ID BETWEEN :lo AND :hi",
       {"lo", "hi"},
       [](const TRow& r, const std::vector<TValue>& p) { return Ge(r.Id, p[0]) && Le(r.Id, p[1]); },
       [](const TRow& r) { return Text(r.Id) + "|" + r.V; }},
      {"SELECT ID, K FROM T WHERE K >= :lo",
       {"lo"},
       [](const TRow& r, const std::vector<TValue>& p) { return Ge(r.K, p[0]); },
       [](const TRow& r) { return Text(r.Id) + "|" + Text(r.K); }},
      {"SELECT ID, K FROM T WHERE K < :hi",
       {"hi"},
       [](const TRow& r, const std::vector<TValue>& p) { return Lt(r.K, p[0]); },
       [](const TRow& r) { return Text(r.Id) + "|" + Text(r.K); }},
      {"SELECT ID, K FROM T WHERE :lo < K AND K <= :hi",
       {"lo", "hi"},
       [](const TRow& r, const std::vector<TValue>& p) { return Gt(r.K, p[0]) && Le(r.K, p[1]); },
       [](const TRow& r) { return Text(r.Id) + "|" + Text(r.K); }},
      // P: the rows of T as first made, ID unique.
      {"SELECT ID, V FROM P WHERE ID = :a",
       {"a"},
       [](const TRow& r, const std::vector<TValue>& p) { return Eq(r.Id, p[0]); },
       [](const TRow& r) { return Text(r.Id) + "|" + r.V; },
       false,
       true},
      {"SELECT COUNT(*) FROM T WHERE ID >= :lo AND ID < :hi",
       {"lo", "hi"},
       [](const TRow& r, const std::vector<TValue>& p) { return Ge(r.Id, p[0]) && Lt(r.Id, p[1]); },
       nullptr,
       true},
  };
  return statements;
}

std::string Literal(const std::optional<int>& v) { return v ? std::to_string(*v) : "NULL"; }

// The rows a seed's connection starts with, and the change it makes at
// step `i` (an INSERT, UPDATE or DELETE), applied to `rows` as well.
std::vector<TRow> FirstRows() {
  std::vector<TRow> rows;
  for (int i = 0; i < 40; ++i) {
    TRow r;
    if (i % 9 != 4) r.Id = i * 3 - 20;
    if (i % 5 != 2) r.K = (i * 7) % 23 - 8;
    r.V = "v" + std::to_string(i);
    rows.push_back(r);
  }
  return rows;
}

std::string Change(int i, std::vector<TRow>& rows) {
  std::mt19937 random(static_cast<uint32_t>(i) * 2654435761u);
  const int a = static_cast<int>(random() % 140) - 30;
  switch (random() % 3) {
    case 0: {
      TRow r;
      if (random() % 6 != 0) r.Id = a;
      if (random() % 6 != 0) r.K = static_cast<int>(random() % 40) - 15;
      r.V = "n" + std::to_string(i);
      rows.push_back(r);
      return "INSERT INTO T (ID, K, V) VALUES (" + Literal(r.Id) + ", " + Literal(r.K) + ", '" + r.V + "')";
    }
    case 1: {
      // Moves the rows of an ID range to other keys, NULL among them.
      const std::optional<int> k = random() % 5 == 0 ? std::nullopt : std::optional<int>(a % 30);
      for (TRow& r : rows)
        if (r.Id && *r.Id >= a && *r.Id <= a + 6) {
          r.K = k;
          r.Id = *r.Id + 1;
        }
      return "UPDATE T SET K = " + Literal(k) + ", ID = ID + 1 WHERE ID BETWEEN " + std::to_string(a) + " AND " +
             std::to_string(a + 6);
    }
    default:
      rows.erase(std::remove_if(rows.begin(), rows.end(),
                                [&](const TRow& r) { return r.K && *r.K >= a % 20 && *r.K <= a % 20 + 1; }),
                 rows.end());
      return "DELETE FROM T WHERE K BETWEEN " + std::to_string(a % 20) + " AND " + std::to_string(a % 20 + 1);
  }
}

std::string CreateDatabase(const os::test::TTempDir& dir) {
  const std::string path = dir / "prepared.tav";
  CreateDatabaseFile(path);
  TSession s(path);
  for (const char* sql : {"CREATE TABLE T (ID INT, K SMALLINT, V VARCHAR(10))", "CREATE INDEX ById ON T (ID)",
                          "CREATE INDEX ByK ON T (K)"})
    s.Exec(sql);
  s.Exec("CREATE TABLE P (ID INT NOT NULL, V VARCHAR(10), PRIMARY KEY (ID))");
  for (const TRow& r : FirstRows()) {
    s.Exec("INSERT INTO T (ID, K, V) VALUES (" + Literal(r.Id) + ", " + Literal(r.K) + ", '" + r.V + "')");
    if (r.Id) s.Exec("INSERT INTO P (ID, V) VALUES (" + Literal(r.Id) + ", '" + r.V + "')");
  }
  return path;
}

// The parameter values of run `i`: mostly integers around the keys, some
// beyond what a SMALLINT holds, some NULL, some with a fraction.
std::vector<TValue> Values(std::mt19937& random, size_t n) {
  std::vector<TValue> values;
  for (size_t k = 0; k < n; ++k) {
    const uint32_t kind = random() % 20;
    const int v = static_cast<int>(random() % 150) - 35;
    if (kind == 0)
      values.emplace_back(std::nullopt);
    else if (kind == 1)
      values.emplace_back(v + 0.5);
    else if (kind == 2)
      values.emplace_back(random() % 2 ? 70000 : -70000);
    else
      values.emplace_back(v);
  }
  // Ranges are mostly the right way round.
  if (n == 2 && values[0] && values[1] && *values[0] > *values[1] && random() % 4 != 0)
    std::swap(values[0], values[1]);
  return values;
}

void Bind(TTavQuery& q, const TStatement& s, const std::vector<TValue>& values) {
  for (size_t k = 0; k < values.size(); ++k) {
    host::TParam* p = q.ParamByName(s.Params[k]);
    if (!values[k])
      p->Clear();
    else if (*values[k] != static_cast<int>(*values[k]))
      p->SetAsFloat(*values[k]);
    else
      p->SetAsInteger(static_cast<int>(*values[k]));
  }
}

std::vector<std::string> Expected(const TStatement& s, const std::vector<TRow>& rows,
                                  const std::vector<TValue>& values) {
  std::vector<std::string> out;
  int count = 0;
  for (const TRow& r : s.Fixed ? FirstRows() : rows)
    if (s.Selects(r, values)) {
      ++count;
      if (!s.Count) out.push_back(s.Shows(r));
    }
  if (s.Count) out.push_back(std::to_string(count));
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::string> Got(TTavQuery& q) {
  std::vector<std::string> out;
  for (q.First(); !q.Eof(); q.Next()) {
    std::string row;
    for (int i = 0; i < q.FieldCount(); ++i) row += (i ? "|" : "") + q.Fields(i)->AsString();
    out.push_back(row);
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::string Describe(const std::vector<TValue>& values) {
  std::string out;
  for (const TValue& v : values) out += (out.empty() ? "" : ", ") + (v ? std::to_string(*v) : "NULL");
  return out;
}

// The reader: every statement prepared once and kept open, re-run after
// each change with new values and compared with the model. `change(i)`
// makes change i (in this or another process) and returns its SQL.
void RunAgainstModel(const std::string& path, int steps, const std::function<void(int)>& change) {
  TSession session(path, 50);
  std::vector<std::unique_ptr<TTavQuery>> queries;
  for (const TStatement& s : Statements()) {
    queries.push_back(std::make_unique<TTavQuery>(nullptr));
    queries.back()->SetDataBase(&session.Db);
    queries.back()->SetSQLText(s.Sql);
    queries.back()->Prepare();
  }
  std::vector<TRow> rows = FirstRows();
  std::mt19937 random(7);
  for (int i = 0; i < steps; ++i) {
    if (i % 3 == 2) {
      change(i);
      Change(i, rows);
    }
    for (size_t n = 0; n < queries.size(); ++n) {
      const TStatement& s = Statements()[n];
      TTavQuery& q = *queries[n];
      const std::vector<TValue> values = Values(random, s.Params.size());
      Bind(q, s, values);
      if (q.Active())
        q.Refresh();
      else
        q.Open();
      ASSERT_EQ(Got(q), Expected(s, rows, values)) << "step " << i << ": " << s.Sql << " with " << Describe(values);
    }
  }
}

TEST(PreparedSelect, ReRunsAgreeWithTheModelAcrossChangesOfTheSameConnection) {
  os::test::TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  const std::string path = CreateDatabase(dir);
  TTavDataBase db(nullptr);
  db.SetDataBaseName(path);
  db.Open();
  TTavQuery writer(nullptr);
  writer.SetDataBase(&db);
  std::vector<TRow> scratch;
  RunAgainstModel(path, 150, [&](int i) {
    writer.SetSQLText(Change(i, scratch));
    writer.ExecSQL();
  });
}

TEST(PreparedSelect, ReRunsAgreeWithTheModelAcrossChangesOfAnotherProcess) {
  os::test::TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  const std::string path = CreateDatabase(dir);
  TChild child([&](TChildSide& side) {
    TSession writer(path, 50);
    std::vector<TRow> scratch;
    // One change for each go, its number counting from 0 in step with the
    // reader's.
    for (int i = 2; side.WaitGo(); i += 3) {
      writer.Exec(Change(i, scratch));
      side.Send(static_cast<uint64_t>(i));
    }
    return 0;
  });
  ASSERT_TRUE(child.Started());
  RunAgainstModel(path, 90, [&](int i) {
    child.Go();
    uint64_t done = 0;
    ASSERT_TRUE(child.Receive(done));
    ASSERT_EQ(done, static_cast<uint64_t>(i));
  });
}

TEST(PreparedSelect, AReRunAfterASchemaChangeReadsTheNewTable) {
  // An open query on a table another table's schema change leaves alone
  // plans again (the change may have been to anything it reads); one whose
  // own table gained an index reads through it.
  os::test::TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  const std::string path = CreateDatabase(dir);
  TTavDataBase db(nullptr);
  db.SetDataBaseName(path);
  db.SetExclusive(true);
  db.Open();
  TTavQuery q(nullptr);
  q.SetDataBase(&db);
  q.SetSQLText("SELECT COUNT(*) FROM T WHERE ID BETWEEN :lo AND :hi");
  q.ParamByName("lo")->SetAsInteger(-20);
  q.ParamByName("hi")->SetAsInteger(-11);
  q.Open();
  EXPECT_EQ(q.Fields(0)->AsInteger(), 4);
  TTavQuery ddl(nullptr);
  ddl.SetDataBase(&db);
  ddl.SetSQLText("CREATE TABLE U (ID INT)");
  ddl.ExecSQL();
  ddl.SetSQLText("INSERT INTO T (ID, K, V) VALUES (-15, 1, 'x')");
  ddl.ExecSQL();
  q.ParamByName("hi")->SetAsInteger(-14);
  q.Refresh();
  EXPECT_EQ(q.Fields(0)->AsInteger(), 4);
  q.Close();
  ddl.SetSQLText("DROP INDEX T.ById");
  ddl.ExecSQL();
  q.Open();
  EXPECT_EQ(q.Fields(0)->AsInteger(), 4);
  q.ParamByName("lo")->SetAsInteger(-16);
  q.Refresh();
  EXPECT_EQ(q.Fields(0)->AsInteger(), 2);
}

}  // namespace
}  // namespace tav::test
