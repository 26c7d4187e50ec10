#include "engine/storage/table/privileges.h"

#include <gtest/gtest.h>

#include <map>

#include "host/rtl/exceptions.h"
#include "host/rtl/string_list.h"

namespace tav {
namespace {

TEST(PrivilegeMapTest, TypesAndBits) {
  EXPECT_EQ(MapObjectPrivConstToType(512), opNone);
  EXPECT_EQ(MapObjectPrivConstToType(1), opNone);
  EXPECT_EQ(MapObjectPrivTypeToConst(opReadData), 2048);
  EXPECT_EQ(MapObjectPrivTypeToConst(opNone), 0);
  EXPECT_EQ(MapSystemPrivConstToType(4), spNone);
  EXPECT_EQ(MapSystemPrivTypeToConst(spEditGroups), 16);
  EXPECT_EQ(MapSystemPrivTypeToConst(spNone), 0);
  for (int t = 1; t <= opUpdateData; ++t) {
    auto type = static_cast<TObjectPrivilegeType>(t);
    EXPECT_EQ(MapObjectPrivConstToType(MapObjectPrivTypeToConst(type)), type);
  }
  for (int t = 1; t <= spEditGroups; ++t) {
    auto type = static_cast<TSystemPrivilegeType>(t);
    EXPECT_EQ(MapSystemPrivConstToType(MapSystemPrivTypeToConst(type)), type);
  }
  EXPECT_STREQ(C_ObjectPrivilegeStr[opExecuteObj], "Open object");
  EXPECT_STREQ(C_SystemPrivilegeStr[spViewGroups], "View groups");
}

TEST(InternalPrivilegesTest, FieldLevelRights) {
  TInternalObjPrivs privs;
  TInternalObjPriv* p = privs.Add();
  p->SetObjectID(5);
  p->SetPrivilegeID(4096);
  p->SetFields(false, "3,7");
  EXPECT_TRUE(privs.CheckPrivilegeAndFieldID(5, 4096, 7));
  EXPECT_TRUE(privs.CheckPrivilegeAndFieldID(5, 4096, 3));
  EXPECT_FALSE(privs.CheckPrivilegeAndFieldID(5, 4096, 5));
  EXPECT_FALSE(privs.CheckPrivilegeAndFieldID(5, 4096, 37));
  EXPECT_FALSE(privs.CheckPrivilegeAndFieldID(5, 2048, 7));
  EXPECT_FALSE(privs.CheckPrivilegeAndFieldID(6, 4096, 7));
  p->SetFields(true, "");
  EXPECT_TRUE(privs.CheckPrivilegeAndFieldID(5, 4096, 12345));

  host::TStringList ids;
  ids.Add("9");
  p->SetFields(false, "1");
  p->SetFieldIDValues(ids);
  ids.Add("10");  // the item keeps its own copy
  EXPECT_TRUE(privs.CheckPrivilegeAndFieldID(5, 4096, 9));
  EXPECT_FALSE(privs.CheckPrivilegeAndFieldID(5, 4096, 1));
  EXPECT_FALSE(privs.CheckPrivilegeAndFieldID(5, 4096, 10));
}

TEST(InternalPrivilegesTest, MasksAndFinds) {
  TInternalPrivileges all;
  auto grant = [&](int32_t object, int32_t bit) {
    TInternalObjPriv* p = all.ObjPrivs().Add();
    p->SetObjectID(object);
    p->SetPrivilegeID(bit);
    return p;
  };
  grant(1, 256);
  TInternalObjPriv* read = grant(1, 2048);
  grant(2, 4096);  // another object: not in the table mask
  all.ObjPrivs().SetMasks();
  EXPECT_EQ(all.ObjPrivs().TablePrivilegeMask(), 256 | 2048);
  EXPECT_EQ(all.ObjPrivs().FindPrivilege(1, 2048), read);
  EXPECT_EQ(all.ObjPrivs().FindPrivilege(2, 2048), nullptr);

  all.SysPrivs().Add()->SetPrivilegeID(1);
  all.SysPrivs().Add()->SetPrivilegeID(16);
  all.SysPrivs().SetMask();
  EXPECT_EQ(all.SysPrivs().PrivilegeMask(), 17);
  EXPECT_TRUE(all.SysPrivs().CheckPrivilegeExists(16));
  EXPECT_FALSE(all.SysPrivs().CheckPrivilegeExists(2));

  all.Clear();
  EXPECT_EQ(all.ObjPrivs().Count(), 0);
  EXPECT_EQ(all.SysPrivs().Count(), 0);
  all.ObjPrivs().SetMasks();
  EXPECT_EQ(all.ObjPrivs().TablePrivilegeMask(), 0);
}

TEST(PublicPrivilegesTest, FindsAreExactAndAssignCopies) {
  TPrivileges privs;
  privs.SetGroupName("Clerks");
  TObjectPrivilege* p = privs.ObjectPrivileges().Add();
  p->SetObjectType(doTable);
  p->SetObjectName("Orders");
  p->SetPrivilegeType(opReadData);
  p->SetFields("Total;Customer");
  p->SetGrantOption(true);
  EXPECT_EQ(privs.ObjectPrivileges().FindPrivilege(doTable, "Orders", opReadData), p);
  EXPECT_EQ(privs.ObjectPrivileges().FindPrivilege(doTable, "ORDERS", opReadData), nullptr);
  EXPECT_EQ(privs.ObjectPrivileges().FindPrivilege(doTable, "Orders", opUpdateData), nullptr);
  EXPECT_EQ(privs.ObjectPrivileges().FindPrivilege(doNone, "Orders", opReadData), nullptr);
  EXPECT_TRUE(privs.ObjectPrivileges().CheckForNamedObjectPrivileges(doTable, "Orders"));
  EXPECT_FALSE(privs.ObjectPrivileges().CheckForNamedObjectPrivileges(doTable, "Items"));

  TObjectPrivileges copy;
  copy.Assign(privs.ObjectPrivileges());
  TObjectPrivilege* c = copy.Items(0);
  EXPECT_EQ(c->ObjectName(), "Orders");
  EXPECT_EQ(c->ObjectType(), doTable);
  EXPECT_EQ(c->PrivilegeType(), opReadData);
  EXPECT_EQ(c->Fields(), "Total;Customer");
  EXPECT_TRUE(c->GrantOption());

  TSystemPrivilege* s = privs.SystemPrivileges().Add();
  s->SetPrivilegeType(spEditUsers);
  s->SetGrantOption(true);
  TSystemPrivilege s2;
  s2.Assign(*s);
  EXPECT_EQ(s2.PrivilegeType(), spEditUsers);
  EXPECT_TRUE(s2.GrantOption());
  EXPECT_THROW(s2.Assign(*p), host::EConvertError);
  EXPECT_EQ(privs.SystemPrivileges().FindPrivilege(spEditUsers), s);
  EXPECT_EQ(privs.SystemPrivileges().FindPrivilege(spViewUsers), nullptr);

  privs.ClearPrivileges();
  EXPECT_EQ(privs.ObjectPrivileges().Count(), 0);
  EXPECT_EQ(privs.SystemPrivileges().Count(), 0);
  EXPECT_EQ(privs.GroupName(), "Clerks");
}

// Grants, revokes and checks the same rights in both forms and asks both the
// same questions. The security layer owns the real translation; this one maps
// object names and field names to ids the way it must.
class BothFormsTest : public ::testing::Test {
 protected:
  const std::map<std::string, int32_t> objectIds_{{"Orders", 1}, {"Items", 2}};
  const std::map<std::string, int32_t> fieldIds_{{"Total", 3}, {"Customer", 7}, {"Note", 5}};

  void Grant(const std::string& object, TObjectPrivilegeType type, const std::string& fields) {
    TObjectPrivilege* p = pub_.ObjectPrivileges().Add();
    p->SetObjectType(doTable);
    p->SetObjectName(object);
    p->SetPrivilegeType(type);
    p->SetFields(fields);
    TInternalObjPriv* q = stored_.ObjPrivs().Add();
    q->SetObjectID(objectIds_.at(object));
    q->SetObjectType(doTable);
    q->SetPrivilegeID(MapObjectPrivTypeToConst(type));
    std::string ids;
    size_t start = 0;
    while (start < fields.size()) {
      size_t semi = fields.find(';', start);
      if (semi == std::string::npos) semi = fields.size();
      ids += (ids.empty() ? "" : ",") +
             std::to_string(fieldIds_.at(fields.substr(start, semi - start)));
      start = semi + 1;
    }
    q->SetFields(fields.empty(), ids);
  }
  void Revoke(const std::string& object, TObjectPrivilegeType type) {
    delete pub_.ObjectPrivileges().FindPrivilege(doTable, object, type);
    delete stored_.ObjPrivs().FindPrivilege(objectIds_.at(object), MapObjectPrivTypeToConst(type));
  }
  void GrantSystem(TSystemPrivilegeType type) {
    pub_.SystemPrivileges().Add()->SetPrivilegeType(type);
    stored_.SysPrivs().Add()->SetPrivilegeID(MapSystemPrivTypeToConst(type));
  }

  bool PublicAllows(const std::string& object, TObjectPrivilegeType type,
                    const std::string& field) const {
    const TObjectPrivilege* p = pub_.ObjectPrivileges().FindPrivilege(doTable, object, type);
    if (!p) return false;
    if (p->Fields().empty()) return true;
    return (";" + p->Fields() + ";").find(";" + field + ";") != std::string::npos;
  }
  bool StoredAllows(const std::string& object, TObjectPrivilegeType type,
                    const std::string& field) const {
    return stored_.ObjPrivs().CheckPrivilegeAndFieldID(
        objectIds_.at(object), MapObjectPrivTypeToConst(type), fieldIds_.at(field));
  }
  void ExpectBothAgree() {
    for (const auto& [object, id] : objectIds_) {
      for (int t = opCreateObj; t <= opUpdateData; ++t) {
        auto type = static_cast<TObjectPrivilegeType>(t);
        bool pubHas = pub_.ObjectPrivileges().FindPrivilege(doTable, object, type) != nullptr;
        EXPECT_EQ(pubHas,
                  stored_.ObjPrivs().CheckPrivilegeExists(id, MapObjectPrivTypeToConst(type)))
            << object << " " << C_ObjectPrivilegeStr[t];
        for (const auto& [field, fid] : fieldIds_)
          EXPECT_EQ(PublicAllows(object, type, field), StoredAllows(object, type, field))
              << object << " " << C_ObjectPrivilegeStr[t] << " " << field;
      }
    }
    for (int t = spViewUsers; t <= spEditGroups; ++t) {
      auto type = static_cast<TSystemPrivilegeType>(t);
      EXPECT_EQ(pub_.SystemPrivileges().FindPrivilege(type) != nullptr,
                stored_.SysPrivs().CheckPrivilegeExists(MapSystemPrivTypeToConst(type)))
          << C_SystemPrivilegeStr[t];
    }
  }

  TPrivileges pub_;
  TInternalPrivileges stored_;
};

TEST_F(BothFormsTest, GrantRevokeAndCheckAgree) {
  Grant("Orders", opReadData, "");
  Grant("Orders", opUpdateData, "Total;Customer");
  Grant("Items", opInsertData, "Note");
  GrantSystem(spViewUsers);
  GrantSystem(spEditGroups);
  ExpectBothAgree();
  EXPECT_TRUE(StoredAllows("Orders", opUpdateData, "Customer"));
  EXPECT_FALSE(StoredAllows("Orders", opUpdateData, "Note"));
  EXPECT_TRUE(StoredAllows("Orders", opReadData, "Note"));
  stored_.ObjPrivs().SetMasks();
  stored_.SysPrivs().SetMask();
  EXPECT_EQ(stored_.ObjPrivs().TablePrivilegeMask(), 2048 | 4096);
  EXPECT_EQ(stored_.SysPrivs().PrivilegeMask(), 1 | 16);

  Revoke("Orders", opUpdateData);
  ExpectBothAgree();
  EXPECT_FALSE(StoredAllows("Orders", opUpdateData, "Customer"));
  stored_.ObjPrivs().SetMasks();
  EXPECT_EQ(stored_.ObjPrivs().TablePrivilegeMask(), 2048);

  Grant("Orders", opUpdateData, "Note");  // granted again, on another field
  ExpectBothAgree();
  EXPECT_TRUE(StoredAllows("Orders", opUpdateData, "Note"));
  EXPECT_FALSE(StoredAllows("Orders", opUpdateData, "Total"));
}

}  // namespace
}  // namespace tav
