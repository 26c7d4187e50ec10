// Support for tests and benchmarks that work on whole tables below the
// data-access layer: a table definition built from field and index
// descriptions the way that layer builds one, a database file with its user
// tables' manager, and a connection to one table that inserts, finds, walks
// and deletes records with their keys and BLOBs.
//
// Record images follow the data-access layer's header: in-use byte at 0, the
// table identity word at 2, the logical record number at 6 (the hidden last
// key field of every index that is neither unique nor primary) and the
// modification counter at 10.
//
// Callers must keep:
//  - A connection holds one user of its table: close it (or let it go)
//    before the table is deleted, restructured or its manager closed.
//  - Every operation of a connection reads the table header first, so that
//    what other connections and processes wrote is seen, and writes it after
//    a change. Nothing here takes locks: one writer at a time.
//  - Record buffers hold the table's RecordSize bytes (NewRecord).
#pragma once

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/storage/record/blob.h"
#include "engine/storage/testing/btree_check.h"
#include "engine/storage/file/disk_mgr.h"
#include "engine/storage/file/global_hdr.h"
#include "engine/storage/index/index_mgr.h"
#include "engine/storage/record/io_interface.h"
#include "engine/storage/record/record_mgr.h"
#include "engine/storage/table/table_def.h"
#include "engine/storage/table/table_def_mgr.h"
#include "engine/storage/table/table_header.h"
#include "engine/storage/base/tav_compare.h"
#include "engine/storage/base/tav_errors.h"
#include "host/rtl/streams.h"
#include "host/rtl/sys_utils.h"
#include "host/rtl/variant.h"

namespace tav::test {

struct TTableFieldDesc {
  std::string Name;
  host::TFieldType Type = host::ftInteger;
  int32_t Size = 0;  // characters of a string field
  bool Required = false;
};

struct TTableIndexDesc {
  std::string Name;
  std::string Fields;  // names separated by ';'
  bool Unique = false;
  bool Primary = false;
  bool CaseInsensitive = false;
  bool Descending = false;
};

// Record header offsets.
inline constexpr int kRecInUse = 0;
inline constexpr int kRecIdentity = 2;
inline constexpr int kRecLogicalNo = 6;
inline constexpr int kRecModCount = 10;

// The name of the index of a table defined without indexes.
inline constexpr char kLogicalRecNoIndex[] = "_LogicalRecNo";

// Fills `def` (cleared first) with the fields and indexes: strings take
// their size plus a terminating byte, every index a page of 4096 bytes, an
// index neither unique nor primary a hidden logical record number after its
// fields, a table without indexes the hidden "_LogicalRecNo" index. Unknown
// fields raise 10116, keys above 500 bytes 9602.
inline void BuildTableDef(TTableDef& def, const std::string& tableName, bool memory,
                          const std::vector<TTableFieldDesc>& fields,
                          const std::vector<TTableIndexDesc>& indexes) {
  def.Clear();
  def.SetMemory(memory);
  def.SetTableName(tableName);
  def.SetAltName(tableName);
  def.SetSortOrder(soANSI);
  TInternalFields& list = def.InternalFields();
  for (size_t i = 0; i < fields.size(); ++i) {
    const TTableFieldDesc& desc = fields[i];
    TInternalFieldItem* f = list.Add();
    f->SetFieldName(desc.Name);
    f->SetDataType(desc.Type);
    f->SetFieldNo(static_cast<int32_t>(i));
    f->SetFieldIndex(static_cast<int32_t>(i));
    f->SetRequired(desc.Required);
    if (desc.Type == host::ftString) {
      f->SetFieldSize(desc.Size + 1);
      f->SetIsVariable(true);
    }
  }
  list.SetDefaultOffsets();
  list.Open();
  def.SetRecordSize(list.RecordSize());
  def.SetUsesBlobs(list.UsesBlobs());

  std::vector<TTableIndexDesc> all = indexes;
  if (all.empty()) all.push_back(TTableIndexDesc{kLogicalRecNoIndex, "", false, false, false, false});
  for (size_t j = 0; j < all.size(); ++j) {
    const TTableIndexDesc& desc = all[j];
    TInternalIndexDef* d = def.InternalIndexDefs().Add();
    d->SetIndexName(desc.Name);
    d->SetUnique(desc.Unique);
    d->SetPrimary(desc.Primary);
    d->SetMaintained(true);
    d->SetMemory(memory);
    d->SetHidden(desc.Name == kLogicalRecNoIndex);
    d->SetIndexSequence(static_cast<int32_t>(j));
    d->SetIndexPageSize(kIndexPageSize);
    TKeyFields own;
    std::string rest = desc.Fields;
    while (!rest.empty()) {
      const size_t semi = rest.find(';');
      const std::string name = rest.substr(0, semi);
      rest = semi == std::string::npos ? "" : rest.substr(semi + 1);
      const TInternalFieldItem* f = list.FindField(name);
      if (!f) TavDatabaseError(kNoSuchField, "BuildTableDef", name);
      TKeyFieldItem* k = own.Add();
      k->SetIndexName(desc.Name);
      k->SetFieldName(f->FieldName());
      k->SetFieldSize(f->FieldSize());
      k->SetDataType(f->DataType());
      k->SetIsVariable(f->IsVariable());
      k->SetPhysicalFieldNo(f->FieldIndex());
      k->SetCaseInsensitive(desc.CaseInsensitive);
      k->SetDescending(desc.Descending);
      k->SetRecBufOffset(f->DataOffset());
      k->SetNullFlagOffset(f->NullFlagOffset());
      k->SetSizeMarkerOffset(f->SizeMarkerOffset());
      k->SetKeyIndex(own.Count() - 1);
    }
    if (!desc.Unique && !desc.Primary) {
      TKeyFieldItem* k = own.Add();
      k->SetIndexName(desc.Name);
      k->SetDataType(host::ftInteger);
      k->SetFieldSize(4);
      k->SetHidden(true);
      k->SetDescending(desc.Descending);
      k->SetRecBufOffset(kRecLogicalNo);
      k->SetNullFlagOffset(kRecInUse);
      k->SetKeyIndex(own.Count() - 1);
    }
    d->SetKeyDataOffset(CalculateKeyDataOffset(own.Count()));
    d->SetMaximumKeySize(CalculateMaximumKeySize(own) + d->KeyDataOffset());
    if (d->MaximumKeySize() > 500) TavDatabaseError(kKeySizeTooLarge, "BuildTableDef", desc.Name);
    for (int k = 0; k < own.Count(); ++k) def.KeyFields().Add()->Assign(*own.Items(k));
  }
}

// A database file, open, with the user tables' manager open on it. With a
// data file (the in-memory twin of os/testing), the database's bytes live
// there and only the locks use `path`.
class TTestDatabaseFile {
 public:
  TTestDatabaseFile(const std::string& path, bool create, uint32_t pageSize = 4096,
                    os::TFileIO* data = nullptr, os::TFileIO* journal = nullptr,
                    uint16_t openFlags = fmOpenReadWrite | fmShareDenyNone) {
    disk_.SetDataFile(data);
    disk_.SetOpenFlags(openFlags);
    disk_.SetJournalDataFile(journal);
    disk_.SetFileName(path);
    disk_.SetPageSize(pageSize);
    disk_.SetLockRetryCount(3);
    disk_.SetLockRetryInterval(1);
    if (create) disk_.CreateNewFile(true);
    disk_.Open();
    headers_.SetDiskMgr(&disk_);
    headers_.SetUsage(kUsageTableHeader);
    headers_.SetBlockSize(kTableHeaderBlockSize);
    headers_.SetGlobalFirstEmptyOffset(kHdrTableHeadersFirstEmpty);
    headers_.Open();
    tables_.SetDiskMgr(&disk_);
    tables_.SetHdrDiskInterface(&headers_);
    tables_.SetBaseDefMgrAddress(3 * pageSize);
    tables_.Open();
  }
  ~TTestDatabaseFile() {
    try {
      tables_.Close();
      headers_.Close();
      disk_.Close();
    } catch (...) {
      // Tests see their own failures; closing quietly is all that is left.
    }
  }
  TTestDatabaseFile(const TTestDatabaseFile&) = delete;
  TTestDatabaseFile& operator=(const TTestDatabaseFile&) = delete;

  TDiskMgr& DiskMgr() { return disk_; }
  TDiskTableDefMgr& Tables() { return tables_; }
  TDiskIOInterface& HeaderInterface() { return headers_; }

 private:
  TDiskMgr disk_;
  TDiskIOInterface headers_;
  TDiskTableDefMgr tables_;
};

// One connection to one table.
class TTableConnection {
 public:
  // Connects to the table `stored` describes (its TableID and TableName).
  TTableConnection(TBaseTableDefMgr& mgr, const TTableDef& stored)
      : mgr_(mgr), def_(std::make_unique<TTableDef>(nullptr)) {
    def_->Assign(stored);
    mgr_.OpenTableDefConnection(stored.TableName(), *def_);
    try {
      BindTableParts(*def_, records_, blobs_, indexes_);
      Header().ReadHeader();
      indexes_.Open();
      seen_ = Header().GetModifiedFlag();
    } catch (...) {
      Release();
      throw;
    }
  }
  ~TTableConnection() {
    try {
      Close();
    } catch (...) {
      // See Close for the error.
    }
  }
  TTableConnection(const TTableConnection&) = delete;
  TTableConnection& operator=(const TTableConnection&) = delete;

  // Gives the table back to its manager.
  void Close() {
    if (!open_) return;
    Release();
  }

  TTableDef& Def() { return *def_; }
  TRecordMgr& Records() { return records_; }
  TIndexManager& Indexes() { return indexes_; }
  TBlobInterface& Blobs() { return blobs_; }
  TTableHeader& Header() { return *def_->TableHeader(); }

  // ---- record images ----
  std::vector<uint8_t> NewRecord() const {
    return std::vector<uint8_t>(static_cast<size_t>(def_->InternalFields().RecordSize()), 0);
  }
  const TInternalFieldItem& Field(const std::string& name) const {
    const TInternalFieldItem* f = def_->InternalFields().FindField(name);
    if (!f) TavDatabaseError(kNoSuchField, "TTableConnection", name);
    return *f;
  }
  void SetNull(std::vector<uint8_t>& rec, const std::string& name) const {
    const TInternalFieldItem& f = Field(name);
    rec[static_cast<size_t>(f.NullFlagOffset())] = 0;
    std::memset(rec.data() + f.DataOffset(), 0, static_cast<size_t>(f.FieldSize()));
    if (f.SizeMarkerOffset()) std::memset(rec.data() + f.SizeMarkerOffset(), 0, 2);
  }
  bool IsNull(const uint8_t* rec, const std::string& name) const {
    return rec[Field(name).NullFlagOffset()] == 0;
  }
  void SetInteger(std::vector<uint8_t>& rec, const std::string& name, int32_t value) const {
    const TInternalFieldItem& f = Field(name);
    rec[static_cast<size_t>(f.NullFlagOffset())] = 1;
    std::memcpy(rec.data() + f.DataOffset(), &value, 4);
  }
  int32_t GetInteger(const uint8_t* rec, const std::string& name) const {
    int32_t v;
    std::memcpy(&v, rec + Field(name).DataOffset(), 4);
    return v;
  }
  // Text longer than the field is cut to what it can hold.
  void SetString(std::vector<uint8_t>& rec, const std::string& name, const std::string& s) const {
    const TInternalFieldItem& f = Field(name);
    const size_t n = std::min(s.size(), static_cast<size_t>(f.GetWriteableFieldSize()));
    std::memset(rec.data() + f.DataOffset(), 0, static_cast<size_t>(f.FieldSize()));
    std::memcpy(rec.data() + f.DataOffset(), s.data(), n);
    const uint16_t len = static_cast<uint16_t>(n);
    std::memcpy(rec.data() + f.SizeMarkerOffset(), &len, 2);
    rec[static_cast<size_t>(f.NullFlagOffset())] = 1;
  }
  std::string GetString(const uint8_t* rec, const std::string& name) const {
    const TInternalFieldItem& f = Field(name);
    uint16_t len;
    std::memcpy(&len, rec + f.SizeMarkerOffset(), 2);
    return std::string(reinterpret_cast<const char*>(rec + f.DataOffset()), len);
  }
  uint32_t LogicalRecNo(const uint8_t* rec) const {
    uint32_t v;
    std::memcpy(&v, rec + kRecLogicalNo, 4);
    return v;
  }

  // ---- records ----
  // Stores the record, its BLOBs (field name -> bytes) and its keys; returns
  // its address. A key a unique index holds already raises 9729 before
  // anything is written. `rec` receives the header and BLOB references.
  uint32_t Insert(std::vector<uint8_t>& rec,
                  const std::map<std::string, std::string>& blobValues = {}) {
    Begin();
    const uint32_t logicalNo = Header().GetLogicalRecordNo() + 1;
    rec[kRecInUse] = 1;
    const uint32_t identity = (static_cast<uint32_t>(def_->TableID()) << 4) | kUsageRecord;
    std::memcpy(rec.data() + kRecIdentity, &identity, 4);
    std::memcpy(rec.data() + kRecLogicalNo, &logicalNo, 4);
    std::memset(rec.data() + kRecModCount, 0, 4);
    for (int i = 0; i < indexes_.Count(); ++i) {
      TIndexItem& item = *indexes_.Items(i);
      // A non-unique key ends in the record's address, so it can never be
      // present already: only unique indexes are searched first.
      // The search leaves the tree where the key goes: the insert below
      // does not search again.
      if (!item.Unique() && !item.Primary()) continue;
      item.CreateKeyBuffer(rec.data());
      if (item.FindKeyForInsert() == 0)
        TavDatabaseErrorFmt(kKeyViolation, "TTableConnection.Insert", "Index %s",
                            {item.IndexName()});
    }
    for (const auto& [name, bytes] : blobValues) {
      const TInternalFieldItem& f = Field(name);
      host::TMemoryStream stream;
      if (!bytes.empty()) stream.WriteBuffer(bytes.data(), static_cast<int32_t>(bytes.size()));
      stream.Seek(0, host::soBeginning);
      const uint32_t address = bytes.empty() ? 0 : blobs_.InsertBlob(stream);
      const uint32_t size = static_cast<uint32_t>(bytes.size());
      std::memcpy(rec.data() + f.DataOffset(), &address, 4);
      std::memcpy(rec.data() + f.DataOffset() + 4, &size, 4);
      rec[static_cast<size_t>(f.NullFlagOffset())] = size != 0 ? 1 : 0;
    }
    const uint32_t address = records_.AddRecord(rec.data());
    // One index counts the record number its new entry took (the first), as
    // a dataset's insert counts it for its current index only.
    for (int i = 0; i < indexes_.Count(); ++i) {
      TIndexItem& item = *indexes_.Items(i);
      const bool checked = item.Unique() || item.Primary();
      if (!checked) item.CreateKeyBuffer(rec.data());
      if (item.InsertFoundKey(address, i == 0) != 0)
        TavDatabaseErrorFmt(kUnexpectedInternalError, "TTableConnection.Insert",
                            "Failed to add key to Index %s", {item.IndexName()});
    }
    Header().SetLogicalRecordNo(logicalNo);
    End();
    return address;
  }

  std::vector<uint8_t> Read(uint32_t address) {
    std::vector<uint8_t> rec = NewRecord();
    ReadInto(address, rec.data());
    return rec;
  }
  // The same into a buffer of the record's size.
  void ReadInto(uint32_t address, uint8_t* rec) {
    Begin();
    records_.ReadRecord(address, rec, false);
  }

  // The BLOB of field `name` of a record image.
  std::string ReadBlob(const uint8_t* rec, const std::string& name) {
    Begin();
    const TInternalFieldItem& f = Field(name);
    uint32_t address, size;
    std::memcpy(&address, rec + f.DataOffset(), 4);
    std::memcpy(&size, rec + f.DataOffset() + 4, 4);
    if (rec[f.NullFlagOffset()] == 0 || size == 0) return std::string();
    host::TMemoryStream stream;
    blobs_.ReadBlob(address, size, stream);
    return std::string(reinterpret_cast<const char*>(stream.Memory()),
                       static_cast<size_t>(stream.Size()));
  }

  // Frees the record's keys, its BLOBs and the record.
  void Delete(uint32_t address) {
    std::vector<uint8_t> rec = Read(address);
    for (int i = 0; i < indexes_.Count(); ++i) {
      TIndexItem& item = *indexes_.Items(i);
      item.CreateKeyBuffer(rec.data());
      if (item.DeleteKey() != 0)
        TavDatabaseErrorFmt(kUnexpectedInternalError, "TTableConnection.Delete",
                            "Key not found in Index - %s", {item.IndexName()});
    }
    const TInternalFields& fields = def_->InternalFields();
    for (int i = 0; i < fields.Count(); ++i) {
      const TInternalFieldItem& f = *fields.Items(i);
      if (!IsBlobFieldType(f.DataType()) || rec[f.NullFlagOffset()] == 0) continue;
      uint32_t blob, size;
      std::memcpy(&blob, rec.data() + f.DataOffset(), 4);
      std::memcpy(&size, rec.data() + f.DataOffset() + 4, 4);
      if (size) blobs_.DeleteBlob(blob, size);
    }
    records_.DeleteRecord(address);
    End();
  }

  // The addresses of the records whose leading key fields in index
  // `indexName` equal `key` (one value, or an array of values), in key order.
  std::vector<uint32_t> Find(const std::string& indexName, const host::Variant& key) {
    Begin();
    TIndexItem& item = Index(indexName);
    const int n = key.IsArray() ? key.HighBound() - key.LowBound() + 1 : 1;
    item.Tree().ConstructKeyBufFromVariants(key);
    std::vector<uint8_t> probe(static_cast<size_t>(item.MaximumKeySize()) + 1);
    item.CopyKeyBuffer(item.Tree().KeyBuf(), probe.data());
    TSearchModifier modifier;
    modifier.SetLimitedSearch(true);
    modifier.SetIncludedKeyFieldCount(n);
    std::vector<uint32_t> found;
    if (item.PartialIndexSearch(stEQ, &modifier) != 0) return found;
    do {
      if (item.CompareKeyToCurrentKey(n, probe.data()) != 0) break;
      found.push_back(item.GetRecordAddress());
    } while (item.NextKey());
    return found;
  }

  // The address of the first record whose leading key fields equal `key`,
  // 0 when there is none; allocates nothing once the probe buffer has grown.
  uint32_t FindFirst(const std::string& indexName, const host::Variant& key) {
    Begin();
    TIndexItem& item = Index(indexName);
    const int n = key.IsArray() ? key.HighBound() - key.LowBound() + 1 : 1;
    item.Tree().ConstructKeyBufFromVariants(key);
    const size_t size = static_cast<size_t>(item.MaximumKeySize()) + 1;
    if (probe_.size() < size) probe_.resize(size);
    item.CopyKeyBuffer(item.Tree().KeyBuf(), probe_.data());
    TSearchModifier modifier;
    modifier.SetLimitedSearch(true);
    modifier.SetIncludedKeyFieldCount(n);
    if (item.PartialIndexSearch(stEQ, &modifier) != 0) return 0;
    if (item.CompareKeyToCurrentKey(n, probe_.data()) != 0) return 0;
    return item.GetRecordAddress();
  }

  // Every record address of index `indexName`, in key order.
  std::vector<uint32_t> Walk(const std::string& indexName) {
    Begin();
    TIndexItem& item = Index(indexName);
    std::vector<uint32_t> out;
    if (!PositionFirst(item)) return out;
    do out.push_back(item.GetRecordAddress());
    while (item.NextKey());
    return out;
  }

  // Puts the index's cursor on its first entry; false when it is empty.
  bool PositionFirst(TIndexItem& item) {
    Begin();
    const TFieldComparisonValue bof[] = {fcForceBOF};
    item.Tree().ConstructKeyBufFromVariants(host::Null(), bof);
    return item.FullIndexSearch(stGE) == 0;
  }

  TIndexItem& Index(const std::string& name) {
    TIndexItem* item = indexes_.FindIndex(name);
    if (!item) TavDatabaseError(kIndexDoesNotExist, "TTableConnection", name);
    return *item;
  }

  // The addresses of the records in use, in block order.
  std::vector<uint32_t> LiveRecords() {
    Begin();
    host::TList blocks;
    def_->RecordInterface()->ListBlocks(blocks);
    std::vector<uint32_t> out;
    std::vector<uint8_t> rec = NewRecord();
    for (int i = 0; i < blocks.Count(); ++i) {
      const uint32_t address = static_cast<uint32_t>(blocks.Items(i));
      def_->RecordInterface()->ReadBlock(address, static_cast<uint32_t>(rec.size()), rec.data());
      if (rec[kRecInUse] == 1) out.push_back(address);
    }
    return out;
  }

  // Every record, BLOB and key goes; the indexes start again empty.
  void Empty() {
    Begin();
    // Each tree gives its blocks back one by one: index blocks may share a
    // free chain with other tables' (table_def_mgr.cpp says when).
    for (int i = 0; i < indexes_.Count(); ++i) indexes_.Items(i)->EmptyIndex();
    for (TBaseIOInterface* io : {def_->RecordInterface(), def_->BlobInterface()}) {
      if (!io) continue;
      io->Empty(true);
      io->SetFirstEmpty(0);
      io->SetFirstEmptyValid(true);
    }
    Header().SetLogicalRecordNo(0);
    End();
  }

  // Reads the header and, when someone else wrote the table since this
  // connection last looked, drops the nodes the trees hold.
  void Begin() { RefreshTableParts(*def_, indexes_, seen_); }


  // Stores the chain heads and the index roots and writes the header.
  void End() {
    TTableHeader& h = Header();
    if (!def_->Memory()) {
      h.SetRecordFirstEmpty(def_->RecordInterface()->FirstEmpty());
      if (def_->BlobInterface()) h.SetBlobFirstEmpty(def_->BlobInterface()->FirstEmpty());
    }
    indexes_.WriteIndexHeaders();
    h.WriteHeader();
    seen_ = h.GetModifiedFlag();
  }

 private:
  void Release() {
    open_ = false;
    indexes_.Close();
    records_.Close();
    blobs_.Close();
    const int32_t id = def_->TableID();
    def_->SetTableHeader(nullptr);
    // A table deleted through this connection's definition took the
    // connection with it.
    if (id != 0) mgr_.CloseTableDefConnection(id);
  }

  TBaseTableDefMgr& mgr_;
  std::unique_ptr<TTableDef> def_;
  TRecordMgr records_;
  TBlobInterface blobs_;
  TIndexManager indexes_;
  uint32_t seen_ = 0;
  bool open_ = true;
  std::vector<uint8_t> probe_;  // FindFirst's copy of the search key
};

// A connection to the stored table `tableID`, described again from its
// fields and indexes, as another user or process opens it.
inline std::unique_ptr<TTableConnection> OpenStoredTable(
    TBaseTableDefMgr& mgr, const std::string& tableName, int32_t tableID,
    const std::vector<TTableFieldDesc>& fields, const std::vector<TTableIndexDesc>& indexes) {
  TTableDef stored(nullptr);
  BuildTableDef(stored, tableName, false, fields, indexes);
  stored.SetTableID(tableID);
  return std::make_unique<TTableConnection>(mgr, stored);
}

// Checks every index of the connection against the table's records: each
// tree is sound (btree_check.h), holds exactly one entry per record in use,
// each entry's key is the key of its record, entries come in strictly rising
// order, and a search for each record's key finds that record. Returns the
// first disagreement, empty when there is none.
inline std::string CheckIndexesAgree(TTableConnection& c) {
  c.Begin();
  std::vector<uint32_t> live = c.LiveRecords();
  std::sort(live.begin(), live.end());
  for (int i = 0; i < c.Indexes().Count(); ++i) {
    TIndexItem& item = *c.Indexes().Items(i);
    const std::string name = item.IndexName() + ": ";
    const TTreeCheckResult tree = TTreeChecker(item.Tree(), true).Run();
    if (!tree.Ok()) return name + tree.Error;
    std::vector<uint32_t> sorted = tree.Addresses;
    std::sort(sorted.begin(), sorted.end());
    if (sorted != live)
      return name + std::to_string(tree.Addresses.size()) + " entries for " +
             std::to_string(live.size()) + " records";
    if (item.GetRecordCount(true) != static_cast<int32_t>(live.size()))
      return name + "record count " + std::to_string(item.GetRecordCount(true));
    // The walk, with each entry's key.
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> entries;
    if (c.PositionFirst(item)) {
      do {
        const uint8_t* key = item.GetCurrentKeyBuf();
        entries.emplace_back(item.GetRecordAddress(),
                             std::vector<uint8_t>(key, key + GetKeyEntryLength(key)));
      } while (item.NextKey());
    }
    std::vector<uint32_t> walked;
    for (const auto& e : entries) walked.push_back(e.first);
    if (walked != tree.Addresses) return name + "walk differs from the tree";
    std::vector<uint8_t> built(static_cast<size_t>(item.MaximumKeySize()) + 1);
    for (size_t k = 0; k < entries.size(); ++k) {
      const std::vector<uint8_t> rec = c.Read(entries[k].first);
      const int len = item.CreateTempKeyBuffer(rec.data(), built.data());
      const std::vector<uint8_t>& stored = entries[k].second;
      if (len != static_cast<int>(stored.size()) ||
          std::memcmp(built.data() + kKeyEntryHeaderSize, stored.data() + kKeyEntryHeaderSize,
                      static_cast<size_t>(len - kKeyEntryHeaderSize)) != 0)
        return name + "entry " + std::to_string(k) + " is not its record's key";
      if (k > 0 && item.CompareKeyBuffers(0, entries[k - 1].second.data(), stored.data()) >= 0)
        return name + "entries " + std::to_string(k - 1) + " and " + std::to_string(k) +
               " out of order";
    }
    for (uint32_t address : live) {
      const std::vector<uint8_t> rec = c.Read(address);
      item.CreateKeyBuffer(rec.data());
      if (item.FullIndexSearch(stEQ) != 0 || item.GetRecordAddress() != address)
        return name + "record " + std::to_string(address) + " not found by its key";
    }
  }
  return std::string();
}

}  // namespace tav::test
