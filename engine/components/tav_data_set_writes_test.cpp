#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "engine/components/tav_data_set.h"
#include "engine/components/testing/memory_table_support.h"
#include "engine/storage/base/tav_errors.h"
#include "engine/storage/record/io_interface.h"
#include "engine/storage/table/table_header.h"
#include "engine/storage/testing/engine_error_test_support.h"
#include "host/db/field_defs.h"
#include "host/db/index_defs.h"
#include "host/rtl/list.h"
#include "host/rtl/streams.h"
#include "host/rtl/sys_utils.h"
#include "host/rtl/variant.h"

namespace tav {
namespace {

using test::ErrorCodeOf;

// A memory table "W": N auto-increment, K integer (unique index), S
// string(10) (case-insensitive index), B boolean, F float, M memo.
class RecordWritesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::ConnectMemory(db_, ds_, "W");
    host::TFieldDefs fields;
    fields.Add("N", host::ftAutoInc);
    fields.Add("K", host::ftInteger);
    fields.Add("S", host::ftString, 10);
    fields.Add("B", host::ftBoolean);
    fields.Add("F", host::ftFloat);
    fields.Add("M", host::ftMemo);
    host::TIndexDefs indexes;
    indexes.Add("uk", "K", host::TIndexOptions{host::ixUnique});
    indexes.Add("byS", "S", host::TIndexOptions{host::ixCaseInsensitive});
    ds_.SetTableDef(true, fields, indexes);
    ds_.InternalCreateTable();
    ds_.DataSetOpen();
  }
  void TearDown() override { ds_.DataSetClose(); }

  int No(const char* name) { return ds_.GetFieldNo(name); }
  TTableHeader& Header() { return *ds_.TableDef().TableHeader(); }

  // Adds a record with key k and string s; the auto-increment value as asked.
  void Add(int32_t k, const std::string& s, bool generate = true, int32_t n = 0) {
    ds_.InitializeNewRecord(ds_.RecordBuffer(), false);
    ds_.DataSetSetFieldDataAsVariant(No("K"), k);
    ds_.DataSetSetFieldDataAsVariant(No("S"), s);
    if (!generate) ds_.DataSetSetFieldDataAsVariant(No("N"), n);
    ds_.AddRecord(generate);
  }
  bool FindK(int32_t k) {
    ds_.InitializeNewRecord(ds_.RecordBuffer(), false);
    ds_.DataSetSetFieldDataToRecBufAsVariant(No("K"), ds_.RecordBuffer(), k);
    return ds_.Find(stEQ, "uk");
  }
  // A checksum of every index block, to see whether an index was touched.
  uint64_t IndexBytes() {
    auto& io = dynamic_cast<TMemoryIOInterface&>(*ds_.TableDef().IndexInterface());
    host::TList blocks;
    io.ListBlocks(blocks);
    uint64_t sum = 0;
    std::vector<uint8_t> page(kIndexPageSize);
    for (int i = 0; i < blocks.Count(); ++i) {
      const auto address = static_cast<uint32_t>(blocks.Items(i));
      io.ReadBlock(address, kIndexPageSize, page.data());
      for (uint8_t b : page) sum = sum * 131 + b;
    }
    return sum;
  }

  TTavDataBase db_{nullptr};
  TTavDataSet ds_{nullptr};
};

TEST_F(RecordWritesTest, AutoIncrementAndLogicalNumbers) {
  Add(1, "a");
  EXPECT_EQ(ds_.DataSetGetFieldDataAsVariant(No("N")).AsInteger(), 1);
  Add(2, "b", false, 10);  // above the counter: raises it
  EXPECT_EQ(Header().GetRecordAutoIncVal(), 10u);
  Add(3, "c", false, 4);  // below: the counter stays
  EXPECT_EQ(Header().GetRecordAutoIncVal(), 10u);
  Add(4, "d");
  EXPECT_EQ(ds_.DataSetGetFieldDataAsVariant(No("N")).AsInteger(), 11);
  // Logical numbers grow by one and are not reused after a delete.
  EXPECT_EQ(Header().GetLogicalRecordNo(), 4u);
  ASSERT_TRUE(FindK(4));
  EXPECT_EQ(ds_.DeleteRecord(nullptr), 0);
  Add(5, "e");
  uint32_t logical;
  std::memcpy(&logical, ds_.RecordBuffer() + kRecLogicalNoOffset, 4);
  EXPECT_EQ(logical, 5u);
}

TEST_F(RecordWritesTest, UpdateWithoutKeyChangeTouchesNoIndex) {
  Add(1, "abc");
  Add(2, "def");
  ASSERT_TRUE(FindK(1));
  const uint64_t before = IndexBytes();
  ds_.DataSetSetFieldDataAsVariant(No("F"), 2.5);
  ds_.DataSetSetFieldDataAsVariant(No("S"), std::string("ABC"));  // equal in its case-insensitive index
  ds_.UpdateRecord();
  EXPECT_EQ(IndexBytes(), before);
  ASSERT_TRUE(FindK(1));
  EXPECT_EQ(ds_.DataSetGetFieldDataAsVariant(No("F")).AsDouble(), 2.5);
  uint32_t counter;
  std::memcpy(&counter, ds_.RecordBuffer() + kRecModFlagOffset, 4);
  EXPECT_EQ(counter, 1u);
  // A key change moves the keys; another record's key refuses the update.
  ds_.DataSetSetFieldDataAsVariant(No("K"), 2);
  EXPECT_EQ(ErrorCodeOf([&] { ds_.UpdateRecord(); }), 9729);
  EXPECT_EQ(IndexBytes(), before);
  ds_.DataSetSetFieldDataAsVariant(No("K"), 7);
  ds_.UpdateRecord();
  EXPECT_FALSE(FindK(1));
  EXPECT_TRUE(FindK(7));
}

TEST_F(RecordWritesTest, StaleCopiesAndLocks) {
  Add(1, "a");
  ASSERT_TRUE(FindK(1));
  std::vector<uint8_t> copy(ds_.RecordBuffer(), ds_.RecordBuffer() + ds_.RecordBufferSize());
  ds_.DataSetSetFieldDataAsVariant(No("F"), 1.0);
  ds_.UpdateRecord();
  // The copy predates the update: the delete is refused, nothing goes.
  EXPECT_EQ(ds_.DeleteRecord(copy.data()), -1);
  EXPECT_TRUE(FindK(1));
  // The old copy written back is refused too.
  ds_.SetRecordBuffer(copy.data());
  EXPECT_EQ(ErrorCodeOf([&] { ds_.UpdateRecord(); }), 8708);
  // A read lock the caller holds survives a failed and a successful write.
  ds_.ReadLockTable();
  EXPECT_EQ(ErrorCodeOf([&] { Add(1, "dup"); }), 9729);
  EXPECT_TRUE(ds_.ReadLocked());
  EXPECT_FALSE(ds_.WriteLocked());
  Add(2, "b");
  EXPECT_TRUE(ds_.ReadLocked());
  EXPECT_FALSE(ds_.WriteLocked());
  ds_.UnlockTable();
  // Update without a loaded record.
  ds_.ClearRecord(nullptr);
  TTavDataSet other(nullptr);
  test::ConnectMemory(db_, other, "W");
  other.DataSetOpen();
  EXPECT_EQ(ErrorCodeOf([&] { other.UpdateRecord(); }), 8710);
}

TEST_F(RecordWritesTest, FieldWritesAndTheirErrors) {
  ds_.InitializeNewRecord(ds_.RecordBuffer(), false);
  uint8_t* buf = ds_.RecordBuffer();
  // The string field holds ten characters.
  EXPECT_EQ(ErrorCodeOf([&] { ds_.DataSetSetFieldData(No("S"), 11, "12345678901", false); }), 8581);
  ds_.DataSetSetFieldData(No("S"), 10, "1234567890", false);
  EXPECT_EQ(ds_.InternalGetFieldLength(No("S"), buf), 10);
  ds_.DataSetSetFieldData(No("S"), 0, nullptr, true);
  EXPECT_TRUE(ds_.GetIsFieldNullFromRecBuf(buf, No("S")));
  // BLOBs only through streams, and streams only for BLOBs.
  EXPECT_EQ(ErrorCodeOf([&] { ds_.DataSetSetFieldData(No("M"), 1, "x", false); }), 8581);
  host::TMemoryStream stream;
  stream.WriteBuffer("abc", 3);
  EXPECT_EQ(ErrorCodeOf([&] { ds_.DataSetSetFieldStream(No("K"), false, stream); }), 10753);
  // The update privilege of the field.
  ds_.GetInternalFields().Items(No("K"))->SetPrivilegeFlags(0);
  EXPECT_EQ(ErrorCodeOf([&] { ds_.DataSetSetFieldDataAsVariant(No("K"), 1); }), 10624);
  ds_.GetInternalFields().Items(No("K"))->SetPrivilegeFlags(0x7FFFFFFF);
  // Variants by type, read back as variants.
  struct TCase {
    const char* Field;
    host::Variant In;
  } cases[] = {{"K", host::Variant(-5)},        {"S", host::Variant(std::string("text"))},
               {"B", host::Variant(true)},      {"F", host::Variant(3.25)},
               {"N", host::Variant(9)}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Field);
    ds_.DataSetSetFieldDataAsVariant(No(c.Field), c.In);
    const host::Variant out = ds_.DataSetGetFieldDataAsVariant(No(c.Field));
    EXPECT_EQ(out.AsString(), c.In.AsString());
    ds_.DataSetSetFieldDataAsVariant(No(c.Field), host::Null());
    EXPECT_TRUE(ds_.DataSetGetFieldDataAsVariant(No(c.Field)).IsNull());
  }
  // A BLOB set through its stream is written with the record.
  ds_.DataSetSetFieldDataAsVariant(No("K"), 1);
  ds_.DataSetSetFieldStream(No("M"), false, stream);
  ds_.AddRecord(true);
  host::TMemoryStream back;
  bool isNull = true;
  ASSERT_TRUE(FindK(1));
  ds_.DataSetGetFieldStream(No("M"), isNull, back);
  EXPECT_FALSE(isNull);
  EXPECT_EQ(back.Size(), 3);
}

// A write whose table header cannot be written when the lock is given back
// fails, and says so: an image whose stored size is not its own is refused
// by the header write, as a file that cannot take the block would be. The
// lock goes all the same; with the image mended the next write goes on.
TEST_F(RecordWritesTest, AWriteWhoseHeaderCannotBeWrittenFails) {
  Add(1, "a");
  Add(2, "b");
  const auto breakHeader = [&] { Header().InternalSetHdrItemDWord(kThHeaderSize, kTableHeaderSize - 1); };
  const auto mendHeader = [&] { Header().InternalSetHdrItemDWord(kThHeaderSize, kTableHeaderSize); };
  breakHeader();
  EXPECT_EQ(ErrorCodeOf([&] { Add(3, "c"); }), 8581);
  EXPECT_FALSE(ds_.WriteLocked());
  ASSERT_TRUE(FindK(2));
  breakHeader();
  EXPECT_EQ(ErrorCodeOf([&] { ds_.DeleteRecord(nullptr); }), 8581);
  EXPECT_FALSE(ds_.WriteLocked());
  ASSERT_TRUE(FindK(1));
  ds_.DataSetSetFieldDataAsVariant(No("S"), std::string("z"));
  breakHeader();
  EXPECT_EQ(ErrorCodeOf([&] { ds_.UpdateRecord(); }), 8581);
  EXPECT_FALSE(ds_.WriteLocked());
  // The same under a read lock the caller holds.
  ds_.ReadLockTable();
  breakHeader();
  EXPECT_EQ(ErrorCodeOf([&] { ds_.DataSetEmptyTable(); }), 8581);
  EXPECT_FALSE(ds_.WriteLocked());
  mendHeader();
  Add(4, "d");
  EXPECT_TRUE(FindK(4));
  // Under a lock held past the writes the header goes with the lock.
  ds_.LockTable();
  Add(5, "e");
  EXPECT_TRUE(ds_.WriteLocked());
  breakHeader();
  EXPECT_EQ(ErrorCodeOf([&] { ds_.UnlockTable(); }), 8581);
  mendHeader();
}

TEST_F(RecordWritesTest, CompareRecordsOrdersNullsFlagsAndDescendingFields) {
  std::vector<uint8_t> a(static_cast<size_t>(ds_.RecordBufferSize())), b(a.size());
  TSearchFields fields;
  fields.Add()->Assign(*ds_.GetInternalFields().Items(No("S")));
  fields.Add()->Assign(*ds_.GetInternalFields().Items(No("K")));
  auto set = [&](std::vector<uint8_t>& r, const char* s, int k) {
    ds_.InitializeNewRecord(r.data(), false);
    if (s) ds_.DataSetSetFieldDataToRecBufAsVariant(No("S"), r.data(), std::string(s));
    ds_.DataSetSetFieldDataToRecBufAsVariant(No("K"), r.data(), k);
  };
  struct TCase {
    const char* SA;
    int KA;
    const char* SB;
    int KB;
    bool CaseIns, Partial;
    int Sign, Diff;
  } cases[] = {
      {"abc", 1, "abc", 1, false, false, 0, -1},  {"abc", 1, "abc", 2, false, false, -1, 1},
      {"abc", 1, nullptr, 1, false, false, -1, 0},  // a value sorts before null
      {nullptr, 1, "abc", 1, false, false, 1, 0},   {"ABC", 1, "abc", 1, true, false, 0, -1},
      {"abcdef", 1, "abc", 1, false, true, 0, -1},  {"abd", 1, "abc", 1, false, true, 1, 0},
  };
  for (const TCase& c : cases) {
    set(a, c.SA, c.KA);
    set(b, c.SB, c.KB);
    int diff = 99;
    const int r = ds_.InternalCompareRecords(a.data(), b.data(), diff, c.CaseIns, c.Partial, fields);
    EXPECT_EQ((r > 0) - (r < 0), c.Sign) << c.SA << " " << c.KA;
    EXPECT_EQ(diff, c.Diff);
  }
  // The low key flag lies between a value and null; a descending field
  // turns its result round.
  set(a, "abc", 1);
  set(b, "abc", 1);
  b[static_cast<size_t>(ds_.GetFieldNullOffset(No("K")))] = kKeyFlagBOF;
  int diff;
  EXPECT_LT(ds_.InternalCompareRecords(a.data(), b.data(), diff, false, false, fields), 0);
  fields.GetItems(1)->SetDescending(true);
  EXPECT_GT(ds_.InternalCompareRecords(a.data(), b.data(), diff, false, false, fields), 0);
  // Assign copies InIndex but not Descending.
  fields.GetItems(1)->SetInIndex(true);
  TSearchFields copy;
  copy.Assign(fields);
  EXPECT_TRUE(copy.GetItems(1)->InIndex());
  EXPECT_FALSE(copy.GetItems(1)->Descending());
}

TEST_F(RecordWritesTest, LocateKeepsInsideARange) {
  for (int k = 1; k <= 20; ++k) Add(k, k % 2 ? "odd" : "even");
  ds_.InternalSetIndexName("uk");
  // Keys 5 to 12.
  for (TRangeMode m : {rmRangeStart, rmRangeEnd}) {
    ds_.InitializeRangeBuffers(m);
    ds_.DataSetSetFieldDataToRecBufAsVariant(No("K"), ds_.GetRangeRecBuf(m), m == rmRangeStart ? 5 : 12);
  }
  ds_.SetRangeOn(true);
  std::vector<uint8_t> key(static_cast<size_t>(ds_.RecordBufferSize())), found(key.size());
  auto locate = [&](const char* field, const host::Variant& value, const std::string& index) {
    ds_.InitializeNewRecord(key.data(), false);
    ds_.DataSetSetFieldDataToRecBufAsVariant(No(field), key.data(), value);
    return ds_.DoLocate(index, key.data(), true, true, {}, found.data(), field) == 0;
  };
  struct TCase {
    const char* Field;
    host::Variant Value;
    const char* Index;
    bool Found;
    int K;
  } cases[] = {
      {"K", host::Variant(3), "uk", false, 0},  {"K", host::Variant(7), "uk", true, 7},
      {"K", host::Variant(13), "uk", false, 0}, {"S", host::Variant(std::string("odd")), "uk", true, 5},
      // Through another index the range of the current one still holds.
      {"S", host::Variant(std::string("even")), "byS", true, 6},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.Field) + " " + c.Value.AsString() + " " + c.Index);
    ASSERT_EQ(locate(c.Field, c.Value, c.Index), c.Found);
    if (c.Found) {
      EXPECT_EQ(ds_.DataSetGetFieldDataAsVariant(No("K")).AsInteger(), c.K);
    }
  }
  ds_.SetRangeOn(false);
  EXPECT_TRUE(locate("K", 3, "uk"));
}

TEST_F(RecordWritesTest, ALocateStandsWhereAKeySearchWouldAndWalksOnFromThere) {
  // Case-insensitive duplicates in the current index, each name's records
  // in the order they were added.
  const char* names[] = {"pear", "Apple", "fig", "apple", "FIG", "plum"};
  std::vector<std::pair<std::string, int>> model;  // (upper-case name, K) in index order
  for (int k = 1; k <= 24; ++k) {
    Add(k, names[k % 6]);
    model.emplace_back(host::UpperCase(names[k % 6]), k);
  }
  std::stable_sort(model.begin(), model.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  ds_.InternalSetIndexName("byS");
  std::vector<uint8_t> key(static_cast<size_t>(ds_.RecordBufferSize())), found(key.size());
  auto locate = [&](const char* field, const host::Variant& value, const std::string& index,
                    host::TLocateOptions options) {
    ds_.InitializeNewRecord(key.data(), false);
    ds_.DataSetSetFieldDataToRecBufAsVariant(No(field), key.data(), value);
    return ds_.DoLocate(index, key.data(), true, true, options, found.data(), field) == 0;
  };
  auto positionOf = [&](int k) {
    for (size_t i = 0; i < model.size(); ++i)
      if (model[i].second == k) return static_cast<int>(i);
    return -1;
  };
  auto expectAt = [&](int k) {
    const int p = positionOf(k);
    EXPECT_EQ(ds_.DataSetGetFieldDataAsVariant(No("K")).AsInteger(), k);
    EXPECT_EQ(ds_.DataSetGetRecordNo(), p + 1);
    // The walk goes on from the located record, both ways.
    if (p + 1 < static_cast<int>(model.size())) {
      ASSERT_TRUE(ds_.DataSetNext());
      EXPECT_EQ(ds_.DataSetGetFieldDataAsVariant(No("K")).AsInteger(), model[static_cast<size_t>(p + 1)].second);
      ASSERT_TRUE(ds_.DataSetPrior());
    }
    if (p > 0) {
      ASSERT_TRUE(ds_.DataSetPrior());
      EXPECT_EQ(ds_.DataSetGetFieldDataAsVariant(No("K")).AsInteger(), model[static_cast<size_t>(p - 1)].second);
    }
  };
  host::TLocateOptions ci;
  ci.Include(host::loCaseInsensitive);
  for (const char* name : {"apple", "FIG", "pear", "Plum"}) {
    SCOPED_TRACE(name);
    // Through the current index: the first of the name in its order.
    ASSERT_TRUE(locate("S", std::string(name), "byS", ci));
    const std::string upper = host::UpperCase(name);
    const auto first = std::find_if(model.begin(), model.end(), [&](const auto& r) { return r.first == upper; });
    expectAt(first->second);
  }
  // Through another index: the record of the key, numbered in the current one.
  for (int k : {1, 7, 12, 24}) {
    SCOPED_TRACE(k);
    ASSERT_TRUE(locate("K", k, "uk", {}));
    expectAt(k);
  }
}

// A number a field cannot hold is refused with the variant's overflow and
// leaves the field as it was; the edges of each type go in whole.
TEST(NarrowFieldWritesTest, RefuseNumbersTheFieldCannotHold) {
  TTavDataBase db(nullptr);
  TTavDataSet ds(nullptr);
  test::ConnectMemory(db, ds, "R");
  host::TFieldDefs fields;
  fields.Add("A", host::ftSmallint);
  fields.Add("W", host::ftWord);
  fields.Add("I", host::ftInteger);
  ds.SetTableDef(true, fields, host::TIndexDefs());
  ds.InternalCreateTable();
  ds.DataSetOpen();
  ds.InitializeNewRecord(ds.RecordBuffer(), false);
  using V = host::Variant;
  struct TCase {
    const char* Field;
    std::vector<V> Held;
    std::vector<V> Refused;
  } cases[] = {
      {"A", {V(-32768), V(32767), V(-1), V(12.4), V("-32768")}, {V(40000), V(-32769), V(32768), V(65535), V(1e30), V("40000")}},
      {"W", {V(0), V(65535), V(40000), V(int16_t{7})}, {V(-1), V(65536), V(70000), V(-0.6), V(1e30), V(int16_t{-5})}},
      {"I", {V(-2147483647 - 1), V(2147483647), V(2147483647.4)}, {V(1e30), V(-1e30), V(2147483648.0), V(int64_t{1} << 40)}}};
  for (const TCase& c : cases) {
    const int no = ds.GetFieldNo(c.Field);
    for (const V& v : c.Held) {
      ds.DataSetSetFieldDataAsVariant(no, v);
      EXPECT_EQ(ds.DataSetGetFieldDataAsVariant(no).AsInt64(), v.AsInt64()) << c.Field << " " << v.AsString();
    }
    ds.DataSetSetFieldDataAsVariant(no, 3);
    for (const V& v : c.Refused) {
      EXPECT_THROW(ds.DataSetSetFieldDataAsVariant(no, v), host::EVariantOverflowError) << c.Field << " " << v.AsString();
      EXPECT_EQ(ds.DataSetGetFieldDataAsVariant(no).AsInteger(), 3) << c.Field << " " << v.AsString();
    }
  }
  ds.DataSetClose();
}

}  // namespace
}  // namespace tav
