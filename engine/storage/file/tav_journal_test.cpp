#include "engine/storage/file/tav_journal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "engine/storage/file/disk_mgr.h"
#include "engine/storage/file/tav_file.h"
#include "engine/storage/lock/lock_file.h"
#include "engine/storage/testing/disk_test_support.h"
#include "host/rtl/le_bytes.h"
#include "os/file.h"
#include "os/testing/mem_file.h"

namespace tav {
namespace {

using test::TScratchDb;

constexpr uint32_t kPage = 4096;

TEST(JournalName, FollowsTheDatabaseFilesOwnName) {
  EXPECT_EQ(GetJournalFileName("/data/Sales.tav"), "/data/Sales.tav.jnl");
  EXPECT_EQ(GetJournalFileName("/data/Sales.dat"), "/data/Sales.dat.jnl");
  EXPECT_EQ(GetJournalFileName("/data/Sales_dat.tav"), "/data/Sales_dat.tav.jnl");
  EXPECT_EQ(GetJournalFileName("/srv/v1.2/Sales"), "/srv/v1.2/Sales.jnl");
  // The former name followed the lock file, which two databases can share.
  EXPECT_EQ(GetLegacyJournalFileName("/data/Sales.tav"), "/data/Sales.jnl");
  EXPECT_EQ(GetLegacyJournalFileName("/data/Sales.dat"), "/data/Sales_dat.jnl");
  EXPECT_EQ(GetLegacyJournalFileName("/data/Sales_dat.tav"), "/data/Sales_dat.jnl");
}

// A database with one page of its own (page 6, the pattern of seed 1),
// whose "commit" is cut off after it wrote seed 2 over that page and
// appended a page: the journal saved page 6 and the old length.
class JournalRecovery : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(db_.Ok());
    db_.Create();
    TDiskMgr m;
    db_.Configure(m);
    m.Open();
    const std::string page = test::PagePattern(kPage, 1);
    page_ = m.WriteNewPages(1, 2, page.data(), 1, 0);
    m.Close();
    before_ = db_.Bytes();
  }

  // Writes the journal as a committer would (for `dbName`, pages of
  // `pageSize`), then the commit's first writes, and leaves both so.
  void CutOffCommit(const std::string& dbName, uint32_t pageSize = kPage,
                    const std::string& journal = "") {
    auto data = os::TOSFile::Open(db_.Path(), os::TFileAccess::ReadWrite, os::TFileShare::DenyNone);
    ASSERT_TRUE(data);
    TTavJournal j;
    j.Open(journal.empty() ? Journal() : journal, dbName, pageSize, true, nullptr);
    j.LockCommit();
    std::vector<TJournalRange> ranges = {{page_, kPage}, {page_ + kPage, kPage}};
    j.Write(*data, ranges, static_cast<uint32_t>(before_.size()), false);
    const std::string torn = test::PagePattern(2 * kPage, 2);
    ASSERT_EQ(data->Write(page_, torn.data(), torn.size()), static_cast<int64_t>(torn.size()));
    // The process dies here: the lock goes with it, the journal stays.
  }
  std::string Journal() const { return GetJournalFileName(db_.Path()); }
  std::string JournalBytes() const { return os::test::ReadWholeFile(Journal()); }
  void Damage(const std::function<void(std::string&)>& change) {
    std::string j = JournalBytes();
    change(j);
    os::test::WriteWholeFile(Journal(), j);
  }

  TScratchDb db_;
  uint32_t page_ = 0;
  std::string before_;
};

TEST_F(JournalRecovery, TheOpenerTakesBackACutOffCommit) {
  CutOffCommit(db_.Path());
  ASSERT_NE(db_.Bytes(), before_);
  TDiskMgr m;
  db_.Configure(m);
  m.Open();
  EXPECT_EQ(db_.Bytes(), before_);
  EXPECT_TRUE(test::JournalHoldsNothing(JournalBytes()));
  std::string page(kPage, '\0');
  m.ReadPages(page_, 1, page.data(), 1, 0);
  EXPECT_EQ(page, test::PagePattern(kPage, 1));
  m.Close();
  EXPECT_FALSE(os::FileExists(Journal())) << "the last connection leaves no empty journal";
}

TEST_F(JournalRecovery, AConnectionAlreadyOpenTakesItBackWithItsNextLock) {
  TDiskMgr m;
  db_.Configure(m);
  m.Open();
  CutOffCommit(db_.Path());
  EXPECT_EQ(m.SetTableLock(1, kLockTypeRead), kLockTypeRead);
  EXPECT_EQ(db_.Bytes(), before_);
  EXPECT_TRUE(test::JournalHoldsNothing(JournalBytes()));
  m.ReleaseTableLock(1);
}

TEST_F(JournalRecovery, AJournalThatIsNotValidIsEmptiedAndNothingRestored) {
  struct TCase {
    const char* Name;
    std::function<void(std::string&)> Change;
  };
  const TCase cases[] = {
      {"short", [](std::string& j) { j.resize(30); }},
      {"cut in the records", [](std::string& j) { j.resize(j.size() - 1); }},
      {"a record byte changed", [](std::string& j) { j[100] ^= 1; }},
      {"a header byte changed", [](std::string& j) { j[17] ^= 1; }},
      {"not a journal", [](std::string& j) { j.assign(200, 'x'); }},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    os::test::WriteWholeFile(db_.Path(), before_);
    CutOffCommit(db_.Path());
    const std::string torn = db_.Bytes();
    Damage(c.Change);
    TDiskMgr m;
    db_.Configure(m);
    m.Open();
    EXPECT_TRUE(test::JournalHoldsNothing(JournalBytes()));
    EXPECT_EQ(db_.Bytes(), torn);
    m.Close();
  }
}

// Another database's whole journal is neither restored nor emptied: that
// database's cut-off commit could then never be taken back. A commit here
// refuses to write over it.
TEST_F(JournalRecovery, AnotherDatabasesJournalIsNeverRestoredNorEmptied) {
  CutOffCommit(db_ / "Other.tav");
  const std::string torn = db_.Bytes();
  const std::string journal = JournalBytes();
  TDiskMgr m;
  db_.Configure(m);
  m.Open();
  EXPECT_EQ(db_.Bytes(), torn);
  EXPECT_EQ(m.SetTableLock(1, kLockTypeRead), kLockTypeRead);
  m.ReleaseTableLock(1);
  m.DiskStartTransaction();
  const std::string page = test::PagePattern(kPage, 5);
  m.WritePages(page_, 1, page.data(), 1, 0);
  std::string text;
  EXPECT_EQ(test::ErrorCodeOf([&] { m.DiskCommit(); }, &text), 8450);
  EXPECT_NE(text.find("another database"), std::string::npos) << text;
  m.DiskRollback();
  EXPECT_EQ(db_.Bytes(), torn);
  m.Close();
  EXPECT_EQ(JournalBytes(), journal);

  os::test::WriteWholeFile(db_.Path(), before_);
  os::test::WriteWholeFile(Journal(), "");
  CutOffCommit(db_.Path(), 2 * kPage);
  const std::string torn2 = db_.Bytes();
  m.Open();
  EXPECT_EQ(db_.Bytes(), torn2) << "a journal of another page size";
  m.Close();
}

// "Sales.dat" and "Sales_dat.tav" share a lock file name and so, once, a
// journal. Now each has its own: opening and committing in one leaves the
// other's cut-off commit for its own opener. A cut-off commit under the
// former shared name is taken back by the database it names only, and the
// other database never empties it.
TEST_F(JournalRecovery, DatabasesWhoseLockFilesCoincideKeepTheirJournalsApart) {
  const std::string dat = db_ / "Sales.dat";
  const std::string tav = db_ / "Sales_dat.tav";
  ASSERT_EQ(GetLockFileName(dat), GetLockFileName(tav));
  const auto makeDb = [&](const std::string& path) {
    TDiskMgr m;
    m.SetFileName(path);
    m.SetPageSize(kPage);
    m.CreateNewFile(true);
    m.Open();
    const std::string page = test::PagePattern(kPage, 1);
    EXPECT_EQ(m.WriteNewPages(1, 2, page.data(), 1, 0), page_);
    m.Close();
  };
  const auto open = [&](TDiskMgr& m, const std::string& path) {
    db_.Configure(m);
    m.SetFileName(path);
    m.Open();
  };
  makeDb(dat);
  makeDb(tav);
  const std::string clean = os::test::ReadWholeFile(tav);
  // A commit of Sales_dat.tav cut off, in its own journal.
  const auto copy = [](const std::string& from, const std::string& to) {
    os::test::WriteWholeFile(to, os::test::ReadWholeFile(from));
  };
  copy(tav, db_.Path());
  CutOffCommit(tav, kPage, GetJournalFileName(tav));
  copy(db_.Path(), tav);
  const std::string torn = os::test::ReadWholeFile(tav);
  ASSERT_NE(torn, clean);
  {
    TDiskMgr m;
    open(m, dat);
    m.DiskStartTransaction();
    const std::string page = test::PagePattern(kPage, 6);
    m.WritePages(page_, 1, page.data(), 1, 0);
    m.DiskCommit();
    m.Close();
  }
  EXPECT_FALSE(test::JournalHoldsNothing(os::test::ReadWholeFile(GetJournalFileName(tav))));
  {
    TDiskMgr m;
    open(m, tav);
    EXPECT_EQ(os::test::ReadWholeFile(tav), clean);
    m.Close();
  }

  // The former name, left by a commit of Sales_dat.tav: Sales.dat's opener
  // leaves it whole, Sales_dat.tav's takes it back.
  const std::string legacy = GetLegacyJournalFileName(tav);
  os::test::WriteWholeFile(db_.Path(), clean);
  CutOffCommit(tav, kPage, legacy);
  copy(db_.Path(), tav);
  const std::string legacyBytes = os::test::ReadWholeFile(legacy);
  {
    TDiskMgr m;
    open(m, dat);
    m.Close();
  }
  EXPECT_EQ(os::test::ReadWholeFile(legacy), legacyBytes);
  EXPECT_EQ(os::test::ReadWholeFile(tav), torn);
  {
    TDiskMgr m;
    open(m, tav);
    EXPECT_EQ(os::test::ReadWholeFile(tav), clean);
    m.Close();
  }
  EXPECT_TRUE(test::JournalHoldsNothing(os::test::ReadWholeFile(legacy)));
  // A new file made under a name deletes a former-name journal of its own
  // only.
  CutOffCommit(tav, kPage, legacy);
  makeDb(dat);
  EXPECT_TRUE(os::FileExists(legacy));
  makeDb(tav);
  EXPECT_FALSE(os::FileExists(legacy));
}

TEST_F(JournalRecovery, AConnectionThatMayNotWriteRefusesTornData) {
  CutOffCommit(db_.Path());
  const std::string torn = db_.Bytes();
  {
    // Opened for reading only: the lock file is there, the file may not be
    // written through this connection.
    TDiskMgr m;
    db_.Configure(m, fmOpenRead | fmShareDenyNone);
    EXPECT_EQ(test::ErrorCodeOf([&] { m.Open(); }), 8449);
    EXPECT_FALSE(m.IsOpen());
  }
  {
    // A file without the write bit (a read-only medium): no lock file.
    ASSERT_TRUE(os::SetFileReadOnly(db_.Path(), true));
    TDiskMgr m;
    db_.Configure(m, fmOpenRead | fmShareDenyNone);
    std::string text;
    EXPECT_EQ(test::ErrorCodeOf([&] { m.Open(); }, &text), 8449);
    EXPECT_NE(text.find("interrupted commit"), std::string::npos) << text;
    ASSERT_TRUE(os::SetFileReadOnly(db_.Path(), false));
  }
  EXPECT_EQ(db_.Bytes(), torn);
  TDiskMgr m;
  db_.Configure(m);
  m.Open();
  EXPECT_EQ(db_.Bytes(), before_);
}

TEST_F(JournalRecovery, ALiveCommittersJournalIsNeverTakenForADeadOnes) {
  TDiskMgr m;
  db_.Configure(m);
  m.Open();
  // A committer that holds the lock while its journal is full, and finishes
  // (its pages written, the journal emptied) a little later.
  auto data = os::TOSFile::Open(db_.Path(), os::TFileAccess::ReadWrite, os::TFileShare::DenyNone);
  ASSERT_TRUE(data);
  TTavJournal live;
  live.Open(Journal(), db_.Path(), kPage, true, nullptr);
  live.LockCommit();
  std::vector<TJournalRange> ranges = {{page_, kPage}};
  live.Write(*data, ranges, static_cast<uint32_t>(before_.size()), false);
  const std::string after = test::PagePattern(kPage, 3);
  ASSERT_EQ(data->Write(page_, after.data(), kPage), kPage);
  std::thread finish([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    live.Invalidate(false);
    live.UnlockCommit();
  });
  // Waits for the lock, finds the journal empty: the commit stands.
  EXPECT_EQ(m.SetTableLock(1, kLockTypeRead), kLockTypeRead);
  finish.join();
  m.ReleaseTableLock(1);
  std::string page(kPage, '\0');
  m.ReadPages(page_, 1, page.data(), 1, 0);
  EXPECT_EQ(page, after);
}

TEST_F(JournalRecovery, AFinishedCommitLeavesTheJournalEmpty) {
  TDiskMgr m;
  db_.Configure(m);
  m.Open();
  m.DiskStartTransaction();
  const std::string page = test::PagePattern(kPage, 4);
  m.WritePages(page_, 1, page.data(), 1, 0);
  m.DiskCommit();
  EXPECT_TRUE(test::JournalHoldsNothing(JournalBytes()))
      << "a finished commit leaves the journal empty";
  m.Close();
}

// A commit saves the before-image of the bytes its writes changed, not of
// whole pages; a scrambled page, which changes in the file beyond the bytes
// written, whole. That is enough to take the commit back: the journal of a
// finished commit, marked full again, returns the file to the state before
// it, byte for byte.
TEST_F(JournalRecovery, ACommitSavesTheBytesItChangedAndTheyTakeItBackWhole) {
  // A connection that has the file to itself takes what it saves from the
  // pages as they were before the transaction changed them, not from the
  // file, and with them at hand saves only the 64-byte blocks (counted from
  // the first byte written) that changed: the journal must take the commit
  // back all the same.
  for (const uint16_t share : {fmShareDenyNone, fmShareExclusive}) {
  SCOPED_TRACE(share == fmShareExclusive ? "exclusive" : "shared");
  TDiskMgr m;
  db_.Configure(m, static_cast<uint16_t>(fmOpenReadWrite | share));
  m.Open();
  const std::string plain = test::PagePattern(kPage, 7);
  const uint32_t scrambled = m.WriteNewPages(1, 2, plain.data(), 1, kAccessCached | kAccessXor);
  const uint32_t reused = m.WriteNewPages(1, 2, plain.data(), 1, kAccessCached);
  const std::string before = db_.Bytes();
  m.DiskStartTransaction();
  m.WriteCustomSize(page_ + 100, 6, "abcdef", 1, kAccessCached);
  m.WriteCustomSize(page_ + 3000, 4, "wxyz", 1, kAccessCached);
  m.WriteCustomSize(scrambled + 10, 3, "new", 1, kAccessCached | kAccessXor);
  // Released (zeroed) and written again in part: its rest is the zeros, not
  // what the file held.
  m.ReleasePages(reused, 1);
  m.WriteCustomSize(reused + 10, 3, "new", 1, kAccessCached);
  m.DiskCommit();
  const std::string after = db_.Bytes();
  ASSERT_NE(after, before);
  std::string journal = JournalBytes();
  ASSERT_GE(journal.size(), size_t{kJournalHeaderSize});
  const auto* bytes = reinterpret_cast<const uint8_t*>(journal.data());
  const uint32_t body = host::GetU32(bytes + 24);
  ASSERT_LE(uint64_t{body} + kJournalHeaderSize, journal.size());
  // Which bytes of the file the journal saved (adjacent records are joined).
  std::vector<bool> saved(before.size(), false);
  for (uint32_t at = kJournalHeaderSize; at + 8 <= kJournalHeaderSize + body;) {
    const uint32_t position = host::GetU32(bytes + at), count = host::GetU32(bytes + at + 4);
    ASSERT_LE(uint64_t{position} + count, saved.size());
    std::fill_n(saved.begin() + position, count, true);
    at += 8 + count;
  }
  const auto savedOf = [&](uint32_t page) {
    std::string s;
    for (uint32_t i = 0; i < kPage; ++i) s += saved[page + i] ? '1' : '0';
    return s;
  };
  const std::string whole(kPage, '1');
  std::string part(kPage, '0');
  if (share == fmShareExclusive) {
    part.replace(100, 64, 64, '1');
    part.replace(2980, 24, 24, '1');
  } else {
    part.replace(100, 2904, 2904, '1');
  }
  EXPECT_EQ(savedOf(page_), part);
  EXPECT_EQ(savedOf(scrambled), whole);
  EXPECT_EQ(savedOf(reused), whole);
  m.Close();

  // The commit "cut off" after all its writes: the journal full again.
  std::memcpy(journal.data(), "TavJrnl", 8);
  os::test::WriteWholeFile(Journal(), journal);
  m.Open();
  EXPECT_EQ(db_.Bytes(), before);
  std::string page(kPage, '\0');
  m.ReadPages(scrambled, 1, page.data(), 1, kAccessCached | kAccessXor);
  EXPECT_EQ(page, plain);
  m.Close();
  }
}

// The bytes a caller hands over stand for the file's; a range that overlaps
// another is read whole from the file instead.
// The (position, bytes) records of a loaded journal's body, in order.
void ReadRecords(const TJournalImage& image, std::vector<std::pair<uint32_t, std::string>>& records) {
  for (size_t at = 0; at + 8 <= image.Body.size();) {
    const uint32_t position = host::GetU32(image.Body.data() + at);
    const uint32_t count = host::GetU32(image.Body.data() + at + 4);
    ASSERT_LE(at + 8 + count, image.Body.size());
    records.emplace_back(position,
                         std::string(reinterpret_cast<const char*>(image.Body.data() + at + 8), count));
    at += 8 + count;
  }
}

TEST(JournalWrite, SavedBytesAreUsedWhereTheyAreGiven) {
  os::test::TTempDir dir;
  const std::string dbPath = dir / "saved.tav";
  std::string content(4096, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>('a' + i % 26);
  os::test::WriteWholeFile(dbPath, content);
  auto data = os::TOSFile::Open(dbPath, os::TFileAccess::ReadWrite, os::TFileShare::DenyNone);
  ASSERT_TRUE(data);
  TTavJournal j;
  j.Open(GetJournalFileName(dbPath), dbPath, 1024, true, nullptr);
  j.LockCommit();
  const std::string saved(100, 'S'), other(100, 'O');
  const auto* s = reinterpret_cast<const uint8_t*>(saved.data());
  const auto* o = reinterpret_cast<const uint8_t*>(other.data());
  std::vector<TJournalRange> ranges = {
      {300, 10, nullptr}, {100, 50, s},  // adjacent to a read range: kept apart
      {150, 20, nullptr}, {170, 10, nullptr},  // adjacent, read: joined
      {1000, 40, o},      {1020, 40, nullptr},  // overlapping: read whole
      {4090, 20, s},                            // cut at the old end
  };
  j.Write(*data, ranges, 4096, false);
  TJournalImage image;
  ASSERT_TRUE(j.Load(image));
  EXPECT_EQ(image.OldLength, 4096u);
  std::vector<std::pair<uint32_t, std::string>> records;
  ASSERT_NO_FATAL_FAILURE(ReadRecords(image, records));
  const std::vector<std::pair<uint32_t, std::string>> expected = {
      {100, std::string(50, 'S')},  {150, content.substr(150, 30)},
      {300, content.substr(300, 10)}, {1000, content.substr(1000, 60)},
      {4090, std::string(6, 'S')},
  };
  EXPECT_EQ(records, expected);
  j.Invalidate(false);
  j.UnlockCommit();
  j.Close();
}

// A journal larger than the buffer its records pass through goes out in
// pieces: every record, read or handed over, comes back byte for byte, and
// so does the checksum over all of them.
// `size` bytes that differ from their neighbours and from block to block of
// `block` bytes, so that a record read from the wrong place shows.
std::string PatternedFile(size_t size, size_t step, size_t block, size_t modulus = 251) {
  std::string content(size, '\0');
  for (size_t i = 0; i < size; ++i) content[i] = static_cast<char>((i * step + i / block) % modulus);
  return content;
}

TEST(JournalWrite, AJournalLargerThanItsBufferComesBackWhole) {
  os::test::TTempDir dir;
  const std::string dbPath = dir / "large.tav";
  constexpr uint32_t kFile = 3 << 20;
  const std::string content = PatternedFile(kFile, 7, 4096);
  os::test::WriteWholeFile(dbPath, content);
  auto data = os::TOSFile::Open(dbPath, os::TFileAccess::ReadWrite, os::TFileShare::DenyNone);
  ASSERT_TRUE(data);
  TTavJournal j;
  j.Open(GetJournalFileName(dbPath), dbPath, 4096, true, nullptr);
  j.LockCommit();
  const std::string handed(4096, 'H');
  std::vector<TJournalRange> ranges;
  std::vector<std::pair<uint32_t, std::string>> expected;
  // Odd lengths, so that record headers and bytes straddle the buffer's end.
  for (uint32_t page = 0, n = 0; page + 4096 <= kFile; page += 4096, ++n) {
    const uint32_t count = 1000 + (n * 389) % 3000;
    if (n % 3 == 0) {
      ranges.push_back({page + 5, count, reinterpret_cast<const uint8_t*>(handed.data())});
      expected.emplace_back(page + 5, handed.substr(0, count));
    } else {
      ranges.push_back({page + 5, count, nullptr});
      expected.emplace_back(page + 5, content.substr(page + 5, count));
    }
  }
  j.Write(*data, ranges, kFile, false);
  TJournalImage image;
  ASSERT_TRUE(j.Load(image));
  EXPECT_EQ(image.OldLength, kFile);
  std::vector<std::pair<uint32_t, std::string>> records;
  ASSERT_NO_FATAL_FAILURE(ReadRecords(image, records));
  ASSERT_GT(image.Body.size(), kJournalChunk);
  EXPECT_TRUE(records == expected);
  j.Invalidate(false);
  j.UnlockCommit();
  j.Close();
}

// A large commit hands its ranges over in no order, thousands of them, at
// positions anywhere in a large file: the journal holds them in the order
// of the file, ranges of one position joined, each with the bytes the file
// holds there or those handed over.
TEST(JournalWrite, ThousandsOfRangesInAnyOrderComeBackInTheFilesOrder) {
  os::test::TTempDir dir;
  const std::string dbPath = dir / "many.tav";
  constexpr uint32_t kFile = 16 << 20;  // positions of 24 bits
  const std::string content = PatternedFile(kFile, 13, 4096, 253);
  os::test::TMemFile db(content);
  os::test::TMemFile journalData;
  TTavJournal j;
  j.Open(GetJournalFileName(dbPath), dbPath, 4096, true, &journalData);
  j.LockCommit();
  const std::string handed(64, 'H');
  std::vector<TJournalRange> ranges;
  std::map<uint32_t, std::string> expected;
  for (uint32_t i = 0; i < 6000; ++i) {
    // Slots of 64 bytes in a scattered order, each used once.
    const uint32_t pos = ((i * 2654435761u) % (kFile / 64)) * 64;
    const uint32_t count = 1 + i % 40;
    if (i % 7 == 0) {
      ranges.push_back({pos, count, reinterpret_cast<const uint8_t*>(handed.data())});
      expected[pos] = handed.substr(0, count);
    } else {
      ranges.push_back({pos, count, nullptr});
      expected[pos] = content.substr(pos, count);
    }
    if (i % 100 == 0) {
      // Another range at the same position: the two are read as one.
      ranges.push_back({pos, 50, nullptr});
      expected[pos] = content.substr(pos, 50);
    }
  }
  j.Write(db, ranges, kFile, false);
  TJournalImage image;
  ASSERT_TRUE(j.Load(image));
  std::vector<std::pair<uint32_t, std::string>> records;
  ASSERT_NO_FATAL_FAILURE(ReadRecords(image, records));
  const std::vector<std::pair<uint32_t, std::string>> want(expected.begin(), expected.end());
  ASSERT_EQ(records.size(), want.size());
  EXPECT_TRUE(records == want);
  EXPECT_GT(want.back().first, 1u << 22);
  j.Invalidate(false);
  j.UnlockCommit();
  j.Close();
}

// Ranges handed over in the file's order (as a commit lists its pages) make
// the very journal the same ranges make in any other order: touching and
// overlapping ones joined alike, handed bytes kept alike.
TEST(JournalWrite, RangesInTheFilesOrderMakeTheSameJournalAsAnyOther) {
  os::test::TTempDir dir;
  const std::string dbPath = dir / "ordered.tav";
  constexpr uint32_t kFile = 4 << 20;
  const std::string content = PatternedFile(kFile, 29, 512);
  os::test::TMemFile db(content);
  const std::string handed(kPage, 'S');
  const auto* saved = reinterpret_cast<const uint8_t*>(handed.data());
  std::vector<TJournalRange> ordered;
  for (uint32_t i = 0; i < 3000; ++i) {
    const uint32_t pos = i * 1000 + (i % 3) * 7;
    const uint32_t count = 1 + (i * 37) % 900;
    ordered.push_back({pos, count, i % 5 == 0 ? saved : nullptr});
    if (i % 11 == 0) ordered.push_back({pos + count, 16, nullptr});  // touching
    if (i % 13 == 0) ordered.push_back({pos + count, 8, saved});    // touching, handed
    if (i % 17 == 0) ordered.push_back({pos + count + 500, 600, nullptr});  // overlapping the next
  }
  // Each position once, as a commit's ranges are.
  const auto byPosition = [](const TJournalRange& x, const TJournalRange& y) {
    return x.Position < y.Position;
  };
  std::stable_sort(ordered.begin(), ordered.end(), byPosition);
  ordered.erase(std::unique(ordered.begin(), ordered.end(),
                            [](const TJournalRange& x, const TJournalRange& y) {
                              return x.Position == y.Position;
                            }),
                ordered.end());
  ordered.push_back({kFile - 10, 40, nullptr});  // past the old end in part
  ordered.push_back({kFile + 10, 40, nullptr});  // past it whole
  std::vector<TJournalRange> shuffled = ordered;
  std::reverse(shuffled.begin(), shuffled.end());
  std::rotate(shuffled.begin(), shuffled.begin() + 1234, shuffled.end());
  const auto journalOf = [&](std::vector<TJournalRange> ranges) {
    os::test::TMemFile journalData;
    TTavJournal j;
    j.Open(GetJournalFileName(dbPath), dbPath, kPage, true, &journalData);
    j.LockCommit();
    j.Write(db, ranges, kFile, false);
    j.UnlockCommit();
    j.Close();
    return journalData.Contents();
  };
  const std::string fromOrdered = journalOf(ordered);
  EXPECT_GT(fromOrdered.size(), 1000000u);
  EXPECT_TRUE(fromOrdered == journalOf(shuffled));
}

}  // namespace
}  // namespace tav
