// Whole-table maintenance against SQLite on files of the same 100,000
// records (a unique integer key and an indexed string): re-indexing every
// index from the records against SQLite dropping and creating both indexes,
// and rebuilding the table (backup copy of the file, every record copied
// back with its keys) against SQLite copying the table into a new one,
// indexing it and putting it in the old one's place, in one transaction.
// Each step runs once per engine; the table at the end prints both times and
// the ratio per step.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "bench_compare.h"
#include "engine/components/tav_data_set.h"
#include "host/db/field_defs.h"
#include "host/db/index_defs.h"
#include "os/file.h"

namespace {

constexpr int kRecords = 100000;

std::string Name(int i) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "Name-%08d", (i * 7919) % kRecords);
  return buf;
}

std::string TempFolder() {
  char pattern[] = "/tmp/tav_restructure_bench_XXXXXX";
  const char* dir = mkdtemp(pattern);
  if (!dir) throw std::runtime_error("no temporary folder");
  return std::string(dir) + "/";
}

class TWorkload {
 public:
  virtual ~TWorkload() = default;
  virtual int64_t ReIndex() = 0;
  virtual int64_t Rebuild() = 0;
};

class TSqliteWorkload : public TWorkload, bench::TSqliteConnection {
 public:
  TSqliteWorkload() : folder_(TempFolder()) {
    Open(folder_ + "t.db");
    Exec("CREATE TABLE t (id INTEGER NOT NULL, name TEXT NOT NULL)");
    Exec("CREATE UNIQUE INDEX t_id ON t(id)");
    Exec("CREATE INDEX t_name ON t(name)");
    Exec("BEGIN");
    InsertRows("INSERT INTO t (id, name) VALUES (?, ?)", kRecords,
               [](int i) { return std::pair<int, std::string>((i * 7) % kRecords, Name(i)); });
    Exec("COMMIT");
  }
  ~TSqliteWorkload() override {
    Close();
    std::remove((folder_ + "t.db").c_str());
  }

  int64_t ReIndex() override {
    Exec("BEGIN");
    Exec("DROP INDEX t_id");
    Exec("DROP INDEX t_name");
    Exec("CREATE UNIQUE INDEX t_id ON t(id)");
    Exec("CREATE INDEX t_name ON t(name)");
    Exec("COMMIT");
    return kRecords;
  }
  int64_t Rebuild() override {
    Exec("BEGIN");
    Exec("CREATE TABLE t2 (id INTEGER NOT NULL, name TEXT NOT NULL)");
    Exec("INSERT INTO t2 SELECT id, name FROM t");
    Exec("DROP TABLE t");
    Exec("ALTER TABLE t2 RENAME TO t");
    Exec("CREATE UNIQUE INDEX t_id ON t(id)");
    Exec("CREATE INDEX t_name ON t(name)");
    Exec("COMMIT");
    return kRecords;
  }

 private:
  std::string folder_;
};

class TTavrinWorkload : public TWorkload {
 public:
  TTavrinWorkload() : folder_(TempFolder()) {
    {
      tav::TTavDataBase creator(nullptr);
      creator.SetDataBaseName(folder_ + "t.tav");
      creator.CreateDatabase();
    }
    db_.SetDataBaseName(folder_ + "t.tav");
    db_.SetExclusive(true);
    db_.Open();
    ds_.SetDataBase(&db_);
    ds_.SetTableName("T");
    host::TFieldDefs fields;
    fields.Add("ID", host::ftInteger, 0, true);
    fields.Add("NAME", host::ftString, 20);
    host::TIndexDefs indexes;
    indexes.Add("ById", "ID", host::TIndexOptions{host::ixPrimary, host::ixUnique});
    indexes.Add("ByName", "NAME", host::TIndexOptions{});
    ds_.SetTableDef(false, fields, indexes);
    ds_.InternalCreateTable();
    ds_.DataSetOpen();
    db_.StartTransaction();
    for (int i = 0; i < kRecords; ++i) {
      ds_.InitializeNewRecord(ds_.RecordBuffer(), false);
      ds_.DataSetSetFieldDataAsVariant(0, (i * 7) % kRecords);
      ds_.DataSetSetFieldDataAsVariant(1, Name(i));
      ds_.AddRecord(true);
    }
    db_.Commit();
    ds_.DataSetClose();
  }
  ~TTavrinWorkload() override {
    db_.Close();
    for (const char* f : {"t.tav", "t.tvx", "t.lck", "t.tvx.lck", "dblog.txt"}) std::remove((folder_ + f).c_str());
  }

  int64_t ReIndex() override {
    ds_.DataSetOpen();
    ds_.InternalReIndex(false);
    ds_.DataSetClose();
    return kRecords;
  }
  int64_t Rebuild() override {
    ds_.InternalRebuildTable();
    return kRecords;
  }

 private:
  std::string folder_;
  tav::TTavDataBase db_{nullptr};
  tav::TTavDataSet ds_{nullptr};
};

const bench::TStep<TWorkload> kSteps[] = {
    {"reindex_100k", [](TWorkload& w) { benchmark::DoNotOptimize(w.ReIndex()); }},
    {"rebuild_100k", [](TWorkload& w) { benchmark::DoNotOptimize(w.Rebuild()); }},
};

}  // namespace

int main(int argc, char** argv) {
  return bench::RunComparison<TWorkload>(argc, argv, kSteps, std::make_shared<TTavrinWorkload>(),
                                         std::make_shared<TSqliteWorkload>());
}
