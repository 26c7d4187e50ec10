// Random SQL text through the whole query pipeline, as a query runs it:
// validation, the parameter list, planning, then the result built twice
// (the second build from the same items) or the statement executed, on a
// small memory database made afresh for each input.
//
// Promises: nothing crashes, hangs, leaks or fails an internal assertion;
// ordinary errors (the engine's numbered errors, conversions) are reported
// as such; a result built twice gives the same rows.
#include <cstdint>
#include <string>
#include <vector>

#include "engine/components/tav_database.h"
#include "engine/query/exec/query_provider.h"
#include "engine/query/testing/sql_script.h"
#include "host/db/params.h"
#include "host/rtl/exceptions.h"
#include "fuzz_check.h"

namespace {

const char kSetUp[] =
    "table T (A integer, B integer, S string 10, D date)\n"
    "index byA unique A\n"
    "table U (B integer, C integer, M memo)\n"
    "INSERT INTO T VALUES (1, 2, 'x', NULL)\n"
    "INSERT INTO T VALUES (2, NULL, 'y', NULL)\n"
    "INSERT INTO T VALUES (3, 2, NULL, NULL)\n"
    "INSERT INTO U VALUES (2, 5, 'memo')\n"
    "INSERT INTO U VALUES (NULL, 6, NULL)\n";

// Joins and nested subqueries multiply their rows: a statement is run only
// while that product stays small (the engine has no bound of its own).
bool SmallEnough(tav::TTavQueryProvider& p) {
  int tables = 0;
  for (int i = 0; i < p.Count(); ++i) tables += p.Items(i)->Engine().TableList().Count();
  return p.Count() <= 4 && tables <= 5;
}

std::vector<std::string> Rows(tav::TTavQueryProvider& p) {
  std::vector<std::string> out;
  tav::TTavQueryDataset& rows = *p.GetResultSet();
  const int n = p.Items(0)->ResultColumns().Count();
  for (rows.First(); !rows.Eof(); rows.Next()) {
    std::string row;
    for (int i = 0; i < n; ++i) row += host::VarToStr(rows.GetFieldData(i)) + "|";
    out.push_back(row);
  }
  return out;
}

void Run(tav::TTavDataBase& db, tav::TTavQueryProvider& p, const std::string& text) {
  p.SetSQL(text);
  if (!p.ValidateSQL() || !SmallEnough(p)) return;
  for (int i = 0; i < p.Params()->Count(); ++i) p.Params()->Items(i)->SetAsInteger(i + 1);
  if (!p.PreparePlan()) return;
  if (p.GetSQLStatementType() != tav::tsSQLSelect) {
    p.ExecSQL();
    return;
  }
  if (!p.CreateResultSet()) return;
  const std::vector<std::string> first = Rows(p);
  FUZZ_CHECK(p.CreateResultSet());
  FUZZ_CHECK(Rows(p) == first);
  p.GetResultSet()->Close();
  db.DeleteTable(p.GetResultSet()->TableName(), true);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1000) return 0;
  const std::string text(reinterpret_cast<const char*>(data), size);
  tav::TTavDataBase db(nullptr);
  db.SetDataBaseName(tav::kMemoryDataBaseName);
  db.Open();
  {
    tav::testing::TSqlScriptRunner setUp(db, true);
    FUZZ_CHECK(setUp.Run(kSetUp).empty());
  }
  host::TParams params;
  tav::TTavQueryProvider provider;
  provider.SetDatabase(&db);
  provider.SetParams(&params);
  try {
    Run(db, provider, text);
  } catch (const host::EAssertionFailed&) {
    FUZZ_CHECK(false);
  } catch (const std::exception&) {
    // An ordinary error of the statement.
  }
  return 0;
}
