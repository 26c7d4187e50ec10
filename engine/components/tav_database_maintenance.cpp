// Whole-database and whole-table maintenance of TTavDataBase: restructured
// definitions stored again, a table refilled from a backup file, the whole
// database rebuilt from its ".tvx" backup, the file copied, the definitions
// dumped into a ".tvd" database and raw record blocks read from a closed
// file.
//
// Every temporary connection, dataset, lock and property change is held by
// a guard, so that a failure leaves the connection as it was.

#include <memory>
#include <vector>

#include "engine/components/tav_data_set.h"
#include "engine/components/tav_database.h"
#include "engine/storage/base/tav_errors.h"
#include "engine/storage/base/tav_logger.h"
#include "engine/storage/record/io_interface.h"
#include "engine/storage/table/privileges.h"
#include "host/rtl/list.h"
#include "host/rtl/string_list.h"
#include "host/rtl/sys_utils.h"
#include "os/clock.h"
#include "os/file.h"

namespace tav {

namespace {

// The page size of every database file this engine creates and opens.
constexpr uint32_t kDiskPageSize = 4096;

void LogLine(const std::string& source, const std::string& text) {
  if (auto logger = GDBLogger()) logger->LogItem(source, text);
}

// Closes a dataset on every exit, reporting nothing.
void CloseQuietly(TTavDataSet& ds) {
  try {
    ds.DataSetClose();
  } catch (...) {
    // The first failure is the one reported.
  }
}

// Every field of an open dataset comes from the field of its own name.
void MapFieldsByOwnName(TTavDataSet& ds) {
  TInternalFields& fields = ds.GetInternalFields();
  for (int i = 0; i < fields.Count(); ++i) fields.Items(i)->SetSourceField(fields.Items(i)->FieldName());
}

}  // namespace

// ---------------------------------------------------------------------------
// Privileges

void TTavDataBase::CheckTableObjectPrivilege(const std::string& tableName, int privilegeType,
                                             const char* caller) {
  if (!NeedSecurity()) return;
  if (GetObjectID(tableName) == 0)
    TavDatabaseError(kRequestedObjectCouldNotBeFound, caller, tableName, this);
  // The same rule as the open check: the table's own entries, else "ALL".
  const auto type = static_cast<TObjectPrivilegeType>(privilegeType);
  if (!QueryObjectPrivilegeExists(doTable, tableName, MapObjectPrivTypeToConst(type)))
    TavDatabaseError(kPrivilegeRequired, caller, "", this);
}

// ---------------------------------------------------------------------------
// Definitions and rebuilds

void TTavDataBase::UpdateTableDef(TTableDef& definition, const TRestructureDetails& record) {
  CheckConnected(false);
  CheckExclusive();
  GetTableDefMgr(definition).RestructureTableDef(definition, record);
  definition.SetLastModDate(os::Now());
  InternalUpdateTableDef(definition.TableName(), definition, false);
}

void TTavDataBase::RebuildTable(const std::string& tableName, const std::string& sourceFile,
                                TTavDataSet* dataset) {
  const char* caller = "TTavDataBase.RebuildTable";
  CheckConnected(false);
  CheckExclusive();
  // A backup taken now would miss the transaction's pages, and the table
  // would be refilled from a stale copy.
  if (InTransaction()) TavDatabaseError(kCannotOperateWhileTransactionActive, caller, "", this);
  {
    TTableDef stored(nullptr);
    InternalGetTableDef(tableName, stored);
    if (GetTableDefMgr(stored).CheckTableUserCount(tableName) > (dataset ? 1 : 0))
      TavDatabaseErrorFmt(kTableIsOpen, caller, "The table %s is in use", {tableName}, this);
  }
  // Declared first: freed last, after the datasets on it.
  TTavDataBase source(nullptr);
  source.SetDataBaseName(sourceFile);
  source.SetExclusive(true);
  source.SetMasterKey(master_key_);
  source.SetBeforeLogin(before_login_);
  source.SetLockRetryMaximum(lock_retry_maximum_);
  source.SetLockRetryInterval(lock_retry_interval_);
  source.SetTempPrivilegeStatus(temp_privilege_status_);
  source.Open();
  TTavDataSet sourceTable(nullptr);
  sourceTable.SetDataBase(&source);
  sourceTable.SetTableName(tableName);
  sourceTable.DataSetOpen();
  std::unique_ptr<TTavDataSet> created;
  TTavDataSet* target = dataset;
  if (!target) {
    created = std::make_unique<TTavDataSet>(nullptr);
    created->SetDataBase(this);
    created->SetTableName(tableName);
    created->DataSetOpen();
    created->DataSetEmptyTable();
    MapFieldsByOwnName(*created);
    target = created.get();
  }
  sourceTable.CopyRawTableData(target);
}

// ---------------------------------------------------------------------------
// The whole database

namespace {

// What RebuildDatabase changes on the component and the logger, given back
// on every exit.
class TRebuildRestore {
 public:
  TRebuildRestore(TTavDataBase& db, bool& exclusive, int32_t& privilegeStatus)
      : db_(db), exclusive_(exclusive), privilege_status_(privilegeStatus),
        saved_exclusive_(exclusive), saved_privilege_(privilegeStatus) {
    if (auto logger = GDBLogger()) saved_max_ = logger->MaxLogItemCount();
  }
  ~TRebuildRestore() {
    try {
      db_.Close();
    } catch (...) {
      // The first failure is the one reported.
    }
    exclusive_ = saved_exclusive_;
    privilege_status_ = saved_privilege_;
    if (auto logger = GDBLogger()) logger->SetMaxLogItemCount(saved_max_);
  }
  TRebuildRestore(const TRebuildRestore&) = delete;
  TRebuildRestore& operator=(const TRebuildRestore&) = delete;

 private:
  TTavDataBase& db_;
  bool& exclusive_;
  int32_t& privilege_status_;
  bool saved_exclusive_;
  int32_t saved_privilege_;
  int saved_max_ = 0;
};

}  // namespace

void TTavDataBase::RebuildDatabase() {
  const char* caller = "TTavDataBase.RebuildDatabase";
  if (directory_.empty()) return;
  CheckNotConnected();
  rebuild_failed_tables_->Clear();
  const std::string file = directory_ + data_base_name_;
  const std::string backupName = host::ChangeFileExt(file, ".tvx");
  LogLine(data_base_name_, "Rebuild database start");
  if (!os::FileExists(file)) TavDatabaseError(kFileNotFound, caller, file, this);
  if (!DoCopyFile(file, backupName, true)) TavDatabaseError(kFileCopyFailed, caller, file, this);
  TRebuildRestore restore(*this, exclusive_, temp_privilege_status_);
  temp_privilege_status_ = kAllPrivileges;
  LogLine(data_base_name_, "Backup database created -" + backupName);
  if (auto logger = GDBLogger()) logger->SetMaxLogItemCount(-1);
  InternalRebuildDatabase(backupName);
  Close();
  LogLine(data_base_name_, "Rebuild database complete");
  if (auto logger = GDBLogger()) logger->SaveLogToFile(directory_ + "dblog.txt");
}

void TTavDataBase::InternalRebuildDatabase(const std::string& backupName) {
  const std::string& me = data_base_name_;
  exclusive_ = true;
  Open();
  const std::string key = master_key_;
  Close();
  master_key_ = key;
  CreateDatabase();
  try {
    Open();
  } catch (...) {
    if (!connected_) throw;
  }

  TTavDataBase source(nullptr);
  source.SetDataBaseName(backupName);
  source.SetExclusive(true);
  source.SetReadOnly(true);
  source.SetTempPrivilegeStatus(kAllPrivileges);
  source.SetMasterKey(master_key_);
  source.SetBeforeLogin(before_login_);
  source.SetLockRetryMaximum(lock_retry_maximum_);
  source.SetLockRetryInterval(lock_retry_interval_);
  LogLine(me, "Opening Source database");
  try {
    source.Open();
  } catch (...) {
    LogLine(me, "Could not open source database");
    throw;
  }

  host::TStringList systemNames;
  if (minor_version_ > 1) GetSystemTableNames(systemNames);
  host::TStringList names;
  source.GetTableNames(names, false);
  if (source.MinorVersion() > 1) source.GetSystemTableNames(names);

  LogLine(me, "Creating tables...");
  std::vector<std::string> toCopy;
  for (int i = 0; i < names.Count(); ++i) {
    const std::string& name = names.Strings(i);
    if (systemNames.IndexOf(name) >= 0) {
      toCopy.push_back(name);
      continue;
    }
    TTableDef definition(nullptr);
    source.QueryTableDef(name, false, definition);
    definition.SetTableName(name);
    if (definition.Memory()) continue;
    LogLine(me, "Creating table " + name);
    CreateTable(definition);
    toCopy.push_back(name);
  }

  for (const std::string& name : toCopy) {
    TTavDataSet target(nullptr);
    TTavDataSet from(nullptr);
    try {
      target.SetDataBase(this);
      target.SetTableName(name);
      target.SetOnUpdateProgress(on_update_progress_);
      target.DataSetOpen();
      if (target.GetTotalRecordCount() > 0) target.DataSetEmptyTable();
      MapFieldsByOwnName(target);
      LogLine(me, "Copying data from source table " + name);
      from.SetDataBase(&source);
      from.SetTableName(name);
      from.DataSetOpen();
      try {
        from.CopyRawTableData(&target);
      } catch (const std::exception& e) {
        // The table is left empty and the backup kept: the caller learns of
        // it from RebuildFailedTables, not from a raise.
        LogLine(me, "Exception while copying data from source table " + name);
        LogLine(me, std::string("Exception was ") + e.what());
        rebuild_failed_tables_->Add(name);
        CloseQuietly(target);
        LogLine(me, "Attempting to empty this table");
        try {
          target.DataSetOpen();
          target.DataSetEmptyTable();
        } catch (const std::exception& e2) {
          LogLine(me, std::string("Exception attempting to empty this table ") + e2.what());
        }
      }
      CloseQuietly(target);
      CloseQuietly(from);
    } catch (const std::exception& e) {
      LogLine(me, std::string("Now closing tables causing exception of ") + e.what());
      CloseQuietly(target);
      CloseQuietly(from);
      throw;
    }
  }
  source.Close();
}

void TTavDataBase::CopyDatabase(const std::string& target, bool overwrite) {
  const char* caller = "TTavDataBase.CopyDatabase";
  const std::string source = directory_ + data_base_name_;
  if (target == source) TavDatabaseError(kFileCopyFailed, caller, source, this);
  if (!os::FileExists(source)) TavDatabaseError(kFileNotFound, caller, source, this);
  if (os::FileExists(target) && !overwrite)
    TavDatabaseError(kCopyTargetExists, caller, target, this);
  if (!connected_ || !exclusive_ || !disk_mgr_ || !disk_mgr_->IsOpen()) {
    // What this connection's cache holds goes to the file first.
    if (connected_ && disk_mgr_ && disk_mgr_->IsOpen()) disk_mgr_->ForceToDisk();
    if (!DoCopyFile(source, target, overwrite))
      TavDatabaseError(kFileCopyFailed, caller, source + "." + GetOSErrorMsg(), this);
  } else {
    disk_mgr_->ForceToDisk();
    disk_mgr_->CopyCurrentFile(target);
  }
  if (!os::FileExists(target)) TavDatabaseError(kFileCopyFailed, caller, target, this);
}

void TTavDataBase::DumpTableDefinitions() {
  if (directory_.empty()) return;
  CheckConnected(false);
  THeaderLockGuard lock(disk_mgr_.get(), true);
  host::TStringList names;
  GetTableNames(names, false);
  TTavDataBase dump(nullptr);
  dump.SetDirectory(directory_);
  dump.SetDataBaseName(host::ChangeFileExt(data_base_name_, ".tvd"));
  dump.SetDefaultSortOrder(default_sort_order_);
  dump.SetLockRetryMaximum(lock_retry_maximum_);
  dump.SetLockRetryInterval(lock_retry_interval_);
  dump.CreateDatabase();
  dump.SetExclusive(true);
  dump.Open();
  for (int i = 0; i < names.Count(); ++i) {
    TTableDef definition(nullptr);
    QueryTableDef(names.Strings(i), false, definition);
    dump.CreateTable(definition);
  }
  dump.Close();
  lock.Done();
}

void TTavDataBase::TransferRecordBuffers(int32_t tableID, int32_t recordSize,
                                         const TTransferRecordEvent& callback) {
  const char* caller = "TTavDataBase.TransferRecordBuffers";
  CheckNotConnected();
  if (recordSize <= 0) TavDatabaseError(kUnexpectedInternalError, caller, "Record size", this);
  TDiskMgr disk;
  disk.SetPageSize(kDiskPageSize);
  disk.SetFileName(directory_ + data_base_name_);
  disk.SetOpenFlags(static_cast<uint16_t>(fmOpenRead | fmShareExclusive));
  disk.SetLockRetryCount(lock_retry_maximum_);
  disk.SetLockRetryInterval(static_cast<uint32_t>(lock_retry_interval_));
  disk.Open();
  disk.SetCryptKey(master_key_);
  disk.SetTableLock(0, kTableReadLock);
  struct TRelease {
    TDiskMgr& Disk;
    ~TRelease() {
      try {
        Disk.ReleaseTableLock(0);
        Disk.Close();
      } catch (...) {
        // The first failure is the one reported.
      }
    }
  } release{disk};
  TDiskIOInterface io;
  io.SetDiskMgr(&disk);
  io.SetTableID(static_cast<uint16_t>(tableID));
  io.SetUsage(kUsageRecord);
  io.SetBlockSize(static_cast<uint32_t>(recordSize));
  io.Open();
  host::TList blocks;
  io.ListBlocks(blocks);
  std::vector<uint8_t> buffer(static_cast<size_t>(recordSize));
  bool proceed = true;
  for (int i = 0; i < blocks.Count() && proceed; ++i) {
    const auto address = static_cast<uint32_t>(blocks.Items(i));
    io.ReadBlock(address, static_cast<uint32_t>(recordSize), buffer.data());
    callback(buffer.data(), blocks.Count(), address, proceed);
  }
  io.Close();
}

}  // namespace tav
