#include "installer/engine/versions/version_resource.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "installer/engine/base/orln_exceptions.h"
#include "os/testing/pe_image_builder.h"
#include "os/testing/test_machine.h"
#include "os/win_file.h"

namespace orln {
namespace {

using os::test::BuildPeImage;
using os::test::TPeSpec;

std::string Image(const std::string& fileVersion, bool pe64 = false,
                  std::vector<std::pair<uint16_t, uint16_t>> translations = {{0x407, 1252}}) {
  TPeSpec spec;
  spec.Pe64 = pe64;
  spec.Tables = {
      {u"040704E4",
       {{u"CompanyName", u"Tavrin GmbH \u00e4\u20ac\u4e00"}, {u"FileVersion", u"4.0.1381.7"}}},
      {u"040904e4", {{u"CompanyName", u"Tavrin"}, {u"FileVersion", std::u16string(fileVersion.begin(), fileVersion.end())},
                     {u"LegalTrademarks", u"TM"}, {u"OriginalFilename", u"tool.dll"}, {u"Comments", u"c"}}}};
  spec.Translations = std::move(translations);
  return BuildPeImage(spec).Bytes;
}

class VersionResourceTest : public os::test::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    ASSERT_TRUE(os::WinForceDirectories("C:\\App"));
  }
  void Put(const std::string& path, const std::string& bytes, double date) {
    ASSERT_TRUE(os::WinWriteWholeFile(path, bytes));
    ASSERT_TRUE(os::WinSetFileDate(path, date));
  }
};

TEST(VersionTables, LanguagesAndCodePages) {
  EXPECT_EQ(version::LanguageId(version::lnArabic), 0x0401);
  EXPECT_EQ(version::LanguageId(version::lnUSEnglish), 0x0409);
  EXPECT_EQ(version::LanguageId(version::lnBahasa), 0x0421);
  EXPECT_EQ(version::LanguageId(version::lnSimplifiedChinese), 0x0804);
  EXPECT_EQ(version::LanguageId(version::lnSwissFrench), 0x100C);
  EXPECT_EQ(version::CodePage(version::csASCII), 0);
  EXPECT_EQ(version::CodePage(version::csMultilingual), 1252);
  EXPECT_EQ(version::CodePage(version::csUnicode), 1200);
  EXPECT_EQ(version::CodePage(version::csArabic), 1256);
}

TEST(VersionTables, FixedPartTexts) {
  EXPECT_EQ(FileOSText(0x40004), "32 bit Windows on Windows NT");
  EXPECT_EQ(FileOSText(0x40000), "Windows NT");
  EXPECT_EQ(FileOSText(0x10001), "Windows 3.0 or later on MS-Dos");
  EXPECT_EQ(FileOSText(0x4), "32 bit Windows");
  EXPECT_EQ(FileOSText(0x30003), "32 bit OS/2");
  EXPECT_EQ(FileOSText(0), "Unknown");
  EXPECT_EQ(FileOSText(0x50004), "Unknown");
  EXPECT_EQ(FileTypeText(2), "Dynamic-Link Library");
  EXPECT_EQ(FileTypeText(7), "Static-Link Library");
  EXPECT_EQ(FileTypeText(6), "Unknown");
  EXPECT_EQ(FileSubTypeText(3, 10), "Communications");
  EXPECT_EQ(FileSubTypeText(3, 11), "Unknown");
  EXPECT_EQ(FileSubTypeText(4, 3), "TrueType");
  EXPECT_EQ(FileSubTypeText(1, 3), "Unknown");
}

TEST_F(VersionResourceTest, ReadsTheTranslationTableOrTheChosenOne) {
  Put("C:\\App\\a.dll", Image("1.2"), 40000);
  Put("C:\\App\\b.dll", Image("1.2", true, {}), 40000);
  TVersionResource v;
  v.SetFileName("C:\\App\\a.dll");
  // The file's translation (German, 1252) decides; texts in Windows-1252.
  EXPECT_EQ(v.VersionInfo().CompanyName, "Tavrin GmbH \xe4\x80?");
  EXPECT_EQ(v.VersionInfo().FileVersion, "4.0.1381.7");
  EXPECT_EQ(v.VersionInfo().FileOS, "32 bit Windows on Windows NT");
  EXPECT_EQ(v.VersionInfo().FileType, "Application");
  EXPECT_EQ(v.VersionInfo().FileSubType, "Unknown");
  // Without a translation the Language and CharacterSet choose.
  v.SetFileName("C:\\App\\b.dll");
  EXPECT_EQ(v.VersionInfo().CompanyName, "Tavrin");
  EXPECT_EQ(v.VersionInfo().FileVersion, "1.2");
  EXPECT_EQ(v.VersionInfo().LegalTradeMarks, "TM");
  EXPECT_EQ(v.VersionInfo().OriginalFileName, "tool.dll");
  EXPECT_EQ(v.VersionInfo().Comment, "c");
  v.SetLanguage(version::lnGerman);
  v.SetFileName("C:\\App\\b.dll");
  EXPECT_EQ(v.VersionInfo().FileVersion, "4.0.1381.7");
  v.SetCharacterSet(version::csUnicode);
  v.SetFileName("C:\\App\\b.dll");
  EXPECT_EQ(v.VersionInfo().FileVersion, "");
  EXPECT_EQ(v.VersionInfo().FileType, "Application");
  // Missing and foreign files give blank texts.
  v.SetFileName("C:\\App\\missing.dll");
  EXPECT_EQ(v.VersionInfo().CompanyName, "");
  EXPECT_EQ(v.VersionInfo().FileOS, "");
  ASSERT_TRUE(os::WinWriteWholeFile("C:\\App\\t.txt", "text"));
  v.SetFileName("C:\\App\\t.txt");
  EXPECT_EQ(v.VersionInfo().FileType, "");
  EXPECT_EQ(&VersionResource(), &VersionResource());
}

TEST_F(VersionResourceTest, OleSelfRegister) {
  TPeSpec spec;
  spec.Tables = {{u"040904B0", {{u"OLESelfRegister", u""}}}, {u"040704E4", {}}};
  spec.Translations = {{0x409, 0x4B0}};
  ASSERT_TRUE(os::WinWriteWholeFile("C:\\App\\ole.dll", BuildPeImage(spec).Bytes));
  EXPECT_TRUE(HasOLESelfRegister("C:\\App\\ole.dll"));
  spec.Translations = {{0x407, 0x4E4}, {0x409, 0x4B0}};  // only the first translation counts
  ASSERT_TRUE(os::WinWriteWholeFile("C:\\App\\ole.dll", BuildPeImage(spec).Bytes));
  EXPECT_FALSE(HasOLESelfRegister("C:\\App\\ole.dll"));
  spec.Translations = {};
  ASSERT_TRUE(os::WinWriteWholeFile("C:\\App\\ole.dll", BuildPeImage(spec).Bytes));
  EXPECT_FALSE(HasOLESelfRegister("C:\\App\\ole.dll"));
  EXPECT_FALSE(HasOLESelfRegister("C:\\App\\none.dll"));
}

// A program image larger than 64 MiB, its resources past that mark, still
// has its version: the reader takes only the pieces the walk needs. The
// image is sparse on disk and goes with the test's machine.
TEST_F(VersionResourceTest, ImagesPast64MiBKeepTheirVersion) {
  TPeSpec spec;
  spec.Tables = {{u"040904e4", {{u"FileVersion", u"7.0.0.1"}}}};
  spec.Translations = {{0x409, 1252}};
  const os::test::TPeImage pe = BuildPeImage(spec);
  const uint64_t far = (uint64_t{64} << 20) + 0x1000;
  auto write = [&](uint64_t rawPointer) {
    std::string head = pe.Bytes.substr(0, pe.RsrcOffset);
    const uint32_t p = static_cast<uint32_t>(rawPointer);
    std::memcpy(&head[pe.SectionOffset + 20], &p, 4);
    const std::string path = OnC("App/big.dll");
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    const std::string rsrc = pe.Bytes.substr(pe.RsrcOffset);
    EXPECT_EQ(::pwrite(fd, head.data(), head.size(), 0), static_cast<ssize_t>(head.size()));
    EXPECT_EQ(::pwrite(fd, rsrc.data(), rsrc.size(), static_cast<off_t>(far)),
              static_cast<ssize_t>(rsrc.size()));
    ::close(fd);
  };
  write(far);
  ASSERT_GT(std::filesystem::file_size(OnC("App/big.dll")), uint64_t{64} << 20);
  EXPECT_EQ(ReadFileVersion("C:\\App\\big.dll"), "7.0.0.1");
  // An older archived file does not replace it.
  EXPECT_EQ(CompareWithFile("6.0", "C:\\App\\big.dll", owVersion, 0), kCompareKeep);

  // Resources said to lie past the end: no version, as for any damage.
  write(far + 0x100000);
  EXPECT_EQ(ReadFileVersion("C:\\App\\big.dll"), "");
  std::filesystem::remove(OnC("App/big.dll"));
}

TEST_F(VersionResourceTest, CompareWithFileInEveryMode) {
  const double day = 40000;
  const double second = 1.0 / 86400;
  Put("C:\\App\\tool.dll", Image("2.5", false, {{0x409, 1252}}), day);
  Put("C:\\App\\locked.dll", Image("2.5", false, {{0x409, 1252}}), day);
  ASSERT_TRUE(os::WinSetFileInUse("C:\\App\\locked.dll", true));
  const std::string existing = "C:\\App\\tool.dll";
  const std::string missing = "C:\\App\\missing.dll";
  struct Case {
    TOverwriteType mode;
    const char* version;
    const std::string* path;
    double date;
    int expected;
  } cases[] = {
      {owAlways, "1.0", &existing, day, kCompareCopy},
      {owAlways, "1.0", &missing, day, kCompareCopy},
      {owNever, "9.0", &existing, day, kCompareKeep},
      {owNever, "9.0", &missing, day, kCompareCopy},
      {owVersion, "2.5", &existing, day, kCompareSame},
      {owVersion, "2.10", &existing, day, kCompareCopy},
      {owVersion, "2.4.9", &existing, day, kCompareKeep},
      {owVersion, "1.0", &missing, day, kCompareCopy},  // a blank version loses
      {owDate, "", &existing, day + second, kCompareCopy},
      {owDate, "", &existing, day + 0.4 * second, kCompareSame},  // whole seconds
      {owDate, "", &existing, day - second, kCompareKeep},
      {owDate, "", &missing, day, kCompareUndecided},
      {owVersionDate, "2.6", &existing, day - second, kCompareCopy},
      {owVersionDate, "2.4", &existing, day + second, kCompareKeep},
      {owVersionDate, "2.5", &existing, day - second, kCompareKeep},
      {owVersionDate, "2.5", &existing, day + second, kCompareCopy},
      {owVersionDate, "2.5", &existing, day, kCompareSame},
      {owAsk, "2.5", &existing, day, kCompareAsk},
  };
  for (const Case& c : cases)
    EXPECT_EQ(CompareWithFile(c.version, *c.path, c.mode, c.date), c.expected)
        << c.mode << " " << c.version << " " << *c.path;
  // A file in use still has a date and a version to read.
  EXPECT_EQ(CompareWithFile("2.5", "C:\\App\\locked.dll", owVersionDate, day), kCompareSame);
}

TEST_F(VersionResourceTest, CompareFilesReadsBothSides) {
  const double day = 40000;
  Put("C:\\App\\new.dll", Image("3.0", false, {{0x409, 1252}}), day + 1);
  Put("C:\\App\\old.dll", Image("2.9", false, {{0x409, 1252}}), day);
  Put("C:\\App\\same.dll", Image("3.0", false, {{0x409, 1252}}), day + 1);
  EXPECT_EQ(CompareFiles("C:\\App\\new.dll", "C:\\App\\old.dll", owVersion), kCompareCopy);
  EXPECT_EQ(CompareFiles("C:\\App\\old.dll", "C:\\App\\new.dll", owVersion), kCompareKeep);
  EXPECT_EQ(CompareFiles("C:\\App\\new.dll", "C:\\App\\same.dll", owVersion), kCompareSame);
  EXPECT_EQ(CompareFiles("C:\\App\\old.dll", "C:\\App\\new.dll", owDate), kCompareKeep);
  EXPECT_EQ(CompareFiles("C:\\App\\new.dll", "C:\\App\\same.dll", owVersionDate), kCompareSame);
  EXPECT_EQ(CompareFiles("C:\\App\\new.dll", "C:\\App\\gone.dll", owNever), kCompareCopy);
  EXPECT_EQ(CompareFiles("C:\\App\\new.dll", "C:\\App\\old.dll", owNever), kCompareKeep);
  try {
    CompareFiles("C:\\App\\new.dll", "C:\\App\\gone.dll", owDate);
    FAIL() << "no error";
  } catch (const EOrlaneAbnormal& e) {
    EXPECT_EQ(e.Message(), "Cannot open C:\\App\\gone.dll in TVersionResource.IsFileNewerByName");
  }
}

}  // namespace
}  // namespace orln
