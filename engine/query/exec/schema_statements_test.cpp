#include "engine/query/exec/schema_statements.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "engine/components/tav_database.h"
#include "engine/components/security_manager.h"
#include "engine/components/tav_table.h"
#include "engine/components/testing/scripted_login.h"
#include "engine/query/parse/parser_engine.h"
#include "engine/storage/base/tav_logger.h"
#include "engine/storage/testing/engine_error_test_support.h"
#include "host/db/field_defs.h"
#include "host/db/fields.h"
#include "host/db/index_defs.h"
#include "host/rtl/string_list.h"
#include "host/rtl/sys_utils.h"
#include "os/testing/test_support.h"

namespace tav {
namespace {

using test::ErrorCodeOf;

constexpr char kKey[] = "secret-key";

// An encrypted disk database with table "P" (N integer, Name string(20),
// index "byName") holding three rows; the connection under test is shared
// and starts disconnected.
class SchemaStatementTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.Ok());
    TavEngineStartup();
    {
      TTavDataBase creator(nullptr);
      creator.SetDataBaseName(dir_ / "s.tav");
      creator.SetUseEncryption(true);
      creator.SetMasterKey(kKey);
      creator.CreateDatabase();
      creator.SetMasterKey(kKey);
      creator.Open();
      TTavTable t(nullptr);
      t.SetDataBase(&creator);
      t.SetTableName("P");
      t.FieldDefs().Add("N", host::ftInteger);
      t.FieldDefs().Add("Name", host::ftString, 20);
      t.IndexDefs().Add("byName", "Name", {});
      t.CreateTable();
      t.Open();
      for (int i = 1; i <= 3; ++i) t.AppendRecord({i, "row" + std::to_string(i)});
    }
    db_.SetDataBaseName(dir_ / "s.tav");
    db_.SetMasterKey(kKey);
    db_.SetLockRetryMaximum(2);
    db_.SetLockRetryInterval(1);
  }

  // Parses `sql` and resolves its table as the query provider does: a disk
  // table wins unless the statement says TEMPORARY; the fields come from the
  // table. The parse error, or the statement's result: "ok" or its errors.
  std::string Run(const std::string& sql) {
    engine_ = std::make_unique<TTavParserEngine>();
    engine_->PreParseSQL(sql);
    if (!engine_->ParseSchemaManipulationStatement()) return engine_->ErrorText();
    TTableNameItem* ref = engine_->TableList().Items(0);
    const bool connected = db_.Connected();
    if (!connected) db_.Open();
    if (!ref->MemorySpecified()) {
      if (HasTable(ref->TableName(), false))
        ref->SetMemory(false);
      else if (HasTable(ref->TableName(), true))
        ref->SetMemory(true);
    }
    if (engine_->SchemaParser().Operation != ddCreateTable && HasTable(ref->TableName(), ref->Memory())) {
      TTavBaseTable t(nullptr);
      t.SetDataBase(&db_);
      t.SetTableName(ref->TableName());
      t.SetMemory(ref->Memory());
      t.Open();
      ref->SetTableFields(&t.GetInternalFields());
    }
    if (!connected) {
      db_.Close();
      db_.SetMasterKey(kKey);
    }
    host::TStringList errors;
    const bool ok = ExecuteSchemaStatement(db_, *engine_, errors);
    return ok ? "ok" : errors.Strings(0);
  }

  bool HasTable(const std::string& name, bool memory) {
    if (!db_.Connected() || (db_.IsMemory() && !memory)) return false;
    host::TStringList names;
    db_.GetTableNames(names, memory);
    for (int i = 0; i < names.Count(); ++i)
      if (host::AnsiSameText(names.Strings(i), name)) return true;
    return false;
  }

  std::unique_ptr<TTavTable> Table(const std::string& name, bool memory = false) {
    auto t = std::make_unique<TTavTable>(nullptr);
    t->SetDataBase(&db_);
    t->SetTableName(name);
    t->SetMemory(memory);
    return t;
  }

  // "field:field..." of the table's layout, then "|index:index...".
  std::string Layout(const std::string& name, bool memory = false) {
    auto t = Table(name, memory);
    t->Open();
    std::string out;
    for (int i = 0; i < t->FieldDefs().Count(); ++i) out += t->FieldDefs().Items(i)->Name() + ":";
    out += "|";
    for (int i = 0; i < t->IndexDefs().Count(); ++i) out += t->IndexDefs().Items(i)->Name() + ":";
    return out;
  }

  void MakeMemoryTable(const std::string& name) {
    auto t = Table(name, true);
    t->FieldDefs().Add("A", host::ftInteger);
    t->CreateTable();
    t->Open();
    t->AppendRecord({7});
  }

  os::test::TTempDir dir_;
  TTavDataBase db_{nullptr};
  std::unique_ptr<TTavParserEngine> engine_;
};

TEST_F(SchemaStatementTest, AlterLeavesTheConnectionAsFoundInEachState) {
  test::TScriptedLoginPrompter prompter;  // answers nothing: no dialog may show
  const std::vector<std::pair<bool, bool>> states = {{false, false}, {true, false}, {false, true}, {true, true}};
  int n = 0;
  for (const auto& [connected, exclusive] : states) {
    SCOPED_TRACE(std::to_string(connected) + "/" + std::to_string(exclusive));
    db_.SetExclusive(exclusive);
    if (connected) db_.Open();
    const std::string column = "C" + std::to_string(++n);
    const std::string result = Run("ALTER TABLE P ADD " + column + " INT");
    EXPECT_EQ(result, "ok");
    EXPECT_EQ(db_.Connected(), connected);
    EXPECT_EQ(db_.Exclusive(), exclusive);
    EXPECT_EQ(db_.MasterKey(), kKey);
    if (!db_.Connected()) db_.Open();
    EXPECT_NE(Layout("P").find(column + ":"), std::string::npos);
    db_.Close();
    db_.SetMasterKey(kKey);
  }
  EXPECT_TRUE(prompter.shown.empty());
}

TEST_F(SchemaStatementTest, EachStatementKindOnDiskAndMemoryTables) {
  db_.Open();
  EXPECT_EQ(Run("CREATE TABLE Q (ID INT NOT NULL, Title VARCHAR(30), PRIMARY KEY (ID))"), "ok");
  auto q = Table("Q");
  q->Open();
  EXPECT_EQ(q->FieldDefs().Items(1)->Size(), 30);
  EXPECT_TRUE(q->FieldDefs().Items(0)->Required());
  ASSERT_EQ(q->IndexDefs().Count(), 1);
  EXPECT_TRUE(q->IndexDefs().Items(0)->Options().Contains(host::ixPrimary));
  q.reset();

  EXPECT_EQ(Run("CREATE INDEX byN ON P (N)"), "ok");
  EXPECT_EQ(Layout("P"), "N:Name:|byName:byN:");
  EXPECT_EQ(Run("DROP INDEX P.byName"), "ok");
  EXPECT_EQ(Run("ALTER TABLE P ALTER Name TO Title, ADD Qty INT"), "ok");
  EXPECT_EQ(Layout("P"), "N:Title:Qty:|byN:");
  auto p = Table("P");
  p->Open();
  EXPECT_EQ(p->RecordCount(), 3);
  p.reset();
  EXPECT_EQ(Run("DROP TABLE Q"), "ok");
  EXPECT_FALSE(HasTable("Q", false));

  // TEMPORARY tables: created and dropped in memory without a reconnect;
  // their layout cannot change (the table component's 10766).
  auto browse = Table("P");
  browse->Open();
  EXPECT_EQ(Run("CREATE TABLE TEMPORARY M (A INT, B VARCHAR(5))"), "ok");
  EXPECT_TRUE(HasTable("M", true));
  EXPECT_EQ(ErrorCodeOf([&] { Run("ALTER TABLE TEMPORARY M ADD C INT"); }), kCannotOperateOnThisTableType);
  EXPECT_EQ(ErrorCodeOf([&] { Run("CREATE INDEX byA ON TEMPORARY M (A)"); }), kCannotOperateOnThisTableType);
  EXPECT_EQ(Run("DROP TABLE TEMPORARY M"), "ok");
  EXPECT_FALSE(HasTable("M", true));
  EXPECT_TRUE(browse->Active());
  EXPECT_FALSE(db_.Exclusive());
}

TEST_F(SchemaStatementTest, RefusedChangesLeaveTableAndConnection) {
  db_.Open();
  const std::string before = Layout("P");
  EXPECT_EQ(Run("ALTER TABLE P DROP Missing"), "Field not found : Missing Line 1, Character 20. Token 'Missing'");
  EXPECT_EQ(Run("DROP INDEX P.nothing"), "Index not found");
  EXPECT_EQ(Layout("P"), before);
  EXPECT_TRUE(db_.Connected());
  EXPECT_FALSE(db_.Exclusive());

  // Inside a transaction: refused before anything, the transaction goes on.
  db_.StartTransaction();
  EXPECT_EQ(ErrorCodeOf([&] { Run("DROP TABLE P"); }), kCannotOperateWhileTransactionActive);
  EXPECT_EQ(ErrorCodeOf([&] { Run("CREATE TABLE Z (A INT)"); }), kCannotOperateWhileTransactionActive);
  EXPECT_TRUE(db_.InTransaction());
  db_.Rollback();
  EXPECT_TRUE(HasTable("P", false));
}

TEST_F(SchemaStatementTest, ReconnectRefusedWhileUserStateWouldBeLost) {
  db_.Open();
  const std::string before = Layout("P");
  // A memory table of the user's would be freed by the disconnect.
  MakeMemoryTable("Keep");
  EXPECT_EQ(ErrorCodeOf([&] { Run("ALTER TABLE P ADD X INT"); }), kCannotOperateWithoutExclusiveAccess);
  EXPECT_EQ(ErrorCodeOf([&] { Run("DROP TABLE P"); }), kCannotOperateWithoutExclusiveAccess);
  auto keep = Table("Keep", true);
  keep->Open();
  EXPECT_EQ(keep->RecordCount(), 1);
  keep.reset();
  EXPECT_EQ(Layout("P"), before);
  EXPECT_EQ(Run("DROP TABLE TEMPORARY Keep"), "ok");

  // A pending edit would be lost.
  auto editing = Table("P");
  editing->Open();
  editing->Edit();
  EXPECT_EQ(ErrorCodeOf([&] { Run("CREATE INDEX byN ON P (N)"); }), kCannotOperateWithoutExclusiveAccess);
  EXPECT_EQ(editing->State(), host::dsEdit);
  editing->Cancel();

  // A query result's table is no user state: it goes with the reconnect.
  MakeMemoryTable("$Q0000000000AB");
  EXPECT_EQ(Run("CREATE INDEX byN ON P (N)"), "ok");
  EXPECT_FALSE(editing->Active());
  EXPECT_TRUE(db_.Connected());
  EXPECT_FALSE(db_.Exclusive());
  EXPECT_EQ(Layout("P"), "N:Name:|byName:byN:");
}

TEST_F(SchemaStatementTest, ExclusiveConnectRefusedRestoresTheSharedConnection) {
  db_.Open();
  TTavDataBase other(nullptr);
  other.SetDataBaseName(dir_ / "s.tav");
  other.SetMasterKey(kKey);
  other.Open();
  EXPECT_NE(ErrorCodeOf([&] { Run("DROP TABLE P"); }), 0);
  EXPECT_TRUE(db_.Connected());
  EXPECT_FALSE(db_.Exclusive());
  EXPECT_EQ(db_.MasterKey(), kKey);
  EXPECT_TRUE(HasTable("P", false));
  other.Close();
  EXPECT_EQ(Run("DROP TABLE P"), "ok");
  EXPECT_FALSE(HasTable("P", false));
}

TEST_F(SchemaStatementTest, PrivilegeRefusalsPassThroughAndTheLogonHolds) {
  const std::string path = dir_ / "secure.tav";
  auto logon = [](const std::string& user, const std::string& password) {
    return [user, password](host::TObject*, std::string& u, std::string& p, std::string& key) {
      u = user;
      p = password;
      key = kKey;
    };
  };
  {
    TTavDataBase admin(nullptr);
    admin.SetDataBaseName(path);
    admin.SetUseEncryption(true);
    admin.SetMasterKey(kKey);
    admin.SetEnforceSecurity(true);
    admin.CreateDatabase();
    admin.SetBeforeLogin(logon(kAdministratorUser, "anything"));
    admin.Open();
    TTavTable t(nullptr);
    t.SetDataBase(&admin);
    t.SetTableName("People");
    t.FieldDefs().Add("ID", host::ftInteger);
    t.CreateTable();
    admin.SecurityManager().AddGroup("clerks");
    admin.SecurityManager().AddUser("clerk", "clerk-pw", "clerks");
    TPrivileges p;
    p.SetGroupName("clerks");
    TObjectPrivilege* item = p.ObjectPrivileges().Add();
    item->SetObjectType(doTable);
    item->SetObjectName("People");
    item->SetPrivilegeType(opExecuteObj);
    item->SetFields("ALL");
    admin.SecurityManager().SetPrivileges(p, true);
  }
  db_.SetDataBaseName(path);
  db_.SetBeforeLogin(logon("clerk", "clerk-pw"));
  db_.Open();
  EXPECT_EQ(ErrorCodeOf([&] { Run("DROP TABLE People"); }), kPrivilegeRequired);
  EXPECT_EQ(ErrorCodeOf([&] { Run("CREATE TABLE Other (A INT)"); }), kPrivilegeRequired);
  EXPECT_TRUE(db_.Connected());
  EXPECT_FALSE(db_.Exclusive());
  EXPECT_EQ(db_.SecurityManager().UserName(), "clerk");
  EXPECT_TRUE(HasTable("People", false));
}

}  // namespace
}  // namespace tav
