// The fuzz body for the registry store's reader: any text either parses or
// is refused as damaged with a line inside the text; a parsed store writes a
// text that reads back to the same text. Used by the libFuzzer target and by
// a test that replays generated inputs.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "os/registry_store.h"
#include "os/win_error.h"

namespace os::test {

inline void FuzzRegistryStoreText(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string written;
  try {
    written = TRegTree::Parse(text, "fuzz.reg").Text();
  } catch (const EDamagedFile& e) {
    const int lines = 1 + static_cast<int>(std::count(text.begin(), text.end(), '\n'));
    if (e.Line() < 1 || e.Line() > lines) throw std::logic_error("damage outside the text");
    return;
  }
  if (TRegTree::Parse(written, "again.reg").Text() != written) {
    throw std::logic_error("a written store does not read back");
  }
}

}  // namespace os::test
