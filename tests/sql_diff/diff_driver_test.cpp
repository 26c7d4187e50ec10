#include "diff_driver.h"

#include <gtest/gtest.h>

#include <cmath>

#include "sqlite_side.h"

namespace tav::sqldiff {
namespace {

// SQLite on both sides: the harness itself (tables, statements, the mapped
// texts, the comparison) is deterministic and every statement it writes
// runs. A longer run: TAV_SQL_DIFF_SEEDS=n.
TEST(SqlDiffDriver, SqliteAgainstItselfAgrees) {
  TDiffStats stats;
  const std::vector<uint32_t> seeds = SeedsForRun({1, 2, 3, 4});
  const std::string report = RunSeeds(seeds, 250, LoadedSqlite, LoadedSqlite, &stats);
  EXPECT_EQ(report, "");
  if (seeds.size() == 4) {
    EXPECT_GT(stats.Queries, 600);
    EXPECT_GT(stats.Changes, 150);
    EXPECT_GT(stats.OrderedQueries, 60);
    EXPECT_GT(stats.RowsCompared, 5000);
  }
}

// SQLite with its results spoiled on cue, as a faulty engine would give them.
class TSpoiledSide : public TSqliteSide {
 public:
  enum TFault { NudgeFloat, SwapRows, DropRow, CountOneMore, LoseTableRow, Fail };
  TSpoiledSide(TFault fault, double nudge = 0) : fault_(fault), nudge_(nudge) {}

  TDialect Dialect() const override { return TDialect::Sqlite; }
  std::string Name() const override { return "spoiled"; }

  TSqlResult Run(const std::string& sql) override {
    TSqlResult r = TSqliteSide::Run(sql);
    ++runs_;
    switch (fault_) {
      case NudgeFloat:
        for (TSqlRow& row : r.Rows)
          for (TSqlValue& v : row)
            if (v.Kind == TSqlValue::kFloat && v.Float != 0) {
              v.Float *= 1 + nudge_;
              spoiled_ = true;
            }
        break;
      case SwapRows:
        // Two rows that differ trade places.
        for (size_t i = 1; i < r.Rows.size(); ++i) {
          if (RowLess(r.Rows[i - 1], r.Rows[i]) || RowLess(r.Rows[i], r.Rows[i - 1])) {
            std::swap(r.Rows[i - 1], r.Rows[i]);
            spoiled_ = true;
            break;
          }
        }
        break;
      case DropRow:
        if (runs_ > 20 && !r.Rows.empty()) r.Rows.pop_back();
        break;
      case CountOneMore:
        if (!r.IsQuery) ++r.RowsAffected;
        break;
      case Fail:
        if (runs_ == 5) {
          r.Failed = true;
          r.Error = "spoiled on purpose";
        }
        break;
      case LoseTableRow: break;
    }
    return r;
  }

  std::vector<TSqlRow> ReadTable(const TTableSpec& table) override {
    std::vector<TSqlRow> rows = TSqliteSide::ReadTable(table);
    if (fault_ == LoseTableRow && !rows.empty()) rows.erase(rows.begin());
    return rows;
  }

  bool Spoiled() const { return spoiled_; }

 private:
  TFault fault_;
  double nudge_;
  int runs_ = 0;
  bool spoiled_ = false;
};

std::string RunSpoiled(TSpoiledSide::TFault fault, double nudge = 0, bool* spoiled = nullptr) {
  const TRandomSchema schema = GenerateSchema(12);
  TSqliteSide reference;
  reference.Load(schema);
  TSpoiledSide tested(fault, nudge);
  tested.Load(schema);
  const std::string report = RunDifferential(schema, 99, 200, reference, tested);
  if (spoiled) *spoiled = tested.Spoiled();
  return report;
}

TEST(SqlDiffDriver, AMismatchReportsSeedTablesStatementAndBothResults) {
  const std::string report = RunSpoiled(TSpoiledSide::DropRow);
  ASSERT_NE(report, "");
  EXPECT_NE(report.find("row counts differ"), std::string::npos) << report;
  EXPECT_NE(report.find("tables seed 12, statement seed 99, statement "), std::string::npos) << report;
  EXPECT_NE(report.find("our text:    SELECT "), std::string::npos) << report;
  EXPECT_NE(report.find("SQLite text: SELECT "), std::string::npos) << report;
  EXPECT_NE(report.find("SQLite gave: "), std::string::npos) << report;
  EXPECT_NE(report.find("spoiled gave: "), std::string::npos) << report;
  EXPECT_NE(report.find("CREATE TABLE T1 (ID INTEGER"), std::string::npos) << report;
  EXPECT_NE(report.find(" rows:\n  ("), std::string::npos) << report;
}

TEST(SqlDiffDriver, EachKindOfFaultIsCaught) {
  bool spoiled = false;
  EXPECT_NE(RunSpoiled(TSpoiledSide::NudgeFloat, 1e-6, &spoiled).find("rows differ"), std::string::npos);
  EXPECT_TRUE(spoiled);
  // Within the tolerance is no fault.
  EXPECT_EQ(RunSpoiled(TSpoiledSide::NudgeFloat, 1e-12, &spoiled), "");
  EXPECT_TRUE(spoiled);
  // Order counts only where ORDER BY decides it.
  EXPECT_NE(RunSpoiled(TSpoiledSide::SwapRows).find(" in order: expected "), std::string::npos);
  const std::string counted = RunSpoiled(TSpoiledSide::CountOneMore);
  EXPECT_NE(counted.find("rows affected differ"), std::string::npos) << counted;
  EXPECT_NE(counted.find("rows affected: "), std::string::npos) << counted;
  const std::string table = RunSpoiled(TSpoiledSide::LoseTableRow);
  EXPECT_NE(table.find(" after the change: row counts differ"), std::string::npos) << table;
  EXPECT_NE(RunSpoiled(TSpoiledSide::Fail).find("only the tested side failed: spoiled on purpose"),
            std::string::npos);
}

TEST(SqlDiffDriver, SeedsComeFromTheEnvironmentForALongerRun) {
  ::unsetenv("TAV_SQL_DIFF_SEEDS");
  EXPECT_EQ(SeedsForRun({4, 5}), (std::vector<uint32_t>{4, 5}));
  ::setenv("TAV_SQL_DIFF_SEEDS", "3", 1);
  ::setenv("TAV_SQL_DIFF_FIRST_SEED", "70", 1);
  EXPECT_EQ(SeedsForRun({4, 5}), (std::vector<uint32_t>{70, 71, 72}));
  ::unsetenv("TAV_SQL_DIFF_FIRST_SEED");
  EXPECT_EQ(SeedsForRun({4}).front(), 1000u);
  ::unsetenv("TAV_SQL_DIFF_SEEDS");
}

}  // namespace
}  // namespace tav::sqldiff
