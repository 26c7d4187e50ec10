#include "engine/storage/base/tav_compare.h"

#include "engine/storage/base/tav_errors.h"
#include "host/rtl/collation.h"
#include "host/rtl/sys_utils.h"

namespace tav {
namespace {

inline size_t Len(int n) {
  return n > 0 ? static_cast<size_t>(n) : 0;
}

inline unsigned char AsciiUpper(unsigned char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - ('a' - 'A')) : c;
}

}  // namespace

int CompareReals(double a, double b) {
  if (a < b) return -1;
  if (a > b) return 1;
  return 0;
}

int DBASCIICompareStrings(const char* s1, const char* s2, int len1, int len2, bool caseInsensitive,
                          bool partial) {
  const size_t n1 = Len(len1), n2 = Len(len2);
  const size_t n = n1 < n2 ? n1 : n2;
  const auto* a = reinterpret_cast<const unsigned char*>(s1);
  const auto* b = reinterpret_cast<const unsigned char*>(s2);
  for (size_t i = 0; i < n; ++i) {
    unsigned char c1 = a[i], c2 = b[i];
    if (caseInsensitive) {
      c1 = AsciiUpper(c1);
      c2 = AsciiUpper(c2);
    }
    if (c1 != c2) return static_cast<int>(c1) - static_cast<int>(c2);
  }
  if (partial) return 0;
  return n1 < n2 ? -1 : (n1 > n2 ? 1 : 0);
}

int DBANSICompareStrings(const char* s1, const char* s2, int len1, int len2, bool caseInsensitive,
                         bool partial) {
  size_t n1 = Len(len1), n2 = Len(len2);
  if (partial) n1 = n2 = (n1 < n2 ? n1 : n2);
  return caseInsensitive ? host::CollateAnsiText(s1, n1, s2, n2)
                         : host::CollateAnsiStr(s1, n1, s2, n2);
}

int DBCompareWideStrings(const char* s1, const char* s2, int len1, int len2, bool caseInsensitive,
                         bool partial) {
  size_t u1 = Len(len1) / 2, u2 = Len(len2) / 2;
  if (partial) u1 = u2 = (u1 < u2 ? u1 : u2);
  return host::CollateWideLE(s1, u1, s2, u2, caseInsensitive);
}

// The two-pointer match: on a mismatch after a '%', let that '%' take one
// more value character and retry from just behind it. Only the last '%' seen
// ever needs retrying (an earlier one could only take characters the later one
// can take too), so the work is at most value length x pattern length and
// never exponential.
bool MatchPatternedStrings(std::string_view value, std::string_view pattern, char, char) {
  size_t v = 0, p = 0;
  size_t star = std::string_view::npos;  // position of the last '%' in pattern
  size_t mark = 0;                       // value position that '%' was last tried from
  while (v < value.size()) {
    if (p < pattern.size() && pattern[p] == '%') {
      star = p++;
      mark = v;
    } else if (p < pattern.size() && (pattern[p] == '_' || pattern[p] == value[v])) {
      ++p;
      ++v;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      v = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '%') ++p;
  return p == pattern.size();
}

void ConvertFieldNamesToList(const std::string& names, host::TStrings& list) {
  list.Clear();
  size_t start = 0;
  while (start < names.size()) {
    const size_t semi = names.find(';', start);
    if (semi == std::string::npos) {
      list.Add(names.substr(start));
      break;
    }
    list.Add(names.substr(start, semi - start));
    start = semi + 1;
  }
}

char16_t* StringLToWideChar(std::string_view text, char16_t* destination, int size) {
  if (size < 1 || !destination) return destination;
  const size_t n =
      text.size() < static_cast<size_t>(size - 1) ? text.size() : static_cast<size_t>(size - 1);
  for (size_t i = 0; i < n; ++i)
    destination[i] = host::Cp1252ToWideChar(static_cast<unsigned char>(text[i]));
  destination[n] = 0;
  return destination;
}

std::string TavIncludeTrailingBackslash(const std::string& path) {
  return host::IncludeTrailingPathDelimiter(path);
}

}  // namespace tav
