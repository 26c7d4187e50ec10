#include "engine/storage/crypto/crc32.h"

#include <array>
#include <cstddef>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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

#if defined(__x86_64__)
// Folding by carry-less multiplication, 64 bytes per step, for processors
// that have it: the journal checksums every page a commit saves, and the
// table loop below was most of a commit's work. `crc` is the running
// (uncomplemented) value; `length` is a multiple of 16, at least 64. The
// constants are powers of x modulo the polynomial for the folding distances
// (512 and 128 bits), the 64-to-32 bit step and the Barrett reduction.
// `x` folded 128 bits forward onto `next`.
__attribute__((target("pclmul,sse4.1"), always_inline)) inline __m128i Fold128(__m128i x,
                                                                               __m128i k,
                                                                               __m128i next) {
  return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x11), next),
                       _mm_clmulepi64_si128(x, k, 0x00));
}

// The four lanes folded 512 bits forward onto the 64 bytes at `at`.
__attribute__((target("pclmul,sse4.1"), always_inline)) inline void Fold4(
    __m128i& x1, __m128i& x2, __m128i& x3, __m128i& x4, __m128i k, const uint8_t* at) {
  x1 = Fold128(x1, k, _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)));
  x2 = Fold128(x2, k, _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 16)));
  x3 = Fold128(x3, k, _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 32)));
  x4 = Fold128(x4, k, _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 48)));
}

// The fold itself, built twice: with the processor's three-operand (VEX)
// encoding where it has one, the loop needs no register copies and takes
// its loads straight into the XORs, which makes it about a third shorter.
__attribute__((target("pclmul,sse4.1"), always_inline)) inline uint32_t FoldBody(
    const uint8_t* p, size_t length, uint32_t crc) {
  alignas(16) static const uint64_t k1k2[2] = {0x0154442bd4, 0x01c6e41596};
  alignas(16) static const uint64_t k3k4[2] = {0x01751997d0, 0x00ccaa009e};
  alignas(16) static const uint64_t k5k0[2] = {0x0163cd6124, 0x0000000000};
  alignas(16) static const uint64_t poly[2] = {0x01db710641, 0x01f7011641};
  auto load = [](const uint8_t* at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
  };
  __m128i x1 = load(p), x2 = load(p + 16), x3 = load(p + 32), x4 = load(p + 48);
  x1 = _mm_xor_si128(x1, _mm_cvtsi32_si128(static_cast<int>(crc)));
  __m128i x0 = _mm_load_si128(reinterpret_cast<const __m128i*>(k1k2));
  const uint8_t* const foldEnd = p + (length & ~size_t{63});
  p += 64;
  length -= 64;
  // Two steps a turn: the loop's own instructions count for less.
  if (((foldEnd - p) & 64) != 0) {
    Fold4(x1, x2, x3, x4, x0, p);
    p += 64;
  }
  for (; p != foldEnd; p += 128) {
    Fold4(x1, x2, x3, x4, x0, p);
    Fold4(x1, x2, x3, x4, x0, p + 64);
  }
  length &= 63;
  x0 = _mm_load_si128(reinterpret_cast<const __m128i*>(k3k4));
  x1 = Fold128(x1, x0, x2);
  x1 = Fold128(x1, x0, x3);
  x1 = Fold128(x1, x0, x4);
  while (length >= 16) {
    x1 = Fold128(x1, x0, load(p));
    p += 16;
    length -= 16;
  }
  // 128 bits to 64, then to 32 by Barrett reduction.
  const __m128i mask = _mm_setr_epi32(~0, 0, ~0, 0);
  x2 = _mm_clmulepi64_si128(x1, x0, 0x10);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2);
  x0 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(k5k0));
  x2 = _mm_srli_si128(x1, 4);
  x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, mask), x0, 0x00), x2);
  x0 = _mm_load_si128(reinterpret_cast<const __m128i*>(poly));
  x2 = _mm_and_si128(x1, mask);
  x2 = _mm_clmulepi64_si128(x2, x0, 0x10);
  x2 = _mm_and_si128(x2, mask);
  x2 = _mm_clmulepi64_si128(x2, x0, 0x00);
  x1 = _mm_xor_si128(x1, x2);
  return static_cast<uint32_t>(_mm_extract_epi32(x1, 1));
}

__attribute__((target("pclmul,sse4.1"))) uint32_t FoldCRC(const uint8_t* p, size_t length,
                                                          uint32_t crc) {
  return FoldBody(p, length, crc);
}

__attribute__((target("avx,pclmul,sse4.1"))) uint32_t FoldCRCVex(const uint8_t* p,
                                                                 size_t length, uint32_t crc) {
  return FoldBody(p, length, crc);
}

bool HasFolding() {
  static const bool has = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  return has;
}

bool HasVexFolding() {
  static const bool has = HasFolding() && __builtin_cpu_supports("avx");
  return has;
}
#endif

uint32_t TableCRC(const uint8_t* p, int32_t length, uint32_t crc) {
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
  return crc;
}

}  // namespace

uint32_t CalcCRC(const void* buffer, int32_t length) {
  return UpdateCRC(0, buffer, length);
}

uint32_t UpdateCRC(uint32_t previous, const void* buffer, int32_t length) {
  TAV_ASSERT(length >= 0, "Negative length for CalcCRC");
  const uint8_t* p = static_cast<const uint8_t*>(buffer);
  uint32_t crc = ~previous;
#if defined(__x86_64__)
  if (length >= 64 && HasFolding()) {
    const int32_t folded = length & ~15;
    crc = HasVexFolding() ? FoldCRCVex(p, static_cast<size_t>(folded), crc)
                          : FoldCRC(p, static_cast<size_t>(folded), crc);
    p += folded;
    length -= folded;
  }
#endif
  return ~TableCRC(p, length, crc);
}

uint32_t CalcCRCByTable(const void* buffer, int32_t length) {
  TAV_ASSERT(length >= 0, "Negative length for CalcCRC");
  return ~TableCRC(static_cast<const uint8_t*>(buffer), length, 0xFFFFFFFFu);
}

}  // namespace tav
