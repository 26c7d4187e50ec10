// TTavDataSet, the writing half: field values into record buffers, records
// into the table (add, update, delete) with every index and BLOB kept in
// step, the table header written when a write lock is given back, emptying
// a table, and locating records by field values.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/components/tav_data_set.h"
#include "engine/components/tav_data_set_unkeyed.h"
#include "engine/storage/base/tav_compare.h"
#include "engine/storage/base/tav_errors.h"
#include "engine/storage/base/tav_logger.h"
#include "engine/storage/record/internal_fields.h"
#include "engine/storage/record/io_interface.h"
#include "engine/storage/table/privileges.h"
#include "engine/storage/table/table_header.h"
#include "host/db/db_common.h"
#include "host/db/field_types.h"
#include "host/db/fields.h"
#include "host/rtl/le_bytes.h"
#include "host/rtl/sys_utils.h"
#include "host/rtl/variant.h"

namespace tav {

namespace {

using host::GetU32;
using host::PutU32;

const int32_t kPrivInsert = MapObjectPrivTypeToConst(opInsertData);
const int32_t kPrivDelete = MapObjectPrivTypeToConst(opDeleteData);
const int32_t kPrivRead = MapObjectPrivTypeToConst(opReadData);
const int32_t kPrivUpdate = MapObjectPrivTypeToConst(opUpdateData);

// The bytes a value of the field may take: string fields keep room for
// their terminating zero (one byte, or one wide character).
int32_t WritableBytes(const TInternalFieldItem& f) {
  if (f.DataType() == host::ftString) return f.FieldSize() - 1;
  if (f.DataType() == host::ftWideString) return f.FieldSize() - 2;
  return f.FieldSize();
}

bool IsStringType(host::TFieldType t) { return t == host::ftString || t == host::ftWideString; }

}  // namespace

// ---------------------------------------------------------------------------
// Write lock guard

TWriteLockGuard::TWriteLockGuard(TTavDataSet& ds) : ds_(ds) {
  if (ds_.write_locked_) {
    ds_.CatchUpWithOtherWriters();
    return;
  }
  had_read_ = ds_.read_locked_;
  ds_.InternalSetWriteLock();
  took_ = true;
  ds_.guard_write_lock_ = true;
}

TWriteLockGuard::~TWriteLockGuard() {
  if (released_) return;
  try {
    Release();
  } catch (...) {
    // Only on the way out of a failure, which wins: every normal exit
    // released, and heard of any failure, before this.
  }
}

void TWriteLockGuard::Release(bool indexesChanged) {
  if (released_) return;
  released_ = true;
  if (!took_) {
    // A lock held past this write: the other datasets of the connection
    // learn of it through the header image they share.
    if (ds_.guard_write_lock_) return;
    ds_.ShareHeldWrite(indexesChanged);
    return;
  }
  ds_.guard_write_lock_ = false;
  // A header that could not be written is the write's failure; the flags
  // and the lock are down with it all the same.
  ds_.InternalReleaseLock();
  if (!had_read_) return;
  try {
    ds_.InternalSetReadLock();
  } catch (...) {
    // The write is done and stored: a read lock the caller held that cannot
    // be had again (another user took the table in between) is no failure
    // of it. The flags say no lock is held.
  }
}

// ---------------------------------------------------------------------------
// Table header

void TTavDataSet::StoreStateInHeader(bool indexesChanged) {
  TTableHeader* header = table_def_->TableHeader();
  if (!table_def_->Memory()) {
    if (TBaseIOInterface* io = table_def_->RecordInterface()) header->SetRecordFirstEmpty(io->FirstEmpty());
    if (table_def_->UsesBlobs())
      if (TBaseIOInterface* io = table_def_->BlobInterface()) header->SetBlobFirstEmpty(io->FirstEmpty());
  }
  if (indexesChanged) index_mgr_->WriteIndexHeaders();
}

void TTavDataSet::WriteTableHeader() {
  if (!cursor_active_ || read_only_) return;
  TTableHeader* header = table_def_->TableHeader();
  if (!header) return;
  // Roots this dataset took before another one wrote would put that write's
  // trees out of reach.
  CatchUpWithOtherWriters();
  StoreStateInHeader();
  if (!header->Dirty()) return;
  // This dataset's change alone when the image, the stored block and this
  // dataset's mark all hold the count it saw at its lock.
  const bool ownChange = table_def_->Memory() && header->GetModifiedFlag() == last_mod_mark_ &&
                         header->StoredModifiedFlag() == last_mod_mark_;
  header->WriteHeader();
  header->CountWrite();
  seen_write_count_ = header->WriteCount();
  read_ahead_->Invalidate();
  ClearBlobCache();
  // A memory table is this connection's alone, and this dataset made the
  // change it just wrote: its own trees and index roots are current, so the
  // next lock rereads them only when another dataset wrote after this (its
  // own mark moves on with the one written here). What a change resets of
  // this dataset's own positions and lists goes now.
  if (ownChange) {
    last_mod_mark_ = header->GetModifiedFlag();
    range_end_located_ = {false, false};
    read_ahead_->SetRecordCountValid(false);
    if (read_ahead_mode_ == raReadAheadActive) read_ahead_mode_ = raReadAheadUninitialized;
    index_on_buffer_ = false;
    if (FilterActive()) filter_stale_ = true;
  }
}

// ---------------------------------------------------------------------------
// Field writes

TInternalFieldItem& TTavDataSet::WritableField(int fieldNo, const char* caller) {
  const TInternalFields& fields = record_mgr_->Fields();
  if (fieldNo < 0 || fieldNo >= fields.Count())
    TavDatabaseError(kNoSuchField, caller, std::to_string(fieldNo), this);
  return *fields.Items(fieldNo);
}

void TTavDataSet::DataSetSetFieldDataToRecBuf(int fieldNo, int32_t length, uint8_t* buffer,
                                              const void* data, bool setNull) {
  const char* caller = "TTavDataSet.DataSetSetFieldDataToRecBuf";
  const TInternalFieldItem& f = WritableField(fieldNo, caller);
  if (IsBlobFieldType(f.DataType()))
    TavDatabaseError(kUnexpectedInternalError, caller,
                     "Unable to use this method to access blob fields", this);
  uint8_t* dest = buffer + f.DataOffset();
  const auto size = static_cast<size_t>(f.FieldSize());
  if (setNull || !data) {
    buffer[f.NullFlagOffset()] = 0;
    std::memset(dest, 0, size);
    if (f.SizeMarkerOffset() != 0) host::PutU16(buffer + f.SizeMarkerOffset(), 0);
    return;
  }
  const bool hasLengthWord = f.SizeMarkerOffset() != 0;
  if (length < 0) {
    TAV_ASSERT(!hasLengthWord, "Invalid data length in set field");
    length = f.FieldSize();
  }
  if (length > WritableBytes(f))
    TavDatabaseError(kUnexpectedInternalError, caller, "Field data length is out of range", this);
  if (hasLengthWord) host::PutU16(buffer + f.SizeMarkerOffset(), static_cast<uint16_t>(length));
  buffer[f.NullFlagOffset()] = 1;
  if (static_cast<size_t>(length) < size) std::memset(dest, 0, size);
  std::memcpy(dest, data, static_cast<size_t>(length));
}

void TTavDataSet::DataSetSetFieldData(int fieldNo, int32_t length, const void* data, bool setNull) {
  const char* caller = "TTavDataSet.DataSetSetFieldData";
  CheckInternalActive();
  const TInternalFieldItem& f = WritableField(fieldNo, caller);
  CheckPrivilegePresent(f.PrivilegeFlags(), kPrivUpdate);
  DataSetSetFieldDataToRecBuf(fieldNo, length, record_buffer_.data(), data, setNull);
  record_buffer_state_ = TRecordBufferState::kChanged;
}

void TTavDataSet::DataSetSetFieldDataToRecBufAsVariant(int fieldNo, uint8_t* buffer,
                                                       const host::Variant& value) {
  const char* caller = "TTavDataSet.DataSetSetFieldDataAsVariant";
  const TInternalFieldItem& f = WritableField(fieldNo, caller);
  if (value.IsNull() || value.IsEmpty()) {
    DataSetSetFieldDataToRecBuf(fieldNo, 0, buffer, nullptr, true);
    return;
  }
  uint8_t raw[8];
  switch (f.DataType()) {
    case host::ftString: {
      const std::string text = value.AsString();
      DataSetSetFieldDataToRecBuf(fieldNo, static_cast<int32_t>(text.size()), buffer, text.data(), false);
      return;
    }
    case host::ftWideString: {
      const std::u16string text = value.AsWideString();
      DataSetSetFieldDataToRecBuf(fieldNo, static_cast<int32_t>(text.size() * 2), buffer, text.data(), false);
      return;
    }
    case host::ftSmallint:
      // A value the field cannot hold is refused as the integer types
      // refuse theirs, never stored cut to 16 bits.
      host::PutU16(raw, static_cast<uint16_t>(value.AsSmallint()));
      DataSetSetFieldDataToRecBuf(fieldNo, 2, buffer, raw, false);
      return;
    case host::ftWord: {
      const int32_t word = value.AsInteger();
      if (word < 0 || word > UINT16_MAX)
        throw host::EVariantOverflowError("Overflow while converting variant of type (" +
                                          host::VarTypeAsText(value.VType()) + ") into type (Word)");
      host::PutU16(raw, static_cast<uint16_t>(word));
      DataSetSetFieldDataToRecBuf(fieldNo, 2, buffer, raw, false);
      return;
    }
    case host::ftInteger:
    case host::ftAutoInc:
      PutU32(raw, static_cast<uint32_t>(value.AsInteger()));
      DataSetSetFieldDataToRecBuf(fieldNo, 4, buffer, raw, false);
      return;
    case host::ftBoolean:
      raw[0] = value.AsBoolean() ? 1 : 0;
      DataSetSetFieldDataToRecBuf(fieldNo, 1, buffer, raw, false);
      return;
    case host::ftFloat:
    case host::ftCurrency: {
      const double d = value.AsDouble();
      std::memcpy(raw, &d, 8);
      DataSetSetFieldDataToRecBuf(fieldNo, 8, buffer, raw, false);
      return;
    }
    case host::ftBCD: {
      const int64_t scaled = value.AsCurrency();
      std::memcpy(raw, &scaled, 8);
      DataSetSetFieldDataToRecBuf(fieldNo, 8, buffer, raw, false);
      return;
    }
    case host::ftDate:
    case host::ftTime:
    case host::ftDateTime: {
      const double d = value.AsDateTime();
      std::memcpy(raw, &d, 8);
      DataSetSetFieldDataToRecBuf(fieldNo, 8, buffer, raw, false);
      return;
    }
    default:
      TavDatabaseError(kInvalidFieldType, caller, host::FieldTypeName(f.DataType()), this);
  }
}

void TTavDataSet::DataSetSetFieldDataAsVariant(int fieldNo, const host::Variant& value) {
  CheckInternalActive();
  CheckPrivilegePresent(WritableField(fieldNo, "TTavDataSet.DataSetSetFieldDataAsVariant").PrivilegeFlags(),
                        kPrivUpdate);
  DataSetSetFieldDataToRecBufAsVariant(fieldNo, record_buffer_.data(), value);
  record_buffer_state_ = TRecordBufferState::kChanged;
}

void TTavDataSet::DataSetSetFieldStreamFromRecBuf(int fieldNo, bool clear, host::TStream& stream,
                                                  const uint8_t* buffer) {
  const char* caller = "TTavDataSet.DataSetSetFieldStream";
  CheckInternalActive();
  const TInternalFieldItem& f = WritableField(fieldNo, caller);
  // A new record (no address yet) needs the insert privilege, a stored one
  // the update privilege.
  CheckPrivilegePresent(f.PrivilegeFlags(), PosAddress(buffer) == 0 ? kPrivInsert : kPrivUpdate);
  if (!IsFieldBlob(fieldNo)) TavDatabaseError(kFieldIsNotBlob, caller, f.FieldName(), this);
  TBlob* item = record_mgr_->BlobMgr().FindBlob(0, f.FieldIndex());
  if (!item) TavDatabaseError(kFieldIsNotBlob, caller, f.FieldName(), this);
  if (!clear && stream.Size() > 0) {
    item->Stream().Clear();
    item->Stream().CopyFrom(stream, 0);
    item->SetState(bsModified);
    return;
  }
  // Emptied: a stored value is freed at the next write.
  item->Stream().Clear();
  item->SetState(bsModified);
}

void TTavDataSet::DataSetSetFieldStream(int fieldNo, bool clear, host::TStream& stream) {
  CheckInternalActive();
  DataSetSetFieldStreamFromRecBuf(fieldNo, clear, stream, record_buffer_.data());
}

void TTavDataSet::DataSetSetFieldPrivileges() {
  if (!cursor_active_ || table_def_->InternalTable()) return;
  for (int i = 0; i < FieldCount(); ++i) {
    host::TField* field = Fields(i);
    if (field->FieldKind() != host::fkData) continue;
    const TInternalFieldItem* f = record_mgr_->Fields().FindField(field->FieldName());
    if (!f) continue;
    if ((f->PrivilegeFlags() & kPrivRead) == 0) field->SetVisible(false);
    if ((f->PrivilegeFlags() & kPrivUpdate) == 0 && !field->ReadOnly()) field->SetReadOnly(true);
  }
}

// ---------------------------------------------------------------------------
// BLOBs of the engine buffer

void TTavDataSet::WriteBlobsToInterface(bool deleting) {
  const char* caller = "TTavDataSet.WriteBlobsToInterface";
  uint8_t* buf = record_buffer_.data();
  TBlobMgr& blobs = record_mgr_->BlobMgr();
  const TInternalFields& fields = record_mgr_->Fields();
  for (int i = 0; i < blobs.Count(); ++i) {
    TBlob& item = *blobs.Items(i);
    const TInternalFieldItem* f = fields.GetField(item.FieldNo());
    if (!f) TavDatabaseError(kUnexpectedInternalError, caller, "Blob field not found", this);
    if (deleting) {
      item.Stream().Clear();
      item.SetState(bsModified);
    }
    if (item.State() != bsModified) continue;
    uint8_t* data = buf + f->DataOffset();
    // The reference is read whatever the null flag says: a field emptied
    // through its stream is flagged null while its old chain still waits
    // to be freed here.
    uint32_t address = GetU32(data);
    uint32_t size = address == 0 ? 0 : GetU32(data + 4);
    host::TMemoryStream& stream = item.Stream();
    const auto streamSize = static_cast<uint32_t>(stream.Size());
    if (address == 0 || size == 0) {
      // Nothing stored yet (a null field or one left empty).
      if (streamSize > 0) {
        stream.SetPosition(0);
        address = blob_interface_->InsertBlob(stream);
        size = streamSize;
      }
    } else if (streamSize > 0) {
      stream.SetPosition(0);
      address = blob_interface_->EditBlob(address, size, stream);
      size = streamSize;
    } else {
      blob_interface_->DeleteBlob(address, size);
      address = 0;
      size = 0;
    }
    PutU32(data, address);
    PutU32(data + 4, size);
    buf[f->NullFlagOffset()] = size != 0 ? 1 : 0;
    // Stored now: later reads take the record's own reference.
    item.Stream().Clear();
    item.SetState(bsInvalid);
  }
}

// ---------------------------------------------------------------------------
// After-write steps

bool TTavDataSet::InternalCheckRecordFlags(const uint8_t* a, const uint8_t* b, bool checkModFlag,
                                           bool checkIdentity) const {
  bool result = true;
  if (checkIdentity) {
    result = a[kRecInUseOffset] == 1 && b[kRecInUseOffset] == 1 &&
             GetU32(a + kRecIdentityOffset) == table_lock_id_ &&
             GetU32(a + kRecLogicalNoOffset) == GetU32(b + kRecLogicalNoOffset);
  }
  if (checkModFlag && result) result = GetU32(a + kRecModFlagOffset) == GetU32(b + kRecModFlagOffset);
  return result;
}

void TTavDataSet::RefreshDataSetIndex(uint32_t address) {
  uint8_t* buf = record_buffer_.data();
  TIndexItem* current = index_mgr_->CurrentIndex();
  current->CreateKeyBuffer(buf);
  index_on_buffer_ = false;
  if (current->FullIndexSearch(stEQ) != 0)
    TavDatabaseError(kRecordDeletedKeyModified, "TTavDataSet.RefreshDataSetIndex", "", this);
  if (current->GetRecordAddress() != address) {
    if (std::shared_ptr<TDBLogger> log = GDBLogger())
      log->LogItem("TTavDataSet.RefreshDataSetIndex", "RefreshDataSetIndex failed");
    return;
  }
  SetPosition(buf, address, current->GetRecordNo());
  index_on_buffer_ = true;
}

bool TTavDataSet::ValidateRecBufPostDataChange() {
  if (!range_on_ || !range_valid_) return true;
  if (CompareCurrentToRangeKey(rmRangeStart) < 0) {
    MoveToRangeEnd(rmRangeStart);
    return false;
  }
  if (CompareCurrentToRangeKey(rmRangeEnd) > 0) {
    MoveToRangeEnd(rmRangeEnd);
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Record writes

namespace {

// Auto-increment value and logical record number the table header takes
// once a new record is stored.
struct TNewRecordNumbers {
  bool HasAutoInc = false;
  uint32_t AutoInc = 0;
  uint32_t LogicalNo = 0;
};

// Fills the header words of a record about to be added (in use, the table's
// identity, its logical number) and its auto-increment field: a generated
// value, or the record's own when it lies above the table's.
TNewRecordNumbers StampNewRecord(uint8_t* buf, const TInternalFields& fields, const TTableHeader& header,
                                 uint32_t identity, bool generateAutoInc, bool keepLogicalNo) {
  TNewRecordNumbers numbers;
  const int autoNo = fields.AutoIncFieldNo();
  numbers.AutoInc = header.GetRecordAutoIncVal();
  if (autoNo >= 0) {
    numbers.HasAutoInc = true;
    const TInternalFieldItem& f = *fields.GetField(autoNo);
    const int32_t next = static_cast<int32_t>(header.GetRecordAutoIncVal()) + 1;
    if (generateAutoInc) {
      buf[f.NullFlagOffset()] = 1;
      std::memset(buf + f.DataOffset(), 0, static_cast<size_t>(f.FieldSize()));
      PutU32(buf + f.DataOffset(), static_cast<uint32_t>(next));
      numbers.AutoInc = static_cast<uint32_t>(next);
    } else if (static_cast<int32_t>(GetU32(buf + f.DataOffset())) >= next) {
      numbers.AutoInc = GetU32(buf + f.DataOffset());
    }
  }
  const uint32_t kept = keepLogicalNo ? GetU32(buf + kRecLogicalNoOffset) : 0;
  numbers.LogicalNo = kept != 0 ? kept : header.GetLogicalRecordNo() + 1;
  buf[kRecInUseOffset] = 1;
  PutU32(buf + kRecIdentityOffset, identity);
  PutU32(buf + kRecLogicalNoOffset, numbers.LogicalNo);
  return numbers;
}

bool ChecksUniqueness(const TIndexItem& item) { return item.Unique() || item.Primary(); }

// A key of `record` that a unique or primary index already holds refuses
// it (9729). Keys of the other indexes end in the record's own logical
// number and cannot be present. Each search leaves its tree where the key
// goes, so that InsertEveryKey does not search again.
void CheckNewKeys(TIndexManager& indexes, const uint8_t* record, const char* caller,
                  const host::TObject* sender) {
  for (int i = 0; i < indexes.Count(); ++i) {
    TIndexItem& item = *indexes.Items(i);
    if (!ChecksUniqueness(item)) continue;
    item.CreateKeyBuffer(record);
    if (item.FindKeyForInsert() == 0)
      TavDatabaseErrorFmt(kKeyViolation, caller, "Index %s", {item.IndexName()}, sender);
  }
}

// Inserts the key of `record` at `address` into every index: where
// CheckNewKeys found its place, unless `rebuildChecked` (the record changed
// since, as storing BLOBs does), else by a search of its own. Only `counted`
// (when given) counts the record number its new entry took.
void InsertEveryKey(TIndexManager& indexes, const uint8_t* record, uint32_t address,
                    bool rebuildChecked, const TIndexItem* counted, const char* caller,
                    const host::TObject* sender) {
  for (int i = 0; i < indexes.Count(); ++i) {
    TIndexItem& item = *indexes.Items(i);
    if (rebuildChecked || !ChecksUniqueness(item)) item.CreateKeyBuffer(record);
    if (item.InsertFoundKey(address, &item == counted) != 0)
      TavDatabaseErrorFmt(kUnexpectedInternalError, caller, "Failed to add key to Index %s",
                          {item.IndexName()}, sender);
  }
}

// Positions every index on the key of `record`; 8708 when one lacks it.
// The address the first index names.
uint32_t SearchEveryKey(TIndexManager& indexes, const uint8_t* record, const char* caller,
                        const host::TObject* sender) {
  uint32_t address = 0;
  for (int i = 0; i < indexes.Count(); ++i) {
    TIndexItem& item = *indexes.Items(i);
    item.CreateKeyBuffer(record);
    if (item.FullIndexSearch(stEQ) != 0)
      TavDatabaseErrorFmt(kRecordDeletedKeyModified, caller, "Index %s", {item.IndexName()}, sender);
    if (i == 0) address = item.GetRecordAddress();
  }
  return address;
}

void DeleteEveryKey(TIndexManager& indexes, const uint8_t* record, const char* caller,
                    const host::TObject* sender) {
  for (int i = 0; i < indexes.Count(); ++i) {
    TIndexItem& item = *indexes.Items(i);
    item.CreateKeyBuffer(record);
    if (item.DeleteKey() != 0)
      TavDatabaseErrorFmt(kUnexpectedInternalError, caller, "Failed to delete key from Index %s",
                          {item.IndexName()}, sender);
  }
}

// The indexes whose key an update changes (the old image against the new);
// a new key of a unique or primary index that another record holds
// refuses the update (9729).
std::vector<TIndexItem*> ChangedKeys(TIndexManager& indexes, const uint8_t* oldImage,
                                     const uint8_t* newImage, uint32_t address, const char* caller,
                                     const host::TObject* sender) {
  std::vector<TIndexItem*> changed;
  std::vector<uint8_t> oldKey(kRangeKeySize + 1), newKey(kRangeKeySize + 1);
  for (int i = 0; i < indexes.Count(); ++i) {
    TIndexItem& item = *indexes.Items(i);
    item.CreateTempKeyBuffer(oldImage, oldKey.data());
    item.CreateTempKeyBuffer(newImage, newKey.data());
    if (item.CompareKeyBuffers(0, oldKey.data(), newKey.data()) == 0) continue;
    if (ChecksUniqueness(item)) {
      item.CreateKeyBuffer(newImage);
      if (item.FullIndexSearch(stEQ) == 0 && item.GetRecordAddress() != address)
        TavDatabaseErrorFmt(kKeyViolation, caller, "Index %s", {item.IndexName()}, sender);
    }
    changed.push_back(&item);
  }
  return changed;
}

// Moves the changed keys of an updated record from the old image's values
// to the new ones: every old key is checked present before any goes, and
// every new key absent before any is added (each check leaving its tree
// where the key goes).
void MoveChangedKeys(const std::vector<TIndexItem*>& changed, const uint8_t* oldImage,
                     const uint8_t* newImage, uint32_t address, const char* caller,
                     const host::TObject* sender) {
  auto failure = [&](const char* text, size_t i) {
    TavDatabaseError(kUnexpectedInternalError, caller,
                     text + changed[i]->IndexName() + ". Index " + std::to_string(i), sender);
  };
  for (size_t i = 0; i < changed.size(); ++i) {
    changed[i]->CreateKeyBuffer(oldImage);
    if (changed[i]->FullIndexSearch(stEQ) != 0) failure("Key not found in Index - ", i);
  }
  for (size_t i = 0; i < changed.size(); ++i) {
    changed[i]->CreateKeyBuffer(oldImage);
    if (changed[i]->DeleteKey() != 0) failure("Failed to delete key from Index ", i);
  }
  for (size_t i = 0; i < changed.size(); ++i) {
    changed[i]->CreateKeyBuffer(newImage);
    if (changed[i]->FindKeyForInsert() == 0) failure("Unexpected key violation on update- Index ", i);
  }
  for (size_t i = 0; i < changed.size(); ++i)
    if (changed[i]->InsertFoundKey(address, false) != 0) failure("Failed to add key to index - Index ", i);
}

}  // namespace

void TTavDataSet::AddRecord(bool generateAutoInc) { AddRecordKeepingNumber(generateAutoInc, false); }

void TTavDataSet::AddRecordUnpositioned(bool generateAutoInc) {
  AddRecordKeepingNumber(generateAutoInc, false, false, false);
}

void TTavDataSet::AddRecordKeepingNumber(bool generateAutoInc, bool keepLogicalNo, bool withoutKeys,
                                         bool position) {
  const char* caller = "TTavDataSet.AddRecord";
  CheckInternalActive();
  CheckPrivilegePresent(table_def_->PrivilegeFlags(), kPrivInsert);
  TAV_ASSERT(!record_buffer_.empty(), "Add record. RecBuf not assigned");
  // A record keyed here would be keyed again by the run's gathered keys.
  if (!withoutKeys) unkeyed_run_.reset();
  const bool wasLocked = write_locked_;
  TWriteLockGuard lock(*this);
  TTableHeader& header = *table_def_->TableHeader();
  uint8_t* buf = record_buffer_.data();
  const TNewRecordNumbers numbers =
      StampNewRecord(buf, record_mgr_->Fields(), header, table_lock_id_, generateAutoInc, keepLogicalNo);
  // A key already present refuses the record before anything is written.
  if (!withoutKeys) CheckNewKeys(*index_mgr_, buf, caller, this);
  index_on_buffer_ = false;

  // From here on blocks change: the header goes out with the lock whatever
  // follows.
  header.SetDirty(true);
  WriteBlobsToInterface(false);
  const uint32_t address = record_mgr_->AddRecord(buf);
  TAV_ASSERT(address != 0, "Add record. RecAddr = 0");
  if (!withoutKeys)
    InsertEveryKey(*index_mgr_, buf, address, table_def_->UsesBlobs(),
                   position ? index_mgr_->CurrentIndex() : nullptr, caller, this);
  if (numbers.HasAutoInc) header.SetRecordAutoIncVal(numbers.AutoInc);
  if (numbers.LogicalNo > header.GetLogicalRecordNo()) header.SetLogicalRecordNo(numbers.LogicalNo);
  if (withoutKeys) {
    if (unkeyed_run_) GatherUnkeyed(buf, address);
    read_ahead_->Invalidate();
    read_ahead_->SetRecordCountValid(false);
    lock.Release(false);
    return;
  }

  record_buffer_state_ = TRecordBufferState::kRead;
  range_end_located_ = {false, false};
  // The current index's insert counted the new record's number on its way
  // down: the buffer stands there without searching again. The tree's path
  // is gone with the change, so the next step searches by key.
  SetPosition(buf, address, position ? index_mgr_->CurrentIndex()->InsertedRecordNo() : 0);
  if (position) ValidateRecBufPostDataChange();
  InternalCheckFilterStatus(wasLocked, rwInserted);
  read_ahead_->Invalidate();
  read_ahead_->SetRecordCountValid(false);
  header.SetDirty(true);
  lock.Release();
}

void TTavDataSet::UpdateRecord() {
  const char* caller = "TTavDataSet.UpdateRecord";
  CheckInternalActive();
  CheckPrivilegePresent(table_def_->PrivilegeFlags(), kPrivUpdate);
  if (record_buffer_state_ == TRecordBufferState::kEmpty) TavDatabaseError(kRecordWasNotFound, caller, "", this);
  const uint32_t address = InternalUpdateRecord();
  // The record lock of the edit goes once the write lock is given back.
  InternalReleaseRecordLock(address);
}

uint32_t TTavDataSet::InternalUpdateRecord() {
  const char* caller = "TTavDataSet.UpdateRecord";
  unkeyed_run_.reset();
  std::vector<uint8_t> oldImage(static_cast<size_t>(record_buffer_size_), 0);
  const bool wasLocked = write_locked_;
  TWriteLockGuard lock(*this);
  TTableHeader& header = *table_def_->TableHeader();
  uint8_t* buf = record_buffer_.data();

  // The stored record: at the address the buffer was read from, or, for a
  // buffer that does not know it, by the key of the record last read.
  uint32_t address = PosAddress(buf);
  if (address != 0) {
    if (!ReadRecordChecked(address, oldImage)) address = 0;
  } else {
    address = RefreshDataSet(stEQ, oldImage.data());
  }
  if (address == 0 || !InternalCheckRecordFlags(buf, oldImage.data(), true, true))
    TavDatabaseError(kRecordDeletedKeyModified, caller, "", this);
  const std::vector<TIndexItem*> changed = ChangedKeys(*index_mgr_, oldImage.data(), buf, address, caller, this);
  index_on_buffer_ = false;

  header.SetDirty(true);
  PutU32(buf + kRecModFlagOffset, GetU32(buf + kRecModFlagOffset) + 1);
  try {
    WriteBlobsToInterface(false);
    record_mgr_->UpdateRecord(address, buf);
  } catch (...) {
    // Not stored: the buffer keeps the counter it was read with.
    PutU32(buf + kRecModFlagOffset, GetU32(buf + kRecModFlagOffset) - 1);
    throw;
  }
  MoveChangedKeys(changed, oldImage.data(), buf, address, caller, this);

  range_end_located_ = {false, false};
  record_buffer_state_ = TRecordBufferState::kRead;
  RefreshDataSetIndex(address);
  ValidateRecBufPostDataChange();
  InternalCheckFilterStatus(wasLocked, rwModified);
  read_ahead_->Invalidate();
  read_ahead_->SetRecordCountValid(false);
  ClearBlobCache();
  header.SetDirty(true);
  lock.Release();
  return address;
}

int TTavDataSet::DeleteRecord(const uint8_t* buffer) {
  const char* caller = "TTavDataSet.DeleteRecord";
  CheckInternalActive();
  CheckPrivilegePresent(table_def_->PrivilegeFlags(), kPrivDelete);
  TAV_ASSERT(!record_buffer_.empty(), "Delete record. RecBuf not assigned");
  unkeyed_run_.reset();
  const bool wasLocked = write_locked_;
  TWriteLockGuard lock(*this);
  TTableHeader& header = *table_def_->TableHeader();
  uint8_t* buf = record_buffer_.data();

  // The record as stored now: after another user's change, and always for
  // a caller's copy, which need not be the record the engine buffer holds.
  const uint32_t at = buffer ? PosAddress(buffer) : PosAddress(buf);
  if (at != 0 && (buffer || HasTableHeaderChanged())) {
    std::vector<uint8_t> stored;
    if (!ReadRecordChecked(at, stored) || !InternalCheckRecordValid(stored.data())) {
      if (buffer) {
        lock.Release();
        return -1;
      }
      TavDatabaseError(kRecordDeletedKeyModified, caller, "", this);
    }
    record_mgr_->ReadRecord(at, buf, true);
    SetPosition(buf, at, 0);
    index_on_buffer_ = false;
  }
  if (buffer && !InternalCheckRecordFlags(buf, buffer, true, true)) {
    lock.Release();
    return -1;
  }

  const uint32_t address = SearchEveryKey(*index_mgr_, buf, caller, this);
  index_on_buffer_ = false;
  // The record the keys name must be the buffer's: a stale buffer whose
  // keys now stand for another record deletes nothing.
  if (address == 0 || (at != 0 && address != at))
    TavDatabaseError(kRecordDeletedKeyModified, caller, "", this);

  header.SetDirty(true);
  record_mgr_->DeleteRecord(address);
  WriteBlobsToInterface(true);
  DeleteEveryKey(*index_mgr_, buf, caller, this);

  record_buffer_state_ = TRecordBufferState::kEmpty;
  range_end_located_[rmRangeEnd] = false;
  last_direction_ = rdNone;
  read_ahead_->Invalidate();
  read_ahead_->SetRecordCountValid(false);
  ClearBlobCache();
  if (read_ahead_mode_ == raReadAheadActive) read_ahead_mode_ = raReadAheadUninitialized;
  PutU32(buf + record_size_ + 8, 0);
  if (InternalFind(stGE, index_name_) || InternalFind(stLE, index_name_)) ValidateRecBufPostDataChange();
  InternalCheckFilterStatus(wasLocked, rwDeleted);
  header.SetDirty(true);
  lock.Release();
  return 0;
}

// ---------------------------------------------------------------------------
// Emptying

void TTavDataSet::DataSetEmptyTable() {
  CheckInternalActive();
  unkeyed_run_.reset();
  TWriteLockGuard lock(*this);
  TTableHeader& header = *table_def_->TableHeader();
  header.SetDirty(true);
  auto clearFile = [](TBaseIOInterface* io) {
    if (!io) return;
    io->Empty(true);
    io->SetFirstEmpty(0);
    io->SetFirstEmptyValid(true);
  };
  clearFile(table_def_->RecordInterface());
  header.SetRecordFirstEmpty(0);
  header.SetLogicalRecordNo(0);
  // BLOB chains are reachable only from records: they go with them, on
  // disk as in memory.
  if (table_def_->UsesBlobs()) {
    clearFile(table_def_->BlobInterface());
    header.SetBlobFirstEmpty(0);
  }
  // Each tree frees its own nodes and starts again from an empty root; the
  // header slots are read once and written once for all of them (also when
  // a tree refuses, for those emptied before it).
  if (index_mgr_->Count() > 0) {
    index_mgr_->ReadIndexHeaders(false);
    try {
      for (int i = 0; i < index_mgr_->Count(); ++i) index_mgr_->Items(i)->EmptyIndex();
    } catch (...) {
      index_mgr_->WriteIndexHeaders();
      throw;
    }
    index_mgr_->WriteIndexHeaders();
  }
  record_mgr_->BlobMgr().InvalidateStreams();
  ClearBlobCache();
  read_ahead_->Invalidate();
  read_ahead_->SetRecordCountValid(false);
  range_end_located_ = {false, false};
  index_on_buffer_ = false;
  InitializeNewRecord(record_buffer_.data(), false);
  record_buffer_state_ = TRecordBufferState::kEmpty;
  // The index headers went out with the trees above.
  lock.Release(false);
}

// ---------------------------------------------------------------------------
// Comparing and locating

namespace {

// Two non-null values of a located field, in the field's own order (its
// descending flag aside).
int CompareFieldValues(const TSearchFieldItem& f, const uint8_t* a, const uint8_t* b,
                       TDBStringCompare compareStrings, bool caseInsensitive, bool partial,
                       const host::TObject* sender) {
  const uint8_t* pa = a + f.DataOffset();
  const uint8_t* pb = b + f.DataOffset();
  switch (f.DataType()) {
    case host::ftString:
    case host::ftWideString: {
      const int la = f.SizeMarkerOffset() ? host::GetU16(a + f.SizeMarkerOffset()) : f.FieldSize();
      const int lb = f.SizeMarkerOffset() ? host::GetU16(b + f.SizeMarkerOffset()) : f.FieldSize();
      const auto* sa = reinterpret_cast<const char*>(pa);
      const auto* sb = reinterpret_cast<const char*>(pb);
      return f.DataType() == host::ftString
              ? compareStrings(sa, sb, la, lb, caseInsensitive, partial)
              : DBCompareWideStrings(sa, sb, la, lb, caseInsensitive, partial);
    }
    case host::ftSmallint: {
      const auto va = static_cast<int16_t>(host::GetU16(pa)), vb = static_cast<int16_t>(host::GetU16(pb));
      return va < vb ? -1 : va > vb ? 1 : 0;
    }
    case host::ftWord: {
      const uint16_t va = host::GetU16(pa), vb = host::GetU16(pb);
      return va < vb ? -1 : va > vb ? 1 : 0;
    }
    case host::ftInteger:
    case host::ftAutoInc: {
      const auto va = static_cast<int32_t>(GetU32(pa)), vb = static_cast<int32_t>(GetU32(pb));
      return va < vb ? -1 : va > vb ? 1 : 0;
    }
    case host::ftBoolean:
      return pa[0] < pb[0] ? -1 : pa[0] > pb[0] ? 1 : 0;
    case host::ftFloat:
    case host::ftCurrency:
    case host::ftDate:
    case host::ftTime:
    case host::ftDateTime: {
      double va, vb;
      std::memcpy(&va, pa, 8);
      std::memcpy(&vb, pb, 8);
      return CompareReals(va, vb);
    }
    case host::ftBCD: {
      int64_t va, vb;
      std::memcpy(&va, pa, 8);
      std::memcpy(&vb, pb, 8);
      return CompareReals(static_cast<double>(va) / 10000.0, static_cast<double>(vb) / 10000.0);
    }
    case host::ftBytes:
    case host::ftVarBytes:
    case host::ftBlob:
    case host::ftMemo:
    case host::ftGraphic:
    case host::ftFmtMemo:
      return 0;
    default:
      TavDatabaseError(kInvalidFieldType, "TTavDataSet.InternalCompareRecords",
                       host::FieldTypeName(f.DataType()), sender);
  }
}

}  // namespace

int TTavDataSet::InternalCompareRecords(const uint8_t* a, const uint8_t* b, int& diffField,
                                        bool caseInsensitive, bool partial,
                                        const TSearchFields& fields) const {
  diffField = -1;
  const TDBStringCompare compareStrings =
      sort_order_ == soASCII ? DBASCIICompareStrings : DBANSICompareStrings;
  for (int i = 0; i < fields.Count(); ++i) {
    const TSearchFieldItem& f = *fields.GetItems(i);
    // Null counts as 3: above a value (1) and the low key flag (2).
    const int flagA = a[f.NullFlagOffset()] == 0 ? 3 : a[f.NullFlagOffset()];
    const int flagB = b[f.NullFlagOffset()] == 0 ? 3 : b[f.NullFlagOffset()];
    int r = flagA < flagB ? -1 : flagA > flagB ? 1 : 0;
    if (r == 0 && flagA != 3) r = CompareFieldValues(f, a, b, compareStrings, caseInsensitive, partial, this);
    if (r != 0) {
      diffField = i;
      return f.Descending() ? -r : r;
    }
  }
  return 0;
}

bool TTavDataSet::InternalSearchOnly(const uint8_t* keyBuffer, TIndexSearchType searchType,
                                     const TSearchModifier* modifier, const std::string& indexName) {
  TIndexItem& item = RequireIndex(indexName, "TTavDataSet.InternalSearchOnly");
  if (&item == index_mgr_->CurrentIndex()) index_on_buffer_ = false;
  BuildSearchKey(item, keyBuffer);
  if (searchType == stLEG) return item.FullIndexSearch(stGE) == 0 || item.FullIndexSearch(stLE) == 0;
  return item.PartialIndexSearch(searchType, modifier) == 0;
}

bool TTavDataSet::RecordInRange(const uint8_t* record) {
  TIndexItem* current = index_mgr_->CurrentIndex();
  uint8_t* temp = current->GetTempKeyBuffer();
  current->CreateTempKeyBuffer(record, temp);
  return CheckKeyBufInRange(temp, rmRangeStart) && CheckKeyBufInRange(temp, rmRangeEnd);
}

bool TTavDataSet::InternalSequentialSearch(TIndexItem& item, const uint8_t* keyBuffer,
                                           const TSearchFields& fields, int inIndex,
                                           bool caseInsensitive, bool partial, uint8_t* resultBuffer) {
  const bool rangeHere = range_on_ && &item == index_mgr_->CurrentIndex();
  const bool rangeElsewhere = range_on_ && !rangeHere;
  for (;;) {
    const uint32_t address = item.GetRecordAddress();
    if (address == 0) return false;
    if (rangeHere) {
      const int r = item.Tree().CompareKeys(0, item.GetCurrentKeyBuf(), {}, range_keys_[rmRangeEnd].data(),
                                            range_key_flags_[rmRangeEnd]);
      if (r > 0) return false;
    }
    const uint8_t* record = record_mgr_->ReadRecordByRef(address);
    int diff = -1;
    const int r = InternalCompareRecords(record, keyBuffer, diff, caseInsensitive, partial, fields);
    // While a filter is active only the records it passes are found.
    if (r == 0 && (!rangeElsewhere || RecordInRange(record)) &&
        (!FilterActive() || filter_mgr_->CheckRecordInFilter(address))) {
      std::memcpy(resultBuffer, record, static_cast<size_t>(record_size_));
      SetPosition(resultBuffer, address, 0);
      return true;
    }
    // Past every candidate of the index's own fields.
    if (r > 0 && diff >= 0 && diff < inIndex) return false;
    if (!item.NextKey()) return false;
  }
}

namespace {

// Puts the located fields (`names`, each a field of the table) into
// `fields` in the order of `item`'s key fields, the others after them. The
// result is how many lead: those are searched through the index. A string
// key serves only a search with its own case rule, and a partial value
// only in ascending order (a descending index puts the longer values
// before their prefix).
int OrderLocateFields(const TIndexItem& item, const TInternalFields& tableFields,
                      std::vector<std::string> names, bool caseInsensitive, bool partial,
                      TSearchFields& fields) {
  const TKeyFields& keys = item.KeyFields();
  int inIndex = 0;
  bool leading = true;
  for (int k = 0; k < keys.Count(); ++k) {
    const TKeyFieldItem& kf = *keys.Items(k);
    if (kf.Hidden()) break;
    auto it = std::find_if(names.begin(), names.end(),
                           [&](const std::string& n) { return host::SameText(n, kf.FieldName()); });
    if (it == names.end()) {
      leading = false;
      continue;
    }
    const TInternalFieldItem* tf = tableFields.FindField(*it);
    TSearchFieldItem* sf = fields.Add();
    sf->Assign(*tf);
    names.erase(it);
    const bool stringOk = !IsStringType(tf->DataType()) ||
                          (kf.CaseInsensitive() == caseInsensitive && !(partial && kf.Descending()));
    if (leading && stringOk) {
      sf->SetInIndex(true);
      sf->SetDescending(kf.Descending());
      ++inIndex;
    } else {
      leading = false;
    }
  }
  for (const std::string& n : names) fields.Add()->Assign(*tableFields.FindField(n));
  return inIndex;
}

// Key fields of `item` not searched through the index start at their
// lowest in `searchKey` (the comparison takes the values as given).
void LowerUnsearchedKeyFields(const TIndexItem& item, const TSearchFields& fields, int inIndex,
                              uint8_t* searchKey) {
  const TKeyFields& keys = item.KeyFields();
  for (int k = 0; k < keys.Count(); ++k) {
    const TKeyFieldItem& kf = *keys.Items(k);
    if (kf.Hidden()) continue;
    bool searched = false;
    for (int i = 0; i < inIndex; ++i)
      if (host::SameText(fields.GetItems(i)->FieldName(), kf.FieldName())) searched = true;
    if (!searched) searchKey[static_cast<size_t>(kf.NullFlagOffset())] = kKeyFlagBOF;
  }
}

}  // namespace

const TTavDataSet::TLocatePlan& TTavDataSet::LocatePlan(const TIndexItem& item, const std::string& fieldNames,
                                                         bool caseInsensitive, bool partial) {
  TLocatePlan& plan = locate_plan_;
  if (plan.Valid && plan.IndexName == item.IndexName() && plan.FieldNames == fieldNames &&
      plan.CaseInsensitive == caseInsensitive && plan.Partial == partial)
    return plan;
  plan.Valid = false;
  // The searched fields in the index's key order: those leading the index
  // are searched through it, the rest record by record.
  std::vector<std::string> names = host::SplitFieldNames(fieldNames);
  const TInternalFields& tableFields = record_mgr_->Fields();
  for (const std::string& n : names)
    if (!tableFields.FindField(n)) TavDatabaseError(kNoSuchField, "TTavDataSet.DoLocate", n, this);
  plan.Fields.Clear();
  plan.InIndex = OrderLocateFields(item, tableFields, std::move(names), caseInsensitive, partial, plan.Fields);
  plan.IndexName = item.IndexName();
  plan.FieldNames = fieldNames;
  plan.CaseInsensitive = caseInsensitive;
  plan.Partial = partial;
  plan.Valid = true;
  return plan;
}

int TTavDataSet::DoLocate(const std::string& indexName, const uint8_t* keyBuffer, bool reposition,
                          bool useIndexName, host::TLocateOptions options, uint8_t* resultBuffer,
                          const std::string& fieldNames) {
  const char* caller = "TTavDataSet.DoLocate";
  CheckInternalActive();
  TIndexItem& item = useIndexName ? RequireIndex(indexName, caller) : *index_mgr_->CurrentIndex();
  const bool caseInsensitive = options.Contains(host::loCaseInsensitive);
  const bool partial = options.Contains(host::loPartialKey);
  TReadLockGuard lock(*this);
  // A rebuild reads through the index trees: before the search positions them.
  if (FilterActive()) EnsureFilterCurrent();
  std::vector<uint8_t> key(keyBuffer, keyBuffer + record_buffer_size_);

  const TLocatePlan& plan = LocatePlan(item, fieldNames, caseInsensitive, partial);
  const TSearchFields& fields = plan.Fields;
  const int inIndex = plan.InIndex;
  std::vector<uint8_t> searchKey = key;
  LowerUnsearchedKeyFields(item, fields, inIndex, searchKey.data());
  PutU32(searchKey.data() + record_size_ + 8, kKeyFlagBOF);

  if (range_on_ && !range_valid_) return -1;
  if (!InternalSearchOnly(searchKey.data(), stGE, nullptr, item.IndexName())) return -1;
  if (range_on_ && &item == index_mgr_->CurrentIndex()) {
    const int r = item.Tree().CompareKeys(0, item.GetCurrentKeyBuf(), {}, range_keys_[rmRangeStart].data(),
                                          range_key_flags_[rmRangeStart]);
    if (r < 0) {
      item.Tree().ConstructKeyBufFromKeyBuf(range_keys_[rmRangeStart].data(), range_key_flags_[rmRangeStart]);
      if (item.FullIndexSearch(stGE) != 0) return -1;
    }
  }
  if (!InternalSequentialSearch(item, key.data(), fields, inIndex, caseInsensitive, partial, resultBuffer))
    return -1;
  if (reposition) {
    std::memcpy(record_buffer_.data(), resultBuffer, static_cast<size_t>(record_buffer_size_));
    PutU32(record_buffer_.data() + record_size_ + 8, 0);
    if (read_ahead_mode_ == raReadAheadActive) read_ahead_mode_ = raReadAheadUninitialized;
    // The current index stands on the record found, which is inside the
    // range: the search Find would make ends there. A filter's own rules
    // for an exact find go through Find.
    if (&item == index_mgr_->CurrentIndex() && !FilterActive()) {
      TakeFoundRecord(item, PosAddress(resultBuffer), 0);
      return 0;
    }
    if (!Find(stEQ, item.IndexName())) return -1;
  }
  return 0;
}

}  // namespace tav
