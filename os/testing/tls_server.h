// An HTTPS server on 127.0.0.1 for tests: a self-signed certificate for
// 127.0.0.1 made now in a scratch folder, and the openssl command's test
// server serving that folder's files ("GET /<name>"). Stopped (by its
// process id) when the object goes. Ok() is false when openssl is missing.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "os/testing/loopback_server.h"
#include "os/testing/test_support.h"

namespace os::test {

class TTlsTestServer {
 public:
  TTlsTestServer() {
    if (!dir_.Ok()) return;
    const std::string make =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 "
        "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout '" +
        (dir_ / "key.pem") + "' -out '" + (dir_ / "cert.pem") + "' >/dev/null 2>&1";
    if (std::system(make.c_str()) != 0) return;
    port_ = ClosedLoopbackPort();
    const std::string accept = "127.0.0.1:" + std::to_string(port_);
    pid_ = ::fork();
    if (pid_ == 0) {
      if (::chdir(dir_.Path().c_str()) != 0) ::_exit(127);
      ::freopen("/dev/null", "w", stdout);
      ::freopen("/dev/null", "w", stderr);
      ::execlp("openssl", "openssl", "s_server", "-quiet", "-accept", accept.c_str(), "-cert",
               "cert.pem", "-key", "key.pem", "-WWW", "-naccept", "50",
               static_cast<char*>(nullptr));
      ::_exit(127);
    }
    // Ready when it accepts a connection (bounded wait).
    for (int i = 0; i < 100 && pid_ > 0; ++i) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      a.sin_port = htons(port_);
      const bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
      ::close(fd);
      if (up) {
        ok_ = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  ~TTlsTestServer() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  TTlsTestServer(const TTlsTestServer&) = delete;
  TTlsTestServer& operator=(const TTlsTestServer&) = delete;

  bool Ok() const { return ok_; }
  uint16_t Port() const { return port_; }
  std::string CertFile() const { return dir_ / "cert.pem"; }
  // A file the server hands out as "/<name>".
  void Put(const std::string& name, const std::string& data) { WriteWholeFile(dir_ / name, data); }

 private:
  TTempDir dir_;
  uint16_t port_ = 0;
  pid_t pid_ = -1;
  bool ok_ = false;
};

}  // namespace os::test
