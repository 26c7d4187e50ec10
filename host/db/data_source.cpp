#include "host/db/data_source.h"

#include <algorithm>

#include "host/db/db_common.h"
#include "host/db/fields.h"

namespace host {

// ---- TDataSource ----

TDataSource::TDataSource(TComponent* owner) : TComponent(owner) {}

TDataSource::~TDataSource() {
  Destroying();
  while (!data_links_.empty()) data_links_.back()->SetDataSource(nullptr);
  SetDataSet(nullptr);
}

bool TDataSource::IsLinkedTo(TDataSet* dataSet) const {
  int guard = 0;
  while (dataSet) {
    TDataSource* source = dataSet->GetDataSource();
    if (!source) break;
    if (source == this) return true;
    dataSet = source->DataSet();
    TAV_ASSERT(++guard < 100000, "Data source chain does not end");
  }
  return false;
}

void TDataSource::SetDataSet(TDataSet* value) {
  if (value == data_set_) return;
  if (value && IsLinkedTo(value)) DatabaseError(SCircularDataLink, this);
  if (data_set_) {
    data_set_->RemoveDataSource(this);
    data_set_->RemoveFreeNotification(this);
  }
  data_set_ = value;
  if (data_set_) {
    data_set_->FreeNotification(this);
    data_set_->AddDataSource(this);
  }
  SetState(data_set_ && enabled_ ? data_set_->State() : dsInactive);
}

void TDataSource::Notification(TComponent* component, TOperation operation) {
  TComponent::Notification(component, operation);
  // The dataset drops its sources itself when it goes; this only forgets it.
  if (operation == opRemove && component == data_set_) {
    data_set_ = nullptr;
    SetState(dsInactive);
  }
}

void TDataSource::SetEnabled(bool value) {
  enabled_ = value;
  SetState(data_set_ && enabled_ ? data_set_->State() : dsInactive);
}

void TDataSource::Edit() {
  if (auto_edit_ && state_ == dsBrowse) data_set_->Edit();
}

void TDataSource::SetState(TDataSetState value) {
  if (state_ == value) return;
  TDataSetState prior = state_;
  state_ = value;
  NotifyDataLinks(deUpdateState, prior);
  if (!(ComponentState() & csDestroying) && OnStateChange) OnStateChange(this);
}

void TDataSource::AddDataLink(TDataLink* link) {
  data_links_.push_back(link);
  if (data_set_) data_set_->UpdateBufferCount();
}

void TDataSource::RemoveDataLink(TDataLink* link) {
  auto it = std::find(data_links_.begin(), data_links_.end(), link);
  if (it != data_links_.end()) data_links_.erase(it);
  if (data_set_) data_set_->UpdateBufferCount();
}

void TDataSource::NotifyDataLinks(TDataEvent event, intptr_t info) {
  // A link may leave while it is told (its handler frees or moves it).
  std::vector<TDataLink*> links = data_links_;
  for (TDataLink* link : links)
    if (std::find(data_links_.begin(), data_links_.end(), link) != data_links_.end())
      link->DataEvent(event, info);
}

void TDataSource::DataEvent(TDataEvent event, intptr_t info) {
  if (event == deUpdateState) {
    SetState(enabled_ && data_set_ ? data_set_->State() : dsInactive);
    return;
  }
  if (!enabled_ || state_ == dsInactive) return;
  NotifyDataLinks(event, info);
  switch (event) {
    case deFieldChange:
    case deRecordChange:
    case deDataSetChange:
    case deDataSetScroll:
    case deLayoutChange:
      if (OnDataChange)
        OnDataChange(this, event == deFieldChange ? reinterpret_cast<TField*>(info) : nullptr);
      break;
    case deUpdateRecord:
      if (OnUpdateData) OnUpdateData(this);
      break;
    default:
      break;
  }
}

// ---- TDataLink ----

TDataLink::~TDataLink() {
  if (data_source_) data_source_->RemoveDataLink(this);
  data_source_ = nullptr;
}

void TDataLink::SetDataSource(TDataSource* value) {
  if (value == data_source_) return;
  if (data_source_) data_source_->RemoveDataLink(this);
  data_source_ = value;
  if (data_source_) data_source_->AddDataLink(this);
  UpdateState();
}

void TDataLink::SetBufferCount(int value) {
  value = std::clamp(value, 1, TDataSet::MaxBufferCount);
  if (buffer_count_ == value) return;
  buffer_count_ = value;
  if (TDataSet* ds = DataSet()) ds->UpdateBufferCount();
}

void TDataLink::UpdateState() {
  SetActive(data_source_ && data_source_->Enabled() && data_source_->State() != dsInactive);
}

void TDataLink::SetActive(bool value) {
  if (active_ == value) return;
  active_ = value;
  ActiveChanged();
}

bool TDataLink::Edit() {
  if (!read_only_ && data_source_) data_source_->Edit();
  return editing_;
}

void TDataLink::UpdateRecord() {
  updating_ = true;
  try {
    UpdateData();
  } catch (...) {
    updating_ = false;
    throw;
  }
  updating_ = false;
}

void TDataLink::DataEvent(TDataEvent event, intptr_t info) {
  if (event == deUpdateState) {
    UpdateState();
    bool editing =
        active_ && (data_source_->State() == dsEdit || data_source_->State() == dsInsert);
    if (editing != editing_) {
      editing_ = editing;
      EditingChanged();
    }
    return;
  }
  if (!active_) return;
  switch (event) {
    case deFieldChange:
    case deRecordChange:
      if (!updating_) RecordChanged(reinterpret_cast<TField*>(info));
      break;
    case deDataSetChange:
      DataSetChanged();
      break;
    case deDataSetScroll:
      DataSetScrolled(static_cast<int>(info));
      break;
    case deLayoutChange:
      LayoutChanged();
      break;
    case deUpdateRecord:
      UpdateRecord();
      break;
    case deCheckBrowseMode:
      CheckBrowseMode();
      break;
    case deFocusControl:
      FocusControl(reinterpret_cast<TField*>(info));
      break;
    default:
      break;
  }
}

// ---- TMasterDataLink ----

void TMasterDataLink::SetFieldNames(const std::string& value) {
  if (field_names_ == value) return;
  field_names_ = value;
  ActiveChanged();
}

void TMasterDataLink::ActiveChanged() {
  fields_.clear();
  if (Active()) {
    try {
      DataSet()->GetFieldList(fields_, field_names_);
    } catch (...) {
      fields_.clear();
      throw;
    }
  }
  if (data_set_->Active() && !(data_set_->ComponentState() & csDestroying)) {
    if (Active() && !fields_.empty()) {
      if (OnMasterChange) OnMasterChange(this);
    } else if (OnMasterDisable) {
      OnMasterDisable(this);
    }
  }
}

void TMasterDataLink::CheckBrowseMode() {
  if (data_set_->Active()) data_set_->CheckBrowseMode();
}

void TMasterDataLink::RecordChanged(TField* field) {
  if (DataSource()->State() == dsSetKey || !data_set_->Active() || fields_.empty()) return;
  if (field && std::find(fields_.begin(), fields_.end(), field) == fields_.end()) return;
  if (OnMasterChange) OnMasterChange(this);
}

}  // namespace host
