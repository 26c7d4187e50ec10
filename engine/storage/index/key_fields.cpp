#include "engine/storage/index/key_fields.h"

#include "engine/storage/record/internal_fields.h"
#include "host/rtl/le_bytes.h"

#include <algorithm>
#include <bit>

#include "engine/storage/base/tav_errors.h"
#include "host/classes/prop_table.h"
#include "host/rtl/collation.h"
#include "host/rtl/string_list.h"
#include "host/rtl/sys_utils.h"
#include "host/rtl/variant.h"

namespace tav {

using namespace host;

// Key values are the record's bytes, and records hold native integers and
// doubles written with memcpy: the on-disk order is little-endian only on a
// little-endian host.
static_assert(std::endian::native == std::endian::little, "keys assume a little-endian host");

namespace {

const char kKeyBuffersInvalid[] = "KeyBuffers invalid";
const char kKeySizeOutOfRange[] = "KeySize out of range";

// The bytes of a fixed-size key value; 0 for strings (their size is
// declared) and -1 for types that cannot be keyed.
int KeyValueSize(TFieldType type) {
  switch (type) {
    case ftString:
    case ftWideString:
      return 0;
    case ftSmallint:
    case ftWord:
    case ftInteger:
    case ftAutoInc:
    case ftBoolean:
    case ftFloat:
    case ftCurrency:
    case ftBCD:
    case ftDate:
    case ftTime:
    case ftDateTime:
      return GetDefaultInternalFieldSize(type);  // a key holds the record's bytes
    default:
      return -1;
  }
}

using host::GetU16;
using host::PutU16;
template <class T>
inline T Load(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
template <class T>
inline void Store(uint8_t* p, T v) {
  std::memcpy(p, &v, sizeof v);
}

inline void SetHasValue(uint8_t* entry, int i) {
  entry[kKeyEntryHeaderSize + i / 8] |= static_cast<uint8_t>(0x80 >> (i % 8));
}

inline int Sign(int64_t r) {
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}
template <class T>
inline int CompareNum(T a, T b) {
  return a < b ? -1 : (a > b ? 1 : 0);
}

inline int MarkerOf(TFieldComparisonValues markers, int i) {
  return static_cast<size_t>(i) < markers.size() ? markers[static_cast<size_t>(i)] : fcDefault;
}

std::string ValueText(const TKeyFormat::TField& f, const uint8_t* p, int size) {
  switch (f.DataType) {
    case ftString:
      return std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(size));
    case ftWideString: {
      std::u16string w(static_cast<size_t>(size / 2), u'\0');
      for (size_t k = 0; k < w.size(); ++k) w[k] = static_cast<char16_t>(GetU16(p + 2 * k));
      return Variant(std::move(w)).AsString();
    }
    case ftSmallint:
      return IntToStr(static_cast<int32_t>(Load<int16_t>(p)));
    case ftWord:
      return IntToStr(static_cast<int32_t>(Load<uint16_t>(p)));
    case ftInteger:
    case ftAutoInc:
      return IntToStr(Load<int32_t>(p));
    case ftBoolean:
      return *p ? "True" : "False";
    case ftBCD:
      return FloatToStr(static_cast<double>(Load<int64_t>(p)) / 10000.0);
    default:
      return FloatToStr(Load<double>(p));
  }
}

}  // namespace

int CheckedEntryLength(const TKeyFormat& format, const uint8_t* entry, const char* caller) {
  const int len = GetKeyEntryLength(entry);
  if (len > format.MaximumKeySize() || len < kKeyEntryHeaderSize + format.DataOffset())
    TavDatabaseError(kUnexpectedInternalError, caller, kKeySizeOutOfRange);
  return len;
}

void ReadEntryField(const TKeyFormat::TField& f, const uint8_t* entry, int len, int& pos,
                    const uint8_t*& data, int& size, const char* caller) {
  if (f.IsString) {
    if (pos + 2 > len) TavDatabaseError(kUnexpectedInternalError, caller, kKeySizeOutOfRange);
    size = GetU16(entry + pos);
    pos += 2;
  } else {
    size = f.DataSize;
  }
  if (size > len - pos) TavDatabaseError(kUnexpectedInternalError, caller, kKeySizeOutOfRange);
  data = entry + pos;
  pos += size;
}

// ---------------------------------------------------------------------------
// TKeyFieldItem, TKeyFields

void TKeyFieldItem::Assign(const TPersistent& source) {
  const auto* src = dynamic_cast<const TKeyFieldItem*>(&source);
  if (!src) {
    TCollectionItem::Assign(source);
    return;
  }
  case_insensitive_ = src->case_insensitive_;
  descending_ = src->descending_;
  field_size_ = src->field_size_;
  data_type_ = src->data_type_;
  is_variable_ = src->is_variable_;
  field_name_ = src->field_name_;
  rec_buf_offset_ = src->rec_buf_offset_;
  null_flag_offset_ = src->null_flag_offset_;
  physical_field_no_ = src->physical_field_no_;
  index_name_ = src->index_name_;
  hidden_ = src->hidden_;
  size_marker_offset_ = src->size_marker_offset_;
  key_index_ = src->key_index_;
}

const host::TPropertyTable& TKeyFieldItem::ClassProperties() {
  using T = TKeyFieldItem;
  static const host::TPropertyTable table =
      host::PublishClass<T>("TKeyFieldItem", nullptr, [](host::TPublisher<T>& p) {
        p.Boolean("CaseInsensitive", &T::CaseInsensitive, &T::SetCaseInsensitive);
        p.Boolean("Descending", &T::Descending, &T::SetDescending);
        p.Integer("FieldSize", &T::FieldSize, &T::SetFieldSize);
        p.Enumeration("DataType", host::FieldTypeInfo(), &T::DataType, &T::SetDataType);
        p.Boolean("IsVariable", &T::IsVariable, &T::SetIsVariable);
        p.String("FieldName", &T::FieldName, &T::SetFieldName);
        p.Integer("RecBufOffset", &T::RecBufOffset, &T::SetRecBufOffset);
        p.Integer("NullFlagOffset", &T::NullFlagOffset, &T::SetNullFlagOffset);
        p.Integer("PhysicalFieldNo", &T::PhysicalFieldNo, &T::SetPhysicalFieldNo);
        p.String("IndexName", &T::IndexName, &T::SetIndexName);
        p.Boolean("Hidden", &T::Hidden, &T::SetHidden);
        p.Integer("SizeMarkerOffset", &T::SizeMarkerOffset, &T::SetSizeMarkerOffset);
        p.Integer("KeyIndex", &T::KeyIndex, &T::SetKeyIndex);
      });
  return table;
}

TKeyFieldItem* TKeyFields::FindField(const std::string& name) const {
  for (int i = 0; i < Count(); ++i)
    if (AnsiSameText(Items(i)->FieldName(), name)) return Items(i);
  return nullptr;
}

int TKeyFields::FindFieldCountForIndex(const std::string& indexName) const {
  int n = 0;
  for (int i = 0; i < Count(); ++i)
    if (AnsiSameText(Items(i)->IndexName(), indexName)) ++n;
  return n;
}

int CalculateKeyFieldSize(TFieldType type, int fieldSize) {
  const int core = CalculateCoreDataSize(type);
  return (type == ftString || type == ftWideString) ? core + fieldSize : core;
}

int CalculateMaximumKeySize(const TKeyFields& keyFields) {
  // Declared sizes come from stored definitions: add in 64 bits and refuse a
  // key that no 16-bit entry length could describe.
  int64_t size = kKeyEntryHeaderSize;
  for (int i = 0; i < keyFields.Count(); ++i) {
    const TKeyFieldItem& item = *keyFields.Items(i);
    if (item.FieldSize() < 0)
      TavDatabaseError(kUnexpectedInternalError, "CalculateMaximumKeySize", "KeySize out of range");
    size += CalculateKeyFieldSize(item.DataType(), item.FieldSize());
    if (size > 0xFFFF)
      TavDatabaseError(kUnexpectedInternalError, "CalculateMaximumKeySize", "KeySize out of range");
  }
  return static_cast<int>(size);
}

// ---------------------------------------------------------------------------
// TKeyFormat

void TKeyFormat::Open(const TKeyFields& keyFields, int maximumKeySize, TIndexKeyType keyType,
                      TDBStringCompare stringCompare) {
  static const char kCaller[] = "TKeyFormat.Open";
  Close();
  const int n = keyFields.Count();
  if (n < 1 || keyFields.DataOffset() < CalculateKeyDataOffset(n) ||
      (keyType != ikFixed && keyType != ikMinStringLen))
    TavDatabaseError(kUnexpectedInternalError, kCaller, kKeyBuffersInvalid);
  std::vector<TField> fields;
  fields.reserve(static_cast<size_t>(n));
  // 64-bit: declared sizes come from stored definitions and may be absurd.
  int64_t required = kKeyEntryHeaderSize + static_cast<int64_t>(keyFields.DataOffset());
  for (int i = 0; i < n; ++i) {
    const TKeyFieldItem& item = *keyFields.Items(i);
    const int valueSize = KeyValueSize(item.DataType());
    if (valueSize < 0)
      TavDatabaseError(kUnexpectedInternalError, kCaller,
                       "Field type not found: " + FieldTypeName(item.DataType()));
    TField f{};
    f.DataType = item.DataType();
    f.IsString = valueSize == 0;
    f.CaseInsensitive = item.CaseInsensitive();
    f.Descending = item.Descending();
    f.DataSize = f.IsString ? item.FieldSize() : valueSize;
    f.RecBufOffset = item.RecBufOffset();
    f.NullFlagOffset = item.NullFlagOffset();
    f.SizeMarkerOffset = item.SizeMarkerOffset();
    if (f.DataSize < 0 || f.RecBufOffset < 0 || f.NullFlagOffset < 0 || f.SizeMarkerOffset < 0)
      TavDatabaseError(kUnexpectedInternalError, kCaller, kKeyBuffersInvalid);
    if (f.DataType == ftString && !stringCompare)
      TavDatabaseError(kUnexpectedInternalError, kCaller, "Sort function not assinged");
    f.Kind = TField::ckOther;
    if (f.DataType == ftInteger || f.DataType == ftAutoInc) f.Kind = TField::ckInt32;
    if (f.DataType == ftString && stringCompare == &DBANSICompareStrings)
      f.Kind = f.CaseInsensitive ? TField::ckAnsiText : TField::ckAnsiStr;
    required += (f.IsString ? 2 : 0) + static_cast<int64_t>(f.DataSize);
    fields.push_back(f);
  }
  if (maximumKeySize < required || maximumKeySize > kMaximumKeyEntrySize)
    TavDatabaseErrorFmt(kUnexpectedInternalError, kCaller, "Invalid key size: %d",
                        {maximumKeySize});
  fields_ = std::move(fields);
  data_offset_ = keyFields.DataOffset();
  maximum_key_size_ = maximumKeySize;
  key_type_ = keyType;
  string_compare_ = stringCompare;
}

void TKeyFormat::Close() {
  fields_.clear();
  data_offset_ = 0;
  maximum_key_size_ = 0;
  key_type_ = ikFixed;
  string_compare_ = nullptr;
}

int TKeyFormat::RecordDataSize(const TField& f, const uint8_t* record, const char* caller) const {
  if (f.SizeMarkerOffset < 1) return f.DataSize;
  const int size = GetU16(record + f.SizeMarkerOffset);
  // A marker beyond the declared size would copy bytes of the next fields
  // into the key and could overrun the entry: the record is damaged.
  if (size > f.DataSize)
    TavDatabaseErrorFmt(kUnexpectedInternalError, caller,
                        "Invalid field size in key: %d (at most %d)", {size, f.DataSize});
  return size;
}

int TKeyFormat::FinishEntry(uint8_t* entry, int position) const {
  const int length = key_type_ == ikMinStringLen ? position : maximum_key_size_;
  SetKeyEntryLength(entry, static_cast<uint16_t>(length));
  return length;
}

int TKeyFormat::ConstructKeyBufFromRecBuf(const uint8_t* record, uint8_t* entry) const {
  static const char kCaller[] = "TBTree.ConstructKeyBufFromRecBuf";
  TAV_ASSERT(IsOpen(), "Key format is not open");
  std::memset(entry, 0, static_cast<size_t>(maximum_key_size_));
  int pos = kKeyEntryHeaderSize + data_offset_;
  for (int i = 0; i < KeyFieldCount(); ++i) {
    const TField& f = fields_[static_cast<size_t>(i)];
    if (record[f.NullFlagOffset] != 1) continue;
    if (f.IsString) {
      const int size = RecordDataSize(f, record, kCaller);
      PutU16(entry + pos, static_cast<uint16_t>(size));
      std::memcpy(entry + pos + 2, record + f.RecBufOffset, static_cast<size_t>(size));
      pos += 2 + size;
    } else {
      std::memcpy(entry + pos, record + f.RecBufOffset, static_cast<size_t>(f.DataSize));
      pos += f.DataSize;
    }
    SetHasValue(entry, i);
  }
  return FinishEntry(entry, pos);
}

int TKeyFormat::ConstructKeyBufFromVariants(const Variant& values, uint8_t* entry) const {
  TAV_ASSERT(IsOpen(), "Key format is not open");
  std::memset(entry, 0, static_cast<size_t>(maximum_key_size_));
  const bool isArray = values.IsArray();
  const int low = isArray ? values.LowBound() : 0;
  const int given = isArray ? values.HighBound() - low + 1 : 1;
  const int n = given < KeyFieldCount() ? given : KeyFieldCount();
  int pos = kKeyEntryHeaderSize + data_offset_;
  for (int i = 0; i < n; ++i) {
    const TField& f = fields_[static_cast<size_t>(i)];
    const Variant& v = isArray ? values.Element(low + i) : values;
    if (v.IsNull()) continue;
    uint8_t* p = entry + pos;
    switch (f.DataType) {
      case ftString: {
        // Cut at the declared size: stored values are shorter still (they
        // keep room for a terminating zero), so a cut text can never equal
        // a stored one it did not equal before.
        const std::string s = v.AsString();
        const int size =
            s.size() < static_cast<size_t>(f.DataSize) ? static_cast<int>(s.size()) : f.DataSize;
        PutU16(p, static_cast<uint16_t>(size));
        std::memcpy(p + 2, s.data(), static_cast<size_t>(size));
        pos += 2 + size;
        break;
      }
      case ftWideString: {
        const std::u16string w = v.AsWideString();
        const size_t units = w.size() < static_cast<size_t>(f.DataSize / 2)
                                 ? w.size()
                                 : static_cast<size_t>(f.DataSize / 2);
        PutU16(p, static_cast<uint16_t>(2 * units));
        for (size_t k = 0; k < units; ++k) PutU16(p + 2 + 2 * k, w[k]);
        pos += 2 + 2 * static_cast<int>(units);
        break;
      }
      case ftSmallint:
        Store<int16_t>(p, v.AsSmallint());
        pos += 2;
        break;
      case ftWord: {
        const int32_t w = v.AsInteger();
        if (w < 0 || w > 0xFFFF)
          throw EVariantOverflowError("Overflow while converting variant of type (" +
                                      VarTypeAsText(v.VType()) + ") into type (Word)");
        Store<uint16_t>(p, static_cast<uint16_t>(w));
        pos += 2;
        break;
      }
      case ftInteger:
      case ftAutoInc:
        Store<int32_t>(p, v.AsInteger());
        pos += 4;
        break;
      case ftBoolean:
        *p = v.AsBoolean() ? 1 : 0;
        pos += 1;
        break;
      case ftFloat:
      case ftCurrency:
        Store<double>(p, v.AsDouble());
        pos += 8;
        break;
      case ftBCD:
        Store<int64_t>(p, v.AsCurrency());
        pos += 8;
        break;
      case ftDate:
      case ftTime:
      case ftDateTime:
        Store<double>(p, v.AsDateTime());
        pos += 8;
        break;
      default:  // Open admits no other type; kept for the error the callers expect
        TavDatabaseError(kInvalidFieldType, "TBTree.ConstructKeyBufFromVariants",
                         FieldTypeName(f.DataType));
    }
    SetHasValue(entry, i);
  }
  return FinishEntry(entry, pos);
}

int TKeyFormat::CompareValues(const TField& f, const uint8_t* a, int lenA, const uint8_t* b,
                              int lenB) const {
  switch (f.DataType) {
    case ftString:
      return Sign(string_compare_(reinterpret_cast<const char*>(a),
                                  reinterpret_cast<const char*>(b), lenA, lenB, f.CaseInsensitive,
                                  false));
    case ftWideString:
      return Sign(DBCompareWideStrings(reinterpret_cast<const char*>(a),
                                       reinterpret_cast<const char*>(b), lenA, lenB,
                                       f.CaseInsensitive, false));
    case ftSmallint:
      return CompareNum(Load<int16_t>(a), Load<int16_t>(b));
    case ftWord:
      return CompareNum(Load<uint16_t>(a), Load<uint16_t>(b));
    case ftInteger:
    case ftAutoInc:
      return CompareNum(Load<int32_t>(a), Load<int32_t>(b));
    case ftBoolean:
      return CompareNum(*a, *b);
    case ftFloat:
    case ftCurrency:
    case ftDate:
    case ftTime:
    case ftDateTime:
      return CompareReals(Load<double>(a), Load<double>(b));
    case ftBCD:
      // Compared as the integers of ten-thousandths they are: the same order
      // as their values as reals, without two large neighbours becoming one
      // double and so one key.
      return CompareNum(Load<int64_t>(a), Load<int64_t>(b));
    default:
      TavDatabaseError(kUnexpectedInternalError, "TBTree.CompareKeys",
                       "Field type not found: " + FieldTypeName(f.DataType));
  }
}

int TKeyFormat::CompareKeys(int keyFieldCount, const uint8_t* entryA,
                            TFieldComparisonValues markersA, const uint8_t* entryB,
                            TFieldComparisonValues markersB) const {
  static const char kCaller[] = "TBTree.CompareKeys";
  TAV_ASSERT(IsOpen(), "Key format is not open");
  const int lenA = CheckedEntryLength(*this, entryA, kCaller);
  const int lenB = CheckedEntryLength(*this, entryB, kCaller);
  const int n =
      (keyFieldCount < 1 || keyFieldCount > KeyFieldCount()) ? KeyFieldCount() : keyFieldCount;
  const bool anyMarkers = !markersA.empty() || !markersB.empty();
  int posA = kKeyEntryHeaderSize + data_offset_;
  int posB = posA;
  for (int i = 0; i < n; ++i) {
    const TField& f = fields_[static_cast<size_t>(i)];
    // Markers place a search key before or after every value of the field in
    // tree order, so a Descending field does not turn them round.
    if (anyMarkers) {
      const int m = MarkerOf(markersA, i) - MarkerOf(markersB, i);
      if (m != 0) return Sign(m);
    }
    const bool hasA = KeyEntryHasValue(entryA, i), hasB = KeyEntryHasValue(entryB, i);
    int r;
    if (hasA != hasB) {
      r = hasA ? 1 : -1;
    } else if (!hasA) {
      continue;
    } else {
      const uint8_t *a, *b;
      int sizeA, sizeB;
      ReadEntryField(f, entryA, lenA, posA, a, sizeA, kCaller);
      ReadEntryField(f, entryB, lenB, posB, b, sizeB, kCaller);
      r = CompareValues(f, a, sizeA, b, sizeB);
      if (r == 0) continue;
    }
    return f.Descending ? -r : r;
  }
  return 0;
}

void TKeyFormat::RaiseEntryDamaged(const char* caller) {
  TavDatabaseError(kUnexpectedInternalError, caller, kKeySizeOutOfRange);
}

int TKeyFormat::CompareToOptimizedKey(int keyFieldCount, const TOptimizedSearchKey& key,
                                      const uint8_t* entry) const {
  return TOptimizedCompare(*this, keyFieldCount, key)(entry);
}

int TKeyFormat::CompareFieldsFrom(int from, int n, const TOptimizedSearchKey& key,
                                  const uint8_t* entry, int len, int pos) const {
  // The search key's values are unpacked once, and the entry's are compared
  // where they lie, the common kinds inline.
  static const char kCaller[] = "TBTree.CompareToOptimizedKey";
  const TField* fields = fields_.data();
  const TOptimizedSearchKey::TSlot* slots = key.slots_.data();
  for (int i = from; i < n; ++i) {
    const TField& f = fields[i];
    const TOptimizedSearchKey::TSlot& s = slots[i];
    if (s.Marker != 0) return s.Marker;
    const bool has = KeyEntryHasValue(entry, i);
    int r;
    if (s.Present != has) {
      r = s.Present ? 1 : -1;
    } else if (!has) {
      continue;
    } else if (f.Kind == TField::ckInt32) {
      if (pos + 4 > len) TavDatabaseError(kUnexpectedInternalError, kCaller, kKeySizeOutOfRange);
      r = CompareNum(Load<int32_t>(s.Data), Load<int32_t>(entry + pos));
      pos += 4;
      if (r == 0) continue;
    } else {
      const uint8_t* b;
      int sizeB;
      ReadEntryField(f, entry, len, pos, b, sizeB, kCaller);
      const uint8_t* a = f.IsString ? s.Chars : s.Data;
      if (f.Kind == TField::ckOther) {
        r = CompareValues(f, a, s.Size, b, sizeB);
      } else {
        const auto* ca = reinterpret_cast<const char*>(a);
        const auto* cb = reinterpret_cast<const char*>(b);
        const auto la = static_cast<size_t>(std::max(s.Size, 0));
        const auto lb = static_cast<size_t>(sizeB);
        r = Sign(f.Kind == TField::ckAnsiText ? host::CollateAnsiText(ca, la, cb, lb)
                                              : host::CollateAnsiStr(ca, la, cb, lb));
      }
      if (r == 0) continue;
    }
    return f.Descending ? -r : r;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// TOptimizedCompare

TOptimizedCompare::TOptimizedCompare(const TKeyFormat& format, int keyFieldCount,
                                     const TOptimizedSearchKey& key)
    : format_(format), key_(key) {
  TAV_ASSERT(format.IsOpen(), "Key format is not open");
  const int count = format.KeyFieldCount();
  n_ = (keyFieldCount < 1 || keyFieldCount > count) ? count : keyFieldCount;
  TAV_ASSERT(key.count_ >= n_, "Search key has fewer fields than the index");
  max_len_ = format.MaximumKeySize();
  first_pos_ = kKeyEntryHeaderSize + format.DataOffset();
  const TKeyFormat::TField& f = format.Field(0);
  const TOptimizedSearchKey::TSlot& s = key.slots_[0];
  // A marker or a missing value takes the general way.
  if (s.Marker != 0 || !s.Present) return;
  descending_ = f.Descending;
  switch (f.Kind) {
    case TKeyFormat::TField::ckInt32:
      first_ = kInt32;
      std::memcpy(&int_, s.Data, 4);
      break;
    case TKeyFormat::TField::ckAnsiText:
    case TKeyFormat::TField::ckAnsiStr:
      first_ = kText;
      chars_ = reinterpret_cast<const char*>(s.Chars);
      chars_size_ = static_cast<size_t>(std::max(s.Size, 0));
      collate_ = f.Kind == TKeyFormat::TField::ckAnsiText ? &host::CollateAnsiText
                                                          : &host::CollateAnsiStr;
      break;
    default:
      break;
  }
}

void TKeyFormat::DecodeKeyBufAsStrings(const uint8_t* entry, TStrings& lines) const {
  static const char kCaller[] = "TBTree.DecodeKeyBufAsStrings";
  TAV_ASSERT(IsOpen(), "Key format is not open");
  const int len = GetKeyEntryLength(entry);
  if (len > maximum_key_size_ || len < kKeyEntryHeaderSize + data_offset_)
    TavDatabaseErrorFmt(kUnexpectedInternalError, kCaller, "Invalid key size: %d", {len});
  lines.Add("Size=" + IntToStr(len));
  lines.Add("Count=" + IntToStr(static_cast<int64_t>(GetKeyEntryCount(entry))));
  lines.Add("Addr=" + IntToStr(static_cast<int64_t>(GetKeyEntryAddress(entry))));
  int pos = kKeyEntryHeaderSize + data_offset_;
  for (int i = 0; i < KeyFieldCount(); ++i) {
    const TField& f = fields_[static_cast<size_t>(i)];
    if (!KeyEntryHasValue(entry, i)) {
      lines.Add("NULL");
      continue;
    }
    const uint8_t* p;
    int size;
    ReadEntryField(f, entry, len, pos, p, size, kCaller);
    lines.Add(ValueText(f, p, size));
  }
}

// ---------------------------------------------------------------------------
// TOptimizedSearchKey

const TOptimizedSearchKey::TSlot& TOptimizedSearchKey::Slot(int i) const {
  TAV_ASSERT(i >= 0 && i < count_, "Search key field out of range");
  return slots_[static_cast<size_t>(i)];
}

const uint8_t* TOptimizedSearchKey::GetData(int i) const {
  const TSlot& s = Slot(i);
  return s.Chars ? s.Chars : s.Data;
}

void TOptimizedSearchKey::Reset(const TKeyFormat& keyFields, TFieldComparisonValues markers) {
  TAV_ASSERT(keyFields.IsOpen(), "Key format is not open");
  count_ = keyFields.KeyFieldCount();
  slots_.resize(static_cast<size_t>(count_));  // keeps its capacity when shrinking
  for (int i = 0; i < count_; ++i) {
    TSlot& s = slots_[static_cast<size_t>(i)];
    s = TSlot{};
    s.Marker = MarkerOf(markers, i) - fcDefault;
  }
}

void TOptimizedSearchKey::SetDataFromRecBuf(const TKeyFormat& keyFields,
                                            TFieldComparisonValues markers, const uint8_t* record) {
  Reset(keyFields, markers);
  for (int i = 0; i < count_; ++i) {
    const TKeyFormat::TField& f = keyFields.Field(i);
    if (record[f.NullFlagOffset] != 1) continue;
    TSlot& s = slots_[static_cast<size_t>(i)];
    s.Present = true;
    if (f.IsString) {
      s.Size = keyFields.RecordDataSize(f, record, "TOptimizedSearchKey.SetDataFromRecBuf");
      s.Chars = record + f.RecBufOffset;
    } else {
      s.Size = f.DataSize;
      std::memcpy(s.Data, record + f.RecBufOffset, static_cast<size_t>(f.DataSize));
    }
  }
}

void TOptimizedSearchKey::SetDataFromKeyBuf(const TKeyFormat& keyFields,
                                            TFieldComparisonValues markers,
                                            const uint8_t* keyEntry) {
  static const char kCaller[] = "TOptimizedSearchKey.SetDataFromKeyBuf";
  Reset(keyFields, markers);
  const int len = CheckedEntryLength(keyFields, keyEntry, kCaller);
  int pos = kKeyEntryHeaderSize + keyFields.DataOffset();
  for (int i = 0; i < count_; ++i) {
    if (!KeyEntryHasValue(keyEntry, i)) continue;
    const TKeyFormat::TField& f = keyFields.Field(i);
    TSlot& s = slots_[static_cast<size_t>(i)];
    const uint8_t* p;
    int size;
    ReadEntryField(f, keyEntry, len, pos, p, size, kCaller);
    s.Present = true;
    s.Size = size;
    if (f.IsString)
      s.Chars = p;
    else
      std::memcpy(s.Data, p, static_cast<size_t>(size));
  }
}

}  // namespace tav
