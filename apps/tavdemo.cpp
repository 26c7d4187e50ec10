// A small host program: starts the engine, creates a database file guarded by
// a master key through the connection component, defines a strongly
// encrypted table and a generator in it, connects again with the right key
// (given by a BeforeLogin handler) and with a wrong one, and prints the trace
// log. It grows with the engine.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "engine/components/tav_data_set.h"
#include "engine/components/tav_database.h"
#include "engine/storage/base/tav_errors.h"
#include "engine/storage/base/tav_logger.h"
#include "host/db/field_defs.h"
#include "host/db/index_defs.h"
#include "host/rtl/string_list.h"

namespace {

constexpr char kKey[] = "open sesame";

void Report(const tav::ETavDatabaseError& e) {
  std::printf("Caught %s (code %d):\n%s\n", e.ClassName().c_str(), e.ErrorCode(), e.Message().c_str());
}

void CreateCustomers(tav::TTavDataBase& db) {
  tav::TTavDataSet table(nullptr);
  table.SetDataBase(&db);
  table.SetTableName("Customers");
  table.SetEncryptionLevel(tav::encStrong);
  host::TFieldDefs fields;
  fields.Add("CustNo", host::ftInteger, 0, true);
  fields.Add("Name", host::ftString, 40);
  host::TIndexDefs indexes;
  indexes.Add("pk", "CustNo", host::TIndexOptions{host::ixPrimary, host::ixUnique});
  indexes.Add("byName", "Name", host::TIndexOptions{host::ixCaseInsensitive});
  table.SetTableDef(false, fields, indexes);
  table.InternalCreateTable();
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
    std::printf("Connected to %s (file version %s, owner %s): tables %s; next customer number %d; "
                "%d connection line(s)\n",
                path.c_str(), db.DataFileVersion().c_str(), db.DBOwner().c_str(),
                names.CommaText().c_str(), db.GetGeneratorValue("CustNo", false), users.Count());
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
    CreateCustomers(db);
    db.CreateGenerator("CustNo", 1000, 10);
    std::printf("Created %s with the encrypted table Customers and the generator CustNo\n",
                path.c_str());
  } catch (const tav::ETavDatabaseError& e) {
    Report(e);
  }
  ConnectWithKey(path, kKey);
  ConnectWithKey(path, kKey);
  ConnectWithKey(path, "open says me");

  std::printf("\nTrace log:\n");
  for (const auto& line : tav::GDBLogger()->LogItems()) std::printf("%s\n", line.c_str());
  std::remove(path.c_str());
  std::remove((path.substr(0, path.size() - 4) + ".lck").c_str());
  tav::TavEngineShutdown();
  return 0;
}
