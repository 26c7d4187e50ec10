#include "engine/query/exec/join_evaluator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/components/tav_base_table.h"
#include "engine/components/tav_database.h"
#include "engine/components/tav_table.h"
#include "engine/components/testing/memory_table_support.h"
#include "engine/query/exec/dataset_bridge.h"
#include "engine/query/exec/join_provider.h"
#include "engine/query/exec/tav_query.h"
#include "engine/query/testing/query_runner.h"
#include "engine/storage/base/tav_error_codes.h"
#include "engine/storage/base/tav_logger.h"
#include "engine/storage/testing/engine_error_test_support.h"
#include "host/db/field_defs.h"
#include "host/db/fields.h"
#include "host/db/index_defs.h"
#include "host/rtl/variant.h"
#include "os/testing/test_support.h"

namespace tav {
namespace {

using testing::TQueryRunner;

// The longest chain `keys` (each `size` bytes) make over `buckets` buckets.
template <class T>
int LongestChain(const std::vector<T>& keys, uint32_t buckets) {
  std::vector<int> counts(buckets, 0);
  int longest = 0;
  for (const T& k : keys) longest = std::max(longest, ++counts[JoinKeyHashOf(&k, sizeof k) % buckets]);
  return longest;
}

// A hash join sizes its table at twice its keys: every chain stays short
// for integer keys however regularly they are spaced.
TEST(JoinKeyHashTest, IntegerKeysSpreadOverTheBuckets) {
  constexpr int kKeys = 10000;
  constexpr uint32_t kBuckets = 2 * (kKeys + 10);
  std::vector<int32_t> counting, strided, negative;
  std::vector<int16_t> small;
  std::vector<int64_t> large;
  for (int i = 0; i < kKeys; ++i) {
    counting.push_back(i);
    strided.push_back(i * 1024);
    negative.push_back(-i * 7);
    small.push_back(static_cast<int16_t>(i - kKeys / 2));
    large.push_back(int64_t{i} << 32);
  }
  EXPECT_LE(LongestChain(counting, kBuckets), 8);
  EXPECT_LE(LongestChain(strided, kBuckets), 8);
  EXPECT_LE(LongestChain(negative, kBuckets), 8);
  EXPECT_LE(LongestChain(small, kBuckets), 8);
  EXPECT_LE(LongestChain(large, kBuckets), 8);
}

// A shorter key matches a stored key that continues with zeros: the two
// must meet in one bucket, and keys differing before the zeros must not
// match.
TEST(JoinKeyHashTest, AKeyFindsItsZeroPaddedForm) {
  TJoinKeyHash hash(64, 8, 32);
  hash.Add("ab", 2, 1);
  hash.Add("abc\0\0", 5, 2);
  hash.Add("", 0, 3);
  EXPECT_EQ(hash.ValueOf("ab\0\0", 4), 1u);
  EXPECT_EQ(hash.ValueOf("ab", 2), 1u);
  EXPECT_EQ(hash.ValueOf("abc", 3), 2u);
  EXPECT_EQ(hash.ValueOf("\0\0", 2), 3u);
  EXPECT_EQ(hash.ValueOf("ba", 2), TTavBaseHash::kNotFound);
  EXPECT_EQ(hash.ValueOf("abd", 3), TTavBaseHash::kNotFound);
  EXPECT_EQ(JoinKeyHashOf("xy\0\0\0\0\0\0\0\0\0", 11), JoinKeyHashOf("xy", 2));
}

// ---------------------------------------------------------------------------
// Hash joins over integer keys of every width, read straight from the
// records: the rows are those a nested loop finds, NULL keys match nothing
// and an outer join's missing side reads NULL.

struct TKeyRow {
  std::optional<int64_t> Key;
  int Id;
};

class IntegerKeyJoinTest : public ::testing::TestWithParam<host::TFieldType> {
 protected:
  void Fill(const char* name, const std::vector<TKeyRow>& rows) {
    TTavBaseTable table(nullptr);
    test::ConnectMemory(db_, table, name);
    table.FieldDefs().Add("KEY", GetParam());
    table.FieldDefs().Add("ID", host::ftInteger);
    table.CreateTable();
    table.Open();
    for (const TKeyRow& r : rows) {
      table.Append();
      if (r.Key) table.FieldByName("KEY")->SetAsLargeInt(*r.Key);
      table.FieldByName("ID")->SetAsInteger(r.Id);
      table.Post();
    }
    table.Close();
  }

  std::vector<std::string> Run(const std::string& sql, bool hash) {
    TQueryRunner run(db_);
    for (const char* t : {"A", "B"}) run.Driver.AddTable(t, {{"KEY", GetParam()}, {"ID", host::ftInteger}});
    EXPECT_EQ(run.Prepare(sql), "") << sql;
    run.Open(hash);
    if (hash) {
      EXPECT_EQ(run.Mgr.GetJoinCount(), 1);
      if (run.Mgr.GetJoinCount() == 1) {
        EXPECT_EQ(run.Mgr.GetJoin(0)->Evaluator().JoinModeType(), jmtHashJoin);
      }
    }
    return run.Rows({"a.ID", "b.ID"});
  }

  TTavDataBase db_{nullptr};
};

TEST_P(IntegerKeyJoinTest, InnerAndLeftJoinsMatchANestedLoop) {
  const bool unsignedKeys = GetParam() == host::ftWord;
  // Keys of either sign that share their low bytes, duplicates, NULLs.
  const auto keyOf = [&](int i) -> std::optional<int64_t> {
    if (i % 7 == 3) return std::nullopt;
    int64_t k = (i % 13) * 256 + i % 3;
    if (!unsignedKeys && i % 2 == 1) k = -k;
    return k;
  };
  std::vector<TKeyRow> a, b;
  for (int i = 0; i < 60; ++i) a.push_back({keyOf(i), i});
  for (int i = 0; i < 45; ++i) b.push_back({keyOf(i * 5 + 1), 1000 + i});
  Fill("A", a);
  Fill("B", b);
  std::vector<std::string> inner, left;
  for (const TKeyRow& x : a) {
    bool matched = false;
    for (const TKeyRow& y : b) {
      if (!x.Key || !y.Key || *x.Key != *y.Key) continue;
      inner.push_back(std::to_string(x.Id) + "|" + std::to_string(y.Id));
      matched = true;
    }
    if (!matched) left.push_back(std::to_string(x.Id) + "|NULL");
  }
  left.insert(left.end(), inner.begin(), inner.end());
  std::sort(inner.begin(), inner.end());
  std::sort(left.begin(), left.end());
  ASSERT_FALSE(inner.empty());
  for (bool hash : {true, false}) {
    EXPECT_EQ(Run("SELECT a.ID, b.ID FROM A a JOIN B b ON a.KEY = b.KEY", hash), inner) << hash;
    EXPECT_EQ(Run("SELECT a.ID, b.ID FROM A a JOIN B b ON b.KEY = a.KEY", hash), inner) << hash;
    EXPECT_EQ(Run("SELECT a.ID, b.ID FROM A a LEFT JOIN B b ON a.KEY = b.KEY", hash), left) << hash;
  }
}

INSTANTIATE_TEST_SUITE_P(Widths, IntegerKeyJoinTest,
                         ::testing::Values(host::ftSmallint, host::ftWord, host::ftInteger));

// ---------------------------------------------------------------------------
// A join's result table as a query fills it: the columns copied from each
// side's records, the rows found along the result's indexes afterwards.

class JoinResultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.Ok());
    TavEngineStartup();
    {
      TTavDataBase creator(nullptr);
      creator.SetDataBaseName(dir_ / "j.tav");
      creator.CreateDatabase();
    }
    db_.SetDataBaseName(dir_ / "j.tav");
    db_.Open();
    // L: every type a column copies as bytes, NULLs among them; R: keyed
    // by K, some keys of L missing.
    auto l = Table("L");
    l->FieldDefs().Add("ID", host::ftInteger);
    l->FieldDefs().Add("K", host::ftInteger);
    l->FieldDefs().Add("SM", host::ftSmallint);
    l->FieldDefs().Add("W", host::ftWord);
    l->FieldDefs().Add("F", host::ftFloat);
    l->FieldDefs().Add("S", host::ftString, 8);
    l->CreateTable();
    l->Open();
    for (int i = 0; i < kRows; ++i) {
      const bool null = i % 9 == 4;
      l->AppendRecord({i, i % 37, null ? host::Null() : host::Variant(-i), null ? host::Null() : host::Variant(i * 90),
                       null ? host::Null() : host::Variant(i * 0.5), null ? host::Null() : host::Variant(Text(i))});
    }
    l->Close();
    auto r = Table("R");
    r->FieldDefs().Add("K", host::ftInteger);
    r->FieldDefs().Add("T", host::ftString, 12);
    r->IndexDefs().Add("byK", "K", host::TIndexOptions{});
    r->CreateTable();
    r->Open();
    for (int k = 0; k < 30; ++k) r->AppendRecord({k, k % 5 == 0 ? host::Null() : host::Variant(Text(k * 3))});
    r->Close();
  }

  // Texts of every length the field holds, the empty one too.
  static std::string Text(int i) { return std::string(static_cast<size_t>(i % 8), static_cast<char>('a' + i % 26)); }

  std::unique_ptr<TTavTable> Table(const std::string& name) {
    auto t = std::make_unique<TTavTable>(nullptr);
    t->SetDataBase(&db_);
    t->SetTableName(name);
    return t;
  }

  std::unique_ptr<TTavQuery> Query(const std::string& sql) {
    auto q = std::make_unique<TTavQuery>(nullptr);
    q->SetDataBase(&db_);
    q->SetSQLText(sql);
    return q;
  }

  static std::vector<std::string> Rows(TTavQuery& q) {
    std::vector<std::string> out;
    for (q.First(); !q.Eof(); q.Next()) {
      std::string row;
      for (int i = 0; i < q.FieldCount(); ++i)
        row += (i ? "|" : "") + (q.Fields(i)->IsNull() ? std::string("NULL") : q.Fields(i)->AsString());
      out.push_back(row);
    }
    return out;
  }

  // The rows of L LEFT JOIN R ON R.K = L.K, by L.ID.
  static std::vector<std::string> Expected(bool inner) {
    std::vector<std::string> out;
    for (int i = 0; i < kRows; ++i) {
      const int k = i % 37;
      if (inner && k >= 30) continue;
      const bool null = i % 9 == 4;
      std::string row = std::to_string(i) + "|";
      row += null ? "NULL|NULL|NULL|NULL|" : std::to_string(-i) + "|" + std::to_string(i * 90) + "|" +
                                                 host::VarToStr(host::Variant(i * 0.5)) + "|" + Text(i) + "|";
      row += k >= 30 ? "NULL|NULL" : std::to_string(k) + "|" + (k % 5 == 0 ? std::string("NULL") : Text(k * 3));
      out.push_back(row);
    }
    return out;
  }

  static constexpr int kRows = 700;
  os::test::TTempDir dir_;
  TTavDataBase db_{nullptr};
};

TEST_F(JoinResultTest, ColumnsCopiedFromEachSideInTheResultsOrder) {
  const char* columns = "SELECT L.ID, L.SM, L.W, L.F, L.S, R.K, R.T FROM L ";
  for (const char* join : {"LEFT JOIN R ON R.K = L.K", "INNER JOIN R ON R.K = L.K"}) {
    const bool inner = std::string(join).rfind("INNER", 0) == 0;
    auto q = Query(std::string(columns) + join + " ORDER BY L.ID");
    q->Open();
    const std::vector<std::string> want = Expected(inner);
    EXPECT_EQ(q->RecordCount(), static_cast<int>(want.size())) << join;
    EXPECT_EQ(Rows(*q), want) << join;
    // Run again: the same rows, the table emptied and filled anew.
    q->Refresh();
    EXPECT_EQ(Rows(*q), want) << join;
    // Backwards along the index built after the fill.
    q->Close();
    q->SetSQLText(std::string(columns) + join + " ORDER BY L.ID DESC");
    q->Open();
    std::vector<std::string> backwards = want;
    std::reverse(backwards.begin(), backwards.end());
    EXPECT_EQ(Rows(*q), backwards) << join;
  }
}

// Grouped and distinct rows of a join: each value once, in order.
TEST_F(JoinResultTest, GroupedAndDistinctRowsOfAJoin) {
  std::vector<std::string> want;
  for (int k = 0; k < 30; ++k) want.push_back(std::to_string(k));
  for (const char* sql : {"SELECT L.K FROM L INNER JOIN R ON R.K = L.K GROUP BY L.K ORDER BY L.K",
                          "SELECT DISTINCT L.K FROM L INNER JOIN R ON R.K = L.K ORDER BY L.K"}) {
    auto q = Query(sql);
    q->Open();
    EXPECT_EQ(Rows(*q), want) << sql;
    EXPECT_EQ(q->RecordCount(), 30) << sql;
  }
  // One table grouped without aggregates: each key once as well.
  want.clear();
  for (int k = 0; k < 37; ++k) want.push_back(std::to_string(k));
  auto q = Query("SELECT K FROM L GROUP BY K ORDER BY K");
  q->Open();
  EXPECT_EQ(Rows(*q), want);
}

TEST_F(JoinResultTest, AFillFailingMidwayRaisesAndTheQueryRunsAgain) {
  // The division fails on the row of L.ID = 500 only.
  auto q = Query("SELECT L.ID, R.T, 10 / (L.ID - 500) FROM L INNER JOIN R ON R.K = L.K ORDER BY L.ID");
  std::string text;
  EXPECT_EQ(test::ErrorCodeOf([&] { q->Open(); }, &text), kSqlError) << text;
  EXPECT_FALSE(q->Active());
  Query("DELETE FROM L WHERE ID = 500")->ExecSQL();
  q->Open();
  const std::vector<std::string> rows = Rows(*q);
  EXPECT_EQ(q->RecordCount(), static_cast<int>(rows.size()));
  ASSERT_FALSE(rows.empty());
  EXPECT_EQ(rows.front().substr(0, 2), "0|");
  EXPECT_EQ(rows.back().substr(0, 4), "695|");
}

// A join whose inner records each match many outer rows: columns copied
// from the records, expressions, a memo and a condition over both sides all
// read the inner record of each row, and a change between two runs of one
// transaction is seen by the second.
TEST_F(JoinResultTest, InnerRecordsMetAgainServeEveryReader) {
  auto m = Table("M");
  m->FieldDefs().Add("K", host::ftInteger);
  m->FieldDefs().Add("T", host::ftString, 12);
  m->FieldDefs().Add("N", host::ftMemo);
  m->IndexDefs().Add("byK", "K", host::TIndexOptions{});
  m->CreateTable();
  m->Open();
  const auto memo = [](int k) { return "memo " + std::to_string(k) + std::string(static_cast<size_t>(k * 7), 'm'); };
  for (int k = 0; k < 20; ++k)
    m->AppendRecord({k, host::Variant(Text(k * 5)), k % 4 == 1 ? host::Null() : host::Variant(memo(k))});
  m->Close();
  const auto expected = [&](int changedKey, const std::string& changedText) {
    std::vector<std::string> out;
    for (int i = 0; i < kRows; ++i) {
      const int k = i % 37;
      if (k >= 20 || k + i == 40) continue;
      out.push_back(std::to_string(i) + "|" + (k == changedKey ? changedText : Text(k * 5)) + "|" +
                    (k % 4 == 1 ? std::string("NULL") : memo(k)) + "|" + std::to_string(k * 1000 + i));
    }
    return out;
  };
  auto q = Query("SELECT L.ID, M.T, M.N, M.K * 1000 + L.ID FROM L INNER JOIN M ON M.K = L.K "
                 "WHERE M.K + L.ID <> 40 ORDER BY L.ID");
  q->Open();
  EXPECT_EQ(Rows(*q), expected(-1, ""));
  db_.StartTransaction();
  q->Refresh();
  EXPECT_EQ(Rows(*q), expected(-1, ""));
  Query("UPDATE M SET T = 'new' WHERE K = 3")->ExecSQL();
  q->Refresh();
  EXPECT_EQ(Rows(*q), expected(3, "new"));
  db_.Commit();
  q->Close();
}

// The records a leaf keeps for a hash join: served while the table's read
// lock is held, every reader seeing the record made current; without the
// lock each record is read afresh and what was kept is forgotten.
TEST_F(JoinResultTest, KeptRecordsServeTheCurrentRecordOnlyUnderTheReadLock) {
  TTavDatasetBridge bridge(nullptr);
  bridge.SetDataBase(&db_);
  bridge.SetTableName("R");
  TTavNonJoinDataProvider leaf;
  leaf.SetDataBridge(&bridge);
  leaf.SetProviderName("R");
  leaf.OpenProvider();
  const int k = leaf.GetProviderFields()->FindField("K")->FieldNo();
  const int t = leaf.GetProviderFields()->FindField("T")->FieldNo();
  std::vector<uint32_t> addresses;
  std::vector<int> keys;
  for (bool ok = leaf.FirstProviderRecord(); ok; ok = leaf.NextProviderRecord()) {
    addresses.push_back(bridge.GetRecAddr());
    keys.push_back(leaf.GetDataAsVariant(k).AsInteger());
  }
  ASSERT_EQ(addresses.size(), 30u);
  const size_t recordSize = static_cast<size_t>(bridge.RecordBufferSize());
  const TInternalFieldItem& stored = bridge.GetFieldDef(k);
  const auto keyInBytes = [&]() {
    int32_t v = 0;
    std::memcpy(&v, leaf.CurrentRecordBytes() + stored.DataOffset(), sizeof v);
    return v;
  };

  leaf.KeepRecordsRead(true);
  ASSERT_TRUE(bridge.ReadLockTable());
  // Read once in order, then again backwards (from memory) and in a stride.
  for (int pass = 0; pass < 3; ++pass) {
    for (size_t n = 0; n < addresses.size(); ++n) {
      const size_t i = pass == 0 ? n : pass == 1 ? addresses.size() - 1 - n : (n * 7) % addresses.size();
      ASSERT_TRUE(leaf.MoveToRecord(addresses[i]));
      EXPECT_EQ(keyInBytes(), keys[i]) << pass << " " << i;
      EXPECT_EQ(leaf.CurrentRecordIDAsString(), std::to_string(addresses[i]));
      if (n % 3 == 0) {
        // A read through the bridge puts it on the record first.
        const std::vector<uint8_t> kept(leaf.CurrentRecordBytes(), leaf.CurrentRecordBytes() + recordSize);
        TDataHolder raw;
        leaf.GetRawFieldData(k, raw);
        ASSERT_FALSE(raw.IsNull);
        int32_t v = 0;
        std::memcpy(&v, raw.Data, sizeof v);
        EXPECT_EQ(v, keys[i]);
        EXPECT_EQ(bridge.GetRecAddr(), addresses[i]);
        EXPECT_EQ(std::memcmp(kept.data(), bridge.RecordBuffer(), recordSize), 0);
        EXPECT_EQ(leaf.GetDataAsVariant(k).AsInteger(), keys[i]);
      }
    }
  }
  ASSERT_TRUE(leaf.MoveToRecord(addresses[3]));
  // Without the lock another connection may change a record: it is read
  // afresh, and the copy kept under the lock is not served again.
  bridge.UnlockTable();
  ASSERT_TRUE(leaf.MoveToRecord(addresses[4]));
  EXPECT_EQ(leaf.CurrentRecordBytes(), bridge.RecordBuffer());
  Query("UPDATE R SET T = 'changed' WHERE K = " + std::to_string(keys[3]))->ExecSQL();
  ASSERT_TRUE(bridge.ReadLockTable());
  for (size_t i : {size_t{3}, size_t{4}, size_t{3}}) ASSERT_TRUE(leaf.MoveToRecord(addresses[i]));
  const std::vector<uint8_t> served(leaf.CurrentRecordBytes(), leaf.CurrentRecordBytes() + recordSize);
  EXPECT_EQ(host::VarToStr(leaf.GetDataAsVariant(t)), "changed");
  EXPECT_EQ(std::memcmp(served.data(), bridge.RecordBuffer(), recordSize), 0);
  // Off: nothing is kept.
  leaf.KeepRecordsRead(false);
  ASSERT_TRUE(leaf.MoveToRecord(addresses[5]));
  ASSERT_TRUE(leaf.MoveToRecord(addresses[3]));
  EXPECT_EQ(leaf.CurrentRecordBytes(), bridge.RecordBuffer());
  bridge.UnlockTable();
}

}  // namespace
}  // namespace tav
