// Pages of a dropped table, given to tables made after it on the same
// connection: the connection read every page of the dropped table (and so
// knew their owner), and reads the new tables whole, with their values;
// the dropped table is gone. (A table is dropped only by a connection that
// has the file to itself.)
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "engine/components/tav_table.h"
#include "engine/query/exec/tav_query.h"
#include "engine/storage/testing/engine_error_test_support.h"
#include "host/db/field_defs.h"
#include "host/db/fields.h"
#include "host/db/index_defs.h"
#include "host/rtl/variant.h"
#include "os/testing/test_support.h"
#include "sql_session_test_support.h"

namespace tav::test {
namespace {

constexpr int kRows = 600;

void Exec(TTavDataBase& db, const std::string& sql) {
  TTavQuery q(nullptr);
  q.SetDataBase(&db);
  q.SetSQLText(sql);
  q.ExecSQL();
}

// Table `name`: ID (unique index), S text with `tag` in every row.
void MakeTable(TTavDataBase& db, const std::string& name, const std::string& tag) {
  Exec(db, "CREATE TABLE " + name + " (ID INT, S VARCHAR(200))");
  Exec(db, "CREATE UNIQUE INDEX " + name + "ById ON " + name + " (ID)");
  db.StartTransaction();
  for (int i = 0; i < kRows; ++i)
    Exec(db, "INSERT INTO " + name + " (ID, S) VALUES (" + std::to_string(i) + ", '" + tag + std::to_string(i) +
                 std::string(150, 'x') + "')");
  db.Commit();
}

// Every row of `name` read through its index and by search, each holding
// `tag`. "" when so.
std::string CheckTable(TTavDataBase& db, const std::string& name, const std::string& tag) {
  TTavTable t(nullptr);
  t.SetDataBase(&db);
  t.SetTableName(name);
  t.SetIndexName(name + "ById");
  t.Open();
  int n = 0;
  for (t.First(); !t.Eof(); t.Next(), ++n) {
    const std::string expected = tag + std::to_string(n) + std::string(150, 'x');
    if (t.FieldByName("ID")->AsInteger() != n || t.FieldByName("S")->AsString() != expected)
      return name + ": row " + std::to_string(n) + " holds other values";
  }
  if (n != kRows) return name + ": " + std::to_string(n) + " rows";
  for (int i = kRows - 1; i >= 0; i -= 7)
    if (!t.FindKey({host::Variant(i)}) || t.FieldByName("S")->AsString().rfind(tag, 0) != 0)
      return name + ": row " + std::to_string(i) + " not found";
  return "";
}

TEST(DroppedTablePages, ANewTableOnADroppedTablesPagesIsReadWhole) {
  os::test::TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  const std::string path = dir / "dropped.tav";
  CreateDatabaseFile(path);
  TTavDataBase db(nullptr);
  db.SetDataBaseName(path);
  db.Open();
  MakeTable(db, "X", "x");
  ASSERT_EQ(CheckTable(db, "X", "x"), "");
  const std::string tables[] = {"Y", "X", "Z"};
  std::string dropped = "X";
  for (int round = 0; round < 3; ++round) {
    const std::string made = tables[round];
    const std::string tag = made + std::to_string(round);
    Exec(db, "DROP TABLE " + dropped);
    MakeTable(db, made, tag);
    ASSERT_EQ(CheckTable(db, made, tag), "") << "round " << round;
    if (made != dropped) {
      TTavTable gone(nullptr);
      gone.SetDataBase(&db);
      gone.SetTableName(dropped);
      EXPECT_NE(ErrorCodeOf([&] { gone.Open(); }), 0) << "round " << round;
    }
    dropped = made;
  }
  // Another connection reads the last one whole too.
  db.Close();
  TTavDataBase other(nullptr);
  other.SetDataBaseName(path);
  other.Open();
  EXPECT_EQ(CheckTable(other, "Z", "Z2"), "");
}

}  // namespace
}  // namespace tav::test
