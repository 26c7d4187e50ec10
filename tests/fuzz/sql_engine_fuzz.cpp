// Random text through the parser engine as the query provider drives it:
// pre-parse, the clause operations in the order of the statement's type,
// table lists filled from known tables, the select analyser, and every
// subquery parsed by its nested engine (two levels of outer columns
// included), then the parameter list.
//
// Promises: nothing crashes, hangs, leaks or fails an assertion; a statement
// either parses or reports an error text.
#include <cstdint>
#include <string>

#include "engine/query/parse/parser_engine.h"
#include "engine/query/testing/parser_engine_driver.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/string_list.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tav;
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    testing::TParserEngineDriver driver;
    driver.AddTable("t", {{"a"}, {"b"}, {"s", host::ftString}, {"d", host::ftDate}});
    driver.AddTable("u", {{"b"}, {"c"}, {"m", host::ftMemo}, {"hidden", host::ftInteger, false}});
    const std::string error = driver.Parse(text);
    // Each statement parsed through the same engine again gives the same
    // verdict: nothing of one run reaches the next.
    FUZZ_CHECK(driver.Parse(text) == error);
    host::TStringList params;
    driver.Engine().GetParamList(&params);
  } catch (const host::EAssertionFailed&) {
    FUZZ_CHECK(false);
  } catch (...) {
    FUZZ_CHECK(false);
  }
  return 0;
}
