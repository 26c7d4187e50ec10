#include "engine/storage/lock/lock_file.h"

#include <gtest/gtest.h>

#include "engine/storage/testing/engine_error_test_support.h"

#include <cstring>
#include <filesystem>
#include <functional>

#include "engine/storage/testing/lock_test_support.h"
#include "engine/storage/base/tav_errors.h"
#include "host/rtl/string_list.h"
#include "os/clock.h"
#include "os/file.h"
#include "os/testing/test_support.h"

namespace tav {
namespace {

using test::ErrorCodeOf;

using test::TChild;
using test::TChildSide;
using test::TProbe;

constexpr uint64_t kFirstEntry = kLckHeaderSize;
constexpr uint64_t kFirstEntryLocks = kLckUserLockBase + kFirstEntry;


std::string EntryAt(const std::string& raw, uint64_t offset) {
  if (raw.size() < offset + kLckEntrySize) return "<missing>";
  return std::string(raw.c_str() + offset);
}

// A clock whose first Sleep runs `onFirstSleep`, for stopping a process at
// its first pause in a retry loop.
class TGateClock final : public os::TClock {
 public:
  std::function<void()> onFirstSleep;
  double Now() override { return 0; }
  uint32_t TickCount() override { return 0; }
  void Sleep(uint32_t) override {
    if (!onFirstSleep) return;
    auto run = std::move(onFirstSleep);
    onFirstSleep = nullptr;
    run();
  }
};

class LockFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.Ok());
    db_path_ = dir_ / "Sales.tav";
    os::test::WriteWholeFile(db_path_, std::string(16384, '\0'));
    lck_path_ = GetLockFileName(db_path_);
    db_ = OpenDb();
    ASSERT_NE(db_, nullptr);
  }

  std::unique_ptr<os::TOSFile> OpenDb() {
    return os::TOSFile::Open(db_path_, os::TFileAccess::ReadWrite, os::TFileShare::DenyNone);
  }

  // A connection as another process makes it: its own database handle.
  struct TConnection {
    std::unique_ptr<os::TOSFile> db;
    std::unique_ptr<TDBUserMonitor> monitor;
  };
  TConnection Connect(const std::string& user, const std::string& computer = "box") {
    TConnection c;
    c.db = OpenDb();
    c.monitor = std::make_unique<TDBUserMonitor>(c.db.get(), lck_path_);
    c.monitor->Open(user, computer);
    return c;
  }

  std::string RawLockFile() const { return os::test::ReadWholeFile(lck_path_); }

  os::test::TTempDir dir_;
  std::string db_path_;
  std::string lck_path_;
  std::unique_ptr<os::TOSFile> db_;
};

TEST(LockFileNameTest, NameRuleLooksAtTheFileNameOnly) {
  EXPECT_EQ(GetLockFileName("Sales.tav"), "Sales.lck");
  EXPECT_EQ(GetLockFileName("/data/SALES.TAV"), "/data/SALES.lck");
  EXPECT_EQ(GetLockFileName("/data/Sales.dat"), "/data/Sales_dat.lck");
  EXPECT_EQ(GetLockFileName("/data/Sales"), "/data/Sales.lck");
  EXPECT_EQ(GetLockFileName("/data/a.b.c"), "/data/a_b.c.lck");
  EXPECT_EQ(GetLockFileName("/data/my.tavern.db"), "/data/my.tavern.lck");
  // Dots and ".tav" in folder names change nothing.
  EXPECT_EQ(GetLockFileName("/srv/v1.2/Sales.dat"), "/srv/v1.2/Sales_dat.lck");
  EXPECT_EQ(GetLockFileName("/srv/old.tav/Sales.dat"), "/srv/old.tav/Sales_dat.lck");
  EXPECT_EQ(GetLockFileName("/srv/v1.2/Sales"), "/srv/v1.2/Sales.lck");
}

TEST_F(LockFileTest, FirstOpenWritesHeaderAndEntryAndLeavesNoTemporaryFile) {
  TDBUserMonitor m(db_.get(), lck_path_);
  m.Open("alice", "my box");
  ASSERT_TRUE(m.IsOpen());
  EXPECT_EQ(m.EntryText(), "\"my box\",alice");
  EXPECT_EQ(m.LockByte(), kFirstEntryLocks);

  const std::string raw = RawLockFile();
  ASSERT_EQ(raw.size(), 2 * kLckEntrySize);
  EXPECT_EQ(raw.substr(0, kLckHeaderSize), std::string(kLckHeaderSize, '\0'));
  std::string entry(kLckEntrySize, '\0');
  std::memcpy(entry.data(), "\"my box\",alice", 14);
  EXPECT_EQ(raw.substr(kFirstEntry), entry);

  int files = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir_.Path())) {
    (void)e;
    ++files;
  }
  EXPECT_EQ(files, 2);  // the database and its lock file

  // Our byte is held against everybody else, the rest of the entry's range not.
  TProbe probe(lck_path_);
  EXPECT_FALSE(probe.Free(kFirstEntryLocks));
  EXPECT_TRUE(probe.Free(kFirstEntryLocks + 1, kLckEntrySize - 1));
  EXPECT_TRUE(probe.Free(kLckMutexOffset));
}

TEST_F(LockFileTest, SameUserInTwoProcessesSharesOneEntryAndConsecutiveBytes) {
  TDBUserMonitor first(db_.get(), lck_path_);
  first.Open("alice", "box");
  ASSERT_EQ(first.LockByte(), kFirstEntryLocks);

  // The same names in other letter cases name the same entry.
  TChild child([&](TChildSide& side) {
    TConnection c = Connect("ALICE", "Box");
    side.Send(c.monitor->LockByte());
    if (!side.WaitGo()) return 1;
    c.monitor->Close();
    return 0;
  });
  uint64_t childByte = 0;
  ASSERT_TRUE(child.Receive(childByte));
  EXPECT_EQ(childByte, kFirstEntryLocks + 1);
  EXPECT_EQ(RawLockFile().size(), 2 * kLckEntrySize);  // no second entry
  {
    TProbe probe(lck_path_);
    EXPECT_FALSE(probe.Free(kFirstEntryLocks));
    EXPECT_FALSE(probe.Free(kFirstEntryLocks + 1));
    EXPECT_TRUE(probe.Free(kFirstEntryLocks + 2));
  }
  EXPECT_EQ(first.GetCurrentConnectionCount(), 2);
  EXPECT_EQ(first.GetCurrentUserCount(), 1);

  child.Go();
  EXPECT_EQ(child.Wait(), 0);
  // The other connection of the entry keeps it.
  EXPECT_EQ(EntryAt(RawLockFile(), kFirstEntry), "box,alice");
  EXPECT_EQ(first.GetCurrentConnectionCount(), 1);
}

TEST_F(LockFileTest, LastCloseDeletesTheLockFile) {
  TDBUserMonitor first(db_.get(), lck_path_);
  first.Open("alice", "box");
  TChild child([&](TChildSide& side) {
    TConnection c = Connect("bob");
    side.Send(c.monitor->LockByte());
    if (!side.WaitGo()) return 1;
    c.monitor->Close();
    return os::FileExists(lck_path_) ? 0 : 2;
  });
  uint64_t byte = 0;
  ASSERT_TRUE(child.Receive(byte));
  EXPECT_EQ(byte, kLckUserLockBase + 2 * kLckEntrySize);  // bob's own entry
  child.Go();
  EXPECT_EQ(child.Wait(), 0);  // alice is still there: the file stays
  EXPECT_EQ(EntryAt(RawLockFile(), kFirstEntry + kLckEntrySize), "");

  first.Close();
  EXPECT_FALSE(first.IsOpen());
  EXPECT_FALSE(os::FileExists(lck_path_));
  first.Close();  // closing twice is harmless
}

TEST_F(LockFileTest, KilledProcessIsSweptByTheNextOpen) {
  TDBUserMonitor alice(db_.get(), lck_path_);
  alice.Open("alice", "box");
  {
    TChild bob([&](TChildSide& side) {
      TConnection c = Connect("bob");
      side.Send(c.monitor->LockByte());
      side.WaitGo();  // killed while waiting
      return 0;
    });
    uint64_t byte = 0;
    ASSERT_TRUE(bob.Receive(byte));
    bob.Kill();
    EXPECT_EQ(bob.Wait(), -1);
  }
  // Its entry is still written, but nobody holds its bytes any more.
  EXPECT_EQ(EntryAt(RawLockFile(), kFirstEntry + kLckEntrySize), "box,bob");
  EXPECT_EQ(alice.GetCurrentUserCount(), 1);

  TConnection carol = Connect("carol");
  // The sweep emptied bob's entry, and carol took the first empty one.
  EXPECT_EQ(carol.monitor->LockByte(), kLckUserLockBase + 2 * kLckEntrySize);
  host::TStringList users;
  alice.GetCurrentUsers(users);
  ASSERT_EQ(users.Count(), 2);
  EXPECT_EQ(users.Strings(0), "box,alice");
  EXPECT_EQ(users.Strings(1), "box,carol");
}

TEST_F(LockFileTest, KilledProcessIsSweptByTheNextCloseAndTheFileGoes) {
  TDBUserMonitor alice(db_.get(), lck_path_);
  alice.Open("alice", "box");
  {
    TChild bob([&](TChildSide& side) {
      TConnection c = Connect("bob");
      side.Send(c.monitor->LockByte());
      side.WaitGo();
      return 0;
    });
    uint64_t byte = 0;
    ASSERT_TRUE(bob.Receive(byte));
    bob.Kill();
    bob.Wait();
  }
  alice.Close();
  EXPECT_FALSE(os::FileExists(lck_path_));
}

TEST_F(LockFileTest, TwoConnectionsInOneProcessExcludeEachOther) {
  TConnection one = Connect("alice");
  TConnection two = Connect("alice");
  EXPECT_EQ(one.monitor->LockByte(), kFirstEntryLocks);
  EXPECT_EQ(two.monitor->LockByte(), kFirstEntryLocks + 1);
  EXPECT_EQ(one.monitor->GetCurrentConnectionCount(), 2);
  // Each holds its byte against the other's handle.
  EXPECT_FALSE(one.monitor->LockFileHandle()->LockRange(two.monitor->LockByte(), 1));
  EXPECT_FALSE(two.monitor->LockFileHandle()->LockRange(one.monitor->LockByte(), 1));

  one.monitor->Close();
  EXPECT_TRUE(os::FileExists(lck_path_));
  EXPECT_EQ(two.monitor->GetCurrentConnectionCount(), 1);
  // A new connection takes the freed first byte.
  TConnection three = Connect("alice");
  EXPECT_EQ(three.monitor->LockByte(), kFirstEntryLocks);
  three.monitor->Close();
  two.monitor->Close();
  EXPECT_FALSE(os::FileExists(lck_path_));
}

TEST_F(LockFileTest, CountsAndUserListFollowTheEntries) {
  TConnection a1 = Connect("alice");
  TConnection a2 = Connect("alice");
  TConnection b = Connect("bob");
  EXPECT_EQ(a1.monitor->GetCurrentUserCount(), 2);
  EXPECT_EQ(a1.monitor->GetCurrentConnectionCount(), 3);
  b.monitor->Close();

  host::TStringList users;
  users.Add("stale line");
  a1.monitor->GetCurrentUsers(users);
  ASSERT_EQ(users.Count(), 2);
  EXPECT_EQ(users.Strings(0), "box,alice");
  EXPECT_EQ(users.Strings(1), "");  // empty entries are listed too
  EXPECT_EQ(a2.monitor->GetCurrentUserCount(), 1);
  EXPECT_EQ(a2.monitor->GetCurrentConnectionCount(), 2);

  host::TStringList dump;
  a1.monitor->DebugDumpStatus(dump);
  EXPECT_EQ(dump.Strings(0), "TDBUserMonitor.DebugDumpStatus");
  EXPECT_NE(dump.Text().find("Connections 2 Text box,alice"), std::string::npos);

  TDBUserMonitor closed(db_.get(), lck_path_);
  EXPECT_EQ(closed.GetCurrentConnectionCount(), 0);
  closed.GetCurrentUsers(users);
  EXPECT_EQ(users.Count(), 0);
}

TEST_F(LockFileTest, MutexHeldElsewhereFailsOpenAfterTheRetries) {
  TConnection holder = Connect("alice");
  auto other = os::TOSFile::Open(lck_path_, os::TFileAccess::ReadWrite, os::TFileShare::DenyNone);
  ASSERT_TRUE(other->LockRange(kLckMutexOffset, 1));

  os::TManualClock clock;
  os::TScopedClock useClock(clock);
  TDBUserMonitor m(db_.get(), lck_path_);
  std::string message;
  EXPECT_EQ(ErrorCodeOf([&] { m.Open("bob", "box"); }, &message), 10249);
  EXPECT_EQ(message,
            "The Tavrin database engine raised an error\r\n The requested lock could not be "
            "obtained. The request timed out (error code #10249) - A lock could not be obtained on "
            "the lock file");
  EXPECT_EQ(clock.SleepCount(), 20u);
  EXPECT_EQ(clock.SleptMs(), 2000u);
  EXPECT_FALSE(m.IsOpen());
  EXPECT_EQ(m.LockByte(), 0u);

  // Close waits for the mutex too; it still ends closed, holding nothing.
  EXPECT_EQ(ErrorCodeOf([&] { holder.monitor->Close(); }), 10249);
  EXPECT_FALSE(holder.monitor->IsOpen());
  EXPECT_TRUE(other->UnlockRange(kLckMutexOffset, 1));
  EXPECT_TRUE(test::RangeIsFree(lck_path_, kLckUserLockBase, kLckUserLockBase));
}

TEST_F(LockFileTest, ParentLockHeldElsewhereKeepsTheFileFromBeingCreated) {
  auto other = OpenDb();
  ASSERT_TRUE(other->LockRange(kLckParentLockOffset, 1));
  os::TManualClock clock;
  os::TScopedClock useClock(clock);
  TDBUserMonitor m(db_.get(), lck_path_);
  EXPECT_EQ(ErrorCodeOf([&] { m.Open("alice", "box"); }), 10249);
  EXPECT_FALSE(os::FileExists(lck_path_));
  EXPECT_TRUE(other->UnlockRange(kLckParentLockOffset, 1));

  // Without a database handle there is no parent lock to wait for.
  ASSERT_TRUE(other->LockRange(kLckParentLockOffset, 1));
  TDBUserMonitor noParent(nullptr, lck_path_);
  noParent.Open("alice", "box");
  EXPECT_TRUE(os::FileExists(lck_path_));
  noParent.Close();
  EXPECT_FALSE(os::FileExists(lck_path_));
}

TEST_F(LockFileTest, DamagedLockFilesRaiseTheirErrorsAndLeaveNothingHeld) {
  std::string fullEntry(2 * kLckEntrySize, '\0');
  std::memset(fullEntry.data() + kFirstEntry, 'x', kLckEntrySize);  // no terminating zero
  const struct {
    std::string content;
    int code;
  } cases[] = {
      {std::string(10, '\0'), 8966},                    // shorter than the header
      {std::string(kLckHeaderSize + 100, '\0'), 8966},  // a partial entry
      {fullEntry, 8966},
  };
  for (const auto& c : cases) {
    os::test::WriteWholeFile(lck_path_, c.content);
    TDBUserMonitor m(db_.get(), lck_path_);
    std::string message;
    EXPECT_EQ(ErrorCodeOf([&] { m.Open("alice", "box"); }, &message), c.code);
    EXPECT_NE(message.find("Corrupt lock file"), std::string::npos) << message;
    EXPECT_FALSE(m.IsOpen());
    EXPECT_TRUE(test::RangeIsFree(lck_path_, 0, 2 * kLckUserLockBase));
    EXPECT_EQ(RawLockFile(), c.content);  // nothing written into it
  }
}

TEST_F(LockFileTest, OversizedLockFileIsRefused) {
  {
    auto f = os::TOSFile::Create(lck_path_, os::TFileCreation::CreateNew);
    ASSERT_TRUE(f->SetSize(kLckUserLockBase));
  }
  TDBUserMonitor m(db_.get(), lck_path_);
  std::string message;
  EXPECT_EQ(ErrorCodeOf([&] { m.Open("alice", "box"); }, &message), 9486);
  EXPECT_NE(message.find("The lock file has grown too large"), std::string::npos);
  EXPECT_FALSE(m.IsOpen());
}

TEST_F(LockFileTest, FullLockFileRefusesANewEntryInsteadOfGrowingIntoTheLockBytes) {
  // Header and 1022 entries of connected users: one more entry would make the
  // file as long as the lock bytes' start.
  const uint64_t size = kLckUserLockBase - kLckEntrySize;
  std::string raw(size, '\0');
  for (uint64_t offset = kFirstEntry; offset < size; offset += kLckEntrySize)
    std::memcpy(raw.data() + offset, "box,someone", 11);
  os::test::WriteWholeFile(lck_path_, raw);
  auto others = os::TOSFile::Open(lck_path_, os::TFileAccess::ReadWrite, os::TFileShare::DenyNone);
  ASSERT_TRUE(others->LockRange(kFirstEntryLocks, size - kFirstEntry));

  TDBUserMonitor m(db_.get(), lck_path_);
  EXPECT_EQ(ErrorCodeOf([&] { m.Open("alice", "box"); }), 9486);
  EXPECT_EQ(RawLockFile().size(), size);

  // With one user gone, its slot is swept and reused.
  ASSERT_TRUE(others->UnlockRange(kFirstEntryLocks, size - kFirstEntry));
  ASSERT_TRUE(
      others->LockRange(kFirstEntryLocks + kLckEntrySize, size - kFirstEntry - kLckEntrySize));
  m.Open("alice", "box");
  EXPECT_EQ(m.LockByte(), kFirstEntryLocks);
  EXPECT_EQ(EntryAt(RawLockFile(), kFirstEntry), "box,alice");
}

TEST_F(LockFileTest, OpenStartsAgainWhenTheFileWasDeletedBeforeItsMutex) {
  // A closing user holds the mutex of the current file...
  TDBUserMonitor seed(nullptr, lck_path_);
  seed.Open("seed", "box");
  auto closer = os::TOSFile::Open(lck_path_, os::TFileAccess::ReadWrite, os::TFileShare::DenyNone);
  ASSERT_TRUE(closer->LockRange(kLckMutexOffset, 1));

  // ...while a newcomer has opened that file and waits for the mutex.
  TChild newcomer([&](TChildSide& side) {
    TGateClock gate;
    gate.onFirstSleep = [&] {
      side.Send(1);
      side.WaitGo();
    };
    os::TScopedClock useGate(gate);
    TConnection c = Connect("dave");
    os::TFileIdentity held;
    os::GetFileIdentity(*c.monitor->LockFileHandle(), held);
    side.Send(held.inode);
    side.Send(c.monitor->LockByte());
    side.WaitGo();
    return 0;
  });
  uint64_t waiting = 0;
  ASSERT_TRUE(newcomer.Receive(waiting));
  // The closer deletes the file under its mutex and lets go.
  ASSERT_TRUE(os::DeleteFile(lck_path_));
  ASSERT_TRUE(closer->UnlockRange(kLckMutexOffset, 1));
  closer.reset();
  newcomer.Go();

  uint64_t inode = 0, byte = 0;
  ASSERT_TRUE(newcomer.Receive(inode));
  ASSERT_TRUE(newcomer.Receive(byte));
  // The newcomer registered in a new file under the name, not in the old one.
  os::TFileIdentity newFile;
  ASSERT_TRUE(os::GetPathIdentity(lck_path_, newFile));
  EXPECT_EQ(inode, newFile.inode);
  EXPECT_EQ(EntryAt(RawLockFile(), kFirstEntry), "box,dave");
  EXPECT_EQ(byte, kFirstEntryLocks);
  EXPECT_FALSE(test::RangeIsFree(lck_path_, kFirstEntryLocks));
  TConnection eve = Connect("eve");
  newcomer.Go();
  EXPECT_EQ(newcomer.Wait(), 0);
  // The old file's last user leaves without touching the new file.
  seed.Close();
  EXPECT_TRUE(os::FileExists(lck_path_));
  EXPECT_EQ(eve.monitor->GetCurrentConnectionCount(), 1);
  eve.monitor->Close();
  EXPECT_FALSE(os::FileExists(lck_path_));
}

TEST_F(LockFileTest, CloseNeverDeletesANewerFileOfTheSameName) {
  TDBUserMonitor old(nullptr, lck_path_);
  old.Open("alice", "box");
  // The file is gone from under the name and another one stands there now.
  ASSERT_TRUE(os::DeleteFile(lck_path_));
  TDBUserMonitor fresh(nullptr, lck_path_);
  fresh.Open("bob", "box");
  old.Close();
  EXPECT_TRUE(os::FileExists(lck_path_));
  EXPECT_EQ(fresh.GetCurrentConnectionCount(), 1);
  fresh.Close();
  EXPECT_FALSE(os::FileExists(lck_path_));
}

}  // namespace
}  // namespace tav
