// TDataSource and the data links: how datasets tell those that follow them of
// their changes. A dataset sends each data event to its data sources, a
// source to its links; a link is active while its source is enabled and its
// dataset open. A dataset's ring holds as many buffers as its busiest link
// asks for (TDataLink::BufferCount).
//
// TMasterDataLink lets a detail dataset follow a master: it resolves its
// field names through the master's GetFieldList and calls OnMasterChange when
// the master moves to another record or one of those fields changes, and
// OnMasterDisable when the master closes. Before the master moves it asks the
// detail to leave edit mode (CheckBrowseMode), so a pending detail edit is
// posted first.
//
// Callers must keep: links and sources are borrowed both ways; each end
// unhooks itself when it is freed (a link from its source, a source from
// its dataset, a dataset from its sources).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/classes/component.h"
#include "host/db/data_set.h"
#include "host/rtl/string_list.h"

namespace host {

class TDataLink;

class TDataSource : public TComponent {
 public:
  explicit TDataSource(TComponent* owner);
  ~TDataSource() override;

  TDataSet* DataSet() const { return data_set_; }
  // A dataset that follows this source already (through the masters' data
  // sources) raises the circular-link error.
  void SetDataSet(TDataSet* value);
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool value);
  bool AutoEdit() const { return auto_edit_; }
  void SetAutoEdit(bool value) { auto_edit_ = value; }
  TDataSetState State() const { return state_; }
  // Whether `dataSet` follows this source, directly or through its masters.
  bool IsLinkedTo(TDataSet* dataSet) const;
  // Puts the dataset in edit mode when AutoEdit allows.
  void Edit();
  int DataLinkCount() const { return static_cast<int>(data_links_.size()); }

  TNotifyEvent OnStateChange;
  std::function<void(TDataSource* sender, TField* field)> OnDataChange;
  TNotifyEvent OnUpdateData;

 protected:
  void Notification(TComponent* component, TOperation operation) override;

 private:
  friend class TDataSet;
  friend class TDataLink;
  void DataEvent(TDataEvent event, intptr_t info);
  void NotifyDataLinks(TDataEvent event, intptr_t info);
  void SetState(TDataSetState value);
  void AddDataLink(TDataLink* link);
  void RemoveDataLink(TDataLink* link);

  TDataSet* data_set_ = nullptr;
  bool enabled_ = true;
  bool auto_edit_ = true;
  TDataSetState state_ = dsInactive;
  std::vector<TDataLink*> data_links_;  // borrowed
};

class TDataLink : public TPersistent {
 public:
  TDataLink() = default;
  TDataLink(const TDataLink&) = delete;
  TDataLink& operator=(const TDataLink&) = delete;
  ~TDataLink() override;

  TDataSource* DataSource() const { return data_source_; }
  void SetDataSource(TDataSource* value);
  TDataSet* DataSet() const { return data_source_ ? data_source_->DataSet() : nullptr; }
  bool Active() const { return active_; }
  int BufferCount() const { return buffer_count_; }
  // The number of records this link looks at; the dataset's ring grows to
  // the largest count of its links.
  void SetBufferCount(int value);
  bool ReadOnly() const { return read_only_; }
  void SetReadOnly(bool value) { read_only_ = value; }
  bool Edit();
  void UpdateRecord();

 protected:
  friend class TDataSource;
  // Overridable notices, one per kind of data event.
  virtual void ActiveChanged() {}
  virtual void CheckBrowseMode() {}
  virtual void DataSetChanged() { RecordChanged(nullptr); }
  virtual void DataSetScrolled(int distance) {
    (void)distance;
    DataSetChanged();
  }
  virtual void EditingChanged() {}
  virtual void LayoutChanged() { DataSetChanged(); }
  virtual void RecordChanged(TField* field) { (void)field; }
  virtual void UpdateData() {}
  virtual void FocusControl(TField* field) { (void)field; }
  virtual void DataEvent(TDataEvent event, intptr_t info);

 private:
  void UpdateState();
  void SetActive(bool value);
  TDataSource* data_source_ = nullptr;
  bool active_ = false;
  bool editing_ = false;
  bool updating_ = false;
  bool read_only_ = false;
  int buffer_count_ = 1;
};

// A link through which a dataset follows a master: GetDetailDataSet names the
// following dataset, so that circular links can be found.
class TDetailDataLink : public TDataLink {
 public:
  virtual TDataSet* GetDetailDataSet() { return nullptr; }
};

class TMasterDataLink : public TDetailDataLink {
 public:
  // `dataSet` is the detail; it outlives the link (it owns it).
  explicit TMasterDataLink(TDataSet* dataSet) : data_set_(dataSet) {}

  const std::string& FieldNames() const { return field_names_; }
  void SetFieldNames(const std::string& value);
  // The master's fields named by FieldNames (resolved while active).
  const std::vector<TField*>& Fields() const { return fields_; }
  TDataSet* GetDetailDataSet() override { return data_set_; }

  std::function<void(TMasterDataLink* sender)> OnMasterChange;
  std::function<void(TMasterDataLink* sender)> OnMasterDisable;

 protected:
  void ActiveChanged() override;
  void CheckBrowseMode() override;
  void LayoutChanged() override { ActiveChanged(); }
  void RecordChanged(TField* field) override;

 private:
  TDataSet* data_set_;
  std::string field_names_;
  std::vector<TField*> fields_;
};

}  // namespace host
