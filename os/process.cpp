#include "os/process.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "os/win_error.h"
#include "os/win_file.h"
#include "os/win_path.h"

namespace os {
namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// Reads exactly `size` bytes unless the other end closes first; the count read.
size_t ReadFull(int fd, void* buffer, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(fd, static_cast<char*>(buffer) + done, size - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  return done;
}

void WriteFull(int fd, const void* buffer, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, static_cast<const char*>(buffer) + done, size - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      return;
    }
  }
}

}  // namespace

std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> words;
  size_t i = 0;
  // The program's name.
  while (i < line.size() && IsBlank(line[i])) ++i;
  if (i < line.size()) {
    std::string first;
    if (line[i] == '"') {
      const size_t close = line.find('"', i + 1);
      const size_t end = close == std::string_view::npos ? line.size() : close;
      first.assign(line.substr(i + 1, end - i - 1));
      i = close == std::string_view::npos ? line.size() : close + 1;
    }
    while (i < line.size() && !IsBlank(line[i])) first += line[i++];
    words.push_back(std::move(first));
  }
  for (;;) {
    while (i < line.size() && IsBlank(line[i])) ++i;
    if (i >= line.size()) break;
    std::string word;
    bool quoted = false;
    while (i < line.size() && (quoted || !IsBlank(line[i]))) {
      if (line[i] == '\\') {
        size_t n = 0;
        while (i < line.size() && line[i] == '\\') {
          ++n;
          ++i;
        }
        if (i < line.size() && line[i] == '"') {
          word.append(n / 2, '\\');
          if (n % 2 == 1) {
            word += '"';
            ++i;
          }
        } else {
          word.append(n, '\\');
        }
      } else if (line[i] == '"') {
        if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
          word += '"';
          i += 2;
        } else {
          quoted = !quoted;
          ++i;
        }
      } else {
        word += line[i++];
      }
    }
    words.push_back(std::move(word));
  }
  return words;
}

bool CreateProcess(const std::string& applicationName, const std::string& commandLine,
                   const std::string& currentDirectory, int /*showWindow: no windows here*/) {
  std::vector<std::string> args = SplitCommandLine(commandLine);
  std::string program = applicationName;
  if (program.empty()) {
    if (args.empty()) return WinFail(winerr::kFileNotFound);
    program = args.front();
  }
  TWinPath parsed;
  std::string hostProgram;
  if (!ParseWinPath(program, parsed) || !ResolveWinPath(parsed, hostProgram)) {
    // Windows names a drive that is not there as a path not found.
    if (GetLastWinError() == winerr::kInvalidDrive) SetLastWinError(winerr::kPathNotFound);
    return false;
  }
  struct stat st;
  if (::stat(hostProgram.c_str(), &st) != 0) {
    // A missing folder on the way is "path not found", as Windows says.
    const std::string folder = program.substr(0, program.find_last_of("\\/"));
    const bool folderThere =
        program.find_first_of("\\/") == std::string::npos || WinDirectoryExists(folder);
    return WinFail(folderThere ? winerr::kFileNotFound : winerr::kPathNotFound);
  }
  if (S_ISDIR(st.st_mode)) return WinFail(winerr::kAccessDenied);
  std::string hostDir;
  if (!currentDirectory.empty()) {
    if (!ResolveWinPath(currentDirectory, hostDir)) return false;
    if (!WinDirectoryExists(currentDirectory)) return WinFail(winerr::kDirectory);
  }
  if (args.empty()) args.push_back(program);

  // Everything the child needs is made before fork: after it, only calls that
  // are safe in a forked child.
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return WinFail(WinErrorFromErrno(errno));
  const pid_t middle = ::fork();
  if (middle < 0) {
    const int e = errno;
    ::close(fds[0]);
    ::close(fds[1]);
    return WinFail(WinErrorFromErrno(e));
  }
  if (middle == 0) {
    ::close(fds[0]);
    const pid_t child = ::fork();
    if (child == 0) {
      int err = 0;
      if (!hostDir.empty() && ::chdir(hostDir.c_str()) != 0) {
        err = errno;
      } else {
        ::execv(hostProgram.c_str(), argv.data());
        err = errno;
      }
      WriteFull(fds[1], &err, sizeof err);
      ::_exit(127);
    }
    if (child < 0) {
      const int err = errno;
      WriteFull(fds[1], &err, sizeof err);
    }
    ::_exit(0);
  }
  ::close(fds[1]);
  int status = 0;
  while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
  }
  // The pipe closes without a word when the exec succeeded.
  int err = 0;
  const size_t got = ReadFull(fds[0], &err, sizeof err);
  ::close(fds[0]);
  if (got == sizeof err) return WinFail(WinErrorFromErrno(err));
  return true;
}

}  // namespace os
