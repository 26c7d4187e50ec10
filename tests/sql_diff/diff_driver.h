// The differential run: random statements over random tables, each run on a
// reference side (SQLite) and a tested side, their results compared; data
// changes compare the count of rows changed, then every table whole.
// The first mismatch ends the run with a report of the seed, the tables,
// the statement (both texts) and both results.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "random_tables.h"
#include "sql_side.h"
#include "statement_gen.h"

namespace tav::sqldiff {

struct TDiffStats {
  int Queries = 0;
  int Changes = 0;
  int OrderedQueries = 0;
  int64_t RowsCompared = 0;
};

// Runs `count` statements of the generator seeded with `seed` on both sides,
// both loaded with `schema` before. "" when all agree, else the report.
std::string RunDifferential(const TRandomSchema& schema, uint32_t seed, int count, TSqlSide& reference,
                            TSqlSide& tested, TDiffStats* stats = nullptr);

// A side loaded with the schema, made afresh for each seed.
using TSideFactory = std::function<std::unique_ptr<TSqlSide>(const TRandomSchema&)>;

// For each seed: tables from the seed, both sides made and loaded, `count`
// statements. "" when all agree, else the first report.
std::string RunSeeds(const std::vector<uint32_t>& seeds, int count, const TSideFactory& reference,
                     const TSideFactory& tested, TDiffStats* stats = nullptr);

// The fixed seeds of the test run, or, when the environment names
// TAV_SQL_DIFF_SEEDS=n, n seeds from TAV_SQL_DIFF_FIRST_SEED (default 1000)
// for a longer run.
std::vector<uint32_t> SeedsForRun(const std::vector<uint32_t>& fixed);

// The statements per seed: `fixed`, or TAV_SQL_DIFF_STATEMENTS=n when the
// environment names it (a longer history of data changes per table set).
int StatementsForRun(int fixed);

std::string MismatchReport(const TRandomSchema& schema, uint32_t seed, int index, const TGenStatement& st,
                           const TSqlSide& reference, const TSqlResult& expected, const TSqlSide& tested,
                           const TSqlResult& actual, const std::string& what);

}  // namespace tav::sqldiff
