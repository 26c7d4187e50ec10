// Datasets of one connection on one table while one of them holds the
// table lock across calls (Locked): the holder sees every write of the
// others before its next use, its own writes are seen by them, and giving
// the lock back leaves the header and every index as the writes made them.
#include "engine/components/tav_table.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/storage/index/index_mgr.h"
#include "engine/storage/testing/btree_check.h"
#include "engine/storage/testing/engine_error_test_support.h"
#include "host/db/field_defs.h"
#include "host/db/fields.h"
#include "host/db/index_defs.h"
#include "os/testing/test_support.h"

namespace tav {
namespace {

// A table "L" on disk or in memory: ID integer (primary, unique), Grp
// integer with an index that holds duplicates, Name a string.
class HeldLockTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    disk_ = GetParam();
    if (disk_) {
      ASSERT_TRUE(dir_.Ok());
      db_.SetDataBaseName(dir_ / "held.tav");
      db_.CreateDatabase();
    } else {
      db_.SetDataBaseName(kMemoryDataBaseName);
    }
    db_.Open();
    a_ = Make();
    a_->FieldDefs().Add("ID", host::ftInteger, 0, true);
    a_->FieldDefs().Add("Grp", host::ftInteger);
    a_->FieldDefs().Add("Name", host::ftString, 16);
    a_->IndexDefs().Add("pk", "ID", host::TIndexOptions{host::ixPrimary, host::ixUnique});
    a_->IndexDefs().Add("byGrp", "Grp", host::TIndexOptions{});
    a_->CreateTable();
    a_->Open();
    b_ = Make();
    b_->Open();
  }
  void TearDown() override {
    b_.reset();
    a_.reset();
    db_.Close();
  }

  std::unique_ptr<TTavTable> Make() {
    auto t = std::make_unique<TTavTable>(nullptr);
    t->SetDataBase(&db_);
    t->SetMemory(!disk_);
    t->SetTableName("L");
    t->SetIndexName("pk");
    return t;
  }

  static int32_t GrpOf(int32_t id) { return id % 7; }
  static std::string NameOf(int32_t id) { return "n" + std::to_string(id); }

  void Append(TTavTable& t, int32_t id) {
    t.Append();
    t.FieldByName("ID")->SetAsInteger(id);
    t.FieldByName("Grp")->SetAsInteger(GrpOf(id));
    t.FieldByName("Name")->SetAsString(NameOf(id));
    t.Post();
    model_[id] = GrpOf(id);
  }
  void AppendRun(TTavTable& t, int32_t from, int32_t to) {
    for (int32_t id = from; id <= to; ++id) Append(t, id);
  }
  // The record `id` gets the key `to` (its Grp and Name follow the key).
  void EditKey(TTavTable& t, int32_t id, int32_t to) {
    ASSERT_TRUE(t.FindKey({id})) << id;
    t.Edit();
    t.FieldByName("ID")->SetAsInteger(to);
    t.FieldByName("Grp")->SetAsInteger(GrpOf(to));
    t.FieldByName("Name")->SetAsString(NameOf(to));
    t.Post();
    model_.erase(id);
    model_[to] = GrpOf(to);
  }
  void Delete(TTavTable& t, int32_t id) {
    ASSERT_TRUE(t.FindKey({id})) << id;
    t.Delete();
    model_.erase(id);
  }

  // What `t` reads is the model: the count, a walk along the primary index
  // in key order, a key search for every record (and misses for keys not
  // there), a walk along the Grp index in its order; every index tree of
  // the dataset is sound and holds one entry per record.
  void Verify(TTavTable& t, const std::string& what) {
    SCOPED_TRACE(what);
    ASSERT_EQ(t.RecordCount(), static_cast<int>(model_.size()));
    std::vector<int32_t> walked, expected;
    for (t.First(); !t.Eof(); t.Next()) walked.push_back(t.FieldByName("ID")->AsInteger());
    for (const auto& [id, grp] : model_) expected.push_back(id);
    ASSERT_EQ(walked, expected);
    for (const auto& [id, grp] : model_) {
      ASSERT_TRUE(t.FindKey({id})) << id;
      ASSERT_EQ(t.FieldByName("ID")->AsInteger(), id);
      ASSERT_EQ(t.FieldByName("Grp")->AsInteger(), grp) << id;
      ASSERT_EQ(t.FieldByName("Name")->AsString(), NameOf(id)) << id;
    }
    for (int32_t missing : {0, -5, 99, 100000}) {
      if (!model_.count(missing)) {
        EXPECT_FALSE(t.FindKey({missing})) << missing;
      }
    }
    t.SetIndexName("byGrp");
    int32_t lastGrp = -1;
    size_t seen = 0;
    for (t.First(); !t.Eof(); t.Next(), ++seen) {
      const int32_t grp = t.FieldByName("Grp")->AsInteger();
      ASSERT_LE(lastGrp, grp);
      lastGrp = grp;
    }
    EXPECT_EQ(seen, model_.size());
    t.SetIndexName("pk");
    for (int i = 0; i < t.IndexManager().Count(); ++i) {
      TIndexItem& item = *t.IndexManager().Items(i);
      const test::TTreeCheckResult r = test::CheckTree(item.Tree(), item.Unique() || item.Primary());
      ASSERT_TRUE(r.Ok()) << item.IndexName() << ": " << r.Error;
      EXPECT_EQ(r.Addresses.size(), model_.size()) << item.IndexName();
    }
  }

  // Gives back `t`'s lock, then checks what both datasets, a dataset
  // opened now and (on disk) one of a new connection to the file read.
  void ReleaseAndVerify(TTavTable& t) {
    ASSERT_NO_THROW(t.SetLocked(false));
    EXPECT_FALSE(t.Locked());
    for (TTavTable* u : {a_.get(), b_.get()}) {
      ASSERT_NO_THROW(u->Refresh());
      Verify(*u, u == a_.get() ? "first after release" : "second after release");
    }
    std::unique_ptr<TTavTable> c = Make();
    c->Open();
    Verify(*c, "opened after release");
    c.reset();
    if (!disk_) return;
    b_.reset();
    a_.reset();
    db_.Close();
    db_.Open();
    a_ = Make();
    a_->Open();
    Verify(*a_, "after the file was opened again");
  }

  bool disk_ = false;
  os::test::TTempDir dir_;
  TTavDataBase db_{nullptr};
  std::unique_ptr<TTavTable> a_, b_;
  std::map<int32_t, int32_t> model_;  // ID -> Grp
};

// The other dataset's inserts split the trees under the holder's feet; the
// holder's next insert goes into the trees as they are now.
TEST_P(HeldLockTest, InsertsByAnotherDatasetReachTheHolder) {
  AppendRun(*a_, 1, 5);
  a_->SetLocked(true);
  ASSERT_TRUE(a_->WriteLocked());
  AppendRun(*b_, 100, 399);
  Append(*a_, 6);
  EXPECT_TRUE(a_->WriteLocked());
  Verify(*a_, "holder");
  Verify(*b_, "writer");
  // A write by the other after the holder's last call, then the release.
  AppendRun(*b_, 400, 449);
  ReleaseAndVerify(*a_);
}

// Key edits move entries across the trees: the holder finds each record
// under its new key, and its own edits land in the trees the other changed.
TEST_P(HeldLockTest, KeyEditsByAnotherDatasetReachTheHolder) {
  AppendRun(*a_, 1, 5);
  AppendRun(*b_, 100, 399);
  a_->SetLocked(true);
  for (int32_t id = 100; id <= 399; id += 2) EditKey(*b_, id, id + 1000);
  Verify(*a_, "holder after the other's edits");
  EditKey(*a_, 1, 5000);
  EditKey(*a_, 101, 5001);
  Append(*a_, 7);
  Verify(*b_, "writer after the holder's edits");
  for (int32_t id = 103; id <= 199; id += 2) EditKey(*b_, id, id + 3000);
  ReleaseAndVerify(*a_);
}

// Deletes shrink the trees and free record blocks: the holder's inserts
// after them reuse those blocks, and the other's inserts after the
// holder's neither reuse a block the holder took nor lose one it freed.
TEST_P(HeldLockTest, DeletesByAnotherDatasetReachTheHolder) {
  AppendRun(*a_, 1, 5);
  AppendRun(*b_, 100, 399);
  a_->SetLocked(true);
  for (int32_t id = 100; id <= 349; ++id) Delete(*b_, id);
  Verify(*a_, "holder after the other's deletes");
  AppendRun(*a_, 400, 449);
  Delete(*a_, 2);
  Delete(*a_, 360);
  AppendRun(*b_, 500, 529);
  Verify(*a_, "holder after the other's inserts");
  Verify(*b_, "writer");
  for (int32_t id = 500; id <= 529; ++id) Delete(*b_, id);
  ReleaseAndVerify(*a_);
}

// Both datasets hold the lock and take turns writing: each sees the
// other's writes, and the two releases leave the table sound.
TEST_P(HeldLockTest, TwoHoldersTakingTurns) {
  AppendRun(*a_, 1, 5);
  a_->SetLocked(true);
  b_->SetLocked(true);
  AppendRun(*b_, 100, 299);
  AppendRun(*a_, 6, 60);
  for (int32_t id = 100; id <= 199; ++id) Delete(*b_, id);
  EditKey(*a_, 250, 7000);
  AppendRun(*b_, 300, 399);
  Verify(*a_, "first holder");
  Verify(*b_, "second holder");
  for (int32_t id = 6; id <= 40; ++id) Delete(*a_, id);
  ASSERT_NO_THROW(b_->SetLocked(false));
  EXPECT_FALSE(b_->Locked());
  EXPECT_TRUE(a_->Locked());
  Verify(*b_, "second after its release");
  ReleaseAndVerify(*a_);
}

// The other dataset only reads (taking and giving back its own lock): the
// holder keeps the table and writes on, and on disk another connection
// stays out until the holder lets go.
TEST_P(HeldLockTest, ReadsByAnotherDatasetLeaveTheHoldersLock) {
  AppendRun(*a_, 1, 50);
  a_->SetLocked(true);
  Delete(*a_, 10);
  b_->Refresh();
  Verify(*b_, "reader");
  EXPECT_TRUE(a_->WriteLocked());
  AppendRun(*a_, 60, 80);
  b_->Refresh();
  Verify(*b_, "reader after the holder's inserts");
  if (disk_) {
    TTavDataBase other(nullptr);
    other.SetDataBaseName(dir_ / "held.tav");
    other.SetLockRetryMaximum(2);
    other.SetLockRetryInterval(1);
    other.Open();
    TTavTable t(nullptr);
    t.SetDataBase(&other);
    t.SetTableName("L");
    EXPECT_EQ(test::ErrorCodeOf([&] { t.Open(); }), 10249);
    a_->SetLocked(false);
    t.Open();
    EXPECT_EQ(t.RecordCount(), static_cast<int>(model_.size()));
    t.Close();
    other.Close();
    a_->SetLocked(true);
  }
  Append(*a_, 90);
  ReleaseAndVerify(*a_);
}

// On disk inside a transaction: the holder's header goes with the commit,
// holding the other's writes too; a rollback takes back both.
TEST_P(HeldLockTest, ATransactionCommitsOrTakesBackBothDatasetsWrites) {
  if (!disk_) GTEST_SKIP() << "transactions are a disk database's";
  AppendRun(*a_, 1, 5);
  const std::map<int32_t, int32_t> before = model_;
  db_.StartTransaction();
  a_->SetLocked(true);
  AppendRun(*b_, 100, 299);
  Append(*a_, 6);
  for (int32_t id = 100; id <= 150; ++id) Delete(*b_, id);
  db_.Rollback();
  model_ = before;
  EXPECT_FALSE(a_->Locked());
  Verify(*a_, "first after the rollback");
  Verify(*b_, "second after the rollback");
  db_.StartTransaction();
  a_->SetLocked(true);
  AppendRun(*b_, 100, 299);
  Append(*a_, 6);
  for (int32_t id = 100; id <= 150; ++id) Delete(*b_, id);
  EditKey(*a_, 200, 900);
  db_.Commit();
  EXPECT_FALSE(a_->Locked());
  a_->SetLocked(true);
  ReleaseAndVerify(*a_);
}

// A run of records added without their keys under the held lock, then
// indexed at once: the other dataset writes after the run and the holder
// after that, each into the trees the other left, and every reader finds
// every record of the run.
TEST_P(HeldLockTest, AnUnkeyedRunUnderTheHeldLockReachesTheOthers) {
  AppendRun(*a_, 1, 5);
  a_->SetLocked(true);
  ASSERT_TRUE(a_->WriteLocked());
  for (int32_t id = 1000; id < 1300; ++id) {
    a_->InitializeNewRecord(a_->RecordBuffer(), false);
    a_->DataSetSetFieldDataAsVariant(0, id);
    a_->DataSetSetFieldDataAsVariant(1, GrpOf(id));
    a_->DataSetSetFieldDataAsVariant(2, NameOf(id));
    a_->AddRecordUnkeyed();
    model_[id] = GrpOf(id);
  }
  a_->EndUnkeyedRun();
  AppendRun(*b_, 100, 199);
  Append(*a_, 6);
  ASSERT_NO_THROW(a_->Refresh());
  Verify(*a_, "holder");
  ASSERT_NO_THROW(b_->Refresh());
  Verify(*b_, "writer");
  ReleaseAndVerify(*a_);
}

INSTANTIATE_TEST_SUITE_P(DiskAndMemory, HeldLockTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Disk" : "Memory"; });

}  // namespace
}  // namespace tav
