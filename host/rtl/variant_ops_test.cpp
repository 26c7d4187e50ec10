#include "host/rtl/variant_ops.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "host/rtl/date_time.h"

namespace host {
namespace {

// One value of every kind, named by a letter: the rows and columns of the
// tables below read "ENsildctbSW".
constexpr const char* kKinds = "ENsildctbSW";

Variant Sample(char kind, bool truth) {
  switch (kind) {
    case 'E':
      return Variant();
    case 'N':
      return Null();
    case 's':
      return Variant(static_cast<short>(2));
    case 'i':
      return Variant(3);
    case 'l':
      return Variant(4LL);
    case 'd':
      return Variant(2.5);
    case 'c':
      return Variant::FromCurrency(35000);  // 3.5
    case 't':
      return Variant::FromDate(1.0);  // 1899-12-31
    case 'b':
      return Variant(truth);
    case 'S':
      return Variant("3");
    case 'W':
      return Variant(u"3.5");
  }
  return Variant();
}

// '<', '=', '>' for VarCompare, 'X' where the conversion fails.
char CompareOutcome(const Variant& a, const Variant& b) {
  try {
    int c = VarCompare(a, b);
    return c < 0 ? '<' : c > 0 ? '>' : '=';
  } catch (const EVariantTypeCastError&) {
    return 'X';
  }
}

TEST(VariantOpsTest, CompareEveryPairOfKinds) {
  // Samples: Empty, Null, Smallint 2, Integer 3, Int64 4, Double 2.5,
  // Currency 3.5, Date 1.0, False, '3', wide '3.5'.
  const char* expected[] = {
      /* E */ "=><<<<<<=<<",
      /* N */ "<=<<<<<<<<<",
      /* s */ ">>=<<<<>><<",
      /* i */ ">>>=<><>>=<",
      /* l */ ">>>>=>>>>>>",
      /* d */ ">>><<=<>><<",
      /* c */ ">>>><>=>>>=",
      /* t */ ">><<<<<=>XX",
      /* b */ "=><<<<<<=<<",
      /* S */ ">>>=<><X>=<",
      /* W */ ">>>><>=X>>=",
  };
  for (int r = 0; r < 11; ++r) {
    for (int c = 0; c < 11; ++c) {
      const Variant a = Sample(kKinds[r], false), b = Sample(kKinds[c], false);
      const char want = expected[r][c];
      SCOPED_TRACE(std::string(1, kKinds[r]) + " vs " + kKinds[c]);
      EXPECT_EQ(CompareOutcome(a, b), want);
      if (want == 'X') {
        EXPECT_THROW(VarEquals(a, b), EVariantTypeCastError);
      } else {
        EXPECT_EQ(VarEquals(a, b), want == '=');
      }
      // The table is its own mirror: swapping the operands flips the answer.
      const char mirrored = expected[c][r];
      EXPECT_EQ(want, mirrored == '<' ? '>' : mirrored == '>' ? '<' : mirrored);
    }
  }
}

// The numeric value arithmetic should reach, from an independent model:
// Empty 0, Booleans -1 and 0, everything else its double.
double Model(const Variant& v) {
  if (v.IsEmpty()) return 0;
  return v.AsDouble();
}

struct TArithCase {
  const char* Name;
  std::function<Variant(const Variant&, const Variant&)> Op;
  std::function<double(double, double)> Model;
  const char* Expected[11];  // result kinds, row operand first
};

// Result kinds: i Integer, l Int64, d Double, c Currency, t Date, S String,
// W wide string, N Null, Z EZeroDivide.
TVarType KindType(char k) {
  switch (k) {
    case 'i':
      return varInteger;
    case 'l':
      return varInt64;
    case 'd':
      return varDouble;
    case 'c':
      return varCurrency;
    case 't':
      return varDate;
    case 'S':
      return varString;
    case 'W':
      return varOleStr;
    default:
      return varNull;
  }
}

TEST(VariantOpsTest, ArithmeticEveryPairOfKinds) {
  // Samples as in the comparison table, with True (-1) as the Boolean.
  const TArithCase cases[] = {
      {"add", VarAdd, [](double x, double y) { return x + y; },
       {"iNiildctiSW", "NNNNNNNNNNN", "iNiildctiid", "iNiildctiid", "lNllldctlld", "dNdddddtddd",
        "cNcccdctccd", "tNttttttttt", "iNiildctiid", "SNiildctiSW", "WNdddddtdWW"}},
      {"sub", VarSub, [](double x, double y) { return x - y; },
       {"iNiildctiid", "NNNNNNNNNNN", "iNiildctiid", "iNiildctiid", "lNllldctlld", "dNdddddtddd",
        "cNcccdctccd", "tNtttttdttt", "iNiildctiid", "iNiildctiid", "dNdddddtddd"}},
      {"mul", VarMul, [](double x, double y) { return x * y; },
       {"iNiildcdiid", "NNNNNNNNNNN", "iNiildcdiid", "iNiildcdiid", "lNllldcdlld", "dNddddddddd",
        "cNcccdcdccd", "dNddddddddd", "iNiildcdiid", "iNiildcdiid", "dNddddddddd"}},
      {"div", VarDiv, [](double x, double y) { return x / y; },
       {"ZNddddddddd", "NNNNNNNNNNN", "ZNddddddddd", "ZNddddddddd", "ZNddddddddd", "ZNddddddddd",
        "ZNddddddddd", "ZNddddddddd", "ZNddddddddd", "ZNddddddddd", "ZNddddddddd"}},
  };
  for (const TArithCase& op : cases) {
    for (int r = 0; r < 11; ++r) {
      for (int c = 0; c < 11; ++c) {
        const Variant a = Sample(kKinds[r], true), b = Sample(kKinds[c], true);
        const char want = op.Expected[r][c];
        SCOPED_TRACE(std::string(1, kKinds[r]) + " " + op.Name + " " + kKinds[c]);
        if (want == 'Z') {
          EXPECT_THROW(op.Op(a, b), EZeroDivide);
          continue;
        }
        const Variant result = op.Op(a, b);
        ASSERT_EQ(VarTypeAsText(result.VType()), VarTypeAsText(KindType(want)));
        if (want == 'S' || want == 'W') {
          EXPECT_EQ(result.AsString(), a.AsString() + b.AsString());
        } else if (want != 'N') {
          EXPECT_DOUBLE_EQ(result.AsDouble(), op.Model(Model(a), Model(b)));
        }
      }
    }
  }
}

TEST(VariantOpsTest, IntegerOverflowPromotesInsteadOfWrapping) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  struct TCase {
    Variant Result;
    TVarType Type;
    double Value;
  } cases[] = {
      {VarAdd(Variant(INT32_MAX), Variant(1)), varInt64, 2147483648.0},
      {VarSub(Variant(INT32_MIN), Variant(1)), varInt64, -2147483649.0},
      {VarMul(Variant(65536), Variant(65536)), varInt64, 4294967296.0},
      {VarAdd(Variant(static_cast<short>(32767)), Variant(static_cast<short>(1))), varInteger,
       32768},
      {VarAdd(Variant(1LL), Variant(1)), varInt64, 2},  // an Int64 operand keeps an Int64
      {VarAdd(Variant(kMax), Variant(1)), varDouble, 9223372036854775808.0},
      {VarSub(Variant(kMin), Variant(1)), varDouble, -9223372036854775809.0},
      {VarMul(Variant(kMin), Variant(-1)), varDouble, 9223372036854775808.0},
      {VarMul(Variant(kMax), Variant(kMax)), varDouble, 8.5070591730234616e37},
      {VarAdd(Variant("9223372036854775807"), Variant(1)), varDouble, 9223372036854775808.0},
      {VarAdd(Variant("4000000000"), Variant(1)), varInt64, 4000000001.0},
      // Currency: exact while it fits, then a double.
      {VarAdd(Variant::FromCurrency(kMax), Variant::FromCurrency(1)), varDouble,
       922337203685477.5808},
      {VarMul(Variant::FromCurrency(kMax), Variant(2)), varDouble, 1844674407370955.1614},
      {VarAdd(Variant::FromCurrency(kMax - 10000), Variant(1)), varCurrency,
       922337203685477.5807},
      {VarAdd(Variant::FromCurrency(0), Variant(kMax)), varDouble, 9.223372036854775807e18},
      // Products of currency round to ten-thousandths, halves to even.
      {VarMul(Variant::FromCurrency(1), Variant::FromCurrency(5000)), varCurrency, 0},
      {VarMul(Variant::FromCurrency(3), Variant::FromCurrency(5000)), varCurrency, 0.0002},
      {VarMul(Variant::FromCurrency(-3), Variant::FromCurrency(5000)), varCurrency, -0.0002},
      {VarMul(Variant::FromCurrency(15000), Variant::FromCurrency(15000)), varCurrency, 2.25},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(VarTypeAsText(cases[i].Result.VType()), VarTypeAsText(cases[i].Type));
    EXPECT_DOUBLE_EQ(cases[i].Result.AsDouble(), cases[i].Value);
  }
  // Exact currency digits, not a double approximation of them.
  EXPECT_EQ(VarAdd(Variant::FromCurrency(kMax - 10000), Variant(1)).AsCurrency(), kMax);
  EXPECT_EQ(VarSub(Variant::FromCurrency(1), Variant::FromCurrency(3)).AsCurrency(), -2);
}

TEST(VariantOpsTest, NoZeroDivisorInfinityOrNaNReachesAResult) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  for (const Variant& zero : {Variant(0), Variant(0.0), Variant(-0.0), Variant(), Variant(false),
                              Variant::FromCurrency(0), Variant("0"), Variant::FromDate(0)}) {
    SCOPED_TRACE(VarTypeAsText(zero.VType()));
    EXPECT_THROW(VarDiv(Variant(1), zero), EZeroDivide);
    EXPECT_THROW(VarDiv(Variant(0), zero), EZeroDivide);
    EXPECT_TRUE(VarIsNull(VarDiv(Null(), zero)));  // Null wins over the divisor
  }
  try {
    VarDiv(Variant(1), Variant(0));
    FAIL();
  } catch (const EMathError& e) {
    EXPECT_EQ(e.Message(), "Floating point division by zero");
  }
  const std::vector<std::function<Variant()>> overflows = {
      [] { return VarMul(Variant(1e308), Variant(10)); },
      [] { return VarAdd(Variant(1e308), Variant(1e308)); },
      [] { return VarSub(Variant(-1e308), Variant(1e308)); },
      [] { return VarDiv(Variant(1e308), Variant(1e-308)); },
      [] { return VarAdd(Variant::FromDate(1e308), Variant(1e308)); },
      [&] { return VarAdd(Variant(inf), Variant(1)); },
  };
  for (const auto& f : overflows) EXPECT_THROW(f(), EOverflow);
  EXPECT_THROW(VarAdd(Variant(nan), Variant(1)), EInvalidOp);
  EXPECT_THROW(VarSub(Variant(inf), Variant(inf)), EInvalidOp);
  EXPECT_EQ(VarDiv(Variant(1e-308), Variant(1e308)).AsDouble(), 0.0);  // underflow is no error
  EXPECT_DOUBLE_EQ(VarDiv(Variant(5), Variant(2)).AsDouble(), 2.5);
}

TEST(VariantOpsTest, DatesAndText) {
  const TDateTime jan31 = EncodeDate(2004, 1, 31);
  const Variant d = Variant::FromDate(jan31);
  EXPECT_EQ(VarAdd(d, Variant(1)).VType(), varDate);
  EXPECT_EQ(VarAdd(d, Variant(1)).AsDateTime(), EncodeDate(2004, 2, 1));
  EXPECT_EQ(VarAdd(Variant(0.5), d).AsDateTime(), jan31 + 0.5);
  EXPECT_EQ(VarSub(d, Variant::FromCurrency(310000)).AsDateTime(), EncodeDate(2003, 12, 31));
  const Variant gap = VarSub(d, Variant::FromDate(EncodeDate(2003, 12, 31)));
  EXPECT_EQ(gap.VType(), varDouble);
  EXPECT_EQ(gap.AsDouble(), 31.0);
  // Text beside a date compares as a date in the host's own form.
  EXPECT_EQ(VarCompare(d, Variant("2004-01-31")), 0);
  EXPECT_EQ(VarCompare(Variant(u"2004-02-01"), d), 1);
  EXPECT_THROW(VarCompare(d, Variant("31/01/2004")), EVariantTypeCastError);

  // Text beside a number is a number; text beside text concatenates or
  // collates.
  EXPECT_EQ(VarAdd(Variant(" 12 "), Variant(1)).AsInteger(), 13);
  EXPECT_EQ(VarAdd(Variant("1e2"), Variant(1)).AsDouble(), 101.0);
  EXPECT_EQ(VarAdd(Variant("a"), Variant("b")).AsString(), "ab");
  EXPECT_EQ(VarAdd(Variant(), Variant("b")).AsString(), "b");
  EXPECT_EQ(VarSub(Variant("10"), Variant("4")).AsInteger(), 6);
  EXPECT_THROW(VarAdd(Variant("a"), Variant(1)), EVariantTypeCastError);
  EXPECT_THROW(VarAdd(Variant("+-1"), Variant(1)), EVariantTypeCastError);
  EXPECT_THROW(VarCompare(Variant("abc"), Variant(1)), EVariantTypeCastError);
  EXPECT_THROW(VarCompare(Variant(1.5), Variant("1e999")), EVariantOverflowError);
  EXPECT_THROW(VarCompare(VarArrayOf({1}), Variant(1)), EVariantTypeCastError);
  EXPECT_THROW(VarAdd(Variant(1), VarArrayOf({1})), EVariantTypeCastError);
}

TEST(VariantOpsTest, CompareEdges) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  struct TCase {
    Variant A, B;
    int Want;
  } cases[] = {
      // Integers against doubles exactly, beyond 2^53 and at 2^63.
      {Variant(kMax), Variant(9223372036854775808.0), -1},
      {Variant(9007199254740993LL), Variant(9007199254740992.0), 1},
      {Variant("9007199254740993"), Variant(9007199254740993LL), 0},
      {Variant(-3), Variant(-2.5), -1},
      {Variant(2), Variant(2.0), 0},
      {Variant(-0.0), Variant(0), 0},
      // Currency against integers exactly, against doubles as doubles.
      {Variant::FromCurrency(kMax), Variant(922337203685477LL), 1},
      {Variant::FromCurrency(-kMax), Variant(-922337203685477LL), -1},
      {Variant(kMax), Variant::FromCurrency(kMax), 1},
      {Variant::FromCurrency(1000), Variant(0.1), 0},
      {Variant::FromCurrency(1), Variant(0.0), 1},
      // A NaN from a damaged value has a place in the order.
      {Variant(nan), Variant(nan), 0},
      {Variant(nan), Variant(-1e308), -1},
      {Variant(1), Variant(nan), 1},
      {Null(), Variant(nan), -1},
      // Strings: equal by bytes, ordered without regard to case first.
      {Variant("a"), Variant("B"), -1},
      {Variant("abc"), Variant("ABC"), -1},
      {Variant("ABC"), Variant("abd"), -1},
      {Variant("ab"), Variant("ab "), -1},
      {Variant(std::string("a\0b", 3)), Variant("a"), 1},
      {Variant("\xE9"), Variant(u"\u00E9"), 0},  // é in both forms
      {Variant("\xE9"), Variant(u"f"), -1},
      {Variant(u"\u0100"), Variant("\xFF"), 1},  // beyond the code page: after it
      {Variant(), Variant(""), 0},
      {Variant(), Variant(u""), 0},
      // Booleans beside other values are the numbers 0 and 1.
      {Variant(true), Variant(5), -1},
      {Variant(true), Variant(1), 0},
      {Variant(true), Variant(-1), 1},
      {Variant(false), Variant(0.0), 0},
      {Variant(false), Variant::FromCurrency(-1), 1},
      {Variant("1"), Variant(true), 0},
      {Variant(u"0.5"), Variant(true), -1},
      {Variant(), Variant(false), 0},
      {Variant(true), Variant(false), 1},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(VarCompare(cases[i].A, cases[i].B), cases[i].Want);
    EXPECT_EQ(VarCompare(cases[i].B, cases[i].A), -cases[i].Want);
    EXPECT_EQ(VarEquals(cases[i].A, cases[i].B), cases[i].Want == 0);
  }
  EXPECT_THROW(VarCompare(Variant(true), Variant("yes")), EVariantTypeCastError);
  EXPECT_THROW(VarCompare(Variant(true), Variant("True")), EVariantTypeCastError);
}

// Antisymmetric and transitive over `pool`, every triple.
void ExpectTotalOrder(const std::vector<Variant>& pool) {
  const size_t n = pool.size();
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = 0; j < n; ++j) {
      const int ij = VarCompare(pool[i], pool[j]);
      ASSERT_EQ(ij, -VarCompare(pool[j], pool[i])) << i << " " << j;
      for (size_t k = 0; k < n; ++k) {
        if (ij <= 0 && VarCompare(pool[j], pool[k]) <= 0) {
          ASSERT_LE(VarCompare(pool[i], pool[k]), 0) << i << " " << j << " " << k;
        }
      }
    }
  }
}

// Sorting, grouping and DISTINCT need one order over whatever mix a column
// of results holds: random mixes of Booleans with numbers, dates, Null and
// Empty, and of texts with Null and Empty.
TEST(VariantOpsTest, OrderIsTotalOverRandomMixes) {
  const std::vector<Variant> numeric = {
      Null(), Variant(), Variant(false), Variant(true), Variant(-2), Variant(-1), Variant(0),
      Variant(1), Variant(2), Variant(static_cast<short>(1)), Variant(1LL << 40), Variant(-0.5),
      Variant(0.5), Variant(1.0), Variant(1.5), Variant::FromCurrency(10000),
      Variant::FromCurrency(5000), Variant::FromCurrency(-10000), Variant::FromDate(0.0),
      Variant::FromDate(1.0), Variant::FromDate(2.25)};
  const std::vector<Variant> texts = {Null(),       Variant(),      Variant(""),  Variant("a"),
                                      Variant("B"), Variant(u"b"),  Variant("1"), Variant("10"),
                                      Variant("9"), Variant(u"\u00E9"), Variant("e")};
  std::mt19937 rng(41);
  for (const auto* from : {&numeric, &texts}) {
    for (int round = 0; round < 200; ++round) {
      std::vector<Variant> pool;
      for (int i = 0; i < 8; ++i) pool.push_back((*from)[rng() % from->size()]);
      ExpectTotalOrder(pool);
    }
  }
}

TEST(VariantOpsTest, OrderIsTotalOverNumbersDatesNullAndEmpty) {
  // What MIN/MAX and sorting need: antisymmetric and transitive over a mixed
  // pool.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<Variant> pool = {
      Null(), Variant(), Variant(0), Variant(-1), Variant(static_cast<short>(7)),
      Variant(9007199254740993LL), Variant(9007199254740992.0), Variant(0.1),
      Variant::FromCurrency(1000), Variant::FromCurrency(-5), Variant(-0.0), Variant(nan),
      Variant::FromDate(1.5), Variant(1.5),
      Variant(std::numeric_limits<int64_t>::min()), Variant(-9.3e18)};
  const size_t n = pool.size();
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = 0; j < n; ++j) {
      const int ij = VarCompare(pool[i], pool[j]);
      ASSERT_EQ(ij, -VarCompare(pool[j], pool[i])) << i << " " << j;
      if (i == j) {
        ASSERT_EQ(ij, 0) << i;
      }
      for (size_t k = 0; k < n; ++k) {
        const int jk = VarCompare(pool[j], pool[k]);
        if (ij <= 0 && jk <= 0) {
          ASSERT_LE(VarCompare(pool[i], pool[k]), 0) << i << " " << j << " " << k;
        }
      }
    }
  }
}

TEST(VariantOpsTest, LogicOnBooleansWithNull) {
  // Operands: True, False, Null, Empty (False), 'True' text, 1.
  const Variant t(true), f(false), n = Null(), e, txt("True"), one(1);
  struct TCase {
    Variant Result;
    char Want;  // T, F or N(ull)
  } cases[] = {
      {VarAnd(t, t), 'T'},   {VarAnd(t, f), 'F'},   {VarAnd(f, t), 'F'},   {VarAnd(f, f), 'F'},
      {VarAnd(t, n), 'N'},   {VarAnd(n, f), 'N'},   {VarAnd(n, n), 'N'},   {VarAnd(t, e), 'F'},
      {VarAnd(txt, one), 'T'},
      {VarOr(t, t), 'T'},    {VarOr(t, f), 'T'},    {VarOr(f, t), 'T'},    {VarOr(f, f), 'F'},
      {VarOr(t, n), 'N'},    {VarOr(n, f), 'N'},    {VarOr(e, e), 'F'},    {VarOr(e, one), 'T'},
      {VarNot(t), 'F'},      {VarNot(f), 'T'},      {VarNot(n), 'N'},      {VarNot(e), 'T'},
      {VarNot(Variant("false")), 'T'},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    const Variant& r = cases[i].Result;
    if (cases[i].Want == 'N') {
      EXPECT_TRUE(VarIsNull(r));
    } else {
      ASSERT_EQ(r.VType(), varBoolean);
      EXPECT_EQ(r.AsBoolean(), cases[i].Want == 'T');
    }
  }
  EXPECT_THROW(VarAnd(t, Variant("yes")), EVariantTypeCastError);
  EXPECT_THROW(VarNot(VarArrayOf({t})), EVariantTypeCastError);
}

}  // namespace
}  // namespace host
