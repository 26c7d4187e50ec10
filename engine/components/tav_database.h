// TTavDataBase: the connection component datasets reach the storage layer
// through. It names one database file (or the in-memory database "MEMORY"),
// opens it through the disk manager, reads and checks the 254-byte database
// definition block at the start of the file, runs the login (BeforeLogin or
// the login dialog), sets the encryption key, checks the security header and
// opens the catalogue: the master tables that hold every table's stored
// definition, the object-ID table and the generator table; a database that
// enforces security also opens its four security tables and logs the user
// on through its TSecurityManager, whose group's privileges then decide
// which tables open and what their fields allow. It creates
// databases and tables, opens, reads and closes table definitions, and
// carries transactions, table and record locks and the operations on all
// its datasets.
//
// Callers must keep:
//  - Properties that shape the connection (DataBaseName, Directory,
//    ReadOnly, Exclusive, DefaultSortOrder, MasterKey, UseEncryption,
//    EnforceSecurity, DBOwner) are set while disconnected (10120 otherwise).
//  - A table opened with OpenTable is closed with CloseTable by the same
//    definition before the table is deleted or the connection closes.
//  - Datasets register as clients; disconnecting closes them first.
//  - The disk manager, the two header interfaces and the two disk
//    table-definition managers are made on the first disk connect and kept,
//    closed, across disconnects until the component goes.
//  - The master key never appears in a message or the trace log.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/storage/base/tav_compare.h"
#include "engine/storage/file/disk_mgr.h"
#include "engine/storage/table/privileges.h"
#include "engine/storage/table/table_def.h"
#include "engine/storage/table/table_def_mgr.h"
#include "host/db/connection.h"
#include "host/rtl/date_time.h"

namespace host {
class TStrings;
class TStringList;
}

namespace tav {

class TCatalogueTable;
class TDiskIOInterface;
class TSecurityManager;
class TTavDataSet;

// The name of the in-memory database.
inline constexpr char kMemoryDataBaseName[] = "MEMORY";
// The engine's version text, stored with every database and table.
inline constexpr char kTavEngineVersion[] = "1.41.02";
// Every privilege: the in-memory database's and its tables'.
inline constexpr int32_t kAllPrivileges = 0x7FFFFFFF;

// Table lock kinds.
inline constexpr int kTableReadLock = 1;
inline constexpr int kTableWriteLock = 4;

// The catalogue's tables.
inline constexpr char kMasterUserTableName[] = "$MSTRTBLUSER";
inline constexpr char kMasterSystemTableName[] = "$MSTRTBLSYSTEM";
inline constexpr int32_t kMasterUserTableID = 1024;
inline constexpr int32_t kMasterSystemTableID = 1025;
inline constexpr char kObjectIDTableName[] = "$SYSTBL_OBJECTIDREF";
inline constexpr char kGeneratorTableName[] = "$SYSTBL_INTGENERATOR";
// The generator that hands out object IDs.
inline constexpr char kObjectIDGeneratorName[] = "$INTGEN_OBJID";

// The database definition block: 254 bytes at the start of the file.
inline constexpr uint32_t kDBDefBlockSize = 254;
inline constexpr int kDBDefNameOffset = 2;
inline constexpr int kDBDefOSOffset = 64;
inline constexpr int kDBDefCreatedOffset = 126;
inline constexpr int kDBDefOwnerOffset = 134;
inline constexpr int kDBDefSortOrderOffset = 200;
inline constexpr int kDBDefVersionOffset = 204;
inline constexpr int kDBDefSecurityModeOffset = 246;
inline constexpr int kDBDefCRCOffset = 250;
// Security modes of the block.
inline constexpr int32_t kSecurityNone = 0;
inline constexpr int32_t kSecurityEncrypted = 1;
inline constexpr int32_t kSecurityEnforced = 2;

// Login modes of a connect; also the login dialog's flags.
inline constexpr int kLoginNone = 0;
inline constexpr int kLoginDatabaseOnly = 1;
inline constexpr int kLoginUserOnly = 2;
inline constexpr int kLoginAll = 3;

// The master key's accepted lengths (empty is accepted too).
inline constexpr int kMasterKeyMinLength = 4;
inline constexpr int kMasterKeyMaxLength = 100;
// What messages show in place of a master key.
inline constexpr char kMaskedKey[] = "****";

// Progress of a long table operation in percent; setting abort stops it.
using TUpdateProgressEvent = std::function<void(int percent, bool& abort)>;
// Asked for the credentials a connect needs: user name, user password,
// database password (the master key), each given in and taken back.
using TBeforeLoginEvent = std::function<void(host::TObject* sender, std::string& userName,
                                             std::string& password,
                                             std::string& databasePassword)>;

// The definition block's CRC: CRC-32 over the bytes 0..255 followed by the
// block with its CRC field zero.
uint32_t DBDefBlockCRC(const uint8_t* block);

class TTavDataBase : public host::TCustomConnection {
 public:
  explicit TTavDataBase(host::TComponent* owner);
  ~TTavDataBase() override;

  // ---- properties ----
  bool Exclusive() const { return exclusive_; }
  void SetExclusive(bool value);
  bool ReadOnly() const { return read_only_; }
  void SetReadOnly(bool value);
  const std::string& Directory() const { return directory_; }
  // A non-empty value ends with '/'.
  void SetDirectory(const std::string& value);
  const std::string& DataBaseName() const { return data_base_name_; }
  // Keeps the file-name part; a folder part goes to Directory.
  void SetDataBaseName(const std::string& value);
  TSortOrder DefaultSortOrder() const { return default_sort_order_; }
  void SetDefaultSortOrder(TSortOrder value);
  std::string Version() const { return kTavEngineVersion; }
  void SetVersion(const std::string&) {}
  int32_t LockRetryMaximum() const { return lock_retry_maximum_; }
  void SetLockRetryMaximum(int32_t value);
  int32_t LockRetryInterval() const { return lock_retry_interval_; }
  void SetLockRetryInterval(int32_t value);
  int32_t DataBasePrivileges() const { return privilege_flags_; }
  const TUpdateProgressEvent& OnUpdateProgress() const { return on_update_progress_; }
  void SetOnUpdateProgress(TUpdateProgressEvent value) { on_update_progress_ = std::move(value); }
  const TBeforeLoginEvent& BeforeLogin() const { return before_login_; }
  void SetBeforeLogin(TBeforeLoginEvent value) { before_login_ = std::move(value); }
  bool QueryActive() const { return query_active_; }
  void SetQueryActive(bool value) { query_active_ = value; }
  bool IsMemory() const { return data_base_name_ == kMemoryDataBaseName; }
  // Empty, or 4 to 100 characters (9602, the key masked, otherwise).
  const std::string& MasterKey() const { return master_key_; }
  void SetMasterKey(const std::string& value);
  bool UseEncryption() const { return use_encryption_; }
  // False under EnforceSecurity is 10766.
  void SetUseEncryption(bool value);
  bool EnforceSecurity() const { return enforce_security_; }
  // True sets UseEncryption too.
  void SetEnforceSecurity(bool value);
  std::string DBOwner() const;
  void SetDBOwner(const std::string& value);
  host::TDateTime DateCreated() const;
  // The stored version text while connected, else empty.
  std::string DataFileVersion() const;
  // Set only by the engine itself (kAllPrivileges for a database rebuild on
  // itself and its source connection); a disconnect resets it.
  int32_t TempPrivilegeStatus() const { return temp_privilege_status_; }
  bool SaveTableDefinitions() const { return save_table_definitions_; }
  void SetSaveTableDefinitions(bool value) { save_table_definitions_ = value; }
  // The database header write lock, held while True (catalogue changes).
  bool Locked() const { return locked_; }
  void SetLocked(bool value);
  int32_t MajorVersion() const { return major_version_; }
  int32_t MinorVersion() const { return minor_version_; }
  int32_t DiskFormat() const { return disk_format_; }
  // The logged-on group's privileges on every table, read at connect.
  TPrivileges& Privileges() { return *privileges_; }
  TSecurityManager& SecurityManager() { return *security_manager_; }
  // The block as read or last written.
  const std::array<uint8_t, kDBDefBlockSize>& DefinitionBlock() const { return def_block_; }

  // ---- whole-database operations ----
  // Creates the file and its catalogue; leaves the component disconnected.
  void CreateDatabase();
  void FlushBuffers();
  void GetCurrentUsers(host::TStrings& list);
  // Exclusive only: writes the definition block again.
  void ResetDBHeader();
  // The global trace log's lines (none without a logger) and clearing it.
  void Log(host::TStrings& lines) const;
  void ClearLog();

  // ---- checks ----
  // 10113 when not connected; 10880 on "MEMORY" unless allowMemory.
  void CheckConnected(bool allowMemory) const;
  // 10120 when connected.
  void CheckNotConnected() const;
  // 10121 without Exclusive.
  void CheckExclusive() const;
  // 12041 when the file's minor version is below `required`.
  void CheckMinorVersion(int32_t required) const;
  // Connected (10113) when `connected`, else not connected (10120);
  // Exclusive (10121) when `exclusive`.
  void QueryOpenStatus(bool connected, bool exclusive) const;
  // The file enforces security and no rebuild lifts it for now.
  bool NeedSecurity() const;

  // ---- tables ----
  // Version, system, dates and creator filled in; memory tables go to the
  // memory manager, others through the catalogue. 10039 for a name of
  // other than 1 to 40 characters.
  void InternalCreateTable(TTableDef& definition);
  // Under the header lock (unless Locked); `dump` is accepted for the
  // definitions dump, which this engine does not write yet.
  void CreateTable(TTableDef& definition, bool dump = false);
  // A memory table a statement makes for its own rows (a query's result):
  // made for the statement rather than by its user, so the user's create
  // right is not asked; what the statement reads and writes is checked
  // where it does so.
  void CreateWorkTable(TTableDef& definition);
  // Fills `definition` (its Memory flag set by the caller) from its
  // manager and sets its privileges. 10024 for an unknown table.
  void OpenTable(const std::string& tableName, TTableDef& definition);
  // Memory: opens the definition connection; disk: reads the stored
  // definition only.
  void QueryTableDef(const std::string& tableName, bool memory, TTableDef& definition);
  void CloseTable(TTableDef& definition);
  // Memory tables only for now. 10053 while a dataset of this connection or
  // any other user has the table open.
  void DeleteTable(const std::string& tableName, bool memory);
  // Disk database, Exclusive. 10766 for a memory table, 10119 while the
  // table is open, 13060 when the new name is taken; a change of letter
  // case only is no rename.
  void RenameTable(const std::string& oldName, const std::string& newName);
  // Disk: every user table's name, in name order; memory: the memory
  // tables' names.
  void GetTableNames(host::TStrings& list, bool memory);
  void GetSystemTableNames(host::TStrings& list);
  // The master layout: "AutoID", "Name" (40), "TableDef" (BLOB), one
  // unique index on the name.
  void SetMasterTableDef(TTableDef& definition);
  // The master system table and the system tables' manager for a system
  // (internal) definition, else the master user table and the user tables'
  // manager. While connected to a disk database.
  TCatalogueTable& GetMasterTable(const TTableDef& definition);
  TDiskTableDefMgr& GetTableDefMgr(const TTableDef& definition);
  // The object ID the catalogue gave the table; 0 for "ALL" or none.
  int32_t GetObjectID(const std::string& name);
  // Whether the logged-on group holds the privilege `constant` on table
  // `name` (or, when nothing names the table, on "ALL"); True without
  // security. 8579 for a table without an object ID.
  bool QueryObjectPrivilegeExists(TDatabaseObjectType type, const std::string& name, int32_t constant);

  // ---- maintenance (tav_database_maintenance.cpp) ----
  // Under enforced security the table must have an object ID and the user
  // the object privilege (a TObjectPrivilegeType), else 10624.
  void CheckTableObjectPrivilege(const std::string& tableName, int privilegeType, const char* caller);
  // Exclusive: the table's manager restructures the stored definition with
  // `record`, which is then stored again under its own name.
  void UpdateTableDef(TTableDef& definition, const TRestructureDetails& record);
  // Exclusive, outside a transaction: copies table `tableName` of the
  // database file `sourceFile` (opened exclusively as a second connection)
  // into `dataset`, or into the emptied table of this database. 10031 while
  // another dataset uses the table.
  void RebuildTable(const std::string& tableName, const std::string& sourceFile, TTavDataSet* dataset);
  // Disconnected, Directory set: backs the file up as ".tvx", creates it
  // again and copies every table from the backup. A table whose copy fails
  // is logged, left empty and listed in RebuildFailedTables.
  void RebuildDatabase();
  const host::TStrings& RebuildFailedTables() const { return *rebuild_failed_tables_; }
  // Copies the database file to `target`.
  void CopyDatabase(const std::string& target, bool overwrite);
  // Connected, Directory set: a ".tvd" database beside this one holding
  // every user table's definition and no records.
  void DumpTableDefinitions();
  // Disconnected: hands every raw record block of table `tableID` (blocks of
  // `recordSize` bytes) to `callback`, which may clear its continue flag.
  using TTransferRecordEvent = std::function<void(const uint8_t* buffer, int32_t count,
                                                  uint32_t position, bool& proceed)>;
  void TransferRecordBuffers(int32_t tableID, int32_t recordSize, const TTransferRecordEvent& callback);

  // ---- generators (connected disk database, minor version 2) ----
  void CreateGenerator(const std::string& name, int32_t value, int32_t step);
  void DeleteGenerator(const std::string& name);
  int32_t GetGeneratorValue(const std::string& name, bool readOnly);
  void GetGeneratorNames(host::TStrings& list);
  bool QueryGenerator(const std::string& name, int32_t& value, int32_t& step);

  // ---- transactions ----
  void StartTransaction();
  // Writes the table headers that datasets changed under locks they keep,
  // commits, and every dataset's lock flags go down: the commit gave back
  // every lock, so each dataset's next call locks (and reads) again.
  void Commit();
  // Rolls the file back, then every dataset's lock flags go down, it drops
  // its caches, cancels a pending insert or edit and is refreshed.
  void Rollback();
  bool InTransaction() const;
  // Counts the table definitions this connection wrote or dropped: a cursor
  // kept open across statements compares it to tell that its definition may
  // be stale. (Another process changes definitions only on an exclusive
  // connection, which this one's being connected rules out.)
  uint32_t SchemaChanges() const { return schema_changes_; }

  // ---- locks (memory tables take none: each answers False) ----
  bool LockTable(const TTableDef& definition, int lockType);
  bool UnLockTable(const TTableDef& definition);
  bool TableLockExists(const TTableDef& definition, int lockType);
  bool LockRecord(const TTableDef& definition, uint32_t address);
  bool UnLockRecord(const TTableDef& definition, uint32_t address);
  bool RecordLockExists(const TTableDef& definition, uint32_t address);
  // A dataset's hold on a table's lock, from its lock to its release. The
  // connection takes a disk table's lock for the first holder (and again
  // for one that wants more, read to write) and gives it back only when the
  // last holder lets go: one dataset's release leaves the lock that another
  // of the connection still works under. The holders are counted on the
  // table's header image, which the connection's datasets share.
  // `newHolder`: the dataset held no lock on the table before.
  bool HoldTableLock(const TTableDef& definition, int lockType, bool newHolder);
  // One holder less; True when the connection no longer holds the table
  // (always for a memory table).
  bool ReleaseTableLockHold(const TTableDef& definition);

  // ---- the datasets of the connection (a failure on one goes on) ----
  void CloseDataSets();
  void RefreshDataSets();
  void CancelDataSets();
  void RollbackDataSets();
  // Every dataset's table lock flags down after a commit or rollback.
  void ForgetTableLocks(bool rolledBack);

  // A client that is one of this engine's cursors is also kept in a list of
  // its own, so that a commit reaches the cursors without asking each client
  // what it is.
  void RegisterClient(host::TObject* client, host::TConnectChangeEvent event = nullptr) override;
  void UnRegisterClient(host::TObject* client) override;

  TMemoryTableDefMgr& MemoryTableMgr() { return *memory_mgr_; }
  // While a disk database is connected (or after); borrowed.
  TDiskMgr* DiskMgr() const { return disk_mgr_.get(); }
  TDiskTableDefMgr* SystemTableMgr() const { return system_table_mgr_.get(); }
  TDiskTableDefMgr* UserTableMgr() const { return user_table_mgr_.get(); }

 protected:
  void DoConnect() override;
  void DoDisconnect() override;
  bool GetConnected() const override { return connected_; }
  void Notification(host::TComponent* component, host::TOperation operation) override;

 private:
  // ---- the definition block ----
  void InitDefBlock();
  void PutWide(int offset, int chars, const std::string& text);
  std::string GetWide(int offset, int chars) const;
  int32_t SecurityMode() const;
  void ReadDefBlock();
  void WriteDefBlock();
  // Splits the stored version text into the three numbers.
  void RefreshVersionNumbers();
  std::string StoredVersion() const;

  // ---- connect steps ----
  void CreateDiskInterfaces();
  void OpenDiskConnections();
  void CloseDiskConnections();
  // The login of step 7; raises 10015 when the dialog is cancelled.
  void RunLogin(int mode, std::string& userName, std::string& password);
  void OpenSystemTables();
  void CloseSystemTables();
  // Step 12 of connect: logs the user on; without BeforeLogin a failure is
  // shown and the dialog asks again (user name and password only) until a
  // logon succeeds or the user cancels (10015).
  void LogOn(std::string& userName, std::string& password);
  // The security manager's part of connect (logon, the group's privileges,
  // the database privilege flags): the seam where users, groups and
  // privileges come in.
  void LogOnUser(const std::string& userName, const std::string& password);

  // ---- catalogue ----
  void CreateMasterTables();
  void CreateSystemTables();
  void CreateSecurityTables();
  // Under security: 8579 for a user table without object ID, 10624 when the
  // logged-on group may not open it; then its privilege flags and its
  // fields' from the group's privileges.
  void CheckOpenPrivilege(const TTableDef& definition);
  void SetTablePrivileges(TTableDef& definition);
  void SetTempPrivilegeStatus(int32_t value) { temp_privilege_status_ = value; }
  // A catalogue table opened from its stored definition.
  std::unique_ptr<TCatalogueTable> OpenCatalogueTable(const std::string& name);
  void InternalUpdateTableDef(const std::string& newName, TTableDef& definition, bool isNew);
  void InternalGetTableDef(const std::string& name, TTableDef& definition);
  // Copies into `definition` the definition the stored `text` describes: the
  // one read before when the catalogue still holds the same text for the
  // table, else the text read again (and kept for the next time).
  void ReadTableDefText(const std::string& key, const std::string& text, TTableDef& definition);
  // The generator's next value (object IDs); created with value 2 and step
  // 1 (handing out 1) when `create`, else 8579.
  int32_t NextGeneratorValue(const std::string& name, bool create);
  TCatalogueTable& GeneratorTable(const char* caller);
  void SetAllPrivileges(TTableDef& definition) const;
  void DeleteDiskTable(const std::string& tableName);
  // RebuildDatabase's work between backup and restore.
  void InternalRebuildDatabase(const std::string& backupName);

  std::array<uint8_t, kDBDefBlockSize> def_block_{};
  std::unique_ptr<TMemoryTableDefMgr> memory_mgr_;
  std::unique_ptr<TDiskTableDefMgr> system_table_mgr_;
  std::unique_ptr<TDiskTableDefMgr> user_table_mgr_;
  std::unique_ptr<TDiskMgr> disk_mgr_;
  std::unique_ptr<TDiskIOInterface> system_hdr_interface_;
  std::unique_ptr<TDiskIOInterface> table_hdr_interface_;
  std::unique_ptr<TCatalogueTable> master_user_table_;
  std::unique_ptr<TCatalogueTable> master_system_table_;
  std::unique_ptr<TPrivileges> privileges_;
  TSecurityHeader security_header_;
  std::unique_ptr<TCatalogueTable> object_id_table_;
  std::unique_ptr<TCatalogueTable> generator_table_;
  std::unique_ptr<TSecurityManager> security_manager_;
  std::unique_ptr<TCatalogueTable> sec_groups_table_;
  std::unique_ptr<TCatalogueTable> sec_users_table_;
  std::unique_ptr<TCatalogueTable> sec_obj_priv_table_;
  std::unique_ptr<TCatalogueTable> sec_sys_priv_table_;
  std::unique_ptr<host::TStringList> rebuild_failed_tables_;
  // Disk tables' definitions as last read, by catalogue and table name,
  // each with the stored text it came from. Whoever changes a definition
  // (this connection or another process) changes its stored text, so a
  // kept definition is used only while the text is the same.
  struct TReadTableDef {
    std::string Text;
    std::unique_ptr<TTableDef> Definition;
  };
  std::map<std::string, TReadTableDef> read_table_defs_;
  // The registered clients that are cursors, borrowed.
  std::vector<TTavDataSet*> cursors_;
  int32_t privilege_flags_ = 0;
  int32_t temp_privilege_status_ = 0;
  std::string data_base_name_;
  std::string directory_;
  bool exclusive_ = false;
  uint32_t schema_changes_ = 0;
  bool connected_ = false;
  bool enforce_security_ = false;
  TSortOrder default_sort_order_ = soANSI;
  bool read_only_ = false;
  TUpdateProgressEvent on_update_progress_;
  bool save_table_definitions_ = false;
  bool locked_ = false;
  int32_t lock_retry_interval_ = 200;
  int32_t lock_retry_maximum_ = 10;
  std::string master_key_;
  bool use_encryption_ = false;
  int32_t major_version_ = 0;
  int32_t minor_version_ = 0;
  int32_t disk_format_ = 0;
  bool query_active_ = false;
  TBeforeLoginEvent before_login_;
};

}  // namespace tav
