// Random text through the registry store's reader. A text either reads, or is
// refused as damaged naming a line inside it; nothing else may escape. A text
// that reads is written out again, and the written store reads back to the
// very same text (the file form is stable).
#include <algorithm>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "os/registry_store.h"
#include "os/win_error.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string written;
  try {
    written = os::TRegTree::Parse(text, "fuzz.reg").Text();
  } catch (const os::EDamagedFile& e) {
    const int lines = 1 + static_cast<int>(std::count(text.begin(), text.end(), '\n'));
    FUZZ_CHECK(e.Line() >= 1 && e.Line() <= lines);
    FUZZ_CHECK(e.File() == "fuzz.reg");
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "raised: %s\n", e.what());
    FUZZ_CHECK(!"the reader raised something other than EDamagedFile");
  }
  std::string again;
  try {
    again = os::TRegTree::Parse(written, "again.reg").Text();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "raised: %s\n", e.what());
    FUZZ_CHECK(!"a written store does not read");
  }
  FUZZ_CHECK(again == written);
  return 0;
}
