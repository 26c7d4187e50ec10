#include "engine/query/parse/select_parser.h"

#include "engine/expr/expr_parser.h"
#include "engine/query/parse/parse_messages.h"
#include "host/rtl/string_list.h"
#include "host/rtl/sys_utils.h"

namespace tav {

TTavSelectParser::TTavSelectParser() {
  SetEndTokens({tstFrom, tstWhere, tstGroupBy, tstHaving, tstOrderBy, tstEnd});
}

TTavSelectParser::~TTavSelectParser() = default;

void TTavSelectParser::Clear() {
  TBaseParser::Clear();
  nodes_.clear();
}

TTavSelectNode* TTavSelectParser::NewSelectNode(TSelectNodeType type, const TParserToken* token) {
  auto node = std::make_unique<TTavSelectNode>();
  node->SelectNodeType = type;
  node->Token = token;
  if (!nodes_.empty()) nodes_.back()->Next = node.get();
  nodes_.push_back(std::move(node));
  return nodes_.back().get();
}

bool TTavSelectParser::Execute(TTavParserOptions options, TParserStack* stack) {
  TBaseParser::Execute(options, stack);
  nodes_.clear();
  if (CurrentTokenType() == tstSelect) NextToken();
  IsDistinct = CurrentTokenType() == tstDistinct;
  if (CurrentTokenType() == tstDistinct || CurrentTokenType() == tstAll) NextToken();
  if (CurrentTokenType() == tstMult) {
    NewSelectNode(snGroupColumn, CurrentToken);
    NextToken();
  } else {
    for (bool first = true; !HasParseError() && (first || CurrentTokenType() == tstComma);
         first = false) {
      if (!first) NextToken();
      if (CurrentTokenType() == tstTableName && PeekAtTokenType(0) == tstMult) {
        TTavSelectNode* node = NewSelectNode(snGroupColumn, CurrentToken);
        node->Qualifier = CurrentToken->Text;
        NextToken();
        NextToken();
        continue;
      }
      const bool aggregate = CurrentTokenType() == tstAggFunc;
      ParseValueColumn();
      if (aggregate && !nodes_.empty()) nodes_.back()->SelectNodeType = snAggFunc;
    }
  }
  if (!HasParseError() && !AtEndToken()) SetError(CurrentToken, kQrySelectTerminated);
  return !HasParseError();
}

void TTavSelectParser::ParseValueColumn() {
  TTavSelectNode* node = NewSelectNode(snSingleColumn, CurrentToken);
  node->Expr = std::make_unique<TTavExpr>();
  TTavExprParser parser;
  const TTavSQLTokens ends{tstUnknown, tstFieldName, tstFrom, tstStringLiteral, tstComma, tstAS};
  parser.SetEndTokens(ends);
  parser.SetValidEndTokens(ends);
  parser.SetValidateFields(TableList != nullptr && TableList->Count() > 0);
  parser.SetTableList(TableList);
  parser.CurrentToken = CurrentToken;
  parser.ParsedText = CurrentToken != nullptr ? CurrentToken->RawTokenText : std::string();
  const size_t from = parser.ParsedText.size();
  if (!parser.ExecuteExternalValueExpr(*node->Expr, TTavParserOptions{tpoExtSyntax, tpoSQL}, Stack))
    SetError(parser.ErrorToken, parser.ErrorMsg);
  ResumeAfter(parser, from);
  if (HasParseError()) return;
  node->RawColumnName = node->Expr->GetNodeCount() > 0 ? host::Trim(node->Expr->ParsedText())
                                                       : node->Token->Text;
  if (CurrentTokenType() == tstAS) {
    NextToken();
    // A quoted name stands as an alias after AS.
    if (CurrentTokenType() == tstValue) {
      node->OutputColumnName = CurrentToken->Text;
      NextToken();
      return;
    }
  }
  if (CurrentTokenType() == tstFieldName || CurrentTokenType() == tstStringLiteral) {
    node->OutputColumnName = CurrentToken->Text;
    NextToken();
  }
}

void TTavSelectParser::DebugDisplay(host::TStrings& lines) const {
  std::string indent;
  for (const auto& node : nodes_) {
    switch (node->SelectNodeType) {
      case snGroupColumn:
        lines.Add(indent + "Column Group");
        lines.Add(indent + "Output all from - " + node->Qualifier);
        break;
      case snSingleColumn:
        lines.Add(indent + "Derived Column");
        lines.Add(indent + "RawColumnName - " + node->RawColumnName);
        break;
      case snAggFunc:
        lines.Add(indent + "Agg Func");
        lines.Add(indent + "Func - " + (node->Token != nullptr ? node->Token->Text : std::string()) +
                  " :: " + node->Qualifier);
        break;
    }
    if (node->Expr != nullptr) {
      lines.Add(indent + "Start Expr");
      node->Expr->Display(lines);
      lines.Add(indent + "End Expr");
    }
    indent += "  ";
  }
}

}  // namespace tav
