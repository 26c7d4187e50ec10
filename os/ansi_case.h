// The case of Windows-1252 letters, from one fixed pair of tables that never
// consult the process locale. The host library's case routines and this
// layer's case-blind file and key names all map through these, so a name
// matches the same way everywhere.
//
// The letters a..z, à..þ (without ÷), š, œ, ž and ÿ have upper cases; ß and µ
// have none.
#pragma once

#include <array>
#include <string_view>

namespace os {

using TAnsiCaseTable = std::array<unsigned char, 256>;

extern const TAnsiCaseTable kAnsiUpper;
extern const TAnsiCaseTable kAnsiLower;

inline unsigned char AnsiUpperByte(unsigned char c) {
  return kAnsiUpper[c];
}
inline unsigned char AnsiLowerByte(unsigned char c) {
  return kAnsiLower[c];
}

// Equal after mapping both sides to upper case.
bool AnsiSameText(std::string_view a, std::string_view b);

}  // namespace os
