// Test support: a SELECT run the way the query provider will run it, until
// it exists. The statement is parsed through the parser engine driver, its
// FROM tree finished by the join post-processor, its WHERE split by the
// query analyser and planned into a provider tree over the connection's
// memory tables; the rows are read through the provider manager, the whole
// WHERE checked on them when the analysis could not split it.
// Header-only, so that nothing of it enters the library.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "engine/components/tav_database.h"
#include "engine/query/exec/std_join_provider.h"
#include "engine/query/parse/join_post_processor.h"
#include "engine/query/plan/query_analyser.h"
#include "engine/query/plan/query_planner.h"
#include "engine/query/testing/parser_engine_driver.h"
#include "host/rtl/string_list.h"
#include "host/rtl/sys_utils.h"
#include "host/rtl/variant.h"

namespace tav::testing {

class TQueryRunner {
 public:
  explicit TQueryRunner(TTavDataBase& db) { Mgr.SetDatabase(&db); }

  // Parses and plans `sql`; the error text ("" on success).
  std::string Prepare(const std::string& sql) {
    Mgr.Clear();
    if (std::string error = Driver.Parse(sql); !error.empty()) return error;
    TTavParserEngine& e = Driver.Engine();
    TJoinPostProcessor post(e.TableList());
    if (!post.Execute(e.FromParser().Root())) return post.GetErrorMsg();
    // Every table of these tests lives in the memory database.
    for (int i = 0; i < e.TableList().Count(); ++i) e.TableList().Items(i)->SetMemory(true);
    Analyser.Prepare(&Joins, &Selects, e.WhereRoot(), &e.TableList());
    Plan.SetTableList(&e.TableList());
    Plan.SetJoins(&Joins);
    Plan.SetSelects(&Selects);
    Plan.SetProviderMgr(&Mgr);
    Plan.SetFromRoot(e.FromParser().Root());
    TTavQueryPlanner::CreatePlan(&Plan);
    if (!Analyser.CheckAnalysisComplete()) Mgr.PrepareJoinExprEvaluator(e.WhereRoot());
    return {};
  }

  // Opens the tree; with `hash` off every join runs in re-filter mode.
  void Open(bool hash = true) {
    for (int i = 0; i < Mgr.GetJoinCount(); ++i) Mgr.GetJoin(i)->Analyser().HashJoinAllowed = hash;
    Mgr.RootProvider()->OpenProvider();
  }

  // Each row's values of `columns` ("alias.FIELD"), "NULL" for a Null,
  // joined by '|'; sorted, since a join promises no order.
  std::vector<std::string> Rows(const std::vector<std::string>& columns) {
    std::vector<std::string> out;
    for (bool ok = Mgr.FirstProviderRecord(); ok; ok = Mgr.NextProviderRecord()) {
      std::string row;
      for (const std::string& c : columns) {
        const size_t dot = c.find('.');
        TTavExprDataProvider* p = Mgr.RootProvider()->FindProvider(c.substr(0, dot));
        TInternalFieldItem* f = p ? p->FindField(nullptr, c.substr(dot + 1)) : nullptr;
        if (f == nullptr) return {"no column " + c};
        const host::Variant v = p->GetDataAsVariant(f->FieldNo());
        if (!row.empty()) row += '|';
        row += v.IsNull() ? "NULL" : host::VarToStr(v);
      }
      out.push_back(row);
    }
    std::sort(out.begin(), out.end());
    return out;
  }

  // The provider tree as the manager dumps it, one line per name.
  std::string Dump() const {
    host::TStringList lines;
    Mgr.DebugDumpProviderStatus(lines);
    return lines.Text();
  }

  TParserEngineDriver Driver;
  TTavJoins Joins;
  TTavSelects Selects;
  TTavQueryAnalyser Analyser;
  TTavJoinDataProviderMgr Mgr;
  TTavPlan Plan;
};

}  // namespace tav::testing
