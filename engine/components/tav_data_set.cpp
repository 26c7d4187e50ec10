#include "engine/components/tav_data_set.h"
#include "engine/components/tav_data_set_unkeyed.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "engine/storage/base/tav_errors.h"
#include "engine/storage/base/tav_hash.h"
#include "engine/storage/base/tav_lists.h"
#include "engine/storage/base/tav_logger.h"
#include "engine/storage/crypto/xor_crypt.h"
#include "engine/storage/index/key_fields.h"
#include "engine/storage/record/io_interface.h"
#include "engine/storage/table/privileges.h"
#include "engine/storage/table/restructure_defs.h"
#include "engine/storage/table/table_header.h"
#include "host/db/db_common.h"
#include "host/db/field_defs.h"
#include "host/db/field_types.h"
#include "host/db/index_defs.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/string_list.h"
#include "host/rtl/sys_utils.h"
#include "host/rtl/variant.h"
#include "os/clock.h"

namespace tav {

namespace {

uint32_t GetU32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
void PutU32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }

// ';'-separated names, empty parts dropped.
std::vector<std::string> SplitNames(const std::string& list) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= list.size()) {
    const size_t semi = list.find(';', start);
    const size_t end = semi == std::string::npos ? list.size() : semi;
    if (end > start) out.push_back(list.substr(start, end - start));
    if (semi == std::string::npos) break;
    start = semi + 1;
  }
  return out;
}

bool NameInList(const std::string& name, const std::vector<std::string>& list) {
  for (const std::string& n : list)
    if (host::SameText(n, name)) return true;
  return false;
}

bool IsKeyableType(host::TFieldType t) {
  switch (t) {
    case host::ftBytes: case host::ftVarBytes: case host::ftBlob: case host::ftMemo:
    case host::ftGraphic: case host::ftFmtMemo: case host::ftParadoxOle: case host::ftDBaseOle:
    case host::ftTypedBinary: case host::ftCursor: case host::ftADT: case host::ftArray:
    case host::ftReference: case host::ftDataSet: case host::ftOraBlob: case host::ftOraClob:
      return false;
    default:
      return true;
  }
}

bool IsBlobType(host::TFieldType t) {
  return t == host::ftBlob || t == host::ftMemo || t == host::ftGraphic || t == host::ftFmtMemo;
}

constexpr char kLengthText[] = "%s is not a valid value (min. length %d, max. length %d)";
constexpr char kRangeText[] = "%s has not been set or is out of range";
constexpr char kCountText[] = "%d is not a valid value (min. %d, max. %d)";

// The names of the index's key fields that are table fields and not
// hidden, joined by ';'.
std::string IndexFieldList(const TKeyFields& keys, const TInternalFields& fields,
                           const std::string& indexName) {
  std::string out;
  for (int i = 0; i < keys.Count(); ++i) {
    const TKeyFieldItem& k = *keys.Items(i);
    if (k.Hidden() || !host::SameText(k.IndexName(), indexName)) continue;
    if (!fields.FindField(k.FieldName())) continue;
    if (!out.empty()) out += ';';
    out += k.FieldName();
  }
  return out;
}

}  // namespace


// ---------------------------------------------------------------------------
// Read lock guard

TReadLockGuard::TReadLockGuard(TTavDataSet& ds) : ds_(ds) {
  if (ds_.read_locked_) {
    ds_.CatchUpWithOtherWriters();
    return;
  }
  ds_.InternalSetReadLock();
  took_ = true;
}

TReadLockGuard::~TReadLockGuard() {
  if (!took_) return;
  try {
    ds_.InternalReleaseLock();
  } catch (...) {
    // The lock is dropped with the flags; the failure that unwinds wins.
  }
}

// ---------------------------------------------------------------------------
// Life

TTavDataSet::TTavDataSet(host::TComponent* owner)
    : host::TDataSet(owner),
      table_def_(std::make_unique<TTableDef>(nullptr)),
      record_mgr_(std::make_unique<TRecordMgr>()),
      index_mgr_(std::make_unique<TIndexManager>()),
      blob_interface_(std::make_unique<TBlobInterface>()),
      read_ahead_(std::make_unique<TReadAheadBuffer>()),
      blob_cache_(std::make_unique<TBlobMgr>()),
      filter_mgr_(std::make_unique<TFilterMgr>()) {}

TTavDataSet::~TTavDataSet() {
  try {
    DataSetClose();
  } catch (...) {
    // A destructor cannot report; the owned objects close as they go.
  }
  if (data_base_ && registered_) data_base_->UnRegisterClient(this);
}

void TTavDataSet::Notification(host::TComponent* component, host::TOperation operation) {
  host::TDataSet::Notification(component, operation);
  if (operation == host::opRemove && component == data_base_) {
    data_base_ = nullptr;
    registered_ = false;
  }
}

// ---------------------------------------------------------------------------
// Properties

void TTavDataSet::SetDataBase(TTavDataBase* value) {
  CheckInternalInactive();
  if (value == data_base_) return;
  if (data_base_ && registered_) {
    data_base_->UnRegisterClient(this);
    data_base_->RemoveFreeNotification(this);
  }
  registered_ = false;
  data_base_ = value;
  if (!data_base_) return;
  if (!table_def_->InternalTable()) {
    data_base_->RegisterClient(this);
    data_base_->FreeNotification(this);
    registered_ = true;
  }
  sort_order_ = data_base_->DefaultSortOrder();
}

void TTavDataSet::SetTableName(const std::string& value) {
  CheckInternalInactive();
  table_name_ = value;
}
void TTavDataSet::SetTableOwner(const std::string& value) {
  CheckInternalInactive();
  table_owner_ = value;
}
void TTavDataSet::SetReadOnly(bool value) {
  CheckInternalInactive();
  read_only_ = value;
}
void TTavDataSet::SetMemory(bool value) {
  CheckInternalInactive();
  memory_ = value;
}
void TTavDataSet::SetEncryptionLevel(TEncryptionLevel value) {
  CheckInternalInactive();
  encryption_level_ = value;
}
void TTavDataSet::SetSortOrder(TSortOrder value) {
  CheckInternalInactive();
  sort_order_ = value;
}
void TTavDataSet::SetBlobBlockSize(int32_t value) {
  CheckInternalInactive();
  blob_block_size_ = value;
}

// ---------------------------------------------------------------------------
// Checks

void TTavDataSet::CheckConnected() const {
  if (!data_base_)
    TavDatabaseError(kNoConnectionToDatabaseEngine, "TTavDataSet.CheckConnected", "", this);
}
void TTavDataSet::CheckInternalActive() const {
  if (!cursor_active_) host::DatabaseError(host::SDataSetClosed, this);
}
void TTavDataSet::CheckInternalInactive() const {
  if (cursor_active_) host::DatabaseError(host::SDataSetOpen, this);
}
void TTavDataSet::CheckIndexesPresent() const {
  if (index_mgr_->Count() == 0)
    TavDatabaseError(kIndexDoesNotExist, "TTavDataSet.CheckIndexesPresent", "", this);
}
void TTavDataSet::CheckPrivilegePresent(int32_t granted, int32_t wanted) const {
  if (table_def_->InternalTable() || (granted & wanted) == wanted) return;
  TavDatabaseError(kPrivilegeRequired, "TTavDataSet.CheckPrivilegePresent", "", this);
}
void TTavDataSet::ValidateObjectName(const std::string& name, const std::string& kind) const {
  const std::string framed = "," + host::UpperCase(name) + ",";
  if (std::string(",,ALL,").find(framed) != std::string::npos)
    TavDatabaseError(kNameIsReserved, "TTavDataSet.ValidateObjectName", name + ": " + kind, this);
}
bool TTavDataSet::CheckReadOnlyPrivileges() const {
  return (table_def_->PrivilegeFlags() & (MapObjectPrivTypeToConst(opInsertData) | MapObjectPrivTypeToConst(opDeleteData) |
                                          MapObjectPrivTypeToConst(opUpdateData))) == 0;
}
void TTavDataSet::DumpInternalCaches() {
  index_mgr_->InvalidateInternalBuffers();
  // The trees forgot where they stood.
  index_on_buffer_ = false;
}
void TTavDataSet::SetDebugStrings(host::TStrings* value) {
  debug_strings_ = value;
  index_mgr_->SetDebugStrings(value);
}
bool TTavDataSet::GetExists() const {
  if (!data_base_ || !data_base_->Connected()) return false;
  host::TStringList names;
  data_base_->GetTableNames(names, memory_);
  for (int i = 0; i < names.Count(); ++i)
    if (host::SameText(names.Strings(i), table_name_)) return true;
  return false;
}

// ---------------------------------------------------------------------------
// Overrides the descendant implements

host::TGetResult TTavDataSet::GetRecord(host::TRecordBuffer, host::TGetMode, bool) {
  TavDatabaseError(kOperationIsNotValidOnThisObject, "TTavDataSet.GetRecord", "", this);
}
void TTavDataSet::InternalClose() {
  TavDatabaseError(kOperationIsNotValidOnThisObject, "TTavDataSet.InternalClose", "", this);
}
void TTavDataSet::InternalHandleException() {
  TavDatabaseError(kOperationIsNotValidOnThisObject, "TTavDataSet.InternalHandleException", "",
                   this);
}
void TTavDataSet::InternalInitFieldDefs() {
  TavDatabaseError(kOperationIsNotValidOnThisObject, "TTavDataSet.InternalInitFieldDefs", "", this);
}
void TTavDataSet::InternalOpen() {
  TavDatabaseError(kOperationIsNotValidOnThisObject, "TTavDataSet.InternalOpen", "", this);
}
bool TTavDataSet::IsCursorOpen() {
  TavDatabaseError(kOperationIsNotValidOnThisObject, "TTavDataSet.IsCursorOpen", "", this);
}

namespace {
// Read-ahead for the length of one host fetch.
class TReadAheadScope {
 public:
  explicit TReadAheadScope(TTavDataSet& ds) : ds_(ds) { ds_.SetReadAheadMode(raReadAheadUninitialized); }
  ~TReadAheadScope() { ds_.ReleaseReadAheadMode(); }
  TReadAheadScope(const TReadAheadScope&) = delete;
  TReadAheadScope& operator=(const TReadAheadScope&) = delete;

 private:
  TTavDataSet& ds_;
};
}  // namespace

int TTavDataSet::GetNextRecords() {
  TReadAheadScope scope(*this);
  return host::TDataSet::GetNextRecords();
}
bool TTavDataSet::GetNextRecord() {
  TReadAheadScope scope(*this);
  return host::TDataSet::GetNextRecord();
}
int TTavDataSet::GetPriorRecords() {
  TReadAheadScope scope(*this);
  return host::TDataSet::GetPriorRecords();
}
bool TTavDataSet::GetPriorRecord() {
  TReadAheadScope scope(*this);
  return host::TDataSet::GetPriorRecord();
}

void TTavDataSet::Resync(host::TResyncMode mode) {
  use_read_ahead_ = true;
  read_ahead_size_ = BufferCount();
  SetReadAheadMode(raReadAheadUninitialized);
  try {
    TReadLockGuard lock(*this);
    host::TDataSet::Resync(mode);
  } catch (...) {
    ClearReadAheadMode();
    throw;
  }
  ClearReadAheadMode();
}

// ---------------------------------------------------------------------------
// Table definition

namespace {

constexpr char kTableDefCaller[] = "TTavDataSet.SetTableDef";

// One index of a definition being built, as the host's and the restructure's
// index definitions both describe it.
struct TIndexDescription {
  std::string Name;
  bool Unique = false;
  bool Primary = false;
  bool Descending = false;
  bool CaseInsensitive = false;
  std::string Fields;         // ';'-separated
  std::string DescFields;     // descending fields; empty: all when Descending
  std::string CaseInsFields;  // likewise for CaseInsensitive
  int Sequence = 0;
};

template <class TIndex>
TIndexDescription DescribeIndex(const TIndex& id, int sequence) {
  const host::TIndexOptions o = id.Options();
  return {id.Name(),
          o.Contains(host::ixUnique),
          o.Contains(host::ixPrimary),
          o.Contains(host::ixDescending),
          o.Contains(host::ixCaseInsensitive),
          id.Fields(),
          id.DescFields(),
          id.CaseInsFields(),
          sequence};
}

// The key field for `f` in index `index`.
void AddKeyField(TKeyFields& keys, const TIndexDescription& index, const TInternalFieldItem& f,
                 const std::vector<std::string>& descNames,
                 const std::vector<std::string>& caseNames, const host::TObject* sender) {
  TKeyFieldItem* k = keys.Add();
  k->SetIndexName(index.Name);
  k->SetFieldName(f.FieldName());
  k->SetFieldSize(f.FieldSize());
  k->SetDataType(f.DataType());
  k->SetIsVariable(f.IsVariable());
  k->SetPhysicalFieldNo(f.FieldIndex());
  k->SetCaseInsensitive((index.CaseInsensitive && index.CaseInsFields.empty()) ||
                        NameInList(f.FieldName(), caseNames));
  k->SetDescending((index.Descending && index.DescFields.empty()) ||
                   NameInList(f.FieldName(), descNames));
  k->SetRecBufOffset(f.DataOffset());
  k->SetNullFlagOffset(f.NullFlagOffset());
  k->SetSizeMarkerOffset(f.SizeMarkerOffset());
  if (k->IsVariable() && k->SizeMarkerOffset() == 0)
    TavDatabaseErrorFmt(kUnexpectedInternalError, kTableDefCaller, kRangeText, {"KeyOffset"},
                        sender);
  k->SetKeyIndex(keys.Count() - 1);
}

// The key fields of `index`: its fields, then, for an index that may hold
// equal keys, the hidden logical record number that tells them apart.
void BuildKeyFields(TKeyFields& keys, const TIndexDescription& index, const TInternalFields& fields,
                    const host::TObject* sender) {
  const std::vector<std::string> descNames = SplitNames(index.DescFields);
  const std::vector<std::string> caseNames = SplitNames(index.CaseInsFields);
  for (const std::string& fieldName : SplitNames(index.Fields)) {
    const TInternalFieldItem* f = fields.FindField(fieldName);
    if (!f) TavDatabaseError(kNoSuchField, kTableDefCaller, fieldName, sender);
    if (!IsKeyableType(f->DataType()))
      TavDatabaseError(kFieldTypeCannotBeIndexed, kTableDefCaller,
                       host::FieldTypeName(f->DataType()), sender);
    AddKeyField(keys, index, *f, descNames, caseNames, sender);
  }
  if (!index.Unique && !index.Primary) {
    TKeyFieldItem* k = keys.Add();
    k->SetIndexName(index.Name);
    k->SetDataType(host::ftInteger);
    k->SetFieldSize(4);
    k->SetHidden(true);
    k->SetDescending(index.Descending);
    k->SetRecBufOffset(kRecLogicalNoOffset);
    k->SetNullFlagOffset(kRecInUseOffset);
    k->SetKeyIndex(keys.Count() - 1);
  }
}

// Adds `index` and its key fields to `def`, whose fields are laid out.
void AddIndexDef(TTableDef& def, const TIndexDescription& index, bool memory,
                 const host::TObject* sender) {
  TInternalIndexDef* d = def.InternalIndexDefs().Add();
  d->SetIndexName(index.Name);
  d->SetUnique(index.Unique);
  d->SetMaintained(true);
  d->SetPrimary(index.Primary);
  d->SetMemory(memory);
  d->SetHidden(index.Name == kLogicalRecNoIndexName);
  d->SetIndexSequence(index.Sequence);
  TKeyFields own;
  BuildKeyFields(own, index, def.InternalFields(), sender);
  d->SetKeyDataOffset(CalculateKeyDataOffset(own.Count()));
  d->SetMaximumKeySize(CalculateMaximumKeySize(own) + d->KeyDataOffset());
  if (d->MaximumKeySize() > kRangeKeySize)
    TavDatabaseErrorFmt(kKeySizeTooLarge, kTableDefCaller, kRangeText, {index.Name}, sender);
  d->SetIndexPageSize(kIndexPageSize);
  for (int k = 0; k < own.Count(); ++k) def.KeyFields().Add()->Assign(*own.Items(k));
}

}  // namespace

void TTavDataSet::SetTableDefHeader(bool memory) {
  TTableDef& def = *table_def_;
  def.Clear();
  def.SetMemory(memory);
  def.SetTableName(table_name_);
  def.SetSortOrder(sort_order_);
  def.SetDefaultBlobSize(blob_block_size_);
  def.SetCreatedBy(table_owner_);
  def.SetEncryptionLevel(encryption_level_);
  def.SetEncrypted(encryption_level_ != encNone);
  if (def.Encrypted()) {
    std::string alt = table_name_;
    XORCryptBuf(alt.data(), alt.data(), C_TAVXORKEY, 0, C_TAVXORKEYLEN,
                static_cast<int32_t>(alt.size()));
    def.SetAltName(alt);
  } else {
    def.SetAltName(table_name_);
  }
}

void TTavDataSet::ValidateTableDef(int fieldCount, bool checkNames) const {
  if (table_name_.empty() || table_name_.size() > 40)
    TavDatabaseErrorFmt(kInvalidTableName, kTableDefCaller, kLengthText, {table_name_, 1, 40},
                        this);
  if (checkNames) ValidateObjectName(table_name_, "Table");
  if (fieldCount < 1 || fieldCount > 255)
    TavDatabaseErrorFmt(kNoneOrTooManyFieldsInTableCreate, kTableDefCaller, kCountText,
                        {fieldCount, 1, 255}, this);
}

void TTavDataSet::AddFieldDef(int fieldNo, const std::string& name, host::TFieldType type, int size,
                              bool required, bool checkNames) {
  if (name.size() > 40)
    TavDatabaseErrorFmt(kInvalidFieldName, kTableDefCaller, kLengthText, {name, 1, 40}, this);
  if (checkNames) ValidateObjectName(name, "Field");
  TInternalFieldItem* f = table_def_->InternalFields().Add();
  f->SetDataType(type);
  f->SetFieldNo(fieldNo);
  f->SetFieldIndex(fieldNo);
  f->SetRequired(required);
  if (f->FieldSize() == 0) f->SetFieldSize(size);
  if (type == host::ftString || type == host::ftWideString) {
    f->SetFieldSize(type == host::ftString ? size + 1 : size * 2 + 2);
    f->SetIsVariable(true);
    // The stored size lies in 2..256; the message names the declared range.
    if (checkNames && (f->FieldSize() < 2 || f->FieldSize() > 256))
      TavDatabaseErrorFmt(kFieldLengthIsInvalid, kTableDefCaller, kLengthText, {name, 1, 255},
                          this);
  } else if (type == host::ftBCD) {
    f->SetNumDecimalPlaces(size);
  }
  f->SetFieldName(name);
}

void TTavDataSet::LayOutFields() {
  TTableDef& def = *table_def_;
  TInternalFields& fields = def.InternalFields();
  fields.SetDefaultOffsets();
  fields.Open();
  def.SetRecordSize(fields.RecordSize());
  def.SetUsesBlobs(fields.UsesBlobs());
  TAV_ASSERT(def.RecordSize() > 0, "Record size = 0");
}

template <class TFields, class TIndexes>
void TTavDataSet::BuildTableDef(bool memory, const TFields& fieldDefs, const TIndexes& indexDefs,
                                bool checkNames) {
  SetTableDefHeader(memory);
  ValidateTableDef(fieldDefs.Count(), checkNames);
  for (int i = 0; i < fieldDefs.Count(); ++i) {
    const auto& fd = *fieldDefs.Items(i);
    AddFieldDef(i, fd.Name(), fd.DataType(), fd.Size(), fd.Required(), checkNames);
  }
  LayOutFields();

  const int indexCount = indexDefs.Count();
  if (indexCount > 32)
    TavDatabaseErrorFmt(kTooManyIndexes, kTableDefCaller, "Maximum allowed is %d", {32}, this);
  for (int j = 0; j < indexCount; ++j)
    AddIndexDef(*table_def_, DescribeIndex(*indexDefs.Items(j), j), memory, this);
  if (indexCount == 0) {
    TIndexDescription byNumber;
    byNumber.Name = kLogicalRecNoIndexName;
    AddIndexDef(*table_def_, byNumber, memory, this);
  }
}

void TTavDataSet::SetTableDef(bool memory, const host::TFieldDefs& fieldDefs,
                              const host::TIndexDefs& indexDefs) {
  try {
    BuildTableDef(memory, fieldDefs, indexDefs, true);
  } catch (...) {
    table_def_->Clear();
    throw;
  }
}

void TTavDataSet::SetTableDefFromRSDefs(bool memory, const TRestructureFieldDefs& fieldDefs,
                                        const TRestructureIndexDefs& indexDefs) {
  try {
    BuildTableDef(memory, fieldDefs, indexDefs, false);
  } catch (...) {
    table_def_->Clear();
    throw;
  }
}

void TTavDataSet::InternalCreateTable() {
  CheckConnected();
  CheckInternalInactive();
  data_base_->CheckConnected(table_def_->Memory());
  data_base_->CreateTable(*table_def_);
}

// ---------------------------------------------------------------------------
// Opening and closing

bool TTavDataSet::DataSetOpen() {
  const char* caller = "TTavDataSet.DataSetOpen";
  if (!data_base_) TavDatabaseError(kNoConnectionToDatabaseEngine, caller, "", this);
  if (table_name_.empty()) TavDatabaseError(kNoSuchTable, caller, "", this);
  if (cursor_active_) TavDatabaseError(kTableIsOpen, caller, "", this);
  table_def_->Clear();
  table_def_->SetMemory(memory_);
  data_base_->OpenTable(table_name_, *table_def_);
  try {
    if (table_def_->Encrypted()) {
      std::string name = table_def_->AltName();
      XORCryptBuf(name.data(), name.data(), C_TAVXORKEY, 0, C_TAVXORKEYLEN,
                  static_cast<int32_t>(name.size()));
      if (name != table_def_->TableName())
        TavDatabaseError(kCorruptHeader, caller, "The encrpytion key is not valid or corrupted",
                         this);
    }
    read_only_ = read_only_ || (data_base_->ReadOnly() && !table_def_->Memory());
    InternalOpenDataSet();
  } catch (...) {
    data_base_->CloseTable(*table_def_);
    throw;
  }
  TIndexItem* current = index_mgr_->CurrentIndex();
  read_ahead_->Open(static_cast<uint32_t>(record_buffer_size_),
                    static_cast<uint32_t>(current->MaximumKeySize()) + 1, kReadAheadCapacity);
  use_read_ahead_ = !table_def_->Memory();
  last_direction_ = rdCenter;
  return true;
}

namespace {

// The BLOB chains of a table whose fields use BLOBs; 8581 when its
// definition has no BLOB block size.
void OpenBlobInterface(TBlobInterface& blobs, TTableDef& def, bool fieldsUseBlobs, const char* caller,
                       const host::TObject* sender) {
  if (fieldsUseBlobs && (!def.UsesBlobs() || def.DefaultBlobSize() == 0))
    TavDatabaseErrorFmt(kUnexpectedInternalError, caller, kRangeText, {"DefaultBlobSize"}, sender);
  blobs.SetIOInterface(def.BlobInterface());
  if (def.UsesBlobs()) {
    blobs.SetBlobBlockSize(static_cast<uint32_t>(def.DefaultBlobSize()));
    blobs.Open();
  }
}

// The index a cursor opens on: the record-number index of a table without
// indexes, the one asked for when it exists, else the first visible one.
std::string IndexToOpenOn(TIndexManager& indexes, const std::string& wanted) {
  TAV_ASSERT(indexes.Count() > 0, "No indexes exist");
  if (indexes.Count() == 1 && indexes.Items(0)->IndexName() == kLogicalRecNoIndexName)
    return kLogicalRecNoIndexName;
  if (indexes.FindIndex(wanted)) return wanted;
  for (int i = 0; i < indexes.Count(); ++i)
    if (!indexes.Items(i)->Hidden()) return indexes.Items(i)->IndexName();
  return wanted;
}

}  // namespace

void TTavDataSet::InternalOpenDataSet() {
  const char* caller = "TTavDataSet.InternalOpenDataSet";
  if (cursor_active_) TavDatabaseError(kTableIsOpen, caller, "", this);
  TTableDef& def = *table_def_;
  // Borrowed storage is set up before the lock so that the header can be read.
  index_mgr_->SetTableHeader(def.TableHeader());
  try {
    TReadLockGuard lock(*this);
    def.Validate();
    encryption_level_ = def.EncryptionLevel();
    last_mod_mark_ = 0;
    prior_mod_mark_ = 1;
    index_headers_read_ = false;
    TInternalFields& fields = def.InternalFields();
    for (int i = 0; i < fields.Count(); ++i) fields.Items(i)->SetSourceField(fields.Items(i)->FieldName());
    if (def.RecordSize() == 0)
      TavDatabaseErrorFmt(kUnexpectedInternalError, caller, kRangeText, {"RecordSize"}, this);
    record_mgr_->Fields().Assign(fields);
    record_mgr_->SetRecordSize(def.RecordSize());
    record_mgr_->Open(def.RecordInterface());

    record_size_ = def.RecordSize();
    record_buffer_size_ = record_size_ + kPosInfoSize;
    record_buffer_.assign(static_cast<size_t>(record_buffer_size_), 0);
    second_buffer_.assign(static_cast<size_t>(record_buffer_size_), 0);
    for (int m = 0; m < 2; ++m) {
      range_buffers_[m].assign(static_cast<size_t>(record_buffer_size_), 0);
      range_keys_[m].assign(kRangeKeySize + 1, 0);
      range_key_flags_[m].clear();
      // Every field flagged as before (after) any value of it.
      std::vector<uint8_t>& blank = blank_range_buffers_[m];
      blank.assign(static_cast<size_t>(record_buffer_size_), 0);
      const uint8_t flag = m == rmRangeStart ? kKeyFlagBOF : kKeyFlagEOF;
      const TInternalFields& laid = record_mgr_->Fields();
      for (int i = 0; i < laid.Count(); ++i) blank[static_cast<size_t>(laid.Items(i)->NullFlagOffset())] = flag;
    }
    table_lock_id_ = (static_cast<uint32_t>(def.TableID()) << 4) | 9;
    range_on_ = false;
    range_valid_ = false;
    range_end_located_ = {false, false};
    InitializeRangeBuffers(rmRangeStart);
    InitializeRangeBuffers(rmRangeEnd);

    sort_order_ = def.SortOrder();
    index_mgr_->SetDBStringCompareFunction(sort_order_ == soASCII ? DBASCIICompareStrings
                                                                  : DBANSICompareStrings);
    index_mgr_->SetIOInterface(def.IndexInterface());
    index_mgr_->Assign(def.InternalIndexDefs());
    index_mgr_->AssignKeyFields(def.KeyFields());
    index_mgr_->Open();

    OpenBlobInterface(*blob_interface_, def, record_mgr_->Fields().UsesBlobs(), caller, this);
    blob_block_size_ = def.DefaultBlobSize();
    index_name_ = IndexToOpenOn(*index_mgr_, index_name_);
    index_mgr_->SetCurrentIndexName(index_name_);
    index_mgr_->CurrentIndex();  // 9997 when every index is hidden and the name is unknown
    version_ = def.Version();
    cursor_active_ = true;
  } catch (...) {
    cursor_active_ = true;  // lets the close below free what was opened
    InternalCloseDataSet();
    throw;
  }
}

void TTavDataSet::FreeBuffers() {
  std::vector<uint8_t>().swap(record_buffer_);
  std::vector<uint8_t>().swap(second_buffer_);
  for (int m = 0; m < 2; ++m) {
    std::vector<uint8_t>().swap(range_buffers_[m]);
    std::vector<uint8_t>().swap(blank_range_buffers_[m]);
    std::vector<uint8_t>().swap(range_keys_[m]);
    range_key_flags_[m].clear();
  }
}

void TTavDataSet::InternalCloseDataSet() {
  // Cached contents are keyed by record address, meaningless once closed.
  blob_cache_->Clear();
  locate_plan_.Valid = false;
  // The evaluator borrows the index trees closed below.
  filter_mgr_->Clear();
  filter_stale_ = false;
  index_mgr_->Close();
  index_mgr_->SetTableHeader(nullptr);
  blob_interface_->Close();
  record_mgr_->Close();
  FreeBuffers();
  range_on_ = false;
  cursor_active_ = false;
  record_buffer_state_ = TRecordBufferState::kEmpty;
  table_owner_.clear();
  read_ahead_nesting_ = 0;
  read_ahead_mode_ = raReadAheadInactive;
}

void TTavDataSet::DataSetClose() {
  unkeyed_run_.reset();
  only_record_ = only_at_ = 0;
  if (!cursor_active_) return;
  if (read_locked_ || write_locked_) {
    try {
      InternalReleaseLock();
    } catch (...) {
      read_locked_ = write_locked_ = false;
    }
  }
  InternalCloseDataSet();
  read_ahead_->Close();
  use_read_ahead_ = false;
  if (data_base_) data_base_->CloseTable(*table_def_);
  record_buffer_state_ = TRecordBufferState::kEmpty;
}

void TTavDataSet::ReadTableHeader() {
  TTableHeader* header = table_def_->TableHeader();
  if (!header)
    TavDatabaseError(kSystemObjectIsNotInitialized, "TTavDataSet.ReadTableHeader", "TableHeader",
                     this);
  const bool dirty = header->Dirty();
  if (!dirty) header->ReadHeader();
  const uint32_t flag = header->GetModifiedFlag();
  // Another dataset of the connection wrote since this one last looked. A
  // dataset that holds the lock writes the image only when it lets go, so
  // the change counter alone would not tell.
  others_wrote_ = header->WriteCount() != seen_write_count_;
  seen_write_count_ = header->WriteCount();
  for (bool& located : range_end_located_) located = located && flag == last_mod_mark_ && !others_wrote_;
  prior_mod_mark_ = last_mod_mark_;
  last_mod_mark_ = flag;
  const bool changed = HasTableHeaderChanged();
  // A header no one wrote since the last lock holds the index roots read
  // then: the index headers are read again only when it changed (or is
  // being written, or the indexes are others).
  if (index_mgr_->Count() > 0 &&
      (changed || dirty || !index_headers_read_ || index_headers_count_ != index_mgr_->Count())) {
    index_mgr_->ReadIndexHeaders(changed);
    index_headers_read_ = true;
    index_headers_count_ = index_mgr_->Count();
  }
  if (!table_def_->Memory()) {
    if (TBaseIOInterface* io = table_def_->RecordInterface()) {
      io->SetFirstEmpty(header->GetRecordFirstEmpty());
      io->SetFirstEmptyValid(true);
    }
    if (table_def_->UsesBlobs() && table_def_->BlobInterface()) {
      table_def_->BlobInterface()->SetFirstEmpty(header->GetBlobFirstEmpty());
      table_def_->BlobInterface()->SetFirstEmptyValid(true);
    }
  }
  if (changed) {
    read_ahead_->Invalidate();
    read_ahead_->SetRecordCountValid(false);
    // A BLOB edited in place keeps its record's address: the cached text
    // would outlive the change.
    ClearBlobCache();
    // The index paths were dropped: the next step searches by key again.
    if (read_ahead_mode_ == raReadAheadActive) read_ahead_mode_ = raReadAheadUninitialized;
    index_on_buffer_ = false;
    // Rebuilt when next used, which spares locks that never look at it.
    if (cursor_active_ && FilterActive()) filter_stale_ = true;
  }
}

void TTavDataSet::InternalSetIndexName(const std::string& name) {
  CheckInternalActive();
  TIndexItem& item = RequireIndex(name, "TTavDataSet.InternalSetIndexName");
  index_name_ = item.IndexName();
  index_mgr_->SetCurrentIndexName(index_name_);
  index_on_buffer_ = false;
  read_ahead_->Close();
  read_ahead_->Open(static_cast<uint32_t>(record_buffer_size_),
                    static_cast<uint32_t>(item.MaximumKeySize()) + 1, kReadAheadCapacity);
  range_end_located_ = {false, false};
  // The filter's lists follow the current index.
  if (FilterActive()) filter_stale_ = true;
}

// ---------------------------------------------------------------------------
// Locks

bool TTavDataSet::LockTable() {
  if (!write_locked_) InternalSetWriteLock();
  return true;
}
bool TTavDataSet::LockTableForWriteRun() {
  if (read_locked_ || write_locked_) return false;
  InternalSetWriteLock();
  // As a write guard's own lock: its release writes the header.
  guard_write_lock_ = true;
  return true;
}
bool TTavDataSet::UnlockTable() {
  if (read_locked_ || write_locked_) InternalReleaseLock();
  return true;
}
bool TTavDataSet::ReadLockTable() {
  if (!read_locked_) InternalSetReadLock();
  return true;
}

void TTavDataSet::InternalSetReadLock() {
  CheckConnected();
  data_base_->HoldTableLock(*table_def_, kTableReadLock, !read_locked_ && !write_locked_);
  read_locked_ = true;
  try {
    ReadTableHeader();
  } catch (...) {
    read_locked_ = write_locked_ = false;
    GiveBackTableLock();
    throw;
  }
}

void TTavDataSet::InternalSetWriteLock() {
  CheckConnected();
  data_base_->HoldTableLock(*table_def_, kTableWriteLock, !read_locked_ && !write_locked_);
  write_locked_ = read_locked_ = true;
  try {
    ReadTableHeader();
  } catch (...) {
    write_locked_ = read_locked_ = false;
    GiveBackTableLock();
    throw;
  }
}

void TTavDataSet::GiveBackTableLock() {
  // The free-chain heads the shared interfaces keep stay good while another
  // dataset of the connection holds the table.
  if (data_base_ && !data_base_->ReleaseTableLockHold(*table_def_)) return;
  if (TBaseIOInterface* io = table_def_->RecordInterface()) io->SetFirstEmptyValid(false);
  if (TBaseIOInterface* io = table_def_->BlobInterface()) io->SetFirstEmptyValid(false);
}

void TTavDataSet::CatchUpWithOtherWriters() {
  const TTableHeader* header = table_def_->TableHeader();
  if (cursor_active_ && header && header->WriteCount() != seen_write_count_) ReadTableHeader();
}

void TTavDataSet::ShareHeldWrite(bool indexesChanged) {
  TTableHeader* header = table_def_->TableHeader();
  if (!cursor_active_ || read_only_ || !header) return;
  StoreStateInHeader(indexesChanged);
  header->CountWrite();
  seen_write_count_ = header->WriteCount();
}

void TTavDataSet::InternalReleaseLock() {
  const bool wrote = write_locked_;
  write_locked_ = read_locked_ = guard_write_lock_ = false;
  try {
    if (wrote) WriteTableHeader();
  } catch (...) {
    GiveBackTableLock();
    throw;
  }
  GiveBackTableLock();
}

void TTavDataSet::WriteHeldTableHeader() {
  if (cursor_active_ && write_locked_ && !table_def_->Memory()) WriteTableHeader();
}

void TTavDataSet::ForgetTableLocks(bool rolledBack) {
  if (!cursor_active_ || table_def_->Memory()) return;
  read_locked_ = write_locked_ = guard_write_lock_ = false;
  // The connection holds no table lock any more.
  if (TTableHeader* header = table_def_->TableHeader()) header->SetLockHolders(0);
  if (TBaseIOInterface* io = table_def_->RecordInterface()) io->SetFirstEmptyValid(false);
  if (TBaseIOInterface* io = table_def_->BlobInterface()) io->SetFirstEmptyValid(false);
  if (!rolledBack) return;
  // The header image may hold what was rolled back: the next lock reads it
  // from the file, and whatever was read in the transaction goes.
  if (TTableHeader* header = table_def_->TableHeader()) header->SetDirty(false);
  range_end_located_ = {false, false};
  read_ahead_->Invalidate();
  read_ahead_->SetRecordCountValid(false);
  if (read_ahead_mode_ == raReadAheadActive) read_ahead_mode_ = raReadAheadUninitialized;
  ClearBlobCache();
  DumpInternalCaches();
  if (FilterActive()) filter_stale_ = true;
}

void TTavDataSet::InternalSetRecordLock(uint32_t address) {
  CheckConnected();
  data_base_->LockRecord(*table_def_, address);
}
void TTavDataSet::InternalReleaseRecordLock(uint32_t address) {
  CheckConnected();
  data_base_->UnLockRecord(*table_def_, address);
}

// ---------------------------------------------------------------------------
// Buffers and positions

uint32_t TTavDataSet::PosAddress(const uint8_t* buffer) const { return GetU32(buffer + record_size_); }
int32_t TTavDataSet::PosRecNo(const uint8_t* buffer) const {
  return static_cast<int32_t>(GetU32(buffer + record_size_ + 4));
}
uint32_t TTavDataSet::PosKeyFlag(const uint8_t* buffer) const { return GetU32(buffer + record_size_ + 8); }
void TTavDataSet::SetPosition(uint8_t* buffer, uint32_t address, int32_t recNo) const {
  if (buffer == record_buffer_.data()) rec_no_deferred_ = false;
  PutU32(buffer + record_size_, address);
  PutU32(buffer + record_size_ + 4, static_cast<uint32_t>(recNo));
  PutU32(buffer + record_size_ + 8, 0);
}

void TTavDataSet::GetRecordBuffer(uint8_t* buffer) const {
  CheckInternalActive();
  std::memcpy(buffer, record_buffer_.data(), record_buffer_.size());
}
void TTavDataSet::SetRecordBuffer(const uint8_t* buffer) {
  CheckInternalActive();
  std::memcpy(record_buffer_.data(), buffer, record_buffer_.size());
  record_buffer_state_ = TRecordBufferState::kChanged;
  index_on_buffer_ = false;
}
void TTavDataSet::ReadRecordBuffer(uint32_t address, uint8_t* buffer) {
  CheckInternalActive();
  TReadLockGuard lock(*this);
  record_mgr_->ReadRecord(address, buffer ? buffer : record_buffer_.data(), false);
}
void TTavDataSet::ClearRecord(uint8_t* buffer) {
  CheckInternalActive();
  if (buffer) {
    std::memset(buffer, 0, static_cast<size_t>(record_buffer_size_));
    return;
  }
  std::fill(record_buffer_.begin(), record_buffer_.end(), 0);
  record_buffer_state_ = TRecordBufferState::kChanged;
  index_on_buffer_ = false;
}
uint32_t TTavDataSet::DatasetGetRecAddr() const {
  CheckInternalActive();
  return PosAddress(record_buffer_.data());
}
uint32_t TTavDataSet::DataSetGetRecordModFlag() const {
  CheckInternalActive();
  return GetU32(record_buffer_.data() + kRecModFlagOffset);
}
bool TTavDataSet::CheckBufferWritten(const uint8_t* buffer) const { return PosRecNo(buffer) > 0; }

bool TTavDataSet::InternalCheckRecordValid(const uint8_t* buffer) const {
  return buffer[kRecInUseOffset] == 1 && GetU32(buffer + kRecIdentityOffset) == table_lock_id_;
}

void TTavDataSet::InitializeNewRecord(uint8_t* buffer, bool setKeyFlags) {
  std::memset(buffer, 0, static_cast<size_t>(record_buffer_size_));
  if (!setKeyFlags) return;
  TIndexItem* current = index_mgr_->CurrentIndex();
  const TKeyFields& keys = current->KeyFields();
  for (int i = 0; i < keys.Count(); ++i)
    if (!keys.Items(i)->Hidden()) buffer[keys.Items(i)->NullFlagOffset()] = kKeyFlagBOF;
  PutU32(buffer + record_size_ + 8, kKeyFlagBOF);
}

void TTavDataSet::SetKeyFlagsToBOF(uint8_t* buffer) {
  std::memset(buffer, 0, static_cast<size_t>(record_buffer_size_));
  const TInternalFields& fields = record_mgr_->Fields();
  for (int i = 0; i < fields.Count(); ++i) buffer[fields.Items(i)->NullFlagOffset()] = kKeyFlagBOF;
  PutU32(buffer + record_size_ + 8, kKeyFlagBOF);
}

void TTavDataSet::SetKeyFlagsToEOF(uint8_t* buffer) {
  std::memset(buffer, 0, static_cast<size_t>(record_buffer_size_));
  const TInternalFields& fields = record_mgr_->Fields();
  for (int i = 0; i < fields.Count(); ++i) buffer[fields.Items(i)->NullFlagOffset()] = kKeyFlagEOF;
  PutU32(buffer + record_size_ + 8, kKeyFlagEOF);
}

void TTavDataSet::SetFieldKeyFlagToMax(int fieldNo) {
  CheckInternalActive();
  record_buffer_[static_cast<size_t>(GetFieldNullOffset(fieldNo))] = kKeyFlagEOF;
  PutU32(record_buffer_.data() + record_size_ + 8, kKeyFlagEOF);
}

// ---------------------------------------------------------------------------
// Keys and searches

TIndexItem& TTavDataSet::RequireIndex(const std::string& name, const char* caller) const {
  // Mostly the current index: the manager remembers it.
  TIndexItem* item =
      name == index_mgr_->CurrentIndexName() ? index_mgr_->FindCurrentIndex() : index_mgr_->FindIndex(name);
  if (!item) TavDatabaseErrorFmt(kIndexDoesNotExist, caller, "Index %s", {name}, this);
  return *item;
}

void TTavDataSet::BuildMarkers(TIndexItem& item, const uint8_t* buffer,
                               std::vector<TFieldComparisonValue>& out) const {
  out.clear();
  if (PosKeyFlag(buffer) < 1) return;
  const TKeyFields& keys = item.KeyFields();
  out.reserve(static_cast<size_t>(keys.Count()));
  for (int i = 0; i < keys.Count(); ++i) {
    const TKeyFieldItem& k = *keys.Items(i);
    // The hidden record-number field follows the buffer's key flag word.
    const uint8_t flag = k.Hidden() ? static_cast<uint8_t>(PosKeyFlag(buffer)) : buffer[k.NullFlagOffset()];
    out.push_back(flag == kKeyFlagBOF ? fcForceBOF : flag == kKeyFlagEOF ? fcForceEOF : fcDefault);
  }
}

void TTavDataSet::BuildSearchKey(TIndexItem& item, const uint8_t* buffer) {
  BuildMarkers(item, buffer, markers_);
  item.CreateKeyBuffer(buffer, markers_);
}

void TTavDataSet::LoadFromIndex(TIndexItem& searched, uint32_t address, int32_t knownRecNo) {
  uint8_t* buf = record_buffer_.data();
  record_mgr_->ReadRecord(address, buf, true);
  TIndexItem* current = index_mgr_->CurrentIndex();
  if (current != &searched) {
    current->CreateKeyBuffer(buf);
    TAV_ASSERT(current->FullIndexSearch(stEQ) == 0, "Key found but not in current index");
  }
  SetPosition(buf, address, knownRecNo > 0 ? knownRecNo : current->GetRecordNo());
  record_buffer_state_ = TRecordBufferState::kRead;
  index_on_buffer_ = true;
}

namespace {

// One step of a find along `item` from the record numbered `at` in it (the
// engine buffer's record): stGT and stLT move one key on, stEQ stays.
// `reposition` (or an unknown number) first moves the index there from
// where it stands. knownRecNo becomes the reached record's number when
// that number is known and `item` is the current index.
bool StepAlongIndex(TIndexItem& item, TIndexSearchType searchType, int32_t at, bool reposition,
                    bool isCurrent, int32_t& knownRecNo, const host::TObject* sender) {
  bool found = true;
  if (reposition || at < 1) found = item.MoveBy(at - item.GetRecordNo());
  int32_t delta = 0;
  if (found) {
    switch (searchType) {
      case stLT: found = item.PriorKey(); delta = -1; break;
      case stGT: found = item.NextKey(); delta = 1; break;
      case stEQ: break;
      default:
        TavDatabaseError(kUnexpectedInternalError, "TTavDataSet.InternalFind",
                         "Unexpected seek type in Internal Find", sender);
    }
  }
  if (at >= 1 && isCurrent) knownRecNo = at + delta;
  return found;
}

}  // namespace

bool TTavDataSet::InternalFind(TIndexSearchType searchType, const std::string& indexName,
                               const TSearchModifier* modifier) {
  const char* caller = "TTavDataSet.InternalFind";
  CheckInternalActive();
  TReadLockGuard lock(*this);
  TIndexItem& item = RequireIndex(indexName, caller);
  uint8_t* buf = record_buffer_.data();
  bool found;
  int32_t knownRecNo = 0;
  // A step from a record the current index still stands on moves along the
  // index, as in read-ahead mode: a host fetching one record at a time pays
  // no key search per step.
  const bool standsOnBuffer = index_on_buffer_ && record_buffer_state_ == TRecordBufferState::kRead &&
                              (searchType == stGT || searchType == stLT) &&
                              &item == index_mgr_->CurrentIndex() && PosRecNo(buf) >= 1 &&
                              PosKeyFlag(buf) == 0;
  if (read_ahead_mode_ == raReadAheadActive || standsOnBuffer) {
    // Steps served from the read-ahead buffer left the index behind the
    // buffer; without them the index stands on the buffer's record and
    // its number is known, which spares counting it in the tree.
    found = StepAlongIndex(item, searchType, PosRecNo(buf), use_read_ahead_ || !index_on_buffer_,
                           &item == index_mgr_->CurrentIndex(), knownRecNo, this);
  } else {
    BuildSearchKey(item, buf);
    if (searchType == stLEG) {
      found = item.FullIndexSearch(stGE) == 0 || item.FullIndexSearch(stLE) == 0;
    } else {
      found = item.PartialIndexSearch(searchType, modifier) == 0;
    }
  }
  if (!found) {
    index_on_buffer_ = false;
    return false;
  }
  const uint32_t address = item.GetRecordAddress();
  if (address == 0) {
    index_on_buffer_ = false;
    return false;
  }
  TakeFoundRecord(item, address, knownRecNo);
  return true;
}

void TTavDataSet::TakeFoundRecord(TIndexItem& searched, uint32_t address, int32_t knownRecNo) {
  LoadFromIndex(searched, address, knownRecNo);
  if (!read_ahead_->RecordCountValid()) {
    read_ahead_->SetLastRecordCount(index_mgr_->CurrentIndex()->GetRecordCount());
    read_ahead_->SetRecordCountValid(true);
  }
  if (use_read_ahead_ && !read_ahead_->GetBufferItem(address)) {
    // A walk (a step on the way the last fill went, which the steps since
    // have used up) lists twice as many records each fill, up to a leaf's
    // worth: fewer locks and tree descents per record, whether the steps come
    // from a host fetch one record at a time or from a read-ahead run. Any
    // other fill starts again at the buffer size.
    const bool walking = (last_direction_ == rdForwards || last_direction_ == rdBackwards) &&
                         last_direction_ == last_fill_direction_;
    const int32_t most = std::min<int32_t>(
        kReadAheadWalkFill, kReadAheadWalkBytes / std::max<int32_t>(1, record_buffer_size_));
    fill_size_ = walking ? std::min(std::max(fill_size_, read_ahead_size_) * 2, most)
                         : read_ahead_size_;
    last_fill_direction_ = last_direction_;
    FillReadAheadBuffer(std::max(fill_size_, read_ahead_size_), last_direction_);
  }
  last_direction_ = rdCenter;
}

int TTavDataSet::CompareCurrentToRangeKey(TRangeMode mode) {
  TIndexItem* current = index_mgr_->CurrentIndex();
  // The found record's own key against the range end's key and flags.
  uint8_t* temp = current->GetTempKeyBuffer();
  current->CreateTempKeyBuffer(record_buffer_.data(), temp);
  return current->Tree().CompareKeys(0, temp, {}, range_keys_[mode].data(), range_key_flags_[mode]);
}

namespace {
// Whether `key` lies on the inner side of the range end `mode` (its key and
// flags), in `tree`'s order.
bool KeyInsideRangeEnd(const TBTree& tree, const uint8_t* key, TRangeMode mode,
                       const std::array<std::vector<uint8_t>, 2>& keys,
                       const std::array<std::vector<TFieldComparisonValue>, 2>& flags) {
  const int r = tree.CompareKeys(0, key, {}, keys[mode].data(), flags[mode]);
  return mode == rmRangeStart ? r >= 0 : r <= 0;
}
}  // namespace

bool TTavDataSet::CheckKeyBufInRange(const uint8_t* key, TRangeMode mode) {
  return KeyInsideRangeEnd(index_mgr_->CurrentIndex()->Tree(), key, mode, range_keys_, range_key_flags_);
}

bool TTavDataSet::CurrentKeyInRange() {
  if (!range_valid_) return false;
  // One look-up of the index and one key built from the record serve both
  // ends.
  TIndexItem* current = index_mgr_->CurrentIndex();
  uint8_t* temp = current->GetTempKeyBuffer();
  current->CreateTempKeyBuffer(record_buffer_.data(), temp);
  const TBTree& tree = current->Tree();
  return KeyInsideRangeEnd(tree, temp, rmRangeStart, range_keys_, range_key_flags_) &&
         KeyInsideRangeEnd(tree, temp, rmRangeEnd, range_keys_, range_key_flags_);
}

bool TTavDataSet::Find(TIndexSearchType searchType, const std::string& indexName,
                       const TSearchModifier* modifier) {
  if (!FilterActive()) return FindInRange(searchType, indexName, modifier);
  CheckInternalActive();
  TReadLockGuard lock(*this);
  // An exact search may have to pass over records of the key that the
  // filter refuses: it keeps the key it was given.
  std::vector<uint8_t> key;
  if (searchType == stEQ) key = record_buffer_;
  if (!FindInRange(searchType, indexName, modifier)) return false;
  EnsureFilterCurrent();
  const uint32_t found = PosAddress(record_buffer_.data());
  // The record found already lies strictly above (below) the key: it is the
  // first candidate, not the point to step away from.
  const TIndexSearchType nearestType =
      searchType == stGT ? stGE : searchType == stLT ? stLE : searchType;
  const uint32_t nearest = filter_mgr_->FindFilterRecord(found, nearestType);
  if (nearest == 0) return searchType == stEQ && FindPassingDuplicate(key.data(), indexName, modifier);
  if (nearest != found) return SetToRecord(nearest, nullptr, true, false);
  return true;
}

bool TTavDataSet::FindPassingDuplicate(const uint8_t* key, const std::string& indexName,
                                       const TSearchModifier* modifier) {
  TIndexItem& item = RequireIndex(indexName, "TTavDataSet.Find");
  // The key fields the search compared (0: all of them).
  int compared = 0;
  if (modifier && modifier->LimitedSearch()) {
    compared = modifier->IncludedKeyFieldCount();
    if (compared < 1)
      for (int i = 0; i < item.KeyFields().Count(); ++i)
        if (!item.KeyFields().Items(i)->Hidden()) ++compared;
  }
  std::vector<uint8_t> searchKey(static_cast<size_t>(item.MaximumKeySize()) + 1);
  BuildMarkers(item, key, markers_);
  item.CreateTempKeyBuffer(key, searchKey.data(), markers_);
  // The records of the key follow the first one in the index; the filter
  // lists only records inside the range.
  item.CopyKeyBuffer(searchKey.data(), nullptr);
  if (item.PartialIndexSearch(stEQ, modifier) != 0) return false;
  index_on_buffer_ = false;
  while (item.NextKey()) {
    if (item.CompareKeyToCurrentKey(compared, searchKey.data()) != 0) return false;
    const uint32_t address = item.GetRecordAddress();
    if (address != 0 && filter_mgr_->CheckRecordInFilter(address))
      return SetToRecord(address, nullptr, true, false);
  }
  return false;
}

bool TTavDataSet::FindInRange(TIndexSearchType searchType, const std::string& indexName,
                              const TSearchModifier* modifier) {
  if (!InternalFind(searchType, indexName, modifier)) return false;
  if (!range_on_) return true;
  if (!range_valid_) return false;
  if (CompareCurrentToRangeKey(rmRangeEnd) > 0) {
    if (searchType == stLT || searchType == stLE || searchType == stLEG) {
      if (!MoveToRangeEnd(rmRangeEnd)) return false;
    } else {
      return false;
    }
  }
  if (CompareCurrentToRangeKey(rmRangeStart) < 0) {
    if (searchType == stGE || searchType == stGT || searchType == stLEG) {
      if (!MoveToRangeEnd(rmRangeStart)) return false;
      // The start may lie past the end of a range that holds no record.
      return CompareCurrentToRangeKey(rmRangeEnd) <= 0;
    }
    return false;
  }
  return true;
}

bool TTavDataSet::FindBuf(const uint8_t* buffer, TIndexSearchType searchType,
                          const std::string& indexName, const TSearchModifier* modifier,
                          bool nearest) {
  CheckInternalActive();
  std::memcpy(record_buffer_.data(), buffer, record_buffer_.size());
  if (Find(searchType, indexName, modifier)) return true;
  if (nearest) RefreshDataSet(stLEG, nullptr);
  return false;
}

bool TTavDataSet::DataSetMoveToEnd(bool toStart) {
  uint8_t* buf = record_buffer_.data();
  if (toStart) {
    SetKeyFlagsToBOF(buf);
    return InternalFind(stGE, index_name_);
  }
  SetKeyFlagsToEOF(buf);
  return InternalFind(stLE, index_name_);
}

bool TTavDataSet::DataSetFirst() {
  const uint32_t only = std::exchange(only_record_, 0);
  only_at_ = 0;
  if (FilterActive()) return InternalMoveToFilterRecord(spFromStart, 0);
  if (only != 0 && !range_on_) return MoveToOnlyRecord(only);
  return DataSetInternalFirst();
}

bool TTavDataSet::MoveToOnlyRecord(uint32_t address) {
  CheckInternalActive();
  TReadLockGuard lock(*this);
  uint8_t* buf = record_buffer_.data();
  // Read as a search finds it; the index stays where it stood, so the next
  // step finds its place by key.
  record_mgr_->ReadRecord(address, buf, true);
  SetPosition(buf, address, 1);
  record_buffer_state_ = TRecordBufferState::kRead;
  index_on_buffer_ = false;
  last_direction_ = rdCenter;
  // Nobody outside this connection changes a memory table: until its header
  // moves on, a step from this record finds none.
  const TTableHeader* header = table_def_->TableHeader();
  if (table_def_->Memory() && header && !header->Dirty()) {
    only_at_ = address;
    only_mark_ = header->GetModifiedFlag();
    only_writes_ = header->WriteCount();
  }
  return true;
}

bool TTavDataSet::StandsOnOnlyRecord() {
  const TTableHeader* header = table_def_->TableHeader();
  const uint8_t* buf = record_buffer_.data();
  if (header && !header->Dirty() && header->GetModifiedFlag() == only_mark_ &&
      header->WriteCount() == only_writes_ && record_buffer_state_ == TRecordBufferState::kRead &&
      PosAddress(buf) == only_at_ && PosKeyFlag(buf) == 0)
    return true;
  only_at_ = 0;
  return false;
}
bool TTavDataSet::DataSetLast() {
  return FilterActive() ? InternalMoveToFilterRecord(spFromEnd, 0) : DataSetInternalLast();
}
bool TTavDataSet::DataSetNext() {
  if (FilterActive()) return InternalMoveToFilterRecord(spFromCurrent, 1);
  if (only_at_ != 0 && StandsOnOnlyRecord()) return false;
  return DataSetInternalNext();
}
bool TTavDataSet::DataSetPrior() {
  return FilterActive() ? InternalMoveToFilterRecord(spFromCurrent, -1) : DataSetInternalPrior();
}

bool TTavDataSet::DataSetInternalFirst() {
  CheckInternalActive();
  if (!range_on_) return DataSetMoveToEnd(true);
  // A record found fills the whole buffer, its position included; short of
  // one, the buffer stands before the first record.
  uint8_t* buf = record_buffer_.data();
  if (!range_valid_) {
    SetKeyFlagsToBOF(buf);
    return false;
  }
  bool moved = false;
  try {
    TReadLockGuard lock(*this);
    moved = MoveToRangeEnd(rmRangeStart);
    if (!moved) {
      SetKeyFlagsToBOF(buf);
      return false;
    }
    // The index stands on the record's entry, which holds the key the
    // record gives: compared where it is, without building it again.
    TIndexItem* current = index_mgr_->CurrentIndex();
    return current->Tree().CompareKeys(0, current->GetCurrentKeyBuf(), {}, range_keys_[rmRangeEnd].data(),
                                       range_key_flags_[rmRangeEnd]) <= 0;
  } catch (...) {
    if (!moved) SetKeyFlagsToBOF(buf);
    throw;
  }
}

bool TTavDataSet::DataSetInternalLast() {
  CheckInternalActive();
  if (!range_on_) return DataSetMoveToEnd(false);
  SetKeyFlagsToEOF(record_buffer_.data());
  if (!range_valid_) return false;
  TReadLockGuard lock(*this);
  return MoveToRangeEnd(rmRangeEnd) && CompareCurrentToRangeKey(rmRangeStart) >= 0;
}

bool TTavDataSet::TryReadAhead(TReadAheadDirection direction, bool locked) {
  if (!use_read_ahead_) return false;
  const uint32_t now = os::GetTickCount();
  if (!locked) {
    // The buffer was filled under a read lock, so each of its records is
    // one the table held whole at that lock. For a short while after the
    // fill it serves the following steps without another lock or header
    // read; another connection's change is then seen at the next lock. A
    // change by this connection (any of its datasets) shows at once in the
    // header image they share: a write in progress marks it dirty, a written
    // one moves its change counter.
    const TTableHeader* header = table_def_->TableHeader();
    if (!header || header->Dirty() || header->GetModifiedFlag() != last_mod_mark_ ||
        header->WriteCount() != seen_write_count_)
      return false;
    const uint32_t stamp = read_ahead_->ValidTimeStamp();
    if (stamp == 0 || static_cast<uint32_t>(now - stamp) > kReadAheadUnlockedPeriod) return false;
  }
  // Under a lock held across calls: another dataset's write since this one
  // last looked empties the buffer.
  if (locked) CatchUpWithOtherWriters();
  if (!read_ahead_->IsValid(now)) return false;
  uint8_t* buf = record_buffer_.data();
  const uint32_t address = PosAddress(buf);
  TReadAheadBufferItem* item = direction == rdForwards ? read_ahead_->GetNextBufferItem(address)
                                                       : read_ahead_->GetPriorBufferItem(address);
  if (!item) return false;
  std::memcpy(buf, item->RecordBuffer(), static_cast<size_t>(record_size_));
  SetPosition(buf, item->RecAddr(), item->RecNo());
  record_buffer_state_ = TRecordBufferState::kRead;
  return true;
}

bool TTavDataSet::InternalStep(TReadAheadDirection direction) {
  CheckInternalActive();
  // A step the read-ahead buffer serves soon after its fill takes no lock.
  bool found = TryReadAhead(direction, read_locked_);
  bool buffered = found;
  if (!found) {
    TReadLockGuard lock(*this);
    // The lock read the header: a change seen there emptied the buffer.
    found = buffered = TryReadAhead(direction, true);
    if (!found) {
      last_direction_ = direction;
      found = InternalFind(direction == rdForwards ? stGT : stLT, index_name_);
    }
  }
  if (found && read_ahead_mode_ == raReadAheadUninitialized) read_ahead_mode_ = raReadAheadActive;
  // A fill under the range kept only the records inside it (a change of
  // range or index empties the buffer): a record it serves needs no check.
  if (found && range_on_) return (buffered && read_ahead_in_range_ && range_valid_) || CurrentKeyInRange();
  return found;
}

bool TTavDataSet::DataSetInternalNext() { return InternalStep(rdForwards); }

bool TTavDataSet::DataSetInternalPrior() { return InternalStep(rdBackwards); }

bool TTavDataSet::ReadRecordChecked(uint32_t address, std::vector<uint8_t>& out) {
  TBaseIOInterface* io = table_def_->RecordInterface();
  if (address == 0 || !io) return false;
  // Never shrunk: callers hand in whole record buffers and use them so.
  if (out.size() < static_cast<size_t>(record_size_)) out.resize(static_cast<size_t>(record_size_));
  if (table_def_->Memory()) {
    if (!io->CheckBlockAddressValid(address)) return false;
    record_mgr_->ReadRecord(address, out.data(), false);
    return true;
  }
  try {
    // On disk the record manager refuses blocks that are not this table's.
    record_mgr_->ReadRecord(address, out.data(), false);
  } catch (const ETavDatabaseError&) {
    return false;
  }
  return true;
}

bool TTavDataSet::SetToRecord(uint32_t address, const uint8_t* buffer, bool reposition,
                              bool checkFlags) {
  const char* caller = "TTavDataSet.SetToRecord";
  CheckInternalActive();
  if (address == 0)
    TavDatabaseError(kUnexpectedInternalError, caller, "Invalid address of 0 for SetToRecord",
                     this);
  TReadLockGuard lock(*this);
  // A rebuild reads through the index trees: before this positions them.
  if (reposition) EnsureFilterCurrent();
  uint8_t* buf = record_buffer_.data();
  if (!ReadRecordChecked(address, second_buffer_))
    TavDatabaseError(kRecordDeletedKeyModified, caller, "", this);
  TIndexSearchType search;
  if (InternalCheckRecordValid(second_buffer_.data())) {
    record_mgr_->ReadRecord(address, buf, true);
    if (checkFlags && buffer &&
        GetU32(buf + kRecModFlagOffset) != GetU32(buffer + kRecModFlagOffset))
      TavDatabaseError(kRecordDeletedKeyModified, caller, "", this);
    search = stEQ;
  } else {
    if (buffer)
      std::memcpy(buf, buffer, static_cast<size_t>(record_size_));
    else
      record_mgr_->RestoreBufferFromInternalBuffer(buf);
    search = stLEG;
  }
  PutU32(buf + record_size_ + 8, 0);
  index_on_buffer_ = false;
  if (!reposition) {
    SetPosition(buf, address, 0);
    return true;
  }
  TIndexItem* current = index_mgr_->CurrentIndex();
  current->CreateKeyBuffer(buf);
  const bool found = search == stLEG
                         ? current->FullIndexSearch(stGE) == 0 || current->FullIndexSearch(stLE) == 0
                         : current->FullIndexSearch(stEQ) == 0;
  if (!found) {
    if (current->GetRecordCount() > 0)
      TavDatabaseError(kRecordDeletedKeyModified, caller, "", this);
    return false;
  }
  const uint32_t at = current->GetRecordAddress();
  if (search == stLEG) record_mgr_->ReadRecord(at, buf, true);
  SetPosition(buf, at, current->GetRecordNo());
  record_buffer_state_ = TRecordBufferState::kRead;
  index_on_buffer_ = true;
  return !FilterActive() || filter_mgr_->CheckRecordInFilter(at);
}

bool TTavDataSet::SetToRecordBuffer(const uint8_t* buffer, bool checkFlags, bool reposition) {
  if (!buffer) return false;
  return SetToRecord(PosAddress(buffer), buffer, reposition, checkFlags);
}

bool TTavDataSet::DataSetSetToBookmark(const uint8_t* bookmark) {
  if (!bookmark) return false;
  if (!CheckBookMarkValid(bookmark))
    TavDatabaseError(kRecordDeletedKeyModified, "TTavDataSet.DataSetSetToBookmark", "", this);
  return SetToRecord(GetU32(bookmark), nullptr, true, false);
}

void TTavDataSet::DataSetSetToFlags(uint32_t address, uint32_t modFlag) {
  const char* caller = "TTavDataSet.DataSetSetToFlags";
  CheckInternalActive();
  SetToRecord(address, nullptr, true, false);
  // A record gone from the address lands the cursor on a neighbour, whose
  // flag may happen to match: only the record itself counts.
  if (PosAddress(record_buffer_.data()) != address || DataSetGetRecordModFlag() != modFlag)
    TavDatabaseError(kRecordDeletedKeyModified, caller, "", this);
  host::TRecordBuffer active = ActiveBuffer();
  if (!active) return;
  TAV_ASSERT(GetRecordSize() >= record_buffer_size_,
             "Active buffer smaller than the record buffer");
  std::memcpy(active, record_buffer_.data(), static_cast<size_t>(record_buffer_size_));
}

void TTavDataSet::DataSetSetToUnorderedRecord(uint32_t address) {
  CheckInternalActive();
  TReadLockGuard lock(*this);
  record_mgr_->ReadRecord(address, record_buffer_.data(), true);
  SetPosition(record_buffer_.data(), address, 0);
  record_buffer_state_ = TRecordBufferState::kRead;
  index_on_buffer_ = false;
}

uint32_t TTavDataSet::RefreshDataSet(TIndexSearchType searchType, uint8_t* buffer) {
  CheckInternalActive();
  TReadLockGuard lock(*this);
  TIndexItem* current = index_mgr_->CurrentIndex();
  const uint8_t* source = record_mgr_->InternalBuffer();
  if (!source) return 0;
  current->CreateKeyBuffer(source);
  index_on_buffer_ = false;
  bool found;
  if (searchType == stLEG) {
    range_end_located_ = {false, false};
    found = current->FullIndexSearch(stGE) == 0 || current->FullIndexSearch(stLE) == 0;
  } else {
    found = current->FullIndexSearch(searchType) == 0;
  }
  if (!found) return 0;
  const uint32_t address = current->GetRecordAddress();
  uint8_t* dest = buffer ? buffer : record_buffer_.data();
  record_mgr_->ReadRecord(address, dest, true);
  SetPosition(dest, address, current->GetRecordNo());
  if (!buffer) {
    record_buffer_state_ = TRecordBufferState::kRead;
    index_on_buffer_ = true;
  }
  return address;
}

// ---------------------------------------------------------------------------
// Bookmarks

void TTavDataSet::GetBookMarkFromBuf(const uint8_t* buffer, uint8_t* bookmark) const {
  PutU32(bookmark, PosAddress(buffer));
  std::memcpy(bookmark + 4, buffer + kRecLogicalNoOffset, 4);
}

void TTavDataSet::SetBookMarkToBuf(uint8_t* buffer, const uint8_t* bookmark) const {
  PutU32(buffer + record_size_, GetU32(bookmark));
  std::memcpy(buffer + kRecLogicalNoOffset, bookmark + 4, 4);
}

bool TTavDataSet::CheckBookMarkValid(const uint8_t* bookmark) {
  if (!cursor_active_ || !bookmark) return false;
  TReadLockGuard lock(*this);
  if (!ReadRecordChecked(GetU32(bookmark), second_buffer_)) return false;
  const uint8_t* rec = second_buffer_.data();
  return InternalCheckRecordValid(rec) && std::memcmp(rec + kRecLogicalNoOffset, bookmark + 4, 4) == 0;
}

// ---------------------------------------------------------------------------
// Record numbers and counts

int32_t TTavDataSet::DataSetGetRecordNo() {
  CheckInternalActive();
  return DataSetGetRecordNoFromBuf(record_buffer_.data());
}

int32_t TTavDataSet::DataSetGetRecordNoFromBuf(const uint8_t* buffer) {
  if (buffer == record_buffer_.data()) CountDeferredRecNo();
  const int32_t value = PosRecNo(buffer);
  if (!range_on_ || value < 1) return value;
  const int32_t base = FilterActive() ? filter_mgr_->GetBaseRecNo() : GetRangeEndRecNo(rmRangeStart);
  if (base < 1) return value;
  return value - base + 1;
}

int32_t TTavDataSet::DataSetSetRecordNo(int32_t recNo) {
  CheckInternalActive();
  if (recNo < 1) return -1;
  TReadLockGuard lock(*this);
  int32_t bound;
  if (range_on_) {
    EnsureFilterCurrent();
    const int32_t start = GetRangeEndRecNo(rmRangeStart);
    const int32_t base = FilterActive() ? filter_mgr_->GetBaseRecNo() : start;
    const int32_t end = GetRangeEndRecNo(rmRangeEnd);
    if (base < 1 || end < 1) return -1;
    recNo = base + recNo - 1;
    bound = end;
  } else {
    bound = index_mgr_->CurrentIndex()->GetRecordCount();
  }
  if (recNo > bound) return -1;
  index_on_buffer_ = false;
  const uint32_t address = index_mgr_->CurrentIndex()->SetRecordNo(recNo);
  if (address == 0) return -1;
  if (!SetToRecord(address, nullptr, true, false)) return -1;
  return static_cast<int32_t>(address);
}

int32_t TTavDataSet::GetTotalRecordCount() {
  if (!cursor_active_) return 0;
  if (read_locked_) CatchUpWithOtherWriters();
  // Without a lock the kept count stands only while no dataset of the
  // connection changed the table since: the header image they share says.
  const TTableHeader* header = table_def_->TableHeader();
  const bool ownConnectionWrote = !read_locked_ && header &&
                                  (header->Dirty() || header->GetModifiedFlag() != last_mod_mark_ ||
                                   header->WriteCount() != seen_write_count_);
  if (read_ahead_->RecordCountValid() && !ownConnectionWrote) return read_ahead_->LastRecordCount();
  TReadLockGuard lock(*this);
  if (read_ahead_->RecordCountValid()) return read_ahead_->LastRecordCount();
  return index_mgr_->CurrentIndex()->GetRecordCount();
}

int32_t TTavDataSet::GetCurrentRecordCount() {
  if (!cursor_active_) return 0;
  if (FilterActive()) {
    TReadLockGuard lock(*this);
    EnsureFilterCurrent();
    return filter_mgr_->GetFilterRecordCount();
  }
  if (!range_on_) return GetTotalRecordCount();
  if (!range_valid_) return 0;
  TReadLockGuard lock(*this);
  const int32_t start = GetRangeEndRecNo(rmRangeStart);
  const int32_t end = GetRangeEndRecNo(rmRangeEnd);
  if (start < 1 || end < 1) return 0;
  const int32_t count = std::max(0, end - start + 1);
  if (count > 0 && RecNo() == 0)
    if (std::shared_ptr<TDBLogger> log = GDBLogger())
      log->LogItem("TTavDataSet.GetCurrentRecordCount", "Invalid recno/count. Resetting to range start");
  return count;
}

// ---------------------------------------------------------------------------
// Ranges

void TTavDataSet::InitializeRangeBuffers(TRangeMode mode) {
  const std::vector<uint8_t>& blank = blank_range_buffers_[mode];
  std::vector<uint8_t>& buf = range_buffers_[mode];
  TAV_ASSERT(blank.size() == buf.size(), "Range buffers are not laid out");
  std::copy(blank.begin(), blank.end(), buf.begin());
}

void TTavDataSet::SetRangeOn(bool on, bool endsInOrder) {
  CheckInternalActive();
  if (on) {
    TIndexItem* current = index_mgr_->CurrentIndex();
    for (int m = 0; m < 2; ++m) {
      std::vector<TFieldComparisonValue>& flags = range_key_flags_[m];
      const uint8_t* buf = range_buffers_[m].data();
      flags.clear();
      const TKeyFields& keys = current->KeyFields();
      for (int i = 0; i < keys.Count(); ++i) {
        const TKeyFieldItem& k = *keys.Items(i);
        const uint8_t flag = k.Hidden() ? (m == rmRangeEnd ? kKeyFlagEOF : kKeyFlagBOF)
                                        : buf[k.NullFlagOffset()];
        flags.push_back(flag == kKeyFlagBOF ? fcForceBOF : flag == kKeyFlagEOF ? fcForceEOF : fcDefault);
      }
      current->CreateTempKeyBuffer(buf, range_keys_[m].data(), flags);
    }
    range_valid_ = endsInOrder ||
                   current->Tree().CompareKeys(0, range_keys_[rmRangeStart].data(),
                                               range_key_flags_[rmRangeStart],
                                               range_keys_[rmRangeEnd].data(),
                                               range_key_flags_[rmRangeEnd]) <= 0;
  } else {
    InitializeRangeBuffers(rmRangeStart);
    InitializeRangeBuffers(rmRangeEnd);
    range_valid_ = false;
  }
  range_on_ = on;
  range_end_located_ = {false, false};
  read_ahead_->Invalidate();
  if (FilterActive()) filter_stale_ = true;
}

bool TTavDataSet::MoveToRangeEnd(TRangeMode mode) {
  TIndexItem* current = index_mgr_->CurrentIndex();
  current->Tree().ConstructKeyBufFromKeyBuf(range_keys_[mode].data(), range_key_flags_[mode]);
  index_on_buffer_ = false;
  if (current->FullIndexSearch(mode == rmRangeStart ? stGE : stLE) != 0) return false;
  const uint32_t address = current->GetRecordAddress();
  if (address == 0) return false;
  uint8_t* buf = record_buffer_.data();
  record_mgr_->ReadRecord(address, buf, true);
  const bool defer = defer_range_rec_no_;
  const int32_t recNo = defer ? 0 : current->GetRecordNo();
  SetPosition(buf, address, recNo);
  // Uncounted, the range end stays unlocated: GetRangeEndRecNo counts it
  // when asked.
  if (!defer) {
    uint8_t* rangeBuf = range_buffers_[mode].data();
    PutU32(rangeBuf + record_size_, address);
    PutU32(rangeBuf + record_size_ + 4, static_cast<uint32_t>(recNo));
    range_end_located_[mode] = true;
  }
  rec_no_deferred_ = defer;
  record_buffer_state_ = TRecordBufferState::kRead;
  index_on_buffer_ = true;
  return true;
}

void TTavDataSet::CountDeferredRecNo() {
  if (!rec_no_deferred_) return;
  rec_no_deferred_ = false;
  uint8_t* buf = record_buffer_.data();
  const uint32_t address = PosAddress(buf);
  if (record_buffer_state_ != TRecordBufferState::kRead || address == 0 || PosRecNo(buf) != 0) return;
  TReadLockGuard lock(*this);
  // Found again by its key: the index may have moved since the record was
  // reached.
  TIndexItem* current = index_mgr_->CurrentIndex();
  const bool wasOn = index_on_buffer_;
  index_on_buffer_ = false;
  current->CreateKeyBuffer(buf);
  if (current->FullIndexSearch(stEQ) != 0 || current->GetRecordAddress() != address) return;
  PutU32(buf + record_size_ + 4, static_cast<uint32_t>(current->GetRecordNo()));
  index_on_buffer_ = wasOn;
}

int32_t TTavDataSet::GetRangeEndRecNo(TRangeMode mode) {
  if (!range_on_ || !range_valid_) return 0;
  uint8_t* rangeBuf = range_buffers_[mode].data();
  if (range_end_located_[mode]) return PosRecNo(rangeBuf);
  TReadLockGuard lock(*this);
  if (range_end_located_[mode]) return PosRecNo(rangeBuf);
  TIndexItem* current = index_mgr_->CurrentIndex();
  current->Tree().ConstructKeyBufFromKeyBuf(range_keys_[mode].data(), range_key_flags_[mode]);
  int32_t recNo = 0;
  uint32_t address = 0;
  if (current->FullIndexSearch(mode == rmRangeStart ? stGE : stLE) == 0) {
    address = current->GetRecordAddress();
    recNo = current->GetRecordNo();
  }
  PutU32(rangeBuf + record_size_, address);
  PutU32(rangeBuf + record_size_ + 4, static_cast<uint32_t>(recNo));
  range_end_located_[mode] = true;
  // The index stands on the current record again.
  const bool wasOn = index_on_buffer_;
  index_on_buffer_ = false;
  if (PosAddress(record_buffer_.data()) != 0 && record_buffer_state_ == TRecordBufferState::kRead) {
    current->CreateKeyBuffer(record_buffer_.data());
    index_on_buffer_ = wasOn && current->FullIndexSearch(stEQ) == 0 &&
                       current->GetRecordAddress() == PosAddress(record_buffer_.data());
  }
  return recNo;
}

void TTavDataSet::SetNullIndexFieldsToRangeEnd(uint8_t* keyBuffer, const std::string& indexName,
                                               TRangeMode mode, const std::string& fieldNames) {
  TIndexItem& item = RequireIndex(indexName, "TTavDataSet.SetNullIndexFieldsToRangeEnd");
  const std::vector<std::string> named = SplitNames(fieldNames);
  const uint8_t flag = mode == rmRangeEnd ? kKeyFlagEOF : kKeyFlagBOF;
  const TKeyFields& keys = item.KeyFields();
  for (int i = 0; i < keys.Count(); ++i) {
    const TKeyFieldItem& k = *keys.Items(i);
    if (k.Hidden() || NameInList(k.FieldName(), named) || keyBuffer[k.NullFlagOffset()] != 0) continue;
    keyBuffer[k.NullFlagOffset()] = flag;
    PutU32(keyBuffer + record_size_ + 8, flag);
  }
}

// ---------------------------------------------------------------------------
// Read-ahead

void TTavDataSet::SetReadAheadMode(TReadAheadMode mode) {
  if (read_ahead_nesting_ == 0) read_ahead_mode_ = mode;
  ++read_ahead_nesting_;
}

void TTavDataSet::ReleaseReadAheadMode() {
  if (read_ahead_nesting_ <= 0) return;
  if (--read_ahead_nesting_ == 0) read_ahead_mode_ = raReadAheadInactive;
}

void TTavDataSet::ClearReadAheadMode() {
  read_ahead_nesting_ = 0;
  read_ahead_mode_ = raReadAheadInactive;
}

void TTavDataSet::FillReadAheadBuffer(int count, TReadAheadDirection direction) {
  if (!use_read_ahead_ || direction == rdNone || count < 2) return;
  read_ahead_->Invalidate();
  TIndexItem* current = index_mgr_->CurrentIndex();
  // Over a range, a walk lists no entries past the end it walks towards.
  TBTree::TListBound bound;
  if (range_on_ && range_valid_) {
    const TRangeMode toward = direction == rdBackwards ? rmRangeStart : rmRangeEnd;
    bound.Key = range_keys_[toward].data();
    bound.Markers = range_key_flags_[toward];
  }
  current->Tree().ListReadAheadRecords(direction, count, *read_ahead_, bound.Key ? &bound : nullptr);
  read_ahead_->SetValidTimeStamp(os::GetTickCount());
  read_ahead_in_range_ = range_on_ && range_valid_;
  if (range_on_ && read_ahead_->Count() > 0) {
    // The items are in index order, so those inside the range are one run:
    // its ends are found by halving, not by comparing every item.
    const TBTree& tree = current->Tree();
    auto inside = [&](int i, TRangeMode mode) {
      return KeyInsideRangeEnd(tree, read_ahead_->Items(i)->KeyBuffer(), mode, range_keys_, range_key_flags_);
    };
    auto firstWhere = [](int lo, int hi, auto&& test) {
      while (lo < hi) {
        const int mid = lo + (hi - lo) / 2;
        if (test(mid))
          hi = mid;
        else
          lo = mid + 1;
      }
      return lo;
    };
    const int n = read_ahead_->Count();
    const int first = firstWhere(0, n, [&](int i) { return inside(i, rmRangeStart); });
    const int end = firstWhere(first, n, [&](int i) { return !inside(i, rmRangeEnd); });
    if (first > 0 || end < n) {
      read_ahead_->KeepItems(first, end);
      for (int i = 1; i < read_ahead_->Count(); ++i)
        TAV_ASSERT(read_ahead_->Items(i)->RecNo() == read_ahead_->Items(i - 1)->RecNo() + 1,
                   "Read ahead buffer recno's are out of sync");
    }
  }
  for (int i = 0; i < read_ahead_->Count(); ++i) {
    TReadAheadBufferItem* item = read_ahead_->Items(i);
    record_mgr_->ReadRecord(item->RecAddr(), item->RecordBuffer(), false);
  }
}

// ---------------------------------------------------------------------------
// Filters

TDBStringCompare TTavDataSet::DBStringCompare() const {
  return sort_order_ == soASCII ? DBASCIICompareStrings : DBANSICompareStrings;
}

bool TTavDataSet::RecordProcFilter(const uint8_t*) { return true; }

std::unique_ptr<TFilterMgr> TTavDataSet::NewFilterMgr() const {
  auto mgr = std::make_unique<TFilterMgr>();
  mgr->AssignSettings(*filter_mgr_);
  return mgr;
}

void TTavDataSet::InternalSetFilter(const std::string& text, host::TFilterOptions options) {
  CheckInternalActive();
  // Built beside the active filter, which stays when this one fails.
  std::unique_ptr<TFilterMgr> fresh = NewFilterMgr();
  fresh->SetFilterText(text);
  fresh->SetFilterOptions(options);
  {
    TReadLockGuard lock(*this);
    index_on_buffer_ = false;
    if (!fresh->OpenFilter(this))
      TavDatabaseError(kInvalidFilterExpression, "TTavDataSet.InternalSetFilter",
                       fresh->LastErrorText(), this);
  }
  filter_mgr_ = std::move(fresh);
  filter_stale_ = false;
}

void TTavDataSet::InternalAssignFilterExpr(const TTavExpr* expression, bool replace) {
  CheckInternalActive();
  TReadLockGuard lock(*this);
  index_on_buffer_ = false;
  filter_mgr_->AssignExpr(this, expression, replace);
  filter_stale_ = false;
}

void TTavDataSet::InternalClearFilter() {
  filter_mgr_->Clear();
  filter_stale_ = false;
}

void TTavDataSet::EnsureFilterCurrent() {
  if (!filter_stale_ || !FilterActive()) return;
  index_on_buffer_ = false;
  if (!filter_mgr_->ResetFilter())
    TavDatabaseError(kInvalidFilterExpression, "TTavDataSet.ResetFilter",
                     filter_mgr_->LastErrorText(), this);
  filter_stale_ = false;
}

void TTavDataSet::InternalCheckFilterStatus(bool tableWasLocked, TRecordWriteStatus) {
  // When this write took the lock itself, the header it wrote on release
  // makes the next lock reset the filter.
  if (tableWasLocked) InternalResetFilter();
}

void TTavDataSet::InternalResetFilter() {
  if (FilterActive()) filter_stale_ = true;
}

uint32_t TTavDataSet::FindFilterRecordByKey(bool forward) {
  TIndexItem* current = index_mgr_->CurrentIndex();
  current->CreateKeyBuffer(record_buffer_.data());
  index_on_buffer_ = false;
  if (current->FullIndexSearch(forward ? stGE : stLE) != 0) return 0;
  const uint32_t address = current->GetRecordAddress();
  if (address == 0 || !filter_mgr_->InMasterList(address)) return 0;
  return filter_mgr_->FindNearest(address, forward);
}

bool TTavDataSet::InternalMoveToFilterRecord(TSeekPosition seekPosition, int offset) {
  CheckInternalActive();
  std::optional<TReadLockGuard> lock;
  // A query reads its result table under the locks the query holds.
  if (!(data_base_ && data_base_->QueryActive())) lock.emplace(*this);
  EnsureFilterCurrent();
  TFilterMgr& filter = *filter_mgr_;
  uint8_t* buf = record_buffer_.data();
  uint32_t address = 0;
  if (seekPosition == spFromCurrent) {
    const uint32_t current = PosAddress(buf);
    const bool forward = offset >= 0;
    if (current == 0) {
      address = 0;
    } else if (filter.InFilterList(current)) {
      address = filter.MoveBy(current, offset);
    } else if (filter.InMasterList(current)) {
      address = filter.FindNearest(current, forward);
    } else if (record_buffer_state_ != TRecordBufferState::kEmpty) {
      address = FindFilterRecordByKey(forward);
    }
  } else {
    address = filter.MoveToEnd(seekPosition == spFromStart);
    if (address != 0 && offset != 0) address = filter.MoveBy(address, offset);
  }
  if (address == 0) return false;
  record_mgr_->ReadRecord(address, buf, true);
  SetPosition(buf, address, filter.GetRecNo(address));
  record_buffer_state_ = TRecordBufferState::kRead;
  index_on_buffer_ = false;
  return true;
}

// ---------------------------------------------------------------------------
// Joins

void TTavDataSet::InternalPrepareMasterRecordList(TCompoundList& list) {
  CheckInternalActive();
  TReadLockGuard lock(*this);
  TIndexItem* current = index_mgr_->CurrentIndex();
  index_on_buffer_ = false;
  bool done = false;
  if (range_on_) {
    if (!range_valid_) return;
    current->Tree().ConstructKeyBufFromKeyBuf(range_keys_[rmRangeEnd].data(), range_key_flags_[rmRangeEnd]);
    if (current->FullIndexSearch(stLE) != 0) return;
    const uint32_t last = current->GetRecordAddress();
    const int32_t lastNo = current->GetRecordNo();
    current->Tree().ConstructKeyBufFromKeyBuf(range_keys_[rmRangeStart].data(),
                                              range_key_flags_[rmRangeStart]);
    if (current->FullIndexSearch(stGE) != 0) return;
    if (current->GetRecordNo() > lastNo) return;
    current->ListMatchingRecords(nullptr, 0, last, stGE, false, list, done);
    return;
  }
  uint8_t* probe = second_buffer_.data();
  SetKeyFlagsToBOF(probe);
  BuildSearchKey(*current, probe);
  if (current->FullIndexSearch(stGE) != 0) return;
  current->ListMatchingRecords(nullptr, 0, 0, stGE, false, list, done);
}

std::pair<int32_t, int32_t> TTavDataSet::FilterBaseBounds() {
  CheckInternalActive();
  TReadLockGuard lock(*this);
  TIndexItem* current = index_mgr_->CurrentIndex();
  index_on_buffer_ = false;
  if (!range_on_) return {1, current->GetRecordCount(true)};
  if (!range_valid_) return {1, 0};
  TBTree& tree = current->Tree();
  tree.ConstructKeyBufFromKeyBuf(range_keys_[rmRangeEnd].data(), range_key_flags_[rmRangeEnd]);
  if (current->FullIndexSearch(stLE) != 0) return {1, 0};
  const int32_t last = current->GetRecordNo();
  tree.ConstructKeyBufFromKeyBuf(range_keys_[rmRangeStart].data(), range_key_flags_[rmRangeStart]);
  if (current->FullIndexSearch(stGE) != 0) return {1, 0};
  return {current->GetRecordNo(), last};
}

void TTavDataSet::FilterBaseAddresses(std::vector<uint32_t>& addresses, int32_t& firstRecNo) {
  CheckInternalActive();
  TReadLockGuard lock(*this);
  addresses.clear();
  firstRecNo = 0;
  const auto [first, last] = FilterBaseBounds();
  if (first > last) return;
  TIndexItem* current = index_mgr_->CurrentIndex();
  index_on_buffer_ = false;
  if (range_on_) {
    current->Tree().ConstructKeyBufFromKeyBuf(range_keys_[rmRangeStart].data(),
                                              range_key_flags_[rmRangeStart]);
  } else {
    uint8_t* probe = second_buffer_.data();
    SetKeyFlagsToBOF(probe);
    BuildSearchKey(*current, probe);
  }
  if (current->FullIndexSearch(stGE) != 0 || current->GetRecordNo() != first) return;
  addresses.reserve(static_cast<size_t>(int64_t{last} - first + 1));
  current->Tree().ListAddresses(int64_t{last} - first + 1, addresses);
  firstRecNo = first;
}

void TTavDataSet::FilterBaseRecNos(const std::vector<uint32_t>& addresses, std::vector<int32_t>& recNos) {
  CheckInternalActive();
  TReadLockGuard lock(*this);
  recNos.assign(addresses.size(), 0);
  const auto [first, last] = FilterBaseBounds();
  if (first > last) return;
  TIndexItem* current = index_mgr_->CurrentIndex();
  std::vector<uint8_t> record(static_cast<size_t>(record_size_));
  for (size_t i = 0; i < addresses.size(); ++i) {
    // A record deleted since the filter saw it has no number.
    if (!ReadRecordChecked(addresses[i], record) || record[kRecInUseOffset] != 1) continue;
    current->CreateKeyBuffer(record.data());
    if (current->FullIndexSearch(stEQ) != 0 || current->GetRecordAddress() != addresses[i]) continue;
    const int32_t recNo = current->GetRecordNo();
    if (recNo >= first && recNo <= last) recNos[i] = recNo;
  }
}

void TTavDataSet::FilterRecordsInRange(const std::vector<uint32_t>& addresses, std::vector<bool>& inRange) {
  CheckInternalActive();
  TReadLockGuard lock(*this);
  inRange.assign(addresses.size(), false);
  if (range_on_ && !range_valid_) return;
  std::vector<uint8_t> record(static_cast<size_t>(record_size_));
  for (size_t i = 0; i < addresses.size(); ++i) {
    // A record deleted since the filter saw it is in no range.
    if (!ReadRecordChecked(addresses[i], record) || record[kRecInUseOffset] != 1) continue;
    inRange[i] = !range_on_ || RecordInRange(record.data());
  }
}

std::optional<std::pair<uint32_t, int32_t>> TTavDataSet::FilterEndRecord(
    const std::vector<uint32_t>& addresses, bool first) {
  CheckInternalActive();
  TReadLockGuard lock(*this);
  if (addresses.empty() || (range_on_ && !range_valid_)) return std::pair<uint32_t, int32_t>{0, 0};
  const auto [low, high] = FilterBaseBounds();
  if (low > high) return std::pair<uint32_t, int32_t>{0, 0};
  TIndexItem* current = index_mgr_->CurrentIndex();
  index_on_buffer_ = false;
  const int64_t n = static_cast<int64_t>(addresses.size());
  const int64_t span = int64_t{high} - low + 1;
  // A walk meets one of n addresses after about span / n entries; the keys
  // cost a few entries' worth each.
  if (n * n * 4 > span) {
    // From the range's end inward, a step at a time.
    if (range_on_) {
      const TRangeMode end = first ? rmRangeStart : rmRangeEnd;
      current->Tree().ConstructKeyBufFromKeyBuf(range_keys_[end].data(), range_key_flags_[end]);
    } else {
      uint8_t* probe = second_buffer_.data();
      if (first)
        SetKeyFlagsToBOF(probe);
      else
        SetKeyFlagsToEOF(probe);
      BuildSearchKey(*current, probe);
    }
    if (current->FullIndexSearch(first ? stGE : stLE) == 0) {
      int32_t recNo = current->GetRecordNo();
      for (int64_t step = 0; step < 4 * n + 64 && recNo >= low && recNo <= high; ++step) {
        const uint32_t address = current->GetRecordAddress();
        if (std::binary_search(addresses.begin(), addresses.end(), address))
          return std::pair<uint32_t, int32_t>{address, recNo};
        if (!(first ? current->NextKey() : current->PriorKey())) return std::pair<uint32_t, int32_t>{0, 0};
        recNo += first ? 1 : -1;
      }
      if (recNo < low || recNo > high) return std::pair<uint32_t, int32_t>{0, 0};
    }
  }
  // The least (greatest) key among the records; equal keys leave their
  // order to the tree.
  const size_t keySize = static_cast<size_t>(current->Tree().MaximumKeySize()) + 1;
  std::vector<uint8_t> record(static_cast<size_t>(record_size_)), best(keySize), key(keySize);
  uint32_t bestAddress = 0;
  bool tie = false;
  for (uint32_t address : addresses) {
    // A record deleted since the filter saw it is in no index.
    if (!ReadRecordChecked(address, record) || record[kRecInUseOffset] != 1) continue;
    if (range_on_ && !RecordInRange(record.data())) continue;
    current->CreateTempKeyBuffer(record.data(), key.data());
    const int c = bestAddress == 0 ? 0 : current->CompareKeyBuffers(0, key.data(), best.data());
    if (bestAddress == 0 || (first ? c : -c) < 0) {
      best.swap(key);
      bestAddress = address;
      tie = false;
    } else if (c == 0) {
      tie = true;
    }
  }
  if (tie) return std::nullopt;
  if (bestAddress == 0) return std::pair<uint32_t, int32_t>{0, 0};
  current->Tree().ConstructKeyBufFromKeyBuf(best.data(), {});
  if (current->FullIndexSearch(stEQ) != 0 || current->GetRecordAddress() != bestAddress) return std::nullopt;
  return std::pair<uint32_t, int32_t>{bestAddress, current->GetRecordNo()};
}

void TTavDataSet::LoadHashListOfRecords(TTavBaseHash& hash, TCompoundList* list) {
  CheckInternalActive();
  const std::string& fieldName = hash.SourceFieldName();
  const TInternalFieldItem* field = record_mgr_->Fields().FindField(fieldName);
  TAV_ASSERT(field != nullptr, ("Field not found in LoadHashListOfRecords: " + fieldName).c_str());
  TReadLockGuard lock(*this);
  if (FilterActive() && list) {
    EnsureFilterCurrent();
    list->Clear();
    for (uint32_t address : *filter_mgr_->GetCurrentFilterList()) list->Add(address, 0);
  }
  // An index led by the field fills the hash from its own keys.
  TIndexItem* byIndex = nullptr;
  int keyNo = 0;
  auto leads = [&](TIndexItem* item) {
    const TKeyFields& keys = item->KeyFields();
    for (int i = 0; i < keys.Count(); ++i)
      if (!keys.Items(i)->Hidden() && host::SameText(keys.Items(i)->FieldName(), fieldName)) {
        keyNo = i;
        return true;
      }
    return false;
  };
  if (leads(index_mgr_->CurrentIndex())) {
    byIndex = index_mgr_->CurrentIndex();
  } else if (TKeyFieldItem* k = table_def_->KeyFields().FindField(fieldName)) {
    byIndex = index_mgr_->FindIndex(k->IndexName());
    if (byIndex && !leads(byIndex)) byIndex = nullptr;
  }
  if (byIndex) {
    if (byIndex == index_mgr_->CurrentIndex()) index_on_buffer_ = false;
    uint8_t* probe = second_buffer_.data();
    SetKeyFlagsToBOF(probe);
    BuildSearchKey(*byIndex, probe);
    if (byIndex->FullIndexSearch(stGE) == 0) byIndex->FillHashTable(keyNo, hash);
    return;
  }
  TCompoundList addresses;
  InternalPrepareMasterRecordList(addresses);
  addresses.SortList1();
  for (int i = 0; i < addresses.Count(); ++i) {
    const uint32_t address = addresses.Items(i);
    const uint8_t* rec = record_mgr_->ReadRecordByRef(address);
    if (rec[field->NullFlagOffset()] == 0) continue;
    hash.Add(rec + field->DataOffset(), InternalGetFieldLength(field->FieldIndex(), rec), address);
  }
}

// ---------------------------------------------------------------------------
// Fields

int TTavDataSet::GetInternalFieldCount() const { return record_mgr_->Fields().Count(); }
TInternalFields& TTavDataSet::GetInternalFields() { return record_mgr_->Fields(); }

int TTavDataSet::GetFieldNo(const std::string& name) const {
  const TInternalFieldItem* f = record_mgr_->Fields().FindField(name);
  return f ? f->FieldIndex() : -1;
}

namespace {
const TInternalFieldItem& FieldAt(const TInternalFields& fields, int fieldNo, const host::TObject* sender) {
  if (fieldNo < 0 || fieldNo >= fields.Count())
    TavDatabaseError(kNoSuchField, "TTavDataSet.GetField", std::to_string(fieldNo), sender);
  return *fields.Items(fieldNo);
}
}  // namespace

const TInternalFieldItem& TTavDataSet::GetFieldDef(int fieldNo) const {
  return FieldAt(record_mgr_->Fields(), fieldNo, this);
}
int32_t TTavDataSet::GetFieldDataOffset(int fieldNo) const {
  return FieldAt(record_mgr_->Fields(), fieldNo, this).DataOffset();
}
int32_t TTavDataSet::GetFieldNullOffset(int fieldNo) const {
  return FieldAt(record_mgr_->Fields(), fieldNo, this).NullFlagOffset();
}
int32_t TTavDataSet::GetFieldLength(int fieldNo) const {
  return FieldAt(record_mgr_->Fields(), fieldNo, this).FieldSize();
}
bool TTavDataSet::GetIsFieldNullFromRecBuf(const uint8_t* buffer, int fieldNo) const {
  return buffer[GetFieldNullOffset(fieldNo)] == 0;
}
bool TTavDataSet::IsFieldBlob(int fieldNo) const {
  return IsBlobType(FieldAt(record_mgr_->Fields(), fieldNo, this).DataType());
}
bool TTavDataSet::IsFieldTextBlob(int fieldNo) const {
  const host::TFieldType t = FieldAt(record_mgr_->Fields(), fieldNo, this).DataType();
  return t == host::ftMemo || t == host::ftFmtMemo;
}

int32_t TTavDataSet::InternalGetFieldLength(int fieldNo, const uint8_t* buffer) const {
  return InternalGetFieldLength(FieldAt(record_mgr_->Fields(), fieldNo, this), buffer);
}

int32_t TTavDataSet::InternalGetFieldLength(const TInternalFieldItem& f, const uint8_t* buffer) const {
  if (IsBlobType(f.DataType())) {
    if (buffer[f.NullFlagOffset()] != 1) return 0;
    // The stored size follows the BLOB's address in the field's data.
    return static_cast<int32_t>(GetU32(buffer + f.DataOffset() + 4));
  }
  if (!f.IsVariable()) return f.FieldSize();
  if (buffer[f.NullFlagOffset()] == 0) return 0;
  if (f.SizeMarkerOffset() == 0)
    TavDatabaseError(kInvalidFieldType, "TTavDataSet.InternalGetFieldLength",
                     host::FieldTypeName(f.DataType()), this);
  uint16_t len;
  std::memcpy(&len, buffer + f.SizeMarkerOffset(), 2);
  return len;
}

void TTavDataSet::DataSetGetFieldDataByReferenceFromRecBuf(const uint8_t* buffer, int fieldNo,
                                                           int32_t& length, const uint8_t*& data,
                                                           bool& isNull) {
  const TInternalFieldItem& f = FieldAt(record_mgr_->Fields(), fieldNo, this);
  if (IsBlobType(f.DataType()))
    TavDatabaseError(
        kUnexpectedInternalError, "TTavDataSet.DataSetGetFieldDataByReference",
        "Unable to use this method to access blob fields. Field : " + std::to_string(fieldNo),
        this);
  isNull = buffer[f.NullFlagOffset()] == 0;
  if (isNull) {
    length = 0;
    data = nullptr;
    return;
  }
  length = InternalGetFieldLength(f, buffer);
  data = buffer + f.DataOffset();
}

void TTavDataSet::DataSetGetFieldDataFromRecBuf(const uint8_t* buffer, int fieldNo, bool& isNull,
                                                void* data) {
  int32_t length;
  const uint8_t* source;
  DataSetGetFieldDataByReferenceFromRecBuf(buffer, fieldNo, length, source, isNull);
  if (!isNull && data) std::memcpy(data, source, static_cast<size_t>(length));
}

void TTavDataSet::DataSetGetFieldData(int fieldNo, bool& isNull, void* data) {
  CheckInternalActive();
  DataSetGetFieldDataFromRecBuf(record_buffer_.data(), fieldNo, isNull, data);
}

void TTavDataSet::DataSetGetFieldStreamFromRecBuf(const uint8_t* buffer, int fieldNo, bool& isNull,
                                                  host::TStream& stream) {
  const char* caller = "TTavDataSet.DataSetGetFieldStreamFromRecBuf";
  const TInternalFieldItem& f = FieldAt(record_mgr_->Fields(), fieldNo, this);
  if (!IsBlobType(f.DataType()))
    TavDatabaseError(kUnexpectedInternalError, caller,
                     "Unable to use this method to access non-blob fields", this);
  TBlob* item = record_mgr_->BlobMgr().FindBlob(0, f.FieldIndex());
  if (!item)
    TavDatabaseError(kUnexpectedInternalError, caller,
                     "Blob field can not be found " + std::to_string(fieldNo), this);
  if (item->State() == bsValid || item->State() == bsModified) {
    isNull = item->Stream().Size() == 0;
    stream.CopyFrom(item->Stream(), 0);
    return;
  }
  DataSetReadStoredBlob(buffer, fieldNo, isNull, stream);
}

void TTavDataSet::DataSetReadStoredBlob(const uint8_t* buffer, int fieldNo, bool& isNull,
                                        host::TStream& stream) {
  const TInternalFieldItem& f = FieldAt(record_mgr_->Fields(), fieldNo, this);
  isNull = buffer[f.NullFlagOffset()] == 0;
  if (isNull) return;
  const uint32_t address = GetU32(buffer + f.DataOffset());
  const uint32_t size = GetU32(buffer + f.DataOffset() + 4);
  // Only a damaged record holds a value without a chain.
  if (address == 0)
    TavDatabaseError(kUnexpectedInternalError, "TTavDataSet.DataSetReadStoredBlob",
                     "GetFieldStream. Blob address = 0", this);
  if (auto* memory = dynamic_cast<host::TMemoryStream*>(&stream)) {
    memory->SetSize(size);
    memory->SetPosition(0);
  }
  blob_interface_->ReadBlob(address, size, stream);
}
void TTavDataSet::DataSetGetFieldDataByReference(int fieldNo, int32_t& length, const uint8_t*& data,
                                                 bool& isNull) {
  DataSetGetFieldDataByReferenceFromRecBuf(record_buffer_.data(), fieldNo, length, data, isNull);
}
void TTavDataSet::DataSetGetFieldStream(int fieldNo, bool& isNull, host::TStream& stream) {
  DataSetGetFieldStreamFromRecBuf(record_buffer_.data(), fieldNo, isNull, stream);
}

bool TTavDataSet::GetBlobCacheData(uint32_t address, int fieldNo, host::TStream& stream) {
  TBlob* item = blob_cache_->FindBlob(address, fieldNo);
  if (!item) return false;
  stream.CopyFrom(item->Stream(), 0);
  return true;
}
void TTavDataSet::SetBlobCacheData(uint32_t address, int fieldNo, host::TStream& stream) {
  TBlob* item = blob_cache_->FindBlob(address, fieldNo);
  if (!item) {
    item = blob_cache_->Add();
    item->SetRecID(address);
    item->SetFieldNo(fieldNo);
  }
  item->Stream().Clear();
  item->Stream().CopyFrom(stream, 0);
  item->SetState(bsValid);
}

host::Variant TTavDataSet::DataSetGetFieldDataFromRecBufAsVariant(const uint8_t* buffer, int fieldNo) {
  int32_t length;
  const uint8_t* p;
  bool isNull;
  DataSetGetFieldDataByReferenceFromRecBuf(buffer, fieldNo, length, p, isNull);
  if (isNull) return host::Null();
  const host::TFieldType type = record_mgr_->Fields().Items(fieldNo)->DataType();
  switch (type) {
    case host::ftString:
    case host::ftFixedChar:
      return host::Variant(std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(length)));
    case host::ftSmallint: {
      int16_t v;
      std::memcpy(&v, p, 2);
      return host::Variant(static_cast<int32_t>(v));
    }
    case host::ftWord: {
      uint16_t v;
      std::memcpy(&v, p, 2);
      return host::Variant(static_cast<int32_t>(v));
    }
    case host::ftInteger:
    case host::ftAutoInc: {
      int32_t v;
      std::memcpy(&v, p, 4);
      return host::Variant(v);
    }
    case host::ftBoolean:
      // One byte in the record.
      return host::Variant(p[0] != 0);
    case host::ftWideString: {
      std::u16string text(static_cast<size_t>(length) / 2, u'\0');
      std::memcpy(text.data(), p, text.size() * 2);
      return host::Variant(std::move(text));
    }
    case host::ftBCD: {
      int64_t v;
      std::memcpy(&v, p, 8);
      return host::Variant::FromCurrency(v);
    }
    case host::ftFloat:
    case host::ftCurrency:
    case host::ftDate:
    case host::ftTime:
    case host::ftDateTime: {
      double v;
      std::memcpy(&v, p, 8);
      return host::Variant(v);
    }
    default:
      TavDatabaseError(kInvalidFieldType, "TTavDataSet.DataSetGetFieldDataAsVariant",
                       host::FieldTypeName(type), this);
  }
}

host::Variant TTavDataSet::DataSetGetFieldDataAsVariant(int fieldNo) {
  CheckInternalActive();
  return DataSetGetFieldDataFromRecBufAsVariant(record_buffer_.data(), fieldNo);
}

// ---------------------------------------------------------------------------
// Index information

int TTavDataSet::InternalGetIndexCount() const {
  int n = 0;
  for (int i = 0; i < index_mgr_->Count(); ++i)
    if (!index_mgr_->Items(i)->Hidden()) ++n;
  return n;
}

int TTavDataSet::GetIndexFieldCount() const {
  const TKeyFields& keys = index_mgr_->CurrentIndex()->KeyFields();
  int n = 0;
  for (int i = 0; i < keys.Count(); ++i)
    if (!keys.Items(i)->Hidden()) ++n;
  return n;
}

void TTavDataSet::GetIndexDef(int i, host::TIndexDef& indexDef) const {
  TAV_ASSERT(i >= 0 && i < index_mgr_->Count(), "Index item not found");
  const TIndexItem& item = *index_mgr_->Items(i);
  TAV_ASSERT(!item.Hidden(), "Attempting to access a hidden index");
  std::string fields, caseIns, desc;
  auto join = [](std::string& list, const std::string& name) {
    if (!list.empty()) list += ';';
    list += name;
  };
  const TKeyFields& keys = item.KeyFields();
  for (int k = 0; k < keys.Count(); ++k) {
    const TKeyFieldItem& key = *keys.Items(k);
    if (key.Hidden()) continue;
    join(fields, key.FieldName());
    if (key.CaseInsensitive()) join(caseIns, key.FieldName());
    if (key.Descending()) join(desc, key.FieldName());
  }
  host::TIndexOptions options;
  if (item.Unique()) options.Include(host::ixUnique);
  if (item.Primary()) options.Include(host::ixPrimary);
  if (!caseIns.empty()) options.Include(host::ixCaseInsensitive);
  if (!desc.empty()) options.Include(host::ixDescending);
  indexDef.SetName(item.IndexName());
  indexDef.SetFields(fields);
  indexDef.SetCaseInsFields(caseIns);
  indexDef.SetDescFields(desc);
  indexDef.SetOptions(options);
}

void TTavDataSet::GetIndexNames(host::TStrings& list) const {
  if (ComponentState() & host::csDesigning) {
    ReadStoredTableDef([&list](const TTableDef& def) {
      const TInternalIndexDefs& defs = def.InternalIndexDefs();
      for (int i = 0; i < defs.Count(); ++i)
        if (!defs.Items(i)->Hidden()) list.Add(defs.Items(i)->IndexName());
    });
    return;
  }
  for (int i = 0; i < index_mgr_->Count(); ++i)
    if (!index_mgr_->Items(i)->Hidden()) list.Add(index_mgr_->Items(i)->IndexName());
}

std::string TTavDataSet::GetIndexFieldsFromKeyFields(const std::string& indexName) const {
  return IndexFieldList(table_def_->KeyFields(), record_mgr_->Fields(), indexName);
}
void TTavDataSet::GetIndexFieldNamesList(host::TStrings& list) const {
  if (ComponentState() & host::csDesigning) {
    ReadStoredTableDef([&list](const TTableDef& def) {
      const TInternalIndexDefs& defs = def.InternalIndexDefs();
      for (int i = 0; i < defs.Count(); ++i)
        if (!defs.Items(i)->Hidden())
          list.Add(IndexFieldList(def.KeyFields(), def.InternalFields(), defs.Items(i)->IndexName()));
    });
    return;
  }
  for (int i = 0; i < index_mgr_->Count(); ++i)
    if (!index_mgr_->Items(i)->Hidden())
      list.Add(GetIndexFieldsFromKeyFields(index_mgr_->Items(i)->IndexName()));
}
void TTavDataSet::ReadStoredTableDef(const std::function<void(const TTableDef&)>& use) const {
  CheckConnected();
  // Connected for this call only when it was not.
  struct TConnectGuard {
    TTavDataBase* db;
    bool took;
    ~TConnectGuard() {
      if (took) {
        try {
          db->Close();
        } catch (...) {
          // The caller's own failure, if any, is the one to report.
        }
      }
    }
  } connect{data_base_, !data_base_->Connected()};
  if (connect.took) data_base_->Open();
  TTableDef def(nullptr);
  def.SetMemory(memory_);
  data_base_->OpenTable(table_name_, def);
  struct TTableGuard {
    TTavDataBase* db;
    TTableDef& def;
    ~TTableGuard() { db->CloseTable(def); }
  } table{data_base_, def};
  use(def);
}

std::string TTavDataSet::FindIndexForFields(const std::string& fields) const {
  host::TStringList names;
  for (const std::string& n : SplitNames(fields)) names.Add(n);
  TIndexItem* item = index_mgr_->FindIndexForFields(names, false);
  if (!item) TavDatabaseError(kIndexDoesNotExist, "TTavDataSet.FindIndexForFields", fields, this);
  return item->IndexName();
}

}  // namespace tav
