// TList: a growable array of 32-bit values (page numbers, addresses, ids).
// Capacity grows in the host library's steps (4, 16, then a quarter), and Sort
// is the host library's quicksort, so equal items end in the same order as the
// callers have always seen. Every index is checked: a bad one raises EListError
// "List index out of bounds (<index>)".
#pragma once

#include <cstdint>
#include <vector>

#include "host/rtl/object.h"

namespace host {

// Negative when item1 sorts before item2, zero when equal, positive after.
using TListSortCompare = int (*)(int32_t item1, int32_t item2);

class TList : public TObject {
 public:
  // The largest Count and Capacity a list may have.
  static constexpr int MaxListSize = 0x7FFFFFFF / 16;

  TList() = default;
  TList(const TList&) = delete;
  TList& operator=(const TList&) = delete;

  int Add(int32_t item);
  void Insert(int index, int32_t item);
  void Delete(int index);
  // Deletes the first item equal to item; returns its former index or -1.
  int Remove(int32_t item);
  int IndexOf(int32_t item) const;
  void Clear();

  int Count() const { return count_; }
  // Growing fills with zeros; shrinking drops the items at the end.
  void SetCount(int newCount);
  int Capacity() const { return static_cast<int>(items_.size()); }
  // Raises EListError "List capacity out of bounds (<n>)" below Count.
  void SetCapacity(int newCapacity);

  int32_t Items(int index) const;
  void SetItems(int index, int32_t item);
  void Exchange(int index1, int index2);
  // Takes the item at curIndex out and puts it back at newIndex.
  void Move(int curIndex, int newIndex);
  int32_t First() const { return Items(0); }
  int32_t Last() const { return Items(count_ - 1); }
  // Makes room for one more item when the list is full.
  TList& Expand();
  // Deletes every item equal to zero.
  void Pack();
  // An inconsistent compare function raises EAssertionFailed, never runs off
  // the list.
  void Sort(TListSortCompare compare);

 private:
  void Grow();
  void CheckIndex(int index) const;

  // items_.size() is the capacity; the slots from count_ on are unused.
  std::vector<int32_t> items_;
  int count_ = 0;
};

}  // namespace host
