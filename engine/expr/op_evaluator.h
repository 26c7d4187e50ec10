// Operators on values with the engine's Null rules, and which field type may be
// cast to which. The evaluator, the optimizer and the parsers share these
// stateless services.
//
// Null rules. A Null or Empty (Unassigned) operand of a relational operator
// is a missing value: Empty is what arithmetic on a missing value yields, and
// it must not compare as 0. Two modes:
//  - exclude nulls (SQL): a missing operand gives Empty, which every Boolean
//    test takes as False;
//  - otherwise (filters, the host's loose rules): a missing value sorts below
//    every value and equals another missing value.
// Logical operators take Empty as "no operand" (a relational result in the
// first mode) and pass Null through the host's Boolean operators. Arithmetic
// on a missing operand gives Empty.
//
// The operators add no failures of their own: a value the host cannot compare
// or compute with (text that is no number beside a number, a division by zero)
// raises the host's error.
#pragma once

#include "engine/expr/expr_tree.h"
#include "host/db/field_types.h"
#include "host/rtl/variant.h"

namespace tav {

// Whether a value is True as a condition: Null and Empty are not.
bool IsTrueValue(const host::Variant& v);

class TTavOpEvaluator : public host::TObject {
 public:
  // teoEQ, teoLIKE (equality), teoNE, teoGT, teoLT, teoGE, teoLE: a Boolean,
  // or Empty for a missing operand under excludeNulls; any other operator
  // gives False.
  host::Variant EvaluateRelopExprAsVar(TTavExprOperator op, const host::Variant& left,
                                       const host::Variant& right, bool excludeNulls) const;
  // True only for a result that equals True.
  bool EvaluateRelopExprAsBoolean(TTavExprOperator op, const host::Variant& left,
                                  const host::Variant& right, bool excludeNulls) const;

  // teoISBLANK, teoNOTBLANK (on the left operand), teoNOT, teoAND, teoOR.
  host::Variant EvaluateLogicalExprAsVar(TTavExprOperator op, const host::Variant& left,
                                         const host::Variant& right) const;
  bool EvaluateLogicalExprAsBoolean(TTavExprOperator op, const host::Variant& left,
                                    const host::Variant& right) const;

  // teoMINUS and teoSUB, teoADD (numbers add, strings concatenate), teoMUL,
  // teoDIV (always a real quotient); any other operator, or a missing operand,
  // gives Empty.
  host::Variant EvaluateArithExprValues(TTavExprOperator op, const host::Variant& left,
                                        const host::Variant& right) const;
};

class TTavDataConversionValidator : public host::TObject {
 public:
  // Every cast is valid but a Boolean to a float, date, time, date-time or BLOB.
  bool CheckDataConversionValid(host::TFieldType source, host::TFieldType target) const;
};

}  // namespace tav
