// The query planner turns the parsed FROM clause and the analysed WHERE
// clause of one statement into the tree of join providers the statement's
// rows are read from (engine/query/exec). There is no cost model: the tree
// follows the FROM clause, then the two-table conditions of the WHERE in
// their order, then every remaining table as a cross join in the order of
// the analyser's select items. Each join decides for itself which side it
// iterates as inner and whether it hashes.
//
// What the plan cannot put below a join stays residual: the provider
// manager checks it on the joined rows. That is a condition between tables
// already joined, a condition over more than two tables, and a table's
// selection when the table lies on the NULL-supplying side of an outer or
// UNION join (filtering it below the join would bring back the rows the
// selection is meant to drop, as in an anti-join).
//
// Callers must keep:
//  - TTavPlan owns nothing: the table list, the join and select items, the
//    FROM tree and the provider manager belong to the caller and outlive
//    the plan's providers (their conditions are copied, but the copies
//    borrow the parser's tokens).
//  - PreparePlan starts by clearing the manager; a failed preparation leaves
//    a partial tree that the next one clears.
#pragma once

#include "engine/expr/table_list.h"
#include "engine/query/exec/join_fields.h"
#include "engine/query/parse/from_parser.h"
#include "engine/query/plan/query_analyser.h"

namespace tav {

class TTavBaseJoinDataProvider;
class TTavJoinDataProviderMgr;
class TTavNonJoinDataProvider;
class TTavStdJoinDataProvider;

// The provider join type of a FROM node's kind; jtNone for a table, a
// subquery or an unknown kind.
TTavJoinType MapJoinType(TTavTableRefType kind);

class TTavPlan : public host::TObject {
 public:
  void SetTableList(TTableList* list) { table_list_ = list; }
  void SetJoins(TTavJoins* joins) { joins_ = joins; }
  void SetSelects(TTavSelects* selects) { selects_ = selects; }
  void SetProviderMgr(TTavJoinDataProviderMgr* mgr) { provider_mgr_ = mgr; }
  void SetFromRoot(TTavTableRefNode* root) { from_root_ = root; }
  TTableList* TableList() const { return table_list_; }
  TTavJoins* Joins() const { return joins_; }
  TTavSelects* Selects() const { return selects_; }
  TTavJoinDataProviderMgr* ProviderMgr() const { return provider_mgr_; }
  TTavTableRefNode* FromRoot() const { return from_root_; }

  // Builds the provider tree into the manager and sets its root. A
  // selection whose table is nowhere in the tree raises 10024.
  void PreparePlan();

 private:
  TTavBaseJoinDataProvider* ProviderFromNode(const TTavTableRefNode* node);
  TTavNonJoinDataProvider* NewLeaf(const std::string& tableName, const std::string& correlationName);
  TTavStdJoinDataProvider* NewJoin(const std::string& name, TTavJoinType type,
                                   TTavBaseJoinDataProvider* outer, TTavBaseJoinDataProvider* inner);
  void AddWhereJoins(TTavBaseJoinDataProvider*& root);
  void AddUnmatchedSelects(TTavBaseJoinDataProvider*& root);
  void AssignSelects(TTavBaseJoinDataProvider* root);

  TTableList* table_list_ = nullptr;
  TTavJoins* joins_ = nullptr;
  TTavSelects* selects_ = nullptr;
  TTavJoinDataProviderMgr* provider_mgr_ = nullptr;
  TTavTableRefNode* from_root_ = nullptr;
};

class TTavQueryPlanner {
 public:
  // Checks the plan's inputs (assertions), then PreparePlan.
  static void CreatePlan(TTavPlan* plan);
};

}  // namespace tav
