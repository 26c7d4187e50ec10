// Blowfish, the cipher of pages in tables with the strong encryption level.
// TBlowfishData carries the key schedule and the IV; BlowfishInit must have
// succeeded on it before any other call. Blocks are two big-endian 32-bit
// halves, as in the published definition, so stored pages agree with every
// other implementation of the cipher. The CBC and CFB calls continue from the
// current IV, so a caller that enciphers units independently (one page at a
// time) calls BlowfishReset before each unit. No call allocates.
#pragma once

#include <cstdint>

namespace tav {

inline constexpr int kBlowfishBlockSize = 8;
inline constexpr int kBlowfishMaxKeyBytes = 56;

struct TBlowfishData {
  uint8_t InitIV[8];
  uint8_t CurIV[8];
  uint32_t SBoxM[4][256];
  uint32_t PBoxM[18];
};

// Sets up the key schedule for keyLenBits bits of key (8 to 448, a whole
// number of bytes) and the IV: the 8 bytes at iv, or with iv null the
// encryption of eight 0xFF bytes. Any other key length raises 9986 and leaves
// data as it was.
void BlowfishInit(TBlowfishData& data, const void* key, int keyLenBits, const void* iv);
// Current IV := initial IV.
void BlowfishReset(TBlowfishData& data);
// Overwrites the key schedule with 0xFF bytes.
void BlowfishBurn(TBlowfishData& data);

// One 8-byte block; in and out may be the same buffer.
void BlowfishEncryptECB(const TBlowfishData& data, const void* inData, void* outData);
void BlowfishDecryptECB(const TBlowfishData& data, const void* inData, void* outData);

// Cipher-block chaining from the current IV, which moves on. A final part
// shorter than a block is XORed with the encryption of the current IV, which
// then becomes the current IV. in and out may be the same buffer.
void BlowfishEncryptCBC(TBlowfishData& data, const void* inData, void* outData, int32_t len);
void BlowfishDecryptCBC(TBlowfishData& data, const void* inData, void* outData, int32_t len);

// 8-bit cipher feedback from the current IV, which moves on; any length.
// in and out may be the same buffer.
void BlowfishEncryptCFB(TBlowfishData& data, const void* inData, void* outData, int32_t len);
void BlowfishDecryptCFB(TBlowfishData& data, const void* inData, void* outData, int32_t len);

}  // namespace tav
