// The filter evaluator (Nulls excluded, as SQL conditions run) against SQLite
// on the same WHERE conditions over the same 100,000 rows and indexes: a
// unique integer index on K, a non-unique integer index on I and a
// case-sensitive string index on S; F is not indexed. The strings are ASCII,
// so both engines order them alike, and SQLite's LIKE is made case-sensitive.
// The filter runs as the query engine runs it (QueryActive: addresses in
// ascending order, no base order to keep). Each condition runs three times per engine and the best time counts; the
// row counts must agree. Prints both times and the ratio ours/SQLite.
//
// The second table is the dataset's filter as a host sets it: a memory table
// of the same rows, Filter and Filtered set on the open host dataset (the
// text parsed, answered through the indexes where the optimizer can, the
// rest row by row) and then RecordCount, or First to Eof reading a field, in
// the current index's order (K). SQLite runs the same WHERE on an in-memory
// database with the same indexes: COUNT(*), or a SELECT stepped to its end.
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "engine/components/tav_base_table.h"
#include "host/db/fields.h"
#include "engine/expr/testing/stored_table_provider.h"
#include "engine/storage/testing/table_test_support.h"
#include "host/db/field_defs.h"
#include "host/db/index_defs.h"

namespace {

constexpr int kRows = 100000;

struct TRow {
  int K, I;
  std::string S;
  double F;
};

TRow MakeRow(int k) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "name%05d", (k * 31) % 50000);
  return TRow{k, (k * 7919) % 1000, buf, (k % 1000) / 10.0};
}

struct TCondition {
  const char* Name;
  const char* Where;
};

const TCondition kConditions[] = {
    {"equality", "I = 500"},
    {"range", "I < 100"},
    {"between", "I BETWEEN 100 AND 120"},
    {"in", "I IN (1, 2, 3, 500)"},
    {"like prefix", "S LIKE 'name123%'"},
    {"not equal", "I <> 5"},
    {"arithmetic", "F * 2 + 1 > 150"},
    {"and/or", "(I = 5 OR I = 7) AND K < 50000"},
};

double Seconds(std::chrono::steady_clock::time_point from) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

void Check(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "sqlite %s: %s\n", what, sqlite3_errmsg(db));
    std::exit(1);
  }
}

// A SQLite database at `path` with the table, its indexes and the kRows
// rows, each of which `ours` stores on our side too.
sqlite3* OpenFilled(const char* path, const char* pragmas,
                    const std::function<void(const TRow&)>& ours) {
  sqlite3* db = nullptr;
  Check(sqlite3_open(path, &db), db, "open");
  const std::string schema = std::string(pragmas) +
                             "PRAGMA case_sensitive_like=ON;"
                             "CREATE TABLE T (K INTEGER, I INTEGER, S TEXT, F REAL);"
                             "CREATE UNIQUE INDEX UK ON T(K); CREATE INDEX II ON T(I);"
                             "CREATE INDEX IS_ ON T(S);";
  Check(sqlite3_exec(db, schema.c_str(), nullptr, nullptr, nullptr), db, "schema");
  sqlite3_stmt* insert = nullptr;
  Check(sqlite3_prepare_v2(db, "INSERT INTO T VALUES (?, ?, ?, ?)", -1, &insert, nullptr), db,
        "prepare");
  Check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db, "begin");
  for (int k = 0; k < kRows; ++k) {
    const TRow r = MakeRow(k);
    ours(r);
    sqlite3_bind_int(insert, 1, r.K);
    sqlite3_bind_int(insert, 2, r.I);
    sqlite3_bind_text(insert, 3, r.S.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_double(insert, 4, r.F);
    Check(sqlite3_step(insert), db, "insert");
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  Check(sqlite3_exec(db, "COMMIT; ANALYZE;", nullptr, nullptr, nullptr), db, "commit");
  return db;
}

// The best of three runs of `f`, in seconds; `rows` takes its result.
template <class F>
double Best(F f, int64_t& rows) {
  double best = 1e30;
  for (int rep = 0; rep < 3; ++rep) {
    const auto t0 = std::chrono::steady_clock::now();
    rows = f();
    best = std::min(best, Seconds(t0));
  }
  return best;
}

int64_t SqliteRows(sqlite3* db, const std::string& sql, bool count) {
  sqlite3_stmt* q = nullptr;
  Check(sqlite3_prepare_v2(db, sql.c_str(), -1, &q, nullptr), db, "query");
  int64_t rows = 0;
  while (sqlite3_step(q) == SQLITE_ROW) rows += count ? sqlite3_column_int64(q, 0) : sqlite3_column_int(q, 0) >= 0;
  sqlite3_finalize(q);
  return rows;
}

// `only`: the index of the one filter to run, or -1 for all.
// The filter set on the open dataset and its records counted, or walked
// reading a field (apart, for a profiler's sake).
[[gnu::noinline]] int64_t Counted(tav::TTavBaseTable& ds, const char* where) {
  ds.SetFiltered(false);
  ds.SetFilterText(where);
  ds.SetFiltered(true);
  return ds.RecordCount();
}

[[gnu::noinline]] int64_t Walked(tav::TTavBaseTable& ds, const char* where, host::TField& k) {
  ds.SetFiltered(false);
  ds.SetFilterText(where);
  ds.SetFiltered(true);
  int64_t n = 0;
  for (ds.First(); !ds.Eof(); ds.Next()) n += k.AsInteger() >= 0;
  return n;
}

bool RunDatasetFilters(int only) {
  using namespace tav;
  TTavDataBase base(nullptr);
  base.SetDataBaseName("MEMORY");
  base.Open();
  TTavBaseTable ds(nullptr);
  ds.SetDataBase(&base);
  ds.SetMemory(true);
  ds.SetTableName("T");
  ds.FieldDefs().Add("K", host::ftInteger, 0, true);
  ds.FieldDefs().Add("I", host::ftInteger);
  ds.FieldDefs().Add("S", host::ftString, 12);
  ds.FieldDefs().Add("F", host::ftFloat);
  ds.IndexDefs().Add("UK", "K", host::TIndexOptions{host::ixPrimary, host::ixUnique});
  ds.IndexDefs().Add("II", "I", host::TIndexOptions{});
  ds.IndexDefs().Add("IS", "S", host::TIndexOptions{});
  ds.CreateTable();

  test::TTableConnection fill(base.MemoryTableMgr(), ds.TableDef());
  const TInternalFieldItem& f = fill.Field("F");
  std::vector<uint8_t> rec = fill.NewRecord();
  sqlite3* db = OpenFilled(":memory:", "", [&](const TRow& r) {
    std::fill(rec.begin(), rec.end(), 0);
    fill.SetInteger(rec, "K", r.K);
    fill.SetInteger(rec, "I", r.I);
    fill.SetString(rec, "S", r.S);
    rec[static_cast<size_t>(f.NullFlagOffset())] = 1;
    std::memcpy(rec.data() + f.DataOffset(), &r.F, 8);
    fill.Insert(rec);
  });
  fill.Close();
  ds.Open();
  host::TField* k = ds.FieldByName("K");

  const TCondition filters[] = {
      {"indexed equal", "I = 500"},
      {"indexed range", "I BETWEEN 100 AND 199"},
      {"unindexed", "F > 90"},
  };
  std::printf("\n%-14s %-24s %-7s %8s %12s %12s %8s\n", "dataset filter", "filter", "how", "rows",
              "tavrin ms", "sqlite ms", "ratio");
  bool agree = true;
  for (const TCondition& c : filters) {
    if (only >= 0 && &c != &filters[only]) continue;
    for (bool walk : {false, true}) {
      int64_t rows = 0, rowsSql = 0;
      const double ours = Best([&] { return walk ? Walked(ds, c.Where, *k) : Counted(ds, c.Where); }, rows);
      const std::string sql = std::string(walk ? "SELECT K FROM T WHERE " : "SELECT COUNT(*) FROM T WHERE ") + c.Where;
      const double theirs = Best([&] { return SqliteRows(db, sql, !walk); }, rowsSql);
      std::printf("%-14s %-24s %-7s %8lld %12.2f %12.2f %8.2f%s\n", c.Name, c.Where,
                  walk ? "walked" : "counted", static_cast<long long>(rows), ours * 1000,
                  theirs * 1000, ours / theirs, rows == rowsSql ? "" : "  ROW COUNTS DIFFER");
      agree = agree && rows == rowsSql;
    }
  }
  ds.Close();
  sqlite3_close(db);
  return agree;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tav;
  // --dataset [n] runs the dataset filters alone, or only the n-th of them
  // (for a profiler).
  if (argc > 1 && std::strcmp(argv[1], "--dataset") == 0)
    return RunDatasetFilters(argc > 2 ? std::atoi(argv[2]) : -1) ? 0 : 1;
  testing::TStoredTableProvider ours(
      {{"K", host::ftInteger}, {"I", host::ftInteger}, {"S", host::ftString, 12}, {"F", host::ftFloat}},
      {{"UK", "K", true}, {"II", "I"}, {"IS", "S"}});
  std::string path = "/tmp/filter_bench_" + std::to_string(::getpid()) + ".db";
  std::remove(path.c_str());
  sqlite3* db = OpenFilled(path.c_str(), "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;",
                           [&](const TRow& r) {
                             ours.Insert({host::Variant(r.K), host::Variant(r.I), host::Variant(r.S),
                                          host::Variant(r.F)});
                           });

  TTableList tables;
  ours.FillTableList(tables);
  TTavBaseFilterEvaluator filter;
  filter.SetDataProvider(&ours);
  filter.SetTables(&tables);
  filter.SetExcludeRelopNulls(true);
  filter.SetQueryActive(true);  // as the query engine runs a WHERE: rows in address order
  ours.FillIndexQueryMgr(filter.IndexQueryMgr);

  std::printf("\n%-14s %-34s %8s %12s %12s %8s\n", "condition", "where", "rows", "tavrin ms",
              "sqlite ms", "ratio");
  bool agree = true;
  for (const TCondition& c : kConditions) {
    double best = 1e30, bestSql = 1e30;
    int count = 0, countSql = 0;
    for (int rep = 0; rep < 3; ++rep) {
      auto t0 = std::chrono::steady_clock::now();
      filter.SetFilterText(c.Where);
      if (!filter.Open()) {
        std::fprintf(stderr, "%s: %s\n", c.Where, filter.GetErrors().c_str());
        return 1;
      }
      count = filter.GetRecordCount();
      best = std::min(best, Seconds(t0));

      t0 = std::chrono::steady_clock::now();
      sqlite3_stmt* q = nullptr;
      const std::string sql = std::string("SELECT K FROM T WHERE ") + c.Where;
      Check(sqlite3_prepare_v2(db, sql.c_str(), -1, &q, nullptr), db, "query");
      countSql = 0;
      while (sqlite3_step(q) == SQLITE_ROW) {
        (void)sqlite3_column_int(q, 0);
        ++countSql;
      }
      sqlite3_finalize(q);
      bestSql = std::min(bestSql, Seconds(t0));
    }
    std::printf("%-14s %-34s %8d %12.2f %12.2f %8.2f%s\n", c.Name, c.Where, count, best * 1000,
                bestSql * 1000, best / bestSql, count == countSql ? "" : "  ROW COUNTS DIFFER");
    agree = agree && count == countSql;
  }
  sqlite3_close(db);
  std::remove(path.c_str());
  agree = RunDatasetFilters(-1) && agree;
  return agree ? 0 : 1;
}
