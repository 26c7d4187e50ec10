// Helpers shared by this layer's tests: a private scratch folder per test,
// whole-file reads and writes that do not go through the code under test, and
// a way to run a piece of a test in a real child process.
#pragma once

#include <cxxabi.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <typeinfo>

namespace os::test {

// A fresh folder under the system's temporary folder, removed with everything
// in it when the test ends. Tests run in parallel processes, so each has its own.
class TTempDir {
 public:
  TTempDir() {
    std::string templ = (std::filesystem::temp_directory_path() / "tavos-XXXXXX").string();
    if (mkdtemp(templ.data()) != nullptr) path_ = templ;
  }
  ~TTempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  bool Ok() const { return !path_.empty(); }
  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void WriteWholeFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Tells on stderr what a child's body let escape: the exception's class,
// `detail` when given (" code 12"), and its message on one line, so that a
// child's 99 in a test log says why.
inline void ReportEscapedException(std::exception_ptr error, const std::string& detail = "") {
  std::string kind = "unknown exception", message;
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    const char* raw = typeid(e).name();
    int status = 0;
    char* demangled = abi::__cxa_demangle(raw, nullptr, nullptr, &status);
    kind = status == 0 && demangled ? demangled : raw;
    std::free(demangled);
    message = e.what();
  } catch (...) {
  }
  for (char& c : message)
    if (c == '\r' || c == '\n') c = ' ';
  std::fprintf(stderr, "child %d: body threw %s%s: %s\n", static_cast<int>(getpid()), kind.c_str(),
               detail.c_str(), message.c_str());
  std::fflush(stderr);
}

// Runs `body` in a forked child and returns its exit code (the body's result;
// 99 when it throws, said on stderr), or -1 if the child died by a signal.
// The child leaves through _exit, so it never returns into the test framework
// or runs the parent's static destructors.
inline int RunInChild(const std::function<int()>& body) {
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    int code = 98;
    try {
      code = body();
    } catch (...) {
      ReportEscapedException(std::current_exception());
      code = 99;
    }
    _exit(code);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace os::test
