#include "engine/components/security_manager.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "engine/components/tav_base_table.h"
#include "engine/components/tav_database.h"
#include "engine/components/testing/scripted_login.h"
#include "engine/storage/base/tav_errors.h"
#include "engine/storage/crypto/sha1.h"
#include "engine/storage/testing/engine_error_test_support.h"
#include "engine/storage/testing/lock_test_support.h"
#include "host/db/field_defs.h"
#include "host/db/fields.h"
#include "host/db/index_defs.h"
#include "host/rtl/string_list.h"
#include "os/clock.h"
#include "os/testing/test_support.h"

namespace tav {
namespace {

using test::ErrorCodeOf;

// Only the engine lifts security (for a rebuild): no caller can.
template <typename T>
concept CanLiftSecurity = requires(T& db) { db.SetTempPrivilegeStatus(kAllPrivileges); };
static_assert(!CanLiftSecurity<TTavDataBase>);

const char kKey[] = "Secret-Key-4711";
const char kUserName[] = "ZebulonTheClerk";
const char kUserPassword[] = "pw-of-zebulon";

void Grant(TPrivileges& p, const std::string& table, TObjectPrivilegeType type,
           const std::string& fields = "ALL") {
  TObjectPrivilege* item = p.ObjectPrivileges().Add();
  item->SetObjectType(doTable);
  item->SetObjectName(table);
  item->SetPrivilegeType(type);
  item->SetFields(fields);
}

// "type on table (fields)" for every object privilege, in the order read.
std::string Describe(const TPrivileges& p) {
  std::string out;
  for (int i = 0; i < p.ObjectPrivileges().Count(); ++i) {
    const TObjectPrivilege& o = *p.ObjectPrivileges().Items(i);
    out += std::string(out.empty() ? "" : "; ") + C_ObjectPrivilegeStr[o.PrivilegeType()] + " on " +
           o.ObjectName() + " (" + o.Fields() + ")";
  }
  for (int i = 0; i < p.SystemPrivileges().Count(); ++i)
    out += std::string("; ") + C_SystemPrivilegeStr[p.SystemPrivileges().Items(i)->PrivilegeType()];
  return out;
}

class SecurityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.Ok());
    auto db = NewDataBase();
    db->SetUseEncryption(true);
    db->SetMasterKey(kKey);
    db->SetEnforceSecurity(true);
    db->CreateDatabase();
  }

  std::string Path() const { return dir_ / "secure.tav"; }

  std::unique_ptr<TTavDataBase> NewDataBase() {
    auto db = std::make_unique<TTavDataBase>(nullptr);
    db->SetDataBaseName(Path());
    db->SetLockRetryMaximum(2);
    db->SetLockRetryInterval(1);
    return db;
  }

  // A connection that logs on through BeforeLogin (not yet connected).
  std::unique_ptr<TTavDataBase> As(const std::string& user, const std::string& password) {
    auto db = NewDataBase();
    db->SetBeforeLogin([user, password](host::TObject*, std::string& u, std::string& p, std::string& key) {
      u = user;
      p = password;
      key = kKey;
    });
    return db;
  }

  std::unique_ptr<TTavDataBase> Connected(const std::string& user, const std::string& password) {
    auto db = As(user, password);
    db->Open();
    return db;
  }

  static std::unique_ptr<TTavBaseTable> Table(TTavDataBase& db, const std::string& name) {
    auto t = std::make_unique<TTavBaseTable>(nullptr);
    t->SetDataBase(&db);
    t->SetTableName(name);
    return t;
  }

  // The first logon, then table "People" (ID, Name, Secret, Memo) with two
  // rows, table "Other", the group "clerks" and its user.
  void Populate() {
    auto db = Connected(kAdministratorUser, "anything");
    TSecurityManager& sm = db->SecurityManager();
    for (const char* name : {"People", "Other"}) {
      auto t = Table(*db, name);
      t->FieldDefs().Add("ID", host::ftInteger, 0, true);
      t->FieldDefs().Add("Name", host::ftString, 20);
      t->FieldDefs().Add("Secret", host::ftString, 20);
      t->FieldDefs().Add("Memo", host::ftMemo);
      t->IndexDefs().Add("pk", "ID", host::TIndexOptions{host::ixPrimary, host::ixUnique});
      t->CreateTable();
      t->Open();
      for (int id : {1, 2}) {
        t->Append();
        t->FieldByName("ID")->SetAsInteger(id);
        t->FieldByName("Name")->SetAsString("name" + std::to_string(id));
        t->FieldByName("Secret")->SetAsString("secret" + std::to_string(id));
        t->FieldByName("Memo")->SetAsString("memo" + std::to_string(id));
        t->Post();
      }
    }
    sm.AddGroup("clerks");
    sm.AddUser(kUserName, kUserPassword, "clerks");
  }

  void SetClerks(const std::function<void(TPrivileges&)>& fill, bool replace = true) {
    auto db = Connected(kAdministratorUser, kDefaultAdministratorPassword);
    TPrivileges p;
    p.SetGroupName("clerks");
    fill(p);
    db->SecurityManager().SetPrivileges(p, replace);
  }

  os::test::TTempDir dir_;
};

// ---------------------------------------------------------------------------
// Logon

TEST_F(SecurityTest, FirstLogonMakesTheAdministratorWithTheDefaultPassword) {
  // Before the first logon the built-in name counts only in its exact case.
  EXPECT_EQ(ErrorCodeOf([&] { Connected("Administrator", "x"); }), 10036);
  {
    auto db = Connected(kAdministratorUser, "whatever is typed");
    TSecurityManager& sm = db->SecurityManager();
    EXPECT_TRUE(sm.LoggedOn());
    EXPECT_EQ(sm.UserName(), kAdministratorUser);
    EXPECT_EQ(sm.GroupName(), kAdministratorsGroup);
    EXPECT_EQ(db->DataBasePrivileges(), 1 | 2 | 8 | 16);
    host::TStringList users;
    sm.ListUserNames("", users);
    EXPECT_EQ(users.CommaText(), "administrator");
  }
  // From now on the password counts, the default one first.
  EXPECT_EQ(ErrorCodeOf([&] { Connected(kAdministratorUser, "whatever is typed"); }), 10036);
  auto db = Connected(kAdministratorUser, kDefaultAdministratorPassword);
  db->SecurityManager().ChangePassword(kAdministratorUser, "new-admin-pw");
  db.reset();
  EXPECT_EQ(ErrorCodeOf([&] { Connected(kAdministratorUser, kDefaultAdministratorPassword); }), 10036);
  // The user index ignores letter case: the stored name logs on.
  EXPECT_EQ(Connected("ADMINISTRATOR", "new-admin-pw")->SecurityManager().UserName(), kAdministratorUser);
}

TEST_F(SecurityTest, RefusedLogonsLeaveTheConnectionClosedAndNothingChanged) {
  os::TManualClock clock(46000.5);
  os::TScopedClock installed(clock);
  Populate();
  clock.SetNow(46000.5 + 31);
  struct TCase {
    const char* User;
    const char* Password;
    int32_t Expiry;
    const char* Custom;  // in the message, or nullptr for a logon
  } cases[] = {
      {"nobody", "x", 0, ""},
      {kUserName, "wrong", 0, ""},
      {kUserName, kUserPassword, 30, "The password has expired"},
      {kUserName, kUserPassword, 32, nullptr},
      {kUserName, kUserPassword, 0, nullptr},
      // Only the exact built-in name is spared expiry.
      {kAdministratorUser, kDefaultAdministratorPassword, 30, nullptr},
      {"Administrator", kDefaultAdministratorPassword, 30, "The password has expired"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.User) + "/" + c.Password + "/" + std::to_string(c.Expiry));
    auto db = As(c.User, c.Password);
    db->SecurityManager().SetPasswordExpiryPeriod(c.Expiry);
    std::string message;
    const int code = ErrorCodeOf([&] { db->Open(); }, &message);
    if (!c.Custom) {
      EXPECT_EQ(code, 0) << message;
      EXPECT_TRUE(db->SecurityManager().LoggedOn());
      continue;
    }
    EXPECT_EQ(code, 10036);
    EXPECT_NE(message.find(c.Custom), std::string::npos) << message;
    EXPECT_FALSE(db->Connected());
    EXPECT_FALSE(db->SecurityManager().LoggedOn());
  }
  auto db = Connected(kAdministratorUser, kDefaultAdministratorPassword);
  host::TStringList users;
  db->SecurityManager().ListUserNames("", users);
  EXPECT_EQ(users.CommaText(), std::string("administrator,") + kUserName);
}

TEST_F(SecurityTest, WithoutBeforeLoginEachFailureIsShownThenTheDialogAsksAgain) {
  Populate();
  test::TScriptedLoginPrompter prompter;
  {
    auto db = NewDataBase();
    db->SetMasterKey(kKey);
    prompter.Answer({true, "", kUserName, "wrong"});
    prompter.Answer({true, "", "nobody", "x"});
    prompter.Answer({true, "", kUserName, kUserPassword});
    db->Open();
    EXPECT_TRUE(db->Connected());
    EXPECT_EQ(db->SecurityManager().UserName(), kUserName);
    ASSERT_EQ(prompter.shown.size(), 3u);
    ASSERT_EQ(prompter.messages.size(), 2u);
    for (const std::string& m : prompter.messages) EXPECT_NE(m.find("Bad user name or password"), std::string::npos);
  }
  // A first logon that succeeds is not asked again.
  prompter.shown.clear();
  prompter.messages.clear();
  {
    auto db = NewDataBase();
    db->SetMasterKey(kKey);
    prompter.Answer({true, "", kUserName, kUserPassword});
    db->Open();
    EXPECT_EQ(prompter.shown.size(), 1u);
    EXPECT_TRUE(prompter.messages.empty());
  }
  // Cancelled after a failure: not connected, no one logged on.
  prompter.shown.clear();
  prompter.messages.clear();
  auto db = NewDataBase();
  db->SetMasterKey(kKey);
  prompter.Answer({true, "", kUserName, "wrong"});
  prompter.Answer({false, "", "", ""});
  EXPECT_EQ(ErrorCodeOf([&] { db->Open(); }), 10015);
  EXPECT_EQ(prompter.shown.size(), 2u);
  EXPECT_EQ(prompter.messages.size(), 1u);
  EXPECT_FALSE(db->Connected());
  EXPECT_FALSE(db->SecurityManager().LoggedOn());
}

// ---------------------------------------------------------------------------
// Privileges

TEST_F(SecurityTest, PrivilegesReadBackAsWritten) {
  Populate();
  auto db = Connected(kAdministratorUser, kDefaultAdministratorPassword);
  TSecurityManager& sm = db->SecurityManager();
  TPrivileges p;
  p.SetGroupName("clerks");
  Grant(p, "People", opExecuteObj);
  Grant(p, "People", opReadData, "id,Name");
  Grant(p, "People", opUpdateData, "ID,Name,Secret,Memo");  // every field: ALL
  Grant(p, "People", opInsertData, "Name");                  // only read and update keep fields
  Grant(p, "ALL", opCreateObj);
  p.SystemPrivileges().Add()->SetPrivilegeType(spViewUsers);
  sm.SetPrivileges(p, true);

  TPrivileges back;
  back.SetGroupName("clerks");
  sm.GetPrivileges(doTable, "People", back);
  EXPECT_EQ(Describe(back),
            "Open object on People (ALL); Insert data on People (ALL); Read data on People (ID,NAME); "
            "Update data on People (ALL); View users");
  sm.GetPrivileges(doTable, "", back);
  EXPECT_EQ(Describe(back),
            "Create Object on ALL (ALL); Open object on People (ALL); Insert data on People (ALL); "
            "Read data on People (ID,NAME); Update data on People (ALL); View users");
  // Adding keeps what is there; replacing drops it.
  TPrivileges more;
  more.SetGroupName("clerks");
  Grant(more, "Other", opExecuteObj);
  sm.SetPrivileges(more, false);
  sm.GetPrivileges(doTable, "*", back);
  EXPECT_NE(Describe(back).find("Open object on Other"), std::string::npos);
  EXPECT_NE(Describe(back).find("Open object on People"), std::string::npos);
  sm.SetPrivileges(more, true);
  sm.GetPrivileges(doTable, "ALL", back);
  EXPECT_EQ(Describe(back), "Open object on Other (ALL)");
  sm.RevokePrivileges("clerks");
  sm.GetPrivileges(doTable, "ALL", back);
  EXPECT_EQ(Describe(back), "");
  // A list too long for "FieldsShort" goes to the memo field and reads
  // back the same.
  {
    auto wide = Table(*db, "Wide");
    for (int i = 0; i < 60; ++i) wide->FieldDefs().Add("F" + std::to_string(i), host::ftInteger);
    wide->CreateTable();
  }
  std::string named;
  for (int i = 0; i < 59; ++i) named += (i ? ",F" : "F") + std::to_string(i);
  TPrivileges wideRead;
  wideRead.SetGroupName("clerks");
  Grant(wideRead, "Wide", opReadData, named);
  sm.SetPrivileges(wideRead, true);
  sm.GetPrivileges(doTable, "Wide", back);
  EXPECT_EQ(Describe(back), "Read data on Wide (" + named + ")");
  // The administrators hold everything.
  back.SetGroupName(kAdministratorsGroup);
  sm.GetPrivileges(doTable, "People", back);
  EXPECT_EQ(back.ObjectPrivileges().Count(), 8);
  EXPECT_EQ(back.SystemPrivileges().Count(), 4);
}

TEST_F(SecurityTest, AUserIsRefusedWhatTheGroupLacks) {
  Populate();
  SetClerks([](TPrivileges& p) {
    Grant(p, "People", opExecuteObj);
    Grant(p, "People", opReadData, "ID,Name");
    Grant(p, "People", opUpdateData, "Name");
  });
  auto db = Connected(kUserName, kUserPassword);
  EXPECT_EQ(db->DataBasePrivileges(), 0);
  EXPECT_EQ(ErrorCodeOf([&] { Table(*db, "Other")->Open(); }), 10624);
  auto t = Table(*db, "People");
  t->Open();
  EXPECT_EQ(t->FieldByName("Name")->AsString(), "name1");
  EXPECT_FALSE(t->FieldByName("Secret")->Visible());
  EXPECT_TRUE(t->FieldByName("ID")->ReadOnly());
  EXPECT_FALSE(t->FieldByName("Name")->ReadOnly());
  // Hidden fields do not read through any route.
  EXPECT_EQ(ErrorCodeOf([&] { t->FieldByName("Secret")->AsString(); }), 10624);
  EXPECT_EQ(ErrorCodeOf([&] { t->FieldByName("Memo")->AsString(); }), 10624);
  EXPECT_EQ(ErrorCodeOf([&] { t->CreateBlobStream(t->FieldByName("Memo"), host::bmRead); }), 10624);
  EXPECT_EQ(ErrorCodeOf([&] { t->Lookup("ID", 2, "Secret"); }), 10624);
  EXPECT_EQ(t->Lookup("ID", 2, "Name").AsString(), "name2");
  // Nor does a hidden field select records through a filter.
  t->SetFilterText("Secret = 'secret1'");
  EXPECT_NE(ErrorCodeOf([&] { t->SetFiltered(true); }), 0);
  EXPECT_FALSE(t->Filtered());
  t->SetFilterText("Name = 'name2'");
  t->SetFiltered(true);
  EXPECT_EQ(t->RecordCount(), 1);
  t->SetFiltered(false);
  t->First();
  // Update the one field granted; no insert, no delete.
  t->Edit();
  t->FieldByName("Name")->SetAsString("renamed");
  t->Post();
  EXPECT_EQ(t->FieldByName("Name")->AsString(), "renamed");
  t->Append();
  t->FieldByName("Name")->SetAsString("new");
  EXPECT_EQ(ErrorCodeOf([&] { t->Post(); }), 10624);
  t->Cancel();
  EXPECT_EQ(ErrorCodeOf([&] { t->Delete(); }), 10624);
  EXPECT_EQ(t->RecordCount(), 2);
  // The table's own name decides, whatever letter case opens it.
  auto lower = Table(*db, "people");
  lower->Open();
  EXPECT_FALSE(lower->FieldByName("Secret")->Visible());
  // No create privilege.
  auto n = Table(*db, "NewOne");
  n->FieldDefs().Add("ID", host::ftInteger);
  EXPECT_EQ(ErrorCodeOf([&] { n->CreateTable(); }), 10624);
  // No administration.
  TSecurityManager& sm = db->SecurityManager();
  host::TStringList list;
  TPrivileges p;
  p.SetGroupName("clerks");
  const std::function<void()> refused[] = {
      [&] { sm.AddGroup("other"); },
      [&] { sm.RenameGroup("clerks", "clerics"); },
      [&] { sm.DeleteGroup("clerks"); },
      [&] { sm.AddUser("someone", "pw", "clerks"); },
      [&] { sm.DeleteUser(kAdministratorUser); },
      [&] { sm.ChangeGroup(kUserName, "clerks"); },
      [&] { sm.ChangePassword(kAdministratorUser, "pw"); },
      [&] { sm.ListGroupNames(list); },
      [&] { sm.ListUserNames("", list); },
      [&] { sm.GetUserGroupName(kAdministratorUser); },
      [&] { sm.SetPrivileges(p, false); },
      [&] { sm.RevokePrivileges("clerks"); },
  };
  for (size_t i = 0; i < std::size(refused); ++i) EXPECT_EQ(ErrorCodeOf(refused[i]), 10624) << i;
  // What concerns oneself needs no privilege.
  EXPECT_EQ(sm.GetUserGroupName(kUserName), "clerks");
  sm.GetPrivileges(doTable, "", p);
  EXPECT_EQ(p.ObjectPrivileges().Count(), 3);
  sm.ChangePassword(kUserName, "changed");
  db.reset();
  EXPECT_EQ(Connected(kUserName, "changed")->SecurityManager().GroupName(), "clerks");
}

TEST_F(SecurityTest, NoRouteLeadsIntoTheAdministrators) {
  Populate();
  {
    auto db = Connected(kAdministratorUser, kDefaultAdministratorPassword);
    db->SecurityManager().AddGroup("editors");
    db->SecurityManager().AddUser("eddie", "pw-eddie", "editors");
    TPrivileges p;
    p.SetGroupName("editors");
    for (TSystemPrivilegeType s : {spViewUsers, spEditUsers, spViewGroups, spEditGroups})
      p.SystemPrivileges().Add()->SetPrivilegeType(s);
    db->SecurityManager().SetPrivileges(p, true);
    // Not even its members edit the group's privileges, rename or delete it.
    p.SetGroupName(kAdministratorsGroup);
    EXPECT_EQ(ErrorCodeOf([&] { db->SecurityManager().SetPrivileges(p, true); }), 10123);
    EXPECT_EQ(ErrorCodeOf([&] { db->SecurityManager().RevokePrivileges("Administrators"); }), 10123);
    EXPECT_EQ(ErrorCodeOf([&] { db->SecurityManager().DeleteGroup(kAdministratorsGroup); }), 10124);
    EXPECT_EQ(ErrorCodeOf([&] { db->SecurityManager().RenameGroup(kAdministratorsGroup, "admins"); }), 10123);
  }
  auto db = Connected("eddie", "pw-eddie");
  EXPECT_EQ(db->DataBasePrivileges(), 1 | 2 | 8 | 16);
  TSecurityManager& sm = db->SecurityManager();
  EXPECT_EQ(ErrorCodeOf([&] { sm.RenameGroup("editors", "Administrators"); }), 10123);
  EXPECT_EQ(ErrorCodeOf([&] { sm.RenameGroup(kAdministratorsGroup, "mine"); }), 10123);
  EXPECT_EQ(ErrorCodeOf([&] { sm.AddUser("friend", "pw", kAdministratorsGroup); }), 10624);
  EXPECT_EQ(ErrorCodeOf([&] { sm.ChangeGroup("eddie", kAdministratorsGroup); }), 10624);
  EXPECT_EQ(ErrorCodeOf([&] { sm.ChangeGroup(kAdministratorUser, "editors"); }), 10624);
  EXPECT_EQ(ErrorCodeOf([&] { sm.ChangePassword(kAdministratorUser, "taken-over"); }), 10624);
  EXPECT_EQ(ErrorCodeOf([&] { sm.DeleteUser(kAdministratorUser); }), 10624);
  EXPECT_EQ(sm.GetUserGroupName("eddie"), "editors");
  // Everything else the editors may do.
  sm.AddUser("friend", "pw", "clerks");
  sm.ChangeGroup("friend", "editors");
  sm.ChangePassword("friend", "pw2");
  host::TStringList list;
  sm.ListUserNames("editors", list);
  EXPECT_EQ(list.CommaText(), "eddie,friend");
  sm.DeleteUser("friend");
  const int32_t id = sm.RenameGroup("clerks", "clerics");
  EXPECT_EQ(id, sm.GetGroupIDFromName("CLERICS"));
  list.Clear();
  sm.ListGroupNames(list);
  EXPECT_EQ(list.CommaText(), "administrators,clerics,editors");
  db.reset();
  EXPECT_EQ(Connected(kAdministratorUser, kDefaultAdministratorPassword)->SecurityManager().GroupName(),
            kAdministratorsGroup);
}

TEST_F(SecurityTest, NamesLookupsAndAClosedManager) {
  Populate();
  auto db = Connected(kAdministratorUser, kDefaultAdministratorPassword);
  TSecurityManager& sm = db->SecurityManager();
  sm.AddGroup("ab");
  EXPECT_EQ(ErrorCodeOf([&] { sm.AddGroup("a"); }), 9605);
  EXPECT_EQ(ErrorCodeOf([&] { sm.AddGroup(std::string(31, 'g')); }), 9605);
  sm.AddGroup(std::string(30, 'g'));
  std::string message;
  EXPECT_EQ(ErrorCodeOf([&] { sm.AddUser("u", "pw", "ab"); }, &message), 9605);
  EXPECT_NE(message.find("u is not a valid value (min. length 2, max. length 30)"), std::string::npos);
  EXPECT_EQ(ErrorCodeOf([&] { sm.AddGroup("AB"); }), 8580);
  EXPECT_EQ(ErrorCodeOf([&] { sm.AddUser(kUserName, "pw", "ab"); }), 8580);
  EXPECT_EQ(ErrorCodeOf([&] { sm.AddUser("newbie", "pw", "nogroup"); }), 8579);
  EXPECT_EQ(ErrorCodeOf([&] { sm.RenameGroup("nogroup", "other"); }), 8579);
  EXPECT_EQ(ErrorCodeOf([&] { sm.RenameGroup("ab", "clerks"); }), 8580);
  EXPECT_EQ(ErrorCodeOf([&] { sm.ChangeGroup("nobody", "ab"); }), 8579);
  EXPECT_EQ(ErrorCodeOf([&] { sm.ChangePassword("nobody", "pw"); }), 8579);
  EXPECT_EQ(ErrorCodeOf([&] { sm.GetGroupNameFromID(999); }), 8579);
  EXPECT_EQ(sm.GetUserGroupName("nobody"), "");
  sm.DeleteUser("nobody");  // nothing to delete is no error
  EXPECT_EQ(sm.GetGroupNameFromID(sm.GetGroupIDFromName("CLERKS")), "clerks");
  EXPECT_EQ(sm.GetObjectNameFromID(sm.GetObjectIDFromName("people")), "People");
  EXPECT_EQ(sm.GetObjectIDFromName("ALL"), 0);
  EXPECT_EQ(sm.GetObjectNameFromID(0), "ALL");
  EXPECT_EQ(ErrorCodeOf([&] { sm.GetObjectIDFromName("NoTable"); }), 8579);
  EXPECT_TRUE(db->QueryObjectPrivilegeExists(doTable, "People", 2048));
  EXPECT_EQ(ErrorCodeOf([&] { db->QueryObjectPrivilegeExists(doTable, "NoTable", 2048); }), 8579);
  db->Close();
  EXPECT_EQ(ErrorCodeOf([&] { sm.AddGroup("late"); }, &message), 8581);
  EXPECT_NE(message.find("The security manager is not active"), std::string::npos);
  EXPECT_FALSE(sm.CheckIfLogonHasSystemPrivilege(spViewUsers));
}

TEST_F(SecurityTest, UserNamesAndDigestsNeverStandInClear) {
  Populate();
  const std::string bytes = os::test::ReadWholeFile(Path());
  uint8_t digest[kSha1DigestSize];
  GetSHA1FromString(kUserPassword, digest);
  EXPECT_EQ(bytes.find(kUserName), std::string::npos);
  EXPECT_EQ(bytes.find("clerks"), std::string::npos);
  EXPECT_EQ(bytes.find(std::string(reinterpret_cast<const char*>(digest), 8)), std::string::npos);
  EXPECT_EQ(bytes.find(kUserPassword), std::string::npos);
}

TEST_F(SecurityTest, DeletingAGroupIsOneTransaction) {
  Populate();
  SetClerks([](TPrivileges& p) {
    Grant(p, "People", opExecuteObj);
    p.SystemPrivileges().Add()->SetPrivilegeType(spViewUsers);
  });
  auto db = Connected(kAdministratorUser, kDefaultAdministratorPassword);
  TSecurityManager& sm = db->SecurityManager();
  sm.AddUser("carol", "pw-carol", "clerks");
  auto state = [&] {
    host::TStringList users;
    sm.ListUserNames("", users);
    TPrivileges p;
    p.SetGroupName("clerks");
    std::string privileges = "-";
    if (!ErrorCodeOf([&] { sm.GetPrivileges(doTable, "", p); })) privileges = Describe(p);
    return users.CommaText() + " | " + privileges;
  };
  const std::string before = state();
  EXPECT_EQ(before, std::string("administrator,carol,") + kUserName +
                        " | Open object on People (ALL); View users");
  // Another connection holds the users table: the deletion fails after the
  // group and its privileges went, and all of it comes back.
  {
    auto other = Connected(kAdministratorUser, kDefaultAdministratorPassword);
    TTableDef users(nullptr);
    other->QueryTableDef(kSecUsersTableName, false, users);
    other->DiskMgr()->SetTableLock(static_cast<uint32_t>(users.TableID()), kTableWriteLock);
    EXPECT_EQ(ErrorCodeOf([&] { sm.DeleteGroup("clerks"); }), 10249);
    EXPECT_FALSE(db->InTransaction());
  }
  EXPECT_EQ(state(), before);
  db->StartTransaction();
  EXPECT_EQ(ErrorCodeOf([&] { sm.DeleteGroup("clerks"); }), 10122);
  db->Rollback();
  EXPECT_TRUE(sm.DeleteGroup("clerks"));
  EXPECT_EQ(state(), "administrator | -");
  EXPECT_EQ(ErrorCodeOf([&] { sm.DeleteGroup("clerks"); }), 8579);
  EXPECT_EQ(ErrorCodeOf([&] { Connected("carol", "pw-carol"); }), 10036);
  // A new group of the old name starts with nothing.
  sm.AddGroup("clerks");
  EXPECT_EQ(state(), "administrator | ");
}

TEST_F(SecurityTest, GrantsOfOneProcessHoldInAnotherOnceItReconnects) {
  Populate();
  SetClerks([](TPrivileges& p) { Grant(p, "People", opExecuteObj); });
  test::TChild child([&](test::TChildSide& side) {
    auto db = Connected(kUserName, kUserPassword);
    const int before = ErrorCodeOf([&] { Table(*db, "Other")->Open(); });
    side.Send(static_cast<uint64_t>(before));
    if (!side.WaitGo()) return 2;
    // The group's privileges were read at connect.
    const int still = ErrorCodeOf([&] { Table(*db, "Other")->Open(); });
    db->Close();
    db->Open();
    auto t = Table(*db, "Other");
    t->Open();
    side.Send(static_cast<uint64_t>(still));
    return t->FieldByName("Name")->AsString() == "name1" ? 0 : 3;
  });
  ASSERT_TRUE(child.Started());
  uint64_t code = 0;
  ASSERT_TRUE(child.Receive(code));
  EXPECT_EQ(code, 10624u);
  SetClerks([](TPrivileges& p) { Grant(p, "Other", opExecuteObj, "ALL"); Grant(p, "Other", opReadData); },
            false);
  child.Go();
  ASSERT_TRUE(child.Receive(code));
  EXPECT_EQ(code, 10624u);
  EXPECT_EQ(child.Wait(), 0);
}

TEST_F(SecurityTest, AllTablesGrantCountsOnlyWhereATableIsNotNamed) {
  Populate();
  SetClerks([](TPrivileges& p) {
    Grant(p, "ALL", opExecuteObj);
    Grant(p, "ALL", opReadData);
    Grant(p, "People", opReadData, "Name");
  });
  auto db = Connected(kUserName, kUserPassword);
  // "Other" is named nowhere: the grants for every table hold.
  auto other = Table(*db, "Other");
  other->Open();
  EXPECT_EQ(other->FieldByName("Secret")->AsString(), "secret1");
  // "People" has an entry of its own and none to open it.
  EXPECT_EQ(ErrorCodeOf([&] { Table(*db, "People")->Open(); }), 10624);
  EXPECT_TRUE(db->QueryObjectPrivilegeExists(doTable, "Other", 2048));
  EXPECT_FALSE(db->QueryObjectPrivilegeExists(doTable, "People", 8));
  EXPECT_TRUE(db->QueryObjectPrivilegeExists(doTable, "People", 2048));
  EXPECT_FALSE(db->QueryObjectPrivilegeExists(doTable, "ALL", 2));
}


TEST_F(SecurityTest, DeletingAndRenamingTablesNeedTheirObjectPrivileges) {
  Populate();
  SetClerks([](TPrivileges& p) {
    Grant(p, "People", opExecuteObj);
    Grant(p, "Other", opDeleteObj);
    Grant(p, "Other", opAlterObj);
  });
  auto exclusive = [&](const std::string& user, const std::string& password) {
    auto db = As(user, password);
    db->SetExclusive(true);
    db->Open();
    return db;
  };
  {
    auto db = exclusive(kUserName, kUserPassword);
    EXPECT_EQ(ErrorCodeOf([&] { db->DeleteTable("People", false); }), 10624);
    EXPECT_EQ(ErrorCodeOf([&] { db->RenameTable("People", "Folk"); }), 10624);
    db->RenameTable("Other", "Others");
  }
  {
    // Privileges are read at logon: the renamed table is known by its new
    // name from the next connection on.
    auto db = exclusive(kUserName, kUserPassword);
    db->DeleteTable("Others", false);
    host::TStringList names;
    db->GetTableNames(names, false);
    EXPECT_EQ(names.IndexOf("People"), 0) << names.Text();
    EXPECT_EQ(names.IndexOf("Others"), -1) << names.Text();
  }
  // The administrators pass.
  auto admin = exclusive(kAdministratorUser, kDefaultAdministratorPassword);
  admin->RenameTable("People", "Folk");
  admin->DeleteTable("Folk", false);
}

}  // namespace
}  // namespace tav
