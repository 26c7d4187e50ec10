#include "host/rtl/sys_utils.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>

#include "host/rtl/exceptions.h"
#include "os/testing/test_machine.h"
#include "os/win_path.h"

namespace host {
namespace {

TEST(SysUtilsCaseTest, AsciiRoutinesLeaveAccentedLettersAlone) {
  EXPECT_EQ(UpperCase("abc\xE9z"), "ABC\xE9Z");
  EXPECT_EQ(LowerCase("ABC\xC9Z"), "abc\xC9z");
}

TEST(SysUtilsCaseTest, AnsiTablesCoverTheWholeAlphabet) {
  // Every letter pair of Windows-1252 maps both ways.
  for (int c = 0xE0; c <= 0xFE; ++c) {
    if (c == 0xF7) continue;
    EXPECT_EQ(AnsiUpperChar(static_cast<char>(c)), static_cast<char>(c - 32)) << c;
    EXPECT_EQ(AnsiLowerChar(static_cast<char>(c - 32)), static_cast<char>(c)) << c;
  }
  EXPECT_EQ(AnsiUpperCase("\x9A\x9C\x9E\xFF"), "\x8A\x8C\x8E\x9F");
  EXPECT_EQ(AnsiLowerCase("\x8A\x8C\x8E\x9F"), "\x9A\x9C\x9E\xFF");
  // Division and multiplication signs, sharp s and micro sign stay.
  EXPECT_EQ(AnsiUpperCase("\xF7\xDF\xB5"), "\xF7\xDF\xB5");
  EXPECT_EQ(AnsiLowerCase("\xD7"), "\xD7");
  EXPECT_EQ(AnsiUpperCase("stra\xDF" "e \xE9t\xE9"), "STRA\xDF" "E \xC9T\xC9");
}

TEST(SysUtilsCompareTest, CompareTextReturnsTheDifference) {
  EXPECT_EQ(CompareText("abc", "ABC"), 0);
  EXPECT_EQ(CompareText("abd", "ABC"), 1);
  EXPECT_EQ(CompareText("a", "abc"), -2);
  // '_' sorts after the letters once they are upper case.
  EXPECT_EQ(CompareText("a", "_"), 'A' - '_');
  EXPECT_FALSE(SameText("\xE9", "\xC9"));
  EXPECT_TRUE(SameText("Name", "nAME"));
  EXPECT_EQ(CompareStr("a", "A"), 'a' - 'A');
  EXPECT_EQ(CompareStr("ab", "a"), 1);
  EXPECT_LT(CompareStr("\x7F", "\x80"), 0);  // bytes compare unsigned
}

TEST(SysUtilsCompareTest, AnsiCompareTextFoldsAccentsAndGivesSign) {
  EXPECT_EQ(AnsiCompareText("\xC9T\xC9", "\xE9t\xE9"), 0);
  EXPECT_TRUE(AnsiSameText("\x8A" "koda", "\x9A" "KODA"));
  EXPECT_TRUE(AnsiSameText("\xFF", "\x9F"));
  EXPECT_EQ(AnsiCompareText("a", "b"), -1);
  EXPECT_EQ(AnsiCompareText("zz", "z"), 1);
  EXPECT_EQ(AnsiCompareText("\xFF", "a"), 1);  // 0x9F after 'A'
  EXPECT_FALSE(AnsiSameText("\xDF", "SS"));
}

TEST(SysUtilsStringTest, TrimRemovesBlanksAndControls) {
  EXPECT_EQ(Trim(" \t\r\n x y \x01"), "x y");
  EXPECT_EQ(TrimLeft("  x "), "x ");
  EXPECT_EQ(TrimRight("  x \n"), "  x");
  EXPECT_EQ(Trim("   "), "");
  EXPECT_EQ(Trim("\xA0x\xA0"), "\xA0x\xA0");  // no-break space is a character
}

TEST(SysUtilsStringTest, StringReplaceFlags) {
  EXPECT_EQ(StringReplace("a-b-c", "-", "+", 0), "a+b-c");
  EXPECT_EQ(StringReplace("a-b-c", "-", "+", rfReplaceAll), "a+b+c");
  EXPECT_EQ(StringReplace("Xx-xX", "x", "y", rfReplaceAll), "Xy-yX");
  EXPECT_EQ(StringReplace("Xx-xX", "x", "y", rfReplaceAll | rfIgnoreCase), "yy-yy");
  EXPECT_EQ(StringReplace("caf\xC9 caf\xE9", "\xE9", "e", rfReplaceAll | rfIgnoreCase), "cafe cafe");
  EXPECT_EQ(StringReplace("aaa", "aa", "b", rfReplaceAll), "ba");
  // The replacement is never searched again.
  EXPECT_EQ(StringReplace("ab", "a", "aa", rfReplaceAll), "aab");
  EXPECT_EQ(StringReplace("abc", "", "x", rfReplaceAll), "abc");
  EXPECT_EQ(StringReplace("", "a", "x", rfReplaceAll), "");
  EXPECT_EQ(StringReplace("abc", "c", "", rfReplaceAll), "ab");
}

TEST(SysUtilsIntTest, IntToStrAndHex) {
  EXPECT_EQ(IntToStr(int32_t{-2147483647 - 1}), "-2147483648");
  EXPECT_EQ(IntToStr(int64_t{9000000000}), "9000000000");
  EXPECT_EQ(IntToHex(int32_t{255}, 4), "00FF");
  EXPECT_EQ(IntToHex(int32_t{0x12345}, 2), "12345");
  EXPECT_EQ(IntToHex(int32_t{-1}, 0), "FFFFFFFF");
  EXPECT_EQ(IntToHex(int64_t{-1}, 0), "FFFFFFFFFFFFFFFF");
  EXPECT_EQ(IntToHex(int32_t{0}, 0), "0");
  EXPECT_EQ(IntToHex(int32_t{1}, 1000).size(), 32u);
}

TEST(SysUtilsIntTest, StrToIntAcceptedForms) {
  EXPECT_EQ(StrToInt("$FF"), 255);
  EXPECT_EQ(StrToInt("0x1f"), 31);
  EXPECT_EQ(StrToInt("0X1F"), 31);
  EXPECT_EQ(StrToInt(" 12 "), 12);
  EXPECT_EQ(StrToInt("+7"), 7);
  EXPECT_EQ(StrToInt("-$10"), -16);
  EXPECT_EQ(StrToInt("007"), 7);
  EXPECT_EQ(StrToInt("0"), 0);
  EXPECT_EQ(StrToInt("-2147483648"), -2147483647 - 1);
  EXPECT_EQ(StrToInt("2147483647"), 2147483647);
  EXPECT_EQ(StrToInt("$FFFFFFFF"), -1);  // hex fills all 32 bits
  EXPECT_EQ(StrToInt("$80000000"), -2147483647 - 1);
  EXPECT_EQ(StrToInt64("-9223372036854775808"), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(StrToInt64("$FFFFFFFFFFFFFFFF"), -1);
  EXPECT_EQ(StrToInt64("4294967296"), int64_t{4294967296});
}

TEST(SysUtilsIntTest, StrToIntRejectsWithTheTextInTheMessage) {
  for (const char* bad : {"", " ", "-", "+", "$", "0x", "12a", "1 2", "- 1", "2147483648",
                          "-2147483649", "$100000000", "99999999999999999999", "1.0", "\t1",
                          "--1", "$-1"}) {
    int32_t v = 42;
    EXPECT_FALSE(TryStrToInt(bad, v)) << bad;
    EXPECT_EQ(v, 42) << bad;
    EXPECT_EQ(StrToIntDef(bad, -5), -5) << bad;
  }
  try {
    StrToInt(" 2147483648");
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "' 2147483648' is not a valid integer value");
  }
  EXPECT_THROW(StrToInt64("9223372036854775808"), EConvertError);
  EXPECT_THROW(StrToInt64("$10000000000000000"), EConvertError);
}

TEST(SysUtilsFloatTest, StrToFloatSyntax) {
  EXPECT_DOUBLE_EQ(StrToFloat("1.5"), 1.5);
  EXPECT_DOUBLE_EQ(StrToFloat(" -2.5e3 "), -2500);
  EXPECT_DOUBLE_EQ(StrToFloat("+.5"), 0.5);
  EXPECT_DOUBLE_EQ(StrToFloat("1."), 1);
  EXPECT_DOUBLE_EQ(StrToFloat("1E-2"), 0.01);
  EXPECT_EQ(StrToFloat("1e-400"), 0);
  EXPECT_EQ(StrToFloat("0e99999"), 0);
  EXPECT_GT(StrToFloat("1e-310"), 0);  // subnormals survive
  for (const char* bad : {"", ".", "e5", "1e", "1e+", "1,5", "1.5x", "0x10", "INF", "NAN", "1e400",
                          "--1", "1 .5"}) {
    double v = 7;
    EXPECT_FALSE(TryStrToFloat(bad, v)) << bad;
    EXPECT_EQ(v, 7) << bad;
  }
  try {
    StrToFloat("abc");
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'abc' is not a valid floating point value");
  }
}

TEST(SysUtilsFloatTest, FloatToStrGeneralFormat) {
  EXPECT_EQ(FloatToStr(0), "0");
  EXPECT_EQ(FloatToStr(-0.0), "0");
  EXPECT_EQ(FloatToStr(1.5), "1.5");
  EXPECT_EQ(FloatToStr(-1.5), "-1.5");
  EXPECT_EQ(FloatToStr(0.1 + 0.2), "0.3");
  EXPECT_EQ(FloatToStr(1.0 / 3), "0.333333333333333");
  EXPECT_EQ(FloatToStr(2.0 / 3), "0.666666666666667");
  EXPECT_EQ(FloatToStr(100), "100");
  EXPECT_EQ(FloatToStr(123456789012345.0), "123456789012345");
  EXPECT_EQ(FloatToStr(1e15), "1E15");
  EXPECT_EQ(FloatToStr(999999999999999.9), "1E15");
  EXPECT_EQ(FloatToStr(1.5e20), "1.5E20");
  EXPECT_EQ(FloatToStr(0.0001), "0.0001");
  EXPECT_EQ(FloatToStr(0.00001), "1E-5");
  EXPECT_EQ(FloatToStr(-1.23e-10), "-1.23E-10");
  EXPECT_EQ(FloatToStr(12.25), "12.25");
  EXPECT_EQ(FloatToStr(std::numeric_limits<double>::infinity()), "INF");
  EXPECT_EQ(FloatToStr(-std::numeric_limits<double>::infinity()), "-INF");
  EXPECT_EQ(FloatToStr(std::nan("")), "NAN");
  for (double v : {3.25, -0.001, 1e-7, 6.02e23, 12345.678}) EXPECT_DOUBLE_EQ(StrToFloat(FloatToStr(v)), v);
}

TEST(SysUtilsQuoteTest, QuoteAndExtract) {
  EXPECT_EQ(QuotedStr("it's"), "'it''s'");
  EXPECT_EQ(AnsiQuotedStr("", '"'), "\"\"");
  std::string_view src = "\"a \"\"b\"\", c\"rest";
  EXPECT_EQ(AnsiExtractQuotedStr(src, '"'), "a \"b\", c");
  EXPECT_EQ(src, "rest");
  std::string_view plain = "abc";
  EXPECT_EQ(AnsiExtractQuotedStr(plain, '"'), "");
  EXPECT_EQ(plain, "abc");
  // An unterminated quote keeps all its text.
  std::string_view open = "'abc";
  EXPECT_EQ(AnsiExtractQuotedStr(open, '\''), "abc");
  EXPECT_TRUE(open.empty());
  std::string quoted = QuotedStr("''");
  std::string_view round = quoted;
  EXPECT_EQ(AnsiExtractQuotedStr(round, '\''), "''");
}

TEST(SysUtilsQuoteTest, IsValidIdent) {
  EXPECT_TRUE(IsValidIdent("_a1"));
  EXPECT_TRUE(IsValidIdent("Table1"));
  EXPECT_FALSE(IsValidIdent(""));
  EXPECT_FALSE(IsValidIdent("1a"));
  EXPECT_FALSE(IsValidIdent("a b"));
  EXPECT_FALSE(IsValidIdent("\xE9t\xE9"));
}

TEST(SysUtilsPathTest, ExtractParts) {
  EXPECT_EQ(ExtractFileName("/data/db/cust.dat"), "cust.dat");
  EXPECT_EQ(ExtractFileName("C:\\Data\\cust.dat"), "cust.dat");
  EXPECT_EQ(ExtractFileName("cust.dat"), "cust.dat");
  EXPECT_EQ(ExtractFileName("dir/"), "");
  EXPECT_EQ(ExtractFilePath("/data/db/cust.dat"), "/data/db/");
  EXPECT_EQ(ExtractFilePath("C:\\Data\\cust.dat"), "C:\\Data\\");
  EXPECT_EQ(ExtractFilePath("cust.dat"), "");
  EXPECT_EQ(ExtractFileDir("/data/db/cust.dat"), "/data/db");
  EXPECT_EQ(ExtractFileDir("/cust.dat"), "/");
  EXPECT_EQ(ExtractFileDir("a//b"), "a//");
  EXPECT_EQ(ExtractFileDir("cust.dat"), "");
  EXPECT_EQ(ExtractFileExt("/data/db/cust.dat"), ".dat");
  EXPECT_EQ(ExtractFileExt("/data/db.v1/cust"), "");
  EXPECT_EQ(ExtractFileExt("C:\\db.v1\\cust"), "");
  EXPECT_EQ(ExtractFileExt("archive.tar.gz"), ".gz");
  EXPECT_EQ(ExtractFileExt("name."), ".");
}

TEST(SysUtilsPathTest, ChangeExtAndDelimiters) {
  EXPECT_EQ(ChangeFileExt("a/b.dat", ".idx"), "a/b.idx");
  EXPECT_EQ(ChangeFileExt("a.d/b", ".idx"), "a.d/b.idx");
  EXPECT_EQ(ChangeFileExt("a.d\\b", ".idx"), "a.d\\b.idx");
  EXPECT_EQ(ChangeFileExt("b.tar.gz", ""), "b.tar");
  EXPECT_EQ(IncludeTrailingPathDelimiter("/a"), "/a/");
  EXPECT_EQ(IncludeTrailingPathDelimiter("/a/"), "/a/");
  EXPECT_EQ(IncludeTrailingPathDelimiter(""), "/");
  EXPECT_EQ(ExcludeTrailingPathDelimiter("/a/"), "/a");
  EXPECT_EQ(ExcludeTrailingPathDelimiter("/a"), "/a");
  EXPECT_EQ(ExcludeTrailingPathDelimiter(""), "");
}

}  // namespace
}  // namespace host

namespace host {
namespace {

class ProgramFileNameTest : public os::test::MachineTest {};

TEST_F(ProgramFileNameTest, IsTheFileTheProcessRunsAsAVirtualPath) {
  // Whatever the program was started as (a relative name, through a link),
  // its path is the file it runs: here in the build tree, so on Z:.
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  std::string expected = "Z:" + self;
  std::replace(expected.begin(), expected.end(), '/', '\\');
  EXPECT_EQ(ProgramFileName(), expected);
  // Through the machine's drives it resolves back to the file itself.
  std::string host;
  ASSERT_TRUE(os::ResolveWinPath(ProgramFileName(), host));
  EXPECT_EQ(host, self);
}

}  // namespace
}  // namespace host
