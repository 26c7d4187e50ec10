// The data-change statements: TTavInsertParser (INSERT INTO t [(columns)]
// VALUES (...) | SELECT ...), TTavUpdateParser (UPDATE t SET c = v, ...
// [WHERE ...]) and TTavDeleteParser (DELETE FROM t [WHERE ...]). Each reads
// the target table, the columns and the values (a TTavRowConstructor, one
// element per value). The SELECT of an INSERT and the WHERE of UPDATE and
// DELETE are not read here: the parser makes a subquery node for them in its
// own expression and raises pntSubquery, and the handler (the parser engine)
// reads them and leaves the parser after them.
//
// Callers must keep:
//  - Errors are recorded (first one wins, at its token; the validations'
//    without a token), never raised, except that binding a parameter the
//    given TParams lack raises the host's "Parameter not found" error.
//  - A row is run as: BindParams (every run whose parameters changed), then
//    Prepare (each run: CURRENT_DATE, CURRENT_TIME and CURRENT_TIMESTAMP take
//    one clock reading for the whole row here), then GetRowData per element.
//  - The tokens (ErrorToken, the USING-like token objects, the expressions'
//    TokenArgs) belong to the pre-parser, which must outlive the parser; the
//    update and delete parsers' table list (SetTables) and the provider given
//    to Prepare are borrowed.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/expr/base_parser.h"
#include "engine/expr/expr_evaluator.h"
#include "engine/expr/expr_tree.h"
#include "engine/expr/table_list.h"
#include "engine/storage/record/internal_fields.h"
#include "host/db/params.h"
#include "host/rtl/collection.h"
#include "host/rtl/string_list.h"
#include "host/rtl/variant.h"

namespace tav {

class TTavRowConstructorElement : public host::TCollectionItem {
 public:
  using host::TCollectionItem::TCollectionItem;
  ~TTavRowConstructorElement() override;

  // The value's expression, made (with its evaluator) on first use.
  TTavExpr& GetExpr();
  bool HasExpr() const { return expr_ != nullptr; }
  // A single-token value; Empty for an expression or a clock value not yet
  // prepared.
  const host::Variant& Data() const { return data_; }
  void SetData(const host::Variant& value) { data_ = value; }
  bool HasParameter() const { return has_parameter_; }
  void SetHasParameter(bool value) { has_parameter_ = value; }
  // A lone CURRENT_DATE, CURRENT_TIME or CURRENT_TIMESTAMP: the token kind;
  // tstUnknown otherwise.
  TTavSQLToken ClockToken() const { return clock_token_; }
  void SetClockToken(TTavSQLToken value) { clock_token_ = value; }

  // Readies the value for a run over `provider`'s current row, reading the
  // clock once.
  void Prepare(TTavExprDataProvider* provider);
  // The same with the instant the whole row shares.
  void Prepare(TTavExprDataProvider* provider, double now);
  // The evaluator's value when prepared, otherwise Data.
  void GetRowData(host::Variant& value);
  // Every parameter of the value takes the value and type of the parameter
  // of its name; again on each call, so a prepared statement runs with new
  // values.
  void BindExprParams(const host::TParams* params);

 private:
  std::unique_ptr<TTavExpr> expr_;
  host::Variant data_;
  std::unique_ptr<TExprEvaluator> evaluator_;
  bool has_parameter_ = false;
  TTavSQLToken clock_token_ = tstUnknown;
  // The parameter nodes and their names, kept once they are bound (binding
  // turns them into constants).
  std::vector<std::pair<TTavExprNode*, std::string>> parameters_;
  bool parameters_found_ = false;
};

class TTavRowConstructor : public host::TTypedCollection<TTavRowConstructorElement> {
 public:
  // Every element, with one clock reading.
  void Prepare(TTavExprDataProvider* provider);
  // Every element (not only those that start with a parameter).
  void BindParams(const host::TParams* params);
};

class TTavUpdateRowConstructorElement : public TTavRowConstructorElement {
 public:
  using TTavRowConstructorElement::TTavRowConstructorElement;

  std::string TargetColumnName;
  int32_t TargetColumnIndex = -1;  // position in the table's fields, once validated
};

class TTavUpdateRowConstructor : public TTavRowConstructor {
 public:
  TTavUpdateRowConstructorElement* Add() {
    return static_cast<TTavUpdateRowConstructorElement*>(TTavRowConstructor::Add());
  }
  TTavUpdateRowConstructorElement* Items(int index) const {
    return static_cast<TTavUpdateRowConstructorElement*>(TTavRowConstructor::Items(index));
  }

 protected:
  host::TCollectionItem* NewItem() override { return new TTavUpdateRowConstructorElement(); }
};

class TTavInsertParser : public TBaseParser {
 public:
  TTavInsertParser();

  // The base clear, and the columns and values emptied.
  void Clear() override;
  bool Execute(TTavParserOptions options, TParserStack* stack) override;

  // The columns become the table's fields, in order.
  void CreateDefaultColumns(const TInternalFields& tableFields);
  bool ValidateColumnsPresent(const TInternalFields& tableFields);
  // INSERT ... VALUES: the columns against the values and the table.
  bool ValidateValueColumns(const TInternalFields& tableFields);
  // INSERT ... SELECT: the columns against the result columns and the
  // table, and each pair of types.
  bool ValidateSelectColumns(const TInternalFields& selectFields, const TInternalFields& tableFields);
  bool CheckDataConversionValid(host::TFieldType type1, host::TFieldType type2) const;

  void SetTableName(const std::string& value) { TableName = value; }
  void SetColumnsNotSpecified(bool value) { ColumnsNotSpecified = value; }
  void SetHasSelectClause(bool value) { HasSelectClause = value; }

  host::TStringList Columns;  // each one's object is its token (borrowed)
  std::string TableName;
  TTavRowConstructor Values;
  bool ColumnsNotSpecified = false;
  TTavExpr Expr;  // holds the subquery node
  bool HasSelectClause = false;

 private:
  void ParseColumnList();
  void ParseValues();
  bool CheckColumnCount(int valueCount);
};

class TTavUpdateParser : public TBaseParser {
 public:
  // Whether the tables of the list exist (and, as the query engine does,
  // gives them their fields).
  using TTableListValidateEvent = std::function<bool(TTableList& tables)>;

  TTavUpdateParser();

  bool Execute(TTavParserOptions options, TParserStack* stack) override;
  // Every target column must be a field of the table.
  bool ValidateValueColumns(const TInternalFields& tableFields);

  void SetTableListValidateEvent(TTableListValidateEvent event) { TableListValidateEvent = std::move(event); }
  void SetTables(TTableList* tables) { Tables = tables; }
  void SetHasWhereClause(bool value) { HasWhereClause = value; }
  void SetTableName(const std::string& value) { TableName = value; }

  bool HasWhereClause = false;
  std::string TableName;
  TTableList* Tables = nullptr;  // the statement's table list (borrowed)
  TTavExpr Expr;                 // holds the subquery node
  TTavUpdateRowConstructor Values;
  TTableListValidateEvent TableListValidateEvent;

 private:
  void ParseSetList();
};

class TTavDeleteParser : public TBaseParser {
 public:
  TTavDeleteParser();

  bool Execute(TTavParserOptions options, TParserStack* stack) override;

  void SetTables(TTableList* tables) { Tables = tables; }
  void SetHasWhereClause(bool value) { HasWhereClause = value; }
  void SetTableName(const std::string& value) { TableName = value; }

  std::string TableName;
  TTavExpr Expr;  // holds the subquery node
  bool HasWhereClause = false;
  TTableList* Tables = nullptr;  // the statement's table list (borrowed)
};

}  // namespace tav
