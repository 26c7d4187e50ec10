#include "engine/storage/record/read_ahead.h"

#include <algorithm>

#include "host/rtl/exceptions.h"

namespace tav {

void TReadAheadBufferItem::Initialize(uint8_t* recordBuffer, uint8_t* keyBuffer) {
  TAV_ASSERT(recordBuffer != nullptr, "RecBuf has not been initialized");
  TAV_ASSERT(keyBuffer != nullptr, "KeyBuf has not been initialized");
  record_buffer_ = recordBuffer;
  key_buffer_ = keyBuffer;
}

TReadAheadBuffer::~TReadAheadBuffer() {
  // Items first: they point into the pools.
  Close();
}

void TReadAheadBuffer::Open(uint32_t recordBufferSize, uint32_t keyBufferSize,
                            uint32_t validPeriod) {
  Close();
  record_buffer_size_ = recordBufferSize;
  key_buffer_size_ = keyBufferSize;
  valid_period_ = validPeriod;
  valid_time_stamp_ = 0;
  last_record_count_ = 0;
  record_count_valid_ = false;
}

void TReadAheadBuffer::Close() {
  items_.clear();
  record_buffers_.clear();
  key_buffers_.clear();
  count_ = 0;
  hint_ = 0;
}

TReadAheadBufferItem* TReadAheadBuffer::Items(int i) const {
  TAV_ASSERT(i >= 0 && i < count_, "Read ahead item out of range");
  return &items_[static_cast<size_t>(i)];
}

TReadAheadBufferItem* TReadAheadBuffer::Add() {
  if (static_cast<size_t>(count_) == items_.size()) {
    // Zeroed, so that a record or key the filler leaves short never shows
    // bytes of the heap.
    record_buffers_.push_back(std::make_unique<uint8_t[]>(record_buffer_size_));
    key_buffers_.push_back(std::make_unique<uint8_t[]>(key_buffer_size_));
    items_.emplace_back().Initialize(record_buffers_.back().get(), key_buffers_.back().get());
  }
  TReadAheadBufferItem& item = items_[static_cast<size_t>(count_++)];
  item.SetRecNo(0);
  item.SetRecAddr(0);
  return &item;
}

void TReadAheadBuffer::DeleteItem(int i) {
  TAV_ASSERT(i >= 0 && i < count_, "Read ahead item out of range");
  // The item and its buffers move behind the current ones, spare.
  std::rotate(items_.begin() + i, items_.begin() + i + 1, items_.begin() + count_);
  --count_;
}

void TReadAheadBuffer::KeepItems(int first, int end) {
  TAV_ASSERT(first >= 0 && first <= end && end <= count_, "Read ahead items out of range");
  std::rotate(items_.begin(), items_.begin() + first, items_.begin() + count_);
  count_ = end - first;
}

void TReadAheadBuffer::Invalidate() {
  count_ = 0;
  valid_time_stamp_ = 0;
}

bool TReadAheadBuffer::IsValid(uint32_t now) {
  // Elapsed time as an unsigned difference, so that a fill shortly before the
  // 32-bit tick wraps stays valid just after it. A stamp of 0 marks a buffer
  // that was never stamped.
  if (valid_time_stamp_ != 0 && Count() > 0 &&
      static_cast<uint32_t>(now - valid_time_stamp_) <= valid_period_)
    return true;
  Invalidate();
  return false;
}

int TReadAheadBuffer::GetIndexOfBufferItem(uint32_t address) const {
  // A walk asks for the item it stands on, which a step before found or
  // served: the hint, then its neighbours, first.
  const int hint = hint_;
  if (hint >= 0 && hint < count_ && items_[static_cast<size_t>(hint)].RecAddr() == address) return hint;
  for (const int i : {hint + 1, hint - 1})
    if (i >= 0 && i < count_ && items_[static_cast<size_t>(i)].RecAddr() == address) return hint_ = i;
  for (int i = count_ - 1; i >= 0; --i)
    if (items_[static_cast<size_t>(i)].RecAddr() == address) return hint_ = i;
  return -1;
}

TReadAheadBufferItem* TReadAheadBuffer::GetBufferItem(uint32_t address) const {
  const int i = GetIndexOfBufferItem(address);
  return i < 0 ? nullptr : Items(i);
}

TReadAheadBufferItem* TReadAheadBuffer::GetNextBufferItem(uint32_t address) const {
  const int i = GetIndexOfBufferItem(address);
  if (i < 0 || i + 1 >= count_) return nullptr;
  hint_ = i + 1;
  return Items(i + 1);
}

TReadAheadBufferItem* TReadAheadBuffer::GetPriorBufferItem(uint32_t address) const {
  const int i = GetIndexOfBufferItem(address);
  if (i < 1) return nullptr;
  hint_ = i - 1;
  return Items(i - 1);
}

TReadAheadBufferItem* TReadAheadBuffer::Last() const {
  return Count() == 0 ? nullptr : Items(Count() - 1);
}

}  // namespace tav
