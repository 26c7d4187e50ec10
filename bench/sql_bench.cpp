// SQL statements against SQLite on file databases holding the same 100,000
// rows with the same indexes: point and range SELECTs by key, a join on an
// indexed key and one on an unindexed key, GROUP BY with aggregates, UPDATE
// and DELETE with WHERE, INSERT ... SELECT.
//
// Ours runs each statement as an application does: a TTavQuery prepared
// once with bound parameters, a SELECT re-run by Refresh, a data change by
// ExecSQL, each run taking its own locks and transaction on a shared
// database. SQLite runs prepared statements with synchronous off (our
// commits do not force to disk either); a second SQLite line in its default
// mode (rollback journal, full sync) brackets it. Every line loads its
// database, closes it and opens it again, as an application opens a
// database that exists: caches start cold and are sized for the file as
// each engine sizes them at open. Each step's row count and
// a checksum of its rows must agree on every line, and so must the tables
// after the last step; the program fails when they do not.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_compare.h"
#include "engine/components/tav_database.h"
#include "engine/components/tav_table.h"
#include "engine/query/exec/tav_query.h"
#include "host/db/field_defs.h"
#include "host/db/fields.h"
#include "host/db/index_defs.h"
#include "host/db/params.h"
#include "host/rtl/variant.h"

namespace {

constexpr int kRows = 100000;     // table A
constexpr int kBRows = 10000;     // table B
constexpr int kKeys = 10000;      // A.K and A.U take 0..kKeys-1
constexpr int kGroups = 100;      // A.G takes 0..kGroups-1
constexpr int kPoints = 10000;    // point SELECTs
constexpr int kRanges = 1000;     // range SELECTs
constexpr int kRangeWidth = 100;  // rows per range
constexpr int kUnindexedRows = 2000;  // rows of A the unindexed join takes
constexpr int kUpdates = 100;     // UPDATEs, kUpdateWidth keys of K each
constexpr int kUpdateWidth = 10;
constexpr int kDeletes = 100;     // DELETEs, kRangeWidth keys of ID each

// The rows, alike on every line. F is a multiple of 0.25 so that sums are
// exact on both engines.
struct TARow {
  int Id, K, U, G;
  double F;
  std::string S;
};
TARow ARow(int i) {
  const int id = static_cast<int>((static_cast<int64_t>(i) * 7919) % kRows);
  char s[16];
  std::snprintf(s, sizeof s, "s%07d", (id * 31) % kRows);
  return {id, (id * 13) % kKeys, (id * 17 + 5) % kKeys, id % kGroups, (id % 64) * 0.25, s};
}
struct TBRow {
  int Id, U;
  std::string T;
};
TBRow BRow(int i) {
  char t[16];
  std::snprintf(t, sizeof t, "t%05d", (i * 7) % kBRows);
  return {i, (i * 3 + 1) % kKeys, t};
}

// What a step gave: its row count (rows read, or rows a change touched) and
// an order-independent checksum of the values read.
struct TOutcome {
  int64_t Rows = 0;
  uint64_t Sum = 0;
  bool operator==(const TOutcome&) const = default;
};

// One row's contribution: each value weighed by its column's position. A
// number counts by its value, whatever its column's type on either engine.
class TRowSum {
 public:
  void Number(double v) { Add(static_cast<uint64_t>(std::llround(v * 1024))); }
  void Text(const char* p, size_t n) {
    uint64_t h = 1469598103934665603ull;
    for (size_t i = 0; i < n; ++i) h = (h ^ static_cast<unsigned char>(p[i])) * 1099511628211ull;
    Add(h);
  }
  void Null() { Add(0x9e3779b97f4a7c15ull); }
  uint64_t Value() const { return sum_; }

 private:
  void Add(uint64_t v) { sum_ += (v + 1) * (2 * column_++ + 1) * 0x100000001b3ull; }
  uint64_t sum_ = 0;
  uint64_t column_ = 0;
};

// The statements, in both engines' texts where they differ only in how a
// parameter is written.
struct TStatements {
  const char* Point = "SELECT ID, K, F, S FROM A WHERE ID = :p1";
  const char* Range = "SELECT ID, F, S FROM A WHERE ID BETWEEN :p1 AND :p2";
  const char* JoinIndexed = "SELECT A.ID, B.U, B.T FROM A INNER JOIN B ON B.ID = A.K";
  const char* JoinUnindexed =
      "SELECT A.ID, B.ID FROM A INNER JOIN B ON A.U = B.U WHERE A.ID BETWEEN :p1 AND :p2";
  const char* GroupBy = "SELECT G, COUNT(*), SUM(F), MIN(ID), MAX(ID), AVG(F) FROM A GROUP BY G";
  const char* Update = "UPDATE A SET F = F + 0.25, U = U + 1 WHERE K BETWEEN :p1 AND :p2";
  const char* Delete = "DELETE FROM A WHERE ID BETWEEN :p1 AND :p2";
  const char* InsertSelect = "INSERT INTO C (ID, K, U, G, F, S) SELECT ID, K, U, G, F, S FROM A";
};
const TStatements kSql;

// The parameter values of each run of a step.
int PointKey(int i) { return static_cast<int>((static_cast<int64_t>(i) * 7907) % kRows); }
int RangeLow(int i) { return static_cast<int>((static_cast<int64_t>(i) * 997) % (kRows - kRangeWidth)); }
int UpdateLow(int i) { return (i * 97) % (kKeys - kUpdateWidth); }
int DeleteLow(int i) { return (i * 991) % (kRows - kRangeWidth); }

enum TStepId { sPoint, sRange, sJoinIndexed, sJoinUnindexed, sGroupBy, sUpdate, sDelete, sInsertSelect, kStepCount };

class TWorkload {
 public:
  virtual ~TWorkload() = default;
  virtual const char* Name() const = 0;
  // Reads a whole table (not timed): its count and checksum.
  TOutcome Table(const char* name, const char* columns) {
    const std::string sql = std::string("SELECT ") + columns + " FROM " + name;
    return Select(sql.c_str(), 1, [](int) { return std::vector<int>{}; });
  }

  void Run(int step) {
    const auto start = std::chrono::steady_clock::now();
    Outcomes[static_cast<size_t>(step)] = StepOutcome(step);
    Seconds[static_cast<size_t>(step)] =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }

  TOutcome Outcomes[kStepCount];
  double Seconds[kStepCount] = {};

 protected:
  // Runs `sql` once per parameter set (one or two values each).
  virtual TOutcome Select(const char* sql, int runs, const std::function<std::vector<int>(int)>& params) = 0;
  virtual TOutcome Change(const char* sql, int runs, const std::function<std::vector<int>(int)>& params) = 0;

 private:
  TOutcome StepOutcome(int step) {
    switch (step) {
      case sPoint: return Select(kSql.Point, kPoints, [](int i) { return std::vector<int>{PointKey(i)}; });
      case sRange:
        return Select(kSql.Range, kRanges, [](int i) {
          return std::vector<int>{RangeLow(i), RangeLow(i) + kRangeWidth - 1};
        });
      case sJoinIndexed: return Select(kSql.JoinIndexed, 1, [](int) { return std::vector<int>{}; });
      case sJoinUnindexed:
        return Select(kSql.JoinUnindexed, 1, [](int) { return std::vector<int>{0, kUnindexedRows - 1}; });
      case sGroupBy: return Select(kSql.GroupBy, 1, [](int) { return std::vector<int>{}; });
      case sUpdate:
        return Change(kSql.Update, kUpdates, [](int i) {
          return std::vector<int>{UpdateLow(i), UpdateLow(i) + kUpdateWidth - 1};
        });
      case sDelete:
        return Change(kSql.Delete, kDeletes, [](int i) {
          return std::vector<int>{DeleteLow(i), DeleteLow(i) + kRangeWidth - 1};
        });
      case sInsertSelect: return Change(kSql.InsertSelect, 1, [](int) { return std::vector<int>{}; });
    }
    return {};
  }
};

// SQLite's texts: a parameter :pN is ?N.
std::string SqliteText(const char* sql) {
  std::string out;
  for (const char* p = sql; *p; ++p) {
    if (p[0] == ':' && p[1] == 'p') {
      out += '?';
      ++p;
    } else {
      out += *p;
    }
  }
  return out;
}

class TSqliteWorkload : public TWorkload, bench::TSqliteConnection {
 public:
  // `fullSync`: SQLite's default mode; otherwise synchronous off.
  TSqliteWorkload(const std::string& path, bool fullSync) : TSqliteConnection(path), full_sync_(fullSync) {
    if (!fullSync) Exec("PRAGMA synchronous=OFF");
    Exec("CREATE TABLE A (ID INTEGER, K INTEGER, U INTEGER, G INTEGER, F REAL, S TEXT)");
    Exec("CREATE UNIQUE INDEX A_ID ON A (ID)");
    Exec("CREATE INDEX A_K ON A (K)");
    Exec("CREATE TABLE B (ID INTEGER, U INTEGER, T TEXT)");
    Exec("CREATE UNIQUE INDEX B_ID ON B (ID)");
    Exec("CREATE TABLE C (ID INTEGER, K INTEGER, U INTEGER, G INTEGER, F REAL, S TEXT)");
    Exec("CREATE UNIQUE INDEX C_ID ON C (ID)");
    Exec("BEGIN");
    sqlite3_stmt* a = Prepare("INSERT INTO A VALUES (?, ?, ?, ?, ?, ?)");
    for (int i = 0; i < kRows; ++i) {
      const TARow r = ARow(i);
      sqlite3_bind_int(a, 1, r.Id);
      sqlite3_bind_int(a, 2, r.K);
      sqlite3_bind_int(a, 3, r.U);
      sqlite3_bind_int(a, 4, r.G);
      sqlite3_bind_double(a, 5, r.F);
      sqlite3_bind_text(a, 6, r.S.data(), static_cast<int>(r.S.size()), SQLITE_TRANSIENT);
      Step(a);
      sqlite3_reset(a);
    }
    sqlite3_finalize(a);
    sqlite3_stmt* b = Prepare("INSERT INTO B VALUES (?, ?, ?)");
    for (int i = 0; i < kBRows; ++i) {
      const TBRow r = BRow(i);
      sqlite3_bind_int(b, 1, r.Id);
      sqlite3_bind_int(b, 2, r.U);
      sqlite3_bind_text(b, 3, r.T.data(), static_cast<int>(r.T.size()), SQLITE_TRANSIENT);
      Step(b);
      sqlite3_reset(b);
    }
    sqlite3_finalize(b);
    Exec("COMMIT");
    Close();
    Open(path);
    if (!fullSync) Exec("PRAGMA synchronous=OFF");
  }

  const char* Name() const override { return full_sync_ ? "sqlite (default)" : "sqlite"; }

 protected:
  TOutcome Select(const char* sql, int runs, const std::function<std::vector<int>(int)>& params) override {
    sqlite3_stmt* st = Prepare(SqliteText(sql).c_str());
    TOutcome out;
    for (int i = 0; i < runs; ++i) {
      Bind(st, params(i));
      while (sqlite3_step(st) == SQLITE_ROW) {
        TRowSum sum;
        for (int c = 0, n = sqlite3_column_count(st); c < n; ++c) {
          switch (sqlite3_column_type(st, c)) {
            case SQLITE_NULL: sum.Null(); break;
            case SQLITE_INTEGER:
            case SQLITE_FLOAT: sum.Number(sqlite3_column_double(st, c)); break;
            default:
              sum.Text(reinterpret_cast<const char*>(sqlite3_column_text(st, c)),
                       static_cast<size_t>(sqlite3_column_bytes(st, c)));
          }
        }
        ++out.Rows;
        out.Sum += sum.Value();
      }
      sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    return out;
  }

  TOutcome Change(const char* sql, int runs, const std::function<std::vector<int>(int)>& params) override {
    sqlite3_stmt* st = Prepare(SqliteText(sql).c_str());
    TOutcome out;
    for (int i = 0; i < runs; ++i) {
      Bind(st, params(i));
      if (sqlite3_step(st) != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(db_));
      out.Rows += sqlite3_changes(db_);
      sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    return out;
  }

 private:
  static void Bind(sqlite3_stmt* st, const std::vector<int>& values) {
    for (size_t k = 0; k < values.size(); ++k) sqlite3_bind_int(st, static_cast<int>(k) + 1, values[k]);
  }

  bool full_sync_;
};

class TTavrinWorkload : public TWorkload {
 public:
  explicit TTavrinWorkload(const std::string& path) {
    {
      tav::TTavDataBase creator(nullptr);
      creator.SetDataBaseName(path);
      creator.CreateDatabase();
    }
    db_.SetDataBaseName(path);
    db_.Open();
    auto a = NewTable("A");
    a->FieldDefs().Add("ID", host::ftInteger);
    a->FieldDefs().Add("K", host::ftInteger);
    a->FieldDefs().Add("U", host::ftInteger);
    a->FieldDefs().Add("G", host::ftInteger);
    a->FieldDefs().Add("F", host::ftFloat);
    a->FieldDefs().Add("S", host::ftString, 12);
    a->IndexDefs().Add("A_ID", "ID", host::TIndexOptions{host::ixUnique});
    a->IndexDefs().Add("A_K", "K", host::TIndexOptions{});
    a->CreateTable();
    auto c = NewTable("C");
    c->FieldDefs().Assign(a->FieldDefs());
    c->IndexDefs().Add("C_ID", "ID", host::TIndexOptions{host::ixUnique});
    c->CreateTable();
    auto b = NewTable("B");
    b->FieldDefs().Add("ID", host::ftInteger);
    b->FieldDefs().Add("U", host::ftInteger);
    b->FieldDefs().Add("T", host::ftString, 12);
    b->IndexDefs().Add("B_ID", "ID", host::TIndexOptions{host::ixUnique});
    b->CreateTable();
    db_.StartTransaction();
    a->Open();
    for (int i = 0; i < kRows; ++i) {
      const TARow r = ARow(i);
      a->AppendRecord({r.Id, r.K, r.U, r.G, r.F, r.S});
    }
    a->Close();
    b->Open();
    for (int i = 0; i < kBRows; ++i) {
      const TBRow r = BRow(i);
      b->AppendRecord({r.Id, r.U, r.T});
    }
    b->Close();
    db_.Commit();
    db_.Close();
    db_.Open();
  }
  ~TTavrinWorkload() override { db_.Close(); }

  const char* Name() const override { return "tavrin"; }

 protected:
  TOutcome Select(const char* sql, int runs, const std::function<std::vector<int>(int)>& params) override {
    tav::TTavQuery q(nullptr);
    Prepare(q, sql);
    TOutcome out;
    for (int i = 0; i < runs; ++i) {
      Bind(q, params(i));
      if (q.Active())
        q.Refresh();
      else
        q.Open();
      const int n = q.FieldCount();
      for (q.First(); !q.Eof(); q.Next()) {
        TRowSum sum;
        for (int c = 0; c < n; ++c) {
          const host::TField* f = q.Fields(c);
          if (f->IsNull()) {
            sum.Null();
            continue;
          }
          if (f->DataType() == host::ftString) {
            const std::string s = f->AsString();
            sum.Text(s.data(), s.size());
          } else {
            sum.Number(f->AsFloat());
          }
        }
        ++out.Rows;
        out.Sum += sum.Value();
      }
    }
    q.Close();
    return out;
  }

  TOutcome Change(const char* sql, int runs, const std::function<std::vector<int>(int)>& params) override {
    tav::TTavQuery q(nullptr);
    Prepare(q, sql);
    TOutcome out;
    for (int i = 0; i < runs; ++i) {
      Bind(q, params(i));
      q.ExecSQL();
      out.Rows += q.RowsAffected();
    }
    return out;
  }

 private:
  std::unique_ptr<tav::TTavTable> NewTable(const std::string& name) {
    auto t = std::make_unique<tav::TTavTable>(nullptr);
    t->SetDataBase(&db_);
    t->SetTableName(name);
    return t;
  }
  void Prepare(tav::TTavQuery& q, const char* sql) {
    q.SetDataBase(&db_);
    q.SetSQLText(sql);
    q.Prepare();
  }
  static void Bind(tav::TTavQuery& q, const std::vector<int>& values) {
    for (size_t k = 0; k < values.size(); ++k)
      q.ParamByName("p" + std::to_string(k + 1))->SetAsInteger(values[k]);
  }

  tav::TTavDataBase db_{nullptr};
};

const bench::TStep<TWorkload> kSteps[] = {
    {"point_select", [](TWorkload& w) { w.Run(sPoint); }},
    {"range_select", [](TWorkload& w) { w.Run(sRange); }},
    {"join_indexed", [](TWorkload& w) { w.Run(sJoinIndexed); }},
    {"join_unindexed", [](TWorkload& w) { w.Run(sJoinUnindexed); }},
    {"group_by", [](TWorkload& w) { w.Run(sGroupBy); }},
    {"update_where", [](TWorkload& w) { w.Run(sUpdate); }},
    {"delete_where", [](TWorkload& w) { w.Run(sDelete); }},
    {"insert_select", [](TWorkload& w) { w.Run(sInsertSelect); }},
};

// Every step both lines ran, and when they ran every step the tables after
// the last one, against ours; false (and the differences printed) when a
// line disagrees.
bool Agree(TWorkload& ours, TWorkload& other) {
  bool ok = true;
  bool all = true;
  for (int s = 0; s < kStepCount; ++s) {
    if (ours.Seconds[s] == 0 || other.Seconds[s] == 0) {
      all = false;
      continue;
    }
    const TOutcome& a = ours.Outcomes[s];
    const TOutcome& b = other.Outcomes[s];
    if (a == b) continue;
    std::printf("MISMATCH %s: %s %lld rows, checksum %llu; %s %lld rows, checksum %llu\n", kSteps[s].Name,
                ours.Name(), static_cast<long long>(a.Rows), static_cast<unsigned long long>(a.Sum), other.Name(),
                static_cast<long long>(b.Rows), static_cast<unsigned long long>(b.Sum));
    ok = false;
  }
  if (!all) return ok;
  for (const auto& [table, columns] : {std::pair{"A", "ID, K, U, G, F, S"}, std::pair{"B", "ID, U, T"},
                                       std::pair{"C", "ID, K, U, G, F, S"}}) {
    const TOutcome a = ours.Table(table, columns);
    const TOutcome b = other.Table(table, columns);
    if (a == b) continue;
    std::printf("MISMATCH table %s afterwards: %s %lld rows; %s %lld rows\n", table, ours.Name(),
                static_cast<long long>(a.Rows), other.Name(), static_cast<long long>(b.Rows));
    ok = false;
  }
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  char folder[] = "/tmp/sql_bench-XXXXXX";
  if (!mkdtemp(folder)) throw std::runtime_error("no temporary folder");
  const std::string dir = folder;
  bool ok;
  {
    auto ours = std::make_shared<TTavrinWorkload>(dir + "/bench.tav");
    auto theirs = std::make_shared<TSqliteWorkload>(dir + "/bench.sqlite", false);
    bench::RunComparison<TWorkload>(argc, argv, kSteps, ours, theirs);
    // The bracket: SQLite in its default mode, the steps ours ran (a
    // filtered run leaves the tables as those steps alone leave them).
    TSqliteWorkload bracket(dir + "/bracket.sqlite", true);
    for (int s = 0; s < kStepCount; ++s)
      if (ours->Seconds[s] > 0) bracket.Run(s);
    std::printf("\n%-20s %12s %12s %10s\n", "[bracket]", "tavrin ms", "default ms", "ratio");
    for (int s = 0; s < kStepCount; ++s)
      std::printf("%-20s %12.1f %12.1f %10.2f\n", kSteps[s].Name, ours->Seconds[s] * 1000,
                  bracket.Seconds[s] * 1000,
                  bracket.Seconds[s] > 0 ? ours->Seconds[s] / bracket.Seconds[s] : 0.0);
    ok = Agree(*ours, *theirs);
    ok = Agree(*ours, bracket) && ok;
    std::printf(ok ? "\nevery step's rows and checksum agree\n" : "\nthe engines disagree\n");
  }
  std::filesystem::remove_all(dir);
  return ok ? 0 : 1;
}
