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
