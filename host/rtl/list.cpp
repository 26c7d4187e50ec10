#include "host/rtl/list.h"

#include <algorithm>
#include <string>
#include <utility>

#include "host/rtl/exceptions.h"

namespace host {

namespace {

[[noreturn]] void ListError(const char* text, int value) {
  throw EListError(std::string(text) + " (" + std::to_string(value) + ")");
}

}  // namespace

void TList::CheckIndex(int index) const {
  if (index < 0 || index >= count_) ListError("List index out of bounds", index);
}

void TList::Grow() {
  const int capacity = Capacity();
  int delta;
  if (capacity > 64)
    delta = capacity / 4;
  else if (capacity > 8)
    delta = 16;
  else
    delta = 4;
  SetCapacity(capacity + delta);
}

int TList::Add(int32_t item) {
  const int result = count_;
  if (result == Capacity()) Grow();
  items_[static_cast<size_t>(result)] = item;
  ++count_;
  return result;
}

void TList::Insert(int index, int32_t item) {
  if (index < 0 || index > count_) ListError("List index out of bounds", index);
  if (count_ == Capacity()) Grow();
  auto at = items_.begin() + index;
  std::move_backward(at, items_.begin() + count_, items_.begin() + count_ + 1);
  *at = item;
  ++count_;
}

void TList::Delete(int index) {
  CheckIndex(index);
  std::move(items_.begin() + index + 1, items_.begin() + count_, items_.begin() + index);
  --count_;
  items_[static_cast<size_t>(count_)] = 0;
}

int TList::Remove(int32_t item) {
  const int result = IndexOf(item);
  if (result >= 0) Delete(result);
  return result;
}

int TList::IndexOf(int32_t item) const {
  for (int i = 0; i < count_; ++i)
    if (items_[static_cast<size_t>(i)] == item) return i;
  return -1;
}

void TList::Clear() {
  SetCount(0);
  SetCapacity(0);
}

void TList::SetCount(int newCount) {
  if (newCount < 0 || newCount > MaxListSize) ListError("List count out of bounds", newCount);
  if (newCount > Capacity()) SetCapacity(newCount);
  // Slots past count_ are always zero, so growing needs no filling.
  for (int i = newCount; i < count_; ++i) items_[static_cast<size_t>(i)] = 0;
  count_ = newCount;
}

void TList::SetCapacity(int newCapacity) {
  if (newCapacity < count_ || newCapacity > MaxListSize)
    ListError("List capacity out of bounds", newCapacity);
  const auto n = static_cast<size_t>(newCapacity);
  if (n < items_.size()) {
    items_.resize(n);
    items_.shrink_to_fit();
  } else {
    items_.reserve(n);
    items_.resize(n, 0);
  }
}

int32_t TList::Items(int index) const {
  CheckIndex(index);
  return items_[static_cast<size_t>(index)];
}

void TList::SetItems(int index, int32_t item) {
  CheckIndex(index);
  items_[static_cast<size_t>(index)] = item;
}

void TList::Exchange(int index1, int index2) {
  CheckIndex(index1);
  CheckIndex(index2);
  std::swap(items_[static_cast<size_t>(index1)], items_[static_cast<size_t>(index2)]);
}

void TList::Move(int curIndex, int newIndex) {
  if (curIndex == newIndex) return;
  if (newIndex < 0 || newIndex >= count_) ListError("List index out of bounds", newIndex);
  const int32_t item = Items(curIndex);
  Delete(curIndex);
  Insert(newIndex, item);
}

TList& TList::Expand() {
  if (count_ == Capacity()) Grow();
  return *this;
}

void TList::Pack() {
  auto end = std::remove(items_.begin(), items_.begin() + count_, 0);
  const int newCount = static_cast<int>(end - items_.begin());
  std::fill(end, items_.begin() + count_, 0);
  count_ = newCount;
}

void TList::Sort(TListSortCompare compare) {
  if (count_ <= 1) return;
  int32_t* a = items_.data();
  // The host library's quicksort: middle element as pivot value, i and j
  // scanning towards each other, the left part sorted apart and the right one
  // continued in place. The left parts wait on a stack instead of the call
  // stack, which keeps the result and bounds the recursion on hostile input.
  std::vector<std::pair<int, int>> pending{{0, count_ - 1}};
  while (!pending.empty()) {
    auto [l, r] = pending.back();
    pending.pop_back();
    int i;
    do {
      i = l;
      int j = r;
      const int32_t pivot = a[(l + r) >> 1];
      do {
        while (compare(a[i], pivot) < 0) {
          ++i;
          TAV_ASSERT(i <= r, "TList.Sort: inconsistent compare function");
        }
        while (compare(a[j], pivot) > 0) {
          --j;
          TAV_ASSERT(j >= l, "TList.Sort: inconsistent compare function");
        }
        if (i <= j) {
          std::swap(a[i], a[j]);
          ++i;
          --j;
        }
      } while (i <= j);
      if (l < j) pending.emplace_back(l, j);
      l = i;
    } while (i < r);
  }
}

}  // namespace host
