// Index keys: their description (TKeyFields of TKeyFieldItem), their byte
// image inside an index entry, how they are built from a record image or from
// host values, and their order.
//
// An index entry is
//   0-1  length   16-bit, the whole entry's length, this field included
//   2-5  count    32-bit, records in the subtree below the entry (1 in a leaf)
//   6-9  address  32-bit, child node (inner node) or record (leaf)
//   10.. key      a presence bitmap of DataOffset bytes (key field i has bit
//                 7 - i mod 8 of byte i div 8; set = the field has a value),
//                 then the data of every field that has a value, in key order:
//                 a 16-bit byte length and the characters for ftString and
//                 ftWideString, the value's fixed-size bytes otherwise.
// With ikFixed every entry is MaximumKeySize bytes long (zero-padded); with
// ikMinStringLen it is exactly as long as its key.
//
// Order (CompareKeys): field by field, comparison markers first (a search key
// may ask to sort before or after every value of a field), then presence (no
// value sorts before any value), then the value by type; a Descending field
// negates its value order. Only the sign of a result means anything.
//
// TKeyFormat is what the B+-tree and the index nodes hold: a checked, flat
// copy of one index's key description that builds and compares entries
// without allocating or copying keys. TOptimizedSearchKey is a search key
// unpacked once, for the many compares of one descent.
//
// Callers must keep:
//  - Entry buffers passed here hold at least MaximumKeySize bytes (the tree
//    keeps MaximumKeySize + 1); record buffers hold the whole record image the
//    key fields' offsets were taken from.
//  - Entries read from a file are checked here (length, string lengths within
//    the entry); record images are trusted for their layout but not for their
//    string length markers.
//  - A TOptimizedSearchKey points into the record or entry it was loaded from:
//    that buffer must stay live and unchanged while the key is compared.
//  - TKeyFormat copies what it needs at Open; a change to the TKeyFields
//    afterwards needs another Open.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "engine/storage/base/tav_compare.h"
#include "host/db/field_types.h"
#include "host/rtl/collection.h"

namespace host {
class TStrings;
class Variant;
}  // namespace host

namespace tav {

// Bytes before the key image in every index entry: length, count, address.
inline constexpr int kKeyEntryHeaderSize = 10;
// The entry length field is 16 bits wide.
inline constexpr int kMaximumKeyEntrySize = 0xFFFF;

enum TIndexKeyType : uint8_t { ikFixed = 0, ikMinStringLen = 1 };

// Per key field of a search key: sort before every value of the field, by the
// value, or after every value.
enum TFieldComparisonValue : uint8_t { fcForceBOF = 0, fcDefault = 1, fcForceEOF = 2 };
// A comparison marker list: one value per key field; an empty span means no
// list, and fields beyond its end are fcDefault.
using TFieldComparisonValues = std::span<const TFieldComparisonValue>;

// Index entry header fields, little-endian, any alignment.
inline uint16_t GetKeyEntryLength(const uint8_t* entry) {
  return static_cast<uint16_t>(entry[0] | (entry[1] << 8));
}
inline void SetKeyEntryLength(uint8_t* entry, uint16_t length) {
  entry[0] = static_cast<uint8_t>(length);
  entry[1] = static_cast<uint8_t>(length >> 8);
}
inline uint32_t GetKeyEntryCount(const uint8_t* entry) {
  uint32_t v;
  std::memcpy(&v, entry + 2, 4);
  return v;  // the engine builds for little-endian hosts only
}
inline void SetKeyEntryCount(uint8_t* entry, uint32_t count) {
  std::memcpy(entry + 2, &count, 4);
}
inline uint32_t GetKeyEntryAddress(const uint8_t* entry) {
  uint32_t v;
  std::memcpy(&v, entry + 6, 4);
  return v;
}
inline void SetKeyEntryAddress(uint8_t* entry, uint32_t address) {
  std::memcpy(entry + 6, &address, 4);
}
// Whether key field i of the entry has a value (its bit in the bitmap).
inline bool KeyEntryHasValue(const uint8_t* entry, int i) {
  return (entry[kKeyEntryHeaderSize + i / 8] >> (7 - i % 8)) & 1;
}

class TKeyFieldItem : public host::TCollectionItem {
 public:
  using host::TCollectionItem::TCollectionItem;

  bool CaseInsensitive() const { return case_insensitive_; }
  void SetCaseInsensitive(bool value) { case_insensitive_ = value; }
  bool Descending() const { return descending_; }
  void SetDescending(bool value) { descending_ = value; }
  // The declared size: the data bytes of a string field.
  int32_t FieldSize() const { return field_size_; }
  void SetFieldSize(int32_t value) { field_size_ = value; }
  host::TFieldType DataType() const { return data_type_; }
  void SetDataType(host::TFieldType value) { data_type_ = value; }
  bool IsVariable() const { return is_variable_; }
  void SetIsVariable(bool value) { is_variable_ = value; }
  const std::string& FieldName() const { return field_name_; }
  void SetFieldName(const std::string& value) { field_name_ = value; }
  // Offsets in the record image (see internal_fields.h).
  int32_t RecBufOffset() const { return rec_buf_offset_; }
  void SetRecBufOffset(int32_t value) { rec_buf_offset_ = value; }
  int32_t NullFlagOffset() const { return null_flag_offset_; }
  void SetNullFlagOffset(int32_t value) { null_flag_offset_ = value; }
  int32_t PhysicalFieldNo() const { return physical_field_no_; }
  void SetPhysicalFieldNo(int32_t value) { physical_field_no_ = value; }
  const std::string& IndexName() const { return index_name_; }
  void SetIndexName(const std::string& value) { index_name_ = value; }
  bool Hidden() const { return hidden_; }
  void SetHidden(bool value) { hidden_ = value; }
  // 0 = the field has no length marker.
  int32_t SizeMarkerOffset() const { return size_marker_offset_; }
  void SetSizeMarkerOffset(int32_t value) { size_marker_offset_ = value; }
  int32_t KeyIndex() const { return key_index_; }
  void SetKeyIndex(int32_t value) { key_index_ = value; }

  // From a TKeyFieldItem: all thirteen properties; else the inherited rule.
  void Assign(const host::TPersistent& source) override;

  // All thirteen are published, in the order above.
  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 private:
  bool case_insensitive_ = false;
  bool descending_ = false;
  int32_t field_size_ = 0;
  host::TFieldType data_type_ = host::ftUnknown;
  bool is_variable_ = false;
  std::string field_name_;
  int32_t rec_buf_offset_ = 0;
  int32_t null_flag_offset_ = 0;
  int32_t physical_field_no_ = 0;
  std::string index_name_;
  bool hidden_ = false;
  int32_t size_marker_offset_ = 0;
  int32_t key_index_ = 0;
};

class TKeyFields : public host::TTypedCollection<TKeyFieldItem> {
 public:
  TKeyFieldItem* GetIndex(int i) const { return Items(i); }
  void SetIndex(int i, const TKeyFieldItem& item) { Items(i)->Assign(item); }
  // The first field named `name` (without regard to case), else nullptr.
  TKeyFieldItem* FindField(const std::string& name) const;
  // How many fields belong to the index `indexName` (without regard to case).
  int FindFieldCountForIndex(const std::string& indexName) const;

  // The size of the presence bitmap: key field count div 8 + 1, as the index
  // definition stores it (its KeyDataOffset).
  int32_t DataOffset() const { return data_offset_; }
  void SetDataOffset(int32_t value) { data_offset_ = value; }

 private:
  int32_t data_offset_ = 0;
};

// The presence bitmap size for `keyFieldCount` fields.
inline int CalculateKeyDataOffset(int keyFieldCount) {
  return keyFieldCount / 8 + 1;
}

// The most bytes one field of `type` takes in a key image: its core size
// (CalculateCoreDataSize) plus, for ftString and ftWideString, fieldSize (the
// declared data bytes). Types that cannot be keyed raise as
// CalculateCoreDataSize does.
int CalculateKeyFieldSize(host::TFieldType type, int fieldSize);

// 10 + the sum of CalculateKeyFieldSize over the key fields. An index's
// MaximumKeySize is this plus its KeyDataOffset.
int CalculateMaximumKeySize(const TKeyFields& keyFields);

class TOptimizedSearchKey;

class TKeyFormat {
 public:
  TKeyFormat() = default;
  TKeyFormat(const TKeyFormat&) = delete;
  TKeyFormat& operator=(const TKeyFormat&) = delete;

  // Takes one index's key description. Refuses (8581 "KeyBuffers invalid") an
  // empty key, a bitmap (keyFields.DataOffset) too small for the fields,
  // negative offsets or string sizes, and a maximumKeySize that cannot hold
  // the largest key or does not fit the 16-bit entry length; a field type that
  // cannot be keyed raises 8581 "Field type not found: <type>". Fixed-size
  // fields take their type's size whatever their FieldSize says.
  void Open(const TKeyFields& keyFields, int maximumKeySize, TIndexKeyType keyType,
            TDBStringCompare stringCompare);
  void Close();
  bool IsOpen() const { return !fields_.empty(); }

  int KeyFieldCount() const { return static_cast<int>(fields_.size()); }
  int DataOffset() const { return data_offset_; }
  int MaximumKeySize() const { return maximum_key_size_; }
  TIndexKeyType KeyType() const { return key_type_; }
  TDBStringCompare StringCompare() const { return string_compare_; }

  // Builds the key of `record` into `entry` (MaximumKeySize bytes, zeroed
  // first) and sets the entry's length; count and address stay 0 for the
  // caller. A field has a value only when its null flag is exactly 1. A
  // string length marker above the field's size (a damaged record) raises
  // 8581. Returns the entry length.
  int ConstructKeyBufFromRecBuf(const uint8_t* record, uint8_t* entry) const;

  // Builds a key from host values: `values` is one value (for the first key
  // field) or an array with one element per leading key field; Null, and
  // fields beyond the array, have no value. Text longer than the field is cut
  // to the field's size. A type that cannot be keyed raises 10000. Returns
  // the entry length.
  int ConstructKeyBufFromVariants(const host::Variant& values, uint8_t* entry) const;

  // The order of entryA against entryB: negative, 0 or positive. Compares the
  // first keyFieldCount fields (all when it is below 1 or above the count),
  // so a prefix of the fields gives a partial compare. An entry whose length
  // exceeds MaximumKeySize, or whose data runs past its length, raises 8581
  // "KeySize out of range".
  int CompareKeys(int keyFieldCount, const uint8_t* entryA, TFieldComparisonValues markersA,
                  const uint8_t* entryB, TFieldComparisonValues markersB) const;

  // The same order, with the unpacked search key as the first key and an
  // entry without markers as the second. TOptimizedCompare does the same
  // for many entries.
  int CompareToOptimizedKey(int keyFieldCount, const TOptimizedSearchKey& key,
                            const uint8_t* entry) const;

  // Diagnostics: "Size=", "Count=", "Addr=" lines, then one line per key
  // field ("NULL" for no value). An entry longer than MaximumKeySize raises
  // 8581 "Invalid key size: <size>".
  void DecodeKeyBufAsStrings(const uint8_t* entry, host::TStrings& lines) const;

  // One key field as the hot path needs it.
  struct TField {
    host::TFieldType DataType;
    bool IsString;  // ftString or ftWideString: length word, then data
    bool CaseInsensitive;
    bool Descending;
    int32_t DataSize;  // fixed fields: the value's bytes; strings: the most data bytes
    int32_t RecBufOffset;
    int32_t NullFlagOffset;
    int32_t SizeMarkerOffset;
    // How the hot path compares two values (set at Open): a 32-bit integer
    // or ANSI text under the engine's own collation compared inline, the
    // rest through CompareValues.
    enum TCompareKind : uint8_t { ckOther, ckInt32, ckAnsiStr, ckAnsiText };
    TCompareKind Kind;
  };
  const TField& Field(int i) const { return fields_[static_cast<size_t>(i)]; }

 private:
  friend class TOptimizedSearchKey;
  friend class TOptimizedCompare;
  // Fields from..n-1 of key against the entry (len bytes, field from's
  // data at pos): CompareToOptimizedKey's loop.
  int CompareFieldsFrom(int from, int n, const TOptimizedSearchKey& key, const uint8_t* entry,
                        int len, int pos) const;
  [[noreturn]] static void RaiseEntryDamaged(const char* caller);
  // The record's length marker for field f, checked against its size.
  int RecordDataSize(const TField& f, const uint8_t* record, const char* caller) const;
  int CompareValues(const TField& f, const uint8_t* a, int lenA, const uint8_t* b, int lenB) const;
  int FinishEntry(uint8_t* entry, int position) const;

  std::vector<TField> fields_;
  int data_offset_ = 0;
  int maximum_key_size_ = 0;
  TIndexKeyType key_type_ = ikFixed;
  TDBStringCompare string_compare_ = nullptr;
};

// An entry's length, checked before anything of it is read: no longer than
// the format allows, and long enough for its bitmap (8581 "KeySize out of
// range" otherwise).
int CheckedEntryLength(const TKeyFormat& format, const uint8_t* entry, const char* caller);
// The data of field f at `pos` of an entry of `len` bytes, bounded by that
// length: a damaged string length must not lead a read past the entry
// (8581 "KeySize out of range"). `pos` moves past the field.
void ReadEntryField(const TKeyFormat::TField& f, const uint8_t* entry, int len, int& pos,
                    const uint8_t*& data, int& size, const char* caller);

// A search key unpacked field by field, so that the many compares of one
// descent do not parse the key again. Sized from the key it is loaded from,
// so it holds any number of key fields; reloading a key of no more fields
// allocates nothing.
class TOptimizedSearchKey {
 public:
  TOptimizedSearchKey() = default;
  TOptimizedSearchKey(const TOptimizedSearchKey&) = delete;
  TOptimizedSearchKey& operator=(const TOptimizedSearchKey&) = delete;

  // Load from a record image / an index entry: every slot, size, marker and
  // presence flag is cleared first. Strings point into `record` / `entry`.
  // Damage raises as ConstructKeyBufFromRecBuf / CompareKeys do.
  void SetDataFromRecBuf(const TKeyFormat& keyFields, TFieldComparisonValues markers,
                         const uint8_t* record);
  void SetDataFromKeyBuf(const TKeyFormat& keyFields, TFieldComparisonValues markers,
                         const uint8_t* keyEntry);

  int FieldCount() const { return count_; }
  // Field i's data: the value's bytes for a fixed-size field, the characters
  // for a string.
  const uint8_t* GetData(int i) const;
  int32_t GetDataSize(int i) const { return Slot(i).Size; }
  // -1 (before every value), 0 (by value) or +1 (after every value).
  int32_t GetComparisonMarker(int i) const { return Slot(i).Marker; }
  // True when field i has a value.
  bool GetNullFlags(int i) const { return Slot(i).Present; }

 private:
  friend class TKeyFormat;
  friend class TOptimizedCompare;
  struct TSlot {
    uint8_t Data[8];
    const uint8_t* Chars;
    int32_t Size;
    int32_t Marker;
    bool Present;
  };
  const TSlot& Slot(int i) const;
  void Reset(const TKeyFormat& keyFields, TFieldComparisonValues markers);

  std::vector<TSlot> slots_;
  int count_ = 0;
};

// CompareToOptimizedKey set up once for the many entries of one search: the
// checks that do not depend on the entry are made here, and a first key
// field that is a 32-bit integer or ANSI text is compared inline. The key
// and the format must outlive it and stay unchanged.
class TOptimizedCompare {
 public:
  TOptimizedCompare(const TKeyFormat& format, int keyFieldCount, const TOptimizedSearchKey& key);

  // The order of the key against the entry: negative, 0 or positive.
  int operator()(const uint8_t* entry) const {
    const int len = GetKeyEntryLength(entry);
    if (len > max_len_ || len < first_pos_) [[unlikely]]
      TKeyFormat::RaiseEntryDamaged(kCaller);
    if (first_ == kGeneral) return format_.CompareFieldsFrom(0, n_, key_, entry, len, first_pos_);
    // The key has a value for field 0 and no marker.
    if (!((entry[kKeyEntryHeaderSize] >> 7) & 1)) return descending_ ? -1 : 1;
    int r;
    int pos = first_pos_;
    if (first_ == kInt32) {
      if (pos + 4 > len) [[unlikely]]
        TKeyFormat::RaiseEntryDamaged(kCaller);
      int32_t v;
      std::memcpy(&v, entry + pos, 4);
      r = int_ < v ? -1 : (int_ > v ? 1 : 0);
      pos += 4;
    } else {
      if (pos + 2 > len) [[unlikely]]
        TKeyFormat::RaiseEntryDamaged(kCaller);
      const int size = entry[pos] | (entry[pos + 1] << 8);
      pos += 2;
      if (size > len - pos) [[unlikely]]
        TKeyFormat::RaiseEntryDamaged(kCaller);
      r = collate_(chars_, chars_size_, reinterpret_cast<const char*>(entry + pos),
                   static_cast<size_t>(size));
      r = r < 0 ? -1 : (r > 0 ? 1 : 0);
      pos += size;
    }
    if (r != 0) return descending_ ? -r : r;
    return n_ > 1 ? format_.CompareFieldsFrom(1, n_, key_, entry, len, pos) : 0;
  }

 private:
  // A node search runs the integer compare inline over its fixed entries.
  friend class TNode;
  static constexpr const char* kCaller = "TBTree.CompareToOptimizedKey";
  enum TFirst : uint8_t { kGeneral, kInt32, kText };
  const TKeyFormat& format_;
  const TOptimizedSearchKey& key_;
  int n_;
  int max_len_;
  int first_pos_;  // where field 0's data starts; also the shortest entry
  TFirst first_ = kGeneral;
  bool descending_ = false;
  int32_t int_ = 0;
  const char* chars_ = nullptr;
  size_t chars_size_ = 0;
  int (*collate_)(const char*, size_t, const char*, size_t) = nullptr;
};

}  // namespace tav
