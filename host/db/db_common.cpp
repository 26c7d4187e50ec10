#include "host/db/db_common.h"

namespace host {

void DatabaseError(const std::string& message) { throw EDatabaseError(message); }

char AnsiUpperChar(char c) {
  auto b = static_cast<unsigned char>(c);
  if (b >= 'a' && b <= 'z') return static_cast<char>(b - 0x20);
  // Accented lower case letters 0xE0..0xFE map 0x20 down, except the division
  // sign 0xF7; the few letters in 0x80..0x9F and y with diaeresis pair apart.
  if (b >= 0xE0 && b <= 0xFE && b != 0xF7) return static_cast<char>(b - 0x20);
  switch (b) {
    case 0x9A: return static_cast<char>(0x8A);  // s caron
    case 0x9C: return static_cast<char>(0x8C);  // oe
    case 0x9E: return static_cast<char>(0x8E);  // z caron
    case 0xFF: return static_cast<char>(0x9F);  // y diaeresis
    default: return c;
  }
}

bool SameDefName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (AnsiUpperChar(a[i]) != AnsiUpperChar(b[i])) return false;
  return true;
}

}  // namespace host
