// The join providers of a query and their manager. A TTavStdJoinDataProvider
// joins an outer and an inner provider (leaves or joins) under a join type
// and an ON condition and delivers the joined rows one at a time; nothing is
// materialised (join_evaluator.h says how). TTavJoinDataProviderMgr creates
// and owns every provider and bridge of one query, holds the root and keeps
// back the root's rows that fail the residual WHERE condition: the part of
// the WHERE the plan could not push below the joins.
//
// Callers must keep:
//  - Providers are made by the manager and linked by the planner; they live
//    until the manager's Clear or end. The database outlives the manager.
//  - A join is opened once (OpenProvider opens its inputs first) and read
//    with FirstProviderRecord / NextProviderRecord; the manager reads the
//    root the same way, once the root is open.
//  - Conditions handed over are copied whole; the copies borrow the tokens
//    of the parser that made them, which must outlive the providers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/expr/expr_evaluator.h"
#include "engine/query/exec/dataset_bridge.h"
#include "engine/query/exec/join_evaluator.h"
#include "engine/query/exec/join_fields.h"
#include "engine/query/exec/join_provider.h"
#include "engine/query/exec/query_dataset.h"

namespace host {
class TStrings;
}

namespace tav {

class TTavDataBase;

class TTavStdJoinDataProvider : public TTavBaseJoinDataProvider {
 public:
  TTavStdJoinDataProvider();
  ~TTavStdJoinDataProvider() override;

  // The outer provider's fields, then the inner's; an inner name already
  // taken is prefixed with the inner provider's name and a point until free.
  TInternalFields* GetProviderFields() override { return &join_fields_; }
  host::Variant GetDataAsVariant(int32_t fieldNo) override;
  void GetRawFieldData(int32_t fieldNo, TDataHolder& holder) override;
  // Its own output field of that name; for a qualified name the field
  // "table.name"; else the inner provider's answer, then the outer's.
  TInternalFieldItem* FindField(const TParserToken* token, const std::string& name) override;

  // Opens the inner, then the outer provider, builds the output fields,
  // analyses the ON condition and prepares the evaluator.
  void OpenProvider() override;
  bool FirstProviderRecord() override;
  bool NextProviderRecord() override;
  // The outer and the inner provider's ids, kept apart: "(outer,inner)";
  // empty while this join delivers NULLs.
  std::string CurrentRecordIDAsString() override;
  // A selection of the join's rows (the inner side's condition of a join
  // above it in re-filter mode): rows on which it is not True are skipped.
  void SetJoinSelectExprRoot(const TTavExprNode* node) override;
  void SetExtraSelectExpRoot(const TTavExprNode* node) override;
  bool ExtraSelectionSet() const override { return extra_selection_ != nullptr; }

  // The ON condition: a clone of the expression's root (SetJoinExpr) or of
  // the node's subtree.
  void SetJoinExpr(const TTavExpr* expr) { SetJoinExprRoot(expr ? expr->Root() : nullptr); }
  void SetJoinExprRoot(const TTavExprNode* node);
  TTavExprNode* JoinExprRoot() const { return join_expr_ ? join_expr_->Root() : nullptr; }
  void SetJoinRelop(TTavExprOperator op) { JoinRelop = op; }
  void SetJoinType(TTavJoinType type) { JoinType = type; }

  TJoinAnalyser& Analyser() { return *analyser_; }
  TJoinEvaluator& Evaluator() { return *evaluator_; }

  TTavExprOperator JoinRelop = teoEQ;

 private:
  void PrepareInternalFields();
  // The selection of rows now in force (extra, else join selection).
  void PrepareRowFilter();
  bool PassesRowFilter(bool found);

  TJoinFields join_fields_;
  std::unique_ptr<TTavExpr> join_expr_;
  std::unique_ptr<TJoinAnalyser> analyser_;
  std::unique_ptr<TJoinEvaluator> evaluator_;
  std::unique_ptr<TTavExpr> extra_selection_;
  TExprEvaluator row_filter_;
};

class TTavJoinDataProviderMgr : public host::TObject, public TTavQueryRowSource {
 public:
  TTavJoinDataProviderMgr() = default;
  TTavJoinDataProviderMgr(const TTavJoinDataProviderMgr&) = delete;
  TTavJoinDataProviderMgr& operator=(const TTavJoinDataProviderMgr&) = delete;
  ~TTavJoinDataProviderMgr() override;

  // A leaf over one table, with a bridge of its own on the database.
  TTavNonJoinDataProvider* GetNonJoinProvider(const std::string& tableName,
                                              const std::string& correlationName, bool memory);
  TTavStdJoinDataProvider* GetStdJoinProvider();
  void SetRootProvider(TTavBaseJoinDataProvider* root) { root_ = root; }
  TTavBaseJoinDataProvider* RootProvider() const override { return root_; }
  void SetDatabase(TTavDataBase* database) { database_ = database; }
  TTavDataBase* Database() const { return database_; }
  void SetDBStringCompare(TDBStringCompare routine);
  int GetJoinCount() const { return static_cast<int>(joins_.size()); }
  // The join providers in the order they were made.
  TTavStdJoinDataProvider* GetJoin(int index) const { return joins_.at(static_cast<size_t>(index)).get(); }
  int GetLeafCount() const { return static_cast<int>(leaves_.size()); }
  // Frees every provider, bridge and condition; no root.
  void Clear();
  // As Clear, but the bridges still open are kept for the next plan:
  // GetNonJoinProvider takes one over the same table instead of opening the
  // table again (its definition read and parsed, its directory looked up).
  // DropKeptBridges frees those the plan did not take.
  void ClearKeepingBridges();
  void DropKeptBridges();
  // Inside a transaction (where a table lock lasts until the commit anyway)
  // every open disk bridge takes its table's read lock for the run, reading
  // the table header once, instead of once per cursor call. Release gives
  // back through each bridge what Hold took, so that the next run reads the
  // header again. Hold may be called again for bridges opened since.
  void HoldBridgeReadLocks();
  void ReleaseBridgeReadLocks();
  // "Root provider is nil", or the tree's names with the prefix of two
  // blanks.
  void DebugDumpProviderStatus(host::TStrings& lines) const;

  // A condition every root row must meet (the WHERE condition, when the
  // analysis could not split it); nullptr drops it. The plan's residual
  // conditions apply as well.
  void PrepareJoinExprEvaluator(const TTavExprNode* node);
  // A part of the WHERE the plan kept above the joins; AND-ed to those held.
  void AddResidualExprRoot(const TTavExprNode* node);
  TTavExprNode* ResidualExprRoot() const { return residual_ ? residual_->Root() : nullptr; }

  // The root's first (next) row that meets the conditions; False at the end
  // or without a root.
  bool FirstProviderRecord() override;
  bool NextProviderRecord() override;
  // A condition is checked on the root's rows (a caller's or a residual).
  bool HasResidualCondition() const override { return caller_condition_ != nullptr || residual_ != nullptr; }

 private:
  bool Check(bool found);
  void RebuildCondition();
  // A kept bridge over `tableName`, its selection and index as opened; nullptr when none.
  std::unique_ptr<TTavDatasetBridge> TakeKeptBridge(const std::string& tableName, bool memory);

  std::vector<std::unique_ptr<TTavNonJoinDataProvider>> leaves_;
  std::vector<std::unique_ptr<TTavStdJoinDataProvider>> joins_;
  std::vector<std::unique_ptr<TTavDatasetBridge>> bridges_;
  std::vector<std::unique_ptr<TTavDatasetBridge>> kept_bridges_;
  std::vector<TTavDatasetBridge*> read_locked_;
  TTavDataBase* database_ = nullptr;
  TTavBaseJoinDataProvider* root_ = nullptr;
  TExprEvaluator where_evaluator_;
  TDBStringCompare db_string_compare_ = nullptr;
  std::unique_ptr<TTavExpr> caller_condition_;
  std::unique_ptr<TTavExpr> residual_;
  std::unique_ptr<TTavExpr> condition_;  // both, as evaluated
  bool evaluator_stale_ = true;
};

// Holds a manager's bridge read locks for one run (see
// HoldBridgeReadLocks) and gives them back on every exit.
class TBridgeReadLockGuard {
 public:
  explicit TBridgeReadLockGuard(TTavJoinDataProviderMgr& mgr) : mgr_(mgr) {}
  ~TBridgeReadLockGuard();
  TBridgeReadLockGuard(const TBridgeReadLockGuard&) = delete;
  TBridgeReadLockGuard& operator=(const TBridgeReadLockGuard&) = delete;

  void Hold() { mgr_.HoldBridgeReadLocks(); }

 private:
  TTavJoinDataProviderMgr& mgr_;
};

}  // namespace tav
