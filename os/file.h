// Files as the engine and the installer see them: handle objects with share
// modes, positioned 64-bit reads and writes, and the path operations (exists,
// delete, rename, copy, hard link, read-only attribute, identity).
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
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

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

class TOSFile {
 public:
  // Opens an existing file. Directories are refused (EISDIR).
  static std::unique_ptr<TOSFile> Open(const std::string& path, TFileAccess access,
                                       TFileShare share);
  // Creates a file open for reading and writing, exclusive while open.
  // CreateAlways takes the exclusive share lock before emptying an existing
  // file, so a file someone else has open is never cut down under them.
  static std::unique_ptr<TOSFile> Create(const std::string& path, TFileCreation creation);

  ~TOSFile();
  TOSFile(const TOSFile&) = delete;
  TOSFile& operator=(const TOSFile&) = delete;

  uint32_t Id() const { return id_; }
  const std::string& Path() const { return path_; }
  TFileAccess Access() const { return access_; }
  TFileShare Share() const { return share_; }

  // Reads up to `count` bytes at `offset`; returns the number read (less at
  // end of file) or -1.
  int64_t Read(uint64_t offset, void* buffer, size_t count);
  // Writes `count` bytes at `offset`; returns `count` or -1.
  int64_t Write(uint64_t offset, const void* buffer, size_t count);
  // The file's size in bytes, or -1.
  int64_t Size();
  // Cuts or extends (with zeros) the file to `size` bytes.
  bool SetSize(uint64_t size);
  // Writes the file's data and metadata through to the device.
  bool Flush();

 private:
  TOSFile(int fd, std::string path, TFileAccess access, TFileShare share);

  friend bool GetFileIdentity(const TOSFile& file, TFileIdentity& identity);

  const uint32_t id_;
  const int fd_;
  const std::string path_;
  const TFileAccess access_;
  const TFileShare share_;
};

// True when `code` (a last error) means an open was refused because of another
// open's share mode.
bool IsSharingViolation(int code);

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
