// TTypedCondition is the row test of a simple condition read straight from a
// row's stored bytes: comparisons of integer, float and text columns with
// constants or with arithmetic on them, joined by AND, OR and NOT. It gives
// the same answer as the general evaluator (TExprEvaluator) under both null
// rules, without building a value for each operand of each row.
//
// What it cannot answer the same way it leaves to the general evaluator:
// Compile refuses a condition with any other node (functions, LIKE, IN,
// dates, parameters, subqueries, other tables), and Test answers toUnsure
// for a row whose arithmetic would fail (division by zero, overflow) or
// whose value the provider cannot hand over as stored bytes, so that the
// general evaluator raises the same error for it.
//
// Callers must keep:
//  - The evaluator tree passed to Compile (prepared for the same provider)
//    and the provider outlive the condition's use.
//  - The provider's current row is the row to test (MoveToRecord first).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/expr/expr_evaluator.h"

namespace tav {

class TTypedCondition {
 public:
  enum TOutcome : uint8_t { toFalse, toTrue, toUnsure };

  // Builds the test for the condition `root` evaluates over `provider`;
  // false (and nothing to test) when some node is not of the kinds served.
  bool Compile(const TExprEvaluatorNode* root, TTavExprDataProvider* provider, bool excludeNulls,
               TDBStringCompare compare);
  // The condition on the provider's current row.
  TOutcome Test();

 private:
  enum TNodeKind : uint8_t { nkField, nkConst, nkArith, nkCompare, nkAnd, nkOr, nkNot };
  enum TValueKind : uint8_t { vkMissing, vkInt, vkDouble, vkText };
  // A logical value: the relational operators give a Boolean, or Empty for
  // a missing operand under the SQL rules.
  enum TLogic : uint8_t { lgFalse, lgTrue, lgEmpty, lgUnsure };

  struct TValue {
    TValueKind Kind = vkMissing;
    int64_t Int = 0;
    double Double = 0;
    std::string_view Text;
  };

  struct TNode {
    TNodeKind Kind = nkConst;
    TTavExprOperator Op = teoNOTDEFINED;
    int Left = -1;
    int Right = -1;
    // Comparisons: texts through the collation (else numbers).
    bool Texts = false;
    bool CaseInsensitive = false;
    // Columns.
    int32_t FieldNo = 0;
    host::TFieldType FieldType = host::ftUnknown;
    int32_t FieldSize = 0;
    bool Upper = false;  // read upper-cased (a case-insensitive text match)
    std::string Scratch;
    // Constants (a text's characters in ConstText).
    TValue Const;
    std::string ConstText;
  };

  // The node's index; -1 when the node is not served. `kind` tells what the
  // value node yields: vkMissing for a Null constant (any kind fits).
  int Add(const TExprEvaluatorNode* node, int depth);
  int AddValue(const TExprEvaluatorNode* node, int depth, TValueKind& kind);
  // False when the row must go to the general evaluator.
  bool Value(int n, TValue& out);
  TLogic Logic(int n);
  TLogic Compare(const TNode& node, const TValue& l, const TValue& r) const;

  std::vector<TNode> nodes_;
  int root_ = -1;
  TTavExprDataProvider* provider_ = nullptr;
  bool exclude_nulls_ = false;
  TDBStringCompare compare_ = nullptr;
};

}  // namespace tav
