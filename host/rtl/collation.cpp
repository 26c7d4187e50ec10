#include "host/rtl/collation.h"

#include <array>
#include <bit>
#include <cstring>

namespace host {
namespace {

enum : uint8_t {
  kPlain = 0,
  kAcute,
  kGrave,
  kCircumflex,
  kCaron,
  kRing,
  kDiaeresis,
  kTilde,
  kCedilla,
  kStroke,
  kHook,
  kOrdinal,
  kSuperscript,
};

// One accented form of a base letter: its lower- and upper-case bytes (0 when
// the form has no such case) and its accent.
struct TVariant {
  unsigned char Lower;
  unsigned char Upper;
  uint8_t Accent;
};

// A letter of its own: one primary weight, plain lower/upper forms and the
// accented forms that share its primary weight.
struct TLetter {
  unsigned char Lower;
  unsigned char Upper;
  TVariant Variants[8];
};

// clang-format off
constexpr TLetter kLetters[] = {
    {'a', 'A', {{0xE1, 0xC1, kAcute}, {0xE0, 0xC0, kGrave}, {0xE2, 0xC2, kCircumflex},
                {0xE5, 0xC5, kRing}, {0xE4, 0xC4, kDiaeresis}, {0xE3, 0xC3, kTilde},
                {0xAA, 0, kOrdinal}}},
    {0xE6, 0xC6, {}},  // æ
    {'b', 'B', {}},
    {'c', 'C', {{0xE7, 0xC7, kCedilla}}},
    {'d', 'D', {}},
    {0xF0, 0xD0, {}},  // ð
    {'e', 'E', {{0xE9, 0xC9, kAcute}, {0xE8, 0xC8, kGrave}, {0xEA, 0xCA, kCircumflex},
                {0xEB, 0xCB, kDiaeresis}}},
    {'f', 'F', {{0x83, 0, kHook}}},
    {'g', 'G', {}},
    {'h', 'H', {}},
    {'i', 'I', {{0xED, 0xCD, kAcute}, {0xEC, 0xCC, kGrave}, {0xEE, 0xCE, kCircumflex},
                {0xEF, 0xCF, kDiaeresis}}},
    {'j', 'J', {}},
    {'k', 'K', {}},
    {'l', 'L', {}},
    {'m', 'M', {}},
    {'n', 'N', {{0xF1, 0xD1, kTilde}}},
    {'o', 'O', {{0xF3, 0xD3, kAcute}, {0xF2, 0xD2, kGrave}, {0xF4, 0xD4, kCircumflex},
                {0xF6, 0xD6, kDiaeresis}, {0xF5, 0xD5, kTilde}, {0xF8, 0xD8, kStroke},
                {0xBA, 0, kOrdinal}}},
    {0x9C, 0x8C, {}},  // œ
    {'p', 'P', {}},
    {'q', 'Q', {}},
    {'r', 'R', {}},
    {'s', 'S', {{0x9A, 0x8A, kCaron}}},
    {0xDF, 0, {}},  // ß
    {'t', 'T', {}},
    {'u', 'U', {{0xFA, 0xDA, kAcute}, {0xF9, 0xD9, kGrave}, {0xFB, 0xDB, kCircumflex},
                {0xFC, 0xDC, kDiaeresis}}},
    {'v', 'V', {}},
    {'w', 'W', {}},
    {'x', 'X', {}},
    {'y', 'Y', {{0xFD, 0xDD, kAcute}, {0xFF, 0x9F, kDiaeresis}}},
    {'z', 'Z', {{0x9E, 0x8E, kCaron}}},
    {0xFE, 0xDE, {}},  // þ
    {0xB5, 0, {}},     // µ
};

// White space, punctuation and symbols, in order. Each string is one primary
// weight: its first byte is the plain form, the others are variants of it
// (accent 1, 2, ... in the order given).
constexpr const char* kSymbols[] = {
    "\x09", "\x0A", "\x0B", "\x0C", "\x0D", "\x20\xA0",
    "_", "-\xAD\x96\x97", ",", ";", ":", "!", "\xA1", "?", "\xBF", ".", "\x85",
    "'\x91\x92\x82", "\"\x93\x94\x84", "\xAB", "\xBB", "\x8B", "\x9B",
    "(", ")", "[", "]", "{", "}", "@", "*", "/", "\\", "&", "#", "%", "\x89",
    "`", "\xB4", "^\x88", "\xA8", "\xAF", "\xB8", "~\x98",
    "\x86", "\x87", "\x95", "\xB7", "\xB6", "\xA7", "\xA9", "\xAE", "\x99", "\xB0", "\xA6", "|",
    "+", "\xB1", "\xF7", "\xD7", "<", "=", ">", "\xAC",
    "\xA4", "\xA2", "$", "\xA3", "\xA5", "\x80",
    "\xBC", "\xBD", "\xBE",
};
// clang-format on

// Bytes with no printable meaning: the C0 controls other than white space,
// DEL and the five bytes Windows-1252 leaves unassigned. They sort first, in
// byte order.
constexpr bool IsControl(unsigned c) {
  return c <= 0x08 || (c >= 0x0E && c <= 0x1F) || c == 0x7F || c == 0x81 || c == 0x8D ||
         c == 0x8F || c == 0x90 || c == 0x9D;
}

struct TTables {
  std::array<TCollationWeight, 256> Weight{};
  std::array<unsigned char, 256> Fold{};
  std::array<bool, 256> Set{};
  uint16_t MaxPrimary = 0;
  bool Complete = true;  // every byte has weights, and no byte twice

  constexpr void Put(unsigned c, uint16_t primary, uint8_t accent, uint8_t cs, unsigned folded) {
    if (Set[c]) Complete = false;
    Set[c] = true;
    Weight[c] = TCollationWeight{primary, accent, cs};
    Fold[c] = static_cast<unsigned char>(folded);
  }
};

constexpr TTables BuildTables() {
  TTables t;
  uint16_t p = 0;
  for (unsigned c = 0; c < 256; ++c)
    if (IsControl(c)) t.Put(c, ++p, kPlain, 0, c);
  for (const char* group : kSymbols) {
    ++p;
    uint8_t accent = 0;
    for (const char* q = group; *q; ++q)
      t.Put(static_cast<unsigned char>(*q), p, accent++, 0, static_cast<unsigned char>(*q));
  }
  for (char d = '0'; d <= '9'; ++d)
    t.Put(static_cast<unsigned char>(d), ++p, kPlain, 0, static_cast<unsigned char>(d));
  // Superscripts share the primary weight of their digit.
  const uint16_t digit0 = t.Weight['0'].Primary;
  t.Put(0xB9, static_cast<uint16_t>(digit0 + 1), kSuperscript, 0, 0xB9);
  t.Put(0xB2, static_cast<uint16_t>(digit0 + 2), kSuperscript, 0, 0xB2);
  t.Put(0xB3, static_cast<uint16_t>(digit0 + 3), kSuperscript, 0, 0xB3);
  for (const TLetter& l : kLetters) {
    ++p;
    t.Put(l.Lower, p, kPlain, 0, l.Lower);
    if (l.Upper) t.Put(l.Upper, p, kPlain, 1, l.Lower);
    for (const TVariant& v : l.Variants) {
      if (!v.Lower) break;
      t.Put(v.Lower, p, v.Accent, 0, v.Lower);
      if (v.Upper) t.Put(v.Upper, p, v.Accent, 1, v.Lower);
    }
  }
  for (unsigned c = 0; c < 256; ++c)
    if (!t.Set[c]) t.Complete = false;
  t.MaxPrimary = p;
  return t;
}

constexpr TTables kTables = BuildTables();
static_assert(kTables.Complete, "every Windows-1252 byte needs exactly one set of weights");
// An 8-bit sort key holds each first-level weight in one byte, 0 being the
// end mark.
static_assert(kTables.MaxPrimary < 256, "first-level weights must fit a byte");
// A wide one, a code point above them all included, fits three.
static_assert(kTables.MaxPrimary + 1u + 0x10FFFFu < (1u << 24), "wide weights must fit three bytes");

// Bytes 0x80..0x9F of Windows-1252 as UTF-16.
// clang-format off
constexpr char16_t kHigh[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};
// clang-format on

// Weights of one character of either width; a character outside
// Windows-1252 gets a primary weight above every 1252 character.
struct TCharWeight {
  uint32_t Primary;
  uint8_t Accent;
  uint8_t Case;
  uint32_t Tie;  // the final tie-break value (folded when comparing without case)
};

inline TCharWeight WeightOfByte(unsigned char c, bool ci) {
  const TCollationWeight& w = kTables.Weight[c];
  return {w.Primary, w.Accent, w.Case, ci ? kTables.Fold[c] : c};
}

inline TCharWeight WeightOfCodePoint(char32_t cp, bool ci) {
  unsigned char b;
  if (WideCharToCp1252(cp, b)) {
    TCharWeight w = WeightOfByte(b, ci);
    // Tie-break by code point, so the order of ties agrees with the 8-bit one
    // only where that matters: only identical text ties.
    w.Tie = ci ? Cp1252ToWideChar(static_cast<unsigned char>(w.Tie)) : static_cast<uint32_t>(cp);
    return w;
  }
  return {static_cast<uint32_t>(kTables.MaxPrimary) + 1u + static_cast<uint32_t>(cp), 0, 0,
          static_cast<uint32_t>(cp)};
}

// The levels after the first are decided by the first difference found
// while walking both strings once; the first level decides at once.
struct TLaterLevels {
  int Accent = 0;
  int Case = 0;
  int Tie = 0;

  // Returns the first-level result when the primaries differ, else notes the
  // later levels and returns 0.
  int Note(const TCharWeight& a, const TCharWeight& b, bool ci) {
    if (a.Primary != b.Primary) return a.Primary < b.Primary ? -1 : 1;
    if (!Accent && a.Accent != b.Accent) Accent = a.Accent < b.Accent ? -1 : 1;
    if (!ci && !Case && a.Case != b.Case) Case = a.Case < b.Case ? -1 : 1;
    if (!Tie && a.Tie != b.Tie) Tie = a.Tie < b.Tie ? -1 : 1;
    return 0;
  }

  int Result() const { return Accent ? Accent : (Case ? Case : Tie); }
};

// The length of the common prefix of a and b within their first n bytes,
// eight bytes at a time.
inline size_t CommonPrefix(const unsigned char* a, const unsigned char* b, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t x, y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    if (x == y) continue;
    const uint64_t d = x ^ y;
    if constexpr (std::endian::native == std::endian::little)
      return i + static_cast<size_t>(std::countr_zero(d)) / 8;
    else
      return i + static_cast<size_t>(std::countl_zero(d)) / 8;
  }
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

int CollateAnsi(const char* s1, size_t len1, const char* s2, size_t len2, bool ci) {
  const auto* a = reinterpret_cast<const unsigned char*>(s1);
  const auto* b = reinterpret_cast<const unsigned char*>(s2);
  const size_t n = len1 < len2 ? len1 : len2;
  TLaterLevels later;
  // Equal bytes weigh the same at every level: a common prefix decides
  // nothing and is passed over a word at a time.
  for (size_t i = CommonPrefix(a, b, n); i < n; ++i) {
    if (a[i] == b[i]) continue;
    if (int r = later.Note(WeightOfByte(a[i], ci), WeightOfByte(b[i], ci), ci)) return r;
  }
  if (len1 != len2) return len1 < len2 ? -1 : 1;
  return later.Result();
}

// Reads UTF-16 units from an aligned array.
struct TUnitsNative {
  const char16_t* P;
  char16_t operator[](size_t i) const { return P[i]; }
};

// Reads UTF-16 little-endian units from unaligned bytes.
struct TUnitsLE {
  const unsigned char* P;
  char16_t operator[](size_t i) const {
    return static_cast<char16_t>(P[2 * i] | (P[2 * i + 1] << 8));
  }
};

// The code point at position i, moving i past it. A lone surrogate stands
// for itself.
template <class Units>
char32_t NextCodePoint(const Units& u, size_t len, size_t& i) {
  char32_t c = u[i++];
  if (c >= 0xD800 && c <= 0xDBFF && i < len) {
    char32_t lo = u[i];
    if (lo >= 0xDC00 && lo <= 0xDFFF) {
      ++i;
      return 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00);
    }
  }
  return c;
}

template <class Units>
int CollateWide(const Units& a, size_t len1, const Units& b, size_t len2, bool ci) {
  size_t i = 0, j = 0;
  TLaterLevels later;
  while (i < len1 && j < len2) {
    char32_t c1 = NextCodePoint(a, len1, i);
    char32_t c2 = NextCodePoint(b, len2, j);
    if (c1 == c2) continue;
    if (int r = later.Note(WeightOfCodePoint(c1, ci), WeightOfCodePoint(c2, ci), ci)) return r;
  }
  if (i < len1) return 1;
  if (j < len2) return -1;
  return later.Result();
}

// Big-endian, so that bytes compare as the number.
inline uint8_t* PutBE24(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 16);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v);
  return p + 3;
}

}  // namespace

TCollationWeight CollationWeightOf(unsigned char c) {
  return kTables.Weight[c];
}

unsigned char CollationFoldCase(unsigned char c) {
  return kTables.Fold[c];
}

char16_t Cp1252ToWideChar(unsigned char c) {
  if (c >= 0x80 && c <= 0x9F) return kHigh[c - 0x80];
  return c;
}

bool WideCharToCp1252(char32_t cp, unsigned char& out) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) {
    out = static_cast<unsigned char>(cp);
    return true;
  }
  for (unsigned k = 0; k < 32; ++k) {
    if (kHigh[k] == cp) {
      out = static_cast<unsigned char>(0x80 + k);
      return true;
    }
  }
  return false;
}

// The compares decide at the first character whose first-level weights
// differ, else by the number of characters, else at the first difference of
// each later level in turn: the key's sections in that order give the same
// answer. Past equal first levels (end mark included) both strings have as
// many characters, so the later sections line up and no key can be a prefix
// of another.
void AppendAnsiSortKey(const char* s, size_t len, bool caseInsensitive, std::vector<uint8_t>& out) {
  const auto* a = reinterpret_cast<const unsigned char*>(s);
  const size_t levels = caseInsensitive ? 3 : 4;
  const size_t at = out.size();
  out.resize(at + levels * len + 1);
  uint8_t* primary = out.data() + at;
  uint8_t* accent = primary + len + 1;
  uint8_t* caseLevel = accent + len;
  uint8_t* tie = caseInsensitive ? caseLevel : caseLevel + len;
  for (size_t i = 0; i < len; ++i) {
    const TCollationWeight& w = kTables.Weight[a[i]];
    primary[i] = static_cast<uint8_t>(w.Primary);
    accent[i] = w.Accent;
    if (!caseInsensitive) caseLevel[i] = w.Case;
    tie[i] = caseInsensitive ? kTables.Fold[a[i]] : a[i];
  }
  primary[len] = 0;
}

void AppendWideSortKeyLE(const void* s, size_t units, bool caseInsensitive,
                         std::vector<uint8_t>& out) {
  const TUnitsLE u{static_cast<const unsigned char*>(s)};
  // First-level weights and tie-break values of wide text reach past 16
  // bits (code points above the 1252 ones): three bytes each. The sections'
  // places follow from the number of characters, so one pass fills them all.
  size_t n = 0;
  for (size_t i = 0; i < units; ++n) NextCodePoint(u, units, i);
  const size_t at = out.size();
  out.resize(at + 3 * n + 3 + n + (caseInsensitive ? 0 : n) + 3 * n);
  uint8_t* primary = out.data() + at;
  uint8_t* accent = primary + 3 * n + 3;
  uint8_t* caseLevel = accent + n;
  uint8_t* tie = caseInsensitive ? caseLevel : caseLevel + n;
  for (size_t i = 0; i < units;) {
    const TCharWeight w = WeightOfCodePoint(NextCodePoint(u, units, i), caseInsensitive);
    primary = PutBE24(primary, w.Primary);
    *accent++ = w.Accent;
    if (!caseInsensitive) *caseLevel++ = w.Case;
    tie = PutBE24(tie, w.Tie);
  }
  PutBE24(primary, 0);
}

int CollateAnsiStr(const char* s1, size_t len1, const char* s2, size_t len2) {
  return CollateAnsi(s1, len1, s2, len2, false);
}

int CollateAnsiText(const char* s1, size_t len1, const char* s2, size_t len2) {
  return CollateAnsi(s1, len1, s2, len2, true);
}

int CollateWideStr(const char16_t* s1, size_t len1, const char16_t* s2, size_t len2) {
  return CollateWide(TUnitsNative{s1}, len1, TUnitsNative{s2}, len2, false);
}

int CollateWideText(const char16_t* s1, size_t len1, const char16_t* s2, size_t len2) {
  return CollateWide(TUnitsNative{s1}, len1, TUnitsNative{s2}, len2, true);
}

int CollateWideLE(const void* s1, size_t units1, const void* s2, size_t units2,
                  bool caseInsensitive) {
  return CollateWide(TUnitsLE{static_cast<const unsigned char*>(s1)}, units1,
                     TUnitsLE{static_cast<const unsigned char*>(s2)}, units2, caseInsensitive);
}

}  // namespace host
