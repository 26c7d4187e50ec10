// The fault-injection harness of the storage engine. A database keeps its
// bytes in the in-memory twin of os/testing (its locks and lock file stay on
// real files in a scratch folder); an operation runs inside a transaction
// while the twin fails on cue, and the harness checks what every case must
// show:
//  - the call raises the engine's error (a fault that struck and was not
//    reported is a failure reported as success);
//  - the connection stays usable: a fault before the commit wrote anything
//    is rolled back by the transaction guard and the operation, run again,
//    succeeds; a failed commit is committed again and succeeds;
//  - nothing is held afterwards: no lock, header lock or transaction, and a
//    second connection can take the header and a table write lock;
//  - the file read back is the last committed state, byte for byte: the
//    state before the operation after a rollback, the state a clean run
//    leaves after a successful retry.
// A crash after the n-th write is the one fault without a retry: the
// connection is dropped, the "machine restarts" and the file is opened
// again, which takes back a commit cut off in the journal: the file must be
// the state before the commit (or, crashed after its last write, before or
// after). The journal's bytes live in a second twin that stops with the
// first (TCrashLinkedFile). A power loss (TPowerLossFile) drops what was
// not flushed, or any part of it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "engine/storage/base/tav_errors.h"
#include "engine/storage/file/disk_mgr.h"
#include "engine/storage/testing/disk_test_support.h"
#include "engine/storage/testing/table_test_support.h"
#include "os/testing/mem_file.h"
#include "os/testing/test_support.h"

namespace tav::test {

// A second file of the machine whose crash `machine` (the database's twin)
// carries: once it has stopped, writes and cuts here are dropped too.
class TCrashLinkedFile final : public os::TFileIO {
 public:
  TCrashLinkedFile(os::test::TMemFile& file, const os::test::TMemFile& machine)
      : file_(file), machine_(machine) {}
  int64_t Read(uint64_t offset, void* buffer, size_t count) override {
    return file_.Read(offset, buffer, count);
  }
  int64_t Write(uint64_t offset, const void* buffer, size_t count) override {
    if (machine_.Crashed()) return static_cast<int64_t>(count);
    return file_.Write(offset, buffer, count);
  }
  int64_t Size() override { return file_.Size(); }
  bool SetSize(uint64_t size) override { return machine_.Crashed() || file_.SetSize(size); }
  bool Flush() override { return file_.Flush(); }

 private:
  os::test::TMemFile& file_;
  const os::test::TMemFile& machine_;
};

// The writes of all files of a machine that can lose power, counted: after
// the CutAt-th the power is gone and nothing more happens.
struct TPowerMachine {
  uint64_t Writes = 0;
  uint64_t CutAt = UINT64_MAX;
  bool Dead() const { return Writes >= CutAt; }
};

// A file whose writes reach the device (`device`, a twin) only when
// flushed, as with a drive's and a system's caches. LosePower keeps what was
// flushed and, of the writes since, any subset chosen by `rng`, in order.
class TPowerLossFile final : public os::TFileIO {
 public:
  TPowerLossFile(os::test::TMemFile& device, TPowerMachine& machine)
      : device_(device), machine_(machine) {}
  // Starts from what the device holds.
  void Load() {
    now_ = device_.Contents();
    pending_.clear();
  }
  int64_t Read(uint64_t offset, void* buffer, size_t count) override {
    if (offset >= now_.size()) return 0;
    const size_t n = std::min<size_t>(count, now_.size() - offset);
    std::memcpy(buffer, now_.data() + offset, n);
    return static_cast<int64_t>(n);
  }
  int64_t Write(uint64_t offset, const void* buffer, size_t count) override {
    if (machine_.Dead()) return static_cast<int64_t>(count);
    ++machine_.Writes;
    TOp op{offset, std::string(static_cast<const char*>(buffer), count), false};
    Apply(now_, op);
    pending_.push_back(std::move(op));
    return static_cast<int64_t>(count);
  }
  int64_t Size() override { return static_cast<int64_t>(now_.size()); }
  bool SetSize(uint64_t size) override {
    if (machine_.Dead()) return true;
    ++machine_.Writes;
    TOp op{size, std::string(), true};
    Apply(now_, op);
    pending_.push_back(std::move(op));
    return true;
  }
  bool Flush() override {
    if (machine_.Dead()) return true;
    device_.SetContents(now_);
    pending_.clear();
    return true;
  }
  void LosePower(std::mt19937& rng) {
    std::string kept = device_.Contents();
    for (const TOp& op : pending_)
      if (rng() & 1) Apply(kept, op);
    device_.SetContents(kept);
    Load();
  }

 private:
  struct TOp {
    uint64_t Offset;  // the new size of a cut
    std::string Bytes;
    bool Cut;
  };
  static void Apply(std::string& s, const TOp& op) {
    if (op.Cut) {
      s.resize(static_cast<size_t>(op.Offset), '\0');
      return;
    }
    if (op.Offset + op.Bytes.size() > s.size())
      s.resize(static_cast<size_t>(op.Offset + op.Bytes.size()), '\0');
    std::memcpy(s.data() + op.Offset, op.Bytes.data(), op.Bytes.size());
  }
  os::test::TMemFile& device_;
  TPowerMachine& machine_;
  std::string now_;
  std::vector<TOp> pending_;
};

// One database on the twin with its user tables, and what an operation's
// setup wants to hand the operation (page addresses, table ids).
class TFaultWorld {
 public:
  TFaultWorld()
      : path_(dir_ / "faults.tav"),
        journal_link_(journal_, data_),
        data_power_(data_, power_),
        journal_power_(journal_, power_) {}
  TFaultWorld(const TFaultWorld&) = delete;
  TFaultWorld& operator=(const TFaultWorld&) = delete;

  os::test::TMemFile& Data() { return data_; }
  os::test::TMemFile& Journal() { return journal_; }
  // Opens go through the power-losing files (after a Load of each) while on.
  void SetPowerLossMode(bool on) { power_mode_ = on; }
  TPowerMachine& Power() { return power_; }
  void LosePower(std::mt19937& rng) {
    data_power_.LosePower(rng);
    journal_power_.LosePower(rng);
  }
  TTestDatabaseFile& Db() { return *db_; }
  TDiskMgr& Disk() { return db_->DiskMgr(); }
  TDiskTableDefMgr& Tables() { return db_->Tables(); }
  bool IsOpen() const { return db_ != nullptr; }

  void Create() {
    db_.reset();
    db_ = std::make_unique<TTestDatabaseFile>(path_, true, 4096, DataIO(), JournalIO());
  }
  void Open() {
    db_.reset();
    db_ = std::make_unique<TTestDatabaseFile>(path_, false, 4096, DataIO(), JournalIO());
  }
  // Closes quietly (a crashed connection's last writes go nowhere).
  void Close() { db_.reset(); }

  // What the connection holds: the disk manager's locks and transaction
  // (HeldByDiskMgr), and table headers left open; empty when nothing.
  std::string Held() {
    std::string held = HeldByDiskMgr(Disk());
    if (Tables().OwnHeaderMgr() && Tables().OwnHeaderMgr()->Count() != 0)
      held += "open table headers; ";
    return held;
  }

  // Whether another connection can take the header write lock and the write
  // lock of table `tableID`; empty when it can.
  std::string OthersCanLock(uint32_t tableID = 1) {
    TDiskMgr other;
    other.SetDataFile(DataIO());
    other.SetJournalDataFile(JournalIO());
    other.SetFileName(path_);
    other.SetPageSize(4096);
    other.SetLockRetryCount(1);
    other.SetLockRetryInterval(1);
    try {
      other.Open();
      other.SetHeaderWriteLock();
      other.ReleaseHeaderLock();
      other.SetTableLock(tableID, kLockTypeWrite);
      other.ReleaseTableLock(tableID);
      other.Close();
    } catch (const ETavDatabaseError& e) {
      return "another connection: " + e.Message();
    }
    return std::string();
  }

  // Free for the setup to leave what the operation needs.
  std::vector<uint32_t> Addresses;
  int32_t TableID = 0;

 private:
  os::TFileIO* DataIO() {
    if (!power_mode_) return &data_;
    if (!db_) data_power_.Load();
    return &data_power_;
  }
  os::TFileIO* JournalIO() {
    if (!power_mode_) return &journal_link_;
    if (!db_) journal_power_.Load();
    return &journal_power_;
  }

  os::test::TTempDir dir_;
  std::string path_;
  os::test::TMemFile data_;
  os::test::TMemFile journal_;
  TCrashLinkedFile journal_link_;
  TPowerMachine power_;
  TPowerLossFile data_power_;
  TPowerLossFile journal_power_;
  bool power_mode_ = false;
  std::unique_ptr<TTestDatabaseFile> db_;
};

// One operation of the matrix.
struct TFaultOperation {
  const char* Name;
  // Builds the committed state the operation starts from, on a new world.
  std::function<void(TFaultWorld&)> Setup;
  // The operation, inside a transaction the harness holds.
  std::function<void(TFaultWorld&)> Run;
  // Checks a reopened database beyond its bytes; empty when sound.
  std::function<std::string(TFaultWorld&)> Check;
  // Whether, run without a transaction, the operation orders its writes so
  // that a fault which tears no page (anything but a short write) leaves a
  // sound file it can run again on. Operations of several steps (a record
  // and its keys, a restructure, a delete of a table) promise nothing
  // without a transaction: that is what transactions are for.
  bool SoundWithoutTransaction = false;
};

// What a clean run of an operation does.
struct TFaultReference {
  std::string Before;  // the bytes the operation starts from
  std::string After;   // the bytes a clean run leaves
  uint64_t Reads = 0;
  uint64_t Writes = 0;
  uint64_t Flushes = 0;
};

// The call points to try out of `count`: every one up to `limit`, else
// `limit` of them spread evenly, the first and the last included.
inline std::vector<uint64_t> FaultPoints(uint64_t count, uint64_t limit = 40) {
  std::vector<uint64_t> points;
  if (count <= limit) {
    for (uint64_t n = 1; n <= count; ++n) points.push_back(n);
    return points;
  }
  for (uint64_t i = 0; i < limit; ++i) points.push_back(1 + i * (count - 1) / (limit - 1));
  return points;
}

// Runs the operation in a transaction guard and commits; the engine error's
// code (0 for none). Any other exception fails the test.
inline int RunInTransaction(TFaultWorld& world, const TFaultOperation& op,
                            std::optional<TDiskTransaction>& tx) {
  try {
    tx.emplace(world.Disk());
    op.Run(world);
    tx->Commit();
  } catch (const ETavDatabaseError& e) {
    return e.ErrorCode();
  } catch (const std::exception& e) {
    ADD_FAILURE() << "not an engine error: " << e.what();
    return -1;
  }
  return 0;
}

// A clean run of the operation, in a transaction or (`transaction` false)
// without one.
inline TFaultReference MakeFaultReference(TFaultWorld& world, const TFaultOperation& op,
                                          bool transaction = true) {
  TFaultReference ref;
  world.Journal().SetContents(std::string());
  world.Create();
  op.Setup(world);
  world.Close();
  ref.Before = world.Data().Contents();
  world.Open();
  world.Data().ResetCounters();
  std::optional<TDiskTransaction> tx;
  if (transaction)
    EXPECT_EQ(RunInTransaction(world, op, tx), 0) << "the operation fails without a fault";
  else
    op.Run(world);
  ref.Reads = world.Data().Reads();
  ref.Writes = world.Data().Writes();
  ref.Flushes = world.Data().Flushes();
  tx.reset();
  world.Close();
  ref.After = world.Data().Contents();
  world.Open();
  EXPECT_EQ(op.Check(world), "") << "after a clean run";
  world.Close();
  return ref;
}

// A file that may be damaged must open and be read, or be refused with an
// engine error, never crash a reader.
inline void OpenAndCheckDamaged(TFaultWorld& world, const TFaultOperation& op) {
  try {
    world.Open();
    (void)op.Check(world);
  } catch (const ETavDatabaseError&) {
  }
  world.Close();
}

// What a run of the matrix found, for the test's record.
struct TFaultTally {
  int Cases = 0;
  int RolledBack = 0;
  int CommitRetried = 0;
  int RestoredAfterCrash = 0;
};

// One case: `kind` at the n-th call, then the checks the header lists.
inline void RunFaultCase(TFaultWorld& world, const TFaultOperation& op, const TFaultReference& ref,
                         os::test::TFileFaultKind kind, uint64_t n, TFaultTally& tally) {
  SCOPED_TRACE(std::string(op.Name) + ", " + os::test::FileFaultName(kind) + " at " +
               std::to_string(n));
  ++tally.Cases;
  world.Data().SetContents(ref.Before);
  world.Journal().SetContents(std::string());
  world.Open();
  world.Data().ResetCounters();
  world.Data().Inject(kind, n);
  std::optional<TDiskTransaction> tx;
  const int code = RunInTransaction(world, op, tx);
  const bool fired = world.Data().Fired();

  if (kind == os::test::fkCrash) {
    // The process is gone: what it did after the crash never reached the
    // device. Nothing is checked of the dead connection; the next open
    // takes back what its commit had begun.
    tx.reset();
    world.Close();
    world.Data().Heal();
    const bool full = !JournalHoldsNothing(world.Journal().Contents());
    world.Open();
    EXPECT_EQ(world.Held(), "");
    EXPECT_TRUE(JournalHoldsNothing(world.Journal().Contents()))
        << "the journal outlives the recovery";
    world.Close();
    const std::string& now = world.Data().Contents();
    if (full) ++tally.RestoredAfterCrash;
    if (n > ref.Writes) {
      EXPECT_TRUE(now == ref.After) << "a crash after the commit lost some of it";
    } else if (n == ref.Writes) {
      // Every write landed; the journal may not have been emptied.
      EXPECT_TRUE(now == ref.Before || now == ref.After) << "a crash at the end tore the commit";
    } else {
      EXPECT_TRUE(now == ref.Before) << "a crash inside the commit was not taken back";
    }
    world.Open();
    EXPECT_EQ(op.Check(world), "");
    EXPECT_EQ(world.OthersCanLock(), "");
    world.Close();
    return;
  }

  // A fault that has not struck must not strike in the checks below.
  world.Data().Heal();
  if (!fired) {
    EXPECT_EQ(code, 0) << "no fault struck, yet the operation failed";
  } else {
    EXPECT_NE(code, 0) << "the fault struck and the operation reported success";
  }
  if (code != 0) {
    const TFileTransState state = world.Disk().TavFile().TransactionState();
    if (state == ftsFailedCommit) {
      // Committing again writes what is still pending.
      ++tally.CommitRetried;
      EXPECT_EQ(ErrorCodeOf([&] { tx->Commit(); }), 0) << "the retried commit fails";
    } else {
      // Nothing reached the file: the guard rolls back, the file is the last
      // committed state, and the operation runs again.
      ++tally.RolledBack;
      EXPECT_EQ(state, ftsOpen);
      tx.reset();
      EXPECT_EQ(world.Held(), "") << "after the rollback";
      EXPECT_EQ(world.OthersCanLock(), "");
      EXPECT_TRUE(world.Data().Contents() == ref.Before) << "the rollback left the file changed";
      std::optional<TDiskTransaction> again;
      EXPECT_EQ(RunInTransaction(world, op, again), 0) << "the operation fails when run again";
    }
  }
  tx.reset();
  EXPECT_EQ(world.Held(), "") << "after the commit";
  world.Close();
  EXPECT_TRUE(world.Data().Contents() == ref.After) << "the file is not the committed state";
  world.Open();
  EXPECT_EQ(op.Check(world), "");
  world.Close();
}

// The operation run without a transaction, each write reaching the file at
// once. There is no earlier state to go back to, so every case checks that
// the call raised, that nothing is held, and that the file still opens (or is
// refused with an engine error) and does not crash a reader. Where the
// operation promises it (SoundWithoutTransaction) and the fault tore no page,
// the file must also be sound, and the operation must succeed when run
// again.
inline void RunDirectFaultCase(TFaultWorld& world, const TFaultOperation& op,
                               const TFaultReference& ref, os::test::TFileFaultKind kind,
                               uint64_t n) {
  SCOPED_TRACE(std::string(op.Name) + " without a transaction, " + os::test::FileFaultName(kind) +
               " at " + std::to_string(n));
  world.Data().SetContents(ref.Before);
  world.Open();
  world.Data().ResetCounters();
  world.Data().Inject(kind, n);
  int code = 0;
  try {
    op.Run(world);
  } catch (const ETavDatabaseError& e) {
    code = e.ErrorCode();
  } catch (const std::exception& e) {
    ADD_FAILURE() << "not an engine error: " << e.what();
  }
  const bool fired = world.Data().Fired();
  world.Data().Heal();
  if (fired)
    EXPECT_NE(code, 0) << "the fault struck and the operation reported success";
  else
    EXPECT_EQ(code, 0) << "no fault struck, yet the operation failed";
  EXPECT_EQ(world.Held(), "");
  EXPECT_EQ(world.OthersCanLock(), "");
  world.Close();
  const bool sound = op.SoundWithoutTransaction && kind != os::test::fkShortWrite;
  if (!sound) {
    OpenAndCheckDamaged(world, op);
    return;
  }
  world.Open();
  EXPECT_EQ(op.Check(world), "") << "after the failed operation";
  if (code != 0) {
    std::string text;
    EXPECT_EQ(ErrorCodeOf([&] { op.Run(world); }, &text), 0)
        << "the operation fails when run again: " << text;
    EXPECT_EQ(world.Held(), "");
    world.Close();
    world.Open();
    EXPECT_EQ(op.Check(world), "") << "after the operation ran again";
  }
  world.Close();
}

// A failed commit rolled back instead of committed again: the rollback puts
// back from the journal what the commit had written, lets go of everything,
// and leaves the state before the transaction.
inline void RunRollbackAfterFailedCommit(TFaultWorld& world, const TFaultOperation& op,
                                         const TFaultReference& ref, uint64_t n) {
  SCOPED_TRACE(std::string(op.Name) + ", rollback after a commit failing at write " +
               std::to_string(n));
  world.Data().SetContents(ref.Before);
  world.Journal().SetContents(std::string());
  world.Open();
  world.Data().ResetCounters();
  world.Data().Inject(os::test::fkWriteError, n);
  std::optional<TDiskTransaction> tx;
  EXPECT_NE(RunInTransaction(world, op, tx), 0);
  world.Data().Heal();
  EXPECT_EQ(world.Disk().TavFile().TransactionState(), ftsFailedCommit);
  EXPECT_EQ(ErrorCodeOf([&] { tx->Rollback(); }), 0);
  EXPECT_EQ(world.Disk().TavFile().TransactionState(), ftsNone);
  EXPECT_EQ(world.Held(), "");
  EXPECT_EQ(world.OthersCanLock(), "");
  EXPECT_TRUE(JournalHoldsNothing(world.Journal().Contents()));
  world.Close();
  EXPECT_TRUE(world.Data().Contents() == ref.Before) << "the rollback left part of the commit";
}

// A commit made durable (ForceToDisk) while the power goes after the k-th
// write of the machine (the database's and the journal's), each file
// keeping what was flushed and any part of what was not: reopened, the
// database is the state before the commit or after it.
inline void RunPowerLossCase(TFaultWorld& world, const TFaultOperation& op,
                             const TFaultReference& ref, uint64_t k, uint32_t seed, int& before,
                             int& after) {
  SCOPED_TRACE(std::string(op.Name) + ", power lost after write " + std::to_string(k) + ", seed " +
               std::to_string(seed));
  world.Data().SetContents(ref.Before);
  world.Journal().SetContents(std::string());
  world.SetPowerLossMode(true);
  world.Open();
  world.Power().Writes = 0;
  world.Power().CutAt = k;
  std::optional<TDiskTransaction> tx;
  try {
    tx.emplace(world.Disk());
    op.Run(world);
    world.Disk().ForceToDisk();
    tx->Commit();
  } catch (const ETavDatabaseError&) {
  }
  tx.reset();
  world.Close();
  std::mt19937 rng(seed);
  world.LosePower(rng);
  world.Power().CutAt = UINT64_MAX;
  world.SetPowerLossMode(false);
  world.Open();
  world.Close();
  const std::string& now = world.Data().Contents();
  if (now == ref.Before)
    ++before;
  else if (now == ref.After)
    ++after;
  else
    ADD_FAILURE() << "the power loss tore the commit";
  EXPECT_TRUE(JournalHoldsNothing(world.Journal().Contents()));
}

}  // namespace tav::test
