#include "engine/storage/lock/lock_mgr.h"

#include <gtest/gtest.h>

#include "engine/storage/testing/engine_error_test_support.h"

#include <functional>

#include "engine/storage/testing/lock_test_support.h"
#include "engine/storage/base/tav_errors.h"
#include "host/rtl/exceptions.h"
#include "host/rtl/string_list.h"
#include "os/clock.h"
#include "os/file.h"
#include "os/random.h"
#include "os/testing/test_support.h"

namespace tav {
namespace {

using test::ErrorCodeOf;

using test::TChild;
using test::TChildSide;
using test::TProbe;

constexpr uint64_t kTable5 = kTableLockBase + 5 * kTableLockRegion;


std::string TimeoutText(const std::string& message) {
  return "The Tavrin database engine raised an error\r\n The requested lock could not be "
         "obtained. The request timed out (error code #10249) - " +
         message;
}

class LockMgrTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.Ok());
    path_ = dir_ / "Sales.lck";
    os::TOSFile::Create(path_, os::TFileCreation::CreateNew).reset();
    file_ = OpenHandle();
    ASSERT_NE(file_, nullptr);
  }

  std::unique_ptr<os::TOSFile> OpenHandle() {
    return os::TOSFile::Open(path_, os::TFileAccess::ReadWrite, os::TFileShare::DenyNone);
  }

  static std::unique_ptr<TBaseLockMgr> TableMgr(os::TOSFile* file) {
    auto m = GetLockManager(nullptr, file, kTableLockBase, kTableLockRegion, false);
    m->SetReadLockErrMsg(StavTableReadLockErr);
    m->SetWriteLockErrMsg(StavTableWriteLockErr);
    return m;
  }

  static std::unique_ptr<TBaseLockMgr> RecordMgr(os::TOSFile* file) {
    auto m = GetLockManager(nullptr, file, kRecordLockBase, kRecordLockRegion, false);
    m->SetReadLockErrMsg(StavRecordLockErr);
    m->SetWriteLockErrMsg(StavRecordLockErr);
    return m;
  }

  // Runs `probe` in another process and gives its result.
  int InChild(const std::function<bool(TProbe&)>& probe) {
    return os::test::RunInChild([&] {
      TProbe p(path_);
      return p.Ok() && probe(p) ? 0 : 1;
    });
  }

  os::test::TTempDir dir_;
  std::string path_;
  std::unique_ptr<os::TOSFile> file_;
  os::TManualClock clock_;
  os::TScopedClock use_clock_{clock_};
};

TEST_F(LockMgrTest, ConstructionRefusesAMissingHandleOrAnEmptyRegion) {
  EXPECT_THROW(GetLockManager(nullptr, nullptr, kTableLockBase, kTableLockRegion, false),
               host::EAssertionFailed);
  EXPECT_THROW(GetLockManager(nullptr, file_.get(), kTableLockBase, 0, false),
               host::EAssertionFailed);
  auto m = GetLockManager(nullptr, file_.get(), kTableLockBase, kTableLockRegion, false);
  EXPECT_NE(dynamic_cast<TWinLockMgr*>(m.get()), nullptr);
  EXPECT_EQ(m->LockRetryCount(), 10);
  EXPECT_EQ(m->LockRetryInterval(), 200u);
  EXPECT_FALSE(m->BeepOnLockRetry());
}

TEST_F(LockMgrTest, RegionAddressesDoNotWrapAt4GiB) {
  auto table = TableMgr(file_.get());
  auto record = RecordMgr(file_.get());
  EXPECT_EQ(table->GetCalculatedLockAddr(0), 0x800000u);
  EXPECT_EQ(table->GetCalculatedLockAddr(5), kTable5);
  EXPECT_EQ(table->GetCalculatedLockAddr(0x80000), 0x100800000u);
  EXPECT_EQ(record->GetCalculatedLockAddr(7), 0x2000007u);
  EXPECT_EQ(record->GetCalculatedLockAddr(0xFFFFFFF0u), 0x101FFFFF0u);
}

TEST_F(LockMgrTest, LocksTakenAndGivenBackOverAndOverListExactlyWhatIsHeld) {
  // Items given back are used again for the next locks: each must describe
  // its own lock only, in the order taken, whatever it held before.
  auto m = TableMgr(file_.get());
  for (int round = 0; round < 40; ++round) {
    const uint32_t reader = 5 + static_cast<uint32_t>(round % 3);
    EXPECT_TRUE(m->SetReadLock(reader, 0));
    EXPECT_EQ(m->SetWriteLock(9, 0), kLockTypeWrite);
    ASSERT_EQ(m->GetLockCount(), 2);
    const TLockItem* read = m->Locks().Items(0);
    EXPECT_EQ(read->RqID, reader);
    EXPECT_EQ(read->LckType, kLockTypeRead);
    EXPECT_EQ(read->LckSize, 1u);
    EXPECT_GE(read->LckAddr, m->GetCalculatedLockAddr(reader));
    EXPECT_LT(read->LckAddr, m->GetCalculatedLockAddr(reader) + kTableLockRegion);
    const TLockItem* write = m->Locks().Items(1);
    EXPECT_EQ(write->RqID, 9u);
    EXPECT_EQ(write->LckType, kLockTypeWrite);
    EXPECT_EQ(write->LckAddr, m->GetCalculatedLockAddr(9));
    EXPECT_EQ(write->LckSize, kTableLockRegion);
    // Giving back the first leaves the second as it was.
    m->ReleaseLock(reader);
    ASSERT_EQ(m->GetLockCount(), 1);
    EXPECT_EQ(m->Locks().Items(0)->RqID, 9u);
    EXPECT_EQ(m->QueryLockType(reader), kLockTypeNone);
    if (round % 2 == 0) {
      m->ReleaseLock(9);
    } else {
      m->ReleaseAllLocks();
    }
    ASSERT_EQ(m->GetLockCount(), 0);
  }
  // Nothing is left held in the file either.
  EXPECT_EQ(InChild([](TProbe& p) {
              return p.Free(kTableLockBase + 5 * kTableLockRegion, 3 * kTableLockRegion) &&
                     p.Free(kTableLockBase + 9 * kTableLockRegion, kTableLockRegion);
            }),
            0);
}

TEST_F(LockMgrTest, LocksTakenAfterReleasingAllDescribeOnlyThemselves) {
  // More items given back at once than are kept, upgrade pieces among them.
  auto m = TableMgr(file_.get());
  for (int round = 0; round < 3; ++round) {
    for (uint32_t id = 1; id <= 12; ++id) EXPECT_TRUE(m->SetReadLock(id, 0));
    m->UpgradeReadLockToWriteLock(3, 0);
    EXPECT_GT(m->GetLockCount(), 12);
    m->ReleaseAllLocks();
    ASSERT_EQ(m->GetLockCount(), 0);
    EXPECT_EQ(m->QueryLockType(3), kLockTypeNone);
    EXPECT_EQ(m->SetWriteLock(20, 0), kLockTypeWrite);
    EXPECT_TRUE(m->SetReadLock(21, 0));
    ASSERT_EQ(m->GetLockCount(), 2);
    const TLockItem* write = m->Locks().Items(0);
    EXPECT_EQ(write->RqID, 20u);
    EXPECT_EQ(write->LckType, kLockTypeWrite);
    EXPECT_EQ(write->LckAddr, m->GetCalculatedLockAddr(20));
    EXPECT_EQ(write->LckSize, kTableLockRegion);
    const TLockItem* read = m->Locks().Items(1);
    EXPECT_EQ(read->RqID, 21u);
    EXPECT_EQ(read->LckType, kLockTypeRead);
    EXPECT_EQ(read->LckSize, 1u);
    EXPECT_EQ(m->QueryLockType(3), kLockTypeNone);
    m->ReleaseAllLocks();
  }
  EXPECT_EQ(InChild([](TProbe& p) { return p.Free(kTableLockBase, 22 * kTableLockRegion); }), 0);
}

// Locks taken again after every lock was given back (their records reused)
// are held in the file, as another process finds, and go when given back.
TEST_F(LockMgrTest, LocksTakenAgainAfterReleasingAllAreHeldForAnotherProcess) {
  auto m = TableMgr(file_.get());
  for (int round = 0; round < 3; ++round) {
    for (uint32_t id = 1; id <= 12; ++id) EXPECT_TRUE(m->SetReadLock(id, 0));
    m->UpgradeReadLockToWriteLock(3, 0);
    m->ReleaseAllLocks();
    ASSERT_EQ(InChild([](TProbe& p) { return p.Free(kTableLockBase, 13 * kTableLockRegion); }), 0) << round;
    // The same ids and others, read and written.
    EXPECT_EQ(m->SetWriteLock(3, 0), kLockTypeWrite);
    EXPECT_TRUE(m->SetReadLock(7, 0));
    EXPECT_EQ(m->SetWriteLock(20, 0), kLockTypeWrite);
    const uint64_t at3 = m->GetCalculatedLockAddr(3), at7 = m->GetCalculatedLockAddr(7),
                   at20 = m->GetCalculatedLockAddr(20);
    EXPECT_EQ(InChild([&](TProbe& p) {
                return p.HeldBytes(at3, kTableLockRegion) == static_cast<int>(kTableLockRegion) &&
                       p.HeldBytes(at20, kTableLockRegion) == static_cast<int>(kTableLockRegion) &&
                       p.HeldBytes(at7, kTableLockRegion) > 0 && !p.Free(at3, 1) && !p.Free(at20 + 17, 1);
              }),
              0)
        << round;
    // A writer elsewhere cannot have what a read lock holds.
    EXPECT_EQ(InChild([&](TProbe& p) { return p.Free(at7, kTableLockRegion); }), 1) << round;
    m->ReleaseLock(3);
    EXPECT_EQ(InChild([&](TProbe& p) { return p.Free(at3, kTableLockRegion) && !p.Free(at20, 1); }), 0) << round;
    m->ReleaseAllLocks();
  }
  EXPECT_EQ(InChild([](TProbe& p) { return p.Free(kTableLockBase, 22 * kTableLockRegion); }), 0);
}

TEST_F(LockMgrTest, UncontendedWriteLockHoldsExactlyTheTablesRegion) {
  auto m = TableMgr(file_.get());
  EXPECT_EQ(m->SetWriteLock(5, 0), kLockTypeWrite);
  ASSERT_EQ(m->GetLockCount(), 1);
  const TLockItem* item = m->Locks().Items(0);
  EXPECT_EQ(item->LckAddr, kTable5);
  EXPECT_EQ(item->LckSize, kTableLockRegion);
  EXPECT_EQ(item->RqID, 5u);
  EXPECT_EQ(m->QueryLockType(5), kLockTypeWrite);
  EXPECT_EQ(InChild([](TProbe& p) {
              return p.Free(kTable5 - 1) && !p.Free(kTable5) &&
                     !p.Free(kTable5 + kTableLockRegion - 1) && p.Free(kTable5 + kTableLockRegion);
            }),
            0);
  // Asking again takes nothing more.
  EXPECT_EQ(m->SetWriteLock(5, 0), kLockTypeWrite);
  EXPECT_EQ(m->GetLockCount(), 1);

  // A smaller write lock holds that many bytes from the region's start.
  EXPECT_EQ(m->SetWriteLock(6, 100), kLockTypeWrite);
  TProbe probe(path_);
  EXPECT_FALSE(probe.Free(kTable5 + kTableLockRegion + 99));
  EXPECT_TRUE(probe.Free(kTable5 + kTableLockRegion + 100));
}

TEST_F(LockMgrTest, ReadLocksStayInsideTheirRegion) {
  // Four-byte regions and three-byte reads: only the first two bytes may start
  // a read, or it would reach into the next id's region.
  auto small = GetLockManager(nullptr, file_.get(), 0x900000, 4, false);
  auto table = TableMgr(file_.get());
  TProbe probe(path_);
  bool sawFirst = false, sawLast = false;
  for (uint32_t seed = 0; seed < 200; ++seed) {
    os::SetRandSeed(seed);
    ASSERT_TRUE(small->SetReadLock(1, 3));
    const uint64_t at = small->Locks().Items(0)->LckAddr;
    ASSERT_GE(at, 0x900004u);
    ASSERT_LE(at, 0x900005u);
    sawFirst |= at == 0x900004u;
    sawLast |= at == 0x900005u;
    ASSERT_TRUE(probe.Free(0x900008));
    small->ReleaseLock(1);

    ASSERT_TRUE(table->SetReadLock(5, 100));
    const TLockItem* read = table->Locks().Items(0);
    ASSERT_GE(read->LckAddr, kTable5);
    ASSERT_LE(read->LckAddr + read->LckSize, kTable5 + kTableLockRegion);
    ASSERT_EQ(read->LckType, kLockTypeRead);
    table->ReleaseLock(5);
  }
  EXPECT_TRUE(sawFirst && sawLast);
  EXPECT_EQ(clock_.SleepCount(), 0u);
}

TEST_F(LockMgrTest, AnyLockHeldSatisfiesARead) {
  auto m = TableMgr(file_.get());
  m->SetWriteLock(5, 0);
  EXPECT_TRUE(m->SetReadLock(5, 0));
  EXPECT_EQ(m->GetLockCount(), 1);
  EXPECT_EQ(clock_.SleepCount(), 0u);

  EXPECT_TRUE(m->SetReadLock(6, 0));
  EXPECT_TRUE(m->SetReadLock(6, 0));
  EXPECT_EQ(m->GetLockCount(), 2);
  EXPECT_EQ(m->QueryLockType(6), kLockTypeRead);
  EXPECT_TRUE(m->LockExists(6, kLockTypeRead));
  EXPECT_FALSE(m->LockExists(6, kLockTypeWrite));
  EXPECT_EQ(m->QueryLockType(7), kLockTypeNone);
}

TEST_F(LockMgrTest, UpgradeHoldsTheWholeRegionAndReleaseLeavesNothing) {
  auto m = TableMgr(file_.get());
  ASSERT_TRUE(m->SetReadLock(5, 0));
  EXPECT_EQ(m->SetWriteLock(5, 0), kLockTypeWrite);
  EXPECT_EQ(m->GetLockCount(), 3);
  EXPECT_EQ(m->QueryLockType(5), kLockTypeWrite);  // though the read comes first
  EXPECT_TRUE(m->LockExists(5, kLockTypeRead));
  EXPECT_TRUE(m->LockExists(5, kLockTypeWrite));
  EXPECT_EQ(InChild([](TProbe& p) {
              return p.HeldBytes(kTable5, kTableLockRegion) == static_cast<int>(kTableLockRegion) &&
                     p.Free(kTable5 - 1) && p.Free(kTable5 + kTableLockRegion);
            }),
            0);

  m->ReleaseLock(5);
  EXPECT_EQ(m->GetLockCount(), 0);
  EXPECT_EQ(m->QueryLockType(5), kLockTypeNone);
  EXPECT_EQ(InChild([](TProbe& p) { return p.Free(kTable5, kTableLockRegion); }), 0);
}

TEST_F(LockMgrTest, UpgradeOfAOneByteRegionHoldsItAndReleasesCleanly) {
  auto m = RecordMgr(file_.get());
  ASSERT_TRUE(m->SetReadLock(77, 0));
  EXPECT_EQ(m->SetWriteLock(77, 0), kLockTypeWrite);
  EXPECT_EQ(m->QueryLockType(77), kLockTypeWrite);
  EXPECT_EQ(m->SetWriteLock(77, 0), kLockTypeWrite);
  TProbe probe(path_);
  EXPECT_FALSE(probe.Free(kRecordLockBase + 77));
  m->ReleaseLock(77);
  EXPECT_EQ(m->GetLockCount(), 0);
  EXPECT_TRUE(probe.Free(kRecordLockBase + 76, 3));
}

TEST_F(LockMgrTest, FailedUpgradeKeepsOnlyTheReadLock) {
  // Someone else reads the region's last byte, so the part after our read
  // byte cannot be had while the part before it can: that one must go again.
  const uint64_t last = kTable5 + kTableLockRegion - 1;
  auto other = OpenHandle();
  ASSERT_TRUE(other->LockRange(last, 1));
  auto ours = TableMgr(file_.get());
  os::SetRandSeed(12345);
  ASSERT_TRUE(ours->SetReadLock(5, 0));
  ASSERT_GT(ours->Locks().Items(0)->LckAddr, kTable5);  // there is a part before
  const uint32_t sleptBefore = clock_.SleepCount();

  std::string message;
  EXPECT_EQ(ErrorCodeOf([&] { ours->SetWriteLock(5, 0); }, &message), 10249);
  EXPECT_EQ(message, TimeoutText("A write lock could not be obtained on the table"));
  EXPECT_EQ(clock_.SleepCount() - sleptBefore, 10u);
  EXPECT_EQ(ours->GetLockCount(), 1);
  EXPECT_EQ(ours->QueryLockType(5), kLockTypeRead);
  // Nothing but the two read bytes is held.
  TProbe probe(path_);
  EXPECT_EQ(probe.HeldBytes(kTable5, kTableLockRegion), 2);

  EXPECT_EQ(ErrorCodeOf([&] { ours->UpgradeReadLockToWriteLock(5, 0); }), 10249);
  ASSERT_TRUE(other->UnlockRange(last, 1));
  ours->UpgradeReadLockToWriteLock(5, 0);
  EXPECT_EQ(ours->QueryLockType(5), kLockTypeWrite);
  EXPECT_EQ(probe.HeldBytes(kTable5, kTableLockRegion), static_cast<int>(kTableLockRegion));
}

TEST_F(LockMgrTest, WriteLockAgainstAnotherProcessesReadLockTimesOut) {
  TChild reader([&](TChildSide& side) {
    auto handle = OpenHandle();
    auto m = TableMgr(handle.get());
    m->SetReadLock(5, 0);
    side.Send(m->Locks().Items(0)->LckAddr);
    return side.WaitGo() ? 0 : 1;
  });
  uint64_t theirByte = 0;
  ASSERT_TRUE(reader.Receive(theirByte));

  auto m = TableMgr(file_.get());
  std::string message;
  EXPECT_EQ(ErrorCodeOf([&] { m->SetWriteLock(5, 0); }, &message), 10249);
  EXPECT_EQ(message, TimeoutText("A write lock could not be obtained on the table"));
  EXPECT_EQ(clock_.SleepCount(), 10u);
  EXPECT_EQ(clock_.SleptMs(), 2000u);
  EXPECT_EQ(m->GetLockCount(), 0);

  // Two readers share the table.
  ASSERT_TRUE(m->SetReadLock(5, 0));
  EXPECT_NE(m->Locks().Items(0)->LckAddr, theirByte);
  m->ReleaseAllLocks();

  m->SetLockRetryCount(3);
  m->SetLockRetryInterval(50);
  const uint32_t sleeps = clock_.SleepCount();
  const uint64_t slept = clock_.SleptMs();
  EXPECT_EQ(ErrorCodeOf([&] { m->SetWriteLock(5, 0); }), 10249);
  EXPECT_EQ(clock_.SleepCount() - sleeps, 3u);
  EXPECT_EQ(clock_.SleptMs() - slept, 150u);

  reader.Go();
  EXPECT_EQ(reader.Wait(), 0);
  EXPECT_EQ(m->SetWriteLock(5, 0), kLockTypeWrite);
}

TEST_F(LockMgrTest, ReadLockAgainstAWriterTimesOutWithTheReadMessage) {
  auto other = OpenHandle();
  auto writer = TableMgr(other.get());
  writer->SetWriteLock(5, 0);
  auto m = TableMgr(file_.get());
  m->SetLockRetryCount(0);  // still one attempt
  std::string message;
  EXPECT_EQ(ErrorCodeOf([&] { m->SetReadLock(5, 0); }, &message), 10249);
  EXPECT_EQ(message, TimeoutText("A read lock could not be obtained on the table"));
  EXPECT_EQ(clock_.SleepCount(), 1u);
  EXPECT_EQ(m->GetLockCount(), 0);
}

TEST_F(LockMgrTest, LockOffsetsAbove4GiBWork) {
  auto records = RecordMgr(file_.get());
  auto tables = TableMgr(file_.get());
  EXPECT_EQ(records->SetWriteLock(0xFFFFFFF0u, 0), kLockTypeWrite);
  EXPECT_EQ(records->Locks().Items(0)->LckAddr, 0x101FFFFF0u);
  EXPECT_EQ(tables->SetWriteLock(0x80000, 0), kLockTypeWrite);
  EXPECT_EQ(tables->Locks().Items(0)->LckAddr, 0x100800000u);
  // Held where they belong, and not at the offsets 32 bits would give.
  EXPECT_EQ(InChild([](TProbe& p) {
              return !p.Free(0x101FFFFF0u) && p.Free(0x01FFFFF0u) && !p.Free(0x100800000u) &&
                     !p.Free(0x100801FFFu) && p.Free(0x800000u, kTableLockRegion);
            }),
            0);
  records->ReleaseLock(0xFFFFFFF0u);
  tables->ReleaseLock(0x80000);
  EXPECT_EQ(InChild([](TProbe& p) { return p.Free(0x101FFFFF0u) && p.Free(0x100800000u); }), 0);
}

TEST_F(LockMgrTest, LockLimitKeepsIdsOutOfTheNextManagersBytes) {
  auto trans = GetLockManager(nullptr, file_.get(), kTransLockBase, kTransLockRegion, false);
  trans->SetLockLimit(kRecordLockBase);
  EXPECT_EQ(trans->SetWriteLock(0x1FFF, 0), kLockTypeWrite);
  EXPECT_THROW(trans->SetWriteLock(0x2000, 0), host::EAssertionFailed);
  EXPECT_THROW(trans->SetReadLock(0x2000, 0), host::EAssertionFailed);
  EXPECT_EQ(trans->GetLockCount(), 1);
  EXPECT_TRUE(test::RangeIsFree(path_, kRecordLockBase));

  auto tables = TableMgr(file_.get());
  tables->SetLockLimit(kTransLockBase);
  EXPECT_EQ(tables->SetWriteLock(3070, 0), kLockTypeWrite);
  EXPECT_THROW(tables->SetWriteLock(3071, 0), host::EAssertionFailed);
}

TEST_F(LockMgrTest, RequestsLargerThanTheRegionAreRefused) {
  auto m = TableMgr(file_.get());
  EXPECT_THROW(m->SetReadLock(5, kTableLockRegion + 1), host::EAssertionFailed);
  EXPECT_THROW(m->SetWriteLock(5, kTableLockRegion + 1), host::EAssertionFailed);
  EXPECT_EQ(m->GetLockCount(), 0);
  EXPECT_TRUE(m->SetReadLock(5, kTableLockRegion));  // the whole region is allowed
  EXPECT_EQ(m->Locks().Items(0)->LckAddr, kTable5);
}

TEST_F(LockMgrTest, UpgradeReadLocksWritesEveryIdHeld) {
  auto m = TableMgr(file_.get());
  m->SetReadLock(1, 0);
  m->SetReadLock(2, 0);
  m->SetWriteLock(3, 0);
  m->UpgradeReadLocks();
  EXPECT_EQ(m->GetLockCount(), 7);
  for (uint32_t id = 1; id <= 3; ++id) EXPECT_EQ(m->QueryLockType(id), kLockTypeWrite);
  TProbe probe(path_);
  EXPECT_EQ(probe.HeldBytes(kTableLockBase + kTableLockRegion, 3 * kTableLockRegion),
            static_cast<int>(3 * kTableLockRegion));
}

TEST_F(LockMgrTest, ReleaseAllAndDestructionLeaveNothingHeld) {
  const uint64_t from = kTableLockBase + kTableLockRegion;
  const uint64_t span = 3 * kTableLockRegion;
  auto m = TableMgr(file_.get());
  m->SetWriteLock(1, 0);
  m->SetReadLock(2, 0);
  m->SetReadLock(3, 0);
  m->SetWriteLock(3, 0);
  m->ReleaseAllLocks();
  EXPECT_EQ(m->GetLockCount(), 0);
  EXPECT_EQ(InChild([&](TProbe& p) { return p.Free(from, span); }), 0);

  m->SetWriteLock(1, 0);
  m->SetReadLock(2, 0);
  m->SetWriteLock(2, 0);
  EXPECT_FALSE(test::RangeIsFree(path_, from, span));
  m.reset();
  EXPECT_EQ(InChild([&](TProbe& p) { return p.Free(from, span); }), 0);
}

TEST_F(LockMgrTest, TheBaseManagerLocksNothing) {
  TBaseLockMgr base(file_.get(), kTableLockBase, kTableLockRegion);
  base.SetWriteLockErrMsg("no locks here");
  std::string message;
  EXPECT_EQ(ErrorCodeOf([&] { base.SetWriteLock(5, 0); }, &message), 10249);
  EXPECT_EQ(message, TimeoutText("no locks here"));
  EXPECT_EQ(base.GetLockCount(), 0);
}

TEST_F(LockMgrTest, DebugDumpStatusListsTheLocks) {
  auto m = TableMgr(file_.get());
  m->SetWriteLock(5, 0);
  host::TStringList list;
  m->DebugDumpStatus(list);
  ASSERT_EQ(list.Count(), 4);
  EXPECT_EQ(list.Strings(0), "TBaseLockMgr.DebugDumpStatus");
  EXPECT_EQ(list.Strings(1), "Hnd - " + std::to_string(file_->Id()));
  EXPECT_EQ(list.Strings(2), "Locks present - 1");
  EXPECT_EQ(list.Strings(3), "Lock 0: Addr 8429568 Size 8192 Type 4");
}

}  // namespace
}  // namespace tav
