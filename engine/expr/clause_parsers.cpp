#include "engine/expr/clause_parsers.h"

#include "host/rtl/sys_utils.h"

namespace tav {

namespace {

// The value of a number token that must be a whole number at least `least`;
// false for anything else (a fraction, "1.2.3", a value past 32 bits).
bool WholeNumber(const TParserToken* token, int32_t least, int32_t& value) {
  return token != nullptr && token->Token == tstNumber && host::TryStrToInt(token->Text, value) &&
         value >= least;
}

bool IsSortDirection(TTavSQLToken t) { return t == tstAscending || t == tstDescending; }

}  // namespace

// ---- ORDER BY ----

TOrderByItem* TOrderByItems::AddOrderByItem(int32_t fieldIndex, const std::string& sortKey,
                                            bool descending) {
  TOrderByItem* item = Add();
  item->FieldIndex = fieldIndex;
  item->SortKey = sortKey;
  item->Descending = descending;
  return item;
}

TTavOrderByParser::TTavOrderByParser() {
  SetEndTokens({tstUnknown, tstGroupBy, tstHaving, tstOrderBy, tstEnd});
}

bool TTavOrderByParser::ExecuteOrderBy(TOrderByItems& items, TParserStack* stack) {
  items.Clear();
  if (stack == nullptr) return true;
  Execute(TTavParserOptions{tpoExtSyntax}, stack);
  // An item ends at a comma, a sort direction or where the clause ends (a
  // FROM is left to the caller).
  const auto itemEnd = [this] {
    const TTavSQLToken t = CurrentTokenType();
    return CurrentToken == nullptr || t == tstComma || IsSortDirection(t) || t == tstEnd ||
           t == tstFrom || EndTokens.Contains(t);
  };
  while (!HasParseError() && !itemEnd()) {
    if (CurrentTokenType() == tstNumber) {
      int32_t index = 0;
      if (!WholeNumber(CurrentToken, 1, index)) {
        SetError(CurrentToken, "Invalid token");
        break;
      }
      NextToken();
      items.AddOrderByItem(index, std::string(), CurrentTokenType() == tstDescending);
    } else {
      // A lone word is kept as its text (dequoted); a longer item as the
      // source text of its tokens.
      const TTavSQLToken after = PeekAtTokenType(0);
      const bool single = Stack->PeekAt(0) == nullptr || IsSortDirection(after) ||
                          after == tstEnd || after == tstComma;
      std::string key = single ? CurrentToken->Text : CurrentToken->RawTokenText;
      NextToken();
      while (!itemEnd()) {
        key += CurrentToken->RawTokenText;
        NextToken();
      }
      items.AddOrderByItem(0, host::Trim(key), CurrentTokenType() == tstDescending);
    }
    if (IsSortDirection(CurrentTokenType())) NextToken();
    // Items are separated by commas: anything else ends the list.
    if (CurrentTokenType() != tstComma) break;
    NextToken();
  }
  if (CurrentToken != nullptr && CurrentTokenType() != tstFrom && CurrentTokenType() != tstEnd)
    SetError(CurrentToken, "Order By clause incorrectly terminated");
  return !HasParseError();
}

// ---- GROUP BY ----

TTavGroupByParser::TTavGroupByParser() {
  SetEndTokens({tstUnknown, tstHaving, tstUnion, tstOrderBy, tstEnd});
}

bool TTavGroupByParser::ExecuteGroupBy(TGroupByItems& items, TParserStack* stack) {
  items.Clear();
  if (stack == nullptr) return true;
  Execute(TTavParserOptions{tpoExtSyntax}, stack);
  while (!HasParseError() && !AtEndToken()) {
    TGroupByItem* item = items.Add();
    if (CurrentTokenType() == tstTableName) {
      item->TableName = CurrentToken->Text;
      NextToken();
    }
    if (CurrentTokenType() == tstFieldName) {
      item->FieldName = CurrentToken->Text;
      NextToken();
    }
    if (item->FieldName.empty()) {
      SetError(CurrentToken, "invalid column name descriptor");
      break;
    }
    // Items are separated by commas: anything else ends the list.
    if (CurrentTokenType() != tstComma) break;
    NextToken();
    if (CurrentTokenType() == tstComma) SetError(CurrentToken, "missing column name descriptor");
  }
  if (!AtEndToken()) SetError(CurrentToken, "Group By clause incorrectly terminated");
  return !HasParseError();
}

// ---- data types ----

bool TTavDataTypeParser::Execute(TTavParserOptions, TParserStack* stack) {
  InvalidDataTypes = {tstAutoInc};
  Scale = 0;
  FieldSize = 0;
  DataType = host::ftUnknown;
  AllowConstraints = false;
  NotNull = false;
  if (stack != nullptr) TBaseParser::Execute(TTavParserOptions{tpoExtSyntax}, stack);
  return !HasParseError();
}

void TTavDataTypeParser::SetDefaultsForDataType(host::TFieldType type) {
  Scale = 0;
  FieldSize = type == host::ftString ? 1 : 0;
}

namespace {

host::TFieldType TypeOfToken(const TParserToken* token) {
  if (token == nullptr) return host::ftUnknown;
  switch (token->Token) {
    case tstChar:
    case tstVarChar: return host::ftString;
    case tstInt: return host::ftInteger;
    case tstSmallInt: return host::ftSmallint;
    case tstDate: return host::ftDate;
    case tstTime: return host::ftTime;
    case tstTimeStamp: return host::ftDateTime;
    case tstDecimal:
    case tstNumeric: return host::ftFloat;
    case tstBoolean: return host::ftBoolean;
    case tstMoney: return host::ftCurrency;
    case tstBlob: return host::ftBlob;
    case tstAutoInc: return host::ftAutoInc;
    // The type names that are no keywords (DEC, REAL, DOUBLE PRECISION)
    // carry the type the name mapper gave them.
    case tstDataType:
      return token->CustomOrdinal == host::ftFloat ? host::ftFloat : host::ftUnknown;
    default: return host::ftUnknown;
  }
}

bool IsBlobType(host::TFieldType t) { return t >= host::ftBlob && t <= host::ftFmtMemo; }

}  // namespace

bool TTavDataTypeParser::ParseDataType(TBaseParser* parser) {
  const size_t start = ParsedText.size();
  Scale = -1;
  FieldSize = 0;
  NotNull = false;
  const host::TFieldType type = TypeOfToken(CurrentToken);
  if (type == host::ftUnknown) {
    SetError(CurrentToken, "Unknown Datatype");
  } else if (InvalidDataTypes.Contains(CurrentTokenType())) {
    SetError(CurrentToken, "Data type is invalid");
  } else {
    DataType = type;
    SetDefaultsForDataType(type);
    NextToken();
    ParseSizeAndScale();
    if (!HasParseError() && DataType == host::ftBlob) {
      if (Scale == 1) DataType = host::ftMemo;
      if (Scale == 3) DataType = host::ftFmtMemo;
      if (Scale == 5) DataType = host::ftGraphic;
    }
    if (!HasParseError() && AllowConstraints && CurrentTokenType() == tstNot) {
      NextToken();
      if (CurrentTokenType() == tstNull) {
        NotNull = true;
        NextToken();
      } else {
        SetError(CurrentToken, "Invalid token");
      }
    }
  }
  if (parser != nullptr) parser->ResumeAfter(*this, start);
  return !HasParseError();
}

void TTavDataTypeParser::ParseSizeAndScale() {
  const bool takesSize = DataType == host::ftString || DataType == host::ftFloat ||
                         DataType == host::ftTime || DataType == host::ftTimeStamp ||
                         IsBlobType(DataType);
  if (!takesSize || CurrentTokenType() != tstLParen) return;
  NextToken();
  int32_t value = 0;
  if (!WholeNumber(CurrentToken, 0, value)) {
    SetError(CurrentToken, "Data type length/precision not specified");
    return;
  }
  FieldSize = value;
  NextToken();
  if ((DataType == host::ftFloat || IsBlobType(DataType)) && CurrentTokenType() == tstComma) {
    NextToken();
    if (!WholeNumber(CurrentToken, 0, value)) {
      SetError(CurrentToken, "Data type scale invalid");
      return;
    }
    Scale = value;
    NextToken();
  }
  if (CurrentTokenType() != tstRParen) {
    SetError(CurrentToken, "Missing Right Parenthesis");
    return;
  }
  NextToken();
}

}  // namespace tav
