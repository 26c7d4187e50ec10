// What the dataset framework's definitions share: the framework's own database
// error (for the few errors that are not the engine's numbered ones), and the
// rule by which definition names are compared.
//
// Names compare without regard to case through a fixed Windows-1252 case table,
// never the process locale, so every process finds the same definitions.
#pragma once

#include <string>
#include <string_view>

#include "host/rtl/exceptions.h"

namespace host {

// Raises EDatabaseError with `message`.
[[noreturn]] void DatabaseError(const std::string& message);

// The Windows-1252 upper case of one character (letters with accents included;
// characters without an upper case are returned unchanged).
char AnsiUpperChar(char c);

// Whether two definition names are equal without regard to case.
bool SameDefName(std::string_view a, std::string_view b);

}  // namespace host
