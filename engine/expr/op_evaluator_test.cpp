#include "engine/expr/op_evaluator.h"

#include <gtest/gtest.h>

#include <string>

#include "host/rtl/date_time.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/variant_ops.h"

namespace tav {
namespace {

using host::Null;
using host::Variant;

const Variant kEmpty;
const Variant kTrue(true);
const Variant kFalse(false);

// A result as the tables write it: "E" Empty, "N" Null, "T" or "F" a Boolean,
// otherwise the value's text.
std::string Show(const Variant& v) {
  if (v.IsEmpty()) return "E";
  if (v.IsNull()) return "N";
  if (v.VType() == host::varBoolean) return v.AsBoolean() ? "T" : "F";
  return host::VarToStr(v);
}

TEST(OpEvaluatorTest, RelationalOperatorsInBothNullModes) {
  const Variant d1 = Variant::FromDate(38017.0), d2 = Variant::FromDate(38018.25);
  const struct {
    TTavExprOperator op;
    Variant left, right;
    const char* loose;  // exclude nulls off
    const char* sql;    // exclude nulls on
  } cases[] = {
      // A missing left operand sorts below every value.
      {teoLT, Null(), Variant(1), "T", "E"},
      {teoLE, Null(), Variant(1), "T", "E"},
      {teoNE, Null(), Variant(1), "T", "E"},
      {teoEQ, Null(), Variant(1), "F", "E"},
      {teoGT, Null(), Variant(1), "F", "E"},
      {teoGE, Null(), Variant(1), "F", "E"},
      {teoLIKE, Null(), Variant("a"), "F", "E"},
      // ... and so does a missing right one.
      {teoGT, Variant(1), Null(), "T", "E"},
      {teoEQ, Variant(1), Null(), "F", "E"},
      {teoLT, Variant(1), Null(), "F", "E"},
      {teoNE, Variant("a"), Null(), "T", "E"},
      // Two missing values are equal.
      {teoEQ, Null(), Null(), "T", "E"},
      {teoNE, Null(), Null(), "F", "E"},
      {teoLT, Null(), Null(), "F", "E"},
      {teoGE, Null(), Null(), "T", "E"},
      // Empty (arithmetic on a missing value) is missing too, never 0 or ''.
      {teoEQ, kEmpty, Variant(0), "F", "E"},
      {teoLT, kEmpty, Variant(0), "T", "E"},
      {teoEQ, Variant(0), kEmpty, "F", "E"},
      {teoGT, Variant(0), kEmpty, "T", "E"},
      {teoEQ, kEmpty, Variant(""), "F", "E"},
      {teoEQ, kEmpty, Null(), "T", "E"},
      {teoEQ, kEmpty, kEmpty, "T", "E"},
      // Values.
      {teoEQ, Variant(1), Variant(1.0), "T", "T"},
      {teoNE, Variant(1), Variant(2), "T", "T"},
      {teoLT, Variant(1), Variant(2), "T", "T"},
      {teoLE, Variant(2), Variant(2), "T", "T"},
      {teoGT, Variant(1), Variant(2), "F", "F"},
      {teoGE, Variant(3), Variant(2.5), "T", "T"},
      {teoEQ, Variant("5"), Variant(5), "T", "T"},
      {teoEQ, Variant("abc"), Variant("ABC"), "F", "F"},
      {teoLIKE, Variant("abc"), Variant("abc"), "T", "T"},
      {teoGT, Variant("b"), Variant("a"), "T", "T"},
      {teoLT, d1, d2, "T", "T"},
      // Beside a number a Boolean is 0 or 1.
      {teoEQ, kTrue, Variant(1), "T", "T"},
      {teoEQ, kTrue, Variant(-1), "F", "F"},
      {teoGT, kTrue, Variant(0.5), "T", "T"},
      // Not a relational operator.
      {teoADD, Variant(1), Variant(1), "F", "F"},
      {teoIN, Variant(1), Variant(1), "F", "F"},
      {teoISBLANK, Null(), Variant(1), "F", "E"},
  };
  TTavOpEvaluator ev;
  for (const auto& c : cases) {
    const std::string what =
        std::string(ExprOperatorName(c.op)) + " " + Show(c.left) + " " + Show(c.right);
    EXPECT_EQ(Show(ev.EvaluateRelopExprAsVar(c.op, c.left, c.right, false)), c.loose) << what;
    EXPECT_EQ(Show(ev.EvaluateRelopExprAsVar(c.op, c.left, c.right, true)), c.sql) << what;
    EXPECT_EQ(ev.EvaluateRelopExprAsBoolean(c.op, c.left, c.right, false),
              std::string(c.loose) == "T")
        << what;
    EXPECT_EQ(ev.EvaluateRelopExprAsBoolean(c.op, c.left, c.right, true), std::string(c.sql) == "T")
        << what;
  }
  // Text that is no number beside a number is the host's error, not a result.
  EXPECT_THROW(ev.EvaluateRelopExprAsVar(teoEQ, Variant("abc"), Variant(5), false),
               host::EVariantTypeCastError);
}

TEST(OpEvaluatorTest, ArithmeticOnAMissingValueNeverMatchesAValue) {
  // a + 1 = 0 and (a + 1) + 1 = 2 for a Null a: no row may match.
  TTavOpEvaluator ev;
  const Variant sum = ev.EvaluateArithExprValues(teoADD, Null(), Variant(1));
  EXPECT_TRUE(sum.IsEmpty());
  const Variant nested = ev.EvaluateArithExprValues(teoADD, sum, Variant(1));
  EXPECT_TRUE(nested.IsEmpty());
  for (bool excludeNulls : {false, true}) {
    EXPECT_FALSE(ev.EvaluateRelopExprAsBoolean(teoEQ, sum, Variant(0), excludeNulls));
    EXPECT_FALSE(ev.EvaluateRelopExprAsBoolean(teoEQ, nested, Variant(2), excludeNulls));
    EXPECT_FALSE(ev.EvaluateRelopExprAsBoolean(teoGE, nested, Variant(0), excludeNulls));
  }
  EXPECT_TRUE(ev.EvaluateLogicalExprAsBoolean(teoISBLANK, nested, kEmpty));
  EXPECT_FALSE(ev.EvaluateLogicalExprAsBoolean(teoNOTBLANK, nested, kEmpty));
}

TEST(OpEvaluatorTest, LogicalOperators) {
  const struct {
    TTavExprOperator op;
    Variant left, right;
    const char* result;
  } cases[] = {
      {teoISBLANK, Null(), kEmpty, "T"},
      {teoISBLANK, kEmpty, kEmpty, "T"},
      {teoISBLANK, Variant(0), kEmpty, "F"},
      {teoISBLANK, Variant(""), kEmpty, "F"},
      {teoNOTBLANK, Null(), kEmpty, "F"},
      {teoNOTBLANK, Variant(1), kEmpty, "T"},
      {teoNOT, kTrue, kEmpty, "F"},
      {teoNOT, kFalse, kEmpty, "T"},
      {teoNOT, kEmpty, kEmpty, "E"},
      {teoNOT, Null(), kEmpty, "N"},
      {teoAND, kTrue, kTrue, "T"},
      {teoAND, kTrue, kFalse, "F"},
      {teoAND, kTrue, kEmpty, "E"},
      {teoAND, kEmpty, kFalse, "E"},
      {teoAND, Null(), kTrue, "N"},
      {teoOR, kTrue, kEmpty, "T"},
      {teoOR, kFalse, kEmpty, "F"},
      {teoOR, kEmpty, kTrue, "T"},
      {teoOR, kEmpty, kFalse, "F"},
      {teoOR, kEmpty, kEmpty, "E"},
      {teoOR, kFalse, kTrue, "T"},
      {teoOR, kFalse, kFalse, "F"},
      {teoOR, Null(), kFalse, "N"},
      {teoOR, Null(), kEmpty, "F"},
      {teoEQ, kTrue, kTrue, "E"},
  };
  TTavOpEvaluator ev;
  for (const auto& c : cases) {
    const std::string what =
        std::string(ExprOperatorName(c.op)) + " " + Show(c.left) + " " + Show(c.right);
    EXPECT_EQ(Show(ev.EvaluateLogicalExprAsVar(c.op, c.left, c.right)), c.result) << what;
    EXPECT_EQ(ev.EvaluateLogicalExprAsBoolean(c.op, c.left, c.right), std::string(c.result) == "T")
        << what;
  }
}

TEST(OpEvaluatorTest, ArithmeticOperators) {
  const Variant day = Variant::FromDate(38017.0);
  const struct {
    TTavExprOperator op;
    Variant left, right;
    host::TVarType type;
    const char* result;
  } cases[] = {
      {teoADD, Variant(2), Variant(3), host::varInteger, "5"},
      {teoSUB, Variant(5), Variant(2), host::varInteger, "3"},
      {teoMINUS, Variant(5), Variant(2), host::varInteger, "3"},
      {teoMUL, Variant(3), Variant(4), host::varInteger, "12"},
      {teoDIV, Variant(5), Variant(2), host::varDouble, "2.5"},
      {teoDIV, Variant(4), Variant(2), host::varDouble, "2"},
      {teoADD, Variant("a"), Variant("b"), host::varString, "ab"},
      {teoADD, Variant(1.5), Variant(1), host::varDouble, "2.5"},
      {teoADD, day, Variant(1), host::varDate, "2004-02-01"},
      {teoSUB, day, Variant::FromDate(38010.0), host::varDouble, "7"},
      {teoMOD, Variant(5), Variant(2), host::varEmpty, "E"},
      {teoREM, Variant(5), Variant(2), host::varEmpty, "E"},
      {teoEQ, Variant(5), Variant(2), host::varEmpty, "E"},
      {teoADD, Null(), Variant(1), host::varEmpty, "E"},
      {teoMUL, Variant(1), Null(), host::varEmpty, "E"},
      {teoADD, kEmpty, Variant(1), host::varEmpty, "E"},
      {teoADD, Variant("a"), kEmpty, host::varEmpty, "E"},
      {teoDIV, Null(), Variant(0), host::varEmpty, "E"},
  };
  TTavOpEvaluator ev;
  for (const auto& c : cases) {
    const std::string what =
        std::string(ExprOperatorName(c.op)) + " " + Show(c.left) + " " + Show(c.right);
    const Variant r = ev.EvaluateArithExprValues(c.op, c.left, c.right);
    EXPECT_EQ(r.VType(), c.type) << what;
    EXPECT_EQ(Show(r), c.result) << what;
  }
  EXPECT_THROW(ev.EvaluateArithExprValues(teoDIV, Variant(1), Variant(0)), host::EZeroDivide);
}

TEST(DataConversionValidatorTest, OnlyBooleansRefuseNumericTemporalAndBlobTargets) {
  TTavDataConversionValidator v;
  for (int s = 0; s < host::FieldTypeCount; ++s) {
    for (int t = 0; t < host::FieldTypeCount; ++t) {
      const auto source = static_cast<host::TFieldType>(s);
      const auto target = static_cast<host::TFieldType>(t);
      const bool refused =
          source == host::ftBoolean &&
          (target == host::ftFloat || target == host::ftDate || target == host::ftTime ||
           target == host::ftDateTime || target == host::ftBlob);
      EXPECT_EQ(v.CheckDataConversionValid(source, target), !refused)
          << host::FieldTypeName(source) << " -> " << host::FieldTypeName(target);
    }
  }
}

}  // namespace
}  // namespace tav
