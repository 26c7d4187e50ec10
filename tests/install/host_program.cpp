// A host program built out of the source tree against an installed engine:
// it makes a new database file, writes rows, opens the file again and reads
// them back, and counts them by SQL through the query component, without
// calling any start-up routine (loading the library starts the engine).
// Exits 0 only when every row came back.
#include <cstdio>
#include <string>

#include "engine/components/tav_base_table.h"
#include "engine/components/tav_database.h"
#include "engine/query/exec/tav_query.h"
#include "engine/storage/base/tav_errors.h"
#include "engine/storage/base/tav_logger.h"
#include "host/db/fields.h"

namespace {

constexpr char kKey[] = "installed key";
constexpr int kRows = 50;

void Connect(tav::TTavDataBase& db, const std::string& path) {
  db.SetName("HostDatabase");
  db.SetDataBaseName(path);
  db.SetUseEncryption(true);
  db.SetMasterKey(kKey);
}

void OpenItems(tav::TTavDataBase& db, tav::TTavBaseTable& items, bool create) {
  items.SetDataBase(&db);
  items.SetTableName("Items");
  if (create) {
    items.FieldDefs().Add("Id", host::ftInteger, 0, true);
    items.FieldDefs().Add("Label", host::ftString, 30);
    items.IndexDefs().Add("pk", "Id", host::TIndexOptions{host::ixPrimary, host::ixUnique});
    items.CreateTable();
  }
  items.Open();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <new database file>\n", argv[0]);
    return 2;
  }
  const std::string path = argv[1];
  if (!tav::GDBLogger()) {
    std::fprintf(stderr, "the engine did not start when the library was loaded\n");
    return 1;
  }
  try {
    {
      tav::TTavDataBase db(nullptr);
      Connect(db, path);
      db.CreateDatabase();
      db.SetMasterKey(kKey);
      db.Open();
      tav::TTavBaseTable items(nullptr);
      OpenItems(db, items, true);
      for (int i = 0; i < kRows; ++i) {
        items.Append();
        items.FieldByName("Id")->SetAsInteger(i);
        items.FieldByName("Label")->SetAsString("item " + std::to_string(i));
        items.Post();
      }
    }
    tav::TTavDataBase db(nullptr);
    Connect(db, path);
    db.Open();
    tav::TTavBaseTable items(nullptr);
    OpenItems(db, items, false);
    int seen = 0;
    for (items.First(); !items.Eof(); items.Next(), ++seen) {
      const std::string want = "item " + std::to_string(seen);
      if (items.FieldByName("Id")->AsInteger() != seen ||
          items.FieldByName("Label")->AsString() != want) {
        std::fprintf(stderr, "row %d came back as %d '%s'\n", seen,
                     items.FieldByName("Id")->AsInteger(),
                     items.FieldByName("Label")->AsString().c_str());
        return 1;
      }
    }
    if (seen != kRows) {
      std::fprintf(stderr, "%d rows came back of %d\n", seen, kRows);
      return 1;
    }
    tav::TTavQuery count(nullptr);
    count.SetDataBase(&db);
    count.SetSQLText("SELECT COUNT(*) FROM Items WHERE Id >= :from");
    count.ParamByName("from")->SetAsInteger(10);
    count.Open();
    if (count.Fields(0)->AsInteger() != kRows - 10) {
      std::fprintf(stderr, "the query counted %d rows\n", count.Fields(0)->AsInteger());
      return 1;
    }
    std::printf("%d rows written and read back from %s\n", seen, path.c_str());
  } catch (const tav::ETavDatabaseError& e) {
    std::fprintf(stderr, "engine error %d: %s\n", e.ErrorCode(), e.Message().c_str());
    return 1;
  }
  return 0;
}
