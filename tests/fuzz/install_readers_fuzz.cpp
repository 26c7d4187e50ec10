// Random bytes through the readers of a distribution's small files: the
// self-extract trailer (the input's last 56 bytes, the input as the whole
// file), the remote list of files and BUILD.INF. Each input is either taken
// or refused; what is taken stays inside the input.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "installer/engine/script/install_file.h"
#include "installer/engine/script/self_extract.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  if (size >= orln::kTrailerSize) {
    orln::TSelfExtractTrailer t;
    if (orln::ParseTrailer(input.substr(size - orln::kTrailerSize), static_cast<int64_t>(size), t)) {
      const int64_t body = static_cast<int64_t>(size - orln::kTrailerSize);
      if (t.SelfExtracting) {
        FUZZ_CHECK(t.SetupStart > 0 && t.SetupStart <= t.SetupEnd && t.SetupEnd < body);
        FUZZ_CHECK((t.FilesStart == 0 && t.FilesEnd == 0) ||
                   (t.FilesStart == t.SetupEnd + 1 && t.FilesStart <= t.FilesEnd &&
                    t.FilesEnd < body));
      } else {
        FUZZ_CHECK(t.SetupStart == 0 && t.SetupEnd == 0 && t.FilesStart == 0 && t.FilesEnd == 0);
      }
      // A trailer written again reads back the same.
      orln::TSelfExtractTrailer again;
      FUZZ_CHECK(orln::ParseTrailer(orln::MakeTrailer(t), static_cast<int64_t>(size), again));
      FUZZ_CHECK(again.SetupStart == t.SetupStart && again.FilesEnd == t.FilesEnd);
    }
  }

  std::vector<orln::TRemoteFileEntry> entries;
  if (orln::ParseRemoteFileList(input, entries)) {
    FUZZ_CHECK(4 + entries.size() * orln::kArchiveSummarySize <= size);
    for (const orln::TRemoteFileEntry& e : entries) {
      FUZZ_CHECK(e.Name.size() < 40 && e.Name.find('\0') == std::string::npos);
      FUZZ_CHECK(e.Version.size() <= orln::kMaxVersion);
    }
  } else {
    FUZZ_CHECK(entries.size() <= size / orln::kArchiveSummarySize);
  }

  std::string dir;
  if (orln::ParseBuildInf(input, dir)) {
    FUZZ_CHECK(dir.size() <= size && dir.find_first_of("\r\n") == std::string::npos);
  } else {
    FUZZ_CHECK(size == 0);
  }
  return 0;
}
