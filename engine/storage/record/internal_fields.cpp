#include "engine/storage/record/internal_fields.h"

#include <cstring>

#include "engine/storage/base/tav_errors.h"
#include "host/classes/prop_table.h"
#include "host/rtl/sys_utils.h"
#include "os/random.h"

namespace tav {

using namespace host;

int GetDefaultInternalFieldSize(TFieldType type) {
  switch (type) {
    case ftSmallint:
    case ftWord:
      return 2;
    case ftInteger:
    case ftAutoInc:
      return 4;
    case ftBoolean:
      return 1;
    case ftFloat:
    case ftCurrency:
    case ftBCD:
    case ftDate:
    case ftTime:
    case ftDateTime:
    case ftBlob:
    case ftMemo:
    case ftGraphic:
    case ftFmtMemo:
    case ftLargeint:
      return 8;
    default:  // ftString and ftWideString use their declared size
      return 0;
  }
}

bool IsBlobFieldType(TFieldType type) {
  return type == ftBlob || type == ftMemo || type == ftGraphic || type == ftFmtMemo;
}

namespace {

bool IsStringFieldType(TFieldType type) {
  return type == ftString || type == ftWideString;
}

// Generator ids only need to differ between the fields of one table; they are
// not secrets.
int32_t NewFieldGeneratorID() { return os::Random(2147483647); }

}  // namespace

// ---------------------------------------------------------------------------
// TInternalFieldItem

bool IsRecordFieldType(TFieldType type) {
  switch (type) {
    case ftString:
    case ftSmallint:
    case ftInteger:
    case ftWord:
    case ftBoolean:
    case ftFloat:
    case ftCurrency:
    case ftDate:
    case ftTime:
    case ftDateTime:
    case ftAutoInc:
    case ftBlob:
    case ftMemo:
    case ftGraphic:
    case ftFmtMemo:
      return true;
    default:
      return false;
  }
}

void TInternalFieldItem::SetDataType(TFieldType value) {
  if (!IsRecordFieldType(value))
    TavDatabaseError(kInvalidFieldType, "TInternalFieldItem.SetDataType", FieldTypeName(value));
  data_type_ = value;
  field_size_ = GetDefaultInternalFieldSize(value);
}

int32_t TInternalFieldItem::GetWriteableFieldSize() const {
  switch (data_type_) {
    case ftString:
      return field_size_ - 1;
    case ftWideString:
      return field_size_ / 2 - 2;
    default:
      return field_size_;
  }
}

void TInternalFieldItem::Assign(const TPersistent& source) {
  const auto* src = dynamic_cast<const TInternalFieldItem*>(&source);
  if (!src) {
    TCollectionItem::Assign(source);
    return;
  }
  SetFieldName(src->FieldName());
  SetFieldNo(src->FieldNo());
  SetFieldIndex(src->FieldIndex());
  SetDataType(src->DataType());
  SetFieldSize(src->FieldSize());
  SetNumDecimalPlaces(src->NumDecimalPlaces());
  SetDataOffset(src->DataOffset());
  SetNullFlagOffset(src->NullFlagOffset());
  SetIsVariable(src->IsVariable());
  SetSizeMarkerOffset(src->SizeMarkerOffset());
  SetSourceField(src->SourceField());
  SetRequired(src->Required());
  SetFieldGeneratorID(src->FieldGeneratorID());
  SetPrivilegeFlags(src->PrivilegeFlags());
  SetHidden(src->Hidden());
}

const host::TPropertyTable& TInternalFieldItem::ClassProperties() {
  using T = TInternalFieldItem;
  static const host::TPropertyTable table =
      host::PublishClass<T>("TInternalFieldItem", nullptr, [](host::TPublisher<T>& p) {
        p.String("FieldName", &T::FieldName, &T::SetFieldName);
        p.Integer("FieldNo", &T::FieldNo, &T::SetFieldNo);
        p.Integer("FieldIndex", &T::FieldIndex, &T::SetFieldIndex);
        p.Enumeration("DataType", host::FieldTypeInfo(), &T::DataType, &T::SetDataType);
        p.Integer("FieldSize", &T::FieldSize, &T::SetFieldSize);
        p.Integer("NumDecimalPlaces", &T::NumDecimalPlaces, &T::SetNumDecimalPlaces);
        p.Boolean("Required", &T::Required, &T::SetRequired);
        p.Integer("SizeMarkerOffset", &T::SizeMarkerOffset, &T::SetSizeMarkerOffset);
        p.Integer("DataOffset", &T::DataOffset, &T::SetDataOffset);
        p.Integer("NullFlagOffset", &T::NullFlagOffset, &T::SetNullFlagOffset);
        p.Boolean("IsVariable", &T::IsVariable, &T::SetIsVariable);
        p.Integer("FieldGeneratorID", &T::FieldGeneratorID, &T::SetFieldGeneratorID);
        p.Boolean("Hidden", &T::Hidden, &T::SetHidden);
      });
  return table;
}

// ---------------------------------------------------------------------------
// TInternalFields

TInternalFields::TInternalFields() {
  ClearFieldIndexMap();
}

TInternalFieldItem* TInternalFields::Add() {
  auto* item = static_cast<TInternalFieldItem*>(TCollection::Add());
  item->SetFieldGeneratorID(NewFieldGeneratorID());
  return item;
}

TInternalFieldItem* TInternalFields::GetField(int index) const {
  // An unopened list has an empty map: that is the same broken rule as an
  // index out of range, and must not reach Items with -1.
  TAV_ASSERT(index >= 0 && index < Count() && index < kMaximumFieldCount &&
                 field_index_map_[index] >= 0 && field_index_map_[index] < Count(),
             "Invalid field index in GetField");
  return Items(field_index_map_[index]);
}

TInternalFieldItem* TInternalFields::FindField(const std::string& name) const {
  for (int i = 0; i < Count(); ++i)
    if (AnsiSameText(Items(i)->FieldName(), name)) return Items(i);
  return nullptr;
}

void TInternalFields::SetDefaultOffsets() {
  // 64-bit so that a run of absurd declared sizes (a damaged definition)
  // is caught below instead of wrapping into a small record size.
  int64_t position = kRecordHeaderSize + static_cast<int64_t>(Count());
  for (int i = 0; i < Count(); ++i) {
    TInternalFieldItem* item = Items(i);
    int64_t size;
    if (IsStringFieldType(item->DataType())) {
      // The length marker is 16 bits wide, so no string can be longer.
      if (item->FieldSize() < 0 || item->FieldSize() > 0xFFFF)
        TavDatabaseErrorFmt(kUnexpectedInternalError, "TInternalFields.SetDefaultOffsets",
                            "Invalid field size: %s %d", {item->FieldName(), item->FieldSize()});
      size = item->FieldSize();
      item->SetSizeMarkerOffset(static_cast<int32_t>(position));
      position += 2;
    } else {
      size = GetDefaultInternalFieldSize(item->DataType());
      item->SetFieldSize(static_cast<int32_t>(size));
      item->SetSizeMarkerOffset(0);
    }
    item->SetDataOffset(static_cast<int32_t>(position));
    item->SetNullFlagOffset(kRecordHeaderSize + i);
    position += size;
  }
  // 255 fields of at most 65537 bytes each stay far below 2^31; more fields
  // are refused by Open.
  TAV_ASSERT(position <= INT32_MAX, "Record size out of range");
  record_size_ = static_cast<int32_t>(position);
}

void TInternalFields::Open() {
  uses_blobs_ = false;
  auto_inc_field_no_ = -1;
  for (int i = 0; i < Count(); ++i) {
    const TInternalFieldItem* item = Items(i);
    if (IsBlobFieldType(item->DataType())) uses_blobs_ = true;
    if (item->DataType() == ftAutoInc) auto_inc_field_no_ = item->FieldIndex();
  }
  ClearFieldIndexMap();
  for (int i = 0; i < Count(); ++i) {
    const int k = Items(i)->FieldIndex();
    // Below kMaximumFieldCount too: a list of more than 255 fields would
    // otherwise index past the map.
    TAV_ASSERT(k >= 0 && k < Count() && k < kMaximumFieldCount, "Invalid field index");
    TAV_ASSERT(field_index_map_[k] < 0, "Field indexes degenerate");
    field_index_map_[k] = i;
  }
}

void TInternalFields::Close() {
  Clear();
  ClearFieldIndexMap();
}

void TInternalFields::Assign(const TPersistent& source) {
  const auto* src = dynamic_cast<const TInternalFields*>(&source);
  if (!src) {
    TCollection::Assign(source);
  } else {
    BeginUpdate();
    Clear();
    for (int i = 0; i < src->Count(); ++i) Add()->Assign(*src->Items(i));
    EndUpdate();
  }
  record_size_ = 0;
  uses_blobs_ = false;
  auto_inc_field_no_ = -1;
  ClearFieldIndexMap();
}

int CalculateCoreDataSize(host::TFieldType type) {
  switch (type) {
    case host::ftString:
    case host::ftSmallint:
    case host::ftWord:
    case host::ftWideString:
      return 2;
    case host::ftInteger:
    case host::ftAutoInc:
      return 4;
    case host::ftBoolean:
      return 1;
    case host::ftFloat:
    case host::ftCurrency:
    case host::ftBCD:
    case host::ftDate:
    case host::ftTime:
    case host::ftDateTime:
      return 8;
    default:
      TavDatabaseError(
          kFieldTypeCannotBeIndexed, "CalculateCoreDataSize",
          "Error in setting CoreDataSize - field type not found: " + host::FieldTypeName(type));
  }
}


int32_t StoredWholeNumber(host::TFieldType type, const uint8_t* data) {
  switch (type) {
    case host::ftSmallint: {
      int16_t v;
      std::memcpy(&v, data, sizeof v);
      return v;
    }
    case host::ftWord: {
      uint16_t v;
      std::memcpy(&v, data, sizeof v);
      return v;
    }
    default: {
      int32_t v;
      std::memcpy(&v, data, sizeof v);
      return v;
    }
  }
}

double StoredFloat(const uint8_t* data) {
  double v;
  std::memcpy(&v, data, sizeof v);
  return v;
}

}  // namespace tav
