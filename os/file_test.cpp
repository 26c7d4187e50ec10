#include "os/file.h"

#include <fcntl.h>
#include <signal.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "os/sys_info.h"
#include "os/testing/mem_file.h"
#include "os/testing/test_support.h"

namespace os {
namespace {

using test::ReadWholeFile;
using test::RunInChild;
using test::WriteWholeFile;

class FileTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.Ok()); }
  std::string PathOf(const std::string& name) const { return dir_ / name; }

  test::TTempDir dir_;
};

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// --- handles ----------------------------------------------------------------

TEST_F(FileTest, HandlesHaveDistinctIdsEvenOnDescriptorZero) {
  const std::string path = PathOf("a");
  WriteWholeFile(path, "abc");
  // Free descriptor 0 so that the next open gets it; a handle on it must still
  // be a real handle with an id and work as any other.
  const int savedStdin = dup(0);
  ASSERT_GE(savedStdin, 0);
  close(0);
  auto onZero = TOSFile::Open(path, TFileAccess::Read, TFileShare::DenyNone);
  const bool tookZero = fcntl(0, F_GETFD) != -1;
  if (onZero == nullptr || !tookZero) dup2(savedStdin, 0);
  ASSERT_NE(onZero, nullptr);
  ASSERT_TRUE(tookZero);
  auto other = TOSFile::Open(path, TFileAccess::Read, TFileShare::DenyNone);
  ASSERT_NE(other, nullptr);
  EXPECT_GE(onZero->Id(), 1u);
  EXPECT_GE(other->Id(), 1u);
  EXPECT_NE(onZero->Id(), other->Id());
  char buf[3];
  EXPECT_EQ(other->Read(0, buf, 3), 3);
  onZero.reset();
  // The handle closed what it held: descriptor 0 is free again.
  EXPECT_EQ(fcntl(0, F_GETFD), -1);
  dup2(savedStdin, 0);
  close(savedStdin);
}

TEST_F(FileTest, OpenRefusesMissingFilesDirectoriesAndNulInPath) {
  EXPECT_EQ(TOSFile::Open(PathOf("missing"), TFileAccess::Read, TFileShare::DenyNone), nullptr);
  EXPECT_EQ(GetLastOSError(), ENOENT);
  EXPECT_EQ(TOSFile::Open(dir_.Path(), TFileAccess::Read, TFileShare::DenyNone), nullptr);
  EXPECT_EQ(GetLastOSError(), EISDIR);

  WriteWholeFile(PathOf("x"), "keep");
  const std::string cut = PathOf("x") + std::string(1, '\0') + "tail";
  EXPECT_EQ(TOSFile::Create(cut, TFileCreation::CreateAlways), nullptr);
  EXPECT_EQ(GetLastOSError(), EINVAL);
  EXPECT_FALSE(DeleteFile(cut));
  EXPECT_EQ(ReadWholeFile(PathOf("x")), "keep");
}

TEST_F(FileTest, CreateNewAndCreateAlways) {
  const std::string path = PathOf("c");
  auto f = TOSFile::Create(path, TFileCreation::CreateNew);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->Access(), TFileAccess::ReadWrite);
  EXPECT_EQ(f->Share(), TFileShare::Exclusive);
  EXPECT_EQ(f->Write(0, "12345", 5), 5);
  f.reset();

  EXPECT_EQ(TOSFile::Create(path, TFileCreation::CreateNew), nullptr);
  EXPECT_EQ(GetLastOSError(), EEXIST);
  EXPECT_EQ(ReadWholeFile(path), "12345");

  f = TOSFile::Create(path, TFileCreation::CreateAlways);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->Size(), 0);
  // Exclusive while open.
  EXPECT_EQ(TOSFile::Open(path, TFileAccess::Read, TFileShare::DenyNone), nullptr);
  EXPECT_TRUE(IsSharingViolation(GetLastOSError()));
}

TEST_F(FileTest, CreateAlwaysNeverEmptiesAFileOpenElsewhere) {
  const std::string path = PathOf("busy");
  WriteWholeFile(path, "precious");
  auto reader = TOSFile::Open(path, TFileAccess::Read, TFileShare::DenyNone);
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(TOSFile::Create(path, TFileCreation::CreateAlways), nullptr);
  EXPECT_TRUE(IsSharingViolation(GetLastOSError()));
  EXPECT_EQ(ReadWholeFile(path), "precious");
}

// --- reads and writes ---------------------------------------------------------

TEST_F(FileTest, ShortReadAtEndAndZeroFillPastEnd) {
  auto f = TOSFile::Create(PathOf("rw"), TFileCreation::CreateNew);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->Write(0, "hello", 5), 5);

  char buf[16];
  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(f->Read(3, buf, 10), 2);  // only "lo" is there
  EXPECT_EQ(std::string(buf, 2), "lo");
  EXPECT_EQ(f->Read(5, buf, 10), 0);
  EXPECT_EQ(f->Read(1000, buf, 10), 0);

  EXPECT_EQ(f->Write(100, "end", 3), 3);
  EXPECT_EQ(f->Size(), 103);
  char gap[95];
  std::memset(gap, 'x', sizeof gap);
  EXPECT_EQ(f->Read(5, gap, sizeof gap), 95);
  for (char c : gap) ASSERT_EQ(c, '\0');
}

// A gathered write lands its pieces back to back, across the batches one
// system call takes and over pieces of no bytes; the in-memory twin writes
// them one by one, so that a fault on its n-th write hits the n-th piece.
TEST_F(FileTest, GatheredWritesLandBackToBack) {
  auto f = TOSFile::Create(PathOf("gather"), TFileCreation::CreateNew);
  ASSERT_NE(f, nullptr);
  std::vector<std::string> chunks;
  for (int i = 0; i < 150; ++i) chunks.push_back(std::string(static_cast<size_t>(i % 7) * 3, static_cast<char>('a' + i % 26)));
  std::vector<TIoPiece> pieces;
  std::string expected;
  for (const std::string& c : chunks) {
    pieces.push_back({c.data(), c.size()});
    expected += c;
  }
  EXPECT_EQ(f->WriteGather(10, pieces.data(), pieces.size()),
            static_cast<int64_t>(expected.size()));
  EXPECT_EQ(ReadWholeFile(PathOf("gather")), std::string(10, '\0') + expected);
  EXPECT_EQ(f->WriteGather(0, pieces.data(), 0), 0);

  test::TMemFile twin;
  const TIoPiece three[] = {{"abc", 3}, {"defg", 4}, {"hi", 2}};
  EXPECT_EQ(twin.WriteGather(0, three, 3), 9);
  EXPECT_EQ(twin.Contents(), "abcdefghi");
  twin.Inject(test::fkShortWrite, 2);
  EXPECT_EQ(twin.WriteGather(0, three, 3), 5);  // "abc" and half of "defg"
  twin.Inject(test::fkWriteError, 1);
  EXPECT_EQ(twin.WriteGather(0, three, 3), -1);
}

// A long gathered write goes out in several calls, cut at fixed boundaries
// of the file that fall inside pieces: every byte still lands once, in
// order, from an offset on no boundary and over pieces of no bytes.
TEST_F(FileTest, LongGatheredWritesLandWhole) {
  auto f = TOSFile::Create(PathOf("long"), TFileCreation::CreateNew);
  ASSERT_NE(f, nullptr);
  std::vector<std::string> chunks;
  for (int i = 0; i < 90; ++i)
    chunks.push_back(std::string(i % 5 == 4 ? 0 : static_cast<size_t>(1000 + i * 97),
                                 static_cast<char>('A' + i % 26)));
  std::vector<TIoPiece> pieces;
  std::string expected;
  for (const std::string& c : chunks) {
    pieces.push_back({c.data(), c.size()});
    expected += c;
  }
  ASSERT_GT(expected.size(), size_t{300} << 10);
  const uint64_t from = (16 << 10) - 77;
  EXPECT_EQ(f->WriteGather(from, pieces.data(), pieces.size()),
            static_cast<int64_t>(expected.size()));
  EXPECT_EQ(ReadWholeFile(PathOf("long")), std::string(from, '\0') + expected);
  // Again over the same bytes, pieces of page size from a boundary.
  std::vector<std::string> pages;
  for (int i = 0; i < 70; ++i) pages.push_back(std::string(4096, static_cast<char>('a' + i % 26)));
  pieces.clear();
  std::string paged;
  for (const std::string& p : pages) {
    pieces.push_back({p.data(), p.size()});
    paged += p;
  }
  EXPECT_EQ(f->WriteGather(8192, pieces.data(), pieces.size()), static_cast<int64_t>(paged.size()));
  std::string whole = std::string(from, '\0') + expected;
  whole.replace(8192, paged.size(), paged);
  EXPECT_EQ(ReadWholeFile(PathOf("long")), whole);
}

// A long gathered write that meets the file size limit part way (a short
// call, then a refused one) reports the failure, and what it wrote before
// the limit is its own bytes in order, wherever the limit falls against the
// boundaries its calls are cut at.
TEST_F(FileTest, LongGatheredWriteStoppedByTheSizeLimitFails) {
  std::vector<std::string> chunks;
  for (int i = 0; i < 40; ++i) chunks.push_back(std::string(static_cast<size_t>(1500 + i * 131), static_cast<char>('A' + i % 26)));
  std::vector<TIoPiece> pieces;
  std::string expected;
  for (const std::string& c : chunks) {
    pieces.push_back({c.data(), c.size()});
    expected += c;
  }
  constexpr uint64_t kFrom = 5000;
  // Inside a cut call, on a boundary, and one byte past one.
  for (const uint64_t limit : {uint64_t{40000}, uint64_t{32768}, uint64_t{49153}}) {
    const std::string path = PathOf("limited" + std::to_string(limit));
    const int code = RunInChild([&] {
      signal(SIGXFSZ, SIG_IGN);
      const rlimit lim{limit, limit};
      if (setrlimit(RLIMIT_FSIZE, &lim) != 0) return 2;
      auto f = TOSFile::Create(path, TFileCreation::CreateNew);
      if (!f) return 3;
      if (f->WriteGather(kFrom, pieces.data(), pieces.size()) != -1) return 4;
      if (GetLastOSError() != EFBIG) return 5;
      // Within the limit it goes whole.
      if (f->WriteGather(0, pieces.data(), 2) != static_cast<int64_t>(chunks[0].size() + chunks[1].size())) return 6;
      return 0;
    });
    ASSERT_EQ(code, 0) << limit;
    const std::string got = ReadWholeFile(path);
    ASSERT_EQ(got.size(), limit);
    EXPECT_EQ(got.substr(0, chunks[0].size() + chunks[1].size()), chunks[0] + chunks[1]) << limit;
    EXPECT_EQ(got.substr(kFrom), expected.substr(0, limit - kFrom)) << limit;
  }
}

TEST_F(FileTest, OffsetsBeyondFourGiB) {
  auto f = TOSFile::Create(PathOf("big"), TFileCreation::CreateNew);
  ASSERT_NE(f, nullptr);
  const uint64_t far = (uint64_t{5} << 30) + 7;  // sparse: costs no disk space
  ASSERT_EQ(f->Write(far, "far", 3), 3);
  EXPECT_EQ(f->Size(), static_cast<int64_t>(far + 3));
  char buf[4] = {};
  EXPECT_EQ(f->Read(far - 1, buf, 4), 4);
  EXPECT_EQ(std::string(buf, 4), std::string("\0far", 4));
  // A position that wraps when taken as uint32 must not alias the start.
  char head = 'x';
  EXPECT_EQ(f->Read(uint64_t{1} << 32, &head, 1), 1);
  EXPECT_EQ(head, '\0');
}

TEST_F(FileTest, TransfersOutsideSignedOffsetsAreRefused) {
  auto f = TOSFile::Create(PathOf("r"), TFileCreation::CreateNew);
  ASSERT_NE(f, nullptr);
  char buf[2] = {};
  EXPECT_EQ(f->Read(uint64_t{1} << 63, buf, 1), -1);
  EXPECT_EQ(GetLastOSError(), EINVAL);
  EXPECT_EQ(f->Write((uint64_t{1} << 63) - 1, buf, 2), -1);
  EXPECT_EQ(GetLastOSError(), EINVAL);
  EXPECT_FALSE(f->SetSize(uint64_t{1} << 63));
  EXPECT_EQ(f->Size(), 0);
}

TEST_F(FileTest, AccessModeIsEnforced) {
  const std::string path = PathOf("m");
  WriteWholeFile(path, "data");
  char buf[4];
  auto ro = TOSFile::Open(path, TFileAccess::Read, TFileShare::DenyNone);
  ASSERT_NE(ro, nullptr);
  EXPECT_EQ(ro->Write(0, "x", 1), -1);
  EXPECT_EQ(GetLastOSError(), EBADF);
  auto wo = TOSFile::Open(path, TFileAccess::Write, TFileShare::DenyNone);
  ASSERT_NE(wo, nullptr);
  EXPECT_EQ(wo->Read(0, buf, 4), -1);
  EXPECT_EQ(GetLastOSError(), EBADF);
  EXPECT_EQ(wo->Write(0, "D", 1), 1);
  EXPECT_EQ(ro->Read(0, buf, 4), 4);
  EXPECT_EQ(std::string(buf, 4), "Data");
}

TEST_F(FileTest, SetSizeCutsAndExtendsWithZeros) {
  auto f = TOSFile::Create(PathOf("s"), TFileCreation::CreateNew);
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(f->Write(0, "abcdef", 6), 6);
  ASSERT_TRUE(f->SetSize(2));
  EXPECT_EQ(f->Size(), 2);
  ASSERT_TRUE(f->SetSize(8));
  char buf[8];
  ASSERT_EQ(f->Read(0, buf, 8), 8);
  EXPECT_EQ(std::string(buf, 8), std::string("ab\0\0\0\0\0\0", 8));
  EXPECT_TRUE(f->Flush());
}

// --- share modes --------------------------------------------------------------

TEST_F(FileTest, ShareModesInOneProcess) {
  const std::string path = PathOf("share");
  WriteWholeFile(path, "x");
  {
    auto ex = TOSFile::Open(path, TFileAccess::ReadWrite, TFileShare::Exclusive);
    ASSERT_NE(ex, nullptr);
    EXPECT_EQ(TOSFile::Open(path, TFileAccess::Read, TFileShare::DenyNone), nullptr);
    EXPECT_TRUE(IsSharingViolation(GetLastOSError()));
    EXPECT_EQ(TOSFile::Open(path, TFileAccess::Read, TFileShare::Exclusive), nullptr);
    EXPECT_TRUE(IsSharingViolation(GetLastOSError()));
  }
  auto a = TOSFile::Open(path, TFileAccess::ReadWrite, TFileShare::DenyNone);
  auto b = TOSFile::Open(path, TFileAccess::Read, TFileShare::DenyNone);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(TOSFile::Open(path, TFileAccess::ReadWrite, TFileShare::Exclusive), nullptr);
  EXPECT_TRUE(IsSharingViolation(GetLastOSError()));
  a.reset();
  b.reset();
  EXPECT_NE(TOSFile::Open(path, TFileAccess::ReadWrite, TFileShare::Exclusive), nullptr);
  EXPECT_FALSE(IsSharingViolation(ENOENT));
}

TEST_F(FileTest, ShareModesAcrossProcesses) {
  const std::string path = PathOf("share2");
  WriteWholeFile(path, "x");
  auto shared = TOSFile::Open(path, TFileAccess::Read, TFileShare::DenyNone);
  ASSERT_NE(shared, nullptr);
  // 0: exclusive refused as a sharing violation, shared admitted.
  EXPECT_EQ(RunInChild([&] {
              if (TOSFile::Open(path, TFileAccess::ReadWrite, TFileShare::Exclusive)) return 1;
              if (!IsSharingViolation(GetLastOSError())) return 2;
              return TOSFile::Open(path, TFileAccess::ReadWrite, TFileShare::DenyNone) ? 0 : 3;
            }),
            0);
  shared.reset();
  auto ex = TOSFile::Open(path, TFileAccess::ReadWrite, TFileShare::Exclusive);
  ASSERT_NE(ex, nullptr);
  EXPECT_EQ(RunInChild([&] {
              // The child's own open meets the exclusive lock the parent holds.
              return TOSFile::Open(path, TFileAccess::Read, TFileShare::DenyNone) ? 1 : 0;
            }),
            0);
}

// --- read-only attribute --------------------------------------------------------

TEST_F(FileTest, ReadOnlyAttributeIsTheWriteBits) {
  const std::string path = PathOf("ro");
  WriteWholeFile(path, "keep");
  ASSERT_EQ(chmod(path.c_str(), 0664), 0);
  EXPECT_FALSE(IsFileReadOnly(path));

  ASSERT_TRUE(SetFileReadOnly(path, true));
  EXPECT_TRUE(IsFileReadOnly(path));
  EXPECT_EQ(ModeOf(path), 0444u);
  // Refused even for root, whom the mode bits alone would not stop.
  EXPECT_EQ(TOSFile::Open(path, TFileAccess::ReadWrite, TFileShare::DenyNone), nullptr);
  EXPECT_EQ(GetLastOSError(), EACCES);
  EXPECT_EQ(TOSFile::Open(path, TFileAccess::Write, TFileShare::DenyNone), nullptr);
  EXPECT_EQ(TOSFile::Create(path, TFileCreation::CreateAlways), nullptr);
  EXPECT_EQ(GetLastOSError(), EACCES);
  EXPECT_EQ(ReadWholeFile(path), "keep");
  EXPECT_NE(TOSFile::Open(path, TFileAccess::Read, TFileShare::DenyNone), nullptr);

  ASSERT_TRUE(SetFileReadOnly(path, false));
  EXPECT_FALSE(IsFileReadOnly(path));
  EXPECT_EQ(ModeOf(path), 0644u);  // the owner gets write back, nobody else
  EXPECT_NE(TOSFile::Open(path, TFileAccess::ReadWrite, TFileShare::DenyNone), nullptr);

  EXPECT_FALSE(IsFileReadOnly(PathOf("missing")));
  EXPECT_EQ(GetLastOSError(), ENOENT);
  EXPECT_FALSE(SetFileReadOnly(PathOf("missing"), true));
}

// --- path operations ------------------------------------------------------------

TEST_F(FileTest, ExistsDeleteRename) {
  const std::string a = PathOf("a");
  const std::string b = PathOf("b");
  EXPECT_FALSE(FileExists(a));
  EXPECT_FALSE(FileExists(dir_.Path()));  // a folder is not a file
  WriteWholeFile(a, "A");
  WriteWholeFile(b, "B");
  EXPECT_TRUE(FileExists(a));

  // Never replaces an existing file.
  EXPECT_FALSE(RenameFile(a, b));
  EXPECT_EQ(GetLastOSError(), EEXIST);
  EXPECT_EQ(ReadWholeFile(a), "A");
  EXPECT_EQ(ReadWholeFile(b), "B");

  ASSERT_TRUE(DeleteFile(b));
  EXPECT_FALSE(FileExists(b));
  EXPECT_FALSE(DeleteFile(b));
  EXPECT_EQ(GetLastOSError(), ENOENT);
  ASSERT_TRUE(RenameFile(a, b));
  EXPECT_FALSE(FileExists(a));
  EXPECT_EQ(ReadWholeFile(b), "A");
}

TEST_F(FileTest, CopyContentsAndPermissions) {
  const std::string src = PathOf("src");
  const std::string dst = PathOf("dst");
  std::string data(700000, '\0');  // larger than one copy buffer
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 + (i >> 9));
  WriteWholeFile(src, data);
  ASSERT_EQ(chmod(src.c_str(), 0640), 0);

  ASSERT_TRUE(CopyFile(src, dst, true));
  EXPECT_EQ(ReadWholeFile(dst), data);
  EXPECT_EQ(ModeOf(dst), 0640u);

  WriteWholeFile(dst, "old");
  EXPECT_FALSE(CopyFile(src, dst, true));
  EXPECT_EQ(GetLastOSError(), EEXIST);
  EXPECT_EQ(ReadWholeFile(dst), "old");

  ASSERT_TRUE(CopyFile(src, dst, false));
  EXPECT_EQ(ReadWholeFile(dst), data);

  WriteWholeFile(src, "");
  ASSERT_TRUE(CopyFile(src, dst, false));  // an empty source empties the copy
  EXPECT_EQ(ReadWholeFile(dst), "");
}

TEST_F(FileTest, CopyCarriesTheReadOnlyAttributeAndRespectsIt) {
  const std::string src = PathOf("src");
  const std::string dst = PathOf("dst");
  WriteWholeFile(src, "new");
  ASSERT_TRUE(SetFileReadOnly(src, true));
  ASSERT_TRUE(CopyFile(src, dst, true));
  EXPECT_TRUE(IsFileReadOnly(dst));
  EXPECT_EQ(ReadWholeFile(dst), "new");

  // A read-only destination is not overwritten.
  ASSERT_TRUE(SetFileReadOnly(src, false));
  WriteWholeFile(src, "newer");
  EXPECT_FALSE(CopyFile(src, dst, false));
  EXPECT_EQ(GetLastOSError(), EACCES);
  EXPECT_EQ(ReadWholeFile(dst), "new");
}

TEST_F(FileTest, CopyFailuresLeaveFilesAlone) {
  const std::string src = PathOf("src");
  const std::string dst = PathOf("dst");
  WriteWholeFile(src, "source");

  EXPECT_FALSE(CopyFile(PathOf("missing"), dst, false));
  EXPECT_EQ(GetLastOSError(), ENOENT);
  EXPECT_FALSE(FileExists(dst));

  // Onto itself, directly or through a second name: the source must survive.
  EXPECT_FALSE(CopyFile(src, src, false));
  ASSERT_TRUE(LinkFile(src, PathOf("alias")));
  EXPECT_FALSE(CopyFile(src, PathOf("alias"), false));
  EXPECT_EQ(ReadWholeFile(src), "source");

  // A destination open elsewhere is not emptied under its user.
  WriteWholeFile(dst, "in use");
  {
    auto user = TOSFile::Open(dst, TFileAccess::Read, TFileShare::DenyNone);
    ASSERT_NE(user, nullptr);
    EXPECT_FALSE(CopyFile(src, dst, false));
    EXPECT_TRUE(IsSharingViolation(GetLastOSError()));
    EXPECT_EQ(ReadWholeFile(dst), "in use");
  }
  // A source open exclusively (being written) is not copied half-done.
  {
    auto writer = TOSFile::Open(src, TFileAccess::ReadWrite, TFileShare::Exclusive);
    ASSERT_NE(writer, nullptr);
    EXPECT_FALSE(CopyFile(src, PathOf("other"), true));
    EXPECT_TRUE(IsSharingViolation(GetLastOSError()));
    EXPECT_FALSE(FileExists(PathOf("other")));
  }
}

TEST_F(FileTest, LinkPublishesWithoutReplacing) {
  const std::string tmp = PathOf("build.tmp");
  const std::string pub = PathOf("published");
  WriteWholeFile(tmp, "complete");
  WriteWholeFile(pub, "earlier");
  EXPECT_FALSE(LinkFile(tmp, pub));
  EXPECT_EQ(GetLastOSError(), EEXIST);
  EXPECT_EQ(ReadWholeFile(pub), "earlier");

  ASSERT_TRUE(DeleteFile(pub));
  ASSERT_TRUE(LinkFile(tmp, pub));
  EXPECT_EQ(ReadWholeFile(pub), "complete");
  TFileIdentity a, b;
  ASSERT_TRUE(GetPathIdentity(tmp, a));
  ASSERT_TRUE(GetPathIdentity(pub, b));
  EXPECT_TRUE(IsSameFile(a, b));
  EXPECT_EQ(b.linkCount, 2u);
}

TEST_F(FileTest, IdentityTellsWhetherTheHandleIsStillThePath) {
  const std::string path = PathOf("db");
  WriteWholeFile(path, "one");
  auto f = TOSFile::Open(path, TFileAccess::Read, TFileShare::DenyNone);
  ASSERT_NE(f, nullptr);
  TFileIdentity byHandle, byPath;
  ASSERT_TRUE(GetFileIdentity(*f, byHandle));
  ASSERT_TRUE(GetPathIdentity(path, byPath));
  EXPECT_TRUE(IsSameFile(byHandle, byPath));
  EXPECT_EQ(byHandle.linkCount, 1u);

  // Replaced by another file under the same name.
  ASSERT_TRUE(DeleteFile(path));
  WriteWholeFile(path, "two");
  ASSERT_TRUE(GetPathIdentity(path, byPath));
  EXPECT_FALSE(IsSameFile(byHandle, byPath));
  ASSERT_TRUE(GetFileIdentity(*f, byHandle));
  EXPECT_EQ(byHandle.linkCount, 0u);  // the open file has no name any more

  EXPECT_FALSE(GetPathIdentity(PathOf("missing"), byPath));
  EXPECT_EQ(GetLastOSError(), ENOENT);
}

}  // namespace
}  // namespace os
