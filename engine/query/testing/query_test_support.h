// Test support for the statement parsers of engine/query: a statement cut
// into the one stack the parser engine reads, the statement's table list as
// the query engine fills it (tables with their fields and privilege bits),
// and a stand-in for the parser engine's reading of subqueries.
// Header-only, so that nothing of it enters the library.
#pragma once

#include <string>
#include <vector>

#include "engine/expr/base_parser.h"
#include "engine/expr/pre_parser.h"
#include "engine/expr/table_list.h"
#include "engine/expr/testing/expr_test_support.h"
#include "engine/storage/record/internal_fields.h"
#include "engine/storage/table/privileges.h"
#include "host/rtl/string_list.h"

namespace tav::testing {

// The statement in single-stack mode, positioned at the clause `section`
// (at its keyword when the statement starts with it).
inline TParserStack* StatementStack(TTavPreParser& pre, const std::string& text,
                                    TTavSQLToken section) {
  pre.SetText(text);
  pre.SetParseSingleStack(true);
  pre.PreParseTokens();
  return pre.GetSection(section, nullptr);
}

struct TQueryColumn {
  std::string Name;
  host::TFieldType Type = host::ftInteger;
  bool Readable = true;  // the user's read privilege on the field
};

// A table of the statement with its fields, as the query engine fills the
// table list; strings hold 20 characters.
inline TTableNameItem* AddQueryTable(TTableList& list, const std::string& table,
                                     const std::string& alias,
                                     const std::vector<TQueryColumn>& columns) {
  TInternalFields fields;
  int no = 1;
  for (const TQueryColumn& c : columns) {
    TInternalFieldItem* f = fields.Add();
    f->SetFieldName(c.Name);
    f->SetDataType(c.Type);
    f->SetFieldNo(no++);
    if (c.Type == host::ftString) {
      f->SetFieldSize(21);
      f->SetIsVariable(true);
    }
    f->SetPrivilegeFlags(c.Readable ? MapObjectPrivTypeToConst(opReadData) : 0);
  }
  TTableNameItem* item = list.Add();
  item->SetTableName(table);
  item->SetCorrelationName(alias);
  item->SetTableFields(&fields);
  return item;
}

// What the parser engine does with a subquery a statement parser hands
// over: counts it and reads its tokens, leaving the parser after them.
struct TSubqueryReader {
  int Calls = 0;
  std::vector<std::string> Texts;  // the subquery nodes' values
  TParserNotifyEvent Handler() {
    return [this](TParserNotifyType type, TBaseParser* parser, TParserStack* stack,
                  TTavExprNode* node, host::Variant&) {
      if (type != pntSubquery) return;
      ++Calls;
      Texts.push_back(host::VarToStr(node->Data));
      SkipSubquery(parser, stack);
    };
  }
};

}  // namespace tav::testing
