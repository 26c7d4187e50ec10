#include "engine/query/exec/std_join_provider.h"

#include <string>

#include "engine/components/tav_database.h"
#include "engine/query/exec/dataset_bridge.h"
#include "engine/query/plan/query_analyser.h"
#include "engine/storage/base/tav_errors.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/string_list.h"
#include "host/rtl/sys_utils.h"

namespace tav {

namespace {

// A private copy of `a` AND `b` (either may be missing); nullptr when both
// are.
std::unique_ptr<TTavExpr> AndOf(const TTavExprNode* a, const TTavExprNode* b) {
  if (a == nullptr && b == nullptr) return nullptr;
  auto expr = std::make_unique<TTavExpr>();
  if (a == nullptr || b == nullptr) {
    expr->CloneFromTree(a != nullptr ? a : b);
  } else {
    TTavExprNode* left = expr->CloneSubTree(a);
    TTavExprNode* right = expr->CloneSubTree(b);
    MakeAndNode(*expr, left, right);
  }
  return expr;
}

const TTavExprNode* RootOf(const std::unique_ptr<TTavExpr>& expr) {
  return expr ? expr->Root() : nullptr;
}

// Moves on with `next` past the rows on which a prepared `condition` is not
// True; `found` says whether a row is current.
template <class Next>
bool SkipFailingRows(TExprEvaluator& condition, bool found, Next next) {
  while (found && condition.IsPrepared()) {
    condition.Reset();
    if (condition.Evaluate()) break;
    found = next();
  }
  return found;
}

}  // namespace

// ---------------------------------------------------------------------------
// TTavStdJoinDataProvider

TTavStdJoinDataProvider::TTavStdJoinDataProvider()
    : analyser_(std::make_unique<TJoinAnalyser>()),
      evaluator_(std::make_unique<TJoinEvaluator>(*analyser_)) {
  analyser_->JoinType = jtInnerJoin;
}

TTavStdJoinDataProvider::~TTavStdJoinDataProvider() = default;

void TTavStdJoinDataProvider::SetJoinExprRoot(const TTavExprNode* node) {
  join_expr_.reset();
  if (node == nullptr) return;
  join_expr_ = std::make_unique<TTavExpr>();
  join_expr_->CloneFromTree(node);
}

void TTavStdJoinDataProvider::PrepareInternalFields() {
  join_fields_.Clear();
  auto addFrom = [this](TTavBaseJoinDataProvider* provider, bool inner) {
    TInternalFields* fields = provider->GetProviderFields();
    for (int i = 0; i < fields->Count(); ++i) {
      const TInternalFieldItem* source = fields->Items(i);
      std::string name = source->FieldName();
      // A name the outer side already has is prefixed until it is free.
      if (inner)
        while (join_fields_.FindField(name) != nullptr) name = provider->ProviderName() + "." + name;
      TJoinFieldItem* item = join_fields_.Add();
      item->Assign(*source);
      item->SetFieldName(name);
      item->SourceFieldNo = source->FieldNo();
      item->SetFieldNo(join_fields_.Count() - 1);
      item->DataProvider = provider;
    }
  };
  addFrom(OuterProvider, false);
  addFrom(InnerProvider, true);
}

void TTavStdJoinDataProvider::OpenProvider() {
  TAV_ASSERT(JoinType != jtNone, "Join type has not been set");
  TAV_ASSERT(InnerProvider != nullptr, "Right provider has not been set");
  TAV_ASSERT(OuterProvider != nullptr, "Left provider has not been set");
  InnerProvider->Parent = this;
  OuterProvider->Parent = this;
  InnerProvider->OpenProvider();
  OuterProvider->OpenProvider();
  SetDBStringCompare(OuterProvider->DBStringCompare != nullptr ? OuterProvider->DBStringCompare
                                                               : InnerProvider->DBStringCompare);
  PrepareInternalFields();
  analyser_->InnerProvider = InnerProvider;
  analyser_->OuterProvider = OuterProvider;
  analyser_->Owner = this;
  analyser_->JoinType = JoinType;
  analyser_->SetJoinExprRoot(JoinExprRoot());
  analyser_->CreateAnalyserTree();
  evaluator_->Prepare();
  IsOpen = true;
  PrepareRowFilter();
}

void TTavStdJoinDataProvider::PrepareRowFilter() {
  row_filter_.Clear();
  const TTavExpr* selection = extra_selection_ ? extra_selection_.get() : join_selection_.get();
  if (!IsOpen || selection == nullptr || selection->Root() == nullptr) return;
  row_filter_.SetExcludeRelopNulls(true);
  row_filter_.SetDBStringCompare(DBStringCompare);
  row_filter_.Prepare(this, selection->Root());
}

bool TTavStdJoinDataProvider::PassesRowFilter(bool found) {
  return SkipFailingRows(row_filter_, found, [this] { return evaluator_->NextRecord(); });
}

bool TTavStdJoinDataProvider::FirstProviderRecord() {
  TAV_ASSERT(IsOpen, "The join provider is not open");
  return PassesRowFilter(evaluator_->FirstRecord());
}

bool TTavStdJoinDataProvider::NextProviderRecord() {
  TAV_ASSERT(IsOpen, "The join provider is not open");
  return PassesRowFilter(evaluator_->NextRecord());
}

void TTavStdJoinDataProvider::SetJoinSelectExprRoot(const TTavExprNode* node) {
  TTavBaseJoinDataProvider::SetJoinSelectExprRoot(node);
  if (extra_selection_) return;
  PrepareRowFilter();
}

void TTavStdJoinDataProvider::SetExtraSelectExpRoot(const TTavExprNode* node) {
  extra_selection_.reset();
  if (node != nullptr) extra_selection_ = AndOf(node, RootOf(join_selection_));
  PrepareRowFilter();
}

host::Variant TTavStdJoinDataProvider::GetDataAsVariant(int32_t fieldNo) {
  if (IsForcedNull()) return host::Null();
  TAV_ASSERT(fieldNo >= 0 && fieldNo < join_fields_.Count(), "Join field number out of range");
  TJoinFieldItem* item = join_fields_.Items(fieldNo);
  return item->DataProvider->GetDataAsVariant(item->SourceFieldNo);
}

void TTavStdJoinDataProvider::GetRawFieldData(int32_t fieldNo, TDataHolder& holder) {
  if (IsForcedNull()) {
    holder.IsNull = true;
    return;
  }
  TAV_ASSERT(fieldNo >= 0 && fieldNo < join_fields_.Count(), "Join field number out of range");
  TJoinFieldItem* item = join_fields_.Items(fieldNo);
  item->DataProvider->GetRawFieldData(item->SourceFieldNo, holder);
}

TInternalFieldItem* TTavStdJoinDataProvider::FindField(const TParserToken* token,
                                                       const std::string& name) {
  // A field found here is looked up at its source too, which refuses a
  // field the user may not read.
  const auto checked = [](TInternalFieldItem* field) {
    const auto* item = static_cast<TJoinFieldItem*>(field);
    TTavBaseJoinDataProvider* source = item->DataProvider;
    if (source != nullptr && item->SourceFieldNo >= 0 && item->SourceFieldNo < source->GetProviderFields()->Count())
      source->FindField(nullptr, source->GetProviderFields()->Items(item->SourceFieldNo)->FieldName());
    return field;
  };
  if (TInternalFieldItem* own = join_fields_.FindField(name)) return checked(own);
  if (token != nullptr && token->Token == tstTableName)
    if (TInternalFieldItem* qualified = join_fields_.FindField(token->Text + "." + name))
      return checked(qualified);
  if (InnerProvider != nullptr)
    if (TInternalFieldItem* inner = InnerProvider->FindField(token, name)) return inner;
  return OuterProvider != nullptr ? OuterProvider->FindField(token, name) : nullptr;
}

std::string TTavStdJoinDataProvider::CurrentRecordIDAsString() {
  if (IsForcedNull()) return {};
  // Kept apart, so that ("1", "23") and ("12", "3") stay two rows.
  return "(" + (OuterProvider ? OuterProvider->CurrentRecordIDAsString() : std::string()) + "," +
         (InnerProvider ? InnerProvider->CurrentRecordIDAsString() : std::string()) + ")";
}

// ---------------------------------------------------------------------------
// TTavJoinDataProviderMgr

TTavJoinDataProviderMgr::~TTavJoinDataProviderMgr() { Clear(); }

TTavNonJoinDataProvider* TTavJoinDataProviderMgr::GetNonJoinProvider(
    const std::string& tableName, const std::string& correlationName, bool memory) {
  TAV_ASSERT(database_ != nullptr, "Database is not assigned");
  std::unique_ptr<TTavDatasetBridge> bridge = TakeKeptBridge(tableName, memory);
  if (!bridge) {
    bridge = std::make_unique<TTavDatasetBridge>(nullptr);
    bridge->SetDataBase(database_);
    bridge->SetMemory(memory);
  }
  auto leaf = std::make_unique<TTavNonJoinDataProvider>();
  leaf->SetDataBridge(bridge.get());
  leaf->SetProviderName(tableName);
  leaf->CorrelationName = correlationName;
  leaf->JoinType = jtInnerJoin;
  bridges_.push_back(std::move(bridge));
  leaves_.push_back(std::move(leaf));
  return leaves_.back().get();
}

TTavStdJoinDataProvider* TTavJoinDataProviderMgr::GetStdJoinProvider() {
  TAV_ASSERT(database_ != nullptr, "Database is not assigned");
  joins_.push_back(std::make_unique<TTavStdJoinDataProvider>());
  return joins_.back().get();
}

void TTavJoinDataProviderMgr::SetDBStringCompare(TDBStringCompare routine) {
  db_string_compare_ = routine;
  where_evaluator_.SetDBStringCompare(routine);
  evaluator_stale_ = true;
}

void TTavJoinDataProviderMgr::Clear() {
  try {
    ReleaseBridgeReadLocks();
  } catch (...) {
    // The bridges go now: their flags with them.
  }
  root_ = nullptr;
  where_evaluator_.Clear();
  condition_.reset();
  caller_condition_.reset();
  residual_.reset();
  evaluator_stale_ = true;
  // Joins first (their hash tables and conditions), then the leaves, then
  // the bridges they read.
  joins_.clear();
  leaves_.clear();
  bridges_.clear();
  kept_bridges_.clear();
}

void TTavJoinDataProviderMgr::ClearKeepingBridges() {
  std::vector<std::unique_ptr<TTavDatasetBridge>> kept = std::move(bridges_);
  bridges_.clear();
  Clear();
  // Only a bridge still open on its table saves anything: one the
  // connection closed (a reconnect, a schema statement) opens afresh.
  for (auto& bridge : kept)
    if (bridge->DataBase() == database_ && bridge->OpenAndCurrent()) kept_bridges_.push_back(std::move(bridge));
}

std::unique_ptr<TTavDatasetBridge> TTavJoinDataProviderMgr::TakeKeptBridge(const std::string& tableName,
                                                                          bool memory) {
  for (auto it = kept_bridges_.begin(); it != kept_bridges_.end(); ++it) {
    TTavDatasetBridge& bridge = **it;
    if (bridge.Memory() != memory || !host::SameText(bridge.TableName(), tableName)) continue;
    if (!bridge.OpenAndCurrent()) continue;
    std::unique_ptr<TTavDatasetBridge> taken = std::move(*it);
    kept_bridges_.erase(it);
    taken->ResetSelection();
    return taken;
  }
  return nullptr;
}

void TTavJoinDataProviderMgr::DropKeptBridges() { kept_bridges_.clear(); }

void TTavJoinDataProviderMgr::HoldBridgeReadLocks() {
  if (database_ == nullptr || !database_->InTransaction()) return;
  for (const auto& bridge : bridges_) {
    if (!bridge->Active() || bridge->Memory() || bridge->ReadLocked()) continue;
    bridge->ReadLockTable();
    read_locked_.push_back(bridge.get());
  }
}

void TTavJoinDataProviderMgr::ReleaseBridgeReadLocks() {
  std::vector<TTavDatasetBridge*> held;
  held.swap(read_locked_);
  TFirstError first;
  for (TTavDatasetBridge* bridge : held)
    // A commit or rollback since forgot the lock already.
    if (bridge->Active() && bridge->ReadLocked() && !bridge->WriteLocked())
      first.Try([&] { bridge->UnlockTable(); });
  // The list's room serves the next run's locks.
  if (read_locked_.empty()) {
    held.clear();
    read_locked_.swap(held);
  }
  first.Rethrow();
}

TBridgeReadLockGuard::~TBridgeReadLockGuard() {
  try {
    mgr_.ReleaseBridgeReadLocks();
  } catch (...) {
    // The flags went with the failure; the run's own error is the one reported.
  }
}

void TTavJoinDataProviderMgr::DebugDumpProviderStatus(host::TStrings& lines) const {
  if (root_ == nullptr) {
    lines.Add("Root provider is nil");
    return;
  }
  root_->DebugDumpProviderNames("  ", lines);
}

void TTavJoinDataProviderMgr::PrepareJoinExprEvaluator(const TTavExprNode* node) {
  caller_condition_ = AndOf(node, nullptr);
  evaluator_stale_ = true;
}

void TTavJoinDataProviderMgr::AddResidualExprRoot(const TTavExprNode* node) {
  if (node == nullptr) return;
  residual_ = AndOf(node, RootOf(residual_));
  evaluator_stale_ = true;
}

void TTavJoinDataProviderMgr::RebuildCondition() {
  where_evaluator_.Clear();
  condition_ = AndOf(RootOf(caller_condition_), RootOf(residual_));
  evaluator_stale_ = false;
  if (!condition_) return;
  where_evaluator_.SetExcludeRelopNulls(true);
  where_evaluator_.SetDBStringCompare(db_string_compare_ != nullptr ? db_string_compare_
                                                                    : root_->DBStringCompare);
  where_evaluator_.Prepare(root_, condition_->Root());
}

bool TTavJoinDataProviderMgr::Check(bool found) {
  return SkipFailingRows(where_evaluator_, found, [this] { return root_->NextProviderRecord(); });
}

bool TTavJoinDataProviderMgr::FirstProviderRecord() {
  if (root_ == nullptr) return false;
  if (evaluator_stale_) RebuildCondition();
  return Check(root_->FirstProviderRecord());
}

bool TTavJoinDataProviderMgr::NextProviderRecord() {
  TAV_ASSERT(root_ != nullptr, "Root provider is not assigned");
  if (evaluator_stale_) RebuildCondition();
  return Check(root_->NextProviderRecord());
}

}  // namespace tav
