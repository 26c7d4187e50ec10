#include "sql_value.h"

#include <cstdio>

namespace tav::sqldiff {

std::string TSqlValue::ToString() const {
  switch (Kind) {
    case kNull: return "NULL";
    case kInteger: return std::to_string(Int);
    case kFloat: {
      char buf[40];
      std::snprintf(buf, sizeof buf, "%.17g", Float);
      std::string s = buf;
      if (s.find_first_of(".eEn") == std::string::npos) s += ".0";
      return s;
    }
    case kText: {
      std::string s = "'";
      for (char c : Text) s += c == '\'' ? std::string("''") : std::string(1, c);
      return s + "'";
    }
  }
  return "?";
}

int CompareValues(const TSqlValue& a, const TSqlValue& b) {
  auto rank = [](const TSqlValue& v) { return v.IsNull() ? 0 : v.IsNumber() ? 1 : 2; };
  const int ra = rank(a), rb = rank(b);
  if (ra != rb) return ra < rb ? -1 : 1;
  if (ra == 1) {
    const double x = a.Number(), y = b.Number();
    return x < y ? -1 : x > y ? 1 : 0;
  }
  if (ra == 2) return a.Text.compare(b.Text) < 0 ? -1 : a.Text == b.Text ? 0 : 1;
  return 0;
}

bool RowLess(const TSqlRow& a, const TSqlRow& b) {
  for (size_t i = 0; i < a.size() && i < b.size(); ++i)
    if (const int c = CompareValues(a[i], b[i])) return c < 0;
  return a.size() < b.size();
}

std::string FormatRow(const TSqlRow& row) {
  std::string out = "(";
  for (size_t i = 0; i < row.size(); ++i) out += (i ? ", " : "") + row[i].ToString();
  return out + ")";
}

std::string FormatRows(const std::vector<TSqlRow>& rows, size_t limit) {
  std::string out;
  for (size_t i = 0; i < rows.size() && i < limit; ++i) out += "  " + FormatRow(rows[i]) + "\n";
  if (rows.size() > limit) out += "  ... " + std::to_string(rows.size() - limit) + " more\n";
  return out;
}

std::string FormatResult(const TSqlResult& result, size_t limit) {
  if (result.Failed) return "error: " + result.Error + "\n";
  if (!result.IsQuery) return "rows affected: " + std::to_string(result.RowsAffected) + "\n";
  return std::to_string(result.Rows.size()) + " rows\n" + FormatRows(result.Rows, limit);
}

}  // namespace tav::sqldiff
