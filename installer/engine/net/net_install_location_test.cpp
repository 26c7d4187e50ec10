#include "installer/engine/net/net_install_location.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "os/net_transport.h"
#include "os/testing/fake_ftp_server.h"
#include "os/testing/loopback_server.h"
#include "os/testing/test_machine.h"
#include "os/win_file.h"

namespace orln {
namespace {

const char* const kLocal = "C:\\files.1";

class NetInstallLocationTest : public os::test::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    os::SetNetTimeouts({2000, 1000});
    loc_ = std::make_unique<TNetInstallLocation>(nullptr);
    loc_->LoginInformation().Hostname = "127.0.0.1";
  }
  void TearDown() override {
    loc_.reset();
    os::SetNetTimeouts({});
    os::SetNetTestPorts(0, 0);
    os::SetNetLibraryMissing("");
    MachineTest::TearDown();
  }
  // Serves every GET with `reply`, keeping the request lines.
  std::unique_ptr<os::test::TLoopbackServer> Http(std::string reply) {
    auto s = std::make_unique<os::test::TLoopbackServer>([this, reply](os::test::TLoopbackPeer& p) {
      requests_.push_back(p.ReadHttpRequest());
      p.Send(reply);
    });
    os::SetNetTestPorts(s->Port(), 0);
    return s;
  }
  template <class E>
  std::string Raised(const std::string& remote) {
    try {
      loc_->GetFile(remote, kLocal);
    } catch (const E& e) {
      EXPECT_FALSE(os::WinFileExists(kLocal)) << "partial file left";
      return e.Message();
    } catch (const std::exception& e) {
      ADD_FAILURE() << "other exception: " << e.what();
      return "";
    }
    ADD_FAILURE() << "nothing raised";
    return "";
  }
  std::string Local() {
    std::string data;
    EXPECT_TRUE(os::WinReadWholeFile(kLocal, data));
    return data;
  }

  std::unique_ptr<TNetInstallLocation> loc_;
  std::vector<std::string> requests_;
};

TEST(NetLoginTest, ValidityUrlFormAndPercent) {
  TLoginInformation l;
  EXPECT_FALSE(IsLoginValid(l));
  l.Hostname = "h";
  EXPECT_TRUE(IsLoginValid(l));
  l = TLoginInformation();
  l.Anonymous = false;
  EXPECT_FALSE(IsLoginValid(l));
  l.Password = "p";
  EXPECT_TRUE(IsLoginValid(l));

  TLoginInformation copy;
  l.Protocol = ipFTP;
  l.Directory = "d";
  copy.Assign(l);
  EXPECT_EQ(copy.Protocol, ipFTP);
  EXPECT_FALSE(copy.Anonymous);
  EXPECT_EQ(copy.Directory, "d");
  EXPECT_EQ(copy.Password, "p");

  EXPECT_EQ(UrlDirectory(""), "/");
  EXPECT_EQ(UrlDirectory("\\pub\\setup"), "/pub/setup");

  EXPECT_EQ(DownloadPercent(0, 0, false), 0);
  EXPECT_EQ(DownloadPercent(500, 0, true), 100);
  EXPECT_EQ(DownloadPercent(1, 3, false), 33);
  EXPECT_EQ(DownloadPercent(2, 3, false), 67);
  EXPECT_EQ(DownloadPercent(9, 3, false), 100);
  EXPECT_EQ(DownloadPercent(-1, 3, false), 0);
}

TEST_F(NetInstallLocationTest, HttpLargeFileWithProgress) {
  std::string big(100000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 13);
  auto server = Http("HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\n" + big);
  loc_->LoginInformation().Directory = "\\setup\\v1";
  int64_t sum = 0, last = 0, total = 0;
  loc_->SetServed(loc_.get(), [&](host::TObject* served, int32_t piece, int64_t received,
                                  int64_t t, bool&) {
    EXPECT_EQ(served, loc_.get());
    EXPECT_LE(piece, 8192);
    sum += piece;
    last = received;
    total = t;
  });
  bool aborted = true;
  loc_->OnAfterTransfer = [&](TCustomNetInstallLocation&, bool a) { aborted = a; };
  EXPECT_TRUE(loc_->GetFile("files.1", kLocal));
  EXPECT_FALSE(aborted);
  EXPECT_EQ(Local(), big);
  EXPECT_EQ(sum, 100000);
  EXPECT_EQ(last, 100000);
  EXPECT_EQ(total, 100000);
  ASSERT_EQ(requests_.size(), 1u);
  EXPECT_EQ(requests_[0], "GET /setup/v1/files.1 HTTP/1.1");

  // The callback held for one transfer only.
  sum = 0;
  EXPECT_TRUE(loc_->GetFile("files.1", kLocal));
  EXPECT_EQ(sum, 0);
}

TEST_F(NetInstallLocationTest, HttpFailuresLeaveNoFile) {
  struct Case {
    std::string reply;
    std::string message;
  } cases[] = {
      {"HTTP/1.0 200 OK\r\n\r\n",
       "Could not find the file files.1 on the server. Error message ERROR_INVALID_HANDLE. "
       "Server 127.0.0.1. Response from server HTTP/1.0 200 OK"},
      {"HTTP/1.0 200 OK\r\n\r\n<html>Error 404: not here</html>",
       "Could not find the file files.1 on the server"},
      {"HTTP/1.0 404 Not Found\r\n\r\n<html><head><title>Gone</title></head>...lots of text 404",
       "Could not find the file files.1 on the server"},
      {"HTTP/1.0 500 Internal\r\n\r\nboom", "Could not find the file files.1 on the server"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    auto server = Http(c.reply);
    const std::string m = Raised<ENIL_FileNotFound>("files.1");
    EXPECT_EQ(m.substr(0, c.message.size()), c.message);
  }
}

TEST_F(NetInstallLocationTest, StalledAndRefusedServersByName) {
  os::test::TLoopbackServer stalled([](os::test::TLoopbackPeer& p) {
    p.ReadHttpRequest();
    p.Send("HTTP/1.0 200 OK\r\n\r\nstart");
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  });
  os::SetNetTestPorts(stalled.Port(), 0);
  EXPECT_EQ(Raised<ENIL_ReadFile>("files.1"),
            "Could not read from file files.1 on the server. Error message ERROR_INTERNET_TIMEOUT. "
            "Server 127.0.0.1. Response from server HTTP/1.0 200 OK");

  os::SetNetTestPorts(os::test::ClosedLoopbackPort(), 0);
  EXPECT_EQ(Raised<ENIL_HTTPSendRequest>("files.1"),
            "Cannot send request for file files.1 to the server. Error message "
            "ERROR_INTERNET_CANNOT_CONNECT. Server 127.0.0.1. Response from server No server "
            "response");
}

// Transfers that end before the server's own account of the file fail and
// take their partial file with them.
TEST_F(NetInstallLocationTest, IncompleteTransfersFailWithoutAFile) {
  {
    auto server = Http("HTTP/1.1 200 OK\r\nContent-Length: 20000\r\n\r\n" + std::string(5000, 'a'));
    const std::string m = Raised<ENIL_ReadFile>("files.1");
    EXPECT_EQ(m.substr(0, 83),
              "Could not read from file files.1 on the server. Error message "
              "ERROR_INTERNET_CONNEC");
  }
  os::test::TFakeFtpServer server("", "", {{"/pub/files.1", "0123456789"}});
  os::SetNetTestPorts(0, server.Port());
  loc_ = std::make_unique<TNetInstallLocation>(nullptr);
  loc_->LoginInformation().Hostname = "127.0.0.1";
  auto& login = loc_->LoginInformation();
  login.Protocol = ipFTP;
  login.Directory = "pub";
  server.SetFinalReply("426 Connection closed; transfer aborted.");
  EXPECT_NE(Raised<ENIL_ReadFile>("files.1").find("Response from server 426 Connection closed"),
            std::string::npos);
  server.SetFinalReply("226 done");
  server.SetHoldBack(3);
  Raised<ENIL_ReadFile>("files.1");
  server.SetHoldBack(0);
  EXPECT_TRUE(loc_->GetFile("files.1", kLocal));
  EXPECT_EQ(Local(), "0123456789");

  // An abort of our own during an FTP transfer is no failure.
  ASSERT_TRUE(os::WinDeleteFile(kLocal));
  loc_->SetServed(nullptr, [](host::TObject*, int32_t, int64_t, int64_t, bool& abort) {
    abort = true;
  });
  EXPECT_FALSE(loc_->GetFile("files.1", kLocal));
  EXPECT_FALSE(os::WinFileExists(kLocal));
}

TEST_F(NetInstallLocationTest, RedirectsAndControlCharactersInNames) {
  os::test::TLoopbackServer server([this](os::test::TLoopbackPeer& p) {
    const std::string request = p.ReadHttpRequest();
    requests_.push_back(request);
    const size_t at = request.find("/r");
    const int n = at == std::string::npos ? 0 : request[at + 2] - '0';
    if (n > 0) {
      p.Send("HTTP/1.1 302 Found\r\nLocation: /r" + std::to_string(n - 1) +
             "/files.1\r\nContent-Length: 13\r\n\r\n<html>moved</html>");
    } else {
      p.Send("HTTP/1.1 200 OK\r\nContent-Length: 7\r\n\r\narchive");
    }
  });
  os::SetNetTestPorts(server.Port(), 0);
  loc_->LoginInformation().Directory = "r5";
  EXPECT_TRUE(loc_->GetFile("files.1", kLocal));
  EXPECT_EQ(Local(), "archive");
  EXPECT_EQ(requests_.size(), 6u);
  ASSERT_TRUE(os::WinDeleteFile(kLocal));
  loc_->LoginInformation().Directory = "r6";
  EXPECT_EQ(Raised<ENIL_FileNotFound>("files.1").substr(0, 41),
            "Could not find the file files.1 on the se");

  requests_.clear();
  loc_->LoginInformation().Directory = "r0";
  EXPECT_NE(Raised<ENIL_HTTPSendRequest>("files.1\r\nX-Injected: 1")
                .find("ERROR_INTERNET_INVALID_URL"),
            std::string::npos);
  EXPECT_TRUE(requests_.empty());

  os::test::TFakeFtpServer ftp("", "", {{"//files.1", "x"}});
  os::SetNetTestPorts(0, ftp.Port());
  TNetInstallLocation viaFtp(nullptr);
  viaFtp.LoginInformation().Hostname = "127.0.0.1";
  viaFtp.LoginInformation().Protocol = ipFTP;
  try {
    viaFtp.GetFile("files.1\r\nDELE files.1", kLocal);
    ADD_FAILURE() << "nothing raised";
  } catch (const ENIL_FTPOpenFile& e) {
    EXPECT_NE(e.Message().find("ERROR_INTERNET_INVALID_URL"), std::string::npos);
  }
  for (const std::string& c : ftp.Commands()) EXPECT_EQ(c.find("DELE"), std::string::npos);
}

TEST_F(NetInstallLocationTest, AbortMidTransferLeavesNoFile) {
  auto server = Http("HTTP/1.0 200 OK\r\n\r\n" + std::string(50000, 'z'));
  int pieces = 0;
  loc_->SetServed(nullptr, [&](host::TObject*, int32_t, int64_t, int64_t, bool& abort) {
    abort = ++pieces == 2;
  });
  bool aborted = false;
  loc_->OnAfterTransfer = [&](TCustomNetInstallLocation&, bool a) { aborted = a; };
  EXPECT_FALSE(loc_->GetFile("files.1", kLocal));
  EXPECT_TRUE(aborted);
  EXPECT_EQ(pieces, 2);
  EXPECT_FALSE(os::WinFileExists(kLocal));
}

TEST_F(NetInstallLocationTest, FtpLoginAnonymousAndMissingFile) {
  os::test::TFakeFtpServer server("joe", "pw", {{"/pub/setup/files.1", "payload"}});
  os::SetNetTestPorts(0, server.Port());
  auto& login = loc_->LoginInformation();
  login.Protocol = ipFTP;
  login.Directory = "\\pub\\setup";
  login.Anonymous = false;
  login.Username = "joe";
  login.Password = "pw";
  EXPECT_TRUE(loc_->GetFile("files.1", kLocal));
  EXPECT_EQ(Local(), "payload");
  ASSERT_TRUE(os::WinDeleteFile(kLocal));
  EXPECT_EQ(Raised<ENIL_FTPOpenFile>("files.2"),
            "Cannot open file files.2 on server. Error message ERROR_INTERNET_EXTENDED_ERROR. "
            "Server 127.0.0.1. Response from server 550 no such file");
  const auto cmds = server.Commands();
  EXPECT_NE(std::find(cmds.begin(), cmds.end(), "CWD /pub/setup"), cmds.end());
  EXPECT_NE(std::find(cmds.begin(), cmds.end(), "TYPE I"), cmds.end());

  TNetInstallLocation refused(nullptr);
  refused.LoginInformation().Assign(login);
  loc_.reset();  // the test server serves one control connection at a time
  refused.LoginInformation().Password = "wrong";
  EXPECT_THROW(
      {
        try {
          refused.GetFile("files.1", kLocal);
        } catch (const ENIL_OpenService& e) {
          EXPECT_EQ(e.Message(),
                    "Cannot connect to host 127.0.0.1. Error message ERROR_INTERNET_LOGIN_FAILURE. "
                    "Server 127.0.0.1. Response from server 530 Login incorrect.");
          throw;
        }
      },
      ENIL_OpenService);

  os::test::TFakeFtpServer anyone("", "", {{"//files.1", "anon"}});
  os::SetNetTestPorts(0, anyone.Port());
  TNetInstallLocation anon(nullptr);
  anon.LoginInformation().Hostname = "127.0.0.1";
  anon.LoginInformation().Protocol = ipFTP;
  EXPECT_TRUE(anon.GetFile("files.1", kLocal));
  EXPECT_EQ(Local(), "anon");
  EXPECT_EQ(anyone.Commands().at(0), "USER anonymous");
}

TEST_F(NetInstallLocationTest, BindingTextsAndTheGlobalList) {
  os::SetNetLibraryMissing(os::kNetLibraryName);
  try {
    loc_->Connect();
    ADD_FAILURE();
  } catch (const ENIL_FailLoadWININET& e) {
    EXPECT_EQ(e.Message().substr(0, 29), "Failed to load the Wininet.dl");
  }
  for (const std::string name : {"curl_easy_init", "curl_multi_perform"}) {
    os::SetNetLibraryMissing(name);
    try {
      loc_->Connect();
      ADD_FAILURE();
    } catch (const ENIL_FailLoadDLLProc& e) {
      EXPECT_EQ(e.Message(), "Failed to load the procedure " + name + " from WININET.DLL");
    }
  }

  const int count = NetLocationList().Count();
  EXPECT_EQ(NetLocationList().Items(count - 1), loc_.get());
  {
    TNetInstallLocation other(nullptr);
    EXPECT_EQ(NetLocationList().Count(), count + 1);
  }
  EXPECT_EQ(NetLocationList().Count(), count);
  EXPECT_THROW(NetLocationList().Add(nullptr), IENetList);
}

// A net location that is never asked for a file never binds the transport.
TEST_F(NetInstallLocationTest, UnusedLocationNeverBinds) {
  os::SetNetLibraryMissing(os::kNetLibraryName);
  const int binds = os::NetLibraryBindCount();
  TNetInstallLocation idle(nullptr);
  idle.LoginInformation().Hostname = "example";
  EXPECT_EQ(os::NetLibraryBindCount(), binds);
}

}  // namespace
}  // namespace orln
