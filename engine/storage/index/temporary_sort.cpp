#include "engine/storage/index/temporary_sort.h"

#include <cstring>
#include <new>

#include "engine/storage/base/tav_errors.h"
#include "host/rtl/exceptions.h"

namespace tav {

namespace {

const char kNotEnoughMemory[] = "Not enough Memory for this op ";

}  // namespace

int CalculateIndexPageSize(int keySize) {
  // 64-bit so that an absurd key size gives an absurd page, not a wrapped one.
  const int64_t size = (static_cast<int64_t>(keySize) + 16) / 2048 * 2048 + 2048;
  if (size <= 4096) return 4096;
  return size > INT32_MAX ? INT32_MAX : static_cast<int>(size);
}

// ---------------------------------------------------------------------------
// TTemporarySort

TTemporarySort::TTemporarySort(host::TCollection* collection)
    : host::TCollectionItem(collection), key_fields_(std::make_unique<TKeyFields>()) {}

TTemporarySort::~TTemporarySort() {
  Close();
}

size_t TTemporarySort::CheckedArrayBytes(int64_t capacity, int32_t entrySize, const char* caller) {
  // Both factors are below 2^32, so the product cannot wrap in 64 bits.
  if (capacity < 0 || capacity > INT32_MAX || entrySize < 1 ||
      capacity * entrySize > kMaximumSortBytes)
    TavDatabaseError(kNotEnoughMemoryForThisOp, caller, kNotEnoughMemory);
  return static_cast<size_t>(capacity * entrySize);
}

int32_t TTemporarySort::GrownCapacity(int32_t capacity, int32_t entrySize) {
  // A quarter more is Trunc(capacity * 1.25) exactly, without going through
  // a float; small arrays still grow by one.
  int64_t grown = static_cast<int64_t>(capacity) + capacity / 4;
  if (grown < static_cast<int64_t>(capacity) + 1) grown = static_cast<int64_t>(capacity) + 1;
  CheckedArrayBytes(grown, entrySize, "TTemporarySort.Grow");
  return static_cast<int32_t>(grown);
}

void TTemporarySort::Open(int32_t capacity) {
  static const char kCaller[] = "TTemporarySort.Open";
  if (!string_compare_)
    TavDatabaseError(kUnexpectedInternalError, kCaller, "Sort function not assinged");
  Close();
  TAV_ASSERT(capacity >= 0, "Temporary sort capacity is negative");
  TKeyFields& fields = *key_fields_;
  // CalculateMaximumKeySize adds the declared string sizes in 32 bits: absurd
  // sizes must be refused before they can wrap the sum. A key whose strings
  // alone overflow an entry's 16-bit length could never be stored anyway.
  if (fields.Count() > kMaximumKeyEntrySize)
    TavDatabaseError(kUnexpectedInternalError, kCaller, "KeyBuffers invalid");
  int64_t stringBytes = 0;
  for (int i = 0; i < fields.Count(); ++i) {
    const TKeyFieldItem& f = *fields.Items(i);
    if (f.DataType() != host::ftString && f.DataType() != host::ftWideString) continue;
    stringBytes += f.FieldSize();
    if (f.FieldSize() < 0 || stringBytes > kMaximumKeyEntrySize)
      TavDatabaseError(kUnexpectedInternalError, kCaller, "KeyBuffers invalid");
  }
  const int32_t bitmapSize = CalculateKeyDataOffset(fields.Count());
  const int32_t entrySize = CalculateMaximumKeySize(fields) + bitmapSize;
  fields.SetDataOffset(bitmapSize);
  const size_t bytes = CheckedArrayBytes(capacity, entrySize, kCaller);
  // Every entry is fixed-size, so the format writes EntrySize as each
  // entry's length and refuses keys that do not fit a 16-bit length.
  format_.Open(fields, entrySize, ikFixed, string_compare_);
  try {
    entries_.reset(new uint8_t[bytes > 0 ? bytes : 1]());
    key_entry_.reset(new uint8_t[static_cast<size_t>(entrySize)]());
  } catch (const std::bad_alloc&) {
    Close();
    TavDatabaseError(kNotEnoughMemoryForThisOp, kCaller, kNotEnoughMemory);
  }
  entry_size_ = entrySize;
  capacity_ = capacity;
  count_ = 0;
  sorted_ = false;
}

void TTemporarySort::Close() {
  entries_.reset();
  key_entry_.reset();
  format_.Close();
  count_ = 0;
  capacity_ = 0;
}

const uint8_t* TTemporarySort::Entry(int32_t i) const {
  TAV_ASSERT(i >= 0 && i < count_, "Temporary sort entry out of range");
  return EntryAt(i);
}

void TTemporarySort::ConstructKeyBufFromRecBuf(uint32_t address, const uint8_t* record) {
  TAV_ASSERT(IsOpen(), "Temporary sort is not open");
  // Zeroes the entry, so the count field stays 0, and sets its length to
  // EntrySize (a fixed-size key).
  format_.ConstructKeyBufFromRecBuf(record, key_entry_.get());
  SetKeyEntryAddress(key_entry_.get(), address);
}

void TTemporarySort::Grow() {
  const int32_t grown = GrownCapacity(capacity_, entry_size_);
  std::unique_ptr<uint8_t[]> bigger;
  try {
    bigger.reset(new uint8_t[static_cast<size_t>(grown) * static_cast<size_t>(entry_size_)]());
  } catch (const std::bad_alloc&) {
    TavDatabaseError(kNotEnoughMemoryForThisOp, "TTemporarySort.Grow", kNotEnoughMemory);
  }
  std::memcpy(bigger.get(), entries_.get(),
              static_cast<size_t>(count_) * static_cast<size_t>(entry_size_));
  entries_ = std::move(bigger);
  capacity_ = grown;
}

void TTemporarySort::AppendKey(uint32_t address, const uint8_t* record) {
  ConstructKeyBufFromRecBuf(address, record);
  if (count_ >= capacity_) Grow();
  std::memcpy(EntryAt(count_), key_entry_.get(), static_cast<size_t>(entry_size_));
  ++count_;
  sorted_ = false;
}

int TTemporarySort::CompareKeys(const uint8_t* entryA, const uint8_t* entryB) const {
  static const char kCaller[] = "TTemporarySort.CompareKeys";
  TAV_ASSERT(IsOpen(), "Temporary sort is not open");
  if (GetKeyEntryLength(entryA) > entry_size_ || GetKeyEntryLength(entryB) > entry_size_)
    TavDatabaseError(kUnexpectedInternalError, kCaller, "KeySize out of range");
  // The index order, over every key field and without comparison markers.
  return format_.CompareKeys(0, entryA, {}, entryB, {});
}

void TTemporarySort::SwapEntries(int32_t a, int32_t b) {
  // Through the key entry buffer: the array has no spare slot.
  const size_t n = static_cast<size_t>(entry_size_);
  uint8_t* buffer = key_entry_.get();
  std::memcpy(buffer, EntryAt(a), n);
  std::memcpy(EntryAt(a), EntryAt(b), n);
  std::memcpy(EntryAt(b), buffer, n);
}

void TTemporarySort::InternalQuickSort(int32_t low, int32_t high) {
  // Recursing only into the smaller part and looping on the larger keeps the
  // depth below log2(Count), whatever the input's order.
  while (low < high) {
    int32_t i = low;
    int32_t j = high;
    int32_t pivot = low + (high - low) / 2;
    do {
      while (CompareKeys(EntryAt(i), EntryAt(pivot)) < 0) ++i;
      while (CompareKeys(EntryAt(j), EntryAt(pivot)) > 0) --j;
      if (i <= j) {
        if (i != j) SwapEntries(i, j);
        // The pivot is compared in place, so it is followed when it moves.
        if (pivot == i)
          pivot = j;
        else if (pivot == j)
          pivot = i;
        ++i;
        --j;
      }
    } while (i <= j);
    if (j - low < high - i) {
      if (low < j) InternalQuickSort(low, j);
      low = i;
    } else {
      if (i < high) InternalQuickSort(i, high);
      high = j;
    }
  }
}

void TTemporarySort::Sort() {
  TAV_ASSERT(IsOpen(), "Temporary sort is not open");
  if (count_ > 1) InternalQuickSort(0, count_ - 1);
  sorted_ = true;
}

int32_t TTemporarySort::InternalSearch(int& result) const {
  // The leftmost entry not smaller than the key: among equal keys the first
  // one, so that FindNearest really gives the first entry not smaller.
  int32_t low = 0;
  int32_t high = count_;
  while (low < high) {
    const int32_t middle = low + (high - low) / 2;
    if (CompareKeys(key_entry_.get(), EntryAt(middle)) > 0)
      low = middle + 1;
    else
      high = middle;
  }
  result = low < count_ ? CompareKeys(key_entry_.get(), EntryAt(low)) : 1;
  return low;
}

uint32_t TTemporarySort::FindKey(const uint8_t* record) {
  ConstructKeyBufFromRecBuf(0, record);
  int result;
  const int32_t position = InternalSearch(result);
  return position < count_ && result == 0 ? GetKeyEntryAddress(EntryAt(position)) : 0;
}

uint32_t TTemporarySort::FindNearest(const uint8_t* record) {
  ConstructKeyBufFromRecBuf(0, record);
  int result;
  const int32_t position = InternalSearch(result);
  return position < count_ ? GetKeyEntryAddress(EntryAt(position)) : 0;
}

// ---------------------------------------------------------------------------
// TTemporarySortManager

void TTemporarySortManager::Close() {
  for (int i = 0; i < Count(); ++i) Items(i)->Close();
}

}  // namespace tav
