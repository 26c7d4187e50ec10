#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "engine/components/tav_base_table.h"
#include "engine/components/tav_table.h"
#include "engine/components/testing/filter_test_support.h"
#include "engine/components/testing/memory_table_support.h"
#include "engine/storage/base/tav_lists.h"
#include "engine/storage/testing/engine_error_test_support.h"
#include "host/db/field_defs.h"
#include "host/db/fields.h"
#include "host/db/index_defs.h"
#include "os/testing/test_support.h"

namespace tav {
namespace {

using test::ErrorCodeOf;
using test::kFilterTexts;

using TRow = test::TFilterRow;

// A memory table "Items" (ID unique, Name with a case-insensitive index,
// Code, Grp with a descending index, Grp;Name, Amount, a memo) filled and
// filtered through the host dataset.
class HostFilterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    a_ = MakeTable();
    host::TFieldDefs& f = a_->FieldDefs();
    f.Add("ID", host::ftInteger, 0, true);
    f.Add("Name", host::ftString, 12);
    f.Add("Code", host::ftString, 6);
    f.Add("Grp", host::ftInteger);
    f.Add("Amount", host::ftFloat);
    f.Add("Note", host::ftMemo);
    host::TIndexDefs& i = a_->IndexDefs();
    i.Add("pk", "ID", host::TIndexOptions{host::ixPrimary, host::ixUnique});
    i.Add("byName", "Name", host::TIndexOptions{host::ixCaseInsensitive});
    i.Add("byCode", "Code", host::TIndexOptions{});
    i.Add("byGrpDesc", "Grp", host::TIndexOptions{host::ixDescending});
    i.Add("byGrpName", "Grp;Name", host::TIndexOptions{});
    a_->CreateTable();
    a_->Open();
  }

  std::unique_ptr<TTavBaseTable> MakeTable() {
    auto t = std::make_unique<TTavBaseTable>(nullptr);
    test::ConnectMemory(db_, *t, "Items");
    return t;
  }

  host::TField* F(TTavBaseTable& t, const char* name) { return t.FieldByName(name); }

  void Put(TTavBaseTable& t, int32_t id, const TRow& r) {
    F(t, "ID")->SetAsInteger(id);
    if (r.Name) F(t, "Name")->SetAsString(*r.Name); else F(t, "Name")->Clear();
    if (r.Code) F(t, "Code")->SetAsString(*r.Code); else F(t, "Code")->Clear();
    if (r.Grp) F(t, "Grp")->SetAsInteger(*r.Grp); else F(t, "Grp")->Clear();
    if (r.Amount) F(t, "Amount")->SetAsFloat(*r.Amount); else F(t, "Amount")->Clear();
    if (!r.Note.empty()) F(t, "Note")->SetAsString(r.Note); else F(t, "Note")->Clear();
  }
  void Insert(TTavBaseTable& t, int32_t id, const TRow& r) {
    t.Append();
    Put(t, id, r);
    t.Post();
    rows_[id] = r;
  }

  void Fill(int n, uint32_t seed) {
    std::mt19937 rng(seed);
    for (int i = 0; i < n; ++i) Insert(*a_, i * 2 + 1, test::RandomFilterRow(rng));
  }

  std::vector<int32_t> Forward(TTavBaseTable& t) {
    std::vector<int32_t> ids;
    for (t.First(); !t.Eof(); t.Next()) ids.push_back(F(t, "ID")->AsInteger());
    return ids;
  }
  std::vector<int32_t> Backward(TTavBaseTable& t) {
    std::vector<int32_t> ids;
    for (t.Last(); !t.BOF(); t.Prior()) ids.push_back(F(t, "ID")->AsInteger());
    std::reverse(ids.begin(), ids.end());
    return ids;
  }
  std::vector<int32_t> Found(TTavBaseTable& t, bool forward) {
    std::vector<int32_t> ids;
    for (bool ok = forward ? t.FindFirst() : t.FindLast(); ok; ok = forward ? t.FindNext() : t.FindPrior()) {
      EXPECT_TRUE(t.Found());
      ids.push_back(F(t, "ID")->AsInteger());
      if (ids.size() > rows_.size()) break;  // a search that never ends
    }
    if (!forward) std::reverse(ids.begin(), ids.end());
    return ids;
  }
  int32_t IdAt(uint32_t address) {
    std::vector<uint8_t> rec(static_cast<size_t>(a_->RecordBufferSize()));
    a_->ReadRecordBuffer(address, rec.data());
    return a_->DataSetGetFieldDataFromRecBufAsVariant(rec.data(), a_->GetFieldNo("ID")).AsInteger();
  }

  TTavDataBase db_{nullptr};
  std::unique_ptr<TTavBaseTable> a_;
  std::map<int32_t, TRow> rows_;
};

// The host's view of a filter: for random filters over every index, with
// and without a range and an OnFilterRecord handler (which reads the record
// through the fields, in the filter state), First to Last, Last to First,
// RecordCount, RecNo and FindFirst to FindLast on the unfiltered dataset all
// give exactly the rows and order of evaluating every row.
TEST_F(HostFilterTest, HostNavigationGivesWhatEvaluatingEveryRowGives) {
  Fill(140, 23);
  TTavBaseTable& t = *a_;
  test::TFilterMaker maker(29);
  const char* indexes[] = {"pk", "byName", "byCode", "byGrpDesc", "byGrpName"};
  std::mt19937 rng(31);
  auto pick = [&](int k) { return static_cast<int>(rng() % static_cast<uint32_t>(k)); };
  int nonEmpty = 0, refused = 0;
  for (int round = 0; round < 50; ++round) {
    const std::string text = maker.Make(round % 3);
    host::TFilterOptions options;
    if (pick(3) == 0) options.Include(host::foCaseInsensitive);
    const std::string index = indexes[pick(5)];
    const bool handler = pick(2) == 0;
    SCOPED_TRACE(text + " on " + index + (handler ? " with handler" : ""));
    t.SetFiltered(false);
    t.SetRangeOn(false);
    t.InternalSetIndexName(index);
    if (index == "pk" && pick(2) == 0) {
      const int32_t lo = pick(200), hi = lo + pick(150);
      for (TRangeMode m : {rmRangeStart, rmRangeEnd}) {
        t.InitializeRangeBuffers(m);
        uint8_t* buf = t.GetRangeRecBuf(m);
        const int32_t v = m == rmRangeStart ? lo : hi;
        buf[t.GetFieldNullOffset(t.GetFieldNo("ID"))] = 1;
        std::memcpy(buf + t.GetFieldDataOffset(t.GetFieldNo("ID")), &v, 4);
      }
      t.SetRangeOn(true);
    }
    t.SetOnFilterRecord(nullptr);
    if (handler) {
      t.SetOnFilterRecord([&](host::TDataSet* ds, bool& accept) {
        EXPECT_EQ(ds->State(), host::dsFilter);
        accept = ds->FieldByName("ID")->AsInteger() % 3 != 0;
      });
    }
    t.SetFilterOptions(options);
    t.SetFilterText(text);

    std::vector<int32_t> expected;
    for (uint32_t a : test::FilterOracle(t, text, options)) {
      const int32_t id = IdAt(a);
      if (handler && id % 3 == 0) {
        ++refused;
        continue;
      }
      expected.push_back(id);
    }
    nonEmpty += !expected.empty();
    // Unfiltered, FindFirst to FindLast search with the filter.
    EXPECT_EQ(Found(t, true), expected);
    EXPECT_EQ(Found(t, false), expected);

    t.SetFiltered(true);
    EXPECT_FALSE(t.IsSequenced());
    EXPECT_EQ(Forward(t), expected);
    EXPECT_EQ(Backward(t), expected);
    EXPECT_EQ(t.RecordCount(), static_cast<int>(expected.size()));
    EXPECT_EQ(Found(t, true), expected);
    // Record numbers count in the unfiltered order from the range start.
    TCompoundList master;
    t.InternalPrepareMasterRecordList(master);
    std::map<int32_t, int> recNo;
    for (int i = 0; i < master.Count(); ++i)
      recNo[IdAt(master.Items(i))] = static_cast<int>(master.List2()[static_cast<size_t>(i)]) -
                                     (t.RangeOn() ? static_cast<int>(master.List2()[0]) - 1 : 0);
    for (t.First(); !t.Eof(); t.Next()) ASSERT_EQ(t.RecNo(), recNo.at(F(t, "ID")->AsInteger()));
  }
  EXPECT_GT(nonEmpty, 25);
  EXPECT_GT(refused, 10);
  EXPECT_FALSE(t.ReadLocked());
}

// Writes while filtered, through this dataset and a second one on the table:
// new passing rows appear, changed rows leave, deleted rows go.
TEST_F(HostFilterTest, WritesShowAtTheNextLock) {
  Fill(40, 3);
  TTavBaseTable& a = *a_;
  std::unique_ptr<TTavBaseTable> b = MakeTable();
  b->Open();
  a.InternalSetIndexName("pk");
  a.SetFilterText("Grp = 1");
  a.SetFiltered(true);
  auto model = [&] {
    std::vector<int32_t> ids;
    for (const auto& [id, r] : rows_)
      if (r.Grp == 1) ids.push_back(id);
    return ids;
  };
  ASSERT_EQ(Forward(a), model());

  TRow passing;
  passing.Grp = 1;
  TRow failing;
  failing.Grp = 2;
  Insert(a, 1000, passing);  // through this dataset
  Insert(a, 1002, failing);
  EXPECT_EQ(Forward(a), model());
  Insert(*b, 1004, passing);  // through the other
  Insert(*b, 1006, failing);
  EXPECT_EQ(Forward(a), model());
  EXPECT_EQ(a.RecordCount(), static_cast<int>(model().size()));

  // A change that takes a row out of the filter, made here.
  ASSERT_TRUE(a.Locate("ID", host::Variant(1000), {}));
  a.Edit();
  F(a, "Grp")->SetAsInteger(5);
  a.Post();
  rows_[1000].Grp = 5;
  EXPECT_EQ(Forward(a), model());
  // ... and made by the other dataset.
  const int32_t leaving = model().front();
  ASSERT_TRUE(b->Locate("ID", host::Variant(leaving), {}));
  b->Edit();
  F(*b, "Grp")->SetAsInteger(6);
  b->Post();
  rows_[leaving].Grp = 6;
  EXPECT_EQ(Forward(a), model());
  // A change that brings a row in.
  ASSERT_TRUE(b->Locate("ID", host::Variant(1006), {}));
  b->Edit();
  F(*b, "Grp")->SetAsInteger(1);
  b->Post();
  rows_[1006].Grp = 1;
  EXPECT_EQ(Forward(a), model());

  // Deletes, here and there.
  a.First();
  const int32_t first = F(a, "ID")->AsInteger();
  a.Delete();
  rows_.erase(first);
  EXPECT_EQ(Forward(a), model());
  ASSERT_TRUE(b->Locate("ID", host::Variant(1004), {}));
  b->Delete();
  rows_.erase(1004);
  EXPECT_EQ(Forward(a), model());
  EXPECT_EQ(a.RecordCount(), static_cast<int>(model().size()));

  // Emptied while filtered; rows added afterwards pass as before.
  a.EmptyTable();
  rows_.clear();
  EXPECT_TRUE(a.IsEmpty());
  EXPECT_EQ(a.RecordCount(), 0);
  Insert(a, 7, passing);
  Insert(a, 9, failing);
  EXPECT_EQ(Forward(a), std::vector<int32_t>{7});
  EXPECT_FALSE(a.ReadLocked());
  EXPECT_FALSE(b->ReadLocked());
}

// Bad filter texts raise 10051 with the parser's message, whichever
// setting applies them, and leave the dataset as it was; an open that
// fails this way leaves it closed. An empty text filters nothing out.
TEST_F(HostFilterTest, BadTextsRaiseAndLeaveTheDatasetUsable) {
  Fill(30, 5);
  TTavBaseTable& t = *a_;
  t.InternalSetIndexName("pk");
  std::string deep;
  for (int i = 0; i < 3000; ++i) deep += "(";
  deep += "Grp = 1";
  for (int i = 0; i < 3000; ++i) deep += ")";
  const std::vector<std::string> bad = {"Grp =", "Nope = 1", "Grp = 1 AND", "Name = 'abc", "Grp = 1 2", deep};

  t.SetFilterText("Grp >= 0");
  t.SetFiltered(true);
  const std::vector<int32_t> before = Forward(t);
  for (const std::string& text : bad) {
    SCOPED_TRACE(text.substr(0, 30));
    std::string message;
    EXPECT_EQ(ErrorCodeOf([&] { t.SetFilterText(text); }, &message), 10051);
    EXPECT_NE(message.find("Character"), std::string::npos) << message;
    EXPECT_EQ(t.Filter(), "Grp >= 0");
    EXPECT_EQ(Forward(t), before);
  }
  // Options and the handler apply the text as it stands.
  t.SetFiltered(false);
  t.SetFilterText("Grp =");
  EXPECT_EQ(ErrorCodeOf([&] { t.SetFiltered(true); }), 10051);
  EXPECT_FALSE(t.Filtered());
  EXPECT_EQ(Forward(t).size(), 30u);
  EXPECT_EQ(ErrorCodeOf([&] { t.FindFirst(); }), 10051);
  EXPECT_EQ(Forward(t).size(), 30u);

  // Opening filtered by a bad text fails and leaves the dataset closed.
  t.Close();
  t.SetFiltered(true);
  EXPECT_EQ(ErrorCodeOf([&] { t.Open(); }), 10051);
  EXPECT_FALSE(t.Active());
  t.SetFilterText("Grp = 1");
  t.Open();
  std::vector<int32_t> grp1;
  for (const auto& [id, r] : rows_)
    if (r.Grp == 1) grp1.push_back(id);
  EXPECT_EQ(Forward(t), grp1);
  host::TFilterOptions ci;
  ci.Include(host::foCaseInsensitive);
  t.SetFilterOptions(ci);
  EXPECT_EQ(Forward(t), grp1);

  t.SetFilterText("");
  EXPECT_TRUE(t.Filtered());
  EXPECT_EQ(Forward(t).size(), 30u);
  EXPECT_EQ(t.RecordCount(), 30);
  EXPECT_FALSE(t.ReadLocked());
}

// The table component over a filter: its ranges, key searches and index
// changes keep to the passing records.
TEST_F(HostFilterTest, TableComponentKeepsRangesKeysAndIndexesInsideTheFilter) {
  Fill(60, 41);
  TTavTable t(nullptr);
  test::ConnectMemory(db_, t, "Items");
  t.SetIndexName("pk");
  t.SetFilterText("Grp = 1 OR Grp = 2");
  t.SetFiltered(true);
  t.Open();
  auto passing = [&](int32_t lo, int32_t hi) {
    std::vector<int32_t> ids;
    for (const auto& [id, r] : rows_)
      if ((r.Grp == 1 || r.Grp == 2) && id >= lo && id <= hi) ids.push_back(id);
    return ids;
  };
  const std::vector<int32_t> all = passing(0, 1000);
  ASSERT_GE(all.size(), 4u);
  EXPECT_EQ(Forward(t), all);
  t.SetRange({host::Variant(20)}, {host::Variant(80)});
  EXPECT_EQ(Forward(t), passing(20, 80));
  EXPECT_EQ(Backward(t), passing(20, 80));
  EXPECT_EQ(t.RecordCount(), static_cast<int>(passing(20, 80).size()));
  t.CancelRange();
  EXPECT_EQ(Forward(t), all);

  int32_t refused = -1;
  for (const auto& [id, r] : rows_)
    if (r.Grp != 1 && r.Grp != 2) refused = id;
  ASSERT_GE(refused, 0);
  EXPECT_TRUE(t.FindKey({host::Variant(all[2])}));
  EXPECT_EQ(F(t, "ID")->AsInteger(), all[2]);
  EXPECT_FALSE(t.FindKey({host::Variant(refused)}));

  // Another index: the same records, in its order.
  t.SetIndexName("byGrpDesc");
  const std::vector<int32_t> byGrp = Forward(t);
  std::vector<int32_t> sorted = byGrp;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, all);
  for (size_t i = 1; i < byGrp.size(); ++i) EXPECT_GE(*rows_[byGrp[i - 1]].Grp, *rows_[byGrp[i]].Grp);
  EXPECT_FALSE(t.ReadLocked());
}

// A filtered dataset on a disk table sees another process's writes at its
// next lock: the new passing row appears, the changed one leaves, the
// deleted one goes.
TEST(HostFilterDiskTest, AnotherProcessesWritesShowAtTheNextLock) {
  os::test::TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  const std::string path = dir / "filters.tav";
  auto connect = [&] {
    auto db = std::make_unique<TTavDataBase>(nullptr);
    db->SetDataBaseName(path);
    db->SetLockRetryMaximum(200);
    db->SetLockRetryInterval(5);
    return db;
  };
  connect()->CreateDatabase();
  std::unique_ptr<TTavDataBase> db = connect();
  db->Open();
  auto table = [](TTavDataBase& on) {
    auto t = std::make_unique<TTavBaseTable>(nullptr);
    t->SetDataBase(&on);
    t->SetTableName("Items");
    return t;
  };
  auto insert = [](TTavBaseTable& t, int32_t id, int32_t grp) {
    t.Append();
    t.FieldByName("ID")->SetAsInteger(id);
    t.FieldByName("Grp")->SetAsInteger(grp);
    t.Post();
  };
  std::unique_ptr<TTavBaseTable> t = table(*db);
  t->FieldDefs().Add("ID", host::ftInteger, 0, true);
  t->FieldDefs().Add("Grp", host::ftInteger);
  t->IndexDefs().Add("pk", "ID", host::TIndexOptions{host::ixPrimary, host::ixUnique});
  t->IndexDefs().Add("byGrp", "Grp", host::TIndexOptions{});
  t->CreateTable();
  t->Open();
  for (int32_t id = 1; id <= 20; ++id) insert(*t, id, id % 3);
  t->SetFilterText("Grp = 1");
  t->SetFiltered(true);
  auto ids = [&] {
    std::vector<int32_t> out;
    for (t->First(); !t->Eof(); t->Next()) out.push_back(t->FieldByName("ID")->AsInteger());
    return out;
  };
  ASSERT_EQ(ids(), (std::vector<int32_t>{1, 4, 7, 10, 13, 16, 19}));
  const int child = os::test::RunInChild([&] {
    std::unique_ptr<TTavDataBase> other = connect();
    other->Open();
    std::unique_ptr<TTavBaseTable> c = table(*other);
    c->Open();
    insert(*c, 100, 1);
    if (!c->Locate("ID", host::Variant(4), {})) return 1;
    c->Edit();
    c->FieldByName("Grp")->SetAsInteger(2);
    c->Post();
    if (!c->Locate("ID", host::Variant(7), {})) return 2;
    c->Delete();
    c->Close();
    other->Close();
    return 0;
  });
  ASSERT_EQ(child, 0);
  EXPECT_EQ(ids(), (std::vector<int32_t>{1, 10, 13, 16, 19, 100}));
  EXPECT_EQ(t->RecordCount(), 6);
  t->Close();
  db->Close();
}

}  // namespace
}  // namespace tav

namespace tav {
namespace {

// Key searches in a filtered table whose index holds duplicates of a key,
// often with only a later one passing: FindKey, FindNearest, Locate and
// Lookup, and the cursor's searches in both directions, with and without a
// range, give what the passing rows of the model give.
TEST(FilteredKeySearchTest, DuplicatesWhereOnlyALaterOnePassesAgreeWithTheModel) {
  TTavDataBase db(nullptr);
  TTavTable t(nullptr);
  test::ConnectMemory(db, t, "Dups");
  t.FieldDefs().Add("ID", host::ftInteger, 0, true);
  t.FieldDefs().Add("K", host::ftInteger);
  t.FieldDefs().Add("V", host::ftInteger);
  t.IndexDefs().Add("pk", "ID", host::TIndexOptions{host::ixPrimary, host::ixUnique});
  t.IndexDefs().Add("byK", "K", host::TIndexOptions{});
  t.CreateTable();
  t.Open();
  // Rows in ID order, which is their order among equal keys.
  struct TRow {
    int32_t ID, K, V;
  };
  std::vector<TRow> rows;
  std::mt19937 rng(42);
  for (int32_t id = 1; id <= 90; ++id) {
    const int32_t k = static_cast<int32_t>(rng() % 12);
    // The first records of a key mostly fail the filter.
    const int32_t v = rng() % 3 == 0 ? 5 : static_cast<int32_t>(rng() % 5);
    t.Append();
    t.FieldByName("ID")->SetAsInteger(id);
    t.FieldByName("K")->SetAsInteger(k);
    t.FieldByName("V")->SetAsInteger(v);
    t.Post();
    rows.push_back({id, k, v});
  }
  t.SetIndexName("byK");
  t.SetFilterText("V = 5");
  t.SetFiltered(true);
  std::vector<TRow> byKey = rows;
  std::stable_sort(byKey.begin(), byKey.end(), [](const TRow& a, const TRow& b) { return a.K < b.K; });

  for (const bool ranged : {false, true}) {
    const int32_t lo = ranged ? 3 : -1, hi = ranged ? 8 : 99;
    SCOPED_TRACE(ranged ? "range 3..8" : "no range");
    if (ranged)
      t.SetRange({host::Variant(lo)}, {host::Variant(hi)});
    else
      t.CancelRange();
    std::vector<TRow> seen;  // the filtered view in index order
    for (const TRow& r : byKey)
      if (r.V == 5 && r.K >= lo && r.K <= hi) seen.push_back(r);
    auto firstAtLeast = [&](int32_t k, bool strict) -> const TRow* {
      for (const TRow& r : seen)
        if (strict ? r.K > k : r.K >= k) return &r;
      return nullptr;
    };
    auto lastAtMost = [&](int32_t k, bool strict) -> const TRow* {
      for (auto it = seen.rbegin(); it != seen.rend(); ++it)
        if (strict ? it->K < k : it->K <= k) return &*it;
      return nullptr;
    };
    for (int32_t k = -1; k <= 12; ++k) {
      SCOPED_TRACE("key " + std::to_string(k));
      const TRow* exact = firstAtLeast(k, false);
      if (exact && exact->K != k) exact = nullptr;
      ASSERT_EQ(t.FindKey({host::Variant(k)}), exact != nullptr);
      if (exact) {
        EXPECT_EQ(t.FieldByName("ID")->AsInteger(), exact->ID);
      }
      const TRow* nearest = firstAtLeast(k, false);
      t.FindNearest({host::Variant(k)});
      if (nearest) {
        EXPECT_EQ(t.FieldByName("ID")->AsInteger(), nearest->ID);
      }
      ASSERT_EQ(t.Locate("K", k, {}), exact != nullptr);
      if (exact) {
        EXPECT_EQ(t.FieldByName("V")->AsInteger(), 5);
      }
      const host::Variant looked = t.Lookup("K", k, "V");
      EXPECT_EQ(looked.IsNull(), exact == nullptr);
      if (exact) {
        EXPECT_EQ(looked.AsInteger(), 5);
      }

      // The cursor's own searches, each direction.
      struct TSearch {
        TIndexSearchType Type;
        const TRow* Want;
      } searches[] = {{stEQ, exact},
                      {stGE, firstAtLeast(k, false)},
                      {stGT, firstAtLeast(k, true)},
                      {stLE, lastAtMost(k, false)},
                      {stLT, lastAtMost(k, true)}};
      for (const TSearch& s : searches) {
        SCOPED_TRACE("search type " + std::to_string(s.Type));
        TSearchModifier modifier;
        modifier.SetLimitedSearch(true);
        modifier.SetIncludedKeyFieldCount(1);
        t.InitializeNewRecord(t.RecordBuffer(), false);
        t.DataSetSetFieldDataAsVariant(t.GetFieldNo("K"), k);
        ASSERT_EQ(t.Find(s.Type, "byK", &modifier), s.Want != nullptr);
        if (s.Want) {
          EXPECT_EQ(t.DataSetGetFieldDataFromRecBufAsVariant(t.RecordBuffer(), t.GetFieldNo("ID")).AsInteger(),
                    s.Want->ID);
        }
      }
      t.Refresh();
    }
  }
}

}  // namespace
}  // namespace tav
