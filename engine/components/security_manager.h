// TSecurityManager: the users, groups and privileges of a database that
// enforces security, kept in its four security tables and the object-ID
// table. It logs a user on (password digest, expiry in days, the built-in
// "administrator" and its first logon), holds the logged-on group and its
// privileges for the checks of the rest of the engine, and offers the
// administration: groups, users, passwords and the privileges of groups.
//
// Members of the group "administrators" pass every check. No one else may
// reach that group: renaming a group to or from it is refused (10123), and
// only its members may put users in it or change the password of, move or
// delete its members (10624).
//
// Passwords are kept as the unsalted SHA-1 digest of their bytes in five
// 32-bit words ("Pwd0".."Pwd4"); stored files depend on that form, and on the
// first logon's default password.
//
// Callers must keep:
//  - The database and the tables handed to Open outlive the manager's open
//    state (Close before they go); the manager borrows them.
//  - Changes that touch several records (group deletion, privilege writes,
//    the first logon) run in a transaction of their own and need none
//    running (10122 for group deletion).
//  - Time comes from os::Now, so expiry is tested by moving the clock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/storage/table/privileges.h"

namespace host {
class TStrings;
}

namespace tav {

class TCatalogueTable;
class TSha1Stream;
class TTavDataBase;

inline constexpr char kAdministratorsGroup[] = "administrators";
inline constexpr char kAdministratorUser[] = "administrator";
// The password the built-in administrator gets on its first logon.
inline constexpr char kDefaultAdministratorPassword[] = "quarle";
// Longest group or user name.
inline constexpr int kSecurityNameMaxLength = 30;

// The security tables.
inline constexpr char kSecGroupsTableName[] = "$SYSTBL_SECGROUPS";
inline constexpr char kSecUsersTableName[] = "$SYSTBL_SECUSERS";
inline constexpr char kSecObjPrivTableName[] = "$SYSTBL_SECOBJPRIV";
inline constexpr char kSecSysPrivTableName[] = "$SYSTBL_SECSYSPRIV";

class TSecurityManager {
 public:
  TSecurityManager();
  ~TSecurityManager();
  TSecurityManager(const TSecurityManager&) = delete;
  TSecurityManager& operator=(const TSecurityManager&) = delete;

  void Open(TTavDataBase* database, TCatalogueTable* users, TCatalogueTable* objectIds,
            TCatalogueTable* systemPrivileges, TCatalogueTable* objectPrivileges,
            TCatalogueTable* groups);
  void Close();
  bool IsOpen() const { return open_; }

  // 10036 for an unknown user, a wrong or an expired password.
  void Logon(const std::string& user, const std::string& password, const std::string& databaseName);
  void Logoff();
  bool LoggedOn() const { return logged_on_; }
  const std::string& UserName() const { return user_name_; }
  const std::string& GroupName() const { return group_name_; }
  int32_t GroupID() const { return group_id_; }
  const std::string& DatabaseName() const { return database_name_; }
  const TInternalPrivileges& LogonPrivileges() const { return *privileges_; }

  // ---- administration ----
  int32_t AddGroup(const std::string& name);
  int32_t RenameGroup(const std::string& oldName, const std::string& newName);
  bool DeleteGroup(const std::string& name);
  void AddUser(const std::string& user, const std::string& password, const std::string& group);
  void DeleteUser(const std::string& user);
  void ChangeGroup(const std::string& user, const std::string& group);
  void ChangePassword(const std::string& user, const std::string& password);
  void ListGroupNames(host::TStrings& list);
  // Every group's users when `group` is empty.
  void ListUserNames(const std::string& group, host::TStrings& list);
  // Empty for an unknown user.
  std::string GetUserGroupName(const std::string& user);

  // ---- privileges ----
  // The privileges of privileges.GroupName() on table `name` (every table
  // when empty, "*" or "ALL").
  void GetPrivileges(TDatabaseObjectType type, const std::string& name, TPrivileges& privileges);
  void SetPrivileges(const TPrivileges& privileges, bool replace);
  void RevokePrivileges(const std::string& group);
  bool CheckIfLogonHasObjectPrivilege(TDatabaseObjectType type, const std::string& name,
                                      TObjectPrivilegeType privilege);
  bool CheckIfLogonHasSystemPrivilege(TSystemPrivilegeType privilege) const;

  // ---- lookups (8579 for unknown names and IDs) ----
  int32_t GetGroupIDFromName(const std::string& name);
  std::string GetGroupNameFromID(int32_t id);
  int32_t GetObjectIDFromName(const std::string& name);
  std::string GetObjectNameFromID(int32_t id);
  // 9605 for a name shorter than the minimum or longer than 30.
  void ValidateGroupName(const std::string& name) const;
  void ValidateUserName(const std::string& name) const;

  int32_t PasswordExpiryPeriod() const { return password_expiry_period_; }
  void SetPasswordExpiryPeriod(int32_t days) { password_expiry_period_ = days; }
  int32_t MinimumGroupNameLength() const { return minimum_group_name_length_; }
  void SetMinimumGroupNameLength(int32_t value) { minimum_group_name_length_ = value; }
  int32_t MinimumUserNameLength() const { return minimum_user_name_length_; }
  void SetMinimumUserNameLength(int32_t value) { minimum_user_name_length_ = value; }
  // Stored only: no operation checks a password's length.
  int32_t MinimumPasswordLength() const { return minimum_password_length_; }
  void SetMinimumPasswordLength(int32_t value) { minimum_password_length_ = value; }

 private:
  // A table's field names (upper case) with their field IDs, and the
  // table's object ID.
  struct TFieldMap {
    int32_t ObjectID = 0;
    std::vector<std::pair<std::string, int32_t>> Fields;
  };

  void CheckOpen(const char* caller) const;
  bool IsAdministrator() const;
  // 10624 unless an administrator or the privilege is held.
  void RequireSystemPrivilege(TSystemPrivilegeType privilege, const char* caller) const;
  // 10624 unless the caller is an administrator: for a user of that group.
  void RequireAdministratorFor(int32_t groupId, const char* caller) const;
  void ValidateName(const std::string& name, int32_t minimum, const char* caller) const;
  void StoreDigest(std::vector<uint8_t>& rec, const std::string& password);
  bool DigestMatches(const std::vector<uint8_t>& rec, const std::string& password);
  uint32_t FindUser(const std::string& user, std::vector<uint8_t>* rec);
  void LoadLogonPrivileges();
  TFieldMap TableFieldMap(const std::string& tableName);
  void WriteObjectPrivileges(int32_t groupId, const TPrivileges& privileges, bool replace);
  void WriteSystemPrivileges(int32_t groupId, const TPrivileges& privileges, bool replace);
  // Deletes every record of `table` whose "GroupID" is `groupId`.
  void DeleteGroupRecords(TCatalogueTable& table, const char* index, int32_t groupId);

  bool open_ = false;
  TTavDataBase* database_ = nullptr;
  TCatalogueTable* users_ = nullptr;
  TCatalogueTable* object_ids_ = nullptr;
  TCatalogueTable* system_privileges_ = nullptr;
  TCatalogueTable* object_privileges_ = nullptr;
  TCatalogueTable* groups_ = nullptr;
  int32_t password_expiry_period_ = 0;
  std::string user_name_;
  int32_t group_id_ = 0;
  std::string group_name_;
  std::string database_name_;
  bool logged_on_ = false;
  std::unique_ptr<TInternalPrivileges> privileges_;
  int32_t minimum_group_name_length_ = 2;
  int32_t minimum_user_name_length_ = 2;
  int32_t minimum_password_length_ = 2;
  std::unique_ptr<TSha1Stream> sha1_;
};

}  // namespace tav
