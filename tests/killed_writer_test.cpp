// A process killed in the middle of its work leaves the database as the last
// commit left it: the file transaction keeps every change in memory until
// commit, a commit cut off while it writes is taken back from its journal by
// the next connection that opens the file or takes a lock, the operating
// system drops the dead process's locks, and the next connection sweeps its
// lock-file entry.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/storage/file/tav_journal.h"
#include "engine/storage/testing/disk_test_support.h"
#include "engine/storage/testing/table_test_support.h"
#include "host/rtl/string_list.h"
#include "host/rtl/variant.h"
#include "os/testing/test_support.h"

namespace tav::test {
namespace {

const std::vector<TTableFieldDesc> kFields = {
    {"ID", host::ftInteger}, {"NAME", host::ftString, 30}, {"DATA", host::ftBlob}};
const std::vector<TTableIndexDesc> kIndexes = {{"ById", "ID", true},
                                               {"ByName", "NAME", false, false, true}};

void Fill(TTableConnection& c, int from, int count) {
  for (int i = from; i < from + count; ++i) {
    std::vector<uint8_t> rec = c.NewRecord();
    c.SetInteger(rec, "ID", i);
    c.SetString(rec, "NAME", "Name " + std::to_string(i % 53));
    c.Insert(rec, {{"DATA", std::string(static_cast<size_t>(i % 900), 'x')}});
  }
}

std::set<int32_t> Ids(TTableConnection& c) {
  std::set<int32_t> ids;
  for (uint32_t a : c.LiveRecords()) ids.insert(c.GetInteger(c.Read(a).data(), "ID"));
  return ids;
}

// A new database at `path` with the table T holding rows 0 .. rows - 1;
// returns the table's id.
int32_t CreateFilledTable(const std::string& path, int rows) {
  TTestDatabaseFile db(path, true);
  TTableDef def(nullptr);
  BuildTableDef(def, "T", false, kFields, kIndexes);
  if (db.Tables().CreateTableDef("T", def) != 0) ADD_FAILURE() << "the table was not created";
  TTableConnection c(db.Tables(), def);
  Fill(c, 0, rows);
  return def.TableID();
}

// Forks a child that runs `body` and then kills itself with SIGKILL, as a
// crash or an operator would; waits for it and says whether it died so.
bool RunAndKillChild(const std::function<void()>& body) {
  const pid_t pid = fork();
  if (pid == 0) {
    try {
      body();
    } catch (...) {
      _exit(3);
    }
    raise(SIGKILL);
    _exit(4);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return false;
  return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

TEST(KilledWriter, UncommittedWorkVanishesAndTheDatabaseStaysSound) {
  os::test::TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  const std::string path = dir / "crash.tav";
  const int32_t id = CreateFilledTable(path, 200);
  auto openTable = [&](TTestDatabaseFile& db) {
    return OpenStoredTable(db.Tables(), "T", id, kFields, kIndexes);
  };

  // The writer adds, changes and deletes inside a transaction, and dies
  // before it commits.
  ASSERT_TRUE(RunAndKillChild([&] {
    TTestDatabaseFile db(path, false);
    auto c = openTable(db);
    db.DiskMgr().DiskStartTransaction();
    Fill(*c, 1000, 1500);
    for (int k = 0; k < 100; ++k)
      for (uint32_t a : c->Find("ById", host::Variant(k))) c->Delete(a);
  }));

  TTestDatabaseFile db(path, false);
  host::TStringList users;
  db.DiskMgr().GetCurrentUsers(users);
  EXPECT_EQ(users.Count(), 1) << "the dead writer's entry is swept";
  auto c = openTable(db);
  EXPECT_EQ(CheckIndexesAgree(*c), "");
  std::set<int32_t> expected;
  for (int i = 0; i < 200; ++i) expected.insert(i);
  EXPECT_EQ(Ids(*c), expected);
  EXPECT_EQ(c->Find("ById", host::Variant(1000)).size(), 0u);
  // Its locks died with it: this connection writes at once.
  EXPECT_EQ(db.DiskMgr().SetTableLock(static_cast<uint32_t>(id), 4), 4);
  db.DiskMgr().ReleaseTableLock(static_cast<uint32_t>(id));
  Fill(*c, 200, 50);
  EXPECT_EQ(CheckIndexesAgree(*c), "");
  EXPECT_EQ(Ids(*c).size(), 250u);
}

TEST(KilledWriter, ACommittedTransactionSurvivesTheWritersDeath) {
  os::test::TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  const std::string path = dir / "commit.tav";
  const int32_t id = CreateFilledTable(path, 0);
  ASSERT_TRUE(RunAndKillChild([&] {
    TTestDatabaseFile db(path, false);
    auto c = OpenStoredTable(db.Tables(), "T", id, kFields, kIndexes);
    db.DiskMgr().DiskStartTransaction();
    Fill(*c, 0, 800);
    db.DiskMgr().DiskCommit();
    db.DiskMgr().DiskStartTransaction();
    Fill(*c, 800, 100);  // lost with the writer
  }));
  TTestDatabaseFile db(path, false);
  auto c = OpenStoredTable(db.Tables(), "T", id, kFields, kIndexes);
  EXPECT_EQ(CheckIndexesAgree(*c), "");
  EXPECT_EQ(Ids(*c).size(), 800u);
  EXPECT_EQ(c->Find("ByName", host::Variant("NAME 7")).size(), 800u / 53 + (7 < 800 % 53));
}

// ---- kills inside commits ----

using TClockType = std::chrono::steady_clock;

double Since(TClockType::time_point start) {
  return std::chrono::duration<double>(TClockType::now() - start).count();
}

// The rows of the table as a model: id -> BLOB length.
using TRows = std::map<int32_t, size_t>;

void InsertRow(TTableConnection& c, int32_t id, size_t blob) {
  std::vector<uint8_t> rec = c.NewRecord();
  c.SetInteger(rec, "ID", id);
  c.SetString(rec, "NAME", "Name " + std::to_string(id % 53));
  std::map<std::string, std::string> blobs;
  if (blob != 0) blobs["DATA"] = std::string(blob, static_cast<char>('a' + id % 26));
  c.Insert(rec, blobs);
}

// What the table holds, BLOB lengths included.
TRows ReadRows(TTableConnection& c) {
  TRows rows;
  for (uint32_t a : c.LiveRecords()) {
    const std::vector<uint8_t> rec = c.Read(a);
    rows[c.GetInteger(rec.data(), "ID")] = c.ReadBlob(rec.data(), "DATA").size();
  }
  return rows;
}

std::set<int32_t> KeysOf(const TRows& rows) {
  std::set<int32_t> keys;
  for (const auto& [id, blob] : rows) keys.insert(id);
  return keys;
}

// One commit to be cut off: rows to add and rows to delete.
struct TCommitPlan {
  std::vector<std::pair<int32_t, size_t>> Add;
  std::vector<int32_t> Remove;
  int SizeClass = 0;
};

TCommitPlan MakePlan(std::mt19937& rng, const TRows& rows, int32_t& nextId) {
  TCommitPlan plan;
  const int pick = static_cast<int>(rng() % 20);
  auto add = [&](int count, size_t maxBlob) {
    for (int i = 0; i < count; ++i) plan.Add.push_back({nextId++, maxBlob ? rng() % maxBlob : 0});
  };
  auto remove = [&](size_t count) {
    std::vector<int32_t> ids;
    for (const auto& [row, blob] : rows) ids.push_back(row);
    std::shuffle(ids.begin(), ids.end(), rng);
    ids.resize(std::min(count, ids.size()));
    plan.Remove = ids;
  };
  if (pick < 6) {  // one row: a page or a few
    plan.SizeClass = 0;
    add(1, 200);
  } else if (pick < 12) {  // tens of rows, BLOBs, deletes: splits and merges
    plan.SizeClass = 1;
    add(10 + static_cast<int>(rng() % 60), 2000);
    remove(rng() % 40);
  } else if (pick < 15) {  // many rows freed
    plan.SizeClass = 2;
    remove(rows.size() / 2);
    add(static_cast<int>(rng() % 5), 900);
  } else if (pick < 19) {  // hundreds of rows
    plan.SizeClass = 3;
    add(100 + static_cast<int>(rng() % 200), 1500);
    remove(rng() % 100);
  } else {  // a BLOB of up to a thousand pages, in place of the last one
    plan.SizeClass = 4;
    for (const auto& [row, blob] : rows)
      if (blob > 100000) plan.Remove.push_back(row);
    plan.Add.push_back({nextId++, (1 << 20) + rng() % (3 << 20)});
  }
  return plan;
}

// Waits up to `ms` for one byte on `fd`; 0 when none came.
char ReadByte(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, ms) <= 0) return 0;
  char c = 0;
  return read(fd, &c, 1) == 1 ? c : 0;
}

void SleepMicros(long us) {
  timespec ts{us / 1000000, (us % 1000000) * 1000};
  nanosleep(&ts, nullptr);
}

TEST(KilledWriter, ACommitKilledAtAnyInstantLeavesTheStateBeforeOrAfterIt) {
  os::test::TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  const std::string path = dir / "cut.tav";
  const int32_t id = CreateFilledTable(path, 200);
  TRows rows;
  int32_t nextId = 0;
  for (; nextId < 200; ++nextId) rows[nextId] = static_cast<size_t>(nextId % 900);
  const std::string journal = GetJournalFileName(path);
  std::mt19937 rng(20261209);
  // How long each size of commit takes, learnt from the commits that ran to
  // their end; a kill lands anywhere in that time after the commit began.
  double took[5] = {0.002, 0.005, 0.005, 0.05, 0.2};
  int runs = 0, inside = 0, restored = 0, byLock = 0;
  const auto start = TClockType::now();
  // On a loaded machine commits stretch and fewer kills land inside them:
  // then the runs go on (up to a bound) until enough have.
  const auto wantMore = [&] { return restored < 10 || byLock == 0; };
  while (runs < 600 && (runs < 100 || Since(start) < 40 || (wantMore() && Since(start) < 180))) {
    SCOPED_TRACE("run " + std::to_string(runs));
    const TCommitPlan plan = MakePlan(rng, rows, nextId);
    TRows after = rows;
    for (int32_t gone : plan.Remove) after.erase(gone);
    for (const auto& [add, blob] : plan.Add) after[add] = blob;
    // Every other run a connection stays open across the kill and finds the
    // cut-off commit when it takes its next lock.
    const bool stayOpen = runs % 2 == 1;
    std::unique_ptr<TTestDatabaseFile> watcher;
    if (stayOpen) watcher = std::make_unique<TTestDatabaseFile>(path, false);

    int pipeFd[2];
    ASSERT_EQ(pipe(pipeFd), 0);
    const pid_t pid = fork();
    if (pid == 0) {
      close(pipeFd[0]);
      try {
        TTestDatabaseFile db(path, false);
        auto c = OpenStoredTable(db.Tables(), "T", id, kFields, kIndexes);
        db.DiskMgr().DiskStartTransaction();
        db.DiskMgr().SetTableLock(static_cast<uint32_t>(id), kLockTypeWrite);
        for (int32_t gone : plan.Remove)
          for (uint32_t a : c->Find("ById", host::Variant(gone))) c->Delete(a);
        for (const auto& [add, blob] : plan.Add) InsertRow(*c, add, blob);
        if (write(pipeFd[1], "c", 1) != 1) _exit(5);
        const auto begun = TClockType::now();
        db.DiskMgr().DiskCommit();
        // How long the commit took, for the next kill to aim at.
        const std::string done = "d" + std::to_string(static_cast<long>(Since(begun) * 1e6)) + "\n";
        if (write(pipeFd[1], done.data(), done.size()) != static_cast<ssize_t>(done.size()))
          _exit(5);
      } catch (...) {
        _exit(3);
      }
      pause();
      _exit(4);
    }
    close(pipeFd[1]);
    ASSERT_GT(pid, 0);
    const char began = ReadByte(pipeFd[0], 60000);
    EXPECT_EQ(began, 'c') << "the writer never reached its commit";
    const double window = took[plan.SizeClass];
    SleepMicros(static_cast<long>(std::uniform_real_distribution<double>(0, window)(rng) * 1e6));
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    const bool finished = ReadByte(pipeFd[0], 0) == 'd';
    if (finished) {
      // The commit ran to its end before the kill: now we know its length.
      std::string micros;
      for (char ch; (ch = ReadByte(pipeFd[0], 100)) != 0 && ch != '\n';) micros += ch;
      took[plan.SizeClass] = std::max(std::atof(micros.c_str()) / 1e6, 0.0002);
    }
    close(pipeFd[0]);
    if (!finished) {
      ++inside;
    }
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the writer failed itself";
    if (HasFailure()) break;

    const bool cutOff = !JournalHoldsNothing(os::test::ReadWholeFile(journal));
    if (stayOpen) {
      // The watcher's next lock finds the journal before it reads anything.
      watcher->DiskMgr().SetTableLock(static_cast<uint32_t>(id), kLockTypeRead);
      if (cutOff) ++byLock;
      watcher->DiskMgr().ReleaseTableLock(static_cast<uint32_t>(id));
      watcher->DiskMgr().TavFile().CacheMgr().ClearCache();
    } else {
      watcher = std::make_unique<TTestDatabaseFile>(path, false);
    }
    if (cutOff) ++restored;
    EXPECT_TRUE(JournalHoldsNothing(os::test::ReadWholeFile(journal)))
        << "the cut-off commit is still there";
    {
      auto c = OpenStoredTable(watcher->Tables(), "T", id, kFields, kIndexes);
      const TRows now = ReadRows(*c);
      const TRows& expect = KeysOf(now) == KeysOf(after) ? after : rows;
      if (finished) {
        EXPECT_EQ(KeysOf(now), KeysOf(after)) << "a finished commit was lost";
      }
      EXPECT_EQ(KeysOf(now), KeysOf(expect)) << "neither the state before nor after the commit";
      EXPECT_TRUE(now == expect) << "a BLOB was torn";
      EXPECT_EQ(CheckIndexesAgree(*c), "");
      rows = expect;
      // The next writer's work goes through.
      watcher->DiskMgr().DiskStartTransaction();
      watcher->DiskMgr().SetTableLock(static_cast<uint32_t>(id), kLockTypeWrite);
      InsertRow(*c, nextId, 10);
      watcher->DiskMgr().DiskCommit();
      rows[nextId++] = 10;
    }
    EXPECT_EQ(ReadMapImage(path, 4096).error, "");
    watcher.reset();
    ++runs;
    if (HasFailure()) break;
  }
  RecordProperty("runs", runs);
  RecordProperty("killed_inside", inside);
  RecordProperty("restored", restored);
  RecordProperty("restored_by_a_lock", byLock);
  EXPECT_GE(runs, 100);
  EXPECT_GE(restored, 10) << "too few kills landed inside a commit's writes";
  EXPECT_GT(byLock, 0);
}

// ---- several writers, killed at random ----

constexpr int32_t kWorkerRange = 1000000;

// A worker's own record of its transactions, one line each step:
// "B <n> <ids added> / <ids deleted>" before the commit, "C" after it, "A"
// when it gave up and rolled back, and after a restart "R 1" or "R 0" for
// whether the transaction it was killed in is in the database.
struct TWorkerStep {
  std::vector<int32_t> Added, Deleted;
};

std::string StepLine(const TWorkerStep& step) {
  std::string line = "B";
  for (int32_t a : step.Added) line += " " + std::to_string(a);
  line += " /";
  for (int32_t d : step.Deleted) line += " " + std::to_string(d);
  return line + "\n";
}

// Replays a record: the ids it says are committed, the transaction left
// open at its end (if any), and how many transactions a kill cut short.
struct TReplay {
  std::set<int32_t> Ids;
  std::optional<TWorkerStep> Open;
  int Resolved = 0;
  bool Torn = false;
};

TReplay Replay(const std::string& text) {
  TReplay r;
  std::istringstream in(text);
  std::string line;
  auto apply = [&] {
    for (int32_t a : r.Open->Added) r.Ids.insert(a);
    for (int32_t d : r.Open->Deleted) r.Ids.erase(d);
  };
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    if (line[0] == 'B') {
      TWorkerStep step;
      std::istringstream words(line.substr(1));
      std::string w;
      bool deleted = false;
      while (words >> w) {
        if (w == "/")
          deleted = true;
        else
          (deleted ? step.Deleted : step.Added).push_back(std::stoi(w));
      }
      r.Open = step;
    } else if (line[0] == 'C' || line == "R 1") {
      if (r.Open) apply();
      if (line[0] == 'R') ++r.Resolved;
      r.Open.reset();
    } else if (line[0] == 'A' || line == "R 0") {
      if (line[0] == 'R') ++r.Resolved;
      r.Open.reset();
    } else if (line == "TORN") {
      r.Torn = true;
    }
  }
  return r;
}

// Whether the database holds the transaction whole (1), not at all (0), or
// part of it (-1).
int Landed(const TWorkerStep& step, const std::set<int32_t>& ids) {
  bool all = true, none = true;
  for (int32_t a : step.Added) (ids.count(a) ? none : all) = false;
  for (int32_t d : step.Deleted) (ids.count(d) ? all : none) = false;
  if (all) return 1;
  if (none) return 0;
  return -1;
}

std::set<int32_t> WorkerIds(TTableConnection& c, int worker) {
  std::set<int32_t> ids;
  for (int32_t x : Ids(c))
    if (x / kWorkerRange == worker + 1) ids.insert(x);
  return ids;
}

void AppendLine(int fd, const std::string& line) {
  if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) _exit(6);
}

// A writer process: picks up where its record says it was, then runs
// transactions until it is killed.
void RunWorkerOnce(const std::string& path, int32_t table, int worker,
                   const std::string& recordPath, uint32_t seed, int commitFd) {
  {
    const std::string before = os::test::ReadWholeFile(recordPath);
    const int fd = ::open(recordPath.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (fd < 0) _exit(8);
    TTestDatabaseFile db(path, false);
    db.DiskMgr().SetLockRetryCount(400);
    db.DiskMgr().SetLockRetryInterval(2);
    TDiskMgr& disk = db.DiskMgr();
    const auto id = static_cast<uint32_t>(table);
    std::mt19937 rng(seed);
    auto c = OpenStoredTable(db.Tables(), "T", table, kFields, kIndexes);
    disk.SetTableLock(id, kLockTypeRead);
    disk.TavFile().CacheMgr().ClearCache();
    std::set<int32_t> mine = WorkerIds(*c, worker);
    disk.ReleaseTableLock(id);
    TReplay replay = Replay(before);
    if (replay.Open) {
      const int landed = Landed(*replay.Open, mine);
      AppendLine(fd, landed == 1 ? "R 1\n" : landed == 0 ? "R 0\n" : "TORN\n");
      if (landed < 0) _exit(7);
    }
    int32_t next = (worker + 1) * kWorkerRange + 1;
    for (int32_t x : replay.Ids) next = std::max(next, x + 1);
    if (!before.empty() && replay.Open)
      for (int32_t x : replay.Open->Added) next = std::max(next, x + 1);
    for (;;) {
      TWorkerStep step;
      const int adds = 1 + static_cast<int>(rng() % 30);
      for (int i = 0; i < adds; ++i) step.Added.push_back(next++);
      std::vector<int32_t> pool(mine.begin(), mine.end());
      std::shuffle(pool.begin(), pool.end(), rng);
      pool.resize(std::min<size_t>(pool.size(), rng() % 12));
      step.Deleted = pool;
      AppendLine(fd, StepLine(step));
      try {
        TDiskTransaction tx(disk);
        disk.SetTableLock(id, kLockTypeWrite);
        // Nothing of this transaction is cached yet; what is, another
        // writer may have changed.
        disk.TavFile().CacheMgr().ClearCache();
        for (int32_t d : step.Deleted)
          for (uint32_t a : c->Find("ById", host::Variant(d))) c->Delete(a);
        for (int32_t a : step.Added) InsertRow(*c, a, static_cast<size_t>(a % 700));
        // Tells the supervisor, who may aim a kill at the commit.
        (void)!write(commitFd, "c", 1);
        tx.Commit();
        AppendLine(fd, "C\n");
        for (int32_t a : step.Added) mine.insert(a);
        for (int32_t d : step.Deleted) mine.erase(d);
      } catch (const ETavDatabaseError&) {
        // Another writer held the table too long: given up and rolled back.
        AppendLine(fd, "A\n");
        c = OpenStoredTable(db.Tables(), "T", table, kFields, kIndexes);
      }
    }
  }
}

[[noreturn]] void RunWorker(const std::string& path, int32_t table, int worker,
                            const std::string& recordPath, uint32_t seed, int commitFd) {
  try {
    for (;;) {
      try {
        RunWorkerOnce(path, table, worker, recordPath, seed, commitFd);
      } catch (const ETavDatabaseError& e) {
        // Opening meets the other writers' locks too: start again.
        if (e.ErrorCode() != 10249) throw;
        SleepMicros(2000);
      }
    }
  } catch (const ETavDatabaseError& e) {
    std::fprintf(stderr, "worker %d: %d %s\n", worker, e.ErrorCode(), e.Message().c_str());
    _exit(3);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "worker %d: %s\n", worker, e.what());
    _exit(3);
  } catch (...) {
    _exit(3);
  }
}

TEST(KilledWriter, SeveralWritersKilledAtRandomLoseNothingCommitted) {
  os::test::TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  const std::string path = dir / "stress.tav";
  const int32_t table = CreateFilledTable(path, 100);
  constexpr int kWorkers = 3;
  std::vector<pid_t> pids(kWorkers, 0);
  std::vector<int> commitFds(kWorkers, -1);
  std::vector<std::string> records;
  for (int w = 0; w < kWorkers; ++w)
    records.push_back(dir / ("worker" + std::to_string(w) + ".txt"));
  std::mt19937 rng(7);
  auto launch = [&](int w) {
    const uint32_t seed = static_cast<uint32_t>(rng());
    int fds[2];
    if (pipe2(fds, O_NONBLOCK) != 0) return;
    const pid_t pid = fork();
    if (pid == 0) {
      close(fds[0]);
      RunWorker(path, table, w, records[w], seed, fds[1]);
    }
    close(fds[1]);
    if (commitFds[w] >= 0) close(commitFds[w]);
    commitFds[w] = fds[0];
    pids[w] = pid;
  };
  for (int w = 0; w < kWorkers; ++w) launch(w);
  int kills = 0, failures = 0, fullJournal = 0;
  std::string how;
  const std::string journal = GetJournalFileName(path);
  const auto start = TClockType::now();
  while (Since(start) < 12) {
    const int w = static_cast<int>(rng() % kWorkers);
    if (kills % 2 == 0) {
      SleepMicros(20000 + static_cast<long>(rng() % 130000));
    } else {
      // Aimed: the worker's next commit, a moment after it begins.
      char drain[256];
      while (read(commitFds[w], drain, sizeof drain) > 0) {
      }
      ReadByte(commitFds[w], 500);
      SleepMicros(static_cast<long>(rng() % 3000));
    }
    kill(pids[w], SIGKILL);
    int status = 0;
    waitpid(pids[w], &status, 0);
    if (!(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)) {
      ++failures;
      how += " exit " + std::to_string(WEXITSTATUS(status));
    }
    ++kills;
    // A commit, this one's or another's, was writing when the kill struck.
    if (!JournalHoldsNothing(os::test::ReadWholeFile(journal))) ++fullJournal;
    launch(w);
  }
  for (int w = 0; w < kWorkers; ++w) {
    kill(pids[w], SIGKILL);
    close(commitFds[w]);
    int status = 0;
    waitpid(pids[w], &status, 0);
    if (!(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)) ++failures;
  }
  EXPECT_EQ(failures, 0) << "a worker stopped by itself (a torn transaction or an error):" << how;

  TTestDatabaseFile db(path, false);
  auto c = OpenStoredTable(db.Tables(), "T", table, kFields, kIndexes);
  EXPECT_EQ(CheckIndexesAgree(*c), "");
  int resolved = 0, committed = 0;
  for (int w = 0; w < kWorkers; ++w) {
    SCOPED_TRACE("worker " + std::to_string(w));
    const std::string text = os::test::ReadWholeFile(records[w]);
    TReplay replay = Replay(text);
    EXPECT_FALSE(replay.Torn);
    const std::set<int32_t> ids = WorkerIds(*c, w);
    if (replay.Open) {
      const int landed = Landed(*replay.Open, ids);
      EXPECT_NE(landed, -1) << "the last transaction is in the database in part";
      if (landed == 1)
        for (int32_t a : replay.Open->Added) replay.Ids.insert(a);
      if (landed == 1)
        for (int32_t d : replay.Open->Deleted) replay.Ids.erase(d);
    }
    EXPECT_EQ(ids, replay.Ids) << "the database and the worker's record disagree";
    resolved += replay.Resolved;
    for (size_t at = text.find("\nC"); at != std::string::npos; at = text.find("\nC", at + 1))
      ++committed;
  }
  for (int x = 0; x < 100; ++x) EXPECT_EQ(c->Find("ById", host::Variant(x)).size(), 1u);
  c.reset();
  EXPECT_EQ(ReadMapImage(path, 4096).error, "");
  RecordProperty("kills", kills);
  RecordProperty("killed_in_a_transaction", resolved);
  RecordProperty("committed", committed);
  RecordProperty("kills_while_a_journal_was_full", fullJournal);
  EXPECT_GT(committed, 20);
  EXPECT_GT(resolved, 5) << "too few kills landed inside transactions";
}

}  // namespace
}  // namespace tav::test
