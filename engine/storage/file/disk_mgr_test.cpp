#include "engine/storage/file/disk_mgr.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <vector>

#include "engine/storage/base/tav_logger.h"
#include "engine/storage/crypto/sha1.h"
#include "engine/storage/lock/lock_file.h"
#include "engine/storage/lock/lock_mgr.h"
#include "engine/storage/testing/disk_test_support.h"
#include "engine/storage/testing/lock_test_support.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/list.h"
#include "host/rtl/string_list.h"
#include "os/clock.h"
#include "os/file.h"
#include "os/testing/mem_file.h"

namespace tav {
namespace {

using test::ErrorCodeOf;
using test::Get16;
using test::Get32;
using test::PagePattern;
using test::TChild;
using test::TChildSide;
using test::TMapImage;

constexpr uint32_t kPage = 4096;
constexpr uint32_t kMap0 = 5 * kPage;

std::string TimeoutText(const std::string& message) {
  return "The Tavrin database engine raised an error\r\n The requested lock could not be "
         "obtained. The request timed out (error code #10249) - " +
         message;
}

class DiskMgrTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(db_.Ok());
    db_.Create();
  }
  void Open(TDiskMgr& m, uint16_t flags = fmOpenReadWrite | fmShareDenyNone) {
    db_.Configure(m, flags);
    m.Open();
  }
  static uint32_t Alloc(TDiskMgr& m, uint32_t count, uint32_t owner = 1, uint32_t seed = 0) {
    const std::string data = PagePattern(count * kPage, seed ? seed : owner);
    return m.WriteNewPages(owner, 9, data.data(), count, kAccessCached);
  }
  static std::string ReadBack(TDiskMgr& m, uint32_t address, uint32_t count, uint32_t owner) {
    std::string s(count * kPage, '\0');
    m.ReadPages(address, count, s.data(), owner, kAccessCached);
    return s;
  }
  static int HeldLocks(TDiskMgr& m) {
    return m.TableLockMgr()->GetLockCount() + m.RecordLockMgr()->GetLockCount() +
           m.TransLockMgr()->GetLockCount();
  }
  std::string LockFile() const { return GetLockFileName(db_.Path()); }

  test::TScratchDb db_;
};

// ---- creating ----

TEST_F(DiskMgrTest, ANewFileHasTheFixedAreaTheHeaderAndOneMapPageWithNothingFree) {
  const std::string raw = db_.Bytes();
  ASSERT_EQ(raw.size(), 24576u);
  EXPECT_EQ(raw.substr(0, 1024), std::string(1024, '\0'));  // the security header is not written
  EXPECT_EQ(Get32(raw, 1024 + 16), kMap0);                  // FirstMapPageEmpty
  EXPECT_EQ(Get32(raw, 1024 + 20), kMap0);                  // FirstMapPage
  EXPECT_EQ(Get32(raw, 1024 + 24), 1u);                     // MapPageCount
  for (uint32_t at = 0; at < 128; ++at)
    if (at < 16 || at >= 28) {
      EXPECT_EQ(raw[1024 + at], '\0') << at;
    }
  EXPECT_EQ(raw.substr(1152, kMap0 - 1152), std::string(kMap0 - 1152, '\0'));
  EXPECT_EQ(Get32(raw, kMap0), 0u);      // sequence
  EXPECT_EQ(Get32(raw, kMap0 + 4), 0u);  // next
  EXPECT_EQ(Get16(raw, kMap0 + 8), 0u);  // no free entry
  const uint16_t expected[] = {1, 1, 1, 1, 1, 2, 0};
  for (uint32_t e = 0; e < 7; ++e) EXPECT_EQ(Get16(raw, kMap0 + 20 + 2 * e), expected[e]) << e;
  EXPECT_EQ(raw.substr(kMap0 + 34), std::string(kPage - 34, '\0'));
  EXPECT_EQ(db_.Map().error, "");
}

TEST_F(DiskMgrTest, SmallPagesStillHoldBothHeadersInTheFixedArea) {
  db_.Create(256);
  ASSERT_EQ(db_.Bytes().size(), 6u * 256);
  TDiskMgr m;
  db_.Configure(m);
  m.SetPageSize(256);
  m.Open();
  TSecurityHeader sec;
  m.WriteSecurityHeader(sec);
  const std::string data(3 * 256, 'x');
  // 118 entries per map page: page 118 opens the second map page.
  for (int i = 0; i < 40; ++i) m.WriteNewPages(1, 9, data.data(), 3, 0);
  m.ReadSecurityHeader(sec);
  m.Close();
  const TMapImage img = test::ReadMapImage(db_.Path(), 256);
  EXPECT_EQ(img.error, "");
  EXPECT_EQ(img.mapPageCount, 2u);
}

TEST_F(DiskMgrTest, CreateRefusesBadPageSizesExistingFilesAndUnwritableFolders) {
  TDiskMgr m;
  m.SetFileName(db_ / "new.tav");
  std::string message;
  for (uint32_t size : {0u, 128u, 3000u, 65536u}) {
    m.SetPageSize(size);
    EXPECT_EQ(ErrorCodeOf([&] { m.CreateNewFile(false); }, &message), 8581) << size;
    EXPECT_NE(message.find("Invalid database page size"), std::string::npos);
  }
  EXPECT_FALSE(os::FileExists(db_ / "new.tav"));

  m.SetPageSize(kPage);
  const std::string before = db_.Bytes();
  m.SetFileName(db_.Path());
  EXPECT_EQ(ErrorCodeOf([&] { m.CreateNewFile(false); }), 11043);
  EXPECT_EQ(db_.Bytes(), before);

  m.SetFileName(db_ / "missing/new.tav");
  EXPECT_EQ(ErrorCodeOf([&] { m.CreateNewFile(true); }), 8582);

  // Overwriting makes a new, empty database.
  {
    TDiskMgr w;
    Open(w);
    Alloc(w, 4);
  }
  m.SetFileName(db_.Path());
  m.CreateNewFile(true);
  EXPECT_EQ(db_.Bytes().size(), 24576u);
  EXPECT_FALSE(m.IsOpen());
}

// ---- opening ----

TEST_F(DiskMgrTest, OpenRefusalsLeaveTheManagerClosedWithNothingHeld) {
  TDiskMgr m;
  db_.Configure(m);
  m.SetPageSize(0);
  std::string message;
  EXPECT_EQ(ErrorCodeOf([&] { m.Open(); }, &message), 8581);
  EXPECT_NE(message.find("PageSize is 0"), std::string::npos);

  m.SetPageSize(kPage);
  m.SetFileName(db_ / "absent.tav");
  EXPECT_EQ(ErrorCodeOf([&] { m.Open(); }, &message), 11010);
  EXPECT_NE(message.find(db_ / "absent.tav"), std::string::npos);

  // A file too short to hold the header fails after the lock file was
  // joined: the lock file goes again and so does the file handle.
  os::test::WriteWholeFile(db_ / "short.tav", std::string(600, '\0'));
  m.SetFileName(db_ / "short.tav");
  EXPECT_NE(ErrorCodeOf([&] { m.Open(); }), 0);
  EXPECT_FALSE(m.IsOpen());
  EXPECT_FALSE(os::FileExists(GetLockFileName(db_ / "short.tav")));
  EXPECT_EQ(m.TableLockMgr(), nullptr);
  EXPECT_EQ(m.UserMonitor(), nullptr);
  // The handle is gone: an exclusive open succeeds.
  EXPECT_NE(
      os::TOSFile::Open(db_ / "short.tav", os::TFileAccess::ReadWrite, os::TFileShare::Exclusive),
      nullptr);
}

TEST_F(DiskMgrTest, OpenFlagsGiveTheSharingAndTheReadOnlyFlag) {
  TDiskMgr a;
  Open(a, fmOpenReadWrite | fmShareExclusive);
  EXPECT_TRUE(a.Exclusive());
  EXPECT_FALSE(a.ReadOnly());
  EXPECT_TRUE(a.UseLockFile());
  EXPECT_TRUE(os::FileExists(LockFile()));
  TDiskMgr b;
  EXPECT_EQ(ErrorCodeOf([&] { Open(b, fmOpenRead | fmShareDenyNone); }), 8449);
  EXPECT_FALSE(b.IsOpen());
  a.Close();
  EXPECT_FALSE(os::FileExists(LockFile()));

  Open(b, fmOpenRead | fmShareDenyNone);
  EXPECT_FALSE(b.Exclusive());
  EXPECT_TRUE(b.ReadOnly());
  EXPECT_EQ(b.DiskCacheSize(), 50 * kPage);
  host::TStringList users;
  b.GetCurrentUsers(users);
  ASSERT_EQ(users.Count(), 1);
  EXPECT_NE(users.Strings(0).find(GetCurrentUser()), std::string::npos);
  b.Close();
  EXPECT_EQ(b.DiskCacheSize(), 0);
}

TEST_F(DiskMgrTest, AFileWithoutTheWriteBitOpensWithoutALockFileAndEveryLockSucceeds) {
  ASSERT_TRUE(os::SetFileReadOnly(db_.Path(), true));
  TDiskMgr m;
  Open(m, fmOpenRead | fmShareDenyNone);
  EXPECT_FALSE(m.UseLockFile());
  EXPECT_FALSE(os::FileExists(LockFile()));
  EXPECT_EQ(m.TableLockMgr(), nullptr);

  EXPECT_EQ(m.SetTableLock(5, kLockTypeWrite), kLockTypeWrite);
  EXPECT_EQ(m.SetTableLock(6, kLockTypeRead), kLockTypeRead);
  EXPECT_EQ(m.SetRecordLock(0x12345, 5), kLockTypeWrite);
  EXPECT_EQ(m.QueryTableLockStatus(5), 1);
  EXPECT_EQ(m.QueryTableLockStatus(99), 1);
  EXPECT_EQ(m.QueryRecordLockStatus(0x12345), 1);
  m.ReleaseTableLock(5);
  m.ReleaseRecordLock(0x12345);
  m.ReleaseAllLocks();
  m.SetHeaderReadLock();
  EXPECT_EQ(m.GlobalHdr()->FirstMapPage(), kMap0);
  m.ReleaseHeaderLock();

  std::string message;
  host::TStringList users;
  EXPECT_EQ(ErrorCodeOf([&] { m.GetCurrentUsers(users); }, &message), 10501);
  EXPECT_NE(message.find("Connection details unavailable for read only database files"),
            std::string::npos);
  m.Close();
  ASSERT_TRUE(os::SetFileReadOnly(db_.Path(), false));
}

// ---- the security header ----

TEST_F(DiskMgrTest, TheSecurityHeaderKeepsTheDigestOfTheMasterKey) {
  TDiskMgr m;
  Open(m);
  m.SetCryptKey("Secret-42");
  TSecurityHeader written;
  m.WriteSecurityHeader(written);
  const std::string raw = db_.Bytes().substr(768, 40);
  EXPECT_EQ(Get32(raw, 0), 40u);
  EXPECT_EQ(Get16(raw, 12), 1u);
  EXPECT_EQ(Get16(raw, 14), 1u);
  uint8_t digest[20];
  GetSHA1FromString("Secret-42", digest);
  EXPECT_EQ(std::memcmp(raw.data() + 16, digest, 20), 0);
  EXPECT_EQ(Get32(raw, 36), written.CRC);
  double when;
  std::memcpy(&when, raw.data() + 4, 8);
  EXPECT_EQ(when, written.DateTime);
  EXPECT_GT(when, 40000.0);  // a date of this century

  TSecurityHeader read;
  m.ReadSecurityHeader(read);
  EXPECT_EQ(read.CRC, written.CRC);
  EXPECT_EQ(std::memcmp(read.Digest, written.Digest, 20), 0);

  std::string message;
  m.SetCryptKey("secret-42");
  EXPECT_EQ(ErrorCodeOf([&] { m.ReadSecurityHeader(read); }, &message), 8451);
  EXPECT_NE(message.find("The MasterKey is incorrect"), std::string::npos);
  m.SetCryptKey("Secret-42");
  m.ReadSecurityHeader(read);

  // One changed byte anywhere, the digest included, is a CRC error.
  for (uint32_t at : {0u, 5u, 13u, 20u, 38u}) {
    std::string bytes(40, '\0');
    m.ReadCustomSize(768, 40, bytes.data(), 0, 0);
    bytes[at] = static_cast<char>(bytes[at] ^ 0x10);
    m.WriteCustomSize(768, 40, bytes.data(), 0, 0);
    EXPECT_EQ(ErrorCodeOf([&] { m.ReadSecurityHeader(read); }, &message), 8451) << at;
    EXPECT_NE(message.find("The Security Header CRC is incorrect"), std::string::npos);
    bytes[at] = static_cast<char>(bytes[at] ^ 0x10);
    m.WriteCustomSize(768, 40, bytes.data(), 0, 0);
  }
  m.ReadSecurityHeader(read);
}

TEST_F(DiskMgrTest, AnEmptyMasterKeyIsTheDefaultKey) {
  TDiskMgr m;
  Open(m);
  EXPECT_EQ(m.CryptKey(), C_TAVDEFAULTKEY);  // from the start
  m.SetCryptKey("");
  EXPECT_EQ(m.CryptKey(), "Wq4#Lz7pRt2!vB");
  TSecurityHeader empty;
  m.WriteSecurityHeader(empty);
  m.SetCryptKey(C_TAVDEFAULTKEY);
  TSecurityHeader named;
  m.ReadSecurityHeader(named);
  m.WriteSecurityHeader(named);
  EXPECT_EQ(std::memcmp(empty.Digest, named.Digest, 20), 0);

  // Both encipher strongly encrypted pages alike.
  const std::string plain = PagePattern(kPage, 3);
  const uint32_t page =
      m.WriteNewPages(3, 9, plain.data(), 1, kAccessCached | kAccessBlowfish);
  const std::string onDisk = db_.Bytes().substr(page, kPage);
  EXPECT_NE(onDisk, plain);
  m.Close();
  TDiskMgr other;
  Open(other);
  other.SetCryptKey("");
  std::string back(kPage, '\0');
  other.ReadPages(page, 1, back.data(), 3, kAccessCached | kAccessBlowfish);
  EXPECT_EQ(back, plain);
}

// ---- request sizes, copies ----

TEST(DiskMgrFunctionsTest, BestPageRequestSizeWastesLittle) {
  EXPECT_EQ(GetBestPageRequestSize(100, 4096), 4096u);
  EXPECT_EQ(GetBestPageRequestSize(5000, 4096), 45056u);  // remainder 56
  EXPECT_EQ(GetBestPageRequestSize(4096, 4096), 4096u);
  EXPECT_EQ(GetBestPageRequestSize(256, 4096), 4096u);
  EXPECT_EQ(GetBestPageRequestSize(1000, 4096), 4096u);   // 96 is within a quarter page
  EXPECT_EQ(GetBestPageRequestSize(3000, 4096), 12288u);  // 1096 is not; 288 is the least
  EXPECT_EQ(GetBestPageRequestSize(8192, 4096), 8192u);
  EXPECT_THROW(GetBestPageRequestSize(0, 4096), host::EAssertionFailed);
}

TEST_F(DiskMgrTest, DoCopyFileRefusesAnExistingTargetUnlessOverwriting) {
  const std::string target = db_ / "copy.tav";
  os::test::WriteWholeFile(target, "old");
  EXPECT_FALSE(DoCopyFile(db_.Path(), target, false));
  EXPECT_EQ(os::test::ReadWholeFile(target), "old");
  EXPECT_TRUE(DoCopyFile(db_.Path(), target, true));
  EXPECT_EQ(os::test::ReadWholeFile(target), db_.Bytes());

  TDiskMgr m;
  Open(m);
  Alloc(m, 2);
  m.CopyCurrentFile(db_ / "copy2.tav");
  EXPECT_EQ(os::test::ReadWholeFile(db_ / "copy2.tav"), db_.Bytes());
}

// ---- the header lock ----

TEST_F(DiskMgrTest, TheHeaderIsReadAndWrittenOnlyUnderItsLock) {
  TDiskMgr m;
  Open(m);
  EXPECT_EQ(ErrorCodeOf([&] { m.ReadHeader(); }), 10248);
  m.SetHeaderReadLock();
  EXPECT_TRUE(m.HeaderReadLocked());
  EXPECT_FALSE(m.HeaderWriteLocked());
  EXPECT_EQ(m.QueryTableLockStatus(0), kLockTypeRead);
  m.SetHeaderWriteLock();
  EXPECT_TRUE(m.HeaderWriteLocked());
  EXPECT_EQ(m.QueryTableLockStatus(0), kLockTypeWrite);
  m.GlobalHdr()->SetGlobalDBGenerator(77);
  m.ReleaseHeaderLock();
  EXPECT_FALSE(m.HeaderReadLocked());
  EXPECT_FALSE(m.HeaderWriteLocked());
  EXPECT_EQ(m.QueryTableLockStatus(0), kLockTypeNone);
  EXPECT_EQ(Get32(db_.Bytes(), 1024 + 40), 77u);

  // WriteHeader without a lock writes what is in memory and keeps no lock.
  m.GlobalHdr()->SetGlobalDBGenerator(78);
  m.WriteHeader();
  EXPECT_EQ(Get32(db_.Bytes(), 1024 + 40), 78u);
  EXPECT_EQ(m.QueryTableLockStatus(0), kLockTypeNone);
  EXPECT_FALSE(m.HeaderWriteLocked());

  // Another connection reads it under its own lock.
  TDiskMgr other;
  Open(other);
  other.SetHeaderReadLock();
  EXPECT_EQ(other.GlobalHdr()->GlobalDBGenerator(), 78u);
  // A reader keeps a writer out.
  std::string message;
  {
    os::TManualClock clock;
    os::TScopedClock scoped(clock);
    EXPECT_EQ(ErrorCodeOf([&] { m.SetHeaderWriteLock(); }, &message), 10249);
  }
  EXPECT_EQ(message, TimeoutText("A write lock could not be obtained on the table"));
  EXPECT_FALSE(m.HeaderWriteLocked());
  // Nor can it allocate.
  {
    os::TManualClock clock;
    os::TScopedClock scoped(clock);
    EXPECT_EQ(ErrorCodeOf([&] { Alloc(m, 1); }), 10249);
  }
  other.ReleaseHeaderLock();
  EXPECT_EQ(Alloc(m, 1), 6 * kPage);
}

// ---- locks ----

TEST_F(DiskMgrTest, LocksAreHeldOutsideTransactionsUntilReleased) {
  TDiskMgr m;
  Open(m);
  EXPECT_EQ(m.SetTableLock(5, kLockTypeRead), kLockTypeRead);
  EXPECT_EQ(m.SetTableLock(5, kLockTypeWrite), kLockTypeWrite);
  // Asked again for less than it holds, the answer is what it holds.
  EXPECT_EQ(m.SetTableLock(5, kLockTypeRead), kLockTypeWrite);
  EXPECT_EQ(m.SetTableLock(5, kLockTypeRead), m.QueryTableLockStatus(5));
  // A write lock taken before a transaction stays one inside it.
  m.DiskStartTransaction();
  EXPECT_EQ(m.SetTableLock(5, kLockTypeWrite), kLockTypeWrite);
  EXPECT_EQ(m.SetTableLock(5, kLockTypeRead), kLockTypeWrite);
  EXPECT_EQ(m.SetTableLock(6, kLockTypeRead), kLockTypeRead);
  EXPECT_EQ(m.SetTableLock(6, kLockTypeRead), kLockTypeRead);
  m.DiskCommit();
  EXPECT_EQ(m.QueryTableLockStatus(5), kLockTypeNone);
  EXPECT_EQ(m.SetTableLock(5, kLockTypeRead), kLockTypeRead);
  EXPECT_EQ(m.SetTableLock(5, kLockTypeWrite), kLockTypeWrite);
  EXPECT_EQ(m.SetRecordLock(0xFFFFF000u, 5), kLockTypeWrite);
  EXPECT_EQ(m.QueryRecordLockStatus(0xFFFFF000u), kLockTypeWrite);
  // The record's byte lies far beyond 4 GiB in the lock file.
  EXPECT_FALSE(test::RangeIsFree(LockFile(), kRecordLockBase + 0xFFFFF000u));
  m.ReleaseRecordLock(0xFFFFF000u);
  EXPECT_TRUE(test::RangeIsFree(LockFile(), kRecordLockBase + 0xFFFFF000u));
  m.ReleaseTableLock(5);
  EXPECT_EQ(m.QueryTableLockStatus(5), kLockTypeNone);
  EXPECT_EQ(HeldLocks(m), 0);
}

TEST_F(DiskMgrTest, InATransactionWritesBecomeTransactionLocksAndReleasesWaitForTheEnd) {
  for (bool commit : {true, false}) {
    TDiskMgr m;
    Open(m);
    m.DiskStartTransaction();
    EXPECT_TRUE(m.IsTransactionActive());
    // The table is only read-locked; the transaction lock keeps writers out.
    EXPECT_EQ(m.SetTableLock(5, kLockTypeWrite), kLockTypeRead);
    EXPECT_EQ(m.TransLockMgr()->QueryLockType(5), kLockTypeWrite);
    EXPECT_EQ(m.SetRecordLock(0x9000, 7), kLockTypeWrite);
    EXPECT_EQ(m.TransLockMgr()->QueryLockType(7), kLockTypeWrite);
    m.ReleaseTableLock(5);
    m.ReleaseRecordLock(0x9000);
    EXPECT_EQ(m.QueryTableLockStatus(5), kLockTypeRead);
    EXPECT_EQ(m.QueryRecordLockStatus(0x9000), kLockTypeWrite);
    Alloc(m, 1);
    // The header lock stays for the transaction.
    EXPECT_TRUE(m.HeaderWriteLocked());
    EXPECT_EQ(m.TransLockMgr()->QueryLockType(0), kLockTypeWrite);
    if (commit)
      m.DiskCommit();
    else
      m.DiskRollback();
    EXPECT_FALSE(m.IsTransactionActive());
    EXPECT_EQ(HeldLocks(m), 0) << commit;
    EXPECT_FALSE(m.HeaderReadLocked());
    EXPECT_FALSE(m.HeaderWriteLocked());
    EXPECT_TRUE(test::RangeIsFree(LockFile(), kTableLockBase, 6 * kTableLockRegion));
    EXPECT_TRUE(test::RangeIsFree(LockFile(), kTransLockBase, 8));
  }
}

TEST_F(DiskMgrTest, ARollbackLeavesTheFileAsItWas) {
  TDiskMgr m;
  Open(m);
  const uint32_t kept = Alloc(m, 3, 2);
  const std::string before = db_.Bytes();

  m.DiskStartTransaction();
  const uint32_t fresh = Alloc(m, 4, 3);
  m.ReleasePages(kept + kPage, 1);
  const uint32_t reused = Alloc(m, 1, 4);
  EXPECT_EQ(reused, kept + kPage);
  m.DeleteOwnedPages(2, 9, true);
  TSecurityHeader sec;
  m.WriteSecurityHeader(sec);
  m.GlobalHdr()->SetGlobalDBGenerator(1234);
  // The transaction sees its own work ...
  EXPECT_EQ(ReadBack(m, fresh, 4, 3), PagePattern(4 * kPage, 3));
  EXPECT_EQ(m.GetFileSize(), static_cast<int64_t>(fresh + 4 * kPage));
  // ... and the file none of it.
  EXPECT_EQ(db_.Bytes(), before);
  m.DiskRollback();
  EXPECT_EQ(db_.Bytes(), before);
  EXPECT_EQ(m.GetFileSize(), static_cast<int64_t>(before.size()));
  m.SetHeaderReadLock();
  EXPECT_EQ(m.GlobalHdr()->GlobalDBGenerator(), 0u);
  m.ReleaseHeaderLock();
  EXPECT_EQ(ReadBack(m, kept, 3, 2), PagePattern(3 * kPage, 2));
  m.Close();
  EXPECT_EQ(db_.Bytes(), before);
}

TEST_F(DiskMgrTest, ACommitKeepsEverything) {
  TDiskMgr m;
  Open(m);
  const uint32_t kept = Alloc(m, 3, 2);
  m.DiskStartTransaction();
  const uint32_t fresh = Alloc(m, 4, 3);
  m.ReleasePages(kept, 1);
  m.GlobalHdr()->SetGlobalDBGenerator(99);
  m.DiskCommit();
  m.Close();

  const TMapImage img = db_.Map();
  ASSERT_EQ(img.error, "");
  EXPECT_EQ(img.FreePages(), std::vector<uint32_t>{kept / kPage});
  for (uint32_t p = 0; p < 4; ++p) EXPECT_EQ(img.Entry(fresh / kPage + p), 3 * 16 + 9);
  EXPECT_EQ(Get32(db_.Bytes(), 1024 + 40), 99u);
  TDiskMgr again;
  Open(again);
  EXPECT_EQ(ReadBack(again, fresh, 4, 3), PagePattern(4 * kPage, 3));
  EXPECT_EQ(db_.Bytes().substr(kept, kPage), std::string(kPage, '\0'));
}

TEST_F(DiskMgrTest, ForceToDiskCommitsAndGoesOnInTheTransaction) {
  TDiskMgr m;
  Open(m);
  m.DiskStartTransaction();
  const uint32_t page = Alloc(m, 2, 3);
  m.ForceToDisk();
  EXPECT_TRUE(m.IsTransactionActive());
  EXPECT_EQ(db_.Bytes().substr(page, 2 * kPage), PagePattern(2 * kPage, 3));
  EXPECT_EQ(db_.Map().error, "");
  Alloc(m, 1, 4);
  m.DiskRollback();
  EXPECT_EQ(db_.Map().Entry(page / kPage), 3 * 16 + 9);
  EXPECT_EQ(db_.Map().filePages, page / kPage + 2);
}

// Writes inside pages the transaction has already changed go straight into
// the cached page; what reaches the file at the commit is what the whole way
// would have written: scrambled as the page is, and the page's bytes over raw
// bytes written under it.
TEST_F(DiskMgrTest, WritesIntoPagesTheTransactionChangedReachTheFileAsTheyWould) {
  TDiskMgr m;
  Open(m);
  const uint32_t plainPage = Alloc(m, 1, 2);
  const uint32_t mixedPage = Alloc(m, 1, 2, 7);
  const std::string scrambled = PagePattern(kPage, 3);
  const uint32_t secret =
      m.WriteNewPages(3, 9, scrambled.data(), 1, kAccessCached | kAccessBlowfish);
  const std::string bytes(40, 'x'), more(24, 'y'), raw(16, 'r');

  m.DiskStartTransaction();
  const std::string zeros(kPage, '\0');
  m.WriteCustomSize(plainPage, kPage, zeros.data(), 2, kAccessCached);  // now changed
  m.WriteCustomSize(plainPage + 100, 40, bytes.data(), 2, kAccessCached);
  m.WriteCustomSize(plainPage + kPage - 24, 24, more.data(), 2, kAccessCached);
  // Raw bytes under a changed page, then a cached write to it: the page wins.
  m.WriteCustomSize(mixedPage, 40, bytes.data(), 2, kAccessCached);
  m.WriteCustomSize(mixedPage + 200, 16, raw.data(), 2, 0);
  m.WriteCustomSize(mixedPage + 60, 24, more.data(), 2, kAccessCached);
  const uint32_t flags = kAccessCached | kAccessBlowfish;
  m.WriteCustomSize(secret + 8, 40, bytes.data(), 3, flags);
  m.WriteCustomSize(secret + 300, 24, more.data(), 3, flags);
  std::string seen(24, '\0');
  m.ReadCustomSize(secret + 300, 24, seen.data(), 3, flags);
  EXPECT_EQ(seen, more);
  m.DiskCommit();

  std::string plain = zeros;
  plain.replace(100, 40, bytes);
  plain.replace(kPage - 24, 24, more);
  EXPECT_EQ(db_.Bytes().substr(plainPage, kPage), plain);
  std::string mixed = PagePattern(kPage, 7);
  mixed.replace(0, 40, bytes);
  mixed.replace(60, 24, more);
  EXPECT_EQ(db_.Bytes().substr(mixedPage, kPage), mixed);
  std::string secretNow = scrambled;
  secretNow.replace(8, 40, bytes);
  secretNow.replace(300, 24, more);
  EXPECT_NE(db_.Bytes().substr(secret, kPage), secretNow) << "stored scrambled";
  m.Close();
  TDiskMgr other;
  Open(other);
  std::string back(kPage, '\0');
  other.ReadPages(secret, 1, back.data(), 3, flags);
  EXPECT_EQ(back, secretNow);
  other.Close();
}

// The guard of one transaction: leaving scope without a commit is a rollback
// that lets go of every lock; a commit keeps the work.
TEST_F(DiskMgrTest, ATransactionGuardRollsBackUnlessCommitted) {
  TDiskMgr m;
  Open(m);
  const std::string before = db_.Bytes();
  try {
    TDiskTransaction tx(m);
    EXPECT_EQ(ErrorCodeOf([&] { TDiskTransaction nested(m); }), 10256);
    Alloc(m, 2, 3);
    m.SetTableLock(9, kLockTypeWrite);
    EXPECT_GT(HeldLocks(m), 0);
    TavDatabaseError(9217, "the test");
  } catch (const ETavDatabaseError&) {
  }
  EXPECT_FALSE(m.IsTransactionActive());
  EXPECT_EQ(HeldLocks(m), 0);
  EXPECT_EQ(db_.Bytes(), before);
  uint32_t page = 0;
  {
    TDiskTransaction tx(m);
    page = Alloc(m, 2, 3);
    tx.Commit();
    EXPECT_FALSE(tx.Active());
  }
  EXPECT_EQ(HeldLocks(m), 0);
  EXPECT_EQ(db_.Bytes().substr(page, 2 * kPage), PagePattern(2 * kPage, 3));
}

// A failed flush raises and leaves the connection as it was; flushing again
// succeeds. Inside a transaction the commit before the flush stands.
TEST_F(DiskMgrTest, AFailedFlushRaisesAndTheNextOneSucceeds) {
  os::test::TMemFile data(db_.Bytes());
  TDiskMgr m;
  m.SetDataFile(&data);
  Open(m);
  m.DiskStartTransaction();
  const uint32_t page = Alloc(m, 1, 3);
  data.Inject(os::test::fkFlushError, 1);
  // The commit is written but not known to be on the device: a failed
  // commit, which the next ForceToDisk commits (and flushes) again.
  EXPECT_EQ(ErrorCodeOf([&] { m.ForceToDisk(); }), 8450);
  EXPECT_TRUE(m.IsTransactionActive());
  EXPECT_EQ(m.TavFile().TransactionState(), ftsFailedCommit);
  EXPECT_EQ(data.Contents().substr(page, kPage), PagePattern(kPage, 3));
  m.ForceToDisk();
  EXPECT_EQ(m.TavFile().TransactionState(), ftsOpen);
  m.DiskCommit();
  EXPECT_EQ(HeldLocks(m), 0);
  data.Inject(os::test::fkFlushError, 1);
  EXPECT_EQ(ErrorCodeOf([&] { m.TavFile().FlushBuffers(); }), 8450);
  m.TavFile().FlushBuffers();
  m.Close();
  EXPECT_EQ(test::MapImageOf(data.Contents(), kPage).error, "");
}

TEST_F(DiskMgrTest, AMapPageAddedInARolledBackTransactionIsForgotten) {
  TDiskMgr m;
  Open(m);
  constexpr uint32_t kEntries = (kPage - 20) / 2;
  Alloc(m, kEntries - 8);  // pages 6 .. 2035
  m.DiskStartTransaction();
  Alloc(m, 5);  // 2036 .. 2040, the second map page at 2041
  m.DiskRollback();
  Alloc(m, 10);  // 2036 .. 2045, the second map page at 2046
  const TMapImage img = db_.Map();
  ASSERT_EQ(img.error, "");
  ASSERT_EQ(img.mapPageCount, 2u);
  EXPECT_EQ(img.mapAddrs[1], (kEntries + 8) * kPage);
}

TEST_F(DiskMgrTest, ATransactionAppendsBehindPagesAnotherConnectionAppendedMeanwhile) {
  TDiskMgr a;
  TDiskMgr b;
  Open(a);
  Open(b);
  a.DiskStartTransaction();
  const uint32_t theirs = Alloc(b, 1, 2);
  const uint32_t ours = Alloc(a, 1, 3);
  EXPECT_EQ(theirs, 6 * kPage);
  EXPECT_EQ(ours, 7 * kPage);
  a.DiskCommit();
  const TMapImage img = db_.Map();
  ASSERT_EQ(img.error, "");
  EXPECT_EQ(img.Entry(6), 2 * 16 + 9);
  EXPECT_EQ(img.Entry(7), 3 * 16 + 9);
  EXPECT_EQ(ReadBack(b, theirs, 1, 2), PagePattern(kPage, 2));
}

TEST_F(DiskMgrTest, ListAllocatedFixedBlocksWalksTheOwnersRequests) {
  TDiskMgr m;
  Open(m);
  // Blocks of 5000 bytes come in requests of 11 pages, 9 blocks each.
  const uint32_t first = Alloc(m, 11, 3);
  Alloc(m, 2, 4);
  const uint32_t second = Alloc(m, 11, 3);
  host::TList list;
  list.Add(-1);  // appended to, not cleared
  m.ListAllocatedFixedBlocks(5000, 3, list, 9);
  ASSERT_EQ(list.Count(), 1 + 18);
  for (uint32_t b = 0; b < 9; ++b) {
    EXPECT_EQ(static_cast<uint32_t>(list.Items(1 + static_cast<int>(b))), first + b * 5000);
    EXPECT_EQ(static_cast<uint32_t>(list.Items(10 + static_cast<int>(b))), second + b * 5000);
  }
  EXPECT_EQ(m.QueryTableLockStatus(0), kLockTypeNone);

  // Table headers of table 0 (code 1): the fixed area is not among them.
  const std::string block(kPage, '\0');
  const uint32_t hdrPage = m.WriteNewPages(0, 1, block.data(), 1, 0);
  list.Clear();
  m.ListAllocatedFixedBlocks(256, 0, list, 1);
  ASSERT_EQ(list.Count(), 16);
  EXPECT_EQ(static_cast<uint32_t>(list.Items(0)), hdrPage);

  // Pages that do not make whole requests are a broken rule.
  Alloc(m, 5, 5);
  EXPECT_THROW(m.ListAllocatedFixedBlocks(5000, 5, list, 9), host::EAssertionFailed);
  EXPECT_THROW(m.ListAllocatedFixedBlocks(0, 5, list, 9), host::EAssertionFailed);
  EXPECT_EQ(m.QueryTableLockStatus(0), kLockTypeNone);
}

// ---- other processes ----

TEST_F(DiskMgrTest, AWriteLockAgainstAnotherProcesssReadLockTimesOutWithTheFullText) {
  TChild child([&](TChildSide& side) {
    TDiskMgr m;
    db_.Configure(m);
    m.Open();
    m.SetTableLock(5, kLockTypeRead);
    m.SetTableLock(6, kLockTypeWrite);
    side.Send(1);
    side.WaitGo();
    return 0;
  });
  ASSERT_TRUE(child.Started());
  uint64_t ready = 0;
  ASSERT_TRUE(child.Receive(ready));

  TDiskMgr m;
  Open(m);
  os::TManualClock clock;
  os::TScopedClock scoped(clock);
  m.SetLockRetryCount(4);
  std::string message;
  EXPECT_EQ(ErrorCodeOf([&] { m.SetTableLock(5, kLockTypeWrite); }, &message), 10249);
  EXPECT_EQ(message, TimeoutText("A write lock could not be obtained on the table"));
  EXPECT_EQ(clock.SleepCount(), 4u);
  // Reading alongside is fine; reading a written table is not.
  EXPECT_EQ(m.SetTableLock(5, kLockTypeRead), kLockTypeRead);
  EXPECT_EQ(ErrorCodeOf([&] { m.SetTableLock(6, kLockTypeRead); }, &message), 10249);
  EXPECT_EQ(message, TimeoutText("A read lock could not be obtained on the table"));

  // In a transaction a failed table lock gives back the transaction lock it
  // took.
  m.DiskStartTransaction();
  EXPECT_EQ(ErrorCodeOf([&] { m.SetTableLock(6, kLockTypeWrite); }), 10249);
  EXPECT_EQ(m.TransLockMgr()->QueryLockType(6), kLockTypeNone);
  m.DiskRollback();

  child.Go();
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_EQ(m.SetTableLock(6, kLockTypeWrite), kLockTypeWrite);
}

TEST_F(DiskMgrTest, ATransactionThatOnlyReadCommitsBesideAnotherProcesssReadLock) {
  TDiskMgr m;
  Open(m);
  const uint32_t page = Alloc(m, 1, 5);
  TChild child([&](TChildSide& side) {
    TDiskMgr c;
    db_.Configure(c);
    c.Open();
    c.SetTableLock(5, kLockTypeRead);
    side.Send(1);
    side.WaitGo();
    return 0;
  });
  ASSERT_TRUE(child.Started());
  uint64_t ready = 0;
  ASSERT_TRUE(child.Receive(ready));

  os::TManualClock clock;
  os::TScopedClock scoped(clock);
  m.SetLockRetryCount(4);
  // Reading beside another reader: the commit has nothing to keep it from.
  m.DiskStartTransaction();
  EXPECT_EQ(m.SetTableLock(5, kLockTypeRead), kLockTypeRead);
  EXPECT_EQ(ReadBack(m, page, 1, 5), PagePattern(kPage, 5));
  m.DiskCommit();
  EXPECT_FALSE(m.IsTransactionActive());
  EXPECT_EQ(HeldLocks(m), 0);
  EXPECT_EQ(clock.SleepCount(), 0u);

  // A transaction that wrote the table must wait for the reader to go
  // before its commit writes.
  m.DiskStartTransaction();
  m.SetTableLock(5, kLockTypeWrite);
  const std::string changed = PagePattern(kPage, 55);
  m.WritePages(page, 1, changed.data(), 5, kAccessCached);
  EXPECT_EQ(ErrorCodeOf([&] { m.DiskCommit(); }), 10249);
  EXPECT_TRUE(m.IsTransactionActive());
  m.DiskRollback();
  EXPECT_EQ(HeldLocks(m), 0);

  child.Go();
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_EQ(ReadBack(m, page, 1, 5), PagePattern(kPage, 5));
}

TEST_F(DiskMgrTest, TwoProcessesAllocateTogetherAndSeeEachOthersPages) {
  constexpr int kRounds = 40;
  constexpr uint64_t kEnd = ~uint64_t{0};
  auto configure = [&](TDiskMgr& m) {
    db_.Configure(m);
    m.SetLockRetryCount(20000);
    m.SetLockRetryInterval(1);
    m.Open();
  };
  TChild child([&](TChildSide& side) {
    TDiskMgr m;
    configure(m);
    side.Send(0);
    if (!side.WaitGo()) return 2;
    std::vector<std::pair<uint32_t, uint32_t>> runs;
    for (int i = 0; i < kRounds; ++i) {
      const uint32_t count = 1 + i % 3;
      const uint32_t address = Alloc(m, count, 2, 1000 + static_cast<uint32_t>(i));
      runs.emplace_back(address, count);
      side.Send((uint64_t{address} << 32) | count);
    }
    side.Send(kEnd);
    if (!side.WaitGo()) return 3;
    for (const auto& [address, count] : runs) m.ReleasePages(address, count);
    m.Close();
    side.Send(1);
    return 0;
  });
  ASSERT_TRUE(child.Started());
  uint64_t value = 0;
  ASSERT_TRUE(child.Receive(value));

  TDiskMgr m;
  configure(m);
  child.Go();
  std::vector<std::pair<uint32_t, uint32_t>> ours;
  for (int i = 0; i < kRounds; ++i) {
    const uint32_t count = 1 + (i + 1) % 3;
    ours.emplace_back(Alloc(m, count, 3, 2000 + static_cast<uint32_t>(i)), count);
  }
  std::vector<std::pair<uint32_t, uint32_t>> theirs;
  while (child.Receive(value) && value != kEnd)
    theirs.emplace_back(static_cast<uint32_t>(value >> 32), static_cast<uint32_t>(value));
  ASSERT_EQ(theirs.size(), static_cast<size_t>(kRounds));

  std::set<uint32_t> pages;
  for (const auto& runs : {ours, theirs})
    for (const auto& [address, count] : runs)
      for (uint32_t p = 0; p < count; ++p)
        EXPECT_TRUE(pages.insert(address / kPage + p).second) << "page handed out twice";
  TMapImage img = db_.Map();
  ASSERT_EQ(img.error, "");
  for (int i = 0; i < kRounds; ++i) {
    const auto [address, count] = theirs[static_cast<size_t>(i)];
    EXPECT_EQ(img.Entry(address / kPage), 2 * 16 + 9);
    // Their pages read back here as they wrote them.
    EXPECT_EQ(ReadBack(m, address, count, 2), PagePattern(count * kPage, 1000 + i));
    EXPECT_EQ(img.Entry(ours[static_cast<size_t>(i)].first / kPage), 3 * 16 + 9);
  }

  // What they free, we are given.
  child.Go();
  ASSERT_TRUE(child.Receive(value));
  EXPECT_EQ(child.Wait(), 0);
  uint32_t lowest = ~0u;
  for (const auto& run : theirs) lowest = std::min(lowest, run.first);
  EXPECT_EQ(Alloc(m, 1, 4), lowest);
  img = db_.Map();
  ASSERT_EQ(img.error, "");
  host::TList list;
  m.ListAllocatedFixedBlocks(kPage, 2, list, 9);
  EXPECT_EQ(list.Count(), 0);
}

}  // namespace
}  // namespace tav
