#include "engine/expr/op_evaluator.h"

#include "host/rtl/variant_ops.h"

namespace tav {

namespace {

bool IsMissing(const host::Variant& v) {
  return v.IsNull() || v.IsEmpty();
}

}  // namespace

bool IsTrueValue(const host::Variant& v) {
  if (IsMissing(v)) return false;
  if (v.VType() == host::varBoolean) return v.AsBoolean();
  return host::VarEquals(v, host::Variant(true));
}

host::Variant TTavOpEvaluator::EvaluateRelopExprAsVar(TTavExprOperator op,
                                                      const host::Variant& left,
                                                      const host::Variant& right,
                                                      bool excludeNulls) const {
  const bool leftMissing = IsMissing(left);
  const bool rightMissing = IsMissing(right);
  if (excludeNulls && (leftMissing || rightMissing)) return host::Variant();
  if (leftMissing && !rightMissing) return host::Variant(op == teoNE || op == teoLT || op == teoLE);

  // Empty compares as the Null it stands for.
  static const host::Variant kNull = host::Null();
  const host::Variant& l = leftMissing ? kNull : left;
  const host::Variant& r = rightMissing ? kNull : right;
  switch (op) {
    case teoEQ:
    case teoLIKE:
      return host::Variant(host::VarEquals(l, r));
    case teoNE:
      return host::Variant(!host::VarEquals(l, r));
    case teoGT:
      return host::Variant(host::VarCompare(l, r) > 0);
    case teoLT:
      return host::Variant(host::VarCompare(l, r) < 0);
    case teoGE:
      return host::Variant(host::VarCompare(l, r) >= 0);
    case teoLE:
      return host::Variant(host::VarCompare(l, r) <= 0);
    default:
      return host::Variant(false);
  }
}

bool TTavOpEvaluator::EvaluateRelopExprAsBoolean(TTavExprOperator op, const host::Variant& left,
                                                 const host::Variant& right,
                                                 bool excludeNulls) const {
  return IsTrueValue(EvaluateRelopExprAsVar(op, left, right, excludeNulls));
}

host::Variant TTavOpEvaluator::EvaluateLogicalExprAsVar(TTavExprOperator op,
                                                        const host::Variant& left,
                                                        const host::Variant& right) const {
  switch (op) {
    case teoISBLANK:
      return host::Variant(IsMissing(left));
    case teoNOTBLANK:
      return host::Variant(!IsMissing(left));
    case teoNOT:
      return left.IsEmpty() ? host::Variant() : host::VarNot(left);
    case teoAND:
      return left.IsEmpty() || right.IsEmpty() ? host::Variant() : host::VarAnd(left, right);
    case teoOR:
      if (left.IsEmpty() && right.IsEmpty()) return host::Variant();
      if (right.IsEmpty()) return host::Variant(IsTrueValue(left));
      if (left.IsEmpty()) return host::Variant(IsTrueValue(right));
      return host::VarOr(left, right);
    default:
      return host::Variant();
  }
}

bool TTavOpEvaluator::EvaluateLogicalExprAsBoolean(TTavExprOperator op, const host::Variant& left,
                                                   const host::Variant& right) const {
  return IsTrueValue(EvaluateLogicalExprAsVar(op, left, right));
}

host::Variant TTavOpEvaluator::EvaluateArithExprValues(TTavExprOperator op,
                                                       const host::Variant& left,
                                                       const host::Variant& right) const {
  // A missing operand stays missing, however many operators it passes
  // through: (a + 1) + 1 must not become 1 for a Null a.
  if (IsMissing(left) || IsMissing(right)) return host::Variant();
  switch (op) {
    case teoMINUS:
    case teoSUB:
      return host::VarSub(left, right);
    case teoADD:
      return host::VarAdd(left, right);
    case teoMUL:
      return host::VarMul(left, right);
    case teoDIV:
      return host::VarDiv(left, right);
    default:
      return host::Variant();
  }
}

bool TTavDataConversionValidator::CheckDataConversionValid(host::TFieldType source,
                                                           host::TFieldType target) const {
  if (source != host::ftBoolean) return true;
  return target != host::ftFloat && target != host::ftDate && target != host::ftTime &&
         target != host::ftDateTime && target != host::ftBlob;
}

}  // namespace tav
