// Builds small PE32 and PE32+ images holding one version resource, for the
// tests of the version-resource reader and of the layers above it. The image
// has a single ".rsrc" section; the layout offsets are reported so that tests
// can spoil exactly the field they mean.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "os/version_resource.h"

namespace os::test {

struct TPeSpec {
  bool Pe64 = false;
  bool WithFixed = true;
  TVersionFixedInfo Fixed{VS_FFI_SIGNATURE, 0x10000, 0x00010002, 0x00030004, 0x00010002,
                          0x00030004, 0x3F, 0, 0x40004, 1, 0, 0, 0};
  // (8-hex-digit key, values)
  std::vector<std::pair<std::u16string, std::vector<std::pair<std::u16string, std::u16string>>>> Tables;
  std::vector<std::pair<uint16_t, uint16_t>> Translations;
  uint32_t ResourceType = 16;
};

struct TPeImage {
  std::string Bytes;
  size_t PeOffset = 0;       // "PE\0\0"
  size_t OptionalOffset = 0; // optional header
  size_t SectionOffset = 0;  // the section table
  size_t RsrcOffset = 0;     // the resource directory's file offset
  size_t TypeDirOffset = 0;  // within the resource section
  size_t NameDirOffset = 0;
  size_t DataEntryOffset = 0;
  size_t BlockOffset = 0;    // the version block's file offset
};

namespace pe_detail {

inline void Put16(std::string& s, size_t off, uint16_t v) { std::memcpy(&s[off], &v, 2); }
inline void Put32(std::string& s, size_t off, uint32_t v) { std::memcpy(&s[off], &v, 4); }
inline void Pad4(std::string& s) { s.resize((s.size() + 3) & ~size_t{3}, '\0'); }

// One node: length, value length, type, key, value, children.
inline std::string Node(const std::u16string& key, const std::string& value, uint16_t valueLength,
                        uint16_t type, const std::string& children) {
  std::string s(6, '\0');
  for (char16_t c : key) s.append(reinterpret_cast<const char*>(&c), 2);
  s.append(2, '\0');
  Pad4(s);
  s += value;
  if (!children.empty()) {
    Pad4(s);
    s += children;
  }
  Put16(s, 0, static_cast<uint16_t>(s.size()));
  Put16(s, 2, valueLength);
  Put16(s, 4, type);
  return s;
}

inline std::string Padded(std::string s) {
  Pad4(s);
  return s;
}

}  // namespace pe_detail

inline std::string BuildVersionBlock(const TPeSpec& spec) {
  using namespace pe_detail;
  std::string fixed;
  if (spec.WithFixed) fixed.assign(reinterpret_cast<const char*>(&spec.Fixed), sizeof spec.Fixed);
  std::string children;
  if (!spec.Tables.empty()) {
    std::string tables;
    for (const auto& [key, values] : spec.Tables) {
      std::string strings;
      for (const auto& [name, text] : values) {
        std::string v(reinterpret_cast<const char*>(text.data()), text.size() * 2);
        v.append(2, '\0');
        strings += Padded(Node(name, v, static_cast<uint16_t>(text.size() + 1), 1, ""));
      }
      tables += Padded(Node(key, "", 0, 1, strings));
    }
    children += Padded(Node(u"StringFileInfo", "", 0, 1, tables));
  }
  if (!spec.Translations.empty()) {
    std::string pairs;
    for (const auto& [lang, cp] : spec.Translations) {
      pairs.append(reinterpret_cast<const char*>(&lang), 2);
      pairs.append(reinterpret_cast<const char*>(&cp), 2);
    }
    const std::string var = Node(u"Translation", pairs, static_cast<uint16_t>(pairs.size()), 0, "");
    children += Padded(Node(u"VarFileInfo", "", 0, 1, Padded(var)));
  }
  return Node(u"VS_VERSION_INFO", fixed, static_cast<uint16_t>(fixed.size()), 0, children);
}

inline TPeImage BuildPeImage(const TPeSpec& spec) {
  using namespace pe_detail;
  TPeImage img;
  const uint32_t kRsrcRva = 0x1000;
  const size_t optSize = spec.Pe64 ? 240 : 224;
  img.PeOffset = 0x40;
  img.OptionalOffset = img.PeOffset + 24;
  img.SectionOffset = img.OptionalOffset + optSize;
  img.RsrcOffset = 0x200;

  // The resource section: root, type, name directories, data entry, block.
  std::string rsrc(0x58, '\0');
  img.TypeDirOffset = 0x18;
  img.NameDirOffset = 0x30;
  img.DataEntryOffset = 0x48;
  Put16(rsrc, 14, 1);
  Put32(rsrc, 16, spec.ResourceType);
  Put32(rsrc, 20, 0x80000000u | 0x18);
  Put16(rsrc, 0x18 + 14, 1);
  Put32(rsrc, 0x18 + 16, 1);
  Put32(rsrc, 0x18 + 20, 0x80000000u | 0x30);
  Put16(rsrc, 0x30 + 14, 1);
  Put32(rsrc, 0x30 + 16, 0x409);
  Put32(rsrc, 0x30 + 20, 0x48);
  const std::string block = BuildVersionBlock(spec);
  Put32(rsrc, 0x48, kRsrcRva + 0x58);
  Put32(rsrc, 0x4C, static_cast<uint32_t>(block.size()));
  rsrc += block;
  img.BlockOffset = img.RsrcOffset + 0x58;
  const size_t rsrcSize = rsrc.size();
  const size_t rawSize = (rsrcSize + 0x1FF) & ~size_t{0x1FF};
  rsrc.resize(rawSize, '\0');

  std::string& s = img.Bytes;
  s.assign(img.RsrcOffset, '\0');
  s[0] = 'M';
  s[1] = 'Z';
  Put32(s, 0x3C, static_cast<uint32_t>(img.PeOffset));
  std::memcpy(&s[img.PeOffset], "PE\0\0", 4);
  const size_t coff = img.PeOffset + 4;
  Put16(s, coff, spec.Pe64 ? 0x8664 : 0x14C);
  Put16(s, coff + 2, 1);
  Put16(s, coff + 16, static_cast<uint16_t>(optSize));
  Put16(s, coff + 18, 0x2102);
  const size_t opt = img.OptionalOffset;
  Put16(s, opt, spec.Pe64 ? 0x20B : 0x10B);
  const size_t countOff = spec.Pe64 ? 108 : 92;
  const size_t dirOff = spec.Pe64 ? 112 : 96;
  Put32(s, opt + countOff, 16);
  Put32(s, opt + dirOff + 16, kRsrcRva);
  Put32(s, opt + dirOff + 20, static_cast<uint32_t>(rsrcSize));
  const size_t sec = img.SectionOffset;
  std::memcpy(&s[sec], ".rsrc", 5);
  Put32(s, sec + 8, static_cast<uint32_t>(rsrcSize));
  Put32(s, sec + 12, kRsrcRva);
  Put32(s, sec + 16, static_cast<uint32_t>(rawSize));
  Put32(s, sec + 20, static_cast<uint32_t>(img.RsrcOffset));
  s += rsrc;
  return img;
}

}  // namespace os::test
