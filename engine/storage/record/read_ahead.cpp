#include "engine/storage/record/read_ahead.h"

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
  Clear();
  record_buffers_.clear();
  key_buffers_.clear();
  buffer_cursor_ = 0;
}

TReadAheadBufferItem* TReadAheadBuffer::Add() {
  TAV_ASSERT(record_buffers_.size() == key_buffers_.size(), "Buffer cursors out of sync");
  if (buffer_cursor_ >= 0 && static_cast<size_t>(buffer_cursor_) == record_buffers_.size()) {
    // Zeroed, so that a record or key the filler leaves short never shows
    // bytes of the heap.
    record_buffers_.push_back(std::make_unique<uint8_t[]>(record_buffer_size_));
    key_buffers_.push_back(std::make_unique<uint8_t[]>(key_buffer_size_));
  }
  TAV_ASSERT(buffer_cursor_ >= 0 && static_cast<size_t>(buffer_cursor_) < record_buffers_.size(),
             " RecBuf cursor is incorrect");
  const size_t k = static_cast<size_t>(buffer_cursor_);
  TReadAheadBufferItem* item = TTypedCollection::Add();
  item->Initialize(record_buffers_[k].get(), key_buffers_[k].get());
  ++buffer_cursor_;
  return item;
}

void TReadAheadBuffer::Invalidate() {
  Clear();
  valid_time_stamp_ = 0;
  buffer_cursor_ = 0;
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
  for (int i = Count() - 1; i >= 0; --i)
    if (Items(i)->RecAddr() == address) return i;
  return -1;
}

TReadAheadBufferItem* TReadAheadBuffer::GetBufferItem(uint32_t address) const {
  const int i = GetIndexOfBufferItem(address);
  return i < 0 ? nullptr : Items(i);
}

TReadAheadBufferItem* TReadAheadBuffer::GetNextBufferItem(uint32_t address) const {
  const int i = GetIndexOfBufferItem(address);
  return (i < 0 || i + 1 >= Count()) ? nullptr : Items(i + 1);
}

TReadAheadBufferItem* TReadAheadBuffer::GetPriorBufferItem(uint32_t address) const {
  const int i = GetIndexOfBufferItem(address);
  return i < 1 ? nullptr : Items(i - 1);
}

TReadAheadBufferItem* TReadAheadBuffer::Last() const {
  return Count() == 0 ? nullptr : Items(Count() - 1);
}

}  // namespace tav
