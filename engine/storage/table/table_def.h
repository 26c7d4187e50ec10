// TTableDef: the description of one table (names, dates, security, sort
// order, encryption, record and BLOB sizes, fields, key fields and index
// definitions) and, while a table is open, its storage: the shared table
// header and the three block interfaces (index nodes, BLOB blocks, records).
//
// One definition per open table is the master: a table-definition manager
// (table_def_mgr.h) keeps it, opens its storage (InternalOpen) and owns its
// interfaces. Every connection to the table holds its own copy of the
// definition, which borrows the master's header and interfaces.
//
// Callers must keep:
//  - The published properties are plain stores (a streaming layer sets them
//    in any order); nothing is checked until InternalOpen.
//  - A copy's header and interfaces are the master's: they live until the
//    master closes (its last connection closes, the table is deleted or the
//    manager closes). A copy forgets them through Clear or the manager.
//  - A definition read from storage is untrusted: InternalOpen bounds the
//    sizes it builds interfaces from and the index slots it writes.
//  - The disk manager given to InternalOpen outlives the open master.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/storage/file/global_hdr.h"
#include "engine/storage/index/index_mgr.h"
#include "engine/storage/record/internal_fields.h"
#include "engine/storage/index/key_fields.h"
#include "engine/storage/base/tav_compare.h"
#include "host/classes/component.h"
#include "host/rtl/date_time.h"

namespace tav {

class TBaseIOInterface;
class TDiskMgr;
class TTableHeader;

enum TEncryptionLevel : uint8_t { encNone = 0, encWeak = 1, encStrong = 2 };

// The access flags of a table's interfaces: cached, plus XOR scrambling
// (encWeak) or Blowfish (encStrong).
uint32_t TableAccessFlags(TEncryptionLevel level);

// The BLOB block size of a new definition.
inline constexpr int32_t kDefaultTableBlobSize = 512;

// The index page size of a table: one interface serves all its indexes, so
// their definitions must agree (4096 without any). 8581 for sizes that
// differ or lie outside 512..65536.
uint32_t TableIndexPageSize(const TInternalIndexDefs& defs, const char* caller);
// 8581 unless every definition names its own header slot below slotCount.
void CheckTableIndexSlots(const TInternalIndexDefs& defs, int32_t slotCount, const char* caller);

class TBlobInterface;
class TRecordMgr;
class TTableDef;

// Points one connection's record manager, BLOB interface and index manager at
// the open table its definition copy `def` describes and opens the first two.
// The index manager is configured but not opened: the caller opens it once
// it holds the table lock and has read the table header.
void BindTableParts(const TTableDef& def, TRecordMgr& records, TBlobInterface& blobs,
                    TIndexManager& indexes);
// At the start of an operation on bound parts: reads the table header (unless
// this connection's changes to it are pending), makes the trees drop their
// nodes when someone else wrote the table since `seenModified` was taken,
// and hands a disk table's first-empty hints to its interfaces.
void RefreshTableParts(const TTableDef& def, TIndexManager& indexes, uint32_t& seenModified);

class TTableDef : public host::TComponent {
 public:
  explicit TTableDef(host::TComponent* owner);
  ~TTableDef() override;

  // ---- published ----
  int32_t TableID() const { return table_id_; }
  void SetTableID(int32_t value) { table_id_ = value; }
  // TableID shl 4: the owner word of the table's pages.
  uint32_t OwnerFlag() const { return owner_flag_; }
  void SetOwnerFlag(uint32_t value) { owner_flag_ = value; }
  const std::string& TableName() const { return table_name_; }
  void SetTableName(const std::string& value) { table_name_ = value; }
  const std::string& AltName() const { return alt_name_; }
  void SetAltName(const std::string& value) { alt_name_ = value; }
  const std::string& Version() const { return version_; }
  void SetVersion(const std::string& value) { version_ = value; }
  const std::string& OS() const { return os_; }
  void SetOS(const std::string& value) { os_ = value; }
  const std::string& CreatedBy() const { return created_by_; }
  void SetCreatedBy(const std::string& value) { created_by_ = value; }
  const std::string& Password() const { return password_; }
  void SetPassword(const std::string& value) { password_ = value; }
  host::TDateTime CreationDate() const { return creation_date_; }
  void SetCreationDate(host::TDateTime value) { creation_date_ = value; }
  host::TDateTime LastModDate() const { return last_mod_date_; }
  void SetLastModDate(host::TDateTime value) { last_mod_date_ = value; }
  bool Encrypted() const { return encrypted_; }
  void SetEncrypted(bool value) { encrypted_ = value; }
  int32_t SecurityLevel() const { return security_level_; }
  void SetSecurityLevel(int32_t value) { security_level_ = value; }
  bool Memory() const { return memory_; }
  void SetMemory(bool value) { memory_ = value; }
  int32_t RecordSize() const { return record_size_; }
  void SetRecordSize(int32_t value) { record_size_ = value; }
  int32_t DefaultBlobSize() const { return default_blob_size_; }
  void SetDefaultBlobSize(int32_t value) { default_blob_size_ = value; }
  bool UsesBlobs() const { return uses_blobs_; }
  void SetUsesBlobs(bool value) { uses_blobs_ = value; }
  TSortOrder SortOrder() const { return sort_order_; }
  void SetSortOrder(TSortOrder value) { sort_order_ = value; }
  bool InternalTable() const { return internal_table_; }
  void SetInternalTable(bool value) { internal_table_ = value; }
  TEncryptionLevel EncryptionLevel() const { return encryption_level_; }
  void SetEncryptionLevel(TEncryptionLevel value) { encryption_level_ = value; }
  TKeyFields& KeyFields() { return *key_fields_; }
  const TKeyFields& KeyFields() const { return *key_fields_; }
  void SetKeyFields(const TKeyFields& value);
  TInternalFields& InternalFields() { return *internal_fields_; }
  const TInternalFields& InternalFields() const { return *internal_fields_; }
  void SetInternalFields(const TInternalFields& value);
  TInternalIndexDefs& InternalIndexDefs() { return *internal_index_defs_; }
  const TInternalIndexDefs& InternalIndexDefs() const { return *internal_index_defs_; }
  void SetInternalIndexDefs(const TInternalIndexDefs& value);

  // ---- not published ----
  int32_t PrivilegeFlags() const { return privilege_flags_; }
  void SetPrivilegeFlags(int32_t value) { privilege_flags_ = value; }
  TTableHeader* TableHeader() const { return table_header_; }
  void SetTableHeader(TTableHeader* value) { table_header_ = value; }
  TBaseIOInterface* IndexInterface() const { return index_interface_; }
  void SetIndexInterface(TBaseIOInterface* value) { index_interface_ = value; }
  TBaseIOInterface* BlobInterface() const { return blob_interface_; }
  void SetBlobInterface(TBaseIOInterface* value) { blob_interface_ = value; }
  TBaseIOInterface* RecordInterface() const { return record_interface_; }
  void SetRecordInterface(TBaseIOInterface* value) { record_interface_ = value; }
  bool MasterDef() const { return master_def_; }
  void SetMasterDef(bool value) { master_def_ = value; }
  int32_t UserCount() const { return user_count_; }
  void SetUserCount(int32_t value) { user_count_ = value; }
  bool Active() const { return active_; }
  void SetActive(bool value) { active_ = value; }

  // From another TTableDef: its description (not its dates of change,
  // security level, internal flag, owner word, storage or master state).
  // Else the inherited assignment.
  void Assign(const host::TPersistent& source) override;
  // 8577 on a master. Forgets the storage and resets every property.
  void Clear();
  // Key fields naming no index definition go to the first definition that
  // has no key fields, when there is one. True.
  bool Validate();

  // Opens the master's storage: memory interfaces with a new empty root per
  // index for a memory table, the table's blocks in `diskMgr` otherwise.
  // 8576 without a header; 8581 for sizes no interface can take or index
  // slots the header lacks. On failure nothing stays open.
  void InternalOpen(TDiskMgr* diskMgr);
  // A master closes and frees its interfaces (a memory table's blocks go
  // with them); a copy only forgets them.
  void InternalClose();

  // A small fixed definition for diagnostics: fields "Int1", "Str1",
  // "Date1", indexes "one" and "two".
  void DebugSetDefs();

  // The published properties, in the order above, without defaults: a
  // stored definition holds every one of them (table_def_text.h).
  static const host::TPropertyTable& ClassProperties();
  const host::TPropertyTable* PublishedProperties() const override { return &ClassProperties(); }

 private:
  void ForgetStorage();
  void OpenMemory();
  void OpenDisk(TDiskMgr* diskMgr);

  int32_t table_id_ = 0;
  uint32_t owner_flag_ = 0;
  std::string table_name_;
  std::string alt_name_;
  std::string version_;
  std::string os_;
  std::string created_by_;
  std::string password_;
  host::TDateTime creation_date_ = 0;
  host::TDateTime last_mod_date_ = 0;
  bool encrypted_ = false;
  int32_t security_level_ = 0;
  bool memory_ = false;
  int32_t record_size_ = 0;
  int32_t default_blob_size_ = kDefaultTableBlobSize;
  bool uses_blobs_ = false;
  TSortOrder sort_order_ = soANSI;
  bool internal_table_ = false;
  TEncryptionLevel encryption_level_ = encNone;
  std::unique_ptr<TKeyFields> key_fields_;
  std::unique_ptr<TInternalFields> internal_fields_;
  std::unique_ptr<TInternalIndexDefs> internal_index_defs_;

  int32_t privilege_flags_ = 0;
  TTableHeader* table_header_ = nullptr;
  TBaseIOInterface* index_interface_ = nullptr;
  TBaseIOInterface* blob_interface_ = nullptr;
  TBaseIOInterface* record_interface_ = nullptr;
  // A master's own interfaces; the pointers above borrow them.
  std::unique_ptr<TBaseIOInterface> own_index_;
  std::unique_ptr<TBaseIOInterface> own_blob_;
  std::unique_ptr<TBaseIOInterface> own_record_;
  bool master_def_ = false;
  int32_t user_count_ = 0;
  bool active_ = false;
};

}  // namespace tav
