#include "engine/expr/expr_parser.h"

#include <algorithm>
#include <utility>

#include "engine/expr/clause_parsers.h"
#include "engine/expr/op_evaluator.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/sys_utils.h"

namespace tav {

using host::TFieldType;
using host::Variant;

namespace {

constexpr const char* kTooComplex = "Expression is too complex";
// An unqualified column that more than one table of the statement has.
constexpr const char* kAmbiguousField = "Field name is ambiguous";

bool IsNumericType(TFieldType t) {
  switch (t) {
    case host::ftSmallint:
    case host::ftInteger:
    case host::ftWord:
    case host::ftFloat:
    case host::ftCurrency:
    case host::ftBCD:
    case host::ftAutoInc:
    case host::ftLargeint: return true;
    default: return false;
  }
}

bool IsStringType(TFieldType t) { return t == host::ftString || t == host::ftWideString; }

bool IsTemporalType(TFieldType t) {
  return t == host::ftDate || t == host::ftTime || t == host::ftDateTime;
}

// Types that no comparison accepts.
bool IsUncomparableType(TFieldType t) {
  return t == host::ftBytes || t == host::ftBlob || t == host::ftMemo || t == host::ftGraphic ||
         t == host::ftFmtMemo;
}

bool IsField(const TTavExprNode* node) { return node != nullptr && node->Kind == enkField; }
bool IsConst(const TTavExprNode* node) { return node != nullptr && node->Kind == enkConst; }

TTavExprOperator Mirrored(TTavExprOperator op) {
  switch (op) {
    case teoGT: return teoLT;
    case teoLT: return teoGT;
    case teoGE: return teoLE;
    case teoLE: return teoGE;
    default: return op;
  }
}

// Counts the parser's nesting for as long as it lives.
class TNestingGuard {
 public:
  explicit TNestingGuard(int& nesting) : nesting_(nesting) { ++nesting_; }
  ~TNestingGuard() { --nesting_; }
  TNestingGuard(const TNestingGuard&) = delete;
  TNestingGuard& operator=(const TNestingGuard&) = delete;
  bool Exceeded() const { return nesting_ > MaxExprTreeDepth; }

 private:
  int& nesting_;
};

}  // namespace

TTavExprOperator GetExprOperator(const TParserToken* token) {
  if (token == nullptr) return teoNOTDEFINED;
  switch (token->Token) {
    case tstCompOperator:
    case tstAdd:
    case tstSub:
    case tstMult:
    case tstDiv:
    case tstConcatenate: break;
    // A quoted name or string that reads "=" is no operator.
    default: return teoNOTDEFINED;
  }
  static constexpr std::pair<const char*, TTavExprOperator> kWords[] = {
      {"<", teoLT},  {"<=", teoLE}, {"=", teoEQ},  {">=", teoGE},  {">", teoGT},  {"<>", teoNE},
      {"+", teoADD}, {"||", teoADD}, {"-", teoSUB}, {"*", teoMUL}, {"/", teoDIV}};
  for (const auto& [word, op] : kWords)
    if (token->Text == word) return op;
  return teoNOTDEFINED;
}

TTavExprNodeKind GetExprNodeKind(TTavExprOperator op) {
  if (op >= teoEQ && op <= teoLE) return enkRelOperator;
  if (op == teoISBLANK || op == teoNOTBLANK || (op >= teoNOT && op <= teoOR))
    return enkLogicalOperator;
  if (op >= teoMINUS && op <= teoDIV) return enkArithOperator;
  if (op == teoFIELD2) return enkField;
  if (op == teoCONST2) return enkConst;
  return enkUnknown;
}

// ---- set-up and the three executes ----

TTavExprParser::TTavExprParser() : own_expr_(std::make_unique<TTavExpr>()) {
  Expr = own_expr_.get();
}

TTavExprParser::~TTavExprParser() = default;

void TTavExprParser::SetError(const TParserToken* token, std::string_view message) {
  if (HasParseError()) return;
  TBaseParser::SetError(token, message);
  if (Expr != nullptr) Expr->SetErrorMsg(ErrorMsg);
}

void TTavExprParser::ClearError() {
  TBaseParser::ClearError();
  // The expression refuses new nodes while it carries the error: clearing
  // only the parser's would let the parse go on without building.
  if (Expr != nullptr) Expr->SetErrorMsg(std::string());
}

void TTavExprParser::Clear() {
  TBaseParser::Clear();
  if (Expr != nullptr) Expr->SetErrorMsg(std::string());
}

void TTavExprParser::BeginParse(TTavExpr& expr, TTavParserOptions options, TParserStack* stack) {
  Expr = &expr;
  Root = nullptr;
  sizes_.clear();
  nesting_ = nesting_base_;
  TBaseParser::Execute(options, stack);
  expr.SetCaseInsensitiveMatch(CaseInsensitiveMatch);
  expr.SetPartialStringComparisons(PartialStringComparison);
  // Keep the expression's flag and the parser's error in step, either way:
  // an expression flagged before would build nothing and report success.
  if (HasParseError()) {
    expr.SetErrorMsg(ErrorMsg);
  } else if (!expr.ErrorMsg().empty()) {
    SetError(CurrentToken, expr.ErrorMsg());
  }
}

bool TTavExprParser::Execute(TTavParserOptions options, TParserStack* stack) {
  own_expr_ = std::make_unique<TTavExpr>();
  BeginParse(*own_expr_, options, stack);
  if (!AtEndToken()) Root = ParseCondition();
  if (!AtEndToken() && !ValidEndTokens.Contains(CurrentTokenType()))
    SetError(CurrentToken, CurrentTokenType() == tstFieldName ? "Invalid token"
                                                               : "Expression incorrectly terminated");
  FinishTree();
  return !HasParseError();
}

bool TTavExprParser::ExecuteExternalExpr(TTavExpr& expr, TTavParserOptions options,
                                         TParserStack* stack) {
  return ExecuteExternal(expr, options, stack, false);
}

bool TTavExprParser::ExecuteExternalValueExpr(TTavExpr& expr, TTavParserOptions options,
                                              TParserStack* stack) {
  return ExecuteExternal(expr, options, stack, true);
}

bool TTavExprParser::ExecuteExternal(TTavExpr& expr, TTavParserOptions options,
                                     TParserStack* stack, bool valueExpr) {
  own_expr_.reset();
  BeginParse(expr, options, stack);
  Root = valueExpr ? ParseValueExpr() : ParseCondition();
  if (Stack != nullptr && Stack->Count() > 0 && !ValidEndTokens.Contains(CurrentTokenType()))
    SetError(CurrentToken, "Expression incorrectly terminated");
  FinishTree();
  if (valueExpr && !HasParseError()) {
    RemoveCurrentTokenFromParsedText();
    expr.SetParsedText(ParsedText);
  }
  // The caller's expression is only lent.
  Expr = nullptr;
  sizes_.clear();
  return !HasParseError();
}

void TTavExprParser::FinishTree() {
  if (Root != nullptr) Expr->SetAsFirstNode(Root);
}

namespace {

// Height and walk of a tree made elsewhere (a clone), within the bounds it
// was made under; a walk past MaxExprTreeWalk stops counting there.
void MeasureTree(const TTavExprNode* node, int depth, int32_t& height, int64_t& walk) {
  if (node == nullptr || walk > MaxExprTreeWalk) return;
  TAV_ASSERT(depth <= MaxExprTreeDepth, "Expression tree deeper than MaxExprTreeDepth");
  height = std::max(height, depth);
  ++walk;
  MeasureTree(node->Left, depth + 1, height, walk);
  MeasureTree(node->Right, depth + 1, height, walk);
  for (const TTavExprNode* arg : node->Args) MeasureTree(arg, depth + 1, height, walk);
}

}  // namespace

void TTavExprParser::CloneFromExpr(const TTavExpr& expr, bool replace, TTavExprOperator op) {
  if (Expr == nullptr) {
    own_expr_ = std::make_unique<TTavExpr>();
    Expr = own_expr_.get();
  }
  if (replace) {
    Expr->Clear();
    Root = Expr->CloneFromTree(expr.Root());
    return;
  }
  TTavSQLToken kind = tstUnknown;
  if (op == teoAND) kind = tstAnd;
  if (op == teoOR) kind = tstOr;
  TAV_ASSERT(kind != tstUnknown, "Unsupported Expr assign operator");
  int32_t h1 = 0, h2 = 0;
  int64_t w1 = 0, w2 = 0;
  MeasureTree(expr.Root(), 1, h1, w1);
  MeasureTree(Root, 1, h2, w2);
  if (1 + std::max(h1, h2) > MaxExprTreeDepth || 1 + w1 + w2 > MaxExprTreeWalk) {
    SetError(nullptr, kTooComplex);
    return;
  }
  TTavExprNode* clone = Expr->CloneSubTree(expr.Root());
  TParserToken token;
  token.Token = kind;
  TTavExprNode* node = Expr->NewNode(enkLogicalOperator, op, Variant(), clone, Root, &token);
  if (node == nullptr) return;
  Root = node;
  Expr->SetAsFirstNode(Root);
}

// ---- the node factory and its bounds ----

TTavExprParser::TNodeSize TTavExprParser::SizeOf(const TTavExprNode* node) const {
  if (node == nullptr) return {0, 0};
  const auto it = sizes_.find(node);
  return it != sizes_.end() ? it->second : TNodeSize{};
}

bool TTavExprParser::WithinBounds(const TNodeSize& size, const TParserToken* token) {
  if (size.Height <= MaxExprTreeDepth && size.Walk <= MaxExprTreeWalk) return true;
  SetError(token, kTooComplex);
  return false;
}

TTavExprNode* TTavExprParser::MakeNode(TTavExprNodeKind kind, TTavExprOperator op,
                                       const Variant& value, TTavExprNode* left,
                                       TTavExprNode* right, const TParserToken* token,
                                       const std::vector<TTavExprNode*>& args) {
  if (HasParseError()) return nullptr;
  int32_t height = 0;
  int64_t walk = 1;
  for (const TTavExprNode* child : {left, right}) {
    const TNodeSize s = SizeOf(child);
    height = std::max(height, s.Height);
    walk += s.Walk;
  }
  for (const TTavExprNode* arg : args) {
    const TNodeSize s = SizeOf(arg);
    height = std::max(height, s.Height);
    walk += s.Walk;
  }
  const TNodeSize size{height + 1, static_cast<int32_t>(std::min<int64_t>(walk, INT32_MAX))};
  if (!WithinBounds(size, token)) return nullptr;
  TTavExprNode* node = Expr->NewNode(kind, op, value, left, right, token);
  if (node == nullptr) return nullptr;
  node->Args = args;
  sizes_[node] = size;
  return node;
}

bool TTavExprParser::AddArg(TTavExprNode* node, TTavExprNode* arg, const TParserToken* token) {
  if (node == nullptr || arg == nullptr) return false;
  TNodeSize size = SizeOf(node);
  const TNodeSize argSize = SizeOf(arg);
  size.Height = std::max(size.Height, argSize.Height + 1);
  size.Walk = static_cast<int32_t>(
      std::min<int64_t>(int64_t{size.Walk} + argSize.Walk, INT32_MAX));
  if (!WithinBounds(size, token)) return false;
  node->Args.push_back(arg);
  sizes_[node] = size;
  return true;
}

bool TTavExprParser::RequireOption(TTavParserOption option, const char* message) {
  if (Options.Contains(option)) return true;
  SetError(CurrentToken, message);
  return false;
}

// ---- levels 1 to 3: OR, AND, NOT ----

TTavExprNode* TTavExprParser::ParseCondition() {
  const TNestingGuard guard(nesting_);
  if (guard.Exceeded()) {
    SetError(CurrentToken, kTooComplex);
    return nullptr;
  }
  return ParseLogicalChain(tstOr, teoOR, &TTavExprParser::ParseAnd);
}

TTavExprNode* TTavExprParser::ParseAnd() {
  return ParseLogicalChain(tstAnd, teoAND, &TTavExprParser::ParseNot);
}

TTavExprNode* TTavExprParser::ParseLogicalChain(TTavSQLToken joiner, TTavExprOperator op,
                                                TTavExprNode* (TTavExprParser::*next)()) {
  TTavExprNode* left = (this->*next)();
  while (CurrentTokenType() == joiner && !HasParseError()) {
    const TParserToken* opToken = CurrentToken;
    NextToken();
    TTavExprNode* right = (this->*next)();
    left = MakeNode(enkLogicalOperator, op, Variant(), left, right, opToken);
    if (left == nullptr) break;
    left->DataType = host::ftBoolean;
    ApplyScope(left);
  }
  return left;
}

TTavExprNode* TTavExprParser::ParseNot() {
  TTavExprNode* node = nullptr;
  if (CurrentTokenType() == tstNot) {
    const TParserToken* op = CurrentToken;
    NextToken();
    TTavExprNode* operand = ParsePredicate();
    node = MakeNode(enkLogicalOperator, teoNOT, Variant(), operand, nullptr, op);
    if (node != nullptr) node->DataType = host::ftBoolean;
  } else {
    node = ParsePredicate();
  }
  ApplyScope(node);
  return node;
}

// ---- level 4: predicates ----

TTavExprNode* TTavExprParser::ParsePredicate() {
  TTavExprNode* left = ParseAdditive();
  if (HasParseError()) return nullptr;
  switch (CurrentTokenType()) {
    case tstBetween:
    case tstNotBetween: return ParseBetween(left);
    case tstIn:
    case tstNotIn: return ParseIn(left);
    case tstLike:
    case tstNotLike: return ParseLike(left);
    case tstIsNull:
    case tstIsNotNull: return ParseComparison(left);
    default: break;
  }
  const TTavExprOperator op = GetExprOperator(CurrentToken);
  if (op >= teoEQ && op <= teoLE) return ParseComparison(left);
  return left;
}

TTavExprNode* TTavExprParser::ParseBetween(TTavExprNode* left) {
  const TParserToken* between = CurrentToken;
  const bool negated = between->Token == tstNotBetween;
  NextToken();
  TTavExprNode* low = ParseAdditive();
  if (HasParseError()) return nullptr;
  if (CurrentTokenType() != tstAnd) {
    SetError(CurrentToken, "missing AND operator in between predicate");
    return nullptr;
  }
  NextToken();
  TTavExprNode* high = ParseAdditive();
  if (HasParseError()) return nullptr;
  if (left == nullptr) {
    SetError(CurrentToken, "Expression data types do not match");
    return nullptr;
  }
  // The second comparison reads a copy of the operand (sharing its
  // children): the walk bound counts the shared part twice.
  TTavExprNode* first =
      MakeNode(enkRelOperator, negated ? teoLT : teoGE, Variant(), left, low, between);
  if (first == nullptr) return nullptr;
  TTavExprNode* copy = left->CloneNode(*Expr);
  sizes_[copy] = SizeOf(left);
  TTavExprNode* second =
      MakeNode(enkRelOperator, negated ? teoGT : teoLE, Variant(), copy, high, between);
  if (second == nullptr) return nullptr;
  TTavExprNode* joined =
      MakeNode(enkLogicalOperator, negated ? teoOR : teoAND, Variant(), first, second, between);
  if (joined == nullptr) return nullptr;
  for (TTavExprNode* node : {first, second, joined}) {
    node->DataType = host::ftBoolean;
    ApplyScope(node);
  }
  return joined;
}

TTavExprNode* TTavExprParser::ParseIn(TTavExprNode* left) {
  const TParserToken* in = CurrentToken;
  NextToken();
  if (!Expect(tstLParen, "Missing Left Parenthesis")) return nullptr;
  TTavExprNode* node = MakeNode(enkNonRelPredicate, teoIN, Variant(), left, nullptr, in);
  if (node == nullptr) return nullptr;
  node->DataType = host::ftBoolean;
  if (CurrentTokenType() == tstSelect) {
    if (!RequireOption(tpoSubqueries, "Subqueries are not supported")) return nullptr;
    TTavExprNode* subquery = ParseCondition();
    if (!AddArg(node, subquery, in)) return nullptr;
    if (!Expect(tstRParen, "Missing Right Parenthesis")) return nullptr;
    return node;
  }
  if (CurrentTokenType() == tstRParen) {
    SetError(CurrentToken, "IN list is empty");
    return nullptr;
  }
  const bool temporal = left != nullptr && IsTemporalType(left->DataType);
  for (;;) {
    TTavExprNode* element = ParseCondition();
    if (HasParseError()) return nullptr;
    // Dates in the list are read as the column's type (by the optimizer),
    // their values untouched here.
    if (temporal && element != nullptr) element->DataType = left->DataType;
    if (element != nullptr && !AddArg(node, element, CurrentToken)) return nullptr;
    if (CurrentTokenType() == tstComma) {
      NextToken();
      continue;
    }
    if (CurrentTokenType() == tstRParen || CurrentTokenType() == tstEnd || CurrentToken == nullptr)
      break;
    SetError(CurrentToken, "Missing Right Parenthesis or comma");
    return nullptr;
  }
  if (!Expect(tstRParen, "Missing Right Parenthesis")) return nullptr;
  return node;
}

TTavExprNode* TTavExprParser::ParseLike(TTavExprNode* left) {
  const TParserToken* like = CurrentToken;
  NextToken();
  TTavExprNode* pattern = ParseCharacterValueExpr();
  if (HasParseError()) return nullptr;
  if (CurrentTokenType() == tstEscape) {
    const TParserToken* escape = CurrentToken;
    NextToken();
    TTavExprNode* escapeChar = ParseCharacterValueExpr();
    if (HasParseError()) return nullptr;
    if (left != nullptr && escapeChar != nullptr && !AddArg(left, escapeChar, escape))
      return nullptr;
  }
  return MakeNode(enkNonRelPredicate, teoLIKE, Variant(), left, pattern, like);
}

TTavExprNode* TTavExprParser::ParseComparison(TTavExprNode* left) {
  const TParserToken* opToken = CurrentToken;
  TTavExprOperator op = GetExprOperator(opToken);
  if (opToken->Token == tstIsNull) op = teoISBLANK;
  if (opToken->Token == tstIsNotNull) op = teoNOTBLANK;
  const bool isNullTest = op == teoISBLANK || op == teoNOTBLANK;
  NextToken();
  TTavExprNode* right = isNullTest ? nullptr : ParseAdditive();
  if (HasParseError()) return nullptr;
  if (left == nullptr ||
      (!isNullTest && (IsUncomparableType(left->DataType) ||
                       (right != nullptr && IsUncomparableType(right->DataType))))) {
    SetError(CurrentToken, "Expression data types do not match");
    return nullptr;
  }
  // A column stands on the left.
  if (!isNullTest && IsField(right) && !IsField(left)) {
    std::swap(left, right);
    op = Mirrored(op);
  }
  // The constant is read as the column's type; its value is converted where
  // it is compared.
  if (IsField(left) && IsConst(right)) {
    right->DataType = left->DataType;
    right->DataSize = left->DataSize;
  } else if (IsField(right) && IsConst(left)) {
    left->DataType = right->DataType;
    left->DataSize = right->DataSize;
  }
  TTavExprNode* node = MakeNode(GetExprNodeKind(op), op, Variant(), left, right, opToken);
  if (node == nullptr) return nullptr;
  node->DataType = host::ftBoolean;
  if (right != nullptr) {
    if (IsTemporalType(left->DataType) && IsStringType(right->DataType))
      right->DataType = left->DataType;
    else if (IsTemporalType(right->DataType) && IsStringType(left->DataType))
      left->DataType = right->DataType;
  }
  ApplyScope(node);
  return node;
}

// ---- levels 5 and 6: arithmetic ----

TTavExprNode* TTavExprParser::ParseAdditive() {
  return ParseArithChain(ParseMultiplicative(), TArithLevel::Additive);
}

TTavExprNode* TTavExprParser::ParseMultiplicative() {
  return ParseArithChain(ParsePrimary(), TArithLevel::Multiplicative);
}

TTavExprNode* TTavExprParser::ParseArithChain(TTavExprNode* left, TArithLevel level) {
  const bool multiplicative = level == TArithLevel::Multiplicative;
  while (!HasParseError()) {
    const TTavExprOperator op = GetExprOperator(CurrentToken);
    const bool accepted = multiplicative                   ? op == teoMUL || op == teoDIV
                          : level == TArithLevel::Additive ? op == teoADD || op == teoSUB
                                                           : op == teoADD;
    if (!accepted) break;
    if (!RequireOption(tpoExtSyntax, "Arithmetic operators not supported")) break;
    const TParserToken* opToken = CurrentToken;
    NextToken();
    TTavExprNode* right = multiplicative ? ParsePrimary() : ParseMultiplicative();
    TTavExprNode* node = MakeNode(enkArithOperator, op, Variant(), left, right, opToken);
    if (node == nullptr) return nullptr;
    TypeCheckArithOp(node, opToken);
    if (!multiplicative) node->DataSize = ArithResultSize(node);
    ApplyScope(node);
    if (level == TArithLevel::Character && !HasParseError() && node->DataType != host::ftString)
      SetError(CurrentToken, "Character value expression return type is invalid");
    left = node;
  }
  return HasParseError() ? nullptr : left;
}

void TTavExprParser::TypeCheckArithOp(TTavExprNode* node, const TParserToken* token) {
  TTavExprNode* l = node->Left;
  TTavExprNode* r = node->Right;
  if (IgnoreTypeChecks || l == nullptr || r == nullptr) return;
  if (l->Kind == enkParam && r->Kind == enkParam) return;
  if (l->Kind == enkSubquery || r->Kind == enkSubquery) return;
  if (l->Kind == enkParam) l->DataType = r->DataType;
  if (r->Kind == enkParam) r->DataType = l->DataType;
  const TFieldType lt = l->DataType, rt = r->DataType;
  const TTavExprOperator op = node->Operator;
  if (IsNumericType(lt) && IsNumericType(rt)) {
    node->DataType = host::ftFloat;
  } else if (IsStringType(lt) && IsStringType(rt) && op == teoADD) {
    node->DataType = host::ftString;
  } else if (op == teoADD && ((IsTemporalType(lt) && IsNumericType(rt)) ||
                              (IsNumericType(lt) && IsTemporalType(rt)))) {
    node->DataType = host::ftDateTime;
  } else if (op == teoSUB && IsTemporalType(lt) && IsNumericType(rt)) {
    node->DataType = lt;
  } else if (op == teoSUB && IsTemporalType(lt) && IsTemporalType(rt)) {
    node->DataType = host::ftFloat;
  } else if (op == teoSUB && IsStringType(lt) && IsTemporalType(rt)) {
    l->DataType = rt;
    node->DataType = host::ftFloat;
  } else {
    SetError(token, "Expression data types do not match");
  }
}

int32_t TTavExprParser::ArithResultSize(const TTavExprNode* node) {
  if (node->Operator != teoADD || node->DataType != host::ftString) return 0;
  const TTavExprNode* l = node->Left;
  const TTavExprNode* r = node->Right;
  if (l != nullptr && r != nullptr) {
    // A size not known yet (a parameter's) leaves the sum unknown.
    if (l->DataSize < 0 || r->DataSize < 0) return -1;
    return static_cast<int32_t>(
        std::min<int64_t>(int64_t{l->DataSize} + r->DataSize, INT32_MAX));
  }
  if (l != nullptr) return l->DataSize;
  if (r != nullptr) return r->DataSize;
  return 0;
}

void TTavExprParser::ApplyScope(TTavExprNode* node) {
  if (node == nullptr || HasParseError() || node->Left == nullptr || node->Right == nullptr)
    return;
  const TTavExprScopeKind l = node->Left->ScopeKind, r = node->Right->ScopeKind;
  if ((l == tskField && r == tskAgg) || (l == tskAgg && r == tskField)) {
    SetError(CurrentToken, "Scope is invalid");
  } else if (l == tskConst && r == tskConst) {
    node->ScopeKind = tskConst;
  } else if (l == tskAgg || r == tskAgg) {
    node->ScopeKind = tskAgg;
  } else {
    node->ScopeKind = tskField;
  }
}

// ---- level 7: primaries ----

TTavExprNode* TTavExprParser::ParsePrimary() {
  const TNestingGuard guard(nesting_);
  if (guard.Exceeded()) {
    SetError(CurrentToken, kTooComplex);
    return nullptr;
  }
  return ParsePrimaryToken();
}

TTavExprNode* TTavExprParser::ParsePrimaryToken() {
  if (HasParseError()) return nullptr;
  const TParserToken* token = CurrentToken;
  switch (CurrentTokenType()) {
    case tstLParen: {
      NextToken();
      TTavExprNode* node = ParseCondition();
      if (!Expect(tstRParen, "Missing Right Parenthesis")) return nullptr;
      return node;
    }
    case tstNumber: return ParseNumber();
    case tstValue:
    case tstStringLiteral: return ParseConstant(teoCONST2, Variant(token->Text), host::ftString);
    case tstNull: return ParseConstant(teoISBLANK, host::Null(), host::ftUnknown);
    case tstTrue:
    case tstFalse:
      return ParseConstant(teoCONST2, Variant(token->Token == tstTrue), host::ftUnknown);
    case tstCurrentDate: return ParseConstant(teoFUNC2, Variant(), host::ftDate);
    case tstCurrentTime: return ParseConstant(teoFUNC2, Variant(), host::ftTime);
    case tstCurrentTimestamp: return ParseConstant(teoFUNC2, Variant(), host::ftDateTime);
    case tstFieldName: return ParseField();
    case tstTableName: return ParseQualifiedField();
    case tstParameter: return ParseParameter();
    case tstSelect: return ParseSubquery();
    case tstAll:
    case tstExists:
    case tstAny:
    case tstSome: return ParseQuantifiedSubquery();
    // Without the extended syntax a function is no primary: it stays the
    // current token, and the caller reports where the expression ends.
    case tstAggFunc: return Options.Contains(tpoExtSyntax) ? ParseAggregate() : nullptr;
    case tstStrFunc: return Options.Contains(tpoExtSyntax) ? ParseStringFunction() : nullptr;
    case tstCast: return ParseCast();
    case tstExtract: return ParseExtract();
    default:
      SetError(token, token == nullptr || token->Token == tstEnd ? "Expression incorrectly terminated"
                                                                 : "Invalid token");
      return nullptr;
  }
}

TTavExprNode* TTavExprParser::ParseNumber() {
  double value = 0;
  // Always '.', whatever the process locale; "1.2.3" is no number.
  if (!host::TryStrToFloat(CurrentToken->Text, value)) {
    SetError(CurrentToken, "Invalid token");
    return nullptr;
  }
  return ParseConstant(teoCONST2, Variant(value), host::ftFloat);
}

TTavExprNode* TTavExprParser::ParseConstant(TTavExprOperator op, const Variant& value,
                                            TFieldType type) {
  TTavExprNode* node = MakeNode(enkConst, op, value, nullptr, nullptr, CurrentToken);
  if (node == nullptr) return nullptr;
  node->ScopeKind = tskConst;
  if (type == host::ftString)
    node->SetAndConvertDataType(type);  // and its length
  else
    node->DataType = type;
  NextToken();
  return node;
}

void TTavExprParser::LookUpColumn(const std::string& table, const std::string& column,
                                  const TParserToken* token, TFieldType& type, int32_t& size) {
  type = host::ftUnknown;
  size = -1;
  if (TableList == nullptr || TableList->Count() == 0) return;
  const TTableNameItem* item = TableList->FindTable(table);
  if (item == nullptr) {
    SetError(token, table.empty() ? "Field not found"
                                  : "Table and/or field not found (" + table + "." + column + ")");
    return;
  }
  type = item->GetFieldType(column);
  size = item->GetFieldSize(column);
}

const TTableNameItem* TTavExprParser::FindColumnHolder(const TParserToken* token) {
  if (TableList == nullptr || TableList->Count() == 0) return nullptr;
  // One table: the old rule (an unknown column is typed ftUnknown and left
  // to ValidateFields). Several: every table is asked, and the column must
  // be in exactly one of them.
  if (TableList->Count() == 1) return TableList->Items(0);
  const TTableNameItem* holder = nullptr;
  for (int i = 0; i < TableList->Count(); ++i) {
    const TTableNameItem* item = TableList->Items(i);
    if (item->TableFields().FindField(token->Text) == nullptr) continue;
    if (holder != nullptr) {
      SetError(token, kAmbiguousField);
      return nullptr;
    }
    holder = item;
  }
  if (holder == nullptr) SetError(token, "Field not found");
  return holder;
}

TTavExprNode* TTavExprParser::ParseField() {
  const TParserToken* token = CurrentToken;
  const TTableNameItem* holder = FindColumnHolder(token);
  if (HasParseError()) return nullptr;
  TTavExprNode* node = MakeNode(enkField, teoFIELD2, Variant(token->Text), nullptr, nullptr, token);
  if (node == nullptr) return nullptr;
  node->DataType = holder != nullptr ? holder->GetFieldType(token->Text) : host::ftUnknown;
  node->DataSize = holder != nullptr ? holder->GetFieldSize(token->Text) : -1;
  if (holder != nullptr && holder->TableFields().FindField(token->Text) != nullptr)
    node->TableList.Add()->Assign(*holder);
  if (ValidateFields && node->DataType == host::ftUnknown) {
    SetError(token, "Field not found");
    return nullptr;
  }
  node->ScopeKind = tskField;
  NextToken();
  return node;
}

TTavExprNode* TTavExprParser::ParseQualifiedField() {
  TParserToken* tableToken = CurrentToken;
  const std::string& table = tableToken->Text;
  NextToken();
  const TParserToken* column = CurrentToken;
  if (column == nullptr || column->Token == tstEnd) {
    SetError(column, "Expression incorrectly terminated");
    return nullptr;
  }
  // The node is made before the look-up: an outer reference is resolved on it.
  TTavExprNode* node =
      MakeNode(enkField, teoFIELD2, Variant(column->Text), nullptr, nullptr, column);
  if (node == nullptr) return nullptr;
  TFieldType type;
  int32_t size;
  LookUpColumn(table, column->Text, column, type, size);
  node->DataType = type;
  node->DataSize = size;
  const TTableNameItem* item = TableList != nullptr ? TableList->FindTable(table) : nullptr;
  if (item != nullptr) {
    node->TableList.Add()->Assign(*item);
  } else if (IsSubquery && OnParserNotify) {
    Variant found(table);
    OnParserNotify(pntFindTableRef, this, Stack, node, found);
    if (found.VType() == host::varBoolean && found.AsBoolean()) {
      ClearError();
      const TTableNameItem* outer = node->TableList.FindTable(table);
      node->DataType = outer != nullptr ? outer->GetFieldType(column->Text) : host::ftUnknown;
      node->DataSize = outer != nullptr ? outer->GetFieldSize(column->Text) : -1;
      node->Operator = teoOUTERFIELD;
      node->Kind = enkFunc;
    }
  }
  if (HasParseError()) return nullptr;
  if (ValidateFields && node->DataType == host::ftUnknown) {
    SetError(column, "Field not found");
    return nullptr;
  }
  node->ScopeKind = tskField;
  node->TokenArgs.push_back(tableToken);
  NextToken();
  return node;
}

TTavExprNode* TTavExprParser::ParseParameter() {
  const TParserToken* colon = CurrentToken;
  NextToken();
  if (CurrentTokenType() != tstFieldName) {
    SetError(CurrentToken, "Parameter name expected but none found");
    return nullptr;
  }
  if (!RequireOption(tpoParameters, "Parameters are not supported")) return nullptr;
  TTavExprNode* node =
      MakeNode(enkParam, teoPARAMETER, Variant(CurrentToken->Text), nullptr, nullptr, colon);
  if (node == nullptr) return nullptr;
  node->ScopeKind = tskConst;
  NextToken();
  return node;
}

TTavExprNode* TTavExprParser::ParseSubquery() {
  const TParserToken* select = CurrentToken;
  if (!RequireOption(tpoSubqueries, "Subqueries are not supported")) return nullptr;
  TTavExprNode* node =
      MakeNode(enkSubquery, teoSUBQUERY, Variant(select->Text), nullptr, nullptr, select);
  if (node == nullptr) return nullptr;
  if (OnParserNotify) {
    Variant value;
    OnParserNotify(pntSubquery, this, Stack, node, value);
  } else {
    // Nobody reads the subquery: the SELECT is passed, and what follows it
    // gives the error.
    NextToken();
  }
  return HasParseError() ? nullptr : node;
}

TTavExprNode* TTavExprParser::ParseQuantifiedSubquery() {
  if (!RequireOption(tpoSubqueries, "Subqueries are not supported")) return nullptr;
  const TTavSQLToken quantifier = CurrentTokenType();
  NextToken();
  if (!Expect(tstLParen, "Missing Left Parenthesis")) return nullptr;
  if (CurrentTokenType() != tstSelect) {
    SetError(CurrentToken, "Missing select token");
    return nullptr;
  }
  CurrentToken->CustomOrdinal = quantifier == tstExists ? tsqExists
                                : quantifier == tstAll  ? tsqAll
                                                        : tsqAnyOrSome;
  TTavExprNode* node = ParseSubquery();
  if (!Expect(tstRParen, "Missing Right Parenthesis")) return nullptr;
  return node;
}

TTavExprNode* TTavExprParser::ParseAggregate() {
  const TParserToken* fn = CurrentToken;
  // The call's source text starts with the function's raw text, the last
  // part of ParsedText now.
  const size_t start = ParsedText.size() - std::min(ParsedText.size(), fn->RawTokenText.size());
  NextToken();
  bool distinct = false;
  TTavExprNode* arg = ParseSetFunctionExpr(distinct);
  if (HasParseError()) return nullptr;
  std::vector<TTavExprNode*> args;
  if (arg != nullptr) args.push_back(arg);
  TTavExprNode* node = MakeNode(enkFunc, teoFUNC2, Variant(distinct), nullptr, nullptr, fn, args);
  if (node == nullptr) return nullptr;
  // COUNT counts whatever its argument is: its value is a whole number.
  if (arg != nullptr && fn->CustomOrdinal != tafCount) {
    node->DataType = arg->DataType;
    node->DataSize = arg->DataSize;
  } else {
    node->DataType = host::ftInteger;
    node->DataSize = 0;
  }
  if (Options.Contains(tpoExtractAggFuncExprText)) {
    // From the function name to the closing parenthesis: what has been read
    // without the current token, which follows the call.
    size_t end = ParsedText.size();
    if (CurrentToken != nullptr) end -= std::min(end - start, CurrentToken->RawTokenText.size());
    node->ParserToken.RawTokenText = host::Trim(std::string_view(ParsedText).substr(start, end - start));
  }
  return node;
}

TTavExprNode* TTavExprParser::ParseStringFunction() {
  const TParserToken* fn = CurrentToken;
  switch (fn->CustomOrdinal) {
    case tsfUpper:
    case tsfLower: {
      NextToken();
      TTavExprNode* arg = ParseCharacterValueExpr();
      if (HasParseError()) return nullptr;
      TTavExprNode* node = MakeNode(enkFunc, teoFUNC2, Variant(fn->Text), nullptr, arg, fn);
      if (node == nullptr) return nullptr;
      node->DataType = host::ftString;
      node->DataSize = arg != nullptr ? arg->DataSize : -1;
      return node;
    }
    case tsfTrim: return ParseTrim(fn);
    case tsfSubstring: return ParseSubstring(fn);
    default:
      SetError(fn, "Invalid token");
      return nullptr;
  }
}

TTavExprNode* TTavExprParser::ParseTrim(const TParserToken* fn) {
  TParserToken* trim = CurrentToken;
  NextToken();
  if (!Expect(tstLParen, "Missing Left Parenthesis")) return nullptr;
  trim->CustomOrdinal = tsfTrimBoth;
  if (TokenSymbolIs("LEADING")) {
    trim->CustomOrdinal = tsfTrimLeading;
    NextToken();
  } else if (TokenSymbolIs("TRAILING")) {
    trim->CustomOrdinal = tsfTrimTrailing;
    NextToken();
  } else if (TokenSymbolIs("BOTH")) {
    NextToken();
  }
  TTavExprNode* source = ParseCharacterValueExpr();
  TTavExprNode* trimChar = nullptr;
  if (!HasParseError() && CurrentTokenType() == tstFrom) {
    NextToken();
    trimChar = source;
    source = ParseCharacterValueExpr();
  }
  if (HasParseError()) return nullptr;
  TTavExprNode* node = MakeNode(enkFunc, teoFUNC2, Variant(), source, trimChar, fn);
  if (node == nullptr) return nullptr;
  node->DataType = host::ftString;
  node->DataSize = source != nullptr ? source->DataSize : -1;
  if (!Expect(tstRParen, "Missing Right Parenthesis")) return nullptr;
  return node;
}

TTavExprNode* TTavExprParser::ParseSubstring(const TParserToken* fn) {
  NextToken();
  if (!Expect(tstLParen, "Missing Left Parenthesis")) return nullptr;
  TTavExprNode* source = ParseCharacterValueExpr();
  if (HasParseError()) return nullptr;
  if (CurrentTokenType() != tstFrom && CurrentTokenType() != tstComma) {
    SetError(CurrentToken, "Missing FROM or COMMA token in SUBSTRING function");
    return nullptr;
  }
  NextToken();
  TTavExprNode* start = ParseValueExpr();
  if (HasParseError()) return nullptr;
  std::vector<TTavExprNode*> args;
  if (CurrentTokenType() == tstFor || CurrentTokenType() == tstComma) {
    NextToken();
    TTavExprNode* length = ParseValueExpr();
    if (HasParseError()) return nullptr;
    if (length != nullptr) args.push_back(length);
  }
  TTavExprNode* node = MakeNode(enkFunc, teoFUNC2, Variant(), source, start, fn, args);
  if (node == nullptr) return nullptr;
  node->DataType = host::ftString;
  node->DataSize = source != nullptr ? source->DataSize : -1;
  if (!Expect(tstRParen, "Missing Right Parenthesis")) return nullptr;
  return node;
}

TTavExprNode* TTavExprParser::ParseCast() {
  const TParserToken* cast = CurrentToken;
  NextToken();
  const bool paren = CurrentTokenType() == tstLParen;
  if (paren) NextToken();
  TTavExprNode* value = ParseValueExpr();
  if (CurrentTokenType() == tstAS)
    NextToken();
  else
    SetError(CurrentToken, "Missing AS operator in Cast expression");
  // The type parser reads on from here and hands the position back.
  TTavDataTypeParser typeParser;
  typeParser.SyncCurrToken(*this);
  typeParser.Execute(TTavParserOptions{tpoExtSyntax}, Stack);
  if (!typeParser.ParseDataType(this)) SetError(typeParser.ErrorToken, typeParser.ErrorMsg);
  TTavExprNode* node = MakeNode(enkFunc, teoFUNC2, Variant("CAST"), nullptr, value, cast);
  if (node == nullptr) return nullptr;
  node->DataType = typeParser.DataType;
  node->DataSize = typeParser.FieldSize;
  if (value != nullptr && value->DataType != host::ftUnknown &&
      node->DataType != host::ftUnknown &&
      !TTavDataConversionValidator().CheckDataConversionValid(value->DataType, node->DataType)) {
    SetError(cast, "Cannot convert type " + host::FieldTypeName(value->DataType) + " -> " +
                       host::FieldTypeName(node->DataType));
    return nullptr;
  }
  if (paren && !Expect(tstRParen, "Missing Right Parenthesis")) return nullptr;
  return node;
}

TTavExprNode* TTavExprParser::ParseExtract() {
  TParserToken* extract = CurrentToken;
  NextToken();
  const bool paren = CurrentTokenType() == tstLParen;
  if (paren) NextToken();
  const TTavSQLToken field = CurrentTokenType();
  if (field < tstYear || field > tstSecond) {
    SetError(CurrentToken, "Invalid extract field in EXTRACT expression");
    return nullptr;
  }
  extract->CustomOrdinal = field;
  NextToken();
  if (!Expect(tstFrom, "Missing FROM operator in Extract expression")) return nullptr;
  TTavExprNode* value = ParseValueExpr();
  if (HasParseError()) return nullptr;
  TTavExprNode* node = MakeNode(enkFunc, teoFUNC2, Variant("EXTRACT"), nullptr, value, extract);
  if (node == nullptr) return nullptr;
  node->DataType = field == tstSecond ? host::ftFloat : host::ftInteger;
  const TFieldType t = value != nullptr ? value->DataType : host::ftUnknown;
  const bool timeField = field == tstHour || field == tstMinute || field == tstSecond;
  const bool valid = timeField ? (t == host::ftTime || t == host::ftDateTime)
                               : (IsTemporalType(t) || t == host::ftTimeStamp);
  if (!valid) {
    SetError(extract, "Extract value expression result type is invalid for extract field");
    return nullptr;
  }
  if (paren && !Expect(tstRParen, "Missing Right Parenthesis")) return nullptr;
  return node;
}

// ---- level 8: value expressions ----

bool TTavExprParser::OpenValueParen() {
  if (CurrentTokenType() != tstLParen) return false;
  NextToken();
  if (CurrentTokenType() == tstRParen) SetError(CurrentToken, "Expression is empty");
  return true;
}

TTavExprNode* TTavExprParser::ParseValueExpr() { return ParseGeneralValue(false, nullptr); }

TTavExprNode* TTavExprParser::ParseSetFunctionExpr(bool& distinct) {
  return ParseGeneralValue(true, &distinct);
}

TTavExprNode* TTavExprParser::ParseGeneralValue(bool aggregate, bool* distinct) {
  const bool paren = OpenValueParen();
  if (HasParseError()) return nullptr;
  TTavExprNode* node = nullptr;
  bool noArgument = false;
  if (aggregate) {
    *distinct = CurrentTokenType() == tstDistinct;
    if (CurrentTokenType() == tstDistinct || CurrentTokenType() == tstAll) NextToken();
    if (CurrentTokenType() == tstMult) {
      NextToken();
      noArgument = true;
    }
  }
  if (!noArgument) node = ParseAdditive();
  if (HasParseError()) return nullptr;
  if (paren && !Expect(tstRParen, "Missing Right Parenthesis")) return nullptr;
  return node;
}

TTavExprNode* TTavExprParser::ParseCharacterValueExpr() {
  const bool paren = OpenValueParen();
  if (HasParseError()) return nullptr;
  TTavExprNode* node = ParseArithChain(ParsePrimary(), TArithLevel::Character);
  if (HasParseError()) return nullptr;
  if (paren && !Expect(tstRParen, "Missing Right Parenthesis")) return nullptr;
  return node;
}

}  // namespace tav
