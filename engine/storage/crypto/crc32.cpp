#include "engine/storage/crypto/crc32.h"

#include <array>

#include "host/rtl/exceptions.h"
#include "host/rtl/le_bytes.h"

namespace tav {

namespace {

// Eight tables, so that the loop takes eight bytes per step (the journal
// checksums every page it writes, which made the byte-at-a-time loop the
// largest single cost of a commit). Table k maps a byte to its CRC after k
// further zero bytes; the result is the same CRC as the one-table form.
using TCrcTables = std::array<std::array<uint32_t, 256>, 8>;

constexpr TCrcTables MakeCrcTables() {
  TCrcTables t{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[0][n] = c;
  }
  for (uint32_t n = 0; n < 256; ++n)
    for (int k = 1; k < 8; ++k) t[k][n] = t[0][t[k - 1][n] & 0xFF] ^ (t[k - 1][n] >> 8);
  return t;
}

constexpr TCrcTables kCrcTables = MakeCrcTables();

}  // namespace

uint32_t CalcCRC(const void* buffer, int32_t length) {
  TAV_ASSERT(length >= 0, "Negative length for CalcCRC");
  const uint8_t* p = static_cast<const uint8_t*>(buffer);
  uint32_t crc = 0xFFFFFFFFu;
  int32_t i = 0;
  for (; i + 8 <= length; i += 8) {
    const uint32_t lo = host::GetU32(p + i) ^ crc;
    const uint32_t hi = host::GetU32(p + i + 4);
    crc = kCrcTables[7][lo & 0xFF] ^ kCrcTables[6][(lo >> 8) & 0xFF] ^
          kCrcTables[5][(lo >> 16) & 0xFF] ^ kCrcTables[4][lo >> 24] ^
          kCrcTables[3][hi & 0xFF] ^ kCrcTables[2][(hi >> 8) & 0xFF] ^
          kCrcTables[1][(hi >> 16) & 0xFF] ^ kCrcTables[0][hi >> 24];
  }
  for (; i < length; ++i) crc = kCrcTables[0][(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

}  // namespace tav
