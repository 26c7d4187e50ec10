#include "engine/storage/crypto/xor_crypt.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace tav {
namespace {

std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1103515245u + 12345u;
    v[i] = static_cast<uint8_t>(seed >> 16);
  }
  return v;
}

// The key in a heap block of exactly its size, so that AddressSanitizer sees
// any read past its end.
std::unique_ptr<uint8_t[]> ExactKey() {
  auto k = std::make_unique<uint8_t[]>(C_TAVXORKEYLEN);
  for (int i = 0; i < C_TAVXORKEYLEN; ++i) k[i] = C_TAVXORKEY[i];
  return k;
}

// The key indices a step uses, read off by scrambling zeros with a key whose
// byte i is i.
std::vector<int> IndexSequence(int32_t step, int32_t keyLen, int32_t count) {
  std::vector<uint8_t> key(static_cast<size_t>(keyLen));
  for (int i = 0; i < keyLen; ++i) key[i] = static_cast<uint8_t>(i);
  std::vector<uint8_t> zeros(static_cast<size_t>(count)), out(static_cast<size_t>(count));
  XORCryptBuf(zeros.data(), out.data(), key.data(), step, keyLen, count);
  return std::vector<int>(out.begin(), out.end());
}

TEST(XorCryptTest, TwiceIsTheIdentityForEveryStep) {
  const auto key = ExactKey();
  for (size_t len : {1u, 7u, 71u, 72u, 1000u, 4096u}) {
    const std::vector<uint8_t> plain = Pattern(len, static_cast<uint32_t>(len));
    std::vector<uint8_t> scrambled(len), back(len);
    for (int32_t step = 0; step <= 255; ++step) {
      XORCryptBuf(plain.data(), scrambled.data(), key.get(), step, C_TAVXORKEYLEN,
                  static_cast<int32_t>(len));
      XORCryptBuf(scrambled.data(), back.data(), key.get(), step, C_TAVXORKEYLEN,
                  static_cast<int32_t>(len));
      ASSERT_EQ(back, plain) << "step " << step << " length " << len;
      if (len >= 71) {
        EXPECT_NE(scrambled, plain) << "step " << step;
      }
    }
  }
}

TEST(XorCryptTest, InPlace) {
  const auto key = ExactKey();
  const std::vector<uint8_t> plain = Pattern(4096, 3);
  std::vector<uint8_t> copy(4096), buf = plain;
  XORCryptBuf(plain.data(), copy.data(), key.get(), 7, C_TAVXORKEYLEN, 4096);
  XORCryptBuf(buf.data(), buf.data(), key.get(), 7, C_TAVXORKEYLEN, 4096);
  EXPECT_EQ(buf, copy);
}

TEST(XorCryptTest, KeyIndexSequences) {
  // Step 0: every key byte in turn.
  std::vector<int> seq = IndexSequence(0, 71, 150);
  for (int i = 0; i < 150; ++i) ASSERT_EQ(seq[i], i % 71) << i;
  // Step 4: stride 5, wrapping with one subtraction: 0, 5, ..., 70, 4, 9, ...
  seq = IndexSequence(4, 71, 20);
  EXPECT_EQ(seq[14], 70);
  EXPECT_EQ(seq[15], 4);
  EXPECT_EQ(seq[16], 9);
  // Only bits 2, 5 and 6 of the step count: 0x9B keeps none of them.
  EXPECT_EQ(IndexSequence(0x9B, 71, 100), IndexSequence(0, 71, 100));
  EXPECT_EQ(IndexSequence(0xFF, 71, 100), IndexSequence(0x64, 71, 100));
}

TEST(XorCryptTest, StridesLongerThanTheKeyStayInsideIt) {
  // Step 96 moves 97 bytes a time over the 71-byte key: the index goes 0, 26,
  // 52, then 78 - 71 = 7 rather than past the end.
  std::vector<int> seq = IndexSequence(96, 71, 300);
  EXPECT_EQ(seq[1], 26);
  EXPECT_EQ(seq[2], 52);
  EXPECT_EQ(seq[3], 7);
  for (int step : {96, 100, 0x64, 0xE4}) {
    for (int j : IndexSequence(step, 71, 500)) ASSERT_LT(j, 71) << "step " << step;
  }
  // A key shorter than every stride still wraps correctly.
  seq = IndexSequence(0x64, 3, 10);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(seq[i], (i * 101) % 3) << i;
}

TEST(XorCryptTest, OwnerDecidesTheScrambling) {
  const auto key = ExactKey();
  const std::vector<uint8_t> page = Pattern(4096, 11);
  std::vector<uint8_t> asOwner7(4096), asOwner3(4096), asOwner5(4096), readBack(4096);
  XORCryptBuf(page.data(), asOwner7.data(), key.get(), 7, C_TAVXORKEYLEN, 4096);
  XORCryptBuf(page.data(), asOwner3.data(), key.get(), 3, C_TAVXORKEYLEN, 4096);
  EXPECT_NE(asOwner7, asOwner3);
  XORCryptBuf(asOwner7.data(), readBack.data(), key.get(), 3, C_TAVXORKEYLEN, 4096);
  EXPECT_NE(readBack, page);
  // Owners that agree in bits 2, 5 and 6 scramble alike: 5 reads 7's pages.
  XORCryptBuf(page.data(), asOwner5.data(), key.get(), 5, C_TAVXORKEYLEN, 4096);
  EXPECT_EQ(asOwner5, asOwner7);
}

TEST(XorCryptTest, EmptyCountTouchesNothing) {
  uint8_t dst = 0xAB;
  XORCryptBuf("x", &dst, nullptr, 0, 0, 0);
  EXPECT_EQ(dst, 0xAB);
}

}  // namespace
}  // namespace tav
