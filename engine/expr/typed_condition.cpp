#include "engine/expr/typed_condition.h"

#include <cmath>
#include <cstring>

#include "engine/storage/record/internal_fields.h"
#include "host/rtl/sys_utils.h"
#include "host/rtl/variant_ops.h"

namespace tav {

namespace {

bool IsTextType(host::TFieldType t) { return t == host::ftString || t == host::ftWideString; }

bool IsServedField(host::TFieldType t) {
  return t == host::ftSmallint || t == host::ftWord || t == host::ftInteger ||
         t == host::ftAutoInc || t == host::ftFloat || t == host::ftString;
}

bool IsCompare(TTavExprOperator op) {
  return op == teoEQ || op == teoNE || op == teoGT || op == teoLT || op == teoGE || op == teoLE;
}

bool IsArith(TTavExprOperator op) {
  return op == teoADD || op == teoSUB || op == teoMUL || op == teoDIV;
}

template <class T>
int Order(T a, T b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

}  // namespace

bool TTypedCondition::Compile(const TExprEvaluatorNode* root, TTavExprDataProvider* provider,
                              bool excludeNulls, TDBStringCompare compare) {
  nodes_.clear();
  provider_ = provider;
  exclude_nulls_ = excludeNulls;
  compare_ = compare;
  // A provider without stored rows, or a condition without a logical value
  // at its root, is left to the general evaluator.
  root_ = -1;
  if (provider != nullptr && root != nullptr && compare != nullptr && provider->KeepsStoredRecords())
    root_ = Add(root, 1);
  if (root_ < 0) nodes_.clear();
  return root_ >= 0;
}

int TTypedCondition::Add(const TExprEvaluatorNode* node, int depth) {
  if (node == nullptr || depth > MaxExprTreeDepth) return -1;
  const TTavExprNode* expr = node->ExprNode;
  if (!node->Args.empty()) return -1;
  TNode made;
  made.Op = expr->Operator;
  if (expr->Kind == enkRelOperator && IsCompare(expr->Operator)) {
    const TTavExprNode* l = expr->Left;
    const TTavExprNode* r = expr->Right;
    if (l == nullptr || r == nullptr || l->PartialLength > 0 || r->PartialLength > 0) return -1;
    made.Kind = nkCompare;
    // As the general evaluator decides: texts when both sides are typed as
    // texts, else numbers.
    made.Texts = IsTextType(l->DataType) && IsTextType(r->DataType);
    made.CaseInsensitive = expr->CaseInsensitiveMatch;
    TValueKind a = vkMissing, b = vkMissing;
    made.Left = AddValue(node->Left, depth + 1, a);
    if (made.Left < 0) return -1;
    made.Right = AddValue(node->Right, depth + 1, b);
    if (made.Right < 0) return -1;
    for (const TValueKind k : {a, b}) {
      if (k == vkMissing) continue;
      if (made.Texts != (k == vkText)) return -1;
    }
  } else if (expr->Kind == enkLogicalOperator &&
             (expr->Operator == teoAND || expr->Operator == teoOR || expr->Operator == teoNOT)) {
    made.Kind = expr->Operator == teoAND ? nkAnd : expr->Operator == teoOR ? nkOr : nkNot;
    made.Left = Add(node->Left, depth + 1);
    if (made.Left < 0) return -1;
    if (made.Kind == nkNot) {
      if (node->Right != nullptr) return -1;
    } else {
      made.Right = Add(node->Right, depth + 1);
      if (made.Right < 0) return -1;
    }
  } else {
    return -1;
  }
  nodes_.push_back(std::move(made));
  return static_cast<int>(nodes_.size()) - 1;
}

int TTypedCondition::AddValue(const TExprEvaluatorNode* node, int depth, TValueKind& kind) {
  if (node == nullptr || depth > MaxExprTreeDepth || !node->Args.empty()) return -1;
  const TTavExprNode* expr = node->ExprNode;
  TNode made;
  switch (expr->Kind) {
    case enkField: {
      const TInternalFieldItem* f = node->FieldRef;
      if (f == nullptr || node->DataProvider != provider_ || !IsServedField(f->DataType()) ||
          f->DataType() != expr->DataType || expr->PartialLength > 0)
        return -1;
      made.Kind = nkField;
      made.FieldNo = f->FieldNo();
      made.FieldType = f->DataType();
      made.FieldSize = f->FieldSize();
      made.Upper = expr->CaseInsensitiveMatch && f->DataType() == host::ftString;
      kind = f->DataType() == host::ftString ? vkText : f->DataType() == host::ftFloat ? vkDouble : vkInt;
      break;
    }
    case enkConst: {
      const host::Variant& v = expr->Data;
      made.Kind = nkConst;
      switch (v.VType()) {
        case host::varNull: made.Const.Kind = vkMissing; break;
        case host::varSmallint:
        case host::varInteger:
        case host::varInt64:
          made.Const.Kind = vkInt;
          made.Const.Int = v.AsInt64();
          break;
        case host::varDouble:
          made.Const.Kind = vkDouble;
          made.Const.Double = v.AsDouble();
          break;
        case host::varString:
          made.Const.Kind = vkText;
          made.ConstText = v.StrRef();
          break;
        default: return -1;  // dates, Booleans, currency, the clock's values
      }
      kind = made.Const.Kind;
      break;
    }
    case enkArithOperator: {
      if (!IsArith(expr->Operator)) return -1;
      made.Kind = nkArith;
      TValueKind a = vkMissing, b = vkMissing;
      made.Left = AddValue(node->Left, depth + 1, a);
      if (made.Left < 0) return -1;
      made.Right = AddValue(node->Right, depth + 1, b);
      if (made.Right < 0) return -1;
      // Texts would concatenate or be read as numbers: the general rules.
      if (a == vkText || b == vkText) return -1;
      kind = vkDouble;
      break;
    }
    default: return -1;
  }
  made.Op = expr->Operator;
  nodes_.push_back(std::move(made));
  return static_cast<int>(nodes_.size()) - 1;
}

TTypedCondition::TOutcome TTypedCondition::Test() {
  switch (Logic(root_)) {
    case lgTrue: return toTrue;
    case lgUnsure: return toUnsure;
    default: return toFalse;
  }
}

bool TTypedCondition::Value(int n, TValue& out) {
  TNode& node = nodes_[static_cast<size_t>(n)];
  switch (node.Kind) {
    case nkConst:
      out = node.Const;
      if (out.Kind == vkText) out.Text = node.ConstText;
      return true;
    case nkField: {
      const uint8_t* data = nullptr;
      int32_t length = 0;
      if (!provider_->GetStoredField(node.FieldNo, data, length)) return false;
      if (data == nullptr) {
        out.Kind = vkMissing;
        return true;
      }
      switch (node.FieldType) {
        case host::ftSmallint:
        case host::ftWord:
        case host::ftInteger:
        case host::ftAutoInc:
          out.Kind = vkInt;
          out.Int = StoredWholeNumber(node.FieldType, data);
          return true;
        case host::ftFloat:
          out.Kind = vkDouble;
          out.Double = StoredFloat(data);
          return true;
        default: {
          out.Kind = vkText;
          out.Text = std::string_view(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
          if (node.Upper) {
            // Upper-cased in the node's own buffer, which keeps its room
            // from row to row.
            node.Scratch.assign(out.Text);
            for (char& c : node.Scratch) c = host::AnsiUpperChar(c);
            out.Text = node.Scratch;
          }
          return true;
        }
      }
    }
    case nkArith: {
      TValue l, r;
      if (!Value(node.Left, l) || !Value(node.Right, r)) return false;
      // A missing operand stays missing.
      if (l.Kind == vkMissing || r.Kind == vkMissing) {
        out.Kind = vkMissing;
        return true;
      }
      if (node.Op != teoDIV && l.Kind == vkInt && r.Kind == vkInt) {
        int64_t v;
        const bool overflow = node.Op == teoADD   ? __builtin_add_overflow(l.Int, r.Int, &v)
                              : node.Op == teoSUB ? __builtin_sub_overflow(l.Int, r.Int, &v)
                                                  : __builtin_mul_overflow(l.Int, r.Int, &v);
        if (overflow) return false;
        out.Kind = vkInt;
        out.Int = v;
        return true;
      }
      const double x = l.Kind == vkInt ? static_cast<double>(l.Int) : l.Double;
      const double y = r.Kind == vkInt ? static_cast<double>(r.Int) : r.Double;
      double v;
      switch (node.Op) {
        case teoADD: v = x + y; break;
        case teoSUB: v = x - y; break;
        case teoMUL: v = x * y; break;
        default:
          // The general evaluator raises the division's error.
          if (y == 0) return false;
          v = x / y;
          break;
      }
      if (!std::isfinite(v)) return false;  // the host's overflow or invalid operation
      out.Kind = vkDouble;
      out.Double = v;
      return true;
    }
    default: return false;
  }
}

TTypedCondition::TLogic TTypedCondition::Compare(const TNode& node, const TValue& l,
                                                const TValue& r) const {
  const bool lm = l.Kind == vkMissing;
  const bool rm = r.Kind == vkMissing;
  int c;
  if (node.Texts) {
    // In SQL a missing text matches nothing; otherwise it is ''.
    if (exclude_nulls_ && (lm || rm)) return lgEmpty;
    const std::string_view a = lm ? std::string_view() : l.Text;
    const std::string_view b = rm ? std::string_view() : r.Text;
    const int compared = compare_(a.data() ? a.data() : "", b.data() ? b.data() : "",
                                  static_cast<int>(a.size()), static_cast<int>(b.size()),
                                  node.CaseInsensitive, false);
    c = Order(compared, 0);
  } else {
    // A missing number sorts below every value and equals another one.
    if (exclude_nulls_ && (lm || rm)) return lgEmpty;
    if (lm || rm) {
      c = Order(!lm, !rm);
    } else if (l.Kind == vkInt && r.Kind == vkInt) {
      c = Order(l.Int, r.Int);
    } else if (l.Kind == vkInt) {
      c = host::CompareIntDouble(l.Int, r.Double);
    } else if (r.Kind == vkInt) {
      c = -host::CompareIntDouble(r.Int, l.Double);
    } else {
      c = host::CompareDoubles(l.Double, r.Double);
    }
  }
  bool holds;
  switch (node.Op) {
    case teoEQ: holds = c == 0; break;
    case teoNE: holds = c != 0; break;
    case teoGT: holds = c > 0; break;
    case teoLT: holds = c < 0; break;
    case teoGE: holds = c >= 0; break;
    default: holds = c <= 0; break;
  }
  return holds ? lgTrue : lgFalse;
}

TTypedCondition::TLogic TTypedCondition::Logic(int n) {
  const TNode& node = nodes_[static_cast<size_t>(n)];
  switch (node.Kind) {
    case nkCompare: {
      TValue l, r;
      if (!Value(node.Left, l) || !Value(node.Right, r)) return lgUnsure;
      return Compare(node, l, r);
    }
    case nkNot: {
      const TLogic a = Logic(node.Left);
      if (a == lgUnsure || a == lgEmpty) return a;
      return a == lgTrue ? lgFalse : lgTrue;
    }
    default: {
      // Both sides are evaluated, as the general evaluator does: an error
      // on either side is raised there.
      const TLogic a = Logic(node.Left);
      const TLogic b = Logic(node.Right);
      if (a == lgUnsure || b == lgUnsure) return lgUnsure;
      if (node.Kind == nkAnd) {
        if (a == lgEmpty || b == lgEmpty) return lgEmpty;
        return a == lgTrue && b == lgTrue ? lgTrue : lgFalse;
      }
      if (a == lgEmpty && b == lgEmpty) return lgEmpty;
      return a == lgTrue || b == lgTrue ? lgTrue : lgFalse;
    }
  }
}

}  // namespace tav
