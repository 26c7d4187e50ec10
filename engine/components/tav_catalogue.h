// TCatalogueTable: the connection's own access to one table of its
// catalogue (the master tables, the object-ID table, the generator table).
// It holds one connection to the table in its table-definition manager and
// reads, finds, inserts, updates and deletes records with their keys and
// BLOBs, each call under the table's lock (a read lock to read, a write
// lock to change; a lock the connection holds already is used as it is).
//
// Record images follow the data-access layer's stored record: in-use byte
// at 0, table identity at 2, logical record number at 6, modification
// counter at 10, then the fields at their layout's offsets.
//
// Callers must keep:
//  - The table-definition manager and the disk manager (null for a memory
//    table) outlive the object; it gives its connection back when freed.
//  - Catalogue changes run under the database header write lock (the
//    connection takes it); this class takes only table locks.
//  - Images handed in hold the table's RecordSize bytes (NewRecord).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/storage/index/index_mgr.h"
#include "engine/storage/record/blob.h"
#include "engine/storage/record/record_mgr.h"
#include "engine/storage/table/table_def.h"

namespace tav {

class TBaseTableDefMgr;
class TDiskMgr;

// A table lock of the disk manager for one call: taken unless the
// connection holds one at least as strong (then kept as it is), given back
// on every exit. A null manager (memory table) takes none.
class TTableLockHold {
 public:
  TTableLockHold(TDiskMgr* disk, int32_t tableId, int type);
  ~TTableLockHold();
  TTableLockHold(const TTableLockHold&) = delete;
  TTableLockHold& operator=(const TTableLockHold&) = delete;

 private:
  TDiskMgr* disk_;
  uint32_t id_;
  bool took_ = false;
};

class TCatalogueTable {
 public:
  // Connects to the table `definition` describes (its TableID and
  // TableName); the definition is copied.
  TCatalogueTable(TBaseTableDefMgr& mgr, TDiskMgr* disk, const TTableDef& definition);
  ~TCatalogueTable();
  TCatalogueTable(const TCatalogueTable&) = delete;
  TCatalogueTable& operator=(const TCatalogueTable&) = delete;

  TTableDef& Def() { return *def_; }
  int32_t TableID() const { return def_->TableID(); }

  // ---- record images ----
  std::vector<uint8_t> NewRecord() const;
  // 10116 for an unknown field.
  const TInternalFieldItem& Field(const std::string& name) const;
  bool IsNull(const std::vector<uint8_t>& rec, const std::string& name) const;
  void SetInteger(std::vector<uint8_t>& rec, const std::string& name, int32_t value) const;
  int32_t GetInteger(const std::vector<uint8_t>& rec, const std::string& name) const;
  // Text longer than the field is cut to what it holds.
  void SetString(std::vector<uint8_t>& rec, const std::string& name, const std::string& s) const;
  std::string GetString(const std::vector<uint8_t>& rec, const std::string& name) const;

  // ---- records ----
  // The record whose key in the unique index `indexName` (one text field)
  // is `key`, 0 when there is none; `rec` receives it when found.
  uint32_t FindKey(const std::string& indexName, const std::string& key,
                   std::vector<uint8_t>* rec = nullptr);
  std::vector<uint8_t> Read(uint32_t address);
  // The BLOB of field `name` of a record image; empty for null.
  std::string ReadBlob(const std::vector<uint8_t>& rec, const std::string& name);
  // Stores the record with its BLOBs (field name -> bytes) and keys, the
  // next auto-increment value in an auto-increment field; returns its
  // address. 9729 (nothing written) for a key a unique index holds.
  uint32_t Insert(std::vector<uint8_t>& rec, const std::map<std::string, std::string>& blobs = {});
  // Replaces the record at `address` (its header kept, its modification
  // counter raised); BLOBs named in `blobs` are replaced, the others kept.
  // 9729 (nothing written) when a changed key is held by another record.
  void Update(uint32_t address, std::vector<uint8_t>& rec,
              const std::map<std::string, std::string>& blobs = {});
  // Frees the record's keys, BLOBs and the record.
  void Delete(uint32_t address);
  // Every record address of index `indexName`, in key order.
  std::vector<uint32_t> Walk(const std::string& indexName);

 private:
  friend class TCatalogueAccess;
  void Release();
  TIndexItem& Index(const std::string& name);
  // Reads the header (and drops cached nodes when another connection wrote
  // the table since); End stores the chain heads and roots and writes it.
  void Begin();
  void End();
  void WriteBlobs(std::vector<uint8_t>& rec, const std::map<std::string, std::string>& blobs);
  void DeleteBlob(const std::vector<uint8_t>& rec, const TInternalFieldItem& f);
  // 9729 when a unique index other than at `self` holds rec's key.
  void CheckUniqueKeys(const std::vector<uint8_t>& rec, uint32_t self, const char* caller);

  TBaseTableDefMgr& mgr_;
  TDiskMgr* disk_;
  std::unique_ptr<TTableDef> def_;
  TRecordMgr records_;
  TBlobInterface blobs_;
  TIndexManager indexes_;
  uint32_t seen_ = 0;
  bool open_ = false;
};

}  // namespace tav
