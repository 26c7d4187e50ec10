#include "engine/components/tav_base_table.h"

#include <cstring>
#include <string_view>
#include <vector>

#include "engine/components/tav_blob_stream.h"
#include "engine/storage/base/tav_errors.h"
#include "engine/storage/table/privileges.h"
#include "host/db/db_common.h"
#include "host/db/field_defs.h"
#include "host/db/fields.h"
#include "host/db/index_defs.h"
#include "host/db/time_stamp.h"
#include "host/rtl/date_time.h"
#include "host/rtl/le_bytes.h"
#include "host/rtl/sys_utils.h"

namespace tav {

namespace {

constexpr int kStatusOffset = 4;
constexpr int kBookmarkFlagOffset = 5;
constexpr int kRecInfoSize = 16;
const int32_t kFieldReadBit = MapObjectPrivTypeToConst(opReadData);

// BLOB values written during an edit or insert wait in the record manager's
// BLOB items until the post. Reading another record as the current one (the
// host positions the cursor beside an inserted record, fetches neighbours)
// marks every item stale; the guard keeps the pending ones pending.
class TPendingBlobsGuard {
 public:
  TPendingBlobsGuard(TBlobMgr& blobs, host::TDataSetState state) : blobs_(blobs) {
    if (state != host::dsInsert && state != host::dsEdit) return;
    for (int i = 0; i < blobs_.Count(); ++i)
      if (blobs_.Items(i)->State() == bsModified) pending_.push_back(i);
  }
  ~TPendingBlobsGuard() {
    for (int i : pending_)
      if (i < blobs_.Count()) blobs_.Items(i)->SetState(bsModified);
  }
  TPendingBlobsGuard(const TPendingBlobsGuard&) = delete;
  TPendingBlobsGuard& operator=(const TPendingBlobsGuard&) = delete;

 private:
  TBlobMgr& blobs_;
  std::vector<int> pending_;
};

// Sets a flag for its own lifetime.
class TFlagGuard {
 public:
  explicit TFlagGuard(bool& flag) : flag_(flag) { flag_ = true; }
  ~TFlagGuard() { flag_ = false; }
  TFlagGuard(const TFlagGuard&) = delete;
  TFlagGuard& operator=(const TFlagGuard&) = delete;

 private:
  bool& flag_;
};

// A host field's value in its stored form: dates and times become days
// since 1899-12-30 in `stored`, strings and wide strings take their length
// up to the terminating zero (`length`, else -1 for the field's size).
const void* StoredFieldValue(const host::TField& field, const void* buffer, double& stored,
                             int32_t& length) {
  const host::TFieldType type = field.DataType();
  const void* data = buffer;
  switch (type) {
    case host::ftDate: {
      const host::TTimeStamp ts{0, static_cast<int32_t>(host::GetU32(buffer))};
      stored = host::TimeStampToDateTime(ts);
      data = &stored;
      break;
    }
    case host::ftTime: {
      const host::TTimeStamp ts{static_cast<int32_t>(host::GetU32(buffer)), host::DateDelta};
      stored = host::TimeStampToDateTime(ts);
      data = &stored;
      break;
    }
    case host::ftDateTime: {
      double msecs;
      std::memcpy(&msecs, buffer, 8);
      stored = host::TimeStampToDateTime(host::MSecsToTimeStamp(static_cast<int64_t>(msecs)));
      data = &stored;
      break;
    }
    case host::ftString:
    case host::ftFixedChar:
      length = static_cast<int32_t>(strnlen(static_cast<const char*>(buffer), static_cast<size_t>(field.Size())));
      break;
    case host::ftWideString: {
      const auto* chars = static_cast<const char16_t*>(buffer);
      int32_t n = 0;
      while (n < field.Size() && chars[n] != 0) ++n;
      length = n * 2;
      break;
    }
    default:
      break;
  }
  return data;
}

}  // namespace

TTavBaseTable::TTavBaseTable(host::TComponent* owner) : TTavDataSet(owner) {}

TTavBaseTable::~TTavBaseTable() {
  try {
    Destroying();
    Close();
  } catch (...) {
    // A destructor cannot report; the cursor closes with the base.
  }
}

void TTavBaseTable::Notification(host::TComponent* component, host::TOperation operation) {
  if (operation == host::opRemove && component != nullptr && component == DataBase()) {
    try {
      Close();
    } catch (...) {
      // The database is going: what it held goes with it.
    }
  }
  TTavDataSet::Notification(component, operation);
}

// ---------------------------------------------------------------------------
// Buffers

host::TRecordBufferPtr TTavBaseTable::AllocRecordBuffer() {
  return host::TRecordBufferPtr(new uint8_t[static_cast<size_t>(host_buffer_size_)]());
}

void TTavBaseTable::ClearCalcFields(host::TRecordBuffer buffer) {
  std::memset(buffer + calc_fields_offset_, 0, static_cast<size_t>(CalcFieldsSize()));
}

TRecordBufferStatus TTavBaseTable::GetRecordStatus(host::TRecordBuffer buffer) const {
  return static_cast<TRecordBufferStatus>(buffer[rec_info_offset_ + kStatusOffset]);
}
void TTavBaseTable::SetRecordStatus(host::TRecordBuffer buffer, TRecordBufferStatus value) const {
  buffer[rec_info_offset_ + kStatusOffset] = static_cast<uint8_t>(value);
}

host::TBookmarkFlag TTavBaseTable::GetBookmarkFlag(host::TRecordBuffer buffer) {
  return static_cast<host::TBookmarkFlag>(buffer[rec_info_offset_ + kBookmarkFlagOffset]);
}
void TTavBaseTable::SetBookmarkFlag(host::TRecordBuffer buffer, host::TBookmarkFlag value) {
  buffer[rec_info_offset_ + kBookmarkFlagOffset] = static_cast<uint8_t>(value);
}

void TTavBaseTable::GetBookmarkData(host::TRecordBuffer buffer, void* data) {
  CheckActive();
  GetBookMarkFromBuf(buffer, static_cast<uint8_t*>(data));
}
void TTavBaseTable::SetBookmarkData(host::TRecordBuffer buffer, const void* data) {
  CheckActive();
  SetBookMarkToBuf(buffer, static_cast<const uint8_t*>(data));
}

bool TTavBaseTable::BookmarkValid(const host::TBookmark& bookmark) {
  CheckActive();
  return bookmark.size() == kBookmarkSize && CheckBookMarkValid(bookmark.data());
}

void TTavBaseTable::InternalGotoBookmark(const void* bookmark) {
  const auto* mark = static_cast<const uint8_t*>(bookmark);
  if (!CheckBookMarkValid(mark) || !DataSetSetToBookmark(mark))
    TavDatabaseError(kBookmarkDoesNotMatch, "TTavBaseTable.InternalGotoBookmark", "", this);
  marker_ = tpInTableValid;
}

host::TRecordBuffer TTavBaseTable::GetActiveRecBuf() {
  switch (State()) {
    case host::dsBrowse:
      return IsEmpty() ? nullptr : ActiveBuffer();
    case host::dsEdit:
    case host::dsInsert:
    case host::dsNewValue:
      return ActiveBuffer();
    case host::dsSetKey:
      if (key_mode_ == kmFind) return key_buffer_.data();
      if (key_mode_ == kmRange) return GetRangeRecBuf(range_mode_);
      TavDatabaseError(kUnexpectedInternalError, "TTavBaseTable.GetActiveRecBuf",
                       "State error - no KeyMode set for SetKey state", this);
    case host::dsCalcFields:
      return CalcBuffer();
    case host::dsFilter:
      return filter_buffer_.data();
    default:
      return nullptr;
  }
}

bool TTavBaseTable::GetCurrentRecord(host::TRecordBuffer buffer) {
  if (IsEmpty()) return false;
  std::memcpy(buffer, ActiveBuffer(), static_cast<size_t>(host_buffer_size_));
  return true;
}

// ---------------------------------------------------------------------------
// Fetching

host::TGetResult TTavBaseTable::GetRecord(host::TRecordBuffer buffer, host::TGetMode getMode, bool) {
  if (prepare_filter_) {
    prepare_filter_ = false;
    if (Filtered()) InternalPrepareFilter();
    InternalCheckMasterRange();
  }
  TPendingBlobsGuard pending(RecordMgr().BlobMgr(), State());
  bool ok = false;
  host::TGetResult failure = host::grError;
  switch (getMode) {
    case host::gmCurrent:
      switch (marker_) {
        case tpInTableValid: ok = RecordBufferState() != TRecordBufferState::kEmpty; break;
        case tpAtFirst: ok = DataSetFirst(); break;
        case tpAtLast: ok = DataSetLast(); break;
        case tpInTableUnknown: ok = RecordBufferState() != TRecordBufferState::kEmpty && Find(stEQ, IndexName()); break;
      }
      break;
    case host::gmNext:
      ok = marker_ == tpAtFirst ? DataSetFirst() : DataSetNext();
      failure = host::grEOF;
      break;
    case host::gmPrior:
      ok = marker_ == tpAtLast ? DataSetLast() : DataSetPrior();
      failure = host::grBOF;
      break;
  }
  marker_ = tpInTableUnknown;
  if (!ok) return failure;
  // A ring buffer keeps its record's number.
  CountDeferredRecNo();
  std::memcpy(buffer, RecordBuffer(), static_cast<size_t>(RecordBufferSize()));
  GetCalcFields(buffer);
  SetRecordStatus(buffer, rbBrowse);
  SetBookmarkFlag(buffer, host::bfCurrent);
  return host::grOK;
}

int TTavBaseTable::GetRecordCount() {
  CheckActive();
  return GetCurrentRecordCount();
}

int TTavBaseTable::GetRecNo() {
  if (IsEmpty() || !ActiveBuffer()) return 0;
  return DataSetGetRecordNoFromBuf(ActiveBuffer());
}

void TTavBaseTable::SetRecNo(int value) {
  CheckBrowseMode();
  if (DataSetSetRecordNo(value) < 0) return;
  DoBeforeScroll();
  marker_ = tpInTableValid;
  Resync({host::rmExact, host::rmCenter});
  DoAfterScroll();
}

void TTavBaseTable::InternalSetToRecord(host::TRecordBuffer buffer) {
  // A record being inserted is not stored yet: nothing to stand on.
  if (BufferAddress(buffer) == 0) return;
  TPendingBlobsGuard pending(RecordMgr().BlobMgr(), State());
  SetToRecordBuffer(buffer, false, State() == host::dsBrowse);
}

// ---------------------------------------------------------------------------
// Field data

bool TTavBaseTable::GetFieldData(host::TField* field, void* buffer) {
  // Browsing, the common case, reads the active buffer straight away: one of
  // the records the ring holds.
  uint8_t* rec = State() != host::dsBrowse ? GetActiveRecBuf()
                 : IsEmpty() || ActiveRecord() >= BufferRecordCount() ? nullptr
                                                                      : Buffers(ActiveRecord());
  if (!rec) return false;
  if (field->FieldNo() < 1) {
    const uint8_t* calc = rec + calc_fields_offset_ + field->Offset();
    if (calc[0] == 0) return false;
    if (buffer) std::memcpy(buffer, calc + 1, static_cast<size_t>(field->DataSize()));
    return true;
  }
  const int no = field->FieldNo() - 1;
  // One look-up of the field's layout serves the checks and the copy.
  const TInternalFields& fields = RecordMgr().Fields();
  const TInternalFieldItem& f = no < fields.Count() ? *fields.Items(no) : GetFieldDef(no);
  // Whether a value is there is read too (the host's own required-field
  // check of a post aside: it tells the user nothing the post would not).
  // The field's own read bit answers for nearly every read without a call.
  if (!checking_required_fields_ && (f.PrivilegeFlags() & kFieldReadBit) == 0 && !FieldReadable(f))
    CheckFieldReadPrivilege(f);
  const bool isNull = rec[f.NullFlagOffset()] == 0;
  if (!buffer || IsBlobFieldType(f.DataType())) return !isNull;
  // Exactly the field's buffer: the host sized it for this field.
  const auto size = static_cast<size_t>(field->DataSize());
  if (isNull) {
    std::memset(buffer, 0, size);
    return false;
  }
  const host::TFieldType type = field->DataType();
  if (type == host::ftDate || type == host::ftTime || type == host::ftDateTime) {
    std::memset(buffer, 0, size);
    double stored;
    std::memcpy(&stored, rec + f.DataOffset(), sizeof stored);
    const host::TTimeStamp ts = host::DateTimeToTimeStamp(stored);
    if (type == host::ftDate) {
      host::PutU32(buffer, static_cast<uint32_t>(ts.Date));
    } else if (type == host::ftTime) {
      host::PutU32(buffer, static_cast<uint32_t>(ts.Time));
    } else {
      const double msecs = static_cast<double>(host::TimeStampToMSecs(ts));
      std::memcpy(buffer, &msecs, 8);
    }
    return true;
  }
  // The value, and zeros after it up to the buffer's size. Not a BLOB here:
  // a fixed field's length is its size.
  const auto length = static_cast<size_t>(f.IsVariable() ? InternalGetFieldLength(f, rec) : f.FieldSize());
  std::memcpy(buffer, rec + f.DataOffset(), length);
  if (length < size) std::memset(static_cast<uint8_t*>(buffer) + length, 0, size - length);
  return true;
}

void TTavBaseTable::SetFieldData(host::TField* field, const void* buffer) {
  uint8_t* rec = GetActiveRecBuf();
  if (!rec) host::DatabaseError(host::SNotEditing, this);
  if (field->FieldNo() < 1) {
    uint8_t* calc = rec + calc_fields_offset_ + field->Offset();
    calc[0] = buffer ? 1 : 0;
    if (buffer)
      std::memcpy(calc + 1, buffer, static_cast<size_t>(field->DataSize()));
    else
      std::memset(calc + 1, 0, static_cast<size_t>(field->DataSize()));
  } else {
    field->Validate(buffer);
    const int no = field->FieldNo() - 1;
    if (IsFieldBlob(no)) {
      // A BLOB's value comes through its stream; here it can only be cleared.
      if (!buffer) {
        host::TMemoryStream empty;
        DataSetSetFieldStreamFromRecBuf(no, true, empty, rec);
      }
    } else if (!buffer) {
      DataSetSetFieldDataToRecBuf(no, 0, rec, nullptr, true);
    } else {
      double stored;
      int32_t length = -1;
      const void* data = StoredFieldValue(*field, buffer, stored, length);
      DataSetSetFieldDataToRecBuf(no, length, rec, data, false);
    }
  }
  if (State() != host::dsCalcFields && State() != host::dsFilter && State() != host::dsNewValue)
    DataEvent(host::deFieldChange, reinterpret_cast<intptr_t>(field));
}

void TTavBaseTable::CheckFieldReadPrivilege(int fieldNo) {
  const TInternalFields& fields = RecordMgr().Fields();
  if (fieldNo < 0 || fieldNo >= fields.Count()) return;
  CheckFieldReadPrivilege(*fields.Items(fieldNo));
}

bool TTavBaseTable::FieldReadable(const TInternalFieldItem& f) {
  return (f.PrivilegeFlags() & kFieldReadBit) != 0 || TableDef().InternalTable();
}

void TTavBaseTable::CheckFieldReadPrivilege(const TInternalFieldItem& f) {
  // A field the user may not read is hidden, and its value does not read
  // either.
  if (!FieldReadable(f))
    TavDatabaseError(kPrivilegeRequired, "TTavBaseTable.GetFieldData", f.FieldName(), this);
}

void TTavBaseTable::CheckIndexReadPrivilege(const std::string& indexName) {
  const TIndexItem* item = IndexManager().FindIndex(indexName);
  if (!item) return;
  const TKeyFields& keys = item->KeyFields();
  for (int i = 0; i < keys.Count(); ++i) {
    const TKeyFieldItem& k = *keys.Items(i);
    if (k.Hidden()) continue;
    const int no = GetFieldNo(k.FieldName());
    if (no >= 0) CheckFieldReadPrivilege(no);
  }
}

std::unique_ptr<host::TStream> TTavBaseTable::CreateBlobStream(host::TField* field, host::TBlobStreamMode mode) {
  if (mode != host::bmWrite && field->FieldNo() >= 1) CheckFieldReadPrivilege(field->FieldNo() - 1);
  return std::make_unique<TBlobStream>(field, mode);
}

// ---------------------------------------------------------------------------
// Opening and closing

void TTavBaseTable::InternalOpen() {
  const char* caller = "TTavBaseTable.InternalOpen";
  if (!DataBase()) TavDatabaseError(kNoConnectionToDatabaseEngine, caller, "", this);
  if (!InternalActive() && !DataBase()->Connected()) DataBase()->Open();
  if (InternalActive()) DataSetClose();
  can_modify_ = true;
  DataSetOpen();
  try {
    cursor_open_ = true;
    marker_ = tpAtFirst;
    InternalInitFieldDefs();
    UpdateIndexDefs();
    if (DefaultFields()) CreateFields();
    BindFields(true);
    has_blob_fields_ = false;
    for (int i = 0; i < FieldCount(); ++i)
      if (dynamic_cast<host::TBlobField*>(Fields(i))) has_blob_fields_ = true;
    DataSetSetFieldPrivileges();
    SetBookmarkSize(kBookmarkSize);
    calc_fields_offset_ = RecordBufferSize() + 1;
    rec_info_offset_ = calc_fields_offset_ + CalcFieldsSize();
    host_buffer_size_ = rec_info_offset_ + kRecInfoSize;
    key_buffer_.assign(static_cast<size_t>(host_buffer_size_), 0);
    filter_buffer_.assign(static_cast<size_t>(host_buffer_size_), 0);
    work_buffer_.assign(static_cast<size_t>(host_buffer_size_), 0);
    prepare_filter_ = true;
  } catch (...) {
    cursor_open_ = false;
    DataSetClose();
    throw;
  }
}

void TTavBaseTable::InternalClose() {
  host::TDataSet::InternalClose();
  ReleaseEditLock();
  DataSetClose();
  cursor_open_ = false;
  can_modify_ = false;
  std::vector<uint8_t>().swap(key_buffer_);
  std::vector<uint8_t>().swap(filter_buffer_);
  std::vector<uint8_t>().swap(work_buffer_);
}

void TTavBaseTable::InternalHandleException() { host::TDataSet::InternalHandleException(); }

void TTavBaseTable::InternalInitFieldDefs() {
  if (!DataBase()) return;
  // Closed: the table's definition comes from a cursor opened read-only for
  // the call (and a connection made for it).
  struct TTempOpen {
    TTavBaseTable& t;
    bool opened = false, connected = false, wasReadOnly = false;
    ~TTempOpen() {
      try {
        if (opened) {
          t.DataSetClose();
          t.SetReadOnly(wasReadOnly);
        }
        if (connected) t.DataBase()->Close();
      } catch (...) {
        // The caller's own failure, if any, is the one to report.
      }
    }
  } temp{*this};
  if (!InternalActive()) {
    if (!DataBase()->Connected()) {
      DataBase()->Open();
      temp.connected = true;
    }
    temp.wasReadOnly = ReadOnly();
    SetReadOnly(true);
    temp.opened = true;
    DataSetOpen();
  }
  host::TFieldDefs& defs = FieldDefs();
  defs.Clear();
  const TInternalFields& fields = GetInternalFields();
  for (int i = 0; i < fields.Count(); ++i) {
    const TInternalFieldItem& f = *fields.Items(i);
    if (f.Hidden()) continue;
    int size = 0;
    if (f.DataType() == host::ftString) size = f.FieldSize() - 1;
    if (f.DataType() == host::ftWideString) size = (f.FieldSize() - 2) / 2;
    if (f.DataType() == host::ftBCD) size = f.NumDecimalPlaces();
    host::TFieldDef* d = defs.Add(f.FieldName(), f.DataType(), size, f.Required());
    d->SetFieldNo(f.FieldIndex() + 1);
  }
}

void TTavBaseTable::UpdateIndexDefs() {
  if (!InternalActive()) return;
  host::TIndexDefs& defs = IndexDefs();
  defs.Clear();
  for (int i = 0; i < IndexManager().Count(); ++i)
    if (!IndexManager().Items(i)->Hidden()) GetIndexDef(i, *defs.AddIndexDef());
}

bool TTavBaseTable::GetCanModify() {
  if (!can_modify_ || ReadOnly()) return false;
  return !CheckReadOnlyPrivileges();
}

// ---------------------------------------------------------------------------
// Editing

void TTavBaseTable::ResetBlobFieldsModified() {
  if (!has_blob_fields_) return;
  for (int i = 0; i < FieldCount(); ++i)
    if (auto* blob = dynamic_cast<host::TBlobField*>(Fields(i))) blob->SetModified(false);
}

void TTavBaseTable::ReleaseEditLock() {
  if (edit_lock_address_ == 0) return;
  const uint32_t address = edit_lock_address_;
  edit_lock_address_ = 0;
  if (InternalActive()) InternalReleaseRecordLock(address);
}

void TTavBaseTable::InternalEdit() {
  const char* caller = "TTavBaseTable.InternalEdit";
  host::TRecordBuffer active = ActiveBuffer();
  if (GetRecordStatus(active) != rbBrowse)
    TavDatabaseError(kUnexpectedInternalError, caller,
                     "Internal State error - RecBuf not available for edit", this);
  // The record as stored now; one gone (or replaced at its address) cannot
  // be edited.
  SetToRecordBuffer(active, false, true);
  if (DatasetGetRecAddr() != BufferAddress(active) ||
      !InternalCheckRecordFlags(RecordBuffer(), active, false, true))
    TavDatabaseError(kRecordDeletedKeyModified, caller, "", this);
  std::memcpy(active, RecordBuffer(), static_cast<size_t>(RecordBufferSize()));
  InternalSetRecordLock(BufferAddress(active));
  edit_lock_address_ = BufferAddress(active);
  ResetBlobFieldsModified();
  SetRecordStatus(active, rbEdit);
}

void TTavBaseTable::InternalInsert() {
  SetRecordStatus(ActiveBuffer(), rbInsert);
  ResetBlobFieldsModified();
  CursorPosChanged();
}

void TTavBaseTable::InternalInitRecord(host::TRecordBuffer buffer) {
  // A new (or cleared) record has no BLOB value waiting; one a cancelled
  // insert left behind is not to be written with it.
  RecordMgr().BlobMgr().InvalidateStreams();
  host::TTempStateGuard filter(*this, host::dsFilter);
  InitializeNewRecord(filter_buffer_.data(), false);
  std::memcpy(buffer, filter_buffer_.data(), static_cast<size_t>(RecordBufferSize()));
}

void TTavBaseTable::InternalCancel() {
  if (!IsEmpty()) ReleaseEditLock();
  // BLOB values written during the edit are dropped with it.
  RecordMgr().BlobMgr().InvalidateStreams();
  ResetBlobFieldsModified();
  if (host::TRecordBuffer active = ActiveBuffer()) SetRecordStatus(active, rbBrowse);
}

void TTavBaseTable::PostActiveBuffer() {
  host::TRecordBuffer active = ActiveBuffer();
  SetRecordBuffer(active);
  if (State() == host::dsEdit) {
    UpdateRecord();
    // UpdateRecord gave back the edit's record lock.
    edit_lock_address_ = 0;
  } else {
    AddRecord(true);
  }
  ResetBlobFieldsModified();
  SetRecordStatus(active, rbBrowse);
  // The engine buffer holds the written record where the index has it: the
  // resync after the post reads it without searching again.
  if (RecordBufferState() == TRecordBufferState::kRead) marker_ = tpInTableValid;
}

void TTavBaseTable::InternalPost() {
  {
    TFlagGuard checking(checking_required_fields_);
    host::TDataSet::InternalPost();
  }
  TWriteLockGuard lock(*this);
  PostActiveBuffer();
  lock.Release();
}

void TTavBaseTable::SilentPost() { PostActiveBuffer(); }

void TTavBaseTable::InternalAddRecord(host::TRecordBuffer buffer, bool) {
  SetRecordBuffer(buffer);
  AddRecord(true);
}

void TTavBaseTable::InternalDelete() {
  TWriteLockGuard lock(*this);
  host::TRecordBuffer active = ActiveBuffer();
  // A refused delete (the copy is stale or the record gone) is an error, not
  // a quiet success.
  if (DeleteRecord(active) < 0)
    TavDatabaseError(kRecordDeletedKeyModified, "TTavBaseTable.InternalDelete", "", this);
  SetRecordStatus(active, rbInvalid);
  lock.Release();
}

void TTavBaseTable::InternalRefresh() {
  host::TRecordBuffer active = ActiveBuffer();
  if (IsEmpty() || !active || BufferAddress(active) == 0) return;
  ClearBlobCache();
  SetToRecordBuffer(active, false, true);
  marker_ = tpInTableValid;
}

// ---------------------------------------------------------------------------
// Table operations

void TTavBaseTable::InternalPrepareTableDef() {
  const char* caller = "TTavTable.CreateTable";
  if (!DataBase()) TavDatabaseError(kNoConnectionToDatabaseEngine, caller, "", this);
  DataBase()->CheckConnected(Memory());
  if (!Memory() && DataBase()->InTransaction())
    TavDatabaseError(kCannotOperateWhileTransactionActive, caller, "", this);
  if (EncryptionLevel() != encNone && !Memory() && !DataBase()->UseEncryption())
    TavDatabaseError(kCannotOperateOnThisTableType, caller,
                     "This database does not use/support encryption", this);
  if (EncryptionLevel() != encNone && Memory())
    TavDatabaseError(kCannotOperateOnInMemoryDatabase, caller, "", this);
  SetTableDef(Memory(), FieldDefs(), IndexDefs());
}

void TTavBaseTable::CreateTable() {
  CheckInactive();
  InternalPrepareTableDef();
  InternalCreateTable();
}

void TTavBaseTable::EmptyTable() {
  CheckBrowseMode();
  DataSetEmptyTable();
  // The filter is built again over the empty table.
  InternalResetFilter();
  First();
}

void TTavBaseTable::Flush() {
  CheckActive();
  if (State() == host::dsEdit || State() == host::dsInsert) Post();
  if (!Memory()) DataBase()->FlushBuffers();
}

void TTavBaseTable::SetLocked(bool value) {
  CheckActive();
  if (value == Locked()) return;
  if (value)
    LockTable();
  else
    UnlockTable();
}

// ---------------------------------------------------------------------------
// Locate and lookup

bool TTavBaseTable::MapFieldsToIndex(const std::vector<host::TField*>& fields,
                                     const host::TIndexDefs& indexDefs, host::TLocateOptions options,
                                     std::string& indexName, int& indexFieldCount, int& matchCount) {
  indexName = IndexName();
  matchCount = 0;
  const bool caseInsensitive = options.Contains(host::loCaseInsensitive);
  // Whether `def` ignores case for the field `f`: it names the fields that
  // do and `f` is one, or it names none and the whole index does.
  const auto ignoresCase = [](const host::TIndexDef& def, const host::TField& f) {
    std::string_view rest = def.CaseInsFields(), name;
    if (!host::NextFieldName(rest, name)) return def.Options().Contains(host::ixCaseInsensitive);
    do {
      if (host::SameText(name, f.FieldName())) return true;
    } while (host::NextFieldName(rest, name));
    return false;
  };
  for (int i = 0; i < indexDefs.Count(); ++i) {
    const host::TIndexDef& def = *indexDefs.Items(i);
    // The index's leading names against the located fields, in place: field
    // names are unique in a dataset, so a name matches a field exactly when
    // FindField would give that field for it.
    const std::string& fieldList = def.Fields();  // may be a temporary
    std::string_view rest = fieldList, name;
    int count = 0, indexFields = 0;
    bool counting = true;
    while (host::NextFieldName(rest, name)) {
      if (static_cast<size_t>(indexFields) < fields.size() &&
          host::AnsiSameText(name, fields[indexFields]->FieldName())) {
        if (counting) {
          const host::TField& f = *fields[indexFields];
          const bool text = f.DataType() == host::ftString || f.DataType() == host::ftWideString;
          counting = !(caseInsensitive && text) || ignoresCase(def, f);
          if (counting) ++count;
        }
      } else {
        counting = false;
        if (!FindField(name)) break;
      }
      ++indexFields;
    }
    const bool exact = count == static_cast<int>(fields.size()) && indexFields == count;
    if (count > matchCount || (exact && count > 0)) {
      indexName = def.Name();
      indexFieldCount = indexFields;
      matchCount = count;
    }
  }
  return matchCount > 0;
}

bool TTavBaseTable::LocateRecord(const std::string& keyFields, const host::Variant& keyValues,
                                 host::TLocateOptions options, bool syncCursor) {
  CheckBrowseMode();
  CursorPosChanged();
  std::vector<host::TField*> fields;
  {
    host::TTempStateGuard filter(*this, host::dsFilter);
    InitializeNewRecord(filter_buffer_.data(), false);
    GetFieldList(fields, keyFields);
    for (size_t i = 0; i < fields.size(); ++i) {
      host::TField* f = fields[i];
      if (f->FieldKind() != host::fkData)
        TavDatabaseError(kInvalidFieldType, "TTavBaseTable.LocateRecord", f->FieldName(), this);
      // Selecting by a value would tell it.
      CheckFieldReadPrivilege(f->FieldNo() - 1);
      const host::Variant& value =
          fields.size() == 1 && !keyValues.IsArray()
              ? keyValues
              : keyValues.Element(keyValues.LowBound() + static_cast<int>(i));
      if (value.IsNull() || value.IsEmpty())
        f->Clear();
      else
        f->SetValue(value);
    }
  }
  std::string names;
  for (host::TField* f : fields) {
    if (!names.empty()) names += ';';
    names += f->FieldName();
  }
  std::string indexName = IndexName();
  int indexFieldCount = 0, matchCount = 0;
  if (IndexDefs().Count() > 0)
    MapFieldsToIndex(fields, IndexDefs(), options, indexName, indexFieldCount, matchCount);
  return DoLocate(indexName, filter_buffer_.data(), syncCursor, true, options, work_buffer_.data(), names) == 0;
}

bool TTavBaseTable::Locate(const std::string& keyFields, const host::Variant& keyValues,
                           host::TLocateOptions options) {
  DoBeforeScroll();
  const bool found = LocateRecord(keyFields, keyValues, options, true);
  SetFound(found);
  if (!found) return false;
  marker_ = tpInTableValid;
  Resync({host::rmExact, host::rmCenter});
  DoAfterScroll();
  return true;
}

host::Variant TTavBaseTable::Lookup(const std::string& keyFields, const host::Variant& keyValues,
                                    const std::string& resultFields) {
  if (!LocateRecord(keyFields, keyValues, {}, false)) return host::Null();
  // The found record is read through the filter buffer, the cursor staying
  // where it was.
  std::memcpy(filter_buffer_.data(), work_buffer_.data(), static_cast<size_t>(RecordBufferSize()));
  host::TTempStateGuard filter(*this, host::dsFilter);
  return FieldValues(resultFields);
}

}  // namespace tav
