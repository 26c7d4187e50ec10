// Sorting of long lists by a 32-bit key, a digit at a time.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>
#include <vector>

namespace tav {

// Sorts `items` by the 32-bit `key(item)` (items of equal keys in no
// particular order). A commit's thousands of pages or journal ranges cost a comparison
// sort more than the rest of its work: a long list is dealt out by at most
// eleven bits of the key at a time through `scratch` (which keeps its room
// for the next call and may trade places with `items`), in as few passes as
// the highest key needs; a short list, or one whose scratch room cannot be
// had, is sorted by comparison.
template <class T, class Key>
void SortByKeyDigits(std::vector<T>& items, std::vector<T>& scratch, Key key) {
  const size_t n = items.size();
  const auto byKey = [&key](const T& a, const T& b) { return key(a) < key(b); };
  constexpr size_t kDigitSortFrom = 256;
  if (n < kDigitSortFrom) {
    std::sort(items.begin(), items.end(), byKey);
    return;
  }
  uint32_t highest = 0;
  for (const T& item : items) highest = std::max<uint32_t>(highest, key(item));
  try {
    scratch.resize(n);
  } catch (const std::bad_alloc&) {
    std::sort(items.begin(), items.end(), byKey);
    return;
  }
  constexpr int kMaxDigitBits = 11;
  const int bits = std::bit_width(highest);
  const int passes = std::max(1, (bits + kMaxDigitBits - 1) / kMaxDigitBits);
  const int digitBits = std::max(1, (bits + passes - 1) / passes);
  const uint32_t digitMask = (uint32_t{1} << digitBits) - 1;
  std::array<uint32_t, size_t{1} << kMaxDigitBits> starts;
  T* from = items.data();
  T* to = scratch.data();
  for (int pass = 0; pass < passes; ++pass) {
    const int at = pass * digitBits;
    std::fill_n(starts.begin(), digitMask + 1, 0u);
    for (size_t i = 0; i < n; ++i) ++starts[(key(from[i]) >> at) & digitMask];
    uint32_t sum = 0;
    for (uint32_t d = 0; d <= digitMask; ++d) sum += std::exchange(starts[d], sum);
    for (size_t i = 0; i < n; ++i) to[starts[(key(from[i]) >> at) & digitMask]++] = from[i];
    std::swap(from, to);
  }
  if (from != items.data()) items.swap(scratch);
}

}  // namespace tav
