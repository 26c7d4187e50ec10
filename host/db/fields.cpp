#include "host/db/fields.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "host/db/db_common.h"
#include "host/db/time_stamp.h"
#include "host/rtl/sys_utils.h"

namespace host {

bool IsBlobType(TFieldType type) {
  switch (type) {
    case ftBlob:
    case ftMemo:
    case ftGraphic:
    case ftFmtMemo:
    case ftParadoxOle:
    case ftDBaseOle:
    case ftTypedBinary:
    case ftOraBlob:
    case ftOraClob:
      return true;
    default:
      return false;
  }
}

// ---- TField ----

TField::TField(TComponent* owner) : TComponent(owner) {}

TField::TField(TComponent* owner, TFieldType dataType, int size)
    : TComponent(owner), data_type_(dataType), size_(size) {}

TField::~TField() {
  if (data_set_) data_set_->RemoveField(this);
}

void TField::SetDataSet(TDataSet* value) {
  if (value == data_set_) return;
  if (data_set_) data_set_->CheckInactive();
  if (value) {
    value->CheckInactive();
    if (!field_name_.empty() && value->FindField(field_name_))
      DatabaseErrorFmt(SDuplicateFieldName, {field_name_}, value);
  }
  if (data_set_) data_set_->RemoveField(this);
  data_set_ = value;
  if (data_set_) data_set_->AddField(this);
}

void TField::SetFieldName(const std::string& value) {
  if (data_set_) {
    data_set_->CheckInactive();
    TField* other = data_set_->FindField(value);
    if (other && other != this) DatabaseErrorFmt(SDuplicateFieldName, {value}, data_set_);
  }
  field_name_ = value;
}

const std::string& TField::DisplayName() const {
  return display_label_.empty() ? field_name_ : display_label_;
}

int TField::Index() const {
  if (!data_set_) return -1;
  for (int i = 0; i < data_set_->FieldCount(); ++i)
    if (data_set_->Fields(i) == this) return i;
  return -1;
}

void TField::SetSize(int value) {
  if (data_set_) data_set_->CheckInactive();
  size_ = value;
}

void TField::SetFieldKind(TFieldKind value) {
  if (data_set_) data_set_->CheckInactive();
  field_kind_ = value;
}

void TField::SetLookupDataSet(TDataSet* value) {
  if (lookup_data_set_) RemoveFreeNotification(lookup_data_set_);
  lookup_data_set_ = value;
  if (value) value->FreeNotification(this);
}

void TField::Notification(TComponent* component, TOperation operation) {
  TComponent::Notification(component, operation);
  if (operation == opRemove && component == lookup_data_set_) lookup_data_set_ = nullptr;
}

void TField::CheckLookup() const {
  if (!lookup_data_set_ || key_fields_.empty() || lookup_key_fields_.empty() ||
      lookup_result_field_.empty())
    DatabaseErrorFmt(SLookupInfoError, {DisplayName()}, data_set_);
  if (lookup_data_set_ == data_set_) DatabaseError(SCircularDataLink, data_set_);
  std::vector<TField*> keys;
  data_set_->GetFieldList(keys, key_fields_);
}

bool TField::CanModify() const {
  if (read_only_ || !data_set_) return false;
  if (field_kind_ != fkData) return false;
  return data_set_->CanModify();
}

namespace {
// Kept out of line: the read path then carries none of the message's strings.
[[noreturn, gnu::noinline, gnu::cold]] void DataSetMissing(const TField& field) {
  DatabaseErrorFmt(SDataSetMissing, {field.DisplayName()});
}
}  // namespace

bool TField::GetData(void* buffer, bool nativeFormat) const {
  if (!data_set_) DataSetMissing(*this);
  if (in_validate_) {
    // The value being validated is in the native form.
    if (!validating_) return false;
    if (!buffer) return true;
    if (nativeFormat)
      std::memcpy(buffer, validating_, static_cast<size_t>(DataSize()));
    else
      data_set_->DataConvert(const_cast<TField*>(this), validating_, buffer, false);
    return true;
  }
  return data_set_->GetFieldData(const_cast<TField*>(this), buffer, nativeFormat);
}

void TField::SetData(const void* buffer, bool nativeFormat) {
  if (!data_set_) DatabaseErrorFmt(SDataSetMissing, {DisplayName()});
  switch (data_set_->State()) {
    case dsEdit:
    case dsInsert:
    case dsSetKey:
    case dsFilter:
    case dsNewValue:
      break;
    case dsCalcFields:
      // Only calculated and lookup slots are written while fields are worked out.
      if (field_kind_ == fkData) DatabaseError(SNotEditing, data_set_);
      break;
    default:
      DatabaseError(SNotEditing, data_set_);
  }
  TDataSetState state = data_set_->State();
  if (read_only_ && state != dsSetKey && state != dsFilter && state != dsCalcFields)
    DatabaseErrorFmt(SFieldReadOnly, {DisplayName()}, data_set_);
  data_set_->SetFieldData(this, buffer, nativeFormat);
}

void TField::Validate(const void* buffer) {
  if (!OnValidate) return;
  // The handler reads the new value through this field.
  struct Restore {
    TField& f;
    ~Restore() {
      f.in_validate_ = false;
      f.validating_ = nullptr;
    }
  } restore{*this};
  validating_ = buffer;
  in_validate_ = true;
  OnValidate(this);
}

void TField::Change() {
  if (OnChange) OnChange(this);
}

void TField::SetValue(const Variant& value) {
  if (value.IsNull() || value.IsEmpty())
    Clear();
  else
    SetVarValue(value);
}

Variant TField::GetAsVariant() const {
  AccessError("Variant");
}

void TField::SetVarValue(const Variant&) {
  AccessError("Variant");
}

std::string TField::GetAsString() const {
  Variant v = GetAsVariant();
  return v.IsNull() ? std::string() : v.AsString();
}
void TField::SetAsStringValue(const std::string& value) {
  SetVarValue(Variant(value));
}
int32_t TField::GetAsInteger() const {
  Variant v = GetAsVariant();
  return v.IsNull() ? 0 : v.AsInteger();
}
void TField::SetAsIntegerValue(int32_t value) {
  SetVarValue(Variant(value));
}
int64_t TField::GetAsLargeInt() const {
  Variant v = GetAsVariant();
  return v.IsNull() ? 0 : v.AsInt64();
}
void TField::SetAsLargeIntValue(int64_t value) {
  SetVarValue(Variant(static_cast<long long>(value)));
}
double TField::GetAsFloat() const {
  Variant v = GetAsVariant();
  return v.IsNull() ? 0 : v.AsDouble();
}
void TField::SetAsFloatValue(double value) {
  SetVarValue(Variant(value));
}
bool TField::GetAsBoolean() const {
  Variant v = GetAsVariant();
  return v.IsNull() ? false : v.AsBoolean();
}
void TField::SetAsBooleanValue(bool value) {
  SetVarValue(Variant(value));
}
TDateTime TField::GetAsDateTime() const {
  Variant v = GetAsVariant();
  return v.IsNull() ? 0 : v.AsDateTime();
}
void TField::SetAsDateTimeValue(TDateTime value) {
  SetVarValue(Variant::FromDate(value));
}
int64_t TField::GetAsCurrency() const {
  Variant v = GetAsVariant();
  return v.IsNull() ? 0 : v.AsCurrency();
}
void TField::SetAsCurrencyValue(int64_t value) {
  SetVarValue(Variant::FromCurrency(value));
}

void TField::AccessError(const char* typeName) const {
  DatabaseErrorFmt(SFieldAccessError, {DisplayName(), typeName});
}

void TField::RangeError(const std::string& value, const std::string& min,
                        const std::string& max) const {
  DatabaseErrorFmt(SFieldRangeError, {value, DisplayName(), min, max});
}

// ---- strings ----

TStringField::TStringField(TComponent* owner) : TField(owner, ftString, 20) {}

std::string TStringField::GetAsString() const {
  std::string text(static_cast<size_t>(Size()) + 1, '\0');
  if (!GetData(text.data())) return std::string();
  text.resize(strnlen(text.data(), static_cast<size_t>(Size())));
  return text;
}

void TStringField::SetAsStringValue(const std::string& value) {
  std::string buffer(static_cast<size_t>(Size()) + 1, '\0');
  std::memcpy(buffer.data(), value.data(), std::min(value.size(), static_cast<size_t>(Size())));
  SetData(buffer.data());
}

Variant TStringField::GetAsVariant() const {
  if (IsNull()) return Null();
  return Variant(GetAsString());
}

void TStringField::SetVarValue(const Variant& value) {
  SetAsStringValue(value.AsString());
}

TWideStringField::TWideStringField(TComponent* owner) : TField(owner, ftWideString, 20) {}

std::u16string TWideStringField::AsWideString() const {
  std::u16string text;
  GetData(&text, false);
  return text;
}

void TWideStringField::SetAsWideString(const std::u16string& value) {
  SetData(&value, false);
}

Variant TWideStringField::GetAsVariant() const {
  std::u16string text;
  if (!GetData(&text, false)) return Null();
  return Variant(std::move(text));
}

void TWideStringField::SetVarValue(const Variant& value) {
  SetAsWideString(value.AsWideString());
}

// ---- integers ----

TIntegerField::TIntegerField(TComponent* owner)
    : TIntegerField(owner, ftInteger, std::numeric_limits<int32_t>::min(),
                    std::numeric_limits<int32_t>::max()) {}

TIntegerField::TIntegerField(TComponent* owner, TFieldType dataType, int64_t minValue,
                             int64_t maxValue)
    : TNumericField(owner, dataType, 0), min_(minValue), max_(maxValue) {}

TSmallintField::TSmallintField(TComponent* owner)
    : TIntegerField(owner, ftSmallint, -32768, 32767) {}
TWordField::TWordField(TComponent* owner) : TIntegerField(owner, ftWord, 0, 65535) {}
TAutoIncField::TAutoIncField(TComponent* owner)
    : TIntegerField(owner, ftAutoInc, std::numeric_limits<int32_t>::min(),
                    std::numeric_limits<int32_t>::max()) {}

int TIntegerField::DataSize() const {
  return DataType() == ftSmallint || DataType() == ftWord ? 2 : 4;
}

bool TIntegerField::ReadValue(int64_t& value) const {
  uint8_t raw[4] = {};
  if (!GetData(raw)) return false;
  if (DataType() == ftSmallint) {
    int16_t v;
    std::memcpy(&v, raw, 2);
    value = v;
  } else if (DataType() == ftWord) {
    uint16_t v;
    std::memcpy(&v, raw, 2);
    value = v;
  } else {
    int32_t v;
    std::memcpy(&v, raw, 4);
    value = v;
  }
  return true;
}

Variant TIntegerField::GetAsVariant() const {
  int64_t v;
  if (!ReadValue(v)) return Null();
  return Variant(static_cast<int>(v));
}

int32_t TIntegerField::GetAsInteger() const {
  int64_t v = 0;
  ReadValue(v);
  return static_cast<int32_t>(v);
}

int64_t TIntegerField::GetAsLargeInt() const {
  int64_t v = 0;
  ReadValue(v);
  return v;
}

double TIntegerField::GetAsFloat() const {
  int64_t v = 0;
  ReadValue(v);
  return static_cast<double>(v);
}

void TIntegerField::SetAsLargeIntValue(int64_t value) {
  if (value < min_ || value > max_)
    RangeError(std::to_string(value), std::to_string(min_), std::to_string(max_));
  uint8_t raw[4] = {};
  if (DataSize() == 2) {
    uint16_t v = static_cast<uint16_t>(value);
    std::memcpy(raw, &v, 2);
  } else {
    int32_t v = static_cast<int32_t>(value);
    std::memcpy(raw, &v, 4);
  }
  SetData(raw);
}

void TIntegerField::SetAsIntegerValue(int32_t value) {
  SetAsLargeIntValue(value);
}

void TIntegerField::SetVarValue(const Variant& value) {
  SetAsLargeIntValue(value.AsInt64());
}

TLargeintField::TLargeintField(TComponent* owner) : TNumericField(owner, ftLargeint, 0) {}

Variant TLargeintField::GetAsVariant() const {
  int64_t v;
  if (!GetData(&v)) return Null();
  return Variant(static_cast<long long>(v));
}

int64_t TLargeintField::GetAsLargeInt() const {
  int64_t v = 0;
  return GetData(&v) ? v : 0;
}

void TLargeintField::SetAsLargeIntValue(int64_t value) {
  SetData(&value);
}

void TLargeintField::SetVarValue(const Variant& value) {
  SetAsLargeIntValue(value.AsInt64());
}

// ---- floats, currency, BCD ----

TFloatField::TFloatField(TComponent* owner) : TFloatField(owner, ftFloat) {}
TFloatField::TFloatField(TComponent* owner, TFieldType dataType)
    : TNumericField(owner, dataType, 0) {}
TCurrencyField::TCurrencyField(TComponent* owner) : TFloatField(owner, ftCurrency) {}

Variant TFloatField::GetAsVariant() const {
  double v;
  if (!GetData(&v)) return Null();
  return Variant(v);
}

Variant TCurrencyField::GetAsVariant() const {
  double v;
  if (!GetData(&v)) return Null();
  return Variant::FromCurrency(static_cast<int64_t>(std::llround(v * 10000.0)));
}

double TFloatField::GetAsFloat() const {
  double v = 0;
  return GetData(&v) ? v : 0;
}

void TFloatField::SetAsFloatValue(double value) {
  if (!std::isfinite(value)) RangeError(FloatToStr(value), "-1.7E308", "1.7E308");
  SetData(&value);
}

void TFloatField::SetVarValue(const Variant& value) {
  SetAsFloatValue(value.AsDouble());
}

TBCDField::TBCDField(TComponent* owner) : TNumericField(owner, ftBCD, 4) {}

Variant TBCDField::GetAsVariant() const {
  int64_t v;
  if (!GetData(&v)) return Null();
  return Variant::FromCurrency(v);
}

int64_t TBCDField::GetAsCurrency() const {
  int64_t v = 0;
  return GetData(&v) ? v : 0;
}

void TBCDField::SetAsCurrencyValue(int64_t value) {
  SetData(&value);
}

void TBCDField::SetVarValue(const Variant& value) {
  SetAsCurrencyValue(value.AsCurrency());
}

// ---- booleans ----

TBooleanField::TBooleanField(TComponent* owner) : TField(owner, ftBoolean, 0) {}

bool TBooleanField::GetAsBoolean() const {
  int16_t v = 0;
  return GetData(&v) && v != 0;
}

void TBooleanField::SetAsBooleanValue(bool value) {
  int16_t v = value ? -1 : 0;
  SetData(&v);
}

Variant TBooleanField::GetAsVariant() const {
  int16_t v;
  if (!GetData(&v)) return Null();
  return Variant(v != 0);
}

void TBooleanField::SetVarValue(const Variant& value) {
  SetAsBooleanValue(value.AsBoolean());
}

std::string TBooleanField::GetAsString() const {
  int16_t v;
  if (!GetData(&v)) return std::string();
  return v != 0 ? "True" : "False";
}

void TBooleanField::SetAsStringValue(const std::string& value) {
  if (value.empty()) return Clear();
  if (AnsiSameText(value, "True")) return SetAsBooleanValue(true);
  if (AnsiSameText(value, "False")) return SetAsBooleanValue(false);
  DatabaseErrorFmt("'%s' is not a valid boolean value for field '%s'", {value, DisplayName()});
}

// ---- dates and times ----

TDateTimeField::TDateTimeField(TComponent* owner) : TDateTimeField(owner, ftDateTime) {}
TDateTimeField::TDateTimeField(TComponent* owner, TFieldType dataType)
    : TField(owner, dataType, 0) {}
TDateField::TDateField(TComponent* owner) : TDateTimeField(owner, ftDate) {}
TTimeField::TTimeField(TComponent* owner) : TDateTimeField(owner, ftTime) {}

TDateTime TDateTimeField::GetAsDateTime() const {
  uint8_t raw[8];
  if (!GetData(raw)) return 0;
  TTimeStamp ts{0, DateDelta};
  if (DataType() == ftDate) {
    std::memcpy(&ts.Date, raw, 4);
    ts.Time = 0;
    if (ts.Date <= 0) return 0;
  } else if (DataType() == ftTime) {
    std::memcpy(&ts.Time, raw, 4);
    ts.Time = std::clamp(ts.Time, 0, MSecsPerDay - 1);
  } else {
    double msecs;
    std::memcpy(&msecs, raw, 8);
    if (!std::isfinite(msecs) || msecs <= 0) return 0;
    ts = MSecsToTimeStamp(static_cast<int64_t>(msecs));
    if (ts.Date <= 0) return 0;
  }
  return TimeStampToDateTime(ts);
}

void TDateTimeField::SetAsDateTimeValue(TDateTime value) {
  TTimeStamp ts = DateTimeToTimeStamp(value);
  uint8_t raw[8] = {};
  if (DataType() == ftDate) {
    std::memcpy(raw, &ts.Date, 4);
  } else if (DataType() == ftTime) {
    std::memcpy(raw, &ts.Time, 4);
  } else {
    double msecs = static_cast<double>(TimeStampToMSecs(ts));
    std::memcpy(raw, &msecs, 8);
  }
  SetData(raw);
}

Variant TDateTimeField::GetAsVariant() const {
  if (IsNull()) return Null();
  return Variant::FromDate(GetAsDateTime());
}

void TDateTimeField::SetVarValue(const Variant& value) {
  SetAsDateTimeValue(value.AsDateTime());
}

std::string TDateTimeField::GetAsString() const {
  if (IsNull()) return std::string();
  TDateTime v = GetAsDateTime();
  if (DataType() == ftDate) return DateToStr(v);
  if (DataType() == ftTime) return TimeToStr(v);
  return DateTimeToStr(v);
}

// ---- bytes ----

TBytesField::TBytesField(TComponent* owner) : TBinaryField(owner, ftBytes, 16) {}
TVarBytesField::TVarBytesField(TComponent* owner) : TBinaryField(owner, ftVarBytes, 16) {}

Variant TBinaryField::GetAsVariant() const {
  std::string raw(static_cast<size_t>(DataSize()), '\0');
  if (!GetData(raw.data())) return Null();
  if (DataType() == ftVarBytes) {
    uint16_t n;
    std::memcpy(&n, raw.data(), 2);
    return Variant(raw.substr(2, std::min<size_t>(n, static_cast<size_t>(Size()))));
  }
  return Variant(std::move(raw));
}

void TBinaryField::SetVarValue(const Variant& value) {
  std::string bytes = value.AsString();
  size_t n = std::min(bytes.size(), static_cast<size_t>(Size()));
  std::string raw(static_cast<size_t>(DataSize()), '\0');
  if (DataType() == ftVarBytes) {
    uint16_t len = static_cast<uint16_t>(n);
    std::memcpy(raw.data(), &len, 2);
    std::memcpy(raw.data() + 2, bytes.data(), n);
  } else {
    std::memcpy(raw.data(), bytes.data(), n);
  }
  SetData(raw.data());
}

// ---- BLOBs ----

TBlobField::TBlobField(TComponent* owner) : TBlobField(owner, ftBlob) {}
TBlobField::TBlobField(TComponent* owner, TFieldType dataType) : TField(owner, dataType, 0) {}
TMemoField::TMemoField(TComponent* owner) : TBlobField(owner, ftMemo) {}
TGraphicField::TGraphicField(TComponent* owner) : TBlobField(owner, ftGraphic) {}

void TBlobField::LoadFromStream(TStream& stream) {
  if (!DataSet()) DatabaseErrorFmt(SDataSetMissing, {DisplayName()});
  std::unique_ptr<TStream> blob = DataSet()->CreateBlobStream(this, bmWrite);
  stream.SetPosition(0);
  blob->CopyFrom(stream, 0);
  modified_ = true;
}

void TBlobField::SaveToStream(TStream& stream) const {
  if (!DataSet()) DatabaseErrorFmt(SDataSetMissing, {DisplayName()});
  std::unique_ptr<TStream> blob =
      DataSet()->CreateBlobStream(const_cast<TBlobField*>(this), bmRead);
  if (blob->Size() > 0) stream.CopyFrom(*blob, 0);
}

int64_t TBlobField::BlobSize() const {
  if (IsNull()) return 0;
  return DataSet()->CreateBlobStream(const_cast<TBlobField*>(this), bmRead)->Size();
}

void TBlobField::Clear() {
  SetData(nullptr);
  modified_ = true;
}

std::string TBlobField::GetAsString() const {
  if (IsNull()) return std::string();
  std::unique_ptr<TStream> blob =
      DataSet()->CreateBlobStream(const_cast<TBlobField*>(this), bmRead);
  int64_t size = blob->Size();
  if (size > std::numeric_limits<int32_t>::max())
    DatabaseErrorFmt(SFieldAccessError, {DisplayName(), "String"});
  std::string text(static_cast<size_t>(size), '\0');
  blob->SetPosition(0);
  if (size > 0) blob->ReadBuffer(text.data(), static_cast<int32_t>(size));
  return text;
}

void TBlobField::SetAsStringValue(const std::string& value) {
  if (!DataSet()) DatabaseErrorFmt(SDataSetMissing, {DisplayName()});
  if (value.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max()))
    DatabaseErrorFmt(SFieldAccessError, {DisplayName(), "String"});
  std::unique_ptr<TStream> blob = DataSet()->CreateBlobStream(this, bmWrite);
  if (!value.empty()) blob->WriteBuffer(value.data(), static_cast<int32_t>(value.size()));
  modified_ = true;
}

Variant TBlobField::GetAsVariant() const {
  if (IsNull()) return Null();
  return Variant(GetAsString());
}

void TBlobField::SetVarValue(const Variant& value) {
  SetAsStringValue(value.AsString());
}

// ---- field classes by type ----

TField* NewFieldOfType(TFieldType type, TComponent* owner) {
  switch (type) {
    case ftString:
      return new TStringField(owner);
    case ftFixedChar: {
      auto* f = new TStringField(owner);
      f->SetFixedChar(true);
      return f;
    }
    case ftWideString:
      return new TWideStringField(owner);
    case ftSmallint:
      return new TSmallintField(owner);
    case ftInteger:
      return new TIntegerField(owner);
    case ftWord:
      return new TWordField(owner);
    case ftAutoInc:
      return new TAutoIncField(owner);
    case ftLargeint:
      return new TLargeintField(owner);
    case ftBoolean:
      return new TBooleanField(owner);
    case ftFloat:
      return new TFloatField(owner);
    case ftCurrency:
      return new TCurrencyField(owner);
    case ftBCD:
      return new TBCDField(owner);
    case ftDate:
      return new TDateField(owner);
    case ftTime:
      return new TTimeField(owner);
    case ftDateTime:
      return new TDateTimeField(owner);
    case ftBytes:
      return new TBytesField(owner);
    case ftVarBytes:
      return new TVarBytesField(owner);
    case ftMemo:
      return new TMemoField(owner);
    case ftGraphic:
      return new TGraphicField(owner);
    default:
      if (IsBlobType(type)) {
        // The other BLOB types keep their own type on the class of their kind.
        TField* f = type == ftFmtMemo || type == ftOraClob
                        ? static_cast<TField*>(new TMemoField(owner))
                        : static_cast<TField*>(new TBlobField(owner));
        f->SetDataType(type);
        return f;
      }
      return nullptr;
  }
}

}  // namespace host
