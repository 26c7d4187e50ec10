#include "os/version_resource.h"

#include <cstring>
#include <deque>
#include <memory>

#include "os/win_file.h"

namespace os {
namespace {

// Raised inside the reader at the first sign of damage; never leaves it.
struct TDamaged {};

// A bounded window on the image. Every read checks its range.
class TView {
 public:
  TView() = default;
  TView(const char* data, size_t size) : data_(data), size_(size) {}
  size_t Size() const { return size_; }
  const char* Data() const { return data_; }
  bool Has(size_t off, size_t len) const { return off <= size_ && len <= size_ - off; }
  uint16_t U16(size_t off) const {
    if (!Has(off, 2)) throw TDamaged{};
    uint16_t v;
    std::memcpy(&v, data_ + off, 2);
    return v;
  }
  uint32_t U32(size_t off) const {
    if (!Has(off, 4)) throw TDamaged{};
    uint32_t v;
    std::memcpy(&v, data_ + off, 4);
    return v;
  }
  TView Sub(size_t off, size_t len) const {
    if (!Has(off, len)) throw TDamaged{};
    return TView(data_ + off, len);
  }

 private:
  const char* data_ = nullptr;
  size_t size_ = 0;
};

// The image as the walk reads it: bounded pieces by file offset. A piece
// that passes the end of the file is damage.
class TImage {
 public:
  virtual ~TImage() = default;
  virtual uint64_t Size() const = 0;
  virtual TView Read(uint64_t off, uint64_t len) = 0;
  uint16_t U16(uint64_t off) { return Read(off, 2).U16(0); }
  uint32_t U32(uint64_t off) { return Read(off, 4).U32(0); }
};

class TMemoryImage : public TImage {
 public:
  explicit TMemoryImage(std::string_view image) : image_(image) {}
  uint64_t Size() const override { return image_.size(); }
  TView Read(uint64_t off, uint64_t len) override {
    if (off > image_.size() || len > image_.size() - off) throw TDamaged{};
    return TView(image_.data() + off, static_cast<size_t>(len));
  }

 private:
  std::string_view image_;
};

// Reads only the pieces the walk asks for (headers, section table, the
// resource data), so the file's size bounds the reads, not the memory.
class TFileImage : public TImage {
 public:
  TFileImage(TWinFile& file, uint64_t size) : file_(file), size_(size) {}
  uint64_t Size() const override { return size_; }
  TView Read(uint64_t off, uint64_t len) override {
    if (off > size_ || len > size_ - off) throw TDamaged{};
    std::string& piece = pieces_.emplace_back(static_cast<size_t>(len), '\0');
    if (len > 0 && file_.Read(off, piece.data(), piece.size()) != static_cast<int64_t>(len))
      throw TDamaged{};
    return TView(piece.data(), piece.size());
  }

 private:
  TWinFile& file_;
  uint64_t size_;
  std::deque<std::string> pieces_;  // views handed out stay valid
};

struct TSection {
  uint32_t VirtualAddress;
  uint32_t VirtualSize;
  uint32_t RawSize;
  uint32_t RawPointer;
};

constexpr uint32_t kRtVersion = 16;
constexpr uint32_t kHighBit = 0x80000000u;
constexpr uint16_t kMaxSections = 96;  // the loader's own limit

// The bytes from `rva` to the end of the section holding it, bounded by the
// file and by `want`.
TView MapRva(TImage& file, const std::vector<TSection>& sections, uint32_t rva, uint32_t want) {
  for (const TSection& s : sections) {
    const uint32_t extent = s.VirtualSize != 0 ? s.VirtualSize : s.RawSize;
    if (rva < s.VirtualAddress || rva - s.VirtualAddress >= extent) continue;
    const uint32_t delta = rva - s.VirtualAddress;
    if (delta >= s.RawSize) throw TDamaged{};  // not backed by file bytes
    const uint64_t start = uint64_t{s.RawPointer} + delta;
    if (start >= file.Size()) throw TDamaged{};
    uint64_t len = uint64_t{s.RawSize} - delta;
    if (len > file.Size() - start) len = file.Size() - start;
    if (len > want) len = want;
    return file.Read(start, len);
  }
  throw TDamaged{};
}

// Entry `index` of the resource directory at `dirOff` in `rsrc`: (name, offset).
std::pair<uint32_t, uint32_t> DirEntry(const TView& rsrc, uint32_t dirOff, uint32_t index) {
  const uint64_t off = uint64_t{dirOff} + 16 + uint64_t{index} * 8;
  if (off + 8 > rsrc.Size()) throw TDamaged{};
  return {rsrc.U32(static_cast<size_t>(off)), rsrc.U32(static_cast<size_t>(off) + 4)};
}

uint32_t EntryCount(const TView& rsrc, uint32_t dirOff) {
  const uint32_t n = uint32_t{rsrc.U16(size_t{dirOff} + 12)} + rsrc.U16(size_t{dirOff} + 14);
  // The entries must lie inside the section.
  if (!rsrc.Has(size_t{dirOff} + 16, size_t{n} * 8)) throw TDamaged{};
  return n;
}

// The subdirectory an entry points at; an entry that points at data is damage here.
uint32_t SubDirectory(uint32_t offset) {
  if (!(offset & kHighBit)) throw TDamaged{};
  return offset & ~kHighBit;
}

// The raw version block: type 16, first name, first language, its data entry.
// The walk is three levels by construction, so a directory that points back
// at itself or an ancestor ends in damage (a subdirectory where data must be).
TView FindVersionBlock(TImage& file) {
  if (file.Size() < 0x40 || file.U16(0) != 0x5A4D) throw TDamaged{};  // "MZ"
  const uint32_t pe = file.U32(0x3C);
  if (file.U32(pe) != 0x00004550) throw TDamaged{};  // "PE\0\0"
  const TView coff = file.Read(uint64_t{pe} + 4, 20);
  const uint16_t sectionCount = coff.U16(2);
  const uint16_t optSize = coff.U16(16);
  const uint64_t opt = uint64_t{pe} + 24;
  const TView optional = file.Read(opt, optSize);
  size_t countOff, dirOff;
  switch (optional.U16(0)) {
    case 0x10B: countOff = 92; dirOff = 96; break;
    case 0x20B: countOff = 108; dirOff = 112; break;
    default: throw TDamaged{};
  }
  if (optional.U32(countOff) <= 2) throw TDamaged{};
  const uint32_t rsrcRva = optional.U32(dirOff + 2 * 8);
  const uint32_t rsrcSize = optional.U32(dirOff + 2 * 8 + 4);
  if (rsrcRva == 0 || rsrcSize == 0) throw TDamaged{};
  if (sectionCount == 0 || sectionCount > kMaxSections) throw TDamaged{};
  const TView table = file.Read(opt + optSize, size_t{sectionCount} * 40);
  std::vector<TSection> sections;
  sections.reserve(sectionCount);
  for (size_t i = 0; i < sectionCount; ++i) {
    const size_t s = i * 40;
    sections.push_back({table.U32(s + 12), table.U32(s + 8), table.U32(s + 16), table.U32(s + 20)});
  }
  const TView rsrc = MapRva(file, sections, rsrcRva, rsrcSize);

  // Level 1: the id entry for type 16.
  uint32_t typeDir = 0;
  bool found = false;
  for (uint32_t i = 0, n = EntryCount(rsrc, 0); i < n && !found; ++i) {
    const auto [name, offset] = DirEntry(rsrc, 0, i);
    if (!(name & kHighBit) && name == kRtVersion) {
      typeDir = SubDirectory(offset);
      found = true;
    }
  }
  if (!found) throw TDamaged{};
  // Level 2: the first name; level 3: its first language.
  if (EntryCount(rsrc, typeDir) == 0) throw TDamaged{};
  const uint32_t nameDir = SubDirectory(DirEntry(rsrc, typeDir, 0).second);
  if (EntryCount(rsrc, nameDir) == 0) throw TDamaged{};
  const uint32_t dataEntry = DirEntry(rsrc, nameDir, 0).second;
  if (dataEntry & kHighBit) throw TDamaged{};
  const uint32_t dataRva = rsrc.U32(dataEntry);
  const uint32_t dataSize = rsrc.U32(size_t{dataEntry} + 4);
  const TView data = MapRva(file, sections, dataRva, dataSize);
  if (data.Size() < dataSize) throw TDamaged{};
  return data;
}

constexpr size_t Align4(size_t off) { return (off + 3) & ~size_t{3}; }

// One node of the version block: wLength, wValueLength, wType, key, value,
// children, each on 32-bit alignment from the block's start.
struct TNode {
  std::u16string Key;
  size_t ValueOff = 0;
  size_t ValueBytes = 0;
  size_t ChildrenOff = 0;
  size_t End = 0;
};

std::u16string ReadText(const TView& block, size_t off, size_t end) {
  std::u16string text;
  while (off + 2 <= end) {
    const char16_t c = block.U16(off);
    if (c == 0) break;
    text.push_back(c);
    off += 2;
  }
  return text;
}

TNode ReadNode(const TView& block, size_t off, size_t limit) {
  const uint16_t length = block.U16(off);
  const uint16_t valueLength = block.U16(off + 2);
  const uint16_t type = block.U16(off + 4);
  if (length < 6 || off + length > limit) throw TDamaged{};
  TNode node;
  node.End = off + length;
  size_t p = off + 6;
  while (true) {
    if (p + 2 > node.End) throw TDamaged{};  // key without its terminator
    const char16_t c = block.U16(p);
    p += 2;
    if (c == 0) break;
    node.Key.push_back(c);
  }
  node.ValueOff = Align4(p);
  // Text values count 16-bit units, binary values bytes.
  node.ValueBytes = type == 1 ? size_t{valueLength} * 2 : valueLength;
  if (node.ValueOff > node.End) node.ValueOff = node.End;
  if (node.ValueBytes > node.End - node.ValueOff) node.ValueBytes = node.End - node.ValueOff;
  node.ChildrenOff = node.ValueBytes ? Align4(node.ValueOff + node.ValueBytes) : node.ValueOff;
  return node;
}

// Calls `each` for every child of `parent`.
template <class F>
void ForChildren(const TView& block, const TNode& parent, F each) {
  size_t off = parent.ChildrenOff;
  while (off + 6 <= parent.End) {
    const TNode child = ReadNode(block, off, parent.End);
    each(child);
    off = Align4(child.End);  // advances at least 6 bytes: no walk can loop
  }
}

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

bool ParseTableKey(const std::u16string& key, uint16_t& language, uint16_t& codePage) {
  if (key.size() != 8) return false;
  uint32_t v = 0;
  for (char16_t c : key) {
    const int d = HexDigit(c);
    if (d < 0) return false;
    v = v << 4 | static_cast<uint32_t>(d);
  }
  language = static_cast<uint16_t>(v >> 16);
  codePage = static_cast<uint16_t>(v);
  return true;
}

void ParseBlock(const TView& block, TVersionData& out) {
  const TNode root = ReadNode(block, 0, block.Size());
  if (root.Key != u"VS_VERSION_INFO") throw TDamaged{};
  if (root.ValueBytes >= 52 && block.U32(root.ValueOff) == VS_FFI_SIGNATURE) {
    uint32_t* fields[] = {&out.Fixed.Signature, &out.Fixed.StrucVersion, &out.Fixed.FileVersionMS,
                          &out.Fixed.FileVersionLS, &out.Fixed.ProductVersionMS,
                          &out.Fixed.ProductVersionLS, &out.Fixed.FileFlagsMask, &out.Fixed.FileFlags,
                          &out.Fixed.FileOS, &out.Fixed.FileType, &out.Fixed.FileSubtype,
                          &out.Fixed.FileDateMS, &out.Fixed.FileDateLS};
    for (size_t i = 0; i < std::size(fields); ++i) *fields[i] = block.U32(root.ValueOff + i * 4);
    out.HasFixed = true;
  }
  ForChildren(block, root, [&](const TNode& info) {
    if (info.Key == u"StringFileInfo") {
      ForChildren(block, info, [&](const TNode& table) {
        TVersionStringTable t;
        if (!ParseTableKey(table.Key, t.Language, t.CodePage)) return;
        ForChildren(block, table, [&](const TNode& value) {
          t.Values.emplace_back(value.Key, ReadText(block, value.ValueOff, value.End));
        });
        out.Tables.push_back(std::move(t));
      });
    } else if (info.Key == u"VarFileInfo") {
      ForChildren(block, info, [&](const TNode& var) {
        if (var.Key != u"Translation") return;
        for (size_t p = var.ValueOff; p + 4 <= var.ValueOff + var.ValueBytes; p += 4)
          out.Translations.emplace_back(block.U16(p), block.U16(p + 2));
      });
    }
  });
}

}  // namespace

const std::u16string* TVersionStringTable::Find(std::u16string_view key) const {
  for (const auto& [k, v] : Values)
    if (k == key) return &v;
  return nullptr;
}

const TVersionStringTable* TVersionData::FindTable(uint16_t language, uint16_t codePage) const {
  for (const TVersionStringTable& t : Tables)
    if (t.Language == language && t.CodePage == codePage) return &t;
  return nullptr;
}

TVersionData ParseVersionResource(std::string_view image) {
  TVersionData out;
  try {
    TMemoryImage file(image);
    ParseBlock(FindVersionBlock(file), out);
  } catch (const TDamaged&) {
    return TVersionData{};
  }
  return out;
}

bool WinReadVersionResource(const std::string& path, TVersionData& data) {
  const std::unique_ptr<TWinFile> file =
      TWinFile::Open(path, TFileAccess::Read, TFileShare::DenyNone);
  if (!file) return false;
  const int64_t size = file->Size();
  if (size < 0) return false;
  data = TVersionData{};
  try {
    TFileImage image(*file, static_cast<uint64_t>(size));
    ParseBlock(FindVersionBlock(image), data);
  } catch (const TDamaged&) {
    data = TVersionData{};
  }
  return true;
}

}  // namespace os
