#include "engine/components/tav_data_set.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "engine/components/testing/memory_table_support.h"
#include "engine/storage/base/tav_errors.h"
#include "engine/storage/base/tav_hash.h"
#include "engine/storage/base/tav_lists.h"
#include "engine/storage/testing/table_test_support.h"
#include "host/db/field_defs.h"
#include "host/db/index_defs.h"
#include "host/rtl/streams.h"
#include "host/rtl/string_list.h"

namespace tav {
namespace {

using host::ftInteger;
using host::ftString;
using host::TIndexOptions;

int ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const ETavDatabaseError& e) {
    return e.ErrorCode();
  }
  return 0;
}

using test::ConnectMemory;

// Creates memory table `name` with one integer field `field` and no index
// through `ds`, bound to `db`.
void CreateOneFieldTable(TTavDataBase& db, TTavDataSet& ds, const std::string& name,
                         const std::string& field) {
  ds.SetDataBase(&db);
  ds.SetMemory(true);
  ds.SetTableName(name);
  host::TFieldDefs f;
  f.Add(field, ftInteger);
  host::TIndexDefs none;
  ds.SetTableDef(true, f, none);
  ds.InternalCreateTable();
}

struct TRow {
  uint32_t Address;
  uint32_t LogicalNo;
  int32_t ID;
  std::string Name;
  int32_t Grp;
};

// A memory database with one table "People": ID (unique), Name (its index
// case-insensitive), Grp (descending index), and Grp;Name.
class CursorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_.SetDataBaseName("MEMORY");
    db_.Open();
    ds_.SetDataBase(&db_);
    ds_.SetMemory(true);
    ds_.SetTableName("People");
    host::TFieldDefs fields;
    fields.Add("ID", ftInteger, 0, true);
    fields.Add("Name", ftString, 20);
    fields.Add("Grp", ftInteger);
    host::TIndexDefs indexes;
    indexes.Add("pk", "ID", TIndexOptions{host::ixPrimary, host::ixUnique});
    indexes.Add("byName", "Name", TIndexOptions{host::ixCaseInsensitive});
    indexes.Add("byGrpDesc", "Grp", TIndexOptions{host::ixDescending});
    indexes.Add("byGrpName", "Grp;Name", TIndexOptions{});
    ds_.SetTableDef(true, fields, indexes);
    ds_.InternalCreateTable();
    conn_ = std::make_unique<test::TTableConnection>(db_.MemoryTableMgr(), ds_.TableDef());
  }
  void TearDown() override {
    ds_.DataSetClose();
    conn_.reset();
  }

  void Fill(int n, uint32_t seed) {
    std::mt19937 rng(seed);
    const char* names[] = {"anna", "Anna", "bob", "BOB", "carl", "dora", "Eve", "eve", "zed"};
    for (int i = 0; i < n; ++i) {
      std::vector<uint8_t> rec = conn_->NewRecord();
      const int32_t id = i * 3 + 10;  // gaps for searches between keys
      const std::string name = names[rng() % 9];
      const int32_t grp = static_cast<int32_t>(rng() % 7);
      conn_->SetInteger(rec, "ID", id);
      conn_->SetString(rec, "Name", name);
      conn_->SetInteger(rec, "Grp", grp);
      const uint32_t a = conn_->Insert(rec);
      rows_.push_back({a, conn_->LogicalRecNo(rec.data()), id, name, grp});
    }
  }

  // Index order of the model: -1/0/1 between two rows.
  static int Cmp(const std::string& index, const TRow& a, const TRow& b) {
    auto ci = [](const std::string& x, const std::string& y) {
      return DBANSICompareStrings(x.data(), y.data(), static_cast<int>(x.size()),
                                  static_cast<int>(y.size()), true, false);
    };
    auto cs = [](const std::string& x, const std::string& y) {
      return DBANSICompareStrings(x.data(), y.data(), static_cast<int>(x.size()),
                                  static_cast<int>(y.size()), false, false);
    };
    auto sgn = [](long long v) { return v < 0 ? -1 : v > 0 ? 1 : 0; };
    int r = 0;
    if (index == "pk") return sgn(a.ID - b.ID);
    if (index == "byName") r = sgn(ci(a.Name, b.Name));
    if (index == "byGrpDesc") r = -sgn(a.Grp - b.Grp);
    if (index == "byGrpName") {
      r = sgn(a.Grp - b.Grp);
      if (r == 0) r = sgn(cs(a.Name, b.Name));
    }
    if (r != 0) return r;
    const int lrn = sgn(static_cast<long long>(a.LogicalNo) - b.LogicalNo);
    return index == "byGrpDesc" ? -lrn : lrn;
  }
  std::vector<TRow> Sorted(const std::string& index) const {
    std::vector<TRow> out = rows_;
    std::sort(out.begin(), out.end(), [&](const TRow& a, const TRow& b) { return Cmp(index, a, b) < 0; });
    return out;
  }

  std::vector<uint32_t> WalkForward() { return test::WalkAddresses(ds_, true); }
  std::vector<uint32_t> WalkBackward() { return test::WalkAddresses(ds_, false); }
  static std::vector<uint32_t> Addresses(const std::vector<TRow>& rows) {
    std::vector<uint32_t> out;
    for (const TRow& r : rows) out.push_back(r.Address);
    return out;
  }
  // A search buffer holding `id`, `name` or `grp` in their fields.
  std::vector<uint8_t> KeyBuffer() {
    std::vector<uint8_t> buf(static_cast<size_t>(ds_.RecordBufferSize()));
    ds_.InitializeNewRecord(buf.data(), false);
    return buf;
  }
  // Turns a range of IDs lo..hi on; the model's addresses inside it, in
  // "pk" order.
  std::vector<uint32_t> SetIdRange(int32_t low, int32_t high) {
    std::vector<uint8_t> lo = KeyBuffer(), hi = KeyBuffer();
    conn_->SetInteger(lo, "ID", low);
    conn_->SetInteger(hi, "ID", high);
    std::memcpy(ds_.GetRangeRecBuf(rmRangeStart), lo.data(), static_cast<size_t>(ds_.RecordSize()));
    std::memcpy(ds_.GetRangeRecBuf(rmRangeEnd), hi.data(), static_cast<size_t>(ds_.RecordSize()));
    ds_.SetRangeOn(true);
    std::vector<uint32_t> inside;
    for (const TRow& r : Sorted("pk"))
      if (r.ID >= low && r.ID <= high) inside.push_back(r.Address);
    return inside;
  }

  TTavDataBase db_{nullptr};
  TTavDataSet ds_{nullptr};
  std::unique_ptr<test::TTableConnection> conn_;
  std::vector<TRow> rows_;
};

TEST_F(CursorTest, WalksEveryIndexBothWaysInModelOrder) {
  Fill(300, 7);
  ds_.DataSetOpen();
  for (const char* index : {"pk", "byName", "byGrpDesc", "byGrpName"}) {
    SCOPED_TRACE(index);
    ds_.InternalSetIndexName(index);
    const std::vector<uint32_t> expected = Addresses(Sorted(index));
    EXPECT_EQ(WalkForward(), expected);
    EXPECT_EQ(WalkBackward(), expected);
    EXPECT_EQ(ds_.GetTotalRecordCount(), 300);
    // A host fetch steps along the index; record numbers stay right.
    ds_.SetReadAheadMode(raReadAheadUninitialized);
    int n = 0;
    for (bool ok = ds_.DataSetFirst(); ok; ok = ds_.DataSetNext()) {
      ASSERT_EQ(ds_.DatasetGetRecAddr(), expected[static_cast<size_t>(n)]);
      ASSERT_EQ(ds_.DataSetGetRecordNo(), ++n);
    }
    EXPECT_EQ(n, 300);
    for (bool ok = ds_.DataSetPrior(); ok; ok = ds_.DataSetPrior()) ASSERT_EQ(ds_.DataSetGetRecordNo(), --n);
    EXPECT_EQ(n, 1);
    ds_.ClearReadAheadMode();
    // Record numbers follow the order both ways.
    for (int n : {1, 2, 150, 299, 300}) {
      ASSERT_EQ(ds_.DataSetSetRecordNo(n), static_cast<int32_t>(expected[static_cast<size_t>(n - 1)]));
      EXPECT_EQ(ds_.DataSetGetRecordNo(), n);
    }
    EXPECT_EQ(ds_.DataSetSetRecordNo(0), -1);
    EXPECT_EQ(ds_.DataSetSetRecordNo(301), -1);
    ASSERT_TRUE(ds_.DataSetFirst());
    ASSERT_TRUE(ds_.DataSetNext());
    EXPECT_EQ(ds_.DataSetGetRecordNo(), 2);
    EXPECT_EQ(ds_.DataSetMoveBy(5), 0);
    EXPECT_EQ(ds_.DataSetGetRecordNo(), 2);
  }
  EXPECT_FALSE(ds_.ReadLocked());
}

TEST_F(CursorTest, EmptyTableHasNoFirstOrLast) {
  ds_.DataSetOpen();
  EXPECT_FALSE(ds_.DataSetFirst());
  EXPECT_FALSE(ds_.DataSetLast());
  EXPECT_EQ(ds_.GetTotalRecordCount(), 0);
  EXPECT_EQ(ds_.DataSetSetRecordNo(1), -1);
}

TEST_F(CursorTest, KeySearchesLandWhereTheModelSays) {
  Fill(120, 11);
  ds_.DataSetOpen();
  TSearchModifier firstField;
  firstField.SetLimitedSearch(true);
  firstField.SetIncludedKeyFieldCount(1);
  struct TProbe {
    const char* Index;
    TRow Key;  // only the index's first field matters
  };
  std::vector<TProbe> probes;
  for (int32_t id : {0, 9, 10, 11, 13, 100, 367, 369, 400}) probes.push_back({"pk", {0, 0, id, "", 0}});
  for (const char* n : {"", "ANNA", "b", "bob", "c", "EVE", "zed", "zz"}) probes.push_back({"byName", {0, 0, 0, n, 0}});
  for (int32_t g : {-1, 0, 3, 6, 9}) probes.push_back({"byGrpDesc", {0, 0, 0, "", g}});
  for (const TProbe& p : probes) {
    ds_.InternalSetIndexName(p.Index);
    const std::vector<TRow> order = Sorted(p.Index);
    // Compare only the first field: the probe sorts before equal keys.
    auto first = [&](const TRow& r) {
      TRow a = r, b = p.Key;
      a.LogicalNo = b.LogicalNo = 0;
      if (std::string(p.Index) == "byGrpDesc") return -Cmp(p.Index, b, a);
      return Cmp(p.Index, a, b);
    };
    for (TIndexSearchType st : {stLT, stLE, stEQ, stGE, stGT}) {
      SCOPED_TRACE(std::string(p.Index) + " " + std::to_string(st) + " " + p.Key.Name +
                   std::to_string(p.Key.ID) + "/" + std::to_string(p.Key.Grp));
      int expected = -1;
      for (int i = 0; i < static_cast<int>(order.size()); ++i) {
        const int c = first(order[static_cast<size_t>(i)]);
        if ((st == stGE && c >= 0) || (st == stGT && c > 0) || (st == stEQ && c == 0)) {
          expected = i;
          break;
        }
        if ((st == stLE && c <= 0) || (st == stLT && c < 0)) expected = i;
      }
      std::vector<uint8_t> buf = KeyBuffer();
      if (std::string(p.Index) == "pk") conn_->SetInteger(buf, "ID", p.Key.ID);
      if (std::string(p.Index) == "byName") conn_->SetString(buf, "Name", p.Key.Name);
      if (std::string(p.Index) == "byGrpDesc") conn_->SetInteger(buf, "Grp", p.Key.Grp);
      const bool found = ds_.FindBuf(buf.data(), st, p.Index, &firstField, false);
      ASSERT_EQ(found, expected >= 0);
      if (found) {
        EXPECT_EQ(ds_.DatasetGetRecAddr(), order[static_cast<size_t>(expected)].Address);
        EXPECT_EQ(ds_.DataSetGetRecordNo(), expected + 1);
      }
    }
  }
  EXPECT_FALSE(ds_.ReadLocked());
}

TEST_F(CursorTest, RangesWalkCountAndNumberLikeTheModel) {
  Fill(200, 5);
  ds_.DataSetOpen();
  struct TCase {
    int32_t Lo, Hi;
  };
  ds_.InternalSetIndexName("pk");
  for (TCase c : {TCase{10, 10}, TCase{11, 12}, TCase{50, 400}, TCase{0, 9}, TCase{600, 700},
                  TCase{300, 100}, TCase{0, 1000}}) {
    SCOPED_TRACE(std::to_string(c.Lo) + ".." + std::to_string(c.Hi));
    ds_.InitializeRangeBuffers(rmRangeStart);
    ds_.InitializeRangeBuffers(rmRangeEnd);
    const std::vector<uint32_t> expected = SetIdRange(c.Lo, c.Hi);
    EXPECT_EQ(ds_.RangeValid(), c.Lo <= c.Hi);
    EXPECT_EQ(WalkForward(), expected);
    EXPECT_EQ(WalkBackward(), expected);
    EXPECT_EQ(ds_.GetCurrentRecordCount(), static_cast<int32_t>(expected.size()));
    if (!expected.empty()) {
      ASSERT_TRUE(ds_.DataSetFirst());
      EXPECT_EQ(ds_.DataSetGetRecordNo(), 1);
      const int32_t n = static_cast<int32_t>(expected.size());
      EXPECT_EQ(ds_.DataSetSetRecordNo(n), static_cast<int32_t>(expected.back()));
      EXPECT_EQ(ds_.DataSetGetRecordNo(), n);
      EXPECT_EQ(ds_.DataSetSetRecordNo(n + 1), -1);
      // A fetch whose steps are interleaved with counting and positioning,
      // both of which move the index, still steps from the right record.
      ds_.SetRangeOn(true);
      ds_.SetReadAheadMode(raReadAheadUninitialized);
      std::vector<uint32_t> walked;
      for (bool ok = ds_.DataSetFirst(); ok; ok = ds_.DataSetNext()) {
        walked.push_back(ds_.DatasetGetRecAddr());
        EXPECT_EQ(ds_.DataSetGetRecordNo(), static_cast<int32_t>(walked.size()));
        if (walked.size() == 1) {
          EXPECT_EQ(ds_.GetCurrentRecordCount(), n);
        }
        if (walked.size() == 3 && n > 6) {
          ASSERT_EQ(ds_.DataSetSetRecordNo(5), static_cast<int32_t>(expected[4]));
          ASSERT_EQ(ds_.DataSetSetRecordNo(3), static_cast<int32_t>(expected[2]));
        }
      }
      ds_.ClearReadAheadMode();
      EXPECT_EQ(walked, expected);
    }
    ds_.SetRangeOn(false);
  }
  EXPECT_EQ(ds_.GetCurrentRecordCount(), 200);
  EXPECT_FALSE(ds_.ReadLocked());
}

TEST_F(CursorTest, RangeOnLeadingFieldOfCompoundIndex) {
  Fill(150, 21);
  ds_.DataSetOpen();
  ds_.InternalSetIndexName("byGrpName");
  std::vector<uint32_t> expected;
  for (const TRow& r : Sorted("byGrpName"))
    if (r.Grp >= 2 && r.Grp <= 4) expected.push_back(r.Address);
  ds_.InitializeRangeBuffers(rmRangeStart);
  ds_.InitializeRangeBuffers(rmRangeEnd);
  const int32_t two = 2, four = 4;
  const int grp = ds_.GetFieldNo("Grp");
  uint8_t* s = ds_.GetRangeRecBuf(rmRangeStart);
  uint8_t* e = ds_.GetRangeRecBuf(rmRangeEnd);
  s[ds_.GetFieldNullOffset(grp)] = 1;
  std::memcpy(s + ds_.GetFieldDataOffset(grp), &two, 4);
  e[ds_.GetFieldNullOffset(grp)] = 1;
  std::memcpy(e + ds_.GetFieldDataOffset(grp), &four, 4);
  ds_.SetRangeOn(true);
  EXPECT_EQ(WalkForward(), expected);
  EXPECT_EQ(WalkBackward(), expected);
  EXPECT_EQ(ds_.GetCurrentRecordCount(), static_cast<int32_t>(expected.size()));
}

// The ends of a range on indexes whose entries hold more than the record's
// visible key: a case-insensitive text with the hidden record number after
// it, and a descending number. First lands on the range's first record or
// finds none, also when the range lies between two keys or past the last.
TEST_F(CursorTest, RangesOnNonUniqueIndexesStartWhereTheModelSays) {
  Fill(120, 33);
  ds_.DataSetOpen();
  auto ci = [](const std::string& x, const std::string& y) {
    return DBANSICompareStrings(x.data(), y.data(), static_cast<int>(x.size()), static_cast<int>(y.size()), true,
                                false);
  };
  struct TNameCase {
    const char* Lo;
    const char* Hi;
  };
  ds_.InternalSetIndexName("byName");
  for (TNameCase c : {TNameCase{"ANNA", "bob"}, TNameCase{"c", "d"}, TNameCase{"f", "y"}, TNameCase{"EVE", "EVE"},
                      TNameCase{"zz", "zzz"}, TNameCase{"a", "anna"}}) {
    SCOPED_TRACE(std::string(c.Lo) + ".." + c.Hi);
    std::vector<uint8_t> lo = KeyBuffer(), hi = KeyBuffer();
    conn_->SetString(lo, "Name", c.Lo);
    conn_->SetString(hi, "Name", c.Hi);
    ds_.InitializeRangeBuffers(rmRangeStart);
    ds_.InitializeRangeBuffers(rmRangeEnd);
    std::memcpy(ds_.GetRangeRecBuf(rmRangeStart), lo.data(), static_cast<size_t>(ds_.RecordSize()));
    std::memcpy(ds_.GetRangeRecBuf(rmRangeEnd), hi.data(), static_cast<size_t>(ds_.RecordSize()));
    ds_.SetRangeOn(true);
    std::vector<uint32_t> expected;
    for (const TRow& r : Sorted("byName"))
      if (ci(r.Name, c.Lo) >= 0 && ci(r.Name, c.Hi) <= 0) expected.push_back(r.Address);
    EXPECT_EQ(ds_.DataSetFirst(), !expected.empty());
    if (!expected.empty()) {
      EXPECT_EQ(ds_.DatasetGetRecAddr(), expected.front());
    }
    EXPECT_EQ(WalkForward(), expected);
    ds_.SetRangeOn(false);
  }
  ds_.InternalSetIndexName("byGrpDesc");
  for (int32_t high : {6, 4, 0}) {
    for (int32_t low : {high, high - 1}) {
      SCOPED_TRACE(std::to_string(high) + " down to " + std::to_string(low));
      std::vector<uint8_t> from = KeyBuffer(), to = KeyBuffer();
      conn_->SetInteger(from, "Grp", high);
      conn_->SetInteger(to, "Grp", low);
      ds_.InitializeRangeBuffers(rmRangeStart);
      ds_.InitializeRangeBuffers(rmRangeEnd);
      std::memcpy(ds_.GetRangeRecBuf(rmRangeStart), from.data(), static_cast<size_t>(ds_.RecordSize()));
      std::memcpy(ds_.GetRangeRecBuf(rmRangeEnd), to.data(), static_cast<size_t>(ds_.RecordSize()));
      ds_.SetRangeOn(true);
      std::vector<uint32_t> expected;
      for (const TRow& r : Sorted("byGrpDesc"))
        if (r.Grp <= high && r.Grp >= low) expected.push_back(r.Address);
      EXPECT_EQ(ds_.DataSetFirst(), !expected.empty());
      if (!expected.empty()) {
        EXPECT_EQ(ds_.DatasetGetRecAddr(), expected.front());
      }
      EXPECT_EQ(WalkForward(), expected);
      ds_.SetRangeOn(false);
    }
  }
  EXPECT_FALSE(ds_.ReadLocked());
}

TEST_F(CursorTest, FieldReadsAndIndexInformation) {
  Fill(3, 1);
  ds_.DataSetOpen();
  ds_.InternalSetIndexName("pk");
  ASSERT_TRUE(ds_.DataSetFirst());
  EXPECT_EQ(ds_.DataSetGetFieldDataAsVariant(ds_.GetFieldNo("ID")).AsInteger(), 10);
  EXPECT_EQ(ds_.DataSetGetFieldDataAsVariant(ds_.GetFieldNo("Name")).AsString(), rows_[0].Name);
  EXPECT_EQ(ds_.InternalGetIndexCount(), 4);
  ds_.InternalSetIndexName("byGrpName");
  EXPECT_EQ(ds_.GetIndexFieldCount(), 2);  // the hidden record number is not counted
  host::TStringList names, fields;
  ds_.GetIndexNames(names);
  ds_.GetIndexFieldNamesList(fields);
  EXPECT_EQ(names.Text(), "pk\r\nbyName\r\nbyGrpDesc\r\nbyGrpName\r\n");
  EXPECT_EQ(fields.Text(), "ID\r\nName\r\nGrp\r\nGrp;Name\r\n");
  EXPECT_EQ(ds_.FindIndexForFields("Grp;Name"), "byGrpName");
  host::TIndexDefs defs;
  host::TIndexDef* d = defs.AddIndexDef();
  ds_.GetIndexDef(2, *d);
  EXPECT_EQ(d->Name(), "byGrpDesc");
  EXPECT_EQ(d->Fields(), "Grp");
  EXPECT_EQ(d->DescFields(), "Grp");
  EXPECT_TRUE(d->Options().Contains(host::ixDescending));
  EXPECT_FALSE(d->Options().Contains(host::ixUnique));
  ds_.GetIndexDef(0, *d);
  EXPECT_TRUE(d->Options().Contains(host::ixUnique));
  EXPECT_TRUE(d->Options().Contains(host::ixPrimary));
  EXPECT_EQ(d->DescFields(), "");
  EXPECT_EQ(ErrorOf([&] { ds_.FindIndexForFields("Name;Grp"); }), 9997);
}

TEST_F(CursorTest, ForgedBookmarksAreInvalid) {
  Fill(20, 3);
  ds_.DataSetOpen();
  ASSERT_TRUE(ds_.DataSetFirst());
  uint8_t mark[kBookmarkSize];
  ds_.GetBookMarkFromBuf(ds_.RecordBuffer(), mark);
  EXPECT_TRUE(ds_.CheckBookMarkValid(mark));
  EXPECT_FALSE(ds_.CheckBookMarkValid(nullptr));
  // Random addresses.
  std::mt19937 rng(99);
  for (int i = 0; i < 200; ++i) {
    uint8_t forged[kBookmarkSize];
    const uint32_t a = rng();
    std::memcpy(forged, &a, 4);
    std::memcpy(forged + 4, mark + 4, 4);
    EXPECT_FALSE(ds_.CheckBookMarkValid(forged));
    EXPECT_EQ(ErrorOf([&] { ds_.DataSetSetToBookmark(forged); }), 8708);
  }
  // The right address with another record's logical number.
  uint8_t other[kBookmarkSize];
  std::memcpy(other, mark, kBookmarkSize);
  other[4] ^= 0x40;
  EXPECT_FALSE(ds_.CheckBookMarkValid(other));
  // A record of another table, with the same logical number.
  TTavDataSet second(nullptr);
  CreateOneFieldTable(db_, second, "Other", "ID");
  test::TTableConnection c2(db_.MemoryTableMgr(), second.TableDef());
  uint32_t a2 = 0;
  for (int i = 0; i < 20; ++i) {
    std::vector<uint8_t> rec = c2.NewRecord();
    c2.SetInteger(rec, "ID", i);
    const uint32_t a = c2.Insert(rec);
    if (c2.LogicalRecNo(rec.data()) == rows_[0].LogicalNo) a2 = a;
  }
  uint8_t foreign[kBookmarkSize];
  std::memcpy(foreign, &a2, 4);
  std::memcpy(foreign + 4, mark + 4, 4);
  EXPECT_FALSE(ds_.CheckBookMarkValid(foreign));
  // The record deleted, its place taken by a new one.
  conn_->Delete(rows_[0].Address);
  EXPECT_FALSE(ds_.CheckBookMarkValid(mark));
  std::vector<uint8_t> rec = conn_->NewRecord();
  conn_->SetInteger(rec, "ID", 5);
  conn_->Insert(rec);
  EXPECT_FALSE(ds_.CheckBookMarkValid(mark));
  // A live bookmark positions.
  uint8_t live[kBookmarkSize];
  std::memcpy(live, &rows_[5].Address, 4);
  std::memcpy(live + 4, &rows_[5].LogicalNo, 4);
  ASSERT_TRUE(ds_.DataSetSetToBookmark(live));
  EXPECT_EQ(ds_.DatasetGetRecAddr(), rows_[5].Address);
  EXPECT_FALSE(ds_.ReadLocked());
}

TEST_F(CursorTest, OpenChoosesIndexAndKeepsNoLockOnFailure) {
  Fill(5, 2);
  // An unknown index name falls back to the first visible one.
  ds_.DataSetOpen();
  EXPECT_EQ(ds_.IndexName(), "pk");
  EXPECT_FALSE(ds_.UseReadAheadBuffer());  // memory tables read no ahead
  EXPECT_EQ(ErrorOf([&] { ds_.InternalFind(stGE, "nope"); }), 9997);
  EXPECT_FALSE(ds_.ReadLocked());
  EXPECT_EQ(ErrorOf([&] { ds_.DataSetOpen(); }), 10031);
  EXPECT_TRUE(ds_.InternalActive());
  ds_.DataSetClose();
  EXPECT_EQ(db_.MemoryTableMgr().CheckTableUserCount("People"), 1);  // the test connection

  // A damaged scrambled name refuses the open and leaves nothing held.
  db_.MemoryTableMgr().Masters(0)->SetEncrypted(true);
  db_.MemoryTableMgr().Masters(0)->SetAltName("People");
  EXPECT_EQ(ErrorOf([&] { ds_.DataSetOpen(); }), 8961);
  EXPECT_FALSE(ds_.InternalActive());
  EXPECT_FALSE(ds_.ReadLocked());
  EXPECT_EQ(db_.MemoryTableMgr().CheckTableUserCount("People"), 1);
  db_.MemoryTableMgr().Masters(0)->SetEncrypted(false);

  // A failure inside the inner open, after its read lock, closes again and
  // releases the lock.
  const int32_t size = db_.MemoryTableMgr().Masters(0)->RecordSize();
  db_.MemoryTableMgr().Masters(0)->SetRecordSize(0);
  EXPECT_EQ(ErrorOf([&] { ds_.DataSetOpen(); }), 8581);
  EXPECT_FALSE(ds_.InternalActive());
  EXPECT_FALSE(ds_.ReadLocked());
  EXPECT_EQ(db_.MemoryTableMgr().CheckTableUserCount("People"), 1);
  db_.MemoryTableMgr().Masters(0)->SetRecordSize(size);

  // Disconnecting closes the cursor first.
  conn_.reset();
  ds_.DataSetOpen();
  db_.Close();
  EXPECT_FALSE(ds_.InternalActive());
}

TEST(CursorOpenTest, TableWithoutIndexesOpensOnLogicalRecNo) {
  TTavDataBase db(nullptr);
  db.SetDataBaseName("MEMORY");
  db.Open();
  TTavDataSet ds(nullptr);
  CreateOneFieldTable(db, ds, "Plain", "A");
  ASSERT_EQ(ds.TableDef().InternalIndexDefs().Count(), 1);
  EXPECT_TRUE(ds.TableDef().InternalIndexDefs().Items(0)->Hidden());
  test::TTableConnection c(db.MemoryTableMgr(), ds.TableDef());
  std::vector<uint32_t> added;
  for (int i = 0; i < 10; ++i) {
    std::vector<uint8_t> rec = c.NewRecord();
    c.SetInteger(rec, "A", 100 - i);
    added.push_back(c.Insert(rec));
  }
  ds.DataSetOpen();
  EXPECT_EQ(ds.IndexName(), kLogicalRecNoIndexName);
  EXPECT_EQ(ds.InternalGetIndexCount(), 0);
  std::vector<uint32_t> walked;
  for (bool ok = ds.DataSetFirst(); ok; ok = ds.DataSetNext()) walked.push_back(ds.DatasetGetRecAddr());
  EXPECT_EQ(walked, added);
  // A field no index leads: the hash takes each record's value.
  TTavBaseHash hash(64, 4, 64);
  hash.SetSourceFieldName("A");
  ds.LoadHashListOfRecords(hash, nullptr);
  EXPECT_EQ(hash.KeyCount(), 10);
  for (int i = 0; i < 10; ++i) {
    const int32_t v = 100 - i;
    EXPECT_EQ(hash.ValueOf(&v, 4), added[static_cast<size_t>(i)]);
  }
  TTavBaseHash missing(8, 4, 8);
  missing.SetSourceFieldName("Nope");
  EXPECT_THROW(ds.LoadHashListOfRecords(missing, nullptr), host::EAssertionFailed);
  EXPECT_FALSE(ds.ReadLocked());
  ds.DataSetClose();
}

TEST_F(CursorTest, HashListFromAnIndexLedByTheField) {
  Fill(50, 6);
  ds_.DataSetOpen();
  ds_.InternalSetIndexName("pk");
  TTavBaseHash hash(128, 8, 128);
  hash.SetSourceFieldName("Grp");
  ds_.LoadHashListOfRecords(hash, nullptr);
  EXPECT_EQ(hash.KeyCount(), 50);
}

TEST_F(CursorTest, ReadAheadServesStepsAndDropsOnHeaderChange) {
  Fill(40, 8);
  ds_.DataSetOpen();
  ds_.InternalSetIndexName("pk");
  ds_.SetUseReadAheadBuffer(true);
  ds_.SetReadAheadMode(raReadAheadUninitialized);
  ASSERT_TRUE(ds_.DataSetFirst());
  ASSERT_GT(ds_.ReadAheadBuffer().Count(), 1);
  // Change the second record in storage behind the cursor's back, without
  // telling the header: a step served from the read-ahead buffer still
  // shows the old value, so it read no record.
  const std::vector<TRow> order = Sorted("pk");
  std::vector<uint8_t> rec = conn_->Read(order[1].Address);
  conn_->SetString(rec, "Name", "changed");
  conn_->Records().UpdateRecord(order[1].Address, rec.data());
  ASSERT_TRUE(ds_.DataSetNext());
  EXPECT_EQ(ds_.ReadAheadMode(), raReadAheadActive);
  EXPECT_EQ(ds_.DataSetGetFieldDataAsVariant(ds_.GetFieldNo("Name")).AsString(), order[1].Name);
  // Now the header changes: the buffer is dropped and the record read.
  ASSERT_TRUE(ds_.DataSetPrior());
  conn_->Begin();
  conn_->End();
  conn_->Header().SetDirty(false);
  ASSERT_TRUE(ds_.DataSetNext());
  EXPECT_EQ(ds_.DataSetGetFieldDataAsVariant(ds_.GetFieldNo("Name")).AsString(), "changed");
  ds_.ReleaseReadAheadMode();
  EXPECT_EQ(ds_.ReadAheadMode(), raReadAheadInactive);
  // Walks with read-ahead agree with the model.
  ds_.SetReadAheadMode(raReadAheadUninitialized);
  EXPECT_EQ(WalkForward(), Addresses(order));
  ds_.ClearReadAheadMode();
  ds_.SetReadAheadMode(raReadAheadUninitialized);
  EXPECT_EQ(WalkBackward(), Addresses(order));
  ds_.ClearReadAheadMode();
}

TEST_F(CursorTest, StepsOneAtATimeListMoreRecordsEachFillAndAgreeWithTheModel) {
  // As a host fetching one record per call steps: no read-ahead mode.
  Fill(600, 9);
  ds_.DataSetOpen();
  ds_.InternalSetIndexName("pk");
  ds_.SetUseReadAheadBuffer(true);
  ASSERT_EQ(ds_.ReadAheadMode(), raReadAheadInactive);
  for (bool forwards : {true, false}) {
    std::vector<uint32_t> walked;
    int most = 0;
    for (bool ok = forwards ? ds_.DataSetFirst() : ds_.DataSetLast(); ok;
         ok = forwards ? ds_.DataSetNext() : ds_.DataSetPrior()) {
      walked.push_back(ds_.DatasetGetRecAddr());
      most = std::max(most, ds_.ReadAheadBuffer().Count());
    }
    std::vector<uint32_t> expected = Addresses(Sorted("pk"));
    if (!forwards) std::reverse(expected.begin(), expected.end());
    EXPECT_EQ(walked, expected) << forwards;
    EXPECT_GT(most, 2 * ds_.ReadAheadBufferSize()) << forwards;
  }
  // Inside a range, whose ends cut the fills short on either side.
  const std::vector<uint32_t> inRange = SetIdRange(400, 1300);
  ASSERT_EQ(inRange.size(), 301u);
  EXPECT_EQ(WalkForward(), inRange);
  EXPECT_EQ(WalkBackward(), inRange);  // given back in index order
}

TEST_F(CursorTest, StepsServedFromTheReadAheadKeepToTheRangeInForceAsItChanges) {
  Fill(600, 12);  // IDs 10, 13, ..., 1807
  ds_.DataSetOpen();
  ds_.InternalSetIndexName("pk");
  ds_.SetUseReadAheadBuffer(true);
  auto idAt = [&](uint32_t address) {
    for (const TRow& r : rows_)
      if (r.Address == address) return r.ID;
    return -1;
  };
  auto stepsFrom = [&](bool forwards) {
    std::vector<int32_t> ids;
    while (forwards ? ds_.DataSetNext() : ds_.DataSetPrior()) ids.push_back(idAt(ds_.DatasetGetRecAddr()));
    return ids;
  };
  auto expected = [](int32_t from, int32_t to, int32_t step) {
    std::vector<int32_t> ids;
    for (int32_t id = from; step > 0 ? id <= to : id >= to; id += step) ids.push_back(id);
    return ids;
  };
  for (bool forwards : {true, false}) {
    SCOPED_TRACE(forwards);
    SetIdRange(400, 1300);
    ASSERT_TRUE(forwards ? ds_.DataSetFirst() : ds_.DataSetLast());
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(forwards ? ds_.DataSetNext() : ds_.DataSetPrior());
    const int32_t at = idAt(ds_.DatasetGetRecAddr());
    ASSERT_EQ(at, forwards ? 550 : 1150);
    ASSERT_GT(ds_.ReadAheadBuffer().Count(), 1);
    // A narrower range ends a few records on: the records listed ahead
    // under the wider one are not served past its end.
    SetIdRange(forwards ? 300 : at - 10, forwards ? at + 10 : 1500);
    EXPECT_EQ(stepsFrom(forwards), forwards ? expected(553, 559, 3) : expected(1147, 1141, -3));
    // A wider one goes on to its own end.
    SetIdRange(forwards ? 10 : 100, forwards ? 700 : 1807);
    ASSERT_TRUE(forwards ? ds_.DataSetFirst() : ds_.DataSetLast());
    for (int i = 0; i < 30; ++i) ASSERT_TRUE(forwards ? ds_.DataSetNext() : ds_.DataSetPrior());
    EXPECT_EQ(stepsFrom(forwards), forwards ? expected(103, 700, 3) : expected(1714, 100, -3));
    ds_.SetRangeOn(false);
  }
}

TEST_F(CursorTest, MasterRecordListFollowsTheRange) {
  Fill(60, 4);
  ds_.DataSetOpen();
  ds_.InternalSetIndexName("pk");
  TCompoundList all;
  ds_.InternalPrepareMasterRecordList(all);
  EXPECT_EQ(all.List1(), Addresses(Sorted("pk")));
  const std::vector<uint32_t> expected = SetIdRange(20, 40);
  TCompoundList some;
  ds_.InternalPrepareMasterRecordList(some);
  EXPECT_EQ(some.List1(), expected);
}

// ---- definition limits ----

struct TLimitCase {
  const char* Name;
  int Code;
  std::function<void(host::TFieldDefs&, host::TIndexDefs&, std::string&)> Shape;
};

TEST(TableDefLimitsTest, RefusedDefinitionsCreateNothing) {
  const std::vector<TLimitCase> cases = {
      {"ok", 0, [](auto&, auto&, auto&) {}},
      {"long table name", 10039, [](auto&, auto&, std::string& t) { t = std::string(41, 'T'); }},
      {"empty table name", 10039, [](auto&, auto&, std::string& t) { t.clear(); }},
      {"reserved table name", 10041, [](auto&, auto&, std::string& t) { t = "all"; }},
      {"no fields", 9492, [](host::TFieldDefs& f, auto&, auto&) { f.Clear(); }},
      {"256 fields", 9492,
       [](host::TFieldDefs& f, auto&, auto&) {
         for (int i = 0; i < 255; ++i) f.Add("F" + std::to_string(i), ftInteger);
       }},
      {"long field name", 10038, [](host::TFieldDefs& f, auto&, auto&) { f.Add(std::string(41, 'x'), ftInteger); }},
      {"reserved field name", 10041, [](host::TFieldDefs& f, auto&, auto&) { f.Add("ALL", ftInteger); }},
      {"255 characters", 0, [](host::TFieldDefs& f, auto&, auto&) { f.Add("S", ftString, 255); }},
      {"256 characters", 9606, [](host::TFieldDefs& f, auto&, auto&) { f.Add("S", ftString, 256); }},
      {"33 indexes", 9604,
       [](auto&, host::TIndexDefs& x, auto&) {
         for (int i = 0; i < 33; ++i) x.Add("i" + std::to_string(i), "K", TIndexOptions{});
       }},
      {"32 indexes", 0,
       [](auto&, host::TIndexDefs& x, auto&) {
         for (int i = 0; i < 32; ++i) x.Add("i" + std::to_string(i), "K", TIndexOptions{});
       }},
      {"unknown key field", 10116, [](auto&, host::TIndexDefs& x, auto&) { x.Add("i", "Nope", TIndexOptions{}); }},
      {"blob key", 10117,
       [](host::TFieldDefs& f, host::TIndexDefs& x, auto&) {
         f.Add("B", host::ftBlob);
         x.Add("i", "B", TIndexOptions{});
       }},
      {"key too large", 9602,
       [](host::TFieldDefs& f, host::TIndexDefs& x, auto&) {
         f.Add("S1", ftString, 250);
         f.Add("S2", ftString, 250);
         x.Add("i", "S1;S2", TIndexOptions{});
       }},
  };
  for (const TLimitCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TTavDataBase db(nullptr);
    TTavDataSet ds(nullptr);
    ConnectMemory(db, ds);
    host::TFieldDefs f;
    host::TIndexDefs x;
    f.Add("K", ftInteger);
    std::string table = "T";
    c.Shape(f, x, table);
    ds.SetTableName(table);
    const int code = ErrorOf([&] {
      ds.SetTableDef(true, f, x);
      ds.InternalCreateTable();
    });
    EXPECT_EQ(code, c.Code);
    host::TStringList names;
    db.GetTableNames(names, true);
    EXPECT_EQ(names.Count(), c.Code == 0 ? 1 : 0);
    EXPECT_FALSE(ds.ReadLocked());
  }
}

TEST(TableDefLimitsTest, IndexConversionShapesKeys) {
  TTavDataSet ds(nullptr);
  ds.SetTableName("T");
  host::TFieldDefs f;
  f.Add("A", ftInteger);
  f.Add("B", ftString, 10);
  host::TIndexDefs x;
  host::TIndexDef* d = x.Add("ab", "A;B", TIndexOptions{host::ixDescending, host::ixCaseInsensitive});
  d->SetCaseInsFields("B");
  x.Add("u", "A", TIndexOptions{host::ixUnique});
  ds.SetTableDef(true, f, x);
  const TKeyFields& keys = ds.TableDef().KeyFields();
  ASSERT_EQ(keys.Count(), 4);  // A, B, hidden record number; A
  EXPECT_TRUE(keys.Items(0)->Descending());
  EXPECT_FALSE(keys.Items(0)->CaseInsensitive());
  EXPECT_TRUE(keys.Items(1)->CaseInsensitive());
  EXPECT_TRUE(keys.Items(2)->Hidden());
  EXPECT_TRUE(keys.Items(2)->Descending());
  EXPECT_EQ(keys.Items(2)->RecBufOffset(), kRecLogicalNoOffset);
}

// ---- database ----

TEST_F(CursorTest, SetToFlagsAcceptsOnlyTheUnchangedRecord) {
  Fill(10, 4);
  ds_.DataSetOpen();
  ds_.InternalSetIndexName("pk");
  ASSERT_TRUE(ds_.DataSetFirst());
  const uint32_t flag = ds_.DataSetGetRecordModFlag();
  ASSERT_TRUE(ds_.DataSetNext());
  conn_->Delete(rows_[3].Address);
  struct TCase {
    const char* What;
    uint32_t Address;
    uint32_t ModFlag;
    int Error;
  } cases[] = {
      {"unchanged", rows_[0].Address, flag, 0},
      {"flag changed", rows_[0].Address, flag + 1, 8708},
      // The cursor lands on a neighbour of a deleted record; it must not
      // pass for the record asked for.
      {"deleted", rows_[3].Address, flag, 8708},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.What);
    EXPECT_EQ(ErrorOf([&] { ds_.DataSetSetToFlags(c.Address, c.ModFlag); }), c.Error);
    if (c.Error == 0) {
      EXPECT_EQ(ds_.DatasetGetRecAddr(), c.Address);
    }
    EXPECT_FALSE(ds_.ReadLocked());
  }
}

TEST_F(CursorTest, PrivilegesCachesAndDesignTimeIndexNames) {
  Fill(3, 5);
  ds_.DataSetOpen();
  struct TCase {
    int32_t Flags;
    bool ReadOnly;
  } cases[] = {{kAllPrivileges, false}, {2048, true}, {0, true},
               {256 | 2048, false}, {1024, false}, {4096, false}};
  const int32_t kept = ds_.TableDef().PrivilegeFlags();
  for (const TCase& c : cases) {
    ds_.TableDef().SetPrivilegeFlags(c.Flags);
    EXPECT_EQ(ds_.CheckReadOnlyPrivileges(), c.ReadOnly) << c.Flags;
  }
  ds_.TableDef().SetPrivilegeFlags(kept);
  // Dropping the index manager's buffers leaves walks whole.
  ds_.InternalSetIndexName("byName");
  ASSERT_TRUE(ds_.DataSetFirst());
  ds_.DumpInternalCaches();
  int n = 1;
  while (ds_.DataSetNext()) ++n;
  EXPECT_EQ(n, 3);

  // While designed, a closed dataset reads the stored definition.
  TTavDataSet designed(nullptr);
  designed.SetDataBase(&db_);
  designed.SetMemory(true);
  designed.SetTableName("People");
  designed.SetDesigning(true);
  host::TStringList names, fields;
  designed.GetIndexNames(names);
  designed.GetIndexFieldNamesList(fields);
  EXPECT_EQ(names.Text(), "pk\r\nbyName\r\nbyGrpDesc\r\nbyGrpName\r\n");
  EXPECT_EQ(fields.Text(), "ID\r\nName\r\nGrp\r\nGrp;Name\r\n");
  designed.SetTableName("Missing");
  EXPECT_EQ(ErrorOf([&] { designed.GetIndexNames(names); }), 10024);
  TTavDataSet unbound(nullptr);
  unbound.SetDesigning(true);
  EXPECT_EQ(ErrorOf([&] { unbound.GetIndexNames(names); }), 10112);
}

TEST(CursorBlobTest, FieldStreamsAndBlobCache) {
  TTavDataBase db(nullptr);
  TTavDataSet ds(nullptr);
  ConnectMemory(db, ds);
  ds.SetTableName("Notes");
  host::TFieldDefs f;
  f.Add("ID", ftInteger, 0, true);
  f.Add("Body", host::ftMemo);
  host::TIndexDefs idx;
  idx.Add("pk", "ID", TIndexOptions{host::ixPrimary, host::ixUnique});
  ds.SetTableDef(true, f, idx);
  ds.InternalCreateTable();
  test::TTableConnection conn(db.MemoryTableMgr(), ds.TableDef());
  // Bodies of 0 bytes (null), one byte, and several BLOB blocks.
  const std::vector<std::string> bodies = {"", "x", std::string(3000, 'q') + "end"};
  const TInternalFieldItem& body = conn.Field("Body");
  for (size_t i = 0; i < bodies.size(); ++i) {
    std::vector<uint8_t> rec = conn.NewRecord();
    conn.SetInteger(rec, "ID", static_cast<int32_t>(i));
    if (!bodies[i].empty()) {
      host::TMemoryStream in;
      in.WriteBuffer(bodies[i].data(), static_cast<int32_t>(bodies[i].size()));
      const uint32_t address = conn.Blobs().InsertBlob(in);
      const uint32_t size = static_cast<uint32_t>(bodies[i].size());
      std::memcpy(rec.data() + body.DataOffset(), &address, 4);
      std::memcpy(rec.data() + body.DataOffset() + 4, &size, 4);
      rec[static_cast<size_t>(body.NullFlagOffset())] = 1;
    }
    conn.Insert(rec);
  }
  ds.DataSetOpen();
  const int bodyNo = ds.GetFieldNo("Body");
  auto text = [](host::TMemoryStream& m) {
    return std::string(reinterpret_cast<const char*>(m.Memory()), static_cast<size_t>(m.Size()));
  };
  size_t i = 0;
  for (bool ok = ds.DataSetFirst(); ok; ok = ds.DataSetNext(), ++i) {
    SCOPED_TRACE(i);
    host::TMemoryStream out;
    out.WriteBuffer("stale", 5);  // replaced, not appended to
    bool isNull = false;
    ds.DataSetGetFieldStream(bodyNo, isNull, out);
    EXPECT_EQ(isNull, bodies[i].empty());
    if (!isNull) {
      EXPECT_EQ(text(out), bodies[i]);
    }
  }
  EXPECT_EQ(i, bodies.size());
  bool isNull;
  host::TMemoryStream out;
  EXPECT_EQ(ErrorOf([&] { ds.DataSetGetFieldStream(ds.GetFieldNo("ID"), isNull, out); }), 8581);
  EXPECT_EQ(ErrorOf([&] { ds.DataSetGetFieldData(bodyNo, isNull, nullptr); }), 8581);
  // Content the record manager's item holds is served before the file's.
  TBlob* item = ds.RecordMgr().BlobMgr().FindBlob(0, body.FieldIndex());
  ASSERT_NE(item, nullptr);
  item->Stream().WriteBuffer("held", 4);
  item->SetState(bsModified);
  host::TMemoryStream held;
  ds.DataSetGetFieldStream(bodyNo, isNull, held);
  EXPECT_FALSE(isNull);
  EXPECT_EQ(text(held), "held");

  // The cache: per address and field, replaced when set again.
  host::TMemoryStream a, b, got;
  a.WriteBuffer("first", 5);
  b.WriteBuffer("2nd", 3);
  EXPECT_FALSE(ds.GetBlobCacheData(100, bodyNo, got));
  ds.SetBlobCacheData(100, bodyNo, a);
  ds.SetBlobCacheData(200, bodyNo, b);
  ds.SetBlobCacheData(100, bodyNo, b);
  ASSERT_TRUE(ds.GetBlobCacheData(100, bodyNo, got));
  EXPECT_EQ(text(got), "2nd");
  EXPECT_FALSE(ds.GetBlobCacheData(100, bodyNo + 1, got));
  ds.DataSetClose();
  EXPECT_FALSE(ds.GetBlobCacheData(200, bodyNo, got));
}

TEST(TavDataBaseTest, PropertiesAndMemoryTables) {
  TTavDataBase db(nullptr);
  db.SetDataBaseName("/data/sales/shop.tdb");
  EXPECT_EQ(db.DataBaseName(), "shop.tdb");
  EXPECT_EQ(db.Directory(), "/data/sales/");
  db.SetDirectory("/x");
  EXPECT_EQ(db.Directory(), "/x/");
  db.SetVersion("9");
  EXPECT_EQ(db.Version(), "1.41.02");
  db.SetDataBaseName("memory");  // lower case names a file
  EXPECT_NE(ErrorOf([&] { db.Open(); }), 0);
  EXPECT_FALSE(db.Connected());
  db.SetDataBaseName("MEMORY");
  db.Open();
  db.Open();
  EXPECT_TRUE(db.Connected());
  EXPECT_EQ(db.DataBasePrivileges(), kAllPrivileges);
  EXPECT_EQ(ErrorOf([&] { db.SetReadOnly(true); }), 10120);
  EXPECT_EQ(ErrorOf([&] { db.SetDataBaseName("x"); }), 10120);
  EXPECT_EQ(ErrorOf([&] { db.CheckConnected(false); }), 10880);

  TTavDataSet ds(nullptr);
  CreateOneFieldTable(db, ds, "M", "A");
  EXPECT_EQ(ds.TableDef().Version(), "1.41.02");
  EXPECT_TRUE(ds.GetExists());
  EXPECT_FALSE(db.LockTable(ds.TableDef(), kTableReadLock));
  ds.DataSetOpen();
  EXPECT_EQ(ds.Version(), "1.41.02");
  EXPECT_EQ(ErrorOf([&] { db.DeleteTable("M", true); }), 10053);
  EXPECT_THROW(ds.SetTableName("N"), host::EDatabaseError);
  ds.DataSetClose();
  db.DeleteTable("M", true);
  EXPECT_FALSE(ds.GetExists());
  EXPECT_EQ(ErrorOf([&] { ds.DataSetOpen(); }), 10024);
  db.Close();
  EXPECT_EQ(ErrorOf([&] { db.CheckConnected(true); }), 10113);
  TTavDataSet orphan(nullptr);
  orphan.SetTableName("M");
  EXPECT_EQ(ErrorOf([&] { orphan.DataSetOpen(); }), 10112);
}

}  // namespace
}  // namespace tav
