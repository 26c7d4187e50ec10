// The network transport of the installer: plain-socket HTTP/1.0 and
// passive-mode FTP clients that fetch one file at a time, and the lazy
// binding that stands for the system's Internet library being present.
//
// Callers must keep:
//  - Every call reports failure by its return value and leaves an Internet
//    error code (ERROR_INTERNET_*) in LastError(); LastResponse() keeps the
//    server's last reply text (empty when the server never answered).
//  - Every wait on the network is bounded: connects and reads give up with
//    ERROR_INTERNET_TIMEOUT after the current TNetTimeouts. A server that
//    talks without end runs into the bounds on line length and line count
//    (ERROR_HTTP_INVALID_SERVER_RESPONSE / ERROR_INTERNET_EXTENDED_ERROR).
//  - Replies from servers are untrusted; the parsers below are the only
//    readers of them and are fuzzed.
//  - No TLS, proxies or authentication other than the FTP login.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace os {

// Error codes as the Internet library reports them.
inline constexpr uint32_t ERROR_INVALID_HANDLE = 6;
inline constexpr uint32_t ERROR_INTERNET_TIMEOUT = 12002;
inline constexpr uint32_t ERROR_INTERNET_EXTENDED_ERROR = 12003;
inline constexpr uint32_t ERROR_INTERNET_INTERNAL_ERROR = 12004;
inline constexpr uint32_t ERROR_INTERNET_NAME_NOT_RESOLVED = 12007;
inline constexpr uint32_t ERROR_INTERNET_LOGIN_FAILURE = 12015;
inline constexpr uint32_t ERROR_INTERNET_CANNOT_CONNECT = 12029;
inline constexpr uint32_t ERROR_INTERNET_CONNECTION_ABORTED = 12030;
inline constexpr uint32_t ERROR_INTERNET_CONNECTION_RESET = 12031;
inline constexpr uint32_t ERROR_HTTP_INVALID_SERVER_RESPONSE = 12152;

// The constant name of an error code, or its number in decimal for a code
// without a name here.
std::string InternetErrorName(uint32_t code);

// ---- binding ----

// The library and its entry points in the order they are bound.
inline constexpr const char* kNetLibraryName = "WININET.DLL";
extern const std::vector<std::string> kNetEntryPoints;

// Binds the transport (once; later calls are free). Returns "" when all is
// bound, else the library name or the first entry point that is missing.
std::string BindNetLibrary();

// Test hooks: report the library (kNetLibraryName) or one entry point as
// missing ("" = everything present); count real binds.
void SetNetLibraryMissing(const std::string& what);
int NetLibraryBindCount();

// Connect and read bounds, and a port map for loopback test servers
// (0 = the protocol's default port).
struct TNetTimeouts {
  int connectMs = 30000;
  int readMs = 60000;
};
void SetNetTimeouts(const TNetTimeouts& t);
TNetTimeouts GetNetTimeouts();
void SetNetTestPorts(uint16_t http, uint16_t ftp);

// ---- reply parsing (untrusted input) ----

inline constexpr size_t kMaxReplyLine = 8192;
inline constexpr int kMaxReplyLines = 200;

// Pulls lines out of a byte source. The source fills a buffer and returns
// the count, 0 at the end of the stream, -1 on failure (the code already
// set through SetError by the source's owner).
class TLineReader {
 public:
  using TSource = std::function<int64_t(char* buf, size_t count)>;
  explicit TLineReader(TSource source) : source_(std::move(source)) {}

  // One line without its CR LF (or bare LF). False at the end of the stream
  // before any byte, on a source failure, or when the line passes
  // kMaxReplyLine (TooLong()).
  bool ReadLine(std::string& line);
  // Up to `count` bytes: those buffered first, then straight from the source.
  int64_t Read(char* buf, size_t count);
  bool TooLong() const { return too_long_; }

 private:
  bool Fill();
  TSource source_;
  std::string buf_;
  size_t pos_ = 0;
  bool too_long_ = false;
};

struct THttpHead {
  int status = 0;
  std::string statusLine;
  int64_t contentLength = -1;  // -1: not given
};
// Status line and headers up to the blank line. False on a malformed or
// unbounded head.
bool ReadHttpHead(TLineReader& in, THttpHead& head);

struct TFtpReply {
  int code = 0;
  std::string text;  // all lines, joined by CR LF
};
// One FTP reply, single or multi-line ("123-" ... "123 ").
bool ReadFtpReply(TLineReader& in, TFtpReply& reply);
// The address and port of a "227 Entering Passive Mode (h,h,h,h,p,p)" reply.
bool ParsePasvReply(std::string_view text, std::string& host, uint16_t& port);

// ---- clients ----

class TNetSocket;

// One connection to one server; a file transfer is OpenFile, then reads
// until 0, then CloseFile.
class TNetConnection {
 public:
  virtual ~TNetConnection();
  uint32_t LastError() const { return error_; }
  const std::string& LastResponse() const { return response_; }

  // FTP: changes the server's folder; HTTP: nothing to do.
  virtual bool SetCurrentDirectory(const std::string& urlDir) = 0;
  virtual bool OpenFile(const std::string& path) = 0;
  // Bytes announced for the open file (-1 when the server did not say).
  virtual int64_t AvailableSize() const = 0;
  // HTTP status of the open file (0 for FTP).
  virtual int Status() const { return 0; }
  // The number read, 0 at the end, -1 on failure.
  virtual int64_t Read(char* buf, size_t count) = 0;
  virtual bool CloseFile() = 0;

 protected:
  bool Fail(uint32_t code);
  uint32_t error_ = 0;
  std::string response_;
};

// An HTTP/1.0 connection: each OpenFile is a GET on a fresh socket.
// An FTP connection logs in on Open (anonymous: "anonymous"/"guest@"),
// switches to binary type and uses passive mode for each file.
// Returns nullptr with `error` (and `response`) set on failure.
std::unique_ptr<TNetConnection> OpenHttpConnection(const std::string& host,
                                                   const std::string& acceptHeaders,
                                                   uint32_t& error);
std::unique_ptr<TNetConnection> OpenFtpConnection(const std::string& host,
                                                  const std::string& user,
                                                  const std::string& password, uint32_t& error,
                                                  std::string& response);

}  // namespace os
