// The record image of a table and the description of its fields.
//
// A record is a fixed-size byte image: a 14-byte header the data-access layer
// owns, one null-flag byte per field (0 = null), then each field's data back
// to back. String fields (ftString, ftWideString) carry a 16-bit length marker
// (bytes, little-endian) in front of their FieldSize data bytes; every other
// field takes its type's fixed size (GetDefaultInternalFieldSize).
// TInternalFields lays out that image (SetDefaultOffsets) and maps physical
// field numbers to list positions (Open).
//
// Callers must keep:
//  - SetDefaultOffsets (or SetRecordSize) after the field list changes, and
//    Open before GetField: Assign and Close forget the layout and the map.
//  - At most 255 fields (the map has one slot per physical field number).
//  - Offsets and sizes here describe buffers of RecordSize bytes; code that
//    reads a record through them must hand in a buffer that large.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "host/db/field_types.h"
#include "host/rtl/collection.h"

namespace tav {

// The size of the record header that precedes the null flags.
inline constexpr int kRecordHeaderSize = 14;
// The most fields a table can have (slots in the field-index map).
inline constexpr int kMaximumFieldCount = 255;

// The bytes a field of `type` takes in the record image, length marker not
// counted: 0 for the string types (their declared size is used) and for every
// type a record cannot hold.
int GetDefaultInternalFieldSize(host::TFieldType type);

// The fixed part of a field's stored value: 2 for ftString, ftSmallint,
// ftWord and ftWideString (for strings, the length prefix), 4 for ftInteger
// and ftAutoInc, 1 for ftBoolean, 8 for ftFloat, ftCurrency, ftBCD, ftDate,
// ftTime and ftDateTime. Any other type raises 10117 "Error in setting
// CoreDataSize - field type not found: " and the type's name.
int CalculateCoreDataSize(host::TFieldType type);

// Whether `type` is stored as a BLOB reference (block address, value size).
bool IsBlobFieldType(host::TFieldType type);

// Whether a record can hold a field of `type` (SetDataType accepts it).
bool IsRecordFieldType(host::TFieldType type);

// The value of a stored ftSmallint, ftWord, ftInteger or ftAutoInc field
// (`data` at its fixed part, as a record holds it), and of a stored ftFloat.
int32_t StoredWholeNumber(host::TFieldType type, const uint8_t* data);
double StoredFloat(const uint8_t* data);

class TInternalFieldItem : public host::TCollectionItem {
 public:
  using host::TCollectionItem::TCollectionItem;

  int32_t NumDecimalPlaces() const { return num_decimal_places_; }
  void SetNumDecimalPlaces(int32_t value) { num_decimal_places_ = value; }
  int32_t NullFlagOffset() const { return null_flag_offset_; }
  void SetNullFlagOffset(int32_t value) { null_flag_offset_ = value; }
  int32_t DataOffset() const { return data_offset_; }
  void SetDataOffset(int32_t value) { data_offset_ = value; }
  int32_t FieldSize() const { return field_size_; }
  void SetFieldSize(int32_t value) { field_size_ = value; }
  host::TFieldType DataType() const { return data_type_; }
  // Accepts only the types a record stores (see the .cpp); any other raises
  // 10000 with the type's display name. Resets FieldSize to the type's
  // default size, so a string's declared size is set afterwards.
  void SetDataType(host::TFieldType value);
  const std::string& FieldName() const { return field_name_; }
  void SetFieldName(const std::string& value) { field_name_ = value; }
  int32_t FieldNo() const { return field_no_; }
  void SetFieldNo(int32_t value) { field_no_ = value; }
  bool IsVariable() const { return is_variable_; }
  void SetIsVariable(bool value) { is_variable_ = value; }
  // 0 for a fixed-size field.
  int32_t SizeMarkerOffset() const { return size_marker_offset_; }
  void SetSizeMarkerOffset(int32_t value) { size_marker_offset_ = value; }
  const std::string& SourceField() const { return source_field_; }
  void SetSourceField(const std::string& value) { source_field_ = value; }
  // The physical field number, 0-based.
  int32_t FieldIndex() const { return field_index_; }
  void SetFieldIndex(int32_t value) { field_index_ = value; }
  bool Required() const { return required_; }
  void SetRequired(bool value) { required_ = value; }
  int32_t FieldGeneratorID() const { return field_generator_id_; }
  void SetFieldGeneratorID(int32_t value) { field_generator_id_ = value; }
  int32_t PrivilegeFlags() const { return privilege_flags_; }
  void SetPrivilegeFlags(int32_t value) { privilege_flags_ = value; }
  bool Hidden() const { return hidden_; }
  void SetHidden(bool value) { hidden_ = value; }

  // The characters a value may have: a string keeps room for its terminating
  // zero, a wide string for two more units.
  int32_t GetWriteableFieldSize() const;

  // From another TInternalFieldItem: every field, the type through
  // SetDataType before the size. Anything else: the inherited assignment.
  void Assign(const host::TPersistent& source) override;

  // Published: every property but SourceField and PrivilegeFlags, DataType
  // before FieldSize (setting the type resets the size).
  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 private:
  int32_t num_decimal_places_ = 0;
  int32_t null_flag_offset_ = 0;
  int32_t data_offset_ = 0;
  int32_t field_size_ = 0;
  host::TFieldType data_type_ = host::ftUnknown;
  std::string field_name_;
  int32_t field_no_ = 0;
  bool is_variable_ = false;
  int32_t size_marker_offset_ = 0;
  std::string source_field_;
  int32_t field_index_ = 0;
  bool required_ = false;
  int32_t field_generator_id_ = 0;
  int32_t privilege_flags_ = 0;
  bool hidden_ = false;
};

class TInternalFields : public host::TCollection {
 public:
  TInternalFields();

  // A new item at the end, with a random FieldGeneratorID in 0..2147483646.
  TInternalFieldItem* Add();
  TInternalFieldItem* Items(int index) const {
    return static_cast<TInternalFieldItem*>(host::TCollection::Items(index));
  }
  // The item at list position i; setting assigns to it.
  TInternalFieldItem* GetIndex(int i) const { return Items(i); }
  void SetIndex(int i, const TInternalFieldItem& item) { Items(i)->Assign(item); }

  // The item whose FieldIndex is `index`, through the map Open built.
  TInternalFieldItem* GetField(int index) const;
  // The first item named `name` (without regard to case), else nullptr.
  TInternalFieldItem* FindField(const std::string& name) const;

  // Lays the fields out in list order and sets RecordSize.
  void SetDefaultOffsets();

  int32_t RecordSize() const { return record_size_; }
  void SetRecordSize(int32_t value) { record_size_ = value; }
  bool UsesBlobs() const { return uses_blobs_; }
  void SetUsesBlobs(bool value) { uses_blobs_ = value; }
  // -1 when the table has no auto-increment field.
  int32_t AutoIncFieldNo() const { return auto_inc_field_no_; }
  void SetAutoIncFieldNo(int32_t value) { auto_inc_field_no_ = value; }

  // Finds UsesBlobs and AutoIncFieldNo and builds the field-index map; each
  // FieldIndex must be below the field count and used once.
  void Open();
  // Removes every item.
  void Close();

  // From a TInternalFields: copies of its items, and the layout forgotten
  // (RecordSize 0, UsesBlobs False, AutoIncFieldNo -1, no map).
  void Assign(const host::TPersistent& source) override;

 protected:
  host::TCollectionItem* NewItem() override { return new TInternalFieldItem(); }

 private:
  void ClearFieldIndexMap() { field_index_map_.fill(-1); }

  int32_t record_size_ = 0;
  bool uses_blobs_ = false;
  int32_t auto_inc_field_no_ = -1;
  // Slot k: list position of the field whose FieldIndex is k; -1 = empty.
  std::array<int32_t, kMaximumFieldCount> field_index_map_;
};

}  // namespace tav
