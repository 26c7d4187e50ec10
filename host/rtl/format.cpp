#include "host/rtl/format.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "host/rtl/exceptions.h"

namespace host {
namespace {

[[noreturn]] void InvalidFormat(std::string_view fmt) {
  throw EConvertError("Format '" + std::string(fmt) + "' invalid or incompatible with argument");
}

[[noreturn]] void NoArgument(std::string_view fmt) {
  throw EConvertError("No argument for format '" + std::string(fmt) + "'");
}

bool IsIntegral(const TVarRec& a) {
  return a.VType == TVarRec::vtInteger || a.VType == TVarRec::vtInt64;
}

bool IsFloating(const TVarRec& a) {
  return a.VType == TVarRec::vtExtended || a.VType == TVarRec::vtCurrency;
}

double FloatOf(const TVarRec& a) {
  return a.VType == TVarRec::vtCurrency ? static_cast<double>(a.VInt) / 10000.0 : a.VExtended;
}

// The decimal digits of v rounded to `prec` significant digits and the
// position of the decimal point relative to them (1 for 1.x, 0 for 0.x).
void DecimalDigits(double v, int prec, std::string& digits, int& point) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*e", prec - 1, std::fabs(v));
  digits.clear();
  const char* p = buf;
  for (; *p && *p != 'e'; ++p)
    if (*p >= '0' && *p <= '9') digits += *p;
  point = (*p == 'e') ? std::atoi(p + 1) + 1 : 1;
}

std::string SpecialFloat(double v) {
  if (std::isnan(v)) return "NAN";
  return v < 0 ? "-INF" : "INF";
}

std::string Fixed(double v, int decimals, bool thousands) {
  if (!std::isfinite(v)) return SpecialFloat(v);
  if (decimals > 18) decimals = 18;
  char buf[400];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  std::string s = buf;
  bool neg = !s.empty() && s[0] == '-';
  if (neg) s.erase(0, 1);
  if (thousands) {
    size_t dot = s.find('.');
    size_t intLen = dot == std::string::npos ? s.size() : dot;
    std::string out;
    for (size_t i = 0; i < intLen; ++i) {
      if (i > 0 && (intLen - i) % 3 == 0) out += ',';
      out += s[i];
    }
    out += s.substr(intLen);
    s = out;
  }
  // A value that rounds to zero prints without its sign, as the library does.
  bool allZero = s.find_first_not_of("0.,") == std::string::npos;
  return (neg && !allZero) ? "-" + s : s;
}

std::string Exponent(double v, int prec) {
  if (!std::isfinite(v)) return SpecialFloat(v);
  if (prec < 1) prec = 1;
  if (prec > 18) prec = 18;
  std::string digits;
  int point;
  DecimalDigits(v, prec, digits, point);
  std::string s = v < 0 ? "-" : "";
  s += digits[0];
  if (prec > 1) s += "." + digits.substr(1);
  int e = v == 0 ? 0 : point - 1;
  char eb[16];
  std::snprintf(eb, sizeof eb, "E%c%03d", e < 0 ? '-' : '+', e < 0 ? -e : e);
  return s + eb;
}

std::string General(double v, int prec, int expDigits) {
  if (!std::isfinite(v)) return SpecialFloat(v);
  if (prec < 1 || prec > 18) prec = 15;
  if (v == 0) return "0";
  std::string digits;
  int point;
  DecimalDigits(v, prec, digits, point);
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  std::string s = v < 0 ? "-" : "";
  if (point > prec || point < -4) {
    s += digits[0];
    if (digits.size() > 1) s += "." + digits.substr(1);
    int e = point - 1;
    std::string ed = std::to_string(e < 0 ? -e : e);
    while (static_cast<int>(ed.size()) < expDigits) ed = "0" + ed;
    return s + "E" + (e < 0 ? "-" : "") + ed;
  }
  if (point <= 0) {
    s += "0." + std::string(static_cast<size_t>(-point), '0') + digits;
  } else if (static_cast<int>(digits.size()) <= point) {
    s += digits + std::string(static_cast<size_t>(point) - digits.size(), '0');
  } else {
    s += digits.substr(0, static_cast<size_t>(point)) + "." + digits.substr(static_cast<size_t>(point));
  }
  return s;
}

std::string Money(double v, int decimals) {
  if (!std::isfinite(v)) return SpecialFloat(v);
  std::string n = Fixed(std::fabs(v), decimals, true);
  return v < 0 && n.find_first_not_of("0.,") != std::string::npos ? "($" + n + ")" : "$" + n;
}

std::string Integer(const TVarRec& a, char type, int prec) {
  bool neg = false;
  uint64_t mag;
  if (type == 'x' || type == 'u') {
    // Hex and unsigned see a 32-bit argument's bits as unsigned, as the library does.
    mag = a.VType == TVarRec::vtInteger ? static_cast<uint32_t>(a.VInt) : static_cast<uint64_t>(a.VInt);
  } else {
    neg = a.VInt < 0;
    mag = neg ? 0 - static_cast<uint64_t>(a.VInt) : static_cast<uint64_t>(a.VInt);
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, type == 'x' ? "%llX" : "%llu", static_cast<unsigned long long>(mag));
  std::string s = buf;
  if (prec > static_cast<int>(s.size())) s.insert(0, static_cast<size_t>(prec) - s.size(), '0');
  return neg ? "-" + s : s;
}

}  // namespace

std::string Format(std::string_view fmt, std::initializer_list<TVarRec> args) {
  return Format(fmt, std::vector<TVarRec>(args));
}

std::string Format(std::string_view fmt, const std::vector<TVarRec>& args) {
  std::string out;
  out.reserve(fmt.size() + 16 * args.size());
  size_t next = 0;  // the next argument, unless an index names another
  size_t i = 0;
  const size_t n = fmt.size();
  auto takeArg = [&]() -> const TVarRec& {
    if (next >= args.size()) NoArgument(fmt);
    return args[next++];
  };
  // Reads a number or '*' at i; -1 when there is neither.
  auto readNumber = [&]() -> int {
    if (i < n && fmt[i] == '*') {
      ++i;
      const TVarRec& a = takeArg();
      if (a.VType != TVarRec::vtInteger) InvalidFormat(fmt);
      return static_cast<int>(a.VInt);
    }
    if (i >= n || fmt[i] < '0' || fmt[i] > '9') return -1;
    long v = 0;
    while (i < n && fmt[i] >= '0' && fmt[i] <= '9') {
      v = v * 10 + (fmt[i] - '0');
      if (v > 1000000) InvalidFormat(fmt);
      ++i;
    }
    return static_cast<int>(v);
  };
  while (i < n) {
    char c = fmt[i];
    if (c != '%') {
      size_t pct = fmt.find('%', i);
      if (pct == std::string_view::npos) pct = n;
      out.append(fmt.substr(i, pct - i));
      i = pct;
      continue;
    }
    ++i;
    if (i >= n) InvalidFormat(fmt);
    if (fmt[i] == '%') {
      out += '%';
      ++i;
      continue;
    }
    // [index ":"]
    int num = readNumber();
    if (i < n && fmt[i] == ':') {
      if (num < 0) num = 0;
      next = static_cast<size_t>(num);
      ++i;
      num = -1;
    }
    bool left = false;
    if (num < 0 && i < n && fmt[i] == '-') {
      left = true;
      ++i;
    }
    int width = num >= 0 ? num : readNumber();
    int prec = -1;
    if (i < n && fmt[i] == '.') {
      ++i;
      prec = readNumber();
      if (prec < 0) prec = 0;
    }
    if (i >= n) InvalidFormat(fmt);
    char type = static_cast<char>(fmt[i] | 0x20);
    ++i;
    const TVarRec& a = takeArg();
    std::string s;
    switch (type) {
      case 'd':
      case 'u':
      case 'x':
        if (!IsIntegral(a)) InvalidFormat(fmt);
        s = Integer(a, type, prec);
        break;
      case 'e':
        if (!IsFloating(a)) InvalidFormat(fmt);
        s = Exponent(FloatOf(a), prec < 0 ? 15 : prec);
        break;
      case 'f':
        if (!IsFloating(a)) InvalidFormat(fmt);
        s = Fixed(FloatOf(a), prec < 0 ? 2 : prec, false);
        break;
      case 'g':
        if (!IsFloating(a)) InvalidFormat(fmt);
        s = General(FloatOf(a), prec < 0 ? 15 : prec, 3);
        break;
      case 'n':
        if (!IsFloating(a)) InvalidFormat(fmt);
        s = Fixed(FloatOf(a), prec < 0 ? 2 : prec, true);
        break;
      case 'm':
        if (!IsFloating(a)) InvalidFormat(fmt);
        s = Money(FloatOf(a), prec < 0 ? 2 : prec);
        break;
      case 'p': {
        if (a.VType != TVarRec::vtPointer) InvalidFormat(fmt);
        char buf[32];
        std::snprintf(buf, sizeof buf, "%08llX",
                      static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(a.VPointer)));
        s = buf;
        break;
      }
      case 's':
        if (a.VType == TVarRec::vtString) {
          s.assign(a.VString);
        } else if (a.VType == TVarRec::vtChar) {
          s.assign(1, static_cast<char>(a.VInt));
        } else {
          InvalidFormat(fmt);
        }
        if (prec >= 0 && static_cast<int>(s.size()) > prec) s.resize(static_cast<size_t>(prec));
        break;
      default:
        InvalidFormat(fmt);
    }
    if (width > static_cast<int>(s.size())) {
      std::string pad(static_cast<size_t>(width) - s.size(), ' ');
      s = left ? s + pad : pad + s;
    }
    out += s;
  }
  return out;
}

}  // namespace host
