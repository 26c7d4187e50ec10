#include <gtest/gtest.h>

#include "diff_driver.h"
#include "os/testing/test_support.h"
#include "sqlite_side.h"
#include "tavrin_side.h"

namespace tav::sqldiff {
namespace {

// A fresh database per seed: "MEMORY" when `dir` is null.
TSideFactory Ours(const os::test::TTempDir* dir) {
  return [dir](const TRandomSchema& schema) -> std::unique_ptr<TSqlSide> {
    const std::string path = dir ? *dir / ("diff" + std::to_string(schema.Seed) + ".tav") : std::string();
    auto side = std::make_unique<TTavrinSide>(path);
    side->Load(schema);
    return side;
  };
}

void ExpectAgreement(const os::test::TTempDir* dir) {
  TDiffStats stats;
  const std::vector<uint32_t> seeds = SeedsForRun({1, 2, 3});
  EXPECT_EQ(RunSeeds(seeds, StatementsForRun(120), LoadedSqlite, Ours(dir), &stats), "");
  if (seeds.size() == 3 && StatementsForRun(120) == 120) {
    EXPECT_GT(stats.Queries, 200);
    EXPECT_GT(stats.Changes, 60);
    EXPECT_GT(stats.RowsCompared, 3000);
  }
}

// Random statements through the query component against SQLite, on a disk
// database in ASCII order and on "MEMORY". A longer run:
// TAV_SQL_DIFF_SEEDS=n (and TAV_SQL_DIFF_FIRST_SEED), TAV_SQL_DIFF_STATEMENTS=n.
TEST(SqlDiffOurs, DiskDatabaseAgreesWithSqlite) {
  os::test::TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  ExpectAgreement(&dir);
}

TEST(SqlDiffOurs, MemoryAgreesWithSqlite) { ExpectAgreement(nullptr); }

}  // namespace
}  // namespace tav::sqldiff
