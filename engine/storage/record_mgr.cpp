#include "engine/storage/record_mgr.h"

#include <cstring>

#include "engine/storage/tav_errors.h"
#include "host/rtl/exceptions.h"

namespace tav {

TRecordMgr::TRecordMgr()
    : blob_mgr_(std::make_unique<TBlobMgr>()), fields_(std::make_unique<TInternalFields>()) {}

TRecordMgr::~TRecordMgr() = default;

void TRecordMgr::SetRecordSize(int32_t value) {
  TAV_ASSERT(!buffer_, "Setting record size when buffers set");
  record_size_ = value;
}

void TRecordMgr::Open(TBaseIOInterface* ioInterface) {
  if (record_size_ <= 0) TavDatabaseError(8576, "TRecordMgr.Open");
  if (!ioInterface) TavDatabaseError(8576, "TRecordMgr.Open", "IOInterface is null");
  // The field list is checked before anything is kept, so a refused layout
  // leaves the manager closed.
  fields_->Open();
  fields_->SetRecordSize(record_size_);
  buffer_ = std::make_unique<uint8_t[]>(static_cast<size_t>(record_size_));
  io_ = ioInterface;
  // Opening again must not give a field two streams.
  blob_mgr_->Clear();
  for (int i = 0; i < fields_->Count(); ++i) {
    const TInternalFieldItem* f = fields_->Items(i);
    if (!IsBlobFieldType(f->DataType())) continue;
    TBlob* b = blob_mgr_->Add();
    b->SetFieldNo(f->FieldIndex());
    b->SetState(bsInvalid);
  }
}

void TRecordMgr::Close() {
  fields_->Close();
  blob_mgr_->Clear();
  buffer_.reset();
  io_ = nullptr;
}

void TRecordMgr::RequireOpen(const char* caller) const {
  if (!buffer_) TavDatabaseError(8576, caller);
}

uint32_t TRecordMgr::AddRecord(const void* buffer) {
  RequireOpen("TRecordMgr.AddRecord");
  const uint32_t address = io_->AllocateNewAddress(static_cast<uint32_t>(record_size_), buffer);
  std::memcpy(buffer_.get(), buffer, static_cast<size_t>(record_size_));
  return address;
}

void TRecordMgr::ReadRecord(uint32_t address, void* buffer, bool keepCopy) {
  RequireOpen("TRecordMgr.ReadRecord");
  io_->ReadBlock(address, static_cast<uint32_t>(record_size_), buffer);
  if (keepCopy) {
    std::memcpy(buffer_.get(), buffer, static_cast<size_t>(record_size_));
    blob_mgr_->InvalidateStreams();
  }
}

uint8_t* TRecordMgr::ReadRecordByRef(uint32_t address) {
  RequireOpen("TRecordMgr.ReadRecordByRef");
  return io_->ReadBlockByRef(address, static_cast<uint32_t>(record_size_));
}

void TRecordMgr::UpdateRecord(uint32_t address, const void* buffer) {
  RequireOpen("TRecordMgr.UpdateRecord");
  io_->WriteBlock(address, static_cast<uint32_t>(record_size_), buffer);
  std::memcpy(buffer_.get(), buffer, static_cast<size_t>(record_size_));
}

void TRecordMgr::DeleteRecord(uint32_t address) {
  RequireOpen("TRecordMgr.DeleteRecord");
  io_->ReleaseBlock(address, static_cast<uint32_t>(record_size_));
  blob_mgr_->InvalidateStreams();
}

void TRecordMgr::RestoreBufferFromInternalBuffer(void* buffer) const {
  RequireOpen("TRecordMgr.RestoreBufferFromInternalBuffer");
  std::memcpy(buffer, buffer_.get(), static_cast<size_t>(record_size_));
}

}  // namespace tav
