// INSERT ... SELECT into tables whose pages are stored scrambled or
// enciphered: the statement's run of inserts changes index leaves its
// transaction already changed where they are held, and what reaches the
// file is the same table a plain insert stores. A rollback leaves the table
// as it was; a commit is read whole by another process; a run stopped by a
// key collision inside the application's transaction and then committed
// leaves every index sound.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "engine/components/tav_table.h"
#include "engine/query/exec/tav_query.h"
#include "engine/storage/base/tav_error_codes.h"
#include "engine/storage/table/table_def.h"
#include "engine/storage/testing/btree_check.h"
#include "engine/storage/testing/engine_error_test_support.h"
#include "engine/storage/testing/lock_test_support.h"
#include "host/db/field_defs.h"
#include "host/db/fields.h"
#include "host/db/index_defs.h"
#include "host/rtl/variant.h"
#include "os/testing/test_support.h"
#include "sql_session_test_support.h"

namespace tav::test {
namespace {

constexpr int kSourceRows = 1500;
constexpr char kKey[] = "Runs-Key-2207";

// A connection to the file, which is encrypted under kKey.
void Connect(TTavDataBase& db, const std::string& path) {
  db.SetDataBaseName(path);
  db.SetMasterKey(kKey);
  db.SetLockRetryMaximum(200);
  db.SetLockRetryInterval(1);
  db.Open();
}

// Long keys, so that the index holds three levels.
std::string KeyOf(int i) {
  std::string s = std::to_string(100000 + i);
  return "key" + s + std::string(120, static_cast<char>('a' + i % 26));
}

std::unique_ptr<TTavTable> OpenTable(TTavDataBase& db, const std::string& name, const std::string& index) {
  auto t = std::make_unique<TTavTable>(nullptr);
  t->SetDataBase(&db);
  t->SetTableName(name);
  t->SetIndexName(index);
  t->Open();
  return t;
}

void Exec(TTavDataBase& db, const std::string& sql) {
  TTavQuery q(nullptr);
  q.SetDataBase(&db);
  q.SetSQLText(sql);
  q.ExecSQL();
}

// Table `name` holds exactly Src's rows with K below 3 * count, as Src
// holds them: each found by S with its K (every seventh), walked in K
// order by K's index, and every index sound. "" when so.
std::string CheckTarget(TTavDataBase& db, const std::string& name, int count) {
  std::unique_ptr<TTavTable> t = OpenTable(db, name, "byS");
  if (t->RecordCount() != count)
    return "record count " + std::to_string(t->RecordCount()) + ", expected " + std::to_string(count);
  for (int i = 0; i < count; i += 7) {
    if (!t->FindKey({host::Variant(KeyOf(i))})) return "key " + std::to_string(i) + " not found";
    if (t->FieldByName("K")->AsInteger() != i * 3) return "key " + std::to_string(i) + ": wrong K";
  }
  std::unique_ptr<TTavTable> byK = OpenTable(db, name, "byK");
  int walked = 0, last = -1;
  for (byK->First(); !byK->Eof(); byK->Next(), ++walked) {
    const int k = byK->FieldByName("K")->AsInteger();
    if (k < last) return "byK out of order at " + std::to_string(k);
    last = k;
  }
  if (walked != count) return "byK walks " + std::to_string(walked) + " rows";
  return DamagedIndex(*t);
}

class EncryptedTableRunsTest : public ::testing::TestWithParam<TEncryptionLevel> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.Ok());
    path_ = dir_ / "runs.tav";
    {
      TTavDataBase creator(nullptr);
      creator.SetDataBaseName(path_);
      creator.SetUseEncryption(true);
      creator.SetMasterKey(kKey);
      creator.CreateDatabase();
    }
    Connect(db_, path_);
    for (const char* name : {"Src", "T"}) {
      TTavTable t(nullptr);
      t.SetDataBase(&db_);
      t.SetTableName(name);
      if (std::string(name) == "T") t.SetEncryptionLevel(GetParam());
      t.FieldDefs().Add("N", host::ftAutoInc);
      t.FieldDefs().Add("S", host::ftString, 140);
      t.FieldDefs().Add("K", host::ftInteger);
      t.IndexDefs().Add("pk", "N", host::TIndexOptions{host::ixPrimary, host::ixUnique});
      if (std::string(name) == "T") {
        t.IndexDefs().Add("byS", "S", host::TIndexOptions{host::ixUnique});
        t.IndexDefs().Add("byK", "K", host::TIndexOptions{});
      }
      t.CreateTable();
    }
    std::unique_ptr<TTavTable> src = OpenTable(db_, "Src", "pk");
    db_.StartTransaction();
    // In an order of their own, so that the run inserts all over the index.
    for (int j = 0; j < kSourceRows; ++j) {
      const int i = (j * 7919) % kSourceRows;
      src->Append();
      src->FieldByName("S")->SetAsString(KeyOf(i));
      src->FieldByName("K")->SetAsInteger(i * 3);
      src->Post();
    }
    db_.Commit();
  }

  os::test::TTempDir dir_;
  std::string path_;
  TTavDataBase db_{nullptr};
};

TEST_P(EncryptedTableRunsTest, RunsOfInsertsStoreTheTableWholeOrNotAtAll) {
  // Taken back inside the application's transaction.
  db_.StartTransaction();
  Exec(db_, "INSERT INTO T (S, K) SELECT S, K FROM Src");
  EXPECT_EQ(CheckTarget(db_, "T", kSourceRows), "") << "inside the transaction";
  db_.Rollback();
  EXPECT_EQ(CheckTarget(db_, "T", 0), "");

  // Committed: another process reads all of it.
  Exec(db_, "INSERT INTO T (S, K) SELECT S, K FROM Src WHERE K < 2400");
  EXPECT_EQ(CheckTarget(db_, "T", 800), "");
  TChild reader([&](TChildSide&) {
    TTavDataBase other(nullptr);
    Connect(other, path_);
    return CheckTarget(other, "T", 800).empty() ? 0 : 1;
  });
  ASSERT_TRUE(reader.Started());
  EXPECT_EQ(reader.Wait(), 0);

  // The rest, colliding on its last rows inside the application's
  // transaction: the rows before the collision are committed, sound.
  db_.StartTransaction();
  EXPECT_EQ(ErrorCodeOf([&] { Exec(db_, "INSERT INTO T (S, K) SELECT S, K FROM Src WHERE K >= 2100"); }),
            kKeyViolation);
  Exec(db_, "DELETE FROM T");
  Exec(db_, "INSERT INTO T (S, K) SELECT S, K FROM Src");
  db_.Commit();
  EXPECT_EQ(CheckTarget(db_, "T", kSourceRows), "");
  TChild again([&](TChildSide&) {
    TTavDataBase other(nullptr);
    Connect(other, path_);
    return CheckTarget(other, "T", kSourceRows).empty() ? 0 : 1;
  });
  ASSERT_TRUE(again.Started());
  EXPECT_EQ(again.Wait(), 0);
}

INSTANTIATE_TEST_SUITE_P(Levels, EncryptedTableRunsTest,
                         ::testing::Values(encNone, encWeak, encStrong),
                         [](const ::testing::TestParamInfo<TEncryptionLevel>& info) {
                           return info.param == encNone ? std::string("Plain")
                                  : info.param == encWeak ? std::string("Scrambled")
                                                          : std::string("Enciphered");
                         });

}  // namespace
}  // namespace tav::test
