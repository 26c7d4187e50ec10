#include "os/net_transport.h"

#define CURL_DISABLE_TYPECHECK
#include <curl/curl.h>
#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>

namespace os {

std::string InternetErrorName(uint32_t code) {
  switch (code) {
    case ERROR_INVALID_HANDLE: return "ERROR_INVALID_HANDLE";
    case ERROR_INTERNET_TIMEOUT: return "ERROR_INTERNET_TIMEOUT";
    case ERROR_INTERNET_EXTENDED_ERROR: return "ERROR_INTERNET_EXTENDED_ERROR";
    case ERROR_INTERNET_INTERNAL_ERROR: return "ERROR_INTERNET_INTERNAL_ERROR";
    case ERROR_INTERNET_INVALID_URL: return "ERROR_INTERNET_INVALID_URL";
    case ERROR_INTERNET_NAME_NOT_RESOLVED: return "ERROR_INTERNET_NAME_NOT_RESOLVED";
    case ERROR_INTERNET_LOGIN_FAILURE: return "ERROR_INTERNET_LOGIN_FAILURE";
    case ERROR_INTERNET_CANNOT_CONNECT: return "ERROR_INTERNET_CANNOT_CONNECT";
    case ERROR_INTERNET_CONNECTION_ABORTED: return "ERROR_INTERNET_CONNECTION_ABORTED";
    case ERROR_INTERNET_CONNECTION_RESET: return "ERROR_INTERNET_CONNECTION_RESET";
    case ERROR_INTERNET_INVALID_CA: return "ERROR_INTERNET_INVALID_CA";
    case ERROR_HTTP_INVALID_SERVER_RESPONSE: return "ERROR_HTTP_INVALID_SERVER_RESPONSE";
    case ERROR_HTTP_REDIRECT_FAILED: return "ERROR_HTTP_REDIRECT_FAILED";
    default: return std::to_string(code);
  }
}

// ---- binding ----

const std::vector<std::string> kNetEntryPoints = {
    "curl_global_init",  "curl_easy_init",         "curl_easy_setopt",   "curl_easy_getinfo",
    "curl_easy_cleanup", "curl_multi_init",        "curl_multi_add_handle",
    "curl_multi_remove_handle", "curl_multi_perform", "curl_multi_poll",
    "curl_multi_info_read", "curl_multi_cleanup", "curl_slist_append", "curl_slist_free_all"};

namespace {

// The library's entry points, in the order of kNetEntryPoints.
struct TCurlApi {
  CURLcode (*global_init)(long);
  CURL* (*easy_init)();
  CURLcode (*easy_setopt)(CURL*, CURLoption, ...);
  CURLcode (*easy_getinfo)(CURL*, CURLINFO, ...);
  void (*easy_cleanup)(CURL*);
  CURLM* (*multi_init)();
  CURLMcode (*multi_add_handle)(CURLM*, CURL*);
  CURLMcode (*multi_remove_handle)(CURLM*, CURL*);
  CURLMcode (*multi_perform)(CURLM*, int*);
  CURLMcode (*multi_poll)(CURLM*, curl_waitfd*, unsigned, int, int*);
  CURLMsg* (*multi_info_read)(CURLM*, int*);
  CURLMcode (*multi_cleanup)(CURLM*);
  curl_slist* (*slist_append)(curl_slist*, const char*);
  void (*slist_free_all)(curl_slist*);
};

std::mutex g_net_mutex;
std::string g_missing;
bool g_bound = false;
int g_bind_count = 0;
void* g_library = nullptr;
TCurlApi g_api{};
bool g_global_done = false;
TNetTimeouts g_timeouts;
uint16_t g_http_port = 0;
uint16_t g_ftp_port = 0;
std::string g_ca_file;

}  // namespace

std::string BindNetLibrary() {
  std::lock_guard lock(g_net_mutex);
  if (g_bound) return "";
  ++g_bind_count;
  if (g_missing == kNetLibraryName) return kNetLibraryName;
  // The library stays loaded for the life of the process once found.
  if (g_library == nullptr) g_library = ::dlopen(kNetLibraryName, RTLD_NOW | RTLD_LOCAL);
  if (g_library == nullptr) return kNetLibraryName;
  TCurlApi api{};
  void** slots[] = {
      reinterpret_cast<void**>(&api.global_init),      reinterpret_cast<void**>(&api.easy_init),
      reinterpret_cast<void**>(&api.easy_setopt),      reinterpret_cast<void**>(&api.easy_getinfo),
      reinterpret_cast<void**>(&api.easy_cleanup),     reinterpret_cast<void**>(&api.multi_init),
      reinterpret_cast<void**>(&api.multi_add_handle),
      reinterpret_cast<void**>(&api.multi_remove_handle),
      reinterpret_cast<void**>(&api.multi_perform),    reinterpret_cast<void**>(&api.multi_poll),
      reinterpret_cast<void**>(&api.multi_info_read),  reinterpret_cast<void**>(&api.multi_cleanup),
      reinterpret_cast<void**>(&api.slist_append),     reinterpret_cast<void**>(&api.slist_free_all)};
  static_assert(std::size(slots) == 14);
  for (size_t i = 0; i < kNetEntryPoints.size(); ++i) {
    const std::string& name = kNetEntryPoints[i];
    void* p = name == g_missing ? nullptr : ::dlsym(g_library, name.c_str());
    if (p == nullptr) return name;
    *slots[i] = p;
  }
  if (!g_global_done) {
    if (api.global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return "curl_global_init";
    g_global_done = true;
  }
  g_api = api;
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

void SetNetCaFile(const std::string& path) {
  std::lock_guard lock(g_net_mutex);
  g_ca_file = path;
}

TNetConnection::~TNetConnection() = default;

bool TNetConnection::Fail(uint32_t code) {
  error_ = code;
  return false;
}

namespace {

bool HasControl(const std::string& s) {
  return std::any_of(s.begin(), s.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

// Percent-encodes everything but unreserved characters and '/'.
std::string EncodePath(const std::string& s) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
        c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
      out += ch;
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

uint32_t MapError(CURLcode code, bool badReply) {
  if (badReply) return ERROR_HTTP_INVALID_SERVER_RESPONSE;
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT: return ERROR_INTERNET_TIMEOUT;
    case CURLE_COULDNT_RESOLVE_HOST: return ERROR_INTERNET_NAME_NOT_RESOLVED;
    case CURLE_COULDNT_CONNECT: return ERROR_INTERNET_CANNOT_CONNECT;
    case CURLE_LOGIN_DENIED: return ERROR_INTERNET_LOGIN_FAILURE;
    case CURLE_TOO_MANY_REDIRECTS: return ERROR_HTTP_REDIRECT_FAILED;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE: return ERROR_INTERNET_INVALID_CA;
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL: return ERROR_INTERNET_INVALID_URL;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_GOT_NOTHING:
    case CURLE_FTP_WEIRD_PASS_REPLY:
    case CURLE_FTP_WEIRD_PASV_REPLY:
    case CURLE_FTP_WEIRD_227_FORMAT:
    case CURLE_BAD_CONTENT_ENCODING: return ERROR_HTTP_INVALID_SERVER_RESPONSE;
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR: return ERROR_INTERNET_CONNECTION_RESET;
    case CURLE_PARTIAL_FILE:
    case CURLE_SSL_CONNECT_ERROR: return ERROR_INTERNET_CONNECTION_ABORTED;
    case CURLE_OUT_OF_MEMORY:
    case CURLE_FAILED_INIT: return ERROR_INTERNET_INTERNAL_ERROR;
    default: return ERROR_INTERNET_EXTENDED_ERROR;
  }
}

// "<scheme>://<host>:<port>", or "" for a host that cannot be named.
std::string BaseUrl(const char* scheme, const std::string& host, uint16_t testPort,
                    uint16_t defPort) {
  if (host.empty() || HasControl(host) ||
      host.find_first_of(" /?#@[]\\%") != std::string::npos)
    return "";
  const std::string h = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  return std::string(scheme) + "://" + h + ":" + std::to_string(testPort != 0 ? testPort : defPort);
}

// The same on the protocol's port, or the test port that stands for it now.
std::string BaseUrlFor(bool ftp, const std::string& host) {
  uint16_t testPort;
  {
    std::lock_guard lock(g_net_mutex);
    testPort = ftp ? g_ftp_port : g_http_port;
  }
  return BaseUrl(ftp ? "ftp" : "http", host, testPort, ftp ? 21 : 80);
}

using TClock = std::chrono::steady_clock;

// One easy handle on one multi handle: the multi handle keeps the server's
// connection (an FTP login) from one transfer to the next, and lets every
// read wait in bounded steps.
class TCurlConnection : public TNetConnection {
 public:
  TCurlConnection(bool ftp, std::string host, std::string base)
      : ftp_(ftp), host_(std::move(host)), base_(std::move(base)) {}

  ~TCurlConnection() override {
    Stop();
    if (easy_ != nullptr) g_api.easy_cleanup(easy_);
    if (multi_ != nullptr) g_api.multi_cleanup(multi_);
    if (headers_ != nullptr) g_api.slist_free_all(headers_);
  }

  bool Init(const std::string& user, const std::string& password,
            const std::string& acceptHeaders) {
    multi_ = g_api.multi_init();
    easy_ = g_api.easy_init();
    if (multi_ == nullptr || easy_ == nullptr) return Fail(ERROR_INTERNET_INTERNAL_ERROR);
    size_t start = 0;
    while (start < acceptHeaders.size()) {
      size_t end = acceptHeaders.find("\r\n", start);
      if (end == std::string::npos) end = acceptHeaders.size();
      const std::string line = acceptHeaders.substr(start, end - start);
      if (!line.empty()) headers_ = g_api.slist_append(headers_, line.c_str());
      start = end + 2;
    }
    const TNetTimeouts t = GetNetTimeouts();
    std::string ca;
    {
      std::lock_guard lock(g_net_mutex);
      ca = g_ca_file;
    }
    auto set = [this](CURLoption o, auto v) { return g_api.easy_setopt(easy_, o, v) == CURLE_OK; };
    bool ok = set(CURLOPT_NOSIGNAL, 1L) && set(CURLOPT_PROXY, "") &&
              set(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(t.connectMs)) &&
              set(CURLOPT_PROTOCOLS_STR, "http,https,ftp") &&
              set(CURLOPT_REDIR_PROTOCOLS_STR, "http,https") &&
              set(CURLOPT_FOLLOWLOCATION, 1L) &&
              set(CURLOPT_MAXREDIRS, static_cast<long>(kMaxRedirects)) &&
              set(CURLOPT_HEADERFUNCTION, &TCurlConnection::OnHeader) &&
              set(CURLOPT_HEADERDATA, static_cast<void*>(this)) &&
              set(CURLOPT_WRITEFUNCTION, &TCurlConnection::OnBody) &&
              set(CURLOPT_WRITEDATA, static_cast<void*>(this)) &&
              set(CURLOPT_PREREQFUNCTION, &TCurlConnection::OnConnected) &&
              set(CURLOPT_PREREQDATA, static_cast<void*>(this)) &&
              set(CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_SINGLECWD)) &&
              set(CURLOPT_FTP_SKIP_PASV_IP, 1L);
    // Every HTTP request (a redirect's too) on a connection of its own: a
    // server that closes after its reply without saying so must not fail the
    // next request sent down the dead connection.
    if (ok && !ftp_) ok = set(CURLOPT_FORBID_REUSE, 1L);
    if (ok && headers_ != nullptr) ok = set(CURLOPT_HTTPHEADER, headers_);
    if (ok && !ca.empty()) ok = set(CURLOPT_CAINFO, ca.c_str());
    if (ok && ftp_) ok = set(CURLOPT_USERNAME, user.c_str()) && set(CURLOPT_PASSWORD, password.c_str());
    return ok || Fail(ERROR_INTERNET_INTERNAL_ERROR);
  }

  // FTP: logs in (a transfer without a body on the server's root).
  bool Login() { return RunWithoutBody(base_ + "/"); }

  bool SetCurrentDirectory(const std::string& urlDir) override {
    if (!ftp_) return true;
    error_ = 0;
    if (HasControl(urlDir)) return Fail(ERROR_INTERNET_INVALID_URL);
    std::string rel = urlDir;
    while (!rel.empty() && rel.front() == '/') rel.erase(0, 1);
    while (!rel.empty() && rel.back() == '/') rel.pop_back();
    if (!RunWithoutBody(FtpUrl(rel, ""))) return false;
    dir_ = rel;
    return true;
  }

  bool OpenFile(const std::string& path) override {
    CloseFile();
    error_ = 0;
    if (!ftp_) response_.clear();
    // A name with control characters could smuggle commands into the
    // request: refused before anything is sent.
    if (HasControl(path) || path.empty()) return Fail(ERROR_INTERNET_INVALID_URL);
    const std::string url = ftp_ ? FtpUrl(dir_, path) : HttpBase() + EncodePath(path);
    if (!Start(url, false)) return false;
    while (!done_ && body_.size() == body_pos_) Pump();
    // What arrived before a failure is read first; the failure then ends it.
    if (done_ && result_ != CURLE_OK && body_pos_ == body_.size()) {
      Fail(MapError(result_, bad_reply_));
      Stop();
      return false;
    }
    long status = 0;
    curl_off_t length = -1;
    g_api.easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
    g_api.easy_getinfo(easy_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    status_ = ftp_ ? 0 : static_cast<int>(status);
    size_ = length < 0 ? -1 : static_cast<int64_t>(length);
    return true;
  }

  int64_t AvailableSize() const override { return size_; }
  int Status() const override { return status_; }

  int64_t Read(char* buf, size_t count) override {
    if (!active_) return Fail(ERROR_INVALID_HANDLE), -1;
    for (;;) {
      if (body_pos_ < body_.size()) {
        const size_t n = std::min(count, body_.size() - body_pos_);
        std::memcpy(buf, body_.data() + body_pos_, n);
        body_pos_ += n;
        if (body_pos_ == body_.size()) {
          body_.clear();
          body_pos_ = 0;
        }
        return static_cast<int64_t>(n);
      }
      if (done_) {
        if (result_ == CURLE_OK) return 0;
        return Fail(MapError(result_, bad_reply_)), -1;
      }
      Pump();
    }
  }

  bool CloseFile() override {
    const bool failed = active_ && done_ && result_ != CURLE_OK;
    Stop();
    return !failed;
  }

 private:
  // HTTP opens a connection per request as needed: the port is the one
  // that stands for the default now.
  std::string HttpBase() const { return BaseUrlFor(false, host_); }

  // "<base>/%2F<dir>/<name>": one CWD to the absolute folder, then the name.
  std::string FtpUrl(const std::string& dir, const std::string& name) const {
    std::string raw = dir.empty() ? "" : dir + "/";
    return base_ + "/%2F" + EncodePath(raw) + EncodePath(name);
  }

  bool RunWithoutBody(const std::string& url) {
    if (!Start(url, true)) return false;
    while (!done_) Pump();
    const CURLcode r = result_;
    Stop();
    return r == CURLE_OK || Fail(MapError(r, bad_reply_));
  }

  bool Start(const std::string& url, bool noBody) {
    Stop();
    body_.clear();
    body_pos_ = 0;
    done_ = false;
    bad_reply_ = false;
    connected_ = false;
    result_ = CURLE_OK;
    reply_lines_ = 0;
    status_ = 0;
    size_ = -1;
    if (g_api.easy_setopt(easy_, CURLOPT_URL, url.c_str()) != CURLE_OK ||
        g_api.easy_setopt(easy_, CURLOPT_NOBODY, noBody ? 1L : 0L) != CURLE_OK)
      return Fail(ERROR_INTERNET_INVALID_URL);
    if (g_api.multi_add_handle(multi_, easy_) != CURLM_OK)
      return Fail(ERROR_INTERNET_INTERNAL_ERROR);
    active_ = true;
    last_activity_ = TClock::now();
    activity_ = 0;
    return true;
  }

  void Stop() {
    if (!active_) return;
    g_api.multi_remove_handle(multi_, easy_);
    active_ = false;
  }

  // One bounded step of the transfer: runs libcurl, then waits at most
  // 100 ms for the network. A transfer silent for longer than its bound
  // ends as timed out.
  void Pump() {
    int running = 0;
    const uint64_t before = activity_;
    g_api.multi_perform(multi_, &running);
    int queued = 0;
    while (CURLMsg* m = g_api.multi_info_read(multi_, &queued)) {
      if (m->msg == CURLMSG_DONE && m->easy_handle == easy_) {
        done_ = true;
        result_ = m->data.result;
      }
    }
    if (done_ || body_pos_ < body_.size()) return;
    const auto now = TClock::now();
    if (activity_ != before) last_activity_ = now;
    const TNetTimeouts t = GetNetTimeouts();
    // Until the connection stands, libcurl's connect bound rules; this one
    // only backs it up.
    const int allowedMs = connected_ ? t.readMs : t.connectMs + t.readMs;
    const auto silent =
        std::chrono::duration_cast<std::chrono::milliseconds>(now - last_activity_).count();
    if (silent >= allowedMs) {
      done_ = true;
      result_ = CURLE_OPERATION_TIMEDOUT;
      return;
    }
    const int wait = static_cast<int>(std::min<int64_t>(100, allowedMs - silent));
    g_api.multi_poll(multi_, nullptr, 0, wait, nullptr);
  }

  static size_t OnHeader(char* data, size_t size, size_t count, void* self) {
    auto* c = static_cast<TCurlConnection*>(self);
    const size_t n = size * count;
    ++c->activity_;
    c->connected_ = true;  // a server that answers is connected
    std::string line(data, n);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (line.size() > kMaxReplyLine) {
      c->bad_reply_ = true;
      return 0;
    }
    if (!c->ftp_ && line.compare(0, 5, "HTTP/") == 0) {
      c->reply_lines_ = 0;
      c->response_ = line;
    } else if (c->ftp_ && !line.empty()) {
      c->response_ = line;
    }
    if (++c->reply_lines_ > kMaxReplyLines) {
      c->bad_reply_ = true;
      return 0;
    }
    return n;
  }

  static size_t OnBody(char* data, size_t size, size_t count, void* self) {
    auto* c = static_cast<TCurlConnection*>(self);
    const size_t n = size * count;
    ++c->activity_;
    c->body_.append(data, n);
    return n;
  }

  static int OnConnected(void* self, char*, char*, int, int) {
    auto* c = static_cast<TCurlConnection*>(self);
    c->connected_ = true;
    ++c->activity_;
    return CURL_PREREQFUNC_OK;
  }

  const bool ftp_;
  const std::string host_;
  const std::string base_;
  CURLM* multi_ = nullptr;
  CURL* easy_ = nullptr;
  curl_slist* headers_ = nullptr;
  std::string dir_;
  bool active_ = false;
  bool done_ = false;
  bool bad_reply_ = false;
  bool connected_ = false;
  CURLcode result_ = CURLE_OK;
  int reply_lines_ = 0;
  int status_ = 0;
  int64_t size_ = -1;
  std::string body_;
  size_t body_pos_ = 0;
  uint64_t activity_ = 0;
  TClock::time_point last_activity_;
};

}  // namespace

namespace {

// A connection to `host` on the protocol's port (or the test port standing
// for it), the transport bound; nullptr with `error` set.
std::unique_ptr<TCurlConnection> NewConnection(bool ftp, const std::string& host,
                                               const std::string& user,
                                               const std::string& password,
                                               const std::string& headers, uint32_t& error) {
  const std::string base = BaseUrlFor(ftp, host);
  if (base.empty()) {
    error = ERROR_INTERNET_NAME_NOT_RESOLVED;
    return nullptr;
  }
  if (!BindNetLibrary().empty()) {
    error = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  auto c = std::make_unique<TCurlConnection>(ftp, host, base);
  if (!c->Init(user, password, headers)) {
    error = c->LastError();
    return nullptr;
  }
  error = 0;
  return c;
}

}  // namespace

std::unique_ptr<TNetConnection> OpenHttpConnection(const std::string& host,
                                                   const std::string& acceptHeaders,
                                                   uint32_t& error) {
  return NewConnection(false, host, "", "", acceptHeaders, error);
}

std::unique_ptr<TNetConnection> OpenFtpConnection(const std::string& host,
                                                  const std::string& user,
                                                  const std::string& password, uint32_t& error,
                                                  std::string& response) {
  response.clear();
  const bool anonymous = user.empty() && password.empty();
  auto c = NewConnection(true, host, anonymous ? "anonymous" : user,
                         anonymous ? "guest@" : password, "", error);
  if (c && !c->Login()) {
    error = c->LastError();
    response = c->LastResponse();
    return nullptr;
  }
  return c;
}

}  // namespace os
