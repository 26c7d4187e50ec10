// The messages of the statement parsers and the select analyser that are not
// among the engine's resource strings (engine/storage/base/tav_resstrings.h,
// which holds the rest). The texts are the system's own, kept to the letter.
#pragma once

namespace tav {

// FROM clause.
inline constexpr const char* kQryInvalidCrossJoin = "Invalid cross join syntax - expected CROSS";
inline constexpr const char* kQryUsingMissingLParen = "Missing '(' from using join specification";
inline constexpr const char* kQryUsingInvalidColumnList =
    "Invalid column list syntax in using specification";
inline constexpr const char* kQryUsingMissingRParen = "Missing ')' from using join specification";
inline constexpr const char* kQryFieldNotInJoinTables = "Field not found in join tables: ";

// Select list and its analysis.
inline constexpr const char* kQrySelectTerminated = "Select clause incorrectly terminated";
inline constexpr const char* kQryTooManyAggregates =
    "A result column may hold only one aggregate function";

// Data-change statements.
inline constexpr const char* kQryInsertTerminated = "Insert statement incorrectly terminated";
inline constexpr const char* kQryUpdateTerminated = "Update statement incorrectly terminated";
inline constexpr const char* kQryDeleteTerminated = "Delete statement incorrectly terminated";

}  // namespace tav
