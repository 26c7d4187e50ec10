// Version texts of files ("4.0.1381.1") and the overwrite modes an install
// file or the archive's extractor applies to a file that already exists.
//
// Callers must keep: versions are compared part by part as CompareVersions
// says; a blank version has one blank part, so any non-blank version beats it.
#pragma once

#include <string_view>

namespace orln {

// How a file from an archive treats an existing file of the same name.
enum TOverwriteType {
  owAlways = 0,
  owNever = 1,
  owVersion = 2,
  owDate = 3,
  owVersionDate = 4,
  owAsk = 5
};

// 0 when the versions are equal, 1 when `a` is newer, 2 when `b` is newer.
// Both are split at '.'; parts that are both integers compare as numbers,
// others as text; the version that still has parts when the other runs out
// is newer.
int CompareVersions(std::string_view a, std::string_view b);

}  // namespace orln
