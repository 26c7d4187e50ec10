#include "os/net_transport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "os/testing/fake_ftp_server.h"
#include "os/testing/loopback_server.h"
#include "os/testing/tls_server.h"

namespace os {
namespace {

TEST(NetReplyTest, ErrorNames) {
  EXPECT_EQ(InternetErrorName(12002), "ERROR_INTERNET_TIMEOUT");
  EXPECT_EQ(InternetErrorName(6), "ERROR_INVALID_HANDLE");
  EXPECT_EQ(InternetErrorName(12156), "ERROR_HTTP_REDIRECT_FAILED");
  EXPECT_EQ(InternetErrorName(12999), "12999");
}

class NetTransportTest : public ::testing::Test {
 protected:
  void SetUp() override { SetNetTimeouts({2000, 1000}); }
  void TearDown() override {
    SetNetTimeouts({});
    SetNetTestPorts(0, 0);
    SetNetCaFile("");
  }
  std::unique_ptr<TNetConnection> Http(uint16_t port) {
    SetNetTestPorts(port, 0);
    uint32_t err = 0;
    auto c = OpenHttpConnection("127.0.0.1", "Accept: */*\r\n\r\n", err);
    EXPECT_TRUE(c) << err;
    return c;
  }
  // Reads to the end; the last Read's result in `last`.
  std::string ReadAll(TNetConnection& c, int64_t& last) {
    std::string out;
    char buf[8192];
    for (int i = 0; i < 100000 && (last = c.Read(buf, sizeof buf)) > 0; ++i)
      out.append(buf, static_cast<size_t>(last));
    return out;
  }
  std::string ReadAll(TNetConnection& c) {
    int64_t last = 0;
    std::string out = ReadAll(c, last);
    EXPECT_EQ(last, 0) << InternetErrorName(c.LastError());
    return out;
  }
};

TEST_F(NetTransportTest, HttpPlainChunkedAndErrorReplies) {
  std::string big(300000, 'x');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  std::vector<std::string> requests;
  test::TLoopbackServer server([&](test::TLoopbackPeer& p) {
    const std::string request = p.ReadHttpRequest();
    requests.push_back(request);
    if (request.find("/missing") != std::string::npos) {
      p.Send("HTTP/1.1 404 Not Found\r\nConnection: close\r\n\r\nnope");
    } else if (request.find("/chunked") != std::string::npos) {
      p.Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n");
      p.Send("1;ext=1\r\n \r\n5\r\nworld\r\n0\r\n\r\n");
    } else {
      p.Send("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(big.size()) + "\r\n\r\n");
      p.Send(big);
    }
  });
  auto c = Http(server.Port());
  ASSERT_TRUE(c);
  ASSERT_TRUE(c->OpenFile("/dir/files 1"));
  EXPECT_EQ(c->Status(), 200);
  EXPECT_EQ(c->AvailableSize(), static_cast<int64_t>(big.size()));
  EXPECT_EQ(ReadAll(*c), big);
  EXPECT_TRUE(c->CloseFile());
  ASSERT_TRUE(c->OpenFile("/chunked"));
  EXPECT_EQ(c->AvailableSize(), -1);
  EXPECT_EQ(ReadAll(*c), "hello world");
  ASSERT_TRUE(c->OpenFile("/missing"));
  EXPECT_EQ(c->Status(), 404);
  EXPECT_EQ(c->LastResponse(), "HTTP/1.1 404 Not Found");
  ASSERT_GE(requests.size(), 3u);
  EXPECT_EQ(requests[0], "GET /dir/files%201 HTTP/1.1");
}

// Bodies that end before they are complete fail on the last read; a server
// whose head does not end is refused by the bound on reply lines.
TEST_F(NetTransportTest, EarlyEndsAndUnboundedHeads) {
  test::TLoopbackServer server([&](test::TLoopbackPeer& p) {
    const std::string request = p.ReadHttpRequest();
    if (request.find("/short") != std::string::npos) {
      p.Send("HTTP/1.1 200 OK\r\nContent-Length: 20000\r\n\r\n" + std::string(5000, 'a'));
    } else if (request.find("/chunk") != std::string::npos) {
      p.Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n100\r\nabc");
    } else {
      p.Send("HTTP/1.1 200 OK\r\n");
      for (int i = 0; i < kMaxReplyLines + 10 && !server.Stopping(); ++i) p.Send("X-A: b\r\n");
    }
  });
  auto c = Http(server.Port());
  ASSERT_TRUE(c);
  for (const char* path : {"/short", "/chunk"}) {
    SCOPED_TRACE(path);
    ASSERT_TRUE(c->OpenFile(path));
    int64_t last = 0;
    const std::string got = ReadAll(*c, last);
    EXPECT_EQ(last, -1);
    EXPECT_LT(got.size(), 20000u);
    EXPECT_EQ(c->LastError(), ERROR_INTERNET_CONNECTION_ABORTED);
    EXPECT_FALSE(c->CloseFile());
  }
  EXPECT_FALSE(c->OpenFile("/endless"));
  EXPECT_EQ(c->LastError(), ERROR_HTTP_INVALID_SERVER_RESPONSE);
}

TEST_F(NetTransportTest, RedirectsAreFollowedUpToFive) {
  std::atomic<int> served{0};
  test::TLoopbackServer server([&](test::TLoopbackPeer& p) {
    const std::string request = p.ReadHttpRequest();
    ++served;
    // "/r<n>/x" redirects n times, with each kind of redirect in turn.
    const size_t at = request.find("/r");
    const int n = at == std::string::npos ? 0 : request[at + 2] - '0';
    static const char* const kinds[] = {"301 Moved", "302 Found", "303 See Other",
                                        "307 Temporary Redirect"};
    if (n > 0) {
      p.Send(std::string("HTTP/1.1 ") + kinds[n % 4] + "\r\nLocation: /r" +
             std::to_string(n - 1) + "/x\r\nContent-Length: 9\r\n\r\nredirect!");
    } else {
      p.Send("HTTP/1.1 200 OK\r\nContent-Length: 7\r\n\r\narchive");
    }
  });
  auto c = Http(server.Port());
  ASSERT_TRUE(c);
  for (const char* path : {"/r1/x", "/r5/x"}) {
    SCOPED_TRACE(path);
    ASSERT_TRUE(c->OpenFile(path));
    EXPECT_EQ(c->Status(), 200);
    EXPECT_EQ(ReadAll(*c), "archive");
  }
  served = 0;
  EXPECT_FALSE(c->OpenFile("/r6/x"));
  EXPECT_EQ(c->LastError(), ERROR_HTTP_REDIRECT_FAILED);
  EXPECT_EQ(served, kMaxRedirects + 1);
}

TEST_F(NetTransportTest, RefusedStalledAndControlCharacters) {
  auto c = Http(test::ClosedLoopbackPort());
  ASSERT_TRUE(c);
  EXPECT_FALSE(c->OpenFile("/a"));
  EXPECT_EQ(c->LastError(), ERROR_INTERNET_CANNOT_CONNECT);

  std::atomic<int> connections{0};
  test::TLoopbackServer stalled([&](test::TLoopbackPeer& p) {
    ++connections;
    const std::string request = p.ReadHttpRequest();
    if (request.find("/body") != std::string::npos) {
      p.Send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nstart");
    } else {
      p.Send("HTTP/1.1 200 OK\r\nContent-");
    }
    for (int i = 0; i < 30 && !stalled.Stopping(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
  });
  c = Http(stalled.Port());
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(c->OpenFile("/head"));
  EXPECT_EQ(c->LastError(), ERROR_INTERNET_TIMEOUT);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1450));
  start = std::chrono::steady_clock::now();
  ASSERT_TRUE(c->OpenFile("/body"));
  int64_t last = 0;
  EXPECT_EQ(ReadAll(*c, last), "start");
  EXPECT_EQ(last, -1);
  EXPECT_EQ(c->LastError(), ERROR_INTERNET_TIMEOUT);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1450));

  // Names with control characters never reach the server.
  connections = 0;
  const std::string bads[] = {"/a\r\nX-Evil: 1", "/a\nb", std::string("/a\0b", 4), "/\x7f"};
  for (const std::string& bad : bads) {
    EXPECT_FALSE(c->OpenFile(bad));
    EXPECT_EQ(c->LastError(), ERROR_INTERNET_INVALID_URL);
  }
  EXPECT_EQ(connections, 0);
}

TEST_F(NetTransportTest, HttpsVerifiesTheServer) {
  test::TTlsTestServer tls;
  if (!tls.Ok()) GTEST_SKIP() << "openssl is not installed";
  // The handshake with the openssl test server may be slow on a loaded machine.
  SetNetTimeouts({20000, 20000});
  tls.Put("files.1", "secret archive");
  // Reached through a redirect from plain HTTP, as a server moving to TLS does.
  test::TLoopbackServer plain([&](test::TLoopbackPeer& p) {
    p.ReadHttpRequest();
    p.Send("HTTP/1.1 301 Moved\r\nLocation: https://127.0.0.1:" + std::to_string(tls.Port()) +
           "/files.1\r\nContent-Length: 0\r\n\r\n");
  });
  auto c = Http(plain.Port());
  ASSERT_TRUE(c);
  EXPECT_FALSE(c->OpenFile("/files.1"));
  EXPECT_EQ(c->LastError(), ERROR_INTERNET_INVALID_CA);

  SetNetCaFile(tls.CertFile());
  c = Http(plain.Port());
  ASSERT_TRUE(c);
  ASSERT_TRUE(c->OpenFile("/files.1")) << InternetErrorName(c->LastError());
  EXPECT_EQ(c->Status(), 200);
  EXPECT_EQ(ReadAll(*c), "secret archive");
}

TEST_F(NetTransportTest, FtpLoginFolderFilesAndIncompleteTransfers) {
  test::TFakeFtpServer server("joe", "pw", {{"/pub/a/files.1", "archive bytes"}});
  SetNetTestPorts(0, server.Port());
  uint32_t err = 0;
  std::string response;
  EXPECT_FALSE(OpenFtpConnection("127.0.0.1", "joe", "bad", err, response));
  EXPECT_EQ(err, ERROR_INTERNET_LOGIN_FAILURE);
  EXPECT_EQ(response, "530 Login incorrect.");

  auto c = OpenFtpConnection("127.0.0.1", "joe", "pw", err, response);
  ASSERT_TRUE(c) << InternetErrorName(err);
  ASSERT_TRUE(c->SetCurrentDirectory("/pub/a"));
  ASSERT_TRUE(c->OpenFile("files.1"));
  EXPECT_EQ(c->AvailableSize(), 13);
  EXPECT_EQ(ReadAll(*c), "archive bytes");
  EXPECT_TRUE(c->CloseFile());
  EXPECT_FALSE(c->OpenFile("files.2"));
  EXPECT_EQ(c->LastResponse(), "550 no such file");

  // The server ends the transfer with 426, or sends less than SIZE said.
  server.SetFinalReply("426 Connection closed; transfer aborted");
  ASSERT_TRUE(c->OpenFile("files.1")) << InternetErrorName(c->LastError()) << c->LastResponse();
  int64_t last = 0;
  ReadAll(*c, last);
  EXPECT_EQ(last, -1);
  EXPECT_EQ(c->LastResponse(), "426 Connection closed; transfer aborted");
  EXPECT_FALSE(c->CloseFile());

  server.SetFinalReply("226 done");
  server.SetHoldBack(4);
  c.reset();  // the test server serves one control connection at a time
  c = OpenFtpConnection("127.0.0.1", "joe", "pw", err, response);
  ASSERT_TRUE(c);
  ASSERT_TRUE(c->SetCurrentDirectory("/pub/a"));
  ASSERT_TRUE(c->OpenFile("files.1"));
  EXPECT_EQ(ReadAll(*c, last), "archive b");
  EXPECT_EQ(last, -1);

  // Control characters in a folder or a name are refused before sending.
  const size_t sent = server.Commands().size();
  EXPECT_FALSE(c->SetCurrentDirectory("bad\r\nDELE x"));
  EXPECT_FALSE(c->OpenFile("files.1\r\nDELE files.1"));
  EXPECT_EQ(c->LastError(), ERROR_INTERNET_INVALID_URL);
  EXPECT_EQ(server.Commands().size(), sent);
}

TEST(NetBindingTest, MissingPiecesAreReported) {
  SetNetLibraryMissing("curl_multi_poll");
  EXPECT_EQ(BindNetLibrary(), "curl_multi_poll");
  uint32_t err = 0;
  EXPECT_FALSE(OpenHttpConnection("127.0.0.1", "", err));
  EXPECT_EQ(err, ERROR_INVALID_HANDLE);
  SetNetLibraryMissing(kNetLibraryName);
  EXPECT_EQ(BindNetLibrary(), kNetLibraryName);
  SetNetLibraryMissing("");
  EXPECT_EQ(BindNetLibrary(), "");
  const int binds = NetLibraryBindCount();
  EXPECT_EQ(BindNetLibrary(), "");
  EXPECT_EQ(NetLibraryBindCount(), binds);
}

}  // namespace
}  // namespace os
