// Storage engine against SQLite on the same work, step by step: bulk insert of
// records with an integer key, a 40-character string and a small BLOB into a
// table with a unique integer index and a non-unique case-insensitive string
// index; point lookups by each index; a full scan in index order; deleting
// every other record; then one-row transactions (each insert committed on
// its own, so that the cost of a commit shows). Each step runs once per engine (the steps build on one
// another), and the table at the end prints both times and the ratio.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/storage/testing/table_test_support.h"

namespace {

// Rows per step: the first argument after the benchmark's own flags (100,000
// unless given), so that a profiler run can take fewer.
int kRecords = 100000;
constexpr int kSingleRowTransactions = 1000;

std::string StringKey(int i) {
  // 40 characters, mixed case, so the case-insensitive index has work to do.
  char buf[64];
  // 64-bit product: i * 7919 passes 2^31 before a million rows.
  const long long scrambled = static_cast<long long>(i) * 7919 % kRecords;
  std::snprintf(buf, sizeof buf, "Customer-%08lld-%s-Name%016d", scrambled,
                (i % 2) ? "ABC" : "abc", i);
  return std::string(buf).substr(0, 40);
}

std::string Blob(int i) { return std::string(64 + i % 64, static_cast<char>('a' + i % 26)); }

std::string TempPath(const char* stem) {
  return std::string("/tmp/") + stem + "_" + std::to_string(::getpid());
}

// One engine's side of the workload.
class TWorkload {
 public:
  virtual ~TWorkload() = default;
  virtual void Insert() = 0;
  virtual int64_t LookupByInteger() = 0;
  virtual int64_t LookupByString() = 0;
  virtual int64_t ScanInOrder() = 0;
  virtual void DeleteEveryOther() = 0;
  virtual void SingleRowTransactions() = 0;
};

class TSqliteWorkload : public TWorkload {
 public:
  TSqliteWorkload() : path_(TempPath("bench_sqlite") + ".db") {
    std::remove(path_.c_str());
    Check(sqlite3_open(path_.c_str(), &db_));
    Exec("CREATE TABLE t (id INTEGER NOT NULL, name TEXT NOT NULL, data BLOB)");
    Exec("CREATE UNIQUE INDEX t_id ON t(id)");
    Exec("CREATE INDEX t_name ON t(name COLLATE NOCASE)");
  }
  ~TSqliteWorkload() override {
    sqlite3_close(db_);
    std::remove(path_.c_str());
  }

  void Insert() override {
    Exec("BEGIN");
    sqlite3_stmt* st = Prepare("INSERT INTO t (id, name, data) VALUES (?, ?, ?)");
    for (int i = 0; i < kRecords; ++i) {
      std::string name = StringKey(i), blob = Blob(i);
      sqlite3_bind_int(st, 1, i);
      sqlite3_bind_text(st, 2, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
      sqlite3_bind_blob(st, 3, blob.data(), static_cast<int>(blob.size()), SQLITE_TRANSIENT);
      Step(st);
      sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    Exec("COMMIT");
  }

  int64_t LookupByInteger() override {
    sqlite3_stmt* st = Prepare("SELECT id FROM t WHERE id = ?");
    int64_t found = 0;
    for (int i = 0; i < kRecords; ++i) {
      sqlite3_bind_int(st, 1, static_cast<int>(static_cast<long long>(i) * 7 % kRecords));
      if (sqlite3_step(st) == SQLITE_ROW) found += sqlite3_column_int(st, 0) >= 0;
      sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    return found;
  }

  int64_t LookupByString() override {
    sqlite3_stmt* st = Prepare("SELECT id FROM t WHERE name = ? COLLATE NOCASE LIMIT 1");
    int64_t found = 0;
    for (int i = 0; i < kRecords; ++i) {
      std::string name = StringKey(static_cast<int>(static_cast<long long>(i) * 13 % kRecords));
      sqlite3_bind_text(st, 1, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
      if (sqlite3_step(st) == SQLITE_ROW) ++found;
      sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    return found;
  }

  int64_t ScanInOrder() override {
    sqlite3_stmt* st = Prepare("SELECT id, name FROM t ORDER BY name COLLATE NOCASE");
    int64_t rows = 0;
    while (sqlite3_step(st) == SQLITE_ROW) rows += sqlite3_column_bytes(st, 1) > 0;
    sqlite3_finalize(st);
    return rows;
  }

  void DeleteEveryOther() override {
    Exec("BEGIN");
    sqlite3_stmt* st = Prepare("DELETE FROM t WHERE id = ?");
    for (int i = 0; i < kRecords; i += 2) {
      sqlite3_bind_int(st, 1, i);
      Step(st);
      sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    Exec("COMMIT");
  }

  void SingleRowTransactions() override {
    sqlite3_stmt* st = Prepare("INSERT INTO t (id, name, data) VALUES (?, ?, ?)");
    for (int i = kRecords; i < kRecords + kSingleRowTransactions; ++i) {
      std::string name = StringKey(i), blob = Blob(i);
      Exec("BEGIN");
      sqlite3_bind_int(st, 1, i);
      sqlite3_bind_text(st, 2, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
      sqlite3_bind_blob(st, 3, blob.data(), static_cast<int>(blob.size()), SQLITE_TRANSIENT);
      Step(st);
      sqlite3_reset(st);
      Exec("COMMIT");
    }
    sqlite3_finalize(st);
  }

 private:
  void Check(int rc) {
    if (rc != SQLITE_OK) throw std::runtime_error(std::string("sqlite: ") + sqlite3_errstr(rc));
  }
  void Exec(const char* sql) { Check(sqlite3_exec(db_, sql, nullptr, nullptr, nullptr)); }
  sqlite3_stmt* Prepare(const char* sql) {
    sqlite3_stmt* st = nullptr;
    Check(sqlite3_prepare_v2(db_, sql, -1, &st, nullptr));
    return st;
  }
  void Step(sqlite3_stmt* st) {
    int rc = sqlite3_step(st);
    if (rc != SQLITE_DONE && rc != SQLITE_ROW) Check(rc);
  }

  std::string path_;
  sqlite3* db_ = nullptr;
};

std::unique_ptr<TWorkload> MakeTavrinWorkload();

struct TStep {
  const char* Name;
  void (*Run)(TWorkload&);
};

const TStep kSteps[] = {
    {"insert", [](TWorkload& w) { w.Insert(); }},
    {"lookup_integer", [](TWorkload& w) { benchmark::DoNotOptimize(w.LookupByInteger()); }},
    {"lookup_string", [](TWorkload& w) { benchmark::DoNotOptimize(w.LookupByString()); }},
    {"scan_in_order", [](TWorkload& w) { benchmark::DoNotOptimize(w.ScanInOrder()); }},
    {"delete_every_other", [](TWorkload& w) { w.DeleteEveryOther(); }},
    {"one_row_transactions", [](TWorkload& w) { w.SingleRowTransactions(); }},
};

std::map<std::string, double> g_seconds;  // "<step>/<engine>" -> seconds

void RegisterEngine(const char* engine, std::shared_ptr<TWorkload> workload) {
  for (const TStep& step : kSteps) {
    std::string name = std::string(step.Name) + "/" + engine;
    benchmark::RegisterBenchmark(name.c_str(), [workload, step, name](benchmark::State& state) {
      for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        step.Run(*workload);
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        g_seconds[name] = s;
        state.SetIterationTime(s);
      }
    })->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (argc > 1) {
    kRecords = std::atoi(argv[1]);
    if (kRecords < 2) {
      std::fprintf(stderr, "usage: storage_bench [benchmark flags] [rows >= 2]\n");
      return 2;
    }
  }
  RegisterEngine("tavrin", std::shared_ptr<TWorkload>(MakeTavrinWorkload()));
  RegisterEngine("sqlite", std::make_shared<TSqliteWorkload>());
  benchmark::RunSpecifiedBenchmarks();
  std::printf("\n%-20s %12s %12s %10s\n", "step", "tavrin ms", "sqlite ms", "ratio");
  for (const TStep& step : kSteps) {
    double ours = g_seconds[std::string(step.Name) + "/tavrin"];
    double theirs = g_seconds[std::string(step.Name) + "/sqlite"];
    std::printf("%-20s %12.1f %12.1f %10.2f\n", step.Name, ours * 1000, theirs * 1000,
                theirs > 0 ? ours / theirs : 0.0);
  }
  benchmark::Shutdown();
  return 0;
}

// ---- our side: the storage engine driven as the data-access layer drives it ----


namespace {

class TTavrinWorkload : public TWorkload {
 public:
  TTavrinWorkload() : path_(TempPath("bench_tavrin") + ".tav") {
    std::remove(path_.c_str());
    db_ = std::make_unique<tav::test::TTestDatabaseFile>(path_, true);
    tav::TTableDef def(nullptr);
    tav::test::BuildTableDef(def, "T", false,
                             {{"ID", host::ftInteger}, {"NAME", host::ftString, 40},
                              {"DATA", host::ftBlob}},
                             {{"ById", "ID", true}, {"ByName", "NAME", false, false, true}});
    db_->Tables().CreateTableDef("T", def);
    table_ = std::make_unique<tav::test::TTableConnection>(db_->Tables(), def);
  }
  ~TTavrinWorkload() override {
    table_.reset();
    db_.reset();
    std::remove(path_.c_str());
    std::remove((path_.substr(0, path_.size() - 4) + ".lck").c_str());
  }

  void Insert() override {
    db_->DiskMgr().DiskStartTransaction();
    std::vector<uint8_t> rec = table_->NewRecord();
    for (int i = 0; i < kRecords; ++i) {
      std::fill(rec.begin(), rec.end(), 0);
      table_->SetInteger(rec, "ID", i);
      table_->SetString(rec, "NAME", StringKey(i));
      table_->Insert(rec, {{"DATA", Blob(i)}});
    }
    db_->DiskMgr().DiskCommit();
  }

  int64_t LookupByInteger() override {
    int64_t found = 0;
    for (int i = 0; i < kRecords; ++i)
      found += static_cast<int64_t>(table_->Find("ById", host::Variant(static_cast<int>(static_cast<long long>(i) * 7 % kRecords))).size());
    return found;
  }

  int64_t LookupByString() override {
    int64_t found = 0;
    for (int i = 0; i < kRecords; ++i)
      found += !table_->Find("ByName", host::Variant(StringKey(static_cast<int>(static_cast<long long>(i) * 13 % kRecords)))).empty();
    return found;
  }

  int64_t ScanInOrder() override {
    int64_t rows = 0;
    for (uint32_t address : table_->Walk("ByName"))
      rows += !table_->GetString(table_->Read(address).data(), "NAME").empty();
    return rows;
  }

  void DeleteEveryOther() override {
    db_->DiskMgr().DiskStartTransaction();
    for (int i = 0; i < kRecords; i += 2) {
      std::vector<uint32_t> at = table_->Find("ById", host::Variant(i));
      if (!at.empty()) table_->Delete(at.front());
    }
    db_->DiskMgr().DiskCommit();
  }

  void SingleRowTransactions() override {
    std::vector<uint8_t> rec = table_->NewRecord();
    for (int i = kRecords; i < kRecords + kSingleRowTransactions; ++i) {
      db_->DiskMgr().DiskStartTransaction();
      std::fill(rec.begin(), rec.end(), 0);
      table_->SetInteger(rec, "ID", i);
      table_->SetString(rec, "NAME", StringKey(i));
      table_->Insert(rec, {{"DATA", Blob(i)}});
      db_->DiskMgr().DiskCommit();
    }
  }

 private:
  std::string path_;
  std::unique_ptr<tav::test::TTestDatabaseFile> db_;
  std::unique_ptr<tav::test::TTableConnection> table_;
};

std::unique_ptr<TWorkload> MakeTavrinWorkload() { return std::make_unique<TTavrinWorkload>(); }

}  // namespace
