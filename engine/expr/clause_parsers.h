// The small clause parsers: the ORDER BY list, the GROUP BY list and an SQL
// data type with its size, scale and NOT NULL constraint. Each reads one token
// stack of the pre-parser and fills a plain result; errors are recorded with
// SetError (first error wins), never raised: a malformed number is an error
// at its token, not a conversion exception.
//
// The data type parser also serves other parsers in the middle of their
// stack (CAST, column definitions): the caller hands its position over with
// SyncCurrToken, runs Execute on the same stack and then ParseDataType, which
// hands the position (and the raw texts read) back to the caller.
#pragma once

#include <cstdint>
#include <string>

#include "engine/expr/base_parser.h"
#include "host/db/field_types.h"
#include "host/rtl/collection.h"

namespace tav {

class TOrderByItem : public host::TCollectionItem {
 public:
  using host::TCollectionItem::TCollectionItem;

  bool Descending = false;
  int32_t FieldIndex = 0;  // 1-based result column; 0 for an expression
  std::string SortKey;     // the item's source text
};

class TOrderByItems : public host::TTypedCollection<TOrderByItem> {
 public:
  TOrderByItem* AddOrderByItem(int32_t fieldIndex, const std::string& sortKey, bool descending);
};

class TGroupByItem : public host::TCollectionItem {
 public:
  using host::TCollectionItem::TCollectionItem;

  std::string FieldName;
  std::string TableName;       // the qualifier, or empty
  int32_t ResultSetIndex = 0;  // set by the query analyser
};

using TGroupByItems = host::TTypedCollection<TGroupByItem>;

class TTavOrderByParser : public TBaseParser {
 public:
  TTavOrderByParser();
  // Clears `items`, then reads the list; without a stack true with no items.
  bool ExecuteOrderBy(TOrderByItems& items, TParserStack* stack);
};

class TTavGroupByParser : public TBaseParser {
 public:
  TTavGroupByParser();
  bool ExecuteGroupBy(TGroupByItems& items, TParserStack* stack);
};

class TTavDataTypeParser : public TBaseParser {
 public:
  // Refuses AUTOINC from now on and resets the result; with a stack, takes
  // it with {tpoExtSyntax} (reading the first token unless one was handed
  // over).
  bool Execute(TTavParserOptions options, TParserStack* stack) override;
  // Parses a type from the current token. When `parser` is given, it
  // continues after the type (ResumeAfter) whether or not the parse failed;
  // its error, if any, is the caller's to take over.
  bool ParseDataType(TBaseParser* parser);

  void SetAllowConstraints(bool value) { AllowConstraints = value; }
  void SetDataType(host::TFieldType value) { DataType = value; }
  void SetFieldSize(int32_t value) { FieldSize = value; }
  void SetScale(int32_t value) { Scale = value; }
  void SetNotNull(bool value) { NotNull = value; }
  void SetInvalidDataTypes(const TTavSQLTokens& value) { InvalidDataTypes = value; }
  void SetDefaultsForDataType(host::TFieldType type);

  int32_t Scale = 0;  // also the BLOB subtype
  int32_t FieldSize = 0;
  host::TFieldType DataType = host::ftUnknown;
  TTavSQLTokens InvalidDataTypes;
  bool AllowConstraints = false;
  bool NotNull = false;

 private:
  void ParseSizeAndScale();
};

}  // namespace tav
