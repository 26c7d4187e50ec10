// Storage engine against SQLite on the same work, step by step: bulk insert of
// records with an integer key, a 40-character string and a small BLOB into a
// table with a unique integer index and a non-unique case-insensitive string
// index; point lookups by each index; a full scan in index order; deleting
// every other record; one-row transactions; two reader processes and one
// writer on the one file; random-order inserts into a large table of its own.
//
// Four lines, each engine in a process of its own (so that its peak memory is
// its own):
//  - tavrin: a shared database; every operation takes the table lock a
//    dataset's call takes (a read lock per lookup and per scan, the write
//    lock inside a transaction per change, the commit at the end).
//  - sqlite: its default mode (rollback journal, full sync, locks and a
//    change check per statement).
//  - tavrin-x: the database opened exclusively, the same calls.
//  - sqlite-x: exclusive locking mode and synchronous off, the closest
//    SQLite comes to a database nobody else opens.
// One-row transactions are durable on the default lines (ForceToDisk against
// SQLite's full sync) and not on the exclusive ones. Readers and a writer
// need a shared file: the exclusive lines skip that step.
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_compare.h"
#include "engine/storage/lock/lock_mgr.h"
#include "engine/storage/testing/table_test_support.h"

namespace {

// Rows of the main table: the first number argument (100,000 unless given).
int kRecords = 100000;
// Rows of the random-order table: the second number argument (0 skips it).
int kBigRecords = 1000000;
constexpr int kSingleRowTransactions = 1000;
constexpr int kBigBatch = 10000;  // rows per transaction of the random-order inserts
constexpr int kReaders = 2;
constexpr int kWriterTransactions = 200;

std::string StringKey(int i, int range) {
  // 40 characters, mixed case, so the case-insensitive index has work to do.
  char buf[64];
  // 64-bit product: i * 7919 passes 2^31 before a million rows.
  const long long scrambled = static_cast<long long>(i) * 7919 % range;
  std::snprintf(buf, sizeof buf, "Customer-%08lld-%s-Name%016d", scrambled,
                (i % 2) ? "ABC" : "abc", i);
  return std::string(buf).substr(0, 40);
}
std::string StringKey(int i) { return StringKey(i, kRecords); }

std::string Blob(int i) { return std::string(64 + i % 64, static_cast<char>('a' + i % 26)); }

int IntegerProbe(int i) { return static_cast<int>(static_cast<long long>(i) * 7 % kRecords); }
int StringProbe(int i) { return static_cast<int>(static_cast<long long>(i) * 13 % kRecords); }

// The keys of the random-order table, the same permutation for every engine.
std::vector<int> RandomOrder() {
  std::vector<int> keys(static_cast<size_t>(kBigRecords));
  for (int i = 0; i < kBigRecords; ++i) keys[static_cast<size_t>(i)] = i;
  std::shuffle(keys.begin(), keys.end(), std::mt19937(20260101));
  return keys;
}

std::string TempPath(const char* stem) {
  return std::string("/tmp/") + stem + "_" + std::to_string(::getpid());
}

long long FileBytes(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// Runs `children` processes calling `work(n)` and waits for all; false when
// one of them failed.
bool RunProcesses(int children, const std::function<void(int)>& work) {
  std::vector<pid_t> pids;
  std::fflush(nullptr);
  for (int n = 0; n < children; ++n) {
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
      int rc = 0;
      try {
        work(n);
      } catch (const std::exception& e) {
        std::fprintf(stderr, "process %d failed: %s\n", n, e.what());
        rc = 1;
      }
      std::fflush(nullptr);
      ::_exit(rc);
    }
    pids.push_back(pid);
  }
  bool ok = true;
  for (pid_t pid : pids) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  return ok;
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
  // False where the line does not share its file.
  virtual bool ReadersAndWriter() = 0;
  virtual void RandomInserts() = 0;
  virtual long long FileSize() = 0;
  // Pages the engine's page cache holds now; -1 where there is none to ask.
  virtual int CachePages() { return -1; }
};

// ---- SQLite ----

class TSqliteWorkload : public TWorkload, bench::TSqliteConnection {
 public:
  explicit TSqliteWorkload(bool exclusive)
      : path_(TempPath("bench_sqlite") + ".db"), exclusive_(exclusive) {
    std::remove(path_.c_str());
    Connect();
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
    InsertRows(0, kRecords, "t");
    Exec("COMMIT");
  }

  int64_t LookupByInteger() override { return LookupRange(0, kRecords); }

  int64_t LookupByString() override {
    sqlite3_stmt* st = Prepare("SELECT id FROM t WHERE name = ? COLLATE NOCASE LIMIT 1");
    int64_t found = 0;
    for (int i = 0; i < kRecords; ++i) {
      std::string name = StringKey(StringProbe(i));
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

  void SingleRowTransactions() override { OneRowTransactions(kRecords, kSingleRowTransactions); }

  bool ReadersAndWriter() override {
    if (exclusive_) return false;
    const bool ok = RunProcesses(kReaders + 1, [this](int n) {
      Close();  // the parent's connection is not this process's to use
      Connect();
      sqlite3_busy_timeout(db_, 60000);
      if (n == kReaders)
        OneRowTransactions(kRecords + kSingleRowTransactions, kWriterTransactions);
      else
        LookupRange(n, kRecords);
    });
    if (!ok) throw std::runtime_error("a reader or the writer failed");
    return true;
  }

  void RandomInserts() override {
    Exec("CREATE TABLE r (id INTEGER NOT NULL, name TEXT NOT NULL, data BLOB)");
    Exec("CREATE UNIQUE INDEX r_id ON r(id)");
    Exec("CREATE INDEX r_name ON r(name COLLATE NOCASE)");
    const std::vector<int> keys = RandomOrder();
    sqlite3_stmt* st = Prepare("INSERT INTO r (id, name, data) VALUES (?, ?, ?)");
    for (size_t at = 0; at < keys.size(); at += kBigBatch) {
      Exec("BEGIN");
      for (size_t k = at; k < std::min(keys.size(), at + kBigBatch); ++k)
        BindAndStep(st, keys[k], kBigRecords);
      Exec("COMMIT");
    }
    sqlite3_finalize(st);
  }

  long long FileSize() override { return FileBytes(path_); }

 private:
  void Connect() {
    Open(path_);
    if (exclusive_) {
      Exec("PRAGMA locking_mode=EXCLUSIVE");
      Exec("PRAGMA synchronous=OFF");
    }
  }

  void BindAndStep(sqlite3_stmt* st, int i, int range) {
    std::string name = StringKey(i, range), blob = Blob(i);
    sqlite3_bind_int(st, 1, i);
    sqlite3_bind_text(st, 2, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
    sqlite3_bind_blob(st, 3, blob.data(), static_cast<int>(blob.size()), SQLITE_TRANSIENT);
    Step(st);
    sqlite3_reset(st);
  }

  void InsertRows(int from, int to, const char* table) {
    const std::string sql = std::string("INSERT INTO ") + table + " (id, name, data) VALUES (?, ?, ?)";
    sqlite3_stmt* st = Prepare(sql.c_str());
    for (int i = from; i < to; ++i) BindAndStep(st, i, kRecords);
    sqlite3_finalize(st);
  }

  void OneRowTransactions(int from, int count) {
    sqlite3_stmt* st = Prepare("INSERT INTO t (id, name, data) VALUES (?, ?, ?)");
    for (int i = from; i < from + count; ++i) {
      Exec("BEGIN");
      BindAndStep(st, i, kRecords);
      Exec("COMMIT");
    }
    sqlite3_finalize(st);
  }

  int64_t LookupRange(int offset, int count) {
    sqlite3_stmt* st = Prepare("SELECT id FROM t WHERE id = ?");
    int64_t found = 0;
    for (int i = 0; i < count; ++i) {
      sqlite3_bind_int(st, 1, IntegerProbe(i + offset));
      if (sqlite3_step(st) == SQLITE_ROW) found += sqlite3_column_int(st, 0) >= 0;
      sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    return found;
  }

  std::string path_;
  bool exclusive_;
};

// ---- ours: the storage engine driven as the data-access layer drives it ----

// The table lock of one operation, as a dataset's call holds it. Inside a
// transaction the disk manager keeps it until the commit.
class TTableLockScope {
 public:
  TTableLockScope(tav::TDiskMgr& disk, uint32_t tableId, int type) : disk_(disk), id_(tableId) {
    disk_.SetTableLock(id_, type);
  }
  ~TTableLockScope() {
    try {
      disk_.ReleaseTableLock(id_);
    } catch (...) {
    }
  }
  TTableLockScope(const TTableLockScope&) = delete;
  TTableLockScope& operator=(const TTableLockScope&) = delete;

 private:
  tav::TDiskMgr& disk_;
  uint32_t id_;
};

const std::vector<tav::test::TTableFieldDesc>& Fields() {
  static const std::vector<tav::test::TTableFieldDesc> fields = {
      {"ID", host::ftInteger}, {"NAME", host::ftString, 40}, {"DATA", host::ftBlob}};
  return fields;
}
const std::vector<tav::test::TTableIndexDesc>& Indexes() {
  static const std::vector<tav::test::TTableIndexDesc> indexes = {
      {"ById", "ID", true}, {"ByName", "NAME", false, false, true}};
  return indexes;
}

// A connection to the database and its table "T".
struct TTavrinConnection {
  TTavrinConnection(const std::string& path, bool create, bool exclusive, int32_t tableId) {
    const uint16_t flags = tav::fmOpenReadWrite | (exclusive ? tav::fmShareExclusive
                                                             : tav::fmShareDenyNone);
    db = std::make_unique<tav::test::TTestDatabaseFile>(path, create, 4096, nullptr, nullptr,
                                                        flags);
    // Other processes hold the locks for as long as a commit takes.
    db->DiskMgr().SetLockRetryCount(100000);
    db->DiskMgr().SetLockRetryInterval(1);
    if (tableId == 0) {
      tav::TTableDef def(nullptr);
      tav::test::BuildTableDef(def, "T", false, Fields(), Indexes());
      db->Tables().CreateTableDef("T", def);
      table = std::make_unique<tav::test::TTableConnection>(db->Tables(), def);
    } else {
      table = tav::test::OpenStoredTable(db->Tables(), "T", tableId, Fields(), Indexes());
    }
    id = static_cast<uint32_t>(table->Def().TableID());
    rec = table->NewRecord();
  }
  ~TTavrinConnection() {
    table.reset();
    db.reset();
  }

  tav::TDiskMgr& Disk() { return db->DiskMgr(); }

  // Fills the record buffer with row `i` and stores it.
  void InsertRow(tav::test::TTableConnection& into, int i, int range) {
    std::fill(rec.begin(), rec.end(), 0);
    into.SetInteger(rec, "ID", i);
    into.SetString(rec, "NAME", StringKey(i, range));
    into.Insert(rec, {{"DATA", Blob(i)}});
  }

  void OneRowTransactions(int from, int count, bool durable) {
    for (int i = from; i < from + count; ++i) {
      tav::TDiskTransaction transaction(Disk());
      {
        TTableLockScope lock(Disk(), id, tav::kLockTypeWrite);
        InsertRow(*table, i, kRecords);
      }
      if (durable) Disk().ForceToDisk();
      transaction.Commit();
    }
  }

  int64_t LookupRange(int offset, int count) {
    int64_t found = 0;
    for (int i = 0; i < count; ++i) {
      TTableLockScope lock(Disk(), id, tav::kLockTypeRead);
      found += table->FindFirst("ById", host::Variant(IntegerProbe(i + offset))) != 0;
    }
    return found;
  }

  std::unique_ptr<tav::test::TTestDatabaseFile> db;
  std::unique_ptr<tav::test::TTableConnection> table;
  uint32_t id = 0;
  std::vector<uint8_t> rec;
};

class TTavrinWorkload : public TWorkload {
 public:
  explicit TTavrinWorkload(bool exclusive)
      : path_(TempPath("bench_tavrin") + ".tav"), exclusive_(exclusive) {
    std::remove(path_.c_str());
    c_ = std::make_unique<TTavrinConnection>(path_, true, exclusive_, 0);
  }
  ~TTavrinWorkload() override {
    c_.reset();
    std::remove(path_.c_str());
    std::remove((path_.substr(0, path_.size() - 4) + ".lck").c_str());
  }

  void Insert() override {
    tav::TDiskTransaction transaction(c_->Disk());
    for (int i = 0; i < kRecords; ++i) {
      TTableLockScope lock(c_->Disk(), c_->id, tav::kLockTypeWrite);
      c_->InsertRow(*c_->table, i, kRecords);
    }
    transaction.Commit();
  }

  int64_t LookupByInteger() override { return c_->LookupRange(0, kRecords); }

  int64_t LookupByString() override {
    int64_t found = 0;
    for (int i = 0; i < kRecords; ++i) {
      TTableLockScope lock(c_->Disk(), c_->id, tav::kLockTypeRead);
      found += c_->table->FindFirst("ByName", host::Variant(StringKey(StringProbe(i)))) != 0;
    }
    return found;
  }

  int64_t ScanInOrder() override {
    TTableLockScope lock(c_->Disk(), c_->id, tav::kLockTypeRead);
    int64_t rows = 0;
    tav::test::TTableConnection& t = *c_->table;
    const tav::TInternalFieldItem& name = t.Field("NAME");
    for (uint32_t address : t.Walk("ByName")) {
      t.ReadInto(address, c_->rec.data());
      uint16_t length;
      std::memcpy(&length, c_->rec.data() + name.SizeMarkerOffset(), 2);
      rows += length > 0;
    }
    return rows;
  }

  void DeleteEveryOther() override {
    tav::TDiskTransaction transaction(c_->Disk());
    for (int i = 0; i < kRecords; i += 2) {
      TTableLockScope lock(c_->Disk(), c_->id, tav::kLockTypeWrite);
      const uint32_t at = c_->table->FindFirst("ById", host::Variant(i));
      if (at != 0) c_->table->Delete(at);
    }
    transaction.Commit();
  }

  void SingleRowTransactions() override {
    c_->OneRowTransactions(kRecords, kSingleRowTransactions, !exclusive_);
  }

  bool ReadersAndWriter() override {
    if (exclusive_) return false;
    const int32_t tableId = static_cast<int32_t>(c_->id);
    const bool ok = RunProcesses(kReaders + 1, [this, tableId](int n) {
      TTavrinConnection own(path_, false, false, tableId);
      if (n == kReaders)
        own.OneRowTransactions(kRecords + kSingleRowTransactions, kWriterTransactions, true);
      else
        own.LookupRange(n, kRecords);
    });
    if (!ok) throw std::runtime_error("a reader or the writer failed");
    return true;
  }

  void RandomInserts() override {
    tav::TTableDef def(nullptr);
    tav::test::BuildTableDef(def, "R", false, Fields(), Indexes());
    c_->db->Tables().CreateTableDef("R", def);
    tav::test::TTableConnection big(c_->db->Tables(), def);
    const uint32_t id = static_cast<uint32_t>(big.Def().TableID());
    const std::vector<int> keys = RandomOrder();
    for (size_t at = 0; at < keys.size(); at += kBigBatch) {
      tav::TDiskTransaction transaction(c_->Disk());
      for (size_t k = at; k < std::min(keys.size(), at + kBigBatch); ++k) {
        TTableLockScope lock(c_->Disk(), id, tav::kLockTypeWrite);
        c_->InsertRow(big, keys[k], kBigRecords);
      }
      transaction.Commit();
    }
  }

  long long FileSize() override { return FileBytes(path_); }
  int CachePages() override { return c_->Disk().TavFile().CacheMgr().Count(); }

 private:
  std::string path_;
  bool exclusive_;
  std::unique_ptr<TTavrinConnection> c_;
};

struct TStepDef {
  const char* Name;
  // Runs the step; false when it does not apply to the line.
  bool (*Run)(TWorkload&);
};

const TStepDef kSteps[] = {
    {"insert", [](TWorkload& w) { w.Insert(); return true; }},
    {"lookup_integer", [](TWorkload& w) { benchmark::DoNotOptimize(w.LookupByInteger()); return true; }},
    {"lookup_string", [](TWorkload& w) { benchmark::DoNotOptimize(w.LookupByString()); return true; }},
    {"scan_in_order", [](TWorkload& w) { benchmark::DoNotOptimize(w.ScanInOrder()); return true; }},
    {"delete_every_other", [](TWorkload& w) { w.DeleteEveryOther(); return true; }},
    {"one_row_transactions", [](TWorkload& w) { w.SingleRowTransactions(); return true; }},
    {"readers_and_writer", [](TWorkload& w) { return w.ReadersAndWriter(); }},
    {"random_inserts", [](TWorkload& w) {
       if (kBigRecords == 0) return false;
       w.RandomInserts();
       return true;
     }},
};
constexpr size_t kStepCount = sizeof kSteps / sizeof kSteps[0];

struct TLine {
  const char* Name;
  std::function<std::unique_ptr<TWorkload>()> Make;
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> only;
  std::vector<std::string> steps;  // empty: every step
  std::vector<int> numbers;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto split = [](std::string rest, std::vector<std::string>& into) {
      while (!rest.empty()) {
        const size_t comma = rest.find(',');
        into.push_back(rest.substr(0, comma));
        rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
      }
    };
    if (arg.rfind("--engine=", 0) == 0) {
      split(arg.substr(9), only);
    } else if (arg.rfind("--steps=", 0) == 0) {
      split(arg.substr(8), steps);
    } else if (!arg.empty() && arg[0] != '-') {
      numbers.push_back(std::atoi(arg.c_str()));
    } else {
      std::fprintf(stderr,
                   "usage: storage_bench [--engine=tavrin,sqlite,tavrin-x,sqlite-x] "
                   "[--steps=insert,lookup_integer,...] [rows >= 2 [random-order rows, 0 = "
                   "skip]]\n");
      return 2;
    }
  }
  if (!numbers.empty()) kRecords = numbers[0];
  if (numbers.size() > 1) kBigRecords = numbers[1];
  if (kRecords < 2 || kBigRecords < 0 || numbers.size() > 2) {
    std::fprintf(stderr, "rows must be at least 2, random-order rows at least 0\n");
    return 2;
  }

  const std::vector<TLine> lines = {
      {"tavrin", [] { return std::unique_ptr<TWorkload>(new TTavrinWorkload(false)); }},
      {"sqlite", [] { return std::unique_ptr<TWorkload>(new TSqliteWorkload(false)); }},
      {"tavrin-x", [] { return std::unique_ptr<TWorkload>(new TTavrinWorkload(true)); }},
      {"sqlite-x", [] { return std::unique_ptr<TWorkload>(new TSqliteWorkload(true)); }},
  };
  // Each line of ours against its SQLite line.
  const std::vector<bench::TColumn> columns = {{"tavrin", 1}, {"sqlite", -1}, {"tavrin-x", 3},
                                               {"sqlite-x", -1}};
  std::vector<bench::TEngineResult> results(lines.size());
  std::vector<bool> ran(lines.size(), false);
  bool failed = false;
  for (size_t l = 0; l < lines.size(); ++l) {
    if (!only.empty() && std::find(only.begin(), only.end(), lines[l].Name) == only.end())
      continue;
    std::printf("%s ...\n", lines[l].Name);
    results[l] = bench::RunInOwnProcess(kStepCount, [&](std::vector<double>& seconds) {
      std::unique_ptr<TWorkload> w = lines[l].Make();
      for (size_t s = 0; s < kStepCount; ++s) {
        // A step left out (--steps) is not run; later steps may then find
        // other data than in a whole run.
        if (!steps.empty() && std::find(steps.begin(), steps.end(), kSteps[s].Name) == steps.end()) {
          seconds[s] = NAN;
          continue;
        }
        bool applies = true;
        const double t = bench::TimeIt([&] { applies = kSteps[s].Run(*w); });
        seconds[s] = applies ? t : NAN;
        if (applies && w->CachePages() >= 0)
          std::printf("  %s after %s: %d cache pages\n", lines[l].Name, kSteps[s].Name,
                      w->CachePages());
      }
      return w->FileSize();
    });
    ran[l] = true;
    failed = failed || !results[l].Ok;
  }
  std::vector<const char*> names;
  for (const TStepDef& s : kSteps) names.push_back(s.Name);
  std::printf("\n%d rows, %d random-order rows; ratio: the line before against its SQLite line\n",
              kRecords, kBigRecords);
  bench::PrintTable(names, columns, results, ran);
  return failed ? 1 : 0;
}
