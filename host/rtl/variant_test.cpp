#include "host/rtl/variant.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace host {
namespace {

template <class E, class F>
std::string MessageOf(F f) {
  try {
    f();
  } catch (const E& e) {
    return e.Message();
  }
  return "<no exception>";
}

TEST(VariantTest, IntegerConversionRoundsHalvesToEven) {
  EXPECT_EQ(Variant(2.5).AsInteger(), 2);
  EXPECT_EQ(Variant(3.5).AsInteger(), 4);
  EXPECT_EQ(Variant(-2.5).AsInteger(), -2);
  EXPECT_EQ(Variant(-3.5).AsInteger(), -4);
  EXPECT_EQ(Variant(0.5).AsInteger(), 0);
  EXPECT_EQ(Variant(2.5000001).AsInteger(), 3);
  EXPECT_EQ(Variant::FromDate(2.5).AsInteger(), 2);
  // Currency rounds on its exact ten-thousandths.
  EXPECT_EQ(Variant::FromCurrency(25000).AsInteger(), 2);
  EXPECT_EQ(Variant::FromCurrency(35000).AsInteger(), 4);
  EXPECT_EQ(Variant::FromCurrency(-25000).AsInteger(), -2);
  EXPECT_EQ(Variant::FromCurrency(-25001).AsInteger(), -3);
  // Text is rounded on its decimal digits, not on a binary approximation.
  EXPECT_EQ(Variant("2.5").AsInteger(), 2);
  EXPECT_EQ(Variant("3.5").AsInteger(), 4);
  EXPECT_EQ(Variant("-2.5").AsInteger(), -2);
  EXPECT_EQ(Variant("2.50000000000000000001").AsInteger(), 3);
  EXPECT_EQ(Variant(u"1.5e1").AsSmallint(), 15);
}

TEST(VariantTest, BooleansAreMinusOneAndZeroAsNumbers) {
  EXPECT_EQ(Variant(true).AsInteger(), -1);
  EXPECT_EQ(Variant(true).AsSmallint(), -1);
  EXPECT_EQ(Variant(true).AsDouble(), -1.0);
  EXPECT_EQ(Variant(true).AsCurrency(), -10000);
  EXPECT_EQ(Variant(false).AsInteger(), 0);
  EXPECT_EQ(Variant(true).AsString(), "True");
  EXPECT_EQ(Variant(false).AsString(), "False");
  EXPECT_EQ(Variant(true).AsWideString(), u"True");

  EXPECT_TRUE(Variant("true").AsBoolean());
  EXPECT_FALSE(Variant("FALSE").AsBoolean());
  EXPECT_FALSE(Variant("0").AsBoolean());
  EXPECT_TRUE(Variant("-1").AsBoolean());
  EXPECT_TRUE(Variant(0.25).AsBoolean());
  EXPECT_FALSE(Variant(0).AsBoolean());
  EXPECT_EQ(MessageOf<EVariantTypeCastError>([] { Variant("yes").AsBoolean(); }),
            "Could not convert variant of type (String) into type (Boolean)");
}

TEST(VariantTest, EmptyConvertsWhileNullRaises) {
  Variant empty;
  EXPECT_TRUE(VarIsEmpty(empty));
  EXPECT_FALSE(VarIsNull(empty));
  EXPECT_EQ(empty.AsInteger(), 0);
  EXPECT_EQ(empty.AsDouble(), 0.0);
  EXPECT_EQ(empty.AsCurrency(), 0);
  EXPECT_FALSE(empty.AsBoolean());
  EXPECT_EQ(empty.AsString(), "");
  EXPECT_EQ(empty.AsWideString(), u"");

  Variant null = Null();
  EXPECT_TRUE(VarIsNull(null));
  EXPECT_FALSE(VarIsEmpty(null));
  EXPECT_EQ(VarType(null), varNull);
  EXPECT_EQ(MessageOf<EVariantTypeCastError>([&] { null.AsInteger(); }),
            "Could not convert variant of type (Null) into type (Integer)");
  EXPECT_EQ(MessageOf<EVariantTypeCastError>([&] { null.AsDouble(); }),
            "Could not convert variant of type (Null) into type (Double)");
  EXPECT_EQ(MessageOf<EVariantTypeCastError>([&] { null.AsString(); }),
            "Could not convert variant of type (Null) into type (String)");
  EXPECT_THROW(null.AsBoolean(), EVariantTypeCastError);
  EXPECT_THROW(null.AsDateTime(), EVariantTypeCastError);
  EXPECT_THROW(null.AsWideString(), EVariantTypeCastError);
  // VarToStr is the forgiving reading; a type cast is not.
  EXPECT_EQ(VarToStr(null), "");
  EXPECT_EQ(VarToWideStr(null), u"");
  EXPECT_THROW(VarAsType(null, varInteger), EVariantTypeCastError);
  EXPECT_TRUE(VarIsNull(VarAsType(Variant(5), varNull)));
  EXPECT_TRUE(VarIsEmpty(VarAsType(null, varEmpty)));
  // The conversion errors are variant errors, and through them Exceptions.
  EXPECT_THROW(null.AsInteger(), EVariantError);
  EXPECT_THROW(null.AsInteger(), Exception);
}

TEST(VariantTest, TextThatIsNotANumberRaisesCastError) {
  EXPECT_EQ(MessageOf<EVariantTypeCastError>([] { Variant("abc").AsInteger(); }),
            "Could not convert variant of type (String) into type (Integer)");
  EXPECT_EQ(MessageOf<EVariantTypeCastError>([] { Variant(u"abc").AsDouble(); }),
            "Could not convert variant of type (OleStr) into type (Double)");
  EXPECT_EQ(MessageOf<EVariantTypeCastError>([] { Variant("1,5").AsCurrency(); }),
            "Could not convert variant of type (String) into type (Currency)");
  for (const char* bad : {"", " ", "-", ".", "1e", "1e+", "12abc", "1.2.3", "0x10", "1 2"})
    EXPECT_THROW(Variant(bad).AsDouble(), EVariantTypeCastError) << '"' << bad << '"';
  // Blanks around a number, a sign, a bare fraction and an exponent are fine.
  EXPECT_EQ(Variant(" 12 ").AsInteger(), 12);
  EXPECT_EQ(Variant("+7").AsInteger(), 7);
  EXPECT_EQ(Variant(".5").AsDouble(), 0.5);
  EXPECT_EQ(Variant("5.").AsDouble(), 5.0);
  EXPECT_EQ(Variant("-1.5E3").AsDouble(), -1500.0);
  EXPECT_EQ(Variant("1e-400").AsDouble(), 0.0);
}

TEST(VariantTest, OutOfRangeRaisesOverflow) {
  EXPECT_EQ(MessageOf<EVariantOverflowError>([] { Variant("99999").AsSmallint(); }),
            "Overflow while converting variant of type (String) into type (Smallint)");
  EXPECT_EQ(Variant(32767).AsSmallint(), 32767);
  EXPECT_THROW(Variant(32768).AsSmallint(), EVariantOverflowError);
  EXPECT_THROW(Variant(3e9).AsInteger(), EVariantOverflowError);
  EXPECT_THROW(Variant(std::nan("")).AsInteger(), EVariantOverflowError);
  EXPECT_THROW(Variant(1e300).AsCurrency(), EVariantOverflowError);
  EXPECT_THROW(Variant("1e400").AsDouble(), EVariantOverflowError);
  EXPECT_EQ(Variant("9223372036854775807").AsInt64(), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(Variant("-9223372036854775808").AsInt64(), std::numeric_limits<int64_t>::min());
  EXPECT_THROW(Variant("9223372036854775808").AsInt64(), EVariantOverflowError);
  EXPECT_THROW(Variant(static_cast<long long>(INT64_MAX)).AsCurrency(), EVariantOverflowError);
}

TEST(VariantTest, CurrencyKeepsTenThousandthsExactly) {
  EXPECT_EQ(Variant("1.23456").AsCurrency(), 12346);
  EXPECT_EQ(Variant("0.00005").AsCurrency(), 0);  // half to even
  EXPECT_EQ(Variant("0.00015").AsCurrency(), 2);
  EXPECT_EQ(Variant(1.5).AsCurrency(), 15000);
  EXPECT_EQ(Variant(12).AsCurrency(), 120000);
  EXPECT_EQ(Variant::FromCurrency(15000).AsString(), "1.5");
  EXPECT_EQ(Variant::FromCurrency(-1).AsString(), "-0.0001");
  EXPECT_EQ(Variant::FromCurrency(1230000).AsString(), "123");
  EXPECT_EQ(Variant::FromCurrency(std::numeric_limits<int64_t>::min()).AsString(),
            "-922337203685477.5808");
  EXPECT_EQ(Variant::FromCurrency(15000).AsDouble(), 1.5);
}

TEST(VariantTest, NumbersToTextUseFifteenSignificantDigits) {
  struct Case {
    double value;
    const char* text;
  };
  const Case cases[] = {
      {0, "0"},
      {100, "100"},
      {-1.5, "-1.5"},
      {0.1, "0.1"},
      {0.1 + 0.2, "0.3"},
      {1.0 / 3, "0.333333333333333"},
      {2.0 / 3, "0.666666666666667"},
      {1e14, "100000000000000"},
      {1e15, "1E15"},
      {999999999999999.9, "1E15"},
      {123456789012345678.0, "1.23456789012346E17"},
      {0.0001, "0.0001"},
      {0.00001, "1E-5"},
      {-1.5e-7, "-1.5E-7"},
      {12345.678, "12345.678"},
  };
  for (const Case& c : cases) EXPECT_EQ(Variant(c.value).AsString(), c.text) << c.value;
  EXPECT_EQ(Variant(std::numeric_limits<double>::infinity()).AsString(), "INF");
  EXPECT_EQ(Variant(static_cast<short>(-5)).AsString(), "-5");
  EXPECT_EQ(Variant(static_cast<long long>(1) << 40).AsString(), "1099511627776");
}

TEST(VariantTest, DatesAsTextAndBack) {
  EXPECT_EQ(Variant::FromDate(0).AsString(), "1899-12-30");
  EXPECT_EQ(Variant::FromDate(36526.5).AsString(), "2000-01-01 12:00:00");
  // Before day 0 the fraction still counts forward from midnight.
  EXPECT_EQ(Variant::FromDate(-1.25).AsString(), "1899-12-29 06:00:00");
  EXPECT_EQ(Variant("1899-12-29 06:00:00").AsDateTime(), -1.25);
  EXPECT_EQ(Variant("2000-01-01").AsDateTime(), 36526.0);
  EXPECT_EQ(Variant("12:00").AsDateTime(), 0.5);
  EXPECT_EQ(Variant(u"2024-02-29 23:59:59").AsString(), "2024-02-29 23:59:59");
  EXPECT_THROW(Variant("2023-02-29").AsDateTime(), EVariantTypeCastError);
  EXPECT_THROW(Variant("24:00").AsDateTime(), EVariantTypeCastError);
  EXPECT_THROW(Variant::FromDate(1e12).AsString(), EVariantOverflowError);
  EXPECT_EQ(VarAsType(Variant(36526), varDate).AsString(), "2000-01-01");
}

TEST(VariantTest, WideAndAnsiMapThroughWindows1252) {
  EXPECT_EQ(Variant(u"\u20AC \u00E9 \u0178").AsString(), "\x80 \xE9 \x9F");
  EXPECT_EQ(Variant("\x80 \xE9 \x9F").AsWideString(), u"\u20AC \u00E9 \u0178");
  // Bytes the code page leaves undefined keep their number both ways.
  EXPECT_EQ(Variant("\x81").AsWideString(), u"\u0081");
  EXPECT_EQ(Variant(u"\u0081").AsString(), "\x81");
  // Characters outside the code page become '?', a surrogate pair one '?'.
  EXPECT_EQ(Variant(u"a\u0100b\U0001F600c").AsString(), "a?b?c");
  EXPECT_EQ(Variant(u"\xD800x").AsString(), "?x");
  EXPECT_EQ(Variant(u"1.5").AsDouble(), 1.5);
}

TEST(VariantTest, VarAsTypeMakesTheTargetKind) {
  Variant s = VarAsType(Variant(42), varString);
  EXPECT_EQ(VarType(s), varString);
  EXPECT_EQ(s.AsString(), "42");
  Variant i = VarAsType(Variant("42"), varInteger);
  EXPECT_EQ(VarType(i), varInteger);
  EXPECT_EQ(VarType(VarAsType(Variant(1.5), varCurrency)), varCurrency);
  EXPECT_EQ(VarType(VarAsType(Variant("x"), varOleStr)), varOleStr);
  EXPECT_EQ(VarType(VarAsType(Variant(1), varSmallint)), varSmallint);
  EXPECT_THROW(VarAsType(Variant(1), 0x0042), EVariantTypeCastError);
  EXPECT_TRUE(VarIsStr(Variant(u"w")));
  EXPECT_TRUE(VarIsNumeric(Variant(true)));
  EXPECT_FALSE(VarIsNumeric(Variant::FromDate(1)));
  EXPECT_FALSE(VarIsNumeric(Variant("1")));
}

TEST(VariantTest, ArraysHoldVariantsByValue) {
  Variant a = VarArrayOf({1, "two", Null()});
  EXPECT_TRUE(VarIsArray(a));
  EXPECT_EQ(VarType(a), varArray | varVariant);
  EXPECT_EQ(VarArrayDimCount(a), 1);
  EXPECT_EQ(VarArrayLowBound(a, 1), 0);
  EXPECT_EQ(VarArrayHighBound(a, 1), 2);
  EXPECT_EQ(VarArrayGet(a, 1).AsString(), "two");
  EXPECT_TRUE(VarIsNull(VarArrayGet(a, 2)));

  Variant copy = a;  // a deep copy
  VarArrayPut(copy, 99, 0);
  EXPECT_EQ(VarArrayGet(a, 0).AsInteger(), 1);
  EXPECT_EQ(VarArrayGet(copy, 0).AsInteger(), 99);
  VarArrayPut(copy, VarArrayGet(copy, 1), 0);  // an element of the same array
  EXPECT_EQ(VarArrayGet(copy, 0).AsString(), "two");

  Variant moved = std::move(copy);
  EXPECT_TRUE(VarIsEmpty(copy));  // NOLINT(bugprone-use-after-move): moved-from is Unassigned
  EXPECT_EQ(VarArrayHighBound(moved, 1), 2);

  Variant b = VarArrayCreate(1, 3, varVariant);
  EXPECT_EQ(VarArrayLowBound(b, 1), 1);
  EXPECT_TRUE(VarIsEmpty(VarArrayGet(b, 3)));
  EXPECT_EQ(MessageOf<EVariantBadIndexError>([&] { VarArrayGet(b, 0); }),
            "Variant or safe array index out of bounds");
  EXPECT_THROW(VarArrayGet(b, 4), EVariantBadIndexError);
  EXPECT_THROW(VarArrayHighBound(b, 2), EVariantBadIndexError);
  EXPECT_EQ(VarArrayHighBound(VarArrayCreate(0, -1, varVariant), 1), -1);
  EXPECT_THROW(VarArrayCreate(0, -2, varVariant), EVariantArrayCreateError);
  EXPECT_THROW(VarArrayCreate(0, 3, varInteger), EVariantArrayCreateError);

  EXPECT_EQ(VarArrayDimCount(Variant(1)), 0);
  EXPECT_THROW(VarArrayGet(Variant(1), 0), EVariantNotAnArrayError);
  EXPECT_THROW(VarArrayLowBound(Null(), 1), EVariantNotAnArrayError);
  EXPECT_EQ(MessageOf<EVariantTypeCastError>([&] { a.AsInteger(); }),
            "Could not convert variant of type (Array Variant) into type (Integer)");
  EXPECT_THROW(a.AsString(), EVariantTypeCastError);
  EXPECT_THROW(VarToStr(a), EVariantTypeCastError);
}

}  // namespace
}  // namespace host
