// Random filter text through the table filter: parse, rewrite, optimise and
// evaluate over a small stored table with six indexes, once through the
// indexes and once by evaluating every row, in both null modes.
//
// Promises: nothing crashes, hangs or leaks; a text parses through both or
// neither; and whenever evaluating every row succeeds, the indexes give
// exactly the same rows in the same order (rows answered by an index are
// never checked again, so a difference would be wrong rows given silently).
#include <cstdint>
#include <exception>
#include <string>

#include "engine/expr/testing/stored_table_provider.h"
#include "fuzz_check.h"

namespace {

tav::testing::TFilterRig& Rig() {
  static tav::testing::TFilterRig rig(160, 1);
  return rig;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 2000) return 0;
  const std::string text(reinterpret_cast<const char*>(data), size);
  tav::testing::TFilterRig& rig = Rig();
  for (int mode = 0; mode < 4; ++mode) {
    host::TFilterOptions options;
    if (mode & 2) options.Include(host::foCaseInsensitive);
    for (tav::TTavBaseFilterEvaluator* e : {&rig.indexed, &rig.plain}) {
      e->SetFilterText(text);
      e->SetExcludeRelopNulls((mode & 1) != 0);
      e->SetFilterOptions(options);
    }
    bool plainOk = false;
    try {
      plainOk = rig.plain.Open();
    } catch (const std::exception&) {
      continue;  // a row the indexes may skip raised: nothing to compare
    }
    bool indexedOk = false;
    try {
      indexedOk = rig.indexed.Open();
    } catch (const std::exception&) {
      FUZZ_CHECK(false);
    }
    FUZZ_CHECK(plainOk == indexedOk);
    FUZZ_CHECK(rig.plain.GetErrors() == rig.indexed.GetErrors());
    if (plainOk) FUZZ_CHECK(rig.plain.Result == rig.indexed.Result);
  }
  return 0;
}
