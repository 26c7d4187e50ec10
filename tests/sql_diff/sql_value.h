// Values and results of the SQL differential harness, as both engines give
// them back: a row is a list of values, a result the rows of a query or the
// count of rows a data change touched, or the error it raised.
//
// Numbers compare by value whatever their kind (an integer 3 equals a float
// 3.0), since a result column's type may differ between the engines while
// its values agree.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tav::sqldiff {

struct TSqlValue {
  enum TKind : uint8_t { kNull, kInteger, kFloat, kText };
  TKind Kind = kNull;
  int64_t Int = 0;
  double Float = 0;
  std::string Text;

  static TSqlValue Null() { return {}; }
  static TSqlValue Integer(int64_t v) { return {kInteger, v, 0, {}}; }
  static TSqlValue Real(double v) { return {kFloat, 0, v, {}}; }
  static TSqlValue String(std::string v) { return {kText, 0, 0, std::move(v)}; }

  bool IsNull() const { return Kind == kNull; }
  bool IsNumber() const { return Kind == kInteger || Kind == kFloat; }
  double Number() const { return Kind == kInteger ? static_cast<double>(Int) : Float; }
  // As a statement or a report writes it: NULL, 3, 2.25, 'ab'.
  std::string ToString() const;
};

using TSqlRow = std::vector<TSqlValue>;

struct TSqlResult {
  bool Failed = false;
  std::string Error;          // the engine's message when Failed
  bool IsQuery = true;        // rows, or a data change's count
  std::vector<TSqlRow> Rows;  // a query's rows, in the order given
  int64_t RowsAffected = 0;   // a data change's count
};

// A total order of values for sorting: NULL, then numbers by value, then
// texts by their bytes.
int CompareValues(const TSqlValue& a, const TSqlValue& b);
bool RowLess(const TSqlRow& a, const TSqlRow& b);

std::string FormatRow(const TSqlRow& row);
// Every row on its own line, at most `limit` of them.
std::string FormatRows(const std::vector<TSqlRow>& rows, size_t limit = 60);
std::string FormatResult(const TSqlResult& result, size_t limit = 60);

}  // namespace tav::sqldiff
