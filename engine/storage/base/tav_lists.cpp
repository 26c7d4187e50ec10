#include "engine/storage/base/tav_lists.h"

#include <algorithm>
#include <string>
#include <utility>

#include "engine/storage/base/tav_errors.h"
#include "host/rtl/exceptions.h"

namespace tav {

int AscendingListSort(uint32_t item1, uint32_t item2) {
  return item1 < item2 ? -1 : (item1 > item2 ? 1 : 0);
}
namespace {

[[noreturn]] void ListIndexError(int index) {
  throw host::EListError("List index out of bounds (" + std::to_string(index) + ")");
}

inline void CheckIndex(int index, size_t count) {
  if (index < 0 || static_cast<size_t>(index) >= count) ListIndexError(index);
}

// Hoare quicksort with the middle value as pivot. swap(i, j) exchanges two
// positions (so a second list can follow along). The scans stop at the range
// ends, so a compare that contradicts itself leaves the order undefined but
// never reads outside the list; the smaller part is recursed into, so the
// stack stays logarithmic.
template <class Less, class Greater, class Swap, class Get>
void QuickSort(long l, long r, Get get, Less less, Greater greater, Swap swap) {
  while (l < r) {
    long i = l, j = r;
    const uint32_t pivot = get(l + (r - l) / 2);
    while (i <= j) {
      while (i < r && less(get(i), pivot)) ++i;
      while (j > l && greater(get(j), pivot)) --j;
      if (i <= j) {
        if (i != j) swap(i, j);
        ++i;
        --j;
      }
    }
    if (j - l < r - i) {
      if (l < j) QuickSort(l, j, get, less, greater, swap);
      l = i;
    } else {
      if (i < r) QuickSort(i, r, get, less, greater, swap);
      r = j;
    }
  }
}

inline int LowestIndexSorted(const std::vector<uint32_t>& v, uint32_t value) {
  auto it = std::lower_bound(v.begin(), v.end(), value);
  return (it != v.end() && *it == value) ? static_cast<int>(it - v.begin()) : -1;
}

inline int LowestIndexLinear(const std::vector<uint32_t>& v, uint32_t value) {
  auto it = std::find(v.begin(), v.end(), value);
  return it != v.end() ? static_cast<int>(it - v.begin()) : -1;
}

// Whether v stays ascending after v[index] becomes value.
inline bool StaysAscending(const std::vector<uint32_t>& v, size_t index, uint32_t value) {
  return (index == 0 || v[index - 1] <= value) && (index + 1 >= v.size() || value <= v[index + 1]);
}

}  // namespace

// ---- TCompoundList ----

void TCompoundList::Add(uint32_t value1, uint32_t value2) {
  if (!list1_.empty() && value1 < list1_.back()) list1_sorted_ = false;
  if (!list2_.empty() && value2 < list2_.back()) list2_sorted_ = false;
  list1_.push_back(value1);
  list2_.push_back(value2);
}

uint32_t TCompoundList::Items(int index) const {
  CheckIndex(index, list1_.size());
  return list1_[index];
}

void TCompoundList::SetItems(int index, uint32_t value) {
  CheckIndex(index, list1_.size());
  if (list1_sorted_ && !StaysAscending(list1_, index, value)) list1_sorted_ = false;
  list1_[index] = value;
}

int TCompoundList::Count() const {
  if (list1_.size() != list2_.size())
    TavDatabaseError(kUnexpectedInternalError, "TCompoundList.Count",
                     "Compound list - list counts do no match", this);
  return static_cast<int>(list1_.size());
}

void TCompoundList::SortBy(std::vector<uint32_t>& key, std::vector<uint32_t>& other) {
  if (key.size() < 2) return;
  QuickSort(
      0, static_cast<long>(key.size()) - 1, [&](long i) { return key[i]; },
      [](uint32_t a, uint32_t b) { return a < b; }, [](uint32_t a, uint32_t b) { return a > b; },
      [&](long i, long j) {
        std::swap(key[i], key[j]);
        std::swap(other[i], other[j]);
      });
}

void TCompoundList::SortList1() {
  Count();
  SortBy(list1_, list2_);
  list1_sorted_ = true;
  list2_sorted_ = false;
}

void TCompoundList::SortList2() {
  Count();
  SortBy(list2_, list1_);
  list2_sorted_ = true;
  list1_sorted_ = false;
}

int TCompoundList::IndexOfList1(uint32_t value) const {
  return list1_sorted_ ? LowestIndexSorted(list1_, value) : LowestIndexLinear(list1_, value);
}

int TCompoundList::IndexOfList2(uint32_t value) const {
  return list2_sorted_ ? LowestIndexSorted(list2_, value) : LowestIndexLinear(list2_, value);
}

void TCompoundList::Clear() {
  list1_.clear();
  list2_.clear();
  list1_sorted_ = false;
  list2_sorted_ = false;
}

// ---- TSortedList ----

int TSortedList::Add(uint32_t value) {
  if (!items_.empty() && value < items_.back()) sorted_ = false;
  items_.push_back(value);
  return static_cast<int>(items_.size()) - 1;
}

void TSortedList::Insert(int index, uint32_t value) {
  if (index < 0 || static_cast<size_t>(index) > items_.size()) ListIndexError(index);
  if (sorted_) {
    const size_t i = static_cast<size_t>(index);
    if ((i > 0 && items_[i - 1] > value) || (i < items_.size() && value > items_[i]))
      sorted_ = false;
  }
  items_.insert(items_.begin() + index, value);
}

void TSortedList::Delete(int index) {
  CheckIndex(index, items_.size());
  items_.erase(items_.begin() + index);
}

void TSortedList::Clear() {
  items_.clear();
  sorted_ = false;
}

uint32_t TSortedList::Items(int index) const {
  CheckIndex(index, items_.size());
  return items_[index];
}

void TSortedList::SetItems(int index, uint32_t value) {
  CheckIndex(index, items_.size());
  if (sorted_ && !StaysAscending(items_, index, value)) sorted_ = false;
  items_[index] = value;
}

void TSortedList::SortList(TSortedListCompare compare) {
  if (Count() <= kSortThreshold || !compare) {
    sorted_ = false;
    return;
  }
  QuickSort(
      0, static_cast<long>(items_.size()) - 1, [&](long i) { return items_[i]; },
      [compare](uint32_t a, uint32_t b) { return compare(a, b) < 0; },
      [compare](uint32_t a, uint32_t b) { return compare(a, b) > 0; },
      [&](long i, long j) { std::swap(items_[i], items_[j]); });
  sorted_ = std::is_sorted(items_.begin(), items_.end());
}

int TSortedList::SortedIndexOf(uint32_t value) const {
  return sorted_ ? LowestIndexSorted(items_, value) : LowestIndexLinear(items_, value);
}

// ---- TStackList ----

void* TStackList::Pop() {
  if (items_.empty()) ListIndexError(-1);
  void* p = items_.back();
  items_.pop_back();
  return p;
}

}  // namespace tav
