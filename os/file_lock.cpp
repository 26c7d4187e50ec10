// The byte-range locks of TOSFile. file.h explains the choice of primitives;
// the rules kept here are: the table locked_ always lists exactly the ranges
// this handle holds in the kernel, and no two of them overlap.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "os/file.h"
#include "os/sys_info.h"

namespace os {
namespace {

constexpr uint64_t kLockLimit = uint64_t{1} << 63;

bool Fail(int code) {
  SetLastOSError(code);
  return false;
}

bool ValidRange(uint64_t offset, uint64_t length) {
  return length != 0 && offset < kLockLimit && length <= kLockLimit - offset;
}

// The kernel's form of [offset, offset + length). A range reaching 2^63 is
// written as "from offset on" (l_len = 0): the kernel ends such a lock at the
// largest offset there is, which is the same range, and a length of 2^63
// itself would not fit l_len.
struct flock RangeOf(short type, uint64_t offset, uint64_t length) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(offset);
  fl.l_len = length == kLockLimit - offset ? 0 : static_cast<off_t>(length);
  fl.l_pid = 0;  // required for open-file-description locks
  return fl;
}

bool SetLock(int fd, struct flock& fl) {
  int rc;
  do {
    rc = fcntl(fd, F_OFD_SETLK, &fl);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

// The first of the ranges held (sorted by offset, none overlapping) that
// ends after `offset`: the one holding it, or else the first after it.
template <class TRanges>
auto FirstEndingAfter(TRanges& ranges, uint64_t offset) {
  return std::partition_point(ranges.begin(), ranges.end(),
                              [offset](const auto& r) { return r.Offset + r.Length <= offset; });
}

int OpenReadWrite(const std::string& path) {
  int fd;
  do {
    fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

int TOSFile::LockDescriptor() {
  if (access_ != TFileAccess::Read) return fd_;
  if (lock_fd_ >= 0) return lock_fd_;

  struct stat own {};
  if (fstat(fd_, &own) != 0) {
    Fail(errno);
    return -1;
  }
  // The read-only attribute holds for root too, as it does for opens.
  if (S_ISREG(own.st_mode) && (own.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
    Fail(EACCES);
    return -1;
  }
  // Reopening our own descriptor reaches this very file whatever happened to
  // its name since. Without /proc, fall back to the name and make sure it
  // still leads to the same file.
  int fd = OpenReadWrite("/proc/self/fd/" + std::to_string(fd_));
  if (fd < 0) {
    const int procError = errno;
    fd = OpenReadWrite(path_);
    if (fd < 0) {
      // Without /proc the name's answer counts; else /proc's, which was about
      // the right file.
      Fail(procError == ENOENT ? errno : procError);
      return -1;
    }
  }
  struct stat other {};
  if (fstat(fd, &other) != 0 || other.st_dev != own.st_dev || other.st_ino != own.st_ino) {
    close(fd);
    Fail(ESTALE);
    return -1;
  }
  lock_fd_ = fd;
  return lock_fd_;
}

bool TOSFile::LockRange(uint64_t offset, uint64_t length) {
  if (!ValidRange(offset, length)) return Fail(EINVAL);
  std::lock_guard<std::mutex> guard(lock_mutex_);

  // The kernel would merge an overlap with our own lock and report success.
  const uint64_t end = offset + length;
  const auto next = FirstEndingAfter(locked_, offset);
  if (next != locked_.end() && next->Offset < end) return Fail(EAGAIN);

  const int fd = LockDescriptor();
  if (fd < 0) return false;
  // Make room in the table first: once the kernel holds the lock, nothing
  // that can fail (allocation) may stand between it and the table.
  const auto at = next - locked_.begin();
  // The table grows by doubling: a handle holding many record locks adds
  // each in time proportional to the ranges after it, not to all of them.
  if (locked_.size() == locked_.capacity())
    locked_.reserve(std::max<size_t>(8, 2 * locked_.size()));
  struct flock fl = RangeOf(F_WRLCK, offset, length);
  if (!SetLock(fd, fl)) {
    int code = errno;
    // Some systems report a conflict as EACCES; keep EACCES for "may not write".
    if (code == EACCES || code == EAGAIN) code = EAGAIN;
    return Fail(code);
  }
  locked_.insert(locked_.begin() + at, TLockedRange{offset, length});
  return true;
}

bool TOSFile::UnlockRange(uint64_t offset, uint64_t length) {
  std::lock_guard<std::mutex> guard(lock_mutex_);
  const auto entry = FirstEndingAfter(locked_, offset);
  if (entry == locked_.end() || entry->Offset != offset || entry->Length != length)
    return Fail(ENOLCK);
  // A held range was locked through this descriptor, so it exists.
  const int fd = access_ == TFileAccess::Read ? lock_fd_ : fd_;
  struct flock fl = RangeOf(F_UNLCK, offset, length);
  if (!SetLock(fd, fl)) return Fail(errno);
  locked_.erase(entry);
  return true;
}

int64_t TOSFile::LockedBytes(uint64_t offset, uint64_t length) {
  if (!ValidRange(offset, length)) {
    Fail(EINVAL);
    return -1;
  }
  std::lock_guard<std::mutex> guard(lock_mutex_);
  const int fd = LockDescriptor();
  if (fd < 0) return -1;
  const uint64_t end = offset + length;
  // Our own ranges: the kernel does not report them to us.
  uint64_t count = 0;
  for (auto own = FirstEndingAfter(locked_, offset); own != locked_.end() && own->Offset < end;
       ++own) {
    const uint64_t from = std::max(own->Offset, offset);
    const uint64_t to = std::min(own->Offset + own->Length, end);
    if (from < to) count += to - from;
  }
  // Everyone else's: the kernel names one conflicting lock per query, not
  // necessarily the lowest, so what lies on either side of it is asked
  // again. Locks of other handles never overlap ours or each other's.
  std::vector<std::pair<uint64_t, uint64_t>> open{{offset, end}};
  while (!open.empty()) {
    const auto [from, to] = open.back();
    open.pop_back();
    struct flock fl = RangeOf(F_WRLCK, from, to - from);
    int rc;
    do {
      rc = fcntl(fd, F_OFD_GETLK, &fl);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      Fail(errno);
      return -1;
    }
    if (fl.l_type == F_UNLCK) continue;
    const uint64_t start = std::max<uint64_t>(static_cast<uint64_t>(fl.l_start), from);
    const uint64_t stop = fl.l_len == 0 ? to
                                        : std::min<uint64_t>(
                                              static_cast<uint64_t>(fl.l_start) +
                                                  static_cast<uint64_t>(fl.l_len),
                                              to);
    if (start >= stop) {
      // Not inside what was asked: a kernel answer we cannot use.
      Fail(EIO);
      return -1;
    }
    count += stop - start;
    if (from < start) open.emplace_back(from, start);
    if (stop < to) open.emplace_back(stop, to);
  }
  return static_cast<int64_t>(count);
}

bool IsLockViolation(int code) {
  return code == EAGAIN;
}

}  // namespace os
