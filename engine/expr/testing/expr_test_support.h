// Test support for the parsers of engine/expr: a statement's table list with
// one column of each type the parsers tell apart, and a text cut into the
// one stack a condition is read from. Header-only, so that nothing of it
// enters the library.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "engine/expr/pre_parser.h"
#include "engine/expr/table_list.h"
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

inline std::vector<std::string> Lines(const host::TStrings& list) {
  std::vector<std::string> out;
  out.reserve(static_cast<size_t>(list.Count()));
  for (int i = 0; i < list.Count(); ++i) out.push_back(list.Strings(i));
  return out;
}

}  // namespace tav::testing
