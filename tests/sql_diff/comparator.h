// Comparing what two engines gave for one statement.
//
// Rows compare as multisets, and in order only when the statement's ORDER BY
// covers every output column (then rows that tie are equal, so the order is
// fully determined). Numbers are equal within a small relative tolerance
// whatever their kind; NULL equals only NULL; texts compare by their bytes.
#pragma once

#include <string>
#include <vector>

#include "sql_value.h"

namespace tav::sqldiff {

inline constexpr double kRelativeTolerance = 1e-9;

bool ValuesMatch(const TSqlValue& a, const TSqlValue& b);
bool RowsMatch(const TSqlRow& a, const TSqlRow& b);

// "" when the row lists agree, else what differs.
std::string CompareRowLists(const std::vector<TSqlRow>& expected, const std::vector<TSqlRow>& actual,
                            bool ordered);

// "" when the results agree: both failed, or both gave the same rows, or the
// same count of rows changed.
std::string CompareResults(const TSqlResult& expected, const TSqlResult& actual, bool ordered);

}  // namespace tav::sqldiff
