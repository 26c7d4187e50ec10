// Lists of record addresses and a stack, shared by the tree walks, the filter
// optimizer, the joins and the parsers.
//
// Values are 32-bit unsigned (record addresses are unsigned file positions);
// they are sorted and searched as unsigned numbers, by comparing, never by
// subtracting, so addresses of 2^31 and above keep their place. A list's
// sorted flag is true only while the list really is in ascending order: an
// Add or a change that breaks the order clears it, so a binary search never
// runs over unsorted values. Index errors raise host::EListError.
#pragma once

#include <cstdint>
#include <vector>

#include "host/rtl/object.h"

namespace tav {

// The compare a TSortedList sorts with: negative, 0 or positive.
using TSortedListCompare = int (*)(uint32_t item1, uint32_t item2);

// Ascending order of list values, for TSortedList.SortList.
int AscendingListSort(uint32_t item1, uint32_t item2);

// Two lists of the same length, List1 and List2, whose pairs stay together
// through sorting. Each list remembers whether the pairs are sorted by it.
class TCompoundList : public host::TObject {
 public:
  TCompoundList() = default;
  TCompoundList(const TCompoundList&) = delete;
  TCompoundList& operator=(const TCompoundList&) = delete;

  void Add(uint32_t value1, uint32_t value2);
  // List1's value at index.
  uint32_t Items(int index) const;
  void SetItems(int index, uint32_t value);
  int Count() const;
  // Sort the pairs by List1 (List2); the other list is then unsorted.
  void SortList1();
  void SortList2();
  // The lowest index holding value, or -1: a binary search when the pairs
  // are sorted by that list, else a linear one.
  int IndexOfList1(uint32_t value) const;
  int IndexOfList2(uint32_t value) const;
  void Clear();

  const std::vector<uint32_t>& List1() const { return list1_; }
  const std::vector<uint32_t>& List2() const { return list2_; }
  bool List1Sorted() const { return list1_sorted_; }
  bool List2Sorted() const { return list2_sorted_; }

 private:
  void SortBy(std::vector<uint32_t>& key, std::vector<uint32_t>& other);

  std::vector<uint32_t> list1_;
  std::vector<uint32_t> list2_;
  bool list1_sorted_ = false;
  bool list2_sorted_ = false;
};

// A list of values that sorts itself only when long enough to pay off: short
// lists are searched linearly.
class TSortedList : public host::TObject {
 public:
  // Lists of this many values or fewer are never sorted.
  static constexpr int kSortThreshold = 100;

  TSortedList() = default;
  TSortedList(const TSortedList&) = delete;
  TSortedList& operator=(const TSortedList&) = delete;

  int Add(uint32_t value);
  void Insert(int index, uint32_t value);
  void Delete(int index);
  void Clear();
  int Count() const { return static_cast<int>(items_.size()); }
  uint32_t Items(int index) const;
  void SetItems(int index, uint32_t value);

  // With more than kSortThreshold values, sorts by compare and marks the list
  // sorted when the result is ascending by value (sort by AscendingListSort
  // to search it); otherwise leaves it unsorted.
  void SortList(TSortedListCompare compare);
  // The lowest index holding value, or -1.
  int SortedIndexOf(uint32_t value) const;
  bool Sorted() const { return sorted_; }
  const std::vector<uint32_t>& List() const { return items_; }

 private:
  std::vector<uint32_t> items_;
  bool sorted_ = false;
};

// A stack of borrowed pointers.
class TStackList : public host::TObject {
 public:
  TStackList() = default;
  TStackList(const TStackList&) = delete;
  TStackList& operator=(const TStackList&) = delete;

  void Push(void* p) { items_.push_back(p); }
  // Removes and returns the top; an empty stack raises EListError.
  void* Pop();
  // The top, or nullptr when empty.
  void* Peek() const { return items_.empty() ? nullptr : items_.back(); }
  int Count() const { return static_cast<int>(items_.size()); }
  void Clear() { items_.clear(); }

 private:
  std::vector<void*> items_;
};

}  // namespace tav
