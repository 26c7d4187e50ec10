// Test support for the parsers of engine/expr: a statement's table list with
// one column of each type the parsers tell apart, a text cut into the one
// stack a condition is read from, a stand-in for the query engine's reading
// of subqueries, and a table for the schema statements to be checked against.
// Header-only, so that nothing of it enters the library.
#pragma once

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "engine/expr/base_parser.h"
#include "engine/expr/pre_parser.h"
#include "engine/expr/table_list.h"
#include "engine/storage/record/internal_fields.h"
#include "engine/storage/table/restructure_defs.h"
#include "host/db/index_defs.h"
#include "host/rtl/string_list.h"

namespace tav::testing {

// A table reference with columns of the given types; strings are stored
// variable, 20 characters and their terminating zero.
inline TTableNameItem* AddTestTable(
    TTableList& list, const std::string& table, const std::string& alias,
    const std::vector<std::pair<std::string, host::TFieldType>>& columns = {}) {
  TTableNameItem* item = list.Add();
  item->SetTableName(table);
  item->SetCorrelationName(alias);
  TInternalFields fields;
  for (const auto& [name, type] : columns) {
    TInternalFieldItem* f = fields.Add();
    f->SetFieldName(name);
    f->SetDataType(type);
    if (type == host::ftString) {
      f->SetFieldSize(21);
      f->SetIsVariable(true);
    }
  }
  item->SetTableFields(&fields);
  return item;
}

// Table T (no alias): I integer, N small integer, F float, C currency,
// S string(20), D date, TM time, DT date-time, L Boolean, B BLOB, M memo.
inline void AddSampleTable(TTableList& list) {
  AddTestTable(list, "T", "",
               {{"I", host::ftInteger},
                {"N", host::ftSmallint},
                {"F", host::ftFloat},
                {"C", host::ftCurrency},
                {"S", host::ftString},
                {"D", host::ftDate},
                {"TM", host::ftTime},
                {"DT", host::ftDateTime},
                {"L", host::ftBoolean},
                {"B", host::ftBlob},
                {"M", host::ftMemo}});
}

// The text as a condition: one stack of every token, the end included.
inline TParserStack* ConditionStack(TTavPreParser& pre, const std::string& text) {
  pre.SetText(text);
  pre.SetParseAsExprOnly(true);
  pre.PreParseTokens();
  return pre.GetSection(tstWhere, nullptr);
}

// What the query engine does with a subquery the expression parser meets:
// reads its tokens from `stack` up to the parenthesis that closes it and
// leaves `parser` there.
inline void SkipSubquery(TBaseParser* parser, TParserStack* stack) {
  TBaseParser reader;
  reader.Execute(TTavParserOptions{}, stack);
  int depth = 0;
  while (reader.CurrentToken != nullptr && reader.CurrentTokenType() != tstEnd) {
    if (reader.CurrentTokenType() == tstLParen) ++depth;
    if (reader.CurrentTokenType() == tstRParen && depth-- == 0) break;
    reader.NextToken();
  }
  parser->ResumeAfter(reader, 0);
}

// A table's columns and indexes as a schema statement is checked against
// them (fields, index definitions) and as its restructure definitions start
// (each field its own source). Strings are 20 characters.
struct TSchemaTestTable {
  TSchemaTestTable(
      const std::vector<std::pair<std::string, host::TFieldType>>& columns,
      const std::vector<std::tuple<std::string, std::string, host::TIndexOptions>>& keys) {
    for (const auto& [name, type] : columns) {
      TInternalFieldItem* f = fields.Add();
      f->SetFieldName(name);
      f->SetDataType(type);
      if (type == host::ftString) f->SetFieldSize(20);
      fieldDefs.AddAndSetFieldDef(name, type, f->FieldSize())->SetSourceFieldName(name);
    }
    for (const auto& [name, keyFields, options] : keys) {
      indexes.Add(name, keyFields, options);
      indexDefs.AddAndSetIndexDef(name, keyFields, options);
    }
  }
  TInternalFields fields;
  host::TIndexDefs indexes;
  TRestructureFieldDefs fieldDefs;
  TRestructureIndexDefs indexDefs;
};

inline std::vector<std::string> Lines(const host::TStrings& list) {
  std::vector<std::string> out;
  out.reserve(static_cast<size_t>(list.Count()));
  for (int i = 0; i < list.Count(); ++i) out.push_back(list.Strings(i));
  return out;
}

}  // namespace tav::testing
