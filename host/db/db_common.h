// The dataset framework's own database error, for the few errors that are not
// the engine's numbered ones. Definition names (fields, indexes) compare
// without regard to case through AnsiSameText (host/rtl/sys_utils.h), never the
// process locale, so every process finds the same definitions.
#pragma once

#include <string>

#include "host/rtl/exceptions.h"

namespace host {

// Raises EDatabaseError with `message`.
[[noreturn]] void DatabaseError(const std::string& message);

}  // namespace host
