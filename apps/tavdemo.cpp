// The demo host program: what the engine does, in a few screens. It creates
// a database file guarded by a master key and by users, defines a table
// with two indexes and a BLOB field, searches it by key, by range and by
// filter, commits one transaction and rolls another back, lets a second
// process read what was committed, refuses a user what his group may not do,
// runs SQL through the query component (a join, a GROUP BY and an UPDATE
// with a parameter), refuses a wrong master key, and ends with the engine's
// trace log. Loading
// the library started the engine: there is no start-up call.
//
// Run as `tavdemo`; it runs itself again as `tavdemo --reader <file>` for the
// second process.
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/components/security_manager.h"
#include "engine/components/tav_database.h"
#include "engine/components/tav_table.h"
#include "engine/query/exec/tav_query.h"
#include "engine/storage/base/tav_errors.h"
#include "engine/storage/base/tav_logger.h"
#include "engine/storage/table/privileges.h"
#include "host/db/field_defs.h"
#include "host/db/fields.h"
#include "host/db/index_defs.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/string_list.h"

extern char** environ;

namespace {

constexpr char kKey[] = "open sesame";
constexpr char kAdminPassword[] = "demo-admin";
constexpr char kClerk[] = "clerk";
constexpr char kClerkPassword[] = "clerk-pw";

void Screen(const char* title) { std::printf("\n==== %s ====\n\n", title); }

// A connection to `path` that logs `user` on with the master key `key`.
std::unique_ptr<tav::TTavDataBase> Connection(const std::string& path, const std::string& user,
                                              const std::string& password,
                                              const std::string& key = kKey) {
  auto db = std::make_unique<tav::TTavDataBase>(nullptr);
  db->SetName("SalesDatabase");
  db->SetDataBaseName(path);
  db->SetBeforeLogin([=](host::TObject*, std::string& u, std::string& p, std::string& k) {
    u = user;
    p = password;
    k = key;
  });
  return db;
}

std::unique_ptr<tav::TTavTable> Orders(tav::TTavDataBase& db) {
  auto t = std::make_unique<tav::TTavTable>(nullptr);
  t->SetName("OrdersTable");
  t->SetDataBase(&db);
  t->SetTableName("Orders");
  return t;
}

void PrintOrder(tav::TTavTable& t) {
  std::printf("  %d  %-16s %8.2f\n", t.FieldByName("OrderNo")->AsInteger(),
              t.FieldByName("Customer")->AsString().c_str(), t.FieldByName("Amount")->AsFloat());
}

void PrintAll(tav::TTavTable& t) {
  for (t.First(); !t.Eof(); t.Next()) PrintOrder(t);
}

void AddOrder(tav::TTavTable& t, int no, const char* customer, double amount, const char* notes) {
  t.Append();
  t.FieldByName("OrderNo")->SetAsInteger(no);
  t.FieldByName("Customer")->SetAsString(customer);
  t.FieldByName("Amount")->SetAsFloat(amount);
  if (notes) t.FieldByName("Notes")->SetAsString(notes);
  t.Post();
}

void Refused(const host::EDatabaseError& e) {
  if (auto* engineError = dynamic_cast<const tav::ETavDatabaseError*>(&e))
    std::printf("Refused with error %d:\n%s\n", engineError->ErrorCode(), e.Message().c_str());
  else
    std::printf("Refused: %s\n", e.Message().c_str());
}

// The second process: its own connection, reading what was committed.
int Reader(const std::string& path) {
  try {
    auto db = Connection(path, tav::kAdministratorUser, kAdminPassword);
    db->Open();
    auto t = Orders(*db);
    t->Open();
    std::printf("[process %d] sees %d orders:", static_cast<int>(::getpid()), t->RecordCount());
    for (t->First(); !t->Eof(); t->Next()) std::printf(" %d", t->FieldByName("OrderNo")->AsInteger());
    std::printf("\n");
    std::fflush(stdout);
    return 0;
  } catch (const host::EDatabaseError& e) {
    Refused(e);
    return 1;
  }
}

int RunReader(const std::string& path) {
  std::fflush(stdout);
  std::string self = std::filesystem::read_symlink("/proc/self/exe");
  std::vector<char*> args{self.data(), const_cast<char*>("--reader"), const_cast<char*>(path.c_str()),
                          nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, self.c_str(), nullptr, nullptr, args.data(), environ) != 0) return -1;
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void CreateAndReopen(const std::string& path) {
  Screen("1. A database file, created and opened again");
  {
    tav::TTavDataBase db(nullptr);
    db.SetDataBaseName(path);
    db.SetMasterKey(kKey);
    db.SetEnforceSecurity(true);  // users and privileges; encrypts the file too
    db.CreateDatabase();
  }
  std::printf("Created %s: encrypted with a master key, security enforced.\n", path.c_str());
  {
    // The first logon of the built-in administrator gives it the default
    // password, which it then changes.
    auto db = Connection(path, tav::kAdministratorUser, "first logon");
    db->Open();
    db->SecurityManager().ChangePassword(tav::kAdministratorUser, kAdminPassword);
    auto t = Orders(*db);
    t->FieldDefs().Add("OrderNo", host::ftInteger, 0, true);
    t->FieldDefs().Add("Customer", host::ftString, 30);
    t->FieldDefs().Add("Amount", host::ftFloat);
    t->FieldDefs().Add("Notes", host::ftMemo);  // a BLOB field
    t->IndexDefs().Add("pk", "OrderNo", host::TIndexOptions{host::ixPrimary, host::ixUnique});
    t->IndexDefs().Add("byCustomer", "Customer", host::TIndexOptions{host::ixCaseInsensitive});
    t->CreateTable();
    t->Open();
    AddOrder(*t, 1001, "Ada Works", 120.50, nullptr);
    AddOrder(*t, 1002, "Babbage & Sons", 75.00, "Deliver to the back door.");
    AddOrder(*t, 1003, "Countess Ltd", 310.25, nullptr);
    AddOrder(*t, 1004, "Ada Works", 42.00, "Repeat order; same terms as 1001.");
    AddOrder(*t, 1005, "Difference Co", 999.99, nullptr);
    AddOrder(*t, 1006, "Countess Ltd", 18.40, nullptr);
    std::printf("Logged on as %s (group %s); created table Orders with the primary index pk,\n"
                "the case-insensitive index byCustomer and the BLOB field Notes; %d orders added.\n",
                db->SecurityManager().UserName().c_str(), db->SecurityManager().GroupName().c_str(),
                t->RecordCount());
  }
  auto db = Connection(path, tav::kAdministratorUser, kAdminPassword);
  db->Open();
  host::TStringList names;
  db->GetTableNames(names, false);
  auto t = Orders(*db);
  t->Open();
  std::printf("\nOpened again (file version %s): tables %s; Orders in key order:\n",
              db->DataFileVersion().c_str(), names.CommaText().c_str());
  PrintAll(*t);
}

void Searches(tav::TTavDataBase& db) {
  Screen("2. Key searches, a range and a filter");
  auto t = Orders(db);
  t->Open();
  if (t->FindKey({1004}))
    std::printf("Order 1004 by its primary key, with its BLOB:\n  %s: \"%s\"\n",
                t->FieldByName("Customer")->AsString().c_str(),
                t->FieldByName("Notes")->AsString().c_str());
  t->SetIndexName("byCustomer");
  if (t->FindKey({"COUNTESS LTD"}))
    std::printf("\"COUNTESS LTD\" through byCustomer (case-insensitive) finds order %d.\n",
                t->FieldByName("OrderNo")->AsInteger());
  std::printf("\nThe range \"B\" to \"D\" on byCustomer:\n");
  t->SetRange({"B"}, {"D"});
  PrintAll(*t);
  t->CancelRange();
  t->SetIndexName("");
  std::printf("\nThe filter \"Amount > 100 AND Customer <> 'Difference Co'\":\n");
  t->SetFilterText("Amount > 100 AND Customer <> 'Difference Co'");
  t->SetFiltered(true);
  PrintAll(*t);
}

void Transactions(tav::TTavDataBase& db, const std::string& path) {
  Screen("3. A transaction committed, one rolled back, and a second process");
  auto t = Orders(db);
  t->Open();
  db.StartTransaction();
  AddOrder(*t, 1007, "Babbage & Sons", 64.00, nullptr);
  db.Commit();
  std::printf("Committed order 1007: %d orders.\n", t->RecordCount());
  db.StartTransaction();
  AddOrder(*t, 1008, "Nobody", 1.00, nullptr);
  t->FindKey({1001});
  t->Delete();
  std::printf("In a second transaction: order 1008 added, order 1001 deleted: %d orders.\n",
              t->RecordCount());
  db.Rollback();
  t->Refresh();
  std::printf("Rolled back: %d orders; order 1001 is %s, order 1008 is %s.\n", t->RecordCount(),
              t->FindKey({1001}) ? "back" : "gone", t->FindKey({1008}) ? "there" : "not there");
  std::printf("\nA second process opens the same file while this one keeps it open:\n");
  if (RunReader(path) != 0) std::printf("The second process failed.\n");
}

void Privileges(tav::TTavDataBase& db, const std::string& path) {
  Screen("4. Users and a refused privilege");
  tav::TSecurityManager& sm = db.SecurityManager();
  sm.AddGroup("clerks");
  sm.AddUser(kClerk, kClerkPassword, "clerks");
  tav::TPrivileges p;
  p.SetGroupName("clerks");
  for (tav::TObjectPrivilegeType type : {tav::opExecuteObj, tav::opReadData, tav::opUpdateData}) {
    tav::TObjectPrivilege* item = p.ObjectPrivileges().Add();
    item->SetObjectType(tav::doTable);
    item->SetObjectName("Orders");
    item->SetPrivilegeType(type);
    item->SetFields("ALL");
  }
  sm.SetPrivileges(p, true);
  std::printf("The administrator made the group clerks (may open, read and change Orders, not add\n"
              "to it) and the user %s.\n",
              kClerk);
  auto clerkDb = Connection(path, kClerk, kClerkPassword);
  clerkDb->Open();
  auto t = Orders(*clerkDb);
  t->Open();
  std::printf("%s reads Orders: %d orders, the first from %s.\n", kClerk, t->RecordCount(),
              t->FieldByName("Customer")->AsString().c_str());
  std::printf("%s tries to add an order:\n", kClerk);
  try {
    AddOrder(*t, 1100, "Clerk's Own", 5.00, nullptr);
    std::printf("Not refused: the privileges were not checked.\n");
  } catch (const host::EDatabaseError& e) {
    t->Cancel();
    Refused(e);
  }
}

// The query's rows under a line of its column names, each column padded.
void PrintQuery(tav::TTavQuery& q) {
  for (int i = 0; i < q.FieldCount(); ++i) std::printf("  %-16s", q.Fields(i)->FieldName().c_str());
  std::printf("\n");
  for (q.First(); !q.Eof(); q.Next()) {
    for (int i = 0; i < q.FieldCount(); ++i) std::printf("  %-16s", q.Fields(i)->AsString().c_str());
    std::printf("\n");
  }
}

// Opens the SELECT and prints it with its rows.
void ShowSelect(tav::TTavQuery& q, const std::string& sql) {
  std::printf("%s\n", sql.c_str());
  q.SetSQLText(sql);
  q.Open();
  PrintQuery(q);
  std::printf("\n");
}

void Sql(tav::TTavDataBase& db) {
  Screen("5. SQL through the query component");
  tav::TTavQuery q(nullptr);
  q.SetDataBase(&db);
  q.SetSQLText("CREATE TABLE Customers (Name VARCHAR(30) NOT NULL, City VARCHAR(20), PRIMARY KEY (Name))");
  q.ExecSQL();
  for (const char* row : {"('Ada Works', 'London')", "('Babbage & Sons', 'Teignmouth')",
                          "('Countess Ltd', 'London')", "('Difference Co', 'Cambridge')"}) {
    q.SetSQLText(std::string("INSERT INTO Customers (Name, City) VALUES ") + row);
    q.ExecSQL();
  }
  std::printf("CREATE TABLE Customers and four INSERTs ran by ExecSQL.\n\n");
  ShowSelect(q, "SELECT o.OrderNo, o.Customer, c.City FROM Orders o INNER JOIN Customers c ON "
                "o.Customer = c.Name WHERE o.Amount > 50 ORDER BY o.OrderNo");
  ShowSelect(q, "SELECT c.City, COUNT(*) AS Orders, SUM(o.Amount) AS Total FROM Orders o INNER JOIN "
                "Customers c ON o.Customer = c.Name GROUP BY c.City ORDER BY c.City");

  const char* update = "UPDATE Orders SET Amount = Amount * 2 WHERE Customer = :who";
  q.SetSQLText(update);
  q.ParamByName("who")->SetAsString("Countess Ltd");
  q.ExecSQL();
  std::printf("%s  (:who = 'Countess Ltd'): %d rows changed, in a transaction of its own\n",
              update, q.RowsAffected());
  q.SetSQLText("SELECT OrderNo, Amount FROM Orders WHERE Customer = :who ORDER BY OrderNo");
  q.ParamByName("who")->SetAsString("Countess Ltd");
  q.Open();
  PrintQuery(q);
}

void WrongKey(const std::string& path) {
  Screen("6. A wrong master key");
  auto db = Connection(path, tav::kAdministratorUser, kAdminPassword, "open says me");
  try {
    db->Open();
    std::printf("Opened with the wrong key: the key was not checked.\n");
  } catch (const tav::ETavDatabaseError& e) {
    Refused(e);
    std::printf("This refusal is the expected outcome: the demo gave the wrong key on purpose.\n");
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--reader") return Reader(argv[2]);
  char dirTemplate[] = "/tmp/tavdemo.XXXXXX";
  if (!::mkdtemp(dirTemplate)) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string dir = dirTemplate;
  const std::string path = dir + "/Sales.tav";
  std::printf("Tavrin demo on %s (%s), engine %s\n", tav::GetCurrentComputer().c_str(),
              tav::GetOSDetails().c_str(), tav::kTavEngineVersion);
  int rc = 0;
  try {
    CreateAndReopen(path);
    auto db = Connection(path, tav::kAdministratorUser, kAdminPassword);
    db->Open();
    Searches(*db);
    Transactions(*db, path);
    Privileges(*db, path);
    Sql(*db);
    WrongKey(path);
  } catch (const host::EDatabaseError& e) {
    std::printf("Unexpected error: %s\n", e.Message().c_str());
    rc = 1;
  }

  Screen("7. The trace log (one line per error the engine raised)");
  if (std::shared_ptr<tav::TDBLogger> log = tav::GDBLogger())
    for (const auto& line : log->LogItems()) std::printf("%s\n", line.c_str());
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return rc;
}
