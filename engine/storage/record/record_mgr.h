// TRecordMgr stores, reads, rewrites and frees a table's fixed-size record
// images, one per block of the table's record interface (usage 9), and keeps
// a copy of the last record it added, updated or read with copy. It owns the
// table's field list (the image layout) and one BLOB stream per BLOB field.
//
// Callers must keep:
//  - The field list is filled, RecordSize set, then Open is called with the
//    record interface; RecordSize cannot change while open (assertion).
//  - Every buffer handed in or out holds RecordSize bytes.
//  - A pointer from ReadRecordByRef lives only until the next call into the
//    record interface or anything sharing its disk manager (see
//    io_interface.h). It is for reading in place; changes go through
//    UpdateRecord.
//  - DeleteRecord frees the record only; its BLOB chains are the caller's to
//    free first.
//  - Records read back are checked before they are handed out: a string
//    field whose length marker exceeds its size raises 8581, so readers of
//    the image may trust the markers.
//  - On disk every address handed in (from an index leaf, a bookmark) is
//    checked before the block is read, written or freed: each page the
//    block touches must be one of this table's record pages (its map entry
//    is the interface's PageOwner) and, where a request is one page, the
//    block must start at a whole block in it (block_owner.h). Anything else
//    raises 8581 and nothing is touched.
//  - The interface is borrowed and must outlive the open record manager.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/storage/record/blob.h"
#include "engine/storage/record/block_owner.h"
#include "engine/storage/record/internal_fields.h"
#include "engine/storage/record/io_interface.h"
#include "host/rtl/object.h"

namespace tav {

class TRecordMgr : public host::TObject {
 public:
  TRecordMgr();
  TRecordMgr(const TRecordMgr&) = delete;
  TRecordMgr& operator=(const TRecordMgr&) = delete;
  ~TRecordMgr() override;

  int32_t RecordSize() const { return record_size_; }
  // Assertion "Setting record size when buffers set" while open.
  void SetRecordSize(int32_t value);

  // 8576 without a record size or an interface. Opens the field list (its
  // field-index map) and makes one invalid TBlob per BLOB field.
  void Open(TBaseIOInterface* ioInterface);
  // Empties the field list and the BLOB list and frees the internal buffer.
  void Close();
  bool Active() const { return buffer_ != nullptr; }

  // Stores a new record; returns its address.
  uint32_t AddRecord(const void* buffer);
  // With keepCopy the record also becomes the internal copy and the BLOB
  // streams turn invalid.
  void ReadRecord(uint32_t address, void* buffer, bool keepCopy);
  // The record in place, without a copy (see the header note).
  uint8_t* ReadRecordByRef(uint32_t address);
  void UpdateRecord(uint32_t address, const void* buffer);
  void DeleteRecord(uint32_t address);
  void RestoreBufferFromInternalBuffer(void* buffer) const;

  TBaseIOInterface* IOInterface() const { return io_; }
  TInternalFields& Fields() { return *fields_; }
  const TInternalFields& Fields() const { return *fields_; }
  TBlobMgr& BlobMgr() { return *blob_mgr_; }
  // The copy of the last record added, updated or read with copy; null
  // while closed.
  const uint8_t* InternalBuffer() const { return buffer_.get(); }

 private:
  void RequireOpen(const char* caller) const;
  // Checks the length markers of the string fields of a record read back.
  void CheckRecord(const uint8_t* record, uint32_t address, const char* caller) const;

  // Where the string fields' length markers lie and what they may say.
  struct TStringCheck {
    int32_t MarkerOffset;
    int32_t MaxLength;
    int32_t FieldPos;
  };

  TBaseIOInterface* io_ = nullptr;
  TBlockOwnerCheck owner_check_;  // addresses handed in name this table's records
  std::unique_ptr<TBlobMgr> blob_mgr_;
  std::unique_ptr<TInternalFields> fields_;
  int32_t record_size_ = 0;
  std::unique_ptr<uint8_t[]> buffer_;
  std::vector<TStringCheck> string_checks_;
};

}  // namespace tav
