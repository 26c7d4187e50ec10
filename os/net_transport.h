// The network transport of the installer: HTTP(S) and FTP downloads of one
// file at a time through libcurl, which is loaded by name on first use (the
// installer starts, and the engine's library runs, on machines without it).
//
// Callers must keep:
//  - Every call reports failure by its return value and leaves an Internet
//    error code (ERROR_INTERNET_*) in LastError(); LastResponse() keeps the
//    server's last reply line (empty when the server never answered).
//  - Every wait on the network is bounded: connects give up after
//    TNetTimeouts::connectMs and a transfer that receives nothing for
//    TNetTimeouts::readMs fails with ERROR_INTERNET_TIMEOUT. Reply lines are
//    bounded in length and count (ERROR_HTTP_INVALID_SERVER_RESPONSE).
//  - A transfer succeeds only when it ends as the server announced it: a
//    body shorter than its Content-Length or FTP SIZE, or an FTP transfer the
//    server does not confirm as complete, is a failed Read.
//  - Remote names holding control characters are refused before anything is
//    sent. HTTP redirects are followed (at most kMaxRedirects, to HTTP or
//    HTTPS only); TLS peers must verify. No proxies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace os {

// Error codes as the Internet library reports them.
inline constexpr uint32_t ERROR_INVALID_HANDLE = 6;
inline constexpr uint32_t ERROR_INTERNET_TIMEOUT = 12002;
inline constexpr uint32_t ERROR_INTERNET_EXTENDED_ERROR = 12003;
inline constexpr uint32_t ERROR_INTERNET_INTERNAL_ERROR = 12004;
inline constexpr uint32_t ERROR_INTERNET_INVALID_URL = 12005;
inline constexpr uint32_t ERROR_INTERNET_NAME_NOT_RESOLVED = 12007;
inline constexpr uint32_t ERROR_INTERNET_LOGIN_FAILURE = 12015;
inline constexpr uint32_t ERROR_INTERNET_CANNOT_CONNECT = 12029;
inline constexpr uint32_t ERROR_INTERNET_CONNECTION_ABORTED = 12030;
inline constexpr uint32_t ERROR_INTERNET_CONNECTION_RESET = 12031;
inline constexpr uint32_t ERROR_INTERNET_INVALID_CA = 12045;
inline constexpr uint32_t ERROR_HTTP_INVALID_SERVER_RESPONSE = 12152;
inline constexpr uint32_t ERROR_HTTP_REDIRECT_FAILED = 12156;

// The constant name of an error code, or its number in decimal for a code
// without a name here.
std::string InternetErrorName(uint32_t code);

// ---- binding ----

// The library and its entry points in the order they are bound.
inline constexpr const char* kNetLibraryName = "libcurl.so.4";
extern const std::vector<std::string> kNetEntryPoints;

// Binds the transport (once; later calls are free). Returns "" when all is
// bound, else the library name or the first entry point that is missing.
std::string BindNetLibrary();

// Test hooks: report the library (kNetLibraryName) or one entry point as
// missing ("" = everything present); count real binds.
void SetNetLibraryMissing(const std::string& what);
int NetLibraryBindCount();

struct TNetTimeouts {
  int connectMs = 30000;
  int readMs = 60000;  // longest silence within a transfer
};
void SetNetTimeouts(const TNetTimeouts& t);
TNetTimeouts GetNetTimeouts();
// Test hooks: the ports that stand for the protocols' default ports (0 = the
// default), and a file of certificates trusted instead of the system's ("" =
// the system's).
void SetNetTestPorts(uint16_t http, uint16_t ftp);
void SetNetCaFile(const std::string& path);

inline constexpr size_t kMaxReplyLine = 8192;
inline constexpr int kMaxReplyLines = 200;  // per HTTP reply head, per FTP transfer
inline constexpr int kMaxRedirects = 5;

// ---- clients ----

// One connection to one server; a file transfer is OpenFile, then reads
// until 0, then CloseFile. Not for use by two threads at once.
class TNetConnection {
 public:
  virtual ~TNetConnection();
  uint32_t LastError() const { return error_; }
  const std::string& LastResponse() const { return response_; }

  // FTP: changes the server's folder; HTTP: nothing to do.
  virtual bool SetCurrentDirectory(const std::string& urlDir) = 0;
  // Starts the transfer of `path` (HTTP: the absolute path on the server;
  // FTP: a name in the current folder) and waits for its first bytes.
  virtual bool OpenFile(const std::string& path) = 0;
  // Bytes announced for the open file (-1 when the server did not say).
  virtual int64_t AvailableSize() const = 0;
  // HTTP status of the open file after redirects (0 for FTP).
  virtual int Status() const { return 0; }
  // The number read, 0 at the complete end, -1 on failure.
  virtual int64_t Read(char* buf, size_t count) = 0;
  // Ends the transfer (abandoning what is unread); false when a finished
  // transfer failed.
  virtual bool CloseFile() = 0;

 protected:
  bool Fail(uint32_t code);
  uint32_t error_ = 0;
  std::string response_;
};

// An HTTP connection; `acceptHeaders` are request header lines separated
// by CR LF (blank lines ignored). Returns nullptr with `error` set on
// failure (an unusable host name, or the transport missing).
std::unique_ptr<TNetConnection> OpenHttpConnection(const std::string& host,
                                                   const std::string& acceptHeaders,
                                                   uint32_t& error);
// An FTP connection, logged in (anonymous: "anonymous"/"guest@"), binary.
std::unique_ptr<TNetConnection> OpenFtpConnection(const std::string& host,
                                                  const std::string& user,
                                                  const std::string& password, uint32_t& error,
                                                  std::string& response);

}  // namespace os
