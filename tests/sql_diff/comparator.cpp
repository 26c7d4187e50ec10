#include "comparator.h"

#include <algorithm>
#include <cmath>

namespace tav::sqldiff {

bool ValuesMatch(const TSqlValue& a, const TSqlValue& b) {
  if (a.IsNumber() && b.IsNumber()) {
    if (a.Kind == TSqlValue::kInteger && b.Kind == TSqlValue::kInteger) return a.Int == b.Int;
    const double x = a.Number(), y = b.Number();
    if (x == y) return true;
    return std::fabs(x - y) <= kRelativeTolerance * std::max({std::fabs(x), std::fabs(y), 1.0});
  }
  if (a.Kind != b.Kind) return false;
  return a.IsNull() || a.Text == b.Text;
}

bool RowsMatch(const TSqlRow& a, const TSqlRow& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (!ValuesMatch(a[i], b[i])) return false;
  return true;
}

namespace {

// Rows sorted exactly may still pair up differently when a float differs in
// its last bits; then every row looks for an unused partner. Quadratic, so
// kept to lists of moderate size (beyond it the sorted pairing decides).
constexpr size_t kMatchingLimit = 4000;

bool MultisetsMatch(std::vector<TSqlRow> a, std::vector<TSqlRow> b, std::string& detail) {
  std::sort(a.begin(), a.end(), RowLess);
  std::sort(b.begin(), b.end(), RowLess);
  size_t first = a.size();
  for (size_t i = 0; i < a.size(); ++i) {
    if (!RowsMatch(a[i], b[i])) {
      first = i;
      break;
    }
  }
  if (first == a.size()) return true;
  if (a.size() <= kMatchingLimit) {
    std::vector<bool> used(b.size(), false);
    bool all = true;
    for (const TSqlRow& row : a) {
      bool found = false;
      for (size_t j = 0; j < b.size() && !found; ++j) {
        if (!used[j] && RowsMatch(row, b[j])) used[j] = found = true;
      }
      if (!found) {
        detail = "first expected row without a match: " + FormatRow(row);
        all = false;
        break;
      }
    }
    if (all) return true;
  } else {
    detail = "sorted row " + std::to_string(first) + ": expected " + FormatRow(a[first]) + ", got " +
             FormatRow(b[first]);
  }
  return false;
}

}  // namespace

std::string CompareRowLists(const std::vector<TSqlRow>& expected, const std::vector<TSqlRow>& actual,
                            bool ordered) {
  if (expected.size() != actual.size())
    return "row counts differ: expected " + std::to_string(expected.size()) + ", got " +
           std::to_string(actual.size());
  if (ordered) {
    for (size_t i = 0; i < expected.size(); ++i) {
      if (!RowsMatch(expected[i], actual[i]))
        return "row " + std::to_string(i) + " in order: expected " + FormatRow(expected[i]) + ", got " +
               FormatRow(actual[i]);
    }
    return "";
  }
  std::string detail;
  return MultisetsMatch(expected, actual, detail) ? "" : "rows differ as multisets: " + detail;
}

std::string CompareResults(const TSqlResult& expected, const TSqlResult& actual, bool ordered) {
  if (expected.Failed || actual.Failed) {
    if (expected.Failed && actual.Failed) return "";
    return expected.Failed ? "only the reference failed: " + expected.Error
                           : "only the tested side failed: " + actual.Error;
  }
  if (expected.IsQuery != actual.IsQuery) return "one side gave rows, the other a count";
  if (!expected.IsQuery) {
    if (expected.RowsAffected == actual.RowsAffected) return "";
    return "rows affected differ: expected " + std::to_string(expected.RowsAffected) + ", got " +
           std::to_string(actual.RowsAffected);
  }
  return CompareRowLists(expected.Rows, actual.Rows, ordered);
}

}  // namespace tav::sqldiff
