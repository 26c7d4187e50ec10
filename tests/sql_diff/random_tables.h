// Random tables for the SQL differential harness: two to four tables of up
// to a few hundred rows, loaded alike into every engine under comparison.
//
// Columns come from one pool, so that tables share names (for USING) and
// every table has operands of each type:
//   ID          INTEGER, distinct in its table, never NULL (the only column a
//               unique index covers);
//   I1, I2      INTEGER 0..15, NULL now and then;
//   F1, F2      FLOAT, multiples of 0.25 from 0 to 8 (exact in binary, so sums
//               agree to the bit), NULL now and then;
//   S1, S2      VARCHAR(kVarcharSize) of lower-case letters and digits, never
//               empty and never NULL, drawn from a small pool of words so that
//               equal and prefix-sharing values are common.
// No value is negative, so that a literal never needs a sign.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sql_value.h"

namespace tav::sqldiff {

enum TColumnType : uint8_t { ctInteger, ctFloat, ctVarchar };

inline constexpr int kVarcharSize = 12;
inline constexpr int kIntegerMax = 15;  // I1, I2 take 0..kIntegerMax
inline constexpr int kFloatSteps = 32;  // F1, F2 take k * 0.25, k in 0..kFloatSteps

struct TColumnSpec {
  std::string Name;
  TColumnType Type = ctInteger;
};

struct TIndexSpec {
  std::string Name;
  std::vector<std::string> Columns;
  bool Unique = false;
  bool Descending = false;
};

struct TTableSpec {
  std::string Name;
  std::vector<TColumnSpec> Columns;  // ID first
  std::vector<TIndexSpec> Indexes;
  std::vector<TSqlRow> Rows;         // one value per column, in column order

  bool HasUniqueIndex() const;
  // The column's position, or -1.
  int ColumnIndex(const std::string& name) const;
  const TColumnSpec* FindColumn(const std::string& name) const;
};

struct TRandomSchema {
  uint32_t Seed = 0;
  std::vector<TTableSpec> Tables;
  std::vector<std::string> Words;  // the VARCHAR values' pool

  const TTableSpec* FindTable(const std::string& name) const;
  // The schema as CREATE statements and its rows, for a mismatch report.
  std::string Describe(size_t rowLimit = 400) const;
};

TRandomSchema GenerateSchema(uint32_t seed);

const char* SqlTypeName(TColumnType type);

}  // namespace tav::sqldiff
