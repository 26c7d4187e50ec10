#include "engine/query/parse/exec_parsers.h"

#include <algorithm>

#include "engine/expr/expr_parser.h"
#include "engine/expr/op_evaluator.h"
#include "engine/query/parse/parse_messages.h"
#include "engine/storage/base/tav_compare.h"
#include "engine/storage/base/tav_resstrings.h"
#include "host/db/field_types.h"
#include "host/rtl/date_time.h"
#include "host/rtl/sys_utils.h"

namespace tav {

using host::Variant;

// ---- row constructors ----

TTavRowConstructorElement::~TTavRowConstructorElement() = default;

TTavExpr& TTavRowConstructorElement::GetExpr() {
  if (expr_ == nullptr) {
    expr_ = std::make_unique<TTavExpr>();
    evaluator_ = std::make_unique<TExprEvaluator>();
  }
  return *expr_;
}

void TTavRowConstructorElement::Prepare(TTavExprDataProvider* provider) {
  Prepare(provider, host::Now());
}

void TTavRowConstructorElement::Prepare(TTavExprDataProvider* provider, double now) {
  // A lone clock value is taken for each run, never when the text was parsed.
  if (clock_token_ != tstUnknown) data_ = TExprEvaluator::ClockValueAt(clock_token_, now);
  if (evaluator_ == nullptr || expr_->Root() == nullptr) return;
  evaluator_->Clear();
  evaluator_->SetExcludeRelopNulls(false);
  evaluator_->SetDBStringCompare(provider != nullptr && provider->DBStringCompare != nullptr
                                     ? provider->DBStringCompare
                                     : DBANSICompareStrings);
  evaluator_->Prepare(provider, expr_->Root(), now);
}

void TTavRowConstructorElement::GetRowData(Variant& value) {
  if (evaluator_ != nullptr && evaluator_->IsPrepared()) {
    evaluator_->Reset();
    value = evaluator_->EvaluateValueExpr();
  } else {
    value = data_;
  }
}

void TTavRowConstructorElement::BindExprParams(const host::TParams* params) {
  if (params == nullptr) return;
  if (expr_ == nullptr) {
    if (has_parameter_) data_ = params->ParamByName(host::VarToStr(data_))->Value();
    return;
  }
  if (!parameters_found_) {
    for (TTavExprNode* node = expr_->Root(); node != nullptr; node = node->Next())
      if (node->Operator == teoPARAMETER) parameters_.emplace_back(node, host::VarToStr(node->Data));
    parameters_found_ = true;
  }
  for (const auto& [node, name] : parameters_) {
    const host::TParam* param = params->ParamByName(name);
    node->Kind = enkConst;
    node->Operator = teoCONST2;
    node->ScopeKind = tskConst;
    node->Data = param->Value();
    node->DataType = param->DataType();
  }
}

void TTavRowConstructor::Prepare(TTavExprDataProvider* provider) {
  // One reading: every clock value of the row is the same instant.
  const double now = host::Now();
  for (int i = 0; i < Count(); ++i) Items(i)->Prepare(provider, now);
}

void TTavRowConstructor::BindParams(const host::TParams* params) {
  for (int i = 0; i < Count(); ++i) Items(i)->BindExprParams(params);
}

// ---- what the three parsers share ----

namespace {

bool IsName(TTavSQLToken t) { return t == tstFieldName || t == tstValue; }

// A value written as one token: stored in the element and true; false for a
// token that needs the expression parser. A number that is none is an error.
bool ParseSingleTokenValue(TBaseParser& parser, TTavRowConstructorElement& element) {
  const TParserToken* token = parser.CurrentToken;
  switch (parser.CurrentTokenType()) {
    case tstTrue:
    case tstFalse: element.SetData(Variant(token->Token == tstTrue)); return true;
    case tstValue:
    case tstStringLiteral: element.SetData(Variant(token->Text)); return true;
    case tstNumber: {
      double value = 0;
      // Always '.', whatever the locale, as the expression parser reads it.
      if (!host::TryStrToFloat(token->Text, value)) {
        parser.SetError(token, StavInvalidToken);
        return true;
      }
      element.SetData(Variant(value));
      return true;
    }
    case tstNull: element.SetData(host::Null()); return true;
    case tstCurrentDate:
    case tstCurrentTime:
    case tstCurrentTimestamp:
      element.SetData(Variant());
      element.SetClockToken(token->Token);
      return true;
    default: return false;
  }
}

// A value expression into the element, from the parser's position.
void ParseValueExpression(TBaseParser& parser, TTavRowConstructorElement& element,
                          const TTavSQLTokens& ends, TTableList* tables,
                          TTavParserOptions options) {
  TTavExprParser exprParser;
  exprParser.SetEndTokens(ends);
  exprParser.SetValidEndTokens(ends);
  exprParser.SetTableList(tables);
  // A column the table lacks would reach the evaluator unbound.
  exprParser.SetValidateFields(tables != nullptr && tables->Count() > 0);
  exprParser.SetParserNotifyEvent(parser.OnParserNotify);
  exprParser.SetIsSubquery(false);
  exprParser.CurrentToken = parser.CurrentToken;
  exprParser.ParsedText = parser.CurrentToken != nullptr ? parser.CurrentToken->RawTokenText : std::string();
  const size_t from = exprParser.ParsedText.size();
  if (!exprParser.ExecuteExternalValueExpr(element.GetExpr(), options, parser.Stack))
    parser.SetError(exprParser.ErrorToken, exprParser.ErrorMsg);
  parser.ResumeAfter(exprParser, from);
}

// The target table's name at the current token, which it passes; false
// after an error.
bool ParseTableName(TBaseParser& parser, const char* terminated, std::string& name) {
  if (parser.AtEndToken()) {
    parser.SetError(parser.CurrentToken, terminated);
    return false;
  }
  if (!IsName(parser.CurrentTokenType())) {
    parser.SetError(parser.CurrentToken, StavMissingTableReference);
    return false;
  }
  name = parser.CurrentToken->Text;
  return true;
}

// The part the parser engine reads as a subquery (the SELECT of an INSERT,
// the WHERE of UPDATE and DELETE): a node for it and the notification, whose
// handler leaves the parser after it.
void HandOverSubquery(TBaseParser& parser, TTavExpr& expr) {
  const TParserToken* token = parser.CurrentToken;
  TTavExprNode* node =
      expr.NewNode(enkSubquery, teoSUBQUERY, Variant(token->Text), nullptr, nullptr, token);
  if (node != nullptr && parser.OnParserNotify) {
    Variant value;
    parser.OnParserNotify(pntSubquery, &parser, parser.Stack, node, value);
  }
}

// "Field not found : name" at the name's token, when it has one.
void FieldNotFound(TBaseParser& parser, const TParserToken* token, const std::string& name) {
  parser.SetError(token, std::string(StavFieldNotFound) + " : " + name);
}

}  // namespace

// ---- INSERT ----

TTavInsertParser::TTavInsertParser() { SetEndTokens({tstEnd}); }

void TTavInsertParser::Clear() {
  TBaseParser::Clear();
  Columns.Clear();
  Values.Clear();
}

bool TTavInsertParser::Execute(TTavParserOptions options, TParserStack* stack) {
  TBaseParser::Execute(options, stack);
  Columns.Clear();
  Values.Clear();
  Expr.Clear();
  TableName.clear();
  ColumnsNotSpecified = false;
  HasSelectClause = false;
  if (!Expect(tstInsert, StavInsertStatmentSyntaxError) ||
      !Expect(tstInto, StavInsertStatmentSyntaxError))
    return false;
  if (!ParseTableName(*this, kQryInsertTerminated, TableName)) return false;
  NextToken();
  ColumnsNotSpecified = CurrentTokenType() != tstLParen;
  if (!ColumnsNotSpecified) ParseColumnList();
  if (HasParseError()) return false;
  switch (CurrentTokenType()) {
    case tstValues:
      NextToken();
      if (!Expect(tstLParen, StavLParenMissing)) break;
      ParseValues();
      Expect(tstRParen, StavRParenMissing);
      break;
    case tstSelect:
      HasSelectClause = true;
      HandOverSubquery(*this, Expr);
      break;
    default: SetError(CurrentToken, StavInvalidToken); break;
  }
  if (!HasParseError() && !AtEndToken()) SetError(CurrentToken, kQryInsertTerminated);
  return !HasParseError();
}

void TTavInsertParser::ParseColumnList() {
  NextToken();  // (
  while (!HasParseError() && CurrentTokenType() != tstRParen && !AtEndToken()) {
    if (CurrentTokenType() == tstComma) {
      SetError(CurrentToken, StavMissingColumnSpecifier);
      return;
    }
    if (!IsName(CurrentTokenType())) {
      SetError(CurrentToken, StavInvalidToken);
      return;
    }
    Columns.AddObject(CurrentToken->Text, CurrentToken);
    NextToken();
    if (CurrentTokenType() != tstComma) break;
    NextToken();
    // A comma promises another column.
    if (CurrentTokenType() == tstRParen) SetError(CurrentToken, StavMissingColumnSpecifier);
  }
  Expect(tstRParen, StavRParenMissing);
}

void TTavInsertParser::ParseValues() {
  const TTavSQLTokens ends{tstComma, tstRParen};
  while (!HasParseError() && CurrentTokenType() != tstRParen && !AtEndToken()) {
    if (CurrentTokenType() == tstComma) {
      SetError(CurrentToken, StavMissingColumnSpecifier);
      return;
    }
    TTavRowConstructorElement* element = Values.Add();
    element->SetHasParameter(CurrentTokenType() == tstParameter);
    const TTavSQLToken next = PeekAtTokenType(0);
    if ((next == tstComma || next == tstRParen) && ParseSingleTokenValue(*this, *element)) {
      if (HasParseError()) return;
      NextToken();
    } else {
      ParseValueExpression(*this, *element, ends, nullptr,
                           TTavParserOptions{tpoExtSyntax, tpoSQL, tpoParameters});
      if (HasParseError()) return;
      // An INSERT has no row to read columns from.
      for (TTavExprNode* node = element->GetExpr().Root(); node != nullptr; node = node->Next()) {
        if (node->Kind == enkField || node->Operator == teoOUTERFIELD) {
          SetError(&node->ParserToken, StavInvalidToken);
          return;
        }
      }
    }
    if (CurrentTokenType() != tstComma) break;
    NextToken();
    if (CurrentTokenType() == tstRParen) SetError(CurrentToken, StavMissingColumnSpecifier);
  }
}

void TTavInsertParser::CreateDefaultColumns(const TInternalFields& tableFields) {
  Columns.Clear();
  for (int i = 0; i < tableFields.Count(); ++i) Columns.Add(tableFields.Items(i)->FieldName());
}

bool TTavInsertParser::ValidateColumnsPresent(const TInternalFields& tableFields) {
  for (int i = 0; i < Columns.Count() && !HasParseError(); ++i) {
    if (tableFields.FindField(Columns.Strings(i)) == nullptr)
      FieldNotFound(*this, static_cast<const TParserToken*>(Columns.Objects(i)), Columns.Strings(i));
  }
  return !HasParseError();
}

bool TTavInsertParser::CheckColumnCount(int valueCount) {
  if (HasParseError()) return false;
  if (ColumnsNotSpecified) {
    // Fewer values leave the last fields Null; more have nowhere to go.
    if (valueCount > Columns.Count()) SetError(nullptr, StavInsertColumnsCountMismatch);
  } else if (Columns.Count() == 0) {
    SetError(nullptr, StavNoInsertColumnsSpecified);
  } else if (Columns.Count() != valueCount) {
    SetError(nullptr, StavInsertColumnsCountMismatch);
  }
  return !HasParseError();
}

bool TTavInsertParser::ValidateValueColumns(const TInternalFields& tableFields) {
  if (ColumnsNotSpecified) CreateDefaultColumns(tableFields);
  return CheckColumnCount(Values.Count()) && ValidateColumnsPresent(tableFields);
}

bool TTavInsertParser::ValidateSelectColumns(const TInternalFields& selectFields,
                                             const TInternalFields& tableFields) {
  if (ColumnsNotSpecified) CreateDefaultColumns(tableFields);
  if (!CheckColumnCount(selectFields.Count()) || !ValidateColumnsPresent(tableFields)) return false;
  const int n = std::min(Columns.Count(), selectFields.Count());
  for (int i = 0; i < n; ++i) {
    const host::TFieldType insertType = tableFields.FindField(Columns.Strings(i))->DataType();
    const host::TFieldType selectType = selectFields.Items(i)->DataType();
    if (!CheckDataConversionValid(insertType, selectType)) {
      SetError(nullptr, std::string(StavTypeConversionErr) + " " + host::FieldTypeName(insertType) +
                            " -> " + host::FieldTypeName(selectType));
      return false;
    }
  }
  return true;
}

bool TTavInsertParser::CheckDataConversionValid(host::TFieldType type1, host::TFieldType type2) const {
  if (type1 == host::ftUnknown || type2 == host::ftUnknown) return false;
  return TTavDataConversionValidator().CheckDataConversionValid(type1, type2);
}

// ---- UPDATE ----

TTavUpdateParser::TTavUpdateParser() { SetEndTokens({tstEnd}); }

bool TTavUpdateParser::Execute(TTavParserOptions options, TParserStack* stack) {
  TBaseParser::Execute(options, stack);
  Values.Clear();
  Expr.Clear();
  TableName.clear();
  HasWhereClause = false;
  if (!Expect(tstUpdate, StavUpdateStatmentSyntaxError)) return false;
  if (!ParseTableName(*this, kQryUpdateTerminated, TableName)) return false;
  if (Tables != nullptr) {
    Tables->Add()->SetTableName(TableName);
    if (TableListValidateEvent && !TableListValidateEvent(*Tables)) {
      SetError(CurrentToken, StavTableOrFieldNotFound);
      return false;
    }
  }
  NextToken();
  if (!Expect(tstSet, StavUpdateStatmentSyntaxError)) return false;
  ParseSetList();
  if (!HasParseError() && CurrentTokenType() == tstWhere) {
    HasWhereClause = true;
    HandOverSubquery(*this, Expr);
  }
  if (!HasParseError() && !AtEndToken()) SetError(CurrentToken, kQryUpdateTerminated);
  return !HasParseError();
}

void TTavUpdateParser::ParseSetList() {
  const TTavSQLTokens ends{tstUnknown, tstWhere, tstEnd, tstComma};
  // Where a SET item or its value is due but the list ends.
  const auto missing = [this] { return AtEndToken() || CurrentTokenType() == tstWhere; };
  if (missing()) SetError(CurrentToken, StavUpdateMissingColumnReference);
  while (!HasParseError() && !missing()) {
    TTavUpdateRowConstructorElement* element = Values.Add();
    if (CurrentTokenType() == tstTableName) {
      if (!host::AnsiSameText(CurrentToken->Text, TableName)) {
        SetError(CurrentToken, StavTableOrFieldNotFound);
        return;
      }
      NextToken();
    }
    if (CurrentTokenType() != tstFieldName) {
      SetError(CurrentToken, StavUpdateMissingColumnReference);
      return;
    }
    element->TargetColumnName = CurrentToken->Text;
    NextToken();
    if (CurrentTokenType() != tstCompOperator || CurrentToken->Text != "=") {
      SetError(CurrentToken, StavMissingAssignmentToken);
      return;
    }
    NextToken();
    if (CurrentTokenType() == tstComma || missing()) {
      SetError(CurrentToken, StavMissingColumnSpecifier);
      return;
    }
    element->SetHasParameter(CurrentTokenType() == tstParameter);
    if (ends.Contains(PeekAtTokenType(0)) && ParseSingleTokenValue(*this, *element)) {
      if (HasParseError()) return;
      NextToken();
    } else {
      ParseValueExpression(*this, *element, ends, Tables,
                           TTavParserOptions{tpoExtSyntax, tpoSQL, tpoParameters, tpoSubqueries});
      if (HasParseError()) return;
    }
    if (CurrentTokenType() != tstComma) break;
    NextToken();
    if (missing()) SetError(CurrentToken, StavUpdateMissingColumnReference);
  }
}

bool TTavUpdateParser::ValidateValueColumns(const TInternalFields& tableFields) {
  for (int i = 0; i < Values.Count() && !HasParseError(); ++i) {
    TTavUpdateRowConstructorElement* element = Values.Items(i);
    const TInternalFieldItem* field = tableFields.FindField(element->TargetColumnName);
    if (field == nullptr) {
      FieldNotFound(*this, nullptr, element->TargetColumnName);
      break;
    }
    element->TargetColumnIndex = field->Index();
  }
  return !HasParseError();
}

// ---- DELETE ----

TTavDeleteParser::TTavDeleteParser() { SetEndTokens({tstEnd}); }

bool TTavDeleteParser::Execute(TTavParserOptions options, TParserStack* stack) {
  TBaseParser::Execute(options, stack);
  Expr.Clear();
  TableName.clear();
  HasWhereClause = false;
  if (!Expect(tstDelete, StavDeleteStatmentSyntaxError) ||
      !Expect(tstFrom, StavDeleteStatmentSyntaxError))
    return false;
  if (!ParseTableName(*this, kQryDeleteTerminated, TableName)) return false;
  if (Tables != nullptr) Tables->Add()->SetTableName(TableName);
  NextToken();
  if (CurrentTokenType() == tstWhere) {
    HasWhereClause = true;
    HandOverSubquery(*this, Expr);
  }
  if (!HasParseError() && !AtEndToken()) SetError(CurrentToken, kQryDeleteTerminated);
  return !HasParseError();
}

}  // namespace tav
