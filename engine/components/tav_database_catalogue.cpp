// TTavDataBase's catalogue: the master tables that keep every table's stored
// definition, the object-ID table, the generators, and creating, reading,
// opening and closing table definitions through them.
#include <cstring>
#include <optional>

#include "engine/components/security_manager.h"
#include "engine/components/tav_catalogue.h"
#include "engine/components/tav_data_set.h"
#include "engine/components/tav_database.h"
#include "engine/storage/base/tav_errors.h"
#include "engine/storage/base/tav_logger.h"
#include "engine/storage/table/restructure_defs.h"
#include "engine/storage/table/table_def_text.h"
#include "host/classes/prop_table.h"
#include "host/db/index_defs.h"
#include "host/rtl/string_list.h"
#include "host/rtl/sys_utils.h"
#include "os/clock.h"

namespace tav {

namespace {

constexpr char kLengthText[] = "%s is not a valid value (min. length %d, max. length %d)";
constexpr char kMasterIndexName[] = "";
constexpr int32_t kMasterBlobBlockSize = 1024;
constexpr int kTableNameMaxLength = 40;
constexpr int kGeneratorNameMaxLength = 20;

bool IsInternalName(const std::string& name) { return !name.empty() && name[0] == '$'; }

// A table layout as the catalogue defines its own tables.
struct TLayoutField {
  const char* Name;
  host::TFieldType Type;
  int Size;
};
struct TLayoutIndex {
  const char* Name;
  const char* Fields;
  bool Unique;
};

// A scratch dataset bound to the database turns field and index lists into
// a table definition, as a user's dataset would.
class TLayoutBuilder {
 public:
  explicit TLayoutBuilder(TTavDataBase& db) : ds_(nullptr) {
    // An internal definition keeps the scratch dataset off the database's
    // dataset list.
    ds_.TableDef().SetInternalTable(true);
    ds_.SetDataBase(&db);
  }
  ~TLayoutBuilder() { ds_.SetDataBase(nullptr); }
  TLayoutBuilder(const TLayoutBuilder&) = delete;
  TLayoutBuilder& operator=(const TLayoutBuilder&) = delete;

  TTableDef& Build(const std::string& name, TEncryptionLevel level, int32_t blobBlockSize,
                   std::initializer_list<TLayoutField> fields,
                   std::initializer_list<TLayoutIndex> indexes, bool primary) {
    TRestructureFieldDefs fieldDefs;
    TRestructureIndexDefs indexDefs;
    for (const TLayoutField& f : fields) fieldDefs.AddAndSetFieldDef(f.Name, f.Type, f.Size);
    for (const TLayoutIndex& i : indexes) {
      host::TIndexOptions options{host::ixCaseInsensitive};
      if (i.Unique) options.Include(host::ixUnique);
      if (primary) options.Include(host::ixPrimary);
      indexDefs.AddAndSetIndexDef(i.Name, i.Fields, options);
    }
    ds_.SetTableName(name);
    ds_.SetEncryptionLevel(level);
    ds_.SetBlobBlockSize(blobBlockSize);
    ds_.SetTableDefFromRSDefs(false, fieldDefs, indexDefs);
    TTableDef& def = ds_.TableDef();
    def.SetInternalTable(true);
    return def;
  }

 private:
  TTavDataSet ds_;
};

void CheckTableNameLength(const std::string& name, const char* caller, const host::TObject* sender) {
  if (name.empty() || static_cast<int>(name.size()) > kTableNameMaxLength)
    TavDatabaseErrorFmt(kInvalidTableName, caller, kLengthText, {name, 1, kTableNameMaxLength},
                        sender);
}

}  // namespace

// ---------------------------------------------------------------------------
// Layouts

void TTavDataBase::SetMasterTableDef(TTableDef& definition) {
  TLayoutBuilder builder(*this);
  TTableDef& def = builder.Build(definition.TableName().empty() ? kMasterUserTableName : definition.TableName(),
                                 use_encryption_ ? encStrong : encNone, kMasterBlobBlockSize,
                                 {{"AutoID", host::ftAutoInc, 0},
                                  {"Name", host::ftString, kTableNameMaxLength},
                                  {"TableDef", host::ftBlob, 0}},
                                 {{kMasterIndexName, "Name", true}}, true);
  definition.Clear();
  definition.Assign(def);
  definition.SetOwnerFlag(0);
  definition.SetInternalTable(true);
}

void TTavDataBase::CreateMasterTables() {
  const char* caller = "TTavDataBase.CreateMasterTables";
  if (!locked_)
    TavDatabaseError(kUnexpectedInternalError, caller,
                     "Database header not locked prior to system change", this);
  for (const auto& [name, id] : {std::pair{kMasterUserTableName, kMasterUserTableID},
                                 std::pair{kMasterSystemTableName, kMasterSystemTableID}}) {
    TTableDef def(nullptr);
    def.SetTableName(name);
    SetMasterTableDef(def);
    def.SetTableName(name);
    system_table_mgr_->CreateTableDef(name, def);
    // The connect finds the master tables by these ids.
    TAV_ASSERT(def.TableID() == id, "Master table id out of place");
  }
}

void TTavDataBase::CreateSystemTables() {
  const char* caller = "TTavDataBase.CreateSystemTables";
  if (!locked_)
    TavDatabaseError(kUnexpectedInternalError, caller,
                     "Database header not locked prior to system change", this);
  TLayoutBuilder builder(*this);
  InternalCreateTable(builder.Build(kObjectIDTableName, use_encryption_ ? encStrong : encNone,
                                    kDefaultTableBlobSize,
                                    {{"ObjectID", host::ftInteger, 0},
                                     {"ObjectName", host::ftString, kTableNameMaxLength}},
                                    {{"ixObjectID", "ObjectID", true},
                                     {"ixObjectName", "ObjectName", true}},
                                    false));
  InternalCreateTable(builder.Build(kGeneratorTableName, encNone, kDefaultTableBlobSize,
                                    {{"GeneratorName", host::ftString, kGeneratorNameMaxLength},
                                     {"GeneratorValue", host::ftInteger, 0},
                                     {"GeneratorStep", host::ftInteger, 0},
                                     {"GeneratorResetValue", host::ftInteger, 0}},
                                    {{"ixGenName", "GeneratorName", true}}, false));
}

void TTavDataBase::CreateSecurityTables() {
  const char* caller = "TTavDataBase.CreateSecurityTables";
  if (!locked_)
    TavDatabaseError(kUnexpectedInternalError, caller,
                     "Database header not locked prior to system change", this);
  // Names and password digests never stand in clear in the file.
  TLayoutBuilder builder(*this);
  InternalCreateTable(builder.Build(kSecGroupsTableName, encStrong, kDefaultTableBlobSize,
                                    {{"GroupID", host::ftAutoInc, 0},
                                     {"GroupName", host::ftString, kSecurityNameMaxLength}},
                                    {{"ixGroupName", "GroupName", true}, {"ixGroupID", "GroupID", true}},
                                    false));
  InternalCreateTable(builder.Build(kSecUsersTableName, encStrong, kDefaultTableBlobSize,
                                    {{"UserID", host::ftAutoInc, 0},
                                     {"UserName", host::ftString, kSecurityNameMaxLength},
                                     {"Pwd0", host::ftInteger, 0},
                                     {"Pwd1", host::ftInteger, 0},
                                     {"Pwd2", host::ftInteger, 0},
                                     {"Pwd3", host::ftInteger, 0},
                                     {"Pwd4", host::ftInteger, 0},
                                     {"GroupID", host::ftInteger, 0},
                                     {"DateCreated", host::ftDateTime, 0},
                                     {"DateLastModified", host::ftDateTime, 0},
                                     {"DateLastPWordChange", host::ftDateTime, 0}},
                                    {{"ixUserName", "UserName", true},
                                     {"ixGroupUsers", "GroupID;UserName", false},
                                     {"ixPasswordAge", "DateLastPWordChange", false}},
                                    false));
  InternalCreateTable(builder.Build(kSecObjPrivTableName, encStrong, kDefaultTableBlobSize,
                                    {{"GroupID", host::ftInteger, 0},
                                     {"ObjectType", host::ftInteger, 0},
                                     {"ObjectID", host::ftInteger, 0},
                                     {"PrivilegeID", host::ftInteger, 0},
                                     {"ALL", host::ftBoolean, 0},
                                     {"FieldsShort", host::ftString, 100},
                                     {"FieldsLong", host::ftMemo, 0},
                                     {"GrantOption", host::ftBoolean, 0}},
                                    {{"ixGroupPriv", "GroupID;ObjectType;ObjectID;PrivilegeID", true}},
                                    false));
  InternalCreateTable(builder.Build(kSecSysPrivTableName, encStrong, kDefaultTableBlobSize,
                                    {{"GroupID", host::ftInteger, 0},
                                     {"PrivilegeID", host::ftInteger, 0},
                                     {"GrantOption", host::ftBoolean, 0}},
                                    {{"ixGroupPriv", "GroupID;PrivilegeID", true}}, false));
}

// ---------------------------------------------------------------------------
// Routing

TCatalogueTable& TTavDataBase::GetMasterTable(const TTableDef& definition) {
  if (!definition.InternalTable()) {
    TAV_ASSERT(master_user_table_ != nullptr, "Master user table not open");
    return *master_user_table_;
  }
  // Files of minor version 1 and below keep no system tables of their own.
  if (!master_system_table_) CheckMinorVersion(2);
  TAV_ASSERT(master_system_table_ != nullptr, "Master system table not open");
  return *master_system_table_;
}

TDiskTableDefMgr& TTavDataBase::GetTableDefMgr(const TTableDef& definition) {
  return definition.InternalTable() ? *system_table_mgr_ : *user_table_mgr_;
}

std::unique_ptr<TCatalogueTable> TTavDataBase::OpenCatalogueTable(const std::string& name) {
  TTableDef def(nullptr);
  def.SetInternalTable(true);
  InternalGetTableDef(name, def);
  def.SetInternalTable(true);
  return std::make_unique<TCatalogueTable>(*system_table_mgr_, disk_mgr_.get(), def);
}

void TTavDataBase::SetAllPrivileges(TTableDef& definition) const {
  definition.SetPrivilegeFlags(kAllPrivileges);
  TInternalFields& fields = definition.InternalFields();
  for (int i = 0; i < fields.Count(); ++i) fields.Items(i)->SetPrivilegeFlags(kAllPrivileges);
}

// ---------------------------------------------------------------------------
// Creating tables

void TTavDataBase::InternalCreateTable(TTableDef& definition) {
  const char* caller = "TTavDataBase.InternalCreateTable";
  CheckTableNameLength(definition.TableName(), caller, this);
  const double now = os::Now();
  definition.SetVersion(kTavEngineVersion);
  definition.SetOS(GetOSDetails());
  definition.SetCreationDate(now);
  if (definition.CreatedBy().empty()) definition.SetCreatedBy(GetCurrentUser());
  definition.SetLastModDate(now);
  if (definition.Memory())
    memory_mgr_->CreateTableDef(definition.TableName(), definition);
  else
    InternalUpdateTableDef(definition.TableName(), definition, true);
}

void TTavDataBase::CreateTable(TTableDef& definition, bool /*dump*/) {
  CheckConnected(definition.Memory());
  if (!definition.InternalTable() &&
      !QueryObjectPrivilegeExists(doTable, "ALL", MapObjectPrivTypeToConst(opCreateObj)))
    TavDatabaseError(kPrivilegeRequired, "TTavDataBase.CreateTable", definition.TableName(), this);
  if (definition.Memory()) {
    InternalCreateTable(definition);
    return;
  }
  THeaderLockGuard lock(disk_mgr_.get(), true);
  InternalCreateTable(definition);
  lock.Done();
}

void TTavDataBase::CreateWorkTable(TTableDef& definition) {
  TAV_ASSERT(definition.Memory(), "A work table must be a memory table");
  CheckConnected(true);
  InternalCreateTable(definition);
}

void TTavDataBase::InternalUpdateTableDef(const std::string& newName, TTableDef& definition,
                                          bool isNew) {
  const char* caller = "TTavDataBase.InternalUpdateTableDef";
  ++schema_changes_;
  THeaderLockGuard lock(disk_mgr_.get(), true);
  CheckTableNameLength(definition.TableName(), caller, this);
  CheckTableNameLength(newName, caller, this);
  if (definition.Memory()) TavDatabaseError(kCannotOperateOnThisTableType, caller, "", this);
  const bool renaming = !host::AnsiSameText(newName, definition.TableName());
  TCatalogueTable& master = GetMasterTable(definition);
  if (renaming && !isNew && master.FindKey(kMasterIndexName, newName))
    TavDatabaseError(kTableAlreadyExists, caller, newName, this);

  const std::string oldName = definition.TableName();
  std::vector<uint8_t> rec;
  const uint32_t address = master.FindKey(kMasterIndexName, oldName, &rec);
  int32_t objectId = 0;
  TDiskTableDefMgr& mgr = GetTableDefMgr(definition);
  bool created = false;
  try {
    if (isNew) {
      if (address) TavDatabaseError(kTableAlreadyExists, caller, oldName, this);
      mgr.CreateTableDef(oldName, definition);
      created = true;
      if (minor_version_ > 1 && object_id_table_)
        objectId = NextGeneratorValue(kObjectIDGeneratorName, true);
      rec = master.NewRecord();
      master.SetString(rec, "Name", oldName);
    } else {
      if (!address) TavDatabaseError(kNoSuchTable, caller, oldName, this);
      if (renaming) {
        definition.SetTableName(newName);
        master.SetString(rec, "Name", newName);
      }
    }
    const std::map<std::string, std::string> text{{"TableDef", TableDefToText(definition)}};
    if (isNew)
      master.Insert(rec, text);
    else
      master.Update(address, rec, text);
    if (minor_version_ >= 2 && object_id_table_ && (isNew || renaming)) {
      std::vector<uint8_t> entry;
      const uint32_t at = object_id_table_->FindKey("ixObjectName", oldName, &entry);
      if (!at) {
        entry = object_id_table_->NewRecord();
        object_id_table_->SetInteger(entry, "ObjectID", objectId);
        object_id_table_->SetString(entry, "ObjectName", definition.TableName());
        object_id_table_->Insert(entry);
      } else {
        object_id_table_->SetString(entry, "ObjectName", definition.TableName());
        object_id_table_->Update(at, entry);
      }
    }
  } catch (...) {
    // A table the catalogue does not list would hold its id and pages for
    // ever: a new one goes again when its entry could not be written.
    if (created) {
      try {
        const uint32_t stored = master.FindKey(kMasterIndexName, oldName);
        if (stored) master.Delete(stored);
        mgr.DeleteTableDef(oldName, definition);
      } catch (...) {
        // The first failure is the one to report.
      }
    }
    if (renaming && !isNew) definition.SetTableName(oldName);
    throw;
  }
  lock.Done();
}

// ---------------------------------------------------------------------------
// Reading and opening

void TTavDataBase::InternalGetTableDef(const std::string& name, TTableDef& definition) {
  const char* caller = "TTavDataBase.InternalGetTableDef";
  if (definition.Memory()) {
    if (memory_mgr_->IndexOfTableName(name) < 0) TavDatabaseError(kNoSuchTable, caller, name, this);
    memory_mgr_->OpenTableDefConnection(name, definition);
    memory_mgr_->CloseTableDefConnection(definition.TableID());
    return;
  }
  if (!definition.InternalTable() && IsInternalName(name)) definition.SetInternalTable(true);
  const bool internal = definition.InternalTable();
  TCatalogueTable& master = GetMasterTable(definition);
  std::vector<uint8_t> rec;
  if (!master.FindKey(kMasterIndexName, name, &rec))
    TavDatabaseError(kNoSuchTable, caller, name, this);
  if (master.IsNull(rec, "TableDef"))
    TavDatabaseError(kUnexpectedInternalError, caller, kTableDefUnreadable, this);
  ReadTableDefText((internal ? "S:" : "U:") + host::AnsiUpperCase(name), master.ReadBlob(rec, "TableDef"),
                   definition);
  // The field list describes records of the table's size, as it did when
  // the definition was stored.
  definition.InternalFields().SetRecordSize(definition.RecordSize());
  // What the text says cannot move a table to another manager or to memory.
  definition.SetInternalTable(internal);
  definition.SetMemory(false);
}

void TTavDataBase::ReadTableDefText(const std::string& key, const std::string& text, TTableDef& definition) {
  // A connection that names many tables in turn keeps no more than these.
  constexpr size_t kMaxReadTableDefs = 64;
  auto kept = read_table_defs_.find(key);
  if (kept == read_table_defs_.end() || kept->second.Text != text) {
    if (kept != read_table_defs_.end()) read_table_defs_.erase(kept);
    auto read = std::make_unique<TTableDef>(nullptr);
    TextToTableDef(text, *read);
    if (read_table_defs_.size() >= kMaxReadTableDefs) read_table_defs_.clear();
    kept = read_table_defs_.emplace(key, TReadTableDef{text, std::move(read)}).first;
  }
  host::CopyPublishedProperties(*kept->second.Definition, definition);
}

void TTavDataBase::QueryTableDef(const std::string& tableName, bool memory, TTableDef& definition) {
  CheckConnected(memory);
  definition.SetMemory(memory);
  if (memory) {
    if (memory_mgr_->IndexOfTableName(tableName) < 0)
      TavDatabaseError(kNoSuchTable, "TTavDataBase.QueryTableDef", tableName, this);
    memory_mgr_->OpenTableDefConnection(tableName, definition);
    return;
  }
  InternalGetTableDef(tableName, definition);
}

void TTavDataBase::OpenTable(const std::string& tableName, TTableDef& definition) {
  const char* caller = "TTavDataBase.OpenTable";
  CheckConnected(definition.Memory());
  if (definition.Memory()) {
    if (memory_mgr_->IndexOfTableName(tableName) < 0)
      TavDatabaseError(kNoSuchTable, caller, tableName, this);
    memory_mgr_->OpenTableDefConnection(tableName, definition);
  } else {
    InternalGetTableDef(tableName, definition);
    const bool secured = NeedSecurity() && !definition.InternalTable();
    if (secured) CheckOpenPrivilege(definition);
    GetTableDefMgr(definition).OpenTableDefConnection(tableName, definition);
    if (secured) {
      SetTablePrivileges(definition);
      return;
    }
  }
  SetAllPrivileges(definition);
}

// The group's privilege of one type on a table: its own entry, or the entry
// for every table when the privileges name the table nowhere.
static const TObjectPrivilege* HeldPrivilege(const TPrivileges& privileges, const std::string& name,
                                             TObjectPrivilegeType type) {
  const TObjectPrivileges& list = privileges.ObjectPrivileges();
  if (list.CheckForNamedObjectPrivileges(doTable, name)) return list.FindPrivilege(doTable, name, type);
  return list.FindPrivilege(doTable, "ALL", type);
}

void TTavDataBase::CheckOpenPrivilege(const TTableDef& definition) {
  const char* caller = "TTavDataBase.OpenTable";
  const std::string& name = definition.TableName();
  if (GetObjectID(name) == 0) TavDatabaseError(kRequestedObjectCouldNotBeFound, caller, name, this);
  if (!HeldPrivilege(*privileges_, name, opExecuteObj))
    TavDatabaseError(kPrivilegeRequired, caller, name, this);
}

void TTavDataBase::SetTablePrivileges(TTableDef& definition) {
  const std::string& name = definition.TableName();
  if (GetObjectID(name) == 0)
    TavDatabaseError(kRequestedObjectCouldNotBeFound, "TTavDataBase.OpenTable", name, this);
  TInternalFields& fields = definition.InternalFields();
  int32_t tableFlags = 0;
  std::vector<int32_t> fieldFlags(static_cast<size_t>(fields.Count()), 0);
  for (int t = opCreateObj; t <= opUpdateData; ++t) {
    const TObjectPrivilege* held = HeldPrivilege(*privileges_, name, static_cast<TObjectPrivilegeType>(t));
    if (!held) continue;
    const int32_t constant = MapObjectPrivTypeToConst(static_cast<TObjectPrivilegeType>(t));
    tableFlags |= constant;
    const bool every = held->Fields() == "ALL";
    host::TStringList named;
    if (!every) named.SetCommaText(host::AnsiUpperCase(held->Fields()));
    for (int i = 0; i < fields.Count(); ++i)
      if (every || named.IndexOf(host::AnsiUpperCase(fields.Items(i)->FieldName())) >= 0)
        fieldFlags[static_cast<size_t>(i)] |= constant;
  }
  definition.SetPrivilegeFlags(tableFlags);
  for (int i = 0; i < fields.Count(); ++i) fields.Items(i)->SetPrivilegeFlags(fieldFlags[static_cast<size_t>(i)]);
}

bool TTavDataBase::QueryObjectPrivilegeExists(TDatabaseObjectType type, const std::string& name,
                                              int32_t constant) {
  if (!connected_ || !NeedSecurity()) return true;
  const char* caller = "TTavDataBase.QueryObjectPrivilegeExists";
  if (type != doTable || (name != "ALL" && GetObjectID(name) == 0))
    TavDatabaseError(kRequestedObjectCouldNotBeFound, caller, name, this);
  return HeldPrivilege(*privileges_, name, MapObjectPrivConstToType(constant)) != nullptr;
}

void TTavDataBase::CloseTable(TTableDef& definition) {
  if (definition.TableID() == 0) return;
  if (definition.Memory())
    memory_mgr_->CloseTableDefConnection(definition.TableID());
  else if (system_table_mgr_)
    GetTableDefMgr(definition).CloseTableDefConnection(definition.TableID());
  definition.SetTableHeader(nullptr);
}

void TTavDataBase::DeleteTable(const std::string& tableName, bool memory) {
  const char* caller = "TTavDataBase.DeleteTable";
  CheckConnected(memory);
  if (!memory) {
    ++schema_changes_;
    DeleteDiskTable(tableName);
    return;
  }
  if (memory_mgr_->IndexOfTableName(tableName) < 0)
    TavDatabaseError(kNoSuchTable, caller, tableName, this);
  if (memory_mgr_->CheckTableUserCount(tableName) > 0)
    TavDatabaseErrorFmt(kInvalidTableDeleteRequest, caller, "The table %s is in use", {tableName},
                        this);
  TTableDef definition(nullptr);
  definition.SetMemory(true);
  memory_mgr_->OpenTableDefConnection(tableName, definition);
  memory_mgr_->DeleteTableDef(tableName, definition);
}

void TTavDataBase::DeleteDiskTable(const std::string& tableName) {
  const char* caller = "TTavDataBase.DeleteTable";
  CheckExclusive();
  CheckTableObjectPrivilege(tableName, opDeleteObj, caller);
  TTableDef definition(nullptr);
  InternalGetTableDef(tableName, definition);
  THeaderLockGuard lock(disk_mgr_.get(), true);
  TDiskTableDefMgr& mgr = GetTableDefMgr(definition);
  if (mgr.CheckTableUserCount(tableName) > 0)
    TavDatabaseErrorFmt(kInvalidTableDeleteRequest, caller, "The table %s is in use", {tableName},
                        this);
  TCatalogueTable& master = GetMasterTable(definition);
  // Looked for before anything goes, so that a damaged catalogue refuses
  // the delete instead of leaving a half-deleted table.
  const uint32_t entry = master.FindKey(kMasterIndexName, tableName);
  if (!entry)
    TavDatabaseError(kUnexpectedInternalError, caller,
                     "Unable to delete internal table definition: " + tableName, this);
  mgr.DeleteTableDef(tableName, definition);
  master.Delete(entry);
  if (minor_version_ > 1 && object_id_table_) {
    const uint32_t at = object_id_table_->FindKey("ixObjectName", tableName);
    if (at) object_id_table_->Delete(at);
  }
  lock.Done();
}

void TTavDataBase::RenameTable(const std::string& oldName, const std::string& newName) {
  const char* caller = "TTavDataBase.RenameTable";
  CheckConnected(false);
  CheckExclusive();
  CheckTableObjectPrivilege(oldName, opAlterObj, caller);
  // A database that enforces security requires the table's object ID here.
  TTableDef definition(nullptr);
  InternalGetTableDef(oldName, definition);
  definition.SetLastModDate(os::Now());
  if (definition.Memory()) TavDatabaseError(kCannotOperateOnThisTableType, caller, "", this);
  if (GetTableDefMgr(definition).CheckTableUserCount(definition.TableName()) > 0)
    TavDatabaseErrorFmt(kInvalidTableRenameRequest, caller, "The table %s is in use", {oldName},
                        this);
  InternalUpdateTableDef(newName, definition, false);
}

void TTavDataBase::GetTableNames(host::TStrings& list, bool memory) {
  CheckConnected(true);
  if (memory) {
    memory_mgr_->GetCurrentTableNames(list);
    return;
  }
  if (IsMemory() || !master_user_table_) return;
  for (uint32_t address : master_user_table_->Walk(kMasterIndexName))
    list.Add(master_user_table_->GetString(master_user_table_->Read(address), "Name"));
}

void TTavDataBase::GetSystemTableNames(host::TStrings& list) {
  CheckConnected(false);
  CheckMinorVersion(2);
  if (!master_system_table_) return;
  for (uint32_t address : master_system_table_->Walk(kMasterIndexName))
    list.Add(master_system_table_->GetString(master_system_table_->Read(address), "Name"));
}

int32_t TTavDataBase::GetObjectID(const std::string& name) {
  if (name == "ALL" || !object_id_table_) return 0;
  std::vector<uint8_t> rec;
  if (!object_id_table_->FindKey("ixObjectName", name, &rec)) return 0;
  return object_id_table_->GetInteger(rec, "ObjectID");
}

// ---------------------------------------------------------------------------
// Generators

TCatalogueTable& TTavDataBase::GeneratorTable(const char* caller) {
  CheckConnected(false);
  CheckMinorVersion(2);
  if (!generator_table_)
    TavDatabaseError(kRequestedObjectCouldNotBeFound, caller, kGeneratorTableName, this);
  return *generator_table_;
}


int32_t TTavDataBase::NextGeneratorValue(const std::string& name, bool create) {
  const char* caller = "TTavDataBase.NextGeneratorValue";
  TCatalogueTable& gen = GeneratorTable(caller);
  TTableLockHold lock(disk_mgr_.get(), gen.TableID(), kTableWriteLock);
  std::vector<uint8_t> rec;
  const uint32_t address = gen.FindKey("ixGenName", name, &rec);
  if (address) {
    const int32_t value = gen.GetInteger(rec, "GeneratorValue");
    gen.SetInteger(rec, "GeneratorValue", value + gen.GetInteger(rec, "GeneratorStep"));
    gen.Update(address, rec);
    return value;
  }
  if (!create) TavDatabaseError(kRequestedObjectCouldNotBeFound, caller, name, this);
  rec = gen.NewRecord();
  gen.SetString(rec, "GeneratorName", name);
  gen.SetInteger(rec, "GeneratorValue", 2);
  gen.SetInteger(rec, "GeneratorStep", 1);
  gen.SetInteger(rec, "GeneratorResetValue", 1);
  gen.Insert(rec);
  return 1;
}

void TTavDataBase::CreateGenerator(const std::string& name, int32_t value, int32_t step) {
  const char* caller = "TTavDataBase.CreateGenerator";
  TCatalogueTable& gen = GeneratorTable(caller);
  TTableLockHold lock(disk_mgr_.get(), gen.TableID(), kTableWriteLock);
  if (gen.FindKey("ixGenName", name))
    TavDatabaseError(kRequestedObjectAlreadyExists, caller, name, this);
  if (static_cast<int>(name.size()) > kGeneratorNameMaxLength)
    TavDatabaseErrorFmt(kObjectNameIsOutOfRange, caller, kLengthText,
                        {name, 1, kGeneratorNameMaxLength}, this);
  if (name.empty() || IsInternalName(name))
    TavDatabaseErrorFmt(
        kGeneratorNameIsInvalid, caller,
        "'%s' is not a valid generator name (min. length 1, '$' is a reserved first character",
        {name}, this);
  std::vector<uint8_t> rec = gen.NewRecord();
  gen.SetString(rec, "GeneratorName", name);
  gen.SetInteger(rec, "GeneratorValue", value);
  gen.SetInteger(rec, "GeneratorResetValue", value);
  gen.SetInteger(rec, "GeneratorStep", step);
  gen.Insert(rec);
}

void TTavDataBase::DeleteGenerator(const std::string& name) {
  TCatalogueTable& gen = GeneratorTable("TTavDataBase.DeleteGenerator");
  TTableLockHold lock(disk_mgr_.get(), gen.TableID(), kTableWriteLock);
  if (const uint32_t address = gen.FindKey("ixGenName", name)) gen.Delete(address);
}

int32_t TTavDataBase::GetGeneratorValue(const std::string& name, bool readOnly) {
  const char* caller = "TTavDataBase.GetGeneratorValue";
  TCatalogueTable& gen = GeneratorTable(caller);
  std::optional<TTableLockHold> lock;
  if (!readOnly) lock.emplace(disk_mgr_.get(), gen.TableID(), kTableWriteLock);
  std::vector<uint8_t> rec;
  const uint32_t address = gen.FindKey("ixGenName", name, &rec);
  if (!address) TavDatabaseError(kRequestedObjectCouldNotBeFound, caller, name, this);
  const int32_t value = gen.GetInteger(rec, "GeneratorValue");
  if (!readOnly) {
    gen.SetInteger(rec, "GeneratorValue", value + gen.GetInteger(rec, "GeneratorStep"));
    gen.Update(address, rec);
  }
  return value;
}

void TTavDataBase::GetGeneratorNames(host::TStrings& list) {
  TCatalogueTable& gen = GeneratorTable("TTavDataBase.GetGeneratorNames");
  list.Clear();
  for (uint32_t address : gen.Walk("ixGenName")) {
    const std::string name = gen.GetString(gen.Read(address), "GeneratorName");
    if (!IsInternalName(name)) list.Add(name);
  }
}

bool TTavDataBase::QueryGenerator(const std::string& name, int32_t& value, int32_t& step) {
  TCatalogueTable& gen = GeneratorTable("TTavDataBase.QueryGenerator");
  std::vector<uint8_t> rec;
  if (!gen.FindKey("ixGenName", name, &rec)) return false;
  value = gen.GetInteger(rec, "GeneratorValue");
  step = gen.GetInteger(rec, "GeneratorStep");
  return true;
}

}  // namespace tav
