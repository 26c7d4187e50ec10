#include "engine/query/parse/exec_parsers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "engine/query/testing/query_test_support.h"
#include "host/db/params.h"
#include "host/rtl/date_time.h"
#include "host/rtl/sys_utils.h"
#include "os/clock.h"

namespace tav {
namespace {

using host::Variant;
using Strings = std::vector<std::string>;

// Table T as the query engine gives its fields: a, b integers, s string,
// d date, l Boolean.
void FillT(TInternalFields& fields) {
  for (const auto& [name, type] : std::vector<std::pair<std::string, host::TFieldType>>{
           {"a", host::ftInteger}, {"b", host::ftInteger}, {"s", host::ftString},
           {"d", host::ftDate}, {"l", host::ftBoolean}}) {
    TInternalFieldItem* f = fields.Add();
    f->SetFieldName(name);
    f->SetDataType(type);
  }
}

// One statement read by parser P from the single stack, subqueries read by
// the stand-in for the parser engine.
template <class P>
struct Statement {
  explicit Statement(const std::string& text, TTavSQLToken section) {
    FillT(fields);
    parser.SetParserNotifyEvent(subqueries.Handler());
    if constexpr (!std::is_same_v<P, TTavInsertParser>) parser.SetTables(&tables);
    stack = testing::StatementStack(pre, text, section);
  }
  bool Run() { return parser.Execute(TTavParserOptions{}, stack); }
  Variant Value(int i) {
    Variant v;
    parser.Values.Items(i)->GetRowData(v);
    return v;
  }

  TTavPreParser pre;
  TParserStack* stack = nullptr;
  P parser;
  TTableList tables;
  TInternalFields fields;
  testing::TSubqueryReader subqueries;
};

struct Insert : Statement<TTavInsertParser> {
  explicit Insert(const std::string& text) : Statement(text, tstInsert) { ok = Run(); }
  bool ok = false;
};

struct Update : Statement<TTavUpdateParser> {
  explicit Update(const std::string& text) : Statement(text, tstUpdate) {
    // As the query engine does: the target table exists and gets its fields.
    parser.SetTableListValidateEvent([this](TTableList& list) {
      TTableNameItem* item = list.Last();
      if (!host::SameText(item->TableName(), "T")) return false;
      item->SetTableFields(&fields);
      return true;
    });
    ok = Run();
  }
  bool ok = false;
};

struct Delete : Statement<TTavDeleteParser> {
  explicit Delete(const std::string& text) : Statement(text, tstDelete) { ok = Run(); }
  bool ok = false;
};

TEST(InsertParserTest, ValuesAndTheirTypes) {
  Insert i("INSERT INTO t VALUES (1.5, 'a', \"b\", NULL, TRUE, FALSE, 2 * 3, -1, :p || 'x')");
  ASSERT_TRUE(i.ok) << i.parser.GetErrorMsg();
  EXPECT_EQ(i.parser.TableName, "t");
  EXPECT_TRUE(i.parser.ColumnsNotSpecified);
  EXPECT_FALSE(i.parser.HasSelectClause);
  ASSERT_EQ(i.parser.Values.Count(), 9);
  EXPECT_EQ(i.Value(0).VType(), host::varDouble);
  EXPECT_EQ(i.Value(0).AsDouble(), 1.5);
  EXPECT_EQ(i.Value(1).AsString(), "a");
  EXPECT_EQ(i.Value(2).AsString(), "b");
  EXPECT_TRUE(i.Value(3).IsNull());
  EXPECT_EQ(i.Value(4).VType(), host::varBoolean);
  EXPECT_TRUE(i.Value(4).AsBoolean());
  EXPECT_FALSE(i.Value(5).AsBoolean());
  // Expressions run once the row is prepared.
  for (int k : {6, 8}) EXPECT_TRUE(i.parser.Values.Items(k)->HasExpr()) << k;
  EXPECT_TRUE(i.parser.Values.Items(8)->HasParameter());
  i.parser.Values.Prepare(nullptr);
  EXPECT_EQ(i.Value(6).AsDouble(), 6.0);
  EXPECT_EQ(i.Value(7).AsDouble(), -1.0);
}

TEST(InsertParserTest, ColumnsAndSelect) {
  Insert cols("INSERT INTO t (a, [b c]) VALUES (:p, 2)");
  ASSERT_TRUE(cols.ok) << cols.parser.GetErrorMsg();
  EXPECT_FALSE(cols.parser.ColumnsNotSpecified);
  EXPECT_EQ(testing::Lines(cols.parser.Columns), (Strings{"a", "b c"}));
  EXPECT_TRUE(cols.parser.Values.Items(0)->HasParameter());
  EXPECT_FALSE(cols.parser.Values.Items(1)->HasParameter());

  // The SELECT is handed to the parser engine, which reads it.
  Insert select("INSERT INTO t (a) SELECT b FROM u WHERE b > 1");
  ASSERT_TRUE(select.ok) << select.parser.GetErrorMsg();
  EXPECT_TRUE(select.parser.HasSelectClause);
  EXPECT_EQ(select.subqueries.Calls, 1);
  EXPECT_EQ(select.subqueries.Texts, (Strings{"SELECT"}));
  ASSERT_NE(select.parser.Expr.Root(), nullptr);
  EXPECT_EQ(select.parser.Expr.Root()->Kind, enkSubquery);
}

TEST(InsertParserTest, EveryMessageAtItsToken) {
  struct Case {
    const char* text;
    const char* error;
  };
  const Case cases[] = {
      {"INSERT t VALUES (1)", "Insert statement syntax is incorrect Line 1, Character 8. Token 't'"},
      {"INSERT INTO", "Insert statement incorrectly terminated Line 1, Character 12. Token ''"},
      {"INSERT INTO 5 VALUES (1)", "Syntax error. Expected table name Line 1, Character 13. Token '5'"},
      {"INSERT INTO t (a,, b) VALUES (1, 2)",
       "Column specification is missing Line 1, Character 18. Token ','"},
      {"INSERT INTO t (a,) VALUES (1)", "Column specification is missing Line 1, Character 18. Token ')'"},
      {"INSERT INTO t (a b) VALUES (1)", "Missing Right Parenthesis Line 1, Character 18. Token 'b'"},
      {"INSERT INTO t VALUES 1", "Missing Left Parenthesis Line 1, Character 22. Token '1'"},
      {"INSERT INTO t VALUES (1", "Missing Right Parenthesis Line 1, Character 24. Token ''"},
      {"INSERT INTO t VALUES (1,,2)", "Column specification is missing Line 1, Character 25. Token ','"},
      {"INSERT INTO t VALUES (1,)", "Column specification is missing Line 1, Character 25. Token ')'"},
      // A value cannot read a column: there is no row yet.
      {"INSERT INTO t (a) VALUES (b)", "Invalid token Line 1, Character 27. Token 'b'"},
      {"INSERT INTO t (a) VALUES (UPPER(u.b))", "Invalid token Line 1, Character 35. Token 'b'"},
      {"INSERT INTO t VALUES (1.2.3)", "Invalid token Line 1, Character 23. Token '1.2.3'"},
      {"INSERT INTO t VALUES ('a' + 1)",
       "Expression data types do not match Line 1, Character 27. Token '+'"},
      {"INSERT INTO t DEFAULT VALUES", "Invalid token Line 1, Character 15. Token 'DEFAULT'"},
      {"INSERT INTO t VALUES (1) x", "Insert statement incorrectly terminated Line 1, Character 26. Token 'x'"},
  };
  for (const Case& c : cases) {
    Insert i(c.text);
    EXPECT_FALSE(i.ok) << c.text;
    EXPECT_EQ(i.parser.GetErrorMsg(), c.error) << c.text;
  }
}

TEST(InsertParserTest, ValidationsAgainstTheTable) {
  {
    // Fewer values than fields leave the rest Null; more have nowhere to go.
    Insert fewer("INSERT INTO t VALUES (1, 2)");
    EXPECT_TRUE(fewer.parser.ValidateValueColumns(fewer.fields)) << fewer.parser.GetErrorMsg();
    EXPECT_EQ(testing::Lines(fewer.parser.Columns), (Strings{"a", "b", "s", "d", "l"}));
    Insert more("INSERT INTO t VALUES (1, 2, 3, 4, 5, 6)");
    EXPECT_FALSE(more.parser.ValidateValueColumns(more.fields));
    EXPECT_EQ(more.parser.GetErrorMsg(), "Number of insert columns does not match number of insert values");
  }
  Insert mismatch("INSERT INTO t (a, b) VALUES (1)");
  EXPECT_FALSE(mismatch.parser.ValidateValueColumns(mismatch.fields));
  EXPECT_EQ(mismatch.parser.GetErrorMsg(), "Number of insert columns does not match number of insert values");
  Insert empty("INSERT INTO t () VALUES ()");
  ASSERT_TRUE(empty.ok) << empty.parser.GetErrorMsg();
  EXPECT_FALSE(empty.parser.ValidateValueColumns(empty.fields));
  EXPECT_EQ(empty.parser.GetErrorMsg(), "No insert columns were specified");
  Insert unknown("INSERT INTO t (a, q) VALUES (1, 2)");
  EXPECT_FALSE(unknown.parser.ValidateValueColumns(unknown.fields));
  EXPECT_EQ(unknown.parser.GetErrorMsg(), "Field not found : q Line 1, Character 19. Token 'q'");

  // INSERT ... SELECT: the counts, then each pair of types.
  TInternalFields result;
  for (host::TFieldType type : {host::ftFloat, host::ftString}) result.Add()->SetDataType(type);
  Insert fromSelect("INSERT INTO t (l, s) SELECT x, y FROM u");
  EXPECT_FALSE(fromSelect.parser.ValidateSelectColumns(result, fromSelect.fields));
  EXPECT_EQ(fromSelect.parser.GetErrorMsg(), "Cannot convert type Boolean -> Float");
  Insert good("INSERT INTO t (a, s) SELECT x, y FROM u");
  EXPECT_TRUE(good.parser.ValidateSelectColumns(result, good.fields)) << good.parser.GetErrorMsg();
  Insert tooMany("INSERT INTO t (a) SELECT x, y FROM u");
  EXPECT_FALSE(tooMany.parser.ValidateSelectColumns(result, tooMany.fields));
  EXPECT_EQ(tooMany.parser.GetErrorMsg(), "Number of insert columns does not match number of insert values");
  EXPECT_FALSE(good.parser.CheckDataConversionValid(host::ftUnknown, host::ftInteger));
}

TEST(InsertParserTest, EveryParameterIsBoundOnEveryRun) {
  Insert i("INSERT INTO t VALUES (:p, 1 + :p, :q * (2 - :p), 'x')");
  ASSERT_TRUE(i.ok) << i.parser.GetErrorMsg();
  host::TParams params;
  params.CreateParam(host::ftInteger, "p", host::ptInput)->SetAsInteger(10);
  params.CreateParam(host::ftInteger, "Q", host::ptInput)->SetAsInteger(3);
  for (int run = 0; run < 2; ++run) {
    i.parser.Values.BindParams(&params);
    i.parser.Values.Prepare(nullptr);
    const double p = run == 0 ? 10 : 20;
    EXPECT_EQ(i.Value(0).AsDouble(), p) << run;
    EXPECT_EQ(i.Value(1).AsDouble(), 1 + p) << run;
    EXPECT_EQ(i.Value(2).AsDouble(), 3 * (2 - p)) << run;
    EXPECT_EQ(i.Value(3).AsString(), "x");
    // A prepared statement runs again with new values.
    params.Items(0)->SetAsInteger(20);
  }
}

TEST(InsertParserTest, LoneClockValuesAreTakenWhenTheRowIsPrepared) {
  os::TManualClock clock(45000.25);
  os::TScopedClock scoped(clock);
  Insert i("INSERT INTO t VALUES (CURRENT_DATE, CURRENT_TIME, CURRENT_TIMESTAMP, CURRENT_TIMESTAMP + 1)");
  ASSERT_TRUE(i.ok) << i.parser.GetErrorMsg();
  clock.SetNow(45010.5);  // the statement runs later than it was parsed
  i.parser.Values.Prepare(nullptr);
  EXPECT_EQ(i.Value(0).AsDateTime(), 45010.0);
  EXPECT_EQ(i.Value(1).AsDateTime(), 0.5);
  EXPECT_EQ(i.Value(2).AsDateTime(), 45010.5);
  EXPECT_EQ(i.Value(3).AsDateTime(), 45011.5);
  // Every run reads the clock again, once for the whole row.
  clock.SetNow(45020.75);
  i.parser.Values.Prepare(nullptr);
  EXPECT_EQ(i.Value(2).AsDateTime(), 45020.75);
  EXPECT_EQ(i.Value(3).AsDateTime(), 45021.75);
}

TEST(UpdateParserTest, SetListAndWhere) {
  Update u("UPDATE T SET a = 1, T.b = a + 1, s = :p, d = CURRENT_DATE WHERE a = 3");
  ASSERT_TRUE(u.ok) << u.parser.GetErrorMsg();
  EXPECT_EQ(u.parser.TableName, "T");
  ASSERT_EQ(u.tables.Count(), 1);
  ASSERT_EQ(u.parser.Values.Count(), 4);
  Strings targets;
  for (int i = 0; i < u.parser.Values.Count(); ++i) targets.push_back(u.parser.Values.Items(i)->TargetColumnName);
  EXPECT_EQ(targets, (Strings{"a", "b", "s", "d"}));
  EXPECT_FALSE(u.parser.Values.Items(0)->HasExpr());
  EXPECT_TRUE(u.parser.Values.Items(1)->HasExpr());
  EXPECT_TRUE(u.parser.Values.Items(2)->HasParameter());
  EXPECT_EQ(u.parser.Values.Items(3)->ClockToken(), tstCurrentDate);
  // The value reads the target table's column, typed from its fields.
  const TTavExprNode* field = u.parser.Values.Items(1)->GetExpr().Root()->Left;
  EXPECT_EQ(field->DataType, host::ftInteger);
  EXPECT_TRUE(u.parser.HasWhereClause);
  EXPECT_EQ(u.subqueries.Calls, 1);
  EXPECT_EQ(u.subqueries.Texts, (Strings{"WHERE"}));
  EXPECT_TRUE(u.parser.ValidateValueColumns(u.fields));
  EXPECT_EQ(u.parser.Values.Items(3)->TargetColumnIndex, 3);

  Update plain("UPDATE T SET b = (SELECT MAX(x) FROM u)");
  ASSERT_TRUE(plain.ok) << plain.parser.GetErrorMsg();
  EXPECT_FALSE(plain.parser.HasWhereClause);
  EXPECT_EQ(plain.subqueries.Calls, 1);  // a subquery as a value
  Update missing("UPDATE T SET q = 1");
  ASSERT_TRUE(missing.ok);
  EXPECT_FALSE(missing.parser.ValidateValueColumns(missing.fields));
  EXPECT_EQ(missing.parser.GetErrorMsg(), "Field not found : q");
}

TEST(UpdateParserTest, EveryMessageAtItsToken) {
  struct Case {
    const char* text;
    const char* error;
  };
  const Case cases[] = {
      {"UPDATE", "Update statement incorrectly terminated Line 1, Character 7. Token ''"},
      {"UPDATE U SET a = 1", "Table and/or field not found Line 1, Character 8. Token 'U'"},
      {"UPDATE T a = 1", "Update statement syntax is incorrect Line 1, Character 10. Token 'a'"},
      {"UPDATE T SET", "Update statement missing column reference Line 1, Character 13. Token ''"},
      {"UPDATE T SET a 1", "Missing assignment (=) token Line 1, Character 16. Token '1'"},
      {"UPDATE T SET a = , b = 1", "Column specification is missing Line 1, Character 17. Token ','"},
      {"UPDATE T SET a = 1,", "Update statement missing column reference Line 1, Character 20. Token ''"},
      {"UPDATE T SET 5 = 1", "Update statement missing column reference Line 1, Character 14. Token '5'"},
      {"UPDATE T SET u.a = 1", "Table and/or field not found Line 1, Character 14. Token 'u'"},
      {"UPDATE T SET a = q", "Field not found Line 1, Character 18. Token 'q'"},
      {"UPDATE T SET a = 1 b", "Expression incorrectly terminated Line 1, Character 20. Token 'b'"},
  };
  for (const Case& c : cases) {
    Update u(c.text);
    EXPECT_FALSE(u.ok) << c.text;
    EXPECT_EQ(u.parser.GetErrorMsg(), c.error) << c.text;
  }
}

TEST(DeleteParserTest, StatementsAndMessages) {
  Delete all("DELETE FROM t");
  ASSERT_TRUE(all.ok) << all.parser.GetErrorMsg();
  EXPECT_FALSE(all.parser.HasWhereClause);
  EXPECT_EQ(all.subqueries.Calls, 0);
  ASSERT_EQ(all.tables.Count(), 1);
  EXPECT_EQ(all.tables.Items(0)->TableName(), "t");
  Delete some("DELETE FROM t WHERE a = 1");
  ASSERT_TRUE(some.ok) << some.parser.GetErrorMsg();
  EXPECT_TRUE(some.parser.HasWhereClause);
  EXPECT_EQ(some.subqueries.Calls, 1);
  struct Case {
    const char* text;
    const char* error;
  };
  const Case cases[] = {
      {"DELETE t", "Delete statement syntax is incorrect Line 1, Character 8. Token 't'"},
      {"DELETE FROM", "Delete statement incorrectly terminated Line 1, Character 12. Token ''"},
      {"DELETE FROM t u", "Delete statement incorrectly terminated Line 1, Character 15. Token 'u'"},
  };
  for (const Case& c : cases) {
    Delete d(c.text);
    EXPECT_FALSE(d.ok) << c.text;
    EXPECT_EQ(d.parser.GetErrorMsg(), c.error) << c.text;
  }
}

}  // namespace
}  // namespace tav
