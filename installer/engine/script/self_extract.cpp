#include "installer/engine/script/self_extract.h"

#include <cstring>

#include "host/rtl/le_bytes.h"
#include "installer/engine/script/install_file.h"
#include "os/win_file.h"

namespace orln {

std::string MakeTrailer(const TSelfExtractTrailer& trailer) {
  std::string out(kTrailerSize, '\0');
  const char* marker = trailer.SelfExtracting ? kSelfExtracting : kNotSelfExtract;
  const size_t n = std::strlen(marker);
  out[0] = static_cast<char>(n);
  std::memcpy(out.data() + 1, marker, n);
  auto* p = reinterpret_cast<uint8_t*>(out.data());
  host::PutU32(p + 16, static_cast<uint32_t>(trailer.SetupStart));
  host::PutU32(p + 20, static_cast<uint32_t>(trailer.SetupEnd));
  host::PutU32(p + 24, static_cast<uint32_t>(trailer.FilesStart));
  host::PutU32(p + 28, static_cast<uint32_t>(trailer.FilesEnd));
  return out;
}

bool ParseTrailer(std::string_view tail, int64_t fileSize, TSelfExtractTrailer& trailer) {
  if (tail.size() != kTrailerSize || fileSize < static_cast<int64_t>(kTrailerSize)) return false;
  const auto* p = reinterpret_cast<const uint8_t*>(tail.data());
  const size_t length = p[0];
  if (length > 14) return false;
  const std::string_view marker = tail.substr(1, length);
  TSelfExtractTrailer t;
  if (marker == kSelfExtracting) {
    t.SelfExtracting = true;
  } else if (marker != kNotSelfExtract) {
    return false;
  }
  t.SetupStart = static_cast<int32_t>(host::GetU32(p + 16));
  t.SetupEnd = static_cast<int32_t>(host::GetU32(p + 20));
  t.FilesStart = static_cast<int32_t>(host::GetU32(p + 24));
  t.FilesEnd = static_cast<int32_t>(host::GetU32(p + 28));
  const int64_t body = fileSize - static_cast<int64_t>(kTrailerSize);  // bytes before the trailer
  if (!t.SelfExtracting) {
    if (t.SetupStart != 0 || t.SetupEnd != 0 || t.FilesStart != 0 || t.FilesEnd != 0) return false;
  } else {
    // "setup.1" follows the loader, "files.1" (when there) follows "setup.1",
    // and both end before the trailer.
    if (t.SetupStart <= 0 || t.SetupEnd < t.SetupStart || t.SetupEnd >= body) return false;
    if (t.FilesStart == 0 && t.FilesEnd == 0) {
      // no "files.1"
    } else if (t.FilesStart != static_cast<int64_t>(t.SetupEnd) + 1 || t.FilesEnd < t.FilesStart ||
               t.FilesEnd >= body) {
      return false;
    }
  }
  trailer = t;
  return true;
}

bool ReadTrailerFile(const std::string& path, TSelfExtractTrailer& trailer) {
  auto file = os::TWinFile::Open(path, os::TFileAccess::Read, os::TFileShare::DenyNone);
  if (!file) return false;
  const int64_t size = file->Size();
  if (size < static_cast<int64_t>(kTrailerSize)) return false;
  std::string tail(kTrailerSize, '\0');
  if (file->Read(static_cast<uint64_t>(size) - kTrailerSize, tail.data(), kTrailerSize) !=
      static_cast<int64_t>(kTrailerSize))
    return false;
  return ParseTrailer(tail, size, trailer);
}

bool ParseRemoteFileList(std::string_view data, std::vector<TRemoteFileEntry>& entries) {
  entries.clear();
  if (data.size() < 4) return false;
  const int32_t count = static_cast<int32_t>(host::GetU32(data.data()));
  if (count < 0 || static_cast<uint64_t>(count) > (data.size() - 4) / kArchiveSummarySize)
    return false;
  entries.reserve(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) {
    const std::string_view r = data.substr(4 + static_cast<size_t>(i) * kArchiveSummarySize,
                                           kArchiveSummarySize);
    TRemoteFileEntry e;
    e.Size = static_cast<int32_t>(host::GetU32(r.data()));
    std::memcpy(&e.Date, r.data() + 8, sizeof e.Date);
    const std::string_view nameField = r.substr(16, 40);
    const size_t nameEnd = nameField.find('\0');
    if (nameEnd == std::string_view::npos) return false;
    e.Name = std::string(nameField.substr(0, nameEnd));
    const std::string_view versionField = r.substr(56, kMaxVersion);
    e.Version = std::string(versionField.substr(0, versionField.find('\0')));
    entries.push_back(std::move(e));
  }
  return true;
}

bool ParseBuildInf(std::string_view text, std::string& buildDirectory) {
  if (text.empty()) return false;
  const size_t end = text.find_first_of("\r\n");
  buildDirectory = std::string(text.substr(0, end));
  return true;
}

}  // namespace orln
