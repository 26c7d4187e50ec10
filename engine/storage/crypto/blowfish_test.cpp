#include "engine/storage/crypto/blowfish.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/storage/base/tav_errors.h"

namespace tav {
namespace {

std::vector<uint8_t> FromHex(const std::string& h) {
  std::vector<uint8_t> v;
  for (size_t i = 0; i + 1 < h.size(); i += 2)
    v.push_back(static_cast<uint8_t>(std::stoi(h.substr(i, 2), nullptr, 16)));
  return v;
}

std::string Hex(const uint8_t* d, size_t n) {
  static const char* digits = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += digits[d[i] >> 4];
    s += digits[d[i] & 15];
  }
  return s;
}

std::string Hex(const std::vector<uint8_t>& v) {
  return Hex(v.data(), v.size());
}

void InitWith(TBlowfishData& d, const std::vector<uint8_t>& key, const void* iv = nullptr) {
  BlowfishInit(d, key.data(), static_cast<int>(key.size()) * 8, iv);
}

std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1103515245u + 12345u;
    v[i] = static_cast<uint8_t>(seed >> 16);
  }
  return v;
}

TEST(BlowfishTest, EcbPublishedVectors) {
  struct Case {
    const char *key, *plain, *cipher;
  } cases[] = {
      {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
      {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
      {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
      {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
      {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
      {"1111111111111111", "0123456789ABCDEF", "7D0CC630AFDA1EC7"},
      {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
      {"7CA110454A1A6E57", "01A1D6D039776742", "59C68245EB05282B"},
      {"0131D9619DC1376E", "5CD54CA83DEF57DA", "B1B8CC0B250F09A0"},
  };
  TBlowfishData d;
  for (const Case& c : cases) {
    InitWith(d, FromHex(c.key));
    std::vector<uint8_t> p = FromHex(c.plain), out(8), back(8);
    BlowfishEncryptECB(d, p.data(), out.data());
    EXPECT_EQ(Hex(out), c.cipher) << c.key;
    BlowfishDecryptECB(d, out.data(), back.data());
    EXPECT_EQ(back, p) << c.key;
  }
}

TEST(BlowfishTest, EcbVariableKeyLengthVectors) {
  // Prefixes of one 24-byte key, each enciphering FEDCBA9876543210.
  const std::vector<uint8_t> full = FromHex("F0E1D2C3B4A5968778695A4B3C2D1E0F0011223344556677");
  const char* expected[24] = {
      "F9AD597C49DB005E", "E91D21C1D961A6D6", "E9C2B70A1BC65CF3", "BE1E639408640F05",
      "B39E44481BDB1E6E", "9457AA83B1928C0D", "8BB77032F960629D", "E87A244E2CC85E82",
      "15750E7A4F4EC577", "122BA70B3AB64AE0", "3A833C9AFFC537F6", "9409DA87A90F6BF2",
      "884F80625060B8B4", "1F85031C19E11968", "79D9373A714CA34F", "93142887EE3BE15C",
      "03429E838CE2D14B", "A4299E27469FF67B", "AFD5AED1C1BC96A8", "10851C0E3858DA9F",
      "E6F51ED79B9DB21F", "64A6E14AFD36B46F", "80C7D7D45A5479AD", "05044B62FA52D080"};
  const std::vector<uint8_t> plain = FromHex("FEDCBA9876543210");
  TBlowfishData d;
  for (int n = 1; n <= 24; ++n) {
    BlowfishInit(d, full.data(), n * 8, nullptr);
    uint8_t out[8];
    BlowfishEncryptECB(d, plain.data(), out);
    EXPECT_EQ(Hex(out, 8), expected[n - 1]) << n << " key bytes";
  }
}

TEST(BlowfishTest, EcbTextKeysAndLongestKey) {
  TBlowfishData d;
  const std::string k1 = "abcdefghijklmnopqrstuvwxyz";
  BlowfishInit(d, k1.data(), static_cast<int>(k1.size()) * 8, nullptr);
  uint8_t out[8];
  BlowfishEncryptECB(d, "BLOWFISH", out);
  EXPECT_EQ(Hex(out, 8), "324ED0FEF413A203");

  const std::string k2 = "Who is John Galt?";
  BlowfishInit(d, k2.data(), static_cast<int>(k2.size()) * 8, nullptr);
  BlowfishEncryptECB(d, FromHex("FEDCBA9876543210").data(), out);
  EXPECT_EQ(Hex(out, 8), "CC91732B8022F684");

  std::vector<uint8_t> k56(56);
  for (int i = 0; i < 56; ++i) k56[i] = static_cast<uint8_t>(i + 1);
  InitWith(d, k56);
  BlowfishEncryptECB(d, FromHex("0123456789ABCDEF").data(), out);
  EXPECT_EQ(Hex(out, 8), "D08F329BFCFD1564");
}

TEST(BlowfishTest, KeyLengthsOutsideTheCipherAreRefused) {
  const std::vector<uint8_t> key(64, 0x5A);
  TBlowfishData d;
  InitWith(d, FromHex("0123456789ABCDEFF0E1D2C3B4A59687"));
  uint8_t before[8], after[8];
  BlowfishEncryptECB(d, "ABCDEFGH", before);

  for (int bits : {57 * 8, 0, 64 * 8, -8, 12, 449}) {
    try {
      BlowfishInit(d, key.data(), bits, nullptr);
      ADD_FAILURE() << bits << " bits accepted";
    } catch (const ETavDatabaseError& e) {
      EXPECT_EQ(e.ErrorCode(), 9986) << bits;
      EXPECT_NE(e.Message().find("Blowfish key length"), std::string::npos) << e.Message();
    }
  }
  // A refused key leaves the schedule that was there.
  BlowfishEncryptECB(d, "ABCDEFGH", after);
  EXPECT_EQ(Hex(after, 8), Hex(before, 8));
}

TEST(BlowfishTest, DefaultAndGivenIv) {
  const std::vector<uint8_t> key = FromHex("0123456789ABCDEFF0E1D2C3B4A59687");
  TBlowfishData d;
  InitWith(d, key);
  // With no IV given: the encryption of eight 0xFF bytes.
  EXPECT_EQ(Hex(d.InitIV, 8), "01D5B4C173602F15");
  EXPECT_EQ(Hex(d.CurIV, 8), "01D5B4C173602F15");

  const std::vector<uint8_t> iv = FromHex("FEDCBA9876543210");
  InitWith(d, key, iv.data());
  EXPECT_EQ(Hex(d.InitIV, 8), "FEDCBA9876543210");
  EXPECT_EQ(Hex(d.CurIV, 8), "FEDCBA9876543210");
}

// Known answers computed independently from the cipher's ECB primitive.
TEST(BlowfishTest, CfbAndCbcKnownAnswers) {
  const std::vector<uint8_t> key = FromHex("0123456789ABCDEFF0E1D2C3B4A59687");
  const std::string plain = "7654321 Now is the time for ";
  ASSERT_EQ(plain.size(), 28u);
  TBlowfishData d;
  InitWith(d, key);
  std::vector<uint8_t> out(plain.size());
  BlowfishEncryptCFB(d, plain.data(), out.data(), 28);
  EXPECT_EQ(Hex(out), "9DA21CEB47BB96214E53D9887BCF72D8AB027D469E26B211A09A6019");

  BlowfishReset(d);
  BlowfishEncryptCBC(d, plain.data(), out.data(), 28);
  EXPECT_EQ(Hex(out), "07229992530B1C4F3D702D90F8450DFC233292284AC1FC8612437E51");
}

TEST(BlowfishTest, RoundTripsOfOddLengths) {
  const std::vector<uint8_t> key = FromHex("F0E1D2C3B4A59687");
  TBlowfishData enc, dec;
  InitWith(enc, key);
  InitWith(dec, key);
  for (int32_t len : {1, 7, 8, 9, 4095, 4096}) {
    const std::vector<uint8_t> plain = Pattern(static_cast<size_t>(len), len);
    for (bool cfb : {true, false}) {
      SCOPED_TRACE(::testing::Message() << (cfb ? "CFB" : "CBC") << " length " << len);
      std::vector<uint8_t> cipher(plain.size()), back(plain.size());
      BlowfishReset(enc);
      BlowfishReset(dec);
      if (cfb) {
        BlowfishEncryptCFB(enc, plain.data(), cipher.data(), len);
        BlowfishDecryptCFB(dec, cipher.data(), back.data(), len);
      } else {
        BlowfishEncryptCBC(enc, plain.data(), cipher.data(), len);
        BlowfishDecryptCBC(dec, cipher.data(), back.data(), len);
      }
      EXPECT_NE(cipher, plain);
      EXPECT_EQ(back, plain);
      // Both sides end on the same IV, so a following unit would still agree.
      EXPECT_EQ(Hex(enc.CurIV, 8), Hex(dec.CurIV, 8));

      // In place, as the page buffers are used.
      std::vector<uint8_t> buf = plain;
      BlowfishReset(enc);
      BlowfishReset(dec);
      if (cfb) {
        BlowfishEncryptCFB(enc, buf.data(), buf.data(), len);
        EXPECT_EQ(buf, cipher);
        BlowfishDecryptCFB(dec, buf.data(), buf.data(), len);
      } else {
        BlowfishEncryptCBC(enc, buf.data(), buf.data(), len);
        EXPECT_EQ(buf, cipher);
        BlowfishDecryptCBC(dec, buf.data(), buf.data(), len);
      }
      EXPECT_EQ(buf, plain);
    }
  }
}

TEST(BlowfishTest, CfbInPiecesEqualsOneCall) {
  TBlowfishData d;
  InitWith(d, FromHex("0123456789ABCDEF"));
  const std::vector<uint8_t> plain = Pattern(1000, 7);
  std::vector<uint8_t> whole(plain.size()), pieces(plain.size());
  BlowfishEncryptCFB(d, plain.data(), whole.data(), 1000);
  BlowfishReset(d);
  int32_t pos = 0;
  for (int32_t n : {1, 2, 3, 8, 13, 500, 473}) {
    BlowfishEncryptCFB(d, plain.data() + pos, pieces.data() + pos, n);
    pos += n;
  }
  ASSERT_EQ(pos, 1000);
  EXPECT_EQ(pieces, whole);
}

TEST(BlowfishTest, ResetRestartsEveryPageFromTheInitialIv) {
  TBlowfishData d;
  const std::string key = "Page key 14 ch";
  ASSERT_EQ(key.size(), 14u);
  BlowfishInit(d, key.data(), 112, nullptr);
  const std::vector<uint8_t> page = Pattern(4096, 42);
  std::vector<uint8_t> first(4096), second(4096), chained(4096);

  BlowfishEncryptCFB(d, page.data(), first.data(), 4096);
  BlowfishReset(d);
  BlowfishEncryptCFB(d, page.data(), second.data(), 4096);
  EXPECT_EQ(first, second);
  // Without the reset the IV carries on and the same page enciphers otherwise.
  BlowfishEncryptCFB(d, page.data(), chained.data(), 4096);
  EXPECT_NE(chained, first);

  BlowfishReset(d);
  BlowfishEncryptCBC(d, page.data(), first.data(), 4096);
  BlowfishReset(d);
  BlowfishEncryptCBC(d, page.data(), second.data(), 4096);
  EXPECT_EQ(first, second);
}

TEST(BlowfishTest, CbcTailsNeverShareAKeyStream) {
  // Two short tails enciphered one after the other without a reset must not
  // be XORed with the same bytes, or their XOR would give away the plaintext.
  TBlowfishData d;
  InitWith(d, FromHex("0123456789ABCDEF"));
  const uint8_t zeros[5] = {};
  uint8_t a[5], b[5];
  BlowfishEncryptCBC(d, zeros, a, 5);
  BlowfishEncryptCBC(d, zeros, b, 5);
  EXPECT_NE(Hex(a, 5), Hex(b, 5));
}

}  // namespace
}  // namespace tav
