// A database opened exclusively takes and gives back its locks without the
// system and trusts its own journal and file length; none of that may change
// what a caller sees. The same random work through two datasets of one
// connection (inserts, edits left open and posted, cancels, deletes, table
// locks, transactions committed and rolled back) is run on a shared and on
// an exclusive connection, and every step's result and error must agree.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/components/tav_base_table.h"
#include "engine/components/tav_database.h"
#include "engine/storage/base/tav_errors.h"
#include "engine/storage/file/disk_mgr.h"
#include "engine/storage/lock/lock_mgr.h"
#include "host/db/field_defs.h"
#include "host/db/fields.h"
#include "host/db/index_defs.h"
#include "os/testing/test_support.h"

namespace tav {
namespace {

int ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const ETavDatabaseError& e) {
    return e.ErrorCode();
  }
  return 0;
}

class ExclusiveConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.Ok()); }

  std::unique_ptr<TTavDataBase> Connect(const std::string& path, bool exclusive) {
    auto db = std::make_unique<TTavDataBase>(nullptr);
    db->SetDataBaseName(path);
    db->SetLockRetryMaximum(2);
    db->SetLockRetryInterval(1);
    db->SetExclusive(exclusive);
    return db;
  }

  static std::unique_ptr<TTavBaseTable> Table(TTavDataBase& db) {
    auto t = std::make_unique<TTavBaseTable>(nullptr);
    t->SetDataBase(&db);
    t->SetTableName("T");
    return t;
  }

  // What the dataset reads, first to last, as one line.
  static std::string Rows(TTavBaseTable& t) {
    std::string out;
    for (t.First(); !t.Eof(); t.Next())
      out += t.FieldByName("ID")->AsString() + "=" + t.FieldByName("Name")->AsString() + "/" +
             t.FieldByName("Memo")->AsString().substr(0, 8) + ";";
    return out;
  }

  // The trace of one run: each step's error and what both datasets read.
  std::vector<std::string> Run(const std::string& name, bool exclusive) {
    const std::string path = dir_ / name;
    {
      auto db = Connect(path, false);
      db->CreateDatabase();
      db->Open();
      auto t = Table(*db);
      t->FieldDefs().Add("ID", host::ftInteger, 0, true);
      t->FieldDefs().Add("Name", host::ftString, 20);
      t->FieldDefs().Add("Memo", host::ftMemo);
      t->IndexDefs().Add("pk", "ID", host::TIndexOptions{host::ixPrimary, host::ixUnique});
      t->IndexDefs().Add("byName", "Name", host::TIndexOptions{host::ixCaseInsensitive});
      t->CreateTable();
    }
    auto db = Connect(path, exclusive);
    db->Open();
    EXPECT_EQ(db->DiskMgr()->Exclusive(), exclusive);
    std::unique_ptr<TTavBaseTable> sets[2] = {Table(*db), Table(*db)};
    for (auto& t : sets) t->Open();
    std::vector<std::string> trace;
    std::mt19937 rng(56);
    const char* names[] = {"anna", "Anna", "bob", "BOB", "carl"};
    for (int step = 0; step < 400; ++step) {
      TTavBaseTable& t = *sets[rng() % 2];
      const int id = static_cast<int>(rng() % 30);
      const int op = static_cast<int>(rng() % 12);
      std::string line = std::to_string(step) + " op" + std::to_string(op) + ": ";
      int code = 0;
      switch (op) {
        case 0:
        case 1:
        case 2:  // insert, posted
          code = ErrorOf([&] {
            if (t.State() != host::dsBrowse) t.Cancel();
            t.Append();
            t.FieldByName("ID")->SetAsInteger(id);
            t.FieldByName("Name")->SetAsString(names[rng() % 5]);
            if (rng() % 2) t.FieldByName("Memo")->SetAsString(std::string(rng() % 9000, 'm'));
            t.Post();
          });
          break;
        case 3:
        case 4:  // edit, left open or posted
          code = ErrorOf([&] {
            if (t.State() != host::dsBrowse) t.Cancel();
            if (!t.Locate("ID", id, {})) return;
            t.Edit();
            t.FieldByName("Name")->SetAsString(names[rng() % 5]);
            if (op == 4) t.Post();
          });
          break;
        case 5:  // a key change, which may collide
          code = ErrorOf([&] {
            if (t.State() != host::dsBrowse) t.Cancel();
            if (!t.Locate("ID", id, {})) return;
            t.Edit();
            t.FieldByName("ID")->SetAsInteger(static_cast<int>(rng() % 30));
            t.Post();
          });
          break;
        case 6:  // delete
          code = ErrorOf([&] {
            if (t.State() != host::dsBrowse) t.Cancel();
            if (t.Locate("ID", id, {})) t.Delete();
          });
          break;
        case 7:  // cancel whatever is open
          code = ErrorOf([&] {
            if (t.State() != host::dsBrowse) t.Cancel();
          });
          break;
        case 8:  // the table lock, taken or given back
          code = ErrorOf([&] { t.SetLocked(!t.Locked()); });
          break;
        case 9:
          code = ErrorOf([&] { db->StartTransaction(); });
          break;
        case 10:
          code = ErrorOf([&] { db->Commit(); });
          break;
        default:
          code = ErrorOf([&] { db->Rollback(); });
          break;
      }
      line += std::to_string(code);
      if (step % 10 == 9) {
        for (auto& s : sets) {
          const std::string rows = [&] {
            std::string r;
            const int c = ErrorOf([&] { r = Rows(*s); });
            return c ? "error " + std::to_string(c) : r;
          }();
          line += " | " + rows;
        }
      }
      trace.push_back(line);
    }
    for (auto& t : sets) {
      ErrorOf([&] {
        if (t->State() != host::dsBrowse) t->Cancel();
      });
    }
    if (db->InTransaction()) db->Rollback();
    for (auto& t : sets) t->Close();
    db->Close();
    return trace;
  }

  os::test::TTempDir dir_;
};

TEST_F(ExclusiveConnectionTest, GivesTheSameResultsAndErrorsAsASharedOne) {
  const std::vector<std::string> shared = Run("shared.tav", false);
  const std::vector<std::string> exclusive = Run("exclusive.tav", true);
  ASSERT_EQ(shared.size(), exclusive.size());
  int errors = 0;
  for (size_t i = 0; i < shared.size(); ++i) {
    ASSERT_EQ(shared[i], exclusive[i]);
    if (shared[i].find(": 0") == std::string::npos) ++errors;
  }
  // The work met the rules it is meant to test.
  EXPECT_GT(errors, 20);
}

// Another connection still cannot open a file opened exclusively, in this
// process or another, however its locks are kept.
TEST_F(ExclusiveConnectionTest, ASecondConnectionIsStillRefused) {
  const std::string path = dir_ / "alone.tav";
  auto first = Connect(path, false);
  first->CreateDatabase();
  first->SetExclusive(true);
  first->Open();
  EXPECT_TRUE(first->DiskMgr()->TableLockMgr()->HeldAlone());
  auto second = Connect(path, false);
  EXPECT_EQ(ErrorOf([&] { second->Open(); }), 8449);
  const int other = os::test::RunInChild([&] {
    auto db = Connect(path, false);
    return ErrorOf([&] { db->Open(); }) == 8449 && !db->Connected() ? 0 : 1;
  });
  EXPECT_EQ(other, 0);
  first->Close();
  second->Open();
  EXPECT_FALSE(second->DiskMgr()->TableLockMgr()->HeldAlone());
}

}  // namespace
}  // namespace tav
