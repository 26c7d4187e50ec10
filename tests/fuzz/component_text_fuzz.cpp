// Random text through the component reader, into the test classes that use
// every kind of published property: each input either reads as a component
// tree (which then writes and reads back to the same text) or raises the read
// error.
#include <cstddef>
#include <cstdint>

#include "host/classes/testing/stream_test_classes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  host::test::FuzzReadComponentText(data, size);
  return 0;
}
