#include "random_tables.h"

#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "comparator.h"
#include "os/testing/test_support.h"
#include "sqlite_side.h"
#include "tavrin_tables.h"

namespace tav::sqldiff {
namespace {

TEST(SqlDiffTables, ShapeOfTheRandomTables) {
  bool sawNull = false, sawUnique = false, sawEmptyTable = false, sawLarge = false;
  for (uint32_t seed = 1; seed <= 60; ++seed) {
    const TRandomSchema s = GenerateSchema(seed);
    ASSERT_GE(s.Tables.size(), 2u);
    ASSERT_LE(s.Tables.size(), 4u);
    for (const TTableSpec& t : s.Tables) {
      ASSERT_EQ(t.Columns[0].Name, "ID");
      ASSERT_LE(t.Rows.size(), 300u);
      sawEmptyTable = sawEmptyTable || t.Rows.empty();
      sawLarge = sawLarge || t.Rows.size() >= 100;
      for (TColumnType type : {ctInteger, ctFloat, ctVarchar}) {
        int n = 0;
        for (const TColumnSpec& c : t.Columns) n += c.Type == type && c.Name != "ID";
        EXPECT_GE(n, 1) << "every table has a column of every type";
      }
      std::set<int64_t> ids;
      for (const TSqlRow& row : t.Rows) {
        ASSERT_EQ(row.size(), t.Columns.size());
        ASSERT_EQ(row[0].Kind, TSqlValue::kInteger);
        EXPECT_TRUE(ids.insert(row[0].Int).second) << "ID is distinct";
        for (size_t i = 1; i < row.size(); ++i) {
          const TSqlValue& v = row[i];
          if (v.IsNull()) {
            EXPECT_NE(t.Columns[i].Type, ctVarchar);
            sawNull = true;
          } else if (t.Columns[i].Type == ctFloat) {
            EXPECT_EQ(v.Float * 4, std::floor(v.Float * 4));
          } else if (t.Columns[i].Type == ctVarchar) {
            ASSERT_FALSE(v.Text.empty());
            EXPECT_LE(v.Text.size(), static_cast<size_t>(kVarcharSize));
            for (char ch : v.Text) EXPECT_TRUE((ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9')) << v.Text;
          }
        }
      }
      for (const TIndexSpec& ix : t.Indexes) {
        if (!ix.Unique) continue;
        sawUnique = true;
        EXPECT_EQ(ix.Columns[0], "ID") << "only ID's distinct values take a unique index";
      }
    }
  }
  EXPECT_TRUE(sawNull && sawUnique && sawEmptyTable && sawLarge);
  EXPECT_EQ(GenerateSchema(7).Describe(), GenerateSchema(7).Describe());
  EXPECT_NE(GenerateSchema(7).Describe(), GenerateSchema(8).Describe());
}

// Every table read back from SQLite and from our engine (on a disk database
// in ASCII order, and on "MEMORY") holds exactly the generated rows.
void ExpectLoadedAlike(const std::string& path) {
  for (uint32_t seed : {3u, 11u, 29u, 40u}) {
    const TRandomSchema schema = GenerateSchema(seed);
    TSqliteSide sqlite;
    sqlite.Load(schema);
    os::test::TTempDir dir;
    ASSERT_TRUE(dir.Ok());
    TTavrinTables ours(path.empty() ? "" : dir / path);
    ours.Load(schema);
    EXPECT_EQ(ours.IsMemory(), path.empty());
    for (const TTableSpec& t : schema.Tables) {
      EXPECT_EQ(CompareRowLists(t.Rows, sqlite.ReadTable(t), false), "") << "SQLite " << t.Name;
      EXPECT_EQ(CompareRowLists(t.Rows, ours.ReadTable(t), false), "") << "ours " << t.Name << " seed " << seed;
    }
  }
}

TEST(SqlDiffTables, LoadedAlikeIntoSqliteAndADiskDatabase) { ExpectLoadedAlike("diff.tav"); }

TEST(SqlDiffTables, LoadedAlikeIntoSqliteAndMemory) { ExpectLoadedAlike(""); }

TEST(SqlDiffTables, TheDiskDatabaseIsInAsciiOrderAndReopens) {
  os::test::TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  const TRandomSchema schema = GenerateSchema(5);
  {
    TTavrinTables ours(dir / "a.tav");
    ours.Load(schema);
  }
  TTavDataBase db(nullptr);
  db.SetDataBaseName(dir / "a.tav");
  db.Open();
  EXPECT_EQ(db.DefaultSortOrder(), soASCII);
  db.Close();
}

}  // namespace
}  // namespace tav::sqldiff
