#include "os/testing/mem_file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>

#include "os/file.h"
#include "os/sys_info.h"
#include "os/testing/test_support.h"

namespace os::test {
namespace {

// The same transfers through the interface give the same bytes on the real
// file and on the twin.
TEST(MemFile, BehavesAsTheRealFile) {
  TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  std::unique_ptr<TOSFile> real = TOSFile::Create(dir / "f", TFileCreation::CreateNew);
  ASSERT_NE(real, nullptr);
  TMemFile twin;
  for (TFileIO* f : {static_cast<TFileIO*>(real.get()), static_cast<TFileIO*>(&twin)}) {
    EXPECT_EQ(f->Write(10, "abcdef", 6), 6);  // a gap of zeros before
    EXPECT_EQ(f->Size(), 16);
    char buf[32] = {};
    EXPECT_EQ(f->Read(8, buf, 32), 8);  // short at the end
    EXPECT_EQ(std::string(buf, 8), std::string("\0\0abcdef", 8));
    EXPECT_EQ(f->Read(100, buf, 4), 0);
    EXPECT_TRUE(f->SetSize(12));
    EXPECT_TRUE(f->SetSize(14));
    EXPECT_EQ(f->Read(10, buf, 8), 4);
    EXPECT_EQ(std::string(buf, 4), std::string("ab\0\0", 4));
    EXPECT_TRUE(f->Flush());
  }
  EXPECT_EQ(ReadWholeFile(dir / "f"), twin.Contents());
}

struct TFaultCase {
  TFileFaultKind kind;
  uint64_t n;
  // What the script below sees: the result of each of its three writes,
  // its two reads and its flush, and the bytes left.
  int64_t w1, w2, w3;
  int64_t r1, r2;
  bool flushed;
  std::string after;
  int error;  // errno of the failure, 0 for none
};

// The script: write "AAAA" at 0, read 4 at 0, write "BBBB" at 4 (growing),
// flush, read 4 at 4, write "CC" at 2.
class MemFileFault : public ::testing::TestWithParam<TFaultCase> {};

TEST_P(MemFileFault, StrikesAtTheNamedCall) {
  const TFaultCase& c = GetParam();
  TMemFile f;
  f.Inject(c.kind, c.n);
  SetLastOSError(0);
  char buf[4];
  EXPECT_EQ(f.Write(0, "AAAA", 4), c.w1);
  EXPECT_EQ(f.Read(0, buf, 4), c.r1);
  EXPECT_EQ(f.Write(4, "BBBB", 4), c.w2);
  EXPECT_EQ(f.Flush(), c.flushed);
  EXPECT_EQ(f.Read(4, buf, 4), c.r2);
  EXPECT_EQ(f.Write(2, "CC", 2), c.w3);
  EXPECT_EQ(f.Contents(), c.after);
  EXPECT_EQ(GetLastOSError(), c.error);
  EXPECT_EQ(f.Fired(), c.kind != fkNone);
  EXPECT_EQ(f.Writes(), 3u);
  EXPECT_EQ(f.Reads(), 2u);
  EXPECT_EQ(f.Flushes(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MemFileFault,
    ::testing::Values(TFaultCase{fkNone, 0, 4, 4, 2, 4, 4, true, "AACCBBBB", 0},
                      TFaultCase{fkShortWrite, 2, 4, 2, 2, 4, 2, true, "AACCBB", 0},
                      TFaultCase{fkWriteError, 1, -1, 4, 2, 0, 4, true,
                                 std::string("\0\0CCBBBB", 8), EIO},
                      TFaultCase{fkReadError, 2, 4, 4, 2, 4, -1, true, "AACCBBBB", EIO},
                      TFaultCase{fkFlushError, 1, 4, 4, 2, 4, 4, false, "AACCBBBB", EIO},
                      // Full at the second write: it would grow the file and fails; the
                      // third lies inside and lands.
                      TFaultCase{fkDiskFull, 2, 4, -1, 2, 4, 0, true, "AACC", ENOSPC},
                      // The first write lands, the rest are lost though reported done.
                      TFaultCase{fkCrash, 1, 4, 4, 2, 4, 0, true, "AAAA", 0}),
    [](const ::testing::TestParamInfo<TFaultCase>& info) {
      std::string name = FileFaultName(info.param.kind);
      for (char& ch : name)
        if (ch == ' ') ch = '_';
      return name;
    });

TEST(MemFile, HealEndsALastingFault) {
  TMemFile f("xy");
  f.Inject(fkDiskFull, 1);
  EXPECT_EQ(f.Write(2, "z", 1), -1);
  EXPECT_FALSE(f.SetSize(3));
  EXPECT_EQ(f.Write(0, "a", 1), 1);
  f.Heal();
  EXPECT_EQ(f.Write(2, "z", 1), 1);
  f.Inject(fkCrash, 0);
  EXPECT_EQ(f.Write(0, "q", 1), 1);
  EXPECT_TRUE(f.SetSize(0));
  EXPECT_EQ(f.Contents(), "ayz");
  f.Heal();
  EXPECT_EQ(f.Write(0, "q", 1), 1);
  EXPECT_EQ(f.Contents(), "qyz");
}

}  // namespace
}  // namespace os::test
