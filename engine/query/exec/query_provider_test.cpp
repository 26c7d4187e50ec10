#include "engine/query/exec/query_provider.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "engine/components/security_manager.h"
#include "engine/components/tav_base_table.h"
#include "engine/components/tav_database.h"
#include "engine/query/testing/sql_script.h"
#include "engine/storage/table/privileges.h"
#include "host/db/field_defs.h"
#include "host/db/fields.h"
#include "host/db/index_defs.h"
#include "os/testing/test_support.h"

namespace tav {
namespace {

std::string Join(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& l : lines) out += l + "\n";
  return out;
}

class QueryProviderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_.SetDataBaseName(kMemoryDataBaseName);
    db_.Open();
  }
  void TearDown() override {
    runner_.reset();
    db_.Close();
  }
  // Runs a script; its failures, one per line.
  std::string Run(const std::string& script) { return Join(runner_->Run(script)); }

  TTavDataBase db_{nullptr};
  std::unique_ptr<testing::TSqlScriptRunner> runner_ = std::make_unique<testing::TSqlScriptRunner>(db_, true);
};

TEST_F(QueryProviderTest, ValidationErrorsAndTheirText) {
  TTavQueryProvider& p = runner_->Provider();
  p.SetSQL(host::TStringList());
  EXPECT_FALSE(p.ValidateSQL());
  EXPECT_EQ(p.GetErrorsAsText(), "SQL statment is empty. ");
  ASSERT_EQ(Run("table T (K integer)\n"), "");
  // Two missing tables: each line is followed by ". ".
  p.SetSQL("SELECT * FROM A, B");
  EXPECT_FALSE(p.ValidateSQL());
  EXPECT_EQ(p.GetErrors().Count(), 2);
  EXPECT_EQ(p.GetErrorsAsText().substr(0, 36), "Table not found - A. Table not found");
  p.SetSQL("SELECT K FROM T");
  ASSERT_TRUE(p.ValidateSQL());
  EXPECT_FALSE(p.ExecSQL());
  EXPECT_EQ(p.GetErrorsAsText(), "SQL statement cannot be executed by ExecSQL. ");
  // A statement that failed its validation does not run.
  p.SetSQL("DELETE FROM T WHERE NOPE = 1");
  EXPECT_FALSE(p.ValidateSQL());
  EXPECT_FALSE(p.PreparePlan());
  EXPECT_FALSE(p.ExecSQL());
  // A query without a table, alone or as a subquery, is refused here and
  // never reaches the planner.
  for (const char* text : {"SELECT *", "SELECT * FROM ", "SELECT 1", "SELECT K FROM T WHERE K IN (SELECT 1)",
                           "SELECT K FROM T WHERE EXISTS (SELECT *)"}) {
    p.SetSQL(text);
    EXPECT_FALSE(p.ValidateSQL()) << text;
    EXPECT_FALSE(p.PreparePlan()) << text;
    EXPECT_FALSE(p.CreateResultSet()) << text;
  }
  p.SetSQL("SELECT *");
  ASSERT_FALSE(p.ValidateSQL());
  EXPECT_EQ(p.GetErrorsAsText(), "Syntax error. Expected table name. ");
  p.SetSQL("GRANT K FROM T");
  EXPECT_FALSE(p.ValidateSQL());
  EXPECT_EQ(p.GetErrorsAsText().substr(0, 31), "Unrecognised SQL statement type");
}

TEST_F(QueryProviderTest, ResultColumnsAndTableName) {
  ASSERT_EQ(Run("table T (A integer, B integer)\nINSERT INTO T VALUES (1, 2)\n"
                "SELECT A, B AS A, A FROM T\n= 1|2|1\n"),
            "");
  TTavQueryDataset& rows = *runner_->Provider().GetResultSet();
  EXPECT_EQ(rows.Fields(0)->FieldName(), "A");
  EXPECT_EQ(rows.Fields(1)->FieldName(), "A_1");
  EXPECT_EQ(rows.Fields(2)->FieldName(), "A_2");
  // "$Q", the item's ID in four and a random number in eight hexadecimal
  // digits.
  const std::string name = rows.TableName();
  ASSERT_EQ(name.size(), 14u);
  EXPECT_EQ(name.substr(0, 2), "$Q");
  EXPECT_EQ(name.find_first_not_of("0123456789ABCDEF", 2), std::string::npos);
}

TEST_F(QueryProviderTest, LiveRequestCarriesTheRecordAddress) {
  ASSERT_EQ(Run("table T (A integer)\nINSERT INTO T VALUES (1)\n"), "");
  TTavQueryProvider& p = runner_->Provider();
  p.SetRequestLive(true);
  for (const char* sql : {"SELECT A FROM T", "SELECT A + 1 FROM T", "SELECT COUNT(*) FROM T", "SELECT DISTINCT A FROM T"}) {
    p.SetSQL(sql);
    ASSERT_TRUE(p.ValidateSQL() && p.PreparePlan() && p.CreateResultSet()) << sql;
    const bool plain = std::string(sql) == "SELECT A FROM T" || std::string(sql) == "SELECT A + 1 FROM T";
    EXPECT_EQ(p.GetIsLiveRequest(), plain) << sql;
    EXPECT_EQ(p.GetResultSet()->GetInternalFields().FindField(kResultRecAddrField) != nullptr, plain) << sql;
    p.GetResultSet()->Close();
    db_.DeleteTable(p.GetResultSet()->TableName(), true);
  }
  p.SetSQL("SELECT A + 1 FROM T");
  ASSERT_TRUE(p.ValidateSQL() && p.PreparePlan() && p.CreateResultSet());
  EXPECT_TRUE(p.GetResultSet()->Fields(0)->ReadOnly());
  p.GetResultSet()->Close();
  db_.DeleteTable(p.GetResultSet()->TableName(), true);
}

// A correlated subquery compared with a value runs once for each outer row,
// not once for the operand and again for the comparison; one that reads no
// outer row runs once for the whole result.
TEST_F(QueryProviderTest, SubqueriesRunOncePerOuterRow) {
  ASSERT_EQ(Run("table T (K integer, V integer)\ntable U (K integer, W integer)\n"
                "INSERT INTO T VALUES (1, 10)\nINSERT INTO T VALUES (2, 20)\nINSERT INTO T VALUES (3, 30)\n"
                "INSERT INTO U VALUES (1, 100)\nINSERT INTO U VALUES (3, 300)\n"
                "SELECT K FROM T WHERE V * 10 = (SELECT MIN(W) FROM U WHERE U.K = T.K)\n= 1\n= 3\n"),
            "");
  TTavQueryProvider& p = runner_->Provider();
  ASSERT_EQ(p.Count(), 2);
  // The runner builds each result twice.
  EXPECT_EQ(p.Items(1)->BuildCount(), 2 * 3);
  ASSERT_EQ(Run("SELECT K FROM T WHERE V * 10 > (SELECT MIN(W) FROM U)\n= 2\n= 3\n"), "");
  EXPECT_EQ(p.Items(1)->BuildCount(), 2);
}

// Subquery items stay until the SQL changes: each run plans every item
// again with the parameters' current values.
TEST_F(QueryProviderTest, EachRunTakesTheCurrentParameterValues) {
  EXPECT_EQ(Run("table T (K integer, V integer)\n"
                "INSERT INTO T VALUES (1, 10)\nINSERT INTO T VALUES (2, 20)\nINSERT INTO T VALUES (3, 30)\n"
                "param P 1\n"
                "SELECT K FROM T WHERE K IN (SELECT K FROM T WHERE V > :P * 10)\n= 2\n= 3\n"
                "param P 2\nrerun\n= 3\n"
                "param P 3\nrerun\n= (none)\n"
                "param P 2\n"
                "UPDATE T SET V = V + 1 WHERE K >= :P\naffected 2\n"
                "param P 3\nrerun\naffected 1\n"
                "DELETE FROM T WHERE V = :P * 10 + 1\naffected 0\n"
                "param P 2\nrerun\naffected 1\n"
                "param P 7\nINSERT INTO T VALUES (:P, :P)\n"
                "SELECT K, V FROM T\n= 1|10\n= 3|32\n= 7|7\n"),
            "");
}

// A disk table wins over a memory table of the same name; a database named
// "MEMORY" sees its memory tables only.
TEST(QueryProviderTablesTest, DiskTablesComeBeforeMemoryTables) {
  os::test::TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  TTavDataBase db(nullptr);
  db.SetDataBaseName(dir / "db");
  db.CreateDatabase();
  db.Open();
  {
    testing::TSqlScriptRunner disk(db, false);
    ASSERT_EQ(Join(disk.Run("table T (K integer)\nINSERT INTO T VALUES (1)\n")), "");
  }
  {
    testing::TSqlScriptRunner memory(db, true);
    ASSERT_EQ(Join(memory.Run("table T (K integer)\ntable M (K integer)\n")), "");
    TTavBaseTable t(nullptr);
    t.SetDataBase(&db);
    t.SetMemory(true);
    t.SetTableName("T");
    t.Open();
    for (int k : {7, 8}) {
      t.Append();
      t.FieldByName("K")->SetAsInteger(k);
      t.Post();
    }
  }
  testing::TSqlScriptRunner runner(db, false);
  EXPECT_EQ(Join(runner.Run("SELECT K FROM T\n= 1\nSELECT COUNT(*) FROM M\n= 0\n")), "");
  TTableList tables;
  tables.Add()->SetTableName("t");
  tables.Add()->SetTableName("m");
  ASSERT_TRUE(runner.Provider().CheckTableList(tables, false));
  EXPECT_FALSE(tables.Items(0)->Memory());
  EXPECT_TRUE(tables.Items(1)->Memory());
}

// Under enforced security, a statement naming a field the user may not
// read fails in whatever clause names it; `*` leaves the field out.
TEST(QueryProviderSecurityTest, FieldsTheUserMayNotReadAreRefusedInEveryClause) {
  os::test::TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  const std::string path = dir / "secure.tav";
  const auto connect = [&](const std::string& user, const std::string& password) {
    auto db = std::make_unique<TTavDataBase>(nullptr);
    db->SetDataBaseName(path);
    db->SetBeforeLogin([user, password](host::TObject*, std::string& u, std::string& p, std::string& key) {
      u = user;
      p = password;
      key = "query-key";
    });
    db->Open();
    return db;
  };
  {
    TTavDataBase db(nullptr);
    db.SetDataBaseName(path);
    db.SetUseEncryption(true);
    db.SetMasterKey("query-key");
    db.SetEnforceSecurity(true);
    db.CreateDatabase();
  }
  {
    auto db = connect(kAdministratorUser, "anything");
    testing::TSqlScriptRunner admin(*db, false);
    ASSERT_EQ(Join(admin.Run("table People (ID integer, Name string 20, Secret string 20)\n"
                             "table Other (ID integer, Name string 20)\n"
                             "INSERT INTO People VALUES (1, 'n1', 's1')\nINSERT INTO People VALUES (2, 'n2', 's2')\n"
                             "INSERT INTO Other VALUES (1, 's1')\n")),
              "");
    db->SecurityManager().AddGroup("clerks");
    db->SecurityManager().AddUser("clerk", "pw", "clerks");
  }
  {
    auto db = connect(kAdministratorUser, kDefaultAdministratorPassword);
    TPrivileges p;
    p.SetGroupName("clerks");
    const auto grant = [&p](const std::string& table, TObjectPrivilegeType type, const std::string& fields) {
      TObjectPrivilege* item = p.ObjectPrivileges().Add();
      item->SetObjectType(doTable);
      item->SetObjectName(table);
      item->SetPrivilegeType(type);
      item->SetFields(fields);
    };
    for (const char* table : {"People", "Other"}) {
      grant(table, opExecuteObj, "ALL");
      grant(table, opUpdateData, "ALL");
      grant(table, opDeleteData, "ALL");
    }
    grant("People", opReadData, "ID,Name");
    // A result is a memory table the user makes.
    grant("ALL", opCreateObj, "ALL");
    grant("Other", opReadData, "ALL");
    db->SecurityManager().SetPrivileges(p, true);
  }
  auto db = connect("clerk", "pw");
  testing::TSqlScriptRunner clerk(*db, false);
  EXPECT_EQ(Join(clerk.Run("SELECT * FROM People\n= 1|n1\n= 2|n2\n"
                           "SELECT ID, Name FROM People WHERE ID = 1\n= 1|n1\n"
                           "SELECT Secret FROM People\n! 10624\n"
                           "SELECT ID FROM People WHERE Secret = 's1'\n! 10624\n"
                           "SELECT ID FROM People WHERE ID = 1 OR Secret = 's1'\n! 10624\n"
                           "SELECT COUNT(Secret) FROM People\n! 10624\n"
                           "SELECT UPPER(Secret) FROM People\n! 10624\n"
                           "SELECT P.ID FROM People P JOIN Other O ON P.Secret = O.Name\n! 10624\n"
                           "SELECT P.ID FROM People P, Other O WHERE P.Secret = O.Name\n! 10624\n"
                           "SELECT ID FROM Other WHERE Name IN (SELECT Secret FROM People)\n! 10624\n"
                           "SELECT ID FROM Other O WHERE EXISTS (SELECT * FROM People P WHERE P.Secret = O.Name)\n! 10624\n"
                           "UPDATE People SET Name = 'x' WHERE Secret = 's1'\n! 10624\n"
                           "DELETE FROM People WHERE Secret = 's1'\n! 10624\n"
                           "SELECT Name FROM People ORDER BY Name\n= n1\n= n2\n")),
            "");
}

}  // namespace
}  // namespace tav
