#include "engine/storage/table/table_def.h"

#include <vector>

#include "engine/storage/record/blob.h"
#include "engine/storage/file/disk_mgr.h"
#include "engine/storage/index/index_node.h"
#include "engine/storage/record/io_interface.h"
#include "engine/storage/record/record_mgr.h"
#include "engine/storage/table/table_header.h"
#include "engine/storage/base/tav_errors.h"
#include "engine/storage/file/tav_file.h"
#include "host/classes/prop_table.h"
#include "host/rtl/format.h"

namespace tav {

namespace {

// No block of a table comes near these: a record of 255 fields of the
// largest strings is about 66 KB. Sizes read from a stored definition are
// held to them before any buffer is made.
constexpr int64_t kMaxTableBlockSize = 1 << 20;
constexpr int64_t kMaxIndexPageSize = 65536;
constexpr int64_t kMinIndexPageSize = 512;

}  // namespace

uint32_t TableIndexPageSize(const TInternalIndexDefs& defs, const char* caller) {
  const uint32_t size = defs.Count() > 0 ? defs.Items(0)->IndexPageSize() : kIndexPageSize;
  for (int i = 0; i < defs.Count(); ++i)
    if (defs.Items(i)->IndexPageSize() != size)
      TavDatabaseError(kUnexpectedInternalError, caller, "Index page sizes differ");
  if (size < kMinIndexPageSize || size > kMaxIndexPageSize)
    TavDatabaseErrorFmt(kUnexpectedInternalError, caller, "Index page size %u out of range",
                        {size});
  return size;
}

void CheckTableIndexSlots(const TInternalIndexDefs& defs, int32_t slotCount, const char* caller) {
  std::vector<bool> used(static_cast<size_t>(slotCount > 0 ? slotCount : 0), false);
  for (int i = 0; i < defs.Count(); ++i) {
    const int32_t slot = defs.Items(i)->IndexSequence();
    if (slot < 0 || slot >= slotCount || used[static_cast<size_t>(slot)])
      TavDatabaseErrorFmt(kUnexpectedInternalError, caller,
                          "Index %s: slot %d out of range or taken",
                          {defs.Items(i)->IndexName(), slot});
    used[static_cast<size_t>(slot)] = true;
  }
}

uint32_t TableAccessFlags(TEncryptionLevel level) {
  switch (level) {
    case encWeak:
      return kAccessCached | kAccessXor;
    case encStrong:
      return kAccessCached | kAccessBlowfish;
    case encNone:
      break;
  }
  return kAccessCached;
}

TTableDef::TTableDef(host::TComponent* owner)
    : host::TComponent(owner),
      key_fields_(std::make_unique<TKeyFields>()),
      internal_fields_(std::make_unique<TInternalFields>()),
      internal_index_defs_(std::make_unique<TInternalIndexDefs>()) {}

TTableDef::~TTableDef() = default;

void TTableDef::SetKeyFields(const TKeyFields& value) {
  key_fields_->Assign(value);
  key_fields_->SetDataOffset(value.DataOffset());
}

void TTableDef::SetInternalFields(const TInternalFields& value) {
  internal_fields_->Assign(value);
}

void TTableDef::SetInternalIndexDefs(const TInternalIndexDefs& value) {
  internal_index_defs_->Assign(value);
}

void TTableDef::Assign(const host::TPersistent& source) {
  const auto* s = dynamic_cast<const TTableDef*>(&source);
  if (!s) {
    host::TComponent::Assign(source);
    return;
  }
  table_id_ = s->table_id_;
  table_name_ = s->table_name_;
  version_ = s->version_;
  os_ = s->os_;
  creation_date_ = s->creation_date_;
  created_by_ = s->created_by_;
  encrypted_ = s->encrypted_;
  encryption_level_ = s->encryption_level_;
  password_ = s->password_;
  memory_ = s->memory_;
  SetKeyFields(*s->key_fields_);
  internal_fields_->Assign(*s->internal_fields_);
  // The field list's Assign forgets the layout; the copy keeps the source's
  // so that it describes the same record image.
  internal_fields_->SetRecordSize(s->internal_fields_->RecordSize());
  internal_fields_->SetUsesBlobs(s->internal_fields_->UsesBlobs());
  internal_fields_->SetAutoIncFieldNo(s->internal_fields_->AutoIncFieldNo());
  internal_index_defs_->Assign(*s->internal_index_defs_);
  record_size_ = s->record_size_;
  uses_blobs_ = s->uses_blobs_;
  default_blob_size_ = s->default_blob_size_;
  sort_order_ = s->sort_order_;
  alt_name_ = s->alt_name_;
  privilege_flags_ = s->privilege_flags_;
}

void TTableDef::ForgetStorage() {
  table_header_ = nullptr;
  index_interface_ = nullptr;
  blob_interface_ = nullptr;
  record_interface_ = nullptr;
}

void TTableDef::Clear() {
  if (master_def_) TavDatabaseError(kOperationIsNotValidOnThisObject, "TTableDef.Clear");
  ForgetStorage();
  table_id_ = 0;
  owner_flag_ = 0;
  table_name_.clear();
  alt_name_.clear();
  version_.clear();
  os_.clear();
  created_by_.clear();
  password_.clear();
  creation_date_ = 0;
  last_mod_date_ = 0;
  encrypted_ = false;
  security_level_ = 0;
  memory_ = false;
  record_size_ = 0;
  default_blob_size_ = kDefaultTableBlobSize;
  uses_blobs_ = false;
  sort_order_ = soANSI;
  internal_table_ = false;
  encryption_level_ = encNone;
  privilege_flags_ = 0;
  key_fields_->Clear();
  key_fields_->SetDataOffset(0);
  internal_fields_->Clear();
  internal_fields_->SetRecordSize(0);
  internal_index_defs_->Clear();
}

const host::TPropertyTable& TTableDef::ClassProperties() {
  using T = TTableDef;
  static const host::TEnumInfo sortOrders("TSortOrder", {"soANSI", "soASCII"});
  static const host::TEnumInfo encryptionLevels("TEncryptionLevel",
                                                {"encNone", "encWeak", "encStrong"});
  static const host::TPropertyTable table = host::PublishClass<T>(
      "TTableDef", &host::TComponent::ClassProperties(), [](host::TPublisher<T>& p) {
        p.Integer("TableID", &T::TableID, &T::SetTableID);
        p.Integer("OwnerFlag", &T::OwnerFlag, &T::SetOwnerFlag);
        p.String("TableName", &T::TableName, &T::SetTableName);
        p.String("AltName", &T::AltName, &T::SetAltName);
        p.String("Version", &T::Version, &T::SetVersion);
        p.String("OS", &T::OS, &T::SetOS);
        p.String("CreatedBy", &T::CreatedBy, &T::SetCreatedBy);
        p.String("Password", &T::Password, &T::SetPassword);
        p.Float("CreationDate", &T::CreationDate, &T::SetCreationDate);
        p.Float("LastModDate", &T::LastModDate, &T::SetLastModDate);
        p.Boolean("Encrypted", &T::Encrypted, &T::SetEncrypted);
        p.Integer("SecurityLevel", &T::SecurityLevel, &T::SetSecurityLevel);
        p.Boolean("Memory", &T::Memory, &T::SetMemory);
        p.Integer("RecordSize", &T::RecordSize, &T::SetRecordSize);
        p.Integer("DefaultBlobSize", &T::DefaultBlobSize, &T::SetDefaultBlobSize);
        p.Boolean("UsesBlobs", &T::UsesBlobs, &T::SetUsesBlobs);
        p.Enumeration("SortOrder", sortOrders, &T::SortOrder, &T::SetSortOrder);
        p.Boolean("InternalTable", &T::InternalTable, &T::SetInternalTable);
        p.Enumeration("EncryptionLevel", encryptionLevels, &T::EncryptionLevel,
                      &T::SetEncryptionLevel);
        p.Collection("KeyFields", [](T& d) -> host::TCollection& { return d.KeyFields(); });
        p.Collection("InternalFields",
                     [](T& d) -> host::TCollection& { return d.InternalFields(); });
        p.Collection("InternalIndexDefs",
                     [](T& d) -> host::TCollection& { return d.InternalIndexDefs(); });
      });
  return table;
}

bool TTableDef::Validate() {
  TInternalIndexDef* spare = nullptr;
  for (int i = 0; i < internal_index_defs_->Count() && !spare; ++i) {
    TInternalIndexDef* d = internal_index_defs_->Items(i);
    if (key_fields_->FindFieldCountForIndex(d->IndexName()) == 0) spare = d;
  }
  if (!spare) return true;
  for (int k = 0; k < key_fields_->Count(); ++k) {
    TKeyFieldItem* f = key_fields_->Items(k);
    if (!internal_index_defs_->FindIndexDef(f->IndexName())) f->SetIndexName(spare->IndexName());
  }
  return true;
}

void TTableDef::InternalOpen(TDiskMgr* diskMgr) {
  const char* caller = "TTableDef.InternalOpen";
  if (!table_header_)
    TavDatabaseError(kSystemObjectIsNotInitialized, table_name_ + "TableDef.InternalOpen");
  if (active_) return;
  CheckTableIndexSlots(*internal_index_defs_, table_header_->GetIndexCount(), caller);
  if (memory_) {
    OpenMemory();
  } else {
    if (!diskMgr) TavDatabaseError(kSystemObjectIsNotInitialized, caller, "DiskMgr");
    OpenDisk(diskMgr);
  }
  active_ = true;
}

namespace {

void CheckBlockSize(int64_t size, int64_t minimum, const char* what, const char* caller) {
  if (size < minimum || size > kMaxTableBlockSize)
    TavDatabaseErrorFmt(kUnexpectedInternalError, caller, "%s %d out of range", {what, size});
}

}  // namespace

void TTableDef::OpenMemory() {
  const char* caller = "TTableDef.InternalOpen";
  const uint32_t pageSize = TableIndexPageSize(*internal_index_defs_, caller);
  const int32_t recordSize = internal_fields_->RecordSize();
  CheckBlockSize(recordSize, kRecordHeaderSize + 1, "Record size", caller);
  CheckBlockSize(default_blob_size_, kBlobBlockData + 1, "Blob block size", caller);

  auto index = std::make_unique<TMemoryIOInterface>();
  auto blob = std::make_unique<TMemoryIOInterface>();
  auto record = std::make_unique<TMemoryIOInterface>();
  index->SetBlockSize(pageSize);
  blob->SetBlockSize(static_cast<uint32_t>(default_blob_size_));
  record->SetBlockSize(static_cast<uint32_t>(recordSize));
  const std::pair<TMemoryIOInterface*, uint16_t> all[] = {
      {index.get(), kUsageIndex}, {blob.get(), kUsageBlob}, {record.get(), kUsageRecord}};
  for (const auto& [io, usage] : all) {
    io->SetTableID(static_cast<uint16_t>(table_id_));
    io->SetUsage(usage);
    io->SetAccessFlags(TableAccessFlags(encryption_level_));
    io->Open();
  }
  std::vector<uint8_t> leaf(pageSize, 0);
  leaf[kNodeLeaf] = 1;
  for (int i = 0; i < internal_index_defs_->Count(); ++i) {
    const int32_t slot = internal_index_defs_->Items(i)->IndexSequence();
    table_header_->SetIndexRoot(slot, index->AllocateNewAddress(pageSize, leaf.data()));
    table_header_->SetIndexDepth(slot, 1);
  }
  table_header_->WriteHeader();
  own_index_ = std::move(index);
  own_blob_ = std::move(blob);
  own_record_ = std::move(record);
  index_interface_ = own_index_.get();
  blob_interface_ = own_blob_.get();
  record_interface_ = own_record_.get();
}

void TTableDef::OpenDisk(TDiskMgr* diskMgr) {
  const char* caller = "TTableDef.InternalOpen";
  if (internal_fields_->RecordSize() == 0) internal_fields_->SetDefaultOffsets();
  const uint32_t pageSize = TableIndexPageSize(*internal_index_defs_, caller);
  const int32_t recordSize = internal_fields_->RecordSize();
  CheckBlockSize(recordSize, kRecordHeaderSize + 1, "Record size", caller);
  if (uses_blobs_)
    CheckBlockSize(default_blob_size_, kBlobBlockData + 1, "Blob block size", caller);

  auto index = std::make_unique<TDiskIOInterface>();
  auto blob = std::make_unique<TDiskIOInterface>();
  auto record = std::make_unique<TDiskIOInterface>();
  index->SetGlobalFirstEmptyOffset(kHdrIndexesFirstEmpty);
  index->SetBlockSize(pageSize);
  blob->SetBlockSize(static_cast<uint32_t>(default_blob_size_));
  blob->SetFirstEmpty(table_header_->GetBlobFirstEmpty());
  blob->SetFirstEmptyValid(true);
  record->SetBlockSize(static_cast<uint32_t>(recordSize));
  record->SetFirstEmpty(table_header_->GetRecordFirstEmpty());
  record->SetFirstEmptyValid(true);
  const std::pair<TDiskIOInterface*, uint16_t> all[] = {
      {index.get(), kUsageIndex}, {blob.get(), kUsageBlob}, {record.get(), kUsageRecord}};
  for (const auto& [io, usage] : all) {
    io->SetDiskMgr(diskMgr);
    io->SetTableID(static_cast<uint16_t>(table_id_));
    io->SetUsage(usage);
    io->SetAccessFlags(TableAccessFlags(encryption_level_));
  }
  index->Open();
  if (uses_blobs_) blob->Open();
  record->Open();
  own_index_ = std::move(index);
  own_blob_ = std::move(blob);
  own_record_ = std::move(record);
  index_interface_ = own_index_.get();
  blob_interface_ = own_blob_.get();
  record_interface_ = own_record_.get();
}

void TTableDef::InternalClose() {
  if (active_ && master_def_) {
    // Memory interfaces free their blocks as they go.
    for (auto* io : {own_index_.get(), own_blob_.get(), own_record_.get()})
      if (io) io->Close();
    own_index_.reset();
    own_blob_.reset();
    own_record_.reset();
  }
  index_interface_ = nullptr;
  blob_interface_ = nullptr;
  record_interface_ = nullptr;
  active_ = false;
}

void TTableDef::DebugSetDefs() {
  Clear();
  table_name_ = "DebugTable";
  struct TField {
    const char* Name;
    host::TFieldType Type;
    int32_t Size;
  };
  const TField fields[] = {{"Int1", host::ftInteger, 0},
                           {"Str1", host::ftString, 21},
                           {"Date1", host::ftDate, 0}};
  for (int i = 0; i < 3; ++i) {
    TInternalFieldItem* f = internal_fields_->Add();
    f->SetFieldName(fields[i].Name);
    f->SetDataType(fields[i].Type);
    if (fields[i].Size) {
      f->SetFieldSize(fields[i].Size);
      f->SetIsVariable(true);
    }
    f->SetFieldNo(i + 1);
    f->SetFieldIndex(i);
  }
  internal_fields_->SetDefaultOffsets();
  internal_fields_->Open();
  record_size_ = internal_fields_->RecordSize();
  const char* indexes[] = {"one", "two"};
  for (int i = 0; i < 2; ++i) {
    const TInternalFieldItem& f = *internal_fields_->Items(i);
    TKeyFieldItem* k = key_fields_->Add();
    k->SetIndexName(indexes[i]);
    k->SetFieldName(f.FieldName());
    k->SetFieldSize(f.FieldSize());
    k->SetDataType(f.DataType());
    k->SetIsVariable(f.IsVariable());
    k->SetPhysicalFieldNo(f.FieldIndex());
    k->SetRecBufOffset(f.DataOffset());
    k->SetNullFlagOffset(f.NullFlagOffset());
    k->SetSizeMarkerOffset(f.SizeMarkerOffset());
    TInternalIndexDef* d = internal_index_defs_->Add();
    d->SetIndexName(indexes[i]);
    d->SetUnique(true);
    d->SetMaintained(true);
    d->SetIndexSequence(i);
    d->SetIndexPageSize(kIndexPageSize);
    d->SetKeyDataOffset(CalculateKeyDataOffset(1));
    TKeyFields one;
    one.Add()->Assign(*k);
    d->SetMaximumKeySize(CalculateMaximumKeySize(one) + d->KeyDataOffset());
  }
}

void BindTableParts(const TTableDef& def, TRecordMgr& records, TBlobInterface& blobs,
                    TIndexManager& indexes) {
  records.Fields().Assign(def.InternalFields());
  records.SetRecordSize(def.RecordSize());
  records.Open(def.RecordInterface());
  if (def.UsesBlobs()) {
    blobs.SetIOInterface(def.BlobInterface());
    blobs.SetBlobBlockSize(static_cast<uint32_t>(def.DefaultBlobSize()));
    blobs.Open();
  }
  indexes.SetIOInterface(def.IndexInterface());
  indexes.SetTableHeader(def.TableHeader());
  indexes.SetDBStringCompareFunction(def.SortOrder() == soASCII ? DBASCIICompareStrings
                                                                : DBANSICompareStrings);
  indexes.Assign(def.InternalIndexDefs());
  indexes.AssignKeyFields(def.KeyFields());
}

void RefreshTableParts(const TTableDef& def, TIndexManager& indexes, uint32_t& seenModified) {
  TTableHeader& h = *def.TableHeader();
  if (!h.Dirty()) h.ReadHeader();
  const bool changed = h.GetModifiedFlag() != seenModified;
  indexes.ReadIndexHeaders(changed);
  seenModified = h.GetModifiedFlag();
  if (def.Memory()) return;
  def.RecordInterface()->SetFirstEmpty(h.GetRecordFirstEmpty());
  def.RecordInterface()->SetFirstEmptyValid(true);
  if (def.BlobInterface()) {
    def.BlobInterface()->SetFirstEmpty(h.GetBlobFirstEmpty());
    def.BlobInterface()->SetFirstEmptyValid(true);
  }
}

}  // namespace tav
