// TDataSet: the dataset framework's base class. It runs the state machine
// (inactive, browse, edit, insert, set-key, calc-fields, filter, new-value,
// opening), the ring of record buffers that data links look through, the
// field objects and their binding, and the before/after events. A descendant
// supplies the cursor through the record-buffer protocol below and never
// moves buffers itself:
//
//  - AllocRecordBuffer/FreeRecordBuffer make and free one record buffer; the
//    ring asks for BufferCount + 1 of them after InternalOpen, so a buffer
//    size worked out in InternalOpen is in force.
//  - GetRecord(buffer, gmCurrent/gmNext/gmPrior) fills a buffer with the
//    record at, after or before the cursor and moves the cursor there. After
//    InternalFirst, gmNext yields the first record; after InternalLast, gmPrior
//    the last. The ring fetches through nothing else.
//  - Bookmarks are BookmarkSize opaque bytes kept in each buffer
//    (GetBookmarkData/SetBookmarkData) beside a TBookmarkFlag.
//  - GetFieldData/SetFieldData move one field between the active buffer (as
//    the state chooses it) and a field buffer in the formats fields.h states;
//    a null field buffer asks "has it a value?" on read and means "make it
//    null" on write.
//  - InternalOpen initialises FieldDefs, makes default fields when
//    DefaultFields, binds the fields (BindFields) and sets BookmarkSize;
//    InternalClose unbinds them and destroys default fields.
//
// Callers must keep: a descendant whose close needs its own members calls
// Close() in its own destructor (the base destructor can only free the ring).
// Temporary states (SetTempState) are held by TTempStateGuard, and
// DisableControls by TDisableControlsGuard, so an error restores them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/classes/component.h"
#include "host/db/db_common.h"
#include "host/db/enum_set.h"
#include "host/db/field_defs.h"
#include "host/db/index_defs.h"
#include "host/rtl/streams.h"
#include "host/rtl/variant.h"

namespace host {

class TField;
class TDataSource;
class TDataSet;

enum TDataSetState {
  dsInactive,
  dsBrowse,
  dsEdit,
  dsInsert,
  dsSetKey,
  dsCalcFields,
  dsFilter,
  dsNewValue,
  dsOpening,
};

enum TGetMode { gmCurrent, gmNext, gmPrior };
enum TGetResult { grOK, grBOF, grEOF, grError };
enum TBookmarkFlag { bfCurrent, bfBOF, bfEOF, bfInserted };

enum TDataEvent {
  deFieldChange,
  deRecordChange,
  deDataSetChange,
  deDataSetScroll,
  deLayoutChange,
  deUpdateRecord,
  deUpdateState,
  deCheckBrowseMode,
  dePropertyChange,
  deFieldListChange,
  deFocusControl,
};

enum TDataAction { daFail, daAbort, daRetry };

enum TResyncModeFlag : unsigned char { rmExact, rmCenter };
using TResyncMode = TEnumSet<TResyncModeFlag>;

enum TLocateOption : unsigned char { loCaseInsensitive, loPartialKey };
using TLocateOptions = TEnumSet<TLocateOption>;

enum TFilterOption : unsigned char { foCaseInsensitive, foNoPartialCompare };
using TFilterOptions = TEnumSet<TFilterOption>;

enum TBlobStreamMode { bmRead, bmWrite, bmReadWrite };

// A record buffer: a descendant's bytes, owned by the ring.
using TRecordBuffer = uint8_t*;
using TRecordBufferPtr = std::unique_ptr<uint8_t[]>;
// A bookmark: BookmarkSize opaque bytes; empty for none.
using TBookmark = std::vector<uint8_t>;

using TDataSetNotifyEvent = std::function<void(TDataSet* dataSet)>;
using TDataSetErrorEvent =
    std::function<void(TDataSet* dataSet, EDatabaseError& error, TDataAction& action)>;
using TFilterRecordEvent = std::function<void(TDataSet* dataSet, bool& accept)>;
using TExceptionHandler = std::function<void(TObject* sender, std::exception& error)>;

// The application's handler of exceptions that a component catches and cannot
// pass on (InternalHandleException hands them here). Without one they are
// dropped.
extern TExceptionHandler ApplicationHandleException;

class TDataSet : public TComponent {
 public:
  static constexpr int MaxBufferCount = 1024;

  explicit TDataSet(TComponent* owner);
  ~TDataSet() override;

  // ---- state ----
  TDataSetState State() const { return state_; }
  bool Active() const { return state_ != dsInactive && state_ != dsOpening; }
  void SetActive(bool value);
  void Open() { SetActive(true); }
  void Close() { SetActive(false); }
  bool Modified() const { return modified_; }
  bool BOF() const { return bof_; }
  bool Eof() const { return eof_; }
  bool IsEmpty() const { return active_record_ < 0 || record_count_ == 0; }
  bool CanModify() { return GetCanModify(); }
  bool DefaultFields() const { return default_fields_; }
  bool Found() const { return found_; }

  void CheckActive() const;
  void CheckInactive() const;
  virtual void CheckBrowseMode();

  // Sets the state for the length of an internal step without telling data
  // links; returns the state to restore. Prefer TTempStateGuard.
  TDataSetState SetTempState(TDataSetState value);
  void RestoreState(TDataSetState value);

  // ---- navigation ----
  void First();
  void Last();
  void Next() { MoveBy(1); }
  void Prior() { MoveBy(-1); }
  int MoveBy(int distance);
  virtual void Refresh();
  virtual void Resync(TResyncMode mode);
  virtual bool FindRecord(bool restart, bool goForward);
  bool FindFirst() { return FindRecord(true, true); }
  bool FindNext() { return FindRecord(false, true); }
  bool FindPrior() { return FindRecord(false, false); }
  bool FindLast() { return FindRecord(true, false); }
  virtual bool Locate(const std::string& keyFields, const Variant& keyValues,
                      TLocateOptions options);
  virtual Variant Lookup(const std::string& keyFields, const Variant& keyValues,
                         const std::string& resultFields);
  virtual int GetRecordCount();
  int RecordCount() { return GetRecordCount(); }
  virtual int GetRecNo();
  virtual void SetRecNo(int value);
  int RecNo() { return GetRecNo(); }
  virtual bool IsSequenced();

  // ---- bookmarks ----
  TBookmark GetBookmark();
  void GotoBookmark(const TBookmark& bookmark);
  virtual bool BookmarkValid(const TBookmark& bookmark);
  // 0 when both are the same bookmark (or both empty), else 1: bookmarks are
  // not ordered.
  virtual int CompareBookmarks(const TBookmark& bookmark1, const TBookmark& bookmark2);
  int BookmarkSize() const { return bookmark_size_; }

  // ---- record changes ----
  void Edit();
  void Insert();
  void Append();
  // In set-key state the base ends key editing; a table overrides Post to
  // take the key it was given.
  virtual void Post();
  virtual void Cancel();
  virtual void Delete();
  void AppendRecord(const std::vector<Variant>& values);
  void InsertRecord(const std::vector<Variant>& values);
  // Assigns values to the fields in order; a Null or Empty value clears.
  void SetFields(const std::vector<Variant>& values);
  void UpdateRecord();
  void ClearFields();

  // ---- fields ----
  TFieldDefs& FieldDefs() { return field_defs_; }
  TIndexDefs& IndexDefs() { return index_defs_; }
  int FieldCount() const { return static_cast<int>(fields_.size()); }
  TField* Fields(int index) const;
  TField* FindField(std::string_view fieldName) const;
  // Raises EDatabaseError "<dataset>: Field '<name>' not found".
  TField* FieldByName(const std::string& fieldName) const;
  TField* FieldByNumber(int fieldNo) const;
  // The fields named in `fieldNames` (separated by ';'); a missing name raises.
  void GetFieldList(std::vector<TField*>& list, const std::string& fieldNames) const;
  void GetFieldNames(std::vector<std::string>& list);
  // One field's value, or an array of values for several names.
  Variant FieldValues(const std::string& fieldNames) const;
  void SetFieldValues(const std::string& fieldNames, const Variant& values);
  void InitFieldDefs();
  virtual void UpdateIndexDefs() {}
  // Told by FieldDefs and IndexDefs when they change from outside.
  virtual void DefChanged(TObject* sender) { (void)sender; }

  // ---- data links ----
  virtual TDataSource* GetDataSource() { return nullptr; }
  // The master's fields and this dataset's fields they are linked to; the
  // base has no master and clears both.
  virtual void GetDetailLinkFields(std::vector<TField*>& masterFields,
                                   std::vector<TField*>& detailFields) {
    masterFields.clear();
    detailFields.clear();
  }
  bool IsLinkedTo(TDataSource* dataSource);
  void DisableControls();
  void EnableControls();
  bool ControlsDisabled() const { return disable_count_ != 0; }
  int DataSourceCount() const { return static_cast<int>(data_sources_.size()); }

  // ---- buffers as seen by links and field access ----
  int BufferCount() const { return buffer_count_; }
  int ActiveRecord() const { return active_record_; }
  int BufferRecordCount() const { return record_count_; }
  TRecordBuffer ActiveBuffer() const;
  TRecordBuffer CalcBuffer() const { return calc_buffer_; }
  int CalcFieldsSize() const { return calc_fields_size_; }
  void CursorPosChanged() { current_record_ = -1; }
  void UpdateCursorPos();
  virtual bool GetCurrentRecord(TRecordBuffer buffer);

  // ---- field data ----
  virtual bool GetFieldData(TField* field, void* buffer);
  virtual void SetFieldData(TField* field, const void* buffer);
  // With nativeFormat False the field buffer is in the form DataConvert
  // handles (a std::u16string for a wide-string field). A descendant that
  // overrides the two-argument forms adds `using TDataSet::GetFieldData;`
  // (and SetFieldData) to keep these in its own scope.
  bool GetFieldData(TField* field, void* buffer, bool nativeFormat);
  void SetFieldData(TField* field, const void* buffer, bool nativeFormat);
  virtual void DataConvert(TField* field, const void* source, void* dest, bool toNative);
  virtual std::unique_ptr<TStream> CreateBlobStream(TField* field, TBlobStreamMode mode);

  // ---- filters ----
  bool Filtered() const { return filtered_; }
  virtual void SetFiltered(bool value) { filtered_ = value; }
  const std::string& Filter() const { return filter_text_; }
  virtual void SetFilterText(const std::string& value) { filter_text_ = value; }
  TFilterOptions FilterOptions() const { return filter_options_; }
  virtual void SetFilterOptions(TFilterOptions value) { filter_options_ = value; }
  const TFilterRecordEvent& OnFilterRecord() const { return on_filter_record_; }
  virtual void SetOnFilterRecord(const TFilterRecordEvent& value) { on_filter_record_ = value; }

  bool AutoCalcFields() const { return auto_calc_fields_; }
  void SetAutoCalcFields(bool value) { auto_calc_fields_ = value; }

  // ---- events ----
  TDataSetNotifyEvent BeforeOpen, AfterOpen, BeforeClose, AfterClose;
  TDataSetNotifyEvent BeforeInsert, AfterInsert, BeforeEdit, AfterEdit;
  TDataSetNotifyEvent BeforePost, AfterPost, BeforeCancel, AfterCancel;
  TDataSetNotifyEvent BeforeDelete, AfterDelete, BeforeScroll, AfterScroll;
  TDataSetNotifyEvent BeforeRefresh, AfterRefresh;
  TDataSetNotifyEvent OnCalcFields, OnNewRecord;
  TDataSetErrorEvent OnEditError, OnPostError, OnDeleteError;

  static const TPropertyTable& ClassProperties();
  const TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 protected:
  friend class TField;
  friend class TDataSource;
  friend class TDataLink;
  friend class TTempStateGuard;

  // ---- the record-buffer protocol ----
  virtual TRecordBufferPtr AllocRecordBuffer();
  virtual void FreeRecordBuffer(TRecordBufferPtr& buffer) { buffer.reset(); }
  virtual TGetResult GetRecord(TRecordBuffer buffer, TGetMode getMode, bool doCheck);
  virtual int GetRecordSize() { return 0; }
  virtual void GetBookmarkData(TRecordBuffer buffer, void* data);
  virtual void SetBookmarkData(TRecordBuffer buffer, const void* data);
  virtual TBookmarkFlag GetBookmarkFlag(TRecordBuffer buffer);
  virtual void SetBookmarkFlag(TRecordBuffer buffer, TBookmarkFlag value);
  virtual void InternalGotoBookmark(const void* bookmark);
  virtual void InternalSetToRecord(TRecordBuffer buffer);
  virtual void InternalOpen();
  virtual void InternalClose();
  virtual bool IsCursorOpen() { return false; }
  virtual void InternalInitFieldDefs() {}
  virtual void InternalFirst();
  virtual void InternalLast();
  virtual void InternalInitRecord(TRecordBuffer buffer);
  virtual void InternalAddRecord(TRecordBuffer buffer, bool append);
  virtual void InternalPost();
  virtual void InternalEdit() {}
  virtual void InternalInsert() {}
  virtual void InternalCancel() {}
  virtual void InternalDelete();
  virtual void InternalRefresh() {}
  virtual void InternalHandleException();
  virtual void ClearCalcFields(TRecordBuffer buffer) { (void)buffer; }
  virtual bool GetCanModify() { return true; }

  // ---- fetching through the ring (overridable, as a cursor wraps them) ----
  virtual int GetNextRecords();
  virtual bool GetNextRecord();
  virtual int GetPriorRecords();
  virtual bool GetPriorRecord();

  // ---- steps a descendant calls or overrides ----
  virtual void SetState(TDataSetState value);
  virtual void DataEvent(TDataEvent event, intptr_t info);
  virtual void DoOnNewRecord();
  virtual void DoBeforeScroll();
  virtual void DoAfterScroll();
  virtual void CalculateFields(TRecordBuffer buffer);
  virtual void CheckRequiredFields();
  virtual void SetBufferCount(int value);
  virtual void Loaded() override;
  void GetCalcFields(TRecordBuffer buffer);
  void SetFound(bool value) { found_ = value; }
  void SetModified(bool value) { modified_ = value; }
  void SetBookmarkSize(int value) { bookmark_size_ = value; }
  void SetDefaultFields(bool value) { default_fields_ = value; }
  void CreateFields();
  void DestroyFields();
  virtual void BindFields(bool binding);
  void ClearBuffers();
  // Says that the ring holds the records from the first one on, read
  // forwards as First reads them, and that nothing moved since: the next
  // First then keeps the ring instead of reading it again. Any data event,
  // and anything that empties or resizes the ring, withdraws it.
  void MarkRingFromFirst() { ring_from_first_ = true; }
  void UpdateBufferCount();
  TRecordBuffer Buffers(int index) const { return buffers_[index].get(); }
  // The extra buffer at the end of the ring (BufferCount + 1 buffers in all),
  // where records are fetched before they join the ring.
  TRecordBuffer TempBuffer() const { return buffers_[record_count_].get(); }
  void CheckCanModify();
  void CheckOperation(void (TDataSet::*operation)(), const TDataSetErrorEvent& errorEvent);

 private:
  friend class TFieldDefs;
  void AddField(TField* field);
  void RemoveField(TField* field);
  void AddDataSource(TDataSource* dataSource);
  void RemoveDataSource(TDataSource* dataSource);
  void OpenCursor();
  void CloseCursor();
  void SetBufListSize(int size);
  void ActivateBuffers();
  void SetCurrentRecord(int index);
  void MoveBuffer(int curIndex, int newIndex);
  void MoveToEnd(bool first);
  void AddRecord(const std::vector<Variant>& values, bool append);
  void BeginInsertAppend();
  void EndInsertAppend();
  void InitRecord(TRecordBuffer buffer);
  void CalcLookupValue(TField* field);

  TDataSetState state_ = dsInactive;
  TDataSetState disable_state_ = dsInactive;
  TDataEvent enable_event_ = deDataSetChange;
  int disable_count_ = 0;
  bool streamed_active_ = false;
  bool modified_ = false;
  bool bof_ = true;
  bool eof_ = true;
  bool ring_from_first_ = false;
  bool found_ = false;
  bool default_fields_ = false;
  bool auto_calc_fields_ = true;
  bool filtered_ = false;
  bool internal_open_complete_ = false;
  std::string filter_text_;
  TFilterOptions filter_options_;
  TFilterRecordEvent on_filter_record_;

  TFieldDefs field_defs_;
  TIndexDefs index_defs_;
  std::vector<TField*> fields_;             // borrowed: a field's owner frees it
  std::vector<TDataSource*> data_sources_;  // borrowed

  std::vector<TRecordBufferPtr> buffers_;  // BufferCount + 1 while open
  int buffer_count_ = 0;
  int record_count_ = 0;
  int active_record_ = -1;
  int current_record_ = -1;
  int bookmark_size_ = 0;
  int calc_fields_size_ = 0;
  TRecordBuffer calc_buffer_ = nullptr;
};

// Holds a temporary dataset state for its lifetime.
class TTempStateGuard {
 public:
  TTempStateGuard(TDataSet& dataSet, TDataSetState state)
      : data_set_(dataSet), saved_(dataSet.SetTempState(state)) {}
  ~TTempStateGuard() { data_set_.RestoreState(saved_); }
  TTempStateGuard(const TTempStateGuard&) = delete;
  TTempStateGuard& operator=(const TTempStateGuard&) = delete;

 private:
  TDataSet& data_set_;
  TDataSetState saved_;
};

// Holds a dataset's controls disabled for its lifetime.
class TDisableControlsGuard {
 public:
  explicit TDisableControlsGuard(TDataSet& dataSet) : data_set_(dataSet) {
    data_set_.DisableControls();
  }
  ~TDisableControlsGuard() { data_set_.EnableControls(); }
  TDisableControlsGuard(const TDisableControlsGuard&) = delete;
  TDisableControlsGuard& operator=(const TDisableControlsGuard&) = delete;

 private:
  TDataSet& data_set_;
};

}  // namespace host
