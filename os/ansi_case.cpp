#include "os/ansi_case.h"

namespace os {
namespace {

// Built at compile time, so no process setting can change them.
constexpr TAnsiCaseTable MakeUpperTable() {
  TAnsiCaseTable t{};
  for (int c = 0; c < 256; ++c) t[c] = static_cast<unsigned char>(c);
  for (int c = 'a'; c <= 'z'; ++c) t[c] = static_cast<unsigned char>(c - 32);
  for (int c = 0xE0; c <= 0xFE; ++c)
    if (c != 0xF7) t[c] = static_cast<unsigned char>(c - 32);
  t[0x9A] = 0x8A;
  t[0x9C] = 0x8C;
  t[0x9E] = 0x8E;
  t[0xFF] = 0x9F;
  return t;
}

constexpr TAnsiCaseTable MakeLowerTable() {
  TAnsiCaseTable t{};
  for (int c = 0; c < 256; ++c) t[c] = static_cast<unsigned char>(c);
  for (int c = 'A'; c <= 'Z'; ++c) t[c] = static_cast<unsigned char>(c + 32);
  for (int c = 0xC0; c <= 0xDE; ++c)
    if (c != 0xD7) t[c] = static_cast<unsigned char>(c + 32);
  t[0x8A] = 0x9A;
  t[0x8C] = 0x9C;
  t[0x8E] = 0x9E;
  t[0x9F] = 0xFF;
  return t;
}

}  // namespace

constexpr TAnsiCaseTable kAnsiUpper = MakeUpperTable();
constexpr TAnsiCaseTable kAnsiLower = MakeLowerTable();

bool AnsiSameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (kAnsiUpper[static_cast<unsigned char>(a[i])] !=
        kAnsiUpper[static_cast<unsigned char>(b[i])]) {
      return false;
    }
  }
  return true;
}

}  // namespace os
