// The readers and writers of a distribution's own small files: the 56-byte
// trailer at the end of every distributed "setup.exe", which says where the
// appended "setup.1" and "files.1" lie; the remote list of files
// ("filelist.lst") of a net distribution; and BUILD.INF, whose first line
// names the build directory.
//
// Callers must keep:
//  - These files come from disks and servers: every reader bounds what it
//    takes. A trailer's offsets must lie inside the file before the trailer
//    and in order; a list's count must fit the file and each name must end
//    inside its field. A reader reports what is wrong by its result; the
//    callers raise the install's own messages.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orln {

inline constexpr size_t kTrailerSize = 56;
inline constexpr char kSelfExtracting[] = "SELFEXTRACTING";
inline constexpr char kNotSelfExtract[] = "NOTSELFEXTRACT";

struct TSelfExtractTrailer {
  bool SelfExtracting = false;
  // Offsets of the first and last byte of each appended archive; 0 and 0
  // for "files.1" when there is none, and for both without self-extraction.
  int32_t SetupStart = 0;
  int32_t SetupEnd = 0;
  int32_t FilesStart = 0;
  int32_t FilesEnd = 0;
};

// The 56 bytes of a trailer.
std::string MakeTrailer(const TSelfExtractTrailer& trailer);
// Reads the last 56 bytes (`tail`) of a file of `fileSize` bytes; false when
// the marker is neither of the two, or an offset lies outside the file, out
// of order, or is set without self-extraction.
bool ParseTrailer(std::string_view tail, int64_t fileSize, TSelfExtractTrailer& trailer);
// The trailer of the file at a virtual path; false when it cannot be opened,
// is shorter than the trailer, or the trailer is not sound.
bool ReadTrailerFile(const std::string& path, TSelfExtractTrailer& trailer);

// One record of "filelist.lst".
struct TRemoteFileEntry {
  int32_t Size = 0;
  double Date = 0;
  std::string Name;
  std::string Version;
};
// The records of a "filelist.lst" text; false when the count is negative or
// more than the bytes hold, or a name has no end inside its field.
bool ParseRemoteFileList(std::string_view data, std::vector<TRemoteFileEntry>& entries);

// BUILD.INF's first line; false when the text holds no line.
bool ParseBuildInf(std::string_view text, std::string& buildDirectory);
// The most of BUILD.INF that is read.
inline constexpr size_t kMaxBuildInfSize = 64 * 1024;

}  // namespace orln
