// Windows error codes and their texts, for the installer's calls on virtual
// Windows paths (win_file.h, ini_file.h, host_profile.h). The installer prints
// these codes and texts to the user ("GetLastError return: %d", "Error : %s"),
// so they are the numbers and wording a Windows user would see.
//
// Callers must keep:
//  - Functions on virtual paths report failure by their return value and leave
//    a Windows code for GetLastWinError on the calling thread; success leaves
//    it alone. Read it right after the failing call.
//  - errno values become Windows codes only through WinErrorFromErrno, so that
//    every call maps an errno the same way.
//  - A damaged text file of the machine (host profile, INI file, attribute
//    table) is never read as a silent default: the reader throws EDamagedFile,
//    naming the file and line.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace os {

// The codes this layer gives. Their values are the ones Windows programs print.
namespace winerr {
inline constexpr uint32_t kSuccess = 0;
inline constexpr uint32_t kFileNotFound = 2;
inline constexpr uint32_t kPathNotFound = 3;
inline constexpr uint32_t kTooManyOpenFiles = 4;
inline constexpr uint32_t kAccessDenied = 5;
inline constexpr uint32_t kNotEnoughMemory = 8;
inline constexpr uint32_t kBadFormat = 11;
inline constexpr uint32_t kInvalidDrive = 15;
inline constexpr uint32_t kNotSameDevice = 17;
inline constexpr uint32_t kWriteFault = 29;
inline constexpr uint32_t kReadFault = 30;
inline constexpr uint32_t kSharingViolation = 32;
inline constexpr uint32_t kLockViolation = 33;
inline constexpr uint32_t kNotSupported = 50;
inline constexpr uint32_t kFileExists = 80;
inline constexpr uint32_t kInvalidParameter = 87;
inline constexpr uint32_t kDiskFull = 112;
inline constexpr uint32_t kInvalidName = 123;
inline constexpr uint32_t kDirNotEmpty = 145;
inline constexpr uint32_t kBadPathname = 161;
inline constexpr uint32_t kAlreadyExists = 183;
inline constexpr uint32_t kFilenameExcedRange = 206;
inline constexpr uint32_t kDirectory = 267;
inline constexpr uint32_t kIoDevice = 1117;
}  // namespace winerr

// The one mapping from errno to a Windows code. ENOENT is "file not found";
// callers that know a folder of the path is missing report kPathNotFound.
uint32_t WinErrorFromErrno(int code);

// The system's message text for a code, as FormatMessage gives it (with the
// full stop, without the line break); an unknown code gets a generic text
// naming the number.
std::string WinErrorText(uint32_t code);

uint32_t GetLastWinError();
void SetLastWinError(uint32_t code);

// Sets the last Windows error and returns false, for `return WinFail(...)`.
bool WinFail(uint32_t code);

// A machine text file that cannot be read as what it should be.
class EDamagedFile : public std::runtime_error {
 public:
  // `line` is 1-based; 0 when the fault is not on one line.
  EDamagedFile(const std::string& file, int line, const std::string& reason);

  const std::string& File() const { return file_; }
  int Line() const { return line_; }

 private:
  std::string file_;
  int line_;
};

}  // namespace os
