#include "engine/expr/expr_parser.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <functional>
#include <string>
#include <vector>

#include "engine/expr/testing/expr_test_support.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/string_list.h"

namespace tav {
namespace {

using host::Variant;
using testing::Lines;
using Strings = std::vector<std::string>;

const TTavParserOptions kAll{tpoExtSyntax, tpoParameters, tpoSubqueries, tpoExtractAggFuncExprText};
const TTavParserOptions kNone{};

std::vector<std::string> DumpTree(const TTavExprNode* root) {
  host::TStringList lines;
  TTavExprNode::DisplayExprTree("", root, lines);
  return Lines(lines);
}

// One condition parsed against the sample table T (or no tables).
struct Parse {
  Parse(const std::string& text, TTavParserOptions options, bool withTables = true,
        const std::function<void(TTavExprParser&)>& setup = {}) {
    if (withTables) testing::AddSampleTable(tables);
    parser.SetTableList(&tables);
    if (setup) setup(parser);
    ok = parser.Execute(options, testing::ConditionStack(pre, text));
  }
  Strings Dump() const { return DumpTree(parser.Root); }

  TTableList tables;
  TTavPreParser pre;
  TTavExprParser parser;
  bool ok = false;
};

// ---- trees ----

struct TreeCase {
  const char* text;
  TTavParserOptions options;
  bool withTables;
  Strings dump;
};

TEST(ExprParserTest, TreesOfEveryLevelAndRewrite) {
  const TreeCase cases[] = {
      // Without tables columns are untyped; constants keep their own type
      // unless a column is beside them.
      {"A = 1 AND NOT B IS NULL OR C <> 'x'", kNone, false,
       {"   enField:coFIELD2 :: tstFieldName  -  A :: Unknown - -1",
        "  enkRelOperator:coEQ :: tstCompOperator  -  = :: Boolean - -1",
        "   enConst:coCONST2 :: tstNumber  -  1 :: Unknown - -1",
        " enkLogicalOperator:coAND :: tstAnd  -  AND :: Boolean - -1",
        "    enField:coFIELD2 :: tstFieldName  -  B :: Unknown - -1",
        "   enkLogicalOperator:coISBLANK :: tstIsNull  -  IS NULL :: Boolean - -1",
        "  enkLogicalOperator:coNOT :: tstNot  -  NOT :: Boolean - -1",
        "enkLogicalOperator:coOR :: tstOr  -  OR :: Boolean - -1",
        "  enField:coFIELD2 :: tstFieldName  -  C :: Unknown - -1",
        " enkRelOperator:coNE :: tstCompOperator  -  <> :: Boolean - -1",
        "  enConst:coCONST2 :: tstStringLiteral  -  x :: Unknown - -1"}},
      // Mirroring: the column goes to the left, the operator turns round.
      {"1 < I", kNone, true,
       {" enField:coFIELD2 :: tstFieldName  -  I :: Integer - 4",
        "enkRelOperator:coGT :: tstCompOperator  -  < :: Boolean - -1",
        " enConst:coCONST2 :: tstNumber  -  1 :: Integer - 4"}},
      {"'b' >= S", kNone, true,
       {" enField:coFIELD2 :: tstFieldName  -  S :: String - 20",
        "enkRelOperator:coLE :: tstCompOperator  -  >= :: Boolean - -1",
        " enConst:coCONST2 :: tstStringLiteral  -  b :: String - 20"}},
      {"I BETWEEN 1 AND 5", kNone, true,
       {"  enField:coFIELD2 :: tstFieldName  -  I :: Integer - 4",
        " enkRelOperator:coGE :: tstBetween  -  BETWEEN :: Boolean - -1",
        "  enConst:coCONST2 :: tstNumber  -  1 :: Float - -1",
        "enkLogicalOperator:coAND :: tstBetween  -  BETWEEN :: Boolean - -1",
        "  enField:coFIELD2 :: tstFieldName  -  I :: Integer - 4",
        " enkRelOperator:coLE :: tstBetween  -  BETWEEN :: Boolean - -1",
        "  enConst:coCONST2 :: tstNumber  -  5 :: Float - -1"}},
      {"I NOT BETWEEN 1 AND 5", kNone, true,
       {"  enField:coFIELD2 :: tstFieldName  -  I :: Integer - 4",
        " enkRelOperator:coLT :: tstNotBetween  -  NOT BETWEEN :: Boolean - -1",
        "  enConst:coCONST2 :: tstNumber  -  1 :: Float - -1",
        "enkLogicalOperator:coOR :: tstNotBetween  -  NOT BETWEEN :: Boolean - -1",
        "  enField:coFIELD2 :: tstFieldName  -  I :: Integer - 4",
        " enkRelOperator:coGT :: tstNotBetween  -  NOT BETWEEN :: Boolean - -1",
        "  enConst:coCONST2 :: tstNumber  -  5 :: Float - -1"}},
      {"I NOT IN (1, 2)", kNone, true,
       {" enField:coFIELD2 :: tstFieldName  -  I :: Integer - 4",
        "enkNonRelPredicate:coIN :: tstNotIn  -  NOT IN :: Boolean - -1", "Start Args",
        "** enConst:coCONST2 :: tstNumber  -  1 :: Float - -1",
        "** enConst:coCONST2 :: tstNumber  -  2 :: Float - -1", "End Args"}},
      // Dates: list elements and a compared string take the column's type,
      // their values untouched (the optimizer converts them).
      {"D IN ('2004-01-31', '2004-02-01')", kNone, true,
       {" enField:coFIELD2 :: tstFieldName  -  D :: Date - 8",
        "enkNonRelPredicate:coIN :: tstIn  -  IN :: Boolean - -1", "Start Args",
        "** enConst:coCONST2 :: tstStringLiteral  -  2004-01-31 :: Date - 10",
        "** enConst:coCONST2 :: tstStringLiteral  -  2004-02-01 :: Date - 10", "End Args"}},
      {"D = '2004-01-31'", kNone, true,
       {" enField:coFIELD2 :: tstFieldName  -  D :: Date - 8",
        "enkRelOperator:coEQ :: tstCompOperator  -  = :: Boolean - -1",
        " enConst:coCONST2 :: tstStringLiteral  -  2004-01-31 :: Date - 8"}},
      {"S NOT LIKE 'a%' ESCAPE '!'", kNone, true,
       {" enField:coFIELD2 :: tstFieldName  -  S :: String - 20", "  Start Args",
        "  ** enConst:coCONST2 :: tstStringLiteral  -  ! :: String - 1", "  End Args",
        "enkNonRelPredicate:coLIKE :: tstNotLike  -  NOT LIKE :: Unknown - -1",
        " enConst:coCONST2 :: tstStringLiteral  -  a% :: String - 2"}},
      {"L = TRUE AND I = NULL", kNone, true,
       {"  enField:coFIELD2 :: tstFieldName  -  L :: Boolean - 1",
        " enkRelOperator:coEQ :: tstCompOperator  -  = :: Boolean - -1",
        "  enConst:coCONST2 :: tstTrue  -  TRUE :: Boolean - 1",
        "enkLogicalOperator:coAND :: tstAnd  -  AND :: Boolean - -1",
        "  enField:coFIELD2 :: tstFieldName  -  I :: Integer - 4",
        " enkRelOperator:coEQ :: tstCompOperator  -  = :: Boolean - -1",
        "  enConst:coISBLANK :: tstNull  -  NULL :: Integer - 4"}},
      // Qualified columns, parentheses (no node) and operator precedence.
      {"(T.I = 1 OR T.S IS NOT NULL) AND F * 2 - 1 > C / 4", kAll, true,
       {"   enField:coFIELD2 :: tstFieldName  -  I :: Integer - 4",
        "  enkRelOperator:coEQ :: tstCompOperator  -  = :: Boolean - -1",
        "   enConst:coCONST2 :: tstNumber  -  1 :: Integer - 4",
        " enkLogicalOperator:coOR :: tstOr  -  OR :: Boolean - -1",
        "   enField:coFIELD2 :: tstFieldName  -  S :: String - 20",
        "  enkLogicalOperator:coNOTBLANK :: tstIsNotNull  -  IS NOT NULL :: Boolean - -1",
        "enkLogicalOperator:coAND :: tstAnd  -  AND :: Boolean - -1",
        "    enField:coFIELD2 :: tstFieldName  -  F :: Float - 8",
        "   enkArithOperator:coMUL :: tstMult  -  * :: Float - -1",
        "    enConst:coCONST2 :: tstNumber  -  2 :: Float - -1",
        "  enkArithOperator:coSUB :: tstSub  -  - :: Float - 0",
        "   enConst:coCONST2 :: tstNumber  -  1 :: Float - -1",
        " enkRelOperator:coGT :: tstCompOperator  -  > :: Boolean - -1",
        "   enField:coFIELD2 :: tstFieldName  -  C :: Currency - 8",
        "  enkArithOperator:coDIV :: tstDiv  -  / :: Float - -1",
        "   enConst:coCONST2 :: tstNumber  -  4 :: Float - -1"}},
      // Concatenation sums the sizes; a parameter takes the other side's type.
      {"S || 'xy' + :P = 'ab'", kAll, true,
       {"   enField:coFIELD2 :: tstFieldName  -  S :: String - 20",
        "  enkArithOperator:coADD :: tstConcatenate  -  || :: String - 22",
        "   enConst:coCONST2 :: tstStringLiteral  -  xy :: String - 2",
        " enkArithOperator:coADD :: tstAdd  -  + :: String - -1",
        "  enkParam:teoPARAMETER :: tstParameter  -  : :: String - -1",
        "enkRelOperator:coEQ :: tstCompOperator  -  = :: Boolean - -1",
        " enConst:coCONST2 :: tstStringLiteral  -  ab :: String - 2"}},
      // Date arithmetic and the CURRENT_ values.
      {"D + 1 > CURRENT_DATE AND DT - D < 2 AND TM <> CURRENT_TIME", kAll, true,
       {"    enField:coFIELD2 :: tstFieldName  -  D :: Date - 8",
        "   enkArithOperator:coADD :: tstAdd  -  + :: DateTime - 0",
        "    enConst:coCONST2 :: tstNumber  -  1 :: Float - -1",
        "  enkRelOperator:coGT :: tstCompOperator  -  > :: Boolean - -1",
        "   enConst:coFUNC2 :: tstCurrentDate  -  CURRENT_DATE :: Date - -1",
        " enkLogicalOperator:coAND :: tstAnd  -  AND :: Boolean - -1",
        "    enField:coFIELD2 :: tstFieldName  -  DT :: DateTime - 8",
        "   enkArithOperator:coSUB :: tstSub  -  - :: Float - 0",
        "    enField:coFIELD2 :: tstFieldName  -  D :: Date - 8",
        "  enkRelOperator:coLT :: tstCompOperator  -  < :: Boolean - -1",
        "   enConst:coCONST2 :: tstNumber  -  2 :: Float - -1",
        "enkLogicalOperator:coAND :: tstAnd  -  AND :: Boolean - -1",
        "  enField:coFIELD2 :: tstFieldName  -  TM :: Time - 8",
        " enkRelOperator:coNE :: tstCompOperator  -  <> :: Boolean - -1",
        "  enConst:coFUNC2 :: tstCurrentTime  -  CURRENT_TIME :: Time - 8"}},
      // Aggregates: COUNT(*) has no argument; others take their argument's type.
      {"COUNT(*) > 1 AND MAX(S) = 'z'", kAll, true,
       {"  enkFunc:coFUNC2 :: tstAggFunc  -  COUNT :: Integer - 0",
        " enkRelOperator:coGT :: tstCompOperator  -  > :: Boolean - -1",
        "  enConst:coCONST2 :: tstNumber  -  1 :: Float - -1",
        "enkLogicalOperator:coAND :: tstAnd  -  AND :: Boolean - -1",
        "  enkFunc:coFUNC2 :: tstAggFunc  -  MAX :: String - 20",
        "    Start Args",
        "    ** enField:coFIELD2 :: tstFieldName  -  S :: String - 20",
        "    End Args",
        " enkRelOperator:coEQ :: tstCompOperator  -  = :: Boolean - -1",
        "  enConst:coCONST2 :: tstStringLiteral  -  z :: String - 1"}},
      // String functions.
      {"UPPER(S) = LOWER('A' || S)", kAll, true,
       {" enkFunc:coFUNC2 :: tstStrFunc  -  UPPER :: String - 20",
        "  enField:coFIELD2 :: tstFieldName  -  S :: String - 20",
        "enkRelOperator:coEQ :: tstCompOperator  -  = :: Boolean - -1",
        " enkFunc:coFUNC2 :: tstStrFunc  -  LOWER :: String - 21",
        "   enConst:coCONST2 :: tstStringLiteral  -  A :: String - 1",
        "  enkArithOperator:coADD :: tstConcatenate  -  || :: String - 21",
        "   enField:coFIELD2 :: tstFieldName  -  S :: String - 20"}},
      {"TRIM(LEADING 'x' FROM S) = SUBSTRING(S FROM 2 FOR 3)", kAll, true,
       {"  enField:coFIELD2 :: tstFieldName  -  S :: String - 20",
        " enkFunc:coFUNC2 :: tstStrFunc  -  TRIM :: String - 20",
        "  enConst:coCONST2 :: tstStringLiteral  -  x :: String - 1",
        "enkRelOperator:coEQ :: tstCompOperator  -  = :: Boolean - -1",
        "  enField:coFIELD2 :: tstFieldName  -  S :: String - 20",
        " enkFunc:coFUNC2 :: tstStrFunc  -  SUBSTRING :: String - 20",
        "  Start Args",
        "  ** enConst:coCONST2 :: tstNumber  -  3 :: Float - -1",
        "  End Args",
        "  enConst:coCONST2 :: tstNumber  -  2 :: Float - -1"}},
      {"CAST(I AS VARCHAR(10)) = '1' AND EXTRACT(SECOND FROM DT) > 1.5", kAll, true,
       {"  enkFunc:coFUNC2 :: tstCast  -  CAST :: String - 10",
        "   enField:coFIELD2 :: tstFieldName  -  I :: Integer - 4",
        " enkRelOperator:coEQ :: tstCompOperator  -  = :: Boolean - -1",
        "  enConst:coCONST2 :: tstStringLiteral  -  1 :: String - 1",
        "enkLogicalOperator:coAND :: tstAnd  -  AND :: Boolean - -1",
        "  enkFunc:coFUNC2 :: tstExtract  -  EXTRACT :: Float - -1",
        "   enField:coFIELD2 :: tstFieldName  -  DT :: DateTime - 8",
        " enkRelOperator:coGT :: tstCompOperator  -  > :: Boolean - -1",
        "  enConst:coCONST2 :: tstNumber  -  1.5 :: Float - -1"}},
      // The type names that are no keywords are floats, as DECIMAL is.
      {"CAST(I AS DOUBLE PRECISION) = 1", kAll, true,
       {" enkFunc:coFUNC2 :: tstCast  -  CAST :: Float - 0",
        "  enField:coFIELD2 :: tstFieldName  -  I :: Integer - 4",
        "enkRelOperator:coEQ :: tstCompOperator  -  = :: Boolean - -1",
        " enConst:coCONST2 :: tstNumber  -  1 :: Float - -1"}},
      {"CAST(I AS REAL) = CAST(F AS DEC(10, 2))", kAll, true,
       {" enkFunc:coFUNC2 :: tstCast  -  CAST :: Float - 0",
        "  enField:coFIELD2 :: tstFieldName  -  I :: Integer - 4",
        "enkRelOperator:coEQ :: tstCompOperator  -  = :: Boolean - -1",
        " enkFunc:coFUNC2 :: tstCast  -  CAST :: Float - 10",
        "  enField:coFIELD2 :: tstFieldName  -  F :: Float - 8"}},
  };
  for (const TreeCase& c : cases) {
    Parse p(c.text, c.options, c.withTables);
    EXPECT_TRUE(p.ok) << c.text << ": " << p.parser.GetErrorMsg();
    EXPECT_EQ(p.Dump(), c.dump) << c.text;
    // The root heads the expression's node list, where TTavExpr finds it.
    EXPECT_EQ(p.parser.Expr->Root(), p.parser.Root) << c.text;
  }
}

TEST(ExprParserTest, NodeDetailsTheDumpDoesNotShow) {
  {
    Parse p("COUNT(*) > 1 AND SUM(I) < 2 AND :Par = 1", kAll);
    ASSERT_TRUE(p.ok) << p.parser.GetErrorMsg();
    const TTavExprNode* count = p.parser.Expr->FindNodeWithToken(tstAggFunc);
    ASSERT_NE(count, nullptr);
    const TTavExprNode* param = p.parser.Expr->FindNodeWithToken(tstParameter);
    ASSERT_NE(param, nullptr);
    EXPECT_EQ(param->Data.AsString(), "Par");
    EXPECT_EQ(param->ScopeKind, tskConst);
  }
  {
    // The TRIM kind, the EXTRACT field and the quantifier ride on the tokens.
    Parse p("TRIM(TRAILING ' ' FROM S) = 'a' AND EXTRACT(MONTH FROM D) = 1", kAll);
    ASSERT_TRUE(p.ok) << p.parser.GetErrorMsg();
    EXPECT_EQ(p.parser.Expr->FindNodeWithToken(tstStrFunc)->ParserToken.CustomOrdinal,
              tsfTrimTrailing);
    EXPECT_EQ(p.parser.Expr->FindNodeWithToken(tstExtract)->ParserToken.CustomOrdinal, tstMonth);
  }
  {
    Parse p("I = 1.5", kNone);
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.parser.Root->Right->Data.AsDouble(), 1.5);  // '.' whatever the locale
    EXPECT_EQ(p.parser.Root->Right->ScopeKind, tskConst);
    EXPECT_EQ(p.parser.Root->ScopeKind, tskField);
    EXPECT_EQ(p.parser.Root->Left->TableList.Count(), 1);
  }
  {
    Parse p("1 = 2", kNone);
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.parser.Root->ScopeKind, tskConst);
  }
}

// ---- errors ----

struct ErrorCase {
  const char* text;
  TTavParserOptions options;
  const char* message;
};

TEST(ExprParserTest, WrongExpressionsGiveTheirMessageAtTheirToken) {
  const TTavParserOptions noSubqueries{tpoExtSyntax, tpoParameters};
  const ErrorCase cases[] = {
      {"I = 1 2", kAll, "Expression incorrectly terminated Line 1, Character 7. Token '2'"},
      {"I =", kAll, "Expression incorrectly terminated Line 1, Character 4. Token ''"},
      {"I = 1 S", kAll, "Invalid token Line 1, Character 7. Token 'S'"},
      {"I = ,", kAll, "Invalid token Line 1, Character 4. Token ','"},
      {"I = 1.2.3", kAll, "Invalid token Line 1, Character 5. Token '1.2.3'"},
      {"I = -.", kAll, "Invalid token Line 1, Character 5. Token '-.'"},
      {"NOT NOT I = 1", kAll, "Invalid token Line 1, Character 5. Token 'NOT'"},
      {"I '=' 1", kAll, "Expression incorrectly terminated Line 1, Character 3. Token '='"},
      {"I BETWEEN 1 OR 5", kAll,
       "missing AND operator in between predicate Line 1, Character 13. Token 'OR'"},
      {"I IN 1", kAll, "Missing Left Parenthesis Line 1, Character 6. Token '1'"},
      {"TRIM S = 'a'", kAll, "Missing Left Parenthesis Line 1, Character 6. Token 'S'"},
      {"SUBSTRING S = 'a'", kAll, "Missing Left Parenthesis Line 1, Character 11. Token 'S'"},
      {"EXISTS SELECT", kAll, "Missing Left Parenthesis Line 1, Character 8. Token 'SELECT'"},
      {"I IN (1, 2", kAll, "Missing Right Parenthesis Line 1, Character 11. Token ''"},
      {"(I = 1", kAll, "Missing Right Parenthesis Line 1, Character 7. Token ''"},
      {"SUM(I = 1", kAll, "Missing Right Parenthesis Line 1, Character 7. Token '='"},
      {"I IN (1 2)", kAll, "Missing Right Parenthesis or comma Line 1, Character 9. Token '2'"},
      {"I IN ()", kAll, "IN list is empty Line 1, Character 7. Token ')'"},
      {"I IN (SELECT I FROM T)", noSubqueries,
       "Subqueries are not supported Line 1, Character 7. Token 'SELECT'"},
      {"EXISTS (SELECT I FROM T)", noSubqueries,
       "Subqueries are not supported Line 1, Character 1. Token 'EXISTS'"},
      {"'x' + 1 = S", kAll, "Expression data types do not match Line 1, Character 5. Token '+'"},
      {"I * S = 1", kAll, "Expression data types do not match Line 1, Character 3. Token '*'"},
      {"B = 'x'", kAll, "Expression data types do not match Line 1, Character 8. Token ''"},
      {"I + 1 = 2", kNone, "Arithmetic operators not supported Line 1, Character 3. Token '+'"},
      {"I * 1 = 2", kNone, "Arithmetic operators not supported Line 1, Character 3. Token '*'"},
      {"SUM() = 1", kAll, "Expression is empty Line 1, Character 5. Token ')'"},
      {"UPPER() = 'a'", kAll, "Expression is empty Line 1, Character 7. Token ')'"},
      {"UPPER(I + 1) = 'a'", kAll,
       "Character value expression return type is invalid Line 1, Character 12. Token ')'"},
      {"SUBSTRING(S 2) = 'a'", kAll,
       "Missing FROM or COMMA token in SUBSTRING function Line 1, Character 13. Token '2'"},
      {"EXISTS (1)", kAll, "Missing select token Line 1, Character 9. Token '1'"},
      {"I = :5", kAll, "Parameter name expected but none found Line 1, Character 6. Token '5'"},
      {"I = :P", kNone, "Parameters are not supported Line 1, Character 6. Token 'P'"},
      {"Q.I = 1", kAll, "Table and/or field not found (Q.I) Line 1, Character 3. Token 'I'"},
      {"CAST(I INTEGER) = 1", kAll,
       "Missing AS operator in Cast expression Line 1, Character 8. Token 'INTEGER'"},
      {"CAST(L AS DATE) = 1", kAll,
       "Cannot convert type Boolean -> Date Line 1, Character 1. Token 'CAST'"},
      {"CAST(I AS FOO) = 1", kAll, "Unknown Datatype Line 1, Character 11. Token 'FOO'"},
      {"CAST(I AS AUTOINC) = 1", kAll,
       "Data type is invalid Line 1, Character 11. Token 'AUTOINC'"},
      {"CAST(I AS VARCHAR(-1)) = 1", kAll,
       "Data type length/precision not specified Line 1, Character 19. Token '-1'"},
      {"CAST(I AS VARCHAR(99999999999)) = 1", kAll,
       "Data type length/precision not specified Line 1, Character 19. Token '99999999999'"},
      {"CAST(I AS DECIMAL(10, 1.5)) = 1", kAll,
       "Data type scale invalid Line 1, Character 23. Token '1.5'"},
      {"CAST(I AS VARCHAR(10) = 1", kAll,
       "Missing Right Parenthesis Line 1, Character 23. Token '='"},
      {"EXTRACT(WEEK FROM D) = 1", kAll,
       "Invalid extract field in EXTRACT expression Line 1, Character 9. Token 'WEEK'"},
      {"EXTRACT(YEAR D) = 1", kAll,
       "Missing FROM operator in Extract expression Line 1, Character 14. Token 'D'"},
      {"EXTRACT(HOUR FROM D) = 1", kAll,
       "Extract value expression result type is invalid for extract field Line 1, Character 1. "
       "Token 'EXTRACT'"},
      {"EXTRACT(YEAR FROM I + 1) = 1", kAll,
       "Extract value expression result type is invalid for extract field Line 1, Character 1. "
       "Token 'EXTRACT'"},
      // A function without the extended syntax ends the expression.
      {"I = 1 AND COUNT(*) > 1", kNone,
       "Expression incorrectly terminated Line 1, Character 11. Token 'COUNT'"},
      {"\n  I = 1 OR\n  I = ", kAll, "Expression incorrectly terminated Line 3, Character 6. Token ''"},
  };
  for (const ErrorCase& c : cases) {
    Parse p(c.text, c.options);
    EXPECT_FALSE(p.ok) << c.text;
    EXPECT_EQ(p.parser.GetErrorMsg(), c.message) << c.text;
    // The expression was flagged with the same error.
    EXPECT_EQ(p.parser.Expr->ErrorMsg(), p.parser.ErrorMsg) << c.text;
  }
}

TEST(ExprParserTest, UnknownColumnsWhenFieldsAreValidated) {
  const auto validate = [](TTavExprParser& parser) { parser.SetValidateFields(true); };
  {
    Parse p("X = 1", kAll, true, validate);
    EXPECT_EQ(p.parser.GetErrorMsg(), "Field not found Line 1, Character 1. Token 'X'");
  }
  {
    Parse p("T.X = 1", kAll, true, validate);
    EXPECT_EQ(p.parser.GetErrorMsg(), "Field not found Line 1, Character 3. Token 'X'");
  }
  {
    // Without validation an unknown column of a known table is untyped.
    Parse p("X = 1", kAll);
    EXPECT_TRUE(p.ok);
    EXPECT_EQ(p.parser.Root->Left->DataType, host::ftUnknown);
  }
  {
    // Two tables: an unqualified column is looked up in both; K is in both
    // (ambiguous), J in one (taken), Q in none.
    TTavPreParser pre;
    TTableList tables;
    testing::AddTestTable(tables, "A", "x", {{"K", host::ftInteger}});
    testing::AddTestTable(tables, "B", "y", {{"K", host::ftInteger}, {"J", host::ftString}});
    TTavExprParser parser;
    parser.SetTableList(&tables);
    EXPECT_FALSE(parser.Execute(kAll, testing::ConditionStack(pre, "K = 1")));
    EXPECT_EQ(parser.GetErrorMsg(), "Field name is ambiguous Line 1, Character 1. Token 'K'");
    parser.Clear();
    EXPECT_FALSE(parser.Execute(kAll, testing::ConditionStack(pre, "Q = 1")));
    EXPECT_EQ(parser.GetErrorMsg(), "Field not found Line 1, Character 1. Token 'Q'");
    parser.Clear();
    EXPECT_TRUE(parser.Execute(kAll, testing::ConditionStack(pre, "J = 'a'")));
    EXPECT_EQ(parser.Root->Left->DataType, host::ftString);
    EXPECT_EQ(parser.Root->Left->TableList.Items(0)->TableName(), "B");
    parser.Clear();
    EXPECT_TRUE(parser.Execute(kAll, testing::ConditionStack(pre, "y.K = x.K")));
    EXPECT_EQ(parser.Root->Left->TableList.Items(0)->TableName(), "B");
    EXPECT_EQ(parser.Root->Right->TableList.Items(0)->TableName(), "A");
  }
}

// ---- subqueries and outer references ----

// Stands in for the query engine: reads "SELECT <column> FROM <table>
// [WHERE <condition>]" from the parser's stack, the condition with a parser
// of its own over table U, whose outer references (to alias O) it resolves.
struct SubqueryStub {
  void operator()(TParserNotifyType type, TBaseParser* parser, TParserStack* stack,
                  TTavExprNode* node, Variant& value) {
    if (type == pntFindTableRef) {
      ++outerLookups;
      if (value.AsString() == "O") {
        testing::AddSampleTable(node->TableList);
        node->TableList.Last()->SetCorrelationName("O");
        value = Variant(true);
      }
      return;
    }
    ++subqueries;
    TTableList inner;
    testing::AddTestTable(inner, "U", "", {{"K", host::ftInteger}, {"V", host::ftString}});
    node->SetTableList(&inner);
    TBaseParser reader;
    reader.Execute(TTavParserOptions{}, stack);  // the token after SELECT
    while (reader.CurrentToken != nullptr && reader.CurrentTokenType() != tstWhere &&
           reader.CurrentTokenType() != tstRParen)
      reader.NextToken();
    if (reader.CurrentTokenType() != tstWhere) {
      parser->ResumeAfter(reader, 0);
      return;
    }
    reader.NextToken();
    TTavExprParser sub;
    sub.SetTableList(&inner);
    sub.SetIsSubquery(true);
    sub.SetParserNotifyEvent(std::ref(*this));
    sub.SyncCurrToken(reader);
    const bool ok = sub.Execute(TTavParserOptions{tpoExtSyntax}, stack);
    innerDump = DumpTree(sub.Root);
    parser->ResumeAfter(sub, 0);
    if (!ok) parser->SetError(sub.ErrorToken, sub.ErrorMsg);
  }

  int subqueries = 0;
  int outerLookups = 0;
  Strings innerDump;
};

TEST(ExprParserTest, SubqueriesAreReadByTheHandlerFromTheSameStack) {
  SubqueryStub stub;
  const auto withStub = [&](TTavExprParser& parser) {
    parser.SetParserNotifyEvent(std::ref(stub));
  };
  Parse p("I IN (SELECT K FROM U WHERE K > 1 AND O.I = K) AND EXISTS (SELECT K FROM U) OR "
          "I > ALL (SELECT K FROM U)",
          kAll, true, withStub);
  ASSERT_TRUE(p.ok) << p.parser.GetErrorMsg();
  EXPECT_EQ(stub.subqueries, 3);
  EXPECT_EQ(p.Dump(),
            (Strings{"   enField:coFIELD2 :: tstFieldName  -  I :: Integer - 4",
                     "  enkNonRelPredicate:coIN :: tstIn  -  IN :: Boolean - -1", "    Start Args",
                     "    ** enkSubquery:teoSUBQUERY :: tstSelect  -  SELECT :: Unknown - -1",
                     "    End Args", " enkLogicalOperator:coAND :: tstAnd  -  AND :: Boolean - -1",
                     "  enkSubquery:teoSUBQUERY :: tstSelect  -  SELECT :: Unknown - -1",
                     "enkLogicalOperator:coOR :: tstOr  -  OR :: Boolean - -1",
                     "  enField:coFIELD2 :: tstFieldName  -  I :: Integer - 4",
                     " enkRelOperator:coGT :: tstCompOperator  -  > :: Boolean - -1",
                     "  enkSubquery:teoSUBQUERY :: tstSelect  -  SELECT :: Unknown - -1"}));
  // The outer reference was resolved and the rest of the condition built
  // after it (the cleared error no longer stops the expression).
  EXPECT_EQ(stub.outerLookups, 1);
  EXPECT_EQ(stub.innerDump,
            (Strings{"  enField:coFIELD2 :: tstFieldName  -  K :: Integer - 4",
                     " enkRelOperator:coGT :: tstCompOperator  -  > :: Boolean - -1",
                     "  enConst:coCONST2 :: tstNumber  -  1 :: Integer - 4",
                     "enkLogicalOperator:coAND :: tstAnd  -  AND :: Boolean - -1",
                     "  enField:coFIELD2 :: tstFieldName  -  K :: Integer - 4",
                     " enkRelOperator:coEQ :: tstCompOperator  -  = :: Boolean - -1",
                     "  enkFunc:teoOUTERFIELD :: tstFieldName  -  I :: Integer - 4"}));
  // The quantifiers ride on the SELECT tokens.
  int exists = 0, all = 0;
  for (const TTavExprNode* n = p.parser.Expr->Root(); n != nullptr; n = n->Next()) {
    if (n->Kind != enkSubquery) continue;
    exists += n->ParserToken.CustomOrdinal == tsqExists;
    all += n->ParserToken.CustomOrdinal == tsqAll;
    EXPECT_EQ(n->TableList.Count(), 1);
  }
  EXPECT_EQ(exists, 1);
  EXPECT_EQ(all, 1);
}

TEST(ExprParserTest, AnErrorInsideASubqueryIsTheParsersError) {
  SubqueryStub stub;
  const auto withStub = [&](TTavExprParser& parser) {
    parser.SetParserNotifyEvent(std::ref(stub));
  };
  {
    Parse p("I IN (SELECT K FROM U WHERE K > ) AND I = 1", kAll, true, withStub);
    EXPECT_FALSE(p.ok);
    EXPECT_EQ(p.parser.GetErrorMsg(), "Invalid token Line 1, Character 32. Token ')'");
  }
  {
    // An unknown qualifier is not taken for an outer reference.
    Parse p("EXISTS (SELECT K FROM U WHERE Z.K = 1)", kAll, true, withStub);
    EXPECT_FALSE(p.ok);
    EXPECT_EQ(p.parser.GetErrorMsg(),
              "Table and/or field not found (Z.K) Line 1, Character 33. Token 'K'");
  }
  {
    // The handler left the parser at the token after the subquery: here
    // one that does not close the list.
    Parse p("I IN (SELECT K FROM U WHERE K = 1", kAll, true, withStub);
    EXPECT_EQ(p.parser.GetErrorMsg(), "Missing Right Parenthesis Line 1, Character 34. Token ''");
  }
}

// ---- external expressions ----

TEST(ExprParserTest, ExternalValueExpressionsKeepTheirExactSourceText) {
  TTavPreParser pre;
  pre.SetText("SELECT COUNT( DISTINCT I ), SUM(I + 1)  AS Total, UPPER(S) || 'x' FROM T");
  pre.PreParseTokens();
  TParserStack* stack = pre.GetSection(tstSelect, nullptr);
  ASSERT_NE(stack, nullptr);
  TTableList tables;
  testing::AddSampleTable(tables);
  TTavExprParser parser;
  parser.SetTableList(&tables);
  parser.SetValidEndTokens({tstComma, tstAS});

  TTavExpr count;
  ASSERT_TRUE(parser.ExecuteExternalValueExpr(count, kAll, stack)) << parser.GetErrorMsg();
  EXPECT_EQ(parser.Expr, nullptr);  // the caller's expression was only lent
  EXPECT_EQ(count.ParsedText(), " COUNT( DISTINCT I )");
  ASSERT_NE(count.Root(), nullptr);
  EXPECT_EQ(count.Root()->ParserToken.RawTokenText, "COUNT( DISTINCT I )");
  EXPECT_EQ(count.Root()->Data.AsBoolean(), true);  // DISTINCT
  EXPECT_EQ(parser.CurrentTokenType(), tstComma);

  // The next item: the comma (read already) is passed and the text starts
  // afresh.
  parser.Clear();
  TTavExpr sum;
  ASSERT_TRUE(parser.ExecuteExternalValueExpr(sum, kAll, stack)) << parser.GetErrorMsg();
  EXPECT_EQ(sum.ParsedText(), " SUM(I + 1)");
  EXPECT_EQ(sum.Root()->ParserToken.RawTokenText, "SUM(I + 1)");
  EXPECT_EQ(sum.Root()->Data.AsBoolean(), false);
  EXPECT_EQ(parser.CurrentTokenType(), tstAS);

  parser.Clear();
  stack->Pop();  // Total
  stack->Pop();  // ,
  TTavExpr upper;
  ASSERT_TRUE(parser.ExecuteExternalValueExpr(upper, kAll, stack)) << parser.GetErrorMsg();
  EXPECT_EQ(upper.ParsedText(), " UPPER(S) || 'x'");
  EXPECT_EQ(upper.Root()->DataSize, 21);
}

TEST(ExprParserTest, ExternalConditionsFillTheCallersExpression) {
  TTavPreParser pre;
  TTavExprParser parser;
  parser.SetCaseInsensitiveMatch(true);
  TTavExpr expr;
  ASSERT_TRUE(parser.ExecuteExternalExpr(expr, kAll, testing::ConditionStack(pre, "A = 'x'")));
  EXPECT_EQ(parser.Expr, nullptr);
  ASSERT_NE(expr.Root(), nullptr);
  EXPECT_EQ(expr.Root()->Operator, teoEQ);
  EXPECT_TRUE(expr.Root()->Right->CaseInsensitiveMatch);

  parser.Clear();
  TTavExpr bad;
  EXPECT_FALSE(parser.ExecuteExternalExpr(bad, kAll, testing::ConditionStack(pre, "A = 'x' B")));
  EXPECT_EQ(parser.GetErrorMsg(),
            "Expression incorrectly terminated Line 1, Character 9. Token 'B'");
  EXPECT_EQ(bad.ErrorMsg(), "Expression incorrectly terminated");

  // An expression flagged before builds nothing: that is an error, never a
  // silently empty success.
  parser.Clear();
  EXPECT_FALSE(parser.ExecuteExternalExpr(bad, kAll, testing::ConditionStack(pre, "A = 1")));
  EXPECT_EQ(parser.ErrorMsg, "Expression incorrectly terminated");

  // The parser's own expression comes back with the next Execute.
  parser.Clear();
  EXPECT_TRUE(parser.Execute(kAll, testing::ConditionStack(pre, "A = 1")));
  ASSERT_NE(parser.Expr, nullptr);
  EXPECT_EQ(parser.Expr->Root(), parser.Root);
}

TEST(ExprParserTest, CloneFromExprReplacesOrJoins) {
  TTavPreParser pre1, pre2;
  TTavExprParser first, second;
  ASSERT_TRUE(first.Execute(kAll, testing::ConditionStack(pre1, "A = 1")));
  ASSERT_TRUE(second.Execute(kAll, testing::ConditionStack(pre2, "B = 2 OR C = 3")));

  TTavExprParser target;
  target.CloneFromExpr(*first.Expr, true, teoNOTDEFINED);
  EXPECT_EQ(DumpTree(target.Root), DumpTree(first.Root));
  target.CloneFromExpr(*second.Expr, false, teoAND);
  EXPECT_EQ(DumpTree(target.Root),
            (Strings{"   enField:coFIELD2 :: tstFieldName  -  B :: Unknown - -1",
                     "  enkRelOperator:coEQ :: tstCompOperator  -  = :: Boolean - -1",
                     "   enConst:coCONST2 :: tstNumber  -  2 :: Unknown - -1",
                     " enkLogicalOperator:coOR :: tstOr  -  OR :: Boolean - -1",
                     "   enField:coFIELD2 :: tstFieldName  -  C :: Unknown - -1",
                     "  enkRelOperator:coEQ :: tstCompOperator  -  = :: Boolean - -1",
                     "   enConst:coCONST2 :: tstNumber  -  3 :: Unknown - -1",
                     "enkLogicalOperator:coAND :: tstAnd  -   :: Unknown - -1",
                     "  enField:coFIELD2 :: tstFieldName  -  A :: Unknown - -1",
                     " enkRelOperator:coEQ :: tstCompOperator  -  = :: Boolean - -1",
                     "  enConst:coCONST2 :: tstNumber  -  1 :: Unknown - -1"}));
  EXPECT_EQ(target.Expr->Root(), target.Root);
  // The sources may go first: the copy holds nothing of theirs.
  first.Clear();
  EXPECT_TRUE(first.Execute(kAll, testing::ConditionStack(pre1, "Z = 9")));
  EXPECT_EQ(target.Root->Right->Left->Data.AsString(), "A");

  try {
    target.CloneFromExpr(*second.Expr, false, teoNOT);
    ADD_FAILURE() << "no assertion";
  } catch (const host::EAssertionFailed& e) {
    EXPECT_NE(std::string(e.Message()).find("Unsupported Expr assign operator"),
              std::string::npos);
  }
}

// ---- bounds ----

std::string Repeat(const std::string& s, int n) {
  std::string r;
  r.reserve(s.size() * static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) r += s;
  return r;
}

// Conditions whose tree, or whose nesting in the parser, is `n` deep.
std::string OrChain(int n) { return "A = 0" + Repeat(" OR A = 1", n - 1); }
std::string Parens(int n) { return Repeat("(", n) + "A = 1" + Repeat(")", n); }
std::string Uppers(int n) { return Repeat("UPPER(", n) + "A" + Repeat(")", n) + " = 'x'"; }
std::string InLists(int n) { return Repeat("A IN (", n) + "1" + Repeat(")", n); }

int Height(const TTavExprNode* node) {
  if (node == nullptr) return 0;
  int h = std::max(Height(node->Left), Height(node->Right));
  for (const TTavExprNode* arg : node->Args) h = std::max(h, Height(arg));
  return h + 1;
}

// Parses `text`, then clones, dumps and compares the tree: every walker of
// the expression layer at the depth the text reaches.
bool ParseAndWalk(const std::string& text, std::string* error = nullptr) {
  TTavPreParser pre;
  TTavExprParser parser;
  const bool ok = parser.Execute(kAll + TTavParserOptions{tpoExtSyntax},
                                 testing::ConditionStack(pre, text));
  if (error != nullptr) *error = parser.GetErrorMsg();
  if (!ok) return false;
  TTavExpr copy;
  copy.CloneFromTree(parser.Root);
  host::TStringList lines;
  copy.Display(lines);
  return copy.Root()->AreNodesEquivalent(parser.Root) && lines.Count() > 0;
}

TEST(ExprParserTest, TreesAndNestingPastTheDepthBoundAreTooComplex) {
  const struct {
    const char* name;
    std::function<std::string(int)> text;
    int fits;  // the largest n that parses
  } shapes[] = {
      // The OR chain's tree is as deep as it is long: the root is the last OR.
      {"or chain", OrChain, MaxExprTreeDepth - 1},
      // Parentheses make no node but nest the parser twice per level.
      {"parentheses", Parens, MaxExprTreeDepth / 2 - 1},
      {"functions", Uppers, MaxExprTreeDepth - 2},
      // Each list nests one condition and adds one level.
      {"IN lists", InLists, MaxExprTreeDepth - 2},
  };
  for (const auto& s : shapes) {
    std::string error;
    EXPECT_TRUE(ParseAndWalk(s.text(s.fits), &error)) << s.name << ": " << error;
    EXPECT_FALSE(ParseAndWalk(s.text(s.fits + 1), &error)) << s.name;
    EXPECT_EQ(error.substr(0, 26), "Expression is too complex ") << s.name << ": " << error;
  }
  {
    Parse p(OrChain(MaxExprTreeDepth - 1), kAll, false);
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(Height(p.parser.Root), MaxExprTreeDepth);
  }
  {
    // Reported at the operator that would pass the bound.
    Parse p(OrChain(MaxExprTreeDepth + 5), kAll, false);
    const int column = static_cast<int>(OrChain(MaxExprTreeDepth).size()) - 7;
    EXPECT_EQ(p.parser.GetErrorMsg(),
              "Expression is too complex Line 1, Character " + std::to_string(column) +
                  ". Token 'OR'");
  }
  {
    // A long flat IN list is no deeper than two.
    std::string list = "A IN (0";
    for (int i = 1; i < 5000; ++i) list += "," + std::to_string(i);
    EXPECT_TRUE(ParseAndWalk(list + ")"));
  }
}

TEST(ExprParserTest, NestedBetweensAreBoundedByTheirWalk) {
  // Each BETWEEN reads its operand twice, so nesting doubles every walk.
  std::string text = "A";
  for (int i = 0; i < 40; ++i) text = "(" + text + ") BETWEEN 0 AND 1";
  Parse p(text, kAll, false);
  EXPECT_FALSE(p.ok);
  EXPECT_EQ(p.parser.ErrorMsg, "Expression is too complex");
  std::string small = "A";
  for (int i = 0; i < 4; ++i) small = "(" + small + ") BETWEEN 0 AND 1";
  EXPECT_TRUE(ParseAndWalk(small));
}

// The deepest trees and nesting the parser accepts must be parsed, cloned,
// dumped and compared within this much stack (the instrumented build uses
// the most).
constexpr size_t kWalkerStack = 4 << 20;

TEST(ExprParserTest, EveryWalkerFitsTheStackAtTheBounds) {
  struct Work {
    bool ok = true;
  } work;
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, kWalkerStack), 0);
  pthread_t thread;
  const auto body = [](void* arg) -> void* {
    auto* w = static_cast<Work*>(arg);
    w->ok = ParseAndWalk(OrChain(MaxExprTreeDepth - 1)) &&
            ParseAndWalk(Parens(MaxExprTreeDepth / 2 - 1)) &&
            ParseAndWalk(Uppers(MaxExprTreeDepth - 2)) &&
            ParseAndWalk(InLists(MaxExprTreeDepth - 2)) &&
            !ParseAndWalk(Parens(MaxExprTreeDepth * 4));
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, body, &work), 0);
  ASSERT_EQ(pthread_join(thread, nullptr), 0);
  pthread_attr_destroy(&attr);
  EXPECT_TRUE(work.ok);
}

}  // namespace
}  // namespace tav
