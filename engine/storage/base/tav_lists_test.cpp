#include "engine/storage/base/tav_lists.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <utility>
#include <vector>

#include "engine/storage/base/tav_compare.h"
#include "host/rtl/exceptions.h"

namespace tav {
namespace {

std::vector<std::pair<uint32_t, uint32_t>> Pairs(const TCompoundList& l) {
  std::vector<std::pair<uint32_t, uint32_t>> v;
  for (int i = 0; i < l.Count(); ++i) v.emplace_back(l.List1()[i], l.List2()[i]);
  return v;
}

TEST(CompoundListTest, SortingKeepsPairsTogetherAndFindsTheFirstOfEquals) {
  std::mt19937 rng(3);
  for (int round = 0; round < 20; ++round) {
    TCompoundList l;
    const int n = static_cast<int>(rng() % 300);
    for (int i = 0; i < n; ++i) {
      // Few distinct values, some at and above 2^31, so there are many ties.
      uint32_t v = static_cast<uint32_t>(rng() % 16) * 0x20000000u + (rng() % 3);
      l.Add(v, static_cast<uint32_t>(i));
    }
    auto before = Pairs(l);
    l.SortList1();
    ASSERT_TRUE(l.List1Sorted());
    ASSERT_FALSE(l.List2Sorted());
    ASSERT_TRUE(std::is_sorted(l.List1().begin(), l.List1().end()));
    auto after = Pairs(l);
    std::sort(before.begin(), before.end());
    auto sortedAfter = after;
    std::sort(sortedAfter.begin(), sortedAfter.end());
    ASSERT_EQ(before, sortedAfter);
    for (const auto& [v1, v2] : after) {
      const auto& l1 = l.List1();
      const int first = static_cast<int>(std::lower_bound(l1.begin(), l1.end(), v1) - l1.begin());
      ASSERT_EQ(l.IndexOfList1(v1), first);
    }
    EXPECT_EQ(l.IndexOfList1(0x10000000u), -1);

    l.SortList2();
    ASSERT_TRUE(l.List2Sorted());
    ASSERT_FALSE(l.List1Sorted());
    for (int i = 0; i < l.Count(); ++i) ASSERT_EQ(l.List2()[i], static_cast<uint32_t>(i));
    for (int i = 0; i < l.Count(); ++i) ASSERT_EQ(l.IndexOfList2(static_cast<uint32_t>(i)), i);
  }
}

TEST(CompoundListTest, AddressesAbove2GSortAfterSmallOnes) {
  TCompoundList l;
  for (uint32_t v : {0xFFFFFFFFu, 1u, 0x80000000u, 0x7FFFFFFFu, 0u}) l.Add(v, 0);
  l.SortList1();
  EXPECT_EQ(l.List1(), (std::vector<uint32_t>{0u, 1u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}));
  EXPECT_EQ(l.IndexOfList1(0x80000000u), 3);
  EXPECT_EQ(l.IndexOfList1(0xFFFFFFFFu), 4);
}

TEST(CompoundListTest, OutOfOrderAddsDropTheSortedMark) {
  TCompoundList l;
  for (uint32_t v : {10u, 20u, 30u}) l.Add(v, v);
  l.SortList1();
  l.Add(40, 1);  // still ascending: stays sorted
  EXPECT_TRUE(l.List1Sorted());
  l.Add(5, 2);  // a binary search would miss this and others
  EXPECT_FALSE(l.List1Sorted());
  EXPECT_EQ(l.IndexOfList1(5), 4);
  EXPECT_EQ(l.IndexOfList1(30), 2);
  l.SortList1();
  l.SetItems(0, 7);  // 5 -> 7 keeps the order
  EXPECT_TRUE(l.List1Sorted());
  l.SetItems(0, 99);
  EXPECT_FALSE(l.List1Sorted());
  EXPECT_EQ(l.IndexOfList1(99), 0);
  EXPECT_EQ(l.Items(1), 10u);
  EXPECT_THROW(l.Items(5), host::EListError);
  EXPECT_THROW(l.SetItems(-1, 0), host::EListError);
  l.Clear();
  EXPECT_EQ(l.Count(), 0);
  EXPECT_EQ(l.IndexOfList1(10), -1);
}

std::vector<uint32_t> Values(int n, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<uint32_t> v;
  for (int i = 0; i < n; ++i) v.push_back(static_cast<uint32_t>(rng() % 40) * 0x08000000u);
  return v;
}

TEST(SortedListTest, SortsOnlyWhenLongerThan100) {
  TSortedList l;
  for (uint32_t v : Values(100, 1)) l.Add(v);
  const auto unsortedValues = l.List();
  l.SortList(AscendingListSort);
  EXPECT_FALSE(l.Sorted());
  EXPECT_EQ(l.List(), unsortedValues);  // left as it was
  const uint32_t probe = unsortedValues[57];
  EXPECT_EQ(l.SortedIndexOf(probe),
            static_cast<int>(std::find(unsortedValues.begin(), unsortedValues.end(), probe) -
                             unsortedValues.begin()));

  l.Add(0x90000000u);
  l.SortList(AscendingListSort);
  ASSERT_TRUE(l.Sorted());
  ASSERT_TRUE(std::is_sorted(l.List().begin(), l.List().end()));
  for (uint32_t v : l.List()) {
    const int first =
        static_cast<int>(std::lower_bound(l.List().begin(), l.List().end(), v) - l.List().begin());
    ASSERT_EQ(l.SortedIndexOf(v), first);
  }
  EXPECT_EQ(l.SortedIndexOf(1), -1);
}

TEST(SortedListTest, ASortThatIsNotAscendingLeavesTheListSearchable) {
  TSortedList l;
  for (uint32_t v : Values(200, 2)) l.Add(v);
  l.SortList([](uint32_t a, uint32_t b) { return AscendingListSort(b, a); });
  EXPECT_FALSE(l.Sorted());
  EXPECT_TRUE(std::is_sorted(l.List().rbegin(), l.List().rend()));
  const uint32_t v = l.List()[150];
  EXPECT_EQ(l.Items(l.SortedIndexOf(v)), v);
}

TEST(SortedListTest, ChangesAfterSortingKeepSearchesRight) {
  TSortedList l;
  for (uint32_t v : Values(150, 3)) l.Add(v);
  l.SortList(AscendingListSort);
  ASSERT_TRUE(l.Sorted());
  l.Insert(0, 0);  // 0 at the front keeps the order
  EXPECT_TRUE(l.Sorted());
  l.Insert(1, 0xFFFFFFFFu);
  EXPECT_FALSE(l.Sorted());
  EXPECT_EQ(l.SortedIndexOf(0xFFFFFFFFu), 1);
  l.SortList(AscendingListSort);
  l.Delete(0);
  EXPECT_TRUE(l.Sorted());
  l.SetItems(0, 0xFFFFFFFEu);
  EXPECT_FALSE(l.Sorted());
  EXPECT_EQ(l.SortedIndexOf(0xFFFFFFFEu), 0);
  EXPECT_THROW(l.Insert(l.Count() + 1, 0), host::EListError);
  EXPECT_THROW(l.Delete(l.Count()), host::EListError);
}

TEST(SortedListTest, AContradictoryCompareNeverLeavesTheList) {
  // The sort must stay within the list whatever the compare answers.
  static std::mt19937 rng(4);
  TSortedList l;
  auto values = Values(1000, 5);
  for (uint32_t v : values) l.Add(v);
  l.SortList([](uint32_t, uint32_t) { return static_cast<int>(rng() % 3) - 1; });
  auto after = l.List();
  std::sort(after.begin(), after.end());
  std::sort(values.begin(), values.end());
  EXPECT_EQ(after, values);
  EXPECT_EQ(l.Sorted(), std::is_sorted(l.List().begin(), l.List().end()));
}

TEST(StackListTest, PushPopPeek) {
  TStackList s;
  int a = 1, b = 2;
  EXPECT_EQ(s.Peek(), nullptr);
  s.Push(&a);
  s.Push(&b);
  EXPECT_EQ(s.Peek(), &b);
  EXPECT_EQ(s.Pop(), &b);
  EXPECT_EQ(s.Count(), 1);
  EXPECT_EQ(s.Pop(), &a);
  EXPECT_EQ(s.Peek(), nullptr);
  EXPECT_THROW(s.Pop(), host::EListError);
}

}  // namespace
TEST(SortedListTest, AscendingListSortComparesWithoutOverflow) {
  EXPECT_LT(AscendingListSort(1, 2), 0);
  EXPECT_EQ(AscendingListSort(7, 7), 0);
  // a - b as 32-bit integers would give the wrong sign for these.
  EXPECT_GT(AscendingListSort(0x80000000u, 1), 0);
  EXPECT_GT(AscendingListSort(0xFFFFFFFFu, 0), 0);
  EXPECT_LT(AscendingListSort(0x7FFFFFFFu, 0x80000000u), 0);
  EXPECT_LT(AscendingListSort(1, 0x90000000u), 0);
}

}  // namespace tav
