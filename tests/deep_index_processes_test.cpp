// Searches through an index several levels deep, with more inner nodes on
// each level than a tree keeps between its searches, while another process
// splits and merges them: whatever inner nodes the searching connection
// kept from its earlier searches, every key is found where it is now, with
// its value and its record number, and no key that is gone is found.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/components/tav_table.h"
#include "engine/storage/testing/btree_check.h"
#include "engine/storage/testing/lock_test_support.h"
#include "host/db/field_defs.h"
#include "host/db/fields.h"
#include "host/db/index_defs.h"
#include "host/rtl/variant.h"
#include "os/testing/test_support.h"
#include "sql_session_test_support.h"

namespace tav::test {
namespace {

// Keys of two text fields, the longest key an index takes: eight or so to
// an index page, so that a few thousand rows make a tree four levels deep
// with more inner nodes above the leaves than a tree keeps.
std::string KeyOf(int i) {
  std::string s = std::to_string(100000 + i);
  return "k" + s + std::string(226, static_cast<char>('a' + i % 26));
}
constexpr const char* kParts[] = {"S1", "S2"};

std::vector<host::Variant> KeyValues(int i) {
  std::vector<host::Variant> v;
  for (int p = 0; p < 2; ++p) v.push_back(host::Variant(KeyOf(i) + std::to_string(p)));
  return v;
}

void SetKey(TTavTable& t, int i) {
  for (int p = 0; p < 2; ++p) t.FieldByName(kParts[p])->SetAsString(KeyOf(i) + std::to_string(p));
}

using TModel = std::map<std::string, int32_t>;  // K by key

std::unique_ptr<TTavDataBase> Connect(const std::string& path) {
  auto db = std::make_unique<TTavDataBase>(nullptr);
  db->SetDataBaseName(path);
  db->SetLockRetryMaximum(400);
  db->SetLockRetryInterval(1);
  db->Open();
  return db;
}

std::unique_ptr<TTavTable> OpenT(TTavDataBase& db) {
  auto t = std::make_unique<TTavTable>(nullptr);
  t->SetDataBase(&db);
  t->SetTableName("T");
  t->SetIndexName("byS");
  t->Open();
  return t;
}

// Searches for every key in [0, limit) in an order that turns from one
// end of the index to the other: found exactly when the model has it, with
// its K and its rank as record number; then the row count is the model's.
// "" when so.
std::string CheckSearches(TTavTable& t, const TModel& model, int limit) {
  for (int j = 0; j < limit; ++j) {
    const int i = j % 2 == 0 ? j / 2 : limit - 1 - j / 2;
    const std::string key = KeyOf(i);
    const auto it = model.find(key);
    const bool found = t.FindKey(KeyValues(i));
    if (found != (it != model.end())) return "key " + std::to_string(i) + (found ? " found" : " not found");
    if (!found) continue;
    if (t.FieldByName("K")->AsInteger() != it->second) return "key " + std::to_string(i) + ": wrong K";
    const int rank = static_cast<int>(std::distance(model.begin(), it)) + 1;
    if (t.RecNo() != rank)
      return "key " + std::to_string(i) + ": record number " + std::to_string(t.RecNo()) + ", expected " +
             std::to_string(rank);
  }
  // Counted once the searches have read the table as it now stands.
  if (t.RecordCount() != static_cast<int>(model.size()))
    return "record count " + std::to_string(t.RecordCount()) + ", expected " + std::to_string(model.size());
  return "";
}

TEST(DeepIndexProcesses, SearchesFollowAnotherProcessesSplitsAndMerges) {
  os::test::TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  const std::string path = dir / "deep.tav";
  CreateDatabaseFile(path);
  constexpr int kKeys = 4800;
  TModel model;
  {
    std::unique_ptr<TTavDataBase> db = Connect(path);
    TTavTable t(nullptr);
    t.SetDataBase(db.get());
    t.SetTableName("T");
    t.FieldDefs().Add("N", host::ftAutoInc);
    for (const char* part : kParts) t.FieldDefs().Add(part, host::ftString, 240);
    t.FieldDefs().Add("K", host::ftInteger);
    t.IndexDefs().Add("pk", "N", host::TIndexOptions{host::ixPrimary, host::ixUnique});
    t.IndexDefs().Add("byS", "S1;S2", host::TIndexOptions{host::ixUnique});
    t.CreateTable();
    std::unique_ptr<TTavTable> w = OpenT(*db);
    db->StartTransaction();
    for (int i = 0; i < kKeys; i += 2) {
      w->Append();
      SetKey(*w, i);
      w->FieldByName("K")->SetAsInteger(i);
      w->Post();
      model[KeyOf(i)] = i;
    }
    db->Commit();
    w->ReadLockTable();
    TIndexItem& byS = *w->IndexManager().Items(1);
    EXPECT_GE(byS.Tree().Depth(), 4u) << "a deep tree";
    w->UnlockTable();
  }
  std::unique_ptr<TTavDataBase> db = Connect(path);
  std::unique_ptr<TTavTable> t = OpenT(*db);
  ASSERT_EQ(CheckSearches(*t, model, kKeys), "");
  // Each round another process takes away a stretch of keys (merging the
  // nodes that held them) and fills another (splitting those); this
  // connection then searches everything again.
  for (int round = 0; round < 4; ++round) {
    const int dropFrom = (round * 1300) % kKeys, dropTo = dropFrom + 900;
    const int fillFrom = (round * 1300 + 2400) % kKeys, fillTo = fillFrom + 700;
    TChild other([&](TChildSide&) {
      std::unique_ptr<TTavDataBase> o = Connect(path);
      std::unique_ptr<TTavTable> w = OpenT(*o);
      o->StartTransaction();
      for (int i = dropFrom; i < dropTo; ++i)
        if (w->FindKey(KeyValues(i))) w->Delete();
      for (int i = fillFrom; i < fillTo; ++i) {
        if (w->FindKey(KeyValues(i))) continue;
        w->Append();
        SetKey(*w, i);
        w->FieldByName("K")->SetAsInteger(i + 100000 * (round + 1));
        w->Post();
      }
      o->Commit();
      return 0;
    });
    ASSERT_TRUE(other.Started());
    ASSERT_EQ(other.Wait(), 0);
    for (int i = dropFrom; i < dropTo; ++i) model.erase(KeyOf(i));
    for (int i = fillFrom; i < fillTo; ++i)
      if (!model.count(KeyOf(i))) model[KeyOf(i)] = i + 100000 * (round + 1);
    ASSERT_EQ(CheckSearches(*t, model, kKeys), "") << "round " << round;
  }
  t->ReadLockTable();
  for (int i = 0; i < t->IndexManager().Count(); ++i) {
    TIndexItem& item = *t->IndexManager().Items(i);
    const TTreeCheckResult r = CheckTree(item.Tree(), true);
    EXPECT_TRUE(r.Ok()) << item.IndexName() << ": " << r.Error;
  }
  t->UnlockTable();
}

}  // namespace
}  // namespace tav::test
