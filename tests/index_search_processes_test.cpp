// Key searches of one connection while the same table changes under it:
// whatever the searching connection kept of an index from its earlier
// searches, every key is found where it is now, with its record number,
// after another process's inserts and deletes, after another process
// emptied the table and filled it again with other keys, after another
// dataset of the same connection changed it, and after its own changes
// were rolled back or failed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <chrono>
#include <map>
#include <thread>
#include <memory>
#include <string>
#include <vector>

#include "engine/components/tav_table.h"
#include "engine/query/exec/tav_query.h"
#include "engine/components/testing/memory_table_support.h"
#include "engine/storage/base/tav_error_codes.h"
#include "engine/storage/base/tav_errors.h"
#include "engine/storage/testing/btree_check.h"
#include "engine/storage/testing/engine_error_test_support.h"
#include "engine/storage/testing/lock_test_support.h"
#include "host/db/db_common.h"
#include "host/db/field_defs.h"
#include "host/db/fields.h"
#include "host/db/index_defs.h"
#include "host/rtl/variant.h"
#include "os/testing/test_support.h"
#include "sql_session_test_support.h"

namespace tav::test {
namespace {

// Long keys: about twenty to an index page, so that a table of a thousand
// rows has an index three levels deep.
std::string KeyOf(int i) {
  std::string s = std::to_string(i);
  return "key" + std::string(8 - s.size(), '0') + s + std::string(180, 'x');
}

// K of each key in the table, by key.
using TModel = std::map<std::string, int32_t>;

// One connection to the database with table "T": N auto-increment (primary
// key), S a long text (unique index "byS"), K integer (index "byK").
struct TConnection {
  std::unique_ptr<TTavDataBase> Db;
  std::unique_ptr<TTavTable> T;

  explicit TConnection(const std::string& path) {
    Db = std::make_unique<TTavDataBase>(nullptr);
    Db->SetDataBaseName(path);
    Db->SetLockRetryMaximum(200);
    Db->SetLockRetryInterval(1);
    Db->Open();
    T = NewTable();
  }
  ~TConnection() {
    T.reset();
    Db.reset();
  }
  std::unique_ptr<TTavTable> NewTable() {
    auto t = std::make_unique<TTavTable>(nullptr);
    t->SetDataBase(Db.get());
    t->SetTableName("T");
    return t;
  }
  // Opens the database again with the file to itself, T on index "byS",
  // and gives a second dataset of the table, open on the same index.
  std::unique_ptr<TTavTable> ReopenExclusive() {
    Db->Close();
    Db->SetExclusive(true);
    Db->Open();
    T->SetIndexName("byS");
    T->Open();
    std::unique_ptr<TTavTable> other = NewTable();
    other->SetIndexName("byS");
    other->Open();
    return other;
  }
};

void Append(TTavTable& t, int key, int32_t k) {
  t.Append();
  t.FieldByName("S")->SetAsString(KeyOf(key));
  t.FieldByName("K")->SetAsInteger(k);
  t.Post();
}

// Deletes the row of `key` through index byS; false when it is not there.
bool DeleteKey(TTavTable& t, int key) {
  if (!t.FindKey({host::Variant(KeyOf(key))})) return false;
  t.Delete();
  return true;
}

void CreateDatabase(const std::string& path) {
  {
    TTavDataBase creator(nullptr);
    creator.SetDataBaseName(path);
    creator.CreateDatabase();
  }
  TConnection c(path);
  c.T->FieldDefs().Add("N", host::ftAutoInc);
  c.T->FieldDefs().Add("S", host::ftString, 200);
  c.T->FieldDefs().Add("K", host::ftInteger);
  c.T->IndexDefs().Add("pk", "N", host::TIndexOptions{host::ixPrimary, host::ixUnique});
  c.T->IndexDefs().Add("byS", "S", host::TIndexOptions{host::ixUnique});
  c.T->IndexDefs().Add("byK", "K", host::TIndexOptions{});
  c.T->CreateTable();
}

// Searches for keys from both ends of `keys` in turn, so that each search
// turns to another part of the index.
std::vector<int> FromBothEnds(const std::vector<int>& keys) {
  std::vector<int> order;
  for (size_t lo = 0, hi = keys.size(); lo < hi;) {
    order.push_back(keys[lo++]);
    if (lo < hi) order.push_back(keys[--hi]);
  }
  return order;
}

// Every key of `probe` searched in index byS of the open table `t`: found
// exactly when the model has it, with its K and its place in key order as
// record number; the row count as the model's. Returns the first mismatch,
// "" when none.
std::string CheckSearches(TTavTable& t, const TModel& model, const std::vector<int>& probe) {
  if (t.RecordCount() != static_cast<int>(model.size()))
    return "record count " + std::to_string(t.RecordCount()) + ", expected " + std::to_string(model.size());
  for (int key : FromBothEnds(probe)) {
    const auto it = model.find(KeyOf(key));
    const bool found = t.FindKey({host::Variant(KeyOf(key))});
    if (found != (it != model.end())) return "key " + std::to_string(key) + (found ? " found" : " not found");
    if (!found) continue;
    if (t.FieldByName("K")->AsInteger() != it->second)
      return "key " + std::to_string(key) + ": K " + std::to_string(t.FieldByName("K")->AsInteger()) +
             ", expected " + std::to_string(it->second);
    const int rank = static_cast<int>(std::distance(model.begin(), it)) + 1;
    if (t.RecNo() != rank)
      return "key " + std::to_string(key) + ": record number " + std::to_string(t.RecNo()) + ", expected " +
             std::to_string(rank);
  }
  return "";
}

// Every index of the table sound and holding exactly its rows.
void ExpectIndexesSound(TTavTable& t) { EXPECT_EQ(DamagedIndex(t), ""); }

std::vector<int> Range(int from, int to, int step = 1) {
  std::vector<int> v;
  for (int i = from; i < to; i += step) v.push_back(i);
  return v;
}

class IndexSearchProcessesTest : public ::testing::Test {
 protected:
  static constexpr int kRows = 1200;

  void SetUp() override {
    ASSERT_TRUE(dir_.Ok());
    path_ = dir_ / "search.tav";
    CreateDatabase(path_);
    TConnection c(path_);
    c.T->Open();
    c.Db->StartTransaction();
    for (int i = 0; i < kRows; ++i) {
      Append(*c.T, 2 * i, i);
      model_[KeyOf(2 * i)] = i;
    }
    c.Db->Commit();
  }

  // Runs `body` on a connection of another process and waits for it.
  void InAnotherProcess(const std::function<void(TTavTable&)>& body) {
    TChild child([&](TChildSide&) {
      TConnection c(path_);
      c.T->SetIndexName("byS");
      c.T->Open();
      c.Db->StartTransaction();
      body(*c.T);
      c.Db->Commit();
      return 0;
    });
    ASSERT_TRUE(child.Started());
    ASSERT_EQ(child.Wait(), 0);
  }

  os::test::TTempDir dir_;
  std::string path_;
  TModel model_;
};

TEST_F(IndexSearchProcessesTest, SearchesFollowAnotherProcessesChanges) {
  TConnection a(path_);
  a.T->SetIndexName("byS");
  a.T->Open();
  {
    TIndexItem* byS = a.T->IndexManager().CurrentIndex();
    a.T->ReadLockTable();
    ASSERT_GE(byS->Tree().Depth(), 3u);
    a.T->UnlockTable();
  }
  ASSERT_EQ(CheckSearches(*a.T, model_, Range(0, 2 * kRows)), "");

  // Deletes at the low end and inserts in the middle: entries move between
  // nodes and the counts above them change, while most inner blocks stay.
  InAnotherProcess([](TTavTable& t) {
    for (int i = 0; i < 300; ++i) ASSERT_TRUE(DeleteKey(t, 2 * i));
    for (int i = 600; i < 900; ++i) Append(t, 2 * i + 1, 100000 + i);
  });
  for (int i = 0; i < 300; ++i) model_.erase(KeyOf(2 * i));
  for (int i = 600; i < 900; ++i) model_[KeyOf(2 * i + 1)] = 100000 + i;
  ASSERT_EQ(CheckSearches(*a.T, model_, Range(0, 2 * kRows)), "");

  // Every row deleted and other keys added in their place: the freed index
  // blocks are taken again for other nodes.
  InAnotherProcess([](TTavTable& t) {
    for (int i = 300; i < kRows; ++i) ASSERT_TRUE(DeleteKey(t, 2 * i));
    for (int i = 600; i < 900; ++i) ASSERT_TRUE(DeleteKey(t, 2 * i + 1));
    for (int i = kRows - 1; i >= 0; --i) Append(t, 3 * i + 1, 200000 + i);
  });
  model_.clear();
  for (int i = 0; i < kRows; ++i) model_[KeyOf(3 * i + 1)] = 200000 + i;
  ASSERT_EQ(CheckSearches(*a.T, model_, Range(0, 3 * kRows)), "");

  // Emptied at once and filled again.
  InAnotherProcess([](TTavTable& t) {
    t.EmptyTable();
    for (int i = 0; i < kRows; ++i) Append(t, 5 * i + 2, 300000 + i);
  });
  model_.clear();
  for (int i = 0; i < kRows; ++i) model_[KeyOf(5 * i + 2)] = 300000 + i;
  ASSERT_EQ(CheckSearches(*a.T, model_, Range(0, 5 * kRows)), "");
  ExpectIndexesSound(*a.T);
}

TEST_F(IndexSearchProcessesTest, SearchesFollowAnotherDatasetOfTheSameConnection) {
  TConnection a(path_);
  a.T->SetIndexName("byS");
  a.T->Open();
  ASSERT_EQ(CheckSearches(*a.T, model_, Range(0, 2 * kRows)), "");
  std::unique_ptr<TTavTable> other = a.NewTable();
  other->SetIndexName("byS");
  other->Open();
  for (int i = kRows / 2; i < kRows; ++i) ASSERT_TRUE(DeleteKey(*other, 2 * i));
  for (int i = 0; i < kRows / 2; ++i) Append(*other, 2 * i + 1, 400000 + i);
  for (int i = kRows / 2; i < kRows; ++i) model_.erase(KeyOf(2 * i));
  for (int i = 0; i < kRows / 2; ++i) model_[KeyOf(2 * i + 1)] = 400000 + i;
  ASSERT_EQ(CheckSearches(*a.T, model_, Range(0, 2 * kRows)), "");
  ExpectIndexesSound(*a.T);
}

TEST_F(IndexSearchProcessesTest, SearchesAfterARollbackAndAFailedInsertFindWhatIsStored) {
  TConnection a(path_);
  a.T->SetIndexName("byS");
  a.T->Open();
  ASSERT_EQ(CheckSearches(*a.T, model_, Range(0, 2 * kRows)), "");

  // Inserts in the middle that split nodes the searches kept, searched
  // inside the transaction, then taken back.
  TModel inside = model_;
  a.Db->StartTransaction();
  for (int i = 200; i < 700; ++i) {
    Append(*a.T, 2 * i + 1, 500000 + i);
    inside[KeyOf(2 * i + 1)] = 500000 + i;
  }
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(DeleteKey(*a.T, 2 * i));
    inside.erase(KeyOf(2 * i));
  }
  ASSERT_EQ(CheckSearches(*a.T, inside, Range(0, 2 * kRows)), "");
  a.Db->Rollback();
  ASSERT_EQ(CheckSearches(*a.T, model_, Range(0, 2 * kRows)), "");

  // A key that is there already: the insert is refused and leaves nothing.
  a.T->Append();
  a.T->FieldByName("S")->SetAsString(KeyOf(2 * 500));
  a.T->FieldByName("K")->SetAsInteger(-1);
  EXPECT_EQ(ErrorCodeOf([&] { a.T->Post(); }), kKeyViolation);
  a.T->Cancel();
  ASSERT_EQ(CheckSearches(*a.T, model_, Range(0, 2 * kRows)), "");

  // The same inside a transaction after inserts that split nodes; the
  // transaction is then rolled back.
  a.Db->StartTransaction();
  for (int i = 800; i < 1000; ++i) Append(*a.T, 2 * i + 1, 600000 + i);
  a.T->Append();
  a.T->FieldByName("S")->SetAsString(KeyOf(2 * 900 + 1));
  EXPECT_EQ(ErrorCodeOf([&] { a.T->Post(); }), kKeyViolation);
  a.T->Cancel();
  a.Db->Rollback();
  ASSERT_EQ(CheckSearches(*a.T, model_, Range(0, 2 * kRows)), "");
  ExpectIndexesSound(*a.T);

  // What another process sees is what was committed.
  TChild child([&](TChildSide&) {
    TConnection c(path_);
    c.T->SetIndexName("byS");
    c.T->Open();
    return CheckSearches(*c.T, model_, Range(0, 2 * kRows)).empty() ? 0 : 1;
  });
  ASSERT_TRUE(child.Started());
  EXPECT_EQ(child.Wait(), 0);
}


// Every index made again from the records (its blocks freed and taken
// again) under one dataset of an exclusive connection, while it and another
// dataset of the connection kept inner nodes of the old trees.
TEST_F(IndexSearchProcessesTest, SearchesAfterAReIndexFindEveryKey) {
  TConnection a(path_);
  std::unique_ptr<TTavTable> other = a.ReopenExclusive();
  ASSERT_EQ(CheckSearches(*a.T, model_, Range(0, 2 * kRows)), "");
  ASSERT_EQ(CheckSearches(*other, model_, Range(0, 2 * kRows)), "");
  // Changed first, so that the rebuilt trees differ from the old ones.
  for (int i = 0; i < 400; ++i) {
    ASSERT_TRUE(DeleteKey(*other, 2 * i));
    model_.erase(KeyOf(2 * i));
  }
  for (int i = 700; i < 1000; ++i) {
    Append(*other, 2 * i + 1, 700000 + i);
    model_[KeyOf(2 * i + 1)] = 700000 + i;
  }
  ASSERT_EQ(CheckSearches(*a.T, model_, Range(0, 2 * kRows)), "");
  ASSERT_TRUE(a.T->ReIndex(false));
  ASSERT_EQ(CheckSearches(*a.T, model_, Range(0, 2 * kRows)), "");
  ASSERT_EQ(CheckSearches(*other, model_, Range(0, 2 * kRows)), "");
  ASSERT_TRUE(other->ReIndex(false));
  ASSERT_EQ(CheckSearches(*a.T, model_, Range(0, 2 * kRows)), "");
  ExpectIndexesSound(*a.T);
}

// On an exclusive connection, the row count one dataset gives follows what
// another dataset of the connection added and deleted, whether or not the
// first one moved or searched since.
TEST_F(IndexSearchProcessesTest, ARowCountFollowsAnotherDatasetOfAnExclusiveConnection) {
  TConnection a(path_);
  std::unique_ptr<TTavTable> other = a.ReopenExclusive();
  ASSERT_EQ(a.T->RecordCount(), kRows);
  Append(*other, 1, 1);
  Append(*other, 3, 3);
  EXPECT_EQ(a.T->RecordCount(), kRows + 2);
  ASSERT_TRUE(DeleteKey(*other, 0));
  EXPECT_EQ(a.T->RecordCount(), kRows + 1);
  a.T->Last();
  EXPECT_EQ(a.T->RecordCount(), kRows + 1);
  other->EmptyTable();
  EXPECT_EQ(a.T->RecordCount(), 0);
  EXPECT_EQ(other->RecordCount(), 0);
  // Its own changes as before.
  Append(*a.T, 5, 5);
  EXPECT_EQ(a.T->RecordCount(), 1);
  EXPECT_EQ(other->RecordCount(), 1);
}

// The same in transactions: a count read while another dataset's rows are
// in follows them out again when the transaction is rolled back, and the
// rows of a committed one stay counted.
TEST_F(IndexSearchProcessesTest, ARowCountOfAnExclusiveConnectionFollowsARollback) {
  TConnection a(path_);
  std::unique_ptr<TTavTable> other = a.ReopenExclusive();
  ASSERT_EQ(a.T->RecordCount(), kRows);
  a.Db->StartTransaction();
  for (int i = 0; i < 5; ++i) Append(*other, 2 * i + 1, i);
  EXPECT_EQ(a.T->RecordCount(), kRows + 5);
  a.Db->Rollback();
  EXPECT_EQ(a.T->RecordCount(), kRows);
  EXPECT_EQ(other->RecordCount(), kRows);
  a.Db->StartTransaction();
  ASSERT_TRUE(DeleteKey(*other, 0));
  EXPECT_EQ(a.T->RecordCount(), kRows - 1);
  a.Db->Rollback();
  EXPECT_EQ(a.T->RecordCount(), kRows);
  ASSERT_EQ(CheckSearches(*a.T, model_, Range(0, 20)), "");
  a.Db->StartTransaction();
  Append(*other, 7, 7);
  a.Db->Commit();
  EXPECT_EQ(a.T->RecordCount(), kRows + 1);
  EXPECT_EQ(other->RecordCount(), kRows + 1);
}

// The rows of Src (keys 2i + 1, K = 800000 + i, i < count) and, last, a row
// whose key T holds already.
void CreateSource(TConnection& a, int count) {
  std::unique_ptr<TTavTable> src = a.NewTable();
  src->SetTableName("Src");
  src->FieldDefs().Add("S", host::ftString, 200);
  src->FieldDefs().Add("K", host::ftInteger);
  src->CreateTable();
  src->Open();
  a.Db->StartTransaction();
  for (int i = 0; i < count; ++i) Append(*src, 2 * i + 1, 800000 + i);
  Append(*src, 2 * 650, -1);
  a.Db->Commit();
}

// An INSERT ... SELECT that splits many nodes of the index before its last
// row collides with a key already there is taken back whole: a dataset that
// searched the index before finds every key as it was, and the statement
// run again without the colliding row puts every row in.
TEST_F(IndexSearchProcessesTest, SearchesAfterAnInsertSelectTakenBackFindWhatIsStored) {
  TConnection a(path_);
  CreateSource(a, 700);
  a.T->SetIndexName("byS");
  a.T->Open();
  ASSERT_EQ(CheckSearches(*a.T, model_, Range(0, 2 * kRows)), "");
  TTavQuery q(nullptr);
  q.SetDataBase(a.Db.get());
  q.SetSQLText("INSERT INTO T (S, K) SELECT S, K FROM Src");
  EXPECT_EQ(ErrorCodeOf([&] { q.ExecSQL(); }), kKeyViolation);
  ASSERT_EQ(CheckSearches(*a.T, model_, Range(0, 2 * kRows)), "");
  ExpectIndexesSound(*a.T);

  // Inside the application's transaction the rows before the collision
  // stay until its rollback; the searching dataset finds them meanwhile,
  // and adds a row of its own among them.
  a.Db->StartTransaction();
  EXPECT_EQ(ErrorCodeOf([&] { q.ExecSQL(); }), kKeyViolation);
  TModel inside = model_;
  for (int i = 0; i < 700; ++i) inside[KeyOf(2 * i + 1)] = 800000 + i;
  ASSERT_EQ(CheckSearches(*a.T, inside, Range(0, 2 * kRows)), "");
  Append(*a.T, 2 * kRows + 1, -7);
  inside[KeyOf(2 * kRows + 1)] = -7;
  ASSERT_EQ(CheckSearches(*a.T, inside, Range(0, 2 * kRows + 2)), "");
  ExpectIndexesSound(*a.T);
  a.Db->Rollback();
  ASSERT_EQ(CheckSearches(*a.T, model_, Range(0, 2 * kRows + 2)), "");

  q.SetSQLText("INSERT INTO T (S, K) SELECT S, K FROM Src WHERE K >= 0");
  q.ExecSQL();
  for (int i = 0; i < 700; ++i) model_[KeyOf(2 * i + 1)] = 800000 + i;
  ASSERT_EQ(CheckSearches(*a.T, model_, Range(0, 2 * kRows)), "");
  ExpectIndexesSound(*a.T);
}

// K of key i as the writer below stores it: any record a search finds
// carries the key searched and this K, whatever stood there before.
int32_t KOf(int i) { return i * 7 + 3; }

// Another process adds and takes away pairs of keys (2j, 2j + 1), a pair in
// each transaction, while this one searches for keys all over the index:
// every record found is the one of its key, the keys the writer leaves
// alone are found exactly when they are there, the table never holds half
// a pair, and no search meets a damaged index.
TEST_F(IndexSearchProcessesTest, SearchesWhileAnotherProcessWritesFindOnlyWhatIsThere) {
  constexpr int kPairs = 900;
  {
    // Rows of the pairs of even j only, with their K.
    TConnection c(path_);
    c.T->SetIndexName("byS");
    c.T->Open();
    c.Db->StartTransaction();
    for (int i = 0; i < kRows; ++i) ASSERT_TRUE(DeleteKey(*c.T, 2 * i));
    for (int j = 0; j < kPairs; j += 2) {
      Append(*c.T, 2 * j, KOf(2 * j));
      Append(*c.T, 2 * j + 1, KOf(2 * j + 1));
    }
    c.Db->Commit();
  }
  const std::string done = dir_ / "writer.done";
  TChild writer([&](TChildSide& side) {
    TConnection c(path_);
    c.T->SetIndexName("byS");
    c.T->Open();
    side.Send(1);
    side.WaitGo();
    uint32_t seed = 12345;
    int committed = 0;
    for (int round = 0; round < 400; ++round) {
      seed = seed * 1103515245u + 12345u;
      const int j = static_cast<int>((seed >> 8) % kPairs);
      if (j % 3 == 0) continue;  // left as they are
      try {
        c.Db->StartTransaction();
        if (c.T->FindKey({host::Variant(KeyOf(2 * j))})) {
          c.T->Delete();
          if (!DeleteKey(*c.T, 2 * j + 1)) return 2;
        } else {
          Append(*c.T, 2 * j + 1, KOf(2 * j + 1));
          Append(*c.T, 2 * j, KOf(2 * j));
        }
        c.Db->Commit();
        ++committed;
      } catch (const ETavDatabaseError& e) {
        if (e.ErrorCode() != kRequestedLockNotObtained) throw;
        if (c.T->State() == host::dsInsert || c.T->State() == host::dsEdit) c.T->Cancel();
        if (c.Db->InTransaction()) c.Db->Rollback();
      }
    }
    // Told by a file: the searching side does not wait to hear it.
    os::test::WriteWholeFile(done, "done");
    side.Send(static_cast<uint64_t>(committed));
    return 0;
  });
  ASSERT_TRUE(writer.Started());
  uint64_t reply = 0;
  ASSERT_TRUE(writer.Receive(reply));

  TConnection a(path_);
  a.T->SetIndexName("byS");
  a.T->Open();
  writer.Go();
  uint32_t seed = 777;
  int searches = 0, found = 0, refused = 0, lost = 0;
  std::string fault;
  // Until the writer is done, and at least a few hundred searches.
  for (bool writing = true; fault.empty() && (writing || searches < 300);) {
    seed = seed * 1103515245u + 12345u;
    const int i = static_cast<int>((seed >> 8) % (2 * kPairs));
    try {
      ++searches;
      const bool there = a.T->FindKey({host::Variant(KeyOf(i))});
      // The writer leaves the pairs of every third j as they were.
      const int j = i / 2;
      if (j % 3 == 0 && there != (j % 2 == 0))
        fault = "untouched key " + std::to_string(i) + (there ? " found" : " not found");
      if (there) {
        ++found;
        if (a.T->FieldByName("S")->AsString() != KeyOf(i) || a.T->FieldByName("K")->AsInteger() != KOf(i))
          fault = "key " + std::to_string(i) + " found as " + a.T->FieldByName("S")->AsString().substr(0, 11) +
                  " with K " + std::to_string(a.T->FieldByName("K")->AsInteger());
      }
      if (searches % 50 == 0 && a.T->RecordCount() % 2 != 0)
        fault = "half a pair: " + std::to_string(a.T->RecordCount()) + " rows";
    } catch (const ETavDatabaseError& e) {
      if (e.ErrorCode() != kRequestedLockNotObtained) fault = "error " + std::to_string(e.ErrorCode()) + ": " + e.what();
      ++refused;
    } catch (const host::EDatabaseError& e) {
      // The record found was taken away before the cursor read it again
      // to show it: only a key the writer changes may meet that.
      if (std::string(e.what()) != host::SRecordNotFound || (i / 2) % 3 == 0)
        fault = "key " + std::to_string(i) + ": " + e.what();
      ++lost;
    }
    if (writing && searches % 20 == 0) writing = access(done.c_str(), F_OK) != 0;
  }
  EXPECT_EQ(fault, "");
  EXPECT_TRUE(writer.Receive(reply));
  EXPECT_EQ(writer.Wait(), 0);
  EXPECT_GT(reply, 0u);
  RecordProperty("searches", searches);
  RecordProperty("found", found);
  RecordProperty("refused", refused);
  RecordProperty("lost", lost);
  ExpectIndexesSound(*a.T);
}

// The same on a table in memory, whose blocks are handed out again from
// the start once it is emptied: one dataset searches while another of the
// connection changes, empties and refills the table.
// The row at each record number, asked twice (the second ask of a node's
// counts answers from the sums it kept), before and after another process
// and another dataset of the same connection moved the rows: always the
// key at that place in key order.
std::string CheckPlaces(TTavTable& t, const TModel& model) {
  std::vector<std::string> keys;
  for (const auto& [key, k] : model) keys.push_back(key);
  for (int pass = 0; pass < 2; ++pass) {
    for (size_t r = 0; r < keys.size(); r += (pass ? 13 : 29)) {
      const size_t at = pass ? keys.size() - 1 - r : r;
      t.SetRecNo(static_cast<int>(at + 1));
      if (t.FieldByName("S")->AsString() != keys[at])
        return "record number " + std::to_string(at + 1) + " shows " + t.FieldByName("S")->AsString().substr(0, 12) +
               ", expected " + keys[at].substr(0, 12);
      if (t.RecNo() != static_cast<int>(at + 1)) return "record number " + std::to_string(at + 1) + " reads back wrong";
    }
  }
  return "";
}

TEST_F(IndexSearchProcessesTest, RecordNumbersPlaceRowsAfterOthersMovedThem) {
  TConnection a(path_);
  a.T->SetIndexName("byS");
  a.T->Open();
  ASSERT_EQ(CheckPlaces(*a.T, model_), "");
  InAnotherProcess([](TTavTable& t) {
    for (int i = 100; i < 500; ++i) ASSERT_TRUE(DeleteKey(t, 2 * i));
    for (int i = 900; i < 1150; ++i) Append(t, 2 * i + 1, 100000 + i);
  });
  for (int i = 100; i < 500; ++i) model_.erase(KeyOf(2 * i));
  for (int i = 900; i < 1150; ++i) model_[KeyOf(2 * i + 1)] = 100000 + i;
  ASSERT_EQ(CheckPlaces(*a.T, model_), "");
  std::unique_ptr<TTavTable> other = a.NewTable();
  other->SetIndexName("byS");
  other->Open();
  for (int i = 0; i < 60; ++i) Append(*other, 4 * i + 1, 500000 + i);
  for (int i = 1000; i < 1100; ++i) ASSERT_TRUE(DeleteKey(*other, 2 * i));
  for (int i = 0; i < 60; ++i) model_[KeyOf(4 * i + 1)] = 500000 + i;
  for (int i = 1000; i < 1100; ++i) model_.erase(KeyOf(2 * i));
  ASSERT_EQ(CheckPlaces(*a.T, model_), "");
  ASSERT_EQ(CheckSearches(*a.T, model_, Range(0, 2 * kRows + 600)), "");
}


// An INSERT ... SELECT stopped by a key collision inside the application's
// transaction keeps the rows before it; the application commits them. What
// the statement kept of the index nodes in memory must be in the file: a
// connection of another process finds every row and every index sound.
TEST_F(IndexSearchProcessesTest, AnInsertSelectStoppedByACollisionAndCommittedLeavesSoundIndexes) {
  TConnection a(path_);
  CreateSource(a, 700);
  a.T->SetIndexName("byS");
  a.T->Open();
  TTavQuery q(nullptr);
  q.SetDataBase(a.Db.get());
  q.SetSQLText("INSERT INTO T (S, K) SELECT S, K FROM Src");
  a.Db->StartTransaction();
  EXPECT_EQ(ErrorCodeOf([&] { q.ExecSQL(); }), kKeyViolation);
  // Another dataset of the same connection, opened after the statement.
  std::unique_ptr<TTavTable> other = a.NewTable();
  other->SetIndexName("byS");
  other->Open();
  a.Db->Commit();
  for (int i = 0; i < 700; ++i) model_[KeyOf(2 * i + 1)] = 800000 + i;
  ASSERT_EQ(CheckSearches(*other, model_, Range(0, 2 * kRows)), "");
  ASSERT_EQ(CheckSearches(*a.T, model_, Range(0, 2 * kRows)), "");
  ExpectIndexesSound(*a.T);
  TChild reader([&](TChildSide&) {
    TConnection c(path_);
    c.T->SetIndexName("byS");
    c.T->Open();
    if (CheckSearches(*c.T, model_, Range(0, 2 * kRows)) != "") return 1;
    return DamagedIndex(*c.T).empty() ? 0 : 2;
  });
  ASSERT_TRUE(reader.Started());
  EXPECT_EQ(reader.Wait(), 0) << "1: a search failed, 2: an index is damaged";
  // The next statement of the same connection goes on from there.
  q.SetSQLText("INSERT INTO T (S, K) SELECT S, K + 1 FROM Src WHERE K >= 0 AND K < 800000");
  q.ExecSQL();
  Append(*a.T, 2 * kRows + 1, -7);
  model_[KeyOf(2 * kRows + 1)] = -7;
  ASSERT_EQ(CheckSearches(*other, model_, Range(0, 2 * kRows + 2)), "");
  ExpectIndexesSound(*a.T);
}

// A target that is also the statement's source, inside the application's
// transaction: the statement reads the rows that were there when it began,
// and a rollback takes back all it added.
TEST_F(IndexSearchProcessesTest, AnInsertSelectFromItsOwnTargetReadsTheRowsBeforeIt) {
  TConnection a(path_);
  a.T->SetIndexName("byS");
  a.T->Open();
  TTavQuery q(nullptr);
  q.SetDataBase(a.Db.get());
  q.SetSQLText("INSERT INTO T (S, K) SELECT S || 'z', K + 5000 FROM T WHERE K < 900");
  TModel inside = model_;
  for (int i = 0; i < 900; ++i) {
    inside[KeyOf(2 * i) + "z"] = i + 5000;
  }
  a.Db->StartTransaction();
  q.ExecSQL();
  EXPECT_EQ(q.RowsAffected(), 900);
  EXPECT_EQ(a.T->RecordCount(), static_cast<int>(inside.size()));
  std::unique_ptr<TTavTable> other = a.NewTable();
  other->SetIndexName("byS");
  other->Open();
  for (const auto& [key, k] : inside) {
    ASSERT_TRUE(other->FindKey({host::Variant(key)})) << key.substr(0, 12);
    ASSERT_EQ(other->FieldByName("K")->AsInteger(), k);
  }
  ExpectIndexesSound(*a.T);
  a.Db->Rollback();
  ASSERT_EQ(CheckSearches(*other, model_, Range(0, 2 * kRows)), "");
  ASSERT_EQ(CheckSearches(*a.T, model_, Range(0, 2 * kRows)), "");
  ExpectIndexesSound(*a.T);
  // Run again and committed: another process finds all of it.
  a.Db->StartTransaction();
  q.ExecSQL();
  a.Db->Commit();
  TChild reader([&](TChildSide&) {
    TConnection c(path_);
    c.T->SetIndexName("byS");
    c.T->Open();
    if (c.T->RecordCount() != static_cast<int>(inside.size())) return 1;
    for (const auto& [key, k] : inside)
      if (!c.T->FindKey({host::Variant(key)}) || c.T->FieldByName("K")->AsInteger() != k) return 2;
    return 0;
  });
  ASSERT_TRUE(reader.Started());
  EXPECT_EQ(reader.Wait(), 0);

  // A source whose subquery reads the target: the rows of Src not in T
  // yet (its last row is), looked up while the statement adds rows.
  CreateSource(a, 300);
  q.SetSQLText("INSERT INTO T (S, K) SELECT S, K FROM Src WHERE NOT EXISTS (SELECT * FROM T WHERE T.S = Src.S)");
  a.Db->StartTransaction();
  q.ExecSQL();
  a.Db->Commit();
  EXPECT_EQ(q.RowsAffected(), 300);
  for (int i = 0; i < 300; ++i) inside[KeyOf(2 * i + 1)] = 800000 + i;
  ASSERT_EQ(CheckSearches(*other, inside, Range(0, 2 * kRows)), "");
  ExpectIndexesSound(*a.T);
}

// A writer killed while its INSERT ... SELECT commits, at any instant: the
// next connection finds T as it was before the statement or with all of
// its rows, never part of them, and every index sound.
TEST_F(IndexSearchProcessesTest, AnInsertSelectKilledAtAnyInstantOfItsCommitLeavesAllOrNothing) {
  {
    TConnection a(path_);
    CreateSource(a, 700);
  }
  TModel after = model_;
  for (int i = 0; i < 700; ++i) after[KeyOf(2 * i + 1)] = 800000 + i;
  int before = 0, all = 0;
  for (int run = 0; run < 12; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    TChild writer([&](TChildSide& side) {
      TConnection c(path_);
      TTavQuery q(nullptr);
      q.SetDataBase(c.Db.get());
      q.SetSQLText("INSERT INTO T (S, K) SELECT S, K FROM Src WHERE K >= 0");
      c.Db->StartTransaction();
      q.ExecSQL();
      side.Send(1);
      c.Db->Commit();
      side.Send(2);
      pause();
      return 0;
    });
    ASSERT_TRUE(writer.Started());
    uint64_t stage = 0;
    ASSERT_TRUE(writer.Receive(stage));
    // From just as the commit starts to a little after it ends.
    std::this_thread::sleep_for(std::chrono::microseconds(run * 1500));
    writer.Kill();
    EXPECT_EQ(writer.Wait(), -1);
    TConnection c(path_);
    c.T->SetIndexName("byS");
    c.T->Open();
    const bool whole = c.T->RecordCount() == static_cast<int>(after.size());
    ASSERT_EQ(CheckSearches(*c.T, whole ? after : model_, Range(0, 2 * kRows)), "");
    ExpectIndexesSound(*c.T);
    if (!whole) {
      ++before;
      continue;
    }
    ++all;
    // Taken away again for the next run, by another statement.
    TTavQuery d(nullptr);
    d.SetDataBase(c.Db.get());
    d.SetSQLText("DELETE FROM T WHERE K >= 800000");
    d.ExecSQL();
    ASSERT_EQ(CheckSearches(*c.T, model_, Range(0, 2 * kRows)), "");
  }
  RecordProperty("before", before);
  RecordProperty("all", all);
  EXPECT_GT(all, 0);
}

// A writer killed in the middle of the statement itself, on its own and
// inside the application's transaction: nothing of it is in the table.
TEST_F(IndexSearchProcessesTest, AnInsertSelectKilledMidStatementLeavesNothing) {
  {
    TConnection a(path_);
    CreateSource(a, 700);
  }
  for (const char* sql : {"INSERT INTO T (S, K) SELECT S, K FROM Src WHERE K >= 0",
                          "INSERT INTO T (S, K) SELECT S || 'q', K FROM Src"}) {
    SCOPED_TRACE(sql);
    KillDuringStatement(path_, sql, 200, std::chrono::milliseconds(2));
    TConnection c(path_);
    c.T->SetIndexName("byS");
    c.T->Open();
    ASSERT_EQ(CheckSearches(*c.T, model_, Range(0, 2 * kRows)), "");
    ExpectIndexesSound(*c.T);
  }
}

// An INSERT ... SELECT whose commit cannot grow the file (the process's file
// size limit stops it part way): the statement fails, and the next
// connection, in another process, finds T as it was with every index sound
// and puts the rows in.
TEST_F(IndexSearchProcessesTest, AnInsertSelectWhoseCommitHitsTheFileSizeLimitFailsAndLeavesTheTable) {
  {
    TConnection a(path_);
    CreateSource(a, 700);
  }
  const off_t size = static_cast<off_t>(os::test::ReadWholeFile(path_).size());
  for (const bool inTransaction : {false, true}) {
    SCOPED_TRACE(inTransaction ? "in the application's transaction" : "on its own");
    TChild writer([&](TChildSide&) {
      signal(SIGXFSZ, SIG_IGN);
      TConnection c(path_);
      TTavQuery q(nullptr);
      q.SetDataBase(c.Db.get());
      q.SetSQLText("INSERT INTO T (S, K) SELECT S, K FROM Src WHERE K >= 0");
      // Room for a few pages more than the file has, not for 700 rows.
      rlimit limit{static_cast<rlim_t>(size + 16 * 4096), static_cast<rlim_t>(size + 16 * 4096)};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 5;
      try {
        if (inTransaction) c.Db->StartTransaction();
        q.ExecSQL();
        if (inTransaction) c.Db->Commit();
      } catch (const ETavDatabaseError&) {
        try {
          if (inTransaction && c.Db->InTransaction()) c.Db->Rollback();
        } catch (const ETavDatabaseError&) {
          // A rollback after a failed commit may say the file holds part of
          // it: the next opener takes it back.
        }
        return 0;
      }
      return 1;  // the statement said it succeeded
    });
    ASSERT_TRUE(writer.Started());
    ASSERT_EQ(writer.Wait(), 0) << "1: the statement reported success";
    TConnection c(path_);
    c.T->SetIndexName("byS");
    c.T->Open();
    ASSERT_EQ(CheckSearches(*c.T, model_, Range(0, 2 * kRows)), "");
    ExpectIndexesSound(*c.T);
  }
  TConnection c(path_);
  TTavQuery q(nullptr);
  q.SetDataBase(c.Db.get());
  q.SetSQLText("INSERT INTO T (S, K) SELECT S, K FROM Src WHERE K >= 0");
  q.ExecSQL();
  for (int i = 0; i < 700; ++i) model_[KeyOf(2 * i + 1)] = 800000 + i;
  c.T->SetIndexName("byS");
  c.T->Open();
  ASSERT_EQ(CheckSearches(*c.T, model_, Range(0, 2 * kRows)), "");
  ExpectIndexesSound(*c.T);
}

TEST(IndexSearchMemoryTable, SearchesFollowAnotherDatasetsEmptyingAndRefill) {
  constexpr int kCount = 1200;
  TTavDataBase db(nullptr);
  TTavTable a(nullptr), b(nullptr);
  ConnectMemory(db, a, "M");
  a.FieldDefs().Add("S", host::ftString, 200);
  a.FieldDefs().Add("K", host::ftInteger);
  a.IndexDefs().Add("byS", "S", host::TIndexOptions{host::ixUnique});
  a.CreateTable();
  a.SetIndexName("byS");
  a.Open();
  TModel model;
  for (int i = 0; i < kCount; ++i) {
    Append(a, 2 * i, i);
    model[KeyOf(2 * i)] = i;
  }
  a.ReadLockTable();
  ASSERT_GE(a.IndexManager().CurrentIndex()->Tree().Depth(), 3u);
  a.UnlockTable();
  ConnectMemory(db, b, "M");
  b.SetIndexName("byS");
  b.Open();
  ASSERT_EQ(CheckSearches(a, model, Range(0, 2 * kCount)), "");

  for (int i = 0; i < 300; ++i) {
    ASSERT_TRUE(DeleteKey(b, 2 * i));
    model.erase(KeyOf(2 * i));
  }
  for (int i = 600; i < 900; ++i) {
    Append(b, 2 * i + 1, 100000 + i);
    model[KeyOf(2 * i + 1)] = 100000 + i;
  }
  ASSERT_EQ(CheckSearches(a, model, Range(0, 2 * kCount)), "");

  b.EmptyTable();
  model.clear();
  for (int i = kCount - 1; i >= 0; --i) {
    Append(b, 3 * i + 1, 200000 + i);
    model[KeyOf(3 * i + 1)] = 200000 + i;
  }
  ASSERT_EQ(CheckSearches(a, model, Range(0, 3 * kCount)), "");

  // Taken away key by key and other keys added.
  for (int i = 0; i < kCount; ++i) ASSERT_TRUE(DeleteKey(b, 3 * i + 1));
  model.clear();
  for (int i = 0; i < kCount; ++i) {
    Append(b, 5 * i + 2, 300000 + i);
    model[KeyOf(5 * i + 2)] = 300000 + i;
  }
  ASSERT_EQ(CheckSearches(a, model, Range(0, 5 * kCount)), "");
  // And the other way round.
  a.EmptyTable();
  ASSERT_EQ(CheckSearches(b, {}, Range(0, 5 * kCount, 7)), "");
}

}  // namespace
}  // namespace tav::test
