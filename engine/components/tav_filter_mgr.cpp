#include "engine/components/tav_filter_mgr.h"

#include <algorithm>

#include "engine/components/tav_data_set.h"
#include "engine/storage/base/tav_errors.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/streams.h"
#include "host/rtl/sys_utils.h"
#include "host/rtl/variant.h"

namespace tav {

namespace {
constexpr char kNoEvaluator[] = "ExprFilter is not assigned";
constexpr char kNoCurrentFilter[] = "Filter allocation error. Current Filter has not been assigned";
// A search of the index for one record costs about what walking this many
// of its entries does.
constexpr int64_t kSearchesPerWalk = 16;
}  // namespace

// ---------------------------------------------------------------------------
// TTavExprDBDataProvider

void TTavExprDBDataProvider::Initialize(TTavDataSet* table) {
  TAV_ASSERT(table != nullptr, "ExprDBDataProvider - source table is not assigned");
  table_ = table;
  ProviderFields.Assign(table->GetInternalFields());
  // The evaluator reads a column by its FieldNo; the dataset reads a field
  // by its position in the layout.
  kinds_.clear();
  for (int i = 0; i < ProviderFields.Count(); ++i) {
    TInternalFieldItem& f = *ProviderFields.Items(i);
    f.SetFieldNo(i);
    switch (f.DataType()) {
      case host::ftMemo:
      case host::ftFmtMemo: kinds_.push_back(kTextBlob); break;
      case host::ftDate:
      case host::ftTime:
      case host::ftDateTime: kinds_.push_back(kDate); break;
      default: kinds_.push_back(kPlain); break;
    }
  }
  Refresh();
}

void TTavExprDBDataProvider::Refresh() {
  SetDBStringCompare(table_->DBStringCompare());
  SetHasPassFilterEvent(table_->HasFilterRecordEvent());
  filter_buffer_.assign(static_cast<size_t>(table_->RecordSize()), 0);
}

void TTavExprDBDataProvider::Open() {
  TTavExprDataProvider::Open();
  Refresh();
}

TInternalFieldItem* TTavExprDBDataProvider::FindField(const TParserToken* token, const std::string& name) {
  TInternalFieldItem* field = TTavExprDataProvider::FindField(token, name);
  // Selecting by a value would tell it: the read privilege guards both.
  if (field && !table_->TableDef().InternalTable() &&
      (field->PrivilegeFlags() & MapObjectPrivTypeToConst(opReadData)) == 0)
    TavDatabaseError(kPrivilegeRequired, "TTavExprDBDataProvider.FindField", field->FieldName());
  return field;
}

host::Variant TTavExprDBDataProvider::GetDataAsVariant(int32_t fieldNo) {
  const uint8_t* buffer = filter_buffer_.data();
  const TFieldKind kind = kinds_.at(static_cast<size_t>(fieldNo));
  if (kind == kTextBlob) {
    host::TMemoryStream stream;
    bool isNull = false;
    table_->DataSetReadStoredBlob(buffer, fieldNo, isNull, stream);
    if (isNull) return host::Null();
    return host::Variant(std::string(reinterpret_cast<const char*>(stream.Memory()),
                                     static_cast<size_t>(stream.Size())));
  }
  host::Variant value = table_->DataSetGetFieldDataFromRecBufAsVariant(buffer, fieldNo);
  // Stored as days since 1899-12-30; compared as dates.
  if (kind == kDate && !value.IsNull()) return host::VarFromDateTime(value.AsDouble());
  return value;
}

bool TTavExprDBDataProvider::GetStoredField(int32_t fieldNo, const uint8_t*& data, int32_t& length) {
  if (fieldNo < 0 || static_cast<size_t>(fieldNo) >= kinds_.size() ||
      kinds_[static_cast<size_t>(fieldNo)] != kPlain)
    return false;
  bool isNull = false;
  table_->DataSetGetFieldDataByReferenceFromRecBuf(filter_buffer_.data(), fieldNo, length, data, isNull);
  if (isNull) {
    data = nullptr;
    return true;
  }
  // A stored length never reaches past the field.
  const int32_t size = ProviderFields.Items(fieldNo)->FieldSize();
  if (length < 0 || length > size) return false;
  return true;
}

void TTavExprDBDataProvider::GetDefaultRecordList(TCompoundList& list) {
  list.Clear();
  table_->InternalPrepareMasterRecordList(list);
  SetBaseRecNo(list.Count() > 0 ? static_cast<int32_t>(list.List2().front()) : 0);
}

bool TTavExprDBDataProvider::MoveToRecord(uint32_t address) {
  table_->RecordMgr().ReadRecord(address, filter_buffer_.data(), false);
  return true;
}

bool TTavExprDBDataProvider::PassFilterEvent(uint32_t address) {
  MoveToRecord(address);
  return table_->RecordProcFilter(filter_buffer_.data());
}

// ---------------------------------------------------------------------------
// TTavFilterEvaluator

TTavFilterEvaluator::TTavFilterEvaluator(TTavDataSet* table) {
  provider_.Initialize(table);
  SetDataProvider(&provider_);
  TTableNameItem* item = tables_.Add();
  item->SetTableName(table->TableName());
  item->SetTableFields(&provider_.ProviderFields);
  SetTables(&tables_);
  TIndexManager& indexes = table->IndexManager();
  for (int i = 0; i < indexes.Count(); ++i)
    IndexQueryMgr.Add(indexes.Items(i)->IndexName(), &indexes.Items(i)->Tree());
}

// ---------------------------------------------------------------------------
// TFilterMgr: opening and closing

TFilterMgr::~TFilterMgr() {
  try {
    CloseFilter();
  } catch (...) {
    // Closing only empties lists; nothing is left to report to.
  }
}

void TFilterMgr::AssignSettings(const TFilterMgr& other) {
  filter_text_ = other.filter_text_;
  filter_options_ = other.filter_options_;
  ordered_ = other.ordered_;
  query_active_ = other.query_active_;
  exclude_relop_nulls_ = other.exclude_relop_nulls_;
}

void TFilterMgr::NewEvaluator(TTavDataSet* table) {
  evaluator_.reset();
  evaluator_ = std::make_unique<TTavFilterEvaluator>(table);
}

void TFilterMgr::ConfigureEvaluator() {
  TTavFilterEvaluator& e = *evaluator_;
  e.SetDeferBaseOrder(true);
  e.SetFilterText(filter_text_);
  e.SetFilterOptions(filter_options_);
  e.SetSortedOutput(ordered_);
  e.SetExcludeRelopNulls(exclude_relop_nulls_);
  e.SetQueryActive(query_active_);
}

bool TFilterMgr::OpenFilter(TTavDataSet* table) {
  CloseFilter();
  NewEvaluator(table);
  TTavFilterEvaluator& e = *evaluator_;
  ConfigureEvaluator();
  assigned_ = false;
  last_error_.clear();
  ListsChanged();
  if (!e.Open()) {
    last_error_ = e.GetErrors();
    e.Close();
    return false;
  }
  Evaluated();
  open_ = true;
  return true;
}

void TFilterMgr::AssignExpr(TTavDataSet* table, const TTavExpr* expression, bool replace) {
  CloseFilter();
  if (!evaluator_ || evaluator_->Provider().Table() != table) NewEvaluator(table);
  TTavFilterEvaluator& e = *evaluator_;
  ConfigureEvaluator();
  ListsChanged();
  e.Provider().Refresh();
  e.AssignExpr(expression, replace, teoAND);
  Evaluated();
  last_error_ = e.GetErrors();
  assigned_ = true;
  open_ = true;
}

void TFilterMgr::CloseFilter() {
  if (evaluator_) evaluator_->Close();
  open_ = false;
  ListsChanged();
}

void TFilterMgr::Clear() noexcept {
  open_ = false;
  assigned_ = false;
  evaluator_.reset();
  last_error_.clear();
  ListsChanged();
}

bool TFilterMgr::ResetFilter() {
  RequireEvaluator();
  ListsChanged();
  TTavFilterEvaluator& e = *evaluator_;
  e.Close();
  if (assigned_) {
    // The condition held so far, evaluated again as a whole.
    // (AssignExpr copies it before it replaces what the evaluator holds.)
    e.Provider().Refresh();
    e.AssignExpr(e.CombinedParser.Expr, true, teoAND);
    Evaluated();
    return true;
  }
  if (e.Open()) {
    Evaluated();
    return true;
  }
  last_error_ = e.GetErrors();
  e.Close();
  return false;
}

void TFilterMgr::RefreshDataProvider() {
  if (evaluator_) evaluator_->Provider().Refresh();
}

void TFilterMgr::SetQueryActive(bool value) {
  query_active_ = value;
}

// ---------------------------------------------------------------------------
// TFilterMgr: lists

void TFilterMgr::RequireEvaluator() const { TAV_ASSERT(evaluator_ != nullptr, kNoEvaluator); }

void TFilterMgr::RequireCurrentFilter() const {
  RequireEvaluator();
  TAV_ASSERT(open_, kNoCurrentFilter);
}

bool TFilterMgr::HasHandler() const { return evaluator_->Provider().HasPassFilterEvent; }

bool TFilterMgr::Passes(uint32_t address) {
  return !HasHandler() || evaluator_->Provider().PassFilterEvent(address);
}

void TFilterMgr::Evaluated() {
  TTavFilterEvaluator& e = *evaluator_;
  if (e.BaseListed || query_active_) return;
  // Without the list of every record, the range's first record number comes
  // from the index itself.
  const auto [first, last] = e.Provider().Table()->FilterBaseBounds();
  e.Provider().SetBaseRecNo(first <= last ? first : 0);
}

void TFilterMgr::PlaceInBaseOrder() {
  if (placed_) return;
  placed_ = true;
  TTavFilterEvaluator& e = *evaluator_;
  base_positions_.clear();
  if (e.BaseListed || query_active_) return;
  std::vector<uint32_t>& filter = e.Result;
  if (filter.empty()) return;
  TTavDataSet& table = *e.Provider().Table();
  if (PlaceRun()) return;
  const auto [first, last] = table.FilterBaseBounds();
  if (static_cast<int64_t>(filter.size()) * kSearchesPerWalk > int64_t{last} - first + 1) {
    // So many records pass that one walk of the index costs less than a
    // search for each. The filter is in address order still.
    std::vector<uint32_t> base;
    int32_t firstRecNo = 0;
    table.FilterBaseAddresses(base, firstRecNo);
    if (firstRecNo > 0) {
      std::vector<size_t> at;
      MemberPositions(base, filter, at);
      filter.clear();
      base_positions_.reserve(at.size());
      for (size_t i : at) {
        filter.push_back(base[i]);
        base_positions_.push_back(firstRecNo + static_cast<int32_t>(i));
      }
      return;
    }
  }
  std::vector<int32_t> recNos;
  table.FilterBaseRecNos(filter, recNos);
  std::vector<std::pair<int32_t, uint32_t>> placed;
  placed.reserve(filter.size());
  for (size_t i = 0; i < filter.size(); ++i)
    if (recNos[i] > 0) placed.emplace_back(recNos[i], filter[i]);
  std::sort(placed.begin(), placed.end());
  filter.clear();
  base_positions_.reserve(placed.size());
  for (const auto& [recNo, address] : placed) {
    filter.push_back(address);
    base_positions_.push_back(recNo);
  }
}

bool TFilterMgr::PlaceRun() {
  TTavFilterEvaluator& e = *evaluator_;
  TTavDataSet& table = *e.Provider().Table();
  const std::vector<uint32_t>& run = e.RunOrder;
  if (e.RunTree == nullptr || run.size() != e.Result.size() ||
      e.RunTree != &table.IndexManager().CurrentIndex()->Tree())
    return false;
  // Walked from the current index itself: when the ends' record numbers
  // span as many entries as there are records, they are those entries.
  std::vector<int32_t> ends;
  table.FilterBaseRecNos({run.front(), run.back()}, ends);
  if (ends[0] <= 0 || ends[1] <= 0 || int64_t{ends[1]} - ends[0] + 1 != static_cast<int64_t>(run.size()))
    return false;
  e.Result = run;
  base_positions_.resize(run.size());
  for (size_t i = 0; i < run.size(); ++i) base_positions_[i] = ends[0] + static_cast<int32_t>(i);
  return true;
}

void TFilterMgr::ListsChanged() {
  placed_ = false;
  base_positions_.clear();
  filter_indexed_ = false;
  filter_sorted_ = false;
  master_indexed_ = false;
  filter_index_.clear();
  master_index_.clear();
  filter_master_pos_.clear();
  hint_ = -1;
  end_ = {0, 0};
}

void TFilterMgr::BuildFilterIndex() {
  PlaceInBaseOrder();
  filter_indexed_ = true;
  const std::vector<uint32_t>& filter = evaluator_->Result;
  filter_index_.clear();
  filter_sorted_ = false;
  filter_master_pos_.clear();
  if (query_active_) return;  // the current filter is in address order
  if (!evaluator_->BaseListed) {
    filter_master_pos_ = base_positions_;
    return;
  }
  // The current filter is a subsequence of the master list: one pass finds
  // every entry's record number.
  const std::vector<uint32_t>& master = evaluator_->BaseList.List1();
  const std::vector<uint32_t>& numbers = evaluator_->BaseList.List2();
  filter_master_pos_.reserve(filter.size());
  size_t m = 0;
  for (uint32_t address : filter) {
    while (m < master.size() && master[m] != address) ++m;
    TAV_ASSERT(m < master.size(), "Filter record missing from the master list");
    filter_master_pos_.push_back(static_cast<int32_t>(numbers[m++]));
  }
}

void TFilterMgr::BuildMasterIndex() {
  master_indexed_ = true;
  const std::vector<uint32_t>& master = evaluator_->BaseList.List1();
  const std::vector<uint32_t>& numbers = evaluator_->BaseList.List2();
  master_index_.clear();
  master_index_.reserve(master.size());
  for (size_t i = 0; i < master.size(); ++i)
    master_index_.emplace_back(master[i], static_cast<int32_t>(numbers[i]));
  std::sort(master_index_.begin(), master_index_.end());
}

namespace {
// The position beside `address` in a list of (address, position) pairs
// sorted by address; -1 when absent.
int Lookup(const std::vector<std::pair<uint32_t, int>>& index, uint32_t address) {
  auto it = std::lower_bound(index.begin(), index.end(), std::make_pair(address, 0));
  return it != index.end() && it->first == address ? it->second : -1;
}
}  // namespace

int TFilterMgr::MasterPosition(uint32_t address) {
  if (!placed_ && end_.first != 0 && address == end_.first) return end_.second;
  // The records met most are the filter's own: their master positions are
  // known without indexing the (often far longer) master list.
  if (!query_active_) {
    const int at = FilterPosition(address);
    if (at >= 0) return filter_master_pos_[static_cast<size_t>(at)];
  }
  if (!evaluator_->BaseListed) {
    std::vector<int32_t> recNo;
    evaluator_->Provider().Table()->FilterBaseRecNos({address}, recNo);
    return recNo[0] > 0 ? recNo[0] : -1;
  }
  if (!master_indexed_) BuildMasterIndex();
  return Lookup(master_index_, address);
}

int TFilterMgr::FilterPosition(uint32_t address) {
  const std::vector<uint32_t>& filter = evaluator_->Result;
  if (!filter_indexed_) BuildFilterIndex();
  const int n = static_cast<int>(filter.size());
  for (int c : {hint_, hint_ + 1, hint_ - 1})
    if (c >= 0 && c < n && filter[static_cast<size_t>(c)] == address) return c;
  if (query_active_) {
    // Address order.
    auto it = std::lower_bound(filter.begin(), filter.end(), address);
    return it != filter.end() && *it == address ? static_cast<int>(it - filter.begin()) : -1;
  }
  if (!filter_sorted_) {
    // By address, for the records a walk does not reach step by step.
    filter_sorted_ = true;
    filter_index_.reserve(filter.size());
    for (size_t i = 0; i < filter.size(); ++i) filter_index_.emplace_back(filter[i], static_cast<int>(i));
    std::sort(filter_index_.begin(), filter_index_.end());
  }
  return Lookup(filter_index_, address);
}

const std::vector<uint32_t>* TFilterMgr::GetCurrentFilterList() {
  if (!evaluator_) return nullptr;
  PlaceInBaseOrder();
  return &evaluator_->Result;
}

bool TFilterMgr::InFilterList(uint32_t address) {
  RequireEvaluator();
  return open_ && FilterPosition(address) >= 0;
}

bool TFilterMgr::InMasterList(uint32_t address) {
  RequireEvaluator();
  return MasterPosition(address) >= 0;
}

// ---------------------------------------------------------------------------
// TFilterMgr: navigation

uint32_t TFilterMgr::MoveBy(uint32_t address, int n) {
  RequireCurrentFilter();
  const std::vector<uint32_t>& filter = evaluator_->Result;
  const int p = FilterPosition(address);
  if (p < 0) return 0;
  const int size = static_cast<int>(filter.size());
  if (!HasHandler()) {
    const int64_t to = static_cast<int64_t>(p) + n;
    if (to < 0 || to >= size) return 0;
    hint_ = static_cast<int>(to);
    return filter[static_cast<size_t>(to)];
  }
  if (n == 0) return Passes(address) ? address : 0;
  const int step = n > 0 ? 1 : -1;
  int counted = 0;
  for (int i = p + step; i >= 0 && i < size; i += step) {
    if (!Passes(filter[static_cast<size_t>(i)])) continue;
    if (++counted == (n > 0 ? n : -n)) {
      hint_ = i;
      return filter[static_cast<size_t>(i)];
    }
  }
  return 0;
}

uint32_t TFilterMgr::MoveToEnd(bool first) {
  RequireCurrentFilter();
  TTavFilterEvaluator& e = *evaluator_;
  if (!placed_ && !e.BaseListed && !query_active_ && !HasHandler()) {
    // The end record alone, with its record number: the current filter is
    // put in the index's order only when a step asks for a neighbour.
    if (const auto end = e.Provider().Table()->FilterEndRecord(e.Result, first)) {
      end_ = *end;
      return end->first;
    }
  }
  PlaceInBaseOrder();
  const std::vector<uint32_t>& filter = evaluator_->Result;
  if (filter.empty()) return 0;
  const int at = first ? 0 : static_cast<int>(filter.size()) - 1;
  const uint32_t address = filter[static_cast<size_t>(at)];
  if (!HasHandler()) {
    hint_ = at;
    return address;
  }
  return FindFilterRecord(address, first ? stGE : stLE);
}

uint32_t TFilterMgr::FindNearest(uint32_t address, bool forward) {
  if (address == 0) return 0;
  return FindFilterRecord(address, forward ? stGE : stLE);
}

uint32_t TFilterMgr::SearchForward(int p) {
  if (query_active_)
    TavDatabaseError(kUnexpectedInternalError, "TFilterMgr.FindFilterRecord",
                     "Error in filter find nearest in active query");
  if (!filter_indexed_) BuildFilterIndex();
  const std::vector<uint32_t>& filter = evaluator_->Result;
  auto it = std::upper_bound(filter_master_pos_.begin(), filter_master_pos_.end(), p);
  for (size_t i = static_cast<size_t>(it - filter_master_pos_.begin()); i < filter.size(); ++i) {
    if (Passes(filter[i])) {
      hint_ = static_cast<int>(i);
      return filter[i];
    }
  }
  return 0;
}

uint32_t TFilterMgr::SearchBackward(int p) {
  if (query_active_)
    TavDatabaseError(kUnexpectedInternalError, "TFilterMgr.FindFilterRecord",
                     "Error in filter find nearest in active query");
  if (!filter_indexed_) BuildFilterIndex();
  const std::vector<uint32_t>& filter = evaluator_->Result;
  auto it = std::lower_bound(filter_master_pos_.begin(), filter_master_pos_.end(), p);
  for (int64_t i = (it - filter_master_pos_.begin()) - 1; i >= 0; --i) {
    if (Passes(filter[static_cast<size_t>(i)])) {
      hint_ = static_cast<int>(i);
      return filter[static_cast<size_t>(i)];
    }
  }
  return 0;
}

uint32_t TFilterMgr::FindFilterRecord(uint32_t address, TIndexSearchType searchType) {
  RequireCurrentFilter();
  PlaceInBaseOrder();
  if (address == 0 || evaluator_->Result.empty()) return 0;
  const int p = query_active_ ? FilterPosition(address) : MasterPosition(address);
  if (p < 0) return 0;
  auto itself = [&] {
    const int at = FilterPosition(address);
    if (at < 0 || !Passes(address)) return false;
    hint_ = at;
    return true;
  };
  switch (searchType) {
    case stLT:
      return SearchBackward(p);
    case stLE:
      return itself() ? address : SearchBackward(p);
    case stEQ:
      return itself() ? address : 0;
    case stGE:
      return itself() ? address : SearchForward(p);
    case stLEG: {
      if (itself()) return address;
      const uint32_t next = SearchForward(p);
      return next != 0 ? next : SearchBackward(p);
    }
    case stGT:
      return SearchForward(p);
  }
  return 0;
}

int32_t TFilterMgr::GetRecNo(uint32_t address) {
  RequireEvaluator();
  if (query_active_) return static_cast<int32_t>(address);
  const int m = MasterPosition(address);
  return m < 0 ? 0 : m;
}

bool TFilterMgr::CheckRecordInFilter(uint32_t address) {
  RequireEvaluator();
  if (!open_) return false;
  if (FilterPosition(address) < 0) return false;
  return Passes(address);
}

int TFilterMgr::GetFilterRecordCount() {
  RequireEvaluator();
  if (!open_) return 0;
  // Every record an index query finds is in every index (a record has keys
  // in all of them or in none): only a range leaves some out. Counting
  // them needs their keys, not their order.
  const std::vector<uint32_t>& filter = evaluator_->Result;
  TTavDataSet& table = *evaluator_->Provider().Table();
  const bool unranged = placed_ || evaluator_->BaseListed || query_active_ || !table.RangeOn();
  std::vector<bool> inRange;
  if (!unranged) table.FilterRecordsInRange(filter, inRange);
  if (unranged && !HasHandler()) return static_cast<int>(filter.size());
  int count = 0;
  for (size_t i = 0; i < filter.size(); ++i)
    if ((unranged || inRange[i]) && Passes(filter[i])) ++count;
  return count;
}

int32_t TFilterMgr::GetBaseRecNo() {
  RequireEvaluator();
  return evaluator_->GetBaseRecNo();
}

}  // namespace tav
