#include "host/rtl/collation.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace host {
namespace {

// Test texts are written in UTF-8 for reading; this turns them into the
// Windows-1252 bytes the collation works on.
std::string Ansi(const std::string& utf8) {
  std::string out;
  for (size_t i = 0; i < utf8.size();) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    char32_t cp;
    int n;
    if (c < 0x80) {
      cp = c;
      n = 1;
    } else if ((c & 0xE0) == 0xC0) {
      cp = c & 0x1F;
      n = 2;
    } else if ((c & 0xF0) == 0xE0) {
      cp = c & 0x0F;
      n = 3;
    } else {
      cp = c & 0x07;
      n = 4;
    }
    for (int k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    i += n;
    unsigned char b;
    if (!WideCharToCp1252(cp, b)) ADD_FAILURE() << "not a Windows-1252 character in " << utf8;
    out += static_cast<char>(b);
  }
  return out;
}

std::u16string Wide(const std::string& ansi) {
  std::u16string w;
  for (char c : ansi) w += Cp1252ToWideChar(static_cast<unsigned char>(c));
  return w;
}

int Sgn(int v) {
  return v < 0 ? -1 : (v > 0 ? 1 : 0);
}

int CS(const std::string& a, const std::string& b) {
  return Sgn(CollateAnsiStr(a.data(), a.size(), b.data(), b.size()));
}
int CI(const std::string& a, const std::string& b) {
  return Sgn(CollateAnsiText(a.data(), a.size(), b.data(), b.size()));
}

// The fixed order every process must produce, whatever its locale.
const char* const kExpectedOrder[] = {
    "",      " x",     "_x",     "-x",     "!x",    "'x",     "(x",     "#1",     "$5",     "€5",
    "12",    "123",    "2",      "²",      "a b",   "a-b",    "a1",     "ab",     "aB",     "Ab",
    "AB",    "áb",     "àb",     "äb",     "Äb",    "apple",  "Apple",  "äpple",  "apples", "az",
    "æble",  "Æble",   "b",      "cava",   "çava",  "ðe",     "e",      "naive",  "naïve",  "ore",
    "Ore",   "øre",    "ouvrir", "œuvre",  "Œuvre", "resume", "Resume", "résumé", "rèsume", "sas",
    "saß",   "sat",    "ss",     "sz",     "ß",     "tz",     "y",      "ý",      "ÿ",      "Ÿ",
    "zebra", "zurich", "Zurich", "Zürich", "þorn",  "µs",
};

std::vector<std::string> ExpectedWords() {
  std::vector<std::string> v;
  for (const char* w : kExpectedOrder) v.push_back(Ansi(w));
  return v;
}

std::vector<std::string> Shuffled(std::vector<std::string> v, unsigned seed) {
  std::mt19937 rng(seed);
  std::shuffle(v.begin(), v.end(), rng);
  return v;
}

std::string Hex(const std::string& s) {
  static const char* d = "0123456789abcdef";
  std::string h;
  for (unsigned char c : s) {
    h += d[c >> 4];
    h += d[c & 15];
  }
  return h;
}

// The words sorted case-sensitively, then (stably) case-insensitively, as
// hex lines; what a child process prints for its parent to compare.
std::vector<std::string> SortedHexLines() {
  std::vector<std::string> v = Shuffled(ExpectedWords(), 7);
  std::vector<std::string> lines;
  std::sort(v.begin(), v.end(), [](const auto& a, const auto& b) { return CS(a, b) < 0; });
  for (const auto& w : v) lines.push_back("cs " + Hex(w));
  v = Shuffled(ExpectedWords(), 11);
  std::stable_sort(v.begin(), v.end(), [](const auto& a, const auto& b) { return CI(a, b) < 0; });
  for (const auto& w : v) lines.push_back("ci " + Hex(w));
  return lines;
}

TEST(CollationTest, WordsSortIntoTheFixedOrder) {
  const auto expected = ExpectedWords();
  ASSERT_EQ(std::set<std::string>(expected.begin(), expected.end()).size(), expected.size());
  for (unsigned seed : {1u, 2u, 3u}) {
    auto v = Shuffled(expected, seed);
    std::sort(v.begin(), v.end(), [](const auto& a, const auto& b) { return CS(a, b) < 0; });
    EXPECT_EQ(v, expected) << "seed " << seed;
  }
  // Every pair agrees with the list's order, in both directions.
  for (size_t i = 0; i < expected.size(); ++i)
    for (size_t j = 0; j < expected.size(); ++j)
      ASSERT_EQ(CS(expected[i], expected[j]), i < j ? -1 : (i > j ? 1 : 0))
          << kExpectedOrder[i] << " / " << kExpectedOrder[j];
}

TEST(CollationTest, LevelsDecideInTurn) {
  // Base letters outweigh accents and case anywhere in the string.
  EXPECT_LT(CS(Ansi("Áz"), Ansi("b")), 0);
  EXPECT_LT(CS(Ansi("aé"), Ansi("Af")), 0);
  // Accents outweigh case; lower case comes first.
  EXPECT_LT(CS(Ansi("Ab"), Ansi("áb")), 0);
  EXPECT_LT(CS("a", "A"), 0);
  EXPECT_LT(CS("abC", "aBc"), 0);  // the first case difference decides
  // A prefix sorts first, even when the longer string has lower weights later.
  EXPECT_LT(CS(Ansi("ÁB"), "abc"), 0);
  // Punctuation and symbols before digits before letters.
  EXPECT_LT(CS(Ansi("€"), "0"), 0);
  EXPECT_LT(CS("~", "0"), 0);
  EXPECT_LT(CS("9", "A"), 0);
  EXPECT_LT(CS(Ansi("¾"), "0"), 0);
  // Controls before white space before punctuation; NUL is the lowest.
  EXPECT_LT(CS(std::string(1, '\0'), "\x01"), 0);
  EXPECT_LT(CS("\x1f", "\t"), 0);
  EXPECT_LT(CS(" ", "_"), 0);
  // Variants stay next to their base.
  EXPECT_LT(CS("'", Ansi("’")), 0);
  EXPECT_LT(CS(Ansi("’"), "\""), 0);
  EXPECT_EQ(CS(Ansi("it’s"), Ansi("it’s")), 0);
  EXPECT_LT(CS("it's", Ansi("it’s")), 0);
}

TEST(CollationTest, ClassesOfCharactersSortInBlocks) {
  // 0 controls, 1 white space, 2 punctuation and symbols, 3 digits, 4 letters.
  const std::string letters =
      Ansi("ƒŠŒŽšœžŸªµºÀÁÂÃÄÅÆÇÈÉÊËÌÍÎÏÐÑÒÓÔÕÖØÙÚÛÜÝÞßàáâãäåæçèéêëìíîïðñòóôõöøùúûüýþÿ");
  const std::string digits = Ansi("0123456789¹²³");
  auto classOf = [&](unsigned c) {
    const char ch = static_cast<char>(c);
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || letters.find(ch) != std::string::npos)
      return 4;
    if (digits.find(ch) != std::string::npos) return 3;
    if ((c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0xA0) return 1;
    if (c < 0x20 || c == 0x7F || c == 0x81 || c == 0x8D || c == 0x8F || c == 0x90 || c == 0x9D)
      return 0;
    return 2;
  };
  unsigned lo[5], hi[5];
  std::fill(std::begin(lo), std::end(lo), 0xFFFFu);
  std::fill(std::begin(hi), std::end(hi), 0u);
  for (unsigned c = 0; c < 256; ++c) {
    const int k = classOf(c);
    const unsigned p = CollationWeightOf(static_cast<unsigned char>(c)).Primary;
    lo[k] = std::min(lo[k], p);
    hi[k] = std::max(hi[k], p);
  }
  for (int k = 0; k + 1 < 5; ++k) EXPECT_LT(hi[k], lo[k + 1]) << "class " << k;
  // Case pairs differ in case only; folding keeps the other levels.
  for (unsigned c = 0; c < 256; ++c) {
    const auto w = CollationWeightOf(static_cast<unsigned char>(c));
    const auto f = CollationWeightOf(CollationFoldCase(static_cast<unsigned char>(c)));
    ASSERT_EQ(w.Primary, f.Primary) << c;
    ASSERT_EQ(w.Accent, f.Accent) << c;
    ASSERT_EQ(f.Case, 0) << c;
  }
}

TEST(CollationTest, OnlyIdenticalStringsAreEqual) {
  for (unsigned a = 0; a < 256; ++a)
    for (unsigned b = 0; b < 256; ++b) {
      const std::string sa(1, static_cast<char>(a)), sb(1, static_cast<char>(b));
      ASSERT_EQ(CS(sa, sb) == 0, a == b) << a << " " << b;
      ASSERT_EQ(CS(sa, sb), -CS(sb, sa)) << a << " " << b;
      ASSERT_EQ(CI(sa, sb) == 0, CollationFoldCase(static_cast<unsigned char>(a)) ==
                                     CollationFoldCase(static_cast<unsigned char>(b)))
          << a << " " << b;
    }
  EXPECT_EQ(CI(Ansi("ÄPFEL Straße"), Ansi("äpfel STRAßE")), 0);
  EXPECT_NE(CI(Ansi("äpfel"), "apfel"), 0);
  EXPECT_EQ(CI(Ansi("ŒUVRE ŸVES ŠA ŽE"), Ansi("œuvre ÿves ša že")), 0);
  EXPECT_NE(CI(Ansi("×"), Ansi("÷")), 0);  // not a case pair, though 32 apart
}

TEST(CollationTest, OrderIsTotalOverRandomStrings) {
  // Antisymmetric and transitive over short strings from a small alphabet
  // with ties at every level.
  const std::string alphabet = Ansi("aAáÁbB-' 1²ßsS");
  std::mt19937 rng(5);
  std::vector<std::string> v;
  for (int i = 0; i < 300; ++i) {
    std::string s;
    for (int n = static_cast<int>(rng() % 4); n > 0; --n) {
      // Pick a whole character: the alphabet is 1252 bytes.
      s += alphabet[rng() % alphabet.size()];
    }
    v.push_back(s);
  }
  std::sort(v.begin(), v.end(), [](const auto& a, const auto& b) { return CS(a, b) < 0; });
  for (size_t i = 0; i + 1 < v.size(); ++i) {
    ASSERT_LE(CS(v[i], v[i + 1]), 0);
    ASSERT_EQ(CS(v[i], v[i + 1]) == 0, v[i] == v[i + 1]);
  }
  for (size_t i = 0; i < v.size(); i += 7)
    for (size_t j = i; j < v.size(); j += 5) ASSERT_LE(CS(v[i], v[j]), 0);
}

// The order by its definition, one byte at a time: what the compares must
// give however they pass over equal bytes.
int ByteByByte(const std::string& a, const std::string& b, bool ci) {
  const size_t n = std::min(a.size(), b.size());
  int accent = 0, caseLevel = 0, tie = 0;
  for (size_t i = 0; i < n; ++i) {
    const auto ca = static_cast<unsigned char>(a[i]), cb = static_cast<unsigned char>(b[i]);
    const TCollationWeight wa = CollationWeightOf(ca), wb = CollationWeightOf(cb);
    if (wa.Primary != wb.Primary) return wa.Primary < wb.Primary ? -1 : 1;
    if (!accent && wa.Accent != wb.Accent) accent = wa.Accent < wb.Accent ? -1 : 1;
    if (!ci && !caseLevel && wa.Case != wb.Case) caseLevel = wa.Case < wb.Case ? -1 : 1;
    const unsigned ta = ci ? CollationFoldCase(ca) : ca, tb = ci ? CollationFoldCase(cb) : cb;
    if (!tie && ta != tb) tie = ta < tb ? -1 : 1;
  }
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  return accent ? accent : (caseLevel ? caseLevel : tie);
}

TEST(CollationTest, LongCommonPrefixesDecideNothing) {
  // Pairs that agree for 0 to 40 bytes and then differ at one level (or only
  // in length), with further differences after it: the compare that skips
  // equal bytes a word at a time gives the byte-by-byte order.
  const std::string alphabet = Ansi("aAáÁeE-' 1²ßsSzZ\x7f");
  std::mt19937 rng(17);
  auto randomText = [&](size_t n) {
    std::string s;
    for (size_t k = 0; k < n; ++k) s += alphabet[rng() % alphabet.size()];
    return s;
  };
  for (int round = 0; round < 4000; ++round) {
    const std::string prefix = randomText(rng() % 41);
    std::string a = prefix + randomText(rng() % 12), b = prefix + randomText(rng() % 12);
    if (round % 5 == 0) b = a.substr(0, rng() % (a.size() + 1));  // a prefix of the other
    if (round % 7 == 0 && !a.empty()) {
      b = a;
      b[rng() % b.size()] ^= 0x20;  // a case twin, or another character
    }
    SCOPED_TRACE(Hex(a) + " / " + Hex(b));
    ASSERT_EQ(CS(a, b), ByteByByte(a, b, false));
    ASSERT_EQ(CI(a, b), ByteByByte(a, b, true));
    ASSERT_EQ(CS(b, a), -CS(a, b));
  }
}

TEST(CollationTest, ComparesReadOnlyWithinTheLengths) {
  // Exact-size heap buffers without terminators: the sanitizer sees any read
  // past the end.
  const std::string a = Ansi("Straße"), b = Ansi("strasse");
  auto pa = std::make_unique<char[]>(a.size());
  auto pb = std::make_unique<char[]>(b.size());
  std::memcpy(pa.get(), a.data(), a.size());
  std::memcpy(pb.get(), b.data(), b.size());
  EXPECT_GT(CollateAnsiStr(pa.get(), a.size(), pb.get(), b.size()), 0);  // ß after s
  EXPECT_LT(CollateAnsiText(pa.get(), 4, pb.get(), 5), 0);               // "stra" < "stras"
  EXPECT_EQ(CollateAnsiText(pa.get(), 4, pb.get(), 4), 0);
  EXPECT_EQ(CollateAnsiStr(pa.get(), 0, pb.get(), 0), 0);
  EXPECT_LT(CollateAnsiStr(nullptr, 0, pb.get(), 1), 0);
  // An embedded NUL is an ordinary, lowest character.
  const char z1[] = {'a', '\0', 'b'}, z2[] = {'a', '\0', 'c'};
  EXPECT_LT(CollateAnsiStr(z1, 3, z2, 3), 0);
  EXPECT_LT(CollateAnsiStr(z1, 2, "a\x01", 2), 0);
}

TEST(CollationTest, WideTextFollowsTheAnsiOrder) {
  const auto words = ExpectedWords();
  for (const auto& a : words)
    for (const auto& b : words) {
      const auto wa = Wide(a), wb = Wide(b);
      ASSERT_EQ(Sgn(CollateWideStr(wa.data(), wa.size(), wb.data(), wb.size())), CS(a, b));
      ASSERT_EQ(Sgn(CollateWideText(wa.data(), wa.size(), wb.data(), wb.size())), CI(a, b));
    }
}

int WCS(const std::u16string& a, const std::u16string& b) {
  return Sgn(CollateWideStr(a.data(), a.size(), b.data(), b.size()));
}
int WCI(const std::u16string& a, const std::u16string& b) {
  return Sgn(CollateWideText(a.data(), a.size(), b.data(), b.size()));
}

TEST(CollationTest, WideCharactersOutside1252SortLastByCodePoint) {
  // Ā (U+0100) is not a Windows-1252 letter: after every 1252 character,
  // however late, and not an "a".
  EXPECT_GT(WCS(u"\u0100", u"\u00B5"), 0);  // after µ, the last 1252 letter
  EXPECT_GT(WCS(u"\u0100", u"\u00FE"), 0);
  EXPECT_GT(WCS(u"\u0100", u"z"), 0);
  EXPECT_LT(WCS(u"\u0100", u"\u0101"), 0);
  EXPECT_NE(WCI(u"\u0100", u"\u0101"), 0);  // no case for these: still distinct
  EXPECT_LT(WCS(u"\u0101", u"\u4E2D"), 0);
  // A surrogate pair orders by its code point: U+1F600 after U+FFFD, although
  // its first unit (D83D) is below FFFD.
  EXPECT_GT(WCS(u"\U0001F600", u"\uFFFD"), 0);
  EXPECT_LT(WCS(u"\U0001F600", u"\U0001F601"), 0);
  // A lone surrogate stands for itself and does not swallow what follows.
  const std::u16string lone = {0xD83D, u'a'};
  EXPECT_LT(WCS(lone, u"\uE000"), 0);
  EXPECT_NE(WCS(lone, std::u16string{0xD83D}), 0);
  // The 1252 letters written as wide characters take their 1252 weights.
  EXPECT_EQ(WCI(u"\u0160\u0152", u"\u0161\u0153"), 0);  // ŠŒ / šœ
  EXPECT_LT(WCS(u"\u20AC", u"0"), 0);                   // € is a symbol
}

TEST(CollationTest, DistinctWideStringsNeverCompareEqual) {
  const std::u16string alphabet = u"aA\u00E4\u00C4\u0100\u0101\u4E2D\U0001F600-\u2019";
  std::mt19937 rng(9);
  std::vector<std::u16string> v;
  for (int i = 0; i < 400; ++i) {
    std::u16string s;
    for (int n = static_cast<int>(rng() % 4); n > 0; --n) s += alphabet[rng() % alphabet.size()];
    v.push_back(s);
  }
  auto fold = [](std::u16string s) {
    for (auto& c : s) {
      unsigned char b;
      if (WideCharToCp1252(c, b)) c = Cp1252ToWideChar(CollationFoldCase(b));
    }
    return s;
  };
  for (size_t i = 0; i < v.size(); ++i)
    for (size_t j = 0; j < v.size(); ++j) {
      ASSERT_EQ(WCS(v[i], v[j]) == 0, v[i] == v[j]);
      ASSERT_EQ(WCS(v[i], v[j]), -WCS(v[j], v[i]));
      ASSERT_EQ(WCI(v[i], v[j]) == 0, fold(v[i]) == fold(v[j]));
    }
}

// Sort keys compared as bytes (shorter first on a common prefix).
int KeyOrder(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  const int c = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
  if (c != 0) return Sgn(c);
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

bool IsPrefix(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  return a.size() < b.size() && std::equal(a.begin(), a.end(), b.begin());
}

// Random strings of up to `longest` characters of the alphabet, the empty
// one first.
template <class S>
std::vector<S> RandomStrings(const S& alphabet, int longest, std::mt19937& rng) {
  std::vector<S> v{S()};
  for (int i = 0; i < 250; ++i) {
    S s;
    for (int n = static_cast<int>(rng() % (longest + 1)); n > 0; --n) s += alphabet[rng() % alphabet.size()];
    v.push_back(s);
  }
  return v;
}

// Every pair's keys order as `compare` orders the strings, and no key is a
// prefix of another.
template <class S, class Key, class Compare>
void ExpectKeysOrderAsCompare(const std::vector<S>& v, Key key, Compare compare) {
  std::vector<std::vector<uint8_t>> keys;
  for (const S& s : v) keys.push_back(key(s));
  for (size_t i = 0; i < v.size(); ++i)
    for (size_t j = 0; j < v.size(); ++j) {
      ASSERT_EQ(KeyOrder(keys[i], keys[j]), compare(v[i], v[j])) << i << " " << j;
      ASSERT_FALSE(IsPrefix(keys[i], keys[j]));
    }
}

TEST(CollationTest, SortKeysOrderAsTheCompares) {
  // Ties at every level, strings that are prefixes of others, NUL bytes and
  // the bytes of the last first-level weights.
  std::mt19937 rng(17);
  const auto v = RandomStrings(Ansi("aAáÁàbB-' 1²ßsSþµÿŸ") + std::string(1, '\0') + "\xFF", 4, rng);
  for (bool ci : {false, true}) {
    ExpectKeysOrderAsCompare(
        v,
        [&](const std::string& s) {
          std::vector<uint8_t> key(1, 0x5A);  // appended after what is there
          AppendAnsiSortKey(s.data(), s.size(), ci, key);
          return std::vector<uint8_t>(key.begin() + 1, key.end());
        },
        [&](const std::string& a, const std::string& b) { return ci ? CI(a, b) : CS(a, b); });
  }
  // Halves of a surrogate pair may come apart: a lone one stands for itself.
  const auto w = RandomStrings(std::u16string(u"aA\u00E4\u00C4\u0100\u0101\u4E2D\U0001F600-\u2019\u0178\uFFFF"), 3, rng);
  for (bool ci : {false, true}) {
    ExpectKeysOrderAsCompare(
        w,
        [&](const std::u16string& s) {
          std::string le;
          for (char16_t c : s) le += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
          std::vector<uint8_t> key;
          AppendWideSortKeyLE(le.data(), s.size(), ci, key);
          return key;
        },
        [&](const std::u16string& a, const std::u16string& b) { return ci ? WCI(a, b) : WCS(a, b); });
  }
}

TEST(CollationTest, LittleEndianBytesNeedNoAlignment) {
  const std::u16string a = u"Zu\u0308rich \u00FCber \U0001F600", b = u"zurich \u00DCBER \U0001F600";
  // Copy both into exact-size buffers at an odd offset.
  auto store = [](const std::u16string& s) {
    auto buf = std::make_unique<unsigned char[]>(2 * s.size() + 1);
    for (size_t i = 0; i < s.size(); ++i) {
      buf[1 + 2 * i] = static_cast<unsigned char>(s[i] & 0xFF);
      buf[2 + 2 * i] = static_cast<unsigned char>(s[i] >> 8);
    }
    return buf;
  };
  auto pa = store(a), pb = store(b);
  for (bool ci : {false, true}) {
    const int native = ci ? WCI(a, b) : WCS(a, b);
    EXPECT_EQ(Sgn(CollateWideLE(pa.get() + 1, a.size(), pb.get() + 1, b.size(), ci)), native);
    EXPECT_EQ(Sgn(CollateWideLE(pb.get() + 1, b.size(), pa.get() + 1, a.size(), ci)), -native);
  }
}

TEST(CollationTest, CodePageMappingRoundTrips) {
  for (unsigned c = 0; c < 256; ++c) {
    unsigned char back = 0;
    ASSERT_TRUE(WideCharToCp1252(Cp1252ToWideChar(static_cast<unsigned char>(c)), back));
    ASSERT_EQ(back, c);
  }
  EXPECT_EQ(Cp1252ToWideChar(0x80), u'\u20AC');
  EXPECT_EQ(Cp1252ToWideChar(0x9F), u'\u0178');
  unsigned char b;
  EXPECT_FALSE(WideCharToCp1252(0x0080, b));  // a C1 control that 1252 replaced by €
  EXPECT_FALSE(WideCharToCp1252(0x0100, b));
}

// Run by LocaleDoesNotChangeTheOrder in a child process whose environment
// names a locale; prints the orders for the parent to compare.
TEST(CollationTest, DISABLED_PrintOrderUnderProcessLocale) {
  // Adopting the environment's locale is the point here: the collation must
  // not notice.
  const char* loc = std::setlocale(LC_ALL, "");
  std::printf("LOCALE %s\n", loc ? loc : "(unavailable)");
  std::printf("ORDER-BEGIN\n");
  for (const auto& line : SortedHexLines()) std::printf("%s\n", line.c_str());
  std::printf("ORDER-END\n");
  std::fflush(stdout);
}

std::vector<std::string> RunChildUnderLocale(const std::string& locale) {
  int fds[2];
  if (pipe(fds) != 0) return {"pipe failed"};
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    close(fds[1]);
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
      if (std::strncmp(*e, "LC_", 3) != 0 && std::strncmp(*e, "LANG", 4) != 0) env.push_back(*e);
    env.push_back("LC_ALL=" + locale);
    env.push_back("LANG=" + locale);
    std::vector<char*> envp;
    for (auto& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string filter = "--gtest_filter=CollationTest.DISABLED_PrintOrderUnderProcessLocale";
    std::string disabled = "--gtest_also_run_disabled_tests";
    char* argv[] = {const_cast<char*>("host_tests"), filter.data(), disabled.data(), nullptr};
    execve("/proc/self/exe", argv, envp.data());
    _exit(127);
  }
  close(fds[1]);
  std::string out;
  char buf[4096];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return {"child failed:\n" + out};
  std::vector<std::string> lines;
  std::istringstream in(out);
  std::string line;
  bool inside = false;
  while (std::getline(in, line)) {
    if (line == "ORDER-BEGIN")
      inside = true;
    else if (line == "ORDER-END")
      inside = false;
    else if (inside)
      lines.push_back(line);
  }
  return lines;
}

TEST(CollationTest, LocaleDoesNotChangeTheOrder) {
  const auto here = SortedHexLines();
  // Check the in-process case-sensitive half against the expected order.
  const auto expected = ExpectedWords();
  for (size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(here[i], "cs " + Hex(expected[i]));
  // Locales that may or may not be installed: a missing one leaves the child
  // in "C", which must give the same order too.
  for (const char* locale : {"C", "C.UTF-8", "de_DE.UTF-8", "tr_TR.UTF-8", "sv_SE.ISO-8859-1"}) {
    EXPECT_EQ(RunChildUnderLocale(locale), here) << "under " << locale;
  }
}

}  // namespace
}  // namespace host
