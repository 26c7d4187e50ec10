// The read-ahead buffer: a batch of neighbouring records, in index order, that
// a dataset lists from an index in one go and then serves without touching the
// table. Each item carries the record's address, its number in index order, a
// copy of its index entry and a record buffer the data-access layer fills.
//
// Items and their record and key buffers are pooled: a refill reuses the
// items and buffers of earlier fills and allocates only when it is larger than
// every fill before it. A lookup by address tries the item found last and its
// neighbours first, so a walk through the buffer finds each step at once.
//
// Callers must keep:
//  - The fill order: Invalidate, Add per record, then SetValidTimeStamp with
//    the tick of the fill. An unstamped buffer is never valid.
//  - A change seen in the table header means other users wrote: Invalidate
//    and SetRecordCountValid(false) before the buffer is consulted again.
//  - Item buffers belong to the pool: they stay valid until Close (or the
//    buffer's destruction) and are handed to later items after Invalidate.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace tav {

enum TReadAheadDirection { rdNone = 0, rdBackwards = 1, rdForwards = 2, rdCenter = 3 };

class TReadAheadBufferItem {
 public:
  // Hands the item its (pooled, not owned) buffers; neither may be null.
  void Initialize(uint8_t* recordBuffer, uint8_t* keyBuffer);

  uint8_t* RecordBuffer() const { return record_buffer_; }
  uint8_t* KeyBuffer() const { return key_buffer_; }
  int32_t RecNo() const { return rec_no_; }
  void SetRecNo(int32_t value) { rec_no_ = value; }
  uint32_t RecAddr() const { return rec_addr_; }
  void SetRecAddr(uint32_t value) { rec_addr_ = value; }

 private:
  uint8_t* record_buffer_ = nullptr;  // pooled by the buffer
  uint8_t* key_buffer_ = nullptr;     // pooled by the buffer
  int32_t rec_no_ = 0;
  uint32_t rec_addr_ = 0;
};

class TReadAheadBuffer {
 public:
  TReadAheadBuffer() = default;
  ~TReadAheadBuffer();
  TReadAheadBuffer(const TReadAheadBuffer&) = delete;
  TReadAheadBuffer& operator=(const TReadAheadBuffer&) = delete;

  int Count() const { return count_; }
  // The item at `i` (0 <= i < Count()); valid until the next Add, DeleteItem
  // or Invalidate.
  TReadAheadBufferItem* Items(int i) const;

  // Closes, then keeps the buffer sizes and the period (ms) a fill stays
  // valid; unstamped, record count 0 and not valid.
  void Open(uint32_t recordBufferSize, uint32_t keyBufferSize, uint32_t validPeriod);
  // Frees every pooled buffer and removes the items.
  void Close();

  // A new last item, given the next pooled buffer pair (allocated when the
  // pool has none left).
  TReadAheadBufferItem* Add();
  // Removes the items and the stamp; the pooled buffers stay for reuse.
  void Invalidate();
  // True while `now` (a 32-bit millisecond tick, os::GetTickCount) lies within
  // the valid period after the stamp and there is an item; wrap-safe. Else
  // invalidates and returns false.
  bool IsValid(uint32_t now);

  // Searching from the last item backwards: the position of the item for
  // `address`, or -1.
  int GetIndexOfBufferItem(uint32_t address) const;
  TReadAheadBufferItem* GetBufferItem(uint32_t address) const;
  // The item after / before the one for `address`; nullptr at either end or
  // when there is none for `address`.
  TReadAheadBufferItem* GetNextBufferItem(uint32_t address) const;
  TReadAheadBufferItem* GetPriorBufferItem(uint32_t address) const;
  // The last item, nullptr when empty.
  TReadAheadBufferItem* Last() const;
  // Removes the item at `i`; its buffers go back to the pool.
  void DeleteItem(int i);
  // Keeps the items [first, end) (0 <= first <= end <= Count()), in order,
  // and removes the others; their buffers go back to the pool.
  void KeepItems(int first, int end);

  // Pooled buffer pairs, used or not.
  int GetInternalBufferCount() const { return static_cast<int>(items_.size()); }

  uint32_t ValidTimeStamp() const { return valid_time_stamp_; }
  void SetValidTimeStamp(uint32_t value) { valid_time_stamp_ = value; }
  uint32_t ValidPeriod() const { return valid_period_; }
  int32_t LastRecordCount() const { return last_record_count_; }
  void SetLastRecordCount(int32_t value) { last_record_count_ = value; }
  bool RecordCountValid() const { return record_count_valid_; }
  void SetRecordCountValid(bool value) { record_count_valid_ = value; }

 private:
  uint32_t record_buffer_size_ = 0;
  uint32_t key_buffer_size_ = 0;
  // The pool: items_[0, count_) are the current items, the rest spare.
  // Mutable: a lookup may only move the hint.
  mutable std::vector<TReadAheadBufferItem> items_;
  int count_ = 0;
  mutable int hint_ = 0;  // the item a lookup found last
  uint32_t valid_time_stamp_ = 0;  // tick of the fill; 0 = not filled
  uint32_t valid_period_ = 0;
  std::vector<std::unique_ptr<uint8_t[]>> record_buffers_;
  std::vector<std::unique_ptr<uint8_t[]>> key_buffers_;
  int32_t last_record_count_ = 0;
  bool record_count_valid_ = false;
};

}  // namespace tav
