// SHA-1 as a write-only stream. TSha1Stream digests every byte written to it;
// the security header keeps the digest of the master key and passwords are
// compared by digest, so the bytes must be exactly those of the published
// algorithm. Nothing can be read back: Read always answers 0, and Seek only
// reports how many bytes have been written. GetDigest may be called at any time
// and leaves the stream as it was, so more bytes can follow; Clear starts a new
// message.
#pragma once

#include <cstdint>
#include <string>

#include "host/rtl/streams.h"

namespace tav {

inline constexpr int kSha1DigestSize = 20;

class TSha1Stream : public host::TStream {
 public:
  TSha1Stream();

  // Nothing can be read back from a digest: always 0 bytes.
  int32_t Read(void* buffer, int32_t count) override;
  // Feeds the bytes to the digest; returns count (0 for a count below 1).
  int32_t Write(const void* buffer, int32_t count) override;
  // The stream cannot be positioned: returns the number of bytes written so
  // far, whatever is asked.
  int64_t Seek(int64_t offset, host::TSeekOrigin origin) override;

  void Clear() { Initialize(); }

  virtual void AddByte(uint8_t b);
  // The 20 digest bytes as a 20-character 8-bit string (not hex).
  virtual std::string GetDigestString();
  // Back to an empty message.
  virtual void Initialize();
  // Compresses the full 64-byte block into the chaining values.
  virtual void UpdateDigest();
  // Feeds the bytes of the buffer last byte first, so that a little-endian
  // integer is digested in big-endian order.
  virtual void WriteBigEndian(const void* buffer, int32_t count);
  // The digest of everything written since the last Initialize.
  virtual void GetDigest(uint8_t digest[kSha1DigestSize]);

 private:
  uint64_t length_ = 0;  // message length in bytes
  uint8_t block_[64];
  int32_t fill_ = 0;  // bytes of block_ in use
  uint32_t w_[80];    // message schedule
  uint32_t h_[5];     // chaining values
};

// The digest of the string's bytes.
void GetSHA1FromString(const std::string& text, uint8_t digest[kSha1DigestSize]);

}  // namespace tav
