#include "engine/components/tav_blob_stream.h"

#include "engine/components/tav_base_table.h"
#include "engine/storage/base/tav_errors.h"
#include "host/db/db_common.h"
#include "host/db/fields.h"

namespace tav {

namespace {

bool FieldModified(const host::TField* field) {
  const auto* blob = dynamic_cast<const host::TBlobField*>(field);
  return blob && blob->Modified();
}

}  // namespace

TBlobStream::TBlobStream(host::TField* field, host::TBlobStreamMode mode)
    : field_(field), data_set_(dynamic_cast<TTavBaseTable*>(field->DataSet())), mode_(mode) {
  TAV_ASSERT(data_set_ != nullptr, "Mismatch in calling dataset type");
  record_buffer_ = data_set_->GetActiveRecBuf();
  if (!record_buffer_) return;
  const bool fieldModified = FieldModified(field_);
  if (!fieldModified && mode_ != host::bmRead) {
    if (field_->ReadOnly()) host::DatabaseErrorFmt(host::SFieldReadOnly, {field_->DisplayName()}, data_set_);
    if (data_set_->State() != host::dsEdit && data_set_->State() != host::dsInsert)
      host::DatabaseError(host::SNotEditing, data_set_);
  }
  const int fieldNo = field_->FieldNo() - 1;
  if (mode_ != host::bmWrite || fieldModified) {
    const bool useCache = mode_ == host::bmRead && !fieldModified && data_set_->BlobCacheOn() &&
                          data_set_->State() == host::dsBrowse;
    const uint32_t address = data_set_->BufferAddress(record_buffer_);
    if (useCache && address != 0 && data_set_->GetBlobCacheData(address, fieldNo, *this)) {
      cached_ = true;
    } else {
      bool isNull = false;
      data_set_->DataSetGetFieldStreamFromRecBuf(record_buffer_, fieldNo, isNull, *this);
      if (useCache && address != 0) {
        data_set_->SetBlobCacheData(address, fieldNo, *this);
        cached_ = true;
      }
    }
  }
  if (mode_ == host::bmWrite) {
    Clear();
    modified_ = true;
  }
  SetPosition(0);
  opened_ = true;
}

int32_t TBlobStream::Write(const void* buffer, int32_t count) {
  if (mode_ != host::bmRead) modified_ = true;
  return host::TMemoryStream::Write(buffer, count);
}

TBlobStream::~TBlobStream() {
  if (mode_ == host::bmRead || !record_buffer_ || !modified_) return;
  try {
    SetPosition(0);
    if (auto* blob = dynamic_cast<host::TBlobField*>(field_)) blob->SetModified(true);
    const int fieldNo = field_->FieldNo() - 1;
    data_set_->DataSetSetFieldStreamFromRecBuf(fieldNo, Size() == 0, *this, record_buffer_);
    // The record shows the pending value: null when it is empty.
    record_buffer_[data_set_->GetFieldNullOffset(fieldNo)] = Size() == 0 ? 0 : 1;
    data_set_->DataEvent(host::deFieldChange, reinterpret_cast<intptr_t>(field_));
  } catch (...) {
    // A destructor cannot report; the value is not stored.
  }
}

}  // namespace tav
