#include "engine/storage/record/record_mgr.h"

#include <endian.h>

#include <cstring>

#include "engine/storage/base/tav_errors.h"
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
  if (record_size_ <= 0) TavDatabaseError(kSystemObjectIsNotInitialized, "TRecordMgr.Open");
  if (!ioInterface)
    TavDatabaseError(kSystemObjectIsNotInitialized, "TRecordMgr.Open", "IOInterface is null");
  // The field list is checked before anything is kept, so a refused layout
  // leaves the manager closed.
  fields_->Open();
  fields_->SetRecordSize(record_size_);
  // Readers address the image through the field list: every field must lie
  // inside the record.
  std::vector<TStringCheck> checks;
  for (int i = 0; i < fields_->Count(); ++i) {
    const TInternalFieldItem* f = fields_->Items(i);
    const bool isString = f->DataType() == host::ftString || f->DataType() == host::ftWideString;
    const int64_t end = int64_t{f->DataOffset()} + f->FieldSize();
    const bool inside = f->FieldSize() >= 0 && f->DataOffset() >= 0 && end <= record_size_ &&
                        f->NullFlagOffset() >= 0 && f->NullFlagOffset() < record_size_ &&
                        (!isString || (f->SizeMarkerOffset() >= 0 &&
                                       int64_t{f->SizeMarkerOffset()} + 2 <= record_size_));
    if (!inside)
      TavDatabaseErrorFmt(kUnexpectedInternalError, "TRecordMgr.Open",
                          "Field %s lies outside the record", {f->FieldName()});
    if (isString) checks.push_back({f->SizeMarkerOffset(), f->FieldSize(), i});
  }
  string_checks_ = std::move(checks);
  buffer_ = std::make_unique<uint8_t[]>(static_cast<size_t>(record_size_));
  io_ = ioInterface;
  owner_check_.Open(*io_);
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
  owner_check_.Close();
  string_checks_.clear();
  fields_->Close();
  blob_mgr_->Clear();
  buffer_.reset();
  io_ = nullptr;
}

void TRecordMgr::RequireOpen(const char* caller) const {
  if (!buffer_) TavDatabaseError(kSystemObjectIsNotInitialized, caller);
}


uint32_t TRecordMgr::AddRecord(const void* buffer) {
  RequireOpen("TRecordMgr.AddRecord");
  const uint32_t address = io_->AllocateNewAddress(static_cast<uint32_t>(record_size_), buffer);
  std::memcpy(buffer_.get(), buffer, static_cast<size_t>(record_size_));
  return address;
}

void TRecordMgr::ReadRecord(uint32_t address, void* buffer, bool keepCopy) {
  RequireOpen("TRecordMgr.ReadRecord");
  owner_check_.Check(address, "TRecordMgr.ReadRecord");
  io_->ReadBlock(address, static_cast<uint32_t>(record_size_), buffer);
  CheckRecord(static_cast<const uint8_t*>(buffer), address, "TRecordMgr.ReadRecord");
  if (keepCopy) {
    std::memcpy(buffer_.get(), buffer, static_cast<size_t>(record_size_));
    blob_mgr_->InvalidateStreams();
  }
}

uint8_t* TRecordMgr::ReadRecordByRef(uint32_t address) {
  RequireOpen("TRecordMgr.ReadRecordByRef");
  owner_check_.Check(address, "TRecordMgr.ReadRecordByRef");
  uint8_t* record = io_->ReadBlockByRef(address, static_cast<uint32_t>(record_size_));
  CheckRecord(record, address, "TRecordMgr.ReadRecordByRef");
  return record;
}

void TRecordMgr::CheckRecord(const uint8_t* record, uint32_t address, const char* caller) const {
  for (const TStringCheck& c : string_checks_) {
    uint16_t length;
    std::memcpy(&length, record + c.MarkerOffset, 2);
    length = le16toh(length);
    if (length > c.MaxLength)
      TavDatabaseErrorFmt(
          kUnexpectedInternalError, caller, "Invalid string length %d in field %s at record %u",
          {static_cast<int>(length), fields_->Items(c.FieldPos)->FieldName(), address});
  }
}

void TRecordMgr::UpdateRecord(uint32_t address, const void* buffer) {
  RequireOpen("TRecordMgr.UpdateRecord");
  owner_check_.Check(address, "TRecordMgr.UpdateRecord");
  io_->WriteBlock(address, static_cast<uint32_t>(record_size_), buffer);
  std::memcpy(buffer_.get(), buffer, static_cast<size_t>(record_size_));
}

void TRecordMgr::DeleteRecord(uint32_t address) {
  RequireOpen("TRecordMgr.DeleteRecord");
  owner_check_.Check(address, "TRecordMgr.DeleteRecord");
  io_->ReleaseBlock(address, static_cast<uint32_t>(record_size_));
  blob_mgr_->InvalidateStreams();
}

void TRecordMgr::RestoreBufferFromInternalBuffer(void* buffer) const {
  RequireOpen("TRecordMgr.RestoreBufferFromInternalBuffer");
  std::memcpy(buffer, buffer_.get(), static_cast<size_t>(record_size_));
}

}  // namespace tav
