#include "engine/storage/file/tav_file.h"

#include <gtest/gtest.h>

#include "engine/storage/testing/engine_error_test_support.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "engine/storage/base/tav_errors.h"
#include "engine/storage/base/tav_logger.h"
#include "engine/storage/crypto/xor_crypt.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/le_bytes.h"
#include "os/clock.h"
#include "os/testing/mem_file.h"
#include "os/testing/test_support.h"

namespace tav {
namespace {

constexpr uint32_t kPage = 4096;
const char kBlowKey[] = "Wq4#Lz7pRt2!vB";

using test::ErrorCodeOf;

std::string Pattern(uint32_t n, int seed) {
  std::string s(n, '\0');
  for (uint32_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 31 + seed * 17 + i / 97) & 0xFF);
  return s;
}

class TavFileTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir.Ok()); }

  // A file of `pages` pages, each filled with its own pattern.
  void MakeFile(uint32_t pages) {
    std::string s;
    for (uint32_t p = 0; p < pages; ++p) s += Pattern(kPage, static_cast<int>(p));
    os::test::WriteWholeFile(path, s);
  }
  static void Configure(TTavFile& f, bool exclusive = true) {
    f.SetPageSize(kPage);
    f.SetXORKeyBuf(C_TAVXORKEY, C_TAVXORKEYLEN);
    f.SetBlowKeyBuf(kBlowKey, 14);
    f.SetOpenRead(true);
    f.SetOpenWrite(true);
    f.SetOpenReadExclusive(exclusive);
    f.SetOpenWriteExclusive(exclusive);
    f.SetCacheActive(true);
  }
  void Open(TTavFile& f, bool exclusive = true) {
    Configure(f, exclusive);
    ASSERT_GE(f.OpenTavFile(path), 1);
  }
  // Opens the file on the bytes of `data`, with its journal on `journal`.
  void OpenJournaled(TTavFile& f, os::test::TMemFile& data, os::test::TMemFile& journal,
                     bool exclusive = true) {
    Configure(f, exclusive);
    f.SetDataFile(&data);
    f.SetJournalDataFile(&journal);
    ASSERT_GE(f.OpenTavFile(path), 1);
    f.OpenJournal(path + ".jnl", path);
  }
  std::string Disk(uint32_t pos, uint32_t n) const {
    return os::test::ReadWholeFile(path).substr(pos, n);
  }
  int64_t PhysicalSize() const { return static_cast<int64_t>(std::filesystem::file_size(path)); }
  static std::string Read(TTavFile& f, uint32_t pos, uint32_t n, int32_t owner, uint32_t flags) {
    std::string s(n, '\0');
    f.SeekAndReadTavFile(s.data(), pos, n, owner, flags);
    return s;
  }
  static void Write(TTavFile& f, uint32_t pos, const std::string& s, int32_t owner,
                    uint32_t flags) {
    f.SeekAndWriteTavFile(s.data(), pos, static_cast<uint32_t>(s.size()), owner, flags);
  }

  os::test::TTempDir dir;
  std::string path = dir / "db.tav";
};

TEST_F(TavFileTest, PagesOfEveryKindReadBackAndOnlyPlainOnesLieOnDiskAsWritten) {
  MakeFile(8);
  TTavFile f;
  Open(f);
  const std::string plain = Pattern(kPage, 99);
  Write(f, 1 * kPage, plain, 7, 1);
  Write(f, 2 * kPage, plain, 7, 3);
  Write(f, 3 * kPage, plain, 7, 5);
  Write(f, 4 * kPage, plain, 7, 6);  // both bits: XOR only, even without the cache bit
  Write(f, 5 * kPage, plain, 7, 5);
  f.CacheMgr().ClearCache();  // read back from the file itself
  for (uint32_t p = 1; p <= 3; ++p)
    EXPECT_EQ(Read(f, p * kPage, kPage, 7, p == 1 ? 1 : p == 2 ? 3 : 5), plain) << p;
  EXPECT_EQ(Read(f, 4 * kPage, kPage, 7, 6), plain);

  EXPECT_EQ(Disk(1 * kPage, kPage), plain);
  EXPECT_NE(Disk(2 * kPage, kPage), plain);
  EXPECT_NE(Disk(3 * kPage, kPage), plain);
  std::string scrambled(kPage, '\0');
  XORCryptBuf(plain.data(), scrambled.data(), C_TAVXORKEY, 7, C_TAVXORKEYLEN, kPage);
  EXPECT_EQ(Disk(2 * kPage, kPage), scrambled);
  EXPECT_EQ(Disk(4 * kPage, kPage), scrambled);
  // The IV starts again for every page: same text, same cipher text.
  EXPECT_EQ(Disk(3 * kPage, kPage), Disk(5 * kPage, kPage));
}

TEST_F(TavFileTest, APageReadWithTheWrongOwnerOrKeyIsNotTheOriginal) {
  MakeFile(8);
  const std::string plain = Pattern(kPage, 5);
  {
    TTavFile f;
    Open(f);
    Write(f, 2 * kPage, plain, 7, 3);
    Write(f, 3 * kPage, plain, 7, 5);
    EXPECT_NE(Read(f, 2 * kPage, kPage, 8, 3), plain);
    EXPECT_EQ(Read(f, 2 * kPage, kPage, 7, 3), plain);
  }
  TTavFile f;
  Configure(f);
  f.SetBlowKeyBuf("another key", 11);
  ASSERT_GE(f.OpenTavFile(path), 1);
  EXPECT_NE(Read(f, 3 * kPage, kPage, 7, 5), plain);
  EXPECT_EQ(Read(f, 2 * kPage, kPage, 7, 3), plain);
}

TEST_F(TavFileTest, ScrambledAreasAreScrambledEvenWithTheCacheOff) {
  MakeFile(4);
  TTavFile f;
  Open(f);
  f.SetCacheActive(false);
  const std::string plain = Pattern(kPage, 3);
  Write(f, kPage, plain, 7, 3);
  EXPECT_NE(Disk(kPage, kPage), plain);
  // Plain cached areas bypass the cache when it is off.
  Write(f, 2 * kPage, plain, 7, 1);
  EXPECT_FALSE(f.CacheMgr().IsBaseAddrInCache(2 * kPage));
  EXPECT_EQ(Disk(2 * kPage, kPage), plain);
}

TEST_F(TavFileTest, ScramblingNeedsItsKey) {
  MakeFile(2);
  TTavFile f;
  f.SetPageSize(kPage);
  ASSERT_GE(f.CreateTavFile(path), 1);
  const std::string plain = Pattern(kPage, 1);
  EXPECT_EQ(ErrorCodeOf([&] { Write(f, 0, plain, 7, 3); }), 8581);
  EXPECT_EQ(ErrorCodeOf([&] { Write(f, 0, plain, 7, 5); }), 8581);
  EXPECT_EQ(ErrorCodeOf([&] { f.SetBlowKeyBuf("x", 57); }), 9986);
}

TEST_F(TavFileTest, AReadStraddlingTwoPagesJoinsThem) {
  MakeFile(4);
  TTavFile f;
  Open(f);
  const std::string disk = Disk(0, 4 * kPage);
  EXPECT_EQ(Read(f, 2 * kPage - 5, 10, 1, 1), disk.substr(2 * kPage - 5, 10));
  EXPECT_EQ(f.CacheMgr().Misses(), 2);
  EXPECT_TRUE(f.CacheMgr().IsBaseAddrInCache(kPage));
  EXPECT_TRUE(f.CacheMgr().IsBaseAddrInCache(2 * kPage));
}

TEST_F(TavFileTest, AppendsInATransactionGrowOnlyTheLogicalEndUntilCommit) {
  MakeFile(6);
  TTavFile f;
  Open(f);
  const int64_t size = PhysicalSize();
  f.StartTransaction();
  EXPECT_EQ(f.SeekTavEof(), size);
  const std::string a = Pattern(kPage, 11), b = Pattern(kPage, 12);
  EXPECT_EQ(f.SeekAndAppendTavFile(a.data(), kPage, 3, 3), size);
  EXPECT_EQ(f.SeekAndAppendTavFile(b.data(), kPage, 0, 0), size + kPage);
  EXPECT_EQ(f.SeekTavEof(), size + 2 * kPage);
  EXPECT_EQ(PhysicalSize(), size);
  EXPECT_EQ(Read(f, static_cast<uint32_t>(size), kPage, 3, 3), a);
  EXPECT_EQ(Read(f, static_cast<uint32_t>(size + kPage), kPage, 0, 0), b);
  f.Commit();
  EXPECT_EQ(PhysicalSize(), size + 2 * kPage);
  EXPECT_EQ(f.SeekTavEof(), size + 2 * kPage);
  EXPECT_EQ(Disk(static_cast<uint32_t>(size + kPage), kPage), b);
  f.CacheMgr().ClearCache();
  EXPECT_EQ(Read(f, static_cast<uint32_t>(size), kPage, 3, 3), a);
}

TEST_F(TavFileTest, RollbackRestoresTheEndAndTheContents) {
  MakeFile(6);
  TTavFile f;
  Open(f);
  const int64_t size = PhysicalSize();
  const std::string page2 = Read(f, 2 * kPage, kPage, 1, 1);
  f.StartTransaction();
  const std::string a = Pattern(kPage, 21);
  f.SeekAndAppendTavFile(a.data(), kPage, 1, 1);
  f.SeekAndAppendTavFile(a.data(), kPage, 0, 0);
  Write(f, 2 * kPage, a, 1, 1);
  Write(f, 3 * kPage + 100, "raw", 0, 0);
  EXPECT_EQ(Read(f, 3 * kPage + 100, 3, 0, 0), "raw");
  f.Rollback();
  EXPECT_FALSE(f.GetTransactionActive());
  EXPECT_EQ(f.SeekTavEof(), size);
  EXPECT_EQ(PhysicalSize(), size);
  EXPECT_EQ(Read(f, 2 * kPage, kPage, 1, 1), page2);
  EXPECT_EQ(Read(f, 3 * kPage + 100, 3, 0, 0), Disk(3 * kPage + 100, 3));
  EXPECT_EQ(ErrorCodeOf([&] { Read(f, static_cast<uint32_t>(size), kPage, 1, 1); }), 9217);
}

TEST_F(TavFileTest, APageReleasedAndReusedInOneTransactionKeepsItsNewContents) {
  MakeFile(10);
  TTavFile f;
  Open(f);
  const std::string zeros(kPage, '\0');
  const std::string before = Pattern(kPage, 40), after = Pattern(kPage, 41);
  f.StartTransaction();
  // A node is rewritten, then freed by a merge, then reused by a split.
  Write(f, 6 * kPage, before, 9, 3);
  f.ReleasePage(6 * kPage, zeros.data());
  EXPECT_EQ(Read(f, 6 * kPage, kPage, 0, 1), zeros);  // reads see the released bytes
  Write(f, 6 * kPage, after, 12, 3);
  // Released and reused in part: the rest of the page is the released zeros.
  f.ReleasePage(7 * kPage, zeros.data());
  Write(f, 7 * kPage + 10, "new", 4, 1);
  // Released and not reused: zeros at commit.
  f.ReleasePage(8 * kPage, zeros.data());
  f.Commit();
  EXPECT_EQ(f.BlockMgr().Count(), 0);
  f.CacheMgr().ClearCache();
  EXPECT_EQ(Read(f, 6 * kPage, kPage, 12, 3), after);
  std::string part = zeros;
  part.replace(10, 3, "new");
  EXPECT_EQ(Disk(7 * kPage, kPage), part);
  EXPECT_EQ(Disk(8 * kPage, kPage), zeros);
}

TEST_F(TavFileTest, ReleasingOutsideATransactionWritesAtOnceAndDropsTheCachedPage) {
  MakeFile(4);
  TTavFile f;
  Open(f);
  const std::string zeros(kPage, '\0');
  Read(f, 2 * kPage, kPage, 1, 1);
  f.ReleasePage(2 * kPage, zeros.data());
  EXPECT_FALSE(f.CacheMgr().IsBaseAddrInCache(2 * kPage));
  EXPECT_EQ(Disk(2 * kPage, kPage), zeros);
  EXPECT_EQ(Read(f, 2 * kPage, kPage, 1, 1), zeros);
}

TEST_F(TavFileTest, MoreDirtyPagesThanTheCacheHoldsSurviveToCommit) {
  MakeFile(6);
  TTavFile f;
  Open(f);
  ASSERT_EQ(f.CacheMgr().Count(), 50);
  f.StartTransaction();
  for (int i = 0; i < 60; ++i) {
    const std::string page = Pattern(kPage, 100 + i);
    f.SeekAndAppendTavFile(page.data(), kPage, 5, 5);
  }
  EXPECT_EQ(f.CacheMgr().Count(), 60);
  EXPECT_EQ(f.CacheMgr().DirtyCount(), 60);
  f.Commit();
  TTavFile g;
  f.CloseTavFile();
  Open(g);
  for (int i = 0; i < 60; ++i)
    EXPECT_EQ(Read(g, (6 + i) * kPage, kPage, 5, 5), Pattern(kPage, 100 + i)) << i;
}

TEST_F(TavFileTest, TheCacheIsSizedByTheFile) {
  EXPECT_EQ(CachePageCountFor(4096000, kPage), 250);
  EXPECT_EQ(CachePageCountFor(4 * 1024 * 1024, kPage), 256);
  EXPECT_EQ(CachePageCountFor(100 * 1024, kPage), 50);
  EXPECT_EQ(CachePageCountFor(64 * 1024 * 1024, kPage), 1000);
  EXPECT_EQ(CachePageCountFor(0, kPage), 50);
  os::test::WriteWholeFile(path, "");
  std::filesystem::resize_file(path, 4096000);
  TTavFile f;
  Open(f);
  EXPECT_EQ(f.CacheMgr().Count(), 250);
  EXPECT_EQ(f.CacheMgr().PageLimit(), 250);
}

TEST_F(TavFileTest, TheCacheLimitFollowsATransactionThatGrowsTheFile) {
  // 50 pages is the floor; a file of 4 * n pages earns n. A transaction
  // that appends 800 pages to a 6-page file earns 201 while it runs, so the
  // pages it reads back stay cached instead of replacing one another.
  MakeFile(6);
  TTavFile f;
  Open(f);
  ASSERT_EQ(f.CacheMgr().PageLimit(), 50);
  f.StartTransaction();
  const std::string page = Pattern(kPage, 7);
  for (int i = 0; i < 400; ++i) f.SeekAndAppendTavFile(page.data(), kPage, 5, 5);
  EXPECT_EQ(f.CacheMgr().PageLimit(), CachePageCountFor(int64_t{406} * kPage, kPage));
  for (int i = 0; i < 400; ++i) f.SeekAndAppendTavFile(page.data(), kPage, 5, 5);
  EXPECT_EQ(f.CacheMgr().PageLimit(), 201);
  f.Commit();
  // Committed, the cache is back at its (raised) limit, and stays there
  // after a rollback that grew nothing.
  EXPECT_EQ(f.CacheMgr().Count(), 201);
  f.StartTransaction();
  f.Rollback();
  EXPECT_EQ(f.CacheMgr().PageLimit(), 201);
  EXPECT_LE(f.CacheMgr().Count(), 201);
}

TEST_F(TavFileTest, PagesAreReusedLeastRecentlyUsedFirstOutsideATransaction) {
  MakeFile(60);
  TTavFile f;
  Open(f);
  ASSERT_EQ(f.CacheMgr().Count(), 50);
  for (uint32_t p = 0; p < 50; ++p) Read(f, p * kPage, 1, 1, 1);
  Read(f, 0, 1, 1, 1);
  Read(f, 50 * kPage, 1, 1, 1);
  EXPECT_EQ(f.CacheMgr().Count(), 50);
  EXPECT_TRUE(f.CacheMgr().IsBaseAddrInCache(0));
  EXPECT_FALSE(f.CacheMgr().IsBaseAddrInCache(kPage));
  EXPECT_TRUE(f.CacheMgr().IsBaseAddrInCache(50 * kPage));
}

TEST_F(TavFileTest, ShareModes) {
  MakeFile(2);
  {
    TTavFile a, b;
    Open(a, true);
    Configure(b, false);
    std::string text;
    EXPECT_EQ(ErrorCodeOf([&] { b.OpenTavFile(path); }, &text), 8449);
    EXPECT_NE(text.find("Unable to open file. Error type of: "), std::string::npos);
    EXPECT_FALSE(b.CheckOpen());
  }
  {
    TTavFile a, b;
    Open(a, false);
    Open(b, false);
    EXPECT_NE(a.Handle(), b.Handle());
  }
  {
    // Denying others writing alone still takes the file exclusively.
    TTavFile a, b;
    Configure(a, false);
    a.SetOpenWriteExclusive(true);
    ASSERT_GE(a.OpenTavFile(path), 1);
    Configure(b, false);
    EXPECT_EQ(ErrorCodeOf([&] { b.OpenTavFile(path); }), 8449);
  }
  {
    TTavFile ro;
    Configure(ro, false);
    ro.SetOpenWrite(false);
    ASSERT_GE(ro.OpenTavFile(path), 1);
    EXPECT_EQ(ErrorCodeOf([&] { Write(ro, 0, "x", 0, 0); }), 9217);
  }
}

TEST_F(TavFileTest, NothingGoesPastTwoGigabytes) {
  os::test::WriteWholeFile(path, "");
  std::filesystem::resize_file(path, 0x7FFFF000);  // sparse
  TTavFile f;
  Open(f);
  const std::string page(kPage, 'p');
  EXPECT_EQ(ErrorCodeOf([&] { f.SeekAndAppendTavFile(page.data(), kPage, 1, 1); }), 9600);
  EXPECT_EQ(PhysicalSize(), 0x7FFFF000);
  EXPECT_EQ(ErrorCodeOf([&] { Write(f, 0x7FFFFFF0, std::string(16, 'x'), 0, 0); }), 9600);
  EXPECT_EQ(ErrorCodeOf([&] { Write(f, 0xFFFFFFF0, std::string(32, 'x'), 0, 0); }), 9600);
  EXPECT_EQ(ErrorCodeOf([&] { Read(f, 0xFFFFF000, kPage, 1, 1); }), 8450);
  EXPECT_EQ(ErrorCodeOf([&] { f.ReleasePage(0x7FFFF000, page.data()); }), 9600);
  EXPECT_EQ(f.SeekTavPosition(0x80000000u), -1);

  f.StartTransaction();
  EXPECT_EQ(f.SeekAndAppendTavFile(page.data(), kPage - 1, 0, 0), 0x7FFFF000u);
  EXPECT_EQ(f.SeekTavEof(), 0x7FFFFFFF);
  EXPECT_EQ(ErrorCodeOf([&] { f.SeekAndAppendTavFile(page.data(), 1, 0, 0); }), 9600);
  f.Commit();
  EXPECT_EQ(PhysicalSize(), 0x7FFFFFFF);
  char last = 0;
  f.ReadThroughTavFile(&last, 0x7FFFFFFE, 1);
  EXPECT_EQ(last, 'p');
}

TEST_F(TavFileTest, PageSizesMustBePowersOfTwoFrom256To32768) {
  MakeFile(1);
  for (uint32_t size : {0u, 100u, 128u, 3000u, 65536u}) {
    TTavFile f;
    Configure(f);
    f.SetPageSize(size);
    std::string text;
    EXPECT_EQ(ErrorCodeOf([&] { f.OpenTavFile(path); }, &text), 8581) << size;
    EXPECT_NE(text.find(size == 0 ? "Database page size not set on opening"
                                  : "Invalid database page size"),
              std::string::npos);
    EXPECT_EQ(ErrorCodeOf([&] { f.CreateTavFile(dir / "new.tav"); }), 8581) << size;
  }
  for (uint32_t size : {256u, 32768u}) {
    TTavFile f;
    Configure(f);
    f.SetPageSize(size);
    EXPECT_GE(f.OpenTavFile(path), 1) << size;
    EXPECT_EQ(ErrorCodeOf([&] { f.SetPageSize(4096); }), 8581);
  }
  EXPECT_EQ(TTavFile().PageSize(), 4096u);
}

TEST_F(TavFileTest, OpeningNeedsAKeyAndAnExistingFile) {
  TTavFile f;
  std::string text;
  EXPECT_EQ(ErrorCodeOf([&] { f.OpenTavFile(dir / "missing.tav"); }, &text), 8581);
  EXPECT_NE(text.find("Crypt key not set before opening"), std::string::npos);
  Configure(f);
  EXPECT_EQ(ErrorCodeOf([&] { f.OpenTavFile(dir / "missing.tav"); }, &text), 8449);
  EXPECT_NE(text.find("Unable to open file. Error type of: "), std::string::npos);
  MakeFile(1);
  ASSERT_GE(f.OpenTavFile(path), 1);
  EXPECT_EQ(ErrorCodeOf([&] { f.SetXORKeyBuf("k", 1); }, &text), 8581);
  EXPECT_NE(text.find("Cannot set Crypt key on an opened file"), std::string::npos);
  f.CloseTavFile();
  // Closing forgets the XOR key.
  EXPECT_EQ(ErrorCodeOf([&] { f.OpenTavFile(path); }), 8581);
  EXPECT_EQ(ErrorCodeOf([&] { f.SeekTavEof(); }), 8449);
}

// The transaction states, each call from each state: the error it raises
// (0 for none), the state it leaves, and what the file then holds.
enum TStateCall { scStart, scWrite, scCommit, scRollback };

struct TStateCase {
  TFileTransState from;
  TStateCall call;
  int error;
  TFileTransState to;
  // The file's first page afterwards: 'o' the old bytes, 'n' the
  // transaction's, 'x' the next transaction's (scWrite from ftsNone).
  char page;
};

class TavFileStates : public ::testing::TestWithParam<TStateCase> {};

TEST_P(TavFileStates, EachCallChecksTheState) {
  const TStateCase& c = GetParam();
  os::test::TTempDir dir;
  const std::string path = dir / "db.tav";
  os::test::WriteWholeFile(path, "");
  const std::string old = Pattern(kPage, 1), mine = Pattern(kPage, 2), next = Pattern(kPage, 3);
  os::test::TMemFile data(old);
  TTavFile f;
  f.SetPageSize(kPage);
  f.SetXORKeyBuf(C_TAVXORKEY, C_TAVXORKEYLEN);
  f.SetOpenRead(true);
  f.SetOpenWrite(true);
  f.SetCacheActive(true);
  f.SetDataFile(&data);
  ASSERT_GE(f.OpenTavFile(path), 1);
  if (c.from != ftsNone) {
    f.StartTransaction();
    f.SeekAndWriteTavFile(mine.data(), 0, kPage, 1, kAccessCached);
  }
  if (c.from == ftsFailedCommit) {
    data.Inject(os::test::fkWriteError, 1);
    EXPECT_EQ(ErrorCodeOf([&] { f.Commit(); }), 9217);
    data.Heal();
  }
  ASSERT_EQ(f.TransactionState(), c.from);
  const int error = ErrorCodeOf([&] {
    switch (c.call) {
      case scStart:
        f.StartTransaction();
        break;
      case scWrite:
        f.SeekAndWriteTavFile(next.data(), 0, kPage, 1, kAccessCached);
        break;
      case scCommit:
        f.Commit();
        break;
      case scRollback:
        f.Rollback();
        break;
    }
  });
  EXPECT_EQ(error, c.error);
  EXPECT_EQ(f.TransactionState(), c.to);
  EXPECT_EQ(f.GetTransactionActive(), c.to != ftsNone);
  if (f.GetTransactionActive()) {
    // Whatever is pending goes, so that the file tells what was committed.
    EXPECT_EQ(ErrorCodeOf([&] { f.Rollback(); }), c.to == ftsFailedCommit ? 8450 : 0);
  }
  const std::string want = c.page == 'o' ? old : c.page == 'n' ? mine : next;
  EXPECT_TRUE(data.Contents() == want) << "the file's page is not '" << c.page << "'";
  // Reads see the file as it is, in any state.
  std::string seen(kPage, '\0');
  f.SeekAndReadTavFile(seen.data(), 0, kPage, 1, kAccessCached);
  EXPECT_TRUE(seen == want);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TavFileStates,
    ::testing::Values(TStateCase{ftsNone, scStart, 0, ftsOpen, 'o'},
                      TStateCase{ftsNone, scWrite, 0, ftsNone, 'x'},
                      TStateCase{ftsNone, scCommit, 10257, ftsNone, 'o'},
                      TStateCase{ftsNone, scRollback, 10257, ftsNone, 'o'},
                      TStateCase{ftsOpen, scStart, 10256, ftsOpen, 'o'},
                      TStateCase{ftsOpen, scWrite, 0, ftsOpen, 'o'},
                      TStateCase{ftsOpen, scCommit, 0, ftsNone, 'n'},
                      TStateCase{ftsOpen, scRollback, 0, ftsNone, 'o'},
                      TStateCase{ftsFailedCommit, scStart, 10256, ftsFailedCommit, 'o'},
                      TStateCase{ftsFailedCommit, scWrite, 10256, ftsFailedCommit, 'o'},
                      TStateCase{ftsFailedCommit, scCommit, 0, ftsNone, 'n'},
                      TStateCase{ftsFailedCommit, scRollback, 8450, ftsNone, 'o'}));

TEST_F(TavFileTest, AReadPastTheEndFailsAndLeavesTheCacheAlone) {
  MakeFile(2);
  TTavFile f;
  Open(f);
  Read(f, 0, 1, 1, 1);
  EXPECT_EQ(ErrorCodeOf([&] { Read(f, 2 * kPage, 1, 1, 1); }), 9217);
  EXPECT_EQ(ErrorCodeOf([&] { Read(f, kPage + 10, kPage, 1, 1); }), 9217);
  int cached = 0;
  for (int i = 0; i < f.CacheMgr().Count(); ++i)
    cached += f.CacheMgr().Pages(i)->State() != cpEmpty;
  EXPECT_EQ(cached, 2);  // page 0, and page 1 that the straddling read did load
  EXPECT_EQ(ErrorCodeOf([&] { Read(f, 2 * kPage, 1, 0, 0); }), 9217);
}

TEST_F(TavFileTest, CopiesTheWholeFile) {
  MakeFile(3);
  TTavFile f;
  EXPECT_EQ(ErrorCodeOf([&] { f.CopyTavFile(dir / "copy.tav"); }), 8449);
  Open(f);
  Write(f, kPage + 5, "changed", 1, 1);
  f.CopyTavFile(dir / "copy.tav");
  EXPECT_EQ(os::test::ReadWholeFile(dir / "copy.tav"), os::test::ReadWholeFile(path));
  // Onto itself: refused, and the database is left whole.
  std::string text;
  EXPECT_EQ(ErrorCodeOf([&] { f.CopyTavFile(path); }, &text), 8450);
  EXPECT_NE(text.find("The file could not be copied correctly"), std::string::npos);
  EXPECT_EQ(PhysicalSize(), 3 * kPage);
}

TEST_F(TavFileTest, PagesByReference) {
  MakeFile(3);
  TTavFile f;
  Open(f);
  uint8_t* p = f.SeekAndReadTavFileByRef(kPage + 8, 4, 1, 1);
  std::memcpy(p, "abcd", 4);
  f.SeekAndWriteTavFileByRef(p, kPage + 8, 4, 1, 1);
  EXPECT_EQ(Disk(kPage + 8, 4), "abcd");
  EXPECT_THROW(f.SeekAndReadTavFileByRef(8, 4, 0, 0), host::EAssertionFailed);
  EXPECT_THROW(f.SeekAndWriteTavFileByRef(p, 8, 4, 0, 0), host::EAssertionFailed);
}

TEST_F(TavFileTest, AnInvalidTableIdIsLoggedAndTheTransferGoesOn) {
  TavEngineStartup();
  MakeFile(1);
  TTavFile f;
  Open(f);
  EXPECT_EQ(Read(f, 0, 4, 3000, 1), Disk(0, 4));
  const auto items = GDBLogger()->LogItems();
  ASSERT_FALSE(items.empty());
  EXPECT_NE(items.back().find("Invalid table id"), std::string::npos);
}

TEST_F(TavFileTest, RawRangeLocks) {
  MakeFile(1);
  os::TManualClock clock;
  os::TScopedClock scoped(clock);
  TTavFile a, b;
  Open(a, false);
  Open(b, false);
  b.SetLockRetryCount(3);
  b.SetLockRetryInterval(50);
  EXPECT_EQ(a.WriteLockTavFile(1, 10), 4);
  EXPECT_EQ(ErrorCodeOf([&] { b.WriteLockTavFile(5, 1); }), 10249);
  EXPECT_EQ(clock.SleepCount(), 2u);
  // At offset 10 the lock range meets a's last byte; the probe range, one
  // byte on, is free.
  EXPECT_EQ(b.ReadLockTavFile(10, 1, false), 2);
  EXPECT_EQ(ErrorCodeOf([&] { b.ReadLockTavFile(10, 1, true); }), 10249);
  EXPECT_EQ(b.ReadLockTavFile(20, 4, false), 1);
  EXPECT_TRUE(b.UnlockTavFile(20, 4));
  EXPECT_FALSE(b.UnlockTavFile(20, 4));
  EXPECT_TRUE(a.UnlockTavFile(1, 10));
  // A two-byte unlock falls back to the two single bytes a read lock and its
  // probe would have taken.
  EXPECT_EQ(a.WriteLockTavFile(30, 1), 4);
  EXPECT_EQ(a.WriteLockTavFile(31, 1), 4);
  EXPECT_TRUE(a.UnlockTavFile(30, 2));
  EXPECT_EQ(b.WriteLockTavFile(30, 2), 4);

  TTavFile closed;
  EXPECT_EQ(ErrorCodeOf([&] { closed.WriteLockTavFile(1, 1); }), 8450);
  EXPECT_EQ(ErrorCodeOf([&] { closed.ReadLockTavFile(1, 1, false); }), 8449);
}

// The records of the journal a commit left (its mark zeroed, its body kept):
// position -> saved bytes.
std::vector<std::pair<uint32_t, std::string>> JournalRecords(const std::string& journal) {
  std::vector<std::pair<uint32_t, std::string>> records;
  if (journal.size() < kJournalHeaderSize) return records;
  const auto* bytes = reinterpret_cast<const uint8_t*>(journal.data());
  const uint32_t end = kJournalHeaderSize + host::GetU32(bytes + 24);
  for (uint32_t at = kJournalHeaderSize; at + 8 <= end && end <= journal.size();) {
    const uint32_t position = host::GetU32(bytes + at), count = host::GetU32(bytes + at + 4);
    records.emplace_back(position, journal.substr(at + 8, count));
    at += 8 + count;
  }
  return records;
}

// A connection that has the file to itself keeps the small raw blocks its
// commits wrote: the next commit that rewrites one journals its old bytes
// without reading the file. Whatever else changes those bytes in between (a
// raw write outside a transaction, a cut and a write past the end) makes the
// journal read them again, so that it always saves what the file holds.
TEST_F(TavFileTest, ACommitJournalsTheRawBlocksTheLastOneWroteWithoutReadingThem) {
  for (const bool exclusive : {true, false}) {
    SCOPED_TRACE(exclusive ? "exclusive" : "shared");
    os::test::WriteWholeFile(path, "");
    os::test::TMemFile data(Pattern(4 * kPage, 1));
    os::test::TMemFile journal;
    TTavFile f;
    ASSERT_NO_FATAL_FAILURE(OpenJournaled(f, data, journal, exclusive));
    const uint32_t block = 2 * kPage + 100;
    // One transaction writing `fill` over the block; the journal's record
    // of it must be what the file held, read from the file or not.
    const auto commit = [&](char fill, bool expectRead) {
      const std::string old = data.Contents().substr(block, 256);
      f.StartTransaction();
      Write(f, block, std::string(256, fill), 0, 0);
      data.ResetCounters();
      f.Commit();
      EXPECT_EQ(data.Reads() != 0, expectRead) << fill;
      const auto records = JournalRecords(journal.Contents());
      ASSERT_EQ(records.size(), 1u) << fill;
      EXPECT_EQ(records[0].first, block);
      EXPECT_TRUE(records[0].second == old) << fill;
      EXPECT_EQ(data.Contents().substr(block, 256), std::string(256, fill));
    };
    commit('A', true);
    commit('B', !exclusive);
    // Changed beside the commits: read again.
    Write(f, block + 50, std::string(100, 'c'), 0, 0);
    commit('D', true);
    commit('E', !exclusive);
    // Cut through the block and lengthened again: its tail is zeros now.
    f.CutTavFile(block + 50);
    Write(f, 3 * kPage, std::string(kPage, 'z'), 0, 0);
    commit('F', true);
    // A commit that fails writing the block leaves it unknown; the rollback
    // puts back what the journal saved.
    f.StartTransaction();
    Write(f, block, std::string(256, 'G'), 0, 0);
    data.Inject(os::test::fkWriteError, 1);
    EXPECT_NE(ErrorCodeOf([&] { f.Commit(); }), 0);
    data.Heal();
    EXPECT_EQ(ErrorCodeOf([&] { f.Rollback(); }), 0);
    EXPECT_EQ(data.Contents().substr(block, 256), std::string(256, 'F'));
    commit('H', true);
    f.CloseTavFile();
  }
}

// A connection that has the file to itself journals of each page only the
// parts its commit changes, as the file held them, in runs of 64-byte blocks
// counted from the first byte written; bytes written over with what they
// were are not saved. A
// commit cut off after any of its writes is still taken back whole, the
// file's length included, and a commit that changes no byte it writes but
// lengthens the file is journaled all the same.
TEST_F(TavFileTest, AnExclusiveCommitJournalsOnlyTheBytesItChanges) {
  const std::string original = Pattern(3 * kPage, 5);
  std::string changed = original;
  changed[110] = static_cast<char>(~changed[110]);
  changed[112] = static_cast<char>(~changed[112]);
  changed[260] = static_cast<char>(~changed[260]);
  changed[298] = static_cast<char>(~changed[298]);
  // Runs a transaction: page 0 written over [100, 300) with four bytes
  // changed, page 1 written over with what it holds, a page appended.
  const auto run = [&](TTavFile& f) {
    f.StartTransaction();
    Write(f, 100, changed.substr(100, 200), 0, kAccessCached);
    Write(f, kPage + 8, original.substr(kPage + 8, 64), 0, kAccessCached);
    Write(f, 3 * kPage, std::string(kPage, 'n'), 0, kAccessCached);
    f.Commit();
  };
  os::test::WriteWholeFile(path, "");
  uint64_t writes = 0;
  {
    os::test::TMemFile data(original);
    os::test::TMemFile journal;
    TTavFile f;
    ASSERT_NO_FATAL_FAILURE(OpenJournaled(f, data, journal));
    for (uint32_t p = 0; p < 3; ++p) Read(f, p * kPage, kPage, 0, kAccessCached);
    data.ResetCounters();
    run(f);
    writes = data.Writes();
    const auto records = JournalRecords(journal.Contents());
    ASSERT_EQ(records.size(), 2u);
    // Blocks [100, 164), [228, 292) and the short [292, 300) changed,
    // [164, 228) not: the last two are one record.
    EXPECT_EQ(records[0].first, 100u);
    EXPECT_TRUE(records[0].second == original.substr(100, 64));
    EXPECT_EQ(records[1].first, 228u);
    EXPECT_TRUE(records[1].second == original.substr(228, 72));
    EXPECT_TRUE(data.Contents() == changed + std::string(kPage, 'n'));
    // Nothing changed, the file lengthened: a journal without records.
    f.StartTransaction();
    Write(f, 200, changed.substr(200, 16), 0, kAccessCached);
    Write(f, 4 * kPage, std::string(kPage, '\0'), 0, kAccessCached);
    f.Commit();
    EXPECT_EQ(host::GetU32(reinterpret_cast<const uint8_t*>(journal.Contents().data()) + 16),
              4 * kPage);
    EXPECT_TRUE(JournalRecords(journal.Contents()).empty());
    f.CloseTavFile();
  }
  ASSERT_GT(writes, 1u);
  // Cut off after each write to the file: the journal's own emptying never
  // comes, and the next opener puts the file back as it was.
  for (uint64_t n = 0; n <= writes; ++n) {
    SCOPED_TRACE(n);
    os::test::TMemFile data(original);
    os::test::TMemFile journal;
    {
      TTavFile f;
      ASSERT_NO_FATAL_FAILURE(OpenJournaled(f, data, journal));
      for (uint32_t p = 0; p < 3; ++p) Read(f, p * kPage, kPage, 0, kAccessCached);
      journal.Inject(os::test::fkCrash, 1);
      data.Inject(os::test::fkCrash, n);
      run(f);
      f.CloseTavFile();
    }
    data.Heal();
    journal.Heal();
    TTavFile g;
    ASSERT_NO_FATAL_FAILURE(OpenJournaled(g, data, journal));
    EXPECT_TRUE(g.RecoverInterruptedCommit());
    EXPECT_TRUE(data.Contents() == original);
    g.CloseTavFile();
  }
}

// A write from a page's header to past it that repeats the bytes before
// some point (a tree node's insert) changes two parts of the page, its
// header and its end. The commit's journal saves what the file held under
// every byte that changed, the file then holds every byte written, another
// connection reads them so, and a rollback gives back the page as it was.
TEST_F(TavFileTest, APageChangedAtItsHeaderAndItsEndIsJournaledAndStoredWhole) {
  for (const bool exclusive : {true, false}) {
    SCOPED_TRACE(exclusive ? "exclusive" : "shared");
    os::test::WriteWholeFile(path, "");
    const std::string original = Pattern(3 * kPage, 4);
    os::test::TMemFile data(original);
    os::test::TMemFile journal;
    TTavFile f;
    ASSERT_NO_FATAL_FAILURE(OpenJournaled(f, data, journal, exclusive));
    // Page 1 with its byte 4 and [from, 3000) changed, written from 4 on.
    const auto insert = [&](uint32_t from, int seed) {
      std::string page = Read(f, kPage, kPage, 0, kAccessCached);
      page[4] = static_cast<char>(~page[4]);
      page.replace(from, 3000 - from, Pattern(3000 - from, seed));
      Write(f, kPage + 4, page.substr(4, 2996), 0, kAccessCached);
      return page;
    };
    // Every byte where `before` and `after` differ lies in a record, and
    // every record holds what `before` held there.
    const auto journaled = [&](const std::string& before, const std::string& after) {
      std::vector<bool> saved(before.size(), false);
      for (const auto& [pos, bytes] : JournalRecords(journal.Contents())) {
        EXPECT_TRUE(bytes == before.substr(pos, bytes.size())) << pos;
        std::fill(saved.begin() + pos, saved.begin() + pos + bytes.size(), true);
      }
      for (size_t i = 0; i < before.size(); ++i)
        if (before[i] != after[i] && !saved[i]) return false;
      return true;
    };
    std::string expected = original;
    f.StartTransaction();
    expected.replace(kPage, kPage, insert(2000, 1));
    f.Commit();
    EXPECT_TRUE(journaled(original, expected));
    EXPECT_TRUE(data.Contents() == expected);
    // Twice in one transaction, the second nearer the header.
    const std::string committed = expected;
    f.StartTransaction();
    insert(2500, 2);
    expected.replace(kPage, kPage, insert(1500, 3));
    f.Commit();
    EXPECT_TRUE(journaled(committed, expected));
    EXPECT_TRUE(data.Contents() == expected);
    // Rolled back: the page reads as the file holds it.
    f.StartTransaction();
    insert(700, 4);
    f.Rollback();
    EXPECT_TRUE(Read(f, kPage, kPage, 0, kAccessCached) == expected.substr(kPage, kPage));
    EXPECT_TRUE(data.Contents() == expected);
    f.CloseTavFile();
    // Read back by a connection of its own.
    TTavFile g;
    Configure(g, exclusive);
    g.SetDataFile(&data);
    ASSERT_GE(g.OpenTavFile(path), 1);
    EXPECT_TRUE(Read(g, 0, 3 * kPage, 0, kAccessCached) == expected);
    g.CloseTavFile();
  }
}

// The data side of a file, recording where each write went.
class TWriteLog final : public os::TFileIO {
 public:
  explicit TWriteLog(os::test::TMemFile& file) : file_(file) {}
  int64_t Read(uint64_t offset, void* buffer, size_t count) override {
    return file_.Read(offset, buffer, count);
  }
  int64_t Write(uint64_t offset, const void* buffer, size_t count) override {
    writes.emplace_back(static_cast<uint32_t>(offset), static_cast<uint32_t>(count));
    return file_.Write(offset, buffer, count);
  }
  int64_t Size() override { return file_.Size(); }
  bool SetSize(uint64_t size) override { return file_.SetSize(size); }
  bool Flush() override { return file_.Flush(); }
  std::vector<std::pair<uint32_t, uint32_t>> writes;  // position, count

 private:
  os::test::TMemFile& file_;
};

// A commit writes of a page the file already holds only the bytes from the
// first to the last that changed; a run of adjacent pages goes out from the
// first changed byte of its first page to the last of its last. A page the
// file does not hold yet (appended) and a scrambled page are written whole.
// Exclusive or shared, journaled or not, the file then holds what was
// written.
TEST_F(TavFileTest, ACommitWritesOnlyTheChangedPartOfPagesTheFileHolds) {
  for (const bool exclusive : {true, false}) {
    for (const bool journaled : {true, false}) {
      SCOPED_TRACE(std::string(exclusive ? "exclusive" : "shared") +
                   (journaled ? ", journaled" : ""));
      os::test::WriteWholeFile(path, "");
      std::string expected = Pattern(9 * kPage, 3);
      os::test::TMemFile data(expected);
      TWriteLog log(data);
      os::test::TMemFile journal;
      TTavFile f;
      Configure(f, exclusive);
      f.SetDataFile(&log);
      f.SetJournalDataFile(&journal);
      ASSERT_GE(f.OpenTavFile(path), 1);
      if (journaled) f.OpenJournal(path + ".jnl", path);
      // Read first, as a page usually is before it changes.
      for (uint32_t p : {1u, 3u, 4u, 6u}) Read(f, p * kPage, kPage, 0, kAccessCached);
      f.StartTransaction();
      const auto put = [&](uint32_t pos, const std::string& bytes, uint32_t flags) {
        Write(f, pos, bytes, 0, flags);
        if (!(flags & (kAccessXor | kAccessBlowfish))) expected.replace(pos, bytes.size(), bytes);
      };
      put(kPage + 100, Pattern(64, 7), kAccessCached);        // page 1 alone
      put(kPage + 300, Pattern(8, 8), kAccessCached);         // widens its span
      put(3 * kPage + 4000, Pattern(10, 9), kAccessCached);   // pages 3 and 4: a run
      put(4 * kPage + 8, Pattern(10, 10), kAccessCached);
      put(6 * kPage + 16, Pattern(32, 11), kAccessCached | kAccessXor);  // scrambled
      put(8 * kPage + 8, Pattern(16, 12), kAccessCached);     // a run with
      put(9 * kPage, Pattern(kPage, 13), kAccessCached);      // a page past the end
      log.writes.clear();
      f.Commit();
      // (The twin takes a gathered write piece by piece.) A shared file
      // whose length was not asked for afresh holds no page for certain.
      const bool held = exclusive || journaled;
      const std::vector<std::pair<uint32_t, uint32_t>> want = {
          {held ? kPage + 100 : kPage, held ? 208 : kPage},
          {held ? 3 * kPage + 4000 : 3 * kPage, held ? kPage - 4000 : kPage},
          {4 * kPage, held ? 18 : kPage},
          {6 * kPage, kPage},
          {held ? 8 * kPage + 8 : 8 * kPage, held ? kPage - 8 : kPage},
          {9 * kPage, kPage}};
      EXPECT_EQ(log.writes, want);
      EXPECT_TRUE(Read(f, 6 * kPage + 16, 32, 0, kAccessCached | kAccessXor) == Pattern(32, 11));
      expected.resize(10 * kPage);
      std::string onDisk = data.Contents();
      ASSERT_EQ(onDisk.size(), expected.size());
      // The scrambled page differs on disk; the rest is byte for byte.
      onDisk.replace(6 * kPage, kPage, expected.substr(6 * kPage, kPage));
      EXPECT_TRUE(onDisk == expected);
      f.CloseTavFile();
      // Read back from the file alone.
      TTavFile g;
      Configure(g, exclusive);
      g.SetDataFile(&data);
      ASSERT_GE(g.OpenTavFile(path), 1);
      EXPECT_TRUE(Read(g, 0, 6 * kPage, 0, 0) == expected.substr(0, 6 * kPage));
      EXPECT_TRUE(Read(g, 7 * kPage, 3 * kPage, 0, 0) == expected.substr(7 * kPage));
      EXPECT_TRUE(Read(g, 6 * kPage + 16, 32, 0, kAccessCached | kAccessXor) == Pattern(32, 11));
      g.CloseTavFile();
    }
  }
}

// A write within one page of a transaction goes to the page cache as the
// full way would take it, whether the transaction changed that page before
// or not: read back, committed and rolled back alike; pending raw bytes
// under the page (a release's) give way to it. Any other write is refused
// unwritten.
TEST_F(TavFileTest, WritesWithinOnePageOfATransactionEndAsTheFullWayDoes) {
  for (const bool commit : {true, false}) {
    SCOPED_TRACE(commit ? "commit" : "rollback");
    MakeFile(6);
    const std::string original = os::test::ReadWholeFile(path);
    TTavFile f;
    Open(f);
    const auto within = [&](uint32_t pos, const std::string& bytes, int32_t owner,
                            uint32_t flags) {
      return f.WriteWithinPage(bytes.data(), pos, static_cast<uint32_t>(bytes.size()), owner,
                               flags);
    };
    const std::string four = Pattern(4, 31);
    EXPECT_FALSE(within(kPage + 10, four, 7, kAccessCached)) << "no transaction";
    Read(f, kPage, kPage, 7, kAccessCached);
    f.StartTransaction();
    EXPECT_TRUE(within(kPage + 10, four, 7, kAccessCached)) << "a clean cached page";
    EXPECT_TRUE(within(kPage + 20, four, 7, kAccessCached)) << "a page changed already";
    EXPECT_TRUE(within(2 * kPage + 30, four, 7, kAccessCached)) << "a page not cached";
    EXPECT_TRUE(within(3 * kPage + 40, four, 7, kAccessXor)) << "a scrambled page";
    // A released page waits zeroed in the block cache; a write into it takes
    // the page over.
    const std::string zeros(kPage, '\0');
    f.ReleasePage(4 * kPage, zeros.data());
    EXPECT_TRUE(within(4 * kPage + 8, four, 7, kAccessCached)) << "a released page";
    EXPECT_FALSE(f.BlockMgr().IsBaseAddrInCache(4 * kPage + 100));

    EXPECT_FALSE(within(kPage - 2, four, 7, kAccessCached)) << "across two pages";
    EXPECT_FALSE(within(5 * kPage + 8, four, 7, 0)) << "a raw area";
    EXPECT_FALSE(within(6 * kPage, four, 7, kAccessCached)) << "past the end";
    EXPECT_FALSE(within(kPage + 60, std::string(), 7, kAccessCached)) << "nothing to write";
    EXPECT_EQ(Read(f, 5 * kPage + 8, 4, 7, 0), original.substr(5 * kPage + 8, 4));

    EXPECT_EQ(Read(f, kPage + 10, 4, 7, kAccessCached), four);
    EXPECT_EQ(Read(f, kPage + 20, 4, 7, kAccessCached), four);
    EXPECT_EQ(Read(f, 2 * kPage + 30, 4, 7, kAccessCached), four);
    EXPECT_EQ(Read(f, 3 * kPage + 40, 4, 7, kAccessXor), four);
    std::string page4 = zeros;
    page4.replace(8, 4, four);
    EXPECT_EQ(Read(f, 4 * kPage, kPage, 7, kAccessCached), page4);
    EXPECT_EQ(f.SeekTavEof(), 6 * kPage);
    if (commit) {
      f.Commit();
      std::string expected = original;
      expected.replace(kPage + 10, 4, four);
      expected.replace(kPage + 20, 4, four);
      expected.replace(2 * kPage + 30, 4, four);
      expected.replace(4 * kPage, kPage, page4);
      std::string onDisk = os::test::ReadWholeFile(path);
      ASSERT_EQ(onDisk.size(), expected.size());
      // The scrambled page differs on disk; it reads back.
      onDisk.replace(3 * kPage, kPage, expected.substr(3 * kPage, kPage));
      EXPECT_TRUE(onDisk == expected);
      f.CacheMgr().ClearCache();
      EXPECT_EQ(Read(f, 3 * kPage + 40, 4, 7, kAccessXor), four);
    } else {
      f.Rollback();
      EXPECT_TRUE(os::test::ReadWholeFile(path) == original);
      EXPECT_EQ(Read(f, kPage + 10, 4, 7, kAccessCached), original.substr(kPage + 10, 4));
      EXPECT_EQ(Read(f, 4 * kPage, kPage, 7, kAccessCached), original.substr(4 * kPage, kPage));
    }
    f.CloseTavFile();
  }
}

// The raw blocks a connection keeps as its commits wrote them are forgotten
// by any write over their bytes, whatever way it reaches the file: a
// commit's single page, a run of pages, a raw write outside a transaction;
// also once more blocks were kept than there is room for. The journal of a
// commit that rewrites a block then holds what the file holds there.
TEST_F(TavFileTest, KeptRawBlocksAreForgottenByEveryWriteOverThem) {
  os::test::WriteWholeFile(path, "");
  os::test::TMemFile data(Pattern(40 * kPage, 2));
  os::test::TMemFile journal;
  TTavFile f;
  ASSERT_NO_FATAL_FAILURE(OpenJournaled(f, data, journal));
  // One transaction writing `fill` raw over [pos, pos + 64); the journal
  // must hold what the file held there.
  const auto rewrite = [&](uint32_t pos, char fill) {
    const std::string old = data.Contents().substr(pos, 64);
    f.StartTransaction();
    Write(f, pos, std::string(64, fill), 0, 0);
    f.Commit();
    const auto records = JournalRecords(journal.Contents());
    ASSERT_EQ(records.size(), 1u) << fill;
    EXPECT_EQ(records[0].first, pos) << fill;
    EXPECT_TRUE(records[0].second == old) << fill;
  };
  const uint32_t a = 2 * kPage + 100, b = 5 * kPage + 4000, c = 9 * kPage + 8;
  for (const uint32_t pos : {a, b, c}) rewrite(pos, 'k');
  // A commit's single page over `a`, a run of pages over `b` (ending in the
  // page after it), and a raw write outside a transaction over `c`.
  f.StartTransaction();
  Write(f, 2 * kPage + 90, Pattern(40, 3), 0, kAccessCached);
  Write(f, 5 * kPage, Pattern(kPage, 4), 0, kAccessCached);
  Write(f, 6 * kPage, Pattern(kPage, 5), 0, kAccessCached);
  f.Commit();
  Write(f, c + 60, std::string(2, 'w'), 0, 0);
  rewrite(a, 'm');
  rewrite(b, 'm');
  rewrite(c, 'm');
  // More blocks than there is room for, each in a granule of its own, then
  // each written over beside the commits and rewritten, the last kept first.
  std::vector<uint32_t> many;
  for (uint32_t i = 0; i < 10; ++i) many.push_back((12 + 2 * i) * kPage + 64 * i);
  for (const uint32_t pos : many) rewrite(pos, 'n');
  std::reverse(many.begin(), many.end());
  for (const uint32_t pos : many) {
    Write(f, pos + 10, std::string(3, 'x'), 0, 0);
    rewrite(pos, 'p');
  }
  f.CloseTavFile();
}

TEST_F(TavFileTest, FlushesAndCreates) {
  TTavFile f;
  f.SetPageSize(kPage);
  ASSERT_GE(f.CreateTavFile(path), 1);
  EXPECT_EQ(f.SeekTavEof(), 0);
  const std::string zeros(6 * kPage, '\0');
  f.WriteThroughTavFile(zeros.data(), 0, 6 * kPage);
  f.FlushBuffers();
  EXPECT_EQ(PhysicalSize(), 6 * kPage);
  EXPECT_EQ(f.CreateTavFile(dir / "no-such-folder/x.tav"), 0);
  EXPECT_FALSE(f.CheckOpen());
}

// ---- transactions of a shared file ----

TEST_F(TavFileTest, ATransactionThatChangedNothingWritesNothingAndKeepsItsPages) {
  MakeFile(6);
  os::test::TMemFile data(os::test::ReadWholeFile(path));
  TTavFile f;
  Configure(f, false);
  f.SetDataFile(&data);
  ASSERT_GE(f.OpenTavFile(path), 1);
  f.StartTransaction();
  EXPECT_EQ(Read(f, kPage, kPage, 3, kAccessCached), Pattern(kPage, 1));
  EXPECT_FALSE(f.HasPendingWrites());
  data.ResetCounters();
  f.Commit();
  EXPECT_FALSE(f.GetTransactionActive());
  EXPECT_EQ(data.Writes(), 0u);
  EXPECT_EQ(data.Flushes(), 0u);
  // The page read in the transaction is still cached after it.
  EXPECT_EQ(Read(f, kPage, kPage, 3, kAccessCached), Pattern(kPage, 1));
  EXPECT_EQ(data.Reads(), 0u);

  // A change, cached or raw, is written.
  for (const uint32_t flags : {kAccessCached, 0u}) {
    f.StartTransaction();
    Write(f, 2 * kPage, Pattern(64, 9), 3, flags);
    EXPECT_TRUE(f.HasPendingWrites());
    f.Commit();
    EXPECT_GT(data.Writes(), 0u);
    EXPECT_EQ(data.Contents().substr(2 * kPage, 64), Pattern(64, 9));
    data.ResetCounters();
  }
  // Durable, even a transaction without changes flushes.
  f.StartTransaction();
  f.Commit(true);
  EXPECT_EQ(data.Flushes(), 1u);
  f.CloseTavFile();
}

TEST_F(TavFileTest, ASharedFilesTransactionAppendsWhereTheFileEndsWhenItFirstAppends) {
  MakeFile(6);
  TTavFile f;
  Open(f, false);
  TTavFile other;
  Open(other, false);
  f.StartTransaction();
  // Another connection adds a page after the transaction began (under the
  // lock this one will take before its own append).
  const std::string theirs = Pattern(kPage, 21);
  Write(other, 6 * kPage, theirs, 0, 0);
  EXPECT_EQ(f.SeekTavEof(), 7 * kPage);
  const std::string ours = Pattern(kPage, 22);
  EXPECT_EQ(f.SeekAndAppendTavFile(ours.data(), kPage, 0, 0), 7 * kPage);
  f.Commit();
  EXPECT_EQ(Disk(6 * kPage, kPage), theirs);
  EXPECT_EQ(Disk(7 * kPage, kPage), ours);
  other.CloseTavFile();
  f.CloseTavFile();
}

}  // namespace
}  // namespace tav
