#include "diff_driver.h"

#include <cstdlib>

#include "comparator.h"

namespace tav::sqldiff {

namespace {

const std::string& TextFor(const TSqlSide& side, const TGenStatement& st) {
  return side.Dialect() == TDialect::Sqlite ? st.Sqlite : st.Ours;
}

}  // namespace

std::string MismatchReport(const TRandomSchema& schema, uint32_t seed, int index, const TGenStatement& st,
                           const TSqlSide& reference, const TSqlResult& expected, const TSqlSide& tested,
                           const TSqlResult& actual, const std::string& what) {
  std::string out = "SQL differential mismatch: " + what + "\n";
  out += "tables seed " + std::to_string(schema.Seed) + ", statement seed " + std::to_string(seed) +
         ", statement " + std::to_string(index) + "\n";
  out += "our text:    " + st.Ours + "\n";
  out += "SQLite text: " + st.Sqlite + "\n";
  out += reference.Name() + " gave: " + FormatResult(expected);
  out += tested.Name() + " gave: " + FormatResult(actual);
  out += "tables as loaded:\n" + schema.Describe();
  return out;
}

std::string RunDifferential(const TRandomSchema& schema, uint32_t seed, int count, TSqlSide& reference,
                            TSqlSide& tested, TDiffStats* stats) {
  TStatementGen gen(schema, seed);
  TDiffStats local;
  TDiffStats& s = stats ? *stats : local;
  for (int i = 0; i < count; ++i) {
    const TGenStatement st = gen.Next();
    const TSqlResult expected = reference.Run(TextFor(reference, st));
    const TSqlResult actual = tested.Run(TextFor(tested, st));
    auto report = [&](const std::string& what) {
      return MismatchReport(schema, seed, i, st, reference, expected, tested, actual, what);
    };
    // The generator writes only statements both accept: a refusal by the
    // reference is a fault of the harness.
    if (expected.Failed) return report("the reference refused the statement");
    if (const std::string diff = CompareResults(expected, actual, st.Ordered); !diff.empty()) return report(diff);
    if (st.IsQuery) {
      ++s.Queries;
      s.OrderedQueries += st.Ordered ? 1 : 0;
      s.RowsCompared += static_cast<int64_t>(expected.Rows.size());
      continue;
    }
    ++s.Changes;
    // Every table, not only the target: a change must leave the others be.
    for (const TTableSpec& table : schema.Tables) {
      const std::vector<TSqlRow> expectedRows = reference.ReadTable(table);
      const std::vector<TSqlRow> actualRows = tested.ReadTable(table);
      if (const std::string diff = CompareRowLists(expectedRows, actualRows, false); !diff.empty()) {
        TSqlResult e, a;
        e.Rows = expectedRows;
        a.Rows = actualRows;
        return MismatchReport(schema, seed, i, st, reference, e, tested, a,
                              "table " + table.Name + " after the change: " + diff);
      }
      s.RowsCompared += static_cast<int64_t>(expectedRows.size());
      gen.SetRowCount(table.Name, expectedRows.size());
    }
  }
  return "";
}

std::string RunSeeds(const std::vector<uint32_t>& seeds, int count, const TSideFactory& reference,
                     const TSideFactory& tested, TDiffStats* stats) {
  for (uint32_t seed : seeds) {
    const TRandomSchema schema = GenerateSchema(seed);
    std::unique_ptr<TSqlSide> ref = reference(schema);
    std::unique_ptr<TSqlSide> test = tested(schema);
    // The statements' seed follows the tables' seed, so one number repeats
    // the whole run.
    if (std::string report = RunDifferential(schema, seed * 7919u + 1u, count, *ref, *test, stats);
        !report.empty())
      return report;
  }
  return "";
}

std::vector<uint32_t> SeedsForRun(const std::vector<uint32_t>& fixed) {
  const char* n = std::getenv("TAV_SQL_DIFF_SEEDS");
  if (n == nullptr || *n == '\0') return fixed;
  const char* first = std::getenv("TAV_SQL_DIFF_FIRST_SEED");
  const uint32_t from = first && *first ? static_cast<uint32_t>(std::strtoul(first, nullptr, 10)) : 1000u;
  std::vector<uint32_t> seeds;
  for (unsigned long i = 0, count = std::strtoul(n, nullptr, 10); i < count; ++i)
    seeds.push_back(from + static_cast<uint32_t>(i));
  return seeds;
}

int StatementsForRun(int fixed) {
  const char* n = std::getenv("TAV_SQL_DIFF_STATEMENTS");
  if (n == nullptr || *n == '\0') return fixed;
  const long count = std::strtol(n, nullptr, 10);
  return count > 0 ? static_cast<int>(count) : fixed;
}

}  // namespace tav::sqldiff
