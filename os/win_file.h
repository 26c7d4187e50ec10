// File operations on virtual Windows paths (win_path.h), with the behaviour
// the installer expects of Windows: attributes, file dates in local time,
// files in use, full disks and moves put off until the next restart.
//
// Callers must keep:
//  - Every call reports failure by its return value and leaves the Windows
//    error for GetLastWinError (win_error.h). A failed call changes nothing
//    on disk, except a copy or a handle's write that met a full disk: those
//    keep what was written before the disk filled (a copy then removes its
//    partial destination).
//  - Read-only is the host file's write bit, so the host sees it too; the
//    hidden, system, archive, temporary and offline attributes live in the
//    drive's attribute table in the machine root. A read-only file can be
//    neither deleted nor replaced (kAccessDenied); it can be renamed, as on
//    Windows. A file without a table entry reports the archive attribute.
//  - A file is in use when a hook names it or when a handle of this layer
//    holds it open, in this process or another (its share lock is probed).
//    Delete, replace and rename of a file in use fail with kSharingViolation.
//    The probe holds the exclusive share lock for an instant, so an exclusive
//    open elsewhere at that very instant fails as against any other holder.
//  - A drive with a capacity (machine.h) never holds more bytes of files than
//    that: a write that would pass it writes what fits and fails with
//    kDiskFull. Room comes back when files are deleted or cut down.
//  - The attribute tables are machine files too: a damaged one throws
//    EDamagedFile from any call that reads it. Changes are serialised within
//    a process only; two processes changing attributes of one drive at the
//    same moment may lose one change.
//  - File dates are local date-time values (days since 1899-12-30) at whole
//    seconds, through the one conversion of local_time.h.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "os/file.h"

namespace os {

class TMachine;

// Attribute bits as Windows reports them.
inline constexpr uint32_t FILE_ATTRIBUTE_READONLY = 0x1;
inline constexpr uint32_t FILE_ATTRIBUTE_HIDDEN = 0x2;
inline constexpr uint32_t FILE_ATTRIBUTE_SYSTEM = 0x4;
inline constexpr uint32_t FILE_ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr uint32_t FILE_ATTRIBUTE_ARCHIVE = 0x20;
inline constexpr uint32_t FILE_ATTRIBUTE_NORMAL = 0x80;
inline constexpr uint32_t FILE_ATTRIBUTE_TEMPORARY = 0x100;
inline constexpr uint32_t FILE_ATTRIBUTE_OFFLINE = 0x1000;
inline constexpr uint32_t INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;

// ---- handles ----

// A file opened by virtual path: positioned I/O through a TOSFile (file.h),
// with the drive's capacity applied to writes.
class TWinFile {
 public:
  static std::unique_ptr<TWinFile> Open(const std::string& path, TFileAccess access,
                                        TFileShare share);
  static std::unique_ptr<TWinFile> Create(const std::string& path, TFileCreation creation);

  TWinFile(const TWinFile&) = delete;
  TWinFile& operator=(const TWinFile&) = delete;

  const std::string& HostPath() const { return file_->Path(); }

  // Up to `count` bytes at `offset`; the number read, or -1.
  int64_t Read(uint64_t offset, void* buffer, size_t count);
  // The number written: `count`, or less with kDiskFull when the drive's
  // capacity was met; -1 when nothing could be written for another reason.
  int64_t Write(uint64_t offset, const void* buffer, size_t count);
  int64_t Size();
  bool SetSize(uint64_t size);
  bool Flush();

 private:
  TWinFile(std::unique_ptr<TOSFile> file, const TMachine& machine, char drive);

  std::unique_ptr<TOSFile> file_;
  const TMachine& machine_;
  const char drive_;
};

// ---- names ----

bool WinFileExists(const std::string& path);       // an existing file, not a folder
bool WinDirectoryExists(const std::string& path);  // an existing folder
bool WinDeleteFile(const std::string& path);
// Renames or moves a file or folder; fails (kAlreadyExists) when `newPath`
// exists. A file moves to another host file system as a copy and a delete; a
// folder cannot (kNotSameDevice).
bool WinMoveFile(const std::string& oldPath, const std::string& newPath);
// Moves a file over another (MoveFileEx with replace): `newPath` may exist, but
// must not be read-only or in use.
bool WinReplaceFile(const std::string& oldPath, const std::string& newPath);
// Copies a file with its date and attributes. With failIfExists an existing
// destination fails the copy (kFileExists).
bool WinCopyFile(const std::string& src, const std::string& dst, bool failIfExists);
bool WinCreateDirectory(const std::string& path);
// Creates a folder and any missing parents; true when it exists already.
bool WinForceDirectories(const std::string& path);
// Removes an empty folder.
bool WinRemoveDirectory(const std::string& path);

struct TWinFindData {
  std::string Name;
  uint32_t Attributes = 0;
  int64_t Size = 0;
  double Date = 0;  // local date-time of the last write
};
// The entries of a folder, without "." and "..", in byte order of their names.
bool WinListDirectory(const std::string& path, std::vector<TWinFindData>& entries);

// ---- size, date, attributes ----

int64_t WinGetFileSize(const std::string& path);  // -1 on failure
bool WinGetFileDate(const std::string& path, double& date);
bool WinSetFileDate(const std::string& path, double date);
uint32_t WinGetFileAttributes(const std::string& path);  // INVALID_FILE_ATTRIBUTES on failure
// Sets the attributes of a file or folder. FILE_ATTRIBUTE_NORMAL alone clears
// them all; the directory bit is ignored.
bool WinSetFileAttributes(const std::string& path, uint32_t attributes);
// Windows' short (8.3) name; this machine's names are their own short names,
// so the path comes back as given when it exists.
std::string WinGetShortPathName(const std::string& path);

// ---- in use, temporary files, restart ----

// True when the file is in use (see above).
bool WinIsFileInUse(const std::string& path);
// Test hook: marks the file as held open by another program, or releases it.
bool WinSetFileInUse(const std::string& path, bool inUse);

// A new, empty file "<prefix><4 hex digits>.tmp" in the profile's temporary
// folder (at most three characters of the prefix are used), made exclusively
// so that no other caller can get the same name. Its virtual path, or empty.
std::string WinGetTempFileName(const std::string& prefix);

// Records that `newPath` is to be replaced by `oldPath` at the next restart
// (MoveFileEx with delay until reboot and replace). The paths must be valid;
// nothing is moved now.
bool WinMoveFileDelayed(const std::string& oldPath, const std::string& newPath);
struct TDelayedMove {
  std::string From;  // virtual paths
  std::string To;
};
// The moves recorded so far, oldest first. Throws EDamagedFile for a damaged record.
std::vector<TDelayedMove> WinReadDelayedMoves();
// Forgets every recorded move, as a restart does once it has applied them.
// Only the restart calls it, when no program is recording moves.
bool WinClearDelayedMoves();

// ---- whole files ----

bool WinReadWholeFile(const std::string& path, std::string& data);
// Writes a file whole: to a temporary name beside it, then into place, so a
// reader sees the old or the new text. The file must not be read-only or in use.
bool WinWriteWholeFile(const std::string& path, const std::string& data);

}  // namespace os
