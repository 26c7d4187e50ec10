#include "os/net_transport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <mutex>

namespace os {

std::string InternetErrorName(uint32_t code) {
  switch (code) {
    case ERROR_INVALID_HANDLE: return "ERROR_INVALID_HANDLE";
    case ERROR_INTERNET_TIMEOUT: return "ERROR_INTERNET_TIMEOUT";
    case ERROR_INTERNET_EXTENDED_ERROR: return "ERROR_INTERNET_EXTENDED_ERROR";
    case ERROR_INTERNET_INTERNAL_ERROR: return "ERROR_INTERNET_INTERNAL_ERROR";
    case ERROR_INTERNET_NAME_NOT_RESOLVED: return "ERROR_INTERNET_NAME_NOT_RESOLVED";
    case ERROR_INTERNET_LOGIN_FAILURE: return "ERROR_INTERNET_LOGIN_FAILURE";
    case ERROR_INTERNET_CANNOT_CONNECT: return "ERROR_INTERNET_CANNOT_CONNECT";
    case ERROR_INTERNET_CONNECTION_ABORTED: return "ERROR_INTERNET_CONNECTION_ABORTED";
    case ERROR_INTERNET_CONNECTION_RESET: return "ERROR_INTERNET_CONNECTION_RESET";
    case ERROR_HTTP_INVALID_SERVER_RESPONSE: return "ERROR_HTTP_INVALID_SERVER_RESPONSE";
    default: return std::to_string(code);
  }
}

// ---- binding ----

const std::vector<std::string> kNetEntryPoints = {
    "InternetGetLastResponseInfoA", "InternetOpenA",     "InternetConnectA",
    "FtpSetCurrentDirectoryA",      "InternetCloseHandle", "InternetQueryDataAvailable",
    "InternetReadFile",             "FtpOpenFileA",      "HttpOpenRequestA",
    "HttpSendRequestA",             "HttpQueryInfoA"};

namespace {
std::mutex g_net_mutex;
std::string g_missing;
bool g_bound = false;
int g_bind_count = 0;
TNetTimeouts g_timeouts;
uint16_t g_http_port = 0;
uint16_t g_ftp_port = 0;
}  // namespace

std::string BindNetLibrary() {
  std::lock_guard lock(g_net_mutex);
  if (g_bound) return "";
  ++g_bind_count;
  // The transport is built in; only the test hook can take a piece away.
  if (!g_missing.empty()) return g_missing;
  g_bound = true;
  return "";
}

void SetNetLibraryMissing(const std::string& what) {
  std::lock_guard lock(g_net_mutex);
  g_missing = what;
  g_bound = false;
}

int NetLibraryBindCount() {
  std::lock_guard lock(g_net_mutex);
  return g_bind_count;
}

void SetNetTimeouts(const TNetTimeouts& t) {
  std::lock_guard lock(g_net_mutex);
  g_timeouts = t;
}

TNetTimeouts GetNetTimeouts() {
  std::lock_guard lock(g_net_mutex);
  return g_timeouts;
}

void SetNetTestPorts(uint16_t http, uint16_t ftp) {
  std::lock_guard lock(g_net_mutex);
  g_http_port = http;
  g_ftp_port = ftp;
}

// ---- reply parsing ----

bool TLineReader::Fill() {
  if (pos_ > 0) {
    buf_.erase(0, pos_);
    pos_ = 0;
  }
  char chunk[4096];
  const int64_t n = source_(chunk, sizeof chunk);
  if (n <= 0) return false;
  buf_.append(chunk, static_cast<size_t>(n));
  return true;
}

bool TLineReader::ReadLine(std::string& line) {
  size_t scanned = pos_;
  for (;;) {
    const size_t nl = buf_.find('\n', scanned);
    if (nl != std::string::npos) {
      size_t end = nl;
      if (end > pos_ && buf_[end - 1] == '\r') --end;
      if (end - pos_ > kMaxReplyLine) {
        too_long_ = true;
        return false;
      }
      line.assign(buf_, pos_, end - pos_);
      pos_ = nl + 1;
      return true;
    }
    if (buf_.size() - pos_ > kMaxReplyLine + 1) {
      too_long_ = true;
      return false;
    }
    scanned = buf_.size();
    const size_t before = pos_;
    if (!Fill()) {
      // A last line without its end still counts.
      if (buf_.size() > pos_) {
        line.assign(buf_, pos_, std::string::npos);
        pos_ = buf_.size();
        return true;
      }
      return false;
    }
    scanned -= before;
  }
}

int64_t TLineReader::Read(char* buf, size_t count) {
  if (pos_ < buf_.size()) {
    const size_t n = std::min(count, buf_.size() - pos_);
    std::memcpy(buf, buf_.data() + pos_, n);
    pos_ += n;
    return static_cast<int64_t>(n);
  }
  return source_(buf, count);
}

namespace {

bool ParseInt64(std::string_view s, int64_t& value) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  if (s.empty()) return false;
  const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  return ec == std::errc() && p == s.data() + s.size() && value >= 0;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IEquals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

}  // namespace

bool ReadHttpHead(TLineReader& in, THttpHead& head) {
  head = THttpHead();
  if (!in.ReadLine(head.statusLine)) return false;
  // "HTTP/x.y NNN reason"
  const std::string_view s = head.statusLine;
  if (s.size() < 12 || s.substr(0, 5) != "HTTP/") return false;
  const size_t sp = s.find(' ');
  if (sp == std::string_view::npos || sp + 4 > s.size()) return false;
  if (!IsDigit(s[sp + 1]) || !IsDigit(s[sp + 2]) || !IsDigit(s[sp + 3])) return false;
  if (sp + 4 < s.size() && s[sp + 4] != ' ') return false;
  head.status = (s[sp + 1] - '0') * 100 + (s[sp + 2] - '0') * 10 + (s[sp + 3] - '0');
  std::string line;
  for (int i = 0; i < kMaxReplyLines; ++i) {
    if (!in.ReadLine(line)) return false;
    if (line.empty()) return true;
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    if (IEquals(std::string_view(line).substr(0, colon), "Content-Length")) {
      int64_t len = 0;
      if (!ParseInt64(std::string_view(line).substr(colon + 1), len)) return false;
      head.contentLength = len;
    }
  }
  return false;
}

bool ReadFtpReply(TLineReader& in, TFtpReply& reply) {
  reply = TFtpReply();
  std::string line;
  if (!in.ReadLine(line)) return false;
  if (line.size() < 3 || !IsDigit(line[0]) || !IsDigit(line[1]) || !IsDigit(line[2]))
    return false;
  reply.code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
  reply.text = line;
  if (line.size() < 4 || line[3] != '-') return true;
  const std::string end = line.substr(0, 3) + " ";
  for (int i = 1; i < kMaxReplyLines; ++i) {
    if (!in.ReadLine(line)) return false;
    if (reply.text.size() + line.size() > kMaxReplyLine * 4) return false;
    reply.text += "\r\n";
    reply.text += line;
    if (line.compare(0, 4, end) == 0) return true;
  }
  return false;
}

bool ParsePasvReply(std::string_view text, std::string& host, uint16_t& port) {
  const size_t open = text.find('(');
  if (open == std::string_view::npos) return false;
  const size_t close = text.find(')', open);
  if (close == std::string_view::npos) return false;
  std::string_view body = text.substr(open + 1, close - open - 1);
  int parts[6];
  for (int i = 0; i < 6; ++i) {
    const size_t comma = i < 5 ? body.find(',') : body.size();
    if (comma == std::string_view::npos) return false;
    int64_t v = 0;
    if (!ParseInt64(body.substr(0, comma), v) || v > 255) return false;
    parts[i] = static_cast<int>(v);
    body.remove_prefix(i < 5 ? comma + 1 : comma);
  }
  host = std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." +
         std::to_string(parts[2]) + "." + std::to_string(parts[3]);
  port = static_cast<uint16_t>(parts[4] * 256 + parts[5]);
  return port != 0;
}

// ---- sockets ----

// A connected TCP socket with bounded waits; owns the descriptor.
class TNetSocket {
 public:
  ~TNetSocket() {
    if (fd_ >= 0) ::close(fd_);
  }
  // Connects to host:port within the connect bound; nullptr with the error.
  static std::unique_ptr<TNetSocket> Connect(const std::string& host, uint16_t port,
                                             uint32_t& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list) != 0 ||
        list == nullptr) {
      error = ERROR_INTERNET_NAME_NOT_RESOLVED;
      return nullptr;
    }
    const int ms = GetNetTimeouts().connectMs;
    error = ERROR_INTERNET_CANNOT_CONNECT;
    std::unique_ptr<TNetSocket> result;
    for (addrinfo* a = list; a != nullptr && !result; a = a->ai_next) {
      const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
      if (fd < 0) continue;
      auto sock = std::unique_ptr<TNetSocket>(new TNetSocket(fd));
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
      if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
        result = std::move(sock);
      } else if (errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        const int r = ::poll(&p, 1, ms);
        if (r == 0) {
          error = ERROR_INTERNET_TIMEOUT;
          continue;
        }
        int err = 0;
        socklen_t len = sizeof err;
        if (r > 0 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0)
          result = std::move(sock);
      }
    }
    ::freeaddrinfo(list);
    return result;
  }

  // Waits up to the read bound: bytes read, 0 at the end, -1 with the error.
  int64_t Recv(char* buf, size_t count, uint32_t& error) {
    pollfd p{fd_, POLLIN, 0};
    const int r = ::poll(&p, 1, GetNetTimeouts().readMs);
    if (r == 0) {
      error = ERROR_INTERNET_TIMEOUT;
      return -1;
    }
    const ssize_t n = r > 0 ? ::recv(fd_, buf, count, 0) : -1;
    if (n < 0) {
      error = (errno == ECONNRESET) ? ERROR_INTERNET_CONNECTION_RESET
                                    : ERROR_INTERNET_CONNECTION_ABORTED;
      return -1;
    }
    return n;
  }

  bool SendAll(std::string_view data, uint32_t& error) {
    while (!data.empty()) {
      pollfd p{fd_, POLLOUT, 0};
      const int r = ::poll(&p, 1, GetNetTimeouts().readMs);
      if (r == 0) {
        error = ERROR_INTERNET_TIMEOUT;
        return false;
      }
      const ssize_t n = r > 0 ? ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL) : -1;
      if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) continue;
        error = ERROR_INTERNET_CONNECTION_ABORTED;
        return false;
      }
      data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
  }

 private:
  explicit TNetSocket(int fd) : fd_(fd) {}
  int fd_;
};

TNetConnection::~TNetConnection() = default;

bool TNetConnection::Fail(uint32_t code) {
  error_ = code;
  return false;
}

namespace {

uint16_t PortOr(uint16_t testPort, uint16_t def) { return testPort != 0 ? testPort : def; }

uint16_t HttpPort() {
  std::lock_guard lock(g_net_mutex);
  return PortOr(g_http_port, 80);
}

// A line reader over a socket that records the socket's error in `error`.
TLineReader::TSource SocketSource(TNetSocket& s, uint32_t& error) {
  return [&s, &error](char* buf, size_t n) { return s.Recv(buf, n, error); };
}

class THttpConnection : public TNetConnection {
 public:
  THttpConnection(std::string host, std::string accept)
      : host_(std::move(host)), accept_(std::move(accept)) {}

  bool SetCurrentDirectory(const std::string&) override { return true; }

  bool OpenFile(const std::string& path) override {
    CloseFile();
    error_ = 0;
    response_.clear();
    uint32_t err = 0;
    sock_ = TNetSocket::Connect(host_, HttpPort(), err);
    if (!sock_) return Fail(err);
    const std::string request =
        "GET " + path + " HTTP/1.0\r\nHost: " + host_ + "\r\n" + accept_;
    if (!sock_->SendAll(request, err)) return Fail(err);
    read_error_ = 0;
    reader_ = std::make_unique<TLineReader>(SocketSource(*sock_, read_error_));
    if (!ReadHttpHead(*reader_, head_)) {
      response_ = head_.statusLine;
      return Fail(read_error_ != 0 ? read_error_ : ERROR_HTTP_INVALID_SERVER_RESPONSE);
    }
    response_ = head_.statusLine;
    return true;
  }
  int64_t AvailableSize() const override { return head_.contentLength; }
  int Status() const override { return head_.status; }
  int64_t Read(char* buf, size_t count) override {
    if (!reader_) return Fail(ERROR_INVALID_HANDLE), -1;
    const int64_t n = reader_->Read(buf, count);
    if (n < 0) Fail(read_error_);
    return n;
  }
  bool CloseFile() override {
    reader_.reset();
    sock_.reset();
    return true;
  }

 private:
  std::string host_;
  std::string accept_;
  std::unique_ptr<TNetSocket> sock_;
  uint32_t read_error_ = 0;
  std::unique_ptr<TLineReader> reader_;
  THttpHead head_;
};

class TFtpConnection : public TNetConnection {
 public:
  explicit TFtpConnection(std::string host) : host_(std::move(host)) {}

  bool Open(uint16_t port, const std::string& user, const std::string& password) {
    uint32_t err = 0;
    ctrl_ = TNetSocket::Connect(host_, port, err);
    if (!ctrl_) return Fail(err);
    reader_ = std::make_unique<TLineReader>(SocketSource(*ctrl_, read_error_));
    TFtpReply r;
    if (!Reply(r)) return false;
    if (r.code != 220) return Refused();
    if (!Command("USER " + user, r)) return false;
    if (r.code == 331 && !Command("PASS " + password, r)) return false;
    if (r.code != 230) return Fail(ERROR_INTERNET_LOGIN_FAILURE);
    if (!Command("TYPE I", r)) return false;
    if (r.code != 200) return Refused();
    return true;
  }

  bool SetCurrentDirectory(const std::string& urlDir) override {
    TFtpReply r;
    if (!Command("CWD " + urlDir, r)) return false;
    return r.code == 250 || Refused();
  }

  bool OpenFile(const std::string& path) override {
    CloseFile();
    TFtpReply r;
    size_ = -1;
    if (!Command("SIZE " + path, r)) return false;
    if (r.code == 213) {
      int64_t v = 0;
      if (ParseInt64(std::string_view(r.text).substr(3), v)) size_ = v;
    }
    if (!Command("PASV", r)) return false;
    std::string host;
    uint16_t port = 0;
    if (r.code != 227 || !ParsePasvReply(r.text, host, port)) return Refused();
    uint32_t err = 0;
    // Data goes to the host the control connection reached, never to an
    // address the server names: a reply cannot redirect the transfer.
    data_ = TNetSocket::Connect(host_, port, err);
    if (!data_) return Fail(err);
    if (!Command("RETR " + path, r)) return false;
    if (r.code != 150 && r.code != 125) {
      data_.reset();
      return Refused();
    }
    return true;
  }
  int64_t AvailableSize() const override { return size_; }
  int64_t Read(char* buf, size_t count) override {
    if (!data_) return Fail(ERROR_INVALID_HANDLE), -1;
    uint32_t err = 0;
    const int64_t n = data_->Recv(buf, count, err);
    if (n < 0) Fail(err);
    return n;
  }
  bool CloseFile() override {
    if (!data_) return true;
    data_.reset();
    TFtpReply r;
    if (!Reply(r)) return false;
    return r.code == 226 || r.code == 250 || r.code == 426 || Refused();
  }

 private:
  bool Refused() { return Fail(ERROR_INTERNET_EXTENDED_ERROR); }
  bool Reply(TFtpReply& r) {
    read_error_ = 0;
    if (!ReadFtpReply(*reader_, r)) {
      return Fail(read_error_ != 0 ? read_error_ : ERROR_INTERNET_EXTENDED_ERROR);
    }
    response_ = r.text;
    return true;
  }
  bool Command(const std::string& line, TFtpReply& r) {
    uint32_t err = 0;
    if (line.find_first_of("\r\n") != std::string::npos) return Fail(ERROR_INTERNET_INTERNAL_ERROR);
    if (!ctrl_->SendAll(line + "\r\n", err)) return Fail(err);
    return Reply(r);
  }

  std::string host_;
  std::unique_ptr<TNetSocket> ctrl_;
  std::unique_ptr<TNetSocket> data_;
  uint32_t read_error_ = 0;
  std::unique_ptr<TLineReader> reader_;
  int64_t size_ = -1;
};

}  // namespace

std::unique_ptr<TNetConnection> OpenHttpConnection(const std::string& host,
                                                   const std::string& acceptHeaders,
                                                   uint32_t& error) {
  // HTTP/1.0 opens a socket per request; a host that cannot be named fails now.
  if (host.empty() || host.find_first_of("\r\n /") != std::string::npos) {
    error = ERROR_INTERNET_NAME_NOT_RESOLVED;
    return nullptr;
  }
  error = 0;
  return std::make_unique<THttpConnection>(host, acceptHeaders);
}

std::unique_ptr<TNetConnection> OpenFtpConnection(const std::string& host,
                                                  const std::string& user,
                                                  const std::string& password, uint32_t& error,
                                                  std::string& response) {
  uint16_t port;
  {
    std::lock_guard lock(g_net_mutex);
    port = PortOr(g_ftp_port, 21);
  }
  auto c = std::make_unique<TFtpConnection>(host);
  const bool anonymous = user.empty() && password.empty();
  if (!c->Open(port, anonymous ? "anonymous" : user, anonymous ? "guest@" : password)) {
    error = c->LastError();
    response = c->LastResponse();
    return nullptr;
  }
  error = 0;
  return c;
}

}  // namespace os
