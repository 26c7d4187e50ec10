#include "engine/storage/crypto/sha1.h"

#include <cstring>

namespace tav {

namespace {

inline uint32_t Rol(uint32_t x, int n) {
  return (x << n) | (x >> (32 - n));
}

inline uint32_t LoadBE32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

}  // namespace

TSha1Stream::TSha1Stream() {
  Initialize();
}

int32_t TSha1Stream::Read(void*, int32_t) {
  return 0;
}

int32_t TSha1Stream::Write(const void* buffer, int32_t count) {
  if (count <= 0) return 0;
  // Same result as AddByte for every byte, but whole runs are copied into the
  // block at once: passwords are short, yet callers may digest whole files.
  const uint8_t* p = static_cast<const uint8_t*>(buffer);
  int32_t left = count;
  while (left > 0) {
    int32_t n = 64 - fill_;
    if (n > left) n = left;
    std::memcpy(block_ + fill_, p, static_cast<size_t>(n));
    fill_ += n;
    p += n;
    left -= n;
    length_ += static_cast<uint64_t>(n);
    if (fill_ == 64) UpdateDigest();
  }
  return count;
}

int64_t TSha1Stream::Seek(int64_t, host::TSeekOrigin) {
  return static_cast<int64_t>(length_);
}

void TSha1Stream::AddByte(uint8_t b) {
  block_[fill_++] = b;
  ++length_;
  if (fill_ == 64) UpdateDigest();
}

void TSha1Stream::Initialize() {
  length_ = 0;
  fill_ = 0;
  std::memset(block_, 0, sizeof block_);
  std::memset(w_, 0, sizeof w_);
  h_[0] = 0x67452301;
  h_[1] = 0xEFCDAB89;
  h_[2] = 0x98BADCFE;
  h_[3] = 0x10325476;
  h_[4] = 0xC3D2E1F0;
}

void TSha1Stream::UpdateDigest() {
  for (int t = 0; t < 16; ++t) w_[t] = LoadBE32(block_ + 4 * t);
  for (int t = 16; t < 80; ++t) w_[t] = Rol(w_[t - 3] ^ w_[t - 8] ^ w_[t - 14] ^ w_[t - 16], 1);

  uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3], e = h_[4];
  for (int t = 0; t < 80; ++t) {
    uint32_t f, k;
    if (t < 20) {
      f = (b & c) | (~b & d);
      k = 0x5A827999;
    } else if (t < 40) {
      f = b ^ c ^ d;
      k = 0x6ED9EBA1;
    } else if (t < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8F1BBCDC;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6;
    }
    uint32_t tmp = Rol(a, 5) + f + e + k + w_[t];
    e = d;
    d = c;
    c = Rol(b, 30);
    b = a;
    a = tmp;
  }
  h_[0] += a;
  h_[1] += b;
  h_[2] += c;
  h_[3] += d;
  h_[4] += e;
  fill_ = 0;
}

void TSha1Stream::WriteBigEndian(const void* buffer, int32_t count) {
  const uint8_t* p = static_cast<const uint8_t*>(buffer);
  for (int32_t i = count - 1; i >= 0; --i) AddByte(p[i]);
}

void TSha1Stream::GetDigest(uint8_t digest[kSha1DigestSize]) {
  // Finish a copy of the state: padding goes through the block as usual, and
  // the message written so far is put back afterwards, so asking for the
  // digest twice gives the same answer and writing may go on.
  uint8_t savedBlock[64];
  std::memcpy(savedBlock, block_, sizeof block_);
  const int32_t savedFill = fill_;
  const uint64_t savedLength = length_;
  uint32_t savedH[5];
  std::memcpy(savedH, h_, sizeof h_);

  const uint64_t bits = length_ * 8;
  block_[fill_++] = 0x80;
  if (fill_ > 56) {
    std::memset(block_ + fill_, 0, static_cast<size_t>(64 - fill_));
    UpdateDigest();
  }
  std::memset(block_ + fill_, 0, static_cast<size_t>(56 - fill_));
  for (int i = 0; i < 8; ++i) block_[56 + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
  UpdateDigest();

  for (int i = 0; i < 5; ++i) {
    digest[4 * i] = static_cast<uint8_t>(h_[i] >> 24);
    digest[4 * i + 1] = static_cast<uint8_t>(h_[i] >> 16);
    digest[4 * i + 2] = static_cast<uint8_t>(h_[i] >> 8);
    digest[4 * i + 3] = static_cast<uint8_t>(h_[i]);
  }

  std::memcpy(block_, savedBlock, sizeof block_);
  fill_ = savedFill;
  length_ = savedLength;
  std::memcpy(h_, savedH, sizeof h_);
}

std::string TSha1Stream::GetDigestString() {
  uint8_t d[kSha1DigestSize];
  GetDigest(d);
  return std::string(reinterpret_cast<const char*>(d), kSha1DigestSize);
}

void GetSHA1FromString(const std::string& text, uint8_t digest[kSha1DigestSize]) {
  TSha1Stream s;
  // Write takes a 32-bit count; feed longer strings in pieces.
  size_t done = 0;
  while (done < text.size()) {
    size_t n = text.size() - done;
    if (n > 0x40000000) n = 0x40000000;
    s.Write(text.data() + done, static_cast<int32_t>(n));
    done += n;
  }
  s.GetDigest(digest);
}

}  // namespace tav
