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

#include "bench_compare.h"
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

class TSqliteWorkload : public TWorkload, bench::TSqliteConnection {
 public:
  TSqliteWorkload() : path_(TempPath("bench_sqlite") + ".db") {
    std::remove(path_.c_str());
    Open(path_);
    Exec("CREATE TABLE t (id INTEGER NOT NULL, name TEXT NOT NULL, data BLOB)");
    Exec("CREATE UNIQUE INDEX t_id ON t(id)");
    Exec("CREATE INDEX t_name ON t(name COLLATE NOCASE)");
  }
  ~TSqliteWorkload() override {
    Close();
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
  std::string path_;
};

std::unique_ptr<TWorkload> MakeTavrinWorkload();

const bench::TStep<TWorkload> kSteps[] = {
    {"insert", [](TWorkload& w) { w.Insert(); }},
    {"lookup_integer", [](TWorkload& w) { benchmark::DoNotOptimize(w.LookupByInteger()); }},
    {"lookup_string", [](TWorkload& w) { benchmark::DoNotOptimize(w.LookupByString()); }},
    {"scan_in_order", [](TWorkload& w) { benchmark::DoNotOptimize(w.ScanInOrder()); }},
    {"delete_every_other", [](TWorkload& w) { w.DeleteEveryOther(); }},
    {"one_row_transactions", [](TWorkload& w) { w.SingleRowTransactions(); }},
};

}  // namespace

int main(int argc, char** argv) {
  // The row count: a last argument that is not one of the benchmark's flags.
  if (argc > 1 && argv[argc - 1][0] != '-') {
    kRecords = std::atoi(argv[argc - 1]);
    if (kRecords < 2) {
      std::fprintf(stderr, "usage: storage_bench [benchmark flags] [rows >= 2]\n");
      return 2;
    }
    --argc;
  }
  return bench::RunComparison<TWorkload>(argc, argv, kSteps,
                                         std::shared_ptr<TWorkload>(MakeTavrinWorkload()),
                                         std::make_shared<TSqliteWorkload>());
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
