// A small FTP server for tests on a loopback server (loopback_server.h):
// one login, a folder of files held in memory, passive mode only.
#pragma once

#include <algorithm>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "os/testing/loopback_server.h"

namespace os::test {

class TFakeFtpServer {
 public:
  // user "" accepts any login (anonymous included); files are keyed by
  // "<folder>/<name>" with the folder as CWD received it.
  TFakeFtpServer(std::string user, std::string password, std::map<std::string, std::string> files)
      : user_(std::move(user)),
        password_(std::move(password)),
        files_(std::move(files)),
        server_([this](TLoopbackPeer& p) { Serve(p); }) {}

  uint16_t Port() const { return server_.Port(); }
  // Misbehaviour: the reply after a file's data (default "226 done"), and
  // bytes of each file held back while SIZE still announces them all.
  void SetFinalReply(std::string reply) {
    std::lock_guard lock(mutex_);
    final_reply_ = std::move(reply);
  }
  void SetHoldBack(size_t bytes) {
    std::lock_guard lock(mutex_);
    hold_back_ = bytes;
  }
  std::vector<std::string> Commands() {
    std::lock_guard lock(mutex_);
    return commands_;
  }

 private:
  void Serve(TLoopbackPeer& p) {
    p.Send("220 ready\r\n");
    std::string user, dir = "/";
    int data = -1;
    for (;;) {
      const std::string line = p.ReadLine();
      if (line.empty()) break;
      {
        std::lock_guard lock(mutex_);
        commands_.push_back(line);
      }
      const std::string verb = line.substr(0, line.find(' '));
      const std::string arg = line.find(' ') == std::string::npos ? "" : line.substr(line.find(' ') + 1);
      if (verb == "USER") {
        user = arg;
        p.Send("331 password\r\n");
      } else if (verb == "PASS") {
        if (user_.empty() || (user == user_ && arg == password_)) {
          p.Send("230-welcome\r\n more\r\n230 logged in\r\n");
        } else {
          p.Send("530 Login incorrect.\r\n");
        }
      } else if (verb == "PWD") {
        p.Send("257 \"/\"\r\n");
      } else if (verb == "QUIT") {
        p.Send("221 bye\r\n");
        break;
      } else if (verb == "TYPE") {
        p.Send("200 binary\r\n");
      } else if (verb == "CWD") {
        dir = arg;
        p.Send("250 ok\r\n");
      } else if (verb == "SIZE") {
        auto it = files_.find(dir + "/" + arg);
        p.Send(it == files_.end() ? "550 no such file\r\n"
                                  : "213 " + std::to_string(it->second.size()) + "\r\n");
      } else if (verb == "PASV") {
        if (data >= 0) ::close(data);
        uint16_t port = 0;
        data = ListenLoopback(port);
        p.Send("227 Entering Passive Mode (127,0,0,1," + std::to_string(port / 256) + "," +
               std::to_string(port % 256) + ")\r\n");
      } else if (verb == "RETR") {
        auto it = files_.find(dir + "/" + arg);
        if (it == files_.end() || data < 0) {
          p.Send("550 no such file\r\n");
          continue;
        }
        p.Send("150 opening\r\n");
        pollfd pf{data, POLLIN, 0};
        if (::poll(&pf, 1, 5000) > 0) {
          std::string body = it->second;
          std::string final_reply;
          {
            std::lock_guard lock(mutex_);
            body.resize(body.size() - std::min(hold_back_, body.size()));
            final_reply = final_reply_;
          }
          {
            TLoopbackPeer d(::accept4(data, nullptr, nullptr, SOCK_CLOEXEC));
            d.Send(body);
          }
          ::close(data);
          data = -1;
          p.Send(final_reply + "\r\n");
          continue;
        }
        ::close(data);
        data = -1;
        p.Send("425 no data connection\r\n");
      } else {
        p.Send("502 not implemented\r\n");
      }
    }
    if (data >= 0) ::close(data);
  }

  std::string user_, password_;
  std::map<std::string, std::string> files_;
  std::mutex mutex_;
  std::vector<std::string> commands_;
  std::string final_reply_ = "226 done";
  size_t hold_back_ = 0;
  TLoopbackServer server_;
};

}  // namespace os::test
