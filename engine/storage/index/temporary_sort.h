// In-memory sorting of record addresses by key.
//
// TTemporarySort collects one fixed-size key entry per record (the index
// entry layout of key_fields.h, every entry EntrySize bytes long with the
// record's address in its address field), sorts them by the index key order
// and finds keys by binary search. TTemporarySortManager is the collection a
// query keeps its sorts in. CalculateIndexPageSize gives the page size an
// index with a given key size needs.
//
// Callers must keep:
//  - Set the string compare function and describe the key in KeyFields()
//    before Open; Open takes a copy of the key description (a change to
//    KeyFields afterwards needs another Open) and sets KeyFields' DataOffset
//    to the bitmap size of its field count.
//  - Record images passed to AppendKey, FindKey and FindNearest hold the
//    whole record the key fields' offsets were taken from.
//  - Sort after the last AppendKey and before searching: the searches assume
//    sorted entries and do not check.
//  - A record address of 0 cannot be told apart from "not found".
#pragma once

#include <cstdint>
#include <memory>

#include "engine/storage/index/key_fields.h"
#include "engine/storage/base/tav_compare.h"
#include "host/rtl/collection.h"

namespace tav {

// The page size an index whose entries take up to keySize bytes needs: the
// larger of 4096 and the next multiple of 2048 above keySize + 16.
int CalculateIndexPageSize(int keySize);

class TTemporarySort : public host::TCollectionItem {
 public:
  explicit TTemporarySort(host::TCollection* collection = nullptr);
  ~TTemporarySort() override;

  // The key the entries are built from and ordered by.
  TKeyFields& KeyFields() { return *key_fields_; }
  const TKeyFields& KeyFields() const { return *key_fields_; }
  void SetDBStringCompare(TDBStringCompare compare) { string_compare_ = compare; }

  // Starts an empty sort with room for `capacity` entries. Without a string
  // compare function raises 8581 "Sort function not assinged"; a key the
  // key format refuses raises as TKeyFormat::Open does; an array of more
  // than kMaximumSortBytes raises 9473.
  void Open(int32_t capacity);
  // Frees the entries; Count and Capacity become 0.
  void Close();
  bool IsOpen() const { return entries_ != nullptr; }

  // Appends the key of `record` with `address`, growing the array when it
  // is full; the sort is then no longer Sorted.
  void AppendKey(uint32_t address, const uint8_t* record);
  // Orders entries 0 .. Count - 1 by CompareKeys; equal keys keep no
  // particular order.
  void Sort();
  // The address of an entry whose key equals the key of `record` (the first
  // of them in sorted order), 0 if none.
  uint32_t FindKey(const uint8_t* record);
  // The address of the first entry whose key is not smaller than the key of
  // `record`, 0 when every entry is smaller.
  uint32_t FindNearest(const uint8_t* record);
  // The key order of two entries of this sort: negative, 0 or positive. An
  // entry longer than EntrySize raises 8581 "KeySize out of range".
  int CompareKeys(const uint8_t* entryA, const uint8_t* entryB) const;

  int32_t Capacity() const { return capacity_; }
  int32_t Count() const { return count_; }
  int32_t EntrySize() const { return entry_size_; }
  bool Sorted() const { return sorted_; }
  // Entry i (0 .. Count - 1), EntrySize bytes; GetKeyEntryAddress gives its
  // record address. Valid until the next AppendKey, Open or Close.
  const uint8_t* Entry(int32_t i) const;

  // The capacity after a full array of `capacity` entries of `entrySize`
  // bytes: a quarter more, at least one more. Raises 9473 when that array
  // would exceed kMaximumSortBytes.
  static int32_t GrownCapacity(int32_t capacity, int32_t entrySize);
  // The largest entry array: byte offsets into it stay 32-bit, as Count is.
  static constexpr int64_t kMaximumSortBytes = INT32_MAX;

 private:
  // Raises 9473 unless capacity entries of entrySize bytes fit the limit.
  static size_t CheckedArrayBytes(int64_t capacity, int32_t entrySize, const char* caller);
  // Builds the key of `record` into the key entry buffer.
  void ConstructKeyBufFromRecBuf(uint32_t address, const uint8_t* record);
  void Grow();
  uint8_t* EntryAt(int32_t i) const {
    return entries_.get() + static_cast<size_t>(i) * static_cast<size_t>(entry_size_);
  }
  void SwapEntries(int32_t a, int32_t b);
  void InternalQuickSort(int32_t low, int32_t high);
  // The position of the first entry not smaller than the key entry (Count
  // when there is none) and the compare of the key entry with it.
  int32_t InternalSearch(int& result) const;

  int32_t capacity_ = 0;
  int32_t count_ = 0;
  int32_t entry_size_ = 0;
  std::unique_ptr<uint8_t[]> entries_;
  std::unique_ptr<uint8_t[]> key_entry_;
  bool sorted_ = false;
  std::unique_ptr<TKeyFields> key_fields_;
  TDBStringCompare string_compare_ = nullptr;
  TKeyFormat format_;
};

class TTemporarySortManager : public host::TTypedCollection<TTemporarySort> {
 public:
  // Closes every sort; the sorts stay in the collection.
  void Close();
};

}  // namespace tav
