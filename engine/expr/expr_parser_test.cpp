#include "engine/expr/expr_parser.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "engine/expr/testing/expr_test_support.h"
#include "host/rtl/string_list.h"

namespace tav {
namespace {

using testing::Lines;

struct Parse {
  Parse(const std::string& text, TTavParserOptions options, bool withTables = true) {
    if (withTables) testing::AddSampleTable(tables);
    parser.SetTableList(&tables);
    ok = parser.Execute(options, testing::ConditionStack(pre, text));
  }
  std::vector<std::string> Dump() const {
    host::TStringList lines;
    TTavExprNode::DisplayExprTree("", parser.Root, lines);
    return Lines(lines);
  }
  TTableList tables;
  TTavPreParser pre;
  TTavExprParser parser;
  bool ok = false;
};

const TTavParserOptions kAll{tpoExtSyntax, tpoParameters, tpoSubqueries, tpoExtractAggFuncExprText};

TEST(ExprParserScratch, Print) {
  const char* texts[] = {"1 < I", "I BETWEEN 1 AND 5", "I NOT BETWEEN 1 AND 5", "I IN (1, 2)",
                         "D IN ('2004-01-31', '2004-02-01')", "D = '2004-01-31'",
                         "S LIKE 'a%' ESCAPE '\\'", "S || 'x' = 'ab'", "COUNT(*) > 1",
                         "SUM(DISTINCT I) = 3", "UPPER(S) = 'A'", "TRIM(LEADING 'x' FROM S) = 'y'",
                         "SUBSTRING(S FROM 2 FOR 3) = 'b'", "CAST(I AS VARCHAR(10)) = '1'",
                         "EXTRACT(YEAR FROM D) = 2004", "I = :P", "NOT I IS NULL",
                         "T.I = 1 OR T.S IS NOT NULL AND F * 2 > 1", "D + 1 > CURRENT_DATE",
                         "L = TRUE", "I = NULL"};
  for (const char* t : texts) {
    Parse p(t, kAll);
    std::printf("== %s -> %d %s\n", t, p.ok, p.parser.GetErrorMsg().c_str());
    for (const auto& l : p.Dump()) std::printf("      \"%s\",\n", l.c_str());
  }
}

}  // namespace
}  // namespace tav
