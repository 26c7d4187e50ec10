#include "engine/components/tav_database.h"

#include "engine/components/tav_data_set.h"

#include "engine/storage/base/tav_errors.h"
#include "engine/storage/base/tav_logger.h"
#include "host/db/data_set.h"
#include "host/rtl/string_list.h"
#include "os/clock.h"
#include "os/sys_info.h"

namespace tav {

TTavDataBase::TTavDataBase(host::TComponent* owner)
    : host::TCustomConnection(owner), memory_mgr_(std::make_unique<TMemoryTableDefMgr>()) {}

TTavDataBase::~TTavDataBase() {
  try {
    SetConnected(false);
  } catch (...) {
    // A destructor cannot report; the memory tables go with the manager.
  }
}

void TTavDataBase::CheckNotConnected() const {
  if (connected_) TavDatabaseError(10120, "TTavDataBase.CheckNotConnected", "", this);
}

void TTavDataBase::CheckConnected(bool allowMemory) const {
  if (!connected_) TavDatabaseError(10113, "TTavDataBase.CheckConnected", "", this);
  if (!allowMemory && IsMemory()) TavDatabaseError(10880, "TTavDataBase.CheckConnected", "", this);
}

void TTavDataBase::SetExclusive(bool value) {
  CheckNotConnected();
  exclusive_ = value;
}

void TTavDataBase::SetReadOnly(bool value) {
  CheckNotConnected();
  read_only_ = value;
}

void TTavDataBase::SetDirectory(const std::string& value) {
  CheckNotConnected();
  directory_ = value;
  if (!directory_.empty() && directory_.back() != '/') directory_ += '/';
}

void TTavDataBase::SetDataBaseName(const std::string& value) {
  CheckNotConnected();
  const size_t slash = value.rfind('/');
  if (slash == std::string::npos) {
    data_base_name_ = value;
    return;
  }
  SetDirectory(value.substr(0, slash + 1));
  data_base_name_ = value.substr(slash + 1);
}

void TTavDataBase::SetDefaultSortOrder(TSortOrder value) {
  CheckNotConnected();
  default_sort_order_ = value;
}

void TTavDataBase::DoConnect() {
  if (connected_) return;
  if (IsMemory()) {
    memory_mgr_->Open();
    privilege_flags_ = kAllPrivileges;
    connected_ = true;
    return;
  }
  if (data_base_name_.empty()) TavDatabaseError(10118, "TTavDataBase.DoConnect", directory_ + data_base_name_, this);
  // Disk databases are opened by the disk connection.
  TavDatabaseError(10880, "TTavDataBase.DoConnect", directory_ + data_base_name_, this);
}

void TTavDataBase::CloseDataSets() {
  for (int i = 0; i < DataSetCount(); ++i) {
    try {
      host::TDataSet* ds = DataSets(i);
      ds->Close();
      // The cursor gives its table back before the tables go.
      if (auto* cursor = dynamic_cast<TTavDataSet*>(ds)) cursor->DataSetClose();
    } catch (...) {
      // One dataset that cannot close does not keep the others open.
    }
  }
}

void TTavDataBase::DoDisconnect() {
  if (!connected_) return;
  CloseDataSets();
  memory_mgr_->Close();
  privilege_flags_ = 0;
  connected_ = false;
}

void TTavDataBase::CreateTable(TTableDef& definition) {
  const char* caller = "TTavDataBase.CreateTable";
  CheckConnected(definition.Memory());
  const std::string& name = definition.TableName();
  if (name.empty() || name.size() > 40)
    TavDatabaseErrorFmt(10039, caller, "%s is not a valid value (min. length %d, max. length %d)",
                        {name, 1, 40}, this);
  if (!definition.Memory()) TavDatabaseError(10880, caller, name, this);
  const double now = os::Now();
  definition.SetVersion(kTavEngineVersion);
  definition.SetOS(GetOSDetails());
  definition.SetCreationDate(now);
  if (definition.CreatedBy().empty()) definition.SetCreatedBy(os::GetUserName());
  definition.SetLastModDate(now);
  memory_mgr_->CreateTableDef(name, definition);
}

void TTavDataBase::OpenTable(const std::string& tableName, TTableDef& definition) {
  const char* caller = "TTavDataBase.OpenTable";
  CheckConnected(definition.Memory());
  if (!definition.Memory()) TavDatabaseError(10880, caller, tableName, this);
  if (memory_mgr_->IndexOfTableName(tableName) < 0) TavDatabaseError(10024, caller, tableName, this);
  memory_mgr_->OpenTableDefConnection(tableName, definition);
  definition.SetPrivilegeFlags(kAllPrivileges);
  TInternalFields& fields = definition.InternalFields();
  for (int i = 0; i < fields.Count(); ++i) fields.Items(i)->SetPrivilegeFlags(kAllPrivileges);
}

void TTavDataBase::CloseTable(TTableDef& definition) {
  if (definition.TableID() == 0) return;
  if (definition.Memory()) memory_mgr_->CloseTableDefConnection(definition.TableID());
  definition.SetTableHeader(nullptr);
}

void TTavDataBase::DeleteTable(const std::string& tableName, bool memory) {
  const char* caller = "TTavDataBase.DeleteTable";
  CheckConnected(memory);
  if (!memory) TavDatabaseError(10880, caller, tableName, this);
  if (memory_mgr_->IndexOfTableName(tableName) < 0) TavDatabaseError(10024, caller, tableName, this);
  if (memory_mgr_->CheckTableUserCount(tableName) > 0)
    TavDatabaseErrorFmt(10053, caller, "The table %s is in use", {tableName}, this);
  TTableDef definition(nullptr);
  definition.SetMemory(true);
  memory_mgr_->OpenTableDefConnection(tableName, definition);
  memory_mgr_->DeleteTableDef(tableName, definition);
}

void TTavDataBase::GetTableNames(host::TStrings& list, bool memory) {
  CheckConnected(true);
  if (memory) memory_mgr_->GetCurrentTableNames(list);
}

bool TTavDataBase::LockTable(const TTableDef&, int) { return false; }
bool TTavDataBase::UnLockTable(const TTableDef&) { return false; }
bool TTavDataBase::TableLockExists(const TTableDef&, int) { return false; }
bool TTavDataBase::LockRecord(const TTableDef&, uint32_t) { return false; }
bool TTavDataBase::UnLockRecord(const TTableDef&, uint32_t) { return false; }
bool TTavDataBase::RecordLockExists(const TTableDef&, uint32_t) { return false; }

}  // namespace tav
