#include "engine/components/tav_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "engine/storage/base/tav_compare.h"
#include "engine/storage/testing/engine_error_test_support.h"
#include "engine/components/testing/memory_table_support.h"
#include "host/classes/component_text.h"
#include "host/classes/prop_table.h"
#include "host/db/data_source.h"
#include "host/db/field_defs.h"
#include "host/db/fields.h"
#include "host/db/index_defs.h"

namespace tav {
namespace {

using host::Variant;
using test::ErrorCodeOf;

// One record of the key-search model: ID is unique, A a case-sensitive
// string, B an integer, C a string searched without regard to case.
struct TRow {
  int ID;
  std::string A;
  int B;
  std::string C;
};

// A key field of the model: which column, descending, case-insensitive.
struct TKeyCol {
  char Col;
  bool Desc;
  bool CaseIns;
};

struct TModelIndex {
  const char* Name;
  std::vector<TKeyCol> Cols;
};

// The indexes of the search table and how each orders its records.
const std::vector<TModelIndex>& ModelIndexes() {
  static const std::vector<TModelIndex> indexes = {
      {"ab", {{'A', false, false}, {'B', false, false}}},
      {"bdesc", {{'B', true, false}}},
      {"cci", {{'C', false, true}}},
      {"cab", {{'C', false, true}, {'A', true, false}, {'B', false, false}}},
  };
  return indexes;
}

int CompareCol(const TRow& row, const TKeyCol& col, const Variant& value) {
  int r;
  if (col.Col == 'B') {
    const int v = value.AsInteger();
    r = row.B < v ? -1 : row.B > v ? 1 : 0;
  } else {
    const std::string& s = col.Col == 'A' ? row.A : row.C;
    const std::string v = value.AsString();
    r = DBANSICompareStrings(s.data(), v.data(), static_cast<int>(s.size()), static_cast<int>(v.size()),
                             col.CaseIns, false);
    r = r < 0 ? -1 : r > 0 ? 1 : 0;
  }
  return col.Desc ? -r : r;
}

// The row against the leading `count` values, in the index's order.
int ComparePrefix(const TRow& row, const TModelIndex& index, const std::vector<Variant>& values, size_t count) {
  for (size_t i = 0; i < count && i < index.Cols.size(); ++i)
    if (const int r = CompareCol(row, index.Cols[i], values[i])) return r;
  return 0;
}

class TableTest : public ::testing::Test {
 protected:
  TTavDataBase db_{nullptr};

  std::unique_ptr<TTavTable> NewTable(const std::string& name) {
    auto t = std::make_unique<TTavTable>(nullptr);
    test::ConnectMemory(db_, *t, name);
    return t;
  }

  static host::TField* F(TTavTable& t, const char* name) { return t.FieldByName(name); }
};

// ---------------------------------------------------------------------------
// Key searches against a model

class KeySearchTest : public TableTest {
 protected:
  void SetUp() override {
    t_ = NewTable("S");
    t_->FieldDefs().Add("ID", host::ftInteger, 0, true);
    t_->FieldDefs().Add("A", host::ftString, 10);
    t_->FieldDefs().Add("B", host::ftInteger);
    t_->FieldDefs().Add("C", host::ftString, 10);
    t_->IndexDefs().Add("pk", "ID", host::TIndexOptions{host::ixPrimary, host::ixUnique});
    t_->IndexDefs().Add("ab", "A;B", {});
    t_->IndexDefs().Add("bdesc", "B", host::TIndexOptions{host::ixDescending});
    t_->IndexDefs().Add("cci", "C", host::TIndexOptions{host::ixCaseInsensitive});
    host::TIndexDef* cab = t_->IndexDefs().Add("cab", "C;A;B", {});
    cab->SetCaseInsFields("C");
    cab->SetDescFields("A");
    t_->CreateTable();
    t_->Open();
    std::mt19937 rng(25);
    const char* as[] = {"a", "b", "bb", "c"};
    const char* cs[] = {"x", "X", "y", "Yz", "z"};
    for (int id = 1; id <= 60; ++id) {
      TRow row{id, as[rng() % 4], static_cast<int>(rng() % 5), cs[rng() % 5]};
      t_->AppendRecord({row.ID, row.A, row.B, row.C});
      rows_.push_back(row);
    }
  }

  // A random search value for a model column, sometimes one no record has.
  Variant RandomValue(char col, std::mt19937& rng) {
    const char* as[] = {"a", "b", "ba", "bb", "c", "d"};
    const char* cs[] = {"x", "Y", "yz", "Z", "w", "zz"};
    if (col == 'B') return static_cast<int>(rng() % 7) - 1;
    return col == 'A' ? as[rng() % 6] : cs[rng() % 6];
  }

  // Where a search for `values` (`count` of them used) lands by the model:
  // 1 + the number of records ordered before the key, and whether one
  // matches.
  std::pair<int, bool> ModelPosition(const TModelIndex& index, const std::vector<Variant>& values,
                                     size_t count) const {
    int before = 0;
    bool match = false;
    for (const TRow& r : rows_) {
      const int c = ComparePrefix(r, index, values, count);
      if (c < 0) ++before;
      if (c == 0) match = true;
    }
    return {before + 1, match};
  }

  const TRow& Current() const {
    const int id = t_->FieldByName("ID")->AsInteger();
    return *std::find_if(rows_.begin(), rows_.end(), [id](const TRow& r) { return r.ID == id; });
  }

  std::unique_ptr<TTavTable> t_;
  std::vector<TRow> rows_;
};

TEST_F(KeySearchTest, FindKeyFindNearestAndGoToKeyAgreeWithTheModel) {
  TTavTable& t = *t_;
  std::mt19937 rng(7);
  const int total = static_cast<int>(rows_.size());
  for (const TModelIndex& index : ModelIndexes()) {
    t.SetIndexName(index.Name);
    ASSERT_EQ(t.IndexName(), index.Name);
    ASSERT_EQ(t.IndexFieldCount(), static_cast<int>(index.Cols.size()));
    for (int round = 0; round < 80; ++round) {
      // One value more than the index has fields now and then: it is ignored.
      const size_t count = 1 + rng() % (index.Cols.size() + 1);
      std::vector<Variant> values;
      for (size_t i = 0; i < count; ++i)
        values.push_back(RandomValue(index.Cols[std::min(i, index.Cols.size() - 1)].Col, rng));
      const size_t used = std::min(count, index.Cols.size());
      SCOPED_TRACE(std::string(index.Name) + " round " + std::to_string(round) + " values " +
                   std::to_string(count));
      const auto [pos, match] = ModelPosition(index, values, used);

      t.First();
      t.MoveBy(static_cast<int>(rng() % 10));
      const int before = t.FieldByName("ID")->AsInteger();
      ASSERT_EQ(t.FindKey(values), match);
      ASSERT_EQ(t.State(), host::dsBrowse);
      ASSERT_FALSE(t.KeyEditing());
      if (match) {
        EXPECT_EQ(t.RecNo(), pos);
        EXPECT_EQ(ComparePrefix(Current(), index, values, used), 0);
      } else {
        // A miss leaves the cursor where it was, and the next step starts there.
        EXPECT_EQ(t.FieldByName("ID")->AsInteger(), before);
        const int recNo = t.RecNo();
        t.Next();
        if (recNo < total) {
          EXPECT_EQ(t.RecNo(), recNo + 1);
        }
      }

      // The nearest record: the first not below the key, else the last.
      t.FindNearest(values);
      ASSERT_EQ(t.State(), host::dsBrowse);
      EXPECT_EQ(t.RecNo(), pos <= total ? pos : total);
      if (pos <= total) {
        EXPECT_GE(ComparePrefix(Current(), index, values, used), 0);
      }

      // The same key through the set-key state, limited to `used` fields.
      t.SetKey();
      ASSERT_EQ(t.State(), host::dsSetKey);
      ASSERT_TRUE(t.KeyEditing());
      for (size_t i = 0; i < used; ++i) t.GetIndexField(static_cast<int>(i))->AssignValue(values[i]);
      t.SetKeyFieldCount(static_cast<int>(used));
      ASSERT_EQ(t.GoToKey(), match);
      ASSERT_EQ(t.State(), host::dsBrowse);
      ASSERT_FALSE(t.KeyEditing());
      if (match) {
        EXPECT_EQ(t.RecNo(), pos);
      }
      // EditKey keeps the key and its field count.
      t.EditKey();
      EXPECT_EQ(t.KeyFieldCount(), static_cast<int>(used));
      ASSERT_EQ(t.GoToKey(), match);
      // A nearest search from the same buffer lands where FindNearest did
      // when the key names every field.
      if (used == index.Cols.size()) {
        t.EditKey();
        t.SetKeyFieldCount(0);
        t.ApplyKey(false);
        EXPECT_EQ(t.RecNo(), pos <= total ? pos : total);
      }
    }
  }
}

TEST_F(KeySearchTest, AKeyOfEveryFieldNeedsAllOfThemUnlessTheCountIsLimited) {
  TTavTable& t = *t_;
  t.SetIndexName("ab");
  const TRow& any = rows_[10];
  // Only A given, count 0 = every field: B stays empty and matches nothing.
  t.SetKey();
  F(t, "A")->SetAsString(any.A);
  EXPECT_FALSE(t.GoToKey());
  t.EditKey();
  t.SetKeyFieldCount(1);
  EXPECT_TRUE(t.GoToKey());
  EXPECT_EQ(F(t, "A")->AsString(), any.A);
  // SetKey starts over: an empty buffer, count 0.
  t.SetKey();
  EXPECT_EQ(t.KeyFieldCount(), 0);
  EXPECT_TRUE(F(t, "A")->IsNull());
  t.CancelKey();
  EXPECT_EQ(t.State(), host::dsBrowse);
  EXPECT_FALSE(t.KeyEditing());
  // The host's own ways out of the set-key state end the key editing too.
  t.SetRangeStart();
  t.Cancel();
  EXPECT_FALSE(t.KeyEditing());
  t.SetKey();
  t.Post();
  EXPECT_FALSE(t.KeyEditing());
  EXPECT_EQ(t.State(), host::dsBrowse);
}

TEST_F(KeySearchTest, SearchesInsideARangeStayInIt) {
  TTavTable& t = *t_;
  t.SetIndexName("bdesc");
  t.SetRange({3}, {1});
  int inRange = 0, firstOf3 = 0;
  for (const TRow& r : rows_) {
    inRange += r.B >= 1 && r.B <= 3;
    firstOf3 += r.B == 3;
  }
  ASSERT_GT(firstOf3, 0);
  // Keys outside the range: an exact search misses, a nearest one stops
  // at the range's end on that side.
  EXPECT_FALSE(t.FindKey({4}));
  EXPECT_FALSE(t.FindKey({0}));
  t.FindNearest({4});
  EXPECT_EQ(F(t, "B")->AsInteger(), 3);
  EXPECT_EQ(t.RecNo(), 1);
  t.FindNearest({0});
  EXPECT_EQ(F(t, "B")->AsInteger(), 1);
  EXPECT_EQ(t.RecNo(), inRange);
  EXPECT_TRUE(t.FindKey({2}));
  EXPECT_EQ(t.RecNo(), firstOf3 + 1);
  EXPECT_EQ(t.RecordCount(), inRange);
  t.CancelRange();
}

TEST_F(KeySearchTest, FindNearestHoldsAReadLockOnlyForItsSearch) {
  TTavTable& t = *t_;
  t.SetIndexName("ab");
  t.FindNearest({"b"});
  EXPECT_FALSE(t.Locked());
  EXPECT_EQ(F(t, "A")->AsString(), "b");
  // A lock the program holds stays held.
  t.SetLocked(true);
  t.FindNearest({"c"});
  EXPECT_TRUE(t.WriteLocked());
  EXPECT_EQ(F(t, "A")->AsString(), "c");
  t.SetLocked(false);
  EXPECT_FALSE(t.Locked());
}

TEST_F(KeySearchTest, KeyFieldCountIsCheckedAgainstTheIndex) {
  TTavTable& t = *t_;
  t.SetIndexName("cab");
  EXPECT_THROW(t.SetKeyFieldCount(1), host::EDatabaseError);  // not editing a key
  t.SetKey();
  struct TCase {
    int Count;
    int Code;
  };
  for (const TCase& c : std::vector<TCase>{{-1, 9985}, {0, 0}, {1, 0}, {3, 0}, {4, 9985}, {-100, 9985}}) {
    std::string text;
    EXPECT_EQ(ErrorCodeOf([&] { t.SetKeyFieldCount(c.Count); }, &text), c.Code) << c.Count;
    if (c.Code) {
      EXPECT_NE(text.find("The specified index field count is out of range"), std::string::npos);
      EXPECT_EQ(t.State(), host::dsSetKey);
    }
  }
  t.CancelKey();
}

TEST_F(KeySearchTest, AFailedSearchOrRangeLeavesTheTableBrowsingAndUsable) {
  TTavTable& t = *t_;
  t.SetIndexName("ab");
  // "x" is no integer: the conversion fails half way through the key.
  const std::vector<std::function<void()>> failing = {
      [&] { t.FindKey({"a", "x"}); },
      [&] { t.FindNearest({"a", "x"}); },
      [&] { t.SetRange({"a", "x"}, {"b"}); },
      [&] { t.SetRange({"a"}, {"b", "x"}); },
  };
  for (size_t i = 0; i < failing.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_ANY_THROW(failing[i]());
    EXPECT_EQ(t.State(), host::dsBrowse);
    EXPECT_FALSE(t.KeyEditing());
    EXPECT_EQ(t.KeyMode(), kmNone);
    // Usable: it edits, searches and ranges as before.
    EXPECT_EQ(t.RecordCount(), static_cast<int>(rows_.size()));
    EXPECT_TRUE(t.FindKey({rows_[3].A, rows_[3].B}));
    t.Edit();
    F(t, "C")->SetAsString("z");
    t.Post();
    t.SetRange({"b"}, {"b"});
    int inRange = 0;
    for (const TRow& r : rows_) inRange += r.A == "b";
    EXPECT_EQ(t.RecordCount(), inRange);
    t.CancelRange();
  }

  // A range that fails part way keeps the range before it and the record.
  int inRange = 0;
  for (const TRow& r : rows_) inRange += r.A == "b";
  ASSERT_GE(inRange, 2);
  t.SetRange({"b"}, {"b"});
  t.Next();
  const int id = F(t, "ID")->AsInteger();
  for (const std::vector<Variant>& end : {std::vector<Variant>{"b", "x"}, std::vector<Variant>{"c"}}) {
    if (end.size() == 1) {
      t.CancelRange();
      ASSERT_TRUE(t.Locate("ID", id, {}));
    }
    EXPECT_ANY_THROW(t.SetRange({"a", "x"}, end));
    EXPECT_EQ(t.RecordCount(), end.size() == 1 ? static_cast<int>(rows_.size()) : inRange);
    EXPECT_EQ(F(t, "ID")->AsInteger(), id);
    int walked = 0;
    for (t.First(); !t.Eof(); t.Next()) {
      if (end.size() == 2) {
        EXPECT_EQ(F(t, "A")->AsString(), "b");
      }
      ++walked;
    }
    EXPECT_EQ(walked, t.RecordCount());
    ASSERT_TRUE(t.Locate("ID", id, {}));
  }
}

// ---------------------------------------------------------------------------
// Ranges against a model

TEST_F(KeySearchTest, RangesByValuesAndByEditingGiveTheModelsRecords) {
  TTavTable& t = *t_;
  std::mt19937 rng(11);
  const int total = static_cast<int>(rows_.size());
  for (const TModelIndex& index : ModelIndexes()) {
    t.SetIndexName(index.Name);
    for (int round = 0; round < 40; ++round) {
      SCOPED_TRACE(std::string(index.Name) + " round " + std::to_string(round));
      const size_t startCount = 1 + rng() % index.Cols.size();
      const size_t endCount = 1 + rng() % index.Cols.size();
      std::vector<Variant> start, end;
      for (size_t i = 0; i < startCount; ++i) start.push_back(RandomValue(index.Cols[i].Col, rng));
      for (size_t i = 0; i < endCount; ++i) end.push_back(RandomValue(index.Cols[i].Col, rng));
      // Missing fields of the start sort first, of the end last.
      std::vector<const TRow*> expected;
      for (const TRow& r : rows_)
        if (ComparePrefix(r, index, start, startCount) >= 0 && ComparePrefix(r, index, end, endCount) <= 0)
          expected.push_back(&r);
      std::set<int> expectedIds;
      for (const TRow* r : expected) expectedIds.insert(r->ID);

      auto check = [&] {
        ASSERT_EQ(t.State(), host::dsBrowse);
        EXPECT_EQ(t.RecordCount(), static_cast<int>(expected.size()));
        std::set<int> seen;
        int recNo = 0;
        std::vector<int> forwards;
        for (t.First(); !t.Eof(); t.Next()) {
          EXPECT_EQ(t.RecNo(), ++recNo);
          seen.insert(F(t, "ID")->AsInteger());
          forwards.push_back(F(t, "ID")->AsInteger());
        }
        EXPECT_EQ(seen, expectedIds);
        // Backwards from the end: the same rows the other way round, each
        // with its number.
        std::vector<int> backwards;
        for (t.Last(); !t.BOF(); t.Prior()) {
          EXPECT_EQ(t.RecNo(), recNo--);
          backwards.push_back(F(t, "ID")->AsInteger());
        }
        EXPECT_EQ(std::vector<int>(backwards.rbegin(), backwards.rend()), forwards);
      };

      if (round % 2 == 0) {
        t.SetRange(start, end);
      } else {
        // The same range through the range-editing states.
        t.SetRangeStart();
        ASSERT_EQ(t.State(), host::dsSetKey);
        ASSERT_EQ(t.KeyMode(), kmRange);
        for (size_t i = 0; i < startCount; ++i) t.GetIndexField(static_cast<int>(i))->AssignValue(start[i]);
        t.SetRangeEnd();
        for (size_t i = 0; i < endCount; ++i) t.GetIndexField(static_cast<int>(i))->AssignValue(end[i]);
        t.ApplyRange();
        EXPECT_FALSE(t.KeyEditing());
      }
      check();
      // EditRangeEnd keeps the end; widening it to everything keeps the start.
      t.EditRangeEnd();
      for (size_t i = 0; i < endCount; ++i) t.GetIndexField(static_cast<int>(i))->Clear();
      t.SetRangeEnd();
      t.EditRangeStart();
      t.ApplyRange();
      int fromStart = 0;
      for (const TRow& r : rows_) fromStart += ComparePrefix(r, index, start, startCount) >= 0;
      EXPECT_EQ(t.RecordCount(), fromStart);

      t.CancelRange();
      EXPECT_EQ(t.RecordCount(), total);
      EXPECT_EQ(t.RecNo(), 1);
    }
  }
}

// ---------------------------------------------------------------------------
// Index choice

TEST_F(TableTest, IndexChoiceByNameAndByFieldList) {
  auto t = NewTable("I");
  t->FieldDefs().Add("ID", host::ftInteger, 0, true);
  t->FieldDefs().Add("A", host::ftString, 10);
  t->FieldDefs().Add("B", host::ftInteger);
  t->IndexDefs().Add("pk", "ID", host::TIndexOptions{host::ixPrimary, host::ixUnique});
  t->IndexDefs().Add("ab", "A;B", {});
  t->CreateTable();
  EXPECT_EQ(t->IndexFieldCount(), 0);
  EXPECT_THROW(t->GetIndexCount(), host::EDatabaseError);

  // A field list while closed clears the name and waits for the open.
  t->SetIndexName("pk");
  t->SetIndexFieldNames("A;B");
  EXPECT_EQ(t->IndexName(), "");
  EXPECT_EQ(t->IndexFieldNames(), "A;B");
  t->Open();
  EXPECT_EQ(t->IndexName(), "ab");
  EXPECT_EQ(t->IndexFieldNames(), "A;B");
  EXPECT_EQ(t->GetIndexCount(), 2);
  EXPECT_EQ(t->IndexFieldCount(), 2);
  EXPECT_EQ(t->GetIndexField(1)->FieldName(), "B");
  EXPECT_THROW(t->GetIndexField(2), host::EDatabaseError);

  std::string text;
  EXPECT_EQ(ErrorCodeOf([&] { t->SetIndexName("nope"); }, &text), 9997);
  EXPECT_NE(text.find("Index nope"), std::string::npos);
  EXPECT_EQ(t->IndexName(), "ab");
  EXPECT_EQ(ErrorCodeOf([&] { t->SetIndexFieldNames("B"); }), 9997);

  t->AppendRecord({2, "b", 1});
  t->AppendRecord({1, "c", 0});
  t->SetIndexName("pk");
  EXPECT_EQ(F(*t, "ID")->AsInteger(), 1);
  t->SetIndexFieldNames("A;B");
  EXPECT_EQ(t->IndexName(), "ab");
  EXPECT_EQ(F(*t, "ID")->AsInteger(), 2);
  t->Close();

  // A name given while closed must name an index when the table opens.
  t->SetIndexName("nope");
  EXPECT_EQ(t->IndexName(), "nope");
  EXPECT_EQ(ErrorCodeOf([&] { t->Open(); }), 9997);
  EXPECT_FALSE(t->Active());
  t->SetIndexName("pk");
  t->Open();
  EXPECT_EQ(t->IndexName(), "pk");
}

TEST_F(TableTest, TheLogicalRecordNumberIndexReadsAsNoName) {
  auto t = NewTable("L");
  t->FieldDefs().Add("N", host::ftInteger);
  t->CreateTable();
  t->Open();
  EXPECT_EQ(t->TTavDataSet::IndexName(), kLogicalRecNoIndexName);
  EXPECT_EQ(t->IndexName(), "");
  EXPECT_EQ(t->IndexFieldCount(), 0);
  EXPECT_EQ(t->GetIndexCount(), 0);
  EXPECT_EQ(ErrorCodeOf([&] { t->FindKey({1}); }), 9997);
  EXPECT_EQ(t->State(), host::dsBrowse);
}

TEST_F(TableTest, StoreDefsFollowsTheProgramsChangesOnly) {
  auto t = NewTable("P");
  const host::TPropInfo* fieldDefs = TTavTable::ClassProperties().FindProp("FieldDefs");
  ASSERT_NE(fieldDefs, nullptr);
  EXPECT_FALSE(t->StoreDefs());
  EXPECT_FALSE(fieldDefs->ShouldWrite(*t));
  t->FieldDefs().Add("ID", host::ftAutoInc);
  t->FieldDefs().Add("N", host::ftInteger);
  EXPECT_TRUE(t->StoreDefs());
  EXPECT_TRUE(fieldDefs->ShouldWrite(*t));
  t->CreateTable();
  t->SetStoreDefs(false);
  // The definitions the open reads back are no change of the program's.
  t->Open();
  EXPECT_FALSE(t->StoreDefs());
  EXPECT_FALSE(fieldDefs->ShouldWrite(*t));

  // NextAutoIncValue looks ahead and reserves nothing.
  t->AppendRecord({Variant(), 5});
  t->AppendRecord({Variant(), 6});
  EXPECT_EQ(t->NextAutoIncValue(), 3u);
  EXPECT_EQ(t->NextAutoIncValue(), 3u);
  t->AppendRecord({Variant(), 7});
  t->Last();
  EXPECT_EQ(F(*t, "ID")->AsInteger(), 3);
  EXPECT_FALSE(t->Locked());
  t->Close();
  EXPECT_THROW(t->NextAutoIncValue(), host::EDatabaseError);
}

TEST_F(TableTest, DefinitionsGoWithTheComponentOnlyWhenStored) {
  TTavTable t(nullptr);
  t.SetName("T");
  t.SetTableName("Parts");
  t.FieldDefs().Add("ID", host::ftAutoInc);
  t.FieldDefs().Add("Name", host::ftString, 12, true);
  host::TIndexDef* byName = t.IndexDefs().Add("byName", "Name;ID", host::TIndexOptions{host::ixUnique});
  byName->SetDescFields("ID");
  byName->SetCaseInsFields("Name");
  ASSERT_TRUE(t.StoreDefs());
  const std::string text = host::WriteComponent(t);
  EXPECT_NE(text.find("FieldDefs = <"), std::string::npos) << text;

  TTavTable back(nullptr);
  host::ReadComponent(text, back);
  EXPECT_EQ(back.TableName(), "Parts");
  EXPECT_TRUE(back.StoreDefs());
  ASSERT_EQ(back.FieldDefs().Count(), 2);
  EXPECT_EQ(back.FieldDefs().Items(1)->Name(), "Name");
  EXPECT_EQ(back.FieldDefs().Items(1)->DataType(), host::ftString);
  EXPECT_EQ(back.FieldDefs().Items(1)->Size(), 12);
  EXPECT_TRUE(back.FieldDefs().Items(1)->Required());
  EXPECT_EQ(back.FieldDefs().Items(0)->DataType(), host::ftAutoInc);
  ASSERT_EQ(back.IndexDefs().Count(), 1);
  const host::TIndexDef& index = *back.IndexDefs().Items(0);
  EXPECT_EQ(index.Name(), "byName");
  EXPECT_EQ(index.Fields(), "Name;ID");
  EXPECT_EQ(index.DescFields(), "ID");
  EXPECT_EQ(index.CaseInsFields(), "Name");
  EXPECT_EQ(index.Options().Bits(), host::TIndexOptions{host::ixUnique}.Bits());

  // Not stored: the definitions stay out of the text.
  t.SetStoreDefs(false);
  const std::string bare = host::WriteComponent(t);
  EXPECT_EQ(bare.find("FieldDefs"), std::string::npos) << bare;
  EXPECT_EQ(bare.find("IndexDefs"), std::string::npos) << bare;
}

// ---------------------------------------------------------------------------
// Master and detail

class MasterDetailTest : public TableTest {
 protected:
  void SetUp() override {
    m_ = NewTable("M");
    m_->FieldDefs().Add("ID", host::ftInteger, 0, true);
    m_->FieldDefs().Add("Name", host::ftString, 10);
    m_->IndexDefs().Add("pk", "ID", host::TIndexOptions{host::ixPrimary, host::ixUnique});
    m_->CreateTable();
    d_ = NewTable("D");
    d_->FieldDefs().Add("ID", host::ftAutoInc);
    d_->FieldDefs().Add("MID", host::ftInteger);
    d_->FieldDefs().Add("N", host::ftInteger);
    d_->IndexDefs().Add("pk", "ID", host::TIndexOptions{host::ixPrimary, host::ixUnique});
    d_->IndexDefs().Add("mn", "MID;N", {});
    d_->CreateTable();
    e_ = NewTable("E");
    e_->FieldDefs().Add("ID", host::ftAutoInc);
    e_->FieldDefs().Add("DID", host::ftInteger);
    e_->IndexDefs().Add("pk", "ID", host::TIndexOptions{host::ixPrimary, host::ixUnique});
    e_->IndexDefs().Add("d", "DID", {});
    e_->CreateTable();

    m_->Open();
    d_->Open();
    e_->Open();
    for (int m = 1; m <= 3; ++m) m_->AppendRecord({m, "m" + std::to_string(m)});
    // Master m has m details; detail k has k mod 3 details of its own.
    for (int m = 1; m <= 3; ++m)
      for (int n = 1; n <= m; ++n) d_->AppendRecord({Variant(), m, n});
    for (int k = 1; k <= 6; ++k)
      for (int j = 0; j < k % 3; ++j) e_->AppendRecord({Variant(), k});

    src_m_ = std::make_unique<host::TDataSource>(nullptr);
    src_m_->SetDataSet(m_.get());
    src_d_ = std::make_unique<host::TDataSource>(nullptr);
    src_d_->SetDataSet(d_.get());
    src_e_ = std::make_unique<host::TDataSource>(nullptr);
    src_e_->SetDataSet(e_.get());
    d_->SetIndexFieldNames("MID;N");
    d_->SetMasterFields("ID");
    d_->SetMasterSource(src_m_.get());
    e_->SetIndexName("d");
    e_->SetMasterSource(src_d_.get());
    e_->SetMasterFields("ID");
    m_->First();
  }

  void TearDown() override {
    e_->SetMasterSource(nullptr);
    d_->SetMasterSource(nullptr);
  }

  // The values of `field` over the dataset's records.
  static std::vector<int> Column(TTavTable& t, const char* field) {
    std::vector<int> out;
    for (t.First(); !t.Eof(); t.Next()) out.push_back(t.FieldByName(field)->AsInteger());
    t.First();
    return out;
  }

  std::unique_ptr<TTavTable> m_, d_, e_;
  std::unique_ptr<host::TDataSource> src_m_, src_d_, src_e_;
};

TEST_F(MasterDetailTest, DetailsFollowTheMasterOverTwoLevels) {
  for (int m = 1; m <= 3; ++m) {
    SCOPED_TRACE(m);
    ASSERT_EQ(F(*m_, "ID")->AsInteger(), m);
    std::vector<int> expected;
    for (int n = 1; n <= m; ++n) expected.push_back(n);
    EXPECT_EQ(Column(*d_, "N"), expected);
    EXPECT_EQ(d_->RecordCount(), m);
    for (d_->First(); !d_->Eof(); d_->Next()) {
      const int k = F(*d_, "ID")->AsInteger();
      EXPECT_EQ(e_->RecordCount(), k % 3) << k;
      for (int did : Column(*e_, "DID")) EXPECT_EQ(did, k);
    }
    m_->Next();
  }
  // A disabled master drops the range: every detail shows again.
  m_->Close();
  EXPECT_EQ(d_->RecordCount(), 6);
}

TEST_F(MasterDetailTest, NewDetailsGetTheLinkFieldsAndEditsArePostedBeforeTheMasterMoves) {
  m_->Next();  // master 2
  d_->Insert();
  EXPECT_EQ(F(*d_, "MID")->AsInteger(), 2);
  F(*d_, "N")->SetAsInteger(9);
  d_->Post();
  EXPECT_EQ(Column(*d_, "N"), (std::vector<int>{1, 2, 9}));
  d_->Last();
  const int newId = F(*d_, "ID")->AsInteger();
  e_->Append();
  EXPECT_EQ(F(*e_, "DID")->AsInteger(), newId);
  e_->Post();
  EXPECT_EQ(e_->RecordCount(), 1);

  // An edit in progress is posted before the master moves on.
  d_->First();
  d_->Edit();
  F(*d_, "N")->SetAsInteger(7);
  m_->Next();
  EXPECT_EQ(d_->State(), host::dsBrowse);
  EXPECT_EQ(Column(*d_, "MID"), (std::vector<int>{3, 3, 3}));
  m_->Prior();
  EXPECT_EQ(Column(*d_, "N"), (std::vector<int>{2, 7, 9}));
}

TEST_F(MasterDetailTest, ADetailIndexShorterThanTheMasterFieldsIsNamedOnInsert) {
  // The detail's index has one field for the master's two.
  auto short_ = NewTable("D");
  short_->SetIndexName("pk");
  short_->Open();
  short_->SetMasterSource(src_m_.get());
  short_->SetMasterFields("ID;Name");
  EXPECT_EQ(short_->State(), host::dsBrowse);
  try {
    short_->Insert();
    ADD_FAILURE() << "insert accepted";
  } catch (const host::EDatabaseError& e) {
    EXPECT_EQ(std::string(e.what()), "Master-detail errorName is not a valid index field for this index");
  }
  EXPECT_EQ(short_->State(), host::dsBrowse);
  short_->SetMasterSource(nullptr);
  EXPECT_EQ(short_->RecordCount(), 6);
}

TEST_F(MasterDetailTest, ACircularMasterSourceIsRefused) {
  auto circular = [](const std::function<void()>& f) {
    try {
      f();
    } catch (const host::EDatabaseError& e) {
      return std::string(e.what()).find(host::SCircularDataLink) != std::string::npos;
    }
    return false;
  };
  EXPECT_TRUE(circular([&] { m_->SetMasterSource(src_e_.get()); }));
  EXPECT_TRUE(circular([&] { m_->SetMasterSource(src_m_.get()); }));
  EXPECT_TRUE(circular([&] { d_->SetMasterSource(src_e_.get()); }));
  EXPECT_EQ(m_->MasterSource(), nullptr);
  EXPECT_EQ(d_->MasterSource(), src_m_.get());
  std::vector<host::TField*> master, detail;
  d_->GetDetailLinkFields(master, detail);
  ASSERT_EQ(master.size(), 1u);
  EXPECT_EQ(master[0], F(*m_, "ID"));
  ASSERT_EQ(detail.size(), 2u);
  EXPECT_EQ(detail[0], F(*d_, "MID"));
}

TEST_F(MasterDetailTest, AFailedDetailUpdateLeavesTheDetailBrowsing) {
  // The master's Name ("m1") goes into the detail's integer MID: no number.
  EXPECT_ANY_THROW(d_->SetMasterFields("Name"));
  EXPECT_EQ(d_->State(), host::dsBrowse);
  EXPECT_FALSE(d_->KeyEditing());
  EXPECT_EQ(d_->KeyMode(), kmNone);
  d_->SetMasterFields("ID");
  EXPECT_EQ(d_->RecordCount(), 1);
}

TEST_F(MasterDetailTest, PropertiesReadFromTextTakeEffectInLoadedOrder) {
  d_->SetMasterSource(nullptr);
  e_->SetMasterSource(nullptr);
  auto t = NewTable("D");
  auto* source = new host::TDataSource(t.get());
  source->SetName("MasterSrc");
  source->SetDataSet(m_.get());
  host::ReadComponent(
      "object Detail: TTavTable\n"
      "  Active = True\n"
      "  MasterFields = 'ID'\n"
      "  MasterSource = MasterSrc\n"
      "  IndexFieldNames = 'MID;N'\n"
      "end\n",
      *t);
  ASSERT_TRUE(t->Active());
  EXPECT_EQ(t->IndexName(), "mn");
  EXPECT_EQ(t->RecordCount(), 1);
  m_->Last();
  EXPECT_EQ(Column(*t, "N"), (std::vector<int>{1, 2, 3}));
  t->SetMasterSource(nullptr);
}

}  // namespace
}  // namespace tav
