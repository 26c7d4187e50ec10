// The version resource of a Windows program image (a PE32 or PE32+ file):
// our stand-in for the system's version service. The reader finds resource
// type 16 through the image's resource directory, takes its first name and
// first language, and splits the VS_VERSIONINFO block into the fixed part,
// the "StringFileInfo" tables and the "VarFileInfo\Translation" pairs.
//
// Callers must keep:
//  - Images are untrusted: every offset, size, count and walk is bounded by
//    the file and by the section that holds it. A file that is not a PE image,
//    has no version resource or is damaged anywhere on the way gives empty
//    information (Empty() is true), never an exception.
//  - Texts stay UTF-16 as stored; the layer above converts them to its own
//    character set.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace os {

inline constexpr uint32_t VS_FFI_SIGNATURE = 0xFEEF04BD;

// VS_FIXEDFILEINFO, as stored.
struct TVersionFixedInfo {
  uint32_t Signature = 0;
  uint32_t StrucVersion = 0;
  uint32_t FileVersionMS = 0;
  uint32_t FileVersionLS = 0;
  uint32_t ProductVersionMS = 0;
  uint32_t ProductVersionLS = 0;
  uint32_t FileFlagsMask = 0;
  uint32_t FileFlags = 0;
  uint32_t FileOS = 0;
  uint32_t FileType = 0;
  uint32_t FileSubtype = 0;
  uint32_t FileDateMS = 0;
  uint32_t FileDateLS = 0;
};

// One "StringFileInfo" table: the language and code page its 8-hex-digit key
// names, and its values in stored order.
struct TVersionStringTable {
  uint16_t Language = 0;
  uint16_t CodePage = 0;
  std::vector<std::pair<std::u16string, std::u16string>> Values;

  // The value under `key` (exact, as Windows matches), or null.
  const std::u16string* Find(std::u16string_view key) const;
};

struct TVersionData {
  bool HasFixed = false;
  TVersionFixedInfo Fixed;
  // "VarFileInfo\Translation": (language, code page) pairs.
  std::vector<std::pair<uint16_t, uint16_t>> Translations;
  std::vector<TVersionStringTable> Tables;

  bool Empty() const { return !HasFixed && Translations.empty() && Tables.empty(); }
  // The table for this language and code page, or null.
  const TVersionStringTable* FindTable(uint16_t language, uint16_t codePage) const;
};

// The version resource of an image held in memory; empty when there is none.
TVersionData ParseVersionResource(std::string_view image);

// The same for a file by virtual Windows path (win_path.h). False, with the
// Windows error set, when the file cannot be read; a readable file without a
// version resource gives true and empty data.
bool WinReadVersionResource(const std::string& path, TVersionData& data);

}  // namespace os
