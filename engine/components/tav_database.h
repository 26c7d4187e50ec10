// TTavDataBase: the connection component datasets reach the storage layer
// through. This part serves the in-memory database "MEMORY": connecting
// opens a memory table-definition manager, and memory tables are created,
// opened, closed, deleted and listed through it. Disk databases come with
// their own connection work.
//
// Callers must keep:
//  - Properties that shape the connection (DataBaseName, Directory,
//    ReadOnly, Exclusive, DefaultSortOrder) are set while disconnected
//    (10120 otherwise).
//  - A table opened with OpenTable is closed with CloseTable by the same
//    definition before the table is deleted or the connection closes.
//  - Datasets register as clients; disconnecting closes them first.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "engine/storage/base/tav_compare.h"
#include "engine/storage/table/table_def.h"
#include "engine/storage/table/table_def_mgr.h"
#include "host/db/connection.h"

namespace host {
class TStrings;
}

namespace tav {

// The name of the in-memory database.
inline constexpr char kMemoryDataBaseName[] = "MEMORY";
// The engine's version text, stored with every database and table.
inline constexpr char kTavEngineVersion[] = "1.41.02";
// Every privilege: the in-memory database's and its tables'.
inline constexpr int32_t kAllPrivileges = 0x7FFFFFFF;

// Table lock kinds.
inline constexpr int kTableReadLock = 1;
inline constexpr int kTableWriteLock = 4;

// Progress of a long table operation in percent; setting abort stops it.
using TUpdateProgressEvent = std::function<void(int percent, bool& abort)>;

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
  void SetLockRetryMaximum(int32_t value) { lock_retry_maximum_ = value; }
  int32_t LockRetryInterval() const { return lock_retry_interval_; }
  void SetLockRetryInterval(int32_t value) { lock_retry_interval_ = value; }
  int32_t DataBasePrivileges() const { return privilege_flags_; }
  const TUpdateProgressEvent& OnUpdateProgress() const { return on_update_progress_; }
  void SetOnUpdateProgress(TUpdateProgressEvent value) { on_update_progress_ = std::move(value); }
  bool QueryActive() const { return query_active_; }
  void SetQueryActive(bool value) { query_active_ = value; }
  bool IsMemory() const { return data_base_name_ == kMemoryDataBaseName; }

  // ---- checks ----
  // 10113 when not connected; 10880 on "MEMORY" unless allowMemory.
  void CheckConnected(bool allowMemory) const;
  // 10120 when connected.
  void CheckNotConnected() const;

  // ---- tables ----
  // Version, system, dates and creator filled in; the memory manager makes
  // the table. 10039 for a name of other than 1 to 40 characters; 10880 for
  // a disk definition.
  void CreateTable(TTableDef& definition);
  // Fills `definition` (its Memory flag set by the caller) from the table's
  // master and gives it every privilege. 10024 for an unknown table.
  void OpenTable(const std::string& tableName, TTableDef& definition);
  void CloseTable(TTableDef& definition);
  // 10053 while a dataset of this connection or any other user has the
  // table open.
  void DeleteTable(const std::string& tableName, bool memory);
  // Appends the memory tables' names (nothing for memory = false here).
  void GetTableNames(host::TStrings& list, bool memory);

  // ---- locks (memory tables take none: each answers False) ----
  bool LockTable(const TTableDef& definition, int lockType);
  bool UnLockTable(const TTableDef& definition);
  bool TableLockExists(const TTableDef& definition, int lockType);
  bool LockRecord(const TTableDef& definition, uint32_t address);
  bool UnLockRecord(const TTableDef& definition, uint32_t address);
  bool RecordLockExists(const TTableDef& definition, uint32_t address);

  TMemoryTableDefMgr& MemoryTableMgr() { return *memory_mgr_; }

  // Closes every dataset of the connection, going on past failures.
  void CloseDataSets();

 protected:
  void DoConnect() override;
  void DoDisconnect() override;
  bool GetConnected() const override { return connected_; }

 private:
  std::unique_ptr<TMemoryTableDefMgr> memory_mgr_;
  TUpdateProgressEvent on_update_progress_;
  int32_t privilege_flags_ = 0;
  std::string data_base_name_;
  std::string directory_;
  bool exclusive_ = false;
  bool connected_ = false;
  TSortOrder default_sort_order_ = soANSI;
  bool read_only_ = false;
  bool query_active_ = false;
  int32_t lock_retry_interval_ = 200;
  int32_t lock_retry_maximum_ = 10;
};

}  // namespace tav
