// TField and the typed fields: the dataset framework's view of one column of
// the active record. A field reads and writes only through its dataset's
// GetFieldData/SetFieldData, in these buffer formats:
//
//   ftString, ftFixedChar   Size + 1 bytes, zero-terminated
//   ftWideString            (Size + 1) char16_t, ending in a 2-byte zero
//   ftSmallint, ftWord      2 bytes (signed, unsigned)
//   ftInteger, ftAutoInc    4 bytes
//   ftLargeint              8 bytes
//   ftBoolean               2 bytes, non-zero is True
//   ftFloat, ftCurrency     8-byte double
//   ftBCD                   8-byte integer in ten-thousandths
//   ftDate                  4 bytes: TTimeStamp.Date (day number)
//   ftTime                  4 bytes: TTimeStamp.Time (milliseconds of the day)
//   ftDateTime              8-byte double: time-stamp milliseconds
//   ftBytes                 Size bytes
//   ftVarBytes              2-byte length, then Size bytes
//   BLOB types              no buffer: contents only through CreateBlobStream
//
// A null buffer asks "has it a value?" on read and makes the field null on
// write; so IsNull and Clear never copy a value, a BLOB's included.
//
// Writes check the dataset's state (edit, insert, set-key, calc-fields,
// filter, new-value) and ReadOnly (except in set-key and filter states) before
// the dataset sees them. A field made in code joins a dataset through
// SetDataSet; default fields are made by the dataset at open and freed at
// close. Calculated and lookup fields live in the dataset's calculated-fields
// area (FieldNo -1, Offset within it).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "host/classes/component.h"
#include "host/db/data_set.h"
#include "host/db/field_types.h"
#include "host/rtl/date_time.h"
#include "host/rtl/variant.h"

namespace host {

enum TFieldKind { fkData, fkCalculated, fkLookup, fkInternalCalc };

using TFieldNotifyEvent = std::function<void(TField* sender)>;

// Whether fields of `type` hold their value in a BLOB.
bool IsBlobType(TFieldType type);

class TField : public TComponent {
 public:
  explicit TField(TComponent* owner);
  ~TField() override;

  TDataSet* DataSet() const { return data_set_; }
  // Joins `value`'s field list (leaving any other), which must be closed.
  void SetDataSet(TDataSet* value);
  const std::string& FieldName() const { return field_name_; }
  void SetFieldName(const std::string& value);
  const std::string& DisplayLabel() const { return display_label_; }
  void SetDisplayLabel(const std::string& value) { display_label_ = value; }
  // DisplayLabel, or FieldName when there is none.
  const std::string& DisplayName() const;
  int FieldNo() const { return field_no_; }
  int Index() const;
  TFieldType DataType() const { return data_type_; }
  int Size() const { return size_; }
  virtual void SetSize(int value);
  // The bytes a field buffer of this field takes.
  virtual int DataSize() const { return 0; }
  TFieldKind FieldKind() const { return field_kind_; }
  void SetFieldKind(TFieldKind value);
  bool Calculated() const { return field_kind_ == fkCalculated; }
  void SetCalculated(bool value) { SetFieldKind(value ? fkCalculated : fkData); }
  bool Lookup() const { return field_kind_ == fkLookup; }
  void SetLookup(bool value) { SetFieldKind(value ? fkLookup : fkData); }
  bool ReadOnly() const { return read_only_; }
  void SetReadOnly(bool value) { read_only_ = value; }
  bool Visible() const { return visible_; }
  void SetVisible(bool value) { visible_ = value; }
  bool Required() const { return required_; }
  void SetRequired(bool value) { required_ = value; }
  // Offset of a calculated or lookup field's slot in the calculated-fields area.
  int Offset() const { return offset_; }
  virtual bool IsBlob() const { return false; }
  bool CanModify() const;

  TDataSet* LookupDataSet() const { return lookup_data_set_; }
  void SetLookupDataSet(TDataSet* value);
  const std::string& KeyFields() const { return key_fields_; }
  void SetKeyFields(const std::string& value) { key_fields_ = value; }
  const std::string& LookupKeyFields() const { return lookup_key_fields_; }
  void SetLookupKeyFields(const std::string& value) { lookup_key_fields_ = value; }
  const std::string& LookupResultField() const { return lookup_result_field_; }
  void SetLookupResultField(const std::string& value) { lookup_result_field_ = value; }

  TFieldNotifyEvent OnChange;
  // Runs before a new value reaches the record; the field reads the new value
  // meanwhile. Raise to refuse it.
  TFieldNotifyEvent OnValidate;

  // The value in the field buffer format; False when null. A null buffer
  // only asks.
  bool GetData(void* buffer, bool nativeFormat = true) const;
  // Writes a field buffer; a null buffer makes the field null.
  void SetData(const void* buffer, bool nativeFormat = true);
  bool IsNull() const { return !GetData(nullptr); }
  virtual void Clear() { SetData(nullptr); }
  // Called by a dataset's SetFieldData before it stores `buffer`.
  virtual void Validate(const void* buffer);
  // Fires OnChange (the dataset does after every field change).
  void Change();

  Variant Value() const { return GetAsVariant(); }
  // Null or Empty clears.
  void SetValue(const Variant& value);
  void AssignValue(const Variant& value) { SetValue(value); }
  std::string AsString() const { return GetAsString(); }
  void SetAsString(const std::string& value) { SetAsStringValue(value); }
  int32_t AsInteger() const { return GetAsInteger(); }
  void SetAsInteger(int32_t value) { SetAsIntegerValue(value); }
  int64_t AsLargeInt() const { return GetAsLargeInt(); }
  void SetAsLargeInt(int64_t value) { SetAsLargeIntValue(value); }
  double AsFloat() const { return GetAsFloat(); }
  void SetAsFloat(double value) { SetAsFloatValue(value); }
  bool AsBoolean() const { return GetAsBoolean(); }
  void SetAsBoolean(bool value) { SetAsBooleanValue(value); }
  TDateTime AsDateTime() const { return GetAsDateTime(); }
  void SetAsDateTime(TDateTime value) { SetAsDateTimeValue(value); }
  // Ten-thousandths.
  int64_t AsCurrency() const { return GetAsCurrency(); }
  void SetAsCurrency(int64_t value) { SetAsCurrencyValue(value); }

 protected:
  friend class TDataSet;
  friend TField* NewFieldOfType(TFieldType type, TComponent* owner);
  TField(TComponent* owner, TFieldType dataType, int size);
  void SetDataType(TFieldType value) { data_type_ = value; }

  // Null gives Null(); a field of a type a Variant cannot hold raises.
  virtual Variant GetAsVariant() const;
  virtual void SetVarValue(const Variant& value);
  // The defaults go through the Variant value: a null reads as "", 0, False.
  virtual std::string GetAsString() const;
  virtual void SetAsStringValue(const std::string& value);
  virtual int32_t GetAsInteger() const;
  virtual void SetAsIntegerValue(int32_t value);
  virtual int64_t GetAsLargeInt() const;
  virtual void SetAsLargeIntValue(int64_t value);
  virtual double GetAsFloat() const;
  virtual void SetAsFloatValue(double value);
  virtual bool GetAsBoolean() const;
  virtual void SetAsBooleanValue(bool value);
  virtual TDateTime GetAsDateTime() const;
  virtual void SetAsDateTimeValue(TDateTime value);
  virtual int64_t GetAsCurrency() const;
  virtual void SetAsCurrencyValue(int64_t value);
  [[noreturn]] void AccessError(const char* typeName) const;
  [[noreturn]] void RangeError(const std::string& value, const std::string& min,
                               const std::string& max) const;
  // Raises when the lookup description is incomplete or circular.
  void CheckLookup() const;
  void Notification(TComponent* component, TOperation operation) override;

 private:
  TDataSet* data_set_ = nullptr;
  std::string field_name_;
  std::string display_label_;
  TFieldType data_type_ = ftUnknown;
  int size_ = 0;
  int field_no_ = 0;
  int offset_ = 0;
  TFieldKind field_kind_ = fkData;
  bool read_only_ = false;
  bool visible_ = true;
  bool required_ = false;
  TDataSet* lookup_data_set_ = nullptr;
  std::string key_fields_;
  std::string lookup_key_fields_;
  std::string lookup_result_field_;
  // While Validate runs: the buffer being validated, which reads return.
  mutable const void* validating_ = nullptr;
  bool in_validate_ = false;
};

class TStringField : public TField {
 public:
  explicit TStringField(TComponent* owner);
  int DataSize() const override { return Size() + 1; }
  bool FixedChar() const { return DataType() == ftFixedChar; }
  void SetFixedChar(bool value) { SetDataType(value ? ftFixedChar : ftString); }

 protected:
  Variant GetAsVariant() const override;
  void SetVarValue(const Variant& value) override;
  std::string GetAsString() const override;
  // A longer value is cut to Size characters.
  void SetAsStringValue(const std::string& value) override;
};

class TWideStringField : public TField {
 public:
  explicit TWideStringField(TComponent* owner);
  int DataSize() const override { return (Size() + 1) * 2; }
  std::u16string AsWideString() const;
  // A longer value is cut to Size characters.
  void SetAsWideString(const std::u16string& value);

 protected:
  Variant GetAsVariant() const override;
  void SetVarValue(const Variant& value) override;
};

class TNumericField : public TField {
 protected:
  using TField::TField;
};

// Integer fields of 2 and 4 bytes; values outside the type's range raise.
class TIntegerField : public TNumericField {
 public:
  explicit TIntegerField(TComponent* owner);
  int DataSize() const override;
  int64_t MinValue() const { return min_; }
  int64_t MaxValue() const { return max_; }

 protected:
  TIntegerField(TComponent* owner, TFieldType dataType, int64_t minValue, int64_t maxValue);
  Variant GetAsVariant() const override;
  void SetVarValue(const Variant& value) override;
  int32_t GetAsInteger() const override;
  void SetAsIntegerValue(int32_t value) override;
  // Read straight from the record, as the value's own conversions give them.
  int64_t GetAsLargeInt() const override;
  double GetAsFloat() const override;
  void SetAsLargeIntValue(int64_t value) override;

 private:
  bool ReadValue(int64_t& value) const;
  int64_t min_;
  int64_t max_;
};

class TSmallintField : public TIntegerField {
 public:
  explicit TSmallintField(TComponent* owner);
};

class TWordField : public TIntegerField {
 public:
  explicit TWordField(TComponent* owner);
};

class TAutoIncField : public TIntegerField {
 public:
  explicit TAutoIncField(TComponent* owner);
};

class TLargeintField : public TNumericField {
 public:
  explicit TLargeintField(TComponent* owner);
  int DataSize() const override { return 8; }

 protected:
  Variant GetAsVariant() const override;
  void SetVarValue(const Variant& value) override;
  int64_t GetAsLargeInt() const override;
  void SetAsLargeIntValue(int64_t value) override;
};

class TFloatField : public TNumericField {
 public:
  explicit TFloatField(TComponent* owner);
  int DataSize() const override { return 8; }

 protected:
  TFloatField(TComponent* owner, TFieldType dataType);
  Variant GetAsVariant() const override;
  void SetVarValue(const Variant& value) override;
  double GetAsFloat() const override;
  // Infinities and NaN are refused.
  void SetAsFloatValue(double value) override;
};

class TCurrencyField : public TFloatField {
 public:
  explicit TCurrencyField(TComponent* owner);

 protected:
  Variant GetAsVariant() const override;
};

class TBCDField : public TNumericField {
 public:
  explicit TBCDField(TComponent* owner);
  int DataSize() const override { return 8; }
  int Precision() const { return precision_; }
  void SetPrecision(int value) { precision_ = value; }

 protected:
  Variant GetAsVariant() const override;
  void SetVarValue(const Variant& value) override;
  int64_t GetAsCurrency() const override;
  void SetAsCurrencyValue(int64_t value) override;

 private:
  int precision_ = 0;
};

class TBooleanField : public TField {
 public:
  explicit TBooleanField(TComponent* owner);
  int DataSize() const override { return 2; }

 protected:
  Variant GetAsVariant() const override;
  void SetVarValue(const Variant& value) override;
  std::string GetAsString() const override;
  // "True" or "False" (any case); anything else raises.
  void SetAsStringValue(const std::string& value) override;
  bool GetAsBoolean() const override;
  void SetAsBooleanValue(bool value) override;
};

// Date, time and date-time fields; values are TDateTime in and out.
class TDateTimeField : public TField {
 public:
  explicit TDateTimeField(TComponent* owner);
  int DataSize() const override { return DataType() == ftDateTime ? 8 : 4; }

 protected:
  TDateTimeField(TComponent* owner, TFieldType dataType);
  Variant GetAsVariant() const override;
  void SetVarValue(const Variant& value) override;
  std::string GetAsString() const override;
  TDateTime GetAsDateTime() const override;
  void SetAsDateTimeValue(TDateTime value) override;
};

class TDateField : public TDateTimeField {
 public:
  explicit TDateField(TComponent* owner);
};

class TTimeField : public TDateTimeField {
 public:
  explicit TTimeField(TComponent* owner);
};

// Bytes and var-bytes fields; the value is a string of the raw bytes, cut to
// Size.
class TBinaryField : public TField {
 protected:
  using TField::TField;
  Variant GetAsVariant() const override;
  void SetVarValue(const Variant& value) override;
};

class TBytesField : public TBinaryField {
 public:
  explicit TBytesField(TComponent* owner);
  int DataSize() const override { return Size(); }
};

class TVarBytesField : public TBinaryField {
 public:
  explicit TVarBytesField(TComponent* owner);
  int DataSize() const override { return Size() + 2; }
};

// BLOB fields: contents through the dataset's BLOB streams only.
class TBlobField : public TField {
 public:
  explicit TBlobField(TComponent* owner);
  bool IsBlob() const override { return true; }
  // Set when the contents were written through this field.
  bool Modified() const { return modified_; }
  void SetModified(bool value) { modified_ = value; }
  void LoadFromStream(TStream& stream);
  void SaveToStream(TStream& stream) const;
  int64_t BlobSize() const;
  void Clear() override;

 protected:
  TBlobField(TComponent* owner, TFieldType dataType);
  Variant GetAsVariant() const override;
  void SetVarValue(const Variant& value) override;
  std::string GetAsString() const override;
  void SetAsStringValue(const std::string& value) override;

 private:
  bool modified_ = false;
};

class TMemoField : public TBlobField {
 public:
  explicit TMemoField(TComponent* owner);
};

class TGraphicField : public TBlobField {
 public:
  explicit TGraphicField(TComponent* owner);
};

// A new field of the class that holds `type`, owned by `owner`, with its
// DataType set (ftFixedChar, ftFmtMemo and the other BLOB types keep theirs);
// nullptr for a type no field class holds.
TField* NewFieldOfType(TFieldType type, TComponent* owner);

}  // namespace host
