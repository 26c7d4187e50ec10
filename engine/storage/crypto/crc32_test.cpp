#include "engine/storage/crypto/crc32.h"

#include <gtest/gtest.h>

#include <vector>

namespace tav {
namespace {

TEST(Crc32Test, KnownValues) {
  EXPECT_EQ(CalcCRC("123456789", 9), 0xCBF43926u);
  EXPECT_EQ(CalcCRC("", 0), 0u);
  std::vector<uint8_t> all(4096);
  for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(CalcCRC(all.data(), 4096), 0xA2912082u);
}

// The folding path (long buffers) and the tables agree at every length
// around the folding steps, at every alignment.
TEST(Crc32Test, FoldingAndTablesAgree) {
  std::vector<uint8_t> bytes(4096 + 200);
  uint32_t seed = 12345;
  for (uint8_t& b : bytes) {
    seed = seed * 1103515245u + 12345u;
    b = static_cast<uint8_t>(seed >> 16);
  }
  for (int32_t length : {0, 1, 15, 16, 63, 64, 65, 79, 80, 127, 128, 129, 200, 1000, 4095, 4096}) {
    for (int32_t offset = 0; offset < 17; ++offset)
      ASSERT_EQ(CalcCRC(bytes.data() + offset, length),
                CalcCRCByTable(bytes.data() + offset, length))
          << length << " at " << offset;
  }
  // Continued in pieces of any length, the CRC is the whole buffer's.
  for (int32_t split : {0, 1, 17, 64, 100, 2048, 4096}) {
    const uint32_t first = CalcCRC(bytes.data(), split);
    ASSERT_EQ(UpdateCRC(first, bytes.data() + split, 4096 - split), CalcCRC(bytes.data(), 4096))
        << split;
  }
}

// Every length up to well past a page, at every alignment within a
// 16-byte lane: the folding path's steps (one block of 64 bytes alone, the
// odd block before the double turns, any count of 16-byte tails) give the
// table's CRC, from a start value of 0 and from one carried over.
TEST(Crc32Test, FoldingAgreesWithTheTablesAtEveryLength) {
  std::vector<uint8_t> bytes(1200 + 32);
  uint32_t seed = 777;
  for (uint8_t& b : bytes) {
    seed = seed * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(seed >> 24);
  }
  for (int32_t length = 0; length <= 1200; ++length) {
    for (int32_t offset : {0, 1, 7, 15}) {
      const uint8_t* p = bytes.data() + offset;
      ASSERT_EQ(CalcCRC(p, length), CalcCRCByTable(p, length)) << length << " at " << offset;
      const uint32_t head = CalcCRC(p, 5);
      ASSERT_EQ(UpdateCRC(head, p + 5, length), CalcCRCByTable(p, length + 5))
          << length << " at " << offset << ", carried over";
    }
  }
}

TEST(Crc32Test, OneChangedByteChangesTheCrc) {
  uint8_t header[40] = {40};
  const uint32_t crc = CalcCRC(header, 40);
  for (int i = 0; i < 40; ++i) {
    header[i] ^= 0x10;
    EXPECT_NE(CalcCRC(header, 40), crc) << i;
    header[i] ^= 0x10;
  }
}

}  // namespace
}  // namespace tav
