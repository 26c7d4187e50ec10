#include "engine/query/parse/join_post_processor.h"

#include <algorithm>

#include "engine/expr/base_parser.h"
#include "engine/query/parse/parse_messages.h"
#include "host/rtl/sys_utils.h"
#include "host/rtl/variant.h"

namespace tav {

namespace {

constexpr const char* kTooComplex = "Expression is too complex";

bool IsField(const TTavExprNode* node) { return node != nullptr && node->Kind == enkField; }
bool IsConst(const TTavExprNode* node) { return node != nullptr && node->Kind == enkConst; }

bool IsTemporalType(host::TFieldType t) {
  return t == host::ftDate || t == host::ftTime || t == host::ftDateTime;
}
bool IsStringType(host::TFieldType t) { return t == host::ftString || t == host::ftWideString; }

// The height of a parsed tree, which the parser kept within MaxExprTreeDepth.
int TreeHeight(const TTavExprNode* node) {
  if (node == nullptr) return 0;
  int h = std::max(TreeHeight(node->Left), TreeHeight(node->Right));
  for (const TTavExprNode* arg : node->Args) h = std::max(h, TreeHeight(arg));
  return h + 1;
}

// The name a condition qualifies a table node's columns with.
const std::string& Qualifier(const TTavTableRefNode* node) {
  return node->CorrelationName.empty() ? node->Text : node->CorrelationName;
}

bool Holds(const TTableNameItem* item, const std::string& column) {
  return item != nullptr && item->TableFields().FindField(column) != nullptr;
}

}  // namespace

bool TJoinPostProcessor::Execute(TTavTableRefNode* root) {
  error_msg_.clear();
  error_token_ = nullptr;
  ProcessJoin(root, 1);
  return !HasError();
}

std::string TJoinPostProcessor::GetErrorMsg() const {
  return error_token_ != nullptr ? error_msg_ + TokenPositionText(*error_token_) : error_msg_;
}

void TJoinPostProcessor::SetError(const TParserToken* token, std::string_view message) {
  if (HasError()) return;
  error_token_ = token;
  error_msg_ = message;
}

void TJoinPostProcessor::ProcessJoin(TTavTableRefNode* join, int depth) {
  // The FROM parser keeps its trees within MaxExprTreeDepth.
  if (join == nullptr || HasError() || !IsJoinRefType(join->JoinType) ||
      depth > MaxExprTreeDepth)
    return;
  ProcessJoin(join->Left, depth + 1);
  ProcessJoin(join->Right, depth + 1);
  if (HasError()) return;
  std::vector<TJoinTable> left, right;
  CollectTables(join->Left, left);
  CollectTables(join->Right, right);
  std::vector<TJoinTable> all = left;
  all.insert(all.end(), right.begin(), right.end());
  if (!CheckOnFields(join, all)) return;
  AddUsingConditions(join, left, right);
}

void TJoinPostProcessor::CollectTables(const TTavTableRefNode* node,
                                       std::vector<TJoinTable>& out) {
  if (node == nullptr) return;
  if (node->JoinType == trTableName) {
    const TTableNameItem* item = tables_.FindTableAndCorrelationName(node->Text, node->CorrelationName);
    out.push_back({node, item});
    return;
  }
  CollectTables(node->Left, out);
  CollectTables(node->Right, out);
}

bool TJoinPostProcessor::CheckOnFields(TTavTableRefNode* join,
                                       const std::vector<TJoinTable>& tables) {
  TTavExpr& expr = join->OnExpr();
  for (TTavExprNode* node = expr.Root(); node != nullptr; node = node->Next()) {
    if (!IsField(node)) continue;
    const std::string column = host::VarToStr(node->Data);
    const TParserToken* qualifier = node->TokenArgs.empty() ? nullptr : node->TokenArgs.front();
    // The table the qualifier names: by correlation name first, then by
    // the name of a table without one, then by any table's name. ON may only
    // name tables of its own join.
    const TJoinTable* found = nullptr;
    if (qualifier != nullptr) {
      for (const TJoinTable& t : tables) {
        if (!t.Node->CorrelationName.empty() &&
            host::AnsiSameText(t.Node->CorrelationName, qualifier->Text)) {
          found = &t;
          break;
        }
      }
      for (size_t i = 0; found == nullptr && i < tables.size(); ++i) {
        if (tables[i].Node->CorrelationName.empty() && host::AnsiSameText(tables[i].Node->Text, qualifier->Text))
          found = &tables[i];
      }
      for (size_t i = 0; found == nullptr && i < tables.size(); ++i) {
        if (host::AnsiSameText(tables[i].Node->Text, qualifier->Text)) found = &tables[i];
      }
    }
    if (found == nullptr || !Holds(found->Item, column)) {
      SetError(&node->ParserToken, kQryFieldNotInJoinTables + column);
      return false;
    }
    node->DataType = found->Item->GetFieldType(column);
    node->DataSize = found->Item->GetFieldSize(column);
    node->TableList.Clear();
    node->TableList.Add()->Assign(*found->Item);
  }
  // A constant compared with a column is read as the column's type, as the
  // expression parser types it where it knows the columns.
  for (TTavExprNode* node = expr.Root(); node != nullptr; node = node->Next()) {
    if (!IsRelOperator(node->Operator) || node->Left == nullptr || node->Right == nullptr)
      continue;
    TTavExprNode* l = node->Left;
    TTavExprNode* r = node->Right;
    if (IsField(l) && IsConst(r)) {
      r->DataType = l->DataType;
      r->DataSize = l->DataSize;
    } else if (IsField(r) && IsConst(l)) {
      l->DataType = r->DataType;
      l->DataSize = r->DataSize;
    } else if (IsTemporalType(l->DataType) && IsStringType(r->DataType)) {
      r->DataType = l->DataType;
    } else if (IsTemporalType(r->DataType) && IsStringType(l->DataType)) {
      l->DataType = r->DataType;
    }
  }
  return true;
}

void TJoinPostProcessor::AddUsingConditions(TTavTableRefNode* join,
                                            const std::vector<TJoinTable>& left,
                                            const std::vector<TJoinTable>& right) {
  // The columns to join on, each once, with the token to blame.
  std::vector<std::pair<std::string, const TParserToken*>> columns;
  const auto seen = [&columns](const std::string& name) {
    return std::any_of(columns.begin(), columns.end(),
                       [&name](const auto& c) { return host::AnsiSameText(c.first, name); });
  };
  const host::TStringList& using_ = join->UsingColumnList();
  if (using_.Count() > 0) {
    for (int i = 0; i < using_.Count(); ++i) {
      const std::string name = using_.Strings(i);
      if (!seen(name)) columns.emplace_back(name, static_cast<const TParserToken*>(using_.Objects(i)));
    }
  } else if (join->IsNaturalJoin) {
    // The columns both sides have; none leaves the join without a condition.
    for (const TJoinTable& t : left) {
      if (t.Item == nullptr) continue;
      const TInternalFields& fields = t.Item->TableFields();
      for (int i = 0; i < fields.Count(); ++i) {
        const std::string& name = fields.Items(i)->FieldName();
        const bool onRight = std::any_of(right.begin(), right.end(),
                                         [&name](const TJoinTable& r) { return Holds(r.Item, name); });
        if (onRight && !seen(name)) columns.emplace_back(name, nullptr);
      }
    }
  }
  if (columns.empty()) return;
  if (TreeHeight(join->OnExpr().Root()) + static_cast<int>(columns.size()) + 1 > MaxExprTreeDepth) {
    SetError(columns.front().second, kTooComplex);
    return;
  }
  for (const auto& column : columns) {
    const std::string& name = column.first;
    const auto* token = column.second;
    const auto holder = [&name](const TJoinTable& t) { return Holds(t.Item, name); };
    const auto l = std::find_if(left.begin(), left.end(), holder);
    const auto r = std::find_if(right.begin(), right.end(), holder);
    if (l == left.end() || r == right.end()) {
      SetError(token, kQryFieldNotInJoinTables + name);
      return;
    }
    AddEquality(join, *l, *r, name);
  }
}

void TJoinPostProcessor::AddEquality(TTavTableRefNode* join, const TJoinTable& left,
                                     const TJoinTable& right, const std::string& column) {
  TTavExpr& expr = join->OnExpr();
  TTavExprNode* existing = expr.Root();
  const auto fieldNode = [&](const TJoinTable& side) {
    const TInternalFieldItem* field = side.Item->TableFields().FindField(column);
    TParserToken* name = join->NewOwnedToken(tstFieldName, field->FieldName());
    TTavExprNode* node = expr.NewNode(enkField, teoFIELD2, host::Variant(field->FieldName()),
                                      nullptr, nullptr, name);
    node->DataType = side.Item->GetFieldType(column);
    node->DataSize = side.Item->GetFieldSize(column);
    node->ScopeKind = tskField;
    node->TokenArgs.push_back(join->NewOwnedToken(tstTableName, Qualifier(side.Node)));
    node->TableList.Add()->Assign(*side.Item);
    return node;
  };
  TTavExprNode* l = fieldNode(left);
  TTavExprNode* r = fieldNode(right);
  TTavExprNode* eq =
      expr.NewNode(enkRelOperator, teoEQ, host::Variant(), l, r, join->NewOwnedToken(tstCompOperator, "="));
  eq->DataType = host::ftBoolean;
  if (existing == nullptr) return;
  TTavExprNode* both = expr.NewNode(enkLogicalOperator, teoAND, host::Variant(), existing, eq,
                                    join->NewOwnedToken(tstAnd, "AND"));
  both->DataType = host::ftBoolean;
}

}  // namespace tav
