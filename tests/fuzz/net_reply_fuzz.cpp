// Random server replies through a loopback server to the real network
// client and the net install location. The first byte picks the protocol
// and how the bytes arrive (piece size); the rest is what the server says.
// HTTP: the rest is the whole reply to the first request. FTP: the rest is
// split at '|' into the replies to the commands in turn (a passive-mode
// reply is never passed on: the client only ever meets this server). The
// transfer either stores the file and reports success, or fails or aborts
// and leaves no file; it never hangs (short timeouts) and raises nothing but
// the host's exceptions.
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "host/classes/component.h"
#include "installer/engine/net/net_install_location.h"
#include "os/machine.h"
#include "os/net_transport.h"
#include "os/testing/loopback_server.h"
#include "os/win_file.h"

namespace {

// One simulated machine for the whole run, removed at exit.
struct TFuzzMachine {
  TFuzzMachine() {
    std::string templ = (std::filesystem::temp_directory_path() / "net-fuzz-XXXXXX").string();
    if (mkdtemp(templ.data()) != nullptr) root = templ;
    machine = os::TMachine::Open(root + "/machine");
    scoped = std::make_unique<os::TScopedMachine>(*machine);
    os::SetNetTimeouts({300, 50});
  }
  ~TFuzzMachine() {
    scoped.reset();
    machine.reset();
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }
  std::string root;
  std::unique_ptr<os::TMachine> machine;
  std::unique_ptr<os::TScopedMachine> scoped;
};

void SendInPieces(os::test::TLoopbackPeer& p, std::string_view s, size_t piece) {
  while (!s.empty()) {
    const size_t k = std::min(piece, s.size());
    p.Send(s.substr(0, k));
    s.remove_prefix(k);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static TFuzzMachine fuzz_machine;
  if (size == 0 || size > 65536) return 0;
  const uint8_t mode = data[0];
  const bool ftp = (mode & 1) != 0;
  const size_t piece = 1 + (mode >> 1) * 16;
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

  os::test::TLoopbackServer server(
      [&](os::test::TLoopbackPeer& p) {
        if (!ftp) {
          p.ReadHttpRequest();
          SendInPieces(p, text, piece);
          return;
        }
        std::vector<std::string> replies;
        size_t start = 0;
        for (size_t bar; (bar = text.find('|', start)) != std::string::npos; start = bar + 1)
          replies.push_back(text.substr(start, bar - start));
        replies.push_back(text.substr(start));
        SendInPieces(p, replies[0], piece);
        for (size_t i = 1; i < replies.size() && !server.Stopping(); ++i) {
          if (p.ReadLine().empty()) return;
          std::string r = replies[i];
          if (r.compare(0, 3, "227") == 0 || r.compare(0, 3, "229") == 0) r = "502 no\r\n";
          SendInPieces(p, r, piece);
        }
      },
      8);
  os::SetNetTestPorts(ftp ? 0 : server.Port(), ftp ? server.Port() : 0);

  const std::string local = "C:\\fuzz.bin";
  bool ok = false;
  {
    orln::TNetInstallLocation loc(nullptr);
    loc.LoginInformation().Hostname = "127.0.0.1";
    loc.LoginInformation().Protocol = ftp ? orln::ipFTP : orln::ipHTTP;
    try {
      ok = loc.GetFile("files.1", local);
    } catch (const host::Exception&) {
      ok = false;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "raised: %s\n", e.what());
      FUZZ_CHECK(!"the transfer raised something other than a host exception");
    }
  }
  FUZZ_CHECK(os::WinFileExists(local) == ok);
  if (ok) os::WinDeleteFile(local);
  return 0;
}
