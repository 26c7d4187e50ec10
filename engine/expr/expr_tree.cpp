#include "engine/expr/expr_tree.h"

#include <iterator>
#include <memory>

#include "host/rtl/exceptions.h"
#include "host/rtl/string_list.h"
#include "host/rtl/sys_utils.h"
#include "host/rtl/variant_ops.h"

namespace tav {

namespace {

// clang-format off
constexpr const char* kTokenNames[] = {
    "tstUnknown", "tstTableName", "tstTableAlias", "tstFieldName", "tstAscending",
    "tstDescending", "tstSelect", "tstFrom", "tstWhere", "tstGroupBy", "tstHaving", "tstUnion",
    "tstPlan", "tstOrderBy", "tstForUpdate", "tstEnd", "tstPredicate", "tstValue",
    "tstStringLiteral", "tstIsNull", "tstIsNotNull", "tstLike", "tstAnd", "tstOr", "tstNumber",
    "tstComment", "tstDistinct", "tstComma", "tstLParen", "tstRParen", "tstAdd", "tstSub",
    "tstMult", "tstDiv", "tstBetween", "tstAS", "tstCase", "tstWhen", "tstThen", "tstNullif",
    "tstCoalesce", "tstJoin", "tstInner", "tstOuter", "tstLeft", "tstRight", "tstCross",
    "tstNatural", "tstFull", "tstAggFunc", "tstFunc", "tstDataType", "tstParameter", "tstCast",
    "tstNot", "tstIn", "tstCompOperator", "tstNull", "tstTrue", "tstFalse", "tstStrFunc",
    "tstFor", "tstConcatenate", "tstOn", "tstUsing", "tstEscape", "tstNotLike", "tstNotBetween",
    "tstNotIn", "tstChar", "tstInt", "tstSmallInt", "tstFloat", "tstDate", "tstTime",
    "tstTimeStamp", "tstDecimal", "tstVarChar", "tstNumeric", "tstBoolean", "tstMoney", "tstBlob",
    "tstExtract", "tstYear", "tstMonth", "tstDay", "tstHour", "tstMinute", "tstSecond",
    "tstCurrentDate", "tstCurrentTime", "tstCurrentTimestamp", "tstAll", "tstExists", "tstAny",
    "tstSome", "tstInsert", "tstInto", "tstValues", "tstDelete", "tstUpdate", "tstSet",
    "tstCreate", "tstTable", "tstAddWord", "tstDrop", "tstAlter", "tstColumn", "tstPrimaryKey",
    "tstIndex", "tstAutoInc", "tstUnique", "tstType", "tstTo", "tstTemporary"};
static_assert(std::size(kTokenNames) == TTavSQLTokenCount);

constexpr const char* kKindNames[] = {
    "enkUnknown", "enField", "enConst", "enkParam", "enkRelOperator", "enkArithOperator",
    "enkLogicalOperator", "enkFunc", "enkNonRelPredicate", "enkSubquery"};
static_assert(std::size(kKindNames) == enkSubquery + 1);

constexpr const char* kOperatorNames[] = {
    "coNOTDEFINED", "coISBLANK", "coNOTBLANK", "coEQ", "coNE", "coGT", "coLT", "coGE", "coLE",
    "coNOT", "coAND", "coOR", "coTUPLE2", "coFIELD2", "coCONST2", "coMINUS", "coADD", "coSUB",
    "coMUL", "coDIV", "coMOD", "coREM", "coSUM", "coCOUNT", "coMIN", "coMAX", "coAVG", "coCONT",
    "coUDF2", "coCONTINUE2", "coLIKE", "coIN", "coLIST2", "coUPPER", "coLOWER", "coFUNC2",
    "coLISTELEM2", "coASSIGN", "teoSUBQUERY", "teoOUTERFIELD", "teoPARAMETER"};
static_assert(std::size(kOperatorNames) == TTavExprOperatorCount);
// clang-format on

// The dump doubles the indent for each level of arguments; past this length it
// stops doubling, so that deeply nested function calls cannot make the
// indent grow without bound.
constexpr size_t kMaxDoubledIndent = 1024;

void CheckDepth(int depth) {
  TAV_ASSERT(depth <= MaxExprTreeDepth, "Expression tree deeper than MaxExprTreeDepth");
}

// Same variant type and same value; arrays element by element.
bool SameData(const host::Variant& a, const host::Variant& b) {
  if (a.VType() != b.VType()) return false;
  if (a.IsArray()) {
    if (a.LowBound() != b.LowBound() || a.HighBound() != b.HighBound()) return false;
    for (int i = a.LowBound(); i <= a.HighBound(); ++i)
      if (!SameData(a.Element(i), b.Element(i))) return false;
    return true;
  }
  return host::VarEquals(a, b);
}

}  // namespace

std::string_view SQLTokenName(TTavSQLToken token) {
  return token < TTavSQLTokenCount ? kTokenNames[token] : "";
}

std::string_view ExprNodeKindName(TTavExprNodeKind kind) {
  return kind <= enkSubquery ? kKindNames[kind] : "";
}

std::string_view ExprOperatorName(TTavExprOperator op) {
  return op < TTavExprOperatorCount ? kOperatorNames[op] : "";
}

// ---- TTavExprNode ----

void TTavExprNode::SetParserToken(const TParserToken* token) {
  if (token == nullptr) return;
  ParserToken.AssignToken(*token);
  // The raw text serves only the parser that reads the token stack.
  ParserToken.RawTokenText.clear();
}

void TTavExprNode::SetTableList(const TTableList* list) {
  TableList.Clear();
  if (list != nullptr) TableList.Assign(*list);
}

void TTavExprNode::AssignNode(const TTavExprNode& source) {
  if (&source == this) return;
  // next_ stays: it belongs to this node's own expression, and copying the
  // source's would splice the two expressions' node lists together.
  DataSize = source.DataSize;
  Left = source.Left;
  Right = source.Right;
  Operator = source.Operator;
  Kind = source.Kind;
  ScopeKind = source.ScopeKind;
  DataType = source.DataType;
  TokenArgs = source.TokenArgs;
  SetParserToken(&source.ParserToken);
  Data = source.Data;
  CaseInsensitiveMatch = source.CaseInsensitiveMatch;
  PartialMatch = source.PartialMatch;
  PartialLength = source.PartialLength;
  SetTableList(&source.TableList);
  ExprNodeDataProvider = source.ExprNodeDataProvider;
}

TTavExprNode* TTavExprNode::CloneNode(TTavExpr& owner) const {
  return owner.CloneNodeAt(*this, 1);
}

void TTavExprNode::SetAndConvertDataType(host::TFieldType type) {
  if (!Data.IsNull()) {
    switch (type) {
      case host::ftString:
        Data = host::Variant(Data.AsString());
        DataSize = static_cast<int32_t>(Data.StrRef().size());
        break;
      case host::ftSmallint:
      case host::ftInteger:
        Data = host::Variant(Data.AsInteger());
        break;
      case host::ftBoolean:
        Data = host::Variant(Data.AsBoolean());
        break;
      case host::ftFloat:
        Data = host::Variant(Data.AsDouble());
        break;
      case host::ftCurrency:
        Data = host::Variant::FromCurrency(Data.AsCurrency());
        break;
      case host::ftDate:
      case host::ftDateTime:
        Data = host::Variant::FromDate(Data.AsDateTime());
        break;
      default:
        break;
    }
  }
  DataType = type;
}

bool TTavExprNode::AreNodesEquivalent(const TTavExprNode* other) const {
  return EquivalentAt(other, 1);
}

bool TTavExprNode::EquivalentAt(const TTavExprNode* other, int depth) const {
  CheckDepth(depth);
  if (other == nullptr) return false;
  if (DataSize != other->DataSize || Operator != other->Operator || Kind != other->Kind ||
      ScopeKind != other->ScopeKind || DataType != other->DataType ||
      ParserToken.Token != other->ParserToken.Token ||
      CaseInsensitiveMatch != other->CaseInsensitiveMatch || PartialMatch != other->PartialMatch ||
      PartialLength != other->PartialLength)
    return false;
  if (!SameData(Data, other->Data)) return false;
  if (TableList.Count() != other->TableList.Count()) return false;
  for (int i = 0; i < TableList.Count(); ++i)
    if (TableList.Items(i)->TableName() != other->TableList.Items(i)->TableName()) return false;
  if (TokenArgs.size() != other->TokenArgs.size()) return false;
  for (size_t i = 0; i < TokenArgs.size(); ++i) {
    const TParserToken* a = TokenArgs[i];
    const TParserToken* b = other->TokenArgs[i];
    if ((a == nullptr) != (b == nullptr)) return false;
    if (a != nullptr && a->Token != b->Token) return false;
  }
  if (Args.size() != other->Args.size()) return false;
  for (size_t i = 0; i < Args.size(); ++i) {
    if (Args[i] == nullptr || other->Args[i] == nullptr) {
      if (Args[i] != other->Args[i]) return false;
    } else if (!Args[i]->EquivalentAt(other->Args[i], depth + 1)) {
      return false;
    }
  }
  return true;
}

void TTavExprNode::Display(const std::string& indent, host::TStrings& lines) const {
  DisplayAt(indent, lines, 1);
}

void TTavExprNode::DisplayExprTree(const std::string& indent, const TTavExprNode* node,
                                   host::TStrings& lines) {
  DisplayTreeAt(indent, node, lines, 1);
}

void TTavExprNode::DisplayAt(const std::string& indent, host::TStrings& lines, int depth) const {
  std::string line = indent;
  line += ExprNodeKindName(Kind);
  line += ':';
  line += ExprOperatorName(Operator);
  line += " :: ";
  line += SQLTokenName(ParserToken.Token);
  line += "  -  ";
  line += ParserToken.Text;
  line += " :: ";
  line += host::FieldTypeName(DataType);
  line += " - ";
  line += host::IntToStr(DataSize);
  lines.Add(line);
  if (Args.empty()) return;
  const std::string argIndent = indent.size() <= kMaxDoubledIndent ? indent + indent : indent;
  lines.Add(argIndent + "Start Args");
  for (const TTavExprNode* arg : Args) DisplayTreeAt(argIndent + "** ", arg, lines, depth + 1);
  lines.Add(argIndent + "End Args");
}

void TTavExprNode::DisplayTreeAt(const std::string& indent, const TTavExprNode* node,
                                 host::TStrings& lines, int depth) {
  if (node == nullptr) return;
  CheckDepth(depth);
  DisplayTreeAt(indent + " ", node->Left, lines, depth + 1);
  node->DisplayAt(indent, lines, depth);
  DisplayTreeAt(indent + " ", node->Right, lines, depth + 1);
}

// ---- TTavExpr ----

void TTavExpr::Clear() {
  TTavExprNode* node = head_;
  head_ = nullptr;
  node_count_ = 0;
  while (node != nullptr) {
    TTavExprNode* next = node->next_;
    delete node;
    node = next;
  }
}

TTavExprNode* TTavExpr::Adopt(TTavExprNode* node) {
  node->next_ = head_;
  head_ = node;
  ++node_count_;
  return node;
}

TTavExprNode* TTavExpr::NewNode(TTavExprNodeKind kind, TTavExprOperator op,
                                const host::Variant& value, TTavExprNode* left, TTavExprNode* right,
                                const TParserToken* token) {
  if (!error_msg_.empty()) return nullptr;
  auto node = std::make_unique<TTavExprNode>();
  node->Kind = kind;
  node->Operator = op;
  node->Data = value;
  node->Left = left;
  node->Right = right;
  node->SetParserToken(token);
  node->CaseInsensitiveMatch = case_insensitive_match_;
  node->PartialMatch = partial_string_comparisons_;
  return Adopt(node.release());
}

TTavExprNode* TTavExpr::NewFieldNode(TTavExprNodeKind kind, TTavExprOperator op,
                                     const host::Variant& value, TTavExprNode* left,
                                     TTavExprNode* right, const TParserToken* token,
                                     host::TFieldType fieldType, int32_t size) {
  TTavExprNode* node = NewNode(kind, op, value, left, right, token);
  if (node != nullptr) {
    node->DataType = fieldType;
    node->DataSize = size;
  }
  return node;
}

TTavExprNode* TTavExpr::CloneNodeAt(const TTavExprNode& source, int depth) {
  CheckDepth(depth);
  auto copy = std::make_unique<TTavExprNode>();
  copy->AssignNode(source);
  TTavExprNode* node = Adopt(copy.release());
  // Whole argument subtrees: a copy must not point into the source tree,
  // which may belong to an expression that is freed first.
  node->Args.reserve(source.Args.size());
  for (const TTavExprNode* arg : source.Args) node->Args.push_back(CloneSubTreeAt(arg, depth + 1));
  return node;
}

TTavExprNode* TTavExpr::CloneSubTreeAt(const TTavExprNode* node, int depth) {
  if (node == nullptr) return nullptr;
  TTavExprNode* clone = CloneNodeAt(*node, depth);
  clone->Left = CloneSubTreeAt(node->Left, depth + 1);
  clone->Right = CloneSubTreeAt(node->Right, depth + 1);
  return clone;
}

TTavExprNode* TTavExpr::CloneSubTree(const TTavExprNode* node) {
  return CloneSubTreeAt(node, 1);
}

TTavExprNode* TTavExpr::CloneFromTree(const TTavExprNode* node) {
  TTavExprNode* root = CloneSubTree(node);
  SetAsFirstNode(root);
  return root;
}

void TTavExpr::SetAsFirstNode(TTavExprNode* node) {
  if (node == nullptr || node == head_) return;
  for (TTavExprNode* prev = head_; prev != nullptr; prev = prev->next_) {
    if (prev->next_ == node) {
      prev->next_ = node->next_;
      node->next_ = head_;
      head_ = node;
      return;
    }
  }
}

TTavExprNode* TTavExpr::FindNodeWithToken(TTavSQLToken token) const {
  for (TTavExprNode* node = head_; node != nullptr; node = node->next_)
    if (node->ParserToken.Token == token) return node;
  return nullptr;
}

void TTavExpr::ResetSpecifiedNodes(TTavSQLToken token, TTavSQLToken newToken, TTavExprNodeKind kind,
                                   TTavExprOperator op, const host::Variant& value) {
  TAV_ASSERT(token != newToken, "ResetSpecifiedNodes needs a new token kind");
  // One pass does what searching again from the head after each change would:
  // a changed node no longer matches, and nothing else changes.
  for (TTavExprNode* node = head_; node != nullptr; node = node->next_) {
    if (node->ParserToken.Token != token) continue;
    node->ParserToken.Token = newToken;
    node->Operator = op;
    node->Kind = kind;
    node->Data = value;
  }
}

void TTavExpr::Display(host::TStrings& lines) const {
  TTavExprNode::DisplayExprTree("", head_, lines);
}

}  // namespace tav
