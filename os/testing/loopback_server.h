// A test server on 127.0.0.1 with an ephemeral port: a thread that accepts
// connections and hands each to a handler, and stops by itself when the
// test ends (destructor) or after a bounded idle wait, so no test can hang.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

namespace os::test {

// A listening socket on 127.0.0.1 with an ephemeral port.
inline int ListenLoopback(uint16_t& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::listen(fd, 8);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return fd;
}

// One accepted connection: blocking reads and writes bounded by poll.
class TLoopbackPeer {
 public:
  explicit TLoopbackPeer(int fd) : fd_(fd) {}
  ~TLoopbackPeer() { ::close(fd_); }
  void Send(std::string_view s) {
    while (!s.empty()) {
      const ssize_t n = ::send(fd_, s.data(), s.size(), MSG_NOSIGNAL);
      if (n <= 0) return;
      s.remove_prefix(static_cast<size_t>(n));
    }
  }
  // One line without CR LF; "" on end or after 5 s of silence.
  std::string ReadLine() {
    std::string line;
    char c;
    for (;;) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 5000) <= 0 || ::recv(fd_, &c, 1, 0) != 1) return line;
      if (c == '\n') break;
      if (c != '\r') line += c;
    }
    return line;
  }
  // Reads an HTTP request head; returns its first line.
  std::string ReadHttpRequest() {
    std::string first = ReadLine();
    while (!ReadLine().empty()) {
    }
    return first;
  }

 private:
  int fd_;
};

class TLoopbackServer {
 public:
  using THandler = std::function<void(TLoopbackPeer&)>;
  // Listens now; serves up to `connections` connections with `handler`.
  explicit TLoopbackServer(THandler handler, int connections = 100)
      : handler_(std::move(handler)) {
    fd_ = ListenLoopback(port_);
    if (::pipe2(wake_, O_CLOEXEC) != 0) wake_[0] = wake_[1] = -1;
    thread_ = std::thread([this, connections] {
      for (int i = 0; i < connections && !stop_; ++i) {
        pollfd p[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        const int r = ::poll(p, wake_[0] >= 0 ? 2 : 1, 10000);
        if (r <= 0 || stop_ || (p[0].revents & POLLIN) == 0) return;
        const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) return;
        // Replies sent in small pieces go out at once, not after the
        // client's delayed acknowledgement.
        const int one = 1;
        ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        TLoopbackPeer peer(c);
        handler_(peer);
      }
    });
  }
  ~TLoopbackServer() {
    stop_ = true;
    if (wake_[1] >= 0) {
      const char c = 0;
      [[maybe_unused]] const ssize_t n = ::write(wake_[1], &c, 1);
    }
    thread_.join();
    ::close(fd_);
    for (const int w : wake_)
      if (w >= 0) ::close(w);
  }
  uint16_t Port() const { return port_; }
  bool Stopping() const { return stop_; }

 private:
  THandler handler_;
  int fd_ = -1;
  int wake_[2] = {-1, -1};  // written once to stop the accepting thread
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A port on 127.0.0.1 nobody listens on (bound then closed).
inline uint16_t ClosedLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

}  // namespace os::test
