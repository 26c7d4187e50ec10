#include "host/rtl/sys_utils.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <limits>
#include <type_traits>

#include "host/rtl/exceptions.h"
#include "os/ansi_case.h"
#include "os/win_path.h"

namespace host {

namespace {

// The Windows-1252 case tables live in the os layer, which matches file and
// key names through the same ones.
const os::TAnsiCaseTable& kUpper = os::kAnsiUpper;
const os::TAnsiCaseTable& kLower = os::kAnsiLower;

inline unsigned char U8(char c) { return static_cast<unsigned char>(c); }

inline unsigned char AsciiUpper(unsigned char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 32) : c;
}

inline bool IsPathDelimiter(char c) { return c == '/' || c == '\\'; }

// Position of the last '.' or path delimiter (when withDot), or of the last
// path delimiter; npos when there is none.
size_t LastDelimiter(std::string_view s, bool withDot) {
  for (size_t i = s.size(); i-- > 0;) {
    if (IsPathDelimiter(s[i]) || (withDot && s[i] == '.')) return i;
  }
  return std::string_view::npos;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string_view TrimBlanks(std::string_view s) {
  size_t i = 0, n = s.size();
  while (i < n && s[i] == ' ') ++i;
  while (n > i && s[n - 1] == ' ') --n;
  return s.substr(i, n - i);
}

// The integer text rules shared by the 32- and 64-bit conversions. Decimal
// text is range checked against T; hex text may fill all bits of T and is then
// taken as two's complement, so "$FFFFFFFF" reads as -1 into 32 bits.
template <class T>
bool ParseInteger(std::string_view text, T& out) {
  using U = std::make_unsigned_t<T>;
  std::string_view s = TrimBlanks(text);
  size_t i = 0;
  const size_t n = s.size();
  if (n == 0) return false;
  bool negative = false;
  if (s[i] == '+' || s[i] == '-') {
    negative = s[i] == '-';
    ++i;
  }
  bool hex = false;
  if (i < n && s[i] == '$') {
    hex = true;
    ++i;
  } else if (i + 1 < n && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i == n) return false;
  U v = 0;
  if (hex) {
    for (; i < n; ++i) {
      int d = HexDigit(s[i]);
      if (d < 0 || v > (std::numeric_limits<U>::max() >> 4)) return false;
      v = static_cast<U>((v << 4) | static_cast<U>(d));
    }
  } else {
    const U limit = static_cast<U>(std::numeric_limits<T>::max()) + (negative ? 1 : 0);
    for (; i < n; ++i) {
      if (s[i] < '0' || s[i] > '9') return false;
      U d = static_cast<U>(s[i] - '0');
      if (v > (limit - d) / 10) return false;
      v = static_cast<U>(v * 10 + d);
    }
  }
  if (negative) v = static_cast<U>(U(0) - v);
  out = static_cast<T>(v);
  return true;
}

[[noreturn]] void InvalidInteger(std::string_view s) {
  throw EConvertError("'" + std::string(s) + "' is not a valid integer value");
}

template <class T>
std::string ToHex(T value, int digits) {
  using U = std::make_unsigned_t<T>;
  U v = static_cast<U>(value);
  char buf[40];
  int len = 0;
  do {
    buf[len++] = "0123456789ABCDEF"[v & 0xF];
    v = static_cast<U>(v >> 4);
  } while (v != 0);
  if (digits > 32) digits = 32;
  std::string r;
  if (digits > len) r.assign(static_cast<size_t>(digits - len), '0');
  while (len > 0) r += buf[--len];
  return r;
}

}  // namespace

// ---- case mapping ----

char AnsiUpperChar(char c) { return static_cast<char>(kUpper[U8(c)]); }
char AnsiLowerChar(char c) { return static_cast<char>(kLower[U8(c)]); }

std::string UpperCase(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = static_cast<char>(AsciiUpper(U8(c)));
  return r;
}

std::string LowerCase(std::string_view s) {
  std::string r(s);
  for (char& c : r)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return r;
}

std::string AnsiUpperCase(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = AnsiUpperChar(c);
  return r;
}

std::string AnsiLowerCase(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = AnsiLowerChar(c);
  return r;
}

// ---- comparison ----

int CompareStr(std::string_view s1, std::string_view s2) {
  const size_t n = std::min(s1.size(), s2.size());
  for (size_t i = 0; i < n; ++i) {
    if (s1[i] != s2[i]) return int(U8(s1[i])) - int(U8(s2[i]));
  }
  return static_cast<int>(static_cast<int64_t>(s1.size()) - static_cast<int64_t>(s2.size()));
}

int CompareText(std::string_view s1, std::string_view s2) {
  const size_t n = std::min(s1.size(), s2.size());
  for (size_t i = 0; i < n; ++i) {
    unsigned char a = AsciiUpper(U8(s1[i])), b = AsciiUpper(U8(s2[i]));
    if (a != b) return int(a) - int(b);
  }
  return static_cast<int>(static_cast<int64_t>(s1.size()) - static_cast<int64_t>(s2.size()));
}

bool SameText(std::string_view s1, std::string_view s2) {
  return s1.size() == s2.size() && CompareText(s1, s2) == 0;
}

int AnsiCompareText(std::string_view s1, std::string_view s2) {
  const size_t n = std::min(s1.size(), s2.size());
  for (size_t i = 0; i < n; ++i) {
    unsigned char a = kUpper[U8(s1[i])], b = kUpper[U8(s2[i])];
    if (a != b) return a < b ? -1 : 1;
  }
  if (s1.size() == s2.size()) return 0;
  return s1.size() < s2.size() ? -1 : 1;
}

bool AnsiSameText(std::string_view s1, std::string_view s2) {
  return s1.size() == s2.size() && AnsiCompareText(s1, s2) == 0;
}

// ---- trimming and replacing ----

std::string_view TrimmedView(std::string_view s) {
  size_t i = 0, n = s.size();
  while (i < n && U8(s[i]) <= ' ') ++i;
  while (n > i && U8(s[n - 1]) <= ' ') --n;
  return s.substr(i, n - i);
}

std::string Trim(std::string_view s) { return std::string(TrimmedView(s)); }

std::string TrimLeft(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && U8(s[i]) <= ' ') ++i;
  return std::string(s.substr(i));
}

std::string TrimRight(std::string_view s) {
  size_t n = s.size();
  while (n > 0 && U8(s[n - 1]) <= ' ') --n;
  return std::string(s.substr(0, n));
}

std::string StringReplace(std::string_view s, std::string_view oldPattern,
                          std::string_view newPattern, TReplaceFlags flags) {
  if (oldPattern.empty()) return std::string(s);
  // Case folding keeps every length, so positions found in the folded copy
  // are positions in s.
  std::string foldedS, foldedPattern;
  std::string_view search = s, pattern = oldPattern;
  if (flags & rfIgnoreCase) {
    foldedS = AnsiUpperCase(s);
    foldedPattern = AnsiUpperCase(oldPattern);
    search = foldedS;
    pattern = foldedPattern;
  }
  std::string result;
  size_t pos = 0;
  while (pos < s.size()) {
    size_t found = search.find(pattern, pos);
    if (found == std::string_view::npos) break;
    result.append(s.substr(pos, found - pos));
    result.append(newPattern);
    pos = found + pattern.size();
    if (!(flags & rfReplaceAll)) break;
  }
  if (pos < s.size()) result.append(s.substr(pos));
  return result;
}

// ---- integers ----

std::string IntToStr(int32_t value) { return std::to_string(value); }
std::string IntToStr(int64_t value) { return std::to_string(value); }

std::string IntToHex(int32_t value, int digits) { return ToHex(value, digits); }
std::string IntToHex(int64_t value, int digits) { return ToHex(value, digits); }

bool TryStrToInt(std::string_view s, int32_t& value) { return ParseInteger(s, value); }
bool TryStrToInt64(std::string_view s, int64_t& value) { return ParseInteger(s, value); }

int32_t StrToInt(std::string_view s) {
  int32_t v;
  if (!ParseInteger(s, v)) InvalidInteger(s);
  return v;
}

int64_t StrToInt64(std::string_view s) {
  int64_t v;
  if (!ParseInteger(s, v)) InvalidInteger(s);
  return v;
}

int32_t StrToIntDef(std::string_view s, int32_t defaultValue) {
  int32_t v;
  return ParseInteger(s, v) ? v : defaultValue;
}

// ---- floating point ----

bool TryStrToFloat(std::string_view text, double& value) {
  std::string_view s = TrimBlanks(text);
  size_t i = 0;
  const size_t n = s.size();
  bool negative = false;
  if (i < n && (s[i] == '+' || s[i] == '-')) {
    negative = s[i] == '-';
    ++i;
  }
  const size_t numberStart = i;
  // Decimal position of the first significant digit, to tell an overflow
  // from an underflow when the conversion leaves the double range.
  int64_t magnitude = 0;
  bool significant = false;
  size_t digits = 0;
  for (; i < n && s[i] >= '0' && s[i] <= '9'; ++i, ++digits) {
    if (s[i] != '0') significant = true;
    if (significant) ++magnitude;
  }
  if (i < n && s[i] == '.') {
    for (++i; i < n && s[i] >= '0' && s[i] <= '9'; ++i, ++digits) {
      if (s[i] != '0') significant = true;
      if (!significant) --magnitude;
    }
  }
  if (digits == 0) return false;
  if (i < n && (s[i] == 'e' || s[i] == 'E')) {
    size_t j = i + 1;
    bool expNegative = false;
    if (j < n && (s[j] == '+' || s[j] == '-')) {
      expNegative = s[j] == '-';
      ++j;
    }
    int64_t exponent = 0;
    size_t expDigits = 0;
    for (; j < n && s[j] >= '0' && s[j] <= '9'; ++j, ++expDigits) {
      if (exponent < 100000) exponent = exponent * 10 + (s[j] - '0');
    }
    if (expDigits == 0) return false;
    magnitude += expNegative ? -exponent : exponent;
    i = j;
  }
  if (i != n) return false;
  if (!significant) {
    value = negative ? -0.0 : 0.0;
    return true;
  }
  double v = 0;
  auto [ptr, ec] = std::from_chars(s.data() + numberStart, s.data() + n, v);
  if (ec == std::errc::result_out_of_range) {
    if (magnitude > 0) return false;  // beyond the largest double
    v = 0;
  } else if (ec != std::errc() || ptr != s.data() + n) {
    return false;
  }
  value = negative ? -v : v;
  return true;
}

double StrToFloat(std::string_view s) {
  double v;
  if (!TryStrToFloat(s, v))
    throw EConvertError("'" + std::string(s) + "' is not a valid floating point value");
  return v;
}

std::string FloatToStr(double value) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value > 0 ? "INF" : "-INF";
  if (value == 0) return "0";
  // Fifteen significant digits, rounded once from the exact binary value.
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific, 14);
  std::string_view sci(buf, static_cast<size_t>(res.ptr - buf));
  const bool negative = sci[0] == '-';
  if (negative) sci.remove_prefix(1);
  const size_t e = sci.find('e');
  std::string digits;
  for (size_t i = 0; i < e; ++i)
    if (sci[i] != '.') digits += sci[i];
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  int exponent = 0;
  std::from_chars(sci.data() + e + (sci[e + 1] == '+' ? 2 : 1), sci.data() + sci.size(), exponent);

  std::string r = negative ? "-" : "";
  const int point = exponent + 1;  // digits before the decimal point
  const int count = static_cast<int>(digits.size());
  if (point > 15 || point < -3) {
    r += digits[0];
    if (count > 1) r += "." + digits.substr(1);
    r += 'E';
    r += std::to_string(exponent);
  } else if (point <= 0) {
    r += "0." + std::string(static_cast<size_t>(-point), '0') + digits;
  } else if (point >= count) {
    r += digits + std::string(static_cast<size_t>(point - count), '0');
  } else {
    r += digits.substr(0, static_cast<size_t>(point)) + "." + digits.substr(static_cast<size_t>(point));
  }
  return r;
}

// ---- identifiers and quoting ----

bool IsValidIdent(std::string_view ident) {
  auto alpha = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
  if (ident.empty() || !alpha(ident[0])) return false;
  for (char c : ident.substr(1))
    if (!alpha(c) && !(c >= '0' && c <= '9')) return false;
  return true;
}

std::string AnsiQuotedStr(std::string_view s, char quote) {
  std::string r;
  r.reserve(s.size() + 2);
  r += quote;
  for (char c : s) {
    r += c;
    if (c == quote) r += quote;
  }
  r += quote;
  return r;
}

std::string QuotedStr(std::string_view s) { return AnsiQuotedStr(s, '\''); }

std::string AnsiExtractQuotedStr(std::string_view& src, char quote) {
  if (src.empty() || src[0] != quote) return {};
  std::string r;
  size_t i = 1;
  while (i < src.size()) {
    if (src[i] == quote) {
      if (i + 1 < src.size() && src[i + 1] == quote) {
        r += quote;
        i += 2;
        continue;
      }
      src.remove_prefix(i + 1);
      return r;
    }
    r += src[i++];
  }
  // No closing quote: keep every character rather than lose the last one.
  src.remove_prefix(src.size());
  return r;
}

// ---- file names ----

std::string ChangeFileExt(std::string_view fileName, std::string_view extension) {
  size_t i = LastDelimiter(fileName, true);
  if (i == std::string_view::npos || fileName[i] != '.') i = fileName.size();
  std::string r(fileName.substr(0, i));
  r += extension;
  return r;
}

std::string ExtractFileExt(std::string_view fileName) {
  size_t i = LastDelimiter(fileName, true);
  if (i == std::string_view::npos || fileName[i] != '.') return {};
  return std::string(fileName.substr(i));
}

std::string ExtractFileName(std::string_view fileName) {
  size_t i = LastDelimiter(fileName, false);
  return std::string(i == std::string_view::npos ? fileName : fileName.substr(i + 1));
}

std::string ExtractFilePath(std::string_view fileName) {
  size_t i = LastDelimiter(fileName, false);
  return i == std::string_view::npos ? std::string() : std::string(fileName.substr(0, i + 1));
}

std::string ExtractFileDir(std::string_view fileName) {
  size_t i = LastDelimiter(fileName, false);
  if (i == std::string_view::npos) return {};
  // Keep the delimiter of a root ("/") and of a doubled delimiter.
  if (i > 0 && !IsPathDelimiter(fileName[i - 1])) return std::string(fileName.substr(0, i));
  return std::string(fileName.substr(0, i + 1));
}

std::string IncludeTrailingPathDelimiter(std::string_view s) {
  std::string r(s);
  if (r.empty() || r.back() != PathDelim) r += PathDelim;
  return r;
}

std::string ExcludeTrailingPathDelimiter(std::string_view s) {
  std::string r(s);
  if (!r.empty() && r.back() == PathDelim) r.pop_back();
  return r;
}

// ---- the program ----

std::string ProgramFileName() {
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  std::string path;
  if (ec || !os::HostToWinPath(self.string(), path)) return std::string();
  return path;
}

}  // namespace host
