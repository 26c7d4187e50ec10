#include "engine/components/security_manager.h"

#include <cstring>
#include <map>

#include "engine/components/tav_catalogue.h"
#include "engine/components/tav_database.h"
#include "engine/storage/base/tav_errors.h"
#include "engine/storage/crypto/sha1.h"
#include "engine/storage/lock/lock_mgr.h"
#include "host/rtl/le_bytes.h"
#include "host/rtl/string_list.h"
#include "host/rtl/sys_utils.h"
#include "os/clock.h"

namespace tav {

namespace {

constexpr char kNotActive[] = "The security manager is not active";
constexpr char kLengthText[] = "%s is not a valid value (min. length %d, max. length %d)";
constexpr char kAll[] = "ALL";
constexpr int32_t kFieldsShortSize = 100;
constexpr const char* kPwdFields[5] = {"Pwd0", "Pwd1", "Pwd2", "Pwd3", "Pwd4"};

bool IsAdministratorsName(const std::string& name) {
  return host::AnsiSameText(name, kAdministratorsGroup);
}

// Record images of the security tables: the catalogue table reads and
// writes integers and strings; dates and flags are set here by the layout.
void SetDateTime(const TCatalogueTable& t, std::vector<uint8_t>& rec, const char* name, double value) {
  const TInternalFieldItem& f = t.Field(name);
  rec[static_cast<size_t>(f.NullFlagOffset())] = 1;
  std::memcpy(rec.data() + f.DataOffset(), &value, sizeof value);
}

double GetDateTime(const TCatalogueTable& t, const std::vector<uint8_t>& rec, const char* name) {
  const TInternalFieldItem& f = t.Field(name);
  if (rec[static_cast<size_t>(f.NullFlagOffset())] == 0) return 0.0;
  double value;
  std::memcpy(&value, rec.data() + f.DataOffset(), sizeof value);
  return value;
}

void SetBoolean(const TCatalogueTable& t, std::vector<uint8_t>& rec, const char* name, bool value) {
  const TInternalFieldItem& f = t.Field(name);
  rec[static_cast<size_t>(f.NullFlagOffset())] = 1;
  rec[static_cast<size_t>(f.DataOffset())] = value ? 1 : 0;
}

bool GetBoolean(const TCatalogueTable& t, const std::vector<uint8_t>& rec, const char* name) {
  const TInternalFieldItem& f = t.Field(name);
  return rec[static_cast<size_t>(f.NullFlagOffset())] != 0 &&
         rec[static_cast<size_t>(f.DataOffset())] != 0;
}

void SetNull(const TCatalogueTable& t, std::vector<uint8_t>& rec, const char* name) {
  const TInternalFieldItem& f = t.Field(name);
  rec[static_cast<size_t>(f.NullFlagOffset())] = 0;
}

// The records of a table in the order of one index, read under one read
// lock.
std::vector<std::pair<uint32_t, std::vector<uint8_t>>> ReadAll(TCatalogueTable& t,
                                                               const char* index,
                                                               TDiskMgr* disk) {
  TTableLockHold lock(disk, t.TableID(), kLockTypeRead);
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> out;
  for (uint32_t address : t.Walk(index)) out.emplace_back(address, t.Read(address));
  return out;
}

// The privilege record whose key fields ("ixGroupPriv") hold `key`, read
// into `rec`; without one, 0 and a new image holding the key.
uint32_t FindOrNew(TCatalogueTable& t, TDiskMgr* disk,
                   std::initializer_list<std::pair<const char*, int32_t>> key, std::vector<uint8_t>& rec) {
  for (auto& [address, existing] : ReadAll(t, "ixGroupPriv", disk)) {
    bool same = true;
    for (const auto& [field, value] : key) same = same && t.GetInteger(existing, field) == value;
    if (same) {
      rec = std::move(existing);
      return address;
    }
  }
  rec = t.NewRecord();
  for (const auto& [field, value] : key) t.SetInteger(rec, field, value);
  return 0;
}

// One transaction of the database for a change of several records: rolled
// back (datasets refreshed) unless committed.
class TSecurityTransaction {
 public:
  explicit TSecurityTransaction(TTavDataBase& db) : db_(db) { db_.StartTransaction(); }
  ~TSecurityTransaction() {
    if (done_) return;
    try {
      db_.Rollback();
    } catch (...) {
      // The change's own failure is the one to report.
    }
  }
  TSecurityTransaction(const TSecurityTransaction&) = delete;
  TSecurityTransaction& operator=(const TSecurityTransaction&) = delete;
  void Commit() {
    db_.Commit();
    done_ = true;
  }

 private:
  TTavDataBase& db_;
  bool done_ = false;
};

}  // namespace

TSecurityManager::TSecurityManager()
    : privileges_(std::make_unique<TInternalPrivileges>()), sha1_(std::make_unique<TSha1Stream>()) {}

TSecurityManager::~TSecurityManager() { Close(); }

void TSecurityManager::Open(TTavDataBase* database, TCatalogueTable* users, TCatalogueTable* objectIds,
                            TCatalogueTable* systemPrivileges, TCatalogueTable* objectPrivileges,
                            TCatalogueTable* groups) {
  database_ = database;
  users_ = users;
  object_ids_ = objectIds;
  system_privileges_ = systemPrivileges;
  object_privileges_ = objectPrivileges;
  groups_ = groups;
  open_ = true;
}

void TSecurityManager::Close() {
  Logoff();
  open_ = false;
  database_ = nullptr;
  users_ = object_ids_ = system_privileges_ = object_privileges_ = groups_ = nullptr;
}

void TSecurityManager::Logoff() {
  user_name_.clear();
  group_name_.clear();
  group_id_ = 0;
  logged_on_ = false;
  privileges_->Clear();
}

// ---------------------------------------------------------------------------
// Checks

void TSecurityManager::CheckOpen(const char* caller) const {
  if (!open_ || !database_) TavDatabaseError(kUnexpectedInternalError, caller, kNotActive);
}

bool TSecurityManager::IsAdministrator() const { return IsAdministratorsName(group_name_); }

void TSecurityManager::RequireSystemPrivilege(TSystemPrivilegeType privilege, const char* caller) const {
  if (!CheckIfLogonHasSystemPrivilege(privilege)) TavDatabaseError(kPrivilegeRequired, caller, "");
}

void TSecurityManager::RequireAdministratorFor(int32_t groupId, const char* caller) const {
  if (IsAdministrator()) return;
  // Only the group's own members reach "administrators" or its members.
  std::vector<uint8_t> rec;
  if (groups_->FindKey("ixGroupName", kAdministratorsGroup, &rec) &&
      groups_->GetInteger(rec, "GroupID") == groupId)
    TavDatabaseError(kPrivilegeRequired, caller, "");
}

bool TSecurityManager::CheckIfLogonHasSystemPrivilege(TSystemPrivilegeType privilege) const {
  if (IsAdministrator()) return true;
  return (privileges_->SysPrivs().PrivilegeMask() & MapSystemPrivTypeToConst(privilege)) != 0 &&
         MapSystemPrivTypeToConst(privilege) != 0;
}

bool TSecurityManager::CheckIfLogonHasObjectPrivilege(TDatabaseObjectType, const std::string& name,
                                                      TObjectPrivilegeType privilege) {
  if (IsAdministrator()) return true;
  const int32_t objectId = name.empty() || name == "*" || name == kAll ? 0 : GetObjectIDFromName(name);
  return privileges_->ObjPrivs().CheckPrivilegeExists(objectId, MapObjectPrivTypeToConst(privilege));
}

void TSecurityManager::ValidateName(const std::string& name, int32_t minimum, const char* caller) const {
  const int32_t length = static_cast<int32_t>(name.size());
  if (length < minimum || length > kSecurityNameMaxLength)
    TavDatabaseErrorFmt(kObjectNameIsOutOfRange, caller, kLengthText,
                        {name, minimum, kSecurityNameMaxLength});
}

void TSecurityManager::ValidateGroupName(const std::string& name) const {
  ValidateName(name, minimum_group_name_length_, "TSecurityManager.ValidateGroupName");
}

void TSecurityManager::ValidateUserName(const std::string& name) const {
  ValidateName(name, minimum_user_name_length_, "TSecurityManager.ValidateUserName");
}

// ---------------------------------------------------------------------------
// Passwords

void TSecurityManager::StoreDigest(std::vector<uint8_t>& rec, const std::string& password) {
  uint8_t digest[kSha1DigestSize];
  sha1_->Clear();
  sha1_->Write(password.data(), static_cast<int32_t>(password.size()));
  sha1_->GetDigest(digest);
  sha1_->Clear();
  for (int i = 0; i < 5; ++i)
    users_->SetInteger(rec, kPwdFields[i], static_cast<int32_t>(host::GetU32(digest + 4 * i)));
  std::memset(digest, 0, sizeof digest);
}

bool TSecurityManager::DigestMatches(const std::vector<uint8_t>& rec, const std::string& password) {
  std::vector<uint8_t> probe = users_->NewRecord();
  StoreDigest(probe, password);
  bool same = true;
  for (const char* field : kPwdFields)
    same = same && users_->GetInteger(probe, field) == users_->GetInteger(rec, field);
  return same;
}

uint32_t TSecurityManager::FindUser(const std::string& user, std::vector<uint8_t>* rec) {
  return users_->FindKey("ixUserName", user, rec);
}

// ---------------------------------------------------------------------------
// Logon

void TSecurityManager::Logon(const std::string& user, const std::string& password,
                             const std::string& databaseName) {
  const char* caller = "TSecurityManager.Logon";
  CheckOpen(caller);
  if (!users_ || !groups_) TavDatabaseError(kUnexpectedInternalError, caller, kNotActive);
  Logoff();
  std::vector<uint8_t> rec;
  if (!FindUser(user, &rec)) {
    // Only the exact built-in name, and only while its group is not there:
    // the database's first logon makes both.
    if (user != kAdministratorUser || groups_->FindKey("ixGroupName", kAdministratorsGroup))
      TavDatabaseError(kBadUserNameOrPassword, caller, "");
    user_name_ = user;
    group_name_ = kAdministratorsGroup;
    try {
      TSecurityTransaction transaction(*database_);
      AddGroup(kAdministratorsGroup);
      AddUser(kAdministratorUser, kDefaultAdministratorPassword, kAdministratorsGroup);
      transaction.Commit();
    } catch (...) {
      Logoff();
      throw;
    }
    if (!FindUser(user, &rec)) TavDatabaseError(kBadUserNameOrPassword, caller, "");
  } else {
    if (!DigestMatches(rec, password)) TavDatabaseError(kBadUserNameOrPassword, caller, "");
    if (user != kAdministratorUser && password_expiry_period_ >= 1 &&
        GetDateTime(*users_, rec, "DateLastPWordChange") + password_expiry_period_ < os::Now())
      TavDatabaseError(kBadUserNameOrPassword, caller, "The password has expired");
  }
  try {
    user_name_ = users_->GetString(rec, "UserName");
    group_id_ = users_->GetInteger(rec, "GroupID");
    group_name_ = GetGroupNameFromID(group_id_);
    database_name_ = databaseName;
    logged_on_ = true;
    LoadLogonPrivileges();
  } catch (...) {
    Logoff();
    throw;
  }
}

void TSecurityManager::LoadLogonPrivileges() {
  privileges_->Clear();
  if (IsAdministrator()) return;
  TDiskMgr* disk = database_->DiskMgr();
  if (object_privileges_) {
    for (auto& [address, rec] : ReadAll(*object_privileges_, "ixGroupPriv", disk)) {
      TCatalogueTable& t = *object_privileges_;
      if (t.GetInteger(rec, "GroupID") != group_id_) continue;
      TInternalObjPriv* p = privileges_->ObjPrivs().Add();
      p->SetObjectType(t.GetInteger(rec, "ObjectType"));
      p->SetObjectID(t.GetInteger(rec, "ObjectID"));
      p->SetPrivilegeID(t.GetInteger(rec, "PrivilegeID"));
      p->SetGrantOption(GetBoolean(t, rec, "GrantOption"));
      const std::string fields =
          t.IsNull(rec, "FieldsShort") ? t.ReadBlob(rec, "FieldsLong") : t.GetString(rec, "FieldsShort");
      p->SetFields(GetBoolean(t, rec, "ALL"), fields);
    }
  }
  if (system_privileges_) {
    for (auto& [address, rec] : ReadAll(*system_privileges_, "ixGroupPriv", disk)) {
      TCatalogueTable& t = *system_privileges_;
      if (t.GetInteger(rec, "GroupID") != group_id_) continue;
      TInternalSysPriv* p = privileges_->SysPrivs().Add();
      p->SetPrivilegeID(t.GetInteger(rec, "PrivilegeID"));
      p->SetGrantOption(GetBoolean(t, rec, "GrantOption"));
    }
  }
  privileges_->ObjPrivs().SetMasks();
  privileges_->SysPrivs().SetMask();
}

// ---------------------------------------------------------------------------
// Groups

int32_t TSecurityManager::AddGroup(const std::string& name) {
  const char* caller = "TSecurityManager.AddGroup";
  CheckOpen(caller);
  RequireSystemPrivilege(spEditGroups, caller);
  ValidateGroupName(name);
  if (groups_->FindKey("ixGroupName", name))
    TavDatabaseError(kRequestedObjectAlreadyExists, caller, name);
  std::vector<uint8_t> rec = groups_->NewRecord();
  groups_->SetString(rec, "GroupName", name);
  // The insert puts the new auto-increment value into the image.
  groups_->Insert(rec);
  return groups_->GetInteger(rec, "GroupID");
}

int32_t TSecurityManager::RenameGroup(const std::string& oldName, const std::string& newName) {
  const char* caller = "TSecurityManager.RenameGroup";
  CheckOpen(caller);
  RequireSystemPrivilege(spEditGroups, caller);
  ValidateGroupName(newName);
  // The group that passes every check keeps its name, and no other takes it.
  if (IsAdministratorsName(oldName) || IsAdministratorsName(newName))
    TavDatabaseError(kRequestedObjectCannotBeEdited, caller, kAdministratorsGroup);
  std::vector<uint8_t> rec;
  const uint32_t address = groups_->FindKey("ixGroupName", oldName, &rec);
  const uint32_t taken = groups_->FindKey("ixGroupName", newName);
  if (taken && taken != address) TavDatabaseError(kRequestedObjectAlreadyExists, caller, newName);
  if (!address) TavDatabaseError(kRequestedObjectCouldNotBeFound, caller, oldName);
  groups_->SetString(rec, "GroupName", newName);
  groups_->Update(address, rec);
  return groups_->GetInteger(rec, "GroupID");
}

void TSecurityManager::DeleteGroupRecords(TCatalogueTable& table, const char* index, int32_t groupId) {
  TTableLockHold lock(database_->DiskMgr(), table.TableID(), kLockTypeWrite);
  for (auto& [address, rec] : ReadAll(table, index, database_->DiskMgr()))
    if (table.GetInteger(rec, "GroupID") == groupId) table.Delete(address);
}

bool TSecurityManager::DeleteGroup(const std::string& name) {
  const char* caller = "TSecurityManager.DeleteGroup";
  CheckOpen(caller);
  RequireSystemPrivilege(spEditGroups, caller);
  if (IsAdministratorsName(name))
    TavDatabaseError(kRequestedObjectCannotBeDeleted, caller, kAdministratorsGroup);
  std::vector<uint8_t> rec;
  const uint32_t address = groups_->FindKey("ixGroupName", name, &rec);
  if (!address) TavDatabaseError(kRequestedObjectCouldNotBeFound, caller, name);
  if (database_->InTransaction())
    TavDatabaseError(kCannotOperateWhileTransactionActive, caller, "");
  const int32_t groupId = groups_->GetInteger(rec, "GroupID");
  TSecurityTransaction transaction(*database_);
  groups_->Delete(address);
  DeleteGroupRecords(*object_privileges_, "ixGroupPriv", groupId);
  DeleteGroupRecords(*system_privileges_, "ixGroupPriv", groupId);
  DeleteGroupRecords(*users_, "ixGroupUsers", groupId);
  transaction.Commit();
  return true;
}

void TSecurityManager::ListGroupNames(host::TStrings& list) {
  const char* caller = "TSecurityManager.ListGroupNames";
  CheckOpen(caller);
  RequireSystemPrivilege(spViewGroups, caller);
  for (auto& [address, rec] : ReadAll(*groups_, "ixGroupName", database_->DiskMgr()))
    list.Add(groups_->GetString(rec, "GroupName"));
}

int32_t TSecurityManager::GetGroupIDFromName(const std::string& name) {
  const char* caller = "TSecurityManager.GetGroupIDFromName";
  CheckOpen(caller);
  std::vector<uint8_t> rec;
  if (!groups_->FindKey("ixGroupName", name, &rec))
    TavDatabaseError(kRequestedObjectCouldNotBeFound, caller, name);
  return groups_->GetInteger(rec, "GroupID");
}

std::string TSecurityManager::GetGroupNameFromID(int32_t id) {
  const char* caller = "TSecurityManager.GetGroupNameFromID";
  CheckOpen(caller);
  for (auto& [address, rec] : ReadAll(*groups_, "ixGroupID", database_->DiskMgr()))
    if (groups_->GetInteger(rec, "GroupID") == id) return groups_->GetString(rec, "GroupName");
  TavDatabaseError(kRequestedObjectCouldNotBeFound, caller, std::to_string(id));
}

// ---------------------------------------------------------------------------
// Users

void TSecurityManager::AddUser(const std::string& user, const std::string& password,
                               const std::string& group) {
  const char* caller = "TSecurityManager.AddUser";
  CheckOpen(caller);
  RequireSystemPrivilege(spEditUsers, caller);
  ValidateUserName(user);
  if (FindUser(user, nullptr)) TavDatabaseError(kRequestedObjectAlreadyExists, caller, user);
  std::vector<uint8_t> groupRec;
  if (!groups_->FindKey("ixGroupName", group, &groupRec))
    TavDatabaseError(kRequestedObjectCouldNotBeFound, caller, group);
  const int32_t groupId = groups_->GetInteger(groupRec, "GroupID");
  RequireAdministratorFor(groupId, caller);
  const double now = os::Now();
  std::vector<uint8_t> rec = users_->NewRecord();
  users_->SetString(rec, "UserName", user);
  users_->SetInteger(rec, "GroupID", groupId);
  StoreDigest(rec, password);
  SetDateTime(*users_, rec, "DateCreated", now);
  SetDateTime(*users_, rec, "DateLastModified", now);
  SetDateTime(*users_, rec, "DateLastPWordChange", now);
  users_->Insert(rec);
}

void TSecurityManager::DeleteUser(const std::string& user) {
  const char* caller = "TSecurityManager.DeleteUser";
  CheckOpen(caller);
  RequireSystemPrivilege(spEditUsers, caller);
  std::vector<uint8_t> rec;
  const uint32_t address = FindUser(user, &rec);
  if (!address) return;
  RequireAdministratorFor(users_->GetInteger(rec, "GroupID"), caller);
  users_->Delete(address);
}

void TSecurityManager::ChangeGroup(const std::string& user, const std::string& group) {
  const char* caller = "TSecurityManager.ChangeGroup";
  CheckOpen(caller);
  RequireSystemPrivilege(spEditGroups, caller);
  std::vector<uint8_t> rec;
  const uint32_t address = FindUser(user, &rec);
  if (!address) TavDatabaseError(kRequestedObjectCouldNotBeFound, caller, user);
  std::vector<uint8_t> groupRec;
  if (!groups_->FindKey("ixGroupName", group, &groupRec))
    TavDatabaseError(kRequestedObjectCouldNotBeFound, caller, group);
  const int32_t groupId = groups_->GetInteger(groupRec, "GroupID");
  // Neither into "administrators" nor out of it, unless by its members.
  RequireAdministratorFor(users_->GetInteger(rec, "GroupID"), caller);
  RequireAdministratorFor(groupId, caller);
  users_->SetInteger(rec, "GroupID", groupId);
  SetDateTime(*users_, rec, "DateLastModified", os::Now());
  users_->Update(address, rec);
}

void TSecurityManager::ChangePassword(const std::string& user, const std::string& password) {
  const char* caller = "TSecurityManager.ChangePassword";
  CheckOpen(caller);
  const bool self = logged_on_ && host::AnsiSameText(user, user_name_);
  if (!self) RequireSystemPrivilege(spEditUsers, caller);
  std::vector<uint8_t> rec;
  const uint32_t address = FindUser(user, &rec);
  if (!address) TavDatabaseError(kRequestedObjectCouldNotBeFound, caller, user);
  if (!self) RequireAdministratorFor(users_->GetInteger(rec, "GroupID"), caller);
  const double now = os::Now();
  StoreDigest(rec, password);
  SetDateTime(*users_, rec, "DateLastModified", now);
  SetDateTime(*users_, rec, "DateLastPWordChange", now);
  users_->Update(address, rec);
}

void TSecurityManager::ListUserNames(const std::string& group, host::TStrings& list) {
  const char* caller = "TSecurityManager.ListUserNames";
  CheckOpen(caller);
  RequireSystemPrivilege(spViewUsers, caller);
  const int32_t groupId = group.empty() ? 0 : GetGroupIDFromName(group);
  for (auto& [address, rec] : ReadAll(*users_, "ixGroupUsers", database_->DiskMgr()))
    if (group.empty() || users_->GetInteger(rec, "GroupID") == groupId)
      list.Add(users_->GetString(rec, "UserName"));
}

std::string TSecurityManager::GetUserGroupName(const std::string& user) {
  const char* caller = "TSecurityManager.GetUserGroupName";
  CheckOpen(caller);
  if (!(logged_on_ && host::AnsiSameText(user, user_name_))) RequireSystemPrivilege(spViewGroups, caller);
  std::vector<uint8_t> rec;
  if (!FindUser(user, &rec)) return std::string();
  return GetGroupNameFromID(users_->GetInteger(rec, "GroupID"));
}

// ---------------------------------------------------------------------------
// Object IDs

int32_t TSecurityManager::GetObjectIDFromName(const std::string& name) {
  const char* caller = "TSecurityManager.GetObjectIDFromName";
  CheckOpen(caller);
  if (name == kAll) return 0;
  std::vector<uint8_t> rec;
  if (!object_ids_ || !object_ids_->FindKey("ixObjectName", name, &rec))
    TavDatabaseError(kRequestedObjectCouldNotBeFound, caller, name);
  return object_ids_->GetInteger(rec, "ObjectID");
}

std::string TSecurityManager::GetObjectNameFromID(int32_t id) {
  const char* caller = "TSecurityManager.GetObjectNameFromID";
  CheckOpen(caller);
  if (id == 0) return kAll;
  if (object_ids_)
    for (auto& [address, rec] : ReadAll(*object_ids_, "ixObjectID", database_->DiskMgr()))
      if (object_ids_->GetInteger(rec, "ObjectID") == id) return object_ids_->GetString(rec, "ObjectName");
  TavDatabaseError(kRequestedObjectCouldNotBeFound, caller, std::to_string(id));
}

TSecurityManager::TFieldMap TSecurityManager::TableFieldMap(const std::string& tableName) {
  TFieldMap map;
  map.ObjectID = GetObjectIDFromName(tableName);
  TTableDef def(nullptr);
  database_->QueryTableDef(tableName, false, def);
  const TInternalFields& fields = def.InternalFields();
  for (int i = 0; i < fields.Count(); ++i)
    map.Fields.emplace_back(host::AnsiUpperCase(fields.Items(i)->FieldName()), fields.Items(i)->FieldNo());
  return map;
}

// ---------------------------------------------------------------------------
// Reading privileges

void TSecurityManager::GetPrivileges(TDatabaseObjectType type, const std::string& name,
                                     TPrivileges& privileges) {
  const char* caller = "TSecurityManager.GetPrivileges";
  CheckOpen(caller);
  const std::string objectName = name.empty() || name == "*" ? std::string(kAll) : name;
  if (!IsAdministrator() && !host::AnsiSameText(privileges.GroupName(), group_name_))
    RequireSystemPrivilege(spViewGroups, caller);
  privileges.ClearPrivileges();
  if (IsAdministratorsName(privileges.GroupName())) {
    for (int t = opCreateObj; t <= opUpdateData; ++t) {
      TObjectPrivilege* p = privileges.ObjectPrivileges().Add();
      p->SetObjectType(type);
      p->SetObjectName(objectName);
      p->SetPrivilegeType(static_cast<TObjectPrivilegeType>(t));
      p->SetFields(kAll);
    }
    for (int s = spViewUsers; s <= spEditGroups; ++s)
      privileges.SystemPrivileges().Add()->SetPrivilegeType(static_cast<TSystemPrivilegeType>(s));
    return;
  }
  const int32_t groupId = GetGroupIDFromName(privileges.GroupName());
  const bool oneTable = objectName != kAll;
  const int32_t wantedId = oneTable ? GetObjectIDFromName(objectName) : 0;
  TDiskMgr* disk = database_->DiskMgr();
  // Field IDs back to names, one map per table met.
  std::map<int32_t, std::pair<std::string, TFieldMap>> tables;
  TCatalogueTable& t = *object_privileges_;
  for (auto& [address, rec] : ReadAll(t, "ixGroupPriv", disk)) {
    if (t.GetInteger(rec, "GroupID") != groupId || t.GetInteger(rec, "ObjectType") != doTable) continue;
    const int32_t objectId = t.GetInteger(rec, "ObjectID");
    if (oneTable && objectId != wantedId) continue;
    TObjectPrivilege* p = privileges.ObjectPrivileges().Add();
    p->SetObjectType(doTable);
    p->SetPrivilegeType(MapObjectPrivConstToType(t.GetInteger(rec, "PrivilegeID")));
    p->SetGrantOption(GetBoolean(t, rec, "GrantOption"));
    if (objectId == 0) {
      p->SetObjectName(kAll);
      p->SetFields(kAll);
      continue;
    }
    auto found = tables.find(objectId);
    if (found == tables.end()) {
      const std::string tableName = GetObjectNameFromID(objectId);
      found = tables.emplace(objectId, std::make_pair(tableName, TableFieldMap(tableName))).first;
    }
    p->SetObjectName(found->second.first);
    if (GetBoolean(t, rec, "ALL")) {
      p->SetFields(kAll);
      continue;
    }
    host::TStringList ids;
    ids.SetCommaText(t.IsNull(rec, "FieldsShort") ? t.ReadBlob(rec, "FieldsLong")
                                                  : t.GetString(rec, "FieldsShort"));
    std::string names;
    for (int i = 0; i < ids.Count(); ++i) {
      const int32_t id = host::StrToIntDef(ids.Strings(i), -1);
      // A field the table no longer has is dropped.
      for (const auto& [fieldName, fieldId] : found->second.second.Fields)
        if (fieldId == id) {
          if (!names.empty()) names += ',';
          names += fieldName;
          break;
        }
    }
    p->SetFields(names);
  }
  for (auto& [address, rec] : ReadAll(*system_privileges_, "ixGroupPriv", disk)) {
    if (system_privileges_->GetInteger(rec, "GroupID") != groupId) continue;
    TSystemPrivilege* p = privileges.SystemPrivileges().Add();
    p->SetPrivilegeType(MapSystemPrivConstToType(system_privileges_->GetInteger(rec, "PrivilegeID")));
    p->SetGrantOption(GetBoolean(*system_privileges_, rec, "GrantOption"));
  }
}

// ---------------------------------------------------------------------------
// Writing privileges

void TSecurityManager::WriteObjectPrivileges(int32_t groupId, const TPrivileges& privileges, bool replace) {
  TCatalogueTable& t = *object_privileges_;
  TTableLockHold lock(database_->DiskMgr(), t.TableID(), kLockTypeWrite);
  if (replace) DeleteGroupRecords(t, "ixGroupPriv", groupId);
  std::map<std::string, TFieldMap> tables;
  const TObjectPrivileges& list = privileges.ObjectPrivileges();
  for (int i = 0; i < list.Count(); ++i) {
    const TObjectPrivilege& p = *list.Items(i);
    const int32_t constant = MapObjectPrivTypeToConst(p.PrivilegeType());
    const std::string& name = p.ObjectName();
    const bool allObjects = name.empty() || name == "*" || name == kAll;
    int32_t objectId = 0;
    const TFieldMap* map = nullptr;
    if (!allObjects) {
      auto found = tables.find(name);
      if (found == tables.end()) found = tables.emplace(name, TableFieldMap(name)).first;
      map = &found->second;
      objectId = map->ObjectID;
    }
    bool allFields = true;
    std::string fieldList = kAll;
    if (objectId != 0 && p.PrivilegeType() != opCreateObj) {
      allFields = p.Fields() == kAll || p.Fields() == "*";
      if (!allFields && (p.PrivilegeType() == opReadData || p.PrivilegeType() == opUpdateData)) {
        host::TStringList names;
        names.SetCommaText(host::AnsiUpperCase(p.Fields()));
        fieldList.clear();
        size_t named = 0;
        for (const auto& [fieldName, fieldId] : map->Fields) {
          if (names.IndexOf(fieldName) < 0) continue;
          if (!fieldList.empty()) fieldList += ',';
          fieldList += std::to_string(fieldId);
          ++named;
        }
        if (named == map->Fields.size()) {
          allFields = true;
          fieldList = kAll;
        }
      } else {
        // Only reading and updating are limited to fields; any other
        // privilege covers every field, and says so, so that reading it back
        // and opening the table give it to every field.
        allFields = true;
        fieldList = kAll;
      }
    } else {
      objectId = 0;
    }
    std::vector<uint8_t> rec;
    const uint32_t address = FindOrNew(t, database_->DiskMgr(),
                                       {{"GroupID", groupId},
                                        {"ObjectType", doTable},
                                        {"ObjectID", objectId},
                                        {"PrivilegeID", constant}},
                                       rec);
    SetBoolean(t, rec, "ALL", allFields);
    SetBoolean(t, rec, "GrantOption", false);
    SetNull(t, rec, "FieldsShort");
    std::string longList;
    if (!allFields) {
      if (static_cast<int32_t>(fieldList.size()) < kFieldsShortSize)
        t.SetString(rec, "FieldsShort", fieldList);
      else
        longList = fieldList;
    }
    // An empty BLOB leaves "FieldsLong" null.
    if (address)
      t.Update(address, rec, {{"FieldsLong", longList}});
    else
      t.Insert(rec, {{"FieldsLong", longList}});
  }
}

void TSecurityManager::WriteSystemPrivileges(int32_t groupId, const TPrivileges& privileges, bool replace) {
  TCatalogueTable& t = *system_privileges_;
  TTableLockHold lock(database_->DiskMgr(), t.TableID(), kLockTypeWrite);
  if (replace) DeleteGroupRecords(t, "ixGroupPriv", groupId);
  const TSystemPrivileges& list = privileges.SystemPrivileges();
  for (int i = 0; i < list.Count(); ++i) {
    const int32_t constant = MapSystemPrivTypeToConst(list.Items(i)->PrivilegeType());
    std::vector<uint8_t> rec;
    const uint32_t address =
        FindOrNew(t, database_->DiskMgr(), {{"GroupID", groupId}, {"PrivilegeID", constant}}, rec);
    SetBoolean(t, rec, "GrantOption", false);
    if (address)
      t.Update(address, rec);
    else
      t.Insert(rec);
  }
}

void TSecurityManager::SetPrivileges(const TPrivileges& privileges, bool replace) {
  const char* caller = "TSecurityManager.SetPrivileges";
  CheckOpen(caller);
  if (!IsAdministrator()) TavDatabaseError(kPrivilegeRequired, caller, "");
  if (IsAdministratorsName(privileges.GroupName()))
    TavDatabaseError(kRequestedObjectCannotBeEdited, caller, kAdministratorsGroup);
  const int32_t groupId = GetGroupIDFromName(privileges.GroupName());
  TSecurityTransaction transaction(*database_);
  WriteObjectPrivileges(groupId, privileges, replace);
  WriteSystemPrivileges(groupId, privileges, replace);
  transaction.Commit();
}

void TSecurityManager::RevokePrivileges(const std::string& group) {
  const char* caller = "TSecurityManager.RevokePrivileges";
  CheckOpen(caller);
  if (!IsAdministrator()) TavDatabaseError(kPrivilegeRequired, caller, "");
  if (IsAdministratorsName(group))
    TavDatabaseError(kRequestedObjectCannotBeEdited, caller, kAdministratorsGroup);
  const int32_t groupId = GetGroupIDFromName(group);
  TSecurityTransaction transaction(*database_);
  {
    TTableLockHold lock(database_->DiskMgr(), object_privileges_->TableID(), kLockTypeWrite);
    DeleteGroupRecords(*object_privileges_, "ixGroupPriv", groupId);
  }
  {
    TTableLockHold lock(database_->DiskMgr(), system_privileges_->TableID(), kLockTypeWrite);
    DeleteGroupRecords(*system_privileges_, "ixGroupPriv", groupId);
  }
  transaction.Commit();
}

}  // namespace tav
