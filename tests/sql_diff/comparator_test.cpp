#include "comparator.h"

#include <gtest/gtest.h>

namespace tav::sqldiff {
namespace {

TSqlValue I(int64_t v) { return TSqlValue::Integer(v); }
TSqlValue F(double v) { return TSqlValue::Real(v); }
TSqlValue S(const char* v) { return TSqlValue::String(v); }
TSqlValue N() { return TSqlValue::Null(); }

TSqlResult Rows(std::vector<TSqlRow> rows) {
  TSqlResult r;
  r.Rows = std::move(rows);
  return r;
}

TEST(SqlDiffComparator, ValuesMatchByKindAndWithinTolerance) {
  EXPECT_TRUE(ValuesMatch(I(3), F(3.0)));  // a column's type may differ, not its value
  EXPECT_TRUE(ValuesMatch(F(0.1 + 0.2), F(0.3)));
  EXPECT_TRUE(ValuesMatch(F(1e12 + 1e-1), F(1e12)));  // relative
  EXPECT_FALSE(ValuesMatch(F(2.25), F(2.5)));
  EXPECT_FALSE(ValuesMatch(F(1.0), F(1.0 + 1e-6)));
  EXPECT_FALSE(ValuesMatch(I(1), I(2)));
  EXPECT_TRUE(ValuesMatch(N(), N()));
  EXPECT_FALSE(ValuesMatch(N(), I(0)));
  EXPECT_FALSE(ValuesMatch(S(""), N()));
  EXPECT_FALSE(ValuesMatch(S("1"), I(1)));
  EXPECT_FALSE(ValuesMatch(S("ab"), S("AB")));
}

TEST(SqlDiffComparator, MultisetsIgnoreOrderButCountDuplicates) {
  const TSqlResult a = Rows({{I(1), S("x")}, {I(2), N()}, {I(1), S("x")}});
  EXPECT_EQ(CompareResults(a, Rows({{I(2), N()}, {I(1), S("x")}, {I(1), S("x")}}), false), "");
  // The same distinct rows, other counts.
  EXPECT_NE(CompareResults(a, Rows({{I(2), N()}, {I(2), N()}, {I(1), S("x")}}), false), "");
  EXPECT_NE(CompareResults(a, Rows({{I(2), N()}, {I(1), S("x")}}), false).find("row counts differ"),
            std::string::npos);
  EXPECT_NE(CompareResults(a, Rows({{I(1), S("x")}, {I(2), I(0)}, {I(1), S("x")}}), false), "");
}

TEST(SqlDiffComparator, OrderCountsOnlyWhenAsked) {
  const TSqlResult a = Rows({{I(1)}, {I(2)}, {I(3)}});
  const TSqlResult b = Rows({{I(1)}, {I(3)}, {I(2)}});
  EXPECT_EQ(CompareResults(a, b, false), "");
  EXPECT_NE(CompareResults(a, b, true).find("row 1 in order"), std::string::npos);
  EXPECT_EQ(CompareResults(a, Rows({{F(1)}, {F(2.0000000000001)}, {I(3)}}), true), "");
}

TEST(SqlDiffComparator, FloatsInTheLastBitsStillPairUp) {
  // Sorted exactly, the rows pair up crosswise; within the tolerance they
  // match.
  const double x = 1.0, y = 1.0 + 1e-13;
  EXPECT_EQ(CompareResults(Rows({{F(x), S("b")}, {F(y), S("a")}}), Rows({{F(y), S("b")}, {F(x), S("a")}}),
                           false),
            "");
  EXPECT_NE(CompareResults(Rows({{F(x), S("b")}, {F(y), S("a")}}), Rows({{F(y), S("b")}, {F(x), S("c")}}),
                           false),
            "");
}

TEST(SqlDiffComparator, FailuresAndCounts) {
  TSqlResult failed;
  failed.Failed = true;
  failed.Error = "boom";
  TSqlResult changed;
  changed.IsQuery = false;
  changed.RowsAffected = 4;
  TSqlResult other = changed;
  other.RowsAffected = 5;
  EXPECT_EQ(CompareResults(failed, failed, false), "");
  EXPECT_NE(CompareResults(Rows({}), failed, false).find("only the tested side failed: boom"),
            std::string::npos);
  EXPECT_NE(CompareResults(failed, Rows({}), false).find("only the reference failed"), std::string::npos);
  EXPECT_EQ(CompareResults(changed, changed, false), "");
  EXPECT_NE(CompareResults(changed, other, false).find("expected 4, got 5"), std::string::npos);
  EXPECT_NE(CompareResults(changed, Rows({}), false), "");
}

TEST(SqlDiffComparator, ValuesPrintAsLiterals) {
  EXPECT_EQ(FormatRow({N(), I(-3), F(2.25), F(3), S("it's")}), "(NULL, -3, 2.25, 3.0, 'it''s')");
}

}  // namespace
}  // namespace tav::sqldiff
