#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/components/tav_base_table.h"
#include "engine/components/testing/memory_table_support.h"
#include "engine/query/exec/std_join_provider.h"
#include "engine/query/plan/query_planner.h"
#include "engine/query/testing/query_runner.h"
#include "host/db/field_defs.h"
#include "host/db/fields.h"
#include "host/rtl/exceptions.h"

namespace tav {
namespace {

using testing::TQueryRunner;

// Memory tables A(K, J), B(K, J, F float), C(K, J), D(K, J).
class QueryPlannerTest : public ::testing::Test {
 protected:
  struct TRowSpec {
    int k, j;  // -1: NULL
  };

  void MakeTable(const char* name, const std::vector<TRowSpec>& rows, bool withFloat = false) {
    TTavBaseTable t(nullptr);
    test::ConnectMemory(db_, t, name);
    t.FieldDefs().Add("K", host::ftInteger);
    t.FieldDefs().Add("J", host::ftInteger);
    if (withFloat) t.FieldDefs().Add("F", host::ftFloat);
    t.CreateTable();
    t.Open();
    for (const TRowSpec& r : rows) {
      t.Append();
      if (r.k >= 0) t.FieldByName("K")->SetAsInteger(r.k);
      if (r.j >= 0) t.FieldByName("J")->SetAsInteger(r.j);
      if (withFloat && r.k >= 0) t.FieldByName("F")->SetAsFloat(r.k);
      t.Post();
    }
    t.Close();
  }

  void SetUp() override {
    MakeTable("A", {{1, 1}, {2, 2}, {3, -1}});
    MakeTable("B", {{1, 1}, {2, 5}, {-1, 2}}, true);
    MakeTable("C", {{1, 1}, {4, 2}});
    MakeTable("D", {{2, 2}});
  }

  std::unique_ptr<TQueryRunner> Run(const std::string& sql) {
    auto run = std::make_unique<TQueryRunner>(db_);
    for (const char* t : {"A", "C", "D"})
      run->Driver.AddTable(t, {{"K", host::ftInteger}, {"J", host::ftInteger}});
    run->Driver.AddTable("B", {{"K", host::ftInteger}, {"J", host::ftInteger}, {"F", host::ftFloat}});
    EXPECT_EQ(run->Prepare(sql), "") << sql;
    return run;
  }

  // The tree as KIND(outer,inner); a leaf is its table, starred when it
  // filters by a selection of its own.
  static std::string Shape(const TTavBaseJoinDataProvider* p) {
    if (p == nullptr) return "-";
    if (p->OuterProvider == nullptr) return p->ProviderName() + (p->JoinSelection() ? "*" : "");
    static const char* const kinds[] = {"NONE", "CROSS", "UNION", "INNER", "LEFT", "RIGHT", "FULL"};
    return std::string(kinds[p->JoinType]) + "(" + Shape(p->OuterProvider) + "," +
           Shape(p->InnerProvider) + ")";
  }

  TTavDataBase db_{nullptr};
};

TEST_F(QueryPlannerTest, ShapesFollowFromTreeWhereJoinsThenCrossJoins) {
  struct TCase {
    const char* Sql;
    const char* Shape;
    const char* RootName;
    bool Residual;
  };
  const TCase cases[] = {
      {"SELECT * FROM A", "A", "A", false},
      {"SELECT * FROM A a, B b", "CROSS(A,B)", "A.B", false},
      {"SELECT * FROM A a, B b WHERE a.K = b.J", "INNER(A,B)", "A.B", false},
      {"SELECT * FROM A a, B b, C c WHERE a.K = b.K AND b.J = c.J AND a.J = 1",
       "INNER(INNER(A*,B),C)", "A.B.C", false},
      {"SELECT * FROM A a LEFT JOIN B b ON a.K = b.K RIGHT JOIN C c ON b.K = c.K",
       "RIGHT(LEFT(A,B),C)", "A.B.C", false},
      // A condition between tables the FROM clause joins already.
      {"SELECT * FROM A a JOIN B b ON a.K = b.K WHERE a.J = b.J", "INNER(A,B)", "A.B", true},
      // Over three tables: checked on the joined rows.
      {"SELECT * FROM A a, B b, C c WHERE a.K + b.K = c.K", "CROSS(CROSS(A,B),C)", "A.B.C", true},
      // A pair apart from the FROM tree keeps its condition and its tree.
      {"SELECT * FROM A a JOIN B b ON a.K = b.K, C c, D d WHERE c.J = d.J",
       "CROSS(INNER(A,B),INNER(C,D))", "A.B.C.D", false},
      // Selections stay above the side an outer join fills with NULLs.
      {"SELECT * FROM A a LEFT JOIN B b ON a.K = b.K WHERE a.J = 1 AND b.J = 1", "LEFT(A*,B)",
       "A.B", true},
      {"SELECT * FROM A a RIGHT JOIN B b ON a.K = b.K WHERE b.J = 1", "RIGHT(A,B*)", "A.B", false},
      {"SELECT * FROM A a FULL JOIN B b ON a.K = b.K WHERE b.J = 1", "FULL(A,B)", "A.B", true},
      {"SELECT * FROM A a UNION JOIN B b WHERE a.J = 1", "UNION(A,B)", "A.B", true},
      {"SELECT * FROM C c JOIN (A a LEFT JOIN B b ON a.K = b.K) ON c.K = a.K WHERE a.J = 1 "
       "AND c.J = 1",
       "INNER(C*,LEFT(A*,B))", "C.A.B", false},
  };
  for (const TCase& c : cases) {
    auto run = Run(c.Sql);
    TTavBaseJoinDataProvider* root = run->Mgr.RootProvider();
    EXPECT_EQ(Shape(root), c.Shape) << c.Sql;
    EXPECT_EQ(root->ProviderName(), c.RootName) << c.Sql;
    EXPECT_EQ(run->Mgr.ResidualExprRoot() != nullptr, c.Residual) << c.Sql;
  }
  auto run = Run("SELECT * FROM A a, B b, C c WHERE a.K = b.K AND b.J = c.J");
  EXPECT_EQ(run->Dump(),
            "  outer ->\r\n    outer ->\r\n        A\r\n    A.B\r\n    inner ->\r\n        B\r\n"
            "  A.B.C\r\n  inner ->\r\n    C\r\n");
  run->Mgr.Clear();
  EXPECT_EQ(run->Dump(), "Root provider is nil\r\n");

  // The output fields: the outer side's, then the inner side's, a name
  // already taken prefixed with the inner provider's name.
  run = Run("SELECT * FROM A a, B b, A c");
  run->Open();
  std::string names;
  TInternalFields& fields = *run->Mgr.RootProvider()->GetProviderFields();
  for (int i = 0; i < fields.Count(); ++i) names += fields.Items(i)->FieldName() + " ";
  EXPECT_EQ(names, "K J B.K B.J F A.K A.J ");
  EXPECT_EQ(run->Rows({"c.K"}).size(), 27u);
}

TEST_F(QueryPlannerTest, ResidualConditionsAntiJoinsAndSelfJoinsGiveTheirRows) {
  struct TCase {
    const char* Sql;
    std::vector<std::string> Columns;
    std::vector<std::string> Rows;
  };
  const TCase cases[] = {
      {"SELECT * FROM A a JOIN B b ON a.K = b.K WHERE a.J = b.J", {"a.K", "b.K"}, {"1|1"}},
      {"SELECT * FROM A a LEFT JOIN B b ON a.K = b.K WHERE b.K IS NULL", {"a.K", "b.K"}, {"3|NULL"}},
      {"SELECT * FROM A a RIGHT JOIN B b ON a.K = b.K WHERE a.K IS NULL",
       {"a.K", "b.J"}, {"NULL|2"}},
      {"SELECT * FROM A a FULL JOIN B b ON a.K = b.K WHERE a.K IS NULL OR b.K IS NULL",
       {"a.K", "b.J"}, {"3|NULL", "NULL|2"}},
      {"SELECT * FROM A a UNION JOIN B b WHERE b.K IS NULL",
       {"a.K", "b.K"}, {"1|NULL", "2|NULL", "3|NULL", "NULL|NULL"}},
      {"SELECT * FROM A x, A y WHERE x.K = y.J", {"x.K", "y.K"}, {"1|1", "2|2"}},
      {"SELECT * FROM A a, B b, C c, D d WHERE a.K = b.K AND c.J = d.J AND b.K = d.K",
       {"a.K", "b.K", "c.K", "d.K"}, {"2|2|4|2"}},
      {"SELECT * FROM A a, B b, C c WHERE a.K + b.K = c.K", {"a.K", "b.K", "c.K"},
       {"2|2|4", "3|1|4"}},
      // INTEGER against FLOAT: equal values of two types.
      {"SELECT * FROM A a JOIN B b ON a.K = b.F", {"a.K", "b.K"}, {"1|1", "2|2"}},
  };
  for (const TCase& c : cases)
    for (bool hash : {true, false}) {
      auto run = Run(c.Sql);
      run->Open(hash);
      EXPECT_EQ(run->Rows(c.Columns), c.Rows) << c.Sql << (hash ? " (hash)" : "");
    }
}

TEST_F(QueryPlannerTest, HashModeGivesTheNullRowWhenEveryKeyMatchFailsTheInnerSelection) {
  auto run = Run("SELECT * FROM A a LEFT JOIN B b ON a.K = b.K");
  // A selection of B's own, as a leaf below an inner join would have it.
  auto selection = Run("SELECT * FROM B b WHERE b.J = 5");
  TTavBaseJoinDataProvider* b = run->Mgr.RootProvider()->InnerProvider;
  b->SetJoinSelectExprRoot(selection->Selects.GetItems(0)->SelectExprRoot());
  run->Open(true);
  TTavStdJoinDataProvider* join = run->Mgr.GetJoin(0);
  EXPECT_EQ(join->Evaluator().JoinModeType(), jmtHashJoin);
  EXPECT_EQ(run->Rows({"a.K", "b.K"}), (std::vector<std::string>{"1|NULL", "2|2", "3|NULL"}));
}

TEST_F(QueryPlannerTest, RowIdsOfNestedJoinsKeepTheirSidesApart) {
  auto run = Run("SELECT * FROM A a FULL JOIN B b ON a.K = b.K FULL JOIN C c ON b.K = c.K");
  run->Open();
  TTavBaseJoinDataProvider* root = run->Mgr.RootProvider();
  std::vector<std::string> ids;
  for (bool ok = run->Mgr.FirstProviderRecord(); ok; ok = run->Mgr.NextProviderRecord())
    ids.push_back(root->CurrentRecordIDAsString());
  // A: 3 rows, B: 3, C: 2; A FULL B on K gives 4 rows, then C joins (1,1)

  ASSERT_EQ(ids.size(), 5u);
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(std::unique(ids.begin(), ids.end()), ids.end());
  for (const std::string& id : ids) {
    EXPECT_EQ(id.front(), '(') << id;
    EXPECT_EQ(id.back(), ')') << id;
  }
  // The row of C alone: the whole outer side missing.
  EXPECT_NE(std::find_if(ids.begin(), ids.end(),
                         [](const std::string& id) { return id.rfind("(,", 0) == 0; }),
            ids.end());
}

TEST_F(QueryPlannerTest, JoinKindsMapAndMissingInputsAreRefused) {
  EXPECT_EQ(MapJoinType(trCrossJoin), jtCrossJoin);
  EXPECT_EQ(MapJoinType(trUnionJoin), jtUnionJoin);
  EXPECT_EQ(MapJoinType(trInnerJoin), jtInnerJoin);
  EXPECT_EQ(MapJoinType(trLeftOuterJoin), jtLeftOuterJoin);
  EXPECT_EQ(MapJoinType(trRightOuterJoin), jtRightOuterJoin);
  EXPECT_EQ(MapJoinType(trFullOuterJoin), jtFullOuterJoin);
  for (TTavTableRefType t : {trUnknown, trSubQuery, trTableName}) EXPECT_EQ(MapJoinType(t), jtNone);

  EXPECT_THROW(TTavQueryPlanner::CreatePlan(nullptr), host::EAssertionFailed);
  TTavPlan plan;
  TTableList tables;
  TTavJoins joins;
  TTavSelects selects;
  EXPECT_THROW(TTavQueryPlanner::CreatePlan(&plan), host::EAssertionFailed);
  plan.SetTableList(&tables);
  plan.SetJoins(&joins);
  plan.SetSelects(&selects);
  EXPECT_THROW(TTavQueryPlanner::CreatePlan(&plan), host::EAssertionFailed);
  // No table at all: nothing to read from.
  TTavJoinDataProviderMgr mgr;
  mgr.SetDatabase(&db_);
  plan.SetProviderMgr(&mgr);
  EXPECT_THROW(TTavQueryPlanner::CreatePlan(&plan), host::EAssertionFailed);
  EXPECT_FALSE(mgr.FirstProviderRecord());
}

}  // namespace
}  // namespace tav
