// The two shapes of the rights that the security layer grants users and groups.
//
// The stored form (TInternalPrivileges) is what the security tables hold and
// the checks run against: numeric privilege bits per object id, an object right
// optionally limited to a list of field ids. The public form (TPrivileges) is
// what a host application reads and edits: typed privileges with object names.
// The Map* functions translate between a privilege type and its bit; bits and
// type ordinals are stored in the security tables and must never change.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "host/db/enum_set.h"
#include "host/rtl/collection.h"

namespace host {
class TStrings;
class TStringList;
}  // namespace host

namespace tav {

enum TObjectPrivilegeType {
  opNone = 0,        // bit 0
  opCreateObj = 1,   // bit 2
  opDeleteObj = 2,   // bit 4
  opExecuteObj = 3,  // bit 8
  opAlterObj = 4,    // bit 16
  opInsertData = 5,  // bit 256
  opDeleteData = 6,  // bit 1024
  opReadData = 7,    // bit 2048
  opUpdateData = 8,  // bit 4096
};
using TObjectPrivilegeTypes = host::TEnumSet<TObjectPrivilegeType>;
// Display names by type ordinal.
extern const char* const C_ObjectPrivilegeStr[9];

enum TSystemPrivilegeType {
  spNone = 0,        // bit 0
  spViewUsers = 1,   // bit 1
  spEditUsers = 2,   // bit 2
  spViewGroups = 3,  // bit 8
  spEditGroups = 4,  // bit 16
};
using TSystemPrivilegeTypes = host::TEnumSet<TSystemPrivilegeType>;
extern const char* const C_SystemPrivilegeStr[5];

enum TDatabaseObjectType { doNone = 0, doTable = 1 };

// An unknown bit gives opNone / spNone; opNone / spNone give 0.
TObjectPrivilegeType MapObjectPrivConstToType(int32_t bit);
int32_t MapObjectPrivTypeToConst(TObjectPrivilegeType type);
TSystemPrivilegeType MapSystemPrivConstToType(int32_t bit);
int32_t MapSystemPrivTypeToConst(TSystemPrivilegeType type);

// ---------------------------------------------------------------------------
// Stored form

class TInternalObjPriv : public host::TCollectionItem {
 public:
  explicit TInternalObjPriv(host::TCollection* collection = nullptr);
  ~TInternalObjPriv() override;

  bool GrantOption() const { return grant_option_; }
  void SetGrantOption(bool value) { grant_option_ = value; }
  int32_t PrivilegeID() const { return privilege_id_; }  // the privilege's bit
  void SetPrivilegeID(int32_t value) { privilege_id_ = value; }
  int32_t ObjectID() const { return object_id_; }
  void SetObjectID(int32_t value) { object_id_ = value; }
  int32_t ObjectType() const { return object_type_; }
  void SetObjectType(int32_t value) { object_type_ = value; }
  // True: the right covers every field; false: only the fields in FieldIDs.
  bool AllFields() const { return all_fields_; }
  // Field ids as decimal text, one per line.
  const host::TStringList& FieldIDs() const { return *field_ids_; }

  // Sets AllFields and loads the field ids from comma-separated text ("3,7").
  void SetFields(bool allFields, const std::string& fieldIdList);
  // Replaces the field ids with a copy of `list`.
  void SetFieldIDValues(const host::TStrings& list);

 private:
  bool grant_option_ = false;
  int32_t privilege_id_ = 0;
  int32_t object_id_ = 0;
  bool all_fields_ = false;
  std::unique_ptr<host::TStringList> field_ids_;
  int32_t object_type_ = 0;
};

class TInternalObjPrivs : public host::TTypedCollection<TInternalObjPriv> {
 public:
  // The OR of the bits granted on object id 1, as SetMasks last found it.
  int32_t TablePrivilegeMask() const { return table_privilege_mask_; }

  // The first item for that object and bit, or nullptr.
  TInternalObjPriv* FindPrivilege(int32_t objectId, int32_t privilegeId) const;
  bool CheckPrivilegeExists(int32_t objectId, int32_t privilegeId) const;
  // Whether the right is held for field `fieldId`: on all fields, or with the
  // field's id in the item's list.
  bool CheckPrivilegeAndFieldID(int32_t objectId, int32_t privilegeId, int32_t fieldId) const;
  void SetMasks();

 private:
  int32_t table_privilege_mask_ = 0;
};

class TInternalSysPriv : public host::TCollectionItem {
 public:
  using host::TCollectionItem::TCollectionItem;

  bool GrantOption() const { return grant_option_; }
  void SetGrantOption(bool value) { grant_option_ = value; }
  int32_t PrivilegeID() const { return privilege_id_; }
  void SetPrivilegeID(int32_t value) { privilege_id_ = value; }

 private:
  bool grant_option_ = false;
  int32_t privilege_id_ = 0;
};

class TInternalSysPrivs : public host::TTypedCollection<TInternalSysPriv> {
 public:
  // The OR of all items' bits, as SetMask last found it.
  int32_t PrivilegeMask() const { return privilege_mask_; }

  TInternalSysPriv* FindPrivilege(int32_t privilegeId) const;
  bool CheckPrivilegeExists(int32_t privilegeId) const;
  void SetMask();

 private:
  int32_t privilege_mask_ = 0;
};

class TInternalPrivileges : public host::TObject {
 public:
  TInternalPrivileges();
  TInternalPrivileges(const TInternalPrivileges&) = delete;
  TInternalPrivileges& operator=(const TInternalPrivileges&) = delete;

  TInternalObjPrivs& ObjPrivs() { return *obj_privs_; }
  const TInternalObjPrivs& ObjPrivs() const { return *obj_privs_; }
  TInternalSysPrivs& SysPrivs() { return *sys_privs_; }
  const TInternalSysPrivs& SysPrivs() const { return *sys_privs_; }
  // Empties both collections.
  void Clear();

 private:
  std::unique_ptr<TInternalObjPrivs> obj_privs_;
  std::unique_ptr<TInternalSysPrivs> sys_privs_;
};

// ---------------------------------------------------------------------------
// Public form

class TObjectPrivilege : public host::TCollectionItem {
 public:
  using host::TCollectionItem::TCollectionItem;

  bool GrantOption() const { return grant_option_; }
  void SetGrantOption(bool value) { grant_option_ = value; }
  // The field names the right is limited to; empty for all fields.
  const std::string& Fields() const { return fields_; }
  void SetFields(const std::string& value) { fields_ = value; }
  const std::string& ObjectName() const { return object_name_; }
  void SetObjectName(const std::string& value) { object_name_ = value; }
  TObjectPrivilegeType PrivilegeType() const { return privilege_type_; }
  void SetPrivilegeType(TObjectPrivilegeType value) { privilege_type_ = value; }
  TDatabaseObjectType ObjectType() const { return object_type_; }
  void SetObjectType(TDatabaseObjectType value) { object_type_ = value; }

  // From another TObjectPrivilege: name, object type, privilege type, fields
  // and grant option.
  void Assign(const host::TPersistent& source) override;

 private:
  bool grant_option_ = false;
  std::string fields_;
  std::string object_name_;
  TObjectPrivilegeType privilege_type_ = opNone;
  TDatabaseObjectType object_type_ = doNone;
};

class TSystemPrivilege : public host::TCollectionItem {
 public:
  using host::TCollectionItem::TCollectionItem;

  bool GrantOption() const { return grant_option_; }
  void SetGrantOption(bool value) { grant_option_ = value; }
  TSystemPrivilegeType PrivilegeType() const { return privilege_type_; }
  void SetPrivilegeType(TSystemPrivilegeType value) { privilege_type_ = value; }

  // From another TSystemPrivilege: privilege type and grant option.
  void Assign(const host::TPersistent& source) override;

 private:
  bool grant_option_ = false;
  TSystemPrivilegeType privilege_type_ = spNone;
};

class TObjectPrivileges : public host::TTypedCollection<TObjectPrivilege> {
 public:
  // The first item with that object type, privilege type and exactly that
  // object name (case-sensitive), or nullptr.
  TObjectPrivilege* FindPrivilege(TDatabaseObjectType objectType, const std::string& objectName,
                                  TObjectPrivilegeType privilegeType) const;
  // Whether any item is about that object.
  bool CheckForNamedObjectPrivileges(TDatabaseObjectType objectType,
                                     const std::string& objectName) const;
};

class TSystemPrivileges : public host::TTypedCollection<TSystemPrivilege> {
 public:
  TSystemPrivilege* FindPrivilege(TSystemPrivilegeType privilegeType) const;
};

class TPrivileges : public host::TObject {
 public:
  TPrivileges();
  TPrivileges(const TPrivileges&) = delete;
  TPrivileges& operator=(const TPrivileges&) = delete;

  TSystemPrivileges& SystemPrivileges() { return *system_privileges_; }
  const TSystemPrivileges& SystemPrivileges() const { return *system_privileges_; }
  TObjectPrivileges& ObjectPrivileges() { return *object_privileges_; }
  const TObjectPrivileges& ObjectPrivileges() const { return *object_privileges_; }
  const std::string& GroupName() const { return group_name_; }
  void SetGroupName(const std::string& value) { group_name_ = value; }
  // Empties both collections.
  void ClearPrivileges();

 private:
  std::unique_ptr<TSystemPrivileges> system_privileges_;
  std::unique_ptr<TObjectPrivileges> object_privileges_;
  std::string group_name_;
};

}  // namespace tav
