#include "os/win_error.h"

#include <cerrno>

namespace os {
namespace {

thread_local uint32_t t_last_win_error = 0;

std::string DamageText(const std::string& file, int line, const std::string& reason) {
  std::string text = file;
  if (line > 0) text += ", line " + std::to_string(line);
  return text + ": " + reason;
}

}  // namespace

uint32_t WinErrorFromErrno(int code) {
  switch (code) {
    case 0:
      return winerr::kSuccess;
    case ENOENT:
      return winerr::kFileNotFound;
    case ENOTDIR:
      return winerr::kPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return winerr::kAccessDenied;
    case EMFILE:
    case ENFILE:
      return winerr::kTooManyOpenFiles;
    case ENOMEM:
      return winerr::kNotEnoughMemory;
    case ENOEXEC:
      return winerr::kBadFormat;
    case EXDEV:
      return winerr::kNotSameDevice;
    case EWOULDBLOCK:  // a share lock held elsewhere (EAGAIN is the same value)
    case EBUSY:
    case ETXTBSY:
      return winerr::kSharingViolation;
    case EEXIST:
      return winerr::kAlreadyExists;
    case EINVAL:
      return winerr::kInvalidParameter;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return winerr::kDiskFull;
    case ENAMETOOLONG:
      return winerr::kFilenameExcedRange;
    case ENOTEMPTY:
      return winerr::kDirNotEmpty;
    case ELOOP:
      return winerr::kBadPathname;
    case ENOTSUP:
    case ENOSYS:
      return winerr::kNotSupported;
    default:
      return winerr::kIoDevice;
  }
}

std::string WinErrorText(uint32_t code) {
  switch (code) {
    case winerr::kSuccess:
      return "The operation completed successfully.";
    case winerr::kFileNotFound:
      return "The system cannot find the file specified.";
    case winerr::kPathNotFound:
      return "The system cannot find the path specified.";
    case winerr::kTooManyOpenFiles:
      return "The system cannot open the file.";
    case winerr::kAccessDenied:
      return "Access is denied.";
    case winerr::kNotEnoughMemory:
      return "Not enough storage is available to process this command.";
    case winerr::kBadFormat:
      return "An attempt was made to load a program with an incorrect format.";
    case winerr::kInvalidDrive:
      return "The system cannot find the drive specified.";
    case winerr::kNotSameDevice:
      return "The system cannot move the file to a different disk drive.";
    case winerr::kWriteFault:
      return "The system cannot write to the specified device.";
    case winerr::kReadFault:
      return "The system cannot read from the specified device.";
    case winerr::kSharingViolation:
      return "The process cannot access the file because it is being used by another process.";
    case winerr::kLockViolation:
      return "The process cannot access the file because another process has locked a portion "
             "of the file.";
    case winerr::kNotSupported:
      return "The request is not supported.";
    case winerr::kFileExists:
      return "The file exists.";
    case winerr::kInvalidParameter:
      return "The parameter is incorrect.";
    case winerr::kDiskFull:
      return "There is not enough space on the disk.";
    case winerr::kInvalidName:
      return "The filename, directory name, or volume label syntax is incorrect.";
    case winerr::kDirNotEmpty:
      return "The directory is not empty.";
    case winerr::kBadPathname:
      return "The specified path is invalid.";
    case winerr::kAlreadyExists:
      return "Cannot create a file when that file already exists.";
    case winerr::kFilenameExcedRange:
      return "The filename or extension is too long.";
    case winerr::kDirectory:
      return "The directory name is invalid.";
    case winerr::kIoDevice:
      return "The request could not be performed because of an I/O device error.";
    default:
      return "Unknown error " + std::to_string(code) + ".";
  }
}

uint32_t GetLastWinError() {
  return t_last_win_error;
}

void SetLastWinError(uint32_t code) {
  t_last_win_error = code;
}

bool WinFail(uint32_t code) {
  t_last_win_error = code;
  return false;
}

EDamagedFile::EDamagedFile(const std::string& file, int line, const std::string& reason)
    : std::runtime_error(DamageText(file, line, reason)), file_(file), line_(line) {}

}  // namespace os
