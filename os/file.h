// Files as the engine and the installer see them: handle objects with share
// modes, positioned 64-bit reads and writes, and the path operations (exists,
// delete, rename, copy, hard link, read-only attribute, identity). A handle's
// data side is the file interface of file_io.h, so that whoever moves bytes
// through TFileIO can be given a real file or the in-memory twin.
//
// Callers must keep:
//  - Failure is reported by the return value (nullptr, false, -1) with the
//    reason in os::GetLastOSError(); nothing here throws but std::bad_alloc.
//  - A handle is known by Id() (>= 1, never reused within a process lifetime
//    short of 2^32 opens); descriptor numbers are never exposed, 0 is a valid
//    descriptor on Linux and must not double as "no file".
//  - Read and Write return the byte count: a read that returns less than asked
//    reached the end of file. Writing past the end extends the file and the
//    gap reads back as zeros.
//  - Share modes are advisory between users of this layer: an Exclusive open
//    holds flock(LOCK_EX), a DenyNone open flock(LOCK_SH), both non-blocking,
//    so a conflicting open fails at once with a sharing violation (see
//    IsSharingViolation). Programs that do not use flock are not kept out.
//  - The read-only attribute is "no write bit for anyone". It is honoured by
//    this layer even for root, who could otherwise write through mode bits:
//    an open for writing of such a file fails with EACCES.
//  - Path strings are passed to the system byte for byte; a path holding a
//    NUL character is refused (EINVAL) rather than silently cut short.
//  - A child made by fork() shares the open file descriptions of its parent,
//    and with them the share-mode and range locks, until it exits or execs
//    (every descriptor here is close-on-exec).
//
// Byte-range locks (LockRange / UnlockRange) behave as the engine's callers
// expect: exclusive, never waiting, owned by the handle. A range locked through
// one handle cannot be locked through any other handle, in this process or
// another, nor again through the same handle; an unlock must name exactly a
// range that handle locked; everything a handle holds goes when it is
// destroyed or its process dies. Offsets are 64-bit and ranges may lie beyond
// the end of file, up to offset + length = 2^63.
//
// Why these primitives and not others, so nobody "simplifies" them back:
//  - Classic fcntl locks (F_SETLK) belong to the process, not the handle: two
//    handles of one process never conflict, and closing ANY descriptor of the
//    file, even one opened by unrelated code, silently drops every lock the
//    process holds on it. Both break the engine, which opens one file through
//    several handles. Never use them here.
//  - flock() locks the whole file only, so it cannot lock ranges. It does
//    carry the share modes, and on local Linux file systems it is independent
//    of the range locks: a DenyNone open (LOCK_SH) and range locks through
//    that handle coexist. On NFS, flock is emulated with a whole-file fcntl
//    lock and would collide with the range locks; shared database files on
//    network mounts are not supported.
//  - Open-file-description locks (F_OFD_SETLK, l_pid = 0) belong to the open
//    file description, that is to one open() call and so to one handle: they
//    conflict between handles of one process and between processes, and go
//    when the handle closes or the process dies. But locks through one
//    description never conflict with each other: they merge with adjacent
//    ranges and silently re-lock overlapping ones. So each handle keeps a
//    table of the ranges it holds, refuses an overlap itself, and unlocks only
//    a range found in the table exactly; since its own ranges never overlap,
//    unlocking one cuts exactly that range out of any merged lock.
//  - F_OFD_SETLK with F_WRLCK needs a descriptor open for writing. A handle
//    opened for reading only gets a second, read-write descriptor of the same
//    file, opened when it first locks and used for nothing but locking (opened
//    through /proc/self/fd, so it is the same file even if the path has been
//    renamed or replaced since). Where the file may not be written, that
//    descriptor cannot be had and LockRange fails with EACCES, which callers
//    can tell from a lock conflict.
//  - A lock conflict and an overlap with the handle's own lock fail with
//    EAGAIN (IsLockViolation); an unlock of a range not held fails with
//    ENOLCK and changes nothing; a zero length or a range past 2^63 fails
//    with EINVAL. EAGAIN is also the sharing violation of an open (the two
//    are one errno value on Linux); the call that failed tells them apart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "os/file_io.h"

namespace os {

enum class TFileAccess { Read, Write, ReadWrite };
enum class TFileShare { Exclusive, DenyNone };
// CreateNew fails if the file exists; CreateAlways creates it or empties it.
enum class TFileCreation { CreateNew, CreateAlways };

// Which file a handle or a path names. Two identities with the same device and
// inode are the same file; a link count of 0 means the file has been deleted
// while still open.
struct TFileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t linkCount = 0;
};

inline bool IsSameFile(const TFileIdentity& a, const TFileIdentity& b) {
  return a.device == b.device && a.inode == b.inode;
}

class TOSFile final : public TFileIO {
 public:
  // Opens an existing file. Directories are refused (EISDIR).
  static std::unique_ptr<TOSFile> Open(const std::string& path, TFileAccess access,
                                       TFileShare share);
  // Creates a file open for reading and writing, exclusive while open.
  // CreateAlways takes the exclusive share lock before emptying an existing
  // file, so a file someone else has open is never cut down under them.
  static std::unique_ptr<TOSFile> Create(const std::string& path, TFileCreation creation);

  ~TOSFile() override;

  uint32_t Id() const { return id_; }
  const std::string& Path() const { return path_; }
  TFileAccess Access() const { return access_; }
  TFileShare Share() const { return share_; }

  // Reads up to `count` bytes at `offset`; returns the number read (less at
  // end of file) or -1.
  int64_t Read(uint64_t offset, void* buffer, size_t count) override;
  // Writes `count` bytes at `offset`; returns `count` or -1.
  int64_t Write(uint64_t offset, const void* buffer, size_t count) override;
  // The pieces back to back from `offset` by pwritev (a long run in calls cut
  // at 16 KiB boundaries of the file); the total or -1.
  int64_t WriteGather(uint64_t offset, const TIoPiece* pieces, size_t count) override;
  // The file's size in bytes, or -1.
  int64_t Size() override;
  // Cuts or extends (with zeros) the file to `size` bytes.
  bool SetSize(uint64_t size) override;
  // Writes the file's data and metadata through to the device.
  bool Flush() override;

  // Locks [offset, offset + length) exclusively or fails at once (see above).
  bool LockRange(uint64_t offset, uint64_t length);
  // Releases a range locked through this handle with exactly these bounds.
  bool UnlockRange(uint64_t offset, uint64_t length);
  // How many bytes of [offset, offset + length) are locked, through any
  // handle this one included: the bytes a one-byte LockRange would be
  // refused. A few F_OFD_GETLK queries (two per lock found, plus one)
  // instead of a lock and an unlock per byte. -1 on failure.
  int64_t LockedBytes(uint64_t offset, uint64_t length);

 private:
  TOSFile(int fd, std::string path, TFileAccess access, TFileShare share);

  // The descriptor range locks go through; opens the companion if needed.
  int LockDescriptor();

  friend bool GetFileIdentity(const TOSFile& file, TFileIdentity& identity);

  const uint32_t id_;
  const int fd_;
  const std::string path_;
  const TFileAccess access_;
  const TFileShare share_;

  // One range this handle holds.
  struct TLockedRange {
    uint64_t Offset;
    uint64_t Length;
  };

  std::mutex lock_mutex_;  // guards the two below
  int lock_fd_ = -1;       // read-write companion of a read-only handle
  // The ranges held, by offset. A handle holds a few ranges at a time and
  // takes and gives back some around every call: a sorted array finds, adds
  // and drops them without allocating once it has grown.
  std::vector<TLockedRange> locked_;
};

// True when `code` (a last error) means an open was refused because of another
// open's share mode.
bool IsSharingViolation(int code);

// True when `code` (a last error) means LockRange met a lock already held,
// through another handle or through the same one.
bool IsLockViolation(int code);

// True for an existing file that is not a directory.
bool FileExists(const std::string& path);
bool DeleteFile(const std::string& path);
// Renames a file; fails (EEXIST) if `newPath` exists rather than replace it.
bool RenameFile(const std::string& oldPath, const std::string& newPath);
// Copies the contents and permission bits of `src` to `dst`. With failIfExists
// an existing `dst` fails the copy (EEXIST); otherwise it is replaced. The
// source is held shared and the destination exclusive while copying, so a
// file open exclusively elsewhere is neither read half-written nor
// overwritten. A failed copy removes the partial destination. The copy is
// flushed to the device before success is reported.
bool CopyFile(const std::string& src, const std::string& dst, bool failIfExists);
// No write bit for anyone. False also when the file cannot be examined.
bool IsFileReadOnly(const std::string& path);
// Clears every write bit, or gives the owner write permission back.
bool SetFileReadOnly(const std::string& path, bool readOnly);
// Makes `newPath` a second name of `existing`; fails (EEXIST) if `newPath`
// exists. A file built under a temporary name and then linked into place
// appears complete or not at all.
bool LinkFile(const std::string& existing, const std::string& newPath);

bool GetFileIdentity(const TOSFile& file, TFileIdentity& identity);
bool GetPathIdentity(const std::string& path, TFileIdentity& identity);

}  // namespace os
