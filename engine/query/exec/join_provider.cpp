#include "engine/query/exec/join_provider.h"

#include <string>

#include "engine/query/exec/dataset_bridge.h"
#include "engine/query/plan/query_analyser.h"
#include "engine/storage/base/tav_errors.h"
#include "engine/storage/table/privileges.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/string_list.h"
#include "host/rtl/sys_utils.h"

namespace tav {

// ---------------------------------------------------------------------------
// TTavBaseJoinDataProvider

TTavBaseJoinDataProvider::~TTavBaseJoinDataProvider() = default;

void TTavBaseJoinDataProvider::GetRawFieldData(int32_t, TDataHolder&) {}

void TTavBaseJoinDataProvider::AssessJoin(const std::vector<std::string>&, TJoinStatistics&) {}

void TTavBaseJoinDataProvider::PrepareJoin(const std::vector<std::string>&) {}

void TTavBaseJoinDataProvider::SetJoinValues(TTavExprOperator, const std::vector<std::string>&,
                                             const std::vector<TDataHolder*>&) {
  throw host::Exception("SetJoinValue not supported in TTavBaseJoinDataProvider");
}

namespace {

// The first provider of the tree under `p` (itself, the inner tree, the
// outer tree) that `matches`.
template <class Matches>
TTavBaseJoinDataProvider* FindInTree(TTavBaseJoinDataProvider* p, const Matches& matches) {
  if (p == nullptr) return nullptr;
  if (matches(*p)) return p;
  if (TTavBaseJoinDataProvider* found = FindInTree(p->InnerProvider, matches)) return found;
  return FindInTree(p->OuterProvider, matches);
}

}  // namespace

// In "FROM T x, T" the qualifier T means the second reference, not the
// first leaf of table T.
TTavBaseJoinDataProvider* TTavBaseJoinDataProvider::FindJoinProvider(const std::string& name) {
  for (TNameMatch match : {TNameMatch::Alias, TNameMatch::Unaliased, TNameMatch::Name})
    if (TTavBaseJoinDataProvider* found =
            FindInTree(this, [&](const TTavBaseJoinDataProvider& p) { return p.MatchesName(name, match); }))
      return found;
  return nullptr;
}

bool TTavBaseJoinDataProvider::MatchesName(const std::string& name, TNameMatch match) const {
  return match != TNameMatch::Alias && host::SameText(name, provider_name_);
}

void TTavBaseJoinDataProvider::SetJoinSelectExprRoot(const TTavExprNode* node) {
  join_selection_.reset();
  if (!node) return;
  join_selection_ = std::make_unique<TTavExpr>();
  join_selection_->CloneFromTree(node);
}

void TTavBaseJoinDataProvider::DebugDumpProviderNames(const std::string& prefix,
                                                      host::TStrings& lines) const {
  if (OuterProvider) {
    lines.Add(prefix + "outer ->");
    OuterProvider->DebugDumpProviderNames(prefix + prefix, lines);
  }
  lines.Add(prefix + provider_name_);
  if (InnerProvider) {
    lines.Add(prefix + "inner ->");
    InnerProvider->DebugDumpProviderNames(prefix + prefix, lines);
  }
}

// ---------------------------------------------------------------------------
// TTavNonJoinDataProvider

TTavNonJoinDataProvider::~TTavNonJoinDataProvider() = default;

TTavDatasetBridge& TTavNonJoinDataProvider::Bridge() const {
  TAV_ASSERT(bridge_ != nullptr, "The data bridge is not assigned");
  return *bridge_;
}

void TTavNonJoinDataProvider::RefreshFields() {
  // The evaluator reads a column by its FieldNo; the bridge reads a field by
  // its position in the layout.
  ProviderFields.Assign(Bridge().GetInternalFields());
  for (int i = 0; i < ProviderFields.Count(); ++i) ProviderFields.Items(i)->SetFieldNo(i);
  SetDBStringCompare(Bridge().DBStringCompare());
}

TInternalFields* TTavNonJoinDataProvider::GetProviderFields() {
  if (ProviderFields.Count() == 0 && bridge_ && bridge_->InternalActive()) RefreshFields();
  return &ProviderFields;
}

host::Variant TTavNonJoinDataProvider::GetDataAsVariant(int32_t fieldNo) {
  if (!on_record_ || IsForcedNull()) return host::Null();
  return Bridge().GetFieldDataAsVariant(fieldNo);
}

TInternalFieldItem* TTavNonJoinDataProvider::FindField(const TParserToken*, const std::string& name) {
  TInternalFieldItem* field = GetProviderFields()->FindField(name);
  // The bridge reads record bytes past the dataset's read check: a field
  // the user may not read is refused wherever a statement names it.
  if (field != nullptr && bridge_ != nullptr && !bridge_->TableDef().InternalTable() &&
      (field->PrivilegeFlags() & MapObjectPrivTypeToConst(opReadData)) == 0)
    TavDatabaseError(kPrivilegeRequired, "TTavNonJoinDataProvider.FindField", field->FieldName());
  return field;
}

void TTavNonJoinDataProvider::SetProviderName(const std::string& name) {
  TTavBaseJoinDataProvider::SetProviderName(name);
  // A bridge kept open from the last plan is on this table already.
  if (!Bridge().Active()) Bridge().SetTableName(name);
}

void TTavNonJoinDataProvider::GetRawFieldData(int32_t fieldNo, TDataHolder& holder) {
  if (!on_record_ || IsForcedNull()) {
    holder.IsNull = true;
    return;
  }
  Bridge().GetRawFieldData(fieldNo, holder);
}

const uint8_t* TTavNonJoinDataProvider::CurrentRecordBytes() const {
  if (!on_record_ || IsForcedNull()) return nullptr;
  return Bridge().RecordBuffer();
}

bool TTavNonJoinDataProvider::FirstProviderRecord() {
  on_record_ = Bridge().FirstBridgeRecord();
  return on_record_;
}

bool TTavNonJoinDataProvider::NextProviderRecord() {
  on_record_ = Bridge().NextBridgeRecord();
  return on_record_;
}

bool TTavNonJoinDataProvider::MoveToRecord(uint32_t address) {
  on_record_ = Bridge().MoveToRecAddr(address);
  return on_record_;
}

void TTavNonJoinDataProvider::ApplySelection() {
  TTavExpr* selection = extra_selection_ ? extra_selection_.get() : join_selection_.get();
  // A key range on an index answers its condition without listing the
  // index through a filter.
  if (extra_selection_ || !key_ranges_ || !Bridge().SelectByKeyRange(selection))
    Bridge().SetJoinSelectExprRoot(selection);
  on_record_ = false;
}

void TTavNonJoinDataProvider::ReapplySelection() {
  if (IsOpen && bridge_ && bridge_->Active()) ApplySelection();
}

void TTavNonJoinDataProvider::OpenProvider() {
  TTavDatasetBridge& bridge = Bridge();
  if (!bridge.Active())
    bridge.Open();
  else
    bridge.EndKeyLookup();  // the walk and the count cover the table again
  RefreshFields();
  if (join_selection_ || extra_selection_) ApplySelection();
  IsOpen = true;
}

bool TTavNonJoinDataProvider::CanLookUpKey(int32_t fieldNo) {
  if (join_selection_ || extra_selection_ || !bridge_ || !bridge_->Active()) return false;
  if (fieldNo < 0 || fieldNo >= GetProviderFields()->Count()) return false;
  return bridge_->CanLookUpKey(ProviderFields.Items(fieldNo)->FieldName());
}

bool TTavNonJoinDataProvider::PrepareKeyLookup(int32_t fieldNo) {
  if (!CanLookUpKey(fieldNo)) return false;
  on_record_ = false;
  return Bridge().PrepareKeyLookup(ProviderFields.Items(fieldNo)->FieldName());
}

bool TTavNonJoinDataProvider::FirstKeyRecord(const uint8_t* data, int32_t length) {
  on_record_ = Bridge().FirstKeyRecord(data, length);
  return on_record_;
}

bool TTavNonJoinDataProvider::NextKeyRecord() {
  on_record_ = Bridge().NextKeyRecord();
  return on_record_;
}

void TTavNonJoinDataProvider::AssessJoin(const std::vector<std::string>& fieldNames,
                                         TJoinStatistics& statistics) {
  Bridge().AssessJoin(fieldNames, statistics);
}

void TTavNonJoinDataProvider::PrepareJoin(const std::vector<std::string>& fieldNames) {
  Bridge().PrepareJoin(fieldNames);
}

void TTavNonJoinDataProvider::SetJoinValues(TTavExprOperator op,
                                            const std::vector<std::string>& fieldNames,
                                            const std::vector<TDataHolder*>& values) {
  Bridge().SetJoinValues(op, fieldNames, values);
  on_record_ = false;
}

bool TTavNonJoinDataProvider::MatchesName(const std::string& name, TNameMatch match) const {
  switch (match) {
    case TNameMatch::Alias: return !name.empty() && host::SameText(name, CorrelationName);
    case TNameMatch::Unaliased: return CorrelationName.empty() && host::SameText(name, provider_name_);
    case TNameMatch::Name: return host::SameText(name, provider_name_);
  }
  return false;
}

void TTavNonJoinDataProvider::SetJoinSelectExprRoot(const TTavExprNode* node) {
  TTavBaseJoinDataProvider::SetJoinSelectExprRoot(node);
  // A bridge kept open from the last plan takes its selection when the leaf
  // opens, once.
  if (IsOpen && bridge_ && bridge_->Active()) ApplySelection();
}

void TTavNonJoinDataProvider::SetExtraSelectExpRoot(const TTavExprNode* node) {
  extra_selection_.reset();
  if (node) {
    auto extra = std::make_unique<TTavExpr>();
    TTavExprNode* left = extra->CloneSubTree(node);
    if (join_selection_ && join_selection_->Root()) {
      TTavExprNode* right = extra->CloneSubTree(join_selection_->Root());
      MakeAndNode(*extra, left, right);
    } else {
      extra->SetAsFirstNode(left);
    }
    extra_selection_ = std::move(extra);
  }
  if (IsOpen && bridge_ && bridge_->Active()) ApplySelection();
}

int32_t TTavNonJoinDataProvider::GetRecordCount() {
  TTavDatasetBridge& bridge = Bridge();
  const bool wasOpen = bridge.Active();
  if (!wasOpen) bridge.Open();
  int32_t count = 0;
  try {
    count = bridge.GetCurrentRecordCount();
  } catch (...) {
    if (!wasOpen) bridge.Close();
    throw;
  }
  if (!wasOpen) bridge.Close();
  return count;
}

std::string TTavNonJoinDataProvider::CurrentRecordIDAsString() {
  if (!bridge_ || !bridge_->Active() || !on_record_ || IsForcedNull()) return {};
  return std::to_string(bridge_->GetRecAddr());
}

}  // namespace tav
