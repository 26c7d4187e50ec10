#include "engine/storage/crypto/sha1.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/rtl/exceptions.h"

namespace tav {
namespace {

std::string Hex(const uint8_t* d, size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += digits[d[i] >> 4];
    s += digits[d[i] & 15];
  }
  return s;
}

std::string DigestOf(const std::string& text) {
  uint8_t d[kSha1DigestSize];
  GetSHA1FromString(text, d);
  return Hex(d, sizeof d);
}

std::string DigestOf(TSha1Stream& s) {
  uint8_t d[kSha1DigestSize];
  s.GetDigest(d);
  return Hex(d, sizeof d);
}

TEST(Sha1Test, PublishedVectors) {
  EXPECT_EQ(DigestOf("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(DigestOf(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  // 448 bits: the length no longer fits the first block, padding spills over.
  EXPECT_EQ(DigestOf("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
}

TEST(Sha1Test, MillionAInOddChunksThroughTheStream) {
  TSha1Stream s;
  const std::string chunk(1000, 'a');
  const int sizes[] = {1, 3, 7, 61, 64, 65, 127, 500, 999};
  int left = 1000000, k = 0;
  while (left > 0) {
    int n = sizes[k++ % 9];
    if (n > left) n = left;
    ASSERT_EQ(s.Write(chunk.data(), n), n);
    left -= n;
  }
  EXPECT_EQ(s.Position(), 1000000);
  EXPECT_EQ(DigestOf(s), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST(Sha1Test, BlockBoundaryLengths) {
  struct Case {
    size_t len;
    const char* digest;
  } cases[] = {{55, "ddf57317ef34bfee3b6df83d359098930eb278bc"},
               {63, "c55856749bef509bdfe6bfebfc7bf4e793e82132"},
               {64, "bede92be29c3874e1b54ddc77988d606fc857a8e"},
               {119, "504e27376a6e0f0dba8295b85cb25dc4dfa17d23"}};
  for (const Case& c : cases) {
    std::string msg;
    for (size_t i = 0; i < c.len; ++i) msg += static_cast<char>((i * 7 + 3) & 255);
    EXPECT_EQ(DigestOf(msg), c.digest) << c.len;
    // Byte by byte through AddByte gives the same digest as bulk writes.
    TSha1Stream s;
    for (char ch : msg) s.AddByte(static_cast<uint8_t>(ch));
    EXPECT_EQ(DigestOf(s), c.digest) << c.len;
  }
}

TEST(Sha1Test, NothingCanBeReadOrPositioned) {
  TSha1Stream s;
  s.Write("hello", 5);
  uint8_t buf[8] = {};
  EXPECT_EQ(s.Read(buf, sizeof buf), 0);
  EXPECT_THROW(s.ReadBuffer(buf, 1), host::EReadError);
  EXPECT_EQ(s.Seek(0, host::soBeginning), 5);
  EXPECT_EQ(s.Seek(-3, host::soEnd), 5);
  s.SetPosition(0);
  EXPECT_EQ(s.Position(), 5);
  EXPECT_EQ(s.Write("x", 0), 0);
  EXPECT_EQ(s.Write("x", -1), 0);
  EXPECT_EQ(s.Position(), 5);
}

TEST(Sha1Test, DigestLeavesTheStreamAsItWas) {
  TSha1Stream s;
  s.Write("ab", 2);
  const std::string first = DigestOf(s);
  EXPECT_EQ(first, DigestOf("ab"));
  EXPECT_EQ(DigestOf(s), first);
  s.Write("c", 1);
  EXPECT_EQ(DigestOf(s), "a9993e364706816aba3e25717850c26c9cd0d89d");
  s.Clear();
  EXPECT_EQ(s.Position(), 0);
  EXPECT_EQ(DigestOf(s), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

TEST(Sha1Test, DigestStringHoldsTheRawBytes) {
  TSha1Stream s;
  s.Write("abc", 3);
  const std::string d = s.GetDigestString();
  ASSERT_EQ(d.size(), 20u);
  EXPECT_EQ(Hex(reinterpret_cast<const uint8_t*>(d.data()), d.size()),
            "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST(Sha1Test, WriteBigEndianFeedsTheLastByteFirst) {
  TSha1Stream s;
  const uint8_t reversed[] = {'c', 'b', 'a'};
  s.WriteBigEndian(reversed, 3);
  EXPECT_EQ(DigestOf(s), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

}  // namespace
}  // namespace tav
