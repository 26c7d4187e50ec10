#include "host/db/data_set.h"

#include <algorithm>
#include <cstring>

#include "host/classes/prop_table.h"
#include "host/db/data_source.h"
#include "host/db/fields.h"
#include "host/rtl/sys_utils.h"

namespace host {

TExceptionHandler ApplicationHandleException;

TDataSet::TDataSet(TComponent* owner) : TComponent(owner) {
  field_defs_.SetDataSet(this);
  index_defs_.SetDataSet(this);
}

TDataSet::~TDataSet() {
  Destroying();
  // A descendant closed already when its close needed its own members; what
  // is left is the ring, which frees itself.
  state_ = dsInactive;
  while (!data_sources_.empty()) data_sources_.back()->SetDataSet(nullptr);
  for (TField* f : fields_) f->data_set_ = nullptr;
  fields_.clear();
  field_defs_.SetDataSet(nullptr);
  index_defs_.SetDataSet(nullptr);
}

const TPropertyTable& TDataSet::ClassProperties() {
  static const TPropertyTable table = PublishClass<TDataSet>(
      "TDataSet", &TComponent::ClassProperties(), [](TPublisher<TDataSet>& p) {
        p.Boolean("AutoCalcFields", &TDataSet::AutoCalcFields, &TDataSet::SetAutoCalcFields)
            .Default(1);
        p.String(
             "Filter", [](const TDataSet& d) { return d.Filter(); },
             [](TDataSet& d, const std::string& v) { d.SetFilterText(v); })
            .DefaultString("");
        static const TEnumInfo filterOptions("TFilterOption",
                                             {"foCaseInsensitive", "foNoPartialCompare"});
        p.Set(
             "FilterOptions", filterOptions,
             [](const TDataSet& d) { return d.FilterOptions().Bits(); },
             [](TDataSet& d, uint64_t v) { d.SetFilterOptions(TFilterOptions::FromBits(v)); })
            .Default(0);
        p.Boolean(
             "Filtered", [](const TDataSet& d) { return d.Filtered(); },
             [](TDataSet& d, bool v) { d.SetFiltered(v); })
            .Default(0);
        // Last, so that a dataset read from text opens with the rest set.
        p.Boolean(
             "Active", [](const TDataSet& d) { return d.Active(); },
             [](TDataSet& d, bool v) { d.SetActive(v); })
            .Default(0);
      });
  return table;
}

// ---- state ----

void TDataSet::CheckActive() const {
  if (state_ == dsInactive) DatabaseError(SDataSetClosed, this);
}

void TDataSet::CheckInactive() const {
  if (Active()) DatabaseError(SDataSetOpen, this);
}

void TDataSet::SetState(TDataSetState value) {
  if (state_ == value) return;
  state_ = value;
  modified_ = false;
  DataEvent(deUpdateState, 0);
}

TDataSetState TDataSet::SetTempState(TDataSetState value) {
  TDataSetState old = state_;
  state_ = value;
  ++disable_count_;
  modified_ = false;
  return old;
}

void TDataSet::RestoreState(TDataSetState value) {
  state_ = value;
  --disable_count_;
  modified_ = false;
}

void TDataSet::CheckBrowseMode() {
  CheckActive();
  DataEvent(deCheckBrowseMode, 0);
  switch (state_) {
    case dsEdit:
    case dsInsert:
      UpdateRecord();
      if (modified_)
        Post();
      else
        Cancel();
      break;
    case dsSetKey:
      Post();
      break;
    default:
      break;
  }
}

void TDataSet::CheckCanModify() {
  if (!CanModify()) DatabaseError(SDataSetReadOnly, this);
}

void TDataSet::SetActive(bool value) {
  if (ComponentState() & csLoading) {
    streamed_active_ = value;
    return;
  }
  if (Active() == value) return;
  if (value) {
    if (BeforeOpen) BeforeOpen(this);
    OpenCursor();
    if (AfterOpen) AfterOpen(this);
    if (!IsEmpty()) DoAfterScroll();
  } else {
    bool destroying = (ComponentState() & csDestroying) != 0;
    if (!destroying && BeforeClose) BeforeClose(this);
    SetState(dsInactive);
    CloseCursor();
    if (!destroying && AfterClose) AfterClose(this);
  }
}

void TDataSet::Loaded() {
  TComponent::Loaded();
  if (streamed_active_) {
    streamed_active_ = false;
    SetActive(true);
  }
}

void TDataSet::OpenCursor() {
  // Opening: the cursor, then the ring, then browse and the first records.
  SetState(dsOpening);
  try {
    default_fields_ = fields_.empty();
    internal_open_complete_ = false;
    InternalOpen();
    internal_open_complete_ = true;
    // The ring is made now that InternalOpen knows the buffer size, and filled
    // before browse, so that links going active see the first records.
    UpdateBufferCount();
    GetNextRecords();
    bof_ = true;
    eof_ = record_count_ == 0;
    SetState(dsBrowse);
  } catch (...) {
    SetState(dsInactive);
    CloseCursor();
    throw;
  }
}

void TDataSet::CloseCursor() {
  SetBufListSize(0);
  buffer_count_ = 0;
  record_count_ = 0;
  active_record_ = -1;
  current_record_ = -1;
  calc_buffer_ = nullptr;
  bof_ = eof_ = true;
  // Also after a failed open: what InternalOpen made before it failed
  // (default fields among it) goes again.
  InternalClose();
  internal_open_complete_ = false;
}

void TDataSet::InternalOpen() {}

void TDataSet::InternalClose() {
  BindFields(false);
  if (default_fields_) DestroyFields();
}

void TDataSet::InitFieldDefs() {
  // A descendant whose definitions need an open cursor opens one for the
  // call inside InternalInitFieldDefs when it is closed.
  InternalInitFieldDefs();
}

// ---- the ring ----

TRecordBufferPtr TDataSet::AllocRecordBuffer() {
  return nullptr;
}

void TDataSet::SetBufListSize(int size) {
  ring_from_first_ = false;
  int old = static_cast<int>(buffers_.size());
  if (size < old) {
    for (int i = size; i < old; ++i) FreeRecordBuffer(buffers_[i]);
    buffers_.resize(size);
  } else {
    buffers_.reserve(size);
    while (static_cast<int>(buffers_.size()) < size) buffers_.push_back(AllocRecordBuffer());
  }
}

void TDataSet::UpdateBufferCount() {
  if (!IsCursorOpen()) return;
  int count = 1;
  for (TDataSource* ds : data_sources_)
    for (TDataLink* link : ds->data_links_) count = std::max(count, link->BufferCount());
  SetBufferCount(count);
}

void TDataSet::SetBufferCount(int value) {
  value = std::clamp(value, 1, MaxBufferCount);
  if (value == buffer_count_) return;
  if (value < record_count_) {
    // Keep the active record in the window: drop from the front what lies
    // too far before it, then from the back.
    int dropFront = std::max(0, active_record_ - value + 1);
    for (int i = 0; i < dropFront; ++i) MoveBuffer(0, static_cast<int>(buffers_.size()) - 1);
    active_record_ -= dropFront;
    record_count_ = value;
    current_record_ = -1;
  }
  // The extra buffer stays last: the ring grows or shrinks behind it.
  SetBufListSize(value + 1);
  buffer_count_ = value;
  if (state_ == dsBrowse && record_count_ > 0 && record_count_ < buffer_count_) GetNextRecords();
}

void TDataSet::ClearBuffers() {
  ring_from_first_ = false;
  record_count_ = 0;
  active_record_ = 0;
  current_record_ = -1;
  bof_ = eof_ = true;
}

void TDataSet::ActivateBuffers() {
  record_count_ = 1;
  active_record_ = 0;
  current_record_ = 0;
  bof_ = eof_ = false;
}

void TDataSet::MoveBuffer(int curIndex, int newIndex) {
  if (curIndex == newIndex) return;
  TRecordBufferPtr moving = std::move(buffers_[curIndex]);
  if (curIndex < newIndex) {
    std::move(buffers_.begin() + curIndex + 1, buffers_.begin() + newIndex + 1,
              buffers_.begin() + curIndex);
  } else {
    std::move_backward(buffers_.begin() + newIndex, buffers_.begin() + curIndex,
                       buffers_.begin() + curIndex + 1);
  }
  buffers_[newIndex] = std::move(moving);
}

TRecordBuffer TDataSet::ActiveBuffer() const {
  if (active_record_ < 0 || active_record_ >= static_cast<int>(buffers_.size())) return nullptr;
  return buffers_[active_record_].get();
}

void TDataSet::SetCurrentRecord(int index) {
  if (current_record_ == index) return;
  TRecordBuffer buffer = buffers_[index].get();
  switch (GetBookmarkFlag(buffer)) {
    case bfCurrent:
    case bfInserted:
      InternalSetToRecord(buffer);
      break;
    case bfBOF:
      InternalFirst();
      break;
    case bfEOF:
      InternalLast();
      break;
  }
  current_record_ = index;
}

void TDataSet::UpdateCursorPos() {
  if (record_count_ > 0) SetCurrentRecord(active_record_);
}

bool TDataSet::GetNextRecord() {
  TGetMode mode = gmNext;
  if (record_count_ > 0) {
    SetCurrentRecord(record_count_ - 1);
    // The record being inserted is not yet under the cursor: what follows
    // it is the record it was inserted before.
    if (state_ == dsInsert && current_record_ == active_record_ &&
        GetBookmarkFlag(ActiveBuffer()) == bfCurrent)
      mode = gmCurrent;
  }
  bool ok = GetRecord(buffers_[record_count_].get(), mode, true) == grOK;
  if (ok) {
    if (record_count_ == 0) {
      ActivateBuffers();
    } else {
      if (record_count_ < buffer_count_)
        ++record_count_;
      else
        MoveBuffer(0, record_count_);
    }
    current_record_ = record_count_ - 1;
  } else {
    CursorPosChanged();
  }
  return ok;
}

bool TDataSet::GetPriorRecord() {
  if (record_count_ > 0) SetCurrentRecord(0);
  bool ok = GetRecord(buffers_[record_count_].get(), gmPrior, true) == grOK;
  if (ok) {
    if (record_count_ == 0) {
      ActivateBuffers();
    } else {
      MoveBuffer(record_count_, 0);
      if (record_count_ < buffer_count_) {
        ++record_count_;
        ++active_record_;
      }
    }
    current_record_ = 0;
  } else {
    CursorPosChanged();
  }
  return ok;
}

int TDataSet::GetNextRecords() {
  int n = 0;
  while (record_count_ < buffer_count_ && GetNextRecord()) ++n;
  return n;
}

int TDataSet::GetPriorRecords() {
  int n = 0;
  while (record_count_ < buffer_count_ && GetPriorRecord()) ++n;
  return n;
}

// ---- navigation ----

void TDataSet::DoBeforeScroll() {
  if (BeforeScroll) BeforeScroll(this);
}

void TDataSet::DoAfterScroll() {
  if (AfterScroll) AfterScroll(this);
}

void TDataSet::First() {
  MoveToEnd(true);
}

void TDataSet::Last() {
  MoveToEnd(false);
}

void TDataSet::MoveToEnd(bool first) {
  CheckBrowseMode();
  DoBeforeScroll();
  // The ring already holds what First would read (a handler above that
  // moved the dataset withdrew the mark through its data event).
  if (first && ring_from_first_) {
    active_record_ = 0;
    bof_ = true;
    eof_ = record_count_ == 0;
    DataEvent(deDataSetChange, 0);
    DoAfterScroll();
    return;
  }
  ClearBuffers();
  // The ring fills from the end reached: forwards from the first record,
  // backwards from the last. That end's flag holds whatever happens.
  bool& atEnd = first ? bof_ : eof_;
  try {
    if (first) {
      InternalFirst();
      GetNextRecord();
      GetNextRecords();
    } else {
      InternalLast();
      GetPriorRecord();
      GetPriorRecords();
    }
  } catch (...) {
    atEnd = true;
    DataEvent(deDataSetChange, 0);
    throw;
  }
  atEnd = true;
  (first ? eof_ : bof_) = record_count_ == 0;
  DataEvent(deDataSetChange, 0);
  DoAfterScroll();
}

int TDataSet::MoveBy(int distance) {
  CheckBrowseMode();
  int result = 0;
  DoBeforeScroll();
  if ((distance > 0 && !eof_) || (distance < 0 && !bof_)) {
    bof_ = eof_ = false;
    int oldRecordCount = record_count_;
    int scrollCount = 0;
    auto finish = [&] {
      if (record_count_ != oldRecordCount)
        DataEvent(deDataSetChange, 0);
      else
        DataEvent(deDataSetScroll, scrollCount);
    };
    try {
      while (distance > 0) {
        if (active_record_ < record_count_ - 1) {
          ++active_record_;
        } else {
          int shift = record_count_ < buffer_count_ ? 0 : 1;
          if (!GetNextRecord()) {
            eof_ = true;
            break;
          }
          scrollCount -= shift;
          active_record_ = record_count_ - 1;
        }
        --distance;
        ++result;
      }
      while (distance < 0) {
        if (active_record_ > 0) {
          --active_record_;
        } else {
          int shift = record_count_ < buffer_count_ ? 0 : 1;
          if (!GetPriorRecord()) {
            bof_ = true;
            break;
          }
          scrollCount += shift;
          // The record fetched went in at the front of the ring.
          active_record_ = 0;
        }
        ++distance;
        --result;
      }
    } catch (...) {
      finish();
      throw;
    }
    finish();
  }
  DoAfterScroll();
  return result;
}

void TDataSet::Resync(TResyncMode mode) {
  TRecordBuffer temp = buffers_[record_count_].get();
  if (mode.Contains(rmExact)) {
    CursorPosChanged();
    if (GetRecord(temp, gmCurrent, true) != grOK) DatabaseError(SRecordNotFound, this);
  } else if (GetRecord(temp, gmCurrent, false) != grOK && GetRecord(temp, gmNext, false) != grOK &&
             GetRecord(temp, gmPrior, false) != grOK) {
    ClearBuffers();
    DataEvent(deDataSetChange, 0);
    return;
  }
  int count = mode.Contains(rmCenter) ? (buffer_count_ - 1) / 2 : active_record_;
  MoveBuffer(record_count_, 0);
  ActivateBuffers();
  try {
    while (count > 0 && GetPriorRecord()) --count;
    GetNextRecords();
    GetPriorRecords();
  } catch (...) {
    DataEvent(deDataSetChange, 0);
    throw;
  }
  DataEvent(deDataSetChange, 0);
}

void TDataSet::Refresh() {
  CheckBrowseMode();
  if (BeforeRefresh) BeforeRefresh(this);
  UpdateCursorPos();
  InternalRefresh();
  Resync({});
  if (AfterRefresh) AfterRefresh(this);
}

void TDataSet::InternalFirst() {}
void TDataSet::InternalLast() {}

TGetResult TDataSet::GetRecord(TRecordBuffer, TGetMode, bool) {
  return grError;
}

bool TDataSet::FindRecord(bool, bool) {
  return false;
}

bool TDataSet::Locate(const std::string&, const Variant&, TLocateOptions) {
  return false;
}

Variant TDataSet::Lookup(const std::string&, const Variant&, const std::string&) {
  return Null();
}

int TDataSet::GetRecordCount() {
  return -1;
}

int TDataSet::GetRecNo() {
  return -1;
}

void TDataSet::SetRecNo(int) {}

bool TDataSet::IsSequenced() {
  return true;
}

bool TDataSet::GetCurrentRecord(TRecordBuffer) {
  return false;
}

// ---- bookmarks ----

void TDataSet::GetBookmarkData(TRecordBuffer, void*) {}
void TDataSet::SetBookmarkData(TRecordBuffer, const void*) {}
TBookmarkFlag TDataSet::GetBookmarkFlag(TRecordBuffer) {
  return bfCurrent;
}
void TDataSet::SetBookmarkFlag(TRecordBuffer, TBookmarkFlag) {}
void TDataSet::InternalGotoBookmark(const void*) {}
void TDataSet::InternalSetToRecord(TRecordBuffer) {}

TBookmark TDataSet::GetBookmark() {
  TBookmark result;
  if (bookmark_size_ > 0 && Active() && !IsEmpty() &&
      GetBookmarkFlag(ActiveBuffer()) == bfCurrent) {
    result.resize(bookmark_size_);
    GetBookmarkData(ActiveBuffer(), result.data());
  }
  return result;
}

void TDataSet::GotoBookmark(const TBookmark& bookmark) {
  if (bookmark.empty()) return;
  CheckBrowseMode();
  if (static_cast<int>(bookmark.size()) != bookmark_size_) DatabaseError(SBookmarkNotFound, this);
  DoBeforeScroll();
  InternalGotoBookmark(bookmark.data());
  Resync({rmExact, rmCenter});
  DoAfterScroll();
}

bool TDataSet::BookmarkValid(const TBookmark&) {
  return false;
}

int TDataSet::CompareBookmarks(const TBookmark& bookmark1, const TBookmark& bookmark2) {
  return bookmark1 == bookmark2 ? 0 : 1;
}

// ---- record changes ----

void TDataSet::CheckOperation(void (TDataSet::*operation)(), const TDataSetErrorEvent& errorEvent) {
  for (;;) {
    try {
      UpdateCursorPos();
      (this->*operation)();
      return;
    } catch (EDatabaseError& e) {
      TDataAction action = daFail;
      if (errorEvent) errorEvent(this, e, action);
      if (action == daFail) throw;
      if (action == daAbort) Abort();
      // daRetry: round again.
    }
  }
}

void TDataSet::Edit() {
  if (state_ == dsEdit || state_ == dsInsert) return;
  if (record_count_ == 0) {
    Insert();
    return;
  }
  CheckBrowseMode();
  CheckCanModify();
  if (BeforeEdit) BeforeEdit(this);
  CheckOperation(&TDataSet::InternalEdit, OnEditError);
  GetCalcFields(ActiveBuffer());
  SetState(dsEdit);
  DataEvent(deRecordChange, 0);
  if (AfterEdit) AfterEdit(this);
}

void TDataSet::BeginInsertAppend() {
  CheckBrowseMode();
  CheckCanModify();
  if (BeforeInsert) BeforeInsert(this);
}

void TDataSet::EndInsertAppend() {
  SetState(dsInsert);
  try {
    DoOnNewRecord();
  } catch (...) {
    UpdateCursorPos();
    SetState(dsBrowse);
    Resync({});
    throw;
  }
  modified_ = false;
  DataEvent(deDataSetChange, 0);
  if (AfterInsert) AfterInsert(this);
}

void TDataSet::InitRecord(TRecordBuffer buffer) {
  InternalInitRecord(buffer);
  ClearCalcFields(buffer);
  SetBookmarkFlag(buffer, bfInserted);
}

void TDataSet::InternalInitRecord(TRecordBuffer) {}

void TDataSet::Insert() {
  BeginInsertAppend();
  TBookmark oldCurrent = GetBookmark();
  MoveBuffer(record_count_, active_record_ < 0 ? 0 : active_record_);
  if (active_record_ < 0) active_record_ = 0;
  TRecordBuffer buffer = ActiveBuffer();
  InitRecord(buffer);
  if (record_count_ == 0)
    SetBookmarkFlag(buffer, bfBOF);
  else if (!oldCurrent.empty())
    SetBookmarkData(buffer, oldCurrent.data());
  if (record_count_ < buffer_count_) ++record_count_;
  InternalInsert();
  EndInsertAppend();
}

void TDataSet::Append() {
  BeginInsertAppend();
  ClearBuffers();
  TRecordBuffer buffer = buffers_[0].get();
  InitRecord(buffer);
  SetBookmarkFlag(buffer, bfEOF);
  record_count_ = 1;
  bof_ = false;
  GetPriorRecords();
  InternalLast();
  EndInsertAppend();
}

void TDataSet::DoOnNewRecord() {
  if (OnNewRecord) OnNewRecord(this);
}

void TDataSet::UpdateRecord() {
  if (state_ != dsEdit && state_ != dsInsert && state_ != dsSetKey)
    DatabaseError(SNotEditing, this);
  DataEvent(deUpdateRecord, 0);
}

void TDataSet::Post() {
  UpdateRecord();
  switch (state_) {
    case dsEdit:
    case dsInsert:
      DataEvent(deCheckBrowseMode, 0);
      if (BeforePost) BeforePost(this);
      CheckOperation(&TDataSet::InternalPost, OnPostError);
      SetState(dsBrowse);
      Resync({});
      if (AfterPost) AfterPost(this);
      break;
    case dsSetKey:
      SetState(dsBrowse);
      break;
    default:
      break;
  }
}

void TDataSet::InternalPost() {
  CheckRequiredFields();
}

void TDataSet::CheckRequiredFields() {
  for (TField* f : fields_) {
    if (f->Required() && !f->ReadOnly() && f->FieldKind() == fkData && f->DataType() != ftAutoInc &&
        f->IsNull())
      DatabaseErrorFmt(SFieldRequired, {f->DisplayName()}, this);
  }
}

void TDataSet::Cancel() {
  if (state_ == dsSetKey) {
    SetState(dsBrowse);
    return;
  }
  if (state_ != dsEdit && state_ != dsInsert) return;
  DataEvent(deCheckBrowseMode, 0);
  if (BeforeCancel) BeforeCancel(this);
  UpdateCursorPos();
  if (state_ == dsEdit) InternalCancel();
  SetState(dsBrowse);
  Resync({});
  if (AfterCancel) AfterCancel(this);
}

void TDataSet::Delete() {
  CheckActive();
  if (state_ == dsInsert || state_ == dsSetKey) {
    Cancel();
    return;
  }
  if (record_count_ == 0) DatabaseError(SDataSetEmpty, this);
  CheckCanModify();
  DataEvent(deCheckBrowseMode, 0);
  if (BeforeDelete) BeforeDelete(this);
  DoBeforeScroll();
  CheckOperation(&TDataSet::InternalDelete, OnDeleteError);
  SetState(dsBrowse);
  Resync({});
  if (AfterDelete) AfterDelete(this);
  DoAfterScroll();
}

void TDataSet::InternalDelete() {}

void TDataSet::InternalAddRecord(TRecordBuffer, bool) {}

void TDataSet::InternalHandleException() {
  // Called from inside a catch block: hand the error to the application.
  try {
    throw;
  } catch (std::exception& e) {
    if (ApplicationHandleException) ApplicationHandleException(this, e);
  } catch (...) {
  }
}

void TDataSet::SetFields(const std::vector<Variant>& values) {
  int n = std::min(static_cast<int>(values.size()), FieldCount());
  for (int i = 0; i < n; ++i) fields_[i]->AssignValue(values[i]);
}

void TDataSet::ClearFields() {
  if (state_ != dsEdit && state_ != dsInsert && state_ != dsSetKey)
    DatabaseError(SNotEditing, this);
  DataEvent(deCheckBrowseMode, 0);
  InternalInitRecord(ActiveBuffer());
  if (state_ != dsSetKey) GetCalcFields(ActiveBuffer());
  DataEvent(deRecordChange, 0);
}

void TDataSet::AppendRecord(const std::vector<Variant>& values) {
  AddRecord(values, true);
}

void TDataSet::InsertRecord(const std::vector<Variant>& values) {
  AddRecord(values, false);
}

void TDataSet::AddRecord(const std::vector<Variant>& values, bool append) {
  if (append)
    Append();
  else
    Insert();
  try {
    SetFields(values);
    Post();
  } catch (...) {
    Cancel();
    throw;
  }
}

// ---- fields ----

void TDataSet::AddField(TField* field) {
  fields_.push_back(field);
}

void TDataSet::RemoveField(TField* field) {
  auto it = std::find(fields_.begin(), fields_.end(), field);
  if (it != fields_.end()) fields_.erase(it);
}

TField* TDataSet::Fields(int index) const {
  if (index < 0 || index >= FieldCount())
    throw EListError("List index out of bounds (" + std::to_string(index) + ")");
  return fields_[index];
}

TField* TDataSet::FindField(std::string_view fieldName) const {
  for (TField* f : fields_)
    if (AnsiSameText(f->FieldName(), fieldName)) return f;
  return nullptr;
}

TField* TDataSet::FieldByName(const std::string& fieldName) const {
  TField* f = FindField(fieldName);
  if (!f) DatabaseErrorFmt(SFieldNotFound, {fieldName}, this);
  return f;
}

TField* TDataSet::FieldByNumber(int fieldNo) const {
  for (TField* f : fields_)
    if (f->FieldNo() == fieldNo) return f;
  return nullptr;
}

void TDataSet::GetFieldList(std::vector<TField*>& list, const std::string& fieldNames) const {
  std::string_view rest = fieldNames, name;
  while (NextFieldName(rest, name)) {
    TField* f = FindField(name);
    if (!f) FieldByName(std::string(name));  // raises the not-found error
    list.push_back(f);
  }
}

void TDataSet::GetFieldNames(std::vector<std::string>& list) {
  if (!fields_.empty()) {
    for (TField* f : fields_) list.push_back(f->FieldName());
    return;
  }
  field_defs_.Update();
  for (int i = 0; i < field_defs_.Count(); ++i) list.push_back(field_defs_.Items(i)->Name());
}

Variant TDataSet::FieldValues(const std::string& fieldNames) const {
  std::vector<TField*> list;
  GetFieldList(list, fieldNames);
  if (list.size() == 1) return list[0]->Value();
  std::vector<Variant> values;
  values.reserve(list.size());
  for (TField* f : list) values.push_back(f->Value());
  return VarArrayOf(values);
}

void TDataSet::SetFieldValues(const std::string& fieldNames, const Variant& values) {
  std::vector<TField*> list;
  GetFieldList(list, fieldNames);
  if (list.size() == 1 && !values.IsArray()) {
    list[0]->AssignValue(values);
    return;
  }
  for (size_t i = 0; i < list.size(); ++i)
    list[i]->AssignValue(values.Element(values.LowBound() + static_cast<int>(i)));
}

void TDataSet::CreateFields() {
  field_defs_.Update();
  for (int i = 0; i < field_defs_.Count(); ++i) {
    TFieldDef* def = field_defs_.Items(i);
    TField* f = NewFieldOfType(def->DataType(), this);
    if (!f) DatabaseErrorFmt(SUnknownFieldType, {def->Name()}, this);
    try {
      f->SetSize(def->Size());
      f->SetFieldName(def->Name());
      f->SetRequired(def->Required());
      if (auto* bcd = dynamic_cast<TBCDField*>(f)) bcd->SetPrecision(def->Precision());
      f->SetDataSet(this);
    } catch (...) {
      delete f;
      throw;
    }
  }
}

void TDataSet::DestroyFields() {
  // Default fields belong to this dataset as their owner.
  std::vector<TField*> mine;
  for (TField* f : fields_)
    if (f->Owner() == this) mine.push_back(f);
  for (TField* f : mine) delete f;
}

void TDataSet::BindFields(bool binding) {
  calc_fields_size_ = 0;
  for (TField* f : fields_) {
    if (!binding) {
      f->field_no_ = 0;
      f->offset_ = 0;
      continue;
    }
    if (f->FieldKind() == fkCalculated || f->FieldKind() == fkLookup) {
      f->field_no_ = -1;
      f->offset_ = calc_fields_size_;
      calc_fields_size_ += f->DataSize() + 1;
      if (f->FieldKind() == fkLookup) f->CheckLookup();
    } else {
      TFieldDef* def = static_cast<TFieldDef*>(field_defs_.TDefCollection::Find(f->FieldName()));
      if (!def) DatabaseErrorFmt(SFieldNotFound, {f->DisplayName()}, this);
      if (def->DataType() != f->DataType() &&
          !(def->DataType() == ftFixedChar && f->DataType() == ftString) &&
          !(def->DataType() == ftFmtMemo && f->DataType() == ftMemo))
        DatabaseErrorFmt(
            SFieldTypeMismatch,
            {f->DisplayName(), FieldTypeName(f->DataType()), FieldTypeName(def->DataType())}, this);
      if ((f->DataType() == ftString || f->DataType() == ftWideString || f->DataType() == ftBytes ||
           f->DataType() == ftVarBytes) &&
          def->Size() != f->Size())
        DatabaseErrorFmt(SFieldSizeMismatch, {f->DisplayName(), f->Size(), def->Size()}, this);
      f->field_no_ = def->FieldNo();
    }
  }
}

// ---- calculated fields ----

void TDataSet::GetCalcFields(TRecordBuffer buffer) {
  if (calc_fields_size_ == 0) return;
  TDataSetState saved = state_;
  state_ = dsCalcFields;
  try {
    CalculateFields(buffer);
  } catch (...) {
    state_ = saved;
    throw;
  }
  state_ = saved;
}

void TDataSet::CalculateFields(TRecordBuffer buffer) {
  calc_buffer_ = buffer;
  ClearCalcFields(buffer);
  for (TField* f : fields_)
    if (f->FieldKind() == fkLookup) CalcLookupValue(f);
  if (OnCalcFields) OnCalcFields(this);
}

void TDataSet::CalcLookupValue(TField* field) {
  TDataSet* lookup = field->LookupDataSet();
  if (!lookup || !lookup->Active()) return;
  Variant key = FieldValues(field->KeyFields());
  bool anyNull = key.IsNull();
  if (key.IsArray())
    for (int i = key.LowBound(); i <= key.HighBound(); ++i)
      anyNull = anyNull || key.Element(i).IsNull();
  if (anyNull) return;
  field->SetValue(lookup->Lookup(field->LookupKeyFields(), key, field->LookupResultField()));
}

// ---- field data ----

bool TDataSet::GetFieldData(TField*, void*) {
  return false;
}

void TDataSet::SetFieldData(TField*, const void*) {}

namespace {
// Read natively, then converted; out of line, so that the native read (the
// common case) goes straight on to the dataset's own.
[[gnu::noinline]] bool GetConvertedFieldData(TDataSet& dataSet, TField* field, void* buffer) {
  std::vector<uint8_t> native(static_cast<size_t>(field->DataSize()));
  bool ok = dataSet.GetFieldData(field, native.data());
  if (ok) dataSet.DataConvert(field, native.data(), buffer, false);
  return ok;
}
}  // namespace

bool TDataSet::GetFieldData(TField* field, void* buffer, bool nativeFormat) {
  if (nativeFormat || !buffer) return GetFieldData(field, buffer);
  return GetConvertedFieldData(*this, field, buffer);
}

void TDataSet::SetFieldData(TField* field, const void* buffer, bool nativeFormat) {
  if (nativeFormat || !buffer) return SetFieldData(field, buffer);
  std::vector<uint8_t> native(static_cast<size_t>(field->DataSize()));
  DataConvert(field, buffer, native.data(), true);
  SetFieldData(field, native.data());
}

void TDataSet::DataConvert(TField* field, const void* source, void* dest, bool toNative) {
  if (field->DataType() == ftWideString) {
    // The native form: the characters and a 2-byte zero, at most Size of them.
    size_t room = static_cast<size_t>(field->Size());
    if (toNative) {
      const auto& text = *static_cast<const std::u16string*>(source);
      size_t n = std::min(text.size(), room);
      std::memcpy(dest, text.data(), n * sizeof(char16_t));
      static_cast<char16_t*>(dest)[n] = 0;
    } else {
      const auto* chars = static_cast<const char16_t*>(source);
      size_t n = 0;
      while (n < room && chars[n] != 0) ++n;
      static_cast<std::u16string*>(dest)->assign(chars, n);
    }
    return;
  }
  std::memcpy(dest, source, static_cast<size_t>(field->DataSize()));
}

std::unique_ptr<TStream> TDataSet::CreateBlobStream(TField* field, TBlobStreamMode) {
  DatabaseErrorFmt(SNoBlobStream, {field->DisplayName()}, this);
}

// ---- data links ----

void TDataSet::AddDataSource(TDataSource* dataSource) {
  data_sources_.push_back(dataSource);
  UpdateBufferCount();
}

void TDataSet::RemoveDataSource(TDataSource* dataSource) {
  auto it = std::find(data_sources_.begin(), data_sources_.end(), dataSource);
  if (it != data_sources_.end()) data_sources_.erase(it);
  UpdateBufferCount();
}

bool TDataSet::IsLinkedTo(TDataSource* dataSource) {
  // Walks master links: a chain that comes back here would be circular.
  int guard = 0;
  while (dataSource) {
    TDataSet* ds = dataSource->DataSet();
    if (!ds) break;
    if (ds == this) return true;
    dataSource = ds->GetDataSource();
    TAV_ASSERT(++guard < 100000, "Data source chain does not end");
  }
  return false;
}

void TDataSet::DataEvent(TDataEvent event, intptr_t info) {
  // Asking the links to post moves nothing; what a post changes raises its
  // own events.
  if (event != deCheckBrowseMode) ring_from_first_ = false;
  switch (event) {
    case deFieldChange: {
      auto* field = reinterpret_cast<TField*>(info);
      if (field->FieldKind() == fkData || field->FieldKind() == fkInternalCalc) modified_ = true;
      if (state_ != dsSetKey) {
        if (calc_fields_size_ != 0 && auto_calc_fields_ && field->FieldKind() == fkData)
          GetCalcFields(ActiveBuffer());
        field->Change();
      }
      break;
    }
    default:
      break;
  }
  if (disable_count_ == 0) {
    // A source may leave the list while it is told (its handler closes it).
    std::vector<TDataSource*> sources = data_sources_;
    for (TDataSource* ds : sources)
      if (std::find(data_sources_.begin(), data_sources_.end(), ds) != data_sources_.end())
        ds->DataEvent(event, info);
  } else if ((event == deUpdateState && state_ == dsInactive) || event == deLayoutChange) {
    enable_event_ = deLayoutChange;
  }
}

void TDataSet::DisableControls() {
  if (disable_count_ == 0) {
    disable_state_ = state_;
    enable_event_ = deDataSetChange;
  }
  ++disable_count_;
}

void TDataSet::EnableControls() {
  if (disable_count_ == 0) return;
  if (--disable_count_ != 0) return;
  if (disable_state_ != state_) DataEvent(deUpdateState, 0);
  if (disable_state_ != dsInactive && state_ != dsInactive) DataEvent(enable_event_, 0);
}

}  // namespace host
