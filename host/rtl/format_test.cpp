#include "host/rtl/format.h"

#include <gtest/gtest.h>

#include "host/rtl/exceptions.h"

namespace host {
namespace {

TEST(FormatTest, WidthPadsAndNeverTruncates) {
  EXPECT_EQ(Format("[%10s]", {"abc"}), "[       abc]");
  EXPECT_EQ(Format("[%-10s]", {"abc"}), "[abc       ]");
  EXPECT_EQ(Format("[%2s]", {"abcdef"}), "[abcdef]");
  EXPECT_EQ(Format("[%.2s]", {"abcdef"}), "[ab]");
  EXPECT_EQ(Format("[%*s]", {5, "x"}), "[    x]");
  EXPECT_EQ(Format("[%-*.*s]", {6, 2, "xyz"}), "[xy    ]");
  EXPECT_EQ(Format("%10s; %30s : %s", {"d", "src", "t"}),
            "         d;                            src : t");
}

TEST(FormatTest, Integers) {
  EXPECT_EQ(Format("%5d|%-5d|%.3d", {42, 42, 7}), "   42|42   |007");
  EXPECT_EQ(Format("%.5d", {-5}), "-00005");
  EXPECT_EQ(Format("%x %.4x", {255, 10}), "FF 000A");
  EXPECT_EQ(Format("%x", {-1}), "FFFFFFFF");
  EXPECT_EQ(Format("%u", {-1}), "4294967295");
  EXPECT_EQ(Format("%d", {static_cast<int64_t>(-9000000000LL)}), "-9000000000");
  EXPECT_EQ(Format("ErrCode %5d", {65535}), "ErrCode 65535");
}

TEST(FormatTest, Floats) {
  EXPECT_EQ(Format("%f", {1.5}), "1.50");
  EXPECT_EQ(Format("%.3f", {-0.0004}), "0.000");
  EXPECT_EQ(Format("%n", {1234567.891}), "1,234,567.89");
  EXPECT_EQ(Format("%m", {-1234.5}), "($1,234.50)");
  EXPECT_EQ(Format("%e", {1.0}), "1.00000000000000E+000");
  EXPECT_EQ(Format("%.3e", {-12345.0}), "-1.23E+004");
  EXPECT_EQ(Format("%g", {0.5}), "0.5");
  EXPECT_EQ(Format("%g", {100.0}), "100");
  EXPECT_EQ(Format("%g", {1e20}), "1E020");
  EXPECT_EQ(Format("%g", {0.00001}), "0.00001");
  EXPECT_EQ(Format("%g", {1.5e-7}), "1.5E-007");
  EXPECT_EQ(Format("%8.2f|", {3.14159}), "    3.14|");
}

TEST(FormatTest, IndexesAndPercent) {
  EXPECT_EQ(Format("%1:s %0:s %s", {"a", "b"}), "b a b");
  EXPECT_EQ(Format("100%%", {}), "100%");
  EXPECT_EQ(Format("%s", {'c'}), "c");
}

TEST(FormatTest, MismatchedOrMissingArgumentRaises) {
  EXPECT_THROW(Format("%d", {"x"}), EConvertError);
  EXPECT_THROW(Format("%f", {1}), EConvertError);
  EXPECT_THROW(Format("%s", {1}), EConvertError);
  EXPECT_THROW(Format("%s %s", {"a"}), EConvertError);
  EXPECT_THROW(Format("%", {}), EConvertError);
  EXPECT_THROW(Format("%q", {1}), EConvertError);
  EXPECT_THROW(Format("%d", {true}), EConvertError);
}

}  // namespace
}  // namespace host
