#include "host/rtl/variant_ops.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "host/rtl/collation.h"
#include "host/rtl/exceptions.h"

namespace host {

namespace {

enum class TOpKind { Empty, Null, Int, Cur, Dbl, Date, Bool, Str, WStr, Other };

TOpKind KindOf(const Variant& v) {
  switch (v.VType()) {
    case varEmpty:
      return TOpKind::Empty;
    case varNull:
      return TOpKind::Null;
    case varSmallint:
    case varInteger:
    case varInt64:
      return TOpKind::Int;
    case varCurrency:
      return TOpKind::Cur;
    case varDouble:
      return TOpKind::Dbl;
    case varDate:
      return TOpKind::Date;
    case varBoolean:
      return TOpKind::Bool;
    case varString:
      return TOpKind::Str;
    case varOleStr:
      return TOpKind::WStr;
    default:
      return TOpKind::Other;
  }
}

bool IsText(TOpKind k) {
  return k == TOpKind::Str || k == TOpKind::WStr;
}

// The 8-bit text of a string or Empty ('').
const std::string& AnsiTextOf(const Variant& v) {
  static const std::string kNoText;
  return v.VType() == varString ? v.StrRef() : kNoText;
}

// A number as comparison and arithmetic see it: an integer, currency in
// ten-thousandths, or a double (dates included).
struct TNum {
  enum TNumKind { nkInt, nkCur, nkDbl };
  TNumKind Kind = nkInt;
  int64_t I = 0;
  double D = 0;
  bool Wide = false;  // an integer that asks for an Int64 result

  double AsDouble() const {
    switch (Kind) {
      case nkInt:
        return static_cast<double>(I);
      case nkCur:
        return static_cast<double>(I) / 10000;
      default:
        return D;
    }
  }
};

TNum IntNum(int64_t i, bool wide) {
  TNum n;
  n.I = i;
  n.Wide = wide;
  return n;
}

TNum DblNum(double d) {
  TNum n;
  n.Kind = TNum::nkDbl;
  n.D = d;
  return n;
}

// Text read as a number: an integer when it is one that fits 64 bits (so that
// large integers compare exactly), else whatever the Variant's own conversion
// to a double makes of it, raising as that does.
TNum TextNum(const Variant& v) {
  std::string wide;
  const std::string* text = &v.StrRef();
  if (v.VType() == varOleStr) {
    wide = v.AsString();
    text = &wide;
  }
  const char* p = text->data();
  const char* end = p + text->size();
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (p < end && blank(*p)) ++p;
  while (end > p && blank(end[-1])) --end;
  const char* digits = p < end && (*p == '+' || *p == '-') ? p + 1 : p;
  bool integral = digits < end;
  for (const char* q = digits; q < end && integral; ++q) integral = *q >= '0' && *q <= '9';
  int64_t value;
  if (integral) {
    auto [stop, ec] = std::from_chars(*p == '+' ? p + 1 : p, end, value);  // '-' only
    if (ec == std::errc() && stop == end)
      return IntNum(value, value < INT32_MIN || value > INT32_MAX);
  }
  return DblNum(v.AsDouble());
}

// Any non-Null value as a number; what is not one raises the conversion error.
TNum NumOf(const Variant& v, TOpKind k) {
  switch (k) {
    case TOpKind::Empty:
      return IntNum(0, false);
    case TOpKind::Bool:
      return IntNum(v.AsBoolean() ? -1 : 0, false);
    case TOpKind::Int:
      return IntNum(v.AsInt64(), v.VType() == varInt64);
    case TOpKind::Cur: {
      TNum n;
      n.Kind = TNum::nkCur;
      n.I = v.AsCurrency();
      return n;
    }
    case TOpKind::Dbl:
    case TOpKind::Date:
      return DblNum(v.AsDouble());
    case TOpKind::Str:
    case TOpKind::WStr:
      return TextNum(v);
    default:
      VarCastError(v.VType(), varDouble);
  }
}

template <class T>
int Sign(T a, T b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

int CompareNums(const TNum& a, const TNum& b) {
  using K = TNum::TNumKind;
  if (a.Kind == K::nkDbl || b.Kind == K::nkDbl) {
    if (a.Kind == K::nkInt) return CompareIntDouble(a.I, b.D);
    if (b.Kind == K::nkInt) return -CompareIntDouble(b.I, a.D);
    return CompareDoubles(a.AsDouble(), b.AsDouble());
  }
  if (a.Kind == b.Kind) return Sign(a.I, b.I);
  // An integer against currency, on the currency's scale.
  const __int128 x = a.Kind == K::nkCur ? a.I : static_cast<__int128>(a.I) * 10000;
  const __int128 y = b.Kind == K::nkCur ? b.I : static_cast<__int128>(b.I) * 10000;
  return Sign(x, y);
}

// A value as a comparison with a number reads it: a Boolean as 0 or 1.
TNum CompareNum(const Variant& v, TOpKind k) {
  return k == TOpKind::Bool ? IntNum(v.AsBoolean() ? 1 : 0, false) : NumOf(v, k);
}

int Normalize(int c) {
  return (c > 0) - (c < 0);
}

int CompareTexts(const Variant& a, TOpKind ka, const Variant& b, TOpKind kb) {
  if (ka != TOpKind::WStr && kb != TOpKind::WStr) {
    const std::string& x = AnsiTextOf(a);
    const std::string& y = AnsiTextOf(b);
    if (x == y) return 0;
    return Normalize(CollateAnsiStr(x.data(), x.size(), y.data(), y.size()));
  }
  const std::u16string x = ka == TOpKind::WStr ? a.WideStrRef() : a.AsWideString();
  const std::u16string y = kb == TOpKind::WStr ? b.WideStrRef() : b.AsWideString();
  if (x == y) return 0;
  return Normalize(CollateWideStr(x.data(), x.size(), y.data(), y.size()));
}

// ---------------------------------------------------------------------------

enum class TArithOp { Add, Sub, Mul, Div };

double Checked(double r) {
  if (std::isnan(r)) throw EInvalidOp("Invalid floating point operation");
  if (std::isinf(r)) throw EOverflow("Floating point overflow");
  return r;
}

double DoubleOp(TArithOp op, double x, double y) {
  switch (op) {
    case TArithOp::Add:
      return Checked(x + y);
    case TArithOp::Sub:
      return Checked(x - y);
    case TArithOp::Mul:
      return Checked(x * y);
    case TArithOp::Div:
      if (y == 0) throw EZeroDivide("Floating point division by zero");
      return Checked(x / y);
  }
  return 0;
}

bool FitsInt64(__int128 r) {
  return r >= std::numeric_limits<int64_t>::min() && r <= std::numeric_limits<int64_t>::max();
}

// p / 10000 rounded half to even.
__int128 DivRoundEven(__int128 p) {
  __int128 q = p / 10000, rem = p % 10000;
  if (rem > 5000 || (rem == 5000 && (q & 1) != 0)) ++q;
  if (rem < -5000 || (rem == -5000 && (q & 1) != 0)) --q;
  return q;
}

Variant CurrencyOp(TArithOp op, const TNum& a, const TNum& b) {
  const __int128 x = a.Kind == TNum::nkCur ? a.I : static_cast<__int128>(a.I) * 10000;
  const __int128 y = b.Kind == TNum::nkCur ? b.I : static_cast<__int128>(b.I) * 10000;
  __int128 r;
  if (op == TArithOp::Add) {
    r = x + y;
  } else if (op == TArithOp::Sub) {
    r = x - y;
  } else if (a.Kind == TNum::nkCur && b.Kind == TNum::nkCur) {
    // Both factors carry the 10^4 scale; |x * y| < 2^126.
    r = DivRoundEven(x * y);
  } else {
    r = static_cast<__int128>(a.Kind == TNum::nkCur ? a.I : b.I) *
        (a.Kind == TNum::nkCur ? b.I : a.I);
  }
  if (FitsInt64(r)) return Variant::FromCurrency(static_cast<int64_t>(r));
  return Variant(Checked(static_cast<double>(r) / 10000));
}

Variant IntegerOp(TArithOp op, const TNum& a, const TNum& b) {
  const __int128 x = a.I, y = b.I;
  const __int128 r = op == TArithOp::Add ? x + y : op == TArithOp::Sub ? x - y : x * y;
  if (!a.Wide && !b.Wide && r >= INT32_MIN && r <= INT32_MAX)
    return Variant(static_cast<int>(r));
  if (FitsInt64(r)) return Variant(static_cast<long long>(r));
  return Variant(static_cast<double>(r));
}

Variant Concat(const Variant& a, TOpKind ka, const Variant& b, TOpKind kb) {
  if (ka == TOpKind::WStr || kb == TOpKind::WStr) {
    std::u16string r = a.AsWideString();
    r += kb == TOpKind::WStr ? b.WideStrRef() : b.AsWideString();
    return Variant(std::move(r));
  }
  const std::string& x = AnsiTextOf(a);
  const std::string& y = AnsiTextOf(b);
  std::string r;
  r.reserve(x.size() + y.size());
  r += x;
  r += y;
  return Variant(std::move(r));
}

Variant Arith(TArithOp op, const Variant& a, const Variant& b) {
  const TOpKind ka = KindOf(a), kb = KindOf(b);
  if (ka == TOpKind::Other) VarCastError(a.VType(), varDouble);
  if (kb == TOpKind::Other) VarCastError(b.VType(), varDouble);
  if (ka == TOpKind::Null || kb == TOpKind::Null) return Null();
  if (op == TArithOp::Add && (IsText(ka) || IsText(kb)) &&
      (IsText(ka) || ka == TOpKind::Empty) && (IsText(kb) || kb == TOpKind::Empty))
    return Concat(a, ka, b, kb);

  const TNum x = NumOf(a, ka), y = NumOf(b, kb);
  if (ka == TOpKind::Date || kb == TOpKind::Date) {
    const double r = DoubleOp(op, x.AsDouble(), y.AsDouble());
    const bool dateResult = op == TArithOp::Add ||
                            (op == TArithOp::Sub && !(ka == TOpKind::Date && kb == TOpKind::Date));
    return dateResult ? Variant::FromDate(r) : Variant(r);
  }
  if (op == TArithOp::Div || x.Kind == TNum::nkDbl || y.Kind == TNum::nkDbl)
    return Variant(DoubleOp(op, x.AsDouble(), y.AsDouble()));
  if (x.Kind == TNum::nkCur || y.Kind == TNum::nkCur) return CurrencyOp(op, x, y);
  return IntegerOp(op, x, y);
}

}  // namespace

int CompareDoubles(double a, double b) {
  if (a < b) return -1;
  if (a > b) return 1;
  if (a == b) return 0;
  return Sign(!std::isnan(a), !std::isnan(b));
}

int CompareIntDouble(int64_t i, double d) {
  constexpr double kTwoTo63 = 9223372036854775808.0;
  if (std::isnan(d)) return 1;
  if (d >= kTwoTo63) return -1;
  if (d < -kTwoTo63) return 1;
  const double whole = std::trunc(d);
  const int c = Sign(i, static_cast<int64_t>(whole));
  if (c != 0) return c;
  return Sign(whole, d);
}

int VarCompare(const Variant& a, const Variant& b) {
  const TOpKind ka = KindOf(a), kb = KindOf(b);
  if (ka == TOpKind::Other) VarCastError(a.VType(), b.VType());
  if (kb == TOpKind::Other) VarCastError(b.VType(), a.VType());
  if (ka == TOpKind::Null || kb == TOpKind::Null)
    return Sign(ka != TOpKind::Null, kb != TOpKind::Null);
  if (ka == TOpKind::Empty && kb == TOpKind::Empty) return 0;
  if (ka == TOpKind::Bool && kb == TOpKind::Bool) return Sign(a.AsBoolean(), b.AsBoolean());
  // Beside any other value a Boolean is the number 0 or 1 (not -1, as in
  // arithmetic: False must stay below True). Read as a Boolean instead, True
  // would equal both 1 and 2, and no order could hold over such a mix.
  if (ka == TOpKind::Bool || kb == TOpKind::Bool)
    return CompareNums(CompareNum(a, ka), CompareNum(b, kb));
  if ((IsText(ka) || ka == TOpKind::Empty) && (IsText(kb) || kb == TOpKind::Empty))
    return CompareTexts(a, ka, b, kb);
  if ((ka == TOpKind::Date && IsText(kb)) || (IsText(ka) && kb == TOpKind::Date))
    return CompareDoubles(a.AsDateTime(), b.AsDateTime());
  return CompareNums(NumOf(a, ka), NumOf(b, kb));
}

bool VarEquals(const Variant& a, const Variant& b) {
  if (a.VType() == varString && b.VType() == varString) return a.StrRef() == b.StrRef();
  return VarCompare(a, b) == 0;
}

Variant VarAdd(const Variant& a, const Variant& b) {
  return Arith(TArithOp::Add, a, b);
}

Variant VarSub(const Variant& a, const Variant& b) {
  return Arith(TArithOp::Sub, a, b);
}

Variant VarMul(const Variant& a, const Variant& b) {
  return Arith(TArithOp::Mul, a, b);
}

Variant VarDiv(const Variant& a, const Variant& b) {
  return Arith(TArithOp::Div, a, b);
}

Variant VarAnd(const Variant& a, const Variant& b) {
  if (a.IsNull() || b.IsNull()) return Null();
  const bool x = a.AsBoolean(), y = b.AsBoolean();
  return Variant(x && y);
}

Variant VarOr(const Variant& a, const Variant& b) {
  if (a.IsNull() || b.IsNull()) return Null();
  const bool x = a.AsBoolean(), y = b.AsBoolean();
  return Variant(x || y);
}

Variant VarNot(const Variant& a) {
  if (a.IsNull()) return Null();
  return Variant(!a.AsBoolean());
}

}  // namespace host
