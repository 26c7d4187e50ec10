// TFieldType: the dataset framework's field types. The ordinals are fixed: they
// are stored in files (record layouts, key descriptions) as one byte, so a
// value read back must be checked with IsValidFieldType before it is cast.
//
// Each type has an identifier ("ftBCD"), used wherever a type is stored as
// text, and a display name ("BCD"), which is the host's name of the type in
// every message.
#pragma once

#include <string>
#include <string_view>

namespace host {

class TEnumInfo;

enum TFieldType : unsigned char {
  ftUnknown = 0,
  ftString = 1,
  ftSmallint = 2,
  ftInteger = 3,
  ftWord = 4,
  ftBoolean = 5,
  ftFloat = 6,
  ftCurrency = 7,
  ftBCD = 8,
  ftDate = 9,
  ftTime = 10,
  ftDateTime = 11,
  ftBytes = 12,
  ftVarBytes = 13,
  ftAutoInc = 14,
  ftBlob = 15,
  ftMemo = 16,
  ftGraphic = 17,
  ftFmtMemo = 18,
  ftParadoxOle = 19,
  ftDBaseOle = 20,
  ftTypedBinary = 21,
  ftCursor = 22,
  ftFixedChar = 23,
  ftWideString = 24,
  ftLargeint = 25,
  ftADT = 26,
  ftArray = 27,
  ftReference = 28,
  ftDataSet = 29,
  ftOraBlob = 30,
  ftOraClob = 31,
  ftVariant = 32,
  ftInterface = 33,
  ftIDispatch = 34,
  ftGuid = 35,
  ftTimeStamp = 36,
  ftFMTBcd = 37,
};

inline constexpr int FieldTypeCount = 38;

// Whether `ordinal` (read from a file, say) names a field type.
constexpr bool IsValidFieldType(int ordinal) {
  return ordinal >= 0 && ordinal < FieldTypeCount;
}

// The display names, indexed by ordinal ("Unknown", "String", "SmallInt", ...).
extern const char* const FieldTypeNames[FieldTypeCount];

// The display name of `type` ("BCD"); an ordinal out of range gives "Unknown".
std::string FieldTypeName(TFieldType type);

// The identifier of `type` ("ftBCD"); an ordinal out of range gives "ftUnknown".
std::string FieldTypeToIdent(TFieldType type);

// The type whose identifier is `ident` (compared without regard to case, as
// identifiers are read back from text). False when there is none.
bool IdentToFieldType(std::string_view ident, TFieldType& type);

// TFieldType as an enumeration type of published properties, by identifier.
const TEnumInfo& FieldTypeInfo();

}  // namespace host
