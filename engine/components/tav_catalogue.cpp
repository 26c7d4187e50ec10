#include "engine/components/tav_catalogue.h"

#include <algorithm>
#include <cstring>

#include "engine/storage/base/tav_compare.h"
#include "engine/storage/base/tav_errors.h"
#include "engine/storage/file/disk_mgr.h"
#include "engine/storage/lock/lock_mgr.h"
#include "engine/storage/record/io_interface.h"
#include "engine/storage/table/table_def_mgr.h"
#include "engine/storage/table/table_header.h"
#include "host/rtl/le_bytes.h"
#include "host/rtl/list.h"
#include "host/rtl/streams.h"
#include "host/rtl/variant.h"

namespace tav {

namespace {

constexpr int kRecInUse = 0;
constexpr int kRecIdentity = 2;
constexpr int kRecLogicalNo = 6;
constexpr int kRecModCount = 10;

}  // namespace

TTableLockHold::TTableLockHold(TDiskMgr* disk, int32_t tableId, int type)
    : disk_(disk), id_(static_cast<uint32_t>(tableId)) {
  if (!disk_ || disk_->QueryTableLockStatus(id_) >= type) return;
  disk_->SetTableLock(id_, type);
  took_ = true;
}

TTableLockHold::~TTableLockHold() {
  if (!took_) return;
  try {
    disk_->ReleaseTableLock(id_);
  } catch (...) {
    // The lock goes with the connection at the latest; the caller's own
    // error (if any) is the one to see.
  }
}

// One call's access to the table: its lock and the header read before; a
// change writes the header back through Done.
class TCatalogueAccess {
 public:
  TCatalogueAccess(TCatalogueTable& table, bool write)
      : table_(table), lock_(table.disk_, table.TableID(), write ? kLockTypeWrite : kLockTypeRead) {
    table.Begin();
  }
  void Done() { table_.End(); }

 private:
  TCatalogueTable& table_;
  TTableLockHold lock_;
};

TCatalogueTable::TCatalogueTable(TBaseTableDefMgr& mgr, TDiskMgr* disk, const TTableDef& definition)
    : mgr_(mgr), disk_(disk), def_(std::make_unique<TTableDef>(nullptr)) {
  def_->Assign(definition);
  def_->SetInternalTable(definition.InternalTable());
  mgr_.OpenTableDefConnection(definition.TableName(), *def_);
  open_ = true;
  try {
    TCatalogueAccess access(*this, false);
    BindTableParts(*def_, records_, blobs_, indexes_);
    indexes_.Open();
    seen_ = def_->TableHeader()->GetModifiedFlag();
  } catch (...) {
    Release();
    throw;
  }
}

TCatalogueTable::~TCatalogueTable() {
  try {
    Release();
  } catch (...) {
    // Closing the manager frees what is left.
  }
}

void TCatalogueTable::Release() {
  if (!open_) return;
  open_ = false;
  indexes_.Close();
  indexes_.SetTableHeader(nullptr);
  records_.Close();
  blobs_.Close();
  const int32_t id = def_->TableID();
  def_->SetTableHeader(nullptr);
  mgr_.CloseTableDefConnection(id);
}

void TCatalogueTable::Begin() {
  if (!indexes_.Count()) {  // still opening
    TTableHeader& h = *def_->TableHeader();
    if (!h.Dirty()) h.ReadHeader();
    return;
  }
  RefreshTableParts(*def_, indexes_, seen_);
}

void TCatalogueTable::End() {
  TTableHeader& h = *def_->TableHeader();
  if (!def_->Memory()) {
    h.SetRecordFirstEmpty(def_->RecordInterface()->FirstEmpty());
    if (def_->BlobInterface()) h.SetBlobFirstEmpty(def_->BlobInterface()->FirstEmpty());
  }
  indexes_.WriteIndexHeaders();
  h.WriteHeader();
  seen_ = h.GetModifiedFlag();
}

// ---- record images ----

std::vector<uint8_t> TCatalogueTable::NewRecord() const {
  return std::vector<uint8_t>(static_cast<size_t>(def_->RecordSize()), 0);
}

const TInternalFieldItem& TCatalogueTable::Field(const std::string& name) const {
  const TInternalFieldItem* f = def_->InternalFields().FindField(name);
  if (!f) TavDatabaseError(kNoSuchField, "TCatalogueTable.Field", name);
  return *f;
}

bool TCatalogueTable::IsNull(const std::vector<uint8_t>& rec, const std::string& name) const {
  return rec[static_cast<size_t>(Field(name).NullFlagOffset())] == 0;
}

void TCatalogueTable::SetInteger(std::vector<uint8_t>& rec, const std::string& name,
                                 int32_t value) const {
  const TInternalFieldItem& f = Field(name);
  rec[static_cast<size_t>(f.NullFlagOffset())] = 1;
  host::PutU32(rec.data() + f.DataOffset(), static_cast<uint32_t>(value));
}

int32_t TCatalogueTable::GetInteger(const std::vector<uint8_t>& rec, const std::string& name) const {
  const TInternalFieldItem& f = Field(name);
  if (rec[static_cast<size_t>(f.NullFlagOffset())] == 0) return 0;
  return static_cast<int32_t>(host::GetU32(rec.data() + f.DataOffset()));
}

void TCatalogueTable::SetString(std::vector<uint8_t>& rec, const std::string& name,
                                const std::string& s) const {
  const TInternalFieldItem& f = Field(name);
  const size_t n = std::min(s.size(), static_cast<size_t>(f.GetWriteableFieldSize()));
  std::memset(rec.data() + f.DataOffset(), 0, static_cast<size_t>(f.FieldSize()));
  std::memcpy(rec.data() + f.DataOffset(), s.data(), n);
  host::PutU16(rec.data() + f.SizeMarkerOffset(), static_cast<uint16_t>(n));
  rec[static_cast<size_t>(f.NullFlagOffset())] = 1;
}

std::string TCatalogueTable::GetString(const std::vector<uint8_t>& rec,
                                       const std::string& name) const {
  const TInternalFieldItem& f = Field(name);
  if (rec[static_cast<size_t>(f.NullFlagOffset())] == 0) return std::string();
  // The length comes from the file: bounded by the field.
  const size_t len = std::min<size_t>(host::GetU16(rec.data() + f.SizeMarkerOffset()),
                                      static_cast<size_t>(f.GetWriteableFieldSize()));
  return std::string(reinterpret_cast<const char*>(rec.data() + f.DataOffset()), len);
}

// ---- records ----

TIndexItem& TCatalogueTable::Index(const std::string& name) {
  TIndexItem* item = indexes_.FindIndex(name);
  if (!item) TavDatabaseError(kIndexDoesNotExist, "TCatalogueTable.Index", name);
  return *item;
}

uint32_t TCatalogueTable::FindKey(const std::string& indexName, const std::string& key,
                                  std::vector<uint8_t>* rec) {
  TCatalogueAccess access(*this, false);
  TIndexItem& item = Index(indexName);
  TAV_ASSERT(item.KeyFields().Count() >= 1, "Catalogue index without key fields");
  const std::string& field = item.KeyFields().Items(0)->FieldName();
  // A longer key names nothing here: cut to the field it would find another
  // entry that begins the same way.
  if (key.size() > static_cast<size_t>(Field(field).GetWriteableFieldSize())) return 0;
  std::vector<uint8_t> probe = NewRecord();
  SetString(probe, field, key);
  item.CreateKeyBuffer(probe.data());
  if (item.FullIndexSearch(stEQ) != 0) return 0;
  const uint32_t address = item.GetRecordAddress();
  if (rec) {
    rec->assign(static_cast<size_t>(def_->RecordSize()), 0);
    records_.ReadRecord(address, rec->data(), false);
  }
  return address;
}

std::vector<uint8_t> TCatalogueTable::Read(uint32_t address) {
  TCatalogueAccess access(*this, false);
  std::vector<uint8_t> rec = NewRecord();
  records_.ReadRecord(address, rec.data(), false);
  return rec;
}

std::string TCatalogueTable::ReadBlob(const std::vector<uint8_t>& rec, const std::string& name) {
  TCatalogueAccess access(*this, false);
  const TInternalFieldItem& f = Field(name);
  if (rec[static_cast<size_t>(f.NullFlagOffset())] == 0) return std::string();
  const uint32_t address = host::GetU32(rec.data() + f.DataOffset());
  const uint32_t size = host::GetU32(rec.data() + f.DataOffset() + 4);
  if (size == 0) return std::string();
  host::TMemoryStream stream;
  blobs_.ReadBlob(address, size, stream);
  return std::string(reinterpret_cast<const char*>(stream.Memory()),
                     static_cast<size_t>(stream.Size()));
}

void TCatalogueTable::CheckUniqueKeys(const std::vector<uint8_t>& rec, uint32_t self,
                                      const char* caller) {
  for (int i = 0; i < indexes_.Count(); ++i) {
    TIndexItem& item = *indexes_.Items(i);
    // A key of an index that is neither unique nor primary ends in the
    // record number and is never present already.
    if (!item.Unique() && !item.Primary()) continue;
    item.CreateKeyBuffer(rec.data());
    if (item.FullIndexSearch(stEQ) == 0 && item.GetRecordAddress() != self)
      TavDatabaseErrorFmt(kKeyViolation, caller, "Index %s", {item.IndexName()});
  }
}

void TCatalogueTable::WriteBlobs(std::vector<uint8_t>& rec,
                                 const std::map<std::string, std::string>& blobs) {
  for (const auto& [name, bytes] : blobs) {
    const TInternalFieldItem& f = Field(name);
    uint32_t address = 0;
    if (!bytes.empty()) {
      host::TMemoryStream stream;
      stream.WriteBuffer(bytes.data(), static_cast<int32_t>(bytes.size()));
      stream.Seek(0, host::soBeginning);
      address = blobs_.InsertBlob(stream);
    }
    host::PutU32(rec.data() + f.DataOffset(), address);
    host::PutU32(rec.data() + f.DataOffset() + 4, static_cast<uint32_t>(bytes.size()));
    rec[static_cast<size_t>(f.NullFlagOffset())] = bytes.empty() ? 0 : 1;
  }
}

void TCatalogueTable::DeleteBlob(const std::vector<uint8_t>& rec, const TInternalFieldItem& f) {
  if (rec[static_cast<size_t>(f.NullFlagOffset())] == 0) return;
  const uint32_t size = host::GetU32(rec.data() + f.DataOffset() + 4);
  if (size) blobs_.DeleteBlob(host::GetU32(rec.data() + f.DataOffset()), size);
}

uint32_t TCatalogueTable::Insert(std::vector<uint8_t>& rec,
                                 const std::map<std::string, std::string>& blobs) {
  const char* caller = "TCatalogueTable.Insert";
  TCatalogueAccess access(*this, true);
  TTableHeader& h = *def_->TableHeader();
  const uint32_t logicalNo = h.GetLogicalRecordNo() + 1;
  rec[kRecInUse] = 1;
  host::PutU32(rec.data() + kRecIdentity,
               (static_cast<uint32_t>(def_->TableID()) << 4) | kUsageRecord);
  host::PutU32(rec.data() + kRecLogicalNo, logicalNo);
  host::PutU32(rec.data() + kRecModCount, 0);
  const TInternalFields& fields = def_->InternalFields();
  uint32_t autoInc = 0;
  for (int i = 0; i < fields.Count(); ++i) {
    const TInternalFieldItem& f = *fields.Items(i);
    if (f.DataType() != host::ftAutoInc) continue;
    autoInc = h.GetRecordAutoIncVal() + 1;
    host::PutU32(rec.data() + f.DataOffset(), autoInc);
    rec[static_cast<size_t>(f.NullFlagOffset())] = 1;
  }
  CheckUniqueKeys(rec, 0, caller);
  WriteBlobs(rec, blobs);
  const uint32_t address = records_.AddRecord(rec.data());
  for (int i = 0; i < indexes_.Count(); ++i) {
    TIndexItem& item = *indexes_.Items(i);
    item.CreateKeyBuffer(rec.data());
    if (item.InsertKey(address) != 0)
      TavDatabaseErrorFmt(kUnexpectedInternalError, caller, "Failed to add key to Index %s",
                          {item.IndexName()});
  }
  if (autoInc) h.SetRecordAutoIncVal(autoInc);
  h.SetLogicalRecordNo(logicalNo);
  access.Done();
  return address;
}

void TCatalogueTable::Update(uint32_t address, std::vector<uint8_t>& rec,
                             const std::map<std::string, std::string>& blobs) {
  const char* caller = "TCatalogueTable.Update";
  TCatalogueAccess access(*this, true);
  std::vector<uint8_t> old = NewRecord();
  records_.ReadRecord(address, old.data(), false);
  std::memcpy(rec.data(), old.data(), kRecModCount);
  host::PutU32(rec.data() + kRecModCount, host::GetU32(old.data() + kRecModCount) + 1);
  CheckUniqueKeys(rec, address, caller);
  // The new BLOBs are written before the old ones go, so that a failure
  // leaves the record with contents it can read.
  WriteBlobs(rec, blobs);
  for (int i = 0; i < indexes_.Count(); ++i) {
    TIndexItem& item = *indexes_.Items(i);
    item.CreateKeyBuffer(old.data());
    if (item.DeleteKey() != 0)
      TavDatabaseErrorFmt(kUnexpectedInternalError, caller, "Key not found in Index - %s",
                          {item.IndexName()});
    item.CreateKeyBuffer(rec.data());
    if (item.InsertKey(address) != 0)
      TavDatabaseErrorFmt(kUnexpectedInternalError, caller, "Failed to add key to Index %s",
                          {item.IndexName()});
  }
  records_.UpdateRecord(address, rec.data());
  for (const auto& entry : blobs) DeleteBlob(old, Field(entry.first));
  access.Done();
}

void TCatalogueTable::Delete(uint32_t address) {
  const char* caller = "TCatalogueTable.Delete";
  TCatalogueAccess access(*this, true);
  std::vector<uint8_t> rec = NewRecord();
  records_.ReadRecord(address, rec.data(), false);
  for (int i = 0; i < indexes_.Count(); ++i) {
    TIndexItem& item = *indexes_.Items(i);
    item.CreateKeyBuffer(rec.data());
    if (item.DeleteKey() != 0)
      TavDatabaseErrorFmt(kUnexpectedInternalError, caller, "Key not found in Index - %s",
                          {item.IndexName()});
  }
  const TInternalFields& fields = def_->InternalFields();
  for (int i = 0; i < fields.Count(); ++i) {
    const TInternalFieldItem& f = *fields.Items(i);
    if (IsBlobFieldType(f.DataType())) DeleteBlob(rec, f);
  }
  records_.DeleteRecord(address);
  access.Done();
}

std::vector<uint32_t> TCatalogueTable::Walk(const std::string& indexName) {
  TCatalogueAccess access(*this, false);
  TIndexItem& item = Index(indexName);
  std::vector<uint32_t> out;
  const TFieldComparisonValue bof[] = {fcForceBOF};
  item.Tree().ConstructKeyBufFromVariants(host::Null(), bof);
  if (item.FullIndexSearch(stGE) != 0) return out;
  do out.push_back(item.GetRecordAddress());
  while (item.NextKey());
  return out;
}

}  // namespace tav
