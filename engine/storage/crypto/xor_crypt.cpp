#include "engine/storage/crypto/xor_crypt.h"

#include "host/rtl/exceptions.h"

namespace tav {

// Fixed bytes chosen once for this engine. Stored weak-level pages are
// scrambled with them: never edit.
const uint8_t C_TAVXORKEY[C_TAVXORKEYLEN] = {
    0x5A, 0xC3, 0x17, 0x8E, 0x2B, 0xF4, 0x61, 0x9D, 0x06, 0xB8, 0x4F, 0xE2, 0x33, 0x7C, 0xA9,
    0x14, 0xD5, 0x68, 0x0B, 0x9E, 0x47, 0xF1, 0x2C, 0x83, 0x7A, 0x1D, 0xC6, 0x59, 0xE0, 0x35,
    0x92, 0x4B, 0xAE, 0x07, 0x6F, 0xD8, 0x21, 0x94, 0x3E, 0xCB, 0x70, 0x15, 0xBA, 0x4C, 0xE7,
    0x02, 0x9B, 0x36, 0xDF, 0x88, 0x53, 0x1A, 0xF6, 0x2D, 0x84, 0x6B, 0xC0, 0x39, 0xA4, 0x5E,
    0x13, 0xFA, 0x8D, 0x26, 0x71, 0xBC, 0x48, 0xE5, 0x0E, 0x97, 0x62,
};

void XORCryptBuf(const void* source, void* destination, const uint8_t* key, int32_t step,
                 int32_t keyLen, int32_t count) {
  if (count <= 0) return;
  TAV_ASSERT(keyLen > 0 && key != nullptr, "XORCryptBuf called without a key");
  const uint8_t* src = static_cast<const uint8_t*>(source);
  uint8_t* dst = static_cast<uint8_t*>(destination);
  // The stride can exceed a short key (strides run up to 101, the file key is
  // 71 bytes), and one subtraction would then leave the index past the key's
  // end. Taking the stride modulo the key length keeps the index inside with a
  // single subtraction per byte, and where one subtraction was already enough
  // the index sequence is the same as moving by the whole stride.
  const int32_t stride = ((step & 0x64) + 1) % keyLen;
  int32_t j = 0;
  for (int32_t i = 0; i < count; ++i) {
    dst[i] = static_cast<uint8_t>(src[i] ^ key[j]);
    j += stride;
    if (j >= keyLen) j -= keyLen;
  }
}

}  // namespace tav
