#include "engine/storage/crypto/crc32.h"

#include <array>

#include "host/rtl/exceptions.h"

namespace tav {

namespace {

constexpr std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> t{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[n] = c;
  }
  return t;
}

constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();

}  // namespace

uint32_t CalcCRC(const void* buffer, int32_t length) {
  TAV_ASSERT(length >= 0, "Negative length for CalcCRC");
  const uint8_t* p = static_cast<const uint8_t*>(buffer);
  uint32_t crc = 0xFFFFFFFFu;
  for (int32_t i = 0; i < length; ++i) crc = kCrcTable[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

}  // namespace tav
