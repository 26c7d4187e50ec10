// TTavParserEngine drives the parsing of one SQL statement: it owns two
// pre-parses of the statement's text (one read by the FROM pass only), the
// statement's table list and one parser per clause or statement kind, and
// offers one operation per clause. Its owner calls the operations in the
// order of the statement's type (the SELECT order: FROM, then SELECT,
// WHERE, GROUP BY, HAVING, ORDER BY) and reads the error text after each.
// Parse failures are state: every operation says whether it parsed, and the
// failing parser's message is in ErrorText.
//
// A subquery in a WHERE or HAVING condition, or in an INSERT, UPDATE or
// DELETE statement, is handed to the owner's notify event with a nested
// engine that reads the outer statement's remaining tokens; the owner parses
// it there (the SELECT order), and the outer parser then goes on after the
// tokens the nested engine consumed.
//
// Callers must keep:
//  - The engine outlives every tree made from its tokens, and so do the
//    nested engines it made (it keeps them until the next PreParseSQL or its
//    end).
//  - The notify event, when set, parses the nested engine it is given and
//    leaves its ErrorText empty only on success.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/expr/base_parser.h"
#include "engine/expr/clause_parsers.h"
#include "engine/expr/expr_parser.h"
#include "engine/expr/pre_parser.h"
#include "engine/expr/schema_parser.h"
#include "engine/expr/table_list.h"
#include "engine/query/parse/exec_parsers.h"
#include "engine/query/parse/from_parser.h"
#include "engine/query/parse/select_parser.h"

namespace host {
class TStrings;
}

namespace tav {

class TTavParserEngine;

using TParserEngineNotifyEvent = std::function<void(TParserNotifyType type, TTavParserEngine* engine,
                                                    TTavExprNode* node, host::Variant& value)>;

class TTavParserEngine : public host::TObject {
 public:
  TTavParserEngine();
  TTavParserEngine(const TTavParserEngine&) = delete;
  TTavParserEngine& operator=(const TTavParserEngine&) = delete;
  ~TTavParserEngine() override;

  // Pre-parses `text` twice (single stack each) and resets the clause
  // parsers and the error text; frees the nested engines of the last
  // statement. Always true.
  bool PreParseSQL(const std::string& text);
  TTavSQLStatementType GetSQLStatementType() const { return main_.SQLStatementType(); }

  bool ParseFromClause();
  bool ParseSelectClause();
  bool ParseWhereClause();
  bool ParseGroupByClause();
  bool ParseHavingClause();
  bool ParseOrderByClause();
  bool ParseInsertStatement();
  bool ParseDeleteStatement();
  bool ParseUpdateStatement();
  bool ParseSchemaManipulationStatement();

  // True when the main token stack is empty or the WHERE parser stands on
  // the end.
  bool CheckParseDone() const;
  // Nothing but comments and the end remain.
  bool CheckNoTokensRemain() const { return main_.CheckParseComplete(); }
  // " Line %d, Character %d. Token '%s'" of the next token not read; empty
  // when none remains.
  std::string GetCurrentPreParserTokenAsErrorFmt() const;
  // The statement's parameter names, each once, in order of first
  // appearance.
  void GetParamList(host::TStrings* list);

  void SetIsSubquery(bool flag) { is_subquery_ = flag; }
  bool IsSubquery() const { return is_subquery_; }
  void SetParserEngineNotifyEvent(TParserEngineNotifyEvent handler) { notify_ = std::move(handler); }

  const std::string& ErrorText() const { return error_text_; }
  // The owner's verdict on a statement it parsed with this engine (a
  // subquery that failed past the clause parsers, say).
  void SetErrorText(const std::string& text) { error_text_ = text; }
  TTableList& TableList() { return table_list_; }
  TTavPreParser& MainPreParser() { return main_; }
  TTavFromParser& FromParser() { return from_parser_; }
  TTavExprParser& WhereParser() { return where_parser_; }
  TTavSelectParser& SelectParser() { return select_parser_; }
  TTavExprParser& HavingParser() { return having_parser_; }
  // The WHERE condition and the HAVING expression of this statement;
  // nullptr when it has none (the parsers keep their last trees).
  TTavExprNode* WhereRoot() const { return where_parsed_ ? where_parser_.Root : nullptr; }
  TTavExpr* HavingExpr() const { return having_parsed_ ? having_parser_.Expr : nullptr; }
  TOrderByItems& OrderByItems() { return order_by_items_; }
  TGroupByItems& GroupByItems() { return group_by_items_; }
  TTavInsertParser& InsertParser() { return insert_parser_; }
  TTavDeleteParser& DeleteParser() { return delete_parser_; }
  TTavUpdateParser& UpdateParser() { return update_parser_; }
  TTavSchemaManipulationParser& SchemaParser() { return schema_parser_; }
  // The parser that ran last; nullptr before any.
  TBaseParser* LastParser() const { return last_parser_; }
  bool SubqueryClosed() const { return subquery_closed_; }
  // How deep the condition around this engine's statement already stands
  // (0 for the outermost statement).
  int NestingBase() const { return nesting_base_; }

 private:
  // The notification handler of the WHERE, HAVING, INSERT, DELETE and
  // UPDATE parsers.
  void ParserCallback(TParserNotifyType type, TBaseParser* parser, TParserStack* stack,
                      TTavExprNode* node, host::Variant& value);
  void ParseSubquery(TBaseParser* parser, TTavExprNode* node, host::Variant& value);
  // The parser's message with its token's position (none for an error a
  // nested engine passed up); empty when it parsed.
  void TakeError(const TBaseParser& parser) { error_text_ = parser.GetErrorMsg(); }
  // GROUP BY and ORDER BY: when the WHERE parser stopped at `clause`, `run` reads the item list
  // over that section and the WHERE parser goes on after it.
  bool ParseItemListClause(TBaseParser& parser, TTavSQLToken clause,
                           const std::function<bool(TParserStack*)>& run);

  TTavPreParser main_;
  TTavPreParser from_pre_;
  TTableList table_list_;
  TTavFromParser from_parser_;
  TTavExprParser where_parser_;
  TTavSelectParser select_parser_;
  TTavOrderByParser order_by_parser_;
  TTavGroupByParser group_by_parser_;
  TTavExprParser having_parser_;
  TOrderByItems order_by_items_;
  TGroupByItems group_by_items_;
  TTavInsertParser insert_parser_;
  TTavDeleteParser delete_parser_;
  TTavUpdateParser update_parser_;
  TTavSchemaManipulationParser schema_parser_;
  std::string error_text_;
  TParserEngineNotifyEvent notify_;
  bool is_subquery_ = false;
  bool subquery_closed_ = false;
  bool where_parsed_ = false;
  bool having_parsed_ = false;
  TBaseParser* last_parser_ = nullptr;
  int nesting_base_ = 0;
  std::vector<std::unique_ptr<TTavParserEngine>> nested_;
};

}  // namespace tav
