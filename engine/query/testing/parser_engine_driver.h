// Test support: what the query provider does with the parser engine, until
// it exists. The driver calls the engine's clause operations in the order of
// the statement's type, fills the table list's fields from the tables it
// knows, runs the select analyser, parses each subquery with its nested
// engine (the SELECT order; the WHERE of an UPDATE or DELETE in WHERE-only
// form over the target table), resolves columns of outer queries and
// reports the first error as the provider item would.
// Header-only, so that nothing of it enters the library.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/query/parse/parser_engine.h"
#include "engine/query/parse/select_analyser.h"
#include "engine/query/testing/query_test_support.h"
#include "host/rtl/sys_utils.h"

namespace tav::testing {

class TParserEngineDriver {
 public:
  // A table the statements may name, with its columns.
  void AddTable(const std::string& name, const std::vector<TQueryColumn>& columns) {
    TTableList scratch;
    AddQueryTable(scratch, name, "", columns);
    tables_[host::AnsiUpperCase(name)].Assign(scratch.Items(0)->TableFields());
  }

  // Parses the statement; the error text as the provider item would report
  // it ("" on success).
  std::string Parse(const std::string& text) {
    error_.clear();
    subqueries_ = 0;
    Nested.clear();
    outer_.clear();
    Analyser = std::make_unique<TTavSelectAnalyser>();
    engine_.PreParseSQL(text);
    Attach(engine_, nullptr);
    bool ok = ParseStatement(engine_, false);
    if (ok && subqueries_ == 0 && !engine_.CheckNoTokensRemain()) {
      error_ = "Unrecognized tokens beyond end of statement: " + engine_.GetCurrentPreParserTokenAsErrorFmt();
      ok = false;
    }
    return ok ? std::string() : error_;
  }

  TTavParserEngine& Engine() { return engine_; }
  int Subqueries() const { return subqueries_; }
  // Each subquery's engine after its parse, outermost first.
  std::vector<TTavParserEngine*> Nested;
  // The select analyser of the outer statement.
  std::unique_ptr<TTavSelectAnalyser> Analyser = std::make_unique<TTavSelectAnalyser>();

 private:
  bool Fail(const std::string& text) {
    if (error_.empty()) error_ = text;
    return false;
  }

  // Every table of the list gets its fields; an unknown table fails.
  bool SetUpTables(TTableList& list) {
    for (int i = 0; i < list.Count(); ++i) {
      auto it = tables_.find(host::AnsiUpperCase(list.Items(i)->TableName()));
      if (it == tables_.end()) return Fail("Table not found: " + list.Items(i)->TableName());
      list.Items(i)->SetTableFields(&it->second);
    }
    return true;
  }

  bool ParseSelect(TTavParserEngine& e, TTavSelectAnalyser& analyser) {
    if (!e.ParseFromClause()) return Fail(e.ErrorText());
    if (!SetUpTables(e.TableList())) return false;
    if (!(e.ParseSelectClause() && e.ParseWhereClause() && e.ParseGroupByClause() &&
          e.ParseHavingClause()))
      return Fail(e.ErrorText());
    analyser.SetIsDistinct(e.SelectParser().IsDistinct);
    if (!analyser.CheckSelect(e.SelectParser().First(), &e.TableList()) ||
        !analyser.CheckGroupedColumns(&e.GroupByItems()) ||
        !analyser.CheckHavingExpr(e.HavingExpr()))
      return Fail(analyser.Message);
    if (!e.ParseOrderByClause()) return Fail(e.ErrorText());
    return true;
  }

  bool ParseStatement(TTavParserEngine& e, bool whereOnly) {
    if (whereOnly) {
      if (!SetUpTables(e.TableList())) return false;
      if (!e.ParseWhereClause() || !e.ParseOrderByClause()) return Fail(e.ErrorText());
      if (!e.CheckParseDone()) return Fail("Unrecognized tokens beyond end of statement: " +
                                           e.GetCurrentPreParserTokenAsErrorFmt());
      return true;
    }
    switch (e.GetSQLStatementType()) {
      case tsSQLSelect: {
        TTavSelectAnalyser nestedAnalyser;
        return ParseSelect(e, &e == &engine_ ? *Analyser : nestedAnalyser);
      }
      case tsSQLInsert: return e.ParseInsertStatement() || Fail(e.ErrorText());
      case tsSQLDelete: return e.ParseDeleteStatement() || Fail(e.ErrorText());
      case tsSQLUpdate:
        // As the provider item does: the target's fields are known before SET is read.
        e.UpdateParser().SetTableListValidateEvent([this](TTableList& tables) { return SetUpTables(tables); });
        return e.ParseUpdateStatement() || Fail(e.ErrorText());
      case tsSchemaManipulation: return e.ParseSchemaManipulationStatement() || Fail(e.ErrorText());
      default:
        return Fail("Unrecognised SQL statement type " + e.GetCurrentPreParserTokenAsErrorFmt());
    }
  }

  void Attach(TTavParserEngine& e, TTavParserEngine* outer) {
    outer_[&e] = outer;
    e.SetParserEngineNotifyEvent([this, &e](TParserNotifyType type, TTavParserEngine* nested,
                                            TTavExprNode* node, host::Variant& value) {
      if (type == pntFindTableRef) {
        FindOuterTable(outer_[&e], node, value);
        return;
      }
      ++subqueries_;
      Nested.push_back(nested);
      Attach(*nested, &e);
      const bool whereOnly = node->ParserToken.Token == tstWhere;
      std::string saved;
      saved.swap(error_);
      if (whereOnly) {
        nested->TableList().Assign(e.TableList());
      } else {
        nested->SetIsSubquery(true);
      }
      const bool ok = ParseStatement(*nested, whereOnly);
      // The nested engine reports through its error text, as the provider's
      // subquery item does.
      if (!ok) nested->SetErrorText(error_);
      error_.swap(saved);
    });
  }

  // A column of an outer query: the first outer statement whose table list
  // holds the qualifier.
  void FindOuterTable(TTavParserEngine* outer, TTavExprNode* node, host::Variant& value) {
    const std::string name = host::VarToStr(value);
    for (TTavParserEngine* e = outer; e != nullptr; e = outer_[e]) {
      if (const TTableNameItem* item = e->TableList().FindTable(name)) {
        node->TableList.Add()->Assign(*item);
        value = host::Variant(true);
        return;
      }
    }
  }

  std::map<std::string, TInternalFields> tables_;
  std::map<TTavParserEngine*, TTavParserEngine*> outer_;
  TTavParserEngine engine_;
  std::string error_;
  int subqueries_ = 0;
};

}  // namespace tav::testing
