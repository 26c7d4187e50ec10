#include "engine/storage/table/privileges.h"

#include "host/rtl/string_list.h"

namespace tav {

const char* const C_ObjectPrivilegeStr[9] = {"None",        "Create Object", "Delete Object",
                                             "Open object", "Alter Object",  "Insert data",
                                             "Delete data", "Read data",     "Update data"};

const char* const C_SystemPrivilegeStr[5] = {"None", "View users", "Edit users", "View groups",
                                             "Edit groups"};

namespace {

// Bits by type ordinal. Bits 1 and 512 of objects and 4 of the system are not
// used by any type.
constexpr int32_t kObjectPrivBits[9] = {0, 2, 4, 8, 16, 256, 1024, 2048, 4096};
constexpr int32_t kSystemPrivBits[5] = {0, 1, 2, 8, 16};

}  // namespace

TObjectPrivilegeType MapObjectPrivConstToType(int32_t bit) {
  for (int t = 1; t < 9; ++t)
    if (kObjectPrivBits[t] == bit) return static_cast<TObjectPrivilegeType>(t);
  return opNone;
}

int32_t MapObjectPrivTypeToConst(TObjectPrivilegeType type) {
  return type >= 0 && type < 9 ? kObjectPrivBits[type] : 0;
}

TSystemPrivilegeType MapSystemPrivConstToType(int32_t bit) {
  for (int t = 1; t < 5; ++t)
    if (kSystemPrivBits[t] == bit) return static_cast<TSystemPrivilegeType>(t);
  return spNone;
}

int32_t MapSystemPrivTypeToConst(TSystemPrivilegeType type) {
  return type >= 0 && type < 5 ? kSystemPrivBits[type] : 0;
}

// ---------------------------------------------------------------------------

TInternalObjPriv::TInternalObjPriv(host::TCollection* collection)
    : host::TCollectionItem(collection), field_ids_(std::make_unique<host::TStringList>()) {}

TInternalObjPriv::~TInternalObjPriv() = default;

void TInternalObjPriv::SetFields(bool allFields, const std::string& fieldIdList) {
  all_fields_ = allFields;
  field_ids_->SetCommaText(fieldIdList);
}

void TInternalObjPriv::SetFieldIDValues(const host::TStrings& list) {
  field_ids_->Assign(list);
}

TInternalObjPriv* TInternalObjPrivs::FindPrivilege(int32_t objectId, int32_t privilegeId) const {
  for (int i = 0; i < Count(); ++i) {
    TInternalObjPriv* p = Items(i);
    if (p->ObjectID() == objectId && p->PrivilegeID() == privilegeId) return p;
  }
  return nullptr;
}

bool TInternalObjPrivs::CheckPrivilegeExists(int32_t objectId, int32_t privilegeId) const {
  return FindPrivilege(objectId, privilegeId) != nullptr;
}

bool TInternalObjPrivs::CheckPrivilegeAndFieldID(int32_t objectId, int32_t privilegeId,
                                                 int32_t fieldId) const {
  const TInternalObjPriv* p = FindPrivilege(objectId, privilegeId);
  if (!p) return false;
  if (p->AllFields()) return true;
  return p->FieldIDs().IndexOf(std::to_string(fieldId)) >= 0;
}

void TInternalObjPrivs::SetMasks() {
  table_privilege_mask_ = 0;
  for (int i = 0; i < Count(); ++i)
    if (Items(i)->ObjectID() == 1) table_privilege_mask_ |= Items(i)->PrivilegeID();
}

TInternalSysPriv* TInternalSysPrivs::FindPrivilege(int32_t privilegeId) const {
  for (int i = 0; i < Count(); ++i)
    if (Items(i)->PrivilegeID() == privilegeId) return Items(i);
  return nullptr;
}

bool TInternalSysPrivs::CheckPrivilegeExists(int32_t privilegeId) const {
  return FindPrivilege(privilegeId) != nullptr;
}

void TInternalSysPrivs::SetMask() {
  privilege_mask_ = 0;
  for (int i = 0; i < Count(); ++i) privilege_mask_ |= Items(i)->PrivilegeID();
}

TInternalPrivileges::TInternalPrivileges()
    : obj_privs_(std::make_unique<TInternalObjPrivs>()),
      sys_privs_(std::make_unique<TInternalSysPrivs>()) {}

void TInternalPrivileges::Clear() {
  obj_privs_->Clear();
  sys_privs_->Clear();
}

// ---------------------------------------------------------------------------

void TObjectPrivilege::Assign(const host::TPersistent& source) {
  const auto* s = dynamic_cast<const TObjectPrivilege*>(&source);
  if (!s) return host::TCollectionItem::Assign(source);
  object_name_ = s->object_name_;
  object_type_ = s->object_type_;
  privilege_type_ = s->privilege_type_;
  fields_ = s->fields_;
  grant_option_ = s->grant_option_;
}

void TSystemPrivilege::Assign(const host::TPersistent& source) {
  const auto* s = dynamic_cast<const TSystemPrivilege*>(&source);
  if (!s) return host::TCollectionItem::Assign(source);
  privilege_type_ = s->privilege_type_;
  grant_option_ = s->grant_option_;
}

TObjectPrivilege* TObjectPrivileges::FindPrivilege(TDatabaseObjectType objectType,
                                                   const std::string& objectName,
                                                   TObjectPrivilegeType privilegeType) const {
  for (int i = 0; i < Count(); ++i) {
    TObjectPrivilege* p = Items(i);
    if (p->ObjectType() == objectType && p->PrivilegeType() == privilegeType &&
        p->ObjectName() == objectName)
      return p;
  }
  return nullptr;
}

bool TObjectPrivileges::CheckForNamedObjectPrivileges(TDatabaseObjectType objectType,
                                                      const std::string& objectName) const {
  for (int i = 0; i < Count(); ++i)
    if (Items(i)->ObjectType() == objectType && Items(i)->ObjectName() == objectName) return true;
  return false;
}

TSystemPrivilege* TSystemPrivileges::FindPrivilege(TSystemPrivilegeType privilegeType) const {
  for (int i = 0; i < Count(); ++i)
    if (Items(i)->PrivilegeType() == privilegeType) return Items(i);
  return nullptr;
}

TPrivileges::TPrivileges()
    : system_privileges_(std::make_unique<TSystemPrivileges>()),
      object_privileges_(std::make_unique<TObjectPrivileges>()) {}

void TPrivileges::ClearPrivileges() {
  system_privileges_->Clear();
  object_privileges_->Clear();
}

}  // namespace tav
