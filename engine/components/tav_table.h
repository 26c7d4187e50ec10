// TTavTable: the component a host program works with one table through. On
// the cursor of TTavBaseTable it chooses the current index (by name or by
// field list), searches by key in the framework's set-key state (SetKey /
// GoToKey, FindKey, FindNearest), limits the cursor to a key range, and
// follows a master dataset as a detail table through a TMasterDataLink,
// filling the link fields of new detail records.
//
// Key and range buffers: SetKey/EditKey edit the find-key buffer,
// SetRangeStart/End and EditRangeStart/End one end of the range; fields
// written in the set-key state land there (TTavBaseTable::GetActiveRecBuf).
// FindKey, FindNearest, SetRange and the detail range enter that state only
// for their own length, held by a guard, so that a value that fails to
// convert leaves the table browsing with no key mode.
//
// Callers must keep:
//  - TableName, DataBase and Memory are set while closed; IndexName and
//    IndexFieldNames given while closed (or loading) take effect on open.
//  - The master data source outlives its link or is cleared first (the
//    link unhooks itself when this table goes).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/components/tav_base_table.h"

namespace host {
class TDataSource;
class TMasterDataLink;
}  // namespace host

namespace tav {

class TRestructureFieldDefs;
class TRestructureIndexDefs;

// What a restructure changes beside the definitions: the auto-increment
// counter, the BLOB block size (64 to 65536) and the sort order, each when
// its flag is set.
struct TRestructureRecord {
  bool ResetAutoIncValue = false;
  int32_t AutoIncResetValue = 0;
  bool ChangeBlobBlockSize = false;
  int32_t BlobBlockSize = 0;
  bool ChangeSortOrder = false;
  TSortOrder SortOrder = soANSI;
};

class TTavTable : public TTavBaseTable {
 public:
  explicit TTavTable(host::TComponent* owner);
  ~TTavTable() override;

  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

  // ---- published properties ----
  bool StoreDefs() const { return store_defs_; }
  void SetStoreDefs(bool value) { store_defs_ = value; }
  // "" while the logical-record-number index is current.
  std::string IndexName() const;
  void SetIndexName(const std::string& value);
  std::string IndexFieldNames() const;
  void SetIndexFieldNames(const std::string& value);
  const std::string& MasterFields() const;
  void SetMasterFields(const std::string& value);
  host::TDataSource* MasterSource() const;
  // A source that follows this table already raises the circular-link error.
  void SetMasterSource(host::TDataSource* value);

  // ---- index information ----
  int GetIndexCount();
  int IndexFieldCount() const;
  host::TField* GetIndexField(int index);

  // ---- key searches ----
  void SetKey();
  void EditKey();
  void CancelKey();
  int KeyFieldCount() const { return key_field_count_; }
  void SetKeyFieldCount(int value);
  bool KeyEditing() const { return key_editing_; }
  bool GoToKey() { return ApplyKey(true); }
  bool ApplyKey(bool exact);
  bool FindKey(const std::vector<host::Variant>& values);
  void FindNearest(const std::vector<host::Variant>& values);

  // ---- ranges ----
  void SetRangeStart();
  void SetRangeEnd();
  void EditRangeStart();
  void EditRangeEnd();
  void ApplyRange();
  void CancelRange();
  void SetRange(const std::vector<host::Variant>& startValues, const std::vector<host::Variant>& endValues);

  // ---- master-detail ----
  host::TMasterDataLink& MasterLink() { return *master_link_; }
  host::TDataSource* GetDataSource() override;
  void GetDetailLinkFields(std::vector<host::TField*>& masterFields,
                           std::vector<host::TField*>& detailFields) override;
  void CheckMasterRange();

  // ---- whole-table operations (tav_table_maintenance.cpp) ----
  // Open table of an exclusive disk connection: every index made again from
  // the records; duplicates left out of the indexes with ignoreDuplicates.
  bool ReIndex(bool ignoreDuplicates);
  // Closed disk table: refilled from a ".tvx" backup of the database.
  bool RebuildTable();
  // Closed disk table, outside a transaction: the layout becomes the one the
  // restructure definitions describe (GetRestructureFieldDefs and
  // GetRestructureIndexDefs, edited by the caller) with `record`'s changes.
  bool RestructureTable(const TRestructureRecord& record);
  // Made on first use from FieldDefs and IndexDefs; freed when the table
  // opens.
  TRestructureFieldDefs& GetRestructureFieldDefs();
  TRestructureIndexDefs& GetRestructureIndexDefs();
  // Open table: appends every record of `source` (browsing), each field
  // from the source field its restructure field definition names.
  void ImportData(host::TDataSet& source);

  // The auto-increment value the next insert would get; nothing is reserved.
  uint32_t NextAutoIncValue();

  void DefChanged(host::TObject* sender) override;
  void UpdateIndexDefs() override;

 protected:
  void Loaded() override;
  void DoOnNewRecord() override;
  void InternalOpen() override;
  void InternalInitFieldDefs() override;
  void InternalCheckMasterRange() override;
  // Leaving the set-key state by any way (post, cancel, close) ends the
  // key editing.
  void SetState(host::TDataSetState value) override;

 private:
  friend class TKeyStateGuard;
  // Enters the set-key state for editing one buffer: `range` picks a range
  // end, `clear` initialises that buffer empty first.
  void BeginKeyEdit(bool range, TRangeMode mode, bool clear);
  // The find-key buffer (the host buffer the set-key state edits with kmFind).
  host::TRecordBuffer FindKeyBuffer();
  // Assigns values to the current index's fields in order; the number
  // assigned.
  int SetKeyFields(const std::vector<host::Variant>& values);
  // The current index's fields, named by its definition (9997 without one).
  void GetIndexFieldList(std::vector<host::TField*>& list);
  // FindKey and FindNearest: the values into the find-key buffer, then the
  // search.
  bool SearchValues(const std::vector<host::Variant>& values, bool nearest);
  // Searches the find-key buffer; on success the cursor moves to the record.
  bool SearchKey(TIndexSearchType searchType, int includedCount, bool nearest);
  void SetDetailLinkRange(const std::vector<host::TField*>& masterFields);
  void MasterChanged();
  void MasterDisabled();
  bool Opening() const { return State() == host::dsOpening; }

  void FreeRestructureDefs();

  std::unique_ptr<host::TMasterDataLink> master_link_;
  std::unique_ptr<TRestructureFieldDefs> restructure_field_defs_;
  std::unique_ptr<TRestructureIndexDefs> restructure_index_defs_;
  // The IndexName given last; the open cursor's current index is the base's.
  std::string index_name_;
  // IndexFieldNames given while closed or loading.
  std::string pending_index_field_names_;
  int key_field_count_ = 0;
  bool store_defs_ = false;
  bool key_editing_ = false;
  // Definitions filled from the table, not changed by the program.
  int filling_defs_ = 0;
};

}  // namespace tav
