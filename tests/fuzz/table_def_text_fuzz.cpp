// Random text through the reader of stored table definitions: each input
// either reads as a definition (which then writes and reads back to the same
// text) or raises 8581.
#include <cstddef>
#include <cstdint>

#include "engine/storage/testing/table_def_text_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tav::test::FuzzReadTableDefText(data, size);
  return 0;
}
