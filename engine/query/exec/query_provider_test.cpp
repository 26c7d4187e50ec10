#include "engine/query/exec/query_provider.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "engine/components/security_manager.h"
#include "engine/components/tav_base_table.h"
#include "engine/components/tav_database.h"
#include "engine/query/exec/tav_query.h"
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

// Under enforced security: "clerks" may open People, Other and Hidden, read
// People's ID and Name and all of Other, update and delete in People and
// Other; nothing else (no insert, no create, nothing read in Hidden).
class QueryProviderSecurityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.Ok());
    {
      TTavDataBase db(nullptr);
      db.SetDataBaseName(Path());
      db.SetUseEncryption(true);
      db.SetMasterKey("query-key");
      db.SetEnforceSecurity(true);
      db.CreateDatabase();
    }
    {
      auto db = Connect(kAdministratorUser, "anything");
      testing::TSqlScriptRunner admin(*db, false);
      ASSERT_EQ(Join(admin.Run("table People (ID integer, Name string 20, Secret string 20)\n"
                               "table Other (ID integer, Name string 20)\n"
                               "table Hidden (ID integer, Name string 20)\n"
                               "INSERT INTO People VALUES (1, 'n1', 's1')\nINSERT INTO People VALUES (2, 'n2', 's2')\n"
                               "INSERT INTO Other VALUES (1, 's1')\nINSERT INTO Hidden VALUES (1, 'h1')\n")),
                "");
      db->SecurityManager().AddGroup("clerks");
      db->SecurityManager().AddUser("clerk", "pw", "clerks");
    }
    auto db = Connect(kAdministratorUser, kDefaultAdministratorPassword);
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
    grant("Hidden", opExecuteObj, "ALL");
    grant("People", opReadData, "ID,Name");
    grant("Other", opReadData, "ALL");
    db->SecurityManager().SetPrivileges(p, true);
  }

  std::string Path() const { return dir_ / "secure.tav"; }

  std::unique_ptr<TTavDataBase> Connect(const std::string& user, const std::string& password) {
    auto db = std::make_unique<TTavDataBase>(nullptr);
    db->SetDataBaseName(Path());
    db->SetBeforeLogin([user, password](host::TObject*, std::string& u, std::string& p, std::string& key) {
      u = user;
      p = password;
      key = "query-key";
    });
    db->Open();
    return db;
  }

  os::test::TTempDir dir_;
};

// A statement naming a field the user may not read fails in whatever
// clause names it; `*` leaves the field out.
TEST_F(QueryProviderSecurityTest, FieldsTheUserMayNotReadAreRefusedInEveryClause) {
  auto db = Connect("clerk", "pw");
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

// The right to read is enough to run a query: its result and the tables of
// its subqueries, DISTINCT and GROUP BY are the statement's own, not tables
// the user creates. Nothing else is lent by it.
TEST_F(QueryProviderSecurityTest, ReadingNeedsNoCreateRightAndLendsNoOther) {
  auto db = Connect("clerk", "pw");
  testing::TSqlScriptRunner clerk(*db, false);
  EXPECT_EQ(Join(clerk.Run("SELECT DISTINCT Name FROM Other\n= s1\n"
                           "SELECT ID, COUNT(*) FROM People GROUP BY ID\n= 1|1\n= 2|1\n"
                           "SELECT COUNT(DISTINCT Name) FROM People\n= 2\n"
                           "SELECT P.Name FROM People P, Other O WHERE P.ID = O.ID\n= n1\n"
                           "SELECT Name FROM People WHERE ID IN (SELECT ID FROM Other)\n= n1\n"
                           "SELECT Name FROM People WHERE ID = (SELECT MAX(ID) FROM People)\n= n2\n"
                           // A table the user may open but not read.
                           "SELECT ID FROM Hidden\n! 10624\n"
                           "SELECT COUNT(*) FROM Hidden WHERE Name = 'h1'\n! 10624\n"
                           "SELECT O.ID FROM Other O, Hidden H WHERE O.ID = H.ID\n! 10624\n"
                           "SELECT O.ID FROM Other O JOIN Hidden H ON O.ID = H.ID\n! 10624\n"
                           "SELECT ID FROM Other WHERE ID IN (SELECT ID FROM Hidden)\n! 10624\n"
                           "SELECT ID FROM Other WHERE EXISTS (SELECT Name FROM Hidden)\n! 10624\n"
                           // Writes keep their own rights.
                           "INSERT INTO Other (ID, Name) VALUES (9, 'x')\n! 10624\n"
                           "INSERT INTO Other (ID, Name) SELECT ID, Name FROM People\n! 10624\n"
                           "INSERT INTO Hidden (ID, Name) SELECT ID, Name FROM Other\n! 10624\n"
                           "CREATE TABLE Made (ID integer)\n! 10624\n"
                           "CREATE TABLE TEMPORARY Made (ID integer)\n! 10624\n"
                           "SELECT ID FROM Other\n= 1\n")),
            "");
  // The query component opens the result by its name and drops it when the
  // statement changes.
  TTavQuery query(nullptr);
  query.SetDataBase(db.get());
  for (const char* sql : {"SELECT Name FROM People WHERE ID = 2", "SELECT Name FROM Other"}) {
    query.Close();
    query.SetSQLText(sql);
    query.Open();
    EXPECT_EQ(query.RecordCount(), 1) << sql;
  }
  query.Close();
}

}  // namespace
}  // namespace tav
