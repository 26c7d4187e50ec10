#include "engine/expr/expr_evaluator.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "engine/expr/expr_parser.h"
#include "engine/expr/testing/expr_test_support.h"
#include "engine/storage/base/tav_errors.h"
#include "engine/storage/testing/engine_error_test_support.h"
#include "host/rtl/date_time.h"
#include "host/rtl/sys_utils.h"
#include "os/clock.h"

namespace tav {
namespace {

using host::Variant;
using Row = std::vector<Variant>;

const TTavParserOptions kAll{tpoExtSyntax, tpoParameters, tpoSubqueries};

// Columns of the in-memory table, FieldNo from 1.
const std::vector<std::pair<std::string, host::TFieldType>> kColumns = {
    {"I", host::ftInteger}, {"F", host::ftFloat},     {"S", host::ftString},
    {"D", host::ftDate},    {"DT", host::ftDateTime}, {"L", host::ftBoolean}};

// Rows in memory; the row at address k is rows[k].
class TMemoryProvider : public TTavExprDataProvider {
 public:
  explicit TMemoryProvider(std::vector<Row> rows) : rows_(std::move(rows)) {
    int no = 1;
    for (const auto& [name, type] : kColumns) {
      TInternalFieldItem* f = ProviderFields.Add();
      f->SetFieldName(name);
      f->SetDataType(type);
      f->SetFieldNo(no++);
    }
    SetDBStringCompare(DBANSICompareStrings);
  }
  Variant GetDataAsVariant(int32_t fieldNo) override {
    return rows_.at(current_).at(static_cast<size_t>(fieldNo - 1));
  }
  bool MoveToRecord(uint32_t address) override {
    if (address >= rows_.size()) return false;
    current_ = address;
    return true;
  }
  TTavExprDataProvider* FindProvider(const std::string& table) override {
    if (host::SameText(table, "T")) return this;
    const auto it = others_.find(host::UpperCase(table));
    return it != others_.end() ? it->second : nullptr;
  }
  void AddOther(const std::string& table, TTavExprDataProvider* provider) {
    others_[table] = provider;
  }

 private:
  std::vector<Row> rows_;
  size_t current_ = 0;
  std::map<std::string, TTavExprDataProvider*> others_;
};

// A subquery's result: rows of values.
class TStubRows : public TCustomExprNodeDataProvider, public TTavExprRowSource {
 public:
  explicit TStubRows(std::vector<Row> rows, int columns = 1)
      : rows_(std::move(rows)), columns_(columns) {}
  bool PrepareAndOpen() override {
    ++opened;
    at_ = 0;
    ProviderDataset = this;
    return true;
  }
  bool Eof() const override { return at_ >= rows_.size(); }
  void Next() override { ++at_; }
  int FieldCount() const override { return columns_; }
  Variant FieldValue(int index) const override { return rows_.at(at_).at(static_cast<size_t>(index)); }
  int opened = 0;

 private:
  std::vector<Row> rows_;
  int columns_;
  size_t at_ = 0;
};

void SkipSubquery(TParserNotifyType type, TBaseParser* parser, TParserStack* stack, TTavExprNode*,
                  Variant&) {
  if (type == pntSubquery) testing::SkipSubquery(parser, stack);
}

// A condition parsed against table T (the columns above) and, for joins,
// O (column I).
struct Parsed {
  explicit Parsed(const std::string& text, bool caseInsensitive = false, bool join = false) {
    testing::AddTestTable(tables, "T", "", kColumns);
    if (join) testing::AddTestTable(tables, "O", "", {{"I", host::ftInteger}});
    parser.SetTableList(&tables);
    parser.SetCaseInsensitiveMatch(caseInsensitive);
    parser.SetParserNotifyEvent(SkipSubquery);
    ok = parser.Execute(kAll, testing::ConditionStack(pre, text));
  }
  // Hands the subqueries their results, the last in the text first.
  void AttachSubqueries(const std::vector<TStubRows*>& results) {
    size_t i = 0;
    for (TTavExprNode* n = parser.Expr->Root(); n != nullptr; n = n->Next()) {
      if (n->Kind == enkSubquery && i < results.size()) n->SetExprNodeDataProvider(results[i++]);
    }
  }

  TTableList tables;
  TTavPreParser pre;
  TTavExprParser parser;
  bool ok = false;
};

std::string Show(const Variant& v) {
  if (v.IsEmpty()) return "<empty>";
  if (v.IsNull()) return "<null>";
  return host::VarToStr(v);
}

Variant Value(const Parsed& p, TTavExprDataProvider& provider, bool excludeNulls) {
  TExprEvaluator evaluator;
  evaluator.SetDBStringCompare(DBANSICompareStrings);
  evaluator.SetExcludeRelopNulls(excludeNulls);
  evaluator.Prepare(&provider, p.parser.Root);
  provider.MoveToRecord(0);
  evaluator.Reset();
  return evaluator.EvaluateValueExpr();
}

const double kWhen = host::EncodeDate(2020, 5, 17) + host::EncodeTime(13, 45, 30, 250);

Row FullRow() {
  return {Variant(2), Variant(1.5), Variant("Abc"), Variant::FromDate(host::EncodeDate(2020, 5, 17)),
          Variant::FromDate(kWhen), Variant(true)};
}
Row NullRow() { return Row(kColumns.size(), host::Null()); }
Row EmptyTextRow() {
  Row r = NullRow();
  r[0] = Variant(0);
  r[2] = Variant("");
  return r;
}

struct Case {
  const char* text;
  Row (*row)();
  const char* sql;     // with ExcludeRelopNulls
  const char* filter;  // without
};

TEST(ExprEvaluatorTest, ExpressionsPerRowInBothNullModes) {
  const Case cases[] = {
      // Strings: whole lengths unless partial, Null against '' by mode.
      {"S = 'Abc'", FullRow, "True", "True"},
      {"S = 'Ab'", FullRow, "False", "False"},
      {"S > 'Ab'", FullRow, "True", "True"},
      {"S = ''", NullRow, "<empty>", "True"},
      {"S = ''", EmptyTextRow, "True", "True"},
      {"S <> 'x'", NullRow, "<empty>", "True"},
      {"S = NULL", NullRow, "<empty>", "True"},
      {"S LIKE 'A%'", FullRow, "True", "True"},
      {"S LIKE 'a%'", FullRow, "False", "False"},
      {"S LIKE '%'", NullRow, "False", "True"},
      {"S NOT LIKE 'x%'", NullRow, "False", "True"},
      {"S NOT LIKE 'A_c'", FullRow, "False", "False"},
      // Numbers, dates, logic.
      {"I = 2 AND F < 2", FullRow, "True", "True"},
      {"I = 2 AND F > 2", FullRow, "False", "False"},
      {"I = 1 OR L", FullRow, "True", "True"},
      {"I > 1", NullRow, "<empty>", "False"},
      {"I IS NULL", NullRow, "True", "True"},
      {"I IS NOT NULL", FullRow, "True", "True"},
      {"D = '2020-05-17'", FullRow, "True", "True"},
      {"DT > D", FullRow, "True", "True"},
      {"I + 1", FullRow, "3", "3"},
      {"F * 2 - I", FullRow, "1", "1"},
      {"I + 1", NullRow, "<empty>", "<empty>"},
      // IN.
      {"I IN (1, NULL)", FullRow, "False", "False"},
      {"I IN (1, 2)", FullRow, "True", "True"},
      {"I NOT IN (1, 3)", FullRow, "True", "True"},
      // String functions.
      {"UPPER(S)", FullRow, "ABC", "ABC"},
      {"LOWER(S)", FullRow, "abc", "abc"},
      {"UPPER(S)", NullRow, "<empty>", "<empty>"},
      {"SUBSTRING(S FROM 2 FOR 5)", FullRow, "bc", "bc"},
      {"SUBSTRING(S FROM 0 FOR 2)", FullRow, "Ab", "Ab"},
      {"SUBSTRING(S FROM 2)", FullRow, "bc", "bc"},
      {"SUBSTRING(S FROM 2 FOR -1)", FullRow, "", ""},
      {"SUBSTRING(S FROM 9)", FullRow, "", ""},
      {"SUBSTRING(S FROM NULL)", FullRow, "<empty>", "<empty>"},
      {"SUBSTRING(S FROM 1 FOR NULL)", FullRow, "<empty>", "<empty>"},
      {"SUBSTRING(S FROM 1)", NullRow, "<empty>", "<empty>"},
      {"TRIM(S)", NullRow, "<empty>", "<empty>"},
      {"TRIM('  a b  ')", FullRow, "a b", "a b"},
      {"TRIM(LEADING 'A' FROM S)", FullRow, "bc", "bc"},
      {"TRIM(TRAILING 'x' FROM 'xaxx')", FullRow, "xa", "xa"},
      {"TRIM(BOTH 'x' FROM 'xxx')", FullRow, "", ""},
      // CAST and EXTRACT.
      {"CAST(I AS VARCHAR(5))", FullRow, "2", "2"},
      {"CAST(S AS CHAR(2))", FullRow, "Ab", "Ab"},
      {"CAST(F AS INTEGER)", FullRow, "2", "2"},
      {"CAST(DT AS DATE)", FullRow, "2020-05-17", "2020-05-17"},
      {"CAST(DT AS TIME)", FullRow, "1899-12-30 13:45:30", "1899-12-30 13:45:30"},
      {"CAST(I AS INTEGER)", NullRow, "<empty>", "<empty>"},
      {"EXTRACT(YEAR FROM DT)", FullRow, "2020", "2020"},
      {"EXTRACT(MONTH FROM D)", FullRow, "5", "5"},
      {"EXTRACT(HOUR FROM DT)", FullRow, "13", "13"},
      {"EXTRACT(SECOND FROM DT)", FullRow, "30.25", "30.25"},
      {"EXTRACT(DAY FROM D)", NullRow, "<empty>", "<empty>"},
      // Aggregates come from the query engine.
      {"COUNT(*)", FullRow, "<empty>", "<empty>"},
  };
  for (const Case& c : cases) {
    Parsed p(c.text);
    ASSERT_TRUE(p.ok) << c.text << ": " << p.parser.GetErrorMsg();
    TMemoryProvider provider({c.row()});
    EXPECT_EQ(Show(Value(p, provider, true)), c.sql) << c.text;
    EXPECT_EQ(Show(Value(p, provider, false)), c.filter) << c.text;
  }
}

TEST(ExprEvaluatorTest, CaseInsensitiveMatchUpperCasesColumnValues) {
  Parsed p("S = 'ABC'", true);
  ASSERT_TRUE(p.ok);
  TMemoryProvider provider({FullRow()});
  EXPECT_EQ(Show(Value(p, provider, true)), "True");
  Row accented = FullRow();
  accented[2] = Variant("\xe9t\xe9");  // é is upper-cased by the host's table
  Parsed q("S = '\xc9T\xc9'", true);
  TMemoryProvider other({accented});
  EXPECT_EQ(Show(Value(q, other, true)), "True");
}

TEST(ExprEvaluatorTest, ClockValuesAreOneInstantPerPreparation) {
  os::TManualClock clock(kWhen);
  os::TScopedClock scoped(clock);
  TMemoryProvider provider({FullRow()});
  {
    Parsed p("CURRENT_DATE");
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(Show(Value(p, provider, true)), "2020-05-17");
  }
  Parsed p("DT = CURRENT_TIMESTAMP AND CAST(DT AS TIME) = CURRENT_TIME");
  ASSERT_TRUE(p.ok);
  TExprEvaluator evaluator;
  evaluator.SetDBStringCompare(DBANSICompareStrings);
  evaluator.Prepare(&provider, p.parser.Root);
  clock.Advance(60000);  // the run keeps the instant it started with
  provider.MoveToRecord(0);
  evaluator.Reset();
  EXPECT_TRUE(evaluator.Evaluate());
}

TEST(ExprEvaluatorTest, Subqueries) {
  TMemoryProvider provider({FullRow()});
  struct SubCase {
    const char* text;
    std::vector<Row> rows;
    const char* expected;
  };
  const SubCase cases[] = {
      {"EXISTS (SELECT A FROM X)", {{Variant(1)}}, "True"},
      {"EXISTS (SELECT A FROM X)", {}, "False"},
      {"I = (SELECT A FROM X)", {{Variant(2)}}, "True"},
      {"I = (SELECT A FROM X)", {}, "<empty>"},
      {"I > ALL (SELECT A FROM X)", {}, "True"},
      {"I > ALL (SELECT A FROM X)", {{Variant(1)}, {Variant(0)}}, "True"},
      {"I > ALL (SELECT A FROM X)", {{Variant(1)}, {Variant(3)}}, "False"},
      {"I = ANY (SELECT A FROM X)", {{Variant(1)}, {Variant(2)}}, "True"},
      {"I = SOME (SELECT A FROM X)", {{Variant(1)}}, "False"},
      {"I IN (SELECT A FROM X)", {{Variant(5)}, {Variant(2)}}, "True"},
      {"I IN (SELECT A FROM X)", {{host::Null()}}, "False"},
      {"(SELECT A FROM X) < I", {{Variant(1)}}, "True"},
  };
  for (const SubCase& c : cases) {
    Parsed p(c.text);
    ASSERT_TRUE(p.ok) << c.text << ": " << p.parser.GetErrorMsg();
    TStubRows rows(c.rows);
    p.AttachSubqueries({&rows});
    EXPECT_EQ(Show(Value(p, provider, true)), c.expected) << c.text;
  }

  Parsed dual("(SELECT A FROM X) = (SELECT B FROM Y)");
  ASSERT_TRUE(dual.ok);
  TStubRows one({{Variant(4)}});
  TStubRows same({{Variant(4)}});
  dual.AttachSubqueries({&one, &same});
  EXPECT_EQ(Show(Value(dual, provider, true)), "True");
}

int ErrorCodeOf(const std::function<void()>& run) {
  try {
    run();
  } catch (const ETavDatabaseError& e) {
    return e.ErrorCode();
  }
  return 0;
}

TEST(ExprEvaluatorTest, SubqueryErrorsAndMissingSources) {
  TMemoryProvider provider({FullRow()});
  Parsed p("I = (SELECT A FROM X)");
  ASSERT_TRUE(p.ok);
  TStubRows two({{Variant(1)}, {Variant(2)}});
  p.AttachSubqueries({&two});
  EXPECT_EQ(ErrorCodeOf([&] { Value(p, provider, true); }), 9650);

  Parsed scalar("(SELECT A FROM X)");
  ASSERT_TRUE(scalar.ok);
  TStubRows wide({{Variant(1), Variant(2)}}, 2);
  scalar.AttachSubqueries({&wide});
  EXPECT_EQ(ErrorCodeOf([&] { Value(scalar, provider, true); }), 9656);
  TStubRows many({{Variant(1)}, {Variant(2)}});
  scalar.AttachSubqueries({&many});
  EXPECT_EQ(ErrorCodeOf([&] { Value(scalar, provider, true); }), 9650);

  Parsed unattached("EXISTS (SELECT A FROM X)");
  ASSERT_TRUE(unattached.ok);
  EXPECT_THROW(Value(unattached, provider, true), host::EAssertionFailed);
  // A source with nothing to give leaves the value unknown.
  TCustomExprNodeDataProvider closed;
  unattached.parser.Expr->Root()->SetExprNodeDataProvider(&closed);
  EXPECT_EQ(Show(Value(unattached, provider, true)), "<empty>");
}

TEST(ExprEvaluatorTest, QualifiedColumnsAreReadFromTheirProvider) {
  TMemoryProvider t({FullRow()});
  Row other = NullRow();
  other[0] = Variant(2);
  TMemoryProvider o({other});
  t.AddOther("O", &o);
  Parsed p("T.I = O.I", false, true);
  ASSERT_TRUE(p.ok) << p.parser.GetErrorMsg();
  EXPECT_EQ(Show(Value(p, t, true)), "True");

  // A table or column the providers lack is the engine's error, with its name.
  TMemoryProvider alone({FullRow()});
  std::string text;
  EXPECT_EQ(test::ErrorCodeOf([&] { Value(p, alone, true); }, &text), 10024);
  EXPECT_NE(text.find("O"), std::string::npos) << text;
  Parsed unknown("I = 1");
  ASSERT_TRUE(unknown.ok);
  TTavExprDataProvider empty;
  EXPECT_EQ(test::ErrorCodeOf([&] { Value(unknown, empty, true); }, &text), 10116);
  EXPECT_NE(text.find("I"), std::string::npos) << text;
}

TEST(ExprEvaluatorTest, ResultListsKeepThePassingAddresses) {
  TMemoryProvider provider({FullRow(), NullRow(), EmptyTextRow(), FullRow()});
  TCompoundList source;
  for (uint32_t a : {3u, 0u, 1u, 2u}) source.Add(a, a + 10);
  TCompoundList result;
  Parsed p("I >= 0 AND S <> 'x'");
  ASSERT_TRUE(p.ok);
  TExprResultListGenerator::CreateResultList(&provider, p.parser.Root, source, result, true);
  EXPECT_EQ(result.List1(), (std::vector<uint32_t>{3, 0, 2}));
  EXPECT_EQ(result.List2(), (std::vector<uint32_t>{13, 10, 12}));
  // The filters' rules: the Null row passes S <> 'x' but not I >= 0.
  TExprResultListGenerator::CreateResultList(&provider, p.parser.Root, source, result, false);
  EXPECT_EQ(result.List1(), (std::vector<uint32_t>{3, 0, 2}));

  TExprResultListGenerator::CreateResultList(&provider, nullptr, source, result, true);
  EXPECT_EQ(result.List1(), source.List1());
  EXPECT_EQ(result.List2(), source.List2());

  provider.SetDBStringCompare(nullptr);
  EXPECT_EQ(ErrorCodeOf([&] {
              TExprResultListGenerator::CreateResultList(&provider, nullptr, source, result, true);
            }),
            10065);
}

TEST(ExprEvaluatorTest, PreparationLifecycle) {
  TMemoryProvider provider({FullRow()});
  Parsed p("I = 2");
  ASSERT_TRUE(p.ok);
  TExprEvaluator evaluator;
  EXPECT_FALSE(evaluator.IsPrepared());
  EXPECT_FALSE(evaluator.Evaluate());
  evaluator.Prepare(&provider, p.parser.Root);
  EXPECT_TRUE(evaluator.IsPrepared());
  provider.MoveToRecord(0);
  evaluator.Reset();
  EXPECT_TRUE(evaluator.Evaluate());
  EXPECT_EQ(Show(evaluator.Root->NodeResult), "True");
  evaluator.Reset();
  EXPECT_EQ(Show(evaluator.Root->NodeResult), "<null>");
  evaluator.Clear();
  EXPECT_FALSE(evaluator.IsPrepared());
  // Strings need the compare routine.
  Parsed s("S = 'a'");
  ASSERT_TRUE(s.ok);
  evaluator.Prepare(&provider, s.parser.Root);
  EXPECT_THROW(evaluator.Evaluate(), host::EAssertionFailed);
}

TEST(ExprEvaluatorTest, TheDeepestTreeFitsTheStack) {
  struct Work {
    std::string result;
  } work;
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, 4 << 20), 0);
  pthread_t thread;
  const auto body = [](void* arg) -> void* {
    std::string text = "I";
    for (int i = 1; i < MaxExprTreeDepth - 1; ++i) text += " + I";
    Parsed p(text);
    TMemoryProvider provider({FullRow()});
    static_cast<Work*>(arg)->result = p.ok ? Show(Value(p, provider, true)) : p.parser.GetErrorMsg();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, body, &work), 0);
  ASSERT_EQ(pthread_join(thread, nullptr), 0);
  pthread_attr_destroy(&attr);
  EXPECT_EQ(work.result, std::to_string(2 * (MaxExprTreeDepth - 1)));
}

}  // namespace
}  // namespace tav
