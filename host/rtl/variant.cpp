#include "host/rtl/variant.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include "host/rtl/date_time.h"
#include "host/rtl/sys_utils.h"

namespace host {

namespace {

// ---------------------------------------------------------------------------
// Windows-1252 <-> UTF-16. Bytes 0x80..0x9F are the code page's own letters and
// signs; the five it leaves undefined map to the control character of the same
// number, both ways, as the host's code-page conversion does.

constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

std::u16string AnsiToWide(std::string_view s) {
  std::u16string r;
  r.reserve(s.size());
  for (char c : s) {
    auto b = static_cast<unsigned char>(c);
    r.push_back(b >= 0x80 && b < 0xA0 ? kCp1252High[b - 0x80] : static_cast<char16_t>(b));
  }
  return r;
}

std::string WideToAnsi(std::u16string_view s) {
  std::string r;
  r.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    char16_t c = s[i];
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
      r.push_back(static_cast<char>(c));
      continue;
    }
    char mapped = '?';
    for (int k = 0; k < 32; ++k)
      if (kCp1252High[k] == c) mapped = static_cast<char>(0x80 + k);
    // A surrogate pair is one character outside the code page: one '?'.
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF)
      ++i;
    r.push_back(mapped);
  }
  return r;
}

// ---------------------------------------------------------------------------
// Numbers in text: blanks around, a sign, digits with an optional '.'
// fraction, an optional exponent. Kept as exact decimal digits so that
// rounding to an integer or to currency is decided on the text itself, not on
// a binary approximation of it.

struct TDecimalText {
  bool Negative = false;
  std::string Digits;    // significant digits, no leading or trailing zeros; empty = 0
  int64_t Exponent = 0;  // value = Digits * 10^Exponent
};

bool ParseDecimalText(std::string_view s, TDecimalText& out) {
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  size_t i = 0, n = s.size();
  while (i < n && blank(s[i])) ++i;
  while (n > i && blank(s[n - 1])) --n;
  out = TDecimalText();
  if (i < n && (s[i] == '+' || s[i] == '-')) out.Negative = s[i++] == '-';
  bool anyDigit = false, inFraction = false;
  int64_t fractionDigits = 0;
  for (; i < n; ++i) {
    char c = s[i];
    if (c >= '0' && c <= '9') {
      anyDigit = true;
      if (!(out.Digits.empty() && c == '0')) out.Digits.push_back(c);
      if (inFraction) ++fractionDigits;
    } else if (c == '.' && !inFraction) {
      inFraction = true;
    } else {
      break;
    }
  }
  if (!anyDigit) return false;
  int64_t exponent = 0;
  if (i < n && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    bool negExp = false;
    if (i < n && (s[i] == '+' || s[i] == '-')) negExp = s[i++] == '-';
    if (i >= n) return false;
    for (; i < n && s[i] >= '0' && s[i] <= '9'; ++i)
      if (exponent < 1000000000) exponent = exponent * 10 + (s[i] - '0');  // saturates
    if (negExp) exponent = -exponent;
  }
  if (i != n) return false;
  out.Exponent = exponent - fractionDigits;
  while (!out.Digits.empty() && out.Digits.back() == '0') {
    out.Digits.pop_back();
    ++out.Exponent;
  }
  if (out.Digits.empty()) out.Exponent = 0;
  return true;
}

// value * 10^scale rounded half to even into `out`; false when it does not fit
// a signed 64-bit integer.
bool RoundDecimalText(const TDecimalText& d, int scale, int64_t& out) {
  out = 0;
  if (d.Digits.empty()) return true;
  const int64_t len = static_cast<int64_t>(d.Digits.size());
  const int64_t e = d.Exponent + scale;
  const int64_t intLen = len + e;  // digits before the decimal point
  if (intLen > 19) return false;
  uint64_t mag = 0;
  for (int64_t k = 0; k < intLen; ++k) {
    unsigned digit = k < len ? static_cast<unsigned>(d.Digits[static_cast<size_t>(k)] - '0') : 0;
    if (mag > (std::numeric_limits<uint64_t>::max() - digit) / 10) return false;
    mag = mag * 10 + digit;
  }
  if (intLen >= 0 && intLen < len) {
    // Digits has no trailing zeros, so anything after the first dropped digit
    // is non-zero.
    char first = d.Digits[static_cast<size_t>(intLen)];
    bool more = intLen + 1 < len;
    if (first > '5' || (first == '5' && (more || (mag & 1) != 0))) {
      if (mag == std::numeric_limits<uint64_t>::max()) return false;
      ++mag;
    }
  }
  constexpr uint64_t kMaxPos = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  if (d.Negative) {
    if (mag > kMaxPos + 1) return false;
    out = mag == kMaxPos + 1 ? std::numeric_limits<int64_t>::min() : -static_cast<int64_t>(mag);
  } else {
    if (mag > kMaxPos) return false;
    out = static_cast<int64_t>(mag);
  }
  return true;
}

// The nearest double; false when the magnitude is too large for one.
bool DecimalTextToDouble(const TDecimalText& d, double& out) {
  out = 0;
  if (d.Digits.empty()) return true;
  std::string text = (d.Negative ? "-" : "") + d.Digits + "e" + std::to_string(d.Exponent);
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  (void)ptr;
  if (ec == std::errc::result_out_of_range) {
    // Too small for a double reads as zero; too large is an overflow.
    if (static_cast<int64_t>(d.Digits.size()) + d.Exponent > 0) return false;
    out = d.Negative ? -0.0 : 0.0;
    return true;
  }
  return ec == std::errc() && std::isfinite(out);
}

// Every digit of a currency value, without trailing fraction zeros.
std::string CurrToStrGeneral(int64_t scaled) {
  uint64_t mag = scaled < 0 ? 0 - static_cast<uint64_t>(scaled) : static_cast<uint64_t>(scaled);
  std::string r = (scaled < 0 ? "-" : "") + std::to_string(mag / 10000);
  std::string frac = std::to_string(mag % 10000 + 10000).substr(1);
  while (!frac.empty() && frac.back() == '0') frac.pop_back();
  if (!frac.empty()) r += "." + frac;
  return r;
}

// The dates of years 1 to 9999, as TDateTime values; the text form has no
// room for others.
bool InDateRange(double v) {
  return v >= -693593.0 && v < 2958466.0;
}

std::string ConvertMessage(const char* what, TVarType from, TVarType to) {
  return std::string(what) + " variant of type (" + VarTypeAsText(from) + ") into type (" +
         VarTypeAsText(to) + ")";
}

constexpr double kTwoTo63 = 9223372036854775808.0;

}  // namespace

// ---------------------------------------------------------------------------

struct Variant::TVarArray {
  int LowBound = 0;
  std::vector<Variant> Items;
};

void Variant::TVarArrayDeleter::operator()(TVarArray* a) const noexcept {
  delete a;
}

Variant::Variant(const Variant& other)
    : vtype_(other.vtype_),
      int_(other.int_),
      dbl_(other.dbl_),
      bool_(other.bool_),
      str_(other.str_),
      wstr_(other.wstr_),
      array_(other.array_ ? new TVarArray(*other.array_) : nullptr) {}

Variant::Variant(Variant&& other) noexcept
    : vtype_(other.vtype_),
      int_(other.int_),
      dbl_(other.dbl_),
      bool_(other.bool_),
      str_(std::move(other.str_)),
      wstr_(std::move(other.wstr_)),
      array_(std::move(other.array_)) {
  other.vtype_ = varEmpty;  // a moved-from Variant is Unassigned, never a hollow array
}

Variant& Variant::operator=(const Variant& other) {
  if (this != &other) {
    Variant copy(other);
    *this = std::move(copy);
  }
  return *this;
}

Variant& Variant::operator=(Variant&& other) noexcept {
  if (this != &other) {
    vtype_ = other.vtype_;
    int_ = other.int_;
    dbl_ = other.dbl_;
    bool_ = other.bool_;
    str_ = std::move(other.str_);
    wstr_ = std::move(other.wstr_);
    array_ = std::move(other.array_);
    other.vtype_ = varEmpty;
  }
  return *this;
}

Variant::~Variant() = default;

Variant Variant::FromCurrency(int64_t scaled) {
  Variant v;
  v.vtype_ = varCurrency;
  v.int_ = scaled;
  return v;
}

Variant Variant::FromDate(double dateTime) {
  Variant v;
  v.vtype_ = varDate;
  v.dbl_ = dateTime;
  return v;
}

void VarCastError(TVarType from, TVarType to) {
  throw EVariantTypeCastError(ConvertMessage("Could not convert", from, to));
}

void Variant::CastError(TVarType to) const {
  VarCastError(vtype_, to);
}

void Variant::OverflowError(TVarType to) const {
  throw EVariantOverflowError(ConvertMessage("Overflow while converting", vtype_, to));
}

int64_t Variant::ToIntegral(TVarType to, int64_t lo, int64_t hi) const {
  int64_t r = 0;
  switch (vtype_) {
    case varEmpty:
      return 0;
    case varSmallint:
    case varInteger:
    case varInt64:
      r = int_;
      break;
    case varBoolean:
      r = bool_ ? -1 : 0;
      break;
    case varDouble:
    case varDate: {
      double x = std::nearbyint(dbl_);  // halves to even
      if (!(x >= -kTwoTo63 && x < kTwoTo63)) OverflowError(to);
      r = static_cast<int64_t>(x);
      break;
    }
    case varCurrency: {
      int64_t q = int_ / 10000, rem = int_ % 10000;
      if (rem > 5000 || (rem == 5000 && (q & 1) != 0)) ++q;
      if (rem < -5000 || (rem == -5000 && (q & 1) != 0)) --q;
      r = q;
      break;
    }
    case varString:
    case varOleStr: {
      TDecimalText d;
      if (!ParseDecimalText(vtype_ == varString ? str_ : WideToAnsi(wstr_), d)) CastError(to);
      if (!RoundDecimalText(d, 0, r)) OverflowError(to);
      break;
    }
    default:
      CastError(to);
  }
  if (r < lo || r > hi) OverflowError(to);
  return r;
}

int16_t Variant::AsSmallint() const {
  return static_cast<int16_t>(ToIntegral(varSmallint, INT16_MIN, INT16_MAX));
}

int32_t Variant::AsInteger() const {
  return static_cast<int32_t>(ToIntegral(varInteger, INT32_MIN, INT32_MAX));
}

int64_t Variant::AsInt64() const {
  return ToIntegral(varInt64, INT64_MIN, INT64_MAX);
}

double Variant::AsDouble() const {
  switch (vtype_) {
    case varEmpty:
      return 0;
    case varSmallint:
    case varInteger:
    case varInt64:
      return static_cast<double>(int_);
    case varBoolean:
      return bool_ ? -1 : 0;
    case varDouble:
    case varDate:
      return dbl_;
    case varCurrency:
      return static_cast<double>(int_) / 10000;
    case varString:
    case varOleStr: {
      TDecimalText d;
      double r;
      if (!ParseDecimalText(vtype_ == varString ? str_ : WideToAnsi(wstr_), d))
        CastError(varDouble);
      if (!DecimalTextToDouble(d, r)) OverflowError(varDouble);
      return r;
    }
    default:
      CastError(varDouble);
  }
}

int64_t Variant::AsCurrency() const {
  constexpr int64_t kMaxUnits = INT64_MAX / 10000;
  switch (vtype_) {
    case varEmpty:
      return 0;
    case varSmallint:
    case varInteger:
    case varInt64:
      if (int_ > kMaxUnits || int_ < -kMaxUnits) OverflowError(varCurrency);
      return int_ * 10000;
    case varBoolean:
      return bool_ ? -10000 : 0;
    case varDouble:
    case varDate: {
      double x = std::nearbyint(dbl_ * 10000);
      if (!(x >= -kTwoTo63 && x < kTwoTo63)) OverflowError(varCurrency);
      return static_cast<int64_t>(x);
    }
    case varCurrency:
      return int_;
    case varString:
    case varOleStr: {
      TDecimalText d;
      int64_t r;
      if (!ParseDecimalText(vtype_ == varString ? str_ : WideToAnsi(wstr_), d))
        CastError(varCurrency);
      if (!RoundDecimalText(d, 4, r)) OverflowError(varCurrency);
      return r;
    }
    default:
      CastError(varCurrency);
  }
}

double Variant::AsDateTime() const {
  switch (vtype_) {
    case varString:
    case varOleStr:
      try {
        return StrToDateTime(vtype_ == varString ? str_ : WideToAnsi(wstr_));
      } catch (const EConvertError&) {
        CastError(varDate);
      }
    case varNull:
      CastError(varDate);
    default:
      if (IsArray()) CastError(varDate);
      return AsDouble();
  }
}

bool Variant::AsBoolean() const {
  switch (vtype_) {
    case varEmpty:
      return false;
    case varSmallint:
    case varInteger:
    case varInt64:
    case varCurrency:
      return int_ != 0;
    case varBoolean:
      return bool_;
    case varDouble:
    case varDate:
      return dbl_ != 0;
    case varString:
    case varOleStr: {
      std::string s = vtype_ == varString ? str_ : WideToAnsi(wstr_);
      if (SameText(s, "True")) return true;
      if (SameText(s, "False")) return false;
      TDecimalText d;
      if (!ParseDecimalText(s, d)) CastError(varBoolean);
      return !d.Digits.empty();
    }
    default:
      CastError(varBoolean);
  }
}

std::string Variant::AsString() const {
  switch (vtype_) {
    case varEmpty:
      return std::string();
    case varSmallint:
    case varInteger:
    case varInt64:
      return std::to_string(int_);
    case varBoolean:
      return bool_ ? "True" : "False";
    case varDouble:
      return FloatToStr(dbl_);
    case varCurrency:
      return CurrToStrGeneral(int_);
    case varDate:
      if (!InDateRange(dbl_)) OverflowError(varString);
      return DateTimeToStr(dbl_);
    case varString:
      return str_;
    case varOleStr:
      return WideToAnsi(wstr_);
    default:
      CastError(varString);
  }
}

std::u16string Variant::AsWideString() const {
  if (vtype_ == varOleStr) return wstr_;
  if (vtype_ == varNull || IsArray()) CastError(varOleStr);
  return AnsiToWide(AsString());
}

const Variant::TVarArray& Variant::ArrayRef() const {
  if (!IsArray() || !array_) throw EVariantNotAnArrayError("Variant is not an array");
  return *array_;
}

const Variant& Variant::Element(int index) const {
  const TVarArray& a = ArrayRef();
  int64_t k = static_cast<int64_t>(index) - a.LowBound;
  if (k < 0 || k >= static_cast<int64_t>(a.Items.size()))
    throw EVariantBadIndexError("Variant or safe array index out of bounds");
  return a.Items[static_cast<size_t>(k)];
}

void Variant::PutElement(int index, const Variant& value) {
  Variant copy(value);  // `value` may be an element of this very array
  const_cast<Variant&>(Element(index)) = std::move(copy);
}

int Variant::LowBound() const {
  return ArrayRef().LowBound;
}

int Variant::HighBound() const {
  const TVarArray& a = ArrayRef();
  return static_cast<int>(a.LowBound + static_cast<int64_t>(a.Items.size()) - 1);
}

// ---------------------------------------------------------------------------

Variant Unassigned() {
  return Variant();
}

Variant Null() {
  Variant v;
  v.vtype_ = varNull;
  return v;
}

bool VarIsStr(const Variant& v) {
  return v.VType() == varString || v.VType() == varOleStr;
}

bool VarIsNumeric(const Variant& v) {
  switch (v.VType()) {
    case varSmallint:
    case varInteger:
    case varInt64:
    case varBoolean:
    case varDouble:
    case varCurrency:
      return true;
    default:
      return false;
  }
}

std::string VarTypeAsText(TVarType varType) {
  static const char* const kNames[] = {
      "Empty",   "Null",   "Smallint", "Integer", "Single",  "Double",   "Currency",
      "Date",    "OleStr", "Dispatch", "Error",   "Boolean", "Variant",  "Unknown",
      "Decimal", "$0F",    "ShortInt", "Byte",    "Word",    "LongWord", "Int64"};
  TVarType base = varType & varTypeMask;
  std::string name;
  if (base < sizeof kNames / sizeof kNames[0]) {
    name = kNames[base];
  } else if (base == varString) {
    name = "String";
  } else if (base == 0x0101) {
    name = "Any";
  } else {
    char buf[8];
    std::snprintf(buf, sizeof buf, "$%04X", static_cast<unsigned>(base));
    name = buf;
  }
  return (varType & varArray) ? "Array " + name : name;
}

Variant VarAsType(const Variant& v, TVarType varType) {
  if (varType == v.VType()) return v;
  switch (varType) {
    case varEmpty:
      return Variant();
    case varNull:
      return Null();
    default:
      break;
  }
  switch (varType) {
    case varSmallint:
      return Variant(static_cast<short>(v.AsSmallint()));
    case varInteger:
      return Variant(static_cast<int>(v.AsInteger()));
    case varInt64:
      return Variant(static_cast<long long>(v.AsInt64()));
    case varDouble:
      return Variant(v.AsDouble());
    case varCurrency:
      return Variant::FromCurrency(v.AsCurrency());
    case varDate:
      return Variant::FromDate(v.AsDateTime());
    case varBoolean:
      return Variant(v.AsBoolean());
    case varString:
      return Variant(v.AsString());
    case varOleStr:
      return Variant(v.AsWideString());
    default:
      VarCastError(v.VType(), varType);
  }
}

std::string VarToStr(const Variant& v) {
  return v.IsNull() ? std::string() : v.AsString();
}

std::u16string VarToWideStr(const Variant& v) {
  return v.IsNull() ? std::u16string() : v.AsWideString();
}

Variant VarArrayCreate(int lowBound, int highBound, TVarType varType) {
  int64_t count = static_cast<int64_t>(highBound) - lowBound + 1;
  if (varType != varVariant || count < 0)
    throw EVariantArrayCreateError("Error creating variant or safe array");
  Variant v;
  v.vtype_ = varArray | varVariant;
  v.array_.reset(new Variant::TVarArray());
  v.array_->LowBound = lowBound;
  v.array_->Items.resize(static_cast<size_t>(count));
  return v;
}

Variant VarArrayOf(const std::vector<Variant>& values) {
  Variant v;
  v.vtype_ = varArray | varVariant;
  v.array_.reset(new Variant::TVarArray());
  v.array_->Items = values;
  return v;
}

int VarArrayDimCount(const Variant& v) {
  return v.IsArray() ? 1 : 0;
}

int VarArrayLowBound(const Variant& v, int dim) {
  int low = v.LowBound();
  if (dim != 1) throw EVariantBadIndexError("Variant or safe array index out of bounds");
  return low;
}

int VarArrayHighBound(const Variant& v, int dim) {
  int high = v.HighBound();
  if (dim != 1) throw EVariantBadIndexError("Variant or safe array index out of bounds");
  return high;
}

}  // namespace host
