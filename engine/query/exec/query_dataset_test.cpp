#include "engine/query/exec/query_dataset.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/components/tav_base_table.h"
#include "engine/components/testing/memory_table_support.h"
#include "engine/query/exec/dataset_bridge.h"
#include "engine/query/exec/join_provider.h"
#include "engine/query/parse/parser_engine.h"
#include "engine/query/parse/select_analyser.h"
#include "engine/storage/table/privileges.h"
#include "engine/storage/testing/engine_error_test_support.h"
#include "host/db/field_defs.h"
#include "host/db/fields.h"
#include "host/db/index_defs.h"
#include "host/rtl/sys_utils.h"
#include "os/testing/test_support.h"

namespace tav {
namespace {

using test::ErrorCodeOf;

// The rows of a leaf that pass a condition the leaf is not given: what the
// provider manager does with the part of a WHERE no leaf answers.
class TResidualRowSource : public TTavQueryRowSource {
 public:
  TResidualRowSource(TTavBaseJoinDataProvider* root, const TTavExprNode* condition, TDBStringCompare compare)
      : root_(root) {
    evaluator_.SetExcludeRelopNulls(true);
    evaluator_.SetDBStringCompare(compare);
    evaluator_.Prepare(root, condition);
  }
  TTavBaseJoinDataProvider* RootProvider() const override { return root_; }
  bool FirstProviderRecord() override { return Skip(root_->FirstProviderRecord()); }
  bool NextProviderRecord() override { return Skip(root_->NextProviderRecord()); }
  bool HasResidualCondition() const override { return true; }

 private:
  bool Skip(bool ok) {
    for (; ok; ok = root_->NextProviderRecord()) {
      evaluator_.Reset();
      if (evaluator_.Evaluate()) return true;
    }
    return false;
  }
  TTavBaseJoinDataProvider* root_;
  TExprEvaluator evaluator_;
};

// One SELECT over the memory table T, taken as the query provider takes it:
// parsed, analysed, its WHERE the leaf's selection (or, with `residual`,
// evaluated on the rows), its columns built over the leaf, its result table
// defined, filled and put through HAVING.
struct TQuery {
  TTavParserEngine Engine;
  TTavSelectAnalyser Analyser;
  std::unique_ptr<TTavDatasetBridge> Bridge;
  TTavNonJoinDataProvider Leaf;
  std::unique_ptr<TTavQueryRowSource> Source;
  TResultSetFields Columns;
  std::unique_ptr<TTavQueryDataset> Result;
};

class QueryDatasetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TTavBaseTable t(nullptr);
    test::ConnectMemory(db_, t, "T");
    t.FieldDefs().Add("K", host::ftInteger);
    t.FieldDefs().Add("S", host::ftString, 10);
    t.FieldDefs().Add("G", host::ftString, 10);
    t.FieldDefs().Add("N", host::ftFloat);
    t.FieldDefs().Add("M", host::ftMemo);
    t.IndexDefs().Add("byK", "K", host::TIndexOptions{});
    t.CreateTable();
    t.Open();
    struct R { int k; const char* s; const char* g; double n; const char* m; };
    const R rows[] = {{1, "b", "x", 1.5, "m1"},   {2, "a", "y", -1, nullptr}, {3, "B", "x", 2.5, "m3"},
                      {4, nullptr, nullptr, 4, nullptr}, {5, "a", "y", 1, "m5"}};
    for (const R& r : rows) {
      t.Append();
      t.FieldByName("K")->SetAsInteger(r.k);
      if (r.s) t.FieldByName("S")->SetAsString(r.s);
      if (r.g) t.FieldByName("G")->SetAsString(r.g);
      if (r.n >= 0) t.FieldByName("N")->SetAsFloat(r.n);
      if (r.m) t.FieldByName("M")->SetAsString(r.m);
      t.Post();
    }
    t.Close();
  }

  std::unique_ptr<TQuery> Run(const std::string& sql, int maxRecords = 0, bool residual = false,
                              bool live = false) {
    auto q = std::make_unique<TQuery>();
    TTavParserEngine& e = q->Engine;
    e.PreParseSQL(sql);
    EXPECT_TRUE(e.ParseFromClause()) << e.ErrorText();
    TTavBaseTable fields(nullptr);
    test::ConnectMemory(db_, fields, "T");
    fields.Open();
    for (int i = 0; i < e.TableList().Count(); ++i) e.TableList().Items(i)->SetTableFields(&fields.GetInternalFields());
    fields.Close();
    EXPECT_TRUE(e.ParseSelectClause() && e.ParseWhereClause() && e.ParseGroupByClause() && e.ParseHavingClause())
        << e.ErrorText();
    q->Analyser.SetIsDistinct(e.SelectParser().IsDistinct);
    EXPECT_TRUE(q->Analyser.CheckSelect(e.SelectParser().First(), &e.TableList()) &&
                q->Analyser.CheckGroupedColumns(&e.GroupByItems()) && q->Analyser.CheckHavingExpr(e.HavingExpr()))
        << q->Analyser.Message;
    EXPECT_TRUE(e.ParseOrderByClause()) << e.ErrorText();
    EXPECT_EQ(CheckOrderByItems(q->Analyser.SelectFields, e.OrderByItems()), "");

    q->Bridge = std::make_unique<TTavDatasetBridge>(nullptr);
    test::ConnectMemory(db_, *q->Bridge, "T");
    q->Leaf.SetDataBridge(q->Bridge.get());
    q->Leaf.SetProviderName("T");
    q->Leaf.CorrelationName = e.TableList().Items(0)->CorrelationName();
    if (!residual) q->Leaf.SetJoinSelectExprRoot(e.WhereRoot());
    q->Leaf.OpenProvider();

    q->Result = std::make_unique<TTavQueryDataset>(nullptr);
    TTavQueryDataset& r = *q->Result;
    r.SetDataBase(&db_);
    r.SetTableName("$Q0000" + std::to_string(++runs_));
    if (residual)
      q->Source = std::make_unique<TResidualRowSource>(&q->Leaf, e.WhereRoot(), r.GetDBStringCompare());
    else
      q->Source = std::make_unique<TTavRootRowSource>(&q->Leaf);
    const TSelectFields& select = q->Analyser.SelectFields;
    q->Columns.BuildFromSelectFields(select, &q->Leaf, r.GetDBStringCompare());
    q->Columns.AddFieldDefs(r.FieldDefs());
    if (live) {
      r.SetCreateLiveResult(true);
      r.FieldDefs().Add(kResultRecAddrField, host::ftInteger);
      r.FieldDefs().Add(kResultRecModFlagField, host::ftInteger);
    }
    const bool grouped = select.ContainsGroupedOutput();
    PrepareResultIndexDefs(r.IndexDefs(), select, &e.OrderByItems(), grouped, q->Analyser.IsDistinct);
    r.SetProviderMgr(q->Source.get());
    r.SetMaxRecords(maxRecords);
    r.PrepareEmptyResultSet(false);
    if (select.ContainsAggregateColumns()) {
      r.PopulateAggregateResultSet(q->Columns, grouped);
      if (TTavExpr* having = e.HavingExpr()) {
        q->Columns.PrepareHavingExpr(having->Root());
        r.ProcessHavingClause(having->Root());
      }
    } else {
      r.PopulateResultSet(q->Columns, q->Analyser.IsDistinct);
    }
    return q;
  }

  // The result's rows in its current order, fields joined by '|'.
  static std::vector<std::string> Rows(TTavQueryDataset& r) {
    std::vector<std::string> out;
    for (r.First(); !r.Eof(); r.Next()) {
      std::string line;
      for (int i = 0; i < r.FieldCount(); ++i) {
        host::TField* f = r.Fields(i);
        line += (i ? "|" : "") + (f->IsNull() ? std::string("NULL") : f->AsString());
      }
      out.push_back(line);
    }
    return out;
  }
  std::vector<std::string> Rows(const std::string& sql, int maxRecords = 0, bool residual = false) {
    auto q = Run(sql, maxRecords, residual);
    return Rows(*q->Result);
  }
  static std::vector<std::string> Names(TTavQueryDataset& r) {
    std::vector<std::string> out;
    for (int i = 0; i < r.FieldCount(); ++i) out.push_back(r.Fields(i)->FieldName());
    return out;
  }

  TTavDataBase db_{nullptr};
  int runs_ = 0;
};

using V = std::vector<std::string>;

TEST_F(QueryDatasetTest, PlainRowsCopyValuesAndBlobsEvaluateExpressionsAndNameColumns) {
  auto q = Run("SELECT x.K, K * 2, S AS K, M, K FROM T x WHERE K < 4 ORDER BY 1 DESC");
  TTavQueryDataset& r = *q->Result;
  // The alias, the bare field of a plain column, the text; then _1, _2.
  EXPECT_EQ(Names(r), (V{"K", "K * 2", "K_1", "M", "K_2"}));
  EXPECT_EQ(Rows(r), (V{"3|6|B|m3|3", "2|4|a|NULL|2", "1|2|b|m1|1"}));
  EXPECT_EQ(r.GetRowsAffected(), 3);
  // Computed columns are read-only; columns read from the table are not.
  r.SetReadOnlyResultFields(q->Columns);
  EXPECT_FALSE(r.Fields(0)->ReadOnly());
  EXPECT_TRUE(r.Fields(1)->ReadOnly());
  // A plain result is cut to MaxRecords rows, without an error.
  EXPECT_EQ(Rows("SELECT K FROM T ORDER BY K", 2), (V{"1", "2"}));
}

// Plain columns go into the result as the table stores them, whether every
// column of a row is plain or some are computed, and past the first rows,
// which take their keys one by one: nulls, the longest text the field takes,
// negative and fractional numbers read back as the table reads them.
TEST_F(QueryDatasetTest, PlainColumnsOfOneTableKeepEveryStoredValue) {
  TTavBaseTable t(nullptr);
  test::ConnectMemory(db_, t, "T");
  t.Open();
  for (int k = 10; k < 40; ++k) {
    t.Append();
    t.FieldByName("K")->SetAsInteger(k % 3 ? k : -k);
    if (k % 4 == 1) t.FieldByName("S")->SetAsString("123456789");
    if (k % 4 == 2) t.FieldByName("S")->SetAsString("s" + std::to_string(k));
    if (k % 5) t.FieldByName("N")->SetAsFloat(-0.25 * k);
    t.FieldByName("G")->SetAsString(k % 2 ? "odd" : "even");
    t.Post();
  }
  // The table's own rows, in K's order; then with K plus one after them.
  std::vector<std::pair<int32_t, std::string>> stored;
  for (t.First(); !t.Eof(); t.Next()) {
    const int32_t k = t.FieldByName("K")->AsInteger();
    if (k >= -9 && k < 10) continue;
    std::string line;
    for (const char* name : {"S", "K", "N", "G"}) {
      host::TField* f = t.FieldByName(name);
      line += (line.empty() ? "" : "|") + (f->IsNull() ? std::string("NULL") : f->AsString());
    }
    stored.emplace_back(k, line);
  }
  t.Close();
  std::sort(stored.begin(), stored.end());
  V expected, computed;
  for (const auto& [k, line] : stored) {
    expected.push_back(line);
    computed.push_back(line + "|" + std::to_string(k + 1));
  }
  ASSERT_EQ(expected.size(), 30u);
  EXPECT_EQ(Rows("SELECT S, K, N, G FROM T WHERE K >= 10 OR K <= -10 ORDER BY K"), expected);
  EXPECT_EQ(Rows("SELECT S, K, N, G, K + 1 FROM T WHERE K >= 10 OR K <= -10 ORDER BY K"), computed);
  // Without ORDER BY the rows come in the table's order; the same set.
  V plain = Rows("SELECT S, K, N, G FROM T WHERE K >= 10 OR K <= -10");
  std::sort(plain.begin(), plain.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(plain, expected);
}

TEST_F(QueryDatasetTest, DistinctKeepsOneRowPerSetOfEqualValuesNullsIncluded) {
  EXPECT_EQ(Rows("SELECT DISTINCT S, G FROM T ORDER BY G, S"),
            (V{"NULL|NULL", "b|x", "B|x", "a|y"}));
  // The limit counts rows added, not rows read.
  EXPECT_EQ(Rows("SELECT DISTINCT G FROM T ORDER BY G", 2).size(), 2u);
}

TEST_F(QueryDatasetTest, AggregatesOverNoRowsAreZeroAndNullsAreNotCounted) {
  EXPECT_EQ(Rows("SELECT COUNT(*), COUNT(S), SUM(N), AVG(N), MIN(S), MAX(K) FROM T WHERE K > 100"),
            (V{"0|0|0|0|0|0"}));
  // COUNT(*) counts every row, COUNT(S) the texts (no conversion), SUM and
  // AVG the numbers that are there.
  EXPECT_EQ(Rows("SELECT COUNT(*), COUNT(S), COUNT(N), SUM(N), AVG(N) FROM T"), (V{"5|4|4|9|2.25"}));
  // DISTINCT: distinct values that are not Null.
  EXPECT_EQ(Rows("SELECT COUNT(DISTINCT S), COUNT(DISTINCT G), AVG(DISTINCT K) FROM T"), (V{"3|2|3"}));
  // An expression around an aggregate is evaluated on its value.
  EXPECT_EQ(Rows("SELECT SUM(K) * 2, COUNT(*) + 1 FROM T WHERE K <= 2"), (V{"6|3"}));
}

TEST_F(QueryDatasetTest, MinAndMaxKeepTextsInTheResultTablesOrder) {
  // The least and greatest text are those the result table's own index
  // puts first and last.
  const V ordered = Rows("SELECT S FROM T WHERE S IS NOT NULL ORDER BY S");
  ASSERT_EQ(ordered.size(), 4u);
  EXPECT_EQ(Rows("SELECT MIN(S), MAX(S), MIN(K), MAX(N) FROM T"),
            (V{ordered.front() + "|" + ordered.back() + "|1|4"}));
}

TEST_F(QueryDatasetTest, AverageOfAnIntegerColumnIsAnInteger) {
  auto q = Run("SELECT AVG(K) FROM T WHERE K <= 2");
  EXPECT_EQ(q->Result->Fields(0)->DataType(), host::ftInteger);
  // 1.5 by the host's double-to-integer rule.
  EXPECT_EQ(Rows(*q->Result), (V{std::to_string(host::Variant(1.5).AsInteger())}));
}

TEST_F(QueryDatasetTest, GroupsOnePerKeyNullKeyIncludedInKeyOrderThenHaving) {
  EXPECT_EQ(Rows("SELECT G, COUNT(*), SUM(K) FROM T GROUP BY G"), (V{"NULL|1|4", "x|2|4", "y|2|7"}));
  EXPECT_EQ(Rows("SELECT G, COUNT(*) FROM T GROUP BY G HAVING COUNT(*) > 1 ORDER BY 2 DESC, G DESC"),
            (V{"y|2", "x|2"}));
  EXPECT_EQ(Rows("SELECT G, SUM(K) FROM T GROUP BY G HAVING SUM(K) > 100"), V{});
  // A grouped column around an aggregate reads the group's value.
  EXPECT_EQ(Rows("SELECT K, SUM(K) * 10 + x.K FROM T x WHERE K < 4 GROUP BY K"), (V{"1|11", "2|22", "3|33"}));
  // HAVING on a grouped column that is a plain column of a qualified name.
  EXPECT_EQ(Rows("SELECT x.G, COUNT(*) FROM T x GROUP BY x.G HAVING x.G = 'y'"), (V{"y|2"}));
  // HAVING names result columns by their aliases, even where no table has such a column.
  EXPECT_EQ(Rows("SELECT G AS g0, COUNT(*) AS n FROM T GROUP BY G HAVING n > 1 AND g0 = 'y'"),
            (V{"y|2"}));
}

TEST_F(QueryDatasetTest, GroupedResultPastMaxRecordsRaisesEvenOnTheLastRow) {
  std::string text;
  EXPECT_EQ(ErrorCodeOf([&] { Run("SELECT K, COUNT(*) FROM T GROUP BY K", 2); }, &text), 9645);
  EXPECT_NE(text.find("Result set limit of 2 has been exceeded"), std::string::npos) << text;
  // Rows K 1..5 make groups x, y, x, NULL, y: the third group comes on row 4.
  EXPECT_EQ(ErrorCodeOf([&] { Run("SELECT G, COUNT(*) FROM T WHERE K <= 4 GROUP BY G", 2); }), 9645);
  // The third group comes on the last row the provider yields.
  EXPECT_EQ(ErrorCodeOf([&] { Run("SELECT G, COUNT(*) FROM T WHERE K <> 5 GROUP BY G", 2); }), 9645);
  EXPECT_EQ(Rows("SELECT G, COUNT(*) FROM T GROUP BY G", 3).size(), 3u);
}

TEST_F(QueryDatasetTest, TableCountServesOnlyCountStarOverTheWholeCondition) {
  // Answered by the leaf's count under its selection.
  EXPECT_EQ(Rows("SELECT COUNT(*) FROM T WHERE K > 1"), (V{"4"}));
  // A condition the leaf does not hold is applied row by row.
  EXPECT_EQ(Rows("SELECT COUNT(*) FROM T WHERE K > 1", 0, true), (V{"4"}));
  EXPECT_EQ(Rows("SELECT COUNT(*) FROM T WHERE S = 'a'", 0, true), (V{"2"}));
  // COUNT of a column counts its values, not the table's records.
  EXPECT_EQ(Rows("SELECT COUNT(S) FROM T"), (V{"4"}));
  EXPECT_EQ(Rows("SELECT COUNT(DISTINCT S) FROM T"), (V{"3"}));
}

TEST_F(QueryDatasetTest, OrderByNamesAResultColumnOrFailsWithItsText) {
  TTavParserEngine e;
  auto check = [&](const std::string& sql) {
    e.PreParseSQL(sql);
    EXPECT_TRUE(e.ParseFromClause());
    TTavBaseTable fields(nullptr);
    test::ConnectMemory(db_, fields, "T");
    fields.Open();
    for (int i = 0; i < e.TableList().Count(); ++i) e.TableList().Items(i)->SetTableFields(&fields.GetInternalFields());
    EXPECT_TRUE(e.ParseSelectClause() && e.ParseWhereClause() && e.ParseOrderByClause()) << e.ErrorText();
    TTavSelectAnalyser a;
    EXPECT_TRUE(a.CheckSelect(e.SelectParser().First(), &e.TableList())) << a.Message;
    return CheckOrderByItems(a.SelectFields, e.OrderByItems());
  };
  EXPECT_EQ(check("SELECT K, S FROM T x ORDER BY x.S, T.K, 2, k"), "");
  EXPECT_EQ(check("SELECT K, S FROM T ORDER BY N"), "The result set field could not be found: N");
  EXPECT_EQ(check("SELECT K, S FROM T x ORDER BY y.K"), "The result set field could not be found: y.K");
  EXPECT_EQ(check("SELECT K, S FROM T ORDER BY 3"), "The result set field could not be found: 3");
  // Through a qualified name and a position, onto the output names.
  EXPECT_EQ(Rows("SELECT x.S AS a, x.K FROM T x WHERE K < 4 ORDER BY x.S DESC, 2"),
            (Rows("SELECT x.S AS a, x.K FROM T x WHERE K < 4 ORDER BY a DESC, K")));
}

TEST_F(QueryDatasetTest, RebuildingEmptiesThePreparedTable) {
  auto q = Run("SELECT K FROM T WHERE K > 3");
  TTavQueryDataset& r = *q->Result;
  r.PrepareEmptyResultSet(true);
  EXPECT_EQ(Rows(r), V{});
  r.PopulateResultSet(q->Columns, false);
  EXPECT_EQ(Rows(r), (V{"4", "5"}));
  // A fill left unread: the cursor shows no row of either fill until First.
  r.SetFirstAfterFill(false);
  r.PrepareEmptyResultSet(true);
  r.PopulateResultSet(q->Columns, false);
  EXPECT_TRUE(r.Eof());
  EXPECT_TRUE(r.Fields(0)->IsNull());
  EXPECT_EQ(r.GetRowsAffected(), 2);
  EXPECT_EQ(r.RecordCount(), 2);
  EXPECT_EQ(Rows(r), (V{"4", "5"}));
  r.SetFirstAfterFill(true);
  r.PrepareEmptyResultSet(true);
  r.PopulateResultSet(q->Columns, false);
  EXPECT_FALSE(r.Eof());
  EXPECT_EQ(r.Fields(0)->AsString(), "4");
}

TEST_F(QueryDatasetTest, AnEmptyingLeftToTheFillLeavesOnlyTheNewRows) {
  auto q = Run("SELECT K FROM T WHERE K > 3");
  TTavQueryDataset& r = *q->Result;
  for (int run = 0; run < 3; ++run) {
    r.PrepareEmptyResultSet(true, true);
    r.PopulateResultSet(q->Columns, false);
    EXPECT_EQ(Rows(r), (V{"4", "5"})) << "run " << run;
    EXPECT_EQ(r.GetRowsAffected(), 2);
    EXPECT_FALSE(r.WriteLocked());
  }
  // An emptying asked for at once replaces one left to the fill.
  r.PrepareEmptyResultSet(true, true);
  r.PrepareEmptyResultSet(true);
  EXPECT_EQ(Rows(r), V{});
  r.PopulateResultSet(q->Columns, false);
  EXPECT_EQ(Rows(r), (V{"4", "5"}));
}

// A fill told it may keep the last fill's column maps reads its columns
// afresh when the leaf's bridge or the result's own cursor was opened again
// since, and the rows are the table's as it is now.
TEST_F(QueryDatasetTest, KeptColumnMapsGiveWayToABridgeOrResultOpenedAgain) {
  auto q = Run("SELECT K, S, N, K * 2 FROM T");
  TTavQueryDataset& r = *q->Result;
  const V all = {"1|b|1.5|2", "2|a|NULL|4", "3|B|2.5|6", "4|NULL|4|8", "5|a|1|10"};
  EXPECT_EQ(Rows(r), all);
  const auto refill = [&] {
    r.PrepareEmptyResultSet(true, true);
    r.KeepColumnMaps();
    r.PopulateResultSet(q->Columns, false);
    return Rows(r);
  };
  EXPECT_EQ(refill(), all);
  EXPECT_EQ(refill(), all);
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    // The bridge closed and opened again: its field definitions are new.
    q->Bridge->Close();
    q->Bridge->Open();
    EXPECT_EQ(refill(), all);
    // The result's cursor closed and opened again.
    r.Close();
    r.Open();
    EXPECT_EQ(refill(), all);
    EXPECT_EQ(r.GetRowsAffected(), 5);
  }
}

TEST_F(QueryDatasetTest, AddressListsFollowTheWholeCondition) {
  auto q = Run("SELECT K FROM T WHERE S = 'a'", 0, true);
  std::vector<uint32_t> list;
  q->Result->PopulateResultSetAddrList(list);
  EXPECT_EQ(list.size(), 2u);
  for (uint32_t at : list) {
    ASSERT_TRUE(q->Bridge->MoveToRecAddr(at));
    EXPECT_EQ(q->Bridge->GetFieldDataAsVariant(1).AsString(), "a");
  }
}

TEST_F(QueryDatasetTest, ALiveResultKnowsEachRowsRecordAndHidesThatInItsLayout) {
  auto q = Run("SELECT S, K FROM T WHERE K >= 4", 0, false, true);
  TTavQueryDataset& r = *q->Result;
  EXPECT_TRUE(r.GetInternalFields().FindField(kResultRecAddrField)->Hidden());
  EXPECT_TRUE(r.GetInternalFields().FindField(kResultRecModFlagField)->Hidden());
  int rows = 0;
  for (bool ok = r.DataSetFirst(); ok; ok = r.DataSetNext(), ++rows) {
    ASSERT_TRUE(q->Bridge->MoveToRecAddr(static_cast<uint32_t>(r.GetFieldData(2).AsInteger())));
    EXPECT_EQ(q->Bridge->GetFieldDataAsVariant(0).AsInteger(), r.GetFieldData(1).AsInteger());
    EXPECT_EQ(static_cast<uint32_t>(r.GetFieldData(3).AsInteger()), q->Bridge->GetRecModFlag());
  }
  EXPECT_EQ(rows, 2);
}

// ---------------------------------------------------------------------------
// Data operations on a target

class QueryDatasetTargetTest : public QueryDatasetTest {
 protected:
  void SetUp() override {
    QueryDatasetTest::SetUp();
    test::ConnectMemory(db_, target_, "T");
    target_.Open();
  }
  // K and S of every row, in K order.
  std::vector<std::string> Table() {
    TTavBaseTable t(nullptr);
    test::ConnectMemory(db_, t, "T");
    t.Open();
    std::vector<std::string> out;
    for (t.First(); !t.Eof(); t.Next())
      out.push_back(t.FieldByName("K")->AsString() + "|" + t.FieldByName("S")->AsString() + "|" +
                    t.FieldByName("M")->AsString());
    return out;
  }
  // UPDATE T SET ... parsed, its SET list ready for the target.
  TTavUpdateRowConstructor& Set(const std::string& sql) {
    engine_.PreParseSQL(sql);
    engine_.UpdateParser().SetTableListValidateEvent([this](TTableList& tables) {
      for (int i = 0; i < tables.Count(); ++i) tables.Items(i)->SetTableFields(&target_.GetInternalFields());
      return true;
    });
    EXPECT_TRUE(engine_.ParseUpdateStatement()) << engine_.ErrorText();
    return engine_.UpdateParser().Values;
  }
  std::vector<uint32_t> AddressesOfK(std::initializer_list<int> keys) {
    std::vector<uint32_t> out;
    for (int k : keys)
      for (bool ok = target_.DataSetFirst(); ok; ok = target_.DataSetNext())
        if (target_.GetFieldData(0).AsInteger() == k) out.push_back(target_.DatasetGetRecAddr());
    EXPECT_EQ(out.size(), keys.size());
    return out;
  }

  TTavQueryDataset target_{nullptr};
  TTavParserEngine engine_;
};

TEST_F(QueryDatasetTargetTest, InsertWritesValuesAndBlobsAndRowsOfAnotherDataset) {
  TResultSetFields columns;
  for (const char* name : {"K", "M", "S"}) columns.Add()->SetFieldName(name);
  columns.Items(0)->DataValue = host::Variant(9);
  columns.Items(1)->DataValue = host::Variant("memo");
  columns.Items(2)->DataValue = host::Null();
  target_.Close();
  target_.InsertData(columns);
  EXPECT_EQ(target_.GetRowsAffected(), 1);
  EXPECT_FALSE(target_.Active());  // closed again, as it was found
  EXPECT_EQ(Table().back(), "9||memo");

  auto q = Run("SELECT K + 10, M FROM T WHERE K < 3");
  TResultSetFields pair;
  pair.Add()->SetFieldName("K");
  pair.Add()->SetFieldName("M");
  target_.InsertDataFromDataset(pair, *q->Result);
  EXPECT_EQ(target_.GetRowsAffected(), 2);
  const V rows = Table();
  EXPECT_EQ(V(rows.end() - 2, rows.end()), (V{"11||m1", "12||"}));
}

TEST_F(QueryDatasetTargetTest, DeleteEveryRowOrTheListedOnes) {
  // Emptying the table is deleting: not for a user who may only read.
  const int32_t granted = target_.TableDef().PrivilegeFlags();
  target_.TableDef().SetPrivilegeFlags(MapObjectPrivTypeToConst(opReadData));
  EXPECT_EQ(ErrorCodeOf([&] { target_.DeleteData(true, {}); }), 10624);
  target_.TableDef().SetPrivilegeFlags(granted);
  EXPECT_EQ(Table().size(), 5u);
  target_.DeleteData(false, AddressesOfK({2, 4}));
  EXPECT_EQ(target_.GetRowsAffected(), 2);
  EXPECT_EQ(Table(), (V{"1|b|m1", "3|B|m3", "5|a|m5"}));
  target_.DeleteData(true, {});
  EXPECT_EQ(target_.GetRowsAffected(), 3);
  EXPECT_EQ(Table(), V{});
}

TEST_F(QueryDatasetTargetTest, UpdateReadsTheOldRowAndChangesEachRowOnce) {
  target_.InternalSetIndexName("byK");
  // The rows are walked along K, which the SET moves past every other row:
  // each row still changes once.
  target_.UpdateData(true, {}, Set("UPDATE T SET K = K + 10"));
  EXPECT_EQ(target_.GetRowsAffected(), 5);
  EXPECT_EQ(Table(), (V{"11|b|m1", "12|a|", "13|B|m3", "14||", "15|a|m5"}));
  // Both values come from the row as it was: the texts swap.
  target_.UpdateData(false, AddressesOfK({11, 13}), Set("UPDATE T SET S = M, M = S"));
  EXPECT_EQ(target_.GetRowsAffected(), 2);
  EXPECT_EQ(Table(), (V{"11|m1|b", "12|a|", "13|m3|B", "14||", "15|a|m5"}));
}

// The data operations on a table of a database file, seen by another
// connection: each write is the table layer's, under its own locks.
TEST(QueryDatasetDiskTest, InsertUpdateAndDeleteOnADiskTable) {
  os::test::TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  const std::string path = dir / "target.tav";
  auto connect = [&] {
    auto db = std::make_unique<TTavDataBase>(nullptr);
    db->SetDataBaseName(path);
    return db;
  };
  connect()->CreateDatabase();
  auto db = connect();
  db->Open();
  TTavQueryDataset target(nullptr);
  target.SetDataBase(db.get());
  target.SetTableName("D");
  target.FieldDefs().Add("K", host::ftInteger, 0, true);
  target.FieldDefs().Add("M", host::ftMemo);
  target.IndexDefs().Add("pk", "K", host::TIndexOptions{host::ixPrimary, host::ixUnique});
  target.CreateTable();
  TResultSetFields columns;
  columns.Add()->SetFieldName("K");
  columns.Add()->SetFieldName("M");
  for (int k = 1; k <= 3; ++k) {
    columns.Items(0)->DataValue = host::Variant(k);
    columns.Items(1)->DataValue = host::Variant("memo " + std::to_string(k));
    target.InsertData(columns);
  }
  EXPECT_FALSE(target.Active());

  TTavParserEngine engine;
  engine.PreParseSQL("UPDATE D SET K = K + 10, M = M");
  target.Open();
  engine.UpdateParser().SetTableListValidateEvent([&](TTableList& tables) {
    tables.Items(0)->SetTableFields(&target.GetInternalFields());
    return true;
  });
  ASSERT_TRUE(engine.ParseUpdateStatement()) << engine.ErrorText();
  target.InternalSetIndexName("pk");
  target.UpdateData(true, {}, engine.UpdateParser().Values);
  EXPECT_EQ(target.GetRowsAffected(), 3);
  std::vector<uint32_t> second;
  for (bool ok = target.DataSetFirst(); ok; ok = target.DataSetNext())
    if (target.GetFieldData(0).AsInteger() == 12) second.push_back(target.DatasetGetRecAddr());
  target.DeleteData(false, second);
  target.Close();

  auto other = connect();
  other->Open();
  TTavBaseTable t(nullptr);
  t.SetDataBase(other.get());
  t.SetTableName("D");
  t.Open();
  std::vector<std::string> rows;
  for (t.First(); !t.Eof(); t.Next())
    rows.push_back(t.FieldByName("K")->AsString() + "|" + t.FieldByName("M")->AsString());
  EXPECT_EQ(rows, (std::vector<std::string>{"11|memo 1", "13|memo 3"}));
}

}  // namespace
}  // namespace tav
