#include "engine/query/exec/func_result.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/storage/base/tav_compare.h"
#include "engine/storage/testing/engine_error_test_support.h"

namespace tav {
namespace {

using test::ErrorCodeOf;

// Orders texts by their bytes, upper case before lower.
int ByteCompare(const char* a, const char* b, int la, int lb, bool, bool) {
  const std::string x(a, static_cast<size_t>(la));
  const std::string y(b, static_cast<size_t>(lb));
  return x < y ? -1 : (x > y ? 1 : 0);
}

host::Variant Over(TFuncResultList& list, TTavSQLAggFunc f, bool distinct, host::TFieldType type,
                   std::initializer_list<host::Variant> values, uint32_t address = 1) {
  list.AddNewResultItem("COUNT(DISTINCT c)", address, distinct, f, type, 20, 0);
  for (const host::Variant& v : values) list.SetNewValue(address, 0, v);
  return list.GetFuncResult(address, 0);
}

TEST(FuncResultTest, CountNeverConvertsAndCountsUnassignedButNotNull) {
  TFuncResultList list(ByteCompare);
  const host::Variant r = Over(list, tafCount, false, host::ftString, {"x", host::Null(), "y", host::Variant()});
  EXPECT_EQ(r.VType(), host::varInteger);
  EXPECT_EQ(r.AsInteger(), 3);
}

TEST(FuncResultTest, MinAndMaxKeepTheValueAndCompareTextsByTheGivenRoutine) {
  TFuncResultList list(ByteCompare);
  EXPECT_EQ(Over(list, tafMin, false, host::ftString, {"b", "a", host::Null(), "B"}, 1).AsString(), "B");
  EXPECT_EQ(Over(list, tafMax, false, host::ftString, {"b", "a", "B"}, 2).AsString(), "b");
  EXPECT_EQ(Over(list, tafMax, true, host::ftString, {"b", "a", "b"}, 3).AsString(), "b");
  EXPECT_EQ(Over(list, tafMin, false, host::ftInteger, {3, -2, 7}, 4).AsInteger(), -2);
  // Over nothing: 0.
  EXPECT_EQ(Over(list, tafMin, false, host::ftString, {host::Null()}, 5).AsDouble(), 0.0);
}

TEST(FuncResultTest, SumAndAverageOfTextThatIsNoNumberFailWithTheQueryError) {
  TFuncResultList list(ByteCompare);
  EXPECT_EQ(Over(list, tafSum, false, host::ftString, {"1.5", "2"}, 1).AsDouble(), 3.5);
  std::string text;
  EXPECT_EQ(ErrorCodeOf([&] { Over(list, tafAvg, false, host::ftString, {"abc"}, 2); }, &text), 9645);
  EXPECT_NE(text.find("Aggregate column data conversion error : "), std::string::npos) << text;
}

TEST(FuncResultTest, DistinctValuesAreGatheredOncePerRowWithoutNulls) {
  TFuncResultList list(ByteCompare);
  EXPECT_EQ(Over(list, tafCount, true, host::ftString, {"a", "b", "a", host::Null(), "A"}, 1).AsInteger(), 3);
  EXPECT_EQ(Over(list, tafSum, true, host::ftInteger, {2, 2, 3}, 2).AsDouble(), 5.0);
  EXPECT_EQ(Over(list, tafAvg, true, host::ftInteger, {2, 2, 4, host::Null()}, 3).AsDouble(), 3.0);
  // Each row's values are its own, though the rows share one connection.
  EXPECT_EQ(Over(list, tafCount, true, host::ftString, {"a"}, 4).AsInteger(), 1);
  EXPECT_EQ(list.Count(), 4);
}

// Grouped DISTINCT aggregates keep a value table per group: more groups than
// one memory database's directory holds still each count their own values.
TEST(FuncResultTest, DistinctValuesOfManyGroupsEachCountTheirOwn) {
  TFuncResultList list(ByteCompare);
  constexpr uint32_t kGroups = 2500;
  for (uint32_t g = 1; g <= kGroups; ++g) {
    list.AddNewResultItem("COUNT(DISTINCT c)", g, true, tafCount, host::ftInteger, 0, 0);
    for (uint32_t v = 0; v < g % 4; ++v) list.SetNewValue(g, 0, host::Variant(static_cast<int32_t>(v)));
    list.SetNewValue(g, 0, host::Variant(0));
  }
  for (uint32_t g = 1; g <= kGroups; ++g)
    ASSERT_EQ(list.GetFuncResult(g, 0).AsInteger(), g % 4 == 0 ? 1 : static_cast<int32_t>(g % 4)) << g;
}

// A number handed in as its record stores it aggregates exactly as its
// Variant would: the same result, of the same Variant type.
TEST(FuncResultTest, StoredNumbersAggregateAsTheirVariants) {
  const auto bytes = [](auto v) {
    std::vector<uint8_t> out(sizeof v);
    std::memcpy(out.data(), &v, sizeof v);
    return out;
  };
  struct TCase {
    host::TFieldType Type;
    std::vector<std::vector<uint8_t>> Stored;  // empty: NULL
    std::vector<host::Variant> Values;
  };
  const std::vector<TCase> cases = {
      {host::ftSmallint, {bytes(int16_t{-3}), {}, bytes(int16_t{7}), bytes(int16_t{-30000})}, {-3, host::Null(), 7, -30000}},
      {host::ftWord, {bytes(uint16_t{65535}), bytes(uint16_t{2})}, {65535, 2}},
      {host::ftInteger, {bytes(int32_t{5}), bytes(int32_t{-2147483647}), {}, bytes(int32_t{5})}, {5, -2147483647, host::Null(), 5}},
      {host::ftFloat, {bytes(0.25), {}, bytes(-1.5), bytes(1e300)}, {0.25, host::Null(), -1.5, 1e300}},
      {host::ftInteger, {{}, {}}, {host::Null(), host::Null()}},
  };
  uint32_t address = 1;
  for (const TCase& c : cases) {
    for (const TTavSQLAggFunc f : {tafCount, tafSum, tafAvg, tafMin, tafMax}) {
      TFuncResultList list(ByteCompare);
      const uint32_t viaVariant = address++;
      const uint32_t stored = address++;
      list.AddNewResultItem("", viaVariant, false, f, c.Type, 0, 0);
      TFuncResultItem* item = list.AddNewResultItem("", stored, false, f, c.Type, 0, 0);
      for (const host::Variant& v : c.Values) list.SetNewValue(viaVariant, 0, v);
      for (const auto& b : c.Stored) item->SetNewStoredNumber(c.Type, b.empty() ? nullptr : b.data());
      const host::Variant want = list.GetFuncResult(viaVariant, 0);
      const host::Variant got = list.GetFuncResult(stored, 0);
      EXPECT_EQ(got.VType(), want.VType()) << c.Type << " " << f;
      EXPECT_EQ(got.AsDouble(), want.AsDouble()) << c.Type << " " << f;
    }
  }
}

TEST(FuncResultTest, AMissingItemBreaksAnInternalRule) {
  TFuncResultList list(ByteCompare);
  list.AddNewResultItem("", 7, false, tafSum, host::ftFloat, 0, 1);
  EXPECT_THROW(list.SetNewValue(7, 2, host::Variant(1)), host::Exception);
  EXPECT_THROW(list.GetFuncResult(8, 1), host::Exception);
  EXPECT_EQ(list.FindFuncResultItem(7, 1)->AggFunc(), tafSum);
}

}  // namespace
}  // namespace tav
