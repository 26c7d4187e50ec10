#include "os/net_transport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "os/testing/fake_ftp_server.h"
#include "os/testing/loopback_server.h"

namespace os {
namespace {

TLineReader FromText(const std::string& text) {
  auto pos = std::make_shared<size_t>(0);
  return TLineReader([text, pos](char* buf, size_t n) -> int64_t {
    // Two bytes at a time, so lines straddle fills.
    const size_t k = std::min({n, size_t{2}, text.size() - *pos});
    std::memcpy(buf, text.data() + *pos, k);
    *pos += k;
    return static_cast<int64_t>(k);
  });
}

TEST(NetReplyTest, HttpHeads) {
  struct Case {
    std::string text;
    bool ok;
    int status;
    int64_t length;
  } cases[] = {
      {"HTTP/1.0 200 OK\r\nContent-Length: 12\r\n\r\nbody", true, 200, 12},
      {"HTTP/1.1 404 Not Found\nserver: x\n\n", true, 404, -1},
      {"HTTP/1.1 200 OK\r\ncontent-length:  7 \r\n\r\n", true, 200, 7},
      {"HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n", false, 200, -1},
      {"HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\n", false, 200, -1},
      {"HTTP/1.1 20 OK\r\n\r\n", false, 0, -1},
      {"FTP/1.1 200 OK\r\n\r\n", false, 0, -1},
      {"HTTP/1.1 200 OK\r\nX: y\r\n", false, 200, -1},  // never ends
      {"HTTP/1.1 200 OK\r\n" + std::string(kMaxReplyLine + 10, 'a') + "\r\n\r\n", false, 200, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 60));
    TLineReader in = FromText(c.text);
    THttpHead head;
    EXPECT_EQ(ReadHttpHead(in, head), c.ok);
    if (c.ok) {
      EXPECT_EQ(head.status, c.status);
      EXPECT_EQ(head.contentLength, c.length);
    }
  }
  std::string many = "HTTP/1.1 200 OK\r\n";
  for (int i = 0; i < kMaxReplyLines + 5; ++i) many += "X: y\r\n";
  TLineReader in = FromText(many + "\r\n");
  THttpHead head;
  EXPECT_FALSE(ReadHttpHead(in, head));
}

TEST(NetReplyTest, FtpRepliesAndPassive) {
  TLineReader in = FromText("230-one\r\n two\r\n230 three\r\n220 next\r\nxx\r\n");
  TFtpReply r;
  ASSERT_TRUE(ReadFtpReply(in, r));
  EXPECT_EQ(r.code, 230);
  EXPECT_EQ(r.text, "230-one\r\n two\r\n230 three");
  ASSERT_TRUE(ReadFtpReply(in, r));
  EXPECT_EQ(r.code, 220);
  EXPECT_FALSE(ReadFtpReply(in, r));

  std::string host;
  uint16_t port = 0;
  EXPECT_TRUE(ParsePasvReply("227 Entering Passive Mode (127,0,0,1,4,1).", host, port));
  EXPECT_EQ(host, "127.0.0.1");
  EXPECT_EQ(port, 1025);
  for (const char* bad : {"227 (127,0,0,1,4)", "227 (127,0,0,1,4,256)", "227 127,0,0,1,4,1",
                          "227 (1,2,3,4,0,0)", "227 (a,0,0,1,4,1)"})
    EXPECT_FALSE(ParsePasvReply(bad, host, port)) << bad;
}

TEST(NetReplyTest, ErrorNames) {
  EXPECT_EQ(InternetErrorName(12002), "ERROR_INTERNET_TIMEOUT");
  EXPECT_EQ(InternetErrorName(6), "ERROR_INVALID_HANDLE");
  EXPECT_EQ(InternetErrorName(12999), "12999");
}

class NetTransportTest : public ::testing::Test {
 protected:
  void SetUp() override { SetNetTimeouts({2000, 1000}); }
  void TearDown() override {
    SetNetTimeouts({});
    SetNetTestPorts(0, 0);
  }
  std::string ReadAll(TNetConnection& c) {
    std::string out;
    char buf[8192];
    int64_t n;
    while ((n = c.Read(buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    EXPECT_EQ(n, 0);
    return out;
  }
};

TEST_F(NetTransportTest, HttpGetsAFileAndReportsStatus) {
  std::string big(300000, 'x');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  std::string request;
  test::TLoopbackServer server([&](test::TLoopbackPeer& p) {
    request = p.ReadHttpRequest();
    if (request.find("/missing") != std::string::npos) {
      p.Send("HTTP/1.0 404 Not Found\r\n\r\nnope");
    } else {
      p.Send("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(big.size()) + "\r\n\r\n");
      p.Send(big);
    }
  });
  SetNetTestPorts(server.Port(), 0);
  uint32_t err = 0;
  auto c = OpenHttpConnection("127.0.0.1", "Accept: */*\r\n\r\n", err);
  ASSERT_TRUE(c);
  ASSERT_TRUE(c->OpenFile("/dir/files.1"));
  EXPECT_EQ(c->Status(), 200);
  EXPECT_EQ(c->AvailableSize(), static_cast<int64_t>(big.size()));
  EXPECT_EQ(ReadAll(*c), big);
  EXPECT_EQ(request, "GET /dir/files.1 HTTP/1.0");
  ASSERT_TRUE(c->OpenFile("/missing"));
  EXPECT_EQ(c->Status(), 404);
  EXPECT_EQ(c->LastResponse(), "HTTP/1.0 404 Not Found");
}

TEST_F(NetTransportTest, RefusedAndStalledServers) {
  SetNetTestPorts(test::ClosedLoopbackPort(), 0);
  uint32_t err = 0;
  auto c = OpenHttpConnection("127.0.0.1", "\r\n", err);
  ASSERT_TRUE(c);
  EXPECT_FALSE(c->OpenFile("/a"));
  EXPECT_EQ(c->LastError(), ERROR_INTERNET_CANNOT_CONNECT);

  test::TLoopbackServer stalled([](test::TLoopbackPeer& p) {
    p.ReadHttpRequest();
    p.Send("HTTP/1.0 200 OK\r\nContent-");
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  });
  SetNetTestPorts(stalled.Port(), 0);
  c = OpenHttpConnection("127.0.0.1", "\r\n", err);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(c->OpenFile("/a"));
  EXPECT_EQ(c->LastError(), ERROR_INTERNET_TIMEOUT);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

TEST_F(NetTransportTest, FtpLoginFolderAndFiles) {
  test::TFakeFtpServer server("joe", "pw", {{"/pub/a/files.1", "archive bytes"}});
  SetNetTestPorts(0, server.Port());
  uint32_t err = 0;
  std::string response;
  EXPECT_FALSE(OpenFtpConnection("127.0.0.1", "joe", "bad", err, response));
  EXPECT_EQ(err, ERROR_INTERNET_LOGIN_FAILURE);
  EXPECT_EQ(response, "530 Login incorrect.");

  auto c = OpenFtpConnection("127.0.0.1", "joe", "pw", err, response);
  ASSERT_TRUE(c) << err;
  ASSERT_TRUE(c->SetCurrentDirectory("/pub/a"));
  ASSERT_TRUE(c->OpenFile("files.1"));
  EXPECT_EQ(c->AvailableSize(), 13);
  EXPECT_EQ(ReadAll(*c), "archive bytes");
  EXPECT_TRUE(c->CloseFile());
  EXPECT_FALSE(c->OpenFile("files.2"));
  EXPECT_EQ(c->LastResponse(), "550 no such file");
  EXPECT_FALSE(c->SetCurrentDirectory("bad\r\nDELE x"));
}

TEST(NetBindingTest, MissingPiecesAreReported) {
  SetNetLibraryMissing("HttpQueryInfoA");
  EXPECT_EQ(BindNetLibrary(), "HttpQueryInfoA");
  SetNetLibraryMissing("");
  EXPECT_EQ(BindNetLibrary(), "");
  const int binds = NetLibraryBindCount();
  EXPECT_EQ(BindNetLibrary(), "");
  EXPECT_EQ(NetLibraryBindCount(), binds);
}

}  // namespace
}  // namespace os
