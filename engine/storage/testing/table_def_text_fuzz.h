// The body of a fuzz run over stored table definitions. Test code only.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "engine/storage/base/tav_errors.h"
#include "engine/storage/table/table_def.h"
#include "engine/storage/table/table_def_text.h"

namespace tav::test {

// Any bytes either read as a table definition or raise 8581. A definition
// that was read writes a text that reads back to the same text. Anything
// else (another error, a crash, a leak under the sanitizers) is a fault; a
// broken round trip or a wrong error raises std::logic_error.
inline void FuzzReadTableDefText(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  TTableDef def(nullptr);
  try {
    TextToTableDef(text, def);
  } catch (const ETavDatabaseError& e) {
    if (e.ErrorCode() != kUnexpectedInternalError)
      throw std::logic_error("a damaged definition raised another error");
    return;
  }
  const std::string once = TableDefToText(def);
  TTableDef again(nullptr);
  TextToTableDef(once, again);
  if (TableDefToText(again) != once) throw std::logic_error("table definition did not round-trip");
}

}  // namespace tav::test
