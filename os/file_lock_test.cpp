#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "os/file.h"
#include "os/sys_info.h"
#include "os/testing/test_support.h"

namespace os {
namespace {

using test::RunInChild;
using test::WriteWholeFile;

constexpr uint64_t k4GiB = uint64_t{1} << 32;
constexpr uint64_t kLimit = uint64_t{1} << 63;

// A forked child that talks to the test through a pair of pipes, one byte at a
// time. If the test ends early, the child is killed and reaped, never left behind.
class TChild {
 public:
  explicit TChild(const std::function<int(TChild&)>& body) {
    int up[2], down[2];
    if (pipe2(up, O_CLOEXEC) != 0 || pipe2(down, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(up[0]);
      close(down[1]);
      send_ = up[1];
      recv_ = down[0];
      int code = 98;
      try {
        code = body(*this);
      } catch (...) {
        code = 99;
      }
      _exit(code);
    }
    close(up[1]);
    close(down[0]);
    send_ = down[1];
    recv_ = up[0];
  }
  ~TChild() {
    if (pid_ > 0 && status_ < 0) {
      Kill();
      Wait();
    }
    if (send_ >= 0) close(send_);
    if (recv_ >= 0) close(recv_);
  }
  TChild(const TChild&) = delete;
  TChild& operator=(const TChild&) = delete;

  bool Started() const { return pid_ > 0; }
  bool Send(char c) { return write(send_, &c, 1) == 1; }
  // The next byte from the other side; '\0' if it has gone.
  char Receive() {
    char c = '\0';
    ssize_t n;
    do {
      n = read(recv_, &c, 1);
    } while (n < 0 && errno == EINTR);
    return n == 1 ? c : '\0';
  }
  void Kill() { kill(pid_, SIGKILL); }
  // The child's exit code, or 128 + signal number if a signal ended it.
  int Wait() {
    if (status_ >= 0) return status_;
    int st = 0;
    while (waitpid(pid_, &st, 0) < 0) {
      if (errno != EINTR) return status_ = 255;
    }
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return status_;
  }

 private:
  pid_t pid_ = -1;
  int send_ = -1;
  int recv_ = -1;
  int status_ = -1;
};

class RangeLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.Ok());
    path_ = dir_ / "data.db";
    WriteWholeFile(path_, std::string(100, 'd'));
  }
  std::unique_ptr<TOSFile> Shared(TFileAccess access = TFileAccess::ReadWrite) {
    return TOSFile::Open(path_, access, TFileShare::DenyNone);
  }
  // Whether a fresh handle could lock the range right now (and lets it go again).
  bool FreeForOthers(uint64_t offset, uint64_t length) {
    auto probe = Shared();
    return probe != nullptr && probe->LockRange(offset, length);
  }

  test::TTempDir dir_;
  std::string path_;
};

TEST_F(RangeLockTest, TwoHandlesInOneProcessConflictBothWays) {
  auto a = Shared();
  auto b = Shared();
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  ASSERT_TRUE(a->LockRange(0, 10));
  EXPECT_FALSE(b->LockRange(5, 10));
  EXPECT_TRUE(IsLockViolation(GetLastOSError()));
  EXPECT_FALSE(b->LockRange(9, 1));
  ASSERT_TRUE(b->LockRange(10, 10));  // touching, not overlapping
  EXPECT_FALSE(a->LockRange(19, 1));
  EXPECT_TRUE(IsLockViolation(GetLastOSError()));
  EXPECT_FALSE(IsLockViolation(ENOLCK));
}

TEST_F(RangeLockTest, AHandleCannotReenterItsOwnRange) {
  auto a = Shared();
  ASSERT_NE(a, nullptr);
  ASSERT_TRUE(a->LockRange(100, 10));
  EXPECT_FALSE(a->LockRange(100, 10));
  EXPECT_TRUE(IsLockViolation(GetLastOSError()));
  EXPECT_FALSE(a->LockRange(105, 1));   // inside
  EXPECT_FALSE(a->LockRange(95, 6));    // over the start
  EXPECT_FALSE(a->LockRange(109, 50));  // over the end
  EXPECT_FALSE(a->LockRange(90, 30));   // around it
  // Neighbours on both sides are fine, and the kernel merges all three ...
  ASSERT_TRUE(a->LockRange(110, 5));
  ASSERT_TRUE(a->LockRange(90, 10));
  // ... yet unlocking the middle one frees exactly that range.
  ASSERT_TRUE(a->UnlockRange(100, 10));
  EXPECT_FALSE(FreeForOthers(99, 1));
  EXPECT_FALSE(FreeForOthers(110, 1));
  EXPECT_TRUE(FreeForOthers(100, 10));
  // A failed overlap attempt left the table as it was.
  EXPECT_TRUE(a->UnlockRange(110, 5));
  EXPECT_TRUE(a->UnlockRange(90, 10));
  EXPECT_TRUE(FreeForOthers(0, 200));
}

TEST_F(RangeLockTest, UnlockMustNameExactlyAHeldRange) {
  auto a = Shared();
  auto b = Shared();
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  ASSERT_TRUE(a->LockRange(0, 10));
  for (auto [offset, length] :
       std::vector<std::pair<uint64_t, uint64_t>>{{0, 5}, {5, 5}, {0, 11}, {1, 9}, {20, 10}}) {
    EXPECT_FALSE(a->UnlockRange(offset, length)) << offset << "+" << length;
    EXPECT_EQ(GetLastOSError(), ENOLCK);
  }
  EXPECT_FALSE(b->UnlockRange(0, 10));  // not b's lock
  EXPECT_EQ(GetLastOSError(), ENOLCK);
  // Every failed unlock kept the whole lock.
  EXPECT_FALSE(FreeForOthers(0, 1));
  EXPECT_FALSE(FreeForOthers(5, 1));
  EXPECT_FALSE(FreeForOthers(9, 1));

  ASSERT_TRUE(a->UnlockRange(0, 10));
  EXPECT_FALSE(a->UnlockRange(0, 10));  // already gone
  EXPECT_TRUE(b->LockRange(0, 10));
}

// Ranges taken and given back in any order, round after round: whatever a
// handle held before must not linger in what it holds now, neither as a
// conflict with itself nor as a range the unlock finds, and the later ranges
// must be held for others.
TEST_F(RangeLockTest, RangesTakenAgainAfterManyReleasesAreExactlyTheNewOnes) {
  auto a = Shared();
  ASSERT_NE(a, nullptr);
  for (int round = 0; round < 4; ++round) {
    const uint64_t base = 1000 * static_cast<uint64_t>(round + 1);
    // Taken from the highest down, so that each goes before the others.
    for (uint64_t i = 7; i-- > 0;)
      ASSERT_TRUE(a->LockRange(base + 10 * i, 1 + i)) << round << ":" << i;
    for (uint64_t i = 0; i < 7; ++i) {
      EXPECT_FALSE(FreeForOthers(base + 10 * i + i, 1)) << round << ":" << i;
      // Over the last byte of each, and over the gap before each.
      EXPECT_FALSE(a->LockRange(base + 10 * i + i, 2)) << round << ":" << i;
      if (i > 0) {
        EXPECT_FALSE(a->LockRange(base + 10 * i - 3, 4)) << round << ":" << i;
      }
    }
    // The previous round's ranges are free for this handle and for others.
    if (round > 0) {
      EXPECT_FALSE(a->UnlockRange(base - 1000, 1));
      EXPECT_EQ(GetLastOSError(), ENOLCK);
      EXPECT_TRUE(FreeForOthers(base - 1000, 70));
    }
    // Given back out of order, one of them first refused with the wrong length.
    EXPECT_FALSE(a->UnlockRange(base + 30, 3));
    for (uint64_t i : {3u, 0u, 6u, 1u, 5u, 2u, 4u})
      ASSERT_TRUE(a->UnlockRange(base + 10 * i, 1 + i)) << round << ":" << i;
    EXPECT_TRUE(FreeForOthers(base, 70));
    EXPECT_EQ(a->LockedBytes(base, 70), 0);
  }
  // A failed lock keeps nothing of the range it tried.
  auto b = Shared();
  ASSERT_NE(b, nullptr);
  ASSERT_TRUE(b->LockRange(50, 10));
  EXPECT_FALSE(a->LockRange(55, 10));
  ASSERT_TRUE(b->UnlockRange(50, 10));
  EXPECT_FALSE(a->UnlockRange(55, 10));
  EXPECT_TRUE(FreeForOthers(50, 20));
  EXPECT_TRUE(a->LockRange(55, 10));
  EXPECT_FALSE(FreeForOthers(60, 1));
}
// Hundreds of ranges held at once, taken and given back in random order,
// many of them adjacent to others: each lock succeeds exactly when it
// overlaps none of the handle's own ranges nor another handle's, each
// unlock exactly when it names a held range, and what the handle reports
// held and what another handle finds held are the ranges taken, byte for
// byte.
TEST_F(RangeLockTest, ManyRangesInAnyOrderAreHeldExactlyAsTaken) {
  auto a = Shared();
  auto b = Shared();
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  constexpr uint64_t kSpan = 3000;
  // b holds every 97th stretch of 3 bytes: a's locks over them fail.
  std::vector<bool> heldByB(kSpan, false);
  int64_t bytesOfB = 0;
  for (uint64_t at = 50; at + 3 <= kSpan; at += 97) {
    ASSERT_TRUE(b->LockRange(at, 3));
    bytesOfB += 3;
    for (uint64_t k = at; k < at + 3; ++k) heldByB[k] = true;
  }
  std::map<uint64_t, uint64_t> own;  // a's ranges: offset -> length
  std::vector<bool> heldByA(kSpan, false);
  uint32_t seed = 4711;
  auto next = [&seed](uint32_t below) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) % below;
  };
  int refused = 0, unlocked = 0;
  for (int step = 0; step < 4000; ++step) {
    if (own.size() > 20 && next(3) == 0) {
      // Give back one held range, chosen at random; now and then first try
      // it with the wrong length.
      auto it = own.begin();
      std::advance(it, next(static_cast<uint32_t>(own.size())));
      if (next(4) == 0) {
        EXPECT_FALSE(a->UnlockRange(it->first, it->second + 1)) << step;
      }
      ASSERT_TRUE(a->UnlockRange(it->first, it->second)) << step;
      for (uint64_t k = it->first; k < it->first + it->second; ++k) heldByA[k] = false;
      own.erase(it);
      ++unlocked;
      continue;
    }
    const uint64_t length = 1 + next(6);
    const uint64_t offset = next(static_cast<uint32_t>(kSpan - length));
    bool free = true;
    for (uint64_t k = offset; k < offset + length; ++k) free = free && !heldByA[k] && !heldByB[k];
    ASSERT_EQ(a->LockRange(offset, length), free) << step << ": " << offset << "+" << length;
    if (!free) {
      ++refused;
      continue;
    }
    own[offset] = length;
    for (uint64_t k = offset; k < offset + length; ++k) heldByA[k] = true;
  }
  EXPECT_GT(own.size(), 200u);
  EXPECT_GT(refused, 100);
  EXPECT_GT(unlocked, 100);
  // What each handle says is held, over windows of every size.
  for (uint64_t from = 0; from < kSpan; from += 37) {
    const uint64_t n = 1 + (from * 7) % 90;
    int64_t expected = 0;
    for (uint64_t k = from; k < from + n && k < kSpan; ++k) expected += (heldByA[k] || heldByB[k]) ? 1 : 0;
    if (from + n > kSpan) continue;
    EXPECT_EQ(a->LockedBytes(from, n), expected) << from << "+" << n;
    EXPECT_EQ(b->LockedBytes(from, n), expected) << from << "+" << n;
  }
  // Every byte a holds is refused to a third handle, every other byte
  // (b's aside) is free.
  for (uint64_t k = 0; k < kSpan; k += 11) {
    if (!heldByB[k]) {
      EXPECT_EQ(FreeForOthers(k, 1), !heldByA[k]) << k;
    }
  }
  // Given back in an order of its own: all free again.
  while (!own.empty()) {
    auto it = own.begin();
    std::advance(it, next(static_cast<uint32_t>(own.size())));
    ASSERT_TRUE(a->UnlockRange(it->first, it->second));
    own.erase(it);
  }
  EXPECT_EQ(a->LockedBytes(0, kSpan), b->LockedBytes(0, kSpan));
  EXPECT_EQ(a->LockedBytes(0, kSpan), bytesOfB);
}

TEST_F(RangeLockTest, ReleasedWhenTheHandleClosesButNotByOtherCloses) {
  auto a = Shared();
  ASSERT_NE(a, nullptr);
  ASSERT_TRUE(a->LockRange(40, 8));
  // Another handle on the same file opening and closing must not touch a's
  // lock (with per-process locks, that close would drop it).
  Shared().reset();
  TOSFile::Open(path_, TFileAccess::Read, TFileShare::DenyNone).reset();
  EXPECT_FALSE(FreeForOthers(40, 8));
  a.reset();
  EXPECT_TRUE(FreeForOthers(40, 8));
}

TEST_F(RangeLockTest, RangesBeyondEndOfFileAndAboveFourGiB) {
  auto a = Shared();
  auto b = Shared();
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  ASSERT_TRUE(a->LockRange(k4GiB + 5, 10));  // far past the 100-byte file
  EXPECT_FALSE(b->LockRange(k4GiB + 14, 1));
  EXPECT_TRUE(b->LockRange(5, 10));  // the low 32 bits alone must not collide
  EXPECT_TRUE(b->LockRange(k4GiB + 15, 1));
  EXPECT_EQ(a->Size(), 100);  // locking never grows the file

  // Up to 2^63 and no further.
  ASSERT_TRUE(a->LockRange(kLimit - 10, 10));
  EXPECT_FALSE(b->LockRange(kLimit - 1, 1));
  EXPECT_TRUE(IsLockViolation(GetLastOSError()));
  EXPECT_TRUE(a->UnlockRange(kLimit - 10, 10));
  EXPECT_TRUE(b->LockRange(kLimit - 1, 1));

  for (auto [offset, length] : std::vector<std::pair<uint64_t, uint64_t>>{{0, 0},
                                                                          {kLimit, 1},
                                                                          {kLimit - 1, 2},
                                                                          {1, kLimit},
                                                                          {~uint64_t{0}, 1},
                                                                          {1, ~uint64_t{0}}}) {
    EXPECT_FALSE(a->LockRange(offset, length)) << offset << "+" << length;
    EXPECT_EQ(GetLastOSError(), EINVAL);
  }
}

TEST_F(RangeLockTest, TheWholeRangeUpToTwoToTheSixtyThird) {
  auto a = Shared();
  ASSERT_NE(a, nullptr);
  ASSERT_TRUE(a->LockRange(0, kLimit));
  EXPECT_FALSE(FreeForOthers(0, 1));
  EXPECT_FALSE(FreeForOthers(kLimit - 1, 1));
  ASSERT_TRUE(a->UnlockRange(0, kLimit));
  EXPECT_TRUE(FreeForOthers(kLimit - 1, 1));
}

TEST_F(RangeLockTest, ReadOnlyHandleLocks) {
  auto ro = Shared(TFileAccess::Read);
  auto rw = Shared();
  ASSERT_NE(ro, nullptr);
  ASSERT_NE(rw, nullptr);
  ASSERT_TRUE(ro->LockRange(0, 4));
  EXPECT_FALSE(rw->LockRange(2, 1));
  EXPECT_TRUE(IsLockViolation(GetLastOSError()));
  ASSERT_TRUE(rw->LockRange(4, 4));
  EXPECT_FALSE(ro->LockRange(4, 1));
  EXPECT_FALSE(ro->LockRange(1, 1));  // its own range, through the companion
  ASSERT_TRUE(ro->UnlockRange(0, 4));
  EXPECT_TRUE(FreeForOthers(0, 4));
  ASSERT_TRUE(ro->LockRange(0, 4));
  ro.reset();
  EXPECT_TRUE(FreeForOthers(0, 4));
}

TEST_F(RangeLockTest, ReadOnlyHandleLocksTheFileItOpenedEvenAfterRename) {
  auto ro = Shared(TFileAccess::Read);
  ASSERT_NE(ro, nullptr);
  const std::string moved = dir_ / "moved.db";
  ASSERT_TRUE(RenameFile(path_, moved));
  WriteWholeFile(path_, "an impostor");
  ASSERT_TRUE(ro->LockRange(0, 1));
  auto atNewName = TOSFile::Open(moved, TFileAccess::ReadWrite, TFileShare::DenyNone);
  auto atOldName = Shared();
  ASSERT_NE(atNewName, nullptr);
  ASSERT_NE(atOldName, nullptr);
  EXPECT_FALSE(atNewName->LockRange(0, 1));
  EXPECT_TRUE(atOldName->LockRange(0, 1));
}

TEST_F(RangeLockTest, ReadOnlyFileRefusesLocksWithAccessDenied) {
  ASSERT_TRUE(SetFileReadOnly(path_, true));
  auto ro = Shared(TFileAccess::Read);
  ASSERT_NE(ro, nullptr);
  EXPECT_FALSE(ro->LockRange(0, 1));
  EXPECT_EQ(GetLastOSError(), EACCES);
  EXPECT_FALSE(IsLockViolation(EACCES));
}

TEST_F(RangeLockTest, UserWithoutWritePermissionGetsAccessDenied) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root to create a file another user may read but not write";
  }
  // The file keeps its owner's write bit, so only the kernel's permission
  // check can refuse the companion descriptor to an unprivileged user.
  ASSERT_EQ(chmod(dir_.Path().c_str(), 0755), 0);
  ASSERT_EQ(chmod(path_.c_str(), 0644), 0);
  const std::string path = path_;
  const std::string open = dir_ / "open.db";  // writable by anyone, for contrast
  WriteWholeFile(open, "x");
  ASSERT_EQ(chmod(open.c_str(), 0666), 0);
  EXPECT_EQ(RunInChild([&] {
              if (setgid(65534) != 0 || setuid(65534) != 0) return 10;
              auto ro = TOSFile::Open(path, TFileAccess::Read, TFileShare::DenyNone);
              if (!ro) return 11;
              if (ro->LockRange(0, 1)) return 12;
              if (GetLastOSError() != EACCES) return 13;
              auto ok = TOSFile::Open(open, TFileAccess::Read, TFileShare::DenyNone);
              return ok && ok->LockRange(0, 1) ? 0 : 14;
            }),
            0);
}

// LockedBytes counts what one-byte probes would find held: other handles'
// ranges (whichever the kernel names first), this handle's own, a read-only
// handle's companion descriptor's, another process's; merged neighbours of
// one handle count byte by byte; nothing outside the range counts.
TEST_F(RangeLockTest, LockedBytesCountsWhatProbesWouldFind) {
  auto a = Shared();
  auto b = Shared();
  auto r = Shared(TFileAccess::Read);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  ASSERT_NE(r, nullptr);
  const uint64_t base = 1000;
  EXPECT_EQ(a->LockedBytes(base, 64), 0);
  ASSERT_TRUE(b->LockRange(base + 40, 3));
  ASSERT_TRUE(a->LockRange(base + 10, 1));
  ASSERT_TRUE(a->LockRange(base + 11, 1));  // merged with the one before by the kernel
  ASSERT_TRUE(r->LockRange(base + 2, 1));
  ASSERT_TRUE(b->LockRange(base + 63, 5));  // runs past the range's end
  ASSERT_TRUE(a->LockRange(base - 4, 4));   // ends just before it
  TChild child([&](TChild& self) {
    auto c = TOSFile::Open(path_, TFileAccess::ReadWrite, TFileShare::DenyNone);
    if (!c || !c->LockRange(base + 20, 2)) return 1;
    self.Send('l');
    self.Receive();
    return 0;
  });
  ASSERT_EQ(child.Receive(), 'l');
  auto probes = [&](TOSFile& f, uint64_t from, uint64_t n) {
    int64_t held = 0;
    for (uint64_t at = from; at < from + n; ++at) {
      if (f.LockRange(at, 1))
        f.UnlockRange(at, 1);
      else
        ++held;
    }
    return held;
  };
  for (TOSFile* f : {a.get(), b.get(), r.get()}) {
    EXPECT_EQ(f->LockedBytes(base, 64), 1 + 2 + 2 + 3 + 1);
    EXPECT_EQ(f->LockedBytes(base, 64), probes(*f, base, 64));
    EXPECT_EQ(f->LockedBytes(base + 11, 10), probes(*f, base + 11, 10));
  }
  EXPECT_EQ(a->LockedBytes(base, 0), -1);
  child.Send('x');
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_EQ(a->LockedBytes(base, 64), 1 + 2 + 3 + 1);
}

TEST_F(RangeLockTest, ShareModeLocksAndRangeLocksCoexist) {
  // The database file: opened DenyNone by everyone, who then lock ranges.
  auto a = Shared();
  auto b = Shared(TFileAccess::Read);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  ASSERT_TRUE(a->LockRange(0, 10));
  ASSERT_TRUE(b->LockRange(10, 10));
  EXPECT_FALSE(b->LockRange(0, 1));
  // The share locks are still in force beside the range locks ...
  EXPECT_EQ(TOSFile::Open(path_, TFileAccess::ReadWrite, TFileShare::Exclusive), nullptr);
  EXPECT_TRUE(IsSharingViolation(GetLastOSError()));
  // ... and another process joins in the same way.
  const std::string path = path_;
  EXPECT_EQ(RunInChild([&] {
              auto c = TOSFile::Open(path, TFileAccess::ReadWrite, TFileShare::DenyNone);
              if (!c) return 1;
              if (c->LockRange(5, 10)) return 2;
              if (!IsLockViolation(GetLastOSError())) return 3;
              if (!c->LockRange(20, 10)) return 4;
              if (TOSFile::Open(path, TFileAccess::Read, TFileShare::Exclusive)) return 5;
              return 0;
            }),
            0);
  EXPECT_TRUE(a->LockRange(20, 10));  // the child's lock went with it
}

TEST_F(RangeLockTest, ConflictsBetweenParentAndChildBothWays) {
  auto parent = Shared();
  ASSERT_NE(parent, nullptr);
  ASSERT_TRUE(parent->LockRange(10, 10));

  const std::string path = path_;
  TChild child([&](TChild& self) {
    auto own = TOSFile::Open(path, TFileAccess::ReadWrite, TFileShare::DenyNone);
    if (!own) return 1;
    if (own->LockRange(15, 1) || !IsLockViolation(GetLastOSError())) return 2;
    if (!own->LockRange(30, 5)) return 3;
    self.Send('L');  // holding 30..34
    if (self.Receive() != 'U') return 4;
    if (!own->UnlockRange(30, 5)) return 5;
    self.Send('F');
    self.Receive();  // wait for the parent's last word (or its end)
    return 0;
  });
  ASSERT_TRUE(child.Started());
  ASSERT_EQ(child.Receive(), 'L');
  EXPECT_FALSE(parent->LockRange(32, 1));
  EXPECT_TRUE(IsLockViolation(GetLastOSError()));
  ASSERT_TRUE(child.Send('U'));
  ASSERT_EQ(child.Receive(), 'F');
  EXPECT_TRUE(parent->LockRange(30, 5));
  ASSERT_TRUE(child.Send('X'));
  EXPECT_EQ(child.Wait(), 0);
}

TEST_F(RangeLockTest, ReleasedWhenTheHoldingProcessIsKilled) {
  const std::string path = path_;
  TChild child([&](TChild& self) {
    auto own = TOSFile::Open(path, TFileAccess::Read, TFileShare::DenyNone);
    if (!own || !own->LockRange(k4GiB, 100)) return 1;
    self.Send('L');
    for (;;) pause();  // hold the lock until killed
  });
  ASSERT_TRUE(child.Started());
  ASSERT_EQ(child.Receive(), 'L');
  auto parent = Shared();
  ASSERT_NE(parent, nullptr);
  EXPECT_FALSE(parent->LockRange(k4GiB + 50, 1));
  child.Kill();
  EXPECT_EQ(child.Wait(), 128 + SIGKILL);
  EXPECT_TRUE(parent->LockRange(k4GiB + 50, 1));
}

TEST_F(RangeLockTest, ThreadsShareOneHandleSafely) {
  auto a = Shared();
  ASSERT_NE(a, nullptr);
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (size_t t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) {
        if (!a->LockRange(t * 16, 16) || !a->UnlockRange(t * 16, 16)) ++failures[t];
        // Everyone also races for one shared byte: at most one can hold it.
        if (a->LockRange(1000, 1)) a->UnlockRange(1000, 1);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
  EXPECT_TRUE(FreeForOthers(0, kLimit));  // nothing left held
}

}  // namespace
}  // namespace os
