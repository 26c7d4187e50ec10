#include "os/version_resource.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "os/testing/pe_image_builder.h"
#include "os/testing/test_machine.h"
#include "os/testing/test_support.h"
#include "os/win_file.h"

namespace os {
namespace {

using test::BuildPeImage;
using test::TPeImage;
using test::TPeSpec;

TPeSpec SampleSpec(bool pe64) {
  TPeSpec spec;
  spec.Pe64 = pe64;
  spec.Tables = {{u"040904E4", {{u"CompanyName", u"Tavrin"}, {u"FileVersion", u"4.0.1381.7"}}},
                 {u"0407fde9", {{u"CompanyName", u"Tavrin GmbH \u00e4"}}}};
  spec.Translations = {{0x407, 0xFDE9}, {0x409, 1252}};
  return spec;
}

void Put32(std::string& s, size_t off, uint32_t v) { std::memcpy(&s[off], &v, 4); }
void Put16(std::string& s, size_t off, uint16_t v) { std::memcpy(&s[off], &v, 2); }

TEST(VersionResource, ReadsPe32AndPe32Plus) {
  for (bool pe64 : {false, true}) {
    SCOPED_TRACE(pe64 ? "PE32+" : "PE32");
    const TVersionData d = ParseVersionResource(BuildPeImage(SampleSpec(pe64)).Bytes);
    ASSERT_TRUE(d.HasFixed);
    EXPECT_EQ(d.Fixed.FileVersionMS, 0x00010002u);
    EXPECT_EQ(d.Fixed.FileVersionLS, 0x00030004u);
    EXPECT_EQ(d.Fixed.FileOS, 0x40004u);
    EXPECT_EQ(d.Fixed.FileType, 1u);
    ASSERT_EQ(d.Translations.size(), 2u);
    EXPECT_EQ(d.Translations[0], (std::pair<uint16_t, uint16_t>{0x407, 0xFDE9}));
    ASSERT_EQ(d.Tables.size(), 2u);
    const TVersionStringTable* us = d.FindTable(0x409, 0x4E4);
    ASSERT_NE(us, nullptr);
    ASSERT_NE(us->Find(u"FileVersion"), nullptr);
    EXPECT_EQ(*us->Find(u"FileVersion"), u"4.0.1381.7");
    EXPECT_EQ(us->Find(u"fileversion"), nullptr);
    // Keys in lower-case hex read the same.
    const TVersionStringTable* de = d.FindTable(0x407, 0xFDE9);
    ASSERT_NE(de, nullptr);
    EXPECT_EQ(*de->Find(u"CompanyName"), u"Tavrin GmbH \u00e4");
  }
}

TEST(VersionResource, PartsMayBeMissing) {
  TPeSpec spec;
  spec.WithFixed = false;
  spec.Translations = {{0x409, 1252}};
  TVersionData d = ParseVersionResource(BuildPeImage(spec).Bytes);
  EXPECT_FALSE(d.HasFixed);
  EXPECT_EQ(d.Translations.size(), 1u);
  EXPECT_TRUE(d.Tables.empty());

  // A fixed part without its signature is no fixed part; a table key that
  // is not 8 hex digits is no table.
  spec = SampleSpec(false);
  spec.Fixed.Signature = 0x12345678;
  spec.Tables.push_back({u"0409XX00", {{u"A", u"B"}}});
  d = ParseVersionResource(BuildPeImage(spec).Bytes);
  EXPECT_FALSE(d.HasFixed);
  EXPECT_EQ(d.Tables.size(), 2u);

  // An image with resources but no version resource.
  spec.ResourceType = 3;
  EXPECT_TRUE(ParseVersionResource(BuildPeImage(spec).Bytes).Empty());
}

TEST(VersionResource, NotAnImageIsEmpty) {
  for (const std::string& text : {std::string(), std::string("MZ"), std::string(4096, 'M'),
                                  std::string("MZ") + std::string(0x3E, '\0'),
                                  std::string("hello, world\r\n")})
    EXPECT_TRUE(ParseVersionResource(text).Empty());
}

TEST(VersionResource, CutAtEveryLength) {
  for (bool pe64 : {false, true}) {
    const TPeImage img = BuildPeImage(SampleSpec(pe64));
    size_t blockLength = 0;
    std::memcpy(&blockLength, &img.Bytes[img.BlockOffset], 2);
    const size_t needed = img.BlockOffset + blockLength;
    for (size_t n = 0; n < img.Bytes.size(); ++n) {
      const TVersionData d = ParseVersionResource(std::string_view(img.Bytes).substr(0, n));
      if (n < needed) {
        ASSERT_TRUE(d.Empty()) << "cut at " << n;
      } else {
        ASSERT_EQ(d.Tables.size(), 2u) << "cut at " << n;
      }
    }
  }
}

// Every byte of the headers and directories spoiled in turn, with each of a
// few values: the reader never crashes, reads out of bounds or hangs.
TEST(VersionResource, EverySpoiledByteIsSafe) {
  for (bool pe64 : {false, true}) {
    const TPeImage img = BuildPeImage(SampleSpec(pe64));
    size_t blockLength = 0;
    std::memcpy(&blockLength, &img.Bytes[img.BlockOffset], 2);
    for (size_t i = 0; i < img.BlockOffset + blockLength; ++i) {
      for (unsigned char v : {0x00, 0x01, 0x7F, 0x80, 0xFF}) {
        std::string bytes = img.Bytes;
        bytes[i] = static_cast<char>(v);
        (void)ParseVersionResource(bytes);
      }
    }
  }
}

TEST(VersionResource, SpoiledHeaderFieldsGiveEmpty) {
  const TPeImage img = BuildPeImage(SampleSpec(false));
  const size_t coff = img.PeOffset + 4;
  const size_t opt = img.OptionalOffset;
  const size_t sec = img.SectionOffset;
  const size_t rsrc = img.RsrcOffset;
  struct Case {
    const char* what;
    size_t offset;
    uint32_t value;
    int width;
  } cases[] = {
      {"MZ", 0, 0x5A4E, 2},
      {"header offset far away", 0x3C, 0x7FFFFFF0, 4},
      {"header offset past the end", 0x3C, static_cast<uint32_t>(img.Bytes.size() - 2), 4},
      {"PE signature", img.PeOffset, 0x00004551, 4},
      {"no sections", coff + 2, 0, 2},
      {"too many sections", coff + 2, 0xFFFF, 2},
      {"optional header too large", coff + 16, 0xFFFF, 2},
      {"optional header too small", coff + 16, 96, 2},
      {"magic", opt, 0x107, 2},
      {"two data directories", opt + 92, 2, 4},
      {"resource directory absent", opt + 96 + 16, 0, 4},
      {"resource directory outside every section", opt + 96 + 16, 0x9000, 4},
      {"section raw data past the end", sec + 20, 0x7FFFFF00, 4},
      {"section not backed by file bytes", sec + 16, 0, 4},
      {"root entry count past the section", rsrc + 14, 0xFFFF, 2},
      {"type entry points at data", rsrc + 20, 0x18, 4},
      {"type directory past the section", rsrc + 20, 0x8000FFF0, 4},
      {"name entry points back at the root", rsrc + img.TypeDirOffset + 20, 0x80000000, 4},
      {"language entry points at itself", rsrc + img.NameDirOffset + 20, 0x80000030, 4},
      {"language entry points at the type level", rsrc + img.NameDirOffset + 20, 0x80000018, 4},
      {"data entry past the section", rsrc + img.NameDirOffset + 20, 0x7FFFFFF0, 4},
      {"data RVA outside every section", rsrc + img.DataEntryOffset, 0x50000, 4},
      {"data size past the section", rsrc + img.DataEntryOffset + 4, 0x10000, 4},
      {"block length zero", img.BlockOffset, 0, 2},
      {"block length past the data", img.BlockOffset, 0xFFFF, 2},
      {"block key", img.BlockOffset + 6, 'W', 2},
  };
  for (const Case& c : cases) {
    std::string bytes = img.Bytes;
    if (c.width == 2)
      Put16(bytes, c.offset, static_cast<uint16_t>(c.value));
    else
      Put32(bytes, c.offset, c.value);
    EXPECT_TRUE(ParseVersionResource(bytes).Empty()) << c.what;
  }
}

TEST(VersionResource, DamagedChildNodesGiveEmpty) {
  const TPeImage img = BuildPeImage(SampleSpec(false));
  // The first child (StringFileInfo) follows the 52-byte fixed part.
  const size_t child = img.BlockOffset + 40 + 52;
  for (uint16_t length : {0, 3, 5, 0xFFFF}) {
    std::string bytes = img.Bytes;
    Put16(bytes, child, length);
    EXPECT_TRUE(ParseVersionResource(bytes).Empty()) << length;
  }
  // A key that runs to the end of its node without a terminator.
  std::string bytes = img.Bytes;
  uint16_t length = 0;
  std::memcpy(&length, &bytes[child], 2);
  for (size_t p = child + 6; p < child + length; p += 2) Put16(bytes, p, 'x');
  EXPECT_TRUE(ParseVersionResource(bytes).Empty());
}

class VersionResourceFile : public test::MachineTest {};

TEST_F(VersionResourceFile, ReadsByWindowsPath) {
  ASSERT_TRUE(WinForceDirectories("C:\\Tavrin"));
  ASSERT_TRUE(WinWriteWholeFile("C:\\Tavrin\\tool.dll", BuildPeImage(SampleSpec(true)).Bytes));
  TVersionData d;
  ASSERT_TRUE(WinReadVersionResource("c:\\tavrin\\TOOL.DLL", d));
  EXPECT_EQ(d.Tables.size(), 2u);
  ASSERT_TRUE(WinWriteWholeFile("C:\\Tavrin\\readme.txt", "plain text"));
  ASSERT_TRUE(WinReadVersionResource("C:\\Tavrin\\readme.txt", d));
  EXPECT_TRUE(d.Empty());
  EXPECT_FALSE(WinReadVersionResource("C:\\Tavrin\\missing.dll", d));
}

// Images made by a real resource compiler and linker: mingw-w64's windres
// and ld for the 32- and 64-bit targets.
class MingwImage : public ::testing::TestWithParam<const char*> {};

bool ToolPresent(const std::string& tool) {
  return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

TEST_P(MingwImage, ReadsRealImage) {
  const std::string prefix = GetParam();
  const std::string windres = prefix + "-windres";
  const std::string ld = prefix + "-ld";
  if (!ToolPresent(windres) || !ToolPresent(ld) || !ToolPresent("cpp"))
    GTEST_SKIP() << windres << ", " << ld << " or cpp is not installed";
  test::TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  test::WriteWholeFile(dir / "v.rc",
                       "1 VERSIONINFO\n"
                       "FILEVERSION 4,0,1381,7\n"
                       "PRODUCTVERSION 4,0,0,0\n"
                       "FILEFLAGSMASK 0x3f\n"
                       "FILEFLAGS 0\n"
                       "FILEOS 0x40004\n"
                       "FILETYPE 3\n"
                       "FILESUBTYPE 2\n"
                       "BEGIN\n"
                       "  BLOCK \"StringFileInfo\"\n"
                       "  BEGIN\n"
                       "    BLOCK \"040704e4\"\n"
                       "    BEGIN\n"
                       "      VALUE \"CompanyName\", \"Tavrin Test\\0\"\n"
                       "      VALUE \"FileVersion\", \"4.0.1381.7\\0\"\n"
                       "    END\n"
                       "  END\n"
                       "  BLOCK \"VarFileInfo\"\n"
                       "  BEGIN\n"
                       "    VALUE \"Translation\", 0x407, 1252\n"
                       "  END\n"
                       "END\n");
  const std::string cmd = "cd '" + dir.Path() + "' && " + windres +
                          " --preprocessor=cpp -i v.rc -o v.o >log 2>&1 && " + ld +
                          " --dll -e 0 v.o -o v.dll >>log 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << test::ReadWholeFile(dir / "log");
  const std::string image = test::ReadWholeFile(dir / "v.dll");
  const bool pe64 = prefix.rfind("x86_64", 0) == 0;
  const uint32_t pe = static_cast<unsigned char>(image.at(0x3C)) |
                      static_cast<unsigned char>(image.at(0x3D)) << 8;
  uint16_t magic = 0;
  std::memcpy(&magic, &image.at(pe + 24), 2);
  EXPECT_EQ(magic, pe64 ? 0x20B : 0x10B);

  const TVersionData d = ParseVersionResource(image);
  ASSERT_TRUE(d.HasFixed);
  EXPECT_EQ(d.Fixed.FileVersionMS, 0x00040000u);
  EXPECT_EQ(d.Fixed.FileVersionLS, (1381u << 16) | 7u);
  EXPECT_EQ(d.Fixed.FileType, 3u);
  EXPECT_EQ(d.Fixed.FileSubtype, 2u);
  ASSERT_EQ(d.Translations.size(), 1u);
  EXPECT_EQ(d.Translations[0], (std::pair<uint16_t, uint16_t>{0x407, 1252}));
  const TVersionStringTable* t = d.FindTable(0x407, 0x4E4);
  ASSERT_NE(t, nullptr);
  ASSERT_NE(t->Find(u"CompanyName"), nullptr);
  EXPECT_EQ(*t->Find(u"CompanyName"), u"Tavrin Test");
  EXPECT_EQ(*t->Find(u"FileVersion"), u"4.0.1381.7");
}

INSTANTIATE_TEST_SUITE_P(Targets, MingwImage,
                         ::testing::Values("i686-w64-mingw32", "x86_64-w64-mingw32"));

}  // namespace
}  // namespace os
