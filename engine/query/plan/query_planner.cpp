#include "engine/query/plan/query_planner.h"

#include <string>

#include "engine/query/exec/join_evaluator.h"
#include "engine/query/exec/std_join_provider.h"
#include "engine/storage/base/tav_error_codes.h"
#include "engine/storage/base/tav_errors.h"
#include "host/rtl/exceptions.h"

namespace tav {

namespace {

// Whether `leaf` lies below `node` on the NULL-supplying side of some join
// (`nullable` says whether `node` itself does); false when it is not below.
bool FindNullable(const TTavBaseJoinDataProvider* node, const TTavBaseJoinDataProvider* leaf,
                  bool nullable, bool& found) {
  if (node == nullptr) return false;
  if (node == leaf) {
    found = true;
    return nullable;
  }
  const TTavJoinType t = node->JoinType;
  const bool outerNullable =
      nullable || t == jtRightOuterJoin || t == jtFullOuterJoin || t == jtUnionJoin;
  const bool innerNullable =
      nullable || t == jtLeftOuterJoin || t == jtFullOuterJoin || t == jtUnionJoin;
  const bool viaOuter = FindNullable(node->OuterProvider, leaf, outerNullable, found);
  if (found) return viaOuter;
  return FindNullable(node->InnerProvider, leaf, innerNullable, found);
}

bool OnNullSupplyingSide(const TTavBaseJoinDataProvider* root, const TTavBaseJoinDataProvider* leaf) {
  bool found = false;
  // The leaves of a tree are joined at the root with jtInnerJoin as their
  // own type: only the join nodes on the way decide.
  if (root == leaf) return false;
  return FindNullable(root, leaf, false, found);
}

}  // namespace

TTavJoinType MapJoinType(TTavTableRefType kind) {
  switch (kind) {
    case trCrossJoin: return jtCrossJoin;
    case trUnionJoin: return jtUnionJoin;
    case trInnerJoin: return jtInnerJoin;
    case trLeftOuterJoin: return jtLeftOuterJoin;
    case trRightOuterJoin: return jtRightOuterJoin;
    case trFullOuterJoin: return jtFullOuterJoin;
    default: return jtNone;
  }
}

void TTavQueryPlanner::CreatePlan(TTavPlan* plan) {
  TAV_ASSERT(plan != nullptr, "The Plan is not assigned");
  TAV_ASSERT(plan->TableList() != nullptr, "The TableList is not assigned");
  TAV_ASSERT(plan->Joins() != nullptr, "The Joins is not assigned");
  TAV_ASSERT(plan->Selects() != nullptr, "The Selects is not assigned");
  TAV_ASSERT(plan->ProviderMgr() != nullptr, "The ProviderMgr is not assigned");
  plan->PreparePlan();
}

TTavNonJoinDataProvider* TTavPlan::NewLeaf(const std::string& tableName,
                                           const std::string& correlationName) {
  const TTableNameItem* entry = table_list_->FindTableName(tableName);
  TTavNonJoinDataProvider* leaf = provider_mgr_->GetNonJoinProvider(
      tableName, correlationName, entry != nullptr && entry->Memory());
  leaf->JoinType = jtInnerJoin;
  return leaf;
}

TTavStdJoinDataProvider* TTavPlan::NewJoin(const std::string& name, TTavJoinType type,
                                           TTavBaseJoinDataProvider* outer,
                                           TTavBaseJoinDataProvider* inner) {
  TTavStdJoinDataProvider* join = provider_mgr_->GetStdJoinProvider();
  join->SetProviderName(name);
  join->SetJoinType(type);
  join->OuterProvider = outer;
  join->InnerProvider = inner;
  return join;
}

TTavBaseJoinDataProvider* TTavPlan::ProviderFromNode(const TTavTableRefNode* node) {
  if (node == nullptr) return nullptr;
  if (node->JoinType == trTableName) {
    TAV_ASSERT(node->Left == nullptr, "Node.left should be nil");
    TAV_ASSERT(node->Right == nullptr, "Node.right should be nil");
    return NewLeaf(node->Text, node->CorrelationName);
  }
  const TTavJoinType type = MapJoinType(node->JoinType);
  if (type == jtNone) return nullptr;
  TTavStdJoinDataProvider* join = provider_mgr_->GetStdJoinProvider();
  join->SetProviderName(node->Text);
  join->CorrelationName = node->CorrelationName;
  join->SetJoinType(type);
  join->InnerProvider = ProviderFromNode(node->Right);
  join->OuterProvider = ProviderFromNode(node->Left);
  TAV_ASSERT(join->OuterProvider != nullptr, "Node.left should be assigned");
  TAV_ASSERT(join->InnerProvider != nullptr, "Node.right should be assigned");
  if (join->ProviderName().empty())
    join->SetProviderName(join->OuterProvider->ProviderName() + "." +
                          join->InnerProvider->ProviderName());
  join->SetJoinExpr(&node->OnExpr());
  return join;
}

void TTavPlan::AddWhereJoins(TTavBaseJoinDataProvider*& root) {
  for (int i = 0; i < joins_->Count(); ++i) {
    TTavJoinItem* item = joins_->GetItems(i);
    const TTableList& tables = item->TableList();
    // A condition over three or more tables is checked on the joined rows.
    if (tables.Count() != 2) {
      provider_mgr_->AddResidualExprRoot(item->JoinExprRoot());
      continue;
    }
    const TTableNameItem* first = tables.Items(0);
    const TTableNameItem* second = tables.Items(1);
    TTavNonJoinDataProvider* found1 =
        root ? FindTableLeaf(root, first->TableName(), first->CorrelationName()) : nullptr;
    TTavNonJoinDataProvider* found2 =
        root ? FindTableLeaf(root, second->TableName(), second->CorrelationName()) : nullptr;
    if (found1 != nullptr && found2 != nullptr) {
      // Both tables are joined already: the condition filters the rows.
      provider_mgr_->AddResidualExprRoot(item->JoinExprRoot());
      continue;
    }
    if (found1 != nullptr || found2 != nullptr) {
      const TTableNameItem* other = found1 != nullptr ? second : first;
      TTavNonJoinDataProvider* leaf = NewLeaf(other->TableName(), other->CorrelationName());
      TTavStdJoinDataProvider* join =
          NewJoin(root->ProviderName() + "." + other->TableName(), jtInnerJoin, root, leaf);
      join->SetJoinExprRoot(item->JoinExprRoot());
      root = join;
      continue;
    }
    // A pair apart from the tree: joined by its condition, then crossed with
    // what the tree holds so far.
    TTavNonJoinDataProvider* outer = NewLeaf(first->TableName(), first->CorrelationName());
    TTavNonJoinDataProvider* inner = NewLeaf(second->TableName(), second->CorrelationName());
    TTavStdJoinDataProvider* pair =
        NewJoin(first->TableName() + "." + second->TableName(), jtInnerJoin, outer, inner);
    pair->SetJoinExprRoot(item->JoinExprRoot());
    root = root == nullptr
               ? pair
               : NewJoin(root->ProviderName() + "." + pair->ProviderName(), jtCrossJoin, root, pair);
  }
}

void TTavPlan::AddUnmatchedSelects(TTavBaseJoinDataProvider*& root) {
  for (int i = 0; i < selects_->Count(); ++i) {
    TTavSelectItem* item = selects_->GetItems(i);
    if (root == nullptr) {
      root = NewLeaf(item->TableName, item->CorrelationName);
      continue;
    }
    if (FindTableLeaf(root, item->TableName, item->CorrelationName) != nullptr) continue;
    TTavNonJoinDataProvider* leaf = NewLeaf(item->TableName, item->CorrelationName);
    root = NewJoin(root->ProviderName() + "." + item->TableName, jtCrossJoin, root, leaf);
  }
}

void TTavPlan::AssignSelects(TTavBaseJoinDataProvider* root) {
  TAV_ASSERT(root != nullptr, "Root provider is not assigned in InternalAssignSelects");
  for (int i = 0; i < selects_->Count(); ++i) {
    TTavSelectItem* item = selects_->GetItems(i);
    TTavNonJoinDataProvider* leaf = FindTableLeaf(root, item->TableName, item->CorrelationName);
    if (leaf == nullptr)
      TavDatabaseError(kNoSuchTable, "TTavPlan.InternalAssignSelects", item->TableName);
    const TTavExprNode* selection = item->SelectExprRoot();
    if (selection == nullptr) continue;
    // Below an outer join the NULL row would escape the selection.
    if (OnNullSupplyingSide(root, leaf))
      provider_mgr_->AddResidualExprRoot(selection);
    else
      leaf->SetJoinSelectExprRoot(selection);
  }
}

void TTavPlan::PreparePlan() {
  // The bridges of the last plan stay open for this one.
  provider_mgr_->ClearKeepingBridges();
  TTavBaseJoinDataProvider* root = ProviderFromNode(from_root_);
  provider_mgr_->SetRootProvider(root);
  AddWhereJoins(root);
  provider_mgr_->SetRootProvider(root);
  AddUnmatchedSelects(root);
  provider_mgr_->SetRootProvider(root);
  AssignSelects(root);
  provider_mgr_->DropKeptBridges();
}

}  // namespace tav
