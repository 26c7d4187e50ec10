// The dataset cursor against SQLite's in-memory database on the same reads
// over 100,000 records with a unique integer key and a string column: a walk
// in key order each way, key lookups, positioning by record number and walks
// over key ranges; then the same through the host dataset (a walk with
// First/Next reading the fields, Locate by key) and 100,000 inserts through
// it into an emptied table, against SQLite's prepared inserts in one
// transaction. Each step runs once per engine on the same data, and the
// table at the end prints both times and the ratio per step.
//
// With --disk both engines work on database files instead (ours through a
// connection to a new database file, SQLite on a file in its default
// journal and sync modes); the inserts then run in one transaction on each
// side.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

#include "bench_compare.h"
#include "engine/components/tav_base_table.h"
#include "engine/components/tav_data_set.h"
#include "engine/storage/testing/table_test_support.h"
#include "host/db/field_defs.h"
#include "host/db/fields.h"
#include "host/db/index_defs.h"

namespace {

constexpr int kRecords = 100000;
constexpr int kLookups = 100000;
constexpr int kPositions = 2000;  // record-number positioning is a scan in SQLite
constexpr int kRanges = 1000;
constexpr int kRangeWidth = 100;
constexpr int kLocates = 20000;
constexpr int kInserts = 100000;

std::string Name(int i) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "Name-%08d", (i * 7919) % kRecords);
  return buf;
}

class TWorkload {
 public:
  virtual ~TWorkload() = default;
  virtual int64_t WalkForward() = 0;
  virtual int64_t WalkBackward() = 0;
  virtual int64_t Lookups() = 0;
  virtual int64_t Positions() = 0;
  virtual int64_t RangeWalks() = 0;
  virtual int64_t HostWalk() = 0;
  virtual int64_t HostLocates() = 0;
  virtual int64_t HostInserts() = 0;
};

class TSqliteWorkload : public TWorkload, bench::TSqliteConnection {
 public:
  explicit TSqliteWorkload(const std::string& path) : TSqliteConnection(path) {
    Exec("CREATE TABLE t (id INTEGER NOT NULL, name TEXT NOT NULL)");
    Exec("CREATE UNIQUE INDEX t_id ON t(id)");
    Exec("BEGIN");
    InsertRows("INSERT INTO t (id, name) VALUES (?, ?)", kRecords,
               [](int i) { return std::pair<int, std::string>((i * 7) % kRecords, Name(i)); });
    Exec("COMMIT");
    Exec("CREATE TABLE i (id INTEGER NOT NULL, name TEXT NOT NULL)");
    Exec("CREATE UNIQUE INDEX i_id ON i(id)");
  }

  int64_t WalkForward() override { return Scan("SELECT id, name FROM t ORDER BY id"); }
  int64_t WalkBackward() override { return Scan("SELECT id, name FROM t ORDER BY id DESC"); }
  int64_t Lookups() override {
    sqlite3_stmt* st = Prepare("SELECT name FROM t WHERE id = ?");
    int64_t found = 0;
    for (int i = 0; i < kLookups; ++i) {
      sqlite3_bind_int(st, 1, (i * 13) % kRecords);
      found += sqlite3_step(st) == SQLITE_ROW;
      sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    return found;
  }
  int64_t Positions() override {
    sqlite3_stmt* st = Prepare("SELECT id FROM t ORDER BY id LIMIT 1 OFFSET ?");
    int64_t sum = 0;
    for (int i = 0; i < kPositions; ++i) {
      sqlite3_bind_int(st, 1, (i * 4999) % kRecords);
      if (sqlite3_step(st) == SQLITE_ROW) sum += sqlite3_column_int(st, 0);
      sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    return sum;
  }
  int64_t HostWalk() override {
    sqlite3_stmt* st = Prepare("SELECT id, name FROM t ORDER BY id");
    int64_t sum = 0;
    while (sqlite3_step(st) == SQLITE_ROW)
      sum += sqlite3_column_int(st, 0) + static_cast<int64_t>(std::strlen(
                                              reinterpret_cast<const char*>(sqlite3_column_text(st, 1))));
    sqlite3_finalize(st);
    return sum;
  }
  int64_t HostLocates() override {
    sqlite3_stmt* st = Prepare("SELECT id, name FROM t WHERE id = ?");
    int64_t found = 0;
    for (int i = 0; i < kLocates; ++i) {
      sqlite3_bind_int(st, 1, (i * 31) % kRecords);
      if (sqlite3_step(st) == SQLITE_ROW)
        found += static_cast<int64_t>(std::strlen(reinterpret_cast<const char*>(sqlite3_column_text(st, 1))));
      sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    return found;
  }
  int64_t HostInserts() override {
    Exec("BEGIN");
    Exec("DELETE FROM i");
    InsertRows("INSERT INTO i (id, name) VALUES (?, ?)", kInserts,
               [](int i) { return std::pair<int, std::string>((i * 7) % kInserts, Name(i)); });
    Exec("COMMIT");
    return kInserts;
  }
  int64_t RangeWalks() override {
    sqlite3_stmt* st = Prepare("SELECT id, name FROM t WHERE id BETWEEN ? AND ? ORDER BY id");
    int64_t rows = 0;
    for (int i = 0; i < kRanges; ++i) {
      const int lo = (i * 997) % (kRecords - kRangeWidth);
      sqlite3_bind_int(st, 1, lo);
      sqlite3_bind_int(st, 2, lo + kRangeWidth - 1);
      while (sqlite3_step(st) == SQLITE_ROW) rows += sqlite3_column_bytes(st, 1) > 0;
      sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    return rows;
  }

 private:
  int64_t Scan(const char* sql) {
    sqlite3_stmt* st = Prepare(sql);
    int64_t rows = 0;
    while (sqlite3_step(st) == SQLITE_ROW) rows += sqlite3_column_bytes(st, 1) > 0;
    sqlite3_finalize(st);
    return rows;
  }
};

class TFetch {
 public:
  explicit TFetch(tav::TTavDataSet& ds) : ds_(ds) { ds_.SetReadAheadMode(tav::raReadAheadUninitialized); }
  ~TFetch() { ds_.ReleaseReadAheadMode(); }
  TFetch(const TFetch&) = delete;
  TFetch& operator=(const TFetch&) = delete;

 private:
  tav::TTavDataSet& ds_;
};

class TTavrinWorkload : public TWorkload {
 public:
  // An empty `file` works in the memory database.
  explicit TTavrinWorkload(const std::string& file) : memory_(file.empty()) {
    if (memory_) {
      db_.SetDataBaseName("MEMORY");
    } else {
      db_.SetDataBaseName(file);
      db_.CreateDatabase();
    }
    db_.Open();
    ds_.SetDataBase(&db_);
    ds_.SetMemory(memory_);
    ds_.SetTableName("T");
    host::TFieldDefs fields;
    fields.Add("ID", host::ftInteger, 0, true);
    fields.Add("NAME", host::ftString, 20);
    host::TIndexDefs indexes;
    indexes.Add("ById", "ID", host::TIndexOptions{host::ixPrimary, host::ixUnique});
    ds_.SetTableDef(memory_, fields, indexes);
    ds_.InternalCreateTable();
    {
      // Filled below the data-access layer: the data, not the timing.
      tav::test::TTableConnection fill(
          memory_ ? static_cast<tav::TBaseTableDefMgr&>(db_.MemoryTableMgr()) : *db_.UserTableMgr(),
          ds_.TableDef());
      std::vector<uint8_t> rec = fill.NewRecord();
      for (int i = 0; i < kRecords; ++i) {
        std::fill(rec.begin(), rec.end(), 0);
        fill.SetInteger(rec, "ID", (i * 7) % kRecords);
        fill.SetString(rec, "NAME", Name(i));
        fill.Insert(rec);
      }
    }
    ds_.DataSetOpen();
    id_ = ds_.GetFieldNo("ID");
    name_ = ds_.GetFieldNo("NAME");
    key_.resize(static_cast<size_t>(ds_.RecordBufferSize()));
    modifier_.SetLimitedSearch(true);
    modifier_.SetIncludedKeyFieldCount(1);

    host_.SetDataBase(&db_);
    host_.SetMemory(memory_);
    host_.SetTableName("T");
    host_.Open();
    host_id_ = host_.FieldByName("ID");
    host_name_ = host_.FieldByName("NAME");

    inserts_.SetDataBase(&db_);
    inserts_.SetMemory(memory_);
    inserts_.SetTableName("I");
    inserts_.FieldDefs().Add("ID", host::ftInteger, 0, true);
    inserts_.FieldDefs().Add("NAME", host::ftString, 20);
    inserts_.IndexDefs().Add("ById", "ID", host::TIndexOptions{host::ixPrimary, host::ixUnique});
    inserts_.CreateTable();
    inserts_.Open();
    insert_id_ = inserts_.FieldByName("ID");
    insert_name_ = inserts_.FieldByName("NAME");
  }
  ~TTavrinWorkload() override {
    inserts_.Close();
    host_.Close();
    ds_.DataSetClose();
  }

  // Through the host dataset, as an application reads and writes.
  int64_t HostWalk() override {
    int64_t sum = 0;
    for (host_.First(); !host_.Eof(); host_.Next())
      sum += host_id_->AsInteger() + static_cast<int64_t>(host_name_->AsString().size());
    return sum;
  }
  int64_t HostLocates() override {
    int64_t found = 0;
    for (int i = 0; i < kLocates; ++i)
      if (host_.Locate("ID", (i * 31) % kRecords, {})) found += static_cast<int64_t>(host_name_->AsString().size());
    return found;
  }
  int64_t HostInserts() override {
    if (!memory_) db_.StartTransaction();
    inserts_.EmptyTable();
    for (int i = 0; i < kInserts; ++i) {
      inserts_.Append();
      insert_id_->SetAsInteger((i * 7) % kInserts);
      insert_name_->SetAsString(Name(i));
      inserts_.Post();
    }
    if (!memory_) db_.Commit();
    return kInserts;
  }

  // Walks run in read-ahead mode, as the host's fetches of many records do:
  // the first step searches by key, the following ones move along the index.
  int64_t WalkForward() override {
    TFetch fetch(ds_);
    int64_t rows = 0;
    for (bool ok = ds_.DataSetFirst(); ok; ok = ds_.DataSetNext()) rows += NameLength() > 0;
    return rows;
  }
  int64_t WalkBackward() override {
    TFetch fetch(ds_);
    int64_t rows = 0;
    for (bool ok = ds_.DataSetLast(); ok; ok = ds_.DataSetPrior()) rows += NameLength() > 0;
    return rows;
  }
  int64_t Lookups() override {
    int64_t found = 0;
    for (int i = 0; i < kLookups; ++i) {
      SetKey(key_.data(), (i * 13) % kRecords);
      found += ds_.FindBuf(key_.data(), tav::stEQ, "ById", &modifier_, false);
    }
    return found;
  }
  int64_t Positions() override {
    int64_t sum = 0;
    for (int i = 0; i < kPositions; ++i)
      if (ds_.DataSetSetRecordNo((i * 4999) % kRecords + 1) > 0) sum += Id();
    return sum;
  }
  int64_t RangeWalks() override {
    int64_t rows = 0;
    for (int i = 0; i < kRanges; ++i) {
      const int lo = (i * 997) % (kRecords - kRangeWidth);
      ds_.InitializeRangeBuffers(tav::rmRangeStart);
      ds_.InitializeRangeBuffers(tav::rmRangeEnd);
      SetKey(ds_.GetRangeRecBuf(tav::rmRangeStart), lo);
      SetKey(ds_.GetRangeRecBuf(tav::rmRangeEnd), lo + kRangeWidth - 1);
      ds_.SetRangeOn(true);
      TFetch fetch(ds_);
      for (bool ok = ds_.DataSetFirst(); ok; ok = ds_.DataSetNext()) rows += NameLength() > 0;
      ds_.SetRangeOn(false);
    }
    return rows;
  }

 private:
  void SetKey(uint8_t* buffer, int32_t id) {
    std::memset(buffer, 0, static_cast<size_t>(ds_.RecordSize()));
    buffer[ds_.GetFieldNullOffset(id_)] = 1;
    std::memcpy(buffer + ds_.GetFieldDataOffset(id_), &id, 4);
  }
  int32_t NameLength() {
    int32_t length;
    const uint8_t* data;
    bool isNull;
    ds_.DataSetGetFieldDataByReferenceFromRecBuf(ds_.RecordBuffer(), name_, length, data, isNull);
    return length;
  }
  int32_t Id() {
    int32_t v;
    std::memcpy(&v, ds_.RecordBuffer() + ds_.GetFieldDataOffset(id_), 4);
    return v;
  }

  bool memory_;
  tav::TTavDataBase db_{nullptr};
  tav::TTavDataSet ds_{nullptr};
  tav::TTavBaseTable host_{nullptr};
  tav::TTavBaseTable inserts_{nullptr};
  host::TField* host_id_ = nullptr;
  host::TField* host_name_ = nullptr;
  host::TField* insert_id_ = nullptr;
  host::TField* insert_name_ = nullptr;
  tav::TSearchModifier modifier_;
  std::vector<uint8_t> key_;
  int id_ = 0;
  int name_ = 0;
};

const bench::TStep<TWorkload> kSteps[] = {
    {"walk_forward", [](TWorkload& w) { benchmark::DoNotOptimize(w.WalkForward()); }},
    {"walk_backward", [](TWorkload& w) { benchmark::DoNotOptimize(w.WalkBackward()); }},
    {"key_lookups", [](TWorkload& w) { benchmark::DoNotOptimize(w.Lookups()); }},
    {"recno_positioning", [](TWorkload& w) { benchmark::DoNotOptimize(w.Positions()); }},
    {"range_walks", [](TWorkload& w) { benchmark::DoNotOptimize(w.RangeWalks()); }},
    {"host_walk", [](TWorkload& w) { benchmark::DoNotOptimize(w.HostWalk()); }},
    {"host_locates", [](TWorkload& w) { benchmark::DoNotOptimize(w.HostLocates()); }},
    {"host_inserts_100k", [](TWorkload& w) { benchmark::DoNotOptimize(w.HostInserts()); }},
};

}  // namespace

int main(int argc, char** argv) {
  bool disk = false;
  int kept = 0;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--disk") == 0)
      disk = true;
    else
      argv[kept++] = argv[i];
  }
  argc = kept;
  if (!disk)
    return bench::RunComparison<TWorkload>(argc, argv, kSteps, std::make_shared<TTavrinWorkload>(""),
                                           std::make_shared<TSqliteWorkload>(":memory:"));
  char folder[] = "/tmp/cursor_bench-XXXXXX";
  if (!mkdtemp(folder)) throw std::runtime_error("no temporary folder");
  const std::string dir = folder;
  int result;
  {
    auto ours = std::make_shared<TTavrinWorkload>(dir + "/bench.tav");
    auto theirs = std::make_shared<TSqliteWorkload>(dir + "/bench.sqlite");
    result = bench::RunComparison<TWorkload>(argc, argv, kSteps, ours, theirs);
  }
  std::filesystem::remove_all(dir);
  return result;
}
