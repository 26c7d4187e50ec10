// Random text through the schema statement parser as the query provider runs
// it: a single-stack pre-parse, the statement, validation against a fixed
// table and, when that passes, the restructure definitions.
//
// Promises: nothing crashes, hangs, leaks or raises; every failure is a
// recorded error (a parse or a validation fails exactly when it recorded
// one), a message names the place it was found, and the definitions filled
// afterwards hold what the statement asked for.
#include <cstdint>
#include <string>

#include "engine/expr/pre_parser.h"
#include "engine/expr/schema_parser.h"
#include "engine/expr/testing/expr_test_support.h"
#include "host/rtl/sys_utils.h"
#include "fuzz_check.h"

namespace {

using namespace tav;

// Table T: ID integer, Name string(20), Born date; indexes PK (primary) on
// ID and ByName on Name;Born.
struct Table : tav::testing::TSchemaTestTable {
  Table()
      : TSchemaTestTable({{"ID", host::ftInteger}, {"Name", host::ftString}, {"Born", host::ftDate}},
                         {{"PK", "ID", {host::ixPrimary}}, {"ByName", "Name;Born", {}}}) {}
};

bool HasField(const TRestructureFieldDefs& defs, const std::string& name) {
  for (int i = 0; i < defs.Count(); ++i) {
    if (host::AnsiSameText(defs.Items(i)->Name(), name)) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    TTavPreParser pre;
    pre.SetParseSingleStack(true);
    pre.SetText(text);
    pre.PreParseTokens();
    TTavSchemaManipulationParser parser;
    const bool ok = parser.Execute(TTavParserOptions{tpoExtSyntax}, pre.GetSingleStack());
    FUZZ_CHECK(ok == !parser.HasParseError());
    if (!ok) {
      FUZZ_CHECK(parser.ErrorToken != nullptr);
      FUZZ_CHECK(parser.GetErrorMsg().find(" Line ") != std::string::npos);
      return 0;
    }
    Table table;
    const bool valid = parser.ValidateTableChanges(table.fields, &table.indexes);
    FUZZ_CHECK(valid == !parser.HasParseError());
    (void)parser.GetErrorMsg();
    if (!valid) return 0;
    parser.SetRestructureFieldDefs(table.fieldDefs);
    parser.SetRestructureIndexDefs(table.indexDefs);
    if (parser.Operation == ddAlterTable) {
      for (int i = 0; i < parser.AddedFields.Count(); ++i)
        FUZZ_CHECK(HasField(table.fieldDefs, parser.AddedFields.Items(i)->FieldName()));
      for (int i = 0; i < parser.AlteredFields.Count(); ++i)
        FUZZ_CHECK(HasField(table.fieldDefs, parser.AlteredFields.Items(i)->FieldName()));
    }
    if (parser.Operation == ddDropIndex) FUZZ_CHECK(table.indexDefs.Count() == 1);
    if (parser.Operation == ddCreateIndex) FUZZ_CHECK(table.indexDefs.Count() == 3);
  } catch (...) {
    FUZZ_CHECK(false);
  }
  return 0;
}
