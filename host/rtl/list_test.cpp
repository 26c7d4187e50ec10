#include "host/rtl/list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "host/rtl/exceptions.h"

namespace host {
namespace {

std::vector<int32_t> Contents(const TList& l) {
  std::vector<int32_t> v;
  for (int i = 0; i < l.Count(); ++i) v.push_back(l.Items(i));
  return v;
}

int Ascending(int32_t a, int32_t b) { return a < b ? -1 : (a > b ? 1 : 0); }

TEST(ListTest, AddInsertDeleteRemove) {
  TList l;
  EXPECT_EQ(l.Add(10), 0);
  EXPECT_EQ(l.Add(30), 1);
  l.Insert(1, 20);
  l.Insert(3, 40);  // at Count: appends
  EXPECT_EQ(Contents(l), (std::vector<int32_t>{10, 20, 30, 40}));
  EXPECT_EQ(l.IndexOf(30), 2);
  EXPECT_EQ(l.IndexOf(99), -1);
  EXPECT_EQ(l.Remove(20), 1);
  EXPECT_EQ(l.Remove(20), -1);
  l.Delete(0);
  EXPECT_EQ(Contents(l), (std::vector<int32_t>{30, 40}));
  EXPECT_EQ(l.First(), 30);
  EXPECT_EQ(l.Last(), 40);
  l.SetItems(1, -5);
  EXPECT_EQ(l.Last(), -5);
  l.Clear();
  EXPECT_EQ(l.Count(), 0);
  EXPECT_EQ(l.Capacity(), 0);
}

TEST(ListTest, BadIndexesRaiseWithTheIndex) {
  TList l;
  l.Add(1);
  auto message = [&](auto op) -> std::string {
    try {
      op();
    } catch (const EListError& e) {
      return e.what();
    }
    return "no error";
  };
  EXPECT_EQ(message([&] { l.Items(1); }), "List index out of bounds (1)");
  EXPECT_EQ(message([&] { l.Items(-1); }), "List index out of bounds (-1)");
  EXPECT_EQ(message([&] { l.Insert(2, 0); }), "List index out of bounds (2)");
  EXPECT_EQ(message([&] { l.Delete(1); }), "List index out of bounds (1)");
  EXPECT_EQ(message([&] { l.Exchange(0, 3); }), "List index out of bounds (3)");
  EXPECT_EQ(message([&] { l.Move(0, 1); }), "List index out of bounds (1)");
  EXPECT_EQ(message([&] { l.SetCapacity(0); }), "List capacity out of bounds (0)");
  EXPECT_EQ(message([&] { l.SetCount(-1); }), "List count out of bounds (-1)");
  TList empty;
  EXPECT_EQ(message([&] { empty.First(); }), "List index out of bounds (0)");
  EXPECT_EQ(message([&] { empty.Last(); }), "List index out of bounds (-1)");
  EXPECT_EQ(Contents(l), (std::vector<int32_t>{1}));
}

TEST(ListTest, CapacityGrowsInTheLibrarySteps) {
  TList l;
  std::vector<int> seen;
  for (int i = 0; i < 200; ++i) {
    l.Add(i);
    if (seen.empty() || seen.back() != l.Capacity()) seen.push_back(l.Capacity());
  }
  EXPECT_EQ(seen, (std::vector<int>{4, 8, 12, 28, 44, 60, 76, 95, 118, 147, 183, 228}));
  TList e;
  e.Expand();
  EXPECT_EQ(e.Capacity(), 4);
  e.Expand();
  EXPECT_EQ(e.Capacity(), 4);  // still room
}

TEST(ListTest, ExchangeMovePackAndCount) {
  TList l;
  for (int32_t v : {1, 0, 2, 0, 3}) l.Add(v);
  l.Exchange(0, 4);
  EXPECT_EQ(Contents(l), (std::vector<int32_t>{3, 0, 2, 0, 1}));
  l.Move(0, 4);
  EXPECT_EQ(Contents(l), (std::vector<int32_t>{0, 2, 0, 1, 3}));
  l.Move(3, 0);
  EXPECT_EQ(Contents(l), (std::vector<int32_t>{1, 0, 2, 0, 3}));
  l.Pack();
  EXPECT_EQ(Contents(l), (std::vector<int32_t>{1, 2, 3}));
  l.SetCount(5);  // new slots are zero, even where old items lay
  EXPECT_EQ(Contents(l), (std::vector<int32_t>{1, 2, 3, 0, 0}));
  l.SetCount(1);
  l.SetCount(3);
  EXPECT_EQ(Contents(l), (std::vector<int32_t>{1, 0, 0}));
}

TEST(ListTest, SortManyRandomValues) {
  std::mt19937 rng(7);
  for (int n : {0, 1, 2, 3, 17, 1000, 20000}) {
    TList l;
    std::vector<int32_t> expect;
    std::uniform_int_distribution<int32_t> dist(n % 2 ? -50 : INT32_MIN, n % 2 ? 50 : INT32_MAX);
    for (int i = 0; i < n; ++i) {
      int32_t v = dist(rng);
      l.Add(v);
      expect.push_back(v);
    }
    l.Sort(Ascending);
    std::sort(expect.begin(), expect.end());
    EXPECT_EQ(Contents(l), expect) << n;
  }
}

TEST(ListTest, SortSortedReversedAndConstantRuns) {
  TList l;
  for (int i = 0; i < 5000; ++i) l.Add(5000 - i);
  l.Sort(Ascending);
  for (int i = 0; i < 5000; ++i) ASSERT_EQ(l.Items(i), i + 1);
  l.Sort([](int32_t a, int32_t b) { return Ascending(b, a); });
  EXPECT_EQ(l.First(), 5000);
  TList same;
  for (int i = 0; i < 3000; ++i) same.Add(7);
  same.Sort(Ascending);
  EXPECT_EQ(same.Count(), 3000);
}

TEST(ListTest, SortPlacesEqualKeysAsTheLibraryAlwaysHas) {
  // Items are key*100 + tag, compared by key only; the partition scheme
  // decides where equal keys land. This order is the host library's.
  TList l;
  for (int32_t v : {201, 102, 203, 104, 205, 106}) l.Add(v);
  l.Sort([](int32_t a, int32_t b) { return a / 100 - b / 100; });
  EXPECT_EQ(Contents(l), (std::vector<int32_t>{104, 102, 106, 205, 201, 203}));
}

TEST(ListTest, InconsistentCompareRaisesInsteadOfRunningOff) {
  TList l;
  for (int i = 0; i < 50; ++i) l.Add(i);
  EXPECT_THROW(l.Sort([](int32_t, int32_t) { return -1; }), EAssertionFailed);
  EXPECT_EQ(l.Count(), 50);
}

}  // namespace
}  // namespace host
