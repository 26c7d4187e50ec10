// A small host program: starts the engine, creates a database file guarded by
// a master key through the connection component, defines a strongly
// encrypted table and a generator in it, posts a few customers, connects
// again with the right key (given by a BeforeLogin handler) and browses them,
// then tries a wrong key, and prints the trace log. It grows with the engine.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "engine/components/tav_base_table.h"
#include "engine/components/tav_database.h"
#include "engine/storage/base/tav_errors.h"
#include "engine/storage/base/tav_logger.h"
#include "host/db/field_defs.h"
#include "host/db/fields.h"
#include "host/db/index_defs.h"
#include "host/rtl/string_list.h"

namespace {

constexpr char kKey[] = "open sesame";

void Report(const tav::ETavDatabaseError& e) {
  std::printf("Caught %s (code %d):\n%s\n", e.ClassName().c_str(), e.ErrorCode(), e.Message().c_str());
}

// The table "Customers", strongly encrypted, opened on `db`.
void OpenCustomers(tav::TTavDataBase& db, tav::TTavBaseTable& table, bool create) {
  table.SetDataBase(&db);
  table.SetTableName("Customers");
  if (create) {
    table.SetEncryptionLevel(tav::encStrong);
    table.FieldDefs().Add("CustNo", host::ftInteger, 0, true);
    table.FieldDefs().Add("Name", host::ftString, 40);
    table.IndexDefs().Add("pk", "CustNo", host::TIndexOptions{host::ixPrimary, host::ixUnique});
    table.IndexDefs().Add("byName", "Name", host::TIndexOptions{host::ixCaseInsensitive});
    table.CreateTable();
  }
  table.Open();
}

// Connects through a BeforeLogin handler that gives `key`.
void ConnectWithKey(const std::string& path, const std::string& key) {
  tav::TTavDataBase db(nullptr);
  db.SetName("DemoDatabase");
  db.SetDataBaseName(path);
  db.SetBeforeLogin([&](host::TObject*, std::string&, std::string&, std::string& databasePassword) {
    databasePassword = key;
  });
  try {
    db.Open();
    host::TStringList names, users;
    db.GetTableNames(names, false);
    db.GetCurrentUsers(users);
    std::printf("Connected to %s (file version %s, owner %s): tables %s; %d connection line(s)\n",
                path.c_str(), db.DataFileVersion().c_str(), db.DBOwner().c_str(),
                names.CommaText().c_str(), users.Count());
    tav::TTavBaseTable customers(nullptr);
    OpenCustomers(db, customers, false);
    for (customers.First(); !customers.Eof(); customers.Next())
      std::printf("  %d %s\n", customers.FieldByName("CustNo")->AsInteger(),
                  customers.FieldByName("Name")->AsString().c_str());
  } catch (const tav::ETavDatabaseError& e) {
    Report(e);
  }
}

}  // namespace

int main() {
  tav::TavEngineStartup();
  std::printf("Tavrin demo on %s (%s)\n\n", tav::GetCurrentComputer().c_str(),
              tav::GetOSDetails().c_str());
  const std::string path = "/tmp/tavdemo_" + std::to_string(::getpid()) + ".tav";
  try {
    tav::TTavDataBase db(nullptr);
    db.SetName("DemoDatabase");
    db.SetDataBaseName(path);
    db.SetUseEncryption(true);
    db.SetMasterKey(kKey);
    db.CreateDatabase();
    db.SetMasterKey(kKey);
    db.Open();
    db.CreateGenerator("CustNo", 1000, 10);
    tav::TTavBaseTable customers(nullptr);
    OpenCustomers(db, customers, true);
    for (const char* name : {"Ada Works", "Babbage & Sons", "Countess Ltd"}) {
      customers.Append();
      customers.FieldByName("CustNo")->SetAsInteger(db.GetGeneratorValue("CustNo", false));
      customers.FieldByName("Name")->SetAsString(name);
      customers.Post();
    }
    std::printf("Created %s with the encrypted table Customers (%d records) and the generator "
                "CustNo\n",
                path.c_str(), customers.RecordCount());
  } catch (const tav::ETavDatabaseError& e) {
    Report(e);
  }
  ConnectWithKey(path, kKey);
  ConnectWithKey(path, "open says me");

  std::printf("\nTrace log:\n");
  for (const auto& line : tav::GDBLogger()->LogItems()) std::printf("%s\n", line.c_str());
  std::remove(path.c_str());
  std::remove((path.substr(0, path.size() - 4) + ".lck").c_str());
  tav::TavEngineShutdown();
  return 0;
}
