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
// again.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/storage/base/tav_errors.h"
#include "engine/storage/file/disk_mgr.h"
#include "engine/storage/testing/disk_test_support.h"
#include "engine/storage/testing/table_test_support.h"
#include "os/testing/mem_file.h"
#include "os/testing/test_support.h"

namespace tav::test {

// One database on the twin with its user tables, and what an operation's
// setup wants to hand the operation (page addresses, table ids).
class TFaultWorld {
 public:
  TFaultWorld() : path_(dir_ / "faults.tav") {}
  TFaultWorld(const TFaultWorld&) = delete;
  TFaultWorld& operator=(const TFaultWorld&) = delete;

  os::test::TMemFile& Data() { return data_; }
  TTestDatabaseFile& Db() { return *db_; }
  TDiskMgr& Disk() { return db_->DiskMgr(); }
  TDiskTableDefMgr& Tables() { return db_->Tables(); }
  bool IsOpen() const { return db_ != nullptr; }

  void Create() {
    db_.reset();
    db_ = std::make_unique<TTestDatabaseFile>(path_, true, 4096, &data_);
  }
  void Open() {
    db_.reset();
    db_ = std::make_unique<TTestDatabaseFile>(path_, false, 4096, &data_);
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
    other.SetDataFile(&data_);
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
  os::test::TTempDir dir_;
  std::string path_;
  os::test::TMemFile data_;
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
  int TornByCrash = 0;
};

// One case: `kind` at the n-th call, then the checks the header lists.
inline void RunFaultCase(TFaultWorld& world, const TFaultOperation& op, const TFaultReference& ref,
                         os::test::TFileFaultKind kind, uint64_t n, TFaultTally& tally) {
  SCOPED_TRACE(std::string(op.Name) + ", " + os::test::FileFaultName(kind) + " at " +
               std::to_string(n));
  ++tally.Cases;
  world.Data().SetContents(ref.Before);
  world.Open();
  world.Data().ResetCounters();
  world.Data().Inject(kind, n);
  std::optional<TDiskTransaction> tx;
  const int code = RunInTransaction(world, op, tx);
  const bool fired = world.Data().Fired();

  if (kind == os::test::fkCrash) {
    // The process is gone: what it did after the crash never reached the
    // device. Nothing is checked of the dead connection.
    tx.reset();
    world.Close();
    world.Data().Heal();
    const std::string& now = world.Data().Contents();
    if (n == 0) {
      EXPECT_TRUE(now == ref.Before) << "a crash before any write changed the file";
    } else if (n >= ref.Writes) {
      EXPECT_TRUE(now == ref.After) << "a crash after the last write lost some of it";
    } else if (now != ref.Before && now != ref.After) {
      // Between the commit's first and last write the file is neither
      // state: a torn commit.
      ++tally.TornByCrash;
      OpenAndCheckDamaged(world, op);
    }
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

// A failed commit rolled back instead of committed again: the rollback says
// the file may hold part of the transaction (8450) and still lets go of
// everything.
inline void RunRollbackAfterFailedCommit(TFaultWorld& world, const TFaultOperation& op,
                                         const TFaultReference& ref, uint64_t n) {
  SCOPED_TRACE(std::string(op.Name) + ", rollback after a commit failing at write " +
               std::to_string(n));
  world.Data().SetContents(ref.Before);
  world.Open();
  world.Data().ResetCounters();
  world.Data().Inject(os::test::fkWriteError, n);
  std::optional<TDiskTransaction> tx;
  EXPECT_NE(RunInTransaction(world, op, tx), 0);
  world.Data().Heal();
  EXPECT_EQ(world.Disk().TavFile().TransactionState(), ftsFailedCommit);
  EXPECT_EQ(ErrorCodeOf([&] { tx->Rollback(); }), 8450);
  EXPECT_EQ(world.Disk().TavFile().TransactionState(), ftsNone);
  EXPECT_EQ(world.Held(), "");
  EXPECT_EQ(world.OthersCanLock(), "");
  world.Close();
}

}  // namespace tav::test
