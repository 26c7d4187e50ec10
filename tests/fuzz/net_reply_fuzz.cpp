// Random server replies through the HTTP head and FTP reply readers. The
// first byte picks the reader and how the bytes arrive (piece size), so
// lines straddle fills. A reader either accepts or refuses; what it accepts
// keeps the bounds it promises.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "os/net_transport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t mode = data[0];
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  const size_t piece = 1 + (mode >> 2);
  size_t pos = 0;
  os::TLineReader in([&](char* buf, size_t n) -> int64_t {
    const size_t k = std::min({n, piece, text.size() - pos});
    std::memcpy(buf, text.data() + pos, k);
    pos += k;
    return static_cast<int64_t>(k);
  });
  switch (mode & 3) {
    case 0: {
      os::THttpHead head;
      if (os::ReadHttpHead(in, head)) {
        FUZZ_CHECK(head.status >= 0 && head.status <= 999);
        FUZZ_CHECK(head.contentLength >= -1);
        FUZZ_CHECK(head.statusLine.size() <= os::kMaxReplyLine);
      }
      break;
    }
    case 1: {
      os::TFtpReply reply;
      for (int i = 0; i < 4 && os::ReadFtpReply(in, reply); ++i) {
        FUZZ_CHECK(reply.code >= 0 && reply.code <= 999);
        FUZZ_CHECK(reply.text.size() <= os::kMaxReplyLine * 5 + 2);
      }
      break;
    }
    case 2: {
      std::string host;
      uint16_t port = 0;
      if (os::ParsePasvReply(text, host, port)) {
        FUZZ_CHECK(port != 0);
        FUZZ_CHECK(host.size() >= 7 && host.size() <= 15);
      }
      break;
    }
    default: {
      // Lines then raw bytes: nothing is lost or duplicated.
      std::string line;
      while (in.ReadLine(line)) {
        FUZZ_CHECK(line.size() <= os::kMaxReplyLine);
        FUZZ_CHECK(line.find('\n') == std::string::npos);
      }
      char buf[64];
      while (in.Read(buf, sizeof buf) > 0) {
      }
      FUZZ_CHECK(pos == text.size());
      break;
    }
  }
  return 0;
}
