// Random text through the statement parsers of the query layer as the parser
// engine runs them: a SELECT's FROM clause (then its joins checked against
// tables with fields), its select list against those tables and the
// analyser's checks; INSERT, UPDATE and DELETE with their subqueries handed
// over, their validations and, for INSERT, the row prepared and read.
//
// Promises: nothing crashes, hangs, leaks or fails an assertion; every
// failure is a recorded error, and a parse fails exactly when it recorded
// one. Only reading the values of a row may raise, with the host's value
// conversion errors, as a run would.
#include <cstdint>
#include <string>

#include "engine/expr/clause_parsers.h"
#include "engine/expr/expr_parser.h"
#include "engine/expr/pre_parser.h"
#include "engine/query/parse/exec_parsers.h"
#include "engine/query/parse/from_parser.h"
#include "engine/query/parse/join_post_processor.h"
#include "engine/query/parse/select_analyser.h"
#include "engine/query/parse/select_parser.h"
#include "engine/query/testing/query_test_support.h"
#include "host/rtl/exceptions.h"
#include "fuzz_check.h"

namespace {

using namespace tav;

// Every table has the same columns: ID integer, Name string, Born date,
// Note memo and a hidden Secret.
const std::vector<testing::TQueryColumn> kColumns = {
    {"ID"}, {"Name", host::ftString}, {"Born", host::ftDate}, {"Note", host::ftMemo},
    {"Secret", host::ftInteger, false}};

void FillFields(TInternalFields& fields) {
  for (const auto& c : kColumns) {
    TInternalFieldItem* f = fields.Add();
    f->SetFieldName(c.Name);
    f->SetDataType(c.Type);
  }
}

void RunSelect(const std::string& text) {
  TTavPreParser fromPre;
  TTavFromParser from;
  const bool fromOk =
      from.Execute(TTavParserOptions{tpoExtSyntax}, testing::StatementStack(fromPre, text, tstFrom));
  FUZZ_CHECK(fromOk == !from.HasParseError());
  if (!fromOk) return;
  TTableList tables;
  for (int i = 0; i < from.TableList().Count(); ++i) {
    const TTableNameItem* item = from.TableList().Items(i);
    testing::AddQueryTable(tables, item->TableName(), item->CorrelationName(), kColumns);
  }
  TJoinPostProcessor joins(tables);
  if (!joins.Execute(from.Root())) {
    FUZZ_CHECK(!joins.ErrorMsg().empty());
    return;
  }
  TTavPreParser pre;
  TTavSelectParser select;
  select.SetTableList(&tables);
  const bool selectOk =
      select.Execute(TTavParserOptions{tpoExtSyntax}, testing::StatementStack(pre, text, tstSelect));
  FUZZ_CHECK(selectOk == !select.HasParseError());
  if (!selectOk) return;
  TTavPreParser groupPre, havingPre;
  TGroupByItems groups;
  TTavGroupByParser groupBy;
  if (!groupBy.ExecuteGroupBy(groups, testing::StatementStack(groupPre, text, tstGroupBy))) return;
  TTavExprParser having;
  having.SetEndTokens({tstOrderBy, tstEnd});
  having.SetValidEndTokens({tstOrderBy, tstEnd});
  if (!having.Execute(TTavParserOptions{tpoExtSyntax, tpoExtractAggFuncExprText},
                      testing::StatementStack(havingPre, text, tstHaving)))
    return;
  TTavSelectAnalyser analyser;
  analyser.SetIsDistinct(select.IsDistinct);
  const bool analysed = analyser.CheckSelect(select.First(), &tables) &&
                        analyser.CheckGroupedColumns(&groups) && analyser.CheckHavingExpr(having.Expr);
  FUZZ_CHECK(analysed == analyser.Message.empty() || select.First() == nullptr);
}

template <class P>
bool RunChange(P& parser, TTavPreParser& pre, const std::string& text, TTavSQLToken section) {
  parser.SetParserNotifyEvent([](TParserNotifyType, TBaseParser* p, TParserStack* stack,
                                 TTavExprNode*, host::Variant&) { testing::SkipSubquery(p, stack); });
  const bool ok = parser.Execute(TTavParserOptions{}, testing::StatementStack(pre, text, section));
  FUZZ_CHECK(ok == !parser.HasParseError());
  return ok;
}

void RunInsert(const std::string& text) {
  TTavPreParser pre;
  TTavInsertParser parser;
  if (!RunChange(parser, pre, text, tstInsert)) return;
  TInternalFields fields;
  FillFields(fields);
  if (parser.HasSelectClause) {
    parser.ValidateSelectColumns(fields, fields);
    return;
  }
  if (!parser.ValidateValueColumns(fields)) return;
  parser.Values.Prepare(nullptr);
  for (int i = 0; i < parser.Values.Count(); ++i) {
    host::Variant value;
    try {
      parser.Values.Items(i)->GetRowData(value);
    } catch (const host::EAssertionFailed&) {
      FUZZ_CHECK(false);
    } catch (const host::Exception&) {
      // A value that does not convert, as a run would meet it.
    }
  }
}

void RunUpdate(const std::string& text) {
  TTavPreParser pre;
  TTavUpdateParser parser;
  TTableList tables;
  parser.SetTables(&tables);
  TInternalFields fields;
  FillFields(fields);
  parser.SetTableListValidateEvent([&fields](TTableList& list) {
    list.Last()->SetTableFields(&fields);
    return true;
  });
  if (RunChange(parser, pre, text, tstUpdate)) parser.ValidateValueColumns(fields);
}

void RunDelete(const std::string& text) {
  TTavPreParser pre;
  TTavDeleteParser parser;
  TTableList tables;
  parser.SetTables(&tables);
  RunChange(parser, pre, text, tstDelete);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    TTavPreParser pre;
    pre.SetParseSingleStack(true);
    pre.SetText(text);
    pre.PreParseTokens();
    switch (pre.SQLStatementType()) {
      case tsSQLSelect: RunSelect(text); break;
      case tsSQLInsert: RunInsert(text); break;
      case tsSQLUpdate: RunUpdate(text); break;
      case tsSQLDelete: RunDelete(text); break;
      default: break;
    }
  } catch (...) {
    FUZZ_CHECK(false);
  }
  return 0;
}
