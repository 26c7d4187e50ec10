#include "engine/query/exec/join_provider.h"

#include <algorithm>
#include <cstring>
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

// The records kept by address: an open-addressing table of slots, grown
// as records come, over fixed-size copies held in blocks that never move.
class TTavNonJoinDataProvider::TKeptRecords {
 public:
  // At most `expected` records (a table's count), within kMaxBytes.
  TKeptRecords(int32_t recordSize, int32_t expected) : record_size_(static_cast<size_t>(recordSize)) {
    const size_t wanted = static_cast<size_t>(std::max(expected, 0)) + 16;
    limit_ = std::max<size_t>(1, std::min(wanted, kMaxBytes / record_size_));
    slots_.assign(64, 0);
    per_block_ = std::max<size_t>(1, kBlockBytes / record_size_);
  }

  const uint8_t* Find(uint32_t address) const {
    for (size_t at = SlotOf(address, slots_.size());; at = (at + 1) & (slots_.size() - 1)) {
      const uint32_t entry = slots_[at];
      if (entry == 0) return nullptr;
      if (addresses_[entry - 1] == address) return RecordAt(entry - 1);
    }
  }

  // Keeps a copy of the record at an address not kept yet (nothing once
  // the bound is reached).
  void Add(uint32_t address, const uint8_t* record) {
    if (addresses_.size() >= limit_) return;
    if (2 * (addresses_.size() + 1) > slots_.size()) Grow();
    const size_t index = addresses_.size();
    if (index % per_block_ == 0) blocks_.push_back(std::make_unique_for_overwrite<uint8_t[]>(per_block_ * record_size_));
    std::memcpy(RecordAt(index), record, record_size_);
    addresses_.push_back(address);
    Place(slots_, index);
  }

 private:
  static constexpr size_t kMaxBytes = size_t{32} << 20;
  static constexpr size_t kBlockBytes = size_t{64} << 10;

  static size_t SlotOf(uint32_t address, size_t slots) {
    return static_cast<size_t>((uint64_t{address} * 0x9e3779b97f4a7c15ull) >> 32) & (slots - 1);
  }
  uint8_t* RecordAt(size_t index) const {
    return blocks_[index / per_block_].get() + (index % per_block_) * record_size_;
  }
  void Place(std::vector<uint32_t>& slots, size_t index) const {
    size_t at = SlotOf(addresses_[index], slots.size());
    while (slots[at] != 0) at = (at + 1) & (slots.size() - 1);
    slots[at] = static_cast<uint32_t>(index + 1);
  }
  void Grow() {
    std::vector<uint32_t> slots(slots_.size() * 2, 0);
    for (size_t i = 0; i < addresses_.size(); ++i) Place(slots, i);
    slots_.swap(slots);
  }

  size_t record_size_;
  size_t limit_ = 0;
  size_t per_block_ = 1;
  std::vector<uint32_t> slots_;  // index into addresses_ + 1; 0 free
  std::vector<uint32_t> addresses_;
  std::vector<std::unique_ptr<uint8_t[]>> blocks_;
};

TTavNonJoinDataProvider::TTavNonJoinDataProvider() = default;

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
  SettleBridge();
  if (!on_record_) return host::Null();
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
  if (on_record_ && !IsForcedNull()) SettleBridge();
  if (!on_record_ || IsForcedNull()) {
    holder.IsNull = true;
    return;
  }
  Bridge().GetRawFieldData(fieldNo, holder);
}

const uint8_t* TTavNonJoinDataProvider::CurrentRecordBytes() const {
  if (!on_record_ || IsForcedNull()) return nullptr;
  return kept_current_ != nullptr ? kept_current_ : Bridge().RecordBuffer();
}

bool TTavNonJoinDataProvider::FirstProviderRecord() {
  LeaveKeptRecord();
  on_record_ = Bridge().FirstBridgeRecord();
  return on_record_;
}

bool TTavNonJoinDataProvider::NextProviderRecord() {
  LeaveKeptRecord();
  on_record_ = Bridge().NextBridgeRecord();
  return on_record_;
}

bool TTavNonJoinDataProvider::MoveToRecord(uint32_t address) {
  LeaveKeptRecord();
  TTavDatasetBridge& bridge = Bridge();
  // Without the lock another connection may have changed a kept record.
  const bool keep = keep_records_ && bridge.ReadLocked() && bridge.RecordBufferSize() > 0;
  if (kept_ != nullptr && !keep) kept_.reset();
  if (keep && kept_ == nullptr) {
    kept_ = std::make_unique<TKeptRecords>(bridge.RecordBufferSize(), bridge.GetTotalBridgeRecordCount());
  } else if (keep) {
    if (const uint8_t* record = kept_->Find(address)) {
      kept_current_ = record;
      kept_address_ = address;
      on_record_ = true;
      return true;
    }
  }
  on_record_ = bridge.MoveToRecAddr(address);
  if (on_record_ && keep) kept_->Add(address, bridge.RecordBuffer());
  return on_record_;
}

void TTavNonJoinDataProvider::SettleBridge() {
  if (kept_current_ == nullptr) return;
  LeaveKeptRecord();
  on_record_ = Bridge().MoveToRecAddr(kept_address_);
}

void TTavNonJoinDataProvider::KeepRecordsRead(bool on) {
  SettleBridge();
  kept_.reset();
  keep_records_ = on;
}

void TTavNonJoinDataProvider::ApplySelection() {
  TTavExpr* selection = extra_selection_ ? extra_selection_.get() : join_selection_.get();
  // A key range on an index answers its condition without listing the
  // index through a filter.
  if (extra_selection_ || !key_ranges_ || !Bridge().SelectByKeyRange(selection))
    Bridge().SetJoinSelectExprRoot(selection);
  LeaveKeptRecord();
  on_record_ = false;
}

void TTavNonJoinDataProvider::ReapplySelection() {
  if (IsOpen && bridge_ && bridge_->Active()) ApplySelection();
}

void TTavNonJoinDataProvider::OpenProvider() {
  LeaveKeptRecord();
  kept_.reset();
  keep_records_ = false;
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
  LeaveKeptRecord();
  on_record_ = false;
  return Bridge().PrepareKeyLookup(ProviderFields.Items(fieldNo)->FieldName());
}

bool TTavNonJoinDataProvider::FirstKeyRecord(const uint8_t* data, int32_t length) {
  LeaveKeptRecord();
  on_record_ = Bridge().FirstKeyRecord(data, length);
  return on_record_;
}

bool TTavNonJoinDataProvider::NextKeyRecord() {
  LeaveKeptRecord();
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
  LeaveKeptRecord();
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
  return std::to_string(kept_current_ != nullptr ? kept_address_ : bridge_->GetRecAddr());
}

}  // namespace tav
