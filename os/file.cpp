#include "os/file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <vector>

#include "os/sys_info.h"

namespace os {
namespace {

constexpr mode_t kAnyWrite = S_IWUSR | S_IWGRP | S_IWOTH;
constexpr mode_t kNewFileMode = 0666;  // narrowed by the umask
// The kernel moves at most about 2 GiB per call; stay well inside.
constexpr size_t kMaxIoChunk = size_t{1} << 30;
constexpr size_t kCopyBufferSize = size_t{256} << 10;
// The most one call of a gathered write covers, cut at multiples of it.
constexpr uint64_t kGatherSpan = 16 << 10;

std::atomic<uint32_t> g_next_id{1};

uint32_t NextFileId() {
  uint32_t id = g_next_id.fetch_add(1, std::memory_order_relaxed);
  while (id == 0) id = g_next_id.fetch_add(1, std::memory_order_relaxed);
  return id;
}

bool Fail(int code) {
  SetLastOSError(code);
  return false;
}

bool ValidPath(const std::string& path) {
  if (path.find('\0') != std::string::npos) return Fail(EINVAL);
  return true;
}

// Closes without disturbing the last error the caller is about to report.
void CloseQuietly(int fd) {
  if (fd >= 0) {
    const int saved = errno;
    close(fd);
    errno = saved;
  }
}

int OpenRetry(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

bool FlockRetry(int fd, int op) {
  int rc;
  do {
    rc = flock(fd, op | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

bool IsReadOnlyMode(mode_t mode) {
  return (mode & kAnyWrite) == 0;
}

// The offset and length of a transfer must fit the signed 64-bit file offset.
bool ValidTransfer(uint64_t offset, size_t count) {
  constexpr uint64_t kMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  if (offset > kMax || count > kMax - offset) return Fail(EINVAL);
  return true;
}

// Writes all of `count` bytes at the descriptor's position.
bool WriteAll(int fd, const char* p, size_t count) {
  while (count > 0) {
    const ssize_t n = write(fd, p, std::min(count, kMaxIoChunk));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail(errno);
    }
    if (n == 0) return Fail(ENOSPC);
    p += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

void FillIdentity(const struct stat& st, TFileIdentity& identity) {
  identity.device = static_cast<uint64_t>(st.st_dev);
  identity.inode = static_cast<uint64_t>(st.st_ino);
  identity.linkCount = static_cast<uint64_t>(st.st_nlink);
}

// Takes the share lock of a freshly opened descriptor; refuses directories and
// write opens of read-only files. Closes the descriptor on failure.
bool Admit(int fd, bool forWriting, TFileShare share) {
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    CloseQuietly(fd);
    return Fail(errno);
  }
  if (S_ISDIR(st.st_mode)) {
    CloseQuietly(fd);
    return Fail(EISDIR);
  }
  if (forWriting && S_ISREG(st.st_mode) && IsReadOnlyMode(st.st_mode)) {
    CloseQuietly(fd);
    return Fail(EACCES);
  }
  if (!FlockRetry(fd, share == TFileShare::Exclusive ? LOCK_EX : LOCK_SH)) {
    const int code = errno;
    CloseQuietly(fd);
    return Fail(code);
  }
  return true;
}

}  // namespace

TOSFile::TOSFile(int fd, std::string path, TFileAccess access, TFileShare share)
    : id_(NextFileId()), fd_(fd), path_(std::move(path)), access_(access), share_(share) {}

TOSFile::~TOSFile() {
  // Closing the last descriptor of an open file description drops its share
  // lock and every range lock taken through it.
  if (lock_fd_ >= 0) close(lock_fd_);
  close(fd_);
}

std::unique_ptr<TOSFile> TOSFile::Open(const std::string& path, TFileAccess access,
                                       TFileShare share) {
  if (!ValidPath(path)) return nullptr;
  int flags = O_RDONLY;
  if (access == TFileAccess::Write) flags = O_WRONLY;
  if (access == TFileAccess::ReadWrite) flags = O_RDWR;
  const int fd = OpenRetry(path.c_str(), flags | O_NOCTTY);
  if (fd < 0) {
    Fail(errno);
    return nullptr;
  }
  if (!Admit(fd, access != TFileAccess::Read, share)) return nullptr;
  // If the handle cannot be built the descriptor must not leak.
  try {
    return std::unique_ptr<TOSFile>(new TOSFile(fd, path, access, share));
  } catch (...) {
    CloseQuietly(fd);
    throw;
  }
}

std::unique_ptr<TOSFile> TOSFile::Create(const std::string& path, TFileCreation creation) {
  if (!ValidPath(path)) return nullptr;
  int fd = -1;
  bool created = false;
  // CreateAlways first tries to create, so that it knows whether the file was
  // there before: only a file that already existed can be read-only or open
  // elsewhere, and only a file we made may be removed again on failure.
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    fd = OpenRetry(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOCTTY, kNewFileMode);
    if (fd >= 0) {
      created = true;
      break;
    }
    if (errno != EEXIST || creation == TFileCreation::CreateNew) {
      Fail(errno);
      return nullptr;
    }
    fd = OpenRetry(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0 && errno != ENOENT) {  // ENOENT: deleted meanwhile, try again
      Fail(errno);
      return nullptr;
    }
  }
  if (fd < 0) {
    Fail(ENOENT);
    return nullptr;
  }
  if (!Admit(fd, !created, TFileShare::Exclusive)) {
    // Someone opened the file in the instant since we made it; it is ours to
    // take away again, as the create never happened.
    if (created) unlink(path.c_str());
    return nullptr;
  }
  if (!created) {
    int rc;
    do {
      rc = ftruncate(fd, 0);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      Fail(errno);
      CloseQuietly(fd);
      return nullptr;
    }
  }
  try {
    return std::unique_ptr<TOSFile>(
        new TOSFile(fd, path, TFileAccess::ReadWrite, TFileShare::Exclusive));
  } catch (...) {
    CloseQuietly(fd);
    throw;
  }
}

int64_t TOSFile::Read(uint64_t offset, void* buffer, size_t count) {
  if (!ValidTransfer(offset, count)) return -1;
  char* p = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < count) {
    const ssize_t n = pread(fd_, p + done, std::min(count - done, kMaxIoChunk),
                            static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail(errno);
      return -1;
    }
    if (n == 0) break;  // end of file
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

int64_t TOSFile::Write(uint64_t offset, const void* buffer, size_t count) {
  if (!ValidTransfer(offset, count)) return -1;
  const char* p = static_cast<const char*>(buffer);
  size_t done = 0;
  while (done < count) {
    const ssize_t n = pwrite(fd_, p + done, std::min(count - done, kMaxIoChunk),
                             static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail(errno);
      return -1;
    }
    if (n == 0) {  // no progress and no error: the device is full
      Fail(ENOSPC);
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

int64_t TOSFile::WriteGather(uint64_t offset, const TIoPiece* pieces, size_t count) {
  size_t total = 0;
  for (size_t i = 0; i < count; ++i) total += pieces[i].Count;
  if (!ValidTransfer(offset, total)) return -1;
  // A write longer than kGatherSpan goes a call at a time up to the next
  // kGatherSpan boundary of the file; what a call leaves unwritten of a
  // piece is taken up by the next. The page cache sizes its folios by the
  // writes that make them: a long write makes large ones, and every later
  // small write into one then costs the kernel work in proportion to the
  // whole folio.
  constexpr size_t kBatch = 64;
  iovec iov[kBatch];
  const bool cut = total > kGatherSpan;
  size_t piece = 0, skip = 0, done = 0;
  while (piece < count) {
    const uint64_t at = offset + done;
    size_t room = cut ? static_cast<size_t>(kGatherSpan - at % kGatherSpan) : total - done;
    size_t n = 0;
    for (size_t i = piece; i < count && n < kBatch && room > 0; ++i) {
      const size_t from = i == piece ? skip : 0;
      const size_t take = std::min(pieces[i].Count - from, room);
      if (take == 0) continue;  // a piece of no bytes
      iov[n].iov_base = const_cast<char*>(static_cast<const char*>(pieces[i].Data) + from);
      iov[n].iov_len = take;
      room -= take;
      ++n;
    }
    if (n == 0) break;  // only pieces of no bytes are left
    const ssize_t wrote = pwritev(fd_, iov, static_cast<int>(n), static_cast<off_t>(offset + done));
    if (wrote < 0) {
      if (errno == EINTR) continue;
      Fail(errno);
      return -1;
    }
    if (wrote == 0 && total > done) {  // no progress and no error: the device is full
      Fail(ENOSPC);
      return -1;
    }
    done += static_cast<size_t>(wrote);
    size_t left = static_cast<size_t>(wrote);
    while (piece < count && left >= pieces[piece].Count - skip) {
      left -= pieces[piece].Count - skip;
      skip = 0;
      ++piece;
    }
    skip += left;
  }
  return static_cast<int64_t>(done);
}

int64_t TOSFile::Size() {
  struct stat st {};
  if (fstat(fd_, &st) != 0) {
    Fail(errno);
    return -1;
  }
  return static_cast<int64_t>(st.st_size);
}

bool TOSFile::SetSize(uint64_t size) {
  if (size > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return Fail(EINVAL);
  int rc;
  do {
    rc = ftruncate(fd_, static_cast<off_t>(size));
  } while (rc != 0 && errno == EINTR);
  return rc == 0 || Fail(errno);
}

bool TOSFile::Flush() {
  return fsync(fd_) == 0 || Fail(errno);
}

bool IsSharingViolation(int code) {
  return code == EWOULDBLOCK;
}

bool FileExists(const std::string& path) {
  if (!ValidPath(path)) return false;
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return Fail(errno);
  return !S_ISDIR(st.st_mode) || Fail(EISDIR);
}

bool DeleteFile(const std::string& path) {
  if (!ValidPath(path)) return false;
  return unlink(path.c_str()) == 0 || Fail(errno);
}

bool RenameFile(const std::string& oldPath, const std::string& newPath) {
  if (!ValidPath(oldPath) || !ValidPath(newPath)) return false;
  if (renameat2(AT_FDCWD, oldPath.c_str(), AT_FDCWD, newPath.c_str(), RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return Fail(errno);
  // The file system cannot refuse to replace by itself. For a file, a new
  // link fails on an existing name and removing the old name completes the
  // move; anything else is checked first and moved.
  struct stat st {};
  if (lstat(oldPath.c_str(), &st) != 0) return Fail(errno);
  if (!S_ISDIR(st.st_mode)) {
    if (link(oldPath.c_str(), newPath.c_str()) != 0) return Fail(errno);
    if (unlink(oldPath.c_str()) != 0) {
      const int code = errno;
      unlink(newPath.c_str());
      return Fail(code);
    }
    return true;
  }
  if (lstat(newPath.c_str(), &st) == 0) return Fail(EEXIST);
  return rename(oldPath.c_str(), newPath.c_str()) == 0 || Fail(errno);
}

bool CopyFile(const std::string& src, const std::string& dst, bool failIfExists) {
  if (!ValidPath(src) || !ValidPath(dst)) return false;
  const int in = OpenRetry(src.c_str(), O_RDONLY | O_NOCTTY);
  if (in < 0) return Fail(errno);
  if (!Admit(in, false, TFileShare::DenyNone)) return false;
  struct stat srcStat {};
  if (fstat(in, &srcStat) != 0) {
    CloseQuietly(in);
    return Fail(errno);
  }
  const mode_t perms = srcStat.st_mode & 07777;

  int out = OpenRetry(dst.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY, perms | S_IWUSR);
  const bool created = out >= 0;
  if (out < 0 && errno == EEXIST && !failIfExists) {
    out = OpenRetry(dst.c_str(), O_WRONLY | O_NOCTTY);
  }
  if (out < 0) {
    const int code = errno;
    CloseQuietly(in);
    return Fail(code);
  }
  // From here on the destination is ours to empty, so a failure removes it
  // rather than leave a partial copy that looks whole.
  auto abandon = [&](int code) {
    CloseQuietly(in);
    CloseQuietly(out);
    unlink(dst.c_str());
    return Fail(code);
  };
  struct stat dstStat {};
  if (fstat(out, &dstStat) != 0) return abandon(errno);
  if (dstStat.st_dev == srcStat.st_dev && dstStat.st_ino == srcStat.st_ino) {
    // Copying a file onto itself would empty it; nothing may be removed either.
    CloseQuietly(in);
    CloseQuietly(out);
    return Fail(EWOULDBLOCK);
  }
  if (!Admit(out, true, TFileShare::Exclusive)) {
    // Read-only or open elsewhere: an existing file stays as it is, one we
    // have just made goes again.
    const int code = GetLastOSError();
    CloseQuietly(in);
    if (created) unlink(dst.c_str());
    return Fail(code);
  }
  int rc;
  do {
    rc = ftruncate(out, 0);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return abandon(errno);

  std::vector<char> buffer(kCopyBufferSize);
  for (;;) {
    const ssize_t n = read(in, buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return abandon(errno);
    }
    if (n == 0) break;
    if (!WriteAll(out, buffer.data(), static_cast<size_t>(n))) {
      return abandon(GetLastOSError());
    }
  }
  if (fchmod(out, perms) != 0) return abandon(errno);
  if (fsync(out) != 0) return abandon(errno);
  CloseQuietly(in);
  if (close(out) != 0 && errno != EINTR) {
    const int code = errno;
    unlink(dst.c_str());
    return Fail(code);
  }
  return true;
}

bool IsFileReadOnly(const std::string& path) {
  if (!ValidPath(path)) return false;
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return Fail(errno);
  return IsReadOnlyMode(st.st_mode);
}

bool SetFileReadOnly(const std::string& path, bool readOnly) {
  if (!ValidPath(path)) return false;
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return Fail(errno);
  mode_t mode = st.st_mode & 07777;
  mode = readOnly ? (mode & ~kAnyWrite) : (mode | S_IWUSR);
  return chmod(path.c_str(), mode) == 0 || Fail(errno);
}

bool LinkFile(const std::string& existing, const std::string& newPath) {
  if (!ValidPath(existing) || !ValidPath(newPath)) return false;
  return link(existing.c_str(), newPath.c_str()) == 0 || Fail(errno);
}

bool GetFileIdentity(const TOSFile& file, TFileIdentity& identity) {
  struct stat st {};
  if (fstat(file.fd_, &st) != 0) return Fail(errno);
  FillIdentity(st, identity);
  return true;
}

bool GetPathIdentity(const std::string& path, TFileIdentity& identity) {
  if (!ValidPath(path)) return false;
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return Fail(errno);
  FillIdentity(st, identity);
  return true;
}

}  // namespace os
