// TTavBaseTable's filter members: the host's Filter, Filtered, FilterOptions
// and OnFilterRecord applied to the cursor's filter manager, FindFirst to
// FindLast, and conditions handed over already parsed.
#include <algorithm>
#include <cstring>

#include "engine/components/tav_base_table.h"

namespace tav {

namespace {
// Applies the dataset's filter for one search and takes it off again.
class TTemporaryFilter {
 public:
  explicit TTemporaryFilter(TTavBaseTable& ds) : ds_(ds) { ds_.InternalSetFilter(ds_.Filter(), ds_.FilterOptions()); }
  ~TTemporaryFilter() { ds_.InternalClearFilter(); }
  TTemporaryFilter(const TTemporaryFilter&) = delete;
  TTemporaryFilter& operator=(const TTemporaryFilter&) = delete;

 private:
  TTavBaseTable& ds_;
};
}  // namespace

void TTavBaseTable::SetFiltered(bool value) {
  if (value == Filtered()) return;
  if (!Active()) {
    host::TDataSet::SetFiltered(value);
    return;
  }
  CheckBrowseMode();
  if (value)
    InternalSetFilter(Filter(), FilterOptions());
  else
    InternalClearFilter();
  host::TDataSet::SetFiltered(value);
  First();
}

void TTavBaseTable::SetFilterText(const std::string& value) {
  if (value == Filter()) return;
  if (!Active() || !Filtered()) {
    host::TDataSet::SetFilterText(value);
    return;
  }
  CheckBrowseMode();
  InternalSetFilter(value, FilterOptions());
  host::TDataSet::SetFilterText(value);
  First();
}

void TTavBaseTable::SetFilterOptions(host::TFilterOptions value) {
  if (value == FilterOptions()) return;
  if (!Active() || !Filtered()) {
    host::TDataSet::SetFilterOptions(value);
    return;
  }
  CheckBrowseMode();
  InternalSetFilter(Filter(), value);
  host::TDataSet::SetFilterOptions(value);
  First();
}

void TTavBaseTable::SetOnFilterRecord(const host::TFilterRecordEvent& value) {
  if (!Active() || !Filtered()) {
    host::TDataSet::SetOnFilterRecord(value);
    return;
  }
  CheckBrowseMode();
  // The filter learns at its build whether there is a handler to ask.
  const host::TFilterRecordEvent previous = OnFilterRecord();
  host::TDataSet::SetOnFilterRecord(value);
  try {
    InternalSetFilter(Filter(), FilterOptions());
  } catch (...) {
    host::TDataSet::SetOnFilterRecord(previous);
    throw;
  }
  First();
}

void TTavBaseTable::InternalPrepareFilter() { InternalSetFilter(Filter(), FilterOptions()); }

bool TTavBaseTable::RecordProcFilter(const uint8_t* record) {
  const host::TFilterRecordEvent& handler = OnFilterRecord();
  if (!handler) return true;
  host::TTempStateGuard state(*this, host::dsFilter);
  std::fill(filter_buffer_.begin(), filter_buffer_.end(), 0);
  std::memcpy(filter_buffer_.data(), record, static_cast<size_t>(RecordSize()));
  bool accept = true;
  handler(this, accept);
  return accept;
}

bool TTavBaseTable::FindRecord(bool restart, bool goForward) {
  CheckBrowseMode();
  DoBeforeScroll();
  SetFound(false);
  UpdateCursorPos();
  CursorPosChanged();
  bool found;
  {
    std::unique_ptr<TTemporaryFilter> temporary;
    if (!Filtered()) temporary = std::make_unique<TTemporaryFilter>(*this);
    if (goForward)
      found = restart ? DataSetFirst() : DataSetNext();
    else
      found = restart ? DataSetLast() : DataSetPrior();
  }
  if (!found) return false;
  marker_ = tpInTableValid;
  Resync({});
  DoAfterScroll();
  SetFound(true);
  return true;
}

void TTavBaseTable::AssignFilterExpr(const TTavExpr* expression, bool replace, bool excludeNulls) {
  FilterMgr().SetExcludeRelopNulls(excludeNulls);
  if (excludeNulls) FilterMgr().SetQueryActive(true);
  InternalAssignFilterExpr(expression, replace);
  First();
}

}  // namespace tav
