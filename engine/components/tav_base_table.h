// TTavBaseTable: the host dataset over one table. It implements the dataset
// framework's record-buffer protocol on the cursor of TTavDataSet: host
// record buffers, bookmarks, fetching by position marker, field data with
// the host's date and time forms, edit with its record lock, post, delete,
// cancel, locate and lookup, BLOB streams and the BLOB cache, and the host's
// filter properties on the cursor's filter (tav_base_table_filters.cpp). The
// table component and the query datasets derive from it.
//
// Host record buffer, laid out at open:
//   engine record buffer (RecordBufferSize bytes, position information
//   included), one spare byte, the calculated fields (a has-value byte and
//   the data each), then 16 bytes of record information: byte 4 the
//   TRecordBufferStatus, byte 5 the bookmark flag.
//
// Callers must keep:
//  - DataBase, TableName, Memory and the other shaping properties are set
//    while closed; CreateTable needs FieldDefs and IndexDefs and a closed
//    dataset.
//  - An edit holds the record lock of the edited record until post, cancel
//    or close.
//  - A BLOB stream from CreateBlobStream lives no longer than the record it
//    was made on stays active.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/components/tav_data_set.h"

namespace tav {

class TBlobStream;

inline constexpr char kTavBaseTableVersion[] = "1.41.02";

class TTavBaseTable : public TTavDataSet {
 public:
  explicit TTavBaseTable(host::TComponent* owner);
  ~TTavBaseTable() override;

  using host::TDataSet::GetFieldData;
  using host::TDataSet::SetFieldData;

  std::string Version() const { return kTavBaseTableVersion; }
  TKeyMode KeyMode() const { return key_mode_; }
  void SetKeyMode(TKeyMode value) { key_mode_ = value; }
  TRangeMode RangeMode() const { return range_mode_; }
  void SetRangeMode(TRangeMode value) { range_mode_ = value; }
  bool BlobCacheOn() const { return blob_cache_on_; }
  void SetBlobCacheOn(bool value) { blob_cache_on_ = value; }

  // ---- the table ----
  // Builds the table from FieldDefs and IndexDefs; the dataset must be
  // closed.
  void CreateTable();
  // Removes every record; the cursor moves to the (empty) start.
  void EmptyTable();
  // Posts a pending edit or insert.
  void Flush();
  // Posts the active buffer without the host's checks and without a lock of
  // its own.
  void SilentPost();
  // A table read or write lock is held; setting takes or gives back the
  // write lock.
  bool Locked() const { return ReadLocked() || WriteLocked(); }
  void SetLocked(bool value);

  // ---- host overrides ----
  bool GetFieldData(host::TField* field, void* buffer) override;
  void SetFieldData(host::TField* field, const void* buffer) override;
  std::unique_ptr<host::TStream> CreateBlobStream(host::TField* field, host::TBlobStreamMode mode) override;
  bool GetCurrentRecord(host::TRecordBuffer buffer) override;
  bool Locate(const std::string& keyFields, const host::Variant& keyValues,
              host::TLocateOptions options) override;
  host::Variant Lookup(const std::string& keyFields, const host::Variant& keyValues,
                       const std::string& resultFields) override;
  int GetRecordCount() override;
  int GetRecNo() override;
  void SetRecNo(int value) override;
  bool BookmarkValid(const host::TBookmark& bookmark) override;
  void UpdateIndexDefs() override;

  // ---- filters (tav_base_table_filters.cpp) ----
  // While open each setter applies the filter at once (a text that does not
  // parse raises 10051 and leaves the dataset as it was) and moves to the
  // first record; while closed it only stores.
  void SetFiltered(bool value) override;
  void SetFilterText(const std::string& value) override;
  void SetFilterOptions(host::TFilterOptions value) override;
  void SetOnFilterRecord(const host::TFilterRecordEvent& value) override;
  // The next (previous) record that passes the filter, which is applied for
  // the search when the dataset is not filtered.
  bool FindRecord(bool restart, bool goForward) override;
  // Filters by a parsed condition (joined by AND to the one held, unless
  // `replace`); `excludeNulls` runs it with the SQL null rules and the
  // query's address order. Then the first record.
  void AssignFilterExpr(const TTavExpr* expression, bool replace, bool excludeNulls);
  // OnFilterRecord's verdict on a record image, asked in the filter state.
  bool RecordProcFilter(const uint8_t* record) override;

  // The host buffer field access uses in the current state (null for none).
  host::TRecordBuffer GetActiveRecBuf();
  TRecordBufferStatus GetRecordStatus(host::TRecordBuffer buffer) const;
  void SetRecordStatus(host::TRecordBuffer buffer, TRecordBufferStatus value) const;
  int GetInternalBufferCount() const { return Active() ? BufferCount() : 0; }
  int HostBufferSize() const { return host_buffer_size_; }

  // Chooses the index that serves a locate over `fields`: the one whose
  // leading fields match the most located fields in order. True when one
  // matched at least one.
  bool MapFieldsToIndex(const std::vector<host::TField*>& fields, const host::TIndexDefs& indexDefs,
                        host::TLocateOptions options, std::string& indexName, int& indexFieldCount,
                        int& matchCount);
  bool LocateRecord(const std::string& keyFields, const host::Variant& keyValues,
                    host::TLocateOptions options, bool syncCursor);

 protected:
  friend class TBlobStream;

  host::TRecordBufferPtr AllocRecordBuffer() override;
  host::TGetResult GetRecord(host::TRecordBuffer buffer, host::TGetMode getMode, bool doCheck) override;
  int GetRecordSize() override { return RecordBufferSize(); }
  void GetBookmarkData(host::TRecordBuffer buffer, void* data) override;
  void SetBookmarkData(host::TRecordBuffer buffer, const void* data) override;
  host::TBookmarkFlag GetBookmarkFlag(host::TRecordBuffer buffer) override;
  void SetBookmarkFlag(host::TRecordBuffer buffer, host::TBookmarkFlag value) override;
  void InternalGotoBookmark(const void* bookmark) override;
  void InternalSetToRecord(host::TRecordBuffer buffer) override;
  void InternalOpen() override;
  void InternalClose() override;
  bool IsCursorOpen() override { return cursor_open_; }
  void InternalInitFieldDefs() override;
  void InternalFirst() override { marker_ = tpAtFirst; }
  void InternalLast() override { marker_ = tpAtLast; }
  void InternalInitRecord(host::TRecordBuffer buffer) override;
  void InternalAddRecord(host::TRecordBuffer buffer, bool append) override;
  void InternalPost() override;
  void InternalEdit() override;
  void InternalInsert() override;
  void InternalCancel() override;
  void InternalDelete() override;
  void InternalRefresh() override;
  void InternalHandleException() override;
  void ClearCalcFields(host::TRecordBuffer buffer) override;
  bool GetCanModify() override;
  void Notification(host::TComponent* component, host::TOperation operation) override;

  // Called by the first GetRecord after open; the table component ranges
  // the cursor on its master here.
  virtual void InternalCheckMasterRange() {}
  // Builds the filter of a filtered dataset before the first fetch.
  virtual void InternalPrepareFilter();
  // Checks and builds the table definition for CreateTable.
  void InternalPrepareTableDef();
  // 10624 when the user may not read a key field of index `indexName`: a
  // key search or range over it would select by the field's values.
  void CheckIndexReadPrivilege(const std::string& indexName);

 private:
  // The active buffer into the engine buffer, then add or update.
  void PostActiveBuffer();
  void ReleaseEditLock();
  // A BLOB field's written mark lasts one edit or insert.
  void ResetBlobFieldsModified();
  uint32_t BufferAddress(const uint8_t* buffer) const { return PosAddress(buffer); }
  // 10624 when the user may not read field `fieldNo` (0-based) of a user
  // table.
  void CheckFieldReadPrivilege(int fieldNo);
  void CheckFieldReadPrivilege(const TInternalFieldItem& field);
  // Whether the user may read the field (any field of an internal table).
  bool FieldReadable(const TInternalFieldItem& field);

  bool cursor_open_ = false;
  bool can_modify_ = false;
  bool prepare_filter_ = false;
  bool blob_cache_on_ = true;
  // The host checks required fields inside InternalPost.
  bool checking_required_fields_ = false;
  // Some field is a BLOB field (fields change only while closed).
  bool has_blob_fields_ = false;
  TPositionMarker marker_ = tpAtFirst;
  TKeyMode key_mode_ = kmNone;
  TRangeMode range_mode_ = rmRangeStart;
  int calc_fields_offset_ = 0;
  int rec_info_offset_ = 0;
  int host_buffer_size_ = 0;
  // The record locked by the edit in progress (0 = none).
  uint32_t edit_lock_address_ = 0;
  std::vector<uint8_t> key_buffer_;     // kmFind keys
  std::vector<uint8_t> filter_buffer_;  // filter state, locate values, defaults
  std::vector<uint8_t> work_buffer_;    // a located record
};

}  // namespace tav
