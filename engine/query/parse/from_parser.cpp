#include "engine/query/parse/from_parser.h"

#include <algorithm>
#include <utility>

#include "engine/expr/expr_parser.h"
#include "engine/query/parse/parse_messages.h"
#include "engine/storage/base/tav_resstrings.h"
#include "host/rtl/format.h"
#include "host/rtl/string_list.h"

namespace tav {

const char* const CStrTableRefType[trTableName + 1] = {
    "jtUnknown",       "jtCrossJoin",      "jtUnionJoin",      "jtInnerJoin", "jtLeftOuterJoin",
    "jtRightOuterJoin", "jtFullOuterJoin", "trSubQuery", "trTableName"};

namespace {

constexpr const char* kTooComplex = "Expression is too complex";

// Where the FROM clause may end, and with it an ON condition: the clauses
// after FROM, the end of the text, a `)` (closing a parenthesised join or a
// subquery), a comma before the next reference and the words of the next
// join.
const TTavSQLTokens kOnEndTokens{tstUnknown, tstWhere, tstGroupBy, tstHaving, tstOrderBy,
                                 tstUnion,   tstEnd,   tstComma,   tstRParen, tstJoin,
                                 tstInner,   tstOuter, tstLeft,    tstRight,  tstCross,
                                 tstNatural, tstFull};

int HeightOf(const TTavTableRefNode* node, int depth) {
  if (node == nullptr) return depth - 1;
  return std::max(HeightOf(node->Left, depth + 1), HeightOf(node->Right, depth + 1));
}

}  // namespace

// ---- TTavTableRefNode ----

TTavTableRefNode::TTavTableRefNode()
    : on_expr_(std::make_unique<TTavExpr>()),
      using_column_list_(std::make_unique<host::TStringList>()) {}

TTavTableRefNode::~TTavTableRefNode() = default;

void TTavTableRefNode::SetUsingColumnList(std::unique_ptr<host::TStringList> list) {
  using_column_list_ = list != nullptr ? std::move(list) : std::make_unique<host::TStringList>();
}

TParserToken* TTavTableRefNode::NewOwnedToken(TTavSQLToken kind, const std::string& text) {
  TParserToken& token = owned_tokens_.emplace_back();
  token.Token = kind;
  token.Text = text;
  return &token;
}

void TTavTableRefNode::DisplayTree(const std::string& indent, host::TStrings& lines) const {
  if (Left != nullptr) Left->DisplayTree(indent + "  ", lines);
  lines.Add(indent + CStrTableRefType[JoinType] + " : text - " + Text);
  on_expr_->Display(lines);
  if (Right != nullptr) Right->DisplayTree(indent + "  ", lines);
}

// ---- TTavFromParser ----

TTavFromParser::TTavFromParser() {
  SetEndTokens({tstWhere, tstGroupBy, tstHaving, tstOrderBy, tstEnd});
}

TTavFromParser::~TTavFromParser() { TTavFromParser::Clear(); }

void TTavFromParser::Clear() {
  TBaseParser::Clear();
  nodes_.clear();
  root_ = nullptr;
}

bool TTavFromParser::Execute(TTavParserOptions options, TParserStack* stack) {
  TBaseParser::Execute(options, stack);
  table_list_.Clear();
  nesting_ = 0;
  ParseFromClause();
  return !HasParseError();
}

TTavTableRefNode* TTavFromParser::NewTableRefNode(TTavTableRefType kind) {
  auto node = std::make_unique<TTavTableRefNode>();
  node->JoinType = kind;
  node->Next = root_;
  nodes_.push_back(std::move(node));
  return nodes_.back().get();
}

int TTavFromParser::GetExprCount() const {
  int count = 0;
  for (const auto& node : nodes_)
    if (IsJoinRefType(node->JoinType) && node->OnExpr().Root() != nullptr) ++count;
  return count;
}

void TTavFromParser::DebugDisplay(host::TStrings& lines) const {
  lines.Add("StartTables");
  for (int i = 0; i < table_list_.Count(); ++i) {
    const TTableNameItem* item = table_list_.Items(i);
    lines.Add(host::Format("tbl %s   corr  %s", {item->TableName(), item->CorrelationName()}));
  }
  lines.Add("EndTables");
  lines.Add("StartJoins");
  for (const auto& node : nodes_) {
    lines.Add(host::Format("join %s   inner  %s outer %s",
                           {std::string(CStrTableRefType[node->JoinType]), node->InnerTable,
                            node->OuterTable}));
  }
  lines.Add("EndJoins");
  lines.Add("StartTree");
  if (root_ != nullptr) root_->DisplayTree("", lines);
  lines.Add("EndTree");
}

bool TTavFromParser::IsJoinSpecifier(TTavSQLToken t) const {
  switch (t) {
    case tstUnion:
    case tstJoin:
    case tstInner:
    case tstOuter:
    case tstLeft:
    case tstRight:
    case tstCross:
    case tstNatural:
    case tstFull: return true;
    default: return false;
  }
}

void TTavFromParser::ParseFromClause() {
  if (CurrentTokenType() == tstFrom) NextToken();
  while (!HasParseError() && !AtEndToken()) {
    ParseTableRefSequence();
    if (CurrentTokenType() == tstComma) NextToken();
  }
}

TTavTableRefNode* TTavFromParser::ParseTableRefSequence() {
  TTavTableRefNode* left = ParsePrimaryReference();
  while (!HasParseError() &&
         (IsJoinSpecifier(CurrentTokenType()) ||
          (CurrentTokenType() == tstLParen && IsJoinSpecifier(PeekAtTokenType(1))))) {
    if (CurrentTokenType() == tstCross) {
      NextToken();
      if (CurrentTokenType() != tstJoin) {
        SetError(CurrentToken, kQryInvalidCrossJoin);
        break;
      }
      TTavTableRefNode* join = NewJoin(trCrossJoin, left, false);
      if (join == nullptr) break;
      left = join;
      continue;
    }
    const bool natural = CurrentTokenType() == tstNatural;
    if (natural) NextToken();
    TTavTableRefType kind = trInnerJoin;
    switch (CurrentTokenType()) {
      case tstUnion: kind = trUnionJoin; break;
      case tstLeft:
      case tstRight:
      case tstFull:
        kind = CurrentTokenType() == tstLeft    ? trLeftOuterJoin
               : CurrentTokenType() == tstRight ? trRightOuterJoin
                                                : trFullOuterJoin;
        NextToken();
        if (CurrentTokenType() == tstOuter) NextToken();
        break;
      default: break;
    }
    if (CurrentTokenType() == tstInner || CurrentTokenType() == tstUnion ||
        CurrentTokenType() == tstLParen) {
      // INNER, UNION (or the parenthesis) stands before JOIN.
      NextToken();
    }
    if (CurrentTokenType() != tstJoin) {
      SetError(CurrentToken, kQryInvalidCrossJoin);
      break;
    }
    TTavTableRefNode* join = NewJoin(kind, left, natural);
    if (join == nullptr) break;
    left = join;
    if (CurrentTokenType() == tstOn) {
      if (!ParseOnCondition(join)) break;
    } else if (CurrentTokenType() == tstUsing) {
      if (!ParseUsingList(join)) break;
    }
  }
  return left;
}

TTavTableRefNode* TTavFromParser::NewJoin(TTavTableRefType kind, TTavTableRefNode* left,
                                          bool natural) {
  TTavTableRefNode* join = NewTableRefNode(kind);
  join->Left = left;
  join->IsNaturalJoin = natural;
  NextToken();  // JOIN
  join->Right = ParsePrimaryReference();
  if (HasParseError()) return nullptr;
  // The operands' names, for the display.
  if (left != nullptr) join->OuterTable = left->Text;
  if (join->Right != nullptr) join->InnerTable = join->Right->Text;
  root_ = join;
  // Later walks of the tree recurse along it: keep it within the bound
  // every tree of the engine keeps.
  if (HeightOf(join, 1) > MaxExprTreeDepth) {
    SetError(CurrentToken, kTooComplex);
    return nullptr;
  }
  return join;
}

TTavTableRefNode* TTavFromParser::ParsePrimaryReference() {
  if (CurrentTokenType() == tstSelect ||
      (CurrentTokenType() == tstLParen && PeekAtTokenType(1) == tstSelect)) {
    // A subquery in FROM is not supported; nothing would read it.
    SetError(CurrentToken, StavMissingTableReference);
    return nullptr;
  }
  if (CurrentTokenType() == tstLParen) {
    if (++nesting_ > MaxExprTreeDepth) {
      SetError(CurrentToken, kTooComplex);
      return nullptr;
    }
    NextToken();
    TTavTableRefNode* node = ParseTableRefSequence();
    --nesting_;
    if (HasParseError()) return nullptr;
    if (CurrentTokenType() != tstRParen) {
      SetError(CurrentToken, StavRParenMissing);
      return nullptr;
    }
    NextToken();
    return node;
  }
  const bool temporary = CurrentTokenType() == tstTemporary;
  if (temporary) NextToken();
  if (CurrentTokenType() != tstFieldName && CurrentTokenType() != tstValue) {
    SetError(CurrentToken, StavMissingTableReference);
    return nullptr;
  }
  TTavTableRefNode* node = NewTableRefNode(trTableName);
  node->Text = CurrentToken->Text;
  TTableNameItem* item = table_list_.Add();
  item->SetTableName(node->Text);
  item->SetMemorySpecified(temporary);
  NextToken();
  if (CurrentTokenType() == tstAS) NextToken();
  if (CurrentTokenType() == tstFieldName) {
    node->CorrelationName = CurrentToken->Text;
    item->SetCorrelationName(node->CorrelationName);
    NextToken();
  }
  return node;
}

bool TTavFromParser::ParseOnCondition(TTavTableRefNode* join) {
  NextToken();  // ON
  TTavExprParser parser;
  parser.SetEndTokens(kOnEndTokens);
  parser.SetValidEndTokens(kOnEndTokens);
  parser.CurrentToken = CurrentToken;
  parser.ParsedText = CurrentToken != nullptr ? CurrentToken->RawTokenText : std::string();
  const size_t from = parser.ParsedText.size();
  const bool ok =
      parser.ExecuteExternalExpr(join->OnExpr(), TTavParserOptions{tpoExtSyntax}, Stack);
  if (!ok) SetError(parser.ErrorToken, parser.ErrorMsg);
  ResumeAfter(parser, from);
  return ok;
}

bool TTavFromParser::ParseUsingList(TTavTableRefNode* join) {
  NextToken();  // USING
  if (CurrentTokenType() != tstLParen) {
    SetError(CurrentToken, kQryUsingMissingLParen);
    return false;
  }
  NextToken();
  host::TStringList& columns = join->UsingColumnList();
  while (!HasParseError() && CurrentTokenType() != tstRParen &&
         CurrentTokenType() != tstUnknown) {
    // A column name, then a comma or the closing parenthesis.
    if (CurrentTokenType() != tstFieldName) {
      SetError(CurrentToken, kQryUsingInvalidColumnList);
      break;
    }
    columns.AddObject(CurrentToken->Text, CurrentToken);
    NextToken();
    if (CurrentTokenType() == tstComma) {
      NextToken();
      if (CurrentTokenType() == tstRParen) SetError(CurrentToken, kQryUsingInvalidColumnList);
    } else if (CurrentTokenType() == tstEnd) {
      break;  // the text ends where `)` is due
    } else if (CurrentTokenType() != tstRParen) {
      SetError(CurrentToken, kQryUsingInvalidColumnList);
    }
  }
  if (HasParseError()) return false;
  if (CurrentTokenType() != tstRParen || columns.Count() == 0) {
    SetError(CurrentToken, columns.Count() == 0 ? kQryUsingInvalidColumnList : kQryUsingMissingRParen);
    return false;
  }
  NextToken();
  return true;
}

}  // namespace tav
