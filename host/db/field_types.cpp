#include "host/db/field_types.h"

#include "host/classes/prop_table.h"
#include "host/rtl/sys_utils.h"

namespace host {

const char* const FieldTypeNames[FieldTypeCount] = {
    "Unknown",     "String",    "SmallInt",  "Integer",    "Word",     "Boolean",    "Float",
    "Currency",    "BCD",       "Date",      "Time",       "DateTime", "Bytes",      "VarBytes",
    "AutoInc",     "Blob",      "Memo",      "Graphic",    "FmtMemo",  "ParadoxOle", "dBaseOle",
    "TypedBinary", "Cursor",    "FixedChar", "WideString", "Largeint", "ADT",        "Array",
    "Reference",   "DataSet",   "OraBlob",   "OraClob",    "Variant",  "Interface",  "IDispatch",
    "Guid",        "TimeStamp", "FMTBcd"};

namespace {

// The identifiers keep their own capitals, which differ from the display
// names in places ("ftSmallint" beside "SmallInt", "ftDBaseOle" beside "dBaseOle").
const char* const kFieldTypeIdents[FieldTypeCount] = {
    "ftUnknown",    "ftString",     "ftSmallint", "ftInteger",     "ftWord",      "ftBoolean",
    "ftFloat",      "ftCurrency",   "ftBCD",      "ftDate",        "ftTime",      "ftDateTime",
    "ftBytes",      "ftVarBytes",   "ftAutoInc",  "ftBlob",        "ftMemo",      "ftGraphic",
    "ftFmtMemo",    "ftParadoxOle", "ftDBaseOle", "ftTypedBinary", "ftCursor",    "ftFixedChar",
    "ftWideString", "ftLargeint",   "ftADT",      "ftArray",       "ftReference", "ftDataSet",
    "ftOraBlob",    "ftOraClob",    "ftVariant",  "ftInterface",   "ftIDispatch", "ftGuid",
    "ftTimeStamp",  "ftFMTBcd"};

}  // namespace

std::string FieldTypeName(TFieldType type) {
  return IsValidFieldType(type) ? FieldTypeNames[type] : FieldTypeNames[ftUnknown];
}

std::string FieldTypeToIdent(TFieldType type) {
  return IsValidFieldType(type) ? kFieldTypeIdents[type] : kFieldTypeIdents[ftUnknown];
}

const TEnumInfo& FieldTypeInfo() {
  static const TEnumInfo info("TFieldType",
                              std::vector<std::string>(kFieldTypeIdents, kFieldTypeIdents + FieldTypeCount));
  return info;
}

bool IdentToFieldType(std::string_view ident, TFieldType& type) {
  for (int i = 0; i < FieldTypeCount; ++i) {
    if (AnsiSameText(ident, kFieldTypeIdents[i])) {
      type = static_cast<TFieldType>(i);
      return true;
    }
  }
  return false;
}

}  // namespace host
