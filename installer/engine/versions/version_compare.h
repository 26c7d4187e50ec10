// Version texts of files ("4.0.1381.1") and the overwrite decision an install
// file or the archive's extractor takes for a file that already exists.
//
// Callers must keep: versions are compared part by part as CompareVersions
// says; a blank version has one blank part, so any non-blank version beats
// it. Version texts come from archives and foreign files: numeric parts of
// any length compare by value, never through a conversion that could
// overflow. File dates compare at whole seconds.
#pragma once

#include <functional>
#include <string>
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

// Results of the overwrite decision.
inline constexpr int kCompareUndecided = 0;
inline constexpr int kCompareSame = 1;
inline constexpr int kCompareCopy = 2;  // the new file wins
inline constexpr int kCompareKeep = 3;  // the existing file wins
inline constexpr int kCompareAsk = 4;

// 0 when the versions are equal, 1 when `a` is newer, 2 when `b` is newer.
// Both are split at '.'; parts that are both integers (an optional sign and
// digits) compare by value, others as text; the version that still has parts
// when the other runs out is newer.
int CompareVersions(std::string_view a, std::string_view b);

// Reads the version text of a file by path (blank when it has none).
using TFileVersionReader = std::function<std::string(const std::string& path)>;

// The overwrite decision for a file of version `newVersion` and local date
// `newDate` against the file at `existingPath`, by `mode`; the existing file's
// version comes from `readVersion`.
int CompareWithFile(std::string_view newVersion, const std::string& existingPath,
                    TOverwriteType mode, double newDate, const TFileVersionReader& readVersion);

// The decision from the two versions and dates alone (no file is touched):
// the rule both CompareWithFile and CompareFiles apply. `existingDate` is
// consulted only when `haveExistingDate` is true; without it a date decision
// is undecided.
int DecideByVersionAndDate(std::string_view newVersion, std::string_view existingVersion,
                           TOverwriteType mode, double newDate, bool haveExistingDate,
                           double existingDate, bool existingPresent);

}  // namespace orln
