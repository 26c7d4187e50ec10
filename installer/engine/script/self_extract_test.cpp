#include "installer/engine/script/self_extract.h"

#include <gtest/gtest.h>

#include <cstring>

#include "host/rtl/le_bytes.h"
#include "installer/engine/script/install_file.h"

namespace orln {
namespace {

TSelfExtractTrailer Offsets(int32_t s0, int32_t s1, int32_t f0, int32_t f1) {
  TSelfExtractTrailer t;
  t.SelfExtracting = true;
  t.SetupStart = s0;
  t.SetupEnd = s1;
  t.FilesStart = f0;
  t.FilesEnd = f1;
  return t;
}

// A file of `body` bytes, then the trailer.
bool Parses(const TSelfExtractTrailer& t, int64_t body) {
  TSelfExtractTrailer out;
  return ParseTrailer(MakeTrailer(t), body + int64_t(kTrailerSize), out);
}

TEST(SelfExtractTrailer, OffsetsMustLieInsideTheFileAndInOrder) {
  EXPECT_TRUE(Parses(Offsets(100, 149, 150, 189), 190));
  EXPECT_TRUE(Parses(Offsets(100, 149, 0, 0), 150));  // no "files.1"
  EXPECT_TRUE(Parses(TSelfExtractTrailer(), 10));     // NOTSELFEXTRACT
  EXPECT_FALSE(Parses(Offsets(100, 149, 150, 190), 190));  // into the trailer
  EXPECT_FALSE(Parses(Offsets(100, 149, 140, 189), 190));  // overlapping
  EXPECT_FALSE(Parses(Offsets(150, 149, 150, 189), 190));  // backwards
  EXPECT_FALSE(Parses(Offsets(0, 149, 150, 189), 190));    // no loader
  EXPECT_FALSE(Parses(Offsets(-5, 149, 150, 189), 190));
  EXPECT_FALSE(Parses(Offsets(100, 149, 150, INT32_MAX), 190));
  TSelfExtractTrailer stray;
  stray.FilesEnd = 3;  // NOTSELFEXTRACT with an offset
  EXPECT_FALSE(Parses(stray, 10));

  std::string bad = MakeTrailer(Offsets(100, 149, 0, 0));
  bad[0] = 15;  // longer than a marker may be
  TSelfExtractTrailer out;
  EXPECT_FALSE(ParseTrailer(bad, 206, out));
  bad = MakeTrailer(Offsets(100, 149, 0, 0));
  bad[3] = 'x';
  EXPECT_FALSE(ParseTrailer(bad, 206, out));
  EXPECT_FALSE(ParseTrailer(MakeTrailer(TSelfExtractTrailer()), 40, out));  // shorter than a trailer
}

std::string Record(int32_t size, const std::string& name, const std::string& version) {
  std::string r(kArchiveSummarySize, '\0');
  host::PutU32(r.data(), static_cast<uint32_t>(size));
  const double date = 45000.25;
  std::memcpy(r.data() + 8, &date, 8);
  std::memcpy(r.data() + 16, name.data(), std::min<size_t>(name.size(), 40));
  std::memcpy(r.data() + 56, version.data(), std::min<size_t>(version.size(), 24));
  return r;
}

std::string List(int32_t count, const std::string& records) {
  std::string s(4, '\0');
  host::PutU32(s.data(), static_cast<uint32_t>(count));
  return s + records;
}

TEST(RemoteFileList, CountsAndNamesAreBoundedByTheFile) {
  std::vector<TRemoteFileEntry> e;
  ASSERT_TRUE(ParseRemoteFileList(List(2, Record(7, "IF1", "1.2.3.4") + Record(9, "Readme", "")), e));
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0].Name, "IF1");
  EXPECT_EQ(e[0].Size, 7);
  EXPECT_EQ(e[0].Date, 45000.25);
  EXPECT_EQ(e[0].Version, "1.2.3.4");
  EXPECT_EQ(e[1].Name, "Readme");
  // A version is at most 20 characters.
  ASSERT_TRUE(ParseRemoteFileList(List(1, Record(1, "A", std::string(24, 'v'))), e));
  EXPECT_EQ(e[0].Version, std::string(20, 'v'));

  EXPECT_FALSE(ParseRemoteFileList("", e));
  EXPECT_FALSE(ParseRemoteFileList(List(-1, ""), e));
  EXPECT_FALSE(ParseRemoteFileList(List(2, Record(7, "IF1", "")), e));  // a record short
  EXPECT_FALSE(ParseRemoteFileList(List(INT32_MAX, Record(7, "IF1", "")), e));
  EXPECT_FALSE(ParseRemoteFileList(List(1, Record(7, std::string(40, 'n'), "")), e));  // no end
  ASSERT_TRUE(ParseRemoteFileList(List(0, ""), e));
  EXPECT_TRUE(e.empty());
}

TEST(BuildInf, TheFirstLineIsTheBuildDirectory) {
  std::string dir;
  EXPECT_FALSE(ParseBuildInf("", dir));
  ASSERT_TRUE(ParseBuildInf("C:\\My Build\r\nrest", dir));
  EXPECT_EQ(dir, "C:\\My Build");
  ASSERT_TRUE(ParseBuildInf("C:\\Out", dir));
  EXPECT_EQ(dir, "C:\\Out");
  ASSERT_TRUE(ParseBuildInf("\n", dir));
  EXPECT_EQ(dir, "");
}

}  // namespace
}  // namespace orln
