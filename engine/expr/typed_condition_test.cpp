#include "engine/expr/typed_condition.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "engine/expr/testing/stored_table_provider.h"
#include "engine/storage/testing/engine_error_test_support.h"

namespace tav {
namespace {

using testing::kTexts;
using testing::TFilterRig;

// A random condition of the kinds the typed test reads itself: integer,
// float and text columns against constants (Null among them) and against
// arithmetic, joined by AND, OR and NOT.
class TTypedMaker {
 public:
  explicit TTypedMaker(uint32_t seed) : rng_(seed) {}
  // `leaves` comparisons, each joined to the condition so far by AND or
  // OR, which is negated now and then.
  std::string Make(int leaves) {
    std::string text = Leaf();
    for (int i = 1; i < leaves; ++i) {
      const std::string so = Pick(4) == 0 ? "NOT (" + text + ")" : "(" + text + ")";
      text = so + (Pick(2) ? " AND " : " OR ") + Leaf();
    }
    return text;
  }

 private:
  std::string Leaf() {
    static const char* kOps[] = {"=", "<>", "<", ">", "<=", ">="};
    const std::string op = kOps[Pick(6)];
    switch (Pick(6)) {
      case 0: return Number() + " " + op + " " + Number();
      case 1: return Number() + " " + op + " " + Constant();
      case 2: return Constant() + " " + op + " " + Number();
      case 3: {
        const std::string col = Pick(2) ? "S" : "C";
        return Pick(4) == 0 ? Text() + " " + op + " " + col : col + " " + op + " " + Text();
      }
      case 4: return std::string(Pick(2) ? "S" : "C") + " " + op + " " + (Pick(2) ? "S" : "C");
      default: return std::string(kColumns[Pick(4)]) + " " + op + " " + Constant();
    }
  }
  static constexpr const char* kColumns[] = {"K", "I", "F", "N"};
  int Pick(int n) { return static_cast<int>(rng_() % static_cast<uint32_t>(n)); }
  std::string Constant() {
    static const char* kLits[] = {"0", "1", "-2", "3", "1.5", "-0.5", "2.0", "NULL", "99999999999"};
    return kLits[Pick(9)];
  }
  // A column, or arithmetic over columns and constants (no division by a
  // column: a zero there raises the host's error).
  std::string Number() {
    const std::string col = kColumns[Pick(4)];
    switch (Pick(7)) {
      case 0: return col + " + " + kColumns[Pick(4)];
      case 1: return col + " * 2 - 1";
      case 2: return col + " / 4";
      case 3: return "(" + col + " - " + Constant() + ") * " + Constant();
      default: return col;
    }
  }
  std::string Text() {
    if (Pick(10) == 0) return "NULL";
    return "'" + kTexts[static_cast<size_t>(Pick(static_cast<int>(kTexts.size())))] + "'";
  }
  std::mt19937 rng_;
};

// Where it answers, the typed test answers as the general evaluator does,
// row by row, in both null modes and both case modes; and the passing rows
// of a whole run (the rows it leaves to the general evaluator included) are
// the general evaluator's.
TEST(TypedConditionTest, AnswersAsTheGeneralEvaluatorOnRandomRowsWithNulls) {
  TFilterRig rig(700, 5);
  TTypedMaker maker(17);
  TCompoundList rows;
  rig.provider.GetDefaultRecordList(rows);
  int compiled = 0, answered = 0, passed = 0;
  for (int round = 0; round < 400; ++round) {
    const std::string text = maker.Make(1 + round % 4);
    const bool excludeNulls = round % 2 == 0;
    TTavBaseFilterEvaluator& e = rig.plain;
    host::TFilterOptions options;
    if (round % 3 == 0) options.Include(host::foCaseInsensitive);
    e.SetFilterOptions(options);
    e.SetExcludeRelopNulls(excludeNulls);
    e.SetFilterText(text);
    // Arithmetic on a Null constant is refused by the parser.
    if (!e.Prepare()) continue;
    const TTavExprNode* root = e.FilterParser.Root;
    TExprEvaluator general;
    general.SetDBStringCompare(rig.provider.DBStringCompare);
    general.SetExcludeRelopNulls(excludeNulls);
    general.Prepare(&rig.provider, root);
    TTypedCondition typed;
    if (!typed.Compile(general.Root, &rig.provider, excludeNulls, rig.provider.DBStringCompare)) continue;
    ++compiled;
    std::vector<uint32_t> expected;
    for (uint32_t address : rows.List1()) {
      rig.provider.MoveToRecord(address);
      const bool holds = general.Evaluate();
      if (holds) expected.push_back(address);
      const TTypedCondition::TOutcome outcome = typed.Test();
      if (outcome == TTypedCondition::toUnsure) continue;
      ++answered;
      passed += holds;
      ASSERT_EQ(outcome == TTypedCondition::toTrue, holds)
          << text << " at " << address << " nulls excluded " << excludeNulls;
    }
    std::vector<uint32_t> selected;
    TExprResultListGenerator::SelectPassing(&rig.provider, root, rows.List1(), selected, excludeNulls);
    ASSERT_EQ(selected, expected) << text;
  }
  EXPECT_GT(compiled, 350);
  EXPECT_GT(answered, 200000);
  EXPECT_GT(passed, 30000);
}

// Conditions with parts it does not read itself stay with the general
// evaluator whole; a row whose arithmetic fails goes to it and raises there.
TEST(TypedConditionTest, LeavesOtherNodesAndFailingArithmeticToTheGeneralEvaluator) {
  TFilterRig rig(60, 9);
  for (const char* text : {"S LIKE 'a%'", "I IN (1, 2)", "D > '2023-03-14'", "I IS NULL",
                           "UPPER(S) = 'A'", "S = 'ab*'", "I = 1 AND S LIKE 'a%'", "1 = 1"}) {
    rig.plain.SetFilterText(text);
    ASSERT_TRUE(rig.plain.Prepare()) << text;
    TExprEvaluator general;
    general.SetDBStringCompare(rig.provider.DBStringCompare);
    general.Prepare(&rig.provider, rig.plain.FilterParser.Root);
    TTypedCondition typed;
    EXPECT_FALSE(typed.Compile(general.Root, &rig.provider, false, rig.provider.DBStringCompare)) << text;
  }
  for (const bool excludeNulls : {false, true}) {
    rig.plain.SetExcludeRelopNulls(excludeNulls);
    rig.plain.SetFilterText("F / (N - N) > 1");
    const std::string message = test::EngineErrorOf(kInvalidFilterExpression, [&] { rig.plain.Open(); });
    EXPECT_NE(message.find("division by zero"), std::string::npos) << message;
    // Beyond 64 bits the product becomes a double, not an error.
    rig.plain.SetFilterText("K * 99999999999 * 99999999999 > 0");
    ASSERT_TRUE(rig.plain.Open());
    EXPECT_EQ(rig.plain.GetRecordCount(), 59);
  }
}

}  // namespace
}  // namespace tav
