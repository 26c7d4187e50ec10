#include "engine/storage/base/tav_compare.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "engine/storage/base/tav_errors.h"
#include "host/rtl/exceptions.h"

namespace tav {
namespace {

int Sgn(int v) {
  return v < 0 ? -1 : (v > 0 ? 1 : 0);
}

// A copy of s in a heap block of exactly its size, with no terminator: the
// sanitizer catches any read past the given length.
std::unique_ptr<char[]> Exact(const std::string& s, size_t offset = 0) {
  auto p = std::make_unique<char[]>(s.size() + offset);
  std::memcpy(p.get() + offset, s.data(), s.size());
  return p;
}

int Compare(TDBStringCompare f, const std::string& a, const std::string& b, bool ci = false,
            bool partial = false) {
  auto pa = Exact(a), pb = Exact(b);
  return Sgn(
      f(pa.get(), pb.get(), static_cast<int>(a.size()), static_cast<int>(b.size()), ci, partial));
}

// UTF-16 little-endian bytes of s, as records store wide strings.
std::string LE(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) {
    out += static_cast<char>(c & 0xFF);
    out += static_cast<char>(c >> 8);
  }
  return out;
}

TEST(CompareTest, RealsWithEqualityAndNaN) {
  EXPECT_EQ(CompareReals(1.0, 2.0), -1);
  EXPECT_EQ(CompareReals(2.0, 1.0), 1);
  EXPECT_EQ(CompareReals(1.5, 1.5), 0);
  EXPECT_EQ(CompareReals(-0.0, 0.0), 0);
  EXPECT_EQ(CompareReals(-1e308, 1e308), -1);
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(CompareReals(inf, 1e308), 1);
  EXPECT_EQ(CompareReals(-inf, -1e308), -1);
  // Neither below nor above: a NaN counts as equal to anything.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(CompareReals(nan, 1.0), 0);
  EXPECT_EQ(CompareReals(1.0, nan), 0);
  EXPECT_EQ(CompareReals(nan, nan), 0);
  EXPECT_EQ(CompareReals(nan, inf), 0);
}

TEST(CompareTest, AsciiCompareIsBytewise) {
  EXPECT_LT(Compare(DBASCIICompareStrings, "abc", "abcd"), 0);
  EXPECT_EQ(Compare(DBASCIICompareStrings, "abc", "abcd", false, true), 0);
  EXPECT_EQ(Compare(DBASCIICompareStrings, "abcd", "abc", false, true), 0);
  EXPECT_LT(Compare(DBASCIICompareStrings, "abc", "abd", false, true), 0);
  EXPECT_LT(Compare(DBASCIICompareStrings, "B", "a"), 0);  // plain byte order
  EXPECT_GT(Compare(DBASCIICompareStrings, "B", "a", true), 0);
  EXPECT_EQ(Compare(DBASCIICompareStrings, "MiXeD", "mixed", true), 0);
  // Folding goes to upper case: '_' (0x5F) is above 'A' (0x41).
  EXPECT_GT(Compare(DBASCIICompareStrings, "_", "a", true), 0);
  // Bytes are unsigned and only ASCII letters fold.
  EXPECT_GT(Compare(DBASCIICompareStrings, "\xE9", "z"), 0);
  EXPECT_NE(Compare(DBASCIICompareStrings, "\xE4", "\xC4", true), 0);
  EXPECT_EQ(Compare(DBASCIICompareStrings, "", ""), 0);
  EXPECT_LT(DBASCIICompareStrings(nullptr, "a", 0, 1, false, false), 0);
  EXPECT_EQ(DBASCIICompareStrings("x", "y", -5, 0, false, false), 0);  // negative = empty
}

TEST(CompareTest, AnsiCompareUsesTheFixedCollation) {
  EXPECT_LT(Compare(DBANSICompareStrings, "abc", "abcd"), 0);
  EXPECT_GT(Compare(DBANSICompareStrings, "abcd", "abc"), 0);
  EXPECT_LT(Compare(DBANSICompareStrings, "a", "B"), 0);  // unlike the byte order
  EXPECT_LT(Compare(DBANSICompareStrings, "b", "B"), 0);
  EXPECT_LT(Compare(DBANSICompareStrings, "\xE9t\xE9", "ete2"), 0);  // été < ete2
  EXPECT_EQ(Compare(DBANSICompareStrings, "\xC9T\xC9", "\xE9t\xE9", true), 0);
  EXPECT_NE(Compare(DBANSICompareStrings, "\xC9T\xC9", "ETE", true), 0);
  // Partial: the shorter length decides how much is compared.
  EXPECT_EQ(Compare(DBANSICompareStrings, "abc", "abcd", false, true), 0);
  EXPECT_EQ(Compare(DBANSICompareStrings, "Stra\xDF",
                    "stra\xDF"
                    "e",
                    true, true),
            0);
  EXPECT_GT(Compare(DBANSICompareStrings, "abd", "abcz", false, true), 0);
}

TEST(CompareTest, AnsiCompareHasNoLengthLimit) {
  // Values far beyond 255 bytes, differing only at the end.
  std::string a(5000, 'x'), b(5000, 'x');
  a.back() = 'a';
  b.back() = 'b';
  EXPECT_LT(Compare(DBANSICompareStrings, a, b), 0);
  EXPECT_GT(Compare(DBANSICompareStrings, b, a), 0);
  EXPECT_EQ(Compare(DBANSICompareStrings, a, a), 0);
  EXPECT_LT(Compare(DBANSICompareStrings, a.substr(0, 300), a), 0);
}

TEST(CompareTest, AnsiAndAsciiReadOnlyTheGivenLengths) {
  // Lengths shorter than the data: what follows must not count.
  const std::string a = "abcXYZ", b = "abcQRS";
  for (TDBStringCompare f : {DBASCIICompareStrings, DBANSICompareStrings}) {
    auto pa = Exact(a), pb = Exact(b);
    EXPECT_EQ(f(pa.get(), pb.get(), 3, 3, false, false), 0);
    EXPECT_LT(f(pa.get(), pb.get(), 3, 4, false, false), 0);
    EXPECT_GT(f(pa.get(), pb.get(), 6, 6, false, false), 0);
  }
}

TEST(CompareTest, WideCompareTakesByteLengthsAndUnalignedBuffers) {
  const std::string a = LE(u"\u00C9t\u00E9"), b = LE(u"\u00E9T\u00C9"), c = LE(u"ete");
  // At an odd offset, so 16-bit reads would be misaligned.
  auto pa = Exact(a, 1), pb = Exact(b, 1), pc = Exact(c, 1);
  const int la = static_cast<int>(a.size()), lb = static_cast<int>(b.size());
  EXPECT_EQ(DBCompareWideStrings(pa.get() + 1, pb.get() + 1, la, lb, true, false), 0);
  EXPECT_NE(DBCompareWideStrings(pa.get() + 1, pb.get() + 1, la, lb, false, false), 0);
  EXPECT_GT(DBCompareWideStrings(pa.get() + 1, pc.get() + 1, la, 6, true, false), 0);
  // Partial cuts both to the shorter length: "Ét" against "éT..." without case.
  EXPECT_EQ(DBCompareWideStrings(pa.get() + 1, pb.get() + 1, 4, lb, true, true), 0);
  EXPECT_LT(DBCompareWideStrings(pa.get() + 1, pb.get() + 1, 4, lb, true, false), 0);
  // An odd last byte is not half a character.
  EXPECT_EQ(DBCompareWideStrings(pa.get() + 1, pa.get() + 1, 5, 4, false, false), 0);
  // Same order as the 8-bit compare for 1252 text.
  const std::string words[] = {"abc",
                               "Abc",
                               "\xE1"
                               "bc",
                               "abd",
                               "ab",
                               "\xDF",
                               "ss",
                               "_",
                               "9"};
  for (const auto& x : words)
    for (const auto& y : words) {
      std::u16string wx, wy;
      for (char ch : x) wx += static_cast<char16_t>(static_cast<unsigned char>(ch));
      for (char ch : y) wy += static_cast<char16_t>(static_cast<unsigned char>(ch));
      for (bool ci : {false, true})
        ASSERT_EQ(Compare(DBCompareWideStrings, LE(wx), LE(wy), ci),
                  Compare(DBANSICompareStrings, x, y, ci))
            << x << " / " << y;
    }
  // Characters outside Windows-1252 after all of it, and never equal to a
  // 1252 character they might be mapped to.
  EXPECT_GT(Compare(DBCompareWideStrings, LE(u"\u0100"), LE(u"\u00FF")), 0);
  EXPECT_NE(Compare(DBCompareWideStrings, LE(u"\u0100"), LE(u"A"), true), 0);
  EXPECT_NE(Compare(DBCompareWideStrings, LE(u"\u4E2D"), LE(u"?")), 0);
}

bool Like(const std::string& value, const std::string& pattern) {
  return MatchPatternedStrings(value, pattern, ' ', ' ');
}

TEST(LikeTest, PercentAndUnderscore) {
  EXPECT_TRUE(Like("abc", "a%"));
  EXPECT_TRUE(Like("abc", "_b_"));
  EXPECT_TRUE(Like("abc", "%c"));
  EXPECT_TRUE(Like("abc", "%"));
  EXPECT_TRUE(Like("abc", "abc"));
  EXPECT_TRUE(Like("abc", "%b%"));
  EXPECT_TRUE(Like("abc", "a%c"));
  EXPECT_TRUE(Like("abc", "a%%c"));
  EXPECT_TRUE(Like("abcbc", "%bc"));  // the first "bc" is not the end
  EXPECT_TRUE(Like("aXbYc", "a%b%c"));
  EXPECT_FALSE(Like("abc", "a%b"));
  EXPECT_FALSE(Like("abc", "__"));
  EXPECT_FALSE(Like("abc", "____"));
  EXPECT_FALSE(Like("abc", "ab"));
  EXPECT_FALSE(Like("ab", "abc"));
  EXPECT_TRUE(Like("a%c", "a%c"));
  EXPECT_TRUE(Like("a_c", "a_c"));
  EXPECT_TRUE(Like("%", "%"));
}

TEST(LikeTest, PercentMatchesTheEmptyRun) {
  EXPECT_TRUE(Like("abc", "abc%"));
  EXPECT_TRUE(Like("abc", "%abc"));
  EXPECT_TRUE(Like("abc", "ab%c"));
  EXPECT_TRUE(Like("abc", "abc%%"));
  EXPECT_TRUE(Like("", "%"));
  EXPECT_TRUE(Like("", "%%"));
  EXPECT_TRUE(Like("", ""));
  EXPECT_FALSE(Like("", "_"));
  EXPECT_FALSE(Like("", "%_"));
  EXPECT_FALSE(Like("", "a"));
  EXPECT_FALSE(Like("abc", ""));
  EXPECT_TRUE(Like("a", "%_%"));
  EXPECT_FALSE(Like("a", "_%_"));
}

TEST(LikeTest, CaseAndBytes) {
  EXPECT_FALSE(Like("abc", "A%"));
  EXPECT_FALSE(Like("ABC", "abc"));
  EXPECT_TRUE(Like("\xC9t\xE9", "\xC9%"));
  EXPECT_FALSE(Like("\xC9t\xE9", "\xE9%"));
  EXPECT_TRUE(Like("\xC9t\xE9", "__\xE9"));  // '_' is one byte
  // Bytes after a NUL take part.
  EXPECT_FALSE(Like(std::string("ab\0cd", 5), "ab"));
  EXPECT_TRUE(Like(std::string("ab\0cd", 5), "ab_cd"));
}

TEST(LikeTest, NoExponentialBacktracking) {
  // A naive recursive matcher takes ages on this; the two-pointer one is
  // quadratic at worst.
  const std::string value(20000, 'a');
  std::string pattern;
  for (int i = 0; i < 30; ++i) pattern += "%a";
  EXPECT_FALSE(Like(value, pattern + "b"));
  EXPECT_TRUE(Like(value + "b", pattern + "b"));
}

TEST(HelpersTest, StringLToWideCharCutsAndTerminates) {
  char16_t buf[6];
  std::fill(std::begin(buf), std::end(buf), u'#');
  EXPECT_EQ(StringLToWideChar("ab\x80\xE9xyz", buf, 5), buf);
  EXPECT_EQ(std::u16string(buf), u"ab\u20AC\u00E9");
  EXPECT_EQ(buf[5], u'#');
  StringLToWideChar("abc", buf, 1);
  EXPECT_EQ(buf[0], 0);
  buf[0] = u'#';
  StringLToWideChar("abc", buf, 0);
  EXPECT_EQ(buf[0], u'#');
  StringLToWideChar("", buf, 6);
  EXPECT_EQ(buf[0], 0);
}

TEST(HelpersTest, TrailingDelimiter) {
  EXPECT_EQ(TavIncludeTrailingBackslash("/data/db"), "/data/db/");
  EXPECT_EQ(TavIncludeTrailingBackslash("/data/db/"), "/data/db/");
  EXPECT_EQ(TavIncludeTrailingBackslash(""), "/");
}

TEST(HelpersTest, FieldNamesSplitAtSemicolonsOnly) {
  host::TStringList list;
  list.Add("stale");
  ConvertFieldNamesToList("Last Name;First,Middle; City ;;Zip;", list);
  ASSERT_EQ(list.Count(), 5);
  EXPECT_EQ(list.Strings(0), "Last Name");
  EXPECT_EQ(list.Strings(1), "First,Middle");
  EXPECT_EQ(list.Strings(2), " City ");
  EXPECT_EQ(list.Strings(3), "");
  EXPECT_EQ(list.Strings(4), "Zip");
  ConvertFieldNamesToList("", list);
  EXPECT_EQ(list.Count(), 0);
  ConvertFieldNamesToList("ID", list);
  ASSERT_EQ(list.Count(), 1);
  EXPECT_EQ(list.Strings(0), "ID");
}

}  // namespace
}  // namespace tav
