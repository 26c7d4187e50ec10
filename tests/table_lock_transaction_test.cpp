// A table lock held across a transaction, with real processes: a commit
// carries the table header changed under the lock, and after a commit or a
// rollback the dataset knows that the lock went with it, so that another
// process appending meanwhile loses nothing and every index and the header's
// counter agree with the records.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/components/tav_table.h"
#include "engine/storage/record/io_interface.h"
#include "engine/storage/table/table_header.h"
#include "engine/storage/testing/btree_check.h"
#include "engine/storage/testing/engine_error_test_support.h"
#include "engine/storage/testing/lock_test_support.h"
#include "host/db/field_defs.h"
#include "host/db/fields.h"
#include "host/db/index_defs.h"
#include "host/rtl/list.h"
#include "os/testing/test_support.h"

namespace tav::test {
namespace {

// One connection to the database with table "T": N auto-increment (primary
// key), K integer (index "byK"), M memo.
struct TConnection {
  std::unique_ptr<TTavDataBase> Db;
  std::unique_ptr<TTavTable> T;

  explicit TConnection(const std::string& path) {
    Db = std::make_unique<TTavDataBase>(nullptr);
    Db->SetDataBaseName(path);
    Db->SetLockRetryMaximum(2);
    Db->SetLockRetryInterval(1);
    Db->Open();
    T = std::make_unique<TTavTable>(nullptr);
    T->SetDataBase(Db.get());
    T->SetTableName("T");
  }
  ~TConnection() {
    T.reset();
    Db.reset();
  }

  // Appends a row with K = k; its N.
  int32_t Append(int32_t k) {
    T->Append();
    T->FieldByName("K")->SetAsInteger(k);
    T->FieldByName("M")->SetAsString("memo " + std::to_string(k));
    T->Post();
    return T->FieldByName("N")->AsInteger();
  }
};

void CreateDatabase(const std::string& path) {
  {
    TTavDataBase creator(nullptr);
    creator.SetDataBaseName(path);
    creator.CreateDatabase();
  }
  TConnection c(path);
  c.T->FieldDefs().Add("N", host::ftAutoInc);
  c.T->FieldDefs().Add("K", host::ftInteger);
  c.T->FieldDefs().Add("M", host::ftMemo);
  c.T->IndexDefs().Add("pk", "N", host::TIndexOptions{host::ixPrimary, host::ixUnique});
  c.T->IndexDefs().Add("byK", "K", host::TIndexOptions{});
  c.T->CreateTable();
}

// Under a read lock: the live records of the record file, every index's
// tree (its rules and exactly those records), and the header's counter
// against the largest N. Returns the N of every record, each with its K.
std::multiset<std::pair<int32_t, int32_t>> CheckTableAgrees(TTavTable& t) {
  std::multiset<std::pair<int32_t, int32_t>> rows;
  t.ReadLockTable();
  std::set<uint32_t> live;
  host::TList blocks;
  t.TableDef().RecordInterface()->ListBlocks(blocks);
  std::vector<uint8_t> record(static_cast<size_t>(t.RecordBufferSize()));
  int32_t largest = 0;
  for (int i = 0; i < blocks.Count(); ++i) {
    const auto address = static_cast<uint32_t>(blocks.Items(i));
    t.ReadRecordBuffer(address, record.data());
    if (record[kRecInUseOffset] != 1) continue;
    live.insert(address);
    const host::Variant n = t.DataSetGetFieldDataFromRecBufAsVariant(record.data(), t.GetFieldNo("N"));
    const host::Variant k = t.DataSetGetFieldDataFromRecBufAsVariant(record.data(), t.GetFieldNo("K"));
    rows.insert({n.AsInteger(), k.AsInteger()});
    largest = std::max(largest, n.AsInteger());
  }
  for (int i = 0; i < t.IndexManager().Count(); ++i) {
    TIndexItem& item = *t.IndexManager().Items(i);
    const TTreeCheckResult r = CheckTree(item.Tree(), item.Unique() || item.Primary());
    EXPECT_TRUE(r.Ok()) << item.IndexName() << ": " << r.Error;
    EXPECT_EQ(std::set<uint32_t>(r.Addresses.begin(), r.Addresses.end()), live) << item.IndexName();
    EXPECT_EQ(r.Addresses.size(), live.size()) << item.IndexName();
  }
  EXPECT_EQ(static_cast<int32_t>(t.TableDef().TableHeader()->GetRecordAutoIncVal()), largest);
  t.UnlockTable();
  return rows;
}

class TableLockTransactionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.Ok());
    NewDatabase("locks.tav");
  }
  void NewDatabase(const std::string& name) {
    path_ = dir_ / name;
    CreateDatabase(path_);
  }
  const std::string& Path() const { return path_; }

  os::test::TTempDir dir_;
  std::string path_;
};

// The writer keeps the table locked, appends three rows in a transaction,
// commits and is killed at once.
TEST_F(TableLockTransactionTest, ACommitUnderATableLockCarriesTheHeaderPastTheWritersDeath) {
  TChild writer([&](TChildSide& side) {
    TConnection c(Path());
    c.T->Open();
    c.T->SetLocked(true);
    c.Db->StartTransaction();
    for (int k = 1; k <= 3; ++k) c.Append(k);
    c.Db->Commit();
    side.Send(c.T->Locked() ? 1 : 0);
    side.WaitGo();
    return 0;
  });
  ASSERT_TRUE(writer.Started());
  uint64_t locked = 9;
  ASSERT_TRUE(writer.Receive(locked));
  EXPECT_EQ(locked, 0u) << "the commit gave the lock back";
  writer.Kill();
  EXPECT_EQ(writer.Wait(), -1);

  TConnection c(Path());
  c.T->Open();
  EXPECT_EQ(CheckTableAgrees(*c.T), (std::multiset<std::pair<int32_t, int32_t>>{{1, 1}, {2, 2}, {3, 3}}));
  EXPECT_EQ(c.Append(4), 4);
  EXPECT_EQ(c.Append(5), 5);
  EXPECT_EQ(CheckTableAgrees(*c.T).size(), 5u);
}

// After the commit (or the rollback) another process appends while the
// writer still thinks it might hold the lock; the writer then locks again,
// appends once more and is killed.
TEST_F(TableLockTransactionTest, AnotherProcessAppendsBetweenTheEndOfTheTransactionAndTheNextLock) {
  for (const bool commit : {true, false}) {
    SCOPED_TRACE(commit ? "commit" : "rollback");
    NewDatabase(commit ? "commit.tav" : "rollback.tav");
    TChild writer([&](TChildSide& side) {
      TConnection c(Path());
      c.T->Open();
      c.T->SetLocked(true);
      c.Db->StartTransaction();
      for (int k = 1; k <= 3; ++k) c.Append(100 + k);
      if (commit)
        c.Db->Commit();
      else
        c.Db->Rollback();
      side.Send(c.T->Locked() ? 1 : 0);
      if (!side.WaitGo()) return 2;
      // Locked again: the header the other process wrote is read.
      c.T->SetLocked(true);
      const int32_t n = c.Append(200);
      c.T->SetLocked(false);
      side.Send(static_cast<uint64_t>(n));
      side.WaitGo();
      return 0;
    });
    ASSERT_TRUE(writer.Started());
    uint64_t locked = 9;
    ASSERT_TRUE(writer.Receive(locked)) << "the writer ended with " << writer.Wait();
    EXPECT_EQ(locked, 0u);

    TConnection other(Path());
    other.T->Open();
    const int32_t before = commit ? 3 : 0;
    int32_t n = 0;
    EXPECT_EQ(ErrorCodeOf([&] { n = other.Append(300); }), 0) << "the lock went with the transaction";
    EXPECT_EQ(n, before + 1);
    other.T->Close();

    writer.Go();
    uint64_t writerN = 0;
    ASSERT_TRUE(writer.Receive(writerN));
    EXPECT_EQ(static_cast<int32_t>(writerN), before + 2);
    writer.Kill();
    writer.Wait();

    other.T->Open();
    std::multiset<std::pair<int32_t, int32_t>> expected = {{before + 1, 300}, {before + 2, 200}};
    if (commit)
      for (int k = 1; k <= 3; ++k) expected.insert({k, 100 + k});
    EXPECT_EQ(CheckTableAgrees(*other.T), expected);
    EXPECT_EQ(other.Append(400), before + 3);
    other.T->Close();
    if (HasFailure()) return;
  }
}

// Inside one process: a dataset that keeps its lock across Commit and
// Rollback reads False afterwards, and its next write locks and reads the
// header again; a second dataset of the connection is let go as well.
TEST_F(TableLockTransactionTest, EveryDatasetOfTheConnectionDropsItsFlagsWithTheTransaction) {
  TConnection c(Path());
  c.T->Open();
  TTavTable second(nullptr);
  second.SetDataBase(c.Db.get());
  second.SetTableName("T");
  second.Open();
  for (const bool commit : {true, false}) {
    c.T->SetLocked(true);
    second.ReadLockTable();
    c.Db->StartTransaction();
    c.Append(commit ? 1 : 2);
    if (commit)
      c.Db->Commit();
    else
      c.Db->Rollback();
    EXPECT_FALSE(c.T->Locked());
    EXPECT_FALSE(second.Locked());
    EXPECT_FALSE(c.Db->TableLockExists(c.T->TableDef(), kTableReadLock));
    EXPECT_FALSE(c.Db->TableLockExists(c.T->TableDef(), kTableWriteLock));
    c.T->SetLocked(true);
    EXPECT_TRUE(c.T->Locked());
    c.T->SetLocked(false);
  }
  second.Close();
  EXPECT_EQ(CheckTableAgrees(*c.T), (std::multiset<std::pair<int32_t, int32_t>>{{1, 1}}));
  EXPECT_EQ(c.Append(3), 2);
}

}  // namespace
}  // namespace tav::test
