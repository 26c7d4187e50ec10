#include "engine/expr/clause_parsers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/expr/testing/expr_test_support.h"

namespace tav {
namespace {

struct OrderBy {
  int32_t index;
  std::string key;
  bool descending;
  bool operator==(const OrderBy&) const = default;
};

std::ostream& operator<<(std::ostream& os, const OrderBy& o) {
  return os << "(" << o.index << ", '" << o.key << "', " << o.descending << ")";
}

TEST(ClauseParsersTest, OrderByItems) {
  const struct {
    const char* clause;
    std::vector<OrderBy> items;
    const char* error;
  } cases[] = {
      {"2 DESC, t.a", {{2, "", true}, {0, "t.a", false}}, ""},
      {"[My Col] ASC, a + b DESC, 3 ASCENDING, UPPER( s )",
       {{0, "My Col", false}, {0, "a + b", true}, {3, "", false}, {0, "UPPER( s )", false}},
       ""},
      {"1 FOR UPDATE", {{1, "", false}}, ""},
      // Words on two lines stay apart in the sort key.
      {"CAST(a AS\nINTEGER) DESC, b", {{0, "CAST(a AS INTEGER)", true}, {0, "b", false}}, ""},
      // Column numbers are whole numbers from 1 up.
      {"0", {}, "Invalid token Line 1, Character 26. Token '0'"},
      {"a, 1.5", {{0, "a", false}}, "Invalid token Line 1, Character 29. Token '1.5'"},
      {"1.2.3", {}, "Invalid token Line 1, Character 26. Token '1.2.3'"},
      {"99999999999", {}, "Invalid token Line 1, Character 26. Token '99999999999'"},
      {"-1", {}, "Invalid token Line 1, Character 26. Token '-1'"},
      {"1 2", {{1, "", false}},
       "Order By clause incorrectly terminated Line 1, Character 28. Token '2'"},
  };
  for (const auto& c : cases) {
    TTavPreParser pre;
    pre.SetText(std::string("SELECT a FROM t ORDER BY ") + c.clause);
    pre.PreParseTokens();
    TOrderByItems items;
    items.AddOrderByItem(9, "old", true);
    TTavOrderByParser parser;
    const bool ok = parser.ExecuteOrderBy(items, pre.GetSection(tstOrderBy, nullptr));
    EXPECT_EQ(ok, *c.error == '\0') << c.clause;
    EXPECT_EQ(parser.GetErrorMsg(), c.error) << c.clause;
    std::vector<OrderBy> got;
    for (int i = 0; i < items.Count(); ++i) {
      const TOrderByItem* item = items.Items(i);
      got.push_back({item->FieldIndex, item->SortKey, item->Descending});
    }
    EXPECT_EQ(got, c.items) << c.clause;
  }
  TOrderByItems items;
  items.AddOrderByItem(1, "", false);
  TTavOrderByParser parser;
  EXPECT_TRUE(parser.ExecuteOrderBy(items, nullptr));
  EXPECT_EQ(items.Count(), 0);
}

TEST(ClauseParsersTest, GroupByItems) {
  const struct {
    const char* clause;
    std::vector<std::pair<std::string, std::string>> items;  // table, field
    const char* error;
  } cases[] = {
      {"a, t.b", {{"", "a"}, {"t", "b"}}, ""},
      {"[x y]", {{"", "x y"}}, ""},
      {"a,,b", {{"", "a"}}, "missing column name descriptor Line 1, Character 28. Token ','"},
      {"1", {{"", ""}}, "invalid column name descriptor Line 1, Character 26. Token '1'"},
      {"t.*", {{"t", ""}}, "invalid column name descriptor Line 1, Character 28. Token '*'"},
      {"a b", {{"", "a"}},
       "Group By clause incorrectly terminated Line 1, Character 28. Token 'b'"},
  };
  for (const auto& c : cases) {
    TTavPreParser pre;
    pre.SetText(std::string("SELECT a FROM t GROUP BY ") + c.clause);
    pre.PreParseTokens();
    TGroupByItems items;
    TTavGroupByParser parser;
    const bool ok = parser.ExecuteGroupBy(items, pre.GetSection(tstGroupBy, nullptr));
    EXPECT_EQ(ok, *c.error == '\0') << c.clause;
    EXPECT_EQ(parser.GetErrorMsg(), c.error) << c.clause;
    std::vector<std::pair<std::string, std::string>> got;
    for (int i = 0; i < items.Count(); ++i)
      got.emplace_back(items.Items(i)->TableName, items.Items(i)->FieldName);
    EXPECT_EQ(got, c.items) << c.clause;
  }
}

// A clause followed by another ends where the next one begins: its last
// item is kept.
TEST(ClauseParsersTest, ClausesFollowedByAnotherKeepTheirLastItem) {
  TTavPreParser pre;
  pre.SetText("SELECT a FROM t GROUP BY a, t.b HAVING x > 1 ORDER BY c, 2 DESC");
  pre.PreParseTokens();
  TGroupByItems groups;
  TTavGroupByParser groupBy;
  EXPECT_TRUE(groupBy.ExecuteGroupBy(groups, pre.GetSection(tstGroupBy, nullptr)))
      << groupBy.GetErrorMsg();
  ASSERT_EQ(groups.Count(), 2);
  EXPECT_EQ(groups.Items(1)->TableName, "t");
  EXPECT_EQ(groups.Items(1)->FieldName, "b");
  TOrderByItems orders;
  TTavOrderByParser orderBy;
  EXPECT_TRUE(orderBy.ExecuteOrderBy(orders, pre.GetSection(tstOrderBy, nullptr)));
  ASSERT_EQ(orders.Count(), 2);
  EXPECT_EQ(orders.Items(1)->FieldIndex, 2);
  EXPECT_TRUE(orders.Items(1)->Descending);

  pre.SetText("SELECT a FROM t GROUP BY a ORDER BY c");
  pre.PreParseTokens();
  groupBy.Clear();
  EXPECT_TRUE(groupBy.ExecuteGroupBy(groups, pre.GetSection(tstGroupBy, nullptr)));
  ASSERT_EQ(groups.Count(), 1);
  EXPECT_EQ(groups.Items(0)->FieldName, "a");
  // A wrong last item is still found.
  pre.SetText("SELECT a FROM t GROUP BY a b HAVING x > 1");
  pre.PreParseTokens();
  groupBy.Clear();
  EXPECT_FALSE(groupBy.ExecuteGroupBy(groups, pre.GetSection(tstGroupBy, nullptr)));
  EXPECT_EQ(groupBy.GetErrorMsg(),
            "Group By clause incorrectly terminated Line 1, Character 28. Token 'b'");
}

TEST(ClauseParsersTest, DataTypes) {
  const struct {
    const char* text;
    bool constraints;
    host::TFieldType type;
    int32_t size, scale;
    bool notNull;
    const char* error;
  } cases[] = {
      {"VARCHAR(20)", false, host::ftString, 20, 0, false, ""},
      {"CHAR", false, host::ftString, 1, 0, false, ""},
      {"CHARACTER(5)", false, host::ftString, 5, 0, false, ""},
      {"INTEGER", false, host::ftInteger, 0, 0, false, ""},
      {"SMALLINT", false, host::ftSmallint, 0, 0, false, ""},
      {"DATE", false, host::ftDate, 0, 0, false, ""},
      {"TIME(3)", false, host::ftTime, 3, 0, false, ""},
      {"TIMESTAMP", false, host::ftDateTime, 0, 0, false, ""},
      {"DECIMAL(10,2)", false, host::ftFloat, 10, 2, false, ""},
      {"NUMERIC(7)", false, host::ftFloat, 7, 0, false, ""},
      {"DEC(8, 3)", false, host::ftFloat, 8, 3, false, ""},
      {"REAL", false, host::ftFloat, 0, 0, false, ""},
      {"DOUBLE PRECISION", false, host::ftFloat, 0, 0, false, ""},
      {"double\r\nprecision NOT NULL", true, host::ftFloat, 0, 0, true, ""},
      {"BOOLEAN", false, host::ftBoolean, 0, 0, false, ""},
      {"MONEY", false, host::ftCurrency, 0, 0, false, ""},
      {"BLOB(0, 1)", false, host::ftMemo, 0, 1, false, ""},
      {"BLOB(10, 3)", false, host::ftFmtMemo, 10, 3, false, ""},
      {"BLOB(0, 5)", false, host::ftGraphic, 0, 5, false, ""},
      {"BLOB(0, 2)", false, host::ftBlob, 0, 2, false, ""},
      {"INTEGER NOT NULL", true, host::ftInteger, 0, 0, true, ""},
      // Without constraints NOT is left to the caller.
      {"INTEGER NOT NULL", false, host::ftInteger, 0, 0, false, ""},
      {"INTEGER NOT 5", true, host::ftInteger, 0, 0, false,
       "Invalid token Line 1, Character 13. Token '5'"},
      {"AUTOINC", false, host::ftUnknown, 0, -1, false,
       "Data type is invalid Line 1, Character 1. Token 'AUTOINC'"},
      {"FOO", false, host::ftUnknown, 0, -1, false,
       "Unknown Datatype Line 1, Character 1. Token 'FOO'"},
      {"VARCHAR(", false, host::ftString, 1, 0, false,
       "Data type length/precision not specified Line 1, Character 9. Token ''"},
      {"VARCHAR(x)", false, host::ftString, 1, 0, false,
       "Data type length/precision not specified Line 1, Character 9. Token 'x'"},
      {"VARCHAR(-1)", false, host::ftString, 1, 0, false,
       "Data type length/precision not specified Line 1, Character 9. Token '-1'"},
      {"VARCHAR(4294967297)", false, host::ftString, 1, 0, false,
       "Data type length/precision not specified Line 1, Character 9. Token '4294967297'"},
      {"DECIMAL(10,)", false, host::ftFloat, 10, 0, false,
       "Data type scale invalid Line 1, Character 12. Token ')'"},
      {"DECIMAL(10, -2)", false, host::ftFloat, 10, 0, false,
       "Data type scale invalid Line 1, Character 13. Token '-2'"},
      {"VARCHAR(10", false, host::ftString, 10, 0, false,
       "Missing Right Parenthesis Line 1, Character 11. Token ''"},
  };
  for (const auto& c : cases) {
    TTavPreParser pre;
    TTavDataTypeParser parser;
    parser.Execute(TTavParserOptions{}, testing::ConditionStack(pre, c.text));
    parser.SetAllowConstraints(c.constraints);
    const bool ok = parser.ParseDataType(nullptr);
    EXPECT_EQ(ok, *c.error == '\0') << c.text;
    EXPECT_EQ(parser.GetErrorMsg(), c.error) << c.text;
    EXPECT_EQ(parser.DataType, c.type) << c.text;
    EXPECT_EQ(parser.FieldSize, c.size) << c.text;
    EXPECT_EQ(parser.Scale, c.scale) << c.text;
    EXPECT_EQ(parser.NotNull, c.notNull) << c.text;
  }
}

TEST(ClauseParsersTest, TheDataTypeParserHandsThePositionBack) {
  TTavPreParser pre;
  TParserStack* stack = testing::ConditionStack(pre, "x DECIMAL( 10, 2 ) NOT NULL, y");
  TBaseParser caller;
  caller.Execute(TTavParserOptions{}, stack);
  caller.NextToken();  // now at DECIMAL
  TTavDataTypeParser parser;
  parser.SyncCurrToken(caller);
  parser.Execute(TTavParserOptions{}, stack);
  // AUTOINC may be allowed, as column definitions do.
  parser.SetInvalidDataTypes({});
  parser.SetAllowConstraints(true);
  ASSERT_TRUE(parser.ParseDataType(&caller));
  EXPECT_TRUE(parser.NotNull);
  EXPECT_EQ(caller.CurrentTokenType(), tstComma);
  EXPECT_EQ(caller.ParsedText, "x DECIMAL( 10, 2 ) NOT NULL,");

  TTavDataTypeParser autoInc;
  autoInc.Execute(TTavParserOptions{}, testing::ConditionStack(pre, "AUTOINC"));
  autoInc.SetInvalidDataTypes({});
  EXPECT_TRUE(autoInc.ParseDataType(nullptr));
  EXPECT_EQ(autoInc.DataType, host::ftAutoInc);
}

}  // namespace
}  // namespace tav
